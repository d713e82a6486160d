// Output-stream database: the records the input cards send, the output-stream
// file stores and the apply step reads, their two in-memory copies (live and
// web working copy), list walks, key lookups and the input cards' messages.
//
// Locking: every operation that changes a database, copies one or is an entry
// point of the frame server or the web back end takes CARD_STATE_LOCK
// (recursive). The read-only walkers and key lookups take no lock: their
// callers hold it. The SI carousel's lock is always taken after the
// card-state lock, never before it.
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include "Comm/ipcomm.h"
#include <cstddef>
#include <functional>

// ---------------------------------------------------------------------------
// Result values of the transport-stream code (used like zrErrCode values).
// ---------------------------------------------------------------------------
#define TSP_ERR_INPUT 0xC0000u             // null argument, index out of range, invalid record, key not found
#define TSP_ERR_NOT_IN_LIST 0xC0002u       // record to delete is not a member of its owner's list
#define TSP_ERR_MSG_LENGTH 0xC0006u        // message shorter than the records it announces
#define TSP_ERR_LIST_RANGE 0xC0008u        // list head outside its array, or list longer than IndexInfoList_t
#define TSP_ERR_TABLE_GROW 0xC0015u        // growing the table array failed
#define TSP_ERR_NO_MEMORY 0xC0016u         // growing another array, or resizing the working copy, failed
#define TSP_ERR_NOT_ENOUGH 0xC0017u        // too few free records, or a list length disagreeing with its count
#define TSP_ERR_PROGRAM_NOT_FOUND 0xC0018u // web edit names a program not in the stream
#define TSP_ERR_CHANNEL_NUMBER 0xC0019u    // ATSC channel number out of range or already used
#define TSP_ERR_NIT_SPACE 0xC001Eu         // edited NIT too long, or entry missing
#define TSP_ERR_TYPE 0xC001Fu              // command or PID type not handled, or table's stream missing
#define TSP_ERR_COUNT_MISMATCH 0xC0020u    // web view's count differs from the stream's
#define TSP_ERR_NIT_MALLOC 0xC0025u        // no scratch memory for a NIT
#define TSP_ERR_LIVE_CHANGED 0xC0026u      // commit refused: the live database changed under the web edit
#define TSP_ERR_DOES_NOT_FIT 0xC0027u      // the change would take a table or routing table past its limit

// Links between records: 16-bit array indexes; the PID record's own index
// fields are 32 bits wide.
#define TSP_INVALID_INDEX 0xFFFFu
#define TSP_INVALID_INDEX32 0xFFFFFFFFu
#define TSP_RECORD_VALID 1u

// Factory capacities, growth steps and most records asked for in one call.
#define TSP_FACTORY_TS_NUM 8u
#define TSP_FACTORY_PROGRAM_NUM 100u
#define TSP_FACTORY_PID_NUM 500u
#define TSP_FACTORY_TABLE_NUM 100u
#define TSP_FACTORY_DESC_NUM 100u
#define TSP_FACTORY_BYPASS_NUM 8u
#define TSP_GROW_TS_NUM 8u
#define TSP_GROW_PROGRAM_NUM 100u
#define TSP_GROW_PID_NUM 500u
#define TSP_GROW_TABLE_NUM 100u
#define TSP_GROW_DESC_NUM 100u
#define TSP_GROW_BYPASS_NUM 8u
#define TSP_MAX_NEED_PROGRAM 100u
#define TSP_MAX_NEED_PID 500u
#define TSP_MAX_NEED_TABLE 300u

#define TSP_INDEX_LIST_MAX 300u
#define TSP_INFO_MAX_LEN 188u          // in-record descriptor bytes (program, SDT, ES info)
#define TSP_DESC_INFO_MAX_LEN 1024u    // bytes of a descriptor record
#define TSP_TABLE_INFO_MAX_LEN 1024u   // bytes of a stored section
#define TSP_NAME_MAX_LEN 32u           // service and provider name
#define TSP_MAX_PID 0x1FFFu               // PIDs are 13 bits
#define TSP_MAX_SLOT_ID 16u            // slots 0..15 and the back board
#define TSP_MAX_CHANNEL_ID 7u          // output channels 0..7: four on each chip
#define TSP_MAX_STREAM_ID 0x3FFu       // input stream numbers: the routing word has 10 bits
#define TSP_ISDBT_ORIGINAL_NETWORK_ID 700u

