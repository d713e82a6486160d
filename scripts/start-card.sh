#!/usr/bin/env bash
# Builds the firmware and starts the simulated chassis: the back-board and
# input-card peers, the card's master chip and, when the card carries one,
# the slave chip, each under procguard on its own board root.
# Board roots: $MODCARD_BOARD (default ./board)/master and /slave. A root
# that exists is kept, so the parameter file saved there is loaded again;
# --factory starts from factory state instead.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
board=${MODCARD_BOARD:-$PWD/board}

usage() {
  cat <<EOF
usage: scripts/start-card.sh [--factory] [--board-type N] [--slot N] [--slave-chip 0|1]
                             [other modcard-board options]
  --factory        start from factory state: the card's saved configuration
                   in the board roots below is deleted first
  --board-type N   0 DTMB, 1 or 10 DVB-T, 2 DVB-C, 3 J.83 Annex B, 4 ISDB-T,
                   5 ATSC 8VSB
  --slot N         chassis slot of the card (0..15)
  --slave-chip 0|1 1: the card carries the slave chip (channels 4-7)
  Other options (--logic, --hw-pins, --phy, --mac, --packets) go to
  modcard-board; "modcard-board --help" lists them.
Board roots: $board/master and $board/slave (MODCARD_BOARD moves them).
Set MODCARD_BUILD to a build folder to start its programs without building.
EOF
}

# Every option is checked before anything is built, created or removed.
factory=0
slave=1
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --factory) factory=1; shift; continue ;;
    --chip) echo "start-card.sh: --chip is chosen per board root" >&2; exit 2 ;;
    --board-type|--slot|--slave-chip|--logic|--hw-pins|--phy|--mac|--packets) ;;
    *) echo "start-card.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
  [ $# -ge 2 ] || { echo "start-card.sh: $1 needs a value" >&2; exit 2; }
  case "$1" in
    --board-type|--slot|--packets|--logic)
      [[ "$2" =~ ^[0-9]+$ ]] || { echo "start-card.sh: $1 takes a number, not '$2'" >&2; exit 2; } ;;
    --slave-chip)
      [[ "$2" =~ ^[01]$ ]] || { echo "start-card.sh: --slave-chip takes 0 or 1" >&2; exit 2; }
      slave=$2 ;;
  esac
  args+=("$1" "$2")
  shift 2
done
# Only a folder that modcard-board made (it holds board.state) is ever removed.
for root in "$board/master" "$board/slave"; do
  if [ -e "$root" ] && [ ! -f "$root/board.state" ]; then
    echo "start-card.sh: $root exists but is not a board root; not touching it" >&2
    exit 2
  fi
done

if [ -n "${MODCARD_BUILD:-}" ]; then
  build=$MODCARD_BUILD
else
  bash "$top/scripts/deps.sh"
  bash "$top/scripts/build.sh" "$top/build"
  build=$top/build
fi
if [ "$factory" = 1 ]; then
  for root in "$board/master" "$board/slave"; do
    if [ -f "$root/board.state" ]; then rm -rf "$root"; fi
  done
fi
mkdir -p "$board"
# The board is powered up: the register file is new (modcard-board changes
# an existing one in place), what the card saved under the root stays.
rm -f "$board/master/board.state" "$board/slave/board.state"
"$build/modcard-board" "$board/master" --chip 0 "${args[@]}"
if [ "$slave" != 0 ]; then
  "$build/modcard-board" "$board/slave" --chip 1 "${args[@]}"
