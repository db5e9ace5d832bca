# The 64-bit Windows test build, which 64-bit Wine runs on every machine.
set(MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
