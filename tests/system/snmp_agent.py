"""The SNMP agent of a master chip, driven by net-snmp's command-line clients
and a pysnmp notification receiver on loopback, and read once more with pysnmp.

Usage: python3 snmp_agent.py BUILD_DIR

Each case starts modcard on a fresh board root of its own (slot 6, agent at
127.168.1.17:16161; slot 12 for a second card) and stops it again.
"""
import os
import re
import shutil
import signal
import struct
import socket
import subprocess
import sys
import tempfile
import threading
import time

import crcmod

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402
import webcard  # noqa: E402

# One back board for every card of the run: it answers the resource report at once.
BACK = None

CRC = crcmod.mkCrcFun(0x104C11DB7, initCrc=0x04C11DB7, rev=False, xorOut=0)
ARC = "1.3.6.1.4.1.32473.8"
PSI = ARC + ".2.1.0"
REBOOT = ARC + ".10.1.0"
BASEINFO = ARC + ".1.1"
SETTING = ARC + ".2.2"
SYSUPTIME = "1.3.6.1.2.1.1.3.0"
MIB_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../agent/mibgroup/dtmb")
TRAP_PORT = 16162
COLD_START = "1.3.6.1.6.3.1.1.5.1"
NOTIFY_SHUTDOWN = "8072.4.0.2"
NOTIFY_RESTART = "8072.4.0.3"

# Board type -> (standard, settingTable columns a walk shows).
STANDARDS = {
    0: ("DTMB", [1, 2, 3, 4, 5, 6, 7]),
    1: ("DVB-T", [1, 2, 3, 4, 8, 9, 10, 11, 12]),
    2: ("DVB-C", [1, 2, 3, 4, 13, 14, 27]),
    3: ("J.83 Annex B", [1, 2, 3, 15, 16, 17, 18]),
    4: ("ISDB-T", [1, 2, 3, 4, 19, 20, 21, 22, 23, 24]),
    5: ("ATSC", [1, 2, 3, 25, 26]),
}

passed = 0
failed = 0


def report(top):
    """Prints the count and removes the run's folder when all passed (kept
    otherwise)."""
    print("%d passed, %d failed" % (passed, failed))
    if failed == 0:
        shutil.rmtree(top, ignore_errors=True)
    else:
        print("kept " + top)


def finish(top):
    """report(), then exits with the run's status."""
    report(top)
    sys.exit(1 if failed else 0)


def check(ok, what):
    global passed, failed
    if ok:
        passed += 1
        print("ok   " + what)
    else:
        failed += 1
        print("FAIL " + what)


