// HTTP server configuration: the language, the settings table, the checks
// after reading, and the error log's line layout.
#include "CommonModules/httpd/configfile.h"
#include "CommonModules/httpd/log.h"
#include "Platform/platform.h"
#include "support/testboard.h"
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

class HttpdConfig : public ::testing::Test {
protected:
    server* srv = nullptr;
    std::string logPath;

    void SetUp() override
    {
        plat::MakeDirs("/httpdtest/");
        logPath = TestBoardRoot() + "/httpdtest/error.log";
        unlink(logPath.c_str());
        srv = server_init();
        srv->errorlog_fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        srv->errorlog_mode = ERRORLOG_FILE;
    }
    void TearDown() override
    {
        close(srv->errorlog_fd);
        server_free(srv);
    }
    int Read(const std::string& text, const char* name = "httpd.conf")
    {
        Spill(TestBoardRoot() + "/httpdtest/" + name, text);
        return config_read(srv, (std::string("/httpdtest/") + name).c_str());
    }
    std::string Log() { return Slurp(logPath); }
    // A new server whose error log starts empty, for one case of a table.
    void FreshServer()
    {
        server_free(srv);
        srv = server_init();
        srv->errorlog_mode = ERRORLOG_FILE;
        ftruncate(open(logPath.c_str(), O_WRONLY), 0);
        srv->errorlog_fd = open(logPath.c_str(), O_WRONLY | O_APPEND);
    }
    data_unset* Global(const char* key) { return array_get_element(srv->config, key); }
    std::vector<std::string> Modules()
    {
        std::vector<std::string> out;
        array* a = ((data_array*)Global("server.modules"))->value;
        for (size_t i = 0; i < a->used; ++i)
            out.push_back(((data_string*)a->data[i])->value->ptr);
        return out;
    }
};

const char* kRoot = "server.document-root = \"/tarvex_app/web\"\n";

// Conditions nested n deep, one per line, closed at the end of the file.
std::string Nested(int n)
{
    std::string text;
    for (int i = 0; i < n; ++i)
        text += "$HTTP[\"url\"] == \"/" + std::to_string(i) + "\" {\n";
    return text + std::string((size_t)n, '}') + "\n";
}

}  // namespace

TEST_F(HttpdConfig, EmptyFileFailsOnlyAtTheDocumentRoot)
{
    ASSERT_EQ(Read(""), 0);
    EXPECT_EQ(config_set_defaults(srv), -1);
    EXPECT_NE(Log().find("a default document-root has to be set"), std::string::npos);
    EXPECT_EQ(Modules(), (std::vector<std::string>{"mod_index", "mod_dirlist", "mod_static"}));
}

TEST_F(HttpdConfig, VariablesExpressionsAndMerges)
{
    ASSERT_EQ(Read(std::string(kRoot) + "x = 1\ny = x + 2\ns = x + \"a\"\nt = \"a\" + 1\na = 1,\n"
                   "q = \"say \\\"hi\\\" \\n\"\n"
                   "mimetype.assign = (\".h\" => \"text/a\")\nmimetype.assign += (\".h\" => \"text/b\", \".c\" => \"x\")\n"
                   "server.modules = (\"mod_access\")\n"),
              0)
        << Log();
    EXPECT_EQ(((data_integer*)Global("var.y"))->value, 3);
    EXPECT_STREQ(((data_string*)Global("var.s"))->value->ptr, "1a");
    EXPECT_STREQ(((data_string*)Global("var.t"))->value->ptr, "a1");
    EXPECT_STREQ(((data_string*)Global("var.q"))->value->ptr, "say \"hi\" \\n");
    array* mt = ((data_array*)Global("mimetype.assign"))->value;
    EXPECT_STREQ(((data_string*)array_get_element(mt, ".h"))->value->ptr, "text/a, text/b");
    EXPECT_EQ(Modules(), (std::vector<std::string>{"mod_index", "mod_access", "mod_dirlist", "mod_static"}));
    EXPECT_EQ(config_set_defaults(srv), 0);
    EXPECT_EQ(srv->srvconf.port, 80);
    EXPECT_EQ(srv->event_handler, FDEVENT_HANDLER_LINUX_SYSEPOLL);
    EXPECT_STREQ(srv->config_storage[0]->document_root->ptr, "/tarvex_app/web");
}

TEST_F(HttpdConfig, ModuleListNamesNothingTwice)
{
    ASSERT_EQ(Read(std::string(kRoot) + "server.modules = (\"mod_static\", \"mod_index\")\n"), 0);
    EXPECT_EQ(Modules(), (std::vector<std::string>{"mod_static", "mod_index", "mod_dirlist"}));
}

