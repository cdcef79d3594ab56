# A Debian package of everything cmake/install.cmake installs: `cpack -G DEB` in a build
# folder configured with CMAKE_INSTALL_PREFIX=/usr (scripts/package does all of it).
# The package's dependencies are computed from the binaries by dpkg-shlibdeps.
if(WIN32)
  return()  # the Windows build ships chair-service.exe alone
endif()
set(CPACK_PACKAGE_NAME chair-service)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "chair-service")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "local service, command line and panel for a Bluetooth LE gaming chair")
# Debian's extended description: what is in the package, one item a program, as plainly as
# the files themselves (the items indented, so they are shown as written).
set(chair_package_items
    " - chair-service (in /usr/libexec/chair-service/): the service. A desktop UI
   starts it and talks to it over HTTP on 127.0.0.1 with a live event stream.
   It scans for chairs, connects over GATT through BlueZ, sends the chair's
   commands, remembers one bound chair and reconnects to it, and quiets the
   chair before it ends.
 - chairctl: the command line client, for people and scripts, with its bash
   completion.")
if(TARGET chair-panel)
  string(APPEND chair_package_items "
 - chair-panel: the control panel in the browser. It starts its own service;
   a menu entry opens it, and a systemd user unit (chair-panel.service) can
   keep it running for the session so that chairctl finds its service.")
endif()
string(APPEND chair_package_items "
 - chair-sim: a simulated Bluetooth daemon with chairs on a private D-Bus, to
   try everything without a chair.
 - Manual pages, the README and the HTTP API reference (with an OpenAPI file).")
set(CPACK_PACKAGE_DESCRIPTION
    "Drives a Bluetooth LE gaming chair from this computer: water cooling and
heating, lumbar support, vibration, volume and the chair's switches.
.
${chair_package_items}
.
Nothing runs by itself once installed: a UI, chairctl --spawn, chair-panel or
its user unit (once enabled) starts the service.")
set(CPACK_PACKAGE_CONTACT "chair-service maintainers <maintainers@chair-service.example.org>")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Real chairs are reached through bluetoothd; the panel opens the browser with xdg-open;
# chair-sim needs a bus daemon of its own.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bluez, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "dbus-daemon")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# Debian keeps a copyright file and a compressed changelog beside every package's documents
# (named changelog.gz: the version carries no Debian revision).
set(chair_changelog ${PROJECT_BINARY_DIR}/packaging/changelog)
string(TIMESTAMP chair_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${chair_changelog}
     "chair-service (${PROJECT_VERSION}) unstable; urgency=low\n\n"
     "  * Release ${PROJECT_VERSION}.\n\n"
     " -- ${CPACK_PACKAGE_CONTACT}  ${chair_changelog_date}\n")
find_program(CHAIR_GZIP gzip)
if(CHAIR_GZIP)
  execute_process(COMMAND ${CHAIR_GZIP} -9 -n -f -k ${chair_changelog})
  install(FILES ${chair_changelog}.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/chair-service)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/chair-service)

include(CPack)
