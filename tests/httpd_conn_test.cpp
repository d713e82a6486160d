// HTTP server: network writers and their limits, the connection state
// machine on real sockets (limits, refusals, uploads, 100 Continue, bare line
// ends, time-outs), the response's path rules and helpers, and the server
// thread's stop/restart.
#include "support/httpd_harness.h"
#include "support/testboard.h"
#include "CommonModules/httpd/log.h"
#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>

namespace {

const char* kConf = "server.document-root = \"/httpdh/web\"\n"
                    "server.upload-dirs = ( \"/httpdh/up\" )\n"
                    "mimetype.assign = ( \".txt\" => \"text/plain\" )\n";

void InstallModules()
{
    namespace fs = std::filesystem;
    std::string lib = TestBoardRoot() + "/tarvex_app/tools/httpd/lib";
    fs::create_directories(lib);
    for (const char* m : {"mod_index", "mod_dirlist", "mod_static"})
        fs::copy_file(std::string(MODCARD_BUILD_DIR) + "/httpd_modules/" + m + ".so", lib + "/" + m + ".so",
                      fs::copy_options::overwrite_existing);
}

std::string Real(const std::string& sysPath)
{
    return plat::Path(sysPath);
}

class HttpdConn : public ::testing::Test {
protected:
    HttpdHarness h;
    std::string logPath;

    void SetUp() override
    {
        InstallModules();
        std::filesystem::remove_all(Real("/httpdh"));
        plat::MakeDirs("/httpdh/up/");
        plat::MakeDirs("/httpdh/web/");
        plat::WriteFileAtomic("/httpdh/web/a.txt", "hello\n", 6, false);
        ASSERT_TRUE(h.Start(kConf, true));
        logPath = Real("/httpdh/error.log");
        h.srv->errorlog_mode = ERRORLOG_FILE;
        h.srv->errorlog_fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    }
    void TearDown() override { close(h.srv->errorlog_fd); }

    // Sends a request and collects the answer until the server closes, the
    // head and Content-Length bytes are in, or two seconds pass.
    std::string Exchange(int fd, const std::string& req)
    {
        if (!req.empty()) {
            EXPECT_EQ(send(fd, req.data(), req.size(), MSG_NOSIGNAL), (ssize_t)req.size());
        }
        std::string out;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < end) {
            h.Run(1, 5);
            char buf[65536];
            ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
            if (n == 0)
                break;
            if (n > 0)
                out.append(buf, (size_t)n);
            size_t head = out.find("\r\n\r\n");
            size_t cl = out.find("Content-Length: ");
            if (head != std::string::npos && cl != std::string::npos && cl < head &&
                out.size() >= head + 4 + std::stoul(out.substr(cl + 16)))
                break;
        }
        return out;
    }
};

