# The 32-bit Windows GUI program: Win32 platform layer, resources, static link.
enable_language(RC)

target_sources(updater_core PRIVATE platform/platform_win.cc)
target_compile_definitions(updater_core PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN
                                               _WIN32_WINNT=0x0601)
target_link_libraries(updater_core PUBLIC shlwapi shell32 user32)

# No exceptions or RTTI: failures are results, and the runtime's exception and
# demangling machinery would triple the program's size.
set(small_flags -Os -ffunction-sections -fdata-sections -fno-exceptions -fno-rtti
                -fno-asynchronous-unwind-tables)
target_compile_options(updater_core PRIVATE ${small_flags})
set(static_link -static -static-libgcc -static-libstdc++)
target_link_options(updater_core PUBLIC ${static_link})

add_executable(updater WIN32 entry/main_win.cc platform/runtime_win.cc resources/updater.rc)
target_compile_options(updater PRIVATE ${small_flags})
target_link_options(updater PRIVATE -municode -Wl,--gc-sections -s)
target_link_libraries(updater PRIVATE updater_core)
set_target_properties(updater PROPERTIES OUTPUT_NAME updater SUFFIX .exe)
