// HTTP server: conditions per connection, the event loop back-ends, chunk
// queues and upload files, the request parser, the plug-in loader and the
// authentication helpers.
#include "CommonModules/httpd/chunk.h"
#include "CommonModules/httpd/configfile.h"
#include "CommonModules/httpd/fdevent.h"
#include "CommonModules/httpd/http_auth.h"
#include "CommonModules/httpd/log.h"
#include "CommonModules/httpd/plugin.h"
#include "CommonModules/httpd/request.h"
#include "Platform/platform.h"
#include "support/testboard.h"
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

static std::string g_notes;
extern "C" __attribute__((visibility("default"))) void httpd_test_note(const char* name)
{
    g_notes += std::string(g_notes.empty() ? "" : ",") + name;
}

namespace {

// A server whose error log is a file of the test board, and a connection
// with the request fields the parser and the conditions use.
class HttpdServer : public ::testing::Test {
protected:
    server* srv = nullptr;
    connection* con = nullptr;
    std::string logPath;

    void SetUp() override
    {
        plat::MakeDirs("/httpdtest/");
        logPath = TestBoardRoot() + "/httpdtest/server.log";
        unlink(logPath.c_str());
        srv = server_init();
        srv->errorlog_mode = ERRORLOG_FILE;
        srv->errorlog_fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        con = (connection*)calloc(1, sizeof(connection));
        for (buffer** b : {&con->request.request, &con->request.request_line, &con->request.uri,
                           &con->request.orig_uri, &con->request.pathinfo, &con->parse_request, &con->dst_addr_buf,
                           &con->server_name, &con->uri.scheme, &con->uri.authority, &con->uri.path,
                           &con->uri.path_raw, &con->uri.query})
            *b = buffer_init();
        con->request.headers = array_init();
        con->write_queue = chunkqueue_init();
        con->conf.allow_http11 = 1;
        con->request_count = 1;
    }
    void TearDown() override
    {
        for (buffer* b : {con->request.request, con->request.request_line, con->request.uri, con->request.orig_uri,
                          con->request.pathinfo, con->parse_request, con->dst_addr_buf, con->server_name,
                          con->uri.scheme, con->uri.authority, con->uri.path, con->uri.path_raw, con->uri.query})
            buffer_free(b);
        array_free(con->request.headers);
        chunkqueue_free(con->write_queue);
        free(con->cond_cache);
        free(con);
        close(srv->errorlog_fd);
        plugins_free(srv);
        server_free(srv);
    }
    std::string Log() { return Slurp(logPath); }

    // Parses one head on a fresh request record; returns the parser's result.
    int ParseHead(const std::string& head)
    {
        array_reset(con->request.headers);
        con->request.http_host = nullptr;
        con->request.http_content_type = con->request.http_range = nullptr;
        con->request.http_if_modified_since = con->request.http_if_none_match = nullptr;
        con->request.content_length = 0;
        con->http_status = 0;
        con->keep_alive = 1;
        buffer_copy_string_len(con->request.request, head.data(), head.size());
        return http_request_parse(srv, con);
    }
    const char* Header(const char* key)
    {
        data_string* ds = (data_string*)array_get_element(con->request.headers, key);
        return ds ? ds->value->ptr : nullptr;
    }
};

}  // namespace

TEST_F(HttpdServer, RequestStatusesTable)
{
    struct Case {
        const char* head;
        int status;
    } cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", 400},
        {"get / HTTP/1.1\r\nHost: a\r\n\r\n", 501},
        {"GET / HTTP/2.0\r\nHost: a\r\n\r\n", 505},
        {"GET / HTTP/1\r\n\r\n", 400},
        {"GET / FTP/1.0\r\n\r\n", 400},
        {"GET  / HTTP/1.0\r\n\r\n", 400},
        {"GET /\x01 HTTP/1.0\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 4294967296\r\n\r\n", 413},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 12a\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: -1\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\n\r\n", 411},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\nExpect: 100-continue\r\n\r\n", 417},
        {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
        {"GET / HTTP/1.1\r\nHost : x\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: x\r\nX-A: 1\r\n  more\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\n folded\r\nHost: x\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: x\r\nX\x80: 1\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: x\r\nX: a\rb\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: x\r\nHost: y\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", 0},
        {"GET / HTTP/1.1\r\nHost: 192.168.1.1:80\r\n\r\n", 0},
        {"GET / HTTP/1.1\r\nHost: [::1]:80\r\n\r\n", 0},
        {"GET / HTTP/1.1\r\nHost: 1.2.3\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: a..b\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: -a.b\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: 1.2.3.4:x\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: x\r\nRange: bytes=1-2\r\nRange: bytes=3-4\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: x\r\nIf-Modified-Since: A\r\nIf-Modified-Since: b\r\n\r\n", 400},
    };
    for (const Case& c : cases) {
        ParseHead(c.head);
        EXPECT_EQ(con->http_status, c.status) << c.head;
        if (c.status && c.status != 505) {
            EXPECT_EQ(con->keep_alive, 0) << c.head;
        }
    }
}

