// HTTP vocabulary of the server: versions, methods, statuses, error-page
// names, and the small growable pair lists that modules keep settings in.
#pragma once
#include "CommonModules/httpd/buffer.h"

struct server;

struct keyvalue {
    int key;
    const char* value;
};

enum http_version_t { HTTP_VERSION_UNSET = -1, HTTP_VERSION_1_0, HTTP_VERSION_1_1 };

enum http_method_t {
    HTTP_METHOD_UNSET = -1,
    HTTP_METHOD_GET,
    HTTP_METHOD_HEAD,
    HTTP_METHOD_POST,
    HTTP_METHOD_PUT,
    HTTP_METHOD_DELETE,
    HTTP_METHOD_CONNECT,
    HTTP_METHOD_OPTIONS,
    HTTP_METHOD_TRACE,
    HTTP_METHOD_ACL,
    HTTP_METHOD_BASELINE_CONTROL,
    HTTP_METHOD_BIND,
    HTTP_METHOD_CHECKIN,
    HTTP_METHOD_CHECKOUT,
    HTTP_METHOD_COPY,
    HTTP_METHOD_LABEL,
    HTTP_METHOD_LINK,
    HTTP_METHOD_LOCK,
    HTTP_METHOD_MERGE,
    HTTP_METHOD_MKACTIVITY,
    HTTP_METHOD_MKCALENDAR,
    HTTP_METHOD_MKCOL,
    HTTP_METHOD_MKREDIRECTREF,
    HTTP_METHOD_MKWORKSPACE,
    HTTP_METHOD_MOVE,
    HTTP_METHOD_ORDERPATCH,
    HTTP_METHOD_PATCH,
    HTTP_METHOD_PROPFIND,
    HTTP_METHOD_PROPPATCH,
    HTTP_METHOD_REBIND,
    HTTP_METHOD_REPORT,
    HTTP_METHOD_SEARCH,
    HTTP_METHOD_UNBIND,
    HTTP_METHOD_UNCHECKOUT,
    HTTP_METHOD_UNLINK,
    HTTP_METHOD_UNLOCK,
    HTTP_METHOD_UPDATE,
    HTTP_METHOD_UPDATEREDIRECTREF,
    HTTP_METHOD_VERSION_CONTROL
};

enum httpauth_type { HTTP_AUTH_BASIC, HTTP_AUTH_DIGEST };

struct keyvalue_buffer {
    keyvalue** kv;
    size_t size;
    size_t used;
};

struct s_keyvalue {
    char* key;
    char* value;
};

struct s_keyvalue_buffer {
    s_keyvalue** kv;
    size_t size;
    size_t used;
};

struct httpauth_keyvalue {
    char* key;
    char* realm;
    httpauth_type type;
};

struct httpauth_keyvalue_buffer {
    httpauth_keyvalue** kv;
    size_t size;
    size_t used;
};

struct pcre_keyvalue_buffer {
    char unused;
};

HTTPD_API const char* keyvalue_get_value(const keyvalue* kv, int k);
HTTPD_API int keyvalue_get_key(const keyvalue* kv, const char* s);
HTTPD_API const char* get_http_version_name(int i);
HTTPD_API const char* get_http_method_name(http_method_t i);
HTTPD_API const char* get_http_status_name(int i);
HTTPD_API const char* get_http_status_body_name(int i);
HTTPD_API int get_http_version_key(const char* s);
HTTPD_API http_method_t get_http_method_key(const char* s);

HTTPD_API keyvalue_buffer* keyvalue_buffer_init(void);
HTTPD_API int keyvalue_buffer_append(keyvalue_buffer* kvb, int k, const char* value);
HTTPD_API void keyvalue_buffer_free(keyvalue_buffer* kvb);
HTTPD_API s_keyvalue_buffer* s_keyvalue_buffer_init(void);
HTTPD_API int s_keyvalue_buffer_append(s_keyvalue_buffer* kvb, const char* key, const char* value);
HTTPD_API void s_keyvalue_buffer_free(s_keyvalue_buffer* kvb);
HTTPD_API httpauth_keyvalue_buffer* httpauth_keyvalue_buffer_init(void);
HTTPD_API int httpauth_keyvalue_buffer_append(httpauth_keyvalue_buffer* kvb, const char* key, const char* realm,
                                              httpauth_type type);
HTTPD_API void httpauth_keyvalue_buffer_free(httpauth_keyvalue_buffer* kvb);
HTTPD_API pcre_keyvalue_buffer* pcre_keyvalue_buffer_init(void);
HTTPD_API int pcre_keyvalue_buffer_append(server* srv, pcre_keyvalue_buffer* kvb, const char* key, const char* value);
HTTPD_API void pcre_keyvalue_buffer_free(pcre_keyvalue_buffer* kvb);
