"""ATSC tables of an 8VSB card (master and slave chip) as a receiver sees
them in the captures, read with a decoder of its own (every section's CRC
checked): the MGT's version steps exactly when what it lists changes, the
slave's channels carry the STT with the master's time (also after the slave
restarts alone, and not once STT generation is switched off), and names
given through the web reach the VCT's short names as UTF-16.

Usage: python3 atsc_tables.py BUILD_DIR

The card runs on slot 3 (own address 127.168.1.14, HTTP port 18014); the
input card is slot 5 on 127.168.1.30.
"""
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time

import crcmod

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402
import webcard  # noqa: E402
from webcard import wait_for  # noqa: E402

SLOT, CARD, ADDR, PORT = 3, "192.168.1.14", "127.168.1.14", 18014
INPUT_SLOT, INPUT_ADDR = 5, "127.168.1.30"
PSIP_PID = 0x1FFB
GPS_EPOCH = 315964800  # 1980-01-06 in Unix seconds
ZONE, GPS_OFFSET = 12, 18  # zone 12 shifts nothing
# (channel, service id) -> name given through the web; the plain names of
# the input card (no character-table selector) stay as they are.
NAMES = {(0, 100): "中文台", (4, 500): "Café Ünï", (0, 101): "abcdef😀"}
CRC32 = crcmod.mkCrcFun(0x104C11DB7, initCrc=0xFFFFFFFF, rev=False, xorOut=0)
build = os.path.abspath(sys.argv[1])
check = webcard.Checks()


def call(key, **members):
    return webcard.call(ADDR, PORT, key, members, timeout=60)



def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


# ---- a receiver's view of PID 0x1FFB ----------------------------------------

def sections(data):
    """(sections, bad CRC count) of PID 0x1FFB in capture order; a section
    broken by a continuity gap is dropped, not counted."""
    out, bad = [], [0]
    buf, cc = None, None

    def drain():
        nonlocal buf
        while buf is not None and len(buf) >= 3:
            if buf[0] == 0xFF:
                buf = None
                return
            n = ((buf[1] & 0x0F) << 8 | buf[2]) + 3
            if len(buf) < n:
                return
            sec = bytes(buf[:n])
            del buf[:n]
            if CRC32(sec) == 0:
                out.append(sec)
            else:
                bad[0] += 1

    for i in range(0, len(data) - 187, 188):
        p = data[i:i + 188]
        if p[0] != 0x47 or ((p[1] & 0x1F) << 8 | p[2]) != PSIP_PID or not p[3] & 0x10:
            continue
        pos = 4 + (1 + p[4] if p[3] & 0x20 else 0)
        payload, now = p[pos:], p[3] & 0x0F
        continuous = cc is not None and now == (cc + 1) & 0x0F
        cc = now
        if p[1] & 0x40:
            if buf is not None and continuous:
                buf += payload[1:1 + payload[0]]
                drain()
            buf = bytearray(payload[1 + payload[0]:])
        elif buf is not None and continuous:
            buf += payload
        else:
            buf = None
        drain()
    return out, bad[0]


def mgt(sec):
    """(version, ((table_type, PID, version, number_bytes), ...))"""
    entries, pos = [], 11
    for _ in range(sec[9] << 8 | sec[10]):
        ttype, pid, ver, nbytes, dlen = struct.unpack_from(">HHBIH", sec, pos)
        entries.append((ttype, pid & 0x1FFF, ver & 0x1F, nbytes))
        pos += 11 + (dlen & 0x0FFF)
    return (sec[5] >> 1) & 0x1F, tuple(entries)


def vct_names(sec):
    """{program number: short_name bytes} of a VCT section."""
    names, pos = {}, 10
    for _ in range(sec[9]):
        names[struct.unpack_from(">H", sec, pos + 24)[0]] = sec[pos:pos + 14]
        pos += 32 + (struct.unpack_from(">H", sec, pos + 30)[0] & 0x3FF)
    return names


def capture(root, ch):
    """MGTs, VCT names (later ones win), STTs (UTC seconds, GPS offset) and
    the bad CRC count of a channel's capture."""
    secs, bad = sections(read(os.path.join(root, "trace/si_ch%d.ts" % ch)))
    mgts, names, stts = [], {}, []
    for s in secs:
        if s[0] == 0xC7:
            mgts.append(mgt(s))
        elif s[0] in (0xC8, 0xC9):
            names.update(vct_names(s))
        elif s[0] == 0xCD:
            stts.append((struct.unpack_from(">I", s, 9)[0] - s[13] + GPS_EPOCH, s[13]))
    return mgts, names, stts, bad


def short_name(name):
    """The short name a receiver should show: up to 7 UTF-16 units of whole
    characters, zero-padded, big-endian."""
    units = b""
    for c in name:
        u = c.encode("utf-16-be")
        if len(units) + len(u) > 14:
            break
        units += u
    return units + b"\0" * (14 - len(units))


