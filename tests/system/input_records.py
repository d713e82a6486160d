"""Records of an input card whose indexing fields are out of range, sent to
a card of two chips fed on all eight channels: output channels 8, 259 and
1024 (cut to ten or eight bits they would name channels 8, 3 and 0), an
input stream number beyond the routing word, a slot beyond the chassis, an
ES on its program's PMT PID, and deletions that name a channel the card
lacks beside one it has. Each message is refused whole: the tables on the
air (decoded here with struct and crcmod), the committed routing tables of
both chips, the saved output-stream file and the web's view stay as they
were.

Usage: python3 input_records.py BUILD_DIR
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
check = webcard.Checks()
SLOT, CARD, ADDR, PORT = 3, "192.168.1.14", "127.168.1.14", 18014
FEED, ROGUE = 5, 6  # the input cards' slots
MUX_COMMITTED = 0x104000 + 0x26000 + (2048 + 256) * 8
CONF = "tarvex_data/K9_OutPutTSP.conf"


def read(root, name, mode="rb"):
    try:
        with open(os.path.join(root, name), mode) as f:
            return f.read()
    except OSError:
        return b"" if "b" in mode else ""


def routes(root):
    """(source slot, input PID, output channel, output PID) of the committed mux table."""
    data = read(root, "board.state")[MUX_COMMITTED:MUX_COMMITTED + 2048 * 8]
    out = set()
    for e in struct.unpack("<2048Q", data) if len(data) == 2048 * 8 else ():
        if e:
            src, dst = (e >> 23) & 0x1FFFFFFF, e & 0x7FFFFF
            out.add((src >> 23, src & 0x1FFF, dst >> 13, dst & 0x1FFF))
    return out


def sections(root, ch, since=0):
    """[(PID, section)] of the CRC-good sections of a channel's capture from byte `since`."""
    return capture.sections(capture.channel(root, ch), since)


def on_air(root, ch, since):
    """The distinct sections of a channel after `since` (times left out), the
    PAT sections among them, in order, and the programs every PAT names."""
    secs = [(pid, s) for pid, s in sections(root, ch, since) if not 0x70 <= s[0] <= 0x73]
    pats = [s for pid, s in secs if pid == 0 and s[0] == 0]
    programs = {struct.unpack_from(">H", s, k)[0] for s in pats for k in range(8, len(s) - 4, 4)} - {0}
    return set(secs), pats, programs


def pmt_on_own_pid(secs):
    """PMT sections that list their own PID as an elementary stream."""
    bad = []
    for pid, s in secs:
        if s[0] != 2:
            continue
        k = 12 + (struct.unpack_from(">H", s, 10)[0] & 0x0FFF)
        while k + 5 <= len(s) - 4:
            if struct.unpack_from(">H", s, k + 1)[0] & 0x1FFF == pid:
                bad.append(pid)
            k += 5 + (struct.unpack_from(">H", s, k + 3)[0] & 0x0FFF)
    return bad


