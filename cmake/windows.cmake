# What the Windows cross build adds: MinGW's C99 printf, GoogleTest built from Debian's
# source package, and Wine to run the tests, with a prefix of its own under the build tree.

# MinGW's own printf family, which knows %zu and %lld and formats exactly as glibc does;
# Microsoft's msvcrt.dll printf lacks %zu.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)

if(NOT CAIRNFIX_BUILD_TESTS)
  return()
endif()

set(CAIRNFIX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${CAIRNFIX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

find_program(CAIRNFIX_WINE NAMES wine REQUIRED)
find_program(CAIRNFIX_WINESERVER NAMES wineserver REQUIRED)
set(CAIRNFIX_WINEPREFIX ${CMAKE_BINARY_DIR}/wine)
set(CAIRNFIX_WINE_ENV WINEPREFIX=${CAIRNFIX_WINEPREFIX} WINEDEBUG=-all)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env ${CAIRNFIX_WINE_ENV} ${CAIRNFIX_WINE})

# Paths compiled into the tests are Unix paths; Wine's drive Z: is the Unix root.
set(CAIRNFIX_HOST_ROOT "Z:")
