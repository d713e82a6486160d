// The frame server's event loop: reads the frames of the accepted
// connections side by side and hands each whole one to a serve function on
// the calling thread, one after the other.
#pragma once
#include "Common/types.h"
#include <cstddef>
#include <memory>
#include <poll.h>
#include <vector>

class FrameServerLoop {
public:
    // Connections open at once; further clients wait in the listen backlog.
    static constexpr size_t kMaxOpen = 32;
    // A connection that has sent nothing for this long may be closed to make
    // room for a waiting client; one sending its frame never is.
    static constexpr U64 kIdleMs = 1000;

    // serve: acts on a frame (or what came before the peer closed or its wait
    // ended) and answers on fd; the loop closes fd afterwards. clock: now, ms.
    using ServeFn = void (*)(S32 fd, U8* frame, U32 len);
    using ClockFn = U64 (*)();
    FrameServerLoop(ServeFn serve, ClockFn clock);
    ~FrameServerLoop();  // closes the connections still open
    FrameServerLoop(const FrameServerLoop&) = delete;
    FrameServerLoop& operator=(const FrameServerLoop&) = delete;

    // One round on a non-blocking listening socket: waits for readable
    // sockets, at most maxWaitMs (-1: until a connection's wait ends), reads,
    // makes room or accepts one waiting client, and serves every connection
    // whose frame is whole, whose peer closed or whose wait ended.
    void Round(S32 listenFd, int maxWaitMs);
    size_t Open() const { return conns_.size(); }

private:
    struct Conn;
    void Read(Conn& c, U64 now);
    static bool Due(const Conn& c, U64 now);
    bool MakeRoom(U64 now);
    void Accept(S32 listenFd, U64 now);
    ServeFn serve_;
    ClockFn clock_;
    std::vector<std::unique_ptr<Conn>> conns_;  // in order of acceptance
    std::vector<std::unique_ptr<Conn>> spare_;  // buffers kept for reuse
    std::vector<struct pollfd> fds_;
};
