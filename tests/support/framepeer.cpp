#include "support/framepeer.h"
#include "Driver/Socket/socket.h"
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in Addr(U32 addr, U16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(addr);
    return a;
}

// Reads until the header's length is complete, the peer closes or the wait ends.
std::vector<U8> ReadFrame(int fd, int waitMs)
{
    std::vector<U8> buf(4096);
    size_t got = 0, want = IPCOMM_HEADER_LEN;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (got < want) {
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                       .count();
        pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0)
            break;
        ssize_t n = recv(fd, buf.data() + got, buf.size() - got, 0);
        if (n <= 0)
            break;
        got += (size_t)n;
        if (got >= IPCOMM_HEADER_LEN && (want = FrameCodec_ExpectedLen(buf.data())) == 0)
            break;
    }
    buf.resize(got);
    return buf;
}

}  // namespace

FramePeer::FramePeer(U32 addr, U16 port, U8 ownSlot) : m_slot(ownSlot)
{
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a = Addr(addr, port);
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(m_fd, 16) != 0) {
        close(m_fd);
        m_fd = -1;
        return;
    }
    socklen_t len = sizeof(a);
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    m_thread = std::thread([this] { Run(); });
}

FramePeer::~FramePeer()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0)
        close(m_fd);
}

void FramePeer::Run()
{
    while (!m_stop) {
        pollfd p = {m_fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        int c = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            continue;
        PeerFrame f;
        f.raw = ReadFrame(c, 2000);
        memset(&f.rec, 0, sizeof(f.rec));
        FrameCodec_Decode(f.raw.data(), f.raw.size(), &f.rec);
        {
            std::lock_guard<std::mutex> lk(m_mutex);
            m_frames.push_back(f);
        }
        if (m_mode == Mode::Mute) {
            // Holds the connection open without a word until told to stop.
            while (!m_stop) {
                pollfd q = {c, POLLIN, 0};
                if (poll(&q, 1, 50) > 0) {
                    char b[64];
                    if (recv(c, b, sizeof(b), 0) <= 0)
                        break;
                }
            }
        } else {
            U16 code = m_reply;
            if (m_failLeft > 0) {
                m_failLeft--;
                code = m_failCode;
            }
            std::vector<U8> r = Build(m_slot, code, 0, 1, {});
            send(c, r.data(), r.size(), MSG_NOSIGNAL);
        }
        close(c);
    }
}

std::vector<PeerFrame> FramePeer::Frames()
{
    std::lock_guard<std::mutex> lk(m_mutex);
    return m_frames;
}

size_t FramePeer::Count()
{
    std::lock_guard<std::mutex> lk(m_mutex);
    return m_frames.size();
}

std::vector<U8> FramePeer::Build(U8 slot, U16 cmd, U32 idx, U32 total, const std::vector<U8>& data)
{
    ST_ZR_IPCOMM rec;
    memset(&rec, 0, sizeof(rec));
    rec.u8SlotID = slot;
    rec.u16CMD = cmd;
    rec.u32CurTansNum = idx;
    rec.u32SumTansNum = total;
    rec.u32Length = (U32)data.size();
    if (!data.empty())
        memcpy(rec.pu8Data, data.data(), data.size() > IPCOMM_MAX_DATA_LEN ? IPCOMM_MAX_DATA_LEN : data.size());
    std::vector<U8> out(IPCOMM_MAX_FRAME_LEN);
    out.resize(FrameCodec_Encode(&rec, out.data()));
    return out;
}

std::vector<U8> FramePeer::Exchange(U32 addr, U16 port, const std::vector<U8>& frame, int waitMs)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Addr(addr, port);
    std::vector<U8> reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
        send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
        reply = ReadFrame(fd, waitMs);
    }
    close(fd);
    return reply;
}

ChipLinkStandIn::ChipLinkStandIn() : peer(0x7FBC036Fu, 0) { socket_SetMacCommPort(peer.Port()); }
ChipLinkStandIn::~ChipLinkStandIn() { socket_SetMacCommPort(0); }

std::string Hex(const std::vector<U8>& b)
{
    std::string s;
    char t[3];
    for (U8 c : b) {
        snprintf(t, sizeof(t), "%02x", c);
        s += t;
    }
    return s;
}
