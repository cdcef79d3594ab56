# What `cmake --install` lays out under the prefix (/usr/local by default, /usr in the package):
#   bin/chairctl, bin/chair-sim, bin/chair-panel          programs people run
#   libexec/chair-service/chair-service                   the service, started by a UI or chairctl --spawn
#   libexec/chair-service/chair-bluez.so                  its BlueZ backend, loaded at the first Bluetooth call
#   share/man/man1, man8                                  manual pages (compressed)
#   share/bash-completion/completions/chairctl
#   share/applications, share/icons/hicolor               the panel's desktop entry and icon
#   lib/systemd/user/chair-panel.service                  the panel as a login service (--resident)
#   share/doc/chair-service                               README, the API reference and its OpenAPI file
# Programs that are not part of this build (the Windows build, a tree without the panel) are
# left out, and so are their pages.
include(GNUInstallDirs)

# CHAIR_SERVICE_INSTALL_DIR comes from the top-level CMakeLists.txt, which the code also uses.
set(CHAIR_DOC_INSTALL_DIR ${CMAKE_INSTALL_DATADIR}/doc/chair-service)

# A program of this build, or one given as an imported executable (a build made elsewhere).
function(chair_install_program target destination)
  if(NOT TARGET ${target})
    return()
  endif()
  get_target_property(imported ${target} IMPORTED)
  if(imported)
    install(IMPORTED_RUNTIME_ARTIFACTS ${target} RUNTIME DESTINATION ${destination})
  else()
    install(TARGETS ${target} RUNTIME DESTINATION ${destination})
  endif()
endfunction()

chair_install_program(chair-service ${CHAIR_SERVICE_INSTALL_DIR})
# The service's BlueZ backend, which it loads from beside itself at its first Bluetooth call.
if(TARGET chair_bluez_module)
  install(TARGETS chair_bluez_module LIBRARY DESTINATION ${CHAIR_SERVICE_INSTALL_DIR})
endif()
foreach(program chairctl chair-sim chair-panel)
  chair_install_program(${program} ${CMAKE_INSTALL_BINDIR})
endforeach()

# Manual pages, compressed as Debian wants them (-n: no name or time inside, so the same
# page gives the same bytes).
find_program(CHAIR_GZIP gzip)
set(chair_man_pages chair-service.8)
foreach(program chairctl chair-sim chair-panel)
  if(TARGET ${program})
    list(APPEND chair_man_pages ${program}.1)
  endif()
endforeach()
if(CHAIR_GZIP AND NOT WIN32)
  set(chair_man_outputs)
  foreach(page ${chair_man_pages})
    set(source ${PROJECT_SOURCE_DIR}/docs/man/${page})
    set(packed ${PROJECT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${packed}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                       COMMAND ${CHAIR_GZIP} -9 -n -c ${source} > ${packed}
                       DEPENDS ${source} VERBATIM)
    list(APPEND chair_man_outputs ${packed})
    string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
    install(FILES ${packed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  add_custom_target(chair_man_pages ALL DEPENDS ${chair_man_outputs})
endif()

if(TARGET chairctl)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/bash-completion/chairctl
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()
if(TARGET chair-panel)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/chair-panel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/icons/chair-panel.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  # systemd looks for user units in lib/systemd/user under /usr and /usr/local alike.
  # The unit names the program where this install puts it: the prefix is the install's own
  # (a package is installed under /usr whatever the build folder was configured with).
  install(CODE "set(CHAIR_PANEL_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/chair-panel\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/systemd/chair-panel.service.in\"
                   \"${PROJECT_BINARY_DIR}/packaging/chair-panel.service\" @ONLY)")
  install(FILES ${PROJECT_BINARY_DIR}/packaging/chair-panel.service DESTINATION lib/systemd/user)
endif()

file(GLOB chair_docs ${PROJECT_SOURCE_DIR}/docs/*.md ${PROJECT_SOURCE_DIR}/docs/*.yaml ${PROJECT_SOURCE_DIR}/docs/*.png)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${chair_docs} DESTINATION ${CHAIR_DOC_INSTALL_DIR})
