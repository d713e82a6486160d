// Fuzz target: frames the slave chip sends to the master's chip-link server,
// one connection each as the server takes them: frame checks, the master's
// dispatcher, version and register answers and the log file transfer with
// its reassembly. Each input starts with no transfer under way.
//
// Input: repeated [u8 mode][u8 cmd][u8 idx][u8 total][u16 length][length
// bytes]. Mode bit 0: the bytes are a raw frame; otherwise they are the data
// of a well-formed frame of the command picked (bit 1: of any command
// number), so the CRC passes and the handlers' own checks are reached.
#include "Comm/ipcomm.h"
#include "Comm/maccomm.h"
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "support/fuzz_support.h"
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The master's commands, and two it has no row for.
const U16 kCmds[] = {
    ZR_COM_MAC_CMD_VERSION_SOFTWARE, ZR_COM_MAC_CMD_VERSION_HARDWARE, ZR_COM_MAC_CMD_VERSION_FPGA,
    ZR_COM_MAC_CMD_FILE_UPGRADE,     ZR_COM_MAC_CMD_FILE_LOG,         ZR_COM_MAC_CMD_FILE_CLEAR_LOG,
    ZR_COM_MAC_CMD_DETE_ALIVE,       ZR_COM_MAC_CMD_REG_READ,         ZR_COM_MAC_CMD_REG_WRITE,
    ZR_COM_MAC_CMD_SYS_REBOOT,       ZR_COM_MAC_CMD_SYS_STATUS,       ZR_COM_MAC_CMD_PARAMS_NET_TS,
    ZR_COM_MAC_CMD_PARAMS_QAM,       ZR_COM_MAC_CMD_PARAMS_MUXER,     ZR_COM_MAC_CMD_PARAMS_PSI_INTERVAL,
    ZR_COM_MAC_CMD_PARAMS_PSI_IP,    ZR_COM_MAC_CMD_PARAMS_MAC,       ZR_COM_MAC_CMD_RES_HARDVERSION,
    ZR_COM_MAC_CMD_MOD_SI,           ZR_COM_MAC_CMD_ATSC_TIME_INFO,   ZR_COM_MAC_CMD_TEST,
    ZR_COM_MAC_CMD_FILE_CONFIG,      MACOMM_SUCCESS_CMD};

size_t Build(U16 cmd, U32 idx, U32 total, const uint8_t* data, size_t len, U8* frame)
{
    static ST_ZR_IPCOMM rec;
    memset(&rec, 0, sizeof(rec));
    rec.u8SlotID = 3;
    rec.u16CMD = cmd;
    rec.u32CurTansNum = idx;
    rec.u32SumTansNum = total;
    rec.u32Length = len > IPCOMM_MAX_DATA_LEN ? IPCOMM_MAX_DATA_LEN : (U32)len;
    memcpy(rec.pu8Data, data, rec.u32Length);
    return FrameCodec_Encode(&rec, frame);
}

// One connection to the master's server carrying one frame; the reply is read
// and dropped.
void Serve(const U8* frame, size_t len)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        abort();
    if (len > 0 && send(sv[1], frame, len, MSG_NOSIGNAL) != (ssize_t)len)
        abort();
    shutdown(sv[1], SHUT_WR);
    MACComm_ServeConnection(sv[0], MACMasterComm_ParseCmd);
    U8 sink[4096];
    while (recv(sv[1], sink, sizeof(sink), MSG_DONTWAIT) > 0) {
    }
    close(sv[0]);
    close(sv[1]);
}

}  // namespace

void FuzzSetUp()
{
    Status_SetSlotID(3);
    plat::MakeDirs("/tarvex_data/log");
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    // Versions, a register answer, and a log file in two frames.
    seeds.push_back({0, 0, 0, 1, 4, 0, 1, 2, 3, 4, 0, 2, 0, 1, 4, 0, 5, 6, 7, 8});
    seeds.push_back({0, 7, 0, 1, 8, 0, 12, 0, 0, 0, 0x5A, 0x5A, 0, 0});
    FuzzInput file{0, 4, 0, 2, 10, 0};
    file.insert(file.end(), 10, 0x1F);
    file.insert(file.end(), {0, 4, 1, 2, 3, 0, 1, 2, 3});
    seeds.push_back(file);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // No transfer under way: a whole one-frame file ends any earlier one.
    static U8 frame[IPCOMM_MAX_FRAME_LEN + 64];
    const U8 one = 0;
    Serve(frame, Build(ZR_COM_MAC_CMD_FILE_LOG, 0, 1, &one, 1, frame));
    SetLogRecieveEndFlag(0);
    Resource_getSelfHandle()->u32HardVersion = 0;

    size_t pos = 0;
    while (pos + 6 <= size) {
        U8 mode = data[pos], sel = data[pos + 1], idx = data[pos + 2], total = data[pos + 3];
        size_t len = (size_t)data[pos + 4] | (size_t)data[pos + 5] << 8;
        pos += 6;
        if (len > size - pos)
            len = size - pos;
        size_t flen;
        if (mode & 1) {
            flen = len < sizeof(frame) ? len : sizeof(frame);
            memcpy(frame, data + pos, flen);
        } else {
            U16 cmd = (mode & 2) ? (U16)(sel | (idx & 0x0F) << 8) : kCmds[sel % (sizeof(kCmds) / sizeof(kCmds[0]))];
            // Large indices reach the size arithmetic; small ones the reassembly.
            U32 i = (mode & 4) ? 0xFFFFFF00u + idx : idx % 12;
            U32 t = (mode & 8) ? 0xFFFFFF00u + total : total % 12;
            flen = Build(cmd, i, t, data + pos, len, frame);
        }
        pos += len;
        Serve(frame, flen);
    }
    return 0;
}
