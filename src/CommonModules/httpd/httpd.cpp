// The HTTP server thread: builds the server from its configuration file,
// loads the modules, opens the listening sockets, runs the event loop until
// it is asked to stop, then frees everything.
#include <atomic>
#include "CommonModules/httpd/server.h"
#include "CommonModules/httpd/configfile.h"
#include "CommonModules/httpd/connections.h"
#include "CommonModules/httpd/fdevent.h"
#include "CommonModules/httpd/log.h"
#include "CommonModules/httpd/network.h"
#include "CommonModules/httpd/plugin.h"
#include "CommonModules/httpd/response.h"
#include "Platform/platform.h"
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

std::atomic<int> g_ServerFinished{0};
int g_TouchedSize = 0;

namespace {

// Set by signal handlers and by httpd_shutdown from other threads.
std::atomic<int> srv_shutdown{0};
std::atomic<int> graceful_shutdown{0};
volatile sig_atomic_t handle_sig_alarm = 1;
std::atomic<int> handle_sig_hup{0};  // set from the agent's signal handler
std::atomic<unsigned> sighup_uid{0};  // sender of the last SIGHUP
std::atomic<int> sighup_pid{0};

void FillEntropy(server* srv)
{
    int fd = plat::Open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd != -1 && read(fd, srv->entropy, sizeof(srv->entropy)) == (ssize_t)sizeof(srv->entropy)) {
        srv->is_real_entropy = 1;
    } else {
        srand((unsigned)(time(nullptr) ^ getpid()));
        for (char& c : srv->entropy)
            c = (char)rand();
    }
    if (fd != -1)
        close(fd);
}

// Frees what a run built; the server record last.
void Teardown(server* srv)
{
    network_close(srv);
    connections_free(srv);
    plugins_free(srv);
    if (srv->ev)
        fdevent_free(srv->ev);
    srv->ev = nullptr;
    stat_cache_free(srv->stat_cache);
    srv->stat_cache = nullptr;
    server_free(srv);
}

int StartFailed(server* srv, const char* msg)
{
    if (msg)
        LOG_ERR(srv, "s", msg);
    Teardown(srv);
    return -1;
}

void SetSockets(server* srv, bool on)
{
    for (size_t i = 0; i < srv->srv_sockets.used; ++i) {
        server_socket* ss = srv->srv_sockets.ptr[i];
        if (on)
            fdevent_event_set(srv->ev, &ss->fde_ndx, ss->fd, FDEV_IN);
        else if (ss->fde_ndx != -1)
            fdevent_event_del(srv->ev, &ss->fde_ndx, ss->fd);
    }
}

void Housekeeping(server* srv, time_t now)
{
    if (handle_sig_hup) {
        handle_sig_hup = 0;
        handler_t r = plugins_call_handle_sighup(srv);
        if (r != HANDLER_GO_ON)
            LOG_ERR(srv, "sd", "sighup-handler return with an error", (int)r);
        if (log_error_cycle(srv) == -1) {
            LOG_ERR(srv, "s", "cycling errorlog failed, dying");
            srv_shutdown = 1;
            return;
        }
        LOG_ERR(srv, "sdsd", "logfiles cycled UID =", (int)sighup_uid.load(), "PID =", sighup_pid.load());
    }
    if (handle_sig_alarm && now != srv->cur_ts) {
        handler_t r = plugins_call_handle_trigger(srv);
        if (r == HANDLER_ERROR)
            LOG_ERR(srv, "s", "one of the triggers failed");
        else if (r != HANDLER_GO_ON)
            LOG_ERR(srv, "d", (int)r);
        srv->cur_ts = now;
        stat_cache_trigger_cleanup(srv);
        connections_check_timeouts(srv, now);
    }
}

// Notes how many connections the full house closed, at most once a minute.
void NoteRoomMade(server* srv, size_t closed)
{
    static size_t s_unreported = 0;
    static time_t s_lastNote = 0;
    s_unreported += closed;
    if (s_unreported == 0 || srv->cur_ts - s_lastNote < 60)
        return;
    LOG_ERR(srv, "sds", "[note] connection limit reached, closed", (int)s_unreported,
            "lingering or trickling connections");
    s_unreported = 0;
    s_lastNote = srv->cur_ts;
}