TEST_F(HttpdServer, RequestFieldsAndLimits)
{
    EXPECT_EQ(ParseHead("GET http://example/x HTTP/1.1\r\nHost: other\r\nAccept: a\r\nAccept: b\r\nX-E:  \r\n"
                        "Connection: x, close\r\n\r\n"),
              0);
    EXPECT_EQ(con->http_status, 0);
    EXPECT_STREQ(con->request.uri->ptr, "/x");
    EXPECT_STREQ(con->request.http_host->ptr, "example");
    EXPECT_STREQ(Header("Accept"), "a, b");
    EXPECT_EQ(Header("X-E"), nullptr);
    EXPECT_EQ(con->keep_alive, 0);

    EXPECT_EQ(ParseHead("GET / HTTP/1.1\r\nHost: example.\r\nRange: items=1\r\nRange: bytes=2-3\r\n"
                        "If-Modified-Since: A\r\nIf-Modified-Since: a\r\n\r\n"),
              0);
    EXPECT_STREQ(con->request.http_host->ptr, "example");
    EXPECT_STREQ(con->request.http_range, "2-3");
    EXPECT_STREQ(con->request.http_if_modified_since, "A");

    con->conf.allow_http11 = 0;  // treated as HTTP/1.0: no Host needed
    EXPECT_EQ(ParseHead("GET / HTTP/1.1\r\n\r\n"), 0);
    EXPECT_EQ(con->http_status, 0);
    con->conf.allow_http11 = 1;

    srv->srvconf.max_request_size = 1024;
    EXPECT_EQ(ParseHead("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1049600\r\n\r\n"), 0);
    EXPECT_EQ(con->http_status, 413);
    EXPECT_EQ(ParseHead("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1048576\r\n\r\n"), 1);
    EXPECT_EQ(con->request.content_length, 1048576u);
    EXPECT_EQ(con->header_len, strlen("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1048576\r\n\r\n"));
}

TEST_F(HttpdServer, ConditionsHostPortNetmaskAndElseChains)
{
    Spill(TestBoardRoot() + "/httpdtest/cond.conf",
          "server.document-root = \"/a\"\n"
          "$HTTP[\"host\"] == \"name:80\" {\n server.document-root = \"/b\"\n}\n"
          "$HTTP[\"remoteip\"] == \"10.0.0.0/8\" {\n server.tag = \"net\"\n}\n"
          "$HTTP[\"url\"] == \"/1\" {\n}\nelse $HTTP[\"url\"] == \"/2\" {\n}\nelse $HTTP[\"url\"] == \"/3\" {\n"
          " server.document-root = \"/c\"\n}\n"
          "$HTTP[\"remoteip\"] == \"10.0.0.0/\" {\n}\n");
    ASSERT_EQ(config_read(srv, "/httpdtest/cond.conf"), 0) << Log();
    ASSERT_EQ(config_set_defaults(srv), 0);
    con->cond_cache = (cond_cache_t*)calloc(srv->config_context->used, sizeof(cond_cache_t));
    server_socket sock{};
    sock.addr.ipv4.sin_port = htons(80);
    con->srv_socket = &sock;
    con->dst_addr.ipv4.sin_family = AF_INET;
    inet_aton("10.1.2.3", &con->dst_addr.ipv4.sin_addr);
    buffer_copy_string(con->uri.authority, "name");
    buffer_copy_string(con->uri.path, "/2");

    config_setup_connection(srv, con);
    config_cond_cache_reset(srv, con);
    config_patch_connection(srv, con, COMP_HTTP_HOST);
    EXPECT_STREQ(con->conf.document_root->ptr, "/b");
    config_patch_connection(srv, con, COMP_HTTP_REMOTE_IP);
    EXPECT_STREQ(con->conf.server_tag->ptr, "net");
    EXPECT_NE(Log().find("ERROR: no number after /"), std::string::npos);
    config_patch_connection(srv, con, COMP_HTTP_URL);
    EXPECT_EQ(con->cond_cache[3].result, COND_RESULT_FALSE);
    EXPECT_EQ(con->cond_cache[4].result, COND_RESULT_TRUE);
    EXPECT_EQ(con->cond_cache[5].result, COND_RESULT_FALSE);  // closed by the chain
    EXPECT_STREQ(con->conf.document_root->ptr, "/b");

    inet_aton("11.0.0.1", &con->dst_addr.ipv4.sin_addr);
    buffer_copy_string(con->uri.authority, "name:8080");
    buffer_copy_string(con->uri.path, "/3");
    config_setup_connection(srv, con);
    config_cond_cache_reset(srv, con);
    for (comp_key_t c : {COMP_HTTP_HOST, COMP_HTTP_REMOTE_IP, COMP_HTTP_URL})
        config_patch_connection(srv, con, c);
    EXPECT_STREQ(con->conf.document_root->ptr, "/c");  // "name:8080" is not "name:80"
    EXPECT_TRUE(buffer_is_empty(con->conf.server_tag));
}

