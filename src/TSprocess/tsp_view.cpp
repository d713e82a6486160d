// The web's views of the output streams: a channel with its programs, other
// PIDs, payload capacity and overflow flags, one program, and the measured
// bit rate of every PID of a channel.
#include "TSprocess/tsp_view.h"
#include "Common/thread.h"
#include "DTMB/dtmb_param.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp_lut.h"
#include <cstring>
#include <vector>

namespace {

// The stream is looked up in the database being read: an index found in
// another copy may name a different record here.
U16 StreamOf(const Output_TSInfo* p, U16 u16Channel) { return TSP_FindStreamOfChannel(p, u16Channel); }

// Payload capacity of a channel in kbit/s; in DVB-T mode the two chips'
// capacities from the settings of channels 0 and 4.
void Capacity(U16 c, bool bChannelView, U32* pu32Total, U32* pu32Slave)
{
    *pu32Total = 0;
    *pu32Slave = 0;
    const TParameter_DTMB* d = GetDTMBPara_Handle();
    zrErrCode rc = ZR_SUCCESS;
    switch (PARAMS_GetModulationMod()) {
    case 3:
        rc = DVBC_GetConsteModRate(d->SymbolRate[c], d->QAMMod[c], pu32Total);
        break;
    case 4:
        *pu32Total = d->AnnexBQAMMode[c] == 0 ? 26970 : d->AnnexBQAMMode[c] == 1 ? 38810 : 0;
        break;
    case 1:
        if (bChannelView)
            rc = DVBT_GetConsteModRate(d->Bandwidth_Sel[0], d->DVBT_GadIntSize[0], d->DVBT_QAMMod[0],
                                       d->DVBT_CodeMod[0], pu32Total);
        if (rc == ZR_SUCCESS)
            rc = DVBT_GetConsteModRate(d->Bandwidth_Sel[4], d->DVBT_GadIntSize[4], d->DVBT_QAMMod[4],
                                       d->DVBT_CodeMod[4], pu32Slave);
        break;
    case 5:
        rc = ISDBT_GetConsteModRate(d->u8ISDBTQAMMode[c], d->u8ConvolutionalCodeRate[c], d->u8GImode[c], pu32Total);
        break;
    case 6:
        *pu32Total = 19383;
        break;
    default:
        rc = DTMB_GetConsteModRate(d->ConsteMod[c], d->FramHeadMod[c], pu32Total);
        break;
    }
    if (rc != ZR_SUCCESS)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d channel[%u] rate formula error[%d]\r\n\n",
                   LOG_POS, c, (int)rc);
}

U8 EsKind(U8 u8StreamType) { return TSP_IsAudioStreamType(u8StreamType) ? TSP_WEB_PID_AUDIO : TSP_WEB_PID_VIDEO; }

// The program fields of both views; bOldIsInput: the ES entries' old PID is
// the input PID (channel view) rather than the output PID (program view).
U32 FillProgram(const Output_TSInfo* p, U16 u16Prog, Output_WebProgramInfo* w, bool bOldIsInput)
{
    const Output_TSProgram& r = p->pOutputProgram[u16Prog];
    w->u8ServiceNameLen = r.u8ServiceNameLen;
    w->u8ServiceProviderLen = r.u8ServiceProviderLen;
    memcpy(w->aru8ServiceName, r.aru8ServiceName, sizeof(w->aru8ServiceName));
    memcpy(w->aru8ServiceProvider, r.aru8ServiceProvider, sizeof(w->aru8ServiceProvider));
    w->u8SourceSlot = r.u8SourceSlotID;
    w->u8SourcePort = r.u8SrcPort;
    w->u16SourceChannel = r.u16WebChannel;
    w->u16OldServiceID = w->u16ServiceID = r.u16ServiceID;
    w->u16OldPCRPID = w->u16PCRPID = r.u16PCRPID;
    w->u16OldPMTPID = w->u16PMTPID = r.u16PMTPID;
    w->u16MajorChannelNum = r.u16MajorChannelNum;
    w->u16MinorChannelNum = r.u16MinorChannelNum;
    w->u8ServiceType = r.u8ServiceType;
    IndexInfoList_t l;
    U32 ret = TSP_GetOutProgESPIDIndexList(u16Prog, p, &l);
    if (ret != 0)
        return ret;
    for (U32 i = 0; i < l.u16IndexListNum && w->u16ESNumber < TSP_WEB_ES_MAX; i++) {
        const Output_TSPID& e = p->pOutputPID[l.aru16IndexList[i]];
        Output_WebPIDInfo& o = w->arOutputESInfo[w->u16ESNumber++];
        o.u8StreamType = e.u8StreamType;
        o.u16OldPID = bOldIsInput ? e.u16OldPID : e.u16PID;
        o.u16PID = e.u16PID;
        o.u8PIDType = EsKind(e.u8StreamType);
    }
    return 0;
}

} // namespace

