// Section codec: golden bytes, limits, and independent decoding of what the
// writers produce.
#include "Common/commonfun.h"
#include "Parameter/parameters.h"
#include "SIprocess/SIconstruct.h"
#include "SIprocess/SItable.h"
#include "TSprocess/tsp_db.h"
#include "support/si_fixture.h"
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>

using sifx::Bytes;

namespace {

std::string HexOf(const U8* p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof(b), "%02x", p[i]);
        s += b;
    }
    return s;
}

U32 SectionLength(const U8* p) { return (((U32)p[1] & 0x0F) << 8 | p[2]); }

// Splits sections laid end to end.
std::vector<Bytes> SplitSections(const U8* p, size_t n)
{
    std::vector<Bytes> v;
    size_t pos = 0;
    while (pos + 3 <= n) {
        size_t len = SectionLength(p + pos) + 3;
        v.emplace_back(p + pos, p + pos + len);
        pos += len;
    }
    return v;
}

bool CrcOk(const Bytes& s) { return Common_CRC_Calculate(s.data(), (U32)s.size(), 0xFFFFFFFFu) == 0; }

}  // namespace

TEST(SectionCodecPAT, GoldenVectorsAndLimits)
{
    auto pat = std::make_unique<PATTable_t>();
    U8 buf[1024];
    U16 len = 0;

    memset(pat.get(), 0, sizeof(*pat));
    pat->u16TransportStreamID = 1;
    ASSERT_EQ(0u, SIP_ConstructPAT(pat.get(), sizeof(buf), buf, &len));
    EXPECT_EQ(12, len);
    EXPECT_EQ("00b0090001c10000ef226217", HexOf(buf, len));

    pat->u16ProgramCount = 200;
    pat->u8VersionNum = 7;
    for (int i = 0; i < 200; i++)
        pat->arstProgramInfo[i] = {(U16)(i + 1), (U16)(0x100 + i), 0, 0};
    ASSERT_EQ(0u, SIP_ConstructPAT(pat.get(), sizeof(buf), buf, &len));
    EXPECT_EQ(809u, SectionLength(buf));
    EXPECT_EQ(812, len);
    std::string out = sifx::Decode(Bytes(buf, buf + len));
    auto programs = sifx::Lines(out, "PAT_PROGRAM");
    ASSERT_EQ(200u, programs.size()) << out;
    EXPECT_EQ("200", sifx::Field(programs[199], "number"));
    EXPECT_EQ(std::to_string(0x100 + 199), sifx::Field(programs[199], "pid"));
    EXPECT_EQ("7", sifx::Field(sifx::Lines(out, "PAT")[0], "version"));
    EXPECT_EQ("ok", sifx::Field(sifx::Lines(out, "SECTION")[0], "crc"));

    pat->u16ProgramCount = 201;
    EXPECT_EQ(SIP_ERR_RANGE, SIP_ConstructPAT(pat.get(), sizeof(buf), buf, &len));
    EXPECT_EQ(0, len);

    // The buffer must hold the whole section.
    pat->u16ProgramCount = 0;
    EXPECT_EQ(SIP_ERR_PARAM, SIP_ConstructPAT(pat.get(), 11, buf, &len));
    EXPECT_EQ(SIP_ERR_PARAM, SIP_ConstructPAT(nullptr, sizeof(buf), buf, &len));
}

