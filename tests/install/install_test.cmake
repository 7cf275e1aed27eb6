# cmake -DSTEP=install|layout|consume|host -DBUILD_DIR=... -DWORK_DIR=... [-DPREFIX=...
#       -DSOURCE_DIR=... -DCONSUMER_DIR=... -DC_COMPILER=... -DLINK_FLAGS=... -DPKG_CONFIG=...
#       -DPKG_CONFIG_DEFINE_PREFIX=ON] -P install_test.cmake
# The install tests, one step each: install the build tree into WORK_DIR/prefix
# and check its layout (layout: only check the tree at PREFIX, such as an
# unpacked package); run the README's commands for an installed Vorlin
# (find_package, pkg-config, dlopen) on the example programs beside this
# file, and the programs they build; run the installed host, which must find
# the installed modules beside itself. No step sets LD_LIBRARY_PATH. A tree
# made for /usr but unpacked elsewhere (the .deb's) names /usr in its .pc
# files: PKG_CONFIG_DEFINE_PREFIX has pkg-config take the prefix from where
# they lie instead, as it is /usr once installed.
cmake_minimum_required(VERSION 3.25)
if(DEFINED PREFIX)
  set(prefix ${PREFIX})
else()
  set(prefix ${WORK_DIR}/prefix)
endif()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "${command}\nexited ${status}\n${out}${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

function(expect_equal what got want)
  if(NOT got STREQUAL want)
    message(FATAL_ERROR "${what}: got '${got}', expected '${want}'")
  endif()
endfunction()

if(STEP STREQUAL "install" OR STEP STREQUAL "layout")
  if(STEP STREQUAL "install")
    file(REMOVE_RECURSE ${WORK_DIR})
    run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
  endif()
  # Each module: the real file, its soname link and the development link.
  foreach(module VorlinScale VorlinMorph VorlinProbe)
    set(lib ${prefix}/lib/lib${module}.so)
    if(NOT IS_SYMLINK ${lib} OR NOT IS_SYMLINK ${lib}.1 OR IS_SYMLINK ${lib}.1.0.0.1
       OR NOT EXISTS ${lib}.1.0.0.1)
      message(FATAL_ERROR "${lib}: expected .so -> .so.1 -> .so.1.0.0.1")
    endif()
    file(READ_SYMLINK ${lib} target)
    expect_equal("${lib} points to" "${target}" "lib${module}.so.1")
    file(READ_SYMLINK ${lib}.1 target)
    expect_equal("${lib}.1 points to" "${target}" "lib${module}.so.1.0.0.1")
  endforeach()
  foreach(file include/vorlin/vorlin.h bin/vorlin lib/cmake/Vorlin/VorlinConfig.cmake
               lib/cmake/Vorlin/VorlinConfigVersion.cmake lib/cmake/Vorlin/VorlinTargets.cmake
               lib/pkgconfig/vorlin-scale.pc lib/pkgconfig/vorlin-morph.pc
               lib/pkgconfig/vorlin-probe.pc)
    if(NOT EXISTS ${prefix}/${file})
      message(FATAL_ERROR "not installed: ${file}")
    endif()
  endforeach()
  if(STEP STREQUAL "install")
    # Each .pc file names the prefix it was installed with, as given, so that
    # in /usr pkg-config sees the system's own directories.
    foreach(module scale morph probe)
      file(STRINGS ${prefix}/lib/pkgconfig/vorlin-${module}.pc pc_lines LIMIT_COUNT 3)
      expect_equal("vorlin-${module}.pc" "${pc_lines}"
        "prefix=${prefix};libdir=\${prefix}/lib;includedir=\${prefix}/include")
    endforeach()
  endif()
  file(SHA256 ${SOURCE_DIR}/include/vorlin/vorlin.h source_header)
  file(SHA256 ${prefix}/include/vorlin/vorlin.h installed_header)
  expect_equal("installed header matches the source" "${installed_header}" "${source_header}")

