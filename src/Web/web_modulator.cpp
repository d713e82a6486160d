// Web handlers of the modulation and RF settings, the IP monitor output,
// the board detail and raw FPGA registers, with their chip debug adapters.
#include "Comm/slavelink.h"
#include "Common/thread.h"
#include "DTMB/dtmb.h"
#include "DTMB/dtmb_check.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/GPIO/pin.h"
#include "Driver/I2C/i2c.h"
#include "Driver/RF/rf.h"
#include "Log/log.h"
#include "Parameter/recoverdata.h"
#include "Web/web.h"
#include "Web/web_json.h"
#include <cstdio>
#include <cstring>

// Register numbers the FPGA window holds; larger ones are refused before any
// access so nothing outside the window is touched.
static const U32 kFpgaRegCount = 65536;

U8 Web_GetBoardType(void)
{
    U32 mode = PARAMS_GetModulationMod();
    if (mode == 1)
        return 0;
    if (mode == 0)
        return 1;
    return mode <= 6 ? (U8)mode : 7;
}

U8 Web_GetPowerLevelType(void) { return PIN_GetPowerLevelType(PIN_GetHWVersion()); }
zrErrCode Web_SetSingleMode(U32 value) { return QAM_SetSingleMode((U8)value); }

zrErrCode Web_ReadAD9789Debug(U32 chip, U32 reg, U8* v) { return (zrErrCode)RF_ReadAD9789Debug(chip, reg, v); }
zrErrCode Web_WriteAD9789Debug(U32 chip, U32 reg, U32 v) { return (zrErrCode)RF_WriteAD9789Debug(chip, reg, v); }
zrErrCode Web_ReadRFDA0016Debug(U32 chip, U32 reg, U8* v) { return (zrErrCode)RF_ReadRFDA0016Debug(chip, reg, v); }
zrErrCode Web_WriteRFDA0016Debug(U32 chip, U32 reg, U32 v) { return (zrErrCode)RF_WriteRFDA0016Debug(chip, reg, v); }
zrErrCode Web_ReadADF4351Debug(U32 chip, U32 reg, U8* v) { return (zrErrCode)RF_ReadADF4351Debug(chip, reg, v); }
zrErrCode Web_WriteADF4351Debug(U32 chip, U32 reg, U32 v) { return (zrErrCode)RF_WriteADF4351Debug(chip, reg, v); }
zrErrCode Web_ReadAD5321Debug(U32 reg, U16* v) { return (zrErrCode)I2C_CHIP5321_ReadOneReg((U8)reg, v); }
zrErrCode Web_WriteAD5321Debug(U32 reg, U32 v) { return (zrErrCode)I2C_CHIP5321_WriteOneReg((U8)reg, (U16)v); }

zrErrCode web_processGetSubboardDetail(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    U8 desc[21] = {0};
    U32 rc = web_GetSelfBoardDescriptor(desc);
    if (rc != 0)
        return (zrErrCode)rc;
    cJSON* data = cJSON_CreateObject();
    web_AddNum(data, "boardnumber", 0);
    web_AddNum(data, "modulationtype", Web_GetBoardType());
    cJSON_AddStringToObject(data, "boardname", (const char*)web_StringConvertToUTF8(desc, 20));
    web_AddNum(data, "hasPat", 0);
    return web_ReplyData(reply, data);
}

