"""modcard (master) on a board root with an input-card peer and a back-board
peer on the frame link.

Usage: python3 frame_link.py BUILD_DIR

The peers' frame codec is built independently (crcmod) and checked against
fixed reference frames first. The input card feeds streams, programs and
PIDs and applies them; the card answers as its command table says, writes
PSI/SI for the peer's programs (decoded with libdvbpsi and dvbinfo) and
routes the peer's PIDs.
"""
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402

build = sys.argv[1]
failed = 0
CARD = "192.168.1.14"  # slot 3
MUX_COMMITTED = 0x104000 + 0x26000 + (2048 + 256) * 8


def check(ok, what):
    global failed
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failed += 1


def code_of(frame):
    try:
        r = peers.exchange(CARD, frame, wait=10.0)
    except OSError:
        return "refused"
    return r[1] if r else None


# The codec against frames of the protocol's reference.
check(peers.build_frame(3, 1, 0, 1).hex() == "0300010000000000010000000000000018e25d7b", "reply 1 from slot 3")
check(peers.build_frame(5, 271, 0, 1).hex() == "05000f01000000000100000000000000d6c085d0", "271 from slot 5")
check(peers.build_frame(5, 259, 0, 1, b"\0").hex() == "0500030100000000010000000100000000000000571fd356",
      "259 with one data byte")
check(peers.build_frame(3, 278, 1, 2, b"\x5a").hex() == "030016010100000002000000010000005a000000c0a300ce",
      "second frame of a 1,401-byte 278")

