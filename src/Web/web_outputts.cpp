// Web handlers of the output transport streams: live status pages, the
// working-copy editor (stream and program pages), apply, clear and the
// deletion of one channel, with their adapters and the type-name tables.
#include "Common/thread.h"
#include "Comm/ipcomm.h"
#include "DTMB/dtmb_param.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_db.h"
#include "TSprocess/tsp_del.h"
#include "TSprocess/tsp_edit.h"
#include "TSprocess/tsp_mux.h"
#include "Web/web.h"
#include "Web/web_json.h"
#include <chrono>
#include <cstdio>
#include <limits>
#include <cstring>
#include <memory>
#include <thread>

#define WEB_ACTION(text) log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB, text, __func__, __LINE__)

// Steps of the wait for the input cards' answers after DeleteTSConfig.w.
static const U32 kDelWaitSteps = 24;
// The count is looked at this often within each one-second step, so that an
// early answer ends the wait at once.
static const U32 kDelPollsPerStep = 10;

// ---- Adapters ----

U32 Web_GetProgramInfoToWeb(U16 u16Channel, U16 u16ServiceId, Output_WebProgramInfo* pstWebProInfo)
{
    return TSP_SendProgramInfoToWeb(u16Channel, u16ServiceId, pstWebProInfo, TSP_GetTSParam());
}

U32 Web_GetTempProgramInfoToWeb(U16 u16Channel, U16 u16ServiceId, Output_WebProgramInfo* pstWebProInfo)
{
    return TSP_SendProgramInfoToWeb(u16Channel, u16ServiceId, pstWebProInfo, TSP_GetTempTSParam());
}

U32 Web_ModifyTSWebInfo(Output_WebTSInfo* pstWebTSInfo, U8* pu8ConflictFlag)
{
    return TSP_ModifyTSInfoByWeb(pstWebTSInfo, pu8ConflictFlag);
}

U32 Web_ModifyProWebInfo(U16 u16Channel, Output_WebProgramInfo* pstWebProInfo, U8* pu8ConflictFlag)
{
    return TSP_ModifyProgramInfoByWeb(u16Channel, pstWebProInfo, pu8ConflictFlag);
}

U32 Web_GetTSStatus(U16 u16Channel, Output_WebTSBitInfo* pstWebTSBitInfo)
{
    return TSP_SendTSBitInfoToWeb(u16Channel, pstWebTSBitInfo);
}

void Web_ClearPIDCc(void) { FPGA_ClearPIDCc(); }
zrErrCode Web_SetFactory(void) { return PARAMS_WEB_Factory(0); }
zrErrCode Web_ClearTS(void) { return PARAMS_WEB_Factory(1); }

// ---- Name tables ----

void Web_GetStreamTypeDesc(U8 u8StreamType, char* pcDesc)
{
    if (pcDesc == nullptr)
        return;
    const char* s = "User Private";
    switch (u8StreamType) {
    case 1:
    case 2:
        s = "Video(MPEG2)";
        break;
    case 3:
    case 4:
        s = "Audio";
        break;
    case 5:
        s = "Private Data";
        break;
    case 6:
        s = "Private Data/AC3";
        break;
    case 9:
        s = "ECM";
        break;
    case 15:
        s = "Audio(MPEG2_AAC)";
        break;
    case 16:
        s = "Video(MPEG4)";
        break;
    case 17:
        s = "Audio(MPEG4_AAC)";
        break;
    case 27:
        s = "Video(H264)";
        break;
    case 36:
        s = "Video(H265)";
        break;
    case 66:
        s = "Video(AVS)";
        break;
    case 128:
        s = "Video(Digicipher2)";
        break;
    case 129:
        s = "Audio(AC3)";
        break;
    default:
        break;
    }
    snprintf(pcDesc, WEB_TYPE_DESC_LEN, "%s", s);
}

void Web_GetPIDTypeDesc(U8 u8PIDType, char* pcDesc)
{
    static const char* const names[] = {"Video", "Audio", "PCR", "EMM", "PSECM", "ESECM", "Other", "PAT", "PMT",
                                        "SDT",   "CAT",   "MGT", "BAT", "NIT",   "TDT",   "TOT",   "EIT"};
    if (pcDesc != nullptr)
        snprintf(pcDesc, WEB_TYPE_DESC_LEN, "%s",
                 u8PIDType < sizeof(names) / sizeof(names[0]) ? names[u8PIDType] : "Unknown");
}

// ---- Request reading ----

// The flat output channel of "port" and "channel". Both are required and are
// checked before the multiplication, so no large port can wrap round onto a
// real channel; 774 for anything outside the card's eight channels.
static zrErrCode web_ReadOutChannel(const WebBody& body, U32* pu32Port, U32* pu32Channel, U16* pu16Flat)
{
    U32 port = 0, channel = 0;
    if (!web_JsonWhole(body.Get("port"), TSP_WEB_CHANNEL_MAX - 1, &port) ||
        !web_JsonWhole(body.Get("channel"), TSP_WEB_CHANNEL_MAX - 1, &channel))
        return ZR_ERR_WEB_POST_PARAM;
    U32 flat = _web_GetOutRealChannel(port, channel);
    if (flat >= TSP_WEB_CHANNEL_MAX)
        return ZR_ERR_WEB_POST_PARAM;
    *pu32Port = port;
    *pu32Channel = channel;
    *pu16Flat = (U16)flat;
    return ZR_SUCCESS;
}

