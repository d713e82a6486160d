// Firmware upgrade with images built by python: the version gate, header
// and payload faults, unsafe archives, a good installation with its scripts
// recorded, the stages of an FTP upgrade, the time-out and the envelope.
#include "Common/oid/oiddata.h"
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include "Upgrade/upgrade.h"
#include "Driver/PHY/phy.h"
#include "support/testboard.h"
#include <cJSON.h>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {

const U8* kFile = reinterpret_cast<const U8*>(UPGRADE_FILE);

// kind: good, nozz (no "zz.zz"), norun (no "run.sh"), dotdot ("../x"), symlink, badcrc, longlen
// (DataLength beyond the file).
void MakeImage(const std::string& out, const std::string& version, const std::string& kind = "good",
               int boardType = 34)
{
    static const char* kScript = R"PY(
import io, struct, sys, tarfile, crcmod
crc = crcmod.mkCrcFun(0x104C11DB7, initCrc=0xFFFFFFFF, rev=False, xorOut=0)
out, version, board, kind = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
buf = io.BytesIO()
t = tarfile.open(fileobj=buf, mode='w', format=tarfile.GNU_FORMAT)
def add(name, data):
    i = tarfile.TarInfo(name); i.size = len(data); i.mode = 0o755
    t.addfile(i, io.BytesIO(data))
if kind != 'nozz': add('zz.zz', b'z')
if kind != 'norun': add('run.sh', b'#!/bin/sh\nexit 0\n')
if kind == 'dotdot': add('../x', b'x')
if kind == 'symlink':
    i = tarfile.TarInfo('link'); i.type = tarfile.SYMTYPE; i.linkname = '/tmp'; t.addfile(i)
t.close()
payload = buf.getvalue()
length = len(payload) + (1000 if kind == 'longlen' else 0)
c = crc(payload) ^ (1 if kind == 'badcrc' else 0)
hdr = struct.pack('<9I20sI20sI4sIII', 0x99999999, 1, 256, board, 0, 0, length, 0, c, b'fw', 0,
                  version.encode(), 0, b'', 26, 0, 0)
open(out, 'wb').write(hdr + bytes(256 - len(hdr)) + payload)
)PY";
    std::string script = TestBoardRoot() + "/mkimage.py";
    std::ofstream(script) << kScript;
    std::string cmd = "/usr/bin/python3 '" + script + "' '" + out + "' '" + version + "' " +
                      std::to_string(boardType) + " " + kind;
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
}

// The shell log from where the current test began.
size_t g_logStart = 0;
std::string ShellLog() { return Slurp(TestBoardRoot() + "/trace/shell.log").substr(g_logStart); }

class Upgrade : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_logStart = Slurp(TestBoardRoot() + "/trace/shell.log").size();
        upgrade_TestSetSecondMs(1);
        upgrade_TestSetPhyChipType(PhyUnknown());
        Resource_getSelfHandle()->u8BoardType = RESOURCE_BOARD_TYPE_SELF;
        Resource_SetBackBoardIpAddr(0xC0A8010A);
        FTP_UpgradeProfileInit();
    }
    void TearDown() override
    {
        upgrade_TestSetSecondMs(1000);
        upgrade_TestSetPhyChipType(-1);
    }
    static int PhyUnknown() { return (int)Phy88E1510; }
    zrErrCode Install(const std::string& version, const std::string& kind = "good", int boardType = 34)
    {
        MakeImage(plat::Path(UPGRADE_FILE), version, kind, boardType);
        return upgrade_UpgradeSystem(kFile);
    }
};

}  // namespace

