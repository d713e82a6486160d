// PSI/SI table models filled from the output-stream database.
#include "SIprocess/SItable.h"
#include "support/si_fixture.h"
#include <cstring>
#include <gtest/gtest.h>
#include <memory>

using sifx::Bytes;

namespace {
Output_TSInfo* Live() { return TSP_GetTSParam(); }
}  // namespace

TEST(SITableModels, VersionsStepOncePerChangeOnValidRecordsOnly)
{
    sifx::ResetDb();
    U16 ts = sifx::AddStream(0, 1);
    U16 prog = sifx::AddProgram(ts, 10, 0x100, 0x101, "A");
    Output_TSStream& s = Live()->pOutputTS[ts];
    Output_TSProgram& p = Live()->pOutputProgram[prog];
    auto pat = std::make_unique<PATTable_t>();
    auto pmt = std::make_unique<PMTTable_t>();

    s.u8PATVersionNumber = 4;
    s.u8PATChangeFlag = 1;
    ASSERT_EQ(0u, TSP_GetOutputPATTable(ts, Live(), pat.get()));
    EXPECT_EQ(5, pat->u8VersionNum);
    EXPECT_EQ(0, s.u8PATChangeFlag);
    ASSERT_EQ(0u, TSP_GetOutputPATTable(ts, Live(), pat.get()));
    EXPECT_EQ(5, pat->u8VersionNum);  // no change, no step

    p.u8PMTVersionNumber = 31;
    p.u8PMTChangeFlag = 1;
    ASSERT_EQ(0u, TSP_GetOutputPMTTable(prog, Live(), pmt.get()));
    EXPECT_EQ(0, pmt->u8VersionNum);
    EXPECT_EQ(0, p.u8PMTChangeFlag);

    s.u8ValidFlag = 0xFF;
    s.u8PATChangeFlag = 1;
    EXPECT_EQ(0u, TSP_IncreasePATVersionNum(ts, Live()));
    EXPECT_EQ(5, s.u8PATVersionNumber);
    EXPECT_EQ(1, s.u8PATChangeFlag);
    EXPECT_EQ(TSP_ERR_INPUT, TSP_IncreaseSDTVersionNum(8, Live()));
    EXPECT_EQ(TSP_ERR_INPUT, TSP_IncreasePMTVersionNum(0xFFFF, Live()));
}