// Kind of a PID record (u8PIDType).
typedef enum {
    PID_TYPE_INVALIDPID = 0,
    PID_TYPE_PMTPID = 1,
    PID_TYPE_PCRPID = 2,
    PID_TYPE_ESPID = 3,
    PID_TYPE_EMMPID = 4,
    PID_TYPE_PS_ECMPID = 5, // ECM of a whole program
    PID_TYPE_ES_ECMPID = 6, // ECM of one elementary stream
    PID_TYPE_OTHERPID = 7,  // passed into the stream without belonging to a program
    PID_TYPE_MAX_NUM = 8
} PIDTYPE_E;

// Result of every list walk and free-record search.
typedef struct {
    U16 u16IndexListNum;
    U16 aru16IndexList[TSP_INDEX_LIST_MAX];
} IndexInfoList_t;

#pragma pack(push, 1)

// One output transport stream.
typedef struct {
    U32 u32StructVersion;
    U32 u32Length;
    U16 u16NetworkID;
    U16 u16TransportStreamID;
    U16 u16OriginalNetworkID;
    U8 u8ValidFlag;
    U8 u8SlotID;
    U16 u16ChannelID;        // output channel; the key of the stream
    U16 u16ProgramNum;
    U16 u16ProgramIndex;
    U16 u16OtherPIDNum;
    U16 u16OtherPIDIndex;
    U16 u16EMMPIDNumber;
    U16 u16EMMPIDIndex;
    U8 u8PATVersionNumber;
    U8 u8PATChangeFlag;
    U8 u8BypassFlag;
    U8 u8SrcSlotID;
    U16 u16SrcChannelID;
    U16 u16NITIndex;
    U16 u16BATIndex;
    U16 u16TDTIndex;
    U16 u16TOTIndex;
    U16 u16OtherNITIndex;
    U16 u16OtherSDTIndex;
    U8 u8SDTVersionNumber;
    U8 u8SDTChangeFlag;
    U8 u8CATVersionNumber;
    U8 u8CATChangeFlag;
    U16 u16SrcStreamID;
    U8 u8SrcPort;
    U8 u8NITVersionNumber;
    U8 u8NITChangeFlag;
    U8 u8ModulationMode;
    U8 u8IsSDTChangedByUser;
    U8 u8Res;
    U16 u16DescriptorNum;
    U16 u16DescriptorIndex;
    U8 u8PATGenerate;
    U8 u8PMTGenerate;
    U8 u8CATGenerate;
    U8 u8SDTGenerate;
    U8 u8BATGenerate;
    U8 u8NITGenerate;
    U8 u8TDTGenerate;
    U8 u8TOTGenerate;
    U16 u16TransChannel;
    U8 u8EITGenerate;
    U8 u8BATChangeFlag;
    U8 u8BATVersionNumber;
    U8 u8HasTsInfoFlag;
    U16 u16PATPID;
    U8 u8MGTGenerate;
    U8 u8VCTGenerate;
    U8 u8STTGenerate;
    U8 u8ETTGenerate;
    U32 u32VCTType;
    // ATSC: the versions of the stream's VCT and MGT and the content they
    // went on air with, kept so that a restart steps them only for a change
    // (bit 0 of u8PSIPKept: VCT, bit 1: MGT; 0 in files of earlier firmware).
    U8 u8VCTVersionNumber;
    U8 u8MGTVersionNumber;
    U8 u8PSIPKept;
    U8 u8Res2;
    U32 u32VCTContent;
    U32 u32MGTContent;
    U32 u32Res[87];
} Output_TSStream;

// One program (service) of an output stream.
typedef struct {
    U32 u32StructVersion;
    U32 u32Length;
    U8 u8ValidFlag;
    U8 u8SourceSlotID;
    U16 u16SourceChannelID;
    U16 u16ChannelID;
    U8 u8SlotID;
    U8 u8PMTVersionNumber;
    U16 u16TSIndex;
    U16 u16ProgramIndex;
    U16 u16ProgramID;        // input card's identifier of the program
    U16 u16NextProgramIndex;
    U16 u16PSECMPIDNumber;
    U16 u16PSECMPIDIndex;
    U16 u16OldServiceID;
    U16 u16OldPCRPID;
    U16 u16OldPMTPID;
    U16 u16ServiceID;
    U16 u16PCRPID;
    U16 u16PMTPID;
    U16 u16ESNumber;
    U16 u16PCRIndex;
    U16 u16PIDIndex;
    U8 u8ServiceNameLen;
    U8 u8ServiceProviderLen;
    U8 aru8ServiceName[32];
    U8 aru8ServiceProvider[32];
    U8 u8ServiceType;
    U8 u8RunningStatus;
    U8 u8FreeCAMode;
    U8 u8EITScheduleFlag;
    U8 u8EITPresentFollowingFlag;
    U8 u8PMTChangeFlag;
    U16 u16ProgramInfoLength;
    U8 aru8ProgramInfo[188];
    U16 u16SDTInfoLength;
    U8 u8CAMIndex;
    U8 u8CIFlag;
    U8 aru8SDTInfo[188];
    U16 u16ProgramInfoDescriptorIndex;
    U16 u16SDTInfoDescriptorIndex;
    U16 u16MajorChannelNum;
    U16 u16MinorChannelNum;
    U32 u32CarrierFrequency;
    U16 u16ChannelTSID;
    U16 u16SourceId;
    U8 u8ModulationMode;
    U8 u8VCTType;
    U8 u8SrcPort;
    U8 u8OtherInfo;
    U16 u16WebChannel;
    U8 u8DescrambFlag;
    U8 u8Res;
    U16 u16SrcStreamId;
    U16 u16Res;
    U32 u32Res[98];
} Output_TSProgram;

