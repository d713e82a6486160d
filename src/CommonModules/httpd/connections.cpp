// Client connections of the HTTP server: the pool, the state machine from
// accept to lingering close, reading heads and bodies (uploads into
// temporary files), the response start with the web back end, error pages,
// writing, time-outs, the job list and the descriptor wait queue.
#include "CommonModules/httpd/connections.h"
#include "CommonModules/httpd/chunk.h"
#include "CommonModules/httpd/configfile.h"
#include "CommonModules/httpd/fdevent.h"
#include "CommonModules/httpd/log.h"
#include "CommonModules/httpd/network.h"
#include "CommonModules/httpd/plugin.h"
#include "CommonModules/httpd/request.h"
#include "CommonModules/httpd/response.h"
#include "CommonModules/httpd/utils.h"
#include "Platform/platform.h"
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>
#include <algorithm>

namespace {

constexpr size_t kMaxHead = 65536;
constexpr uint32_t kMaxBody = 64u * 1024 * 1024;
constexpr off32_t kMaxUploadFile = 128 * 1024 * 1024;
constexpr off32_t kWriteBudget = 256 * 1024;
// A body must keep at least this average rate (64 kbit/s: a 64 MiB upgrade
// image may take over two hours) on top of the read limit.
constexpr uint32_t kSlowestBody = 8192;
// How a connection's movement is judged when room is short: bytes moved
// (read, and written as far as the peer took them) over the last few
// seconds, or since its start when it is younger. Under 4 KiB/s it
// trickles: honest slow links and large transfers move far more, a
// slow-read or slow-body client far less.
constexpr int kMoveWindow = 4;
constexpr uint64_t kTrickleRate = 4096;
constexpr int64_t kJudgeAfterMs = 250;

// What the server keeps of a connection beyond its record: the status a
// head or body was refused with, and how far the end-of-head search got.
struct ConExtra {
    int refused = 0;
    size_t headScanned = 0;
    int headMatched = 0;
    bool headCr = false;  // the last byte searched was a CR
    bool readFilled = false;  // the last read filled its buffer: more may wait
    time_t bodyStart = 0;     // second the body began to be read
    bool counted = false;     // holds a place in its address's count
    int64_t bornMs = 0;       // accepted (monotonic milliseconds)
    uint64_t movedBefore = 0; // bytes moved by the connection's earlier requests
    // Bytes moved by the end of each of the last seconds (slot: second modulo
    // the window); all 0 at accept, so a young connection counts from its start.
    std::array<uint64_t, kMoveWindow> moved{};
};
std::unordered_map<const connection*, ConExtra> s_extra;

// Connections held per client address (IPv4): no address may hold more
// than a quarter of the cap, so one host cannot fill the house.
std::unordered_map<in_addr_t, size_t> s_perAddress;

size_t PerAddressBound(const server* srv)
{
    return std::max<size_t>(srv->max_conns / 4, 1);
}

// Bytes the connection has moved: all it read, and what it wrote as far as
// the peer took it (bytes still in the send queue have not moved).
uint64_t Moved(const connection* con, const ConExtra& x)
{
    uint64_t n = x.movedBefore + (uint64_t)con->bytes_read + (uint64_t)con->bytes_written;
    int queued = 0;
    if (con->state == CON_STATE_WRITE && con->fd >= 0 && ioctl(con->fd, SIOCOUTQ, &queued) == 0 && queued > 0)
        n -= std::min<uint64_t>((uint64_t)queued, n);
    return n;
}

int64_t NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Moved less than the trickle rate allows over the last window (since its
// start for a connection younger than that: a young honest transfer has
// already moved far more than its age allows a trickle). Not judged: a
// newcomer whose client has not yet had a moment to send its head, and a
// connection whose bytes wait unread, since then the server is behind, not
// the client (under a flood, honest heads were cut off unread).
bool Trickles(const connection* con, const ConExtra& x, time_t now, int64_t nowMs)
{
    if (nowMs - x.bornMs < kJudgeAfterMs)
        return false;
    int unread = 0;
    if ((con->state == CON_STATE_READ || con->state == CON_STATE_READ_POST) && con->fd >= 0 &&
        ioctl(con->fd, FIONREAD, &unread) == 0 && unread > 0)
        return false;
    int64_t age = std::clamp<int64_t>(nowMs - x.bornMs, 0, (kMoveWindow - 1) * 1000);
    uint64_t recent = Moved(con, x) - x.moved[(size_t)(now + 1) % kMoveWindow];
    return recent < kTrickleRate * (uint64_t)age / 1000;
}

const char* const kStates[] = {"connect", "req-start", "read",  "req-end", "readpost", "handle-req",
                               "resp-start", "write",   "resp-end", "error", "close"};
const char* const kShortStates[] = {".", "q", "r", "Q", "R", "h", "s", "W", "S", "E", "C"};

void GrowList(connections* list, size_t step)
{
    if (list->used == list->size) {
        list->size += step;
        list->ptr = (connection**)realloc(list->ptr, list->size * sizeof(*list->ptr));
        SRV_ASSERT(list->ptr);
    }
}

// Every buffer a connection record owns (no allocation: reset runs for
// every request).
std::array<buffer**, 19> ConnectionBuffers(connection* con)
{
    return {&con->request.request_line, &con->request.request, &con->request.pathinfo, &con->request.orig_uri,
            &con->request.uri, &con->uri.scheme, &con->uri.authority, &con->uri.path, &con->uri.path_raw,
            &con->uri.query, &con->physical.path, &con->physical.basedir, &con->physical.doc_root,
            &con->physical.rel_path, &con->physical.etag, &con->parse_request, &con->dst_addr_buf,
            &con->server_name, &con->error_handler};
}

// Upload temporary files belong to their request only.
void RemoveUploadFiles(chunkqueue* cq)
{
    for (chunk* c = cq->first; c; c = c->next) {
        if (c->type != chunk::FILE_CHUNK || !c->file.is_temp || c->file.name->used < 2)
            continue;
        if (c->file.fd != -1) {
            close(c->file.fd);
            c->file.fd = -1;
        }
        unlink(plat::Path(c->file.name->ptr).c_str());
        c->file.is_temp = 0;
    }
}

void SetInterest(server* srv, connection* con)
{
    if (con->fd < 0)
        return;
    switch (con->state) {
    case CON_STATE_READ:
    case CON_STATE_READ_POST:
    case CON_STATE_CLOSE:
        fdevent_event_set(srv->ev, &con->fde_ndx, con->fd, FDEV_IN);
        break;
    case CON_STATE_WRITE:
        if (!chunkqueue_is_empty(con->write_queue) && !con->is_writable && !con->traffic_limit_reached)
            fdevent_event_set(srv->ev, &con->fde_ndx, con->fd, FDEV_OUT);
        else if (con->fde_ndx != -1)
            fdevent_event_del(srv->ev, &con->fde_ndx, con->fd);
        break;
    default:
        if (con->fde_ndx != -1)
            fdevent_event_del(srv->ev, &con->fde_ndx, con->fd);
        break;
    }
}

// Reads what the socket has: 0 read or nothing, -1 error, -2 peer closed.
int ReadSocket(server* srv, connection* con, ConExtra& x)
{
    // Only a read that filled its buffer hints at a large body behind it;
    // a request that fits one buffer is read without asking.
    int waiting = 0;
    if (x.readFilled && ioctl(con->fd, FIONREAD, &waiting) == -1)
        waiting = 0;
    chunkqueue* cq = con->read_queue;
    buffer* b = nullptr;
    if (waiting > 4096) {
        b = chunkqueue_get_append_buffer(cq);
        buffer_prepare_copy(b, (size_t)std::min(waiting, 262144) + 1);
    } else if (cq->last && cq->last->type == chunk::MEM_CHUNK && cq->last->mem->size > cq->last->mem->used &&
               cq->last->mem->size - cq->last->mem->used >= 1024) {
        b = cq->last->mem;
    } else {
        b = chunkqueue_get_append_buffer(cq);
        buffer_prepare_copy(b, 4096);
    }
    size_t have = b->used ? b->used - 1 : 0;
    size_t space = b->size - have - 1;
    ssize_t n = read(con->fd, b->ptr + have, space);
    if (n < 0) {
        if (b->used == 0)
            b->ptr[0] = '\0';
        switch (errno) {
        case EAGAIN:
            con->is_readable = 0;
            return 0;
        case EINTR:
            con->is_readable = 1;
            return 0;
        case ECONNRESET:
            return -1;
        default:
            LOG_ERR(srv, "ssd", "connection closed - read failed: ", strerror(errno), errno);
            return -1;
        }
    }
    b->used = have + (size_t)n + 1;
    b->ptr[b->used - 1] = '\0';
    if (b->used == 1)
        b->used = 0;  // nothing arrived: an empty chunk, dropped below
    con->bytes_read += (off32_t)n;
    x.readFilled = (size_t)n == space;
    if ((size_t)n < space)
        con->is_readable = 0;
    // Drop empty chunks.
    chunk** link = &cq->first;
    chunk* prev = nullptr;
    while (*link) {
        chunk* c = *link;
        if (c->type == chunk::MEM_CHUNK && c->mem->used == 0 && c->offset == 0 && c != cq->first) {
            *link = c->next;
            if (cq->last == c)
                cq->last = prev;
            c->next = cq->unused;
            cq->unused = c;
            cq->unused_chunks++;
            continue;
        }
        prev = c;
        link = &c->next;
    }
    return n == 0 ? -2 : 0;
}

size_t QueuedBytes(chunkqueue* cq)
{
    size_t n = 0;
    for (chunk* c = cq->first; c; c = c->next)
        if (c->type == chunk::MEM_CHUNK && c->mem->used)
            n += (c->mem->used - 1) - (size_t)c->offset;
    return n;
}

// Looks for the end of the head across chunks, resuming where the last
// search stopped; returns the head length or 0. The head ends at its empty
// line: CR LF CR LF, or a line end that is a bare LF (LF LF, LF CR LF); a CR
// followed by anything but LF ends it too. Such a head is answered (the
// parser refuses it) at once rather than once the read limit is reached.
// headMatched: 1 after a LF, 2 after LF CR.
size_t FindHeadEnd(connection* con, ConExtra& x)
{
    size_t pos = 0;
    for (chunk* c = con->read_queue->first; c; c = c->next) {
        if (c->type != chunk::MEM_CHUNK || c->mem->used == 0)
            continue;
        size_t len = (c->mem->used - 1) - (size_t)c->offset;
        const char* p = c->mem->ptr + c->offset;
        if (pos + len <= x.headScanned) {
            pos += len;
            continue;
        }
        for (size_t i = x.headScanned - pos; i < len; ++i) {
            char ch = p[i];
            x.headScanned = pos + i + 1;
            if (x.headCr && ch != '\n')
                return x.headScanned;
            x.headCr = ch == '\r';
            if (ch == '\n') {
                if (x.headMatched != 0)
                    return x.headScanned;
                x.headMatched = 1;
            } else {
                x.headMatched = ch == '\r' && x.headMatched == 1 ? 2 : 0;
            }
        }
        pos += len;
    }
    return 0;
}

// Moves n bytes from the front of the read queue into a buffer.
void TakeBytes(chunkqueue* cq, size_t n, buffer* out)
{
    for (chunk* c = cq->first; c && n; c = c->next) {
        if (c->type != chunk::MEM_CHUNK || c->mem->used == 0)
            continue;
        size_t len = std::min(n, (c->mem->used - 1) - (size_t)c->offset);
        if (out)
            buffer_append_string_len(out, c->mem->ptr + c->offset, len);
        c->offset += (off32_t)len;
        n -= len;
    }
}

bool Upload(server* srv, connection* con, const char* data, size_t len)
{
    chunkqueue* dst = con->request_content_queue;
    chunk* c = dst->last;
    if (c && c->type == chunk::FILE_CHUNK && c->file.is_temp && c->offset == 0 && c->file.length < kMaxUploadFile) {
        if (c->file.fd == -1) {
            c->file.fd = plat::Open(c->file.name->ptr, O_WRONLY | O_APPEND | O_CLOEXEC);
            if (c->file.fd == -1) {
                LOG_ERR(srv, "sbs", "denying upload as opening to temp-file for upload failed:", c->file.name,
                        strerror(errno));
                return false;
            }
        }
    } else {
        if (c && c->type == chunk::FILE_CHUNK && c->file.fd != -1) {
            close(c->file.fd);
            c->file.fd = -1;
        }
        c = chunkqueue_get_append_tempfile(dst);
        if (c->file.fd == -1) {
            LOG_ERR(srv, "sbs", "denying upload as opening to temp-file for upload failed:", c->file.name,
                    strerror(errno));
            return false;
        }
    }
    // A file holds at most 128 MiB: the rest goes to the next one.
    size_t room = (size_t)(kMaxUploadFile - c->file.length);
    size_t now = std::min(len, room);
    ssize_t w = write(c->file.fd, data, now);
    if (w != (ssize_t)now) {
        LOG_ERR(srv, "sbs", "denying upload as writing to file failed:", c->file.name, strerror(errno));
        close(c->file.fd);
        c->file.fd = -1;
        return false;
    }
    c->file.length += (off32_t)w;
    if (now < len)
        return Upload(srv, con, data + now, len - now);
    return true;
}

void AppendBody(connection* con, const char* data, size_t len)
{
    chunkqueue* dst = con->request_content_queue;
    buffer* b;
    if (dst->last && dst->last->type == chunk::MEM_CHUNK)
        b = dst->last->mem;
    else
        b = chunkqueue_get_append_buffer(dst);
    // Grows with what arrives (doubling), never to the announced length.
    if (b->used + len + 1 > b->size)
        buffer_prepare_append(b, std::max(len + 1, b->used));
    buffer_append_string_len(b, data, len);
}

// READ_POST: moves body bytes from the read queue; returns the next state.
connection_state_t CollectBody(server* srv, connection* con)
{
    uint32_t want = con->request.content_length;
    if (want > kMaxBody) {
        LOG_ERR(srv, "s", ("oversized request content_length " + std::to_string(want) + " -> sending Status 403").c_str());
        con->http_status = 403;
        con->keep_alive = 0;
        return CON_STATE_HANDLE_REQUEST;
    }
    chunkqueue* dst = con->request_content_queue;
    bool large = web_ProcessIsLargeData(con) != 0;
    // An upload is spooled to a file only once it is whole or has shown some
    // bulk: a body that has barely begun stays in memory (no more than a head
    // may hold), so that clients which open bodies and trickle or leave them
    // cost no file made and removed each.
    if (large && dst->bytes_in == 0) {
        size_t queued = QueuedBytes(con->read_queue);
        if (queued < want && queued < kMaxHead)
            return CON_STATE_READ_POST;
    }
    for (chunk* c = con->read_queue->first; c && (uint32_t)dst->bytes_in < want; c = c->next) {
        if (c->type != chunk::MEM_CHUNK || c->mem->used == 0)
            continue;
        size_t avail = (c->mem->used - 1) - (size_t)c->offset;
        size_t n = std::min<size_t>(avail, want - (uint32_t)dst->bytes_in);
        if (n == 0)
            continue;
        const char* p = c->mem->ptr + c->offset;
        if (large) {
            if (!Upload(srv, con, p, n)) {
                con->http_status = 413;
                con->keep_alive = 0;
                return CON_STATE_HANDLE_REQUEST;
            }
        } else {
            AppendBody(con, p, n);
        }
        c->offset += (off32_t)n;
        dst->bytes_in += (off32_t)n;
    }
    if ((uint32_t)dst->bytes_in == want) {
        if (dst->last && dst->last->type == chunk::FILE_CHUNK && dst->last->file.fd != -1) {
            close(dst->last->file.fd);
            dst->last->file.fd = -1;
        }
        return CON_STATE_HANDLE_REQUEST;
    }
    return CON_STATE_READ_POST;
}

// A client that waits for leave to send its body (Expect: 100-continue, HTTP/1.1)
// gets it once its head is accepted, unless the configuration refuses such
// requests (417, in the parser) or the body has begun to arrive anyway.
// False when the interim answer left only in part: the stream is broken.
bool ContinueIfAsked(server* srv, connection* con)
{
    if (srv->srvconf.reject_expect_100_with_417 || con->request.http_version != HTTP_VERSION_1_1 ||
        QueuedBytes(con->read_queue) != 0)
        return true;
    const data_string* ds = (const data_string*)array_get_element(con->request.headers, "Expect");
    if (ds == nullptr || ds->type != TYPE_STRING ||
        !buffer_is_equal_caseless_string(ds->value, CONST_STR_LEN("100-continue")))
        return true;
    static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
    ssize_t n = send(con->fd, kContinue, sizeof(kContinue) - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    // Not sent at all (the socket's queue is full): the client sends its
    // body after its own wait.
    return n <= 0 || n == (ssize_t)sizeof(kContinue) - 1;
}

// READ and READ_POST: reads, then collects a head or a body.
void HandleRead(server* srv, connection* con)
{
    connection_state_t ostate = con->state;
    int rc = 0;
    ConExtra& x = s_extra[con];
    if (con->is_readable) {
        con->read_idle_ts = srv->cur_ts;
        rc = ReadSocket(srv, con, x);
        if (rc == -1) {
            connection_set_state(srv, con, CON_STATE_ERROR);
            return;
        }
    }
    if (con->state == CON_STATE_READ) {
        size_t end = FindHeadEnd(con, x);
        if (end && end <= kMaxHead) {
            TakeBytes(con->read_queue, end, con->request.request);
            x.headScanned = 0;
            x.headMatched = 0;
            x.headCr = false;
            connection_set_state(srv, con, CON_STATE_REQUEST_END);
        } else if (end || QueuedBytes(con->read_queue) > kMaxHead) {
            // The limit holds however the bytes arrived: one large read
            // may bring a head's end far beyond it.
            LOG_ERR(srv, "s", "oversized request-header -> sending Status 414");
            con->http_status = 414;
            con->keep_alive = 0;
            x.refused = 414;
            connection_set_state(srv, con, CON_STATE_HANDLE_REQUEST);
        }
    } else {
        connection_state_t next = CollectBody(srv, con);
        if (next == CON_STATE_HANDLE_REQUEST && con->http_status != 0)
            x.refused = con->http_status;
        connection_set_state(srv, con, next);
    }
    if (rc == -2 && con->state == ostate)
        connection_set_state(srv, con, CON_STATE_ERROR);
    chunkqueue_remove_finished_chunks(con->read_queue);
}

void ErrorPage(server* srv, connection* con)
{
    con->file_finished = 0;
    buffer_reset(con->physical.path);
    chunkqueue_reset(con->write_queue);
    bool found = false;
    buffer* prefix = con->conf.errorfile_prefix;
    if (prefix && !buffer_is_empty(prefix)) {
        buffer_copy_string_buffer(con->physical.path, prefix);
        buffer_append_long(con->physical.path, con->http_status);
        buffer_append_string_len(con->physical.path, CONST_STR_LEN(".html"));
        stat_cache_entry* sce = nullptr;
        if (stat_cache_get_entry(srv, con, con->physical.path, &sce) == HANDLER_GO_ON && S_ISREG(sce->st.st_mode)) {
            http_chunk_append_file(srv, con, con->physical.path, 0, (off32_t)sce->st.st_size);
            response_header_overwrite(srv, con, CONST_STR_LEN("Content-Type"), CONST_BUF_LEN(sce->content_type));
            found = true;
        } else {
            buffer_reset(con->physical.path);
        }
    }
    if (!found) {
        buffer* b = chunkqueue_get_append_buffer(con->write_queue);
        std::string title = std::to_string(con->http_status) + " - " + get_http_status_name(con->http_status);
        std::string page = "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n"
                           "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\"\n"
                           "         \"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">\n"
                           "<html xmlns=\"http://www.w3.org/1999/xhtml\" xml:lang=\"en\" lang=\"en\">\n"
                           " <head>\n  <title>" + title + "</title>\n </head>\n"
                           " <body>\n  <h1>" + title + "</h1>\n </body>\n</html>\n";
        buffer_copy_string_len(b, page.data(), page.size());
        response_header_overwrite(srv, con, CONST_STR_LEN("Content-Type"), CONST_STR_LEN("text/html"));
    }
    con->file_finished = 1;
}

void ResponseStart(server* srv, connection* con)
{
    http_method_t m = con->request.http_method;
    if (con->mode == DIRECT) {
        if (m == HTTP_METHOD_OPTIONS && (con->http_status == 0 || con->http_status == 200) &&
            con->uri.path->used > 1 && !buffer_is_equal_string(con->uri.path, CONST_STR_LEN("*"))) {
            response_header_insert(srv, con, CONST_STR_LEN("Allow"), CONST_STR_LEN("OPTIONS, GET, HEAD, POST"));
            con->response.transfer_encoding &= ~HTTP_TRANSFER_ENCODING_CHUNKED;
            con->parsed_response &= ~4u;
            con->http_status = 200;
            con->file_finished = 1;
            chunkqueue_reset(con->write_queue);
        } else if (m != HTTP_METHOD_GET && m != HTTP_METHOD_HEAD && m != HTTP_METHOD_POST &&
                   m != HTTP_METHOD_OPTIONS && con->http_status == 0) {
            con->http_status = 501;
        }
    }
    if (con->http_status == 0)
        con->http_status = 403;
    // A POST the server refused keeps its status and never reaches the back end.
    if (m == HTTP_METHOD_POST && s_extra[con].refused == 0) {
        chunkqueue_reset(con->write_queue);
        buffer* reply = chunkqueue_get_append_buffer(con->write_queue);
        con->http_status = 200;
        S32 rc = web_ProcessData(reply, srv, con);
        con->file_finished = 1;
        if (rc == WEB_UNKNOWN_COMMAND)
            con->http_status = 404;
    }
    int st = con->http_status;
    if (st == 204 || st == 205 || st == 304) {
        con->response.transfer_encoding &= ~HTTP_TRANSFER_ENCODING_CHUNKED;
        con->parsed_response &= ~4u;
        chunkqueue_reset(con->write_queue);
        con->file_finished = 1;
    } else if (con->mode == DIRECT && st >= 400 && st <= 599) {
        ErrorPage(srv, con);
    }
    bool chunked = con->response.transfer_encoding & HTTP_TRANSFER_ENCODING_CHUNKED;
    if (con->file_finished) {
        if (!(con->parsed_response & 4u) && !chunked) {
            if ((st >= 100 && st < 200) || st == 204 || st == 304) {
                data_string* ds = (data_string*)array_get_element(con->response.headers, "Content-Length");
                if (ds)
                    buffer_reset(ds->value);
            } else if (!(m == HTTP_METHOD_HEAD && chunkqueue_length(con->write_queue) == 0)) {
                std::string len = std::to_string(chunkqueue_length(con->write_queue));
                response_header_overwrite(srv, con, CONST_STR_LEN("Content-Length"), len.data(), len.size());
            }
        }
    } else {
        if (!(con->parsed_response & 4u) && !chunked)
            con->keep_alive = 0;
        if ((con->parsed_response & 2u) && con->response.keep_alive == 0)
            con->keep_alive = 0;
    }
    if (m == HTTP_METHOD_HEAD) {
        con->file_finished = 1;
        chunkqueue_reset(con->write_queue);
        con->response.transfer_encoding &= ~HTTP_TRANSFER_ENCODING_CHUNKED;
    }
    http_response_write_header(srv, con);
}

void HandleWrite(server* srv, connection* con)
{
    if (chunkqueue_is_empty(con->write_queue)) {
        if (con->file_finished)
            connection_set_state(srv, con, CON_STATE_RESPONSE_END);
        return;
    }
    if (!con->is_writable)
        return;
    switch (network_write_chunkqueue(srv, con, con->write_queue, kWriteBudget)) {
    case 0:
        con->write_request_ts = srv->cur_ts;
        if (con->file_finished) {
            connection_set_state(srv, con, CON_STATE_RESPONSE_END);
            joblist_append(srv, con);
        }
        break;
    case 1:
        con->write_request_ts = srv->cur_ts;
        con->is_writable = 0;
        break;
    case -1:
        LOG_ERR(srv, "sd", "connection closed: write failed on fd", con->fd);
        connection_set_state(srv, con, CON_STATE_ERROR);
        joblist_append(srv, con);
        break;
    default:
        connection_set_state(srv, con, CON_STATE_ERROR);
        joblist_append(srv, con);
        break;
    }
}

void LogCloseResult(server* srv, handler_t r)
{
    if (r != HANDLER_GO_ON && r != HANDLER_FINISHED)
        LOG_ERR(srv, "sd", "unhandling return value", (int)r);
}

// A connection the server no longer serves (lingering or closed) gives its
// place in its address's count back: the client may already be connecting
// again, and a close it has not yet seen must not refuse that.
void Uncount(connection* con)
{
    ConExtra& x = s_extra[con];
    if (!x.counted)
        return;
    x.counted = false;
    auto it = s_perAddress.find(con->dst_addr.ipv4.sin_addr.s_addr);
    if (it != s_perAddress.end() && --it->second == 0)
        s_perAddress.erase(it);
}

// Half-closes for writing and lingers; closes at once when that fails.
void HalfClose(server* srv, connection* con)
{
    Uncount(con);
    if (shutdown(con->fd, SHUT_WR) == 0) {
        con->close_timeout_ts = srv->cur_ts;
        connection_set_state(srv, con, CON_STATE_CLOSE);
        if (srv->srvconf.log_state_handling)
            LOG_ERR(srv, "sd", "shutdown for fd", con->fd);
    } else {
        connection_close(srv, con);
    }
}

void Linger(server* srv, connection* con)
{
    char drop[1024];
    ssize_t n = read(con->fd, drop, sizeof(drop));
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
        con->close_timeout_ts = srv->cur_ts - 6;
}

void HandleRequest(server* srv, connection* con, bool& again)
{
    handler_t r = http_response_prepare(srv, con);
    switch (r) {
    case HANDLER_FINISHED:
        if (con->mode == DIRECT && (con->http_status == 403 || con->http_status == 404)) {
            buffer* handler = !buffer_is_empty(con->error_handler) ? con->error_handler : con->conf.error_handler;
            if (con->in_error_handler) {
                con->http_status = con->error_handler_saved_status;
            } else if (handler && !buffer_is_empty(handler)) {
                con->error_handler_saved_status = con->http_status;
                con->http_status = 0;
                buffer_copy_string_buffer(con->request.uri, handler);
                buffer_reset(con->physical.path);
                con->in_error_handler = 1;
                again = true;
                return;
            }
        }
        if (con->http_status == 0)
            con->http_status = 200;
        connection_set_state(srv, con, CON_STATE_RESPONSE_START);
        break;
    case HANDLER_COMEBACK:
        again = true;
        break;
    case HANDLER_WAIT_FOR_EVENT:
        break;
    case HANDLER_WAIT_FOR_FD:
        srv->want_fds++;
        fdwaitqueue_append(srv, con);
        break;
    case HANDLER_ERROR:
        connection_set_state(srv, con, CON_STATE_ERROR);
        break;
    default:
        LOG_ERR(srv, "sdd", "unknown ret-value: ", con->fd, (int)r);
        break;
    }
}

}  // namespace

const char* connection_get_state(connection_state_t state)
{
    return (unsigned)state <= CON_STATE_CLOSE ? kStates[state] : "(unknown)";
}

const char* connection_get_short_state(connection_state_t state)
{
    return (unsigned)state <= CON_STATE_CLOSE ? kShortStates[state] : "x";
}

int connection_set_state(server*, connection* con, connection_state_t state)
{
    con->state = state;
    return 0;
}

int joblist_append(server* srv, connection* con)
{
    if (con->in_joblist)
        return 0;  // one pass per job-list round serves it
    GrowList(srv->joblist, 16);
    srv->joblist->ptr[srv->joblist->used++] = con;
    con->in_joblist = 1;
    return 0;
}

void joblist_free(server*, connections* joblist)
{
    free(joblist->ptr);
    joblist->ptr = nullptr;
    joblist->used = joblist->size = 0;
}

int fdwaitqueue_append(server* srv, connection* con)
{
    GrowList(srv->fdwaitqueue, 16);
    srv->fdwaitqueue->ptr[srv->fdwaitqueue->used++] = con;
    return 0;
}

connection* fdwaitqueue_unshift(server*, connections* q)
{
    if (q->used == 0)
        return nullptr;
    connection* con = q->ptr[0];
    memmove(q->ptr, q->ptr + 1, (q->used - 1) * sizeof(*q->ptr));
    q->used--;
    return con;
}

void fdwaitqueue_free(server*, connections* q)
{
    free(q->ptr);
    q->ptr = nullptr;
    q->used = q->size = 0;
}

connection* connection_init(server* srv)
{
    connection* con = (connection*)calloc(1, sizeof(*con));
    SRV_ASSERT(con);
    con->fd = -1;
    con->fde_ndx = -1;
    con->ndx = -1;
    for (buffer** b : ConnectionBuffers(con))
        *b = buffer_init();
    con->request.headers = array_init();
    con->response.headers = array_init();
    con->environment = array_init();
    con->write_queue = chunkqueue_init();
    con->read_queue = chunkqueue_init();
    con->request_content_queue = chunkqueue_init();
    chunkqueue_set_tempdirs(con->request_content_queue, srv->srvconf.upload_tempdirs);
    con->plugin_ctx = (void**)calloc(srv->plugins.used + 1, sizeof(void*));
    SRV_ASSERT(con->plugin_ctx);
    con->cond_cache = (cond_cache_t*)calloc(srv->config_context->used ? srv->config_context->used : 1,
                                            sizeof(cond_cache_t));
    SRV_ASSERT(con->cond_cache);
    config_setup_connection(srv, con);
    return con;
}

int connection_reset(server* srv, connection* con)
{
    plugins_call_connection_reset(srv, con);
    ConExtra& x = s_extra[con];
    x.movedBefore += (uint64_t)con->bytes_read + (uint64_t)con->bytes_written;
    con->is_readable = con->is_writable = 1;
    con->http_status = 0;
    con->file_finished = con->file_started = 0;
    con->got_response = 0;
    con->parsed_response = 0;
    con->bytes_written = con->bytes_written_cur_second = con->bytes_read = con->bytes_header = 0;
    con->loops_per_request = 0;
    con->header_len = 0;
    con->in_error_handler = 0;
    con->request.http_method = HTTP_METHOD_UNSET;
    con->request.http_version = HTTP_VERSION_UNSET;
    con->request.http_if_modified_since = con->request.http_if_none_match = nullptr;
    con->request.http_host = nullptr;
    con->request.http_range = nullptr;
    con->request.http_content_type = nullptr;
    con->request.content_length = 0;
    con->response.keep_alive = 0;
    con->response.content_length = -1;
    con->response.transfer_encoding = 0;
    con->mode = DIRECT;
    for (buffer** b : ConnectionBuffers(con))
        if (*b != con->dst_addr_buf)
            buffer_reset(*b);
    array_reset(con->request.headers);
    array_reset(con->response.headers);
    array_reset(con->environment);
    chunkqueue_reset(con->write_queue);
    RemoveUploadFiles(con->request_content_queue);
    chunkqueue_reset(con->request_content_queue);
    for (size_t i = 0; i < srv->plugins.used; ++i) {
        plugin* p = srv->plugins.ptr[i];
        plugin_data_head* pd = (plugin_data_head*)p->data;
        if (pd && con->plugin_ctx[pd->id]) {
            LOG_ERR(srv, "sb", "missing cleanup in", p->name);
            con->plugin_ctx[pd->id] = nullptr;
        }
    }
    x.refused = 0;
    config_cond_cache_reset(srv, con);
    config_setup_connection(srv, con);
    return 0;
}

int connection_close(server* srv, connection* con)
{
    if (con->fd >= 0) {
        if (con->fde_ndx != -1)
            fdevent_event_del(srv->ev, &con->fde_ndx, con->fd);
        fdevent_unregister(srv->ev, con->fd);
        if (close(con->fd) != 0)
            LOG_ERR(srv, "sd", "(warning) close:", con->fd);
        srv->cur_fds--;
        con->fd = -1;
    }
    buffer_reset(con->uri.authority);
    buffer_reset(con->uri.path);
    buffer_reset(con->uri.query);
    buffer_reset(con->request.orig_uri);
    connections* conns = srv->conns;
    if (con->ndx >= 0 && (size_t)con->ndx < conns->used) {
        size_t last = conns->used - 1;
        if ((size_t)con->ndx != last) {
            connection* other = conns->ptr[last];
            conns->ptr[last] = con;
            conns->ptr[con->ndx] = other;
            other->ndx = con->ndx;
        }
        conns->used--;
        con->ndx = -1;
    }
    if (srv->srvconf.log_state_handling)
        LOG_ERR(srv, "sd", "connection closed for fd", con->fd);
    Uncount(con);
    s_extra[con] = ConExtra{};
    chunkqueue_reset(con->read_queue);
    connection_set_state(srv, con, CON_STATE_CONNECT);
    return 0;
}

connection* connection_accept(server* srv, server_socket* ss)
{
    connections* conns = srv->conns;
    if (conns->used >= srv->max_conns)
        return nullptr;
    sock_addr peer{};
    int fd = -1;
    size_t* held = nullptr;
    // A client over its address's bound is closed at once; a few of them
    // per call, so that others waiting behind them are reached too.
    for (int refused = 0; fd == -1; ++refused) {
        if (refused == 64)
            return nullptr;
        socklen_t len = sizeof(peer);
        // Non-blocking and close-on-exec from the accept itself: two calls
        // fewer for every client.
        fd = accept4(ss->fd, &peer.plain, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd == -1) {
            if (errno != EAGAIN && errno != EINTR && errno != EMFILE && errno != ECONNABORTED && errno != EWOULDBLOCK)
                LOG_ERR(srv, "ssd", "accept failed:", strerror(errno), errno);
            return nullptr;
        }
        if (peer.plain.sa_family != AF_INET)
            break;
        held = &s_perAddress[peer.ipv4.sin_addr.s_addr];
        if (*held >= PerAddressBound(srv)) {
            close(fd);
            fd = -1;
        }
    }
    if (conns->used == conns->size) {
        conns->size += 128;
        conns->ptr = (connection**)realloc(conns->ptr, conns->size * sizeof(*conns->ptr));
        SRV_ASSERT(conns->ptr);
        for (size_t i = conns->used; i < conns->size; ++i)
            conns->ptr[i] = connection_init(srv);
    }
    connection* con = conns->ptr[conns->used];
    con->ndx = (int)conns->used++;
    connection_reset(srv, con);
    ConExtra& x = s_extra[con];
    x = ConExtra{};  // the record's last client moved what it moved
    x.bornMs = NowMs();
    if (held) {
        ++*held;
        x.counted = true;
    }
    chunkqueue_reset(con->read_queue);
    con->request_count = 0;
    con->fd = fd;
    con->fde_ndx = -1;
    srv->cur_fds++;
    srv->con_opened++;
    fdevent_register(srv->ev, fd, connection_handle_fdevent, con);
    connection_set_state(srv, con, CON_STATE_REQUEST_START);
    con->connection_start = srv->cur_ts;
    con->dst_addr = peer;
    buffer_copy_string(con->dst_addr_buf, inet_ntop_cache_get_ip(srv, &peer));
    con->srv_socket = ss;
    if (srv->ev->fcntl_set && fdevent_fcntl_set(srv->ev, fd) == -1) {
        LOG_ERR(srv, "ss", "fcntl failed: ", strerror(errno));
        connection_close(srv, con);
        return nullptr;
    }
    return con;
}

int connection_state_machine(server* srv, connection* con)
{
    bool log = srv->srvconf.log_state_handling;
    if (log)
        LOG_ERR(srv, "sds", "state at start", con->fd, connection_get_state(con->state));
    for (;;) {
        connection_state_t ostate = con->state;
        bool again = false;
        if (log)
            LOG_ERR(srv, "sds", "state for fd", con->fd, connection_get_state(con->state));
        switch (con->state) {
        case CON_STATE_CONNECT:
            chunkqueue_reset(con->read_queue);
            con->request_count = 0;
            break;
        case CON_STATE_REQUEST_START:
            con->request_count++;
            con->request_start = srv->cur_ts;
            con->read_idle_ts = srv->cur_ts;
            con->loops_per_request = 0;
            gettimeofday(&con->start_tv, nullptr);
            connection_set_state(srv, con, CON_STATE_READ);
            break;
        case CON_STATE_READ:
        case CON_STATE_READ_POST:
            HandleRead(srv, con);
            break;
        case CON_STATE_REQUEST_END:
            buffer_reset(con->uri.authority);
            buffer_reset(con->uri.path);
            buffer_reset(con->uri.query);
            buffer_reset(con->request.orig_uri);
            if (http_request_parse(srv, con)) {
                s_extra[con].bodyStart = srv->cur_ts;
                connection_set_state(srv, con, ContinueIfAsked(srv, con) ? CON_STATE_READ_POST : CON_STATE_ERROR);
            } else {
                if (con->http_status != 0)
                    s_extra[con].refused = con->http_status;
                connection_set_state(srv, con, CON_STATE_HANDLE_REQUEST);
            }
            break;
        case CON_STATE_HANDLE_REQUEST:
            HandleRequest(srv, con, again);
            break;
        case CON_STATE_RESPONSE_START:
            ResponseStart(srv, con);
            connection_set_state(srv, con, CON_STATE_WRITE);
            break;
        case CON_STATE_WRITE:
            HandleWrite(srv, con);
            break;
        case CON_STATE_RESPONSE_END:
            plugins_call_handle_request_done(srv, con);
            srv->con_written++;
            if (con->keep_alive) {
                connection_reset(srv, con);
                // The next request is looked for in what is queued; the
                // socket is read when the event loop says it has data.
                con->is_readable = 0;
                connection_set_state(srv, con, CON_STATE_REQUEST_START);
            } else {
                LogCloseResult(srv, plugins_call_handle_connection_close(srv, con));
                HalfClose(srv, con);
                srv->con_closed++;
                connection_reset(srv, con);
            }
            break;
        case CON_STATE_ERROR:
            if (con->http_status)
                plugins_call_handle_request_done(srv, con);
            if (con->mode != DIRECT)
                LogCloseResult(srv, plugins_call_handle_connection_close(srv, con));
            connection_reset(srv, con);
            HalfClose(srv, con);
            con->keep_alive = 0;
            srv->con_closed++;
            break;
        case CON_STATE_CLOSE:
            Linger(srv, con);
            if (srv->cur_ts - con->close_timeout_ts > 5)
                connection_close(srv, con);
            break;
        default:
            LOG_ERR(srv, "sdd", "unknown state:", con->fd, (int)con->state);
            break;
        }
        if (con->state == ostate && !again)
            break;
    }
    if (log)
        LOG_ERR(srv, "sds", "state at exit:", con->fd, connection_get_state(con->state));
    SetInterest(srv, con);
    return 0;
}

handler_t connection_handle_fdevent(server* srv, void* context, int revents)
{
    connection* con = (connection*)context;
    joblist_append(srv, con);
    if (revents & FDEV_IN)
        con->is_readable = 1;
    if (revents & FDEV_OUT)
        con->is_writable = 1;
    bool hupInClose = false;
    if (revents & FDEV_HUP) {
        if (con->state == CON_STATE_CLOSE) {
            con->close_timeout_ts = srv->cur_ts - 6;
            hupInClose = true;
        } else {
            connection_set_state(srv, con, CON_STATE_ERROR);
        }
    } else if (revents & FDEV_ERR) {
        connection_set_state(srv, con, CON_STATE_ERROR);
    } else if (revents & ~(FDEV_IN | FDEV_OUT)) {
        LOG_ERR(srv, "sd", "connection closed: poll() -> ???", revents);
    }
    if (!hupInClose && con->state == CON_STATE_CLOSE)
        Linger(srv, con);
    return HANDLER_FINISHED;
}

namespace {

// Ends a connection the server gives up on for room: through the error path,
// so that its request's files and module state go, then a reset rather than
// a close, so that no send queue is kept behind for a client that reads
// nothing.
void Evict(server* srv, connection* con)
{
    if (con->state == CON_STATE_READ_POST || con->state == CON_STATE_WRITE) {
        struct linger abort = {1, 0};
        setsockopt(con->fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        connection_set_state(srv, con, CON_STATE_ERROR);
        connection_state_machine(srv, con);
    } else if (con->state == CON_STATE_READ) {
        srv->con_closed++;
    }
    if (con->fd >= 0)
        connection_close(srv, con);
}

}  // namespace

void connections_check_timeouts(server* srv, time_t now)
{
    connections* conns = srv->conns;
    bool crowded = conns->used >= srv->max_conns * 3 / 4;
    for (size_t i = conns->used; i-- > 0;) {
        connection* con = conns->ptr[i];
        ConExtra& x = s_extra[con];
        x.moved[(size_t)now % kMoveWindow] = Moved(con, x);
        // While the house is nearly full, a body or a response that trickles
        // for a whole window gives its place up instead of holding it for hours.
        if (crowded && (con->state == CON_STATE_READ_POST || con->state == CON_STATE_WRITE) &&
            now - con->request_start > kMoveWindow && Trickles(con, x, now, NowMs())) {
            Evict(srv, con);
            continue;
        }
        bool changed = false;
        switch (con->state) {
        case CON_STATE_READ:
        case CON_STATE_READ_POST: {
            time_t limit = con->request_count == 1 ? con->conf.max_read_idle : con->keep_alive_idle;
            // A head must arrive whole within the read limit of its start,
            // however it trickles in.
            bool headLate = con->state == CON_STATE_READ && QueuedBytes(con->read_queue) > 0 &&
                            now - con->request_start > con->conf.max_read_idle;
            // A body gets the read limit plus the time its length takes
            // at the slowest rate accepted.
            bool bodyLate = con->state == CON_STATE_READ_POST &&
                            now - x.bodyStart > (time_t)con->conf.max_read_idle +
                                                    con->request.content_length / kSlowestBody;
            if (now - con->read_idle_ts > limit || headLate || bodyLate) {
                connection_set_state(srv, con, CON_STATE_ERROR);
                changed = true;
            }
            break;
        }
        case CON_STATE_WRITE:
            if (con->write_request_ts != 0 && now - con->write_request_ts > con->conf.max_write_idle) {
                if (con->conf.log_timeouts)
                    LOG_ERR(srv, "sbsosds", "NOTE: a request for", con->request.uri, "timed out after writing",
                            con->bytes_written, "bytes. We waited", (int)(now - con->write_request_ts),
                            "seconds. If this a problem increase server.max-write-idle");
                connection_set_state(srv, con, CON_STATE_ERROR);
                changed = true;
            }
            break;
        case CON_STATE_CLOSE:
            if (now - con->close_timeout_ts > 5)
                changed = true;
            break;
        default:
            break;
        }
        if (con->traffic_limit_reached) {
            time_t secs = std::max<time_t>(1, now - con->connection_start);
            if (con->conf.kbytes_per_second == 0 || con->bytes_written / secs < con->conf.kbytes_per_second * 1024) {
                con->traffic_limit_reached = 0;
                changed = true;
            }
        }
        con->bytes_written_cur_second = 0;
        if (changed)
            connection_state_machine(srv, con);
    }
    for (size_t i = 0; srv->config_storage && i < srv->config_context->used; ++i)
        srv->config_storage[i]->global_bytes_per_second_cnt = 0;
}

namespace {

// Clients the kernel holds in the listeners' accept queues.
size_t WaitingToBeAccepted(server* srv)
{
    size_t n = 0;
    for (size_t i = 0; i < srv->srv_sockets.used; ++i) {
        tcp_info info{};
        socklen_t len = sizeof(info);
        if (getsockopt(srv->srv_sockets.ptr[i]->fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0)
            n += info.tcpi_unacked;  // a listener's accept-queue length
    }
    return n;
}

}  // namespace

size_t connections_make_room(server* srv)
{
    connections* conns = srv->conns;
    // Accepting, once switched off at the cap, turns on again only at nine
    // tenths of it: room is made until then, not only while the house is full
    // (a round that found few to close would leave newcomers waiting for
    // connections to end by themselves).
    if (conns->used < srv->max_conns && !(srv->sockets_disabled && conns->used > srv->max_conns * 9 / 10))
        return 0;
    // Lingering connections are no longer served; after them go those that
    // trickle, whatever they wait for (head, body or the client's reading).
    std::vector<connection*> idle;
    int64_t nowMs = NowMs();
    for (size_t i = 0; i < conns->used; ++i) {
        connection* con = conns->ptr[i];
        connection_state_t st = con->state;
        if (st == CON_STATE_CLOSE ||
            ((st == CON_STATE_READ || st == CON_STATE_READ_POST || st == CON_STATE_WRITE) &&
             Trickles(con, s_extra[con], srv->cur_ts, nowMs)))
            idle.push_back(con);
    }
    // Down to where the accept switch would turn accepting on again, or
    // room for all who wait to be accepted if more do: a newcomer queued
    // behind a flood is otherwise let in a tenth of the house per round.
    size_t over = conns->used - srv->max_conns * 9 / 10;
    size_t n = std::min(std::max(over, WaitingToBeAccepted(srv)), idle.size());
    auto first = [](const connection* a, const connection* b) {
        bool lingerA = a->state == CON_STATE_CLOSE, lingerB = b->state == CON_STATE_CLOSE;
        if (lingerA != lingerB)
            return lingerA;
        return a->start_tv.tv_sec != b->start_tv.tv_sec ? a->start_tv.tv_sec < b->start_tv.tv_sec
                                                        : a->start_tv.tv_usec < b->start_tv.tv_usec;
    };
    std::partial_sort(idle.begin(), idle.begin() + (ptrdiff_t)n, idle.end(), first);
    for (size_t i = 0; i < n; ++i)
        Evict(srv, idle[i]);
    return n;
}

void connections_free(server* srv)
{
    connections* conns = srv->conns;
    for (size_t i = 0; i < conns->size; ++i) {
        connection* con = conns->ptr[i];
        if (con == nullptr)
            continue;
        connection_reset(srv, con);
        for (buffer** b : ConnectionBuffers(con))
            buffer_free(*b);
        array_free(con->request.headers);
        array_free(con->response.headers);
        array_free(con->environment);
        chunkqueue_free(con->write_queue);
        chunkqueue_free(con->read_queue);
        chunkqueue_free(con->request_content_queue);
        free(con->plugin_ctx);
        free(con->cond_cache);
        s_extra.erase(con);
        free(con);
    }
    free(conns->ptr);
    conns->ptr = nullptr;
    conns->used = conns->size = 0;
    s_perAddress.clear();
}
