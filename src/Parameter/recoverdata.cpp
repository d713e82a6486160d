// The JSON parameter file: written from the live modulation set with the
// web's keys, and read back member by member into it.
#include "Parameter/recoverdata.h"
#include "Common/thread.h"
#include "DTMB/dtmb_check.h"
#include "DTMB/dtmb_param.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include "SIprocess/SIsend.h"
#include "Web/web.h"
#include <cJSON.h>
#include <cerrno>
#include <cstdarg>
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

}  // namespace

namespace {

// The document of a set and a PSI interval.
void AddDocument(cJSON* pData, const TParameter_DTMB& set, U16 psi)
{
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
    AddDocument(pData, set, psi);
    return 0;
}

zrErrCode DATA_SaveSet(const TParameter_DTMB* pstSet, U16 u16Psi, bool bOnlyChanged)
{
    if (FPGA_GetChipType() == CHIP_TYPE_SUB)
        return ZR_SUCCESS;
    if (pstSet == nullptr)
        return ZR_ERR_NOT_SAVED;
    cJSON* root = cJSON_CreateObject();
    if (root == nullptr)
        return ZR_ERR_NOT_SAVED;
    AddDocument(root, *pstSet, u16Psi);
    char* text = cJSON_Print(root);
    cJSON_Delete(root);
    if (text == nullptr)
        return ZR_ERR_NOT_SAVED;
    std::string old;
    bool saved = true;
    if (!bOnlyChanged || !plat::ReadFile(TARVEX_OID_JSON_FILE, old) || old != text) {
        saved = plat::WriteFileAtomic(TARVEX_OID_JSON_FILE, text, strlen(text), true);
        PARAMS_NoteSave(TARVEX_OID_JSON_FILE, saved, errno);
    }
    cJSON_free(text);
    return saved ? ZR_SUCCESS : ZR_ERR_NOT_SAVED;
}

zrErrCode DATA_Save(void)
{
    TParameter_DTMB set;
    {
        CARD_STATE_LOCK();
        set = *GetDTMBPara_Handle();
    }
    U16 psi = 0;
    Web_GetPSIInterval(&psi);
    return DATA_SaveSet(&set, psi, false);
}

namespace {

// A whole number from 0 to max; false for any other JSON value.
bool Whole(const cJSON* item, U64 max, U32* out)
{
    if (!cJSON_IsNumber(item))
        return false;
    double d = item->valuedouble;
    if (!(d >= 0 && d <= (double)max) || d != std::floor(d))
        return false;
    *out = (U32)d;
    return true;
}

// A member looked up by name, letter case ignored; occurrence 0 is the first
// member of that name, -1 the last.
const cJSON* Find(const cJSON* obj, const char* name, int occurrence = 0)
{
    const cJSON* found = nullptr;
    for (const cJSON* c = obj ? obj->child : nullptr; c != nullptr; c = c->next) {
        if (c->string == nullptr || strcasecmp(c->string, name) != 0)
            continue;
        found = c;
        if (occurrence == 0)
            break;
    }
    return found;
}

// How a document is read: a request to change the card (an import), whose
// every malformed member refuses it, or the card's own stored file, whose
// malformed members are passed over one by one (each logged) so that the
// rest still counts.
struct Reading {
    bool bLenient;
    const char* pcLogAs;  // the name the log gives the document; nullptr: silent
    char* pcWhy;
    size_t whyLen;

