// Web handlers of the operator's SI: the NIT of each output channel, the PAT
// PID, the TOT's local time offset, the per-channel table switches and the
// automatic cable NIT, with the descriptor, BCD and hex codings they need.
#include "Common/thread.h"
#include "DTMB/dtmb_param.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Parameter/recoverdata.h"
#include "SIprocess/SIgenerate.h"
#include "SIprocess/SItable.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_edit.h"
#include "TSprocess/tsp_mux.h"
#include "TSprocess/tsp_nit.h"
#include "Web/web.h"
#include "Web/web_json.h"
#include <cctype>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The descriptors a request builds (one request at a time).
static dvbpsi_descriptor_t s_stDescriptor;
static dvbpsi_descriptor_t s_stTmpDescriptor;

// A descriptor's length field is one byte.
static const U32 kDescBodyMax = 255;
// Body bytes of a satellite or cable delivery system descriptor.
static const U32 kDeliveryBodyLen = 11;
static const U32 kSectionScratch = 10240;

// ---- Codings ----

U8 x2c(const char* what)
{
    if (what == nullptr || what[0] == '\0')
        return 0;
    auto digit = [](char c) -> int {
        if (c >= 'a')
            return c - 'a' + 10;
        if (c >= 'A')
            return c - 'A' + 10;
        return c - '0';
    };
    if (what[1] == '\0')
        return (U8)digit(what[0]);
    return (U8)(digit(what[0]) * 16 + digit(what[1]));
}

U32 Bcd2Hex(U32 u32Value)
{
    U32 out = 0;
    for (U32 i = 0; i < 8 && u32Value != 0; i++) {
        out |= (u32Value % 10) << (4 * i);
        u32Value /= 10;
    }
    return out;
}

// Decimal value of the lowest `digits` BCD nibbles of a word, lowest first.
static double web_BcdRead(U32 word, U32 digits)
{
    double v = 0, scale = 1;
    for (U32 i = 0; i < digits; i++) {
        v += ((word >> (4 * i)) & 0xF) * scale;
        scale *= 10;
    }
    return v;
}

static U32 web_Word(const U8* p) { return (U32)p[0] << 24 | (U32)p[1] << 16 | (U32)p[2] << 8 | p[3]; }

static void web_PutWord(U8* p, U32 v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (U8)(v >> (24 - 8 * i));
}

// Frequency (bytes 0..3, 8 digits) and symbol rate (bytes 7..10, 7 digits
// above the FEC_inner nibble, which is kept) of a delivery descriptor body.
static void web_PutDeliveryBcd(U8* body, U64 freq, U64 symbolRate)
{
    web_PutWord(body, Bcd2Hex((U32)(freq % 100000000u)));
    const U32 sr = Bcd2Hex((U32)(symbolRate % 10000000u)) << 4;
    web_PutWord(body + 7, sr | (body[10] & 0x0F));
}

zrErrCode _web_parseDescriptor(const U8* pu8Desc, U32 u32Len, cJSON* pArray)
{
    if (pu8Desc == nullptr || pArray == nullptr || u32Len == 0 || !cJSON_IsArray(pArray))
        return ZR_ERR_WEB_BAD_PARAM;
    U32 empties = 0;
    for (U32 off = 0; off < u32Len;) {
        // A descriptor running past the loop ends the walk: nothing beyond is read.
        if (off + 2 > u32Len || off + 2 + pu8Desc[off + 1] > u32Len)
            break;
        const U8 tag = pu8Desc[off];
        const U8 len = pu8Desc[off + 1];
        const U8* body = pu8Desc + off + 2;
        if (len == 0 && ++empties == 5)
            break;
        cJSON* o = cJSON_CreateObject();
        char hex[3];
        snprintf(hex, sizeof(hex), "%02x", tag);
        cJSON_AddStringToObject(o, "tag", hex);
        if (tag == 0x40) {
            const char* name = (const char*)web_StringConvertToUTF8(body, len);
            cJSON_AddStringToObject(o, "data", name);
            web_AddNum(o, "length", (double)strlen(name));
        } else {
            std::string data;
            for (U32 i = 0; i < len; i++) {
                snprintf(hex, sizeof(hex), "%02x", body[i]);
                data += hex;
            }
            cJSON_AddStringToObject(o, "data", data.c_str());
            web_AddNum(o, "length", len);
            // A delivery descriptor too short for its fields is listed as bytes only.
            if ((tag == 0x43 || tag == 0x44) && len >= kDeliveryBodyLen) {
                const double freq = web_BcdRead(web_Word(body), 8);
                web_AddNum(o, "frequency", tag == 0x43 ? freq / 100.0 : freq / 10.0);
                if (tag == 0x43)
                    web_AddNum(o, "orbitalposition", web_BcdRead((U32)body[4] << 8 | body[5], 4) / 10.0);
                web_AddNum(o, "symbolrate", web_BcdRead(web_Word(body + 7) >> 4, 7) / 10.0);
            }
        }
        cJSON_AddItemToArray(pArray, o);
        off += 2u + len;
    }
    return ZR_SUCCESS;
}

// ---- Request helpers ----

// The flat output channel of "port" and "channel"; 774 when either is
// missing or negative, or the channel lies beyond the card's eight.
static zrErrCode web_ReqChannel(const WebBody& body, U16* pu16Channel)
{
    U32 port = 0, channel = 0;
    if (!web_MemberWhole(body.Root(), "port", 0xFFFFFFFFu, &port) ||
        !web_MemberWhole(body.Root(), "channel", 0xFFFFFFFFu, &channel))
        return ZR_ERR_WEB_POST_PARAM;
    const U64 flat = (U64)port * _web_GetOutChannelNumbyPort(port) + channel;
    if (flat >= TSP_WEB_CHANNEL_MAX)
        return ZR_ERR_WEB_POST_PARAM;
    *pu16Channel = (U16)flat;
    return ZR_SUCCESS;
}

// The body's status, then its channel (see web_ReqChannel).
static zrErrCode web_BodyChannel(const WebBody& body, U16* pu16Channel)
{
    return body.Status() != ZR_SUCCESS ? body.Status() : web_ReqChannel(body, pu16Channel);
}

// The same for a request that edits the working copy: 783 when the copy is
// not the state its page was shown.
static zrErrCode web_EditChannel(const WebBody& body, U16* pu16Channel)
{
    zrErrCode rc = web_BodyChannel(body, pu16Channel);
    return rc != ZR_SUCCESS ? rc : web_CheckTempEdit(body);
}

// For a request that changes the live database and the working copy alike
// (table switches, the automatic NIT): when it names a revision, 783 unless
// that is the copy's; then the change is its page's own (*pbOwn), which the
// copy takes as an edit. Without one it is a change under every page.
static zrErrCode web_OwnChange(const WebBody& body, bool* pbOwn)
{
    U32 store = 0;
    const U32* rev = nullptr;
    zrErrCode rc = web_ReadRevision(body, &rev, &store);
    *pbOwn = rc == ZR_SUCCESS && rev != nullptr;
    return rc != ZR_SUCCESS || rev == nullptr ? rc : web_CheckTempState(body);
}

// The reply of an edit: the step's own code, or success with the revision
// after it.
static zrErrCode web_Done(buffer* reply, U32 ret)
{
    return ret != 0 ? (zrErrCode)ret : web_ReplyRevision(reply);
}

// The live stream of a channel; 774 when it has none.
static zrErrCode web_LiveStream(U16 u16Channel, U16* pu16Index)
{
    U16 idx = TSP_INVALID_INDEX;
    const Output_TSInfo* db = TSP_GetTSParam();
    if (TSP_GetOutputTSIndexByTS(u16Channel, &idx) != 0 || idx == TSP_INVALID_INDEX || db == nullptr ||
        idx >= db->u32OutputTSNumber)
        return ZR_ERR_WEB_POST_PARAM;
    *pu16Index = idx;
    return ZR_SUCCESS;
}