TEST(SectionCodecSDT, SplitsIntoNumberedSectionsAndRefusesWhatCannotFit)
{
    auto sdt = std::make_unique<SDTTable_t>();
    memset(sdt.get(), 0, sizeof(*sdt));
    sdt->u16TransportStreamID = 0x22;
    sdt->u16OriginalNetworkId = 0x33;
    sdt->u8VersionNum = 5;
    // 12 services of 5 + 5 + 4 + 6 + 80 = 100 loop bytes: 10 fit a section.
    sdt->u16ServiceNum = 12;
    for (int i = 0; i < 12; i++) {
        SDTProgramInfo_t& s = sdt->arstProgInfo[i];
        s.u16ServiceID = (U16)(100 + i);
        s.u8ServiceType = 1;
        s.u8RunningStatus = 4;
        s.u8EITPresentFollowingFlag = 1;
        s.u8FreeCAMode = (U8)(i & 1);
        s.u8ProviderNameLen = 4;
        memcpy(s.aru8ProviderName, "PROV", 4);
        std::string name = "Svc" + std::to_string(100 + i);
        s.u8ServiceNameLen = (U8)name.size();
        memcpy(s.aru8ServiceName, name.data(), name.size());
        s.u16OtherInfoLen = 80;
        for (int k = 0; k < 80; k += 10) {  // eight private descriptors of 8 bytes
            s.aru8OtherInfo[k] = 0x80;
            s.aru8OtherInfo[k + 1] = 8;
        }
    }
    U8 sections = 0;
    U16 total = 0;
    ASSERT_EQ(0u, SIP_GetSDTSectionInfo(sdt.get(), &sections, &total));
    EXPECT_EQ(2, sections);
    EXPECT_EQ(2 * 15 + 12 * 100, total);

    std::vector<U8> buf(10240);
    U16 len = 0;
    ASSERT_EQ(0u, SIP_ConstructSDT(sdt.get(), (U16)buf.size(), buf.data(), &len));
    ASSERT_EQ(total, len);
    auto secs = SplitSections(buf.data(), len);
    ASSERT_EQ(2u, secs.size());
    for (size_t i = 0; i < secs.size(); i++) {
        EXPECT_LE(secs[i].size(), 1024u);
        EXPECT_EQ(i, secs[i][6]);  // section_number
        EXPECT_EQ(1, secs[i][7]);  // last_section_number
        EXPECT_TRUE(CrcOk(secs[i]));
    }
    std::string out = sifx::Decode(Bytes(buf.begin(), buf.begin() + len));
    auto services = sifx::Lines(out, "SDT_SERVICE");
    auto names = sifx::Lines(out, "SERVICE_DESC");
    ASSERT_EQ(12u, services.size()) << out;
    ASSERT_EQ(12u, names.size());
    EXPECT_EQ("Svc111", sifx::Field(names[11], "name"));
    EXPECT_EQ("PROV", sifx::Field(names[0], "provider"));
    EXPECT_EQ("1", sifx::Field(services[1], "free_ca"));
    EXPECT_EQ("4", sifx::Field(services[0], "running"));
    EXPECT_EQ("51", sifx::Field(sifx::Lines(out, "SDT")[0], "onid"));

    // A service with nothing to say is left out.
    sdt->arstProgInfo[3].u8ProviderNameLen = 0;
    sdt->arstProgInfo[3].u8ServiceNameLen = 0;
    sdt->arstProgInfo[3].u16OtherInfoLen = 0;
    ASSERT_EQ(0u, SIP_ConstructSDT(sdt.get(), (U16)buf.size(), buf.data(), &len));
    EXPECT_EQ(11u, sifx::Lines(sifx::Decode(Bytes(buf.begin(), buf.begin() + len)), "SDT_SERVICE").size());

    // Limits: names over 32 bytes, one service larger than a section, no services.
    sdt->arstProgInfo[0].u8ServiceNameLen = 33;
    EXPECT_EQ(SIP_ERR_RANGE, SIP_ConstructSDT(sdt.get(), (U16)buf.size(), buf.data(), &len));
    EXPECT_EQ(0, len);
    sdt->arstProgInfo[0].u8ServiceNameLen = 4;
    sdt->arstProgInfo[0].u16OtherInfoLen = 1000;  // 5 + 13 + 1000 > 1009
    EXPECT_EQ(SIP_ERR_RANGE, SIP_ConstructSDT(sdt.get(), (U16)buf.size(), buf.data(), &len));
    sdt->arstProgInfo[0].u16OtherInfoLen = 80;
    EXPECT_EQ(SIP_ERR_PARAM, SIP_ConstructSDT(sdt.get(), 100, buf.data(), &len));
    sdt->u16ServiceNum = 0;
    EXPECT_EQ(0u, SIP_GetSDTSectionInfo(sdt.get(), &sections, &total));
    EXPECT_EQ(0, sections);
    EXPECT_EQ(SIP_ERR_PARAM, SIP_ConstructSDT(sdt.get(), (U16)buf.size(), buf.data(), &len));
    sdt->u16ServiceNum = 101;
    EXPECT_EQ(SIP_ERR_PARAM, SIP_GetSDTSectionInfo(sdt.get(), &sections, &total));
}

TEST(SectionCodecCAT, PrivateBytesAndLengthLimits)
{
    auto cat = std::make_unique<CATTable_t>();
    memset(cat.get(), 0, sizeof(*cat));
    cat->u8VersionNum = 3;
    cat->u16CaSysNum = 2;
    cat->arstCaInfo[0] = {0x0B00, 0x1F0, 4, {}};
    cat->arstCaInfo[1] = {0x1800, 0x1F1, 7, {0xAA, 0xBB, 0xCC}};
    U8 buf[4096];
    U16 len = 0;
    ASSERT_EQ(0u, SIP_ConstructCAT(cat.get(), sizeof(buf), buf, &len));
    EXPECT_EQ(8 + 6 + 9 + 4, len);
    std::string out = sifx::Decode(Bytes(buf, buf + len));
    auto ca = sifx::Lines(out, "CA_DESC");
    ASSERT_EQ(2u, ca.size()) << out;
    EXPECT_EQ("0x1800", sifx::Field(ca[1], "system"));
    EXPECT_EQ(std::to_string(0x1F1), sifx::Field(ca[1], "pid"));
    EXPECT_EQ("aabbcc", sifx::Field(ca[1], "private"));
    EXPECT_EQ("3", sifx::Field(sifx::Lines(out, "CAT")[0], "version"));

    // The buffer check counts the private bytes too.
    EXPECT_EQ(SIP_ERR_PARAM, SIP_ConstructCAT(cat.get(), (U16)(len - 1), buf, &len));
    // A descriptor length the entry cannot hold, or below its fixed part.
    cat->arstCaInfo[1].u8DesLength = 103;
    EXPECT_EQ(SIP_ERR_RANGE, SIP_ConstructCAT(cat.get(), sizeof(buf), buf, &len));
    cat->arstCaInfo[1].u8DesLength = 3;
    EXPECT_EQ(SIP_ERR_RANGE, SIP_ConstructCAT(cat.get(), sizeof(buf), buf, &len));
    // 32 systems of 98 private bytes pass one section's limit.
    cat->u16CaSysNum = 32;
    for (auto& c : cat->arstCaInfo)
        c.u8DesLength = 102;
    EXPECT_EQ(SIP_ERR_RANGE, SIP_ConstructCAT(cat.get(), sizeof(buf), buf, &len));
    EXPECT_EQ(0, len);
    cat->u16CaSysNum = 33;
    EXPECT_EQ(SIP_ERR_PARAM, SIP_ConstructCAT(cat.get(), sizeof(buf), buf, &len));
}

