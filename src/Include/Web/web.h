// Web management back end: what start-up and the other modules need.
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include "DTMB/dtmb_param.h"
#include "Parameter/parameters.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp_view.h"
#include <cstddef>
#include <string>

U32 Web_Start(void);
// Hardware slot of a slot number as the user interface shows it; 255 = none.
U8 Web_GetRealSlot(U8 u8VRNType, U8 u8WebSlot);
// J.83 Annex B / 8VSB frequency check of a modulation set: 0 or 831.
zrErrCode web_Check_QAMB_Frequency(TParameter_DTMB* pstOldTParameter_DTMB);
// View of an output channel from the live output-stream database.
U32 Web_GetTSWebInfo(U16 u16Channel, Output_WebTSInfo* pstWebTSInfo);
// Reboots the card (both chips) through the board manager.
zrErrCode Web_Reboot(void);
// View of an output channel from the web working copy.
U32 Web_GetTempTSWebInfo(U16 u16Channel, Output_WebTSInfo* pstWebTSInfo);
// Commits the working copy (pu32Revision: the revision the page names, or
// nullptr), sends the EIT records, applies, and sends the slave its routing
// tables. 0; 783 when the commit was refused (nothing changed); 19 when the
// apply stopped (the committed streams in force, not saved).
U32 Web_MuxProcess(const U32* pu32Revision = nullptr);
// Applies the live database and sends the slave its routing tables; nonzero
// when the apply stopped.
U32 Web_MuxProcessForPSITransparent(void);

// Accessors the web back end also offers to its own handlers.
void Web_GetPSIInterval(U16* out);
// 0, or non-zero when the interval is refused (0 or above 16 bits).
U32 Web_SetPSIInterval(U32 value);
// Web modulation type: 0 DVB-T, 1 DTMB, 2..6 the modulation mode itself, 7 other.
U8 Web_GetBoardType(void);
U8 Web_GetPowerLevelType(void);
zrErrCode Web_SetSingleMode(U32 value);
U32 _web_GetOutChannelNumbyPort(U32 port);
U32 _web_GetOutRealChannel(U32 port, U32 channel);

// ---- Web core: the POST dispatcher and what every handler shares ----
struct buffer;
struct server;
struct connection;
struct cJSON;

typedef enum {
    WEB_SUCCESS = 0,
    WEB_FAILURE = 1,
    WEB_TIMEOUT = 2,
    WEB_RESTART_SUCCESS = 3,
    WEB_RESTART_FAILURE = 4
} zrWebErrCode;

typedef zrErrCode (*ProcessHandle)(buffer* reply);
typedef struct {
    const char* pcStr;
    ProcessHandle pfProcess;
} WEBInterface;

extern const WEBInterface arstWEBComm[];
// Joined body of the request being handled; valid during web_ProcessData.
extern char* g_ps8RevData;

S32 web_ProcessData(buffer* reply, server* srv, connection* con);
U32 web_ProcessIsLargeData(connection* con);
zrWebErrCode Web_MonitorServer(void);
S32 web_GetHttpRequestCount(void);

zrErrCode _web_checkToken(cJSON* body);
S32 web_processErr(buffer* reply, zrErrCode code, char* key);
// An error reply whose description says more than the code's text (what did
// change); a handler that writes one returns ZR_SUCCESS, as its reply is written.
S32 web_processErrText(buffer* reply, zrErrCode code, const char* text);
// The error reply of an editor command: the code, its text and "data" with
// the revision the page goes on with.
S32 web_processErrRevision(buffer* reply, zrErrCode code, U32 u32Revision);
S32 web_processSuccess(buffer* reply);
void _web_addToWriteBuff(cJSON* root, buffer* reply);
void web_getStringVersionFromNumber(U32 version, char* out);
void web_getStringLogicVersionFromNumber(U32 version, char* out);

