# cmake --install: the library, its public header, the CMake package quillmark (target
# quillmark::quillmark), quillmark.pc for pkg-config, and the licence and third-party notices.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(quillmark_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/quillmark)
install(TARGETS quillmark EXPORT quillmarkTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/plume/quillmark.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/plume)
# Apps that ship the library must pass Breakpad's licence on with it.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/THIRD_PARTY_NOTICES.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quillmark)
install(EXPORT quillmarkTargets NAMESPACE quillmark:: DESTINATION ${quillmark_cmake_dir})

# A static libquillmark.a names libcurl and jsoncpp in its link interface; the package finds
# them the way this build did. A shared library keeps them private.
set(QUILLMARK_PACKAGE_DEPENDENCIES "find_dependency(Threads)")
set(quillmark_pc_private "")
set(quillmark_pc_requires "")
if(NOT QUILLMARK_BUILD_SHARED)
  if(NOT QUILLMARK_DEPENDENCIES STREQUAL "system")
    message(WARNING "The installed static package names its dependencies as found by "
                    "QUILLMARK_DEPENDENCIES=system; with provided ones, link them yourself")
  endif()
  string(APPEND QUILLMARK_PACKAGE_DEPENDENCIES "\nfind_dependency(CURL)")
  if(QUILLMARK_JSONCPP_TARGET STREQUAL "JsonCpp::JsonCpp")
    string(APPEND QUILLMARK_PACKAGE_DEPENDENCIES "\nfind_dependency(jsoncpp CONFIG)")
  else()
    string(APPEND QUILLMARK_PACKAGE_DEPENDENCIES "\nfind_dependency(PkgConfig)\n"
           "pkg_check_modules(JSONCPP REQUIRED IMPORTED_TARGET GLOBAL jsoncpp)")
  endif()
  set(quillmark_pc_requires "libcurl jsoncpp")
  set(quillmark_pc_private "-lstdc++ -lpthread")
  if(ANDROID)
    string(APPEND quillmark_pc_private " -llog -ldl")
  endif()
endif()

# The Breakpad host tools and quillmark_add_symbols, found by the package relative to itself.
set(QUILLMARK_PACKAGE_SYMBOLS "")
if(QUILLMARK_WITH_BREAKPAD AND QUILLMARK_BREAKPAD_TOOLS)
  set(quillmark_tools_dir ${CMAKE_INSTALL_LIBEXECDIR}/quillmark)
  install(PROGRAMS ${QUILLMARK_DUMP_SYMS} ${QUILLMARK_MINIDUMP_STACKWALK}
          DESTINATION ${quillmark_tools_dir})
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/quillmarkSymbols.cmake
                ${PROJECT_SOURCE_DIR}/cmake/quillmarkWriteSymbols.cmake
          DESTINATION ${quillmark_cmake_dir})
  # The library's own symbols, for the frames of a crash that lie in it.
  if(QUILLMARK_BUILD_SHARED)
    quillmark_add_symbols(quillmark DESTINATION ${CMAKE_INSTALL_DATADIR}/quillmark/symbols)
  endif()
  string(CONCAT QUILLMARK_PACKAGE_SYMBOLS
    "set_property(GLOBAL PROPERTY QUILLMARK_DUMP_SYMS\n"
    "             \"\${PACKAGE_PREFIX_DIR}/${quillmark_tools_dir}/dump_syms\")\n"
    "include(\"\${CMAKE_CURRENT_LIST_DIR}/quillmarkSymbols.cmake\")")
endif()

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/quillmarkConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/quillmarkConfig.cmake INSTALL_DESTINATION ${quillmark_cmake_dir})
# Same major version: the major number changes with the ABI (README, "Versions").
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/quillmarkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillmarkConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/quillmarkConfigVersion.cmake
        DESTINATION ${quillmark_cmake_dir})

# The prefix is taken relative to the .pc file, so that cmake --install --prefix P (and a
# relocated installation) gives a quillmark.pc that points into P.
file(RELATIVE_PATH quillmark_pc_to_prefix "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(${PROJECT_SOURCE_DIR}/cmake/quillmark.pc.in
               ${CMAKE_CURRENT_BINARY_DIR}/quillmark.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillmark.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
