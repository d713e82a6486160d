"""Writers at the same moment under ThreadSanitizer: a DVB-C master and its
slave chip, built with the thread checker, run for several LED passes while
the web edits and applies streams and modulation settings, SNMP SETs change
the PSI interval and the slave's modulation, an input card feeds its streams
and the web deletes one of them again, the back board sends plug maps, and
the slave chip is killed once and started again. Any report of the checker
on either chip fails the test, and so does a send to the slave chip that
the master makes while it holds the card-state lock.

Usage: python3 tsan_writers.py BUILD_DIR

Runs in a build made with -DMODCARD_TSAN=ON only (elsewhere it passes at
once: nothing would catch a race). The card is slot 13 (127.168.1.24, HTTP
port 18024); the input card is slot 5 on 127.168.1.30.
"""
import glob
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402
import webcard  # noqa: E402
from webcard import wait_for  # noqa: E402

SLOT = 13
CARD = "192.168.1.24"
ADDR = "127.168.1.24"
PORT = 18024
INPUT_SLOT, INPUT_ADDR = 5, "127.168.1.30"
PSI_OID = "1.3.6.1.4.1.32473.8.2.1.0"
QAM_OID = "1.3.6.1.4.1.32473.8.2.2.1.13.5"
# Long enough for five LED passes (one every 5 s) under the checker.
MIX_SECONDS = 30
build = os.path.abspath(sys.argv[1])
check = webcard.Checks()


def tsan_build():
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            return "MODCARD_TSAN:BOOL=ON" in f.read()
    except OSError:
        return False


def call(key, **members):
    return webcard.call(ADDR, PORT, key, members, timeout=60)



def reports(top):
    """The checker's reports of both chips (one file per process)."""
    out = []
    for path in sorted(glob.glob(os.path.join(top, "tsan.*"))):
        with open(path, errors="replace") as f:
            text = f.read()
        if "ThreadSanitizer" in text:
            out.append((path, text))
    return out


def snmpset(oid, value):
    """One SET of an INTEGER on the master's agent; its status text ('' for noError)."""
    r = subprocess.run(["snmpset", "-v2c", "-c", "private", "-r", "0", "-t", "30", "-On", "%s:16161" % ADDR,
                        oid, "i", str(value)], capture_output=True, text=True, env=dict(os.environ, MIBS=""))
    return "" if r.returncode == 0 else (r.stderr.strip().splitlines() or ["failed"])[-1]