// A service id key: required, and a 16-bit value (a larger one would alias
// another program).
static zrErrCode web_ReadServiceId(const WebBody& body, const char* key, U16* pu16Sid)
{
    U32 v = 0;
    if (!web_JsonWhole(body.Get(key), 0xFFFF, &v))
        return ZR_ERR_WEB_POST_PARAM;
    *pu16Sid = (U16)v;
    return ZR_SUCCESS;
}

// Whether the channel has an output stream in the database given: programs
// of a channel without one are refused, never looked up in no stream.
static bool web_HasStream(const Output_TSInfo* pstParamTS, U16 u16Flat)
{
    CARD_STATE_LOCK();
    return TSP_FindStreamOfChannel(pstParamTS, u16Flat) != TSP_INVALID_INDEX;
}

// The program of "port", "channel" and the service id key from the live
// database or the working copy (bTemp); 774 when its channel has no stream
// there.
static zrErrCode web_ReadProgram(const WebBody& body, const char* sidKey, bool bTemp, U32* pu32Port,
                                 U32* pu32Channel, U16* pu16Flat, Output_WebProgramInfo* pstProgram)
{
    U16 sid = 0;
    zrErrCode rc = web_ReadOutChannel(body, pu32Port, pu32Channel, pu16Flat);
    if (rc == ZR_SUCCESS)
        rc = web_ReadServiceId(body, sidKey, &sid);
    if (rc != ZR_SUCCESS)
        return rc;
    if (!web_HasStream(bTemp ? TSP_GetTempTSParam() : TSP_GetTSParam(), *pu16Flat))
        return ZR_ERR_WEB_POST_PARAM;
    return (zrErrCode)(bTemp ? Web_GetTempProgramInfoToWeb(*pu16Flat, sid, pstProgram)
                             : Web_GetProgramInfoToWeb(*pu16Flat, sid, pstProgram));
}

// The working copy's view of the channel of "port" and "channel"; 774 for a
// channel without stream.
static zrErrCode web_ReadTempView(const WebBody& body, U32* pu32Port, U32* pu32Channel, U16* pu16Flat,
                                  Output_WebTSInfo* pstView)
{
    zrErrCode rc = web_ReadOutChannel(body, pu32Port, pu32Channel, pu16Flat);
    if (rc != ZR_SUCCESS)
        return rc;
    U32 ret = Web_GetTempTSWebInfo(*pu16Flat, pstView);
    if (ret != 0)
        return (zrErrCode)ret;
    return pstView->u8ValidFlag != 1 ? ZR_ERR_WEB_POST_PARAM : ZR_SUCCESS;
}

// The reply of an edit handed to the working copy: its code, 774 for a
// conflict, else success.
static zrErrCode web_EditReply(buffer* reply, U32 ret, U8 conflict)
{
    if (ret != 0)
        return (zrErrCode)ret;
    if (conflict != 0)
        return ZR_ERR_WEB_POST_PARAM;
    return web_ReplyRevision(reply);
}

// ---- The working copy's revision and the identity of list entries ----

zrErrCode web_ReadRevision(const WebBody& body, const U32** ppu32Revision, U32* pu32Store)
{
    *ppu32Revision = nullptr;
    const cJSON* item = body.Get("revision");
    if (item == nullptr)
        return ZR_SUCCESS;
    if (!web_JsonWhole(item, 0xFFFFFFFFu, pu32Store))
        return ZR_ERR_WEB_POST_PARAM;
    *ppu32Revision = pu32Store;
    return ZR_SUCCESS;
}

// The check of both: bEdit, an edit of the working copy follows.
static zrErrCode web_CheckTemp(const WebBody& body, bool bEdit)
{
    U32 store = 0;
    const U32* rev = nullptr;
    zrErrCode rc = web_ReadRevision(body, &rev, &store);
    if (rc != ZR_SUCCESS)
        return rc;
    const U32 ret = TSP_CheckTempEdit(rev);
    if (ret == TSP_ERR_LIVE_CHANGED)
        return ZR_ERR_WEB_CONFIG_CHANGED;
    if (ret == ZR_SUCCESS && bEdit)
        TSP_BeginTempEdit(rev != nullptr);
    return (zrErrCode)ret;
}

zrErrCode web_CheckTempEdit(const WebBody& body) { return web_CheckTemp(body, true); }
zrErrCode web_CheckTempState(const WebBody& body) { return web_CheckTemp(body, false); }
void web_EndTempEdit(void) { TSP_EndTempEdit(); }
zrErrCode web_ViewTemp(void) { return (zrErrCode)TSP_ViewTemp(); }

void web_AddRevision(cJSON* data)
{
    web_AddNum(data, "revision", TSP_GetTempRevision());
}

zrErrCode web_ReplyRevision(buffer* reply)
{
    cJSON* data = cJSON_CreateObject();
    web_AddRevision(data);
    return web_ReplyData(reply, data);
}

// ---- Request checks: every member a request gives is checked by its type
// and range before anything of it is taken ----

