"""SI editing over HTTP on a running master fed by an input-card peer: the
automatic cable NIT, a cable descriptor, a refused oversized descriptor, the
TOT's local time offset and the table switches, read back over HTTP and from
the carousel's capture (sections parsed and CRC-checked here). Then web
applies while the input card feeds programs: nothing it fed is lost, an edit
made before the live streams changed is refused (783) and made again.

Usage: python3 web_psisi.py BUILD_DIR

The card runs on slot 14 (own address 127.168.1.25, HTTP port 18025).
"""
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402
import capture  # noqa: E402
import webcard  # noqa: E402

SLOT = 14
ADDR = "127.168.1.25"
CARD = "192.168.1.25"
PORT = 18025
CABLE = "0474000000000300687500"
build = os.path.abspath(sys.argv[1])


check = webcard.Checks()


def call(key, **members):
    try:
        return webcard.call(ADDR, PORT, key, members)
    except (OSError, ValueError):
        return None


def code(reply):
    return reply.get("code") if reply else None


def sections(path, pid, table_id, start=0):
    """Complete sections of one table on one PID of a capture from a byte
    offset on, CRC-checked."""
    return [s for p, s in capture.sections(path, start) if p == pid and s[0] == table_id]


def nit_entries(sec):
    """(tsid, descriptor bytes) of each transport-stream entry of a NIT section."""
    ndl = (sec[8] & 0x0F) << 8 | sec[9]
    pos = 10 + ndl
    end = pos + 2 + ((sec[pos] & 0x0F) << 8 | sec[pos + 1])
    pos += 2
    out = []
    while pos + 6 <= end:
        dl = (sec[pos + 4] & 0x0F) << 8 | sec[pos + 5]
        out.append((sec[pos] << 8 | sec[pos + 1], sec[pos + 6:pos + 6 + dl]))
        pos += 6 + dl
    return out


def latest(root, pid, table_id, start=0, wait=25.0, good=lambda sec: True):
    """The last such section written after a capture offset that passes the
    check, or failing that the last one seen when the wait ends: a section
    the carousel had queued before the change may still come first. The
    time tables go out about every 15 s."""
    deadline = time.monotonic() + wait
    while True:
        secs = sections(os.path.join(root, "trace/si_ch0.ts"), pid, table_id, start)
        hits = [sec for sec in secs if good(sec)]
        if hits or time.monotonic() > deadline:
            return hits[-1] if hits else (secs[-1] if secs else None)
        time.sleep(0.5)


def start(top):
    root = os.path.join(top, "master")
    webcard.make_board(build, root, SLOT, PORT)
    line = peers.chassis_for(root, SLOT)
    proc = webcard.launch(build, root, os.path.join(top, "console"))
    webcard.wait_up(proc, lambda: call("Beat.w") is not None)
    return root, proc, line


def capture_size(root, ch=0):
    try:
        return os.path.getsize(os.path.join(root, "trace/si_ch%d.ts" % ch))
    except OSError:
        return 0


# The committed mux routing table in the board's state file.
MUX_AT, MUX_LEN = 0x104000 + 0x26000 + 0x4800, 2048 * 8


def routes(root):
    with open(os.path.join(root, "board.state"), "rb") as f:
        f.seek(MUX_AT)
        return f.read(MUX_LEN)


def saved_channels(root):
    """Channels of the valid stream records of the saved output-stream file."""
    with open(os.path.join(root, "tarvex_data/K9_OutPutTSP.conf"), "rb") as f:
        data = f.read()
    count = struct.unpack_from("<I", data, 8)[0]
    recs = [data[240 + 448 * i:240 + 448 * (i + 1)] for i in range(count)]
    return sorted(struct.unpack_from("<H", r, 16)[0] for r in recs if r[8] == 1)


def programs_on_air(root):
    """{channel: service ids} of the live view."""
    got = call("GetOutputTSStatus.w")
    chans = got["data"]["portlist"][0]["channellist"] if code(got) == 0 else []
    return {c["channel"]: [p["serviceid"] for p in c["programlist"]] for c in chans if c["programlist"]}


