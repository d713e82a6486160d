"""Two browsers (two sequences of web calls) and an input card on one running
master: a page's edits and its apply reach only what the page showed. Every
road that changes the streams under a loaded page is walked (the input card's
feed, delete and apply, DeleteTSConfig.w, ClearAllParam.w, an SNMP SET, a NIT
import, the other browser's load and apply), once by pages that send the
working copy's revision back and once by pages that do not. Each apply that
answers 0 has its edits in the live view, in the saved output-stream file
(decoded here) and on air (PAT, SDT and PMT decoded here from the captures);
each refused edit or apply (783) changed nothing; no fed program is lost or
comes back.

Usage: python3 web_pages.py BUILD_DIR

The card runs on slot 11 (own address 127.168.1.22, HTTP port 18022, SNMP
agent 127.168.1.22:16161) without a slave chip; the input card is slot 5 on
127.168.1.30.
"""
import copy
import json
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time

import crcmod

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402
import capture  # noqa: E402
import webcard  # noqa: E402
from webcard import wait_for  # noqa: E402

SLOT, ADDR, CARD, PORT = 11, "127.168.1.22", "192.168.1.22", 18022
IC_SLOT, IC_ADDR = 5, "192.168.1.30"
PSI_OID = "1.3.6.1.4.1.32473.8.2.1.0"
CRC32 = crcmod.mkCrcFun(0x104C11DB7, initCrc=0xFFFFFFFF, rev=False, xorOut=0)
build = os.path.abspath(sys.argv[1])
check = webcard.Checks()
# What the input card feeds: {channel: [(service id, input program id, name)]}.
FEED = {0: [(100, 1, "Peer 100"), (101, 2, "Peer 101")], 1: [(200, 1, "Peer 200"), (201, 2, "Peer 201")],
        2: [(300, 1, "Peer 300"), (301, 2, "Peer 301")], 3: [(600, 1, "F600"), (601, 2, "F601")]}


def call(key, **members):
    try:
        return webcard.call(ADDR, PORT, key, members, timeout=60)
    except (OSError, ValueError) as e:
        return {"code": None, "error": str(e)}


# ---- the input card -------------------------------------------------------

def base_pid(ch, prog_id):
    return 0x200 + 0x100 * ch + 0x20 * prog_id


def feed(ch, programs, stream=False, apply=True):
    """Stream (when asked), programs and their PCR, video and audio PIDs,
    then the input card's apply; True when every frame answered 1."""
    codes = []
    if stream:
        codes += peers.send_message(CARD, IC_SLOT, peers.SEND_TS, peers.message(
            [peers.ts_record(ch, SLOT, 0x100 + ch, 0x20, IC_SLOT, ch + 1)]))
    progs, pids = [], []
    for sid, prog_id, name in programs:
        base = base_pid(ch, prog_id)
        progs.append(peers.program_record(ch, SLOT, IC_SLOT, ch + 1, prog_id, sid, base, base + 1, name.encode()))
        for k, kind, stream_type, pid in ((0, peers.PID_PCR, 0x02, base + 1), (1, peers.PID_ES, 0x02, base + 1),
                                          (2, peers.PID_ES, 0x04, base + 2)):
            pids.append(peers.pid_record(ch, SLOT, IC_SLOT, ch + 1, prog_id, 10 * prog_id + k, kind, stream_type, pid))
    if progs:
        codes += peers.send_message(CARD, IC_SLOT, peers.SEND_PROGRAM, peers.message(progs))
        codes += peers.send_message(CARD, IC_SLOT, peers.SEND_PID, peers.message(pids))
    if apply:
        codes += input_apply()
    return set(codes) == {peers.SUCCESS}


def input_apply():
    return peers.send_message(CARD, IC_SLOT, peers.SEND_TSP_MUX_PROCESS)


def delete(cmd, ch, ident):
    """A deletion record (263 program, 274 PID: the input card's id)."""
    flag = 2 if cmd == 274 else 0
    return peers.send_message(CARD, IC_SLOT, cmd, peers.message([struct.pack("<BBHHH", IC_SLOT, flag, ch + 1, ch,
                                                                             ident)])) == [peers.SUCCESS]


# ---- what is in force: live view, saved file, air -------------------------

