// The JSON parameter file: written from the live modulation set with the
// web's keys, and read back member by member into it.
#include "Parameter/recoverdata.h"
#include "Common/thread.h"
#include "DTMB/dtmb_param.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include "Web/web.h"
#include <cJSON.h>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The members of a channel object every standard writes, in order.
enum Width : U8 { W8 = 1, W32 = 4 };
struct ChannelMember {
    const char* name;
    size_t offset;  // of the member's array in TParameter_DTMB
    Width width;
};

#define CM(name, member, w) {name, offsetof(TParameter_DTMB, member), w}
const ChannelMember kCommon[] = {
    CM("enable", u32Enable, W32),          CM("constellation", ConsteMod, W32),
    CM("carrier", CarrMod, W32),           CM("Interweave", IntLeav, W32),
    CM("framehead", FramHeadMod, W32),     CM("frequency", OutputFreq, W32),
    CM("power", OutputPow, W8),            CM("rflevelunit", u8RFLevelUnit, W8),
    CM("bandwidth", Bandwidth_Sel, W32),   CM("fftmode", DVBT_FFTSize, W32),
    CM("guardinterval", DVBT_GadIntSize, W32), CM("constellationmode", DVBT_QAMMod, W32),
    CM("fec", DVBT_CodeMod, W32),          CM("insertpsienable", u8InsertPSIEnable, W8),
};
const ChannelMember kDVBC[] = {CM("qammode", QAMMod, W32), CM("symbolrate", SymbolRate, W32),
                               CM("Interweave", IntLeav, W32)};
const ChannelMember kAnnexB[] = {CM("qammode", AnnexBQAMMode, W32), CM("Interweave", AnnexBIntLeav, W32),
                                 CM("symbolrate", SymbolRate, W32)};
const ChannelMember kISDBT[] = {CM("Interweave", IntLeav, W32),     CM("qammode", u8ISDBTQAMMode, W8),
                                CM("fftmode", u8FFTMode, W8),       CM("gimode", u8GImode, W8),
                                CM("convolutionalbitrate", u8ConvolutionalCodeRate, W8),
                                CM("segmentmode", u8SegmentMode, W8)};
const ChannelMember kOther[] = {CM("Interweave", IntLeav, W32)};

struct MemberList {
    const ChannelMember* p;
    size_t n;
};

MemberList ModeMembers(U8 type)
{
    switch (type) {
    case 3: return {kDVBC, sizeof(kDVBC) / sizeof(kDVBC[0])};
    case 4: return {kAnnexB, sizeof(kAnnexB) / sizeof(kAnnexB[0])};
    case 5: return {kISDBT, sizeof(kISDBT) / sizeof(kISDBT[0])};
    default: return {kOther, sizeof(kOther) / sizeof(kOther[0])};
    }
}

U32 GetMember(const TParameter_DTMB* set, const ChannelMember& m, U32 ch)
{
    const U8* p = reinterpret_cast<const U8*>(set) + m.offset + (size_t)ch * m.width;
    if (m.width == W8)
        return *p;
    U32 v;
    memcpy(&v, p, 4);
    return v;
}

void SetMember(TParameter_DTMB* set, const ChannelMember& m, U32 ch, U32 v)
{
    U8* p = reinterpret_cast<U8*>(set) + m.offset + (size_t)ch * m.width;
    if (m.width == W8)
        *p = (U8)v;
    else
        memcpy(p, &v, 4);
}

// The integer value of a number, cut to 32 bits as a C conversion would.
U32 IntOf(const cJSON* item)
{
    double d = item->valuedouble;
    if (std::isnan(d))
        return 0;
    if (d >= 9.2e18)
        return 0xFFFFFFFFu;
    if (d <= -9.2e18)
        return 0;
    return (U32)(long long)d;
}

// A number member looked up by name, letter case ignored; occurrence 0 is
// the first member of that name, -1 the last.
bool GetNumber(const cJSON* obj, const char* name, U32* out, int occurrence = 0)
{
    const cJSON* found = nullptr;
    for (const cJSON* c = obj ? obj->child : nullptr; c != nullptr; c = c->next) {
        if (c->string == nullptr || strcasecmp(c->string, name) != 0)
            continue;
        found = c;
        if (occurrence == 0)
            break;
    }
    if (found == nullptr || !cJSON_IsNumber(found))
        return false;
    *out = IntOf(found);
    return true;
}

}  // namespace

U8 DATA_Save_DTMBParameter(cJSON* pData, cJSON* pEncoderParameter)
{
    (void)pEncoderParameter;
    TParameter_DTMB set;
    {
        CARD_STATE_LOCK();
        set = *GetDTMBPara_Handle();
    }
    U16 psi = 0;
    Web_GetPSIInterval(&psi);
    cJSON_AddNumberToObject(pData, "psiinterval", psi);
    cJSON_AddNumberToObject(pData, "rflevelversion", Web_GetPowerLevelType());
    cJSON_AddNumberToObject(pData, "channelstandard", set.u32ATSCChannelMode);
    cJSON* ports = cJSON_AddArrayToObject(pData, "portlist");
    cJSON* port = cJSON_CreateObject();
    cJSON_AddItemToArray(ports, port);
    U32 n = _web_GetOutChannelNumbyPort(0);
    if (n > DTMB_CHANNEL_NUM)
        n = DTMB_CHANNEL_NUM;
    cJSON_AddNumberToObject(port, "port", 0);
    cJSON_AddNumberToObject(port, "channelnumber", n);
    cJSON* list = cJSON_AddArrayToObject(port, "channellist");
    MemberList mode = ModeMembers(Web_GetBoardType());
    for (U32 ch = 0; ch < n; ch++) {
        cJSON* c = cJSON_CreateObject();
        cJSON_AddNumberToObject(c, "channel", ch);
        // Repeated names ("Interweave", ISDB-T's "fftmode") are written as
        // they are: the common value first, the standard's own second.
        for (const ChannelMember& m : kCommon)
            cJSON_AddItemToObject(c, m.name, cJSON_CreateNumber(GetMember(&set, m, ch)));
        for (size_t i = 0; i < mode.n; i++)
            cJSON_AddItemToObject(c, mode.p[i].name, cJSON_CreateNumber(GetMember(&set, mode.p[i], ch)));
        cJSON_AddItemToArray(list, c);
    }
    return 0;
}