TEST(SectionCodecPMT, CADescriptorsFollowTheCAMAndSizeIsLimited)
{
    sifx::ResetDb();
    U16 ts = sifx::AddStream(0, 1);
    U16 prog = sifx::AddProgram(ts, 10, 0x100, 0x101, "P");
    Output_TSProgram& rec = TSP_GetTSParam()->pOutputProgram[prog];

    auto pmt = std::make_unique<PMTTable_t>();
    auto fill = [&]() {
        memset(pmt.get(), 0, sizeof(*pmt));
        pmt->u16ServiceId = 10;
        pmt->u16PCRPID = 0x101;
        pmt->u8VersionNum = 2;
        const U8 progInfo[] = {0x09, 4, 0x0B, 0x00, 0xE2, 0x00, 0x52, 1, 7};
        memcpy(pmt->aru8ProgInfo, progInfo, sizeof(progInfo));
        pmt->u16ProgInfoLen = sizeof(progInfo);
        pmt->u8EsNum = 2;
        pmt->arstPMTESInfo[0].u8Type = 0x02;
        pmt->arstPMTESInfo[0].u16Pid = 0x101;
        pmt->arstPMTESInfo[1].u8Type = 0x06;
        pmt->arstPMTESInfo[1].u16Pid = 0x102;
        const U8 esInfo[] = {0x0A, 4, 'e', 'n', 'g', 0, 0x09, 4, 0x0B, 0x00, 0xE2, 0x01};
        memcpy(pmt->arstPMTESInfo[1].aru8ESInfo, esInfo, sizeof(esInfo));
        pmt->arstPMTESInfo[1].u16ESInfoLen = sizeof(esInfo);
    };
    U8 buf[2048];
    U16 len = 0;

    // Descrambled by CAM 2: the CA descriptors stay.
    fill();
    rec.u8CAMIndex = 2;
    rec.u8DescrambFlag = 0;
    ASSERT_EQ(0u, SIP_ConstructPMT(prog, pmt.get(), sizeof(buf), buf, &len));
    std::string out = sifx::Decode(Bytes(buf, buf + len));
    EXPECT_EQ(2u, sifx::Lines(out, "CA_DESC").size()) << out;
    auto es = sifx::Lines(out, "PMT_ES");
    ASSERT_EQ(2u, es.size());
    EXPECT_EQ("0x06", sifx::Field(es[1], "type"));
    EXPECT_EQ("257", sifx::Field(sifx::Lines(out, "PMT")[0], "pcr_pid"));

    // No CAM: every CA descriptor is removed from the model and the section.
    fill();
    rec.u8CAMIndex = 1;
    ASSERT_EQ(0u, SIP_ConstructPMT(prog, pmt.get(), sizeof(buf), buf, &len));
    out = sifx::Decode(Bytes(buf, buf + len));
    EXPECT_EQ(0u, sifx::Lines(out, "CA_DESC").size()) << out;
    EXPECT_EQ(3, pmt->u16ProgInfoLen);
    EXPECT_EQ(6, pmt->arstPMTESInfo[1].u16ESInfoLen);
    EXPECT_EQ(2u, sifx::Lines(out, "DESC").size());  // 0x52 and 0x0A remain

    // ATSC SI mode writes stream type 0x06 as 0x81.
    U32 savedMode = g_u32ModulationMode;
    g_u32ModulationMode = 6;
    fill();
    ASSERT_EQ(0u, SIP_ConstructPMT(prog, pmt.get(), sizeof(buf), buf, &len));
    g_u32ModulationMode = savedMode;
    EXPECT_EQ("0x81", sifx::Field(sifx::Lines(sifx::Decode(Bytes(buf, buf + len)), "PMT_ES")[1], "type"));

    // Over one section (1021 bytes of section_length), over 1024-byte loops,
    // an unknown program.
    fill();
    pmt->u8EsNum = 3;
    pmt->arstPMTESInfo[2].u16ESInfoLen = 1000;
    EXPECT_EQ(SIP_ERR_PARAM, SIP_ConstructPMT(prog, pmt.get(), sizeof(buf), buf, &len));
    EXPECT_EQ(0, len);
    pmt->arstPMTESInfo[2].u16ESInfoLen = 1025;
    EXPECT_EQ(SIP_ERR_PARAM, SIP_ConstructPMT(prog, pmt.get(), sizeof(buf), buf, &len));
    fill();
    EXPECT_EQ(SIP_ERR_PARAM, SIP_ConstructPMT(prog, pmt.get(), 20, buf, &len));
    EXPECT_EQ(SIP_ERR_PARAM, SIP_ConstructPMT(0xFFFF, pmt.get(), sizeof(buf), buf, &len));
}

