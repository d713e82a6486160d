#include "SIprocess/tdttot.h"
#include "Comm/maccomm.h"
#include "Common/thread.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "SIprocess/SIgenerate.h"
#include "SIprocess/SIsend.h"
#include "TSprocess/tsp.h"
#include <cstdio>
#include <cstring>

U8 u8TDTEnableFlag[8] = {0};
U8 u8TOTEnableFlag[8] = {0};
TOTTable_t g_stTOTInfo[8];

namespace {

// Shared by the time step, the apply step and the web read; all of them run
// under the card-state lock.
TOTBuf_t s_stTOTBuf;
U8 s_aru8Section[SIP_CONSTRUCT_BUF_LEN];

enum class TimeTable { TDT, TOT };

// Bytes of the section starting here: section_length + 3.
U32 SectionBytes(const U8* sec) { return (((U32)sec[1] & 0x0F) << 8 | sec[2]) + 3; }

// Frees one table record of a stored TOT.
void FreeTableRecord(TSTable& rec)
{
    memset(rec.aru8TableInfo, 0, sizeof(rec.aru8TableInfo));
    rec.u8ValidFlag = 0xFF;
    rec.u16Index = TSP_INVALID_INDEX;
    rec.u16NextIndex = TSP_INVALID_INDEX;
}

// Per output channel 0..7: 1 when the channel's stream gets the table.
// A failed stream lookup ends the decision (its code is returned).
U32 AdmittedChannels(TimeTable kind, U8 flags[8], U16 tsIndex[8])
{
    Output_TSInfo* db = TSP_GetTSParam();
    memset(flags, 0, 8);
    for (U16 c = 0; c < 8; c++) {
        U16 idx = TSP_INVALID_INDEX;
        tsIndex[c] = TSP_INVALID_INDEX;
        U32 ret = TSP_GetOutputTSIndexByTS(c, &idx);
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TSP_GetOutputTSIndexByTS return error\r\n\n",
                       LOG_POS);
            return ret;
        }
        if (db == nullptr || idx == TSP_INVALID_INDEX || idx >= db->u32OutputTSNumber)
            continue;
        const Output_TSStream& st = db->pOutputTS[idx];
        if (st.u8BypassFlag == 1)
            continue;
        if (IsPSITableInOtherPID(idx, TSP_TOT_PID) && !TSP_IsTOTTableChangedByUser(idx, db)) {
            log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_SIP, "%ld:%s:%d OutTSIndex:%d  exist %s in other pid\r\n\n", LOG_POS,
                       idx, kind == TimeTable::TDT ? "TDT" : "TOT");
            continue;
        }
        U8 gen = kind == TimeTable::TDT ? st.u8TDTGenerate : st.u8TOTGenerate;
        if (gen != 1)
            continue;
        flags[c] = gen;
        tsIndex[c] = idx;
    }
    return 0;
}

// Fetches the stored (edited) TOT sections of a stream into the buffer.
U32 FetchStoredTOT(U16 idx, const Output_TSInfo* db, TOTBuf_t* buf, int channel)
{
    memset(buf, 0, sizeof(*buf));
    U32 ret = TSP_GetOutputTOTTable(idx, db, buf);
    if (ret != 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TSP_GetOutputTOTTable return Error,u16Channel[%d]\r\n\n",
                   LOG_POS, channel);
    return ret;
}

// Parses the fetched sections into the model; the model ends up as the last
// valid section.
U32 ParseStoredTOT(TOTBuf_t* buf, TOTTable_t* model, int channel, bool stopOnError)
{
    U16 cnt = TSP_GetOneTSTOTSectionCnt(buf);
    log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_SIP, "%ld:%s:%d TOT section cnt:%d\r\n\n", LOG_POS, cnt);
    U32 offset = 0;
    for (U16 i = 0; i < cnt; i++) {
        if (offset >= buf->u16TOTLength) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TSP_GetTOTTableInfo error:%d\r\n\n", LOG_POS,
                       TSP_ERR_MSG_LENGTH);
            return TSP_ERR_MSG_LENGTH;
        }
        U8* sec = buf->aru8OutputTOTSection + offset;
        U16 len = TSP_GetTOTSectionLen(sec);
        if (len == 0)
            break;
        zrErrCode pr = SIP_ParseTOT(sec, (U16)(buf->u16TOTLength - offset), model, (U8)i);
        if (pr != ZR_SUCCESS) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d SIP_ParseTOT return error,u16Channel[%d]\r\n\n",
                       LOG_POS, channel);
            if (stopOnError)
                return pr;
        }
        offset += len;
    }
    return 0;
}

