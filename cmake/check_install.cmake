# Installs the build into a fresh prefix and checks what lands there.
# Usage: cmake -DBUILD_DIR=path -DPREFIX=path [-DEMULATOR=word|word...]
#        -P check_install.cmake
# EMULATOR runs the installed tool in a cross build (qemu-user), its words
# separated by "|".
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install ${BUILD_DIR} --prefix ${PREFIX} failed: ${status}")
endif()
foreach(expected bin/tagrun share/man/man1/tagrun.1)
  if(NOT EXISTS ${PREFIX}/${expected})
    message(FATAL_ERROR "not installed: ${PREFIX}/${expected}")
  endif()
endforeach()
# The installed tool runs: too few arguments is its one answer without a file.
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(COMMAND ${emulator} ${PREFIX}/bin/tagrun RESULT_VARIABLE status OUTPUT_VARIABLE out)
if(NOT status EQUAL 1 OR NOT out STREQUAL "file not specified")
  message(FATAL_ERROR "installed tagrun answered ${status}: '${out}'")
endif()
file(REMOVE_RECURSE ${PREFIX})