// One PID.
typedef struct {
    U32 u32StructVersion;
    U32 u32Length;
    U8 u8ValidFlag;
    U8 u8SourceSlotID;
    U16 u16SourceChannelID;
    U8 u8SlotID;
    U8 u8PIDFilterFlag;
    U16 u16ChannelID;
    U32 u32TSIndex;
    U32 u32ProgramIndex;
    U32 u32PIDIndex;
    U16 u16ProgramID;
    U16 u16PIDID;            // input card's identifier; of an ES-ECM: the ES's identifier
    U32 u32NextPIDIndex;     // followed on its low 16 bits
    U16 u16ESECMPIDNumber;
    U16 u16ESECMPIDIndex;    // of an ES: first ES-ECM; of an ES-ECM: its own identifier
    U8 u8PIDType;            // PIDTYPE_E
    U8 u8StreamType;
    U16 u16OldPID;
    U16 u16PID;
    U16 u16CASID;
    U16 u16ESInfoLength;
    U16 u16SrcStreamID;
    U8 aru8ESInfo[188];
    U16 u16ESInfoDescriptorIndex;
    U16 u16CISrcPID;
    U16 u16SrcCIStreamID;
    U16 u16ESPIDIndex;       // of an ES-ECM: its elementary stream
    U32 u32Res[31];
} Output_TSPID;

// One stored SI table section.
typedef struct {
    U32 u32StructVersion;
    U32 u32Length;
    U8 u8ValidFlag;
    U8 u8SlotID;
    U16 u16ChannelID;
    U16 u16Index;
    U16 u16NextIndex;
    U16 u16TSIndex;
    U8 u8TableType;
    U8 u8IsChangedByUser;
    U16 u16PID;
    U16 u16TableID;
    U16 u16SectionNumber;
    U16 u16LastSectionNumber;
    U16 u16TableInfoLen;
    U16 u16res;
    U8 aru8TableInfo[1024];
    U32 aru32Res[32];
} TSTable;

// One long descriptor block (program information beyond 188 bytes).
typedef struct {
    U32 u32StructVersion;
    U32 u32Length;
    U8 u8ValidFlag;
    U8 u8SlotID;
    U16 u16ChannelID;
    U16 u16ProgramIndex;     // on the wire: the input card's program identifier
    U16 u16PIDIndex;
    U8 u8DescriptorInfo[1024];
    U16 u16DescriptorIndex;
    U16 u16DescriptorID;
    U16 u16NextDescriptorIndex;
    U16 u16TSIndex;
    U16 u16SrcStreamID;
    U16 u16SourceChannelID;
    U8 u8SourceSlotID;
    U8 aru8Res[3];
    U32 u32Res[28];
} TSDescriptor;

// One pass-through stream record.
typedef struct {
    U32 u32StructVersion;
    U8 u8ValidFlag;
    U8 u8SourceSlotID;
    U16 u16SourceChannelID;
    U32 aru32BypassDestChannel[8];
    U32 u32Res[10];
} Passthrough_TSStream;

// A monitored PID reported by an input card (command 275).
typedef struct {
    U8 u8PIDType;
    U8 u8StreamType;
    U16 u16OldPID;
    U16 u16NewPID;
    U8 u8SrcSlot;
    U8 u8Pad;
    U16 u16SrcChannel;
    U16 u16DestChannel;
    U16 u16PIDID;
    U16 u16CASID;
    U8 aru8DescriptorInfo[188];
    U16 u16DescriptorInfoLength;
    U16 u16DescriptorIndex;
} MonitorPID_t;

