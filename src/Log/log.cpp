#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <vector>

char s8arrLevelName[4][50] = {"DEBUG", "INFO", "WARNING", "ERROR"};
char log_NameArrayName[12][24] = {"SYS", "PARAMS", "UPGRADE", "TSPROCESS", "SIPROCESS", "RESERVED",
                                  "SOCKET", "HW", "WEB", "SNMP", "FPGA", "MODULATEINIT"};
U64 g_arrLogTime[LOG_CACHE_RECORDS];
U8 g_arrLogLevel[LOG_CACHE_RECORDS];
char g_arrLogRecord[LOG_CACHE_RECORDS][LOG_CACHE_TEXT];
long logOffset = 0;
BOOL g_isLogInited = FALSE;
BOOL g_isSyslogOpen = FALSE;
U32 g_u32LogControl = 0;

// The filter is read by every thread that logs and changed from the web while
// they run, so each field is atomic; the settings file keeps the plain record.
namespace {
struct LogFilter {
    std::atomic<U32> level{0}, module{0}, output{0};
    LogCtrl_ST Get() const
    {
        return {level.load(std::memory_order_relaxed), module.load(std::memory_order_relaxed),
                output.load(std::memory_order_relaxed)};
    }
    void Set(const LogCtrl_ST& c)
    {
        level.store(c.emLogLevel, std::memory_order_relaxed);
        module.store(c.emLogModule, std::memory_order_relaxed);
        output.store(c.emLogOutput, std::memory_order_relaxed);
    }
};
}  // namespace
static LogFilter s_stLogCtrl;
static std::mutex s_LogUniqMutex;

static const U32 kDefaultLevel = 14, kDefaultModule = 0xFFFF, kDefaultOutput = 255;
static const size_t kEntryPrefix = 38;           // first time, blank, last time, count field
static const long kMergeWindow = 16384;          // only the log's tail is searched for a repeat
static const long kRotateSize = 2 * 1024 * 1024;

void StringReplace(char* srcStr, const char* oldSubStr, const char* newSubStr, char* destStr, int destLen)
{
    if (srcStr == nullptr || destStr == nullptr || destLen <= 0)
        return;
    if (oldSubStr == nullptr || newSubStr == nullptr || strcmp(oldSubStr, newSubStr) == 0 || oldSubStr[0] == '\0') {
        // Nothing to replace: a bounded copy that stops at the source's end.
        size_t n = strnlen(srcStr, (size_t)destLen - 1);
        memmove(destStr, srcStr, n);
        destStr[n] = '\0';
        return;
    }
    std::string out;
    size_t oldLen = strlen(oldSubStr);
    for (const char* p = srcStr; *p;) {
        if (strncasecmp(p, oldSubStr, oldLen) == 0) {
            out += newSubStr;
            p += oldLen;
        } else {
            out += *p++;
        }
    }
    size_t n = std::min(out.size(), (size_t)destLen - 1);
    memcpy(destStr, out.data(), n);
    destStr[n] = '\0';
}

static const char* LevelName(U32 level)
{
    for (int b = 0; b < 4; b++)
        if (level & (1u << b))
            return s8arrLevelName[b];
    return s8arrLevelName[0];
}

static const char* ModuleName(U32 module)
{
    for (int b = 0; b < 12; b++)
        if (module & (1u << b))
            return log_NameArrayName[b];
    return log_NameArrayName[0];
}

static int SyslogPriority(U32 level)
{
    switch (level) {
    case LOG_LEVEL_DEBUG: return LOG_DEBUG;
    case LOG_LEVEL_INFO: return LOG_INFO;
    case LOG_LEVEL_WARNING: return LOG_WARNING;
    case LOG_LEVEL_ERROR: return LOG_ERR;
    default: return LOG_INFO;
    }
}

// "Mmm dd hh:mm:ss": characters 4 to 18 of ctime's text.
static std::string LogTime()
{
    time_t now = time(nullptr);
    char buf[32];
    ctime_r(&now, buf);
    return std::string(buf + 4, 15);
}

