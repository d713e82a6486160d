// Fuzz target: the HTTP server's connection state machine fed arbitrary
// byte streams through a connected socket, cut into pieces at arbitrary
// points; every answer starts with a status line and nothing leaks.
#include "support/fuzz_support.h"
#include "support/httpd_harness.h"
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/socket.h>

namespace {

HttpdHarness* Harness()
{
    static HttpdHarness* h = [] {
        plat::MakeDirs("/httpdh/up/");
        auto* hh = new HttpdHarness;
        const char* conf = "server.document-root = \"/httpdh/web\"\n"
                           "server.upload-dirs = ( \"/httpdh/up\" )\n"
                           "server.max-request-size = 64\n";
        if (!hh->Start(conf, false))
            abort();
        return hh;
    }();
    return h;
}

void Drain(int fd, std::string& got)
{
    char buf[65536];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT)) > 0)
        got.append(buf, (size_t)n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    HttpdHarness* h = Harness();
    connection* con = nullptr;
    int fd = h->Connect(&con);
    if (fd < 0 || con == nullptr)
        abort();
    std::string got;
    // Each piece: one length byte, then that many bytes of the stream.
    size_t pos = 0;
    while (pos < size) {
        size_t len = std::min<size_t>(data[pos] + 1u, size - pos - 1);
        pos++;
        if (len && send(fd, data + pos, len, MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
            break;
        pos += len;
        h->Run(2, 0);
        Drain(fd, got);
    }
    shutdown(fd, SHUT_WR);
    for (int i = 0; i < 8 && h->srv->conns->used; ++i) {
        h->Run(1, 1);
        Drain(fd, got);
    }
    close(fd);
    // A lingering connection whose peer is gone ends at the next pass.
    for (int i = 0; i < 4 && h->srv->conns->used; ++i)
        h->Run(1, 1);
    if (h->srv->conns->used != 0)
        abort();
    if (!got.empty() && got.compare(0, 7, "HTTP/1.") != 0)
        abort();
    return 0;
}