// The TOT model of a channel as the master sends it: default, or the edit.
bool BuildTOTModel(U16 c, U16 idx, TOTTable_t* model)
{
    Output_TSInfo* db = TSP_GetTSParam();
    TSP_InitTOT(model);
    if (TSP_IsTOTTableChangedByUser(idx, db)) {
        if (FetchStoredTOT(idx, db, &s_stTOTBuf, c) != 0 || ParseStoredTOT(&s_stTOTBuf, model, c, false) != 0)
            return false;
    }
    return true;
}

bool IsSlave() { return FPGA_GetChipType() == CHIP_TYPE_SUB; }

void Stage(U16 c, U16 len)
{
    // The carousel stamps the continuity counter of PID 20 when it writes.
    SSD_AddTimeSITableTDT(s_aru8Section, len, (U8)c, TSP_TOT_PID, SSD_GetContinuityCounter((U8)c, TSP_TOT_PID));
}

// Serialises a TOT model with the current UTC_time and stages it.
void StageTOT(U16 c, TOTTable_t* model)
{
    TSP_GetUTCTime(model->aru8UTCTime);
    U16 len = 0;
    if (SIP_ConstructTOT(model, sizeof(s_aru8Section), s_aru8Section, &len) != ZR_SUCCESS) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d SIP_ConstructTOT return error,u16Channel[%d]\r\n\n",
                   LOG_POS, c);
        return;
    }
    Stage(c, len);
}

const U8 kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

U8 Bcd(unsigned v) { return (U8)(((v / 10) % 10) << 4 | (v % 10)); }

}  // namespace

zrErrCode TSP_InitTOT(TOTTable_t* stTOTInfo)
{
    if (stTOTInfo == nullptr)
        return ZR_SUCCESS;
    memset(stTOTInfo, 0, sizeof(*stTOTInfo));
    stTOTInfo->u8SectionLen = 26;
    TSP_GetUTCTime(stTOTInfo->aru8UTCTime);
    stTOTInfo->arstDescInfo.u8Tag = 0x58;
    stTOTInfo->arstDescInfo.u8DescLen = 13;
    TOTDesc_t& d = stTOTInfo->arstDescInfo.arstDes[0];
    d.u32CountryCode = 0x43484E;
    d.u8CountryRegID = 8;
    d.u8LocalTimeOffsetPol = 0;
    d.u16LocalTimeOffset = 0x0000;
    d.u8TimeOfChange[0] = 0xE8;
    d.u8TimeOfChange[1] = 0xBC;
    d.u16NextTimeOffset = 0x0000;
    return ZR_SUCCESS;
}

U32 TSP_ConstructTDT(void)
{
    if (SIP_GetCurrentSIMode() != 0)
        return 0;
    TDTTable_t tdt;
    tdt.u8SectionLen = 5;
    TSP_GetUTCTime(tdt.aru8UTCTime);
    U16 len = 0;
    U32 ret = SIP_ConstructTDT(&tdt, sizeof(s_aru8Section), s_aru8Section, &len);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d SIP_ConstructTDT return error\r\n\n", LOG_POS);
        return ret;
    }
    if (IsSlave()) {
        for (U16 c = 4; c < 8; c++)
            if (u8TDTEnableFlag[c] == 1)
                Stage(c, len);
        return 0;
    }
    U8 flags[8];
    U16 ts[8];
    ret = AdmittedChannels(TimeTable::TDT, flags, ts);
    if (ret != 0)
        return ret;
    for (U16 c = 0; c < 8; c++)
        if (flags[c] == 1)
            Stage(c, len);
    return 0;
}

