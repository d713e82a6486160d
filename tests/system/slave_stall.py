"""A slave chip that stops answering without dying freezes nothing on the
master, and one whose link address is taken comes up on it once it is free.

A DVB-C card (master with its agent, slave chip, an input card feeding
channels 0-1). The slave is stopped (SIGSTOP), then a web change of a slave
channel and an SNMP SET of the slave's channels go out: the web, an snmpget
and an input card's frame are each answered within 3 s, both changes are
answered with an error within 30 s and the master logs which of them the
slave did not take. After SIGCONT both chips' parameter files and the web's
view agree. Then the slave starts again with its link address held by
another socket: it logs that and listens on no other address; a change made
meanwhile is answered as not taken; once the address is free the slave takes
it and gets the master's state with that change.

Usage: python3 slave_stall.py BUILD_DIR
"""
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402
import snmp_agent as sa  # noqa: E402
import webcard  # noqa: E402
from snmp_agent import PSI, cell, check  # noqa: E402
from snmp_set import Pair, read  # noqa: E402
from webcard import wait_for  # noqa: E402

SLOT = 6
CARD = "192.168.1.17"
SLAVE_LINK = ("127.188.%d.111" % SLOT, 8050)
INPUT_SLOT, INPUT_ADDR = 5, "127.168.1.30"
QAM_COLUMN = 13  # DVB-C constellation of a group (rows 1 and 5)
ANSWER_LIMIT = 3.0 * webcard.SLOW
COMMAND_LIMIT = 30.0


def listening(pid):
    """(address, port) of every TCP socket the process listens on, from
    /proc: an independent look at what it binds."""
    inodes = set()
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                link = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            if link.startswith("socket:["):
                inodes.add(link[8:-1])
    except OSError:
        return None
    out = set()
    with open("/proc/net/tcp") as f:
        for line in f.read().splitlines()[1:]:
            cols = line.split()
            if cols[3] != "0A" or cols[9] not in inodes:
                continue
            addr, port = cols[1].split(":")
            out.add((socket.inet_ntoa(struct.pack("<I", int(addr, 16))), int(port, 16)))
    return out


def timed(fn):
    """Runs fn on a thread; [seconds it took, its result] once it ends."""
    box = [None, None]

    def run():
        t0 = time.monotonic()
        try:
            box[1] = fn()
        except (OSError, ValueError) as e:
            box[1] = e
        box[0] = time.monotonic() - t0
    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t, box


def view_of(pair):
    """(channel 4's frequency, channels 4-7's constellations, PSI interval) as the web shows them."""
    v = pair.view()
    if not isinstance(v, dict) or v.get("code") != 0:
        return None
    chans = v["data"]["portlist"][0]["channellist"]
    return chans[4]["frequency"], [c["qammode"] for c in chans[4:8]], v["data"]["psiinterval"]


def file_of(conf):
    """The same three from a chip's parameter file (decoded by its layout)."""
    if len(conf) < 852:
        return None
    freq4 = struct.unpack_from("<I", conf, 88 + 128 + 16)[0]
    qam = list(struct.unpack_from("<4I", conf, 88 + 248 + 16))
    return freq4, qam, struct.unpack_from("<H", conf, 22)[0]


def agree(pair):
    """The web's view and both chips' files say the same (one set, one interval)."""
    m, s = pair.confs()
    v = view_of(pair)
    return v is not None and pair.same_set() and file_of(m) == file_of(s) == v