    // False when the document is refused.
    bool Bad(const char* fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        char text[192];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(text, sizeof(text), fmt, ap);
        va_end(ap);
        if (!bLenient) {
            snprintf(pcWhy, whyLen, "%s", text);
            return false;
        }
        if (pcLogAs != nullptr)
            log_printf(LOG_LEVEL_WARNING, LOG_MODULE_PARAM, "%ld:%s:%d %s: %s: passed over, the value before kept\n",
                       LOG_POS, pcLogAs, text);
        return true;
    }
};

// Takes a channel member when the document has it; false when it is there
// but not a whole number the member holds (and the document is refused).
bool TakeMember(Reading& r, const cJSON* c, const ChannelMember& m, int occurrence, TParameter_DTMB* set, U32 ch)
{
    const cJSON* item = Find(c, m.name, occurrence);
    if (item == nullptr)
        return true;
    U32 v = 0;
    if (!Whole(item, m.width == W8 ? 0xFFu : 0xFFFFFFFFu, &v))
        return r.Bad("%s of channel %u: not a whole number from 0 to %u", m.name, ch,
                     m.width == W8 ? 0xFFu : 0xFFFFFFFFu);
    SetMember(set, m, ch, v);
    return true;
}

zrErrCode Refused(zrErrCode code, char* why, size_t whyLen, const char* text)
{
    snprintf(why, whyLen, "%s", text);
    return code;
}

zrErrCode Read(const cJSON* pJson, DATA_Restore* pstOut, Reading& r)
{
    char* pcWhy = r.pcWhy;
    const size_t whyLen = r.whyLen;
    pcWhy[0] = '\0';
    if (pJson == nullptr || pstOut == nullptr)
        return Refused(ZR_ERR_WEB_POST_PARAM, pcWhy, whyLen, "no document");
    DATA_Restore& out = *pstOut;
    U32 mode = PARAMS_GetModulationMod();
    U32 v = 0;
    CARD_STATE_LOCK();
    const TParameter_DTMB* live = GetDTMBPara_Handle();
    TParameter_DTMB& set = out.stSet;
    set = *live;
    // The interval is a 16-bit count, never 0, as the web takes it.
    if (!Whole(Find(pJson, "psiinterval"), 0xFFFF, &out.u32Psi) || out.u32Psi == 0) {
        U16 psi = 0;
        TSP_GetPSIInterval(&psi);
        out.u32Psi = psi;
        if (!r.Bad("psiinterval: a whole number from 1 to 65535"))
            return ZR_ERR_WEB_POST_PARAM;
    }
    bool needStandard = mode == 4 || mode == 6;
    U32 standard = set.u32ATSCChannelMode;
    if (needStandard && !Whole(Find(pJson, "channelstandard"), 0xFFFFFFFFu, &standard)) {
        standard = set.u32ATSCChannelMode;
        if (!r.Bad("channelstandard: a whole number"))
            return ZR_ERR_WEB_POST_PARAM;
    }
    out.bSingle = Find(pJson, "singlemode") != nullptr;
    if (out.bSingle && !Whole(Find(pJson, "singlemode"), 0xFFFFFFFFu, &out.u32Single)) {
        out.bSingle = false;
        if (!r.Bad("singlemode: a whole number"))
            return ZR_ERR_WEB_POST_PARAM;
    }
    if (out.bSingle)
        set.u8SingleMode = (U8)out.u32Single;
    if (needStandard)
        set.u32ATSCChannelMode = standard;
    if (const cJSON* unit = Find(pJson, "rflevelunit"); unit != nullptr) {
        if (Whole(unit, 0xFF, &v))
            set.u8RFLevelUnit[0] = (U8)v;
        else if (!r.Bad("rflevelunit: a whole number from 0 to 255"))
            return ZR_ERR_WEB_POST_PARAM;
    }

    // The channels the document holds: a value it gives for a channel that
    // another decides is read as the deciding one's when that one is held too.
    bool held[DTMB_CHANNEL_NUM] = {};
    MemberList modeMembers = ModeMembers(Web_GetBoardType());
    const cJSON* ports = cJSON_GetObjectItem(pJson, "portlist");
    if (ports != nullptr && !cJSON_IsArray(ports)) {
        if (!r.Bad("portlist: an array"))
            return ZR_ERR_WEB_POST_PARAM;
        ports = nullptr;
    }
    int nPorts = ports ? cJSON_GetArraySize(ports) : 0;
    for (int p = 0; p < nPorts; p++) {
        const cJSON* port = cJSON_GetArrayItem(ports, p);
        U32 portNo = 0;
        const cJSON* list = cJSON_GetObjectItem(port, "channellist");
        if (!Whole(Find(port, "port"), 0xFFFFFFFFu, &portNo) || !cJSON_IsArray(list)) {
            if (!r.Bad("portlist: an entry without port and channellist"))
                return ZR_ERR_WEB_POST_PARAM;
            continue;
        }
        for (const cJSON* c = list->child; c != nullptr; c = c->next) {
            U32 chNo = 0;
            if (!Whole(Find(c, "channel"), 0xFFFFFFFFu, &chNo)) {
                if (!r.Bad("channellist: an entry without channel"))
                    return ZR_ERR_WEB_POST_PARAM;
                continue;
            }
            // 64-bit: a huge port or channel must not wrap into the table.
            U64 ch = (U64)portNo * _web_GetOutChannelNumbyPort(portNo) + chNo;
            if (ch >= DTMB_CHANNEL_NUM) {
                if (!r.Bad("port %u channel %u: no such channel", portNo, chNo))
                    return ZR_ERR_WEB_POST_PARAM;
                continue;
            }
            held[ch] = true;
            for (const ChannelMember& m : kCommon)
                if (strcmp(m.name, "rflevelunit") != 0 && !TakeMember(r, c, m, 0, &set, (U32)ch))
                    return ZR_ERR_WEB_POST_PARAM;
            // A standard's own member under a repeated name is its last
            // occurrence; the common member is the first.
            for (size_t k = 0; k < modeMembers.n; k++)
                if (!TakeMember(r, c, modeMembers.p[k], -1, &set, (U32)ch))
                    return ZR_ERR_WEB_POST_PARAM;
        }
    }
    // What earlier firmware stored is read as what it ran; then, for an
    // import, the checks a request of the same values gets.
    DTMB_Refusal why;
    if (!DTMB_ReadStoredSet(live, &set, held, r.bLenient, r.pcLogAs, &why))
        return Refused(why.enCode, pcWhy, whyLen, why.acField);
    if (r.bLenient)
        return ZR_SUCCESS;
    if (!DTMB_CheckCandidate(live, &set, &why, DTMB_ROAD_STORED))
        return Refused(why.enCode, pcWhy, whyLen, why.acField);
    if (web_Check_QAMB_Frequency(&set) != ZR_SUCCESS)
        return Refused(ZR_ERR_WEB_SET_FREQUENCY_ERROR, pcWhy, whyLen,
                       "frequency: an enabled channel more than 50 MHz from its chip's mean");
    return ZR_SUCCESS;
}

// Puts a document's values in force and saves them (both files).
zrErrCode Apply(const DATA_Restore& r)
{
    if (r.bSingle) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB,
                   "[%s:%d] WEB:Service Configuration > Program > click Apply button!(Web_SetSingleMode)\r\n",
                   __func__, __LINE__);
        Web_SetSingleMode(r.u32Single & 0xFF);
    }
    Web_SetPSIInterval(r.u32Psi);
    CARD_STATE_LOCK();
    TParameter_DTMB* live = GetDTMBPara_Handle();
    *live = r.stSet;
    return PARAMS_SetDTMBParams(*live) == ZR_SUCCESS ? ZR_SUCCESS : ZR_ERR_NOT_SAVED;
}

}  // namespace