TEST_F(HttpdServer, EventLoopBackEndsOverSocketPairs)
{
    for (fdevent_handler_t type : {FDEVENT_HANDLER_LINUX_SYSEPOLL, FDEVENT_HANDLER_POLL, FDEVENT_HANDLER_SELECT}) {
        fdevents* ev = fdevent_init(srv, 64, type);
        ASSERT_NE(ev, nullptr);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        int calls = 0;
        auto handler = [](server*, void* ctx, int revents) -> handler_t {
            *(int*)ctx += (revents & FDEV_IN) ? 1 : 100;
            return HANDLER_GO_ON;
        };
        int ndx = -1;
        ASSERT_EQ(fdevent_register(ev, sv[0], handler, &calls), 0);
        ASSERT_EQ(fdevent_event_set(ev, &ndx, sv[0], FDEV_IN), 0);
        EXPECT_EQ(fdevent_poll(ev, 0), 0);
        ASSERT_EQ(write(sv[1], "x", 1), 1);
        ASSERT_EQ(fdevent_poll(ev, 1000), 1) << type;
        int r = fdevent_event_next_fdndx(ev, -1);
        int fd = fdevent_event_get_fd(ev, r);
        EXPECT_EQ(fd, sv[0]);
        fdevent_get_handler(ev, fd)(srv, fdevent_get_context(ev, fd), fdevent_event_get_revent(ev, r));
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(fdevent_event_del(ev, &ndx, sv[0]), 0);
        EXPECT_EQ(ndx, -1);
        EXPECT_EQ(fdevent_unregister(ev, sv[0]), 0);
        close(sv[0]);
        close(sv[1]);
        // A descriptor beyond the table is refused, never stored.
        EXPECT_EQ(fdevent_register(ev, 64, handler, &calls), -1);
        fdevent_free(ev);
    }
    // epoll_ctl failing (a closed descriptor) fails that descriptor only.
    fdevents* ev = fdevent_init(srv, 64, FDEVENT_HANDLER_LINUX_SYSEPOLL);
    int fd = open("/dev/null", O_RDONLY);
    int ndx = -1;
    fdevent_register(ev, fd, nullptr, nullptr);
    close(fd);
    EXPECT_EQ(fdevent_event_set(ev, &ndx, fd, FDEV_IN), -1);
    EXPECT_NE(Log().find("epoll_ctl failed"), std::string::npos);
    fdevent_unregister(ev, fd);
    fdevent_free(ev);

    // The poll back-end reuses a freed slot.
    ev = fdevent_init(srv, 64, FDEVENT_HANDLER_POLL);
    int a = -1, b = -1, c = -1;
    fdevent_register(ev, 0, nullptr, nullptr);
    fdevent_register(ev, 1, nullptr, nullptr);
    fdevent_register(ev, 2, nullptr, nullptr);
    fdevent_event_set(ev, &a, 0, FDEV_IN);
    fdevent_event_set(ev, &b, 1, FDEV_IN);
    fdevent_event_del(ev, &a, 0);
    fdevent_event_set(ev, &c, 2, FDEV_IN);
    EXPECT_EQ(c, 0);
    EXPECT_EQ(ev->used, 2u);
    fdevent_event_del(ev, &b, 1);
    fdevent_event_del(ev, &c, 2);
    fdevent_free(ev);
}

