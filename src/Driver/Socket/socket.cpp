// TCP socket driver: the two listening sockets and client sockets. Binding
// and connecting go through the platform, which maps chassis addresses and
// bounds every connect.
#include "Driver/Socket/socket.h"
#include "Log/log.h"
#include "Platform/platform.h"
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

int socketSfd = -1;
int socketSfd_mac = -1;
static std::atomic<U16> s_macPort{MACCOMM_PORT};

namespace {

void LogErr(const char* func, int line, const char* fmt)
{
    int e = errno;
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SOCKET, fmt, (long)syscall(SYS_gettid), func, line, strerror(e), e);
}

SOCKETSErrCode OpenServer(int& fd, const char* alreadyMsg, const char* errMsg, const char* func)
{
    if (fd >= 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SOCKET, alreadyMsg, (long)syscall(SYS_gettid), func, __LINE__);
        return ZR_SOCKETS_SUCCESS;
    }
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LogErr(func, __LINE__, errMsg);
        return ZR_SOCKETS_OPEN_ERR;
    }
    return ZR_SOCKETS_SUCCESS;
}

SOCKETSErrCode BindServer(int fd, U32 ip, U16 port, const char* reuseMsg, const char* bindMsg, const char* func,
                          bool bLog = true)
{
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0) {
        LogErr(func, __LINE__, reuseMsg);
        return ZR_SOCKETS_BIND_ERR;
    }
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(ip);
    if (plat::Bind(fd, &a) != 0) {
        if (bLog)
            LogErr(func, __LINE__, bindMsg);
        return ZR_SOCKETS_BIND_ERR;
    }
    return ZR_SOCKETS_SUCCESS;
}

SOCKETSErrCode MacBind(U32 ip, const char* func, bool bLog = true)
{
    if (socketSfd_mac < 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SOCKET, "%ld:%s:%d MACsocketSfd open error!\n", LOG_POS_OF(func));
        return ZR_SOCKETS_OPEN_ERR;
    }
    return BindServer(socketSfd_mac, ip, s_macPort, "%ld:%s:%d MAC bind socket error: %s(errno: %d)\n",
                      "%ld:%s:%d MAC bind socket error: %s(errno: %d)\n", func, bLog);
}

}  // namespace

SOCKETSErrCode socketS_open(void)
{
    return OpenServer(socketSfd, "%ld:%s:%d socketSfd already open!\n",
                      "%ld:%s:%d socketSfd open error: %s(errno: %d)!\n", __func__);
}

SOCKETSErrCode socketS_bind(void)
{
    if (socketSfd < 0)
        return ZR_SOCKETS_OPEN_ERR;
    return BindServer(socketSfd, INADDR_ANY, IPCOMM_PORT, "%ld:%s:%d reuse socket error: %s(errno: %d)\n",
                      "%ld:%s:%d bind socket error: %s(errno: %d)\n", __func__);
}

SOCKETSErrCode socketS_listen(void)
{
    if (socketSfd < 0 || listen(socketSfd, 16) != 0) {
        LogErr(__func__, __LINE__, "%ld:%s:%d listen socket error: %s(errno: %d)\n\n");
        return ZR_SOCKETS_LISTEN_ERR;
    }
    return ZR_SOCKETS_SUCCESS;
}

void socketS_close(void)
{
    if (socketSfd >= 0)
        ::close(socketSfd);
    socketSfd = -1;
}

SOCKETSErrCode MACsocketS_open(void)
{
    return OpenServer(socketSfd_mac, "%ld:%s:%d MACsocketSfd already open!\n",
                      "%ld:%s:%d MACsocketSfd open error: %s(errno: %d)!\n", __func__);
}

SOCKETSErrCode MACMastersocketS_bind(void) { return MacBind(MACCOMM_MASTER_IP, __func__); }
SOCKETSErrCode MACSlavesocketS_bind(void) { return MacBind(MACCOMM_SLAVE_IP, __func__); }

SOCKETSErrCode MACsocketS_bindAddress(U32 u32IP, bool bLog) { return MacBind(u32IP, __func__, bLog); }

void MACsocketS_close(void)
{
    if (socketSfd_mac >= 0)
        ::close(socketSfd_mac);
    socketSfd_mac = -1;
}

SOCKETSErrCode MACsocketS_listen(void)
{
    if (socketSfd_mac < 0 || listen(socketSfd_mac, 16) != 0) {
        LogErr(__func__, __LINE__, "%ld:%s:%d MAC listen socket error: %s(errno: %d)\n\n");
        return ZR_SOCKETS_LISTEN_ERR;
    }
    return ZR_SOCKETS_SUCCESS;
}

SOCKETCErrCode socketC_open(S32* pu32socketCfd)
{
    if (pu32socketCfd == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SOCKET, "%ld:%s:%d Param NULL\n", LOG_POS);
        return ZR_SOCKETC_BIND_ERR;
    }
    *pu32socketCfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (*pu32socketCfd < 0) {
        LogErr(__func__, __LINE__, "%ld:%s:%d socketCfd open error: %s(errno: %d)!\n");
        return ZR_SOCKETC_OPEN_ERR;
    }
    return ZR_SOCKETC_SUCCESS;
}

U16 socketC_PortOf(U32 u32IPAddr)
{
    return (u32IPAddr == MACCOMM_MASTER_IP || u32IPAddr == MACCOMM_SLAVE_IP) ? (U16)s_macPort : IPCOMM_PORT;
}

void socket_SetMacCommPort(U16 u16Port) { s_macPort = u16Port ? u16Port : MACCOMM_PORT; }

SOCKETCErrCode socketC_connectTimed(S32 u32socketCfd, U32 u32IPAddr, int timeoutMs)
{
    if (u32socketCfd < 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SOCKET, "%ld:%s:%d socketCfd open error!\n", LOG_POS);
        return ZR_SOCKETC_OPEN_ERR;
    }
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(socketC_PortOf(u32IPAddr));
    a.sin_addr.s_addr = htonl(u32IPAddr);
    if (plat::Connect(u32socketCfd, &a, timeoutMs, 0) != 0) {
        int e = errno;
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SOCKET, "%ld:%s:%d connect server error: %s(errno: %d) ip 0x%x\n",
                   LOG_POS, strerror(e), e, u32IPAddr);
        return ZR_SOCKETC_BIND_ERR;
    }
    return ZR_SOCKETC_SUCCESS;
}

SOCKETCErrCode socketC_connect(S32 u32socketCfd, U32 u32IPAddr)
{
    return socketC_connectTimed(u32socketCfd, u32IPAddr, SOCKETC_CONNECT_TIMEOUT_MS);
}

BOOL net_GetIP(U8* dev, struct in_addr* lc_addr, S32 ipln)
{
    if (dev == nullptr || lc_addr == nullptr || ipln < (S32)sizeof(struct in_addr))
        return 0;
    U32 a = plat::InterfaceAddress(reinterpret_cast<const char*>(dev));
    if (a == 0)
        return 0;
    lc_addr->s_addr = htonl(a);
    return 1;
}
