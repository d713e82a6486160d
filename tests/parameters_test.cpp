// The parameter file: byte layout checked by an independent CRC, the
// start-up check's results, load and apply, factory fall-back, and saves
// that survive being killed at any moment.
#include "Common/commonfun.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include "support/testboard.h"
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string kFile = PARAMS_CONFIG_FILE;

std::string RealPath() { return plat::Path(kFile); }

std::vector<U8> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<U8>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::vector<U8>& bytes)
{
    std::ofstream out(RealPath(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), (std::streamsize)bytes.size());
}

bool FileExists() { return access(RealPath().c_str(), F_OK) == 0; }

// Device-log text written after a marker line; a repeated message is moved
// to the end of the log, so it shows up after the marker too.
class LogWatch {
public:
    LogWatch()
    {
        static int n = 0;
        marker_ = "params-test-marker-" + std::to_string(getpid()) + "-" + std::to_string(++n);
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%s\n", marker_.c_str());
    }
    std::string Since() const
    {
        std::ifstream in(plat::Path(LOG_DEVICE_PATH));
        std::stringstream ss;
        ss << in.rdbuf();
        std::string all = ss.str();
        size_t pos = all.rfind(marker_);
        return pos == std::string::npos ? std::string() : all.substr(pos + marker_.size());
    }

private:
    std::string marker_;
};

// CRCs and tags of the file checked with crcmod (CRC-32, polynomial
// 0x04C11DB7, MSB first, starting register 0x04C11DB7, no final XOR).
int PythonCheck(const std::string& path)
{
    static const char* kScript = R"PY(
import struct, sys, crcmod
crc = crcmod.mkCrcFun(0x104C11DB7, initCrc=0x04C11DB7, rev=False, xorOut=0)
d = open(sys.argv[1], 'rb').read()
word = lambda o: struct.unpack_from('<I', d, o)[0]
checks = [
    ('size', len(d) == 868),
    ('start tag', d[0:4] == b'ARAP'),
    ('version', word(4) == 0x20170310),
    ('ipm start tag', d[8:12] == b'TMPI'),
    ('ipm crc', word(76) == crc(d[8:76])),
    ('ipm end tag', d[80:84] == b'DNET'),
    ('dtmb start tag', d[84:88] == b'BMTD'),
    ('dtmb crc', word(852) == crc(d[84:852])),
    ('dtmb end tag', d[856:860] == b'DNET'),
    ('record crc', word(860) == crc(d[0:860])),
    ('end tag', d[864:868] == b'DNET'),
]
bad = [name for name, ok in checks if not ok]
print('bad: ' + ', '.join(bad) if bad else 'ok')
sys.exit(1 if bad else 0)
)PY";
    std::string script = TestBoardRoot() + "/check_params.py";
    std::ofstream(script) << kScript;
    std::string cmd = "/usr/bin/python3 '" + script + "' '" + path + "'";
    int rc = system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Every test starts from the master's factory record of a DVB-C card.
class ParamsFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedMode_ = g_u32ModulationMode;
        g_u32ModulationMode = 3;
        PARAMS_InitParametersSem();
        ASSERT_EQ(Master_PARAMS_Factory(), ZR_SUCCESS);
        Log_SetOutputMode(LOG_OUTPUT_SYSLOG);  // the factory record resets the log filter
    }
    void TearDown() override { g_u32ModulationMode = savedMode_; }

    U32 savedMode_ = 0;
};

}  // namespace

