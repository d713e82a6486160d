// The operator's NIT: edits of the working copy, their limits, the automatic
// cable NIT in the capture, export and import, and input cards that can never
// remove it.
#include "Driver/FPGA/fpga.h"
#include "Parameter/parameters.h"
#include "SIprocess/SIsend.h"
#include "SIprocess/SItable.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp_del.h"
#include "TSprocess/tsp_nit.h"
#include "TSprocess/tsp_view.h"
#include "mux_fixture.h"
#include "support/tsp_wire.h"
#include <gtest/gtest.h>
#include <memory>

namespace {

std::string Decode(U8 channel)
{
    std::string cmd = std::string(MODCARD_BUILD_DIR) + "/tests/psidecode --ts " + muxfix::Capture(channel);
    return CommandOutput(cmd);
}

dvbpsi_descriptor_t Desc(U8 tag, U8 len)
{
    dvbpsi_descriptor_t d{};
    d.i_tag = tag;
    d.i_length = len;
    for (U32 i = 0; i < len; i++)
        d.auc_data[i] = (U8)i;
    return d;
}

class Nit : public ::testing::Test {
protected:
    void SetUp() override
    {
        using namespace tspwire;
        savedMode = g_u32ModulationMode;
        g_u32ModulationMode = 3;
        ASSERT_EQ(FreshStreams(3, true), 0u);
        Open();
    }
    void TearDown() override
    {
        EXPECT_EQ(tspwire::CheckInvariants(TSP_GetTempTSParam()), "");
        EXPECT_EQ(tspwire::CheckInvariants(TSP_GetTSParam()), "");
        g_u32ModulationMode = savedMode;
        TSP_FreeOutputTSInfo();
    }
    void Open()
    {
        TSP_InitOutputTempTSInfo();
        TSP_CopyOutputTempTSInfo();
    }
    U16 Stream(U16 ch) { return TSP_FindStreamOfChannel(TSP_GetTempTSParam(), ch); }
    std::vector<U8> Stored(U16 ch)
    {
        auto raw = std::make_unique<NITBuf_t>();
        if (TSP_GetOutputNITTable(Stream(ch), TSP_GetTempTSParam(), raw.get()) != 0)
            return {};
        return std::vector<U8>(raw->aru8OutputNITSection, raw->aru8OutputNITSection + raw->u16NITLength);
    }
    U32 savedMode = 0;
    std::unique_ptr<NITTable_t> nit = std::make_unique<NITTable_t>();
};

TEST_F(Nit, CableDeliveryDescriptorBytes)
{
    // Channel 1 runs at channel 0's frequency plus 8 MHz, with channel 0's
    // constellation and symbol rate (one core), whatever its own fields say.
    TParameter_DTMB set{};
    set.OutputFreq[0] = 474000;
    set.OutputFreq[1] = 700000;
    set.Bandwidth_Sel[0] = _8M_BW;
    set.QAMMod[0] = _64QAM;
    set.QAMMod[1] = _16QAM;
    set.SymbolRate[0] = 6875;
    U8 d[13];
    ASSERT_EQ(TSP_BuildDeliveryDescriptor(set, 1, d), 13u);
    const U8 want[13] = {0x44, 11, 0x04, 0x82, 0x00, 0x00, 0xFF, 0xF2, 0x03, 0x00, 0x68, 0x75, 0x0F};
    EXPECT_EQ(0, memcmp(d, want, 13));
}

// ISDB-T's descriptor gives the frequency in 1/7 MHz units, rounded to the
// nearest: a frequency that is not a whole MHz on either side of half a
// unit, a derived channel's, and the highest the card takes.
TEST_F(Nit, IsdbtDeliveryDescriptorRoundsToSeventhsOfAMHz)
{
    g_u32ModulationMode = 5;
    TParameter_DTMB set{};
    set.Bandwidth_Sel[0] = _6M_BW;
    for (U32 c : {0u, 4u}) {
        set.u8GImode[c] = 1;   // 1/8
        set.u8FFTMode[c] = 3;  // mode 3
    }
    auto units = [&set](U32 firstKHz, U32 channel) {
        set.OutputFreq[channel & ~3u] = firstKHz;
        U8 d[13];
        EXPECT_EQ(TSP_BuildDeliveryDescriptor(set, channel, d), 6u);
        EXPECT_EQ(d[0], 0xFA);
        EXPECT_EQ(d[3], (3 - 1) << 2 | 2);
        return (U32)(d[4] << 8 | d[5]);
    };
    EXPECT_EQ(units(474071, 0), 3318u);  // 3318.497
    EXPECT_EQ(units(474072, 0), 3319u);  // 3318.504
    EXPECT_EQ(units(474072, 5), 3361u);  // channel 5 at 480072 kHz: 3360.504
    EXPECT_EQ(units(473143, 4), 3312u);  // 473 1/7 MHz
    EXPECT_EQ(units(1000000 - 3 * 6000, 3), 7000u);
}

TEST_F(Nit, EditsBuildStoreAndRefuse)
{
    // An entry on a channel without NIT creates one with network id 0.
    ASSERT_EQ(TSP_AddNIT_TS(0, 0x10, 0x20), 0u);
    ASSERT_EQ(TSP_GetNITTableInfo(0, nit.get()), 0u);
    EXPECT_EQ(nit->u16NetworkId, 0u);
    EXPECT_EQ(nit->u16TPNumber, 1u);
    ASSERT_EQ(TSP_EditNITVersionNum(0, 7, 0x99), 0u);
    EXPECT_EQ(TSP_EditNITVersionNum(0, 32, 0x99), (U32)ZR_ERR_PARAMS);

    // Entries with descriptors until the merged NIT needs three sections.
    const dvbpsi_descriptor_t big = Desc(0x83, 200);
    for (int e = 1; e < 10; e++) {
        ASSERT_EQ(TSP_AddNIT_TS(0, (U16)(0x10 + e), 0x20), 0u);
        ASSERT_EQ(TSP_AddDescriptor2NIT_Ts(0, e, &big), 0u);
    }
    Output_TSInfo* w = TSP_GetTempTSParam();
    U32 n = 0;
    for (U32 i = w->pOutputTS[Stream(0)].u16NITIndex; i != 0xFFFF; i = w->pOutputTable[i].u16NextIndex, n++) {
        const TSTable& t = w->pOutputTable[i];
        EXPECT_EQ(t.u8TableType, 2u);
        EXPECT_EQ(t.u8IsChangedByUser, 1u);
        EXPECT_EQ(t.u16TSIndex, Stream(0));
        EXPECT_EQ(t.u16Index, i);
    }
    EXPECT_EQ(n, 3u);
    ASSERT_EQ(TSP_GetNITTableInfo(0, nit.get()), 0u);
    EXPECT_EQ(nit->u16NetworkId, 0x99u);
    EXPECT_EQ(nit->u16TPNumber, 10u);

    // Refused edits leave the stored NIT as it was.
    const std::vector<U8> before = Stored(0);
    const dvbpsi_descriptor_t huge = Desc(0x83, 250);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(TSP_AddDescriptor2NIT_Ts(0, 1, &huge), 0u); // 200 + 3 x 252 = 956 bytes
    const std::vector<U8> full = Stored(0);
    EXPECT_EQ(TSP_AddDescriptor2NIT_Ts(0, 1, &big), TSP_ERR_LIST_RANGE) << "1158 bytes of descriptors";
    EXPECT_EQ(Stored(0), full);
    EXPECT_EQ(TSP_EditOneTSDescOfNIT(0, 100, 0, &big), TSP_ERR_INPUT);
    EXPECT_EQ(TSP_EditOneTSDescOfNIT(0, 99, 0, &big), TSP_ERR_NIT_SPACE) << "accepted, but no entry 99";
    EXPECT_EQ(TSP_DelOneTSOfNIT(0, 10), TSP_ERR_NIT_SPACE);
    EXPECT_EQ(TSP_DeleteOneTSDescOfNIT(0, 1, 4), TSP_ERR_NIT_SPACE);
    EXPECT_EQ(Stored(0), full);
    EXPECT_NE(Stored(0), before);

    // The reader gives each descriptor's own tag.
    const dvbpsi_descriptor_t other = Desc(0x41, 4);
    ASSERT_EQ(TSP_EditOneTSDescOfNIT(0, 2, 0, &other), 0u);
    dvbpsi_descriptor_t got{};
    ASSERT_EQ(TSP_GetOneTsDescInfo(0, 2, 0, &got), 0u);
    EXPECT_EQ(got.i_tag, 0x41);
    EXPECT_EQ(got.i_length, 4);
    ASSERT_EQ(TSP_DeleteOneTSDescOfNIT(0, 2, 0), 0u);
    ASSERT_EQ(TSP_DelOneTSOfNIT(0, 2), 0u);
    ASSERT_EQ(TSP_AddNetworkDescriptor(0, &other), 0u);
    ASSERT_EQ(TSP_DeleteNetworkDesc(0, 0), 0u);
    ASSERT_EQ(TSP_GetNITTableInfo(0, nit.get()), 0u);
    EXPECT_EQ(nit->u16TPNumber, 9u);
}

TEST_F(Nit, AutomaticCableNitExportImportAndInputCards)
{
    ASSERT_EQ(TSP_AutoAddCableDeliverySystemDescriptor2NIT(1), 0u);
    // Committed at once: the live database carries it.
    U32 len = 0;
    ASSERT_EQ(TSP_GetExportNITLength(1, &len), 0u);
    ASSERT_GT(len, 16u);
    std::vector<U8> file(len + 1, 0);
    ASSERT_EQ(TSP_GetExportNITBuf(1, file.data(), len), 0u);
    ASSERT_EQ(TSP_GetNITTableInfo(1, nit.get()), 0u);
    EXPECT_EQ(nit->u16NetworkId, 1234u);
    ASSERT_EQ(nit->u16TPNumber, 3u);

    // The same NIT again, rebuilt or imported, leaves every record where it
    // was in both databases.
    auto image = [](const Output_TSInfo* p) {
        const U8* t = reinterpret_cast<const U8*>(p->pOutputTable);
        const U8* s = reinterpret_cast<const U8*>(p->pOutputTS);
        std::vector<U8> v(t, t + p->u32OutputTableNumber * sizeof(TSTable));
        v.insert(v.end(), s, s + p->u32OutputTSNumber * sizeof(Output_TSStream));
        return v;
    };
    const auto live = image(TSP_GetTSParam()), work = image(TSP_GetTempTSParam());
    ASSERT_EQ(TSP_AutoAddCableDeliverySystemDescriptor2NIT(1), 0u);
    EXPECT_EQ(image(TSP_GetTSParam()), live);
    EXPECT_EQ(image(TSP_GetTempTSParam()), work);
    ASSERT_EQ(TSP_AddNITByImport(1, file.data(), len), 0u);
    EXPECT_EQ(image(TSP_GetTempTSParam()), work);

    // Import into channel 2, commit: the same bytes come back out.
    Open();
    ASSERT_EQ(TSP_AddNITByImport(2, file.data(), len), 0u);
    ASSERT_EQ(TSP_CopyOutputTSInfo(), 0u);
    std::vector<U8> again(len, 0);
    U32 len2 = 0;
    ASSERT_EQ(TSP_GetExportNITLength(2, &len2), 0u);
    ASSERT_EQ(len2, len);
    ASSERT_EQ(TSP_GetExportNITBuf(2, again.data(), len), 0u);
    EXPECT_EQ(std::vector<U8>(file.begin(), file.begin() + len), again);

    // An input card taking back a program never takes the operator's NIT.
    Resource_GetHandle(5)->u8MuxPIDEnable = 1;
    tspwire::Pid other;
    other.ch = 2;
    other.pidId = 9;
    other.type = PID_TYPE_OTHERPID;
    ASSERT_EQ(tspwire::Send(IPCOMM_SEND_PID, tspwire::Msg({tspwire::PID(other)})), 0u);
    tspwire::Bytes delProg(8, 0);
    tspwire::Put8(delProg, 0, 5);
    tspwire::Put16(delProg, 2, 1);
    tspwire::Put16(delProg, 4, 2);
    tspwire::Put16(delProg, 6, 3);
    ASSERT_EQ(tspwire::Send(IPCOMM_DEL_PROGRAM, tspwire::Msg({delProg})), 0u);
    EXPECT_EQ(TSP_GetExportNITLength(2, &len2), 0u);
    EXPECT_EQ(len2, len) << "the stream still carries its NIT";

    // Apply and a carousel round: the NIT is on air where it is switched on.
    TSP_GetTSParam()->pOutputTS[TSP_FindStreamOfChannel(TSP_GetTSParam(), 1)].u8NITGenerate = 1;
    GetQAMIPMonitor_Handle()->u16PSIInterval = 100;
    for (U8& e : u8PSIEnable)
        e = 1;
    muxfix::ClearCaptures();
    SSD_InitBroadcastSI();
    ASSERT_EQ(TSP_MuxProcess(), 0u);
    for (int i = 0; i < 20; i++)
        SIPacket_Tick(CHIP_TYPE_MAIN);
    std::string d = Decode(1);
    EXPECT_NE(d.find("NIT table_id=0x40 network_id=1234"), std::string::npos) << d;
    SSD_InitBroadcastSI();
}

} // namespace
