"""Peers of the card's frame link, for tests and scripts/start-card.sh.

The frame codec (built independently of the firmware, with crcmod), the
input-card record builders, an input-card peer, a back-board peer and the
firmware images and version files of an upgrade.

  peers.py input-card --own 127.168.1.30 --slot 5 --card 192.168.1.14 [--serve SECONDS]
      feeds a fixed set of streams and programs on channels 0-2, applies
      them (271), then answers the card on its own address.
  peers.py back-board [--own 127.168.1.10] [--card-slot 3] [--slot 5] [--root BOARD_ROOT] [--serve SECONDS]
      sends the card the plug map (its slot and the input card's plugged),
      answers what the card sends the back board and prints each frame;
      with --root it also holds the other end of that root's serial line
      (dev/ttyPS1) and keeps its FTP folder (backboard_ftp/).
"""
import argparse
import io
import json
import os
import select
import signal
import socket
import struct
import sys
import tarfile
import threading
import time
import tty

import crcmod

CRC = crcmod.mkCrcFun(0x104C11DB7, initCrc=0x04C11DB7, rev=False, xorOut=0)
MAX_DATA = 1400
PORT = 8000

# Command codes
SUCCESS, DATA_ERROR = 1, 2
SEND_RESOUR, SEND_TS, SEND_PROGRAM, SEND_PID = 257, 259, 260, 261
SEND_OVER, CLEAR_INPUT, CLEAR_OUTPUT = 264, 265, 266
SEND_TSP_MUX_PROCESS, SEND_NIT_TABLE = 271, 273
SEND_EITINFO, SEND_EITINFO_OVER, SEND_DESCRIPTOR = 278, 279, 288
SEND_SUBPLUGFLAG, SEND_INDSTATUS, SEND_DEL_DESTCHANNEL = 513, 515, 2068
REQ_REBOOT, SEND_PROCESS_UPGRADE = 3842, 3847
PID_PCR, PID_ES = 2, 3


def chassis(addr):
    """192.168.a.b as the simulated chassis has it (127.168.a.b)."""
    p = addr.split(".")
    return "127.168.%s.%s" % (p[2], p[3]) if p[:2] == ["192", "168"] else addr


# ---- frame codec ----------------------------------------------------------

def children(pid):
    """The process ids of pid's children (none once it has ended)."""
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(c) for c in f.read().split()]
    except OSError:
        return []


def slowness(build):
    """How many times longer than a plain native build the programs of BUILD
    take to start: sanitizers and emulation slow them, and a deadline that
    waits for them scales with this."""
    if os.path.exists(os.path.join(build, "modcard.arm")):  # run under an emulator
        return 4
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            cache = f.read()
    except OSError:
        return 1
    if "MODCARD_TSAN:BOOL=ON" in cache:
        return 4
    return 2 if "MODCARD_SANITIZE:BOOL=ON" in cache else 1


def build_frame(slot, cmd, idx, total, data=b""):
    head = struct.pack("<BBHIII", slot, 0, cmd, idx, total, len(data)) + bytes(data)
    return head + b"\0" * ((4 - len(data) % 4) % 4) + struct.pack("<I", CRC(head))


def parse_frame(buf):
    """(slot, cmd, idx, total, data) of a whole frame, or None when it fails a check."""
    if len(buf) < 20:
        return None
    slot, _, cmd, idx, total, length = struct.unpack_from("<BBHIII", buf)
    if length > MAX_DATA or len(buf) != length + (4 - length % 4) % 4 + 20:
        return None
    if struct.unpack_from("<I", buf, len(buf) - 4)[0] != CRC(buf[:16 + length]):
        return None
    return slot, cmd, idx, total, bytes(buf[16:16 + length])


def read_frame(sock, wait=5.0):
    """Reads until the header's length is complete, the peer closes or the wait ends."""
    sock.settimeout(wait)
    buf, want = b"", 16
    try:
        while len(buf) < want:
            chunk = sock.recv(4096)
            if not chunk:
                break
            buf += chunk
            if len(buf) >= 16:
                length = struct.unpack_from("<I", buf, 12)[0]
                if length > MAX_DATA:
                    break
                want = length + (4 - length % 4) % 4 + 20
    except OSError:
        pass
    return buf


