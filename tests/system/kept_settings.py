"""What earlier firmware stored and ran keeps running after an upgrade.

A DVB-C card (a master and a slave chip) starts from files written here as
earlier firmware wrote them: a damaged parameter file beside a JSON parameter
file holding the operator's channel 0 with the old factory level 102 and a
per-channel value of the chip's one core, and an output-stream file whose
channel 0 holds a 101st program and whose channel 1 a program whose PMT is
longer than one section. After each start the operator's settings are in
force, what the view shows is what both chips' RF programming runs (decoded
from spi.log and board.state), both parameter files say the same, every
stored program is still in the saved file and nothing past a limit is on
air. A good parameter file holding the old level is read the same way; SNMP
changes survive a damaged parameter file; the card's own archive of old
(no standard named, a key added, level 102) is taken as what it ran.

A DVB-T card tells archives that name no standard apart by what their
fields hold (a DTMB archive refused, an ambiguous one refused as such),
reads level 70 as the 6 its attenuator ran, and refuses a band of channel 0
on top of channel 4's from the web as SNMP does.

Usage: python3 kept_settings.py BUILD_DIR
"""
import json
import os
import struct
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import capture  # noqa: E402
import config_import as ci  # noqa: E402
import modulation_checks as mc  # noqa: E402
import peers  # noqa: E402
import snmp_agent as sa  # noqa: E402
import snmp_set  # noqa: E402
import webcard  # noqa: E402
from snmp_agent import PSI, cell, check  # noqa: E402
from webcard import wait_for  # noqa: E402

CONF, JSON, TSP = "tarvex_data/K9_DTMB.conf", "tarvex_data/oid.json", "tarvex_data/K9_OutPutTSP.conf"
SET = 88  # the modulation set in the parameter file
NONE = 0xFFFF
# The operator's DVB-C channel 0 and PSI interval, and the old factory level.
OPERATOR = {"frequency": 522000, "enable": 1, "symbolrate": 6900, "qammode": 3}
OLD_LEVEL, RAN = 102, 38


# ---- files as earlier firmware wrote them ------------------------------------

def dvbc_document(psi, channels):
    """The JSON parameter file of a DVB-C master: members in the order it
    writes them, "Interweave" twice."""
    chans = []
    for n, c in enumerate(channels):
        o = ci.Obj([("channel", n)])
        for k in ("enable", "constellation", "carrier", "Interweave", "framehead", "frequency", "power",
                  "rflevelunit", "bandwidth", "fftmode", "guardinterval", "constellationmode", "fec",
                  "insertpsienable", "qammode", "symbolrate", "Interweave"):
            o.append((k, c[k]))
        chans.append(o)
    return ci.dump(ci.Obj([("psiinterval", psi), ("rflevelversion", 0), ("channelstandard", 0),
                           ("portlist", [ci.Obj([("port", 0), ("channelnumber", 8), ("channellist", chans)])])]))


def factory_channel(n):
    freq = (474000 if n < 4 else 578000) + 8000 * (n % 4)
    return {"enable": 0, "constellation": 10, "carrier": 0, "Interweave": 240, "framehead": 1, "frequency": freq,
            "power": OLD_LEVEL, "rflevelunit": 0, "bandwidth": 2, "fftmode": 1, "guardinterval": 0,
            "constellationmode": 2, "fec": 4, "insertpsienable": 1, "qammode": 2, "symbolrate": 6875}


def rec(size, fields, tail=b"", at=0):
    b = bytearray(size)
    for off, fmt, val in fields:
        struct.pack_into("<" + fmt, b, off, val)
    b[at:at + len(tail)] = tail
    return bytes(b)


def stream(ch, count, head):
    return rec(448, [(8, "H", 1), (10, "H", 0x100 + ch), (12, "H", 1), (14, "B", 1), (15, "B", 3), (16, "H", ch),
                     (18, "H", count), (20, "H", head), (24, "H", NONE), (28, "H", NONE), (36, "H", NONE),
                     (38, "H", NONE), (40, "H", NONE), (42, "H", NONE), (44, "H", NONE), (46, "H", NONE),
                     (57, "B", 4), (62, "H", NONE), (64, "B", 1), (65, "B", 1), (66, "B", 1), (67, "B", 1)])


