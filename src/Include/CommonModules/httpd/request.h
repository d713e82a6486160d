// The request-head parser: request line, header fields, the special
// headers, host validation and the checks that decide whether a body follows.
#pragma once
#include "CommonModules/httpd/base.h"

HTTPD_API int http_request_parse(server* srv, connection* con);
HTTPD_API int http_request_header_finished(server* srv, connection* con);
// 0 when the host text (Host header or request-line host) is valid; a
// trailing dot of the name is removed from it.
int request_check_hostname(buffer* host);
