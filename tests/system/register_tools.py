"""The five register tools against a board root with modcard running.

Usage: python3 register_tools.py BUILD_DIR

The tools map the same board state as modcard: what one writes the other
reads. Checks the texts and exit statuses of usage and error lines too.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402

build = sys.argv[1]
SLOW = peers.slowness(build)  # start-up waits scale with the build's cost
failed = 0


def check(ok, what):
    global failed
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failed += 1


def tool(root, *args):
    env = dict(os.environ, MODCARD_ROOT=root)
    r = subprocess.run([os.path.join(build, args[0])] + list(args[1:]), env=env, capture_output=True, text=True,
                       timeout=60)
    return r.returncode, r.stdout, r.stderr


top = tempfile.mkdtemp(prefix="modcard-tools-")
root = os.path.join(top, "master")
proc = None
try:
    subprocess.run([os.path.join(build, "modcard-board"), root, "--chip", "0", "--slot", "3"], check=True,
                   stdout=subprocess.DEVNULL)
    # A page select without "mask", then patches on that page (one with a
    # three-digit mask, which counts as 0).
    with open(os.path.join(root, "tarvex_app/app/phyconfig.json"), "w") as f:
        f.write('{"PhyConfig":{"88E1510":[{"phyAddr":0,"addr":22,"value":"0002"},'
                '{"phyAddr":0,"addr":16,"mask":"FF00","value":"0060"},'
                '{"phyAddr":0,"addr":17,"mask":"FF0","value":"0001"}]}}')
    console = open(os.path.join(top, "console"), "w")
    proc = subprocess.Popen([os.path.join(build, "modcard")], env=dict(os.environ, MODCARD_ROOT=root),
                            stdout=console, stderr=subprocess.STDOUT)
    log = os.path.join(root, "tarvex_data/log/K9_Modulate.log")
    deadline = time.monotonic() + 30 * SLOW
    while time.monotonic() < deadline:
        if os.path.exists(log) and "phy chip id" in open(log, errors="replace").read():
            break
        time.sleep(0.2)
    check(proc.poll() is None, "modcard runs")
    check("phy chip id = 0x1410dd1" in open(log, errors="replace").read(), "modcard identified the PHY model")

    rc, out, _ = tool(root, "fpgapoke", "22", "5")
    check(rc == 0 and "Addr : 0x22 \t Value : 0x5" in out, "fpgapoke 22 5 writes and reads back")
    check(os.path.exists(os.path.join(root, "tarvex_data/34_5")), "fpgapoke 22 leaves the marker file 34_5")
    rc, out, _ = tool(root, "fpgapeek", "22")
    check(rc == 0 and "Value : 0x5" in out, "fpgapeek 22 prints 0x5")
    rc, out, _ = tool(root, "fpgapeek", "11")
    check(rc == 0 and "Addr : 0x11 \t Value : 0x0" in out, "fpgapeek 11 prints the master chip type")
    rc, out, _ = tool(root, "fpgapeek", "392")
    check(rc == 0 and "Value : 0x8" in out, "fpgapeek reads what modcard wrote (register 914)")
    rc, out, _ = tool(root, "fpgapoke", "10")
    check(rc == 255 and "[main:29] Lack Param" in out, "fpgapoke with one argument: Lack Param, status -1")
    rc, out, _ = tool(root, "fpgapeek")
    check(rc == 255 and "Lack Param" in out, "fpgapeek without argument: Lack Param, status -1")
    rc, out, _ = tool(root, "fpgapeek", "1000")
    check(rc != 0 and "Value" not in out, "fpgapeek refuses a register beyond its window")
    rc, out, _ = tool(root, "fpgapoke", "10000", "1")
    check(rc != 0 and "Result" not in out, "fpgapoke refuses a register beyond its window")
    rc, out, _ = tool("/nonexistent-board", "fpgapeek", "11")
    check(rc != 0 and "Can't map the memory to user space." in out and "Result" not in out,
          "fpgapeek stops after a failed map")

    # The tools take no lock that modcard knows: let its RF start-up finish
    # before driving the same SPI bus.
    deadline = time.monotonic() + 30 * SLOW
    while time.monotonic() < deadline and "This version is a universal version" not in open(log, errors="replace").read():
        time.sleep(0.2)
    rc, out, _ = tool(root, "dacpoke", "5", "1ff")
    check(rc == 0 and "Write AD9789 reg addr 0x5, value 0x1ff" in out and "Addr : 0x5\tVal : 0xff" in out,
          "dacpoke 5 1ff writes 0xff and reads it back")
    rc, out, _ = tool(root, "dacpeek", "5")
    check(rc == 0 and "Read Addr : 0x5" in out and "Addr 0x5, Value 0xff" in out, "dacpeek 5 prints 0xff")
    spi = open(os.path.join(root, "trace/spi.log"), errors="replace").read()
    w = spi.find("AD9789 write 0x0005 := 0xff")
    check(w >= 0 and spi.find("AD9789 read 0x0005 -> 0xff", w) > w, "spi.log: write 0x0005 := 0xff, then a read")
    rc, out, _ = tool(root, "dacpeek", "-e", "30")
    check(rc == 0 and "Read Addr : 0x30" in out, "dacpeek -e 30 reads register 0x30")
    rc, out, _ = tool(root, "dacpeek", "31")
    check(rc != 0 and "AD9789 reg addr should be 0~0x30" in out, "dacpeek 31 is refused")
    rc, out, _ = tool(root, "dacpoke", "5")
    check(rc != 0 and "error!! the number you enter must small be 2 !!" in out, "dacpoke 5: count message")
    rc, out, _ = tool(root, "dacpeek", "-x")
    check(rc != 0 and 'Error: Unsupported option "-x",  you can enter -h for help!' in out, "dacpeek -x")
    rc, out, err = tool(root, "dacpeek", "-h")
    check(rc == 1 and "dacpeek" in err and out == "", "dacpeek -h: usage on stderr, status 1")

    rc, out, _ = tool(root, "mdiotool", "r", "eth0", "0", "2")
    check(rc == 0 and "Read \teth0 addr 0 reg 2 val 0x141" in out, "mdiotool r eth0 0 2 prints the PHY identifier")
    patched = [tool(root, "mdiotool", *a)[1] for a in
               (("w", "eth0", "0", "22", "2"), ("r", "eth0", "0", "16"), ("r", "eth0", "0", "17"),
                ("w", "eth0", "0", "22", "0"), ("r", "eth0", "0", "16"))]
    check("reg 16 val 0x60" in patched[1] and "reg 17 val 0x1" in patched[2] and "reg 16 val 0x0" in patched[4],
          "PHY patches land on the page selected by an entry without mask")
    rc, out, _ = tool(root, "mdiotool", "w", "eth0", "0", "22", "0")
    check(rc == 0 and "Write\teth0 addr 0 reg 22 val 0x0" in out, "mdiotool w eth0 0 22 0")
    rc, out, _ = tool(root, "mdiotool", "r", "eth0", "0")
    check(rc != 0 and "r/w [ethx] [addr(dec)] [reg(dec)] [val(hex)]" in out, "mdiotool with too few arguments")
    rc, out, _ = tool(root, "mdiotool", "x", "eth0", "0", "2")
    check(rc != 0 and "Usage:" in out, "mdiotool x: usage")
    rc, out, _ = tool(root, "mdiotool", "r", "eth0", "32", "2")
    check(rc != 0 and "Read \t" not in out, "mdiotool refuses PHY address 32")
    rc, out, _ = tool(root, "mdiotool", "w", "eth0", "0", "4", "10000")
    check(rc != 0 and "Write\t" not in out, "mdiotool refuses a value above 0xffff")
    rc, out, _ = tool(root, "mdiotool", "r", "wlan9", "0", "2")
    check(rc != 0 and "GetDeviceBaseAddress err" in out and "Error Read" in out, "mdiotool on an unknown interface")
    check(proc.poll() is None, "modcard still runs")
finally:
    if proc is not None:
        proc.kill()
        proc.wait()
    if failed == 0:
        shutil.rmtree(top, ignore_errors=True)
    else:
        print("board kept in " + top)

print("%s" % ("FAILED" if failed else "PASSED"))
sys.exit(1 if failed else 0)