U32 TSP_ConstructTOT(void)
{
    if (SIP_GetCurrentSIMode() != 0)
        return 0;
    if (IsSlave()) {
        for (U16 c = 4; c < 8; c++) {
            if (u8TOTEnableFlag[c] != 1)
                continue;
            // The model was made at the last apply: its clock is stale.
            TOTTable_t model = g_stTOTInfo[c];
            StageTOT(c, &model);
        }
        return 0;
    }
    U8 flags[8];
    U16 ts[8];
    U32 ret = AdmittedChannels(TimeTable::TOT, flags, ts);
    if (ret != 0)
        return ret;
    for (U16 c = 0; c < 8; c++) {
        if (flags[c] != 1)
            continue;
        TOTTable_t model;
        if (!BuildTOTModel(c, ts[c], &model))
            continue;
        // An edited TOT keeps its offsets; its UTC_time is that of the edit,
        // so it is taken from the clock like the default's.
        StageTOT(c, &model);
    }
    return 0;
}

// The slave's per-channel enable flags of one time table.
static void SendSubEnableFlags(TimeTable kind, ZR_COM_MAC_CMD emCmd)
{
    U8 flags[8];
    U16 ts[8];
    if (AdmittedChannels(kind, flags, ts) != 0)
        return;
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SIP, "%ld:%s:%d %s Enable flag send to sub FPGA\r\n\n", LOG_POS,
               kind == TimeTable::TDT ? "TDT" : "TOT");
    SSD_PostSubMessage(emCmd, flags, sizeof(flags));
}

void TSP_SendSubTDTEnableFlag(void) { SendSubEnableFlags(TimeTable::TDT, ZR_COM_MAC_CMD_TDT_ENABLE_FLAG); }

void TSP_SendSubTOTEnableFlag(void) { SendSubEnableFlags(TimeTable::TOT, ZR_COM_MAC_CMD_TOT_ENABLE_FLAG); }

void TSP_SendSubTOTTableInfo(void)
{
    U8 flags[8];
    U16 ts[8];
    if (AdmittedChannels(TimeTable::TOT, flags, ts) != 0)
        return;
    TOTTable_t models[8];
    memset(models, 0, sizeof(models));
    for (U16 c = 0; c < 8; c++) {
        if (flags[c] == 1 && !BuildTOTModel(c, ts[c], &models[c]))
            memset(&models[c], 0, sizeof(models[c]));
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SIP, "%ld:%s:%d TOT Table Info send to sub FPGA\r\n\n", LOG_POS);
    SSD_PostSubMessage(ZR_COM_MAC_CMD_TOT_TABLE_INFO, reinterpret_cast<U8*>(models), sizeof(models));
}

BOOL TSP_IsTOTTableChangedByUser(U16 u16OutTSIndex, const Output_TSInfo* pstParamTS)
{
    if (pstParamTS == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d Input Error\r\n\n", LOG_POS);
        return 0;
    }
    IndexInfoList_t list;
    if (TSP_GetOutTSTOTTableIndexList(u16OutTSIndex, pstParamTS, &list) != 0)
        return 0;
    for (U16 i = 0; i < list.u16IndexListNum; i++) {
        U16 t = list.aru16IndexList[i];
        if (t < pstParamTS->u32OutputTableNumber && pstParamTS->pOutputTable[t].u8IsChangedByUser == 1)
            return 1;
    }
    return 0;
}

U16 TSP_GetTOTSectionLen(const U8* pu8Section)
{
    if (pu8Section == nullptr || pu8Section[0] != TSP_TOT_TABLE_ID)
        return 0;
    return (U16)SectionBytes(pu8Section);
}

U16 TSP_GetOneTSTOTSectionCnt(TOTBuf_t* pstTOTBuf)
{
    if (pstTOTBuf == nullptr)
        return 0;
    U16 cnt = 0;
    U32 off = 0;
    while (off + 3 <= pstTOTBuf->u16TOTLength && off + 3 <= TSP_TOTBUF_LEN) {
        U16 len = TSP_GetTOTSectionLen(pstTOTBuf->aru8OutputTOTSection + off);
        if (len == 0)
            break;
        cnt++;
        off += len;
    }
    return cnt;
}

U16 TSP_GetOneTSTOTSectionCnt_OneSectionBuf(TOTBuf_t* pstTOTBuf)
{
    if (pstTOTBuf == nullptr)
        return 0;
    return (U16)((SectionBytes(pstTOTBuf->aru8OutputTOTSection) >> 10) + 1);
}

