// Serial link to the back board: request bytes, the answer checks, answers
// that come whole or split, slot-map values and the silent back board.
#include "Comm/uartcomm.h"
#include "CommonModules/System/system.h"
#include "Driver/UART/uart.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "support/testboard.h"
#include "Common/commonfun.h"
#include <atomic>
#include <functional>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<U8>;

Bytes Hex(const char* text)
{
    Bytes out;
    for (const char* p = text; p[0] && p[1];) {
        if (*p == ' ') {
            p++;
            continue;
        }
        out.push_back((U8)std::stoi(std::string(p, 2), nullptr, 16));
        p += 2;
    }
    return out;
}

// The back board's end of the serial line: a pty whose other end is the
// board's "/dev/ttyPS1"; a thread answers each request with a scripted reply.
struct BackBoardLine {
    int master = -1;
    std::string link = TestBoardRoot() + "/dev/ttyPS1";
    std::atomic<bool> stop{false};
    std::thread th;
    std::mutex mu;  // requests: filled by the peer thread, read by the test
    std::vector<Bytes> requests;
    Bytes pending;  // the peer thread's unsplit bytes
    size_t Count()
    {
        std::lock_guard<std::mutex> lk(mu);
        return requests.size();
    }
    explicit BackBoardLine(std::function<void(int, const Bytes&)> answer = nullptr)
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        unlink(link.c_str());
        EXPECT_EQ(symlink(ptsname(master), link.c_str()), 0);
        EXPECT_EQ(uart1_Init(), ZR_UART_SUCCESS);
        if (answer)
            th = std::thread([this, answer] {
                while (!stop) {
                    pollfd p{master, POLLIN, 0};
                    if (poll(&p, 1, 50) <= 0)
                        continue;
                    U8 buf[600];
                    ssize_t n = read(master, buf, sizeof(buf));
                    if (n <= 0)
                        continue;
                    // A late read can hold several requests: each is taken
                    // by its sync word and length (head 8, data, CRC 4).
                    pending.insert(pending.end(), buf, buf + n);
                    while (!pending.empty()) {
                        size_t len = pending.size();
                        if (pending.size() >= 8 && pending[0] == 0x47 && pending[1] == 0x47 && pending[2] == 0x47 &&
                            pending[3] == 0x47) {
                            len = 12u + (pending[6] | pending[7] << 8);
                            if (len > pending.size())
                                break;
                        } else if (pending.size() < 8 && pending[0] == 0x47) {
                            break;
                        }
                        Bytes req(pending.begin(), pending.begin() + (ptrdiff_t)len);
                        pending.erase(pending.begin(), pending.begin() + (ptrdiff_t)len);
                        {
                            std::lock_guard<std::mutex> lk(mu);
                            requests.push_back(req);
                        }
                        answer(master, req);
                    }
                }
            });
    }
    ~BackBoardLine()
    {
        stop = true;
        if (th.joinable())
            th.join();
        uart1_Close();
        close(master);
        unlink(link.c_str());
    }
    Bytes ReadRequest()
    {
        U8 buf[600];
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0)
            return {};
        ssize_t n = read(master, buf, sizeof(buf));
        return n > 0 ? Bytes(buf, buf + n) : Bytes{};
    }
};

const char* kTimeAnswerSlot3 = "47474747 03070400 00000065 e4524721";
const char* kTimeAnswerSlot4 = "47474747 04070400 00000065 a7e35925";

}  // namespace

TEST(UartComm, RequestFramesAreByteExact)
{
    BackBoardLine line;
    UartComm_sendData(3, UARTCOMM_REQ_TIME, nullptr, 0);
    EXPECT_EQ(line.ReadRequest(), Hex("47474747 03060000 f13ea92d"));
    U8 code[4] = {0x03, 0x06, 0, 0};  // 1539
    UartComm_sendData(3, UARTCOMM_REQ_ERRCODE, code, 4);
    EXPECT_EQ(line.ReadRequest(), Hex("47474747 03080400 03060000 42d8df65"));
    // A length without data never puts undefined bytes on the line.
    UartComm_sendData(3, UARTCOMM_REQ_TIME, nullptr, 9);
    EXPECT_EQ(line.ReadRequest(), Hex("47474747 03060000 f13ea92d"));
}

TEST(UartComm, AnswerChecks)
{
    ST_ZR_UARTCOMM rec;
    Bytes ok = Hex(kTimeAnswerSlot3);
    ASSERT_EQ(UartComm_ParseData(ok.data(), (S32)ok.size(), 3, &rec), ZR_SUCCESS);
    EXPECT_EQ(rec.u8CMD, UARTCOMM_ANS_TIME);
    EXPECT_EQ(rec.u16Length, 4);
    EXPECT_EQ(rec.pu8Data[3], 0x65);
    Bytes other = Hex(kTimeAnswerSlot4);
    EXPECT_EQ(UartComm_ParseData(other.data(), (S32)other.size(), 3, &rec), ZR_ERR_COMM_UART_RECV_SLOT);
    EXPECT_EQ(UartComm_ParseData(ok.data(), 11, 3, &rec), ZR_ERR_COMM_UART_RECV_MISS);
    EXPECT_EQ(UartComm_ParseData(nullptr, 16, 3, &rec), ZR_ERR_PARAMS);
    Bytes bad = ok;
    bad[0] = 0x46;
    EXPECT_EQ(UartComm_ParseData(bad.data(), (S32)bad.size(), 3, &rec), ZR_ERR_COMM_UART_RECV_HEADER);
    bad = ok;
    bad[11] ^= 1;  // data no longer matches the CRC
    EXPECT_EQ(UartComm_ParseData(bad.data(), (S32)bad.size(), 3, &rec), ZR_ERR_COMM_UART_RECV_MISS);
    bad = ok;
    bad.push_back(0);  // one byte past the frame
    EXPECT_EQ(UartComm_ParseData(bad.data(), (S32)bad.size(), 3, &rec), ZR_ERR_COMM_UART_RECV_MISS);
    // A length the record cannot hold is refused, never copied.
    Bytes huge(600 + 12, 0);
    memcpy(huge.data(), "GGGG\x03\x07\x58\x02", 8);
    EXPECT_EQ(UartComm_ParseData(huge.data(), (S32)huge.size(), 3, &rec), ZR_ERR_COMM_UART_RECV_MISS);
}