// The same stream in the working copy (the PAT readers index it by the live
// position); 774 when the working copy does not hold it there.
static zrErrCode web_TempStream(U16 u16Channel)
{
    U16 idx = TSP_INVALID_INDEX;
    zrErrCode rc = web_LiveStream(u16Channel, &idx);
    if (rc != ZR_SUCCESS)
        return rc;
    const Output_TSInfo* w = TSP_GetTempTSParam();
    if (w == nullptr || idx >= w->u32OutputTSNumber || w->pOutputTS[idx].u8ValidFlag != 1 ||
        w->pOutputTS[idx].u16ChannelID != u16Channel)
        return ZR_ERR_WEB_POST_PARAM;
    return ZR_SUCCESS;
}

// Required numbers of the body, whole and 32-bit; false when one is missing
// or is not.
static bool web_Need(const WebBody& body, std::initializer_list<std::pair<const char*, U32*>> keys)
{
    for (const auto& k : keys)
        if (!web_MemberWhole(body.Root(), k.first, 0xFFFFFFFFu, k.second))
            return false;
    return true;
}

enum class WebEdit { Add, Replace, Neither };

// "editFlag" by its JSON type; false when it is missing.
static bool web_EditFlag(const WebBody& body, WebEdit* kind)
{
    const cJSON* f = body.Get("editFlag");
    if (f == nullptr)
        return false;
    *kind = cJSON_IsFalse(f) ? WebEdit::Add : cJSON_IsTrue(f) ? WebEdit::Replace : WebEdit::Neither;
    return true;
}

// Logs the operator's add or replace: each text a "[%s:%d]" format naming
// the handler, followed by the handler's own values.
template <typename... Args>
static void web_LogEdit(const char* func, WebEdit edit, const char* addText, const char* editText, Args... args)
{
    if (edit != WebEdit::Neither)
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB, edit == WebEdit::Add ? addText : editText, func, __LINE__, args...);
}

// Adds a descriptor to NIT entry `entry` or replaces its descriptor `index`;
// 0 when the edit is neither.
static U32 web_PutNITDesc(WebEdit edit, U16 ch, U32 entry, U32 index, dvbpsi_descriptor_t* d)
{
    if (edit == WebEdit::Add)
        return Web_TSP_AddDescriptor2NIT_Ts(ch, entry > 0x7FFFFFFF ? -1 : (int)entry, d);
    if (edit == WebEdit::Replace)
        return Web_TSP_EditOneTSDescOfNIT(ch, entry, index, d);
    return 0;
}

// A body from a JSON array (element i gives byte i, its whole part; other
// elements leave 0); false when the array is longer than a body may be or a
// number is outside 0..255.
static bool web_BodyFromArray(const cJSON* arr, U32 max, dvbpsi_descriptor_t* d)
{
    memset(d->auc_data, 0, sizeof(d->auc_data));
    const int n = cJSON_GetArraySize(arr);
    if (n < 0 || (U32)n > max)
        return false;
    int i = 0;
    const cJSON* e = nullptr;
    cJSON_ArrayForEach(e, arr)
    {
        if (cJSON_IsNumber(e)) {
            // A byte is 0..255; anything else (1e300, -1, NaN) has none.
            if (!(e->valuedouble >= 0 && e->valuedouble <= 255))
                return false;
            d->auc_data[i] = (U8)e->valuedouble;
        }
        i++;
    }
    d->i_length = (U8)n;
    return true;
}

// Text of hex digits only.
static bool web_IsHexText(const char* text)
{
    for (; *text; text++)
        if (!isxdigit((unsigned char)*text))
            return false;
    return true;
}

// A body from hex text of even length (two characters per byte).
static bool web_BodyFromHex(const cJSON* text, dvbpsi_descriptor_t* d)
{
    if (!cJSON_IsString(text) || text->valuestring == nullptr || !web_IsHexText(text->valuestring))
        return false;
    const size_t n = strlen(text->valuestring);
    if (n % 2 != 0 || n / 2 > kDescBodyMax)
        return false;
    memset(d->auc_data, 0, sizeof(d->auc_data));
    for (size_t i = 0; i < n / 2; i++)
        d->auc_data[i] = x2c(text->valuestring + 2 * i);
    d->i_length = (U8)(n / 2);
    return true;
}

// A tag given as exactly two hex characters.
static bool web_Tag(const cJSON* text, U8* tag)
{
    if (!cJSON_IsString(text) || text->valuestring == nullptr || strlen(text->valuestring) != 2 ||
        !web_IsHexText(text->valuestring))
        return false;
    *tag = x2c(text->valuestring);
    return true;
}

// The channel's view from the working copy; 774 for a channel without stream.
static zrErrCode web_TempView(U16 u16Channel, Output_WebTSInfo* view)
{
    U32 rc = Web_GetTempTSWebInfo(u16Channel, view);
    if (rc != 0)
        return (zrErrCode)rc;
    return view->u8ValidFlag == 1 ? ZR_SUCCESS : ZR_ERR_WEB_POST_PARAM;
}

// Hands an edited view to the working copy; a conflict without a code is 774.
static zrErrCode web_ModifyTempView(Output_WebTSInfo* view)
{
    U8 conflict = 0;
    U32 rc = Web_ModifyTSWebInfo(view, &conflict);
    if (rc != 0)
        return (zrErrCode)rc;
    return conflict ? ZR_ERR_WEB_POST_PARAM : ZR_SUCCESS;
}

// ISDB-T: after deleting entry 0 of the NIT the stream no longer has a TS
// information descriptor.
static zrErrCode web_ClearTsInfoFlag(U32 u32Entry, Output_WebTSInfo* view)
{
    if (PARAMS_GetModulationMod() != 5 || u32Entry != 0)
        return ZR_SUCCESS;
    view->u8HasTsInfoFlag = 0;
    return web_ModifyTempView(view);
}

// ---- Adapters ----

