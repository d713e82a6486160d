// Parsing of a complete request head into the connection's request record;
// a refused head sets the status and keep-alive flags and changes nothing else.
#include "CommonModules/httpd/request.h"
#include "CommonModules/httpd/log.h"
#include <cstring>
#include <strings.h>
#include <string>

namespace {

enum KeepAliveWish { KA_NONE, KA_KEEPALIVE, KA_CLOSE };

struct Parse {
    server* srv;
    connection* con;
    bool logErrors;

    // Refuses the request: status, keep-alive cleared, optional log lines.
    int Refuse(int status, const char* why, bool alwaysLog = false, bool clearResponse = true)
    {
        con->http_status = status;
        con->keep_alive = 0;
        if (clearResponse)
            con->response.keep_alive = 0;
        if (alwaysLog || logErrors) {
            LOG_ERR(srv, "s", why);
            if (logErrors)
                LOG_ERR(srv, "Sb", "request-header:\n", con->request.request);
        }
        return 0;
    }
};

bool IsSeparator(unsigned char c)
{
    return strchr("()<>@,;\\/[]?={}\"", c) != nullptr && c != 0;
}

bool CaseEq(const char* a, size_t alen, const char* b)
{
    return alen == strlen(b) && strncasecmp(a, b, alen) == 0;
}

bool DigitsOnly(const char* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (!light_isdigit((unsigned char)p[i]))
            return false;
    return true;
}

// The decimal version part: digits only and at least one.
bool VersionPart(const char* p, size_t n, int& out)
{
    if (n == 0 || n > 9 || !DigitsOnly(p, n))
        return false;
    out = std::stoi(std::string(p, n));
    return true;
}

}  // namespace

int request_check_hostname(buffer* host)
{
    if (host == nullptr || host->used < 2)
        return -1;
    char* h = host->ptr;
    size_t len = host->used - 1;
    if (h[0] == '[') {
        size_t colons = 0, i = 1;
        for (; i < len && h[i] != ']'; ++i) {
            if (h[i] == ':') {
                if (++colons > 7)
                    return -1;
            } else if (!light_isxdigit((unsigned char)h[i]) && h[i] != '.') {
                return -1;
            }
        }
        if (i >= len)
            return -1;
        if (i + 1 < len && (h[i + 1] != ':' || !DigitsOnly(h + i + 2, len - i - 2)))
            return -1;
        return 0;
    }
    size_t nameLen = len;
    if (const char* colon = (const char*)memchr(h, ':', len)) {
        nameLen = (size_t)(colon - h);
        if (!DigitsOnly(colon + 1, len - nameLen - 1))
            return -1;
    }
    if (nameLen == 0)
        return -1;
    if (h[nameLen - 1] == '.') {
        memmove(h + nameLen - 1, h + nameLen, len - nameLen + 1);
        host->used--;
        len--;
        nameLen--;
        if (nameLen == 0)
            return -1;
    }
    if (!light_isalnum((unsigned char)h[0]))
        return -1;
    // Labels from right to left.
    int labels = 0;
    bool allDigits = true, rightmostDigits = false;
    size_t end = nameLen;
    while (true) {
        size_t start = end;
        while (start > 0 && h[start - 1] != '.')
            start--;
        if (start == end)
            return -1;  // empty label
        if (h[start] == '-')
            return -1;
        bool digits = true;
        for (size_t i = start; i < end; ++i) {
            unsigned char c = (unsigned char)h[i];
            if (!light_isalnum(c) && c != '-')
                return -1;
            if (!light_isdigit(c))
                digits = false;
        }
        if (labels == 0)
            rightmostDigits = digits;
        allDigits = allDigits && digits;
        labels++;
        if (start == 0)
            break;
        end = start - 1;
    }
    if (rightmostDigits && (!allDigits || labels != 4))
        return -1;
    return 0;
}

int http_request_header_finished(server*, connection* con)
{
    const buffer* b = con->request.request;
    if (b == nullptr || b->used < 5)
        return 0;
    if (memcmp(b->ptr + b->used - 5, "\r\n\r\n", 4) == 0)
        return 1;
    return strstr(b->ptr, "\r\n\r\n") != nullptr;
}

