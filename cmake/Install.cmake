# Installation layout, in four components that are also the four Debian
# packages (scripts/make-debs):
#
#   liborvik0     <libdir>/liborvik.so.0*
#   liborvik-dev  include/orvik/ (public headers), <libdir>/liborvik.so,
#                 <libdir>/pkgconfig/orvik.pc
#   orvik-tools   bin/ ovkshow framekit kvoplay; lib/cgi-bin/orvik.cgi;
#                 share/orvik/ (indicator images, lighttpd snippet);
#                 share/doc/orvik-tools/examples/; share/man/ man1, man8
#   orvik-sim     <libdir>/orvik-sim/ (the stand-ins of libludra, libkvo2,
#                 libtessel, with their headers under include/orvik-sim/);
#                 bin/orvik-sim, the wrapper that runs a program on them
#
# The stand-ins live in a directory of their own that the loader never
# searches by default: on a host with the card platform, the platform's
# own libraries are the ones every program loads.  Only orvik-sim COMMAND
# puts the stand-ins first, for that command alone.
#
# RPATHs are relative ($ORIGIN) so a tree installed under DESTDIR, or moved
# as a whole, still finds liborvik.  An install into /usr carries none: the
# loader searches /usr/lib anyway, and Debian packages must not set one.

include(GNUInstallDirs)

# Installing (and packaging, which installs) copies what is built and never
# starts a build itself: `make install` and `make package` build first, and
# the install test packages a finished tree while other tests run from it.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

option(ORVIK_INSTALL_STANDINS
  "Install the stand-ins of the card platform libraries (libludra, libkvo2, libtessel)" ON)

set(ORVIK_CGI_DIR lib/cgi-bin CACHE STRING "Where orvik.cgi is installed, relative to the prefix")
set(ORVIK_DATA_DIR ${CMAKE_INSTALL_DATADIR}/orvik)
set(ORVIK_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/orvik-tools)
set(ORVIK_SIM_DIR ${CMAKE_INSTALL_LIBDIR}/orvik-sim)

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

# --- liborvik0 and liborvik-dev ----------------------------------------------
install(TARGETS orvik
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  COMPONENT liborvik0 NAMELINK_COMPONENT liborvik-dev)
# The public headers include each other with quotes, so one directory holds
# them all.
install(FILES ${ORVIK_PUBLIC_HEADER_FILES}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orvik COMPONENT liborvik-dev)

# --- orvik-tools ---------------------------------------------------------------
install(TARGETS ovkshow framekit kvoplay
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT orvik-tools)
install(TARGETS orvik_cgi
  RUNTIME DESTINATION ${ORVIK_CGI_DIR} COMPONENT orvik-tools)
install(FILES images/indicate_up.gif images/indicate_down.gif
  DESTINATION ${ORVIK_DATA_DIR}/images COMPONENT orvik-tools OPTIONAL)
install(FILES examples/addresses.xml examples/card.sim
  DESTINATION ${ORVIK_DOC_DIR}/examples COMPONENT orvik-tools OPTIONAL)
install(FILES man/ovkshow.1 man/framekit.1 man/kvoplay.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT orvik-tools)
install(FILES man/orvik.cgi.8
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT orvik-tools)
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    foreach(p ${CMAKE_INSTALL_BINDIR}/ovkshow ${CMAKE_INSTALL_BINDIR}/framekit
              ${CMAKE_INSTALL_BINDIR}/kvoplay ${ORVIK_CGI_DIR}/orvik.cgi)
      file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}/usr/\${p}\")
    endforeach()
  endif()
" COMPONENT orvik-tools)

# --- orvik-sim ------------------------------------------------------------------
if(ORVIK_INSTALL_STANDINS)
  install(TARGETS tessel ludra kvo2
    LIBRARY DESTINATION ${ORVIK_SIM_DIR} COMPONENT orvik-sim)
  install(FILES platform/tessel.h platform/ludra.h platform/kvo2.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orvik-sim COMPONENT orvik-sim)
  install(FILES man/orvik-sim.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT orvik-sim)
endif()

# orvik.pc, the lighttpd snippet and the wrapper name installed paths, so
# they are made at install time: the prefix is then the one of this install
# (--prefix, the packages' /usr), not the one of the configure run.
set(ORVIK_GEN_DIR ${CMAKE_BINARY_DIR}/install-gen)
file(RELATIVE_PATH ORVIK_SIM_FROM_BIN /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${ORVIK_SIM_DIR})
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(ORVIK_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(ORVIK_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(ORVIK_PC_VERSION \"${PROJECT_VERSION}\")
  set(ORVIK_CGI_PATH \"\${prefix}/${ORVIK_CGI_DIR}/orvik.cgi\")
  set(ORVIK_IMAGES_PATH \"\${prefix}/${ORVIK_DATA_DIR}/images/\")
  set(ORVIK_SIM_FROM_BIN \"${ORVIK_SIM_FROM_BIN}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/orvik.pc.in\"
                 \"${ORVIK_GEN_DIR}/orvik.pc\" @ONLY)
  configure_file(\"${PROJECT_SOURCE_DIR}/scripts/lighttpd-orvik.conf\"
                 \"${ORVIK_GEN_DIR}/lighttpd-orvik.conf\" @ONLY)
  configure_file(\"${PROJECT_SOURCE_DIR}/scripts/orvik-sim.in\"
                 \"${ORVIK_GEN_DIR}/orvik-sim\" @ONLY)
" ALL_COMPONENTS)
install(FILES ${ORVIK_GEN_DIR}/orvik.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT liborvik-dev)
install(FILES ${ORVIK_GEN_DIR}/lighttpd-orvik.conf
  DESTINATION ${ORVIK_DATA_DIR} COMPONENT orvik-tools)
if(ORVIK_INSTALL_STANDINS)
  install(PROGRAMS ${ORVIK_GEN_DIR}/orvik-sim
    DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT orvik-sim)
endif()
