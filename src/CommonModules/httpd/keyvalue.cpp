// Number-to-text tables of HTTP versions, methods, statuses and error pages,
// and the pair lists offered to modules.
#include "CommonModules/httpd/keyvalue.h"
#include <cstdlib>
#include <cstring>

static const keyvalue http_versions[] = {{HTTP_VERSION_1_1, "HTTP/1.1"}, {HTTP_VERSION_1_0, "HTTP/1.0"}, {-1, nullptr}};

static const keyvalue http_methods[] = {
    {0, "GET"}, {1, "HEAD"}, {2, "POST"}, {3, "PUT"}, {4, "DELETE"}, {5, "CONNECT"}, {6, "OPTIONS"},
    {7, "TRACE"}, {8, "ACL"}, {9, "BASELINE-CONTROL"}, {10, "BIND"}, {11, "CHECKIN"}, {12, "CHECKOUT"},
    {13, "COPY"}, {14, "LABEL"}, {15, "LINK"}, {16, "LOCK"}, {17, "MERGE"}, {18, "MKACTIVITY"},
    {19, "MKCALENDAR"}, {20, "MKCOL"}, {21, "MKREDIRECTREF"}, {22, "MKWORKSPACE"}, {23, "MOVE"},
    {24, "ORDERPATCH"}, {25, "PATCH"}, {26, "PROPFIND"}, {27, "PROPPATCH"}, {28, "REBIND"}, {29, "REPORT"},
    {30, "SEARCH"}, {31, "UNBIND"}, {32, "UNCHECKOUT"}, {33, "UNLINK"}, {34, "UNLOCK"}, {35, "UPDATE"},
    {36, "UPDATEREDIRECTREF"}, {37, "VERSION-CONTROL"}, {-1, nullptr}};

