# Sourced by the scripts (not run): how a long step says what it does. A
# build shows the work it does and nothing else, so a build with nothing to
# do prints nothing; a tool whose output only matters when it fails writes
# into a log, shown when it does.

# quietly LOG COMMAND...: runs COMMAND with its output in LOG; when it fails,
# prints the end of LOG and returns COMMAND's status.
quietly() {
  local log=$1 status=0
  shift
  mkdir -p "$(dirname "$log")"
  "$@" >"$log" 2>&1 || status=$?
  if [[ $status -ne 0 ]]; then
    echo "failed (exit $status): $*" >&2
    echo "the end of $log:" >&2
    tail -n 60 "$log" >&2
  fi
  return "$status"
}

# cmake_configure DIR CMAKE-ARGS...: configures the build tree DIR (CMAKE-ARGS name
# the preset or the source and build directories); says so the first time,
# when it takes a while; its output goes to DIR/configure.log.
cmake_configure() {
  local dir=$1
  shift
  [[ -f $dir/CMakeCache.txt ]] || echo "Configuring $dir ..."
  quietly "$dir/configure.log" cmake "$@"
}

# cmake_build DIR CMAKE-BUILD-ARGS...: builds, showing each file compiled or
# linked, warnings and errors, under one heading line; make's bookkeeping
# (targets already up to date, dependency scans) is left out.
cmake_build() {
  local dir=$1
  shift
  cmake --build "$@" 2>&1 | build_progress "$dir"
}

build_progress() {
  local heading="Building in $1:" line
  while IFS= read -r line; do
    case $line in
      *"Built target "* | *"Consolidate compiler generated dependencies"* | \
        *"Scanning dependencies of target"* | *"Entering directory"* | *"Leaving directory"* | \
        "ninja: no work to do."*) continue ;;
    esac
    if [[ -n $heading ]]; then
      echo "$heading"
      heading=
    fi
    printf '%s\n' "$line"
  done
}

# Two jobs at most for the heavier builds and test runs (sanitizers, fault
# injection, cross compilers, emulators), as on CI's two-core machines.
build_jobs() {
  local n
  n=$(nproc 2>/dev/null || echo 2)
  echo $((n < 2 ? n : 2))
}

# run_tests LOG CTEST-ARGS...: runs CTest with its whole output in LOG,
# showing each test's result line as the test ends; returns CTest's status.
run_tests() {
  local log=$1 status=0
  shift
  mkdir -p "$(dirname "$log")"
  ctest "$@" 2>&1 | tee "$log" | { grep --line-buffered -E '^ *[0-9]+/[0-9]+ Test +#' || true; } ||
    status=$?
  return "$status"
}

# cross_build PLATFORM: configures and builds the cross-built tree of a
# platform (windows, windows32, arm, aarch64, s390x), tests and host included,
# in build/mingw, build/mingw32 or build/PLATFORM; prints nothing more than
# cmake_build does.
# Sets cross_dir to the tree.
cross_build() {
  local toolchain
  case $1 in
    windows) cross_dir=build/mingw toolchain=cmake/toolchains/mingw-w64-x86_64.cmake ;;
    windows32) cross_dir=build/mingw32 toolchain=cmake/toolchains/mingw-w64-i686.cmake ;;
    arm) cross_dir=build/arm toolchain=cmake/toolchains/arm-linux-gnueabihf.cmake ;;
    aarch64) cross_dir=build/aarch64 toolchain=cmake/toolchains/aarch64-linux-gnu.cmake ;;
    s390x) cross_dir=build/s390x toolchain=cmake/toolchains/s390x-linux-gnu.cmake ;;
    *) echo "cross_build: unknown platform '$1'" >&2; return 2 ;;
  esac
  mkdir -p "$cross_dir"
  cmake_configure "$cross_dir" -S . -B "$cross_dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DVORLIN_BUILD_TESTS=ON -DVORLIN_BUILD_HOST=ON &&
    cmake_build "$cross_dir" "$cross_dir" -j"$(build_jobs)"
}

# wine_session [win32]: Wine for the rest of the script, with its prefix beside
# the MinGW build (build/mingw, or build/mingw32 for 32-bit Wine; made the
# first time, which takes a while) and one server kept running until the
# script exits: a server that times out between two programs can drop the
# next one's connection. Both sessions can be open at once.
wine_sessions=()
wine_session() {
  local server prefix option=
  server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  if [[ ${1:-} == win32 ]]; then
    export WINEPREFIX32=$PWD/build/mingw32/wine-prefix
    prefix=$WINEPREFIX32 option=--win32
  else
    export WINEPREFIX=$PWD/build/mingw/wine-prefix
    prefix=$WINEPREFIX
  fi
  # The prefix first (a server started in an empty directory would make a
  # 64-bit one), then, once the server that made it is gone, one that stays.
  mkdir -p "$(dirname "$prefix")"
  if [[ ! -f $prefix/.vorlin-prefix-ready ]]; then
    scripts/wine-run $option cmd /c exit >/dev/null 2>&1 || true
    WINEPREFIX=$prefix "$server" -w
  fi
  WINEPREFIX=$prefix "$server" -p
  wine_sessions+=("$prefix")
  # shellcheck disable=SC2064  # the server's path, fixed now
  trap "for p in \"\${wine_sessions[@]}\"; do WINEPREFIX=\$p '$server' -k 2>/dev/null || true; done" EXIT
  # Wine's own services start with the server's first program and stay: here,
  # away from the output of any program that waits for its children's.
  scripts/wine-run $option cmd /c exit >/dev/null 2>&1 || true
}
