#!/usr/bin/env bash
# Builds and runs every test: the normal build, then the same tests built
# with AddressSanitizer and UBSan, then with ThreadSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh" "$top/build"
(cd "$top/build" && ctest --output-on-failure -j"$(nproc)")
bash "$top/scripts/build.sh" "$top/build-asan" -DMODCARD_SANITIZE=ON
(cd "$top/build-asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j"$(nproc)")
bash "$top/scripts/build.sh" "$top/build-tsan" -DMODCARD_TSAN=ON
(cd "$top/build-tsan" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
   ctest --output-on-failure -j"$(nproc)" -LE notsan)
# Every fuzz target for a short, fixed time (scripts/fuzz.sh --seconds N runs them longer).
bash "$top/scripts/fuzz.sh" --seconds 30
bash "$top/scripts/test-arm.sh"  # card build for ARM; its tests under emulation
# Benchmarks print their timings (normal build only); the HTTP benchmark's
# reference server is unpacked into the build tree.
bash "$top/scripts/bench-deps.sh" "$top/build" || echo "nginx for the HTTP benchmark not available"
for b in "$top"/build/tests/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b"
done
