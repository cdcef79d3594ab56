# Cross-compiles the service for 64-bit Windows with the Debian mingw-w64 toolchain
# (g++-mingw-w64-x86-64-posix: the posix thread model gives std::thread and std::mutex).
#
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCHAIR_TESTS=OFF
#
# The result is linked statically (libgcc, libstdc++, winpthreads) so the .exe runs on a
# bare Windows without any of the toolchain's DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CHAIR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CHAIR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CHAIR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${CHAIR_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CHAIR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 10 is the oldest system with the Bluetooth LE classes the service uses.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# nlohmann-json is header-only; the host's copy is used through a folder that holds only
# it, never the whole host include tree (its C library headers would shadow mingw's).
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-w64 CACHE PATH "" FORCE)
