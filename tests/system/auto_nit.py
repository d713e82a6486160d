"""The automatic NIT as a receiver reads it, on DVB-C, DVB-T, ISDB-T and
J.83 Annex B masters fed by an input-card peer, one card after the other:
the NIT on each channel's capture, decoded here, describes every channel with
its standard's delivery descriptor, the frequency and modulation that channel
runs, and the transport_stream_id and original_network_id of its PAT and SDT.
A moved frequency steps the version once, a rebuild without change not at
all. On the DVB-C card an edit that takes the NIT to three sections steps it
too, and a version the operator sets is the one on air.

Usage: python3 auto_nit.py BUILD_DIR

The cards run on slot 10 (own address 127.168.1.21, HTTP port 18021).
"""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402
import capture  # noqa: E402
import webcard  # noqa: E402

SLOT, CARD, ADDR, PORT = 10, "192.168.1.21", "127.168.1.21", 18021
CHANNELS = (0, 1, 2)
MOVE = 24000  # kHz
build = os.path.abspath(sys.argv[1])
check = webcard.Checks()


def call(key, **members):
    try:
        return webcard.call(ADDR, PORT, key, members, timeout=60)
    except (OSError, ValueError):
        return {}


def bcd(b, digits):
    return int("".join("%02x" % x for x in b)[:digits])


def decode(d):
    """The fields of a delivery descriptor, read as EN 300 468 and ARIB STD-B10 lay them out."""
    tag, body = d[0], d[2:]
    if tag == 0x44 and len(body) == 11:
        return dict(tag=tag, khz=bcd(body[0:4], 8) // 10, fec_outer=body[5] & 0x0F, modulation=body[6],
                    symbol_rate=bcd(body[7:11], 7), fec_inner=body[10] & 0x0F)
    if tag == 0x5A and len(body) == 11:
        return dict(tag=tag, khz=int.from_bytes(body[0:4], "big") // 100, bandwidth=body[4] >> 5,
                    constellation=body[5] >> 6, code_rate=body[5] & 7, guard=(body[6] >> 3) & 3,
                    mode=(body[6] >> 1) & 3)
    if tag == 0xFA and len(body) == 4:
        return dict(tag=tag, area=(body[0] << 4) | (body[1] >> 4), guard=(body[1] >> 2) & 3, mode=body[1] & 3,
                    units=int.from_bytes(body[2:4], "big"))
    return dict(tag=tag, raw=bytes(body).hex())


# Board type: (name, spacing kHz, the descriptor channel k runs at f kHz
# with the factory modulation, and after the change).
STANDARDS = {
    2: ("DVB-C", 8000, lambda f: dict(tag=0x44, khz=f, fec_outer=2, modulation=3, symbol_rate=68750, fec_inner=15)),
    1: ("DVB-T", 8000, lambda f: dict(tag=0x5A, khz=f, bandwidth=0, constellation=2, code_rate=4, guard=0, mode=2)),
    4: ("ISDB-T", 6000, lambda f: dict(tag=0xFA, area=0, guard=3, mode=0, units=round(f * 7 / 1000))),
    3: ("J.83B", 6000, lambda f: dict(tag=0x44, khz=f, fec_outer=0, modulation=5, symbol_rate=53605, fec_inner=0)),
}
# J.83B moves to 64-QAM with its frequency (all four channels: one core).
CHANGE = {3: (dict(qammode=0), dict(modulation=3, symbol_rate=50569))}


def sections(root, ch, pid, table_id, start):
    """Complete, CRC-checked sections of a table on a PID of channel ch's
    capture written after a byte offset."""
    return [s for p, s in capture.sections(capture.channel(root, ch), start) if p == pid and s[0] == table_id]


