// Result-code texts, CRC-32 and the small conversion helpers.
#include "Common/commonfun.h"
#include "Common/err.h"
#include "Common/thread.h"
#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

const U8* Bytes(const char* s) { return reinterpret_cast<const U8*>(s); }

// Restores the language after each test: it is process-wide.
class ErrText : public ::testing::Test {
protected:
    zrLanguage saved_ = g_enLanguage;
    void TearDown() override { g_enLanguage = saved_; }
};

}  // namespace

TEST(Crc, CheckValuesOfBothStartingValues)
{
    EXPECT_EQ(Common_CRC_Calculate(Bytes("123456789"), 9, 0xFFFFFFFFu), 0x0376E6E7u);
    EXPECT_EQ(Common_CRC_Calculate(Bytes("123456789"), 9, 0), 0x0376E6E7u) << "0 stands for 0xFFFFFFFF";
    EXPECT_EQ(Common_CRC_Calculate(Bytes("123456789"), 9, 0x04C11DB7u), 0x09312918u);
    U8 data[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Common_CRCCalculate(data, 9, 0x04C11DB7u), 0x09312918u);
}

TEST(Crc, EmptyInputGivesTheStartingValue)
{
    EXPECT_EQ(Common_CRC_Calculate(Bytes(""), 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(Common_CRC_Calculate(Bytes(""), 0, 0x04C11DB7u), 0x04C11DB7u);
    EXPECT_EQ(Common_CRCCalculate(nullptr, 10, 0), 0u) << "a null pointer is refused";
}

TEST(Crc, SectionWithItsOwnCrcChecksToZero)
{
    // A PAT section: table 0, one program (1 -> PMT PID 0x100).
    std::vector<U8> sec = {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xE1, 0x00};
    U32 crc = Common_CRC_Calculate(sec.data(), (U32)sec.size(), 0);
    for (int s = 24; s >= 0; s -= 8)
        sec.push_back((U8)(crc >> s));
    EXPECT_EQ(Common_CRC_Calculate(sec.data(), (U32)sec.size(), 0), 0u);
    // Chaining: the CRC of a whole equals the CRC continued from the first part.
    U32 part = Common_CRC_Calculate(sec.data(), 5, 0);
    EXPECT_EQ(Common_CRC_Calculate(sec.data() + 5, (U32)sec.size() - 5, part), 0u);
}

TEST_F(ErrText, FirstRowWinsAndLanguagesPickTheText)
{
    ASSERT_EQ(err_SetLanguage(EN_LANGUAGE_EN), 0);
    EXPECT_STREQ(err_GetErrCodeString(ZR_SUCCESS), "Success!");
    EXPECT_STREQ(err_GetErrCodeString(ZR_ERR_USER_TOKEN_ERR), "Please Login");
    EXPECT_STREQ(err_GetErrCodeString(ZR_ERR_WEB_SUBBOADR_LOADING),
                 "Please wait for the module to load completely or reconfigure the network parameter after "
                 "unplugging the module");
    EXPECT_STREQ(err_GetErrCodeString((zrErrCode)0x30017), "PID Conflict!");
    EXPECT_STREQ(err_GetErrCodeString(ZR_ERR_SIP_NIT_NO_EXIST), "NIT does not exist");
    for (int lang = 1; lang <= 5; lang++) {
        ASSERT_EQ(err_SetLanguage((zrLanguage)lang), 0);
        EXPECT_STREQ(err_GetErrCodeString(ZR_ERR_CRC), "CRC error!");
    }
    ASSERT_EQ(err_SetLanguage(EN_LANGUAGE_CN), 0);
    const char* cn = err_GetErrCodeString(ZR_ERR_CRC);
    ASSERT_NE(cn, nullptr);
    EXPECT_STRNE(cn, "CRC error!");
    EXPECT_GT(strlen(cn), 0u);
}

TEST_F(ErrText, CodesWithoutRowGiveEmptyText)
{
    for (zrErrCode c : {ZR_ERR_TSP_TS_ERROR, ZR_ERR_WEB_REBOOT_FAIL, ZR_ERR_USER_WAS_LOGIN,
                        ZR_ERR_UPGRADE_WITHOUT_TMP_VERSION, (zrErrCode)12345}) {
        for (zrLanguage l : {EN_LANGUAGE_CN, EN_LANGUAGE_EN}) {
            err_SetLanguage(l);
            const char* t = err_GetErrCodeString(c);
            ASSERT_NE(t, nullptr);
            EXPECT_STREQ(t, "") << c;
        }
    }
}

TEST_F(ErrText, UnsupportedLanguageIsRefused)
{
    ASSERT_EQ(err_SetLanguage(EN_LANGUAGE_FR), 0);
    EXPECT_EQ(err_SetLanguage(EN_LANGUAGE_MAX), -1);
    EXPECT_EQ(err_SetLanguage((zrLanguage)-1), -1);
    EXPECT_EQ(g_enLanguage, EN_LANGUAGE_FR);
    g_enLanguage = (zrLanguage)7;  // set behind the setter's back
    EXPECT_EQ(err_GetErrCodeString(ZR_SUCCESS), nullptr);
}

TEST(CommonHelpers, ChangeBit8To32PacksBigEndianWithinItsLimits)
{
    U8 in[200];
    for (int i = 0; i < 200; i++)
        in[i] = (U8)i;
    U32 out[51];
    memset(out, 0xAA, sizeof(out));
    Common_ChangeBit8To32(out, in, 196);
    EXPECT_EQ(out[0], 0x00010203u);
    EXPECT_EQ(out[48], 0xC0C1C2C3u);
    EXPECT_EQ(out[49], 0xAAAAAAAAu) << "no word beyond 196 bytes";

    memset(out, 0xAA, sizeof(out));
    Common_ChangeBit8To32(out, in, 7);  // one whole group; the rest ignored
    EXPECT_EQ(out[0], 0x00010203u);
    EXPECT_EQ(out[1], 0xAAAAAAAAu);

    for (U8 len : {(U8)3, (U8)197, (U8)0}) {
        memset(out, 0xAA, sizeof(out));
        Common_ChangeBit8To32(out, in, len);
        EXPECT_EQ(out[0], 0xAAAAAAAAu) << "length " << (int)len;
    }
    Common_ChangeBit8To32(nullptr, in, 8);
    Common_ChangeBit8To32(out, nullptr, 8);
    EXPECT_EQ(out[0], 0xAAAAAAAAu);
}

TEST(CommonHelpers, AsciiToUtf16AndDottedAddress)
{
    U8 name[] = {'W', 'X', 'Y'};
    U8 buf[8];
    memset(buf, 0x55, sizeof(buf));
    Common_ConvertASCToUTF16(name, 3, buf);
    const U8 want[] = {0, 'W', 0, 'X', 0, 'Y', 0x55, 0x55};
    EXPECT_EQ(memcmp(buf, want, sizeof(want)), 0);
    Common_ConvertASCToUTF16(name, 0, buf + 6);
    EXPECT_EQ(buf[6], 0x55);

    U8 addr[32];
    memset(addr, 'Z', sizeof(addr));
    Common_AddrU32toString(addr, 0xFFFFFFFEu);
    EXPECT_STREQ(reinterpret_cast<char*>(addr), "255.255.255.254");
    Common_AddrU32toString(addr, 0xC0A8BC6Eu);
    EXPECT_STREQ(reinterpret_cast<char*>(addr), "192.168.188.110");
    Common_AddrU32toString(nullptr, 1);  // logged, nothing written
}

static std::atomic<int> g_ran{0};
static void* Bump(void* arg)
{
    g_ran += *static_cast<int*>(arg);
    return nullptr;
}

TEST(Threads, NewDetachRunsTheFunctionDetached)
{
    static int two = 2;
    pthread_t t = THREAD_NEW_DETACH(Bump, &two, "Bump");
    ASSERT_NE(t, (pthread_t)0);
    for (int i = 0; i < 200 && g_ran.load() == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(g_ran.load(), 2);
}
