// The simulated board: everything the firmware would do to the machine stays
// inside the board root.
#ifndef MODCARD_CARD
#include "Platform/platform.h"
#include "Platform/board_state.h"
#include "archive.h"
#include <algorithm>
#include <atomic>
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

namespace {
// What a test acts on just before an FPGA register write lands (simboard::SetFpgaWriteHook).
std::atomic<void (*)(U32, U32)> s_fpgaWriteHook{nullptr};
}  // namespace

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
    if (root[0] != '/') {
        // Absolute, so that a path stays right when a command runs elsewhere.
        char cwd[4096];
        if (getcwd(cwd, sizeof(cwd)) != nullptr)
            root = std::string(cwd) + "/" + root;
    }
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

std::string Path(std::string_view sysPath)
{
    if (sysPath.empty() || sysPath[0] != '/')
        return std::string(sysPath);
    if (sysPath.find("/.") == std::string_view::npos)
        return Root() + std::string(sysPath);
    // "." and ".." are resolved here, and ".." stops at the board root as it
    // would at "/": a name taken from a request cannot lead out of the board.
    std::vector<std::string_view> parts;
    size_t pos = 1;
    while (pos <= sysPath.size()) {
        size_t end = sysPath.find('/', pos);
        if (end == std::string_view::npos)
            end = sysPath.size();
        std::string_view comp = sysPath.substr(pos, end - pos);
        if (comp == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!comp.empty() && comp != ".") {
            parts.push_back(comp);
        }
        pos = end + 1;
    }
    std::string out = Root();
    for (std::string_view comp : parts) {
        out += '/';
        out += comp;
    }
    if (sysPath.back() == '/' || parts.empty())
        out += '/';
    return out;
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

U32 Read32(volatile U32* addr)
{
    U8* s = simboard::State();
    const U8* a = reinterpret_cast<const U8*>(const_cast<U32*>(addr));
    U32 v;
    if (s != nullptr && a >= s + simboard::kSpiOffset && a < s + simboard::kSpiOffset + simboard::kBlockLen &&
        simboard::OnBlockRead(simboard::kSpiPhys, (U32)(a - (s + simboard::kSpiOffset)), &v))
        return v;
    return *addr;
}

void Write32(volatile U32* addr, U32 value)
{
    U8* s = simboard::State();
    const U8* a = reinterpret_cast<const U8*>(const_cast<U32*>(addr));
    const bool fpga = s != nullptr && a >= s + simboard::kFpgaOffset && a < s + simboard::kFpgaOffset + simboard::kFpgaLen;
    const size_t off = fpga ? (size_t)(a - (s + simboard::kFpgaOffset)) : 0;
    if (fpga && off % 16 == 0)
        if (auto hook = s_fpgaWriteHook.load(std::memory_order_relaxed))
            hook((U32)(off / 16), value);
    U32 old = *addr;
    *addr = value;
    if (s == nullptr)
        return;
    if (fpga) {
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
    if (simboard::DeferPinWrite(sysPath, std::string_view(static_cast<const char*>(data), len)))
        return (ssize_t)len;
    // Overwritten in place rather than truncated first: truncate-and-rewrite
    // makes the file system flush on close, and pins change thousands of
    // times a second.
    simboard::ModelClock clock;
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

ssize_t ReadAttr(std::string_view sysPath, void* buf, size_t len)
{
    ssize_t n = 0;
    if (simboard::ReadPinAttr(sysPath, buf, len, &n))
        return n;
    int fd = Open(sysPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    n = ::read(fd, buf, len);
    ::close(fd);
    return n;
}

void PinBatchBegin() { simboard::PinBatch(true); }
void PinBatchEnd() { simboard::PinBatch(false); }

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
    simboard::ModelClock clock;
    return simboard::OnI2cTransfer(bus, msgs, count);
}

// The spidev device of the board root that fd was opened on; its file names
// the board root of the chip at the other end of the wire.
static bool SpiPeerOf(int fd, std::string* peer)
{
    char link[64];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    char target[4096];
    ssize_t n = ::readlink(link, target, sizeof(target) - 1);
    if (n < 0)
        return false;
    target[n] = '\0';
    if (std::string(target).rfind(Root() + "/dev/spidev", 0) != 0) {
        errno = ENOTTY;
        return false;
    }
    char buf[4096];
    ssize_t r = ::pread(fd, buf, sizeof(buf) - 1, 0);
    if (r <= 0) {
        errno = EIO;
        return false;
    }
    buf[r] = '\0';
    *peer = std::string(buf, strcspn(buf, "\n"));
    return !peer->empty();
}

int SpiSetup(int fd, U8, U8, U32)
{
    std::string peer;
    return SpiPeerOf(fd, &peer) ? 0 : -1;
}

int SpiTransfer(int fd, const U8* tx, U8* rx, size_t len, U32, U8)
{
    std::string peer;
    if (tx == nullptr || rx == nullptr || !SpiPeerOf(fd, &peer))
        return -1;
    simboard::ModelClock clock;
    return simboard::SpiWireTransfer(peer, tx, rx, len);
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

U32 Slowness()
{
    static const U32 factor = [] {
        const char* v = getenv("MODCARD_SLOWNESS");
        const long n = v != nullptr ? strtol(v, nullptr, 10) : 1;
        return n >= 1 && n <= 8 ? (U32)n : 1u;
    }();
    return factor;
}

// ---- Trace ---------------------------------------------------------------

void Trace(const char* name, const char* fmt, ...)
{
    char line[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
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
    simboard::AppendTrace(name, out.data(), out.size());
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

// date only reads the clock when every word is a format or a time-zone
// switch; anything else ("-s", "--set", a bare MMDDhhmm operand) sets it.
bool DateOnlyReads(const std::vector<std::string>& args)
{
    for (const auto& a : args)
        if (!(a[0] == '+' || a == "-u" || a == "-R" || a == "--utc"))
            return false;
    return true;
}

Kind Classify(const std::string& prog, const std::vector<std::string>& args)
{
    // Never destroyed: detached threads may run commands while the program exits.
    static const std::set<std::string>& run = *new std::set<std::string>{
        "tar", "cp", "mv", "rm", "mkdir", "ln", "touch", "find", "xargs", "grep", "sed", "cat",
        "cd", "echo", "true", "ls", "chmod", "head", "tail", "wc", "gzip", "gunzip", "md5sum", "sleep",
        "rmdir"};
    static const std::set<std::string>& record = *new std::set<std::string>{
        "ifconfig", "route", "mount", "umount", "ubidetach", "ubiattach", "kill", "killall", "pidof",
        "syslogd", "reboot", "hwclock", "netstat", "ps", "iperf3", "udhcpc",
        // Flushes every file system of this machine, which on a busy one takes
        // seconds; the board's own files are written with fsync already.
        "sync"};
    if (prog == "date")
        return DateOnlyReads(args) ? Kind::Run : Kind::Record;
    if (prog.rfind("/etc/init.d/", 0) == 0)
        return Kind::Record;
    // Scripts that come with an image or live on the card's flash are the
    // card's business: recorded, never run on this machine.
    if (prog[0] == '/' && prog.size() > 3 && prog.compare(prog.size() - 3, 3, ".sh") == 0)
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

// A path that climbs out of where it was put: a ".." component, or a
// component that a glob could expand to ".." (".*", ".?").
bool Escapes(const std::string& w)
{
    size_t pos = 0;
    while (pos <= w.size()) {
        size_t end = w.find('/', pos);
        if (end == std::string::npos)
            end = w.size();
        std::string_view comp(w.data() + pos, end - pos);
        // Also ".." as an option's value: "--directory=..", "-C..".
        bool optionValue = comp.size() >= 3 && comp.substr(comp.size() - 3) == "=..";
        bool shortValue = comp.size() == 4 && comp[0] == '-' && comp[1] != '-' && comp.substr(2) == "..";
        if (comp == ".." || optionValue || shortValue)
            return true;
        if (!comp.empty() && comp[0] == '.' && comp.find_first_of("*?[") != std::string_view::npos)
            return true;
        pos = end + 1;
    }
    return false;
}

// Moves the absolute paths of one word into the board root; false refuses
// the command. Relative paths stay relative to the working folder, which is
// inside the board root.
bool MapWord(std::string& w)
{
    if (w.empty())
        return true;
    if (Escapes(w))
        return false;
    if (w[0] == '/') {
        w = Root() + w;
        return true;
    }
    if (w[0] == '-' && w.find('/') != std::string::npos) {
        if (w.size() > 1 && w[1] == '-') {
            // --name=/x
            size_t eq = w.find('=');
            if (eq == std::string::npos)
                return false;
            if (eq + 1 < w.size() && w[eq + 1] == '/')
                w = w.substr(0, eq + 1) + Root() + w.substr(eq + 1);
            return true;
        }
        // A short option with its value attached ("-C/x"); a cluster that
        // hides a path further in ("-zxvf/x") cannot be read safely.
        if (w.size() > 2 && w[2] == '/') {
            w = w.substr(0, 2) + Root() + w.substr(2);
            return true;
        }
        return false;
    }
    size_t eq = w.find("=/");  // if=/x
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

// Options of tar that run other programs or reach other machines.
bool TarWordUnsafe(const std::string& w, bool firstWord)
{
    static const char* longOpts[] = {"--to-command", "--use-compress-program", "--checkpoint-action", "--rsh-command",
                                     "--rmt-command", "--info-script", "--new-volume-script", "--absolute-names",
                                     "--files-from"};
    if (w.rfind("--", 0) == 0) {
        for (const char* o : longOpts)
            if (w.rfind(o, 0) == 0)
                return true;
        return false;
    }
    // -I PROG (compress program), -F SCRIPT (volume script), -P (member
    // names kept absolute or climbing out), -T LIST (names nobody moved into
    // the board root), also in the old dash-less form of the first word ("xvf").
    bool cluster = w[0] == '-' || firstWord;
    return cluster && w.find_first_of("IFPT") != std::string::npos;
}

// The archive a tar command unpacks ("" when it does not unpack); false when
// it unpacks but names no archive (it would read its input).
bool TarExtractArchive(const std::vector<std::string>& words, std::string& archive)
{
    archive.clear();
    bool extract = false;
    std::string fromCluster;
    bool wantNext = false;
    for (size_t a = 1; a < words.size(); a++) {
        const std::string& w = words[a];
        if (wantNext) {
            archive = w;
            wantNext = false;
            continue;
        }
        if (w == "--extract" || w == "--get")
            extract = true;
        if (w.rfind("--file=", 0) == 0)
            archive = w.substr(7);
        if (w == "--file")
            wantNext = true;
        bool cluster = (w[0] == '-' && w.size() > 1 && w[1] != '-') || (a == 1 && w[0] != '-');
        if (!cluster)
            continue;
        if (w.find('x') != std::string::npos)
            extract = true;
        size_t f = w.find('f');
        if (f != std::string::npos) {
            if (f + 1 < w.size())
                archive = w.substr(f + 1);
            else
                wantNext = true;
        }
    }
    return !extract || !archive.empty();
}

// One file tool with its words (words[0] is the tool). pipedPaths: its input
// is a list of paths from find or grep -l, which xargs may pass on.
// producesPaths: its output is such a list.
bool RewriteTool(const std::vector<std::string>& words, const std::vector<bool>& quoted, bool pipedPaths,
                 std::string& out, bool& producesPaths)
{
    const std::string& tool = words[0];
    producesPaths = false;
    if (tool == "xargs") {
        // xargs takes its arguments from its input: only paths that another
        // confined tool printed, and only for a tool that is allowed itself.
        if (!pipedPaths)
            return false;
        size_t a = 1;
        std::string opts;
        while (a < words.size() && words[a][0] == '-') {
            const std::string& o = words[a];
            if (o == "-n" || o == "-L" || o == "-P" || o == "-s" || o == "-d") {
                if (a + 1 >= words.size())
                    return false;
                opts += " " + o + " " + Quote(words[a + 1], false);
                a += 2;
                continue;
            }
            if (o != "-r" && o != "-0" && o != "-t" && o != "--no-run-if-empty" && o != "--null")
                return false;
            opts += " " + o;
            a++;
        }
        if (a >= words.size() || Classify(words[a], {}) != Kind::Run || words[a] == "xargs" || words[a] == "cd" ||
            words[a] == "date")
            return false;
        std::vector<std::string> inner(words.begin() + (long)a, words.end());
        std::vector<bool> innerQuoted(quoted.begin() + (long)a, quoted.end());
        std::string innerOut;
        if (!RewriteTool(inner, innerQuoted, false, innerOut, producesPaths))
            return false;
        out += " xargs" + opts + innerOut;
        return true;
    }
    if (tool == "cd" && (words.size() != 2 || words[1].empty() || words[1][0] == '-'))
        return false;  // a bare "cd" goes to $HOME, "cd -" to $OLDPWD
    if (tool == "find") {
        for (const auto& w : words)
            if (w == "-exec" || w == "-execdir" || w == "-ok" || w == "-okdir" || w == "-delete")
                return false;
        producesPaths = true;
    }
    if (tool == "grep") {
        for (size_t a = 1; a < words.size(); a++)
            if (words[a] == "-l" || words[a] == "-L" || words[a] == "--files-with-matches" ||
                words[a] == "--files-without-match")
                producesPaths = true;
    }
    if (tool == "tar") {
        for (size_t a = 1; a < words.size(); a++)
            if (TarWordUnsafe(words[a], a == 1))
                return false;
    }
    out += " " + tool;
    if (tool == "sed")
        out += " --sandbox";  // no w, r or e commands in the script
    // sed's and grep's pattern stays as it is; a script or pattern file is a path.
    bool patternSeen = !(tool == "sed" || tool == "grep");
    for (size_t a = 1; a < words.size(); a++) {
        std::string w = words[a];
        bool patternOpt = w == "-e" || w == "--regexp" || w == "--expression";
        bool patternFileOpt = w == "-f" || w == "--file";
        if (!patternSeen && (patternOpt || patternFileOpt) && a + 1 < words.size()) {
            std::string arg = words[a + 1];
            if (patternFileOpt && !MapWord(arg))
                return false;
            out += " " + w + " " + Quote(arg, false);
            a++;
            patternSeen = true;
            continue;
        }
        // A pattern or pattern file attached to its option ("-eX", "-ie X",
        // "--regexp=X", "--file=F"): no later word is the pattern, so each one
        // is moved like a path.
        if (!patternSeen && w[0] == '-') {
            bool longPattern = w.rfind("--regexp=", 0) == 0 || w.rfind("--expression=", 0) == 0 ||
                               w.rfind("--file=", 0) == 0;
            bool shortPattern = w.size() > 1 && w[1] != '-' && w.find_first_of("ef") != std::string::npos;
            if (longPattern || shortPattern)
                patternSeen = true;
        }
        if (!patternSeen && w[0] != '-') {
            out += " " + Quote(w, false);
            patternSeen = true;
            continue;
        }
        if (!MapWord(w))
            return false;
        out += " " + Quote(w, !quoted[a]);
    }
    if (tool == "tar")
        out += " --force-local";  // "host:file" is a file name, never a remote archive
    return true;
}

// "$(pidof NAME)": the simulated board runs none of the card's system
// daemons, so the lookup finds no process and expands to nothing.
std::string ExpandPidof(std::string_view cmd)
{
    std::string out(cmd);
    size_t pos;
    while ((pos = out.find("$(pidof ")) != std::string::npos) {
        size_t end = out.find(')', pos);
        if (end == std::string::npos)
            break;
        std::string name = out.substr(pos + 8, end - pos - 8);
        if (name.empty() || name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_.-") != std::string::npos)
            break;
        out.erase(pos, end + 1 - pos);
    }
    return out;
}

Prepared Prepare(std::string_view rawCmd, const char* cwd)
{
    Prepared p;
    std::string expanded = ExpandPidof(rawCmd);
    std::string_view cmd = expanded;
    std::vector<Tok> toks;
    if (!Lex(cmd, toks)) {
        p.refused = true;
        return p;
    }
    // The working folder: a system path, or one relative to the board root.
    std::string dir = cwd == nullptr ? Root() : (cwd[0] == '/' ? Path(cwd) : Root() + "/" + cwd);
    std::string out;
    size_t i = 0;
    bool lastProducesPaths = false;  // the previous command printed confined paths
    bool piped = false;              // the current command reads the previous one's output
    while (i < toks.size()) {
        if (toks[i].op) {
            const std::string& op = toks[i].text;
            out += " " + op;
            if (op == ">" || op == ">>" || op == "<" || op == "2>") {
                if (i + 1 >= toks.size() || toks[i + 1].op) { p.refused = true; return p; }
                std::string w = toks[i + 1].text;
                if ((op == ">" || op == ">>") && w.rfind("/sys/", 0) == 0)
                    p.sysfsWrites.push_back(w);
                if (w.empty() || w[0] == '-' || !MapWord(w)) { p.refused = true; return p; }
                out += " " + Quote(w, false);
                i += 2;
                continue;
            }
            piped = op == "|";
            if (!piped)
                lastProducesPaths = false;
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
        bool pipedPaths = piped && lastProducesPaths;
        piped = false;
        lastProducesPaths = false;
        Kind k = Classify(words[0], args);
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
            // Only the chassis' own addresses: nothing leaves the machine.
            struct in_addr host;
            if (inet_pton(AF_INET, pos[0].c_str(), &host) != 1 || MapIPv4(ntohl(host.s_addr)) == 0) {
                p.refused = true;
                return p;
            }
            std::string remote, local;
            if (words[0] == "ftpget") {
                remote = pos.back();
                local = pos.size() == 3 ? pos[1] : remote.substr(remote.rfind('/') + 1);
            } else {
                local = pos.back();
                remote = pos.size() == 3 ? pos[1] : local.substr(local.rfind('/') + 1);
            }
            if (remote.empty() || local.empty() || local[0] == '-' || Escapes(remote) || !MapWord(local)) {
                p.refused = true;
                return p;
            }
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
        if (words[0] == "tar") {
            // Members are checked before anything is unpacked: a link or a
            // climbing name would write outside the target folder.
            std::string archive;
            if (!TarExtractArchive(words, archive)) {
                p.refused = true;
                return p;
            }
            if (!archive.empty() && !Escapes(archive)) {
                std::string real = archive[0] == '/' ? Root() + archive : dir + "/" + archive;
                if (access(real.c_str(), F_OK) == 0 && !detail::TarFileSafe(real)) {
                    p.refused = true;
                    return p;
                }
            }
        }
        if (!RewriteTool(words, quoted, pipedPaths, out, lastProducesPaths)) {
            p.refused = true;
            return p;
        }
        p.anyRun = true;
        i = j;
    }
    if (cwd != nullptr && Escapes(cwd)) {
        p.refused = true;
        return p;
    }
    p.line = "cd " + Quote(dir, false) + " &&" + out;
    return p;
}

std::mutex g_popenMutex;
std::set<FILE*> g_realPopen;

// The output of a command that did not run: a stream at its end at once.
FILE* EmptyStream()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return nullptr;
    ::close(fds[1]);
    FILE* f = fdopen(fds[0], "r");
    if (f == nullptr)
        ::close(fds[0]);
    return f;
}

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

// The shell line a piped child runs, or false when it may not run here.
bool SpawnLine(std::string_view cmd, const char* cwd, std::string& line)
{
    Prepared p = Prepare(cmd, cwd);
    if (p.refused || !p.anyRun || p.reboot) {
        Trace("shell.log", "%s %.*s", p.refused ? "REFUSED" : "RECORD", (int)cmd.size(), cmd.data());
        return false;
    }
    Trace("shell.log", "RUN %.*s", (int)cmd.size(), cmd.data());
    line = p.line;
    return true;
}

FILE* Popen(std::string_view cmd, const char* cwd)
{
    Prepared p = Prepare(cmd, cwd);
    if (p.refused || !p.anyRun || p.reboot) {
        Trace("shell.log", "%s %.*s", p.refused ? "REFUSED" : "RECORD", (int)cmd.size(), cmd.data());
        if (p.reboot)
            Reboot();
        return EmptyStream();
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
    // The chip-link network is private to a card: the slot keeps two cards'
    // chip links apart.
    if ((a >> 8) == 0xC0A8BC) {
        const simboard::Profile* prof = simboard::GetProfile();
        U32 slot = prof != nullptr ? (prof->slotId & 0xFF) : 0;
        return 0x7FBC0000u | slot << 8 | (a & 0xFF);
    }
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

U32 InterfaceAddress(const char* ifname) { return ifname ? OwnAddress(ifname) : 0; }

int InterfaceBase(const char* ifname, U32* base)
{
    if (ifname == nullptr || base == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::string_view n(ifname);
    if (n == "eth0" || n == "eth1") {
        *base = n == "eth0" ? 0xB000 : 0xC000;
        return 0;
    }
    errno = ENODEV;
    return -1;
}

// The chip's own mapped address: the one set through the shell or, before
// that, the chassis default of its slot, 192.168.1.(11 + slot); 0 when none.
static U32 OwnMappedAddress()
{
    U32 own = OwnAddress("eth0");
    U32 mapped = own ? MapIPv4(own) : 0;
    const simboard::Profile* prof = simboard::GetProfile();
    if (mapped == 0 && prof != nullptr && prof->slotId < 16)
        mapped = MapIPv4(0xC0A8010Bu + prof->slotId);
    return mapped;
}

std::string SnmpDefaultTransport()
{
    U32 own = OwnMappedAddress();
    if (own == 0)
        own = MapIPv4(0xC0A8010Bu + 3);
    char text[48];
    snprintf(text, sizeof(text), "udp:%u.%u.%u.%u:16161", own >> 24, (own >> 16) & 0xFF, (own >> 8) & 0xFF,
             own & 0xFF);
    return text;
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
        mapped = OwnMappedAddress();
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
    std::lock_guard<std::mutex> lk(g_logMutex);  // also over the identifier
    snprintf(line, sizeof(line), "%s modcard user.%s %s[%d]: %s\n", stamp.c_str(), prio[priority & 7],
             g_ident.c_str(), (int)getpid(), msg.c_str());
    simboard::ModelClock clock;  // the system logger is the board's, not the firmware's
    // Rotated as the logger rotates it, so that a board left running for days
    // keeps a bounded log.
    simboard::AppendBounded(Root() + "/tarvex_data/log/K9_Modulate.log", line, strlen(line), 0,
                            simboard::kProgramLogLimit);
}

}  // namespace plat

namespace simboard {

void SetFpgaWriteHook(void (*hook)(U32 reg, U32 value)) { s_fpgaWriteHook = hook; }

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
namespace simboard {

namespace {
// Files of the board that grow a line or a packet at a time stay open.
// Never destroyed: detached threads may still write while the process exits.
std::mutex& AppendMutex()
{
    static std::mutex& m = *new std::mutex;
    return m;
}
std::map<std::string, int>& AppendFds()
{
    static std::map<std::string, int>& fds = *new std::map<std::string, int>;
    return fds;
}

// The file kept open for appending (its folder made when missing), with
// AppendMutex held. A file written in records of a fixed size loses a torn
// last record when it is opened.
int OpenAppend(const std::string& file, size_t record)
{
    // A file that a reader removed (its link count is 0) is opened anew.
    std::map<std::string, int>& fds = AppendFds();
    auto it = fds.find(file);
    if (it != fds.end()) {
        struct stat st;
        if (::fstat(it->second, &st) == 0 && st.st_nlink > 0)
            return it->second;
        ::close(it->second);
        fds.erase(it);
    }
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT) {
        ::mkdir(file.substr(0, file.rfind('/')).c_str(), 0755);
        fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    // A process that dies of a signal inside a write can leave part of a
    // record: the kernel stops the copy at a page boundary. Every record
    // after it would be off the grid its readers step on.
    struct stat st;
    if (fd >= 0 && record > 0 && ::fstat(fd, &st) == 0 && st.st_size % (off_t)record != 0) {
        int r = ::ftruncate(fd, st.st_size - st.st_size % (off_t)record);
        (void)r;
    }
    if (fd >= 0)
        fds[file] = fd;
    return fd;
}
}  // namespace

void AppendBounded(const std::string& file, const void* data, size_t len, size_t record, size_t limit)
{
    // Held over the write as well: another thread's cut cannot close the file
    // between the look-up and the write.
    std::lock_guard<std::mutex> lk(AppendMutex());
    int fd = OpenAppend(file, record);
    if (fd < 0)
        return;
    ssize_t w = ::write(fd, data, len);
    (void)w;
    struct stat st;
    if (::fstat(fd, &st) != 0 || (size_t)st.st_size <= limit)
        return;
    // The name moves only while it is still this file's: another process
    // writing the same trace may have cut it already.
    struct stat named;
    if (::stat(file.c_str(), &named) != 0 || named.st_ino != st.st_ino || named.st_dev != st.st_dev) {
        ::close(fd);
        AppendFds().erase(file);
        return;
    }
    // The file becomes the older generation and a new empty file takes its
    // name, each in one step, so that a reader finds both names at any time.
    const std::string old = file + ".0", tmp = file + ".cut" + std::to_string(getpid());
    int next = -1;
    ::unlink(tmp.c_str());
    if (::link(file.c_str(), tmp.c_str()) == 0 && ::rename(tmp.c_str(), old.c_str()) == 0) {
        next = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (next >= 0 && ::rename(tmp.c_str(), file.c_str()) != 0) {
            ::close(next);
            next = -1;
        }
        if (next < 0)
            ::unlink(file.c_str());  // the next record starts the new file
    } else if (::rename(file.c_str(), old.c_str()) != 0) {
        int r = ::ftruncate(fd, 0);  // the old generation cannot be kept: start over in place
        (void)r;
    }
    ::unlink(tmp.c_str());
    ::close(fd);
    if (next >= 0)
        AppendFds()[file] = next;
    else
        AppendFds().erase(file);
}

size_t TraceLimit()
{
    const Profile* p = GetProfile();
    return p && p->traceLimit >= kTraceLimitMin ? p->traceLimit : kTraceLimit;
}

void AppendTrace(const std::string& name, const void* data, size_t len, size_t record)
{
    AppendBounded(plat::Root() + "/trace/" + name, data, len, record, TraceLimit());
}

namespace {
std::atomic<U64> g_u64ModelNs{0};
U64 NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (U64)ts.tv_sec * 1000000000ull + (U64)ts.tv_nsec;
}
thread_local int t_iModelDepth = 0;
}  // namespace

ModelClock::ModelClock() : u64Start(t_iModelDepth++ == 0 ? NowNs() : 0) {}
ModelClock::~ModelClock()
{
    if (--t_iModelDepth == 0)
        g_u64ModelNs += NowNs() - u64Start;
}
U64 ModelTimeNs() { return g_u64ModelNs.load(); }

}  // namespace simboard
#endif
