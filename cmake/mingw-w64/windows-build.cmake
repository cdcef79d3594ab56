# Included right after project() in a Windows cross build (see ../mingw-w64.cmake).
#
# The D-Bus backend, the simulator (D-Bus as well) and the command-line client (libcurl,
# which Debian does not build for mingw) cannot be built for Windows; their folders are
# left out here so the rest of the tree configures unchanged.
set(CHAIR_WINDOWS_SKIPPED_DIRS src/ble/bluez tools/chair-sim tools/chairctl)

function(add_subdirectory dir)
  if(dir IN_LIST CHAIR_WINDOWS_SKIPPED_DIRS)
    message(STATUS "Windows build: ${dir} left out")
    return()
  endif()
  _add_subdirectory(${ARGV})
endfunction()
