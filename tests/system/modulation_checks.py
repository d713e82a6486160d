"""The modulation page on cards of all six standards, each a master and a
slave chip: values the card cannot run as sent (outside the RF chips' words
or the standard's enumerations, a page of another standard, a per-channel
value that the chip's one modulator core decides for all its channels, wrong
JSON types) are refused with 774 naming the field and change neither chip's
parameter file, the view nor the RF chips; an accepted page is what both
chips' RF programming (tuning words, level, TS-rate words, decoded here from
trace/spi.log and board.state) and SNMP show. A derived channel's frequency
edited on its own is answered 784.

Usage: python3 modulation_checks.py BUILD_DIR
"""
import hashlib
import json
import os
import re
import struct
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import snmp_agent as sa  # noqa: E402
import snmp_set  # noqa: E402
import webcard  # noqa: E402
from snmp_agent import cell, check  # noqa: E402
from webcard import wait_for  # noqa: E402

DAC_KHZ = 1935360
DAC_RE = re.compile(r"AD9789 write 0x([0-9a-f]{4}) := 0x([0-9a-f]{2})")
RFDA_RE = re.compile(r"RFDA0016 := 0x([0-9a-f]{2})")
TS_WORDS = 0x104000 + 0x22000 + 4 * 256 * 4  # board.state: the loaded TS-rate words of the 8 channels
DTMB_RATE = [(5414, 5197, 4812)] * 2 + [(8121, 7796, 7219)] + [(10828, 10395, 9625)] * 2 + [
    (16243, 15593, 14438), (21657, 20791, 19251), (27072, 25989, 24064), (16243, 15593, 14438),
    (24364, 23390, 21657), (32486, 31186, 28876)]


def ftw(khz):
    x = khz * 16777215.0 * 16.0 / DAC_KHZ
    v = int(x)
    v += 1 if v + 0.5 < x else 0
    return (v & 0xFFFFFF) + ((v >> 24) & 0xF)


def payload(std, c):
    """kbit/s of a channel object of the view, by the standards' formulas."""
    if std == "DTMB":
        return DTMB_RATE[c["constellation"]][(0, 0, 1, 2, 2)[c["framehead"]]]
    if std == "DVB-T":
        b = {2: 64, 1: 56}.get(c["bandwidth"], 48)
        m = {0: 2, 1: 4}.get(c["constellationmode"], 6)
        gd, gn = {0: (32, 33), 1: (16, 17), 2: (8, 9)}.get(c["guardinterval"], (4, 5))
        cn, cd = {0: (1, 2), 1: (2, 3), 2: (3, 4), 3: (5, 6)}.get(c["convolutionalbitrate"], (7, 8))
        return int(cn * gd * b * m * 0.680377 * 1000 / (gn * 7 * cd))
    if std == "DVB-C":
        return c["symbolrate"] * (c["qammode"] * 188 + 752) // 204
    if std == "J.83B":
        return (26970, 38810)[c["qammode"]]
    if std == "ISDB-T":
        m = max(1, c["qammode"])
        return int((156, 208, 234, 260, 273)[c["convolutionalbitrate"]] * 1504 * m * 1000.0 /
                   ((1 + 2.0 ** -(c["gimode"] + 2)) * 51408.0))
    return 19383


def ts_word(rate, offset):
    d = rate / 1000.0 - offset
    return 0xD0000000 | (min(int(2.0 * (40608.0 / d * 5.0)), 0x0FFFFFFF) if d > 0 else 0)


def chip(root):
    """What a chip's RF runs: final AD9789 registers, the last attenuator
    word, and the TS-rate words loaded into the FPGA."""
    text = snmp_set.read(os.path.join(root, "trace/spi.log"), "r")
    regs = {int(a, 16): int(v, 16) for a, v in DAC_RE.findall(text)}
    rfda = RFDA_RE.findall(text)
    with open(os.path.join(root, "board.state"), "rb") as f:
        f.seek(TS_WORDS)
        words = struct.unpack("<8I", f.read(32))
    return regs, int(rfda[-1], 16) if rfda else None, words


