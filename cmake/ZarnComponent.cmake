# One library target per folder. Sources are picked up from the folder itself
# (not from tests/), tests from its tests/ folder into one test executable.
set(ZARN_WARNINGS -Wall -Wextra)

function(zarn_component name)
  cmake_parse_arguments(Z "" "" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
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
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  if(tests)
    add_executable(${name}_tests ${tests})
    target_compile_options(${name}_tests PRIVATE ${ZARN_WARNINGS} $<$<BOOL:${ZARN_WERROR}>:-Werror>)
    target_link_libraries(${name}_tests PRIVATE ${name} ${Z_TEST_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
    # Tests write only into a temporary folder: the log folder lives under XDG_DATA_HOME.
    gtest_discover_tests(${name}_tests
      DISCOVERY_TIMEOUT 60
      PROPERTIES ENVIRONMENT "XDG_DATA_HOME=${PROJECT_BINARY_DIR}/test-data/${name}" TIMEOUT 120)
  endif()
endfunction()
