"""An input card's rounds (its record messages up to its apply, 271) on a
DVB-C card of two chips, from the card in slot 6: a program goes on air only
whole, and each apply's answer tells the whole truth.

A program deleted and sent again inside a round, or sent again after a slot
clear (265), whose PID message is refused stays off air and the apply says
2067; a slot clear starts a new round, so a refusal before it does not make
the apply of a clean feed after it say 2067; a one-frame program message for
channel 8 (answered 1) makes its round's apply say 2067. An operator's web
apply inside a round puts no new program on air before its PIDs come. A
descrambled program whose PID records carry a CI source the routing word
cannot hold is refused (on air) or left out (new), with 2067. Program
information announced longer than what arrives puts only what arrived on
air. Frames of slots the chassis does not have take no reassembly entry,
and one sender holds one, so the real cards' joined messages are taken. A
resource record (257) is taken only for its sender's own slot, an address
message (514) from anyone but the back board is refused, and an upgrade of
0 bytes starts nothing. What is on air is read from the SI captures and the
committed routing table (decoded here with struct and crcmod).

Usage: python3 input_rounds.py BUILD_DIR
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
SLOT, CARD, ADDR, PORT, CARD_SLOT = 6, "192.168.1.14", "127.168.1.14", 18015, 3
OK, REFUSED = peers.SUCCESS, 2067


def read(path, mode="rb"):
    try:
        with open(path, mode) as f:
            return f.read()
    except OSError:
        return b"" if "b" in mode else ""


def program(ch, prog, pmt, info=b"", info_len=None):
    """Program `prog` of channel ch (service id 10 ch + prog), PCR on pmt + 1."""
    r = peers.program_record(ch, CARD_SLOT, SLOT, ch, prog, 10 * ch + prog, pmt, pmt + 1, b"R%d-%d" % (ch, prog))
    struct.pack_into("<H", r, 118, len(info) if info_len is None else info_len)
    r[120:120 + len(info)] = info
    return r


def pids(ch, prog, pmt, ci=None, bad=False):
    """PCR and two streams on pmt + 1, pmt + 2; ci: their CI source PID and
    stream; bad: the second stream's information length is out of range."""
    out = [peers.pid_record(ch, CARD_SLOT, SLOT, ch, prog, 10 * prog + k, t, st, pmt + p)
           for k, t, st, p in ((0, peers.PID_PCR, 2, 1), (1, peers.PID_ES, 2, 1), (2, peers.PID_ES, 4, 2))]
    for r in out:
        struct.pack_into("<HH", r, 242, *(ci if ci is not None else (pmt + 1, 0)))
    if bad:
        struct.pack_into("<H", out[2], 48, 189)
    return out


def send(cmd, records, slot=SLOT):
    return peers.send_message(CARD, slot, cmd, peers.message(records))


def raw(cmd, data=b""):
    return peers.send_message(CARD, SLOT, cmd, data)


def feed(ch, prog, pmt, **kw):
    return send(peers.SEND_PROGRAM, [program(ch, prog, pmt)]) + send(peers.SEND_PID, pids(ch, prog, pmt, **kw))


def apply():
    return peers.send_message(CARD, SLOT, peers.SEND_TSP_MUX_PROCESS)


def delete(ch, prog):
    return send(263, [struct.pack("<BBHHH", SLOT, 0, ch, ch, prog)])


def size(root, ch):
    try:
        return os.path.getsize(capture.channel(root, ch))
    except OSError:
        return 0


def air(root, want=(0, 1, 2, 3)):
    """What channels 0-3 have on air once the tables of the channels in
    `want` went round again (a channel of no program has no PAT: None)."""
    marks = {ch: size(root, ch) for ch in range(4)}
    got = {}

    def look():
        got.update({ch: capture.programs(root, ch, marks[ch]) for ch in range(4)})
        return all(got[ch] is not None for ch in want)
    wait_for(look, 20)
    if not want:
        wait_for(lambda: False, 1.5)  # the carousel goes round
        look()
    return got


def web_view():
    """{channel: service ids} the web lists."""
    try:
        r = webcard.call(ADDR, PORT, "GetOutputTSStatus.w", {}, timeout=30)
        return {c["channel"]: {p["serviceid"] for p in c.get("programlist", [])}
                for c in r["data"]["portlist"][0]["channellist"] if c.get("programlist")}
    except (OSError, ValueError, KeyError, TypeError) as e:
        return {"error": str(e)}


def whole(state):
    """Programs on air whose PMT lists no stream."""
    return {(ch, s) for ch, progs in state.items() for s, (info, es) in (progs or {}).items() if not es}


def brief(state):
    """A state with each program's information as its length."""
    return {ch: {sid: (len(info), es) for sid, (info, es) in progs.items()} if progs else progs
            for ch, progs in state.items()}


def sids(state):
    return {ch: set(progs or {}) for ch, progs in state.items() if progs}