TEST(SectionCodecPSIP, MGTAndVCTSectionsDecode)
{
    auto vct = std::make_unique<VCTTable_t>();
    memset(vct.get(), 0, sizeof(*vct));
    vct->u16TransportStreamId = 0x0777;
    vct->u8VersionNum = 9;
    vct->u8ChannelsNum = 100;
    for (int i = 0; i < 100; i++) {
        VCTChannelInfo_t& c = vct->arstVCTChannelInfo[i];
        const char* nm = "CHAN";
        for (int k = 0; k < 4; k++)
            c.aru8ShortName[2 * k + 1] = (U8)nm[k];
        c.u16MajorChannelNum = (U16)(1000 + (i % 20));
        c.u16MinorChannelNum = (U16)(i + 1);
        c.u8ModulationMode = 4;
        c.u16ChannelTSID = 0x0777;
        c.u16ProgramNum = (U16)(i + 1);
        c.u8ServiceType = 2;
        c.u8Hidden = (U8)(i == 5);
        c.u8HideGuide = (U8)(i == 5);
        c.u8PathSelect = 1;
        c.u16SourceId = (U16)(0x100 + i);
        c.u16DescriptorLength = 300;
        for (int k = 0; k < 300; k += 100) {  // three private descriptors of 100 bytes
            c.aru8Descriptor[k] = 0xC0;
            c.aru8Descriptor[k + 1] = 98;
        }
    }
    // 16 + 3 x 332 = 1012: three channels per section.
    U8 sections = 0;
    U16 total = 0;
    ASSERT_EQ(0u, SIP_GetVCTSectionInfo(vct.get(), &sections, &total));
    EXPECT_EQ(34, sections);
    EXPECT_EQ(34 * 16 + 100 * 332, total);

    std::vector<U8> buf(40000);
    U16 len = 0;
    ASSERT_EQ(0u, SIP_ConstructVCT(vct.get(), SIP_VCT_TID_CABLE, (U16)buf.size(), buf.data(), &len));
    ASSERT_EQ(total, len);
    auto secs = SplitSections(buf.data(), len);
    ASSERT_EQ(34u, secs.size());
    for (auto& s : secs) {
        EXPECT_LE(s.size(), 1024u);
        EXPECT_TRUE(CrcOk(s));
    }
    std::string out = sifx::Decode(Bytes(buf.begin(), buf.begin() + len));
    auto ch = sifx::Lines(out, "VCT_CHANNEL");
    ASSERT_EQ(100u, ch.size()) << out.substr(0, 2000);
    EXPECT_EQ("CHAN", sifx::Field(ch[0], "name"));
    EXPECT_EQ("1005", sifx::Field(ch[5], "major"));
    EXPECT_EQ("6", sifx::Field(ch[5], "minor"));
    EXPECT_EQ("1", sifx::Field(ch[5], "hidden"));
    EXPECT_EQ("1", sifx::Field(ch[5], "hide_guide"));
    EXPECT_EQ("1", sifx::Field(ch[5], "path"));
    EXPECT_EQ("0", sifx::Field(ch[4], "hidden"));
    EXPECT_EQ(std::to_string(0x100 + 99), sifx::Field(ch[99], "source_id"));
    EXPECT_EQ("1", sifx::Field(sifx::Lines(out, "VCT")[0], "cable"));
    // The buffer must hold every section.
    EXPECT_EQ(SIP_ERR_RANGE, SIP_ConstructVCT(vct.get(), SIP_VCT_TID_CABLE, 10240, buf.data(), &len));
    EXPECT_EQ(SIP_ERR_PARAM, SIP_ConstructVCT(vct.get(), 0xC7, (U16)buf.size(), buf.data(), &len));

    // Additional descriptors that do not fit the last channel section get a
    // section of their own with no channels.
    vct->u8ChannelsNum = 3;
    vct->u16AddDescriptorLen = 20;
    vct->aru8Descriptor[0] = 0xC1;
    vct->aru8Descriptor[1] = 18;
    ASSERT_EQ(0u, SIP_ConstructVCT(vct.get(), SIP_VCT_TID_TERRESTRIAL, (U16)buf.size(), buf.data(), &len));
    secs = SplitSections(buf.data(), len);
    ASSERT_EQ(2u, secs.size());
    EXPECT_EQ(3, secs[0][9]);
    EXPECT_EQ(0, secs[1][9]);
    EXPECT_EQ(16u + 20u, secs[1].size());
    out = sifx::Decode(Bytes(buf.begin(), buf.begin() + len));
    EXPECT_EQ(3u, sifx::Lines(out, "VCT_CHANNEL").size()) << out;
    EXPECT_EQ(1u, sifx::Lines(out, "VCT").size());

    // Limits and the empty table.
    vct->arstVCTChannelInfo[1].u16DescriptorLength = 301;
    EXPECT_EQ(SIP_ERR_RANGE, SIP_ConstructVCT(vct.get(), SIP_VCT_TID_TERRESTRIAL, (U16)buf.size(), buf.data(), &len));
    vct->u8ChannelsNum = 0;
    EXPECT_EQ(0u, SIP_ConstructVCT(vct.get(), SIP_VCT_TID_TERRESTRIAL, (U16)buf.size(), buf.data(), &len));
    EXPECT_EQ(0, len);

    auto mgt = std::make_unique<MGTTable_t>();
    memset(mgt.get(), 0, sizeof(*mgt));
    mgt->u8VersionNum = 4;
    mgt->u16TablesDefined = 1;
    mgt->arstMGTTablesInfo[0] = {0x0002, 0x1FFB, 12345, 9, 0, 0, {}};
    ASSERT_EQ(0u, SIP_ConstructMGT(mgt.get(), (U16)buf.size(), buf.data(), &len));
    EXPECT_EQ(11 + 11 + 6, len);
    out = sifx::Decode(Bytes(buf.begin(), buf.begin() + len));
    auto tables = sifx::Lines(out, "MGT_TABLE");
    ASSERT_EQ(1u, tables.size()) << out;
    EXPECT_EQ("0x0002", sifx::Field(tables[0], "type"));
    EXPECT_EQ("8187", sifx::Field(tables[0], "pid"));
    EXPECT_EQ("9", sifx::Field(tables[0], "version"));
    EXPECT_EQ("12345", sifx::Field(tables[0], "bytes"));
    EXPECT_EQ(SIP_ERR_RANGE, SIP_ConstructMGT(mgt.get(), 20, buf.data(), &len));
    mgt->u16TablesDefined = 301;
    EXPECT_EQ(SIP_ERR_RANGE, SIP_ConstructMGT(mgt.get(), (U16)buf.size(), buf.data(), &len));
}

