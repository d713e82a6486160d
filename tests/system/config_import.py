"""Configuration import (frame 516) across standards, each card a master and
a slave chip with its own streams from an input card: a DVB-C card's export
(frame 517) imported into a DTMB and an ATSC card is refused, the back board
told in the answer to 516, and nothing changes (every stored file of both
chips, the view, and after a restart the card's own streams on air, read from
the captures); an archive of the card's own standard whose frequency plan or
one value the web refuses is refused whole; a damaged archive is refused; a
DVB-C export imported into another DVB-C card comes back whole. An archive
whose output streams cannot go on air beside what is on air (a program on
air renamed, with information no PMT section holds) is taken at the next
start only if its plan holds: refused, the PAT, PMTs and SDT on air, the
web's view and the saved output-stream file stay as they were. A clear of
every stream takes routes and tables off air together.

Usage: python3 config_import.py BUILD_DIR
"""
import gzip
import hashlib
import io
import json
import os
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import capture  # noqa: E402
import peers  # noqa: E402
import snmp_agent as sa  # noqa: E402
import snmp_set  # noqa: E402
import webcard  # noqa: E402
from snmp_agent import check  # noqa: E402
from webcard import wait_for  # noqa: E402

IMPORT, EXPORT = 516, 517
INPUT_SLOT, INPUT_IP = 5, "192.168.1.30"
READY = "This version is a universal version"
# name: board type, slot, mode + 1 as the archive carries it, channels fed
CARDS = {"dvbc": (2, 3, 4, (0, 1, 2)), "dtmb": (0, 6, 1, (0,)), "atsc": (5, 9, 7, (0,)), "dvbc2": (2, 10, 4, (0,))}


def frames(pair):
    return "192.168.1.%d" % (11 + pair.slot)


def stored(pair):
    """md5 of every stored file of both chips (the logs aside)."""
    out = {}
    for root in (pair.master.root, pair.slave_root):
        top = os.path.join(root, "tarvex_data")
        for d, dirs, files in os.walk(top):
            dirs[:] = [x for x in dirs if x != "log"]
            for f in files:
                if ".tmp." in f:
                    continue  # a save in progress
                with open(os.path.join(d, f), "rb") as fh:
                    out[os.path.relpath(os.path.join(d, f), root)] = hashlib.md5(fh.read()).hexdigest()
    return out


def members(archive):
    with tarfile.open(archive, "r:gz") as t:
        return t.extractfile("param_new.conf").read()


def pack(path, conf):
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as t:
        info = tarfile.TarInfo("param_new.conf")
        info.size = len(conf)
        t.addfile(info, io.BytesIO(conf))
    with open(path, "wb") as f:
        f.write(buf.getvalue())


class Obj(list):
    """A JSON object as its (name, value) pairs, repeated names kept."""

    def set(self, name, value):
        self[:] = [(k, value if k == name else v) for k, v in self]


def dump(v):
    if isinstance(v, Obj):
        return "{" + ",".join(json.dumps(k) + ":" + dump(x) for k, x in v) + "}"
    if isinstance(v, list):
        return "[" + ",".join(dump(x) for x in v) + "]"
    return json.dumps(v)


def rebuilt(conf, change_doc=None, standard=None):
    """An export image with its JSON changed and its header made right."""
    sys_len, ts_len = struct.unpack_from("<II", conf, 12)
    doc = conf[128:128 + sys_len]
    if change_doc:
        d = json.loads(doc, object_pairs_hook=Obj)
        change_doc(dict(dict(d)["portlist"][0])["channellist"])
        doc = dump(d).encode()
    payload = doc + conf[128 + sys_len:]
    head = bytearray(conf[:128])
    if standard is not None:
        head[5] = standard
    struct.pack_into("<III", head, 8, len(payload), len(doc), ts_len)
    struct.pack_into("<I", head, 120, peers.CRC(payload))
    return bytes(head) + payload


def offer(pair, conf=None, raw=None):
    """Puts an archive in the card's back-board folder and sends 516 once;
    the answer's code."""
    path = os.path.join(pair.master.root, "backboard_ftp", "%dconf.tar" % pair.slot)
    if raw is not None:
        with open(path, "wb") as f:
            f.write(raw)
    else:
        pack(path, conf)
    codes = peers.send_message(frames(pair), 16, IMPORT, attempts=1)
    return codes[0] if codes else None


