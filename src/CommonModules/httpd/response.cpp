// Response headers and the response head, the mapping of a request onto a
// file under the document root with the modules' hooks, the directory
// redirect, Last-Modified texts, entity tags and conditional requests.
#include "CommonModules/httpd/response.h"
#include "CommonModules/httpd/chunk.h"
#include "CommonModules/httpd/configfile.h"
#include "CommonModules/httpd/log.h"
#include "CommonModules/httpd/plugin.h"
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <strings.h>

namespace {

// Header names and values go on the wire as they are: a CR, LF or other
// control byte would let a value start a header or a body of its own.
bool HeaderTextSafe(const char* s, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = (unsigned char)s[i];
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            return false;
    }
    return true;
}

// A header that could split the response is refused, and the refusal logged.
bool HeaderSafe(server* srv, const char* key, size_t keylen, const char* value, size_t vallen)
{
    if (keylen > 0 && HeaderTextSafe(key, keylen) && HeaderTextSafe(value, vallen) &&
        memchr(key, ':', keylen) == nullptr)
        return true;
    LOG_ERR(srv, "ss", "refusing response header with control characters:", std::string(key, keylen).c_str());
    return false;
}

data_string* FindHeader(connection* con, const char* key, size_t keylen)
{
    return (data_string*)array_get_element(con->response.headers, std::string(key, keylen).c_str());
}

bool Logging(connection* con)
{
    return con->conf.log_request_handling != 0;
}

// Known handler results are returned by the hooks' callers; others are logged.
bool KnownHandler(handler_t r)
{
    return r >= HANDLER_UNSET && r <= HANDLER_WAIT_FOR_FD;
}

handler_t SubrequestHook(server* srv, connection* con)
{
    handler_t r = plugins_call_handle_subrequest(srv, con);
    return r == HANDLER_GO_ON ? HANDLER_FINISHED : r;
}

}  // namespace

int response_header_insert(server* srv, connection* con, const char* key, size_t keylen, const char* value,
                           size_t vallen)
{
    if (!HeaderSafe(srv, key, keylen, value, vallen))
        return -1;
    data_string* ds = (data_string*)array_get_unused_element(con->response.headers, TYPE_STRING);
    if (ds == nullptr)
        ds = data_response_init();
    buffer_copy_string_len(ds->key, key, keylen);
    buffer_copy_string_len(ds->value, value, vallen);
    array_insert_unique(con->response.headers, (data_unset*)ds);
    return 0;
}

int response_header_overwrite(server* srv, connection* con, const char* key, size_t keylen, const char* value,
                              size_t vallen)
{
    data_string* ds = FindHeader(con, key, keylen);
    if (ds == nullptr)
        return response_header_insert(srv, con, key, keylen, value, vallen);
    if (!HeaderSafe(srv, key, keylen, value, vallen))
        return -1;
    buffer_copy_string_len(ds->value, value, vallen);
    return 0;
}

int response_header_append(server* srv, connection* con, const char* key, size_t keylen, const char* value,
                           size_t vallen)
{
    data_string* ds = FindHeader(con, key, keylen);
    if (ds == nullptr)
        return response_header_insert(srv, con, key, keylen, value, vallen);
    if (!HeaderSafe(srv, key, keylen, value, vallen))
        return -1;
    buffer_append_string_len(ds->value, CONST_STR_LEN(", "));
    buffer_append_string_len(ds->value, value, vallen);
    return 0;
}

