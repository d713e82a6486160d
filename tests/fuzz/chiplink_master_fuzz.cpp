// Fuzz target: frames the slave chip sends to the master's chip-link server,
// one connection each as the server takes them: frame checks, the master's
// dispatcher, version and register answers and the log file transfer with
// its reassembly; then, when the input has steps for it, the master's
// detection of the slave (its requests, the replies it reads, the versions
// the slave sends back and the state pushed to a slave found) against a
// stand-in slave on the loopback chip-link address that answers each request
// as a step says. Each input starts with no transfer under way.
//
// Input: repeated [u8 mode][u8 cmd][u8 idx][u8 total][u16 length][length
// bytes]. Mode bit 4 clear: a frame to the master's server; bit 0: the
// bytes are a raw frame; otherwise they are the data of a well-formed frame
// of the command picked (bit 1: of any command number), so the CRC passes
// and the handlers' own checks are reached. Mode bit 4 set: a step of the
// stand-in slave, for the next request it takes: bit 6 the slave's own
// handlers answer (versions, log file); else bit 5 the frame is first sent
// to the master's server as the slave sends its versions, and the reply is a
// success; else the reply is the frame (raw with bit 0). A second frame on
// the same connection (the master's confirmation of a one-shot command)
// takes the next step too. Requests past the steps get no reply. Steps with
// bit 7 are taken after the detection, when the master asks for the slave's
// log file (confirmed, within a log export's window).
#include "Comm/ipcomm.h"
#include "Comm/maccomm.h"
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "support/fuzz_support.h"
#include "Driver/Socket/socket.h"
#include "Platform/platform.h"
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
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

// One step of the stand-in slave.
struct Step {
    U8 mode;
    FuzzInput frame;  // the reply, or the frame sent to the master first
};

std::mutex g_stepMutex;
std::deque<Step> g_steps;

