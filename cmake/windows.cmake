# The Windows build: system libraries, the application manifest, a static
# .exe, and the zip that ships it.

target_link_libraries(invoice_platform PUBLIC advapi32 bcrypt)

enable_language(RC)
target_sources(invoice-converter PRIVATE ${PROJECT_SOURCE_DIR}/packaging/windows/invoice-converter.rc)
set_property(SOURCE ${PROJECT_SOURCE_DIR}/packaging/windows/invoice-converter.rc APPEND PROPERTY
             OBJECT_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/windows/invoice-converter.manifest)

if(BUILD_TESTING)
  # For the end-to-end tests under Wine: another program holding an invoice.
  add_executable(hold-file ${PROJECT_SOURCE_DIR}/tests/windows/hold_file.cc)
  target_link_options(hold-file PRIVATE -municode)
  add_dependencies(invoice_converter_tests hold-file)
endif()

# The zip holds the program and its documents side by side, not the
# folders of a Unix installation.
set(CMAKE_INSTALL_BINDIR .)
set(CMAKE_INSTALL_DOCDIR .)
