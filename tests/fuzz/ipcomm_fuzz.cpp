// Fuzz target: byte streams of frame-server connections, each written in
// pieces split at arbitrary points, read as the server reads them, checked,
// reassembled and dispatched.
//
// Input: repeated [u8 split][u16 length][length bytes]: one connection's
// stream, delivered in pieces of (split % 64) + 1 bytes.
#include "Comm/ipcomm.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp_db.h"
#include "support/fuzz_support.h"
#include <cstring>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

void FuzzSetUp()
{
    Status_SetSlotID(3);
    TSP_FactoryOutputTSInfo();
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
        const uint8_t* stream = data + pos;
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
        std::thread peer([&] {
            for (size_t off = 0; off < len; off += piece)
                if (send(in[1], stream + off, len - off < piece ? len - off : piece, MSG_NOSIGNAL) < 0)
                    break;
            shutdown(in[1], SHUT_WR);
        });
        std::thread reply([&] {
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
        peer.join();
        reply.join();
        for (int fd : {in[0], in[1], out[0], out[1]})
            close(fd);
    }
    return 0;
}
