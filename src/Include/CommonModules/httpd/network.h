// Listening sockets of the HTTP server and the writers that send a
// connection's outgoing chunk queue, with the bandwidth limits.
#pragma once
#include "CommonModules/httpd/base.h"

enum network_backend_t {
    NETWORK_BACKEND_UNSET,
    NETWORK_BACKEND_WRITE,
    NETWORK_BACKEND_WRITEV,
    NETWORK_BACKEND_LINUX_SENDFILE,
    NETWORK_BACKEND_FREEBSD_SENDFILE,
    NETWORK_BACKEND_SOLARIS_SENDFILEV
};

HTTPD_API int network_init(server* srv);
HTTPD_API int network_server_init(server* srv, buffer* host_token, specific_config* s);
HTTPD_API int network_register_fdevents(server* srv);
HTTPD_API handler_t network_server_handle_fdevent(server* srv, void* context, int revents);
HTTPD_API int network_close(server* srv);
HTTPD_API int network_write_chunkqueue(server* srv, connection* con, chunkqueue* cq, off32_t max_bytes);
HTTPD_API int network_write_chunkqueue_write(server* srv, connection* con, int fd, chunkqueue* cq, off32_t max_bytes);
HTTPD_API int network_write_chunkqueue_writev(server* srv, connection* con, int fd, chunkqueue* cq,
                                              off32_t max_bytes);