def launch(root, top, name):
    env = dict(os.environ, MODCARD_ROOT=root,
               TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1 log_path=%s" % os.path.join(top, "tsan." + name))
    console = open(root + ".console", "w")
    return subprocess.Popen([os.path.join(build, "modcard")], env=env, stdout=console, stderr=subprocess.STDOUT)


def writer(stop, errors, step):
    """Runs step until told to stop; a failed call is noted, not fatal."""
    while not stop.is_set():
        try:
            step()
        except (OSError, ValueError, KeyError) as e:
            errors.append("%s: %s" % (step.__name__, e))
            time.sleep(0.2)


def main():
    if not tsan_build():
        print("skip: not a ThreadSanitizer build")
        sys.exit(0)
    top = tempfile.mkdtemp(prefix="modcard-tsan-")
    root, slave_root = os.path.join(top, "master"), os.path.join(top, "slave")
    proc = slave = ic = line = None
    stop = threading.Event()
    threads = []
    try:
        webcard.make_board(build, root, SLOT, PORT)
        subprocess.run([os.path.join(build, "modcard-board"), slave_root, "--chip", "1", "--board-type", "2",
                        "--slot", str(SLOT)], check=True, stdout=subprocess.DEVNULL)
        line = peers.chassis_for(root, SLOT)
        ic = peers.input_card(INPUT_ADDR, INPUT_SLOT)
        slave = launch(slave_root, top, "slave")
        proc = launch(root, top, "master")

        def up():
            try:
                socket.create_connection((ADDR, 8000), timeout=1.0).close()
                return call("Beat.w")["code"] == 0
            except OSError:
                return False
        check(wait_for(up, 120), "frame server and HTTP server answer")
        check(peers.announce(CARD, INPUT_SLOT, "192.168.1.30") == [1], "input card's resource record: 1")
        codes = peers.feed(CARD, INPUT_SLOT, SLOT)
        check(all(set(c) == {peers.SUCCESS} for c in codes.values()), "records and apply answered 1")

        errors = []
        turn = [0]

        def edit_and_apply():
            call("GetSubboardTSInfo.w")
            turn[0] += 1
            call("SetProgramParam.w", port=0, channel=0, oldserviceid=100, servicename="Edit %d" % turn[0])
            call("ApplyAllParam.w")

        def modulation():
            freq = 474000 + 8000 * (turn[0] % 4)
            call("SetSubboardParam.w", psiinterval=100 + turn[0] % 50,
                 portlist=[{"port": 0, "channellist": [{"channel": 0, "frequency": freq}]}])
            time.sleep(0.3)

        def feed_and_delete():
            peers.feed(CARD, INPUT_SLOT, SLOT)
            call("GetOutputTSStatus.w")
            call("DeleteTSConfig.w", channel=1)

        def snmp_sets():
            # The PSI interval, then the slave's constellation (settingTable
            # column 13 of row 5): both reach the slave chip.
            turn[0] += 1
            snmpset(PSI_OID, 100 + turn[0] % 50)
            snmpset(QAM_OID, 1 + turn[0] % 3)

        def plug_maps():
            # Slots 5 and 13 always plugged (so nothing is cleared), slot 7 now and then.
            plugged = 1 << INPUT_SLOT | 1 << SLOT | (1 << 7 if turn[0] % 2 else 0)
            peers.send_message(CARD, 16, peers.SEND_SUBPLUGFLAG, struct.pack("<H", plugged))
            time.sleep(0.2)

        told = [0]

        def input_card_applies():
            # The input card's side of a deletion: told (2068), it applies (271).
            n = ic.commands().count(peers.SEND_DEL_DESTCHANNEL)
            if n > told[0]:
                told[0] = n
                peers.send_message(CARD, INPUT_SLOT, peers.SEND_TSP_MUX_PROCESS)
            time.sleep(0.05)

        for step in (edit_and_apply, modulation, feed_and_delete, input_card_applies, snmp_sets, plug_maps):
            t = threading.Thread(target=writer, args=(stop, errors, step), daemon=True)
            t.start()
            threads.append(t)
        time.sleep(MIX_SECONDS / 2)
        # The slave chip dies and starts again while the writers go on.
        os.kill(slave.pid, signal.SIGKILL)
        slave.wait()
        slave = launch(slave_root, top, "slave")
        time.sleep(MIX_SECONDS / 2)
        stop.set()
        for t in threads:
            t.join(90)
        check(not any(t.is_alive() for t in threads), "every writer came to an end")
        print("%d calls failed%s" % (len(errors), (": " + "; ".join(errors[:3])) if errors else ""))
        check(proc.poll() is None and slave.poll() is None, "both chips still run")
        time.sleep(1)
        found = reports(top)
        for path, text in found:
            print("== %s\n%s" % (path, text[:6000]))
        check(not found, "no ThreadSanitizer report from either chip (%d files)" % len(found))
        with open(os.path.join(root, "tarvex_data/log/K9_Modulate.log"), errors="replace") as f:
            locked = [ln for ln in f if "while holding the card-state lock" in ln]
        check(not locked, "no send to or wait on the slave chip under the card-state lock: %s" % locked[:3])
    finally:
        stop.set()
        for p in (slave,):
            if p is not None:
                webcard.stop(p)
        webcard.tear_down(top, check.failed, proc, ic, line)
    print("FAILED" if check.failed else "PASSED")
    sys.exit(1 if check.failed else 0)


main()
