// Deletion messages (262, 263, 274, 289) and slot clean-ups against a filled
// output-stream database; its links are checked after every message.
#include "StatusProcess/resource.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_del.h"
#include "support/fuzz_support.h"
#include "support/tsp_wire.h"
#include <cstdio>
#include <cstdlib>

namespace {

constexpr U16 kCmds[] = {IPCOMM_DEL_TS, IPCOMM_DEL_PROGRAM, IPCOMM_DEL_PID, IPCOMM_DEL_DESCRIPTOR};

// Two streams of programs, PIDs of every kind, NIT sections and descriptors
// from slots 1 and 2, so that the identities of a fuzz input hit records.
void Fill()
{
    using namespace tspwire;
    TSP_FactoryOutputTSInfo();
    for (U16 ch = 0; ch < 2; ch++) {
        Send(IPCOMM_SEND_TS, Msg({TS(ch)}));
        for (U8 slot = 1; slot <= 2; slot++) {
            std::vector<Bytes> progs, pids;
            for (U16 g = 1; g <= 3; g++) {
                Prog p;
                p.srcSlot = slot;
                p.ch = ch;
                p.progId = g;
                p.sid = (U16)(g + 10 * slot);
                progs.push_back(Program(p));
                for (U8 type = PID_TYPE_PCRPID; type <= PID_TYPE_OTHERPID; type++) {
                    Pid d;
                    d.srcSlot = slot;
                    d.ch = ch;
                    d.progId = g;
                    d.type = type;
                    d.pidId = (U16)(g * 10 + type);
                    d.esEcmId = (U16)(g * 10 + 9);
                    if (type == PID_TYPE_ES_ECMPID)
                        d.pidId = (U16)(g * 10 + PID_TYPE_ESPID);
                    d.filter = (U8)(g == 3);
                    d.oldPid = (U16)(0x100 + g * 10 + type);
                    pids.push_back(PID(d));
                }
            }
            Send(IPCOMM_SEND_PROGRAM, Msg(progs));
            Send(IPCOMM_SEND_PID, Msg(pids));
            Send(IPCOMM_SEND_NIT_TABLE, Msg({NITSection(ch, slot, 0)}));
            Send(IPCOMM_SEND_DESCRIPTOR, Msg({Descriptor(slot, 1, ch, 1, 300)}));
        }
    }
}

void Check(U16 cmd)
{
    std::string err = tspwire::CheckInvariants(TSP_GetTSParam());
    if (!err.empty()) {
        fprintf(stderr, "database broken after %u: %s\n", cmd, err.c_str());
        abort();
    }
}

}  // namespace

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    // cmd 263, 2 records: slot 1 channel 0 program 1; slot 2 channel 1 program 3.
    seeds.push_back({1, 17, 2, 1, 0, 1, 0, 0, 0, 1, 0, 2, 0, 1, 0, 1, 0, 3, 0});
    // cmd 274 with flag 2 on an ES, then 262 for slot 2.
    seeds.push_back({2, 9, 1, 1, 2, 1, 0, 0, 0, 13, 0, 0, 9, 1, 2, 9, 0, 0, 1, 0, 0, 0});
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Fill();
    Resource_GetHandle(1)->u8MuxPIDEnable = 1;
    Resource_GetHandle(2)->u8MuxPIDEnable = 0;
    FuzzReader r(data, size);
    for (int n = 0; n < 16 && r.Left() > 0; n++) {
        const U8 op = r.U8();
        const U16 cmd = kCmds[op % 4];
        // A length byte, then the message: count byte and records.
        FuzzInput msg = r.Bytes(r.U8());
        TSP_ConstructOutputTS(msg.empty() ? nullptr : msg.data(), (IPCOMM_CMD)cmd, (U16)msg.size());
        Check(cmd);
        if (op & 0x80) {
            // Now and then a slot turns up elsewhere.
            TSP_ChangeSrcSlotID((U8)(op & 3), (U8)((op >> 2) & 0x1F));
            Check(0);
        }
    }
    return 0;
}