# How much slower the card under test runs (a system test's first argument
# is its build folder); waits for the card scale with it.
SLOW = slowness(sys.argv[1]) if len(sys.argv) > 1 else 1
# The chips started by a test wait on each other in their own time.
os.environ.setdefault("MODCARD_SLOWNESS", str(SLOW))
# Seconds an input card waits for a frame's reply. A card answers an apply
# once it is done, and a resend queues behind it: a test whose applies are
# large sets it longer still.
REPLY_WAIT = 10.0 * SLOW


def exchange(addr, frame, wait=None, port=PORT):
    """One frame on a connection of its own; the reply frame's fields or None."""
    with socket.create_connection((chassis(addr), port), timeout=3.0) as s:
        s.sendall(frame)
        return parse_frame(read_frame(s, REPLY_WAIT if wait is None else wait))


def send_message(addr, slot, cmd, data=b"", attempts=4, port=PORT):
    """A message cut into frames, each tried up to four times; the reply codes
    of the last attempt of each frame (None where no reply came)."""
    total = max(1, (len(data) + MAX_DATA - 1) // MAX_DATA)
    codes = []
    for i in range(total):
        code = None
        for _ in range(attempts):
            reply = exchange(addr, build_frame(slot, cmd, i, total, data[i * MAX_DATA:(i + 1) * MAX_DATA]),
                             port=port)
            code = reply[1] if reply else None
            if code == SUCCESS:
                break
        codes.append(code)
        if code != SUCCESS:
            break
    return codes


# ---- input-card records (the layouts the output-stream database reads) ----

def _rec(size, fields):
    b = bytearray(size)
    for off, fmt, val in fields:
        struct.pack_into("<" + fmt, b, off, val)
    return b


def ts_record(channel, card_slot, tsid, onid, src_slot, src_ch):
    return _rec(448, [(4, "I", 448), (8, "H", 1), (10, "H", tsid), (12, "H", onid), (15, "B", card_slot),
                      (16, "H", channel), (33, "B", src_slot), (34, "H", src_ch)])


def program_record(channel, card_slot, src_slot, src_ch, prog_id, sid, pmt, pcr, name, provider=b"Peer"):
    b = _rec(920, [(4, "I", 920), (9, "B", src_slot), (10, "H", src_ch), (12, "H", channel), (14, "B", card_slot),
                   (20, "H", prog_id), (28, "H", sid), (30, "H", pcr), (32, "H", pmt), (46, "B", len(name)),
                   (47, "B", len(provider)), (112, "B", 1)])
    b[48:48 + len(name)] = name
    b[80:80 + len(provider)] = provider
    return b


def pid_record(channel, card_slot, src_slot, src_ch, prog_id, pid_id, ptype, stream_type, pid):
    return _rec(372, [(4, "I", 372), (9, "B", src_slot), (10, "H", src_ch), (12, "B", card_slot),
                      (14, "H", channel), (28, "H", prog_id), (30, "H", pid_id), (40, "B", ptype),
                      (41, "B", stream_type), (42, "H", pid)])


def resource_record(slot, ip):
    """A sender's own 1,024-byte resource record: its slot and address."""
    a = [int(x) for x in ip.split(".")]
    return bytes(_rec(1024, [(272, "B", slot), (292, "I", a[0] << 24 | a[1] << 16 | a[2] << 8 | a[3])]))


def announce(card, slot, ip):
    """Tells the card a peer's slot and address (command 257)."""
    return send_message(card, slot, SEND_RESOUR, resource_record(slot, ip))


def message(records):
    return bytes([len(records)]) + b"".join(bytes(r) for r in records)


# The fixed feed: three channels, two programs each (video and audio PIDs).
def fixed_feed(card_slot, src_slot, channels=(0, 1, 2)):
    streams, programs, pids = [], [], []
    for ch in channels:
        src_ch = ch + 1
        streams.append(ts_record(ch, card_slot, 0x100 + ch, 0x20, src_slot, src_ch))
        for k in range(2):
            prog_id = 1 + k
            sid = 100 * (ch + 1) + k
            base = 0x200 + 0x20 * k
            programs.append(program_record(ch, card_slot, src_slot, src_ch, prog_id, sid, base, base + 1,
                                           b"Peer %d-%d" % (ch, k)))
            pids.append(pid_record(ch, card_slot, src_slot, src_ch, prog_id, 10 * prog_id + 0, PID_PCR, 0x02, base + 1))
            pids.append(pid_record(ch, card_slot, src_slot, src_ch, prog_id, 10 * prog_id + 1, PID_ES, 0x02, base + 1))
            pids.append(pid_record(ch, card_slot, src_slot, src_ch, prog_id, 10 * prog_id + 2, PID_ES, 0x04, base + 2))
    return streams, programs, pids


def feed(card, slot, card_slot, channels=(0, 1, 2)):
    """Sends the fixed feed, one message per channel and record kind (each
    within the card's 5,120-byte reassembly), the apply command and 264.
    Returns {command: reply codes of every frame}."""
    out = {SEND_TS: [], SEND_PROGRAM: [], SEND_PID: []}
    for ch in channels:
        streams, programs, pids = fixed_feed(card_slot, slot, (ch,))
        out[SEND_TS] += send_message(card, slot, SEND_TS, message(streams))
        out[SEND_PROGRAM] += send_message(card, slot, SEND_PROGRAM, message(programs))
        out[SEND_PID] += send_message(card, slot, SEND_PID, message(pids))
    out[SEND_TSP_MUX_PROCESS] = send_message(card, slot, SEND_TSP_MUX_PROCESS)
    # "Send over": the card reports its channels to the back board.
    out[SEND_OVER] = send_message(card, slot, SEND_OVER)
    return out


# ---- serial line to the back board ----------------------------------------

UART_IP, UART_TIME, UART_ERRCODE, UART_SLOTMAP, UART_RESOURCE = 2, 6, 8, 10, 14


def ip_word(dotted):
    return struct.unpack(">I", socket.inet_aton(dotted))[0]


def uart_frame(slot, cmd, data=b""):
    """"GGGG", slot, command, length, data, CRC over slot to data."""
    body = struct.pack("<BBH", slot, cmd, len(data)) + bytes(data)
    return b"GGGG" + body + struct.pack("<I", CRC(body))


def uart_parse(buf):
    """(frame, rest): the first whole checked frame in buf (None when there is
    none yet); bytes before a header or of a bad frame are dropped."""
    while True:
        at = buf.find(b"GGGG")
        if at < 0:
            return None, buf[-3:]
        buf = buf[at:]
        if len(buf) < 12:
            return None, buf
        slot, cmd, length = struct.unpack_from("<BBH", buf, 4)
        if len(buf) < length + 12:
            return None, buf
        crc = struct.unpack_from("<I", buf, 8 + length)[0]
        if crc == CRC(buf[4:8 + length]):
            return (slot, cmd, bytes(buf[8:8 + length])), buf[length + 12:]
        buf = buf[4:]


class SerialBackBoard:
    """The back board's end of a board root's serial line: a pty in raw mode
    whose other end is linked as ROOT/dev/ttyPS1. Each request gets one
    write with its answer, from the configuration given (silent: none)."""

    def __init__(self, root, card_ip="192.168.1.14", bb_ip="192.168.1.10", clock=None, slot_map=None,
                 kxa200=0, silent=False, verbose=False):
        self.card_ip, self.bb_ip, self.clock = card_ip, bb_ip, clock
        self.slot_map = bytes(slot_map) if slot_map is not None else bytes(range(17))
        self.kxa200, self.silent, self.verbose = kxa200, silent, verbose
        self.requests = []
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)  # kept open: the line lives on across restarts of the card
        os.makedirs(os.path.join(root, "dev"), exist_ok=True)
        os.makedirs(os.path.join(root, "backboard_ftp"), exist_ok=True)
        self.link = os.path.join(root, "dev", "ttyPS1")
        if os.path.islink(self.link):
            os.unlink(self.link)
        os.symlink(os.ttyname(self.slave), self.link)
        self.stopped = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def answer(self, slot, cmd, data):
        if cmd == UART_IP:
            return struct.pack("<IIII", ip_word(self.bb_ip), ip_word(self.card_ip), 0xFFFFFF00,
                               ip_word(self.bb_ip) & 0xFFFFFF00 | 1)
        if cmd == UART_TIME:
            return struct.pack("<I", int(self.clock if self.clock is not None else time.time()))
        if cmd == UART_ERRCODE:
            return b""
        if cmd == UART_SLOTMAP:
            return self.slot_map
        if cmd == UART_RESOURCE:
            return bytes([self.kxa200])
        return None

    def _run(self):
        buf = b""
        while not self.stopped:
            if not select.select([self.master], [], [], 0.1)[0]:
                continue
            try:
                buf += os.read(self.master, 4096)
            except OSError:
                time.sleep(0.1)
                continue
            while True:
                f, buf = uart_parse(buf)
                if f is None:
                    break
                self.requests.append(f)
                if self.verbose:
                    print("serial: request %d from slot %d, %d bytes" % (f[1], f[0], len(f[2])), flush=True)
                data = None if self.silent else self.answer(*f)
                if data is not None:
                    os.write(self.master, uart_frame(f[0], f[1] + 1, data))

    def commands(self):
        return [r[1] for r in self.requests]

    def stop(self):
        self.stopped = True
        self.thread.join()
        if os.path.islink(self.link) and os.readlink(self.link) == os.ttyname(self.slave):
            os.unlink(self.link)
        os.close(self.master)
        os.close(self.slave)


