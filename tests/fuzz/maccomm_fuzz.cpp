// Fuzz target: chip-link frames reaching the slave chip's dispatcher: frame
// checks, the reassembly of multi-frame messages and every payload check.
//
// Input: repeated [u8 mode][u8 cmd][u8 idx][u8 total][u16 length][length bytes].
// Mode bit 0: the bytes are a raw frame; otherwise they are the data of a
// well-formed frame of the command picked, so the CRC passes and the
// handlers' own checks are reached. Mode bit 3: the frame is not dispatched
// but waits on the slave's connection, where a one-shot command that asks
// for the master's confirmation reads it as that.
#include "Comm/ipcomm.h"
#include "Comm/maccomm.h"
#include "StatusProcess/status.h"
#include "support/fuzz_support.h"
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Commands whose handlers only check and store (no reboot, no shell tool).
const U16 kCmds[] = {785, 806, 807, 850, 851, 852, 854, 855, 856, 864, 865, 866, 867, 869, 870, 871, 836, 849, 770, 49};

int out[2];  // the slave answers on out[0]; its replies land in out[1]

}  // namespace

void FuzzSetUp()
{
    Status_SetSlotID(3);
    IPComm_SetReplyWaitMs(1);
    MACComm_SetConfirmWaitMs(1);
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, out) != 0)
        abort();
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    // A register write asking for the master's confirmation, the
    // confirmation waiting on the connection before it.
    auto le = [](FuzzInput& v, U32 x) {
        for (int i = 0; i < 4; i++)
            v.push_back((U8)(x >> (8 * i)));
    };
    FuzzInput in = {8, 17, 0, 1, 8, 0};
    le(in, MACCOMM_CONFIRM_GO);
    le(in, 5);
    in.insert(in.end(), {0, 17, 0, 1, 44, 0});
    in.insert(in.end(), 36, 0);
    le(in, MACCOMM_CONFIRM_ASK);
    le(in, 5);
    seeds.push_back(in);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Confirmations an earlier input left unread are not this input's.
    U8 stale[4096];
    while (recv(out[0], stale, sizeof(stale), MSG_DONTWAIT) > 0) {
    }
    size_t pos = 0;
    while (pos + 6 <= size) {
        U8 mode = data[pos], cmdSel = data[pos + 1], idx = data[pos + 2], total = data[pos + 3];
        size_t len = (size_t)data[pos + 4] | (size_t)data[pos + 5] << 8;
        pos += 6;
        if (len > size - pos)
            len = size - pos;
        static U8 frame[IPCOMM_MAX_FRAME_LEN + 64];
        size_t flen;
        if (mode & 1) {
            flen = len < sizeof(frame) ? len : sizeof(frame);
            memcpy(frame, data + pos, flen);
        } else {
            static ST_ZR_IPCOMM rec;
            memset(&rec, 0, sizeof(rec));
            rec.u8SlotID = 3;
            rec.u16CMD = kCmds[cmdSel % (sizeof(kCmds) / sizeof(kCmds[0]))];
            // Large indices reach the size arithmetic; small ones the reassembly.
            rec.u32CurTansNum = (mode & 2) ? 0xFFFFFF00u + idx : idx % 12;
            rec.u32SumTansNum = (mode & 4) ? 0xFFFFFF00u + total : total % 12;
            rec.u32Length = len > IPCOMM_MAX_DATA_LEN ? IPCOMM_MAX_DATA_LEN : (U32)len;
            memcpy(rec.pu8Data, data + pos, rec.u32Length);
            flen = FrameCodec_Encode(&rec, frame);
        }
        pos += len;
        if (mode & 8) {
            // A full socket drops it rather than wait.
            (void)send(out[1], frame, flen, MSG_DONTWAIT | MSG_NOSIGNAL);
            continue;
        }
        static ST_ZR_IPCOMM got;
        if (flen >= IPCOMM_MIN_FRAME_LEN) {
            IPComm_MACParseData(frame, (S32)flen, &got);
            if (got.u16CMD != ZR_COM_MAC_CMD_SYS_REBOOT && got.u16CMD != ZR_COM_MAC_CMD_FILE_LOG &&
                got.u16CMD != ZR_COM_MAC_CMD_FILE_CLEAR_LOG)
                MACSlaveComm_ParseCmd(out[0], &got);
        }
        // Drop the replies so the socket never fills.
        U8 sink[4096];
        while (recv(out[1], sink, sizeof(sink), MSG_DONTWAIT) > 0) {
        }
    }
    return 0;
}
