# Installs the build into a fresh prefix and checks what lands there: the
# tool, which runs; the compressed manual page, which names this version;
# the copyright file and the compressed changelog.
# Usage: cmake -DBUILD_DIR=path -DPREFIX=path -DVERSION=x.y.z [-DEMULATOR=word|word...]
#        -P check_install.cmake
# EMULATOR runs the installed tool in a cross build (qemu-user), its words
# separated by "|".
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install ${BUILD_DIR} --prefix ${PREFIX} failed: ${status}")
endif()
set(page ${PREFIX}/share/man/man1/tagrun.1.gz)
set(doc ${PREFIX}/share/doc/tagrun)
foreach(expected ${PREFIX}/bin/tagrun ${page} ${doc}/copyright ${doc}/changelog.gz)
  if(NOT EXISTS ${expected})
    message(FATAL_ERROR "not installed: ${expected}")
  endif()
endforeach()
# The installed tool runs: too few arguments is its one answer without a file.
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(COMMAND ${emulator} ${PREFIX}/bin/tagrun RESULT_VARIABLE status OUTPUT_VARIABLE out)
if(NOT status EQUAL 1 OR NOT out STREQUAL "file not specified")
  message(FATAL_ERROR "installed tagrun answered ${status}: '${out}'")
endif()
# The page and the changelog decompress, and both name this version.
find_program(GZIP gzip REQUIRED)
execute_process(COMMAND ${GZIP} -dc ${page} RESULT_VARIABLE status OUTPUT_VARIABLE text)
if(NOT status EQUAL 0 OR NOT text MATCHES "^\\.TH TAGRUN 1 \"[0-9-]+\" \"tagrun ${VERSION}\" ")
  message(FATAL_ERROR "${page} (gzip status ${status}) does not open with this version's title line")
endif()
execute_process(COMMAND ${GZIP} -dc ${doc}/changelog.gz RESULT_VARIABLE status OUTPUT_VARIABLE text)
if(NOT status EQUAL 0 OR NOT text MATCHES "^tagrun \\(${VERSION}\\) ")
  message(FATAL_ERROR "${doc}/changelog.gz (gzip status ${status}) does not open with version ${VERSION}")
endif()
file(READ ${doc}/copyright text)
if(NOT text MATCHES "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
   OR NOT text MATCHES "\nLicense: Expat\n Permission is hereby granted")
  message(FATAL_ERROR "${doc}/copyright is not the machine-readable copyright file")
endif()
# man, where it is installed, renders the compressed page as the user sees it.
find_program(MAN man)
if(MAN)
  execute_process(COMMAND ${MAN} -l ${page} RESULT_VARIABLE status OUTPUT_VARIABLE text
                  ERROR_VARIABLE errors)
  if(NOT status EQUAL 0 OR NOT errors STREQUAL "" OR NOT text MATCHES "tagrun ${VERSION}")
    message(FATAL_ERROR "man -l ${page} (status ${status}) failed: ${errors}")
  endif()
endif()
file(REMOVE_RECURSE ${PREFIX})
