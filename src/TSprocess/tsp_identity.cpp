// Identities of the input cards' records: finding the one held, replacing it
// with a record sent again, and keeping one of each in a database read back.
#include "TSprocess/tsp_identity.h"
#include "Common/thread.h"
#include "Log/log.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_del.h"
#include <cstring>
#include <map>
#include <tuple>
#include <vector>

namespace {

using PIDIdentity = std::tuple<U8, U8, U16, U16, U16, U16, U16>;

PIDIdentity IdentityOf(const Output_TSPID& r)
{
    return {r.u8PIDType, r.u8SourceSlotID, r.u16SourceChannelID, r.u16ChannelID, r.u16ProgramID,
            r.u8PIDType == PID_TYPE_PCRPID ? (U16)0 : r.u16PIDID,
            r.u8PIDType == PID_TYPE_ES_ECMPID ? r.u16ESECMPIDIndex : (U16)0};
}

U32 ProgCap(const Output_TSInfo* p) { return p->pOutputProgram != nullptr ? p->u32OutputProgramNumber : 0; }
U32 PIDCap(const Output_TSInfo* p) { return p->pOutputPID != nullptr ? p->u32OutputPIDNumber : 0; }

bool ProgramAt(const Output_TSInfo* p, U32 i)
{
    return i < ProgCap(p) && p->pOutputProgram[i].u8ValidFlag == TSP_RECORD_VALID;
}

bool PIDAt(const Output_TSInfo* p, U32 i) { return i < PIDCap(p) && p->pOutputPID[i].u8ValidFlag == TSP_RECORD_VALID; }

bool StreamAt(const Output_TSInfo* p, U32 i)
{
    return p->pOutputTS != nullptr && i < p->u32OutputTSNumber && p->pOutputTS[i].u8ValidFlag == TSP_RECORD_VALID;
}

// The program a PCR record belongs to, by the program's identity.
U16 ProgramOfPCR(const Output_TSInfo* p, const Output_TSPID& r)
{
    for (U32 i = 0; i < ProgCap(p); i++) {
        const Output_TSProgram& g = p->pOutputProgram[i];
        if (g.u8ValidFlag == TSP_RECORD_VALID && g.u8SourceSlotID == r.u8SourceSlotID &&
            g.u16SourceChannelID == r.u16SourceChannelID && g.u16ChannelID == r.u16ChannelID &&
            g.u16ProgramID == r.u16ProgramID)
            return (U16)i;
    }
    return TSP_INVALID_INDEX;
}

void Dropped(const char* pcWhat, U32 u32Index, U32 u32Kept, U8 u8Slot, U16 u16SrcCh, U16 u16Ch, U16 u16Id)
{
    log_printf(LOG_LEVEL_WARNING, LOG_MODULE_TSPROCESS,
               "%ld:%s:%d %s (slot %u, input channel %u, channel %u, id %u) held once more at [%u] beside [%u]: "
               "the copy is dropped\r\n\n",
               LOG_POS, pcWhat, u8Slot, u16SrcCh, u16Ch, u16Id, u32Index, u32Kept);
}

const char* KindOf(U8 u8Type)
{
    switch (u8Type) {
    case PID_TYPE_PCRPID: return "PCR record";
    case PID_TYPE_ESPID: return "ES record";
    case PID_TYPE_EMMPID: return "EMM record";
    case PID_TYPE_PS_ECMPID: return "PS-ECM record";
    case PID_TYPE_ES_ECMPID: return "ES-ECM record";
    default: return "PID record";
    }
}

// The PID records of one kind held more than once, the lowest index of each
// identity kept (the one every lookup by identity finds); PCR records are
// judged by the program that names one.
U32 MergePIDs(Output_TSInfo* p, bool bESECM)
{
    U32 n = 0;
    std::map<PIDIdentity, U32> first;
    for (U32 i = 0; i < PIDCap(p); i++) {
        const Output_TSPID& r = p->pOutputPID[i];
        if (r.u8ValidFlag != TSP_RECORD_VALID || (r.u8PIDType == PID_TYPE_ES_ECMPID) != bESECM)
            continue;
        U32 kept = i;
        if (r.u8PIDType == PID_TYPE_PCRPID) {
            const U16 g = ProgramOfPCR(p, r);
            if (g == TSP_INVALID_INDEX || !PIDAt(p, p->pOutputProgram[g].u16PCRIndex) ||
                p->pOutputProgram[g].u16PCRIndex == i)
                continue;
            kept = p->pOutputProgram[g].u16PCRIndex;
        } else {
            auto at = first.emplace(IdentityOf(r), i);
            if (at.second)
                continue;
            kept = at.first->second;
        }
        const Output_TSPID copy = r;
        Dropped(KindOf(copy.u8PIDType), i, kept, copy.u8SourceSlotID, copy.u16SourceChannelID, copy.u16ChannelID,
                copy.u16PIDID);
        if (TSP_DelOutputPID((U16)i, p) != ZR_SUCCESS)
            continue;
        n++;
        if (ProgramAt(p, copy.u32ProgramIndex & 0xFFFF))
            p->pOutputProgram[copy.u32ProgramIndex & 0xFFFF].u8PMTChangeFlag = 1;
        if (copy.u8PIDType == PID_TYPE_EMMPID && StreamAt(p, copy.u32TSIndex))
            p->pOutputTS[copy.u32TSIndex].u8CATChangeFlag = 1;
    }
    return n;
}

} // namespace

