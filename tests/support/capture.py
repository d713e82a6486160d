"""PSI/SI sections read back from a channel's capture (trace/si_ch<c>.ts),
decoded here with crcmod rather than by the card's own code."""
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