U32 Web_TSP_GetNITTableInfo(int nChannel, NITTable_t* pstNIT) { return TSP_GetNITTableInfo(nChannel, pstNIT); }
U32 Web_TSP_AddNetworkDescriptor(int nChannel, dvbpsi_descriptor_t stDesc)
{
    return TSP_AddNetworkDescriptor(nChannel, &stDesc);
}
U32 Web_TSP_DeleteNetworkDesc(int nChannel, int nIndex) { return TSP_DeleteNetworkDesc(nChannel, nIndex); }
U32 Web_TSP_AddNIT_TS(int nChannel, U16 u16TSID, U16 u16OriginalNetworkID)
{
    return TSP_AddNIT_TS(nChannel, u16TSID, u16OriginalNetworkID);
}
U32 Web_TSP_DelOneTSOfNIT(int nChannel, int nEntry) { return TSP_DelOneTSOfNIT(nChannel, nEntry); }
U32 Web_TSP_AddDescriptor2NIT_Ts(int nChannel, int nEntry, dvbpsi_descriptor_t* pstDesc)
{
    return TSP_AddDescriptor2NIT_Ts(nChannel, nEntry, pstDesc);
}
U32 Web_TSP_EditOneTSDescOfNIT(int nChannel, U32 u32Entry, U32 u32DescIndex, dvbpsi_descriptor_t* pstDesc)
{
    return TSP_EditOneTSDescOfNIT(nChannel, u32Entry, u32DescIndex, pstDesc);
}
U32 Web_TSP_DeleteOneTSDescOfNIT(int nChannel, U32 u32Entry, U32 u32DescIndex)
{
    return TSP_DeleteOneTSDescOfNIT(nChannel, u32Entry, u32DescIndex);
}
U32 Web_TSP_EditNITVersionNum(U16 u16Channel, U16 u16Version, U16 u16NetworkID)
{
    return TSP_EditNITVersionNum(u16Channel, u16Version, u16NetworkID);
}
U32 Web_TSP_GetOneTsDescInfo(int nChannel, U32 u32Entry, U32 u32DescIndex, dvbpsi_descriptor_t* pstDesc)
{
    return TSP_GetOneTsDescInfo(nChannel, u32Entry, u32DescIndex, pstDesc);
}
U16 Web_TSP_GetPATPID(U16 u16Channel) { return TSP_GetPATPID(u16Channel, TSP_GetTempTSParam()); }
zrErrCode Web_TSP_SetPATPID(U16 u16Channel, U16 u16PID) { return TSP_SetPATPID(u16Channel, u16PID); }
BOOL Web_TSP_IsPATPIDExistInTS(U16 u16Channel, U16 u16PID)
{
    U16 idx = TSP_INVALID_INDEX;
    if (TSP_GetOutputTSIndexByTS(u16Channel, &idx) != 0 || idx == TSP_INVALID_INDEX)
        return FALSE;
    return IsPIDExistInTS(idx, u16PID);
}
U32 Web_TSP_GetTOTTableInfo(int nChannel, TOTTable_t* pstTOT) { return TSP_GetTOTTableInfo(nChannel, pstTOT); }
zrErrCode Web_TSP_AddTOT_LTODescriptor(U16 u16Channel, TOTBuf_t* pstTOTBuf)
{
    return TSP_EditTOT_LTODescriptor(u16Channel, pstTOTBuf);
}
U32 Web_TSP_DelTOT(int nChannel) { return TSP_DelTOT(nChannel); }
U32 Web_TSP_DelOneNITInfo(U16 u16OutTSIndex) { return TSP_DelOneNITInfo(u16OutTSIndex); }
U32 Web_TSP_AutoAddCableDeliverySystemDescriptor2NIT(U32 u32Channel)
{
    return TSP_AutoAddCableDeliverySystemDescriptor2NIT(u32Channel);
}

// ---- NIT ----

zrErrCode web_processGetNIT(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    U16 ch = 0;
    zrErrCode rc = web_BodyChannel(body, &ch);
    if (rc == ZR_SUCCESS)
        rc = web_ViewTemp();
    if (rc != ZR_SUCCESS)
        return rc;
    auto nit = std::make_unique<NITTable_t>();
    U32 ret = Web_TSP_GetNITTableInfo(ch, nit.get());
    if (ret == 1) {
        // A stream without NIT: the page's first edit of one still names
        // the state it was shown.
        cJSON* root = cJSON_CreateObject();
        cJSON_AddNumberToObject(root, "code", 1);
        cJSON_AddStringToObject(root, "description", web_GetErrCodeString((zrErrCode)1));
        web_AddRevision(cJSON_AddObjectToObject(root, "data"));
        _web_addToWriteBuff(root, reply);
        return ZR_SUCCESS;
    }
    if (ret != 0)
        return (zrErrCode)ret;
    cJSON* data = cJSON_CreateObject();
    web_AddNum(data, "networkid", nit->u16NetworkId);
    web_AddNum(data, "versionnumber", nit->u8VersionNum);
    cJSON* net = cJSON_AddArrayToObject(data, "networkList");
    const U32 netLen = nit->u16NetworkInfoLen < SIP_NIT_INFO_MAX ? nit->u16NetworkInfoLen : SIP_NIT_INFO_MAX;
    bool ok = netLen == 0 || _web_parseDescriptor(nit->aru8NetworkInfo, netLen, net) == ZR_SUCCESS;
    cJSON* streams = cJSON_AddArrayToObject(data, "streamList");
    const U32 n = nit->u16TPNumber < SIP_NIT_MAX_TS ? nit->u16TPNumber : SIP_NIT_MAX_TS;
    for (U32 i = 0; ok && i < n; i++) {
        const TSInfoStruct_t& e = nit->arstTPData[i];
        cJSON* o = cJSON_CreateObject();
        cJSON_AddItemToArray(streams, o);
        web_AddNum(o, "originID", e.u16OriginalNetId);
        web_AddNum(o, "tsid", e.u16TSID);
        cJSON* descs = cJSON_AddArrayToObject(o, "descriptors");
        const U32 len = e.u16DescriptorsLen < sizeof(e.aru8Descriptors) ? e.u16DescriptorsLen : sizeof(e.aru8Descriptors);
        ok = len == 0 || _web_parseDescriptor(e.aru8Descriptors, len, descs) == ZR_SUCCESS;
    }
    if (!ok) {
        cJSON_Delete(data);
        return ZR_ERR_WEB_POST_PARAM;
    }
    web_AddRevision(data);
    return web_ReplyData(reply, data);
}

zrErrCode web_processAddNITNetwork(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    U16 ch = 0;
    zrErrCode rc = web_EditChannel(body, &ch);
    if (rc != ZR_SUCCESS)
        return rc;
    dvbpsi_descriptor_t d{};
    const cJSON* data = body.Get("data");
    if (!web_Tag(body.Get("tag"), &d.i_tag) || !cJSON_IsString(data) || data->valuestring == nullptr)
        return ZR_ERR_WEB_POST_PARAM;
    if (d.i_tag == 0x40) {
        const U8* name = web_UTF8ToServiceName((const U8*)data->valuestring, (U32)strlen(data->valuestring));
        const U32 len = name ? web_strlen(name, kDescBodyMax + 1) : 0;
        if (name == nullptr || len > kDescBodyMax)
            return ZR_ERR_WEB_POST_PARAM;
        memcpy(d.auc_data, name, len);
        d.i_length = (U8)len;
    } else if (!web_BodyFromHex(data, &d)) {
        return ZR_ERR_WEB_POST_PARAM;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB,
               "[%s:%d] WEB: Service Congfiguration > TS > NIT > Nit Network Descriptor > click Add "
               "button!(Web_TSP_AddNetworkDescriptor)\r\n",
               __func__, __LINE__);
    U32 ret = Web_TSP_AddNetworkDescriptor(ch, d);
    return web_Done(reply, ret);
}

zrErrCode web_processDelNITNetwork(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    U16 ch = 0;
    U32 index = 0;
    zrErrCode rc = web_EditChannel(body, &ch);
    if (rc != ZR_SUCCESS)
        return rc;
    if (!web_Need(body, {{"NIT", &index}}))
        return ZR_ERR_WEB_POST_PARAM;
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB,
               "[%s:%d] WEB: Service Congfiguration > TS > NIT > NIT Network Descriptor > click Delete Network "
               "Descriptor button!(Web_TSP_DeleteNetworkDesc)\r\n",
               __func__, __LINE__);
    U32 ret = Web_TSP_DeleteNetworkDesc(ch, index > 0x7FFFFFFF ? -1 : (int)index);
    return web_Done(reply, ret);
}

zrErrCode web_processAddNITTS(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    U16 ch = 0;
    U32 onid = 0, tsid = 0;
    zrErrCode rc = web_EditChannel(body, &ch);
    if (rc != ZR_SUCCESS)
        return rc;
    if (!web_Need(body, {{"originalID", &onid}, {"tsid", &tsid}}) || onid > 0xFFFF || tsid > 0xFFFF)
        return ZR_ERR_WEB_POST_PARAM;
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB,
               "[%s:%d] WEB: Service Congfiguration > TS > NIT > NIT Stram > click Add button!(Web_TSP_AddNIT_TS)\r\n",
               __func__, __LINE__);
    U32 ret = Web_TSP_AddNIT_TS(ch, (U16)tsid, (U16)onid);
    return web_Done(reply, ret);
}