TEST(SectionCodecSTT, GPSTimeZoneAndDaylightSaving)
{
    U8 buf[32];
    U16 len = 0;
    const U32 t = 1710035940;  // 2024-03-10 01:59:00 UTC
    ASSERT_EQ(0u, SIP_ConstructSTTAt(t, 2024, 3, 10, 1, 18, 1, 12, sizeof(buf), buf, &len));
    ASSERT_EQ(20, len);
    EXPECT_EQ("cdf0110000c10000005317d676126a02278cb87b", HexOf(buf, len));
    std::string out = sifx::Decode(Bytes(buf, buf + len));
    auto stt = sifx::Lines(out, "STT");
    ASSERT_EQ(1u, stt.size()) << out;
    EXPECT_EQ(std::to_string(t - 315964800u + 18), sifx::Field(stt[0], "system_time"));
    EXPECT_EQ("18", sifx::Field(stt[0], "gps_utc_offset"));

    auto daylight = [&](U16 month, U16 day, U16 hour, U8 flag, U16 year = 2024) {
        EXPECT_EQ(0u, SIP_ConstructSTTAt(t, year, month, day, hour, 18, flag, 12, sizeof(buf), buf, &len));
        return HexOf(buf + 14, 2);
    };
    EXPECT_EQ("e000", daylight(3, 10, 2, 1));
    EXPECT_EQ("6a02", daylight(3, 1, 23, 1));
    EXPECT_EQ("e000", daylight(3, 20, 0, 1));
    EXPECT_EQ("e302", daylight(11, 3, 1, 1));
    EXPECT_EQ("6000", daylight(11, 3, 2, 1));
    EXPECT_EQ("e000", daylight(7, 1, 12, 1));
    EXPECT_EQ("6000", daylight(12, 24, 12, 1));
    EXPECT_EQ("6000", daylight(7, 1, 12, 0));
    EXPECT_EQ("6000", daylight(7, 1, 12, 1, 2041));
    EXPECT_EQ("6b02", daylight(3, 1, 0, 1, 2040));  // 2040: 11 March

    // Zones below 12 lie east of the reference and are taken off.
    ASSERT_EQ(0u, SIP_ConstructSTTAt(t, 2024, 3, 10, 1, 0, 0, 0, sizeof(buf), buf, &len));
    EXPECT_EQ(t - 315964800u - 43200u, (U32)buf[9] << 24 | buf[10] << 16 | buf[11] << 8 | buf[12]);
    ASSERT_EQ(0u, SIP_ConstructSTTAt(t, 2024, 3, 10, 1, 0, 0, 25, sizeof(buf), buf, &len));
    EXPECT_EQ(t - 315964800u + 46800u, (U32)buf[9] << 24 | buf[10] << 16 | buf[11] << 8 | buf[12]);

    EXPECT_EQ(SIP_ERR_PARAM, SIP_ConstructSTTAt(t, 2024, 3, 10, 1, 0, 0, 12, 19, buf, &len));
    EXPECT_EQ(20, len);
    EXPECT_EQ(0u, SIP_ConstructSTT(18, 0, 12, sizeof(buf), buf, &len));
}

