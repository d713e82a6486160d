// Loading of the parameter file at start-up, for each chip role: a good
// file is loaded and applied to the live sets, anything else is replaced by
// the factory record of the role.
#include "Log/log.h"
#include "Parameter/parameters.h"

static void LoadOrFactory(zrErrCode (*factory)(void))
{
    PARAMS_InitParametersSem();
    zrErrCode rc = PARAMS_VerifyConfigFiles();
    if (rc == ZR_SUCCESS) {
        PARAMS_Load();
        PARAMS_Update_DTMB();
        return;
    }
    if (rc == ZR_ERR_FAILURE)
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d Factory parameters!\n", LOG_POS);
    factory();
}

zrErrCode Master_PARAMS_Init(void)
{
    LoadOrFactory(Master_PARAMS_Factory);
    return ZR_SUCCESS;
}

zrErrCode Slave_PARAMS_Init(void)
{
    LoadOrFactory(Slave_PARAMS_Factory);
    return ZR_SUCCESS;
}