U16 TSP_FindStreamOfChannel(const Output_TSInfo* p, U16 u16Channel)
{
    for (U32 i = 0; p != nullptr && p->pOutputTS != nullptr && i < p->u32OutputTSNumber && i < TSP_INVALID_INDEX; i++)
        if (p->pOutputTS[i].u8ValidFlag == 1 && p->pOutputTS[i].u16ChannelID == u16Channel)
            return (U16)i;
    return TSP_INVALID_INDEX;
}

BOOL TSP_IsVideoStreamType(U8 t)
{
    return t == 0x01 || t == 0x02 || t == 0x10 || t == 0x1B || t == 0x1E || t == 0x24 || t == 0x42 || t == 0x80;
}

BOOL TSP_IsAudioStreamType(U8 t)
{
    return t == 0x03 || t == 0x04 || t == 0x06 || t == 0x0F || t == 0x11 || t == 0x81 || t == 0x83 || t == 0x84 ||
           t == 0xA1;
}

U32 TSP_SendTSInfoToWeb(U16 u16Channel, Output_WebTSInfo* pstWebTSInfo, const Output_TSInfo* pstParamTS)
{
    if (pstWebTSInfo == nullptr || pstParamTS == nullptr || GetDTMBPara_Handle() == nullptr ||
        u16Channel >= TSP_WEB_CHANNEL_MAX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    memset(pstWebTSInfo, 0, sizeof(*pstWebTSInfo));
    const U16 t = StreamOf(pstParamTS, u16Channel);
    if (t == TSP_INVALID_INDEX) {
        pstWebTSInfo->u8ValidFlag = 0xFF;
        return 0;
    }
    const Output_TSStream& s = pstParamTS->pOutputTS[t];
    Output_WebTSInfo& w = *pstWebTSInfo;
    w.u8ValidFlag = 1;
    w.u16Channel = s.u16ChannelID;
    w.u8BypassFlag = s.u8BypassFlag == 1 ? 1 : 0xFF;
    if (s.u8BypassFlag == 1) {
        w.u8SourceSlot = s.u8SrcSlotID;
        w.u16SourceChannel = s.u16SrcChannelID;
    }
    w.u8SourcePort = s.u8SrcPort;
    w.u16TransportStreamID = s.u16TransportStreamID;
    w.u16OriginalNetworkID = s.u16OriginalNetworkID;
    w.u16ProgramNum = s.u16ProgramNum;
    w.u8ModulationMode = s.u8ModulationMode;
    w.u8TDTGenerate = s.u8TDTGenerate;
    w.u8HasTsInfoFlag = s.u8HasTsInfoFlag;
    U32 u32Lut = 0, u32Eff = 0;
    FPGA_GetChannelBitRate(u16Channel, &u32Lut, &u32Eff);
    w.u32EffectiveBitRate = u32Eff;
    U32 u32Total = 0, u32Slave = 0; // the record is packed: no pointers into it
    Capacity(u16Channel, true, &u32Total, &u32Slave);
    w.u32TotalBitRate = u32Total;
    w.u32TotalBitRateSlave = u32Slave;
    w.u32Frequency = GetDTMBPara_Handle()->OutputFreq[u16Channel] / 1000;
    w.bOverFlow = (float)w.u32TotalBitRate < (float)u32Lut ? 1 : 0;
    w.bOverFlowSlave = (float)u32Lut > (float)w.u32TotalBitRateSlave ? 1 : 0;

    IndexInfoList_t l;
    U32 ret = TSP_GetOutTSOtherPIDIndexList(t, pstParamTS, &l);
    if (ret != 0)
        return ret;
    w.u16PIDNum = l.u16IndexListNum;
    for (U32 i = 0; i < l.u16IndexListNum && i < TSP_WEB_PID_MAX; i++) {
        const Output_TSPID& r = pstParamTS->pOutputPID[l.aru16IndexList[i]];
        w.arOutputPIDInfo[i].u16OldPID = w.arOutputPIDInfo[i].u16PID = r.u16PID;
        w.arOutputPIDInfo[i].u8PIDType = TSP_WEB_PID_OTHER;
    }
    ret = TSP_GetOutTSProgIndexList(t, pstParamTS, &l);
    if (ret != 0)
        return ret;
    for (U32 i = 0; i < l.u16IndexListNum && i < TSP_WEB_PROGRAM_MAX; i++) {
        ret = FillProgram(pstParamTS, l.aru16IndexList[i], &w.arOutputProInfo[i], true);
        if (ret != 0)
            return ret;
    }
    return 0;
}

U32 TSP_SendProgramInfoToWeb(U16 u16Channel, U16 u16ServiceId, Output_WebProgramInfo* pstWebProInfo,
                             const Output_TSInfo* pstParamTS)
{
    if (pstWebProInfo == nullptr || pstParamTS == nullptr || u16Channel >= TSP_WEB_CHANNEL_MAX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    memset(pstWebProInfo, 0, sizeof(*pstWebProInfo));
    const U16 t = StreamOf(pstParamTS, u16Channel);
    if (t == TSP_INVALID_INDEX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Channel%u] don't exist\r\n\n", LOG_POS,
                   u16Channel);
        return 0;
    }
    IndexInfoList_t l;
    U32 ret = TSP_GetOutTSProgIndexList(t, pstParamTS, &l);
    if (ret != 0)
        return ret;
    for (U32 i = 0; i < l.u16IndexListNum; i++)
        if (pstParamTS->pOutputProgram[l.aru16IndexList[i]].u16ServiceID == u16ServiceId)
            return FillProgram(pstParamTS, l.aru16IndexList[i], pstWebProInfo, false);
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Channel[%u],ServiceID[%u] program don't exist\r\n\n",
               LOG_POS, u16Channel, u16ServiceId);
    return TSP_ERR_PROGRAM_NOT_FOUND;
}

