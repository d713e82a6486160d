"""The whole chassis powered off and on twice as start-card.sh does it
without --factory: the board roots are kept, the card loads the output-stream
file it saved, and the input card (slot 5) sends its description of channels
0-2 again as it comes up. After each start every PMT on air lists each of its
streams once, the saved file holds one record per identity and the web's view
is what is on air. Before the last start the saved file is doubled as earlier
firmware wrote it after a power cycle (every PID record once more, linked
into its list); it is read back with one record per identity, logged. A live
re-send of the whole description without a deletion then changes nothing:
not the tables on air, the routing, the saved file nor the web's view.

Usage: python3 chassis_resend.py BUILD_DIR
"""
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile

import crcmod

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402
import capture  # noqa: E402
import webcard  # noqa: E402
from webcard import wait_for  # noqa: E402

build = os.path.abspath(sys.argv[1])
check = webcard.Checks()
script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "start-card.sh")
CARD, HTTP, FEED, SLOT = "192.168.1.14", ("127.168.1.14", 8080), 5, 3
CONF = "tarvex_data/K9_OutPutTSP.conf"
CRC = crcmod.mkCrcFun(0x104C11DB7, initCrc=0x04C11DB7, rev=False, xorOut=0)
SIZES = [448, 920, 372, 1184, 1168]
# What the input card describes: {channel: {service id: (PMT PID, [(stream type, PID)])}}.
WANT = {ch: {100 * (ch + 1) + k: (0x200 + 0x20 * k, [(0x02, 0x201 + 0x20 * k), (0x04, 0x202 + 0x20 * k)])
             for k in (0, 1)} for ch in (0, 1, 2)}


def read(path, mode="rb"):
    try:
        with open(path, mode) as f:
            return f.read()
    except OSError:
        return b"" if "b" in mode else ""


# ---- the saved file, read independently --------------------------------

def arrays(data):
    """The five record arrays of an output-stream file: [[record bytes]]."""
    counts = struct.unpack_from("<5I", data, 8)
    out, at = [], 240
    for n, size in zip(counts, SIZES):
        out.append([bytearray(data[at + i * size:at + (i + 1) * size]) for i in range(n)])
        at += n * size
    return out


def image(recs):
    body = b"".join(bytes(r) for a in recs for r in a)
    head = struct.pack("<7I", 0x20170310, 240 + len(body) + 4, *[len(a) for a in recs]) + bytes(212)
    return head + body + struct.pack("<I", CRC(head + body))


def pid_identity(r):
    ptype = r[40]
    own = struct.unpack_from("<H", r, 38)[0] if ptype == 6 else 0
    return (ptype, r[9], struct.unpack_from("<H", r, 10)[0], struct.unpack_from("<H", r, 14)[0],
            struct.unpack_from("<H", r, 28)[0], struct.unpack_from("<H", r, 30)[0], own)


def file_records(root):
    """(valid programs, valid PID records, PID identities) of the saved file."""
    data = read(os.path.join(root, CONF))
    if len(data) < 244 or struct.unpack_from("<I", data, len(data) - 4)[0] != CRC(data[:-4]):
        return 0, 0, set()
    a = arrays(data)
    pids = [r for r in a[2] if r[8] == 1]
    return sum(1 for r in a[1] if r[8] == 1), len(pids), {pid_identity(r) for r in pids}


def doubled(data):
    """The file as firmware that appended every PID record sent again wrote it
    after one more power cycle: each elementary stream once more at the tail
    of its program's list, each PCR once more (the program naming the copy)."""
    a = arrays(data)
    progs, pids = a[1], a[2]
    for i in range(len(pids)):
        r = pids[i]
        if r[8] != 1 or r[40] not in (2, 3):
            continue
        new = len(pids)
        copy = bytearray(r)
        struct.pack_into("<I", copy, 24, new)  # its own index
        struct.pack_into("<I", copy, 32, 0xFFFFFFFF)  # the tail: no next
        pids.append(copy)
        p = progs[struct.unpack_from("<I", r, 20)[0]]
        if r[40] == 2:
            struct.pack_into("<H", p, 42, new)
            continue
        tail = struct.unpack_from("<H", p, 44)[0]
        while struct.unpack_from("<I", pids[tail], 32)[0] & 0xFFFF != 0xFFFF:
            tail = struct.unpack_from("<I", pids[tail], 32)[0] & 0xFFFF
        struct.pack_into("<I", pids[tail], 32, new)
        struct.pack_into("<H", p, 40, struct.unpack_from("<H", p, 40)[0] + 1)
    return image(a)