TEST_F(HttpdConn, WritersKeepTheBudgetAndTheBandwidthLimit)
{
    connection* con = nullptr;
    int fd = h.Connect(&con);
    ASSERT_NE(con, nullptr);
    int big = 4 << 20;
    setsockopt(con->fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    std::string body(300 * 1024, 'x');
    chunkqueue* cq = chunkqueue_init();
    chunkqueue_append_mem(cq, body.data(), body.size() + 1);
    EXPECT_EQ(network_write_chunkqueue(h.srv, con, cq, 256 * 1024), 1);
    EXPECT_EQ(con->bytes_written, 256 * 1024);

    // A 10 KiB/s scope whose counter is full writes nothing this second.
    con->conf.global_kbytes_per_second = 10;
    *con->conf.global_bytes_per_second_cnt_ptr = 10240;
    EXPECT_EQ(network_write_chunkqueue(h.srv, con, cq, 256 * 1024), 1);
    EXPECT_EQ(con->traffic_limit_reached, 1);
    EXPECT_EQ(con->bytes_written, 256 * 1024);
    chunkqueue_free(cq);
    close(fd);
}

TEST_F(HttpdConn, AFileThatShrinksBetweenWindowsFailsOnlyItsConnection)
{
    std::string data(1536 * 1024, 'f');
    plat::WriteFileAtomic("/httpdh/web/big.bin", data.data(), data.size(), false);
    connection* con = nullptr;
    int fd = h.Connect(&con);
    int big = 4 << 20;
    setsockopt(con->fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    chunkqueue* cq = chunkqueue_init();
    buffer* name = buffer_init_string("/httpdh/web/big.bin");
    chunkqueue_append_file(cq, name, 0, (off32_t)data.size());
    EXPECT_EQ(network_write_chunkqueue(h.srv, con, cq, 256 * 1024), 1);
    EXPECT_EQ(network_write_chunkqueue(h.srv, con, cq, 256 * 1024), 1);  // first window done
    ASSERT_EQ(truncate(Real("/httpdh/web/big.bin").c_str(), 600 * 1024), 0);
    EXPECT_EQ(network_write_chunkqueue(h.srv, con, cq, 256 * 1024), -1);
    EXPECT_NE(Slurp(logPath).find("file was shrinked:"), std::string::npos);
    buffer_free(name);
    chunkqueue_free(cq);
    close(fd);
}

TEST_F(HttpdConn, KeptFileWindowsFollowTheFileAndOutliveTheirEntry)
{
    const std::string one(8192, '1'), two(8192, '2');
    plat::WriteFileAtomic("/httpdh/web/w.bin", one.data(), one.size(), false);
    buffer* name = buffer_init_string("/httpdh/web/w.bin");
    auto drain = [](int fd) {
        std::string got;
        char buf[16384];
        for (ssize_t n; (n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT)) > 0;)
            got.append(buf, (size_t)n);
        return got;
    };
    connection *conA = nullptr, *conB = nullptr;
    int a = h.Connect(&conA), b = h.Connect(&conB);
    chunkqueue* qa = chunkqueue_init();
    chunkqueue_append_file(qa, name, 0, (off32_t)one.size());
    EXPECT_EQ(network_write_chunkqueue(h.srv, conA, qa, 4096), 1);
    EXPECT_EQ(drain(a), one.substr(0, 4096));

    // Replaced (a new file behind the name) once the stat cache looks again:
    // a new response sends the new bytes.
    plat::WriteFileAtomic("/httpdh/web/w.bin", two.data(), two.size(), false);
    h.srv->cur_ts += 1;
    chunkqueue* qb = chunkqueue_init();
    chunkqueue_append_file(qb, name, 0, (off32_t)two.size());
    EXPECT_EQ(network_write_chunkqueue(h.srv, conB, qb, 65536), 0);
    EXPECT_EQ(drain(b), two);

    // The first response still sends the file it began with, after the
    // cache has dropped every entry.
    h.srv->cur_ts += 5;
    stat_cache_trigger_cleanup(h.srv);
    EXPECT_EQ(h.srv->stat_cache->windows, 0);
    const std::string three(8192, '3');
    plat::WriteFileAtomic("/httpdh/web/w.bin", three.data(), three.size(), false);
    EXPECT_EQ(network_write_chunkqueue(h.srv, conA, qa, 65536), 0);
    EXPECT_EQ(drain(a), one.substr(4096));
    buffer_free(name);
    chunkqueue_free(qa);
    chunkqueue_free(qb);
    close(a);
    close(b);
}

TEST_F(HttpdConn, AMissingPathIsExaminedAgainOnlyInTheNextSecond)
{
    connection* con = nullptr;
    int fd = h.Connect(&con);
    buffer* name = buffer_init_string("/httpdh/web/late.bin");
    stat_cache_entry* sce = nullptr;
    EXPECT_EQ(stat_cache_get_entry(h.srv, con, name, &sce), HANDLER_ERROR);
    plat::WriteFileAtomic("/httpdh/web/late.bin", "x", 1, false);
    errno = 0;
    EXPECT_EQ(stat_cache_get_entry(h.srv, con, name, &sce), HANDLER_ERROR);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(sce, nullptr);
    h.srv->cur_ts += 1;
    ASSERT_EQ(stat_cache_get_entry(h.srv, con, name, &sce), HANDLER_GO_ON);
    EXPECT_EQ(sce->st.st_size, 1);

    // Made-up names are remembered only while the cache is small.
    for (int i = 0; i < 3000; ++i) {
        buffer_copy_string(name, ("/httpdh/web/none" + std::to_string(i)).c_str());
        EXPECT_EQ(stat_cache_get_entry(h.srv, con, name, &sce), HANDLER_ERROR);
    }
    EXPECT_LE(splaytree_size(h.srv->stat_cache->files), 1024);
    buffer_free(name);
    close(fd);
}

TEST_F(HttpdConn, OversizedHeadsAndBodiesAreRefusedAndNeverHandedOn)
{
    int fd = h.Connect();
    std::string r = Exchange(fd, "GET /" + std::string(70000, 'a'));
    EXPECT_EQ(r.rfind("HTTP/1.0 414", 0), 0u) << r.substr(0, 40);
    close(fd);

    // Over 64 MiB announced: 403 stays, the back end's 404 does not replace it.
    fd = h.Connect();
    r = Exchange(fd, "POST /Beat.w HTTP/1.1\r\nHost: x\r\nContent-Length: 67108865\r\n\r\n");
    EXPECT_EQ(r.rfind("HTTP/1.1 403", 0), 0u) << r.substr(0, 40);
    EXPECT_NE(Slurp(logPath).find("oversized request content_length 67108865 -> sending Status 403"),
              std::string::npos);
    close(fd);

    fd = h.Connect();
    // A POST that names no command of the back end: 404.
    r = Exchange(fd, "POST /nothing HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}");
    EXPECT_EQ(r.rfind("HTTP/1.1 404", 0), 0u) << r.substr(0, 40);
    close(fd);
}

TEST_F(HttpdConn, BodiesGrowAsTheyArriveAndUploadFilesEndWithTheRequest)
{
    connection* con = nullptr;
    int fd = h.Connect(&con);
    std::string head = "POST /Beat.w HTTP/1.1\r\nHost: x\r\nContent-Length: 8388608\r\n\r\n";
    Exchange(fd, head + std::string(10000, 'b'));
    ASSERT_EQ(con->state, CON_STATE_READ_POST);
    ASSERT_NE(con->request_content_queue->last, nullptr);
    EXPECT_LT(con->request_content_queue->last->mem->size, 1u << 20);
    close(fd);

    fd = h.Connect(&con);
    std::string body(200000, 'u');
    std::string req = "POST /ImportSiTable.w HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n";
    send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    send(fd, body.data(), 100000, MSG_NOSIGNAL);
    for (int i = 0; i < 20 && con->state != CON_STATE_READ_POST; ++i)
        h.Run(1, 5);
    h.Run(3, 5);
    std::string spooled = g_arcUpgradeFiledir;
    ASSERT_EQ(spooled.rfind("/httpdh/up/", 0), 0u) << spooled;
    EXPECT_TRUE(plat::Exists(spooled));
    std::string r = Exchange(fd, body.substr(100000));
    EXPECT_EQ(r.rfind("HTTP/1.1 200", 0), 0u) << r.substr(0, 40);  // the back end's JSON answer
    EXPECT_FALSE(plat::Exists(spooled));
    close(fd);
}

TEST_F(HttpdConn, UploadsInTheHeadsPacketLeaveToSendAndBareLineEnds)
{
    auto post = [](const std::string& extra, size_t length, const char* version = "1.1") {
        return std::string("POST /ImportSiTable.w HTTP/") + version + "\r\nHost: x\r\n" + extra +
               "Content-Length: " + std::to_string(length) + "\r\n\r\n";
    };
    // An upload whose whole body comes in the packet of its head is answered:
    // bodies below and above what is kept in memory before it is spooled.
    for (size_t n : {1u, 30000u, 65000u, 70000u}) {
        int fd = h.Connect();
        std::string r = Exchange(fd, post("", n) + std::string(n, 'u'));
        EXPECT_EQ(r.rfind("HTTP/1.1 200", 0), 0u) << n << ": " << r.substr(0, 40);
        close(fd);
    }

    // Expect: 100-continue. Refused with 417 where the configuration says so.
    int fd = h.Connect();
    std::string r = Exchange(fd, post("Expect: 100-continue\r\n", 10));
    EXPECT_EQ(r.rfind("HTTP/1.1 417", 0), 0u) << r.substr(0, 40);
    close(fd);
    // Otherwise leave to send, once the head is accepted; then the answer.
    h.srv->srvconf.reject_expect_100_with_417 = 0;
    // What has come once the server has handled what was sent (until want
    // bytes are in, or two seconds pass).
    auto arrived = [&](int fd, const std::string& req, size_t want) {
        send(fd, req.data(), req.size(), MSG_NOSIGNAL);
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        do {
            h.Run(1, 5);
            char buf[256];
            ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
            if (n > 0)
                got.append(buf, (size_t)n);
        } while (got.size() < want && std::chrono::steady_clock::now() < end);
        return got;
    };
    const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
    for (const char* version : {"1.1", "1.0"}) {
        bool leave = version[2] == '1';
        fd = h.Connect();
        EXPECT_EQ(arrived(fd, post("Expect: 100-Continue\r\n", 10, version), leave ? kContinue.size() : 0),
                  leave ? kContinue : "") << version;
        r = Exchange(fd, std::string(10, 'u'));
        EXPECT_EQ(r.rfind(std::string("HTTP/") + version + " 200", 0), 0u) << version << ": " << r.substr(0, 40);
        close(fd);
    }
    // No leave where the body came with the head.
    fd = h.Connect();
    r = Exchange(fd, post("Expect: 100-continue\r\n", 10) + std::string(10, 'u'));
    EXPECT_EQ(r.rfind("HTTP/1.1 200", 0), 0u) << r.substr(0, 40);
    close(fd);
    h.srv->srvconf.reject_expect_100_with_417 = 1;

    // A head whose lines end in a bare LF or a bare CR is answered 400 at once.
    for (const char* head : {"GET /a.txt HTTP/1.1\nHost: x\n\n", "GET /a.txt HTTP/1.1\r\nHost: x\n\r\n",
                             "GET /a.txt HTTP/1.1\r\nHost: x\r\n\n", "GET /a.txt HTTP/1.1\rHost: x\r\r",
                             "GET /a.txt HTTP/1.1\r\nHost: x\r\r"}) {
        fd = h.Connect();
        r = Exchange(fd, head);
        EXPECT_TRUE(r.rfind("HTTP/1.1 400", 0) == 0 || r.rfind("HTTP/1.0 400", 0) == 0) << head << r.substr(0, 40);
        close(fd);
    }
}

TEST_F(HttpdConn, HeadsAndBodiesMustArriveWholeWithinTheirDeadlines)
{
    // Bytes keep trickling in (the connection never looks idle) but the head
    // or body started longer ago than its deadline; a long body gets more.
    struct Case {
        std::string sent;
        connection_state_t state;
        time_t kept, closed;  // seconds past the read limit
    } cases[] = {
        {"GET / HTTP/1.1\r\nHo", CON_STATE_READ, 0, 1},
        {"POST /Beat.w HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\nb", CON_STATE_READ_POST, 0, 1},
        {"POST /Beat.w HTTP/1.1\r\nHost: x\r\nContent-Length: 67108864\r\n\r\nb", CON_STATE_READ_POST, 8192,
         8193},
    };
    for (const Case& c : cases) {
        connection* con = nullptr;
        int fd = h.Connect(&con);
        send(fd, c.sent.data(), c.sent.size(), MSG_NOSIGNAL);
        for (int i = 0; i < 20 && (con->state != c.state || con->bytes_read == 0); ++i)
            h.Run(1, 5);
        ASSERT_EQ(con->state, c.state) << c.sent;
        time_t start = h.srv->cur_ts + con->conf.max_read_idle;
        for (time_t late : {c.kept, c.closed}) {
            con->read_idle_ts = start + late;
            connections_check_timeouts(h.srv, start + late);
            if (late == c.kept) {
                EXPECT_EQ(con->state, c.state) << c.sent;
            }
        }
        EXPECT_TRUE(con->state == CON_STATE_CLOSE || con->state == CON_STATE_CONNECT) << c.sent;
        close(fd);
    }
}

TEST_F(HttpdConn, AFullHouseClosesTheConnectionsThatMoveLeastOldestFirst)
{
    // The oldest client sends a body at a healthy rate; one sends a body a
    // byte at a time, the others heads that never end. Two of the oldest are
    // spared: one whose bytes wait unread, and a newcomer (the last) that has
    // had no time to send.
    std::vector<int> fds;
    std::vector<connection*> cons;
    auto add = [&](size_t i) {
        connection* con = nullptr;
        fds.push_back(h.Connect(&con));
        cons.push_back(con);
        std::string sent = i > 1 ? "GET / HTTP/1.1\r\nX: "
                                 : "POST /Beat.w HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000\r\n\r\n" +
                                       std::string(i == 0 ? 65536 : 1, 'b');
        if (i + 1 < h.srv->max_conns)
            send(fds.back(), sent.data(), sent.size(), MSG_NOSIGNAL);
    };
    for (size_t i = 0; i + 1 < h.srv->max_conns; ++i)
        add(i);
    h.Run(3, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // old enough to be judged
    add(h.srv->max_conns - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // its client is slow to send
    ASSERT_EQ(h.srv->conns->used, h.srv->max_conns);
    ASSERT_EQ(cons[0]->state, CON_STATE_READ_POST);
    ASSERT_EQ(cons[1]->state, CON_STATE_READ_POST);
    // Ages in mixed order, set whole: accepts that straddle a second (a slow,
    // emulated run) must not make two of them equal.
    const time_t base = cons[0]->start_tv.tv_sec;
    cons[0]->start_tv = {base - 1000, 0};
    for (size_t i = 1; i < cons.size(); ++i)
        cons[i]->start_tv = {base - (time_t)((i * 7) % cons.size()), 0};
    const size_t unread = 3, young = cons.size() - 1;
    cons[unread]->start_tv = {base - 900, 0};
    cons[young]->start_tv = {base - 901, 0};
    send(fds[unread], "Y", 1, MSG_NOSIGNAL);
    size_t over = h.srv->max_conns - h.srv->max_conns * 9 / 10;
    std::vector<time_t> ages;
    for (size_t i = 1; i < cons.size(); ++i)
        if (i != unread && i != young)
            ages.push_back(cons[i]->start_tv.tv_sec);
    std::sort(ages.begin(), ages.end());
    EXPECT_EQ(connections_make_room(h.srv), over);
    EXPECT_EQ(h.srv->conns->used, h.srv->max_conns * 9 / 10);
    EXPECT_EQ(cons[0]->state, CON_STATE_READ_POST);
    EXPECT_NE(cons[unread]->fd, -1);
    EXPECT_NE(cons[young]->fd, -1);
    for (size_t i = 1; i < cons.size(); ++i) {
        if (i != unread && i != young) {
            EXPECT_EQ(cons[i]->fd == -1, cons[i]->start_tv.tv_sec < ages[over]) << i;
        }
    }
    EXPECT_EQ(connections_make_room(h.srv), 0u);  // below the cap: nothing more
    for (int fd : fds)
        close(fd);
}

// Switched off at the cap, accepting turns on again at nine tenths of it: a
// house between the two (a round found only a few to close) still makes room,
// or newcomers wait until its connections end by themselves.
TEST_F(HttpdConn, ADisabledHouseBelowTheCapStillMakesRoom)
{
    std::vector<int> fds;
    for (size_t i = 0; i < h.srv->max_conns; ++i) {
        fds.push_back(h.Connect());
        send(fds.back(), "GET / HTTP/1.1\r\nX: ", 19, MSG_NOSIGNAL);
    }
    h.Run(3, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // old enough to be judged
    h.srv->sockets_disabled = 1;
    for (int k = 0; k < 3; ++k)
        close(fds[k]);  // the server sees them end
    h.Run(3, 5);
    ASSERT_EQ(h.srv->conns->used, h.srv->max_conns - 3);
    EXPECT_EQ(connections_make_room(h.srv), h.srv->max_conns - 3 - h.srv->max_conns * 9 / 10);
    EXPECT_EQ(h.srv->conns->used, h.srv->max_conns * 9 / 10);
    h.srv->sockets_disabled = 0;
    for (size_t k = 3; k < fds.size(); ++k)
        close(fds[k]);
}

TEST_F(HttpdConn, PathsLinksAndConditionalDates)
{
    symlink("loop", Real("/httpdh/web/loop").c_str());
    int fd = h.Connect();
    EXPECT_EQ(Exchange(fd, "GET /loop HTTP/1.1\r\nHost: x\r\n\r\n").rfind("HTTP/1.1 404", 0), 0u);

    // The Location of a folder's redirect is encoded: the decoded "?" must
    // not start a query, nor a space end the header's value.
    plat::MakeDirs("/httpdh/web/a b?c/");
    std::string r = Exchange(fd, "GET /a%20b%3Fc?q=1 HTTP/1.1\r\nHost: card\r\n\r\n");
    EXPECT_EQ(r.rfind("HTTP/1.1 301", 0), 0u) << r;
    EXPECT_NE(r.find("Location: http://card/a%20b%3fc/?q=1\r\n"), std::string::npos) << r;

    r = Exchange(fd, "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n");
    size_t lm = r.find("Last-Modified: ");
    ASSERT_NE(lm, std::string::npos);
    std::string date = r.substr(lm + 15, r.find("\r\n", lm) - lm - 15);
    EXPECT_EQ(Exchange(fd, "GET /a.txt HTTP/1.1\r\nHost: x\r\nIf-Modified-Since: " + date + "\r\n\r\n")
                  .rfind("HTTP/1.1 304", 0),
              0u);
    // Only a prefix of the date: an unparsable date, the file is served.
    r = Exchange(fd, "GET /a.txt HTTP/1.1\r\nHost: x\r\nIf-Modified-Since: " + date.substr(0, 12) + "\r\n\r\n");
    EXPECT_EQ(r.rfind("HTTP/1.1 200", 0), 0u) << r;
    EXPECT_EQ(r.substr(r.size() - 6), "hello\n");
    close(fd);
}

TEST_F(HttpdConn, ResponseHeadersWithControlBytesAreRefused)
{
    connection* con = nullptr;
    int fd = h.Connect(&con);
    EXPECT_EQ(response_header_insert(h.srv, con, CONST_STR_LEN("X-A"), CONST_STR_LEN("v\r\nSet-Cookie: s=1")), -1);
    EXPECT_EQ(response_header_overwrite(h.srv, con, CONST_STR_LEN("X-B"), CONST_STR_LEN("ok\n")), -1);
    EXPECT_EQ(response_header_insert(h.srv, con, CONST_STR_LEN("X-C"), CONST_STR_LEN("fine")), 0);
    EXPECT_EQ(array_get_element(con->response.headers, "X-A"), nullptr);
    EXPECT_EQ(array_get_element(con->response.headers, "X-B"), nullptr);
    close(fd);
}

TEST(HttpdHelpers, EntityTagsDatesAndTheSplayTree)
{
    buffer* tag = buffer_init_string("12-34-56");
    buffer* out = buffer_init();
    etag_mutate(out, tag);
    uint32_t x = 0;
    for (char c : std::string("12-34-56"))
        x = ((x << 5) | (x >> 27)) ^ (unsigned char)c;
    EXPECT_EQ(std::string(out->ptr), "\"" + std::to_string((int32_t)x) + "\"");
    EXPECT_EQ(etag_is_equal(tag, "12-34-56"), 1);
    EXPECT_EQ(etag_is_equal(tag, "12-34-5"), 0);

    server* srv = server_init();
    for (time_t t = 1; t <= 17; ++t)
        strftime_cache_get(srv, t * 86400);
    EXPECT_EQ(srv->mtime_cache[0].mtime, 17 * 86400);
    EXPECT_STREQ(srv->mtime_cache[0].str->ptr, "Sun, 18 Jan 1970 00:00:00 GMT");
    server_free(srv);

    tree_node* t = nullptr;
    for (int k : {50, 10, 90, 30, 70, 20})
        t = splaytree_insert(t, k, nullptr);
    t = splaytree_insert(t, 30, nullptr);
    EXPECT_EQ(splaytree_size(t), 6);
    t = splaytree_delete(t, 90);
    t = splaytree_delete(t, 91);
    EXPECT_EQ(splaytree_size(t), 5);
    t = splaytree_splay(t, 20);
    EXPECT_EQ(t->key, 20);
    while (t)
        t = splaytree_delete(t, t->key);
    buffer_free(tag);
    buffer_free(out);
}

TEST(HttpdNetwork, PortsOutOfRangeAreRefused)
{
    for (const char* conf : {"server.document-root = \"/w\"\nserver.port = 70000\n",
                             "server.document-root = \"/w\"\nserver.port = 18094\n$SERVER[\"socket\"] == \":0\" {\nserver.tag = \"x\"\n}\n"}) {
        plat::WriteFileAtomic("/httpdn.conf", conf, strlen(conf), false);
        server* srv = server_init();
        std::string log = TestBoardRoot() + "/httpdn.log";
        srv->errorlog_mode = ERRORLOG_FILE;
        srv->errorlog_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        // Refused when read, or at the latest when the socket is opened.
        if (config_read(srv, "/httpdn.conf") == 0) {
            ASSERT_EQ(config_set_defaults(srv), 0);
            buffer_copy_string(srv->srvconf.bindhost, "127.168.1.25");
            EXPECT_EQ(network_init(srv), -1) << conf;
        }
        EXPECT_NE(Slurp(log).find("range"), std::string::npos) << conf << Slurp(log);
        close(srv->errorlog_fd);
        network_close(srv);
        server_free(srv);
    }
}

int Get(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, "127.168.1.25", &a.sin_addr);
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    int status = -1;
    if (connect(fd, (sockaddr*)&a, sizeof(a)) == 0) {
        const char req[] = "GET / HTTP/1.0\r\n\r\n";
        send(fd, req, sizeof(req) - 1, MSG_NOSIGNAL);
        char buf[64] = {};
        if (recv(fd, buf, sizeof(buf) - 1, 0) > 12)
            status = atoi(buf + 9);
    }
    close(fd);
    return status;
}

bool WaitClosed(double seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!httpd_isServerClose() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return httpd_isServerClose();
}

TEST(HttpdThread, StopsWithinASecondAndRestartsWithAFreshConfiguration)
{
    InstallModules();
    plat::MakeDirs("/tarvex_app/tools/httpd/config/");
    plat::MakeDirs("/httpdt/web/");
    plat::WriteFileAtomic("/httpdt/web/index.html", "hi\n", 3, false);
    auto conf = [](int port, const char* extra) {
        std::string c = "server.bind = \"127.168.1.25\"\nserver.port = " + std::to_string(port) +
                        "\nserver.document-root = \"/httpdt/web\"\nserver.errorlog = \"/httpdt/error.log\"\n" + extra;
        plat::WriteFileAtomic(HTTPD_CONFIG_FILE, c.data(), c.size(), false);
    };
    conf(18091, "");
    httpd_shutdown(false);
    std::thread t1([] { httpd_configuration(0, nullptr); });
    int status = -1;
    for (int i = 0; i < 50 && status == -1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        status = Get(18091);
    }
    EXPECT_EQ(status, 200);
    // The loop sees the flag within its 1 s event wait, then tears down.
    const double bound = 1.0 + 0.5 * TestSlowness();
    auto t0 = std::chrono::steady_clock::now();
    httpd_shutdown(true);
    EXPECT_TRUE(WaitClosed(bound));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), bound);
    t1.join();

    conf(18092, "");
    httpd_shutdown(false);
    std::thread t2([] { httpd_configuration(0, nullptr); });
    status = -1;
    for (int i = 0; i < 50 && status == -1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        status = Get(18092);
    }
    EXPECT_EQ(status, 200);
    EXPECT_EQ(Get(18091), -1);
    httpd_shutdown(true);
    EXPECT_TRUE(WaitClosed(bound));
    t2.join();

    // A module that is not there: the start fails and the server never ran.
    conf(18093, "server.modules = ( \"mod_missing\" )\n");
    httpd_shutdown(false);
    std::thread t3([] { EXPECT_EQ(httpd_configuration(0, nullptr), -1); });
    t3.join();
    EXPECT_FALSE(httpd_isServerClose());
}

}  // namespace
