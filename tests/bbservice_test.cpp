// Services for the back board on the simulated board: the network test's
// command check, the IP change's sender check, configuration import and export.
#include "Comm/ipcomm.h"
#include "Common/commonfun.h"
#include "Common/thread.h"
#include "Parameter/parameters.h"
#include "Parameter/paramexport.h"
#include "Common/oid/oiddata.h"
#include "Parameter/recoverdata.h"
#include "Platform/platform.h"
#include "SIprocess/SIsend.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "support/framepeer.h"
#include "support/testboard.h"
#include "mux_fixture.h"
#include "Upgrade/upgrade.h"
#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

std::string Root(const std::string& sys) { return TestBoardRoot() + sys; }

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        n++;
    return n;
}

// A "param_new.conf" image: header, then the JSON and OID parts.
std::string ConfigImage(U8 boardType, const std::string& json, const std::string& oid)
{
    ST_CONFIGPARA h;
    memset(&h, 0, sizeof(h));
    memcpy(&h.u32StructStartTag, "ARAP", 4);
    memcpy(&h.u32StructEndTag, "DNET", 4);
    h.u8BoardType = boardType;
    h.u8res[0] = (U8)(PARAMS_GetModulationMod() + 1);  // made by a card of this standard
    std::string body = json + oid;
    h.u32TotalSize = (U32)body.size();
    h.u32SysParamsLen = (U32)json.size();
    h.u32TsParamsLen = (U32)oid.size();
    h.u32FileCRC = Common_CRCCalculate(reinterpret_cast<U8*>(body.data()), (U32)body.size(), 0x04C11DB7);
    return std::string(reinterpret_cast<const char*>(&h), sizeof(h)) + body;
}

// Packs the files of `dir` (a real path) as the back board's "3conf.tar".
void Publish(const std::string& dir, const std::string& members)
{
    std::string ftp = Root("/backboard_ftp");
    ASSERT_EQ(system(("mkdir -p " + ftp + " && tar -czf " + ftp + "/3conf.tar -C " + dir + " " + members).c_str()), 0);
}

struct ImportBoard {
    std::string work = Root("/tmp_import");
    ImportBoard()
    {
        Status_SetSlotID(3);
        Resource_SetBackBoardIpAddr(0xC0A8010A);
        Resource_getSelfHandle()->u8BoardType = RESOURCE_BOARD_TYPE_SELF;
        plat::MakeDirs("/var/volatile");
        plat::MakeDirs("/tmp_import");
        unlink(Root("/backboard_ftp/3conf.tar").c_str());
    }
    ~ImportBoard() { system(("rm -rf " + work).c_str()); }
};

}  // namespace

TEST(BackBoardServices, NetworkTestRunsOnlyCheckedIperfLines)
{
    std::string log = Root("/trace/shell.log");
    size_t start = Slurp(log).size();  // earlier tests' lines are not this test's
    size_t before = Count(Slurp(log), "iperf3");
    char good[] = "iperf3 -c 192.168.1.10 -p 5201 -t 10 -b 100M";
    EXPECT_EQ(NetWorkQualityTest(reinterpret_cast<U8*>(good)), ZR_SUCCESS);
    std::string now = Slurp(log);
    EXPECT_EQ(Count(now, "iperf3"), before + 3);
    EXPECT_NE(now.find("-u' '-R'"), std::string::npos);
    before = Count(now, "iperf3");
    std::string longLine = "iperf3 -c 192.168.1.10";
    while (longLine.size() <= 993)
        longLine += " -t 1";
    for (std::string bad : std::vector<std::string>{"iperf3 -c 192.168.1.10; reboot", "iperf3 -c $(reboot)", "iperf3 -c 192.168.1.10 --logfile x",
                            "reboot -c 1", "iperf3 -c `id`", "iperf3 -c 192.168.1.10 -t", longLine})
        EXPECT_EQ(NetWorkQualityTest(reinterpret_cast<U8*>(bad.data())), ZR_ERR_PARAMS) << bad;
    EXPECT_EQ(NetWorkQualityTest(nullptr), ZR_ERR_PARAMS);
    now = Slurp(log);
    EXPECT_EQ(Count(now, "iperf3"), before);
    EXPECT_EQ(now.find("REFUSED", start), std::string::npos) << "nothing refused reached the runner";
}