TEST_F(Upgrade, VersionGate)
{
    EXPECT_EQ(Install("V1.2.1"), ZR_ERR_UPGRADE_TO_LOW_VERSION);
    EXPECT_EQ(UpgradeProFlag.u32TmpVersion, 0x10201u);
    EXPECT_EQ(UpgradeProFlag.u32ErrorCode, (U32)ZR_ERR_UPGRADE_TO_LOW_VERSION);
    EXPECT_EQ(UpgradeProFlag.u8CurUpgradeProFlag, UPGRADE_STAGE_FAILED);
    EXPECT_FALSE(FileExists(plat::Path(UPGRADE_FILE)));
    EXPECT_EQ(Install("V0.9.9"), ZR_ERR_VER);  // major limit 0 without a YT8521
    EXPECT_EQ(Install("V256.0.0"), ZR_ERR_UPGRADE_WITHOUT_TMP_VERSION);
    EXPECT_EQ(Install("V1.2.2"), ZR_SUCCESS);
    // Nothing of the refusals carries over into the good upgrade's record.
    EXPECT_EQ(UpgradeProFlag.u32ErrorCode, 0u);
    EXPECT_EQ(UpgradeProFlag.u32TmpVersion, 0u);

    upgrade_TestSetPhyChipType((int)PhyYT8521);
    EXPECT_EQ(Install("V2.0.5"), ZR_ERR_VER);
    EXPECT_EQ(Install("V1.4.30"), ZR_ERR_UPGRADE_TO_LOW_VERSION);
    EXPECT_EQ(UpgradeProFlag.u32TmpVersion, 0x01041Eu);
    EXPECT_EQ(Install("V1.4.31"), ZR_SUCCESS);
    U32 v = 0;
    MakeImage(plat::Path(UPGRADE_FILE), "V1.4.31xxxxxxxxxxxxxxxxxxxxx");  // no terminator in the header
    EXPECT_EQ(GetUpgradeFileSwVersion(kFile, &v), ZR_SUCCESS);
    EXPECT_EQ(v, 0x01041Fu);
}

TEST_F(Upgrade, BadImagesAreRefusedAndDeleted)
{
    EXPECT_EQ(Install("V1.3.0", "good", 35), ZR_ERR_UPGRADE_CHECK_HEADER);
    EXPECT_EQ(Install("V1.3.0", "badcrc"), ZR_ERR_CRC);
    EXPECT_EQ(Install("V1.3.0", "longlen"), ZR_ERR_FILE_CAN_NOT_READE);
    EXPECT_FALSE(FileExists(plat::Path(UPGRADE_FILE)));
    MakeImage(plat::Path(UPGRADE_FILE), "V1.3.0", "badcrc");
    EXPECT_EQ(upgrade_CheckFile(kFile), ZR_ERR_CRC);
    MakeImage(plat::Path(UPGRADE_FILE), "V1.3.0", "longlen");
    EXPECT_EQ(upgrade_CheckFile(kFile), ZR_ERR_FILE_CAN_NOT_READE);

    EXPECT_EQ(Install("V1.3.0", "nozz"), ZR_ERR_TAR_UPGRADE_FILE_ERROR);
    EXPECT_FALSE(FileExists(plat::Path("/var/volatile/upgrade")));
    EXPECT_EQ(ShellLog().find("/var/volatile/upgrade/run.sh\n"), std::string::npos);  // never reached
    // Without its install script nothing is installed: no version is recorded.
    ASSERT_EQ(Install("V1.3.1"), ZR_SUCCESS);
    EXPECT_EQ(Install("V1.3.2", "norun"), ZR_ERR_TAR_UPGRADE_FILE_ERROR);
    EXPECT_EQ(UpgradeProFlag.u8CurUpgradeProFlag, UPGRADE_STAGE_FAILED);
    EXPECT_EQ(GetRealSoftVersion(), 0x010301u);
    EXPECT_FALSE(FileExists(plat::Path("/var/volatile/upgrade")));

    // Unsafe archives are refused by the upgrade itself: never handed to tar.
    g_logStart = Slurp(TestBoardRoot() + "/trace/shell.log").size();
    EXPECT_EQ(Install("V1.3.0", "dotdot"), ZR_ERR_TAR_UPGRADE_FILE_ERROR);
    EXPECT_FALSE(FileExists(plat::Path("/var/volatile/x")));
    EXPECT_EQ(Install("V1.3.0", "symlink"), ZR_ERR_TAR_UPGRADE_FILE_ERROR);
    EXPECT_FALSE(FileExists(plat::Path("/var/volatile/upgrade/zz.zz")));
    EXPECT_EQ(UpgradeProFlag.u32ErrorCode, (U32)ZR_ERR_TAR_UPGRADE_FILE_ERROR);
    EXPECT_EQ(ShellLog().find("tar xvf"), std::string::npos);
}