def program(ch, ts, own, sid, pmt, pcr, es_head, es_count, pcr_index, nxt):
    name = b"Kept %d" % sid
    return rec(920, [(8, "B", 1), (9, "B", 3), (10, "H", ch + 1), (12, "H", ch), (14, "B", 3), (16, "H", ts),
                     (18, "H", own), (20, "H", sid), (22, "H", nxt), (26, "H", NONE), (28, "H", sid), (30, "H", pcr),
                     (32, "H", pmt), (34, "H", sid), (36, "H", pcr), (38, "H", pmt), (40, "H", es_count),
                     (42, "H", pcr_index), (44, "H", es_head), (46, "B", len(name)), (112, "B", 1), (113, "B", 4),
                     (500, "H", NONE), (502, "H", NONE)], name, 48)


def pid(ch, ts, prog, own, sid, kind, value, nxt, info=b""):
    return rec(372, [(8, "B", 1), (9, "B", 3), (10, "H", ch + 1), (12, "B", 3), (14, "H", ch), (16, "I", ts),
                     (20, "I", prog), (24, "I", own), (28, "H", sid), (30, "H", own + 1), (32, "I", nxt),
                     (38, "H", NONE), (40, "B", kind), (41, "B", 2), (42, "H", value), (44, "H", value),
                     (48, "H", len(info)), (240, "H", NONE), (246, "H", NONE)], info, 52)


def tsp_file(layout):
    """An output-stream file: per channel, its programs as ES counts and ES
    information lengths; service ids count from 1 in file order."""
    streams, progs, pids = [], [], []
    for ts, (ch, programs) in enumerate(layout):
        first = len(progs)
        for k, es_info in enumerate(programs):
            own = len(progs)
            sid, pmt = own + 1, 0x200 + 16 * own
            es = [len(pids) + 1 + e for e in range(len(es_info))]
            pids.append(pid(ch, ts, own, len(pids), sid, peers.PID_PCR, pmt + 1, 0xFFFFFFFF))
            for e, n in enumerate(es_info):
                info = bytes([0x80, n - 2]) + bytes(n - 2) if n else b""
                pids.append(pid(ch, ts, own, es[e], sid, peers.PID_ES, pmt + 1 + e,
                                es[e + 1] if e + 1 < len(es) else 0xFFFFFFFF, info))
            progs.append(program(ch, ts, own, sid, pmt, pmt + 1, es[0], len(es), es[0] - 1,
                                 own + 1 if k + 1 < len(programs) else NONE))
        streams.append(stream(ch, len(programs), first))
    arrays = [streams, progs, pids, [bytes(1184)], [bytes(1168)]]
    body = b"".join(b"".join(a) for a in arrays)
    head = struct.pack("<7I", 0x20170310, 240 + len(body) + 4, *[len(a) for a in arrays]) + bytes(212)
    return head + body + struct.pack("<I", peers.CRC(head + body))


# Channel 0: 101 programs (one past its limit); channel 1: one whose PMT
# (six streams of 188 bytes of information) is longer than a section, and one
# that fits.
LAYOUT = [(0, [[0]] * 101), (1, [[188] * 6, [0]])]
PAST = {0: [101], 1: [102]}  # the service ids past a limit


# ---- what the card stores, shows and runs ------------------------------------

def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def stored_programs(root):
    """{channel: service ids} of the valid program records of the saved file."""
    d = read(os.path.join(root, TSP))
    if len(d) < 244:
        return {}
    n_ts, n_prog = struct.unpack_from("<II", d, 8)
    out = {}
    for i in range(n_prog):
        at = 240 + 448 * n_ts + 920 * i
        if d[at + 8] == 1:
            out.setdefault(struct.unpack_from("<H", d, at + 12)[0], []).append(struct.unpack_from("<H", d, at + 34)[0])
    return {ch: sorted(s) for ch, s in out.items()}


