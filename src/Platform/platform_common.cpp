// Parts of the platform layer that are the same on the card and in the
// simulation.
#include "Platform/platform.h"
#ifndef MODCARD_CARD
#include "Platform/board_state.h"
#endif
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

// The card's 32-bit processor needs the 64-bit forms: clock values past
// 2038 and register windows mapped above 2 GiB.
static_assert(sizeof(time_t) == 8 && sizeof(off_t) == 8, "build with _TIME_BITS=64 and _FILE_OFFSET_BITS=64");

namespace plat {

namespace {
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() { if (fd >= 0) ::close(fd); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

bool WriteAll(int fd, const U8* p, size_t len)
{
    while (len > 0) {
        ssize_t n = ::write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        len -= (size_t)n;
    }
    return true;
}
}  // namespace

bool MakeDirs(std::string_view sysPath)
{
    std::string real = Path(sysPath);
    for (size_t pos = 1; pos <= real.size(); pos++) {
        if (pos == real.size() || real[pos] == '/') {
            std::string part = real.substr(0, pos);
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                return false;
        }
    }
    return true;
}

int Open(std::string_view sysPath, int flags, mode_t mode)
{
#ifndef MODCARD_CARD
    simboard::FlushPinFile(sysPath);  // a pin file still held in memory
#endif
    return ::open(Path(sysPath).c_str(), flags, mode);
}

FILE* Fopen(std::string_view sysPath, const char* mode)
{
#ifndef MODCARD_CARD
    simboard::FlushPinFile(sysPath);
#endif
    return ::fopen(Path(sysPath).c_str(), mode);
}

bool Exists(std::string_view sysPath)
{
#ifndef MODCARD_CARD
    if (simboard::PinLineKnown(sysPath, false))
        return true;
    const bool bExists = ::access(Path(sysPath).c_str(), F_OK) == 0;
    simboard::PinLineKnown(sysPath, bExists);
    return bExists;
#else
    return ::access(Path(sysPath).c_str(), F_OK) == 0;
#endif
}

bool WriteFileAtomic(std::string_view sysPath, const void* data, size_t len, bool bSync)
{
    std::string real = Path(sysPath);
    size_t slash = real.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : real.substr(0, slash));
    // One temporary name per call: two threads replacing the same file must
    // not write into one temporary file and rename each other's half.
    static std::atomic<unsigned> s_seq{0};
    std::string tmp = real + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(s_seq++);
    {
        Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (fd.fd < 0)
            return false;
        if ((len > 0 && !WriteAll(fd.fd, static_cast<const U8*>(data), len)) || (bSync && ::fsync(fd.fd) != 0)) {
            ::unlink(tmp.c_str());
            return false;
        }
    }
    if (::rename(tmp.c_str(), real.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    if (bSync) {
        Fd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dfd.fd >= 0)
            ::fsync(dfd.fd);
    }
    return true;
}

bool ReadFile(std::string_view sysPath, std::string& out, size_t maxLen)
{
    out.clear();
    Fd fd(Open(sysPath, O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0)
        return false;
    char buf[65536];
    while (out.size() < maxLen) {
        size_t want = std::min(sizeof(buf), maxLen - out.size());
        ssize_t n = ::read(fd.fd, buf, want);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        out.append(buf, (size_t)n);
    }
    return true;
}

void SetSocketTimeouts(int fd, int recvMs, int sendMs)
{
    struct timeval tv;
    tv.tv_sec = recvMs / 1000;
    tv.tv_usec = (recvMs % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    tv.tv_sec = sendMs / 1000;
    tv.tv_usec = (sendMs % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

int MkTemp(std::string& sysPathTemplate)
{
    std::string real = Path(sysPathTemplate);
    if (real.size() < 6 || sysPathTemplate.size() < 6) {
        errno = EINVAL;
        return -1;
    }
    int fd = mkstemp(real.data());
    if (fd >= 0)
        sysPathTemplate.replace(sysPathTemplate.size() - 6, 6, real, real.size() - 6, 6);
    return fd;
}

bool SpawnLine(std::string_view cmd, const char* cwd, std::string& line);

pid_t SpawnPiped(std::string_view cmd, const char* cwd, const char* shell, int* inFd, int* outFd, int* errFd)
{
    std::string line;
    if (!SpawnLine(cmd, cwd, line)) {
        errno = EPERM;
        return -1;
    }
    int* ends[3] = {inFd, outFd, errFd};
    int fds[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
    auto closeAll = [&] {
        for (auto& p : fds)
            for (int fd : p)
                if (fd >= 0)
                    ::close(fd);
    };
    for (int i = 0; i < 3; ++i) {
        if (ends[i] && pipe2(fds[i], O_CLOEXEC) != 0) {
            int e = errno;
            closeAll();
            errno = e;
            return -1;
        }
    }
    pid_t pid = fork();
    if (pid < 0) {
        int e = errno;
        closeAll();
        errno = e;
        return -1;
    }
    if (pid == 0) {
        // stdin reads the pipe's read end; stdout and stderr write their write end.
        for (int i = 0; i < 3; ++i)
            if (ends[i])
                dup2(fds[i][i == 0 ? 0 : 1], i);
        execl(shell, shell, "-c", line.c_str(), (char*)nullptr);
        fprintf(stderr, "failed to execute shell: %s -c %s: %s\n", shell, line.c_str(), strerror(errno));
        _exit(127);
    }
    for (int i = 0; i < 3; ++i) {
        if (!ends[i])
            continue;
        *ends[i] = fds[i][i == 0 ? 1 : 0];
        ::close(fds[i][i == 0 ? 0 : 1]);
    }
    return pid;
}

int RunArgv(const std::vector<std::string>& argv, const char* cwd)
{
    if (argv.empty())
        return -1;
    // Every word single-quoted: the shell sees each as one literal word.
    std::string cmd;
    for (const auto& w : argv) {
        cmd += cmd.empty() ? "'" : " '";
        for (char c : w)
            cmd += c == '\'' ? std::string("'\\''") : std::string(1, c);
        cmd += "'";
    }
    return System(cmd, cwd);
}

std::string RunCapture(std::string_view cmd, const char* cwd)
{
    std::string out;
    FILE* f = Popen(cmd, cwd);
    if (f == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        out.append(buf, n);
    Pclose(f);
    return out;
}

}  // namespace plat
