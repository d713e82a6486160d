#include "TSprocess/tsp_mux.h"
#include "Comm/ipcomm.h"
#include "Common/thread.h"
#include "Log/log.h"
#include "SIprocess/SIgenerate.h"
#include "SIprocess/SIsend.h"
#include "SIprocess/tdttot.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_conflict.h"
#include "TSprocess/tsp_lut.h"
#include "TSprocess/tsp_plan.h"
#include <cstring>
#include <memory>

// Output-stream file of the configuration store: saves the live database.
zrErrCode PARAMS_TSPParametersSave(void);

std::atomic<U8> g_DelDestChannelNum{0};

namespace {

// Passes a step's result on; a failure is logged as "<step> return error"
// under the caller's name.
U32 StepResult(const char* func, const char* step, U32 ret)
{
    if (ret != 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d %s return error\r\n\n", (long)syscall(SYS_gettid),
                   func, __LINE__, step);
    return ret;
}

}  // namespace

U32 TSP_ConflictProcess(void)
{
    Output_TSInfo* db = TSP_GetTSParam();
    if (db == nullptr)
        return TSP_ERR_INPUT;
    for (U32 i = 0; i < db->u32OutputTSNumber && i <= 0xFFFF; i++) {
        const Output_TSStream& st = db->pOutputTS[i];
        if (st.u8ValidFlag != 1 || st.u8BypassFlag == 1)
            continue;
        U32 ret = StepResult(__func__, "TSP_AddOutputTSHandleServID", TSP_AddOutputTSHandleServID((U16)i, db));
        if (ret == 0)
            ret = StepResult(__func__, "TSP_AddOutputTSHandlePid", TSP_AddOutputTSHandlePid((U16)i, db));
        if (ret == 0 && Resource_GetSIMode() == 1)
            ret = StepResult(__func__, "TSP_AddOutTSHandleChannelNum", TSP_AddOutTSHandleChannelNum((U16)i, db));
        // One stream that cannot be resolved (a list its walkers refuse)
        // must not keep the routing and the tables of every other stream
        // from being applied.
        if (ret != 0)
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d OutTSIndex[%u] channel[%u] skipped:0x%x\r\n\n",
                       LOG_POS, i, st.u16ChannelID, ret);
    }
    return 0;
}

U32 TSP_MuxTsSIProc(U32 u32OutputTsIndex)
{
    Output_TSInfo* db = TSP_GetTSParam();
    if (db == nullptr || u32OutputTsIndex >= db->u32OutputTSNumber) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input err !\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    struct Builder {
        U32 (*fn)(U32);
        const char* name;
    };
    static const Builder builders[] = {
        {TSP_ConstructPAT, "TSP_ConstructPAT"}, {TSP_ConstructCAT, "TSP_ConstructCAT"},
        {TSP_ConstructNIT, "TSP_ConstructNIT"}, {TSP_ConstructSDT, "TSP_ConstructSDT"},
        {TSP_ConstructPMTs, "TSP_ConstructPMTs"}, {TSP_ConstructPSIP, "TSP_ConstructPSIP"},
    };
    // A table that cannot be built or queued is left out alone: the tables
    // after it still go out. The first failure is the result.
    U32 first = 0;
    for (const Builder& b : builders) {
        U32 ret = b.fn(u32OutputTsIndex);
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d %s OutTSIndex:%d  fail\r\n\n", LOG_POS, b.name,
                       u32OutputTsIndex);
            SIP_NoteTableFailure((U16)u32OutputTsIndex, TSP_INVALID_INDEX, b.name, ret);
            if (first == 0)
                first = ret;
        }
    }
    return first;
}

namespace {

// After an apply: the file, and the slave's time-table settings.
U32 SaveAndTellSlave(void)
{
    // A failed save logs itself once.
    U32 ret = (U32)PARAMS_TSPParametersSave();
    if (ret != 0)
        return ret;
    TSP_SendSubTDTEnableFlag();
    TSP_SendSubTOTEnableFlag();
    TSP_SendSubSTTEnableFlag();
    TSP_SendSubTOTTableInfo();
    return 0;
}

U32 MuxSteps(void)
{
    // Conflicts, routing tables and PSI/SI are planned whole and go on air
    // in one step (or not at all); then the file is saved.
    U32 ret = TSP_PlanApply();
    if (ret != 0) {
        // Whatever failed, the file was not written: the callers that answer
        // someone say so.
        StepResult(__func__, "TSP_PlanApply", ret);
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d apply failed:0x%x\r\n\n", LOG_POS, ret);
        return ret;
    }
    return SaveAndTellSlave();
}

}  // namespace

U32 TSP_MuxProcess(void)
{
    CARD_STATE_LOCK();
    // What the steps write to the live database follows from its records: an
    // open web edit is not refused for it.
    return TSP_DeriveLive(MuxSteps);
}

U32 TSP_ReplaceProcess(Output_TSInfo* pstNew, const char* pcRoad, bool* pbInForce)
{
    CARD_STATE_LOCK();
    if (pbInForce != nullptr)
        *pbInForce = false;
    U32 ret = TSP_PlanReplace(pstNew, pcRoad);
    if (ret != 0)
        return ret;
    if (pbInForce != nullptr)
        *pbInForce = true;
    return SaveAndTellSlave();
}

U32 TSP_UpdateResourceInfo(void)
{
    CARD_STATE_LOCK();
    TResource_TS* self = Resource_getSelfHandle();
    if (self == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d no resource record\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    Output_TSInfo* db = TSP_GetTSParam();
    U8 status[256];
    memset(status, 0, sizeof(status));
    for (U32 c = 0; c < self->u16OutputChannelNum && c < sizeof(status); c++) {
        U16 idx = TSP_INVALID_INDEX;
        U32 ret = StepResult(__func__, "TSP_GetOutputTSIndexByTS", TSP_GetOutputTSIndexByTS((U16)c, &idx));
        if (ret != 0)
            return ret;
        if (db != nullptr && idx != TSP_INVALID_INDEX && idx < db->u32OutputTSNumber &&
            db->pOutputTS[idx].u8ValidFlag == 1)
            status[c] = db->pOutputTS[idx].u8BypassFlag == 1 ? 1 : 2;
    }
    if (memcmp(status, self->u8OutputChannelStatus, sizeof(status)) == 0)
        return 0;
    memcpy(self->u8OutputChannelStatus, status, sizeof(status));
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d Send Resource To BackBoard\r\n\n", LOG_POS);
    // Sent by the peer sender thread, which holds no lock while it talks to
    // the back board.
    const U8* rec = reinterpret_cast<const U8*>(self);
    U32 ip = Resource_getBoardIPAddress(16);
    SSD_PostPeerMessage(TSP_RESOURCE_REPORT_KEY, std::vector<U8>(rec, rec + sizeof(TResource_TS)), [ip](std::vector<U8>& d) {
        IPComm_SendData(ip, IPCOMM_SEND_RESOUR, d.data(), (U32)d.size());
    });
    return 0;
}