def version_steps(mgts):
    """Faults of an MGT sequence: a version kept over changed entries or
    stepped over unchanged ones; and the number of changes seen."""
    faults, changes = [], 0
    for (v0, e0), (v1, e1) in zip(mgts, mgts[1:]):
        if e0 != e1:
            changes += 1
            if v0 == v1:
                faults.append("version %d kept while %s became %s" % (v0, e0, e1))
        elif v0 != v1:
            faults.append("version %d -> %d over unchanged %s" % (v0, v1, e0))
    return faults, changes


# ---- the card ------------------------------------------------------------------

def start_slave(root, console):
    return subprocess.Popen([os.path.join(build, "modcard")], env=dict(os.environ, MODCARD_ROOT=root),
                            stdout=console, stderr=subprocess.STDOUT)


def back_board_time():
    """The back board's resource record with its time data."""
    rec = bytearray(peers.resource_record(16, "192.168.1.10"))
    struct.pack_into("<BBH", rec, 612, ZONE, 0, GPS_OFFSET)
    return bytes(rec)


def apply_feed():
    return peers.send_message(CARD, INPUT_SLOT, peers.SEND_TSP_MUX_PROCESS)


def stt_agree(master, slave, what):
    """Channel 4's last STT tells the time of channel 0's (within a second)."""
    got = {}

    def agree():
        t0 = time.time()
        m, s = capture(master, 0)[2], capture(slave, 4)[2]
        got.update(m=m[-1:], s=s[-1:], n=len(s))
        return m and s and abs(m[-1][0] - s[-1][0]) <= 1 and s[-1][1] == GPS_OFFSET and abs(s[-1][0] - t0) <= 2
    check(wait_for(agree, 15), "%s: channel 4 carries the STT of channel 0 (UTC, GPS offset): %s vs %s (%s STTs)" %
          (what, got.get("s"), got.get("m"), got.get("n")))