static const keyvalue http_status[] = {
    {100, "Continue"}, {101, "Switching Protocols"}, {102, "Processing"}, {200, "OK"}, {201, "Created"},
    {202, "Accepted"}, {203, "Non-Authoritative Information"}, {204, "No Content"}, {205, "Reset Content"},
    {206, "Partial Content"}, {207, "Multi-status"}, {300, "Multiple Choices"}, {301, "Moved Permanently"},
    {302, "Found"}, {303, "See Other"}, {304, "Not Modified"}, {305, "Use Proxy"}, {306, "(Unused)"},
    {307, "Temporary Redirect"}, {400, "Bad Request"}, {401, "Unauthorized"}, {402, "Payment Required"},
    {403, "Forbidden"}, {404, "Not Found"}, {405, "Method Not Allowed"}, {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"}, {408, "Request Timeout"}, {409, "Conflict"}, {410, "Gone"},
    {411, "Length Required"}, {412, "Precondition Failed"}, {413, "Request Entity Too Large"},
    {414, "Request-URI Too Long"}, {415, "Unsupported Media Type"}, {416, "Requested Range Not Satisfiable"},
    {417, "Expectation Failed"}, {422, "Unprocessable Entity"}, {423, "Locked"}, {424, "Failed Dependency"},
    {426, "Upgrade Required"}, {500, "Internal Server Error"}, {501, "Not Implemented"}, {502, "Bad Gateway"},
    {503, "Service Not Available"}, {504, "Gateway Timeout"}, {505, "HTTP Version Not Supported"},
    {507, "Insufficient Storage"}, {-1, nullptr}};

static const keyvalue http_status_body[] = {
    {400, "400.html"}, {401, "401.html"}, {403, "403.html"}, {404, "404.html"}, {411, "411.html"},
    {416, "416.html"}, {500, "500.html"}, {501, "501.html"}, {503, "503.html"}, {505, "505.html"}, {-1, nullptr}};

const char* keyvalue_get_value(const keyvalue* kv, int k)
{
    for (; kv->value; ++kv)
        if (kv->key == k)
            return kv->value;
    return nullptr;
}

int keyvalue_get_key(const keyvalue* kv, const char* s)
{
    if (s == nullptr)
        return -1;
    for (; kv->value; ++kv)
        if (strcmp(kv->value, s) == 0)
            return kv->key;
    return -1;
}

const char* get_http_version_name(int i)
{
    return keyvalue_get_value(http_versions, i);
}
const char* get_http_method_name(http_method_t i)
{
    return keyvalue_get_value(http_methods, i);
}
const char* get_http_status_name(int i)
{
    return keyvalue_get_value(http_status, i);
}
const char* get_http_status_body_name(int i)
{
    return keyvalue_get_value(http_status_body, i);
}
int get_http_version_key(const char* s)
{
    return keyvalue_get_key(http_versions, s);
}
http_method_t get_http_method_key(const char* s)
{
    return (http_method_t)keyvalue_get_key(http_methods, s);
}

// The three pair lists grow by 4 zeroed entries at a time.
template <class List, class Entry>
Entry* NextEntry(List* kvb)
{
    if (kvb->used == kvb->size) {
        kvb->size += 4;
        kvb->kv = (Entry**)realloc(kvb->kv, kvb->size * sizeof(*kvb->kv));
        SRV_ASSERT(kvb->kv);
        for (size_t i = kvb->used; i < kvb->size; ++i) {
            kvb->kv[i] = (Entry*)calloc(1, sizeof(Entry));
            SRV_ASSERT(kvb->kv[i]);
        }
    }
    return kvb->kv[kvb->used++];
}

template <class List>
List* NewList()
{
    List* l = (List*)calloc(1, sizeof(List));
    SRV_ASSERT(l);
    return l;
}

static char* Dup(const char* s)
{
    return s ? strdup(s) : nullptr;
}

keyvalue_buffer* keyvalue_buffer_init(void)
{
    return NewList<keyvalue_buffer>();
}

int keyvalue_buffer_append(keyvalue_buffer* kvb, int k, const char* value)
{
    keyvalue* e = NextEntry<keyvalue_buffer, keyvalue>(kvb);
    e->key = k;
    e->value = Dup(value);
    return 0;
}

void keyvalue_buffer_free(keyvalue_buffer* kvb)
{
    if (kvb == nullptr)
        return;
    for (size_t i = 0; i < kvb->size; ++i) {
        free((void*)kvb->kv[i]->value);
        free(kvb->kv[i]);
    }
    free(kvb->kv);
    free(kvb);
}

s_keyvalue_buffer* s_keyvalue_buffer_init(void)
{
    return NewList<s_keyvalue_buffer>();
}

int s_keyvalue_buffer_append(s_keyvalue_buffer* kvb, const char* key, const char* value)
{
    s_keyvalue* e = NextEntry<s_keyvalue_buffer, s_keyvalue>(kvb);
    e->key = Dup(key);
    e->value = Dup(value);
    return 0;
}

void s_keyvalue_buffer_free(s_keyvalue_buffer* kvb)
{
    if (kvb == nullptr)
        return;
    for (size_t i = 0; i < kvb->size; ++i) {
        free(kvb->kv[i]->key);
        free(kvb->kv[i]->value);
        free(kvb->kv[i]);
    }
    free(kvb->kv);
    free(kvb);
}

httpauth_keyvalue_buffer* httpauth_keyvalue_buffer_init(void)
{
    return NewList<httpauth_keyvalue_buffer>();
}

int httpauth_keyvalue_buffer_append(httpauth_keyvalue_buffer* kvb, const char* key, const char* realm,
                                    httpauth_type type)
{
    httpauth_keyvalue* e = NextEntry<httpauth_keyvalue_buffer, httpauth_keyvalue>(kvb);
    e->key = Dup(key);
    e->realm = Dup(realm);
    e->type = type;
    return 0;
}

void httpauth_keyvalue_buffer_free(httpauth_keyvalue_buffer* kvb)
{
    if (kvb == nullptr)
        return;
    for (size_t i = 0; i < kvb->size; ++i) {
        free(kvb->kv[i]->key);
        free(kvb->kv[i]->realm);
        free(kvb->kv[i]);
    }
    free(kvb->kv);
    free(kvb);
}

pcre_keyvalue_buffer* pcre_keyvalue_buffer_init(void)
{
    return NewList<pcre_keyvalue_buffer>();
}

int pcre_keyvalue_buffer_append(server*, pcre_keyvalue_buffer*, const char*, const char*)
{
    return -1;
}

void pcre_keyvalue_buffer_free(pcre_keyvalue_buffer* kvb)
{
    free(kvb);
}
