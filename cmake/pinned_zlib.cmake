# zlib for the POSIX programs, built from the sources every program builds
# (cmake/zlib_sources.cmake) as the Windows ones build them
# (cmake/windows.cmake): updates carry deflate streams the updater makes
# again bit for bit, and another zlib (a distribution's SIMD build, zlib-ng)
# may deflate the same bytes otherwise.
include(cmake/zlib_sources.cmake)
set(zlib_sources "")
foreach(part ${zlib_parts})
  list(APPEND zlib_sources ${zlib_source_dir}/${part}.c)
endforeach()
add_library(pinned_zlib STATIC ${zlib_sources})
target_include_directories(pinned_zlib SYSTEM BEFORE PUBLIC ${zlib_source_dir})
# zlib's own code, as its authors wrote it: no warnings of ours, and the
# sanitizers' build checks its memory but not its arithmetic.
target_compile_options(pinned_zlib PRIVATE -w $<$<C_COMPILER_ID:Clang>:-fno-sanitize=undefined>)
target_compile_definitions(pinned_zlib PRIVATE HAVE_UNISTD_H HAVE_STDARG_H)
add_library(ZLIB::ZLIB ALIAS pinned_zlib)
message(STATUS "zlib: built from ${UPDATER_ZLIB_SOURCE}")
