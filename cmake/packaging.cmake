# Installation under the GNU directories.

include(GNUInstallDirs)
install(TARGETS invoice-converter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