const char* web_GetErrCodeString(zrErrCode code);
void web_REG_Read_fortest(U32 reg, U32* value);
void web_REG_Write_fortest(U32 reg, U32 value);
zrErrCode web_LogRegReadDebug(U32 chip, U32 reg, U32* value);
zrErrCode web_LogRegWriteDebug(U32 chip, U32 reg, U32 value);
zrErrCode Web_SetLogStatus(U32 level);
void Web_DebugPrintMuxLUT(void);
void Web_DebugPrintBypassLUT(void);
TResource_TS* Web_GetResourceHandle(void);
U8 Web_GetWebSlot(U8 u8VRNType, U8 u8HWSlot);
U32 Web_GetOutputChannelNum(void);
void Web_SetVRNType(U8 type);
U8 Web_GetVRNType(void);
U32 web_GetSelfBoardDescriptor(U8* out20);
void Web_VerCmpFlag(ST_VERSION_INFO* info);

// ---- DVB text ----
U8* web_StringConvertToUTF8(const U8* text, U32 length);
// nullptr for text that is not valid UTF-8.
U8* web_UTF8ToServiceName(const U8* text, U32 length);
U32 web_strlen(const U8* text, U32 limit);
// Length of an SI text of length bytes cut to at most max bytes without
// splitting a character of the table its selector names.
U32 web_SITextCut(const U8* text, U32 length, U32 max);
U8 Web_proEncodingMode(void);

// ---- Modulator, RF and board handlers ----
zrErrCode web_processGetSubboardDetail(buffer* reply);
zrErrCode web_processGetSubboardParam(buffer* reply);
zrErrCode web_processSetSubboardParam(buffer* reply);
zrErrCode web_processGetSubboardIPMonitorParam(buffer* reply);
zrErrCode web_processSetSubboardIPMonitorParam(buffer* reply);
zrErrCode web_processGetSubboardReadyStatus(buffer* reply);
zrErrCode web_processReadReg(buffer* reply);
zrErrCode web_processWriteReg(buffer* reply);
zrErrCode Web_ReadAD9789Debug(U32 chip, U32 reg, U8* value);
zrErrCode Web_WriteAD9789Debug(U32 chip, U32 reg, U32 value);
zrErrCode Web_ReadRFDA0016Debug(U32 chip, U32 reg, U8* value);
zrErrCode Web_WriteRFDA0016Debug(U32 chip, U32 reg, U32 value);
zrErrCode Web_ReadADF4351Debug(U32 chip, U32 reg, U8* value);
zrErrCode Web_WriteADF4351Debug(U32 chip, U32 reg, U32 value);
zrErrCode Web_ReadAD5321Debug(U32 reg, U16* value);
zrErrCode Web_WriteAD5321Debug(U32 reg, U32 value);

// ---- System handlers ----
zrErrCode web_processBeat(buffer* reply);
zrErrCode web_processDefault(buffer* reply);
zrErrCode web_processReboot(buffer* reply);
zrErrCode web_processGetVersion(buffer* reply);
zrErrCode web_processDebug(buffer* reply);
zrErrCode web_processExportLogs(buffer* reply);
zrErrCode web_processClearLogs(buffer* reply);
zrErrCode web_saveLog(buffer* reply);
zrErrCode web_processGetLog(buffer* reply);
zrErrCode web_processSetModulesAndLevel(buffer* reply);
zrErrCode web_processGetModules(buffer* reply);
zrErrCode web_processGetSystemParam(buffer* reply);
zrErrCode web_processSetSystemParam(buffer* reply);
zrErrCode web_processExportMibs(buffer* reply);
zrErrCode Web_ExportLogs(char* uri);
zrErrCode Web_ExportMIBs(char* uri);
zrErrCode Web_ClearLog(void);
U32 Web_CharacterReplace(const U8* in, U8* out, U32 character, U32 replacement);
void Web_EraseData(void);
void Web_ConnectService(U8 on);
void Web_GetConnectService(U32* running);
void Web_SetRebootTimeGap(U8 timegap, U8 reboothour);
void Web_GetRebootTimeGap(U8* out);

