// settingTable: the modulation settings of the eight output channels, read
// from and written to the live modulation set of the card's standard, with
// the frequency checks of the standards and one apply per SET request.
#include "Common/thread.h"
#include "DTMB/dtmb.h"
#include "DTMB/dtmb_check.h"
#include "Driver/RF/modulate.h"
#include "Parameter/parameters.h"
#include "Web/web.h"
#include "agent/mibgroup/dtmb/dtmb.h"
#include <cstdio>
#include <cstring>

// Frequency limits (kHz) of a group's first channel, and the least distance
// and widest window of the channel-plan standards.
static const int64_t kFreqMinKHz = 48000;
static const int64_t kFreqMaxKHz = 838000;
static const int64_t kATSCSpacingKHz = 6000;
static const int64_t kATSCWindowKHz = 50000;

// Symbol rates (kBd) set with a J.83 Annex B constellation (64/256-QAM) and
// with a DVB-C bandwidth (6/7/8 MHz).
static const U32 kAnnexBSymbolRate[2] = {5057, 5361};
static const U32 kQAMASymbolRate[3] = {5057, 6000, 6875};

// ---- Frequency checks -------------------------------------------------------

// Step and span of a channel's bandwidth; false for an unknown bandwidth.
static bool BandwidthStep(U32 bandwidth, int64_t* step, int64_t* span)
{
    if (bandwidth > 2)
        return false;
    *step = 6000 + 1000 * (int64_t)bandwidth;
    *span = 4 * *step;
    return true;
}

int DVBT_OutputFreq_Check(U32 channel, long frequencyKHz, U32* step)
{
    const TParameter_DTMB& set = *GetDTMBPara_Handle();
    if (channel >= DTMB_CHANNEL_NUM)
        return SNMP_ERR_BADVALUE;
    int64_t f = frequencyKHz, s = 0, span = 0;
    if (!BandwidthStep((U32)set.Bandwidth_Sel[channel], &s, &span)) {
        printf("ERR:ZR_ERR_PARAMS[%d],Bandwidth_Sel[%d]\n", ZR_ERR_PARAMS, (int)set.Bandwidth_Sel[channel]);
        return SNMP_ERR_READONLY;
    }
    if (step != nullptr)
        *step = (U32)s;
    // Signed 64-bit throughout: a low neighbour must not wrap into a pass.
    if (channel == 0) {
        if (f < kFreqMinKHz || f > kFreqMaxKHz) {
            printf("ERR:0-SNMP_ERR_BADVALUE[%d],frequencyKHz[%ld]\n", SNMP_ERR_BADVALUE, frequencyKHz);
            return SNMP_ERR_BADVALUE;
        }
        if (f < (int64_t)set.OutputFreq[4]) {
            if (f > (int64_t)set.OutputFreq[4] - span) {
                printf("ERR:1-SNMP_ERR_BADVALUE[%d],frequencyKHz[%ld],OutputFreq[%u],u32FreAdd[%u]\n",
                       SNMP_ERR_BADVALUE, frequencyKHz, set.OutputFreq[4], (U32)s);
                return SNMP_ERR_BADVALUE;
            }
        } else if (f < (int64_t)set.OutputFreq[7] + s) {
            printf("ERR:2-SNMP_ERR_BADVALUE[%d],frequencyKHz[%ld],OutputFreq[%u],u32FreAdd[%u]\n", SNMP_ERR_BADVALUE,
                   frequencyKHz, set.OutputFreq[7], (U32)s);
            return SNMP_ERR_BADVALUE;
        }
    } else if (channel == 4) {
        if (f < kFreqMinKHz || f > kFreqMaxKHz) {
            printf("ERR:3-SNMP_ERR_BADVALUE[%d],frequencyKHz[%ld]\n", SNMP_ERR_BADVALUE, frequencyKHz);
            return SNMP_ERR_BADVALUE;
        }
        if (f > (int64_t)set.OutputFreq[0]) {
            if (f < (int64_t)set.OutputFreq[3] + s) {
                printf("ERR:4-SNMP_ERR_BADVALUE[%d],frequencyKHz[%ld],OutputFreq[%u],u32FreAdd[%u]\n",
                       SNMP_ERR_BADVALUE, frequencyKHz, set.OutputFreq[3], (U32)s);
                return SNMP_ERR_BADVALUE;
            }
        } else if (f > (int64_t)set.OutputFreq[0] - span) {
            printf("ERR:5-SNMP_ERR_BADVALUE[%d],frequencyKHz[%ld],OutputFreq[%u],u32FreAdd[%u]\n", SNMP_ERR_BADVALUE,
                   frequencyKHz, set.OutputFreq[0], (U32)s);
            return SNMP_ERR_BADVALUE;
        }
    }
    return SNMP_ERR_NOERROR;
}