TEST_F(HttpdServer, ChunkedFramingAndQueueReuse)
{
    con->response.transfer_encoding = HTTP_TRANSFER_ENCODING_CHUNKED;
    http_chunk_append_mem(srv, con, "hello world!", 13);
    http_chunk_append_mem(srv, con, nullptr, 0);
    std::string out;
    for (chunk* c = con->write_queue->first; c; c = c->next)
        out.append(c->mem->ptr, c->mem->used - 1);
    EXPECT_EQ(out, "c\r\nhello world!\r\n0\r\n\r\n");
    EXPECT_EQ(http_chunkqueue_length(srv, con), (off32_t)out.size());

    chunkqueue* cq = chunkqueue_init();
    for (int i = 0; i < 6; ++i)
        chunkqueue_append_mem(cq, "ab", 3);
    cq->first->offset = 1;
    EXPECT_EQ(chunkqueue_length(cq), 12);
    EXPECT_EQ(chunkqueue_written(cq), 1);
    for (chunk* c = cq->first; c; c = c->next)
        c->offset = 2;
    chunkqueue_remove_finished_chunks(cq);
    EXPECT_EQ(cq->unused_chunks, 5u);
    EXPECT_EQ(cq->last, nullptr);
    chunkqueue_free(cq);
}

TEST_F(HttpdServer, UploadTempFilesAndTheSharedPath)
{
    plat::MakeDirs("/httpdtest/up/");
    array* dirs = array_init();
    for (const char* d : {"/httpdtest/missing", "/httpdtest/up/"}) {
        data_string* ds = data_string_init();
        buffer_copy_string(ds->value, d);
        array_insert_unique(dirs, (data_unset*)ds);
    }
    chunkqueue* cq = chunkqueue_init();
    chunkqueue_set_tempdirs(cq, dirs);
    chunk* c = chunkqueue_get_append_tempfile(cq);
    ASSERT_NE(c->file.fd, -1);
    EXPECT_EQ(std::string(g_arcUpgradeFiledir).rfind("/httpdtest/up/httpd-upload-", 0), 0u) << g_arcUpgradeFiledir;
    EXPECT_TRUE(FileExists(TestBoardRoot() + g_arcUpgradeFiledir));
    EXPECT_EQ(c->file.is_temp, 1);

    // A failed creation leaves the shared path empty, never naming an old file.
    array_free(dirs);
    dirs = array_init();
    data_string* ds = data_string_init();
    buffer_copy_string(ds->value, "/httpdtest/missing");
    array_insert_unique(dirs, (data_unset*)ds);
    chunkqueue_set_tempdirs(cq, dirs);
    c = chunkqueue_get_append_tempfile(cq);
    EXPECT_EQ(c->file.fd, -1);
    EXPECT_STREQ(g_arcUpgradeFiledir, "");
    chunkqueue_free(cq);
    array_free(dirs);
}

TEST_F(HttpdServer, PluginLoaderHooksAndVersions)
{
    plat::MakeDirs("/httpdtest/lib/");
    for (const char* m : {"mod_ta", "mod_tb", "mod_tc", "mod_tv", "mod_tn"})
        Spill(TestBoardRoot() + "/httpdtest/lib/" + m + ".so",
              Slurp(std::string(MODCARD_BUILD_DIR) + "/tests/httpd_modules/" + m + ".so"));
    buffer_copy_string(srv->srvconf.modules_dir, "/httpdtest/lib");
    auto load = [&](std::initializer_list<const char*> names) {
        plugins_free(srv);
        array_reset(srv->srvconf.modules);
        for (const char* n : names) {
            data_string* ds = data_string_init();
            buffer_copy_string(ds->value, n);
            array_insert_unique(srv->srvconf.modules, (data_unset*)ds);
        }
        return plugins_load(srv);
    };
    EXPECT_EQ(load({"mod_ta", "mod_missing"}), -1);
    EXPECT_NE(Log().find("dlopen() failed for: /httpdtest/lib/mod_missing.so"), std::string::npos) << Log();

    ASSERT_EQ(load({"mod_tn", "mod_ta", "mod_tb", "mod_tc"}), 0);
    ASSERT_EQ(plugins_call_init(srv), HANDLER_GO_ON);
    g_notes.clear();
    EXPECT_EQ(plugins_call_handle_uri_clean(srv, con), HANDLER_FINISHED);
    EXPECT_EQ(g_notes, "mod_ta,mod_tb");
    EXPECT_EQ(plugins_call_handle_docroot(srv, con), HANDLER_GO_ON);

    ASSERT_EQ(load({"mod_ta", "mod_tc"}), 0);
    ASSERT_EQ(plugins_call_init(srv), HANDLER_GO_ON);
    EXPECT_EQ(plugins_call_handle_uri_clean(srv, con), HANDLER_ERROR);
    EXPECT_NE(Log().find("PLUGIN_FUNC_HANDLE_URI_CLEAN mod_tc unknown state"), std::string::npos);

    ASSERT_EQ(load({"mod_tv"}), 0);
    EXPECT_EQ(plugins_call_init(srv), HANDLER_ERROR);
    EXPECT_NE(Log().find("plugin-version doesn't match httpd-version for mod_tv"), std::string::npos);
}