// Handlers of the output-stream, PSI/SI and SI-file commands.
#define WEB_OTHER_HANDLERS(X)                                                                                   \
    X(web_processGetOutputTSStatus) X(web_processGetOutputProgramStatus) X(web_processGetOutputTSDetailStatus) \
    X(web_processClearAllErr) X(web_processApplyAllParam) X(web_processClearAllParam)                        \
    X(web_processClearOneChannelProg) X(web_processGetSubboardTSInfo) X(web_processSetTSParam)               \
    X(web_processSetProgramParam) X(web_processGetTempTSInfo) X(web_processGetTempProgramInfo)               \
    X(web_processGetNIT) X(web_processAddNITNetwork) X(web_processDelNITNetwork) X(web_processAddNITTS)      \
    X(web_processDelNITTS) X(web_processDelLCN) X(web_processSetLCN) X(web_processSetCableDescriptor)         \
    X(web_processSetNITVersion) X(web_processAddDescriptor) X(web_processSetOtherDescriptor)                 \
    X(web_processSetTSInfoDescriptor) X(web_processGetPAT) X(web_processSetPATPid)                           \
    X(web_GetSubboardPSIPChannel) X(web_SetSubboardPSIPChannel) X(web_processGetTOT_LTODescriptor)           \
    X(web_processSetTOT_LTODescriptor) X(web_processAutoGenerateNITDescriptor) X(web_processExportOneSiTable)
#define WEB_DECLARE_HANDLER(name) zrErrCode name(buffer* reply);
WEB_OTHER_HANDLERS(WEB_DECLARE_HANDLER)
zrErrCode web_processImportOneSiTable(buffer* reply, buffer* head);


// ---- Output-stream handlers ----
// Size of the text buffers of the type-name tables.
#define WEB_TYPE_DESC_LEN 32
void Web_GetStreamTypeDesc(U8 u8StreamType, char* pcDesc);
void Web_GetPIDTypeDesc(U8 u8PIDType, char* pcDesc);
// One program by channel and service id: live database, working copy.
U32 Web_GetProgramInfoToWeb(U16 u16Channel, U16 u16ServiceId, Output_WebProgramInfo* pstWebProInfo);
U32 Web_GetTempProgramInfoToWeb(U16 u16Channel, U16 u16ServiceId, Output_WebProgramInfo* pstWebProInfo);
// Edited views into the working copy; the flag reports a conflict.
U32 Web_ModifyTSWebInfo(Output_WebTSInfo* pstWebTSInfo, U8* pu8ConflictFlag);
U32 Web_ModifyProWebInfo(U16 u16Channel, Output_WebProgramInfo* pstWebProInfo, U8* pu8ConflictFlag);
U32 Web_GetTSStatus(U16 u16Channel, Output_WebTSBitInfo* pstWebTSBitInfo);
void Web_ClearPIDCc(void);
zrErrCode Web_SetFactory(void);
zrErrCode Web_ClearTS(void);
// "otherpidlist" of SetTsParam.w: [{"oldpid","newvalue"}] applied to the
// view's other PIDs, every item matched against the PIDs before the request;
// false when an item names no "oldpid" or one that is none of them.
bool Web_ReplaceOtherPIDs(Output_WebTSInfo* pstWebTSInfo, const cJSON* pList);

// ---- PSI/SI editing ----
#include "SIprocess/tdttot.h"
#include "TSprocess/tsp_nit.h"

// Generation switches of one output stream, as the web reads and writes them.
typedef struct {
    U8 u8PATGenerate;
    U8 u8PMTGenerate;
    U8 u8CATGenerate;
    U8 u8SDTGenerate;
    U8 u8BATGenerate;
    U8 u8NITGenerate;
    U8 u8TDTGenerate;
    U8 u8TOTGenerate;
    U8 u8EITGenerate;
    U8 u8MGTGenerate;
    U8 u8VCTGenerate;
    U8 u8STTGenerate;
    U8 u8ETTGenerate;
    U16 u16TransChannel;
    U32 u32VCTType;
} PSITrans;

// Two hex characters to a byte (one character: its digit; none: 0).
U8 x2c(const char* what);
// Packed BCD of the lowest eight decimal digits of a number.
U32 Bcd2Hex(U32 u32Value);
// A descriptor loop as JSON objects appended to the array; 775 for a missing
// loop or array, or an empty loop.
zrErrCode _web_parseDescriptor(const U8* pu8Desc, U32 u32Len, cJSON* pArray);
zrErrCode web_GetPSITransparent(U16 u16OutChannel, PSITrans* pstTS);
zrErrCode web_SetPSITransparent(U16 u16OutChannel, PSITrans* pstTS);

