# The Windows GUI program: resources, size flags, static link. The shipped
# program is 32-bit; the 64-bit build only serves the tests.
enable_language(RC)

# No exceptions or RTTI: failures are results, and the runtime's exception and
# demangling machinery would triple the program's size. Only the smallest
# functions are inlined (-finline-limit=8): half a KiB of updater.exe.
set(small_flags -Os -finline-limit=8 -ffunction-sections -fdata-sections -fno-exceptions -fno-rtti
                -fno-asynchronous-unwind-tables -fno-ident
                -fno-ipa-cp-clone -fno-ipa-sra -fno-partial-inlining)
foreach(library updater_platform updater_package updater_pack updater_apply updater_entry)
  target_compile_options(${library} PRIVATE ${small_flags})
endforeach()
foreach(library updater_package updater_pack updater_apply updater_entry)
  set_target_properties(${library} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
endforeach()

# zlib built small from the sources every program builds
# (cmake/zlib_sources.cmake), at configure time: -Os, each function in a
# section of its own so that the link keeps only those called, no unwind
# tables (zlib is C and never unwinds), no gzip wrapper, which packages never
# use (3,072 bytes), and its fixed tables built at start (4 KB). The prebuilt
# library, compiled for speed and whole files at a time, made updater.exe
# 26 KB larger.
include(cmake/zlib_sources.cmake)
set(zlib_objects "")
foreach(part ${zlib_parts})
  set(object ${CMAKE_BINARY_DIR}/zlib-small/${part}.o)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/zlib-small)
  # Data in sections of their own, except where zlib's tables are built at
  # start: this compiler gives zeroed data a section of its own only in the
  # file, never in .bss.
  set(data_sections -fdata-sections)
  if(part STREQUAL "trees" OR part STREQUAL "inflate")
    set(data_sections "")
  endif()
  execute_process(COMMAND ${CMAKE_C_COMPILER} -Os -DNO_GZIP -DZLIB_TABLES_AT_START -DZLIB_LEVELS_1_TO_9 -ffunction-sections ${data_sections}
                          -fno-asynchronous-unwind-tables -fno-ident -c
                          ${zlib_source_dir}/${part}.c -o ${object}
                  RESULT_VARIABLE compiled)
  if(NOT compiled EQUAL 0)
    message(FATAL_ERROR "zlib's ${part}.c does not compile from ${zlib_source_dir}")
  endif()
  list(APPEND zlib_objects ${object})
endforeach()
set(zlib_small ${CMAKE_BINARY_DIR}/zlib-small/libz.a)
file(REMOVE ${zlib_small})
execute_process(COMMAND ${CMAKE_AR} rcs ${zlib_small} ${zlib_objects} RESULT_VARIABLE archived)
if(NOT archived EQUAL 0)
  message(FATAL_ERROR "zlib's objects could not be archived")
endif()
set_target_properties(ZLIB::ZLIB PROPERTIES IMPORTED_LOCATION ${zlib_small}
                                            IMPORTED_LOCATION_RELEASE ${zlib_small}
                                            INTERFACE_INCLUDE_DIRECTORIES ${zlib_source_dir})
