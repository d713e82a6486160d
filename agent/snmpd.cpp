// The SNMP agent thread of the master chip: net-snmp's master agent with the
// card's MIB, its configuration, persistent data and log in the card's
// folders, and one request loop steered by signal flags.
#include <atomic>
#include "Common/thread.h"
#include "Platform/platform.h"
#include "agent/mibgroup/dtmb/dtmb.h"
#include "agent/netsnmp.h"
#include "main/startup.h"
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

extern "C" int netsnmp_running;  // defined by the agent library: 0 ends the loop

// The library's MIB modules that the card's agent carries.
extern "C" {
void init_snmp_mib(void);
void init_system_mib(void);
void init_sysORTable(void);
void init_vacm_vars(void);
void init_snmpMPDStats(void);
void init_usmStats(void);
void init_snmpEngine(void);
void init_usmUser(void);
void init_vacm_context(void);
void shutdown_sysORTable(void);
void shutdown_snmpMPDStats(void);
void shutdown_usmStats(void);
}

// Asks the loop to re-read the configuration.
int reconfig = 0;
// Flags of the signals whose work the loop does outside the handler.
// The HTTP server reopens its error log on SIGHUP (its header clashes with
// the agent library's macros).
void httpd_note_sighup(unsigned uid, int pid);

static std::atomic<int> s_shutdownSignal{0};
static std::atomic<int> s_dumpRequested{0};
static std::atomic<int> s_fileSizeSignal{0};

static const char* const kAppName = "snmpd";
static const char* const kLogFile = "/var/log/snmpd.log";
// The agent's log (packet dumps included, some 4 KB a request) stays under
// this size: past half of it the file becomes kLogFile ".1", replacing the
// one before, and a new one is begun.
static const off_t kLogLimit = 1 << 20;
static const char* const kPersistentDir = "/var/net-snmp";
static const char* const kConfigPath[] = {"/usr/local/etc/snmp", "/tarvex_app/app", "/usr/local/lib/snmp"};
// The fixed command line of the agent.
static const char* const kArguments[] = {"snmpd", "-d"};

static void SnmpdShutDown(int sig)
{
    s_shutdownSignal = sig;
    netsnmp_running = 0;
}

static void SnmpdReconfig(int, siginfo_t* info, void*)
{
    reconfig = 1;
    // The HTTP server reopens its error log too, and names the sender.
    httpd_note_sighup(info ? (unsigned)info->si_uid : 0, info ? (int)info->si_pid : 0);
}

static void CatchReconfig(void)
{
    struct sigaction sa {};
    sa.sa_sigaction = SnmpdReconfig;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGHUP, &sa, nullptr);
}

static void SnmpdDump(int)
{
    s_dumpRequested = 1;
    signal(SIGUSR1, SnmpdDump);
}

static void SnmpdCatchRandomSignal(int sig)
{
    s_fileSizeSignal = sig;
}

static bool DeferredSignalPending(void)
{
    return s_dumpRequested || s_fileSizeSignal;
}

// The work of SIGUSR1 and SIGXFSZ, done on the loop rather than in a handler.
static void RunDeferredSignals(void)
{
    if (s_dumpRequested) {
        s_dumpRequested = 0;
        dump_registry();
    }
    if (s_fileSizeSignal) {
        char text[64];
        snprintf(text, sizeof(text), "Exiting on signal %d\n", (int)s_fileSizeSignal);
        snmp_disable_log();
        plat::OpenLog(kAppName);
        plat::Syslog(LOG_ERR, text);
        fflush(nullptr);
        _exit(1);
    }
}

static void BoundLog(void)
{
    std::string path = plat::Path(kLogFile);
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || st.st_size < kLogLimit / 2)
        return;
    rename(path.c_str(), (path + ".1").c_str());
    netsnmp_logging_restart();
}

static std::string ConfigSearchPath(void)
{
    std::string path;
    for (const char* dir : kConfigPath)
        path += (path.empty() ? "" : ":") + plat::Path(dir);
    // The card also reads the user's own folder; the simulated board never
    // reads outside its root.
    const char* home = getenv("HOME");
    if (!plat::Simulated() && home != nullptr)
        path += std::string(":") + home + "/.snmp";
    return path;
}

static void ParseArguments(void)
{
    for (size_t i = 1; i < sizeof(kArguments) / sizeof(kArguments[0]); i++) {
        if (std::string(kArguments[i]) == "-d") {
            snmp_set_dump_packet(1);
            netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DUMP_PACKET, 1);
        }
    }
}