// Identity record of the deletion commands.
typedef struct {
    U8 u8SourceSlotID;
    U8 u8Res;
    U16 u16SourceChannelID;
    U16 u16ChannelID;
    U16 u16ProgramID;
} Delete_TSProgramDescriptor;

// The six capacities, as the OID store keeps them.
typedef struct {
    U32 u32OutputTSNumber;
    U32 u32OutputProgramNumber;
    U32 u32OutputPIDNumber;
    U32 u32OutputTableNumber;
    U32 u32OutputDescriptorNumber;
    U32 u32OutputBypassTSNumber;
} TSInfoInitNum;

#pragma pack(pop)

// The database header (memory only). Capacities count records, used or free.
typedef struct {
    Output_TSStream* pOutputTS;
    Output_TSProgram* pOutputProgram;
    Output_TSPID* pOutputPID;
    TSTable* pOutputTable;
    TSDescriptor* pDescriptor;
    Passthrough_TSStream* pOutputBypassTS;
    U32 u32OutputTSNumber;
    U32 u32OutputProgramNumber;
    U32 u32OutputPIDNumber;
    U32 u32OutputTableNumber;
    U32 u32OutputDescriptorNumber;
    U32 u32OutputBypassTSNumber;
} Output_TSInfo;

static_assert(sizeof(IndexInfoList_t) == 602, "IndexInfoList_t layout");
static_assert(sizeof(Output_TSStream) == 448, "Output_TSStream layout");
static_assert(offsetof(Output_TSStream, u8ValidFlag) == 14, "Output_TSStream layout");
static_assert(offsetof(Output_TSStream, u16ChannelID) == 16, "Output_TSStream layout");
static_assert(offsetof(Output_TSStream, u8BypassFlag) == 32, "Output_TSStream layout");
static_assert(offsetof(Output_TSStream, u16NITIndex) == 36, "Output_TSStream layout");
static_assert(offsetof(Output_TSStream, u16SrcStreamID) == 52, "Output_TSStream layout");
static_assert(offsetof(Output_TSStream, u16DescriptorNum) == 60, "Output_TSStream layout");
static_assert(offsetof(Output_TSStream, u8PATGenerate) == 64, "Output_TSStream layout");
static_assert(offsetof(Output_TSStream, u16TransChannel) == 72, "Output_TSStream layout");
static_assert(offsetof(Output_TSStream, u16PATPID) == 78, "Output_TSStream layout");
static_assert(offsetof(Output_TSStream, u32VCTType) == 84, "Output_TSStream layout");
static_assert(offsetof(Output_TSStream, u8VCTVersionNumber) == 88, "Output_TSStream layout");
static_assert(offsetof(Output_TSStream, u32Res) == 100, "Output_TSStream layout");

static_assert(sizeof(Output_TSProgram) == 920, "Output_TSProgram layout");
static_assert(offsetof(Output_TSProgram, u8ValidFlag) == 8, "Output_TSProgram layout");
static_assert(offsetof(Output_TSProgram, u16TSIndex) == 16, "Output_TSProgram layout");
static_assert(offsetof(Output_TSProgram, u16ProgramID) == 20, "Output_TSProgram layout");
static_assert(offsetof(Output_TSProgram, u16OldServiceID) == 28, "Output_TSProgram layout");
static_assert(offsetof(Output_TSProgram, u16PIDIndex) == 44, "Output_TSProgram layout");
static_assert(offsetof(Output_TSProgram, aru8ServiceName) == 48, "Output_TSProgram layout");
static_assert(offsetof(Output_TSProgram, u8ServiceType) == 112, "Output_TSProgram layout");
static_assert(offsetof(Output_TSProgram, u16ProgramInfoLength) == 118, "Output_TSProgram layout");
static_assert(offsetof(Output_TSProgram, aru8ProgramInfo) == 120, "Output_TSProgram layout");
static_assert(offsetof(Output_TSProgram, u16SDTInfoLength) == 308, "Output_TSProgram layout");
static_assert(offsetof(Output_TSProgram, aru8SDTInfo) == 312, "Output_TSProgram layout");
static_assert(offsetof(Output_TSProgram, u16ProgramInfoDescriptorIndex) == 500, "Output_TSProgram layout");
static_assert(offsetof(Output_TSProgram, u32CarrierFrequency) == 508, "Output_TSProgram layout");
static_assert(offsetof(Output_TSProgram, u16WebChannel) == 520, "Output_TSProgram layout");
static_assert(offsetof(Output_TSProgram, u16SrcStreamId) == 524, "Output_TSProgram layout");
static_assert(offsetof(Output_TSProgram, u32Res) == 528, "Output_TSProgram layout");

