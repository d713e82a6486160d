// Input-card messages built byte by byte at the offsets the link carries,
// and a checker of the output-stream database's invariants.
#pragma once
#include "TSprocess/tsp.h"
#include <cstring>
#include <string>
#include <vector>

namespace tspwire {

using Bytes = std::vector<U8>;

inline void Put8(Bytes& b, size_t off, U8 v) { b.at(off) = v; }
inline void Put16(Bytes& b, size_t off, U16 v)
{
    b.at(off) = (U8)(v & 0xFF);
    b.at(off + 1) = (U8)(v >> 8);
}
inline void Put32(Bytes& b, size_t off, U32 v)
{
    for (int i = 0; i < 4; i++)
        b.at(off + i) = (U8)(v >> (8 * i));
}

// One output stream record (448 bytes).
inline Bytes TS(U16 u16Channel, U8 u8Slot = 3, U16 u16TSID = 0x100, U16 u16ONID = 0x200)
{
    Bytes b(448, 0);
    Put32(b, 4, 448);
    Put16(b, 8, 0x55);       // network id
    Put16(b, 10, u16TSID);
    Put16(b, 12, u16ONID);
    Put8(b, 15, u8Slot);
    Put16(b, 16, u16Channel);
    Put16(b, 18, 7);         // sender's counts and links: must not survive
    Put16(b, 20, 0x1234);
    Put16(b, 60, 9);
    Put16(b, 62, 0x4321);
    Put8(b, 33, 5);          // source slot
    Put16(b, 34, 2);         // source channel
    return b;
}

struct Prog {
    U8 srcSlot = 5;
    U16 srcCh = 1;
    U16 ch = 0;
    U8 slot = 3;
    U16 progId = 1;
    U16 sid = 100;
    U16 pcr = 0x101;
    U16 pmt = 0x100;
    std::string name = "News";
    U16 major = 0;
    U16 progInfoLen = 0;
    U8 cam = 0;
};

inline Bytes Program(const Prog& p)
{
    Bytes b(920, 0);
    Put32(b, 4, 920);
    Put8(b, 9, p.srcSlot);
    Put16(b, 10, p.srcCh);
    Put16(b, 12, p.ch);
    Put8(b, 14, p.slot);
    Put16(b, 16, 0x2222);    // sender's links: replaced
    Put16(b, 22, 0x3333);
    Put16(b, 20, p.progId);
    Put16(b, 28, p.sid);
    Put16(b, 30, p.pcr);
    Put16(b, 32, p.pmt);
    Put16(b, 40, 4);         // sender's ES count: replaced
    Put8(b, 46, (U8)p.name.size());
    memcpy(&b[48], p.name.data(), p.name.size() < 32 ? p.name.size() : 32);
    Put8(b, 112, 1);         // service type
    Put16(b, 118, p.progInfoLen);
    Put8(b, 310, p.cam);
    Put16(b, 504, p.major);
    return b;
}

struct Pid {
    U8 srcSlot = 5;
    U16 srcCh = 1;
    U16 ch = 0;
    U8 slot = 3;
    U16 progId = 1;
    U16 pidId = 1;
    U16 esEcmId = 0;  // own identifier of an ES-ECM
    U8 type = PID_TYPE_ESPID;
    U8 streamType = 0x1B;
    U16 oldPid = 0x101;
    U16 esInfoLen = 0;
    U8 filter = 0;
};

inline Bytes PID(const Pid& p)
{
    Bytes b(372, 0);
    Put32(b, 4, 372);
    Put8(b, 9, p.srcSlot);
    Put16(b, 10, p.srcCh);
    Put8(b, 12, p.slot);
    Put8(b, 13, p.filter);
    Put16(b, 14, p.ch);
    Put32(b, 16, 0x77);      // sender's links: replaced
    Put32(b, 32, 0x88);
    Put16(b, 28, p.progId);
    Put16(b, 30, p.pidId);
    Put16(b, 36, 3);
    Put16(b, 38, p.esEcmId);
    Put8(b, 40, p.type);
    Put8(b, 41, p.streamType);
    Put16(b, 42, p.oldPid);
    Put16(b, 48, p.esInfoLen);
    return b;
}

inline Bytes NITSection(U16 u16Channel, U8 u8Slot, U8 u8SectionNumber, U16 u16Len = 16)
{
    Bytes b(1184, 0);
    Put32(b, 4, 1184);
    Put8(b, 9, u8Slot);
    Put16(b, 10, u16Channel);
    Put16(b, 14, 0x5A5A);    // sender's link: replaced
    Put16(b, 28, u16Len);
    Put8(b, 32, 0x40);
    Put8(b, 32 + 6, u8SectionNumber);
    return b;
}

inline Bytes Descriptor(U8 u8SrcSlot, U16 u16SrcCh, U16 u16Channel, U16 u16ProgId, U32 u32Len)
{
    Bytes b(1168, 0);
    Put32(b, 4, u32Len);
    Put8(b, 9, 3);
    Put16(b, 10, u16Channel);
    Put16(b, 12, u16ProgId);
    Put16(b, 14, 0x999);     // sender's PID link: replaced
    for (U32 i = 0; i < u32Len && i < 1024; i++)
        b[16 + i] = (U8)i;
    Put16(b, 1050, u16SrcCh);
    Put8(b, 1052, u8SrcSlot);
    return b;
}

struct Mon {
    U8 type = PID_TYPE_ESPID;
    U8 streamType = 0x24;
    U16 oldPid = 0x101;
    U16 newPid = 0x301;
    U8 srcSlot = 5;
    U16 srcCh = 1;
    U16 destCh = 0;
    U16 pidId = 1;
    U16 casId = 0;
    U16 infoLen = 0;
    U16 descIndex = 0xFFFF;
};

inline Bytes Monitor(const Mon& m)
{
    Bytes b(208, 0);
    Put8(b, 0, m.type);
    Put8(b, 1, m.streamType);
    Put16(b, 2, m.oldPid);
    Put16(b, 4, m.newPid);
    Put8(b, 6, m.srcSlot);
    Put16(b, 8, m.srcCh);
    Put16(b, 10, m.destCh);
    Put16(b, 12, m.pidId);
    Put16(b, 14, m.casId);
    for (U32 i = 0; i < 188; i++)
        b[16 + i] = (U8)(0xA0 + i);
    Put16(b, 204, m.infoLen);
    Put16(b, 206, m.descIndex);
    return b;
}

// A message: the count byte, then the records back to back.
inline Bytes Msg(const std::vector<Bytes>& records)
{
    Bytes b(1, (U8)records.size());
    for (const Bytes& r : records)
        b.insert(b.end(), r.begin(), r.end());
    return b;
}

inline U32 Send(IPCOMM_CMD cmd, Bytes msg)
{
    return TSP_ConstructOutputTS(msg.data(), cmd, (U16)msg.size());
}

// A factory-fresh database with a stream on each channel 0..n-1 and, with
// bPrograms, one program each (program id channel + 1); the first failing
// step's code, else 0.
inline U32 FreshStreams(U16 n, bool bPrograms)
{
    U32 rc = TSP_FactoryOutputTSInfo();
    std::vector<Bytes> streams;
    for (U16 ch = 0; ch < n; ch++)
        streams.push_back(TS(ch));
    if (rc == 0)
        rc = Send(IPCOMM_SEND_TS, Msg(streams));
    for (U16 ch = 0; rc == 0 && bPrograms && ch < n; ch++) {
        Prog p;
        p.ch = ch;
        p.progId = (U16)(ch + 1);
        rc = Send(IPCOMM_SEND_PROGRAM, Msg({Program(p)}));
    }
    return rc;
}

// The same with one stream and no program, and the working copy opened.
inline void FreshOpenStream()
{
    FreshStreams(1, false);
    TSP_InitOutputTempTSInfo();
    TSP_CopyOutputTempTSInfo();
}

// Checks every link of a database; returns "" when all hold, else the first
// broken invariant.
std::string CheckInvariants(const Output_TSInfo* pst);

} // namespace tspwire
