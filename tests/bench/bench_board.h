// The simulated board a benchmark drives the firmware on: a fresh board root
// under /tmp with the program log and the FPGA window open, and its removal.
#pragma once
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Platform/board_state.h"
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

// Where the figures go: the benchmark's own standard output.
inline FILE* g_benchFigures = stdout;

// The firmware's console lines (start-up messages, its programs' output) go to
// build/tests/<program>.log from here on, so that only the figures are printed.
inline void BenchQuiet()
{
    std::string log = std::string(MODCARD_BUILD_DIR) + "/tests/" + program_invocation_short_name + ".log";
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int figures = fd < 0 ? -1 : fcntl(1, F_DUPFD_CLOEXEC, 3);
    FILE* out = figures < 0 ? nullptr : fdopen(figures, "w");
    if (out == nullptr) {
        if (fd >= 0)
            close(fd);
        return;
    }
    fflush(stdout);
    fflush(stderr);
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
    g_benchFigures = out;
}

// A line of figures, or why there are none.
__attribute__((format(printf, 1, 2))) inline void Figures(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfprintf(g_benchFigures, fmt, ap);
    va_end(ap);
    fflush(g_benchFigures);
}

// The board's root, or empty where it could not be made.
inline std::string BenchBoard(U32 u32LogOutput)
{
    BenchQuiet();
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
