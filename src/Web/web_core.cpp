// The POST dispatcher of the web back end: command table, body joining,
// reply envelope, token check, server start and restart, and the small
// adapters every handler shares.
#include "CommonModules/System/system.h"
#include "CommonModules/httpd/base.h"
#include "CommonModules/httpd/buffer.h"
#include "CommonModules/httpd/chunk.h"
#include "CommonModules/httpd/server.h"
#include "Common/thread.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "MNG/bmn.h"
#include "Platform/platform.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp_db.h"
#include "TSprocess/tsp_lut.h"
#include "Web/web.h"
#include "Web/web_json.h"
#include "SIprocess/SIsend.h"
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

char* g_ps8RevData = nullptr;

// Handlers that wait on a peer, send to one or run long shell work: the
// dispatcher does not hold the card-state lock across them (they take it
// around what they read and change).
static bool web_RunsUnlocked(const char* key)
{
    static const char* const keys[] = {"Reboot.w",        "Debug.w",          "ExportLogs.w",   "ClearLogs.w",
                                       "SaveLog.w",       "ExportMibs.w",     "ApplyAllParam.w", "ClearAllParam.w",
                                       "DeleteTSConfig.w", "SetSubboardParam.w"};
    for (const char* k : keys)
        if (strcmp(key, k) == 0)
            return true;
    return false;
}

// The editor's commands: the views of the working copy, its edits, the
// table switches, the automatic NIT, the apply and the NIT import. Every
// answer of theirs carries the revision the page goes on with, but a 783.
static bool web_CarriesRevision(const char* key)
{
    static const char* const keys[] = {
        "GetSubboardTSInfo.w",  "GetTempTSInfo.w",   "GetTempProgramInfo.w",     "GetNIT.w",
        "GetPAT.w",             "GetTOTLocaltimeoffsetDescriptor.w",             "GetSubboardPSIPChannel.w",
        "SetTsParam.w",         "SetProgramParam.w", "AddNITNetwork.w",          "DeleteNITNetwork.w",
        "AddNITStream.w",       "DeleteNITStream.w", "DeleteLCN.w",              "SetLCN.w",
        "SetCable.w",           "SetNitVersionNum.w", "AddDescriptor.w",         "SetOtherDescriptor.w",
        "SetTSInfoDesc.w",      "SetPATPid.w",       "SetSubboardPSIPChannel.w", "SetTOTLocaltimeoffsetDescriptor.w",
        "AutoGenerateNITDescriptor.w",               "ApplyAllParam.w",          "ImportSiTable.w"};
    for (const char* k : keys)
        if (strcmp(key, k) == 0)
            return true;
    return false;
}