def on_air(root, ch):
    """The programs of the last PAT of a channel's capture and the PIDs of
    every section in it."""
    secs = capture.sections(capture.channel(root, ch))
    pats = [s for p, s in secs if p == 0 and s[0] == 0]
    progs = set()
    if pats:
        body = pats[-1][8:-4]
        progs = {struct.unpack_from(">H", body, k)[0] for k in range(0, len(body) - 3, 4)} - {0}
    return progs, {p for p, _ in secs}


def file_channels(root):
    """Channels as the parameter file holds them, with its PSI interval."""
    d = read(os.path.join(root, CONF))
    if len(d) != 868:
        return None, None
    w = lambda off, n: struct.unpack_from("<%dI" % n, d, SET + off)
    freq, rate, qam, enable = w(128, 8), w(216, 8), w(248, 8), w(504, 8)
    chans = [{"frequency": freq[n], "power": d[SET + 160 + n], "symbolrate": rate[n], "qammode": qam[n],
              "enable": enable[n], "constellationmode": w(376, 8)[n]} for n in range(8)]
    return chans, struct.unpack_from("<H", d, 22)[0]


def json_channels(root):
    try:
        doc = json.loads(read(os.path.join(root, JSON)))
    except ValueError:
        return None, None
    return doc["portlist"][0]["channellist"], doc["psiinterval"]


def same(a, b, keys):
    return a is not None and b is not None and len(a) >= len(b) and all(
        a[n][k] == b[n][k] for n in range(len(b)) for k in keys)


def settled(pair):
    """Both chips hold the master's set and are done programming."""
    ok = wait_for(pair.same_set, 30)
    snmp_set.spi_quiet(pair)
    return ok


def in_force(pair, name, want, psi):
    """The view shows want (channel: values) and the PSI interval, both chips
    run what it shows, and both parameter files say the same."""
    view = pair.view()
    data = view.get("data", {}) if isinstance(view, dict) else {}
    chans = data.get("portlist", [{}])[0].get("channellist", [])
    shown = {n: {k: chans[n][k] for k in w} for n, w in want.items()} if len(chans) == 8 else chans
    check(shown == want and data.get("psiinterval") == psi,
          "%s: the view shows %s, PSI %d (%s, %s)" % (name, want, psi, shown, data.get("psiinterval")))
    problems = mc.runs_as_shown("DVB-C", pair, chans) if len(chans) == 8 else ["no view"]
    check(not problems, "%s: both chips run what the view shows %s" % (name, problems[:3]))
    keys = ("frequency", "power", "symbolrate", "qammode", "enable")
    for what, (stored, spsi) in (("parameter file", file_channels(pair.master.root)),
                                 ("JSON parameter file", json_channels(pair.master.root))):
        check(same(stored, chans, keys) and spsi == psi, "%s: the %s says what the view shows" % (name, what))


def kept_off_air(pair, name):
    """Every stored program is in the saved file; what is past a limit is not on air."""
    root = pair.master.root
    want = {0: list(range(1, 102)), 1: [102, 103]}
    check(wait_for(lambda: stored_programs(root) == want, 20),
          "%s: the saved file holds every stored program (%s)" % (
              name, {c: len(s) for c, s in stored_programs(root).items()}))
    check(wait_for(lambda: len(on_air(root, 0)[0]) == 100 and on_air(root, 1)[0] == {103}, 30),
          "%s: channel 0 airs its first 100 programs, channel 1 the one that fits" % name)
    progs0, pids0 = on_air(root, 0)
    progs1, pids1 = on_air(root, 1)
    check(not progs0 & set(PAST[0]) and not progs1 & set(PAST[1]) and 0x200 + 16 * 100 not in pids0 and
          0x200 + 16 * 101 not in pids1, "%s: nothing past a limit is on air (its PAT entry, its PMT)" % name)


def restart(pair):
    for ch in range(4):
        cap = os.path.join(pair.master.root, "trace/si_ch%d.ts" % ch)
        if os.path.exists(cap):
            os.remove(cap)
    return ci.restart(pair)


def seal(d):
    """A parameter file's three CRCs made right."""
    d = bytearray(d)
    struct.pack_into("<I", d, 76, peers.CRC(bytes(d[8:76])))
    struct.pack_into("<I", d, 852, peers.CRC(bytes(d[84:852])))
    struct.pack_into("<I", d, 860, peers.CRC(bytes(d[0:860])))
    return bytes(d)