// Deletes a NIT entry or one descriptor of it.
static zrErrCode web_DeleteNITPart(buffer* reply, bool bDescriptor)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    U16 ch = 0;
    U32 entry = 0, desc = 0;
    zrErrCode rc = web_EditChannel(body, &ch);
    if (rc != ZR_SUCCESS)
        return rc;
    if (!web_Need(body, {{"NIT", &entry}}) || (bDescriptor && !web_Need(body, {{"descriptor", &desc}})))
        return ZR_ERR_WEB_POST_PARAM;
    auto view = std::make_unique<Output_WebTSInfo>();
    if ((rc = web_TempView(ch, view.get())) != ZR_SUCCESS)
        return rc;
    U32 ret;
    if (bDescriptor) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB,
                   "[%s:%d] WEB: Service Congfiguration > TS > NIT > NIT Stram > click Delete LCN Stream "
                   "button!(Web_TSP_DeleteOneTSDescOfNIT)\r\n",
                   __func__, __LINE__);
        ret = Web_TSP_DeleteOneTSDescOfNIT(ch, entry, desc);
    } else {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB,
                   "[%s:%d] WEB: Service Congfiguration > TS > NIT > NIT Stram > click Delete NIT Stream "
                   "button!(Web_TSP_DelOneTSOfNIT)\r\n",
                   __func__, __LINE__);
        ret = Web_TSP_DelOneTSOfNIT(ch, entry > 0x7FFFFFFF ? -1 : (int)entry);
    }
    if (ret != 0)
        return (zrErrCode)ret;
    if ((rc = web_ClearTsInfoFlag(entry, view.get())) != ZR_SUCCESS)
        return rc;
    return web_ReplyRevision(reply);
}

zrErrCode web_processDelNITTS(buffer* reply) { return web_DeleteNITPart(reply, false); }
zrErrCode web_processDelLCN(buffer* reply) { return web_DeleteNITPart(reply, true); }

// A descriptor from an optional tag number and byte array; false when the
// tag is not a byte or the array is longer than a body.
static bool web_OptionalDescriptor(const WebBody& body, const char* tagKey, const char* dataKey,
                                   dvbpsi_descriptor_t* d)
{
    memset(d, 0, sizeof(*d));
    U32 tag = 0;
    if (web_MemberWhole(body.Root(), tagKey, 0xFF, &tag))
        d->i_tag = (U8)tag;
    else if (body.Get(tagKey) != nullptr)
        return false;
    const cJSON* data = body.Get(dataKey);
    return !cJSON_IsArray(data) || web_BodyFromArray(data, kDescBodyMax, d);
}

zrErrCode web_processSetLCN(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    U16 ch = 0;
    U32 entry = 0, index = 0;
    WebEdit edit;
    zrErrCode rc = web_EditChannel(body, &ch);
    if (rc != ZR_SUCCESS)
        return rc;
    if (!web_Need(body, {{"NIT", &entry}, {"descriptor", &index}}) || !web_EditFlag(body, &edit))
        return ZR_ERR_WEB_POST_PARAM;
    if (!web_OptionalDescriptor(body, "tagId", "data", &s_stTmpDescriptor) ||
        !web_OptionalDescriptor(body, "tagId2", "data2", &s_stDescriptor))
        return ZR_ERR_WEB_POST_PARAM;
    // The add text has no tag: the extra value is not printed.
    web_LogEdit(__func__, edit,
                "[%s:%d] WEB: TSoIP Output > Service Congfiguration > TS > NIT > NIT Stram > Add LCNv2&LCNv1 "
                "Descriptor > click OK button!(Web_TSP_AddDescriptor2NIT_Ts)\r\n",
                "[%s:%d] WEB: Service Congfiguration > TS > NIT > NIT Stram > Edit LCN Descriptor(%x) > click OK "
                "button!(Web_TSP_EditOneTSDescOfNIT)\r\n",
                s_stTmpDescriptor.i_tag);
    U32 ret = 0;
    if (s_stDescriptor.i_tag != 0)
        ret = web_PutNITDesc(edit, ch, entry, index, &s_stDescriptor);
    if (ret == 0 && s_stTmpDescriptor.i_tag != 0)
        ret = web_PutNITDesc(edit, ch, entry, index, &s_stTmpDescriptor);
    return web_Done(reply, ret);
}

zrErrCode web_processSetCableDescriptor(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    U16 ch = 0;
    U32 entry = 0, index = 0;
    WebEdit edit;
    zrErrCode rc = web_EditChannel(body, &ch);
    if (rc != ZR_SUCCESS)
        return rc;
    const cJSON* list = body.Get("lcnList");
    if (!web_Need(body, {{"NIT", &entry}, {"descriptor", &index}}) || !cJSON_IsArray(list) ||
        !web_EditFlag(body, &edit))
        return ZR_ERR_WEB_POST_PARAM;
    U32 freq = 0, sr = 0, mod = 0;
    const cJSON* e = nullptr;
    cJSON_ArrayForEach(e, list)
    {
        // Eight BCD digits of 100 Hz, seven of 100 symbol/s: no more than
        // they hold.
        if (!web_MemberWhole(e, "frequency", 9999999u, &freq) || !web_MemberWhole(e, "symbolrate", 999999u, &sr) ||
            !web_MemberWhole(e, "modulation", 0xFF, &mod))
            return ZR_ERR_WEB_POST_PARAM;
    }
    memset(&s_stDescriptor, 0, sizeof(s_stDescriptor));
    s_stDescriptor.i_tag = 0x44;
    s_stDescriptor.i_length = kDeliveryBodyLen;
    web_PutDeliveryBcd(s_stDescriptor.auc_data, (U64)freq * 10, (U64)sr * 10);
    s_stDescriptor.auc_data[6] = (U8)mod;
    web_LogEdit(__func__, edit,
                "[%s:%d] WEB: TSoIP Output > Service Congfiguration > TS > NIT > NIT Stram > Add Cable Descriptor > "
                "click OK button!(Web_TSP_AddDescriptor2NIT_Ts)\r\n",
                "[%s:%d] WEB: Service Congfiguration > TS > NIT > NIT Stram > Edit Cable Descriptor > click OK "
                "button!(Web_TSP_EditOneTSDescOfNIT)\r\n");
    return web_Done(reply, web_PutNITDesc(edit, ch, entry, index, &s_stDescriptor));
}

zrErrCode web_processSetNITVersion(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    U16 ch = 0;
    U32 network = 0, version = 0;
    zrErrCode rc = web_EditChannel(body, &ch);
    if (rc != ZR_SUCCESS)
        return rc;
    if (!web_Need(body, {{"networkid", &network}, {"versionnumber", &version}}) || network > 0xFFFF)
        return ZR_ERR_WEB_POST_PARAM;
    // A version no 16 bits hold stays out of range rather than wrapping into it.
    U32 ret = Web_TSP_EditNITVersionNum(ch, version > 0xFFFF ? 0xFFFF : (U16)version, (U16)network);
    return web_Done(reply, ret);
}

// Satellite delivery fields in BCD: frequency (MHz) x 100, orbital position
// (degrees) x 10 and symbol rate (ksymbol/s) x 10; 774 when one needs more
// digits than its field has.
static zrErrCode web_SatelliteBcd(U32 freq, U32 orbital, U32 sr, U8* body)
{
    const U64 f = (U64)freq * 100, o = (U64)(orbital & 0xFFFF) * 10, s = (U64)sr * 10;
    if (f > 99999999u) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d satellite frequency > 0x99999999\n", LOG_POS);
        return ZR_ERR_WEB_POST_PARAM;
    }
    if (o > 9999u) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d satellite orbitalposition > 0x9999\n", LOG_POS);
        return ZR_ERR_WEB_POST_PARAM;
    }
    if (s > 9999999u) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d satellite symbolrate > 0x9999999\n", LOG_POS);
        return ZR_ERR_WEB_POST_PARAM;
    }
    web_PutDeliveryBcd(body, f, s);
    const U32 pos = Bcd2Hex((U32)o);
    body[4] = (U8)(pos >> 8);
    body[5] = (U8)pos;
    return ZR_SUCCESS;
}

