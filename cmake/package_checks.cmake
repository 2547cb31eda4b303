# Read by CPack before it makes each package (CPACK_PROJECT_CONFIG_FILE).
# A Debian package is refused when it would name no real maintainer, or
# declare no dependencies: CPack computes them with dpkg-shlibdeps and,
# where that is missing, only warns and leaves the Depends field out. The
# lookup is CPack's own, so what is checked here is what CPack then runs.
if(CPACK_GENERATOR STREQUAL "DEB")
  if(NOT CPACK_PACKAGE_CONTACT MATCHES "^[^<>]*[^<> ] <[^<> ]+@[^<> ]+>$" OR
     CPACK_PACKAGE_CONTACT MATCHES "[@.]example[.](com|org|net)>$")
    message(FATAL_ERROR "no maintainer for the package: configure with "
                        "-DCPACK_PACKAGE_CONTACT='Name <address>' (now '${CPACK_PACKAGE_CONTACT}')")
  endif()
  find_program(SHLIBDEPS_EXECUTABLE dpkg-shlibdeps)
  if(NOT SHLIBDEPS_EXECUTABLE OR NOT EXISTS "${SHLIBDEPS_EXECUTABLE}")
    message(FATAL_ERROR "dpkg-shlibdeps is missing (apt-get install dpkg-dev): without it the "
                        "package would declare no dependencies")
  endif()
endif()