def runs_as_shown(std, pair, channels):
    """Problems between the view's channels and both chips' RF programming."""
    problems = []
    for k, root in enumerate((pair.master.root, pair.slave_root)):
        regs, rfda, words = chip(root)
        first = channels[4 * k]
        for n in range(4):
            c = channels[4 * k + n]
            got = [regs.get(0x0A + 3 * n + b) for b in range(3)]
            if (std != "ATSC" or c["enable"]) and got != [(ftw(c["frequency"]) >> 8 * b) & 0xFF for b in range(3)]:
                problems.append("channel %d: tuning word %s for %d kHz" % (4 * k + n, got, c["frequency"]))
            want = ts_word(payload(std, c), (0.1, 0.4)[k])
            if words[4 * k + n] != want:
                problems.append("channel %d: TS-rate word 0x%x, its view gives 0x%x" % (4 * k + n, words[4 * k + n], want))
        if (regs.get(5, 0) & 0xF) != sum(channels[4 * k + n]["enable"] << n for n in range(4)):
            problems.append("chip %d: enable mask %s" % (k, regs.get(5)))
        if std in ("DTMB", "J.83B"):
            p60, ref = first["power"] + 60, ((95.0, 94.4), (95.0, 94.3))[std == "J.83B"][k]
            want = int((24.0, 9.0)[std == "J.83B"] * 10 ** ((p60 - ref) / 20.0) + 0.5)
            if regs.get(8) != want:
                problems.append("chip %d: full scale %s for power %d" % (k, regs.get(8), first["power"]))
        elif rfda != first["power"]:
            problems.append("chip %d: attenuator %s for power %d" % (k, rfda, first["power"]))
    return problems


def channels_of(view):
    return view["data"]["portlist"][0]["channellist"]


def page(view, edit=None):
    """A SetSubboardParam.w body of the page as the view shows it, with
    edit(channels) applied."""
    d = view["data"]
    chans = json.loads(json.dumps(channels_of(view)))
    if edit:
        edit(chans)
    return {"psiinterval": d["psiinterval"], "channelstandard": d["channelstandard"], "rflevelunit": d["rflevelunit"],
            "portlist": [{"port": 0, "channellist": chans}]}


def setter(n, **values):
    def edit(chans):
        chans[n].update(values)
    return edit


def send(pair, body):
    try:
        return webcard.call(pair.web[0], pair.web[1], "SetSubboardParam.w", body, timeout=60)
    except (OSError, ValueError) as e:
        return {"code": None, "description": str(e)}


def md5s(pair):
    return [hashlib.md5(c).hexdigest() for c in pair.confs()]


# Per standard: board type, slot, the highest power this board takes, a
# value of channel 0's core to change in the accepted page, and refusals
# (edit, the key the description names).
STANDARDS = {
    "DTMB": (0, 1, 54, {"constellation": 6, "framehead": 3}, [
        (setter(0, constellation=11), "constellation"), (setter(0, framehead=5), "framehead"),
        (setter(0, Interweave=300), "Interweave"), (setter(1, constellation=4), "constellation"),
        (setter(5, carrier=1), "carrier"), (setter(0, qammode=2), "qammode")]),
    "DVB-T": (1, 2, 63, {"constellationmode": 1, "qammode": 1, "convolutionalbitrate": 1}, [
        (setter(0, bandwidth=3), "bandwidth"), (setter(5, bandwidth=1), "bandwidth"),
        (setter(0, fftmode=3), "fftmode"), (setter(1, constellationmode=0, qammode=0), "constellationmode"),
        (setter(6, gimode=3, guardinterval=3), "guardinterval"), (setter(0, segmentmode=13), "segmentmode"),
        (setter(0, symbolrate=6875), "symbolrate")]),
    "DVB-C": (2, 3, 63, {"qammode": 4, "symbolrate": 6952}, [
        (setter(0, qammode=5), "qammode"), (setter(0, symbolrate=3000000), "symbolrate"),
        (setter(4, symbolrate=7560), "symbolrate"), (setter(5, symbolrate=5000), "symbolrate"),
        (setter(0, bandwidth=3), "bandwidth"), (setter(0, gimode=1), "gimode")]),
    "J.83B": (3, 4, 63, {"qammode": 0, "symbolrate": 5057, "Interweave": 5}, [
        (setter(0, qammode=2), "qammode"), (setter(0, symbolrate=6000), "symbolrate"),
        (setter(0, bandwidth=1), "bandwidth"), (setter(1, qammode=0, symbolrate=5057), "qammode"),
        (setter(0, Interweave=1), "Interweave"), (setter(0, segmentmode=13), "segmentmode")]),
    "ISDB-T": (4, 5, 63, {"qammode": 2, "gimode": 3, "convolutionalbitrate": 0}, [
        (setter(0, fftmode=0), "fftmode"), (setter(0, segmentmode=5), "segmentmode"),
        (setter(2, gimode=1), "gimode"), (setter(4, qammode=4), "qammode"),
        (setter(0, symbolrate=6875), "symbolrate")]),
    "ATSC": (5, 6, 63, {}, [(setter(0, qammode=2), "qammode")]),
}
def both(**values):
    def edit(chans):
        chans[0].update(values)
        chans[4].update(values)
    return edit


