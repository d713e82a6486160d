// Output-stream pages of the web back end through the dispatcher: channel
// checks before any write, the editor's PID exchange, name and array limits,
// apply without an open edit, and what channel deletion and clearing send.
#include "Comm/ipcomm.h"
#include "Comm/maccomm.h"
#include "Common/thread.h"
#include "CommonModules/httpd/base.h"
#include "CommonModules/httpd/buffer.h"
#include "CommonModules/httpd/chunk.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp_del.h"
#include "TSprocess/tsp_mux.h"
#include "Web/web.h"
#include "mux_fixture.h"
#include "support/webcall.h"
#include <chrono>
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>

using namespace muxfix;

namespace {

using webcall::Answer;

std::unique_ptr<Answer> Call(const char* key, const std::string& body) { return webcall::Post(key, body); }

int Num(const cJSON* o, const char* key)
{
    const cJSON* v = cJSON_GetObjectItem(o, key);
    return v ? v->valueint : -1;
}

std::string Str(const cJSON* o, const char* key)
{
    const cJSON* v = cJSON_GetObjectItem(o, key);
    return cJSON_IsString(v) ? v->valuestring : "";
}

const U8 kSelf = 9;

class WebStreams : public ::testing::Test {
protected:
    void SetUp() override
    {
        mode_ = g_u32ModulationMode;
        channels_ = g_u8OutputChannelNum;
        g_u32ModulationMode = 3;
        g_u8OutputChannelNum = 4;
        Status_SetSlotID(kSelf);
        Status_SetSubBoardPlugStatus(1u << 2);
        ResetCarousel();
        // Channel 0: one program (id 5, PCR 0x101, video 0x102) fed by the
        // card itself, so no input card is asked anything; other PIDs 100, 200.
        ts_ = Stream(0, 0x10, false, kSelf);
        U16 g = Program(ts_, kSelf, 1, 5, 0x100, 0x101);
        PCR(ts_, g);
        ES(ts_, g, 0x102);
        Other(ts_, kSelf, 1, 100);
        Other(ts_, kSelf, 1, 200);
        ASSERT_EQ(TSP_MuxProcess(), 0u);
    }
    void TearDown() override
    {
        g_DelDestChannelNum = 0;
        g_u32ModulationMode = mode_;
        g_u8OutputChannelNum = channels_;
        ResetDb();
        SSD_InitBroadcastSI();
    }
    static U16 LiveStream(U16 channel)
    {
        U16 ts = 0xFFFF;
        TSP_GetOutputTSIndexByTS(channel, &ts);
        return ts;
    }
    static bool SlaveTablesPending()
    {
        return SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_MUXER, nullptr) &&
               SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_PASSLUT, nullptr);
    }
    U32 mode_ = 0;
    U8 channels_ = 0;
    U16 ts_ = 0;
};

TEST_F(WebStreams, ChannelNumbersAreCheckedBeforeAnyWrite)
{
    auto open = Call("GetSubboardTSInfo.w", R"({"token":"t"})");
    ASSERT_EQ(open->Code(), 0);
    const cJSON* chans = cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(open->Data(), "portlist"), 0),
                                             "channellist");
    ASSERT_EQ(cJSON_GetArraySize(chans), 1) << "channels without a stream are left out";
    EXPECT_EQ(Num(cJSON_GetArrayItem(chans, 0), "otherpidnumber"), 2);

    // 2^30 * 4 channels wraps round to channel 0 unless the port is checked.
    for (const char* where : {R"("port":0,"channel":8)", R"("port":1073741824,"channel":0)",
                              R"("port":-1,"channel":0)", R"("port":0,"channel":3)", R"("channel":0)"}) {
        std::string tail = std::string(",") + where + "}";
        EXPECT_EQ(Call("SetTsParam.w", R"({"token":"t","tsid":99)" + tail)->Code(), 774) << where;
        EXPECT_EQ(Call("SetProgramParam.w", R"({"token":"t","oldserviceid":5,"serviceid":77)" + tail)->Code(), 774)
            << where;
        EXPECT_EQ(Call("GetTempTSInfo.w", R"({"token":"t")" + tail)->Code(), 774) << where;
    }
    // A service id beyond 16 bits would alias program 5.
    EXPECT_EQ(Call("SetProgramParam.w", R"({"token":"t","port":0,"channel":0,"oldserviceid":65541,"serviceid":77})")
                  ->Code(),
              774);
    auto temp = Call("GetTempTSInfo.w", R"({"token":"t","port":0,"channel":0})");
    ASSERT_EQ(temp->Code(), 0);
    EXPECT_EQ(Num(temp->Data(), "tsid"), 0x10);
    EXPECT_EQ(Num(cJSON_GetArrayItem(cJSON_GetObjectItem(temp->Data(), "programlist"), 0), "serviceid"), 5);

    // Deletion without a channel (or outside the card) deletes nothing.
    EXPECT_EQ(Call("DeleteTSConfig.w", R"({"token":"t"})")->Code(), 774);
    EXPECT_EQ(Call("DeleteTSConfig.w", R"({"token":"t","channel":65536})")->Code(), 774);
    EXPECT_NE(LiveStream(0), 0xFFFF);
}

