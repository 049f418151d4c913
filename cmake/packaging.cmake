# The Debian package: `cpack -G DEB` in the build folder.
set(CPACK_PACKAGE_NAME "tagrun")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "The tagrun developers")
set(CPACK_PACKAGE_CONTACT "The tagrun developers <tagrun@example.org>")
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
# The package holds the tool and its manual page only.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
include(CPack)
