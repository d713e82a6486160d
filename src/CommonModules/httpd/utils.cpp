// Child processes on pipes (started through the platform's command runner),
// file mappings, address text, status counters and CRC-32.
#include "CommonModules/httpd/utils.h"
#include "Platform/platform.h"
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <array>
#include <string>

namespace {

const char* Shell()
{
    const char* sh = getenv("SHELL");
    return sh ? sh : "/bin/sh";
}

pid_t Start(proc_handler_t* proc, const char* command, const char* cwd, bool wantIn, bool wantErr)
{
    proc->in = {-1, -1, STDIN_FILENO};
    proc->out = {-1, -1, STDOUT_FILENO};
    proc->err = {-1, -1, STDERR_FILENO};
    pid_t pid = plat::SpawnPiped(command, cwd, Shell(), wantIn ? &proc->in.parent : nullptr, &proc->out.parent,
                                 wantErr ? &proc->err.parent : nullptr);
    proc->child = pid;
    return pid;
}

void CloseEnd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

}  // namespace

int proc_open(proc_handler_t* proc, const char* command)
{
    if (Start(proc, command, nullptr, true, true) < 0) {
        fprintf(stderr, "failed to forking\n");
        return -1;
    }
    return 0;
}

int pipe_close_parent(pipe_t* p)
{
    if (p->parent >= 0)
        close(p->parent);
    p->parent = -1;
    if (p->child >= 0 && p->child != p->fd) {
        if (dup2(p->child, p->fd) == -1)
            perror("pipe_child dup2");
        close(p->child);
    }
    p->child = p->fd;
    return 0;
}

int proc_close(proc_handler_t* proc)
{
    CloseEnd(proc->in.parent);
    CloseEnd(proc->out.parent);
    CloseEnd(proc->err.parent);
    int status;
    pid_t rc;
    while ((rc = waitpid(proc->child, &status, 0)) == -1 && errno == EINTR) {
    }
    if (rc == -1)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : status;
}

int proc_open_buffer_in(const char* command, const char* cwd, buffer* in, buffer* out, buffer* err, int* status)
{
    proc_handler_t proc;
    bool wantIn = in && in->used > 1;
    // Without an error buffer the child's standard error is the program's own.
    if (Start(&proc, command, cwd, wantIn, err != nullptr) < 0)
        return -1;
    int rc = 0;
    const char* inPtr = wantIn ? in->ptr : nullptr;
    size_t inLeft = wantIn ? in->used - 1 : 0;
    if (out)
        buffer_prepare_copy(out, 512);
    if (err)
        buffer_prepare_copy(err, 512);
    // Input and both outputs are served together so that a chatty child
    // never blocks on a full pipe while we wait on another.
    while (proc.in.parent >= 0 || proc.out.parent >= 0 || proc.err.parent >= 0) {
        if (proc.in.parent >= 0 && inLeft == 0)
            CloseEnd(proc.in.parent);
        struct pollfd pfd[3] = {{proc.in.parent, POLLOUT, 0}, {proc.out.parent, POLLIN, 0}, {proc.err.parent, POLLIN, 0}};
        if (poll(pfd, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (pfd[0].revents) {
            ssize_t n = write(proc.in.parent, inPtr, inLeft);
            if (n < 0) {
                perror("error writing pipe");
                rc = -1;
                inLeft = 0;
            } else {
                inPtr += n;
                inLeft -= (size_t)n;
            }
        }
        for (int i = 1; i < 3; ++i) {
            if (!pfd[i].revents)
                continue;
            char buf[511];
            int& fd = i == 1 ? proc.out.parent : proc.err.parent;
            ssize_t n = read(fd, buf, sizeof(buf));
            if (n <= 0) {
                CloseEnd(fd);
                continue;
            }
            buffer* dst = i == 1 ? out : err;
            if (dst)
                buffer_append_memory(dst, buf, (size_t)n);
        }
    }
    // Collected bytes are followed by a NUL that used does not count.
    for (buffer* b : {out, err}) {
        if (b) {
            buffer_prepare_append(b, 1);
            b->ptr[b->used] = '\0';
        }
    }
    int exitCode = proc_close(&proc);
    if (status)
        *status = exitCode;
    return rc;
}

int proc_open_buffer(const char* command, buffer* in, buffer* out, buffer* err)
{
    return proc_open_buffer_in(command, nullptr, in, out, err);
}

int stream_open(stream* f, buffer* fn)
{
    f->start = nullptr;
    f->size = 0;
    if (fn == nullptr || fn->used == 0) {
        errno = EINVAL;
        return -1;
    }
    int fd = plat::Open(fn->ptr, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return -1;
    struct stat st;
    if (fstat(fd, &st) == -1) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    if (st.st_size <= 0 || st.st_size > INT32_MAX) {
        close(fd);
        errno = EINVAL;  // an empty file cannot be mapped
        return -1;
    }
    void* p = mmap(nullptr, (size_t)st.st_size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED)
        return -1;
    f->start = (char*)p;
    f->size = (off32_t)st.st_size;
    return 0;
}

int stream_close(stream* f)
{
    if (f->start)
        munmap(f->start, (size_t)f->size);
    f->start = nullptr;
    return 0;
}

const char* inet_ntop_cache_get_ip(server*, sock_addr* addr)
{
    return inet_ntoa(addr->ipv4.sin_addr);
}

data_integer* status_counter_get_counter(server* srv, const char* s, size_t len)
{
    std::string key(s, len);
    data_integer* di = (data_integer*)array_get_element(srv->status, key.c_str());
    if (di && di->type == TYPE_INTEGER)
        return di;
    di = (data_integer*)array_get_unused_element(srv->status, TYPE_INTEGER);
    if (di == nullptr)
        di = data_integer_init();
    buffer_copy_string_len(di->key, s, len);
    di->value = 0;
    if (array_insert_unique_checked(srv->status, (data_unset*)di) != 0) {
        di->free((data_unset*)di);
        return nullptr;
    }
    return di;
}

int status_counter_inc(server* srv, const char* s, size_t len)
{
    if (data_integer* di = status_counter_get_counter(srv, s, len))
        di->value++;
    return 0;
}

int status_counter_dec(server* srv, const char* s, size_t len)
{
    data_integer* di = status_counter_get_counter(srv, s, len);
    if (di && di->value > 0)
        di->value--;
    return 0;
}

int status_counter_set(server* srv, const char* s, size_t len, int val)
{
    if (data_integer* di = status_counter_get_counter(srv, s, len))
        di->value = val;
    return 0;
}

uint32_t generate_crc32c(const char* string, size_t length)
{
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    if (length == 0)
        return 0;
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i)
        crc = table[(crc ^ (unsigned char)string[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