TEST_F(ParamsFile, FactoryRecordHasTagsAndCrcsAnIndependentCrcAccepts)
{
    std::vector<U8> d = ReadBytes(RealPath());
    ASSERT_EQ(d.size(), 868u);
    EXPECT_EQ(0, memcmp(d.data(), "ARAP", 4));
    EXPECT_EQ(0, memcmp(d.data() + 8, "TMPI", 4));
    EXPECT_EQ(0, memcmp(d.data() + 84, "BMTD", 4));
    EXPECT_EQ(0, memcmp(d.data() + 864, "DNET", 4));
    // IP-monitor block at 12: reboot every 72 hours at 5 o'clock.
    EXPECT_EQ(d[12 + 12], 72);
    EXPECT_EQ(d[12 + 13], 5);
    // Modulation block at 88: DVB-C channel 0 at 474 MHz, 6875 kBd.
    U32 freq0, sr0;
    memcpy(&freq0, d.data() + 88 + 128, 4);
    memcpy(&sr0, d.data() + 88 + 216, 4);
    EXPECT_EQ(freq0, 474000u);
    EXPECT_EQ(sr0, 6875u);
    EXPECT_EQ(PythonCheck(RealPath()), 0);
    // The RAM record is the file.
    EXPECT_EQ(0, memcmp(d.data(), &g_stCurPE, 868));
}

TEST_F(ParamsFile, SaveWritesFreshCrcsIntoRamAndFile)
{
    ST_ZR_PARAMS* pe = PARAMS_GetCurParamsHandler();
    pe->st_DTMBParams.stDTMBParams.OutputFreq[5] = 123456;
    pe->st_IPMonitorParams.stIPMonitorParams.u16PSIInterval = 250;
    pe->st_IPMonitorParams.u32StructCRC = 0;
    pe->st_DTMBParams.u32StructCRC = 0;
    pe->u32StructCRC = 0;
    ASSERT_EQ(PARAMS_ParametersSave(pe), ZR_SUCCESS);
    EXPECT_NE(pe->u32StructCRC, 0u);
    std::vector<U8> d = ReadBytes(RealPath());
    ASSERT_EQ(d.size(), 868u);
    EXPECT_EQ(0, memcmp(d.data(), pe, 868));
    EXPECT_EQ(PythonCheck(RealPath()), 0);
    EXPECT_EQ(PARAMS_ParametersSave(nullptr), ZR_ERR_PARAMS);
}

TEST_F(ParamsFile, VerifyResults)
{
    std::vector<U8> good = ReadBytes(RealPath());
    ASSERT_EQ(good.size(), 868u);
    EXPECT_EQ(PARAMS_VerifyConfigFiles(), ZR_SUCCESS);
    EXPECT_TRUE(FileExists());

    {  // 868 bytes with a bad record CRC: damaged.
        std::vector<U8> d = good;
        d[860] ^= 0x01;
        WriteBytes(d);
        LogWatch log;
        EXPECT_EQ(PARAMS_VerifyConfigFiles(), ZR_ERR_FAILURE);
        EXPECT_FALSE(FileExists());
        EXPECT_NE(log.Since().find("CRC fail"), std::string::npos);
    }
    {  // A body byte changed: the record CRC no longer matches.
        std::vector<U8> d = good;
        d[300] ^= 0x80;
        WriteBytes(d);
        EXPECT_EQ(PARAMS_VerifyConfigFiles(), ZR_ERR_FAILURE);
        EXPECT_FALSE(FileExists());
    }
    {  // 900 bytes with a valid CRC eight bytes before the end: migration.
        std::vector<U8> d(900, 0x5A);
        U32 crc = Common_CRC_Calculate(d.data(), 892, PARAMS_CRC_INIT);
        memcpy(d.data() + 892, &crc, 4);
        WriteBytes(d);
        LogWatch log;
        EXPECT_EQ(PARAMS_VerifyConfigFiles(), ZR_ERR_PARAMS_MIGRATION);
        EXPECT_FALSE(FileExists());
        EXPECT_NE(log.Since().find("Config file size [900] vs [868]"), std::string::npos);
    }
    {  // 900 bytes without a valid CRC: damaged.
        WriteBytes(std::vector<U8>(900, 0x5A));
        EXPECT_EQ(PARAMS_VerifyConfigFiles(), ZR_ERR_FAILURE);
    }
    {  // A short file: its length, then its name.
        WriteBytes(std::vector<U8>(good.begin(), good.begin() + 11));
        LogWatch log;
        EXPECT_EQ(PARAMS_VerifyConfigFiles(), ZR_ERR_FAILURE);
        EXPECT_FALSE(FileExists());
        EXPECT_NE(log.Since().find("config file len 11 too less[/product_data/K9_DTMB.conf]"), std::string::npos);
    }
    {  // Empty.
        WriteBytes({});
        EXPECT_EQ(PARAMS_VerifyConfigFiles(), ZR_ERR_FAILURE);
        EXPECT_FALSE(FileExists());
    }
    {  // Intact record of another version: migration.
        std::vector<U8> d = good;
        U32 version = 0x20160101;
        memcpy(d.data() + 4, &version, 4);
        U32 crc = Common_CRC_Calculate(d.data(), 860, PARAMS_CRC_INIT);
        memcpy(d.data() + 860, &crc, 4);
        WriteBytes(d);
        EXPECT_EQ(PARAMS_VerifyConfigFiles(), ZR_ERR_PARAMS_MIGRATION);
        EXPECT_FALSE(FileExists());
    }
    {  // Missing.
        LogWatch log;
        EXPECT_EQ(PARAMS_VerifyConfigFiles(), ZR_ERR_FAILURE);
        EXPECT_NE(log.Since().find("is not exist"), std::string::npos);
    }
}