const WEBInterface arstWEBComm[] = {
    {"Beat.w", web_processBeat},
    {"GetSubboardDetail.w", web_processGetSubboardDetail},
    {"GetSubboardParam.w", web_processGetSubboardParam},
    {"SetSubboardParam.w", web_processSetSubboardParam},
    {"GetSubboardIPMonitorParam.w", web_processGetSubboardIPMonitorParam},
    {"SetSubboardIPMonitorParam.w", web_processSetSubboardIPMonitorParam},
    {"GetSubboardReadyStatus.w", web_processGetSubboardReadyStatus},
    {"GetOutputTSStatus.w", web_processGetOutputTSStatus},
    {"GetOutputProgramStatus.w", web_processGetOutputProgramStatus},
    {"GetOutputTSDetailStatus.w", web_processGetOutputTSDetailStatus},
    {"ClearAllErr.w", web_processClearAllErr},
    {"ApplyAllParam.w", web_processApplyAllParam},
    {"ClearAllParam.w", web_processClearAllParam},
    {"DeleteTSConfig.w", web_processClearOneChannelProg},
    {"GetSubboardTSInfo.w", web_processGetSubboardTSInfo},
    {"SetTsParam.w", web_processSetTSParam},
    {"SetProgramParam.w", web_processSetProgramParam},
    {"GetTempTSInfo.w", web_processGetTempTSInfo},
    {"GetTempProgramInfo.w", web_processGetTempProgramInfo},
    {"Default.w", web_processDefault},
    {"Reboot.w", web_processReboot},
    {"GetVersionInfo.w", web_processGetVersion},
    {"GetNIT.w", web_processGetNIT},
    {"AddNITNetwork.w", web_processAddNITNetwork},
    {"DeleteNITNetwork.w", web_processDelNITNetwork},
    {"AddNITStream.w", web_processAddNITTS},
    {"DeleteNITStream.w", web_processDelNITTS},
    {"DeleteLCN.w", web_processDelLCN},
    {"SetLCN.w", web_processSetLCN},
    {"SetCable.w", web_processSetCableDescriptor},
    {"SetNitVersionNum.w", web_processSetNITVersion},
    {"AddDescriptor.w", web_processAddDescriptor},
    {"SetOtherDescriptor.w", web_processSetOtherDescriptor},
    {"SetTSInfoDesc.w", web_processSetTSInfoDescriptor},
    {"GetPAT.w", web_processGetPAT},
    {"SetPATPid.w", web_processSetPATPid},
    {"GetSubboardPSIPChannel.w", web_GetSubboardPSIPChannel},
    {"SetSubboardPSIPChannel.w", web_SetSubboardPSIPChannel},
    {"GetTOTLocaltimeoffsetDescriptor.w", web_processGetTOT_LTODescriptor},
    {"SetTOTLocaltimeoffsetDescriptor.w", web_processSetTOT_LTODescriptor},
    {"AutoGenerateNITDescriptor.w", web_processAutoGenerateNITDescriptor},
    {"ImportSiTable.w", nullptr},
    {"ExportSiTable.w", web_processExportOneSiTable},
    {"Debug.w", web_processDebug},
    {"ReadReg.w", web_processReadReg},
    {"WriteReg.w", web_processWriteReg},
    {"ExportLogs.w", web_processExportLogs},
    {"ClearLogs.w", web_processClearLogs},
    {"SaveLog.w", web_saveLog},
    {"GetLog.w", web_processGetLog},
    {"SetModulesAndlevel.w", web_processSetModulesAndLevel},
    {"GetModules", web_processGetModules},
    {"GetSystemParam.w", web_processGetSystemParam},
    {"SetSystemParam.w", web_processSetSystemParam},
    {"ExportMibs.w", web_processExportMibs},
    {"", nullptr},
};

static void freeRevData(void)
{
    free(g_ps8RevData);
    g_ps8RevData = nullptr;
}

// Raw request head as received ("" when there is none).
static const char* web_RequestHead(const connection* con)
{
    const buffer* b = con ? con->request.request : nullptr;
    return (b != nullptr && b->ptr != nullptr && b->used > 0) ? b->ptr : "";
}

// The command the request path names: its last segment (query cut off) when
// that ends in ".w" or is a table key; nullptr when the path names none.
static const char* web_PathCommand(const char* head, size_t* len)
{
    const char* sp = strchr(head, ' ');
    if (sp == nullptr)
        return nullptr;
    const char* path = sp + 1;
    const char* end = path + strcspn(path, " ?#\r\n");
    const char* seg = path;
    for (const char* p = path; p < end; p++)
        if (*p == '/')
            seg = p + 1;
    *len = (size_t)(end - seg);
    if (*len >= 2 && memcmp(end - 2, ".w", 2) == 0)
        return seg;
    for (const WEBInterface* row = arstWEBComm; row->pcStr[0] != '\0'; row++)
        if (strlen(row->pcStr) == *len && memcmp(row->pcStr, seg, *len) == 0)
            return seg;
    return nullptr;
}

// The row of the command a request runs: the one its path names; for a
// path that names none, the first row whose key occurs in the head. The
// empty last row when there is none.
static const WEBInterface* web_FindCommand(const char* head)
{
    size_t n = 0;
    const char* named = web_PathCommand(head, &n);
    const WEBInterface* row = arstWEBComm;
    if (named != nullptr) {
        while (row->pcStr[0] != '\0' && !(strlen(row->pcStr) == n && memcmp(row->pcStr, named, n) == 0))
            row++;
        return row;
    }
    while (row->pcStr[0] != '\0' && strstr(head, row->pcStr) == nullptr)
        row++;
    return row;
}

U32 web_ProcessIsLargeData(connection* con)
{
    if (con == nullptr)
        return 0;
    const char* head = web_RequestHead(con);
    size_t n = 0;
    const char* named = web_PathCommand(head, &n);
    for (const char* key : {"Upgrade.w", "ImportConfig.w", "ImportSiTable.w"})
        if (named != nullptr ? (strlen(key) == n && memcmp(named, key, n) == 0) : strstr(head, key) != nullptr)
            return 1;
    return 0;
}