def nit(secs):
    """The last complete NIT among sections: (version, section count, network
    id, [(tsid, onid, [descriptors])]), or None."""
    for end in range(len(secs) - 1, -1, -1):
        last = secs[end][7]
        table = secs[end - last:end + 1] if end >= last else []
        if [s[6] for s in table] != list(range(last + 1)) or len({s[5] for s in table}) != 1:
            continue
        entries = []
        for s in table:
            pos = 10 + ((s[8] & 0x0F) << 8 | s[9])
            stop = pos + 2 + ((s[pos] & 0x0F) << 8 | s[pos + 1])
            pos += 2
            while pos + 6 <= stop:
                dl = (s[pos + 4] & 0x0F) << 8 | s[pos + 5]
                loop, descs, at = s[pos + 6:pos + 6 + dl], [], 0
                while at + 2 <= len(loop):
                    descs.append(loop[at:at + 2 + loop[at + 1]])
                    at += 2 + loop[at + 1]
                entries.append((s[pos] << 8 | s[pos + 1], s[pos + 2] << 8 | s[pos + 3], descs))
                pos += 6 + dl
        return (table[0][5] >> 1) & 0x1F, len(table), table[0][3] << 8 | table[0][4], entries
    return None


def size(root, ch):
    try:
        return os.path.getsize(os.path.join(root, "trace/si_ch%d.ts" % ch))
    except OSError:
        return 0


def on_air(root, starts, good, count=1, wait=25.0):
    """{channel: the last NIT written after its offset} once every channel's
    passes good() after count NITs, or what was there when the wait ended."""
    deadline = time.monotonic() + wait * webcard.SLOW
    while True:
        got = {}
        for ch in CHANNELS:
            secs = sections(root, ch, 0x10, 0x40, starts[ch])
            got[ch] = nit(secs) if len(secs) >= count else None
        if all(t and good(t) for t in got.values()) or time.monotonic() > deadline:
            return got
        time.sleep(0.3)


def ids(root):
    """{channel: (PAT tsid, SDT tsid, SDT onid)} from the captures."""
    out = {}
    for ch in CHANNELS:
        pat, sdt = sections(root, ch, 0, 0, 0), sections(root, ch, 0x11, 0x42, 0)
        out[ch] = (pat[-1][3] << 8 | pat[-1][4] if pat else None, sdt[-1][3] << 8 | sdt[-1][4] if sdt else None,
                   sdt[-1][8] << 8 | sdt[-1][9] if sdt else None)
    return out


def described(table, want):
    """Whether a decoded NIT has one entry per channel, each with its PAT and
    SDT ids and exactly the descriptor wanted for that channel."""
    if table is None or len(table[3]) != len(CHANNELS):
        return False
    for ch, (tsid, onid, d) in want.items():
        hit = [e for e in table[3] if e[0] == tsid]
        if len(hit) != 1 or hit[0][1] != onid or [decode(x) for x in hit[0][2]] != [d]:
            return False
    return True


def build_nit(root):
    starts = {ch: size(root, ch) for ch in CHANNELS}
    return call("AutoGenerateNITDescriptor.w").get("code"), starts


