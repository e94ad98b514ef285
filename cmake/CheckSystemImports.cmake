# Fails unless every DLL a Windows program imports is one that Windows itself
# carries, so that the program runs on a user's machine with nothing beside it
# (no compiler runtime, no third-party DLL).
#   cmake -DOBJDUMP=... -DPROGRAM=... -P CheckSystemImports.cmake
cmake_policy(SET CMP0057 NEW)
set(system_dlls
  advapi32.dll bcrypt.dll cfgmgr32.dll comdlg32.dll gdi32.dll imm32.dll kernel32.dll msvcrt.dll
  ole32.dll oleaut32.dll opengl32.dll setupapi.dll shell32.dll shlwapi.dll user32.dll uuid.dll
  version.dll winmm.dll ws2_32.dll
  # The wait-on-address calls live in an API set of the system.
  api-ms-win-core-synch-l1-2-0.dll)
# A DLL that is not on the system's list of known DLLs is looked for in the
# program's own folder first when it is imported the ordinary way, before
# main can restrict the search: such DLLs (OpenGL's among them) must be
# delay-loaded. API sets are resolved by the loader itself.
set(known_dlls
  advapi32.dll comdlg32.dll gdi32.dll imm32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll
  setupapi.dll shell32.dll shlwapi.dll user32.dll ws2_32.dll)

execute_process(COMMAND "${OBJDUMP}" -p "${PROGRAM}" OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" entries "${dump}")
if(NOT entries)
  message(FATAL_ERROR "${PROGRAM} shows no import table")
endif()
set(foreign "")
set(searched "")
foreach(entry IN LISTS entries)
  string(REPLACE "DLL Name: " "" dll "${entry}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" name)
  message(STATUS "imports ${dll}")
  if(NOT name IN_LIST system_dlls)
    list(APPEND foreign "${dll}")
  elseif(NOT name IN_LIST known_dlls AND NOT name MATCHES "^api-ms-win-")
    list(APPEND searched "${dll}")
  endif()
endforeach()
if(foreign)
  message(FATAL_ERROR "${PROGRAM} imports DLLs that are not the system's: ${foreign}")
endif()
if(searched)
  message(FATAL_ERROR "${PROGRAM} imports DLLs that would be looked for beside it first "
                      "(not the system's known DLLs; delay-load them): ${searched}")
endif()