TEST_F(HttpdConfig, BlocksAppendAndElseChains)
{
    ASSERT_EQ(Read(std::string(kRoot) + "l = (\"a\")\n$HTTP[\"host\"] == \"x\" {\n  l += (\"b\")\n}\n"
                   "else $HTTP[\"url\"] == \"/y\" {\n  server.max-connections = 9\n}\n"),
              0)
        << Log();
    ASSERT_EQ(srv->config_context->used, 3u);
    data_config* x = (data_config*)srv->config_context->data[1];
    data_config* y = (data_config*)srv->config_context->data[2];
    EXPECT_STREQ(x->key->ptr, "global/HTTPhost==x");
    EXPECT_EQ(x->comp, COMP_HTTP_HOST);
    EXPECT_EQ(x->next, y);
    EXPECT_EQ(y->prev, x);
    EXPECT_EQ(((data_array*)array_get_element(x->value, "var.l"))->value->used, 2u);
    EXPECT_EQ(((data_array*)Global("var.l"))->value->used, 1u);  // the outer value stays
    EXPECT_EQ(srv->srvconf.max_conns, 9);
}

TEST_F(HttpdConfig, ParseFailuresNameTheirCause)
{
    struct Case {
        std::string text;
        const char* message;
    } cases[] = {
        {"a = 1\na = 2\n", "Duplicate config variable"},
        {"$HTTP[\"host\"] =~ \"x\" {\n}\n", "pcre support"},
        {"$HTTP[\"hostname\"] == \"x\" {\n}\n", "error comp_key"},
        {"a = (\"k\" => 1, \"k\" => 2)\n", "Duplicate array-key"},
        {"a = (1) + 2\n", "parser failed"},
        {"a = b\n", "Undefined config variable: var.b"},
        {"a = \"x\n", "missing closing quote"},
        {"$HTTP[\"url\"] == \"/b\" {\n}\n$HTTP[\"url\"] == \"/a\" {\n}\nelse $HTTP[\"url\"] == \"/b\" {\n}\n",
         "unreachable else condition"},
        {"a = 99999999999\n", "integer out of range"},
        {"a = 2147483647 + 1\n", "parser failed"},
        {"a = (\"0\" => 1, \"x\")\n", "Duplicate array-key"},
        {"include \"loop.conf\"\n", "nested too deeply"},
        {"a = " + std::string(150, '(') + "\n", "nested too deeply"},
        // The line and column of the token the parse stopped at, not the file's end.
        {"a = 1\nserver.port =\n\n# end\n", "line: 2 pos: 14 parser failed"},
        {Nested(300), "line: 101 pos: 1 parser failed"},
    };
    Spill(TestBoardRoot() + "/httpdtest/loop.conf", "include \"loop.conf\"\n");
    for (const Case& c : cases) {
        FreshServer();
        testing::internal::CaptureStderr();
        EXPECT_EQ(Read(c.text), -1) << c.text;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE((Log() + err).find(c.message), std::string::npos) << c.text << "\n" << Log() << err;
        close(srv->errorlog_fd);
    }
    // A refused merge is told once on standard error and once in the log,
    // and the parse failure after it is one log line.
    auto count = [](const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            n++;
        return n;
    };
    FreshServer();
    testing::internal::CaptureStderr();
    EXPECT_EQ(Read("a = (1) + \"x\"\n"), -1);
    std::string err = testing::internal::GetCapturedStderr();
    std::string log = Log();
    EXPECT_EQ(count(err, "cannot merge"), 1u) << err;
    EXPECT_EQ(count(log, "data type mismatch, cannot merge"), 1u) << log;
    EXPECT_EQ(count(log, "\n"), 2u) << log;
    EXPECT_NE(log.find("line: 1 pos: 11 parser failed somehow near here: x\n"), std::string::npos) << log;
}

TEST_F(HttpdConfig, ConditionInsideGlobalFailsWithoutEndingTheProcess)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(Read("global {\n$HTTP[\"host\"] == \"x\" {\n}\n}\n"), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Cannot use conditionals inside a global"),
              std::string::npos);
}

TEST_F(HttpdConfig, SettingsAreCheckedByType)
{
    struct Case {
        const char* line;
        const char* message;
    } cases[] = {
        {"server.port = 70000\n", "server.port"},
        {"server.port = \"65536\"\n", "expected a short"},
        {"server.follow-symlink = \"yes\"\n", "(enable|disable)"},
        {"server.max-worker = 2\n", "server.max-worker"},
        {"server.username = \"root\"\n", "server.username"},
        {"server.max-fds = 100\n", "server.max-fds"},
        {"server.core-files = \"enable\"\n", "server.core-files"},
        {"server.document-root = 5\n", "should have been a string"},
    };
    for (const Case& c : cases) {
        FreshServer();
        EXPECT_EQ(Read(c.line), -1) << c.line;
        EXPECT_NE(Log().find(c.message), std::string::npos) << c.line << Log();
        close(srv->errorlog_fd);
    }
}

TEST_F(HttpdConfig, DefaultsDeprecatedKeysAndStatCache)
{
    ASSERT_EQ(Read(std::string(kRoot) + "server.use-keep-alive = \"enable\"\nserver.event-handler = \"poll\"\n"), 0);
    EXPECT_EQ(srv->config_deprecated, 1);
    EXPECT_NE(Log().find("use server.max-keep-alive-requests = 0 instead"), std::string::npos);
    EXPECT_EQ(config_set_defaults(srv), 0);
    EXPECT_EQ(srv->event_handler, FDEVENT_HANDLER_POLL);
    EXPECT_EQ(srv->srvconf.stat_cache_engine, STAT_CACHE_ENGINE_SIMPLE);

    server_free(srv);
    srv = server_init();
    srv->errorlog_fd = open(logPath.c_str(), O_WRONLY | O_APPEND);
    EXPECT_EQ(Read(std::string(kRoot) + "server.stat-cache-engine = \"fam\"\n"), -1);
    EXPECT_NE(Log().find("server.stat-cache-engine can be one of"), std::string::npos);
    close(srv->errorlog_fd);
}

