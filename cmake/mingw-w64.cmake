# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers, posix
# thread flavour (the win32 flavour of GCC 12 has no std::thread/std::mutex).
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(IMGWATERMARK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${IMGWATERMARK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${IMGWATERMARK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${IMGWATERMARK_MINGW_TRIPLE}-windres)
find_program(CMAKE_OBJDUMP ${IMGWATERMARK_MINGW_TRIPLE}-objdump)

# Only the cross sysroot is searched for libraries and headers, never the
# build machine's own; programs (cmake, wine) still come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${IMGWATERMARK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# stb comes from Debian's libstb-dev; its directory alone is added, so the
# build machine's /usr/include never shadows the MinGW headers.
set(IMGWATERMARK_STB_INCLUDE /usr/include/stb CACHE PATH "Directory with the stb headers")

# Windows programs built here (tests, tools) run under Wine.
find_program(IMGWATERMARK_WINE NAMES wine wine64 PATHS /usr/bin /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(IMGWATERMARK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${IMGWATERMARK_WINE})
endif()