// A listener on a chip-link address (mapped to loopback by the platform) at
// the given port (0: any); -1 when the port is taken there.
int Listen(U32 ip, U16 port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(ip);
    if (fd < 0 || plat::Bind(fd, &a) != 0 || listen(fd, 16) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

// The master's server, as its task runs it.
void MasterServer(int lfd)
{
    for (;;) {
        int c = accept(lfd, nullptr, nullptr);
        if (c < 0)
            continue;
        plat::SetSocketTimeouts(c, 200, 200);
        MACComm_ServeConnection(c, MACMasterComm_ParseCmd);
        close(c);
    }
}

// The stand-in slave: one request per connection, answered as the next step says.
void StandInSlave(int lfd)
{
    for (;;) {
        int c = accept(lfd, nullptr, nullptr);
        if (c < 0)
            continue;
        plat::SetSocketTimeouts(c, 200, 200);
        static U8 buf[4096];
        S32 n = IPComm_RecvFrame(c, buf, sizeof(buf), 200);
        Step st{0, {}};
        bool have = false;
        {
            std::lock_guard<std::mutex> lk(g_stepMutex);
            if (!g_steps.empty()) {
                st = g_steps.front();
                g_steps.pop_front();
                have = true;
            }
        }
        for (int frames = 0; have && n >= IPCOMM_MIN_FRAME_LEN && frames < 2; frames++) {
            if (frames == 1) {
                // The master's confirmation, when it sends one.
                n = IPComm_RecvFrame(c, buf, sizeof(buf), 200);
                std::lock_guard<std::mutex> lk(g_stepMutex);
                have = n >= IPCOMM_MIN_FRAME_LEN && !g_steps.empty();
                if (!have)
                    break;
                st = g_steps.front();
                g_steps.pop_front();
            }
            if (st.mode & 0x40) {
                static ST_ZR_IPCOMM rec;
                IPComm_MACParseData(buf, n, &rec);
                // Only what the detection and the log request ask: never a reboot.
                if (rec.u16CMD == ZR_COM_MAC_CMD_VERSION_SOFTWARE || rec.u16CMD == ZR_COM_MAC_CMD_VERSION_FPGA ||
                    rec.u16CMD == ZR_COM_MAC_CMD_FILE_LOG) {
                    // The slave's own handler reads a confirmation itself.
                    MACSlaveComm_ParseCmd(c, &rec);
                    break;
                }
                IPComm_ResponseSuccess(c);
            } else if (st.mode & 0x20) {
                Serve(st.frame.data(), st.frame.size());
                IPComm_ResponseSuccess(c);
            } else if (!st.frame.empty()) {
                send(c, st.frame.data(), st.frame.size(), MSG_NOSIGNAL);
            }
        }
        close(c);
    }
}

}  // namespace

void FuzzSetUp()
{
    Status_SetSlotID(3);
    plat::MakeDirs("/tarvex_data/log");
    // Both ends of the chip link on one port of this process's own.
    int slave = -1, master = -1;
    for (int i = 0; i < 50 && master < 0; i++) {
        if (slave >= 0)
            close(slave);
        slave = Listen(MACCOMM_SLAVE_IP, 0);
        sockaddr_in a{};
        socklen_t len = sizeof(a);
        if (slave < 0 || getsockname(slave, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            abort();
        master = Listen(MACCOMM_MASTER_IP, ntohs(a.sin_port));
        if (master >= 0)
            socket_SetMacCommPort(ntohs(a.sin_port));
    }
    if (master < 0)
        abort();
    std::thread(StandInSlave, slave).detach();
    std::thread(MasterServer, master).detach();
    // No pauses between the detection's passes; a reply comes at once or never.
    MACComm_SetTestPauses(0, 0, 0);
    IPComm_SetReplyWaitMs(100);
    MACComm_SetConfirmWaitMs(50);
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
    // Detections: the slave's own handlers answer; versions sent back and
    // replies (an error, then a success); a raw reply; the log file asked.
    seeds.push_back({0x50, 0, 0, 0, 0, 0, 0x50, 0, 0, 0, 0, 0});
    FuzzInput d{0x30, 0, 0, 1, 4, 0, 1, 0, 0, 0, 0x30, 2, 0, 1, 4, 0, 0, 1, 0, 2};
    d.insert(d.end(), {0x10, 22, 0, 1, 0, 0});
    seeds.push_back(d);
    seeds.push_back({0x11, 0, 0, 0, 4, 0, 0x47, 0x47, 0x47, 0x47});
    seeds.push_back({0x50, 0, 0, 0, 0, 0, 0x50, 0, 0, 0, 0, 0, 0xD0, 0, 0, 0, 0, 0});
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // No transfer under way: a whole one-frame file ends any earlier one.
    static U8 frame[IPCOMM_MAX_FRAME_LEN + 64];
    const U8 one = 0;
    MACComm_LogArchiveOpen();
    Serve(frame, Build(ZR_COM_MAC_CMD_FILE_LOG, 0, 1, &one, 1, frame));
    SetLogRecieveEndFlag(0);
    Resource_getSelfHandle()->u32HardVersion = 0;

    size_t pos = 0;
    std::deque<Step> steps, logSteps;
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
            // The slave's announcement would start a re-sync thread of its own.
            if ((mode & 0x30) == 0x30 && cmd == ZR_COM_MAC_CMD_DETE_ALIVE)
                cmd = ZR_COM_MAC_CMD_VERSION_FPGA;
            // Large indices reach the size arithmetic; small ones the reassembly.
            U32 i = (mode & 4) ? 0xFFFFFF00u + idx : idx % 12;
            U32 t = (mode & 8) ? 0xFFFFFF00u + total : total % 12;
            flen = Build(cmd, i, t, data + pos, len, frame);
        }
        pos += len;
        if (mode & 0x10) {
            std::deque<Step>& to = (mode & 0x80) ? logSteps : steps;
            if (to.size() < 64)
                to.push_back(Step{mode, FuzzInput(frame, frame + flen)});
            continue;
        }
        Serve(frame, flen);
    }
    if (steps.empty() && logSteps.empty())
        return 0;
    {
        std::lock_guard<std::mutex> lk(g_stepMutex);
        g_steps = std::move(steps);
    }
    __atomic_store_n(&SLAVE_CHIP_IS_EXIST, 1, __ATOMIC_RELAXED);
    MACComSlaveChipDetect();
    if (!logSteps.empty()) {
        {
            std::lock_guard<std::mutex> lk(g_stepMutex);
            g_steps = std::move(logSteps);
        }
        MACMasterComm_SendConfirmed(ZR_COM_MAC_CMD_FILE_LOG, nullptr, 0, 200, 300, nullptr, nullptr);
    }
    MACComm_LogArchiveClose();
    // A slave found would be sent every change; the next input starts without one.
    __atomic_store_n(&SLAVE_CHIP_IS_EXIST, 0, __ATOMIC_RELAXED);
    std::lock_guard<std::mutex> lk(g_stepMutex);
    g_steps.clear();
    return 0;
}
