// The HTTP server's event loop: descriptors registered with a handler and a
// context, behind one table of operations with epoll, poll and select back-ends.
#pragma once
#include "CommonModules/httpd/base.h"
#include <poll.h>
#include <sys/epoll.h>
#include <sys/select.h>

enum { FDEV_IN = 1, FDEV_PRI = 2, FDEV_OUT = 4, FDEV_ERR = 8, FDEV_HUP = 16, FDEV_NVAL = 32 };

typedef handler_t (*fdevent_handler)(server* srv, void* ctx, int revents);

struct fdnode {
    fdevent_handler handler;
    void* ctx;
    void* handler_ctx;
    int fd;
    int events;
};

struct buffer_int {
    int* ptr;
    size_t used;
    size_t size;
};

struct fdevents {
    server* srv;
    fdevent_handler_t type;
    fdnode** fdarray;
    size_t maxfds;

    int epoll_fd;
    struct epoll_event* epoll_events;

    struct pollfd* pollfds;
    size_t size;
    size_t used;
    buffer_int unused;

    fd_set select_read;
    fd_set select_write;
    fd_set select_error;
    fd_set select_set_read;
    fd_set select_set_write;
    fd_set select_set_error;
    int select_max_fd;

    int (*reset)(fdevents* ev);
    void (*free)(fdevents* ev);
    int (*event_set)(fdevents* ev, int fde_ndx, int fd, int events);
    int (*event_del)(fdevents* ev, int fde_ndx, int fd);
    int (*event_get_revent)(fdevents* ev, size_t ndx);
    int (*event_get_fd)(fdevents* ev, size_t ndx);
    int (*event_next_fdndx)(fdevents* ev, int ndx);
    int (*poll)(fdevents* ev, int timeout_ms);
    int (*fcntl_set)(fdevents* ev, int fd);
};

HTTPD_API fdevents* fdevent_init(server* srv, size_t maxfds, fdevent_handler_t type);
HTTPD_API int fdevent_reset(fdevents* ev);
HTTPD_API void fdevent_free(fdevents* ev);
HTTPD_API int fdevent_event_set(fdevents* ev, int* fde_ndx, int fd, int events);
HTTPD_API int fdevent_event_del(fdevents* ev, int* fde_ndx, int fd);
HTTPD_API int fdevent_event_get_revent(fdevents* ev, size_t ndx);
HTTPD_API int fdevent_event_get_fd(fdevents* ev, size_t ndx);
HTTPD_API fdevent_handler fdevent_get_handler(fdevents* ev, int fd);
HTTPD_API void* fdevent_get_context(fdevents* ev, int fd);
HTTPD_API int fdevent_event_next_fdndx(fdevents* ev, int ndx);
HTTPD_API int fdevent_poll(fdevents* ev, int timeout_ms);
HTTPD_API int fdevent_register(fdevents* ev, int fd, fdevent_handler handler, void* ctx);
HTTPD_API int fdevent_unregister(fdevents* ev, int fd);
HTTPD_API int fdevent_fcntl_set(fdevents* ev, int fd);
HTTPD_API int fd_close_on_exec(int fd);

// Back-end initialisers.
int fdevent_select_init(fdevents* ev);
int fdevent_poll_init(fdevents* ev);
int fdevent_linux_sysepoll_init(fdevents* ev);
