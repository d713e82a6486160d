"""SNMP SETs on cards of three standards (DTMB, DVB-C, 8VSB), each a master
and a slave chip: a refused SET answers its error and leaves both chips'
parameter files, the web's view and the RF chips alone; a valid one reaches
both chips. A SET of several varbinds with one bad among good ones (scalars
and table, a refused reboot) changes nothing and does not reboot; one whose
varbinds are all good applies all, a reboot among them too. SETs and web
changes of the same settings at the same moment each land whole. The PSI interval survives a master restart on both chips, the
agent's log stays bounded under a burst, and no listener takes 0.0.0.0.

Usage: python3 snmp_set.py BUILD_DIR
"""
import hashlib
import os
import random
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import snmp_agent as sa  # noqa: E402
import webcard  # noqa: E402
from webcard import wait_for  # noqa: E402
from snmp_agent import PSI, REBOOT, SYSUPTIME, cell, check  # noqa: E402

CONF = "tarvex_data/K9_DTMB.conf"
LOG_LIMIT = 1 << 20


def read(path, mode="rb"):
    try:
        with open(path, mode) as f:
            return f.read()
    except OSError:
        return b"" if "b" in mode else ""



class Pair:
    """A card's master chip (with its agent) and its slave chip."""

    def __init__(self, build, top, name, board_type, slot):
        self.build = build
        self.master = sa.Card(build, top, name, board_type, slot=slot)
        self.slave_root = os.path.join(top, name + "-slave")
        subprocess.run([os.path.join(build, "modcard-board"), self.slave_root, "--chip", "1", "--board-type",
                        str(board_type), "--slot", str(slot)], check=True, stdout=subprocess.DEVNULL)
        self.slave = None
        self.web = ("127.168.1.%d" % (11 + slot), 8080)

    def start(self):
        console = open(self.slave_root + ".console", "a")
        self.slave = subprocess.Popen([os.path.join(self.build, "modcard")],
                                      env=dict(os.environ, MODCARD_ROOT=self.slave_root), stdout=console,
                                      stderr=subprocess.STDOUT)
        self.master.start(wait_agent=False)

    def up(self):
        """What is not yet so of: slave working, agent answering, the slave
        holding the master's modulation set; '' when all are."""
        if not wait_for(lambda: "Slave chip is working now!!!" in self.master.log(), 60):
            return " (the master never saw its slave work)"
        # A manager tries again: a card still starting may hold its state
        # lock longer than one try's wait.
        if not wait_for(lambda: self.master.get([SYSUPTIME], timeout=1) is not None, 20):
            return " (no answer to sysUpTime)"
        return "" if wait_for(self.same_set, 20) else " (parameter files differ)"

    def confs(self):
        return read(os.path.join(self.master.root, CONF)), read(os.path.join(self.slave_root, CONF))

    def same_set(self):
        m, s = self.confs()
        return len(m) > 852 and m[88:852] == s[88:852]

    def psi(self):
        """PSI interval (ms) saved by master and slave."""
        return [struct.unpack_from("<H", c, 22)[0] if len(c) > 24 else None for c in self.confs()]

    def spi(self):
        return [read(os.path.join(r, "trace/spi.log"), "r") for r in (self.master.root, self.slave_root)]

    def view(self):
        try:
            return webcard.call(self.web[0], self.web[1], "GetSubboardParam.w", {})
        except (OSError, ValueError) as e:
            return str(e)

    def state(self):
        return self.confs(), self.view(), [len(t) for t in self.spi()]

    def stop(self):
        self.master.stop()
        if self.slave is not None:
            webcard.stop(self.slave)


def spi_quiet(pair, secs=1.0, limit=20.0):
    """Waits until neither chip's spi.log has grown for secs (start-up work done)."""
    last, since, end = None, time.monotonic(), time.monotonic() + limit
    while time.monotonic() < end:
        now = [len(t) for t in pair.spi()]
        if now != last:
            last, since = now, time.monotonic()
        elif time.monotonic() - since >= secs:
            return
        time.sleep(0.1)