static int ShutdownMibModules(int, int, void*, void*)
{
    shutdown_usmStats();
    shutdown_snmpMPDStats();
    shutdown_sysORTable();
    return SNMP_ERR_NOERROR;
}

// The card's module first, then the library's modules the agent carries.
static void Snmpd_InitMibModules(void)
{
    struct Module {
        const char* name;
        void (*init)(void);
    };
    static const Module modules[] = {
        {"dtmb", init_dtmb},           {"snmp_mib", init_snmp_mib},
        {"system_mib", init_system_mib}, {"sysORTable", init_sysORTable},
        {"vacm_vars", init_vacm_vars}, {"snmpMPDStats", init_snmpMPDStats},
        {"usmStats", init_usmStats},   {"snmpEngine", init_snmpEngine},
        {"usmUser", init_usmUser},     {"vacm_context", init_vacm_context},
    };
    for (const Module& m : modules)
        if (should_init(m.name))
            m.init();
    if (snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_SHUTDOWN, ShutdownMibModules, nullptr) !=
        SNMPERR_SUCCESS)
        snmp_log(LOG_ERR, "error registering for SHUTDOWN callback for mib modules\n");
}

static void RunExternalSignals(void)
{
    for (int i = 0; i < NUM_EXTERNAL_SIGS; i++) {
        if (external_signal_scheduled[i] && external_signal_handler[i] != nullptr) {
            external_signal_scheduled[i]--;
            external_signal_handler[i](i);
        }
    }
}

// One pass of the re-reading that SIGHUP asks for.
static void Reconfigure(void)
{
    sigset_t hup;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hup, nullptr);
    reconfig = 0;
    snmp_log(LOG_INFO, "Reconfiguring daemon\n");
    netsnmp_logging_restart();
    snmp_log(LOG_INFO, "NET-SNMP version %s restarted\n", netsnmp_get_version());
    update_config();
    send_easy_trap(SNMP_TRAP_ENTERPRISESPECIFIC, 3);
    pthread_sigmask(SIG_UNBLOCK, &hup, nullptr);
}

// The request loop; returns when a signal or a failed wait ends it.
static void Receive(void)
{
    netsnmp_large_fd_set readfds, writefds, exceptfds;
    netsnmp_large_fd_set_init(&readfds, FD_SETSIZE);
    netsnmp_large_fd_set_init(&writefds, FD_SETSIZE);
    netsnmp_large_fd_set_init(&exceptfds, FD_SETSIZE);
    reconfig = 0;
    while (netsnmp_running) {
        if (reconfig)
            Reconfigure();
        RunDeferredSignals();
        RunExternalSignals();

        int numfds = 0, block = 0;
        struct timeval timeout = {0x7FFFFFFF, 0};
        struct timeval* tvp = &timeout;
        NETSNMP_LARGE_FD_ZERO(&readfds);
        NETSNMP_LARGE_FD_ZERO(&writefds);
        NETSNMP_LARGE_FD_ZERO(&exceptfds);
        snmp_select_info2(&numfds, &readfds, tvp, &block);
        // A signal that another thread took interrupts no wait here: the
        // flags it set are looked at within 200 ms all the same.
        if (block == 1 || timeout.tv_sec > 0 || timeout.tv_usec > 200000) {
            timeout.tv_sec = 0;
            timeout.tv_usec = 200000;
        }
        netsnmp_external_event_info2(&numfds, &readfds, &writefds, &exceptfds);

        int count;
        for (;;) {
            RunExternalSignals();
            count = netsnmp_large_fd_set_select(numfds, &readfds, &writefds, &exceptfds, tvp);
            // A signal that asks nothing of the loop: wait again.
            if (count == -1 && errno == EINTR && netsnmp_running && !reconfig && !DeferredSignalPending())
                continue;
            break;
        }
        if (count > 0) {
            netsnmp_dispatch_external_events2(&count, &readfds, &writefds, &exceptfds);
            if (count > 0)
                snmp_read2(&readfds);
            BoundLog();
        } else if (count == 0) {
            snmp_timeout();
        } else if (count == -1) {
            if (errno != EINTR) {
                snmp_log_perror("select");
                break;
            }
            continue;
        } else {
            snmp_log(LOG_ERR, "select returned %d\n", count);
            break;
        }
        snmp_store_if_needed();
        run_alarms();
        netsnmp_check_outstanding_agent_requests();
    }
    netsnmp_large_fd_set_cleanup(&readfds);
    netsnmp_large_fd_set_cleanup(&writefds);
    netsnmp_large_fd_set_cleanup(&exceptfds);
    if (!netsnmp_running)
        snmp_log(LOG_INFO, "Received TERM or STOP signal...  shutting down...\n");
}

