# install.cmake — what `cmake --install` lays out (GNUInstallDirs): the header,
# the library (with its SONAME links on Linux; the DLL, its import library and a
# .def file on Windows), the tools, the README, a CMake package giving the
# imported target vorel::vorel, and vorel.pc for pkg-config. CPack packs the
# same tree as a .tar.gz (Linux) or a .zip (Windows).
include(CMakePackageConfigHelpers)

set(VOREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vorel)

# Installed programs find the library in ../lib of their own folder.
if(NOT WIN32)
  set_target_properties(vorel-server PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()

install(TARGETS ${VOREL_LIB} EXPORT vorelTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/vorel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS vorel-server vorel-cli vorel-benchmark RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(WIN32)
  install(FILES ${CMAKE_BINARY_DIR}/${VOREL_LIB}.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

install(EXPORT vorelTargets NAMESPACE vorel:: DESTINATION ${VOREL_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/vorelConfig.cmake.in
  ${CMAKE_BINARY_DIR}/vorelConfig.cmake INSTALL_DESTINATION ${VOREL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/vorelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/vorelConfig.cmake ${CMAKE_BINARY_DIR}/vorelConfigVersion.cmake
  DESTINATION ${VOREL_CMAKE_DIR})

# vorel.pc names its prefix relative to its own folder, so the tree can move.
file(RELATIVE_PATH VOREL_PC_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(${CMAKE_SOURCE_DIR}/cmake/vorel.pc.in ${CMAKE_BINARY_DIR}/vorel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vorel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_PACKAGE_NAME vorel)
set(CPACK_PACKAGE_VENDOR vorel)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Embeddable in-memory key-value cache server")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x86_64)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_PACKAGE_FILE_NAME vorel-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
