"""The automatic NIT and the NIT import on a DVB-C card of two chips, fed by
input cards in slots 6 and 7, with the slave's SI at its 500 repeated
packets. What a receiver sees is decoded here from the captures (struct,
crcmod); the routing tables from board.state.

- With NIT generation on for every channel and the slave at its limit, the
  automatic NIT (whose NITs of channels 4-7 the slave cannot repeat) and an
  import into channel 4 are refused with 2067 and a description, and nothing
  on air, in either chip's routing or in the saved file changes.
- With NIT generation off for channels 4-7 and an input card's round open (a
  program whose streams have not come, and one held back for a refused PID
  message), the automatic NIT answers 0 with every channel's NIT on air and
  neither program; the round's apply then puts only the whole one on air.
- A NIT rebuilt unchanged keeps its version; an imported one of other
  content steps it whatever version its file carries, the same file again
  keeps it. Every section of a table the carousel cuts into several entries
  (an eight-section NIT and SDT) repeats at one rate.

Usage: python3 nit_changes.py BUILD_DIR
"""
import collections
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402
import capture  # noqa: E402
import webcard  # noqa: E402
from webcard import wait_for  # noqa: E402

build = sys.argv[1]
peers.REPLY_WAIT = 30.0 * peers.slowness(build)
check = webcard.Checks()
SLOT, CARD = 3, "192.168.1.14"
HTTP = ("127.168.1.14", 8080)
REFUSED = 2067
MUX_COMMITTED = 0x104000 + 0x26000 + (2048 + 256) * 8
FLAGS = dict(pat=1, pmt=1, cat=1, sdt=1, nit=1, TDT=0, TOT=0, mgt=0, vct=0, stt=0, vcttype=0)


def web(key, **members):
    try:
        return webcard.call(HTTP[0], HTTP[1], key, members, timeout=60)
    except (OSError, ValueError) as e:
        return {"code": None, "error": str(e)}


def upload(top, channel, sections):
    """ImportSiTable.w of a NIT file (the card's header, then the sections)."""
    data = b"".join(sections)
    path = os.path.join(top, "import.table")
    with open(path, "wb") as f:
        f.write(struct.pack("<7I", 0x2009, 0xEEFD, 0, len(data), capture.CRC32(data), 0, 0) + data)
    out = subprocess.run(["curl", "-s", "-H", "Expect:", "-F", "file=@%s;type=application/octet-stream" % path,
                          "http://%s:%d/ImportSiTable.w?port=0&channel=%d&tableid=64" % (HTTP + (channel,))],
                         capture_output=True, text=True, timeout=120).stdout
    try:
        return json.loads(out)
    except ValueError:
        return {"raw": out}


def nit_sections(version, count, entries_per, pad):
    """A NIT actual of count sections numbered 0..count-1, each with its
    entries carrying one private descriptor of pad bytes."""
    out = []
    for n in range(count):
        loop = b"".join(struct.pack(">HHH", 0x3000 + n * entries_per + k, 0x20, 0xF000 | (pad + 2)) +
                        bytes([0x80, pad]) + bytes([n]) * pad for k in range(entries_per))
        body = struct.pack(">HBBBHH", 0x4321, 0xC1 | (version << 1), n, count - 1, 0xF000, 0xF000 | len(loop)) + loop
        sec = bytes([0x40]) + struct.pack(">H", 0xF000 | (len(body) + 4)) + body
        out.append(sec + struct.pack(">I", capture.CRC32(sec)))
    return out


def unversioned(sec):
    return sec[:5] + bytes([sec[5] & 0xC1]) + sec[6:-4]


def routes(root):
    """(source slot, source PID, output channel, output PID) of the committed mux table."""
    with open(os.path.join(root, "board.state"), "rb") as f:
        f.seek(MUX_COMMITTED)
        words = struct.unpack("<2048Q", f.read(2048 * 8))
    return sorted(((e >> 46) & 0x3F, (e >> 23) & 0x1FFF, (e & 0x7FFFFF) >> 13, e & 0x1FFF) for e in words if e)