def stalled_slave(pair, ic):
    m = pair.master
    before = view_of(pair)
    qam_now = m.get([cell(QAM_COLUMN, 5)])[0]
    qam_new = 1 if qam_now != 1 else 2
    os.kill(pair.slave.pid, signal.SIGSTOP)
    try:
        web = timed(lambda: webcard.call(pair.web[0], pair.web[1], "SetSubboardParam.w", {
            "psiinterval": 120, "portlist": [{"port": 0, "channellist": [{"channel": 4, "frequency": 610000}]}]},
            timeout=COMMAND_LIMIT + 10))
        snmp = timed(lambda: m.set([(cell(QAM_COLUMN, 5), "i", qam_new)], timeout=COMMAND_LIMIT + 10)[0])
        time.sleep(0.3)
        program = peers.program_record(1, SLOT, INPUT_SLOT, 2, 2, 201, 0x220, 0x221, b"Peer 1-1")
        probes = {
            "GetOutputTSStatus.w": timed(lambda: webcard.call(pair.web[0], pair.web[1], "GetOutputTSStatus.w", {},
                                                              timeout=COMMAND_LIMIT)["code"]),
            "snmpget": timed(lambda: m.get([PSI], timeout=COMMAND_LIMIT)),
            "input card's 263": timed(lambda: peers.exchange(CARD, peers.build_frame(
                INPUT_SLOT, 263, 0, 1, peers.message([program])), wait=COMMAND_LIMIT)),
        }
        for name, (t, box) in probes.items():
            t.join(COMMAND_LIMIT + 5)
            check(box[0] is not None and box[0] <= ANSWER_LIMIT and box[1] is not None,
                  "slave stopped: %s answered within %.0f s (%s s: %s)" % (name, ANSWER_LIMIT,
                                                                         box[0] and round(box[0], 2), box[1]))
        for name, (t, box), ok in (("SetSubboardParam.w", web, lambda r: isinstance(r, dict) and r["code"] != 0),
                                   ("the SNMP SET", snmp, lambda r: r not in ("", None))):
            t.join(COMMAND_LIMIT + 15)
            answer = box[1]["code"] if isinstance(box[1], dict) else box[1]
            check(box[0] is not None and box[0] <= COMMAND_LIMIT and ok(box[1]),
                  "slave stopped: %s answered non-zero within %.0f s (%s after %s s)"
                  % (name, COMMAND_LIMIT, answer, box[0] and round(box[0], 2)))
        log = m.log()
        for what in ("SetSubboardParam.w", "an SNMP SET"):
            check("Slave chip 192.168.188.111 did not take %s" % what in log,
                  "the master logs that the slave did not take %s" % what)
    finally:
        os.kill(pair.slave.pid, signal.SIGCONT)
    check(wait_for(lambda: agree(pair), COMMAND_LIMIT),
          "after SIGCONT the web's view and both chips' files agree (before %s, view %s, files %s)"
          % (before, view_of(pair), [file_of(c) for c in pair.confs()]))
    check(view_of(pair) == (610000, [qam_new] * 4, 120),
          "what the master kept is in force: %s" % (view_of(pair),))


def taken_address(pair):
    """The slave starts again while another socket holds its link address."""
    webcard.stop(pair.slave)
    blocker = socket.socket()
    blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    blocker.bind(SLAVE_LINK)
    blocker.listen(1)
    log_path = os.path.join(pair.slave_root, "tarvex_data/log/K9_Modulate.log")
    mark = len(read(log_path, "r"))
    try:
        pair.slave = subprocess.Popen([os.path.join(pair.build, "modcard")],
                                      env=dict(os.environ, MODCARD_ROOT=pair.slave_root),
                                      stdout=open(pair.slave_root + ".console", "a"), stderr=subprocess.STDOUT)
        check(wait_for(lambda: "Address already in use" in read(log_path, "r")[mark:], 30),
              "the slave logs that its link address is taken")
        # It keeps trying: looked at across a few of its tries.
        seen = set()
        end = time.monotonic() + 3
        while time.monotonic() < end:
            seen |= listening(pair.slave.pid) or set()
            time.sleep(0.2)
        check(not seen, "while it is taken the slave listens on no address at all: %s" % sorted(seen))
        # A change the slave cannot take meanwhile: answered so, kept by the master.
        r = webcard.call(pair.web[0], pair.web[1], "SetSubboardParam.w", {
            "psiinterval": 130, "portlist": [{"port": 0, "channellist": [{"channel": 4, "frequency": 618000}]}]})
        check(r["code"] != 0, "a change the unreachable slave cannot take is answered %d" % r["code"])
    finally:
        blocker.close()
    check(wait_for(lambda: listening(pair.slave.pid) == {SLAVE_LINK}, 15),
          "once it is free the slave listens on its link address alone: %s" % listening(pair.slave.pid))
    check(wait_for(lambda: agree(pair) and view_of(pair)[::2] == (618000, 130), 30),
          "and gets the master's state with the change: %s" % [file_of(c) for c in pair.confs()])


def main():
    build = sys.argv[1]
    top = tempfile.mkdtemp(prefix="modcard-stall-")
    pair = ic = None
    try:
        pair = Pair(build, top, "card", 2, SLOT)
        ic = peers.input_card(INPUT_ADDR, INPUT_SLOT)
        pair.start()
        missing = pair.up()
        check(not missing, "agent answers and the slave holds the master's set" + missing)
        check(peers.announce(CARD, INPUT_SLOT, INPUT_ADDR) == [1], "input card's resource record: 1")
        codes = peers.feed(CARD, INPUT_SLOT, SLOT, channels=(0, 1))
        check(all(set(c) == {peers.SUCCESS} for c in codes.values()), "channels 0-1 fed and applied")
        stalled_slave(pair, ic)
        taken_address(pair)
        locked = [ln for ln in pair.master.log().splitlines() if "while holding the card-state lock" in ln]
        check(not locked, "no send to or wait on the slave chip under the card-state lock: %s" % locked[:3])
    finally:
        if pair is not None:
            pair.stop()
        if ic is not None:
            ic.stop()
    sa.finish(top)


main()
