// A private simulated board for a fuzz target, created once per process.
#pragma once
#include "Log/log.h"
#include "Platform/board_state.h"
#include <cstdio>
#include <cstdlib>
#include <string>

inline void FuzzBoardInit()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    char tmpl[] = "/tmp/modcard-fuzz-XXXXXX";
    if (mkdtemp(tmpl) == nullptr || !simboard::CreateBoard(tmpl, simboard::DefaultProfile())) {
        fprintf(stderr, "cannot create the fuzz board\n");
        abort();
    }
    setenv("MODCARD_ROOT", tmpl, 1);
    log_Init((U8*)LOG_FILE_PATH);
    Log_SetOutputMode(LOG_OUTPUT_SYSLOG);
}
