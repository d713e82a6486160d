#include <vector>
#include "support/si_fixture.h"
#include "Common/commonfun.h"
#include "SIprocess/SIgenerate.h"
#include "SIprocess/SIsend.h"
#include "TSprocess/tsp_db.h"
#include "support/testboard.h"
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace sifx {

namespace {
Output_TSInfo* Db() { return TSP_GetTSParam(); }

U16 FreeIndex(const U8* base, size_t stride, U32 cap, size_t validOff)
{
    for (U32 i = 0; i < cap; i++)
        if (base[i * stride + validOff] != TSP_RECORD_VALID)
            return (U16)i;
    throw std::runtime_error("fixture database full");
}

// Appends PID record idx at the tail of the chain starting at head.
void LinkPID(U16& head, U16& count, U16 idx)
{
    Output_TSPID* pids = Db()->pOutputPID;
    if (count == 0 || head == TSP_INVALID_INDEX) {
        head = idx;
    } else {
        U16 i = head;
        while ((pids[i].u32NextPIDIndex & 0xFFFF) != TSP_INVALID_INDEX)
            i = (U16)pids[i].u32NextPIDIndex;
        pids[i].u32NextPIDIndex = idx;
    }
    count++;
}
}  // namespace

void ResetDb()
{
    TSP_FactoryOutputTSInfo();
    SSD_InitBroadcastSI();
    SIP_ResetContentHistory();
}

U16 AddStream(U16 u16Channel, U16 u16TSID, U16 u16ONID)
{
    Output_TSInfo* db = Db();
    U16 i = FreeIndex((const U8*)db->pOutputTS, sizeof(Output_TSStream), db->u32OutputTSNumber,
                      offsetof(Output_TSStream, u8ValidFlag));
    Output_TSStream& ts = db->pOutputTS[i];
    memset(&ts, 0, sizeof(ts));
    TSP_InitOneOutputTSStream(&ts);
    ts.u16ChannelID = u16Channel;
    ts.u8SlotID = 0;
    ts.u16TransportStreamID = u16TSID;
    ts.u16OriginalNetworkID = u16ONID;
    ts.u16DescriptorIndex = TSP_INVALID_INDEX;
    ts.u8NITGenerate = 1;
    return i;
}

U16 AddProgram(U16 u16TS, U16 u16ServiceID, U16 u16PMTPID, U16 u16PCRPID, const std::string& name,
               const std::string& provider)
{
    Output_TSInfo* db = Db();
    U16 i = FreeIndex((const U8*)db->pOutputProgram, sizeof(Output_TSProgram), db->u32OutputProgramNumber,
                      offsetof(Output_TSProgram, u8ValidFlag));
    Output_TSProgram& p = db->pOutputProgram[i];
    memset(&p, 0, sizeof(p));
    p.u16OldServiceID = u16ServiceID;
    p.u16OldPMTPID = u16PMTPID;
    p.u16OldPCRPID = u16PCRPID;
    TSP_InitOneOutputTSProgram(&p);
    Output_TSStream& ts = db->pOutputTS[u16TS];
    p.u16ProgramIndex = i;
    p.u16TSIndex = u16TS;
    p.u16ChannelID = ts.u16ChannelID;
    p.u8ServiceNameLen = (U8)name.size();
    memcpy(p.aru8ServiceName, name.data(), name.size() < 32 ? name.size() : 32);
    p.u8ServiceProviderLen = (U8)provider.size();
    memcpy(p.aru8ServiceProvider, provider.data(), provider.size() < 32 ? provider.size() : 32);
    p.u8ServiceType = 1;
    p.u8RunningStatus = 4;
    p.u16MajorChannelNum = 2;
    p.u16MinorChannelNum = (U16)(ts.u16ProgramNum + 1);
    if (ts.u16ProgramNum == 0) {
        ts.u16ProgramIndex = i;
    } else {
        U16 k = ts.u16ProgramIndex;
        while (db->pOutputProgram[k].u16NextProgramIndex != TSP_INVALID_INDEX)
            k = db->pOutputProgram[k].u16NextProgramIndex;
        db->pOutputProgram[k].u16NextProgramIndex = i;
    }
    ts.u16ProgramNum++;
    return i;
}

U16 AddPID(U16 u16TS, U16 u16Owner, U8 u8Type, U16 u16PID, U8 u8StreamType, U16 u16CASID, const Bytes& info,
           U16 u16OldPID)
{
    Output_TSInfo* db = Db();
    U16 i = FreeIndex((const U8*)db->pOutputPID, sizeof(Output_TSPID), db->u32OutputPIDNumber,
                      offsetof(Output_TSPID, u8ValidFlag));
    Output_TSPID& r = db->pOutputPID[i];
    memset(&r, 0, sizeof(r));
    r.u16OldPID = u16OldPID == 0xFFFF ? u16PID : u16OldPID;
    TSP_InitOneOutputTSPID(&r);
    r.u16PID = u16PID;
    r.u32PIDIndex = i;
    r.u32TSIndex = u16TS;
    r.u8PIDType = u8Type;
    r.u8StreamType = u8StreamType;
    r.u16CASID = u16CASID;
    r.u16ChannelID = db->pOutputTS[u16TS].u16ChannelID;
    r.u16ESECMPIDIndex = TSP_INVALID_INDEX;
    if (info.empty()) {
    } else if (info.size() <= 188) {
        memcpy(r.aru8ESInfo, info.data(), info.size());
    } else {
        U16 d = FreeIndex((const U8*)db->pDescriptor, sizeof(TSDescriptor), db->u32OutputDescriptorNumber,
                          offsetof(TSDescriptor, u8ValidFlag));
        memset(&db->pDescriptor[d], 0, sizeof(TSDescriptor));
        TSP_InitOneOutputTSDescriptor(&db->pDescriptor[d]);
        memcpy(db->pDescriptor[d].u8DescriptorInfo, info.data(), info.size());
        r.u16ESInfoDescriptorIndex = d;
    }
    r.u16ESInfoLength = (U16)info.size();
    Output_TSStream& ts = db->pOutputTS[u16TS];
    switch (u8Type) {
    case PID_TYPE_PCRPID:
        r.u32ProgramIndex = u16Owner;
        db->pOutputProgram[u16Owner].u16PCRIndex = i;
        break;
    case PID_TYPE_ESPID:
        r.u32ProgramIndex = u16Owner;
        LinkPID(db->pOutputProgram[u16Owner].u16PIDIndex, db->pOutputProgram[u16Owner].u16ESNumber, i);
        break;
    case PID_TYPE_PS_ECMPID:
        r.u32ProgramIndex = u16Owner;
        LinkPID(db->pOutputProgram[u16Owner].u16PSECMPIDIndex, db->pOutputProgram[u16Owner].u16PSECMPIDNumber, i);
        break;
    case PID_TYPE_ES_ECMPID:
        r.u32ProgramIndex = db->pOutputPID[u16Owner].u32ProgramIndex;
        r.u16ESPIDIndex = u16Owner;
        LinkPID(db->pOutputPID[u16Owner].u16ESECMPIDIndex, db->pOutputPID[u16Owner].u16ESECMPIDNumber, i);
        break;
    case PID_TYPE_EMMPID:
        LinkPID(ts.u16EMMPIDIndex, ts.u16EMMPIDNumber, i);
        break;
    case PID_TYPE_OTHERPID:
        LinkPID(ts.u16OtherPIDIndex, ts.u16OtherPIDNum, i);
        break;
    default:
        throw std::runtime_error("fixture PID type");
    }
    return i;
}

U16 AddNITSection(U16 u16TS, const Bytes& section)
{
    Output_TSInfo* db = Db();
    U16 i = FreeIndex((const U8*)db->pOutputTable, sizeof(TSTable), db->u32OutputTableNumber,
                      offsetof(TSTable, u8ValidFlag));
    TSTable& t = db->pOutputTable[i];
    memset(&t, 0, sizeof(t));
    TSP_InitOneOutputTable(&t);
    t.u16Index = i;
    t.u8TableType = 2;
    t.u16TSIndex = u16TS;
    t.u16ChannelID = db->pOutputTS[u16TS].u16ChannelID;
    memcpy(t.aru8TableInfo, section.data(), section.size());
    t.u16TableInfoLen = (U16)section.size();
    Output_TSStream& ts = db->pOutputTS[u16TS];
    if (ts.u16NITIndex == TSP_INVALID_INDEX) {
        ts.u16NITIndex = i;
    } else {
        U16 k = ts.u16NITIndex;
        while (db->pOutputTable[k].u16NextIndex != TSP_INVALID_INDEX)
            k = db->pOutputTable[k].u16NextIndex;
        db->pOutputTable[k].u16NextIndex = i;
    }
    return i;
}

Bytes Sectionize(Bytes body)
{
    size_t secLen = body.size() + 4 - 3;
    body[1] = (U8)((body[1] & 0xF0) | ((secLen >> 8) & 0x0F));
    body[2] = (U8)secLen;
    U32 crc = Common_CRC_Calculate(body.data(), (U32)body.size(), 0xFFFFFFFFu);
    for (int s = 24; s >= 0; s -= 8)
        body.push_back((U8)(crc >> s));
    return body;
}

std::string Decode(const Bytes& data, bool bTS)
{
    static int n = 0;
    std::string path = TestBoardRoot() + "/psidecode_in_" + std::to_string(getpid()) + "_" + std::to_string(n++);
    {
        std::ofstream f(path, std::ios::binary);
        f.write((const char*)data.data(), (std::streamsize)data.size());
    }
    std::string cmd = std::string(MODCARD_BUILD_DIR "/tests/psidecode ") + (bTS ? "--ts " : "--sections ") + path +
                      " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return "";
    std::string out;
    char buf[4096];
    size_t r;
    while ((r = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, r);
    int rc = pclose(p);
    unlink(path.c_str());
    if (rc != 0)
        out += "EXIT_FAILED\n";
    return out;
}

std::vector<std::string> Lines(const std::string& out, const std::string& keyword)
{
    std::vector<std::string> v;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t e = out.find('\n', pos);
        if (e == std::string::npos)
            e = out.size();
        std::string line = out.substr(pos, e - pos);
        if (line.compare(0, keyword.size() + 1, keyword + " ") == 0)
            v.push_back(line);
        pos = e + 1;
    }
    return v;
}

std::string Field(const std::string& line, const std::string& key)
{
    std::string k = " " + key + "=";
    size_t p = line.find(k);
    if (p == std::string::npos)
        return "";
    p += k.size();
    if (p < line.size() && line[p] == '"') {
        size_t e = line.find('"', p + 1);
        return line.substr(p + 1, e - p - 1);
    }
    size_t e = line.find(' ', p);
    return line.substr(p, e == std::string::npos ? std::string::npos : e - p);
}

Bytes CarouselPackets(U16 u16OutTS)
{
    Bytes out;
    SIPacket_t* c = SSD_GetSIPacketParam();
    if (c == nullptr || u16OutTS >= SI_MAX_OUTTS_NUM)
        return out;
    // Counters as a pass stamps them: one sequence per PID across entries.
    std::vector<U8> cc(8192, 0);
    for (U32 e = c->aru16OutTSSIInfo[u16OutTS]; e < SI_MAX_PACKET_NUM; e = c->arstSIPacketInfo[e].stList.u16NextIndex) {
        const SIPacketInfo_t& info = c->arstSIPacketInfo[e];
        U32 k = info.u16TSPacketIndex;
        for (U32 n = 0; n < info.u8PacketNum && k < SI_MAX_PACKET_NUM; n++) {
            const U32* w = c->arstTSPacketInfo[k].aru32TSPacket;
            U8 rec[SI_RECORD_BYTES];
            for (U32 j = 0; j < SI_RECORD_WORDS; j++) {
                rec[4 * j] = (U8)(w[j] >> 24);
                rec[4 * j + 1] = (U8)(w[j] >> 16);
                rec[4 * j + 2] = (U8)(w[j] >> 8);
                rec[4 * j + 3] = (U8)w[j];
            }
            U8* pkt = rec + 8;
            const U16 pid = (U16)(((pkt[1] & 0x1F) << 8) | pkt[2]);
            pkt[3] = (U8)((pkt[3] & 0xF0) | cc[pid]);
            cc[pid] = (U8)((cc[pid] + 1) & 0x0F);
            out.insert(out.end(), pkt, rec + SI_RECORD_BYTES);
            k = c->arstTSPacketInfo[k].stList.u16NextIndex;
        }
    }
    return out;
}

}  // namespace sifx
