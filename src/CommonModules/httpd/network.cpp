// Listening sockets of the HTTP server (TCP on the chip's own address or a
// Unix socket), the accept handler, and the "write" and "writev" writers
// with TCP_CORK and bandwidth limits.
#include "CommonModules/httpd/network.h"
#include "CommonModules/httpd/chunk.h"
#include "CommonModules/httpd/connections.h"
#include "CommonModules/httpd/fdevent.h"
#include "CommonModules/httpd/log.h"
#include "CommonModules/httpd/plugin.h"
#include "CommonModules/httpd/response.h"
#include "Platform/platform.h"
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

constexpr off32_t kMmapWindow = 512 * 1024;

void FreeSocket(server* srv, server_socket* s)
{
    if (s->fd != -1) {
        if (s->fde_ndx != -1 && srv->ev) {
            fdevent_event_del(srv->ev, &s->fde_ndx, s->fd);
            fdevent_unregister(srv->ev, s->fd);
        }
        close(s->fd);
    }
    buffer_free(s->srv_token);
    free(s);
}

int Fail(server* srv, server_socket* s)
{
    FreeSocket(srv, s);
    return -1;
}

// Dotted IPv4 or "localhost" only: the server makes no name look-ups.
bool ParseHost(const std::string& host, in_addr& out)
{
    if (host == "localhost") {
        out.s_addr = htonl(INADDR_LOOPBACK);
        return true;
    }
    return inet_pton(AF_INET, host.c_str(), &out) == 1;
}

// Bytes a write may take: -1 when the peer is gone, -2 on another error.
ssize_t CheckedWrite(server* srv, int fd, ssize_t r, const char* what)
{
    if (r >= 0)
        return r;
    switch (errno) {
    case EAGAIN:
    case EINTR:
        return 0;
    case EPIPE:
    case ECONNRESET:
        return -2;
    default:
        LOG_ERR(srv, "ssd", what, strerror(errno), fd);
        return -1;
    }
}

// The file behind a file chunk, checked against the part still to send.
stat_cache_entry* CheckFileChunk(server* srv, connection* con, chunk* c)
{
    stat_cache_entry* sce = nullptr;
    if (stat_cache_get_entry(srv, con, c->file.name, &sce) == HANDLER_ERROR) {
        LOG_ERR(srv, "sb", strerror(errno), c->file.name);
        return nullptr;
    }
    if ((off_t)c->file.start + c->offset > sce->st.st_size) {
        LOG_ERR(srv, "sb", "file was shrinked:", c->file.name);
        return nullptr;
    }
    return sce;
}

}  // namespace

