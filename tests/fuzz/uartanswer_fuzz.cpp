// Fuzz target: answers of the back board on the serial line (a pty whose
// other end is the board's "/dev/ttyPS1"), taken by the card's exchanges of
// start-up after the frame check: addresses, time, slot map and platform
// flag; the serial service loop taking the address it asks for and the end
// of the exchanges; or one read's bytes checked as an answer frame for slot
// 3. Each input starts with no address taken and the same slot map.
//
// Input: [u8 what][u8 code][answer data...]. what % 6: 0 raw frame check of
// the rest, 1 addresses, 2 time, 3 slot map, 4 platform flag, 5 the service
// loop, whose first request (the address, or with bit 5 the end) gets this
// answer and every later one a right answer, so that the loop ends. Bit 3
// keeps the answer code from the input instead of the right one; bit 4
// leaves the CRC as it comes.
#include "Comm/uartcomm.h"
#include "Common/commonfun.h"
#include "CommonModules/System/system.h"
#include "Driver/UART/uart.h"
#include "StatusProcess/status.h"
#include "support/fuzz_support.h"
#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int g_master = -1;
U8 g_map[ZRSYS_SLOT_MAP_LEN];

// An answer frame of the back board for slot 3.
FuzzInput Answer(U8 code, const FuzzInput& body, bool badCrc)
{
    FuzzInput a{0x47, 0x47, 0x47, 0x47, 3, code, (U8)body.size(), (U8)(body.size() >> 8)};
    a.insert(a.end(), body.begin(), body.end());
    U32 crc = Common_CRCCalculate(a.data() + 4, (U32)a.size() - 4, UARTCOMM_CRC_INIT);
    if (badCrc)
        crc = ~crc;
    for (int i = 0; i < 4; i++)
        a.push_back((U8)(crc >> (8 * i)));
    return a;
}

// The back board of the service loop: answers each request the card writes,
// the first with the input's answer, the later ones rightly, until the loop
// has ended.
void ServeLoop(const FuzzInput& first, std::atomic<bool>& done)
{
    FuzzInput pending;
    bool answered = false;
    while (!done) {
        pollfd p{g_master, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        U8 buf[512];
        ssize_t n = read(g_master, buf, sizeof(buf));
        if (n <= 0)
            continue;
        pending.insert(pending.end(), buf, buf + n);
        // Requests: "GGGG", slot, command, length, data, CRC.
        while (pending.size() >= 12) {
            if (pending[0] != 0x47 || pending[1] != 0x47 || pending[2] != 0x47 || pending[3] != 0x47) {
                pending.erase(pending.begin());
                continue;
            }
            size_t whole = 12 + (size_t)(pending[6] | pending[7] << 8);
            if (pending.size() < whole)
                break;
            U8 req = pending[5];
            pending.erase(pending.begin(), pending.begin() + (std::ptrdiff_t)whole);
            FuzzInput a = !answered ? first
                          : req == UARTCOMM_REQ_IP ? Answer(UARTCOMM_ANS_IP, {0x0b, 0x01, 0xa8, 0xc0}, false)
                                                   : Answer(UARTCOMM_ANS_BREAK, {}, false);
            answered = true;
            if (write(g_master, a.data(), a.size()) != (ssize_t)a.size())
                abort();
        }
    }
}

}  // namespace