// The revision an answer gives (-1: none).
double Revision(const Answer& a)
{
    const cJSON* v = cJSON_GetObjectItem(a.Data(), "revision");
    return cJSON_IsNumber(v) ? v->valuedouble : -1;
}

TEST_F(WebStreams, RefusalsGiveTheRevisionThePageGoesOnWith)
{
    const double shown = Revision(*Call("GetSubboardTSInfo.w", R"({"token":"t"})"));
    ASSERT_GE(shown, 0);
    auto edit = [](double revision, const char* rest) {
        return Call("SetTsParam.w", "{\"token\":\"t\",\"port\":0,\"revision\":" + std::to_string((U32)revision) +
                                        "," + rest + "}");
    };
    // A bad member changed nothing: the page stays on its revision.
    auto bad = edit(shown, R"("channel":0,"tsid":70000)");
    EXPECT_EQ(bad->Code(), 774);
    EXPECT_EQ(Revision(*bad), shown);
    auto made = edit(shown, R"("channel":0,"tsid":17)");
    ASSERT_EQ(made->Code(), 0);
    const double after = Revision(*made);
    EXPECT_NE(after, shown);
    // A page shown the state before: refused with 783 and no revision; its
    // bad member keeps it on the one it named, never the one it did not see.
    auto stale = edit(shown, R"("channel":0,"tsid":18)");
    EXPECT_EQ(stale->Code(), 783);
    EXPECT_EQ(stale->Data(), nullptr);
    EXPECT_EQ(Revision(*edit(shown, R"("channel":0,"tsid":70000)")), shown);
    // A page without one is given the current revision, also by the apply.
    auto plain = Call("SetTsParam.w", R"({"token":"t","port":0,"channel":0,"tsid":70000})");
    auto apply = Call("ApplyAllParam.w", R"({"token":"t","revision":"1"})");
    EXPECT_EQ(plain->Code(), 774);
    EXPECT_EQ(Revision(*plain), after);
    EXPECT_EQ(apply->Code(), 774);
    EXPECT_EQ(Revision(*apply), after);
}