# ---- what is on air, decoded independently ---------------------------------

def on_air(root, ch, since):
    """{service id: (PMT PID, streams)} of the last PAT and the PMTs after byte
    `since` of a channel's capture, and the distinct PAT, PMT and SDT sections."""
    pat, pmts, seen = None, {}, set()
    for pid, sec in capture.sections(capture.channel(root, ch), since):
        if pid == 0 and sec[0] == 0:
            pat = capture.pat(sec)
        elif sec[0] == 2:
            pmts[pid] = capture.pmt(sec)
        elif not (pid == 0x11 and sec[0] == 0x42):
            continue
        seen.add((pid, sec))
    if pat is None:
        return None, seen
    return {sid: (p, pmts[p][2]) for sid, p in pat.items() if sid and p in pmts and pmts[p][0] == sid}, seen


def size(root, ch):
    try:
        return os.path.getsize(capture.channel(root, ch))
    except OSError:
        return 0


def air(root, marks):
    """({channel: programs}, {channel: sections}) once every channel's PAT,
    SDT and the PMTs of its programs went round after its mark."""
    got = {}

    def look():
        for ch in WANT:
            got[ch] = on_air(root, ch, marks[ch])
            progs, seen = got[ch]
            if progs is None or set(progs) != set(WANT[ch]) or not any(pid == 0x11 for pid, _ in seen):
                return False
        return True
    wait_for(look, 20)
    return {ch: got[ch][0] for ch in WANT}, {ch: got[ch][1] for ch in WANT}


def web_view():
    """{channel: {service id: (PMT PID, [PIDs])}} as the web shows the live database."""
    out = {}
    try:
        r = webcard.call(HTTP[0], HTTP[1], "GetOutputTSStatus.w", {}, timeout=30)
        for c in r["data"]["portlist"][0]["channellist"]:
            progs = {}
            for p in c.get("programlist", []):
                d = webcard.call(HTTP[0], HTTP[1], "GetOutputProgramStatus.w",
                                 {"port": 0, "channel": c["channel"], "serviceid": p["serviceid"]})["data"]
                progs[p["serviceid"]] = (d["pids"]["pmt"], [e["pid"] for e in d["pids"]["es"]])
            if progs:
                out[c["channel"]] = progs
    except (OSError, ValueError, KeyError, TypeError) as e:
        return {"error": str(e)}
    return out


def as_web(programs):
    return {ch: {sid: (p, [pid for _, pid in es]) for sid, (p, es) in progs.items()}
            for ch, progs in programs.items() if progs}


# ---- the chassis ----------------------------------------------------------

def power_on(top, env):
    """start-card.sh as an operator runs it: the running script, and whether the
    input card's description was applied."""
    board = os.path.join(top, "board")
    log = os.path.join(board, "input-card.log")
    if os.path.exists(log):
        os.unlink(log)  # each start writes its own
    out = open(os.path.join(top, "start-card.out"), "ab")
    proc = subprocess.Popen(["bash", script, "--board-type", "2"], cwd=top, env=env, stdout=out,
                            stderr=subprocess.STDOUT, start_new_session=True)
    # The chips start in their own time (about 25 s of waits for their peers).
    fed = wait_for(lambda: "command 264 answered" in read(log, "r") or proc.poll() is not None, 120)
    return proc, fed and proc.poll() is None


