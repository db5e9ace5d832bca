# Cross-compiles the Windows programs with Debian's mingw-w64 (posix threads).
# MINGW_TRIPLE picks the target: i686-w64-mingw32 for the shipped 32-bit
# program, x86_64-w64-mingw32 for the 64-bit test build that 64-bit Wine
# runs on every machine.
set(CMAKE_SYSTEM_NAME Windows)
if(MINGW_TRIPLE STREQUAL "x86_64-w64-mingw32")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
  set(wine_arch win64)
else()
  set(MINGW_TRIPLE i686-w64-mingw32)
  set(CMAKE_SYSTEM_PROCESSOR x86)
  set(wine_arch win32)
endif()
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Everything is linked in statically so the program runs on a bare Windows.
set(ZLIB_USE_STATIC_LIBS ON)
# Test programs run under Wine of the same width, in a prefix of the project's own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run ${wine_arch})
