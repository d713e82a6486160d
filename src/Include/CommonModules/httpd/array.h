// Keyed arrays of typed values (configuration, headers, lists, counters),
// the value types that share one head, and a small bit set.
#pragma once
#include "CommonModules/httpd/buffer.h"
#include <ctime>

enum data_type_t { TYPE_UNSET, TYPE_STRING, TYPE_COUNT, TYPE_ARRAY, TYPE_INTEGER, TYPE_FASTCGI, TYPE_CONFIG };

struct data_unset;

// The head every value begins with.
#define DATA_UNSET                                      \
    data_type_t type;                                   \
    buffer* key;                                        \
    int is_index_key;                                   \
    data_unset* (*copy)(const data_unset* src);         \
    void (*free)(data_unset* p);                        \
    void (*reset)(data_unset* p);                       \
    int (*insert_dup)(data_unset* dst, data_unset* src); \
    void (*print)(const data_unset* p, int depth)

struct data_unset {
    DATA_UNSET;
};

struct array {
    data_unset** data;
    size_t* sorted;
    size_t used;
    size_t size;
    size_t unique_ndx;
    size_t next_power_of_2;
    int is_weakref;
};

struct data_string {
    DATA_UNSET;
    buffer* value;
};

struct data_count {
    DATA_UNSET;
    int count;
};

struct data_array {
    DATA_UNSET;
    array* value;
};

struct data_integer {
    DATA_UNSET;
    int value;
};

struct data_fastcgi {
    DATA_UNSET;
    buffer* host;
    unsigned short port;
    time_t disable_ts;
    int is_disabled;
    size_t balance;
    int usage;
    int last_used_ndx;
};

enum comp_key_t {
    COMP_UNSET,
    COMP_SERVER_SOCKET,
    COMP_HTTP_URL,
    COMP_HTTP_HOST,
    COMP_HTTP_REFERER,
    COMP_HTTP_USER_AGENT,
    COMP_HTTP_LANGUAGE,
    COMP_HTTP_COOKIE,
    COMP_HTTP_REMOTE_IP,
    COMP_HTTP_QUERY_STRING,
    COMP_HTTP_SCHEME,
    COMP_HTTP_REQUEST_METHOD,
    COMP_LAST_ELEMENT
};

enum config_cond_t { CONFIG_COND_UNSET, CONFIG_COND_EQ, CONFIG_COND_MATCH, CONFIG_COND_NE, CONFIG_COND_NOMATCH };

struct data_config {
    DATA_UNSET;
    array* value;
    buffer* comp_key;
    comp_key_t comp;
    config_cond_t cond;
    buffer* op;
    int context_ndx;
    array* childs;
    data_config* parent;
    data_config* prev;
    data_config* next;
    buffer* string;
};

struct bitset {
    size_t* bits;
    size_t nbits;
};

HTTPD_API data_string* data_string_init(void);
HTTPD_API data_string* data_response_init(void);
HTTPD_API data_count* data_count_init(void);
HTTPD_API data_array* data_array_init(void);
HTTPD_API data_integer* data_integer_init(void);
HTTPD_API data_fastcgi* data_fastcgi_init(void);
HTTPD_API data_config* data_config_init(void);

HTTPD_API array* array_init(void);
HTTPD_API array* array_init_array(const array* src);
HTTPD_API void array_free(array* a);
HTTPD_API void array_reset(array* a);
HTTPD_API data_unset* array_get_element(const array* a, const char* key);
HTTPD_API data_unset* array_get_unused_element(array* a, data_type_t t);
HTTPD_API int array_insert_unique(array* a, data_unset* du);
// Like array_insert_unique, but a key already held with another value type
// is refused (-1, du left to the caller) instead of stopping the program.
int array_insert_unique_checked(array* a, data_unset* du);
HTTPD_API data_unset* array_replace(array* a, data_unset* du);
HTTPD_API void array_set_key_value(array* a, const char* key, size_t key_len, const char* value, size_t val_len);
HTTPD_API data_unset* array_pop(array* a);
HTTPD_API size_t array_get_max_key_length(const array* a);
HTTPD_API int array_print(const array* a, int depth);
HTTPD_API int array_print_indent(int depth);

HTTPD_API bitset* bitset_init(size_t nbits);
HTTPD_API void bitset_reset(bitset* set);
HTTPD_API void bitset_free(bitset* set);
HTTPD_API void bitset_set_bit(bitset* set, size_t ndx);
HTTPD_API void bitset_clear_bit(bitset* set, size_t ndx);
HTTPD_API int bitset_test_bit(bitset* set, size_t ndx);

// Prints a configuration block tree (kept beside the conditions).
HTTPD_API void data_config_print(const data_unset* d, int depth);
