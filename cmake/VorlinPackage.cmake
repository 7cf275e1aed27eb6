# The release packages, made by CPack from the install rules (scripts/package
# runs it):
#   Linux    vorlin_<version>_<arch>.deb, and vorlin-<version>-Linux-<cpu>.tar.gz
#            with the same tree below its top directory instead of /usr;
#   Windows  vorlin-<version>-win64.zip (64-bit) or vorlin-<version>-win32.zip
#            (32-bit x86): the DLLs and vorlin.exe in bin/, the header, and in
#            lib/ each module's .def with its import library for MinGW
#            (.dll.a, from the linker) and for MSVC (.lib, made from the .def
#            by the toolchain's dlltool).
# The documentation installed with every tree: the README with the pages and
# charts of docs/ beside it (its links point there), and on Linux the
# copyright note (no licence has been chosen), the changelog and the manual
# page, compressed as Debian wants them.

# Debian asks for a maintainer with a mail address; the project has named
# none, so the default is an address that is plainly not one.
set(VORLIN_PACKAGE_MAINTAINER "Vorlin maintainers <maintainers@vorlin.invalid>" CACHE STRING
  "Maintainer named in the Debian package and its changelog")

set(vorlin_package_src ${PROJECT_SOURCE_DIR}/cmake/package)
file(GLOB vorlin_doc_pages ${PROJECT_SOURCE_DIR}/docs/*.md ${PROJECT_SOURCE_DIR}/docs/*.png)
set(vorlin_package_out ${PROJECT_BINARY_DIR}/package)
file(MAKE_DIRECTORY ${vorlin_package_out})

if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  install(FILES ${vorlin_doc_pages} DESTINATION docs)
  # The import library an MSVC program links against, made from the same
  # .def as the DLL's export table, so it names exactly the one export. The
  # temporary prefix names its members (not the build directory).
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(vorlin_windows_bits 32)
    set(vorlin_dlltool_machine i386)
  else()
    set(vorlin_windows_bits 64)
    set(vorlin_dlltool_machine i386:x86-64)
  endif()
  find_program(VORLIN_DLLTOOL NAMES ${CMAKE_DLLTOOL} dlltool REQUIRED)
  get_property(vorlin_modules GLOBAL PROPERTY VORLIN_MODULES)
  set(vorlin_msvc_libs "")
  foreach(module IN LISTS vorlin_modules)
    get_target_property(def ${module} VORLIN_DEF)
    set(lib ${vorlin_package_out}/${module}.lib)
    add_custom_command(OUTPUT ${lib}
      COMMAND ${VORLIN_DLLTOOL} --machine ${vorlin_dlltool_machine} --input-def ${def} --dllname ${module}.dll
        --output-lib ${module}.lib --temp-prefix ${module}
      DEPENDS ${def} WORKING_DIRECTORY ${vorlin_package_out} VERBATIM)
    list(APPEND vorlin_msvc_libs ${lib})
    install(FILES ${def} ${lib} DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endforeach()
  add_custom_target(vorlin_package_files ALL DEPENDS ${vorlin_msvc_libs})
else()
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/vorlin)
  configure_file(${vorlin_package_src}/changelog.in ${vorlin_package_out}/changelog @ONLY)
  configure_file(${vorlin_package_src}/vorlin.1 ${vorlin_package_out}/vorlin.1 COPYONLY)
  find_program(VORLIN_GZIP gzip REQUIRED)
  # -n: no name or time stamp inside, so the same text gives the same bytes.
  # gzip gives the .gz its source's time; touched, it is newer, so a build
  # with nothing changed makes neither again.
  add_custom_command(OUTPUT ${vorlin_package_out}/changelog.gz ${vorlin_package_out}/vorlin.1.gz
    COMMAND ${VORLIN_GZIP} -9nkf changelog vorlin.1
    COMMAND ${CMAKE_COMMAND} -E touch changelog.gz vorlin.1.gz
    DEPENDS ${vorlin_package_out}/changelog ${vorlin_package_out}/vorlin.1
    WORKING_DIRECTORY ${vorlin_package_out} VERBATIM)
  add_custom_target(vorlin_package_files ALL
    DEPENDS ${vorlin_package_out}/changelog.gz ${vorlin_package_out}/vorlin.1.gz)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${vorlin_package_src}/copyright
    ${vorlin_package_out}/changelog.gz DESTINATION ${docdir})
  install(FILES ${vorlin_doc_pages} DESTINATION ${docdir}/docs)
  if(TARGET vorlin)
    install(FILES ${vorlin_package_out}/vorlin.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  # What lintian is told to accept, each with its reason.
  install(FILES ${vorlin_package_src}/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME vorlin)
endif()

set(CPACK_PACKAGE_NAME vorlin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vorlin project")
set(CPACK_PACKAGE_CONTACT "${VORLIN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "BMP resize, erosion and header probe modules, with a command-line host")
# Lines as Debian shows them (at most 80 columns); an empty line starts a
# paragraph.
set(CPACK_PACKAGE_DESCRIPTION [[
Vorlin is three small image-processing modules for uncompressed Windows BMP
files, each a shared library with one exported C function: VorlinScale
(BMPResizers) resizes 2, 8, 16, 24 and 32-bit pictures, VorlinMorph
(BMPErosion) erodes 8 and 24-bit pictures into an 8-bit gray BMP, and
VorlinProbe (BMPSizeChecker) reads the width, height or bit depth from a
file's headers.

This package holds the three libraries, the C header vorlin/vorlin.h, CMake
and pkg-config files to build against them, and the vorlin command-line host.]])
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME vorlin-${PROJECT_VERSION}-win${vorlin_windows_bits})
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_PACKAGE_FILE_NAME vorlin-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Dependencies as dpkg-shlibdeps finds them in the programs and libraries;
  # a shlibs file so that packages built against Vorlin depend on it in turn.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  # The loader's cache is brought up to date by libc's trigger.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${vorlin_package_src}/triggers)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_POST_BUILD_SCRIPTS ${vorlin_package_src}/drop-ldconfig-calls.cmake)
  set(CPACK_PROJECT_CONFIG_FILE ${vorlin_package_src}/cpack-generator.cmake)
endif()

include(CPack)