U32 Web_TSP_GetNITTableInfo(int nChannel, NITTable_t* pstNIT);
U32 Web_TSP_AddNetworkDescriptor(int nChannel, dvbpsi_descriptor_t stDesc);
U32 Web_TSP_DeleteNetworkDesc(int nChannel, int nIndex);
U32 Web_TSP_AddNIT_TS(int nChannel, U16 u16TSID, U16 u16OriginalNetworkID);
U32 Web_TSP_DelOneTSOfNIT(int nChannel, int nEntry);
U32 Web_TSP_AddDescriptor2NIT_Ts(int nChannel, int nEntry, dvbpsi_descriptor_t* pstDesc);
U32 Web_TSP_EditOneTSDescOfNIT(int nChannel, U32 u32Entry, U32 u32DescIndex, dvbpsi_descriptor_t* pstDesc);
U32 Web_TSP_DeleteOneTSDescOfNIT(int nChannel, U32 u32Entry, U32 u32DescIndex);
U32 Web_TSP_EditNITVersionNum(U16 u16Channel, U16 u16Version, U16 u16NetworkID);
U32 Web_TSP_GetOneTsDescInfo(int nChannel, U32 u32Entry, U32 u32DescIndex, dvbpsi_descriptor_t* pstDesc);
U16 Web_TSP_GetPATPID(U16 u16Channel);
zrErrCode Web_TSP_SetPATPID(U16 u16Channel, U16 u16PID);
BOOL Web_TSP_IsPATPIDExistInTS(U16 u16Channel, U16 u16PID);
U32 Web_TSP_GetTOTTableInfo(int nChannel, TOTTable_t* pstTOT);
zrErrCode Web_TSP_AddTOT_LTODescriptor(U16 u16Channel, TOTBuf_t* pstTOTBuf);
U32 Web_TSP_DelTOT(int nChannel);
U32 Web_TSP_DelOneNITInfo(U16 u16OutTSIndex);
U32 Web_TSP_AutoAddCableDeliverySystemDescriptor2NIT(U32 u32Channel);

// ---- SI table file ----
// Header of an SI table file: seven U32 fields, little-endian on disk
// whatever the processor (written and read with the two functions below).
typedef struct {
    U32 dwSignature;   // 0x00002009
    U32 dwDeviceType;  // 0x0000EEFD
    U32 dwVersion;
    U32 dwDataLength;  // bytes of sections after the header
    U32 dwDataCRC;     // CRC-32 (MPEG-2) of those bytes
    U32 dwRes1;
    U32 dwRes2;
} DeviceConfigureSaveFileHeader;
static_assert(sizeof(DeviceConfigureSaveFileHeader) == 28, "SI table file header is 28 bytes");
void DeviceConfigureSaveFileHeader_Put(const DeviceConfigureSaveFileHeader* h, U8* out28);
void DeviceConfigureSaveFileHeader_Get(const U8* in28, DeviceConfigureSaveFileHeader* h);
// Exports a flat channel's live NIT to /tmp and links it into the download
// folder; uri (512 bytes) gets the link relative to the web root, or stays
// empty when the file could not be written.
zrErrCode Web_ExportNIT(int nChannel, char* uri);
// Imports the upload named by g_arcUpgradeFiledir into a flat channel's NIT,
// puts it on air and saves it; a refused file changes nothing.
zrErrCode Web_ImportNIT(int nChannel);
// Splits text at the first run of separator into left and right, each at most
// size - 1 characters; false when the separator is missing (right is empty).
bool splitIntoTwoParts(const char* text, char separator, char* left, char* right, size_t size);
// Shared with the system handlers' exports: makes a download folder (mode
// 0777) when missing, and runs a logged shell command.
bool web_EnsureDir(const char* dir);
void web_RunLogged(const std::string& cmd, const char* cwd, const char* func);
