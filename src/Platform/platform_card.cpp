// The card: every platform call passes straight through to the OS.
#ifdef MODCARD_CARD
#if !defined(__arm__) && !defined(__aarch64__)
#error "the card build is for the Zynq's ARM cores only"
#endif
#include "Platform/platform.h"
#include "Platform/board_state.h"
#include <arpa/inet.h>
#include <cerrno>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <net/if.h>
#include <cstring>
#include <cstdarg>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

namespace plat {

bool Simulated() { return false; }
std::string Root() { return ""; }
std::string Path(std::string_view sysPath) { return std::string(sysPath); }

volatile U32* MapPhys(U64 physAddr, size_t len)
{
    static int fd = ::open("/dev/mem", O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    void* p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, (off_t)physAddr);
    return p == MAP_FAILED ? nullptr : static_cast<volatile U32*>(p);
}

U32 Read32(volatile U32* addr) { return *addr; }
void Write32(volatile U32* addr, U32 value) { *addr = value; }

int SpiSetup(int fd, U8 mode, U8 bits, U32 speedHz)
{
    if (::ioctl(fd, SPI_IOC_WR_MODE, &mode) < 0 || ::ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits) < 0 ||
        ::ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &speedHz) < 0)
        return -1;
    return 0;
}

int SpiTransfer(int fd, const U8* tx, U8* rx, size_t len, U32 speedHz, U8 bits)
{
    struct spi_ioc_transfer tr;
    memset(&tr, 0, sizeof(tr));
    tr.tx_buf = (unsigned long)tx;
    tr.rx_buf = (unsigned long)rx;
    tr.len = (U32)len;
    tr.speed_hz = speedHz;
    tr.bits_per_word = bits;
    return ::ioctl(fd, SPI_IOC_MESSAGE(1), &tr) < 0 ? -1 : 0;
}

ssize_t WriteAttr(std::string_view sysPath, const void* data, size_t len)
{
    int fd = ::open(std::string(sysPath).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = ::write(fd, data, len);
    ::close(fd);
    return n < 0 ? 0 : n;
}

int I2cTransfer(int fd, struct ::i2c_msg* msgs, U32 count)
{
    struct i2c_rdwr_ioctl_data rdwr;
    rdwr.msgs = msgs;
    rdwr.nmsgs = count;
    return ::ioctl(fd, I2C_RDWR, &rdwr);
}
void HwDelayUs(U64 us) { usleep((useconds_t)us); }

U32 Slowness() { return 1; }

ssize_t ReadAttr(std::string_view sysPath, void* buf, size_t len)
{
    int fd = ::open(std::string(sysPath).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = ::read(fd, buf, len);
    ::close(fd);
    return n;
}

void PinBatchBegin() {}
void PinBatchEnd() {}

int System(std::string_view cmd, const char* cwd)
{
    std::string line = cwd ? "cd " + std::string(cwd) + " && " + std::string(cmd) : std::string(cmd);
    return ::system(line.c_str());
}

bool SpawnLine(std::string_view cmd, const char* cwd, std::string& line)
{
    line = cwd ? "cd " + std::string(cwd) + " && " + std::string(cmd) : std::string(cmd);
    return true;
}

FILE* Popen(std::string_view cmd, const char* cwd)
{
    std::string line = cwd ? "cd " + std::string(cwd) + " && " + std::string(cmd) : std::string(cmd);
    return ::popen(line.c_str(), "r");
}

int Pclose(FILE* f) { return f ? ::pclose(f) : -1; }

void Reboot() { ::system("reboot"); }

void SetClock(U32 seconds)
{
    struct timeval tv = {(time_t)seconds, 0};
    settimeofday(&tv, nullptr);
}

U32 MapIPv4(U32 a) { return a; }

int Connect(int fd, const struct sockaddr_in* addr, int timeoutMs, int ioTimeoutMs)
{
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(addr), sizeof(*addr));
    if (rc != 0 && errno == EINPROGRESS) {
        struct pollfd pfd = {fd, POLLOUT, 0};
        int pr = poll(&pfd, 1, timeoutMs);
        int err = 0;
        socklen_t len = sizeof(err);
        if (pr > 0)
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        rc = (pr > 0 && err == 0) ? 0 : -1;
        if (pr == 0)
            errno = ETIMEDOUT;
        else if (err)
            errno = err;
    }
    int saved = errno;
    fcntl(fd, F_SETFL, flags);
    if (rc == 0)
        SetSocketTimeouts(fd, ioTimeoutMs, ioTimeoutMs);
    errno = saved;
    return rc;
}

int Bind(int fd, const struct sockaddr_in* addr)
{
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    return ::bind(fd, reinterpret_cast<const sockaddr*>(addr), sizeof(*addr));
}

U32 OwnAddress(const char*) { return 0; }

U32 InterfaceAddress(const char* ifname)
{
    struct ifreq ifr;
    if (ifname == nullptr || strlen(ifname) >= sizeof(ifr.ifr_name))
        return 0;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, ifname, sizeof(ifr.ifr_name) - 1);
    U32 a = 0;
    if (ioctl(fd, SIOCGIFADDR, &ifr) == 0)
        a = ntohl(reinterpret_cast<struct sockaddr_in*>(&ifr.ifr_addr)->sin_addr.s_addr);
    ::close(fd);
    return a;
}

int InterfaceBase(const char* ifname, U32* base)
{
    struct ifreq ifr;
    if (ifname == nullptr || base == nullptr || strlen(ifname) >= sizeof(ifr.ifr_name)) {
        errno = EINVAL;
        return -1;
    }
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, ifname, sizeof(ifr.ifr_name) - 1);
    int rc = ioctl(fd, SIOCGIFMAP, &ifr);
    if (rc == 0)
        *base = (U32)(U16)ifr.ifr_map.base_addr;
    ::close(fd);
    return rc == 0 ? 0 : -1;
}

std::string SnmpDefaultTransport() { return ""; }

void OpenLog(const char* ident) { openlog(ident, LOG_PID, LOG_USER); }
void Syslog(int priority, const char* text) { syslog(priority, "%s", text); }
void Trace(const char*, const char*, ...) {}

}  // namespace plat

namespace simboard {
U8* State() { return nullptr; }
void OnFpgaWrite(U32, U32, U32) {}
void OnBlockWrite(U64, U32, U32, U32) {}
bool OnBlockRead(U64, U32, U32*) { return false; }
void OnSpiCtrlWrite(U32, U32) {}
void InitSpiCtrl(U8*) {}
int SpiWireTransfer(const std::string&, const U8*, U8*, size_t) { return -1; }
bool CreateBoard(const std::string&, const Profile&) { return false; }
bool ReadBoardProfile(const std::string&, Profile*) { return false; }
bool UpdateBoard(const std::string&, const Profile&) { return false; }
Profile DefaultProfile() { return Profile{}; }
}  // namespace simboard
#endif
