// Thin operations of the web back end that its handlers and the SNMP agent
// share: channel views, the commit and apply of the working copy, the card
// reboot and the frequency check of the channel-plan standards.
#include "Comm/ipcomm.h"
#include "Log/log.h"
#include "MNG/bmn.h"
#include "Parameter/parameters.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_db.h"
#include "TSprocess/tsp_plan.h"
#include "Web/web.h"

U32 Web_GetTSWebInfo(U16 u16Channel, Output_WebTSInfo* pstWebTSInfo)
{
    return TSP_SendTSInfoToWeb(u16Channel, pstWebTSInfo, TSP_GetTSParam());
}

U32 Web_GetTempTSWebInfo(U16 u16Channel, Output_WebTSInfo* pstWebTSInfo)
{
    return TSP_SendTSInfoToWeb(u16Channel, pstWebTSInfo, TSP_GetTempTSParam());
}

U32 Web_MuxProcess(const U32* pu32Revision)
{
    // The operator's edits are committed only over the live database they
    // were made on, only for a page that was shown the working copy's state,
    // and only when what they would put on air holds every limit (else 2067,
    // nothing committed); without edits the live database is applied as it is.
    auto fits = [](const Output_TSInfo* pstWork) { return TSP_PlanCheck(pstWork, "web apply"); };
    const U32 rc =
        pu32Revision != nullptr ? TSP_CommitTempTSInfo(*pu32Revision, fits) : TSP_CopyOutputTSInfo(fits);
    if (rc == TSP_ERR_LIVE_CHANGED)
        return ZR_ERR_WEB_CONFIG_CHANGED;
    if (rc == TSP_ERR_DOES_NOT_FIT)
        return ZR_ERR_TSP_CONSTRUCT_OUTPUT_TS_ERROR;
    if (rc != ZR_SUCCESS)
        return rc;
    IPComm_SendEITInfo();
    const U32 applied = Web_MuxProcessForPSITransparent();
    if (applied == TSP_ERR_DOES_NOT_FIT)
        return ZR_ERR_TSP_CONSTRUCT_OUTPUT_TS_ERROR;
    return applied != 0 ? (U32)ZR_ERR_NOT_SAVED : 0;
}

// The apply's result: nonzero when it stopped, so the output-stream file
// was not written.
U32 Web_MuxProcessForPSITransparent(void)
{
    U32 ret = TSP_MuxProcess();
    TSP_SendSubFPGAMuxLUTInfo();
    TSP_SendSubFPGABypassLUTInfo();
    return ret;
}

zrErrCode Web_Reboot(void)
{
    return BMN_SubBoardReboot();
}

// Largest distance (kHz) of an enabled channel from its group's mean.
static const U32 kQAMBMaxSpreadKHz = 50000;

zrErrCode web_Check_QAMB_Frequency(TParameter_DTMB* pstOldTParameter_DTMB)
{
    if (pstOldTParameter_DTMB == nullptr)
        return ZR_ERR_PARAMS;
    U32 mode = PARAMS_GetModulationMod();
    if (!(mode == 6 || (mode == 4 && Resource_GetSIMode() == 1)))
        return ZR_SUCCESS;
    const TParameter_DTMB& set = *pstOldTParameter_DTMB;
    for (U32 group = 0; group < DTMB_CHANNEL_NUM; group += 4) {
        // 64-bit sum: four frequencies near the top of U32 must not wrap.
        U64 sum = 0;
        U32 count = 0;
        for (U32 c = group; c < group + 4; c++) {
            if (set.u32Enable[c] & 1) {
                sum += set.OutputFreq[c];
                count++;
            }
        }
        if (count == 0)
            continue;
        int64_t mean = (int64_t)(sum / count);
        for (U32 c = group; c < group + 4; c++) {
            if (!(set.u32Enable[c] & 1))
                continue;
            int64_t diff = (int64_t)set.OutputFreq[c] - mean;
            if (diff > (int64_t)kQAMBMaxSpreadKHz || -diff > (int64_t)kQAMBMaxSpreadKHz)
                return ZR_ERR_WEB_SET_FREQUENCY_ERROR;
        }
    }
    return ZR_SUCCESS;
}