// Points the shared upload path at the file this request's body was spooled
// into ("" when it has none): another connection may have spooled since.
static void web_TakeUploadPath(const connection* con)
{
    g_arcUpgradeFiledir[0] = '\0';
    const chunkqueue* cq = con->request_content_queue;
    for (const chunk* c = cq ? cq->first : nullptr; c != nullptr; c = c->next) {
        if (c->type == chunk::FILE_CHUNK && c->file.is_temp && c->file.name != nullptr && c->file.name->ptr != nullptr) {
            snprintf(g_arcUpgradeFiledir, sizeof(g_arcUpgradeFiledir), "%s", c->file.name->ptr);
            return;
        }
    }
}

static const size_t kBodyStep = 2048;

// Joins the memory chunks of the request body into g_ps8RevData.
static bool web_JoinBody(connection* con)
{
    freeRevData();
    size_t cap = kBodyStep;
    g_ps8RevData = (char*)malloc(cap);
    if (g_ps8RevData == nullptr)
        return false;
    size_t len = 0;
    g_ps8RevData[0] = '\0';
    const chunkqueue* cq = con ? con->request_content_queue : nullptr;
    for (const chunk* c = cq ? cq->first : nullptr; c != nullptr; c = c->next) {
        if (c->type != chunk::MEM_CHUNK || c->mem == nullptr || c->mem->ptr == nullptr || c->mem->used == 0)
            break;
        size_t n = strnlen(c->mem->ptr, c->mem->used);
        if (len + n + 1 > cap) {
            size_t need = len + n + 1;
            size_t grown = cap + ((need - cap) / kBodyStep + 1) * kBodyStep;
            char* p = (char*)realloc(g_ps8RevData, grown);
            if (p == nullptr) {
                freeRevData();
                return false;
            }
            g_ps8RevData = p;
            cap = grown;
        }
        memcpy(g_ps8RevData + len, c->mem->ptr, n);
        len += n;
        g_ps8RevData[len] = '\0';
    }
    return true;
}

// The revision an editor command's request names (when it is a whole
// number), taken before the command runs, and whether it was the working
// copy's then.
struct web_NamedRevision {
    bool bNamed = false;
    bool bCurrent = false;
    U32 u32Revision = 0;
};

static web_NamedRevision web_NoteRevision(void)
{
    web_NamedRevision n;
    cJSON* root = g_ps8RevData != nullptr ? cJSON_Parse(g_ps8RevData) : nullptr;
    n.bNamed = web_JsonWhole(cJSON_GetObjectItemCaseSensitive(root, "revision"), 0xFFFFFFFFu, &n.u32Revision);
    cJSON_Delete(root);
    const U32 now = TSP_GetTempRevision();
    n.bCurrent = n.bNamed && n.u32Revision == now;
    return n;
}

// The revision an editor command's error answer carries. A page shown
// another state changed nothing and stays on the one it named, so that its
// next edit is refused and it reloads rather than write over what it never
// saw. Any other page goes on with the revision after the request, taken
// under the lock its change was made under (bLocked: the dispatcher still
// holds it; else the one this thread was last given there).
static U32 web_RevisionAfter(const web_NamedRevision& n, bool bLocked)
{
    if (n.bNamed && !n.bCurrent)
        return n.u32Revision;
    return bLocked ? TSP_GetTempRevision() : TSP_LastTempRevision();
}

// The error answer of a command: an editor command's carries the revision
// (in "data", as a view's), but a 783's: that page must reload.
static void web_ErrorAnswer(buffer* reply, zrErrCode code, const web_NamedRevision* pNamed, bool bLocked)
{
    if (pNamed == nullptr || code == ZR_ERR_WEB_CONFIG_CHANGED) {
        web_processErr(reply, code, nullptr);
        return;
    }
    web_processErrRevision(reply, code, web_RevisionAfter(*pNamed, bLocked));
}