int QAMA_OutputFreq_Check(U32 channel, long frequencyKHz, U32* step)
{
    return DVBT_OutputFreq_Check(channel, frequencyKHz, step);
}

int ATSC_OutputFreq_Check(U32 channel, long frequencyKHz, int countFlag)
{
    const TParameter_DTMB& set = *GetDTMBPara_Handle();
    if (channel >= DTMB_CHANNEL_NUM)
        return SNMP_ERR_BADVALUE;
    U32 group = channel < 4 ? 0 : 4;
    int64_t f = frequencyKHz;
    int64_t sum = 0, count = 0;
    for (U32 k = group; k < group + 4; k++) {
        if (k != channel && set.u32Enable[k] != 0) {
            sum += set.OutputFreq[k];
            count++;
        }
    }
    if (countFlag == 0 && set.u32Enable[channel] == 0) {
        if (count == 0)
            return SNMP_ERR_NOERROR;
    } else {
        sum += f;
        count++;
    }
    int64_t avg = sum / count;
    printf("IFNO:index[%d],u32OutputFreqTotal[%u],u32OutputTotal[%u],u32OutputFreqAvl[%u],outputFreq[%u]\n",
           (int)channel, (U32)sum, (U32)count, (U32)avg, (U32)f);
    for (U32 k = 0; k < DTMB_CHANNEL_NUM; k++) {
        if (k == channel || set.u32Enable[k] == 0)
            continue;
        int64_t other = set.OutputFreq[k];
        if (other < f && other + kATSCSpacingKHz > f) {
            printf("ERR:(%u + 6000) > outputFreq\n", set.OutputFreq[k]);
            return SNMP_ERR_BADVALUE;
        }
        if (other >= f && other < f + kATSCSpacingKHz) {
            printf("ERR:%u < (outputFreq + 6000)\n", set.OutputFreq[k]);
            return SNMP_ERR_BADVALUE;
        }
    }
    for (U32 k = group; k < group + 4; k++) {
        if (set.u32Enable[k] == 0)
            continue;
        if (k == channel) {
            if (avg + kATSCWindowKHz < f) {
                printf("ERR:(u32OutputFreqAvr + 50000) < outputFreq");
                return SNMP_ERR_BADVALUE;
            }
            if (avg > f + kATSCWindowKHz) {
                printf("ERR:u32OutputFreqAvr > (outputFreq + 50000)");
                return SNMP_ERR_BADVALUE;
            }
        } else {
            int64_t other = set.OutputFreq[k];
            if (avg > other + kATSCWindowKHz) {
                printf("ERR:k[%d]:u32OutputFreqAvr > (%u + 50000)\n", (int)k, set.OutputFreq[k]);
                return SNMP_ERR_BADVALUE;
            }
            if (avg + kATSCWindowKHz < other) {
                printf("ERR:k[%d]:(u32OutputFreqAvr + 50000) < %u\n", (int)k, set.OutputFreq[k]);
                return SNMP_ERR_BADVALUE;
            }
        }
    }
    return SNMP_ERR_NOERROR;
}

// ---- Value checks -----------------------------------------------------------

static bool IsNameColumn(U32 column) { return column == COLUMN_QAMB_CHANNEL || column == COLUMN_ATSC_CHANNEL; }