def power_off(proc):
    try:
        os.killpg(proc.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    try:
        proc.wait(timeout=60)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()


def look_whole(master, what, marks):
    """Checks what is on air, in the file and on the web after a start; returns the programs on air."""
    programs, seen = air(master, marks)
    for ch in WANT:
        got = programs[ch] or {}
        twice = {sid: es for sid, (p, es) in got.items() if len(es) != len(set(es))}
        check(not twice, "%s: channel %d: no PMT lists a stream twice: %s" % (what, ch, twice))
        check(got == WANT[ch], "%s: channel %d: each program on air with its PMT and its two streams: %s" %
              (what, ch, sorted(got.items())))
    progs, n, ids = file_records(master)
    check(progs == 6 and n == len(ids) == 18,
          "%s: the saved file holds 6 programs and 18 PID records for 18 identities: %d programs, %d records, "
          "%d identities" % (what, progs, n, len(ids)))
    view = web_view()
    check(view == as_web(programs), "%s: the web's view is what is on air: %s" % (what, view))
    return programs, seen


def main():
    top = tempfile.mkdtemp(prefix="modcard-resend-")
    env = dict(os.environ, MODCARD_BUILD=build, MODCARD_BOARD=os.path.join(top, "board"))
    master = os.path.join(top, "board", "master")
    proc = None
    try:
        for start in range(3):
            what = ["first start", "after one power cycle", "after two power cycles"][start]
            proc, fed = power_on(top, env)
            marks = {ch: size(master, ch) for ch in WANT}
            check(fed, "%s: the chassis runs and the input card's description is applied" % what)
            if not fed:
                break
            log = read(os.path.join(top, "board", "input-card.log"), "r")
            check("command 271 answered [1]" in log.split("command 259 answered")[-1],
                  "%s: the input card's apply is answered 1" % what)
            look_whole(master, what, marks)
            if start == 2:
                break
            power_off(proc)
            proc = None
            if start == 1:
                # As earlier firmware left it after one more power cycle.
                path = os.path.join(master, CONF)
                held = file_records(master)[1]
                with open(path, "rb") as f:
                    data = doubled(f.read())
                with open(path, "wb") as f:
                    f.write(data)
                check(file_records(master)[1] == 2 * held, "the saved file is doubled: %d PID records" % (2 * held))
        if proc is not None and proc.poll() is None:
            text = read(os.path.join(master, "tarvex_data/log/K9_Modulate.log"), "r")
            check(text.count("held once more") >= 18, "the load names each PID record it held once more")
            # A live re-send, every record again, and an apply: nothing changes.
            marks = {ch: size(master, ch) for ch in WANT}
            before_air, before_seen = air(master, marks)
            conf, mux = read(os.path.join(master, CONF)), capture.routes(master)
            codes = peers.feed(CARD, FEED, SLOT)
            check({c for v in codes.values() for c in v} == {peers.SUCCESS}, "the live re-send is answered 1")
            marks = {ch: size(master, ch) for ch in WANT}
            after_air, after_seen = air(master, marks)
            check(after_air == before_air, "after the re-send the same programs and streams are on air")
            for ch in WANT:
                check(after_seen[ch] == before_seen[ch], "channel %d: the same tables as before, versions and all: "
                      "%d new, %d gone" % (ch, len(after_seen[ch] - before_seen[ch]),
                                           len(before_seen[ch] - after_seen[ch])))
            check(read(os.path.join(master, CONF)) == conf, "the saved file is as before, byte for byte")
            check(capture.routes(master) == mux and len(mux) == 12, "the master routes the same 12 PIDs: %s" %
                  sorted(capture.routes(master) ^ mux)[:4])
            check(web_view() == as_web(after_air), "the web's view is still what is on air")
    finally:
        if proc is not None:
            power_off(proc)
        if check.failed:
            print("board kept in " + top)
        else:
            shutil.rmtree(top, ignore_errors=True)
    print("FAILED" if check.failed else "PASSED")
    sys.exit(1 if check.failed else 0)


main()
