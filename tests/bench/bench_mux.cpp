// Timings of the apply step on a database filled to its factory capacities
// (and twice and four times that), split into the firmware's own time and the
// simulated board's, against the same steps run straight into the tables
// without a plan (measured in the same run); of the plan a record message is
// judged by; of one carousel tick; and the CPU an idle chip uses.
// Prints figures and ratios; it is not a timed test.
#include "Common/thread.h"
#include "bench/bench_board.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Platform/board_state.h"
#include "SIprocess/SIgenerate.h"
#include "SIprocess/SIsend.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_del.h"
#include "TSprocess/tsp_lut.h"
#include "TSprocess/tsp_mux.h"
#include "TSprocess/tsp_plan.h"
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A figure could not be measured: the run fails.
bool g_failed = false;

double ThreadCpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Factory capacities times scale, every record in use: 8 streams of 12 or 13
// programs (100 in all), 5 PIDs each (500 in all), half of them from a second
// input with the same ids and PIDs so that conflict resolution has work to do.
void FillDatabase(U32 scale)
{
    const U32 progs = 100 * scale;
    TSInfoInitNum n{8, progs, 5 * progs, 100, 100, 8};
    TSP_InitTSInfo(TSP_GetTSParam(), &n);
    Output_TSInfo* db = TSP_GetTSParam();
    for (U16 c = 0; c < 8; c++) {
        Output_TSStream& s = db->pOutputTS[c];
        memset(&s, 0, sizeof(s));
        TSP_InitOneOutputTSStream(&s);
        s.u16ChannelID = c;
        s.u16TransportStreamID = (U16)(0x100 + c);
        s.u8TOTGenerate = 1;
    }
    U32 pid = 0;
    for (U32 p = 0; p < progs; p++) {
        U16 ts = (U16)(p % 8);
        Output_TSProgram& pr = db->pOutputProgram[p];
        memset(&pr, 0, sizeof(pr));
        pr.u16OldServiceID = (U16)(1 + p / 16);
        pr.u16OldPMTPID = (U16)(0x100 + (p / 16) * 16);
        pr.u16OldPCRPID = (U16)(pr.u16OldPMTPID + 1);
        TSP_InitOneOutputTSProgram(&pr);
        pr.u8SourceSlotID = (U8)(1 + (p & 1));
        pr.u16SourceChannelID = (U16)(p / 8);
        pr.u16ChannelID = ts;
        pr.u16TSIndex = ts;
        pr.u16ProgramIndex = (U16)p;
        pr.u8ServiceNameLen = 8;
        memcpy(pr.aru8ServiceName, "Service ", 8);
        Output_TSStream& s = db->pOutputTS[ts];
        if (s.u16ProgramNum == 0)
            s.u16ProgramIndex = (U16)p;
        else
            db->pOutputProgram[p - 8].u16NextProgramIndex = (U16)p;
        s.u16ProgramNum++;
        for (U32 e = 0; e < 5; e++, pid++) {
            Output_TSPID& r = db->pOutputPID[pid];
            memset(&r, 0, sizeof(r));
            r.u16OldPID = (U16)(pr.u16OldPCRPID + e);
            TSP_InitOneOutputTSPID(&r);
            r.u8PIDType = e == 4 ? PID_TYPE_PCRPID : PID_TYPE_ESPID;
            r.u8StreamType = e == 0 ? 0x02 : 0x04;
            r.u8SourceSlotID = pr.u8SourceSlotID;
            r.u16SourceChannelID = pr.u16SourceChannelID;
            r.u16SrcStreamID = pr.u16SourceChannelID;
            r.u16ChannelID = ts;
            r.u32TSIndex = ts;
            r.u32ProgramIndex = p;
            r.u32PIDIndex = pid;
            if (e == 4) {
                r.u16OldPID = pr.u16OldPCRPID;
                r.u16PID = pr.u16OldPCRPID;
                pr.u16PCRIndex = (U16)pid;
            } else {
                if (e == 0)
                    pr.u16PIDIndex = (U16)pid;
                else
                    db->pOutputPID[pid - 1].u32NextPIDIndex = pid;
                pr.u16ESNumber++;
            }
        }
    }
}