TEST_F(HttpdServer, AuthenticationMatchesIndependentOracles)
{
    EXPECT_EQ(http_auth_apr1("secret", "$apr1$abcdefgh$"), "$apr1$abcdefgh$h9FWgUz3n9YxylKLlR5SQ/");

    auth_plugin_data p{};
    p.auth_user = buffer_init();
    p.conf.auth_htpasswd_userfile = buffer_init_string("/httpdtest/htpasswd");
    p.conf.auth_htdigest_userfile = buffer_init_string("/httpdtest/htdigest");
    Spill(TestBoardRoot() + "/httpdtest/htpasswd",
          "bob:$apr1$abcdefgh$h9FWgUz3n9YxylKLlR5SQ/\ncarol:abNANd1rDfiNc\n"
          "dave:$6$saltsalt$TVLlQcbpFVof5W3Yz4DTP6gRstiNuHwwTt6GLc1E5n0U0aDehy0S5knV8wiOQSpT0Y77vwPZN.Pq.H91p5hVO1");
    Spill(TestBoardRoot() + "/httpdtest/htdigest", "alice:area:cd355fef0884cfea997013c36d261a95\n");
    array* req = array_init();
    array_set_key_value(req, CONST_STR_LEN("realm"), CONST_STR_LEN("area"));
    array_set_key_value(req, CONST_STR_LEN("require"), CONST_STR_LEN("valid-user"));
    buffer_copy_string(con->uri.path, "/x");

    p.conf.auth_backend = AUTH_BACKEND_HTPASSWD;
    for (const char* user : {"bob", "carol", "dave"}) {
        std::string cred = std::string(user) + ":secret";
        buffer* b64 = buffer_init();
        static const char tbl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string enc;
        for (size_t i = 0; i < cred.size(); i += 3) {
            uint32_t v = (unsigned char)cred[i] << 16;
            if (i + 1 < cred.size())
                v |= (unsigned char)cred[i + 1] << 8;
            if (i + 2 < cred.size())
                v |= (unsigned char)cred[i + 2];
            enc += tbl[v >> 18];
            enc += tbl[(v >> 12) & 63];
            enc += i + 1 < cred.size() ? tbl[(v >> 6) & 63] : '=';
            enc += i + 2 < cred.size() ? tbl[v & 63] : '=';
        }
        EXPECT_EQ(http_auth_basic_check(srv, con, &p, req, enc.c_str()), 1) << user;
        buffer_free(b64);
    }
    EXPECT_STREQ(p.auth_user->ptr, "dave");
    EXPECT_EQ(http_auth_basic_check(srv, con, &p, req, "YWxpY2VzZWNyZXQ="), 0);  // "alicesecret"
    EXPECT_NE(Log().find(": is missing in"), std::string::npos);

    p.conf.auth_backend = AUTH_BACKEND_HTDIGEST;
    con->request.http_method = HTTP_METHOD_GET;
    const char* good = "username=\"alice\", realm=\"area\", nonce=\"n1\", uri=\"/x\", qop=auth, nc=00000001, "
                       "cnonce=\"c1\", response=\"eaae6e9b9ef9c13bc1807b7b11004d2c\"";
    EXPECT_EQ(http_auth_digest_check(srv, con, &p, req, good), 1);
    EXPECT_EQ(http_auth_digest_check(srv, con, &p, req,
                                     "username=\"alice\", realm=\"area\", nonce=\"n1\", uri=\"/x\", "
                                     "response=\"7bd76077377faa0db90c517410c99c51\""),
              1);
    EXPECT_EQ(http_auth_digest_check(srv, con, &p, req,
                                     "username=\"alice\", realm=\"area\", nonce=\"n1\", uri=\"/x\", qop=auth, "
                                     "cnonce=\"c1\", response=\"x\""),
              -1);
    EXPECT_NE(Log().find("digest: missing field"), std::string::npos);
    EXPECT_EQ(http_auth_digest_check(srv, con, &p, req,
                                     "username=\"alice\", realm=\"area\", nonce=\"n1\", uri=\"/x\", "
                                     "response=\"00000000000000000000000000000000\""),
              0);
    EXPECT_EQ(Log().find("secret"), std::string::npos);  // no credential reaches the log

    array_set_key_value(req, CONST_STR_LEN("require"), CONST_STR_LEN("user=ann|user=annabel"));
    EXPECT_EQ(http_auth_match_rules(srv, req, "annabel", nullptr, nullptr), 0);
    EXPECT_EQ(http_auth_match_rules(srv, req, "anna", nullptr, nullptr), -1);
    array_set_key_value(req, CONST_STR_LEN("require"), CONST_STR_LEN("valid-user|user=a"));
    EXPECT_EQ(http_auth_match_rules(srv, req, "a", nullptr, nullptr), -1);
    EXPECT_NE(Log().find("valid-user cannot be combined"), std::string::npos);

    array_free(req);
    buffer_free(p.auth_user);
    buffer_free(p.conf.auth_htpasswd_userfile);
    buffer_free(p.conf.auth_htdigest_userfile);
}

