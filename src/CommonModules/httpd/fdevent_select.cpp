// Event loop back-end over select(2); descriptors from FD_SETSIZE on are
// refused when they register.
#include "CommonModules/httpd/fdevent.h"
#include "CommonModules/httpd/log.h"

namespace {

int SelectReset(fdevents* ev)
{
    FD_ZERO(&ev->select_set_read);
    FD_ZERO(&ev->select_set_write);
    FD_ZERO(&ev->select_set_error);
    ev->select_max_fd = -1;
    return 0;
}

int SelectSet(fdevents* ev, int, int fd, int events)
{
    if (fd < 0 || fd >= FD_SETSIZE) {
        LOG_ERR(ev->srv, "sd", "descriptor beyond select's sets refused:", fd);
        return -1;
    }
    if (events & FDEV_IN)
        FD_SET(fd, &ev->select_set_read);
    else
        FD_CLR(fd, &ev->select_set_read);
    if (events & FDEV_OUT)
        FD_SET(fd, &ev->select_set_write);
    else
        FD_CLR(fd, &ev->select_set_write);
    FD_SET(fd, &ev->select_set_error);
    if (fd > ev->select_max_fd)
        ev->select_max_fd = fd;
    return fd;
}

int SelectDel(fdevents* ev, int fde_ndx, int fd)
{
    if (fde_ndx < 0 || fd < 0 || fd >= FD_SETSIZE)
        return -1;
    FD_CLR(fd, &ev->select_set_read);
    FD_CLR(fd, &ev->select_set_write);
    FD_CLR(fd, &ev->select_set_error);
    return -1;
}

int SelectPoll(fdevents* ev, int timeout_ms)
{
    struct timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    ev->select_read = ev->select_set_read;
    ev->select_write = ev->select_set_write;
    ev->select_error = ev->select_set_error;
    return select(ev->select_max_fd + 1, &ev->select_read, &ev->select_write, &ev->select_error, &tv);
}

int SelectNext(fdevents* ev, int ndx)
{
    for (int i = ndx < 0 ? 0 : ndx + 1; i <= ev->select_max_fd; ++i)
        if (FD_ISSET(i, &ev->select_read) || FD_ISSET(i, &ev->select_write) || FD_ISSET(i, &ev->select_error))
            return i;
    return -1;
}

int SelectGetFd(fdevents*, size_t ndx)
{
    return (int)ndx;
}

int SelectGetRevent(fdevents* ev, size_t ndx)
{
    int r = 0;
    int fd = (int)ndx;
    if (FD_ISSET(fd, &ev->select_read))
        r |= FDEV_IN;
    if (FD_ISSET(fd, &ev->select_write))
        r |= FDEV_OUT;
    if (FD_ISSET(fd, &ev->select_error))
        r |= FDEV_ERR;
    return r;
}

}  // namespace

int fdevent_select_init(fdevents* ev)
{
    ev->type = FDEVENT_HANDLER_SELECT;
    ev->reset = SelectReset;
    ev->poll = SelectPoll;
    ev->event_del = SelectDel;
    ev->event_set = SelectSet;
    ev->event_next_fdndx = SelectNext;
    ev->event_get_fd = SelectGetFd;
    ev->event_get_revent = SelectGetRevent;
    SelectReset(ev);
    return 0;
}