TEST_F(Upgrade, GoodImageInstallsWithItsScriptsRecordedOnly)
{
    ASSERT_EQ(Install("V1.5.7"), ZR_SUCCESS);
    EXPECT_EQ(UpgradeProFlag.u8CurUpgradeProFlag, UPGRADE_STAGE_DONE);
    EXPECT_FALSE(FileExists(plat::Path(UPGRADE_FILE)));
    EXPECT_FALSE(FileExists(plat::Path("/var/volatile/upgrade")));

    cJSON* v = cJSON_Parse(Slurp(plat::Path(UPGRADE_VERSION_FILE)).c_str());
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(v, "BigVerNum")->valueint, 1);
    EXPECT_EQ(cJSON_GetObjectItem(v, "MidVerNum")->valueint, 5);
    EXPECT_EQ(cJSON_GetObjectItem(v, "MinVerNum")->valueint, 7);
    EXPECT_EQ(cJSON_GetObjectItem(v, "MachineType")->valueint, 26);
    EXPECT_EQ(cJSON_GetObjectItem(v, "BoardType")->valueint, 34);
    cJSON_Delete(v);
    EXPECT_EQ(GetRealSoftVersion(), 0x010507u);

    std::string log = ShellLog();
    EXPECT_NE(log.find("RUN tar xvf /var/volatile/upgradefile -C /var/volatile/upgrade/"), std::string::npos);
    EXPECT_NE(log.find("RECORD /var/volatile/upgrade/run.sh"), std::string::npos);
    EXPECT_NE(log.find("RECORD /tarvex_app/app/copy2jffs2.sh"), std::string::npos);
    EXPECT_EQ(log.find("RUN /var/volatile/upgrade/run.sh"), std::string::npos);
    EXPECT_EQ(log.find("mount -t jffs2"), std::string::npos);  // the version file took
    // The configuration crosses the upgrade in a dump kept at the next start.
    EXPECT_EQ(Slurp(plat::Path(TARVEX_OID_FILE)).substr(0, 2), std::string("\x01\x00", 2));

    // A version file that did not take is repaired through the JFFS2 side.
    Spill(plat::Path(UPGRADE_VERSION_FILE), "{}");
    ImageHeader_t h{};
    memcpy(h.ucSoftwareVersion, "V1.5.8", 6);
    upgrade_CheckSoftVersionModify(&h);
    EXPECT_NE(ShellLog().find("RECORD mount -t jffs2 /dev/mtdblock6 /tmp/jffs2"), std::string::npos);
    EXPECT_NE(Slurp(plat::Path("/tmp/jffs2/upgradeVersion.json")).find("\"MinVerNum\":\t8"), std::string::npos);
}

namespace {
std::mutex g_stagesMutex;
std::vector<U8> g_stages;
void Observe(U8 stage)
{
    std::lock_guard<std::mutex> lk(g_stagesMutex);
    if (g_stages.empty() || g_stages.back() != stage)
        g_stages.push_back(stage);
}
}  // namespace

