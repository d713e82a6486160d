// Start of the card's HTTP server: one detached thread that runs the server
// until it is stopped.
#include "CommonModules/httpd/server.h"
#include "Common/thread.h"
#include "Log/log.h"
#include "Web/web.h"

static void* Web_ServerTask(void*)
{
    httpd_configuration(0, nullptr);
    return nullptr;
}

U32 Web_Start(void)
{
    httpd_shutdown(false);
    if (Thread_NewDetach(Web_ServerTask, nullptr, "Web_ServerTask", __FILE__, __LINE__) == 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "[%s:%d] WEB: http server thread failed\n", __FILE__, __LINE__);
        return 1;
    }
    return 0;
}
