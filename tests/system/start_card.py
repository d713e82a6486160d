"""The start script as a user runs it: --help and bad options change nothing
on disk, and a second start keeps the board root, so the card loads the
parameter file its first start saved. A start with the plain command brings
the card back as it was (board type, slot, slave chip, MAC, ports and what
the board tool set by hand); an option changes only what it names. Every bad
or out-of-range option of the script and of the board tool is refused before
any file changes. Stops asked for again while the script cleans up still
leave nothing of the chassis running, and a stop in the script's first
moments or during its build ends it at once.

Usage: python3 start_card.py BUILD_DIR
"""
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

build = os.path.abspath(sys.argv[1])
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402

script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "start-card.sh")
MASTER_DONE = "This version is a universal version"
failed = 0


def check(ok, what):
    global failed
    print(("ok   " if ok else "FAIL ") + what)
    failed += 0 if ok else 1


def run_script(cwd, args, env=None):
    return subprocess.run(["bash", script] + args, cwd=cwd, env=env, capture_output=True, text=True, timeout=60)


def log_state(log):
    """(count of MASTER_DONE, size) of the master's log; (0, -1) without one."""
    try:
        with open(log, errors="replace") as f:
            text = f.read()
        return text.count(MASTER_DONE), len(text)
    except OSError:
        return 0, -1


def tree(top):
    """{path: (size, mtime, inode)} of everything below top."""
    out = {}
    for d, dirs, files in os.walk(top):
        for n in dirs + files:
            st = os.lstat(os.path.join(d, n))
            out[os.path.join(d, n)] = (st.st_size, st.st_mtime_ns, st.st_ino)
    return out


def refused(cmd, cwd, env):
    """Exit status of a command that should refuse at once (None: it ran on,
    and was stopped after 10 s)."""
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    try:
        return proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGTERM)
        proc.wait(timeout=30)
        return None


def profile(root):
    """(board type, slot) from the FPGA registers, the card file's lines, the
    HTTP port and the trace bound of a board root."""
    with open(os.path.join(root, "board.state"), "rb") as f:
        state = f.read(0x2000)
    reg = lambda n: struct.unpack_from("<I", state, 0x1000 + 16 * n)[0]
    http = re.search(r"server\.port = (\d+)", text(os.path.join(root, "tarvex_app/tools/httpd/config/httpd.conf")))
    return {"board type": reg(5), "slot": reg(16), "card": text(os.path.join(root, "tarvex_app/app/card.conf")),
            "http port": http and int(http.group(1)), "trace limit": struct.unpack_from("<I", state, 480)[0]}


