// Fuzz target: byte streams of frame-server connections, each written in
// pieces split at arbitrary points, read as the server reads them, checked,
// reassembled and dispatched.
//
// Input: repeated [u8 split][u16 length][length bytes]: one connection's
// stream, delivered in pieces of (split % 64) + 1 bytes. Bit 7 of split
// gives the stream's first frame its right CRC, so that changed contents
// reach the handlers.
#include "Comm/framecodec.h"
#include "Comm/ipcomm.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp_db.h"
#include "support/fuzz_support.h"
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A thread made once and given one job at a time: starting two threads for
// every stream took longer than the stream's whole handling.
class Worker {
public:
    Worker() : thread_([this] { Loop(); }) {}
    void Start(std::function<void()> job)
    {
        std::lock_guard<std::mutex> l(m_);
        job_ = std::move(job);
        cv_.notify_all();
    }
    void Wait()
    {
        std::unique_lock<std::mutex> l(m_);
        cv_.wait(l, [this] { return !job_; });
    }

private:
    void Loop()
    {
        std::unique_lock<std::mutex> l(m_);
        for (;;) {
            cv_.wait(l, [this] { return static_cast<bool>(job_); });
            l.unlock();
            job_();
            l.lock();
            job_ = nullptr;
            cv_.notify_all();
        }
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::function<void()> job_;
    std::thread thread_;
};

// Never destroyed: their threads run until the process ends.
Worker* g_peer;
Worker* g_reply;

U32 LE32(const U8* p) { return (U32)p[0] | (U32)p[1] << 8 | (U32)p[2] << 16 | (U32)p[3] << 24; }

// Re-encodes the frame at the front of the stream with its CRC.
void Seal(FuzzInput& s)
{
    if (s.size() < IPCOMM_HEADER_LEN)
        return;
    size_t want = FrameCodec_ExpectedLen(s.data());
    if (want == 0 || want > s.size())
        return;
    static ST_ZR_IPCOMM rec;
    rec.u8SlotID = s[0];
    rec.u8Res = s[1];
    rec.u16CMD = (U16)(s[2] | s[3] << 8);
    rec.u32CurTansNum = LE32(&s[4]);
    rec.u32SumTansNum = LE32(&s[8]);
    rec.u32Length = LE32(&s[12]);
    memcpy(rec.pu8Data, &s[IPCOMM_HEADER_LEN], rec.u32Length);
    FrameCodec_Encode(&rec, s.data());
}

// One frame of a command, sealed by the target.
FuzzInput Frame(U16 cmd, const FuzzInput& body = {})
{
    static ST_ZR_IPCOMM rec;
    memset(&rec, 0, sizeof(rec));
    rec.u8SlotID = 3;
    rec.u16CMD = cmd;
    rec.u32CurTansNum = 1;
    rec.u32SumTansNum = 1;
    rec.u32Length = (U32)body.size();
    if (!body.empty())
        memcpy(rec.pu8Data, body.data(), body.size());
    static U8 out[IPCOMM_MAX_FRAME_LEN];
    size_t n = FrameCodec_Encode(&rec, out);
    FuzzInput in{0x80 | 63, (U8)n, (U8)(n >> 8)};
    in.insert(in.end(), out, out + n);
    return in;
}

}  // namespace

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    seeds.push_back(Frame(IPCOMM_SEND_TS, FuzzInput(8, 0)));
    seeds.push_back(Frame(IPCOMM_SEND_TSP_MUX_PROCESS));
    seeds.push_back(Frame(IPCOMM_SEND_RESOUR, FuzzInput(16, 0)));
    seeds.push_back(Frame(IPCOMM_SEND_IP, {192, 168, 10, 3}));
}

void FuzzSetUp()
{
    Status_SetSlotID(3);
    TSP_FactoryOutputTSInfo();
    g_peer = new Worker;
    g_reply = new Worker;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t pos = 0;
    while (pos + 3 <= size) {
        size_t piece = (size_t)(data[pos] % 64) + 1;
        size_t len = (size_t)data[pos + 1] | (size_t)data[pos + 2] << 8;
        pos += 3;
        if (len > size - pos)
            len = size - pos;
        FuzzInput bytes(data + pos, data + pos + len);
        if (data[pos - 3] & 0x80)
            Seal(bytes);
        const uint8_t* stream = bytes.data();
        pos += len;
        // The reboot request waits 5 s before rebooting: not a parser path.
        if (len >= 4 && (stream[2] | stream[3] << 8) == IPCOMM_REQ_REBOOT)
            continue;
        int in[2], out[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, in) != 0 || socketpair(AF_UNIX, SOCK_STREAM, 0, out) != 0)
            abort();
        // The peer writes while the server reads, and the reply is drained as
        // it comes: small pieces or a long reply would otherwise fill a
        // socket buffer that nobody empties.
        g_peer->Start([&] {
            for (size_t off = 0; off < len; off += piece)
                if (send(in[1], stream + off, len - off < piece ? len - off : piece, MSG_NOSIGNAL) < 0)
                    break;
            shutdown(in[1], SHUT_WR);
        });
        g_reply->Start([&] {
            char sink[4096];
            while (read(out[1], sink, sizeof(sink)) > 0) {
            }
        });
        static U8 buf[4096];
        static ST_ZR_IPCOMM rec;
        S32 n = IPComm_RecvFrame(in[0], buf, sizeof(buf), 1000);
        memset(&rec, 0, sizeof(rec));
        IPComm_ParseData(buf, n, &rec);
        IPComm_Response(out[0], &rec);
        shutdown(in[0], SHUT_RDWR);  // a peer still sending gets an error
        shutdown(out[0], SHUT_RDWR);
        g_peer->Wait();
        g_reply->Wait();
        for (int fd : {in[0], in[1], out[0], out[1]})
            close(fd);
    }
    return 0;
}
