# Compile settings shared by every target of the project, and the helper that
# turns a subsystem's object library into its one-export shared library.

# Options every target of ours gets: warnings on, no fused multiply-add (the
# bilinear blend must give the same bits on every compiler and CPU), 64-bit
# file offsets on 32-bit targets.
function(vorlin_target_defaults target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /fp:precise)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -ffp-contract=off)
  endif()
  target_compile_definitions(${target} PRIVATE _FILE_OFFSET_BITS=64)
endfunction()

# vorlin_module(NAME Scale EXPORT BMPResizers OBJECTS vorlin_scale_obj)
# Builds libVorlin<NAME>.so from the subsystem's objects and its own copy of
# common/, exporting only the named function.
function(vorlin_module)
  cmake_parse_arguments(M "" "NAME;EXPORT" "OBJECTS" ${ARGN})
  set(target Vorlin${M_NAME})
  add_library(${target} SHARED)
  target_link_libraries(${target} PRIVATE ${M_OBJECTS} vorlin_common)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${target}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  vorlin_target_defaults(${target})
  if(WIN32)
    # Undecorated export by a .def file and the module's version resource.
    set(def ${CMAKE_CURRENT_BINARY_DIR}/${target}.def)
    file(WRITE ${def} "LIBRARY ${target}\nEXPORTS\n    ${M_EXPORT}\n")
    target_sources(${target} PRIVATE ${def})
    set_target_properties(${target} PROPERTIES PREFIX "")
  elseif(NOT APPLE)
    # The version script is a second guard behind hidden visibility: even a
    # symbol that slips through (a runtime template, a static library) stays local.
    set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
    file(WRITE ${map} "{\n  global:\n    ${M_EXPORT};\n  local:\n    *;\n};\n")
    target_link_options(${target} PRIVATE
      "LINKER:--version-script=${map}" "LINKER:--no-undefined" "LINKER:--exclude-libs,ALL")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
  endif()
endfunction()
