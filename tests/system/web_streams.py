"""Output streams of a running master chip over HTTP, fed by an input-card
peer on the frame link: status with the bit-rate model's rates, a Chinese
service name from the editor to the SDT of the capture, and the deletion of
one channel answered by the peer.

Usage: python3 web_streams.py BUILD_DIR

The card runs on slot 13 (own address 127.168.1.24, HTTP port 18024); the
input card is slot 5 on 127.168.1.30.
"""
import codecs
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402
import webcard  # noqa: E402
from webcard import wait_for  # noqa: E402

SLOT = 13
CARD = "192.168.1.24"
ADDR = "127.168.1.24"
PORT = 18024
INPUT_SLOT, INPUT_ADDR = 5, "127.168.1.30"
NAME = "中央电视台"
# Service and provider names in every script the coder chooses a table for,
# with the selector each must go out with: GB2312 only, BIG5 only, Cyrillic,
# Latin and mixed scripts (UTF-8), and a long name cut to the 32-byte field
# between two characters.
NAMES = {(0, 100): (NAME, "臺灣電視", 0x13, 0x14), (1, 200): ("Канал 中文", "中文臺灣", 0x15, 0x15),
         (1, 201): ("Café Ünï", "¥€", 0x15, 0x15), (2, 300): ("Первый канал", "Сеть 网络", 0x01, 0x15),
         (2, 301): ("中" * 20, "臺" * 20, 0x13, 0x14)}
NETWORK = "Сеть 网络"
build = os.path.abspath(sys.argv[1])
check = webcard.Checks()


def call(key, **members):
    return webcard.call(ADDR, PORT, key, members, timeout=60)



