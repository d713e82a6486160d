"""SI table files of a running master chip over HTTP: an input-card peer
feeds streams and a NIT, ExportSiTable.w writes it, the file is fetched from
the returned uri and checked with crcmod, uploaded as multipart into another
channel with ImportSiTable.w and exported again; a flipped byte and another
table id change nothing.

Usage: python3 web_sitable.py BUILD_DIR

The card runs on slot 2 (own address 127.168.1.13, HTTP port 18013).
"""
import glob
import json
import os
import struct
import subprocess
import sys
import tempfile
import urllib.request

import crcmod

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import peers  # noqa: E402
import webcard  # noqa: E402

SLOT = 2
CARD = "192.168.1.13"
ADDR = "127.168.1.13"
PORT = 18013
CRC32 = crcmod.mkCrcFun(0x104C11DB7, initCrc=0xFFFFFFFF, rev=False, xorOut=0)
build = os.path.abspath(sys.argv[1])
check = webcard.Checks()


def url(path):
    return "http://%s:%d/%s" % (ADDR, PORT, path)


def call(key, **members):
    return webcard.call(ADDR, PORT, key, members)


def nit_section(network_id, name, tsids, number=0, last=0):
    """One NIT actual section: a network name and one entry per stream id."""
    net = bytes([0x40, len(name)]) + name
    loop = b"".join(struct.pack(">HHH", t, 0x20, 0xF000) for t in tsids)
    body = struct.pack(">HBBB", network_id, 0xC1, number, last) + struct.pack(">H", 0xF000 | len(net)) + net + \
        struct.pack(">H", 0xF000 | len(loop)) + loop
    head = bytes([0x40]) + struct.pack(">H", 0xF000 | (len(body) + 4))
    sec = head + body
    return sec + struct.pack(">I", CRC32(sec))


def nit_record(channel, section):
    """The input card's table record (command 273) carrying one section."""
    rec = bytearray(1184)
    struct.pack_into("<I", rec, 4, 1184)
    struct.pack_into("<B", rec, 9, 5)
    struct.pack_into("<H", rec, 10, channel)
    struct.pack_into("<H", rec, 28, len(section))
    rec[32:32 + len(section)] = section
    return rec


def export(channel):
    """ExportSiTable.w of a channel of port 0; (code, file bytes fetched over HTTP or b"")."""
    r = call("ExportSiTable.w", tableid=64, port=0, channel=channel)
    uri = (r.get("data") or {}).get("uri", "")
    if r["code"] != 0 or not uri:
        return r["code"], b""
    with urllib.request.urlopen(url(uri), timeout=30) as f:
        return 0, f.read()


def upload(path, query):
    out = subprocess.run(["curl", "-s", "-H", "Expect:", "-F", "file=@%s;type=application/octet-stream" % path,
                          url("ImportSiTable.w?" + query)], capture_output=True, text=True, timeout=60).stdout
    try:
        return json.loads(out)
    except ValueError:
        return {"raw": out}


def imported(r):
    """An import's answer: its delay, and the revision of the editor's pages."""
    d = r.get("data") or {}
    return sorted(d) == ["importdelay", "revision"] and d["importdelay"] == 5 and isinstance(d["revision"], int)


def start_card(root):
    webcard.make_board(build, root, SLOT, PORT, "--slave-chip", "0")
    line = peers.chassis_for(root, SLOT)
    proc = webcard.launch(build, root, root + ".console")
    webcard.wait_up(proc, lambda: call("Beat.w") is not None)
    return proc, line


