"""The multiplex at its limits, on a DVB-C card of two chips fed by input
cards in slots 6 and 7. A change goes on air whole or is refused, and what is
on air stays: a full slave routing table keeps its routes and refuses a
program it cannot route whole; a channel of 100 services with long names
carries an SDT of many sections naming them all and refuses a 101st program;
a PMT that would outgrow its section, 25 ECMs of a program, 40 EMMs of a
CAT and PID messages beyond the 5,120 bytes a message holds are refused
(2067 for a message of several frames, and at the apply) while what fits goes
on air; a web apply whose NIT the slave could not carry is refused with 2067
and changes nothing; a program on reserved PIDs with service id 0 is moved
off them. What goes on air is read from the committed routing tables in
board.state and from the SI captures, decoded here with struct and crcmod;
what the card holds from its web view. Every SDT names only programs of its
PAT.

Usage: python3 mux_limits.py BUILD_DIR
"""
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402
import capture  # noqa: E402
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
HTTP = ("127.168.1.14", 8080)
REFUSED = 2067
MUX_COMMITTED = 0x104000 + 0x26000 + (2048 + 256) * 8



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
    return capture.sections(capture.channel(root, ch), since)


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


def cat_systems(sec):
    """CA_system_ids of a CAT section's CA descriptors."""
    k, ids = 8, []
    while k + 2 <= len(sec) - 4:
        if sec[k] == 0x09:
            ids.append(struct.unpack_from(">H", sec, k + 2)[0])
        k += 2 + sec[k + 1]
    return ids


def sdt_services(sec):
    k, ids = 11, []
    while k + 5 <= len(sec) - 4:
        ids.append(struct.unpack_from(">H", sec, k)[0])
        k += 5 + (struct.unpack_from(">H", sec, k + 3)[0] & 0x0FFF)
    return ids


def on_air(root, ch, since, cat=None):
    """The last PAT's programs, every SDT service and {PMT PID: ES PIDs} seen
    after byte `since` of a channel's capture (and, given a list, the last
    CAT's CA systems into it)."""
    programs, services, pmts = None, set(), {}
    for pid, sec in sections(root, ch, since):
        if pid == 0 and sec[0] == 0x00:
            programs = pat(sec)
        elif pid == 0x11 and sec[0] == 0x42:
            services.update(sdt_services(sec))
        elif sec[0] == 0x02:
            pmts[pid] = pmt_es(sec)
        elif pid == 1 and sec[0] == 0x01 and cat is not None:
            cat[:] = cat_systems(sec)
    return programs, services, pmts


def settled(root, ch, since, done, seconds=10):
    """Waits until what went on air after byte `since` satisfies done(programs,
    services, pmts, cat); returns that state."""
    got = {}

    def look():
        cat = []
        got["t"] = on_air(root, ch, since, cat) + (cat,)
        return got["t"][0] is not None and done(*got["t"])
    wait_for(look, seconds)
    return got["t"]


def web(key, **members):
    try:
        return webcard.call(HTTP[0], HTTP[1], key, members)
    except (OSError, ValueError) as e:
        return {"code": None, "error": str(e)}


def view(ch):
    """Service ids the card's web view lists on a channel."""
    r = web("GetOutputTSStatus.w")
    for c in ((r.get("data") or {}).get("portlist") or [{}])[0].get("channellist", []):
        if c.get("channel") == ch:
            return {p["serviceid"] for p in c.get("programlist", [])}
    return set()


def pid_with(rec, info=b"", casid=0):
    """A PID record given ES information (or CA private data) and a CA system."""
    b = bytearray(rec)
    struct.pack_into("<HH", b, 46, casid, len(info))
    b[52:52 + len(info)] = info
    return b


def one_program(slot, ch, sid, pmt, es, src_ch=None):
    """A program (program id = service id) with its PCR on its first ES."""
    src_ch = ch if src_ch is None else src_ch
    return (peers.program_record(ch, SLOT, slot, src_ch, sid, sid, pmt, es[0], b"P%d" % sid),
            [peers.pid_record(ch, SLOT, slot, src_ch, sid, 1, peers.PID_PCR, 0x02, es[0])] +
            [peers.pid_record(ch, SLOT, slot, src_ch, sid, 2 + k, peers.PID_ES, 0x02, p) for k, p in enumerate(es)])


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