TEST(BackBoardServices, IpChangeOnlyFromTheBackBoard)
{
    Resource_SetBackBoardIpAddr(0xC0A8010A);
    U8 data[16] = {0x29, 0x01, 0xA8, 0xC0};
    EXPECT_EQ(IPComm_ChangeIP(3, data), 1u);
    EXPECT_EQ(IPComm_ChangeIP(16, nullptr), 1u);
    EXPECT_EQ(Resource_getBoardIPAddress(16), 0xC0A8010Au);
}

TEST(BackBoardServices, ImportChecksAndStaleFiles)
{
    ImportBoard b;
    ASSERT_EQ(DATA_Save(), ZR_SUCCESS);  // a document of the card's own standard
    const std::string json = Slurp(Root(TARVEX_OID_JSON_FILE)), oid = "oid-dump";
    // A stale export left by an earlier transfer is never imported again.
    Spill(Root("/var/volatile/param_new.conf"), ConfigImage(RESOURCE_BOARD_TYPE_SELF, json, oid));
    Spill(Root("/var/volatile/3conf.tar"), "stale");
    EXPECT_EQ(IPComm_GetAndSetParam(), ZR_ERR_FAILURE);
    EXPECT_FALSE(FileExists(Root("/var/volatile/param_new.conf")));
    EXPECT_FALSE(FileExists(Root("/var/volatile/3conf.tar")));

    // Another board type, a changed body, a wrong length: refused and deleted.
    std::string other = ConfigImage(0x23, json, oid);
    std::string badCrc = ConfigImage(RESOURCE_BOARD_TYPE_SELF, json, oid);
    badCrc.back() ^= 1;
    std::string shortened = ConfigImage(RESOURCE_BOARD_TYPE_SELF, json, oid);
    shortened.pop_back();
    for (const std::string& image : {other, badCrc, shortened}) {
        Spill(b.work + "/param_new.conf", image);
        Publish(b.work, "param_new.conf");
        EXPECT_EQ(IPComm_GetAndSetParam(), ZR_ERR_FAILURE);
        EXPECT_FALSE(FileExists(Root("/var/volatile/param_new.conf")));
    }

    // A good image is written into place.
    ::unlink(Root(TARVEX_OID_FILE).c_str());
    Spill(b.work + "/param_new.conf", ConfigImage(RESOURCE_BOARD_TYPE_SELF, json, oid));
    Publish(b.work, "param_new.conf");
    EXPECT_EQ(IPComm_GetAndSetParam(), ZR_SUCCESS);
    EXPECT_EQ(Slurp(Root(TARVEX_OID_FILE)), oid);

    // An archive with a link among its members unpacks nothing.
    ASSERT_EQ(symlink("/etc/passwd", (b.work + "/param.conf").c_str()), 0);
    Publish(b.work, "param.conf param_new.conf");
    EXPECT_EQ(IPComm_GetAndSetParam(), ZR_ERR_FAILURE);
    EXPECT_FALSE(FileExists(Root("/var/volatile/param.conf")));
    EXPECT_FALSE(FileExists(Root("/var/volatile/param_new.conf")));
}

TEST(BackBoardServices, ExportPutsTheArchiveOnTheBackBoard)
{
    ImportBoard b;
    DATA_Save();
    EXPECT_EQ(FTP_SendBackUpPara(), ZR_SUCCESS);
    ASSERT_TRUE(FileExists(Root("/backboard_ftp/3conf.tar")));
    ASSERT_EQ(system(("tar -xzf " + Root("/backboard_ftp/3conf.tar") + " -C " + b.work).c_str()), 0);
    std::string image = Slurp(b.work + "/param_new.conf");
    EXPECT_EQ(PARAM_CheckConfigData(reinterpret_cast<const U8*>(image.data()), image.size()), ZR_SUCCESS);
}

