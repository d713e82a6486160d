#!/usr/bin/env bash
# Builds and runs every test: the normal build, then the same tests built
# with AddressSanitizer and UBSan.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh" "$top/build"
(cd "$top/build" && ctest --output-on-failure -j"$(nproc)")
bash "$top/scripts/build.sh" "$top/build-asan" -DMODCARD_SANITIZE=ON
(cd "$top/build-asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j"$(nproc)" -LE nosanitize)
bash "$top/scripts/test-arm.sh"  # card build for ARM; its tests under emulation
# Benchmarks print their timings (normal build only).
for b in "$top"/build/tests/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b"
done