def refusals(pair, name, cases):
    """Each SET is refused with its status and changes nothing."""
    spi_quiet(pair)
    before = pair.state()
    for oid, kind, value, want in cases:
        status, _ = pair.master.set([(oid, kind, value)])
        check(status == want, "%s: %s := %s answers %s (%s)" % (name, oid.split("8.2.")[-1], value, want, status))
    time.sleep(1)
    after = pair.state()
    check(after[0] == before[0], name + ": refused SETs leave both parameter files unchanged")
    check(after[1] == before[1], name + ": refused SETs leave the web's view unchanged")
    check(after[2] == before[2], name + ": refused SETs reach no RF chip (spi.log)")


def accepted(pair, name, oid, kind, value, holds):
    """A valid SET reaches both parameter files and both chips' RF chips."""
    spi = [len(t) for t in pair.spi()]
    conf = pair.confs()[0]
    status, _ = pair.master.set([(oid, kind, value)])
    check(status == "", "%s: %s := %s accepted (%s)" % (name, oid.split("8.2.")[-1], value, status))
    check(wait_for(lambda: pair.confs()[0] != conf and holds(pair.master) and pair.same_set(), 10),
          name + ": the change is in both chips' parameter files")
    check(wait_for(lambda: all(len(t) > n for t, n in zip(pair.spi(), spi)), 10),
          name + ": both chips program their RF chips (spi.log)")


def reboots(pair):
    """Reboots the master chip has run (the simulated shell's record)."""
    return read(os.path.join(pair.master.root, "trace/shell.log"), "r").count("RECORD reboot")


def md5(data):
    return hashlib.md5(data).hexdigest()


def mixed(pair, name, cases, column, away):
    """SETs of several varbinds, one of them bad: each answers the bad one's
    status and changes no GET and neither parameter file; none reboots or
    reaches an RF chip. A later good SET carries no refused value into the
    file: a group column (channels 0-3) set to away and back, and the PSI
    interval likewise, leave both files as before."""
    spi_quiet(pair)
    before = pair.state()
    boots = reboots(pair)
    oids = sorted({oid for assigns, _ in cases for oid, _, _ in assigns if oid != REBOOT} | {PSI})
    gets = pair.master.get(oids)
    for assigns, want in cases:
        what = "%s: %s" % (name, ", ".join("%s := %s" % (o.split("8.")[-1], v) for o, _, v in assigns))
        status, _ = pair.master.set(assigns)
        check(status == want, "%s answers %s (%s)" % (what, want, status))
        confs = pair.confs()
        check(pair.master.get(oids) == gets and [md5(c) for c in confs] == [md5(c) for c in before[0]],
              what + ": GETs and both parameter files (md5) unchanged")
    time.sleep(1)
    after = pair.state()
    check(after[1] == before[1], name + ": the web's view unchanged")
    check(after[2] == before[2], name + ": no RF chip reached (spi.log)")
    check(reboots(pair) == boots and pair.master.proc.poll() is None, name + ": no reboot")
    # A group column set away and back, then the PSI interval: each save
    # writes the live set, so a refused value left in it would show.
    first, group = cell(column, 1), [cell(column, r) for r in range(1, 5)]
    value = pair.master.get(group)
    psi = pair.master.get([PSI])[0]
    for oid, v, whole in ((first, away, group), (first, value[0], group), (PSI, psi + 1, [PSI]), (PSI, psi, [PSI])):
        status, _ = pair.master.set([(oid, "i", v)])
        check(status == "" and wait_for(lambda: pair.master.get(whole) == [v] * len(whole), 10),
              "%s: %s := %d accepted" % (name, oid.split("8.")[-1], v))
    check(len(set(value)) > 1 or wait_for(lambda: [md5(c) for c in pair.confs()] == [md5(c) for c in before[0]], 10),
          name + ": set away and back, both parameter files are as before (no refused value in them)")


