# zlib built from its own sources (Debian's source package of zlib 1.2.13,
# which scripts/install-deps unpacks into out/zlib-source/src) for the POSIX
# programs, as the Windows ones build it (cmake/windows.cmake): updates carry
# deflate streams the updater makes again bit for bit, and another zlib (a
# distribution's SIMD build, zlib-ng) may deflate the same bytes otherwise.
set(UPDATER_ZLIB_SOURCE "${CMAKE_SOURCE_DIR}/out/zlib-source/src" CACHE PATH
    "zlib's sources, which every program links")
if(NOT EXISTS "${UPDATER_ZLIB_SOURCE}/zlib.h")
  message(FATAL_ERROR "zlib's sources are missing at ${UPDATER_ZLIB_SOURCE}: run scripts/install-deps")
endif()
set(zlib_sources "")
foreach(part adler32 compress crc32 deflate inflate inftrees inffast trees uncompr zutil)
  list(APPEND zlib_sources ${UPDATER_ZLIB_SOURCE}/${part}.c)
endforeach()
add_library(pinned_zlib STATIC ${zlib_sources})
target_include_directories(pinned_zlib SYSTEM BEFORE PUBLIC ${UPDATER_ZLIB_SOURCE})
# zlib's own code, as its authors wrote it: no warnings of ours, and the
# sanitizers' build checks its memory but not its arithmetic.
target_compile_options(pinned_zlib PRIVATE -w $<$<C_COMPILER_ID:Clang>:-fno-sanitize=undefined>)
target_compile_definitions(pinned_zlib PRIVATE HAVE_UNISTD_H HAVE_STDARG_H)
add_library(ZLIB::ZLIB ALIAS pinned_zlib)
message(STATUS "zlib: built from ${UPDATER_ZLIB_SOURCE}")