zrErrCode DATA_Save(void)
{
    if (FPGA_GetChipType() == CHIP_TYPE_SUB)
        return ZR_SUCCESS;
    cJSON* root = cJSON_CreateObject();
    if (root == nullptr)
        return ZR_ERR_NOT_SAVED;
    DATA_Save_DTMBParameter(root, nullptr);
    char* text = cJSON_Print(root);
    cJSON_Delete(root);
    if (text == nullptr)
        return ZR_ERR_NOT_SAVED;
    bool saved = plat::WriteFileAtomic(TARVEX_OID_JSON_FILE, text, strlen(text), true);
    PARAMS_NoteSave(TARVEX_OID_JSON_FILE, saved, errno);
    cJSON_free(text);
    return saved ? ZR_SUCCESS : ZR_ERR_NOT_SAVED;
}

zrErrCode DATA_Recovery_DTMBParameter(cJSON* pJson)
{
    U32 psi = 0, standard = 0, v = 0;
    U32 mode = PARAMS_GetModulationMod();
    // Checked before anything changes: a refused document leaves all as it was.
    if (!GetNumber(pJson, "psiinterval", &psi))
        return ZR_ERR_WEB_POST_PARAM;
    bool needStandard = mode == 4 || mode == 6;
    if (needStandard && !GetNumber(pJson, "channelstandard", &standard))
        return ZR_ERR_WEB_POST_PARAM;

    CARD_STATE_LOCK();
    TParameter_DTMB* scratch = GetDTMBParaTmp_Handle();
    *scratch = *GetDTMBPara_Handle();
    if (GetNumber(pJson, "singlemode", &v)) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB,
                   "[%s:%d] WEB:Service Configuration > Program > click Apply button!(Web_SetSingleMode)\r\n",
                   __func__, __LINE__);
        Web_SetSingleMode(v & 0xFF);
        scratch->u8SingleMode = (U8)v;  // the final copy below must not undo it
    }
    if (needStandard)
        scratch->u32ATSCChannelMode = standard;
    if (GetNumber(pJson, "rflevelunit", &v))
        scratch->u8RFLevelUnit[0] = (U8)v;
    Web_SetPSIInterval(psi & 0xFFFF);

    U8 type = Web_GetBoardType();
    MemberList modeMembers = ModeMembers(type);
    const cJSON* ports = cJSON_GetObjectItem(pJson, "portlist");
    if (cJSON_IsArray(ports)) {
        int nPorts = cJSON_GetArraySize(ports) % 256;
        for (int p = 0; p < nPorts; p++) {
            const cJSON* port = cJSON_GetArrayItem(ports, p);
            U32 portNo = 0;
            const cJSON* list = cJSON_GetObjectItem(port, "channellist");
            if (!GetNumber(port, "port", &portNo) || !cJSON_IsArray(list))
                continue;
            int nCh = cJSON_GetArraySize(list) % 65536;
            for (int i = 0; i < nCh; i++) {
                const cJSON* c = cJSON_GetArrayItem(list, i);
                U32 chNo = 0;
                if (!GetNumber(c, "channel", &chNo))
                    continue;
                U32 ch = _web_GetOutRealChannel(portNo, chNo);
                if (ch >= DTMB_CHANNEL_NUM)
                    continue;  // names no channel of this card
                for (const ChannelMember& m : kCommon)
                    if (strcmp(m.name, "rflevelunit") != 0 && GetNumber(c, m.name, &v, 0))
                        SetMember(scratch, m, ch, v);
                // A standard's own member under a repeated name is its last
                // occurrence; the common member is the first.
                for (size_t k = 0; k < modeMembers.n; k++)
                    if (GetNumber(c, modeMembers.p[k].name, &v, -1))
                        SetMember(scratch, modeMembers.p[k], ch, v);
            }
        }
    }
    TParameter_DTMB* live = GetDTMBPara_Handle();
    *live = *scratch;
    return PARAMS_SetDTMBParams(*live) == ZR_SUCCESS ? ZR_SUCCESS : ZR_ERR_NOT_SAVED;
}

int DATA_Recovery(void)
{
    if (FPGA_GetChipType() == CHIP_TYPE_SUB)
        return 0;
    std::string text;
    if (!plat::ReadFile(TARVEX_OID_JSON_FILE, text)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d open file: %s failed\n", LOG_POS,
                   TARVEX_OID_JSON_FILE);
        return 1;
    }
    cJSON* root = cJSON_ParseWithLength(text.data(), text.size());
    if (root == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d root parse failed\n\n", LOG_POS);
        return 1;
    }
    zrErrCode rc = DATA_Recovery_DTMBParameter(root);
    cJSON_Delete(root);
    return rc == ZR_ERR_NOT_SAVED ? (int)rc : 0;
}