static std::string CountField(long count)
{
    char f[16];
    if (count > 9999)
        snprintf(f, sizeof(f), " 9999+ ");
    else
        snprintf(f, sizeof(f), " %04ld  ", count);
    return f;
}

// Keeps one entry per repeated message in the device log: a repeat found in
// the log's last 16 KiB is taken out and written again at the end with its
// first time and a count.
static void uniqlog(const char* strlog)
{
    std::lock_guard<std::mutex> lk(s_LogUniqMutex);
    const std::string path = plat::Path(LOG_DEVICE_PATH);

    std::string line(strlog);
    // Strip trailing newlines and punctuation (at most 8 characters, never the first).
    for (int removed = 0; removed < 8 && line.size() > 1; removed++) {
        char c = line.back();
        if (isalnum((unsigned char)c) || c == ']' || c == '}' || c == ')')
            break;
        line.pop_back();
    }
    // A line must stay one entry: an embedded newline would split it.
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';

    std::string now = LogTime();
    std::string first = now;
    long count = 0;

    FILE* f = fopen(path.c_str(), "r+");
    if (f == nullptr)
        f = fopen(path.c_str(), "a+");
    long length = -1;  // of the file after this entry, when known
    if (f != nullptr) {
        fseek(f, 0, SEEK_END);
        long size = ftell(f);
        long writeAt = size;
        if (size > 256) {
            long start = size > kMergeWindow ? size - kMergeWindow : 0;
            std::vector<char> buf((size_t)(size - start));
            fseek(f, start, SEEK_SET);
            size_t got = fread(buf.data(), 1, buf.size(), f);
            buf.resize(got);
            std::string_view view(buf.data(), buf.size());
            // Only a whole entry matches: the text must fill a line after its prefix.
            std::string needle = line + "\n";
            size_t pos = 0;
            size_t found = std::string_view::npos;
            while ((pos = view.find(needle, pos)) != std::string_view::npos) {
                // An entry starts the file or follows a newline; the tail read may
                // begin inside an entry, whose rest is no entry of its own.
                size_t entryStart = pos >= kEntryPrefix ? pos - kEntryPrefix : 0;
                bool atEntry = pos >= kEntryPrefix &&
                               (entryStart == 0 ? start == 0 : view[entryStart - 1] == '\n');
                if (atEntry) {
                    found = pos;
                    break;
                }
                pos++;
            }
            if (found != std::string_view::npos) {
                size_t entryStart = found - kEntryPrefix;
                first.assign(view.substr(entryStart, 15));
                std::string oldCount(view.substr(found - 7, 7));
                count = strtol(oldCount.c_str() + 1, nullptr, 10) + 1;
                std::string rest(view.substr(found + needle.size()));
                fseek(f, start + (long)entryStart, SEEK_SET);
                if (!rest.empty())
                    fwrite(rest.data(), 1, rest.size(), f);
                writeAt = start + (long)entryStart + (long)rest.size();
            }
        }
        std::string entry = first + " " + now + CountField(count) + line + "\n";
        fseek(f, writeAt, SEEK_SET);
        fwrite(entry.data(), 1, entry.size(), f);
        fflush(f);
        long end = writeAt + (long)entry.size();
        // Only a merge can leave old bytes behind the new end.
        length = end;
        if (end < size && ftruncate(fileno(f), end) != 0) {
            // the file keeps its old length; the next merge still finds whole entries
            length = size;
        }
        // Not synced: it is a log, not one of the persisted files, and
        // every logged line would otherwise wait for the disk.
        fclose(f);
    }
    struct stat st;
    if (length < 0 && stat(path.c_str(), &st) == 0)
        length = st.st_size;
    if (length > kRotateSize) {
        std::string old = plat::Path(LOG_DEVICE_OLD_PATH);
        remove(old.c_str());
        rename(path.c_str(), old.c_str());
    }
}

