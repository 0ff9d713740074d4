# The manual pages (Linux): one section-3 page per documentation block of
# include/klsrv32.h, made by scripts/apidoc.sh with pandoc, and klcli(1),
# made by help2man from `klcli --help` and `klcli --version`.  Both tools
# come from Debian (scripts/test.sh installs them); without them the build
# goes on without pages and says so.  `cmake --install` puts the pages in
# share/man.

set(KL_API_HEADER ${PROJECT_SOURCE_DIR}/include/klsrv32.h)
set(KL_APIDOC ${PROJECT_SOURCE_DIR}/scripts/apidoc.sh)
set(KL_MAN_DIR ${PROJECT_BINARY_DIR}/man)

find_program(KL_PANDOC pandoc)
find_program(KL_HELP2MAN help2man)
if(KL_PANDOC AND KL_HELP2MAN AND TARGET klcli)
  add_custom_command(OUTPUT ${KL_MAN_DIR}/man3.stamp
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${KL_MAN_DIR}/man3
    COMMAND ${KL_APIDOC} man ${KL_API_HEADER} ${KL_MAN_DIR} ${PROJECT_VERSION}
    COMMAND ${CMAKE_COMMAND} -E touch ${KL_MAN_DIR}/man3.stamp
    DEPENDS ${KL_API_HEADER} ${KL_APIDOC}
    COMMENT "Manual pages of the calls")
  add_custom_command(OUTPUT ${KL_MAN_DIR}/man1/klcli.1
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KL_MAN_DIR}/man1
    COMMAND ${KL_HELP2MAN} --no-info --no-discard-stderr
            --name "command-line client of the klsrv32 library"
            --output ${KL_MAN_DIR}/man1/klcli.1 $<TARGET_FILE:klcli>
    DEPENDS klcli
    COMMENT "Manual page of klcli")
  add_custom_target(man_pages ALL DEPENDS ${KL_MAN_DIR}/man3.stamp ${KL_MAN_DIR}/man1/klcli.1)
  install(DIRECTORY ${KL_MAN_DIR}/man1 ${KL_MAN_DIR}/man3 DESTINATION ${CMAKE_INSTALL_MANDIR})
else()
  message(WARNING "pandoc or help2man not found: no manual pages (apt-get install pandoc help2man)")
endif()

if(KL_BUILD_TESTS)
  # docs/api.md is the header's reference as apidoc.sh writes it; every
  # export has a page and every error number its meaning.
  add_test(NAME api_reference
    COMMAND ${KL_APIDOC} check ${KL_API_HEADER} ${PROJECT_SOURCE_DIR}/docs/api.md
            ${PROJECT_SOURCE_DIR}/src/exports.txt)
  if(TARGET man_pages)
    # The pages as `man` shows them from an install.
    add_test(NAME man_pages
      COMMAND ${PROJECT_SOURCE_DIR}/tests/install/man_pages.sh ${CMAKE_COMMAND} ${PROJECT_BINARY_DIR}
              ${CMAKE_CURRENT_BINARY_DIR}/man_pages ${PROJECT_SOURCE_DIR}/src/exports.txt)
    set_tests_properties(man_pages PROPERTIES TIMEOUT 60)
  endif()
endif()
