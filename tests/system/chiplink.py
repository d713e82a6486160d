"""A card's two chips on the chip link, each a modcard under procguard, plus
a card whose slave is mute and a card with the master chip alone.

Usage: python3 chiplink.py BUILD_DIR

Card in slot 3: the slave and the master come up, the master finds the slave,
pushes its addresses, modulation set, routing tables and SI; channels 4-7
fed by an input card end up on the slave. Firmware upgrades as the back
board sends them: the final stage only once both chips installed; a slave
killed while it installs, or stopped during the transfer, gives the failure
stage and holds the frame server a bounded time. A reboot request from the
back board reboots the slave 2 s after the master, and both come back.
Card in slot 4: a stand-in slave acknowledges everything but never answers
and drops the reboot command: the master keeps running and tries again on
the next request. Card in slot 13 (four channels) reboots alone.
"""
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

import crcmod

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402

build = sys.argv[1]
failed = 0
REBOOT_REQ = 3842
MUX_COMMITTED = 0x104000 + 0x26000 + (2048 + 256) * 8


def check(ok, what):
    global failed
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failed += 1


def crc_of(frame):
    return struct.unpack("<I", frame[-4:])[0]


# Wire bytes built independently of the firmware.
check(peers.build_frame(3, 871, 0, 1, struct.pack("<I", 0x65000000)).hex()
      == "03006703000000000100000004000000000000655615525d", "871 with T=0x65000000 from slot 3")
check(crc_of(peers.build_frame(3, 833, 0, 1)) == 0xF3537327, "833 CRC")
check(crc_of(peers.build_frame(3, 771, 0, 1, struct.pack("<I", 0x01020304))) == 0x91BDDE54, "771 answer CRC")
spi_crc = crcmod.mkCrcFun(0x104C11DB7, initCrc=0xFFFFFFFF, rev=False, xorOut=0)
spi = struct.pack("<BBHIIB2sB", 0x69, 254, 0x000A, 1, 1, 0, b"\0\0", 0) + bytes(104)
check(spi_crc(spi) == 0xD1E9D4B3, "SPI request 254 CRC")


