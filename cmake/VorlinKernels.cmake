# The kernel sets of a module, built one way for every module: each
# instruction set's kernels are one source file, <prefix>_<set>.cpp, compiled
# with that set's flags and called only once the CPU has reported the set.
# Per-file flags rather than per-function target attributes, because the
# kernels are written once as templates over a vocabulary of vector
# operations: the instantiations in a file take its flags without every
# inline function of the vocabulary naming its target. Those files define
# nothing with external linkage but their kernels (the vocabulary headers keep
# everything else internal), so no code built for a newer CPU can stand in
# for code other files call.
#
# VORLIN_KERNEL_SETS=portable leaves every set but the portable one out, so
# that a build on x86 runs the row that ARM and s390x run (the sanitizer
# builds test it).
set(VORLIN_KERNEL_SETS all CACHE STRING "Kernel sets in the modules: all (the CPU's best runs) or portable")
set_property(CACHE VORLIN_KERNEL_SETS PROPERTY STRINGS all portable)
if(NOT VORLIN_KERNEL_SETS MATCHES "^(all|portable)$")
  message(FATAL_ERROR "VORLIN_KERNEL_SETS is '${VORLIN_KERNEL_SETS}': all or portable")
endif()

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(vorlin_cpu x86_64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i[3-6]86|x86)$")
  set(vorlin_cpu x86)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  set(vorlin_cpu arm64)
else()
  set(vorlin_cpu other)
endif()

# Each set's CPUs and flags. SSE2 is in every 64-bit x86 CPU and in the
# 32-bit builds' own flags; NEON is in every 64-bit ARM CPU.
set(vorlin_set_cpus_sse2 x86_64 x86)
set(vorlin_set_cpus_ssse3 x86_64 x86)
set(vorlin_set_cpus_avx2 x86_64 x86)
set(vorlin_set_cpus_avx512 x86_64 x86)
set(vorlin_set_cpus_neon arm64)
set(vorlin_set_flags_sse2 "")
set(vorlin_set_flags_ssse3 -mssse3)
set(vorlin_set_flags_avx2 -mavx2 -mbmi2)
set(vorlin_set_flags_avx512 ${vorlin_set_flags_avx2} -mavx512f -mavx512bw -mavx512dq -mavx512vl)
set(vorlin_set_flags_neon "")
if(MINGW)
  # Windows keeps the stack only 16-byte aligned, and GCC does not realign it
  # for 32- and 64-byte vector spills: make every vector move one that takes
  # any alignment.
  list(APPEND vorlin_set_flags_avx2 -Wa,-muse-unaligned-vector-move)
  list(APPEND vorlin_set_flags_avx512 -Wa,-muse-unaligned-vector-move)
endif()

# vorlin_kernel_sets(TARGET obj PREFIX prefix SETS set... [CPUS cpu...]):
# adds prefix_<set>.cpp to obj for each set this target's CPU runs (CPUS
# narrows the CPUs further), with its flags, and defines VORLIN_KERNELS_<SET>
# for obj, which the module's table and headers test.
function(vorlin_kernel_sets)
  cmake_parse_arguments(arg "" "TARGET;PREFIX" "SETS;CPUS" ${ARGN})
  if(NOT VORLIN_KERNEL_SETS STREQUAL "all")
    return()
  endif()
  if(arg_CPUS AND NOT vorlin_cpu IN_LIST arg_CPUS)
    return()
  endif()
  foreach(set IN LISTS arg_SETS)
    if(vorlin_cpu IN_LIST vorlin_set_cpus_${set})
      set(file ${arg_PREFIX}_${set}.cpp)
      target_sources(${arg_TARGET} PRIVATE ${file})
      set_source_files_properties(${file} TARGET_DIRECTORY ${arg_TARGET}
        PROPERTIES COMPILE_OPTIONS "${vorlin_set_flags_${set}}")
      string(TOUPPER ${set} upper)
      target_compile_definitions(${arg_TARGET} PRIVATE VORLIN_KERNELS_${upper})
    endif()
  endforeach()
endfunction()