// A member that may be missing; when present, a whole number from 0 to max.
static bool web_OptWhole(const cJSON* obj, const char* key, U32 max)
{
    const cJSON* v = cJSON_GetObjectItemCaseSensitive(obj, key);
    U32 n = 0;
    return v == nullptr || web_JsonWhole(v, max, &n);
}

static bool web_OptWholes(const cJSON* obj, std::initializer_list<std::pair<const char*, U32>> keys)
{
    for (const auto& k : keys)
        if (!web_OptWhole(obj, k.first, k.second))
            return false;
    return true;
}

// A member that may be missing; when present, text (a name).
static bool web_OptText(const cJSON* obj, const char* key)
{
    const cJSON* v = cJSON_GetObjectItemCaseSensitive(obj, key);
    return v == nullptr || (cJSON_IsString(v) && v->valuestring != nullptr);
}

// A program's names and its "src" as its view showed it (an object of
// whole numbers), each where it is given.
static bool web_ProgramIdentityFits(const cJSON* obj)
{
    if (!web_OptText(obj, "servicename") || !web_OptText(obj, "providername"))
        return false;
    const cJSON* src = cJSON_GetObjectItemCaseSensitive(obj, "src");
    return src == nullptr ||
           (cJSON_IsObject(src) &&
            web_OptWholes(src, {{"board", 0xFF}, {"port", 0xFF}, {"channel", 0xFFFF}, {"serviceid", 0xFFFF}}));
}

// A member that may be missing; when present, an array whose every element
// passes fits.
template <class Fits>
static bool web_OptList(const cJSON* obj, const char* key, Fits fits)
{
    const cJSON* list = cJSON_GetObjectItemCaseSensitive(obj, key);
    if (list == nullptr)
        return true;
    if (!cJSON_IsArray(list))
        return false;
    const cJSON* e = nullptr;
    cJSON_ArrayForEach(e, list)
    {
        if (!cJSON_IsObject(e) || !fits(e))
            return false;
    }
    return true;
}

// The stream page's request: stream ids and switches, the programs' ids and
// names, and each other PID named by the PID its view showed.
static bool web_StreamRequestFits(const cJSON* root)
{
    return web_OptWholes(root, {{"originalnetworkid", 0xFFFF}, {"tsid", 0xFFFF}, {"modulationmode", 0xFF},
                                {"tdtinsert", 0xFF}}) &&
           web_OptList(root, "programlist",
                       [](const cJSON* e) { return web_OptWholes(e, {{"serviceid", 0xFFFF}}) && web_ProgramIdentityFits(e); }) &&
           web_OptList(root, "otherpidlist", [](const cJSON* e) {
               U32 n = 0;
               return web_MemberWhole(e, "oldpid", TSP_MAX_PID, &n) && web_OptWhole(e, "newvalue", TSP_MAX_PID);
           });
}

// The program page's request: ids, channel numbers, names, and the PIDs (an
// elementary stream's type also as the text its view shows).
static bool web_ProgramRequestFits(const cJSON* root)
{
    if (!web_OptWholes(root, {{"majorchannel", 0xFFFF}, {"minorchannel", 0xFFFF}, {"serviceid", 0xFFFF},
                              {"servicetype", 0xFF}}) ||
        !web_ProgramIdentityFits(root))
        return false;
    const cJSON* pids = cJSON_GetObjectItemCaseSensitive(root, "pids");
    if (pids == nullptr)
        return true;
    return cJSON_IsObject(pids) && web_OptWholes(pids, {{"pcr", TSP_MAX_PID}, {"pmt", TSP_MAX_PID}}) &&
           web_OptList(pids, "es", [](const cJSON* e) {
               const cJSON* type = cJSON_GetObjectItemCaseSensitive(e, "streamtype");
               return web_OptWholes(e, {{"pid", TSP_MAX_PID}, {"pidtype", 0xFF}, {"oldpid", TSP_MAX_PID}}) &&
                      (cJSON_IsString(type) || web_OptWhole(e, "streamtype", 0xFF));
           });
}

static U8 web_OperatorSlot(U8 u8HWSlot) { return Web_GetWebSlot(Web_GetVRNType(), u8HWSlot); }

// Whether a program entry's "src" (as its view showed it: "board", "port",
// "channel", "serviceid"), where it has one, names the program p of the
// working copy. An entry without it cannot be told apart.
static bool web_SameSource(const cJSON* entry, const Output_WebProgramInfo& p)
{
    const cJSON* src = cJSON_GetObjectItemCaseSensitive(entry, "src");
    if (src == nullptr)
        return true;
    if (!cJSON_IsObject(src))
        return false;
    const std::pair<const char*, U32> keys[] = {{"board", web_OperatorSlot(p.u8SourceSlot)},
                                                {"port", p.u8SourcePort},
                                                {"channel", p.u16SourceChannel},
                                                {"serviceid", p.u16OldServiceID}};
    for (const auto& k : keys) {
        const cJSON* v = cJSON_GetObjectItemCaseSensitive(src, k.first);
        U32 n = 0;
        if (v != nullptr && (!web_JsonWhole(v, 0xFFFF, &n) || n != k.second))
            return false;
    }
    return true;
}

// A number key's value when present, else the field's current value; the
// request was checked first, so a value given fits its field. By value: the
// views are packed, so no reference to their fields is taken.
template <class T>
static T web_NumOr(const cJSON* obj, const char* key, T current)
{
    U32 v = 0;
    return web_MemberWhole(obj, key, std::numeric_limits<T>::max(), &v) ? (T)v : current;
}