def live_view():
    """{channel: {service id: name}} of GetOutputTSStatus.w (channels with programs)."""
    r = call("GetOutputTSStatus.w")
    chans = r["data"]["portlist"][0]["channellist"] if r.get("code") == 0 else []
    return {c["channel"]: {p["serviceid"]: p["servicename"] for p in c["programlist"]} for c in chans
            if c["programlist"]}


def live_es(ch, sid):
    r = call("GetOutputProgramStatus.w", port=0, channel=ch, serviceid=sid)
    return sorted(e["pid"] for e in r["data"]["pids"]["es"]) if r.get("code") == 0 else None


def saved(root):
    """{channel: (tsid, {service id: name}, {service id: ES PIDs})} of K9_OutPutTSP.conf."""
    try:
        with open(os.path.join(root, "tarvex_data/K9_OutPutTSP.conf"), "rb") as f:
            d = f.read()
        n = struct.unpack_from("<5I", d, 8)
    except (OSError, struct.error):
        return {}
    streams, progs, pids, out, owner = 240, 240 + 448 * n[0], 240 + 448 * n[0] + 920 * n[1], {}, {}
    for i in range(n[0]):
        r = d[streams + 448 * i:streams + 448 * (i + 1)]
        if r[14] == 1:
            out[struct.unpack_from("<H", r, 16)[0]] = (struct.unpack_from("<H", r, 10)[0], {}, {})
    for i in range(n[1]):
        r = d[progs + 920 * i:progs + 920 * (i + 1)]
        ch, sid = struct.unpack_from("<H", r, 12)[0], struct.unpack_from("<H", r, 34)[0]
        if r[8] == 1 and ch in out:
            out[ch][1][sid] = r[48:48 + r[46]].decode("latin-1")
            out[ch][2][sid] = []
            owner[i] = (ch, sid)
    for i in range(n[2]):
        r = d[pids + 372 * i:pids + 372 * (i + 1)]
        prog = struct.unpack_from("<I", r, 20)[0]
        if r[8] == 1 and r[40] == peers.PID_ES and prog in owner:
            ch, sid = owner[prog]
            out[ch][2][sid].append(struct.unpack_from("<H", r, 44)[0])
    return {ch: (t, names, {s: sorted(p) for s, p in es.items()}) for ch, (t, names, es) in out.items() if names}


def size(root, ch):
    try:
        return os.path.getsize(capture.channel(root, ch))
    except OSError:
        return 0


def last_sections(root, ch, start):
    """{(pid, table id, first id field): the last CRC-checked section} written
    to a channel's capture after a byte offset."""
    out = {}
    for pid, sec in capture.sections(capture.channel(root, ch), start):
        key = (pid, sec[0], sec[3] << 8 | sec[4])
        out.pop(key, None)
        out[key] = sec
    return out


def on_air(root, ch, start):
    """(tsid, {service id: name}, {service id: ES PIDs}) of the newest PAT, SDT
    and PMTs of a channel after an offset; None while no PAT came."""
    secs = last_sections(root, ch, start)
    pat = [s for (pid, tid, _), s in secs.items() if pid == 0 and tid == 0]
    if not pat:
        return None
    pat = pat[-1]
    tsid, programs = pat[3] << 8 | pat[4], {}
    for i in range(8, len(pat) - 4, 4):
        sid, pmt = struct.unpack_from(">HH", pat, i)
        if sid:
            programs[sid] = pmt & 0x1FFF
    names, es = {}, {}
    sdt = secs.get((0x11, 0x42, tsid))
    pos = 11
    while sdt is not None and pos + 5 <= len(sdt) - 4:
        sid, end = struct.unpack_from(">H", sdt, pos)[0], pos + 5 + ((sdt[pos + 3] & 0x0F) << 8 | sdt[pos + 4])
        d = pos + 5
        while d + 2 <= end:
            if sdt[d] == 0x48:
                name = sdt[d + 4 + sdt[d + 3]:]
                name = name[1:1 + name[0]]
                names[sid] = (name[1:] if name[:1] and name[0] < 0x20 else name).decode("latin-1")
            d += 2 + sdt[d + 1]
        pos = end
    for sid, pmt_pid in programs.items():
        pmt = secs.get((pmt_pid, 0x02, sid))
        if pmt is not None:
            pos = 12 + ((pmt[10] & 0x0F) << 8 | pmt[11])
            pids = []
            while pos + 5 <= len(pmt) - 4:
                pids.append(struct.unpack_from(">H", pmt, pos + 1)[0] & 0x1FFF)
                pos += 5 + ((pmt[pos + 3] & 0x0F) << 8 | pmt[pos + 4])
            es[sid] = sorted(pids)
    return tsid, {s: names.get(s) for s in programs}, es


