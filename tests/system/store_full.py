"""A DVB-C master whose configuration store (a small tmpfs over its
tarvex_data) is full: the web commands and SNMP SETs that change saved
settings answer a failure saying the change was not saved and leave every
file as it was and whole; an input card keeps its reply codes and its failed
save is logged once. Once space is freed the same changes answer success and
are in the files, and a later save carries what the input card fed. Masters
of the other standards, their stores full too: each modulator setting of the
web (a setting of the standard, the single-carrier mode, the IP monitor) and
of the SNMP settings table answers that it was not saved and changes no
file, and succeeds into the file once space is freed.

Usage: python3 store_full.py BUILD_DIR

Runs in a mount namespace of its own; skipped where one cannot be made.
"""
import errno
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import crcmod

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402
import snmp_agent as sa  # noqa: E402
import webcard  # noqa: E402
from webcard import wait_for  # noqa: E402
from snmp_agent import PSI, cell, check  # noqa: E402

SLOT = 6
ADDR, CARD, PORT = "127.168.1.17", "192.168.1.17", 18017
IC_OWN, IC_SLOT = "127.168.1.30", 5
CRC = crcmod.mkCrcFun(0x104C11DB7, initCrc=0x04C11DB7, rev=False, xorOut=0)
FILES = ("K9_DTMB.conf", "K9_OutPutTSP.conf", "oid.json", "logSetting.config")
TSP_SAVE_FAILED = "Save of [/product_data/K9_OutPutTSP.conf] failed"
NOT_SAVED = 19
# Board type: a setting of its standard as the web names it on channel 0,
# the settings-table column of one of its settings, two values valid for both.
OTHERS = {0: ("constellation", 5, (4, 6)), 1: ("guardinterval", 10, (0, 1)), 3: ("qammode", 17, (0, 1)),
          4: ("gimode", 21, (0, 1)), 5: ("power", 2, (30, 35))}


def skip(why):
    print("skip: " + why)
    sys.exit(0)


def own_mount_namespace():
    """Runs the test's script again in a private mount namespace; returns only there."""
    if os.environ.get("STORE_FULL_INSIDE") == "1":
        return
    if os.geteuid() != 0:
        skip("a tmpfs over the card's store needs root (mount namespace)")
    ns = ["unshare", "-m", "--propagation", "private"]
    if subprocess.run(ns + ["true"], capture_output=True).returncode != 0:
        skip("no mount namespace can be made here (unshare -m refused)")
    env = dict(os.environ, STORE_FULL_INSIDE="1")
    sys.exit(subprocess.run(ns + [sys.executable, os.path.abspath(sys.argv[0])] + sys.argv[1:], env=env).returncode)


def read(path, mode="rb"):
    try:
        with open(path, mode) as f:
            return f.read()
    except OSError:
        return b"" if "b" in mode else ""



def call(key, **members):
    return call_at(ADDR, PORT, key, members)


def call_at(addr, port, key, members):
    try:
        return webcard.call(addr, port, key, members)
    except (OSError, ValueError):
        return None


def code(reply):
    return reply.get("code") if reply else None


def not_saved(reply):
    """The failure code of a change not saved, with its text (the card's
    language is Chinese unless set otherwise)."""
    text = (reply or {}).get("description") or ""
    return code(reply) == NOT_SAVED and ("not saved" in text or "未保存" in text)


def whole(data_dir):
    """Each file parses and its CRCs hold; no temporary file is left."""
    d = read(os.path.join(data_dir, "K9_DTMB.conf"))
    w = lambda b, o: struct.unpack_from("<I", b, o)[0]
    params = len(d) == 868 and w(d, 76) == CRC(d[8:76]) and w(d, 852) == CRC(d[84:852]) and \
        w(d, 860) == CRC(d[0:860])
    t = read(os.path.join(data_dir, "K9_OutPutTSP.conf"))
    tsp = len(t) >= 244 and w(t, 4) == len(t) and w(t, len(t) - 4) == CRC(t[:-4])
    oid = True  # written by the first modulation change
    if os.path.exists(os.path.join(data_dir, "oid.json")):
        try:
            json.loads(read(os.path.join(data_dir, "oid.json"), "r"))
        except ValueError:
            oid = False
    temps = [n for n in os.listdir(data_dir) if ".tmp." in n]
    return params and tsp and oid and not temps, "params %s, streams %s, oid.json %s, temporary files %s" % (
        params, tsp, oid, temps)


