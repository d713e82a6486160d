// The card MIB's own logic: channel plans and their look-ups, the frequency
// checks of the settings table, its SET value checks and the steps of a SET
// that fails after its action, the web frequency check it calls, and the
// base information text.
#include "Parameter/parameters.h"
#include "StatusProcess/resource.h"
#include "Web/web.h"
#include "agent/mibgroup/dtmb/dtmb.h"
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Keeps the live set, the modulation mode and the back board's record.
class LiveSetGuard {
public:
    LiveSetGuard() : set_(*GetDTMBPara_Handle()), mode_(g_u32ModulationMode), bb_(*Resource_GetHandle(SLOT_BB)) {}
    ~LiveSetGuard()
    {
        *GetDTMBPara_Handle() = set_;
        g_u32ModulationMode = mode_;
        *Resource_GetHandle(SLOT_BB) = bb_;
    }

private:
    TParameter_DTMB set_;
    U32 mode_;
    TResource_TS bb_;
};

void SetFreqs(TParameter_DTMB& set, std::initializer_list<U32> freqs)
{
    U32 c = 0;
    for (U32 f : freqs)
        set.OutputFreq[c++] = f;
}

std::string Name(const ATSC_ChannelPlan* plan, int i) { return plan->name[i]; }

}  // namespace

TEST(ChannelPlan, SizesFrequenciesAndNames)
{
    const ATSC_ChannelPlan* air = ATSC_GetChannelPlan(0);
    const ATSC_ChannelPlan* std = ATSC_GetChannelPlan(1);
    const ATSC_ChannelPlan* irc = ATSC_GetChannelPlan(2);
    const ATSC_ChannelPlan* hrc = ATSC_GetChannelPlan(3);
    ASSERT_TRUE(air && std && irc && hrc);
    EXPECT_EQ(nullptr, ATSC_GetChannelPlan(4));
    EXPECT_EQ(68u, air->count);
    EXPECT_EQ(134u, std->count);
    EXPECT_EQ(134u, irc->count);
    EXPECT_EQ(134u, hrc->count);
    // Band edges of each plan, entry i being channel i + 2.
    EXPECT_EQ(57000u, air->freq[0]);
    EXPECT_EQ(79000u, air->freq[3]);
    EXPECT_EQ(177000u, air->freq[5]);
    EXPECT_EQ(473000u, air->freq[12]);
    EXPECT_EQ(803000u, air->freq[67]);
    EXPECT_EQ(123000u, std->freq[12]);
    EXPECT_EQ(219000u, std->freq[21]);
    EXPECT_EQ(93000u, std->freq[93]);
    EXPECT_EQ(651000u, std->freq[98]);
    EXPECT_EQ(861000u, std->freq[133]);
    EXPECT_EQ(79250u, irc->freq[3]);
    EXPECT_EQ(85250u, irc->freq[4]);
    EXPECT_EQ(55750u, hrc->freq[0]);
    EXPECT_EQ(78000u, hrc->freq[3]);
    EXPECT_EQ(84000u, hrc->freq[4]);
    EXPECT_EQ("CH2-57MHz", Name(std, 0));
    EXPECT_EQ("CH5-79.25MHz", Name(irc, 3));
    EXPECT_EQ("CH2-55.75MHz", Name(hrc, 0));
    EXPECT_EQ("CH135-859.75MHz", Name(hrc, 133));
    EXPECT_EQ("CH69-803MHz", Name(air, 67));
}

