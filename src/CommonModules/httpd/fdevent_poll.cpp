// Event loop back-end over poll(2), with a stack of freed slots so that the
// slot array stays dense.
#include "CommonModules/httpd/fdevent.h"
#include "CommonModules/httpd/log.h"
#include <cstdlib>

namespace {

void PollFree(fdevents* ev)
{
    free(ev->pollfds);
    ev->pollfds = nullptr;
    free(ev->unused.ptr);
    ev->unused.ptr = nullptr;
}

int PollSet(fdevents* ev, int fde_ndx, int fd, int events)
{
    short mask = (short)(((events & FDEV_IN) ? POLLIN : 0) | ((events & FDEV_OUT) ? POLLOUT : 0));
    if (fde_ndx != -1) {
        if (fde_ndx < 0 || (size_t)fde_ndx >= ev->used || ev->pollfds[fde_ndx].fd != fd) {
            LOG_ERR(ev->srv, "sdd", "set! slot mismatch", fde_ndx, fd);
            SRV_ABORT();
        }
        ev->pollfds[fde_ndx].events = mask;
        return fde_ndx;
    }
    size_t k;
    if (ev->unused.used > 0) {
        k = (size_t)ev->unused.ptr[--ev->unused.used];
    } else {
        if (ev->used == ev->size) {
            ev->size += 16;
            ev->pollfds = (struct pollfd*)realloc(ev->pollfds, ev->size * sizeof(*ev->pollfds));
            SRV_ASSERT(ev->pollfds);
        }
        k = ev->used++;
    }
    ev->pollfds[k].fd = fd;
    ev->pollfds[k].events = mask;
    ev->pollfds[k].revents = 0;
    return (int)k;
}

int PollDel(fdevents* ev, int fde_ndx, int fd)
{
    if (fde_ndx < 0)
        return -1;
    if ((size_t)fde_ndx >= ev->used) {
        LOG_ERR(ev->srv, "sdd", "del! out of range ", fde_ndx, (int)ev->used);
        SRV_ABORT();
    }
    if (ev->pollfds[fde_ndx].fd != fd) {
        LOG_ERR(ev->srv, "sdd", "del! ", ev->pollfds[fde_ndx].fd, fd);
        SRV_ABORT();
    }
    ev->pollfds[fde_ndx].fd = -1;
    ev->pollfds[fde_ndx].revents = 0;
    if (ev->unused.used == ev->unused.size) {
        ev->unused.size += 16;
        ev->unused.ptr = (int*)realloc(ev->unused.ptr, ev->unused.size * sizeof(int));
        SRV_ASSERT(ev->unused.ptr);
    }
    ev->unused.ptr[ev->unused.used++] = fde_ndx;
    return -1;
}

int PollPoll(fdevents* ev, int timeout_ms)
{
    return poll(ev->pollfds, ev->used, timeout_ms);
}

int PollNext(fdevents* ev, int ndx)
{
    for (size_t i = ndx < 0 ? 0 : (size_t)ndx + 1; i < ev->used; ++i)
        if (ev->pollfds[i].revents)
            return (int)i;
    return -1;
}

int PollGetFd(fdevents* ev, size_t ndx)
{
    return ev->pollfds[ndx].fd;
}

int PollGetRevent(fdevents* ev, size_t ndx)
{
    if (ndx >= ev->used) {
        LOG_ERR(ev->srv, "sdd", "dying because: event: ", (int)ndx, (int)ev->used);
        SRV_ABORT();
    }
    short e = ev->pollfds[ndx].revents;
    if (e & POLLNVAL)
        SRV_ABORT();
    int r = 0;
    if (e & POLLIN)
        r |= FDEV_IN;
    if (e & POLLOUT)
        r |= FDEV_OUT;
    if (e & POLLERR)
        r |= FDEV_ERR;
    if (e & POLLHUP)
        r |= FDEV_HUP;
    if (e & POLLPRI)
        r |= FDEV_PRI;
    return r;
}

}  // namespace

int fdevent_poll_init(fdevents* ev)
{
    ev->type = FDEVENT_HANDLER_POLL;
    ev->free = PollFree;
    ev->poll = PollPoll;
    ev->event_del = PollDel;
    ev->event_set = PollSet;
    ev->event_next_fdndx = PollNext;
    ev->event_get_fd = PollGetFd;
    ev->event_get_revent = PollGetRevent;
    return 0;
}