def all_good(pair, name, assigns):
    """A SET whose varbinds are all good applies every one of them."""
    status, _ = pair.master.set(assigns)
    check(status == "", "%s: a SET of %d good varbinds accepted (%s)" % (name, len(assigns), status))
    want = [v for _, _, v in assigns]
    check(pair.master.get([o for o, _, _ in assigns]) == want, name + ": GETs show every value")
    psi = [v for o, _, v in assigns if o == PSI]
    check(not psi or wait_for(lambda: pair.psi() == psi * 2, 10), name + ": both chips saved the PSI interval")


def race(pair, name, rounds):
    """An SNMP SET of row 1's frequency and the PSI interval and a web change
    of channels 0-3 and the PSI interval, sent together: both answer success
    and the card ends with one of them whole (GETs and the saved file)."""
    m = pair.master
    freqs = m.get([cell(4, r) for r in range(1, 9)])
    low = freqs[4] - 100000
    status, _ = m.set([(cell(4, 1), "i", low)])
    got = m.get([cell(4, r) for r in range(1, 5)])
    step = got[1] - got[0]
    check(status == "" and step > 0, "%s: row 1's frequency := %d spaces the group by %d" % (name, low, step))
    rng = random.Random(46)
    mixes = 0
    for i in range(rounds):
        base = low - 40000 * (i % 2)
        snmp_whole = ([base + k * step for k in range(4)], 200 + 2 * i)
        web_whole = ([base - 3000 + k * step for k in range(4)], 201 + 2 * i)
        answers = {}
        gate = threading.Barrier(2)

        def by_snmp():
            gate.wait(5)
            answers["snmp"] = m.set([(cell(4, 1), "i", snmp_whole[0][0]), (PSI, "i", snmp_whole[1])])[0]

        def by_web():
            gate.wait(5)
            time.sleep(rng.uniform(0, 0.15))
            chans = [{"channel": k, "frequency": f} for k, f in enumerate(web_whole[0])]
            try:
                answers["web"] = webcard.call(pair.web[0], pair.web[1], "SetSubboardParam.w",
                                              {"psiinterval": web_whole[1],
                                               "portlist": [{"port": 0, "channellist": chans}]})["code"]
            except (OSError, ValueError) as e:
                answers["web"] = str(e)
        threads = [threading.Thread(target=f) for f in (by_snmp, by_web)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        conf = pair.confs()[0]
        saved = (list(struct.unpack_from("<4I", conf, 88 + 128)), struct.unpack_from("<H", conf, 22)[0])
        live = (m.get([cell(4, r) for r in range(1, 5)]), (m.get([PSI]) or [None])[0])
        ok = answers == {"snmp": "", "web": 0} and saved == live and live in (snmp_whole, web_whole)
        if not ok:
            mixes += 1
            print("round %d: answers %s, live %s, saved %s; SNMP's %s, web's %s" %
                  (i, answers, live, saved, snmp_whole, web_whole))
    check(mixes == 0, "%s: %d rounds of an SNMP SET and a web change together each end with one whole (%d not)" %
          (name, rounds, mixes))


def get_request(reqid):
    """A v2c GET of sysUpTime.0, BER by hand."""
    def tlv(tag, body):
        n = len(body)
        return bytes([tag]) + (bytes([n]) if n < 128 else bytes([0x82, n >> 8, n & 0xFF])) + body

    def integer(v):
        return tlv(0x02, v.to_bytes(4, "big"))
    vb = tlv(0x30, tlv(0x30, tlv(0x06, bytes([43, 6, 1, 2, 1, 1, 3, 0])) + b"\x05\x00"))
    pdu = tlv(0xA0, integer(reqid) + integer(0) + integer(0) + vb)
    return tlv(0x30, integer(1) + tlv(0x04, b"public") + pdu)


def answer_id(data):
    """The request id of a v2c response, or None."""
    def tlv(at):
        n, at = data[at + 1], at + 2
        if n & 0x80:
            k = n & 0x7F
            n, at = int.from_bytes(data[at:at + k], "big"), at + k
        return n, at
    try:
        _, at = tlv(0)          # message
        n, at = tlv(at)         # version
        n, at = tlv(at + n)     # community
        _, at = tlv(at + n)     # PDU
        n, at = tlv(at)         # request id
        return int.from_bytes(data[at:at + n], "big", signed=True)
    except IndexError:
        return None


def burst(card, count):
    """count GETs one after another, each sent up to six times 1 s apart as
    a manager does by default (longer apart for a slow build); the number
    answered (a late answer to an earlier GET does not count for a later one)."""
    host, port = card.agent.split(":")
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    answered = 0
    try:
        for i in range(count):
            got = False
            for _ in range(6):
                s.sendto(get_request(i + 1), (host, int(port)))
                end = time.monotonic() + 1.0 * webcard.SLOW
                while not got and time.monotonic() < end:
                    s.settimeout(max(0.01, end - time.monotonic()))
                    try:
                        got = answer_id(s.recv(2048)) == i + 1
                    except socket.timeout:
                        break
                if got:
                    answered += 1
                    break
    finally:
        s.close()
    return answered


def main():
    build = sys.argv[1]
    top = tempfile.mkdtemp(prefix="modcard-snmpset-")
    pairs = {}
    try:
        for board_type, name, slot in ((0, "DTMB", 7), (2, "DVB-C", 8), (5, "8VSB", 9)):
            pairs[name] = Pair(build, top, name.lower(), board_type, slot)
            pairs[name].start()
        for name, pair in pairs.items():
            missing = pair.up()
            check(not missing, name + ": agent answers and the slave holds the master's set" + missing)

        out = subprocess.run(["ss", "-ltnup"], capture_output=True, text=True).stdout
        wide = [l for l in out.splitlines() if "modcard" in l and l.split()[4].startswith(("0.0.0.0:", "*:"))]
        check(not wide, "no socket of modcard on every address: %s" % wide)

        dtmb = pairs["DTMB"]
        second = dtmb.master.get([cell(4, 5)])[0]
        refusals(dtmb, "DTMB", [
            (cell(2, 3), "i", 99, "wrongValue"),
            (PSI, "i", 49, "wrongValue"),
            (PSI, "i", 10001, "wrongValue"),
            (cell(5, 2), "i", 4, "inconsistentValue"),
            (cell(4, 1), "i", second - 8000, "inconsistentValue"),
            (cell(8, 1), "i", 0, "inconsistentValue"),
            (cell(25, 1), "i", 1, "inconsistentValue"),
        ])
        power = 30 if dtmb.master.get([cell(2, 1)]) != [30] else 40
        accepted(dtmb, "DTMB", cell(2, 1), "i", power, lambda c: c.get([cell(2, 8)]) == [power])
        mixed(dtmb, "DTMB", [
            ([(PSI, "i", 200), (cell(2, 1), "i", 99)], "wrongValue"),
            ([(cell(2, 1), "i", 35), (PSI, "i", 49)], "wrongValue"),
            ([(PSI, "i", 200), (cell(5, 2), "i", 4)], "inconsistentValue"),
            ([(PSI, "i", 200), (cell(1, 1), "i", 3)], "notWritable"),
            ([(PSI, "i", 200), (cell(2, 1), "s", "35")], "wrongType"),
            ([(cell(2, 1), "i", 35), (PSI, "s", "200")], "wrongType"),
            ([(cell(2, 1), "i", 35), (PSI, "i", 200), (REBOOT, "i", 1)], "wrongValue"),
            ([(REBOOT, "i", 0), (cell(3, 1), "i", 7)], "wrongValue"),
            ([(REBOOT, "i", 0), (PSI, "i", 200), (cell(6, 1), "i", 3)], "wrongValue"),
        ], 6, 1 if dtmb.master.get([cell(6, 1)]) != [1] else 2)
        race(dtmb, "DTMB", 30)

        dvbc = pairs["DVB-C"]
        refusals(dvbc, "DVB-C", [
            (cell(13, 1), "i", 5, "wrongValue"),
            (cell(14, 1), "i", 7000, "wrongValue"),
            (cell(5, 1), "i", 3, "inconsistentValue"),
            (cell(26, 1), "s", "CH2-57MHz", "inconsistentValue"),
        ])
        accepted(dvbc, "DVB-C", cell(13, 5), "i", 4, lambda c: c.get([cell(13, 8)]) == [4])
        mixed(dvbc, "DVB-C", [
            ([(PSI, "i", 300), (cell(13, 1), "i", 5)], "wrongValue"),
            ([(cell(13, 5), "i", 2), (PSI, "i", 300), (cell(14, 1), "i", 7000)], "wrongValue"),
            ([(PSI, "i", 300), (cell(26, 1), "s", "CH2-57MHz")], "inconsistentValue"),
            ([(cell(13, 1), "i", 2), (REBOOT, "i", 1)], "wrongValue"),
            ([(REBOOT, "i", 0), (PSI, "i", 300), (cell(13, 2), "i", 1)], "inconsistentValue"),
        ], 13, 1 if dvbc.master.get([cell(13, 1)]) != [1] else 2)
        all_good(dvbc, "DVB-C", [(cell(13, 1), "i", 2), (cell(13, 5), "i", 3), (PSI, "i", 300)])

        vsb = pairs["8VSB"]
        accepted(vsb, "8VSB", cell(25, 1), "i", 2,
                 lambda c: c.file_freqs() == [57000, 63000, 69000, 79250, 177000, 183000, 189000, 195000])
        refusals(vsb, "8VSB", [
            (cell(26, 1), "s", "nonexist", "wrongValue"),
            (cell(4, 1), "i", 474000, "inconsistentValue"),
            (cell(8, 1), "i", 0, "inconsistentValue"),
            (cell(15, 1), "i", 1, "inconsistentValue"),
        ])

        # PSI interval: saved by both chips, and after a master restart both
        # still run the value set; a later SET reaches the slave again.
        status, _ = dtmb.master.set([(PSI, "i", 200)])
        check(status == "" and wait_for(lambda: dtmb.psi() == [200, 200], 10),
              "psiInterval := 200 saved by master and slave: %s" % dtmb.psi())
        answered = burst(dtmb.master, 3000)
        size = os.path.getsize(os.path.join(dtmb.master.root, "var/log/snmpd.log"))
        check(answered == 3000 and size < LOG_LIMIT,
              "3000 GETs answered (%d), snmpd.log stays under 1 MiB (%d bytes)" % (answered, size))
        dtmb.master.stop()
        dtmb.master.start(wait_agent=False)
        check(wait_for(lambda: dtmb.master.log().count("Slave chip is working now!!!") >= 2, 60),
              "DTMB: restarted master finds its slave")
        check(dtmb.master.get([PSI]) == [200] and dtmb.psi() == [200, 200],
              "after a master restart both chips keep 200 ms: %s" % dtmb.psi())
        status, _ = dtmb.master.set([(PSI, "i", 100)])
        check(status == "" and wait_for(lambda: dtmb.psi() == [100, 100], 10),
              "psiInterval := 100 reaches both chips: %s" % dtmb.psi())

        # A reboot beside a good varbind: the value is saved, then the card reboots.
        boots = reboots(dvbc)
        dvbc.master.set([(cell(2, 1), "i", 42), (REBOOT, "i", 0)], timeout=10)
        check(wait_for(lambda: reboots(dvbc) > boots, 15), "DVB-C: reboot := 0 beside a good varbind reboots")
        check(dvbc.confs()[0][88 + 160:88 + 168] == bytes([42] * 8),
              "DVB-C: the good varbind beside the reboot is in the parameter file")
    finally:
        for pair in pairs.values():
            pair.stop()
    sa.finish(top)


if __name__ == "__main__":
    main()
