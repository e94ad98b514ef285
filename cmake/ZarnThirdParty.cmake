# The third-party libraries, found once for the whole tree, as targets of
# the same names on both systems:
#
#   zarn_dep_capnp       Cap'n Proto's runtime (capnp, kj)
#   zarn_dep_libarchive  libarchive
#   zarn_dep_gui         GLFW, GLEW, Dear ImGui with its GLFW and OpenGL 3
#                        back-ends, and the system's OpenGL
#   ZLIB::ZLIB, opencv_core, opencv_imgproc
#
# On Linux they are Debian's packages. The Windows build takes them from the
# prefix that scripts/windows-deps.sh cross-builds (static libraries only),
# given as ZARN_WINDOWS_DEPS; zlib comes from the MinGW tree itself. Their
# headers are system headers either way: their warnings are not ours.
# The schema compiler always runs on the build machine: Debian's capnp.
find_program(CAPNP_EXECUTABLE capnp REQUIRED)
find_program(CAPNPC_CXX_EXECUTABLE capnpc-c++ REQUIRED)

# A DLL that is not on Windows' list of known DLLs, imported the ordinary way,
# is looked for in the program's own folder first, and before main could say
# otherwise: a file of that name beside a downloaded program would run with
# the user's rights. Its functions are therefore imported delay-loaded: the
# DLL is loaded at the first call, with LoadLibrary and the search that main
# has restricted to the system folder by then. The delay-import library is
# made from the toolchain's import library with dlltool, at configure time.
function(zarn_delay_loaded_imports target import_library dll)
  find_program(ZARN_NM NAMES ${ZARN_MINGW_TRIPLE}-nm REQUIRED)
  find_program(ZARN_DLLTOOL NAMES ${ZARN_MINGW_TRIPLE}-dlltool REQUIRED)
  # nm fails on the library's members that hold no symbol; the check below
  # catches a library it could not read at all.
  execute_process(COMMAND "${ZARN_NM}" -g --defined-only "${import_library}" OUTPUT_VARIABLE symbols
                  ERROR_QUIET)
  string(REGEX MATCHALL "[\r\n][0-9a-fA-F]+ I __imp_[A-Za-z0-9_]+" entries "\n${symbols}")
  set(def "LIBRARY ${dll}\nEXPORTS\n")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE ".* I __imp_" "" name "${entry}")
    string(APPEND def "${name}\n")
  endforeach()
  if(NOT entries)
    message(FATAL_ERROR "no functions found in ${import_library}")
  endif()
  set(folder "${CMAKE_BINARY_DIR}/delay-loaded")
  file(MAKE_DIRECTORY "${folder}")
  file(WRITE "${folder}/${target}.def" "${def}")
  execute_process(COMMAND "${ZARN_DLLTOOL}" --input-def "${folder}/${target}.def" --dllname ${dll}
                          --output-delaylib "${folder}/lib${target}.a" COMMAND_ERROR_IS_FATAL ANY)
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION "${folder}/lib${target}.a")
  # The loader of delay-loaded imports.
  target_link_libraries(${target} INTERFACE delayimp)
endfunction()

if(WIN32)
  set(ZARN_WINDOWS_DEPS "" CACHE PATH "Prefix of the Windows third-party libraries (scripts/windows-deps.sh)")
  if(NOT EXISTS "${ZARN_WINDOWS_DEPS}/include")
    message(FATAL_ERROR "ZARN_WINDOWS_DEPS must name the prefix scripts/windows-deps.sh printed "
                        "(scripts/build.sh windows passes it)")
  endif()
  list(APPEND CMAKE_FIND_ROOT_PATH "${ZARN_WINDOWS_DEPS}")
  list(APPEND CMAKE_PREFIX_PATH "${ZARN_WINDOWS_DEPS}")

  # The static library, not the import library of zlib1.dll.
  set(ZLIB_USE_STATIC_LIBS ON)
  find_package(ZLIB REQUIRED)
  find_package(CapnProto CONFIG REQUIRED)
  add_library(zarn_dep_capnp INTERFACE)
  target_link_libraries(zarn_dep_capnp INTERFACE CapnProto::capnp CapnProto::kj)

  find_package(OpenCV REQUIRED COMPONENTS core imgproc)

  find_library(ZARN_LIBARCHIVE_LIBRARY NAMES archive_static archive REQUIRED NO_DEFAULT_PATH
               PATHS "${ZARN_WINDOWS_DEPS}/lib")
  add_library(zarn_dep_libarchive INTERFACE)
  target_include_directories(zarn_dep_libarchive SYSTEM INTERFACE "${ZARN_WINDOWS_DEPS}/include")
  target_compile_definitions(zarn_dep_libarchive INTERFACE LIBARCHIVE_STATIC)
  # Its Windows body hashes and reads users through the system's libraries.
  target_link_libraries(zarn_dep_libarchive INTERFACE ${ZARN_LIBARCHIVE_LIBRARY} bcrypt advapi32)

  find_package(glfw3 CONFIG REQUIRED)
  find_library(ZARN_GLEW_LIBRARY NAMES glew32 REQUIRED NO_DEFAULT_PATH PATHS "${ZARN_WINDOWS_DEPS}/lib")
  find_library(ZARN_IMGUI_LIBRARY NAMES imgui REQUIRED NO_DEFAULT_PATH PATHS "${ZARN_WINDOWS_DEPS}/lib")
  find_library(ZARN_OPENGL32_IMPORTS NAMES libopengl32.a REQUIRED)
  zarn_delay_loaded_imports(zarn_opengl32_delayed "${ZARN_OPENGL32_IMPORTS}" OPENGL32.dll)
  add_library(zarn_dep_gui INTERFACE)
  target_include_directories(zarn_dep_gui SYSTEM INTERFACE "${ZARN_WINDOWS_DEPS}/include"
                             "${ZARN_WINDOWS_DEPS}/include/imgui")
  target_compile_definitions(zarn_dep_gui INTERFACE GLEW_STATIC GLEW_NO_GLU)
  target_link_libraries(zarn_dep_gui INTERFACE ${ZARN_IMGUI_LIBRARY} ${ZARN_GLEW_LIBRARY} glfw
                        zarn_opengl32_delayed gdi32 imm32)
else()
  find_package(ZLIB REQUIRED)
  pkg_check_modules(CAPNP REQUIRED IMPORTED_TARGET GLOBAL capnp)
  add_library(zarn_dep_capnp INTERFACE)
  target_link_libraries(zarn_dep_capnp INTERFACE PkgConfig::CAPNP)

  find_package(OpenCV REQUIRED COMPONENTS core imgproc)

  pkg_check_modules(LIBARCHIVE REQUIRED IMPORTED_TARGET GLOBAL libarchive)
  add_library(zarn_dep_libarchive INTERFACE)
  target_link_libraries(zarn_dep_libarchive INTERFACE PkgConfig::LIBARCHIVE)

  find_package(OpenGL REQUIRED)
  pkg_check_modules(ZARN_GUI_DEPS REQUIRED IMPORTED_TARGET GLOBAL glfw3 glew imgui)
  get_target_property(zarn_gui_include_dirs PkgConfig::ZARN_GUI_DEPS INTERFACE_INCLUDE_DIRECTORIES)
  set_target_properties(PkgConfig::ZARN_GUI_DEPS PROPERTIES
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${zarn_gui_include_dirs}")
  add_library(zarn_dep_gui INTERFACE)
  target_link_libraries(zarn_dep_gui INTERFACE PkgConfig::ZARN_GUI_DEPS OpenGL::GL)
endif()
