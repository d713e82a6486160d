// The log filter, names and prefixes, the device log's merging and rotation,
// the settings file and the program-log reader.
#include "Log/log.h"
#include "Platform/platform.h"
#include "support/testboard.h"
#include <cstdio>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string Real(const char* sysPath) { return plat::Path(sysPath); }

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string l;
    while (std::getline(ss, l))
        out.push_back(l);
    return out;
}

// One device-log entry: first time, last time, count field, text.
std::string Entry(const std::string& first, const std::string& last, const std::string& count, const std::string& text)
{
    return first + " " + last + count + text + "\n";
}

const char* kOldTime = "Jan  1 00:00:00";

// Entries of other messages, at least minBytes long in all.
std::string Filler(size_t minBytes, const char* tag = "filler")
{
    std::string out;
    for (int n = 0; out.size() < minBytes; n++)
        out += Entry(kOldTime, kOldTime, " 0000  ", "[INFO][SYS]" + std::string(tag) + " " + std::to_string(n));
    return out;
}

size_t CountOf(const std::string& hay, const std::string& needle)
{
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        n++;
    return n;
}

// Every test starts from an empty device log and a filter that lets all
// messages through to the system logger only.
class LogTest : public ::testing::Test {
protected:
    U32 level_ = Log_GetLevel(), module_ = Log_GetModule(), output_ = Log_GetOutputMode();
    std::string dev_ = Real(LOG_DEVICE_PATH);
    std::string old_ = Real(LOG_DEVICE_OLD_PATH);
    std::string prog_ = Real(LOG_FILE_PATH);

    void SetUp() override
    {
        remove(dev_.c_str());
        remove(old_.c_str());
        Log_SetLevel(14);
        Log_SetModule(0xFFFF);
        Log_SetOutputMode(LOG_OUTPUT_SYSLOG);
    }
    void TearDown() override
    {
        Log_SetLevel(level_);
        Log_SetModule(module_);
        Log_SetOutputMode(output_);
        remove(dev_.c_str());
        remove(old_.c_str());
    }
    std::string Dev() { return Slurp(dev_); }
    std::string LastLine(const std::string& path)
    {
        auto l = Lines(Slurp(path));
        return l.empty() ? "" : l.back();
    }
};

}  // namespace

// ---- filter, names, prefixes -------------------------------------------------

TEST_F(LogTest, FilterNeedsBothLevelAndModuleBits)
{
    log_printf((LogLevel_EM)LOG_LEVEL_INFO, LOG_MODULE_INIT, "init module message\n");
    EXPECT_NE(Dev().find("[INFO][SYS]init module message\n"), std::string::npos) << "INIT shows as SYS";

    log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_SYS, "debug is off by default\n");
    Log_SetLevel(LOG_LEVEL_ERROR);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "info while only errors pass\n");
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "an error passes\n");
    Log_SetLevel(14);
    Log_SetModule(LOG_MODULE_FPGA);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "sys while only fpga passes\n");
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_FPGA, "fpga passes\n");

    std::string d = Dev();
    EXPECT_EQ(d.find("debug is off"), std::string::npos);
    EXPECT_EQ(d.find("info while only errors"), std::string::npos);
    EXPECT_NE(d.find("[ERROR][SYS]an error passes"), std::string::npos);
    EXPECT_EQ(d.find("sys while only fpga"), std::string::npos);
    EXPECT_NE(d.find("[INFO][FPGA]fpga passes"), std::string::npos);
}

TEST_F(LogTest, NamesComeFromTheLowestBitAndPriorityFromTheLevel)
{
    Log_SetLevel(0xFF);
    struct Case {
        U32 level, module;
        const char* text;
        const char* devPrefix;
        const char* priority;
    } cases[] = {
        {12, 0x0C, "two level bits", "[WARNING][UPGRADE]", "user.info"},
        {LOG_LEVEL_WARNING, LOG_MODULE_SIP, "a warning", "[WARNING][SIPROCESS]", "user.warning"},
        {LOG_LEVEL_ERROR, LOG_MODULE_MOD, "an error", "[ERROR][MODULATEINIT]", "user.err"},
        {LOG_LEVEL_DEBUG, LOG_MODULE_WEB, "a debug line", "[DEBUG][WEB]", "user.debug"},
        {16, 0x8000, "unnamed bits", "[DEBUG][SYS]", "user.info"},
    };
    for (const Case& c : cases) {
        log_printf((LogLevel_EM)c.level, (LogModule_EM)c.module, "%s\n", c.text);
        std::string dev = LastLine(dev_);
        EXPECT_EQ(dev.substr(38), std::string(c.devPrefix) + c.text) << c.text;
        // The system logger gets the module name and the text, not the level name.
        std::string prog = LastLine(prog_);
        std::string module(c.devPrefix);
        module = module.substr(module.find("]") + 1);
        EXPECT_NE(prog.find(std::string(c.priority) + " [K9_Modulate]"), std::string::npos) << prog;
        EXPECT_NE(prog.find("]: " + module + c.text), std::string::npos) << prog;
    }
}