int settingTable_CheckValue(U32 column, u_char type, size_t len)
{
    if (IsNameColumn(column)) {
        if (type != ASN_OCTET_STR)
            return SNMP_ERR_WRONGTYPE;
        return len > SETTING_NAME_SIZE ? SNMP_ERR_WRONGLENGTH : SNMP_ERR_NOERROR;
    }
    bool writable = column >= COLUMN_OUTPUT_POWER && column <= SETTING_COLUMN_MAX &&
                    column != COLUMN_QAMB_SYMBOL_RATE && column != COLUMN_ISDBT_RESERVED;
    if (!writable)
        return SNMP_ERR_NOTWRITABLE;
    if (type != ASN_INTEGER)
        return SNMP_ERR_WRONGTYPE;
    return len != sizeof(long) ? SNMP_ERR_WRONGLENGTH : SNMP_ERR_NOERROR;
}

// ---- GET --------------------------------------------------------------------

bool settingTable_ColumnOfMode(U32 column, U32 mode)
{
    if (column <= COLUMN_ENABLE)
        return true;
    if (column == COLUMN_OUTPUT_FREQ)
        return mode == 0 || mode == 1 || mode == 3 || mode == 5;
    if (column <= COLUMN_DTMB_CARRIER)
        return mode == 0;
    if (column <= COLUMN_DVBT_CODE_RATE)
        return mode == 1;
    if (column <= COLUMN_QAMA_SYMBOL_RATE || column == COLUMN_QAMA_BANDWIDTH)
        return mode == 3;
    if (column <= COLUMN_QAMB_SYMBOL_RATE)
        return mode == 4;
    if (column <= COLUMN_ISDBT_SEGMENT_MODE)
        return mode == 5;
    return mode == 6;
}

bool settingTable_CellAnswered(U32 column, U32 mode, U32 plan)
{
    if (!settingTable_ColumnOfMode(column, mode))
        return false;
    if (column == COLUMN_QAMB_CHANNEL)
        return plan >= 1 && plan <= 3;
    if (column == COLUMN_ATSC_CHANNEL)
        return plan <= 3;
    return true;
}

// Name of the plan channel at a frequency: the plan's first name when none.
static const char* PlanChannelName(const ATSC_ChannelPlan* plan, U32 freq)
{
    int i = ATSC_FindChannelByFreq(plan, freq);
    return plan->name[i < 0 ? 0 : i];
}

static void SetNameCache(settingTable_entry* row, U32 column, const char* text, size_t len)
{
    int k = column == COLUMN_QAMB_CHANNEL ? 0 : 1;
    row->old_name_len[k] = row->name_len[k];
    memcpy(row->old_name[k], row->name[k], SETTING_NAME_SIZE);
    memset(row->name[k], 0, SETTING_NAME_SIZE);
    len = len < SETTING_NAME_SIZE ? len : SETTING_NAME_SIZE;
    memcpy(row->name[k], text, len);
    row->name_len[k] = len;
}