TEST(SectionCodecTimeTables, TDTAndTOTWriteAndParse)
{
    TDTTable_t tdt = {5, {0xE8, 0xBC, 0x12, 0x34, 0x56}};
    U8 buf[64];
    U16 len = 0;
    ASSERT_EQ(0u, SIP_ConstructTDT(&tdt, sizeof(buf), buf, &len));
    EXPECT_EQ("707005e8bc123456", HexOf(buf, len));
    EXPECT_NE(std::string::npos, sifx::Decode(Bytes(buf, buf + len)).find("TDT utc=0xe8bc123456"));
    tdt.u8SectionLen = 6;  // more than the model holds
    EXPECT_EQ(SIP_ERR_PARAM, SIP_ConstructTDT(&tdt, sizeof(buf), buf, &len));

    TOTTable_t tot;
    memset(&tot, 0, sizeof(tot));
    tot.u8SectionLen = 26;
    memcpy(tot.aru8UTCTime, "\xE8\xBC\x12\x34\x56", 5);
    tot.arstDescInfo.u8Tag = 0x58;
    tot.arstDescInfo.u8DescLen = 13;
    TOTDesc_t& d = tot.arstDescInfo.arstDes[0];
    d.u32CountryCode = 0x43484E;
    d.u8CountryRegID = 8;
    d.u16LocalTimeOffset = 0x0800;
    memcpy(d.u8TimeOfChange, "\xE8\xBC\x00\x00\x00", 5);
    d.u16NextTimeOffset = 0x0900;
    ASSERT_EQ(ZR_SUCCESS, SIP_ConstructTOT(&tot, sizeof(buf), buf, &len));
    const std::string golden = "73701ae8bc123456f00f580d43484e220800e8bc00000009004745f6e4";
    EXPECT_EQ(golden, HexOf(buf, len));
    std::string out = sifx::Decode(Bytes(buf, buf + len));
    auto lto = sifx::Lines(out, "LTO");
    ASSERT_EQ(1u, lto.size()) << out;
    EXPECT_EQ("CHN", sifx::Field(lto[0], "country"));
    EXPECT_EQ("0x0800", sifx::Field(lto[0], "offset"));

    // The lengths follow the one entry the model holds, whatever it claims.
    TOTTable_t claims = tot;
    claims.u8SectionLen = 39;
    claims.arstDescInfo.u8DescLen = 26;
    ASSERT_EQ(ZR_SUCCESS, SIP_ConstructTOT(&claims, sizeof(buf), buf, &len));
    EXPECT_EQ(golden, HexOf(buf, len));
    EXPECT_EQ(ZR_ERR_SIP_ERROR_BAD_PARAM, SIP_ConstructTOT(&tot, 28, buf, &len));

    // Parsing gives back the model.
    Bytes sec(buf, buf + 29);
    ASSERT_EQ(ZR_SUCCESS, SIP_ConstructTOT(&tot, sizeof(buf), sec.data(), &len));
    TOTTable_t parsed;
    ASSERT_EQ(ZR_SUCCESS, SIP_ParseTOT(sec.data(), (U16)(sec.size() + 1), &parsed, 0));
    EXPECT_EQ(0, memcmp(&parsed, &tot, sizeof(tot)));

    // Two entries are refused; none gives tag and length only.
    Bytes two = {0x73, 0x70, 0, 0xE8, 0xBC, 0, 0, 0, 0xF0, 28, 0x58, 26};
    for (int k = 0; k < 2; k++)
        two.insert(two.end(), sec.begin() + 12, sec.begin() + 25);
    two = sifx::Sectionize(two);
    EXPECT_EQ(ZR_ERR_SIP_ERROR_BAD_PARAM, SIP_ParseTOT(two.data(), (U16)(two.size() + 1), &parsed, 0));
    Bytes none = sifx::Sectionize({0x73, 0x70, 0, 0xE8, 0xBC, 1, 2, 3, 0xF0, 2, 0x58, 0});
    ASSERT_EQ(ZR_SUCCESS, SIP_ParseTOT(none.data(), (U16)(none.size() + 1), &parsed, 0));
    EXPECT_EQ(0x58, parsed.arstDescInfo.u8Tag);
    EXPECT_EQ(0, parsed.arstDescInfo.u8DescLen);
    EXPECT_EQ(0u, parsed.arstDescInfo.arstDes[0].u32CountryCode);

    // Lengths that leave their loop or the buffer are refused.
    Bytes bad = sec;
    bad[9] = 40;  // descriptors_loop_length past the section
    EXPECT_EQ(ZR_ERR_SIP_ERROR_BAD_PARAM, SIP_ParseTOT(bad.data(), (U16)(bad.size() + 1), &parsed, 0));
    bad = sec;
    bad[11] = 40;  // descriptor length past the loop
    EXPECT_EQ(ZR_ERR_SIP_ERROR_BAD_PARAM, SIP_ParseTOT(bad.data(), (U16)(bad.size() + 1), &parsed, 0));
    EXPECT_EQ(ZR_ERR_SIP_ERROR_BAD_PARAM, SIP_ParseTOT(sec.data(), (U16)(sec.size() - 1), &parsed, 0));
    Bytes tiny = {0x73, 0x70, 5, 0, 0, 0, 0, 0};
    EXPECT_EQ(ZR_ERR_SIP_ERROR_BAD_PARAM, SIP_ParseTOT(tiny.data(), 100, &parsed, 0));

    // A section longer than the model's 8-bit length (one entry, then a
    // long further descriptor) is refused rather than kept with a cut length.
    Bytes longTot = {0x73, 0x70, 0, 0xE8, 0xBC, 0, 0, 0, 0xF1, 0x0B, 0x58, 13};
    longTot.insert(longTot.end(), sec.begin() + 12, sec.begin() + 25);
    longTot.push_back(0x80);
    longTot.push_back(250);
    longTot.insert(longTot.end(), 250, 0x11);
    longTot = sifx::Sectionize(longTot);
    ASSERT_GT(longTot.size() - 3, 0xFFu);
    EXPECT_EQ(ZR_ERR_SIP_ERROR_BAD_PARAM, SIP_ParseTOT(longTot.data(), (U16)(longTot.size() + 1), &parsed, 0));
}