class Chassis:
    def __init__(self, master, slave):
        self.roots = {ch: master if ch < 4 else slave for ch in range(8)}
        self.master, self.slave = master, slave

    def size(self, ch):
        try:
            return os.path.getsize(capture.channel(self.roots[ch], ch))
        except OSError:
            return 0

    def marks(self):
        return {ch: self.size(ch) for ch in range(8)}

    def sections(self, ch, since, pid=None, tid=None):
        return [s for p, s in capture.sections(capture.channel(self.roots[ch], ch), since)
                if (pid is None or p == pid) and (tid is None or s[0] == tid)]

    def air(self, marks):
        """Every distinct section (the time tables aside) each channel sent since its mark."""
        return {ch: {(p, s) for p, s in capture.sections(capture.channel(self.roots[ch], ch), marks[ch]) if p != 0x14}
                for ch in range(8)}

    def state(self):
        """The saved output streams and both chips' routing."""
        with open(os.path.join(self.master, "tarvex_data/K9_OutPutTSP.conf"), "rb") as f:
            return f.read(), routes(self.master), routes(self.slave)

    def last_table(self, ch, since, pid, tid):
        """(version, sections by number) of the last table whose every section
        was seen with one version after the mark, or None."""
        secs = self.sections(ch, since, pid, tid)
        for end in range(len(secs) - 1, -1, -1):
            head = secs[end]
            got = {}
            for s in reversed(secs[:end + 1]):
                if s[5] == head[5] and s[7] == head[7] and s[3:5] == head[3:5]:
                    got.setdefault(s[6], s)
            if len(got) == head[7] + 1:
                return (head[5] >> 1) & 0x1F, [got[k] for k in range(head[7] + 1)]
        return None

    def programs(self, ch, since):
        """The last PAT's programs and every SDT service after the mark."""
        pats = self.sections(ch, since, 0, 0x00)
        body = pats[-1][8:-4] if pats else b""
        pat = {struct.unpack_from(">H", body, k)[0]: struct.unpack_from(">H", body, k + 2)[0] & 0x1FFF
               for k in range(0, len(body) - 3, 4)}
        services = set()
        for s in self.sections(ch, since, 0x11, 0x42):
            k = 11
            while k + 5 <= len(s) - 4:
                services.add(struct.unpack_from(">H", s, k)[0])
                k += 5 + (struct.unpack_from(">H", s, k + 3)[0] & 0x0FFF)
        return (pat if pats else None), services


def nit_entries(secs):
    """[(tsid, [descriptor tags])] of a NIT's sections."""
    out = []
    for s in secs:
        pos = 10 + ((s[8] & 0x0F) << 8 | s[9])
        stop = pos + 2 + ((s[pos] & 0x0F) << 8 | s[pos + 1])
        pos += 2
        while pos + 6 <= stop:
            dl = (s[pos + 4] & 0x0F) << 8 | s[pos + 5]
            loop, tags, at = s[pos + 6:pos + 6 + dl], [], 0
            while at + 2 <= len(loop):
                tags.append(loop[at])
                at += 2 + loop[at + 1]
            out.append((s[pos] << 8 | s[pos + 1], tags))
            pos += 6 + dl
    return out


def send(slot, cmd, records, per):
    codes = []
    for k in range(0, len(records), per):
        codes += peers.send_message(CARD, slot, cmd, peers.message(records[k:k + per]))
    return codes


def programs_of(slot, ch, first, count, long_names=False, pid_base=0x100):
    """count programs (ids first..) on a channel, each with PCR and video on a PID of its own."""
    progs, pids = [], []
    for k in range(first, first + count):
        pid = pid_base + 2 * (k - first)
        name = (b"Service %d of channel %d" % (k, ch)).ljust(32, b".") if long_names else b"S%d" % k
        provider = (b"Provider of a long name, ch %d." % ch).ljust(32, b".") if long_names else b"Peer"
        progs.append(peers.program_record(ch, SLOT, slot, ch, k, k, pid + 1, pid, name, provider))
        pids.append(peers.pid_record(ch, SLOT, slot, ch, k, 2 * k, peers.PID_PCR, 0x02, pid))
        pids.append(peers.pid_record(ch, SLOT, slot, ch, k, 2 * k + 1, peers.PID_ES, 0x02, pid))
    return progs, pids


def feed(slot, ch, first, count, long_names=False, stream=True):
    codes = send(slot, peers.SEND_TS, [peers.ts_record(ch, SLOT, 0x100 + ch, 0x20, slot, ch)], 1) if stream else []
    progs, pids = programs_of(slot, ch, first, count, long_names)
    return codes + send(slot, peers.SEND_PROGRAM, progs, 5) + send(slot, peers.SEND_PID, pids, 13)


def apply(slot):
    return peers.send_message(CARD, slot, peers.SEND_TSP_MUX_PROCESS)


def switches(channels, nit):
    return web("SetSubboardPSIPChannel.w", portlist=[{"port": 0, "channellist": [
        {"channel": ch, "enable": 1, "flag": dict(FLAGS, nit=nit)} for ch in channels]}]).get("code")


def counts_equal(ch_secs):
    """Each section number's count; whether they differ by at most one."""
    c = collections.Counter(s[6] for s in ch_secs)
    return dict(sorted(c.items())), bool(c) and max(c.values()) - min(c.values()) <= 1