int http_response_write_header(server* srv, connection* con)
{
    buffer* b = chunkqueue_get_prepend_buffer(con->write_queue);
    bool http11 = con->request.http_version == HTTP_VERSION_1_1;
    buffer_copy_string(b, http11 ? "HTTP/1.1 " : "HTTP/1.0 ");
    buffer_append_long(b, con->http_status);
    buffer_append_string_len(b, CONST_STR_LEN(" "));
    const char* reason = get_http_status_name(con->http_status);
    if (reason && strcmp(reason, "") != 0 && strcmp(reason, "(unknown)") != 0)
        buffer_append_string(b, reason);

    if (con->request_count > con->conf.max_keep_alive_requests || con->conf.max_keep_alive_idle == 0)
        con->keep_alive = 0;
    else
        con->keep_alive_idle = con->conf.max_keep_alive_idle;

    if (http11) {
        if (!con->keep_alive)
            response_header_overwrite(srv, con, CONST_STR_LEN("Connection"), CONST_STR_LEN("close"));
    } else if (con->keep_alive) {
        response_header_overwrite(srv, con, CONST_STR_LEN("Connection"), CONST_STR_LEN("keep-alive"));
    } else {
        response_header_overwrite(srv, con, CONST_STR_LEN("Connection"), CONST_STR_LEN("close"));
    }
    if (con->response.transfer_encoding & HTTP_TRANSFER_ENCODING_CHUNKED)
        response_header_overwrite(srv, con, CONST_STR_LEN("Transfer-Encoding"), CONST_STR_LEN("chunked"));

    bool haveDate = false, haveServer = false;
    array* h = con->response.headers;
    for (size_t i = 0; i < h->used; ++i) {
        data_string* ds = (data_string*)h->data[i];
        if (ds->key->used < 2 || ds->value->used < 2)
            continue;
        const char* k = ds->key->ptr;
        if (strncasecmp(k, "X-HTTPD-", 8) == 0 || strncasecmp(k, "X-Sendfile", 10) == 0)
            continue;
        if (con->http_status == 304 && strcasecmp(k, "Content-Encoding") == 0)
            continue;
        if (strcasecmp(k, "Date") == 0)
            haveDate = true;
        if (strcasecmp(k, "Server") == 0)
            haveServer = true;
        buffer_append_string_len(b, CONST_STR_LEN("\r\n"));
        buffer_append_string_buffer(b, ds->key);
        buffer_append_string_len(b, CONST_STR_LEN(": "));
        buffer_append_string_buffer(b, ds->value);
    }
    if (!haveDate) {
        if (srv->last_generated_date_ts != srv->cur_ts || buffer_is_empty(srv->ts_date_str)) {
            char text[64];
            struct tm tm;
            time_t now = srv->cur_ts;
            strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S GMT", gmtime_r(&now, &tm));
            buffer_copy_string(srv->ts_date_str, text);
            srv->last_generated_date_ts = srv->cur_ts;
        }
        buffer_append_string_len(b, CONST_STR_LEN("\r\nDate: "));
        buffer_append_string_buffer(b, srv->ts_date_str);
    }
    if (!haveServer) {
        buffer* tag = con->conf.server_tag;
        if (tag == nullptr || tag->used == 0) {
            buffer_append_string_len(b, CONST_STR_LEN("\r\nServer: httpd/1.0"));
        } else if (tag->used > 1) {
            buffer_append_string_len(b, CONST_STR_LEN("\r\nServer: "));
            buffer_append_string_encoded(b, CONST_BUF_LEN(tag), ENCODING_HTTP_HEADER);
        }
    }
    buffer_append_string_len(b, CONST_STR_LEN("\r\n\r\n"));
    con->bytes_header = (off32_t)(b->used - 1);
    if (con->conf.log_response_header)
        LOG_ERR(srv, "sSb", "Response-Header:", "\n", b);
    return 0;
}