def decode_tail(root, ch, offset):
    """psidecode (libdvbpsi) of what the carousel wrote to channel ch after offset."""
    cap = os.path.join(root, "trace/si_ch%d.ts" % ch)
    try:
        with open(cap, "rb") as f:
            f.seek(offset)
            data = f.read()
    except OSError:
        return ""
    part = cap + ".tail"
    with open(part, "wb") as f:
        f.write(data[:len(data) // 188 * 188])
    return subprocess.run([os.path.join(build, "tests/psidecode"), "--ts", part], capture_output=True,
                          text=True).stdout


def size_of(root, ch):
    try:
        return os.path.getsize(os.path.join(root, "trace/si_ch%d.ts" % ch))
    except OSError:
        return 0


def sdt_names(dec, part=2):
    """{service id: name bytes} (part 1: provider bytes) from the SDTs of a
    decode (later ones win)."""
    names, sid = {}, None
    for line in dec.splitlines():
        m = re.match(r"SDT_SERVICE id=(\d+)", line)
        if m:
            sid = int(m.group(1))
        m = re.match(r'SERVICE_DESC type=\S+ provider="(.*?)(?<!\\)" name="(.*)"$', line)
        if m and sid is not None:
            names[sid] = codecs.escape_decode(m.group(part).encode())[0]
    return names


def dvb_text(raw):
    """An SI text decoded with Python's codecs by its selector."""
    codec = {0x01: "iso8859_5", 0x13: "gb2312", 0x14: "big5", 0x15: "utf-8"}.get(raw[0] if raw else 0)
    if codec:
        return raw[1:].decode(codec, errors="replace")
    return raw.decode("latin-1")


def stored(name):
    """What a name reads back as: a long one cut to whole characters of the
    32-byte field."""
    return name[:15] if name in ("中" * 20, "臺" * 20) else name


def network_names(dec):
    """Network name descriptors (tag 0x40) of the NITs of a decode."""
    return [bytes.fromhex(m) for m in re.findall(r"DESC owner=network tag=0x40 len=\d+ data=([0-9a-f]+)", dec)]


def main():
    top = tempfile.mkdtemp(prefix="modcard-webts-")
    root = os.path.join(top, "master")
    proc = ic = line = None
    stop = threading.Event()
    try:
        webcard.make_board(build, root, SLOT, PORT, "--channel-packets", "0:2000", "--channel-packets", "1:500")
        line = peers.chassis_for(root, SLOT)
        ic = peers.input_card(INPUT_ADDR, INPUT_SLOT)
        proc = webcard.launch(build, root, root + ".console")

        def up():
            try:
                socket.create_connection((ADDR, 8000), timeout=1.0).close()
                return call("Beat.w")["code"] == 0
            except OSError:
                return False
        check(wait_for(up, 60), "frame server and HTTP server answer")
        check(peers.announce(CARD, INPUT_SLOT, "192.168.1.30") == [1], "input card's resource record: 1")
        codes = peers.feed(CARD, INPUT_SLOT, SLOT)
        check(all(set(c) == {peers.SUCCESS} for c in codes.values()), "records and apply answered 1: %s" % codes)

        # Status: the peer's three streams with the model's rates; channel 3 empty.
        status = call("GetOutputTSStatus.w")
        chans = {c["channel"]: c for c in status["data"]["portlist"][0]["channellist"]}
        check(sorted(chans) in ([0, 1, 2, 3], list(range(8))), "GetOutputTSStatus.w lists every channel: %s" %
              sorted(chans))
        for ch, packets in ((0, 2000), (1, 500), (2, 1000)):
            c = chans.get(ch, {})
            sids = [p["serviceid"] for p in c.get("programlist", [])]
            check(sids == [100 * (ch + 1), 100 * (ch + 1) + 1], "channel %d lists the peer's programs %s" % (ch, sids))
            check(c.get("effectivebitrate") == packets * 1504 // 1000 and c.get("totalbitrate", 0) > 0,
                  "channel %d: effective rate %s of the model, capacity %s" % (ch, c.get("effectivebitrate"),
                                                                           c.get("totalbitrate")))
        check(chans.get(0, {}).get("programlist", [{}])[0].get("servicename") == "Peer 0-0",
              "the peer's service name is shown")
        check(chans.get(3, {}).get("programlist") == [] and chans.get(3, {}).get("totalbitrate") == 0,
              "channel 3 without a stream: zeros and no programs")

        # Editor: a GB2312 name, seen by the working copy before the apply.
        opened = call("GetSubboardTSInfo.w")
        listed = [c["channel"] for c in opened["data"]["portlist"][0]["channellist"]]
        check(opened["code"] == 0 and listed == [0, 1, 2], "GetSubboardTSInfo.w opens the three streams")
        r = call("SetProgramParam.w", port=0, channel=0, oldserviceid=100, servicename=NAME)
        check(r["code"] == 0, "SetProgramParam.w takes a Chinese name")
        temp = call("GetTempProgramInfo.w", port=0, channel=0, serviceid=100)
        check(temp["code"] == 0 and temp["data"]["servicename"] == NAME, "GetTempProgramInfo.w reads it back")
        live = call("GetOutputTSStatus.w")["data"]["portlist"][0]["channellist"][0]["programlist"][0]
        check(live["servicename"] == "Peer 0-0", "the live database is unchanged before the apply")

        # Names in every script; invalid UTF-8 is refused and changes nothing.
        for (ch, sid), (name, provider, _, _) in NAMES.items():
            r = call("SetProgramParam.w", port=0, channel=ch, oldserviceid=sid, servicename=name,
                     providername=provider)
            check(r["code"] == 0, "SetProgramParam.w takes %s / %s" % (name, provider))
        r = call("AddNITNetwork.w", port=0, channel=0, tag="40", data=NETWORK)
        check(r["code"] == 0, "AddNITNetwork.w takes the network name " + NETWORK)
        flags = dict(pat=1, pmt=1, cat=1, sdt=1, nit=1, TDT=1, TOT=1, mgt=0, vct=0, stt=0, vcttype=0)
        r = call("SetSubboardPSIPChannel.w", portlist=[{"port": 0, "channellist": [
            {"channel": 0, "enable": 1, "flag": flags}]}])
        check(r["code"] == 0, "the NIT of channel 0 is switched on")

        offset = size_of(root, 0)
        r = call("ApplyAllParam.w")
        check(r["code"] == 0, "ApplyAllParam.w answers success")
        got = {}

        def renamed():
            got.update(sdt_names(decode_tail(root, 0, offset)))
            return 100 in got and dvb_text(got[100]) == NAME
        check(wait_for(renamed, 15), "the SDT of si_ch0.ts names service 100 %s (0x13, GB2312): %r" %
              (NAME, got.get(100)))
        # Every name from the captures (libdvbpsi, Python's codecs) and from
        # the Get commands, exactly.
        status = {c["channel"]: {p["serviceid"]: p for p in c["programlist"]}
                  for c in call("GetOutputTSStatus.w")["data"]["portlist"][0]["channellist"]}
        for ch in (0, 1, 2):
            want = {sid: v for (c, sid), v in NAMES.items() if c == ch}
            decs = {}

            def on_air():
                dec = decode_tail(root, ch, 0)
                decs.update(names=sdt_names(dec), providers=sdt_names(dec, 1), networks=network_names(dec))
                return all(dvb_text(decs["names"].get(sid, b"")) == stored(v[0]) for sid, v in want.items())
            wait_for(on_air, 15)
            for sid, (name, provider, sel, psel) in want.items():
                raw, praw = decs["names"].get(sid, b""), decs["providers"].get(sid, b"")
                check(raw[:1] == bytes([sel]) and dvb_text(raw) == stored(name) and
                      praw[:1] == bytes([psel]) and dvb_text(praw) == stored(provider),
                      "service %d on the air: %r / %r" % (sid, raw, praw))
                live = status.get(ch, {}).get(sid, {}).get("servicename")
                temp = call("GetTempProgramInfo.w", port=0, channel=ch, serviceid=sid).get("data") or {}
                check(live == stored(name) and temp.get("servicename") == stored(name) and
                      temp.get("providername") == stored(provider),
                      "GetOutputTSStatus.w and GetTempProgramInfo.w read back service %d: %s; %s / %s" %
                      (sid, live, temp.get("servicename"), temp.get("providername")))
            if ch == 0:
                nets = decs["networks"]
                check(nets and nets[-1][:1] == b"\x15" and dvb_text(nets[-1]) == NETWORK,
                      "the NIT of si_ch0.ts names the network %s: %r" % (NETWORK, nets[-1:]))
        nit = call("GetNIT.w", port=0, channel=0)
        names = [d["data"] for d in nit.get("data", {}).get("networkList", []) if d.get("tag") == "40"]
        check(NETWORK in names, "GetNIT.w reads the network name back: %s" % names)
        for bad in (b"\xff\xfeAB", b"A\x80B", b"AB\xe4\xb8"):
            body = b'{"token":"t","port":0,"channel":0,"oldserviceid":100,"servicename":"' + bad + b'"}'
            r = webcard.call_raw(ADDR, PORT, "SetProgramParam.w", body)
            try:
                temp = call("GetTempProgramInfo.w", port=0, channel=0, serviceid=100)["data"]["servicename"]
            except ValueError as e:
                temp = "no strict UTF-8 reply: %s" % e
            check(r["code"] == 774 and temp == NAME,
                  "a name %r that is not UTF-8 is refused with 774, the old name kept (%s)" % (bad, temp))

        # Deletion of channel 1: the peer is told (2068), applies (271), and
        # the card answers without waiting out its 24 s.
        answerer = threading.Thread(target=peers.answer_deletions, args=(ic, CARD, INPUT_SLOT, stop), daemon=True)
        answerer.start()
        start = time.monotonic()
        r = call("DeleteTSConfig.w", channel=1)
        took = time.monotonic() - start
        check(r["code"] == 0 and took < 8, "DeleteTSConfig.w answers success in %.1f s" % took)
        check(peers.SEND_DEL_DESTCHANNEL in ic.commands(), "the input card was told to drop the channel")
        after = {c["channel"]: c for c in call("GetOutputTSStatus.w")["data"]["portlist"][0]["channellist"]}
        # No plug map came since start-up: the input card's slot is not taken for empty.
        check(after.get(1, {}).get("programlist") == [] and
              all(len(after.get(c, {}).get("programlist", [])) == 2 for c in (0, 2)),
              "channel 1 has no programs left, channels 0 and 2 keep their own")
        off0, off1 = size_of(root, 0), size_of(root, 1)
        time.sleep(3)
        dec1 = decode_tail(root, 1, off1)
        check(size_of(root, 0) > off0 and "SDT_SERVICE id=200" not in dec1 and "PAT_PROGRAM number=200" not in dec1,
              "the carousel goes on, and the capture of channel 1 no longer carries its programs")
        # The back board reports the input card's slot and this one as plugged.
        plugged = struct.pack("<H", 1 << INPUT_SLOT | 1 << SLOT)
        check(peers.send_message(CARD, 16, 513, plugged) == [1], "plug status from the back board: 1")
        check(proc.poll() is None, "modcard still runs")
    finally:
        stop.set()
        webcard.tear_down(top, check.failed, proc, ic, line)
    print("FAILED" if check.failed else "PASSED")
    sys.exit(1 if check.failed else 0)


main()