TEST(SITableModels, PATAndSDTFromThePrograms)
{
    sifx::ResetDb();
    U16 ts = sifx::AddStream(0, 0x55, 0x66);
    U16 a = sifx::AddProgram(ts, 10, 0x100, 0x101, "Alpha", "Prov");
    U16 b = sifx::AddProgram(ts, 11, 0x110, 0x111, "Beta");
    U16 c = sifx::AddProgram(ts, 12, 0x120, 0x121, "Gamma");
    Output_TSInfo* db = Live();
    db->pOutputProgram[a].u8CAMIndex = 2;
    db->pOutputProgram[a].u8FreeCAMode = 0;
    db->pOutputProgram[b].u8CAMIndex = 1;
    db->pOutputProgram[b].u8FreeCAMode = 1;
    db->pOutputProgram[c].u8CAMIndex = 7;
    db->pOutputProgram[c].u8FreeCAMode = 1;
    // SDT descriptors longer than the record holds live in a descriptor record.
    Output_TSProgram& pc = db->pOutputProgram[c];
    pc.u16SDTInfoLength = 300;
    pc.u16SDTInfoDescriptorIndex = 7;
    db->pDescriptor[7].u8ValidFlag = 1;
    db->pDescriptor[7].u32Length = 300;
    for (U32 k = 0; k < 300; k += 100) {  // three whole descriptors
        db->pDescriptor[7].u8DescriptorInfo[k] = 0x5A;
        db->pDescriptor[7].u8DescriptorInfo[k + 1] = 98;
        memset(db->pDescriptor[7].u8DescriptorInfo + k + 2, 0x5A, 98);
    }

    auto pat = std::make_unique<PATTable_t>();
    ASSERT_EQ(0u, TSP_GetOutputPATTable(ts, db, pat.get()));
    ASSERT_EQ(3, pat->u16ProgramCount);
    EXPECT_EQ(0x55, pat->u16TransportStreamID);
    EXPECT_EQ(11, pat->arstProgramInfo[1].u16ServiceId);
    EXPECT_EQ(0x120, pat->arstProgramInfo[2].u16PMTPid);

    auto sdt = std::make_unique<SDTTable_t>();
    ASSERT_EQ(0u, TSP_GetOutputSDTTable(ts, db, sdt.get()));
    ASSERT_EQ(3, sdt->u16ServiceNum);
    EXPECT_EQ(0x66, sdt->u16OriginalNetworkId);
    EXPECT_EQ(1, sdt->arstProgInfo[0].u8FreeCAMode);  // CAM 2
    EXPECT_EQ(0, sdt->arstProgInfo[1].u8FreeCAMode);  // CAM 0/1
    EXPECT_EQ(1, sdt->arstProgInfo[2].u8FreeCAMode);  // the program's own
    EXPECT_EQ(4, sdt->arstProgInfo[0].u8ProviderNameLen);
    EXPECT_EQ(0, memcmp(sdt->arstProgInfo[0].aru8ServiceName, "Alpha", 5));
    EXPECT_EQ(300, sdt->arstProgInfo[2].u16OtherInfoLen);
    EXPECT_EQ(0x5A, sdt->arstProgInfo[2].aru8OtherInfo[299]);

    // Only what arrived goes out: what the record holds, of it the whole
    // descriptors before zero fill, nothing for a dangling index; over 1024
    // ends the build.
    db->pDescriptor[7].u32Length = 250;
    ASSERT_EQ(0u, TSP_GetOutputSDTTable(ts, db, sdt.get()));
    EXPECT_EQ(200, sdt->arstProgInfo[2].u16OtherInfoLen);
    db->pDescriptor[7].u32Length = 300;
    db->pDescriptor[7].u8DescriptorInfo[100] = 0;
    ASSERT_EQ(0u, TSP_GetOutputSDTTable(ts, db, sdt.get()));
    EXPECT_EQ(100, sdt->arstProgInfo[2].u16OtherInfoLen);
    pc.u16SDTInfoDescriptorIndex = 5000;
    ASSERT_EQ(0u, TSP_GetOutputSDTTable(ts, db, sdt.get()));
    EXPECT_EQ(0, sdt->arstProgInfo[2].u16OtherInfoLen);
    pc.u16SDTInfoLength = 1025;
    EXPECT_EQ(TSP_ERR_LIST_RANGE, TSP_GetOutputSDTTable(ts, db, sdt.get()));
}

// A stream of more programs than the SDT model holds (a file saved so):
// the model takes the first 100 and writes nothing beyond its array (the
// sanitizer builds see any write past it).
TEST(SITableModels, SDTOfMoreThanAHundredPrograms)
{
    sifx::ResetDb();
    TSInfoInitNum n{8, 200, 500, 100, 100, 8};
    ASSERT_EQ(ZR_SUCCESS, TSP_InitTSInfo(Live(), &n));
    U16 ts = sifx::AddStream(0, 1);
    for (U16 k = 0; k < 101; k++)
        sifx::AddProgram(ts, (U16)(1 + k), (U16)(0x100 + k), 0x1FFF, std::string(32, 'N'), std::string(32, 'P'));
    auto sdt = std::make_unique<SDTTable_t>();
    ASSERT_EQ(0u, TSP_GetOutputSDTTable(ts, Live(), sdt.get()));
    ASSERT_EQ(SIP_SDT_MAX_SERVICE, sdt->u16ServiceNum);
    EXPECT_EQ(100, sdt->arstProgInfo[99].u16ServiceID);
}