top = tempfile.mkdtemp(prefix="modcard-frames-")
root = os.path.join(top, "master")
proc = None
bb = ic = line = None
try:
    bb = peers.back_board()
    ic = peers.input_card("127.168.1.30", 5)
    subprocess.run([os.path.join(build, "modcard-board"), root, "--chip", "0", "--slot", "3"], check=True,
                   stdout=subprocess.DEVNULL)
    line = peers.SerialBackBoard(root, card_ip=CARD)
    console = open(os.path.join(top, "console"), "w")
    proc = subprocess.Popen([os.path.join(build, "modcard")], env=dict(os.environ, MODCARD_ROOT=root),
                            stdout=console, stderr=subprocess.STDOUT)
    up = False
    for _ in range(150):
        try:
            socket.create_connection(("127.168.1.14", 8000), timeout=1.0).close()
            up = True
            break
        except OSError:
            time.sleep(0.2)
    check(up, "frame server listens on the card's own address 127.168.1.14:8000")

    check(peers.announce(CARD, 16, "192.168.1.10") == [1], "back board's resource record: 1")
    check(peers.announce(CARD, 5, "192.168.1.30") == [1], "input card's resource record: 1")
    codes = peers.feed(CARD, 5, 3)
    check(all(set(c) == {peers.SUCCESS} for c in codes.values()), "records and apply answered 1: %s" % codes)
    check(code_of(peers.build_frame(5, peers.SEND_TS, 0, 0, b"\0")) is None, "TS frame with total 0: no reply")
    check(code_of(peers.build_frame(5, peers.SEND_TS, 0, 1, b"\0")) == 1, "refused single-frame record: still 1")
    check(code_of(peers.build_frame(5, peers.CLEAR_OUTPUT, 0, 1)) == 2, "266 arriving here: 2")
    check(code_of(peers.build_frame(5, 0x1234, 0, 1)) == 2, "unknown command: 2")
    check(code_of(peers.build_frame(16, 258, 0, 1, b"xyz")) == 1, "258: 1")
    check(code_of(peers.build_frame(16, 513, 0, 1, b"\x28\x00")) == 1, "513 (slots 3 and 5 plugged): 1")
    check(code_of(peers.build_frame(16, 514, 0, 1)) == 2, "514 without its 16 bytes: 2")
    check(code_of(peers.build_frame(5, 278, 0, 1)) == 1, "278: 1")
    bad = bytearray(peers.build_frame(5, 258, 0, 1, b"abcd"))
    bad[17] ^= 0xFF
    check(code_of(bytes(bad)) == 2, "bad CRC: 2")
    check(code_of(bytes.fromhex("0500030100000000010000000ffffffff00000000"[:40])) in (2, None),
          "wrapped length: refused")

    # 16 connections that never send and one that trickles its frame do not
    # hold the server: another client's frame is answered within 1 s, and the
    # trickled frame is read whole and answered too.
    idle = [socket.create_connection(("127.168.1.14", 8000), timeout=3.0) for _ in range(16)]
    slow_code = []

    def trickle():
        frame = peers.build_frame(16, 258, 0, 1, b"slow")
        with socket.create_connection(("127.168.1.14", 8000), timeout=3.0) as c:
            for i in range(0, len(frame), 4):
                c.sendall(frame[i:i + 4])
                time.sleep(0.4)
            r = peers.parse_frame(peers.read_frame(c, 5.0))
            slow_code.append(r[1] if r else None)
    slow = threading.Thread(target=trickle)
    slow.start()
    time.sleep(0.5)
    t0 = time.monotonic()
    try:
        r = peers.exchange(CARD, peers.build_frame(5, 258, 0, 1, b"fast"), wait=3.0)
    except OSError:
        r = None
    took = time.monotonic() - t0
    check(r is not None and r[1] == 1 and took <= 1.0,
          "258 beside 16 idle connections answered 1 within 1 s (%s in %.2f s)" % (r and r[1], took))
    slow.join()
    check(slow_code == [1], "a frame trickled in 4-byte pieces over 2 s is answered 1: %s" % slow_code)
    for c in idle:
        c.close()

    for _ in range(50):
        if peers.SEND_RESOUR in bb.commands():
            break
        time.sleep(0.1)
    check(peers.SEND_RESOUR in bb.commands(), "back board received the card's resource record (257)")
    check(proc.poll() is None, "modcard still runs")

    # PSI/SI of the peer's programs, read back from the mailbox captures.
    time.sleep(3)
    for ch in range(3):
        cap = os.path.join(root, "trace/si_ch%d.ts" % ch)
        ok = os.path.exists(cap) and os.path.getsize(cap) > 0
        check(ok, "channel %d has SI packets" % ch)
        if not ok:
            continue
        dec = subprocess.run([os.path.join(build, "tests/psidecode"), "--ts", cap], capture_output=True,
                             text=True).stdout
        check("crc=bad" not in dec and "SECTION" in dec, "channel %d: sections decode with good CRCs" % ch)
        for sid in (100 * (ch + 1), 100 * (ch + 1) + 1):
            check(("%d" % sid) in dec or ("0x%x" % sid) in dec, "channel %d: program %d in the tables" % (ch, sid))
        check(("Peer %d-0" % ch) in dec, "channel %d: the peer's service name in the SDT" % ch)
        info = subprocess.run(["dvbinfo", "-d", "error", "-f", cap], capture_output=True, text=True)
        text = info.stdout + info.stderr
        check("discontinuity" not in text and "CRC" not in text, "channel %d: dvbinfo finds no error" % ch)

    # Routing: the peer's PIDs (slot 5) go to channels 0-2.
    with open(os.path.join(root, "board.state"), "rb") as f:
        f.seek(MUX_COMMITTED)
        mux = struct.unpack("<2048Q", f.read(2048 * 8))
    routed = set()
    for e in mux:
        if e == 0:
            continue
        src = (e >> 23) & 0x1FFFFFFF
        dst = e & 0x7FFFFF
        if (src >> 23) == 5:
            routed.add((dst >> 13, src & 0x1FFF))
    for ch in range(3):
        for pid in (0x201, 0x202, 0x221, 0x222):
            check((ch, pid) in routed, "PID 0x%x of slot 5 routed to channel %d" % (pid, ch))

    # A 514 to an address the card cannot bind (the input card holds it): after its tries the frame
    # server listens on its previous address again and says so in the log.
    ipconf = b"".join(struct.pack("<I", peers.ip_word(a)) for a in
                      ("192.168.1.10", "192.168.1.30", "255.255.255.0", "192.168.1.1"))
    check(code_of(peers.build_frame(16, 514, 0, 1, ipconf)) == 1, "514 to an unbindable address: 1")
    back = False
    for _ in range(150):
        if code_of(peers.build_frame(16, 258, 0, 1, b"back")) == 1:
            back = True
            break
        time.sleep(0.1)
    check(back, "frame server answers on its previous address again")
    with open(os.path.join(root, "tarvex_data/log/K9_Modulate.log"), errors="replace") as f:
        check("listening on the previous address again" in f.read(), "the fall-back is logged")
finally:
    if proc is not None:
        proc.kill()
        proc.wait()
    for p in (bb, ic, line):
        if p is not None:
            p.stop()
    if failed == 0:
        shutil.rmtree(top, ignore_errors=True)
    else:
        print("board kept in " + top)

print("FAILED" if failed else "PASSED")
sys.exit(1 if failed else 0)