void AcceptSwitch(server* srv)
{
    if (!graceful_shutdown)
        NoteRoomMade(srv, connections_make_room(srv));
    size_t conns = srv->conns->used;
    if (srv->sockets_disabled) {
        if (srv->cur_fds + srv->want_fds < srv->max_fds * 8 / 10 && conns <= srv->max_conns * 9 / 10 &&
            !graceful_shutdown) {
            SetSockets(srv, true);
            LOG_ERR(srv, "s", "[note] sockets enabled again");
            srv->sockets_disabled = 0;
        }
        return;
    }
    if (srv->cur_fds + srv->want_fds > srv->max_fds * 9 / 10 || conns >= srv->max_conns || graceful_shutdown) {
        SetSockets(srv, false);
        if (graceful_shutdown) {
            network_close(srv);
            LOG_ERR(srv, "s", "[note] graceful shutdown started");
        } else if (conns >= srv->max_conns) {
            LOG_ERR(srv, "s", "[note] sockets disabled, connection limit reached");
        } else {
            LOG_ERR(srv, "s", "[note] sockets disabled, out-of-fds");
        }
        srv->sockets_disabled = 1;
    }
}

}  // namespace

void server_run_events(server* srv, int timeout_ms)
{
    int n = fdevent_poll(srv->ev, timeout_ms);
    if (n > 0) {
        int ndx = -1;
        for (int k = 0; k < n; ++k) {
            ndx = fdevent_event_next_fdndx(srv->ev, ndx);
            if (ndx < 0)
                break;
            int revents = fdevent_event_get_revent(srv->ev, (size_t)ndx);
            int fd = fdevent_event_get_fd(srv->ev, (size_t)ndx);
            fdevent_handler handler = fdevent_get_handler(srv->ev, fd);
            if (handler == nullptr)
                continue;
            handler_t r = handler(srv, fdevent_get_context(srv->ev, fd), revents);
            if (r != HANDLER_FINISHED && r != HANDLER_GO_ON && r != HANDLER_WAIT_FOR_EVENT &&
                r != HANDLER_WAIT_FOR_FD && r != HANDLER_ERROR)
                LOG_ERR(srv, "d", (int)r);
        }
    } else if (n < 0 && errno != EINTR) {
        LOG_ERR(srv, "ss", "fdevent_poll failed:", strerror(errno));
    }
    // The job list can grow while it is worked through.
    for (size_t k = 0; k < srv->joblist->used; ++k) {
        connection* con = srv->joblist->ptr[k];
        connection_state_machine(srv, con);
        handler_t r = plugins_call_handle_joblist(srv, con);
        if (r != HANDLER_GO_ON && r != HANDLER_FINISHED)
            LOG_ERR(srv, "d", (int)r);
        con->in_joblist = 0;
    }
    srv->joblist->used = 0;
}

void httpd_note_sighup(unsigned uid, int pid)
{
    sighup_uid = uid;
    sighup_pid = pid;
    handle_sig_hup = 1;
}

int httpd_shutdown(bool isShutDown)
{
    srv_shutdown = isShutDown ? 1 : 0;
    graceful_shutdown = isShutDown ? 1 : 0;
    return 0;
}

bool httpd_isServerClose(void)
{
    return g_ServerFinished == 1;
}