S32 web_ProcessData(buffer* reply, server*, connection* con)
{
    web_Refuse(ZR_SUCCESS, nullptr);  // no detail left by an earlier request
    if (!web_JoinBody(con))
        return ZR_ERR_WEB_NOTEXIST;
    const WEBInterface* row = web_FindCommand(web_RequestHead(con));
    const bool bRevision = row->pcStr[0] != '\0' && web_CarriesRevision(row->pcStr);
    web_NamedRevision named;
    S32 result = 0;
    if (row->pcStr[0] == '\0') {
        result = ZR_ERR_WEB_NOTEXIST;
    } else if (strstr(row->pcStr, "ImportSiTable.w") != nullptr) {
        // The handler locks around its import; it reads this request's
        // upload only.
        web_TakeUploadPath(con);
        named = web_NoteRevision();
        zrErrCode code = web_processImportOneSiTable(reply, con->request.request);
        g_arcUpgradeFiledir[0] = '\0';
        if (code != ZR_SUCCESS)
            web_ErrorAnswer(reply, code, &named, false);
    } else if (row->pfProcess != nullptr) {
        zrErrCode code;
        if (web_RunsUnlocked(row->pcStr)) {
            if (bRevision)
                named = web_NoteRevision();
            code = row->pfProcess(reply);
            web_EndTempEdit();
            if (code != ZR_SUCCESS)
                web_ErrorAnswer(reply, code, bRevision ? &named : nullptr, false);
        } else {
            CARD_STATE_LOCK();
            if (bRevision)
                named = web_NoteRevision();
            code = row->pfProcess(reply);
            web_EndTempEdit();
            if (code != ZR_SUCCESS)
                web_ErrorAnswer(reply, code, bRevision ? &named : nullptr, true);
        }
    } else {
        result = ZR_ERR_WEB_NOTEXIST;
    }
    freeRevData();
    return result;
}

// ---- Reply envelope and token ----

// cJSON prints every number with "%1.15g" and reads it back with sscanf to
// check it; replies are mostly small integers, which this writes as the same
// digits without either.
static void web_IntegersAsText(cJSON* item)
{
    for (; item != nullptr; item = item->next) {
        if (item->child != nullptr)
            web_IntegersAsText(item->child);
        if (!cJSON_IsNumber(item))
            continue;
        double d = item->valuedouble;
        if (!(d >= -2147483648.0 && d <= 2147483647.0) || d != (double)(int)d || (d == 0 && std::signbit(d)))
            continue;
        char digits[16];
        auto end = std::to_chars(digits, digits + sizeof(digits), (int)d).ptr;
        char* text = (char*)malloc(end - digits + 1);  // cJSON_Delete frees it with free
        if (text == nullptr)
            continue;
        memcpy(text, digits, end - digits);
        text[end - digits] = '\0';
        item->type = (item->type & ~0xFF) | cJSON_Raw;
        item->valuestring = text;
    }
}

void _web_addToWriteBuff(cJSON* root, buffer* reply)
{
    if (root == nullptr || reply == nullptr)
        return;
    web_IntegersAsText(root);
    // Most replies fit on the stack; only larger ones take cJSON's own buffer.
    char small[2048];
    if (cJSON_PrintPreallocated(root, small, sizeof(small), 1)) {
        cJSON_Delete(root);
        buffer_copy_string(reply, small);
        return;
    }
    char* text = cJSON_Print(root);
    cJSON_Delete(root);
    if (text == nullptr)
        return;
    buffer_copy_string(reply, text);
    cJSON_free(text);
}

const char* web_GetErrCodeString(zrErrCode code)
{
    const char* s = err_GetErrCodeString(code);
    return s ? s : "";
}

// What a handler named of a refused request (the field and its value), for
// the error reply of this request only.
static thread_local std::string t_refusalDetail;

zrErrCode web_Refuse(zrErrCode code, const char* detail)
{
    t_refusalDetail = detail != nullptr ? detail : "";
    return code;
}

S32 web_processErr(buffer* reply, zrErrCode code, char*)
{
    std::string text = web_GetErrCodeString(code);
    if (!t_refusalDetail.empty())
        text += " (" + t_refusalDetail + ")";
    t_refusalDetail.clear();
    return web_processErrText(reply, code, text.c_str());
}

S32 web_processErrText(buffer* reply, zrErrCode code, const char* text)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    cJSON* root = cJSON_CreateObject();
    cJSON_AddNumberToObject(root, "code", code);
    cJSON_AddStringToObject(root, "description", text != nullptr ? text : "");
    _web_addToWriteBuff(root, reply);
    return 0;
}

S32 web_processErrRevision(buffer* reply, zrErrCode code, U32 u32Revision)
{
    std::string text = web_GetErrCodeString(code);
    if (!t_refusalDetail.empty())
        text += " (" + t_refusalDetail + ")";
    t_refusalDetail.clear();
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    cJSON* root = cJSON_CreateObject();
    cJSON_AddNumberToObject(root, "code", code);
    cJSON_AddStringToObject(root, "description", text.c_str());
    web_AddNum(cJSON_AddObjectToObject(root, "data"), "revision", u32Revision);
    _web_addToWriteBuff(root, reply);
    return 0;
}