zrErrCode web_processAddDescriptor(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    U16 ch = 0;
    U32 entry = 0, index = 0, tableIndex = 0, tag = 0, tableId = 0;
    WebEdit edit;
    zrErrCode rc = web_EditChannel(body, &ch);
    if (rc != ZR_SUCCESS)
        return rc;
    const cJSON* data = body.Get("data");
    if (!web_Need(body, {{"NIT", &entry}, {"descriptor", &index}, {"tableindex", &tableIndex}, {"tagId", &tag},
                         {"tableid", &tableId}}) ||
        tag > 0xFF || !cJSON_IsArray(data) || !web_EditFlag(body, &edit))
        return ZR_ERR_WEB_POST_PARAM;
    dvbpsi_descriptor_t& d = s_stDescriptor;
    memset(&d, 0, sizeof(d));
    d.i_tag = (U8)tag;
    if (!web_BodyFromArray(data, kDescBodyMax, &d))
        return ZR_ERR_WEB_POST_PARAM;
    if (d.i_tag == 0x43 || d.i_tag == 0x44) {
        U32 freq = 0, orbital = 0, sr = 0;
        // The fields need the whole body: a shorter one would lose them.
        if (d.i_length < kDeliveryBodyLen || !web_Need(body, {{"frequency", &freq}, {"symbolrate", &sr}}))
            return ZR_ERR_WEB_POST_PARAM;
        if (d.i_tag == 0x43) {
            if (!web_Need(body, {{"orbitalposition", &orbital}}))
                return ZR_ERR_WEB_POST_PARAM;
            if ((rc = web_SatelliteBcd(freq, orbital, sr, d.auc_data)) != ZR_SUCCESS)
                return rc;
        } else {
            if (freq > 9999999u || sr > 999999u)
                return ZR_ERR_WEB_POST_PARAM;
            web_PutDeliveryBcd(d.auc_data, (U64)freq * 10, (U64)sr * 10);
        }
    }
    web_LogEdit(__func__, edit,
                "[%s:%d] WEB: TSoIP Output > Service Congfiguration > TS > PSI Table(%x) > Stram > Add "
                "Descriptor(%x) > click OK button!\r\n",
                "[%s:%d] WEB: Service Congfiguration > TS > PSI Table(%x) > Stram > Edit Descriptor(%x) > click OK "
                "button!\r\n",
                tableId, d.i_tag);
    return web_Done(reply, tableId == 0x40 ? web_PutNITDesc(edit, ch, entry, index, &d) : 0);
}

zrErrCode web_processSetOtherDescriptor(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    U16 ch = 0;
    U32 entry = 0, index = 0, tableIndex = 0;
    WebEdit edit;
    zrErrCode rc = web_EditChannel(body, &ch);
    if (rc != ZR_SUCCESS)
        return rc;
    dvbpsi_descriptor_t& d = s_stDescriptor;
    memset(&d, 0, sizeof(d));
    if (!web_Need(body, {{"tsindex", &entry}, {"descriptor", &index}, {"tableindex", &tableIndex}}) ||
        !web_Tag(body.Get("tag"), &d.i_tag) || !web_BodyFromHex(body.Get("data"), &d) || !web_EditFlag(body, &edit))
        return ZR_ERR_WEB_POST_PARAM;
    web_LogEdit(__func__, edit,
                "[%s:%d] WEB: TSoIP Output > Service Congfiguration > TS > PSI Table > Stream > Add "
                "OtherDescriptor(%x) > click OK button!\r\n",
                "[%s:%d] WEB: Service Congfiguration > TS > PSI Table > Stream > Edit OtherDescriptor(%x) > click "
                "OK button!\r\n",
                d.i_tag);
    return web_Done(reply, web_PutNITDesc(edit, ch, entry, index, &d));
}

zrErrCode web_processSetTSInfoDescriptor(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    U16 ch = 0;
    U32 entry = 0, index = 0;
    WebEdit edit;
    zrErrCode rc = web_EditChannel(body, &ch);
    if (rc != ZR_SUCCESS)
        return rc;
    const cJSON* data = body.Get("data");
    // Everything is checked before the view is changed.
    if (!web_Need(body, {{"NIT", &entry}, {"descriptor", &index}}) || !cJSON_IsArray(data) ||
        !web_EditFlag(body, &edit))
        return ZR_ERR_WEB_POST_PARAM;
    auto view = std::make_unique<Output_WebTSInfo>();
    if ((rc = web_TempView(ch, view.get())) != ZR_SUCCESS)
        return rc;
    dvbpsi_descriptor_t& d = s_stDescriptor;
    memset(&d, 0, sizeof(d));
    d.i_tag = 0xCD;
    const U32 programs = view->u16ProgramNum < TSP_WEB_PROGRAM_MAX ? view->u16ProgramNum : TSP_WEB_PROGRAM_MAX;
    // The body ends with two bytes per program: never read before it.
    if (!web_BodyFromArray(data, kDescBodyMax, &d) || d.i_length < 2 * programs)
        return ZR_ERR_WEB_POST_PARAM;
    U32 end = d.i_length;
    for (U32 i = programs; i-- > 0;) {
        view->arOutputProInfo[i].u16ServiceID = (U16)(d.auc_data[end - 2] << 8 | d.auc_data[end - 1]);
        end -= 2;
    }
    view->u8HasTsInfoFlag = 1;
    if ((rc = web_ModifyTempView(view.get())) != ZR_SUCCESS)
        return rc;
    web_LogEdit(__func__, edit,
                "[%s:%d] WEB: Service Congfiguration > TS > NIT > NIT Stram > Add Terrestial Descriptor > click OK "
                "button!(Web_TSP_AddDescriptor2NIT_Ts)\r\n",
                "[%s:%d] WEB: Service Congfiguration > TS > NIT > NIT Stram > Edit Terrestial Descriptor > click "
                "OK button!(Web_TSP_EditOneTSDescOfNIT)\r\n");
    return web_Done(reply, web_PutNITDesc(edit, ch, entry, index, &d));
}

// ---- PAT ----

zrErrCode web_processGetPAT(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    U16 ch = 0;
    zrErrCode rc = web_BodyChannel(body, &ch);
    if (rc == ZR_SUCCESS)
        rc = web_ViewTemp();
    if (rc == ZR_SUCCESS)
        rc = web_TempStream(ch);
    if (rc != ZR_SUCCESS)
        return rc;
    cJSON* data = cJSON_CreateObject();
    web_AddNum(data, "pid", Web_TSP_GetPATPID(ch));
    web_AddRevision(data);
    return web_ReplyData(reply, data);
}

zrErrCode web_processSetPATPid(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    U16 ch = 0;
    U32 pid = 0;
    zrErrCode rc = web_EditChannel(body, &ch);
    if (rc != ZR_SUCCESS)
        return rc;
    if (!web_Need(body, {{"pid", &pid}}) || pid > TSP_MAX_PID)
        return ZR_ERR_WEB_POST_PARAM;
    if ((rc = web_TempStream(ch)) != ZR_SUCCESS)
        return rc;
    const U16 p = (U16)pid;
    if (p != 0 && Web_TSP_IsPATPIDExistInTS(ch, p)) {
        cJSON* root = cJSON_CreateObject();
        cJSON_AddNumberToObject(root, "code", 1);
        cJSON_AddStringToObject(root, "description", "PID已存在!");
        _web_addToWriteBuff(root, reply);
        return ZR_SUCCESS;
    }
    rc = Web_TSP_SetPATPID(ch, p);
    return rc != ZR_SUCCESS ? rc : web_ReplyRevision(reply);
}

