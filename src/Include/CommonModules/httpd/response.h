// Responses of the HTTP server: response headers, the response head, the
// request-to-file mapping, entity tags, conditional requests and the
// per-second stat cache with its splay tree.
#pragma once
#include "CommonModules/httpd/base.h"
#include <sys/stat.h>

struct tree_node {
    tree_node* left;
    tree_node* right;
    int key;
    int size;
    void* data;
};

struct file_window;

struct stat_cache_entry {
    buffer* name;
    buffer* etag;
    struct stat st;
    time_t stat_ts;
    char is_symlink;
    buffer* content_type;
    file_window* window;  // first window of the file while its status stays
    int stat_errno;       // non-zero: the path failed with this error in second stat_ts
};

struct stat_cache {
    tree_node* files;
    buffer* dir_name;
    buffer* hash_key;
    int windows;  // windows the entries keep mapped
};

// Windows the stat cache keeps mapped at most, so that the address space
// they take stays small (at most 512 KiB each).
constexpr int STAT_CACHE_MAX_WINDOWS = 64;

// Lets the entry's kept window go (chunks still sending it keep it alive).
HTTPD_API void stat_cache_drop_window(stat_cache* sc, stat_cache_entry* sce);

HTTPD_API int response_header_insert(server* srv, connection* con, const char* key, size_t keylen, const char* value,
                                     size_t vallen);
HTTPD_API int response_header_overwrite(server* srv, connection* con, const char* key, size_t keylen,
                                        const char* value, size_t vallen);
HTTPD_API int response_header_append(server* srv, connection* con, const char* key, size_t keylen, const char* value,
                                     size_t vallen);
HTTPD_API int http_response_write_header(server* srv, connection* con);
HTTPD_API handler_t http_response_prepare(server* srv, connection* con);
HTTPD_API int http_response_redirect_to_directory(server* srv, connection* con);
HTTPD_API buffer* strftime_cache_get(server* srv, time_t mtime);
HTTPD_API handler_t http_response_handle_cachable(server* srv, connection* con, buffer* mtime);

HTTPD_API int etag_create(buffer* etag, struct stat* st, etag_flags_t flags);
HTTPD_API int etag_mutate(buffer* mut, buffer* etag);
HTTPD_API int etag_is_equal(buffer* etag, const char* matches);

HTTPD_API stat_cache* stat_cache_init(void);
HTTPD_API void stat_cache_free(stat_cache* sc);
HTTPD_API handler_t stat_cache_get_entry(server* srv, connection* con, buffer* name, stat_cache_entry** fce);
HTTPD_API int stat_cache_trigger_cleanup(server* srv);

HTTPD_API tree_node* splaytree_splay(tree_node* t, int key);
HTTPD_API tree_node* splaytree_insert(tree_node* t, int key, void* data);
HTTPD_API tree_node* splaytree_delete(tree_node* t, int key);
#define splaytree_size(x) (((x) == nullptr) ? 0 : ((x)->size))
