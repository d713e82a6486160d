// The master's messages for the slave chip: one worker per chip link sends
// them in the order they were queued, holding no lock, so that a slave that
// stops answering holds up no handler. What the slave chip missed goes to it
// again once it answers.
#pragma once
#include "Comm/maccomm.h"
#include "Common/err.h"
#include "Common/types.h"
#include "Platform/platform.h"
#include <vector>

// How long a web or SNMP request waits for the slave chip to take what it
// changed. The HTTP server and the agent serve one request at a time: a
// slave that stalls must not hold either much longer than a request takes.
#define SLAVELINK_TAKE_WAIT_MS (2000 * (int)plat::Slowness())

// Queues a message (only the newest of each command waits); its ticket.
U64 SlaveLink_Post(ZR_COM_MAC_CMD emCmd, const U8* pu8Data, U32 u32DataLen);
// The ticket of the newest message queued so far.
U64 SlaveLink_Mark(void);
// Waits, with no lock held, at most waitMs until every message queued up to
// the ticket has reached the slave chip (or a newer one of its command has).
// 0; or why not: the code of the send that failed (1539 no connection, 1540
// no answer) or 1540 when the wait ended first.
zrErrCode SlaveLink_Await(U64 u64Ticket, int waitMs);
// The message waiting for a command.
BOOL SlaveLink_Pending(U32 u32Cmd, std::vector<U8>* pData);
// Sends what is queued on the calling thread (no lock held).
void SlaveLink_Flush(void);
// Starts the worker (master only).
void SlaveLink_Start(void);
// True while the slave chip has not answered the last message sent to it.
bool SlaveLink_Lost(void);
// The one line a handler logs when the slave chip did not take its request:
// the slave, the request, the code and what follows from it.
void SlaveLink_LogNotTaken(const char* pcWhat, zrErrCode emCode, const char* pcOutcome);