def psi_of(root, ch, start):
    """psidecode of what the carousel wrote to channel ch after a byte offset."""
    path = os.path.join(root, "trace/si_ch%d.ts" % ch)
    try:
        with open(path, "rb") as f:
            f.seek(start - start % 188)
            data = f.read()
    except OSError:
        return ""
    with open(path + ".tail", "wb") as f:
        f.write(data[:len(data) // 188 * 188])
    return subprocess.run([os.path.join(build, "tests/psidecode"), "--ts", path + ".tail"], capture_output=True,
                          text=True).stdout


def on_air(root, ch, start, wait=10.0):
    """Whether PAT, PMT and SDT of the channel's two programs come out after start."""
    sids = (100 * (ch + 1), 100 * (ch + 1) + 1)
    deadline = time.monotonic() + wait
    while True:
        text = psi_of(root, ch, start)
        ok = all("PAT_PROGRAM number=%d" % s in text and "PMT program=%d" % s in text and
                 "SDT_SERVICE id=%d" % s in text for s in sids)
        if ok or time.monotonic() > deadline:
            return ok
        time.sleep(0.5)


FED = {ch: [100 * (ch + 1), 100 * (ch + 1) + 1] for ch in range(4)}


def run(root, cards):
    check(peers.announce(CARD, 5, "192.168.1.30") == [1], "the input card's resource record is taken")
    codes = peers.feed(CARD, 5, SLOT)
    check(all(set(c) == {peers.SUCCESS} for c in codes.values()), "the peer's streams are fed and applied")
    # An editor's view opens a working copy; channel 3 is fed after it.
    check(code(call("GetSubboardTSInfo.w")) == 0, "GetSubboardTSInfo.w opens a working copy")
    codes = peers.feed(CARD, 5, SLOT, channels=(3,))
    check(all(set(c) == {peers.SUCCESS} for c in codes.values()), "channel 3 is fed and applied after it")
    table = routes(root)

    # The automatic NIT: one entry per stream; nothing else changes.
    before = [capture_size(root, ch) for ch in range(4)]
    check(code(call("AutoGenerateNITDescriptor.w")) == 0, "AutoGenerateNITDescriptor.w succeeds")
    nit = call("GetNIT.w", port=0, channel=0)
    streams = nit["data"]["streamList"] if code(nit) == 0 else []
    check(nit and nit["data"]["networkid"] == 1234 and len(streams) == 4, "the automatic NIT has one entry per stream")
    check(programs_on_air(root) == FED, "the live view keeps every fed channel: %s" % programs_on_air(root))
    check(saved_channels(root) == [0, 1, 2, 3], "the saved file keeps every stream: %s" % saved_channels(root))
    check(routes(root) == table and table.count(b"\0" * 8) < MUX_LEN // 8, "the routing table is as it was")
    for ch in range(4):
        check(on_air(root, ch, before[ch]), "channel %d's PAT, PMT and SDT stay on the air" % ch)
    # And after a restart.
    webcard.stop(cards[0])
    before = [capture_size(root, ch) for ch in range(4)]
    cards[0] = webcard.launch(build, root, os.path.join(os.path.dirname(root), "console.2"))
    webcard.wait_up(cards[0], lambda: call("Beat.w") is not None)
    check(programs_on_air(root) == FED, "after a restart the live view has every fed channel")
    check(all(on_air(root, ch, before[ch], 20) for ch in range(4)), "and every channel's PSI/SI is on the air")
    check(routes(root) == table, "and the routing table is the same")
    check(code(call("GetSubboardTSInfo.w")) == 0, "GetSubboardTSInfo.w opens a working copy again")
    check(all(s["descriptors"] and s["descriptors"][0]["tag"] == "44" for s in streams),
          "each entry carries a cable delivery descriptor")

    # Table switches: "TDT" set, "tdt" read.
    flags = dict(pat=1, pmt=1, cat=1, sdt=1, nit=1, TDT=1, TOT=1, mgt=0, vct=0, stt=0, vcttype=0)
    off = dict(flags, TDT=0)
    before = capture_size(root)
    r = call("SetSubboardPSIPChannel.w", portlist=[{"port": 0, "channellist": [
        {"channel": 0, "enable": 1, "flag": flags}, {"channel": 1, "enable": 1, "flag": off}]}])
    check(code(r) == 0, "SetSubboardPSIPChannel.w succeeds")
    # The NIT switch is on now: the automatic NIT goes on the air.
    sec = latest(root, 0x10, 0x40, before, good=lambda sec: len(nit_entries(sec)) == 4)
    check(sec is not None and len(nit_entries(sec)) == 4, "the carousel's NIT has four entries")
    got = call("GetSubboardPSIPChannel.w")
    chans = {c["channel"]: c["flag"] for c in got["data"]["portlist"][0]["channellist"]} if code(got) == 0 else {}
    check(chans.get(0, {}).get("tdt") == 1 and chans.get(1, {}).get("tdt") == 0 and chans.get(0, {}).get("tot") == 1,
          "the TDT and TOT switches read back as tdt and tot")
    bad = call("SetSubboardPSIPChannel.w", portlist=[{"port": 0, "channellist": [
        {"channel": 8, "enable": 1, "flag": flags}]}])
    check(code(bad) == 774, "a switch for channel 8 is refused")

    # A cable descriptor in entry 0 and an oversized one.
    r = call("SetCable.w", port=0, channel=0, NIT=0, descriptor=0, editFlag=False,
             lcnList=[{"frequency": 474000, "symbolrate": 6875, "modulation": 3}])
    check(code(r) == 0, "SetCable.w succeeds")
    nit = call("GetNIT.w", port=0, channel=0)
    datas = [d["data"] for d in nit["data"]["streamList"][0]["descriptors"]] if code(nit) == 0 else []
    check(CABLE in datas, "GetNIT.w lists the cable descriptor " + CABLE)
    r = call("SetOtherDescriptor.w", port=0, channel=0, tsindex=0, descriptor=0, tableindex=0, tag="83",
             data="ab" * 300, editFlag=False)
    check(code(r) == 774, "a 300-byte hex descriptor is refused")
    r2 = call("SetOtherDescriptor.w", port=0, channel=0, tsindex=0, descriptor=0, tableindex=0, tag="83",
              data="zz!!", editFlag=False)
    r3 = call("AddNITNetwork.w", port=0, channel=0, tag="83", data="zz!!")
    check(code(r2) == 774 and code(r3) == 774, "descriptor data that is not hex is refused: %s %s" % (r2, r3))
    check(call("GetNIT.w", port=0, channel=0) == nit, "and the NIT is unchanged")

    # The TOT's local time offset.
    entry = {"CountryCode": [ord(c) for c in "FRA"], "CountryRegID": 3, "LocalTimeOffsetPol": 0,
             "LocalTimeOffset": "01:00", "NextTimeOffset": "02:00", "TimeOfChange": "2031/03/30 01:00:00"}
    # The offsets' bounds themselves are taken.
    bounds = dict(entry, LocalTimeOffset="00:00", NextTimeOffset="23:59")
    r = call("SetTOTLocaltimeoffsetDescriptor.w", port=0, channel=0, streamList=[bounds])
    got = call("GetTOTLocaltimeoffsetDescriptor.w", port=0, channel=0)
    got = got["data"]["streamList"][0] if code(got) == 0 else {}
    check(code(r) == 0 and got.get("LocalTimeOffset") == "00:00" and got.get("NextTimeOffset") == "23:59",
          "TOT offsets 00:00 and 23:59 are taken: %s %s" % (r, got))
    check(code(call("SetTOTLocaltimeoffsetDescriptor.w", port=0, channel=0, streamList=[entry])) == 0,
          "SetTOTLocaltimeoffsetDescriptor.w succeeds")
    tot = call("GetTOTLocaltimeoffsetDescriptor.w", port=0, channel=0)
    back = tot["data"]["streamList"][0] if code(tot) == 0 else {}
    check(back.get("CountryCode") == "465241" and back.get("LocalTimeOffset") == "01:00" and
          back.get("NextTimeOffset") == "02:00" and back.get("TimeOfChange") == "2031/03/30 01:00:00",
          "the TOT entry round-trips: %s" % back)
    for key, text in (("LocalTimeOffset", "99:99"), ("LocalTimeOffset", "24:00"), ("NextTimeOffset", "garbage"),
                      ("TimeOfChange", "1899/13/40 25:61:61"), ("TimeOfChange", "2031/02/30 01:00:00")):
        r = call("SetTOTLocaltimeoffsetDescriptor.w", port=0, channel=0, streamList=[dict(entry, **{key: text})])
        check(code(r) == 774, "a TOT %s of %r is refused" % (key, text))
    check(call("GetTOTLocaltimeoffsetDescriptor.w", port=0, channel=0) == tot, "and the TOT entry is unchanged")

    # On the air: committed by the apply.
    before = capture_size(root)
    applied = code(call("ApplyAllParam.w"))
    if applied == 770:
        print("skip: ApplyAllParam.w is not built on this branch; the cable descriptor's place in the carousel's "
              "NIT is not checked, and the TOT is committed by AutoGenerateNITDescriptor.w instead")
        check(code(call("AutoGenerateNITDescriptor.w")) == 0, "the working copy is committed")
    else:
        check(applied == 0, "ApplyAllParam.w succeeds")
    if applied != 770:
        cable = bytes([0x44, 11]) + bytes.fromhex(CABLE)
        sec = latest(root, 0x10, 0x40, before, good=lambda sec: nit_entries(sec) and cable in nit_entries(sec)[0][1])
        entries = nit_entries(sec) if sec else []
        check(entries and cable in entries[0][1],
              "the carousel's NIT carries the cable descriptor in entry 0")
    want = bytes([0x58, 13]) + b"FRA" + bytes([(3 << 2) | 0x02, 0x01, 0x00])
    sec = latest(root, 0x14, 0x73, before, good=lambda sec: want in sec)
    check(sec is not None and want in sec and bytes([0x02, 0x00]) == sec[-6:-4],
          "the carousel's TOT carries the local time offset")


# ---- web applies while the input card feeds ---------------------------------

def feed_programs(ch, sids):
    """Programs of the input card added to the stream of channel ch (prog id
    = service id, a PCR and an ES PID each) and applied (271)."""
    progs, pids = [], []
    for sid in sids:
        pmt = 0x100 + 2 * sid
        progs.append(peers.program_record(ch, SLOT, 5, ch + 1, sid, sid, pmt, pmt + 1, b"Fed %d" % sid))
        pids.append(peers.pid_record(ch, SLOT, 5, ch + 1, sid, 1, peers.PID_PCR, 0x02, pmt + 1))
        pids.append(peers.pid_record(ch, SLOT, 5, ch + 1, sid, 2, peers.PID_ES, 0x02, pmt + 1))
    codes = peers.send_message(CARD, 5, peers.SEND_PROGRAM, peers.message(progs))
    codes += peers.send_message(CARD, 5, peers.SEND_PID, peers.message(pids))
    codes += peers.send_message(CARD, 5, peers.SEND_TSP_MUX_PROCESS)
    return set(codes) == {peers.SUCCESS}


def saved_programs(root):
    """{channel: service ids} of the valid program records of the saved
    output-stream file."""
    with open(os.path.join(root, "tarvex_data/K9_OutPutTSP.conf"), "rb") as f:
        data = f.read()
    streams, programs = struct.unpack_from("<II", data, 8)
    out = {}
    for i in range(programs):
        r = data[240 + 448 * streams + 920 * i:240 + 448 * streams + 920 * (i + 1)]
        if r[8] == 1:
            out.setdefault(struct.unpack_from("<H", r, 12)[0], set()).add(struct.unpack_from("<H", r, 34)[0])
    return out


def pat_sids(sec):
    return {struct.unpack_from(">H", sec, i)[0] for i in range(8, len(sec) - 4, 4)} - {0}


def sdt_sids(sec):
    out, pos = set(), 11
    while pos + 5 <= len(sec) - 4:
        out.add(struct.unpack_from(">H", sec, pos)[0])
        pos += 5 + ((sec[pos + 3] & 0x0F) << 8 | sec[pos + 4])
    return out


def table_sids(path, pid, table_id, start, parse):
    """Service ids of the table's newest version written after start: the
    union over its section numbers."""
    newest = {}
    for sec in sections(path, pid, table_id, start):
        version = (sec[5] >> 1) & 0x1F
        if newest.get("v") != version:
            newest = {"v": version}
        newest[sec[6]] = parse(sec)
    return set().union(*[v for k, v in newest.items() if k != "v"])


def check_on_air(root, want, starts, wait=20.0):
    """The PAT and the SDT of each channel (decoded here) list exactly the
    service ids wanted."""
    deadline = time.monotonic() + wait
    while True:
        got = {}
        for ch, sids in want.items():
            path = os.path.join(root, "trace/si_ch%d.ts" % ch)
            got[ch] = (table_sids(path, 0, 0x00, starts[ch], pat_sids),
                       table_sids(path, 0x11, 0x42, starts[ch], sdt_sids))
        bad = {ch: g for ch, g in got.items() if g != (set(want[ch]), set(want[ch]))}
        if not bad or time.monotonic() > deadline:
            return bad
        time.sleep(0.5)


def live_programs():
    """{channel: {service id: name}} of the live view."""
    got = call("GetOutputTSStatus.w")
    chans = got["data"]["portlist"][0]["channellist"] if code(got) == 0 else []
    return {c["channel"]: {p["serviceid"]: p["servicename"] for p in c["programlist"]} for c in chans
            if c["programlist"]}


def missing(want, got):
    """{channel: how many wanted service ids are missing, and the first few}."""
    out = {}
    for ch in want:
        gone = sorted(set(want[ch]) - set(got.get(ch, ())))
        if gone:
            out[ch] = "%d: %s" % (len(gone), gone[:6])
    return out


def agree(root, want, what, starts=None):
    """Live view, saved file and captures (from starts on) hold exactly the
    programs wanted."""
    live = {ch: set(p) for ch, p in live_programs().items()}
    check(live == want, "%s: the live view has every fed program (missing %s)" % (what, missing(want, live)))
    saved = saved_programs(root)
    check(saved == want, "%s: the saved file has every fed program (missing %s)" % (what, missing(want, saved)))
    if starts is not None:
        bad = check_on_air(root, want, starts)
        sub = {ch: want[ch] for ch in bad}
        check(not bad, "%s: the PAT and SDT of every channel carry exactly them (PAT missing %s, SDT missing %s)" %
              (what, missing(sub, {ch: g[0] for ch, g in bad.items()}),
               missing(sub, {ch: g[1] for ch, g in bad.items()})))


def run_applies(root, cards):
    want = {ch: set(s) for ch, s in FED.items()}

    # Apply, feed, apply.
    check(code(call("ApplyAllParam.w")) == 0, "ApplyAllParam.w succeeds")
    check(feed_programs(3, [410]), "program 410 is fed to channel 3 and applied")
    starts = [capture_size(root, ch) for ch in range(4)]
    check(code(call("ApplyAllParam.w")) == 0, "ApplyAllParam.w after the feed succeeds")
    want[3].add(410)
    agree(root, want, "apply, feed, apply", starts)

    # Automatic NIT, feed, apply.
    check(code(call("AutoGenerateNITDescriptor.w")) == 0, "AutoGenerateNITDescriptor.w succeeds")
    check(feed_programs(3, [411]), "program 411 is fed")
    starts = [capture_size(root, ch) for ch in range(4)]
    check(code(call("ApplyAllParam.w")) == 0, "ApplyAllParam.w after the automatic NIT and the feed succeeds")
    want[3].add(411)
    agree(root, want, "automatic NIT, feed, apply", starts)

    # View, edit, feed, apply: refused, nothing changed; reload, edit, apply.
    check(code(call("GetSubboardTSInfo.w")) == 0, "GetSubboardTSInfo.w opens the editor's view")
    check(code(call("SetProgramParam.w", port=0, channel=0, oldserviceid=100, servicename="Edited")) == 0,
          "service 100 is renamed in the working copy")
    check(feed_programs(3, [412]), "program 412 is fed after the edit")
    r = call("ApplyAllParam.w")
    check(code(r) == 783 and r.get("description"), "ApplyAllParam.w refuses the edit with 783 and a text: %s" % r)
    want[3].add(412)
    live = live_programs()
    check(live.get(0, {}).get(100) == "Peer 0-0", "the live name of service 100 is unchanged: %s" % live.get(0))
    temp = call("GetTempProgramInfo.w", port=0, channel=0, serviceid=100)
    check(code(temp) == 0 and temp["data"]["servicename"] == "Peer 0-0",
          "the working copy was opened again from the live streams")
    agree(root, want, "the refused apply")
    check(code(call("GetSubboardTSInfo.w")) == 0, "the editor's view is loaded again")
    check(code(call("SetProgramParam.w", port=0, channel=0, oldserviceid=100, servicename="Edited")) == 0,
          "and the edit made again")
    starts = [capture_size(root, ch) for ch in range(4)]
    check(code(call("ApplyAllParam.w")) == 0, "ApplyAllParam.w now succeeds")
    check(live_programs().get(0, {}).get(100) == "Edited", "the live view has the new name")
    agree(root, want, "reload, edit, apply", starts)

    # An input card feeding 100 programs while the web edits and applies.
    stop, codes, fed = threading.Event(), [], []

    def feeder():
        for k in range(100):
            fed.append(feed_programs(1 + k % 2, [1000 + k]))
            time.sleep(0.02)
        stop.set()

    def editor():
        n = 0
        while not stop.is_set():
            n += 1
            if n % 2:
                call("GetSubboardTSInfo.w")
                call("SetProgramParam.w", port=0, channel=0, oldserviceid=101, servicename="Loop %d" % n)
            codes.append(code(call("ApplyAllParam.w")))
            stop.wait(0.3)
    threads = [threading.Thread(target=feeder, daemon=True), threading.Thread(target=editor, daemon=True)]
    for t in threads:
        t.start()
    # Bounded by progress, not by a total: each program's three messages and
    # saves, beside the web's applies and saves, take what a busy disk gives.
    seen, last = 0, time.monotonic()
    while any(t.is_alive() for t in threads) and time.monotonic() - last < 30 * webcard.SLOW:
        threads[0].join(0.5)
        if len(fed) != seen:
            seen, last = len(fed), time.monotonic()
    check(not any(t.is_alive() for t in threads), "the feeder and the web applies end (%d programs fed, the last "
          "%.0f s ago)" % (len(fed), time.monotonic() - last))
    check(len(fed) == 100 and all(fed), "100 programs fed, each answered 1")
    check(codes and set(codes) <= {0, 783}, "every apply meanwhile answers 0 or 783 (%d applies, %d refused)" %
          (len(codes), codes.count(783)))
    for k in range(100):
        want[1 + k % 2].add(1000 + k)
    starts = [capture_size(root, ch) for ch in range(4)]
    check(code(call("GetSubboardTSInfo.w")) == 0 and
          code(call("SetProgramParam.w", port=0, channel=0, oldserviceid=101, servicename="Final")) == 0 and
          code(call("ApplyAllParam.w")) == 0, "after the feed, an edit is applied")
    check(live_programs().get(0, {}).get(101) == "Final", "the live view has it")
    agree(root, want, "100 programs fed while the web applies", starts)

    # And after a restart.
    webcard.stop(cards[0])
    starts = [capture_size(root, ch) for ch in range(4)]
    cards[0] = webcard.launch(build, root, os.path.join(os.path.dirname(root), "console.3"))
    webcard.wait_up(cards[0], lambda: call("Beat.w") is not None)
    agree(root, want, "after a restart", starts)
    names = live_programs()
    check(names.get(0, {}).get(100) == "Edited" and names.get(0, {}).get(101) == "Final",
          "the applied edits survive the restart")


def main():
    top = tempfile.mkdtemp(prefix="web_psisi.")
    proc = line = ic = None
    try:
        ic = peers.input_card("127.168.1.30", 5)
        root, proc, line = start(top)
        if call("Beat.w") is None:
            check(False, "the card's HTTP server answers on %s:%d" % (ADDR, PORT))
        else:
            cards = [proc]
            try:
                run(root, cards)
                run_applies(root, cards)
            finally:
                proc = cards[0]
            check(proc.poll() is None, "modcard still runs")
    finally:
        webcard.tear_down(top, check.failed, proc, line, ic)
    print("FAILED %d" % check.failed if check.failed else "all passed")
    sys.exit(1 if check.failed else 0)


main()