def feed(slot, ch, progs, first=0, stream=True, long_names=False):
    """Programs first..first+progs-1 on a channel from an input card: program
    k has service id k+1, PCR, video and audio on three PIDs of its own (with
    long_names a name and a provider of 32 bytes each)."""
    codes = []
    if stream:
        codes += send(slot, peers.SEND_TS, [peers.ts_record(ch, SLOT, 0x100 + ch, 0x20, slot, ch)], 1)
    programs, pids = [], []
    for k in range(first, first + progs):
        base = 0x100 + 4 * k
        name = (b"Service %d of channel %d" % (k + 1, ch)).ljust(32, b".") if long_names else b"S%d-%d" % (ch, k)
        provider = b"Provider of a long name, ch %d." % ch if long_names else b"Peer"
        programs.append(peers.program_record(ch, SLOT, slot, ch, k + 1, k + 1, base + 3, base, name,
                                             provider.ljust(32, b".") if long_names else provider))
        pids.append(peers.pid_record(ch, SLOT, slot, ch, k + 1, 10 * k + 1, peers.PID_PCR, 0x02, base))
        pids.append(peers.pid_record(ch, SLOT, slot, ch, k + 1, 10 * k + 2, peers.PID_ES, 0x02, base + 1))
        pids.append(peers.pid_record(ch, SLOT, slot, ch, k + 1, 10 * k + 3, peers.PID_ES, 0x04, base + 2))
    codes += send(slot, peers.SEND_PROGRAM, programs, 5)
    codes += send(slot, peers.SEND_PID, pids, 13)
    return codes


def apply(slot, attempts=4):
    return peers.send_message(CARD, slot, peers.SEND_TSP_MUX_PROCESS, attempts=attempts)


def once(slot, cmd, records):
    """One message, each frame sent once: the replies as the card gave them."""
    return peers.send_message(CARD, slot, cmd, peers.message(records), attempts=1)


def board(root, chip):
    subprocess.run([os.path.join(build, "modcard-board"), root, "--board-type", "2", "--chip", str(chip),
                    "--slot", str(SLOT)], check=True, stdout=subprocess.DEVNULL)