TEST_F(LogTest, MakerNameIsReplacedInAnyCase)
{
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "TARVEX box by Tarvex, tarvex%s\n", "!");
    std::string line = LastLine(dev_);
    EXPECT_EQ(line.substr(38), "[INFO][SYS]product box by product, product");
    EXPECT_EQ(LastLine(prog_).find("arvex"), std::string::npos);
}

TEST_F(LogTest, OutputBitsChooseTheWays)
{
    Log_SetOutputMode(0);
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "nowhere\n");
    Log_SetOutputMode(LOG_OUTPUT_CONSOLE);
    testing::internal::CaptureStdout();
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "console only\n");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[ERROR][SYS]console only\n");
    EXPECT_FALSE(FileExists(dev_));
    EXPECT_EQ(Slurp(prog_).find("nowhere"), std::string::npos);
}

TEST_F(LogTest, LongMessagesAreCut)
{
    std::string big(600, 'x');
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%s", big.c_str());
    std::string line = LastLine(dev_);
    // The formatted text is cut at 255 characters, the prefixed line too.
    EXPECT_EQ(line.size(), 38u + 255u);
}

// ---- device log ------------------------------------------------------------------

TEST_F(LogTest, RepeatsMergeIntoOneEntryAtTheEnd)
{
    std::string filler = Filler(300);
    Spill(dev_, filler);
    for (int i = 0; i < 3; i++)
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "repeat me!\n\n");
    std::string d = Dev();
    EXPECT_EQ(CountOf(d, "repeat me"), 1u);
    ASSERT_EQ(d.substr(0, filler.size()), filler) << "earlier entries are untouched";
    std::string entry = d.substr(filler.size());
    EXPECT_EQ(entry.size(), 38u + strlen("[INFO][SYS]repeat me") + 1) << "trailing '!' and newlines stripped";
    EXPECT_EQ(entry.substr(31, 7), " 0002  ");
    EXPECT_EQ(entry.substr(38), "[INFO][SYS]repeat me\n");
}

TEST_F(LogTest, MergeKeepsTheFirstTimeAndMovesTheEntryUp)
{
    std::string before = Filler(200, "before");
    std::string after = Filler(200, "after");
    std::string old = Entry("Feb  3 04:05:06", "Feb  3 04:05:07", " 0041  ", "[ERROR][FPGA]again");
    Spill(dev_, before + old + after);
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_FPGA, "again\n");
    std::string d = Dev();
    ASSERT_EQ(d.size(), before.size() + old.size() + after.size()) << "a merge keeps the file's length";
    EXPECT_EQ(d.substr(0, before.size() + after.size()), before + after);
    std::string entry = d.substr(before.size() + after.size());
    EXPECT_EQ(entry.substr(0, 15), "Feb  3 04:05:06");
    EXPECT_NE(entry.substr(16, 15), "Feb  3 04:05:07") << "last time is now";
    EXPECT_EQ(entry.substr(31, 7), " 0042  ");
}

TEST_F(LogTest, CountSaturatesAtTenThousand)
{
    Spill(dev_, Filler(300) + Entry(kOldTime, kOldTime, " 9999  ", "[INFO][SYS]busy"));
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "busy\n");
    EXPECT_EQ(LastLine(dev_).substr(31, 7), " 9999+ ");
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "busy\n");
    EXPECT_EQ(LastLine(dev_).substr(31, 7), " 9999+ ");
    EXPECT_EQ(CountOf(Dev(), "busy"), 1u);
}

TEST_F(LogTest, SmallLogIsNotSearched)
{
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "twice\n");
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "twice\n");
    auto l = Lines(Dev());
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].substr(31), " 0000  [INFO][SYS]twice");
    EXPECT_EQ(l[1].substr(31), " 0000  [INFO][SYS]twice");
}