int http_request_parse(server* srv, connection* con)
{
    Parse P{srv, con, srv->srvconf.log_request_header_on_error != 0};
    request& req = con->request;
    const buffer* raw = req.request;
    size_t rawLen = raw && raw->used ? raw->used - 1 : 0;
    if (con->conf.log_request_header)
        LOG_ERR(srv, "sdsdSb", "fd:", con->fd, "request-len:", (int)rawLen, "\n", raw);

    const char* src = raw && raw->used ? raw->ptr : "";
    size_t skip = 0;
    if (con->request_count > 1 && rawLen >= 2 && src[0] == '\r' && src[1] == '\n')
        skip = 2;
    buffer_copy_string_len(con->parse_request, src + skip, rawLen - skip);
    char* p = con->parse_request->ptr;
    size_t len = con->parse_request->used - 1;

    // ---- request line ----
    size_t lineEnd = 0;
    while (lineEnd + 1 < len && !(p[lineEnd] == '\r' && p[lineEnd + 1] == '\n'))
        lineEnd++;
    if (lineEnd + 1 >= len)
        return P.Refuse(400, "incomplete request line -> 400");
    size_t sp[2] = {0, 0};
    int spaces = 0;
    for (size_t i = 0; i < lineEnd; ++i) {
        if (p[i] != ' ')
            continue;
        if (spaces == 2)
            return P.Refuse(400, "overlong request line -> 400");
        sp[spaces++] = i;
    }
    buffer_copy_string_len(req.request_line, p, lineEnd);
    if (spaces < 2)
        return P.Refuse(400, "incomplete request line -> 400");
    std::string method(p, sp[0]);
    std::string target(p + sp[0] + 1, sp[1] - sp[0] - 1);
    std::string proto(p + sp[1] + 1, lineEnd - sp[1] - 1);

    req.http_method = get_http_method_key(method.c_str());
    if (req.http_method == HTTP_METHOD_UNSET || method.find('\0') != std::string::npos)
        return P.Refuse(501, "unknown http-method -> 501");

    if (proto.compare(0, 5, "HTTP/") != 0)
        return P.Refuse(400, "unknown protocol -> 400");
    size_t dot = proto.find('.', 5);
    int major, minor;
    if (dot == std::string::npos || !VersionPart(proto.data() + 5, dot - 5, major) ||
        !VersionPart(proto.data() + dot + 1, proto.size() - dot - 1, minor))
        return P.Refuse(400, "unknown protocol -> 400");
    if (major == 1 && minor == 1) {
        req.http_version = con->conf.allow_http11 ? HTTP_VERSION_1_1 : HTTP_VERSION_1_0;
    } else if (major == 1 && minor == 0) {
        req.http_version = HTTP_VERSION_1_0;
    } else {
        con->http_status = 505;
        if (P.logErrors)
            LOG_ERR(srv, "s", "unknown HTTP version -> 505");
        return 0;
    }

    std::string lineHost;
    for (const char* scheme : {"http://", "https://"}) {
        size_t n = strlen(scheme);
        if (target.size() > n && strncasecmp(target.c_str(), scheme, n) == 0) {
            size_t slash = target.find('/', n);
            if (slash != std::string::npos) {
                lineHost = target.substr(n, slash - n);
                target = target.substr(slash);
            }
            break;
        }
    }
    for (unsigned char c : target) {
        if (c <= 32 || c == 127 || c == 255) {
            if (P.logErrors)
                LOG_ERR(srv, "sd", "invalid character in URI -> 400", (int)c);
            return P.Refuse(400, "invalid character in URI -> 400");
        }
    }
    buffer_copy_string_len(req.uri, target.data(), target.size());
    buffer_copy_string_buffer(req.orig_uri, req.uri);
    con->http_status = 0;
    if (target.empty())
        return P.Refuse(400, "no uri specified -> 400");

    bool haveLineHost = !lineHost.empty();
    auto store = [&](const char* key, size_t keyLen, const char* val, size_t valLen) -> data_string* {
        data_string* ds = (data_string*)array_get_unused_element(req.headers, TYPE_STRING);
        if (ds == nullptr)
            ds = data_string_init();
        std::string k(key, keyLen);
        buffer_copy_string_len(ds->key, key, keyLen);
        buffer_copy_string_len(ds->value, val, valLen);
        ds->is_index_key = 0;
        array_insert_unique(req.headers, (data_unset*)ds);  // a repeated key merges and frees ds
        return (data_string*)array_get_element(req.headers, k.c_str());
    };
    if (haveLineHost) {
        data_string* ds = store("Host", 4, lineHost.data(), lineHost.size());
        req.http_host = ds->value;
    }

    // ---- header lines ----
    KeepAliveWish wish = KA_NONE;
    bool haveLength = false;
    size_t pos = lineEnd + 2;
    while (true) {
        if (pos + 1 < len && p[pos] == '\r' && p[pos + 1] == '\n') {
            pos += 2;
            break;  // the empty line ends the head
        }
        if (pos >= len)
            return P.Refuse(400, "CR without LF -> 400");
        if (p[pos] == ' ' || p[pos] == '\t')
            // Obsolete line folding is refused (RFC 9112), first line or not.
            return P.Refuse(400, "WS at the start of first line -> 400");
        size_t keyStart = pos;
        size_t keyEnd = pos;
        while (true) {
            if (keyEnd >= len)
                return P.Refuse(400, "CR without LF -> 400");
            unsigned char c = (unsigned char)p[keyEnd];
            if (c == ':')
                break;
            if (c == ' ' || c == '\t')
                // White space before the colon is refused (RFC 9112).
                return P.Refuse(400, "WS character in key -> 400");
            if (c == '\r')
                return P.Refuse(400, "CR without LF -> 400");
            if (IsSeparator(c) || c < 32 || c > 126) {
                if (P.logErrors)
                    LOG_ERR(srv, "sbsds", "invalid character in key", req.request, p + keyEnd, (int)c, "-> 400");
                return P.Refuse(400, "invalid character in key");
            }
            keyEnd++;
        }
        if (keyEnd == keyStart)
            return P.Refuse(400, "empty header name -> 400");
        size_t v = keyEnd + 1;
        while (v < len && (p[v] == ' ' || p[v] == '\t'))
            v++;
        size_t valStart = v;
        while (true) {
            if (v >= len)
                return P.Refuse(400, "CR without LF -> 400");
            unsigned char c = (unsigned char)p[v];
            if (c == '\r') {
                if (v + 1 < len && p[v + 1] == '\n')
                    break;
                return P.Refuse(400, "CR without LF -> 400");
            }
            if (c < 32 && c != '\t') {
                if (P.logErrors)
                    LOG_ERR(srv, "sds", "invalid char in header", (int)c, "-> 400");
                return P.Refuse(400, "invalid char in header");
            }
            v++;
        }
        size_t valEnd = v;
        pos = v + 2;
        while (valEnd > valStart && (p[valEnd - 1] == ' ' || p[valEnd - 1] == '\t'))
            valEnd--;
        if (valEnd == valStart)
            continue;
        const char* key = p + keyStart;
        size_t keyLen = keyEnd - keyStart;
        const char* val = p + valStart;
        size_t valLen = valEnd - valStart;

        if (CaseEq(key, keyLen, "Connection")) {
            size_t i = 0;
            while (i < valLen && wish == KA_NONE) {
                size_t j = i;
                while (j < valLen && val[j] != ',')
                    j++;
                size_t a = i, b = j;
                while (a < b && (val[a] == ' ' || val[a] == '\t'))
                    a++;
                while (b > a && (val[b - 1] == ' ' || val[b - 1] == '\t'))
                    b--;
                if (CaseEq(val + a, b - a, "keep-alive"))
                    wish = KA_KEEPALIVE;
                else if (CaseEq(val + a, b - a, "close"))
                    wish = KA_CLOSE;
                i = j + 1;
            }
        } else if (CaseEq(key, keyLen, "Content-Length")) {
            if (haveLength)
                return P.Refuse(400, "duplicate Content-Length-header -> 400");
            if (!DigitsOnly(val, valLen)) {
                LOG_ERR(srv, "sSs", "content-length broken:", std::string(val, valLen).c_str(), "-> 400");
                return P.Refuse(400, "content-length broken -> 400");
            }
            uint64_t n = 0;
            for (size_t i = 0; i < valLen && n <= 0xFFFFFFFFull; ++i)
                n = n * 10 + (uint64_t)(val[i] - '0');
            req.content_length = n > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)n;
            haveLength = true;
        } else if (CaseEq(key, keyLen, "Content-Type")) {
            if (req.http_content_type)
                return P.Refuse(400, "duplicate Content-Type-header -> 400");
            req.http_content_type = store(key, keyLen, val, valLen)->value->ptr;
            continue;
        } else if (CaseEq(key, keyLen, "Expect")) {
            if (srv->srvconf.reject_expect_100_with_417 && CaseEq(val, valLen, "100-continue")) {
                con->http_status = 417;
                con->keep_alive = 0;
                return 0;
            }
        } else if (CaseEq(key, keyLen, "Host")) {
            if (haveLineHost)
                continue;
            if (req.http_host)
                return P.Refuse(400, "duplicate Host-header -> 400");
            req.http_host = store(key, keyLen, val, valLen)->value;
            continue;
        } else if (CaseEq(key, keyLen, "If-Modified-Since")) {
            if (req.http_if_modified_since) {
                if (CaseEq(val, valLen, req.http_if_modified_since))
                    continue;
                return P.Refuse(400, "duplicate If-Modified-Since header -> 400");
            }
            req.http_if_modified_since = store(key, keyLen, val, valLen)->value->ptr;
            continue;
        } else if (CaseEq(key, keyLen, "If-None-Match")) {
            if (req.http_if_none_match)
                continue;
            req.http_if_none_match = store(key, keyLen, val, valLen)->value->ptr;
            continue;
        } else if (CaseEq(key, keyLen, "Range")) {
            if (req.http_range)
                return P.Refuse(400, "duplicate Range-header -> 400");
            if (valLen > 6 && strncasecmp(val, "bytes=", 6) == 0 && memchr(val + 6, '-', valLen - 6)) {
                // An earlier Range that set nothing may have been joined in front.
                data_string* ds = store(key, keyLen, val, valLen);
                req.http_range = ds->value->ptr + ds->value->used - 1 - valLen + 6;
                continue;
            }
        } else if (CaseEq(key, keyLen, "Transfer-Encoding")) {
            // Bodies are framed by Content-Length only; any transfer coding is
            // refused and the connection closed (RFC 9112).
            return P.Refuse(501, "Transfer-Encoding is not supported -> 501", true);
        }
        store(key, keyLen, val, valLen);
    }
    con->header_len = pos + skip;

    // ---- checks after the head ----
    if (req.http_version == HTTP_VERSION_1_1)
        con->keep_alive = wish != KA_CLOSE;
    else
        con->keep_alive = wish == KA_KEEPALIVE;
    if (req.http_version == HTTP_VERSION_1_1 && (req.http_host == nullptr || req.http_host->used < 2))
        return P.Refuse(400, "HTTP/1.1 but Host missing -> 400");
    if (req.http_host && req.http_host->used > 1 && request_check_hostname(req.http_host) != 0)
        return P.Refuse(400, "Invalid Hostname -> 400");
    if ((req.http_method == HTTP_METHOD_GET || req.http_method == HTTP_METHOD_HEAD) && haveLength &&
        req.content_length != 0)
        return P.Refuse(400, "GET/HEAD with content-length -> 400", true);
    if (req.http_method == HTTP_METHOD_POST && !haveLength)
        return P.Refuse(411, "POST-request, but content-length missing -> 411", true);
    if (haveLength) {
        uint32_t limit = srv->srvconf.max_request_size;
        if (req.content_length > 2147483647u || (limit && (req.content_length >> 10) > limit)) {
            LOG_ERR(srv, "sSs", "request-size too long:", std::to_string(req.content_length).c_str(), "-> 413");
            return P.Refuse(413, "request-size too long -> 413");
        }
    }
    return haveLength && req.content_length != 0 ? 1 : 0;
}