TEST(SITableModels, PMTPointsCADescriptorsAtOutputPIDs)
{
    sifx::ResetDb();
    U16 ts = sifx::AddStream(0, 1);
    U16 prog = sifx::AddProgram(ts, 10, 0x100, 0x101, "A");
    const Bytes caIn = {0x0A, 4, 'e', 'n', 'g', 0, 0x09, 4, 0x0B, 0x00, 0xE1, 0x01};
    U16 video = sifx::AddPID(ts, prog, PID_TYPE_ESPID, 0x101, 0x02);
    U16 audio = sifx::AddPID(ts, prog, PID_TYPE_ESPID, 0x102, 0x04, 0, caIn);
    U16 filtered = sifx::AddPID(ts, prog, PID_TYPE_ESPID, 0x103, 0x06);
    U16 ecm = sifx::AddPID(ts, audio, PID_TYPE_ES_ECMPID, 0x201, 0, 0x0B00, {}, 0x101);
    // Program level: a CA descriptor for another system stays as it is.
    Output_TSProgram& p = Live()->pOutputProgram[prog];
    const Bytes progInfo = {0x09, 4, 0x06, 0x04, 0xE3, 0x00};
    memcpy(p.aru8ProgramInfo, progInfo.data(), progInfo.size());
    p.u16ProgramInfoLength = (U16)progInfo.size();
    sifx::AddPID(ts, prog, PID_TYPE_PS_ECMPID, 0x300, 0, 0x0604);
    Live()->pOutputPID[filtered].u8PIDFilterFlag = 1;
    (void)video;

    auto pmt = std::make_unique<PMTTable_t>();
    ASSERT_EQ(0u, TSP_GetOutputPMTTable(prog, Live(), pmt.get()));
    ASSERT_EQ(2, pmt->u8EsNum);  // the filtered stream is left out
    EXPECT_EQ(0x102, pmt->arstPMTESInfo[1].u16Pid);
    ASSERT_EQ(12, pmt->arstPMTESInfo[1].u16ESInfoLen);
    EXPECT_EQ(0xE2, pmt->arstPMTESInfo[1].aru8ESInfo[10]);
    EXPECT_EQ(0x01, pmt->arstPMTESInfo[1].aru8ESInfo[11]);
    ASSERT_EQ(1, pmt->arstPMTESInfo[1].u8CaSysNum);
    EXPECT_EQ(0x0B00, pmt->arstPMTESInfo[1].arstCaInfo[0].u16CaSysID);
    EXPECT_EQ(0x201, pmt->arstPMTESInfo[1].arstCaInfo[0].u16EcmPid);
    ASSERT_EQ(1, pmt->u8CaSysNum);
    EXPECT_EQ(0x300, pmt->arstCaInfo[0].u16EcmPid);
    EXPECT_EQ(0, memcmp(pmt->aru8ProgInfo, progInfo.data(), progInfo.size()));

    // A filtered ECM takes its CA descriptors out of the ES info.
    Live()->pOutputPID[ecm].u8PIDFilterFlag = 1;
    ASSERT_EQ(0u, TSP_GetOutputPMTTable(prog, Live(), pmt.get()));
    EXPECT_EQ(6, pmt->arstPMTESInfo[1].u16ESInfoLen);
    EXPECT_EQ(0, pmt->arstPMTESInfo[1].u8CaSysNum);

    Live()->pOutputPID[audio].u16ESInfoLength = 1025;
    EXPECT_EQ(TSP_ERR_LIST_RANGE, TSP_GetOutputPMTTable(prog, Live(), pmt.get()));
}

