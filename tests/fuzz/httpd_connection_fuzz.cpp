// Fuzz target: the HTTP server's connection state machine with the card's
// modules loaded (index file, static files with entity tags and conditional
// requests, a folder listing where enabled) and POSTs to the web back end,
// fed arbitrary byte streams through a connected socket, cut into pieces at
// arbitrary points; every answer starts with a status line and nothing
// leaks. Streams naming a back-end command that reboots or pauses are
// skipped (web_fuzz covers their bodies).
//
// Input: repeated [u8 n][n + 1 bytes of the stream].
#include "CommonModules/httpd/configfile.h"
#include "support/fuzz_support.h"
#include "support/httpd_harness.h"
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/socket.h>

namespace {

HttpdHarness* g_h = nullptr;

void Drain(int fd, std::string& got)
{
    char buf[65536];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT)) > 0)
        got.append(buf, (size_t)n);
}

// A stream as pieces of at most 256 bytes.
FuzzInput Pieces(const std::string& s)
{
    FuzzInput in;
    for (size_t pos = 0; pos < s.size(); pos += 256) {
        size_t n = std::min<size_t>(256, s.size() - pos);
        in.push_back((U8)(n - 1));
        in.insert(in.end(), s.begin() + (long)pos, s.begin() + (long)(pos + n));
    }
    return in;
}

}  // namespace

void FuzzSetUp()
{
    namespace fs = std::filesystem;
    plat::MakeDirs("/httpdh/up/");
    plat::MakeDirs("/httpdh/web/d/");
    plat::MakeDirs("/httpdh/web/list/sub/");
    plat::MakeDirs(HTTPD_MODULES_DIR);
    for (const char* mod : {"mod_index", "mod_dirlist", "mod_static"})
        fs::copy_file(std::string(MODCARD_HTTPD_MODULE_DIR) + "/" + mod + ".so",
                      plat::Path(std::string(HTTPD_MODULES_DIR) + "/" + mod + ".so"),
                      fs::copy_options::overwrite_existing);
    const std::string index = "<html><body>card</body></html>\n", text(3000, 'x');
    plat::WriteFileAtomic("/httpdh/web/index.html", index.data(), index.size(), false);
    plat::WriteFileAtomic("/httpdh/web/d/a.css", text.data(), text.size(), false);
    plat::WriteFileAtomic("/httpdh/web/list/b.txt", text.data(), 10, false);
    g_h = new HttpdHarness;
    const char* conf = "server.document-root = \"/httpdh/web\"\n"
                       "server.upload-dirs = ( \"/httpdh/up\" )\n"
                       "server.max-request-size = 64\n"
                       "server.modules = ( \"mod_index\", \"mod_dirlist\", \"mod_static\" )\n"
                       "index-file.names = ( \"index.html\" )\n"
                       "mimetype.assign = ( \".html\" => \"text/html\", \".css\" => \"text/css\" )\n"
                       "$HTTP[\"url\"] == \"/list/\" {\n  dir-listing.activate = \"enable\"\n}\n";
    if (!g_h->Start(conf, true))
        abort();
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    seeds.push_back(Pieces("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    seeds.push_back(Pieces("GET /d/a.css HTTP/1.1\r\nHost: x\r\nIf-None-Match: \"1-2-3\"\r\n"
                           "If-Modified-Since: Thu, 01 Jan 2026 00:00:00 GMT\r\n\r\n"
                           "HEAD /index.html HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
    seeds.push_back(Pieces("GET /list/ HTTP/1.1\r\nHost: x\r\n\r\nGET /d HTTP/1.0\r\n\r\n"));
    seeds.push_back(Pieces("GET /d/a.css HTTP/1.1\r\nHost: x\r\nRange: bytes=10-20\r\n\r\n"));
    seeds.push_back(Pieces("POST /GetSubboardDetail.w HTTP/1.1\r\nHost: x\r\nContent-Length: 13\r\n\r\n"
                           "{\"token\":\"t\"}"));
    // A head that asks leave for its body, the body in a piece of its own.
    FuzzInput expect = Pieces("POST /GetSubboardDetail.w HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
                              "Content-Length: 13\r\n\r\n");
    FuzzInput body = Pieces("{\"token\":\"t\"}");
    expect.insert(expect.end(), body.begin(), body.end());
    seeds.push_back(expect);
    seeds.push_back(Pieces("GET / HTTP/1.1\nHost: x\n\nGET / HTTP/1.1\r\nHost: x\r\n\n"));
    // Lines that end in a bare CR, and a CR whose LF comes in the next piece.
    seeds.push_back(Pieces("GET / HTTP/1.1\rHost: x\r\r"));
    FuzzInput split = Pieces("GET / HTTP/1.1\r");
    FuzzInput rest = Pieces("\nHost: x\r\nA: b\rc\r\n\r\n");
    split.insert(split.end(), rest.begin(), rest.end());
    seeds.push_back(split);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (FuzzNamesSlowWebCommand(std::string(reinterpret_cast<const char*>(data), size)))
        return 0;
    HttpdHarness* h = g_h;
    // Uploads that expect 100 Continue: refused with 417, or let go on.
    h->srv->srvconf.reject_expect_100_with_417 = size & 1;
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