// One channel object of "GetSubboardParam.w": the common keys, then those of
// the card's standard (some keys appear twice).
static cJSON* web_ChannelObject(const TParameter_DTMB& p, U32 n, U32 c, U8 type)
{
    cJSON* o = cJSON_CreateObject();
    web_AddNum(o, "channel", n);
    web_AddNum(o, "enable", p.u32Enable[c]);
    web_AddNum(o, "constellation", p.ConsteMod[c]);
    web_AddNum(o, "carrier", p.CarrMod[c]);
    web_AddNum(o, "Interweave", p.IntLeav[c]);
    web_AddNum(o, "framehead", p.FramHeadMod[c]);
    web_AddNum(o, "frequency", p.OutputFreq[c]);
    web_AddNum(o, "power", p.OutputPow[c]);
    web_AddNum(o, "rflevelunit", p.u8RFLevelUnit[c]);
    web_AddNum(o, "bandwidth", p.Bandwidth_Sel[c]);
    web_AddNum(o, "fftmode", p.DVBT_FFTSize[c]);
    web_AddNum(o, "guardinterval", p.DVBT_GadIntSize[c]);
    web_AddNum(o, "constellationmode", p.DVBT_QAMMod[c]);
    switch (type) {
    case 0:
        web_AddNum(o, "qammode", p.DVBT_QAMMod[c]);
        web_AddNum(o, "gimode", p.DVBT_GadIntSize[c]);
        web_AddNum(o, "convolutionalbitrate", p.DVBT_CodeMod[c]);
        web_AddNum(o, "Interweave", p.IntLeav[c]);
        break;
    case 3:
        web_AddNum(o, "qammode", p.QAMMod[c]);
        web_AddNum(o, "symbolrate", p.SymbolRate[c]);
        web_AddNum(o, "Interweave", p.IntLeav[c]);
        break;
    case 4:
        web_AddNum(o, "qammode", p.AnnexBQAMMode[c]);
        web_AddNum(o, "Interweave", p.AnnexBIntLeav[c]);
        web_AddNum(o, "symbolrate", p.SymbolRate[c]);
        break;
    case 5:
        web_AddNum(o, "Interweave", p.IntLeav[c]);
        web_AddNum(o, "qammode", p.u8ISDBTQAMMode[c]);
        web_AddNum(o, "fftmode", p.u8FFTMode[c]);
        web_AddNum(o, "gimode", p.u8GImode[c]);
        web_AddNum(o, "convolutionalbitrate", p.u8ConvolutionalCodeRate[c]);
        web_AddNum(o, "segmentmode", p.u8SegmentMode[c]);
        break;
    default:
        web_AddNum(o, "Interweave", p.IntLeav[c]);
        break;
    }
    return o;
}

zrErrCode web_processGetSubboardParam(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    const TParameter_DTMB* p = GetDTMBPara_Handle();
    if (p == nullptr)
        return ZR_ERR_WEB_POST_PARAM;
    U16 interval = 0;
    Web_GetPSIInterval(&interval);
    cJSON* data = cJSON_CreateObject();
    web_AddNum(data, "psiinterval", interval);
    web_AddNum(data, "rflevelversion", Web_GetPowerLevelType());
    web_AddNum(data, "channelstandard", p->u32ATSCChannelMode);
    web_AddNum(data, "rflevelunit", p->u8RFLevelUnit[0]);
    cJSON* ports = cJSON_AddArrayToObject(data, "portlist");
    cJSON* port = cJSON_CreateObject();
    cJSON_AddItemToArray(ports, port);
    U32 count = _web_GetOutChannelNumbyPort(0);
    web_AddNum(port, "port", 0);
    web_AddNum(port, "channelnumber", count);
    cJSON* list = cJSON_AddArrayToObject(port, "channellist");
    U8 type = Web_GetBoardType();
    for (U32 n = 0; n < count; n++) {
        U32 c = _web_GetOutRealChannel(0, n);
        if (c < DTMB_CHANNEL_NUM)
            cJSON_AddItemToArray(list, web_ChannelObject(*p, n, c, type));
    }
    return web_ReplyData(reply, data);
}

// Writes a member from a key when the key is present as a number in range.
template <class T>
static void web_Take(const cJSON* o, const char* key, T& member)
{
    U32 v = 0;
    if (web_MemberU32(o, key, &v))
        member = (T)v;
}