TEST(ChannelPlan, LookUps)
{
    const ATSC_ChannelPlan* std = ATSC_GetChannelPlan(1);
    const ATSC_ChannelPlan* hrc = ATSC_GetChannelPlan(3);
    EXPECT_EQ(0, ATSC_FindChannelByName(std, "CH2-57MHz", 9));
    EXPECT_EQ(0, ATSC_FindChannelByName(std, "57", 2));
    EXPECT_EQ(0, ATSC_FindChannelByName(hrc, "55.75", 5));
    EXPECT_EQ(-1, ATSC_FindChannelByName(std, "CH2", 3));
    EXPECT_EQ(-1, ATSC_FindChannelByName(std, "", 0));
    EXPECT_EQ(-1, ATSC_FindChannelByName(nullptr, "57", 2));
    // The text is compared by its length: a prefix or a longer text with
    // the name at its start is not the name.
    EXPECT_EQ(-1, ATSC_FindChannelByName(std, "CH2-57MHz", 8));
    EXPECT_EQ(-1, ATSC_FindChannelByName(std, "5", 1));
    char unterminated[SETTING_NAME_SIZE];
    memset(unterminated, 'x', sizeof(unterminated));
    memcpy(unterminated, "CH2-57MHz", 9);
    EXPECT_EQ(-1, ATSC_FindChannelByName(std, unterminated, sizeof(unterminated)));
    EXPECT_EQ(0, ATSC_FindChannelByName(std, unterminated, 9));
    // Frequency to entry: the first that matches; none gives -1.
    EXPECT_EQ(3, ATSC_FindChannelByFreq(std, 79000));
    EXPECT_EQ(-1, ATSC_FindChannelByFreq(std, 79001));
}

TEST(FrequencyCheck, DVBTGroupsAndRange)
{
    LiveSetGuard guard;
    TParameter_DTMB& set = *GetDTMBPara_Handle();
    for (auto& b : set.Bandwidth_Sel)
        b = (eDVBT_Bandwidth_Sel)2;
    SetFreqs(set, {474000, 482000, 490000, 498000, 578000, 586000, 594000, 602000});
    U32 step = 0;
    EXPECT_EQ(0, DVBT_OutputFreq_Check(0, 474000, &step));
    EXPECT_EQ(8000u, step);
    EXPECT_EQ(0, DVBT_OutputFreq_Check(0, 546000, &step));   // 4 channels fit under channel 4
    EXPECT_EQ(3, DVBT_OutputFreq_Check(0, 546001, &step));
    EXPECT_EQ(3, DVBT_OutputFreq_Check(0, 600000, &step));   // above channel 4 but below 7 + step
    EXPECT_EQ(0, DVBT_OutputFreq_Check(0, 610000, &step));
    EXPECT_EQ(3, DVBT_OutputFreq_Check(0, 47999, &step));
    EXPECT_EQ(3, DVBT_OutputFreq_Check(0, 838001, &step));
    EXPECT_EQ(3, DVBT_OutputFreq_Check(0, -474000, &step));
    EXPECT_EQ(3, DVBT_OutputFreq_Check(4, 500000, &step));   // inside channels 0-3
    EXPECT_EQ(0, DVBT_OutputFreq_Check(4, 506000, &step));
    EXPECT_EQ(0, DVBT_OutputFreq_Check(2, 1, &step));        // only the groups' first channels are checked
    // A neighbour near the top of 32 bits: "channel 7 plus a step" and
    // "channel 3 plus a step" must not wrap into a pass.
    set.OutputFreq[4] = 100000;
    set.OutputFreq[7] = 0xFFFFF000u;
    EXPECT_EQ(3, DVBT_OutputFreq_Check(0, 474000, &step));
    set.OutputFreq[0] = 48000;
    set.OutputFreq[3] = 0xFFFFF000u;
    EXPECT_EQ(3, DVBT_OutputFreq_Check(4, 474000, &step));
    set.Bandwidth_Sel[0] = (eDVBT_Bandwidth_Sel)7;
    EXPECT_EQ(4, QAMA_OutputFreq_Check(0, 474000, &step));
}