U32 TSP_GetOutputTOTTable(U16 u16OutTSIndex, const Output_TSInfo* pstParamTS, TOTBuf_t* pstTOTBuf)
{
    if (pstParamTS == nullptr || pstTOTBuf == nullptr || u16OutTSIndex >= pstParamTS->u32OutputTSNumber) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TSP_GetOutputTOTTable input error,TSIndex:%d\r\n\n",
                   LOG_POS, u16OutTSIndex);
        return TSP_ERR_INPUT;
    }
    U16 t = pstParamTS->pOutputTS[u16OutTSIndex].u16TOTIndex;
    if (t >= pstParamTS->u32OutputTableNumber) {
        log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_SIP, "%ld:%s:%d TS dont have any TOT table\r\n\n", LOG_POS);
        return 1;
    }
    if (pstParamTS->pOutputTable[t].aru8TableInfo[0] != TSP_TOT_TABLE_ID) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d not a TOT table,table tag:0x%x\r\n\n", LOG_POS,
                   pstParamTS->pOutputTable[t].aru8TableInfo[0]);
        return 1;
    }
    U32 guard = 0;
    while (t < pstParamTS->u32OutputTableNumber && guard++ < pstParamTS->u32OutputTableNumber) {
        const TSTable& rec = pstParamTS->pOutputTable[t];
        if (rec.u8TableType != TSP_TABLE_TYPE_TOT) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d Error !!!! The table not a TOT table!!!\r\n\n",
                       LOG_POS);
            return TSP_ERR_NOT_ENOUGH;
        }
        U32 len = SectionBytes(rec.aru8TableInfo);
        if (len > TSP_TABLE_INFO_MAX_LEN || pstTOTBuf->u32OutputTOTSectionOffset + len > TSP_TOTBUF_LEN) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TOT buffer too small\r\n\n", LOG_POS);
            return TSP_ERR_LIST_RANGE;
        }
        memcpy(pstTOTBuf->aru8OutputTOTSection + pstTOTBuf->u32OutputTOTSectionOffset, rec.aru8TableInfo, len);
        pstTOTBuf->u32OutputTOTSectionOffset += len;
        pstTOTBuf->u16TOTLength = (U16)(pstTOTBuf->u16TOTLength + len);
        t = rec.u16NextIndex;
    }
    return 0;
}

U32 TSP_DelActualTOT(int nSelectOutTSIndex)
{
    Output_TSInfo* db = TSP_GetTempTSParam();
    if (db == nullptr || nSelectOutTSIndex < 0 || (U32)nSelectOutTSIndex >= db->u32OutputTSNumber) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TSP_DelActualTOT input param error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    U16 t = db->pOutputTS[nSelectOutTSIndex].u16TOTIndex;
    if (t < db->u32OutputTableNumber)
        FreeTableRecord(db->pOutputTable[t]);
    return 0;
}

U32 TSP_TOTBuf2TSOutputTable(int nSelectOutTSIndex, TOTBuf_t* pstTOTBuf)
{
    if (pstTOTBuf == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TSP_TOTBuf2TSOutputTable input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    Output_TSInfo* db = TSP_GetTempTSParam();
    if (db == nullptr || nSelectOutTSIndex < 0 || (U32)nSelectOutTSIndex >= db->u32OutputTSNumber) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TSP_TOTBuf2TSOutputTable input param error\r\n\n",
                   LOG_POS);
        return TSP_ERR_INPUT;
    }
    // Check the sections before anything is changed.
    U16 n = TSP_GetOneTSTOTSectionCnt_OneSectionBuf(pstTOTBuf);
    log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_SIP, "%ld:%s:%d TOT Section cnt[%d]\r\n\n", LOG_POS, n);
    U32 off = 0;
    for (U16 i = 0; i < n; i++) {
        if (off + 3 > TSP_TOTBUF_LEN)
            return TSP_ERR_LIST_RANGE;
        U32 slen = SectionBytes(pstTOTBuf->aru8OutputTOTSection + off) - 3;
        if (slen >= 1022 || off + slen + 3 > TSP_TOTBUF_LEN) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TSP_TOTBuf2TSOutputTable error\r\n\n", LOG_POS);
            return TSP_ERR_LIST_RANGE;
        }
        off += slen + 3;
    }
    TSP_DelActualTOT(nSelectOutTSIndex);
    IndexInfoList_t free;
    zrErrCode fr = TSP_GetUnusedOutputTableIndexList(&free, db, n);
    if (fr != ZR_SUCCESS)
        return fr;
    if (free.u16IndexListNum < n)
        return TSP_ERR_NOT_ENOUGH;
    off = 0;
    for (U16 i = 0; i < n; i++) {
        U16 t = free.aru16IndexList[i];
        TSTable& rec = db->pOutputTable[t];
        const U8* s = pstTOTBuf->aru8OutputTOTSection + off;
        U32 len = SectionBytes(s);
        TSP_InitOneOutputTable(&rec);
        memset(rec.aru8TableInfo, 0, sizeof(rec.aru8TableInfo));
        memcpy(rec.aru8TableInfo, s, len);
        rec.u16Index = t;
        rec.u16NextIndex = i + 1 < n ? free.aru16IndexList[i + 1] : TSP_INVALID_INDEX;
        rec.u16TSIndex = (U16)nSelectOutTSIndex; // its stream, so deleting the stream releases it
        rec.u8TableType = TSP_TABLE_TYPE_TOT;
        rec.u8ValidFlag = 1;
        rec.u8IsChangedByUser = 1;
        if (i == 0)
            db->pOutputTS[nSelectOutTSIndex].u16TOTIndex = t;
        log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_SIP, "%ld:%s:%d Temp TSTable Index: [%d] and Flag: [%d]\r\n\n", LOG_POS,
                   t, rec.u8ValidFlag);
        off += len;
    }
    return 0;
}