def files(data_dir):
    return {n: read(os.path.join(data_dir, n)) for n in FILES}


def freq1(data_dir):
    d = read(os.path.join(data_dir, "K9_DTMB.conf"))
    return struct.unpack_from("<I", d, 88 + 128 + 4)[0] if len(d) == 868 else None


def saved_power(data_dir):
    d = read(os.path.join(data_dir, "K9_DTMB.conf"))
    return d[88 + 160] if len(d) == 868 else None


def saved_psi(data_dir):
    d = read(os.path.join(data_dir, "K9_DTMB.conf"))
    return struct.unpack_from("<H", d, 22)[0] if len(d) == 868 else None


def saved_channels(data_dir):
    """Channels of the valid stream records of the output-stream file."""
    d = read(os.path.join(data_dir, "K9_OutPutTSP.conf"))
    if len(d) < 244:
        return []
    count = struct.unpack_from("<I", d, 8)[0]
    recs = [d[240 + 448 * i:240 + 448 * (i + 1)] for i in range(count)]
    return sorted(struct.unpack_from("<H", r, 16)[0] for r in recs if len(r) == 448 and r[8] == 1)


def fill(data_dir):
    """Writes a file until the store has no byte left."""
    path = os.path.join(data_dir, "filler")
    chunk = 1 << 16
    with open(path, "wb", buffering=0) as f:
        while chunk:
            try:
                f.write(bytes(chunk))
            except OSError as e:
                if e.errno != errno.ENOSPC:
                    raise
                chunk //= 2
    return path


def mount_store(data_dir, size):
    """A tmpfs of size bytes over the folder, holding what the folder held."""
    seed = data_dir + ".seed"
    shutil.copytree(data_dir, seed, symlinks=True)
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "tmpfs", data_dir], capture_output=True)
    if r.returncode != 0:
        skip("tmpfs cannot be mounted here: " + r.stderr.decode(errors="replace").strip())
    shutil.copytree(seed, data_dir, symlinks=True, dirs_exist_ok=True)


def changes(card, data_dir, params, freq, psi, power, full):
    """The web commands and SNMP SETs of the test: with a full store each
    answers that it was not saved and the files stay; otherwise each answers
    success and lands in its file."""
    state = "full" if full else "freed"
    before = files(data_dir)
    # Channel 1 follows channel 0 at the 8 MHz spacing.
    params["portlist"] = [{"port": 0, "channellist": [{"channel": 0, "frequency": freq - 8000}]}]
    r = call("SetSubboardParam.w", **params)
    if full:
        check(not_saved(r), "%s: SetSubboardParam.w answers %d, not saved: %s" % (state, NOT_SAVED, r))
        got = call("GetSubboardParam.w")
        check(code(got) == 0 and got["data"]["portlist"][0]["channellist"][1]["frequency"] == freq,
              "full: the frequency stays in force (the answer said so)")
    else:
        check(code(r) == 0 and freq1(data_dir) == freq, "freed: SetSubboardParam.w succeeds and the file holds %d (%s)"
              % (freq, freq1(data_dir)))
    for key in ("AutoGenerateNITDescriptor.w", "ApplyAllParam.w"):
        r = call(key)
        if full:
            check(not_saved(r), "full: %s answers %d, not saved: %s" % (key, NOT_SAVED, r))
        else:
            check(code(r) == 0, "freed: %s succeeds (%s)" % (key, r))

    old_psi, old_power, file_power = card.get([PSI]), card.get([cell(2, 1)]), saved_power(data_dir)
    status, _ = card.set([(PSI, "i", psi)])
    status2, _ = card.set([(cell(2, 1), "i", power)])
    if full:
        # The agent answers a SET whose save failed with an error and undoes it.
        check(status not in ("", "failed") and card.get([PSI]) == old_psi,
              "full: SNMP psiInterval := %d answers an error (%s) and the interval stays %s" % (psi, status, old_psi))
        check(status2 not in ("", "failed") and card.get([cell(2, 1)]) == old_power,
              "full: SNMP power := %d answers an error (%s) and stays %s" % (power, status2, old_power))
        check(files(data_dir) == before, "full: every file is unchanged")
    else:
        check(status == "" and saved_psi(data_dir) == psi,
              "freed: SNMP psiInterval := %d succeeds and is saved (%s)" % (psi, saved_psi(data_dir)))
        check(status2 == "" and card.get([cell(2, 1)]) == [power] and saved_power(data_dir) != file_power,
              "freed: SNMP power := %d succeeds and is saved (%s)" % (power, status2))
    ok, what = whole(data_dir)
    check(ok, "%s: every file is whole: %s" % (state, what))


