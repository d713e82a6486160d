// Builders of small output-stream databases and readers of the simulated
// board's captures, for the carousel, routing and apply tests.
#pragma once
#include "Platform/board_state.h"
#include "SIprocess/SIsend.h"
#include "TSprocess/tsp.h"
#include "support/testboard.h"
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace muxfix {

inline Output_TSInfo* ResetDb(U32 ts = 8, U32 prog = 100, U32 pid = 500, U32 table = 100)
{
    TSInfoInitNum n{ts, prog, pid, table, 100, 8};
    TSP_InitTSInfo(TSP_GetTSParam(), &n);
    return TSP_GetTSParam();
}

// Factory database and an empty carousel with no message waiting.
inline void ResetCarousel()
{
    ResetDb();
    SSD_InitBroadcastSI();
    SSD_FlushSubMessages();
}

inline U16 Stream(U16 channel, U16 tsid = 1, bool bypass = false, U8 srcSlot = 3, U16 srcStream = 0)
{
    Output_TSInfo* db = TSP_GetTSParam();
    for (U32 i = 0; i < db->u32OutputTSNumber; i++) {
        Output_TSStream& s = db->pOutputTS[i];
        if (s.u8ValidFlag == 1)
            continue;
        memset(&s, 0, sizeof(s));
        TSP_InitOneOutputTSStream(&s);
        s.u16ChannelID = channel;
        s.u8SlotID = 5;
        s.u16TransportStreamID = tsid;
        s.u16OriginalNetworkID = 1;
        s.u16NetworkID = 1;
        s.u8BypassFlag = bypass ? 1 : 0;
        s.u8SrcSlotID = srcSlot;
        s.u16SrcStreamID = srcStream;
        return (U16)i;
    }
    return 0xFFFF;
}

inline U16 Program(U16 ts, U8 slot, U16 srcCh, U16 sid, U16 pmt, U16 pcr)
{
    Output_TSInfo* db = TSP_GetTSParam();
    for (U32 i = 0; i < db->u32OutputProgramNumber; i++) {
        Output_TSProgram& p = db->pOutputProgram[i];
        if (p.u8ValidFlag == 1)
            continue;
        memset(&p, 0, sizeof(p));
        p.u16OldServiceID = sid;
        p.u16OldPMTPID = pmt;
        p.u16OldPCRPID = pcr;
        TSP_InitOneOutputTSProgram(&p);
        p.u8SourceSlotID = slot;
        p.u16SourceChannelID = srcCh;
        p.u16ChannelID = db->pOutputTS[ts].u16ChannelID;
        p.u16TSIndex = ts;
        p.u16ProgramIndex = (U16)i;
        p.u8ServiceType = 1;
        p.u8RunningStatus = 4;
        memcpy(p.aru8ServiceName, "Prog", 4);
        p.u8ServiceNameLen = 4;
        memcpy(p.aru8ServiceProvider, "Prov", 4);
        p.u8ServiceProviderLen = 4;
        Output_TSStream& s = db->pOutputTS[ts];
        if (s.u16ProgramNum == 0) {
            s.u16ProgramIndex = (U16)i;
        } else {
            U16 cur = s.u16ProgramIndex;
            while (db->pOutputProgram[cur].u16NextProgramIndex != 0xFFFF)
                cur = db->pOutputProgram[cur].u16NextProgramIndex;
            db->pOutputProgram[cur].u16NextProgramIndex = (U16)i;
        }
        s.u16ProgramNum++;
        return (U16)i;
    }
    return 0xFFFF;
}

inline U16 NewPid(U8 type, U16 ts, U16 prog, U8 slot, U16 srcCh, U16 oldPid, U16 srcStream)
{
    Output_TSInfo* db = TSP_GetTSParam();
    for (U32 i = 0; i < db->u32OutputPIDNumber; i++) {
        Output_TSPID& p = db->pOutputPID[i];
        if (p.u8ValidFlag == 1)
            continue;
        memset(&p, 0, sizeof(p));
        p.u16OldPID = oldPid;
        TSP_InitOneOutputTSPID(&p);
        p.u8PIDType = type;
        p.u8StreamType = 0x02;
        p.u8SourceSlotID = slot;
        p.u16SourceChannelID = srcCh;
        p.u16SrcStreamID = srcStream;
        p.u16ChannelID = db->pOutputTS[ts].u16ChannelID;
        p.u32TSIndex = ts;
        p.u32ProgramIndex = prog == 0xFFFF ? 0xFFFFFFFFu : prog;
        p.u32PIDIndex = i;
        return (U16)i;
    }
    return 0xFFFF;
}

// Appends to a counted PID chain given by its head and count.
inline void Chain(U16& head, U16& count, U16 idx)
{
    Output_TSInfo* db = TSP_GetTSParam();
    if (count == 0) {
        head = idx;
    } else {
        U16 cur = head;
        while ((db->pOutputPID[cur].u32NextPIDIndex & 0xFFFF) != 0xFFFF)
            cur = (U16)db->pOutputPID[cur].u32NextPIDIndex;
        db->pOutputPID[cur].u32NextPIDIndex = idx;
    }
    count++;
}

inline U16 ES(U16 ts, U16 prog, U16 oldPid, U8 streamType = 0x02)
{
    Output_TSInfo* db = TSP_GetTSParam();
    Output_TSProgram& p = db->pOutputProgram[prog];
    U16 i = NewPid(PID_TYPE_ESPID, ts, prog, p.u8SourceSlotID, p.u16SourceChannelID, oldPid, p.u16SourceChannelID);
    db->pOutputPID[i].u8StreamType = streamType;
    Chain(p.u16PIDIndex, p.u16ESNumber, i);
    return i;
}

// The PCR record of a program (not in any list).
inline U16 PCR(U16 ts, U16 prog)
{
    Output_TSInfo* db = TSP_GetTSParam();
    Output_TSProgram& p = db->pOutputProgram[prog];
    U16 i = NewPid(PID_TYPE_PCRPID, ts, prog, p.u8SourceSlotID, p.u16SourceChannelID, p.u16OldPCRPID,
                   p.u16SourceChannelID);
    p.u16PCRIndex = i;
    return i;
}

inline U16 EMM(U16 ts, U8 slot, U16 srcCh, U16 oldPid)
{
    Output_TSInfo* db = TSP_GetTSParam();
    U16 i = NewPid(PID_TYPE_EMMPID, ts, 0xFFFF, slot, srcCh, oldPid, srcCh);
    Chain(db->pOutputTS[ts].u16EMMPIDIndex, db->pOutputTS[ts].u16EMMPIDNumber, i);
    return i;
}

inline U16 Other(U16 ts, U8 slot, U16 srcCh, U16 oldPid)
{
    Output_TSInfo* db = TSP_GetTSParam();
    U16 i = NewPid(PID_TYPE_OTHERPID, ts, 0xFFFF, slot, srcCh, oldPid, srcCh);
    Chain(db->pOutputTS[ts].u16OtherPIDIndex, db->pOutputTS[ts].u16OtherPIDNum, i);
    return i;
}

inline U16 PSECM(U16 ts, U16 prog, U16 oldPid)
{
    Output_TSInfo* db = TSP_GetTSParam();
    Output_TSProgram& p = db->pOutputProgram[prog];
    U16 i = NewPid(PID_TYPE_PS_ECMPID, ts, prog, p.u8SourceSlotID, p.u16SourceChannelID, oldPid,
                   p.u16SourceChannelID);
    Chain(p.u16PSECMPIDIndex, p.u16PSECMPIDNumber, i);
    return i;
}

inline std::string Capture(U8 channel) { return TestBoardRoot() + "/trace/si_ch" + std::to_string(channel) + ".ts"; }

inline void ClearCaptures()
{
    for (U8 c = 0; c < 8; c++)
        ::remove(Capture(c).c_str());
}

// Lines of a decoder's output that begin with a prefix.
inline std::vector<std::string> Lines(const std::string& text, const std::string& prefix)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (l.rfind(prefix, 0) == 0)
            out.push_back(l);
    return out;
}