fi
card_slot=3
for ((i = 0; i < ${#args[@]}; i++)); do
  [ "${args[$i]}" = "--slot" ] && card_slot=${args[$((i + 1))]}
done
card_ip=192.168.1.$((11 + card_slot))
own_ip=127.168.1.$((11 + card_slot))

pids=()
stopping=0
# procguard restarts its chip and does not pass signals on: its children are
# stopped after it, by process id. Each procguard runs in a session of its
# own, so that a signal to this script's process group (Ctrl-C) does not end
# procguard before cleanup has learnt which chip to stop and wait for.
# The clean-up runs once and whole: an INT or TERM that arrives during it
# (a second Ctrl-C, a service manager's repeated stop) is ignored.
cleanup() {
  trap '' INT TERM
  trap - EXIT
  [ "$stopping" = 0 ] || return 0
  stopping=1
  local kids=() all=(${pids[@]+"${pids[@]}"})
  # A job started just before the signal may not be in pids yet.
  all+=($(jobs -p))
  for p in "${all[@]}"; do
    # Held still while its children are read, so that a procguard cannot
    # start a chip between the read and its own end.
    kill -STOP "$p" 2>/dev/null || true
    kids+=($(cat "/proc/$p/task/$p/children" 2>/dev/null || true))
    kill "$p" 2>/dev/null || true
    kill -CONT "$p" 2>/dev/null || true
  done
  for k in ${kids[@]+"${kids[@]}"}; do kill "$k" 2>/dev/null || true; done
  wait 2>/dev/null || true
  # The chips are not our children: wait (10 s at most) until they are gone,
  # so that a start right after this one finds their board roots free.
  for _ in $(seq 100); do
    alive=0
    for k in ${kids[@]+"${kids[@]}"}; do kill -0 "$k" 2>/dev/null && alive=1; done
    # (a bare return in a trap would give the interrupted wait's status)
    [ $alive = 0 ] && return 0
    sleep 0.1
  done
  for k in ${kids[@]+"${kids[@]}"}; do kill -9 "$k" 2>/dev/null || true; done
}
stop() {
  cleanup
  exit 130
}
trap cleanup EXIT
trap stop INT TERM

# The back board: frame link on 127.168.1.10:8000, the other end of the
# master's serial line (dev/ttyPS1) and the FTP folder (backboard_ftp/).
/usr/bin/python3 "$top/tests/support/peers.py" back-board --card "$card_ip" --card-slot "$card_slot" \
  --root "$board/master" > "$board/back-board.log" 2>&1 &
pids+=($!)
# The master opens its serial line at once: start it once the peer holds it.
for _ in $(seq 100); do grep -q "serial line ready" "$board/back-board.log" 2>/dev/null && break; sleep 0.1; done
# An input card (slot 5, 127.168.1.30) that feeds streams and programs on
# channels 0-2 and applies them, so that PSI/SI appears in trace/si_ch*.ts.
/usr/bin/python3 "$top/tests/support/peers.py" input-card --card "$card_ip" --card-slot "$card_slot" \
  > "$board/input-card.log" 2>&1 &
pids+=($!)

if [ "$slave" != 0 ]; then
  (cd "$board/slave" && MODCARD_ROOT="$board/slave" exec setsid "$build/procguard" "$build/modcard" modcard) \
    > "$board/slave.console" 2>&1 &
  pids+=($!)
fi
(cd "$board/master" && MODCARD_ROOT="$board/master" exec setsid "$build/procguard" "$build/modcard" modcard) \
  > "$board/master.console" 2>&1 &
pids+=($!)

slave_line="none"
captures="$board/master/trace/si_ch*.ts"
if [ "$slave" != 0 ]; then
  slave_line="board root $board/slave, console $board/slave.console"
  captures="$captures, $board/slave/trace/si_ch*.ts"
fi
cat <<EOF
chassis running (Ctrl-C stops it):
  master chip   board root $board/master, console $board/master.console
  slave chip    $slave_line
  program logs  <board root>/tarvex_data/log/K9_Modulate.log, shell trace <board root>/trace/shell.log
  captures      $captures
  back board    $board/back-board.log (FTP folder $board/master/backboard_ftp)
  input card    $board/input-card.log
  web           http://$own_ip:8080/
  SNMP          $own_ip:16161 (UDP)
EOF
wait