def dvbc_card(build, top, cards):
    pair = snmp_set.Pair(build, top, "dvbc", 2, 3)
    pair.slot = 3
    cards.append(pair)
    data = os.path.join(pair.master.root, "tarvex_data")
    os.makedirs(data, exist_ok=True)
    chans = [factory_channel(n) for n in range(8)]
    chans[0].update(OPERATOR)
    for n in range(1, 4):
        chans[n]["frequency"] = OPERATOR["frequency"] + 8000 * n
        chans[n]["qammode"] = 3
    chans[1]["qammode"] = 1  # a value of its own, which the chip's core never ran
    with open(os.path.join(data, "oid.json"), "w") as f:
        f.write(dvbc_document(150, chans))
    with open(os.path.join(data, "K9_DTMB.conf"), "wb") as f:
        f.write(b"\x5a" * 868)  # fails its check
    with open(os.path.join(data, "K9_OutPutTSP.conf"), "wb") as f:
        f.write(tsp_file(LAYOUT))
    pair.start()
    up = pair.up()
    ready = wait_for(lambda: ci.READY in pair.master.log(), 60)
    check(not up and ready and settled(pair), "DVB-C: both chips up" + up)
    want = {0: dict(OPERATOR, power=RAN), 1: {"qammode": 3, "power": RAN}, 4: {"power": RAN}}

    # The damaged parameter file: the JSON parameter file read as what ran.
    in_force(pair, "restored", want, 150)
    log = pair.master.log()
    check("power of channel 0, 4: 102 read as 38" in log and "qammode of channel 1: 1 read as 3" in log,
          "restored: the level and channel 1's own value are each logged as read")
    kept_off_air(pair, "first start")
    check("kept off air" in log, "first start: the programs kept off air are logged")
    check(restart(pair) and settled(pair), "DVB-C: master restarted")
    kept_off_air(pair, "second start (the file rewritten)")
    in_force(pair, "second start", want, 150)

    # A good parameter file holding the old level: read as what ran.
    pair.master.stop()
    d = bytearray(read(os.path.join(pair.master.root, CONF)))
    d[SET + 160:SET + 168] = bytes([OLD_LEVEL] * 8)
    struct.pack_into("<I", d, SET + 248 + 4 * 2, 0)  # channel 2's own constellation
    with open(os.path.join(pair.master.root, CONF), "wb") as f:
        f.write(seal(d))
    pair.master.start(wait_agent=False)
    check(wait_for(lambda: pair.master.log().count(ci.READY) >= 3, 60) and settled(pair),
          "DVB-C: started on a parameter file with level 102")
    in_force(pair, "the old level in a good file", {**want, 2: {"qammode": 3}}, 150)
    check(pair.master.get([cell(2, 1)]) == [RAN], "the old level: SNMP reports %d" % RAN)
    return pair


def snmp_then_damage(pair):
    """SNMP changes, then a damaged parameter file: the changes are in force."""
    sets = [(cell(13, 1), "i", 1), (cell(2, 1), "i", 30), (cell(4, 1), "i", 546000), (PSI, "i", 200)]
    answers = [pair.master.set([s])[0] for s in sets]
    check(answers == [""] * 4, "SNMP: channel 0's constellation, level, frequency and the PSI interval set %s" % answers)
    chans, psi = json_channels(pair.master.root)
    check(chans is not None and chans[0]["qammode"] == 1 and chans[0]["power"] == 30 and
          chans[0]["frequency"] == 546000 and psi == 200, "SNMP: the JSON parameter file holds the changes")
    pair.master.stop()
    with open(os.path.join(pair.master.root, CONF), "r+b") as f:
        f.seek(400)
        f.write(b"\xff\x00\xff")
    pair.master.start(wait_agent=False)
    check(wait_for(lambda: pair.master.log().count(ci.READY) >= 4, 60) and settled(pair),
          "SNMP: master restarted on a damaged parameter file")
    in_force(pair, "SNMP changes after the damage",
             {0: {"qammode": 1, "power": 30, "frequency": 546000, "symbolrate": 6900}, 1: {"qammode": 1}}, 200)


