// Operations that the web back end calls but that are built by modules not
// yet on the card. Each is an empty operation that a real definition replaces.
#include "Web/web.h"

#define PENDING __attribute__((weak))

// Web back end: handlers of the output-stream, PSI/SI and SI-file commands.
#define WEB_PENDING_HANDLER(name) \
    PENDING zrErrCode name(buffer*) { return ZR_ERR_WEB_NOTEXIST; }
WEB_OTHER_HANDLERS(WEB_PENDING_HANDLER)
PENDING zrErrCode web_processImportOneSiTable(buffer*, buffer*) { return ZR_ERR_WEB_NOTEXIST; }