namespace {

// A key of the channel objects of "SetSubboardParam.w" and the member it
// writes.
struct SetKey {
    const char* name;
    size_t offset;
    U8 width;
};
#define SET_KEY(name, field) {name, offsetof(TParameter_DTMB, field), sizeof(((TParameter_DTMB*)nullptr)->field[0])}

const SetKey kSetCommon[] = {
    SET_KEY("enable", u32Enable),           SET_KEY("constellation", ConsteMod),
    SET_KEY("carrier", CarrMod),            SET_KEY("Interweave", IntLeav),
    SET_KEY("framehead", FramHeadMod),      SET_KEY("frequency", OutputFreq),
    SET_KEY("power", OutputPow),            SET_KEY("bandwidth", Bandwidth_Sel),
    SET_KEY("fftmode", DVBT_FFTSize),       SET_KEY("guardinterval", DVBT_GadIntSize),
    SET_KEY("constellationmode", DVBT_QAMMod),
};
const SetKey kSetDVBT[] = {SET_KEY("qammode", DVBT_QAMMod), SET_KEY("gimode", DVBT_GadIntSize),
                           SET_KEY("convolutionalbitrate", DVBT_CodeMod)};
const SetKey kSetDVBC[] = {SET_KEY("qammode", QAMMod), SET_KEY("symbolrate", SymbolRate)};
const SetKey kSetAnnexB[] = {SET_KEY("qammode", AnnexBQAMMode), SET_KEY("symbolrate", SymbolRate),
                             SET_KEY("Interweave", AnnexBIntLeav)};
const SetKey kSetISDBT[] = {SET_KEY("qammode", u8ISDBTQAMMode), SET_KEY("fftmode", u8FFTMode),
                            SET_KEY("gimode", u8GImode), SET_KEY("convolutionalbitrate", u8ConvolutionalCodeRate),
                            SET_KEY("segmentmode", u8SegmentMode)};
// Keys that only some standards' pages carry: one this card does not read
// marks a page of another standard.
const char* const kStandardKeys[] = {"qammode", "symbolrate", "gimode", "convolutionalbitrate", "segmentmode"};

struct SetKeys {
    const SetKey* p;
    size_t n;
};

SetKeys web_StandardKeys(U8 type)
{
    switch (type) {
    case 0: return {kSetDVBT, sizeof(kSetDVBT) / sizeof(kSetDVBT[0])};
    case 3: return {kSetDVBC, sizeof(kSetDVBC) / sizeof(kSetDVBC[0])};
    case 4: return {kSetAnnexB, sizeof(kSetAnnexB) / sizeof(kSetAnnexB[0])};
    case 5: return {kSetISDBT, sizeof(kSetISDBT) / sizeof(kSetISDBT[0])};
    default: return {nullptr, 0};
    }
}

// A whole number from 0 to max; false for any other JSON value.
bool web_Whole(const cJSON* item, U64 max, U32* out)
{
    U32 v = 0;
    if (!web_JsonU32(item, &v) || (double)v != item->valuedouble || v > max)
        return false;
    *out = v;
    return true;
}

// The first or the last member of a name: a key the page carries twice
// gives the common member its first and the standard's member its last.
const cJSON* web_Member(const cJSON* obj, const char* key, bool last)
{
    const cJSON* found = nullptr;
    for (const cJSON* c = obj->child; c != nullptr; c = c->next) {
        if (c->string == nullptr || strcmp(c->string, key) != 0)
            continue;
        found = c;
        if (!last)
            break;
    }
    return found;
}

zrErrCode web_RefuseValue(const char* key, U32 c, const cJSON* item, U64 max)
{
    char detail[160];
    char* text = cJSON_PrintUnformatted(item);
    snprintf(detail, sizeof(detail), "%s of channel %u: %.40s is not a whole number from 0 to %llu", key, c,
             text != nullptr ? text : "?", (unsigned long long)max);
    cJSON_free(text);
    return web_Refuse(ZR_ERR_WEB_POST_PARAM, detail);
}

// Takes one key into the channel's member; 774 when it is there but not a
// whole number the member holds.
zrErrCode web_TakeKey(const cJSON* o, const SetKey& k, bool last, TParameter_DTMB& p, U32 c)
{
    const cJSON* item = web_Member(o, k.name, last);
    if (item == nullptr)
        return ZR_SUCCESS;
    U64 max = k.width == 1 ? 0xFFu : 0xFFFFFFFFu;
    U32 v = 0;
    if (!web_Whole(item, max, &v))
        return web_RefuseValue(k.name, c, item, max);
    U8* at = reinterpret_cast<U8*>(&p) + k.offset + (size_t)c * k.width;
    if (k.width == 1)
        *at = (U8)v;
    else
        memcpy(at, &v, sizeof(v));
    return ZR_SUCCESS;
}

// One channel object: the common keys first, then those of the card's
// standard; a key of another standard's page refuses the whole request.
zrErrCode web_SetChannel(const cJSON* o, TParameter_DTMB& p, U32 c, U8 type)
{
    SetKeys own = web_StandardKeys(type);
    for (const char* key : kStandardKeys) {
        bool read = false;
        for (size_t i = 0; i < own.n; i++)
            read = read || strcmp(own.p[i].name, key) == 0;
        if (!read && web_Member(o, key, false) != nullptr) {
            char detail[96];
            snprintf(detail, sizeof(detail), "%s of channel %u: a setting of another standard", key, c);
            return web_Refuse(ZR_ERR_WEB_POST_PARAM, detail);
        }
    }
    for (const SetKey& k : kSetCommon)
        if (zrErrCode rc = web_TakeKey(o, k, false, p, c); rc != ZR_SUCCESS)
            return rc;
    for (size_t i = 0; i < own.n; i++)
        if (zrErrCode rc = web_TakeKey(o, own.p[i], true, p, c); rc != ZR_SUCCESS)
            return rc;
    return ZR_SUCCESS;
}

// The channel objects of "portlist" written into the scratch set; a
// malformed entry or one that names no channel refuses the request.
zrErrCode web_SetPorts(const cJSON* ports, TParameter_DTMB& scratch)
{
    U8 type = Web_GetBoardType();
    int pn = cJSON_GetArraySize(ports) & 0xFF;
    char detail[96];
    for (int i = 0; i < pn; i++) {
        const cJSON* pe = cJSON_GetArrayItem(ports, i);
        U32 port = 0;
        const cJSON* list = cJSON_IsObject(pe) ? cJSON_GetObjectItemCaseSensitive(pe, "channellist") : nullptr;
        if (!cJSON_IsObject(pe) || !web_Whole(cJSON_GetObjectItemCaseSensitive(pe, "port"), 0xFFFFFFFFu, &port) ||
            !cJSON_IsArray(list)) {
            snprintf(detail, sizeof(detail), "portlist entry %d: a whole \"port\" and a \"channellist\" array", i);
            return web_Refuse(ZR_ERR_WEB_POST_PARAM, detail);
        }
        const cJSON* ce = nullptr;
        cJSON_ArrayForEach(ce, list)
        {
            U32 ch = 0;
            if (!cJSON_IsObject(ce) ||
                !web_Whole(cJSON_GetObjectItemCaseSensitive(ce, "channel"), 0xFFFFFFFFu, &ch)) {
                snprintf(detail, sizeof(detail), "port %u: a channel entry without a whole \"channel\"", port);
                return web_Refuse(ZR_ERR_WEB_POST_PARAM, detail);
            }
            // 64-bit: a huge port or channel must not wrap into the table.
            U64 c = (U64)port * _web_GetOutChannelNumbyPort(port) + ch;
            if (c >= DTMB_CHANNEL_NUM) {
                snprintf(detail, sizeof(detail), "port %u channel %u: no such channel", port, ch);
                return web_Refuse(ZR_ERR_WEB_POST_PARAM, detail);
            }
            if (zrErrCode rc = web_SetChannel(ce, scratch, (U32)c, type); rc != ZR_SUCCESS)
                return rc;
        }
    }
    return ZR_SUCCESS;
}

}  // namespace

