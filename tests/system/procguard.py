"""procguard keeps a program running: restarts it with "reboot" when it ends,
never runs two copies, and backs off when the program cannot be started.

Usage: python3 procguard.py BUILD_DIR
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402

passed = failed = 0
# How many times slower than a plain build the programs under test run.
SLOW = 1


def check(ok, what):
    global passed, failed
    passed, failed = passed + bool(ok), failed + (not ok)
    print(("ok   " if ok else "FAIL ") + what)


def wait_for(cond, limit=None):
    end = time.monotonic() + (limit or 5.0 * SLOW)
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.05)
    return cond()


def once_a_second(count, what):
    """procguard tries again, and at most once a second: counted from the
    first try seen, so that its own start on a loaded machine does not count."""
    if not wait_for(lambda: count() >= 1, 10.0 * SLOW):
        return check(False, f"{what}: never tried")
    t0, n0 = time.monotonic(), count()
    again = wait_for(lambda: count() >= n0 + 2, 5.0 * SLOW)
    took, n = time.monotonic() - t0, count() - n0
    check(again and n <= took + 1.1, f"{what}: tried again, at most once a second ({n} more in {took:.1f} s)")


def main(build):
    guard = os.path.join(build, "procguard")
    global SLOW
    SLOW = peers.slowness(build)
    r = subprocess.run([guard, "x"], capture_output=True, text=True)
    check(r.returncode == 255 and r.stderr == "usage: ./procguard app_file app_name\n",
          "one argument: usage line and status 255")

    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "starts")
        app = os.path.join(tmp, "app.sh")
        with open(app, "w") as f:
            # Python, not sh: the shell clears its signal mask when it starts.
            f.write(f'#!/usr/bin/python3\nimport os, sys\n'
                    f'open("{log}", "a").write(" ".join(sys.argv[:2]) + "\\n")\n'
                    f'mask = [l for l in open("/proc/self/status") if l.startswith("SigBlk")]\n'
                    f'open("{log}.mask", "w").write(mask[0])\n'
                    f'os.execvp("sleep", ["sleep", "60"])\n')
        os.chmod(app, 0o755)
        p = subprocess.Popen([guard, app, "modcard"], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        try:
            starts = lambda: open(log).read().split("\n")[:-1] if os.path.exists(log) else []
            check(wait_for(lambda: len(starts()) == 1 and len(peers.children(p.pid)) == 1),
                  "first start")
            check(starts()[:1] == [f"{app} start"], "first start with the word start")
            # The program writes the file in two steps: read once it is whole.
            mask = lambda: open(log + ".mask").read().split() if os.path.exists(log + ".mask") else []
            check(wait_for(lambda: len(mask()) == 2) and mask() == ["SigBlk:", "0" * 16],
                  "program starts with no signal blocked")
            first = peers.children(p.pid)[0]
            # Stopped once it runs the program it execs, not halfway there.
            comm = lambda: open(f"/proc/{first}/comm").read().strip() if os.path.exists(f"/proc/{first}") else ""
            check(wait_for(lambda: comm() == "sleep"), "the program runs")
            os.kill(first, signal.SIGSTOP)
            time.sleep(0.3)
            os.kill(first, signal.SIGCONT)
            time.sleep(0.3)
            check(peers.children(p.pid) == [first] and len(starts()) == 1,
                  "stop and continue start no second copy")
            os.kill(first, signal.SIGKILL)
            check(wait_for(lambda: len(starts()) == 2 and len(peers.children(p.pid)) == 1
                           and peers.children(p.pid) != [first]), "killed child started again")
            check(starts()[1:] == [f"{app} reboot"], "restart with the word reboot")
            for c in peers.children(p.pid):
                os.kill(c, signal.SIGTERM)
            check(wait_for(lambda: len(starts()) == 3 and len(peers.children(p.pid)) == 1),
                  "ended child started again, one copy")
        finally:
            for c in peers.children(p.pid):
                os.kill(c, signal.SIGKILL)
            p.kill()
            p.wait()

        bad = os.path.join(tmp, "not-executable")
        open(bad, "w").close()
        err = os.path.join(tmp, "err")
        with open(err, "w") as e:
            p = subprocess.Popen([guard, bad, "modcard"], stdout=subprocess.DEVNULL, stderr=e)
        once_a_second(lambda: open(err).read().count("execl err"), "non-executable program")
        p.kill()
        p.wait()

        quick = os.path.join(tmp, "quick.sh")
        with open(quick, "w") as f:
            f.write(f'#!/bin/sh\necho x >> {log}.quick\nexit 1\n')
        os.chmod(quick, 0o755)
        p = subprocess.Popen([guard, quick, "modcard"], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        once_a_second(lambda: len(open(log + ".quick").read().split()) if os.path.exists(log + ".quick") else 0,
                      "program that ends at once")
        p.kill()
        p.wait()

    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
