// Slot resource table, this card's own record, the back board's chassis-wide
// settings, and the card status.
#include "Comm/maccomm.h"
#include "Common/err.h"
#include "DTMB/dtmb_param.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Platform/board_state.h"
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "support/testboard.h"
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

std::string ReadText(const std::string& sysPath)
{
    std::ifstream in(plat::Path(sysPath));
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Text appended to a file of the board root after construction.
class Tail {
public:
    explicit Tail(std::string path) : path_(std::move(path)), start_(ReadText(path_).size()) {}
    std::string Text() const
    {
        std::string all = ReadText(path_);
        return all.size() > start_ ? all.substr(start_) : std::string();
    }

private:
    std::string path_;
    size_t start_;
};

std::string ShellLogPath() { return "/trace/shell.log"; }
TResource_TS MakeRecord(U8 slot, U8 type)
{
    TResource_TS r;
    memset(&r, 0, sizeof(r));
    r.u8SlotID = slot;
    r.u8BoardType = type;
    return r;
}

class Resources : public ::testing::Test {
protected:
    void SetUp() override
    {
        mode_ = g_u32ModulationMode;
        channels_ = g_u8OutputChannelNum;
        for (U8 s = 0; s < MAX_SLOT_NUM; s++)
            memset(Resource_GetHandle(s), 0, sizeof(TResource_TS));
        u8EitSlot = RESOURCE_NO_SLOT;
        MAC_SI_MODE = 0;
        g_u8SendResourceOk = 0;
        g_isFirstInitBackboard = 0;
        Status_SetSlotID(3);
        Status_SetSubBoardPlugStatus(0);
        unlink(plat::Path("/tarvex_data/upgradeVersion.json").c_str());
        unlink(plat::Path("/tarvex_app/app/upgrade.json").c_str());
    }
    void TearDown() override
    {
        g_u32ModulationMode = mode_;
        g_u8OutputChannelNum = channels_;
        err_SetLanguage(EN_LANGUAGE_CN);
    }

    U32 mode_ = 0;
    U8 channels_ = 8;
};

}  // namespace

TEST_F(Resources, OwnRecordAndDescriptors)
{
    struct Case {
        U32 mode;
        U8 channels;
        const char* desc;
        U8 eit;
    } cases[] = {
        {0, 8, "QV-DTMB-01A", 1}, {0, 4, "QV-DTMB-01", 1},   {1, 8, "QV-OFDM-01A", 1},
        {3, 4, "QV-QAMA-01", 1},  {4, 8, "QV-QAMB-01A", 0},  {5, 4, "QV-ISDBT-01", 1},
        {6, 8, "QV-8VSB-01A", 0}, {2, 8, "QV-DTMB-01A", 1},
    };
    for (const Case& c : cases) {
        g_u32ModulationMode = c.mode;
        g_u8OutputChannelNum = c.channels;
        ASSERT_EQ(Resource_Init(), 0u);
        TResource_TS* self = Resource_getSelfHandle();
        ASSERT_EQ(self, Resource_GetHandle(3));
        char desc[21] = {0};
        memcpy(desc, self->u8BoardDescriptor, 20);
        EXPECT_STREQ(desc, c.desc);
        EXPECT_EQ((const void*)pu8BoardName_DTMB, (const void*)self->u8BoardDescriptor);
        EXPECT_EQ(self->u8SlotID, 3);
        EXPECT_EQ(self->u8BoardType, 0x22);
        EXPECT_EQ(self->u8BoardFunctionType, 3);
        EXPECT_EQ(self->u8PortNum, 1);
        EXPECT_EQ(self->u16OutputChannelNum, c.channels);
        EXPECT_EQ(self->u8Standard, c.mode);
        EXPECT_EQ(self->u32UpgradeTime, 210u);
        EXPECT_EQ(self->u8FTPUpgrade, 2);
        EXPECT_EQ(self->u8isProxy, 1);
        EXPECT_EQ(self->u8isDelChannelProg, 1);
        EXPECT_EQ(self->u8EitEnable, c.eit);
        // Without version files the fallback version is reported.
        EXPECT_EQ(self->u32SoftVersion, RESOURCE_SOFT_VERSION_FALLBACK);
        EXPECT_EQ(self->u32SoftBuildVersion, RESOURCE_SOFT_VERSION_FALLBACK);
    }
}