def other_card(build, top, board_type):
    """A master of another standard on a slot of its own, its store a tmpfs."""
    slot = 7 + sorted(OTHERS).index(board_type)
    card = sa.Card(build, top, "std%d" % board_type, board_type, slot=slot, extra=("--http-port", str(18100 + slot), "--slave-chip", "0"))
    mount_store(os.path.join(card.root, "tarvex_data"), 4 << 20)
    card.web = ("127.168.1.%d" % (11 + slot), 18100 + slot)
    card.start(wait_agent=False)
    return card


def modulator_saves(card, board_type, full):
    """Each modulator setting of the web and of the settings table: with a
    full store not saved and no file changed, else saved into the file."""
    key, column, values = OTHERS[board_type]
    data_dir = os.path.join(card.root, "tarvex_data")
    what = "%s, %s" % (sa.STANDARDS[board_type][0], "full" if full else "freed")
    got = call_at(card.web[0], card.web[1], "GetSubboardParam.w", {})
    if code(got) != 0:
        check(False, "%s: GetSubboardParam.w answers: %s" % (what, got))
        return
    now = got["data"]["portlist"][0]["channellist"][0][key]
    setting = {k: got["data"][k] for k in ("psiinterval", "channelstandard")}
    setting["portlist"] = [{"port": 0, "channellist": [{"channel": 0, key: values[now == values[0]]}]}]
    # The full store's values stay in force: the freed store's differ from them.
    monitor = {"enable": 1, "destipaddress": 0xEF000001, "port": 0, "channel": 0, "destport": 1234 + (not full),
               "bitrate": 10}
    for cmd, members in (("SetSubboardParam.w", setting), ("SetSubboardParam.w", {"singlemode": int(full)}),
                         ("SetSubboardIPMonitorParam.w", monitor)):
        before = files(data_dir)
        r = call_at(card.web[0], card.web[1], cmd, dict(members))
        if full:
            check(not_saved(r) and files(data_dir) == before, "%s: %s %s answers %d, not saved, and changes no "
                  "file: %s" % (what, cmd, sorted(members), NOT_SAVED, r))
        else:
            check(code(r) == 0 and files(data_dir)["K9_DTMB.conf"] != before["K9_DTMB.conf"],
                  "%s: %s %s succeeds into the file: %s" % (what, cmd, sorted(members), r))
    old = card.get([cell(column, 1)])
    value = values[old == [values[0]]]
    before = files(data_dir)
    status, _ = card.set([(cell(column, 1), "i", value)])
    if full:
        check(status not in ("", "failed") and card.get([cell(column, 1)]) == old and files(data_dir) == before,
              "%s: SNMP column %d := %d answers an error (%s), stays %s, changes no file" %
              (what, column, value, status, old))
    else:
        check(status == "" and card.get([cell(column, 1)]) == [value] and files(data_dir) != before,
              "%s: SNMP column %d := %d succeeds into the file (%s)" % (what, column, value, status))