// Answers one cell; leaves it unanswered when the card's mode has no such
// cell, so that later cells of the request are still answered.
static void GetCell(netsnmp_request_info* request, settingTable_entry* row, U32 column, U32 mode)
{
    const TParameter_DTMB& set = *GetDTMBPara_Handle();
    if (!settingTable_CellAnswered(column, mode, set.u32ATSCChannelMode))
        return;
    U32 c = (U32)(row->index - 1);
    long value = 0;
    switch (column) {
    case COLUMN_INDEX: value = row->index; break;
    case COLUMN_OUTPUT_POWER: value = set.OutputPow[c]; break;
    case COLUMN_ENABLE: value = set.u32Enable[c]; break;
    case COLUMN_OUTPUT_FREQ: value = set.OutputFreq[c]; break;
    case COLUMN_DTMB_CONSTELLATION: value = set.ConsteMod[c]; break;
    case COLUMN_DTMB_FRAME_HEADER: value = set.FramHeadMod[c]; break;
    case COLUMN_DTMB_CARRIER: value = set.CarrMod[c]; break;
    case COLUMN_DVBT_BANDWIDTH: value = set.Bandwidth_Sel[c]; break;
    case COLUMN_DVBT_FFT_SIZE: value = set.DVBT_FFTSize[c]; break;
    case COLUMN_DVBT_GUARD_INTERVAL: value = set.DVBT_GadIntSize[c]; break;
    case COLUMN_DVBT_CONSTELLATION: value = set.DVBT_QAMMod[c]; break;
    case COLUMN_DVBT_CODE_RATE: value = set.DVBT_CodeMod[c]; break;
    case COLUMN_QAMA_CONSTELLATION: value = set.QAMMod[c]; break;
    case COLUMN_QAMA_SYMBOL_RATE: value = set.SymbolRate[c]; break;
    case COLUMN_QAMB_CHANNEL_PLAN:
    case COLUMN_ATSC_CHANNEL_PLAN: value = set.u32ATSCChannelMode; break;
    case COLUMN_QAMB_CHANNEL:
    case COLUMN_ATSC_CHANNEL: {
        const char* name = PlanChannelName(ATSC_GetChannelPlan(set.u32ATSCChannelMode), set.OutputFreq[c]);
        size_t len = strnlen(name, SETTING_NAME_SIZE);
        SetNameCache(row, column, name, len);
        snmp_set_var_typed_value(request->requestvb, ASN_OCTET_STR, name, len);
        return;
    }
    case COLUMN_QAMB_CONSTELLATION: value = set.AnnexBQAMMode[c < 4 ? 0 : 4]; break;
    case COLUMN_QAMB_SYMBOL_RATE: value = kAnnexBSymbolRate[set.AnnexBQAMMode[c] == 1 ? 1 : 0]; break;
    case COLUMN_ISDBT_RESERVED: value = 0; break;
    case COLUMN_ISDBT_FFT_MODE: value = set.u8FFTMode[c]; break;
    case COLUMN_ISDBT_GUARD_INTERVAL: value = set.u8GImode[c]; break;
    case COLUMN_ISDBT_CONSTELLATION: value = set.u8ISDBTQAMMode[c]; break;
    case COLUMN_ISDBT_CODE_RATE: value = set.u8ConvolutionalCodeRate[c]; break;
    case COLUMN_ISDBT_SEGMENT_MODE: value = set.u8SegmentMode[c]; break;
    case COLUMN_QAMA_BANDWIDTH:
        value = set.Bandwidth_Sel[c];
        printf("-->snmp-get:qamaBandWidth=%d\r\n", (int)value);
        break;
    default: return;
    }
    row->old_value[column] = row->value[column];
    row->value[column] = value;
    snmp_set_var_typed_value(request->requestvb, ASN_INTEGER, &value, sizeof(value));
}

// ---- SET --------------------------------------------------------------------

// What one request of the action phase leaves: the next request, or a
// refusal (with its status) that leaves the live set as the request found it.
enum SetStep { STEP_NEXT, STEP_FAIL };

// A refused value: wrongValue for one the column never takes,
// inconsistentValue for one that clashes with the card's other settings.
static SetStep Refuse(int* status, int code)
{
    *status = code;
    return STEP_FAIL;
}

template <typename T, size_t N> static void SetGroup(T (&field)[N], U32 group, long value)
{
    for (U32 k = group; k < group + 4; k++)
        field[k] = (T)value;
}

template <typename T, size_t N> static void SetAll(T (&field)[N], long value)
{
    for (size_t k = 0; k < N; k++)
        field[k] = (T)value;
}

// The eight frequencies of a newly chosen plan: channels 0-3 get entries
// 0-3 and channels 4-7 entries 5-8.
static void TakePlanFrequencies(TParameter_DTMB& set, U32 plan)
{
    const ATSC_ChannelPlan* p = ATSC_GetChannelPlan(plan);
    set.u32ATSCChannelMode = plan;
    for (U32 k = 0; k < 4; k++) {
        set.OutputFreq[k] = p->freq[k];
        set.OutputFreq[k + 4] = p->freq[k + 5];
    }
}

