"""The start script as a user runs it: --help and bad options change nothing
on disk, and a second start keeps the board root, so the card loads the
parameter file its first start saved. Stops asked for again while the script
cleans up still leave nothing of the chassis running.

Usage: python3 start_card.py BUILD_DIR
"""
import os
import re
import signal
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


def start(cwd, env, log, args, fresh=False):
    """Runs the card until the master reaches its idle loop, then stops it;
    (reached, what the wait saw). The chip's start paces itself (about 25 s
    of waits for peers, each a few seconds), so the wait is bounded by its
    progress: it fails when the log stops growing, not at a total that a busy
    machine's start-up could pass."""
    before = log_state(log)[0]
    # A fresh start first removes the old log: wait for that before counting.
    dropped = not fresh
    proc = subprocess.Popen(["bash", script] + args, cwd=cwd, env=env, stdout=subprocess.DEVNULL,
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
    check_start("first start reaches the idle loop", top, env, log, args)
    check(os.path.exists(conf), "first start saved the parameter file")
    keep = os.path.join(root, "tarvex_data", "mine.txt")
    with open(keep, "w") as f:
        f.write("kept\n")
    check_start("second start reaches the idle loop", top, env, log, args)
    with open(log, errors="replace") as f:
        text = f.read()
    # The parameter file's factory line (the output-stream file has one of its own).
    check(len(re.findall(r"ParamsFactory:\d+ Parameters factory!", text)) == 1,
          "second start loads the saved file instead of factory values")
    check(os.path.exists(keep), "second start keeps what lies under the board root")
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
    check_start("a slowly ending chip starts", top, dict(env, MODCARD_BUILD=slow), log, args)
    check(os.path.exists(late), "the script ends after its chips, not before")

    # TERMs and an INT in quick succession, the later ones while the script
    # cleans up: peers, procguards and chips all end.
    def cmdline(pid):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                return f.read()
        except OSError:
            return None
    proc = subprocess.Popen(["bash", script, "--slot", "0"], cwd=top, env=env, stdout=subprocess.DEVNULL,
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

print("%d failed" % failed)
sys.exit(1 if failed else 0)