inline std::vector<std::vector<U8>> ReadPackets(U8 channel)
{
    std::vector<std::vector<U8>> out;
    FILE* f = fopen(Capture(channel).c_str(), "rb");
    if (!f)
        return out;
    U8 buf[188];
    while (fread(buf, 1, 188, f) == 188)
        out.emplace_back(buf, buf + 188);
    fclose(f);
    return out;
}

inline U16 PacketPid(const std::vector<U8>& p) { return (U16)(((p[1] & 0x1F) << 8) | p[2]); }

// Continuity errors over a capture: per PID, each packet's counter must be
// the previous one plus 1.
inline int ContinuityErrors(U8 channel)
{
    int errors = 0;
    int last[8192];
    for (int& v : last)
        v = -1;
    for (const auto& p : ReadPackets(channel)) {
        U16 pid = PacketPid(p);
        int cc = p[3] & 0x0F;
        if (last[pid] >= 0 && cc != ((last[pid] + 1) & 0x0F))
            errors++;
        last[pid] = cc;
    }
    return errors;
}

// A long-form section of the given total length (CRC not computed).
inline std::vector<U8> Section(U8 tid, U32 totalLen, U8 sectionNumber = 0, U8 lastSection = 0)
{
    std::vector<U8> s(totalLen, 0xAB);
    U32 len = totalLen - 3;
    s[0] = tid;
    s[1] = (U8)(0xB0 | ((len >> 8) & 0x0F));
    s[2] = (U8)len;
    s[3] = 0;
    s[4] = 1;
    s[5] = 0xC1;
    s[6] = sectionNumber;
    s[7] = lastSection;
    return s;
}

}  // namespace muxfix
