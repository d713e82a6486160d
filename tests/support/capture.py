"""PSI/SI sections read back from a channel's capture (trace/si_ch<c>.ts),
decoded here with crcmod rather than by the card's own code, and the
committed routing table of a board root."""
import os
import struct

import crcmod

CRC32 = crcmod.mkCrcFun(0x104C11DB7, initCrc=0xFFFFFFFF, rev=False, xorOut=0)


def read(path, since=0):
    """The bytes of a capture from byte `since` on (from the packet it falls
    in). A capture that was cut since the mark was taken (it is now shorter)
    goes on in its older generation, <path>.0, at the mark, then in the file."""
    at = since - since % 188
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        data = b""
    if at <= len(data):
        return data[at:]
    try:
        with open(path + ".0", "rb") as f:
            f.seek(at)
            return f.read() + data
    except OSError:
        return data


def sections(path, since=0):
    """[(pid, section)] of the CRC-good sections of a capture from byte
    `since` on (see read), in the order they end."""
    data = read(path, since)
    out, partial = [], {}
    for i in range(0, len(data) - 187, 188):
        p = data[i:i + 188]
        if p[0] != 0x47:
            continue
        pid, afc = (p[1] & 0x1F) << 8 | p[2], (p[3] >> 4) & 3
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
            if CRC32(sec) == 0:
                out.append((pid, sec))
        if partial[pid][:1] == b"\xff":
            del partial[pid]
    return out


def channel(root, ch):
    """The capture of output channel ch below a board root."""
    return "%s/trace/si_ch%d.ts" % (root, ch)


def pat(sec):
    """{program number: PMT PID} of a PAT section."""
    body = sec[8:-4]
    return {struct.unpack_from(">H", body, k)[0]: struct.unpack_from(">H", body, k + 2)[0] & 0x1FFF
            for k in range(0, len(body) - 3, 4)}


def pmt(sec):
    """(program number, program information, [(stream type, PID)]) of a PMT section."""
    info = struct.unpack_from(">H", sec, 10)[0] & 0x0FFF
    k, es = 12 + info, []
    while k + 5 <= len(sec) - 4:
        es.append((sec[k], struct.unpack_from(">H", sec, k + 1)[0] & 0x1FFF))
        k += 5 + (struct.unpack_from(">H", sec, k + 3)[0] & 0x0FFF)
    return struct.unpack_from(">H", sec, 3)[0], sec[12:12 + info], es


def programs(root, ch, since=0):
    """{program number: (program information, streams)} of the last PAT of a
    channel's capture after byte `since` whose PMTs all came after it; None
    until then."""
    last, pmts = None, {}
    for pid, sec in sections(channel(root, ch), since):
        if pid == 0 and sec[0] == 0:
            last = pat(sec)
        elif sec[0] == 2:
            pmts[pid] = pmt(sec)
    if last is None or any(p not in pmts or pmts[p][0] != n for n, p in last.items() if n):
        return None
    return {n: pmts[p][1:] for n, p in last.items() if n}


# The master's committed mux table in board.state: 2,048 words.
MUX_COMMITTED = 0x104000 + 0x26000 + (2048 + 256) * 8


def routes(root):
    """{(source slot, input stream, input PID, output channel, output PID)} of
    the committed mux table of a board root."""
    try:
        with open(os.path.join(root, "board.state"), "rb") as f:
            f.seek(MUX_COMMITTED)
            data = f.read(2048 * 8)
    except OSError:
        return set()
    out = set()
    for e in struct.unpack("<2048Q", data) if len(data) == 2048 * 8 else ():
        if e:
            src, dst = (e >> 23) & 0x1FFFFFFF, e & 0x7FFFFF
            out.add((src >> 23, (src >> 13) & 0x3FF, src & 0x1FFF, dst >> 13, dst & 0x1FFF))
    return out