bool TSP_SameProgramIdentity(const Output_TSProgram& a, const Output_TSProgram& b)
{
    return a.u8SourceSlotID == b.u8SourceSlotID && a.u16SourceChannelID == b.u16SourceChannelID &&
           a.u16ChannelID == b.u16ChannelID && a.u16ProgramID == b.u16ProgramID;
}

bool TSP_SamePIDIdentity(const Output_TSPID& a, const Output_TSPID& b) { return IdentityOf(a) == IdentityOf(b); }

U16 TSP_FindHeldProgram(const Output_TSInfo* pst, const Output_TSProgram& rec)
{
    for (U32 i = 0; pst != nullptr && i < ProgCap(pst) && i < TSP_INVALID_INDEX; i++)
        if (pst->pOutputProgram[i].u8ValidFlag == TSP_RECORD_VALID &&
            TSP_SameProgramIdentity(pst->pOutputProgram[i], rec))
            return (U16)i;
    return TSP_INVALID_INDEX;
}

U16 TSP_FindHeldPID(const Output_TSInfo* pst, const Output_TSPID& rec)
{
    if (pst == nullptr)
        return TSP_INVALID_INDEX;
    if (rec.u8PIDType == PID_TYPE_PCRPID) {
        // A program has one PCR, whatever id names it.
        const U16 g = ProgramOfPCR(pst, rec);
        if (g == TSP_INVALID_INDEX)
            return TSP_INVALID_INDEX;
        const U16 k = pst->pOutputProgram[g].u16PCRIndex;
        return PIDAt(pst, k) && pst->pOutputPID[k].u8PIDType == PID_TYPE_PCRPID ? k : TSP_INVALID_INDEX;
    }
    const PIDIdentity id = IdentityOf(rec);
    for (U32 i = 0; i < PIDCap(pst) && i < TSP_INVALID_INDEX; i++)
        if (pst->pOutputPID[i].u8ValidFlag == TSP_RECORD_VALID && IdentityOf(pst->pOutputPID[i]) == id)
            return (U16)i;
    return TSP_INVALID_INDEX;
}

bool TSP_ReplaceHeldProgram(Output_TSInfo* pst, U16 u16Held, Output_TSProgram rec)
{
    if (!ProgramAt(pst, u16Held))
        return false;
    Output_TSProgram& h = pst->pOutputProgram[u16Held];
    TSP_InitOneOutputTSProgram(&rec);
    rec.u32StructVersion = h.u32StructVersion;
    rec.u8PMTVersionNumber = h.u8PMTVersionNumber;
    rec.u8PMTChangeFlag = h.u8PMTChangeFlag;
    rec.u16TSIndex = h.u16TSIndex;
    rec.u16ProgramIndex = h.u16ProgramIndex;
    rec.u16NextProgramIndex = h.u16NextProgramIndex;
    rec.u16PSECMPIDNumber = h.u16PSECMPIDNumber;
    rec.u16PSECMPIDIndex = h.u16PSECMPIDIndex;
    rec.u16ESNumber = h.u16ESNumber;
    rec.u16PCRIndex = h.u16PCRIndex;
    rec.u16PIDIndex = h.u16PIDIndex;
    // Long information already taken stays until a descriptor record replaces it.
    rec.u16ProgramInfoDescriptorIndex = h.u16ProgramInfoDescriptorIndex;
    rec.u16SDTInfoDescriptorIndex = h.u16SDTInfoDescriptorIndex;
    if (h.u16ProgramInfoDescriptorIndex != TSP_INVALID_INDEX && rec.u16ProgramInfoLength > TSP_INFO_MAX_LEN &&
        pst->pDescriptor != nullptr && h.u16ProgramInfoDescriptorIndex < pst->u32OutputDescriptorNumber &&
        pst->pDescriptor[h.u16ProgramInfoDescriptorIndex].u8ValidFlag == TSP_RECORD_VALID)
        rec.u16ProgramInfoLength = h.u16ProgramInfoLength;
    // Descrambling is set by its own messages.
    rec.u8CIFlag = h.u8CIFlag;
    rec.u8CAMIndex = h.u8CAMIndex;
    // What the card resolved or the operator set from an input value that
    // did not change stays.
    if (rec.u16OldServiceID == h.u16OldServiceID)
        rec.u16ServiceID = h.u16ServiceID;
    if (rec.u16OldPMTPID == h.u16OldPMTPID)
        rec.u16PMTPID = h.u16PMTPID;
    if (rec.u16OldPCRPID == h.u16OldPCRPID)
        rec.u16PCRPID = h.u16PCRPID;
    rec.u16MajorChannelNum = h.u16MajorChannelNum;
    rec.u16MinorChannelNum = h.u16MinorChannelNum;
    if (StreamAt(pst, h.u16TSIndex) && pst->pOutputTS[h.u16TSIndex].u8IsSDTChangedByUser == 1) {
        rec.u8ServiceNameLen = h.u8ServiceNameLen;
        memcpy(rec.aru8ServiceName, h.aru8ServiceName, sizeof(rec.aru8ServiceName));
        rec.u8ServiceProviderLen = h.u8ServiceProviderLen;
        memcpy(rec.aru8ServiceProvider, h.aru8ServiceProvider, sizeof(rec.aru8ServiceProvider));
        rec.u8ServiceType = h.u8ServiceType;
    }
    if (memcmp(&rec, &h, sizeof(rec)) == 0)
        return false;
    rec.u8PMTChangeFlag = 1;
    h = rec;
    if (StreamAt(pst, h.u16TSIndex)) {
        pst->pOutputTS[h.u16TSIndex].u8PATChangeFlag = 1;
        pst->pOutputTS[h.u16TSIndex].u8SDTChangeFlag = 1;
    }
    return true;
}