// The agent is gone: SIGTERM ends the card again. After a SIGTERM the
// process ends now, as it would have without the agent.
static void ReleaseSignals(void)
{
    signal(SIGTERM, SIG_DFL);
    if (s_shutdownSignal == SIGTERM)
        raise(SIGTERM);
    SNMP_AgentEnded();
}

void* Snmpd_Server(void*)
{
    signal(SIGTERM, SnmpdShutDown);
    signal(SIGINT, SnmpdShutDown);
    signal(SIGHUP, SIG_IGN);
    signal(SIGUSR1, SnmpdDump);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SnmpdCatchRandomSignal);
    // This thread is the one that takes SIGHUP, SIGTERM, SIGINT and SIGUSR1.
    Thread_BlockControlSignals(false);

    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_MASTER, 0);
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_TIMEOUT, -1);
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_RETRIES, -1);
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_CACHE_TIMEOUT, 5);
    // The loop runs the library's alarms itself: SIGALRM is not the library's
    // to take in a process of many threads.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
    snmp_log_syslogname(kAppName);
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_APPTYPE, kAppName);
    ParseArguments();

    // Configuration, persistent data and log in the card's own folders.
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_CONFIGURATION_DIR, ConfigSearchPath().c_str());
    const char* persistent = plat::Simulated() ? nullptr : getenv("SNMP_PERSISTENT_DIR");
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR,
                          plat::Path(persistent != nullptr ? persistent : kPersistentDir).c_str());
    // MIB files too: the simulated board reads none of the machine's.
    if (plat::Simulated())
        netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIBDIRS, plat::Path("/usr/share/snmp/mibs").c_str());
    plat::MakeDirs("/var/log");
    snmp_enable_filelog(plat::Path(kLogFile).c_str(),
                        netsnmp_ds_get_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_APPEND_LOGFILES));

    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 0);
    // Notifications leave from the chip's own address too, so that no socket
    // of the agent takes every address ("clientaddr" in the configuration
    // still wins, being read later).
    std::string fallback = plat::SnmpDefaultTransport();
    size_t host = fallback.find(':'), port = fallback.rfind(':');
    if (host != std::string::npos && port > host)
        netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_CLIENT_ADDR,
                              fallback.substr(host + 1, port - host - 1).c_str());
    // No SMUX sub-agents: the card's MIB needs none, and the library's SMUX
    // port would listen on every address of the machine.
    static char noSmux[] = "-smux";
    add_to_init_list(noSmux);
    if (init_agent(kAppName) != 0) {
        snmp_log(LOG_ERR, "Agent initialization failed\n");
        fflush(nullptr);
        _exit(1);
    }
    Snmpd_InitMibModules();
    init_snmp(kAppName);

    // Without a configured address the agent must not take every address.
    if (netsnmp_ds_get_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS) == nullptr && !fallback.empty())
        netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS, fallback.c_str());
    if (init_master_agent() != 0) {
        // Only the agent ends: the rest of the card keeps working.
        snmp_log(LOG_ERR, "Server Exiting with code 1\n");
        snmp_shutdown(kAppName);
        shutdown_master_agent();
        shutdown_agent();
        ReleaseSignals();
        return nullptr;
    }

    mkdirhier(get_persistent_directory(), NETSNMP_AGENT_DIRECTORY_MODE, 0);
    snmp_store(kAppName);
    CatchReconfig();
    send_easy_trap(SNMP_TRAP_COLDSTART, 0);
    snmp_log(LOG_INFO, "NET-SNMP version %s\n", netsnmp_get_version());
    netsnmp_addrcache_initialise();

    if (!netsnmp_ds_get_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_QUIT_IMMEDIATELY))
        Receive();

    send_easy_trap(SNMP_TRAP_ENTERPRISESPECIFIC, 2);
    snmp_shutdown(kAppName);
    shutdown_master_agent();
    shutdown_agent();
    ReleaseSignals();
    return nullptr;
}
