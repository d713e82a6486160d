// SI carousel: the PSI/SI of every output stream held as ready 196-byte
// insertion records (49 big-endian words each) and written into the FPGA's
// SI packet mailbox once per tick of the PSI interval.
#pragma once
#include "Comm/maccomm.h"
#include "Common/err.h"
#include "Common/types.h"
#include <functional>
#include <mutex>
#include <vector>

#define SI_MAX_PACKET_NUM 3000
#define SI_MAX_OUTTS_NUM 100
#define SI_MAX_TIME_PACKET_NUM 100
#define SI_MAX_SUB_PACKET_NUM 500
#define SI_MAX_TABLE_PACKET_NUM 30
#define SI_MAX_NUMBERED_SECTION_NUM 200
#define SI_RECORD_WORDS 49
#define SI_RECORD_BYTES 196
#define SI_LIST_END 0xFFFF
#define SI_PSIP_BASE_PID 0x1FFB

// Result codes of the carousel.
#define SSD_ERR_INPUT 0xE0000u
#define SSD_ERR_DATA 0xE0001u
#define SSD_ERR_RANGE 0xE0002u

// Memory-only pool records (the wire carries the 49-word record alone).
typedef struct {
    U8 u8ValidFlag;
    U8 aru8Res[3];
    U16 u16Index;
    U16 u16NextIndex;
} SIList_t;
static_assert(sizeof(SIList_t) == 8);

typedef struct {
    SIList_t stList;
    U32 aru32TSPacket[SI_RECORD_WORDS];
} TSPacketInfo_t;
static_assert(sizeof(TSPacketInfo_t) == 8 + SI_RECORD_BYTES);

typedef struct {
    SIList_t stList;
    U16 u16OutTSIndex;
    U16 u16TSPacketIndex;
    U16 u16PID;
    U16 u16SISendSection;
    U8 u8TotalSectionNum;
    U8 u8OverOneSectionTotalNum;
    U8 u8PacketNum;
    U8 u8SendFlag;
    U8 u8TSContinueCount;
    U8 aru8Res[1];
} SIPacketInfo_t;
static_assert(sizeof(SIPacketInfo_t) == 22);

typedef struct {
    U8 u8SendInterval;
    U16 u16TSPacketNum;
    U16 u16SIInfoNum;
    TSPacketInfo_t arstTSPacketInfo[SI_MAX_PACKET_NUM];
    SIPacketInfo_t arstSIPacketInfo[SI_MAX_PACKET_NUM];
    U16 aru16OutTSSIInfo[SI_MAX_OUTTS_NUM];
} SIPacket_t;

// Set by the apply step after it rebuilt the carousel: the next master pass
// forwards the records of channels 4..7 to the slave chip.
extern U8 g_u8MuxFlag;
// Per channel: 1 once a pass handled a due record of that channel.
extern U8 u8MuxChannelFlag[8];
// Per channel: 1 when an STT record went out on the PSIP base PID this tick.
extern U8 u8TimePacketFlag[8];

// Lock of the carousel. A plain mutex, usable from program start.
void SI_PthreadMux_Init(void);
void SI_PthreadMux_Lock(void);
void SI_PthreadMux_UnLock(void);
std::mutex& SI_Mutex(void);

// Carousel contents.
void SSD_InitBroadcastSI(void);
U32 SSD_AddBroadcastSI(U8* pu8Section, U16 u16BuffLength, U16 u16OutTSIndex, U16 u16PID);
// Whole sections of a table that one entry takes (at most
// SI_MAX_TABLE_PACKET_NUM packets and SI_MAX_NUMBERED_SECTION_NUM numbered
// sections): a table that spans more goes to the carousel as several
// entries (see SSD_Table).
typedef struct {
    U32 u32Offset;
    U32 u32Length;
    U32 u32Packets;
    U32 u32Numbered;
} SSD_TablePart;
U32 SSD_SplitTable(const U8* pu8Section, U32 u32Length, std::vector<SSD_TablePart>* pParts);
// One carousel entry of an output stream: whole sections, back to back.
// The entries of a table cut into several rotate through the numbered
// sections of the whole table, so that every section of it repeats at one
// rate: u8TableNumbered counts them (0 for an entry that is its whole table)
// and u8OrdinalBase those in the entries before this one.
typedef struct {
    U16 u16OutTSIndex;
    U16 u16PID;
    std::vector<U8> data;
    U8 u8TableNumbered = 0;
    U8 u8OrdinalBase = 0;
} SSD_Table;
// Empties the carousel and fills it with these entries under one hold of
// its lock, so that a tick sends either the old tables or the new ones.
// The result is the number of entries not taken (each logged).
U32 SSD_ReplaceBroadcastSI(const std::vector<SSD_Table>& tables);
U32 SSD_DelOneBroadcastSI(U16 u16OutTSIndex);
U32 SSD_AddTimeSITable(U8* pu8Section, U16 u16BuffLength, U8 u8ChannelId, U16 u16PID);
U32 SSD_AddTimeSITableTDT(U8* pu8Section, U16 u16BuffLength, U8 u8ChannelId, U16 u16PID, U8 u8ContinuousCount);