# ---- firmware upgrades -------------------------------------------------------

UPGRADE_CRC = crcmod.mkCrcFun(0x104C11DB7, initCrc=0xFFFFFFFF, rev=False, xorOut=0)  # CRC-32/MPEG-2


def make_image(path, version, members=("zz.zz", "run.sh")):
    """An image as the header layout has it: 256-byte header, then a tar archive."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=tarfile.GNU_FORMAT) as t:
        for name in members:
            data = b"#!/bin/sh\nexit 0\n" if name == "run.sh" else b"z"
            info = tarfile.TarInfo(name)
            info.size, info.mode = len(data), 0o755
            t.addfile(info, io.BytesIO(data))
    payload = buf.getvalue()
    # sync, header version, header length, board type 34, max size, time,
    # length, platform, CRC, firmware text and length, software version...
    head = struct.pack("<9I20sI20sI4sI", 0x99999999, 1, 256, 34, 0, 0, len(payload), 0, UPGRADE_CRC(payload),
                       b"fw", 0, version.encode(), 0, b"", 26)  # ... and machine type 26 at byte 88
    with open(path + ".part", "wb") as f:
        f.write(head + bytes(256 - len(head)) + payload)
    os.replace(path + ".part", path)


def installed(root):
    """The version recorded in a chip's version file, as "Vb.m.n" (None: none)."""
    try:
        with open(os.path.join(root, "tarvex_data/upgradeVersion.json")) as f:
            v = json.load(f)
        return "V%d.%d.%d" % (v["BigVerNum"], v["MidVerNum"], v["MinVerNum"])
    except (OSError, ValueError, KeyError):
        return None


