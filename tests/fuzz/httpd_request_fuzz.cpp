// Fuzz target: the HTTP request-head parser over raw heads; whatever the
// head, the result is a status or a parsed request and nothing leaks.
#include "CommonModules/httpd/chunk.h"
#include "CommonModules/httpd/request.h"
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static server* srv = [] {
        server* s = server_init();
        s->errorlog_fd = -1;
        s->srvconf.log_request_header_on_error = 1;
        s->srvconf.max_request_size = 1024;
        return s;
    }();
    connection con{};
    for (buffer** b : {&con.request.request, &con.request.request_line, &con.request.uri, &con.request.orig_uri,
                       &con.parse_request})
        *b = buffer_init();
    con.request.headers = array_init();
    con.conf.allow_http11 = size & 1;
    srv->srvconf.reject_expect_100_with_417 = (size >> 1) & 1;
    con.request_count = 2;
    buffer_copy_string_len(con.request.request, (const char*)data, size);
    int rc = http_request_parse(srv, &con);
    if (rc == 1 && (con.http_status != 0 || con.request.content_length == 0))
        abort();
    if (con.http_status == 0 && (con.request.uri->used < 2 || con.request.uri->ptr[0] == '\0'))
        abort();  // an accepted request always names a target
    for (buffer* b : {con.request.request, con.request.request_line, con.request.uri, con.request.orig_uri,
                      con.parse_request})
        buffer_free(b);
    array_free(con.request.headers);
    return 0;
}
