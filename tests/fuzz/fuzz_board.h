// A private simulated board for a fuzz target: created once, quiet logs.
#pragma once
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Platform/board_state.h"
#include <cstdlib>
#include <string>

inline void FuzzBoardInit()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    char tmpl[] = "/tmp/modcard-fuzz-XXXXXX";
    if (mkdtemp(tmpl) == nullptr || !simboard::CreateBoard(tmpl, simboard::DefaultProfile()))
        abort();
    setenv("MODCARD_ROOT", tmpl, 1);
    log_Init((U8*)LOG_FILE_PATH);
    Log_SetOutputMode(LOG_OUTPUT_SYSLOG);
    Log_SetLevel(0);  // every line would be a file write
    FPGA_Init();
}
