# What `cmake --install` puts in place besides the modules (whose rules come
# with vorlin_module): the public header, the vorlin host, and the CMake
# package configuration that gives Vorlin::Scale, Vorlin::Morph, Vorlin::Probe.
include(CMakePackageConfigHelpers)

install(FILES ${PROJECT_SOURCE_DIR}/include/vorlin/vorlin.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorlin)

if(TARGET vorlin)
  install(TARGETS vorlin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The CMake package names the MinGW import libraries, which MSVC cannot be
# relied on to read: on Windows a program links against the import library
# of its own toolchain directly.
if(WIN32)
  return()
endif()

set(vorlin_config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Vorlin)
get_property(vorlin_modules GLOBAL PROPERTY VORLIN_MODULES)
set(VORLIN_COMPONENTS "")
foreach(module IN LISTS vorlin_modules)
  get_target_property(component ${module} EXPORT_NAME)
  list(APPEND VORLIN_COMPONENTS ${component})
endforeach()

install(EXPORT VorlinTargets NAMESPACE Vorlin:: DESTINATION ${vorlin_config_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VorlinConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VorlinConfig.cmake
  INSTALL_DESTINATION ${vorlin_config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VorlinConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VorlinConfig.cmake ${PROJECT_BINARY_DIR}/VorlinConfigVersion.cmake
  DESTINATION ${vorlin_config_dir})
