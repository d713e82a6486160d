// The one logging call of the system, its filter and the device log.
#pragma once
#include "Common/types.h"
#include <sys/syscall.h>
#include <unistd.h>

typedef enum {
    LOG_LEVEL_DEBUG = 1,
    LOG_LEVEL_INFO = 2,
    LOG_LEVEL_WARNING = 4,
    LOG_LEVEL_ERROR = 8,
    LOG_LEVEL_ALL = 255
} LogLevel_EM;

typedef enum {
    LOG_MODULE_SYS = 1,
    LOG_MODULE_PARAM = 2,
    LOG_MODULE_UPGRADE = 4,
    LOG_MODULE_TSPROCESS = 8,
    LOG_MODULE_SIP = 16,
    LOG_MODULE_RESERVED = 32,
    LOG_MODULE_SOCKET = 64,
    LOG_MODULE_HW = 128,
    LOG_MODULE_WEB = 256,
    LOG_MODULE_SNMP = 512,
    LOG_MODULE_FPGA = 1024,
    LOG_MODULE_MOD = 2048,
    LOG_MODULE_INIT = 4096,
    LOG_MODULE_ALL = 65535
} LogModule_EM;

typedef enum {
    LOG_OUTPUT_CONSOLE = 1,
    LOG_OUTPUT_SYSLOG = 2,
    LOG_OUTPUT_ALL = 255
} LogOutput_EM;

typedef struct {
    U32 emLogLevel;
    U32 emLogModule;
    U32 emLogOutput;
} LogCtrl_ST;
static_assert(sizeof(LogCtrl_ST) == 12, "settings file is exactly 12 bytes");

// The "%ld:%s:%d " prefix that nearly every message carries: kernel thread id,
// function name, source line.
#define LOG_POS ((long)syscall(SYS_gettid)), __func__, __LINE__
// The same prefix for a step shared by several functions, naming the one it
// works for.
#define LOG_POS_OF(func) ((long)syscall(SYS_gettid)), (func), __LINE__

#define LOG_FILE_PATH "/tarvex_data/log/K9_Modulate.log"
#define LOG_SETTING_PATH "/tarvex_data/logSetting.config"
#define LOG_DEVICE_PATH "/tarvex_data/log//device.log"
#define LOG_DEVICE_OLD_PATH "/tarvex_data/log//device.log.0"

#define LOG_CACHE_RECORDS 200
#define LOG_CACHE_TEXT 256

extern char s8arrLevelName[4][50];
extern char log_NameArrayName[12][24];
extern U64 g_arrLogTime[LOG_CACHE_RECORDS];
extern U8 g_arrLogLevel[LOG_CACHE_RECORDS];
extern char g_arrLogRecord[LOG_CACHE_RECORDS][LOG_CACHE_TEXT];
extern long logOffset;
extern BOOL g_isLogInited;
extern BOOL g_isSyslogOpen;
extern U32 g_u32LogControl;

void log_Init(U8* pu8LogSavepath);
void log_printf(LogLevel_EM emLogLevel, LogModule_EM emLogModule, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void Log_SetLevel(U32 level);
void Log_SetModule(U32 module);
void Log_SetOutputMode(U32 output);
U32 Log_GetLevel(void);
U32 Log_GetModule(void);
U32 Log_GetOutputMode(void);

void LogSetting_ParamInit(void);
// 0, or ZR_ERR_NOT_SAVED when the settings file could not be written.
U32 LogSetting_StoreParam(void);
U32 Log_RestoreParam(void);
U32 Log_CacheRead(U64 u64Time);

void StringReplace(char* srcStr, const char* oldSubStr, const char* newSubStr, char* destStr, int destLen);

void log_TimeMark(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_Control(S32 value);
void log_ClearLog(U8* path, U32 size);