def text(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def start(cwd, env, log, args, fresh=False, out=subprocess.DEVNULL):
    """Runs the card until the master reaches its idle loop, then stops it;
    (reached, what the wait saw). The chip's start paces itself (about 25 s
    of waits for peers, each a few seconds), so the wait is bounded by its
    progress: it fails when the log stops growing, not at a total that a busy
    machine's start-up could pass."""
    before = log_state(log)[0]
    # A fresh start first removes the old log: wait for that before counting.
    dropped = not fresh
    proc = subprocess.Popen(["bash", script] + args, cwd=cwd, env=env, stdout=out,
                            stderr=subprocess.STDOUT, start_new_session=True)
    slow = peers.slowness(build)
    t0 = last = time.monotonic()
    size = None
    reached = False
    while time.monotonic() - last < 20 * slow and time.monotonic() - t0 < 150 * slow and proc.poll() is None:
        count, now_size = log_state(log)
        if now_size != size:
            size, last = now_size, time.monotonic()
        dropped = dropped or count < before
        if dropped and count > (0 if fresh else before):
            reached = True
            break
        time.sleep(0.2)
    seen = "after %.0f s, the log last grew %.0f s before" % (time.monotonic() - t0, time.monotonic() - last)
    try:
        os.killpg(proc.pid, signal.SIGTERM)
    except ProcessLookupError:  # the script ended by itself: reached is False
        pass
    proc.wait(timeout=20)
    return reached, seen


def check_start(what, *args, **kw):
    reached, seen = start(*args, **kw)
    check(reached, "%s (%s)" % (what, seen))


with tempfile.TemporaryDirectory() as top:
    r = run_script(top, ["--help"])
    check(r.returncode == 0 and "--factory" in r.stdout, "--help prints the options and exits 0")
    check(os.listdir(top) == [], "--help leaves the folder as it was")
    r = run_script(top, ["--slot", "x"])
    check(r.returncode == 2 and os.listdir(top) == [], "a bad option is refused before anything is done")

    env = dict(os.environ, MODCARD_BUILD=build, MODCARD_BOARD=os.path.join(top, "board"))
    root = os.path.join(top, "board", "master")
    log = os.path.join(root, "tarvex_data/log/K9_Modulate.log")
    conf = os.path.join(root, "tarvex_data/K9_DTMB.conf")
    args = ["--slave-chip", "0", "--slot", "0"]
    # A DVB-C card of its own MAC, without the slave chip.
    card = args + ["--board-type", "2", "--mac", "02:11:22:33:44:55"]
    check_start("first start reaches the idle loop", top, env, log, card)
    check(os.path.exists(conf), "first start saved the parameter file")
    keep = os.path.join(root, "tarvex_data", "mine.txt")
    with open(keep, "w") as f:
        f.write("kept\n")

    # Bad and out-of-range options, alone and with --factory, to the script
    # and to the board tool: refused, and not a file below the board changes.
    board = os.path.join(top, "board")
    tool = os.path.join(build, "modcard-board")
    malformed = [["--mac", "zz"], ["--hw-pins", "1,2"], ["--hw-pins", "1,0,1,1"], ["--logic", "4294967296"],
                 ["--packets", "-1"], ["--slot", "3x"]]
    out_of_range = [["--board-type", "9"], ["--board-type", "6"], ["--slot", "16"], ["--slot", "99"],
                    ["--phy", "bogus"], ["--slave-chip", "2"], ["--hw-pins", "1,2,0"]]
    pristine = os.path.join(top, "pristine")
    shutil.copytree(board, pristine, symlinks=True)
    new_root = os.path.join(top, "new-root")

    def changes(cmds):
        """Whether any command of cmds fails to refuse (status 2) or changes
        the board, each on the board as the first start left it."""
        shutil.rmtree(board)
        shutil.rmtree(new_root, ignore_errors=True)
        shutil.copytree(pristine, board, symlinks=True)
        before = tree(board)
        return any(refused(c, top, env) != 2 for c in cmds) or tree(board) != before or os.path.exists(new_root)
    for what, bad in (("malformed", malformed), ("out-of-range", out_of_range)):
        for factory in ([], ["--factory"]):
            wrong = [" ".join(b) for b in bad if changes([["bash", script] + factory + b])]
            check(wrong == [], "the script refuses %s options%s before any file changes: wrong %s" %
                  (what, " with --factory" if factory else "", wrong))
        own = [["--chip", "2"], ["--trace-limit", "100"], ["--pid-packets", "8:1:1"], ["--pid-packets", "1:8192:1"],
               ["--http-port", "65536"], ["--channel-packets", "8:5"]] if what == "out-of-range" else []
        wrong = [" ".join(b) for b in bad + own if changes([[tool, root] + b, [tool, new_root] + b])]
        check(wrong == [], "modcard-board refuses %s options on a board root and a new one, changing nothing: "
              "wrong %s" % (what, wrong))
    shutil.rmtree(board)
    shutil.copytree(pristine, board, symlinks=True)
    shutil.rmtree(pristine)

    # Set by hand, options the script does not pass: kept too.
    hand = [subprocess.run([tool, root] + o, capture_output=True).returncode
            for o in (["--http-port", "18080"], ["--trace-limit", "65536"])]
    check(hand == [0, 0], "modcard-board sets the web port and the trace bound of a board root (%s)" % hand)
    was = profile(root)
    printed = os.path.join(top, "second.out")
    with open(printed, "w") as out:
        check_start("second start, with the plain command, reaches the idle loop", top, env, log, [], out=out)
    with open(log, errors="replace") as f:
        text_ = f.read()
    # The parameter file's factory line (the output-stream file has one of its own).
    check(len(re.findall(r"ParamsFactory:\d+ Parameters factory!", text_)) == 1,
          "second start loads the saved file instead of factory values")
    check(os.path.exists(keep), "second start keeps what lies under the board root")
    now = profile(root)
    check(now == was and was["board type"] == 2 and was["slot"] == 0 and "mac=02:11:22:33:44:55" in was["card"] and
          "slave_chip=0" in was["card"] and was["http port"] == 18080 and was["trace limit"] == 65536,
          "the plain command brings the card back as it was: %s (was %s)" % (now, was))
    check(text_.count("BoardType: DVBC") == 2 and not os.path.exists(os.path.join(board, "slave")) and
          "http://127.168.1.11:18080/" in text(printed),
          "it runs as the DVB-C card in slot 0 without a slave chip, on the web port set by hand")
    check_start("a factory start reaches the idle loop", top, env, log, ["--factory"] + args, fresh=True)
    check(not os.path.exists(keep), "--factory starts from an empty board root")

    # A chip that takes a while to end on SIGTERM and writes into its board
    # root meanwhile: the script returns only once it is gone.
    slow = os.path.join(top, "slow-build")
    os.mkdir(slow)
    for name in ("procguard", "modcard-board"):
        os.symlink(os.path.join(build, name), os.path.join(slow, name))
    with open(os.path.join(slow, "modcard"), "w") as f:
        f.write('#!/bin/bash\ntrap \'sleep 2; echo late > "$MODCARD_ROOT/late"; exit 0\' TERM\n'
                'mkdir -p "$MODCARD_ROOT/tarvex_data/log"\n'
                'echo "%s" >> "$MODCARD_ROOT/tarvex_data/log/K9_Modulate.log"\n'
                'while :; do sleep 0.1; done\n' % MASTER_DONE)
    os.chmod(os.path.join(slow, "modcard"), 0o755)
    late = os.path.join(root, "late")
    # An option on a kept root changes what it names alone.
    check_start("a slowly ending chip starts", top, dict(env, MODCARD_BUILD=slow), log, ["--board-type", "4"])
    check(os.path.exists(late), "the script ends after its chips, not before")
    now = profile(root)
    check(now["board type"] == 4 and now["slot"] == 0 and "slave_chip=0" in now["card"] and
          not os.path.exists(os.path.join(board, "slave")),
          "--board-type 4 on a kept root changes the board type alone: %s" % now)

    # TERMs and an INT in quick succession, the later ones while the script
    # cleans up: peers, procguards and chips all end.
    def cmdline(pid):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                return f.read()
        except OSError:
            return None
    # (the kept root has no slave chip: the option fits one again)
    proc = subprocess.Popen(["bash", script, "--slot", "0", "--slave-chip", "1"], cwd=top, env=env,
                            stdout=subprocess.DEVNULL,
                            stderr=subprocess.STDOUT, start_new_session=True)
    def program(pid):
        args = (cmdline(pid) or b"").split(b"\0")
        if os.path.basename(args[0]).startswith(b"qemu-") and b"-0" in args:  # an emulated ARM build
            args = args[args.index(b"-0") + 1:]
        return os.path.basename(args[0]).decode(errors="replace")

    # Named, since the script's own short-lived helpers (sleep, grep, cat)
    # come and go among its children.
    wanted = {"python3": 2, "procguard": 2, "modcard": 2}  # two peers, two procguards, two chips
    running = {}
    end = time.monotonic() + 60 * peers.slowness(build)
    while time.monotonic() < end:
        chassis = peers.children(proc.pid) + [k for c in peers.children(proc.pid) for k in peers.children(c)]
        running = {p: cmdline(p) for p in chassis if program(p) in wanted}
        if all(sum(program(p) == name for p in running) == n for name, n in wanted.items()):
            break
        time.sleep(0.1)
    for sig in (signal.SIGTERM, signal.SIGTERM, signal.SIGINT, signal.SIGTERM):
        os.kill(proc.pid, sig)
        time.sleep(0.005)
    proc.wait(timeout=60)
    left = [running[p].split(b"\0")[0].decode() for p in running if running[p] and cmdline(p) == running[p]]
    check(len(running) == 6 and left == [], "after TERMs and an INT in quick succession nothing of the chassis "
          "runs: %d processes started, left %s" % (len(running), left))
    for p in running:
        if running[p] and cmdline(p) == running[p]:
            os.kill(p, signal.SIGKILL)

# A stop (INT to the script alone) during the build, or in its first
# moments (while it checks what is installed): the script ends at once, with
# the build, and makes nothing. Stand-ins: a check of the installed packages
# that takes 0.5 s, as the real one's takes about that, and a 30 s build.
with tempfile.TemporaryDirectory() as top:
    os.makedirs(os.path.join(top, "scripts"))
    shutil.copy(script, os.path.join(top, "scripts"))
    with open(os.path.join(top, "scripts", "deps.sh"), "w") as f:
        f.write("sleep 0.5\n")
    with open(os.path.join(top, "scripts", "build.sh"), "w") as f:
        f.write('sleep 30 &\necho $! > "%s/building"\nwait\ntouch "%s/built"\n' % (top, top))
    env = dict(os.environ, MODCARD_BOARD=os.path.join(top, "board"))
    env.pop("MODCARD_BUILD", None)
    stray = []
    for delay in (None, 0.0, 0.01, 0.02, 0.03, 0.04, 0.05):
        building = os.path.join(top, "building")
        if os.path.exists(building):
            os.remove(building)
        proc = subprocess.Popen(["bash", os.path.join(top, "scripts", "start-card.sh")], cwd=top, env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        if delay is None:  # during the build
            end = time.monotonic() + 10
            while not os.path.exists(building) and time.monotonic() < end:
                time.sleep(0.01)
            time.sleep(0.1)
        else:
            time.sleep(delay)
        t0 = time.monotonic()
        os.kill(proc.pid, signal.SIGINT)
        try:
            proc.wait(timeout=5)
            took = time.monotonic() - t0
        except subprocess.TimeoutExpired:
            took = None
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        sleeper = int(text(building) or 0)
        time.sleep(0.2)
        left = sleeper and os.path.exists("/proc/%d" % sleeper) and "zombie" not in text("/proc/%d/status" % sleeper)
        if left:
            stray.append(sleeper)
            os.kill(sleeper, signal.SIGKILL)
        what = "during the build" if delay is None else "%.0f ms after the start" % (delay * 1000)
        check(took is not None and took < 3 and not left and not os.path.exists(os.path.join(top, "built")) and
              not os.path.exists(os.path.join(top, "board")),
              "an INT %s ends the script (%s s) and its build, and nothing is made" %
              (what, took and round(took, 2)))

print("%d failed" % failed)
sys.exit(1 if failed else 0)
