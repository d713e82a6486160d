// Fuzz target: the master fetching the slave's log over the SPI chip link
// (the size, then the file block by block, with the retries of both): its
// replies come from a stand-in slave on the board's looped-back SPI wire,
// which answers each request the master clocks out as the input says. Once
// the steps are used up the master's device is closed, which ends the fetch.
// Each input starts with an empty controller and no transfer under way.
//
// Input: repeated [u8 mode][u8 cmd][u8 index][u8 total][u8 code][u8 n]
// [n bytes], one step per request. Mode bit 0: the slave's own handler
// answers (from its log file); bit 1: no answer; bit 2: the bytes are the
// raw frame; else a frame of the log size (cmd bit 0 clear) or a log block,
// with the return code given (bit 5: success), the request's own index
// (bit 3: the input's) and total (bit 4: the input's), CRC right.
#include "Comm/spicomm.h"
#include "Driver/SPI/spilink.h"
#include "Platform/platform.h"
#include "support/fuzz_support.h"
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>

namespace {

constexpr size_t kMaxSteps = 24;

struct Step {
    U8 mode, cmd, index, total, code;
    FuzzInput bytes;
};

// The stand-in slave: answers requests until the steps are used up, then
// closes the master's device.
void StandIn(std::deque<Step> steps, std::atomic<bool>& done)
{
    while (!done) {
        SPI_COM_DATA q;
        S32 n = SpiSlaveRead(SPIDEV_1, reinterpret_cast<U8*>(&q), sizeof(q));
        if (n < 0)
            return;
        // The master's idle reads clock 0xB8 bytes in.
        if (n == 0 || q.u8CmdStart != SPI_CMD_START)
            continue;
        if (steps.empty()) {
            SPIMasterClose();
            return;
        }
        Step st = steps.front();
        steps.pop_front();
        if (st.mode & 1) {
            SPISlave_ParaseData((S32)SPIDEV_1, &q);
            continue;
        }
        if (st.mode & 2)
            continue;
        SPI_COM_DATA r;
        memset(&r, 0, sizeof(r));
        if ((st.mode & 4) && !st.bytes.empty()) {
            memcpy(&r, st.bytes.data(), st.bytes.size() < sizeof(r) ? st.bytes.size() : sizeof(r));
        } else if (!(st.mode & 4)) {
            U8 cmd = (st.cmd & 1) ? ZR_COM_SPI_CMD_FILE_LOG : ZR_COM_SPI_CMD_FILE_LOG_SIZE;
            U32 idx = (st.mode & 8) ? st.index : q.u32CurIndex;
            U32 total = (st.mode & 16) ? st.total : q.u32TotalIndex;
            U8 code = (st.mode & 32) ? (U8)SPI_RETURN_CODE_SUCCESS : st.code;
            SPICom_BuildFrame(&r, cmd, idx, total, st.bytes.data(), (U32)st.bytes.size(), code);
        }
        SpiSlaveWrite(SPIDEV_1, reinterpret_cast<U8*>(&r), sizeof(r));
    }
}

FuzzInput SizeStep(U32 size)
{
    return {0x20, 0, 0, 0, 0, 4, (U8)size, (U8)(size >> 8), (U8)(size >> 16), (U8)(size >> 24)};
}

}  // namespace

void FuzzSetUp()
{
    // The wire: the board's spidev reaches this board's own controller.
    plat::MakeDirs("/dev");
    plat::MakeDirs("/tmp");
    std::string root = FuzzBoardRoot() + "\n";
    if (!plat::WriteFileAtomic("/dev/spidev1.0", root.data(), root.size(), false))
        abort();
    std::string log(250, 'L');
    plat::WriteFileAtomic("/tmp/log.txt", log.data(), log.size(), false);
    SpiSlave_SetReadWaitMs(20);
    SPICom_SetReplyReads(3);
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    // The slave's own answers; a size of 200 and two blocks; a wrong index
    // then the right block; a CRC error code; a raw frame.
    seeds.push_back({1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0});
    FuzzInput s = SizeStep(200);
    s.insert(s.end(), {0x20, 1, 0, 0, 0, 104});
    s.insert(s.end(), 104, 'a');
    s.insert(s.end(), {0x20, 1, 0, 0, 0, 96});
    s.insert(s.end(), 96, 'b');
    seeds.push_back(s);
    s = SizeStep(10);
    s.insert(s.end(), {0x28, 1, 7, 0, 0, 10});
    s.insert(s.end(), 10, 'c');
    s.insert(s.end(), {0x20, 1, 0, 0, 0, 10});
    s.insert(s.end(), 10, 'd');
    seeds.push_back(s);
    seeds.push_back({0x00, 0, 0, 0, 0xA5, 4, 9, 0, 0, 0, 2, 0, 0, 0, 0, 0});
    FuzzInput raw{4, 0, 0, 0, 0, 16, 0x69, 20, 0x0A, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0x55, 0, 0, 4};
    seeds.push_back(raw);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::deque<Step> steps;
    FuzzReader r(data, size);
    while (r.Left() >= 6 && steps.size() < kMaxSteps) {
        Step st;
        st.mode = r.U8();
        st.cmd = r.U8();
        st.index = r.U8();
        st.total = r.U8();
        st.code = r.U8();
        U8 n = r.U8();
        st.bytes = r.Bytes((st.mode & 4) ? sizeof(SPI_COM_DATA) : n);
        steps.push_back(st);
    }
    // The same start: the master's device open (opened again only when the
    // last fetch closed it: that lists /dev through the shell), the
    // controller reset with nothing queued either way.
    U8 probe[SPI_LINK_FRAME_LEN];
    if ((SPIMasterRead(probe) != 0 && SPIMasterInit() != 0) || SPISlaveInit() != 0)
        return 0;
    std::atomic<bool> done{false};
    std::thread slave(StandIn, std::move(steps), std::ref(done));
    SPICom_GetSlaveLog(SPIDEV_1);
    done = true;
    slave.join();
    return 0;
}