TEST(UartComm, AnswerMustComeWholeInOneRead)
{
    Status_SetSlotID(3);
    BackBoardLine line([](int fd, const Bytes&) {
        Bytes a = Hex(kTimeAnswerSlot3);
        ASSERT_EQ(write(fd, a.data(), 8), 8);
        usleep(250000);
        ASSERT_EQ(write(fd, a.data() + 8, a.size() - 8), (ssize_t)a.size() - 8);
    });
    ST_ZR_UARTCOMM rec;
    UartComm_sendData(3, UARTCOMM_REQ_TIME, nullptr, 0);
    EXPECT_NE(UartComm_RecvData(3, &rec), ZR_SUCCESS);
}

TEST(UartComm, StartUpExchangesTakeThePeersAnswers)
{
    Status_SetSlotID(3);
    Status_SetIPReqflag(false);
    BackBoardLine line([](int fd, const Bytes& req) {
        Bytes a;
        switch (req.size() >= 6 ? req[5] : 0) {
        case UARTCOMM_REQ_TIME: a = Hex(kTimeAnswerSlot3); break;
        // Answer 11: slots 5 and 6 claim slots 20 and 17, which no table may be indexed by.
        case UARTCOMM_REQ_SLOTMAP:
            a = Hex("47474747 030b1100 00010203 04141107 08090a0b 0c0d0eff 10 00000000");
            break;
        // Answer 3: back board 192.168.1.10, card 192.168.1.40, /24, gateway .1
        case UARTCOMM_REQ_IP:
            a = Hex("47474747 03031000 0a01a8c0 2801a8c0 00ffffff 0101a8c0 00000000");
            break;
        // Answer 15 without its data byte: the flag is 0.
        case UARTCOMM_REQ_RESOURCE: a = Hex("47474747 030f0000 00000000"); break;
        default: return;
        }
        U32 crc = Common_CRCCalculate(a.data() + 4, (U32)a.size() - 8, UARTCOMM_CRC_INIT);
        memcpy(a.data() + a.size() - 4, &crc, 4);
        ASSERT_EQ(write(fd, a.data(), a.size()), (ssize_t)a.size());
    });
    UartComm_GetTime();
    EXPECT_NE(Slurp(TestBoardRoot() + "/trace/shell.log").find("date -s"), std::string::npos);
    UartComm_GetSlotMap();
    U8 map[ZRSYS_SLOT_MAP_LEN];
    ZRSYS_GetSlotMap(map);
    EXPECT_EQ(map[4], 4);
    EXPECT_EQ(map[5], 255);
    EXPECT_EQ(map[6], 255);
    EXPECT_EQ(map[15], 255);
    EXPECT_EQ(map[16], 16);
    EXPECT_TRUE(ZRSYS_IsSlotMapFromeBaseboard());
    ZRSYS_SetIsKxa200(1);
    size_t before = line.Count();
    UartComm_GetResource();
    EXPECT_EQ(line.Count() - before, 1u) << "an empty answer 15 is taken at once";
    EXPECT_EQ(ZRSYS_GetIsKxa200(), 0);
    EXPECT_EQ(UartComm_GetIpAddr(3), ZR_SUCCESS);
    EXPECT_TRUE(Status_GetIPReqflag());
    EXPECT_EQ(Resource_getBoardIPAddress(16), 0xC0A8010Au);
    std::string shell = Slurp(TestBoardRoot() + "/trace/shell.log");
    EXPECT_NE(shell.find("ifconfig eth0 netmask 255.255.255.0"), std::string::npos) << shell;
    EXPECT_NE(shell.find("route add default gw 192.168.1.1"), std::string::npos) << shell;
    // Already configured: nothing more is asked.
    size_t asked = line.Count();
    EXPECT_EQ(UartComm_GetIpAddr(3), ZR_SUCCESS);
    EXPECT_EQ(line.Count(), asked);
    Status_SetIPReqflag(false);
}

TEST(UartComm, SilentBackBoardGivesFallBackAddresses)
{
    Status_SetSlotID(3);
    Status_SetIPReqflag(false);
    Resource_SetBackBoardIpAddr(0);
    BackBoardLine line([](int, const Bytes&) {});
    EXPECT_EQ(UartComm_GetIpAddr(3), UARTCOMM_IP_FALLBACK);
    EXPECT_EQ(Resource_getBoardIPAddress(16), 0xC0A8010Au);
    EXPECT_NE(Slurp(TestBoardRoot() + "/trace/shell.log").find("ifconfig eth0 192.168.1.14 "), std::string::npos);
    EXPECT_FALSE(Status_GetIPReqflag());
    for (int i = 0; i < 200 && line.Count() < 50; ++i)  // the peer thread may still be reading
        usleep(10000);
    EXPECT_EQ(line.Count(), 50u);
}