TEST_F(Upgrade, FtpUpgradeGoesThroughEveryStage)
{
    RunInChildProcess([] {
        upgrade_TestSetStageObserver(Observe);
        MakeImage(TestBoardRoot() + "/backboard_ftp/upgradefile", "V1.6.0");
        EXPECT_EQ(upgrade_FTPUpgradeMode(), 0);
        EXPECT_EQ(SubUpgrade_TimeoutStart(), ZR_SUCCESS);
        EXPECT_EQ(upgrade_UpgradeSystem(kFile), ZR_SUCCESS);
        std::vector<U8> want = {3, 4, 5, 6, 7, 8, 9, 10};
        std::lock_guard<std::mutex> lk(g_stagesMutex);
        EXPECT_EQ(g_stages, want);
        EXPECT_NE(ShellLog().find("RUN ftpget 192.168.1.10 upgradefile"), std::string::npos);
    });
    // Nothing to fetch: seven tries, then failed with 2565.
    ::unlink((TestBoardRoot() + "/backboard_ftp/upgradefile").c_str());
    EXPECT_EQ(upgrade_FTPUpgradeMode(), 0);
    EXPECT_EQ(UpgradeProFlag.u8CurUpgradeProFlag, UPGRADE_STAGE_FAILED);
    EXPECT_EQ(UpgradeProFlag.u32ErrorCode, (U32)ZR_ERR_FTP_DOWNLOAD_FILE_FAIL);
}

TEST_F(Upgrade, ReporterTimeOutStopsTheInstallation)
{
    UpgradeProFlag.u8CurUpgradeProFlag = 4;
    upgradeCheckSubTimeout(UPGRADE_REPORT_TIMEOUT_S);
    EXPECT_EQ(UpgradeProFlag.u8CurUpgradeProFlag, 4);
    upgradeCheckSubTimeout(UPGRADE_REPORT_TIMEOUT_S + 1);
    EXPECT_EQ(UpgradeProFlag.u8CurUpgradeProFlag, UPGRADE_STAGE_FAILED);
    EXPECT_EQ(UpgradeProFlag.u32ErrorCode, (U32)ZR_ERR_FTP_UPGRADE_TIME_OUT);
    EXPECT_TRUE(g_isUpgardeTimeOut);
    EXPECT_EQ(Install("V1.3.0"), ZR_ERR_FTP_UPGRADE_TIME_OUT);
    EXPECT_FALSE(g_isUpgardeTimeOut);  // the next installation starts clean
    EXPECT_EQ(Install("V1.3.0"), ZR_SUCCESS);
}

TEST_F(Upgrade, MultipartEnvelopeIsStripped)
{
    const std::string file = plat::Path("/tmp/nit.bin");
    const U8* name = reinterpret_cast<const U8*>("/tmp/nit.bin");
    const std::string head = "------abc\r\nContent-Disposition: form-data; name=\"f\"; filename=\"n.bin\"\r\n"
                             "Content-Type: application/octet-stream\r\n\r\n";
    Spill(file, head + std::string("PAY\0LOAD", 8) + "\r\n------abc--\r\n");
    EXPECT_EQ(upgrade_DelNetHeader(name), ZR_SUCCESS);
    EXPECT_EQ(Slurp(file), std::string("PAY\0LOAD", 8));
    for (const std::string& bad : {head + "no tail", std::string("------abc\r\nno header\r\n"), std::string("x")}) {
        Spill(file, bad);
        EXPECT_EQ(upgrade_DelNetHeader(name), ZR_ERR_UPGRADE_CHECK_NET_HEADER);
        EXPECT_EQ(Slurp(file), bad);
    }
}

namespace {
zrErrCode g_secondInstall = ZR_SUCCESS;
void InstallAgainAtStage4(U8 stage)
{
    if (stage == 4)
        g_secondInstall = upgrade_UpgradeSystem(reinterpret_cast<const U8*>(UPGRADE_FILE));
}
}  // namespace

// An image sent again while the first installs (two chip-link transfers in a
// row) once ran two installations over the same OID tree and freed it twice.
TEST_F(Upgrade, SecondInstallationWhileOneRunsIsRefused)
{
    upgrade_TestSetStageObserver(InstallAgainAtStage4);
    EXPECT_EQ(Install("V1.5.7"), ZR_SUCCESS);
    upgrade_TestSetStageObserver(nullptr);
    EXPECT_EQ(g_secondInstall, ZR_ERR_FAILURE);
    EXPECT_EQ(UpgradeProFlag.u8CurUpgradeProFlag, UPGRADE_STAGE_DONE);
    // Once done, the next one installs.
    EXPECT_EQ(Install("V1.5.8"), ZR_SUCCESS);
}