namespace {
// A NIT section: network descriptors of ndl bytes, then the entries.
Bytes NITSection(U16 nid, U8 version, U8 number, U8 last, size_t ndl, const std::vector<std::pair<U16, size_t>>& ts)
{
    Bytes b = {0x40, 0xF0, 0, (U8)(nid >> 8), (U8)nid, (U8)(0xC1 | version << 1), number, last,
               (U8)(0xF0 | ndl >> 8), (U8)ndl};
    for (size_t i = 0; i < ndl; i += 50) {
        size_t n = ndl - i < 50 ? ndl - i : 50;
        b.push_back(0x40);  // network_name_descriptor
        b.push_back((U8)(n - 2));
        for (size_t k = 2; k < n; k++)
            b.push_back('N');
    }
    size_t loop = 0;
    for (auto& e : ts)
        loop += 6 + e.second;
    b.push_back((U8)(0xF0 | loop >> 8));
    b.push_back((U8)loop);
    for (auto& e : ts) {
        b.insert(b.end(), {(U8)(e.first >> 8), (U8)e.first, 0, 1, (U8)(0xF0 | e.second >> 8), (U8)e.second});
        for (size_t i = 0; i < e.second; i += 100) {
            size_t n = e.second - i < 100 ? e.second - i : 100;
            b.push_back(0x83);  // logical_channel_descriptor
            b.push_back((U8)(n - 2));
            for (size_t k = 2; k < n; k++)
                b.push_back((U8)k);
        }
    }
    return sifx::Sectionize(b);
}
}  // namespace

TEST(SectionCodecNIT, ParseMergeAndSplit)
{
    auto nit = std::make_unique<NITTable_t>();
    Bytes s0 = NITSection(0x1234, 6, 0, 1, 50, {{1, 100}, {2, 0}});
    Bytes s1 = NITSection(0x1234, 6, 1, 1, 50, {{3, 200}});
    ASSERT_EQ(0u, SIP_ParseNIT(s0.data(), (U16)(s0.size() + 1), nit.get(), 0));
    ASSERT_EQ(0u, SIP_ParseNIT(s1.data(), (U16)(s1.size() + 1), nit.get(), 1));
    EXPECT_EQ(0x1234, nit->u16NetworkId);
    EXPECT_EQ(6, nit->u8VersionNum);
    EXPECT_EQ(50, nit->u16NetworkInfoLen);  // from section 0 only
    ASSERT_EQ(3, nit->u16TPNumber);
    EXPECT_EQ(3, nit->arstTPData[2].u16TSID);
    EXPECT_EQ(200, nit->arstTPData[2].u16DescriptorsLen);

    // An entry whose descriptors run past the loop is refused.
    Bytes broken = s1;
    broken[10 + 50 + 2 + 5] = 250;
    EXPECT_EQ(SIP_ERR_PARAM, SIP_ParseNIT(broken.data(), (U16)(broken.size() + 1), nit.get(), 0));
    EXPECT_EQ(SIP_ERR_PARAM, SIP_ParseNIT(s1.data(), (U16)(s1.size() - 1), nit.get(), 0));

    // Merge two stored sections into the working form, then split it again.
    auto in = std::make_unique<NITBuf_t>();
    auto merged = std::make_unique<NITBuf_t>();
    memset(in.get(), 0, sizeof(*in));
    memcpy(in->aru8OutputNITSection, s0.data(), s0.size());
    memcpy(in->aru8OutputNITSection + s0.size(), s1.data(), s1.size());
    in->u16NITLength = (U16)(s0.size() + s1.size());
    ASSERT_EQ(0u, SIP_ConstructBigNITSection(in.get(), merged.get()));
    Bytes m(merged->aru8OutputNITSection, merged->aru8OutputNITSection + merged->u16NITLength);
    EXPECT_TRUE(CrcOk(m));
    EXPECT_EQ(16u + 50 + 106 + 6 + 206, m.size());
    std::string out = sifx::Decode(m);
    EXPECT_EQ(3u, sifx::Lines(out, "NIT_TS").size()) << out;

    // A stored length beyond the buffer's bytes is refused.
    in->u16NITLength = (U16)(s0.size() + s1.size() - 1);
    EXPECT_EQ(TSP_ERR_MSG_LENGTH, SIP_ConstructBigNITSection(in.get(), merged.get()));
    in->u16NITLength = 0;
    EXPECT_EQ(SIP_ERR_PARAM, SIP_ConstructBigNITSection(in.get(), merged.get()));

    // A merged NIT whose entries total 2500 bytes becomes three sections.
    std::vector<std::pair<U16, size_t>> entries;
    for (U16 i = 0; i < 25; i++)
        entries.push_back({(U16)(i + 1), 94});  // 25 x 100 bytes
    Bytes big = NITSection(0x55, 3, 0, 0, 100, entries);
    std::vector<U8> split(10240);
    U16 len = 0;
    ASSERT_EQ(0u, SIP_SplitNITSection(big.data(), (U16)big.size(), (U16)split.size(), split.data(), &len));
    auto secs = SplitSections(split.data(), len);
    ASSERT_EQ(3u, secs.size());
    size_t ndlTotal = 0;
    for (size_t i = 0; i < secs.size(); i++) {
        EXPECT_LE(secs[i].size(), 1024u);
        EXPECT_TRUE(CrcOk(secs[i]));
        EXPECT_EQ(i, secs[i][6]);
        EXPECT_EQ(2, secs[i][7]);
        ndlTotal += (secs[i][8] & 0x0F) << 8 | secs[i][9];
    }
    EXPECT_EQ(100u, ((secs[0][8] & 0x0F) << 8) | secs[0][9]);
    EXPECT_EQ(100u, ndlTotal);
    out = sifx::Decode(Bytes(split.begin(), split.begin() + len));
    auto ts = sifx::Lines(out, "NIT_TS");
    ASSERT_EQ(25u, ts.size()) << out;
    EXPECT_EQ("25", sifx::Field(ts[24], "ts_id"));
    EXPECT_EQ(2u, sifx::Lines(out, "DESC").size() - 25u);  // the network descriptors, once

    // An entry no section can hold, or an output buffer too small.
    Bytes huge = NITSection(0x55, 3, 0, 0, 10, {{1, 1003}, {2, 100}});
    EXPECT_EQ(SIP_ERR_PARAM, SIP_SplitNITSection(huge.data(), (U16)huge.size(), 10240, split.data(), &len));
    EXPECT_EQ(SIP_ERR_PARAM, SIP_SplitNITSection(big.data(), (U16)big.size(), 1000, split.data(), &len));

    // An ordinary section comes out with its reserved bits set and a fresh CRC.
    Bytes plain = s0;
    plain[1] &= 0x8F;
    plain[10 + 50] &= 0x0F;
    plain.back() ^= 0xFF;
    ASSERT_EQ(0u, SIP_SplitNITSection(plain.data(), (U16)plain.size(), 1024, split.data(), &len));
    ASSERT_EQ(s0.size(), len);
    EXPECT_EQ(0xF0, split[1] & 0xF0);
    EXPECT_EQ(0xF0, split[10 + 50] & 0xF0);
    EXPECT_TRUE(CrcOk(Bytes(split.begin(), split.begin() + len)));
    EXPECT_EQ(SIP_ERR_PARAM, SIP_SplitNITSection(plain.data(), (U16)plain.size(), 10, split.data(), &len));

    // A short input whose header claims a long section: nothing is read
    // beyond its bytes (the sanitizer build watches the heap copy).
    auto shortIn = std::make_unique<U8[]>(5);
    const U8 head[5] = {0x40, 0xF0, 0x40, 0x00, 0x01};
    memcpy(shortIn.get(), head, sizeof(head));
    EXPECT_EQ(SIP_ERR_PARAM, SIP_SplitNITSection(shortIn.get(), 5, 1024, split.data(), &len));
    EXPECT_EQ(0u, len);
}

