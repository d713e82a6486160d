// PSI/SI generation per output stream: which tables a stream gets in the
// card's SI mode, built through the table models and the section codec and
// handed to the SI carousel; the ATSC STT per channel; MJD, UTC and BCD.
//
// The stream builders share one construction buffer and static models; their
// callers (the apply step) hold CARD_STATE_LOCK and not the carousel lock.
// The STT build runs on the carousel thread inside the carousel lock: it
// uses a buffer of its own and the state published for it, which it only
// refreshes when the card-state lock is free (lock order).
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include "SIprocess/SIsend.h"
#include <ctime>
#include <vector>

#define SIP_PID_PAT 0x0000
#define SIP_PID_CAT 0x0001
#define SIP_PID_NIT 0x0010
#define SIP_PID_SDT 0x0011
#define SIP_PID_TDT_TOT 0x0014
#define SIP_PID_PSIP_BASE 0x1FFB
#define SIP_CONSTRUCT_BUF_LEN 10240

// SI mode of this chip: 0 DVB tables, 1 ATSC PSIP.
U8 SIP_GetCurrentSIMode(void);

// A table whose content changed since its last build while its version
// stood still (no change flag: conflict resolution rewrites PIDs and ids)
// gets the next version. This forgets what the tables last carried, for a
// database rebuilt from scratch.
void SIP_ResetContentHistory(void);

// A plan of the output streams' tables. While one is open the stream
// builders put their tables into it, cut into the carousel entries they will
// be (vecChannels gives each entry's output channel), and note there what
// they could not build; what the tables carried (for version steps) is
// remembered only when the plan is kept.
typedef struct {
    U16 u16OutTSIndex;
    U16 u16Program;  // the program of a PMT, 0xFFFF for a stream's table
    const char* pcTable;
    U32 u32Code;
} SIP_TableFailure;
typedef struct {
    std::vector<SSD_Table> vecTables;
    std::vector<U8> vecChannels;
    std::vector<SIP_TableFailure> vecFailures;
} SIP_TablePlan;
void SIP_BeginPlan(SIP_TablePlan* pstPlan);
void SIP_EndPlan(bool bKeep);
void SIP_NoteTableFailure(U16 u16OutTSIndex, U16 u16Program, const char* pcTable, U32 u32Code);

// One table kind of one output stream into the carousel; 0 when built or not due.
U32 TSP_ConstructPAT(U32 u32OutputTsIndex);
U32 TSP_ConstructCAT(U32 u32OutputTsIndex);
U32 TSP_ConstructNIT(U32 u32OutputTsIndex);
U32 TSP_ConstructSDT(U32 u32OutputTsIndex);
U32 TSP_ConstructPMTs(U32 u32OutputTsIndex);
U32 TSP_ConstructPSIP(U32 u32OutTSIndex);
// The PMT of one output program into the construction buffer; the length is
// 0 when it could not be built.
U32 TSP_ConstructPMTForProg(U16 u16OutputProgIndex, U32 u32OutputTsIndex, U16* pu16SectionLength);
// Builds the STT once and stages it for every eligible output channel. Runs
// on the carousel thread inside its lock.
U32 TSP_ConstructSTT(void);
// Publishes what the STT build reads (SI mode, the back board's time
// settings, the channels with STT generation); takes the card-state lock.
// The slave takes its time settings and channels from what the master sent.
U32 SIP_PublishSTTState(void);
// Master: sends the slave which channels carry the STT (one byte per output
// channel 0..7, 1 for yes), queued for the peer sender.
void TSP_SendSubSTTEnableFlag(void);
// Slave: takes those 8 bytes from the master.
void SIP_SetSTTChannels(const U8* pu8Flags);

// True when an other-PID record of the stream carries the PID (the input's
// own table then reaches the output).
BOOL IsPSITableInOtherPID(U16 u16OutputTsIndex, U16 u16PID);
// True when the PID is in use on the stream's output channel.
BOOL IsPIDExistInTS(U16 u16OutputIndex, U16 u16PID);

U32 TSP_GetVctTypeAndModulation(U32* pu32VctType, U8* pu8Modulation);
// Current UTC as 16-bit MJD, then hour, minute, second in BCD.
void TSP_GetUTCTime(U8* aru8UTCTime);
// The same fields for a given moment (seconds since 1970, 64-bit so that
// dates past 2038 convert); the MJD keeps the field's low 16 bits.
void TSP_UTCTimeOf(time_t tSeconds, U8* aru8UTCTime);
// Year counted from 1900, month 1..12.
U16 TSP_CalMJD(U16 u16Year, U16 u16Month, U16 u16Day);
U8 TSP_CalBCD(U8 u8Value);
void TSP_ClearAllSIInfo(void);