// A name key (UTF-8) stored as DVB SI text: at most the field's 32 bytes,
// cut between characters. False for a name that is not valid UTF-8.
static bool web_TakeName(const cJSON* obj, const char* key, U8* pu8Field, U8* pu8Len)
{
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(obj, key);
    if (!cJSON_IsString(item) || item->valuestring == nullptr)
        return true;
    const U8* text = web_UTF8ToServiceName((const U8*)item->valuestring, (U32)strlen(item->valuestring));
    if (text == nullptr)
        return false;
    memset(pu8Field, 0, TSP_NAME_MAX_LEN);
    U32 n = web_SITextCut(text, web_strlen(text, 257), TSP_NAME_MAX_LEN);
    memcpy(pu8Field, text, n);
    *pu8Len = (U8)n;
    return true;
}

// ---- Reply building ----

static void web_AddText(cJSON* obj, const char* key, const U8* pu8Text, U32 u32Len)
{
    cJSON_AddStringToObject(obj, key, (const char*)web_StringConvertToUTF8(pu8Text, u32Len));
}

// {"board", "boardname", "port", "channel"} of a source.
static cJSON* web_SourceObject(U8 u8Slot, U8 u8Port, U16 u16Channel)
{
    cJSON* o = cJSON_CreateObject();
    web_AddNum(o, "board", web_OperatorSlot(u8Slot));
    cJSON_AddStringToObject(o, "boardname", "");
    web_AddNum(o, "port", u8Port);
    web_AddNum(o, "channel", u16Channel);
    return o;
}

static cJSON* web_PidsObject(const Output_WebProgramInfo& p)
{
    cJSON* o = cJSON_CreateObject();
    web_AddNum(o, "pcr", p.u16PCRPID);
    web_AddNum(o, "pmt", p.u16PMTPID);
    cJSON* es = cJSON_AddArrayToObject(o, "es");
    char name[WEB_TYPE_DESC_LEN];
    for (U32 i = 0; i < p.u16ESNumber && i < TSP_WEB_ES_MAX; i++) {
        const Output_WebPIDInfo& e = p.arOutputESInfo[i];
        cJSON* item = cJSON_CreateObject();
        web_AddNum(item, "pid", e.u16PID);
        web_AddNum(item, "pidtype", e.u8PIDType);
        Web_GetStreamTypeDesc(e.u8StreamType, name);
        cJSON_AddStringToObject(item, "streamtype", name);
        cJSON_AddItemToArray(es, item);
    }
    return o;
}

// The editor's program fields (stream page and program page).
static void web_AddProgramFields(cJSON* o, const Output_WebProgramInfo& p)
{
    web_AddNum(o, "serviceid", p.u16ServiceID);
    web_AddText(o, "servicename", p.aru8ServiceName, p.u8ServiceNameLen);
    web_AddText(o, "providername", p.aru8ServiceProvider, p.u8ServiceProviderLen);
    web_AddNum(o, "servicetype", p.u8ServiceType);
    web_AddNum(o, "majorchannel", p.u16MajorChannelNum);
    web_AddNum(o, "minorchannel", p.u16MinorChannelNum);
    cJSON* src = web_SourceObject(p.u8SourceSlot, p.u8SourcePort, p.u16SourceChannel);
    web_AddNum(src, "serviceid", p.u16OldServiceID);
    cJSON_AddItemToObject(o, "src", src);
    cJSON_AddItemToObject(o, "pids", web_PidsObject(p));
}

// The editor's channel object; bWithChannel: the object carries "channel"
// itself (the single-channel page has it echoed from the request already).
static void web_AddChannelFields(cJSON* o, const Output_WebTSInfo& v, U32 u32Channel, bool bWithChannel)
{
    if (bWithChannel)
        web_AddNum(o, "channel", u32Channel);
    web_AddNum(o, "bypassflag", v.u8BypassFlag == 1 ? 1 : 0);
    web_AddNum(o, "tsid", v.u16TransportStreamID);
    web_AddNum(o, "originalnetworkid", v.u16OriginalNetworkID);
    web_AddNum(o, "modulationmode", v.u8ModulationMode);
    web_AddNum(o, "tdtinsert", v.u8TDTGenerate);
    if (PARAMS_GetModulationMod() == 5)
        web_AddNum(o, "hasTsInfo", v.u8HasTsInfoFlag);
    cJSON_AddItemToObject(o, "bypasssrc", web_SourceObject(v.u8SourceSlot, v.u8SourcePort, v.u16SourceChannel));
    web_AddNum(o, "programnumber", v.u16ProgramNum);
    cJSON* progs = cJSON_AddArrayToObject(o, "programlist");
    for (U32 i = 0; i < v.u16ProgramNum && i < TSP_WEB_PROGRAM_MAX; i++) {
        cJSON* p = cJSON_CreateObject();
        web_AddNum(p, "program", i);
        web_AddProgramFields(p, v.arOutputProInfo[i]);
        cJSON_AddItemToArray(progs, p);
    }
    cJSON* others = cJSON_AddArrayToObject(o, "otherpidlist");
    U32 n = 0;
    for (U32 i = 0; i < v.u16PIDNum && i < TSP_WEB_PID_MAX; i++) {
        if (v.arOutputPIDInfo[i].u8PIDType != TSP_WEB_PID_OTHER)
            continue;
        cJSON_AddItemToArray(others, cJSON_CreateNumber(v.arOutputPIDInfo[i].u16PID));
        n++;
    }
    web_AddNum(o, "otherpidnumber", n);
}

