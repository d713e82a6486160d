"""The multiplex at its limits, on a card of two chips fed by input cards in
slots 6 and 7: a full slave routing table keeps what is on air, a channel
offered a 101st program keeps its SDT, and a program on reserved PIDs with
service id 0 is moved off them. What goes on air is read from the committed
routing tables in board.state and from the SI captures, decoded here with
struct and crcmod.

Usage: python3 mux_limits.py BUILD_DIR
"""
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile

import crcmod

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402
import webcard  # noqa: E402
from webcard import wait_for  # noqa: E402

build = sys.argv[1]
# The card answers an apply once it is done, and a resend queues behind the
# apply its sender gave up on: a wait shorter than one apply never succeeds.
# An apply of a hundred programs with its slave takes 0.2 s on a plain build
# alone, and took up to 32 s under AddressSanitizer beside a second test command.
peers.REPLY_WAIT = 30.0 * peers.slowness(build)
check = webcard.Checks()
SLOT, CARD = 3, "192.168.1.14"
MUX_COMMITTED = 0x104000 + 0x26000 + (2048 + 256) * 8
SECTION_CRC = crcmod.mkCrcFun(0x104C11DB7, initCrc=0xFFFFFFFF, rev=False, xorOut=0)



def log_of(root):
    try:
        with open(os.path.join(root, "tarvex_data/log/K9_Modulate.log"), errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def routes(root):
    """(source slot, source PID, output channel, output PID) of every used
    entry of the committed mux table."""
    with open(os.path.join(root, "board.state"), "rb") as f:
        f.seek(MUX_COMMITTED)
        words = struct.unpack("<2048Q", f.read(2048 * 8))
    out = []
    for e in words:
        if e:
            src, dst = (e >> 23) & 0x1FFFFFFF, e & 0x7FFFFF
            out.append((src >> 23, src & 0x1FFF, dst >> 13, dst & 0x1FFF))
    return out


def sections(root, ch, since=0):
    """[(pid, section bytes)] of the CRC-good sections in the capture of a
    channel from byte `since` on, in the order they end."""
    try:
        with open(os.path.join(root, "trace/si_ch%d.ts" % ch), "rb") as f:
            f.seek(since)
            data = f.read()
    except OSError:
        return []
    out, partial = [], {}
    for i in range(0, len(data) - 187, 188):
        p = data[i:i + 188]
        if p[0] != 0x47:
            continue
        pid = (p[1] & 0x1F) << 8 | p[2]
        afc = (p[3] >> 4) & 3
        body = p[4:]
        if afc & 2:
            body = body[1 + body[0]:]
        if not afc & 1:
            continue
        if p[1] & 0x40:
            ptr = body[0]
            if pid in partial:
                partial[pid] += body[1:1 + ptr]
            body, partial[pid] = body[1 + ptr:], b""
        elif pid not in partial:
            continue
        partial[pid] += body
        while len(partial[pid]) >= 3 and partial[pid][0] != 0xFF:
            buf = partial[pid]
            n = 3 + ((buf[1] & 0x0F) << 8 | buf[2])
            if len(buf) < n:
                break
            sec, partial[pid] = buf[:n], buf[n:]
            if SECTION_CRC(sec) == 0:
                out.append((pid, sec))
        if partial[pid][:1] == b"\xff":
            del partial[pid]
    return out


def pat(sec):
    """{program number: PMT PID} of a PAT section."""
    body = sec[8:-4]
    return {struct.unpack_from(">H", body, k)[0]: struct.unpack_from(">H", body, k + 2)[0] & 0x1FFF
            for k in range(0, len(body) - 3, 4)}


def pmt_es(sec):
    """Elementary PIDs of a PMT section."""
    info = struct.unpack_from(">H", sec, 10)[0] & 0x0FFF
    k, es = 12 + info, []
    while k + 5 <= len(sec) - 4:
        es.append(struct.unpack_from(">H", sec, k + 1)[0] & 0x1FFF)
        k += 5 + (struct.unpack_from(">H", sec, k + 3)[0] & 0x0FFF)
    return es


def sdt_services(sec):
    k, ids = 11, []
    while k + 5 <= len(sec) - 4:
        ids.append(struct.unpack_from(">H", sec, k)[0])
        k += 5 + (struct.unpack_from(">H", sec, k + 3)[0] & 0x0FFF)
    return ids


def on_air(root, ch, since):
    """The last PAT's programs, every SDT service and {PMT PID: ES PIDs} seen
    after byte `since` of a channel's capture."""
    programs, services, pmts = None, set(), {}
    for pid, sec in sections(root, ch, since):
        if pid == 0 and sec[0] == 0x00:
            programs = pat(sec)
        elif pid == 0x11 and sec[0] == 0x42:
            services.update(sdt_services(sec))
        elif sec[0] == 0x02:
            pmts[pid] = pmt_es(sec)
    return programs, services, pmts


def last_pat(root, ch, since):
    """The last PAT section of a channel's capture after byte `since`."""
    pats = [sec for pid, sec in sections(root, ch, since) if pid == 0 and sec[0] == 0x00]
    return pats[-1] if pats else None


def size_of(root, ch):
    try:
        return os.path.getsize(os.path.join(root, "trace/si_ch%d.ts" % ch))
    except OSError:
        return 0


def send(slot, cmd, records, per):
    """Records in messages of `per` (within the 5,120-byte reassembly); every
    frame's reply code."""
    codes = []
    for k in range(0, len(records), per):
        codes += peers.send_message(CARD, slot, cmd, peers.message(records[k:k + per]))
    return codes


def feed(slot, ch, progs, first=0, stream=True):
    """Programs first..first+progs-1 on a channel from an input card: program
    k has service id k+1, PCR, video and audio on three PIDs of its own."""
    codes = []
    if stream:
        codes += send(slot, peers.SEND_TS, [peers.ts_record(ch, SLOT, 0x100 + ch, 0x20, slot, ch)], 1)
    programs, pids = [], []
    for k in range(first, first + progs):
        base = 0x100 + 4 * k
        programs.append(peers.program_record(ch, SLOT, slot, ch, k + 1, k + 1, base + 3, base,
                                             b"S%d-%d" % (ch, k)))
        pids.append(peers.pid_record(ch, SLOT, slot, ch, k + 1, 10 * k + 1, peers.PID_PCR, 0x02, base))
        pids.append(peers.pid_record(ch, SLOT, slot, ch, k + 1, 10 * k + 2, peers.PID_ES, 0x02, base + 1))
        pids.append(peers.pid_record(ch, SLOT, slot, ch, k + 1, 10 * k + 3, peers.PID_ES, 0x04, base + 2))
    codes += send(slot, peers.SEND_PROGRAM, programs, 5)
    codes += send(slot, peers.SEND_PID, pids, 13)
    return codes


def apply(slot):
    return peers.send_message(CARD, slot, peers.SEND_TSP_MUX_PROCESS)


def board(root, chip):
    subprocess.run([os.path.join(build, "modcard-board"), root, "--board-type", "2", "--chip", str(chip),
                    "--slot", str(SLOT)], check=True, stdout=subprocess.DEVNULL)


def main():
    top = tempfile.mkdtemp(prefix="modcard-muxlimits-")
    master, slave = os.path.join(top, "master"), os.path.join(top, "slave")
    procs, line = [], None
    try:
        board(master, 0)
        board(slave, 1)
        line = peers.chassis_for(master, SLOT)
        procs.append(webcard.launch(build, slave, slave + ".console"))
        check(wait_for(lambda: socket.socket().connect_ex(("127.188.3.111", 8050)) == 0, 20), "slave chip up")
        procs.append(webcard.launch(build, master, master + ".console"))
        check(wait_for(lambda: socket.socket().connect_ex(("127.168.1.14", 8000)) == 0 and
                       "---------address:" in log_of(master), 30), "master's frame server up")

        # Slave table: channels 4-6 from slot 7 hold 900 routes, channel 7
        # from slot 6 (lower source keys) 99 more; then a program of three.
        codes = []
        for ch in (4, 5, 6):
            codes += feed(7, ch, 100)
        codes += apply(7)
        codes += feed(6, 7, 33)
        codes += apply(6)
        check(set(codes) == {peers.SUCCESS}, "999 slave routes fed and applied: 1")
        wanted = {(7, 0x100 + 4 * k + i, ch, 0x100 + 4 * k + i) for ch in (4, 5, 6) for k in range(100)
                  for i in range(3)} | {(6, 0x100 + 4 * k + i, 7, 0x100 + 4 * k + i) for k in range(33) for i in range(3)}
        check(wait_for(lambda: set(routes(slave)) == wanted, 30), "the slave's committed table holds all 999 routes")
        codes = feed(6, 7, 1, first=33, stream=False) + apply(6)
        # The apply is answered once the master's tables are rebuilt; the
        # slave's come over the chip link after that, and until they do it may
        # send the tables of an apply between the program and its PIDs (the
        # start-up push to the slave applies too). Once it sends the PAT the
        # master sends now, what it writes comes of this apply.
        since, since_master = size_of(slave, 7), size_of(master, 7)

        def slave_took():
            ours = last_pat(master, 7, since_master)
            return ours is not None and last_pat(slave, 7, since) == ours
        check(wait_for(slave_took, 30), "the slave sends channel 7's PAT of the apply")
        mark = size_of(slave, 7)
        found = {}

        def round_after():
            found["t"] = on_air(slave, 7, mark)
            return found["t"][0] is not None and found["t"][1] >= set(range(1, 34))
        wait_for(round_after, 10)
        got = set(routes(slave))
        check(wanted <= got, "no route on air is lost: %d of 999 missing" % len(wanted - got))
        extra = got - wanted
        check(len(got) <= 1000 and not any(r[2] == 7 and r[1] >= 0x100 + 4 * 33 for r in extra),
              "the 34th program is not routed: %s" % sorted(extra)[:4])
        programs, services, _ = found["t"]
        check(programs is not None and 34 not in programs and 34 not in services,
              "channel 7's tables on air leave out the 34th program: PAT %s" % (sorted(programs or [])[-3:],))
        check(programs is not None and all(k + 1 in programs and k + 1 in services for k in range(33)),
              "channel 7 keeps its 33 programs on air")
        programs6, services6, _ = on_air(slave, 6, 0)
        check(programs6 is not None and len(programs6) == 100, "channel 6 keeps its 100 programs")

        # Channel 0: 100 programs on air, then a 101st.
        check(set(feed(6, 0, 100) + apply(6)) == {peers.SUCCESS}, "100 programs on channel 0: 1")
        feed(6, 0, 1, first=100, stream=False)
        apply(6)
        mark = size_of(master, 0)  # the master's carousel is rebuilt before the answer
        programs, services, _ = {}, set(), {}

        def sdt_after():
            nonlocal programs, services
            programs, services, _ = on_air(master, 0, mark)
            return programs is not None and services >= set(range(1, 101))
        check(wait_for(sdt_after, 10), "channel 0's SDT on air after the 101st program names the 100: %d of them" %
              len(services & set(range(1, 101))))
        check(programs is not None and (101 not in programs or 101 in services),
              "the 101st program is refused or named: PAT of %d" % len(programs or {}))

        # Channel 1: service id 0, PMT on 0x10, PCR and video on 0x11, audio on 0x0000.
        codes = send(6, peers.SEND_TS, [peers.ts_record(1, SLOT, 0x101, 0x20, 6, 1)], 1)
        codes += send(6, peers.SEND_PROGRAM, [peers.program_record(1, SLOT, 6, 1, 1, 0, 0x10, 0x11, b"Zero")], 1)
        codes += send(6, peers.SEND_PID, [peers.pid_record(1, SLOT, 6, 1, 1, 1, peers.PID_PCR, 0x02, 0x11),
                                          peers.pid_record(1, SLOT, 6, 1, 1, 2, peers.PID_ES, 0x02, 0x11),
                                          peers.pid_record(1, SLOT, 6, 1, 1, 3, peers.PID_ES, 0x04, 0x0000)], 13)
        codes += apply(6)
        mark = size_of(master, 1)
        check(set(codes) == {peers.SUCCESS}, "the program on reserved PIDs fed and applied: 1")
        found = {}

        def pmt_seen():
            found["p"], _, found["m"] = on_air(master, 1, mark)
            return bool(found["p"]) and all(pid in found["m"] for pid in found["p"].values())
        check(wait_for(pmt_seen, 10), "channel 1's PAT and PMT on air")
        programs, pmts = found.get("p") or {}, found.get("m") or {}
        check(0 not in programs and all(pid >= 0x20 for pid in programs.values()),
              "the PAT has no service id 0 and no PMT below 0x20: %s" % programs)
        check(all(pid >= 0x20 and all(es >= 0x20 for es in e) for pid, e in pmts.items()) and
              sum(len(e) for e in pmts.values()) == 2,
              "PMTs and their two ES on 0x20 or above: %s" % pmts)
        ch1 = [r for r in routes(master) if r[2] == 1]
        check(sorted(r[1] for r in ch1) == [0x0000, 0x11] and all(r[3] >= 0x20 for r in ch1),
              "channel 1 routes input PIDs 0x11 and 0x0000 to PIDs from 0x20: %s" % ch1)
        check(all(p.poll() is None for p in procs), "both chips still run")
    finally:
        for p in procs:
            webcard.stop(p)
        if line is not None:
            line.stop()
        if check.failed:
            print("board roots kept in " + top)
        else:
            shutil.rmtree(top, ignore_errors=True)
    print("FAILED" if check.failed else "PASSED")
    sys.exit(1 if check.failed else 0)


main()