TEST_F(Resources, HardwareVersionPicksTheRevisedDescriptor)
{
    simboard::Profile* prof = simboard::GetProfile();
    ASSERT_NE(prof, nullptr);
    U32 saved[3] = {prof->hwVersionPins[0], prof->hwVersionPins[1], prof->hwVersionPins[2]};
    prof->hwVersionPins[0] = 0;
    prof->hwVersionPins[1] = 1;  // hardware version 2
    prof->hwVersionPins[2] = 0;
    unlink(plat::Path("/tarvex_app/app/upgrade_4g.jason").c_str());
    g_u32ModulationMode = 3;
    g_u8OutputChannelNum = 8;
    ASSERT_EQ(Resource_Init(), 0u);
    char desc[21] = {0};
    memcpy(desc, Resource_getSelfHandle()->u8BoardDescriptor, 20);
    EXPECT_STREQ(desc, "QV-QAMA-R01A");
    EXPECT_EQ(Resource_getSelfHandle()->u32HardVersion, 2u);
    EXPECT_EQ(access(plat::Path("/tarvex_app/app/upgrade_4g.jason").c_str(), F_OK), 0);
    g_u8OutputChannelNum = 4;
    ASSERT_EQ(Resource_Init(), 0u);
    memcpy(desc, Resource_getSelfHandle()->u8BoardDescriptor, 20);
    EXPECT_STREQ(desc, "QV-QAMA-R01");
    for (int i = 0; i < 3; i++)
        prof->hwVersionPins[i] = saved[i];
}

TEST_F(Resources, SoftwareVersionFromVersionFiles)
{
    const char* json = "{\"BigVerNum\": 2, \"MidVerNum\": 11, \"MinVerNum\": 7}";
    ASSERT_TRUE(plat::WriteFileAtomic("/tarvex_app/app/upgrade.json", json, strlen(json)));
    U32 v = 0;
    EXPECT_TRUE(Resource_GetSoftBuildVersion(&v));
    EXPECT_EQ(v, 0x020B07u);
    v = 0;
    EXPECT_TRUE(Resource_GetSoftVersion(&v));
    EXPECT_EQ(v, 0x020B07u);
    // The recorded version file is taken from the shipped one when missing.
    EXPECT_EQ(ReadText("/tarvex_data/upgradeVersion.json"), json);

    const char* other = "{\"BigVerNum\": 3, \"MidVerNum\": 0, \"MinVerNum\": 1}";
    ASSERT_TRUE(plat::WriteFileAtomic("/tarvex_data/upgradeVersion.json", other, strlen(other)));
    EXPECT_EQ(GetRealSoftVersion(), 0x030001u);
    EXPECT_EQ(GetRealSoftBuildVersion(), 0x020B07u);

    const char* missingKey = "{\"BigVerNum\": 3, \"MidVerNum\": 0}";
    ASSERT_TRUE(plat::WriteFileAtomic("/tarvex_data/upgradeVersion.json", missingKey, strlen(missingKey)));
    EXPECT_EQ(GetRealSoftVersion(), RESOURCE_SOFT_VERSION_FALLBACK);
    ASSERT_TRUE(plat::WriteFileAtomic("/tarvex_data/upgradeVersion.json", "", 0));
    EXPECT_FALSE(Resource_GetSoftVersion(&v));
    ASSERT_TRUE(plat::WriteFileAtomic("/tarvex_data/upgradeVersion.json", "not json", 8));
    EXPECT_FALSE(Resource_GetSoftVersion(&v));
    EXPECT_FALSE(Resource_GetSoftVersion(nullptr));
}

TEST_F(Resources, RecordsAreStoredUnderTheSlotTheyCarry)
{
    Tail shell(ShellLogPath());
    TResource_TS rec = MakeRecord(5, 0x10);
    rec.u32IPAddress = 0xC0A80105;
    rec.u8isDelChannelProg = 1;
    // Relayed by the back board for slot 5: stored, no back-board settings.
    Resource_SetSlotResource(SLOT_BB, reinterpret_cast<U8*>(&rec));
    EXPECT_EQ(0, memcmp(Resource_GetHandle(5), &rec, sizeof(rec)));
    EXPECT_EQ(Resource_getBoardIPAddress(5), 0xC0A80105u);
    EXPECT_EQ(g_u8SendResourceOk, 0);
    EXPECT_EQ(shell.Text().find("dropbear"), std::string::npos);

    // Sent by a card directly, whatever slot argument it came with.
    TResource_TS other = MakeRecord(7, 0x11);
    Resource_SetSlotResource(2, reinterpret_cast<U8*>(&other));
    EXPECT_EQ(Resource_getBoardType(7), 0x11u);
    EXPECT_EQ(Resource_getBoardType(2), 0u);

    // A slot number beyond the back board is ignored.
    TResource_TS bad = MakeRecord(17, 0x12);
    TResource_TS before[MAX_SLOT_NUM];
    for (U8 s = 0; s < MAX_SLOT_NUM; s++)
        before[s] = *Resource_GetHandle(s);
    Resource_SetSlotResource(SLOT_BB, reinterpret_cast<U8*>(&bad));
    Resource_SetSlotResource(SLOT_BB, nullptr);
    for (U8 s = 0; s < MAX_SLOT_NUM; s++)
        EXPECT_EQ(0, memcmp(Resource_GetHandle(s), &before[s], sizeof(TResource_TS))) << (int)s;
}