int http_response_redirect_to_directory(server* srv, connection* con)
{
    buffer* o = buffer_init();
    buffer_copy_string_buffer(o, con->uri.scheme);
    buffer_append_string_len(o, CONST_STR_LEN("://"));
    if (!buffer_is_empty(con->uri.authority)) {
        buffer_append_string_buffer(o, con->uri.authority);
    } else {
        // No Host header: the connection's own address, dotted; no name look-up.
        sock_addr our{};
        socklen_t len = sizeof(our);
        if (getsockname(con->fd, &our.plain, &len) == -1) {
            LOG_ERR(srv, "ss", "can't get sockname", strerror(errno));
            con->http_status = 500;
            buffer_free(o);
            return 0;
        }
        if (our.plain.sa_family != AF_INET) {
            // Answered like a failed look-up: a response left unfinished
            // would hold the connection until its time-out.
            LOG_ERR(srv, "s", "ERROR: unsupported address-type");
            con->http_status = 500;
            buffer_free(o);
            return 0;
        }
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &our.ipv4.sin_addr, ip, sizeof(ip));
        buffer_append_string(o, ip);
        bool https = buffer_is_equal_string(con->uri.scheme, CONST_STR_LEN("https"));
        unsigned port = srv->srvconf.port;
        if (!((https && port == 443) || (!https && port == 80))) {
            buffer_append_string_len(o, CONST_STR_LEN(":"));
            buffer_append_long(o, port);
        }
    }
    // The decoded path goes back on the wire: encode it.
    buffer_append_string_encoded(o, CONST_BUF_LEN(con->uri.path), ENCODING_REL_URI);
    buffer_append_string_len(o, CONST_STR_LEN("/"));
    if (!buffer_is_empty(con->uri.query)) {
        buffer_append_string_len(o, CONST_STR_LEN("?"));
        buffer_append_string_buffer(o, con->uri.query);  // still as the client sent it
    }
    if (response_header_insert(srv, con, CONST_STR_LEN("Location"), CONST_BUF_LEN(o)) != 0) {
        con->http_status = 500;
    } else {
        con->http_status = 301;
    }
    con->file_finished = 1;
    buffer_free(o);
    return 0;
}

buffer* strftime_cache_get(server* srv, time_t mtime)
{
    int slot = -1;
    for (int i = 0; i < 16; ++i) {
        if (srv->mtime_cache[i].mtime == mtime && mtime != 0)
            return srv->mtime_cache[i].str;
        if (slot == -1 && srv->mtime_cache[i].mtime == 0)
            slot = i;
    }
    if (slot == -1)
        slot = 0;
    mtime_cache_type& m = srv->mtime_cache[slot];
    m.mtime = mtime;
    char text[64];
    struct tm tm;
    strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S GMT", gmtime_r(&mtime, &tm));
    buffer_copy_string(m.str, text);
    return m.str;
}

int etag_create(buffer* etag, struct stat* st, etag_flags_t flags)
{
    if (flags == 0)
        return 0;
    buffer_reset(etag);
    if (flags & ETAG_USE_INODE) {
        buffer_append_long(etag, (long)st->st_ino);
        buffer_append_string_len(etag, CONST_STR_LEN("-"));
    }
    if (flags & ETAG_USE_SIZE) {
        buffer_append_long(etag, (long)st->st_size);
        buffer_append_string_len(etag, CONST_STR_LEN("-"));
    }
    if (flags & ETAG_USE_MTIME)
        buffer_append_long(etag, (long)st->st_mtime);
    return 0;
}

int etag_mutate(buffer* mut, buffer* etag)
{
    uint32_t h = 0;
    for (size_t i = 0; etag->used && i < etag->used - 1; ++i)
        h = ((h << 5) | (h >> 27)) ^ (unsigned char)etag->ptr[i];
    buffer_copy_string_len(mut, CONST_STR_LEN("\""));
    buffer_append_long(mut, (long)(int32_t)h);
    buffer_append_string_len(mut, CONST_STR_LEN("\""));
    return 0;
}

int etag_is_equal(buffer* etag, const char* matches)
{
    if (etag == nullptr || etag->used < 2 || matches == nullptr)
        return 0;
    return strcmp(etag->ptr, matches) == 0 ? 1 : 0;
}

