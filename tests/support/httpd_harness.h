// An HTTP server driven by hand on the current board root: configuration
// from a text, a Unix listening socket, clients connected to it and passes
// of the event loop run by the caller.
#pragma once
#include "CommonModules/httpd/chunk.h"
#include "CommonModules/httpd/configfile.h"
#include "CommonModules/httpd/connections.h"
#include "CommonModules/httpd/fdevent.h"
#include "CommonModules/httpd/network.h"
#include "CommonModules/httpd/plugin.h"
#include "CommonModules/httpd/response.h"
#include "CommonModules/httpd/server.h"
#include "Platform/platform.h"
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

struct HttpdHarness {
    server* srv = nullptr;
    std::string sock = "/httpdh/s.sock";

    // Reads the configuration text, loads its modules (withModules) and
    // opens the listening socket; false on any failure.
    bool Start(const std::string& conf, bool withModules)
    {
        plat::MakeDirs("/httpdh/web/");
        if (!plat::WriteFileAtomic("/httpdh/httpd.conf", conf.data(), conf.size(), false))
            return false;
        srv = server_init();
        srv->errorlog_fd = -1;
        if (config_read(srv, "/httpdh/httpd.conf") != 0 || config_set_defaults(srv) != 0)
            return false;
        if (withModules) {
            if (plugins_load(srv) != 0)
                return false;
        } else {
            array_reset(srv->srvconf.modules);
        }
        if (plugins_call_init(srv) != HANDLER_GO_ON || plugins_call_set_defaults(srv) != HANDLER_GO_ON)
            return false;
        srv->max_fds = 1024;
        srv->max_conns = 64;
        buffer* token = buffer_init_string((sock + ":0").c_str());
        int rc = network_server_init(srv, token, srv->config_storage[0]);
        buffer_free(token);
        srv->network_backend_write = network_write_chunkqueue_writev;
        srv->ev = fdevent_init(srv, 1025, FDEVENT_HANDLER_POLL);
        srv->stat_cache = stat_cache_init();
        if (rc != 0 || srv->ev == nullptr || network_register_fdevents(srv) != 0)
            return false;
        fdevent_fcntl_set(srv->ev, srv->srv_sockets.ptr[0]->fd);
        return true;
    }

    // A client connected and accepted; returns the client's descriptor.
    int Connect(connection** con = nullptr)
    {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::string real = plat::Path(sock);
        strncpy(a.sun_path, real.c_str(), sizeof(a.sun_path) - 1);
        if (connect(fd, (sockaddr*)&a, sizeof(a)) != 0) {
            close(fd);
            return -1;
        }
        connection* c = connection_accept(srv, srv->srv_sockets.ptr[0]);
        if (c)
            connection_state_machine(srv, c);
        if (con)
            *con = c;
        return fd;
    }

    void Run(int passes = 1, int timeoutMs = 0)
    {
        for (int i = 0; i < passes; ++i)
            server_run_events(srv, timeoutMs);
    }

    ~HttpdHarness()
    {
        if (srv == nullptr)
            return;
        network_close(srv);
        connections_free(srv);
        plugins_free(srv);
        if (srv->ev)
            fdevent_free(srv->ev);
        stat_cache_free(srv->stat_cache);
        server_free(srv);
    }
};
