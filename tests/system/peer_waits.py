"""No peer holds the card, and what the card answers about its slave chip is
what happened on both chips.

A DVB-C card (master with its agent, slave chip, an input card feeding
channels 0, 1 and 4):
- the master restarts while the slave is down: changes are answered 1539
  (SNMP: an error); the slave, started later, is taken, gets the master's
  state (both parameter files, its PAT on channel 4);
- with the slave stopped (SIGSTOP) and continued after the master gave up:
  ClearLogs.w, Debug.w register accesses, Reboot.w and the reboot switch are
  answered with an error within 3 s and nothing of them happens later on
  either chip (no log cleared, no register written, no reboot, no unmount);
  ExportLogs.w holds no slave archive of an earlier export;
- an EIT board that accepts connections and never answers, then an EIT
  record naming the card's own address: 271s, other slots' frames and web
  applies are answered within 3 s;
- with the slave running all of them work: both chips' logs cleared, the
  register read back, the slave's archive in the export, and the whole card
  reboots.
Web, SNMP and another slot's frames are answered within 3 s throughout.

Usage: python3 peer_waits.py BUILD_DIR
"""
import io
import os
import signal
import socket
import struct
import subprocess
import sys
import tarfile
import tempfile
import threading
import time

import crcmod

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402
import snmp_agent as sa  # noqa: E402
import webcard  # noqa: E402
from snmp_agent import PSI, REBOOT, cell, check  # noqa: E402
from snmp_set import Pair, read  # noqa: E402
from webcard import wait_for  # noqa: E402

SLOT = 7
CARD = "192.168.1.18"
INPUT_SLOT, INPUT_ADDR = 5, "127.168.1.30"
EIT_SLOT, EIT_ADDR = 9, "192.168.1.20"
QAM_COLUMN = 13  # DVB-C constellation of a group (rows 1 and 5)
ANSWER_LIMIT = 3.0 * webcard.SLOW
WAIT = 40.0  # how long a probe waits before it counts as unanswered
MPEG_CRC = crcmod.predefined.mkCrcFun("crc-32-mpeg")
LOG = "tarvex_data/log/K9_Modulate.log"


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


def web(pair, key, members=None, timeout=WAIT):
    return webcard.call(pair.web[0], pair.web[1], key, dict(members or {}), timeout=timeout)


def code(r):
    return r.get("code") if isinstance(r, dict) else r


def probes(pair):
    """An snmpget, a web read and another slot's frame, started now."""
    frame = peers.build_frame(INPUT_SLOT, 258, 0, 1, b"\0")
    return {
        "snmpget": timed(lambda: pair.master.get([PSI], timeout=WAIT)),
        "GetOutputTSStatus.w": timed(lambda: code(web(pair, "GetOutputTSStatus.w"))),
        "slot 5's 258": timed(lambda: peers.exchange(CARD, frame, wait=WAIT)),
    }


def answered(what, started, limit=ANSWER_LIMIT):
    """Each started probe was answered within the limit."""
    for name, (t, box) in started.items():
        t.join(WAIT + 10)
        check(box[0] is not None and box[0] <= limit and box[1] is not None and not isinstance(box[1], Exception),
              "%s: %s answered within %.0f s (%s s: %s)" % (what, name, limit, box[0] and round(box[0], 2), box[1]))


def view_of(pair):
    """(channel 4's frequency, its constellation, PSI interval) as the web shows them."""
    try:
        v = web(pair, "GetSubboardParam.w")
    except (OSError, ValueError):
        return None
    if v.get("code") != 0:
        return None
    chans = v["data"]["portlist"][0]["channellist"]
    return chans[4]["frequency"], chans[4]["qammode"], v["data"]["psiinterval"]


def file_of(conf):
    if len(conf) < 852:
        return None
    return (struct.unpack_from("<I", conf, 88 + 128 + 16)[0], struct.unpack_from("<I", conf, 88 + 248 + 16)[0],
            struct.unpack_from("<H", conf, 22)[0])


def agree(pair):
    m, s = pair.confs()
    return pair.same_set() and file_of(m) == file_of(s) == view_of(pair)


def reboots(root):
    return read(os.path.join(root, "trace/shell.log"), "r").count("RECORD reboot (process ends")


def unmounts(root):
    return read(os.path.join(root, "trace/shell.log"), "r").count("umount")


def reg(root, n):
    with open(os.path.join(root, "board.state"), "rb") as f:
        f.seek(0x1000 + 16 * n)
        return struct.unpack("<I", f.read(4))[0]


def start_slave(pair):
    pair.slave = subprocess.Popen([os.path.join(pair.build, "modcard")],
                                  env=dict(os.environ, MODCARD_ROOT=pair.slave_root),
                                  stdout=open(pair.slave_root + ".console", "a"), stderr=subprocess.STDOUT)