TEST(FrequencyCheck, ATSCSpacingAndWindow)
{
    LiveSetGuard guard;
    TParameter_DTMB& set = *GetDTMBPara_Handle();
    SetFreqs(set, {57000, 63000, 69000, 79000, 177000, 183000, 189000, 195000});
    for (U32& e : set.u32Enable)
        e = 1;
    EXPECT_EQ(0, ATSC_OutputFreq_Check(0, 57000, 1));
    EXPECT_EQ(3, ATSC_OutputFreq_Check(0, 60000, 1));   // closer than 6 MHz to channel 1
    EXPECT_EQ(3, ATSC_OutputFreq_Check(0, 1000, 1));    // more than 50 MHz below the group's mean
    EXPECT_EQ(3, ATSC_OutputFreq_Check(0, 260000, 1));  // more than 50 MHz above it
    // Not counting and not enabled: no other channel enabled accepts at once.
    for (U32& e : set.u32Enable)
        e = 0;
    EXPECT_EQ(0, ATSC_OutputFreq_Check(1, 800000, 0));
    set.u32Enable[2] = 1;
    EXPECT_EQ(3, ATSC_OutputFreq_Check(1, 69000 + 5999, 0));
    EXPECT_EQ(0, ATSC_OutputFreq_Check(1, 69000 + 6000, 0));
}

TEST(FrequencyCheck, WebQAMBGroupsWithoutWrap)
{
    LiveSetGuard guard;
    TParameter_DTMB set = *GetDTMBPara_Handle();
    SetFreqs(set, {57000, 63000, 69000, 79000, 177000, 183000, 189000, 195000});
    for (U32& e : set.u32Enable)
        e = 1;
    g_u32ModulationMode = 6;
    EXPECT_EQ(ZR_SUCCESS, web_Check_QAMB_Frequency(&set));
    set.OutputFreq[7] = 300000;
    EXPECT_EQ(ZR_ERR_WEB_SET_FREQUENCY_ERROR, web_Check_QAMB_Frequency(&set));
    set.u32Enable[7] = 2;  // bit 0 clear: not enabled
    EXPECT_EQ(ZR_SUCCESS, web_Check_QAMB_Frequency(&set));
    // Four frequencies near the top of 32 bits: their sum must not wrap.
    for (U32 c = 0; c < 4; c++)
        set.OutputFreq[c] = 0xFFFF0000u;
    EXPECT_EQ(ZR_SUCCESS, web_Check_QAMB_Frequency(&set));
    // J.83 Annex B checks only in the ATSC SI mode; other modes never.
    set.OutputFreq[0] = 1;
    g_u32ModulationMode = 4;
    Resource_GetHandle(SLOT_BB)->u8Standard = 0;
    EXPECT_EQ(ZR_SUCCESS, web_Check_QAMB_Frequency(&set));
    Resource_GetHandle(SLOT_BB)->u8Standard = 1;
    EXPECT_EQ(ZR_ERR_WEB_SET_FREQUENCY_ERROR, web_Check_QAMB_Frequency(&set));
    g_u32ModulationMode = 1;
    EXPECT_EQ(ZR_SUCCESS, web_Check_QAMB_Frequency(&set));
    EXPECT_EQ(ZR_ERR_PARAMS, web_Check_QAMB_Frequency(nullptr));
}

TEST(SettingTable, SetValueChecks)
{
    EXPECT_EQ(SNMP_ERR_NOERROR, settingTable_CheckValue(COLUMN_OUTPUT_FREQ, ASN_INTEGER, sizeof(long)));
    EXPECT_EQ(SNMP_ERR_WRONGTYPE, settingTable_CheckValue(COLUMN_OUTPUT_FREQ, ASN_OCTET_STR, 4));
    EXPECT_EQ(SNMP_ERR_WRONGLENGTH, settingTable_CheckValue(COLUMN_QAMA_BANDWIDTH, ASN_INTEGER, 2));
    EXPECT_EQ(SNMP_ERR_NOERROR, settingTable_CheckValue(COLUMN_QAMB_CHANNEL, ASN_OCTET_STR, 20));
    EXPECT_EQ(SNMP_ERR_WRONGLENGTH, settingTable_CheckValue(COLUMN_ATSC_CHANNEL, ASN_OCTET_STR, 21));
    EXPECT_EQ(SNMP_ERR_WRONGTYPE, settingTable_CheckValue(COLUMN_ATSC_CHANNEL, ASN_INTEGER, sizeof(long)));
    for (U32 column : {0u, 1u, 18u, 19u, 28u, 200u})
        EXPECT_EQ(SNMP_ERR_NOTWRITABLE, settingTable_CheckValue(column, ASN_INTEGER, sizeof(long))) << column;
}