// ---- Table switches ----

zrErrCode web_GetPSITransparent(U16 u16OutChannel, PSITrans* pstTS)
{
    if (u16OutChannel > 7 || pstTS == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d [%s:%d]Input Error:u16OutChannel[%u], pstTS[%p]\r\n\n",
                   LOG_POS, __func__, __LINE__, u16OutChannel, (void*)pstTS);
        return ZR_ERR_WEB_BAD_PARAM;
    }
    memset(pstTS, 0, sizeof(*pstTS));
    U16 idx = TSP_INVALID_INDEX;
    const Output_TSInfo* db = TSP_GetTSParam();
    if (web_LiveStream(u16OutChannel, &idx) != ZR_SUCCESS) {
        pstTS->u8PATGenerate = pstTS->u8PMTGenerate = pstTS->u8CATGenerate = pstTS->u8SDTGenerate = 1;
        pstTS->u8TDTGenerate = pstTS->u8MGTGenerate = pstTS->u8VCTGenerate = pstTS->u8STTGenerate = 1;
        return ZR_SUCCESS;
    }
    const Output_TSStream& s = db->pOutputTS[idx];
    pstTS->u8PATGenerate = s.u8PATGenerate;
    pstTS->u8PMTGenerate = s.u8PMTGenerate;
    pstTS->u8CATGenerate = s.u8CATGenerate;
    pstTS->u8SDTGenerate = s.u8SDTGenerate;
    pstTS->u8BATGenerate = s.u8BATGenerate;
    pstTS->u8NITGenerate = s.u8NITGenerate;
    pstTS->u8TDTGenerate = s.u8TDTGenerate;
    pstTS->u8TOTGenerate = s.u8TOTGenerate;
    pstTS->u8EITGenerate = s.u8EITGenerate;
    pstTS->u8MGTGenerate = s.u8MGTGenerate;
    pstTS->u8VCTGenerate = s.u8VCTGenerate;
    pstTS->u8STTGenerate = s.u8STTGenerate;
    pstTS->u8ETTGenerate = s.u8ETTGenerate;
    pstTS->u16TransChannel = s.u16TransChannel;
    pstTS->u32VCTType = s.u32VCTType;
    return ZR_SUCCESS;
}

static void web_WriteSwitches(Output_TSStream& s, const PSITrans& t)
{
    s.u8PATGenerate = t.u8PATGenerate;
    s.u8PMTGenerate = t.u8PMTGenerate;
    s.u8CATGenerate = t.u8CATGenerate;
    s.u8SDTGenerate = t.u8SDTGenerate;
    s.u8BATGenerate = t.u8BATGenerate;
    s.u8NITGenerate = t.u8NITGenerate;
    s.u8TDTGenerate = t.u8TDTGenerate;
    s.u8TOTGenerate = t.u8TOTGenerate;
    s.u8EITGenerate = t.u8EITGenerate;
    s.u8MGTGenerate = t.u8MGTGenerate;
    s.u8VCTGenerate = t.u8VCTGenerate;
    s.u8STTGenerate = t.u8STTGenerate;
    s.u8ETTGenerate = t.u8ETTGenerate;
    s.u16TransChannel = t.u16TransChannel;
    s.u32VCTType = t.u32VCTType;
}

zrErrCode web_SetPSITransparent(U16 u16OutChannel, PSITrans* pstTS)
{
    Output_TSInfo* db = TSP_GetTSParam();
    if (u16OutChannel > 7 || db == nullptr || pstTS == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "[%s:%d]Input Error:u16OutChannel[%u], pstTS[%p]\r\n", __func__,
                   __LINE__, u16OutChannel, (void*)pstTS);
        return ZR_ERR_WEB_BAD_PARAM;
    }
    U16 idx = TSP_INVALID_INDEX;
    if (web_LiveStream(u16OutChannel, &idx) != ZR_SUCCESS)
        return ZR_ERR_TSP_TS_ERROR;
    if (db->pOutputTS[idx].u8BypassFlag == 1)
        return ZR_ERR_WEB_BAD_PARAM;
    return (zrErrCode)TSP_ChangeLiveWithTemp([&](bool bEdited) -> U32 {
        web_WriteSwitches(db->pOutputTS[idx], *pstTS);
        // Edits in the working copy: it carries the switches too, so that
        // committing it later does not turn them back.
        Output_TSInfo* w = TSP_GetTempTSParam();
        const U16 widx = TSP_FindStreamOfChannel(w, u16OutChannel);
        if (bEdited && widx != TSP_INVALID_INDEX)
            web_WriteSwitches(w->pOutputTS[widx], *pstTS);
        return ZR_SUCCESS;
    });
}

zrErrCode web_GetSubboardPSIPChannel(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    // Its revision names the working copy, which is opened for it.
    zrErrCode open = web_ViewTemp();
    if (open != ZR_SUCCESS)
        return open;
    cJSON* data = cJSON_CreateObject();
    cJSON* port = cJSON_CreateObject();
    cJSON_AddItemToArray(cJSON_AddArrayToObject(data, "portlist"), port);
    web_AddNum(port, "port", 0);
    cJSON* list = cJSON_AddArrayToObject(port, "channellist");
    auto view = std::make_unique<Output_WebTSInfo>();
    const U32 count = Web_GetOutputChannelNum();
    for (U32 c = 0; c < count && c < TSP_WEB_CHANNEL_MAX; c++) {
        U16 idx = TSP_INVALID_INDEX;
        if (TSP_GetOutputTSIndexByTS((U16)c, &idx) != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d TSP_GetOutputTSIndexByTS return error\r\n\n",
                       LOG_POS);
            continue;
        }
        if (idx == TSP_INVALID_INDEX)
            continue;
        PSITrans t;
        U32 rc = Web_GetTSWebInfo((U16)c, view.get());
        if (rc == 0)
            rc = web_GetPSITransparent((U16)c, &t);
        if (rc != 0) {
            cJSON_Delete(data);
            return (zrErrCode)rc;
        }
        cJSON* o = cJSON_CreateObject();
        cJSON_AddItemToArray(list, o);
        web_AddNum(o, "channel", c);
        web_AddNum(o, "port", 0);
        web_AddNum(o, "enable", 1);
        web_AddNum(o, "isBypass", view->u8BypassFlag == 1 ? 1 : 0);
        cJSON* f = cJSON_AddObjectToObject(o, "flag");
        const std::pair<const char*, U8> flags[] = {
            {"pat", t.u8PATGenerate}, {"pmt", t.u8PMTGenerate}, {"cat", t.u8CATGenerate}, {"sdt", t.u8SDTGenerate},
            {"tdt", t.u8TDTGenerate}, {"tot", t.u8TOTGenerate}, {"bat", t.u8BATGenerate}, {"nit", t.u8NITGenerate},
            {"eit", t.u8EITGenerate}, {"mgt", t.u8MGTGenerate}, {"vct", t.u8VCTGenerate}, {"stt", t.u8STTGenerate}};
        for (const auto& kv : flags)
            web_AddNum(f, kv.first, kv.second);
        web_AddNum(f, "vcttype", t.u32VCTType);
    }
    web_AddRevision(data);
    return web_ReplyData(reply, data);
}

// One element of "channellist", read whole before anything is written.
struct WebSwitchItem {
    U16 u16Channel;
    U8 u8Enable;
    PSITrans stTrans;
};

