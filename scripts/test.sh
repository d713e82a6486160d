#!/usr/bin/env bash
# Builds and runs every test: the normal build, the same tests built with
# AddressSanitizer and UBSan, then with ThreadSanitizer, every libFuzzer
# target for 30 s, the ARM stage (scripts/test-arm.sh), then the benchmarks.
#
# Everything it fetches is fetched first, so a network fault shows at once.
# Where network namespaces can be made (as root), each stage's tests run in
# one of their own, so the stages overlap: the builds one after the other
# while the tests of the builds before them run, the ARM stage beside them;
# elsewhere one stage at a time. The benchmarks run last and alone.
# Each stage's output is in test-logs/<stage>.log and is printed when the
# stage ends (whole when it failed); the last lines give every stage's wall
# time and the total.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
logs=$top/test-logs
rm -rf "$logs"
mkdir -p "$logs"
begin=$SECONDS
cpus=$(nproc)
# Builds and fuzzing take what CPU the tests beside them leave: the tests
# (programs under emulation among them) keep their timing.
low=(nice -n 10)

# stage NAME COMMAND...: runs COMMAND, its output into the stage's log; the
# stage's time and status go to the summary.
stage() {
  local name=$1 t0=$SECONDS rc=0
  shift
  "$@" >"$logs/$name.log" 2>&1 </dev/null || rc=$?
  printf '%s %d %d\n' "$name" $((SECONDS - t0)) $rc >>"$logs/stages"
  {
    if [ $rc = 0 ]; then
      echo "== $name: passed in $((SECONDS - t0)) s (log: test-logs/$name.log)"
      case $name in
        bench*) cat "$logs/$name.log" ;;
        *) grep -E "tests passed|Total Test time|^ok |^card build:" "$logs/$name.log" ;;
      esac
    else
      echo "== $name: FAILED after $((SECONDS - t0)) s (exit $rc); its output:"
      cat "$logs/$name.log"
    fi
  } | flock "$logs/stages" cat
  return $rc
}

netns=()
if bash "$top/scripts/netns.sh" --check; then
  netns=(bash "$top/scripts/netns.sh")
fi
# run_ctest [VAR=VALUE...] DIR [ctest options]: the tests of a build folder,
# in a namespace of their own where there is one.
run_ctest() {
  local vars=()
  while [[ $1 == *=* ]]; do vars+=("$1"); shift; done
  local dir=$1
  shift
  (cd "$dir" && env ${vars[@]+"${vars[@]}"} ${netns[@]+"${netns[@]}"} ctest --output-on-failure -j"$cpus" "$@")
}

downloads() {
  bash "$top/scripts/deps.sh" &&
    bash "$top/scripts/arm-deps.sh" "$top/build-armhf-deps" &&
    bash "$top/scripts/bench-deps.sh" "$top/build"
}

native() {
  local ok=0
  stage build "${low[@]}" bash "$top/scripts/build.sh" "$top/build" || return 1
  bg stage tests run_ctest "$top/build"
  stage build-asan "${low[@]}" bash "$top/scripts/build.sh" "$top/build-asan" -DMODCARD_SANITIZE=ON || ok=1
  [ $ok = 1 ] || bg stage tests-asan run_ctest ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$top/build-asan"
  # Every fuzz target for a short, fixed time (scripts/fuzz.sh --seconds N runs
  # them longer), on every core the tests beside it leave.
  if stage build-fuzz "${low[@]}" bash "$top/scripts/fuzz.sh" --build-only; then
    bg stage fuzz "${low[@]}" bash "$top/scripts/fuzz.sh" --seconds 30
  else
    ok=1
  fi
  stage build-tsan "${low[@]}" bash "$top/scripts/build.sh" "$top/build-tsan" -DMODCARD_TSAN=ON || ok=1
  [ $ok = 1 ] || bg stage tests-tsan run_ctest TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    "$top/build-tsan" -LE notsan
  wait_all
  return $ok
}

arm() {
  stage arm-card "${low[@]}" bash "$top/scripts/test-arm.sh" card &&
    stage arm-sim "${low[@]}" bash "$top/scripts/test-arm.sh" sim &&
    stage arm-tests bash "$top/scripts/test-arm.sh" tests
}

# Benchmarks print their figures (normal build only), each in a namespace of
# its own, on a machine that nothing else of this command loads.
benchmarks() {
  local b rc=0
  for b in "$top"/build/tests/bench_*; do
    [ -x "$b" ] || continue
    echo "== $(basename "$b")"
    ${netns[@]+"${netns[@]}"} "$b" || { echo "$(basename "$b") FAILED"; rc=1; }
  done
  return $rc
}

# Background jobs of this shell; parallel only with namespaces.
pids=()
bg() {
  if [ ${#netns[@]} -gt 0 ]; then
    "$@" &
    pids+=($!)
  else
    "$@"
  fi
}
wait_all() {
  local p rc=0
  for p in ${pids[@]+"${pids[@]}"}; do wait "$p" || rc=1; done
  pids=()
  return $rc
}

failed=0
if stage downloads downloads; then
  bg arm
  arm_pid=""
  [ ${#pids[@]} = 0 ] || arm_pid=${pids[-1]}
  pids=()
  native || failed=1
  if [ -n "$arm_pid" ]; then
    wait "$arm_pid" || failed=1
  fi
  if [ -x "$top/build/tests/bench_http" ]; then
    stage benchmarks benchmarks || failed=1
  fi
else
  failed=1
fi

# A stage that failed fails the command, however it was run.
awk '$3 != 0 { bad = 1 } END { exit !bad }' "$logs/stages" && failed=1

echo
echo "== stage times (wall clock; stages overlap$([ ${#netns[@]} -gt 0 ] || echo ' not: no network namespaces here'))"
while read -r name secs rc; do
  printf '%-12s %3dm%02ds  %s\n' "$name" $((secs / 60)) $((secs % 60)) "$([ "$rc" = 0 ] && echo ok || echo FAILED)"
done <"$logs/stages"
total=$((SECONDS - begin))
printf '%-12s %3dm%02ds  %s\n' total $((total / 60)) $((total % 60)) "$([ $failed = 0 ] && echo ok || echo FAILED)"
# Every build's test count in one line ("N tests failed out of M" of each ctest run).
cat "$logs"/tests*.log "$logs"/arm-tests.log 2>/dev/null |
  awk '/tests failed out of/ { f += $(NF-5); t += $NF } END { printf "tests: %d passed, %d failed\n", t - f, f }'
exit $failed