def read_text(path):
    try:
        with open(path, "r", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def cell(column, row):
    return "%s.1.%d.%d" % (SETTING, column, row)


class Card:
    """A master chip on its own board root with its agent."""

    def __init__(self, build, top, name, board_type, slot=6, extra=()):
        self.build = build
        self.root = os.path.join(top, name)
        self.agent = "127.168.1.%d:16161" % (11 + slot)
        subprocess.run([os.path.join(build, "modcard-board"), self.root, "--board-type", str(board_type),
                        "--slot", str(slot)] + list(extra), check=True, stdout=subprocess.DEVNULL)
        global BACK
        if BACK is None:
            BACK = peers.back_board(wait=120)
        # The back board's end of this root's serial line, kept across restarts.
        self.line = peers.SerialBackBoard(self.root, card_ip="192.168.1.%d" % (11 + slot))
        conf = os.path.join(self.root, "tarvex_app/app/snmpd.conf")
        self.conf = conf
        self.console = open(self.root + ".console", "w")
        self.proc = None

    def start(self, wait_agent=True):
        env = dict(os.environ, MODCARD_ROOT=self.root)
        self.proc = subprocess.Popen([os.path.join(self.build, "modcard")], env=env, stdout=self.console,
                                     stderr=subprocess.STDOUT)
        if wait_agent:
            deadline = time.monotonic() + 30 * webcard.SLOW
            while time.monotonic() < deadline:
                if self.get([SYSUPTIME], timeout=1) is not None:
                    return True
                if self.proc.poll() is not None:
                    return False
                time.sleep(0.2)
            return False
        return True

    def stop(self, sig=signal.SIGTERM, limit=10):
        """Sends sig and waits for the end; returns the exit status or None."""
        if self.proc is None or self.proc.poll() is not None:
            return None if self.proc is None else self.proc.returncode
        self.proc.send_signal(sig)
        try:
            return self.proc.wait(limit * webcard.SLOW)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None

    def snmp(self, tool, args, community="public", timeout=5, options=("-On", "-Oe")):
        cmd = [tool, "-v2c", "-c", community, "-r", "0", "-t", str(timeout)] + list(options) + [self.agent] + args
        env = dict(os.environ, MIBS="", MIBDIRS=MIB_DIR)
        return subprocess.run(cmd, capture_output=True, text=True, env=env)

    def get(self, oids, timeout=5):
        """Values of a GET (numbers or texts), or None when the agent does not answer."""
        r = self.snmp("snmpget", oids, timeout=timeout)
        if r.returncode != 0 and not r.stdout:
            return None
        return [parse_value(line) for line in r.stdout.splitlines()]

    def set(self, assignments, timeout=30):
        """A SET with a long time-out: (status text or '', output)."""
        args = []
        for oid, kind, value in assignments:
            args += [oid, kind, str(value)]
        r = self.snmp("snmpset", args, community="private", timeout=timeout)
        m = re.search(r"Reason: \(?(\w+)", r.stderr + r.stdout)
        return (m.group(1) if m else ("" if r.returncode == 0 else "failed")), r.stdout + r.stderr

    def walk_columns(self, tool):
        r = self.snmp(tool, [SETTING])
        cols = []
        for line in r.stdout.splitlines():
            m = re.match(r"\.%s\.1\.(\d+)\.(\d+) = " % re.escape(SETTING), line)
            if m:
                cols.append((int(m.group(1)), int(m.group(2))))
        return cols

    def log(self):
        return read_text(os.path.join(self.root, "tarvex_data/log/K9_Modulate.log"))

    def agent_log(self):
        return read_text(os.path.join(self.root, "var/log/snmpd.log"))

    def file_words(self, offset, count):
        """32-bit words of the modulation set in the parameter file."""
        with open(os.path.join(self.root, "tarvex_data/K9_DTMB.conf"), "rb") as f:
            d = f.read()
        return list(struct.unpack_from("<%dI" % count, d, 88 + offset))

    def file_freqs(self):
        return self.file_words(128, 8)


def parse_value(line):
    m = re.match(r"\S+ = (\w[\w-]*): (.*)$", line)
    if not m:
        return line.split(" = ", 1)[-1] if " = " in line else None
    kind, text = m.groups()
    if kind == "INTEGER":
        return int(text)
    if kind == "STRING":
        return text.strip('"')
    return text


class TrapReceiver:
    """Notifications received on loopback and decoded with pysnmp: each one's
    trap OID (snmpTrapOID.0 of a v2c notification) is kept as a line of text."""

    def __init__(self, top, port):
        from pyasn1.codec.ber import decoder
        from pysnmp.proto import api
        self.lines = []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", port))
        self.sock.settimeout(0.2)
        self.running = True

        def receive():
            while self.running:
                try:
                    data = self.sock.recv(65535)
                except OSError:
                    continue
                try:
                    version = int(api.decodeMessageVersion(data))
                    mod = api.protoModules[version]
                    msg, _ = decoder.decode(data, asn1Spec=mod.Message())
                    pdu = mod.apiMessage.getPDU(msg)
                    for oid, val in mod.apiPDU.getVarBinds(pdu):
                        if str(oid) == "1.3.6.1.6.3.1.1.4.1.0":
                            self.lines.append(str(val))
                except Exception as e:  # a malformed datagram is reported, not fatal
                    self.lines.append("undecodable: %s" % e)

        self.thread = threading.Thread(target=receive, daemon=True)
        self.thread.start()

    def text(self):
        return "\n".join(self.lines)

    def wait_for(self, what, count=1, limit=10):
        deadline = time.monotonic() + limit * webcard.SLOW
        while time.monotonic() < deadline:
            if self.text().count(what) >= count:
                return True
            time.sleep(0.2)
        return False

    def stop(self):
        self.running = False
        self.thread.join()
        self.sock.close()


def case_walks(build, top):
    for board_type, (name, columns) in sorted(STANDARDS.items()):
        card = Card(build, top, "walk%d" % board_type, board_type)
        if not card.start():
            check(False, name + ": agent answers")
            card.stop()
            continue
        expected = [(c, r) for c in columns for r in range(1, 9)]
        check(card.walk_columns("snmpwalk") == expected, name + ": walk shows exactly its columns")
        check(card.walk_columns("snmpbulkwalk") == expected, name + ": bulk walk shows exactly its columns")
        if board_type == 2:
            r = card.snmp("snmptable", ["MODCARD-DTMB-MIB::settingTable"],
                          options=("-m", "MODCARD-DTMB-MIB", "-Cf", ",", "-CH"))
            rows = [line.split(",") for line in r.stdout.splitlines() if re.match(r"\d,", line)]
            check(len(rows) == 8 and all(row[3] and row[26] and row[4] == "?" for row in rows),
                  name + ": snmptable shows the eight rows with the standard's cells")
            check_bandwidth_3(card, 27)
        if board_type == 1:
            # A GET across standards: the other standard's cell stays empty,
            # the cells after it are answered.
            vals = card.get([cell(13, 1), cell(4, 1), cell(8, 1)])
            check(vals is not None and vals[1:] == [474000, 2] and not isinstance(vals[0], int),
                  name + ": GET answers the valid cells after another standard's cell")
            base = card.snmp("snmpwalk", [BASEINFO]).stdout
            texts = re.findall(r'"(total bitrate:[^"]*)"', base)
            check(len(texts) == 8 and all(re.fullmatch(
                r"total bitrate:\d+\.\d{3} Mbps \| effective bitrate:\d+\.\d{3} Mbps \| bit rate status:"
                r"(Normal|Overflow)", t) for t in texts), name + ": baseInfo text of rows 1 to 8")
            status, _ = card.set([(BASEINFO + ".1.2.1", "s", "x")])
            check(status == "notWritable", name + ": baseInfo is read-only")
        card.stop()


def case_scalars_and_dvbt(build, top):
    # The master alone: a card whose slave chip is missing answers every
    # change it cannot pass on as not taken.
    card = Card(build, top, "dvbt", 1, extra=["--slave-chip", "0"])
    check(card.start(), "DVB-T: agent answers")
    for value, expect in ((50, 50), (49, 50), (10000, 10000), (10001, 10000)):
        status, _ = card.set([(PSI, "i", value)])
        check(status == ("" if value == expect else "wrongValue") and card.get([PSI]) == [expect],
              "psiInterval := %d gives %d" % (value, expect))
    check(card.get([REBOOT]) == [0], "reboot reads 0 at start")
    status, _ = card.set([(REBOOT, "i", 1)])
    check(status == "wrongValue" and card.get([REBOOT]) == [1], "reboot := 1 is wrongValue, then reads 1")

    status, _ = card.set([(cell(4, 1), "i", 490000)])
    status, _ = card.set([(cell(4, 1), "i", 474000)])
    freqs = card.get([cell(4, r) for r in range(1, 5)])
    check(status == "" and freqs == [474000, 482000, 490000, 498000], "column 4 := 474000 spaces channels 0-3")
    check(card.file_freqs()[:4] == [474000, 482000, 490000, 498000], "the parameter file holds them")

    # FFT size (9) and guard interval (10) hold different values, each read in its own column.
    fft = card.get([cell(9, 1)])
    guard = 3 if fft != [3] else 2
    status, _ = card.set([(cell(10, 1), "i", guard)])
    check(status == "" and card.get([cell(9, 1), cell(10, 1)]) == fft + [guard],
          "guard interval := %d reads back in column 10, FFT size %s stays in column 9" % (guard, fft))
    check_bandwidth_3(card, 8)

    # Refusals leave the live set as the request found it.
    power = card.get([cell(2, 1)])
    status, _ = card.set([(cell(2, 1), "i", 30), (cell(10, 2), "i", 1)])
    check(status == "inconsistentValue" and card.get([cell(2, 1)]) == power,
          "a SET refused on a wrong row changes nothing")
    status, _ = card.set([(cell(2, 1), "i", 30), (cell(3, 1), "i", 5)])
    check(status == "wrongValue" and card.get([cell(2, 1)]) == power, "a SET with wrongValue changes nothing")
    status, _ = card.set([(cell(2, 1), "i", 30), (REBOOT, "i", 1)])
    check(status == "wrongValue" and card.get([cell(2, 1)]) == power, "a SET undone changes nothing")
    status, _ = card.set([(cell(2, 1), "i", 30)])
    check(status == "" and card.get([cell(2, r) for r in (1, 8)]) == [30, 30], "column 2 sets all channels")
    status, _ = card.set([(cell(1, 1), "i", 3)])
    check(status == "notWritable", "column 1 is not writable")
    status, _ = card.set([(cell(16, 1), "s", "x" * 21)])
    check(status == "wrongLength", "a 21-byte name is wrongLength")
    words = card.file_words(0, 4)
    status, _ = card.set([(cell(5, 1), "i", 3)])
    check(status == "inconsistentValue" and card.file_words(0, 4) == words,
          "a column of another standard is refused and changes nothing")
    # An independent SNMP implementation reads the same values.
    pysnmp_check(card, [SYSUPTIME, PSI, REBOOT, cell(4, 1), cell(8, 1), BASEINFO + ".1.2.3"])
    card.stop()


def check_bandwidth_3(card, column):
    """Bandwidth 3 is past the range: refused, whatever the error, and nothing changes."""
    def state():
        return card.get([cell(column, 1)] + [cell(4, r) for r in range(1, 9)]), card.file_words(0, 191)
    before = state()
    card.set([(cell(column, 1), "i", 3)])
    check(state() == before, "column %d := 3 changes nothing" % column)


def pysnmp_check(card, oids):
    try:
        from pysnmp.hlapi import (getCmd, SnmpEngine, CommunityData, UdpTransportTarget, ContextData,
                                  ObjectType, ObjectIdentity)
    except ImportError:
        check(False, "pysnmp is installed")
        return
    host, port = card.agent.split(":")
    it = getCmd(SnmpEngine(), CommunityData("public", mpModel=1), UdpTransportTarget((host, int(port)), timeout=5,
                retries=0), ContextData(), *[ObjectType(ObjectIdentity(o)) for o in oids])
    err, status, _, binds = next(it)
    ours = [str(v) for _, v in binds] if not err and not status else None
    theirs = card.get(oids[1:])
    check(ours is not None and [str(v) for v in theirs] == ours[1:], "pysnmp reads what snmpget reads")


def case_base_info(build, top, slot=6):
    """A DVB-C card whose channels 0-2 carry the input-card peer's streams. The
    text's total is the payload capacity: 32-QAM at 7556 kBd gives 34,816
    kbit/s, a rate the rate converter runs but the MIB's symbol-rate range
    cannot reach, so it goes into the parameter file. The counters give both
    the measured total and the effective rate (1504 bit per packet and gate)."""
    packets = ["--channel-packets", "0:19947", "--channel-packets", "1:23149", "--channel-packets", "2:23150"]
    card = Card(build, top, "baseinfo", 2, slot=slot, extra=packets)
    conf = os.path.join(card.root, "tarvex_data/K9_DTMB.conf")
    card.start(wait_agent=False)
    deadline = time.monotonic() + 30 * webcard.SLOW
    while time.monotonic() < deadline and not os.path.exists(conf):  # written whole, by rename
        time.sleep(0.2)
    check(os.path.exists(conf), "DVB-C card writes its parameter file")
    card.stop()
    with open(conf, "rb") as f:
        d = bytearray(f.read())
    struct.pack_into("<8I", d, 88 + 216, *[7556] * 8)  # SymbolRate
    struct.pack_into("<8I", d, 88 + 248, *[1] * 8)  # QAMMod: 32-QAM
    struct.pack_into("<I", d, 852, CRC(bytes(d[84:852])))
    struct.pack_into("<I", d, 860, CRC(bytes(d[0:860])))
    with open(conf, "wb") as f:
        f.write(d)
    # A card left running by another test would take the feed meant for ours.
    frames = "192.168.1.%d" % (11 + slot)
    try:
        socket.create_connection((peers.chassis(frames), peers.PORT), timeout=1).close()
        check(False, "frame-server address %s is free" % peers.chassis(frames))
        return
    except OSError:
        pass
    peer = peers.input_card("127.168.1.35", 5)
    try:
        check(card.start(), "card with 34,816 kbit/s channels answers")
        check(peers.announce(frames, 5, "192.168.1.35") == [1], "input card announced")
        codes = peers.feed(frames, 5, slot)
        check(all(set(c) == {peers.SUCCESS} for c in codes.values()), "streams fed and applied: %s" % codes)
        text = "total bitrate:34.816 Mbps | effective bitrate:%s Mbps | bit rate status:%s"
        want = [text % ("30.000", "Normal"), text % ("34.816", "Normal"), text % ("34.817", "Overflow")]
        got = card.get([BASEINFO + ".1.2.%d" % row for row in (1, 2, 3)]) or [None] * 3
        check(got[0] == want[0], "channel 0 at 19947 packets: 34.816 total, 30.000 effective, Normal")
        check(got[1:] == want[1:], "a measured total at the capacity is Normal, one kbit/s above it Overflow")
        if got != want:
            print("     baseInfo rows 1-3: %s" % got)
    finally:
        card.stop()
        peer.stop()


def case_plans(build, top):
    card = Card(build, top, "annexb", 3, extra=("--http-port", "18017", "--slave-chip", "0"))
    check(card.start(), "J.83 Annex B: agent answers")
    # Channels 1-3 and 5-7 follow their chip's first channel 6 MHz apart
    # (the chassis's SI is DVB-style): a plan's first channels are not.
    factory = card.file_freqs()
    status, _ = card.set([(cell(15, 1), "i", 2)])
    check(status == "inconsistentValue" and card.get([cell(15, 5)]) == [1] and card.file_freqs() == factory,
          "a plan whose channels this layout cannot run is refused and changes nothing")
    status, _ = card.set([(cell(16, 1), "s", "CH2-57MHz")])
    check(status == "" and card.file_freqs()[:4] == [57000, 63000, 69000, 75000] and
          card.get([cell(16, 1)]) == ["CH2-57MHz"], "\"CH2-57MHz\" on row 1 accepted, channels 1-3 follow it")
    status, _ = card.set([(cell(16, 2), "s", "CH2-57MHz")])
    check(status == "inconsistentValue", "a channel name on row 2, which follows row 1, is refused")
    status, _ = card.set([(cell(16, 2), "s", "CH2")])
    check(status == "wrongValue", "\"CH2\" is wrongValue")
    status, _ = card.set([(cell(15, 1), "i", 0)])
    check(status == "wrongValue" and card.get([cell(15, 1)]) == [1], "plan 0 is wrongValue and changes nothing")
    status, _ = card.set([(cell(25, 1), "i", 0)])
    check(status == "inconsistentValue" and card.get([cell(15, 1)]) == [1],
          "another standard's plan column is refused on a J.83 Annex B card")
    # The web's channel standard takes any plan number; with plan 0 the
    # channel names have no plan and a walk steps over them to the end.
    reply = webcard.call("127.168.1.17", 18017, "SetSubboardParam.w", {"psiinterval": 100, "channelstandard": 0})
    check(reply["code"] == 0 and card.get([cell(15, 1)]) == [0], "the web sets plan 0 on a J.83 Annex B card")
    expected = [(c, r) for c in (1, 2, 3, 15, 17, 18) for r in range(1, 9)]
    check(card.walk_columns("snmpwalk") == expected, "a walk passes over names without a plan")
    card.stop()


def case_traps_and_signals(build, top):
    traps = TrapReceiver(top, TRAP_PORT)
    card = Card(build, top, "traps", 0)
    check(card.start(), "agent with trap sink answers")
    check(traps.wait_for(COLD_START), "coldStart at start")
    card.proc.send_signal(signal.SIGHUP)
    check(traps.wait_for(NOTIFY_RESTART), "restart notification after SIGHUP")
    check(card.get([SYSUPTIME]) is not None, "agent serves after SIGHUP")
    card.proc.send_signal(signal.SIGUSR1)
    deadline = time.monotonic() + 5 * webcard.SLOW
    while time.monotonic() < deadline and "psiInterval" not in read_text(card.root + ".console"):
        time.sleep(0.1)
    check("psiInterval" in read_text(card.root + ".console"), "SIGUSR1 dumps the registry of the idle agent")
    t0 = time.monotonic()
    rc = card.stop(signal.SIGTERM, limit=10)
    check(rc == -signal.SIGTERM and time.monotonic() - t0 < 5, "SIGTERM ends modcard promptly")
    check(traps.wait_for(NOTIFY_SHUTDOWN), "shutdown notification after SIGTERM")
    log = card.agent_log()
    check("Reconfiguring daemon" in log and "Received TERM or STOP signal...  shutting down..." in log,
          "agent log records the re-read and the shutdown")

    # SIGINT ends the agent alone; SIGTERM then still ends the card.
    card = Card(build, top, "sigint", 0)
    check(card.start(), "second agent with trap sink answers")
    card.proc.send_signal(signal.SIGINT)
    check(traps.wait_for(NOTIFY_SHUTDOWN, 2), "shutdown notification after SIGINT")
    time.sleep(1)
    check(card.proc.poll() is None and card.get([SYSUPTIME], timeout=1) is None,
          "after SIGINT the agent has ended and the card runs on")
    t0 = time.monotonic()
    rc = card.stop(signal.SIGTERM, limit=10)
    check(rc == -signal.SIGTERM and time.monotonic() - t0 < 5, "SIGTERM still ends the card after the agent")
    traps.stop()


def case_addresses(build, top):
    # Port taken: the second card's agent ends, the card goes on.
    first = Card(build, top, "first", 0, slot=12)
    check(first.start(), "first agent answers")
    second = Card(build, top, "second", 0, slot=12)
    second.start(wait_agent=False)
    deadline = time.monotonic() + 30 * webcard.SLOW
    while time.monotonic() < deadline and "Server Exiting with code 1" not in second.agent_log():
        time.sleep(0.3)
    # The card lives on after its agent: its program log still grows.
    size = len(second.log())
    while time.monotonic() < deadline and len(second.log()) == size and second.proc.poll() is None:
        time.sleep(0.3)
    check(second.proc.poll() is None and len(second.log()) > size and
          "Server Exiting with code 1" in second.agent_log(),
          "an agent whose port is taken ends alone; the card keeps running")
    check(first.get([SYSUPTIME]) is not None, "the first agent still answers")
    second.stop()
    first.stop()

    # Without a configuration file: the chip's own address only.
    card = Card(build, top, "noconf", 0, slot=12)
    os.remove(card.conf)
    card.start(wait_agent=False)
    deadline = time.monotonic() + 30 * webcard.SLOW
    while time.monotonic() < deadline and "NET-SNMP version" not in card.agent_log():
        time.sleep(0.2)
    r = subprocess.run(["ss", "-uln"], capture_output=True, text=True)
    check("127.168.1.23:16161" in r.stdout, "agent without configuration listens on the chip's own address")
    check("0.0.0.0:16161" not in r.stdout and "*:16161" not in r.stdout and ":161 " not in r.stdout,
          "never every address nor the privileged port")
    card.stop()

    # A card with the master chip alone reboots through the shell.
    card = Card(build, top, "reboot4", 0, extra=["--slave-chip", "0"])
    check(card.start(), "4-channel card answers")
    # The card goes down without an answer: what is waited for is its end.
    card.set([(REBOOT, "i", 0)], timeout=1)
    try:
        rc = card.proc.wait(15)
    except subprocess.TimeoutExpired:
        rc = None
    shell = read_text(os.path.join(card.root, "trace/shell.log"))
    check(rc == 77 and "reboot" in shell and shell.find("sync") < shell.find("reboot"),
          "reboot := 0 records the reboot sequence and the card goes down")
    card.stop()


def main():
    build = sys.argv[1]
    top = tempfile.mkdtemp(prefix="modcard-snmp-")
    try:
        case_walks(build, top)
        case_scalars_and_dvbt(build, top)
        case_plans(build, top)
        case_base_info(build, top)
        case_traps_and_signals(build, top)
        case_addresses(build, top)
    finally:
        report(top)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
