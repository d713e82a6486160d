#!/usr/bin/env bash
# ARM stage of the test command: the card build of every deliverable for the
# card's 32-bit ARM processor (warnings are errors), then the simulated board
# built for armhf with its unit and system tests run under qemu-arm.
#   scripts/test-arm.sh [card|sim|tests]...   (no step: all three, in order)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
deps=$top/build-armhf-deps
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(card sim tests)
bash "$top/scripts/arm-deps.sh" "$deps"
cross=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/arm-linux-gnueabihf.cmake" -DMODCARD_ARM_SYSROOT="$deps/sysroot"
       -DCMAKE_COMPILE_WARNING_AS_ERROR=ON)

card() {
  echo "== card build (arm-linux-gnueabihf)"
  local card=$top/build-arm-card
  bash "$top/scripts/build.sh" "$card" "${cross[@]}" -DMODCARD_CARD_BUILD=ON
  # Every deliverable, including ones added later: modcard, procguard, each tool.
  local names=(modcard) n f d
  compgen -G "$top/code/daemon/src/*.cpp" >/dev/null && names+=(procguard)
  for d in "$top"/tools/*/; do
    compgen -G "$d*.cpp" >/dev/null && names+=("$(basename "$d")")
  done
  for n in "${names[@]}"; do
    f=$(find "$card" -path "$card/CMakeFiles" -prune -o -type f -name "$n" -print | head -1)
    if [ -z "$f" ] || ! arm-linux-gnueabihf-readelf -h "$f" | grep -q 'Machine: *ARM' ||
       ! arm-linux-gnueabihf-readelf -h "$f" | grep -q 'hard-float'; then
      echo "card build lacks an ARM hard-float $n" >&2
      exit 1
    fi
  done
  echo "card build: ${names[*]}"
}

sim() {
  echo "== simulated board for armhf"
  bash "$top/scripts/build.sh" "$top/build-arm" "${cross[@]}"
}

tests() {
  echo "== tests of the simulated board for armhf under qemu-arm"
  # In a network namespace of its own where one can be made: its peers bind
  # the same chassis addresses as another run's.
  local ns=()
  bash "$top/scripts/netns.sh" --check >/dev/null 2>&1 && ns=(bash "$top/scripts/netns.sh")
  (cd "$top/build-arm" && ${ns[@]+"${ns[@]}"} ctest --output-on-failure -j"$(nproc)")
}

for s in "${steps[@]}"; do
  case $s in
    card|sim|tests) "$s" ;;
    *) echo "test-arm.sh: unknown step $s" >&2; exit 2 ;;
  esac
done