// The answer to a change that the slave chip did not take in time: its code,
// and what holds meanwhile. Returns ZR_SUCCESS: the reply is written.
static zrErrCode web_ReplyNotTaken(buffer* reply, zrErrCode code, bool unsaved)
{
    char text[224];
    snprintf(text, sizeof(text),
             "The slave chip did not take the change within %d s: it is in force on the master chip%s and goes to the "
             "slave chip once it answers",
             SLAVELINK_TAKE_WAIT_MS / 1000, unsaved ? " (not saved)" : " and saved");
    web_processErrText(reply, code, text);
    return ZR_SUCCESS;
}

zrErrCode web_processSetSubboardParam(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    // Held while the request reads and changes the card; released before the
    // set goes to the slave chip (the dispatcher does not hold it).
    CardStateLock lock(Card_StateMutex());
    TParameter_DTMB* live = GetDTMBPara_Handle();
    TParameter_DTMB* scratch = GetDTMBParaTmp_Handle();
    if (live == nullptr || scratch == nullptr)
        return ZR_ERR_WEB_POST_PARAM;
    memcpy(scratch, live, sizeof(*scratch));
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    U32 single = 0;
    if (cJSON_IsNumber(body.Get("singlemode"))) {
        if (!web_JsonU32(body.Get("singlemode"), &single))
            return ZR_ERR_WEB_POST_PARAM;
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB,
                   "[%s:%d] WEB:Service Configuration > Program > click Apply button!(Web_SetSingleMode)\r\n", __func__,
                   __LINE__);
        if (Web_SetSingleMode(single & 0xFF) != ZR_SUCCESS)
            return ZR_ERR_NOT_SAVED;
        return (zrErrCode)web_processSuccess(reply);
    }
    // The interval is a 16-bit count of seconds, never 0.
    U32 interval = 0;
    if (!web_JsonU32(body.Get("psiinterval"), &interval) || interval == 0 || interval > 0xFFFF)
        return ZR_ERR_WEB_POST_PARAM;
    U32 mode = PARAMS_GetModulationMod();
    if (mode == 4 || mode == 6) {
        U32 standard = 0;
        if (!web_Whole(body.Get("channelstandard"), 0xFFFFFFFFu, &standard))
            return web_Refuse(ZR_ERR_WEB_POST_PARAM, "channelstandard: a whole number");
        scratch->u32ATSCChannelMode = standard;
    }
    const cJSON* unit = body.Get("rflevelunit");
    U32 unitValue = 0;
    if (unit != nullptr) {
        if (!web_Whole(unit, 0xFF, &unitValue))
            return web_Refuse(ZR_ERR_WEB_POST_PARAM, "rflevelunit: a whole number from 0 to 255");
        scratch->u8RFLevelUnit[0] = (U8)unitValue;
    }
    // Every value is checked before anything changes: a value the card
    // cannot run as sent is refused and leaves all as it was.
    const cJSON* ports = body.Get("portlist");
    if (ports != nullptr && !cJSON_IsArray(ports))
        return web_Refuse(ZR_ERR_WEB_POST_PARAM, "portlist: an array");
    if (ports != nullptr)
        if (zrErrCode rc = web_SetPorts(ports, *scratch); rc != ZR_SUCCESS)
            return rc;
    DTMB_Refusal why;
    if (!DTMB_CheckCandidate(live, scratch, &why)) {
        log_printf(LOG_LEVEL_WARNING, LOG_MODULE_WEB, "[%s:%d] WEB:Settings refused: %s\r\n", __func__, __LINE__,
                   why.acField);
        return web_Refuse(why.enCode, why.acField);
    }
    // A change whose save fails stays in force and the answer says it was
    // not saved (the next save that succeeds writes it).
    bool unsaved = false;
    U32 psi = Web_SetPSIInterval(interval);
    if (psi == (U32)ZR_ERR_NOT_SAVED)
        unsaved = true;
    else if (psi != 0)
        return ZR_ERR_WEB_POST_PARAM;
    zrErrCode rc = web_Check_QAMB_Frequency(scratch);
    if (rc != ZR_SUCCESS)
        return rc;
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB, "[%s:%d] WEB:Settings > click Apply button!(SetDTMB_CurPara)\r\n",
               __func__, __LINE__);
    if (DTMB_StoreCurPara(scratch) != ZR_SUCCESS)
        unsaved = true;
    if (DATA_Save() != ZR_SUCCESS)
        unsaved = true;
    lock.unlock();
    // The set and the interval are in force on the master chip: the answer
    // says whether the slave chip took them too.
    rc = DTMB_SendCurParaAwait(SLAVELINK_TAKE_WAIT_MS);
    if (rc != ZR_SUCCESS) {
        SlaveLink_LogNotTaken("SetSubboardParam.w", rc, unsaved ? "in force on the master chip (not saved)"
                                                                : "in force on the master chip and saved");
        return web_ReplyNotTaken(reply, rc, unsaved);
    }
    if (unsaved)
        return ZR_ERR_NOT_SAVED;
    return (zrErrCode)web_processSuccess(reply);
}