TEST_F(WebStreams, EditorExchangesPidsCutsNamesAndStaysInsideItsArrays)
{
    ASSERT_EQ(Call("GetSubboardTSInfo.w", R"({"token":"t"})")->Code(), 0);

    // Both items match the PIDs as they were: the two exchange.
    auto view = std::make_unique<Output_WebTSInfo>();
    ASSERT_EQ(Web_GetTempTSWebInfo(0, view.get()), 0u);
    cJSON* swap = cJSON_Parse(R"([{"oldpid":100,"newvalue":200},{"oldpid":200,"newvalue":100},{"oldpid":100}])");
    EXPECT_TRUE(Web_ReplaceOtherPIDs(view.get(), swap));
    cJSON_Delete(swap);
    // A PID the stream does not have was shown by another list.
    swap = cJSON_Parse(R"([{"oldpid":100,"newvalue":200},{"oldpid":999,"newvalue":300}])");
    auto stale = std::make_unique<Output_WebTSInfo>(*view);
    EXPECT_FALSE(Web_ReplaceOtherPIDs(stale.get(), swap));
    cJSON_Delete(swap);
    const U16 first = view->arOutputPIDInfo[0].u16PID, second = view->arOutputPIDInfo[1].u16PID;  // packed
    EXPECT_EQ(first, 200);
    EXPECT_EQ(second, 100);

    // 250 program entries and 25 elementary streams: only the view's arrays
    // are written; names longer than 32 bytes keep their first 32.
    std::string progs, es;
    for (int i = 0; i < 250; i++)
        progs += std::string(i ? "," : "") + R"({"providername":"P)" + std::to_string(i) + "\"}";
    for (int i = 0; i < 25; i++)
        es += std::string(i ? "," : "") + R"({"pid":)" + std::to_string(0x150 + i) + R"(,"pidtype":0,"streamtype":27})";
    auto ts = Call("SetTsParam.w", R"({"token":"t","port":0,"channel":0,"tsid":33,"programlist":[)" + progs +
                                       R"(],"otherpidlist":[{"oldpid":100,"newvalue":300}]})");
    EXPECT_EQ(ts->Code(), 0);
    std::string longName(40, 'N');
    auto prog = Call("SetProgramParam.w", R"({"token":"t","port":0,"channel":0,"oldserviceid":5,"servicename":")" +
                                              longName + R"(","pids":{"es":[)" + es + "]}}");
    EXPECT_EQ(prog->Code(), 0);

    auto temp = Call("GetTempTSInfo.w", R"({"token":"t","port":0,"channel":0})");
    ASSERT_EQ(temp->Code(), 0);
    EXPECT_EQ(Num(temp->Data(), "tsid"), 33);
    const cJSON* others = cJSON_GetObjectItem(temp->Data(), "otherpidlist");
    EXPECT_EQ(cJSON_GetArrayItem(others, 0)->valueint, 300);
    EXPECT_EQ(cJSON_GetArrayItem(others, 1)->valueint, 200);
    auto p = Call("GetTempProgramInfo.w", R"({"token":"t","port":0,"channel":0,"serviceid":5})");
    ASSERT_EQ(p->Code(), 0);
    EXPECT_EQ(Str(p->Data(), "servicename"), std::string(32, 'N'));
    EXPECT_EQ(Str(p->Data(), "providername"), "P0");
    const cJSON* esList = cJSON_GetObjectItem(cJSON_GetObjectItem(p->Data(), "pids"), "es");
    ASSERT_EQ(cJSON_GetArraySize(esList), 1);
    EXPECT_EQ(Num(cJSON_GetArrayItem(esList, 0), "pid"), 0x150);
    EXPECT_EQ(Str(cJSON_GetArrayItem(esList, 0), "streamtype"), "Video(MPEG2)") << "the stream type stays the source's";
}

TEST_F(WebStreams, ApplyOpensTheEditAndDeletionAndClearingReachTheSlave)
{
    // No edit open: the apply commits the live database, not an empty copy.
    EXPECT_EQ(Call("ApplyAllParam.w", R"({"token":"t"})")->Code(), 0);
    ASSERT_NE(LiveStream(0), 0xFFFF);

    // Channel 1 is fed by the card in slot 2: the deletion waits for its
    // answer, which the frame server counts down under the card-state lock.
    U16 ts1 = Stream(1, 0x11, false, 2);
    U16 g = Program(ts1, 2, 1, 6, 0x200, 0x201);
    PCR(ts1, g);
    ES(ts1, g, 0x202);
    ASSERT_EQ(TSP_MuxProcess(), 0u);
    SSD_FlushSubMessages();
    std::thread frameServer([] {
        for (int i = 0; i < 100 && g_DelDestChannelNum == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        CARD_STATE_LOCK();
        if (g_DelDestChannelNum > 0)
            g_DelDestChannelNum--;
    });
    auto start = std::chrono::steady_clock::now();
    int code = Call("DeleteTSConfig.w", R"({"token":"t","channel":1})")->Code();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    frameServer.join();
    EXPECT_EQ(code, 0);
    EXPECT_LT(seconds, 5.0) << "the wait must not hold the lock the answer needs";
    EXPECT_TRUE(SSD_GetPendingPeerMessage(TSP_SlotMessageKey(IPCOMM_SEND_DEL_DESTCHANNEL, 2), nullptr));
    EXPECT_EQ(LiveStream(1), 0xFFFF);
    EXPECT_NE(LiveStream(0), 0xFFFF);
    EXPECT_TRUE(SlaveTablesPending());

    SSD_FlushSubMessages();
    EXPECT_EQ(Call("ClearAllParam.w", R"({"token":"t"})")->Code(), 0);
    EXPECT_EQ(LiveStream(0), 0xFFFF);
    EXPECT_TRUE(SlaveTablesPending());
}

}  // namespace