def marks(root):
    return {ch: len(read(root, "trace/si_ch%d.ts" % ch)) // 188 * 188 for ch in range(8)}


def settled(root, since, rounds=3):
    """Every channel's capture holds `rounds` PATs after its mark: the carousel
    has gone round with what is in force."""
    return all(len(on_air(root, ch, since[ch])[1]) >= rounds for ch in range(8))


def send(slot, cmd, records):
    return peers.send_message(CARD, slot, cmd, peers.message(records))


def delete(src_slot, src_ch, ch, prog_id):
    return struct.pack("<BBHHH", src_slot, 0, src_ch, ch, prog_id)


def web_view():
    """{channel: service ids} of GetOutputTSStatus.w."""
    r = webcard.call(ADDR, PORT, "GetOutputTSStatus.w", {}, timeout=60)
    return {c["channel"]: {p["serviceid"] for p in c.get("programlist", [])}
            for c in r["data"]["portlist"][0]["channellist"]}


def main():
    top = tempfile.mkdtemp(prefix="modcard-inputrec-")
    master, slave = os.path.join(top, "master"), os.path.join(top, "slave")
    procs, line = [], None
    try:
        webcard.make_board(build, master, SLOT, PORT)
        subprocess.run([os.path.join(build, "modcard-board"), slave, "--board-type", "2", "--chip", "1",
                        "--slot", str(SLOT)], check=True, stdout=subprocess.DEVNULL)
        line = peers.chassis_for(master, SLOT)
        procs.append(webcard.launch(build, slave, slave + ".console"))
        check(wait_for(lambda: socket.socket().connect_ex(("127.188.3.111", 8050)) == 0, 20), "slave chip up")
        procs.append(webcard.launch(build, master, master + ".console"))
        check(wait_for(lambda: socket.socket().connect_ex((ADDR, 8000)) == 0 and
                       "---------address:" in read(master, "tarvex_data/log/K9_Modulate.log", "r"), 30),
              "master's frame server up")

        # In force: two programs on each channel from FEED, and two of ROGUE's
        # own on channel 2 (PMT 0x300 or 0x308, PCR and video one PID above).
        codes = peers.feed(CARD, FEED, SLOT, tuple(range(8)))
        codes = [c for v in codes.values() for c in v]
        codes += send(ROGUE, peers.SEND_PROGRAM, [peers.program_record(2, SLOT, ROGUE, 1, k, 899 + k, 0x2F8 + 8 * k,
                                                                       0x2F9 + 8 * k, b"Rogue") for k in (1, 2)])
        codes += send(ROGUE, peers.SEND_PID, [peers.pid_record(2, SLOT, ROGUE, 1, k, 10 * k + i, t, 2, 0x2F9 + 8 * k)
                                              for k in (1, 2) for i, t in ((1, peers.PID_PCR), (2, peers.PID_ES))])
        # The master's tables and routing are rebuilt before the answer.
        codes += peers.send_message(CARD, ROGUE, peers.SEND_TSP_MUX_PROCESS)
        since = marks(master)
        check(set(codes) == {peers.SUCCESS}, "eight channels and ROGUE's program fed and applied: 1")
        fed = {(FEED, 0x201 + 0x20 * k + i, ch) for ch in range(4, 8) for k in (0, 1) for i in (0, 1)}
        check(wait_for(lambda: {r[:3] for r in routes(slave)} == fed, 30), "the slave routes channels 4-7")
        check(wait_for(lambda: settled(master, since), 20), "every channel's tables go round")
        before = {ch: on_air(master, ch, since[ch]) for ch in range(8)}
        mux, slave_mux, conf, view = routes(master), routes(slave), read(master, CONF), web_view()

        # Refused whole, each one (a single frame is answered 1 whatever its
        # fate; a joined message that is refused, 2067).
        codes = []
        for ch in (8, 259, 1024):
            codes += send(ROGUE, peers.SEND_TS, [peers.ts_record(ch, SLOT, 0x700 + ch, 0x20, ROGUE, 2)])
            codes += send(ROGUE, peers.SEND_PROGRAM, [peers.program_record(ch, SLOT, ROGUE, 2, 1, 800 + ch % 100,
                                                                           0x310, 0x311, b"Phantom")])
            codes += send(ROGUE, peers.SEND_PID, [peers.pid_record(ch, SLOT, ROGUE, 2, 1, 1, peers.PID_PCR, 2, 0x311),
                                                  peers.pid_record(ch, SLOT, ROGUE, 2, 1, 2, peers.PID_ES, 2, 0x311),
                                                  peers.pid_record(ch, SLOT, ROGUE, 2, 0, 3, 7, 0, 0x312)])
        wide = peers.pid_record(2, SLOT, ROGUE, 1, 1, 3, peers.PID_ES, 4, 0x302)
        struct.pack_into("<H", wide, 50, 0x401)  # input stream 1025: stream 1 in ten bits
        codes += send(ROGUE, peers.SEND_PID, [wide])
        codes += send(ROGUE, peers.SEND_PROGRAM, [peers.program_record(3, SLOT, 17, 1, 1, 901, 0x320, 0x321, b"S17")])
        codes += send(ROGUE, peers.SEND_PID, [peers.pid_record(2, SLOT, ROGUE, 1, 1, 4, peers.PID_ES, 4, 0x300)])
        codes += send(ROGUE, 263, [delete(ROGUE, 1, 2, 2), delete(ROGUE, 1, 1024, 1)])
        codes += send(ROGUE, 274, [struct.pack("<BBHHH", ROGUE, 2, 1, 8, 2)])
        check(set(codes) == {peers.SUCCESS}, "single-frame messages answered 1: %s" % codes)
        # Each frame once: a sender tries a refused one again, and finds its message gone.
        data = peers.message([peers.program_record(3, SLOT, ROGUE, 1, 2, 902, 0x330, 0x331, b"J"),
                              peers.program_record(1024, SLOT, ROGUE, 1, 3, 903, 0x340, 0x341, b"K")])
        joined = [(peers.exchange(CARD, peers.build_frame(ROGUE, peers.SEND_PROGRAM, i, 2,
                                                          data[i * peers.MAX_DATA:(i + 1) * peers.MAX_DATA]))
                   or [None] * 2)[1] for i in (0, 1)]
        check(joined == [1, 2067], "a two-frame program message with channel 1024 in it: 1, 2067 (%s)" % joined)
        # Its round held refused messages: the apply says so, and changes nothing.
        check(peers.send_message(CARD, ROGUE, peers.SEND_TSP_MUX_PROCESS) == [2067], "ROGUE's apply: 2067")
        since = marks(master)
        check(wait_for(lambda: settled(master, since), 20), "every channel's tables go round again")
        for ch in range(8):
            secs, pats, programs = on_air(master, ch, since[ch])
            check(secs == before[ch][0] and len(set(pats)) == 1,
                  "channel %d: one PAT and the same tables as before (%d distinct PATs, %d sections new, %d gone)" %
                  (ch, len(set(pats)), len(secs - before[ch][0]), len(before[ch][0] - secs)))
            check(programs == view.get(ch), "channel %d: the web shows the programs on the air: %s vs %s" %
                  (ch, sorted(view.get(ch, ())), sorted(programs)))
            check(not pmt_on_own_pid(secs), "channel %d: no PMT lists its own PID" % ch)
        check(routes(master) == mux, "master routing as before: %s more, %s fewer" %
              (sorted(routes(master) - mux)[:4], sorted(mux - routes(master))[:4]))
        check(read(master, CONF) == conf, "the saved output-stream file is as before")
        check(web_view() == view, "the web's view is as before")
        log = read(master, "tarvex_data/log/K9_Modulate.log", "r")
        for what in ("u16ChannelID[8]", "u16ChannelID[259]", "u16ChannelID[1024]", "u16SrcStreamID[1025]",
                     "u8SourceSlotID[17]", "u16OldPID of a PMT[768]", "u8SourceSlotID[6] u16ChannelID[1024]",
                     "u8SourceSlotID[6] u16ChannelID[8]"):
            check(what in log, "the refusal of %s is logged" % what)

        # The slave's table follows over the chip link: once FEED's deletion of
        # channel 5's second program reaches it, it holds the rest as before.
        codes = send(FEED, 263, [delete(FEED, 6, 5, 2)]) + peers.send_message(CARD, FEED, peers.SEND_TSP_MUX_PROCESS)
        gone = {r for r in slave_mux if r[:3] in {(FEED, 0x221, 5), (FEED, 0x222, 5)}}
        check(codes == [1, 1] and len(gone) == 2, "FEED deletes a program of channel 5 and applies: %s" % codes)
        check(wait_for(lambda: routes(slave) == slave_mux - gone, 30),
              "the slave routes what it routed before, less the deleted program: %s more" %
              sorted(routes(slave) - slave_mux)[:4])
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
