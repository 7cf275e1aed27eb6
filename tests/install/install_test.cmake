# cmake -DSTEP=install|consume|host -DBUILD_DIR=... -DWORK_DIR=... [-DSOURCE_DIR=... -DCONSUMER_DIR=...
#       -DC_COMPILER=... -DLINK_FLAGS=... -DPKG_CONFIG=...] -P install_test.cmake
# The install tests, one step each: install the build tree into WORK_DIR/prefix
# and check its layout; build the consumer against it with find_package and
# with pkg-config and run both; run the installed host, which must find the
# installed modules beside itself.
cmake_minimum_required(VERSION 3.25)
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "${command}\nexited ${status}\n${out}${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# The modules print their progress; the consumer's own verdict comes last.
function(expect_verdict what output)
  if(NOT output MATCHES "consumer: all modules answered\n$")
    message(FATAL_ERROR "${what}: no verdict at the end of its output:\n${output}")
  endif()
endfunction()

function(expect_equal what got want)
  if(NOT got STREQUAL want)
    message(FATAL_ERROR "${what}: got '${got}', expected '${want}'")
  endif()
endfunction()

if(STEP STREQUAL "install")
  file(REMOVE_RECURSE ${WORK_DIR})
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
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
  file(SHA256 ${SOURCE_DIR}/include/vorlin/vorlin.h source_header)
  file(SHA256 ${prefix}/include/vorlin/vorlin.h installed_header)
  expect_equal("installed header matches the source" "${installed_header}" "${source_header}")

elseif(STEP STREQUAL "consume")
  # find_package: the consumer's own CMake project, against the installed tree only.
  set(build ${WORK_DIR}/consumer-cmake)
  file(REMOVE_RECURSE ${build} ${WORK_DIR}/run-cmake ${WORK_DIR}/run-pkg-config)
  file(MAKE_DIRECTORY ${WORK_DIR}/run-cmake ${WORK_DIR}/run-pkg-config)
  run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${build} -DCMAKE_PREFIX_PATH=${prefix}
      -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}"
      -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
  run(${CMAKE_COMMAND} --build ${build})
  run(${build}/vorlin_consumer ${WORK_DIR}/run-cmake)
  expect_verdict("consumer built with find_package" "${run_output}")

  # pkg-config: a plain compiler command with the flags the .pc files give.
  set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_LIBDIR} ${prefix}/lib/pkgconfig)
  run(${PKG_CONFIG} --cflags --libs vorlin-scale vorlin-morph vorlin-probe)
  string(STRIP "${run_output}" flags)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  separate_arguments(link_flags UNIX_COMMAND "${LINK_FLAGS}")
  run(${PKG_CONFIG} --modversion vorlin-scale)
  expect_equal("pkg-config version" "${run_output}" "1.0.0.1\n")
  set(program ${WORK_DIR}/consumer-pkg-config)
  run(${C_COMPILER} ${CONSUMER_DIR}/consumer.c ${flags} ${link_flags} -o ${program})
  set(ENV{LD_LIBRARY_PATH} ${prefix}/lib)
  run(${program} ${WORK_DIR}/run-pkg-config)
  expect_verdict("consumer built with pkg-config" "${run_output}")

elseif(STEP STREQUAL "host")
  # The installed host loads the installed modules from ../lib beside it.
  unset(ENV{VORLIN_MODULE_DIR})
  unset(ENV{LD_LIBRARY_PATH})
  set(dir ${WORK_DIR}/run-host)
  file(REMOVE_RECURSE ${dir})
  set(host ${prefix}/bin/vorlin)
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