# ---- the expected state ---------------------------------------------------

class State:
    """What should be in force: per channel the stream id, the programs'
    names and their elementary-stream PIDs."""

    def __init__(self):
        self.ch = {}

    def fed(self, ch, programs, stream=False):
        tsid, names, es = self.ch.get(ch, (0x100 + ch, {}, {}))
        for sid, prog_id, name in programs:
            names[sid] = name
            es[sid] = sorted([base_pid(ch, prog_id) + 1, base_pid(ch, prog_id) + 2])
        self.ch[ch] = (0x100 + ch if stream else tsid, names, es)

    def names(self):
        return {ch: dict(v[1]) for ch, v in self.ch.items() if v[1]}

    def rename(self, ch, sid, name):
        self.ch[ch][1][sid] = name

    def drop(self, ch, sid=None):
        if sid is None:
            self.ch.pop(ch, None)
        else:
            self.ch[ch][1].pop(sid)
            self.ch[ch][2].pop(sid)


def agree(root, want, what, starts):
    """Live view, saved file and air hold exactly the state wanted."""
    names = want.names()
    live = live_view()
    check(live == names, "%s: the live view %s" % (what, "agrees" if live == names else "is %s, not %s" %
                                                   (live, names)))
    es_live = {(ch, sid): live_es(ch, sid) for ch, v in want.ch.items() for sid in v[2]}
    es_want = {(ch, sid): v[2][sid] for ch, v in want.ch.items() for sid in v[2]}
    check(es_live == es_want, "%s: the live program views have the ES PIDs wanted" % what)
    full = {ch: (v[0], v[1], v[2]) for ch, v in want.ch.items() if v[1]}
    got = saved(root)
    check(got == full, "%s: the saved file %s" % (what, "agrees" if got == full else "has %s, not %s" % (got, full)))
    air = {}

    def arrived():
        air.update({ch: on_air(root, ch, starts[ch]) for ch in full})
        return all(air[ch] == full[ch] for ch in full)
    wait_for(arrived, 20)
    bad = {ch: air[ch] for ch in full if air[ch] != full[ch]}
    check(not bad, "%s: PAT, SDT and PMTs on air agree%s" % (what, " (off: %s)" % bad if bad else ""))


def unchanged(root, want, what):
    """After a refusal: the live view and the saved file as they were."""
    names, full = want.names(), {ch: v for ch, v in want.ch.items() if v[1]}
    check(live_view() == names and saved(root) == full, "%s: nothing changed" % what)


# ---- a browser ------------------------------------------------------------

class Browser:
    """One browser's pages: the views it loaded and what it sends back, with
    the revision its views carried or without it."""

    def __init__(self, name, revision):
        self.name, self.revision, self.rev, self.chans = name, revision, None, {}

    def send(self, key, **members):
        """A request of the page; with the revision, the page goes on with
        the one its answer returns."""
        if self.revision:
            members["revision"] = self.rev
        r = call(key, **members)
        if self.revision and isinstance(r.get("data"), dict) and "revision" in r["data"]:
            self.rev = r["data"]["revision"]
        return r

    def load(self):
        r = call("GetSubboardTSInfo.w")
        data = r.get("data") or {}
        self.rev = data.get("revision")
        self.chans = {c["channel"]: c for c in data.get("portlist", [{}])[0].get("channellist", [])}
        return r.get("code")

    def entry(self, ch, sid):
        return next(p for p in self.chans[ch]["programlist"] if p["serviceid"] == sid)

    def rename(self, ch, sid, name):
        """The program page's OK: the program named by what the page showed."""
        return self.send("SetProgramParam.w", port=0, channel=ch, oldserviceid=sid, servicename=name,
                         src=self.entry(ch, sid)["src"]).get("code")

    def ts_ok(self, ch, first_name):
        """The stream page's OK: stream id + 1, the first name edited, the
        page's rows sent back as it holds them."""
        rows = copy.deepcopy(self.chans[ch]["programlist"])
        rows[0]["servicename"] = first_name
        return self.send("SetTsParam.w", port=0, channel=ch, tsid=self.chans[ch]["tsid"] + 1,
                         programlist=rows).get("code")

    def program_page(self, ch, sid):
        r = call("GetTempProgramInfo.w", port=0, channel=ch, serviceid=sid)
        data = r.get("data") or {}
        self.rev = data.get("revision", self.rev)
        return [e["pid"] for e in data.get("pids", {}).get("es", [])]

    def set_es(self, ch, sid, shown, pids):
        es = [{"oldpid": old, "pid": new} for old, new in zip(shown, pids)]
        return self.send("SetProgramParam.w", port=0, channel=ch, oldserviceid=sid, pids={"es": es}).get("code")

    def apply(self):
        return self.send("ApplyAllParam.w").get("code")


