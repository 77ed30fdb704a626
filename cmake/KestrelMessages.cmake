# The status messages are numbered as the engine reports them; the code names
# them instead, from the name each line of the table gives:
#   kestrel_message_names(<messages.txt> <header>)
# writes <header> with one constant per message in namespace msg, and runs
# again whenever the table changes.
function(kestrel_message_names source header)
  file(STRINGS "${source}" lines REGEX "^[0-9]")
  set(code "// Generated from resources/messages.txt; do not edit.\n#pragma once\n\nnamespace msg {\n")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^([0-9]+) +(k[A-Za-z0-9]+) +\"")
      message(FATAL_ERROR "${source}: a message needs a number, a name and its text: ${line}")
    endif()
    string(APPEND code "inline constexpr int ${CMAKE_MATCH_2} = ${CMAKE_MATCH_1};\n")
  endforeach()
  string(APPEND code "}  // namespace msg\n")
  file(CONFIGURE OUTPUT "${header}" CONTENT "${code}" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
endfunction()