elseif(STEP STREQUAL "consume")
  # The README's commands for a prefix outside the loader's path, as they
  # stand there with this prefix in place of /opt/vorlin, run by bash in a
  # copy of the example project. The programs must find the modules through
  # their run paths alone.
  set(project_dir ${WORK_DIR}/app)
  file(REMOVE_RECURSE ${project_dir})
  file(COPY ${CONSUMER_DIR}/ DESTINATION ${project_dir} FILES_MATCHING PATTERN "*.c" PATTERN "*.h"
       PATTERN "CMakeLists.txt")
  # `cc` is this build's C compiler with its link flags (a sanitizer build's
  # modules need the sanitizer's run-time in the program too).
  set(tools ${WORK_DIR}/tools)
  file(MAKE_DIRECTORY ${tools})
  file(CONFIGURE OUTPUT ${tools}/cc
       CONTENT "#!/bin/sh\nexec '${C_COMPILER}' \"$@\" ${LINK_FLAGS}\n" @ONLY)
  file(CHMOD ${tools}/cc PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  if(PKG_CONFIG_DEFINE_PREFIX)
    file(CONFIGURE OUTPUT ${tools}/pkg-config
         CONTENT "#!/bin/sh\nexec '${PKG_CONFIG}' --define-prefix \"$@\"\n" @ONLY)
    file(CHMOD ${tools}/pkg-config PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  endif()
  set(ENV{PATH} "${tools}:$ENV{PATH}")
  set(ENV{CC} ${tools}/cc)
  unset(ENV{LD_LIBRARY_PATH})
  unset(ENV{PKG_CONFIG_PATH})
  unset(ENV{PKG_CONFIG_LIBDIR})
  unset(ENV{CMAKE_PREFIX_PATH})

  file(READ ${SOURCE_DIR}/README.md readme)
  set(routes cmake pkg-config dlopen)
  if(LINK_FLAGS MATCHES "-fsanitize=")
    # A sanitizer's run-time intercepts dlopen and makes the call itself, so
    # the loader searches the run-time's run path instead of the program's.
    list(REMOVE_ITEM routes dlopen)
    message(STATUS "dlopen route not run: a sanitizer build's dlopen ignores the program's run path")
  endif()
  foreach(route IN LISTS routes)
    set(marker "<!-- install test: ${route} -->\n```sh\n")
    string(FIND "${readme}" "${marker}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "README.md has no block after '<!-- install test: ${route} -->'")
    endif()
    string(LENGTH "${marker}" length)
    math(EXPR at "${at} + ${length}")
    string(SUBSTRING "${readme}" ${at} -1 rest)
    string(FIND "${rest}" "```" end)
    string(SUBSTRING "${rest}" 0 ${end} commands)
    string(REPLACE "/opt/vorlin" "${prefix}" commands "${commands}")
    file(WRITE ${WORK_DIR}/${route}.sh "set -ex\n${commands}")
    run(bash ${WORK_DIR}/${route}.sh WORKING_DIRECTORY ${project_dir})
    if(route STREQUAL "dlopen")
      set(verdict "dlopen_app: all modules answered\n")
    else()
      set(verdict "app: all modules answered\n")
    endif()
    string(FIND "${run_output}" "${verdict}" found REVERSE)
    string(LENGTH "${run_output}" total)
    string(LENGTH "${verdict}" verdict_length)
    math(EXPR verdict_at "${total} - ${verdict_length}")
    if(NOT found EQUAL verdict_at)
      message(FATAL_ERROR "README ${route} route: no '${verdict}' at the end of:\n${run_output}")
    endif()
  endforeach()

elseif(STEP STREQUAL "host")
  # The installed host loads the installed modules from ../lib beside it.
  unset(ENV{VORLIN_MODULE_DIR})
  unset(ENV{LD_LIBRARY_PATH})
  set(dir ${WORK_DIR}/run-host)
  file(REMOVE_RECURSE ${dir})
  set(host ${prefix}/bin/vorlin)
  run(${host} --version)
  file(REAL_PATH ${prefix}/lib lib)  # the real path the host prints, the versioned names
  expect_equal("the installed host's --version" "${run_output}"
    "vorlin 1.0.0.1\nVorlinScale: ${lib}/libVorlinScale.so.1\nVorlinMorph: ${lib}/libVorlinMorph.so.1\nVorlinProbe: ${lib}/libVorlinProbe.so.1\n")
  run(${host} demo ${dir})
  string(FIND "${run_output}" "Modules: VorlinScale found, VorlinMorph found, VorlinProbe found\n"
         found)
  if(found EQUAL -1)
    message(FATAL_ERROR "the installed host did not find all modules:\n${run_output}")
  endif()
  file(GLOB samples ${dir}/*.bmp)
  list(SORT samples)
  list(GET samples 0 sample)
  run(${host} resize ${sample} ${dir}/big.bmp 9 7)
  run(${host} probe ${dir}/big.bmp width)
  expect_equal("width after the installed resize" "${run_output}" "9\n")
  run(${host} erode ${dir}/big.bmp ${dir}/eroded.bmp 2)
  run(${host} probe ${dir}/eroded.bmp bits)
  expect_equal("bits after the installed erosion" "${run_output}" "8\n")
else()
  message(FATAL_ERROR "unknown STEP '${STEP}'")
endif()
