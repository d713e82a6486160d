// TCP sockets of the card links: the frame server's socket (port 8000), the
// chip-link server's socket (port 8050) and client sockets.
#pragma once
#include "Common/types.h"
#include <netinet/in.h>

typedef enum {
    ZR_SOCKETC_SUCCESS = 0,
    ZR_SOCKETC_PARAM_ERR = 1,
    ZR_SOCKETC_OPEN_ERR = 2,
    ZR_SOCKETC_ALREADY_OPEN_ERR = 3,
    ZR_SOCKETC_BIND_ERR = 4,
    ZR_SOCKETC_LISTEN_ERR = 5
} SOCKETCErrCode;

typedef enum {
    ZR_SOCKETS_SUCCESS = 0,
    ZR_SOCKETS_PARAM_ERR = 1,
    ZR_SOCKETS_OPEN_ERR = 2,
    ZR_SOCKETS_ALREADY_OPEN_ERR = 3,
    ZR_SOCKETS_BIND_ERR = 4,
    ZR_SOCKETS_LISTEN_ERR = 5
} SOCKETSErrCode;

#define IPCOMM_PORT 8000
#define MACCOMM_PORT 8050
#define MACCOMM_MASTER_IP 0xC0A8BC6Eu  // 192.168.188.110
#define MACCOMM_SLAVE_IP 0xC0A8BC6Fu   // 192.168.188.111
// Connect wait of a client socket (the kernel's own is minutes long).
#define SOCKETC_CONNECT_TIMEOUT_MS 5000
// Tests run several chip links at once: they move the chip link off 8050.
void socket_SetMacCommPort(U16 u16Port);

extern int socketSfd;
extern int socketSfd_mac;

SOCKETSErrCode socketS_open(void);
SOCKETSErrCode socketS_bind(void);
SOCKETSErrCode socketS_listen(void);
// Closes the frame server's socket so that it can be bound anew (after an
// address change, or a failed bind).
void socketS_close(void);

SOCKETSErrCode MACsocketS_open(void);
SOCKETSErrCode MACMastersocketS_bind(void);
SOCKETSErrCode MACSlavesocketS_bind(void);
SOCKETSErrCode MACsocketS_listen(void);
// Binds the chip-link server's socket to one chip's link address; a failure
// is logged only with bLog (a server that tries again logs a few of them).
SOCKETSErrCode MACsocketS_bindAddress(U32 u32IP, bool bLog);
void MACsocketS_close(void);

SOCKETCErrCode socketC_open(S32* pu32socketCfd);
SOCKETCErrCode socketC_connect(S32 u32socketCfd, U32 u32IPAddr);
// socketC_connect with its own bound on the connect wait.
SOCKETCErrCode socketC_connectTimed(S32 u32socketCfd, U32 u32IPAddr, int timeoutMs);
// Port a client reaches an address on: the chip link's two addresses take 8050.
U16 socketC_PortOf(U32 u32IPAddr);

BOOL net_GetIP(U8* dev, struct in_addr* lc_addr, S32 ipln);