int network_server_init(server* srv, buffer* host_token, specific_config* s)
{
    server_socket* ss = (server_socket*)calloc(1, sizeof(*ss));
    SRV_ASSERT(ss);
    ss->fd = -1;
    ss->fde_ndx = -1;
    ss->srv_token = buffer_init_buffer(host_token);

    std::string token(host_token->ptr ? host_token->ptr : "", host_token->used ? host_token->used - 1 : 0);
    size_t colon = token.rfind(':');
    if (colon == std::string::npos) {
        LOG_ERR(srv, "s", "value of $SERVER[\"socket\"] has to be \"ip:port\".");
        return Fail(srv, ss);
    }
    std::string host = token.substr(0, colon);
    std::string portText = token.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        s->use_ipv6 = 1;
    }
    char* end = nullptr;
    long port = strtol(portText.c_str(), &end, 10);
    if (portText.empty() || *end != '\0')
        port = 0;

    bool unixSocket = !host.empty() && host[0] == '/';
    if (unixSocket) {
        if ((ss->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) == -1) {
            LOG_ERR(srv, "ss", "socket failed:", strerror(errno));
            return Fail(srv, ss);
        }
    } else {
        if (port < 1 || port > 65535) {
            LOG_ERR(srv, "sd", "port out of range:", (int)port);
            return Fail(srv, ss);
        }
        if ((ss->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP)) == -1) {
            LOG_ERR(srv, "ss", "socket failed:", strerror(errno));
            return Fail(srv, ss);
        }
    }
    fd_close_on_exec(ss->fd);
    srv->cur_fds = ss->fd;
    int one = 1;
    if (setsockopt(ss->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) == -1) {
        LOG_ERR(srv, "ss", "socketsockopt(SO_REUSEADDR) failed:", strerror(errno));
        return Fail(srv, ss);
    }

    if (unixSocket) {
        std::string real = plat::Path(host);
        if (host.size() > 107 || real.size() >= sizeof(ss->addr.un.sun_path)) {
            LOG_ERR(srv, "ss", "unix socket filename too long:", host.c_str());
            return Fail(srv, ss);
        }
        ss->addr.un.sun_family = AF_UNIX;
        memcpy(ss->addr.un.sun_path, real.c_str(), real.size() + 1);
        socklen_t len = (socklen_t)(offsetof(sockaddr_un, sun_path) + real.size() + 1);
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe != -1 && connect(probe, &ss->addr.plain, len) == 0) {
            close(probe);
            LOG_ERR(srv, "ss", "server socket is still in use:", host.c_str());
            return Fail(srv, ss);
        }
        int err = errno;
        if (probe != -1)
            close(probe);
        if (err == ECONNREFUSED) {
            unlink(real.c_str());
        } else if (err != ENOENT) {
            LOG_ERR(srv, "sss", "testing socket failed:", host.c_str(), strerror(err));
            return Fail(srv, ss);
        }
        if (bind(ss->fd, &ss->addr.plain, len) != 0) {
            LOG_ERR(srv, "sss", "can't bind to socket:", host.c_str(), strerror(errno));
            return Fail(srv, ss);
        }
    } else {
        ss->addr.ipv4.sin_family = AF_INET;
        ss->addr.ipv4.sin_port = htons((uint16_t)port);
        if (host.empty()) {
            ss->addr.ipv4.sin_addr.s_addr = htonl(INADDR_ANY);
        } else if (!ParseHost(host, ss->addr.ipv4.sin_addr)) {
            LOG_ERR(srv, "sds", "gethostbyname failed: ", 1, host.c_str());
            return Fail(srv, ss);
        }
        // The platform binds the chip's own address for "every address".
        if (plat::Bind(ss->fd, &ss->addr.ipv4) != 0) {
            LOG_ERR(srv, "sssds", "can't bind to port:", host.c_str(), ":", (int)port, strerror(errno));
            return Fail(srv, ss);
        }
        socklen_t alen = sizeof(ss->addr.ipv4);
        getsockname(ss->fd, &ss->addr.plain, &alen);
    }
    if (ss->addr.plain.sa_family == AF_INET) {
        // Clients inherit it: a response queues at most this much beyond what
        // the peer's window takes, so a client that reads nothing costs the
        // card little memory and copying; fast readers are refilled in time.
        // Kept small: a peer with a tiny window splits what is queued into
        // segments of half of it, and a slow-read flood made the server
        // allocate and free thousands of them per client it took in.
        int lowat = 16 * 1024;
        setsockopt(ss->fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowat, sizeof(lowat));
    }
    if (listen(ss->fd, 1024) == -1) {
        LOG_ERR(srv, "ss", "listen failed: ", strerror(errno));
        return Fail(srv, ss);
    }
    if (s->ssl_enabled) {
        LOG_ERR(srv, "ss", "SSL:", "ssl requested but openssl support is not compiled in");
        return Fail(srv, ss);
    }
    if (s->defer_accept) {
        int v = s->defer_accept;
        if (setsockopt(ss->fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &v, sizeof(v)) == -1)
            LOG_ERR(srv, "ss", "can't set TCP_DEFER_ACCEPT: ", strerror(errno));
    }
    ss->is_ssl = s->ssl_enabled;

    server_socket_array& sa = srv->srv_sockets;
    if (sa.used == sa.size) {
        sa.size = sa.size ? sa.size + 4 : 4;
        sa.ptr = (server_socket**)realloc(sa.ptr, sa.size * sizeof(*sa.ptr));
        SRV_ASSERT(sa.ptr);
    }
    sa.ptr[sa.used++] = ss;
    return 0;
}

int network_init(server* srv)
{
    buffer* b = buffer_init();
    buffer_copy_string_buffer(b, srv->srvconf.bindhost);
    buffer_append_string_len(b, CONST_STR_LEN(":"));
    buffer_append_long(b, srv->srvconf.port);
    int rc = network_server_init(srv, b, srv->config_storage[0]);
    buffer_free(b);
    if (rc != 0)
        return -1;

    buffer* be = srv->srvconf.network_backend;
    if (buffer_is_empty(be) || buffer_is_equal_string(be, CONST_STR_LEN("writev"))) {
        srv->network_backend_write = network_write_chunkqueue_writev;
    } else if (buffer_is_equal_string(be, CONST_STR_LEN("write"))) {
        srv->network_backend_write = network_write_chunkqueue_write;
    } else {
        LOG_ERR(srv, "sb", "server.network-backend has a unknown value:", be);
        return -1;
    }

    for (size_t i = 1; i < srv->config_context->used; ++i) {
        data_config* dc = (data_config*)srv->config_context->data[i];
        if (!buffer_is_equal_string(dc->comp_key, CONST_STR_LEN("SERVER[\"socket\"]")) || dc->cond != CONFIG_COND_EQ)
            continue;
        bool open = false;
        for (size_t j = 0; j < srv->srv_sockets.used; ++j)
            if (buffer_is_equal(srv->srv_sockets.ptr[j]->srv_token, dc->string))
                open = true;
        if (!open && network_server_init(srv, dc->string, srv->config_storage[i]) != 0)
            return -1;
    }
    return 0;
}