def programs(build, root, channel):
    cap = os.path.join(root, "trace/si_ch%d.ts" % channel)
    if not os.path.exists(cap):
        return ""
    return subprocess.run([os.path.join(build, "tests/psidecode"), "--ts", cap], capture_output=True,
                          text=True).stdout


def refused_unchanged(pair, name, conf, want, what, raw=None):
    line = "import of %dconf.tar refused: " % pair.slot
    before, view, logged = stored(pair), pair.view(), pair.master.log().count(line)
    code = offer(pair, conf, raw)
    check(code == want, "%s: %s is answered %s (%s)" % (name, what, want, code))
    check(pair.master.log().count(line) == logged + 1, "%s: the refusal of %s is logged in one line" % (name, what))
    check(stored(pair) == before and pair.view() == view,
          "%s: %s changes no stored file of either chip and not the view" % (name, what))


def exported(pair):
    """517 answered 1, and the export done: its archive on the back board and
    the OID dump it made removed again."""
    archive = os.path.join(pair.master.root, "backboard_ftp", "%dconf.tar" % pair.slot)
    oids = os.path.join(pair.master.root, "tarvex_data/oiddata.conf")
    if os.path.exists(archive):
        os.remove(archive)
    return peers.send_message(frames(pair), 16, EXPORT) == [1] and wait_for(
        lambda: os.path.exists(archive) and not os.path.exists(oids), 30)


def on_air(build, root):
    """Channel 0's own program on air, then several carousel rounds (each
    round writes every channel's tables)."""
    cap = os.path.join(root, "trace/si_ch0.ts")
    if not wait_for(lambda: "PAT_PROGRAM number=100" in programs(build, root, 0), 30):
        return False
    size = os.path.getsize(cap)
    return wait_for(lambda: os.path.getsize(cap) >= 3 * size, 30)


def restart(pair):
    for ch in range(4):
        cap = os.path.join(pair.master.root, "trace/si_ch%d.ts" % ch)
        if os.path.exists(cap):
            os.remove(cap)
    runs = pair.master.log().count(READY)
    pair.master.stop()
    pair.master.start(wait_agent=False)
    return wait_for(lambda: pair.master.log().count(READY) > runs, 60)


# ---- an archive's output streams (the OID dump after its JSON) ------------

def oid_records(dump):
    """[key, count, unit, bytearray] of an OID dump, in its order."""
    out, at = [], 2
    while len(dump) - at > 8:
        key, count, unit = struct.unpack_from("<IHH", dump, at)
        out.append([key, count, unit, bytearray(dump[at + 8:at + 8 + count * unit])])
        at += 8 + count * unit
    return out


def swelled(conf, channel=0):
    """The archive with the first program of a channel renamed "Gone..." and
    given 1,010 bytes of information in a descriptor record: its PMT is past
    one section."""
    sys_len, ts_len = struct.unpack_from("<II", conf, 12)
    dump = conf[128 + sys_len:128 + sys_len + ts_len]
    recs = oid_records(dump)
    keys = {r[0]: r for r in recs}

    def get(key, i):
        _, _, unit, data = keys[key]
        return int.from_bytes(data[i * unit:(i + 1) * unit], "little")

    def put(key, i, value):
        _, _, unit, data = keys[key]
        data[i * unit:(i + 1) * unit] = value if isinstance(value, bytes) else value.to_bytes(unit, "little")

    prog = next(i for i in range(keys[122][1]) if get(122, i) == 1 and get(125, i) == channel)
    ts, d = get(128, prog), next(i for i in range(keys[211][1]) if get(211, i) != 1)
    info = bytes([0x05, 8]) + b"SWELLING"
    for key, value in ((211, 1), (213, channel), (214, prog), (215, 0xFFFF), (216, (info * 101).ljust(1024, b"\0")),
                       (397, 1010), (398, d), (400, get(393, ts)), (401, ts), (403, get(124, prog)),
                       (404, get(123, prog))):
        put(key, d, value)
    put(393, ts, d)
    put(392, ts, get(392, ts) + 1)
    put(153, prog, 1010)
    put(159, prog, d)
    name = bytearray(keys[145][3][prog * 32:(prog + 1) * 32])
    name[:4] = b"Gone"
    put(145, prog, bytes(name))
    body = dump[:2] + b"".join(struct.pack("<IHH", k, c, u) + bytes(v) for k, c, u, v in recs)
    payload = conf[128:128 + sys_len] + body
    head = bytearray(conf[:128])
    struct.pack_into("<III", head, 8, len(payload), sys_len, len(body))
    struct.pack_into("<I", head, 120, peers.CRC(payload))
    return bytes(head) + payload