def nit_file(top, network_id):
    """An SI table file of one NIT section (network name, one entry)."""
    net = bytes([0x40, 6]) + b"Import"
    loop = struct.pack(">HHH", 0x102, 0x20, 0xF000)
    body = struct.pack(">HBBB", network_id, 0xC1, 0, 0) + struct.pack(">H", 0xF000 | len(net)) + net + \
        struct.pack(">H", 0xF000 | len(loop)) + loop
    sec = bytes([0x40]) + struct.pack(">H", 0xF000 | (len(body) + 4)) + body
    sec += struct.pack(">I", CRC32(sec))
    path = os.path.join(top, "import.table")
    with open(path, "wb") as f:
        f.write(struct.pack("<7I", 0x2009, 0xEEFD, 0, len(sec), CRC32(sec), 0, 0) + sec)
    return path


def import_nit(path, ch):
    out = subprocess.run(["curl", "-s", "-H", "Expect:", "-F", "file=@%s;type=application/octet-stream" % path,
                          "http://%s:%d/ImportSiTable.w?port=0&channel=%d&tableid=64" % (ADDR, PORT, ch)],
                         capture_output=True, text=True, timeout=60).stdout
    try:
        return json.loads(out).get("code")
    except ValueError:
        return None


def snmp(tool, *args):
    return subprocess.run([tool, "-v2c", "-c", "private" if tool == "snmpset" else "public", "-r", "1", "-t", "10",
                           "-Oqv", "%s:16161" % ADDR] + list(args), capture_output=True, text=True,
                          env=dict(os.environ, MIBS="")).stdout.strip()


def psi_saved(root):
    with open(os.path.join(root, "tarvex_data/K9_DTMB.conf"), "rb") as f:
        return struct.unpack_from("<H", f.read(), 22)[0]


# ---- the roads -------------------------------------------------------------