def own_archive_of_old(pair):
    """The card's own archive as earlier firmware made it (no standard named),
    with level 102, channel 1's own value and a key added: taken as it ran."""
    check(ci.exported(pair), "DVB-C: its configuration exported")
    conf = ci.members(os.path.join(pair.master.root, "backboard_ftp", "3conf.tar"))

    def old(chans):
        for n, c in enumerate(chans):
            c.set("power", OLD_LEVEL)
            c.append(("note", n))
        chans[0].set("frequency", 506000)
        chans[1].set("qammode", 4)
    code = ci.offer(pair, ci.rebuilt(conf, old, standard=0))
    check(code == 1, "the card's own archive of old is taken (%s)" % code)
    check(wait_for(lambda: mc.channels_of(pair.view())[0]["frequency"] == 506000, 30) and settled(pair),
          "the archive's values reach the view")
    in_force(pair, "the archive of old", {0: {"frequency": 506000, "power": RAN, "qammode": 1}, 1: {"qammode": 1}}, 200)


def dvbt_card(build, top, cards):
    """Archives naming no standard on a DVB-T card, its level 70, its bands."""
    card = sa.Card(build, top, "dvbt", 1, slot=6, extra=("--slave-chip", "0"))
    card.slot = 6
    card.master = card
    cards.append(card)
    check(card.start() and wait_for(lambda: ci.READY in card.log(), 60), "DVB-T: master alone up")
    web = ("127.168.1.17", 8080)
    view = lambda: webcard.call(web[0], web[1], "GetSubboardParam.w", {})
    check(ci.exported(card), "DVB-T: its configuration exported")
    conf = ci.members(os.path.join(card.root, "backboard_ftp", "6conf.tar"))
    before = view()

    def dtmb(chans):
        for c in chans:
            c.set("constellation", 5)
            c.set("framehead", 2)
    for edit, want, what in ((dtmb, 16, "an archive of old whose DTMB members are set"),
                             (None, 15, "an archive of old that DTMB could have made alike")):
        code = ci.offer(card, ci.rebuilt(conf, edit, standard=0))
        check(code == want and view() == before, "DVB-T: %s is refused %s (%s), nothing changes" % (what, want, code))
    check("which standard made it cannot be told" in card.log(), "DVB-T: the ambiguous archive's refusal says why")

    def dvbt(chans):
        for c in chans:
            c.set("power", 70)
            c.set("constellationmode", 1)
        chans[1].set("constellationmode", 0)
    code = ci.offer(card, ci.rebuilt(conf, dvbt, standard=0))
    shown = lambda: [(c["power"], c["constellationmode"]) for c in mc.channels_of(view())[:2]]
    check(code == 1 and wait_for(lambda: shown() == [(6, 1), (6, 1)], 30),
          "DVB-T: its archive of old is taken, level 70 as 6 and channel 1 as channel 0 (%s, %s)" % (code, shown()))
    attenuator = lambda: mc.RFDA_RE.findall(snmp_set.read(os.path.join(card.root, "trace/spi.log"), "r"))[-1:]
    check(wait_for(lambda: attenuator() == ["06"], 10), "DVB-T: the attenuator runs 6 (%s)" % attenuator())

    # Channel 0's band on channel 4's: refused from the web as from SNMP.
    body = mc.page(view(), mc.setter(0, frequency=578000))
    r = webcard.call(web[0], web[1], "SetSubboardParam.w", body)
    status, _ = card.set([(cell(4, 1), "i", 578000)])
    check(r.get("code") == 774 and status == "inconsistentValue" and mc.channels_of(view())[0]["frequency"] != 578000,
          "DVB-T: channel 0 onto channel 4's band is refused by the web (%s) and SNMP (%s)" % (r.get("code"), status))
    return card


def main():
    build = sys.argv[1]
    top = tempfile.mkdtemp(prefix="modcard-kept-")
    cards = []
    try:
        pair = dvbc_card(build, top, cards)
        snmp_then_damage(pair)
        own_archive_of_old(pair)
        dvbt_card(build, top, cards)
    finally:
        for c in cards:
            c.stop()
    sa.finish(top)


if __name__ == "__main__":
    main()