def air(root, ch):
    """The PAT, PMT and SDT sections of a channel's capture, without their
    versions, and the programs they carry."""
    secs = {(pid, sec[:5] + sec[6:-4]) for pid, sec in capture.sections(capture.channel(root, ch))
            if (pid == 0 and sec[0] == 0) or sec[0] == 2 or (pid == 0x11 and sec[0] == 0x42)}
    return capture.programs(root, ch), secs


def streams_view(pair):
    try:
        r = webcard.call(pair.web[0], pair.web[1], "GetOutputTSStatus.w", {})
        return {c["channel"]: sorted((p["serviceid"], p["servicename"]) for p in c.get("programlist", []))
                for c in r["data"]["portlist"][0]["channellist"]}
    except (OSError, ValueError, KeyError, TypeError) as e:
        return str(e)


def saved_programs(root):
    """{(slot, input channel, channel, program id): (information length, name)} of the saved file."""
    try:
        with open(os.path.join(root, "tarvex_data/K9_OutPutTSP.conf"), "rb") as f:
            data = f.read()
    except OSError:
        return {}
    n_ts, n_prog = struct.unpack_from("<2I", data, 8)
    out = {}
    for i in range(n_prog):
        r = data[240 + n_ts * 448 + i * 920:][:920]
        if r[8] == 1:
            out[(r[9],) + struct.unpack_from("<HHxxxxxxH", r, 10)] = (struct.unpack_from("<H", r, 118)[0],
                                                                       r[48:48 + r[46]])
    return out