TEST_F(LogTest, OnlyAWholeEntryMatches)
{
    std::string filler = Filler(300);
    Spill(dev_, filler);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "x[INFO][SYS]tail\n");
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "tail\n");
    auto l = Lines(Dev().substr(filler.size()));
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].substr(31), " 0000  [INFO][SYS]x[INFO][SYS]tail");
    EXPECT_EQ(l[1].substr(31), " 0000  [INFO][SYS]tail");
}

TEST_F(LogTest, TailReadStartingInsideAnEntryDoesNotMatch)
{
    // The last 16 KiB begin 38 characters before a text that equals the new
    // message, but inside a longer line: that is no entry.
    std::string head = Entry(kOldTime, kOldTime, " 0000  ", "[INFO][SYS]long line ") ;
    head.pop_back();  // the line goes on
    std::string fake = std::string(38, 'A') + "[INFO][SYS]midwindow\n";
    std::string tail = fake;
    std::string fill = Filler(16384 - fake.size() - 200, "pad");
    tail += fill;
    // Top up with one entry of exactly the length still missing.
    size_t missing = 16384 - tail.size();
    ASSERT_GT(missing, 38u + 12u);
    tail += Entry(kOldTime, kOldTime, " 0000  ", "[INFO][SYS]" + std::string(missing - 38 - 12, 'p'));
    ASSERT_EQ(tail.size(), 16384u);
    Spill(dev_, head + tail);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "midwindow\n");
    std::string d = Dev();
    EXPECT_EQ(d.substr(0, head.size() + tail.size()), head + tail) << "nothing was taken out";
    EXPECT_EQ(LastLine(dev_).substr(31), " 0000  [INFO][SYS]midwindow");
}

TEST_F(LogTest, RotatesOnlyAboveTwoMiB)
{
    const size_t kLimit = 2097152;
    const std::string one = "[INFO][SYS]rotate one";
    size_t entryLen = 38 + one.size() + 1;
    std::string body = Filler(kLimit - entryLen - 400, "bulk");
    size_t missing = kLimit - entryLen - body.size();
    body += Entry(kOldTime, kOldTime, " 0000  ", "[INFO][SYS]" + std::string(missing - 38 - 12, 'q'));
    ASSERT_EQ(body.size() + entryLen, kLimit);
    Spill(dev_, body);
    Spill(old_, "older generation\n");

    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "rotate one\n");
    struct stat st;
    ASSERT_EQ(stat(dev_.c_str(), &st), 0);
    EXPECT_EQ((size_t)st.st_size, kLimit) << "exactly 2 MiB stays";
    EXPECT_EQ(Slurp(old_), "older generation\n");

    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "rotate two\n");
    EXPECT_FALSE(FileExists(dev_));
    std::string rotated = Slurp(old_);
    EXPECT_GT(rotated.size(), kLimit);
    EXPECT_EQ(rotated.substr(rotated.size() - 11), "rotate two\n");

    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "rotate three\n");
    auto l = Lines(Dev());
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].substr(38), "[INFO][SYS]rotate three");
}

// ---- settings file -----------------------------------------------------------------

TEST_F(LogTest, SettingsFileHoldsTwelveBytes)
{
    std::string file = Real(LOG_SETTING_PATH);
    Log_SetLevel(8);
    Log_SetModule(0x400);
    Log_SetOutputMode(3);
    EXPECT_EQ(LogSetting_StoreParam(), 0u);
    const char want[12] = {8, 0, 0, 0, 0, 4, 0, 0, 3, 0, 0, 0};
    EXPECT_EQ(Slurp(file), std::string(want, 12));

    // A short file sets what it holds and still counts as read.
    Spill(file, std::string("\x04\x00\x00\x00", 4));
    Log_SetLevel(14);
    Log_SetModule(0xFFFF);
    Log_SetOutputMode(LOG_OUTPUT_SYSLOG);
    EXPECT_EQ(Log_RestoreParam(), 0u);
    EXPECT_EQ(Log_GetLevel(), 4u);
    EXPECT_EQ(Log_GetModule(), 0xFFFFu);
    EXPECT_EQ(Log_GetOutputMode(), (U32)LOG_OUTPUT_SYSLOG);

    // A missing file gives the defaults, which are stored.
    remove(file.c_str());
    Log_RestoreParam();
    EXPECT_EQ(Log_GetLevel(), 14u);
    EXPECT_EQ(Log_GetModule(), 0xFFFFu);
    EXPECT_EQ(Log_GetOutputMode(), 255u);
    const char defaults[12] = {14, 0, 0, 0, (char)0xFF, (char)0xFF, 0, 0, (char)0xFF, 0, 0, 0};
    EXPECT_EQ(Slurp(file), std::string(defaults, 12));
}