handler_t http_response_handle_cachable(server* srv, connection* con, buffer* mtime)
{
    bool getOrHead = con->request.http_method == HTTP_METHOD_GET || con->request.http_method == HTTP_METHOD_HEAD;
    if (con->request.http_if_none_match) {
        if (!etag_is_equal(con->physical.etag, con->request.http_if_none_match))
            return HANDLER_GO_ON;
        if (getOrHead) {
            con->http_status = 304;
        } else {
            con->http_status = 412;
            con->mode = DIRECT;
        }
        return HANDLER_FINISHED;
    }
    if (con->request.http_if_modified_since && getOrHead) {
        const char* ims = con->request.http_if_modified_since;
        const char* semi = strchr(ims, ';');
        size_t len = semi ? (size_t)(semi - ims) : strlen(ims);
        // Only the whole date text matches; a prefix of it is an ordinary
        // (older or unparsable) date and the file is served.
        if (mtime && mtime->used && len == mtime->used - 1 && strncmp(ims, mtime->ptr, len) == 0) {
            con->http_status = 304;
            return HANDLER_FINISHED;
        }
        if (len >= 30)
            return HANDLER_GO_ON;
        std::string text(ims, len);
        struct tm tm {};
        const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
        if (end == nullptr || *end != '\0')
            return HANDLER_GO_ON;
        struct tm ftm {};
        if (mtime == nullptr || strptime(mtime->ptr, "%a, %d %b %Y %H:%M:%S GMT", &ftm) == nullptr)
            return HANDLER_GO_ON;
        tm.tm_isdst = 0;
        ftm.tm_isdst = 0;
        if (timegm(&ftm) > timegm(&tm))
            return HANDLER_GO_ON;
        con->http_status = 304;
        return HANDLER_FINISHED;
    }
    return HANDLER_GO_ON;
}

