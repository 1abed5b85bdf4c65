# What the Windows cross build adds: MinGW's C99 printf, GoogleTest built from Debian's
# source package, and Wine to run the tests, with a prefix of its own under the build tree.

# MinGW's own printf family: it knows %zu and %lld and prints every format the tool uses as
# glibc does. The printf of Microsoft's msvcrt.dll lacks %zu.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)

if(NOT CAIRNFIX_BUILD_TESTS)
  return()
endif()

set(CAIRNFIX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${CAIRNFIX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# GoogleTest is not held to the project's warnings.
set_property(TARGET gtest gtest_main PROPERTY COMPILE_OPTIONS "")

# Every test program runs through cmake/wine-run.sh, which starts Wine's server once for a
# run of tests. The prefix lives in the build tree, so a run needs nothing outside it. The
# script finds wine and wineserver on the PATH; they are looked up here so that a missing
# Wine stops the configuration.
find_program(CAIRNFIX_WINE NAMES wine REQUIRED)
find_program(CAIRNFIX_WINESERVER NAMES wineserver REQUIRED)
set(CAIRNFIX_WINEPREFIX ${CMAKE_BINARY_DIR}/wine)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env WINEPREFIX=${CAIRNFIX_WINEPREFIX}
    WINEDEBUG=-all sh ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)

# A new prefix takes Wine a quarter of a minute to create: it is made as a build step of its
# own, before the test list is read from the test program under Wine.
add_custom_command(OUTPUT ${CAIRNFIX_WINEPREFIX}/system.reg
                   COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} cmd /c exit
                   COMMENT "Creating the Wine prefix for the tests")
add_custom_target(wine_prefix DEPENDS ${CAIRNFIX_WINEPREFIX}/system.reg)

# Paths compiled into the tests are Unix paths; Wine's drive Z: is the Unix root.
set(CAIRNFIX_HOST_ROOT "Z:")