// {"portlist":[{"port":0,"channellist":[]}]}: returns the channel list.
static cJSON* web_AddPortList(cJSON* data)
{
    cJSON* ports = cJSON_AddArrayToObject(data, "portlist");
    cJSON* port = cJSON_CreateObject();
    cJSON_AddItemToArray(ports, port);
    web_AddNum(port, "port", 0);
    return cJSON_AddArrayToObject(port, "channellist");
}

// ---- Status pages (live database) ----

zrErrCode web_processGetOutputTSStatus(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    if (GetDTMBPara_Handle() == nullptr)
        return ZR_ERR_WEB_POST_PARAM;
    const bool bDvbt = PARAMS_GetModulationMod() == 1;
    auto view = std::make_unique<Output_WebTSInfo>();
    cJSON* data = cJSON_CreateObject();
    cJSON* list = web_AddPortList(data);
    U32 count = Web_GetOutputChannelNum();
    for (U32 n = 0; n < count; n++) {
        U32 flat = _web_GetOutRealChannel(0, n);
        if (flat >= TSP_WEB_CHANNEL_MAX || Web_GetTSWebInfo((U16)flat, view.get()) != 0)
            continue;
        const Output_WebTSInfo& v = *view;
        cJSON* o = cJSON_CreateObject();
        web_AddNum(o, "channel", n);
        web_AddNum(o, "effectivebitrate", v.u32EffectiveBitRate);
        web_AddNum(o, "totalbitrate", v.u32TotalBitRate);
        web_AddNum(o, "totalbitrateslave", v.u32TotalBitRateSlave);
        web_AddNum(o, "status", (bDvbt && flat >= 4) ? v.bOverFlowSlave : v.bOverFlow);
        web_AddNum(o, "frequency", v.u32Frequency);
        web_AddNum(o, "enable", 1);
        web_AddNum(o, "bypassflag", v.u8BypassFlag == 1 ? 1 : 0);
        if (v.u8BypassFlag == 1)
            cJSON_AddItemToObject(o, "bypasssrclist",
                                  web_SourceObject(v.u8SourceSlot, v.u8SourcePort, v.u16SourceChannel));
        cJSON* progs = cJSON_AddArrayToObject(o, "programlist");
        for (U32 i = 0; v.u8ValidFlag == 1 && i < v.u16ProgramNum && i < TSP_WEB_PROGRAM_MAX; i++) {
            const Output_WebProgramInfo& p = v.arOutputProInfo[i];
            cJSON* item = cJSON_CreateObject();
            web_AddNum(item, "program", i);
            web_AddNum(item, "serviceid", p.u16ServiceID);
            web_AddText(item, "servicename", p.aru8ServiceName, p.u8ServiceNameLen);
            web_AddNum(item, "scrambled", 1);
            cJSON_AddItemToArray(progs, item);
        }
        cJSON_AddItemToArray(list, o);
    }
    return web_ReplyData(reply, data);
}

zrErrCode web_processGetOutputProgramStatus(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    U32 port = 0, channel = 0;
    U16 flat = 0;
    Output_WebProgramInfo p{};
    zrErrCode rc = web_ReadProgram(body, "serviceid", false, &port, &channel, &flat, &p);
    if (rc != ZR_SUCCESS)
        return rc;
    cJSON* data = cJSON_CreateObject();
    web_AddText(data, "servicename", p.aru8ServiceName, p.u8ServiceNameLen);
    web_AddNum(data, "serviceid", p.u16ServiceID);
    cJSON_AddItemToObject(data, "pids", web_PidsObject(p));
    cJSON* src = web_SourceObject(p.u8SourceSlot, p.u8SourcePort, p.u16SourceChannel);
    web_AddNum(src, "serviceid", p.u16OldServiceID);
    cJSON_AddStringToObject(src, "servicename", "");
    web_AddNum(src, "scrambled", 1);
    cJSON_AddItemToObject(data, "src", src);
    return web_ReplyData(reply, data);
}

