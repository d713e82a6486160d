#!/usr/bin/env bash
# Builds the firmware and starts the simulated card: the master chip and,
# when the card carries one, the slave chip, each on its own board root.
#   scripts/start-card.sh [--board-type N] [--slot N] [--slave-chip 0|1] [other modcard-board options]
# Board roots: $MODCARD_BOARD (default ./board)/master and /slave.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh"
bash "$top/scripts/build.sh" "$top/build"
board=${MODCARD_BOARD:-$PWD/board}
slave=1
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  [ "${args[$i]}" = "--slave-chip" ] && slave=${args[$((i + 1))]}
done
rm -rf "$board"
"$top/build/modcard-board" "$board/master" --chip 0 "$@"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT INT TERM
if [ "$slave" != 0 ]; then
  "$top/build/modcard-board" "$board/slave" --chip 1 "$@"
  MODCARD_ROOT="$board/slave" "$top/build/modcard" > "$board/slave.console" 2>&1 &
  pids+=($!)
  echo "slave chip running (console: $board/slave.console)"
fi
# Peers on the frame link: the back board (127.168.1.10) and an input card
# (slot 5, 127.168.1.30) that feeds streams and programs on channels 0-2 and
# applies them, so that PSI/SI appears in trace/si_ch0-2.ts.
card_slot=3
for ((i = 0; i < ${#args[@]}; i++)); do
  [ "${args[$i]}" = "--slot" ] && card_slot=${args[$((i + 1))]}
done
card_ip=192.168.1.$((11 + card_slot))
/usr/bin/python3 "$top/tests/support/peers.py" back-board --card "$card_ip" > "$board/back-board.log" 2>&1 &
pids+=($!)
/usr/bin/python3 "$top/tests/support/peers.py" input-card --card "$card_ip" --card-slot "$card_slot" \
  > "$board/input-card.log" 2>&1 &
pids+=($!)
echo "back-board and input-card peers running (logs: $board/back-board.log, $board/input-card.log)"

echo "master chip (board root $board/master; traces in $board/master/trace)"
MODCARD_ROOT="$board/master" "$top/build/modcard"