zrErrCode TSP_EditTOT_LTODescriptor(U16 u16Channel, TOTBuf_t* stTOTBuf)
{
    CARD_STATE_LOCK();
    U16 idx = TSP_INVALID_INDEX;
    if (TSP_GetOutputTSIndexByTS(u16Channel, &idx) != 0 || idx == TSP_INVALID_INDEX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "[%s:%d]Input Error,u16Channel[%u]\r\n", __func__, __LINE__,
                   u16Channel);
        return ZR_ERR_PARAMS;
    }
    return (zrErrCode)TSP_TOTBuf2TSOutputTable(idx, stTOTBuf);
}

U32 TSP_DelTOT(int nChannel)
{
    CARD_STATE_LOCK();
    U16 idx = TSP_INVALID_INDEX;
    U32 ret = TSP_GetOutputTSIndexByTS((U16)nChannel, &idx);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TSP_GetOutputTSIndexByTS return error\r\n\n", LOG_POS);
        return ret;
    }
    Output_TSInfo* db = TSP_GetTempTSParam();
    if (db == nullptr || idx >= db->u32OutputTSNumber)
        return TSP_ERR_INPUT;
    U16 t = db->pOutputTS[idx].u16TOTIndex;
    if (t < db->u32OutputTableNumber) {
        FreeTableRecord(db->pOutputTable[t]);
        db->pOutputTS[idx].u16TOTIndex = TSP_INVALID_INDEX;
    }
    return 0;
}

U32 TSP_GetTOTTableInfo(int nChannel, TOTTable_t* pstTOTTable)
{
    if (pstTOTTable == nullptr)
        return TSP_ERR_INPUT;
    CARD_STATE_LOCK();
    U16 idx = TSP_INVALID_INDEX;
    U32 ret = TSP_GetOutputTSIndexByTS((U16)nChannel, &idx);
    if (ret != 0)
        return ret;
    printf("nChannel:%d,nSelectOutTSIndex:%d\n", nChannel, idx);
    Output_TSInfo* db = TSP_GetTempTSParam();
    if (db == nullptr || idx >= db->u32OutputTSNumber)
        return TSP_ERR_INPUT;
    ret = FetchStoredTOT(idx, db, &s_stTOTBuf, nChannel);
    if (ret != 0)
        return ret;
    if (TSP_GetOneTSTOTSectionCnt(&s_stTOTBuf) == 0)
        return 0;
    return ParseStoredTOT(&s_stTOTBuf, pstTOTTable, nChannel, true);
}

