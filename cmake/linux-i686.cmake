# The 32-bit x86 Linux build (preset linux32): the updater's and updatepkg's
# logic as 32-bit code (32-bit sizes and pointers, a 4 GiB address space),
# built by Debian's i686 cross compiler and linked statically, with libcrypto
# and zlib from Debian's i386 packages, which scripts/install-deps unpacks
# into out/linux32-deps. The kernel runs the programs, or, where it runs no
# 32-bit programs, qemu-i386 registered for them (scripts/register-qemu-i386).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
get_filename_component(linux32_deps ${CMAKE_CURRENT_LIST_DIR}/../out/linux32-deps ABSOLUTE)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu ${linux32_deps})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The compiler also searches the host's /usr/include: the i386 headers go first.
set(linux32_includes "-isystem ${linux32_deps}/usr/include/i386-linux-gnu -isystem ${linux32_deps}/usr/include")
set(CMAKE_C_FLAGS_INIT "${linux32_includes}")
set(CMAKE_CXX_FLAGS_INIT "${linux32_includes}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(ZLIB_USE_STATIC_LIBS ON)
set(OPENSSL_USE_STATIC_LIBS ON)
