// Chunk queues: the byte streams of a connection as memory blocks and file
// ranges, upload temporary files, and the chunked transfer framing.
#pragma once
#include "CommonModules/httpd/base.h"

// A mapped window of a file that the stat cache keeps for the next
// requests of the unchanged file and that chunks borrow; the last of them
// to let it go unmaps it.
struct file_window {
    char* start;
    size_t length;
    int refs;
};

struct chunk {
    enum { UNUSED_CHUNK, MEM_CHUNK, FILE_CHUNK } type;
    buffer* mem;
    struct {
        buffer* name;
        off32_t start;
        off32_t length;
        int fd;
        struct {
            char* start;  // MAP_FAILED while nothing is mapped
            size_t length;
            off32_t offset;
            file_window* shared;  // set when the window is borrowed, not owned
        } mmap;
        int is_temp;
    } file;
    off32_t offset;
    chunk* next;
};

struct chunkqueue {
    chunk* first;
    chunk* last;
    chunk* unused;
    size_t unused_chunks;
    array* tempdirs;
    off32_t bytes_in;
    off32_t bytes_out;
};

// Path of the newest upload temporary file (empty when none was created).
extern "C" char g_arcUpgradeFiledir[512];

HTTPD_API chunkqueue* chunkqueue_init(void);
HTTPD_API int chunkqueue_set_tempdirs(chunkqueue* c, array* tempdirs);
HTTPD_API int chunkqueue_append_file(chunkqueue* c, buffer* fn, off32_t offset, off32_t len);
HTTPD_API int chunkqueue_append_mem(chunkqueue* c, const char* mem, size_t len);
HTTPD_API int chunkqueue_append_buffer(chunkqueue* c, buffer* mem);
HTTPD_API int chunkqueue_append_buffer_weak(chunkqueue* c, buffer* mem);
HTTPD_API int chunkqueue_prepend_buffer(chunkqueue* c, buffer* mem);
HTTPD_API buffer* chunkqueue_get_append_buffer(chunkqueue* c);
HTTPD_API buffer* chunkqueue_get_prepend_buffer(chunkqueue* c);
HTTPD_API chunk* chunkqueue_get_append_tempfile(chunkqueue* cq);
HTTPD_API int chunkqueue_remove_finished_chunks(chunkqueue* cq);
HTTPD_API off32_t chunkqueue_length(chunkqueue* c);
HTTPD_API off32_t chunkqueue_written(chunkqueue* c);
HTTPD_API void chunkqueue_free(chunkqueue* c);
HTTPD_API void chunkqueue_reset(chunkqueue* c);
HTTPD_API int chunkqueue_is_empty(chunkqueue* c);

// Drops one reference to a shared window (unmapping it with the last one).
HTTPD_API void file_window_release(file_window* w);
// Lets a file chunk's current window go, owned or borrowed.
HTTPD_API void chunk_release_mmap(chunk* c);

HTTPD_API int http_chunk_append_mem(server* srv, connection* con, const char* mem, size_t len);
HTTPD_API int http_chunk_append_file(server* srv, connection* con, buffer* fn, off32_t offset, off32_t len);
HTTPD_API int http_chunk_append_buffer(server* srv, connection* con, buffer* mem);
HTTPD_API off32_t http_chunkqueue_length(server* srv, connection* con);