def pat_programs(data):
    """Program numbers of every PAT section with a good CRC in a capture."""
    out = []
    for i in range(0, len(data) - 187, 188):
        p = data[i:i + 188]
        if p[0] != 0x47 or ((p[1] & 0x1F) << 8 | p[2]) != 0 or not p[1] & 0x40:
            continue
        off = 4 + (1 + p[4] if p[3] & 0x20 else 0)
        sec = p[off + 1 + p[off]:]
        if len(sec) < 12 or sec[0] != 0:
            continue
        n = 3 + ((sec[1] & 0x0F) << 8 | sec[2])
        if n > len(sec) or MPEG_CRC(bytes(sec[:n])) != 0:
            continue
        out.append({struct.unpack_from(">H", sec, k)[0] for k in range(8, n - 4, 4)})
    return out


def with_slave_stopped(pair, then_wait=1.0):
    """A context: the slave is stopped inside, continued a while after."""
    class Stop:
        def __enter__(self):
            os.kill(pair.slave.pid, signal.SIGSTOP)

        def __exit__(self, *exc):
            time.sleep(then_wait)
            os.kill(pair.slave.pid, signal.SIGCONT)
    return Stop()


def master_restarts_while_slave_down(pair):
    m = pair.master
    webcard.stop(pair.slave)
    m.stop()
    mark = len(m.log())
    m.start(wait_agent=True)
    # The start-up's last line comes once the detection has ended.
    check(wait_for(lambda: "This version is a universal version" in m.log()[mark:], 90)
          and "Slave chip is working now!!!" not in m.log()[mark:],
          "restarted master: its detection ends without a slave")
    t0 = time.monotonic()
    r = web(pair, "SetSubboardParam.w", {"psiinterval": 140,
                                         "portlist": [{"port": 0, "channellist": [{"channel": 4, "frequency": 626000}]}]})
    took = time.monotonic() - t0
    check(code(r) == 1539 and took <= ANSWER_LIMIT,
          "slave down: a change of channel 4 is answered 1539 within %.0f s (%s after %.1f s)"
          % (ANSWER_LIMIT, code(r), took))
    qam = m.get([cell(QAM_COLUMN, 5)])[0]
    qam_new = 3 if qam != 3 else 1
    t0 = time.monotonic()
    status, _ = m.set([(cell(QAM_COLUMN, 5), "i", qam_new)])
    took = time.monotonic() - t0
    check(status not in ("", None) and took <= ANSWER_LIMIT,
          "slave down: an SNMP SET of channels 4-7 answers an error within %.0f s (%s after %.1f s)"
          % (ANSWER_LIMIT, status, took))
    marks = [os.path.getsize(os.path.join(pair.slave_root, "trace/si_ch4.ts"))
             if os.path.exists(os.path.join(pair.slave_root, "trace/si_ch4.ts")) else 0]
    mark = len(m.log())
    start_slave(pair)
    check(wait_for(lambda: "Slave chip is working now!!!" in m.log()[mark:], 60),
          "the slave started later is taken by the master")
    check(wait_for(lambda: agree(pair) and view_of(pair) == (626000, qam_new, 140), 30),
          "and holds the master's state: both files and the web agree (%s, files %s)"
          % (view_of(pair), [file_of(c) for c in pair.confs()]))

    def slave_pat():
        data = read(os.path.join(pair.slave_root, "trace/si_ch4.ts"))[marks[0]:]
        return any({500, 501} <= progs for progs in pat_programs(data))
    check(wait_for(slave_pat, 30), "the slave sends channel 4's PAT with the fed programs again")
    r = web(pair, "SetSubboardParam.w", {"psiinterval": 140,
                                         "portlist": [{"port": 0, "channellist": [{"channel": 4, "frequency": 634000}]}]})
    check(code(r) == 0 and wait_for(lambda: agree(pair) and view_of(pair)[0] == 634000, 10),
          "a change with the slave back is answered 0 and reaches both chips (%s)" % code(r))


def clear_logs_slave_stopped(pair):
    heads = [read(os.path.join(r, LOG), "r")[:300] for r in (pair.master.root, pair.slave_root)]
    with with_slave_stopped(pair, 1.5):
        clear = timed(lambda: web(pair, "ClearLogs.w"))
        time.sleep(0.2)
        started = probes(pair)
        clear[0].join(WAIT + 10)
        answered("ClearLogs.w, slave stopped", started)
    box = clear[1]
    check(box[0] is not None and box[0] <= ANSWER_LIMIT and code(box[1]) not in (0, None),
          "ClearLogs.w with the slave stopped answers an error within %.0f s (%s after %s s)"
          % (ANSWER_LIMIT, code(box[1]), box[0] and round(box[0], 2)))
    time.sleep(3)
    now = [read(os.path.join(r, LOG), "r")[:300] for r in (pair.master.root, pair.slave_root)]
    check(now[1] == heads[1] and heads[1], "continued after the master gave up, the slave keeps its logs")
    check(now[0] == heads[0] and heads[0], "and so does the master")