// The table's handler driven through a SET's steps as the agent drives them.
// A SET whose action step failed (in another varbind, or in a later cell of
// this table) is undone: the live set is as the SET found it.
TEST(SettingTable, FailedActionIsUndone)
{
    LiveSetGuard guard;
    settingTable_entry* row = settingTable_createEntry(1);
    const TParameter_DTMB start = *GetDTMBPara_Handle();
    const long power = start.OutputPow[0] == 30 ? 40 : 30;
    auto run = [&](std::initializer_list<std::pair<U32, long>> cells, bool actionFails) {
        std::vector<netsnmp_variable_list> vbs(cells.size());
        std::vector<netsnmp_request_info> reqs(cells.size());
        std::vector<netsnmp_table_request_info> infos(cells.size());
        size_t i = 0;
        for (auto [column, value] : cells) {
            memset(&vbs[i], 0, sizeof(vbs[i]));
            snmp_set_var_typed_value(&vbs[i], ASN_INTEGER, &value, sizeof(value));
            reqs[i] = netsnmp_request_info{};
            reqs[i].requestvb = &vbs[i];
            reqs[i].next = i + 1 < cells.size() ? &reqs[i + 1] : nullptr;
            infos[i] = netsnmp_table_request_info{};
            infos[i].colnum = column;
            netsnmp_request_add_list_data(&reqs[i], netsnmp_create_data_list(TABLE_HANDLER_NAME, &infos[i], nullptr));
            netsnmp_request_add_list_data(&reqs[i], netsnmp_create_data_list(TABLE_ITERATOR_NAME, row, nullptr));
            i++;
        }
        netsnmp_agent_request_info reqinfo{};
        for (int mode : {MODE_SET_RESERVE1, MODE_SET_RESERVE2, MODE_SET_ACTION}) {
            reqinfo.mode = mode;
            settingTable_handler(nullptr, nullptr, &reqinfo, &reqs[0]);
        }
        bool failed = false;
        for (auto& r : reqs)
            failed = failed || r.status != SNMP_ERR_NOERROR;
        EXPECT_EQ(failed, actionFails);
        reqinfo.mode = MODE_SET_UNDO;
        settingTable_handler(nullptr, nullptr, &reqinfo, &reqs[0]);
        netsnmp_free_agent_data_sets(&reqinfo);
        for (auto& r : reqs)
            netsnmp_free_request_data_sets(&r);
        for (auto& vb : vbs)
            snmp_free_var_internals(&vb);
    };
    // Another varbind's action failed: this table's own edit is put back.
    run({{COLUMN_OUTPUT_POWER, power}}, false);
    EXPECT_EQ(0, memcmp(GetDTMBPara_Handle(), &start, sizeof(start)));
    // A later cell of the same SET is refused in the action step.
    run({{COLUMN_OUTPUT_POWER, power}, {COLUMN_OUTPUT_POWER, 99}}, true);
    EXPECT_EQ(0, memcmp(GetDTMBPara_Handle(), &start, sizeof(start)));
    settingTable_removeEntry(row);
}

TEST(BaseInfo, TextOfAView)
{
    static Output_WebTSInfo view;
    memset(&view, 0, sizeof(view));
    view.u32TotalBitRate = 38000;
    view.u32EffectiveBitRate = 30000;
    char text[BASEINFO_TEXT_SIZE];
    size_t len = baseInfo_FormatText(&view, text);
    const std::string normal = "total bitrate:38.000 Mbps | effective bitrate:30.000 Mbps | bit rate status:Normal";
    EXPECT_EQ(normal, std::string(text, len));
    view.bOverFlow = 1;
    view.u32TotalBitRate = 0xFFFFFFFFu;
    len = baseInfo_FormatText(&view, text);
    EXPECT_EQ(strlen(text), len);
    EXPECT_NE(std::string::npos, std::string(text, len).find("Mbps | bit rate status:Overflow"));
    EXPECT_LT(len, (size_t)BASEINFO_TEXT_SIZE);
}