TEST_F(HttpdServer, NestedBlocksWaitForTheirParent)
{
    Spill(TestBoardRoot() + "/httpdtest/nest.conf",
          "server.document-root = \"/a\"\n"
          "$SERVER[\"socket\"] == \"127.0.0.1:80\" {\n $HTTP[\"url\"] == \"/n\" {\n  server.document-root = \"/n\"\n }\n}\n"
          "$HTTP[\"host\"] == \"h\" {\n $HTTP[\"url\"] == \"/n\" {\n  server.document-root = \"/h\"\n }\n}\n");
    ASSERT_EQ(config_read(srv, "/httpdtest/nest.conf"), 0) << Log();
    ASSERT_EQ(config_set_defaults(srv), 0);
    con->cond_cache = (cond_cache_t*)calloc(srv->config_context->used, sizeof(cond_cache_t));
    server_socket sock{};
    sock.srv_token = buffer_init_string("127.0.0.1:81");
    con->srv_socket = &sock;
    buffer_copy_string(con->uri.path, "/n");
    buffer_copy_string(con->uri.authority, "h");
    config_setup_connection(srv, con);
    config_cond_cache_reset(srv, con);
    config_patch_connection(srv, con, COMP_HTTP_URL);
    // The url is known, but neither parent field yet: both nested blocks wait.
    EXPECT_EQ(con->cond_cache[2].result, COND_RESULT_UNSET);
    EXPECT_EQ(con->cond_cache[4].result, COND_RESULT_UNSET);
    config_patch_connection(srv, con, COMP_SERVER_SOCKET);
    EXPECT_EQ(con->cond_cache[2].result, COND_RESULT_FALSE);  // inside a block that does not match
    config_patch_connection(srv, con, COMP_HTTP_HOST);
    EXPECT_STREQ(con->conf.document_root->ptr, "/h");
    buffer_free(sock.srv_token);

    testing::internal::CaptureStdout();
    data_config_print(srv->config_context->data[0], 0);
    std::string dump = testing::internal::GetCapturedStdout();
    EXPECT_EQ(dump.rfind("config {\n", 0), 0u);
    EXPECT_NE(dump.find("$HTTP[\"url\"] == \"/n\" {"), std::string::npos);
}