void TSP_TOTTimeW2Hex(U8* pTimeWeb, U8* aru8UTCTime)
{
    if (pTimeWeb == nullptr || aru8UTCTime == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d Param is NULL!\r\n\n", LOG_POS);
        return;
    }
    // "yyyy/mm/dd hh:mm:ss"
    char text[20];
    memset(text, 0, sizeof(text));
    strncpy(text, reinterpret_cast<const char*>(pTimeWeb), 19);
    auto num = [&](int at, int digits) {
        unsigned v = 0;
        for (int i = 0; i < digits; i++) {
            char ch = text[at + i];
            v = v * 10 + ((ch >= '0' && ch <= '9') ? (unsigned)(ch - '0') : 0);
        }
        return v;
    };
    unsigned year = num(0, 4), month = num(5, 2), day = num(8, 2);
    unsigned hour = num(11, 2), minute = num(14, 2), second = num(17, 2);
    U16 mjd = year >= 1900 ? TSP_CalMJD((U16)(year - 1900), (U16)month, (U16)day) : 0;
    aru8UTCTime[0] = (U8)(mjd >> 8);
    aru8UTCTime[1] = (U8)mjd;
    aru8UTCTime[2] = Bcd(hour);
    aru8UTCTime[3] = Bcd(minute);
    aru8UTCTime[4] = Bcd(second);
}

void TSP_TOTTimeHex2W(U8* pTimeWeb, U8* aru8UTCTime)
{
    if (pTimeWeb == nullptr || aru8UTCTime == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d Param is NULL!\r\n\n", LOG_POS);
        return;
    }
    double mjd = (double)((aru8UTCTime[0] << 8) | aru8UTCTime[1]);
    // The 16-bit field wraps after 2038-04-22; values below 1900-03-01, where
    // the conversion does not hold anyway, are dates after the wrap.
    if (mjd < 15079)
        mjd += 65536;
    int yp = (int)((mjd - 15078.2) / 365.25);
    int mp = (int)((mjd - 14956.1 - (int)(yp * 365.25)) / 30.6001);
    int day = (int)mjd - 14956 - (int)(yp * 365.25) - (int)(mp * 30.6001);
    int k = (mp == 14 || mp == 15) ? 1 : 0;
    int year = yp + k + 1900;
    int month = mp - 1 - k * 12;
    if (month < 1 || month > 12) {
        month = 1;
    }
    int mdays = kMonthDays[month - 1];
    if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0))
        mdays = 29;
    if (day > mdays) {
        day -= mdays;
        if (++month > 12) {
            month = 1;
            year++;
        }
    }
    snprintf(reinterpret_cast<char*>(pTimeWeb), 32, "%04d/%02d/%02d %02x:%02x:%02x", year, month, day,
             aru8UTCTime[2], aru8UTCTime[3], aru8UTCTime[4]);
}

U32 TSP_CountryCodeW2Hex(U8* pCountryCodeStr)
{
    if (pCountryCodeStr == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d Param is NULL!\r\n\n", LOG_POS);
        return 4;
    }
    return (U32)pCountryCodeStr[0] << 16 | (U32)pCountryCodeStr[1] << 8 | pCountryCodeStr[2];
}

U32 TSP_CountryCodeHex2W(U32 u32CountryCode, U8* pCountryCodeStr)
{
    if (pCountryCodeStr == nullptr)
        return 4;
    snprintf(reinterpret_cast<char*>(pCountryCodeStr), 32, "%02x%02x%02x", (u32CountryCode >> 16) & 0xFF,
             (u32CountryCode >> 8) & 0xFF, u32CountryCode & 0xFF);
    return 0;
}

U16 TSP_TimeOffsetW2Hex(U8* pTimeWeb)
{
    if (pTimeWeb == nullptr)
        return 0;
    auto d = [](U8 ch) { return (ch >= '0' && ch <= '9') ? (unsigned)(ch - '0') : 0u; };
    unsigned hh = d(pTimeWeb[0]) * 10 + (pTimeWeb[0] ? d(pTimeWeb[1]) : 0);
    unsigned mm = 0;
    if (pTimeWeb[0] && pTimeWeb[1] && pTimeWeb[2] && pTimeWeb[3])
        mm = d(pTimeWeb[3]) * 10 + (pTimeWeb[4] ? d(pTimeWeb[4]) : 0);
    return (U16)(Bcd(hh) << 8 | Bcd(mm));
}

void TSP_TimeOffsetHex2W(U16 u16TimeOffset, U8* pTimeWeb)
{
    if (pTimeWeb == nullptr)
        return;
    snprintf(reinterpret_cast<char*>(pTimeWeb), 32, "%02x:%02x", (u16TimeOffset >> 8) & 0xFF, u16TimeOffset & 0xFF);
}