zrErrCode web_processGetOutputTSDetailStatus(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    U32 port = 0, channel = 0;
    if (!web_JsonU32(body.Get("port"), &port) || !web_JsonU32(body.Get("channel"), &channel))
        return ZR_ERR_WEB_POST_PARAM;
    cJSON* data = cJSON_CreateObject();
    web_AddNum(data, "port", port);
    web_AddNum(data, "channel", channel);
    // A channel outside the card reads like any failed look-up: no PIDs.
    U16 flat = 0;
    U32 p = 0, c = 0;
    auto bits = std::make_unique<Output_WebTSBitInfo>();
    bool ok = web_ReadOutChannel(body, &p, &c, &flat) == ZR_SUCCESS && Web_GetTSStatus(flat, bits.get()) == 0 &&
              bits->u8ValidFlag != 0xFF;
    if (!ok) {
        web_AddNum(data, "pidnumber", 0);
        cJSON_AddArrayToObject(data, "pidlist");
        return web_ReplyData(reply, data);
    }
    web_AddNum(data, "pidnumber", bits->u16PIDNum);
    web_AddNum(data, "totalbitrate", bits->u32TotalBitRate);
    web_AddNum(data, "totalbitrateslave", bits->u32TotalBitRateSlave);
    cJSON* list = cJSON_AddArrayToObject(data, "pidlist");
    char name[WEB_TYPE_DESC_LEN];
    for (U32 i = 0; i < bits->u16PIDNum && i < TSP_WEB_BITINFO_MAX; i++) {
        const Output_WebPIDBitInfo& e = bits->arPIDBitInfo[i];
        cJSON* o = cJSON_CreateObject();
        web_AddNum(o, "pid", e.u16PID);
        Web_GetPIDTypeDesc(e.u8PIDType, name);
        cJSON_AddStringToObject(o, "type", name);
        web_AddNum(o, "bitrate", e.u32BitRate);
        web_AddNum(o, "ccerr", e.U8CcNum);
        web_AddNum(o, "samepidnum", e.u16SamePIDNum);
        web_AddText(o, "servicename", e.aru8ServiceName, e.u8ServiceNameLen);
        cJSON_AddItemToArray(list, o);
    }
    return web_ReplyData(reply, data);
}

zrErrCode web_processClearAllErr(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    WEB_ACTION("[%s:%d] WEB: Status > TS Analysis > click Reset Counter button!(Web_ClearPIDCc)\r\n");
    Web_ClearPIDCc();
    return web_ReplyData(reply, nullptr);
}

// ---- Working-copy editor ----

zrErrCode web_processGetSubboardTSInfo(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    // A fresh working copy: uncommitted edits are dropped.
    TSP_InitOutputTempTSInfo();
    TSP_CopyOutputTempTSInfo();
    TSP_TempPageLoaded();
    auto view = std::make_unique<Output_WebTSInfo>();
    cJSON* data = cJSON_CreateObject();
    cJSON* list = web_AddPortList(data);
    U32 count = Web_GetOutputChannelNum();
    for (U32 n = 0; n < count; n++) {
        U32 flat = _web_GetOutRealChannel(0, n);
        if (flat >= TSP_WEB_CHANNEL_MAX || Web_GetTSWebInfo((U16)flat, view.get()) != 0 || view->u8ValidFlag != 1)
            continue;
        cJSON* o = cJSON_CreateObject();
        web_AddChannelFields(o, *view, n, true);
        cJSON_AddItemToArray(list, o);
    }
    web_AddNum(data, "isEmptyTsConfig", Resource_IsAllBoardSupportDelChannelProg() ? 1 : 0);
    web_AddRevision(data);
    return web_ReplyData(reply, data);
}

zrErrCode web_processGetTempTSInfo(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    U32 port = 0, channel = 0;
    U16 flat = 0;
    auto view = std::make_unique<Output_WebTSInfo>();
    zrErrCode rc = web_ViewTemp();
    if (rc == ZR_SUCCESS)
        rc = web_ReadTempView(body, &port, &channel, &flat, view.get());
    if (rc != ZR_SUCCESS)
        return rc;
    cJSON* data = cJSON_CreateObject();
    web_AddNum(data, "port", port);
    web_AddNum(data, "channel", channel);
    web_AddChannelFields(data, *view, channel, false);
    web_AddRevision(data);
    return web_ReplyData(reply, data);
}

zrErrCode web_processGetTempProgramInfo(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    U32 port = 0, channel = 0;
    U16 flat = 0;
    Output_WebProgramInfo p{};
    zrErrCode rc = web_ViewTemp();
    if (rc == ZR_SUCCESS)
        rc = web_ReadProgram(body, "serviceid", true, &port, &channel, &flat, &p);
    if (rc != ZR_SUCCESS)
        return rc;
    cJSON* data = cJSON_CreateObject();
    web_AddNum(data, "port", port);
    web_AddNum(data, "channel", channel);
    web_AddProgramFields(data, p);
    web_AddRevision(data);
    return web_ReplyData(reply, data);
}

bool Web_ReplaceOtherPIDs(Output_WebTSInfo* pstWebTSInfo, const cJSON* pList)
{
    if (pstWebTSInfo == nullptr || !cJSON_IsArray(pList))
        return true;
    Output_WebTSInfo& v = *pstWebTSInfo;
    const U32 n = v.u16PIDNum < TSP_WEB_PID_MAX ? v.u16PIDNum : TSP_WEB_PID_MAX;
    // Every item is matched against the PIDs as they were before the request,
    // so that two items may exchange PIDs.
    Output_WebPIDInfo scratch[TSP_WEB_PID_MAX];
    memcpy(scratch, v.arOutputPIDInfo, sizeof(scratch));
    const cJSON* item = nullptr;
    bool bAllFound = true;
    cJSON_ArrayForEach(item, pList)
    {
        // An item names the PID its view showed (one that names none is
        // another list's); without a new value it changes nothing.
        U32 oldPid = 0, newPid = 0;
        if (!web_MemberWhole(item, "oldpid", TSP_MAX_PID, &oldPid)) {
            bAllFound = false;
            continue;
        }
        if (!web_MemberWhole(item, "newvalue", TSP_MAX_PID, &newPid))
            continue;
        bool bFound = false;
        for (U32 i = 0; i < n; i++)
            if (v.arOutputPIDInfo[i].u8PIDType == TSP_WEB_PID_OTHER && v.arOutputPIDInfo[i].u16PID == oldPid) {
                scratch[i].u16PID = (U16)newPid;
                bFound = true;
            }
        bAllFound = bAllFound && bFound;
    }
    memcpy(v.arOutputPIDInfo, scratch, sizeof(scratch));
    return bAllFound;
}

