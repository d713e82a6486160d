// The OID dump: tree shape and record order, a round trip of a randomly
// filled database, the version rules, and dumps that lie about their sizes.
#include "Common/oid/oiddata.h"
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include "TSprocess/tsp_db.h"
#include "support/testboard.h"
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

std::string DumpPath() { return plat::Path(TARVEX_OID_FILE); }

void InitDb(U32 ts, U32 prog, U32 pid, U32 tab, U32 desc, U32 bypass)
{
    TSInfoInitNum n = {ts, prog, pid, tab, desc, bypass};
    ASSERT_EQ(TSP_InitTSInfo(TSP_GetTSParam(), &n), ZR_SUCCESS);
}

template <class T>
void Randomize(T* p, U32 n, std::mt19937& rng)
{
    U8* b = reinterpret_cast<U8*>(p);
    for (size_t i = 0; i < sizeof(T) * n; i++)
        b[i] = (U8)rng();
}

template <class T, class M>
void Zero(T& rec, M T::*member)
{
    memset(&(rec.*member), 0, sizeof(rec.*member));
}

// Members the dump does not carry come back zero.
void ZeroUnstored(Output_TSInfo* db)
{
    for (U32 i = 0; i < db->u32OutputTSNumber; i++) {
        Zero(db->pOutputTS[i], &Output_TSStream::u32StructVersion);
        Zero(db->pOutputTS[i], &Output_TSStream::u8Res);
        Zero(db->pOutputTS[i], &Output_TSStream::u32Res);
        Zero(db->pOutputTS[i], &Output_TSStream::u8VCTVersionNumber);
        Zero(db->pOutputTS[i], &Output_TSStream::u8MGTVersionNumber);
        Zero(db->pOutputTS[i], &Output_TSStream::u8PSIPKept);
        Zero(db->pOutputTS[i], &Output_TSStream::u8Res2);
        Zero(db->pOutputTS[i], &Output_TSStream::u32VCTContent);
        Zero(db->pOutputTS[i], &Output_TSStream::u32MGTContent);
    }
    for (U32 i = 0; i < db->u32OutputProgramNumber; i++) {
        Zero(db->pOutputProgram[i], &Output_TSProgram::u32StructVersion);
        Zero(db->pOutputProgram[i], &Output_TSProgram::u8Res);
        Zero(db->pOutputProgram[i], &Output_TSProgram::u16Res);
        Zero(db->pOutputProgram[i], &Output_TSProgram::u32Res);
    }
    for (U32 i = 0; i < db->u32OutputPIDNumber; i++) {
        Zero(db->pOutputPID[i], &Output_TSPID::u32StructVersion);
        Zero(db->pOutputPID[i], &Output_TSPID::u32Res);
    }
    for (U32 i = 0; i < db->u32OutputTableNumber; i++) {
        Zero(db->pOutputTable[i], &TSTable::u32StructVersion);
        Zero(db->pOutputTable[i], &TSTable::u16res);
        Zero(db->pOutputTable[i], &TSTable::aru32Res);
    }
    for (U32 i = 0; i < db->u32OutputDescriptorNumber; i++) {
        Zero(db->pDescriptor[i], &TSDescriptor::u32StructVersion);
        Zero(db->pDescriptor[i], &TSDescriptor::aru8Res);
        Zero(db->pDescriptor[i], &TSDescriptor::u32Res);
    }
    for (U32 i = 0; i < db->u32OutputBypassTSNumber; i++) {
        Zero(db->pOutputBypassTS[i], &Passthrough_TSStream::u32StructVersion);
        Zero(db->pOutputBypassTS[i], &Passthrough_TSStream::u32Res);
    }
}

// The six arrays and the six capacities, as bytes.
std::vector<std::string> Take(const Output_TSInfo* db)
{
    auto bytes = [](const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); };
    return {bytes(db->pOutputTS, sizeof(Output_TSStream) * db->u32OutputTSNumber),
            bytes(db->pOutputProgram, sizeof(Output_TSProgram) * db->u32OutputProgramNumber),
            bytes(db->pOutputPID, sizeof(Output_TSPID) * db->u32OutputPIDNumber),
            bytes(db->pOutputTable, sizeof(TSTable) * db->u32OutputTableNumber),
            bytes(db->pDescriptor, sizeof(TSDescriptor) * db->u32OutputDescriptorNumber),
            bytes(db->pOutputBypassTS, sizeof(Passthrough_TSStream) * db->u32OutputBypassTSNumber),
            bytes(&db->u32OutputTSNumber, 6 * sizeof(U32))};
}

