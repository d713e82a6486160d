"""The parameter file that modcard writes and reads at start-up, on fresh and
damaged boards of every standard, checked with an independent CRC (crcmod)."""
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

import crcmod

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402

BUILD = sys.argv[1]
# Start-up waits scale with what the build costs the card (sanitizers, emulation).
SLOW = peers.slowness(BUILD)
BOARD_TOOL = os.path.join(BUILD, "modcard-board")
MODCARD = os.path.join(BUILD, "modcard")
CRC = crcmod.mkCrcFun(0x104C11DB7, initCrc=0x04C11DB7, rev=False, xorOut=0)

F8M = [474000, 482000, 490000, 498000, 578000, 586000, 594000, 602000]
F6M = [474000, 480000, 486000, 492000, 578000, 584000, 590000, 596000]
FATSC = [57000, 63000, 69000, 79000, 177000, 183000, 189000, 195000]
# board type register -> (mode, master frequencies, slave frequencies, symbol rate)
BOARDS = {
    0: (0, F8M, F8M, 6875),
    1: (1, F8M, F8M, 6875),
    2: (3, F8M, F8M, 6875),
    3: (4, F6M, F6M, 5361),
    4: (5, F6M, F6M, 5361),
    5: (6, FATSC, F8M, 6875),
}

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def run_until(root, want, timeout=20.0 * SLOW, also=None):
    """Starts modcard on a board root, waits for a text in its output (and the
    file `also` of the board root, when given), stops it."""
    env = dict(os.environ, MODCARD_ROOT=root)
    out_path = os.path.join(root, "modcard.out")
    with open(out_path, "wb") as out:
        proc = subprocess.Popen([MODCARD], env=env, stdout=out, stderr=subprocess.STDOUT)
        deadline = time.time() + timeout
        text = ""
        while time.time() < deadline:
            time.sleep(0.1)
            with open(out_path, "rb") as f:
                text = f.read().decode("latin-1")
            # The factory line comes before the save: wait for the file too.
            conf = os.path.join(root, "tarvex_data", "K9_DTMB.conf")
            ready = also is None or os.path.exists(os.path.join(root, also))
            if (want in text and os.path.exists(conf) and ready) or proc.poll() is not None:
                break
        proc.send_signal(signal.SIGKILL)
        proc.wait()
    with open(out_path, "rb") as f:
        return f.read().decode("latin-1")


def check_file(path, what):
    d = open(path, "rb").read()
    word = lambda o: struct.unpack_from("<I", d, o)[0]
    check(len(d) == 868, what + ": size 868")
    if len(d) != 868:
        return None
    check(d[0:4] == b"ARAP" and word(4) == 0x20170310, what + ": start tag and version")
    check(d[8:12] == b"TMPI" and d[80:84] == b"DNET", what + ": IP-monitor tags")
    check(d[84:88] == b"BMTD" and d[856:860] == b"DNET" and d[864:868] == b"DNET", what + ": DTMB and end tags")
    check(word(76) == CRC(d[8:76]), what + ": IP-monitor CRC")
    check(word(852) == CRC(d[84:852]), what + ": DTMB CRC")
    check(word(860) == CRC(d[0:860]), what + ": record CRC")
    return d


def board(board_type, chip):
    root = tempfile.mkdtemp(prefix="modcard-params-")
    subprocess.run([BOARD_TOOL, root, "--board-type", str(board_type), "--chip", str(chip)],
                   check=True, stdout=subprocess.DEVNULL)
    return root


for board_type, (mode, fmaster, fslave, symbol_rate) in BOARDS.items():
    for chip in (0, 1):
        what = "board %d chip %d" % (board_type, chip)
        root = board(board_type, chip)
        conf = os.path.join(root, "tarvex_data", "K9_DTMB.conf")
        try:
            # Fresh board: factory record.
            # The master's output-stream file is saved too before the next start.
            out = run_until(root, "Parameters factory",
                            also="tarvex_data/K9_OutPutTSP.conf" if chip == 0 else None)
            check("Factory parameters" in out, what + ": factory line on a fresh board")
            d = check_file(conf, what + " factory")
            if d is not None:
                freqs = list(struct.unpack_from("<8I", d, 88 + 128))
                check(freqs == (fmaster if chip == 0 else fslave), what + ": frequencies %s" % freqs)
                check(struct.unpack_from("<I", d, 88 + 216)[0] == symbol_rate, what + ": symbol rate")
                check(list(struct.unpack_from("<8I", d, 88 + 504)) == [0] * 8, what + ": outputs off")
                check(d[12 + 12] == 72 and d[12 + 13] == 5, what + ": reboot schedule")
            good = open(conf, "rb").read()

            # A good file is loaded, not replaced.
            out = run_until(root, "DTMB CRC Check")
            check("Load config files" in out and "Parameters factory" not in out, what + ": good file loaded")
            check(open(conf, "rb").read() == good, what + ": good file unchanged")

            if chip == 0:
                # A damaged file: deleted, factory record written, logged.
                bad = bytearray(good)
                bad[400] ^= 0xFF
                open(conf, "wb").write(bad)
                out = run_until(root, "Parameters factory")
                check("CRC fail" in out and "Factory parameters" in out, what + ": damaged file logged")
                check_file(conf, what + " after damage")

                # A short file.
                open(conf, "wb").write(good[:11])
                out = run_until(root, "Parameters factory")
                check("config file len 11 too less" in out, what + ": short file logged")
                check_file(conf, what + " after short file")
        finally:
            shutil.rmtree(root, ignore_errors=True)

if failures:
    print("%d failures" % len(failures))
    sys.exit(1)
print("parameter file checks passed")
