// Event loop back-end over Linux epoll (the default).
#include "CommonModules/httpd/fdevent.h"
#include "CommonModules/httpd/log.h"
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

void EpollFree(fdevents* ev)
{
    if (ev->epoll_fd >= 0)
        close(ev->epoll_fd);
    ev->epoll_fd = -1;
    free(ev->epoll_events);
    ev->epoll_events = nullptr;
}

int EpollSet(fdevents* ev, int fde_ndx, int fd, int events)
{
    struct epoll_event ep;
    memset(&ep, 0, sizeof(ep));
    ep.events = EPOLLERR | EPOLLHUP;
    if (events & FDEV_IN)
        ep.events |= EPOLLIN;
    if (events & FDEV_OUT)
        ep.events |= EPOLLOUT;
    ep.data.fd = fd;
    if (epoll_ctl(ev->epoll_fd, fde_ndx == -1 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ep) != 0) {
        // Only this descriptor's owner is affected: it closes the connection.
        LOG_ERR(ev->srv, "SSd", "epoll_ctl failed: ", strerror(errno), fd);
        return -1;
    }
    return fd;
}

int EpollDel(fdevents* ev, int fde_ndx, int fd)
{
    if (fde_ndx < 0)
        return -1;
    struct epoll_event ep;
    memset(&ep, 0, sizeof(ep));
    if (epoll_ctl(ev->epoll_fd, EPOLL_CTL_DEL, fd, &ep) != 0)
        LOG_ERR(ev->srv, "SSd", "epoll_ctl failed: ", strerror(errno), fd);
    return -1;
}

int EpollPoll(fdevents* ev, int timeout_ms)
{
    return epoll_wait(ev->epoll_fd, ev->epoll_events, (int)ev->maxfds, timeout_ms);
}

int EpollNext(fdevents*, int ndx)
{
    return ndx < 0 ? 0 : ndx + 1;
}

int EpollGetFd(fdevents* ev, size_t ndx)
{
    return ev->epoll_events[ndx].data.fd;
}

int EpollGetRevent(fdevents* ev, size_t ndx)
{
    uint32_t e = ev->epoll_events[ndx].events;
    int r = 0;
    if (e & EPOLLIN)
        r |= FDEV_IN;
    if (e & EPOLLOUT)
        r |= FDEV_OUT;
    if (e & EPOLLERR)
        r |= FDEV_ERR;
    if (e & EPOLLHUP)
        r |= FDEV_HUP;
    if (e & EPOLLPRI)
        r |= FDEV_PRI;
    return r;
}

}  // namespace

int fdevent_linux_sysepoll_init(fdevents* ev)
{
    ev->type = FDEVENT_HANDLER_LINUX_SYSEPOLL;
    ev->free = EpollFree;
    ev->event_set = EpollSet;
    ev->poll = EpollPoll;
    ev->event_del = EpollDel;
    ev->event_next_fdndx = EpollNext;
    ev->event_get_fd = EpollGetFd;
    ev->event_get_revent = EpollGetRevent;
    ev->epoll_fd = epoll_create((int)(ev->maxfds ? ev->maxfds : 1));
    if (ev->epoll_fd == -1) {
        LOG_ERR(ev->srv, "SSS", "epoll_create failed (", strerror(errno),
                "), try to set server.event-handler = \"poll\" or \"select\"");
        return -1;
    }
    fd_close_on_exec(ev->epoll_fd);
    ev->epoll_events = (struct epoll_event*)calloc(ev->maxfds ? ev->maxfds : 1, sizeof(struct epoll_event));
    SRV_ASSERT(ev->epoll_events);
    return 0;
}