U32 TSP_WriteSamePIDNum(Output_WebPIDBitInfo* parPIDBitInfo, U16 u16PIDNumber)
{
    if (parPIDBitInfo == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    if (u16PIDNumber > TSP_WEB_BITINFO_MAX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d PID numberNot enough,u16PIDNumber[%u]\r\n\n",
                   LOG_POS, u16PIDNumber);
        return TSP_ERR_TABLE_GROW;
    }
    for (U32 i = 0; i < u16PIDNumber;) {
        U32 j = i + 1;
        while (j < u16PIDNumber && parPIDBitInfo[j].u16PID == parPIDBitInfo[i].u16PID)
            parPIDBitInfo[j++].u16SamePIDNum = 1;
        parPIDBitInfo[i].u16SamePIDNum = (U16)(j - i);
        i = j;
    }
    return 0;
}

U32 TSP_SendTSBitInfoToWeb(U16 u16Channel, Output_WebTSBitInfo* pstWebTSBitInfo)
{
    if (pstWebTSBitInfo == nullptr || u16Channel >= TSP_WEB_CHANNEL_MAX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error u16Channel[%u]\r\n\n", LOG_POS,
                   u16Channel);
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    const Output_TSInfo* p = TSP_GetTSParam();
    memset(pstWebTSBitInfo, 0, sizeof(*pstWebTSBitInfo));
    const U16 t = StreamOf(p, u16Channel);
    if (t == TSP_INVALID_INDEX) {
        pstWebTSBitInfo->u8ValidFlag = 0xFF;
        return 0;
    }
    pstWebTSBitInfo->u8ValidFlag = 1;
    std::vector<Output_WebPIDBitInfo> v;
    U32 ret = 0;
    bool bFull = false;
    // Measures one PID and appends it; bIfRate: only when it carries traffic.
    auto add = [&](U16 pid, U8 kind, bool bIfRate, const Output_TSProgram* pr) -> bool {
        if (bFull)
            return false;
        Output_WebPIDBitInfo e{};
        U32 u32Rate = 0;
        U8 u8Cc = 0;
        ret = FPGA_GetPIDBitInfo(u16Channel, pid, &u32Rate, &u8Cc);
        e.u32BitRate = u32Rate;
        e.U8CcNum = u8Cc;
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetPIDBitInfo return error\r\n\n", LOG_POS);
            return false;
        }
        if (bIfRate && e.u32BitRate == 0)
            return true;
        if (v.size() >= TSP_WEB_BITINFO_MAX) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TS PID number[%u] out of range\r\n\n",
                       LOG_POS, (U32)v.size());
            bFull = true;
            return false;
        }
        e.u16PID = pid;
        e.u8PIDType = kind;
        if (pr != nullptr) {
            e.u16ServiceID = pr->u16ServiceID;
            e.u8ServiceNameLen = pr->u8ServiceNameLen;
            memcpy(e.aru8ServiceName, pr->aru8ServiceName, sizeof(e.aru8ServiceName));
        }
        v.push_back(e);
        return true;
    };
    auto addList = [&](const IndexInfoList_t& l, U8 kind, const Output_TSProgram* pr, bool bUnfilteredOnly) {
        for (U32 i = 0; i < l.u16IndexListNum; i++) {
            const Output_TSPID& r = p->pOutputPID[l.aru16IndexList[i]];
            if (bUnfilteredOnly && r.u8PIDFilterFlag != 0)
                continue;
            if (!add(r.u16PID, kind, false, pr))
                return false;
        }
        return true;
    };
    IndexInfoList_t l, progs;
    bool ok = add(0, TSP_WEB_PID_PAT, true, nullptr) && add(1, TSP_WEB_PID_CAT, true, nullptr) &&
              add(17, TSP_WEB_PID_SDT, true, nullptr);
    if (ok) {
        ret = TSP_GetOutTSEMMPIDIndexList(t, p, &l);
        ok = ret == 0 && addList(l, TSP_WEB_PID_EMM, nullptr, false);
    }
    ok = ok && add(16, TSP_WEB_PID_NIT, true, nullptr) && add(18, TSP_WEB_PID_EIT, true, nullptr) &&
         add(20, TSP_WEB_PID_TDT, true, nullptr);
    if (ok) {
        ret = TSP_GetOutTSOtherPIDIndexList(t, p, &l);
        ok = ret == 0;
        for (U32 i = 0; ok && i < l.u16IndexListNum; i++) {
            const U16 pid = p->pOutputPID[l.aru16IndexList[i]].u16PID;
            if (pid != 16 && pid != 17 && pid != 18 && pid != 20)
                ok = add(pid, TSP_WEB_PID_OTHER, false, nullptr);
        }
    }
    if (ok && Resource_GetSIMode() == 1)
        ok = add(0x1FFB, TSP_WEB_PID_PSIP, true, nullptr);
    if (ok) {
        ret = TSP_GetOutTSProgIndexList(t, p, &progs);
        ok = ret == 0;
        if (ok && progs.u16IndexListNum > TSP_WEB_PROGRAM_MAX) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TS Program number[%u] out of range\r\n\n",
                       LOG_POS, progs.u16IndexListNum);
            return TSP_ERR_TABLE_GROW;
        }
    }
    for (U32 g = 0; ok && g < progs.u16IndexListNum; g++) {
        const U16 gi = progs.aru16IndexList[g];
        const Output_TSProgram* pr = &p->pOutputProgram[gi];
        ok = add(pr->u16PCRPID, TSP_WEB_PID_PCR, false, pr) && add(pr->u16PMTPID, TSP_WEB_PID_PMT, false, pr);
        if (ok) {
            ret = TSP_GetOutProgPSECMPIDIndexList(gi, p, &l);
            ok = ret == 0 && addList(l, TSP_WEB_PID_PSECM, pr, true) && add(20, TSP_WEB_PID_TDT, true, nullptr);
        }
        IndexInfoList_t es;
        if (ok) {
            ret = TSP_GetOutProgESPIDIndexList(gi, p, &es);
            ok = ret == 0;
        }
        for (U32 i = 0; ok && i < es.u16IndexListNum; i++) {
            const Output_TSPID& e = p->pOutputPID[es.aru16IndexList[i]];
            ok = add(e.u16PID, EsKind(e.u8StreamType), false, pr);
            if (ok) {
                ret = TSP_GetOutESECMPIDIndexList(es.aru16IndexList[i], p, &l);
                ok = ret == 0 && addList(l, TSP_WEB_PID_ESECM, pr, true);
            }
        }
    }
    if (ret != 0)
        return ret;
    pstWebTSBitInfo->u16PIDNum = (U16)v.size();
    U32 u32Total = 0, u32Slave = 0;
    Capacity(u16Channel, false, &u32Total, &u32Slave);
    pstWebTSBitInfo->u32TotalBitRate = u32Total;
    pstWebTSBitInfo->u32TotalBitRateSlave = u32Slave;
    std::vector<U32> keys(v.size());
    std::vector<U16> idx(v.size());
    for (U32 i = 0; i < v.size(); i++) {
        keys[i] = v[i].u16PID;
        idx[i] = (U16)i;
    }
    if (!v.empty())
        TSP_SortSrcInfo(keys.data(), idx.data(), (U16)v.size());
    for (U32 i = 0; i < v.size(); i++)
        pstWebTSBitInfo->arPIDBitInfo[i] = v[idx[i]];
    return TSP_WriteSamePIDNum(pstWebTSBitInfo->arPIDBitInfo, pstWebTSBitInfo->u16PIDNum);
}
