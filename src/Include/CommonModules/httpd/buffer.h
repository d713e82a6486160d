// Growable byte strings of the HTTP server, their lists, character classes
// and encoders. Exported to the server's loadable modules.
#pragma once
#include <cstddef>
#include <cstdint>

// The server's modules bind to these names, so they keep C linkage.
#define HTTPD_API extern "C" __attribute__((visibility("default")))

struct buffer {
    char* ptr;
    size_t used;  // counts the terminating NUL of a string; 0 = unset
    size_t size;
};

struct buffer_array {
    buffer** ptr;
    size_t used;
    size_t size;
};

enum buffer_encoding_t {
    ENCODING_UNSET,
    ENCODING_REL_URI,
    ENCODING_REL_URI_PART,
    ENCODING_HTML,
    ENCODING_MINIMAL_XML,
    ENCODING_HEX,
    ENCODING_HTTP_HEADER
};

HTTPD_API buffer* buffer_init(void);
HTTPD_API buffer* buffer_init_string(const char* s);
HTTPD_API buffer* buffer_init_buffer(buffer* b);
HTTPD_API void buffer_free(buffer* b);
HTTPD_API void buffer_reset(buffer* b);
HTTPD_API int buffer_prepare_copy(buffer* b, size_t size);
HTTPD_API int buffer_prepare_append(buffer* b, size_t size);
HTTPD_API int buffer_copy_string(buffer* b, const char* s);
HTTPD_API int buffer_copy_string_len(buffer* b, const char* s, size_t s_len);
HTTPD_API int buffer_copy_string_buffer(buffer* b, const buffer* src);
HTTPD_API int buffer_copy_memory(buffer* b, const char* s, size_t s_len);
HTTPD_API int buffer_append_string(buffer* b, const char* s);
HTTPD_API int buffer_append_string_len(buffer* b, const char* s, size_t s_len);
HTTPD_API int buffer_append_string_buffer(buffer* b, const buffer* src);
HTTPD_API int buffer_append_memory(buffer* b, const char* s, size_t s_len);
HTTPD_API int buffer_append_string_rfill(buffer* b, const char* s, size_t maxlen);
HTTPD_API int buffer_append_long(buffer* b, long val);
HTTPD_API int buffer_copy_long(buffer* b, long val);
HTTPD_API int buffer_append_long_hex(buffer* b, unsigned long value);
HTTPD_API int buffer_copy_string_hex(buffer* b, const char* in, size_t in_len);
HTTPD_API int buffer_append_string_encoded(buffer* b, const char* s, size_t s_len, buffer_encoding_t encoding);
HTTPD_API int buffer_urldecode_path(buffer* url);
HTTPD_API int buffer_urldecode_query(buffer* url);
HTTPD_API int buffer_path_simplify(buffer* dest, buffer* src);
HTTPD_API int buffer_is_empty(const buffer* b);
HTTPD_API int buffer_is_equal(const buffer* a, const buffer* b);
HTTPD_API int buffer_is_equal_string(const buffer* a, const char* s, size_t b_len);
HTTPD_API int buffer_is_equal_caseless_string(const buffer* a, const char* s, size_t b_len);
HTTPD_API int buffer_is_equal_right_len(const buffer* a, const buffer* b, size_t len);
HTTPD_API int buffer_caseless_compare(const char* a, size_t a_len, const char* b, size_t b_len);
HTTPD_API char* buffer_search_string_len(buffer* b, const char* needle, size_t len);
HTTPD_API int buffer_to_lower(buffer* b);
HTTPD_API int buffer_to_upper(buffer* b);

HTTPD_API int LI_ltostr(char* buf, long val);
HTTPD_API char int2hex(char c);
HTTPD_API char hex2int(unsigned char c);
HTTPD_API int light_isdigit(int c);
HTTPD_API int light_isxdigit(int c);
HTTPD_API int light_isalpha(int c);
HTTPD_API int light_isalnum(int c);

HTTPD_API buffer_array* buffer_array_init(void);
HTTPD_API buffer* buffer_array_append_get_buffer(buffer_array* b);
HTTPD_API void buffer_array_reset(buffer_array* b);
HTTPD_API void buffer_array_free(buffer_array* b);

HTTPD_API void log_failed_assert(const char* filename, unsigned int line, const char* msg) __attribute__((noreturn));

#define CONST_STR_LEN(x) (x), (sizeof(x) - 1)
#define CONST_BUF_LEN(x) (x)->ptr, (x)->used ? (x)->used - 1 : 0
// The source position the server's messages carry: the file's own name.
#define SRV_FILE __FILE_NAME__
#define SRV_ASSERT(x) do { if (!(x)) log_failed_assert(SRV_FILE, __LINE__, "assertion failed: " #x); } while (0)
#define SRV_ABORT() log_failed_assert(SRV_FILE, __LINE__, "aborted")