zrErrCode DATA_CheckDTMBParameter(const cJSON* pJson, DATA_Restore* pstOut, char* pcWhy, size_t whyLen)
{
    char scratchWhy[8];
    if (pcWhy == nullptr || whyLen == 0) {
        pcWhy = scratchWhy;
        whyLen = sizeof(scratchWhy);
    }
    Reading r{false, nullptr, pcWhy, whyLen};
    return Read(pJson, pstOut, r);
}

namespace {

// The names a channel object carries after the last member every standard
// writes, less any this card does not know (a key added by hand).
std::string Tail(const cJSON* c)
{
    static const char* const kKnown[] = {"qammode", "symbolrate", "Interweave", "fftmode",
                                         "gimode",  "convolutionalbitrate", "segmentmode"};
    std::string tail;
    bool after = false;
    for (const cJSON* m = c->child; m != nullptr; m = m->next) {
        if (m->string == nullptr)
            continue;
        if (strcmp(m->string, "insertpsienable") == 0) {
            after = true;
            tail.clear();
            continue;
        }
        bool known = false;
        for (const char* k : kKnown)
            known = known || strcmp(m->string, k) == 0;
        if (after && known)
            tail += std::string(tail.empty() ? "" : ",") + m->string;
    }
    return after ? tail : std::string("?");
}

// Every channel object of a document with its channel number.
template <class F> void ForEachChannel(const cJSON* pJson, F f)
{
    const cJSON* ports = cJSON_GetObjectItem(pJson, "portlist");
    for (const cJSON* port = cJSON_IsArray(ports) ? ports->child : nullptr; port != nullptr; port = port->next) {
        const cJSON* list = cJSON_GetObjectItem(port, "channellist");
        U32 portNo = 0;
        if (!cJSON_IsArray(list) || !Whole(Find(port, "port"), 0xFF, &portNo))
            continue;
        for (const cJSON* c = list->child; c != nullptr; c = c->next) {
            U32 ch = 0;
            if (cJSON_IsObject(c) && Whole(Find(c, "channel"), 0xFF, &ch) && portNo * 8 + ch < DTMB_CHANNEL_NUM)
                f(c, portNo * 8 + ch);
        }
    }
}

}  // namespace