void FuzzSetUp()
{
    Status_SetSlotID(3);
    g_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (g_master < 0 || grantpt(g_master) != 0 || unlockpt(g_master) != 0)
        abort();
    std::string link = FuzzBoardRoot() + "/dev/ttyPS1";
    unlink(link.c_str());
    if (symlink(ptsname(g_master), link.c_str()) != 0 || uart1_Init() != ZR_UART_SUCCESS)
        abort();
    // One try, one read, no pause: a wrong answer fails at once.
    UartComm_SetTestTries(1, 1, 0);
    ZRSYS_GetSlotMap(g_map);
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    // Answer 7 (time) for slot 3, and an empty answer 9, as raw frames.
    seeds.push_back({0, 0, 0x47, 0x47, 0x47, 0x47, 0x03, 0x07, 0x04, 0x00, 0x00, 0x00, 0x00, 0x65, 0xe4, 0x52, 0x47,
                     0x21});
    seeds.push_back({0, 0, 0x47, 0x47, 0x47, 0x47, 0x03, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    // Addresses, time, slot map (slot 5 claims 20), platform flag.
    seeds.push_back({1, 0, 0x0a, 0x01, 0xa8, 0xc0, 0x28, 0x01, 0xa8, 0xc0, 0, 0xff, 0xff, 0xff, 1, 1, 0xa8, 0xc0});
    seeds.push_back({2, 0, 0x00, 0x00, 0x00, 0x65});
    seeds.push_back({3, 0, 0, 1, 2, 3, 4, 20, 6, 7, 8, 9, 10, 11, 12, 13, 14, 255, 16});
    FuzzInput res{4, 0};
    res.resize(2 + sizeof(ST_ZR_UARTRESOURCE), 1);
    seeds.push_back(res);
    // The service loop: an address, an address of the exchanges' length, the end.
    seeds.push_back({5, 0, 0x0c, 0x01, 0xa8, 0xc0});
    seeds.push_back({5, 0, 0x0a, 0x01, 0xa8, 0xc0, 0x28, 0x01, 0xa8, 0xc0, 0, 0xff, 0xff, 0xff, 1, 1, 0xa8, 0xc0});
    seeds.push_back({5 | 32, 0});
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const U8 kAnswers[] = {0,
                                  UARTCOMM_ANS_IP,
                                  UARTCOMM_ANS_TIME,
                                  UARTCOMM_ANS_SLOTMAP,
                                  UARTCOMM_ANS_RESOURCE,
                                  UARTCOMM_ANS_IP};
    FuzzReader r(data, size);
    U8 what = r.U8(), code = r.U8();
    FuzzInput body = r.Bytes(UARTCOMM_DATA_MAX);
    if (what % 6 == 0) {
        ST_ZR_UARTCOMM rec;
        UartComm_ParseData(body.data(), (S32)body.size(), 3, &rec);
        return 0;
    }
    Status_SetIPReqflag(false);
    ZRSYS_SetSlotMap(g_map);
    ZRSYS_SetIsKxa200(0);
    uart1_Flush();

    U8 answerCode = (what & 8) ? code : kAnswers[what % 6];
    if (what % 6 == 5) {
        // The loop opens the line itself; a few short reads let the back
        // board's thread answer in time.
        bool ipTaken = (what & 32) != 0;
        Status_SetIPReqflag(ipTaken);
        Status_SetCommFinishflag(false);
        if (ipTaken && !(what & 8))
            answerCode = UARTCOMM_ANS_BREAK;
        uart1_Close();
        UartComm_SetTestTries(1, 8, 1);
        std::atomic<bool> done{false};
        std::thread bb(ServeLoop, Answer(answerCode, body, what & 16), std::ref(done));
        UartComm_Service(nullptr);
        done = true;
        bb.join();
        UartComm_SetTestTries(1, 1, 0);
    } else {
        // The answer as the back board writes it, waiting in the line.
        FuzzInput a = Answer(answerCode, body, what & 16);
        if (write(g_master, a.data(), a.size()) != (ssize_t)a.size())
            abort();
    }
    switch (what % 6) {
    case 5: break;
    case 1: UartComm_GetIpAddr(3); break;
    case 2: UartComm_GetTime(); break;
    case 3: UartComm_GetSlotMap(); break;
    default: UartComm_GetResource(); break;
    }
    // The card's requests, and an answer it did not read, are dropped.
    U8 sink[1024];
    while (read(g_master, sink, sizeof(sink)) > 0) {
    }
    // The simulated shell's record of clock and address changes stays small.
    static const std::string shell = FuzzBoardRoot() + "/trace/shell.log";
    struct stat st;
    if (stat(shell.c_str(), &st) == 0 && st.st_size > (1 << 20) && truncate(shell.c_str(), 0) != 0)
        abort();
    return 0;
}
