// Web system handlers: heartbeat, factory defaults, reboot, versions, the
// numbered debug commands, the device log (view, filter, clear, export), MIB
// export, SSH switch, reboot schedule and the data-partition erase mark.
#include "Comm/maccomm.h"
#include "Comm/slavelink.h"
#include "Common/thread.h"
#include "CommonModules/System/system.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Platform/platform.h"
#include "StatusProcess/status.h"
#include "Web/web.h"
#include "Web/web_json.h"
#include <chrono>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <thread>

static const char* const kDownloadDir = "/tarvex_app/web/download/";
static const char* const kWebDir = "/tarvex_app/web/";
static const char* const kLogDir = "/tarvex_data/log/";
static const char* const kLogFile = "/tarvex_data/log/K9_Modulate.log";
static const U32 kFpgaRegCount = 65536;

#define WEB_ACTION(text) log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB, text, __func__, __LINE__)

static void web_Sleep(int seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); }

zrErrCode web_processBeat(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    return web_ReplyData(reply, cJSON_CreateObject());
}

zrErrCode web_processDefault(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    WEB_ACTION("[%s:%d] WEB: System Operation > click Factory Settings button!(Web_SetFactory)\r\n");
    zrErrCode rc = PARAMS_WEB_Factory(0);
    if (rc != ZR_SUCCESS)
        return rc;
    cJSON* data = cJSON_CreateObject();
    web_AddNum(data, "defaultDelay", 2);
    return web_ReplyData(reply, data);
}

zrErrCode web_processReboot(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    WEB_ACTION("[%s:%d] WEB: System Operation > click Reboot button!(Web_Reboot)\r\n");
    // Answered once the slave chip took the reboot (bounded) or did not; the
    // card goes after the reply has left.
    zrErrCode rc = Web_Reboot();
    if (rc != ZR_SUCCESS)
        return rc;
    cJSON* data = cJSON_CreateObject();
    web_AddNum(data, "delay", 70);
    return web_ReplyData(reply, data);
}

zrErrCode web_processGetVersion(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    ST_VERSION_INFO v{};
    Web_VerCmpFlag(&v);
    char s[20];
    cJSON* data = cJSON_CreateObject();
    web_AddNum(data, "version", v.bISSameFlg);
    web_getStringVersionFromNumber(v.u32MasterBuildSoftVer, s);
    cJSON_AddStringToObject(data, "mastersoftware", s);
    web_getStringLogicVersionFromNumber(v.u32MasterLogVer, s);
    cJSON_AddStringToObject(data, "masterlogicfirmware", s);
    web_getStringVersionFromNumber(v.u32SlaveBuildSoftVer, s);
    cJSON_AddStringToObject(data, "slavesoftware", s);
    web_getStringLogicVersionFromNumber(v.u32SlaveLogVer, s);
    cJSON_AddStringToObject(data, "slavelogicfirmware", s);
    return web_ReplyData(reply, data);
}

// Runs one numbered debug command; results go to r.
static void web_RunDebugCommand(U8 type, const U32* p, U32* r)
{
    U8 v8 = 0;
    switch (type) {
    case 0:
        Web_DebugPrintMuxLUT();
        break;
    case 1:
        Web_DebugPrintBypassLUT();
        break;
    case 7:
        Web_ReadRFDA0016Debug(p[0], p[1], &v8);
        r[0] = v8;
        break;
    case 8:
        Web_WriteRFDA0016Debug(p[0], p[1], p[2]);
        break;
    case 9:
        Web_ReadAD9789Debug(p[0], p[1], &v8);
        r[0] = v8;
        break;
    case 10:
        Web_WriteAD9789Debug(p[0], p[1], p[2]);
        break;
    case 11:
        if (p[1] < kFpgaRegCount)
            web_LogRegReadDebug(p[0], p[1], &r[0]);
        break;
    case 12:
        if (p[1] < kFpgaRegCount)
            web_LogRegWriteDebug(p[0], p[1], p[2]);
        break;
    case 14:
        Web_ConnectService((U8)p[0]);
        break;
    case 15:
        Web_GetConnectService(&r[0]);
        break;
    case 17:
        Web_ReadADF4351Debug(p[0], p[1], &v8);
        r[0] = v8;
        break;
    case 18:
        Web_WriteADF4351Debug(p[0], p[1], p[2]);
        break;
    case 19: {
        U16 v16 = 0;
        Web_ReadAD5321Debug(p[0], &v16);
        r[0] = v16;
        break;
    }
    case 20:
        Web_WriteAD5321Debug(p[0], p[1]);
        break;
    case 21: {
        U8 gap[2] = {0, 0};
        {
            CARD_STATE_LOCK();
            Web_GetRebootTimeGap(gap);
        }
        r[0] = gap[0];
        r[1] = gap[1];
        break;
    }
    case 22: {
        CARD_STATE_LOCK();
        Web_SetRebootTimeGap((U8)p[0], (U8)p[1]);
        break;
    }
    case 24:
        Web_EraseData();
        break;
    default:
        break;
    }
}