zrErrCode web_processSetTSParam(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    U32 port = 0, channel = 0;
    U16 flat = 0;
    auto view = std::make_unique<Output_WebTSInfo>();
    const cJSON* root = body.Root();
    if (!web_StreamRequestFits(root))
        return ZR_ERR_WEB_POST_PARAM;
    zrErrCode rc = web_CheckTempEdit(body);
    if (rc == ZR_SUCCESS)
        rc = web_ReadTempView(body, &port, &channel, &flat, view.get());
    if (rc != ZR_SUCCESS)
        return rc;
    Output_WebTSInfo& v = *view;
    v.u16OriginalNetworkID = web_NumOr(root, "originalnetworkid", v.u16OriginalNetworkID);
    v.u16TransportStreamID = web_NumOr(root, "tsid", v.u16TransportStreamID);
    v.u8ModulationMode = web_NumOr(root, "modulationmode", v.u8ModulationMode);
    v.u8TDTGenerate = web_NumOr(root, "tdtinsert", v.u8TDTGenerate);
    const cJSON* progs = body.Get("programlist");
    if (cJSON_IsArray(progs)) {
        U32 i = 0;
        const cJSON* e = nullptr;
        cJSON_ArrayForEach(e, progs)
        {
            // Entries are matched by position where they name the program
            // there: one that names another, or one the stream does not
            // have, was made on another list.
            if (i >= TSP_WEB_PROGRAM_MAX)
                break;
            const bool bInStream = i < v.u16ProgramNum;
            Output_WebProgramInfo& p = v.arOutputProInfo[i++];
            if (bInStream ? !web_SameSource(e, p) : cJSON_GetObjectItemCaseSensitive(e, "src") != nullptr)
                return ZR_ERR_WEB_CONFIG_CHANGED;
            if (!web_TakeName(e, "servicename", p.aru8ServiceName, &p.u8ServiceNameLen) ||
                !web_TakeName(e, "providername", p.aru8ServiceProvider, &p.u8ServiceProviderLen))
                return ZR_ERR_WEB_POST_PARAM;
            U32 sid = 0;
            if (web_MemberWhole(e, "serviceid", 0xFFFF, &sid)) {
                p.u16OldServiceID = p.u16ServiceID;
                p.u16ServiceID = (U16)sid;
            }
        }
    }
    // An other PID the working copy does not have was shown by another list.
    if (!Web_ReplaceOtherPIDs(&v, body.Get("otherpidlist")))
        return ZR_ERR_WEB_CONFIG_CHANGED;
    WEB_ACTION("[%s:%d] WEB: Service Congfiguration > TS > click OK button!(Web_ModifyTSWebInfo)\r\n");
    U8 conflict = 0;
    const U32 ret = Web_ModifyTSWebInfo(&v, &conflict);
    return web_EditReply(reply, ret, conflict);
}

zrErrCode web_processSetProgramParam(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    U32 port = 0, channel = 0;
    U16 flat = 0;
    Output_WebProgramInfo p{};
    const cJSON* root = body.Root();
    if (!web_ProgramRequestFits(root))
        return ZR_ERR_WEB_POST_PARAM;
    zrErrCode rc = web_CheckTempEdit(body);
    if (rc == ZR_SUCCESS)
        rc = web_ReadProgram(body, "oldserviceid", true, &port, &channel, &flat, &p);
    if (rc != ZR_SUCCESS)
        return rc;
    if (!web_SameSource(root, p))
        return ZR_ERR_WEB_CONFIG_CHANGED;
    p.u16MajorChannelNum = web_NumOr(root, "majorchannel", p.u16MajorChannelNum);
    p.u16MinorChannelNum = web_NumOr(root, "minorchannel", p.u16MinorChannelNum);
    if (!web_TakeName(root, "servicename", p.aru8ServiceName, &p.u8ServiceNameLen) ||
        !web_TakeName(root, "providername", p.aru8ServiceProvider, &p.u8ServiceProviderLen))
        return ZR_ERR_WEB_POST_PARAM;
    p.u16ServiceID = web_NumOr(root, "serviceid", p.u16ServiceID);
    p.u8ServiceType = web_NumOr(root, "servicetype", p.u8ServiceType);
    const cJSON* pids = body.Get("pids");
    if (cJSON_IsObject(pids)) {
        p.u16PCRPID = web_NumOr(pids, "pcr", p.u16PCRPID);
        p.u16PMTPID = web_NumOr(pids, "pmt", p.u16PMTPID);
        const cJSON* es = cJSON_GetObjectItemCaseSensitive(pids, "es");
        U32 i = 0;
        const cJSON* e = nullptr;
        if (cJSON_IsArray(es)) {
            cJSON_ArrayForEach(e, es)
            {
                // "oldpid": the PID its view showed, which the elementary
                // stream at that place must still have.
                U32 oldPid = 0;
                const bool bNamed = web_MemberWhole(e, "oldpid", TSP_MAX_PID, &oldPid);
                if (bNamed && (i >= p.u16ESNumber || i >= TSP_WEB_ES_MAX || p.arOutputESInfo[i].u16PID != oldPid))
                    return ZR_ERR_WEB_CONFIG_CHANGED;
                if (i >= TSP_WEB_ES_MAX)
                    break;
                Output_WebPIDInfo& o = p.arOutputESInfo[i++];
                o.u16PID = web_NumOr(e, "pid", o.u16PID);
                o.u8PIDType = web_NumOr(e, "pidtype", o.u8PIDType);
                o.u8StreamType = web_NumOr(e, "streamtype", o.u8StreamType);
            }
        }
    }
    WEB_ACTION("[%s:%d] WEB: Service Congfiguration > Program > click OK button!(Web_ModifyProWebInfo)\r\n");
    U8 conflict = 0;
    const U32 ret = Web_ModifyProWebInfo(flat, &p, &conflict);
    return web_EditReply(reply, ret, conflict);
}