TEST_F(HttpdServer, SelectRefusesDescriptorsBeyondItsSets)
{
    fdevents* ev = fdevent_init(srv, 2048, FDEVENT_HANDLER_SELECT);
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(fdevent_register(ev, 1024, nullptr, nullptr), -1);
    EXPECT_NE(Log().find("descriptor beyond the event table refused"), std::string::npos);
    int ndx = -1;
    ASSERT_EQ(fdevent_register(ev, 1023, nullptr, nullptr), 0);
    EXPECT_EQ(fdevent_event_set(ev, &ndx, 1023, FDEV_IN), 0);
    EXPECT_EQ(ev->select_max_fd, 1023);
    fdevent_event_del(ev, &ndx, 1023);
    fdevent_unregister(ev, 1023);
    fdevent_free(ev);
    EXPECT_EQ(fdevent_init(srv, 16, FDEVENT_HANDLER_FREEBSD_KQUEUE), nullptr);
    EXPECT_NE(Log().find("kqueue not available"), std::string::npos);
}

TEST_F(HttpdServer, FileRangesAndPipelinedHeads)
{
    con->response.transfer_encoding = HTTP_TRANSFER_ENCODING_CHUNKED;
    buffer* fn = buffer_init_string("/x");
    http_chunk_append_file(srv, con, fn, 0, 4096);
    buffer_free(fn);
    chunk* c = con->write_queue->first;
    EXPECT_STREQ(c->mem->ptr, "1000\r\n");
    EXPECT_EQ(c->next->type, chunk::FILE_CHUNK);
    EXPECT_STREQ(c->next->next->mem->ptr, "\r\n");

    // A CR LF left over from a previous POST body is skipped, and counted.
    con->request_count = 2;
    std::string head = "\r\nGET / HTTP/1.1\r\nHost: a\r\n\r\n";
    EXPECT_EQ(ParseHead(head), 0);
    EXPECT_EQ(con->http_status, 0);
    EXPECT_EQ(con->header_len, head.size());
}

TEST_F(HttpdServer, DigestAndBasicRefusals)
{
    auth_plugin_data p{};
    p.auth_user = buffer_init();
    p.conf.auth_htdigest_userfile = buffer_init_string("/httpdtest/bad.htdigest");
    p.conf.auth_backend = AUTH_BACKEND_HTDIGEST;
    Spill(TestBoardRoot() + "/httpdtest/bad.htdigest", "alice:area\n");
    array* req = array_init();
    array_set_key_value(req, CONST_STR_LEN("realm"), CONST_STR_LEN("area"));
    array_set_key_value(req, CONST_STR_LEN("require"), CONST_STR_LEN("valid-user"));
    const char* base = "username=\"alice\", realm=\"area\", nonce=\"n\", uri=\"/\", response=\"r\"";
    EXPECT_EQ(http_auth_digest_check(srv, con, &p, req, (std::string(base) + ", qop=auth-int, nc=1, cnonce=c").c_str()),
              -1);
    EXPECT_NE(Log().find("qop=auth-int not supported"), std::string::npos);
    EXPECT_EQ(http_auth_digest_check(srv, con, &p, req, (std::string(base) + ", algorithm=MD5-sess").c_str()), -1);
    EXPECT_NE(Log().find("md5-sess: missing field"), std::string::npos);
    EXPECT_EQ(http_auth_digest_check(srv, con, &p, req, base), 0);
    EXPECT_NE(Log().find("parsed error in /httpdtest/bad.htdigest"), std::string::npos);

    p.conf.auth_backend = AUTH_BACKEND_LDAP;
    EXPECT_EQ(http_auth_digest_check(srv, con, &p, req, base), -1);
    p.conf.auth_backend = AUTH_BACKEND_PLAIN;
    p.conf.auth_plain_userfile = buffer_init_string("/httpdtest/plain");
    Spill(TestBoardRoot() + "/httpdtest/plain", "alice:secret");
    EXPECT_EQ(http_auth_basic_check(srv, con, &p, req, "YWxpY2U6c2VjcmV0"), 1);  // last line without "\n"
    EXPECT_EQ(http_auth_basic_check(srv, con, &p, req, "YWxpY2U6c2VjcmV1"), 0);  // "alice:secreu"
    EXPECT_EQ(http_auth_basic_check(srv, con, &p, req, "YR=="), 0);  // spare bits set
    EXPECT_NE(Log().find("decodeing base64-string failed"), std::string::npos);
    EXPECT_EQ(Log().find("secret"), std::string::npos);

    array_free(req);
    buffer_free(p.auth_user);
    buffer_free(p.conf.auth_htdigest_userfile);
    buffer_free(p.conf.auth_plain_userfile);
}