static_assert(sizeof(Output_TSPID) == 372, "Output_TSPID layout");
static_assert(offsetof(Output_TSPID, u16ChannelID) == 14, "Output_TSPID layout");
static_assert(offsetof(Output_TSPID, u32TSIndex) == 16, "Output_TSPID layout");
static_assert(offsetof(Output_TSPID, u16PIDID) == 30, "Output_TSPID layout");
static_assert(offsetof(Output_TSPID, u32NextPIDIndex) == 32, "Output_TSPID layout");
static_assert(offsetof(Output_TSPID, u8PIDType) == 40, "Output_TSPID layout");
static_assert(offsetof(Output_TSPID, u16PID) == 44, "Output_TSPID layout");
static_assert(offsetof(Output_TSPID, aru8ESInfo) == 52, "Output_TSPID layout");
static_assert(offsetof(Output_TSPID, u16ESInfoDescriptorIndex) == 240, "Output_TSPID layout");
static_assert(offsetof(Output_TSPID, u16ESPIDIndex) == 246, "Output_TSPID layout");
static_assert(offsetof(Output_TSPID, u32Res) == 248, "Output_TSPID layout");

static_assert(sizeof(TSTable) == 1184, "TSTable layout");
static_assert(offsetof(TSTable, u16Index) == 12, "TSTable layout");
static_assert(offsetof(TSTable, u8TableType) == 18, "TSTable layout");
static_assert(offsetof(TSTable, u16TableInfoLen) == 28, "TSTable layout");
static_assert(offsetof(TSTable, aru8TableInfo) == 32, "TSTable layout");
static_assert(offsetof(TSTable, aru32Res) == 1056, "TSTable layout");

static_assert(sizeof(TSDescriptor) == 1168, "TSDescriptor layout");
static_assert(offsetof(TSDescriptor, u16ProgramIndex) == 12, "TSDescriptor layout");
static_assert(offsetof(TSDescriptor, u8DescriptorInfo) == 16, "TSDescriptor layout");
static_assert(offsetof(TSDescriptor, u16DescriptorIndex) == 1040, "TSDescriptor layout");
static_assert(offsetof(TSDescriptor, u16TSIndex) == 1046, "TSDescriptor layout");
static_assert(offsetof(TSDescriptor, u8SourceSlotID) == 1052, "TSDescriptor layout");
static_assert(offsetof(TSDescriptor, u32Res) == 1056, "TSDescriptor layout");

static_assert(sizeof(Passthrough_TSStream) == 80, "Passthrough_TSStream layout");
static_assert(offsetof(Passthrough_TSStream, aru32BypassDestChannel) == 8, "Passthrough_TSStream layout");
static_assert(offsetof(Passthrough_TSStream, u32Res) == 40, "Passthrough_TSStream layout");

static_assert(sizeof(MonitorPID_t) == 208, "MonitorPID_t layout");
static_assert(offsetof(MonitorPID_t, u16SrcChannel) == 8, "MonitorPID_t layout");
static_assert(offsetof(MonitorPID_t, aru8DescriptorInfo) == 16, "MonitorPID_t layout");
static_assert(offsetof(MonitorPID_t, u16DescriptorInfoLength) == 204, "MonitorPID_t layout");
static_assert(sizeof(Delete_TSProgramDescriptor) == 8, "Delete_TSProgramDescriptor layout");
static_assert(sizeof(TSInfoInitNum) == 24, "TSInfoInitNum layout");

// ---------------------------------------------------------------------------
// The two copies.
// ---------------------------------------------------------------------------
Output_TSInfo* TSP_GetTSParam(void);     // live database
Output_TSInfo* TSP_GetTempTSParam(void); // web working copy
extern Output_TSInfo g_stTempTSParam;

// Whole-database operations.
void TSP_InitOutputTSInfo(void);
U32 TSP_FreeOutputTSInfo(void);
U32 TSP_FactoryOutputTSInfo(void);
zrErrCode TSP_InitTSInfo(Output_TSInfo* pstParamTS, TSInfoInitNum* pstTSInfoInitNum);

// A whole copy of a database in arrays of its own (all six), and its
// release; 0, or TSP_ERR_NO_MEMORY with nothing allocated.
U32 TSP_CloneTSInfo(const Output_TSInfo* pstSrc, Output_TSInfo* pstDst);
void TSP_ReleaseTSInfo(Output_TSInfo* pst);
// A factory database in arrays of its own (the live pass-through records
// copied in); 0, or TSP_ERR_NO_MEMORY with nothing allocated.
U32 TSP_BuildFactoryTSInfo(Output_TSInfo* pstNew);
// After the live database was replaced whole (TSP_PlanReplace): the working
// copy, of another state, is closed and freed, as at a free.
void TSP_LiveReplaced(void);