// Columns 8 and 27: a new bandwidth for all eight channels.
static SetStep SetBandwidth(TParameter_DTMB& set, settingTable_entry* row, U32 column, long value, int* status)
{
    bool dvbt = column == COLUMN_DVBT_BANDWIDTH;
    if (value < 0 || value > 2) {
        if (dvbt)
            printf("ERR:COLUMN_DVBT_BANDWIDTH***********dvbtBandWidth[%ld]\n", value);
        return Refuse(status, SNMP_ERR_WRONGVALUE);
    }
    if (row->index != 1) {
        if (dvbt)
            printf("ERR:COLUMN_DVBT_BANDWIDTH***********index[%d]\n", row->index);
        return Refuse(status, SNMP_ERR_INCONSISTENTVALUE);
    }
    const char* label = dvbt ? "DVBT" : "QAMA";
    U32 step = 0;
    int (*check)(U32, long, U32*) = dvbt ? DVBT_OutputFreq_Check : QAMA_OutputFreq_Check;
    if (check(0, set.OutputFreq[0], &step) != 0) {
        printf("ERR:COLUMN_%s_BANDWIDTH***********DVBT_OutputFreq_Check 0", label);
        *status = SNMP_ERR_READONLY;
        return STEP_FAIL;
    }
    if (check(4, set.OutputFreq[4], &step) != 0) {
        printf("err:COLUMN_%s_BANDWIDTH***********DVBT_OutputFreq_Check 4", label);
        *status = SNMP_ERR_READONLY;
        return STEP_FAIL;
    }
    step = 6000 + 1000 * (U32)value;
    for (U32 group = 0; group < DTMB_CHANNEL_NUM; group += 4) {
        for (U32 k = 1; k < 4; k++) {
            set.OutputFreq[group + k] = set.OutputFreq[group] + k * step;
            printf("OutputFreq[%u][%u],u32FreAdd[%u]\n", group + k, set.OutputFreq[group + k], step);
        }
    }
    SetAll(set.Bandwidth_Sel, value);
    if (!dvbt)
        SetAll(set.SymbolRate, kQAMASymbolRate[value]);
    return STEP_NEXT;
}

// Column 3 in 8VSB mode: the channel's current frequency must be a plan
// channel that passes the plan check.
static int CheckEnableATSC(const TParameter_DTMB& set, settingTable_entry* row, long value)
{
    static const char* const kTag[4] = {"IFNO-1", "IFNO-2", "IFNO-3", "IFNO-1"};
    static const char* const kPlanName[4] = {"qamb_atsc_AIR", "qamb_atsc_std", "qamb_atsc_irc", "qamb_atsc_hrc"};
    U32 c = (U32)(row->index - 1);
    U32 plan = set.u32ATSCChannelMode;
    printf("COLUMN_ENABLE[%ld],u32ATSCChannelMode[%u],OutputFreq[%u]\n", value, plan, set.OutputFreq[c]);
    const ATSC_ChannelPlan* p = ATSC_GetChannelPlan(plan);
    int i = ATSC_FindChannelByFreq(p, set.OutputFreq[c]);
    if (i < 0)
        return SNMP_ERR_BADVALUE;
    printf("%s:i[%d],index[%d],OutputFreq[%u],%s[%u]\n", kTag[plan], i, row->index, set.OutputFreq[c],
           kPlanName[plan], p->freq[i]);
    return ATSC_OutputFreq_Check(c, set.OutputFreq[c], 1);
}

// Column 16: a channel of the J.83 Annex B cable plan, by name.
static SetStep SetQAMBChannel(TParameter_DTMB& set, U32 c, const char* text, size_t len, int* status)
{
    U32 plan = set.u32ATSCChannelMode;
    int i = plan >= 1 && plan <= 3 ? ATSC_FindChannelByName(ATSC_GetChannelPlan(plan), text, len) : -1;
    if (i < 0)
        return Refuse(status, SNMP_ERR_WRONGVALUE);
    U32 freq = ATSC_GetChannelPlan(plan)->freq[i];
    TParameter_DTMB* scratch = GetDTMBParaTmp_Handle();
    *scratch = set;
    scratch->OutputFreq[c] = freq;
    if (web_Check_QAMB_Frequency(scratch) != ZR_SUCCESS)
        return Refuse(status, SNMP_ERR_INCONSISTENTVALUE);
    set.OutputFreq[c] = freq;
    return STEP_NEXT;
}

// Column 26: a channel of the 8VSB plan, by name.
static SetStep SetATSCChannel(TParameter_DTMB& set, U32 c, const char* text, size_t len, int* status)
{
    U32 plan = set.u32ATSCChannelMode;
    printf("IFNO:u32ATSCChannelMode[%u]\n", plan);
    const ATSC_ChannelPlan* p = ATSC_GetChannelPlan(plan);
    if (p == nullptr)
        return Refuse(status, SNMP_ERR_INCONSISTENTVALUE);
    int i = ATSC_FindChannelByName(p, text, len);
    if (i < 0)
        return Refuse(status, SNMP_ERR_WRONGVALUE);
    if (ATSC_OutputFreq_Check(c, p->freq[i], 0) != SNMP_ERR_NOERROR)
        return Refuse(status, SNMP_ERR_INCONSISTENTVALUE);
    set.OutputFreq[c] = p->freq[i];
    return STEP_NEXT;
}