def log_of(root):
    try:
        with open(os.path.join(root, "tarvex_data/log/K9_Modulate.log"), errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def wait_for(cond, limit):
    end = time.time() + limit
    while time.time() < end:
        if cond():
            return True
        time.sleep(0.1)
    return cond()


def reg(root, n):
    with open(os.path.join(root, "board.state"), "rb") as f:
        f.seek(0x1000 + 16 * n)
        return struct.unpack("<I", f.read(4))[0]


def reboots(root):
    try:
        with open(os.path.join(root, "trace/shell.log"), errors="replace") as f:
            return f.read().count("RECORD reboot")
    except OSError:
        return 0


LINES = []
make_image, installed = peers.make_image, peers.installed


def board(root, chip, slot, *extra):
    subprocess.run([os.path.join(build, "modcard-board"), root, "--chip", str(chip), "--slot", str(slot)] + list(extra),
                   check=True, stdout=subprocess.DEVNULL)
    if chip == 0:
        LINES.append(peers.chassis_for(root, slot))


def start(top, root, guard):
    console = open(os.path.join(top, os.path.basename(root) + ".console"), "a")
    cmd = [os.path.join(build, "procguard"), os.path.join(build, "modcard"), "modcard"] if guard \
        else [os.path.join(build, "modcard")]
    return subprocess.Popen(cmd, env=dict(os.environ, MODCARD_ROOT=root), stdout=console, stderr=subprocess.STDOUT,
                            start_new_session=True)


def frame_server_up(addr):
    try:
        socket.create_connection((addr, 8000), timeout=1.0).close()
        return True
    except OSError:
        return False


def reboot_request(card):
    try:
        r = peers.exchange(card, peers.build_frame(16, REBOOT_REQ, 0, 1), wait=10.0)
    except OSError:
        return None
    return r[1] if r else None


class MuteSlave:
    """Stand-in slave chip: acknowledges every frame but 833, which it reads
    and drops without a reply; it never answers a version request."""

    def __init__(self, own):
        self.s = socket.socket()
        self.s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.s.bind((own, 8050))
        self.s.listen(16)
        self.s.settimeout(0.2)
        self.cmds = []
        self.stopped = False
        self.t = threading.Thread(target=self.run, daemon=True)
        self.t.start()

    def run(self):
        while not self.stopped:
            try:
                c, _ = self.s.accept()
            except OSError:
                continue
            with c:
                f = peers.parse_frame(peers.read_frame(c, 5.0))
                if f is None:
                    continue
                self.cmds.append(f[1])
                if f[1] != 833:
                    c.sendall(peers.build_frame(3, 1, 0, 1))

    def stop(self):
        self.stopped = True
        self.t.join()
        self.s.close()


top = tempfile.mkdtemp(prefix="modcard-chiplink-")
procs = []
mute = None
try:
    master, slave = os.path.join(top, "master"), os.path.join(top, "slave")
    board(master, 0, 3)
    board(slave, 1, 3)
    procs.append(start(top, slave, True))
    check(wait_for(lambda: socket.socket().connect_ex(("127.188.3.111", 8050)) == 0, 20),
          "slave's chip-link server on 127.188.3.111:8050")
    # Another card left in slot 3 would take the feed: say so plainly.
    check(not frame_server_up("127.168.1.14"), "nothing else holds slot 3's frame server address")
    procs.append(start(top, master, True))
    check(wait_for(lambda: frame_server_up("127.168.1.14") and "---------address:" in log_of(master), 30),
          "master's frame server up")
    codes = peers.feed("192.168.1.14", 5, 3, channels=(4, 5, 6, 7))
    check(all(set(c) == {peers.SUCCESS} for c in codes.values()), "channels 4-7 fed and applied: %s" % codes)
    check(wait_for(lambda: "Slave chip is working now!!!" in log_of(master), 40), "master: Slave chip is working now")
    check([reg(slave, n) for n in (34, 36, 39, 40)] == [4, 0xC0A8BC6F, 3, 0xC0A8BC6E],
          "slave's direct link: registers 34/36/39/40 hold its own and the master's address")

    def same_set():
        try:
            a = open(os.path.join(master, "tarvex_data/K9_DTMB.conf"), "rb").read()[88:852]
            b = open(os.path.join(slave, "tarvex_data/K9_DTMB.conf"), "rb").read()[88:852]
        except OSError:
            return False
        return len(a) == 764 and a == b
    check(wait_for(same_set, 20), "slave's parameter file holds the master's modulation set")

    def slave_routes():
        with open(os.path.join(slave, "board.state"), "rb") as f:
            f.seek(MUX_COMMITTED)
            mux = struct.unpack("<2048Q", f.read(2048 * 8))
        return [e for e in mux if e and ((e >> 23) & 0x1FFFFFFF) >> 23 == 5]
    check(wait_for(lambda: len(slave_routes()) > 0, 20), "slave's committed mux table routes slot 5's PIDs")

    def si_ok(ch, since=0):
        # The packets written from byte `since` on (a restarted slave appends).
        cap = os.path.join(slave, "trace/si_ch%d.ts" % ch)
        try:
            with open(cap, "rb") as f:
                f.seek(since)
                data = f.read()
        except OSError:
            return False
        if not data:
            return False
        part = os.path.join(top, "part.ts")
        with open(part, "wb") as f:
            f.write(data)
        dec = subprocess.run([os.path.join(build, "tests/psidecode"), "--ts", part], capture_output=True,
                             text=True).stdout
        return "crc=bad" not in dec and "SECTION" in dec and ("Peer %d-0" % ch) in dec
    for ch in range(4, 8):
        check(wait_for(lambda: si_ok(ch), 20), "slave's si_ch%d.ts decodes with the fed programs" % ch)

    # The slave's modcard crashes alone: procguard starts it again and the
    # master pushes its state again, so channels 4-7 carry their tables again.
    # After the master's start-up, whose detection pushes its state anyway.
    check(wait_for(lambda: "This version is a universal version" in log_of(master), 30), "master's start-up done")
    old_slave = peers.children(procs[0].pid)
    check(len(old_slave) == 1, "slave's modcard runs under procguard")
    if old_slave:
        os.kill(old_slave[0], signal.SIGKILL)
        check(wait_for(lambda: peers.children(procs[0].pid) not in ([], old_slave), 10), "procguard restarts the slave")
        restarted = time.time()
        marks = [os.path.getsize(os.path.join(slave, "trace/si_ch%d.ts" % ch)) for ch in range(4, 8)]
        for ch in range(4, 8):
            ok = wait_for(lambda: si_ok(ch, marks[ch - 4]), restarted + 10 - time.time())
            check(ok, "restarted slave's si_ch%d.ts carries the fed programs again within 10 s (%.1f s)"
                  % (ch, time.time() - restarted))

    # Firmware upgrades of the whole card, sent as the back board sends them.
    bb = peers._chassis_back_board[0]
    ftp_image = os.path.join(master, "backboard_ftp", "upgradefile")
    DIFFER = "run different software versions"

    def stages_since(mark):
        """Stages of the progress records (3847) the card in slot 3 sent since `mark`."""
        with bb.lock:
            frames = bb.frames[mark:]
        return [f[4][14] for f in frames if f[1] == peers.SEND_PROCESS_UPGRADE and f[0] == 3 and len(f[4]) >= 40]

    def ftp_upgrade(version, probe_wait, during=None):
        """3843 for an image in the FTP folder, then a probe frame (258) from the
        input card's slot while the upgrade runs; `during()` acts meanwhile.
        Returns the stages the back board got (up to a final one) and how long
        the probe waited for its answer (None: none within probe_wait)."""
        make_image(ftp_image, version)
        mark, log_mark = len(bb.frames), len(log_of(master))
        r = peers.exchange("192.168.1.14", peers.build_frame(16, 3843, 0, 1,
                                                             struct.pack(">I", os.path.getsize(ftp_image))))
        check(r is not None and r[1] == peers.SUCCESS, "%s: 3843 answered 1" % version)
        answer = []

        def probe():
            t0 = time.time()
            try:
                got = peers.exchange("192.168.1.14", peers.build_frame(5, 258, 0, 1, b"\0"), wait=probe_wait)
            except OSError:
                got = None
            answer.append(time.time() - t0 if got is not None and got[1] == peers.SUCCESS else None)
        t = threading.Thread(target=probe)
        t.start()
        if during is not None:
            during()
        t.join(probe_wait + 5)
        wait_for(lambda: {2, 10} & set(stages_since(mark)), 60)
        return stages_since(mark), (answer[0] if answer else None), log_mark

    def same_or_told(what, log_mark):
        m, sl = installed(master), installed(slave)
        told = DIFFER in log_of(master)[log_mark:]
        check(m == sl or told, "%s: the chips hold the same version (master %s, slave %s) or the master logged "
              "that they differ" % (what, m, sl))

    # A healthy upgrade: both chips install, then the back board gets 10.
    stages, waited, _ = ftp_upgrade("V1.6.1", 40)
    check(stages[-1:] == [10] and 2 not in stages, "V1.6.1: the back board got the stages up to 10: %s" % stages)
    check(installed(master) == installed(slave) == "V1.6.1", "V1.6.1: both chips record V1.6.1 (master %s, "
          "slave %s)" % (installed(master), installed(slave)))
    check(waited is not None, "V1.6.1: the probe was answered (%s s)" % (waited and round(waited, 1)))

    # The slave is stopped when the upgrade starts: its transfer ends within
    # the link's reply wait (10 s), the upgrade fails, the frame server answers.
    pid = peers.children(procs[0].pid)
    check(len(pid) == 1, "slave's modcard runs under procguard")
    os.kill(pid[0], signal.SIGSTOP)
    try:
        stages, waited, mark = ftp_upgrade("V1.6.2", 20)
    finally:
        os.kill(pid[0], signal.SIGCONT)
    check(10 not in stages and 2 in stages, "V1.6.2, slave stopped: the back board got the failure, not 10: %s"
          % stages)
    check(waited is not None, "V1.6.2, slave stopped: the probe was answered within 20 s (%s s)"
          % (waited and round(waited, 1)))
    same_or_told("V1.6.2, slave stopped", mark)

    # The slave is killed a moment after it started the image's script: the
    # master's installation ends in the failure stage and says so.
    def kill_slave_while_it_installs():
        shell = os.path.join(slave, "trace/shell.log")
        at = os.path.getsize(shell)

        def started():
            with open(shell, errors="replace") as f:
                f.seek(at)
                return "/var/volatile/upgrade/run.sh" in f.read()
        ok = wait_for(started, 30)
        check(ok, "V1.6.3: the slave started the image's run.sh")
        time.sleep(0.5)
        for p in peers.children(procs[0].pid):
            os.kill(p, signal.SIGKILL)
    stages, waited, mark = ftp_upgrade("V1.6.3", 40, kill_slave_while_it_installs)
    check(10 not in stages and 2 in stages, "V1.6.3, slave killed: the back board got the failure, not 10: %s"
          % stages)
    check(waited is not None, "V1.6.3, slave killed: the probe was answered within 40 s (%s s)"
          % (waited and round(waited, 1)))
    same_or_told("V1.6.3, slave killed", mark)

    # Frames of an image transfer whose start the master never saw: each
    # answered 1, the drop logged once.
    log_mark = len(log_of(master))
    codes = [peers.exchange("192.168.1.14", peers.build_frame(16, 3841, i, 9, bytes(1400))) for i in (5, 6, 7)]
    check([c and c[1] for c in codes] == [1, 1, 1], "3841 frames 5-7 of 9 without frame 0 answered 1: %s"
          % [c and c[1] for c in codes])
    check(log_of(master)[log_mark:].count("without the frames before it") == 1,
          "the dropped transfer is logged once")

    # Reboot: the back board's request reaches the master, which tells the slave.
    m0, s0 = reboots(master), reboots(slave)
    before_reboot = len(log_of(master))
    check(reboot_request("192.168.1.14") == 1, "3842 answered 1")
    check(wait_for(lambda: reboots(master) > m0, 15), "master reboots")
    tm = time.time()
    check(wait_for(lambda: reboots(slave) > s0, 5), "slave reboots")
    ts = time.time()
    check(1.0 <= ts - tm <= 3.5, "slave reboots about 2 s after it acknowledged (%.1f s)" % (ts - tm))
    check(wait_for(lambda: log_of(master).count("Slave chip is working now!!!") >= 2, 60),
          "under procguard both chips come back and find each other")
    # The killed slave kept its version: the master's start-up says so as an error.
    wait_for(lambda: installed(master) == installed(slave) or DIFFER in log_of(master)[before_reboot:], 5)
    told = [ln for ln in log_of(master)[before_reboot:].splitlines() if DIFFER in ln]
    check(installed(master) == installed(slave) or (told and all("user.err" in ln for ln in told)),
          "after the restart the master logs at error level that the chips' versions differ: %s" % told)
    # The master came back first: its start-up pushes found no slave and
    # were sent again once the detection found it.
    check(wait_for(lambda: log_of(slave).count("Slave get system time finish") >= 2, 10),
          "slave got the master's start-up state again after both restarted")

    # Card in slot 4 with a mute slave.
    mute = MuteSlave("127.188.4.111")
    m4 = os.path.join(top, "master4")
    board(m4, 0, 4)
    procs.append(start(top, m4, False))
    check(wait_for(lambda: "Slave chip is not" in log_of(m4) or "Slave chip is working" in log_of(m4), 40),
          "slot 4: detection ran")
    check(reboot_request("192.168.1.15") == 1, "slot 4: 3842 answered 1")
    check(wait_for(lambda: "Fail to tell slave chip reboot" in log_of(m4), 15), "slot 4: the slave was not told")
    time.sleep(3.5)
    check(procs[-1].poll() is None and reboots(m4) == 0, "slot 4: the master did not reboot")
    n833 = mute.cmds.count(833)
    check(reboot_request("192.168.1.15") == 1, "slot 4: a second 3842 answered 1")
    check(wait_for(lambda: mute.cmds.count(833) > n833, 15), "slot 4: the second request tries the slave again")

    # A four-channel card in slot 13.
    m13 = os.path.join(top, "master13")
    board(m13, 0, 13, "--slave-chip", "0")
    p13 = start(top, m13, False)
    procs.append(p13)
    check(wait_for(lambda: frame_server_up("127.168.1.24"), 30), "slot 13: frame server up")
    check(reboot_request("192.168.1.24") == 1, "slot 13: 3842 answered 1")
    check(wait_for(lambda: p13.poll() is not None, 15) and p13.returncode == 77, "slot 13: reboots alone (77)")
finally:
    for p in procs:
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except OSError:
            pass
        p.wait()
    if mute is not None:
        mute.stop()
    if failed == 0:
        shutil.rmtree(top, ignore_errors=True)
    else:
        print("board kept in " + top)

print("FAILED" if failed else "PASSED")
sys.exit(1 if failed else 0)