int DATA_StandardOfDocument(const cJSON* pJson)
{
    const cJSON* ports = cJSON_GetObjectItem(pJson, "portlist");
    const cJSON* port = cJSON_IsArray(ports) ? cJSON_GetArrayItem(ports, 0) : nullptr;
    const cJSON* list = port ? cJSON_GetObjectItem(port, "channellist") : nullptr;
    const cJSON* c = cJSON_IsArray(list) ? cJSON_GetArrayItem(list, 0) : nullptr;
    if (!cJSON_IsObject(c))
        return -1;
    const std::string tail = Tail(c);
    for (U8 type : {3, 4, 5, 0}) {
        MemberList l = ModeMembers(type);
        std::string want;
        for (size_t i = 0; i < l.n; i++)
            want += std::string(i ? "," : "") + l.p[i].name;
        if (tail == want)
            return type;
    }
    return -1;
}

U32 DATA_ModesOfDocument(const cJSON* pJson)
{
    // DTMB, DVB-T and ATSC 8VSB write the same members; what a standard's
    // own members hold, and how its frequencies lie, tell them apart. Every
    // member of the other standards stays at its factory value on a card.
    U32 modes = 1u << 0 | 1u << 1 | 1u << 6;
    U32 v = 0;
    auto differs = [&v](const cJSON* c, const char* name, U32 factory) {
        return Whole(Find(c, name), 0xFFFFFFFFu, &v) && v != factory;
    };
    bool dtmb = false, dvbt = false;
    U32 freq[DTMB_CHANNEL_NUM] = {}, bandwidth = 2;
    bool have[DTMB_CHANNEL_NUM] = {};
    ForEachChannel(pJson, [&](const cJSON* c, U32 ch) {
        dtmb = dtmb || differs(c, "constellation", _64_QAM_LDPC_0_8) || differs(c, "carrier", SingleCarr_Mod) ||
               differs(c, "Interweave", _240_INTLEAV) || differs(c, "framehead", _420_VARIABLE);
        dvbt = dvbt || differs(c, "bandwidth", _8M_BW) || differs(c, "fftmode", _FFT_4K) ||
               differs(c, "guardinterval", _GadInt_1_32) || differs(c, "constellationmode", _64_QAM) ||
               differs(c, "fec", _CODE_7_8);
        if (ch == 0 && Whole(Find(c, "bandwidth"), 2, &v))
            bandwidth = v;
        have[ch] = Whole(Find(c, "frequency"), 0xFFFFFFFFu, &freq[ch]);
    });
    if (dtmb)
        modes &= 1u << 0;
    if (dvbt)
        modes &= 1u << 1;
    // DTMB and DVB-T tune a chip's channels one spacing apart from its first;
    // ATSC tunes each channel on its own, on a 6 MHz raster.
    bool complete = false, apart8 = true, apartBw = true;
    for (U32 first = 0; first < DTMB_CHANNEL_NUM; first += 4) {
        if (!(have[first] && have[first + 1] && have[first + 2] && have[first + 3]))
            continue;
        complete = true;
        for (U32 k = 1; k < 4; k++) {
            apart8 = apart8 && freq[first + k] == freq[first] + 8000 * k;
            apartBw = apartBw && freq[first + k] == freq[first] + (6000 + 1000 * bandwidth) * k;
        }
    }
    if (complete) {
        if (!apart8)
            modes &= ~(1u << 0);
        if (!apartBw)
            modes &= ~(1u << 1);
        if (apart8 || apartBw)
            modes &= ~(1u << 6);
    }
    if (Whole(Find(pJson, "channelstandard"), 0xFFFFFFFFu, &v) && v >= 1 && v <= 3)
        modes &= 1u << 6;
    return modes;
}