S32 web_processSuccess(buffer* reply) { return web_ReplyData(reply, nullptr); }

zrErrCode web_ReplyData(buffer* reply, cJSON* data, const char* desc)
{
    if (reply == nullptr) {
        cJSON_Delete(data);
        return ZR_ERR_WEB_BAD_PARAM;
    }
    cJSON* root = cJSON_CreateObject();
    cJSON_AddNumberToObject(root, "code", 0);
    if (desc != nullptr)
        cJSON_AddStringToObject(root, "description", desc);
    else
        cJSON_AddNullToObject(root, "description");
    if (data != nullptr)
        cJSON_AddItemToObject(root, "data", data);
    _web_addToWriteBuff(root, reply);
    return ZR_SUCCESS;
}

void web_AddNum(cJSON* obj, const char* key, double value) { cJSON_AddNumberToObject(obj, key, value); }

zrErrCode _web_checkToken(cJSON* body)
{
    if (body == nullptr)
        return ZR_ERR_WEB_POST_PARAM;
    if (!cJSON_IsString(cJSON_GetObjectItemCaseSensitive(body, "token")))
        return ZR_ERR_WEB_POST_PARAM;
    const cJSON* chassis = cJSON_GetObjectItemCaseSensitive(body, "chassistype");
    U32 type = 0;
    // Only the low 8 bits count; a value no U32 holds is ignored like a string.
    if (cJSON_IsNumber(chassis) && web_JsonU32(chassis, &type))
        Web_SetVRNType((U8)type);
    return ZR_SUCCESS;
}

WebBody::WebBody()
{
    root_ = g_ps8RevData ? cJSON_Parse(g_ps8RevData) : nullptr;
    if (root_ == nullptr)
        return;
    status_ = _web_checkToken(root_);
}

bool web_JsonU32(const cJSON* item, U32* out)
{
    if (!cJSON_IsNumber(item))
        return false;
    double d = item->valuedouble;
    if (!(d >= 0.0 && d < 4294967296.0))
        return false;
    *out = (U32)d;
    return true;
}

bool web_MemberU32(const cJSON* obj, const char* key, U32* out)
{
    return obj != nullptr && web_JsonU32(cJSON_GetObjectItemCaseSensitive(obj, key), out);
}

bool web_JsonWhole(const cJSON* item, U32 max, U32* out)
{
    if (!cJSON_IsNumber(item))
        return false;
    const double d = item->valuedouble;
    if (!(d >= 0.0 && d <= (double)max) || d != std::floor(d))
        return false;
    *out = (U32)d;
    return true;
}

bool web_MemberWhole(const cJSON* obj, const char* key, U32 max, U32* out)
{
    return obj != nullptr && web_JsonWhole(cJSON_GetObjectItemCaseSensitive(obj, key), max, out);
}

// ---- Server start and restart ----

static void* web_ServerThread(void*)
{
    httpd_configuration(0, nullptr);
    return nullptr;
}

U32 Web_Start(void)
{
    for (U8 type = 0; type <= 1; type++) {
        int u = Web_GetWebSlot(type, Status_GetSlotID());
        char cmd[248];
        snprintf(cmd, sizeof(cmd),
                 "cd  /tarvex_app/web/ && mkdir /tarvex_app/web/%d && ln -s /tarvex_app/web/  /tarvex_app/web/%d/proxy", u,
                 u);
        plat::System(cmd);
    }
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Thread attribute creation failed\n\n", LOG_POS);
        return WEB_FAILURE;
    }
    if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) != 0) {
        pthread_attr_destroy(&attr);
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Thread attribute setting failed\n\n", LOG_POS);
        return WEB_FAILURE;
    }
    // A server stopped by Web_MonitorServer starts afresh.
    httpd_shutdown(false);
    pthread_t tid;
    int rc = Thread_Create(&tid, &attr, web_ServerThread, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Web thread create failed!\r\n\n", LOG_POS);
        return WEB_FAILURE;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB, "%ld:%s:%d Web thread create successfully!\r\n\n", LOG_POS);
    return WEB_SUCCESS;
}

