// The simulated board a benchmark drives the firmware on: a fresh board root
// under /tmp with the program log and the FPGA window open, and its removal.
#pragma once
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Platform/board_state.h"
#include <cstdio>
#include <cstdlib>
#include <string>

// The board's root, or empty where it could not be made.
inline std::string BenchBoard(U32 u32LogOutput)
{
    char tmpl[] = "/tmp/modcard-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return "";
    setenv("MODCARD_ROOT", tmpl, 1);
    if (!simboard::CreateBoard(tmpl, simboard::DefaultProfile()))
        return "";
    log_Init((U8*)LOG_FILE_PATH);
    Log_SetOutputMode(u32LogOutput);
    FPGA_Init();
    return tmpl;
}

inline bool RemoveBenchBoard(const std::string& root)
{
    std::string cmd = "rm -rf '" + root + "'";
    return system(cmd.c_str()) == 0;
}
