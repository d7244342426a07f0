# What "cpack" makes: on Windows the zip of the program and its texts, on
# Linux a Debian package with the program, its manual page and its documents
# under /usr (the install rules in CMakeLists.txt say where each goes).
set(CPACK_PACKAGE_NAME morvet)
set(CPACK_PACKAGE_VENDOR Corvane)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Lines under 80 characters, as dpkg shows them.
set(CPACK_PACKAGE_DESCRIPTION
  "morvet edits STAPL programming files (JEDEC JESD71, *.stp) in place so\n\
that a STAPL player runs them with the return clock and a fixed frequency,\n\
and appends the CRC of the edited text. The user's file is replaced in one\n\
step, only once the complete result is on disk.")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(MORVET_DEB_MAINTAINER "Corvane morvet maintainers <morvet@corvane.invalid>"
      CACHE STRING "The Maintainer field of the Debian package")
  # morvet_<version>_<architecture>.deb, the name Debian's tools expect.
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MORVET_DEB_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends comes from dpkg-shlibdeps (package dpkg-dev): the libraries the
  # program links to, with the versions its symbols need.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