// ---- string replacement ------------------------------------------------------------

TEST(StringReplaceTest, BoundedAndCaseBlind)
{
    char dest[64];
    char src[] = "TarVex and tarvex";
    StringReplace(src, "tarvex", "product", dest, sizeof(dest));
    EXPECT_STREQ(dest, "product and product");
    StringReplace(src, "tarvex", "product", dest, 10);
    EXPECT_STREQ(dest, "product a");

    // Equal words: a copy that never reads past a shorter source.
    char* shortSrc = strdup("ab");
    memset(dest, 'Z', sizeof(dest));
    StringReplace(shortSrc, "x", "x", dest, sizeof(dest));
    EXPECT_STREQ(dest, "ab");
    free(shortSrc);

    memset(dest, 'Z', sizeof(dest));
    StringReplace(nullptr, "a", "b", dest, sizeof(dest));
    EXPECT_EQ(dest[0], 'Z');
}

// ---- program-log reader ------------------------------------------------------------

class LogCacheTest : public ::testing::Test {
protected:
    std::string prog_ = Real(LOG_FILE_PATH);
    std::string saved_;
    void SetUp() override { saved_ = Slurp(prog_); }
    void TearDown() override { Spill(prog_, saved_); }
};

TEST_F(LogCacheTest, ReadsLevelledLinesAndKeepsItsPlace)
{
    std::string text =
        "Dec  9 00:00:01 card user.info [K9_Modulate][12]: [SYS]hello info\n"
        "Dec  9 00:00:02 card user.err [K9_Modulate][12]: [FPGA]bad thing\n"
        "Dec  9 00:00:03 card kern.notice kernel: no level word\n"
        "Dec  9 00:00:04 card user.warning [K9_Modulate][12]: [SYS]warn\n"
        "no dot in this line\n"
        "Dec  9 00:00:05 card user.debug [K9_Modulate][12]: [SYS]dbg\n";
    Spill(prog_, text);
    ASSERT_EQ(Log_CacheRead(0), 4u);
    EXPECT_EQ(logOffset, (long)text.size()) << "skipped lines move the offset too";
    EXPECT_EQ(g_arrLogLevel[0], 1);
    EXPECT_STREQ(g_arrLogRecord[0], " [SYS]hello info");
    EXPECT_EQ(g_arrLogLevel[1], 3);
    EXPECT_STREQ(g_arrLogRecord[1], " [FPGA]bad thing");
    EXPECT_EQ(g_arrLogLevel[2], 2);
    EXPECT_EQ(g_arrLogLevel[3], 0);
    EXPECT_STREQ(g_arrLogRecord[3], " [SYS]dbg");
    EXPECT_NE(g_arrLogTime[0], 0u);

    // Later lines only.
    std::string more = "Dec  9 00:00:06 card user.info [K9_Modulate][12]: [SYS]later\n";
    Spill(prog_, text + more);
    ASSERT_EQ(Log_CacheRead(1), 1u);
    EXPECT_STREQ(g_arrLogRecord[0], " [SYS]later");
    EXPECT_STREQ(g_arrLogRecord[1], "") << "the cache is cleared first";

    // A log cut below the remembered place gives nothing.
    Spill(prog_, "short\n");
    EXPECT_EQ(Log_CacheRead(1), 0u);
}

TEST_F(LogCacheTest, StartsOneThousandBytesBeforeTheEndAndStopsAt200)
{
    std::string text;
    for (int i = 0; i < 300; i++) {
        char line[96];
        snprintf(line, sizeof(line), "Dec  9 00:00:00 card user.info [K9_Modulate][1]: [SYS]line %03d\n", i);
        text += line;
    }
    Spill(prog_, text);
    // The read starts at the first whole line of the last 1000 bytes.
    size_t from = text.find('\n', text.size() - 1000) + 1;
    int firstLine = atoi(text.c_str() + text.find("line ", from) + 5);
    ASSERT_EQ(Log_CacheRead(0), (U32)(300 - firstLine));
    EXPECT_EQ(logOffset, (long)text.size());
    EXPECT_EQ(std::string(g_arrLogRecord[0]), " [SYS]line " + std::to_string(firstLine));

    logOffset = 0;
    ASSERT_EQ(Log_CacheRead(1), 200u);
    EXPECT_STREQ(g_arrLogRecord[199], " [SYS]line 199");
    EXPECT_EQ(logOffset, (long)text.find("Dec  9 00:00:00 card user.info [K9_Modulate][1]: [SYS]line 200"));
}