# ---- peers that the card calls ---------------------------------------------

class Peer:
    """Listens on its own address, records each frame and answers 1 to the
    commands it knows, 2 to others."""

    def __init__(self, own, slot, answers, port=PORT, verbose=False, wait=0):
        self.slot, self.answers, self.verbose = slot, set(answers), verbose
        self.frames = []
        self.lock = threading.Lock()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        # Another run may hold the address for a while (one back board per machine).
        end = time.monotonic() + wait
        while True:
            try:
                self.sock.bind((own, port))
                break
            except OSError:
                if time.monotonic() >= end:
                    raise
                time.sleep(0.5)
        self.sock.listen(16)
        self.sock.settimeout(0.2)
        self.stopped = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopped:
            try:
                c, _ = self.sock.accept()
            except OSError:
                continue
            with c:
                f = parse_frame(read_frame(c, 5.0))
                if f is None:
                    continue
                with self.lock:
                    self.frames.append(f)
                if self.verbose:
                    print("peer slot %d: command %d frame %d/%d, %d bytes" % (self.slot, f[1], f[2], f[3], len(f[4])),
                          flush=True)
                code = SUCCESS if f[1] in self.answers else DATA_ERROR
                try:
                    c.sendall(build_frame(self.slot, code, 0, 1))
                except OSError:
                    pass

    def commands(self):
        with self.lock:
            return [f[1] for f in self.frames]

    def stop(self):
        self.stopped = True
        self.thread.join()
        self.sock.close()