// The command's chip accesses answer nothing of their own; an access of the
// slave chip that it did not take is the answer's code.
static zrErrCode web_RunDebug(U8 type, const U32* p, U32* r)
{
    MACComm_ResetSlaveRegCode();
    web_RunDebugCommand(type, p, r);
    return MACComm_SlaveRegCode();
}

zrErrCode web_processDebug(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    const cJSON* type = body.Get("type");
    if (!cJSON_IsNumber(type))
        return ZR_ERR_WEB_POST_PARAM;
    U32 p[16] = {0}, r[16] = {0};
    const cJSON* params = body.Get("params");
    if (cJSON_IsArray(params)) {
        int n = 0;
        const cJSON* e = nullptr;
        cJSON_ArrayForEach(e, params)
        {
            if (n >= 16)
                break;
            // Out-of-range numbers count as 0 rather than wrapping.
            U32 v = 0;
            web_JsonU32(e, &v);
            p[n++] = v;
        }
    }
    zrErrCode rc = web_RunDebug((U8)type->valueint, p, r);
    if (rc != ZR_SUCCESS)
        return rc;
    cJSON* data = cJSON_CreateArray();
    for (U32 v : r)
        cJSON_AddItemToArray(data, cJSON_CreateNumber(v));
    return web_ReplyData(reply, data);
}

U32 Web_CharacterReplace(const U8* in, U8* out, U32 character, U32 replacement)
{
    if (in == nullptr || out == nullptr || character > 127 || replacement > 127) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Web_StringReplace Input error!\n", LOG_POS);
        return 1;
    }
    for (; *in; in++, out++)
        *out = (*in == character) ? (U8)replacement : *in;
    *out = 0;
    return 0;
}

// Board name for file names: the 20-byte descriptor, terminated, "/" as "-",
// and anything outside [A-Za-z0-9._-] as "-" so no text from the network
// reaches a shell command.
static std::string web_BoardFileName(void)
{
    U8 desc[21] = {0};
    web_GetSelfBoardDescriptor(desc);
    desc[20] = 0;
    U8 name[21] = {0};
    Web_CharacterReplace(desc, name, '/', '-');
    std::string s((const char*)name);
    for (char& c : s) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                  c == '-';
        if (!ok)
            c = '-';
    }
    return s;
}

bool web_EnsureDir(const char* dir)
{
    if (plat::Exists(dir))
        return true;
    return plat::MakeDirs(dir) && chmod(plat::Path(dir).c_str(), 0777) == 0;
}

void web_RunLogged(const std::string& cmd, const char* cwd, const char* func)
{
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB, "%ld:%s:%d Command : %s\n", LOG_POS_OF(func), cmd.c_str());
    plat::System(cmd, cwd);
}

