# The Breakpad client library (exception handler and in-process minidump writer), built as
# quillmark_breakpad from the sources that scripts/setup.sh unpacks into third_party/. It is third-party code: it compiles
# with its own flags and its warnings are not ours to fail on.
set(QUILLMARK_BREAKPAD_PACKAGE "${PROJECT_SOURCE_DIR}/third_party/minidump-0.26.0/package"
    CACHE PATH "Unpacked npm package minidump (Breakpad sources and tools)")
set(breakpad_src "${QUILLMARK_BREAKPAD_PACKAGE}/deps/breakpad/src")
if(NOT EXISTS "${breakpad_src}/client/linux/handler/exception_handler.cc")
  message(FATAL_ERROR "Breakpad sources not found under ${QUILLMARK_BREAKPAD_PACKAGE}: run "
                      "scripts/setup.sh, or configure with -DQUILLMARK_WITH_BREAKPAD=OFF")
endif()

# The client sources Breakpad's own Android build (android/google_breakpad/Android.mk) lists,
# which are those of Linux; Android adds breakpad_getcontext.S below.
set(breakpad_sources
    client/linux/crash_generation/crash_generation_client.cc
    client/linux/dump_writer_common/thread_info.cc
    client/linux/dump_writer_common/ucontext_reader.cc
    client/linux/handler/exception_handler.cc
    client/linux/handler/minidump_descriptor.cc
    client/linux/log/log.cc
    client/linux/microdump_writer/microdump_writer.cc
    client/linux/minidump_writer/linux_dumper.cc
    client/linux/minidump_writer/linux_ptrace_dumper.cc
    client/linux/minidump_writer/minidump_writer.cc
    client/linux/minidump_writer/pe_file.cc
    client/minidump_file_writer.cc
    common/convert_UTF.cc
    common/md5.cc
    common/string_conversion.cc
    common/linux/elfutils.cc
    common/linux/file_id.cc
    common/linux/guid_creator.cc
    common/linux/linux_libc_support.cc
    common/linux/memory_mapped_file.cc
    common/linux/safe_readlink.cc)
# Android's C library has no getcontext: there Breakpad takes its own, breakpad_getcontext
# (x86 and x86_64 hosts use it too by default, so the host tests run what Android runs).
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i.86|x86)$" OR ANDROID)
  set(quillmark_own_getcontext ON)
else()
  set(quillmark_own_getcontext OFF)
endif()
option(QUILLMARK_BREAKPAD_GETCONTEXT "Breakpad uses breakpad_getcontext instead of libc's"
       ${quillmark_own_getcontext})
if(ANDROID AND NOT QUILLMARK_BREAKPAD_GETCONTEXT)
  message(FATAL_ERROR "Android has no getcontext: keep QUILLMARK_BREAKPAD_GETCONTEXT=ON")
endif()
if(QUILLMARK_BREAKPAD_GETCONTEXT)
  enable_language(ASM)
  list(APPEND breakpad_sources common/linux/breakpad_getcontext.S)
endif()
list(TRANSFORM breakpad_sources PREPEND "${breakpad_src}/")

add_library(quillmark_breakpad STATIC ${breakpad_sources})
target_include_directories(quillmark_breakpad SYSTEM PUBLIC "${breakpad_src}"
                                                            "${QUILLMARK_BREAKPAD_PACKAGE}/deps")
if(ANDROID)
  # Headers bionic lacks (elf.h details, link.h, sys/user.h, procfs.h).
  target_include_directories(quillmark_breakpad SYSTEM BEFORE PUBLIC
                             "${breakpad_src}/common/android/include")
endif()
if(NOT QUILLMARK_BREAKPAD_GETCONTEXT)
  target_compile_definitions(quillmark_breakpad PRIVATE HAVE_GETCONTEXT=1)
endif()
# Unity build: its sources share most of their headers, and every build compiles them again;
# batched they take less than half the compile time.
set_target_properties(quillmark_breakpad PROPERTIES POSITION_INDEPENDENT_CODE ON UNITY_BUILD ON)
# -w: its warnings are not ours. Hidden: nothing of it is part of our public surface (the
# static library localises hidden symbols). Uninstrumented under sanitizers: it runs inside a
# signal handler on a forked, ptrace-driven helper where sanitizer run-times do not belong.
target_compile_options(quillmark_breakpad PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-w -fvisibility=hidden>
                       -ffunction-sections -fdata-sections)
# Built for size: it runs once, for a crash.
target_compile_options(quillmark_breakpad PRIVATE $<$<NOT:$<CONFIG:Debug>>:-Os>)
# The assembly file carries no .note.GNU-stack, which would make every stack executable.
target_compile_options(quillmark_breakpad PRIVATE $<$<COMPILE_LANGUAGE:ASM>:-Wa,--noexecstack>)
if(QUILLMARK_SANITIZE)
  target_compile_options(quillmark_breakpad PRIVATE -fno-sanitize=all)
endif()
target_link_libraries(quillmark_breakpad PUBLIC Threads::Threads)

# The package's prebuilt host tools (an x86_64 Linux build machine, whatever the target):
# dump_syms for quillmark_add_symbols, minidump_stackwalk for quillmark-symbolicate and the
# crash tests. Both are installed with the library (cmake/Install.cmake).
set(QUILLMARK_MINIDUMP_STACKWALK "${QUILLMARK_BREAKPAD_PACKAGE}/bin/linux-x64/minidump_stackwalk")
set(QUILLMARK_DUMP_SYMS "${QUILLMARK_BREAKPAD_PACKAGE}/bin/linux-x64/dump_syms")
if(CMAKE_HOST_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_HOST_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64"
   AND EXISTS "${QUILLMARK_DUMP_SYMS}" AND EXISTS "${QUILLMARK_MINIDUMP_STACKWALK}")
  set(QUILLMARK_BREAKPAD_TOOLS ON)
  set_property(GLOBAL PROPERTY QUILLMARK_DUMP_SYMS "${QUILLMARK_DUMP_SYMS}")
  include(${CMAKE_CURRENT_LIST_DIR}/quillmarkSymbols.cmake)
else()
  set(QUILLMARK_BREAKPAD_TOOLS OFF)
  message(STATUS "No Breakpad tools for this build machine: no quillmark_add_symbols")
endif()
