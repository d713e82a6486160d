// The simulated board: everything the firmware would do to the machine stays
// inside the board root.
#ifndef MODCARD_CARD
#include "Platform/platform.h"
#include "Platform/board_state.h"
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace plat {

bool Simulated() { return true; }

std::string Root()
{
    const char* r = getenv("MODCARD_ROOT");
    if (r == nullptr || r[0] == '\0') {
        // Never fall back to the machine's own folders.
        fprintf(stderr, "MODCARD_ROOT is not set: the simulated board needs a board root\n");
        _exit(2);
    }
    std::string root(r);
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

std::string Path(std::string_view sysPath)
{
    if (sysPath.empty() || sysPath[0] != '/')
        return std::string(sysPath);
    return Root() + std::string(sysPath);
}

// ---- Register windows ----------------------------------------------------

volatile U32* MapPhys(U64 physAddr, size_t len)
{
    U8* s = simboard::State();
    if (s == nullptr)
        return nullptr;
    struct Win { U64 phys; U64 len; size_t off; };
    static const Win wins[] = {
        {simboard::kFpgaPhys, simboard::kFpgaLen, simboard::kFpgaOffset},
        {simboard::kGpioPhys, simboard::kBlockLen, simboard::kGpioOffset},
        {simboard::kEthPhys, simboard::kBlockLen, simboard::kEthOffset},
        {simboard::kSpiPhys, simboard::kBlockLen, simboard::kSpiOffset},
    };
    for (const Win& w : wins) {
        if (physAddr >= w.phys && physAddr + len <= w.phys + w.len)
            return reinterpret_cast<volatile U32*>(s + w.off + (physAddr - w.phys));
    }
    errno = EINVAL;
    return nullptr;
}

void Write32(volatile U32* addr, U32 value)
{
    U32 old = *addr;
    *addr = value;
    U8* s = simboard::State();
    if (s == nullptr)
        return;
    const U8* a = reinterpret_cast<const U8*>(const_cast<U32*>(addr));
    if (a >= s + simboard::kFpgaOffset && a < s + simboard::kFpgaOffset + simboard::kFpgaLen) {
        size_t off = (size_t)(a - (s + simboard::kFpgaOffset));
        if (off % 16 == 0)
            simboard::OnFpgaWrite((U32)(off / 16), old, value);
        return;
    }
    struct Blk { size_t off; U64 phys; };
    static const Blk blks[] = {{simboard::kGpioOffset, simboard::kGpioPhys},
                               {simboard::kEthOffset, simboard::kEthPhys},
                               {simboard::kSpiOffset, simboard::kSpiPhys}};
    for (const Blk& b : blks) {
        if (a >= s + b.off && a < s + b.off + simboard::kBlockLen) {
            simboard::OnBlockWrite(b.phys, (U32)(a - (s + b.off)), old, value);
            return;
        }
    }
}

ssize_t WriteAttr(std::string_view sysPath, const void* data, size_t len)
{
    // Overwritten in place rather than truncated first: truncate-and-rewrite
    // makes the file system flush on close, and pins change thousands of
    // times a second.
    int fd = ::open(Path(sysPath).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = ::pwrite(fd, data, len, 0);
    if (n >= 0 && ::ftruncate(fd, n) != 0)
        n = 0;
    ::close(fd);
    if (n < 0)
        return 0;
    simboard::OnSysfsWrite(sysPath, std::string_view(static_cast<const char*>(data), (size_t)n));
    return n;
}

int I2cTransfer(int fd, struct ::i2c_msg* msgs, U32 count)
{
    // The bus is the "/dev/i2c-N" of the board root that fd was opened on.
    char link[64];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    char target[4096];
    ssize_t n = ::readlink(link, target, sizeof(target) - 1);
    if (n < 0)
        return -1;  // errno EBADF for a descriptor that is not open
    target[n] = '\0';
    std::string prefix = Root() + "/dev/i2c-";
    std::string t(target);
    unsigned bus = 0;
    char extra = 0;
    if (t.rfind(prefix, 0) != 0 || sscanf(t.c_str() + prefix.size(), "%u%c", &bus, &extra) != 1) {
        errno = ENOTTY;
        return -1;
    }
    return simboard::OnI2cTransfer(bus, msgs, count);
}

void HwDelayUs(U64 us)
{
    static const bool realtime = [] {
        const char* v = getenv("MODCARD_REALTIME");
        return v != nullptr && v[0] == '1';
    }();
    if (realtime)
        usleep((useconds_t)us);
}

// ---- Trace ---------------------------------------------------------------

void Trace(const char* name, const char* fmt, ...)
{
    char line[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    std::string dir = Root() + "/trace";
    ::mkdir(dir.c_str(), 0755);
    std::string file = dir + "/" + name;
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmv;
    localtime_r(&ts.tv_sec, &tmv);
    char stamp[64];
    size_t n = strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tmv);
    snprintf(stamp + n, sizeof(stamp) - n, ".%03ld ", ts.tv_nsec / 1000000);
    std::string out = std::string(stamp) + line;
    if (out.empty() || out.back() != '\n')
        out += '\n';
    ssize_t w = ::write(fd, out.data(), out.size());
    (void)w;
    ::close(fd);
}

// ---- Shell ---------------------------------------------------------------

namespace {

std::mutex g_netMutex;
std::map<std::string, U32> g_ownAddr;  // interface -> address (host order)

struct Tok {
    std::string text;
    bool op = false;      // && || ; | & > >> < 2> 2>&1
    bool quoted = false;
};

bool Lex(std::string_view s, std::vector<Tok>& out)
{
    size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (c == ' ' || c == '\t' || c == '\n') { i++; continue; }
        if (c == '$' || c == '`' || c == '(' || c == ')' || c == '\\')
            return false;  // no expansions or sub-shells: nothing we cannot read
        auto two = s.substr(i, 2);
        if (two == "&&" || two == "||" || two == ">>") { out.push_back({std::string(two), true, false}); i += 2; continue; }
        if (s.substr(i, 4) == "2>&1") { out.push_back({"2>&1", true, false}); i += 4; continue; }
        if (two == "2>" && (i == 0 || s[i - 1] == ' ')) {
            out.push_back({"2>", true, false}); i += 2; continue;
        }
        if (c == ';' || c == '|' || c == '&' || c == '>' || c == '<') { out.push_back({std::string(1, c), true, false}); i++; continue; }
        Tok t;
        while (i < s.size()) {
            c = s[i];
            if (c == ' ' || c == '\t' || c == '\n' || c == ';' || c == '|' || c == '&' || c == '>' || c == '<')
                break;
            if (c == '$' || c == '`' || c == '(' || c == ')' || c == '\\')
                return false;
            if (c == '\'' || c == '"') {
                size_t end = s.find(c, i + 1);
                if (end == std::string_view::npos)
                    return false;
                t.text.append(s.substr(i + 1, end - i - 1));
                t.quoted = true;
                i = end + 1;
                continue;
            }
            t.text += c;
            i++;
        }
        out.push_back(t);
    }
    return true;
}

enum class Kind { Run, Record, Ftp, Refuse };

Kind Classify(const std::string& prog, const std::vector<std::string>& args)
{
    static const std::set<std::string> run = {
        "tar", "cp", "mv", "rm", "mkdir", "ln", "touch", "find", "xargs", "grep", "sed", "cat",
        "cd", "echo", "true", "sync", "ls", "chmod", "head", "tail", "wc", "gzip", "gunzip", "md5sum", "sleep"};
    static const std::set<std::string> record = {
        "ifconfig", "route", "mount", "umount", "ubidetach", "ubiattach", "kill", "killall", "pidof",
        "syslogd", "reboot", "hwclock", "netstat", "ps", "iperf3", "udhcpc"};
    if (prog == "date") {
        for (const auto& a : args)
            if (a == "-s")
                return Kind::Record;
        return Kind::Run;
    }
    if (prog.rfind("/etc/init.d/", 0) == 0)
        return Kind::Record;
    if (prog == "ftpget" || prog == "ftpput")
        return Kind::Ftp;
    if (run.count(prog))
        return Kind::Run;
    if (record.count(prog))
        return Kind::Record;
    return Kind::Refuse;
}

bool SafeWord(const std::string& w)
{
    for (char c : w)
        if (!(isalnum((unsigned char)c) || strchr("_./-=:*?,+%@", c)))
            return false;
    return !w.empty();
}

std::string Quote(const std::string& w, bool keepGlob)
{
    if (keepGlob && SafeWord(w))
        return w;
    std::string q = "'";
    for (char c : w) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

bool HasDotDot(const std::string& w)
{
    return w == ".." || w.rfind("../", 0) == 0 || w.find("/../") != std::string::npos ||
           (w.size() >= 3 && w.compare(w.size() - 3, 3, "/..") == 0);
}

// Moves an absolute path into the board root; refuses escapes.
bool MapWord(std::string& w)
{
    if (HasDotDot(w))
        return false;
    if (!w.empty() && w[0] == '/') {
        w = Root() + w;
        return true;
    }
    size_t eq = w.find("=/");  // --directory=/x, if=/x
    if (eq != std::string::npos)
        w = w.substr(0, eq + 1) + Root() + w.substr(eq + 1);
    return true;
}

void NoteIfconfig(const std::vector<std::string>& args)
{
    // "ifconfig <if> <addr> ...": remember the interface's own address.
    if (args.size() < 2)
        return;
    struct in_addr a;
    if (inet_pton(AF_INET, args[1].c_str(), &a) == 1) {
        std::lock_guard<std::mutex> lk(g_netMutex);
        g_ownAddr[args[0]] = ntohl(a.s_addr);
    }
}

struct Prepared {
    bool refused = false;
    bool reboot = false;
    bool anyRun = false;
    std::string line;  // what the shell really runs
    std::vector<std::string> sysfsWrites;  // "/sys/..." files the command writes into
};

Prepared Prepare(std::string_view cmd, const char* cwd)
{
    Prepared p;
    std::vector<Tok> toks;
    if (!Lex(cmd, toks)) {
        p.refused = true;
        return p;
    }
    std::string out;
    size_t i = 0;
    while (i < toks.size()) {
        if (toks[i].op) {
            out += " " + toks[i].text;
            if (toks[i].text == ">" || toks[i].text == ">>" || toks[i].text == "<" || toks[i].text == "2>") {
                if (i + 1 >= toks.size() || toks[i + 1].op) { p.refused = true; return p; }
                std::string w = toks[i + 1].text;
                if ((toks[i].text == ">" || toks[i].text == ">>") && w.rfind("/sys/", 0) == 0)
                    p.sysfsWrites.push_back(w);
                if (!MapWord(w)) { p.refused = true; return p; }
                out += " " + Quote(w, false);
                i += 2;
                continue;
            }
            i++;
            continue;
        }
        // One simple command: words up to the next separator or redirection.
        std::vector<std::string> words;
        std::vector<bool> quoted;
        size_t j = i;
        while (j < toks.size() && !toks[j].op) {
            words.push_back(toks[j].text);
            quoted.push_back(toks[j].quoted);
            j++;
        }
        std::vector<std::string> args(words.begin() + 1, words.end());
        Kind k = Classify(words[0], args);
        if (k == Kind::Run && words[0] == "xargs") {
            // xargs runs the command it is given: that one must be allowed too.
            size_t a = 1;
            while (a < words.size() && words[a][0] == '-')
                a++;
            if (a < words.size() && Classify(words[a], {}) != Kind::Run)
                k = Kind::Refuse;
        }
        if (k == Kind::Run && words[0] == "find") {
            for (const auto& w : words)
                if (w == "-exec" || w == "-execdir" || w == "-ok" || w == "-delete")
                    k = Kind::Refuse;
        }
        if (k == Kind::Refuse) {
            p.refused = true;
            return p;
        }
        if (k == Kind::Record) {
            if (words[0] == "reboot")
                p.reboot = true;
            if (words[0] == "ifconfig")
                NoteIfconfig(args);
            out += " true";
            i = j;
            continue;
        }
        if (k == Kind::Ftp) {
            // The back board's FTP server is a folder of the board root.
            std::vector<std::string> pos;
            for (size_t a = 1; a < words.size(); a++) {
                if (words[a][0] == '-') {
                    if ((words[a] == "-u" || words[a] == "-p" || words[a] == "-P") && a + 1 < words.size())
                        a++;
                    continue;
                }
                pos.push_back(words[a]);
            }
            if (pos.size() < 2 || pos.size() > 3) { p.refused = true; return p; }
            std::string remote, local;
            if (words[0] == "ftpget") {
                remote = pos.back();
                local = pos.size() == 3 ? pos[1] : remote.substr(remote.rfind('/') + 1);
            } else {
                local = pos.back();
                remote = pos.size() == 3 ? pos[1] : local.substr(local.rfind('/') + 1);
            }
            if (HasDotDot(remote) || !MapWord(local)) { p.refused = true; return p; }
            while (!remote.empty() && remote[0] == '/')
                remote.erase(0, 1);
            std::string ftp = Root() + "/backboard_ftp/" + remote;
            if (words[0] == "ftpget")
                out += " cp " + Quote(ftp, false) + " " + Quote(local, false);
            else
                out += " cp " + Quote(local, false) + " " + Quote(ftp, false);
            p.anyRun = true;
            i = j;
            continue;
        }
        // A file tool: sed's and grep's pattern stays as it is.
        bool patternSeen = !(words[0] == "sed" || words[0] == "grep");
        out += " " + words[0];
        for (size_t a = 1; a < words.size(); a++) {
            std::string w = words[a];
            if (!patternSeen && (w == "-e" || w == "-f") && a + 1 < words.size()) {
                out += " " + w + " " + Quote(words[a + 1], false);
                a++;
                patternSeen = true;
                continue;
            }
            if (!patternSeen && w[0] != '-') {
                out += " " + Quote(w, false);
                patternSeen = true;
                continue;
            }
            if (!MapWord(w)) { p.refused = true; return p; }
            out += " " + Quote(w, !quoted[a]);
        }
        p.anyRun = true;
        i = j;
    }
    std::string dir = cwd ? Path(cwd) : Root();
    if (HasDotDot(dir)) {
        p.refused = true;
        return p;
    }
    p.line = "cd " + Quote(dir, false) + " &&" + out;
    return p;
}

std::mutex g_popenMutex;
std::set<FILE*> g_realPopen;

}  // namespace

int System(std::string_view cmd, const char* cwd)
{
    Prepared p = Prepare(cmd, cwd);
    if (p.refused) {
        Trace("shell.log", "REFUSED %.*s", (int)cmd.size(), cmd.data());
        return -1;
    }
    Trace("shell.log", "%s %.*s", p.anyRun ? "RUN" : "RECORD", (int)cmd.size(), cmd.data());
    if (p.reboot)
        Reboot();
    if (!p.anyRun)
        return 0;
    int rc = ::system(p.line.c_str());
    // Writes into sysfs reach the board's models, as they reach the kernel on the card.
    for (const std::string& f : p.sysfsWrites) {
        std::string text;
        if (ReadFile(f, text, 4096))
            simboard::OnSysfsWrite(f, text);
    }
    return rc;
}

FILE* Popen(std::string_view cmd, const char* cwd)
{
    Prepared p = Prepare(cmd, cwd);
    if (p.refused || !p.anyRun || p.reboot) {
        Trace("shell.log", "%s %.*s", p.refused ? "REFUSED" : "RECORD", (int)cmd.size(), cmd.data());
        if (p.reboot)
            Reboot();
        return fmemopen(nullptr, 1, "r");
    }
    Trace("shell.log", "RUN %.*s", (int)cmd.size(), cmd.data());
    FILE* f = ::popen(p.line.c_str(), "r");
    if (f) {
        std::lock_guard<std::mutex> lk(g_popenMutex);
        g_realPopen.insert(f);
    }
    return f;
}

int Pclose(FILE* f)
{
    if (f == nullptr)
        return -1;
    {
        std::lock_guard<std::mutex> lk(g_popenMutex);
        auto it = g_realPopen.find(f);
        if (it != g_realPopen.end()) {
            g_realPopen.erase(it);
            return ::pclose(f);
        }
    }
    fclose(f);
    return 0;
}

void Reboot()
{
    Trace("shell.log", "RECORD reboot (process ends with status %d)", kRebootExitStatus);
    fflush(nullptr);
    _exit(kRebootExitStatus);
}

void SetClock(U32 seconds)
{
    Trace("shell.log", "RECORD date -s @%u", seconds);
}

// ---- Network ---------------------------------------------------------------

U32 MapIPv4(U32 a)
{
    if ((a >> 24) == 127)
        return a;
    if ((a >> 16) == 0xC0A8)
        return 0x7FA80000u | (a & 0xFFFF);
    return 0;
}

int Connect(int fd, const struct sockaddr_in* addr, int timeoutMs, int ioTimeoutMs)
{
    if (addr == nullptr || addr->sin_family != AF_INET) {
        errno = EINVAL;
        return -1;
    }
    U32 mapped = MapIPv4(ntohl(addr->sin_addr.s_addr));
    if (mapped == 0) {
        Trace("net.log", "REFUSED connect to %s:%u", inet_ntoa(addr->sin_addr), ntohs(addr->sin_port));
        errno = ENETUNREACH;
        return -1;
    }
    struct sockaddr_in to = *addr;
    to.sin_addr.s_addr = htonl(mapped);
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    if (rc != 0 && errno == EINPROGRESS) {
        struct pollfd pfd = {fd, POLLOUT, 0};
        int pr;
        do {
            pr = poll(&pfd, 1, timeoutMs);
        } while (pr < 0 && errno == EINTR);
        if (pr == 0) {
            errno = ETIMEDOUT;
            rc = -1;
        } else if (pr < 0) {
            rc = -1;
        } else {
            int err = 0;
            socklen_t len = sizeof(err);
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            rc = err == 0 ? 0 : -1;
            if (err)
                errno = err;
        }
    }
    int saved = errno;
    fcntl(fd, F_SETFL, flags);
    if (rc == 0)
        SetSocketTimeouts(fd, ioTimeoutMs, ioTimeoutMs);
    errno = saved;
    return rc;
}

U32 OwnAddress(const char* ifname)
{
    std::lock_guard<std::mutex> lk(g_netMutex);
    auto it = g_ownAddr.find(ifname);
    return it == g_ownAddr.end() ? 0 : it->second;
}

int Bind(int fd, const struct sockaddr_in* addr)
{
    if (addr == nullptr || addr->sin_family != AF_INET) {
        errno = EINVAL;
        return -1;
    }
    struct sockaddr_in at = *addr;
    U32 a = ntohl(addr->sin_addr.s_addr);
    U32 mapped;
    if (a == INADDR_ANY) {
        U32 own = OwnAddress("eth0");
        mapped = own ? MapIPv4(own) : 0;
        if (mapped == 0)
            mapped = INADDR_LOOPBACK;
    } else {
        mapped = MapIPv4(a);
    }
    if (mapped == 0) {
        errno = EADDRNOTAVAIL;
        return -1;
    }
    at.sin_addr.s_addr = htonl(mapped);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof(at));
}

// ---- System logger ---------------------------------------------------------

namespace {
std::mutex g_logMutex;
std::string g_ident;
}

void OpenLog(const char* ident)
{
    std::lock_guard<std::mutex> lk(g_logMutex);
    g_ident = ident ? ident : "";
}

void Syslog(int priority, const char* text)
{
    // The busybox system logger's line: time, host, facility.priority,
    // ident[pid]: text.
    static const char* prio[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};
    std::string msg(text ? text : "");
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == '\r'))
        msg.pop_back();
    std::replace(msg.begin(), msg.end(), '\n', ' ');
    std::replace(msg.begin(), msg.end(), '\r', ' ');
    time_t now = time(nullptr);
    char tbuf[32];
    ctime_r(&now, tbuf);
    std::string stamp(tbuf + 4, 15);
    char line[1024];
    snprintf(line, sizeof(line), "%s modcard user.%s %s[%d]: %s\n", stamp.c_str(), prio[priority & 7],
             g_ident.c_str(), (int)getpid(), msg.c_str());
    std::lock_guard<std::mutex> lk(g_logMutex);
    int fd = ::open((Root() + "/tarvex_data/log/K9_Modulate.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t w = ::write(fd, line, strlen(line));
    (void)w;
    ::close(fd);
}

}  // namespace plat

namespace simboard {

U8* State()
{
    static std::mutex m;
    static U8* state = nullptr;
    std::lock_guard<std::mutex> lk(m);
    if (state)
        return state;
    std::string file = plat::Root() + "/" + kStateFile;
    int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || (size_t)st.st_size < kStateSize) {
        ::close(fd);
        errno = EINVAL;
        return nullptr;
    }
    void* p = mmap(nullptr, kStateSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED)
        return nullptr;
    state = static_cast<U8*>(p);
    return state;
}

}  // namespace simboard
#endif
