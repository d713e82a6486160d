// Independent check of the output-stream database's links: it follows every
// chain itself rather than through the walkers under test.
#include "support/tsp_wire.h"
#include <map>
#include <sstream>

namespace tspwire {

namespace {

struct Checker {
    const Output_TSInfo* p;
    std::ostringstream err;
    std::vector<int> progSeen, pidSeen, descSeen, tableSeen;

    bool Fail(const std::string& s)
    {
        if (err.tellp() == 0)
            err << s;
        return false;
    }
    bool TSOk(U32 i) const { return i < p->u32OutputTSNumber && p->pOutputTS[i].u8ValidFlag == 1; }
    bool ProgOk(U32 i) const { return i < p->u32OutputProgramNumber && p->pOutputProgram[i].u8ValidFlag == 1; }
    bool PIDOk(U32 i) const { return i < p->u32OutputPIDNumber && p->pOutputPID[i].u8ValidFlag == 1; }
    bool DescOk(U32 i) const { return i < p->u32OutputDescriptorNumber && p->pDescriptor[i].u8ValidFlag == 1; }
    bool TableOk(U32 i) const { return i < p->u32OutputTableNumber && p->pOutputTable[i].u8ValidFlag == 1; }

    // A counted chain of PID records of one type; pfOwner checks each member.
    template <typename F>
    bool PIDChain(const std::string& what, U32 head, U32 count, U8 type, F pfOwner)
    {
        U32 n = 0;
        for (U32 i = head; i != 0xFFFF; i = p->pOutputPID[i].u32NextPIDIndex & 0xFFFF) {
            if (!PIDOk(i))
                return Fail(what + ": link to a free or out-of-range PID " + std::to_string(i));
            const Output_TSPID& r = p->pOutputPID[i];
            if (r.u8PIDType != type)
                return Fail(what + ": PID " + std::to_string(i) + " of type " + std::to_string(r.u8PIDType));
            if (!pfOwner(r))
                return Fail(what + ": PID " + std::to_string(i) + " names another owner");
            if (r.u32NextPIDIndex != 0xFFFFFFFFu && r.u32NextPIDIndex >= p->u32OutputPIDNumber)
                return Fail(what + ": next link out of range");
            pidSeen[i]++;
            if (++n > p->u32OutputPIDNumber)
                return Fail(what + ": loop");
        }
        if (n != count)
            return Fail(what + ": length " + std::to_string(n) + " != count " + std::to_string(count));
        return true;
    }