TEST_F(Resources, BackBoardRecordAppliesChassisSettings)
{
    g_u32ModulationMode = 3;
    Tail shell(ShellLogPath());
    TResource_TS bb = MakeRecord(SLOT_BB, 0x01);
    bb.u8VlanEnable = 1;
    bb.u8DisableSSH = 1;
    bb.u8Language = EN_LANGUAGE_EN;
    Resource_SetSlotResource(SLOT_BB, reinterpret_cast<U8*>(&bb));
    EXPECT_EQ(g_u8SendResourceOk, 1);
    EXPECT_EQ(g_isFirstInitBackboard, 1u);
    EXPECT_EQ(g_enLanguage, EN_LANGUAGE_EN);
    EXPECT_EQ(simboard::PeekReg(352), 31u);
    EXPECT_EQ(simboard::PeekReg(359), 0x81000001u);
    EXPECT_EQ(simboard::PeekReg(360), 0x81000001u);
    EXPECT_EQ(simboard::PeekReg(361), 0x81000002u);
    EXPECT_NE(shell.Text().find("/etc/init.d/dropbear stop"), std::string::npos);

    Tail shell2(ShellLogPath());
    bb.u8VlanEnable = 0;
    bb.u8DisableSSH = 0;
    Resource_SetSlotResource(SLOT_BB, reinterpret_cast<U8*>(&bb));
    EXPECT_EQ(simboard::PeekReg(352), 0u);
    EXPECT_NE(shell2.Text().find("/etc/init.d/dropbear start"), std::string::npos);
}

TEST_F(Resources, AnnexBStandardChangeRespacesOrReplansChannels)
{
    g_u32ModulationMode = 4;
    TParameter_DTMB* live = GetDTMBPara_Handle();
    TParameter_DTMB saved = *live;
    live->u32ATSCChannelMode = 2;
    g_u8SendResourceOk = 1;

    TResource_TS bb = MakeRecord(SLOT_BB, 0x01);
    bb.u8Standard = 1;  // ATSC-style SI: the channel plan of the set
    Resource_SetSlotResource(SLOT_BB, reinterpret_cast<U8*>(&bb));
    const U32 kPlan2[8] = {57000, 63000, 69000, 79250, 177000, 183000, 189000, 195000};
    EXPECT_EQ(0, memcmp(live->OutputFreq, kPlan2, sizeof(kPlan2)));
    EXPECT_EQ(MAC_SI_MODE, 1);
    EXPECT_EQ(Resource_GetSIMode(), 1);

    live->OutputFreq[0] = 500000;
    live->OutputFreq[4] = 600000;
    bb.u8Standard = 0;  // DVB SI: 6 MHz steps from each chip's first channel
    Resource_SetSlotResource(SLOT_BB, reinterpret_cast<U8*>(&bb));
    const U32 kSpaced[8] = {500000, 506000, 512000, 518000, 600000, 606000, 612000, 618000};
    EXPECT_EQ(0, memcmp(live->OutputFreq, kSpaced, sizeof(kSpaced)));
    EXPECT_EQ(MAC_SI_MODE, 0);
    EXPECT_EQ(Resource_GetSIMode(), 0);

    // A standard of 2 or more is not remembered.
    bb.u8Standard = 2;
    Resource_SetSlotResource(SLOT_BB, reinterpret_cast<U8*>(&bb));
    EXPECT_EQ(MAC_SI_MODE, 0);
    EXPECT_EQ(0, memcmp(live->OutputFreq, kSpaced, sizeof(kSpaced)));
    *live = saved;
}