def debug_slave_stopped(pair):
    r = web(pair, "Debug.w", {"type": 12, "params": [1, 700, 0x1234]})
    check(code(r) == 0 and reg(pair.slave_root, 700) == 0x1234,
          "Debug.w writes slave register 700 (%s, %#x)" % (code(r), reg(pair.slave_root, 700)))
    r = web(pair, "Debug.w", {"type": 11, "params": [1, 700]})
    check(code(r) == 0 and r["data"][0] == 0x1234, "Debug.w reads it back: %s" % r)
    with with_slave_stopped(pair, 1.5):
        write = timed(lambda: web(pair, "Debug.w", {"type": 12, "params": [1, 700, 0x5678]}))
        write[0].join(WAIT + 10)
        readback = timed(lambda: web(pair, "Debug.w", {"type": 11, "params": [1, 700]}))
        readback[0].join(WAIT + 10)
    for name, (t, box) in (("write", write), ("read", readback)):
        check(box[0] is not None and box[0] <= ANSWER_LIMIT and code(box[1]) not in (0, None),
              "Debug.w slave register %s with the slave stopped answers an error within %.0f s (%s after %s s)"
              % (name, ANSWER_LIMIT, code(box[1]), box[0] and round(box[0], 2)))
    time.sleep(2)
    check(reg(pair.slave_root, 700) == 0x1234, "the write the master gave up is never done (%#x)"
          % reg(pair.slave_root, 700))


def reboot_slave_stopped(pair):
    m, s = pair.master.root, pair.slave_root
    before = reboots(m), reboots(s), unmounts(m)
    with with_slave_stopped(pair, 1.5):
        # Both at once, each a request of its own.
        rb = timed(lambda: web(pair, "Reboot.w"))
        sw = timed(lambda: pair.master.set([(REBOOT, "i", 0)], timeout=WAIT)[0])
        time.sleep(0.2)
        started = probes(pair)
        rb[0].join(WAIT + 10)
        sw[0].join(WAIT + 10)
        answered("Reboot.w and the reboot switch, slave stopped", started)
    check(rb[1][0] is not None and rb[1][0] <= ANSWER_LIMIT and code(rb[1][1]) not in (0, None),
          "Reboot.w with the slave stopped answers an error within %.0f s (%s after %s s)"
          % (ANSWER_LIMIT, code(rb[1][1]), rb[1][0] and round(rb[1][0], 2)))
    check(sw[1][0] is not None and sw[1][0] <= ANSWER_LIMIT and sw[1][1] not in ("", None),
          "reboot := 0 with the slave stopped answers an error within %.0f s (%s after %s s)"
          % (ANSWER_LIMIT, sw[1][1], sw[1][0] and round(sw[1][0], 2)))
    time.sleep(6)
    after = reboots(m), reboots(s), unmounts(m)
    check(after == before and pair.master.proc.poll() is None and pair.slave.poll() is None,
          "continued after the master gave up, neither chip reboots nor unmounts (reboots, reboots, unmounts: "
          "%s then %s)" % (before, after))


def export_members(pair, uri):
    """Names in the export, and those in the slave's archive inside it."""
    try:
        with tarfile.open(os.path.join(pair.master.root, "tarvex_app/web", uri)) as t:
            names = t.getnames()
            inner = [n for n in names if n.endswith("cas_log.tar.gz")]
            slave = []
            if inner:
                with tarfile.open(fileobj=io.BytesIO(t.extractfile(inner[0]).read())) as s:
                    slave = s.getnames()
            return names, slave
    except (OSError, tarfile.TarError, KeyError):
        return None, None


def export_slow_slave(pair):
    r = web(pair, "ExportLogs.w")
    names, slave = export_members(pair, r.get("data", {}).get("uri", ""))
    check(code(r) == 0 and any(n.endswith("K9_Modulate.log") for n in slave or []),
          "ExportLogs.w with the slave running holds the slave's logs: %s" % slave)
    with with_slave_stopped(pair, 3.0):
        ex = timed(lambda: web(pair, "ExportLogs.w"))
        time.sleep(0.2)
        started = probes(pair)
        ex[0].join(WAIT + 10)
        answered("ExportLogs.w, slave stopped", started)
    t, (took, r) = ex
    names, slave = export_members(pair, r.get("data", {}).get("uri", "") if isinstance(r, dict) else "")
    check(took is not None and took <= ANSWER_LIMIT and code(r) == 0 and names is not None,
          "ExportLogs.w with the slave stopped answers within %.0f s (%s after %s s)"
          % (ANSWER_LIMIT, code(r), took and round(took, 2)))
    check(names is not None and not any(n.endswith("cas_log.tar.gz") for n in names),
          "and holds no slave archive of an earlier export: %s" % names)
    time.sleep(3)
    check(not os.path.exists(os.path.join(pair.master.root, "tarvex_data/log/cas_log.tar.gz")),
          "no late slave archive is kept for the next export")