zrErrCode Web_ExportLogs(char* uri)
{
    if (uri == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Param is NULL!\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    if (!plat::Exists(kLogFile)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Can't find %s file!\n", LOG_POS, kLogFile);
        return ZR_ERR_FILE_NOT_EXISTING;
    }
    if (!web_EnsureDir(kDownloadDir)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Create dir %s fail!\n", LOG_POS, kDownloadDir);
        return ZR_ERR_WEB_DIRCREATFAIL;
    }
    std::string b = web_BoardFileName();
    snprintf(uri, 512, "%s%s_log.tar.gz", "download/", b.c_str());
    std::string link = std::string(kWebDir) + uri;
    std::string archive = "/tmp/" + b + "_log.tar.gz";
    // The slave chip's archive is made and sent for this export, within the
    // bound of a request's wait; one that does not come in time is left out
    // (and so is any archive of an earlier export): the export holds the
    // master's logs alone.
    if (Web_GetOutputChannelNum() == 8) {
        MACComm_LogArchiveOpen();
        const int ask = MACCOMM_ASK_WAIT_MS * 2 / 3;
        const int done = SLAVELINK_TAKE_WAIT_MS - ask;
        const auto start = std::chrono::steady_clock::now();
        zrErrCode asked = (zrErrCode)MACMasterComm_SendConfirmed(ZR_COM_MAC_CMD_FILE_LOG, nullptr, 0, ask, done,
                                                                 nullptr, nullptr);
        // An earlier slave sends its archive before it replies 1; what is
        // still on its way gets the rest of the wait.
        while (asked == ZR_SUCCESS && GetLogRecieveEndFlag() == 0 &&
               std::chrono::steady_clock::now() - start < std::chrono::milliseconds(SLAVELINK_TAKE_WAIT_MS))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!MACComm_LogArchiveClose()) {
            if (asked == ZR_SUCCESS)
                log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Recieve Slave log file timeout\n", LOG_POS);
            SlaveLink_LogNotTaken("ExportLogs.w", asked == ZR_SUCCESS ? ZR_ERR_IPCOMM_TIME_OUT : asked,
                                  "the export holds the master's logs alone");
        }
    }
    if (plat::Exists("/tarvex_data/log/tarvex.log"))
        plat::System("rm /tarvex_data/log/tarvex.log*");
    if (!plat::Exists(kLogDir)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Can't cd /tarvex_data/log/!\n", LOG_POS);
        return ZR_ERR_FILE_NOT_EXISTING;
    }
    web_RunLogged("find . -name \"K9*\" | xargs grep \"tarvex\" -l| xargs sed -i \"s/tarvex/tarv/g\"", kLogDir,
                  __func__);
    web_RunLogged("tar -czvf '" + archive + "' ./*", kLogDir, __func__);
    web_RunLogged("ln -sf '" + archive + "' '" + link + "'", kLogDir, __func__);
    if (!plat::Exists(archive)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d tar %s fail!\n", LOG_POS, archive.c_str());
        return ZR_ERR_WEB_TARFAIL;
    }
    return ZR_SUCCESS;
}

static zrErrCode web_ExportLogsReply(buffer* reply, const char* action, const char* key)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB, action, __func__, __LINE__);
    char uri[512] = {0};
    zrErrCode rc = Web_ExportLogs(uri);
    if (rc != ZR_SUCCESS)
        return rc;
    cJSON* data = cJSON_CreateObject();
    cJSON_AddStringToObject(data, key, uri);
    return web_ReplyData(reply, data);
}

zrErrCode web_processExportLogs(buffer* reply)
{
    return web_ExportLogsReply(reply, "[%s:%d] WEB: System Operation > click Log Export button!(Web_ExportLogs)\r\n",
                               "uri");
}

zrErrCode web_saveLog(buffer* reply)
{
    return web_ExportLogsReply(
        reply, "[%s:%d] WEB: System Settings > System > click Log Export button!(Log_Download)\r\n", "url");
}

zrErrCode Web_ClearLog(void)
{
    U8 zero = 0;
    // The slave chip first: one that does not take it leaves both chips' logs
    // as they were, and the answer says why.
    // It clears them only while this request still waits for it (confirmed).
    if (Web_GetOutputChannelNum() == 8) {
        bool may = false;
        zrErrCode rc = (zrErrCode)MACMasterComm_SendConfirmed(ZR_COM_MAC_CMD_FILE_CLEAR_LOG, &zero, 1,
                                                              MACCOMM_ASK_WAIT_MS, MACCOMM_DONE_WAIT_MS, nullptr, &may);
        if (rc != ZR_SUCCESS) {
            SlaveLink_LogNotTaken("ClearLogs.w", rc,
                                  may ? "the master chip's logs were not cleared; the slave chip's may have been"
                                      : "neither chip's logs were cleared");
            return rc;
        }
    }
    char cmd[128];
    snprintf(cmd, sizeof(cmd), "rm %s*", kLogDir);
    plat::System(cmd);
    snprintf(cmd, sizeof(cmd), "touch %s", kLogFile);
    plat::System(cmd);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB, "%ld:%s:%d Command: %s\n", LOG_POS, cmd);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB, "%ld:%s:%d clear log\n", LOG_POS);
    return ZR_SUCCESS;
}

zrErrCode web_processClearLogs(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    WEB_ACTION("[%s:%d] WEB: System Operation > click Log Clear button!(Web_ClearLog)\r\n");
    zrErrCode rc = Web_ClearLog();
    if (rc != ZR_SUCCESS)
        return rc;
    return (zrErrCode)web_processSuccess(reply);
}

