# 32-bit x86 build on an x86_64 Debian host with multilib and the :i386 library packages.
# Tests run through qemu-i386, since the host kernel may not run i386 binaries directly.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
# 64-bit file offsets and inode numbers, as Android's 32-bit C library always has: without them
# glibc's readdir fails with EOVERFLOW on ext4, whose directory offsets are 64-bit hashes.
set(CMAKE_C_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64")
set(CMAKE_ASM_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/lib/i386-linux-gnu)
# scripts/setup.sh --i386 unpacks the i386 http-parser archive here (its -dev package conflicts
# with the amd64 one).
set(HTTP_PARSER_LIBRARY
    "${CMAKE_CURRENT_LIST_DIR}/../third_party/i386-root/usr/lib/i386-linux-gnu/libhttp_parser.a"
    CACHE FILEPATH "http-parser for i386")
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
# QM_UNDER_QEMU tells the crash tests they run emulated: Breakpad's dumper needs ptrace, which
# qemu-user does not provide, so the tests that really crash skip themselves.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L / -E QM_UNDER_QEMU=1)