void log_printf(LogLevel_EM emLogLevel, LogModule_EM emLogModule, const char* format, ...)
{
    char msg[256];
    char replaced[256];
    char line[256];
    va_list ap;
    va_start(ap, format);
    vsnprintf(msg, sizeof(msg), format, ap);
    va_end(ap);
    StringReplace(msg, "tarvex", "product", replaced, sizeof(replaced));
    snprintf(line, sizeof(line), "[%s][%s]%s", LevelName(emLogLevel), ModuleName(emLogModule), replaced);
    if (!g_isLogInited)
        printf("%s\n log module is not initialized\n", line);
    const LogCtrl_ST filter = s_stLogCtrl.Get();
    if (!((U32)emLogLevel & filter.emLogLevel) || !((U32)emLogModule & filter.emLogModule))
        return;
    if (filter.emLogOutput & LOG_OUTPUT_CONSOLE) {
        fputs(line, stdout);
        fflush(stdout);
    }
    if (filter.emLogOutput & LOG_OUTPUT_SYSLOG) {
        if (!g_isSyslogOpen) {
            printf("[%s:%d] syslogd is not open\n", "log_printf", __LINE__);
            return;
        }
        uniqlog(line);
        char sys[300];
        snprintf(sys, sizeof(sys), "[%s]%s", ModuleName(emLogModule), replaced);
        plat::Syslog(SyslogPriority(emLogLevel), sys);
    }
}

static std::string log_getdirpath(const char* path)
{
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d log_init Logs save path isn't absolute path\n",
                   LOG_POS);
        return "";
    }
    return std::string(path, (size_t)(slash - path));
}

void log_Init(U8* pu8LogSavepath)
{
    if (pu8LogSavepath == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Param is NULL!\n", LOG_POS);
        return;
    }
    const char* path = reinterpret_cast<const char*>(pu8LogSavepath);
    std::string dir = log_getdirpath(path);
    printf("pu8LogSavepath = %s  u8LogSavedir = %s\n", path, dir.c_str());
    struct stat st;
    if (!dir.empty() && stat(plat::Path(dir).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        plat::OpenLog("[K9_Modulate]");
        g_isSyslogOpen = TRUE;
    } else {
        g_isSyslogOpen = FALSE;
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d %s dir isn't exist!\n", LOG_POS, dir.c_str());
    }
    Log_RestoreParam();
    g_u32LogControl = 0xFFFF;
    g_isLogInited = TRUE;
}

void Log_SetLevel(U32 level) { s_stLogCtrl.level.store(level, std::memory_order_relaxed); }
void Log_SetModule(U32 module) { s_stLogCtrl.module.store(module, std::memory_order_relaxed); }
void Log_SetOutputMode(U32 output) { s_stLogCtrl.output.store(output, std::memory_order_relaxed); }
U32 Log_GetLevel(void) { return s_stLogCtrl.level.load(std::memory_order_relaxed); }
U32 Log_GetModule(void) { return s_stLogCtrl.module.load(std::memory_order_relaxed); }
U32 Log_GetOutputMode(void) { return s_stLogCtrl.output.load(std::memory_order_relaxed); }

void LogSetting_ParamInit(void)
{
    s_stLogCtrl.Set({kDefaultLevel, kDefaultModule, kDefaultOutput});
}

U32 LogSetting_StoreParam(void)
{
    LogCtrl_ST copy = s_stLogCtrl.Get();
    zrErrCode rc = PARAMS_WriteFile(LOG_SETTING_PATH, reinterpret_cast<U8*>(&copy), sizeof(copy));
    if (rc != ZR_SUCCESS)
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "[%s:%d]PARAM_WriteFile error,enErrCode[%08X]\r\n", __func__,
                   __LINE__, (unsigned)rc);
    // The settings are in force either way; the callers that answer someone
    // say whether they were saved.
    return rc == ZR_SUCCESS ? 0 : (U32)ZR_ERR_NOT_SAVED;
}