S32 web_GetHttpRequestCount(void)
{
    FILE* f = plat::Popen("netstat -nl | grep 80");
    if (f == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Can't open command [netstat -nl | grep 80] file!\n\n",
                   LOG_POS);
        return 0;
    }
    char line[200];
    S32 result = 0;
    while (fgets(line, sizeof(line), f) != nullptr) {
        int queue = 0, port = 0;
        char rest[200];
        if (sscanf(line, "tcp        %d      0 0.0.0.0:%d  %199s", &queue, &port, rest) == 3 && port == 80) {
            result = queue;
            break;
        }
    }
    plat::Pclose(f);
    return result;
}

zrWebErrCode Web_MonitorServer(void)
{
    if (web_GetHttpRequestCount() == 0)
        return WEB_SUCCESS;
    std::this_thread::sleep_for(std::chrono::seconds(2));
    if (web_GetHttpRequestCount() == 0)
        return WEB_SUCCESS;
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Restart web server!\n\n", LOG_POS);
    httpd_shutdown(true);
    for (int i = 0; i < 6; i++) {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        if (httpd_isServerClose()) {
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB, "%ld:%s:%d Close server successfully!\n\n", LOG_POS);
            httpd_shutdown(false);
            Web_Start();
            return WEB_RESTART_SUCCESS;
        }
    }
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Close server Timeout!\n\n", LOG_POS);
    return WEB_RESTART_FAILURE;
}

// ---- Versions and channel mapping ----

void web_getStringVersionFromNumber(U32 version, char* out)
{
    if (out != nullptr)
        snprintf(out, 20, "V%d.%d.%d", (int)((version >> 16) & 0xFF), (int)((version >> 8) & 0xFF),
                 (int)(version & 0xFF));
}

void web_getStringLogicVersionFromNumber(U32 version, char* out)
{
    if (out != nullptr)
        snprintf(out, 20, "V%d.%d.%d", (int)(version >> 24), (int)((version >> 16) & 0xFF), (int)(version & 0xFFFF));
}

U32 _web_GetOutChannelNumbyPort(U32) { return Web_GetOutputChannelNum(); }

U32 _web_GetOutRealChannel(U32 port, U32 channel) { return port * _web_GetOutChannelNumbyPort(port) + channel; }

// ---- Adapters ----

void web_REG_Read_fortest(U32 reg, U32* value) { REG_Read(reg, value); }
void web_REG_Write_fortest(U32 reg, U32 value) { REG_Write(reg, value); }
zrErrCode web_LogRegReadDebug(U32 chip, U32 reg, U32* value) { return (zrErrCode)FPGA_LogRegReadDebug(chip, reg, value); }
zrErrCode web_LogRegWriteDebug(U32 chip, U32 reg, U32 value) { return (zrErrCode)FPGA_LogRegWriteDebug(chip, reg, value); }

zrErrCode Web_SetLogStatus(U32 level)
{
    Log_SetLevel(level & 0x0F);
    return LogSetting_StoreParam() == 0 ? ZR_SUCCESS : ZR_ERR_NOT_SAVED;
}

void Web_DebugPrintMuxLUT(void) { TSP_PrintMuxLUT(); }
void Web_DebugPrintBypassLUT(void) { TSP_PrintBypassLUT(); }
void Web_GetPSIInterval(U16* out)
{
    if (out != nullptr)
        TSP_GetPSIInterval(out);
}
U32 Web_SetPSIInterval(U32 value) { return value > 0xFFFF ? TSP_ERR_INPUT : TSP_SetPSIInterval((U16)value); }
TResource_TS* Web_GetResourceHandle(void) { return Resource_getSelfHandle(); }
U8 Web_GetRealSlot(U8 u8VRNType, U8 u8WebSlot) { return ZRSYS_UISlot2HWSlot(u8VRNType, u8WebSlot); }
U8 Web_GetWebSlot(U8 u8VRNType, U8 u8HWSlot) { return ZRSYS_HWSlot2UISlot(u8VRNType, u8HWSlot); }
U32 Web_GetOutputChannelNum(void) { return BMN_GetOutputChannelNum(); }
void Web_SetVRNType(U8 type) { ZRSYS_SetVrnType(type); }
U8 Web_GetVRNType(void) { return (U8)ZRSYS_GetVrnType(); }
U32 web_GetSelfBoardDescriptor(U8* out20) { return Resource_getBoardDescriptor(Status_GetSlotID(), out20); }
void Web_VerCmpFlag(ST_VERSION_INFO* info) { PARAMS_VerCmpFlag(info); }
