"""The working copy's revision is the version of what a page shows, on a DVB-C
card of two chips fed by an input card. For every edit command (the stream,
program and ES pages, other PIDs, NIT entries and descriptors, the TOT, the
PAT PID, the table switches and the automatic NIT) two pages shown the same
state edit it: the first is answered 0 with a new revision and goes on with
it, the second is refused (783) and changes nothing, and what the first one's
apply puts in force is read back in the live view, the saved output-stream
file and on air (decoded here). What shows nothing new (the input card's bare
apply, a restart of the slave chip, a page's own switch change or automatic
NIT, the NIT on air imported again) leaves a page's revision usable, and the
NITs on air keep their versions. Answers other than 0 carry the revision the
page goes on with (a refusal the one it sent, a change in force but not saved
the one after it), but a 783. Views give a usable revision and show
what is on air right after a start and after a restart of the whole chassis,
where a revision from before it is refused. Members of the wrong type,
fractions and numbers past their field are refused (774) and change nothing.
Pages that send no revision are refused where the card cannot tell them
apart, and a refused edit is never put on air by another page's apply.

Usage: python3 web_revision.py BUILD_DIR

The card runs on slot 11 (own address 127.168.1.22, HTTP port 18022) with its
slave chip; the input card is slot 5 on 127.168.1.30.
"""
import copy
import os
import shutil
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

SLOT, ADDR, CARD, PORT = 11, "127.168.1.22", "192.168.1.22", 18022
IC_SLOT, IC_ADDR = 5, "192.168.1.30"
CHANNELS = (0, 1, 2)
PID_OTHER = 7
MUX_COMMITTED = 0x104000 + 0x26000 + (2048 + 256) * 8
build = os.path.abspath(sys.argv[1])
check = webcard.Checks()


def call(key, **members):
    try:
        return webcard.call(ADDR, PORT, key, members, timeout=60)
    except (OSError, ValueError) as e:
        return {"code": None, "error": str(e)}


def data(r):
    return r.get("data") if isinstance(r.get("data"), dict) else {}


# ---- the chassis: master, slave, back board, input card -------------------

