"""The whole chassis from scripts/start-card.sh: the back-board and input-card
peers, master and slave under procguard. Both chips reach their idle loops
within a bounded time and the master's captures decode cleanly. The board
tool sets a channel's counter of the running master: only that counter
changes in board.state, and the chip goes on and measures the new rate. It
bounds the running master's captures too: each is cut back at the bound
between two packets, one older generation kept, and a reader goes on across
the cut.

Usage: python3 chassis.py BUILD_DIR
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import capture  # noqa: E402
import webcard  # noqa: E402

build = os.path.abspath(sys.argv[1])
script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "start-card.sh")
MASTER_DONE = "This version is a universal version"
SLAVE_DONE = "/etc/init.d/inetd.busybox start"
LIMIT = 45.0
failed = 0


def check(ok, what):
    global failed
    print(("ok   " if ok else "FAIL ") + what)
    failed += 0 if ok else 1


def text(path, mode="r"):
    try:
        with open(path, mode, **({} if "b" in mode else {"errors": "replace"})) as f:
            return f.read()
    except OSError:
        return b"" if "b" in mode else ""


def decodes(cap):
    if not os.path.exists(cap) or os.path.getsize(cap) == 0:
        return False
    out = subprocess.run([os.path.join(build, "tests/psidecode"), "--ts", cap], capture_output=True,
                         text=True).stdout
    return "SECTION" in out and "crc=bad" not in out


with tempfile.TemporaryDirectory() as top:
    board = os.path.join(top, "board")
    master, slave = os.path.join(board, "master"), os.path.join(board, "slave")
    env = dict(os.environ, MODCARD_BUILD=build, MODCARD_BOARD=board)
    out = open(os.path.join(top, "start.out"), "w")
    proc = subprocess.Popen(["bash", script, "--slot", "0"], cwd=top, env=env, stdout=out, stderr=subprocess.STDOUT,
                            start_new_session=True)
    start = time.monotonic()
    m_at = s_at = None
    while time.monotonic() - start < LIMIT and proc.poll() is None:
        if m_at is None and MASTER_DONE in text(os.path.join(master, "tarvex_data/log/K9_Modulate.log")):
            m_at = time.monotonic() - start
        if s_at is None and SLAVE_DONE in text(os.path.join(slave, "trace/shell.log")):
            s_at = time.monotonic() - start
        if m_at is not None and s_at is not None and decodes(os.path.join(master, "trace/si_ch0.ts")):
            break
        time.sleep(0.3)
    check(m_at is not None, "master reaches its idle loop (%s s)" % (m_at and round(m_at, 1)))
    check(s_at is not None, "slave reaches its idle loop (%s s)" % (s_at and round(s_at, 1)))
    check(decodes(os.path.join(master, "trace/si_ch0.ts")), "trace/si_ch0.ts decodes cleanly")
    ch4 = os.path.join(slave, "trace/si_ch4.ts")
    if os.path.exists(ch4):
        check(decodes(ch4), "trace/si_ch4.ts decodes cleanly")
    else:
        print("note trace/si_ch4.ts not written (the slave's SI comes over the chip link)")
    shell = text(os.path.join(master, "trace/shell.log"))
    check("date -s" in shell and "ifconfig eth0 192.168.1.11 " in shell,
          "master took time and address from the back board's serial answers")
    check("command 257" in text(os.path.join(board, "back-board.log")), "resource report reached the back board")
    check("plug map (slots 5 and 0) answered [1]" in text(os.path.join(board, "back-board.log")),
          "the back board's plug map (input card and card plugged) answered 1")

    # Channel 1's counter set on the running master's root.
    state = os.path.join(master, "board.state")

    def snapshot():
        with open(state, "rb") as f:
            return f.read()

    def rates():
        try:
            got = webcard.call("127.168.1.11", 8080, "GetOutputTSStatus.w", {})
            return {c["channel"]: c["effectivebitrate"] for c in got["data"]["portlist"][0]["channellist"]}
        except (OSError, ValueError, KeyError, IndexError):
            return {}
    def master_chip():
        """The master's modcard below its procguard (which runs in the master's root)."""
        kids = lambda p: text("/proc/%s/task/%s/children" % (p, p)).split()
        try:
            return [k for c in kids(proc.pid) for k in kids(c) if os.readlink("/proc/%s/cwd" % k) == master]
        except OSError:
            return []
    chip = master_chip()
    before = snapshot()
    r = subprocess.run([os.path.join(build, "modcard-board"), master, "--channel-packets", "1:1234"],
                       capture_output=True)
    after = snapshot()
    field = 56 + 4  # the profile's counter of channel 1
    profile = [i for i in range(4096) if before[i] != after[i]]
    models = 0x104000  # RF chips, PHY, routing tables, SPI controller: set at start-up, idle since
    regs = [0, 5, 16, 17]  # the profile's registers: logic version, board type, slot, chip type
    check(r.returncode == 0 and profile and set(profile) <= set(range(field, field + 4)) and
          before[models:] == after[models:] and any(after[models:]) and
          all(before[0x1000 + 16 * n:0x1004 + 16 * n] == after[0x1000 + 16 * n:0x1004 + 16 * n] for n in regs),
          "modcard-board --channel-packets 1:1234 on the running root changes that counter alone (profile bytes "
          "%s changed, models kept %s)" % (profile, before[models:] == after[models:]))
    check(webcard.wait_for(lambda: rates().get(1) == 1234 * 1504 // 1000, 10) and rates().get(0) == 1504,
          "the master measures channel 1's new rate, channel 0's as it was: %s" % rates())
    check(len(chip) == 1 and master_chip() == chip, "the master chip goes on (the same process %s)" % chip)

    # A bound small enough to be passed within seconds (channel 1 grows a few
    # KiB a second): the first cut moves what was there, the next ones are
    # the bound's own.
    BOUND = 16384
    cap = capture.channel(master, 1)
    r = subprocess.run([os.path.join(build, "modcard-board"), master, "--trace-limit", str(BOUND)],
                       capture_output=True)
    def size(path):
        try:
            return os.path.getsize(path)
        except OSError:
            return -1
    def inode(path):
        try:
            return os.stat(path).st_ino
        except OSError:
            return None
    cut = webcard.wait_for(lambda: 0 < size(cap + ".0") <= BOUND + 188, 20)
    generations = set()
    sizes = []
    end = time.monotonic() + 20
    while time.monotonic() < end and cut and len(generations) < 3:
        sizes.append((size(cap), size(cap + ".0")))
        generations.add(inode(cap + ".0"))
        time.sleep(0.05)
    off = [(now, old) for now, old in sizes if not (now <= BOUND + 188 and BOUND < old <= BOUND + 188)]
    check(r.returncode == 0 and cut and len(generations) >= 3 and not off,
          "with --trace-limit %d on the running master si_ch1.ts is cut back at the bound again and again, "
          "the older part in si_ch1.ts.0 (%d generations seen, sizes off the bound %s)" %
          (BOUND, len(generations), off[:5]))
    # Read together, between two cuts, once the new file holds a few sections.
    webcard.wait_for(lambda: 10 * 188 <= size(cap) < BOUND // 2, 10, step=0.05)
    datas = [text(f, "rb") for f in (cap, cap + ".0")]
    whole = [len(d) % 188 == 0 and all(d[i] == 0x47 for i in range(0, len(d), 188)) and
             len(capture.sections(f)) > 0 for d, f in zip(datas, (cap, cap + ".0"))]
    check(whole == [True, True] and not os.path.exists(cap + ".1") and decodes(cap + ".0"),
          "both generations hold whole packets and decode, no third is kept (%s, sizes %s)" %
          (whole, [len(d) for d in datas]))
    # A mark taken early in a generation: once it is cut, the reader goes on
    # from the mark in the older generation.
    webcard.wait_for(lambda: 0 < size(cap) < BOUND // 2, 10, step=0.05)
    mark, older = size(cap), inode(cap)
    webcard.wait_for(lambda: inode(cap + ".0") == older, 10, step=0.05)
    across, now = capture.sections(cap, mark), capture.sections(cap)
    check(0 < mark < BOUND // 2 and inode(cap + ".0") == older and len(across) > len(now),
          "a reader's mark from before a cut reads on in the older generation (%d sections against %d)" %
          (len(across), len(now)))

    printed = text(os.path.join(top, "start.out"))
    check("captures" in printed and "web" in printed and "SNMP" in printed, "the script says where to look")

    os.killpg(proc.pid, signal.SIGTERM)
    try:
        proc.wait(timeout=20)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
    time.sleep(1)
    left = subprocess.run(["ps", "-eo", "args"], capture_output=True, text=True).stdout
    check(board not in left, "stopping the script stops everything it started")
    out.close()

print("%d failed" % failed)
sys.exit(1 if failed else 0)