// One request of the action phase, edited into the live set.
static SetStep SetCell(TParameter_DTMB& set, settingTable_entry* row, U32 column, const netsnmp_variable_list* vb,
                       int* status)
{
    U32 c = (U32)(row->index - 1);
    U32 group = c < 4 ? 0 : 4;
    bool groupRow = c == 0 || c == 4;
    if (IsNameColumn(column)) {
        const char* text = reinterpret_cast<const char*>(vb->val.string);
        SetNameCache(row, column, text, vb->val_len);
        return column == COLUMN_QAMB_CHANNEL ? SetQAMBChannel(set, c, text, vb->val_len, status)
                                             : SetATSCChannel(set, c, text, vb->val_len, status);
    }
    long v = *vb->val.integer;
    row->old_value[column] = row->value[column];
    row->value[column] = v;
    auto inRange = [v](long lo, long hi) { return v >= lo && v <= hi; };
    // A group column takes a value in range, on a group's first row only.
    auto groupError = [&](long lo, long hi) {
        return !inRange(lo, hi) ? SNMP_ERR_WRONGVALUE : !groupRow ? SNMP_ERR_INCONSISTENTVALUE : SNMP_ERR_NOERROR;
    };
    switch (column) {
    case COLUMN_OUTPUT_POWER:
        // Every level the level hardware of both chips carries as it is.
        if (!inRange(0, 0xFF) || !Modulate_LevelFits(false, (U32)v) || !Modulate_LevelFits(true, (U32)v))
            return Refuse(status, SNMP_ERR_WRONGVALUE);
        SetAll(set.OutputPow, v);
        return STEP_NEXT;
    case COLUMN_ENABLE: {
        U32 mode = PARAMS_GetModulationMod();
        printf("settingTable_handler****************u32ModulMode[%u]\n", mode);
        U32 step = 0;
        if (!inRange(0, 1))
            return Refuse(status, SNMP_ERR_WRONGVALUE);
        if ((mode == 6 && CheckEnableATSC(set, row, v) != SNMP_ERR_NOERROR) ||
            (mode == 1 && DVBT_OutputFreq_Check(c, set.OutputFreq[c], &step) != 0))
            return Refuse(status, SNMP_ERR_INCONSISTENTVALUE);
        set.u32Enable[c] = (U32)v;
        return STEP_NEXT;
    }
    case COLUMN_OUTPUT_FREQ: {
        if (!inRange(kFreqMinKHz, kFreqMaxKHz))
            return Refuse(status, SNMP_ERR_WRONGVALUE);
        U32 step = 0;
        if (!groupRow || DVBT_OutputFreq_Check(c, v, &step) != 0)
            return Refuse(status, SNMP_ERR_INCONSISTENTVALUE);
        for (U32 k = 0; k < 4; k++)
            set.OutputFreq[group + k] = (U32)v + k * step;
        return STEP_NEXT;
    }
    case COLUMN_DTMB_CONSTELLATION:
        if (int e = groupError(1, 10))
            return Refuse(status, e);
        SetGroup(set.ConsteMod, group, v);
        return STEP_NEXT;
    case COLUMN_DTMB_FRAME_HEADER:
        if (int e = groupError(1, 2))
            return Refuse(status, e);
        SetGroup(set.FramHeadMod, group, v);
        return STEP_NEXT;
    case COLUMN_DTMB_CARRIER:
        if (int e = groupError(0, 1))
            return Refuse(status, e);
        SetGroup(set.CarrMod, group, v);
        return STEP_NEXT;
    case COLUMN_DVBT_FFT_SIZE:
        if (int e = groupError(0, 2))
            return Refuse(status, e);
        SetGroup(set.DVBT_FFTSize, group, v);
        return STEP_NEXT;
    case COLUMN_DVBT_BANDWIDTH:
    case COLUMN_QAMA_BANDWIDTH:
        return SetBandwidth(set, row, column, v, status);
    case COLUMN_DVBT_GUARD_INTERVAL:
        if (int e = groupError(0, 3))
            return Refuse(status, e);
        SetGroup(set.DVBT_GadIntSize, group, v);
        return STEP_NEXT;
    case COLUMN_DVBT_CONSTELLATION:
        if (int e = groupError(0, 2))
            return Refuse(status, e);
        SetGroup(set.DVBT_QAMMod, group, v);
        return STEP_NEXT;
    case COLUMN_DVBT_CODE_RATE:
        if (int e = groupError(0, 4))
            return Refuse(status, e);
        SetGroup(set.DVBT_CodeMod, group, v);
        return STEP_NEXT;
    case COLUMN_QAMA_CONSTELLATION:
        if (int e = groupError(0, 4))
            return Refuse(status, e);
        SetGroup(set.QAMMod, group, v);
        return STEP_NEXT;
    case COLUMN_QAMA_SYMBOL_RATE:
        if (int e = groupError(4035, 6952))
            return Refuse(status, e);
        SetGroup(set.SymbolRate, group, v);
        return STEP_NEXT;
    case COLUMN_QAMB_CHANNEL_PLAN:
    case COLUMN_ATSC_CHANNEL_PLAN:
        if (!inRange(column == COLUMN_QAMB_CHANNEL_PLAN ? 1 : 0, 3))
            return Refuse(status, SNMP_ERR_WRONGVALUE);
        TakePlanFrequencies(set, (U32)v);
        return STEP_NEXT;
    case COLUMN_QAMB_CONSTELLATION:
        if (int e = groupError(0, 1))
            return Refuse(status, e);
        SetGroup(set.AnnexBQAMMode, group, v);
        SetGroup(set.SymbolRate, group, kAnnexBSymbolRate[v]);
        return STEP_NEXT;
    case COLUMN_ISDBT_GUARD_INTERVAL:
        if (int e = groupError(0, 3))
            return Refuse(status, e);
        SetGroup(set.u8GImode, group, v);
        return STEP_NEXT;
    case COLUMN_ISDBT_CONSTELLATION:
        if (int e = groupError(1, 3))
            return Refuse(status, e);
        SetGroup(set.u8ISDBTQAMMode, group, v);
        return STEP_NEXT;
    case COLUMN_ISDBT_CODE_RATE:
        if (int e = groupError(0, 4))
            return Refuse(status, e);
        SetGroup(set.u8ConvolutionalCodeRate, group, v);
        return STEP_NEXT;
    case COLUMN_ISDBT_FFT_MODE:
        if (int e = groupError(1, 3))
            return Refuse(status, e);
        // The web page shows the mode under its common key too.
        SetGroup(set.u8FFTMode, group, v);
        SetGroup(set.DVBT_FFTSize, group, v);
        return STEP_NEXT;
    case COLUMN_ISDBT_SEGMENT_MODE:
        if (v != 1 && v != 13)
            return Refuse(status, SNMP_ERR_WRONGVALUE);
        if (!groupRow)
            return Refuse(status, SNMP_ERR_INCONSISTENTVALUE);
        SetGroup(set.u8SegmentMode, group, v);
        return STEP_NEXT;
    default:
        return Refuse(status, SNMP_ERR_NOTWRITABLE);
    }
}