int network_register_fdevents(server* srv)
{
    if (fdevent_reset(srv->ev) == -1)
        return -1;
    for (size_t i = 0; i < srv->srv_sockets.used; ++i) {
        server_socket* ss = srv->srv_sockets.ptr[i];
        fdevent_register(srv->ev, ss->fd, network_server_handle_fdevent, ss);
        fdevent_event_set(srv->ev, &ss->fde_ndx, ss->fd, FDEV_IN);
    }
    return 0;
}

handler_t network_server_handle_fdevent(server* srv, void* context, int revents)
{
    server_socket* ss = (server_socket*)context;
    if (!(revents & FDEV_IN)) {
        LOG_ERR(srv, "sdd", "strange event for server socket", ss->fd, revents);
        return HANDLER_ERROR;
    }
    for (int loops = 0; loops < 100; ++loops) {
        connection* con = connection_accept(srv, ss);
        if (con == nullptr)
            break;
        connection_state_machine(srv, con);
        handler_t r = plugins_call_handle_joblist(srv, con);
        if (r != HANDLER_GO_ON && r != HANDLER_FINISHED)
            LOG_ERR(srv, "d", (int)r);
    }
    return HANDLER_GO_ON;
}

int network_close(server* srv)
{
    for (size_t i = 0; i < srv->srv_sockets.used; ++i)
        FreeSocket(srv, srv->srv_sockets.ptr[i]);
    free(srv->srv_sockets.ptr);
    srv->srv_sockets.ptr = nullptr;
    srv->srv_sockets.used = srv->srv_sockets.size = 0;
    return 0;
}

int network_write_chunkqueue_write(server* srv, connection* con, int fd, chunkqueue* cq, off32_t max_bytes)
{
    for (chunk* c = cq->first; c && max_bytes > 0; c = c->next) {
        ssize_t r = 0;
        off32_t left = 0;
        if (c->type == chunk::MEM_CHUNK) {
            if (c->mem->used < 2)
                continue;
            left = (off32_t)(c->mem->used - 1) - c->offset;
            size_t n = (size_t)std::min(left, max_bytes);
            r = CheckedWrite(srv, fd, write(fd, c->mem->ptr + c->offset, n), "write failed:");
        } else if (c->type == chunk::FILE_CHUNK) {
            if (CheckFileChunk(srv, con, c) == nullptr)
                return -1;
            left = c->file.length - c->offset;
            int ffd = plat::Open(std::string(c->file.name->ptr), O_RDONLY | O_CLOEXEC);
            if (ffd == -1) {
                LOG_ERR(srv, "ss", "open failed: ", strerror(errno));
                return -1;
            }
            size_t want = (size_t)std::min(left, max_bytes);
            buffer_prepare_copy(srv->tmp_buf, want + 1);
            if (lseek(ffd, (off_t)c->file.start + c->offset, SEEK_SET) == -1) {
                LOG_ERR(srv, "ss", "lseek: ", strerror(errno));
                close(ffd);
                return -1;
            }
            ssize_t got = read(ffd, srv->tmp_buf->ptr, want);
            close(ffd);
            if (got <= 0) {
                LOG_ERR(srv, "ss", "read: ", got < 0 ? strerror(errno) : "end of file");
                return -1;
            }
            r = CheckedWrite(srv, fd, write(fd, srv->tmp_buf->ptr, (size_t)got), "write failed:");
        } else {
            LOG_ERR(srv, "s", "type not known");
            return -1;
        }
        if (r < 0)
            return (int)r;
        c->offset += (off32_t)r;
        cq->bytes_out += (off32_t)r;
        max_bytes -= (off32_t)r;
        if (r < left)
            return 0;
    }
    return 0;
}