TEST_F(Resources, EitBoardAndSIMode)
{
    g_u32ModulationMode = 0;
    TResource_TS rec = MakeRecord(4, 0x10);
    Resource_SetSlotResource(4, reinterpret_cast<U8*>(&rec));
    EXPECT_EQ(Resource_GetEITBoardSlot(), RESOURCE_NO_SLOT);
    EXPECT_EQ(u8EitSlot, RESOURCE_NO_SLOT);

    TResource_TS eit = MakeRecord(9, RESOURCE_BOARD_TYPE_EIT);
    eit.u8EitEnable = 0;
    Resource_SetSlotResource(SLOT_BB, reinterpret_cast<U8*>(&eit));
    EXPECT_EQ(u8EitSlot, RESOURCE_NO_SLOT);  // not enabled: not the EIT source
    eit.u8EitEnable = 1;
    Resource_SetSlotResource(SLOT_BB, reinterpret_cast<U8*>(&eit));
    EXPECT_EQ(u8EitSlot, 9);
    TResource_TS eit2 = MakeRecord(6, RESOURCE_BOARD_TYPE_EIT);
    eit2.u8EitEnable = 1;
    Resource_SetSlotResource(SLOT_BB, reinterpret_cast<U8*>(&eit2));
    EXPECT_EQ(u8EitSlot, 6);  // the lowest slot wins

    EXPECT_EQ(Resource_GetSIMode(), 0);
    g_u32ModulationMode = 6;
    EXPECT_EQ(Resource_GetSIMode(), 1);
    g_u32ModulationMode = 4;
    Resource_GetHandle(SLOT_BB)->u8Standard = 2;
    EXPECT_EQ(Resource_GetSIMode(), 2);
}

TEST_F(Resources, RefreshClearsUnpluggedSlotsOnly)
{
    for (U8 s = 0; s < MAX_SLOT_NUM; s++)
        Resource_GetHandle(s)->u32IPAddress = 0x0A000000u + s;
    Status_SetSubBoardPlugStatus((1u << 2) | (1u << 15));
    Resource_Refresh();
    for (U8 s = 0; s < 16; s++)
        EXPECT_EQ(Resource_GetHandle(s)->u32IPAddress, (s == 2 || s == 15) ? 0x0A000000u + s : 0u) << (int)s;
    EXPECT_EQ(Resource_GetHandle(SLOT_BB)->u32IPAddress, 0x0A000010u);
}

TEST_F(Resources, DeleteByChannelSupportOfEveryBoard)
{
    Status_SetSubBoardPlugStatus((1u << 2) | (1u << 3) | (1u << 8) | (1u << 9));
    *Resource_GetHandle(2) = MakeRecord(2, 0x10);
    Resource_GetHandle(2)->u8isDelChannelProg = 1;
    *Resource_GetHandle(8) = MakeRecord(8, RESOURCE_BOARD_TYPE_OTHER);  // not checked
    *Resource_GetHandle(9) = MakeRecord(9, RESOURCE_BOARD_TYPE_EIT);    // not checked
    *Resource_GetHandle(SLOT_BB) = MakeRecord(SLOT_BB, 0x01);
    Resource_GetHandle(SLOT_BB)->u8isDelChannelProg = 1;
    Resource_GetHandle(5)->u8isDelChannelProg = 0;  // not plugged: not checked
    EXPECT_EQ(Resource_IsAllBoardSupportDelChannelProg(), 1);   // slot 3 is this card
    Resource_GetHandle(2)->u8isDelChannelProg = 0;
    EXPECT_EQ(Resource_IsAllBoardSupportDelChannelProg(), 0);
    Resource_GetHandle(2)->u8isDelChannelProg = 1;
    Resource_GetHandle(SLOT_BB)->u8isDelChannelProg = 0;  // the back board is always examined
    EXPECT_EQ(Resource_IsAllBoardSupportDelChannelProg(), 0);
}

TEST_F(Resources, DescriptorUpdate)
{
    U8 in[20] = {0}, out[20];
    memcpy(in, "QV-DTMB-01A", 11);
    EXPECT_EQ(Resource_UpdateDesc(in, out), 0u);
    EXPECT_STREQ(reinterpret_cast<char*>(out), "QV2-DTMB-01A");
    memcpy(in, "QV2-DTMB", 9);
    EXPECT_EQ(Resource_UpdateDesc(in, out), (U32)ZR_ERR_PARAMS);
    memset(in, 0, sizeof(in));
    memcpy(in, "NODASH", 6);
    EXPECT_EQ(Resource_UpdateDesc(in, out), (U32)ZR_ERR_FAILURE);
    memcpy(in, "-LEAD", 5);
    EXPECT_EQ(Resource_UpdateDesc(in, out), (U32)ZR_ERR_FAILURE);
    memset(in, 'A', sizeof(in));
    in[18] = '-';
    EXPECT_EQ(Resource_UpdateDesc(in, out), (U32)ZR_ERR_FAILURE);
    // A full 20-character descriptor keeps to its 20 bytes.
    memset(in, 'B', sizeof(in));
    in[17] = '-';
    EXPECT_EQ(Resource_UpdateDesc(in, out), 0u);
    EXPECT_EQ(out[17], '2');
    EXPECT_EQ(out[18], '-');
    EXPECT_EQ(out[19], 'B');
    EXPECT_EQ(Resource_UpdateDesc(nullptr, out), (U32)ZR_ERR_PARAMS);
}