// Per-tick senders; the carousel thread calls them with the lock held.
void SSD_SendBroadcastSI(void);
void SSD_WriteSubBroadcastSI(void);
void SSD_SendTimeSITableStt(void);
void SSD_SendTimeSITable(void);
// Master: sends the rows collected for the slave (command 851). Never
// called with the carousel lock held.
void SSD_SendSubPSITable(void);
// Master: messages for the slave chip made while locks are held (routing
// tables, TDT/TOT settings, SI rows) wait here; only the latest message of
// each command is kept. The chip link's worker (Comm/slavelink.h) sends them
// as they come, holding no lock (before it runs, the carousel tick does);
// anyone holding no lock may flush them too.
void SSD_PostSubMessage(ZR_COM_MAC_CMD emCmd, const U8* pu8Data, U32 u32DataLen);
// Any other send to a peer, under a key of its own (above 0xFFFF).
void SSD_PostPeerMessage(U32 u32Key, std::vector<U8> data, std::function<void(std::vector<U8>&)> send);
// The message waiting under a key (a chip-link command or another key).
BOOL SSD_GetPendingPeerMessage(U32 u32Key, std::vector<U8>* pData);
void SSD_FlushSubMessages(void);
// Master: starts the threads that send the outbox and the chip link's
// messages (SIP_Init does).
void SSD_StartPeerSender(void);
// Slave: the rows of command 851 (at most u32DataLen bytes).
U32 SSD_ReceiveSubSIInfo(U8* pu8Data, U32 u32DataLen = (SI_MAX_SUB_PACKET_NUM + 1) * SI_RECORD_BYTES);

// Pool operations.
void SSD_InitTSPacketInfo(U16 u16Index);
void SSD_InitSIPacketInfo(U16 u16OutTSIndex, U16 u16SIPacketIndex, U16 u16Pid);
U32 SSD_GetUnuseTSPacketIndexList(U16 u16UnusePacketNum, U16* aru16UnuseList);
U32 SSD_GetUnuseSIPacketIndexList(U16 u16UnusePacketNum, U16* aru16UnuseList);
U32 SSD_GetUnuseTimeTSPacketIndex(U16* pu16Index);
void SSD_InitTimeTSPacketInfo(U16 u16Index);

// Accessors.
SIPacket_t* SSD_GetSIPacketParam(void);
U8 SSD_GetSendInterval(void);
void SSD_SetSendInterval(U8 u8Interval);
U16 SSD_GetLastSIPacketIndex(U16 u16OutTSIndex);
U16 SSD_GetLastTSPacketIndex(U16 u16SIPacketIndex);
// Rows of the forwarding table (the records for or from the slave chip).
U32 (*SSD_GetSubPacketTable(void))[SI_RECORD_WORDS];
// Next continuity counter of a channel and PID on this chip.
U8 SSD_GetContinuityCounter(U8 u8Channel, U16 u16PID);

// Carousel thread and its tick.
void SIP_Init(void);
zrErrCode SIPacket_Start(void);
void* SIPacket_Service(void* arg);
// One tick of the carousel thread for the given chip role (the thread calls
// it whenever the tick counter moves).
void SIPacket_Tick(CHIP_TYPE emChipType);
// Restarts the TDT/TOT period count (start-up state).
void SIPacket_ResetTickCount(void);

// PSI interval in milliseconds (IP-monitor parameters). A set answers
// TSP_ERR_INPUT for 0 (nothing changes), ZR_ERR_NOT_SAVED when the interval
// is in force but the parameter file was not written.
U32 TSP_GetPSIInterval(U16* pu16Time);
U32 TSP_SetPSIInterval(U16 u16Time);
U32 TSP_SetSlavePSIInterval(U8* pu8Data, U32 u32DataLen = 2);
