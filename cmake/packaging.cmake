# What a user installs: the program, its manual page, README.md and LICENSE, and the packages
# built from them with CPack: a Debian package from the Linux build, a ZIP from the Windows build.
# The version is written down once, in project(); everything here takes it from PROJECT_VERSION.
# Included at the end of the top-level CMakeLists.txt, after the tally target exists.

include(GNUInstallDirs)

# The numeric parts of the version go to the Windows resource compiler for the VERSIONINFO
# block (tally.rc); TALLY_VERSION, the string, already reaches it from tally_core.
if(WIN32)
  set_property(SOURCE src/app/tally.rc APPEND PROPERTY COMPILE_DEFINITIONS
    TALLY_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
    TALLY_VERSION_MINOR=${PROJECT_VERSION_MINOR}
    TALLY_VERSION_PATCH=${PROJECT_VERSION_PATCH})
endif()

# The manual page carries the version in its title line.
set(TALLY_MAN_PAGE ${CMAKE_BINARY_DIR}/doc/tally.1)
configure_file(${CMAKE_SOURCE_DIR}/doc/tally.1 ${TALLY_MAN_PAGE} @ONLY)

if(WIN32)
  # The ZIP is flat: tally.exe with its README and licence, nothing to install or register.
  install(TARGETS tally RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
else()
  # Debian ships manual pages compressed; -n keeps the time stamp out, so the archive does not
  # change from one build to the next.
  set(TALLY_MAN_PAGE_GZ ${CMAKE_BINARY_DIR}/doc/tally.1.gz)
  add_custom_command(OUTPUT ${TALLY_MAN_PAGE_GZ}
    COMMAND gzip -9 -n -c ${TALLY_MAN_PAGE} > ${TALLY_MAN_PAGE_GZ}
    DEPENDS ${TALLY_MAN_PAGE}
    COMMENT "Compressing the manual page")
  add_custom_target(tally_man_page ALL DEPENDS ${TALLY_MAN_PAGE_GZ})

  install(TARGETS tally RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${TALLY_MAN_PAGE_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # CMAKE_INSTALL_DOCDIR is share/doc/<project name>, so share/doc/tally.
  install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME tally)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the tally developers")
set(CPACK_PACKAGE_CONTACT "tally developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Debian shows the long description as written: lines under 80 columns.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "tally restores a file from three or more damaged copies of it by statistical"
  "voting. For every byte, or every 16-bit sample, it writes the value that most"
  "copies agree on, ranks the copies by how often they agreed with the others,"
  "and can print a message digest of every copy and of the result. Its typical"
  "use is an audio-CD track read several times from a scratched disc.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)
# Debug information stays in the build; the packages ship stripped programs.
set(CPACK_STRIP_FILES ON)
# A .sha256 file beside each package, for checking a download.
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tally-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_NAME tally)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "tally developers")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # dpkg-shlibdeps derives the dependencies from the libraries the program links: libnettle8
  # (the digests) and the C and C++ runtimes, with the versions this build needs. The
  # description is the summary line followed by CPACK_PACKAGE_DESCRIPTION.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)

# Checks of what a user gets. They need the Linux build's tools (groff, man, dpkg) or, for the
# Windows build, cpack and Wine; each stays well under a minute.
# The sanitized build is for finding faults, not for shipping: no package checks there.
if(TALLY_TESTS AND NOT TALLY_SANITIZE)
  set(TALLY_PACKAGING_TESTS ${CMAKE_SOURCE_DIR}/tests/packaging)
  if(WIN32)
    add_test(NAME packaging_zip
      COMMAND sh ${TALLY_PACKAGING_TESTS}/zip_test.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
    add_test(NAME packaging_version_resource
      COMMAND sh ${TALLY_PACKAGING_TESTS}/version_resource_test.sh $<TARGET_FILE:tally>
              ${PROJECT_VERSION})
    set_tests_properties(packaging_zip packaging_version_resource PROPERTIES TIMEOUT 60)
  else()
    add_test(NAME packaging_man_page
      COMMAND sh ${TALLY_PACKAGING_TESTS}/man_page_test.sh ${TALLY_MAN_PAGE} ${PROJECT_VERSION})
    add_test(NAME packaging_deb
      COMMAND sh ${TALLY_PACKAGING_TESTS}/deb_test.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
    set_tests_properties(packaging_man_page packaging_deb PROPERTIES TIMEOUT 60)
  endif()
endif()
