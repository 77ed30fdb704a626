# A Windows backend reads the platform headers after the SDK's, through
# platform/win32/sdk.h, which takes away the SDK macros that share a name
# with a platform service. A name added to a platform header that the SDK
# also defines as a macro would be rewritten there, silently or with an
# obscure error; this names it and where it must be added instead.
#   cmake -DSOURCE_DIR=<repository> -DCOMPILER=<mingw g++> -DWORK=<folder>
#         -P check_sdk_names.cmake
cmake_policy(VERSION 3.20)
file(GLOB headers RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/platform/*.h")
file(MAKE_DIRECTORY "${WORK}")
set(platform_only "")
foreach(header IN LISTS headers)
  string(APPEND platform_only "#include \"${header}\"\n")
endforeach()
file(WRITE "${WORK}/platform_only.cpp" "${platform_only}")
file(WRITE "${WORK}/after_sdk.cpp" "#include \"platform/win32/sdk.h\"\n${platform_only}")

# The macros a name of the platform headers meets after sdk.h, less those
# it meets anyway (the C++ library's).
function(macros_of source out)
  execute_process(COMMAND "${COMPILER}" -std=c++20 -dM -E -I "${SOURCE_DIR}" "${source}"
    OUTPUT_VARIABLE defines RESULT_VARIABLE failed ERROR_VARIABLE errors)
  if(failed)
    message(FATAL_ERROR "cannot preprocess ${source}:\n${errors}")
  endif()
  string(REGEX MATCHALL "#define [A-Za-z_][A-Za-z0-9_]*" names "${defines}")
  list(TRANSFORM names REPLACE "#define " "")
  set(${out} "${names}" PARENT_SCOPE)
endfunction()
macros_of("${WORK}/after_sdk.cpp" after_sdk)
macros_of("${WORK}/platform_only.cpp" ours)
list(REMOVE_ITEM after_sdk ${ours})

set(offenders "")
foreach(header IN LISTS headers)
  file(READ "${SOURCE_DIR}/${header}" text)
  # What comments and strings say is never rewritten.
  string(REGEX REPLACE "//[^\n]*" "" text "${text}")
  string(REGEX REPLACE "\"([^\"\\\\\n]|\\\\.)*\"" "\"\"" text "${text}")
  string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" names "${text}")
  list(REMOVE_DUPLICATES names)
  foreach(name IN LISTS names)
    if(name IN_LIST after_sdk)
      list(APPEND offenders "${header}: ${name}")
    endif()
  endforeach()
endforeach()
if(offenders)
  list(JOIN offenders "\n  " text)
  message(FATAL_ERROR "names of the platform headers that the Windows SDK defines as macros; "
    "add each to platform/win32/sdk.h (#undef, and KESTREL_SDK_KEEP for a value):\n  ${text}")
endif()