// A dump written by hand: version, then (key, count, unit, data) records.
struct DumpWriter {
    std::string bytes;
    explicit DumpWriter(U16 version) { Put(version, 2); }
    void Put(U32 v, int n)
    {
        for (int i = 0; i < n; i++)
            bytes += (char)(v >> (8 * i));
    }
    void Record(U32 key, U16 count, U16 unit, const std::string& data)
    {
        Put(key, 4);
        Put(count, 2);
        Put(unit, 2);
        bytes += data;
    }
    void Write() { Spill(DumpPath(), bytes); }
};

std::string U32s(std::initializer_list<U32> vs)
{
    std::string s;
    for (U32 v : vs)
        for (int i = 0; i < 4; i++)
            s += (char)(v >> (8 * i));
    return s;
}

}  // namespace

TEST(OidStore, TreeShapeFixesTheRecordOrderOfTheDump)
{
    ASSERT_EQ(OID_CreateAvlTree(), 0);
    ASSERT_NE(sp_root, nullptr);
    EXPECT_EQ(sp_root->key, 165);
    EXPECT_EQ(avltree_height(sp_root), 8);
    sp_root = avltree_insert(sp_root, 92);  // a duplicate changes nothing
    EXPECT_EQ(sp_root->key, 165);
    destroy_avltree(sp_root);
    sp_root = nullptr;

    InitDb(0, 0, 0, 0, 0, 0);
    OID_ModifyVersionNumber(OID_VERSION_EXPORT);
    OIDDATA_Save();
    std::string d = Slurp(DumpPath());
    ASSERT_GE(d.size(), 2u);
    const Type want[] = {165, 129, 117, 101, 93, 3, 1, 0, 2, 5, 4, 92};
    size_t off = 2;
    int records = 0;
    while (off + 8 <= d.size()) {
        Type key;
        U16 count, unit;
        memcpy(&key, d.data() + off, 4);
        memcpy(&count, d.data() + off + 4, 2);
        memcpy(&unit, d.data() + off + 6, 2);
        if (records < 12) {
            EXPECT_EQ(key, want[records]) << "record " << records;
        }
        off += 8 + (size_t)count * unit;
        records++;
    }
    EXPECT_EQ(off, d.size());
    EXPECT_EQ(records, OID_KEY_NUM);
}

TEST(OidStore, SaveThenRestoreReproducesEveryStoredMember)
{
    std::mt19937 rng(1234);
    InitDb(9, 37, 41, 5, 6, 10);
    Output_TSInfo* db = TSP_GetTSParam();
    Randomize(db->pOutputTS, db->u32OutputTSNumber, rng);
    Randomize(db->pOutputProgram, db->u32OutputProgramNumber, rng);
    Randomize(db->pOutputPID, db->u32OutputPIDNumber, rng);
    Randomize(db->pOutputTable, db->u32OutputTableNumber, rng);
    Randomize(db->pDescriptor, db->u32OutputDescriptorNumber, rng);
    Randomize(db->pOutputBypassTS, db->u32OutputBypassTSNumber, rng);
    ZeroUnstored(db);
    std::vector<std::string> before = Take(db);
    QAM_IPMonitorPara& ip = g_stCurPE.st_IPMonitorParams.stIPMonitorParams;
    Randomize(&ip, 1, rng);
    QAM_IPMonitorPara ipBefore = ip;

    OID_ModifyVersionNumber(OID_VERSION_EXPORT);
    OIDDATA_Save();
    InitDb(0, 0, 0, 0, 0, 0);  // default capacities, all zero
    memset(&ip, 0, sizeof(ip));

    EXPECT_EQ(OIDDATA_Recovery(), 0);
    EXPECT_TRUE(Take(db) == before);
    EXPECT_EQ(ip.u8Enable, ipBefore.u8Enable);
    EXPECT_EQ(ip.u8Channel, ipBefore.u8Channel);
    EXPECT_EQ(ip.u16DestPort, ipBefore.u16DestPort);
    EXPECT_EQ(ip.u32DestIPAddr, ipBefore.u32DestIPAddr);
    EXPECT_EQ(ip.u16IP1MaxRate, ipBefore.u16IP1MaxRate);
    EXPECT_EQ(ip.u16PSIInterval, ipBefore.u16PSIInterval);
    EXPECT_EQ(ip.u8TimeGap, 0);  // not a key of the store
    EXPECT_FALSE(FileExists(DumpPath()));  // restored once, then gone

    // A stream of an output channel the card does not have stays behind.
    db->pOutputTS[0].u8ValidFlag = 1;
    db->pOutputTS[0].u16ChannelID = 1024;
    OIDDATA_Save();
    EXPECT_EQ(OIDDATA_Recovery(), 0);
    EXPECT_NE(db->pOutputTS[0].u8ValidFlag, 1);
}

