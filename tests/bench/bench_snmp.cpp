// SNMP agent benchmark: GETs of one whole settingTable row (27 columns)
// against the same number of GETs of sysUpTime from the same running agent,
// printed as a ratio of their rates.
#include "bench/bench_board.h"
#include "agent/netsnmp.h"
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

static const char* const kAgent = "127.168.1.23:16161";  // slot 12
static const int kRounds = 1000;

static std::string BuildDir()
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0)
        return ".";
    self[n] = '\0';
    std::string path = self;
    path = path.substr(0, path.rfind('/'));  // .../tests
    return path.substr(0, path.rfind('/'));
}

static netsnmp_session* OpenSession()
{
    netsnmp_session s;
    snmp_sess_init(&s);
    s.version = SNMP_VERSION_2c;
    s.peername = const_cast<char*>(kAgent);
    s.community = reinterpret_cast<u_char*>(const_cast<char*>("public"));
    s.community_len = 6;
    s.retries = 0;
    s.timeout = 2000000;
    return snmp_open(&s);
}

// One GET of the given objects; false when the agent gave no answer.
static bool Get(netsnmp_session* ss, const std::vector<std::vector<oid>>& oids)
{
    netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GET);
    for (const auto& o : oids)
        snmp_add_null_var(pdu, o.data(), o.size());
    netsnmp_pdu* response = nullptr;
    int status = snmp_synch_response(ss, pdu, &response);
    bool ok = status == STAT_SUCCESS && response != nullptr;
    if (response != nullptr)
        snmp_free_pdu(response);
    return ok;
}

static double Rate(netsnmp_session* ss, const std::vector<std::vector<oid>>& oids)
{
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kRounds; i++)
        if (!Get(ss, oids))
            return 0;
    std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
    return kRounds / d.count();
}

// The back board on the card's serial line and frame link (tests/support/peers.py),
// so that the card starts at once instead of waiting out its serial fall-backs.
// Its pid once the line is there, or -1.
static pid_t StartBackBoard(const std::string& root)
{
    pid_t pid = fork();
    if (pid == 0) {
        std::string peers = std::string(MODCARD_SOURCE_DIR) + "/tests/support/peers.py";
        execl("/usr/bin/python3", "python3", peers.c_str(), "back-board", "--card", "192.168.1.23", "--root",
              root.c_str(), (char*)nullptr);
        _exit(127);
    }
    std::string line = root + "/dev/ttyPS1";
    struct stat st;
    for (int i = 0; i < 200 && pid > 0; i++) {
        if (lstat(line.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            return pid;
        usleep(50000);
    }
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    return -1;
}

int main()
{
    BenchQuiet();
    std::string build = BuildDir();
    char tmpl[] = "/tmp/modcard-bench-snmp-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return 1;
    std::string root = tmpl;
    std::string cmd = build + "/modcard-board " + root + "/card --board-type 2 --slot 12 > /dev/null";
    if (system(cmd.c_str()) != 0)
        return 1;
    pid_t backBoard = StartBackBoard(root + "/card");
    if (backBoard < 0) {
        Figures("snmp: cannot measure: the back-board peer did not start\n");
        return 1;
    }
    pid_t card = fork();
    if (card == 0) {
        setenv("MODCARD_ROOT", (root + "/card").c_str(), 1);
        if (freopen("/dev/null", "w", stdout) == nullptr || freopen("/dev/null", "w", stderr) == nullptr)
            _exit(1);
        execl((build + "/modcard").c_str(), "modcard", (char*)nullptr);
        _exit(127);
    }
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    setenv("MIBS", "", 1);
    init_snmp("bench_snmp");
    netsnmp_session* ss = OpenSession();
    std::vector<std::vector<oid>> uptime = {{1, 3, 6, 1, 2, 1, 1, 3, 0}};
    std::vector<std::vector<oid>> row;
    for (oid column = 1; column <= 27; column++)
        row.push_back({1, 3, 6, 1, 4, 1, 32473, 8, 2, 2, 1, column, 1});
    bool up = false;
    for (int i = 0; i < 150 && ss != nullptr && !up; i++) {
        up = Get(ss, uptime);
        if (!up)
            usleep(200000);
    }
    if (up) {
        Rate(ss, row);  // warm-up
        double scalar = Rate(ss, uptime);
        double table = Rate(ss, row);
        Figures("snmp: %d GETs of sysUpTime: %.0f/s; of a 27-column settingTable row: %.0f/s; ratio %.2f\n", kRounds,
                scalar, table, scalar > 0 ? table / scalar : 0.0);
    } else {
        Figures("snmp: cannot measure: the agent did not answer\n");
    }
    if (ss != nullptr)
        snmp_close(ss);
    kill(card, SIGTERM);
    waitpid(card, nullptr, 0);
    kill(backBoard, SIGTERM);
    waitpid(backBoard, nullptr, 0);
    std::string rm = "rm -rf '" + root + "'";
    if (system(rm.c_str()) != 0)
        return 1;
    return up ? 0 : 1;
}
