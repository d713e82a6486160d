// A peer of the frame link for tests and benchmarks: listens on its own
// loopback address, records every frame it receives (with the card's frame
// codec) and answers as told.
#pragma once
#include "Comm/framecodec.h"
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct PeerFrame {
    std::vector<U8> raw;  // the bytes as received
    ST_ZR_IPCOMM rec;     // decoded (command 0 when the frame failed its checks)
};

class FramePeer {
public:
    enum class Mode { Reply, Mute };
    // addr: host-order loopback address to bind (for example 0x7FA8011E);
    // port 0 picks a free one.
    FramePeer(U32 addr, U16 port, U8 ownSlot = 16);
    ~FramePeer();
    U16 Port() const { return m_port; }
    bool Listening() const { return m_fd >= 0; }
    void SetMode(Mode m) { m_mode = m; }
    // Reply code for the next frames (1 by default); the first n frames get
    // failCode instead.
    void SetReply(U16 code) { m_reply = code; }
    void FailFirst(int n, U16 failCode) { m_failLeft = n; m_failCode = failCode; }
    std::vector<PeerFrame> Frames();
    size_t Count();

    // A client of the card: sends one raw frame on a new connection and
    // returns what came back (empty when the card closed without a reply).
    static std::vector<U8> Exchange(U32 addr, U16 port, const std::vector<U8>& frame, int waitMs = 5000);
    static std::vector<U8> Build(U8 slot, U16 cmd, U32 idx, U32 total, const std::vector<U8>& data);

private:
    void Run();
    int m_fd = -1;
    U16 m_port = 0;
    U8 m_slot;
    std::atomic<bool> m_stop{false};
    std::atomic<Mode> m_mode{Mode::Reply};
    std::atomic<U16> m_reply{1};
    std::atomic<int> m_failLeft{0};
    std::atomic<U16> m_failCode{2};
    std::mutex m_mutex;
    std::vector<PeerFrame> m_frames;
    std::thread m_thread;
};

// Frame bytes as lower-case hex, for comparing with reference frames.
std::string Hex(const std::vector<U8>& b);

// Stands in for the slave chip's chip-link server: a peer on the slave's
// address (slot 3, the test board's) that answers every frame with 1. The
// chip link moves to the peer's port while it lives.
struct ChipLinkStandIn {
    ChipLinkStandIn();
    ~ChipLinkStandIn();
    FramePeer peer;
};
