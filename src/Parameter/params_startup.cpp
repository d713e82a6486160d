// Store start-up of each chip role: the parameter file is loaded or replaced
// by factory values; the master then does the same for the output-stream file
// and lets the OID store restore a pending dump.
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Parameter/recoverdata.h"
#include "TSprocess/tsp_mux.h"

// OID store: restores a pending dump; 0 when one was restored.
U8 OIDDATA_Recovery(void);

namespace {

void FactoryLine()
{
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d Factory parameters!\n", LOG_POS);
}

// The parameter files where they verify, otherwise the chip's factory set.
void LoadParameters(void (*pfFactory)())
{
    PARAMS_InitParametersSem();
    switch (PARAMS_VerifyConfigFiles()) {
    case ZR_SUCCESS:
        PARAMS_Load();
        PARAMS_Update_DTMB();
        break;
    case ZR_ERR_FAILURE:
        FactoryLine();
        [[fallthrough]];
    default:
        pfFactory();
        break;
    }
}

} // namespace

zrErrCode Master_PARAMS_Init(void)
{
    LoadParameters([] {
        Master_PARAMS_Factory();
        DATA_Recovery();
    });
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
    if (OIDDATA_Recovery() != 0)
        return ZR_SUCCESS;
    if (FPGA_GetChipType() == CHIP_TYPE_MAIN) {
        PARAMS_TSPParametersSave();
        PARAMS_SaveCurParam();
        TSP_MuxProcess();
        TSP_UpdateResourceInfo();
    }
    return ZR_SUCCESS;
}

zrErrCode Slave_PARAMS_Init(void)
{
    LoadParameters([] { Slave_PARAMS_Factory(); });
    return ZR_SUCCESS;
}