TEST_F(ParamsFile, LoadAndApplyIntoLiveSets)
{
    ST_ZR_PARAMS* pe = PARAMS_GetCurParamsHandler();
    pe->st_DTMBParams.stDTMBParams.OutputFreq[2] = 555000;
    pe->st_IPMonitorParams.stIPMonitorParams.u16PSIInterval = 321;
    ASSERT_EQ(PARAMS_ParametersSave(pe), ZR_SUCCESS);
    ST_ZR_PARAMS saved = *pe;

    memset(&g_stCurPE, 0, sizeof(g_stCurPE));
    memset(GetDTMBPara_Handle(), 0, sizeof(TParameter_DTMB));
    ASSERT_EQ(PARAMS_VerifyConfigFiles(), ZR_SUCCESS);
    ASSERT_EQ(PARAMS_Load(), ZR_SUCCESS);
    EXPECT_EQ(0, memcmp(&g_stCurPE, &saved, sizeof(saved)));
    ASSERT_EQ(PARAMS_Update_DTMB(), ZR_SUCCESS);
    EXPECT_EQ(GetDTMBPara_Handle()->OutputFreq[2], 555000u);
    EXPECT_EQ(GetQAMIPMonitor_Handle()->u16PSIInterval, 321);

    // A damaged inner block is refused and the live sets keep what they held.
    g_stCurPE.st_DTMBParams.stDTMBParams.OutputFreq[2] = 1;
    EXPECT_EQ(PARAMS_Update_DTMB(), ZR_ERR_PARAMS);
    EXPECT_EQ(GetDTMBPara_Handle()->OutputFreq[2], 555000u);
    g_stCurPE = saved;
    g_stCurPE.st_IPMonitorParams.stIPMonitorParams.u16PSIInterval = 7;
    EXPECT_EQ(PARAMS_Update_DTMB(), ZR_ERR_PARAMS);
    EXPECT_EQ(GetQAMIPMonitor_Handle()->u16PSIInterval, 321);
}

TEST_F(ParamsFile, LoadOfShortFileLeavesRecordAlone)
{
    ST_ZR_PARAMS before = g_stCurPE;
    std::vector<U8> d = ReadBytes(RealPath());
    d.resize(500);
    WriteBytes(d);
    EXPECT_EQ(PARAMS_Load(), ZR_ERR_FAILURE);
    EXPECT_EQ(0, memcmp(&g_stCurPE, &before, sizeof(before)));
    unlink(RealPath().c_str());
    EXPECT_EQ(PARAMS_Load(), ZR_ERR_FAILURE);
}