namespace {

// The stat cache keeps the first window of a file mapped while the file's
// status stays the same, so that requests for it map, open and fault in
// nothing. False when it cannot (another file behind the name now, or the
// cache full): the chunk then maps a window of its own.
bool BorrowFirstWindow(server* srv, chunk* c, stat_cache_entry* sce, off32_t winEnd)
{
    stat_cache* sc = srv->stat_cache;
    if (sce->window == nullptr) {
        if (sc->windows >= STAT_CACHE_MAX_WINDOWS || sce->st.st_size <= 0)
            return false;
        int fd = plat::Open(std::string(c->file.name->ptr), O_RDONLY | O_CLOEXEC);
        if (fd == -1)
            return false;
        struct stat now;
        bool same = fstat(fd, &now) == 0 && now.st_dev == sce->st.st_dev && now.st_ino == sce->st.st_ino &&
                    now.st_size == sce->st.st_size;
        size_t len = (size_t)std::min<off_t>(kMmapWindow, sce->st.st_size);
        void* m = same ? mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
        close(fd);  // the mapping keeps the file
        if (m == MAP_FAILED)
            return false;
        if (len > 64 * 1024)
            madvise(m, len, MADV_WILLNEED);
        file_window* w = (file_window*)malloc(sizeof(*w));
        SRV_ASSERT(w);
        *w = file_window{(char*)m, len, 1};
        sce->window = w;
        sc->windows++;
    }
    if ((off32_t)sce->window->length < winEnd)
        return false;
    sce->window->refs++;
    c->file.mmap.shared = sce->window;
    c->file.mmap.start = sce->window->start;
    c->file.mmap.length = sce->window->length;
    c->file.mmap.offset = 0;
    return true;
}

// Maps the window of a file chunk that holds its current position; the
// bytes of the chunk from there to the window's end are returned in *avail.
int MapWindow(server* srv, connection* con, chunk* c, off32_t* avail)
{
    stat_cache_entry* sce = CheckFileChunk(srv, con, c);
    if (sce == nullptr)
        return -1;
    off32_t pos = c->file.start + c->offset;  // absolute position in the file
    off32_t rangeEnd = c->file.start + c->file.length;
    if (c->file.mmap.start != (char*)MAP_FAILED && pos >= c->file.mmap.offset + (off32_t)c->file.mmap.length)
        chunk_release_mmap(c);
    if (c->file.mmap.start == (char*)MAP_FAILED) {
        off32_t winStart = (pos / kMmapWindow) * kMmapWindow;
        off32_t winEnd = std::min<off32_t>(winStart + kMmapWindow, rangeEnd);
        if (winStart != 0 || !BorrowFirstWindow(srv, c, sce, winEnd)) {
            if (c->file.fd == -1) {
                c->file.fd = plat::Open(std::string(c->file.name->ptr), O_RDONLY | O_CLOEXEC);
                if (c->file.fd == -1) {
                    LOG_ERR(srv, "sbs", "open failed for:", c->file.name, strerror(errno));
                    return -1;
                }
            }
            // The open file itself must still hold the window: bytes past
            // its end cannot be sent, so only this connection fails.
            struct stat now;
            if (fstat(c->file.fd, &now) == -1 || now.st_size < winEnd) {
                LOG_ERR(srv, "sb", "file was shrinked:", c->file.name);
                return -1;
            }
            void* m = mmap(nullptr, (size_t)(winEnd - winStart), PROT_READ, MAP_SHARED, c->file.fd, winStart);
            if (m == MAP_FAILED) {
                LOG_ERR(srv, "ssbd", "mmap failed:", strerror(errno), c->file.name, c->file.fd);
                return -1;
            }
            c->file.mmap.start = (char*)m;
            c->file.mmap.length = (size_t)(winEnd - winStart);
            c->file.mmap.offset = winStart;
            if (c->file.mmap.length > 64 * 1024)
                madvise(m, c->file.mmap.length, MADV_WILLNEED);
        }
    }
    *avail = std::min<off32_t>(c->file.mmap.offset + (off32_t)c->file.mmap.length, rangeEnd) - pos;
    if (*avail < 0) {
        LOG_ERR(srv, "soooo", "toSend is negative:", *avail, (off32_t)c->file.mmap.length, pos, c->file.mmap.offset);
        return -1;
    }
    return 0;
}

// Advances a chunk by what was written of it; a finished file chunk lets
// its mapping go.
void Advance(chunk* c, off32_t n)
{
    c->offset += n;
    if (c->type == chunk::FILE_CHUNK && c->offset == c->file.length)
        chunk_release_mmap(c);
}

}  // namespace