// The apply's steps as they ran before the plan: conflicts, routing tables
// written one by one, the carousel filled table by table, the file saved.
U32 UnplannedApply()
{
    CARD_STATE_LOCK();
    U32 (*const steps[])(void) = {TSP_ConflictProcess, TSP_FitMuxRoutes, TSP_WriteOutputLUTInfo,
                                  TSP_WriteByPassOutputLUTInfo, TSP_WriteSubOutputLUTInfo,
                                  TSP_WriteByPassSubOutputLUTInfo};
    for (auto step : steps)
        if (U32 ret = step())
            return ret;
    SSD_InitBroadcastSI();
    const Output_TSInfo* db = TSP_GetTSParam();
    for (U32 i = 0; i < db->u32OutputTSNumber; i++)
        if (db->pOutputTS[i].u8ValidFlag == 1 && db->pOutputTS[i].u8BypassFlag != 1)
            TSP_MuxTsSIProc(i);
    SIP_PublishSTTState();
    g_u8MuxFlag = 1;
    return (U32)PARAMS_TSPParametersSave();
}

// Best firmware time (wall less the device models) of five runs of fn, each
// on a freshly filled database; the device models' time of that run.
template <typename F>
double BestOfFive(U32 scale, F fn, double* pModel)
{
    double best = 1e9;
    for (int i = 0; i < 5; i++) {
        FillDatabase(scale);
        U64 model0 = simboard::ModelTimeNs();
        auto t0 = std::chrono::steady_clock::now();
        U32 ret = fn();
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        double model = (double)(simboard::ModelTimeNs() - model0) / 1e6;
        if (ret != 0) {
            Figures("bench_mux: cannot measure: the apply returned 0x%x\n", ret);
            g_failed = true;
        }
        if (ms - model < best) {
            best = ms - model;
            *pModel = model;
        }
    }
    return best;
}

// CPU time (clock ticks) a process has used so far.
long CpuTicks(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr)
        return -1;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    buf[n] = 0;
    const char* p = strrchr(buf, ')');
    unsigned long utime = 0, stime = 0;
    // After the name: state, then fields 4..13, then utime and stime.
    if (p == nullptr || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return -1;
    return (long)(utime + stime);
}

// Runs a master and a slave chip on board roots of slot 10 for 20 s after
// start-up and prints the share of a core each used.
void IdleCpu(const std::string& top)
{
    const std::string modcard = std::string(MODCARD_BUILD_DIR) + "/modcard";
    struct Chip {
        const char* name;
        U32 type;
        pid_t pid;
        long ticks;
    } chips[] = {{"master", 0, -1, 0}, {"slave", 1, -1, 0}};
    for (Chip& c : chips) {
        std::string root = top + "/idle-" + c.name;
        simboard::Profile prof = simboard::DefaultProfile();
        prof.chipType = c.type;
        prof.slotId = 10;
        if (!simboard::CreateBoard(root, prof))
            return;
        fflush(stdout);  // the child must not print what is buffered here
        c.pid = fork();
        if (c.pid == 0) {
            setenv("MODCARD_ROOT", root.c_str(), 1);
            if (freopen("/dev/null", "w", stdout) == nullptr || freopen("/dev/null", "w", stderr) == nullptr)
                _exit(126);
            execl(modcard.c_str(), "modcard", (char*)nullptr);
            _exit(127);
        }
    }
    sleep(5);  // start-up
    for (Chip& c : chips)
        c.ticks = CpuTicks(c.pid);
    const int kSeconds = 20;
    sleep(kSeconds);
    const double hz = (double)sysconf(_SC_CLK_TCK);
    for (Chip& c : chips) {
        long now = CpuTicks(c.pid);
        if (now < 0 || c.ticks < 0) {
            Figures("bench_mux: idle %s chip: cannot measure: not running\n", c.name);
            g_failed = true;
        } else {
            Figures("bench_mux: idle %s chip: %.2f%% of a core over %d s (goal below 1%%)\n", c.name,
                     100.0 * (double)(now - c.ticks) / hz / kSeconds, kSeconds);
        }
        kill(c.pid, SIGKILL);
        waitpid(c.pid, nullptr, 0);
    }
}

}  // namespace

