# The engine reaches the operating system only through the platform layer,
# so that one source builds for POSIX and for Windows. This fails on any
# operating-system header included above platform/, and on the headers of
# libraries only one of the two systems has (FreeType, libpng).
#   cmake -DSOURCE_DIR=<repository> -P check_engine_includes.cmake
set(system_headers
  "unistd\\.h" "fcntl\\.h" "dirent\\.h" "dlfcn\\.h" "poll\\.h" "pwd\\.h" "grp\\.h" "spawn\\.h"
  "signal\\.h" "termios\\.h" "iconv\\.h" "pthread\\.h" "sys/[a-z_/]+\\.h" "netinet/[a-z_]+\\.h"
  "arpa/[a-z_]+\\.h" "linux/[a-z_]+\\.h" "fontconfig/[a-z_]+\\.h" "X11/[A-Za-z_]+\\.h"
  "FL/[A-Za-z_]+\\.H" "windows\\.h" "winsock2?\\.h" "wininet\\.h" "io\\.h" "direct\\.h"
  "shlobj\\.h" "shellapi\\.h" "fdi\\.h" "lzexpand\\.h" "wincodec\\.h" "ft2build\\.h" "png\\.h")
list(JOIN system_headers "|" pattern)
set(offenders "")
foreach(layer archive update widgets launcher restarter tools)
  file(GLOB_RECURSE sources "${SOURCE_DIR}/${layer}/*.cpp" "${SOURCE_DIR}/${layer}/*.h")
  foreach(source IN LISTS sources)
    file(STRINGS "${source}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*<(${pattern})>")
    foreach(line IN LISTS lines)
      file(RELATIVE_PATH name "${SOURCE_DIR}" "${source}")
      list(APPEND offenders "${name}: ${line}")
    endforeach()
  endforeach()
endforeach()
if(offenders)
  list(JOIN offenders "\n  " text)
  message(FATAL_ERROR "operating-system headers outside platform/:\n  ${text}")
endif()