TEST_F(ParamsFile, AnnexBApplyFixesSymbolRatesAndBandwidthOnly)
{
    g_u32ModulationMode = 4;
    TParameter_DTMB& s = g_stCurPE.st_DTMBParams.stDTMBParams;
    for (int ch = 0; ch < 8; ch++) {
        s.SymbolRate[ch] = 1111;
        s.Bandwidth_Sel[ch] = _8M_BW;
        s.AnnexBQAMMode[ch] = ANNEXB_QAM256;
    }
    s.AnnexBQAMMode[0] = ANNEXB_QAM64;
    s.AnnexBQAMMode[2] = ANNEXB_QAM_INVALID;
    ASSERT_EQ(PARAMS_ParametersSave(&g_stCurPE), ZR_SUCCESS);
    ST_ZR_PARAMS stored = g_stCurPE;

    ASSERT_EQ(PARAMS_Update_DTMB(), ZR_SUCCESS);
    const TParameter_DTMB* live = GetDTMBPara_Handle();
    EXPECT_EQ(live->SymbolRate[0], 5057u);
    EXPECT_EQ(live->SymbolRate[1], 5361u);
    EXPECT_EQ(live->SymbolRate[2], 1111u);
    for (int ch = 0; ch < 8; ch++)
        EXPECT_EQ(live->Bandwidth_Sel[ch], _6M_BW);
    // Neither the record nor the file changes.
    EXPECT_EQ(0, memcmp(&g_stCurPE, &stored, sizeof(stored)));
    EXPECT_EQ(0, memcmp(ReadBytes(RealPath()).data(), &stored, sizeof(stored)));
}

TEST_F(ParamsFile, LoadedSymbolRateIsKeptBelowTheConverterLimit)
{
    TParameter_DTMB& s = g_stCurPE.st_DTMBParams.stDTMBParams;
    s.SymbolRate[0] = 3000000;
    s.SymbolRate[1] = DTMB_SYMBOLRATE_MAX;
    ASSERT_EQ(PARAMS_ParametersSave(&g_stCurPE), ZR_SUCCESS);
    ASSERT_EQ(PARAMS_Update_DTMB(), ZR_SUCCESS);
    EXPECT_EQ(GetDTMBPara_Handle()->SymbolRate[0], DTMB_SYMBOLRATE_MAX);
    EXPECT_EQ(GetDTMBPara_Handle()->SymbolRate[1], DTMB_SYMBOLRATE_MAX);
    EXPECT_EQ(GetDTMBPara_Handle()->SymbolRate[2], 6875u);
}

TEST_F(ParamsFile, SettersCopyWholeSetsAndSave)
{
    TParameter_DTMB set = *GetDTMBPara_Handle();
    set.OutputFreq[7] = 777000;
    EXPECT_EQ(PARAMS_SetDTMBParams(set), ZR_SUCCESS);
    QAM_IPMonitorPara ipm = *GetQAMIPMonitor_Handle();
    ipm.u16DestPort = 4321;
    EXPECT_EQ(PARAMS_SetIPMonitorParams(&ipm), ZR_SUCCESS);
    EXPECT_EQ(PARAMS_SetIPMonitorParams(nullptr), ZR_ERR_PARAMS);

    std::vector<U8> d = ReadBytes(RealPath());
    ASSERT_EQ(d.size(), 868u);
    EXPECT_EQ(0, memcmp(d.data() + 88, &set, sizeof(set)));
    EXPECT_EQ(0, memcmp(d.data() + 12, &ipm, sizeof(ipm)));
    EXPECT_EQ(PythonCheck(RealPath()), 0);

    ST_ZR_DTMB blockDtmb;
    ST_ZR_IPMONITOR blockIpm;
    EXPECT_EQ(PARAMS_GetDTMBParams(&blockDtmb), ZR_SUCCESS);
    EXPECT_EQ(PARAMS_GetIPMonitorParams(&blockIpm), ZR_SUCCESS);
    EXPECT_EQ(0, memcmp(&blockDtmb, d.data() + 84, sizeof(blockDtmb)));
    EXPECT_EQ(0, memcmp(&blockIpm, d.data() + 8, sizeof(blockIpm)));
    EXPECT_EQ(PARAMS_GetDTMBParams(nullptr), ZR_ERR_PARAMS);
    EXPECT_EQ(PARAMS_GetIPMonitorParams(nullptr), ZR_ERR_PARAMS);
}