U32 Log_RestoreParam(void)
{
    for (U8 u8TryTimes = 0; u8TryTimes < 2; u8TryTimes++) {
        LogCtrl_ST read = s_stLogCtrl.Get();
        zrErrCode rc = PARAMS_ReadFile(LOG_SETTING_PATH, reinterpret_cast<U8*>(&read), sizeof(read));
        if (rc == ZR_SUCCESS) {
            s_stLogCtrl.Set(read);
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "[%s:%d]Get logSetting configuration success!!\r\n", __func__,
                       __LINE__);
            return 0;
        }
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "[%s:%d]PARAM_ReadlogSetting error,u8TryTimes[%u],enErrCode[%08X]\r\n",
                   __func__, __LINE__, u8TryTimes, (unsigned)rc);
        if (u8TryTimes == 0)
            usleep(100000);
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "[%s:%d]Get logSetting configuration error, set to default\r\n",
               __func__, __LINE__);
    LogSetting_ParamInit();
    LogSetting_StoreParam();
    return 0;
}

U32 Log_CacheRead(U64 u64Time)
{
    FILE* f = plat::Fopen(LOG_FILE_PATH, "r");
    if (f == nullptr)
        return 0;
    if (u64Time == 0) {
        fseek(f, 0, SEEK_END);
        long size = ftell(f);
        if (size < 1000) {
            fseek(f, 0, SEEK_SET);
            logOffset = 0;
        } else {
            fseek(f, size - 1000, SEEK_SET);
            int c;
            while ((c = fgetc(f)) != EOF && c != '\n') {
            }
            logOffset = ftell(f);
        }
    } else {
        // Continue where the last read stopped; a log that has since been
        // emptied or cut has no such position.
        fseek(f, 0, SEEK_END);
        long size = ftell(f);
        if (logOffset < 0 || logOffset > size || fseek(f, logOffset, SEEK_SET) != 0) {
            fclose(f);
            return 0;
        }
    }
    memset(g_arrLogTime, 0, sizeof(g_arrLogTime));
    memset(g_arrLogLevel, 0, sizeof(g_arrLogLevel));
    memset(g_arrLogRecord, 0, sizeof(g_arrLogRecord));
    U32 n = 0;
    char buf[256];
    while (n < LOG_CACHE_RECORDS && fgets(buf, 255, f) != nullptr) {
        logOffset += (long)strlen(buf);
        const char* dot = strchr(buf, '.');
        if (dot == nullptr)
            continue;
        int level;
        if (strncmp(dot, ".info", 5) == 0)
            level = 1;
        else if (strncmp(dot, ".debug", 6) == 0)
            level = 0;
        else if (strncmp(dot, ".war", 4) == 0)
            level = 2;
        else if (strncmp(dot, ".err", 4) == 0)
            level = 3;
        else
            continue;
        const char* colon = strchr(dot, ':');
        if (colon == nullptr)
            continue;
        std::string text(colon + 1);
        if (!text.empty())
            text.pop_back();
        g_arrLogTime[n] = (U64)time(nullptr);
        g_arrLogLevel[n] = (U8)level;
        snprintf(g_arrLogRecord[n], LOG_CACHE_TEXT, "%s", text.c_str());
        n++;
    }
    fclose(f);
    return n;
}

void log_TimeMark(const char* format, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof(text), format, ap);
    va_end(ap);
    std::string date = plat::RunCapture("date");
    printf("\n%s%s\r\n", date.c_str(), text);
    std::string both = "\n" + date + text + "\r\n";
    plat::Syslog(LOG_INFO, both.c_str());
}

void log_Control(S32 value)
{
    if (value >= 0)
        g_u32LogControl |= (U32)value;
    else
        g_u32LogControl &= (U32)value;
}

void log_ClearLog(U8* path, U32 size)
{
    if (path == nullptr)
        return;
    const char* p = reinterpret_cast<const char*>(path);
    plat::System("syslogd -s 0");
    if (!plat::WriteFileAtomic(p, "", 0, false))
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d log file can't been empty!\n\n", LOG_POS);
    char cmd[512];
    snprintf(cmd, sizeof(cmd), "syslogd -O %s -s %u", p, size);
    plat::System(cmd);
    std::lock_guard<std::mutex> lk(s_LogUniqMutex);
    remove(plat::Path(LOG_DEVICE_PATH).c_str());
    remove(plat::Path(LOG_DEVICE_OLD_PATH).c_str());
}
