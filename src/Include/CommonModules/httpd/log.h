// The HTTP server's own error log: one time-stamped line per message, to
// standard error, a file or a pipe; reopened on SIGHUP.
#pragma once
#include "CommonModules/httpd/base.h"

HTTPD_API int log_error_open(server* srv);
HTTPD_API int log_error_close(server* srv);
HTTPD_API int log_error_write(server* srv, const char* filename, unsigned int line, const char* fmt, ...);
HTTPD_API int log_error_write_multiline_buffer(server* srv, const char* filename, unsigned int line, buffer* multiline,
                                               const char* fmt, ...);
HTTPD_API int log_error_cycle(server* srv);
HTTPD_API int open_logfile_or_pipe(server* srv, const char* logfile);
HTTPD_API int openDevNull(int fd);

#define LOG_ERR(srv, ...) log_error_write((srv), SRV_FILE, __LINE__, __VA_ARGS__)
