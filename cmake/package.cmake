# CPack: `make package` turns the release build into a package of the tool and its man
# page. The generator follows the platform; on Linux it is a Debian package.
set(CAIRNFIX_MAINTAINER "cairnfix maintainers <maintainers@users.noreply.c-seed-508b9e52.example>"
    CACHE STRING "The package's maintainer, as \"name <address>\"")

set(CPACK_PACKAGE_NAME cairnfix)
set(CPACK_PACKAGE_CONTACT "${CAIRNFIX_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "analyse and repair FidoNet JAM message bases")
# Debian shows these lines as they are: none may start with a dot or pass 80 columns.
set(CPACK_PACKAGE_DESCRIPTION
    "cairnfix checks a FidoNet message base in the JAM format, the four files
that tossers, mail editors and BBS programs keep each area in: the fixed
header, the index, the last-read records, every message header with its
subfields and, with -x, the reply chains. It prints one report with
every fault it finds.
On request it repairs in place what can be repaired: header counters,
stray bytes, last-read records, reply links and CRCs, and a lost index.
It holds the JAM write lock while it writes and can back up every file
first.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
# Directories the install creates get 0755 whatever the umask of the build.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

  # Every Debian package carries its copyright notice and a changelog under
  # /usr/share/doc/cairnfix. The copyright file, in Debian's machine-readable format, is
  # made from LICENSE, so the two cannot differ; the changelog's one entry has the version
  # and the date.
  file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE license)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" found "${license}")
  set(CAIRNFIX_COPYRIGHT ${CMAKE_MATCH_1})
  string(FIND "${license}" "Permission" start)
  string(SUBSTRING "${license}" ${start} -1 body)
  string(STRIP "${body}" body)
  string(REPLACE "\n\n" "\n.\n" body "${body}")
  string(REPLACE "\n" "\n " body "${body}")
  set(CAIRNFIX_LICENSE_BODY " ${body}")
  configure_file(cmake/debian/copyright.in debian/copyright @ONLY)
  execute_process(COMMAND date -u -R -d ${CAIRNFIX_DATE} OUTPUT_VARIABLE CAIRNFIX_CHANGELOG_DATE
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  configure_file(cmake/debian/changelog.in debian/changelog @ONLY)
  execute_process(COMMAND ${GZIP_EXECUTABLE} -9nc ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog
                  OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
                  COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright
                ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
elseif(WIN32)
  # A zip of one folder: cairnfix.exe (it runs on its own: the runtime is linked in) and,
  # beside it, README.txt, the manual as plain text (cairnfix.txt) and the licence
  # (LICENSE.txt), each with CRLF line ends, so that Notepad of any age shows them and a
  # double click opens them. Windows has no man, so the page is rendered here, by mandoc
  # or else groff, with the overstrikes that mark bold and underline taken out.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME cairnfix-${PROJECT_VERSION}-windows-x86_64)
  find_program(MANDOC_EXECUTABLE mandoc)
  if(MANDOC_EXECUTABLE)
    set(render ${MANDOC_EXECUTABLE} -Tascii -Owidth=78)
  else()
    find_program(GROFF_EXECUTABLE groff REQUIRED)
    set(render ${GROFF_EXECUTABLE} -man -Tascii -P-cbou -rLL=78n)
  endif()
  execute_process(COMMAND ${render} ${CMAKE_CURRENT_BINARY_DIR}/cairnfix.1
                  OUTPUT_VARIABLE manual COMMAND_ERROR_IS_FATAL ANY)
  string(ASCII 8 backspace)
  string(REGEX REPLACE "[^\n]${backspace}" "" manual "${manual}")
  file(READ ${CMAKE_CURRENT_SOURCE_DIR}/cmake/README.txt.in readme)
  string(CONFIGURE "${readme}" readme @ONLY)
  file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE license)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${CMAKE_CURRENT_SOURCE_DIR}/cmake/README.txt.in)
  foreach(part manual readme license)
    # Line ends are made CRLF from whatever the source has.
    string(REPLACE "\r\n" "\n" text "${${part}}")
    string(REPLACE "\n" "\r\n" text "${text}")
    set(${part} "${text}")
  endforeach()
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/zip/cairnfix.txt "${manual}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/zip/README.txt "${readme}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/zip/LICENSE.txt "${license}")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zip/README.txt
                ${CMAKE_CURRENT_BINARY_DIR}/zip/cairnfix.txt
                ${CMAKE_CURRENT_BINARY_DIR}/zip/LICENSE.txt DESTINATION .)
else()
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

include(CPack)
