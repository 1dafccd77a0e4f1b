# Installation layout and the Debian package.
#
#   bin/                      ovkshow, framekit, kvoplay
#   lib/cgi-bin/              orvik.cgi (Debian's CGI directory under /usr)
#   <libdir>/                 liborvik and the platform stand-ins, with links
#   include/orvik/            public headers; pkg-config file orvik.pc
#   share/orvik/images/       indicator images the status pages reference
#   share/doc/orvik/          example design description and card, lighttpd snippet
#   share/man/man1, man8      manual pages
#
# RPATHs are relative ($ORIGIN) so a tree installed under DESTDIR, or moved
# as a whole, still finds its own libraries.

include(GNUInstallDirs)

# Installing (and packaging, which installs) copies what is built and never
# starts a build itself: `make install` and `make package` build first, and
# the install test packages a finished tree while other tests run from it.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

option(ORVIK_INSTALL_STANDINS
  "Install the stand-ins of the card platform libraries (libludra, libkvo2, libtessel)" ON)

set(ORVIK_CGI_DIR lib/cgi-bin CACHE STRING "Where orvik.cgi is installed, relative to the prefix")
set(ORVIK_DATA_DIR ${CMAKE_INSTALL_DATADIR}/orvik)
set(ORVIK_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/orvik)

# "$ORIGIN/<up to the prefix>/<libdir>", e.g. $ORIGIN/../../lib for lib/cgi-bin.
function(orvik_origin_rpath out from_dir)
  file(RELATIVE_PATH up /prefix/${from_dir} /prefix)
  string(REGEX REPLACE "/$" "" up "${up}")
  set(${out} "$ORIGIN/${up}/${CMAKE_INSTALL_LIBDIR}" PARENT_SCOPE)
endfunction()

orvik_origin_rpath(bin_rpath ${CMAKE_INSTALL_BINDIR})
orvik_origin_rpath(cgi_rpath ${ORVIK_CGI_DIR})
set_target_properties(ovkshow framekit kvoplay PROPERTIES INSTALL_RPATH "${bin_rpath}")
set_target_properties(orvik_cgi PROPERTIES INSTALL_RPATH "${cgi_rpath}")
# liborvik finds libtessel beside itself even in a program that carries no
# RPATH of its own.
set_target_properties(orvik PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS orvik
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(ORVIK_INSTALL_STANDINS)
  install(TARGETS tessel ludra kvo2
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
install(TARGETS ovkshow framekit kvoplay
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS orvik_cgi
  RUNTIME DESTINATION ${ORVIK_CGI_DIR})

# The public headers include each other with quotes, so one directory holds
# them all.  The platform declarations go beside them for callers that set
# the shared verbosity (tessel.h) or drive the card themselves.
install(FILES
  lib/export.h lib/parser.h lib/stat.h lib/frames.h lib/send.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orvik)
if(ORVIK_INSTALL_STANDINS)
  install(FILES platform/tessel.h platform/ludra.h platform/kvo2.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orvik)
endif()

install(FILES images/indicate_up.gif images/indicate_down.gif
  DESTINATION ${ORVIK_DATA_DIR}/images OPTIONAL)
install(FILES examples/addresses.xml examples/card.sim
  DESTINATION ${ORVIK_DOC_DIR}/examples OPTIONAL)

install(FILES man/ovkshow.1 man/framekit.1 man/kvoplay.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES man/orvik.cgi.8
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

# orvik.pc and the lighttpd snippet name installed paths, so they are made
# at install time: the prefix is then the one of this install (--prefix,
# CPack's /usr), not the one of the configure run.
set(ORVIK_GEN_DIR ${CMAKE_BINARY_DIR}/install-gen)
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(ORVIK_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(ORVIK_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(ORVIK_PC_VERSION \"${PROJECT_VERSION}\")
  set(ORVIK_CGI_PATH \"\${prefix}/${ORVIK_CGI_DIR}/orvik.cgi\")
  set(ORVIK_IMAGES_PATH \"\${prefix}/${ORVIK_DATA_DIR}/images/\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/orvik.pc.in\"
                 \"${ORVIK_GEN_DIR}/orvik.pc\" @ONLY)
  configure_file(\"${PROJECT_SOURCE_DIR}/scripts/lighttpd-orvik.conf\"
                 \"${ORVIK_GEN_DIR}/lighttpd-orvik.conf\" @ONLY)
")
install(FILES ${ORVIK_GEN_DIR}/orvik.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${ORVIK_GEN_DIR}/lighttpd-orvik.conf
  DESTINATION ${ORVIK_DOC_DIR})

include(cmake/Package.cmake)