zrErrCode web_processGetLog(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    U32 level = Log_GetLevel();
    U32 since = 0;
    if (!web_JsonU32(body.Get("prelasttime"), &since))
        return ZR_ERR_WEB_POST_PARAM;
    U32 n = Log_CacheRead(since);
    if (n > LOG_CACHE_RECORDS)
        n = LOG_CACHE_RECORDS;
    cJSON* data = cJSON_CreateObject();
    cJSON* setting = cJSON_AddObjectToObject(data, "log_setting");
    web_AddNum(setting, "error", (level & 8) ? 1 : 0);
    web_AddNum(setting, "warning", (level & 4) ? 1 : 0);
    web_AddNum(setting, "info", (level & 2) ? 1 : 0);
    web_AddNum(setting, "debug", (level & 1) ? 1 : 0);
    cJSON* content = cJSON_AddArrayToObject(data, "log_content");
    for (U32 i = 0; i < n; i++) {
        cJSON* o = cJSON_CreateObject();
        web_AddNum(o, "time", (double)g_arrLogTime[i]);
        web_AddNum(o, "level", g_arrLogLevel[i]);
        char text[LOG_CACHE_TEXT + 1] = {0};
        memcpy(text, g_arrLogRecord[i], LOG_CACHE_TEXT);
        cJSON_AddStringToObject(o, "log", text);
        cJSON_AddItemToArray(content, o);
    }
    return web_ReplyData(reply, data, "SUCCESS");
}

zrErrCode web_processSetModulesAndLevel(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    U32 mask = Log_GetModule();
    const cJSON* list = body.Get("modulelist");
    if (cJSON_IsArray(list)) {
        int count = cJSON_GetArraySize(list) & 0xFF;
        for (int i = 0; i < count; i++) {
            const cJSON* e = cJSON_GetArrayItem(list, i);
            U32 id = 0, value = 0;
            if (!web_MemberU32(e, "id", &id) || !web_MemberU32(e, "value", &value))
                continue;
            id &= 0xFF;
            if (id < 32)
                mask = (mask & ~(1u << id)) | (value << id);
        }
    }
    U32 sw[4];
    const char* keys[4] = {"error", "warning", "info", "debug"};
    for (int i = 0; i < 4; i++)
        if (!web_JsonU32(body.Get(keys[i]), &sw[i]))
            return ZR_ERR_WEB_POST_PARAM;
    // The level and the modules are in force at once; the second save
    // carries both, and its result is the answer.
    zrErrCode rc = Web_SetLogStatus((sw[0] * 8 | sw[1] * 4 | sw[2] * 2 | sw[3]) & 0xFF);
    if (rc != ZR_SUCCESS && rc != ZR_ERR_NOT_SAVED)
        return rc;
    Log_SetModule(mask);
    if (LogSetting_StoreParam() != 0)
        return ZR_ERR_NOT_SAVED;
    return (zrErrCode)web_processSuccess(reply);
}

zrErrCode web_processGetModules(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    static const U8 ids[] = {0, 1, 2, 3, 4, 6, 7, 8, 9, 10, 11};
    U32 mask = Log_GetModule();
    cJSON* data = cJSON_CreateObject();
    cJSON* list = cJSON_AddArrayToObject(data, "modulelist");
    for (U8 id : ids) {
        cJSON* o = cJSON_CreateObject();
        cJSON_AddStringToObject(o, "name", log_NameArrayName[id]);
        web_AddNum(o, "id", id);
        web_AddNum(o, "value", (mask >> id) & 1);
        cJSON_AddItemToArray(list, o);
    }
    return web_ReplyData(reply, data, "SUCCESS");
}

zrErrCode web_processGetSystemParam(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    cJSON* data = cJSON_CreateObject();
    web_AddNum(data, "unicastip", 0);
    return web_ReplyData(reply, data);
}

zrErrCode web_processSetSystemParam(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    (void)body.Get("unicastip");
    WEB_ACTION("[%s:%d] WEB: System Operation > Source IP Address > OK!()\r\n");
    return (zrErrCode)web_processSuccess(reply);
}

