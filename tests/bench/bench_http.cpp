// Benchmark: the card's HTTP server (its own thread, modules and board
// configuration) against Debian's nginx unpacked in the build tree, both on
// loopback and measured with wrk in the same run; prints requests per
// second, p99 latency, socket errors and the ratio. Never fails on timing;
// a row that cannot be measured says why and fails the run.
#include "bench/bench_board.h"
#include "CommonModules/httpd/server.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const char* kCardAddr = "127.168.1.25";  // slot 14
const int kCardPort = 18085;
const int kRefPort = 18086;

struct Result {
    double rps = 0;
    std::string p99 = "?";
    int errors = 0;
    std::string why;  // not empty: no rate was measured, for this reason
};

std::string Run(const std::string& cmd)
{
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

bool WriteText(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    return true;
}

// Server and client each on their own core, so the ratio does not depend on
// where the scheduler happens to put them.
bool g_pinned = false;

std::string WrkPrefix() { return g_pinned ? "taskset -c 1 " : ""; }

void PinServers()
{
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2 || system("taskset -V >/dev/null 2>&1") != 0)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    g_pinned = sched_setaffinity(0, sizeof(set), &set) == 0;
}

Result Wrk(const std::string& url, int conns, const std::string& extra)
{
    std::string out = Run(WrkPrefix() + "wrk -t1 -c" + std::to_string(conns) + " -d3s --latency " + extra + " " + url + " 2>&1");
    Result r;
    size_t p = out.find("Requests/sec:");
    if (p != std::string::npos)
        r.rps = atof(out.c_str() + p + 13);
    if (r.rps <= 0)
        r.why = "wrk measured no rate: " + out.substr(0, out.find('\n'));
    p = out.find(" 99% ");
    if (p != std::string::npos) {
        size_t s = out.find_first_not_of(' ', p + 5);
        r.p99 = out.substr(s, out.find('\n', s) - s);
    }
    p = out.find("Socket errors:");
    if (p != std::string::npos) {
        int a = 0, b = 0, c = 0, d = 0;
        sscanf(out.c_str() + p, "Socket errors: connect %d, read %d, write %d, timeout %d", &a, &b, &c, &d);
        r.errors = a + b + c + d;
    }
    return r;
}