TEST_F(ParamsFile, StartUpFallsBackToFactoryValuesWithALogLine)
{
    // A damaged file: deleted, factory record written, logged.
    std::vector<U8> d = ReadBytes(RealPath());
    d[500] ^= 0xFF;
    WriteBytes(d);
    memset(&g_stCurPE, 0, sizeof(g_stCurPE));
    {
        LogWatch log;
        EXPECT_EQ(Master_PARAMS_Init(), ZR_SUCCESS);
        Log_SetOutputMode(LOG_OUTPUT_SYSLOG);
        std::string text = log.Since();
        EXPECT_NE(text.find("CRC fail"), std::string::npos);
        EXPECT_NE(text.find("Factory parameters"), std::string::npos);
        EXPECT_NE(text.find("Parameters factory"), std::string::npos);
    }
    EXPECT_EQ(g_stCurPE.u32StructStartTag, PARAMS_STRUCT_START_TAG);
    EXPECT_EQ(PARAMS_VerifyConfigFiles(), ZR_SUCCESS);
    EXPECT_EQ(PythonCheck(RealPath()), 0);

    // Another version: factory record without the "Factory parameters!" line.
    d = ReadBytes(RealPath());
    U32 version = 0x20150505;
    memcpy(d.data() + 4, &version, 4);
    U32 crc = Common_CRC_Calculate(d.data(), 860, PARAMS_CRC_INIT);
    memcpy(d.data() + 860, &crc, 4);
    WriteBytes(d);
    {
        LogWatch log;
        EXPECT_EQ(Master_PARAMS_Init(), ZR_SUCCESS);
        Log_SetOutputMode(LOG_OUTPUT_SYSLOG);
        std::string text = log.Since();
        EXPECT_EQ(text.find("Factory parameters"), std::string::npos);
        EXPECT_NE(text.find("Parameters factory"), std::string::npos);
    }
    EXPECT_EQ(g_stCurPE.u32StructVersionIndex, PARAMS_STRUCT_VERSION);
    EXPECT_EQ(PARAMS_VerifyConfigFiles(), ZR_SUCCESS);

    // A good file is loaded and applied, not replaced.
    g_stCurPE.st_DTMBParams.stDTMBParams.OutputFreq[0] = 499000;
    ASSERT_EQ(PARAMS_SaveCurParam(), ZR_SUCCESS);
    memset(GetDTMBPara_Handle(), 0, sizeof(TParameter_DTMB));
    EXPECT_EQ(Slave_PARAMS_Init(), ZR_SUCCESS);
    EXPECT_EQ(GetDTMBPara_Handle()->OutputFreq[0], 499000u);
}

TEST_F(ParamsFile, OnlyTheMasterFactoryResetsLogSettings)
{
    LogCtrl_ST custom = {8, 2, 2};
    ASSERT_EQ(PARAMS_WriteFile(LOG_SETTING_PATH, reinterpret_cast<U8*>(&custom), sizeof(custom)), ZR_SUCCESS);
    EXPECT_EQ(Slave_PARAMS_Factory(), ZR_SUCCESS);
    std::vector<U8> d = ReadBytes(plat::Path(LOG_SETTING_PATH));
    ASSERT_EQ(d.size(), 12u);
    EXPECT_EQ(0, memcmp(d.data(), &custom, 12));

    EXPECT_EQ(Master_PARAMS_Factory(), ZR_SUCCESS);
    Log_SetOutputMode(LOG_OUTPUT_SYSLOG);
    d = ReadBytes(plat::Path(LOG_SETTING_PATH));
    ASSERT_EQ(d.size(), 12u);
    LogCtrl_ST stored;
    memcpy(&stored, d.data(), 12);
    EXPECT_EQ(stored.emLogLevel, 14u);
    EXPECT_EQ(stored.emLogModule, 0xFFFFu);
    EXPECT_EQ(stored.emLogOutput, 255u);
}