// Working copy: open, copy from live (also the rollback of a web edit), commit.
// A commit never undoes a change of the live database that the working copy
// did not see: the opening takes digests of both copies, so the commit knows
// whether the operator edited anything and whether the live database changed.
// There is one working copy, shared by every page: each opening throws away
// the edits it holds. Edits of pages that name the revision are told so by
// the revision; edits of pages that name none, thrown away while no answer
// reported them, are noted, and the next commit that names no revision is
// refused for them.
U32 TSP_InitOutputTempTSInfo(void);
void TSP_CopyOutputTempTSInfo(void);
// The working copy's revision: the version of what the pages show of it. It
// steps whenever that changed (an edit of any page, an opening that changed
// it, a live change carried into it) and when the copy is closed, and at
// nothing else (an apply that changes only table versions, an opening that
// finds the same records). Views, edits and applies answer with it.
U32 TSP_GetTempRevision(void);
// The revision this thread was last given (by TSP_GetTempRevision, a check, a
// commit or an apply step): the answer of an apply that let go of the
// card-state lock carries the one its own apply step ended with.
U32 TSP_LastTempRevision(void);
// Before a view of the working copy: a closed copy is opened, and one that the
// live database left behind is opened again (edits made on it could no
// longer be committed; they are gone, noted as for any opening). 0, or
// TSP_ERR_NO_MEMORY.
U32 TSP_ViewTemp(void);
// A page loaded the whole working copy (just opened): a note that a refusal
// was told to a page that may not have made the edits it dropped ends here.
void TSP_TempPageLoaded(void);
// Around one page's edit of the working copy (after TSP_CheckTempEdit passed):
// whether its request named the revision, so that the edits it leaves are
// known as the edits of a page that names it, or of one that names none.
void TSP_BeginTempEdit(bool bNamed);
void TSP_EndTempEdit(void);
// Commit. Without an edit since the opening nothing is copied (0). Edits over
// a live database as it was when they began are copied (0, or
// TSP_ERR_NO_MEMORY when the live arrays could not be brought to the working
// copy's capacities; the live database is then unchanged). Edits over a live
// database that changed since are refused with TSP_ERR_LIVE_CHANGED: nothing
// is copied and the working copy is opened again from the live database. A
// check given is run on the working copy just before it would be copied; its
// non-zero result refuses the commit (nothing copied, the edits kept).
// Without a revision a commit is also refused (TSP_ERR_LIVE_CHANGED) where the
// card cannot tell whose edits it would apply: after dropped edits, after a
// refusal that dropped another page's edits (until the next load), and over
// the edits of a page that names its revision. The edits it refuses are
// thrown away, so that no other caller's commit puts them on air.
U32 TSP_CopyOutputTSInfo(const std::function<U32(const Output_TSInfo*)>& check = nullptr);
// The same for a page that names the revision it was shown: refused with
// TSP_ERR_LIVE_CHANGED, changing nothing, when that is not the copy's.
U32 TSP_CommitTempTSInfo(U32 u32Revision, const std::function<U32(const Output_TSInfo*)>& check = nullptr);
// Before a page's edit of the working copy (pu32Revision: the revision it
// names, or nullptr): TSP_ERR_LIVE_CHANGED when the copy is not the state the
// page was shown, as far as the card can tell (another revision; edits over a
// live database that changed since, which are then thrown away; for a page
// that names none, the edits of a page that names one, or a refusal since the
// last load that dropped edits of another page). A closed copy is opened for
// a page that names no revision; an unedited copy that the live database left
// behind is opened again first.
U32 TSP_CheckTempEdit(const U32* pu32Revision);
// Opens the working copy from the live database unless an edit is open, so a
// commit never copies an empty working copy over the live database.
U32 TSP_OpenTempTSInfoIfClosed(void);
// Whether a web edit is open (its working copy filled from the live database).
bool TSP_IsTempTSInfoOpen(void);
// Whether the open working copy differs from what it was opened (or last
// committed) with: the operator's edits.
bool TSP_IsTempTSInfoEdited(void);
// Runs a change of the live database that is not the operator's edit but must
// survive it (an automatic NIT, an imported NIT, table switches). change(true):
// the working copy holds edits, and change makes the same change to it; then
// the change does not count against the edits (what the pages show changed,
// so the revision steps), and where it wrote over an edit the copy is opened
// again (the edits dropped). change(false): no edits; the working copy is
// opened from the live database afterwards. While a TSP_OwnTempChange lives
// the change is the page's own: the working copy always takes it, as one of
// its edits.
U32 TSP_ChangeLiveWithTemp(const std::function<U32(bool bEdited)>& change);
// Marks the changes made while it lives as those of the page of the current
// revision (checked with TSP_CheckTempEdit first).
class TSP_OwnTempChange {
public:
    TSP_OwnTempChange();
    ~TSP_OwnTempChange();
    TSP_OwnTempChange(const TSP_OwnTempChange&) = delete;
    TSP_OwnTempChange& operator=(const TSP_OwnTempChange&) = delete;
};
// Runs the apply step, whose writes to the live database (conflict handling,
// table versions) follow from its records: they do not count against the
// edits, and an unedited working copy is opened again from the result.
U32 TSP_DeriveLive(const std::function<U32()>& apply);