COMMON = [(lambda m: both(power=m + 1), "power"), (lambda m: setter(2, enable=2), "enable"),
          (lambda m: setter(0, frequency=1000001), "frequency"), (lambda m: setter(0, power="40"), "power"),
          (lambda m: setter(0, power=-1), "power"), (lambda m: setter(1, enable=4294967296), "enable"),
          (lambda m: setter(3, enable=0.5), "enable"), (lambda m: setter(0, channel=9), "channel")]


def accepted(std, pair, power, core):
    """Channel 0's core values and the highest power changed, channels 1-3
    sent back as the view showed them: answered 0, and every channel shows
    and runs channel 0's values."""
    view = pair.view()
    edits = dict(core, power=power, enable=1)
    slave_edits = dict(edits)
    if std != "ATSC":
        # Each chip's band moves on its own: one on top of the other is refused.
        edits["frequency"] = channels_of(view)[0]["frequency"] + 16000
        slave_edits["frequency"] = channels_of(view)[4]["frequency"] + 16000
    body = page(view, lambda chans: (chans[0].update(edits), chans[1].update(enable=1), chans[4].update(slave_edits)))
    if std == "ATSC":  # four independent channels: one of them moved on its own
        body["portlist"][0]["channellist"][1]["frequency"] += 6000
    r = send(pair, body)
    check(r.get("code") == 0, "%s: the page with channel 0's %s changed is accepted (%s)" % (std, sorted(edits), r))
    wait_for(lambda: not runs_as_shown(std, pair, channels_of(pair.view())), 30)
    after = pair.view()
    chans = channels_of(after)
    shown = all(chans[g + n][k] == edits[k] for g in (0, 4) for n in range(4) for k in edits if k not in
                ("frequency", "enable"))
    check(shown, "%s: channels 1-3 and 5-7 show what their chip's first channel runs" % std)
    check(wait_for(pair.same_set, 10), "%s: both chips saved the same set" % std)
    problems = runs_as_shown(std, pair, chans)
    check(not problems, "%s: both chips run what the view shows: %s" % (std, "; ".join(problems[:4])))
    agent = pair.master.get([cell(col, r) for col in (2, 3) for r in range(1, 9)])
    check(agent == [c["power"] for c in chans] + [c["enable"] for c in chans],
          "%s: SNMP reports the view's power and enables (%s)" % (std, agent))
    if std not in ("J.83B", "ATSC"):
        freqs = pair.master.get([cell(4, r) for r in range(1, 9)])
        check(freqs == [c["frequency"] for c in chans], "%s: SNMP reports the view's frequencies" % std)


def refused(std, pair, power, cases):
    """Each refused page answers 774 with its key in the description; none
    changes a file, the view or an RF chip."""
    snmp_set.spi_quiet(pair, 4.0, 60)
    view = pair.view()
    before = (md5s(pair), [len(t) for t in pair.spi()])
    for edit, key in [(f(power), k) for f, k in COMMON] + cases:
        r = send(pair, page(view, edit))
        check(r.get("code") == 774 and key in (r.get("description") or ""),
              "%s: %s refused with 774 naming it (%s)" % (std, key, r.get("description")))
    time.sleep(0.5)
    check(pair.view() == view, std + ": refused pages leave the view as it was")
    check((md5s(pair), [len(t) for t in pair.spi()]) == before,
          std + ": refused pages leave both parameter files (md5) and both chips' RF (spi.log) alone")