TEST_F(Resources, ReadersRefuseSlotsBeyondTheBackBoard)
{
    U8 buf[20];
    EXPECT_EQ(Resource_GetHandle(17), nullptr);
    EXPECT_EQ(Resource_getBoardIPAddress(17), (U32)ZR_ERR_PARAMS);
    EXPECT_EQ(Resource_getBoardDescriptor(200, buf), (U32)ZR_ERR_PARAMS);
    EXPECT_EQ(Resource_getMACAddress(17, buf), (U32)ZR_ERR_PARAMS);
    EXPECT_EQ(Resource_getMACAddress(1, nullptr), (U32)ZR_ERR_PARAMS);
    EXPECT_EQ(Resource_getOutputChannelStatus(17, 0), (U32)ZR_ERR_PARAMS);
    Status_SetSlotID(40);  // a slot id the FPGA should never report
    EXPECT_EQ(Resource_getSelfHandle(), nullptr);
    EXPECT_EQ(Resource_Init(), (U32)ZR_ERR_PARAMS);
    U8 mac[6] = {1, 2, 3, 4, 5, 6};
    Resource_SetSelfMac(mac);  // logged, nothing written
    Status_SetSlotID(3);
    Resource_SetSelfMac(mac);
    Resource_SetSelfIpAddr(0xC0A8010B);
    Resource_SetBackBoardIpAddr(0xC0A8010A);
    EXPECT_EQ(0, memcmp(Resource_GetHandle(3)->u8MACAddress, mac, 6));
    EXPECT_EQ(Resource_getBoardIPAddress(3), 0xC0A8010Bu);
    EXPECT_EQ(Resource_getBoardIPAddress(SLOT_BB), 0xC0A8010Au);
}

TEST(Status, PlugMapTimeAndClock)
{
    Status_SetSubBoardPlugStatus(1u << 4);
    EXPECT_TRUE(Status_CheckSubBoardPlugExist(SLOT4));
    EXPECT_FALSE(Status_CheckSubBoardPlugExist(SLOT5));
    EXPECT_FALSE(Status_CheckSubBoardPlugExist(SLOT_BB));
    Status_SetSubBoardPlugStatus(0);

    U32 sec = 0;
    U16 year = 0, month = 0, day = 0, hour = 0;
    EXPECT_EQ(Status_GetTimeOfYearDay(&sec, &year, &month, &day, &hour), ZR_SUCCESS);
    EXPECT_GE(year, 2024);
    EXPECT_GE(month, 1);
    EXPECT_LE(month, 12);
    EXPECT_EQ(Status_GetTimeOfYearDay(&sec, &year, nullptr, &day, nullptr), ZR_SUCCESS);
    EXPECT_EQ(Status_GetTimeOfYearDay(nullptr, &year, &month, &day, &hour), ZR_ERR_PARAMS);
    EXPECT_EQ(Status_GetLinuxTime(nullptr), ZR_ERR_PARAMS);

    Tail shell("/trace/shell.log");
    setenv("TZ", "UTC", 1);
    tzset();
    Status_SetSystemTime(86400 * 365 + 3600 * 5 + 61);  // 1971-01-01 05:01:01 UTC
    EXPECT_NE(shell.Text().find("date -s \"1971-01-01 05:01:01\""), std::string::npos);
    // The back board's unsigned seconds reach past 2038 (not 1901 from a
    // 32-bit signed time).
    Status_SetSystemTime(0x80000000u);
    EXPECT_NE(shell.Text().find("date -s \"2038-01-19 03:14:08\""), std::string::npos) << shell.Text();
    Status_SetSystemTime(0xF0000000u);
    EXPECT_NE(shell.Text().find("date -s \"2097-08-05 09:04:00\""), std::string::npos) << shell.Text();
}