static bool web_ReadSwitchItem(const cJSON* e, U32 port, WebSwitchItem* item)
{
    U32 ch = 0, enable = 0;
    const cJSON* f = cJSON_GetObjectItemCaseSensitive(e, "flag");
    if (!web_MemberWhole(e, "channel", 0xFFFFFFFFu, &ch) || !web_MemberWhole(e, "enable", 0xFF, &enable) ||
        !cJSON_IsObject(f))
        return false;
    const U64 flat = (U64)port * _web_GetOutChannelNumbyPort(port) + ch;
    if (flat >= TSP_WEB_CHANNEL_MAX)
        return false;
    U32 v[11];
    const char* keys[11] = {"pat", "pmt", "cat", "sdt", "nit", "TDT", "TOT", "mgt", "vct", "stt", "vcttype"};
    // The switches are bytes; of "vcttype" the low 8 bits are taken.
    for (int i = 0; i < 11; i++)
        if (!web_MemberWhole(f, keys[i], i < 10 ? 0xFFu : 0xFFFFFFFFu, &v[i]))
            return false;
    PSITrans& t = item->stTrans;
    memset(&t, 0, sizeof(t));
    t.u8PATGenerate = (U8)v[0];
    t.u8PMTGenerate = (U8)v[1];
    t.u8CATGenerate = (U8)v[2];
    t.u8SDTGenerate = (U8)v[3];
    t.u8NITGenerate = (U8)v[4];
    t.u8TDTGenerate = (U8)v[5];
    t.u8TOTGenerate = (U8)v[6];
    t.u8MGTGenerate = (U8)v[7];
    t.u8VCTGenerate = (U8)v[8];
    t.u8STTGenerate = (U8)v[9];
    t.u32VCTType = v[10] & 0xFF;
    t.u16TransChannel = (U16)flat;
    item->u16Channel = (U16)flat;
    item->u8Enable = (U8)enable;
    return true;
}

zrErrCode web_SetSubboardPSIPChannel(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    if (TSP_GetTSParam() == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    TParameter_DTMB* params = GetDTMBPara_Handle();
    const cJSON* ports = body.Get("portlist");
    if (params == nullptr || !cJSON_IsArray(ports))
        return ZR_ERR_PARAMS;
    bool bOwn = false;
    zrErrCode own = web_OwnChange(body, &bOwn);
    if (own != ZR_SUCCESS)
        return own;
    const cJSON* first = cJSON_GetArrayItem(ports, 0);
    const cJSON* list = cJSON_GetObjectItemCaseSensitive(first, "channellist");
    U32 port = 0;
    std::vector<WebSwitchItem> items;
    if (web_MemberWhole(first, "port", 0xFFFFFFFFu, &port) && cJSON_IsArray(list)) {
        const cJSON* e = nullptr;
        cJSON_ArrayForEach(e, list)
        {
            WebSwitchItem item;
            if (!web_ReadSwitchItem(e, port, &item))
                return ZR_ERR_WEB_POST_PARAM;
            items.push_back(item);
        }
    }
    // What the switches were, put back when the tables they ask for do not fit.
    U8 aru8Insert[sizeof(params->u8InsertPSIEnable)];
    memcpy(aru8Insert, params->u8InsertPSIEnable, sizeof(aru8Insert));
    std::vector<std::pair<U16, PSITrans>> before;
    for (const WebSwitchItem& item : items) {
        PSITrans t;
        if (item.u8Enable != 0 && web_GetPSITransparent(item.u16Channel, &t) == 0)
            before.emplace_back(item.u16Channel, t);
    }
    auto writeSwitches = [&](bool bBack) {
        std::optional<TSP_OwnTempChange> page;
        if (bOwn)
            page.emplace();
        if (bBack) {
            memcpy(params->u8InsertPSIEnable, aru8Insert, sizeof(aru8Insert));
            for (auto& b : before)
                web_SetPSITransparent(b.first, &b.second);
            return;
        }
        for (WebSwitchItem& item : items) {
            params->u8InsertPSIEnable[item.u16Channel] = item.u8Enable;
            if (item.u8Enable != 0)
                web_SetPSITransparent(item.u16Channel, &item.stTrans);
        }
    };
    writeSwitches(false);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB, "[%s:%d] WEB:Service Configuration > SI > OK > [web_SetPSITransparent]\r\n",
               __func__, __LINE__);
    if (Web_MuxProcessForPSITransparent() == TSP_ERR_DOES_NOT_FIT) {
        // Nothing of it went on air: the switches stay as they were.
        writeSwitches(true);
        return ZR_ERR_TSP_CONSTRUCT_OUTPUT_TS_ERROR;
    }
    if (!items.empty()) {
        // The switches live in the output-stream file, the insertion switch in
        // the parameter file and oid.json; each is saved whatever the apply did.
        // The switches stay in force when a save fails; the answer says so.
        bool saved = PARAMS_TSPParametersSave() == ZR_SUCCESS;
        saved = PARAMS_SetDTMBParams(*params) == ZR_SUCCESS && saved;
        saved = DATA_Save() == ZR_SUCCESS && saved;
        if (!saved)
            return ZR_ERR_NOT_SAVED;
    }
    return web_ReplyRevision(reply);
}

// ---- TOT ----

zrErrCode web_processGetTOT_LTODescriptor(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    U16 ch = 0, idx = 0;
    zrErrCode rc = web_BodyChannel(body, &ch);
    if (rc == ZR_SUCCESS)
        rc = web_ViewTemp();
    if (rc == ZR_SUCCESS)
        rc = web_LiveStream(ch, &idx);
    if (rc != ZR_SUCCESS)
        return rc;
    TOTTable_t tot;
    memset(&tot, 0, sizeof(tot));
    cJSON* data = cJSON_CreateObject();
    cJSON* o = cJSON_CreateObject();
    cJSON_AddItemToArray(cJSON_AddArrayToObject(data, "streamList"), o);
    if (Web_TSP_GetTOTTableInfo(ch, &tot) == 0) {
        const TOTDesc_t& e = tot.arstDescInfo.arstDes[0];
        U8 text[32];
        web_AddNum(o, "CountryRegID", e.u8CountryRegID);
        web_AddNum(o, "LocalTimeOffsetPol", e.u8LocalTimeOffsetPol);
        TSP_CountryCodeHex2W(e.u32CountryCode, text);
        cJSON_AddStringToObject(o, "CountryCode", (const char*)text);
        TSP_TimeOffsetHex2W(e.u16LocalTimeOffset, text);
        cJSON_AddStringToObject(o, "LocalTimeOffset", (const char*)text);
        TSP_TimeOffsetHex2W(e.u16NextTimeOffset, text);
        cJSON_AddStringToObject(o, "NextTimeOffset", (const char*)text);
        U8 change[5];
        memcpy(change, e.u8TimeOfChange, sizeof(change));
        TSP_TOTTimeHex2W(text, change);
        cJSON_AddStringToObject(o, "TimeOfChange", (const char*)text);
    } else {
        web_AddNum(o, "CountryRegID", 8);
        web_AddNum(o, "LocalTimeOffsetPol", 0);
        cJSON_AddStringToObject(o, "CountryCode", "43484E");
        cJSON_AddStringToObject(o, "LocalTimeOffset", "00:00");
        cJSON_AddStringToObject(o, "NextTimeOffset", "00:00");
        cJSON_AddStringToObject(o, "TimeOfChange", "2022/01/01 00:00:00");
    }
    web_AddRevision(data);
    return web_ReplyData(reply, data);
}

// Digits at the given places of a text of exactly that length, the other
// places holding the pattern's own characters ('d' stands for a digit).
static bool web_TextMatches(const char* text, const char* pattern)
{
    for (; *pattern; pattern++, text++) {
        if (*pattern == 'd' ? !isdigit((unsigned char)*text) : *text != *pattern)
            return false;
    }
    return *text == '\0';
}

static int web_Digits(const char* p, int n)
{
    int v = 0;
    for (int i = 0; i < n; i++)
        v = v * 10 + (p[i] - '0');
    return v;
}

// "hh:mm", at most 23:59.
static bool web_IsTimeOffset(const char* text)
{
    return web_TextMatches(text, "dd:dd") && web_Digits(text, 2) <= 23 && web_Digits(text + 3, 2) <= 59;
}

