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