TEST(OidStore, VersionRules)
{
    // Version 1 (written before an upgrade) is kept and skipped.
    InitDb(8, 1, 1, 1, 1, 1);
    TSP_GetTSParam()->pOutputTS[0].u16NetworkID = 77;
    OID_ModifyVersionNumber(OID_VERSION_UPGRADE);
    OIDDATA_Save();
    TSP_GetTSParam()->pOutputTS[0].u16NetworkID = 5;
    EXPECT_EQ(OIDDATA_Recovery(), 1);
    EXPECT_EQ(TSP_GetTSParam()->pOutputTS[0].u16NetworkID, 5);
    EXPECT_TRUE(FileExists(DumpPath()));
    EXPECT_EQ(OIDDATA_Recovery(), 1);  // at every start

    // Version 0 turns the generation flags on, only in streams that exist.
    InitDb(3, 1, 1, 1, 1, 1);
    OID_ModifyVersionNumber(0);
    OIDDATA_Save();
    EXPECT_EQ(OIDDATA_Recovery(), 0);
    Output_TSInfo* db = TSP_GetTSParam();
    ASSERT_EQ(db->u32OutputTSNumber, 3u);
    for (U32 i = 0; i < 3; i++) {
        const Output_TSStream& s = db->pOutputTS[i];
        EXPECT_EQ(s.u8PATGenerate + s.u8PMTGenerate + s.u8CATGenerate + s.u8SDTGenerate + s.u8TDTGenerate +
                      s.u8MGTGenerate + s.u8VCTGenerate + s.u8STTGenerate,
                  8);
        EXPECT_EQ(s.u8BATGenerate + s.u8NITGenerate + s.u8TOTGenerate + s.u8EITGenerate + s.u8ETTGenerate, 0);
    }

    // An empty dump is deleted; none at all is the usual case.
    Spill(DumpPath(), "");
    EXPECT_EQ(OIDDATA_Recovery(), 1);
    EXPECT_FALSE(FileExists(DumpPath()));
    EXPECT_EQ(OIDDATA_Recovery(), 1);
}

TEST(OidStore, DumpsThatLieAboutTheirSizesAreBoundedOrRefused)
{
    // A record past the end refuses the whole dump, which stays untouched.
    InitDb(8, 1, 1, 1, 1, 1);
    TSP_GetTSParam()->pOutputTS[0].u16NetworkID = 77;
    OID_ModifyVersionNumber(OID_VERSION_EXPORT);
    OIDDATA_Save();
    std::string d = Slurp(DumpPath());
    Spill(DumpPath(), d.substr(0, d.size() - 3));
    TSP_GetTSParam()->pOutputTS[0].u16NetworkID = 5;
    EXPECT_EQ(OIDDATA_Recovery(), 1);
    EXPECT_EQ(TSP_GetTSParam()->pOutputTS[0].u16NetworkID, 5);
    EXPECT_EQ(TSP_GetTSParam()->u32OutputTSNumber, 8u);

    // Units wider than the member copy only the member; more elements than
    // records fill only the records; unknown keys are skipped.
    DumpWriter w(OID_VERSION_EXPORT);
    w.Record(222, 1, 4, U32s({2}));
    w.Record(95, 2, 4, U32s({0x11223344, 0x55667788}));        // u8ValidFlag
    w.Record(93, 5, 2, std::string("\x01\x00\x02\x00\x03\x00\x04\x00\x05\x00", 10));
    w.Record(500, 1, 4, U32s({9}));
    w.Record(221, 1, 200, std::string(200, '\x7F'));           // bypass destinations: 32 bytes
    w.Write();
    EXPECT_EQ(OIDDATA_Recovery(), 0);
    Output_TSInfo* db = TSP_GetTSParam();
    ASSERT_EQ(db->u32OutputTSNumber, 2u);
    EXPECT_EQ(db->u32OutputProgramNumber, 100u);  // a count of 0 gives the default capacity
    EXPECT_EQ(db->pOutputTS[0].u8ValidFlag, 0x44);
    EXPECT_EQ(db->pOutputTS[0].u8SlotID, 0);
    EXPECT_EQ(db->pOutputTS[1].u8ValidFlag, 0x88);
    EXPECT_EQ(db->pOutputTS[1].u16TransportStreamID, 2);
    EXPECT_EQ(db->pOutputBypassTS[0].aru32BypassDestChannel[7], 0x7F7F7F7Fu);
    EXPECT_EQ(db->pOutputBypassTS[0].u32Res[0], 0u);
}
