# Installation under the GNU directories and a Debian package made by CPack:
# the program, its manual page, the README and the licence.

include(GNUInstallDirs)
# Debian keeps a package's documents under the package's name, which is not
# the project's. Only the default is replaced (another module may have
# brought in GNUInstallDirs first); a folder the user chose stays.
if(CMAKE_INSTALL_DOCDIR STREQUAL "${CMAKE_INSTALL_DATAROOTDIR}/doc/${PROJECT_NAME}")
  set(CMAKE_INSTALL_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/invoice-converter")
endif()

# 'cmake --install' installs the program as built; 'cmake --install --strip'
# strips it, and CPack strips the program in the package (CPACK_STRIP_FILES).
install(TARGETS invoice-converter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES docs/performance.md docs/reliability.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

if(NOT WIN32)
  # Installed compressed, as Debian wants manual pages.
  set(INVOICE_MAN_PAGE ${PROJECT_BINARY_DIR}/man/invoice-converter.1)
  add_custom_command(
    OUTPUT ${INVOICE_MAN_PAGE}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/invoice-converter.1
            ${INVOICE_MAN_PAGE}
    COMMAND gzip -9nf ${INVOICE_MAN_PAGE}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/invoice-converter.1
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(man_page ALL DEPENDS ${INVOICE_MAN_PAGE}.gz)
  install(FILES ${INVOICE_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  if(BUILD_TESTING)
    add_test(NAME man_page COMMAND ${PROJECT_SOURCE_DIR}/scripts/check_man_page.sh
                                   ${PROJECT_SOURCE_DIR}/docs/invoice-converter.1 ${PROJECT_VERSION})
    set_tests_properties(man_page PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endif()

set(CPACK_PACKAGE_NAME invoice-converter)
set(CPACK_PACKAGE_VENDOR invoice-converter)
# No default: a package names the real maintainer or is not built (checked
# when the Debian package is made).
set(CPACK_PACKAGE_CONTACT "" CACHE STRING
    "Maintainer named in the packages, as 'Name <address>' (required to build a package)")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "upgrades Facturae e-invoices to 3.2.1 and code page 850 to UTF-8")
set(CPACK_PACKAGE_DESCRIPTION
    "Converts a folder tree of Spanish Facturae e-invoices in place, in one
unattended run: Facturae 3.0 documents get the namespace, schema version,
element names, language codes and stylesheet reference of 3.2.1, and
documents declared as code page 850 are converted to UTF-8. Changed files
are replaced atomically and keep their modification times; electronically
signed invoices are left unchanged. Messages are in Catalan.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/package_checks.cmake)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # One zip to unpack anywhere: the program, the README and the licence at
  # its top (cmake/windows.cmake puts them there).
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "invoice-converter-${PROJECT_VERSION}-windows-x86_64")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Debian's machine-readable copyright file, made from the licence, and the
  # changelog that every Debian package carries.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${licence}")
  set(copyright_holder "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" licence_terms "${licence}")
  string(REGEX REPLACE "\n\n" "\n.\n" licence_terms "${licence_terms}")
  string(REGEX REPLACE "\n([^\n])" "\n \\1" licence_terms "${licence_terms}")
  file(WRITE ${PROJECT_BINARY_DIR}/debian/copyright
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: invoice-converter\n\n"
       "Files: *\n"
       "Copyright: ${copyright_holder}\n"
       "License: Expat\n"
       " ${licence_terms}")
  string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${PROJECT_BINARY_DIR}/debian/changelog
       "invoice-converter (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
       "  * Release ${PROJECT_VERSION}.\n\n"
       " -- ${CPACK_PACKAGE_CONTACT}  ${changelog_date}\n")
  # Only the package carries them: CPack runs this script while it stages
  # the package, 'cmake --install' does not.
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian_files.cmake.in
                 ${PROJECT_BINARY_DIR}/debian/install_files.cmake @ONLY)
  set(CPACK_INSTALL_SCRIPTS ${PROJECT_BINARY_DIR}/debian/install_files.cmake)
endif()

include(CPack)
