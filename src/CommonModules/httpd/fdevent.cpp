// Event loop front end: registration of descriptors and dispatch through the
// chosen back-end's operation table.
#include "CommonModules/httpd/fdevent.h"
#include "CommonModules/httpd/log.h"
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

int fd_close_on_exec(int fd)
{
    if (fd < 0)
        return 0;
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) == -1)
        log_failed_assert(SRV_FILE, __LINE__, "assertion failed: -1 != fcntl(fd, F_SETFD, FD_CLOEXEC)");
    return 0;
}

fdevents* fdevent_init(server* srv, size_t maxfds, fdevent_handler_t type)
{
    fdevents* ev = (fdevents*)calloc(1, sizeof(*ev));
    SRV_ASSERT(ev);
    ev->srv = srv;
    ev->fdarray = (fdnode**)calloc(maxfds ? maxfds : 1, sizeof(*ev->fdarray));
    SRV_ASSERT(ev->fdarray);
    ev->maxfds = maxfds;
    ev->epoll_fd = -1;
    ev->select_max_fd = -1;
    const char* failed = nullptr;
    const char* retry = ", try to set server.event-handler = \"poll\" or \"select\"";
    int rc = -1;
    switch (type) {
    case FDEVENT_HANDLER_SELECT:
        rc = fdevent_select_init(ev);
        failed = "event-handler select failed";
        break;
    case FDEVENT_HANDLER_POLL:
        rc = fdevent_poll_init(ev);
        failed = "event-handler poll failed";
        break;
    case FDEVENT_HANDLER_LINUX_SYSEPOLL:
        rc = fdevent_linux_sysepoll_init(ev);
        failed = "event-handler linux-sysepoll failed";
        break;
    case FDEVENT_HANDLER_SOLARIS_DEVPOLL:
        LOG_ERR(srv, "S", "solaris-devpoll not supported, try to set server.event-handler = \"poll\" or \"select\"");
        failed = "event-handler solaris-devpoll failed";
        break;
    case FDEVENT_HANDLER_SOLARIS_PORT:
        LOG_ERR(srv, "S", "solaris-eventports not supported, try to set server.event-handler = \"poll\" or \"select\"");
        failed = "event-handler solaris-eventports failed";
        break;
    case FDEVENT_HANDLER_FREEBSD_KQUEUE:
        LOG_ERR(srv, "S", "kqueue not available, try to set server.event-handler = \"poll\" or \"select\"");
        failed = "event-handler freebsd-kqueue failed";
        break;
    case FDEVENT_HANDLER_LIBEV:
        LOG_ERR(srv, "S", "libev not supported, try to set server.event-handler = \"poll\" or \"select\"");
        failed = "event-handler libev failed";
        break;
    default:
        break;
    }
    if (rc == 0)
        return ev;
    if (failed)
        LOG_ERR(srv, "SS", failed, type <= FDEVENT_HANDLER_POLL ? "" : retry);
    if (ev->free)
        ev->free(ev);
    free(ev->fdarray);
    free(ev);
    LOG_ERR(srv, "S", "event-handler is unknown, try to set server.event-handler = \"poll\" or \"select\"");
    return nullptr;
}

int fdevent_reset(fdevents* ev)
{
    return ev->reset ? ev->reset(ev) : 0;
}

void fdevent_free(fdevents* ev)
{
    if (ev == nullptr)
        return;
    if (ev->free)
        ev->free(ev);
    for (size_t i = 0; i < ev->maxfds; ++i)
        free(ev->fdarray[i]);
    free(ev->fdarray);
    free(ev);
}

int fdevent_register(fdevents* ev, int fd, fdevent_handler handler, void* ctx)
{
    // A descriptor the table (or select's sets) cannot hold is refused; the
    // caller closes it instead of writing past the table.
    if (fd < 0 || (size_t)fd >= ev->maxfds || (ev->type == FDEVENT_HANDLER_SELECT && fd >= FD_SETSIZE)) {
        LOG_ERR(ev->srv, "sd", "descriptor beyond the event table refused:", fd);
        return -1;
    }
    if (ev->fdarray[fd]) {
        LOG_ERR(ev->srv, "sd", "descriptor registered twice:", fd);
        return -1;
    }
    fdnode* fdn = (fdnode*)calloc(1, sizeof(*fdn));
    SRV_ASSERT(fdn);
    fdn->handler = handler;
    fdn->ctx = ctx;
    fdn->fd = fd;
    ev->fdarray[fd] = fdn;
    return 0;
}

int fdevent_unregister(fdevents* ev, int fd)
{
    if (ev == nullptr || fd < 0 || (size_t)fd >= ev->maxfds)
        return 0;
    fdnode* fdn = ev->fdarray[fd];
    if (fdn == nullptr)
        return 0;
    if (fdn->events != 0)
        log_failed_assert(SRV_FILE, __LINE__, "assertion failed: fdn->events == 0");
    free(fdn);
    ev->fdarray[fd] = nullptr;
    return 0;
}

int fdevent_event_set(fdevents* ev, int* fde_ndx, int fd, int events)
{
    if (fd < 0 || (size_t)fd >= ev->maxfds || ev->fdarray[fd] == nullptr)
        return -1;
    int ndx = fde_ndx ? *fde_ndx : -1;
    int rc = ev->event_set(ev, ndx, fd, events);
    if (rc < 0)
        return -1;  // the back-end logged it; the caller closes that connection
    if (fde_ndx)
        *fde_ndx = rc;
    ev->fdarray[fd]->events = events;
    return 0;
}

int fdevent_event_del(fdevents* ev, int* fde_ndx, int fd)
{
    if (fd < 0 || (size_t)fd >= ev->maxfds || ev->fdarray[fd] == nullptr)
        return 0;
    int rc = ev->event_del(ev, fde_ndx ? *fde_ndx : -1, fd);
    ev->fdarray[fd]->events = 0;
    if (fde_ndx)
        *fde_ndx = rc;
    return 0;
}

int fdevent_poll(fdevents* ev, int timeout_ms)
{
    if (ev->poll == nullptr)
        SRV_ABORT();
    return ev->poll(ev, timeout_ms);
}

int fdevent_event_get_revent(fdevents* ev, size_t ndx)
{
    if (ev->event_get_revent == nullptr)
        SRV_ABORT();
    return ev->event_get_revent(ev, ndx);
}

int fdevent_event_get_fd(fdevents* ev, size_t ndx)
{
    if (ev->event_get_fd == nullptr)
        SRV_ABORT();
    return ev->event_get_fd(ev, ndx);
}

static fdnode* Node(fdevents* ev, int fd)
{
    fdnode* fdn = (fd >= 0 && (size_t)fd < ev->maxfds) ? ev->fdarray[fd] : nullptr;
    if (fdn == nullptr || fdn->fd != fd)
        log_failed_assert(SRV_FILE, __LINE__, "assertion failed: fdn->fd == fd");
    return fdn;
}

fdevent_handler fdevent_get_handler(fdevents* ev, int fd)
{
    return Node(ev, fd)->handler;
}

void* fdevent_get_context(fdevents* ev, int fd)
{
    return Node(ev, fd)->ctx;
}

int fdevent_event_next_fdndx(fdevents* ev, int ndx)
{
    return ev->event_next_fdndx ? ev->event_next_fdndx(ev, ndx) : -1;
}

int fdevent_fcntl_set(fdevents* ev, int fd)
{
    fd_close_on_exec(fd);
    if (ev && ev->fcntl_set)
        return ev->fcntl_set(ev, fd);
    return fcntl(fd, F_SETFL, O_NONBLOCK | O_RDWR);
}
