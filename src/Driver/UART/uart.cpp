// Serial line driver: raw termios set-up, and single non-blocking reads and
// writes under a per-line semaphore.
#include "Driver/UART/uart.h"
#include "Log/log.h"
#include "Platform/platform.h"
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <semaphore.h>
#include <termios.h>
#include <unistd.h>

int g_UART1Fd = -1;
static int s_UART0Fd = -1;
sem_t g_stUartSem;
static sem_t s_stUart0Sem;
static std::once_flag s_uartSemOnce;

namespace {

void SemInit()
{
    std::call_once(s_uartSemOnce, [] {
        sem_init(&g_stUartSem, 0, 1);
        sem_init(&s_stUart0Sem, 0, 1);
    });
}

struct SemGuard {
    explicit SemGuard(sem_t* s) : sem(s)
    {
        while (sem_wait(sem) != 0 && errno == EINTR) {
        }
    }
    ~SemGuard() { sem_post(sem); }
    sem_t* sem;
};

UARTErrCode InitLine(int& fd, const char* path)
{
    if (fd >= 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d %s: already open!\n", LOG_POS, path);
        return ZR_UART_ALREADY_OPEN_ERR;
    }
    int f = uart_OpenDev(path);
    if (f < 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d %s: open error!\n", LOG_POS, path);
        return ZR_UART_OPEN_ERR;
    }
    fd = f;
    return uart_Set(fd, 115200, 8, 1, 'n');
}

// Reads are logged in hex: the bytes are binary frames, not text.
void LogRead(const U8* buf, S32 len)
{
    char hex[UART_READ_LEN * 3 + 1];
    size_t pos = 0;
    for (S32 i = 0; i < len && i < UART_READ_LEN; i++)
        pos += (size_t)snprintf(hex + pos, sizeof(hex) - pos, "%02x ", buf[i]);
    hex[pos] = '\0';
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_HW, "%ld:%s:%d uart read len %d: %s\n", LOG_POS, len, hex);
}

UARTErrCode ReadLine(int fd, sem_t* sem, U8* buf, S32* len)
{
    if (buf == nullptr || len == nullptr || fd < 0)
        return ZR_UART_PARAM_ERR;
    SemGuard g(sem);
    memset(buf, 0, UART_READ_LEN);
    ssize_t n = ::read(fd, buf, UART_READ_LEN);
    *len = (S32)n;
    if (n > 0)
        LogRead(buf, (S32)n);
    return ZR_UART_SUCCESS;
}

UARTErrCode WriteLine(int fd, sem_t* sem, const U8* buf, S32 len)
{
    if (buf == nullptr || fd < 0 || len < 0)
        return ZR_UART_PARAM_ERR;
    SemGuard g(sem);
    ssize_t n = ::write(fd, buf, (size_t)len);
    if (n != len)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d uart written is't match len %d/%d!\n", LOG_POS, (int)n,
                   len);
    return ZR_UART_SUCCESS;
}

}  // namespace

int uart_OpenDev(const char* path)
{
    if (path == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d Param error!\n", LOG_POS);
        return -1;
    }
    SemInit();
    int fd = plat::Open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d %s: open error!\n", LOG_POS, path);
    else
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_HW, "%ld:%s:%d %s: open success!\n", LOG_POS, path);
    return fd;
}

UARTErrCode uart_Set(int fd, int speed, int databits, int stopbits, int parity)
{
    struct termios old;
    if (fd < 0 || tcgetattr(fd, &old) != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d The uart is not open!\n", LOG_POS);
        return ZR_UART_GET_OLDCONFIG_ERR;
    }
    struct termios t;
    memset(&t, 0, sizeof(t));
    t.c_cflag |= CLOCAL | CREAD;
    if (databits == 7)
        t.c_cflag |= CS7;
    else if (databits == 8)
        t.c_cflag |= CS8;
    if (stopbits != 1)
        t.c_cflag |= CSTOPB;
    switch (parity) {
    case 'E': case 'e': t.c_cflag |= PARENB; t.c_iflag |= INPCK; break;
    case 'O': case 'o': t.c_cflag |= PARENB | PARODD; t.c_iflag |= INPCK; break;
    default: break;  // 'S', 'N' and anything else: no parity
    }
    speed_t baud = speed == 2400 ? B2400 : speed == 4800 ? B4800 : speed == 9600 ? B9600 : B115200;
    cfsetispeed(&t, baud);
    cfsetospeed(&t, baud);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d uart set failed!\n", LOG_POS);
        return ZR_UART_SET_CONFIG_ERR;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_HW, "%ld:%s:%d uart set success!\n", LOG_POS);
    return ZR_UART_SUCCESS;
}

UARTErrCode uart1_Init(void) { return InitLine(g_UART1Fd, "/dev/ttyPS1"); }
UARTErrCode uart1_Read(U8* pReadBuf, S32* ps32Readlen)
{
    SemInit();
    return ReadLine(g_UART1Fd, &g_stUartSem, pReadBuf, ps32Readlen);
}
UARTErrCode uart1_Write(U8* pWriteBuf, S32 s32Writelen)
{
    SemInit();
    return WriteLine(g_UART1Fd, &g_stUartSem, pWriteBuf, s32Writelen);
}
void uart1_Flush(void)
{
    if (g_UART1Fd >= 0)
        tcflush(g_UART1Fd, TCIOFLUSH);
}
void uart1_Close(void)
{
    if (g_UART1Fd >= 0)
        ::close(g_UART1Fd);
    g_UART1Fd = -1;
}

UARTErrCode uart0_Init(void) { return InitLine(s_UART0Fd, "/dev/ttyPS0"); }
UARTErrCode uart0_Read(U8* pReadBuf, S32* ps32Readlen)
{
    SemInit();
    return ReadLine(s_UART0Fd, &s_stUart0Sem, pReadBuf, ps32Readlen);
}
UARTErrCode uart0_Write(U8* pWriteBuf, S32 s32Writelen)
{
    SemInit();
    return WriteLine(s_UART0Fd, &s_stUart0Sem, pWriteBuf, s32Writelen);
}