int httpd_configuration(int, char**)
{
    setlocale(LC_TIME, "C");
    server* srv = server_init();
    FillEntropy(srv);
    srv->last_generated_date_ts = 0;
    srv->last_generated_debug_ts = 0;
    g_ServerFinished = 0;

    if (config_read(srv, HTTPD_CONFIG_FILE) != 0)
        return StartFailed(srv, nullptr);
    g_TouchedSize = srv->config_touched->size ? (int)srv->config_touched->size - 1 : 0;
    if (config_set_defaults(srv) != 0)
        return StartFailed(srv, "setting default values failed");
    if (getuid() != 0 && (geteuid() != getuid() || getegid() != getgid()))
        return StartFailed(srv, "Are you nuts ? Don't apply a SUID bit to this binary");
    if (buffer_is_empty(srv->config_storage[0]->document_root))
        return StartFailed(srv, "document-root is not set\n");
    // Inside the card's program these keys would act on every other part of
    // it (user, root folder, limits, forked copies): they are refused.
    server_config& sc = srv->srvconf;
    if (!buffer_is_empty(sc.changeroot) || !buffer_is_empty(sc.username) || !buffer_is_empty(sc.groupname) ||
        sc.max_worker > 0 || sc.max_fds > 0 || sc.enable_cores)
        return StartFailed(srv, "server.chroot, server.username, server.groupname, server.max-worker, "
                                "server.max-fds and server.core-files are not supported here");
    if (plugins_load(srv) != 0)
        return StartFailed(srv, "loading plugins finally failed");

    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return StartFailed(srv, "couldn't get 'max filedescriptors'");
    srv->max_fds = rl.rlim_cur == RLIM_INFINITY ? 4096 : (int)std::min<rlim_t>(rl.rlim_cur, 1 << 20);
    if (srv->event_handler == FDEVENT_HANDLER_SELECT && srv->max_fds > 824)
        srv->max_fds = 824;

    if (network_init(srv) != 0)
        return StartFailed(srv, nullptr);

    size_t half = (size_t)srv->max_fds / 2;
    if (sc.max_conns > half) {
        LOG_ERR(srv, "sdd", "can't have more connections than fds/2: ", (int)sc.max_conns, srv->max_fds);
        srv->max_conns = half;
    } else if (sc.max_conns == 0) {
        srv->max_conns = (size_t)srv->max_fds / 3;
    } else {
        srv->max_conns = sc.max_conns;
    }
    if (plugins_call_init(srv) != HANDLER_GO_ON)
        return StartFailed(srv, "Initialization of plugins failed. Going down.");

    // Dispositions are the whole process's: stop signals stay with the
    // agent thread, which ends the program; a peer's close must not.
    signal(SIGPIPE, SIG_IGN);
    srv->uid = getuid();
    srv->gid = getgid();

    if (!buffer_is_empty(sc.pid_file)) {
        std::string pid = std::to_string(getpid()) + "\n";
        if (!plat::WriteFileAtomic(sc.pid_file->ptr, pid.data(), pid.size(), false))
            return StartFailed(srv, "opening pid-file failed:");
    }
    if (log_error_open(srv) != 0)
        return StartFailed(srv, "Opening errorlog failed. Going down.");
    if (plugins_call_set_defaults(srv) != HANDLER_GO_ON)
        return StartFailed(srv, "Configuration of plugins failed. Going down.");
    for (size_t i = 0; i < srv->config_context->used; ++i) {
        data_config* dc = (data_config*)srv->config_context->data[i];
        for (size_t j = 0; j < dc->value->used; ++j) {
            data_unset* du = dc->value->data[j];
            if (strncmp(du->key->ptr, "var.", 4) == 0)
                continue;
            if (array_get_element(srv->config_touched, du->key->ptr) == nullptr)
                LOG_ERR(srv, "sbs", "WARNING: unknown config-key:", du->key, "(ignored)");
        }
    }
    if (srv->config_unsupported)
        return StartFailed(srv, "Configuration contains unsupported keys. Going down.");
    if (srv->config_deprecated)
        return StartFailed(srv, "Configuration contains deprecated keys. Going down.");

    if ((srv->ev = fdevent_init(srv, (size_t)srv->max_fds + 1, srv->event_handler)) == nullptr)
        return StartFailed(srv, "fdevent_init failed");
    if (network_register_fdevents(srv) != 0)
        return StartFailed(srv, nullptr);
    if ((srv->stat_cache = stat_cache_init()) == nullptr)
        return StartFailed(srv, "stat-cache could not be setup, dieing.");
    int probe = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (probe != -1) {
        srv->cur_fds = probe;
        close(probe);
    }
    for (size_t i = 0; i < srv->srv_sockets.used; ++i) {
        if (fdevent_fcntl_set(srv->ev, srv->srv_sockets.ptr[i]->fd) == -1) {
            LOG_ERR(srv, "ss", "fcntl failed:", strerror(errno));
            return StartFailed(srv, nullptr);
        }
    }

    while (!srv_shutdown) {
        Housekeeping(srv, time(nullptr));
        if (srv_shutdown)
            break;
        AcceptSwitch(srv);
        if (graceful_shutdown && srv->conns->used == 0) {
            srv_shutdown = 1;
            break;
        }
        while (srv->fdwaitqueue->used && srv->max_fds - srv->cur_fds - 16 > 0) {
            connection* con = fdwaitqueue_unshift(srv, srv->fdwaitqueue);
            connection_state_machine(srv, con);
            srv->want_fds--;
        }
        // A full house looks again soon: connections begin to trickle within
        // the second, and newcomers wait for that room.
        server_run_events(srv, srv->sockets_disabled ? 100 : 1000);
    }

    if (!buffer_is_empty(sc.pid_file) && !graceful_shutdown)
        unlink(plat::Path(sc.pid_file->ptr).c_str());
    LOG_ERR(srv, "sdsd", "server stopped by UID =", 0, "PID =", 0);
    log_error_close(srv);
    Teardown(srv);
    g_ServerFinished = 1;
    return 0;
}