// Free-record search (grows the array when it is full).
U32 TSP_GetUnusedOutputTSIndex(U16* pu16OutputIndex, Output_TSInfo* pstParamTS);
U32 TSP_GetUnusedOutputProgList(IndexInfoList_t* pstIndexUnusedList, Output_TSInfo* pstParamTS, U32 u32NeedNum);
U32 TSP_GetUnusedOutputPIDIndex(IndexInfoList_t* pstIndexUnusedList, Output_TSInfo* pstParamTS, U32 u32NeedNum);
zrErrCode TSP_GetUnusedOutputTableIndexList(IndexInfoList_t* pstIndexList, Output_TSInfo* pstParamTS, U32 u32NeedNum);
U32 TSP_GetUnusedOutputDescIndex(U16* pu16OutputDescIndex, Output_TSInfo* pstParamTS);
U32 TSP_GetUnusedOutputBypassTsIndex(U16* pu16OutputIndex, Output_TSInfo* pstParamTS);

// Initialisers: set what a record needs to join the database.
U32 TSP_InitOneOutputTSStream(Output_TSStream* pstTS);
U32 TSP_InitOneOutputTSProgram(Output_TSProgram* pstProgram);
U32 TSP_InitOneOutputTSPID(Output_TSPID* pstPID);
U32 TSP_InitOneOutputTable(TSTable* pstTable);
U32 TSP_InitOneOutputTSDescriptor(TSDescriptor* pstDesc);
U32 TSP_InitOneOutputBypassTS(Passthrough_TSStream* pstBypass);

// Debug dumps of one live record.
U32 TSP_DebugPrintOneTS(U16 u16Index);
U32 TSP_DebugPrintOneProgram(U16 u16Index);
U32 TSP_DebugPrintOnePID(U16 u16Index);
U32 TSP_DebugPrintOneBypassTS(U16 u16Index);

// ---------------------------------------------------------------------------
// List walkers (no lock: callers hold CARD_STATE_LOCK).
// ---------------------------------------------------------------------------
U32 TSP_GetOutTSProgIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList);
U32 TSP_GetOutTSEMMPIDIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList);
U32 TSP_GetOutTSOtherPIDIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList);
U32 TSP_GetOutProgPSECMPIDIndexList(U16 u16InProgIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList);
U32 TSP_GetOutESECMPIDIndexList(U16 u16InPIDIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList);
U32 TSP_GetOutProgESPIDIndexList(U16 u16InProgIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList);
// Every elementary stream of the chain, filtered ones included (deletions).
U32 TSP_GetOutProgAllESPIDIndexList(U16 u16InProgIndex, const Output_TSInfo* pstParamTS,
                                    IndexInfoList_t* pstIndexList);
U32 TSP_GetOutTSDescIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList);
U32 TSP_GetOutTSNITTableIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList);
U32 TSP_GetOutTSBATTableIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList);
U32 TSP_GetOutTSOtherNitTableIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList);
U32 TSP_GetOutTSOtherSdtTableIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList);
U32 TSP_GetOutTSTOTTableIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList);
// 0 when every list of every valid stream walks as a proper chain (no loop,
// no head or member out of range), else the first walker's error (logged).
U32 TSP_CheckLinks(const Output_TSInfo* pstParamTS);

