// The output-stream file: its byte layout checked with crcmod, the start-up
// check refusing damaged files, load after save, the slave never touching it,
// and saves that survive being killed.
#include "Common/commonfun.h"
#include "Driver/FPGA/fpga.h"
#include "Parameter/parameters.h"
#include "Platform/board_state.h"
#include "Platform/platform.h"
#include "TSprocess/tsp.h"
#include "support/testboard.h"
#include "support/tsp_wire.h"
#include <csignal>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

using namespace tspwire;

namespace {

std::string RealPath() { return plat::Path(PARAMS_TSP_CONFIG_FILE); }

std::vector<U8> ReadBytes()
{
    std::ifstream in(RealPath(), std::ios::binary);
    return std::vector<U8>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::vector<U8>& d)
{
    std::ofstream(RealPath(), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(d.data()), (std::streamsize)d.size());
}

U32 Word(const std::vector<U8>& d, size_t off)
{
    U32 v;
    memcpy(&v, d.data() + off, 4);
    return v;
}

void SetWord(std::vector<U8>& d, size_t off, U32 v) { memcpy(d.data() + off, &v, 4); }

void Reseal(std::vector<U8>& d)
{
    SetWord(d, d.size() - 4, Common_CRCCalculate(d.data(), (U32)(d.size() - 4), PARAMS_CRC_INIT));
}

// Layout and CRC checked by crcmod, independent of the firmware's CRC.
int CrcmodCheck()
{
    static const char* kScript = R"PY(
import struct, sys, crcmod
crc = crcmod.mkCrcFun(0x104C11DB7, initCrc=0x04C11DB7, rev=False, xorOut=0)
d = open(sys.argv[1], 'rb').read()
w = lambda o: struct.unpack_from('<I', d, o)[0]
n = [w(8 + 4 * i) for i in range(5)]
size = 240 + sum(c * s for c, s in zip(n, [448, 920, 372, 1184, 1168])) + 4
ok = w(0) == 0x20170310 and w(4) == len(d) == size and w(len(d) - 4) == crc(d[:-4]) and d[28:240] == bytes(212)
sys.exit(0 if ok else 1)
)PY";
    std::string script = TestBoardRoot() + "/check_tsp.py";
    std::ofstream(script) << kScript;
    int rc = system(("/usr/bin/python3 '" + script + "' '" + RealPath() + "'").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

class TspFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_u32ModulationMode = 0;
        simboard::PokeReg(17, 0);
        FPGA_CheckChipType();
        ASSERT_EQ(TSP_FactoryOutputTSInfo(), 0u);
        plat::MakeDirs("/tarvex_data");
    }
    void TearDown() override { TSP_FreeOutputTSInfo(); }
    void FillSome()
    {
        ASSERT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(0), TS(1)})), 0u);
        Prog p;
        ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(p)})), 0u);
        Pid d;
        ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(d)})), 0u);
    }
};

TEST_F(TspFile, FactoryFileLayoutAndCrc)
{
    ASSERT_EQ(PARAMS_TSPParametersSave(), ZR_SUCCESS);
    std::vector<U8> d = ReadBytes();
    ASSERT_EQ(d.size(), 517028u);
    EXPECT_EQ(Word(d, 4), 517028u);
    EXPECT_EQ(CrcmodCheck(), 0);
    EXPECT_EQ(PARAMS_VerifyTSPConfigFiles(), ZR_SUCCESS);
}

TEST_F(TspFile, DamagedFilesAreRefusedAndDeleted)
{
    ASSERT_EQ(PARAMS_TSPParametersSave(), ZR_SUCCESS);
    const std::vector<U8> good = ReadBytes();
    struct Case {
        const char* what;
        std::vector<U8> bytes;
        zrErrCode want;
    };
    std::vector<Case> cases;
    std::vector<U8> d = good;
    SetWord(d, 4, (U32)d.size() - 1);
    Reseal(d);
    cases.push_back({"length word one short", d, ZR_ERR_PARAMS_MIGRATION});
    d = good;
    SetWord(d, 8, Word(d, 8) + 1);  // counts promise more than the file holds
    Reseal(d);
    cases.push_back({"count beyond the file", d, ZR_ERR_PARAMS_MIGRATION});
    d = good;
    SetWord(d, 8, 0x10000);
    SetWord(d, 12, 0);
    Reseal(d);
    cases.push_back({"count out of range", d, ZR_ERR_PARAMS_MIGRATION});
    d = good;
    d[1000] ^= 1;
    cases.push_back({"flipped byte", d, ZR_ERR_FAILURE});
    cases.push_back({"8 bytes", std::vector<U8>(good.begin(), good.begin() + 8), ZR_ERR_FAILURE});
    for (const Case& c : cases) {
        WriteBytes(c.bytes);
        EXPECT_EQ(PARAMS_VerifyTSPConfigFiles(), c.want) << c.what;
        EXPECT_FALSE(FileExists(RealPath())) << c.what;
        EXPECT_NE(PARAMS_TSPLoadImage(c.bytes.data(), c.bytes.size()), ZR_SUCCESS) << c.what;
    }
    EXPECT_EQ(PARAMS_VerifyTSPConfigFiles(), ZR_ERR_FAILURE) << "missing file";
}

