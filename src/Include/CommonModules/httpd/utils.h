// Small services of the HTTP server: shell commands on pipes, read-only file
// mappings, client address text, named status counters and CRC-32.
#pragma once
#include "CommonModules/httpd/base.h"
#include <sys/types.h>

struct pipe_t {
    int parent;
    int child;
    int fd;
};

struct proc_handler_t {
    pipe_t in;
    pipe_t out;
    pipe_t err;
    pid_t child;
};

struct stream {
    char* start;
    off32_t size;
};

HTTPD_API int proc_open(proc_handler_t* proc, const char* command);
HTTPD_API int proc_close(proc_handler_t* proc);
HTTPD_API int pipe_close_parent(pipe_t* p);
HTTPD_API int proc_open_buffer(const char* command, buffer* in, buffer* out, buffer* err);
HTTPD_API int stream_open(stream* f, buffer* fn);
HTTPD_API int stream_close(stream* f);
HTTPD_API const char* inet_ntop_cache_get_ip(server* srv, sock_addr* addr);
HTTPD_API data_integer* status_counter_get_counter(server* srv, const char* s, size_t len);
HTTPD_API int status_counter_inc(server* srv, const char* s, size_t len);
HTTPD_API int status_counter_dec(server* srv, const char* s, size_t len);
HTTPD_API int status_counter_set(server* srv, const char* s, size_t len, int val);
HTTPD_API uint32_t generate_crc32c(const char* string, size_t length);

// proc_open_buffer run in a given folder (a system path; no process-wide chdir);
// the command's exit code goes to status when one is given.
int proc_open_buffer_in(const char* command, const char* cwd, buffer* in, buffer* out, buffer* err,
                        int* status = nullptr);
