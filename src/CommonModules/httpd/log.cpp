// Error log of the HTTP server: the line prefix with its cached time stamp,
// the small item format, and the file, standard-error and pipe targets.
#include "CommonModules/httpd/log.h"
#include "CommonModules/httpd/fdevent.h"
#include "Platform/platform.h"
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Prefix of a line; false when the message is dropped.
bool Prefix(server* srv, const char* filename, unsigned int line)
{
    buffer* b = srv->errorlog_buf;
    if (srv->errorlog_mode == ERRORLOG_SYSLOG) {
        buffer_copy_string_len(b, CONST_STR_LEN("("));
    } else {
        if (srv->errorlog_fd == -1)
            return false;
        time_t now = srv->cur_ts ? srv->cur_ts : time(nullptr);
        if (now != srv->last_generated_debug_ts || srv->ts_debug_str->used == 0) {
            struct tm tm;
            char ts[64];
            localtime_r(&now, &tm);
            size_t n = strftime(ts, sizeof(ts), "%Y-%m-%d %H:%M:%S", &tm);
            buffer_copy_string_len(srv->ts_debug_str, ts, n);
            srv->last_generated_debug_ts = now;
        }
        buffer_copy_string_buffer(b, srv->ts_debug_str);
        buffer_append_string_len(b, CONST_STR_LEN(": ("));
    }
    buffer_append_string(b, filename);
    buffer_append_string_len(b, CONST_STR_LEN("."));
    buffer_append_long(b, (long)line);
    buffer_append_string_len(b, CONST_STR_LEN(") "));
    return true;
}

void Body(buffer* b, const char* fmt, va_list ap)
{
    for (const char* f = fmt; *f; ++f) {
        switch (*f) {
        case 's':
        case 'S': {
            const char* s = va_arg(ap, const char*);
            buffer_append_string(b, s ? s : "(null)");
            break;
        }
        case 'b':
        case 'B': {
            const buffer* s = va_arg(ap, const buffer*);
            if (s && s->used)
                buffer_append_string_len(b, s->ptr, strnlen(s->ptr, s->used - 1));
            break;
        }
        case 'd':
        case 'D':
            buffer_append_long(b, va_arg(ap, int));
            break;
        case 'o':
        case 'O':
            buffer_append_long(b, (long)va_arg(ap, off32_t));
            break;
        case 'x':
        case 'X':
            buffer_append_string_len(b, CONST_STR_LEN("0x"));
            buffer_append_long_hex(b, (unsigned long)(unsigned int)va_arg(ap, int));
            break;
        case ' ':
        case '(':
        case ')':
        case '<':
        case '>':
        case ',':
            buffer_append_string_len(b, f, 1);
            continue;
        default:
            continue;
        }
        if (*f >= 'a' && *f <= 'z')
            buffer_append_string_len(b, CONST_STR_LEN(" "));
    }
}

void Emit(server* srv, const buffer* b)
{
    if (srv->errorlog_mode == ERRORLOG_SYSLOG || srv->errorlog_fd < 0)
        return;
    ssize_t rc = write(srv->errorlog_fd, b->ptr, b->used - 1);
    (void)rc;
}

}  // namespace

int open_logfile_or_pipe(server* srv, const char* logfile)
{
    int fd;
    if (logfile[0] == '|') {
        int in = -1;
        pid_t pid = plat::SpawnPiped(logfile + 1, nullptr, "/bin/sh", &in, nullptr, nullptr);
        if (pid < 0) {
            LOG_ERR(srv, "sss", "spawning log process failed: ", strerror(errno), logfile + 1);
            return -1;
        }
        fd = in;
    } else {
        fd = plat::Open(logfile, O_APPEND | O_WRONLY | O_CREAT | O_LARGEFILE, 0644);
        if (fd == -1) {
            LOG_ERR(srv, "SSSS", "opening errorlog '", logfile, "' failed: ", strerror(errno));
            return -1;
        }
    }
    fd_close_on_exec(fd);
    return fd;
}