def main():
    top = tempfile.mkdtemp(prefix="modcard-rounds-")
    master, slave = os.path.join(top, "master"), os.path.join(top, "slave")
    procs, line = [], None
    try:
        webcard.make_board(build, master, CARD_SLOT, PORT)
        subprocess.run([os.path.join(build, "modcard-board"), slave, "--board-type", "2", "--chip", "1",
                        "--slot", str(CARD_SLOT)], check=True, stdout=subprocess.DEVNULL)
        line = peers.chassis_for(master, CARD_SLOT)
        procs.append(webcard.launch(build, slave, slave + ".console"))
        check(wait_for(lambda: socket.socket().connect_ex(("127.188.3.111", 8050)) == 0, 20), "slave chip up")
        procs.append(webcard.launch(build, master, master + ".console"))
        check(wait_for(lambda: socket.socket().connect_ex((ADDR, 8000)) == 0 and
                       "---------address:" in read(os.path.join(master, "tarvex_data/log/K9_Modulate.log"), "r"),
                       30), "master's frame server up")

        # On air: A (service 1) on channel 0, B (service 12) on channel 1.
        codes = send(peers.SEND_TS, [peers.ts_record(ch, CARD_SLOT, 0x100 + ch, 0x20, SLOT, ch) for ch in range(4)])
        codes += feed(0, 1, 0x100) + feed(1, 2, 0x110) + apply()
        state = air(master, (0, 1))
        check(set(codes) == {OK} and sids(state) == {0: {1}, 1: {12}}, "A and B fed and on air: %s" % sids(state))

        # A deleted and sent again inside a round, its PID message refused.
        codes = delete(0, 1) + send(peers.SEND_PROGRAM, [program(0, 1, 0x100)])
        codes += send(peers.SEND_PID, pids(0, 1, 0x100, bad=True)) + apply()
        state = air(master, (1,))
        check(codes == [OK, OK, OK, REFUSED], "263, 260 and a refused 261 of A: the apply says 2067: %s" % codes)
        check(sids(state) == {1: {12}} and not whole(state) and web_view() == {1: {12}},
              "A is not on air half-made, nor in the web's view: %s" % brief(state))

        # A one-frame program message for channel 8 is answered 1, its round's apply 2067.
        codes = send(peers.SEND_PROGRAM, [program(8, 9, 0x180)]) + apply()
        check(codes == [OK, REFUSED], "a program for channel 8: 1, and its round's apply 2067: %s" % codes)

        # A refusal (a PID message beyond the 5,120 bytes a message holds), a
        # slot clear, a clean feed: the apply of the new round says 1.
        over = send(peers.SEND_PID, [peers.pid_record(1, CARD_SLOT, SLOT, 1, 2, 30 + k, peers.PID_ES, 2, 0x1A0 + k)
                                     for k in range(14)])
        codes = raw(265)
        codes += send(peers.SEND_TS, [peers.ts_record(ch, CARD_SLOT, 0x100 + ch, 0x20, SLOT, ch) for ch in range(4)])
        codes += feed(0, 1, 0x100) + feed(1, 2, 0x110) + apply()
        state = air(master, (0, 1))
        check(over[-1] != OK and set(codes) == {OK} and sids(state) == {0: {1}, 1: {12}} and not whole(state),
              "a refusal (%s), 265, then a clean feed: on air whole and answered 1: %s %s" % (over, codes, sids(state)))

        # A round open, a slot clear, B sent again with its PID message refused.
        codes = raw(267) + raw(265) + send(peers.SEND_TS, [peers.ts_record(1, CARD_SLOT, 0x101, 0x20, SLOT, 1)])
        codes += feed(1, 2, 0x110, bad=True) + apply()
        state = air(master, ())
        check(codes == [OK, OK, OK, OK, OK, REFUSED] and not sids(state) and not whole(state),
              "267, 265, then B with a refused 261: B stays off air and the apply says 2067: %s %s" %
              (codes, brief(state)))

        # An operator's apply between F's program and its PIDs keeps F off air.
        codes = send(peers.SEND_PROGRAM, [program(1, 3, 0x120)])
        r = webcard.call(ADDR, PORT, "ApplyAllParam.w", {}, timeout=60).get("code")
        state = air(master, ())
        check(codes == [OK] and r == 0 and not sids(state),
              "a web apply (%s) inside F's round does not put F on air before its PIDs: %s" % (r, brief(state)))
        codes = send(peers.SEND_PID, pids(1, 3, 0x120)) + apply()
        state = air(master, (1,))
        check(codes == [OK, OK] and state.get(1) == {13: (b"", [(2, 0x121), (4, 0x122)])},
              "F's PIDs and apply: F on air whole: %s %s" % (codes, brief(state).get(1)))

        # C on air on channel 2 with CI sources the routing word cannot carry;
        # then descrambled: refused. D new, descrambled, then such PIDs: left out.
        codes = feed(2, 4, 0x130, ci=(0xFFFF, 0xFFFF)) + apply()
        air(master, (2,))
        c_routes = {r for r in capture.routes(master) if r[3] == 2}
        check(codes == [OK] * 3 and len(c_routes) == 2, "C fed and routed directly: %s" % sorted(c_routes))
        descramble = [program(2, 4, 0x130)]
        codes = send(269, descramble) + apply()
        state = air(master, (2,))
        check(codes == [OK, REFUSED] and {r for r in capture.routes(master) if r[3] == 2} == c_routes and
              state.get(2) == {24: (b"", [(2, 0x131), (4, 0x132)])},
              "269 of C: its apply says 2067, C stays on air routed as before: %s" % codes)
        codes = send(peers.SEND_PROGRAM, [program(2, 5, 0x140)]) + send(269, [program(2, 5, 0x140)])
        codes += send(peers.SEND_PID, pids(2, 5, 0x140, ci=(0xFFFF, 0xFFFF))) + apply()
        state = air(master, (2,))
        check(codes == [OK, OK, OK, REFUSED] and set(state.get(2) or {}) == {24} and
              25 not in web_view().get(2, set()) and not {r for r in capture.routes(master) if r[2] in (0x141, 0x142)},
              "D descrambled with such PIDs: left out, the apply says 2067: %s %s" % (codes, brief(state).get(2)))

        # E on channel 3 announces 500 bytes of program information; none
        # arrives. Then a descriptor record of 600 bytes carrying one of 6.
        codes = send(peers.SEND_PROGRAM, [program(3, 6, 0x150, info_len=500)])
        codes += send(peers.SEND_PID, pids(3, 6, 0x150)) + apply()
        state = air(master, (3,))
        check(codes == [OK] * 3 and state.get(3) == {36: (b"", [(2, 0x151), (4, 0x152)])},
              "E on air without the information that did not arrive: %s" % brief(state).get(3))
        desc = bytearray(1168)
        struct.pack_into("<IBBHH", desc, 4, 600, 0, CARD_SLOT, 3, 6)
        desc[16:22] = b"\x05\x04ABCD"
        struct.pack_into("<HB", desc, 1050, 3, SLOT)
        codes = send(peers.SEND_DESCRIPTOR, [desc]) + apply()
        state = air(master, (3,))
        check(codes == [OK, OK] and state.get(3) == {36: (b"\x05\x04ABCD", [(2, 0x151), (4, 0x152)])},
              "a descriptor record of 600 bytes carrying 6: those 6 on air: %s" % brief(state).get(3))

        # The reassembly table: first frames of slots 200-214, and of one real
        # slot with every record command, leave room for the real cards.
        ghost = [(peers.exchange(CARD, peers.build_frame(200 + k, peers.SEND_PROGRAM, 0, 2, b"\x02" + bytes(900)))
                  or [None] * 2)[1] for k in range(15)]
        cmds = (259, 260, 261, 262, 263, 267, 268, 269, 270, 273, 274, 275, 288, 289)
        hog = [(peers.exchange(CARD, peers.build_frame(9, c, 0, 3, bytes(1400))) or [None] * 2)[1] for c in cmds]
        more = (peers.exchange(CARD, peers.build_frame(9, cmds[0], 1, 3, bytes(1400))) or [None] * 2)[1]
        check(set(ghost) == {peers.DATA_ERROR}, "first frames of slots 200-214 are refused: %s" % ghost)
        check(set(hog) == {OK} and more != OK, "slot 9 holds one message at a time: %s, then %s" % (hog, more))
        joined = send(peers.SEND_PROGRAM, [program(0, 7, 0x160), program(0, 8, 0x170)])
        codes = send(peers.SEND_PID, pids(0, 7, 0x160) + pids(0, 8, 0x170)) + apply()
        state = air(master, (0,))
        check(joined == [OK, OK] and codes == [OK, OK, OK] and set(state.get(0) or {}) == {7, 8} and not whole(state),
              "the real card's joined messages are taken and on air: %s %s %s" % (joined, codes, brief(state).get(0)))

        # Resource records, address messages, an empty upgrade.
        own = raw(peers.SEND_RESOUR, peers.resource_record(SLOT, "192.168.1.36"))
        other = raw(peers.SEND_RESOUR, peers.resource_record(5, "192.168.1.99"))
        card = raw(peers.SEND_RESOUR, peers.resource_record(CARD_SLOT, "192.168.1.99"))
        addr = raw(514, bytes(16))
        check(own == [OK] and other == [peers.DATA_ERROR] and card == [peers.DATA_ERROR] and addr == [peers.DATA_ERROR],
              "257 for its own slot 1, for slot 5 or the card's 2; 514 from slot 6: 2: %s %s %s %s" %
              (own, other, card, addr))
        empty = peers.exchange(CARD, peers.build_frame(16, 3841, 0, 1, b""))
        log = read(os.path.join(master, "tarvex_data/log/K9_Modulate.log"), "r")
        check(empty is not None and empty[1] != OK and "Receive upgrade file finish" not in log,
              "an upgrade of 0 bytes in one frame is refused and starts nothing: %s" % (empty,))
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