TEST(BackBoardServices, EitInformationGoesToTheEitCard)
{
    RunInChildProcess([] {
        muxfix::ResetDb();
        U16 ts = muxfix::Stream(1, 0x77);
        TSP_GetTSParam()->pOutputTS[ts].u8SDTVersionNumber = 31;
        muxfix::Program(ts, 5, 2, 101, 0x100, 0x101);
        muxfix::Program(ts, 5, 2, 102, 0x110, 0x111);
        muxfix::Stream(2, 0x78, true);  // bypass: no records
        Resource_getSelfHandle()->u16OutputChannelNum = 8;
        // Without an EIT card nothing is sent.
        FramePeer eitCard(0x7FA80128, 8000, 7);
        ASSERT_TRUE(eitCard.Listening());
        IPComm_SendEITInfo();
        EXPECT_EQ(eitCard.Count(), 0u);

        TResource_TS* rec = Resource_GetHandle(7);
        memset(rec, 0, sizeof(*rec));
        rec->u8SlotID = 7;
        rec->u8BoardType = RESOURCE_BOARD_TYPE_EIT;
        rec->u8EitEnable = 1;
        rec->u32IPAddress = 0xC0A80128;  // 192.168.1.40
        IPComm_SendEITInfo();
        // Posted for the peer sender: this test sends what waits itself.
        SSD_FlushSubMessages();
        auto frames = eitCard.Frames();
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(frames[0].rec.u16CMD, IPCOMM_SEND_EITINFO);
        EXPECT_EQ(frames[1].rec.u16CMD, IPCOMM_SEND_EITINFO_OVER);
        EXPECT_EQ(frames[1].rec.u32Length, 0u);
        const ST_ZR_IPCOMM& m = frames[0].rec;
        ASSERT_EQ(m.u32Length, 4u + 2 * 180);
        EXPECT_EQ(m.pu8Data[0], 2);
        const U8* r1 = m.pu8Data + 4 + 180;
        EXPECT_EQ(r1[0], 1);                          // enabled
        EXPECT_EQ(r1[2], 5);                          // input slot
        EXPECT_EQ(r1[16] | r1[17] << 8, 1);           // number in the message
        EXPECT_EQ(r1[22] | r1[23] << 8, 102);         // input service id
        EXPECT_EQ(r1[26] | r1[27] << 8, 0x77);        // output TSID
        EXPECT_EQ(r1[96], 0);                         // (31 + 1) mod 32
    });
}

TEST(BackBoardServices, SlotUpgradeStatusReportsWhileAnFtpUpgradeRuns)
{
    RunInChildProcess([] {
        // Other tests' upgrades report to the same back-board address.
        PrivateLoopback();
        Resource_SetBackBoardIpAddr(0xC0A8010A);
        FramePeer bb(0x7FA8010A, 8000);
        ASSERT_TRUE(bb.Listening());
        g_isFtpUpgrading = 0;
        UpgradeProFlag.u8CurUpgradeProFlag = 3;
        THREAD_NEW_DETACH(Send_SlotUpgradeProccessStatus, nullptr, "Send_SlotUpgradeProccessStatus");
        usleep(1500000);
        EXPECT_EQ(bb.Count(), 0u) << "nothing while no FTP upgrade runs";
        g_isFtpUpgrading = 1;
        for (int i = 0; i < 50 && bb.Count() == 0; i++)
            usleep(100000);
        auto frames = bb.Frames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].rec.u16CMD, IPCOMM_SEND_PROCESS_UPGRADE);
        EXPECT_EQ(frames[0].rec.u32Length, sizeof(st_ZR_UPGRADE));
        EXPECT_EQ(frames[0].rec.pu8Data[14], 3);
        auto recycled = [] {
            return Slurp(TestBoardRoot() + "/trace/shell.log").find("umount /tarvex_data") != std::string::npos;
        };
        for (int i = 0; i < 30 && !recycled(); i++)
            usleep(100000);
        EXPECT_TRUE(recycled()) << "the reboot is prepared after the report";
        EXPECT_EQ(bb.Count(), 1u) << "the same stage is sent once";
    });
}