class SilentBoard:
    """Accepts connections on a frame-link address, reads them and never answers."""

    def __init__(self, addr):
        self.s = socket.socket()
        self.s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.s.bind((peers.chassis(addr), peers.PORT))
        self.s.listen(64)
        self.s.settimeout(0.2)
        self.held, self.cmds, self.stopped = [], [], False
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        while not self.stopped:
            try:
                c, _ = self.s.accept()
            except OSError:
                continue
            self.held.append(c)
            f = peers.parse_frame(peers.read_frame(c, 1.0))
            if f:
                self.cmds.append(f[1])

    def stop(self):
        self.stopped = True
        for c in self.held:
            c.close()
        self.s.close()


def eit_record(ip):
    rec = bytearray(peers.resource_record(EIT_SLOT, ip))
    rec[273] = 0x41  # an EIT board
    rec[656] = 1     # EIT enabled
    return bytes(rec)


def silent_eit_board(pair):
    board = SilentBoard(EIT_ADDR)
    try:
        for what, ip in (("an EIT board that never answers", EIT_ADDR), ("an EIT record naming the card", CARD)):
            check(peers.send_message(CARD, EIT_SLOT, peers.SEND_RESOUR, eit_record(ip)) == [1],
                  "%s: its 257 answered 1" % what)
            for n in range(2):
                apply = timed(lambda: peers.exchange(CARD, peers.build_frame(INPUT_SLOT, 271, 0, 1), wait=WAIT))
                apply[0].join(WAIT + 10)
                started = probes(pair)
                started["ApplyAllParam.w"] = timed(lambda: code(web(pair, "ApplyAllParam.w")))
                answered("%s, after 271 #%d" % (what, n + 1), dict(started, **{"271": apply}))
        check(peers.SEND_EITINFO in board.cmds, "the card sent the silent board its EIT information (%s)"
              % board.cmds[:4])
        log = pair.master.log()
        check("names this card's own address" in log, "the master logs that the EIT record names its own address")
    finally:
        board.stop()


def healthy(pair):
    """With the slave running: logs cleared on both chips, then the whole card reboots."""
    r = web(pair, "ClearLogs.w")
    time.sleep(1)
    sizes = [len(read(os.path.join(x, LOG), "r")) for x in (pair.master.root, pair.slave_root)]
    check(code(r) == 0 and all(n < 20000 for n in sizes), "ClearLogs.w clears both chips' logs (%s, %s)"
          % (code(r), sizes))
    m, s = pair.master.root, pair.slave_root
    before = reboots(m), reboots(s)
    r = web(pair, "Reboot.w")
    check(code(r) == 0 and r["data"] == {"delay": 70}, "Reboot.w with the slave running: delay 70 (%s)" % r)
    check(wait_for(lambda: reboots(m) > before[0] and reboots(s) > before[1], 20),
          "and both chips reboot (%s then %s)" % (before, (reboots(m), reboots(s))))


def main():
    build = sys.argv[1]
    top = tempfile.mkdtemp(prefix="modcard-peerwaits-")
    pair = ic = None
    try:
        pair = Pair(build, top, "card", 2, SLOT)
        ic = peers.input_card(INPUT_ADDR, INPUT_SLOT)
        pair.start()
        missing = pair.up()
        check(not missing, "agent answers and the slave holds the master's set" + missing)
        check(peers.announce(CARD, INPUT_SLOT, INPUT_ADDR) == [1], "input card's resource record: 1")
        codes = peers.feed(CARD, INPUT_SLOT, SLOT, channels=(0, 1, 4))
        check(all(set(c) == {peers.SUCCESS} for c in codes.values()), "channels 0, 1 and 4 fed and applied")
        master_restarts_while_slave_down(pair)
        clear_logs_slave_stopped(pair)
        debug_slave_stopped(pair)
        reboot_slave_stopped(pair)
        export_slow_slave(pair)
        silent_eit_board(pair)
        healthy(pair)
    finally:
        if pair is not None:
            if pair.slave is not None and pair.slave.poll() is None:
                os.kill(pair.slave.pid, signal.SIGCONT)
            pair.stop()
        if ic is not None:
            ic.stop()
    sa.finish(top)


main()