zrErrCode DATA_Recovery_DTMBParameter(cJSON* pJson)
{
    // Checked whole before anything changes: a refused document leaves all
    // as it was.
    DATA_Restore r;
    char why[192];
    Reading reading{false, "imported parameters", why, sizeof(why)};
    zrErrCode rc = Read(pJson, &r, reading);
    if (rc != ZR_SUCCESS) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d parameters refused: %s\n", LOG_POS, why);
        return rc;
    }
    return Apply(r);
}

zrErrCode DATA_RecoverStoredDTMBParameter(const cJSON* pJson, const char* pcName)
{
    DATA_Restore r;
    char why[192];
    Reading reading{true, pcName, why, sizeof(why)};
    zrErrCode rc = Read(pJson, &r, reading);
    if (rc != ZR_SUCCESS)
        return rc;
    return Apply(r);
}

namespace {

cJSON* ReadDocument(void)
{
    std::string text;
    if (!plat::ReadFile(TARVEX_OID_JSON_FILE, text)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d open file: %s failed\n", LOG_POS,
                   TARVEX_OID_JSON_FILE);
        return nullptr;
    }
    cJSON* root = cJSON_ParseWithLength(text.data(), text.size());
    if (root == nullptr)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d root parse failed\n\n", LOG_POS);
    return root;
}

}  // namespace

int DATA_Recovery(void)
{
    if (FPGA_GetChipType() == CHIP_TYPE_SUB)
        return 0;
    cJSON* root = ReadDocument();
    if (root == nullptr)
        return 1;
    zrErrCode rc = DATA_Recovery_DTMBParameter(root);
    cJSON_Delete(root);
    return rc == ZR_ERR_NOT_SAVED ? (int)rc : 0;
}

int DATA_RecoveryStored(void)
{
    if (FPGA_GetChipType() == CHIP_TYPE_SUB)
        return 0;
    cJSON* root = ReadDocument();
    if (root == nullptr)
        return 1;
    zrErrCode rc = DATA_RecoverStoredDTMBParameter(root, TARVEX_OID_JSON_FILE);
    cJSON_Delete(root);
    return rc == ZR_ERR_NOT_SAVED ? (int)rc : 0;
}