def input_card(own, slot, verbose=False):
    return Peer(own, slot, (CLEAR_OUTPUT, SEND_DEL_DESTCHANNEL, SEND_EITINFO, SEND_EITINFO_OVER), verbose=verbose)


def answer_deletions(ic, card, slot, stop):
    """An input card's side of a deletion the card asks of it: after each
    2068 it applies (271), until stop is set."""
    seen = 0
    while not stop.is_set():
        n = ic.commands().count(SEND_DEL_DESTCHANNEL)
        if n > seen:
            seen = n
            send_message(card, slot, SEND_TSP_MUX_PROCESS)
        time.sleep(0.05)


def back_board(own="127.168.1.10", verbose=False, wait=0):
    return Peer(own, 16, (SEND_RESOUR, SEND_PROCESS_UPGRADE, SEND_INDSTATUS, REQ_REBOOT), verbose=verbose, wait=wait)


_chassis_back_board = []


def chassis_for(root, slot):
    """What a master chip in a slot needs of the chassis to start at once: the
    back board on TCP (one for the whole test run) and on the root's serial
    line. Returns the serial peer; keep it as long as the card runs."""
    if not _chassis_back_board:
        _chassis_back_board.append(back_board(wait=120))
    return SerialBackBoard(root, card_ip="192.168.1.%d" % (11 + slot))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("role", choices=["input-card", "back-board"])
    ap.add_argument("--own")
    ap.add_argument("--slot", type=int, default=5)
    ap.add_argument("--card", default="192.168.1.14")
    ap.add_argument("--card-slot", type=int, default=3)
    ap.add_argument("--root", help="board root whose serial line and FTP folder the back board keeps")
    ap.add_argument("--serve", type=float, default=0, help="seconds to keep answering (0: for ever)")
    a = ap.parse_args()

    def stop_on_term(*_):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)  # one stop, however often asked
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, stop_on_term)  # a stopping script ends the peer cleanly
    if a.role == "back-board":
        own = a.own or "127.168.1.10"
        # The serial line first: the card opens it before its frame link.
        line = SerialBackBoard(a.root, card_ip=a.card, bb_ip="192.168." + own.split(".", 2)[2],
                               verbose=True) if a.root else None
        if line is not None:
            print("serial line ready: " + line.link, flush=True)
        peer = back_board(own, verbose=True, wait=60)
        # Once the card serves frames, tell it where the back board is and
        # which slots are plugged: its own and the input card's (--slot).
        for _ in range(120):
            try:
                announce(a.card, 16, "192.168." + own.split(".", 2)[2])
                codes = send_message(a.card, 16, SEND_SUBPLUGFLAG, struct.pack("<H", 1 << a.slot | 1 << a.card_slot))
                print("plug map (slots %d and %d) answered %s" % (a.slot, a.card_slot, codes), flush=True)
                break
            except OSError:
                time.sleep(0.5)
    else:
        own = a.own or "127.168.1.30"
        peer = input_card(own, a.slot, verbose=True)
        for _ in range(120):  # the card's frame server starts after its RF chain
            try:
                socket.create_connection((chassis(a.card), PORT), timeout=1.0).close()
                break
            except OSError:
                time.sleep(0.5)
        announce(a.card, a.slot, "192.168." + own.split(".", 2)[2])
        for cmd, codes in feed(a.card, a.slot, a.card_slot).items():
            print("input card slot %d: command %d answered %s" % (a.slot, cmd, codes), flush=True)
    try:
        end = time.monotonic() + a.serve if a.serve else None
        while end is None or time.monotonic() < end:
            time.sleep(0.5)
    except KeyboardInterrupt:
        pass
    peer.stop()
    if a.role == "back-board" and line is not None:
        line.stop()


if __name__ == "__main__":
    main()