// The action step: each request edited into the live set, which the SET's
// unit keeps under the card-state lock until its commit saves it. A refused
// request leaves the set as the request found it.
static void SettingAction(netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests)
{
    CARD_STATE_LOCK();
    TParameter_DTMB* live = GetDTMBPara_Handle();
    for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
        auto* row = static_cast<settingTable_entry*>(netsnmp_extract_iterator_context(request));
        netsnmp_table_request_info* info = netsnmp_extract_table_info(request);
        if (row == nullptr || info == nullptr)
            continue;
        int status = SNMP_ERR_NOERROR;
        SetStep step = SetCell(*live, row, info->colnum, request->requestvb, &status);
        if (step != STEP_NEXT) {
            *live = *DtmbSet_Start();
            netsnmp_set_request_error(reqinfo, request, status);
            return;
        }
    }
    // The edited set as a whole passes the checks the web applies, and gets
    // the values the card derives.
    DTMB_Refusal why;
    if (!DTMB_CheckCandidate(DtmbSet_Start(), live, &why)) {
        printf("settingTable refused: %s\n", why.acField);
        *live = *DtmbSet_Start();
        netsnmp_set_request_error(reqinfo, requests,
                                  why.enKind == DTMB_REFUSED_RANGE ? SNMP_ERR_WRONGVALUE : SNMP_ERR_INCONSISTENTVALUE);
        return;
    }
    DtmbSet_TableEdited(requests);
}