def master_channel(master, ch, slot, program, pids, want_es):
    """A stream and one program on a master channel, applied; True once its
    PAT, PMT and SDT are on air."""
    codes = send(slot, peers.SEND_TS, [peers.ts_record(ch, SLOT, 0x100 + ch, 0x20, slot, ch)], 1)
    codes += send(slot, peers.SEND_PROGRAM, [program], 1) + send(slot, peers.SEND_PID, pids, 13) + apply(slot)
    sid, pmt = struct.unpack_from("<H", program, 28)[0], struct.unpack_from("<H", program, 32)[0]
    mark = size_of(master, ch)
    p, s, m, _ = settled(master, ch, mark, lambda p, s, m, c: sid in p and m.get(pmt) == want_es and sid in s)
    return set(codes) == {peers.SUCCESS} and sid in (p or {}) and m.get(pmt) == want_es and sid in s


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
        # (Long names: the slave then repeats 485 of the 500 SI packets it holds.)
        codes = []
        for ch in (4, 5, 6):
            codes += feed(7, ch, 100, long_names=True)
        codes += apply(7)
        codes += feed(6, 7, 33)
        codes += apply(6)
        check(set(codes) == {peers.SUCCESS}, "999 slave routes fed and applied: 1")
        wanted = {(7, 0x100 + 4 * k + i, ch, 0x100 + 4 * k + i) for ch in (4, 5, 6) for k in range(100)
                  for i in range(3)} | {(6, 0x100 + 4 * k + i, 7, 0x100 + 4 * k + i) for k in range(33) for i in range(3)}
        check(wait_for(lambda: set(routes(slave)) == wanted, 30), "the slave's committed table holds all 999 routes")
        codes = feed(6, 7, 1, first=33, stream=False) + apply(6)
        # The PID message of one frame is answered 1 whatever becomes of it;
        # the apply tells that the program did not go on air.
        check(codes == [peers.SUCCESS, peers.SUCCESS, REFUSED],
              "the program that cannot be routed whole: fed 1, 1, the apply answers 2067: %s" % codes)
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
        programs, services, pmts = found["t"]
        check(programs is not None and 34 not in programs and 34 not in services and 0x100 + 4 * 33 + 3 not in pmts,
              "channel 7's tables on air leave out the 34th program: PAT %s" % (sorted(programs or [])[-3:],))
        check(programs is not None and all(k + 1 in programs and k + 1 in services for k in range(33)),
              "channel 7 keeps its 33 programs on air")
        check(view(7) == set(range(1, 34)), "the web lists channel 7's 33 programs, not the 34th")
        programs6, services6, _ = on_air(slave, 6, 0)
        check(programs6 is not None and len(programs6) == 100, "channel 6 keeps its 100 programs")

        # Channel 0: 50, then 100 services with 32-byte names and providers:
        # an SDT of eight sections, on air whole; then a 101st program.
        codes = feed(6, 0, 50, long_names=True) + apply(6)
        mark = size_of(master, 0)
        _, services, _, _ = settled(master, 0, mark, lambda p, s, m, c: s >= set(range(1, 51)))
        codes += feed(6, 0, 50, first=50, stream=False, long_names=True) + apply(6)
        check(set(codes) == {peers.SUCCESS} and services >= set(range(1, 51)),
              "50 and then 100 services on channel 0: 1, and the SDT of 50 on air")
        mark = size_of(master, 0)
        programs, services, _, _ = settled(master, 0, mark, lambda p, s, m, c: s >= set(range(1, 101)))
        check(services >= set(range(1, 101)) and len(programs or {}) == 100,
              "channel 0's SDT on air names its 100 services: %d of them" % len(services & set(range(1, 101))))
        codes = feed(6, 0, 1, first=100, stream=False, long_names=True) + apply(6)
        mark = size_of(master, 0)  # the master's carousel is rebuilt before the answer
        programs, services, _, _ = settled(master, 0, mark, lambda p, s, m, c: s >= set(range(1, 101)))
        check(codes[-1] == REFUSED and services >= set(range(1, 101)) and 101 not in (programs or {}) and
              101 not in view(0), "the 101st program is refused, the apply says so (%s), the SDT of 100 stays" % codes)

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

        # Channel 2: service 1000 on air with two ES. Four ES with 188 bytes
        # of information fit its PMT; four more would take it to 1,570 bytes.
        info = bytes([0x05, 186]) + bytes(range(186))
        prog, pids = one_program(6, 2, 1000, 0x300, [0x301, 0x302])
        check(master_channel(master, 2, 6, prog, pids, [0x301, 0x302]), "service 1000 on air on channel 2")
        more = [pid_with(peers.pid_record(2, SLOT, 6, 2, 1000, 10 + k, peers.PID_ES, 0x06, 0x310 + k), info)
                for k in range(8)]
        first, second = once(6, peers.SEND_PID, more[:4]), once(6, peers.SEND_PID, more[4:])
        check(first == [1, 1] and second == [1, REFUSED],
              "the ES that fit are taken (%s), the message that would outgrow the PMT is answered 2067 (%s)" %
              (first, second))
        # Beyond the 5,120 bytes a message holds: 14 ES more for service 1000,
        # and a new service 2001 with its PCR and 13 ES.
        over = once(6, peers.SEND_PID, [peers.pid_record(2, SLOT, 6, 2, 1000, 30 + k, peers.PID_ES, 0x02, 0x330 + k)
                                        for k in range(14)])
        # An operator's apply between 2001's program and its PIDs does not put
        # the program on air before they come.
        prog2, pids2 = one_program(6, 2, 2001, 0x400, [0x401 + k for k in range(13)])
        new = once(6, peers.SEND_PROGRAM, [prog2])
        mark = size_of(master, 2)
        applied = web("ApplyAllParam.w").get("code")
        programs, _, _, _ = settled(master, 2, mark, lambda p, s, m, c: 1000 in p)
        check(applied == 0 and 1000 in (programs or {}) and 2001 not in (programs or {}),
              "a web apply (%s) between 2001's program and its PIDs leaves it off air" % applied)
        new += once(6, peers.SEND_PID, pids2)
        check(over[:3] == [1, 1, 1] and over[3] != 1 and new[:4] == [1, 1, 1, 1] and new[4] != 1,
              "PID messages of 5,209 bytes are refused at their fourth frame: %s %s" % (over, new))
        codes = apply(6)
        mark = size_of(master, 2)
        want = [0x301, 0x302, 0x310, 0x311, 0x312, 0x313]
        programs, services, pmts, _ = settled(master, 2, mark, lambda p, s, m, c: m.get(0x300) == want and 1000 in s)
        check(codes == [REFUSED], "the apply after refused messages answers 2067: %s" % codes)
        check(programs is not None and set(programs) == {1000} and services == {1000} and pmts.get(0x300) == want,
              "service 1000 stays on air with the six ES that fit: PAT %s SDT %s PMT %s" %
              (programs, services, pmts.get(0x300)))
        check(0x400 not in pmts and view(2) == {1000}, "service 2001 is not on air half-made, nor in the web's view")

        # Channel 3: service 3000 on air; 25 program ECMs (13 fit), 40 EMMs
        # (13 + 13 + 1 fit the CAT's 32 CA systems).
        prog, pids = one_program(6, 3, 3000, 0x500, [0x501])
        check(master_channel(master, 3, 6, prog, pids, [0x501]), "service 3000 on air on channel 3")
        ecms = [pid_with(peers.pid_record(3, SLOT, 6, 3, 3000, 10 + k, 5, 0, 0x600 + k), casid=0x0B00 + k)
                for k in range(25)]
        emms = [pid_with(peers.pid_record(3, SLOT, 6, 3, 0, 50 + k, 4, 0, 0x700 + k), casid=0x0C00 + k)
                for k in range(40)]
        e = [once(6, peers.SEND_PID, ecms[:13]), once(6, peers.SEND_PID, ecms[13:])]
        e += [once(6, peers.SEND_PID, emms[k:k + 13]) for k in (0, 13, 26)] + [once(6, peers.SEND_PID, emms[39:])]
        check([c[-1] for c in e] == [1, REFUSED, 1, 1, REFUSED, 1],
              "the 25th ECM's and the 39th EMM's messages are answered 2067, the others 1: %s" % e)
        codes = apply(6)
        mark = size_of(master, 3)
        programs, services, pmts, cat = settled(master, 3, mark,
                                                lambda p, s, m, c: 3000 in p and 0x500 in m and len(c) == 27)
        check(codes == [REFUSED] and programs is not None and 3000 in programs and 3000 in services and
              pmts.get(0x500) == [0x501] and sorted(cat) == [0x0C00 + k for k in range(26)] + [0x0C27],
              "service 3000 stays in the PAT, PMT and SDT; the CAT names 27 CA systems: %s %s" % (codes, sorted(cat)))
        ch3 = [r for r in routes(master) if r[2] == 3]
        check(len(ch3) == 1 + 13 + 27, "channel 3 routes its ES, 13 ECMs and 27 EMMs: %d routes" % len(ch3))

        # Web edits of NITs for channels 4-7 that the slave could not repeat
        # beside its tables (500 packets): the apply is refused, nothing changes.
        flags = dict(pat=1, pmt=1, cat=1, sdt=1, nit=1, TDT=0, TOT=0, mgt=0, vct=0, stt=0, vcttype=0)
        r = web("SetSubboardPSIPChannel.w", portlist=[{"port": 0, "channellist": [
            {"channel": ch, "enable": 1, "flag": flags} for ch in range(4, 8)]}])
        check(r.get("code") == 0, "NIT generation switched on for channels 4-7: %s" % r.get("code"))
        tables_before = (routes(master), routes(slave))
        check(web("GetSubboardTSInfo.w").get("code") == 0, "the web opens its working copy")
        edits = []
        for ch in (4, 5, 6, 7):
            for k in range(5):
                edits.append(web("AddNITStream.w", port=0, channel=ch, originalID=0x20, tsid=0x1000 + k))
                for d in range(3):
                    edits.append(web("SetOtherDescriptor.w", port=0, channel=ch, tsindex=k, descriptor=d,
                                     tableindex=0, tag="83", data="%02x" % k * 250, editFlag=False))
        check({r.get("code") for r in edits} == {0}, "80 NIT edits of the working copy are taken")
        mark = size_of(slave, 4)
        r = web("ApplyAllParam.w")
        check(r.get("code") == REFUSED, "the web apply of the NITs is refused with 2067: %s" % r.get("code"))
        p4 = settled(slave, 4, mark, lambda p, s, m, c: len(s) == 100)
        check(p4[0] is not None and len(p4[0]) == 100 and not [1 for pid, _ in sections(slave, 4, mark) if pid == 16]
              and (routes(master), routes(slave)) == tables_before,
              "channel 4 keeps its 100 programs and gets no NIT; the routing tables are as they were")

        # The same NITs taken while channels 4-7 send none; switching their NIT
        # on then cannot go on air: refused, and the switches stay off.
        def switches(nit):
            return web("SetSubboardPSIPChannel.w", portlist=[{"port": 0, "channellist": [
                {"channel": ch, "enable": 1, "flag": dict(flags, nit=nit)} for ch in range(4, 8)]}]).get("code")
        r = [switches(0), web("ApplyAllParam.w").get("code")]
        check(r == [0, 0], "with NIT generation off on channels 4-7 the NIT edits are applied: %s" % r)
        mark = size_of(slave, 4)
        r = switches(1)
        shown = [c["flag"]["nit"] for c in web("GetSubboardPSIPChannel.w")["data"]["portlist"][0]["channellist"]
                 if c["channel"] >= 4]
        p4 = settled(slave, 4, mark, lambda p, s, m, c: len(s) == 100)
        check(r == REFUSED and shown == [0, 0, 0, 0] and p4[0] is not None and
              not [1 for pid, _ in sections(slave, 4, mark) if pid == 16],
              "switching on NITs the slave cannot carry is refused with 2067 and changes nothing: %s %s" % (r, shown))

        # Whatever an SDT names, its PAT carries.
        for root, ch, n in ((master, 0, 100), (master, 1, 1), (master, 2, 1), (master, 3, 1), (slave, 4, 100),
                            (slave, 5, 100), (slave, 6, 100), (slave, 7, 33)):
            mark = size_of(root, ch)
            programs, services, _, _ = settled(root, ch, mark, lambda p, s, m, c: len(s) >= n)
            check(programs is not None and len(services) >= n and services <= set(programs),
                  "channel %d: its SDT names only programs of its PAT" % ch)
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