TEST_F(TspFile, LoadGivesBackWhatWasSaved)
{
    FillSome();
    Output_TSInfo* db = TSP_GetTSParam();
    const std::vector<Output_TSProgram> progs(db->pOutputProgram, db->pOutputProgram + db->u32OutputProgramNumber);
    const std::vector<Output_TSPID> pids(db->pOutputPID, db->pOutputPID + db->u32OutputPIDNumber);
    ASSERT_EQ(PARAMS_TSPParametersSave(), ZR_SUCCESS);
    ASSERT_EQ(PARAMS_VerifyTSPConfigFiles(), ZR_SUCCESS);
    EXPECT_EQ(db->pOutputTS, nullptr);
    ASSERT_EQ(PARAMS_TSP_Load(), ZR_SUCCESS);
    ASSERT_EQ(db->u32OutputProgramNumber, progs.size());
    EXPECT_EQ(0, memcmp(db->pOutputProgram, progs.data(), progs.size() * sizeof(Output_TSProgram)));
    EXPECT_EQ(0, memcmp(db->pOutputPID, pids.data(), pids.size() * sizeof(Output_TSPID)));
    EXPECT_EQ(CheckInvariants(db), "");
    // A smaller database saved over a larger file leaves exactly the new file.
    ASSERT_EQ(TSP_FactoryOutputTSInfo(), 0u);
    TSInfoInitNum n{2, 3, 4, 5, 6, 0};
    ASSERT_EQ(TSP_InitTSInfo(db, &n), ZR_SUCCESS);
    ASSERT_EQ(PARAMS_TSPParametersSave(), ZR_SUCCESS);
    EXPECT_EQ(ReadBytes().size(), 240u + 2 * 448 + 3 * 920 + 4 * 372 + 5 * 1184 + 6 * 1168 + 4);
    EXPECT_EQ(CrcmodCheck(), 0);
}

TEST_F(TspFile, SlaveNeverWritesTheFile)
{
    unlink(RealPath().c_str());
    simboard::PokeReg(17, 1);
    FPGA_CheckChipType();
    EXPECT_EQ(PARAMS_TSPParametersSave(), ZR_SUCCESS);
    EXPECT_EQ(Slave_PARAMS_Init(), ZR_SUCCESS);
    EXPECT_FALSE(FileExists(RealPath()));
    simboard::PokeReg(17, 0);
    FPGA_CheckChipType();
}

TEST_F(TspFile, StartUpFallsBackToFactoryContents)
{
    FillSome();
    ASSERT_EQ(PARAMS_TSPParametersSave(), ZR_SUCCESS);
    std::vector<U8> d = ReadBytes();
    SetWord(d, 4, (U32)d.size() - 1);
    Reseal(d);
    WriteBytes(d);
    EXPECT_EQ(Master_PARAMS_Init(), ZR_SUCCESS);
    Output_TSInfo* db = TSP_GetTSParam();
    ASSERT_NE(db->pOutputTS, nullptr);
    EXPECT_EQ(db->u32OutputProgramNumber, TSP_FACTORY_PROGRAM_NUM);
    for (U32 i = 0; i < db->u32OutputTSNumber; i++)
        EXPECT_EQ(db->pOutputTS[i].u8ValidFlag, 0u);
    EXPECT_EQ(PARAMS_VerifyTSPConfigFiles(), ZR_SUCCESS) << "the factory database was saved";
    // The web's clear command with no file is fine.
    unlink(RealPath().c_str());
    EXPECT_EQ(PARAMS_WEB_Factory(1), ZR_SUCCESS);
    EXPECT_TRUE(FileExists(RealPath()));
}

// A process killed at any moment of a save leaves a file that passes the check.
TEST_F(TspFile, KilledWhileSavingNeverLeavesADamagedFile)
{
    FillSome();
    ASSERT_EQ(PARAMS_TSPParametersSave(), ZR_SUCCESS);
    std::mt19937 rng(7);
    for (int round = 0; round < 40; round++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            Output_TSInfo* db = TSP_GetTSParam();
            for (U32 i = 0;; i++) {
                db->pOutputTS[0].u16NetworkID = (U16)i;
                PARAMS_TSPParametersSave();
            }
        }
        usleep(std::uniform_int_distribution<int>(500, 20000)(rng));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        ASSERT_EQ(PARAMS_VerifyTSPConfigFiles(), ZR_SUCCESS) << "round " << round;
        ASSERT_EQ(PARAMS_TSP_Load(), ZR_SUCCESS);
    }
}

} // namespace