TEST_F(HttpdConfig, IncludeShellRunsInTheConfigFolder)
{
    Spill(TestBoardRoot() + "/httpdtest/part.conf", "server.tag = \"from-shell\"\n");
    ASSERT_EQ(Read(std::string(kRoot) + "include_shell \"cat part.conf\"\ninclude_shell \"true\"\n"), 0) << Log();
    EXPECT_STREQ(srv->config_storage[0]->server_tag->ptr, "from-shell");
    // A command that ran and failed says so; one the board refuses says that.
    FreshServer();
    testing::internal::CaptureStderr();
    EXPECT_EQ(Read(std::string(kRoot) + "include_shell \"cat missing.conf\"\n"), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_NE(Log().find("opening cat missing.conf failed: exit code 1"), std::string::npos) << Log();
    FreshServer();
    EXPECT_EQ(Read(std::string(kRoot) + "include_shell \"false\"\n"), -1);
    EXPECT_NE(Log().find("opening false failed: Operation not permitted"), std::string::npos) << Log();
}

TEST_F(HttpdConfig, ErrorLogLineLayout)
{
    close(srv->errorlog_fd);
    buffer_copy_string(srv->srvconf.errorlog_file, "/httpdtest/error.log");
    ASSERT_EQ(log_error_open(srv), 0);
    log_error_write(srv, "mod.cpp", 12, "sdsd", "logfiles cycled UID =", 0, "PID =", 42);
    buffer* multi = buffer_init_string("one\r\ntwo\n");
    log_error_write_multiline_buffer(srv, "mod.cpp", 13, multi, "s", "head");
    buffer_free(multi);
    log_error_close(srv);
    std::string log = Log();
    // ^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d: \(\S+\.\d+\)
    auto matches = [](const std::string& l) {
        const char* shape = "dddd-dd-dd dd:dd:dd: (";
        size_t i = 0;
        for (; shape[i]; ++i)
            if (i >= l.size() || (shape[i] == 'd' ? !isdigit((unsigned char)l[i]) : l[i] != shape[i]))
                return false;
        size_t close = l.find(") ", i);
        if (close == std::string::npos)
            return false;
        std::string pos = l.substr(i, close - i);
        size_t dot = pos.rfind('.');
        return dot != std::string::npos && dot > 0 && dot + 1 < pos.size() &&
               pos.find(' ') == std::string::npos && pos.find_first_not_of("0123456789", dot + 1) == std::string::npos;
    };
    std::vector<std::string> lines;
    for (size_t p = 0, q; (q = log.find('\n', p)) != std::string::npos; p = q + 1)
        lines.push_back(log.substr(p, q - p));
    ASSERT_EQ(lines.size(), 4u) << log;
    for (const std::string& l : lines)
        EXPECT_TRUE(matches(l)) << l;
    EXPECT_NE(lines[1].find("(mod.cpp.12) logfiles cycled UID = 0 PID = 42 "), std::string::npos);
    EXPECT_NE(lines[3].find("head two"), std::string::npos);
    srv->errorlog_fd = -1;
}

TEST_F(HttpdConfig, ErrorLogPipeAndReopenAfterRotation)
{
    close(srv->errorlog_fd);
    std::string piped = TestBoardRoot() + "/httpdtest/piped.log";
    buffer_copy_string(srv->srvconf.errorlog_file, "|cat > /httpdtest/piped.log");
    ASSERT_EQ(log_error_open(srv), 0);
    EXPECT_EQ(srv->errorlog_mode, ERRORLOG_PIPE);
    LOG_ERR(srv, "s", "through the pipe");
    log_error_close(srv);
    for (int i = 0; i < 100 && Slurp(piped).find("through the pipe") == std::string::npos; ++i)
        usleep(10000);
    EXPECT_NE(Slurp(piped).find("server started"), std::string::npos);
    EXPECT_NE(Slurp(piped).find("through the pipe"), std::string::npos);

    buffer_copy_string(srv->srvconf.errorlog_file, "/httpdtest/rot.log");
    ASSERT_EQ(log_error_open(srv), 0);
    std::string rot = TestBoardRoot() + "/httpdtest/rot.log";
    ASSERT_EQ(rename(rot.c_str(), (rot + ".1").c_str()), 0);
    log_error_cycle(srv);
    LOG_ERR(srv, "s", "after the rotation");
    log_error_close(srv);
    EXPECT_NE(Slurp(rot).find("after the rotation"), std::string::npos);
    EXPECT_EQ(Slurp(rot + ".1").find("after the rotation"), std::string::npos);
}