def roads(root, top, want, revision):
    mode = "with the revision" if revision else "without the revision"
    a, b = Browser("A", revision), Browser("B", revision)
    tag = "R" if revision else "N"
    n = [0]

    def name(what):
        n[0] += 1
        return "%s%d %s" % (tag, n[0], what)

    def applied(who, what):
        starts = [size(root, ch) for ch in range(4)]
        r = who.apply()
        check(r == 0, "%s, %s: %s's apply answers 0 (%s)" % (what, mode, who.name, r))
        agree(root, want, "%s, %s" % (what, mode), starts)

    def refused(r, what):
        check(r == 783, "%s, %s: refused with 783 (%s)" % (what, mode, r))
        unchanged(root, want, "%s, %s" % (what, mode))

    # One browser: load, edit, apply.
    check(a.load() == 0 and (a.rev is not None or not revision), "A's page carries the revision: %s" % a.rev)
    new = name("single")
    check(a.rename(0, 100, new) == 0, "A renames service 100")
    want.rename(0, 100, new)
    applied(a, "load, edit, apply")

    # The input card deletes 600, feeds 602 and applies under A's loaded stream page.
    a.load()
    ok = delete(263, 3, 1) and feed(3, [(602, 3, "F602")])
    want.drop(3, 600)
    want.fed(3, [(602, 3, "F602")])
    check(ok, "the input card deletes 600, feeds 602 and applies")
    refused(a.ts_ok(3, "Edited-F600"), "SetTsParam.w of a page that showed [600, 601]")
    check(a.load() == 0 and a.ts_ok(3, "Edited-F601") == 0, "the page loaded again: SetTsParam.w answers 0")
    want.ch[3] = (want.ch[3][0] + 1, want.ch[3][1], want.ch[3][2])
    want.rename(3, 601, "Edited-F601")
    applied(a, "stream page edited again")

    # The ES list: the input card replaces 100's audio PID under A's program page.
    a.load()
    shown = a.program_page(0, 100)
    ok = delete(274, 0, 12) and peers.send_message(CARD, IC_SLOT, peers.SEND_PID, peers.message(
        [peers.pid_record(0, SLOT, IC_SLOT, 1, 1, 13, peers.PID_ES, 0x04, base_pid(0, 1) + 3)])) == [1]
    ok = ok and input_apply() == [1]
    want.ch[0][2][100] = sorted([base_pid(0, 1) + 1, base_pid(0, 1) + 3])
    check(ok, "the input card replaces PID %#x of service 100 by %#x" % (shown[-1], base_pid(0, 1) + 3))
    refused(a.set_es(0, 100, shown, [shown[0], 0x1F1]), "an ES list the program no longer has")
    shown = a.program_page(0, 100)
    check(a.set_es(0, 100, shown, [0x1F0 if p == base_pid(0, 1) + 3 else p for p in shown]) == 0,
          "the program page loaded again: its ES edit answers 0")
    want.ch[0][2][100] = sorted([base_pid(0, 1) + 1, 0x1F0])
    applied(a, "ES list edited again")

    # The other browser loads: A's edit is gone, A's apply is refused.
    a.load()
    check(a.rename(0, 101, name("A")) == 0, "A renames service 101")
    b.load()
    if revision:
        check(a.rename(0, 100, name("A")) == 783, "%s: A's next edit names an older revision: 783" % mode)
    refused(a.apply(), "A's apply after B's load")

    # A edits, B loads and edits, A applies, B applies.
    a.load()
    check(a.rename(0, 100, name("A")) == 0, "A renames service 100")
    b.load()
    new = name("B")
    check(b.rename(0, 101, new) == 0, "B renames service 101")
    refused(a.apply(), "A's apply after B's load and edit")
    if not revision:
        # The card cannot tell whose apply it refused: B's edit is not left
        # for another apply, and B's apply is refused too.
        refused(b.apply(), "B's apply after A's refused one, the card not telling the pages apart")
        b.load()
        new = name("B")
        check(b.rename(0, 101, new) == 0, "B loads again and renames service 101")
    want.rename(0, 101, new)
    applied(b, "B's apply after A's refused one")

    # The other browser's apply: B's page older than A's, or the same copy.
    b.load()
    a.load()
    new = name("A")
    check(a.rename(1, 200, new) == 0, "A renames service 200")
    if revision:
        refused(b.apply(), "B's apply of an older page")
    else:
        check(b.apply() == 0, "%s: B's apply answers 0 and commits the shared copy" % mode)
    want.rename(1, 200, new)
    applied(a, "A's apply after B's")

    # DeleteTSConfig.w of channel 1 under A's edit.
    a.load()
    check(a.rename(0, 100, name("A")) == 0, "A renames service 100")
    check(call("DeleteTSConfig.w", channel=1).get("code") == 0, "B deletes channel 1 (DeleteTSConfig.w)")
    want.drop(1)
    refused(a.apply(), "A's apply after DeleteTSConfig.w")
    check(feed(1, FEED[1], stream=True), "the input card feeds channel 1 again")
    want.fed(1, FEED[1], stream=True)
    a.load()
    new = name("A")
    check(a.rename(0, 100, new) == 0, "A loads again and renames service 100")
    want.rename(0, 100, new)
    applied(a, "edit made again after DeleteTSConfig.w")

    # The input card feeds under A's edit without applying; then deletes and applies.
    a.load()
    check(a.rename(0, 101, name("A")) == 0, "A renames service 101")
    check(feed(3, [(603, 4, "F603")], apply=False), "the input card feeds 603")
    want.fed(3, [(603, 4, "F603")])
    check(a.apply() == 783, "%s: A's apply after the feed: 783" % mode)
    check(live_view() == want.names(), "the fed program stays, nothing else changed")
    a.load()
    new = name("A")
    check(a.rename(0, 101, new) == 0, "A loads again and renames service 101")
    want.rename(0, 101, new)
    applied(a, "edit made again after the feed")
    a.load()
    check(a.rename(0, 100, name("A")) == 0, "A renames service 100")
    check(delete(263, 3, 4) and input_apply() == [1], "the input card deletes 603 and applies")
    want.drop(3, 603)
    refused(a.apply(), "A's apply after the input card's deletion")

    # The input card's apply alone, and an SNMP SET: A's edits stay committable.
    a.load()
    new = name("A")
    check(a.rename(2, 300, new) == 0 and input_apply() == [1], "A renames service 300; the input card applies")
    want.rename(2, 300, new)
    applied(a, "the input card's apply under A's edit")
    a.load()
    new, psi = name("A"), 150 if revision else 170
    check(a.rename(2, 301, new) == 0, "A renames service 301")
    check(snmp("snmpset", PSI_OID, "i", str(psi)) == str(psi), "an SNMP SET of the PSI interval (%d)" % psi)
    want.rename(2, 301, new)
    applied(a, "an SNMP SET under A's edit")
    check(snmp("snmpget", PSI_OID) == str(psi) and psi_saved(root) == psi, "the SET's interval is still in force")

    # A NIT import under A's edit: it keeps an edit of another table (without
    # the revision) and drops a NIT edit of the channel it replaces.
    path = nit_file(top, 0x3039)
    a.load()
    new = name("A")
    check(a.rename(0, 100, new) == 0, "A renames service 100")
    check(import_nit(path, 2) == 0, "B imports a NIT into channel 2")
    if revision:
        refused(a.apply(), "A's apply after the import")
    else:
        want.rename(0, 100, new)
        applied(a, "the import under A's edit")
    a.load()
    check(a.send("AddNITNetwork.w", port=0, channel=2, tag="40", data="A-net").get("code") == 0 and
          a.rename(2, 300, name("A")) == 0, "A edits channel 2's NIT and renames service 300")
    check(import_nit(path, 2) == 0, "B imports the NIT into channel 2 again")
    refused(a.apply(), "A's apply after an import over its NIT edit")

    # ClearAllParam.w under A's edit; the input card feeds everything again.
    a.load()
    check(a.rename(0, 100, name("A")) == 0, "A renames service 100")
    check(call("ClearAllParam.w").get("code") == 0, "B clears every stream (ClearAllParam.w)")
    want.ch.clear()
    refused(a.apply(), "A's apply after ClearAllParam.w")
    ok = True
    for ch, progs in FEED.items():
        ok = feed(ch, progs, stream=True) and ok
        want.fed(ch, progs, stream=True)
    check(ok, "the input card feeds every channel again")


