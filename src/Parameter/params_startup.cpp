// Store start-up of each chip role: the parameter file is loaded or replaced
// by factory values; the master then does the same for the output-stream file
// and lets the OID store restore a pending dump.
#include "Common/thread.h"
#include "DTMB/dtmb_check.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Parameter/recoverdata.h"
#include "TSprocess/tsp_mux.h"
#include "TSprocess/tsp_plan.h"
#include <cstring>

// OID store: restores a pending dump through the planner; 0 when one was
// restored (on air and saved).
U8 OIDDATA_RecoveryPlanned(void);

namespace {

void FactoryLine()
{
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d Factory parameters!\n", LOG_POS);
}

// The record of a file that verified, read as what the card ran with it: a
// value it cannot run as stored is read as what the hardware made of it, or
// the factory value alone. Whatever that changed is saved, in both files; on
// the master the JSON parameter file is brought to the record either way.
bool TakeStoredRecord(bool master)
{
    if (master)
        Master_DTMB_Init_Parmeter();
    else
        Slave_DTMB_Init_Parmeter();
    const TParameter_DTMB factory = *GetDTMBPara_Handle();
    if (PARAMS_Load() != ZR_SUCCESS || PARAMS_Update_DTMB() != ZR_SUCCESS)
        return false;
    ST_ZR_PARAMS* rec = PARAMS_GetCurParamsHandler();
    TParameter_DTMB set = rec->st_DTMBParams.stDTMBParams;
    DTMB_CheckParaRange(&set, "parameter file");
    DTMB_ReadStoredSet(&factory, &set, nullptr, true, PARAMS_CONFIG_FILE, nullptr);
    {
        CARD_STATE_LOCK();
        *GetDTMBPara_Handle() = set;
    }
    if (memcmp(&set, &rec->st_DTMBParams.stDTMBParams, sizeof(set)) != 0) {
        rec->st_DTMBParams.stDTMBParams = set;
        PARAMS_SaveCurParam();
    } else if (master) {
        DATA_SaveSet(&set, rec->st_IPMonitorParams.stIPMonitorParams.u16PSIInterval, true);
    }
    return true;
}

// The parameter files where they verify; otherwise the chip's factory set,
// into which the master takes back what its JSON parameter file holds, and
// both files saved from the result.
void LoadParameters(bool master)
{
    PARAMS_InitParametersSem();
    zrErrCode rc = PARAMS_VerifyConfigFiles();
    if (rc == ZR_SUCCESS && TakeStoredRecord(master))
        return;
    if (rc == ZR_ERR_FAILURE)
        FactoryLine();
    PARAMS_FactoryUnsaved(master);
    if (master && DATA_RecoveryStored() != 1)
        return;  // saved by the restore
    PARAMS_SaveCurParam();
}

} // namespace

zrErrCode Master_PARAMS_Init(void)
{
    LoadParameters(true);
    switch (PARAMS_VerifyTSPConfigFiles()) {
    case ZR_SUCCESS:
        // A file that fails to load leaves no database: rebuild the factory one.
        if (PARAMS_TSP_Load() != ZR_SUCCESS)
            PARAMS_TSP_Factory();
        break;
    case ZR_ERR_FAILURE:
        FactoryLine();
        [[fallthrough]];
    default:
        PARAMS_TSP_Factory();
        break;
    }
    // A restored dump (an import) replaces what the file put on air only when
    // its plan holds; its records are stored ones too, none deleted for a limit.
    if (OIDDATA_RecoveryPlanned() != 0)
        return ZR_SUCCESS;
    if (FPGA_GetChipType() == CHIP_TYPE_MAIN) {
        PARAMS_SaveCurParam();
        TSP_UpdateResourceInfo();
    }
    return ZR_SUCCESS;
}

zrErrCode Slave_PARAMS_Init(void)
{
    LoadParameters(false);
    return ZR_SUCCESS;
}