// "yyyy/mm/dd hh:mm:ss", a real date the TOT's 16-bit MJD carries (it is read
// back as 1900-03-01 up to 2079-06-06).
static bool web_IsTimeOfChange(const char* text)
{
    if (!web_TextMatches(text, "dddd/dd/dd dd:dd:dd"))
        return false;
    const int year = web_Digits(text, 4), month = web_Digits(text + 5, 2), day = web_Digits(text + 8, 2);
    static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1])
        return false;
    if (month == 2 && day == 29 && !((year % 4 == 0 && year % 100 != 0) || year % 400 == 0))
        return false;
    const int date = year * 10000 + month * 100 + day;
    return date >= 19000301 && date <= 20790606 && web_Digits(text + 11, 2) <= 23 && web_Digits(text + 14, 2) <= 59 &&
           web_Digits(text + 17, 2) <= 59;
}

// The one local time offset entry from the first "streamList" object.
static bool web_ReadTOTEntry(const cJSON* o, TOTDesc_t* e)
{
    const cJSON* code = cJSON_GetObjectItemCaseSensitive(o, "CountryCode");
    const cJSON* lto = cJSON_GetObjectItemCaseSensitive(o, "LocalTimeOffset");
    const cJSON* nto = cJSON_GetObjectItemCaseSensitive(o, "NextTimeOffset");
    const cJSON* change = cJSON_GetObjectItemCaseSensitive(o, "TimeOfChange");
    U32 region = 0, polarity = 0;
    // The region id has 6 bits, the polarity one.
    if (!cJSON_IsArray(code) || cJSON_GetArraySize(code) < 3 || !web_MemberWhole(o, "CountryRegID", 0x3F, &region) ||
        !web_MemberWhole(o, "LocalTimeOffsetPol", 1, &polarity) || !cJSON_IsString(lto) || !cJSON_IsString(nto) ||
        !cJSON_IsString(change) || !web_IsTimeOffset(lto->valuestring) || !web_IsTimeOffset(nto->valuestring) ||
        !web_IsTimeOfChange(change->valuestring))
        return false;
    // The model holds three characters; later ones are not part of it.
    U8 chars[3];
    for (int i = 0; i < 3; i++) {
        U32 c = 0;
        if (!web_JsonWhole(cJSON_GetArrayItem(code, i), 0xFF, &c))
            return false;
        chars[i] = (U8)c;
    }
    e->u32CountryCode = TSP_CountryCodeW2Hex(chars);
    e->u8CountryRegID = (U8)region;
    e->u8LocalTimeOffsetPol = (U8)polarity;
    e->u16LocalTimeOffset = TSP_TimeOffsetW2Hex((U8*)lto->valuestring);
    e->u16NextTimeOffset = TSP_TimeOffsetW2Hex((U8*)nto->valuestring);
    TSP_TOTTimeW2Hex((U8*)change->valuestring, e->u8TimeOfChange);
    return true;
}

zrErrCode web_processSetTOT_LTODescriptor(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    U16 ch = 0;
    zrErrCode rc = web_EditChannel(body, &ch);
    if (rc != ZR_SUCCESS)
        return rc;
    TOTTable_t tot;
    memset(&tot, 0, sizeof(tot));
    tot.u8SectionLen = 26;
    TSP_GetUTCTime(tot.aru8UTCTime);
    tot.arstDescInfo.u8Tag = 0x58;
    tot.arstDescInfo.u8DescLen = 13;
    const cJSON* list = body.Get("streamList");
    if (cJSON_IsArray(list) && cJSON_GetArraySize(list) > 0 &&
        !web_ReadTOTEntry(cJSON_GetArrayItem(list, 0), &tot.arstDescInfo.arstDes[0]))
        return ZR_ERR_WEB_POST_PARAM;
    std::vector<U8> section(kSectionScratch);
    U16 len = 0;
    rc = (zrErrCode)SIP_ConstructTOT(&tot, (U16)section.size(), section.data(), &len);
    if (rc != ZR_SUCCESS)
        return rc;
    auto buf = std::make_unique<TOTBuf_t>();
    memcpy(buf->aru8OutputTOTSection, section.data(), len);
    buf->u16TOTLength = len;
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB,
               "[%s:%d] WEB: Service Congfiguration > SI Setting > TOT Edit > Add "
               "TOT!(Web_TSP_AddTOTLTODescriptor)\r\n",
               __func__, __LINE__);
    rc = Web_TSP_AddTOT_LTODescriptor(ch, buf.get());
    return rc != ZR_SUCCESS ? rc : web_ReplyRevision(reply);
}

// ---- Automatic cable NIT ----

// A NIT change the plan did not take is answered as a web apply that does
// not fit; nothing of it changed.
static zrErrCode web_NITChangeCode(U32 ret)
{
    if (ret == TSP_ERR_DOES_NOT_FIT || ret == TSP_ERR_NIT_SPACE || ret == TSP_ERR_LIST_RANGE)
        return ZR_ERR_TSP_CONSTRUCT_OUTPUT_TS_ERROR;
    if (ret == TSP_ERR_NO_MEMORY)
        return ZR_ERR_MALLOC_FALIURE;
    return ret < 0x10000 ? (zrErrCode)ret : ZR_ERR_FAILURE;
}

zrErrCode web_processAutoGenerateNITDescriptor(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    bool bOwn = false;
    zrErrCode own = web_OwnChange(body, &bOwn);
    if (own != ZR_SUCCESS)
        return own;
    // Only the NITs change: they are built on the live database, whose
    // streams and routes stay as they are, whatever an open edit holds.
    auto muxed = [](U32 i, U16* channel) {
        const Output_TSInfo* db = TSP_GetTSParam();
        if (i >= db->u32OutputTSNumber || db->pOutputTS[i].u8ValidFlag != 1 || db->pOutputTS[i].u8BypassFlag == 1)
            return false;
        *channel = db->pOutputTS[i].u16ChannelID;
        return true;
    };
    U32 channels = 0;
    U16 channel = 0;
    for (U32 i = 0; i < TSP_GetTSParam()->u32OutputTSNumber && i < TSP_INVALID_INDEX; i++)
        if (muxed(i, &channel) && channel < TSP_WEB_CHANNEL_MAX)
            channels |= 1u << channel;
    std::optional<TSP_OwnTempChange> page;
    if (bOwn)
        page.emplace();
    // Every NIT is made, then all go on air through the planner with what is
    // on air, or none does.
    U32 ret = TSP_ApplyNITsToLive(channels, true, [&muxed, &channel]() -> U32 {
        U32 first = 0;
        for (U32 i = 0; i < TSP_GetTSParam()->u32OutputTSNumber && i < TSP_INVALID_INDEX; i++)
            if (muxed(i, &channel) && channel < TSP_WEB_CHANNEL_MAX) {
                const U32 r = Web_TSP_DelOneNITInfo((U16)i);
                first = first != 0 ? first : r;
            }
        for (U32 i = 0; i < TSP_GetTSParam()->u32OutputTSNumber && i < TSP_INVALID_INDEX; i++)
            if (muxed(i, &channel) && channel < TSP_WEB_CHANNEL_MAX) {
                const U32 r = Web_TSP_AutoAddCableDeliverySystemDescriptor2NIT(channel);
                first = first != 0 ? first : r;
            }
        return first;
    });
    page.reset();
    if (ret != 0)
        return web_NITChangeCode(ret);
    TSP_SendSubFPGAMuxLUTInfo();
    TSP_SendSubFPGABypassLUTInfo();
    // The NITs stay in force when the file was not written.
    if (PARAMS_TSPParametersSave() != ZR_SUCCESS)
        return ZR_ERR_NOT_SAVED;
    return web_ReplyRevision(reply);
}
