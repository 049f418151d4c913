# Fails unless the manual page renders without a single warning.
# Usage: cmake -DMAN_PAGE=path -P check_man_page.cmake
find_program(GROFF groff REQUIRED)
execute_process(COMMAND ${GROFF} -man -ww -z ${MAN_PAGE}
                RESULT_VARIABLE status ERROR_VARIABLE warnings OUTPUT_QUIET)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff -man -ww -z ${MAN_PAGE} (status ${status}):\n${warnings}")
endif()