namespace {

// Clears the physical path and ends the request with the status set.
handler_t Decided(connection* con, int status)
{
    if (status)
        con->http_status = status;
    buffer_reset(con->physical.path);
    return HANDLER_FINISHED;
}

void LogPaths(server* srv, connection* con, const char* title, bool withBasedir)
{
    LOG_ERR(srv, "s", title);
    LOG_ERR(srv, "sb", "Doc-Root     :", con->physical.doc_root);
    LOG_ERR(srv, "sb", "Rel-Path     :", con->physical.rel_path);
    LOG_ERR(srv, "sb", "Path         :", con->physical.path);
    if (withBasedir)
        LOG_ERR(srv, "sb", "Basedir      :", con->physical.basedir);
}

// First pass of a request: target split, conditions, hooks, physical path.
handler_t MapRequest(server* srv, connection* con)
{
    config_cond_cache_reset(srv, con);
    config_setup_connection(srv, con);
    if (con->conf.log_condition_handling)
        LOG_ERR(srv, "s", "run condition");
    config_patch_connection(srv, con, COMP_SERVER_SOCKET);
    buffer_copy_string(con->uri.scheme, con->srv_socket && con->srv_socket->is_ssl ? "https" : "http");
    if (con->request.http_host && con->request.http_host->used > 1) {
        buffer_copy_string_buffer(con->uri.authority, con->request.http_host);
        buffer_to_lower(con->uri.authority);
    } else {
        buffer_reset(con->uri.authority);
    }
    for (comp_key_t k : {COMP_HTTP_SCHEME, COMP_HTTP_HOST, COMP_HTTP_REMOTE_IP, COMP_HTTP_REFERER,
                         COMP_HTTP_USER_AGENT, COMP_HTTP_LANGUAGE, COMP_HTTP_COOKIE, COMP_HTTP_REQUEST_METHOD})
        config_patch_connection(srv, con, k);

    buffer* uri = con->request.uri;
    size_t len = uri->used ? uri->used - 1 : 0;
    const char* hash = (const char*)memchr(uri->ptr, '#', len);
    if (hash)
        len = (size_t)(hash - uri->ptr);
    const char* q = (const char*)memchr(uri->ptr, '?', len);
    if (q) {
        buffer_copy_string_len(con->uri.query, q + 1, len - (size_t)(q + 1 - uri->ptr));
        buffer_copy_string_len(con->uri.path_raw, uri->ptr, (size_t)(q - uri->ptr));
    } else {
        buffer_reset(con->uri.query);
        buffer_copy_string_len(con->uri.path_raw, uri->ptr, len);
    }
    if (con->request.http_method == HTTP_METHOD_OPTIONS && buffer_is_equal_string(con->uri.path_raw, "*", 1)) {
        buffer_copy_string_buffer(con->uri.path, con->uri.path_raw);
    } else {
        buffer_copy_string_buffer(srv->tmp_buf, con->uri.path_raw);
        buffer_urldecode_path(srv->tmp_buf);
        buffer_path_simplify(con->uri.path, srv->tmp_buf);
    }
    config_patch_connection(srv, con, COMP_HTTP_URL);
    config_patch_connection(srv, con, COMP_HTTP_QUERY_STRING);
    if (!con->conf.allow_http11)
        con->request.http_version = HTTP_VERSION_1_0;
    if (Logging(con)) {
        LOG_ERR(srv, "s", "-- splitting Request-URI");
        LOG_ERR(srv, "sb", "Request-URI     : ", con->request.uri);
        LOG_ERR(srv, "sb", "URI-scheme      : ", con->uri.scheme);
        LOG_ERR(srv, "sb", "URI-authority   : ", con->uri.authority);
        LOG_ERR(srv, "sb", "URI-path (raw)  : ", con->uri.path_raw);
        LOG_ERR(srv, "sb", "URI-path (clean): ", con->uri.path);
        LOG_ERR(srv, "sb", "URI-query       : ", con->uri.query);
    }

    handler_t r = plugins_call_handle_uri_raw(srv, con);
    if (r != HANDLER_GO_ON) {
        if (KnownHandler(r))
            return r;
        LOG_ERR(srv, "sd", "handle_uri_raw: unknown return value", (int)r);
    }
    r = plugins_call_handle_uri_clean(srv, con);
    if (r != HANDLER_GO_ON) {
        if (KnownHandler(r))
            return r;
        LOG_ERR(srv, "");
    }
    if (con->request.http_method == HTTP_METHOD_OPTIONS && buffer_is_equal_string(con->uri.path, "*", 1)) {
        response_header_insert(srv, con, CONST_STR_LEN("Allow"), CONST_STR_LEN("OPTIONS, GET, HEAD, POST"));
        con->http_status = 200;
        con->file_finished = 1;
        return HANDLER_FINISHED;
    }

    buffer_copy_string_buffer(con->physical.doc_root, con->conf.document_root);
    buffer_copy_string_buffer(con->physical.rel_path, con->uri.path);
    if (Logging(con))
        LogPaths(srv, con, "-- before doc_root", false);
    r = plugins_call_handle_docroot(srv, con);
    if (r != HANDLER_GO_ON) {
        if (KnownHandler(r))
            return r;
        LOG_ERR(srv, "");
    }
    if (con->conf.force_lowercase_filenames)
        buffer_to_lower(con->physical.rel_path);
    if (buffer_is_empty(con->server_name))
        buffer_copy_string_buffer(con->server_name, con->uri.authority);
    buffer_copy_string_buffer(con->physical.basedir, con->physical.doc_root);
    buffer_copy_string_buffer(con->physical.path, con->physical.doc_root);
    if (con->physical.path->used < 2 || con->physical.path->ptr[con->physical.path->used - 2] != '/')
        buffer_append_string_len(con->physical.path, CONST_STR_LEN("/"));
    const buffer* rel = con->physical.rel_path;
    if (rel->used > 1) {
        size_t skip = rel->ptr[0] == '/' ? 1 : 0;
        buffer_append_string_len(con->physical.path, rel->ptr + skip, rel->used - 1 - skip);
    }
    if (Logging(con))
        LogPaths(srv, con, "-- after doc_root", false);
    r = plugins_call_handle_physical(srv, con);
    if (r != HANDLER_GO_ON) {
        if (KnownHandler(r))
            return r;
        LOG_ERR(srv, "");
    }
    if (Logging(con))
        LogPaths(srv, con, "-- logical -> physical", true);
    if (con->mode != DIRECT)
        return SubrequestHook(srv, con);
    return HANDLER_GO_ON;
}

// A path whose component is a file: the file serves, the rest is path-info.
handler_t PathInfo(server* srv, connection* con)
{
    std::string full(con->physical.path->ptr, con->physical.path->used - 1);
    size_t baseLen = con->physical.basedir->used ? con->physical.basedir->used - 1 : 0;
    std::string prefix = full;
    stat_cache_entry* sce = nullptr;
    for (;;) {
        size_t slash = prefix.rfind('/');
        if (slash == std::string::npos || slash < baseLen) {
            if (con->conf.log_file_not_found)
                LOG_ERR(srv, "sbsb", "file not found:", con->uri.path, "->", con->physical.path);
            return Decided(con, 404);
        }
        prefix.resize(slash);
        buffer_copy_string_len(srv->tmp_buf, prefix.data(), prefix.size());
        if (stat_cache_get_entry(srv, con, srv->tmp_buf, &sce) == HANDLER_GO_ON)
            break;
    }
    if (!S_ISREG(sce->st.st_mode))
        return Decided(con, 404);
    if (sce->is_symlink && !con->conf.follow_symlink)
        return Decided(con, 403);
    std::string tail = full.substr(prefix.size());
    buffer_copy_string_len(con->request.pathinfo, tail.data(), tail.size());
    buffer* up = con->uri.path;
    if (up->used > 1 && up->used - 1 >= tail.size() &&
        memcmp(up->ptr + up->used - 1 - tail.size(), tail.data(), tail.size()) == 0) {
        up->used -= tail.size();
        up->ptr[up->used - 1] = '\0';
    }
    buffer_copy_string_len(con->physical.path, prefix.data(), prefix.size());
    if (Logging(con)) {
        LOG_ERR(srv, "s", "-- after pathinfo check");
        LOG_ERR(srv, "sb", "Path         :", con->physical.path);
        LOG_ERR(srv, "sb", "URI          :", con->uri.path);
        LOG_ERR(srv, "sb", "Pathinfo     :", con->request.pathinfo);
    }
    return HANDLER_GO_ON;
}

}  // namespace