zrErrCode web_processGetSubboardIPMonitorParam(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    const QAM_IPMonitorPara* m = GetQAMIPMonitor_Handle();
    if (m == nullptr)
        return ZR_ERR_WEB_POST_PARAM;
    U32 count = _web_GetOutChannelNumbyPort(0);
    cJSON* data = cJSON_CreateObject();
    web_AddNum(data, "port", 0);
    web_AddNum(data, "channel", m->u8Channel < count ? m->u8Channel : 0);
    web_AddNum(data, "enable", m->u8Enable);
    web_AddNum(data, "destport", m->u16DestPort);
    web_AddNum(data, "destipaddress", m->u32DestIPAddr);
    web_AddNum(data, "bitrate", m->u16IP1MaxRate);
    web_AddNum(data, "netmask", 0);
    cJSON* ports = cJSON_AddArrayToObject(data, "portlist");
    cJSON* port = cJSON_CreateObject();
    cJSON_AddItemToArray(ports, port);
    web_AddNum(port, "port", 0);
    cJSON* list = cJSON_AddArrayToObject(port, "channellist");
    for (U32 n = 0; n < count; n++) {
        cJSON* o = cJSON_CreateObject();
        web_AddNum(o, "channel", n);
        cJSON_AddItemToArray(list, o);
    }
    return web_ReplyData(reply, data);
}

