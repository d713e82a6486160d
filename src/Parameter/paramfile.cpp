// Whole-file reads and writes of the persisted files.
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <sys/stat.h>

U32 g_u32ModulationMode = 0;

U32 PARAMS_GetModulationMod(void)
{
    return g_u32ModulationMode;
}

namespace {

// The two families differ only in their log lines.
struct FileLogStyle {
    bool bracket;  // "[%s:%d]:" style instead of "%ld:%s:%d "
    LogLevel_EM writeLevel;
};

void LogLine(const FileLogStyle& st, LogLevel_EM level, const char* func, int line, const char* what)
{
    if (st.bracket)
        log_printf(level, LOG_MODULE_PARAM, "[%s:%d]:%s\r\n", func, line, what);
    else
        log_printf(level, LOG_MODULE_PARAM, "%ld:%s:%d %s\r\n\n", (long)syscall(SYS_gettid), func, line, what);
}

zrErrCode WriteWhole(const FileLogStyle& st, const char* func, const char* name, U8* buf, U32 len)
{
    char msg[512];
    if (name == nullptr || buf == nullptr) {
        snprintf(msg, sizeof(msg), "Input Error,pcFileName[%p],pu8Buf[%p]", (const void*)name, (void*)buf);
        LogLine(st, LOG_LEVEL_ERROR, func, __LINE__, msg);
        return ZR_ERR_PARAMS;
    }
    bool saved = plat::WriteFileAtomic(name, buf, len, true);
    PARAMS_NoteSave(name, saved, errno);
    if (!saved)
        return ZR_ERR_FAILURE;
    snprintf(msg, sizeof(msg), "fwrite %s:u32Len[%u],ret[%d]", name, len, (int)len);
    LogLine(st, st.writeLevel, func, __LINE__, msg);
    return ZR_SUCCESS;
}

zrErrCode ReadWhole(const FileLogStyle& st, const char* func, const char* name, U8* buf, U32 len)
{
    char msg[512];
    if (name == nullptr || buf == nullptr) {
        snprintf(msg, sizeof(msg), "Input Error,pcFileName[%p],pu8Buf[%p]", (const void*)name, (void*)buf);
        LogLine(st, LOG_LEVEL_ERROR, func, __LINE__, msg);
        return ZR_ERR_PARAMS;
    }
    if (!plat::Exists(name)) {
        snprintf(msg, sizeof(msg), "pcFileName[%s] dont exists", name);
        LogLine(st, LOG_LEVEL_INFO, func, __LINE__, msg);
        return ZR_ERR_FILE_NOT_EXISTING;
    }
    FILE* f = plat::Fopen(name, "rb");
    if (f == nullptr) {
        snprintf(msg, sizeof(msg), "open pcFileName[%s] fail", name);
        LogLine(st, LOG_LEVEL_ERROR, func, __LINE__, msg);
        return ZR_ERR_FILE_CAN_NOT_READE;
    }
    struct stat sb;
    long size = fstat(fileno(f), &sb) == 0 ? (long)sb.st_size : 0;
    U32 need = (U32)size < len ? (U32)size : len;
    size_t got = need ? fread(buf, 1, need, f) : 0;
    fclose(f);
    snprintf(msg, sizeof(msg), "fread %s:lSize[%ld],u32Len[%u],sNeedReadLen[%d],ret[%d]", name, size, len, (int)need,
             (int)got);
    LogLine(st, LOG_LEVEL_INFO, func, __LINE__, msg);
    return ZR_SUCCESS;
}

const FileLogStyle kParams = {false, LOG_LEVEL_DEBUG};
const FileLogStyle kParam = {true, LOG_LEVEL_INFO};

}  // namespace

void PARAMS_NoteSave(const char* pcFileName, bool bSaved, int err)
{
    // Never destroyed: detached threads (an upgrade, a blinker) may save
    // while the program exits.
    static std::mutex& s_mutex = *new std::mutex;
    static std::map<std::string, bool>& s_failing = *new std::map<std::string, bool>;  // by file name
    const std::string name = pcFileName != nullptr ? pcFileName : "";
    bool wasFailing;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        bool& failing = s_failing[name];
        wasFailing = failing;
        failing = !bSaved;
    }
    if (!bSaved && !wasFailing)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM,
                   "%ld:%s:%d Save of [%s] failed: %s(errno: %d); the change stays in force unsaved\r\n\n",
                   (long)syscall(SYS_gettid), __func__, __LINE__, name.c_str(), strerror(err), err);
    else if (bSaved && wasFailing)
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d [%s] saved again\r\n\n", (long)syscall(SYS_gettid),
                   __func__, __LINE__, name.c_str());
}

zrErrCode PARAMS_WriteFile(const char* pcFileName, U8* pu8Buf, U32 u32Len)
{
    return WriteWhole(kParams, __func__, pcFileName, pu8Buf, u32Len);
}

zrErrCode PARAMS_ReadFile(const char* pcFileName, U8* pu8Buf, U32 u32Len)
{
    return ReadWhole(kParams, __func__, pcFileName, pu8Buf, u32Len);
}

zrErrCode PARAM_WriteFile(const char* pcFileName, U8* pu8Buf, U32 u32Len)
{
    return WriteWhole(kParam, __func__, pcFileName, pu8Buf, u32Len);
}

zrErrCode PARAM_ReadFile(const char* pcFileName, U8* pu8Buf, U32 u32Len)
{
    return ReadWhole(kParam, __func__, pcFileName, pu8Buf, u32Len);
}
