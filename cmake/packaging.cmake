# Installation and the Debian package.
#
# The MCP server goes where programs people run go (bin/); the two helpers,
# which hosts start and people do not, go to libexec/larkspire/; the README
# to the documentation folder. larkspire-mcp finds the helpers from its own
# folder by the relative path computed here.
include(GNUInstallDirs)

set(LARKSPIRE_VERSION 0.1.0)
set(LARKSPIRE_HELPER_DIR ${CMAKE_INSTALL_LIBEXECDIR}/larkspire)
file(RELATIVE_PATH LARKSPIRE_HELPER_FROM_BIN ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBEXECDIR}/larkspire)
target_compile_definitions(larkspire_mcp_core PUBLIC
  LARKSPIRE_MCP_HELPER_FOLDER="${LARKSPIRE_HELPER_FROM_BIN}"
  LARKSPIRE_MCP_VERSION="${LARKSPIRE_VERSION}")

install(TARGETS larkspire-mcp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS larkspire-computer larkspire-selection-observer RUNTIME DESTINATION ${LARKSPIRE_HELPER_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(NOT APPLE)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME larkspire)
  set(CPACK_PACKAGE_VERSION ${LARKSPIRE_VERSION})
  set(CPACK_PACKAGE_CONTACT "Larkspire developers <larkspire@localhost>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop helpers for assistants: computer use, text selections, MCP server")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "larkspire-computer observes and operates other applications' windows (accessibility\n inventory and picture, clicks, typing) for an assistant that starts it; \n larkspire-selection-observer reports the text the user selects; larkspire-mcp offers\n both to any Model Context Protocol client over standard input and output.")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # Depends: the packages of the shared libraries the programs really link,
  # found by dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  include(CPack)
endif()
