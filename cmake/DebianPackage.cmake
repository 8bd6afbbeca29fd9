# The Debian package: `cpack -G DEB` in a build folder (scripts/package does it all) makes
# tavrinth_VERSION_ARCH.deb of what `cmake --install` installs: both programs, the sample
# database, the desktop entry, the icon, the Paradox table type and the manual pages, with the
# changelog and the copyright file Debian asks for.
#
# The programs look for the sample database under the prefix they were built for, so the package
# installs under CMAKE_INSTALL_PREFIX too: configure with -DCMAKE_INSTALL_PREFIX=/usr.
set(TAVRINTH_PACKAGE_MAINTAINER "Tavrinth developers" CACHE STRING
    "Maintainer of the Debian package (Debian wants \"Name <address>\")")
set(TAVRINTH_PACKAGE_COPYRIGHT "" CACHE FILEPATH
    "Copyright and license text installed as share/doc/tavrinth/copyright (Debian wants one)")

set(tavrinth_package_docdir "${CMAKE_INSTALL_DATAROOTDIR}/doc/tavrinth")

# The changelog of this version, compressed as Debian installs it.
string(TIMESTAMP tavrinth_package_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file("${CMAKE_CURRENT_LIST_DIR}/debian-changelog.in" "${CMAKE_BINARY_DIR}/package/changelog" @ONLY)
find_program(TAVRINTH_GZIP gzip REQUIRED)
add_custom_command(
  OUTPUT "${CMAKE_BINARY_DIR}/package/changelog.gz"
  COMMAND sh -c "\"$1\" -9nc \"$2\" > \"$3\"" sh "${TAVRINTH_GZIP}" "${CMAKE_BINARY_DIR}/package/changelog"
          "${CMAKE_BINARY_DIR}/package/changelog.gz"
  DEPENDS "${CMAKE_BINARY_DIR}/package/changelog"
  VERBATIM)
add_custom_target(package-changelog ALL DEPENDS "${CMAKE_BINARY_DIR}/package/changelog.gz")
install(FILES "${CMAKE_BINARY_DIR}/package/changelog.gz" DESTINATION "${tavrinth_package_docdir}")
if(TAVRINTH_PACKAGE_COPYRIGHT)
  install(FILES "${TAVRINTH_PACKAGE_COPYRIGHT}" DESTINATION "${tavrinth_package_docdir}" RENAME copyright)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrinth)
set(CPACK_PACKAGE_VENDOR "Tavrinth developers")
set(CPACK_PACKAGE_CONTACT "${TAVRINTH_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "look into Paradox and dBase tables")
set(CPACK_PACKAGE_DESCRIPTION
    "Tavrinth looks into legacy desktop database tables, Paradox (.db) and dBase
(.dbf): it lists the tables of a folder or of a named alias, shows and edits
their rows, searches them, exports them to delimited text, and writes their
structure as a text report or as InterBase, MS SQL or Delphi scripts. It reads
Paradox 3.0 to 7 and dBase III to 7 with the FoxPro and Visual FoxPro variants,
decoding each table's code page to UTF-8.
.
The package holds the window (tavrinth), the command-line front (tavrinth-cli)
and a sample database.")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TAVRINTH_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries' packages, found by dpkg-shlibdeps (dpkg-dev) from the binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "The Debian package installs under ${CMAKE_INSTALL_PREFIX}; "
                 "configure with -DCMAKE_INSTALL_PREFIX=/usr for one Debian accepts")
endif()
if(NOT TAVRINTH_PACKAGE_COPYRIGHT)
  message(STATUS "The Debian package has no copyright file: set TAVRINTH_PACKAGE_COPYRIGHT")
endif()

include(CPack)
