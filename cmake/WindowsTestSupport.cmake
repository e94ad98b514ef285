# The Windows build's test support: GoogleTest compiled from the system's own
# source package with the cross compiler, and Wine as the way to run what it
# builds. Nothing is downloaded.
set(ZARN_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
if(NOT EXISTS ${ZARN_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${ZARN_GOOGLETEST_SOURCE}: install the googletest package")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
# SYSTEM: our -Werror does not apply to warnings inside GoogleTest's headers.
add_subdirectory(${ZARN_GOOGLETEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
# GoogleTest's own build names its targets GTest::gtest, GTest::gtest_main and
# GTest::gmock, as the installed package on Linux does.

# Test executables run under Wine with a prefix of the build folder's own,
# which scripts/test.sh creates afresh for each run.
set(ZARN_WINE_PREFIX ${PROJECT_BINARY_DIR}/wine-prefix)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh ${ZARN_WINE_PREFIX})