TEST(SITableModels, CADescriptorEditsStayInsideTheLoop)
{
    // CA (PID 0x100), other, CA (PID 0x200), then a descriptor claiming more than is left.
    U8 loop[64] = {0x09, 4, 0, 1, 0xE1, 0x00, 0x52, 1, 9, 0x09, 5, 0, 2, 0xE2, 0x00, 0x77, 0x09, 30, 0, 3, 0xE1, 0x00};
    U8 copy[64];
    memcpy(copy, loop, sizeof(loop));
    U16 len = 22;
    ASSERT_EQ(0u, TSP_DelCaDescriptors(loop, &len, 0x100));
    EXPECT_EQ(16, len);
    EXPECT_EQ(0x52, loop[0]);
    EXPECT_EQ(0, memcmp(loop + 10, copy + 16, 6));  // the broken tail is kept, untouched
    ASSERT_EQ(0u, TSP_DelAllCaDescriptors(loop, &len));
    EXPECT_EQ(9, len);
    EXPECT_EQ(0x52, loop[0]);
    EXPECT_EQ(0x09, loop[3]);
    EXPECT_EQ(TSP_ERR_INPUT, TSP_DelAllCaDescriptors(nullptr, &len));
    U16 zero = 0;
    EXPECT_EQ(0u, TSP_DelCaDescriptors(loop, &zero, 1));

    IndexInfoList_t list = {};
    sifx::ResetDb();
    len = 22;
    EXPECT_EQ(2, TSP_ModifyCaDescriptors(copy, &len, Live(), &list));
    EXPECT_EQ(0, TSP_ModifyCaDescriptors(copy, nullptr, Live(), &list));
}

TEST(SITableModels, CATFromTheEMMRecords)
{
    sifx::ResetDb();
    U16 ts = sifx::AddStream(0, 1);
    sifx::AddPID(ts, 0, PID_TYPE_EMMPID, 0x1F0, 0, 0x0B00, {1, 2, 3});
    sifx::AddPID(ts, 0, PID_TYPE_EMMPID, 0x1F1, 0, 0x0B01, Bytes(99, 7));  // cannot be carried
    sifx::AddPID(ts, 0, PID_TYPE_EMMPID, 0x1F2, 0, 0x0B02);
    Live()->pOutputTS[ts].u8CATVersionNumber = 31;
    Live()->pOutputTS[ts].u8CATChangeFlag = 1;
    auto cat = std::make_unique<CATTable_t>();
    ASSERT_EQ(0u, TSP_GetOutputCATTable(ts, Live(), cat.get()));
    ASSERT_EQ(2, cat->u16CaSysNum);
    EXPECT_EQ(0, cat->u8VersionNum);
    EXPECT_EQ(7, cat->arstCaInfo[0].u8DesLength);
    EXPECT_EQ(3, cat->arstCaInfo[0].u8PrivateDataByte[2]);
    EXPECT_EQ(0x1F2, cat->arstCaInfo[1].u16EmmPid);
    EXPECT_EQ(4, cat->arstCaInfo[1].u8DesLength);
}