def run_card(top, board_type):
    name, spacing, descriptor = STANDARDS[board_type]
    root = os.path.join(top, name)
    subprocess.run([os.path.join(build, "modcard-board"), root, "--board-type", str(board_type), "--slot", str(SLOT),
                    "--http-port", str(PORT), "--slave-chip", "0"], check=True, stdout=subprocess.DEVNULL)
    line = peers.chassis_for(root, SLOT)
    proc = webcard.launch(build, root, root + ".console")
    try:
        webcard.wait_up(proc, lambda: call("Beat.w").get("code") == 0)
        check(peers.announce(CARD, 5, "192.168.1.30") == [1], "%s: the input card is announced" % name)
        codes = peers.feed(CARD, 5, SLOT, channels=CHANNELS)
        check(all(set(c) == {peers.SUCCESS} for c in codes.values()), "%s: streams fed and applied" % name)
        flags = dict(pat=1, pmt=1, cat=1, sdt=1, nit=1, TDT=0, TOT=0, mgt=0, vct=0, stt=0, vcttype=0)
        r = call("SetSubboardPSIPChannel.w", portlist=[{"port": 0, "channellist": [
            {"channel": ch, "enable": 1, "flag": flags} for ch in CHANNELS]}])
        check(r.get("code") == 0, "%s: the NIT switch is on for channels 0-2" % name)
        params = call("GetSubboardParam.w").get("data", {})
        first = params["portlist"][0]["channellist"][0]["frequency"] if params else 0
        got = {}
        webcard.wait_for(lambda: got.update(ids(root)) or all(None not in v for v in got.values()), 20)
        check(all(v[0] == v[1] for v in got.values()) and len({v[0] for v in got.values()}) == len(CHANNELS),
              "%s: each channel's PAT and SDT carry one transport_stream_id of its own: %s" % (name, got))

        def want(f0, extra=None):
            return {ch: (got[ch][0], got[ch][2], dict(descriptor(f0 + ch * spacing), **(extra or {})))
                    for ch in CHANNELS}

        code, starts = build_nit(root)
        tables = on_air(root, starts, lambda t: described(t, want(first)))
        check(code == 0 and all(described(t, want(first)) for t in tables.values()),
              "%s: every channel's NIT describes channels 0-2 as they run (%s)" % (name, tables[0]))
        version = tables[0][0] if tables[0] else 0

        change, extra = CHANGE.get(board_type, ({}, None))
        moved = dict(channel=0, frequency=first + MOVE)
        r = call("SetSubboardParam.w", psiinterval=params.get("psiinterval", 100),
                 channelstandard=params.get("channelstandard", 0), portlist=[{"port": 0, "channellist": [
                     dict(moved, **change)] + [dict(channel=ch, **change) for ch in (1, 2, 3) if change]}])
        check(r.get("code") == 0, "%s: channel 0 moves to %d kHz %s(%s)" % (name, first + MOVE, change or "", r))
        code, starts = build_nit(root)
        tables = on_air(root, starts, lambda t: described(t, want(first + MOVE, extra)))
        check(code == 0 and all(described(t, want(first + MOVE, extra)) for t in tables.values()),
              "%s: the rebuilt NIT describes the new layout (%s)" % (name, tables[0]))
        stepped = {t[0] if t else None for t in tables.values()}
        check(stepped == {(version + 1) % 32}, "%s: its version steps once, %d to %s" % (name, version, stepped))

        code, starts = build_nit(root)
        tables = on_air(root, starts, lambda t: True, count=3)
        kept = {t[0] if t else None for t in tables.values()}
        check(code == 0 and kept == {(version + 1) % 32} and all(described(t, want(first + MOVE, extra))
                                                                   for t in tables.values()),
              "%s: a rebuild without change keeps version %s" % (name, kept))
        if board_type == 2:
            edits(root, (version + 1) % 32)
    finally:
        webcard.stop(proc)
        line.stop()


def edits(root, version):
    """Descriptors that take the NIT to three sections, applied: one version
    step; then a version the operator sets."""
    for k in range(9):
        r = call("SetOtherDescriptor.w", port=0, channel=0, tsindex=k % 3, descriptor=0, tableindex=0, tag="83",
                 data="%02x" % k * 250, editFlag=False)
        if r.get("code") != 0:
            break
    check(r.get("code") == 0, "nine 250-byte descriptors are added to channel 0's NIT (%s)" % r)
    starts = {ch: size(root, ch) for ch in CHANNELS}
    check(call("ApplyAllParam.w").get("code") == 0, "ApplyAllParam.w succeeds")
    t = on_air(root, starts, lambda t: t[1] == 3)[0]
    check(t is not None and t[1] == 3 and t[0] == (version + 1) % 32,
          "channel 0's NIT goes on air in 3 sections with version %d: %s" % ((version + 1) % 32, t and t[:2]))
    check(call("SetNitVersionNum.w", port=0, channel=0, networkid=1234, versionnumber=7).get("code") == 0,
          "SetNitVersionNum.w sets version 7")
    starts = {ch: size(root, ch) for ch in CHANNELS}
    check(call("ApplyAllParam.w").get("code") == 0, "ApplyAllParam.w succeeds")
    t = on_air(root, starts, lambda t: t[0] == 7)[0]
    check(t is not None and t[:3] == (7, 3, 1234), "and channel 0's NIT goes on air with version 7: %s" %
          (t and t[:3],))


def main():
    top = tempfile.mkdtemp(prefix="auto_nit.")
    ic = None
    try:
        ic = peers.input_card("127.168.1.30", 5)
        for board_type in STANDARDS:
            run_card(top, board_type)
    finally:
        webcard.tear_down(top, check.failed, None, ic)
    print("FAILED %d" % check.failed if check.failed else "all passed")
    sys.exit(1 if check.failed else 0)


main()
