// Input-card record messages against a fresh output-stream database, with
// apply steps and carousel ticks in between. The database's links are
// checked after every message; a broken one is a finding.
#include "Comm/ipcomm.h"
#include "Parameter/parameters.h"
#include "SIprocess/SIsend.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_mux.h"
#include "support/fuzz_support.h"
#include "support/tsp_wire.h"
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

extern U8 u8PSIEnable[8];

namespace {

constexpr U16 kApply = 0xFFFF;
constexpr U16 kTick = 0xFFFE;
// What a step of the input can be: a record message of the link, an apply
// or a carousel tick. 266 and 290 are codes no handler takes.
constexpr U16 kSteps[] = {IPCOMM_SEND_TS,     IPCOMM_SEND_PROGRAM,        IPCOMM_SEND_PID,
                          IPCOMM_DEL_TS,      IPCOMM_DEL_PROGRAM,         IPCOMM_CHANGE_PROGRAM,
                          IPCOMM_CHANGE_PID,  IPCOMM_PROG_SET_DESCRAMBLE, IPCOMM_DEL_SCR,
                          IPCOMM_SEND_NIT_TABLE, IPCOMM_DEL_PID,          IPCOMM_MONITOR_PID,
                          IPCOMM_SEND_DESCRIPTOR, IPCOMM_DEL_DESCRIPTOR,  266,
                          290,                kApply,                     kTick};
constexpr U32 kModes[] = {0, 1, 3, 4, 5, 6};

// No record of an output channel the card does not have gets in: cut to its
// low bits it would route and table another channel.
std::string ChannelsOfTheCard(const Output_TSInfo* p)
{
    for (U32 i = 0; i < p->u32OutputTSNumber; i++)
        if (p->pOutputTS[i].u8ValidFlag == 1 && p->pOutputTS[i].u16ChannelID > TSP_MAX_CHANNEL_ID)
            return "stream of channel " + std::to_string(p->pOutputTS[i].u16ChannelID);
    for (U32 i = 0; i < p->u32OutputProgramNumber; i++)
        if (p->pOutputProgram[i].u8ValidFlag == 1 && p->pOutputProgram[i].u16ChannelID > TSP_MAX_CHANNEL_ID)
            return "program of channel " + std::to_string(p->pOutputProgram[i].u16ChannelID);
    for (U32 i = 0; i < p->u32OutputPIDNumber; i++)
        if (p->pOutputPID[i].u8ValidFlag == 1 && p->pOutputPID[i].u16ChannelID > TSP_MAX_CHANNEL_ID)
            return "PID of channel " + std::to_string(p->pOutputPID[i].u16ChannelID);
    return "";
}

void Check(const char* after, U16 step)
{
    std::string err = tspwire::CheckInvariants(TSP_GetTSParam());
    if (err.empty())
        err = ChannelsOfTheCard(TSP_GetTSParam());
    if (!err.empty()) {
        fprintf(stderr, "database broken after %s %u: %s\n", after, step, err.c_str());
        abort();
    }
}

U8 StepIndex(U16 code)
{
    for (U8 i = 0; i < sizeof(kSteps) / sizeof(kSteps[0]); i++)
        if (kSteps[i] == code)
            return i;
    return 0;
}

// One step of a seed: the step byte, the length, the message.
void AddStep(FuzzInput& in, U16 code, const tspwire::Bytes& msg = {})
{
    in.push_back(StepIndex(code));
    if (code == kApply || code == kTick)
        return;
    in.push_back((U8)(msg.size() & 0xFF));
    in.push_back((U8)(msg.size() >> 8));
    in.insert(in.end(), msg.begin(), msg.end());
}

}  // namespace

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    using namespace tspwire;
    for (U8 mode : {0, 3, 5, 0x0B}) {  // DVB-C... and 8VSB with PSI on
        FuzzInput in{(U8)(mode | 0x10)};
        AddStep(in, IPCOMM_SEND_TS, Msg({TS(0), TS(5)}));
        Prog a, b;
        b.progId = 2;
        b.sid = 200;
        b.pmt = 0x200;
        b.ch = 5;
        AddStep(in, IPCOMM_SEND_PROGRAM, Msg({Program(a), Program(b)}));
        Pid es, pcr, ecm, emm;
        pcr.type = PID_TYPE_PCRPID;
        pcr.pidId = 2;
        ecm.type = PID_TYPE_ES_ECMPID;
        ecm.pidId = 1;
        ecm.esEcmId = 9;
        ecm.oldPid = 0x105;
        emm.type = PID_TYPE_EMMPID;
        emm.pidId = 4;
        emm.oldPid = 0x30;
        AddStep(in, IPCOMM_SEND_PID, Msg({PID(es), PID(pcr), PID(ecm), PID(emm)}));
        AddStep(in, IPCOMM_SEND_NIT_TABLE, Msg({NITSection(0, 3, 0), NITSection(0, 3, 1)}));
        AddStep(in, IPCOMM_SEND_DESCRIPTOR, Msg({Descriptor(5, 1, 0, 1, 200)}));
        Mon m;
        AddStep(in, IPCOMM_MONITOR_PID, Monitor(m));
        AddStep(in, kApply);
        AddStep(in, kTick);
        Bytes del(8, 0);
        Put8(del, 0, 5);
        Put16(del, 2, 1);
        Put16(del, 6, 1);
        AddStep(in, IPCOMM_DEL_PROGRAM, Msg({del}));
        AddStep(in, kApply);
        // Channels the card does not have, in every kind of record.
        Prog wide;
        wide.ch = 259;
        es.ch = 8;
        Put16(del, 4, 1024);
        AddStep(in, IPCOMM_SEND_TS, Msg({TS(1024)}));
        AddStep(in, IPCOMM_SEND_PROGRAM, Msg({Program(wide)}));
        AddStep(in, IPCOMM_SEND_PID, Msg({PID(es)}));
        AddStep(in, IPCOMM_DEL_PROGRAM, Msg({del}));
        AddStep(in, kApply);
        seeds.push_back(in);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzReader r(data, size);
    const U8 mode = r.U8();
    g_u32ModulationMode = kModes[(mode & 7) % 6];
    // Bit 3: ATSC SI in J.83 Annex B. Bit 4: the carousel writes its packets.
    Resource_GetHandle(SLOT_BB)->u8Standard = (mode >> 3) & 1;
    for (U8& e : u8PSIEnable)
        e = (mode >> 4) & 1;
    TSP_FactoryOutputTSInfo();
    std::error_code ec;
    std::filesystem::remove_all(FuzzBoardRoot() + "/trace", ec);
    std::filesystem::create_directories(FuzzBoardRoot() + "/trace", ec);
    for (int n = 0; n < 64 && r.Left() > 0; n++) {
        const U16 code = kSteps[r.U8() % (sizeof(kSteps) / sizeof(kSteps[0]))];
        if (code == kApply) {
            TSP_MuxProcess();
            Check("apply", 0);
            continue;
        }
        if (code == kTick) {
            SIPacket_Tick(CHIP_TYPE_MAIN);
            continue;
        }
        U16 len = r.U16();
        FuzzInput msg = r.Bytes(len);
        // The link hands over a buffer of the announced length.
        TSP_ConstructOutputTS(msg.empty() ? nullptr : msg.data(), (IPCOMM_CMD)code, (U16)msg.size());
        Check("command", code);
    }
    return 0;
}