// Sections read back come from files and peers: random bytes with plausible
// headers must never make a reader leave its buffer (the sanitizer build
// checks every access; each input lies in a heap block of its own size).
TEST(SectionCodecReaders, RandomSectionsStayInsideTheirBuffers)
{
    std::mt19937 rng(20261209);
    auto pick = [&](U32 lo, U32 hi) { return std::uniform_int_distribution<U32>(lo, hi)(rng); };
    auto nit = std::make_unique<NITTable_t>();
    auto in = std::make_unique<NITBuf_t>();
    auto merged = std::make_unique<NITBuf_t>();
    std::vector<U8> out(40000);
    TOTTable_t tot;
    for (int i = 0; i < 3000; i++) {
        const U16 len = (U16)pick(0, 1200);
        auto s = std::make_unique<U8[]>(len ? len : 1);
        for (U16 k = 0; k < len; k++)
            s[k] = pick(0, 3) == 0 ? 0 : (U8)pick(0, 255);
        if (len > 3) {
            U16 sl = (U16)(pick(0, 1) ? pick(0, len) : pick(0, 1200));
            s[0] = pick(0, 1) ? 0x40 : 0x73;
            s[1] = (U8)(0xF0 | sl >> 8);
            s[2] = (U8)sl;
        }
        SIP_ParseNIT(s.get(), len, nit.get(), (U8)pick(0, 2));
        SIP_ParseTOT(s.get(), len, &tot, (U8)pick(0, 1));
        U16 outLen = 0;
        SIP_SplitNITSection(s.get(), len, (U16)pick(0, 40000), out.data(), &outLen);
        ASSERT_LE(outLen, out.size());
        U16 loopLen = len;
        TSP_DelAllCaDescriptors(s.get(), &loopLen);
        ASSERT_LE(loopLen, len);
        memset(in.get(), 0, sizeof(*in));
        memcpy(in->aru8OutputNITSection, s.get(), loopLen);
        memcpy(in->aru8OutputNITSection + loopLen, s.get(), loopLen);
        in->u16NITLength = (U16)pick(0, 2u * loopLen);
        SIP_ConstructBigNITSection(in.get(), merged.get());
        ASSERT_LE(merged->u16NITLength, SIP_NITBUF_LEN);
    }
}