def main():
    top = tempfile.mkdtemp(prefix="web_sitable.")
    root = os.path.join(top, "master")
    proc = line = ic = None
    try:
        ic = peers.input_card("127.168.1.30", 5)
        proc, line = start_card(root)
        check(proc.poll() is None, "the card runs and answers Beat.w")
        check(peers.announce(CARD, 5, "192.168.1.30") == [1], "input card announced")
        codes = peers.feed(CARD, 5, SLOT, channels=(0, 1))
        check(all(set(c) == {peers.SUCCESS} for c in codes.values()), "streams fed and applied: %s" % codes)
        nit = nit_section(0x3039, b"Peer network", (0x100, 0x101))
        check(peers.send_message(CARD, 5, peers.SEND_NIT_TABLE, peers.message([nit_record(0, nit)])) == [1],
              "the input card gives channel 0 a NIT")

        code, blob = export(0)
        check(code == 0 and len(blob) == 28 + len(nit), "channel 0 exports %d bytes (code %d)" % (len(blob), code))
        fields = struct.unpack_from("<7I", blob) if len(blob) >= 28 else (0,) * 7
        check(fields[:4] == (0x2009, 0xEEFD, 0, len(nit)) and fields[5:] == (0, 0),
              "header: signature, device type, version, data length, reserved")
        check(fields[4] == CRC32(blob[28:]) and blob[28:] == nit, "header CRC matches the sections (crcmod)")
        check(export(3)[0] == 2310, "a channel without a stream: 2310")

        exported = os.path.join(top, "TS1_NIT.table")
        with open(exported, "wb") as f:
            f.write(blob)
        r = upload(exported, "port=0&channel=1&tableid=64")
        check(r.get("code") == 0 and imported(r), "import into channel 1: %s" % r)
        code, again = export(1)
        check(code == 0 and again[28:] == nit, "channel 1 now exports the same sections")

        flipped = bytearray(blob)
        flipped[40] ^= 0x01
        bad = os.path.join(top, "flipped.table")
        with open(bad, "wb") as f:
            f.write(flipped)
        r = upload(bad, "port=0&channel=0&tableid=64")
        check(r.get("code") == 4, "a flipped byte: code 4 (%s)" % r)
        check(export(0)[1] == blob, "channel 0 is unchanged")

        # The file's own CRC holds, but a section's CRC_32 or structure does not.
        wrong_crc = nit[:-1] + bytes([nit[-1] ^ 0xFF])
        zeros = (bytes([0x40, 0xF0, 0x0D]) + bytes(13)) * 200
        loop_past_end = bytearray(nit)
        loop_past_end[9] += 40  # network_descriptors_length beyond the section
        loop_past_end = bytes(loop_past_end[:-4]) + struct.pack(">I", CRC32(bytes(loop_past_end[:-4])))
        for what, sections in (("a section with a wrong CRC_32", nit + wrong_crc), ("200 zero sections", zeros),
                               ("a loop length past its section", loop_past_end),
                               ("a PAT section after the NIT", nit + bytes([0]) + nit[1:-4] +
                                struct.pack(">I", CRC32(bytes([0]) + nit[1:-4])))):
            data = struct.pack("<7I", 0x2009, 0xEEFD, 0, len(sections), CRC32(sections), 0, 0) + sections
            bad = os.path.join(top, "bad.table")
            with open(bad, "wb") as f:
                f.write(data)
            r = upload(bad, "port=0&channel=0&tableid=64")
            check(r.get("code") == 4 and export(0)[1] == blob, "%s: code 4, channel 0 unchanged (%s)" % (what, r))
        # NITs the card could not show again: 150 sections all numbered 0 of 0,
        # two sections both numbered 1 of 1 (no receiver completes that table),
        # and two well-numbered sections of 60 entries each (100 at most).
        for what, secs in (("150 sections numbered 0/0", [nit_section(1, b"N", (t,)) for t in range(150)]),
                           ("2 sections numbered 1/1", [nit_section(1, b"N", (t,), 1, 1) for t in (1, 2)]),
                           ("120 entries", [nit_section(1, b"N", range(k * 60, k * 60 + 60), k, 1) for k in (0, 1)])):
            data = b"".join(secs)
            big = os.path.join(top, "big.table")
            with open(big, "wb") as f:
                f.write(struct.pack("<7I", 0x2009, 0xEEFD, 0, len(data), CRC32(data), 0, 0) + data)
            r = upload(big, "port=0&channel=1&tableid=64")
            check(r.get("code") not in (None, 0), "a NIT of %s is refused (%s)" % (what, r))
            check(export(1)[1][28:] == nit and call("GetNIT.w", port=0, channel=1)["code"] == 0,
                  "channel 1 keeps its NIT, and GetNIT.w shows it")

        other = nit_section(0x0001, b"Other", (0x200,))
        data = struct.pack("<7I", 0x2009, 0xEEFD, 0, len(other), CRC32(other), 0, 0) + other
        alt = os.path.join(top, "other.table")
        with open(alt, "wb") as f:
            f.write(data)
        r = upload(alt, "tableid=16&channel=1&port=0")
        check(r.get("code") == 0 and imported(r), "tableid=16: importdelay 5 (%s)" % r)
        check(export(1)[1][28:] == nit, "tableid=16 leaves channel 1's NIT as it was")

        left = glob.glob(os.path.join(root, "var", "volatile", "httpd-upload-*"))
        check(left == [], "no upload file is left behind: %s" % left)
        check(proc.poll() is None, "the card still runs")
    finally:
        webcard.tear_down(top, check.failed, proc, ic, line)
    print("FAILED %d" % check.failed if check.failed else "all passed")
    sys.exit(1 if check.failed else 0)


main()
