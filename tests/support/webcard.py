"""A master card for the HTTP system tests: its board, the modcard process,
JSON commands to its web server, the ok/FAIL tally and the clean-up.
"""
import json
import os
import shutil
import signal
import struct
import subprocess
import time
import urllib.request

import peers

# Waits for the card scale with what sanitizers or emulation cost it.
SLOW = peers.SLOW


class Checks:
    """Prints each check as "ok" or "FAIL" and counts the failures."""

    def __init__(self):
        self.failed = 0

    def __call__(self, ok, what):
        print(("ok   " if ok else "FAIL ") + what, flush=True)
        self.failed += 0 if ok else 1


def call(addr, port, key, members, timeout=30):
    """POSTs one JSON command (members given a token) and returns the parsed
    reply; raises OSError or ValueError."""
    members.setdefault("token", "t")
    return call_raw(addr, port, key, json.dumps(members).encode(), timeout)


def call_raw(addr, port, key, body, timeout=30):
    """POSTs body bytes as they are (for bytes JSON cannot carry) and returns
    the parsed reply; a reply that is not strict UTF-8 raises ValueError."""
    req = urllib.request.Request("http://%s:%d/%s" % (addr, port, key), data=body, method="POST")
    with urllib.request.urlopen(req, timeout=timeout) as r:
        return json.loads(r.read().decode())


def import_nit(addr, port, channel, sections, folder):
    """ImportSiTable.w of a NIT file into port 0's channel as a page uploads
    it (the card's file header, then the sections); the parsed reply."""
    import capture
    data = b"".join(sections)
    path = os.path.join(folder, "import.table")
    with open(path, "wb") as f:
        f.write(struct.pack("<7I", 0x2009, 0xEEFD, 0, len(data), capture.CRC32(data), 0, 0) + data)
    out = subprocess.run(["curl", "-s", "-m", "60", "-H", "Expect:", "-F",
                          "file=@%s;type=application/octet-stream" % path,
                          "http://%s:%d/ImportSiTable.w?port=0&channel=%d&tableid=64" % (addr, port, channel)],
                         capture_output=True, text=True, timeout=90).stdout
    try:
        return json.loads(out)
    except ValueError:
        return {"raw": out}


def make_board(build, root, slot, port, *extra):
    """A DVB-C master's board root on a slot with its HTTP port."""
    subprocess.run([os.path.join(build, "modcard-board"), root, "--board-type", "2", "--slot", str(slot),
                    "--http-port", str(port)] + list(extra), check=True, stdout=subprocess.DEVNULL)


def launch(build, root, console_path):
    """Starts modcard on the board, its output in console_path."""
    console = open(console_path, "w")
    return subprocess.Popen([os.path.join(build, "modcard")], env=dict(os.environ, MODCARD_ROOT=root),
                            stdout=console, stderr=subprocess.STDOUT)


def wait_for(cond, seconds, step=0.2):
    """Polls cond() until it holds or the time is up; its last value."""
    deadline = time.monotonic() + seconds * SLOW
    while time.monotonic() < deadline:
        if cond():
            return True
        time.sleep(step)
    return cond()


def wait_up(proc, ready, seconds=30):
    """Polls ready() until it holds (a refused connection counts as not yet),
    the card ends, or the time is up."""
    deadline = time.monotonic() + seconds * SLOW
    while time.monotonic() < deadline and proc.poll() is None:
        try:
            if ready():
                return True
        except OSError:
            pass
        time.sleep(0.3)
    return False


def stop(proc):
    """SIGTERM, then SIGKILL when the card has not ended within 10 s (longer
    for a slow build)."""
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(10 * SLOW)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def tear_down(top, failed, proc, *running):
    """Stops the card and the peers; the board stays for a failed run."""
    if proc is not None:
        stop(proc)
    for p in running:
        if p is not None:
            p.stop()
    if failed == 0:
        shutil.rmtree(top, ignore_errors=True)
    else:
        print("board kept in " + top)
