# The Debian package: `cpack -G DEB` in the build folder. It holds the
# tool, its compressed manual page, the copyright file and the changelog
# (cmake/release_files.cmake), and passes lintian without an error or a
# warning. The informational tags lintian still shows are kept on purpose:
#   binary-has-unneeded-section .comment: CPack strips with plain `strip`,
#     which keeps the compiler's version string, a few dozen bytes.
#   hardening-no-fortify-functions: the code is compiled with
#     _FORTIFY_SOURCE=2, but no call of a checked libc function has a
#     buffer whose size the compiler knows (the buffers are sized at run
#     time), so no checked variant is linked in. The tag cannot tell this
#     apart from a build without the flag.
# A packager who redistributes the package sets their own name and address:
#   cmake --preset release -DTAGRUN_PACKAGE_MAINTAINER="Name <address>"
set(TAGRUN_PACKAGE_MAINTAINER "The tagrun developers <tagrun@example.org>"
    CACHE STRING "The Debian package's Maintainer field: a name and an e-mail address")
if(NOT TAGRUN_PACKAGE_MAINTAINER MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$")
  message(FATAL_ERROR "TAGRUN_PACKAGE_MAINTAINER must be 'Name <address>', "
                      "not '${TAGRUN_PACKAGE_MAINTAINER}'")
endif()
set(CPACK_PACKAGE_NAME "tagrun")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "The tagrun developers")
set(CPACK_PACKAGE_CONTACT "${TAGRUN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find or rewrite a run of tagged values in a binary file, in place")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "tagrun works in place on one binary file that carries tagged values: a byte\n"
       "0x06 followed by a 32-bit little-endian signed integer. Given a first value,\n"
       "it reports where each of the 177 consecutive values of the run occurs, or\n"
       "overwrites each one with the value at the same index of a second run. It\n"
       "reads the file once, in bounded memory, and never creates, truncates or\n"
       "extends it.")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR "DEB")
set(CPACK_DEBIAN_PACKAGE_NAME "tagrun")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The architecture of what was built: the cross toolchain file names it
# (TAGRUN_DEB_ARCHITECTURE), a native build asks dpkg.
if(DEFINED TAGRUN_DEB_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${TAGRUN_DEB_ARCHITECTURE}")
elseif(NOT CMAKE_CROSSCOMPILING)
  find_program(DPKG_COMMAND dpkg)
  if(DPKG_COMMAND)
    execute_process(COMMAND ${DPKG_COMMAND} --print-architecture
                    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
endif()
if(NOT CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # dpkg-shlibdeps knows only the build machine's libraries. The tool links
  # the C++ runtime statically, so it needs the C library alone, and no
  # newer one than the cross toolchain's (libc6-dev-ARCH-cross).
  execute_process(COMMAND dpkg-query -W "-f=\${Version}"
                          libc6-dev-${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}-cross
                  OUTPUT_VARIABLE cross_libc RESULT_VARIABLE cross_libc_status)
  if(cross_libc_status EQUAL 0 AND cross_libc MATCHES "^([0-9]+\\.[0-9]+)")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${CMAKE_MATCH_1})")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
  endif()
endif()
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
include(CPack)