TEST_F(ParamsFile, ConcurrentSavesNeverInterleave)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t] {
            ST_ZR_PARAMS mine = g_stCurPE;
            for (int i = 0; i < 40; i++) {
                mine.st_DTMBParams.stDTMBParams.OutputFreq[t] = 100000u * (U32)t + (U32)i;
                EXPECT_EQ(PARAMS_ParametersSave(&mine), ZR_SUCCESS);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(PARAMS_VerifyConfigFiles(), ZR_SUCCESS);
    EXPECT_EQ(PythonCheck(RealPath()), 0);
}

// A process killed in the middle of saving leaves the old or the new record,
// never a damaged file.
TEST_F(ParamsFile, KilledWhileSavingAlwaysLeavesAValidFile)
{
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> delayUs(0, 5000);
    std::string dir = plat::Path("/tarvex_data");
    for (U32 round = 1; round <= 150; round++) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(ready[0]);
            ST_ZR_PARAMS rec = g_stCurPE;
            for (U32 i = 0;; i++) {
                rec.st_DTMBParams.stDTMBParams.OutputFreq[0] = 1000000u * round + i;
                rec.st_IPMonitorParams.stIPMonitorParams.u16PSIInterval = (U16)i;
                PARAMS_ParametersSave(&rec);
                if (i == 0) {
                    char c = 1;
                    if (write(ready[1], &c, 1) != 1)
                        _exit(1);
                }
            }
        }
        close(ready[1]);
        // Let the writer finish its first record, then kill it at a random
        // moment of the saves that follow.
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        usleep((useconds_t)delayUs(rng));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        ASSERT_EQ(PARAMS_VerifyConfigFiles(), ZR_SUCCESS) << "round " << round;
        // Never an older record than one this writer completed.
        std::vector<U8> d = ReadBytes(RealPath());
        U32 freq;
        memcpy(&freq, d.data() + 88 + 128, 4);
        ASSERT_EQ(freq / 1000000u, round);
    }
    EXPECT_EQ(PythonCheck(RealPath()), 0);

    // The writers were killed in the middle of saves: their temporary files
    // are left behind (they are never the record; clear them).
    int interrupted = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.rfind("K9_DTMB.conf.tmp.", 0) == 0) {
                interrupted++;
                unlink((dir + "/" + name).c_str());
            }
        }
        closedir(d);
    }
    EXPECT_GT(interrupted, 0);
}

// Callers change fields of the record without a lock; a save running at the
// same time still writes a file whose CRCs match its bytes.
TEST_F(ParamsFile, RecordChangedDuringASaveStillGivesAConsistentFile)
{
    std::atomic<bool> stop{false};
    std::thread scribbler([&] {
        volatile U32* f = &g_stCurPE.st_DTMBParams.stDTMBParams.OutputFreq[7];
        for (U32 v = 0; !stop; v++)
            *f = v;
    });
    int bad = 0;
    for (int i = 0; i < 300 && bad == 0; i++) {
        PARAMS_SaveCurParam();
        std::vector<U8> d = ReadBytes(RealPath());
        ASSERT_EQ(d.size(), sizeof(ST_ZR_PARAMS));
        U32 rec, dtmb;
        memcpy(&rec, d.data() + 860, 4);
        memcpy(&dtmb, d.data() + 852, 4);
        if (rec != Common_CRC_Calculate(d.data(), 860, PARAMS_CRC_INIT) ||
            dtmb != Common_CRC_Calculate(d.data() + 84, 768, PARAMS_CRC_INIT))
            bad++;
    }
    stop = true;
    scribbler.join();
    EXPECT_EQ(bad, 0) << "a file with stale CRCs sends the card to factory values at the next start";
}
