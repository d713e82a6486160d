"""Start-up of modcard on fresh simulated boards.

Usage: python3 startup.py BUILD_DIR

Every board runs at the same time, each on a board root of its own: masters
of every board type (each in a slot of its own, answered at once by the
back-board peer on its serial line and frame link), a slave chip and a chip
of unknown type. The checks read the program log, the shared register file
and the shell trace of each root.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402

FPGA_OFFSET = 0x1000
MASTER_MAP = 0x03020100
SLAVE_MAP = 0x07060504
MASTER_DONE = "This version is a universal version"
# Seconds a chip may take to reach its idle loop. A master without a slave
# chip looks for it four times, 5 s each, then waits 5 s before it enables
# modulation: some 25 s before a loaded (or sanitized) machine's own share,
# which sanitizers and emulation multiply.
RUN_LIMIT = 60.0 * peers.slowness(sys.argv[1])

# board type -> (name in the board-type line, destination-channel map register)
STANDARDS = {1: ("OFDM", 1280), 10: ("OFDM", 1280), 2: ("DVBC", 1536), 3: ("DVBC_B", 1792),
             4: ("ISDBT", 2048), 5: ("8VSB", 2304), 0: ("DTMB", 1024), 7: ("DTMB", 1024)}

passed = 0
failed = 0


def check(ok, what):
    global passed, failed
    if ok:
        passed += 1
        print("ok   " + what)
    else:
        failed += 1
        print("FAIL " + what)


def read_text(path):
    try:
        with open(path, "r", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def reg(root, n):
    with open(os.path.join(root, "board.state"), "rb") as f:
        f.seek(FPGA_OFFSET + 16 * n)
        return struct.unpack("<I", f.read(4))[0]


class Chip:
    def __init__(self, build, top, name, board_type, chip, done, slot=None):
        self.name = name
        self.board_type = board_type
        self.chip = chip
        self.done = done  # (file relative to the root, text) that marks the idle loop
        self.root = os.path.join(top, name)
        extra = ["--slot", str(slot)] if slot is not None else []
        # The board tool makes only the card's own values: the FPGA's board
        # type (register 5) or chip type (17) outside them is written after.
        odd = {5: board_type} if board_type not in (0, 1, 2, 3, 4, 5, 10) else {}
        odd.update({0x11: chip} if chip not in (0, 1) else {})
        subprocess.run([os.path.join(build, "modcard-board"), self.root, "--board-type",
                        str(0 if 5 in odd else board_type), "--chip", str(0 if 0x11 in odd else chip)] + extra,
                       check=True, stdout=subprocess.DEVNULL)
        for reg, value in odd.items():
            subprocess.run([os.path.join(build, "fpgapoke"), "%x" % reg, "%x" % value], check=True,
                           stdout=subprocess.DEVNULL, env=dict(os.environ, MODCARD_ROOT=self.root))
        self.line = None
        if chip == 0 and slot is not None:
            self.line = peers.SerialBackBoard(self.root, card_ip="192.168.1.%d" % (11 + slot))
        self.build = build
        self.console = open(os.path.join(top, name + ".console"), "w")
        self.proc = None
        self.reached = None  # seconds to the idle loop, or None
        self.refused = None  # seconds to an unknown chip type's refusal
        self.asleep = False  # its main thread was seen in a sleep after the refusal
        self.woke = None  # seconds to the first look after that which found it out of the sleep
        self.exit_code = None

    def start(self):
        env = dict(os.environ, MODCARD_ROOT=self.root)
        self.proc = subprocess.Popen([os.path.join(self.build, "modcard")], env=env, stdout=self.console,
                                     stderr=subprocess.STDOUT)
        self.started = time.monotonic()

    def overdue(self):
        return time.monotonic() - self.started > RUN_LIMIT + 1

    def log(self):
        return read_text(os.path.join(self.root, "tarvex_data/log/K9_Modulate.log"))

    def poll(self):
        if self.reached is None and self.done is not None:
            if self.done[1] in read_text(os.path.join(self.root, self.done[0])):
                self.reached = time.monotonic() - self.started
        if self.exit_code is None:
            self.exit_code = self.proc.poll()
            if self.exit_code is not None:
                self.elapsed = time.monotonic() - self.started
            elif self.chip not in (0, 1) and self.refused is None and "Chip type error" in self.log():
                self.refused = time.monotonic() - self.started
            elif self.refused is not None and self.woke is None:
                try:
                    with open("/proc/%d/syscall" % self.proc.pid) as f:
                        call = f.read().split()[0]
                except (OSError, IndexError):
                    call = ""
                if call in ("35", "230"):  # nanosleep, clock_nanosleep
                    self.asleep = True
                elif self.asleep:
                    self.woke = time.monotonic() - self.started

    def finished(self):
        return (self.done is not None and self.reached is not None) or self.exit_code is not None

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.console.close()
        if self.line is not None:
            self.line.stop()


def common_checks(c, map_value):
    log = c.log()
    name, map_reg = STANDARDS[c.board_type]
    check("####### BoardType: %s #######" % name in log, "%s: board-type line %s" % (c.name, name))
    check("DTV (product Ltd.)" in log and "COMPILE TIME :" in log, "%s: build banner" % c.name)
    check("tarvex" not in log.lower().replace("[k9_modulate]", ""), "%s: maker name replaced" % c.name)
    check(reg(c.root, 914) == 8, "%s: register 914 is 8" % c.name)
    got = reg(c.root, map_reg)
    check(got == map_value, "%s: destination-channel map register %d = 0x%08x" % (c.name, map_reg, got))
    shell = read_text(os.path.join(c.root, "trace/shell.log"))
    check("REFUSED" not in shell, "%s: no refused shell command" % c.name)


def main():
    if len(sys.argv) != 2:
        print("usage: startup.py BUILD_DIR")
        return 2
    build = os.path.abspath(sys.argv[1])
    top = tempfile.mkdtemp(prefix="modcard-startup-")
    chips = []
    back = peers.back_board(wait=120)
    try:
        for n, bt in enumerate(STANDARDS):
            chips.append(Chip(build, top, "master-bt%d" % bt, bt, 0,
                              ("tarvex_data/log/K9_Modulate.log", MASTER_DONE), slot=4 + n))
        chips.append(Chip(build, top, "slave-bt1", 1, 1, ("trace/shell.log", "/etc/init.d/inetd.busybox start")))
        chips.append(Chip(build, top, "chip2-bt3", 3, 2, None))
        # Boards first, then every chip at once, each with its own time limit.
        for c in chips:
            c.start()
        while not all(c.finished() or c.overdue() for c in chips):
            time.sleep(0.1)
            for c in chips:
                c.poll()
        for c in chips:
            c.poll()

        for c in chips:
            if c.chip == 0:
                log = c.log()
                check(c.reached is not None and c.reached <= RUN_LIMIT,
                      "%s: master start-up reaches its idle loop" % c.name)
                check(c.exit_code is None, "%s: master keeps running" % c.name)
                check("############Master:" in log, "%s: master role logged" % c.name)
                order = ["############Master:", "---------address:", MASTER_DONE]
                pos = [log.find(t) for t in order]
                check(all(p >= 0 for p in pos) and pos == sorted(pos), "%s: start-up steps in order" % c.name)
                check(reg(c.root, 4) == 1 and reg(c.root, 2053) == 6144, "%s: modulation enabled" % c.name)
                # Time and address come from the back board's serial answers.
                shell = read_text(os.path.join(c.root, "trace/shell.log"))
                slot = 4 + list(STANDARDS).index(c.board_type)
                check("date -s" in shell and "ifconfig eth0 192.168.1.%d " % (11 + slot) in shell,
                      "%s: time and address taken from the back board" % c.name)
                # A request the back board answered late is sent again: the
                # order counts, not the tries.
                sent = [n for i, n in enumerate(c.line.commands()) if i == 0 or c.line.commands()[i - 1] != n]
                check(sent[:4] == [6, 10, 14, 2], "%s: serial requests in start-up order (%s)" % (c.name, sent[:4]))
                common_checks(c, MASTER_MAP)
            elif c.chip == 1:
                log = c.log()
                check(c.reached is not None, "%s: slave start-up reaches its idle loop" % c.name)
                check(c.exit_code is None, "%s: slave keeps running" % c.name)
                check("############Slave:" in log and "############Master:" not in log,
                      "%s: slave role logged" % c.name)
                shell = read_text(os.path.join(c.root, "trace/shell.log"))
                check("RECORD /etc/init.d/dropbear start" in shell, "%s: SSH service only recorded" % c.name)
                check(reg(c.root, 4) == 1, "%s: modulation enabled" % c.name)
                common_checks(c, SLAVE_MAP)
            else:
                log = c.log()
                check(c.exit_code == 0, "%s: unknown chip type ends with status 0 (got %s)" % (c.name, c.exit_code))
                took = getattr(c, "elapsed", 99)
                # Its 3 s pause: from its refusal, which a slow start-up delays,
                # to its waking (a look missed it only if the card ended first).
                # What follows (a sanitizer's leak check on a busy machine) is
                # bounded by the run limit.
                woke = c.woke if c.woke is not None else took
                pause = woke - (c.refused if c.refused is not None else 0)
                check(2.5 <= took and pause <= 3.0 + peers.slowness(c.build),
                      "%s: waits before it ends (%.1f s; woke %.1f s after its refusal)" % (c.name, took, pause))
                check("Chip type error: 2" in log, "%s: chip type error logged" % c.name)
                check("############Master:" not in log and "############Slave:" not in log,
                      "%s: neither role entered" % c.name)
                # Bit 0 of register 17 is 0: the master's map.
                common_checks(c, MASTER_MAP)
        masters = sum(1 for c in chips if c.chip == 0)
        check(back.commands().count(peers.SEND_RESOUR) >= masters,
              "every master's resource report reached the back board (%s)" % back.commands())
    finally:
        for c in chips:
            c.stop()
        back.stop()
    print("%d passed, %d failed" % (passed, failed))
    if failed:
        print("board roots kept in " + top)
        return 1
    shutil.rmtree(top, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