bool Answers(const std::string& url)
{
    for (int i = 0; i < 100; ++i) {
        if (Run("curl -s -o /dev/null -w '%{http_code}' " + url) == "200")
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    BenchQuiet();
    std::string self = argc > 0 ? argv[0] : "";
    char real[4096];
    ssize_t n = readlink("/proc/self/exe", real, sizeof(real) - 1);
    if (n > 0) {
        real[n] = '\0';
        self = real;
    }
    std::string build = self.substr(0, self.rfind('/'));
    build = build.substr(0, build.rfind('/'));  // tests/ -> build folder
    char tmpl[] = "/tmp/modcard-bench-http-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return 1;
    std::string root = tmpl;
    chmod(tmpl, 0755);  // nginx's worker may run as another user
    Run(build + "/modcard-board " + root + " --slot 14 --http-port " + std::to_string(kCardPort) + " >/dev/null");
    std::string web = root + "/tarvex_app/web";
    WriteText(web + "/4k.bin", std::string(4096, 'a'));
    WriteText(web + "/100k.bin", std::string(100 * 1024, 'b'));
    WriteText(root + "/tarvex_app/tools/httpd/config/httpd.conf",
              Run("cat " + root + "/tarvex_app/tools/httpd/config/httpd.conf") + "server.bind = \"" + kCardAddr +
                  "\"\n");
    setenv("MODCARD_ROOT", root.c_str(), 1);
    // The web back end's handlers read the log, registers and parameters.
    log_Init((U8*)LOG_FILE_PATH);
    Log_SetOutputMode(LOG_OUTPUT_SYSLOG);
    FPGA_Init();
    PARAMS_Load();
    signal(SIGPIPE, SIG_IGN);
    PinServers();  // before the server thread and nginx start: both inherit it
    std::thread card([] { httpd_configuration(0, nullptr); });

    // The reference: one nginx worker, keep-alive 16 requests, no access
    // log, sendfile off, loopback only. The card keeps a connection for 16
    // requests and closes it with the answer to the 17th; nginx counts the
    // closing answer too, so both serve 17 requests per connection.
    std::string nginx = build + "/bench/nginx/usr/sbin/nginx";
    pid_t ref = -1;
    if (access(nginx.c_str(), X_OK) == 0) {
        std::string conf = "worker_processes 1;\ndaemon off;\nerror_log " + root + "/nginx-error.log;\npid " + root +
                           "/nginx.pid;\nevents { worker_connections 1024; }\nhttp {\n access_log off;\n"
                           " sendfile off;\n keepalive_requests 17;\n client_body_temp_path " + root + "/nb;\n"
                           " proxy_temp_path " + root + "/np;\n fastcgi_temp_path " + root + "/nf;\n"
                           " uwsgi_temp_path " + root + "/nu;\n scgi_temp_path " + root + "/ns;\n"
                           " default_type application/octet-stream;\n types { text/html html; }\n"
                           " server {\n  listen 127.0.0.1:" + std::to_string(kRefPort) + ";\n  root " + web +
                           ";\n  location ~ \\.w$ { return 404; }\n }\n}\n";
        WriteText(root + "/nginx.conf", conf);
        ref = fork();
        if (ref == 0) {
            execl(nginx.c_str(), "nginx", "-p", root.c_str(), "-c", (root + "/nginx.conf").c_str(), (char*)nullptr);
            _exit(127);
        }
    }
    std::string cardUrl = "http://" + std::string(kCardAddr) + ":" + std::to_string(kCardPort);
    std::string refUrl = "http://127.0.0.1:" + std::to_string(kRefPort);
    bool haveCard = Answers(cardUrl + "/4k.bin");
    bool haveRef = ref > 0 && Answers(refUrl + "/4k.bin");
    // Why nothing can be measured, when that is so.
    std::string cardWhy = haveCard ? "" : "the card's server did not answer";
    std::string refWhy = haveRef ? "" : "no nginx answered from " + nginx + " (scripts/bench-deps.sh BUILD_DIR unpacks it)";
    if (Run("command -v wrk").empty())
        cardWhy = refWhy = "wrk is not installed (scripts/deps.sh installs it)";
    std::string post = root + "/post.lua";
    WriteText(post, "wrk.method = \"POST\"\nwrk.body = '{\"token\":\"t\",\"data\":{}}'\n"
                    "wrk.headers[\"Content-Type\"] = \"application/json\"\n");

    struct Row {
        const char* name;
        const char* path;
        int conns;
        std::string extra;
        bool compare;  // false: the reference has nothing like it, the row shows the card alone
    } rows[] = {{"GET 4 KiB, 1 connection", "/4k.bin", 1, "", true},
                {"GET 4 KiB, 64 connections", "/4k.bin", 64, "", true},
                {"GET 100 KiB, 64 connections", "/100k.bin", 64, "", true},
                {"GET 4 KiB, Connection: close, 16 conn.", "/4k.bin", 16, "-H 'Connection: close'", true},
                {"POST Beat.w (web back end), 64 conn.", "/Beat.w", 64, "-s " + post, true},
                {"POST GetSubboardParam.w (card only)", "/GetSubboardParam.w", 64, "-s " + post, false}};
    Figures("HTTP server (card) against nginx (1 worker), wrk 3 s per row\n");
    Figures("%-40s %12s %10s %5s %12s %10s %5s %7s\n", "row", "card req/s", "card p99", "errs", "nginx req/s",
            "nginx p99", "errs", "ratio");
    bool failed = false;
    for (auto& row : rows) {
        if (argc > 1 && strstr(row.name, argv[1]) == nullptr)  // one row, for profiling
            continue;
        Result c = cardWhy.empty() ? Wrk(cardUrl + row.path, row.conns, row.extra) : Result{.why = cardWhy};
        Result r;
        if (row.compare)
            r = refWhy.empty() ? Wrk(refUrl + row.path, row.conns, row.extra) : Result{.why = refWhy};
        std::string why = !c.why.empty() ? c.why : r.why;
        if (!why.empty()) {
            Figures("%-40s cannot measure: %s\n", row.name, why.c_str());
            failed = true;
            continue;
        }
        Figures("%-40s %12.0f %10s %5d %12.0f %10s %5d %7s\n", row.name, c.rps, c.p99.c_str(), c.errors, r.rps,
                r.p99.c_str(), r.errors, r.rps > 0 ? std::to_string(c.rps / r.rps).substr(0, 5).c_str() : "-");
    }

    if (ref > 0) {
        kill(ref, SIGTERM);
        waitpid(ref, nullptr, 0);
    }
    httpd_shutdown(true);
    card.join();
    Run("rm -rf " + root);
    return failed ? 1 : 0;
}
