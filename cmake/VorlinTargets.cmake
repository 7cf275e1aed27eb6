# Compile settings shared by every target of the project, and the helper that
# turns a subsystem's object library into its one-export shared library.

include(GNUInstallDirs)

# Windows modules carry a version resource, compiled by the resource compiler.
if(WIN32)
  enable_language(RC)
endif()

# Options every target of ours gets: warnings on, no fused multiply-add (the
# bilinear blend must give the same bits on every compiler and CPU), 64-bit
# file offsets on 32-bit targets. On ELF platforms the hardening a Debian
# package is expected to have: glibc's checked string and I/O functions where
# a size is known (optimised builds only: the checks need the optimiser's
# sizes), and every symbol bound at load time, so the relocated tables can
# be made read-only (relro + now). A _FORTIFY_SOURCE level given in the
# flags is left as it is.
function(vorlin_target_defaults target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /fp:precise)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -ffp-contract=off)
  endif()
  target_compile_definitions(${target} PRIVATE _FILE_OFFSET_BITS=64)
  if(UNIX AND NOT APPLE)
    if(NOT "${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}" MATCHES "_FORTIFY_SOURCE")
      target_compile_definitions(${target} PRIVATE $<$<CONFIG:Release,MinSizeRel>:_FORTIFY_SOURCE=2>)
    endif()
    target_link_options(${target} PRIVATE LINKER:-z,relro LINKER:-z,now)
  endif()
endfunction()

# Product code (the modules, common/ and the host) is also held to every
# implicit conversion that can change a value or its sign. CI builds it with
# warnings as errors (scripts/lint); a user's build with a newer compiler and
# new warnings still succeeds.
option(VORLIN_WARNINGS_AS_ERRORS "Product code: warnings are errors" OFF)
function(vorlin_product_defaults target)
  vorlin_target_defaults(${target})
  if(NOT MSVC)
    target_compile_options(${target} PRIVATE -Wconversion -Wsign-conversion)
    if(VORLIN_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()

# Writes a generated file only when its content changes: a file the linker
# reads (version script, .def) that is rewritten at every configure would
# relink its module at every build.
function(vorlin_write_if_changed path content)
  file(CONFIGURE OUTPUT ${path} CONTENT "${content}" @ONLY)
endfunction()

# vorlin_module(NAME Scale EXPORT BMPResizers OBJECTS vorlin_scale_obj)
# Builds libVorlin<NAME>.so (Vorlin<NAME>.dll on Windows) from the subsystem's
# objects and its own copy of common/, exporting only the named function, and
# installs it as the imported target Vorlin::<NAME> with a pkg-config file.
function(vorlin_module)
  cmake_parse_arguments(M "" "NAME;EXPORT" "OBJECTS" ${ARGN})
  set(target Vorlin${M_NAME})
  add_library(${target} SHARED)
  target_link_libraries(${target} PRIVATE ${M_OBJECTS} vorlin_common)
  target_include_directories(${target} INTERFACE
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${target}
    EXPORT_NAME ${M_NAME}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    VORLIN_EXPORT ${M_EXPORT})
  vorlin_product_defaults(${target})
  if(WIN32)
    # Undecorated export by a .def file, the module's version resource, and
    # the start-up routine the DLL entry point calls.
    set(def ${CMAKE_CURRENT_BINARY_DIR}/${target}.def)
    vorlin_write_if_changed(${def} "LIBRARY ${target}\nEXPORTS\n    ${M_EXPORT}\n")
    set_target_properties(${target} PROPERTIES VORLIN_DEF ${def})
    set(VORLIN_RC_NAME ${target})
    set(VORLIN_RC_VERSION_TEXT
      "${PROJECT_VERSION_MAJOR}, ${PROJECT_VERSION_MINOR}, ${PROJECT_VERSION_PATCH}, ${PROJECT_VERSION_TWEAK}")
    set(VORLIN_RC_VERSION_COMMAS
      "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},${PROJECT_VERSION_TWEAK}")
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${def} ${rc} ${PROJECT_SOURCE_DIR}/common/module_startup.cpp)
    # The file name is the module's name alone: no "lib" prefix, no version suffix.
    set_target_properties(${target} PROPERTIES PREFIX "" RUNTIME_OUTPUT_NAME ${target})
  elseif(NOT APPLE)
    # The version script is a second guard behind hidden visibility: even a
    # symbol that slips through (a runtime template, a static library) stays local.
    set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
    vorlin_write_if_changed(${map} "{\n  global:\n    ${M_EXPORT};\n  local:\n    *;\n};\n")
    target_link_options(${target} PRIVATE
      "LINKER:--version-script=${map}" "LINKER:--no-undefined" "LINKER:--exclude-libs,ALL")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
  endif()
  set_property(GLOBAL APPEND PROPERTY VORLIN_MODULES ${target})

  install(TARGETS ${target} EXPORT VorlinTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  # The .pc file names the prefix the tree is installed under (so in /usr
  # pkg-config sees system directories and gives only -l), written when it
  # is installed; in the tar.gz, a tree to unpack anywhere, it finds its
  # prefix from where it lies. Not on Windows, where a program links against
  # the import library directly.
  if(WIN32)
    return()
  endif()
  string(TOLOWER ${M_NAME} lower)
  set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  file(RELATIVE_PATH VORLIN_PC_TO_PREFIX /prefix/${pc_dir} /prefix)
  string(REGEX REPLACE "/$" "" VORLIN_PC_TO_PREFIX "${VORLIN_PC_TO_PREFIX}")
  set(VORLIN_PC_NAME ${target})
  set(VORLIN_PC_EXPORT ${M_EXPORT})
  set(VORLIN_PC_PREFIX "@VORLIN_PC_PREFIX@")  # filled in at install time
  set(VORLIN_PC_TEMPLATE ${CMAKE_CURRENT_BINARY_DIR}/vorlin-${lower}.pc.in)
  set(VORLIN_PC_FILE ${CMAKE_CURRENT_BINARY_DIR}/install/vorlin-${lower}.pc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/vorlin-module.pc.in ${VORLIN_PC_TEMPLATE} @ONLY)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/vorlin-${lower}-pc.cmake)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/VorlinWritePc.cmake.in ${script} @ONLY)
  install(SCRIPT ${script})
  install(FILES ${VORLIN_PC_FILE} DESTINATION ${pc_dir})
endfunction()

# The test framework: the installed GoogleTest package, or, for a cross build
# (whose target has no such package), GoogleTest built from Debian's sources.
macro(vorlin_find_gtest)
  if(NOT CMAKE_CROSSCOMPILING)
    find_package(GTest QUIET)
  endif()
  if(NOT TARGET GTest::gtest)
    set(VORLIN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
    if(NOT EXISTS ${VORLIN_GTEST_SOURCE_DIR}/CMakeLists.txt)
      message(FATAL_ERROR "GoogleTest not found: install libgtest-dev, or googletest for cross builds")
    endif()
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${VORLIN_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  endif()
endmacro()