def main():
    build = sys.argv[1]
    top = tempfile.mkdtemp(prefix="modcard-import-")
    pairs = {}
    feeder = peers.input_card("127.168.1.30", INPUT_SLOT)
    try:
        for name, (board_type, slot, _, _) in CARDS.items():
            pairs[name] = snmp_set.Pair(build, top, name, board_type, slot)
            pairs[name].slot = slot
            pairs[name].start()
        for name, pair in pairs.items():
            up = pair.up()
            ready = wait_for(lambda: READY in pair.master.log(), 60)
            fed = peers.announce(frames(pair), INPUT_SLOT, INPUT_IP) == [1] and all(
                set(c) == {peers.SUCCESS} for c in peers.feed(frames(pair), INPUT_SLOT, pair.slot,
                                                             CARDS[name][3]).values())
            check(not up and ready and fed, "%s: both chips up, channels %s fed%s" % (name, CARDS[name][3], up))

        # The DVB-C card's export, with a modulation of its own.
        dvbc = pairs["dvbc"]
        body = {"psiinterval": 100, "portlist": [{"port": 0, "channellist": [
            {"channel": 0, "frequency": 610000, "power": 40, "enable": 1}, {"channel": 4, "power": 40}]}]}
        reply = webcard.call(dvbc.web[0], dvbc.web[1], "SetSubboardParam.w", body)
        archive = os.path.join(dvbc.master.root, "backboard_ftp", "3conf.tar")
        check(reply["code"] == 0 and exported(dvbc), "DVB-C: modulation set and exported (517)")
        conf = members(archive)
        check(conf[:4] == b"ARAP" and conf[4] == 0x22 and conf[5] == 4,
              "the export keeps board type 0x22 and names its standard, DVB-C (mode 3 + 1)")

        # Into DTMB as it is, into ATSC as an archive made before the
        # standard was named (known by its members): refused, nothing changes.
        refused_unchanged(pairs["dtmb"], "DTMB", conf, 16, "the DVB-C archive")
        refused_unchanged(pairs["atsc"], "ATSC", rebuilt(conf, standard=0), 16, "the DVB-C archive of old")
        for name in ("dtmb", "atsc"):
            pair = pairs[name]
            check(restart(pair) and on_air(build, pair.master.root),
                  "%s: restarted, its own channel 0 on air for several rounds" % name)
            check("PAT_PROGRAM" not in programs(build, pair.master.root, 1),
                  "%s: after the restart no DVB-C stream is on channel 1" % name)

        # The ATSC card's own archive with a plan spanning 128 MHz, then with
        # one value the web refuses, then damaged: each refused whole.
        atsc = pairs["atsc"]
        own = os.path.join(atsc.master.root, "backboard_ftp", "9conf.tar")
        check(exported(atsc), "ATSC: its own configuration exported")
        mine = members(own)

        def spread(chans):
            for k, c in enumerate(chans[:4]):
                c.set("enable", 1)
                c.set("frequency", 57000 + 128000 * (k == 3) + 6000 * k)

        def loud(chans):
            chans[0].set("power", 256)  # more than the level byte holds
        refused_unchanged(atsc, "ATSC", rebuilt(mine, spread), 831, "its own archive with a 128 MHz plan")
        refused_unchanged(atsc, "ATSC", rebuilt(mine, loud), 774, "its own archive with power 256")
        broken = bytearray(rebuilt(mine))
        broken[-1] ^= 1
        refused_unchanged(atsc, "ATSC", bytes(broken), 5, "an archive whose CRC fails")
        refused_unchanged(atsc, "ATSC", None, 15, "a truncated archive",
                          raw=gzip.compress(b"param_new.conf")[:20])

        # Another DVB-C card takes the export whole: modulation at once, its
        # streams after a restart.
        twin = pairs["dvbc2"]
        check(offer(twin, conf) == 1, "DVB-C into DVB-C: answered 1")
        check(wait_for(lambda: twin.view()["data"]["portlist"][0]["channellist"][0]["frequency"] == 610000 and
                       twin.same_set(), 30), "DVB-C into DVB-C: the modulation is in force on both chips")
        check(restart(twin) and wait_for(lambda: "PAT_PROGRAM number=200" in programs(build, twin.master.root, 1), 30),
              "DVB-C into DVB-C: after a restart the exported streams are on air")

        # Its own archive, swelled past what a PMT holds: answered 1, refused
        # at the next start, when the streams are taken; nothing changes.
        check(exported(twin), "DVB-C: its own configuration exported")
        mine = members(os.path.join(twin.master.root, "backboard_ftp", "10conf.tar"))
        check(wait_for(lambda: air(twin.master.root, 0)[0], 30), "DVB-C: channel 0 on air before the import")
        before = (air(twin.master.root, 0), streams_view(twin), saved_programs(twin.master.root))
        dump = os.path.join(twin.master.root, "tarvex_data/oiddata.conf")
        check(offer(twin, swelled(mine)) == 1 and wait_for(lambda: os.path.exists(dump), 30),
              "DVB-C, swelled streams: answered 1, its streams stored for the next start")
        refused = "output streams do not fit beside what is on air: refused"
        check(restart(twin) and on_air(build, twin.master.root) and wait_for(
            lambda: air(twin.master.root, 0)[0] is not None, 30), "DVB-C, swelled streams: restarted, on air")
        now = air(twin.master.root, 0)
        check(now == before[0], "DVB-C, swelled streams: the PAT, PMTs and SDT on air are as before %s" %
              ("" if now == before[0] else (now[0], before[0][0])))
        check(streams_view(twin) == before[1], "DVB-C, swelled streams: the web shows what it showed (%s, %s)" %
              (streams_view(twin), before[1]))
        check(saved_programs(twin.master.root) == before[2],
              "DVB-C, swelled streams: the saved file holds its programs as before")
        check(twin.master.log().count(refused) == 1 and not os.path.exists(dump),
              "DVB-C, swelled streams: the refusal is logged once and the archive's streams done with")
        check(restart(twin) and on_air(build, twin.master.root) and wait_for(
            lambda: air(twin.master.root, 0)[0] == before[0][0], 30),
              "DVB-C, swelled streams: after one more restart the same programs are on air")

        # A clear of every stream: no route without its tables.
        reply = webcard.call(twin.web[0], twin.web[1], "ClearAllParam.w", {})
        check(reply.get("code") == 0 and wait_for(lambda: not capture.routes(twin.master.root), 10),
              "DVB-C: every stream cleared (ClearAllParam.w), no route left")
        mark = os.path.getsize(capture.channel(twin.master.root, 0))
        time.sleep(2)  # some carousel rounds
        check(not [1 for pid, sec in capture.sections(capture.channel(twin.master.root, 0), mark)
                   if pid == 0 and sec[0] == 0 and capture.pat(sec)],
              "DVB-C: after the clear channel 0 carries no program")
    finally:
        for pair in pairs.values():
            pair.stop()
        feeder.stop()
    sa.finish(top)


if __name__ == "__main__":
    main()