zrErrCode web_processSetSubboardIPMonitorParam(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    QAM_IPMonitorPara* m = GetQAMIPMonitor_Handle();
    if (m == nullptr)
        return ZR_ERR_WEB_POST_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    U32 port = 0, ch = 0;
    bool hasPort = web_MemberU32(body.Root(), "port", &port);
    bool hasChannel = web_MemberU32(body.Root(), "channel", &ch);
    U64 index = hasPort && hasChannel ? (U64)port * _web_GetOutChannelNumbyPort(port) + ch : 0;
    // A channel index outside the card's table would program a channel
    // that does not exist: refused before anything is edited.
    if (hasPort && hasChannel && index >= DTMB_CHANNEL_NUM)
        return ZR_ERR_WEB_POST_PARAM;
    web_Take(body.Root(), "enable", m->u8Enable);
    web_Take(body.Root(), "destipaddress", m->u32DestIPAddr);
    if (hasPort && hasChannel)
        m->u8Channel = (U8)index;
    web_Take(body.Root(), "destport", m->u16DestPort);
    web_Take(body.Root(), "bitrate", m->u16IP1MaxRate);
    zrErrCode rc = SetQAM_IPMonitor(m);
    if (rc != ZR_SUCCESS)
        return rc;
    return (zrErrCode)web_processSuccess(reply);
}

zrErrCode web_processGetSubboardReadyStatus(buffer*) { return ZR_SUCCESS; }

zrErrCode web_processReadReg(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    U32 address = 0;
    if (!web_JsonU32(body.Get("address"), &address) || address >= kFpgaRegCount)
        return ZR_ERR_WEB_POST_PARAM;
    U32 value = 0;
    web_REG_Read_fortest(address, &value);
    cJSON* data = cJSON_CreateObject();
    web_AddNum(data, "value", value);
    return web_ReplyData(reply, data);
}

zrErrCode web_processWriteReg(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    U32 address = 0, value = 0;
    if (!web_JsonU32(body.Get("address"), &address) || !web_JsonU32(body.Get("value"), &value) ||
        address >= kFpgaRegCount)
        return ZR_ERR_WEB_POST_PARAM;
    web_REG_Write_fortest(address, value);
    return (zrErrCode)web_processSuccess(reply);
}