TEST(SITableModels, VirtualChannelsWithServiceLocation)
{
    sifx::ResetDb();
    U16 ts = sifx::AddStream(0, 0x0777);
    U16 small = sifx::AddProgram(ts, 21, 0x100, 0x101, "NEWSCHANNEL");
    U16 full = sifx::AddProgram(ts, 22, 0x200, 0x201, "AB");
    U16 over = sifx::AddProgram(ts, 23, 0x300, 0x301, "X");
    sifx::AddPID(ts, small, PID_TYPE_ESPID, 0x101, 0x02);
    sifx::AddPID(ts, small, PID_TYPE_ESPID, 0x102, 0x81);
    for (U16 i = 0; i < 41; i++)
        sifx::AddPID(ts, full, PID_TYPE_ESPID, (U16)(0x400 + i), 0x03);
    for (U16 i = 0; i < 42; i++)
        sifx::AddPID(ts, over, PID_TYPE_ESPID, (U16)(0x800 + i), 0x02);
    Live()->pOutputProgram[small].u8ServiceType = 0;
    Live()->pOutputTS[ts].u8PATVersionNumber = 6;
    Live()->pOutputTS[ts].u8ModulationMode = 4;

    auto vct = std::make_unique<VCTTable_t>();
    ASSERT_EQ(0u, TSP_GetOutputVCTTable(ts, SIP_VCT_TID_TERRESTRIAL, Live(), vct.get()));
    ASSERT_EQ(3, vct->u8ChannelsNum);
    EXPECT_EQ(6, vct->u8VersionNum);
    EXPECT_EQ(0x0777, vct->u16TransportStreamId);
    const VCTChannelInfo_t& c0 = vct->arstVCTChannelInfo[0];
    const U8 name[14] = {0, 'N', 0, 'E', 0, 'W', 0, 'S', 0, 'C', 0, 'H', 0, 'A'};
    EXPECT_EQ(0, memcmp(c0.aru8ShortName, name, 14));
    EXPECT_EQ(2, c0.u8ServiceType);
    EXPECT_EQ(21, c0.u16ProgramNum);
    EXPECT_EQ(21, c0.u16SourceId);
    EXPECT_EQ(4, c0.u8ModulationMode);
    ASSERT_EQ(6 * 2 + 5, c0.u16DescriptorLength);
    EXPECT_EQ(0xA1, c0.aru8Descriptor[0]);
    EXPECT_EQ(0x101, (c0.aru8Descriptor[2] & 0x1F) << 8 | c0.aru8Descriptor[3]);
    EXPECT_EQ(0, memcmp(c0.aru8Descriptor + 5 + 6 + 3, "eng", 3));  // stream type 0x81
    EXPECT_EQ(0, c0.aru8Descriptor[5 + 3]);                         // video: no language
    const U8 shortAB[14] = {0, 'A', 0, 'B'};
    EXPECT_EQ(0, memcmp(vct->arstVCTChannelInfo[1].aru8ShortName, shortAB, 14));
    EXPECT_EQ(249, vct->arstVCTChannelInfo[1].aru8Descriptor[1]);
    EXPECT_EQ(251, vct->arstVCTChannelInfo[1].u16DescriptorLength);
    EXPECT_EQ(0, vct->arstVCTChannelInfo[2].u16DescriptorLength);

    EXPECT_EQ(TSP_ERR_INPUT, TSP_GetOutputVCTTable(ts, 0xC7, Live(), vct.get()));
    EXPECT_EQ(TSP_ERR_INPUT, TSP_GetOutputVCTTable(5, SIP_VCT_TID_CABLE, Live(), vct.get()));
}

TEST(SITableModels, StoredNITChain)
{
    sifx::ResetDb();
    U16 ts = sifx::AddStream(0, 1);
    auto buf = std::make_unique<NITBuf_t>();
    memset(buf.get(), 0, sizeof(*buf));
    EXPECT_EQ(1u, TSP_GetOutputNITTable(ts, Live(), buf.get()));

    size_t total = 0;
    U16 recs[3];
    for (int i = 0; i < 3; i++) {
        Bytes s = sifx::Sectionize({0x40, 0xF0, 0, 0, 9, 0xC1, (U8)i, 2, 0xF0, 0, 0xF0, 6, 0, (U8)i, 0, 1, 0xF0, 0});
        s.resize(s.size() + (size_t)i);  // stored bytes past the section are not taken
        recs[i] = sifx::AddNITSection(ts, s);
        total += s.size() - (size_t)i;
    }
    ASSERT_EQ(0u, TSP_GetOutputNITTable(ts, Live(), buf.get()));
    EXPECT_EQ(total, buf->u16NITLength);
    EXPECT_EQ(total, buf->u32OutputNITSectionOffset);
    EXPECT_EQ(2, buf->aru8OutputNITSection[2 * 22 + 6]);  // third section's number
    std::string out = sifx::Decode(Bytes(buf->aru8OutputNITSection, buf->aru8OutputNITSection + total));
    EXPECT_EQ(3u, sifx::Lines(out, "NIT_TS").size()) << out;

    // A record in the chain that is not a NIT, a chain that loops.
    Live()->pOutputTable[recs[1]].u8TableType = 5;
    buf->u16NITLength = 0;
    buf->u32OutputNITSectionOffset = 0;
    EXPECT_EQ(TSP_ERR_NOT_ENOUGH, TSP_GetOutputNITTable(ts, Live(), buf.get()));
    Live()->pOutputTable[recs[1]].u8TableType = 2;
    Live()->pOutputTable[recs[2]].u16NextIndex = recs[0];
    EXPECT_NE(0u, TSP_GetOutputNITTable(ts, Live(), buf.get()));
    Live()->pOutputTable[recs[0]].aru8TableInfo[0] = 0x41;
    EXPECT_EQ(1u, TSP_GetOutputNITTable(ts, Live(), buf.get()));
}

