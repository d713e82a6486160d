// Fuzz target: answers of the back board on the serial line (a pty whose
// other end is the board's "/dev/ttyPS1"), taken by the card's exchanges of
// start-up after the frame check: addresses, time, slot map and platform
// flag; or one read's bytes checked as an answer frame for slot 3. Each input
// starts with no address taken and the same slot map.
//
// Input: [u8 what][u8 code][answer data...]. what % 5: 0 raw frame check of
// the rest, 1 addresses, 2 time, 3 slot map, 4 platform flag. Bit 3 keeps
// the answer code from the input instead of the right one; bit 4 leaves the
// CRC as it comes.
#include "Comm/uartcomm.h"
#include "Common/commonfun.h"
#include "CommonModules/System/system.h"
#include "Driver/UART/uart.h"
#include "StatusProcess/status.h"
#include "support/fuzz_support.h"
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int g_master = -1;
U8 g_map[ZRSYS_SLOT_MAP_LEN];

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
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const U8 kAnswers[] = {0, UARTCOMM_ANS_IP, UARTCOMM_ANS_TIME, UARTCOMM_ANS_SLOTMAP, UARTCOMM_ANS_RESOURCE};
    FuzzReader r(data, size);
    U8 what = r.U8(), code = r.U8();
    FuzzInput body = r.Bytes(UARTCOMM_DATA_MAX);
    if (what % 5 == 0) {
        ST_ZR_UARTCOMM rec;
        UartComm_ParseData(body.data(), (S32)body.size(), 3, &rec);
        return 0;
    }
    Status_SetIPReqflag(false);
    ZRSYS_SetSlotMap(g_map);
    ZRSYS_SetIsKxa200(0);
    uart1_Flush();

    // The answer as the back board writes it, waiting in the line.
    FuzzInput a{0x47, 0x47, 0x47, 0x47, 3, (what & 8) ? code : kAnswers[what % 5], (U8)body.size(),
                (U8)(body.size() >> 8)};
    a.insert(a.end(), body.begin(), body.end());
    U32 crc = Common_CRCCalculate(a.data() + 4, (U32)a.size() - 4, UARTCOMM_CRC_INIT);
    if (what & 16)
        crc = ~crc;
    for (int i = 0; i < 4; i++)
        a.push_back((U8)(crc >> (8 * i)));
    if (write(g_master, a.data(), a.size()) != (ssize_t)a.size())
        abort();
    switch (what % 5) {
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
