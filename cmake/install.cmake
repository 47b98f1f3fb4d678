# Installation: the library, the host's header, a pkg-config file and a CMake
# package config, so a host finds the library either way.
include(CMakePackageConfigHelpers)

install(TARGETS LF_v2270 EXPORT LF_v2270Targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT LF_v2270Targets NAMESPACE LF_v2270::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/LF_v2270)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/LF_v2270Config.cmake.in
  ${PROJECT_BINARY_DIR}/LF_v2270Config.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/LF_v2270)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/LF_v2270ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/LF_v2270Config.cmake
              ${PROJECT_BINARY_DIR}/LF_v2270ConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/LF_v2270)

file(RELATIVE_PATH LF_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/LF_v2270.pc.in ${PROJECT_BINARY_DIR}/LF_v2270.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/LF_v2270.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
