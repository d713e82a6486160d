#!/usr/bin/python3
"""Starts modcard on a fresh board of each of the six standards and checks
that the RF chain was programmed: the synthesiser words, the DAC's power-up,
the channel tuning words, the filter of the standard and the final update.

Usage: rf_startup.py BUILD_DIR
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402

READY_TEXT = "This version is a universal version"
READY_TIMEOUT = 30.0  # seconds in a plain build; start-up itself waits 5 s before modulation
DAC_KHZ = 1935360

SYNTH = [
    (5, 0x00400005), (4, 0x009C85FC), (3, 0x00000003),
    (2, 0x00006E42), (1, 0x0800A711), (0, 0x004D2060),
]


def ftw(khz):
    x = khz * 16777215.0 * 16.0 / DAC_KHZ
    v = int(x)
    if v + 0.5 < x:
        v += 1
    return (v & 0xFFFFFF) + ((v >> 24) & 0xF)


def centre_word(khz):
    x = khz * 65535.0 * 16.0 / DAC_KHZ
    t = int(x)
    return ((t >> 4) & 0xFFFF) + (1 if t + 0.5 < x else 0)


# Per board type: name, first frequency and spacing of the factory set
# (None: the ATSC layout, whose channels are all off after factory values),
# and the final AD9789 filter registers.
STANDARDS = {
    0: ("DTMB", 474000, 8000,
        {0x06: 0x98, 0x16: 0x00, 0x17: 0x00, 0x18: 0x80, 0x19: 0x00, 0x1A: 0x00, 0x1B: 0x80}),
    1: ("DVB-T", 474000, 8000,
        {0x06: 0xD0, 0x16: 0x3B, 0x17: 0xE7, 0x18: 0x87, 0x19: 0x00, 0x1A: 0x60, 0x1B: 0x70,
         0x21: 0x7C, 0x29: 0x01}),
    # DVB-C keeps the rate converter of 6875 kBd: Q = 15257058.
    2: ("DVB-C", 474000, 8000,
        {0x06: 0x81, 0x16: 0xE2, 0x17: 0xCD, 0x18: 0xE8, 0x19: 0x00, 0x1A: 0x00, 0x1B: 0x80}),
    3: ("J.83B", 474000, 6000,
        {0x06: 0x81, 0x16: 0x00, 0x17: 0x00, 0x18: 0xC0, 0x19: 0xB1, 0x1A: 0x63, 0x1B: 0x87,
         0x07: 0x01}),
    4: ("ISDB-T", 474000, 6000,
        {0x06: 0xD0, 0x16: 0x00, 0x17: 0x00, 0x18: 0xC8, 0x19: 0x00, 0x1A: 0x0C, 0x1B: 0xBA,
         0x21: 0x7C, 0x23: 0x94, 0x29: 0x01}),
    5: ("ATSC", None, None,
        {0x06: 0xD0, 0x16: 0x00, 0x17: 0x4B, 0x18: 0x96, 0x19: 0x00, 0x1A: 0x93, 0x1B: 0x69}),
}

SYNTH_RE = re.compile(r"ADF4351 R(\d) := 0x([0-9a-f]{8})")
DAC_RE = re.compile(r"AD9789 write 0x([0-9a-f]{4}) := 0x([0-9a-f]{2})")


def check_board(root, board_type):
    """Returns a list of problems (empty when the RF sequence is right)."""
    name, f0, spacing, filt = STANDARDS[board_type]
    problems = []
    try:
        with open(os.path.join(root, "trace", "spi.log")) as f:
            lines = f.read().splitlines()
    except OSError as e:
        return ["no SPI trace: %s" % e]

    synth = [(int(m.group(1)), int(m.group(2), 16)) for m in map(SYNTH_RE.search, lines) if m]
    if synth != SYNTH:
        problems.append("synthesiser words %s, expected R5..R0 %s" % (synth, SYNTH))
    writes = [(int(m.group(1), 16), int(m.group(2), 16)) for m in map(DAC_RE.search, lines) if m]
    if not writes:
        return problems + ["no AD9789 writes"]
    last_synth = max((i for i, l in enumerate(lines) if "ADF4351" in l), default=-1)
    first_dac = next((i for i, l in enumerate(lines) if DAC_RE.search(l)), len(lines))
    if last_synth > first_dac:
        problems.append("the DAC was written before the synthesiser was set")
    if writes[0] != (0x00, 0x18):
        problems.append("power-up begins with %s, expected 0x00 := 0x18" % (writes[0],))
    if writes[-1] != (0x1E, 0x80):
        problems.append("last DAC write %s, expected the update 0x1e := 0x80" % (writes[-1],))

    final = {}
    for reg, val in writes:
        final[reg] = val
    for reg, val in sorted(filt.items()):
        if final.get(reg) != val:
            problems.append("register 0x%02x ends at %s, expected 0x%02x" % (reg, final.get(reg), val))
    if final.get(0x05) != 0:
        problems.append("channel enables %s, expected all off after factory values" % final.get(0x05))

    if f0 is None:
        # All channels off: the ATSC layout has no centre to tune to.
        if any(reg in range(0x0A, 0x16) for reg, _ in writes):
            problems.append("tuning words written although no channel is enabled")
    else:
        for k in range(4):
            w = ftw(f0 + k * spacing)
            got = [final.get(0x0A + 3 * k + b) for b in range(3)]
            want = [(w >> (8 * b)) & 0xFF for b in range(3)]
            if got != want:
                problems.append("channel %d tuning word %s, expected %s" % (k, got, want))
        fc = centre_word(f0 + spacing + spacing // 2)
        got = [final.get(0x1C), final.get(0x1D)]
        if got != [fc & 0xFF, fc >> 8]:
            problems.append("band centre %s, expected %s" % (got, [fc & 0xFF, fc >> 8]))
    return ["%s: %s" % (name, p) for p in problems]


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    build = os.path.abspath(sys.argv[1])
    modcard = os.path.join(build, "modcard")
    board_tool = os.path.join(build, "modcard-board")
    work = tempfile.mkdtemp(prefix="rf-startup-")
    procs = {}
    lines = []
    passed = failed = 0
    # The back board answers at once on the frame link and on each board's
    # serial line; each board has a slot (and address) of its own.
    back = peers.back_board(wait=120)
    try:
        for n, bt in enumerate(STANDARDS):
            root = os.path.join(work, "board%d" % bt)
            subprocess.run([board_tool, root, "--board-type", str(bt), "--slot", str(4 + n)], check=True,
                           stdout=subprocess.DEVNULL)
            lines.append(peers.SerialBackBoard(root, card_ip="192.168.1.%d" % (15 + n)))
            env = dict(os.environ, MODCARD_ROOT=root)
            env.pop("MODCARD_REALTIME", None)
            out = open(os.path.join(work, "board%d.out" % bt), "wb")
            procs[bt] = (root, subprocess.Popen([modcard], env=env, stdout=out, stderr=subprocess.STDOUT,
                                                start_new_session=True), out)

        ready = {}
        # Six chips start at once: under emulation or a sanitizer each start
        # is several times slower.
        deadline = time.monotonic() + READY_TIMEOUT * peers.slowness(build)
        while len(ready) < len(procs) and time.monotonic() < deadline:
            for bt, (root, proc, _) in procs.items():
                if bt in ready:
                    continue
                log = os.path.join(root, "tarvex_data", "log", "K9_Modulate.log")
                try:
                    with open(log, errors="replace") as f:
                        if READY_TEXT in f.read():
                            ready[bt] = True
                except OSError:
                    pass
                if proc.poll() is not None and bt not in ready:
                    ready[bt] = False
            time.sleep(0.2)

        for bt, (root, proc, out) in procs.items():
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            out.close()
            name = STANDARDS[bt][0]
            problems = []
            if not ready.get(bt):
                problems.append("%s: did not reach \"%s\" (exit %s)" % (name, READY_TEXT, proc.returncode))
            problems += check_board(root, bt)
            if problems:
                failed += 1
                for p in problems:
                    print("FAIL board type %d %s" % (bt, p))
            else:
                passed += 1
                print("ok   board type %d %s" % (bt, name))
    finally:
        for bt, (root, proc, out) in procs.items():
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
        for line in lines:
            line.stop()
        back.stop()
        if failed == 0:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("board roots kept in %s" % work)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