int main()
{
    const std::string root = BenchBoard(LOG_OUTPUT_SYSLOG);
    if (root.empty())
        return 1;
    g_u32ModulationMode = 3;

    // Apply at 1x, 2x and 4x the factory database: firmware time is the wall
    // time less what the device models took; the planned apply against the
    // same steps unplanned, each on the same freshly filled database.
    double planned1 = 0;
    for (U32 scale : {1u, 2u, 4u}) {
        double model = 0, refModel = 0;
        const double reference = BestOfFive(scale, UnplannedApply, &refModel);
        const double planned = BestOfFive(scale, TSP_MuxProcess, &model);
        if (scale == 1)
            planned1 = planned;
        SIPacket_t* c = SSD_GetSIPacketParam();
        Figures("bench_mux: TSP_MuxProcess %ux (8 streams / %u programs / %u PIDs): firmware %.2f ms, %.2fx the same "
                "steps unplanned (%.2f ms; goal at most 1.2x), %.2fx of 1x (linear: %ux); device models %.2f ms "
                "(%u packets of %u tables)\n",
                scale, 100 * scale, 500 * scale, planned, planned / reference, reference, planned / planned1, scale,
                model, c->u16TSPacketNum, c->u16SIInfoNum);
    }
    {
        // The plan a record message is judged by, on the factory database.
        FillDatabase(1);
        TSP_MuxProcess();
        double best = 1e9;
        for (int i = 0; i < 5; i++) {
            auto t0 = std::chrono::steady_clock::now();
            if (TSP_PlanCheck(nullptr, "bench") != 0) {
                Figures("bench_mux: cannot measure: the factory database does not plan\n");
                g_failed = true;
            }
            double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            best = ms < best ? ms : best;
        }
        Figures("bench_mux: the check of a record message (a plan of a copy, nothing written) at 1x: %.2f ms = "
                "%.2fx the apply\n", best, best / planned1);
    }
    FillDatabase(1);
    TSP_MuxProcess();
    SIPacket_Tick(CHIP_TYPE_MAIN);  // the forward to the slave happens once

    // The same database after the input card of slot 2 took back its half
    // (firmware time, as above).
    const int kApplies = 5;
    double bestHalf = 1e9, bestDel = 1e9;
    for (int i = 0; i < kApplies; i++) {
        FillDatabase(1);
        auto t0 = std::chrono::steady_clock::now();
        Output_TSInfo* db = TSP_GetTSParam();
        for (U32 p = 0; p < db->u32OutputProgramNumber; p++) {
            const Output_TSProgram& pr = db->pOutputProgram[p];
            if (pr.u8ValidFlag == 1 && pr.u8SourceSlotID == 2)
                TSP_DelProgramInfoByInput(2, pr.u16SourceChannelID, pr.u16ChannelID, pr.u16ProgramID);
        }
        auto t1 = std::chrono::steady_clock::now();
        U64 model0 = simboard::ModelTimeNs();
        U32 ret = TSP_MuxProcess();
        auto t2 = std::chrono::steady_clock::now();
        if (ret != 0) {
            Figures("bench_mux: cannot measure: TSP_MuxProcess returned 0x%x\n", ret);
            g_failed = true;
        }
        double del = std::chrono::duration<double, std::milli>(t1 - t0).count();
        double ms = std::chrono::duration<double, std::milli>(t2 - t1).count() -
                    (double)(simboard::ModelTimeNs() - model0) / 1e6;
        bestDel = del < bestDel ? del : bestDel;
        bestHalf = ms < bestHalf ? ms : bestHalf;
    }
    Figures("bench_mux: TSP_MuxProcess after deleting half (50 programs of slot 2): firmware %.2f ms = %.2f x the "
            "full database's; the 50 deletions took %.2f ms\n",
            bestHalf, bestHalf / planned1, bestDel);

    const int kTicks = 500;
    double cpu0 = ThreadCpuMs();
    auto w0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kTicks; i++)
        SIPacket_Tick(CHIP_TYPE_MAIN);
    double cpu = ThreadCpuMs() - cpu0;
    double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - w0).count();
    Figures("bench_mux: carousel tick, 8 channels: %.3f ms CPU per tick (%.3f ms wall), %d ticks\n", cpu / kTicks,
            wall / kTicks, kTicks);

    IdleCpu(root);

    if (!RemoveBenchBoard(root))
        Figures("could not remove %s\n", root.c_str());
    return g_failed ? 1 : 0;
}
