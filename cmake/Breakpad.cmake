# The Breakpad client library (exception handler and in-process minidump writer), built from the
# sources that scripts/setup.sh unpacks into third_party/. It is third-party code: it compiles
# with its own flags and its warnings are not ours to fail on.
set(QUILLMARK_BREAKPAD_PACKAGE "${PROJECT_SOURCE_DIR}/third_party/minidump-0.26.0/package"
    CACHE PATH "Unpacked npm package minidump (Breakpad sources and tools)")
set(breakpad_src "${QUILLMARK_BREAKPAD_PACKAGE}/deps/breakpad/src")
if(NOT EXISTS "${breakpad_src}/client/linux/handler/exception_handler.cc")
  message(FATAL_ERROR "Breakpad sources not found under ${QUILLMARK_BREAKPAD_PACKAGE}: run "
                      "scripts/setup.sh, or configure with -DQUILLMARK_WITH_BREAKPAD=OFF")
endif()

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
list(TRANSFORM breakpad_sources PREPEND "${breakpad_src}/")

add_library(breakpad_client STATIC ${breakpad_sources})
target_include_directories(breakpad_client SYSTEM PUBLIC "${breakpad_src}"
                                                         "${QUILLMARK_BREAKPAD_PACKAGE}/deps")
target_compile_definitions(breakpad_client PRIVATE HAVE_GETCONTEXT=1)
set_target_properties(breakpad_client PROPERTIES POSITION_INDEPENDENT_CODE ON)
# -w: its warnings are not ours. Uninstrumented under sanitizers: it runs inside a signal
# handler on a forked, ptrace-driven helper where sanitizer run-times do not belong.
target_compile_options(breakpad_client PRIVATE -w)
if(QUILLMARK_SANITIZE)
  target_compile_options(breakpad_client PRIVATE -fno-sanitize=all)
endif()
target_link_libraries(breakpad_client PUBLIC Threads::Threads)

# Tools used by the crash tests and the demo to prove the dumps are real (x86_64 host builds).
set(QUILLMARK_MINIDUMP_STACKWALK "${QUILLMARK_BREAKPAD_PACKAGE}/bin/linux-x64/minidump_stackwalk")
set(QUILLMARK_DUMP_SYMS "${QUILLMARK_BREAKPAD_PACKAGE}/bin/linux-x64/dump_syms")