def main():
    top = tempfile.mkdtemp(prefix="modcard-atsc-")
    master, slave = os.path.join(top, "master"), os.path.join(top, "slave")
    proc = sproc = ic = line = None
    try:
        board = os.path.join(build, "modcard-board")
        subprocess.run([board, master, "--board-type", "5", "--slot", str(SLOT), "--http-port", str(PORT)],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run([board, slave, "--board-type", "5", "--slot", str(SLOT), "--chip", "1"], check=True,
                       stdout=subprocess.DEVNULL)
        line = peers.chassis_for(master, SLOT)
        ic = peers.input_card(INPUT_ADDR, INPUT_SLOT)
        sconsole = open(slave + ".console", "a")
        sproc = start_slave(slave, sconsole)
        proc = webcard.launch(build, master, master + ".console")
        log = os.path.join(master, "tarvex_data/log/K9_Modulate.log")

        def up():
            try:
                socket.create_connection((ADDR, 8000), timeout=1.0).close()
                return call("Beat.w")["code"] == 0 and b"Slave chip is working now!!!" in read(log)
            except OSError:
                return False
        check(wait_for(up, 60), "frame server, HTTP server and slave chip are up")
        check(peers.send_message(CARD, 16, peers.SEND_RESOUR, back_board_time()) == [1],
              "back board's resource record (zone %d, GPS offset %d): 1" % (ZONE, GPS_OFFSET))
        check(peers.announce(CARD, INPUT_SLOT, "192.168.1.30") == [1], "input card's resource record: 1")
        codes = peers.feed(CARD, INPUT_SLOT, SLOT, channels=(0, 4))
        check(all(set(c) == {peers.SUCCESS} for c in codes.values()), "channels 0 and 4 fed and applied: %s" % codes)
        roots = {0: master, 4: slave}
        check(wait_for(lambda: all(capture(roots[c], c)[0] for c in (0, 4)), 15), "both channels carry an MGT")

        # An elementary stream more in the first program of both channels.
        pids = [peers.pid_record(ch, SLOT, INPUT_SLOT, ch + 1, 1, 13, peers.PID_ES, 0x06, 0x203) for ch in (0, 4)]
        check(peers.send_message(CARD, INPUT_SLOT, peers.SEND_PID, peers.message(pids[:1])) == [1] and
              peers.send_message(CARD, INPUT_SLOT, peers.SEND_PID, peers.message(pids[1:])) == [1] and
              apply_feed() == [1], "a third elementary stream added and applied")
        check(wait_for(lambda: all(version_steps(capture(roots[c], c)[0])[1] >= 1 for c in (0, 4)), 15),
              "the MGT of both channels lists a changed VCT")
        # An apply that changes nothing.
        check(apply_feed() == [1], "an apply without changes")

        # Names through the web, on the master's and the slave's channels.
        check(call("GetSubboardTSInfo.w")["code"] == 0, "GetSubboardTSInfo.w opens the streams")
        for (ch, sid), name in NAMES.items():
            r = call("SetProgramParam.w", port=0, channel=ch, oldserviceid=sid, servicename=name)
            check(r["code"] == 0, "SetProgramParam.w names service %d %s: %s" % (sid, name, r["code"]))
        check(call("ApplyAllParam.w")["code"] == 0, "ApplyAllParam.w answers success")
        want = {sid: short_name(n) for (_, sid), n in NAMES.items()}
        want[501] = short_name("Peer 4-1")
        got = {}

        def named():
            for c in (0, 4):
                got.update(capture(roots[c], c)[1])
            return all(got.get(sid) == w for sid, w in want.items())
        wait_for(named, 15)
        for sid, w in sorted(want.items()):
            raw = got.get(sid, b"")
            check(raw == w, "VCT short name of program %d: %r (%s), want %r" %
                  (sid, raw, raw.decode("utf-16-be", errors="replace").rstrip("\0"), w.decode("utf-16-be")))

        # The whole captures: every MGT version step and only those.
        time.sleep(2)
        for c in (0, 4):
            mgts, _, stts, bad = capture(roots[c], c)
            faults, changes = version_steps(mgts)
            check(bad == 0, "channel %d: every section on 0x1FFB has a good CRC (%d bad)" % (c, bad))
            check(not faults and changes >= 2, "channel %d: the MGT's version stepped with each of its %d changes: %s"
                  % (c, changes, faults[:3]))
        stt_agree(master, slave, "after the applies")

        # The master restarted with the same streams keeps every VCT and MGT
        # version; the next change steps the MGT's once.
        kept = {c: capture(roots[c], c)[0][-1] for c in (0, 4)}
        webcard.stop(proc)
        at = len(read(os.path.join(slave, "trace/si_ch4.ts")))
        os.rename(os.path.join(master, "trace/si_ch0.ts"), os.path.join(master, "trace/si_ch0.before.ts"))
        found = read(log).count(b"Slave chip is working now!!!")
        proc = webcard.launch(build, master, master + ".restart.console")
        check(wait_for(lambda: up() and read(log).count(b"Slave chip is working now!!!") > found, 60) and
              peers.send_message(CARD, 16, peers.SEND_RESOUR, back_board_time()) == [1] and
              peers.announce(CARD, INPUT_SLOT, "192.168.1.30") == [1], "the master restarts and finds its slave")
        after = {}

        def resent():
            after[0] = capture(master, 0)[0]
            secs = sections(read(os.path.join(slave, "trace/si_ch4.ts"))[at - at % 188:])[0]
            after[4] = [mgt(x) for x in secs if x[0] == 0xC7]
            return len(after[0]) >= 3 and len(after[4]) >= 3
        wait_for(resent, 30)
        for c in (0, 4):
            check(after.get(c) and set(after[c]) == {kept[c]},
                  "channel %d: after the restart the MGT keeps version %d and its VCT entry %s: %s" %
                  (c, kept[c][0], kept[c][1], sorted(set(after.get(c) or []))[:3]))
        r = call("SetProgramParam.w", port=0, channel=0, oldserviceid=100, servicename="Renamed")
        check(r["code"] == 0 and call("ApplyAllParam.w")["code"] == 0, "a program renamed after the restart, applied")
        check(wait_for(lambda: capture(master, 0)[0][-1][0] == (kept[0][0] + 1) % 32, 15) and
              not version_steps(capture(master, 0)[0])[0],
              "channel 0's MGT steps once, to version %d: %s" % ((kept[0][0] + 1) % 32,
                                                                 sorted({m[0] for m in capture(master, 0)[0]})))

        # The slave restarted alone gets the time values and STT switches again.
        webcard.stop(sproc)
        at = len(read(os.path.join(slave, "trace/si_ch4.ts")))
        os.rename(os.path.join(slave, "trace/si_ch4.ts"), os.path.join(slave, "trace/si_ch4.before.ts"))
        sproc = start_slave(slave, sconsole)
        check(at > 0 and wait_for(lambda: capture(slave, 4)[2], 40), "the restarted slave sends STTs on channel 4")
        stt_agree(master, slave, "after the slave's restart")

        # STT generation off for channel 4: its STT stops, channel 0 keeps its own.
        flags = call("GetSubboardPSIPChannel.w")
        items = {i["channel"]: i for i in flags.get("data", {}).get("portlist", [{}])[0].get("channellist", [])}
        f = dict(items.get(4, {}).get("flag", {}))
        f.update(TDT=f.pop("tdt", 0), TOT=f.pop("tot", 0), stt=0)
        r = call("SetSubboardPSIPChannel.w", portlist=[{"port": 0, "channellist": [
            {"channel": 4, "enable": 1, "flag": f}]}])
        check(r["code"] == 0 and call("ApplyAllParam.w")["code"] == 0, "STT generation off for channel 4, applied")
        more = []

        def stt_only_on_0():
            before = [len(capture(master, 0)[2]), len(capture(slave, 4)[2])]
            time.sleep(3)
            more[:] = [len(capture(master, 0)[2]) - before[0], len(capture(slave, 4)[2]) - before[1]]
            return more[0] > 0 and more[1] == 0
        check(wait_for(stt_only_on_0, 15), "for 3 s channel 0 goes on with its STT and channel 4 sends none: %s more"
              % more)
        check(proc.poll() is None and sproc.poll() is None, "both chips still run")
    finally:
        if sproc is not None:
            webcard.stop(sproc)
        webcard.tear_down(top, check.failed, proc, ic, line)
    print("FAILED" if check.failed else "PASSED")
    sys.exit(1 if check.failed else 0)


main()
