# Fails unless a Windows program carries no debug information of its own and
# names, with a matching checksum, the file beside it that holds it.
#   cmake -DOBJDUMP=... -DPROGRAM=... -P CheckStrippedProgram.cmake
execute_process(COMMAND "${OBJDUMP}" -h "${PROGRAM}" OUTPUT_VARIABLE sections RESULT_VARIABLE failed)
if(failed OR NOT sections MATCHES "\\.text")
  message(FATAL_ERROR "${OBJDUMP} -h ${PROGRAM} failed")
endif()
if(sections MATCHES "\\.debug_")
  message(FATAL_ERROR "${PROGRAM} still carries debug sections")
endif()
# objdump follows the link only to a file whose checksum matches.
get_filename_component(folder "${PROGRAM}" DIRECTORY)
get_filename_component(name "${PROGRAM}" NAME)
execute_process(COMMAND "${OBJDUMP}" -Wk "${PROGRAM}" WORKING_DIRECTORY "${folder}"
                OUTPUT_VARIABLE links ERROR_VARIABLE warnings)
string(FIND "${links}" "Found separate debug info file: ${name}.debug\n" found)
if(found EQUAL -1)
  message(FATAL_ERROR "${PROGRAM} names no matching debug file beside it: ${links}${warnings}")
endif()
execute_process(COMMAND "${OBJDUMP}" -h "${PROGRAM}.debug" OUTPUT_VARIABLE debugSections)
if(NOT debugSections MATCHES "\\.debug_info")
  message(FATAL_ERROR "${PROGRAM}.debug holds no debug information")
endif()