// Tail getters: last member of a list, or 0xFFFF when it is empty.
U32 TSP_GetOutTSProgLastIndex(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, U16* pu16LastIndex);
U32 TSP_GetOutTSEMMPIDLastIndex(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, U16* pu16LastIndex);
U32 TSP_GetOutTSOtherPIDLastIndex(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, U16* pu16LastIndex);
U32 TSP_GetOutProgPIDListLastIndex(U16 u16InProgIndex, const Output_TSInfo* pstParamTS, U16* pu16LastIndex);
U32 TSP_GetOutProgPSECMPIDLastIndex(U16 u16InProgIndex, const Output_TSInfo* pstParamTS, U16* pu16LastIndex);
U32 TSP_GetOutESECMPIDLastIndex(U16 u16InPIDIndex, const Output_TSInfo* pstParamTS, U16* pu16LastIndex);
zrErrCode TSP_GetOutTSLastDescIndex(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, U16* pu16LastIndex);
// Members of a program's ES chain, filtered ones included (what its tail walk
// holds): an append must not take it beyond TSP_INDEX_LIST_MAX.
U32 TSP_GetOutProgESPIDChainLength(U16 u16InProgIndex, const Output_TSInfo* pstParamTS, U16* pu16Length);

// Key lookups on the live database: lowest matching index, 0xFFFF when none.
U32 TSP_GetOutputTSIndexByTS(U16 u16Channel, U16* pu16OutputIndex);
U32 TSP_GetOutputTSIndexByProgram(U16 u16Channel, U16* pu16OutputIndex);
U32 TSP_GetOutputProgramIndexByPID(U8 u8SourceSlotID, U16 u16SourceChannelID, U16 u16ChannelID, U16 u16ProgramID,
                                   U16* pu16OutputIndex);
U32 TSP_GetOutputPIDIndexByPID(U8 u8SourceSlotID, U16 u16SourceChannelID, U16 u16ChannelID, U16 u16PIDID,
                               U16* pu16OutputIndex);
U32 TSP_GetOutputBypassTSIndex(U8 u8SourceSlotID, U16 u16SourceChannelID, U16* pu16OutputIndex);
U32 TSP_GetDestInfoByOutTSIndex(U16 u16OutTSIndex, const Output_TSInfo* pstParamTS, U8* pu8DestSlot,
                                U16* pu16DestChannel);
// Find or create (takes the lock): the stream of an output channel.
U32 TSP_GetOutputTSIndexByPID(U16 u16Channel, U16* pu16OutputIndex);

// ---------------------------------------------------------------------------
// Records from the input cards (frame server thread).
// ---------------------------------------------------------------------------
// The message: one count byte, then the records back to back.
U32 TSP_ConstructOutputTS(U8* u8Buffer, IPCOMM_CMD eDataType, U16 u16Length);
U32 TSP_ConstructOutputTSByAddTS(U8* u8Buffer, U16 u16Number, U16 u16Length);
U32 TSP_ConstructOutputTSByAddPrograms(U8* u8Buffer, U16 u16Number, U16 u16Length);
U32 TSP_ConstructOutputTSByAddPIDs(U8* u8Buffer, U16 u16Number, U16 u16Length);
U32 TSP_ConstructOutputTSByAddDescriptors(U8* u8Buffer, U16 u16Number, U16 u16Length);
U32 TSP_ConstructOutputTSByAddNITTable(U8* u8Buffer, U16 u16Number, U16 u16Length);
U32 TSP_ConstructOutputTSBySetSCR(U8* u8Buffer, U16 u16Number, U16 u16Length);
U32 TSP_ConstructOutputTSByDelSCRInfo(U8* u8Buffer, U16 u16Number, U16 u16Length);
U32 TSP_ConstructOutputTSBySetSCRPIDInfo(U8* u8Buffer, U16 u16Number, U16 u16Length);
U32 TSP_ConstructOutputTSByMonitorPID(U8* u8Buffer, U16 u16Length);
U32 TSP_ConstructOutputTSByAddBypassTs(U8* u8Buffer, U16 u16Number, U16 u16Length);
U32 TSP_ConstructOutputTSByDelBypassTS(U8* u8Buffer, U16 u16Number, U16 u16Length);
U32 TSP_IsProgramRepeated(U8 u8SourceSlotID, U16 u16SourceChannelID, U16 u16ChannelID, U16 u16ServiceID,
                          BOOL* bRepeat);

// Deletions by input identity (8-byte Delete_TSProgramDescriptor records).
U32 TSP_ConstructOutputTSByDelTS(U8* u8Buffer, U16 u16Number, U16 u16Length);
U32 TSP_ConstructOutputTSByDelProgram(U8* u8Buffer, U16 u16Number, U16 u16Length);
U32 TSP_ConstructOutputTSByDelPID(U8* u8Buffer, U16 u16Number, U16 u16Length);
U32 TSP_ConstructOutputTSByDelDescriptors(U8* u8Buffer, U16 u16Number, U16 u16Length);
