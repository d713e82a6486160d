#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz/*_fuzz.cpp) with clang and runs
# each for a fixed time, several at once; any finding fails the run.
#   scripts/fuzz.sh [--seconds N] [--jobs N] [--build DIR] [--build-only] [TARGET...]
# Reproducers land in tests/fuzz/corpus/<target>/ (commit them with the
# fix); the working corpus grows in <build>/corpus/<target>/. A target's
# tests/fuzz/<target>.dict, when there, is its dictionary.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=30
jobs=$(nproc)
build=$top/build-fuzz
targets=()
build_only=0
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --build-only) build_only=1; shift ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
case "$seconds$jobs" in *[!0-9]*) echo "--seconds and --jobs take numbers" >&2; exit 2 ;; esac

# Paths below the tree are cached relative to it, so clones share the cache.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$top} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-8G}
CC=clang-14 CXX=clang++-14 cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMODCARD_FUZZ=ON >/dev/null
cmake --build "$build" -j"$jobs" --target fuzz_targets
[ $build_only = 0 ] || exit 0
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$build"/fuzz/*_fuzz; do [ -x "$f" ] && targets+=("$(basename "$f")"); done
fi

# starved BIN LOG: the run ended on libFuzzer's time-out, which counts wall
# time; a niced fuzzer beside other work can wait far longer than its unit
# computes. The unit is run again and its CPU time decides: under the
# time-out it is no finding, and its file goes.
starved() {
  local unit
  grep -q "ERROR: libFuzzer: timeout" "$2" || return 1
  unit=$(grep -o "Test unit written to .*" "$2" | tail -1 | sed 's/^Test unit written to //')
  [ -f "$unit" ] || return 1
  local cpu
  cpu=$(python3 - "$1" "$unit" <<'PY'
import resource, subprocess, sys
try:
    subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
except subprocess.TimeoutExpired:
    print(999)
    sys.exit()
r = resource.getrusage(resource.RUSAGE_CHILDREN)
print(int(r.ru_utime + r.ru_stime))
PY
)
  [ "$cpu" -lt 20 ] || return 1
  echo "time-out for want of CPU: the unit takes ${cpu} s of CPU alone" >>"$2"
  rm -f "$unit"
}
export -f starved

# Slow units are not written into the tree: on a loaded machine every target
# has them, and the time-out (-timeout) is what counts.
# One target: fresh seeds into its working corpus, then the timed run. The
# tree's corpus (earlier reproducers) is replayed first as a second corpus.
run_one() {
  local name=$1 bin=$build/fuzz/$1
  local work=$build/corpus/$name keep=$top/tests/fuzz/corpus/$name log=$build/logs/$name.log
  local dict=()
  [ -f "$top/tests/fuzz/$name.dict" ] && dict=(-dict="$top/tests/fuzz/$name.dict")
  mkdir -p "$work" "$keep" "$build/logs"
  MODCARD_FUZZ_SEEDS=$work "$bin" >"$log" 2>&1 || { echo "FAIL $name: seeds (see $log)"; return 1; }
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:malloc_context_size=5 UBSAN_OPTIONS=print_stacktrace=1 \
     "$bin" -max_total_time="$seconds" -timeout=20 -report_slow_units=1000 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$keep/" ${dict[@]+"${dict[@]}"} "$work" "$keep" >>"$log" 2>&1; then
    echo "ok   $name ($(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs)"
  elif starved "$bin" "$log"; then
    echo "ok   $name (a unit passed its time only for want of CPU: $(tail -1 "$log"))"
  else
    echo "FAIL $name: reproducer in $keep (log $log)"
    grep -E "ERROR|runtime error|SUMMARY|database broken|Test unit written" "$log" | head -5
    return 1
  fi
}
export -f run_one
export build top seconds
echo "== fuzzing ${#targets[@]} targets for ${seconds}s each, $jobs at a time"
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {}