// A SET that failed: the row caches as they were (the unit puts the live
// set back).
static void SettingUndo(netsnmp_request_info* requests)
{
    for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
        auto* row = static_cast<settingTable_entry*>(netsnmp_extract_iterator_context(request));
        netsnmp_table_request_info* info = netsnmp_extract_table_info(request);
        if (row == nullptr || info == nullptr || info->colnum > SETTING_COLUMN_MAX)
            continue;
        if (IsNameColumn(info->colnum)) {
            int k = info->colnum == COLUMN_QAMB_CHANNEL ? 0 : 1;
            memcpy(row->name[k], row->old_name[k], SETTING_NAME_SIZE);
            row->name_len[k] = row->old_name_len[k];
            memset(row->old_name[k], 0, SETTING_NAME_SIZE);
            row->old_name_len[k] = 0;
        } else {
            row->value[info->colnum] = row->old_value[info->colnum];
            row->old_value[info->colnum] = 0;
        }
    }
}

int settingTable_handler(netsnmp_mib_handler*, netsnmp_handler_registration*, netsnmp_agent_request_info* reqinfo,
                         netsnmp_request_info* requests)
{
    switch (reqinfo->mode) {
    case MODE_GET: {
        CARD_STATE_LOCK();
        U32 mode = PARAMS_GetModulationMod();
        for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
            auto* row = static_cast<settingTable_entry*>(netsnmp_extract_iterator_context(request));
            netsnmp_table_request_info* info = netsnmp_extract_table_info(request);
            if (row == nullptr || info == nullptr) {
                netsnmp_set_request_error(reqinfo, request, SNMP_NOSUCHINSTANCE);
                continue;
            }
            if (info->colnum < 1 || info->colnum > SETTING_COLUMN_MAX) {
                netsnmp_set_request_error(reqinfo, request, SNMP_NOSUCHOBJECT);
                continue;
            }
            GetCell(request, row, info->colnum, mode);
        }
        break;
    }
    case MODE_SET_RESERVE1: {
        DtmbSet_Open(reqinfo);
        U32 mode = PARAMS_GetModulationMod();
        U32 plan = GetDTMBPara_Handle()->u32ATSCChannelMode;
        for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
            auto* row = static_cast<settingTable_entry*>(netsnmp_extract_iterator_context(request));
            netsnmp_table_request_info* info = netsnmp_extract_table_info(request);
            int ret = row == nullptr || info == nullptr
                          ? SNMP_ERR_NOCREATION
                          : settingTable_CheckValue(info->colnum, request->requestvb->type,
                                                    request->requestvb->val_len);
            // A cell this card does not answer (another standard's, or a
            // channel name without a plan) is not one it can be set through.
            if (ret == SNMP_ERR_NOERROR && !settingTable_CellAnswered(info->colnum, mode, plan))
                ret = SNMP_ERR_INCONSISTENTVALUE;
            if (ret != SNMP_ERR_NOERROR) {
                netsnmp_set_request_error(reqinfo, request, ret);
                return SNMP_ERR_NOERROR;
            }
        }
        break;
    }
    case MODE_SET_ACTION:
        SettingAction(reqinfo, requests);
        return SNMP_ERR_NOERROR;
    case MODE_SET_UNDO:
        SettingUndo(requests);
        DtmbSet_Finish(reqinfo);
        break;
    case MODE_SET_COMMIT:
        return DtmbSet_Finish(reqinfo);
    case MODE_SET_FREE:
        DtmbSet_Finish(reqinfo);
        break;
    default:
        break;
    }
    printf("************save param end*****************\r");
    return SNMP_ERR_NOERROR;
}
