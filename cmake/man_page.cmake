# The man page as installed: docs/cairnfix.1 with the version and the date set in
# CMakeLists.txt. Its .TH line holds "@PROJECT_VERSION@" and the date placeholder
# "$Mdocdate$", which mandoc accepts, so that the page in docs/ passes `mandoc -Tlint` too.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_CURRENT_SOURCE_DIR}/docs/cairnfix.1)
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/docs/cairnfix.1 man_page)
string(REPLACE "\"\$Mdocdate\$\"" "${CAIRNFIX_DATE}" man_page "${man_page}")
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/cairnfix.1 CONTENT "${man_page}" @ONLY)

# Unix systems keep man pages compressed; -n leaves the name and the time out of the
# archive, so every build makes the same bytes.
if(UNIX)
  find_program(GZIP_EXECUTABLE gzip REQUIRED)
  execute_process(COMMAND ${GZIP_EXECUTABLE} -9nc ${CMAKE_CURRENT_BINARY_DIR}/cairnfix.1
                  OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/cairnfix.1.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/cairnfix.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
elseif(NOT WIN32)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/cairnfix.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
