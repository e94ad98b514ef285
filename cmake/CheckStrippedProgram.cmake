# Fails unless a Windows program carries no debug information of its own and
# names the file beside it that holds it, with a checksum that file matches
# (objdump follows the link only then).
#   cmake -DOBJDUMP=... -DPROGRAM=... -P CheckStrippedProgram.cmake
get_filename_component(folder "${PROGRAM}" DIRECTORY)
get_filename_component(name "${PROGRAM}" NAME)
execute_process(COMMAND "${OBJDUMP}" -h -Wk "${PROGRAM}" WORKING_DIRECTORY "${folder}"
                OUTPUT_VARIABLE dump ERROR_VARIABLE warnings)
string(FIND "${dump}" "Found separate debug info file: ${name}.debug\n" found)
if(NOT dump MATCHES "\\.text" OR dump MATCHES "\\.debug_" OR found EQUAL -1)
  message(FATAL_ERROR "${PROGRAM} is not stripped with its debug file beside it:\n${dump}${warnings}")
endif()
