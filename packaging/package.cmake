# CPack: one Debian package, pelimoor_<version>_<arch>.deb, installed under /usr. Its run-time
# dependencies (libpff, Qt 6 with its platform and GIF plugins, the C++ runtime) are read off the
# programs by dpkg-shlibdeps. scripts/package builds it.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pelimoor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Pelimoor")
set(CPACK_PACKAGE_CONTACT "Pelimoor maintainers <pelimoor@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "get the address book out of an Outlook personal folder file")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Pelimoor opens an Outlook personal folder file (.pst), walks every folder,"
    "finds every contact, lets you browse them by initial and preview one, and"
    "converts them all to a new PST file, vCard, CSV, plain text or HTML."
    "pelimoor-convert does the same from the command line.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
