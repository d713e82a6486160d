"""The SPI chip link between two chips' link code: the master's spidev wire
reaches the slave's SPI controller model (modcard-board --spi-peer), each end
started by build/spilink on its board root, as nothing on the card starts it.
A version request, a block transfer of a routing table and a log fetch.

Usage: python3 spi_link.py BUILD_DIR
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

build = os.path.abspath(sys.argv[1])
failed = 0
MUX_COMMITTED = 0x104000 + 0x26000 + (2048 + 256) * 8


def check(ok, what):
    global failed
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    failed += 0 if ok else 1


top = tempfile.mkdtemp(prefix="modcard-spi-")
slave = None
try:
    master_root, slave_root = os.path.join(top, "master"), os.path.join(top, "slave")
    subprocess.run([os.path.join(build, "modcard-board"), slave_root, "--chip", "1", "--logic", "0x01020304"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([os.path.join(build, "modcard-board"), master_root, "--chip", "0", "--logic", "0x21042023",
                    "--spi-peer", slave_root], check=True, stdout=subprocess.DEVNULL)
    log = b"".join(b"slave log line %04d\n" % i for i in range(120))
    with open(os.path.join(slave_root, "tmp/log.txt"), "wb") as f:
        f.write(log)
    # Served for longer than the master's three steps may take (120 s each): a
    # slave gone before them on a busy machine left the master waiting. Ended below.
    slave = subprocess.Popen([os.path.join(build, "spilink"), "slave", "400"],
                             env=dict(os.environ, MODCARD_ROOT=slave_root), stdout=subprocess.DEVNULL,
                             stderr=subprocess.STDOUT)

    def master(*args):
        return subprocess.run([os.path.join(build, "spilink"), "master"] + list(args), capture_output=True,
                              text=True, timeout=120, env=dict(os.environ, MODCARD_ROOT=master_root))

    # The slave's answers, as the master's comparison shows them: the logic
    # version read from the slave's own board (0x01020304 as the FPGA reports it).
    r = master("version")
    m = re.search(r"slave software (0x[0-9a-f]+) logic (0x[0-9a-f]+); master software (0x[0-9a-f]+)", r.stdout)
    check(r.returncode == 0 and m is not None, "version requests (1, 3) answered")
    if m:
        check(m.group(1) == m.group(3), "slave's software version as the master's (%s)" % m.group(1))
        check(m.group(2) == "0x4030102", "slave's logic version from its own board (%s)" % m.group(2))

    # 20 routing records and the all-zero terminator, 252 bytes: 3 blocks.
    dests = [(4 + i % 4) << 13 | (0x200 + i) for i in range(20)]
    table = b"".join(struct.pack("<III", d, 5 << 23 | (0x100 + i), 0) for i, d in enumerate(dests)) + bytes(12)
    with open(os.path.join(master_root, "tmp/mux.bin"), "wb") as f:
        f.write(table)
    r = master("send", "50", "/tmp/mux.bin")
    check(r.returncode == 0, "block transfer of the routing table (command 50) done")
    with open(os.path.join(slave_root, "board.state"), "rb") as f:
        f.seek(MUX_COMMITTED)
        mux = struct.unpack("<2048Q", f.read(2048 * 8))
    routed = sorted(e & 0x7FFFFF for e in mux if e)
    check(routed == sorted(dests), "slave's committed mux table holds the 20 records (%d entries)" % len(routed))

    r = master("log")
    got = b""
    try:
        with open(os.path.join(master_root, "tmp/slave_log.txt"), "rb") as f:
            got = f.read()
    except OSError:
        pass
    check(r.returncode == 0 and got == log, "log fetch: the master holds the slave's %d-byte log" % len(log))
finally:
    if slave is not None:
        slave.kill()
        slave.wait()
    if failed == 0:
        shutil.rmtree(top, ignore_errors=True)
    else:
        print("board kept in " + top)

print("FAILED" if failed else "PASSED")
sys.exit(1 if failed else 0)