message(STATUS "zlib: built small from ${UPDATER_ZLIB_SOURCE}")
# The linker's own script, written at configure time with two changes where
# its text is as expected (else the default script):
# - The runtime's unwind tables (3 KB of the 32-bit program) are discarded
#   instead of kept: the updater throws nothing and links no unwinder that
#   would read them. (The 64-bit script keeps them: its unwinding is SEH.)
# - The runtime's few bytes of .CRT (its init and exit tables) and .tls (its
#   TLS markers) each took a 512-byte block of the file: they go into .data,
#   the TLS markers first (TLS offsets count from a section's start), the
#   tables after it. The 64-bit test build links so too, so that Wine runs
#   this layout.
execute_process(COMMAND ${CMAKE_LINKER} --verbose OUTPUT_VARIABLE ld_output RESULT_VARIABLE ld_ran)
set(rule "==================================================")
string(FIND "${ld_output}" "${rule}\n" script_start)
string(FIND "${ld_output}" "\n${rule}" script_end REVERSE)
set(updater_ld_script "")
if(ld_ran EQUAL 0 AND script_start GREATER -1 AND script_end GREATER script_start)
  string(LENGTH "${rule}\n" rule_length)
  math(EXPR script_start "${script_start} + ${rule_length}")
  math(EXPR script_length "${script_end} - ${script_start}")
  string(SUBSTRING "${ld_output}" ${script_start} ${script_length} ld_script)
  set(script_changed FALSE)
  set(kept ".eh_frame BLOCK(__section_alignment__) :\n  {\n    KEEP(*(.eh_frame*))\n  }")
  string(FIND "${ld_script}" "${kept}" kept_at)
  if(kept_at GREATER -1)
    string(REPLACE "${kept}" "/DISCARD/ : { *(.eh_frame*) }" ld_script "${ld_script}")
    set(script_changed TRUE)
  endif()
  set(block_head "BLOCK\\(__section_alignment__\\) :\n  {\n")
  string(REGEX MATCH "\n  \\.CRT ${block_head}([^}]*)}" crt_block "${ld_script}")
  set(crt_body "${CMAKE_MATCH_1}")
  string(REGEX MATCH "\n  \\.tls ${block_head}([^}]*)}" tls_block "${ld_script}")
  set(tls_body "${CMAKE_MATCH_1}")
  set(data_head "  .data BLOCK(__section_alignment__) :\n  {\n")
  set(data_tail "    *(.data_cygwin_nocopy)\n")
  string(FIND "${ld_script}" "${data_head}" data_at)
  string(FIND "${ld_script}" "${data_tail}" tail_at)
  if(crt_block AND tls_block AND data_at GREATER -1 AND tail_at GREATER data_at)
    string(REPLACE "${crt_block}" "" ld_script "${ld_script}")
    string(REPLACE "${tls_block}" "" ld_script "${ld_script}")
    # With any other .CRT$ part (the runtime's TLS initializer bounds) last, in order.
    string(REPLACE "${data_tail}"
                   "${data_tail}    . = ALIGN(8);\n${crt_body}    KEEP (*(SORT(.CRT$*)))\n"
                   ld_script "${ld_script}")
    string(REPLACE "${data_head}" "${data_head}${tls_body}    . = ALIGN(8);\n" ld_script
                   "${ld_script}")
    set(script_changed TRUE)
  endif()
  if(script_changed)
    set(updater_ld_script ${CMAKE_BINARY_DIR}/updater.ld)
    file(WRITE ${updater_ld_script} "${ld_script}")
  endif()
endif()

set(static_link -static -static-libgcc -static-libstdc++)
target_link_options(updater_platform_api INTERFACE ${static_link})

# The manifest names the processor the program is built for.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(UPDATER_ARCH amd64)
else()
  set(UPDATER_ARCH x86)
endif()
set(UPDATER_RESOURCES ${CMAKE_CURRENT_SOURCE_DIR}/resources)
set(UPDATER_MANIFEST ${CMAKE_BINARY_DIR}/updater.manifest)
configure_file(resources/updater.manifest ${UPDATER_MANIFEST} @ONLY)
configure_file(resources/updater.rc ${CMAKE_BINARY_DIR}/updater.rc @ONLY)
set_source_files_properties(${CMAKE_BINARY_DIR}/updater.rc PROPERTIES
  OBJECT_DEPENDS "${UPDATER_ICON};${UPDATER_MANIFEST}")

add_executable(updater WIN32 entry/main_win.cc platform/runtime_win.cc
                       ${CMAKE_BINARY_DIR}/updater.rc)
target_compile_options(updater PRIVATE ${small_flags})
# No link time in the header: two builds of one commit give the same bytes,
# and so does every update that carries the program.
set(reproducible_link -Wl,--no-insert-timestamp)
target_link_options(updater PRIVATE -municode -Wl,--gc-sections -s ${reproducible_link})
if(updater_ld_script)
  target_link_options(updater PRIVATE -Wl,-T,${updater_ld_script})
  set_target_properties(updater PROPERTIES LINK_DEPENDS ${updater_ld_script})
endif()
target_link_libraries(updater PRIVATE updater_core)
set_target_properties(updater PROPERTIES OUTPUT_NAME updater SUFFIX .exe)
