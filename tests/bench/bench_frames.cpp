// Frames per second through the frame server (one connection per frame, as
// the link works) against a bare accept/read/reply loop on the same
// machine, printed as a ratio. The two sides take turns several times and
// the medians are compared: one pair of runs on a busy machine varies far
// more than the difference looked for. It is not a timed test.
#include "Comm/ipcomm.h"
#include "bench/bench_board.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Platform/board_state.h"
#include "Platform/platform.h"
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr int kFrames = 3000;
constexpr int kRounds = 9;  // runs of each side, alternately
constexpr U32 kServerAddr = 0x7FA80110;  // 192.168.1.16, slot 5's own address

sockaddr_in Addr(U32 a, U16 port)
{
    sockaddr_in s{};
    s.sin_family = AF_INET;
    s.sin_port = htons(port);
    s.sin_addr.s_addr = htonl(a);
    return s;
}

std::vector<U8> Frame()
{
    ST_ZR_IPCOMM rec;
    memset(&rec, 0, sizeof(rec));
    rec.u8SlotID = 16;
    rec.u16CMD = IPCOMM_SEND_DATA;
    rec.u32SumTansNum = 1;
    rec.u32Length = 64;
    std::vector<U8> out(IPCOMM_MAX_FRAME_LEN);
    out.resize(FrameCodec_Encode(&rec, out.data()));
    return out;
}

// One frame on its own connection, one reply read. True when a reply came.
bool OneFrame(const sockaddr_in& to, const std::vector<U8>& f)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) == 0 &&
              send(fd, f.data(), f.size(), MSG_NOSIGNAL) == (ssize_t)f.size();
    U8 r[64];
    ok = ok && recv(fd, r, sizeof(r), 0) == 20;
    close(fd);
    return ok;
}

double Rate(const sockaddr_in& to)
{
    std::vector<U8> f = Frame();
    auto t0 = std::chrono::steady_clock::now();
    int ok = 0;
    for (int i = 0; i < kFrames; i++)
        ok += OneFrame(to, f);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (ok != kFrames) {
        Figures("frame server: cannot measure: only %d of %d frames answered\n", ok, kFrames);
        exit(1);
    }
    return ok / s;
}

// The reference: accept, one read, a fixed reply, close.
void BareLoop(int l)
{
    std::vector<U8> reply(20, 0);
    for (int i = 0; i < kFrames; i++) {
        int c = accept(l, nullptr, nullptr);
        U8 buf[4096];
        recv(c, buf, sizeof(buf), 0);
        send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
        close(c);
    }
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main()
{
    const std::string root = BenchBoard(LOG_OUTPUT_SYSLOG);
    if (root.empty())
        return 1;

    int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at = Addr(kServerAddr, 0);
    if (bind(l, reinterpret_cast<sockaddr*>(&at), sizeof(at)) != 0 || listen(l, 16) != 0)
        return 1;
    socklen_t len = sizeof(at);
    getsockname(l, reinterpret_cast<sockaddr*>(&at), &len);

    plat::System("ifconfig eth0 192.168.1.16 netmask 255.255.255.0");
    IPServer_Start();
    sockaddr_in srv = Addr(kServerAddr, 8000);
    for (int i = 0; i < 100 && !OneFrame(srv, Frame()); i++)
        usleep(20000);

    std::vector<double> bareRates, srvRates, ratios;
    for (int r = 0; r < kRounds; r++) {
        std::thread bare(BareLoop, l);
        bareRates.push_back(Rate(at));
        bare.join();
        srvRates.push_back(Rate(srv));
        ratios.push_back(srvRates.back() / bareRates.back());
        Figures("  round %d: frame server %.0f frames/s, bare loop %.0f frames/s, ratio %.2f\n", r + 1,
                srvRates.back(), bareRates.back(), ratios.back());
    }
    close(l);
    double srvMedian = Median(srvRates), bareMedian = Median(bareRates);
    Figures("frame server: median %.0f frames/s, bare accept/read/reply loop: median %.0f frames/s, "
            "ratio of medians %.2f, median ratio %.2f (goal >= 0.9; %d rounds of %d frames each)\n",
            srvMedian, bareMedian, srvMedian / bareMedian, Median(ratios), kRounds, kFrames);
    if (!RemoveBenchBoard(root))
        return 1;
    _exit(0);  // the server thread runs for ever
}