    bool Run()
    {
        if (p->u32OutputTSNumber > 0xFFFF || p->u32OutputProgramNumber > 0xFFFF || p->u32OutputPIDNumber > 0xFFFF ||
            p->u32OutputTableNumber > 0xFFFF || p->u32OutputDescriptorNumber > 0xFFFF)
            return Fail("capacity beyond 0xFFFF");
        progSeen.assign(p->u32OutputProgramNumber, 0);
        pidSeen.assign(p->u32OutputPIDNumber, 0);
        descSeen.assign(p->u32OutputDescriptorNumber, 0);
        tableSeen.assign(p->u32OutputTableNumber, 0);
        std::map<U16, U32> channels;
        for (U32 s = 0; s < p->u32OutputTSNumber; s++) {
            const Output_TSStream& ts = p->pOutputTS[s];
            if (ts.u8ValidFlag != 1)
                continue;
            const std::string w = "stream " + std::to_string(s);
            if (channels.count(ts.u16ChannelID))
                return Fail(w + ": second stream of channel " + std::to_string(ts.u16ChannelID));
            channels[ts.u16ChannelID] = s;
            U32 n = 0;
            for (U32 i = ts.u16ProgramIndex; i != 0xFFFF; i = p->pOutputProgram[i].u16NextProgramIndex) {
                if (!ProgOk(i))
                    return Fail(w + ": program link to free or out-of-range " + std::to_string(i));
                const Output_TSProgram& r = p->pOutputProgram[i];
                if (r.u16TSIndex != s || r.u16ProgramIndex != i)
                    return Fail(w + ": program " + std::to_string(i) + " owner/own index wrong");
                progSeen[i]++;
                if (++n > p->u32OutputProgramNumber)
                    return Fail(w + ": program loop");
            }
            if (n != ts.u16ProgramNum)
                return Fail(w + ": program count");
            if (!PIDChain(w + " EMM", ts.u16EMMPIDIndex, ts.u16EMMPIDNumber, PID_TYPE_EMMPID,
                          [&](const Output_TSPID& r) { return r.u32TSIndex == s; }))
                return false;
            if (!PIDChain(w + " other", ts.u16OtherPIDIndex, ts.u16OtherPIDNum, PID_TYPE_OTHERPID,
                          [&](const Output_TSPID& r) { return r.u32TSIndex == s; }))
                return false;
            n = 0;
            for (U32 i = ts.u16DescriptorIndex; i != 0xFFFF; i = p->pDescriptor[i].u16NextDescriptorIndex) {
                if (!DescOk(i) || p->pDescriptor[i].u16TSIndex != s)
                    return Fail(w + ": descriptor link " + std::to_string(i));
                descSeen[i]++;
                if (++n > p->u32OutputDescriptorNumber)
                    return Fail(w + ": descriptor loop");
            }
            if (n != ts.u16DescriptorNum)
                return Fail(w + ": descriptor count");
            for (U16 head : {ts.u16NITIndex, ts.u16BATIndex, ts.u16TDTIndex, ts.u16TOTIndex, ts.u16OtherNITIndex,
                             ts.u16OtherSDTIndex}) {
                n = 0;
                for (U32 i = head; i != 0xFFFF; i = p->pOutputTable[i].u16NextIndex) {
                    if (!TableOk(i) || p->pOutputTable[i].u16Index != i || p->pOutputTable[i].u16TSIndex != s)
                        return Fail(w + ": table link " + std::to_string(i));
                    tableSeen[i]++;
                    if (++n > p->u32OutputTableNumber)
                        return Fail(w + ": table loop");
                }
            }
        }
        for (U32 g = 0; g < p->u32OutputProgramNumber; g++) {
            const Output_TSProgram& r = p->pOutputProgram[g];
            if (r.u8ValidFlag != 1)
                continue;
            const std::string w = "program " + std::to_string(g);
            if (progSeen[g] != 1)
                return Fail(w + ": in " + std::to_string(progSeen[g]) + " stream lists");
            if (!PIDChain(w + " ES", r.u16PIDIndex, r.u16ESNumber, PID_TYPE_ESPID,
                          [&](const Output_TSPID& m) { return m.u32ProgramIndex == g; }))
                return false;
            if (!PIDChain(w + " PS-ECM", r.u16PSECMPIDIndex, r.u16PSECMPIDNumber, PID_TYPE_PS_ECMPID,
                          [&](const Output_TSPID& m) { return m.u32ProgramIndex == g; }))
                return false;
            if (r.u16PCRIndex != 0xFFFF &&
                (!PIDOk(r.u16PCRIndex) || p->pOutputPID[r.u16PCRIndex].u8PIDType != PID_TYPE_PCRPID ||
                 p->pOutputPID[r.u16PCRIndex].u32ProgramIndex != g))
                return Fail(w + ": PCR link");
            if (r.u16ProgramInfoDescriptorIndex != 0xFFFF &&
                (!DescOk(r.u16ProgramInfoDescriptorIndex) ||
                 p->pDescriptor[r.u16ProgramInfoDescriptorIndex].u16ProgramIndex != g))
                return Fail(w + ": program-information descriptor link");
            if (r.u16SDTInfoDescriptorIndex != 0xFFFF && !DescOk(r.u16SDTInfoDescriptorIndex))
                return Fail(w + ": SDT descriptor link");
            if (r.u8ServiceNameLen > 32 || r.u8ServiceProviderLen > 32 || r.u16SDTInfoLength > 188)
                return Fail(w + ": length beyond its array");
        }
        // Every ES-ECM list is walked before any membership is counted: an
        // ES-ECM record may sit below its ES.
        for (U32 k = 0; k < p->u32OutputPIDNumber; k++) {
            const Output_TSPID& r = p->pOutputPID[k];
            if (r.u8ValidFlag == 1 && r.u8PIDType == PID_TYPE_ESPID &&
                !PIDChain("PID " + std::to_string(k) + " ES-ECM", r.u16ESECMPIDIndex, r.u16ESECMPIDNumber,
                          PID_TYPE_ES_ECMPID, [&](const Output_TSPID& m) { return m.u16ESPIDIndex == k; }))
                return false;
        }
        for (U32 k = 0; k < p->u32OutputPIDNumber; k++) {
            const Output_TSPID& r = p->pOutputPID[k];
            if (r.u8ValidFlag != 1)
                continue;
            const std::string w = "PID " + std::to_string(k);
            if (r.u32PIDIndex != k)
                return Fail(w + ": own index");
            if (!TSOk(r.u32TSIndex))
                return Fail(w + ": stream link");
            switch (r.u8PIDType) {
            case PID_TYPE_PCRPID:
            case PID_TYPE_ESPID:
            case PID_TYPE_PS_ECMPID:
            case PID_TYPE_ES_ECMPID:
                if (!ProgOk(r.u32ProgramIndex) || p->pOutputProgram[r.u32ProgramIndex].u16TSIndex != r.u32TSIndex)
                    return Fail(w + ": program link");
                break;
            case PID_TYPE_EMMPID:
            case PID_TYPE_OTHERPID:
                break;
            default:
                return Fail(w + ": type " + std::to_string(r.u8PIDType));
            }
            if (r.u8PIDType == PID_TYPE_ES_ECMPID &&
                (!PIDOk(r.u16ESPIDIndex) || p->pOutputPID[r.u16ESPIDIndex].u8PIDType != PID_TYPE_ESPID))
                return Fail(w + ": ES link of an ES-ECM");
            if (r.u16ESInfoDescriptorIndex != 0xFFFF && !DescOk(r.u16ESInfoDescriptorIndex))
                return Fail(w + ": ES descriptor link");
            if (r.u8PIDType != PID_TYPE_PCRPID && pidSeen[k] != 1)
                return Fail(w + ": in " + std::to_string(pidSeen[k]) + " lists");
        }
        for (U32 d = 0; d < p->u32OutputDescriptorNumber; d++)
            if (p->pDescriptor[d].u8ValidFlag == 1 && descSeen[d] != 1)
                return Fail("descriptor " + std::to_string(d) + " in " + std::to_string(descSeen[d]) + " lists");
        for (U32 t = 0; t < p->u32OutputTableNumber; t++)
            if (p->pOutputTable[t].u8ValidFlag == 1 && tableSeen[t] != 1)
                return Fail("table " + std::to_string(t) + " in " + std::to_string(tableSeen[t]) + " chains");
        return true;
    }
};

} // namespace

std::string CheckInvariants(const Output_TSInfo* pst)
{
    Checker c{pst, {}, {}, {}, {}, {}};
    c.Run();
    return c.err.str();
}

} // namespace tspwire
