# The files that travel with the tool: the manual page, the copyright file
# and the changelog, and where each is installed.
#
# The version has one home, project(VERSION); the latest entry of
# packaging/changelog must name the same version, and its date is the
# release date that the manual page shows. Configuring fails when the two
# disagree, so a release cannot ship a page or a changelog that names
# another version. Compressed copies are made with `gzip -9n`, which leaves
# out the name and time stamp, so the same sources give the same bytes.

set(TAGRUN_CHANGELOG ${PROJECT_SOURCE_DIR}/packaging/changelog)
set(TAGRUN_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TAGRUN_CHANGELOG} ${TAGRUN_LICENSE})
find_program(TAGRUN_GZIP gzip REQUIRED)

# Sets OUT_VAR to the date of CHANGELOG's latest entry, as YYYY-MM-DD, or
# stops configuring if that entry is not for this version or has no date.
# The latest entry is the first: its heading names the version, its
# trailer line the date, as "Fri, 11 Dec 2026 12:00:00 +0000".
function(tagrun_release_date changelog out_var)
  file(STRINGS ${changelog} heading LIMIT_COUNT 1)
  if(NOT heading MATCHES "^${PROJECT_NAME} \\(([^)]+)\\) ")
    message(FATAL_ERROR "${changelog}: the first line is not an entry heading: '${heading}'")
  endif()
  if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "${changelog}: the latest entry is for version ${CMAKE_MATCH_1}, "
                        "but the project is version ${PROJECT_VERSION}; add an entry for it")
  endif()
  file(STRINGS ${changelog} trailer REGEX "^ -- " LIMIT_COUNT 1)
  if(NOT trailer MATCHES ">  [A-Z][a-z][a-z], ([0-9]?[0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    message(FATAL_ERROR "${changelog}: the latest entry's trailer has no date: '${trailer}'")
  endif()
  set(day ${CMAKE_MATCH_1})
  set(year ${CMAKE_MATCH_3})
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(FIND months ${CMAKE_MATCH_2} month)
  if(month EQUAL -1)
    message(FATAL_ERROR "${changelog}: no such month '${CMAKE_MATCH_2}' in '${trailer}'")
  endif()
  math(EXPR month "${month} + 1")
  if(month LESS 10)
    set(month 0${month})
  endif()
  if(day LESS 10)
    set(day 0${day})
  endif()
  set(${out_var} ${year}-${month}-${day} PARENT_SCOPE)
endfunction()
tagrun_release_date(${TAGRUN_CHANGELOG} TAGRUN_RELEASE_DATE)

set(TAGRUN_MAN_PAGE ${PROJECT_BINARY_DIR}/man/tagrun.1)
configure_file(${PROJECT_SOURCE_DIR}/man/tagrun.1.in ${TAGRUN_MAN_PAGE} @ONLY)

# Writes OUTPUT, the copyright file in Debian's machine-readable format,
# from LICENSE, so that the license text has one home too; stops
# configuring if LICENSE is not the MIT license text.
function(tagrun_write_copyright license_file output)
  file(READ ${license_file} license)
  if(NOT license MATCHES "Copyright \\(c\\) ([^\n]+)\n")
    message(FATAL_ERROR "${license_file}: no copyright line")
  endif()
  set(copyright_holder ${CMAKE_MATCH_1})
  string(FIND "${license}" "Permission is hereby granted" start)
  if(start EQUAL -1)
    message(FATAL_ERROR "${license_file}: not the MIT license text")
  endif()
  string(SUBSTRING "${license}" ${start} -1 license_body)
  string(STRIP "${license_body}" license_body)
  string(REPLACE "\n\n" "\n.\n" license_body "${license_body}")
  string(REPLACE "\n" "\n " license_body "${license_body}")
  file(WRITE ${output}
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: ${PROJECT_NAME}\n"
       "\n"
       "Files: *\n"
       "Copyright: ${copyright_holder}\n"
       "License: Expat\n"
       " ${license_body}\n")
endfunction()
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/doc)
tagrun_write_copyright(${TAGRUN_LICENSE} ${PROJECT_BINARY_DIR}/doc/copyright)

# Writes SOURCE compressed to OUTPUT, or stops configuring with gzip's reason.
function(tagrun_gzip source output)
  execute_process(COMMAND ${TAGRUN_GZIP} -9n -c ${source} OUTPUT_FILE ${output}
                  RESULT_VARIABLE status ERROR_VARIABLE reason)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${TAGRUN_GZIP} -9n -c ${source} > ${output} failed (${status}): ${reason}")
  endif()
endfunction()
tagrun_gzip(${TAGRUN_MAN_PAGE} ${PROJECT_BINARY_DIR}/doc/tagrun.1.gz)
tagrun_gzip(${TAGRUN_CHANGELOG} ${PROJECT_BINARY_DIR}/doc/changelog.gz)

# A plain `cmake --install` lays out the same files as the package, so that
# `man tagrun` works from either; man reads the compressed page as it is.
install(FILES ${PROJECT_BINARY_DIR}/doc/tagrun.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_BINARY_DIR}/doc/copyright ${PROJECT_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