def main():
    own_mount_namespace()
    build = os.path.abspath(sys.argv[1])
    top = tempfile.mkdtemp(prefix="modcard-storefull-")
    card = ic = None
    data_dir = None
    others = {}
    try:
        for board_type in OTHERS:
            others[board_type] = other_card(build, top, board_type)
        card = sa.Card(build, top, "master", 2, slot=SLOT, extra=("--http-port", str(PORT), "--slave-chip", "0"))
        data_dir = os.path.join(card.root, "tarvex_data")
        mount_store(data_dir, 4 << 20)
        ic = peers.input_card(IC_OWN, IC_SLOT)
        check(card.start(), "the agent answers")
        check(wait_for(lambda: "This version is a universal version" in card.log(), 60) and
              code(call("Beat.w")) == 0, "the master reaches its idle loop and its web answers")
        check(peers.announce(CARD, IC_SLOT, "192.168.1.30") == [1], "the input card's resource record is taken")
        codes = peers.feed(CARD, IC_SLOT, SLOT)
        check(all(set(c) == {peers.SUCCESS} for c in codes.values()), "channels 0-2 are fed and applied")
        got = call("GetSubboardParam.w")
        params = {k: got["data"][k] for k in ("psiinterval", "channelstandard")} if code(got) == 0 else {}
        old_freq = freq1(data_dir)
        new_freq = 650000 if old_freq != 650000 else 658000
        power = 30 if card.get([cell(2, 1)]) != [30] else 40
        ok, what = whole(data_dir)
        check(ok and saved_channels(data_dir) == [0, 1, 2], "before: files whole (%s), channels %s saved" % (
            what, saved_channels(data_dir)))

        filler = fill(data_dir)
        before = files(data_dir)
        console = card.root + ".console"
        seen = read(console, "r").count(TSP_SAVE_FAILED)
        codes = peers.feed(CARD, IC_SLOT, SLOT, channels=(3,))
        check(all(set(c) == {peers.SUCCESS} for c in codes.values()),
              "full: the input card's channel 3 gets the reply codes it always gets")
        check(wait_for(lambda: read(console, "r").count(TSP_SAVE_FAILED) == seen + 1, 5) and
              "[ERROR]" in [l for l in read(console, "r").split("\n") if TSP_SAVE_FAILED in l][-1][:9],
              "full: the failed save of what it fed is logged at error level")
        check(files(data_dir) == before and saved_channels(data_dir) == [0, 1, 2],
              "full: the output-stream file is unchanged")
        changes(card, data_dir, dict(params), new_freq, 200, power, True)
        check(read(console, "r").count(TSP_SAVE_FAILED) == seen + 1, "full: the failure is logged once")

        os.unlink(filler)
        changes(card, data_dir, dict(params), new_freq, 200, power, False)
        check(saved_channels(data_dir) == [0, 1, 2, 3],
              "freed: a later save carries the input card's channel 3: %s" % saved_channels(data_dir))
        check(card.proc.poll() is None, "modcard still runs")

        for board_type, other in others.items():
            name = sa.STANDARDS[board_type][0]
            check(wait_for(lambda: "This version is a universal version" in other.log() and
                           code(call_at(other.web[0], other.web[1], "Beat.w", {})) == 0 and
                           other.get([sa.SYSUPTIME], timeout=1) is not None, 60),
                  "%s: the master reaches its idle loop, its web and agent answer" % name)
            filler = fill(os.path.join(other.root, "tarvex_data"))
            modulator_saves(other, board_type, True)
            os.unlink(filler)
            modulator_saves(other, board_type, False)
            ok, what = whole(os.path.join(other.root, "tarvex_data"))
            check(ok and other.proc.poll() is None, "%s: every file is whole (%s), modcard still runs" % (name, what))
    finally:
        for other in others.values():
            other.stop()
            other.line.stop()
            subprocess.run(["umount", "-l", os.path.join(other.root, "tarvex_data")], capture_output=True)
        if card is not None:
            card.stop()
            card.line.stop()
        if ic is not None:
            ic.stop()
        if data_dir is not None:
            subprocess.run(["umount", "-l", data_dir], capture_output=True)
    sa.finish(top)


if __name__ == "__main__":
    main()
