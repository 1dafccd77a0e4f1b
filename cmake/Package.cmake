# Debian package of the whole install: `make package` leaves
# orvik_<version>_<arch>.deb in the build directory.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvik)
set(CPACK_PACKAGE_VENDOR "Morvex")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Orvik maintainers <orvik@morvex.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "status, register and traffic tools for ludra FPGA network cards")
set(CPACK_PACKAGE_DESCRIPTION
  "liborvik reads and writes the registers of a ludra card as described by an
XML design description, and loads, edits, saves and replays PCAP captures.
The package holds the library with its headers and pkg-config file, the
console status tool ovkshow, the status CGI orvik.cgi for a web server, the
PCAP editor framekit and the replay tool kvoplay, and simulated stand-ins of
the card platform libraries for hosts without a card.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# The stand-in platform libraries are private to the package and carry no
# shlibs information, so dpkg-shlibdeps cannot follow them: the run-time
# dependencies are listed by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libxml2")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "lighttpd | httpd-cgi, pkg-config")
# The build keeps its debug information; the package ships stripped files.
set(CPACK_STRIP_FILES ON)
include(CPack)