handler_t http_response_prepare(server* srv, connection* con)
{
    if (con->mode != DIRECT)
        return SubrequestHook(srv, con);
    if (con->http_status != 0 && con->http_status != 200) {
        if (!con->file_finished)
            chunkqueue_reset(con->write_queue);
        return HANDLER_FINISHED;
    }
    if (buffer_is_empty(con->physical.path)) {
        handler_t r = MapRequest(srv, con);
        if (r != HANDLER_GO_ON)
            return r;
    }

    if (Logging(con))
        LOG_ERR(srv, "s", "-- handling physical path");
    stat_cache_entry* sce = nullptr;
    if (stat_cache_get_entry(srv, con, con->physical.path, &sce) == HANDLER_ERROR) {
        switch (errno) {
        case ENOENT:
        case ENAMETOOLONG:
        case ELOOP:  // a link loop names no file either
            if (Logging(con))
                LOG_ERR(srv, "s", "-- file not found");
            return Decided(con, 404);
        case EACCES:
            if (Logging(con))
                LOG_ERR(srv, "s", "-- access denied");
            return Decided(con, 403);
        case ENOTDIR: {
            handler_t r = PathInfo(srv, con);
            if (r != HANDLER_GO_ON)
                return r;
            break;
        }
        default:
            LOG_ERR(srv, "ssbsb", "file not found ... or so: ", strerror(errno), con->uri.path, "->",
                    con->physical.path);
            return Decided(con, 500);
        }
    } else {
        if (Logging(con))
            LOG_ERR(srv, "s", "-- file found");
        if (sce->is_symlink && !con->conf.follow_symlink) {
            if (Logging(con))
                LOG_ERR(srv, "s", "-- access denied due symlink restriction");
            return Decided(con, 403);
        }
        if (S_ISDIR(sce->st.st_mode) &&
            (con->uri.path->used < 2 || con->uri.path->ptr[con->uri.path->used - 2] != '/')) {
            http_response_redirect_to_directory(srv, con);
            return HANDLER_FINISHED;
        }
    }

    if (Logging(con))
        LOG_ERR(srv, "s", "-- handling subrequest");
    handler_t r = plugins_call_handle_subrequest_start(srv, con);
    if (r != HANDLER_GO_ON) {
        if (Logging(con))
            LOG_ERR(srv, "s", "-- subrequest finished");
        return r;
    }
    if (con->mode != DIRECT || con->http_status != 0)
        return SubrequestHook(srv, con);
    con->http_status = con->request.http_method == HTTP_METHOD_OPTIONS ? 200 : 403;
    return HANDLER_FINISHED;
}
