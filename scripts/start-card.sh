#!/usr/bin/env bash
# Builds the firmware and starts the simulated chassis: the back-board and
# input-card peers, the card's master chip and, when the card carries one,
# the slave chip, each under procguard on its own board root.
# Board roots: $MODCARD_BOARD (default ./board)/master and /slave. A root
# that exists is kept, so the card comes back as it was and loads the
# parameter file saved there again; --factory starts from factory state.

# The traps come first, so that a stop in the script's first moments or
# during its build is not lost.
pids=()
stopping=0
building=""  # the install or build step running, if any
# Ends a process and everything below it: each is held still before its
# children are read, so that none can start another meanwhile.
end_tree() {
  local k
  kill -STOP "$1" 2>/dev/null || return 0
  for k in $(cat /proc/"$1"/task/*/children 2>/dev/null || true); do end_tree "$k"; done
  kill -TERM "$1" 2>/dev/null || true
  kill -CONT "$1" 2>/dev/null || true
}
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
  [ -z "$building" ] || end_tree "$building"
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
A board root that exists keeps what it was (board type, slot, slave chip, MAC,
ports, ...) except what an option names; a new one starts from modcard-board's
defaults (DTMB, slot 3, with the slave chip).
Board roots: $board/master and $board/slave (MODCARD_BOARD moves them).
Set MODCARD_BUILD to a build folder to start its programs without building.
EOF
}

# A whole decimal or 0x-hexadecimal number of at most $2, as modcard-board
# reads it; its value in num.
number() {
  if [[ "$1" =~ ^[0-9]{1,10}$ ]]; then num=$((10#$1))
  elif [[ "$1" =~ ^0[xX][0-9a-fA-F]{1,8}$ ]]; then num=$((16#${1:2}))
  else return 1; fi
  [ "$num" -le "$2" ]
}
refuse() { echo "start-card.sh: $1 takes $2, not '$3'" >&2; exit 2; }

# Every option is checked, its value and range, before anything is built,
# created or removed.
factory=0
slave=""
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
  v=$2
  case "$1" in
    --board-type)
      { number "$v" 10 && { [ "$num" -le 5 ] || [ "$num" = 10 ]; }; } || refuse "$1" "0, 1, 10, 2, 3, 4 or 5" "$v" ;;
    --slot) number "$v" 15 || refuse "$1" "a card slot 0..15" "$v" ;;
    --slave-chip) number "$v" 1 || refuse "$1" "0 or 1" "$v"; slave=$num ;;
    --logic|--packets) number "$v" 4294967295 || refuse "$1" "a 32-bit number" "$v" ;;
    --hw-pins)
      IFS=, read -r -a pins <<<"$v"
      { [[ "$v" =~ ^[^,]+,[^,]+,[^,]+$ ]] && number "${pins[0]}" 1 && number "${pins[1]}" 1 &&
        number "${pins[2]}" 1; } || refuse "$1" "three levels 0 or 1, as A,B,C" "$v" ;;
    --phy)
      [[ "$v" =~ ^(88E1510|88E1111|YT8521|unknown)$ ]] || refuse "$1" "88E1510, 88E1111, YT8521 or unknown" "$v" ;;
    --mac)
      [[ "$v" =~ ^[0-9a-fA-F]{2}(:[0-9a-fA-F]{2}){5}$ ]] ||
        refuse "$1" "six hexadecimal bytes XX:XX:XX:XX:XX:XX" "$v" ;;
  esac
  args+=("$1" "$v")
  shift 2
done
# Only a folder that modcard-board made (it holds board.state) is ever removed.
for root in "$board/master" "$board/slave"; do
  if [ -e "$root" ] && [ ! -f "$root/board.state" ]; then
    echo "start-card.sh: $root exists but is not a board root; not touching it" >&2
    exit 2
  fi
done

# A step that may take minutes runs as a job, so that a stop ends it at once
# (a trap runs only once the command in the foreground is over). The
# terminal stays its input, for a password that the install may ask for.
step() {
  "$@" <&0 &
  building=$!
  local rc=0
  wait "$building" || rc=$?
  building=""
  return $rc
}
if [ -n "${MODCARD_BUILD:-}" ]; then
  build=$MODCARD_BUILD
else
  step bash "$top/scripts/deps.sh"
  step bash "$top/scripts/build.sh" "$top/build"
  build=$top/build
fi
if [ "$factory" = 1 ]; then
  for root in "$board/master" "$board/slave"; do
    if [ -f "$root/board.state" ]; then rm -rf "$root"; fi
  done
fi
mkdir -p "$board"
# The board is powered up: the register file is new; the root's profile
# (what the card is), its ports and what the card saved under it stay, with
# the changes the options name. The slave chip sits on the master's card:
# its board type and slot are the master's.
said=$("$build/modcard-board" "$board/master" --power-up --chip 0 ${args[@]+"${args[@]}"})
echo "$said"
field() { sed -n "s/.*[:,] $1 \([0-9]*\).*/\1/p" <<<"$said"; }
board_type=$(field "board type")
card_slot=$(field "slot")
http_port=$(field "http port")
snmp_port=$(field "snmp port")
[ -n "$slave" ] || slave=$(field "slave chip")
if [ "$slave" != 0 ]; then
  "$build/modcard-board" "$board/slave" --power-up --chip 1 ${args[@]+"${args[@]}"} \
    --board-type "$board_type" --slot "$card_slot" --slave-chip 1
fi
card_ip=192.168.1.$((11 + card_slot))
own_ip=127.168.1.$((11 + card_slot))

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
  captures      $captures (each cut at its bound: the older part in <name>.0)
  back board    $board/back-board.log (FTP folder $board/master/backboard_ftp)
  input card    $board/input-card.log
  web           http://$own_ip:$http_port/
  SNMP          $own_ip:$snmp_port (UDP)
EOF
wait
