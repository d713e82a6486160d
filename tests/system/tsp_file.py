"""The output-stream file of a running modcard: the factory file checked with
crcmod, streams stored before a restart carried after it (in the carousel's
capture), a damaged file replaced by factory contents, and a slave chip that
never writes one."""
import io
import os
import shutil
import signal
import struct
import subprocess
import sys
import tarfile
import tempfile
import time

import crcmod

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402

# The back board answers at once: its frame link for the run, a serial line per master.
BACK = []
LINES = []

BUILD = sys.argv[1]
CRC = crcmod.mkCrcFun(0x104C11DB7, initCrc=0x04C11DB7, rev=False, xorOut=0)
SIZES = [448, 920, 372, 1184, 1168]
FILE = "tarvex_data/K9_OutPutTSP.conf"
PARAMS = "tarvex_data/K9_DTMB.conf"
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def board(top, name, chip, slot, *extra):
    root = os.path.join(top, name)
    subprocess.run([os.path.join(BUILD, "modcard-board"), root, "--board-type", "2", "--chip", str(chip),
                    "--slot", str(slot)] + list(extra), check=True, stdout=subprocess.DEVNULL)
    if chip == 0:
        if not BACK:
            BACK.append(peers.back_board(wait=120))
        LINES.append(peers.SerialBackBoard(root, card_ip="192.168.1.%d" % (11 + slot)))
    return root


def run_until(root, ready, timeout=30.0):
    """Starts modcard, waits until ready() holds (longer for a slow build),
    then kills it (SIGKILL)."""
    timeout *= peers.slowness(BUILD)
    env = dict(os.environ, MODCARD_ROOT=root)
    with open(os.path.join(root, "modcard.out"), "ab") as out:
        proc = subprocess.Popen([os.path.join(BUILD, "modcard")], env=env, stdout=out, stderr=subprocess.STDOUT)
        deadline = time.time() + timeout
        ok = False
        try:
            while time.time() < deadline and proc.poll() is None:
                time.sleep(0.2)
                if ready():
                    ok = True
                    break
        finally:  # never leaves a card running, whatever ready() raised
            proc.send_signal(signal.SIGKILL)
            proc.wait()
    return ok


def file_ok(data):
    if len(data) < 244:
        return False
    w = lambda o: struct.unpack_from("<I", data, o)[0]
    size = 240 + sum(w(8 + 4 * i) * s for i, s in enumerate(SIZES)) + 4
    return w(0) == 0x20170310 and w(4) == len(data) == size and w(len(data) - 4) == CRC(data[:-4])


def image(streams, programs, pids):
    """A file of one record per array given, the table and descriptor arrays
    one free record each."""
    arrays = [streams, programs, pids, [bytes(1184)], [bytes(1168)]]
    body = b"".join(b"".join(a) for a in arrays)
    head = struct.pack("<7I", 0x20170310, 240 + len(body) + 4, *[len(a) for a in arrays]) + bytes(212)
    data = head + body
    return data + struct.pack("<I", CRC(data))


def rec(size, fields):
    b = bytearray(size)
    for off, fmt, val in fields:
        struct.pack_into("<" + fmt, b, off, val)
    return bytes(b)


NONE = 0xFFFF


def stream(channel):
    return rec(448, [(8, "H", 1), (10, "H", 0x100), (12, "H", 1), (14, "B", 1), (15, "B", 3), (16, "H", channel),
                     (18, "H", 1), (20, "H", 0), (24, "H", NONE), (28, "H", NONE), (36, "H", NONE),
                     (38, "H", NONE), (40, "H", NONE), (42, "H", NONE), (44, "H", NONE), (46, "H", NONE),
                     (57, "B", 4), (62, "H", NONE), (64, "B", 1), (65, "B", 1), (66, "B", 1), (67, "B", 1)])


NAME = b"Carried"


def program(channel):
    p = rec(920, [(8, "B", 1), (9, "B", 3), (10, "H", 1), (12, "H", channel), (14, "B", 3), (16, "H", 0),
                  (18, "H", 0), (20, "H", 1), (22, "H", NONE), (26, "H", NONE), (28, "H", 101),
                  (30, "H", 0x101), (32, "H", 0x100), (34, "H", 101), (36, "H", 0x101), (38, "H", 0x100),
                  (40, "H", 1), (42, "H", 1), (44, "H", 0), (46, "B", len(NAME)), (112, "B", 1),
                  (113, "B", 4), (500, "H", NONE), (502, "H", NONE)])
    return p[:48] + NAME + p[48 + len(NAME):]


def pid(index, kind, next_index, channel=0):
    return rec(372, [(8, "B", 1), (9, "B", 3), (10, "H", 1), (12, "B", 3), (14, "H", channel), (16, "I", 0),
                     (20, "I", 0), (24, "I", index), (28, "H", 1), (30, "H", index + 1), (32, "I", next_index),
                     (38, "H", NONE), (40, "B", kind), (41, "B", 2), (42, "H", 0x101), (44, "H", 0x101),
                     (240, "H", NONE), (246, "H", NONE)])


