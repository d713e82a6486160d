// Time of one chip programming (the master's four channels in DVB-C) on the
// simulated board, where every SPI bit is a handful of pin changes. Prints
// figures; it is not a timed test.
#include "DTMB/dtmb_param.h"
#include "bench/bench_board.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/RF/modulate.h"
#include "Driver/RF/rf.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Platform/board_state.h"
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main()
{
    const std::string root = BenchBoard(0);
    if (root.empty())
        return 1;
    g_u32ModulationMode = 3;
    Master_DTMB_Init_Parmeter();
    RF_Config_Slave();  // brings the bus and the AD9789 up once

    // Once with the log lines formatted but not written (the pins, the chip
    // models and the SPI trace alone), once with the program and device logs.
    simboard::RfChipModels* m = simboard::GetRfChips();
    for (U32 output : {0u, (U32)LOG_OUTPUT_SYSLOG}) {
        Log_SetOutputMode(output);
        const U32 w0 = m ? m->dac[0].writes : 0;
        const int kRuns = 10;
        double best = 1e9, total = 0;
        for (int i = 0; i < kRuns; i++) {
            auto t0 = std::chrono::steady_clock::now();
            Modulate_QAM_SetAllPatams(SPI_BUS_1);
            double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            best = ms < best ? ms : best;
            total += ms;
        }
        const U32 writes = m ? (m->dac[0].writes - w0) / kRuns : 0;
        Figures("bench_rf: chip programming (DVB-C, 4 channels, %u AD9789 writes), %s: best %.2f ms, mean %.2f ms "
                "(goal under 20 ms without the logs)\n",
                writes, output ? "logs written" : "logs not written", best, total / kRuns);
    }

    if (!RemoveBenchBoard(root))
        Figures("could not remove %s\n", root.c_str());
    return 0;
}
