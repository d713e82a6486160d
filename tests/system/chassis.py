"""The whole chassis from scripts/start-card.sh: the back-board and input-card
peers, master and slave under procguard. Both chips reach their idle loops
within a bounded time and the master's captures decode cleanly.

Usage: python3 chassis.py BUILD_DIR
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

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


def text(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


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