def main():
    top = tempfile.mkdtemp(prefix="web_pages.")
    root = os.path.join(top, "master")
    proc = ic = line = None
    stop = threading.Event()
    try:
        webcard.make_board(build, root, SLOT, PORT, "--slave-chip", "0")
        line = peers.chassis_for(root, SLOT)
        ic = peers.input_card(peers.chassis(IC_ADDR), IC_SLOT)
        proc = webcard.launch(build, root, root + ".console")
        check(webcard.wait_up(proc, lambda: call("Beat.w").get("code") == 0), "the card answers Beat.w")
        check(peers.announce(CARD, IC_SLOT, IC_ADDR) == [1], "the input card is announced")
        want = State()
        ok = True
        for ch, progs in FEED.items():
            ok = feed(ch, progs, stream=True) and ok
            want.fed(ch, progs, stream=True)
        check(ok, "the input card feeds four channels and applies")
        threading.Thread(target=peers.answer_deletions, args=(ic, CARD, IC_SLOT, stop), daemon=True).start()
        # Without the revision first: pages that send it leave notes of the
        # edits they dropped for callers that do not.
        for revision in (False, True):
            roads(root, top, want, revision)
        check(proc.poll() is None, "modcard still runs")
    finally:
        stop.set()
        webcard.tear_down(top, check.failed, proc, ic, line)
    print("FAILED %d" % check.failed if check.failed else "all passed")
    sys.exit(1 if check.failed else 0)


main()
