// Fuzz target: the frame server's event loop with several clients on
// loopback, their bytes interleaved, half-closes, and a clock the input
// moves. Checks what clients see: the loop never holds more than its bound
// of connections, every client ends with a reply or a close (none is left
// waiting, none stays in the backlog), and a client that sent its whole
// frame with no pause as long as the idle limit gets a reply, 1 for a valid
// frame.
//
// Input: repeated [op][argument bytes]:
//   op % 6 == 0  connect a client: [len] [len % 65 data bytes] [flags]:
//                bit 0 spoils one byte of the frame at [flags >> 1]
//   op % 6 == 1  [k] [n]: client k writes the next n % 32 + 1 bytes
//   op % 6 == 2  [k]: client k writes the rest of its frame
//   op % 6 == 3  [k]: client k closes its sending side
//   op % 6 == 4  [t]: the clock moves t * 20 ms
//   op % 6 == 5  one round of the loop
#include "Comm/framecodec.h"
#include "Comm/ipcomm.h"
#include "Comm/ipserver_loop.h"
#include "support/fuzz_support.h"
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kClients = 40;  // beyond the loop's bound, within the backlog

int g_listen = -1;
sockaddr_in g_at;
U64 g_now = 1000000;

U64 Clock() { return g_now; }

// A stand-in for the dispatcher: 1 for a frame that passes its checks, 2
// for anything else.
void Serve(S32 fd, U8* frame, U32 len)
{
    static ST_ZR_IPCOMM rec;
    if (len > 4096)
        abort();
    if (FrameCodec_Decode(frame, len, &rec) == ZR_SUCCESS)
        IPComm_ResponseSuccess(fd);
    else
        IPComm_ResponseError(fd);
}

void Fail(const char* what)
{
    fprintf(stderr, "ipserver_loop_fuzz: %s\n", what);
    abort();
}

int OpenFds()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr)
            n++;
        closedir(d);
    }
    return n;
}

struct Client {
    int fd = -1;
    std::vector<U8> frame;
    size_t sent = 0;
    bool valid = false;
    bool shut = false;
    U64 started = 0, last = 0, maxGap = 0;
    U64 wholeAt = 0;  // when the last byte of the frame was written
    std::vector<U8> reply;
    bool ended = false;  // the loop closed the connection

    bool Whole() const { return sent == frame.size(); }
};

// Bytes written on loopback are in the server's socket once the peer has
// acknowledged them; waiting for that keeps the input's order of events.
// Bounded in time, not in tries: beside busy tests a low-priority fuzzer's
// yield can cost a whole time slice.
void Delivered(int fd)
{
    timespec t0, t;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (;;) {
        int queued = 0;
        if (ioctl(fd, SIOCOUTQ, &queued) != 0 || queued == 0)
            return;
        clock_gettime(CLOCK_MONOTONIC, &t);
        if ((t.tv_sec - t0.tv_sec) * 1000 + (t.tv_nsec - t0.tv_nsec) / 1000000 > 500)
            return;
        sched_yield();
    }
}

void Write(Client& c, size_t n)
{
    if (c.shut || c.Whole() || n == 0)
        return;
    n = std::min(n, c.frame.size() - c.sent);
    ssize_t w = send(c.fd, c.frame.data() + c.sent, n, MSG_NOSIGNAL);
    if (w <= 0)
        return;  // closed by the loop
    c.sent += (size_t)w;
    c.maxGap = std::max(c.maxGap, g_now - c.last);
    c.last = g_now;
    if (c.Whole())
        c.wholeAt = g_now;
    Delivered(c.fd);
}

// Takes what the loop sent; true once the client has its outcome.
bool Collect(Client& c)
{
    while (!c.ended) {
        U8 buf[64];
        ssize_t n = recv(c.fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0)
            c.reply.insert(c.reply.end(), buf, buf + n);
        else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            c.ended = true;
        else
            break;
    }
    return c.ended;
}

void Connect(std::vector<Client>& cs, FuzzReader& in)
{
    size_t len = in.U8() % 65;
    FuzzInput body = in.Bytes(len);
    U8 flags = in.U8();
    if (cs.size() >= kClients)
        return;
    static ST_ZR_IPCOMM rec;
    memset(&rec, 0, sizeof(rec));
    rec.u8SlotID = 16;
    rec.u16CMD = IPCOMM_SEND_DATA;
    rec.u32CurTansNum = 0;
    rec.u32SumTansNum = 1;
    rec.u32Length = (U32)body.size();
    if (!body.empty())
        memcpy(rec.pu8Data, body.data(), body.size());
    Client c;
    c.frame.resize(IPCOMM_MAX_FRAME_LEN);
    c.frame.resize(FrameCodec_Encode(&rec, c.frame.data()));
    c.valid = true;
    if (flags & 1) {
        c.frame[(flags >> 1) % c.frame.size()] ^= 0x5A;
        c.valid = false;
    }
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (c.fd < 0 || connect(c.fd, reinterpret_cast<sockaddr*>(&g_at), sizeof(g_at)) != 0)
        Fail("cannot connect to the loop's listener");
    // No TIME_WAIT left behind: the ports are needed by the next inputs.
    linger lg = {1, 0};
    setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    c.started = c.last = g_now;
    cs.push_back(std::move(c));
}