int log_error_open(server* srv)
{
    srv->errorlog_mode = ERRORLOG_FD;
    srv->errorlog_fd = STDERR_FILENO;
    if (srv->srvconf.errorlog_use_syslog) {
        srv->errorlog_mode = ERRORLOG_SYSLOG;
    } else if (!buffer_is_empty(srv->srvconf.errorlog_file)) {
        const char* name = srv->srvconf.errorlog_file->ptr;
        int fd = open_logfile_or_pipe(srv, name);
        if (fd == -1)
            return -1;
        srv->errorlog_fd = fd;
        srv->errorlog_mode = name[0] == '|' ? ERRORLOG_PIPE : ERRORLOG_FILE;
    }
    LOG_ERR(srv, "s", "server started");
    // The server runs inside the card's program: later messages without a
    // log file are dropped, but the program's standard error stays as it is.
    if (srv->errorlog_mode == ERRORLOG_FD && !srv->srvconf.dont_daemonize)
        srv->errorlog_fd = -1;
    if (!buffer_is_empty(srv->srvconf.breakagelog_file)) {
        // Opened so that a bad name is reported; it does not take over the
        // program's standard error (sanitizer and assertion messages stay visible).
        int fd = open_logfile_or_pipe(srv, srv->srvconf.breakagelog_file->ptr);
        if (fd == -1)
            return -1;
        close(fd);
    }
    return 0;
}

int log_error_cycle(server* srv)
{
    if (srv->errorlog_mode != ERRORLOG_FILE || buffer_is_empty(srv->srvconf.errorlog_file))
        return 0;
    const char* name = srv->srvconf.errorlog_file->ptr;
    int fd = plat::Open(name, O_APPEND | O_WRONLY | O_CREAT | O_LARGEFILE, 0644);
    if (fd == -1) {
        LOG_ERR(srv, "SSSSS", "cycling errorlog '", name, "' failed: ", strerror(errno), ", falling back to syslog()");
        if (srv->errorlog_fd >= 0 && srv->errorlog_fd != STDERR_FILENO)
            close(srv->errorlog_fd);
        srv->errorlog_fd = -1;
        return 0;
    }
    fd_close_on_exec(fd);
    if (srv->errorlog_fd >= 0 && srv->errorlog_fd != STDERR_FILENO)
        close(srv->errorlog_fd);
    srv->errorlog_fd = fd;
    return 0;
}

int log_error_close(server* srv)
{
    if (srv->errorlog_mode == ERRORLOG_SYSLOG)
        return 0;
    if (srv->errorlog_fd != -1 && srv->errorlog_fd != STDERR_FILENO)
        close(srv->errorlog_fd);
    srv->errorlog_fd = -1;
    return 0;
}

int log_error_write(server* srv, const char* filename, unsigned int line, const char* fmt, ...)
{
    if (!Prefix(srv, filename, line))
        return 0;
    va_list ap;
    va_start(ap, fmt);
    Body(srv->errorlog_buf, fmt, ap);
    va_end(ap);
    buffer_append_string_len(srv->errorlog_buf, CONST_STR_LEN("\n"));
    Emit(srv, srv->errorlog_buf);
    return 0;
}

int log_error_write_multiline_buffer(server* srv, const char* filename, unsigned int line, buffer* multiline,
                                     const char* fmt, ...)
{
    if (multiline == nullptr || multiline->used < 2)
        return 0;
    if (!Prefix(srv, filename, line))
        return 0;
    va_list ap;
    va_start(ap, fmt);
    Body(srv->errorlog_buf, fmt, ap);
    va_end(ap);
    buffer* head = buffer_init_buffer(srv->errorlog_buf);
    const char* p = multiline->ptr;
    const char* end = multiline->ptr + multiline->used - 1;
    while (p < end) {
        const char* q = p;
        while (q < end && *q != '\n' && *q != '\r' && *q != '\0')
            q++;
        if (q > p) {
            buffer_copy_string_buffer(srv->errorlog_buf, head);
            buffer_append_string_len(srv->errorlog_buf, p, (size_t)(q - p));
            buffer_append_string_len(srv->errorlog_buf, CONST_STR_LEN("\n"));
            Emit(srv, srv->errorlog_buf);
        }
        p = q + 1;
    }
    buffer_free(head);
    return 0;
}

int openDevNull(int fd)
{
    int tmpfd = open("/dev/null", O_RDWR);
    if (tmpfd == -1)
        return -1;
    if (tmpfd != fd) {
        dup2(tmpfd, fd);
        close(tmpfd);
    }
    return 0;
}
