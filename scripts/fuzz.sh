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
unit_timeout=20  # libFuzzer's -timeout: wall seconds of one unit
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

# starved BIN LOG LIMIT: the run ended on libFuzzer's time-out (LIMIT
# seconds), which counts wall time; a niced fuzzer beside other work can wait
# far longer for a CPU than its unit computes. The unit is run again alone and
# what the time of the thread that runs it went to decides, from the kernel's
# schedstat of that thread, sampled as it runs: the time on a CPU, the time
# it stood runnable on a run queue, and the rest, asleep or blocked. Only a
# unit whose time less the queueing stays under the time-out, and that ends
# well, was slowed by the machine alone: no finding, and its file goes. A
# unit that alone computes or waits as long is a finding, kept and reported
# with its times; a lone run is stopped after three time-outs.
starved() {
  local unit
  grep -q "ERROR: libFuzzer: timeout" "$2" || return 1
  unit=$(grep -o "Test unit written to .*" "$2" | tail -1 | sed 's/^Test unit written to //')
  [ -f "$unit" ] || return 1
  local verdict
  verdict=$(python3 - "$1" "$unit" "$3" <<'PY'
import os, signal, subprocess, sys, time
binary, unit, limit = sys.argv[1], sys.argv[2], float(sys.argv[3])
start = time.monotonic()
# Once: libFuzzer's leak check would run a unit that seems to leak again.
p = subprocess.Popen([binary, "-detect_leaks=0", unit], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
run = queued = 0  # ns of the unit's thread on a CPU and runnable on a run queue
stopped = False
while True:
    try:
        with open("/proc/%d/schedstat" % p.pid) as f:
            run, queued = (int(v) for v in f.read().split()[:2])
    except (OSError, ValueError):
        pass
    pid, status, usage = os.wait4(p.pid, os.WNOHANG)
    if pid:
        break
    if not stopped and time.monotonic() - start > 3 * limit:
        os.killpg(p.pid, signal.SIGKILL)
        stopped = True
    time.sleep(0.05)
wall = time.monotonic() - start
cpu = usage.ru_utime + usage.ru_stime  # of every thread
own = max(0.0, wall - queued / 1e9)
blocked = max(0.0, own - run / 1e9)
code = os.waitstatus_to_exitcode(status)
if not stopped and code == 0 and own < limit:
    kind = "starved"
elif run / 1e9 >= blocked:
    kind = "computes"
else:
    kind = "waits"
print("%s %.1f %.1f %.1f %d%s" % (kind, wall, cpu, queued / 1e9, code, " stopped" if stopped else ""))
PY
)
  set -- "$1" "$2" "$3" $verdict
  case "${4:-}" in
    starved)
      echo "time-out for want of CPU: alone the unit takes ${5} s, ${6} s of CPU and ${7} s waiting for one" >>"$2"
      rm -f "$unit"
      return 0 ;;
    waits)
      echo "time-out: alone the unit waits, ${5} s with ${6} s of CPU (${7} s waiting for a CPU, exit ${8}${9:+, stopped}): $unit" >>"$2" ;;
    computes)
      echo "time-out: alone the unit computes, ${5} s with ${6} s of CPU (${7} s waiting for a CPU, exit ${8}${9:+, stopped}): $unit" >>"$2" ;;
    *)
      echo "time-out: the unit's lone run could not be timed: $unit" >>"$2" ;;
  esac
  return 1
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
     "$bin" -max_total_time="$seconds" -timeout="$unit_timeout" -report_slow_units=1000 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$keep/" ${dict[@]+"${dict[@]}"} "$work" "$keep" >>"$log" 2>&1; then
    echo "ok   $name ($(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs)"
  elif starved "$bin" "$log" "$unit_timeout"; then
    echo "ok   $name (a unit passed its time only for want of CPU: $(tail -1 "$log"))"
  else
    echo "FAIL $name: reproducer in $keep (log $log)"
    grep -E "ERROR|runtime error|SUMMARY|database broken|Test unit written|^time-out: " "$log" | head -6
    return 1
  fi
}
export -f run_one
export build top seconds unit_timeout
echo "== fuzzing ${#targets[@]} targets for ${seconds}s each, $jobs at a time"
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {}