def moved(record, fields):
    b = bytearray(record)
    for off, fmt, val in fields:
        struct.pack_into("<" + fmt, b, off, val)
    return bytes(b)


def phantoms(data):
    """Channels of the valid streams of a file that the card does not have."""
    n = struct.unpack_from("<I", data, 8)[0] if len(data) >= 244 else 0
    return [ch for i in range(n) for ch in [struct.unpack_from("<H", data, 240 + 448 * i + 16)[0]]
            if data[240 + 448 * i + 14] == 1 and ch > 7]


def read(path):
    try:
        return open(path, errors="replace").read()
    except OSError:
        return ""


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:  # between the card's delete and its rename
        return b""


def decoded(root, channel=0):
    cap = os.path.join(root, "trace/si_ch%d.ts" % channel)
    if not os.path.exists(cap) or os.path.getsize(cap) < 188 * 4:
        return ""
    r = subprocess.run([os.path.join(BUILD, "tests/psidecode"), "--ts", cap], capture_output=True, text=True)
    return r.stdout


def main():
    top = tempfile.mkdtemp(prefix="modcard-tspfile-")
    try:
        master = board(top, "master", 0, 9)
        conf = os.path.join(master, FILE)
        # First start: the factory database is saved.
        check(run_until(master, lambda: os.path.exists(conf)), "factory file written")
        data = open(conf, "rb").read()
        check(len(data) == 517028 and file_ok(data), "factory file of 517,028 bytes passes crcmod")

        # Streams stored before a restart are carried after it.
        open(conf, "wb").write(image([stream(0)], [program(0)], [pid(0, 3, 0xFFFFFFFF), pid(1, 2, 0xFFFFFFFF)]))
        for run in (1, 2):
            if os.path.exists(os.path.join(master, "trace/si_ch0.ts")):
                os.remove(os.path.join(master, "trace/si_ch0.ts"))
            ok = run_until(master, lambda: "PMT program=101" in decoded(master))
            text = decoded(master)
            check(ok and "PAT_PROGRAM number=101 pid=256" in text, "run %d: stored program in the capture" % run)
            check("SERVICE" in text or "SDT" in text, "run %d: SDT in the capture" % run)
            check(file_ok(open(conf, "rb").read()), "run %d: file still passes" % run)

        # A stream of channel 1024 (channel 0 in the routing's ten bits) with
        # its program, saved by an older firmware: left behind at the start.
        ghost = [moved(stream(1024), [(20, "H", 1)]),
                 moved(program(1024), [(16, "H", 1), (18, "H", 1), (28, "H", 102), (34, "H", 102), (30, "H", 0x111),
                                       (36, "H", 0x111), (32, "H", 0x110), (38, "H", 0x110), (42, "H", 3), (44, "H", 2)])]
        ghost += [moved(pid(i, kind, 0xFFFFFFFF, 1024), [(16, "I", 1), (20, "I", 1), (42, "H", 0x111), (44, "H", 0x111)])
                  for i, kind in ((2, 3), (3, 2))]
        open(conf, "wb").write(image([stream(0), ghost[0]], [program(0), ghost[1]],
                                     [pid(0, 3, 0xFFFFFFFF), pid(1, 2, 0xFFFFFFFF)] + ghost[2:]))
        os.remove(os.path.join(master, "trace/si_ch0.ts"))
        ok = run_until(master, lambda: "PMT program=101" in decoded(master) and file_ok(read_bytes(conf)) and
                       not phantoms(read_bytes(conf)))
        text = decoded(master)
        check(ok and "number=102" not in text, "a saved stream of channel 1024 is neither aired on channel 0 nor "
              "saved again: %s" % phantoms(read_bytes(conf)))

        # A raw backup (516) of 2,560,000 zero bytes: refused (the answer says
        # so), both files kept.
        keep = {f: open(os.path.join(master, f), "rb").read() for f in (FILE, PARAMS)}
        log = os.path.join(master, "tarvex_data/log/K9_Modulate.log")
        ftp = os.path.join(master, "backboard_ftp")
        with tarfile.open(os.path.join(ftp, "9conf.tar"), "w:gz") as t:
            info = tarfile.TarInfo("param.conf")
            info.size = 2560000
            t.addfile(info, io.BytesIO(bytes(info.size)))
        sent = []
        os.remove(os.path.join(master, "trace/si_ch0.ts"))

        def restored():
            if not sent and "PMT program=101" in decoded(master):
                try:
                    sent.append(peers.send_message("192.168.1.20", 16, 516, attempts=1))
                except OSError:
                    pass
            return sent and ("Write config file success" in read(log) or "backup refused" in read(log))
        check(run_until(master, restored) and sent == [[15]], "516 answered 15, the backup refused: %s" % sent)
        check("backup refused" in read(log) and "Write config file success" not in read(log),
              "the zero backup is refused, not reported written")
        check(all(open(os.path.join(master, f), "rb").read() == data for f, data in keep.items()),
              "both saved files are kept")
        for f, data in keep.items():
            open(os.path.join(master, f), "wb").write(data)

        # An OID dump whose stream count (key 222) is beyond capacity, with a
        # service id (key 137) to lay over program 0: refused whole and kept.
        dump = os.path.join(master, "tarvex_data/oiddata.conf")
        open(dump, "wb").write(struct.pack("<HIHHIIHHH", 0xFFFF, 222, 1, 4, 0xFFFFFFFF, 137, 1, 2, 999))
        os.remove(os.path.join(master, "trace/si_ch0.ts"))
        run_until(master, lambda: "PMT program=" in decoded(master))
        text = decoded(master)
        check("PMT program=101" in text and "program=999" not in text, "the loaded database is kept as it was")
        check(os.path.exists(dump), "the refused dump is kept")
        check("end to recovery all params" not in read(log), "the dump is not reported restored")
        if os.path.exists(dump):
            os.remove(dump)

        # CRC-valid files whose lists loop (programs, an ES list, the ECM list
        # of the program's last ES): refused as corrupt, factory contents saved
        # instead.
        looped = program(0)[:22] + struct.pack("<H", 0) + program(0)[24:]
        es_with_ecm = bytearray(pid(0, 3, 0xFFFFFFFF))
        struct.pack_into("<HH", es_with_ecm, 36, 1, 2)
        for what, data in (("program list", image([stream(0)], [looped], [pid(0, 3, 0xFFFFFFFF), pid(1, 2, 0xFFFFFFFF)])),
                           ("ES list", image([stream(0)], [program(0)], [pid(0, 3, 0), pid(1, 2, 0xFFFFFFFF)])),
                           ("ES-ECM list", image([stream(0)], [program(0)],
                                                 [bytes(es_with_ecm), pid(1, 2, 0xFFFFFFFF), pid(2, 6, 2)]))):
            open(conf, "wb").write(data)
            open(log, "w").close()
            check(run_until(master, lambda: os.path.exists(conf) and os.path.getsize(conf) == 517028),
                  "a looping %s: the factory file replaces it" % what)
            check("links are no chain" in read(log) and "Factory parameters" in read(log),
                  "a looping %s: refused and logged" % what)

        # Length word one short: refused, factory contents saved instead.
        data = bytearray(open(conf, "rb").read())
        struct.pack_into("<I", data, 4, len(data) - 1)
        struct.pack_into("<I", data, len(data) - 4, CRC(bytes(data[:-4])))
        open(conf, "wb").write(data)
        open(log, "w").close()
        # The damaged file has the factory file's size: wait for the good one.
        check(run_until(master, lambda: "Config file size" in read(log) and file_ok(read_bytes(conf))),
              "damaged file replaced by the factory file, the length mismatch logged")

        # A slave chip never writes the file.
        slave = board(top, "slave", 1, 11)
        run_until(slave, lambda: False, 6)
        check(not os.path.exists(os.path.join(slave, FILE)), "slave has no output-stream file")

        # Status LED: blinks red until the LED control runs, then green.
        # Channel 3 at 333 packets (500 kbit/s) gets no PSI/SI.
        # A master alone: with no slave to compare versions with, an
        # eight-channel card would rightly turn red after its detection.
        mon = board(top, "monitor", 0, 9, "--channel-packets", "3:333", "--slave-chip", "0")
        os.makedirs(os.path.join(mon, "tarvex_data"), exist_ok=True)
        open(os.path.join(mon, FILE), "wb").write(
            image([stream(3)], [program(3)], [pid(0, 3, 0xFFFFFFFF, 3), pid(1, 2, 0xFFFFFFFF, 3)]))
        led = os.path.join(mon, "trace/led.log")
        # Runs past the LED control's next pass (5 s): once green, the LED
        # stays green and is set (and reported) once.
        seen = []

        def green_for(secs):
            if not seen and "GREEN" in read(led):
                seen.append(time.time())
            return bool(seen) and time.time() - seen[0] >= secs

        check(run_until(mon, lambda: green_for(6), 46), "LED turns green")
        text = read(led)
        check("RED" in text and text.find("RED") < text.find("GREEN"), "LED blinks red before green")
        after = text[text.find("GREEN"):].splitlines()
        check(len(after) == 1, "once green, the LED stays green: " + " / ".join(after[:4]))
        log = read(os.path.join(mon, "tarvex_data/log/K9_Modulate.log"))
        check(log.count("Channel 3 effective bitrate less than 500K") == 1, "one low-rate warning for channel 3")
        check("Channel 2 effective bitrate" not in log, "no warning for the other channels")
        cap = os.path.join(mon, "trace/si_ch3.ts")
        check(not os.path.exists(cap) or os.path.getsize(cap) == 0, "no PSI/SI on channel 3")
    finally:
        if failures:
            print("board roots kept in " + top)
        else:
            shutil.rmtree(top, ignore_errors=True)
    if failures:
        print("%d failures" % len(failures))
        sys.exit(1)
    print("output-stream file checks passed")


main()
