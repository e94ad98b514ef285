# One library target per folder. Sources are picked up from the folder itself
# (not from tests/), tests from its tests/ folder into one test executable.
#
#   zarn_component(name [SOURCES file...] [TESTS file...] [EXCLUDE file...]
#                  [SERIAL_TESTS gtest-filter] [DEPS target...] [TEST_DEPS target...])
#
# SOURCES and TESTS (relative to the folder) replace the globs, for a folder
# that holds more than one component; EXCLUDE drops file names from the globs.
# Test files named *_posix_test.cpp check what only Linux has (fork, ptrace,
# environment-driven folders) and are left out of the Windows build;
# *_win32_test.cpp files check Windows' own bodies and are built only there.
# SERIAL_TESTS names tests (a GoogleTest filter) that the Windows run runs with
# no other test beside them: there every test process shares one Wine prefix
# and so one user's folders.
set(ZARN_WARNINGS -Wall -Wextra)

function(zarn_component name)
  cmake_parse_arguments(Z "" "SERIAL_TESTS" "SOURCES;TESTS;EXCLUDE;DEPS;TEST_DEPS" ${ARGN})
  if(Z_SOURCES)
    list(TRANSFORM Z_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/ OUTPUT_VARIABLE srcs)
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  endif()
  if(Z_TESTS)
    list(TRANSFORM Z_TESTS PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/ OUTPUT_VARIABLE tests)
  else()
    file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  endif()
  foreach(excluded IN LISTS Z_EXCLUDE)
    list(FILTER srcs EXCLUDE REGEX "/${excluded}$")
    list(FILTER tests EXCLUDE REGEX "/${excluded}$")
  endforeach()
  if(WIN32)
    list(FILTER tests EXCLUDE REGEX "_posix_test\\.cpp$")
  else()
    list(FILTER tests EXCLUDE REGEX "_win32_test\\.cpp$")
  endif()

  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
    target_compile_options(${name} PRIVATE ${ZARN_WARNINGS} $<$<BOOL:${ZARN_WERROR}>:-Werror>)
    target_link_libraries(${name} PUBLIC ${Z_DEPS} Threads::Threads)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
    target_link_libraries(${name} INTERFACE ${Z_DEPS} Threads::Threads)
  endif()
  if(tests)
    add_executable(${name}_tests ${tests})
    target_compile_options(${name}_tests PRIVATE ${ZARN_WARNINGS} $<$<BOOL:${ZARN_WERROR}>:-Werror>)
    target_link_libraries(${name}_tests PRIVATE ${name} ${Z_TEST_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
    if(WIN32)
      # Each listing and each test is a Wine process, slow to start on a loaded
      # machine: tests are listed when CTest runs, not at every build, and
      # every run is bounded so that a hang is reported, not waited out.
      set(filter "")
      if(Z_SERIAL_TESTS)
        gtest_discover_tests(${name}_tests
          TEST_FILTER "${Z_SERIAL_TESTS}"
          DISCOVERY_MODE PRE_TEST
          DISCOVERY_TIMEOUT 120
          PROPERTIES TIMEOUT 60 RUN_SERIAL TRUE)
        set(filter TEST_FILTER "-${Z_SERIAL_TESTS}")
      endif()
      gtest_discover_tests(${name}_tests
        ${filter}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 120
        PROPERTIES TIMEOUT 60)
    else()
      # Tests write only into a temporary folder: the log folder lives under XDG_DATA_HOME.
      gtest_discover_tests(${name}_tests
        DISCOVERY_TIMEOUT 60
        PROPERTIES ENVIRONMENT "XDG_DATA_HOME=${PROJECT_BINARY_DIR}/test-data/${name}" TIMEOUT 120)
    endif()
  endif()
endfunction()