int network_write_chunkqueue_writev(server* srv, connection* con, int fd, chunkqueue* cq, off32_t max_bytes)
{
    for (chunk* c = cq->first; c && max_bytes > 0;) {
        if (c->type != chunk::MEM_CHUNK && c->type != chunk::FILE_CHUNK) {
            LOG_ERR(srv, "s", "type not known");
            return -1;
        }
        // Memory chunks in a row, and the window of a file chunk after
        // them, leave in one call (a head and a small file in one segment).
        struct iovec iov[1025];
        chunk* parts[1025];
        off32_t full[1025];
        size_t n = 0;
        off32_t total = 0;
        chunk* t = c;
        for (; t && t->type == chunk::MEM_CHUNK && n < 1024 && total < max_bytes; t = t->next) {
            off32_t len = t->mem->used > 1 ? (off32_t)(t->mem->used - 1) - t->offset : 0;
            if (len < 0)
                len = 0;
            full[n] = len;
            len = std::min(len, max_bytes - total);
            iov[n].iov_base = len ? t->mem->ptr + t->offset : nullptr;
            iov[n].iov_len = (size_t)len;
            parts[n++] = t;
            total += len;
        }
        if (t && t->type == chunk::FILE_CHUNK && total < max_bytes && (n == 0 || full[n - 1] == (off32_t)iov[n - 1].iov_len)) {
            off32_t avail = 0;
            if (MapWindow(srv, con, t, &avail) != 0)
                return -1;
            off32_t pos = t->file.start + t->offset;
            off32_t len = std::min(avail, max_bytes - total);
            full[n] = avail;
            iov[n].iov_base = t->file.mmap.start + (pos - t->file.mmap.offset);
            iov[n].iov_len = (size_t)len;
            parts[n++] = t;
            total += len;
        }
        ssize_t r = n == 1 ? write(fd, iov[0].iov_base, iov[0].iov_len) : writev(fd, iov, (int)n);
        r = CheckedWrite(srv, fd, r, n == 1 && parts[0]->type == chunk::FILE_CHUNK ? "write failed:" : "writev failed:");
        if (r < 0)
            return (int)r;
        cq->bytes_out += (off32_t)r;
        max_bytes -= (off32_t)r;
        for (size_t i = 0; i < n; ++i) {
            chunk* p = parts[i];
            if ((size_t)r < iov[i].iov_len) {
                Advance(p, (off32_t)r);
                return 0;
            }
            Advance(p, (off32_t)iov[i].iov_len);
            r -= (ssize_t)iov[i].iov_len;
            if ((off32_t)iov[i].iov_len < full[i] && p->type == chunk::MEM_CHUNK)
                return 0;  // cut by the budget
        }
        chunk* last = parts[n - 1];
        // A file chunk goes on with its next window; others are done.
        c = last->type == chunk::FILE_CHUNK && last->offset < last->file.length ? last : last->next;
    }
    return 0;
}

int network_write_chunkqueue(server* srv, connection* con, chunkqueue* cq, off32_t max_bytes)
{
    if (con->conf.global_kbytes_per_second) {
        off32_t allow = con->conf.global_kbytes_per_second * 1024 - *con->conf.global_bytes_per_second_cnt_ptr;
        max_bytes = std::min(max_bytes, allow);
    }
    if (con->conf.kbytes_per_second) {
        off32_t allow = con->conf.kbytes_per_second * 1024 - con->bytes_written_cur_second;
        max_bytes = std::min(max_bytes, allow);
    }
    if (max_bytes < 1) {
        con->traffic_limit_reached = 1;
        joblist_append(srv, con);
        return 1;
    }
    off32_t written = cq->bytes_out;
    // Cork when the queue cannot leave in one gathered write: more than one
    // file range, or more than the budget.
    bool cork = false;
    if (cq->first && cq->first->next) {
        int files = 0;
        for (chunk* c = cq->first; c; c = c->next)
            files += c->type == chunk::FILE_CHUNK;
        cork = files > 1 || chunkqueue_length(cq) - chunkqueue_written(cq) > max_bytes ||
               srv->network_backend_write != network_write_chunkqueue_writev;
    }
    int one = 1, zero = 0;
    if (cork)
        setsockopt(con->fd, IPPROTO_TCP, TCP_CORK, &one, sizeof(one));
    int ret = srv->network_backend_write(srv, con, con->fd, cq, max_bytes);
    if (ret >= 0) {
        chunkqueue_remove_finished_chunks(cq);
        ret = chunkqueue_is_empty(cq) ? 0 : 1;
    }
    if (cork)
        setsockopt(con->fd, IPPROTO_TCP, TCP_CORK, &zero, sizeof(zero));
    written = cq->bytes_out - written;
    con->bytes_written += written;
    con->bytes_written_cur_second += written;
    if (con->conf.global_bytes_per_second_cnt_ptr)
        *con->conf.global_bytes_per_second_cnt_ptr += written;
    return ret;
}