TEST(SITableModels, PATPIDOfAChannel)
{
    sifx::ResetDb();
    U16 ts = sifx::AddStream(3, 1);
    ASSERT_EQ(0u, TSP_InitOutputTempTSInfo());
    TSP_CopyOutputTempTSInfo();
    EXPECT_EQ(ZR_ERR_PARAMS, TSP_SetPATPID(3, 31));
    EXPECT_EQ(ZR_ERR_PARAMS, TSP_SetPATPID(4, 5));  // no stream on channel 4
    EXPECT_EQ(ZR_SUCCESS, TSP_SetPATPID(3, 30));
    EXPECT_EQ(0, Live()->pOutputTS[ts].u16PATPID);
    EXPECT_EQ(0, TSP_GetPATPID(3, Live()));
    EXPECT_EQ(30, TSP_GetPATPID(3, TSP_GetTempTSParam()));
    EXPECT_EQ(4, TSP_GetPATPID(3, nullptr));
    ASSERT_EQ(0u, TSP_CopyOutputTSInfo());
    EXPECT_EQ(30, TSP_GetPATPID(3, Live()));
}

TEST(SITableModels, StoredChannelDescriptorFollowsMovedPIDs)
{
    sifx::ResetDb();
    U16 ts = sifx::AddStream(0, 1);
    U16 prog = sifx::AddProgram(ts, 5, 0x100, 0x101, "A");
    sifx::AddPID(ts, prog, PID_TYPE_ESPID, 0x301, 0x02, 0, {}, 0x201);
    sifx::AddPID(ts, prog, PID_TYPE_ESPID, 0x202, 0x81);
    Output_TSProgram& p = Live()->pOutputProgram[prog];
    p.u16PCRPID = 0x301;
    p.u16OldPCRPID = 0x201;
    // Another descriptor, then a service location descriptor naming the input PIDs.
    const Bytes loop = {0x80, 1, 0, 0xA1, 15, 0xE2, 0x01, 2, 0x02, 0xE2, 0x01, 0, 0, 0,
                        0x81, 0xE2, 0x02, 'e', 'n', 'g'};
    memcpy(p.aru8SDTInfo, loop.data(), loop.size());
    p.u16SDTInfoLength = (U16)loop.size();
    U8 out[64] = {};
    ASSERT_EQ(0u, TSP_ModifyChannelDescriptor(&p, Live(), sizeof(out), out));
    EXPECT_EQ(0x301, (out[5] & 0x1F) << 8 | out[6]);    // PCR PID
    EXPECT_EQ(0x301, (out[9] & 0x1F) << 8 | out[10]);   // moved stream
    EXPECT_EQ(0x202, (out[15] & 0x1F) << 8 | out[16]);  // unmoved stream
    EXPECT_EQ(0, memcmp(out + 17, "eng", 3));
    EXPECT_EQ(TSP_ERR_INPUT, TSP_ModifyChannelDescriptor(&p, Live(), 10, out));
    // An element count larger than the descriptor holds stops at its end.
    p.aru8SDTInfo[7] = 9;
    ASSERT_EQ(0u, TSP_ModifyChannelDescriptor(&p, Live(), sizeof(out), out));
    EXPECT_EQ(0, out[20]);
}