def derived_frequency(pair):
    """DTMB: channels 1-3 (5-7) are on air at channel 0 (4) plus 8 MHz steps.
    An edit of such a channel's frequency is answered 784 and changes
    nothing; after an unrelated save (SNMP's PSI interval) the view, both
    files and the tuning words still agree."""
    snmp_set.spi_quiet(pair, 2.0, 30)
    view = pair.view()
    before = (md5s(pair), [len(t) for t in pair.spi()])
    for n, f in ((1, 530000), (6, 700000)):
        r = send(pair, page(view, setter(n, frequency=f)))
        check(r.get("code") == 784 and "frequency of channel %d" % n in (r.get("description") or ""),
              "DTMB: channel %d's frequency := %d is answered 784, it is derived (%s)" % (n, f, r))
    check(pair.view() == view and (md5s(pair), [len(t) for t in pair.spi()]) == before,
          "DTMB: the refused edits change no file, view or RF chip")
    psi = view["data"]["psiinterval"] + 50
    status, _ = pair.master.set([(sa.PSI, "i", psi)])
    check(status == "" and wait_for(lambda: pair.psi() == [psi, psi], 10), "DTMB: SNMP PSI interval := %d saved" % psi)
    chans = channels_of(pair.view())
    files = [list(struct.unpack_from("<8I", c, 88 + 128)) for c in pair.confs()]
    check(files == [[c["frequency"] for c in chans]] * 2 and
          all(c["frequency"] == chans[n - n % 4]["frequency"] + 8000 * (n % 4) for n, c in enumerate(chans)),
          "DTMB: view and both files hold the frequencies on air: %s" % files)
    check(not runs_as_shown("DTMB", pair, chans), "DTMB: the tuning words are the view's frequencies")


def main():
    build = sys.argv[1]
    top = tempfile.mkdtemp(prefix="modcard-modchecks-")
    pairs = {}
    try:
        for std, (board_type, slot, _, _, _) in STANDARDS.items():
            pairs[std] = snmp_set.Pair(build, top, std.lower().replace(".", ""), board_type, slot)
            pairs[std].start()
        for std, pair in pairs.items():
            missing = pair.up()
            # Past the start-up's last programming (J.83 Annex B applies again).
            done = wait_for(lambda: "This version is a universal version" in pair.master.log(), 30)
            check(not missing and done, std + ": both chips up" + missing)
        for std, pair in pairs.items():
            problems = runs_as_shown(std, pair, channels_of(pair.view()))
            check(not problems, "%s: with factory values both chips run what the view shows: %s" %
                  (std, "; ".join(problems[:4])))
        for std, (_, _, power, core, cases) in STANDARDS.items():
            refused(std, pairs[std], power, cases)
            accepted(std, pairs[std], power, core)
        derived_frequency(pairs["DTMB"])

        # SNMP: the level a board takes is the level it runs (DVB-T's factory
        # 63 too), and FFT and segment columns change what they name.
        dvbt, isdbt = pairs["DVB-T"], pairs["ISDB-T"]
        for pair, col, value, key in ((dvbt, 2, 62, "power"), (dvbt, 9, 2, "fftmode"), (isdbt, 20, 3, "fftmode"),
                                      (isdbt, 24, 1, "segmentmode")):
            status, _ = pair.master.set([(cell(col, 1), "i", value)])
            shown = wait_for(lambda: channels_of(pair.view())[3][key] == value, 20)
            check(status == "" and shown and pair.master.get([cell(col, 4)]) == [value],
                  "SNMP column %d := %d accepted, channel 3 runs and shows it (%s)" % (col, value, status))
        status, _ = dvbt.master.set([(cell(2, 1), "i", 64)])
        check(status == "wrongValue", "SNMP power 64 on DVB-T is refused (%s)" % status)
    finally:
        for pair in pairs.values():
            pair.stop()
    sa.finish(top)


if __name__ == "__main__":
    main()