bool TSP_ReplaceHeldPID(Output_TSInfo* pst, U16 u16Held, Output_TSPID rec)
{
    if (!PIDAt(pst, u16Held))
        return false;
    Output_TSPID& h = pst->pOutputPID[u16Held];
    TSP_InitOneOutputTSPID(&rec);
    rec.u32StructVersion = h.u32StructVersion;
    rec.u32TSIndex = h.u32TSIndex;
    rec.u32ProgramIndex = h.u32ProgramIndex;
    rec.u32PIDIndex = h.u32PIDIndex;
    rec.u32NextPIDIndex = h.u32NextPIDIndex;
    rec.u16ESECMPIDNumber = h.u16ESECMPIDNumber;
    if (h.u8PIDType == PID_TYPE_ESPID)
        rec.u16ESECMPIDIndex = h.u16ESECMPIDIndex;  // the head of its ES-ECM list
    rec.u16ESPIDIndex = h.u16ESPIDIndex;
    rec.u16ESInfoDescriptorIndex = h.u16ESInfoDescriptorIndex;
    // A filter is set and lifted by its own message.
    rec.u8PIDFilterFlag = h.u8PIDFilterFlag;
    if (rec.u16OldPID == h.u16OldPID)
        rec.u16PID = h.u16PID;
    if (memcmp(&rec, &h, sizeof(rec)) == 0)
        return false;
    h = rec;
    const U32 g = h.u32ProgramIndex & 0xFFFF;
    if (h.u8PIDType != PID_TYPE_EMMPID && h.u8PIDType != PID_TYPE_OTHERPID && ProgramAt(pst, g))
        pst->pOutputProgram[g].u8PMTChangeFlag = 1;
    if (h.u8PIDType == PID_TYPE_EMMPID && StreamAt(pst, h.u32TSIndex))
        pst->pOutputTS[h.u32TSIndex].u8CATChangeFlag = 1;
    return true;
}

U32 TSP_MergeRepeatedRecords(Output_TSInfo* pst)
{
    if (pst == nullptr)
        return 0;
    CARD_STATE_LOCK();
    U32 n = 0;
    // Programs first: a copy goes with every record that names it.
    for (U32 i = 0; i < ProgCap(pst) && i < TSP_INVALID_INDEX; i++) {
        if (!ProgramAt(pst, i))
            continue;
        const U16 kept = TSP_FindHeldProgram(pst, pst->pOutputProgram[i]);
        if (kept == i || kept == TSP_INVALID_INDEX)
            continue;
        const Output_TSProgram copy = pst->pOutputProgram[i];
        Dropped("program", i, kept, copy.u8SourceSlotID, copy.u16SourceChannelID, copy.u16ChannelID,
                copy.u16ProgramID);
        if (!StreamAt(pst, copy.u16TSIndex) || TSP_DelOutputProg((U16)i, pst) != ZR_SUCCESS)
            continue;
        n++;
        pst->pOutputTS[copy.u16TSIndex].u8PATChangeFlag = 1;
        pst->pOutputTS[copy.u16TSIndex].u8SDTChangeFlag = 1;
    }
    // Then the PID records; the ES-ECMs once the copies of their ES went
    // (with the ES-ECMs of those copies).
    n += MergePIDs(pst, false);
    n += MergePIDs(pst, true);
    if (n != 0)
        log_printf(LOG_LEVEL_WARNING, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d %u records held more than once: one of each kept\r\n\n", LOG_POS, n);
    return n;
}
