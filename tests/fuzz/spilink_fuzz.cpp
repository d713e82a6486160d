// Fuzz target: 128-byte frames of the SPI chip link read from the wire, on
// the slave (requests of the master: frame checks, block reassembly and the
// handlers) and on the master (the slave's replies). Each input starts with
// no block message under way and no log transfer open.
//
// Input: repeated [u8 mode][u8 cmd][u8 index][u8 total][u8 code][u8 n]
// [n bytes]. Mode bit 0: the master reads a reply, else the slave a
// request; bit 1: the bytes are the raw frame; else a frame of the command
// picked, CRC right, with the index, total, return code and data given
// (bit 2: the data length as it comes, past 104 too).
#include "Comm/spicomm.h"
#include "Driver/SPI/spilink.h"
#include "Platform/platform.h"
#include "support/fuzz_support.h"
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_log = -1;

// Commands of either side; the reboot and the upgrade file (which would
// start an installation) are left out.
const U8 kCmds[] = {ZR_COM_SPI_CMD_VERSION_SOFTWARE, ZR_COM_SPI_CMD_VERSION_HARDWARE,
                    ZR_COM_SPI_CMD_VERSION_FPGA,     ZR_COM_SPI_CMD_FILE_LOG,
                    ZR_COM_SPI_CMD_FILE_LOG_SIZE,    ZR_COM_SPI_CMD_RES_HARDVERSION,
                    ZR_COM_SPI_CMD_DETE_ALIVE,       ZR_COM_SPI_CMD_REG_READ,
                    ZR_COM_SPI_CMD_REG_WRITE,        ZR_COM_SPI_CMD_PARAMS_NET_TS,
                    ZR_COM_SPI_CMD_PARAMS_NET_CAS,   ZR_COM_SPI_CMD_PARAMS_MAC_TS,
                    ZR_COM_SPI_CMD_PARAMS_MAC_CAS,   ZR_COM_SPI_CMD_PARAMS_MUXER,
                    ZR_COM_SPI_CMD_PARAMS_QAM,       ZR_COM_SPI_CMD_PARAMS_MAC,
                    ZR_COM_SPI_CMD_PARAMS_MUXLUT,    ZR_COM_SPI_CMD_PARAMS_PASSLUT,
                    ZR_COM_SPI_CMD_PARAMS_PSI_TABLE, ZR_COM_SPI_CMD_PARAMS_PSI_INTERVAL,
                    ZR_COM_SPI_CMD_PARAMS_PSI_IP,    ZR_COM_SPI_CMD_STATUS_CAS};

// A frame as the slave's controller FIFO hands it over; with no controller
// mapped here its replies go nowhere.
void SlaveReads(const SPI_COM_DATA& f)
{
    SPI_COM_DATA req = f;
    SPISlave_ParaseData((S32)SPIDEV_1, &req);
}

// A block message of one block ends whatever message of its command was
// under way.
void EndMessage(U8 cmd)
{
    SPI_COM_DATA f;
    const U8 one = 0;
    SPICom_BuildFrame(&f, cmd, 1, 1, &one, 1, 0);
    SlaveReads(f);
}

}  // namespace

void FuzzSetUp()
{
    SPICom_SetReplyReads(1);
    g_log = open((FuzzBoardRoot() + "/spi-log").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (g_log < 0)
        abort();
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    // A QAM set in two blocks to the slave; versions and a log size back to the master.
    FuzzInput s{0, 14, 1, 2, 0, 104};
    s.insert(s.end(), 104, 0x11);
    s.insert(s.end(), {0, 14, 2, 2, 0, 60});
    s.insert(s.end(), 60, 0x22);
    seeds.push_back(s);
    seeds.push_back({1, 0, 1, 1, 0x55, 4, 1, 2, 3, 4, 1, 4, 1, 1, 0x55, 4, 200, 0, 0, 0, 1, 3, 1, 2, 0x55, 3, 7, 8, 9});
    seeds.push_back({0, 6, 1, 1, 0, 4, 1, 2, 3, 4, 0, 7, 1, 1, 0, 8, 44, 0, 0, 0, 0, 0, 0, 0});
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The same start: no block message under way, an empty log transfer.
    for (U8 cmd : {ZR_COM_SPI_CMD_PARAMS_MUXER, ZR_COM_SPI_CMD_PARAMS_QAM, ZR_COM_SPI_CMD_PARAMS_PASSLUT,
                   ZR_COM_SPI_CMD_PARAMS_PSI_TABLE})
        EndMessage(cmd);
    memset(&stSlaveLogInfo, 0, sizeof(stSlaveLogInfo));
    stSlaveLogInfo.s32Fd = g_log;
    if (ftruncate(g_log, 0) != 0)
        abort();

    FuzzReader r(data, size);
    while (r.Left() >= 6) {
        U8 mode = r.U8(), sel = r.U8(), idx = r.U8(), total = r.U8(), code = r.U8(), n = r.U8();
        FuzzInput bytes = r.Bytes((mode & 2) ? sizeof(SPI_COM_DATA) : n);
        SPI_COM_DATA f;
        memset(&f, 0, sizeof(f));
        if (mode & 2) {
            if (!bytes.empty())
                memcpy(&f, bytes.data(), bytes.size());
        } else {
            SPICom_BuildFrame(&f, kCmds[sel % sizeof(kCmds)], idx, total, bytes.data(), (U32)bytes.size(), code);
            if (mode & 4) {
                f.u8DataLen = n;
                f.u32Crc = SPICom_FrameCrc(&f);
            }
        }
        if (mode & 1) {
            // A reply as the master's transfer clocks it in.
            if (f.u8CmdStart == SPI_CMD_START)
                SPIMaster_ParaseData(&f);
        } else {
            // The raw frames' commands are checked too: never the reboot or the upgrade file.
            if (f.u8CmdId == ZR_COM_SPI_CMD_SYS_REBOOT || f.u8CmdId == ZR_COM_SPI_CMD_FILE_UPGRADE)
                continue;
            SlaveReads(f);
        }
    }
    return 0;
}