void Round(FrameServerLoop& loop)
{
    loop.Round(g_listen, 0);
    if (loop.Open() > FrameServerLoop::kMaxOpen)
        Fail("more connections open than the bound");
}

}  // namespace

void FuzzSetUp()
{
    g_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    memset(&g_at, 0, sizeof(g_at));
    g_at.sin_family = AF_INET;
    g_at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(g_at);
    if (g_listen < 0 || bind(g_listen, reinterpret_cast<sockaddr*>(&g_at), sizeof(g_at)) != 0 ||
        listen(g_listen, 64) != 0 || getsockname(g_listen, reinterpret_cast<sockaddr*>(&g_at), &len) != 0)
        Fail("cannot listen on loopback");
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    // Three clients: one whole at once, one in pieces with pauses, one silent.
    seeds.push_back({0, 4, 1, 2, 3, 4, 0, 2, 0, 5, 0, 8, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0, 1, 1, 5, 4, 10,
                     5, 1, 1, 9, 5, 0, 0, 0, 4, 200, 5, 4, 200, 5, 2, 1, 5});
    // More clients than the bound, most of them silent, then one that sends.
    FuzzInput many;
    for (int i = 0; i < 36; i++)
        many.insert(many.end(), {0, 0, 0});
    many.insert(many.end(), {5, 5, 4, 60, 5, 5, 2, 35, 5, 5});
    seeds.push_back(many);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int fdsBefore = OpenFds();
    std::vector<Client> cs;
    cs.reserve(kClients);
    {
        FrameServerLoop loop(Serve, Clock);
        FuzzReader in(data, size);
        while (in.Left() > 0) {
            U8 op = in.U8();
            switch (op % 6) {
            case 0:
                Connect(cs, in);
                break;
            case 1: {
                U8 k = in.U8(), n = in.U8();
                if (!cs.empty())
                    Write(cs[k % cs.size()], (size_t)(n % 32) + 1);
                break;
            }
            case 2: {
                U8 k = in.U8();
                if (!cs.empty())
                    Write(cs[k % cs.size()], IPCOMM_MAX_FRAME_LEN);
                break;
            }
            case 3: {
                U8 k = in.U8();
                if (!cs.empty() && !cs[k % cs.size()].shut) {
                    Client& c = cs[k % cs.size()];
                    shutdown(c.fd, SHUT_WR);
                    c.shut = true;
                    Delivered(c.fd);
                }
                break;
            }
            case 4:
                g_now += (U64)in.U8() * 20;
                break;
            default:
                Round(loop);
                break;
            }
        }
        // Time goes on until every client has its outcome: each connection's
        // wait ends, and those in the backlog are taken in turn.
        for (int i = 0; i < 2000; i++) {
            bool all = true;
            for (Client& c : cs)
                all = Collect(c) && all;
            if (all && loop.Open() == 0)
                break;
            g_now += 100;
            Round(loop);
        }
        for (Client& c : cs) {
            pollfd p = {c.fd, POLLIN, 0};
            while (!Collect(c) && poll(&p, 1, 1000) > 0) {
            }
            if (!c.ended)
                Fail("a client was left waiting: neither answered nor closed");
            bool replied = c.reply.size() >= IPCOMM_MIN_FRAME_LEN;
            ST_ZR_IPCOMM rec;
            U16 code = replied && FrameCodec_Decode(c.reply.data(), c.reply.size(), &rec) == ZR_SUCCESS ? rec.u16CMD : 0;
            if (replied && code == 0)
                Fail("a reply that fails its checks");
            // Sent whole, never pausing as long as the idle limit and within
            // the read wait: it must have been answered, 1 when valid.
            bool normal = c.Whole() && c.maxGap < FrameServerLoop::kIdleMs &&
                          c.wholeAt - c.started < IPCOMM_SERVER_READ_WAIT_MS;
            if (normal && !replied)
                Fail("a whole frame sent at a normal rate was closed unanswered");
            if (normal && c.valid && code != IPCOMM_SUCCESS_CMD)
                Fail("a whole valid frame was not answered 1");
        }
        if (loop.Open() != 0)
            Fail("connections still open after every client ended");
        if (accept4(g_listen, nullptr, nullptr, SOCK_CLOEXEC) >= 0)
            Fail("a client was left in the listen backlog");
    }
    for (Client& c : cs)
        close(c.fd);
    if (OpenFds() != fdsBefore)
        Fail("descriptors leaked");
    return 0;
}