def refused_unchanged(card, what, request, code_ok):
    """Runs a request that must be refused: what went on air, the routing
    and the saved file before and after it are compared."""
    marks = card.marks()
    time.sleep(2.0 * webcard.SLOW)
    before, state = card.air(marks), card.state()
    r = request()
    marks = card.marks()
    time.sleep(2.5 * webcard.SLOW)
    after = card.air(marks)
    check(code_ok(r), "%s is refused: %s" % (what, {k: r.get(k) for k in ("code", "description")}))
    changed = [ch for ch in range(8) if before[ch] != after[ch]]
    check(not changed and all(before[ch] for ch in range(8)),
          "%s: every channel sends the tables it sent (changed: %s)" % (what, changed))
    check(card.state() == state, "%s: the saved streams and both chips' routing are as they were" % what)


def main():
    top = tempfile.mkdtemp(prefix="modcard-nitchanges-")
    master, slave = os.path.join(top, "master"), os.path.join(top, "slave")
    procs, line = [], None
    try:
        for root, chip in ((master, 0), (slave, 1)):
            subprocess.run([os.path.join(build, "modcard-board"), root, "--board-type", "2", "--chip", str(chip),
                            "--slot", str(SLOT)], check=True, stdout=subprocess.DEVNULL)
        line = peers.chassis_for(master, SLOT)
        procs.append(webcard.launch(build, slave, slave + ".console"))
        check(wait_for(lambda: socket.socket().connect_ex(("127.188.3.111", 8050)) == 0, 20), "slave chip up")
        procs.append(webcard.launch(build, master, master + ".console"))
        check(wait_for(lambda: socket.socket().connect_ex(("127.168.1.14", 8000)) == 0 and
                       web("Beat.w").get("code") == 0, 30), "master's frame and web servers up")
        card = Chassis(master, slave)

        # Channels 4-6: 100 programs of long names each from slot 7; channel 0
        # 100 of them and channels 1-3 two each from slot 6. NIT generation on
        # everywhere (no channel has a NIT yet).
        codes = []
        for ch in (4, 5, 6):
            codes += feed(7, ch, 1, 100, long_names=True)
        codes += apply(7)
        codes += feed(6, 0, 1, 100, long_names=True)
        for ch in (1, 2, 3):
            codes += feed(6, ch, 1000 * ch, 2)
        codes += feed(6, 7, 1, 1) + apply(6)
        check(set(codes) == {peers.SUCCESS}, "the streams are fed and applied: 1")
        check(switches(range(8), 1) == 0, "NIT generation on for channels 0-7")
        # Channel 7 takes programs until the slave repeats all it can: the
        # apply leaves out what does not fit and says so.
        codes = feed(6, 7, 2, 80, stream=False) + apply(6)
        check(codes[-1] == REFUSED, "channel 7 is filled until the slave's SI is full: the apply answers %s" % codes[-1])

        # At the limit: the NITs of channels 4-7 cannot go on air beside what is.
        refused_unchanged(card, "the automatic NIT at the slave's limit", lambda: web("AutoGenerateNITDescriptor.w"),
                          lambda r: r.get("code") == REFUSED and r.get("description"))
        big = nit_sections(3, 8, 3, 250)
        refused_unchanged(card, "an eight-section NIT imported into channel 4", lambda: upload(top, 4, big),
                          lambda r: r.get("code") == REFUSED and r.get("description"))

        # NIT generation off for channels 4-7; an open round on channel 2: 2002
        # without its streams yet, 2003 whose PID message is refused.
        check(switches(range(4, 8), 0) == 0, "NIT generation off for channels 4-7")
        prog, pids = programs_of(6, 2, 2002, 2, pid_base=0x700)
        opened = send(6, peers.SEND_PROGRAM, prog, 5)
        over = [peers.pid_record(2, SLOT, 6, 2, 2003, 100 + k, peers.PID_ES, 0x02, 0x740 + k) for k in range(14)]
        opened += peers.send_message(CARD, 6, peers.SEND_PID, peers.message(over), attempts=1)
        check(opened[:4] == [1, 1, 1, 1] and opened[-1] != 1, "2002 and 2003 sent, 2003's PID message refused: %s"
              % opened)
        routed = (routes(master), routes(slave))
        marks = card.marks()
        r = web("AutoGenerateNITDescriptor.w")
        tsids = sorted(0x100 + ch for ch in range(8))

        def nits_on_air(since):
            got = {ch: card.last_table(ch, since[ch], 0x10, 0x40) for ch in range(4)}
            ok = all(t and sorted(e[0] for e in nit_entries(t[1])) == tsids and
                     all(e[1] == [0x44] for e in nit_entries(t[1])) for t in got.values())
            return ok, got
        wait_for(lambda: nits_on_air(marks)[0], 15)
        ok, got = nits_on_air(marks)
        check(r.get("code") == 0 and ok, "the automatic NIT answers %s and every NIT of channels 0-3 describes the "
              "eight streams with their cable delivery descriptors" % r.get("code"))
        version = got[0][0] if got[0] else 0
        time.sleep(1.5 * webcard.SLOW)
        pat, services = card.programs(2, marks[2])
        check(pat is not None and set(pat) == {2000, 2001} and services == {2000, 2001} and
              not card.sections(2, marks[2], 0x701) and not card.sections(2, marks[2], 0x703),
              "channel 2's PAT %s and SDT %s name neither 2002 nor 2003, whose PMTs are not sent" %
              (sorted(pat or []), sorted(services)))
        check((routes(master), routes(slave)) == routed and not any(card.sections(ch, marks[ch], 0x10)
                                                                       for ch in range(4, 8)),
              "nothing is routed for them, and channels 4-7 send no NIT")

        marks = card.marks()
        r = web("AutoGenerateNITDescriptor.w")
        wait_for(lambda: nits_on_air(marks)[0], 15)
        kept = {t[0] if t else None for t in nits_on_air(marks)[1].values()}
        check(r.get("code") == 0 and kept == {version}, "an unchanged automatic NIT keeps version %d: %s" %
              (version, kept))

        # Channel 3 imports eight sections of other content under the version
        # on air; they go on air with the next, and all of them at one rate.
        mine = nit_sections(version, 8, 3, 250)
        marks = card.marks()
        r = upload(top, 3, mine)
        want = [unversioned(s) for s in mine]

        def imported(since):
            t = card.last_table(3, since[3], 0x10, 0x40)
            return t if t and [unversioned(s) for s in t[1]] == want else None
        wait_for(lambda: imported(marks), 15)
        t = imported(marks)
        check(r.get("code") == 0 and (r.get("data") or {}).get("importdelay") == 5 and t is not None and
              t[0] == (version + 1) % 32, "the import answers %s; channel 3 sends its eight sections with version %s "
              "(on air %d)" % (r.get("code"), t and t[0], version))
        marks = card.marks()
        r = upload(top, 3, mine)
        wait_for(lambda: imported(marks), 15)
        time.sleep(1.0 * webcard.SLOW)
        t = imported(marks)
        check(r.get("code") == 0 and t is not None and t[0] == (version + 1) % 32,
              "the same file again keeps version %s: %s" % ((version + 1) % 32, t and t[0]))
        marks = card.marks()
        time.sleep(4.0 * webcard.SLOW)
        nit, nit_ok = counts_equal(card.sections(3, marks[3], 0x10, 0x40))
        sdt, sdt_ok = counts_equal(card.sections(0, marks[0], 0x11, 0x42))
        check(nit_ok and len(nit) == 8, "channel 3's NIT sections go out equally often: %s" % nit)
        check(sdt_ok and len(sdt) == 8, "channel 0's SDT sections go out equally often: %s" % sdt)
        pat, services = card.programs(2, marks[2])
        check(pat is not None and set(pat) == {2000, 2001}, "channel 2 still carries neither 2002 nor 2003")

        # The round ends: 2002's streams come; 2003 stays out, the apply says so.
        codes = send(6, peers.SEND_PID, pids[:2], 13)
        marks = card.marks()
        codes += apply(6)
        wait_for(lambda: 2002 in (card.programs(2, marks[2])[0] or {}), 10)
        time.sleep(1.0 * webcard.SLOW)
        pat, services = card.programs(2, marks[2])
        check(codes == [1, REFUSED] and pat is not None and set(pat) == {2000, 2001, 2002} and
              card.sections(2, marks[2], 0x701), "the round's apply answers %s: 2002 goes on air whole, 2003 not (%s)"
              % (codes, sorted(pat or [])))
        check(all(p.poll() is None for p in procs), "both chips still run")

        # The master restarted sends the same from its saved file.
        webcard.stop(procs.pop())
        for ch in range(4):
            os.rename(capture.channel(master, ch), capture.channel(master, ch) + ".before")
        procs.append(webcard.launch(build, master, master + ".restart.console"))
        marks = {ch: 0 for ch in range(8)}
        again = {}

        def back():
            again["nit"] = imported(marks)
            again["pat"] = card.programs(2, 0)[0]
            return again["nit"] is not None and set(again["pat"] or []) == {2000, 2001, 2002}
        check(wait_for(back, 40) and again["nit"][0] == (version + 1) % 32,
              "after a restart of the master channel 3 sends the imported NIT with version %s and channel 2 "
              "2000-2002: %s %s" % ((version + 1) % 32, again.get("nit") and again["nit"][0],
                                    sorted(again.get("pat") or [])))
    finally:
        for p in procs:
            webcard.stop(p)
        if line is not None:
            line.stop()
        if check.failed:
            print("board roots kept in " + top)
        else:
            shutil.rmtree(top, ignore_errors=True)
    print("FAILED %d" % check.failed if check.failed else "PASSED")
    sys.exit(1 if check.failed else 0)


main()