zrErrCode Web_ExportMIBs(char* uri)
{
    if (uri == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Param is NULL!\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    std::string b = web_BoardFileName();
    snprintf(uri, 512, "%s%s_MIB.tar.gz", "download/", b.c_str());
    std::string link = std::string(kWebDir) + uri;
    for (const char* dir : {kDownloadDir, "/tmp/MIB/"}) {
        if (!web_EnsureDir(dir)) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Create dir %s fail!\n", LOG_POS, dir);
            return ZR_ERR_WEB_DIRCREATFAIL;
        }
    }
    unsigned n = (U8)(ZRSYS_HWSlot2UISlot((U8)ZRSYS_GetVrnType(), FPGA_GetSlotID()) + 1);
    char cmd[600];
    snprintf(cmd, sizeof(cmd), "cp -f '%sQV_MIB%u.txt' '%s'", "/tarvex_app/app/MIBs/", n, "/tmp/MIB/");
    web_RunLogged(cmd, "/tmp/MIB/", __func__);
    snprintf(cmd, sizeof(cmd), "mv QV_MIB%u.txt '%s_MIB%u.txt'", n, b.c_str(), n);
    web_RunLogged(cmd, "/tmp/MIB/", __func__);
    snprintf(cmd, sizeof(cmd), "tar -czvf %s_MIB.tar.gz MIB", "QV");
    web_RunLogged(cmd, "/tmp/", __func__);
    std::string archive = "/tmp/QV_MIB.tar.gz";
    web_RunLogged("ln -sf '" + archive + "' '" + link + "'", nullptr, __func__);
    if (!plat::Exists(archive)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d tar %s fail!\n", LOG_POS, archive.c_str());
        return ZR_ERR_WEB_TARFAIL;
    }
    return ZR_SUCCESS;
}

zrErrCode web_processExportMibs(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    WEB_ACTION("[%s:%d] WEB: System Settings > System > click Mibs Export button!(Mibs_Download)\r\n");
    char uri[512] = {0};
    zrErrCode rc = Web_ExportMIBs(uri);
    if (rc != ZR_SUCCESS)
        return rc;
    cJSON* data = cJSON_CreateObject();
    cJSON_AddStringToObject(data, "uri", uri);
    return web_ReplyData(reply, data);
}

void Web_ConnectService(U8 on)
{
    if (on == 1) {
        plat::System("/etc/init.d/dropbear start");
        web_Sleep(1);
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_SOCKET, "%ld:%s:%d Web open telnet Server!\n", LOG_POS);
    } else {
        plat::System("/etc/init.d/dropbear stop");
        web_Sleep(1);
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_SOCKET, "%ld:%s:%d Web close telnet Server!\n", LOG_POS);
    }
}

void Web_GetConnectService(U32* running)
{
    if (running == nullptr)
        return;
    plat::System("ps |grep \"dropbear\" |grep -v \"grep\" > /tmp/psTmp");
    std::string text;
    *running = (plat::ReadFile("/tmp/psTmp", text, 1000) && text.find("dropbear") != std::string::npos) ? 1 : 0;
    plat::System("rm /tmp/psTmp");
}

void Web_SetRebootTimeGap(U8 timegap, U8 reboothour)
{
    // The live block is what the reboot scheduler reads; the record is what
    // survives a restart: both change.
    QAM_IPMonitorPara* live = GetQAMIPMonitor_Handle();
    live->u8TimeGap = timegap;
    live->u8RebootHour = reboothour;
    ST_ZR_PARAMS* rec = PARAMS_GetCurParamsHandler();
    rec->st_IPMonitorParams.stIPMonitorParams.u8TimeGap = timegap;
    rec->st_IPMonitorParams.stIPMonitorParams.u8RebootHour = reboothour;
    PARAMS_ParametersSave(rec);
}

void Web_GetRebootTimeGap(U8* out)
{
    if (out == nullptr)
        return;
    const ST_ZR_PARAMS* rec = PARAMS_GetCurParamsHandler();
    out[0] = rec->st_IPMonitorParams.stIPMonitorParams.u8TimeGap;
    out[1] = rec->st_IPMonitorParams.stIPMonitorParams.u8RebootHour;
}

void Web_EraseData(void)
{
    const char* script = "/tarvex_app/app/EraseDataMtd.sh";
    if (plat::Exists(script)) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB, "%ld:%s:%d Erase the partition of data by web\n", LOG_POS);
        plat::System("touch /tarvex_data/EraseDataMtd.flag");
        plat::System("sync");
        web_Sleep(1);
    } else {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d file [%s] is not exist\n", LOG_POS, script);
    }
}