// ---- Apply, clear and delete (these talk to peers: run without the
// card-state lock held by the dispatcher; the operations lock themselves) ----

zrErrCode web_processApplyAllParam(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    U32 store = 0;
    const U32* rev = nullptr;
    zrErrCode bad = web_ReadRevision(body, &rev, &store);
    if (bad != ZR_SUCCESS)
        return bad;
    WEB_ACTION("[%s:%d] WEB: Service Congfiguration > click Apply button!(Web_MuxProcess)\r\n");
    // A refused commit (the page was shown another state) changed nothing:
    // the page is loaded again and its edits made again. An apply that
    // stopped keeps the committed streams in force unsaved.
    const U32 rc = Web_MuxProcess(rev);
    if (rc != 0)
        return (zrErrCode)rc;
    // The revision its own apply step ended with (the lock was let go since).
    cJSON* data = cJSON_CreateObject();
    web_AddNum(data, "revision", TSP_LastTempRevision());
    return web_ReplyData(reply, data);
}

zrErrCode web_processClearAllParam(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    WEB_ACTION("[%s:%d] WEB: Service Congfiguration > click Clear Config button!(Web_ClearTS)\r\n");
    zrErrCode rc = Web_ClearTS();
    if (rc != ZR_SUCCESS)
        return rc;
    return web_ReplyData(reply, nullptr);
}

// Waits, without the card-state lock, until the input cards told to drop a
// channel have all answered (the frame server counts them down), for at most
// kDelWaitSteps seconds.
static void web_WaitDelDestAnswers(void)
{
    for (U32 step = 1; g_DelDestChannelNum != 0; step++) {
        for (U32 k = 0; k < kDelPollsPerStep && g_DelDestChannelNum != 0; k++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1000 / kDelPollsPerStep));
        printf("==debug==> u32TimeCount = %d\n", (int)step);
        if (g_DelDestChannelNum == 0)
            break;
        if (step >= kDelWaitSteps) {
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB,
                       "[%s:%d] WEB:Ready time out! set g_DelDestChannelNum 0 and break!\n\r\n", __func__, __LINE__);
            g_DelDestChannelNum = 0;
            break;
        }
    }
}

zrErrCode web_processClearOneChannelProg(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    // Without a valid channel nothing is deleted (channel 0 is not a default).
    U32 channel = 0;
    if (!web_JsonU32(body.Get("channel"), &channel) || channel >= TSP_WEB_CHANNEL_MAX)
        return ZR_ERR_WEB_POST_PARAM;
    WEB_ACTION("[%s:%d] WEB: Send DelDestChannelNum To InputBoard!\r\n");
    zrErrCode rc = TSP_SendDelDestChannelNumToInputBoard(channel);
    if (rc != ZR_SUCCESS)
        return rc;
    web_WaitDelDestAnswers();
    bool bDeleted = false;
    {
        CARD_STATE_LOCK();
        U16 ts = TSP_INVALID_INDEX;
        if (TSP_GetOutputTSIndexByTS((U16)channel, &ts) != 0)
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetOutputTSIndexByTS return error\r\n\n",
                       LOG_POS);
        if (ts != TSP_INVALID_INDEX) {
            WEB_ACTION("[%s:%d] WEB:TSP_DelOutputTS!\n\r\n");
            if (TSP_DelOutputTS(ts, TSP_GetTSParam()) != ZR_SUCCESS)
                log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_DelOutputTS return error\r\n\n",
                           LOG_POS);
            bDeleted = true;
        }
    }
    U32 applied = 0;
    if (bDeleted) {
        applied = TSP_MuxProcess();
        IPComm_SendEITInfo();
    }
    // The slave's routing tables in every case (the streams of an absent
    // input card may have been cleared above), so channels 4-7 stop routing
    // deleted PIDs.
    TSP_SendSubFPGAMuxLUTInfo();
    TSP_SendSubFPGABypassLUTInfo();
    TSP_UpdateResourceInfo();
    // The deletion stays in force when the file was not written.
    if (applied != 0)
        return ZR_ERR_NOT_SAVED;
    return web_ReplyData(reply, nullptr);
}