class Chassis:
    def __init__(self, top):
        self.root, self.slave_root = os.path.join(top, "master"), os.path.join(top, "slave")
        webcard.make_board(build, self.root, SLOT, PORT)
        subprocess.run([os.path.join(build, "modcard-board"), self.slave_root, "--chip", "1", "--board-type", "2",
                        "--slot", str(SLOT)], check=True, stdout=subprocess.DEVNULL)
        self.line = peers.chassis_for(self.root, SLOT)
        self.master = self.slave = None

    def log(self):
        try:
            with open(os.path.join(self.root, "tarvex_data/log/K9_Modulate.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def start_slave(self):
        self.slave = subprocess.Popen([os.path.join(build, "modcard")], env=dict(os.environ, MODCARD_ROOT=self.slave_root),
                                      stdout=open(self.slave_root + ".console", "a"), stderr=subprocess.STDOUT)

    def slave_seen(self, before):
        return wait_for(lambda: self.log().count("Slave chip is working now!!!") > before, 60)

    def start(self):
        seen = self.log().count("Slave chip is working now!!!")
        self.start_slave()
        self.master = webcard.launch(build, self.root, self.root + ".console")
        up = webcard.wait_up(self.master, lambda: call("Beat.w").get("code") == 0)
        return up and self.slave_seen(seen) and peers.announce(CARD, IC_SLOT, IC_ADDR) == [1]

    def restart_slave(self):
        line = "Slave chip started again: pushing the master's state"
        seen = self.log().count(line)
        webcard.stop(self.slave)
        self.start_slave()
        return wait_for(lambda: self.log().count(line) > seen, 60)

    def stop(self):
        for p in (self.master, self.slave):
            if p is not None and p.poll() is None:
                webcard.stop(p)


def base_pid(ch, prog_id):
    return 0x200 + 0x100 * ch + 0x20 * prog_id


OTHER = {ch: 0x1E0 + ch for ch in CHANNELS}


def feed(ch):
    """The stream of a channel, two programs (PCR, video and audio PIDs) and
    one other PID, then the input card's apply; True when all answered 1."""
    codes = peers.send_message(CARD, IC_SLOT, peers.SEND_TS, peers.message(
        [peers.ts_record(ch, SLOT, 0x100 + ch, 0x20, IC_SLOT, ch + 1)]))
    progs, pids = [], []
    for k in (1, 2):
        base, sid = base_pid(ch, k), 100 * (ch + 1) + k - 1
        progs.append(peers.program_record(ch, SLOT, IC_SLOT, ch + 1, k, sid, base, base + 1, b"Peer %d" % sid))
        for n, kind, stype, pid in ((0, peers.PID_PCR, 2, base + 1), (1, peers.PID_ES, 2, base + 1),
                                    (2, peers.PID_ES, 4, base + 2)):
            pids.append(peers.pid_record(ch, SLOT, IC_SLOT, ch + 1, k, 10 * k + n, kind, stype, pid))
    pids.append(peers.pid_record(ch, SLOT, IC_SLOT, ch + 1, 0, 99, PID_OTHER, 6, OTHER[ch]))
    codes += peers.send_message(CARD, IC_SLOT, peers.SEND_PROGRAM, peers.message(progs))
    codes += peers.send_message(CARD, IC_SLOT, peers.SEND_PID, peers.message(pids))
    return set(codes + input_apply()) == {peers.SUCCESS}


def input_apply():
    return peers.send_message(CARD, IC_SLOT, peers.SEND_TSP_MUX_PROCESS)


# ---- sections, decoded here -----------------------------------------------

def bcd(b, digits):
    return int("".join("%02x" % x for x in b)[:digits])


def nit_entries(secs):
    """[(tsid, [(MHz, modulation) of each cable descriptor])] of NIT sections."""
    out = []
    for s in secs:
        pos = 10 + ((s[8] & 0x0F) << 8 | s[9])
        stop = pos + 2 + ((s[pos] & 0x0F) << 8 | s[pos + 1])
        pos += 2
        while pos + 6 <= stop:
            end = pos + 6 + ((s[pos + 4] & 0x0F) << 8 | s[pos + 5])
            descs, at = [], pos + 6
            while at + 2 <= end:
                if s[at] == 0x44 and s[at + 1] == 11:
                    descs.append((bcd(s[at + 2:at + 6], 8) // 10000, s[at + 8]))
                at += 2 + s[at + 1]
            out.append((s[pos] << 8 | s[pos + 1], descs))
            pos = end
    return out


def tot_offset(s):
    """(country, "hh:mm") of a TOT section's first local time offset."""
    pos, end = 10, 10 + ((s[8] & 0x0F) << 8 | s[9])
    while pos + 2 <= end:
        if s[pos] == 0x58 and s[pos + 1] >= 13:
            d = s[pos + 2:]
            return d[0:3].decode("latin-1"), "%02x:%02x" % (d[4], d[5])
        pos += 2 + s[pos + 1]
    return None


def sdt_names(sdt):
    names, pos = {}, 11
    while sdt is not None and pos + 5 <= len(sdt) - 4:
        sid, end = struct.unpack_from(">H", sdt, pos)[0], pos + 5 + ((sdt[pos + 3] & 0x0F) << 8 | sdt[pos + 4])
        d = pos + 5
        while d + 2 <= end:
            if sdt[d] == 0x48:
                name = sdt[d + 4 + sdt[d + 3]:]
                names[sid] = name[1:1 + name[0]].decode("latin-1")
            d += 2 + sdt[d + 1]
        pos = end
    return names


def pmt_pids(pmt):
    pos, pids = 12 + ((pmt[10] & 0x0F) << 8 | pmt[11]), []
    while pos + 5 <= len(pmt) - 4:
        pids.append(struct.unpack_from(">H", pmt, pos + 1)[0] & 0x1FFF)
        pos += 5 + ((pmt[pos + 3] & 0x0F) << 8 | pmt[pos + 4])
    return sorted(pids)


def nit_on_air(root, ch, start=0):
    """{section number: section} of the NIT sections a channel sent last
    (after an offset)."""
    return {sec[6]: sec for pid, sec in capture.sections(capture.channel(root, ch), start)
            if pid == 0x10 and sec[0] == 0x40}


def nit_versions(secs):
    return sorted({(s[5] >> 1) & 0x1F for s in secs.values()})


# ---- what is in force: the live view, the saved file and the air ----------

def saved(root):
    """{channel: {tsid, pat, tot_on, names, es, others, nit, tot}} of K9_OutPutTSP.conf."""
    try:
        with open(os.path.join(root, "tarvex_data/K9_OutPutTSP.conf"), "rb") as f:
            d = f.read()
        n = struct.unpack_from("<5I", d, 8)
    except (OSError, struct.error):
        return {}
    at = [240]
    for count, size in zip(n, (448, 920, 372, 1184)):
        at.append(at[-1] + count * size)
    rec = [lambda i, k=k, size=size: d[at[k] + size * i:at[k] + size * (i + 1)]
           for k, size in enumerate((448, 920, 372, 1184))]
    out, chan_of, owner = {}, {}, {}

    def chain(first):
        secs, i = [], first
        while i < n[3] and len(secs) < n[3]:
            t = rec[3](i)
            if t[8] != 1:
                break
            secs.append(t[32:32 + 3 + ((t[33] & 0x0F) << 8 | t[34])])
            i = struct.unpack_from("<H", t, 14)[0]
        return secs
    for i in range(n[0]):
        r = rec[0](i)
        if r[14] != 1:
            continue
        ch = struct.unpack_from("<H", r, 16)[0]
        nit_at, tot_at, pat = struct.unpack_from("<H", r, 36)[0], struct.unpack_from("<H", r, 42)[0], \
            struct.unpack_from("<H", r, 78)[0]
        tot = chain(tot_at)
        out[ch] = dict(tsid=struct.unpack_from("<H", r, 10)[0], pat=pat, tot_on=r[71], names={}, es={}, others=[],
                       nit=nit_entries(chain(nit_at)), tot=tot_offset(tot[0]) if tot else None)
        chan_of[i] = ch
    for i in range(n[1]):
        r = rec[1](i)
        ch, sid = struct.unpack_from("<H", r, 12)[0], struct.unpack_from("<H", r, 34)[0]
        if r[8] == 1 and ch in out:
            out[ch]["names"][sid] = r[48:48 + r[46]].decode("latin-1")
            out[ch]["es"][sid] = []
            owner[i] = (ch, sid)
    for i in range(n[2]):
        r = rec[2](i)
        prog, ts, pid = struct.unpack_from("<I", r, 20)[0], struct.unpack_from("<I", r, 16)[0], \
            struct.unpack_from("<H", r, 44)[0]
        if r[8] == 1 and r[40] == peers.PID_ES and prog in owner:
            out[owner[prog][0]]["es"][owner[prog][1]].append(pid)
        elif r[8] == 1 and r[40] == PID_OTHER and ts in chan_of:
            out[chan_of[ts]]["others"].append(pid)
    for v in out.values():
        v["es"] = {s: sorted(p) for s, p in v["es"].items()}
    return out


def size(root, ch):
    try:
        return os.path.getsize(capture.channel(root, ch))
    except OSError:
        return 0


def routes(root):
    """{channel: output PIDs} of the committed mux table of the master."""
    with open(os.path.join(root, "board.state"), "rb") as f:
        f.seek(MUX_COMMITTED)
        words = struct.unpack("<2048Q", f.read(2048 * 8))
    out = {}
    for e in words:
        if e:
            dst = e & 0x7FFFFF
            out.setdefault(dst >> 13, set()).add(dst & 0x1FFF)
    return out


def on_air(root, ch, start, want):
    """What the newest tables of a channel written after an offset say, for
    the fields of want: tsid and names (PAT on its PID, SDT), es (PMTs),
    nit, tot; others from the committed mux table."""
    secs = {}
    for pid, sec in capture.sections(capture.channel(root, ch), start):
        secs[(pid, sec[0], sec[3] << 8 | sec[4], sec[6])] = sec
    got = {}
    pat = [s for (pid, tid, _, _), s in secs.items() if pid == want.get("pat", 0) and tid == 0]
    if pat:
        pat = pat[-1]
        got["tsid"] = pat[3] << 8 | pat[4]
        progs = {struct.unpack_from(">H", pat, i)[0]: struct.unpack_from(">H", pat, i + 2)[0] & 0x1FFF
                 for i in range(8, len(pat) - 4, 4)}
        progs.pop(0, None)
        sdt = secs.get((0x11, 0x42, got["tsid"], 0))
        names = sdt_names(sdt)
        got["names"] = {s: names.get(s) for s in progs}
        got["es"] = {s: pmt_pids(secs[(p, 2, s, 0)]) for s, p in progs.items() if (p, 2, s, 0) in secs}
    nit = sorted(((k[3], s) for k, s in secs.items() if k[0] == 0x10 and k[1] == 0x40))
    got["nit"] = nit_entries([s for _, s in nit]) if nit else []
    tot = [s for k, s in secs.items() if k[0] == 0x14 and k[1] == 0x73]
    got["tot"] = tot_offset(tot[-1]) if tot else None
    if "others" in want:
        got["others"] = sorted(p for p in want["others"] if p in routes(root).get(ch, set()))
    return {k: got.get(k) for k in want if k not in ("pat", "tot_on")}


def live(ch, want):
    """The live view of the fields of want: names (GetOutputTSStatus.w), es
    (GetOutputProgramStatus.w), others (GetOutputTSDetailStatus.w); the stream
    id, PAT PID, NIT and TOT from the views of the working copy, which an
    apply has just opened again from the live database."""
    got = {}
    st = data(call("GetOutputTSStatus.w")).get("portlist", [{}])[0].get("channellist", [])
    got["names"] = {p["serviceid"]: p["servicename"] for c in st if c["channel"] == ch for p in c["programlist"]}
    got["es"] = {}
    for sid in got["names"]:
        es = data(call("GetOutputProgramStatus.w", port=0, channel=ch, serviceid=sid)).get("pids", {}).get("es", [])
        got["es"][sid] = sorted(e["pid"] for e in es)
    detail = data(call("GetOutputTSDetailStatus.w", port=0, channel=ch)).get("pidlist", [])
    got["others"] = sorted(e["pid"] for e in detail if e["type"] == "Other")
    got["tsid"] = data(call("GetTempTSInfo.w", port=0, channel=ch)).get("tsid")
    got["pat"] = data(call("GetPAT.w", port=0, channel=ch)).get("pid")
    nit = data(call("GetNIT.w", port=0, channel=ch)).get("streamList", [])
    got["nit"] = [(e["tsid"], [(int(d["frequency"]) // 1000, int(d["data"][12:14], 16)) for d in e["descriptors"]
                               if d["tag"] == "44"]) for e in nit]
    t = data(call("GetTOTLocaltimeoffsetDescriptor.w", port=0, channel=ch)).get("streamList", [{}])[0]
    got["tot"] = (bytes.fromhex(t["CountryCode"]).decode("latin-1"), t["LocalTimeOffset"]) if "CountryCode" in t \
        else None
    return got


class Want:
    """What should be in force, per channel."""

    def __init__(self):
        self.ch = {}
        for ch in CHANNELS:
            sids = [100 * (ch + 1), 100 * (ch + 1) + 1]
            self.ch[ch] = dict(tsid=0x100 + ch, pat=0, tot_on=0, names={s: "Peer %d" % s for s in sids},
                               es={s: sorted([base_pid(ch, k) + 1, base_pid(ch, k) + 2]) for k, s in
                                   zip((1, 2), sids)}, others=[OTHER[ch]], nit=[], tot=None)


def offsets(root):
    return {ch: size(root, ch) for ch in CHANNELS}


def agree(chassis, want, what, starts, chans=CHANNELS, tot=False):
    """The live view, the saved file and the air hold what is wanted (the
    TOT, repeated every 15 s or so, only when asked)."""
    root = chassis.root
    for ch in chans:
        keys = [k for k in want.ch[ch] if k != "tot_on" and (k != "tot" or (tot and want.ch[ch]["tot"]))]
        w = {k: want.ch[ch][k] for k in keys}
        got = live(ch, w)
        got = {k: got[k] for k in keys}
        check(got == w, "%s: channel %d's live view agrees%s" % (what, ch, "" if got == w else ": %s, not %s" %
                                                                  (got, w)))
        f = saved(root).get(ch, {})
        f = {k: f.get(k) for k in keys}
        check(f == w, "%s: channel %d's saved file agrees%s" % (what, ch, "" if f == w else ": %s, not %s" % (f, w)))
        air = {}
        wait_for(lambda: air.update(on_air(root, ch, starts[ch], w)) or all(air.get(k) == w[k] for k in air), 25)
        check(air == {k: v for k, v in w.items() if k != "pat"}, "%s: channel %d on air agrees%s" % (
            what, ch, "" if air == {k: v for k, v in w.items() if k != "pat"} else ": %s, not %s" % (air, w)))


def shown():
    """Everything the pages show, without revisions, and the saved file."""
    out = []
    for ch in CHANNELS:
        for key in ("GetTempTSInfo.w", "GetNIT.w", "GetPAT.w", "GetTOTLocaltimeoffsetDescriptor.w"):
            r = call(key, port=0, channel=ch)
            out.append((r.get("code"), {k: v for k, v in data(r).items() if k != "revision"}))
    r = call("GetSubboardPSIPChannel.w")
    out.append({k: v for k, v in data(r).items() if k != "revision"})
    st = data(call("GetOutputTSStatus.w")).get("portlist", [{}])[0].get("channellist", [])
    out.append([[(p["serviceid"], p["servicename"]) for p in c["programlist"]] for c in st])
    try:
        with open(os.path.join(CHASSIS.root, "tarvex_data/K9_OutPutTSP.conf"), "rb") as f:
            out.append(f.read())
    except OSError:
        out.append(None)
    return out


# ---- a page ---------------------------------------------------------------

class Page:
    """One browser page: the revision its views and answers gave it, sent
    back with each edit (or not)."""

    def __init__(self, name, revision=True):
        self.name, self.revision, self.rev, self.last = name, revision, None, {}

    def view(self, key, **members):
        r = call(key, **members)
        if "revision" in data(r):
            self.rev = data(r)["revision"]
        return r

    def load(self):
        r = self.view("GetSubboardTSInfo.w")
        for c in data(r).get("portlist", [{}])[0].get("channellist", []):
            SRC.update({e["serviceid"]: e["src"] for e in c["programlist"]})
        return r.get("code")

    def send(self, key, **members):
        if self.revision and "revision" not in members:
            members["revision"] = self.rev
        r = self.last = call(key, **members)
        if self.revision and "revision" in data(r):
            self.rev = data(r)["revision"]
        return r.get("code")

    def apply(self):
        return self.send("ApplyAllParam.w")

    # The edit commands, as the pages send them.
    def rename(self, ch, sid, name):
        return self.send("SetProgramParam.w", port=0, channel=ch, oldserviceid=sid, servicename=name,
                         src=SRC.get(sid, {}))

    def stream(self, ch, tsid):
        return self.send("SetTsParam.w", port=0, channel=ch, tsid=tsid)

    def es(self, ch, sid, old, new, named=True):
        e = {"oldpid": old, "pid": new} if named else {"pid": new}
        return self.send("SetProgramParam.w", port=0, channel=ch, oldserviceid=sid, pids={"es": [e]})

    def others(self, ch, old, new):
        return self.send("SetTsParam.w", port=0, channel=ch, otherpidlist=[{"oldpid": old, "newvalue": new}])

    def cable(self, entry, mhz, qam, add=False):
        return self.send("SetCable.w", port=0, channel=2, NIT=entry, descriptor=0, editFlag=not add,
                         lcnList=[{"frequency": mhz * 1000, "symbolrate": 6875, "modulation": qam}])

    def nit_entry(self, tsid):
        return self.send("AddNITStream.w", port=0, channel=2, originalID=0x20, tsid=tsid)

    def drop_entry(self, entry):
        return self.send("DeleteNITStream.w", port=0, channel=2, NIT=entry)

    def tot(self, ch, offset):
        return self.send("SetTOTLocaltimeoffsetDescriptor.w", port=0, channel=ch, streamList=[{
            "CountryCode": list(b"GBR"), "CountryRegID": 0, "LocalTimeOffsetPol": 0, "LocalTimeOffset": offset,
            "NextTimeOffset": offset, "TimeOfChange": "2030/01/01 00:00:00"}])

    def pat(self, ch, pid):
        return self.send("SetPATPid.w", port=0, channel=ch, pid=pid)

    def switches(self, ch, tot_on):
        return self.send("SetSubboardPSIPChannel.w", portlist=[{"port": 0, "channellist": [{
            "channel": ch, "enable": 1, "flag": dict(pat=1, pmt=1, cat=1, sdt=1, nit=1, TDT=1, TOT=tot_on, mgt=0,
                                                     vct=0, stt=0, vcttype=0)}]}])

    def auto_nit(self):
        return self.send("AutoGenerateNITDescriptor.w")


SRC = {}
CHASSIS = None


def es_of(ch, sid):
    """The ES PIDs the program page shows (two unknown ones when it shows none)."""
    r = call("GetTempProgramInfo.w", port=0, channel=ch, serviceid=sid)
    return [e["pid"] for e in data(r).get("pids", {}).get("es", [])] or [0, 0]


def auto_nit_of(want):
    """The automatic NIT: one entry per stream (its stream id) with the cable
    descriptor of its channel (its frequency, 64-QAM)."""
    chans = data(call("GetSubboardParam.w")).get("portlist", [{}])[0].get("channellist", [])
    return [(want.ch[ch]["tsid"], [(chans[ch]["frequency"] // 1000, 3)]) for ch in CHANNELS]


# ---- the walks --------------------------------------------------------------

def started(chassis, want):
    """Right after a start, before any page loaded the whole working copy."""
    p = Page("P")
    r = p.view("GetTempTSInfo.w", port=0, channel=0)
    check(r.get("code") == 0 and p.rev is not None, "right after a start GetTempTSInfo.w answers 0 with a revision "
          "(%s)" % r.get("code"))
    r = p.view("GetTempProgramInfo.w", port=0, channel=0, serviceid=100)
    check(r.get("code") == 0 and "revision" in data(r), "and GetTempProgramInfo.w too (%s)" % r.get("code"))
    r = p.view("GetPAT.w", port=0, channel=0)
    check(r.get("code") == 0 and "revision" in data(r), "and GetPAT.w too (%s)" % r.get("code"))
    for ch in CHANNELS:
        SRC.update({e["serviceid"]: e["src"] for e in data(call("GetTempTSInfo.w", port=0, channel=ch)).get(
            "programlist", [])})
    # A channel without NIT still gives a revision; its first NIT entry is
    # checked against it.
    q = Page("Q")
    r = q.view("GetNIT.w", port=0, channel=2)
    check(r.get("code") == 1 and q.rev is not None, "GetNIT.w of a channel without NIT gives a revision: %s" % r)
    stale = Page("S")
    stale.rev = (q.rev or 0) - 1
    before = shown()
    check(stale.nit_entry(0xA00) == 783 and shown() == before, "an AddNITStream.w of another revision is refused "
          "and changes nothing")
    # The TOT, the switches and the NIT entries from pages loaded after the start.
    codes = [p.switches(ch, 1) for ch in CHANNELS]
    codes += [p.tot(0, "01:30")]
    p.view("GetNIT.w", port=0, channel=2)
    for k, (tsid, mhz) in enumerate(((0xA00, 474), (0xB00, 482), (0xC00, 490))):
        codes += [p.nit_entry(tsid), p.cable(k, mhz, 3, add=True)]
    check(codes == [0] * len(codes), "switches, TOT and three NIT entries each answered 0 with the revision the "
          "page's last answer gave: %s" % codes)
    starts = offsets(chassis.root)
    check(p.apply() == 0, "the page's apply answers 0")
    for ch in CHANNELS:
        want.ch[ch]["tot_on"] = 1
    want.ch[0]["tot"] = ("GBR", "01:30")
    want.ch[2]["nit"] = [(0xA00, [(474, 3)]), (0xB00, [(482, 3)]), (0xC00, [(490, 3)])]
    agree(chassis, want, "after the start", starts, tot=True)


def two_pages(chassis, want, what, view, b_edit, a_edit, update, chans, tot=False):
    """Pages A and B shown the same state: B's edit answers 0 with a new
    revision, A's is refused and changes nothing, B's apply is in force."""
    a, b = Page("A"), Page("B")
    check(a.load() == 0, "%s: A loads" % what)
    b.view(*view[:1], **view[1])
    check(a.rev is not None and a.rev == b.rev, "%s: A and B are shown one revision (%s, %s)" % (what, a.rev, b.rev))
    shown_rev = b.rev
    r = b_edit(b)
    check(r == 0 and b.rev != shown_rev, "%s: B's edit answers 0 with a new revision (%s, %s)" % (what, r, b.rev))
    before = shown()
    r = a_edit(a)
    check(r == 783, "%s: A's edit on the state it was shown is refused with 783 (%s)" % (what, r))
    check(shown() == before, "%s: A's refused edit changed nothing" % what)
    check(a.apply() == 783 and shown() == before, "%s: so is A's apply, changing nothing" % what)
    starts = offsets(chassis.root)
    r = b.apply()
    check(r == 0, "%s: B's apply answers 0 (%s)" % (what, r))
    update(want)
    agree(chassis, want, what, starts, chans, tot)
    return b


def with_revisions(chassis, want):
    def renamed(w):
        w.ch[0]["names"][100] = "Bname"
    two_pages(chassis, want, "program page", ("GetTempProgramInfo.w", dict(port=0, channel=0, serviceid=100)),
              lambda p: p.rename(0, 100, "Bname"), lambda p: p.rename(0, 100, "Aname"), renamed, (0,))

    def stream(w):
        w.ch[1]["tsid"] = 0x150
    two_pages(chassis, want, "stream page", ("GetTempTSInfo.w", dict(port=0, channel=1)),
              lambda p: p.stream(1, 0x150), lambda p: p.stream(1, 0x151), stream, (1,))

    shown_es = es_of(0, 101)

    def es(w):
        w.ch[0]["es"][101] = sorted([0x700] + shown_es[1:])
    two_pages(chassis, want, "ES page with oldpid", ("GetTempProgramInfo.w", dict(port=0, channel=0, serviceid=101)),
              lambda p: p.es(0, 101, shown_es[0], 0x700), lambda p: p.es(0, 101, shown_es[0], 0x701), es, (0,))
    shown_es2 = es_of(1, 200)

    def es2(w):
        w.ch[1]["es"][200] = sorted([0x702] + shown_es2[1:])
    two_pages(chassis, want, "ES page without oldpid", ("GetTempProgramInfo.w", dict(port=0, channel=1, serviceid=200)),
              lambda p: p.es(1, 200, None, 0x702, False), lambda p: p.es(1, 200, None, 0x703, False), es2, (1,))

    def others(w):
        w.ch[1]["others"] = [0x1D1]
    two_pages(chassis, want, "other PIDs", ("GetTempTSInfo.w", dict(port=0, channel=1)),
              lambda p: p.others(1, OTHER[1], 0x1D1), lambda p: p.others(1, OTHER[1], 0x1D2), others, (1,))

    def nit(w):
        w.ch[2]["nit"] = [(0xB00, [(482, 3)]), (0xC00, [(490, 3)])]
    two_pages(chassis, want, "NIT entry and descriptor", ("GetNIT.w", dict(port=0, channel=2)),
              lambda p: p.drop_entry(0), lambda p: p.cable(0, 666, 5), nit, (2,))

    def pat(w):
        w.ch[0]["pat"] = 25
    two_pages(chassis, want, "PAT PID", ("GetPAT.w", dict(port=0, channel=0)),
              lambda p: p.pat(0, 25), lambda p: p.pat(0, 26), pat, (0,))

    def tot(w):
        w.ch[0]["tot"] = ("GBR", "03:00")
    two_pages(chassis, want, "TOT", ("GetTOTLocaltimeoffsetDescriptor.w", dict(port=0, channel=0)),
              lambda p: p.tot(0, "03:00"), lambda p: p.tot(0, "07:00"), tot, (0,), tot=True)

    # The switches and the automatic NIT are in force at once; the other
    # page's edit of the state before them is refused.
    def switched(w):
        w.ch[1]["tot_on"] = 0
    b = two_pages(chassis, want, "table switches", ("GetSubboardPSIPChannel.w", {}),
                  lambda p: p.switches(1, 0), lambda p: p.switches(1, 1), switched, (1,))
    f = saved(chassis.root).get(1, {})
    flags = [c["flag"]["tot"] for c in data(call("GetSubboardPSIPChannel.w"))["portlist"][0]["channellist"]]
    check(f.get("tot_on") == 0 and flags == [1, 0, 1], "channel 1's TOT is off in the file and the switch view: "
          "%s %s" % (f.get("tot_on"), flags))
    check(b.rename(1, 201, "B goes on") == 0, "B goes on with the revision its answers gave")
    want.ch[1]["names"][201] = "B goes on"
    check(b.apply() == 0, "and applies")

    def auto(w):
        for ch in CHANNELS:
            w.ch[ch]["nit"] = auto_nit_of(w)
    two_pages(chassis, want, "automatic NIT", ("GetNIT.w", dict(port=0, channel=2)),
              lambda p: p.auto_nit(), lambda p: p.drop_entry(0), auto, CHANNELS)


def unchanged_by(chassis, want):
    """What shows nothing new leaves a page's revision usable."""
    a = Page("A")
    check(a.load() == 0, "A loads")
    r0 = a.rev
    check(input_apply() == [1], "the input card applies (a bare 271)")
    check(chassis.restart_slave(), "the slave chip restarts and the master finds it again")
    check(a.view("GetTempTSInfo.w", port=0, channel=0).get("code") == 0 and a.rev == r0,
          "the revision is the same after both (%s, %s)" % (r0, a.rev))
    nits, marks = {ch: nit_on_air(chassis.root, ch) for ch in CHANNELS}, offsets(chassis.root)
    codes = [a.switches(0, 1), a.auto_nit()]
    # Another page imports the NIT channel 2 sends: the same content.
    r = webcard.import_nit(ADDR, PORT, 2, [s for _, s in sorted(nits[2].items())], os.path.dirname(chassis.root))
    check(r.get("code") == 0 and data(r).get("revision") == a.rev, "channel 2's NIT imported again by another page "
          "answers 0 with the revision A holds (%s): %s" % (a.rev, r))
    codes.append(a.rename(0, 100, "A after all"))
    check(codes == [0, 0, 0], "A's own switch change (the same switches) and automatic NIT (the same NIT), then a "
          "rename, each with the revision the last answer gave: %s" % codes)
    check(a.rev == r0 + 1, "only the rename stepped the revision (%s, %s)" % (r0, a.rev))
    starts = offsets(chassis.root)
    check(a.apply() == 0, "A's apply answers 0")
    want.ch[0]["names"][100] = "A after all"
    agree(chassis, want, "after a bare apply, a slave restart and A's own changes", starts, (0,))
    sent = {}
    wait_for(lambda: sent.update({ch: nit_on_air(chassis.root, ch, marks[ch]) for ch in CHANNELS}) or
             all(sent[ch] == nits[ch] for ch in CHANNELS), 20)
    for ch in CHANNELS:
        check(nits[ch] and sent[ch] == nits[ch], "channel %d's NIT went on air again unchanged, version %s (before: %s)"
              % (ch, nit_versions(sent[ch]), nit_versions(nits[ch])))


def answers(chassis, want):
    """Answers other than 0 give the revision the page goes on with: a
    refusal that changed nothing the one the page named, a change in force
    but not saved the one after it; a 783 none, as that page must reload."""
    a, b = Page("A"), Page("B")
    check(a.load() == 0, "A loads")
    b.view("GetSubboardPSIPChannel.w")
    held = a.rev
    check(a.stream(1, 70000) == 774 and data(a.last).get("revision") == held,
          "a stream id past 16 bits: 774 with the revision the page sent: %s" % a.last)
    # The output-stream file cannot be replaced: the switch goes in force
    # unsaved, and the page goes on with the revision after it.
    conf = os.path.join(chassis.root, "tarvex_data/K9_OutPutTSP.conf")
    os.rename(conf, conf + ".kept")
    os.makedirs(os.path.join(conf, "in the way"))
    try:
        code = a.switches(1, 1)
    finally:
        shutil.rmtree(conf)
        os.rename(conf + ".kept", conf)
    flags = [c["flag"]["tot"] for c in data(call("GetSubboardPSIPChannel.w"))["portlist"][0]["channellist"]]
    check(code == 19 and a.rev not in (None, held) and flags[1] == 1, "channel 1's TOT switched on unsaved: %s, in "
          "force (%s), with a new revision (%s, %s)" % (code, flags, held, a.rev))
    before = shown()
    check(b.stream(1, 0x152) == 783 and "data" not in b.last and shown() == before,
          "B, shown the state before, is refused 783 with no revision: %s" % b.last)
    check(b.stream(1, 70000) == 774 and data(b.last).get("revision") == held and shown() == before,
          "B's stream id past 16 bits: 774 with the revision B sent, not the one it was not shown: %s" % b.last)
    check(a.rename(1, 201, "A unsaved") == 0, "A goes on with the revision the 19 gave")
    starts = offsets(chassis.root)
    check(a.apply() == 0 and saved(chassis.root).get(1, {}).get("tot_on") == 1, "A's apply answers 0 and saves the "
          "switch")
    want.ch[1]["tot_on"] = 1
    want.ch[1]["names"][201] = "A unsaved"
    agree(chassis, want, "after the unsaved switch", starts, (1,))


def bad_members(want):
    """Members of the wrong type, fractions and numbers past their field:
    774, nothing changed, whether or not the revision is sent."""
    a = Page("A")
    a.load()
    es = es_of(0, 101)
    before = shown()
    cases = [("oldpid " + repr(v), lambda v=v: a.es(0, 101, v, 0x777)) for v in ("%d" % es[0], None, [es[0]], -1,
                                                                                  1e10, es[0] + 0.9)]
    cases += [
        ("src serviceid 101.5", lambda: a.send("SetProgramParam.w", port=0, channel=0, oldserviceid=101,
                                                servicename="X", src=dict(SRC.get(101, {}), serviceid=101.5))),
        ("a fractional revision", lambda: a.send("SetProgramParam.w", port=0, channel=0, oldserviceid=101,
                                                  servicename="X", src=SRC.get(101, {}), revision=(a.rev or 0) + 0.5)),
        ("ES pid 65536+0x600", lambda: a.es(0, 101, es[0], 65536 + 0x600)),
        ("serviceid 66636", lambda: a.send("SetProgramParam.w", port=0, channel=0, oldserviceid=101, serviceid=66636)),
        ("PMT PID 0x2000", lambda: a.send("SetProgramParam.w", port=0, channel=0, oldserviceid=101,
                                           pids={"pmt": 0x2000})),
        ("stream id 70000", lambda: a.stream(0, 70000)),
        ("an other PID without oldpid", lambda: a.send("SetTsParam.w", port=0, channel=0,
                                                       otherpidlist=[{"newvalue": 0x1D5}])),
        ("PAT PID 65541", lambda: a.pat(0, 65541)),
        ("NIT entry tsid 70000", lambda: a.send("AddNITStream.w", port=0, channel=2, originalID=1, tsid=70000)),
    ]
    for revision in (True, False):
        a.revision = revision
        for what, edit in cases:
            r = edit()
            check(r == 774, "%s, %s: refused with 774 (%s)" % (what, "with the revision" if revision else
                                                              "without", r))
    check(shown() == before, "the refused members changed nothing")
    a.revision = True
    check(a.rename(0, 101, "Peer 101") == 0, "the page goes on with its revision")
    # At the top of each field the same members are taken (the page's load
    # then drops them).
    pmt = lambda pid: a.send("SetProgramParam.w", port=0, channel=0, oldserviceid=101, pids={"pmt": pid})
    codes = [pmt(0x1FFF), pmt(0x1FFE), a.send("SetProgramParam.w", port=0, channel=0, oldserviceid=101,
                                               serviceid=0xFFFF), a.stream(0, 0xFFFF), a.pat(0, 30),
             a.send("AddNITStream.w", port=0, channel=1, originalID=0xFFFF, tsid=0xFFFF)]
    check(codes == [0xC0000] + [0] * 5, "PMT PID 0x1FFF passes the check of its 13 bits (the null PID is refused "
          "as no PID to give), 0x1FFE, service id and stream id 0xFFFF, PAT PID 30 and a NIT entry of ids 0xFFFF are "
          "taken: %s" % codes)
    check(a.load() == 0, "and dropped by the page's load")


def without_revisions(chassis, want):
    """Pages that send no revision."""
    a, b = Page("A", False), Page("B", False)
    # A edits; B's load throws A's edit away; B edits and applies. The card
    # cannot tell whose apply it is: refused, and so is A's; B's refused edit
    # is not put on air by A's apply.
    a.load()
    check(a.rename(0, 100, "NA") == 0, "A renames 100")
    b.load()
    check(b.rename(0, 101, "NB") == 0, "B, loaded after A's edit, renames 101")
    before = shown()
    r = [b.apply(), a.apply()]
    after = shown()
    check(r == [783, 783], "B's apply and A's after it are refused: %s" % r)
    check(after[-1] == before[-1] and after[-2] == before[-2], "nothing of either is in force (live view, file)")
    check(b.load() == 0 and b.rename(0, 101, "NB") == 0, "B loads again and renames 101")
    starts = offsets(chassis.root)
    check(b.apply() == 0, "B's apply answers 0")
    want.ch[0]["names"][101] = "NB"
    agree(chassis, want, "pages without revision: B's edit made again", starts, (0,))

    # Edits of a page that names its revision are not another page's to apply.
    c = Page("C")
    c.load()
    check(c.rename(0, 100, "C's") == 0, "C (with the revision) renames 100")
    before = shown()
    check(a.apply() == 783 and shown() == before, "A's apply without revision is refused and changes nothing")
    starts = offsets(chassis.root)
    check(c.apply() == 0, "C's apply answers 0")
    want.ch[0]["names"][100] = "C's"
    agree(chassis, want, "C's apply after A's refused one", starts, (0,))

    # Edits of pages that name their revision, thrown away by a load, leave
    # no note for a page loaded after: D is not refused.
    c.load()
    check(c.rename(0, 100, "C2") == 0, "C renames 100")
    Page("E").load()
    check(c.apply() == 783, "E's load threw C's edit away: C's apply is refused")
    d = Page("D", False)
    d.load()
    check(d.rename(0, 101, "D's") == 0, "D, loaded after everything, renames 101")
    starts = offsets(chassis.root)
    check(d.apply() == 0, "D's apply answers 0")
    want.ch[0]["names"][101] = "D's"
    agree(chassis, want, "D's apply", starts, (0,))

    # A PID named by another list is refused without the revision too.
    d.load()
    es = es_of(0, 101)
    before = shown()
    check(d.es(0, 101, es[0] + 1, 0x778) == 783 and shown() == before, "an ES the program no longer has: 783, "
          "nothing changed")


def restarted(chassis, want):
    """A restart of the whole chassis: the views show what is on air at once,
    a revision from before is refused."""
    old = Page("O")
    old.view("GetTempTSInfo.w", port=0, channel=0)
    chassis.stop()
    check(chassis.start(), "the chassis starts again (master, slave, input card announced)")
    starts = offsets(chassis.root)
    p = Page("P")
    t = data(p.view("GetTOTLocaltimeoffsetDescriptor.w", port=0, channel=0)).get("streamList", [{}])[0]
    got = (bytes.fromhex(t.get("CountryCode", "")).decode("latin-1"), t.get("LocalTimeOffset"))
    check(got == want.ch[0]["tot"], "right after the restart the TOT view shows the TOT on air: %s" % (got,))
    air = []
    wait_for(lambda: air.append(on_air(chassis.root, 0, starts[0], {"tot": 1})["tot"]) or air[-1] is not None, 25)
    check(air[-1] == want.ch[0]["tot"], "and so does the air: %s" % (air[-1],))
    r = [p.view(k, port=0, channel=0, serviceid=100) for k in ("GetTempTSInfo.w", "GetTempProgramInfo.w",
                                                                  "GetPAT.w", "GetNIT.w")]
    check([x.get("code") for x in r] == [0] * 4 and all("revision" in data(x) for x in r),
          "the views of the working copy answer 0 with a revision: %s" % [x.get("code") for x in r])
    before = shown()
    check(old.rename(0, 100, "old page") == 783 and shown() == before, "a revision from before the restart is "
          "refused and changes nothing")
    q = Page("Q")
    q.view("GetSubboardPSIPChannel.w")
    codes = [q.switches(1, 1)]
    q.view("GetTOTLocaltimeoffsetDescriptor.w", port=0, channel=0)
    codes += [q.tot(0, "02:00")]
    q.view("GetNIT.w", port=0, channel=0)
    codes += [q.auto_nit()]
    check(codes == [0, 0, 0], "the switch, TOT and NIT pages' revisions are taken: %s" % codes)
    starts = offsets(chassis.root)
    check(q.apply() == 0, "Q's apply answers 0")
    want.ch[1]["tot_on"] = 1
    want.ch[0]["tot"] = ("GBR", "02:00")
    agree(chassis, want, "after the restart", starts, tot=True)


def main():
    global CHASSIS
    top = tempfile.mkdtemp(prefix="web_revision.")
    chassis = CHASSIS = Chassis(top)
    ic = None
    try:
        ic = peers.input_card(peers.chassis(IC_ADDR), IC_SLOT)
        check(chassis.start(), "master and slave chips run, the input card is announced")
        ok = all([feed(ch) for ch in CHANNELS])
        check(ok, "the input card feeds channels 0-2 and applies")
        want = Want()
        started(chassis, want)
        with_revisions(chassis, want)
        unchanged_by(chassis, want)
        answers(chassis, want)
        bad_members(want)
        without_revisions(chassis, want)
        restarted(chassis, want)
        check(chassis.master.poll() is None and chassis.slave.poll() is None, "both chips still run")
    finally:
        chassis.stop()
        webcard.tear_down(top, check.failed, None, ic, chassis.line)
    print("FAILED %d" % check.failed if check.failed else "all passed")
    sys.exit(1 if check.failed else 0)


main()
