// SI table files of the web back end: a channel's NIT exported behind a
// 28-byte little-endian header into /tmp and linked into the download folder,
// and such a file imported from an upload into the working copy and applied.
#include "Common/commonfun.h"
#include "Common/thread.h"
#include "CommonModules/httpd/buffer.h"
#include "CommonModules/httpd/chunk.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_db.h"
#include "TSprocess/tsp_nit.h"
#include "Upgrade/upgrade.h"
#include "Web/web.h"
#include "Web/web_json.h"
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <sys/stat.h>
#include <vector>

static const char* const kDownloadDir = "/tarvex_app/web/download/";
static const char* const kWebDir = "/tarvex_app/web/";
static const U32 kTableIdNIT = 64;
static const U32 kSignature = 0x00002009;
static const U32 kDeviceType = 0x0000EEFD;
// Query text of the import request: copied text, parts, and one part's length.
static const size_t kQueryText = 1000;
static const int kQueryParts = 20;
static const size_t kQueryPart = 100;
// Largest import file: no upload body is larger, and lengths stay in 32 bits.
static const off_t kImportMax = 64 << 20;

static void web_PutLE32(U8* p, U32 v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (U8)(v >> (8 * i));
}

static U32 web_GetLE32(const U8* p) { return (U32)p[0] | (U32)p[1] << 8 | (U32)p[2] << 16 | (U32)p[3] << 24; }

void DeviceConfigureSaveFileHeader_Put(const DeviceConfigureSaveFileHeader* h, U8* out)
{
    const U32 f[7] = {h->dwSignature, h->dwDeviceType, h->dwVersion, h->dwDataLength,
                      h->dwDataCRC,   h->dwRes1,       h->dwRes2};
    for (int i = 0; i < 7; i++)
        web_PutLE32(out + 4 * i, f[i]);
}

void DeviceConfigureSaveFileHeader_Get(const U8* in, DeviceConfigureSaveFileHeader* h)
{
    U32* f[7] = {&h->dwSignature, &h->dwDeviceType, &h->dwVersion, &h->dwDataLength,
                 &h->dwDataCRC,   &h->dwRes1,       &h->dwRes2};
    for (int i = 0; i < 7; i++)
        *f[i] = web_GetLE32(in + 4 * i);
}

bool splitIntoTwoParts(const char* text, char separator, char* left, char* right, size_t size)
{
    if (text == nullptr || left == nullptr || right == nullptr || size == 0)
        return false;
    const char* sep = strchr(text, separator);
    size_t leftLen = sep != nullptr ? (size_t)(sep - text) : strlen(text);
    const char* rest = "";
    if (sep != nullptr) {
        rest = sep;
        while (*rest == separator)
            rest++;
    }
    snprintf(left, size, "%.*s", (int)(leftLen < size ? leftLen : size - 1), text);
    snprintf(right, size, "%s", rest);
    return sep != nullptr;
}

// port and channel name an output channel of this card; anything else would
// write or read another channel's records.
static bool web_SiTableChannel(long port, long channel, int* flat)
{
    if (port < 0 || channel < 0 || port >= (long)TSP_WEB_CHANNEL_MAX || channel >= (long)TSP_WEB_CHANNEL_MAX)
        return false;
    U32 c = _web_GetOutRealChannel((U32)port, (U32)channel);
    if (c >= TSP_WEB_CHANNEL_MAX)
        return false;
    *flat = (int)c;
    return true;
}

zrErrCode Web_ExportNIT(int nChannel, char* uri)
{
    if (uri == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Params ERROR..\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    if (!web_EnsureDir(kDownloadDir)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Create dir %s fail!\n", LOG_POS, kDownloadDir);
        return ZR_ERR_WEB_DIRCREATFAIL;
    }
    U32 len = 0;
    U32 rc = TSP_GetExportNITLength(nChannel, &len);
    if (rc != 0)
        return (zrErrCode)rc;
    if (len < 4) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d TSP_GetExportNITLength Error, u16NITLength:%02x\n",
                   LOG_POS, len);
        return ZR_SUCCESS;
    }
    std::vector<U8> file;
    try {
        file.assign(sizeof(DeviceConfigureSaveFileHeader) + len, 0);
    } catch (const std::bad_alloc&) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Malloc fail..\n", LOG_POS);
        return ZR_ERR_MALLOC_FALIURE;
    }
    U8* data = file.data() + sizeof(DeviceConfigureSaveFileHeader);
    rc = TSP_GetExportNITBuf(nChannel, data, len);
    if (rc != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d TSP_GetExportNITBuf Error:enErrCode[%08X]\n", LOG_POS,
                   rc);
        return (zrErrCode)rc;
    }
    DeviceConfigureSaveFileHeader h{};
    h.dwSignature = kSignature;
    h.dwDeviceType = kDeviceType;
    h.dwDataLength = len;
    h.dwDataCRC = Common_CRCCalculate(data, len, 0);
    DeviceConfigureSaveFileHeader_Put(&h, file.data());

    char name[64];
    snprintf(name, sizeof(name), "TS%d_NIT.table", nChannel + 1);
    char path[128];
    snprintf(path, sizeof(path), "/tmp/%s", name);
    // File errors leave the reply's uri empty; the export itself succeeded.
    if (!plat::WriteFileAtomic(path, file.data(), file.size())) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d open %s fail\n", LOG_POS, path);
        return ZR_SUCCESS;
    }
    struct stat st {};
    if (stat(plat::Path(path).c_str(), &st) != 0 || (size_t)st.st_size != file.size()) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d write fail, filelen:%d\n", LOG_POS, (int)st.st_size);
        return ZR_SUCCESS;
    }
    snprintf(uri, 512, "download/%s", name);
    std::string link = std::string(kWebDir) + uri;
    char cmd[512];
    snprintf(cmd, sizeof(cmd), "ln -sf '%s' '%s'", path, link.c_str());
    web_RunLogged(cmd, nullptr, __func__);
    return ZR_SUCCESS;
}

zrErrCode web_processExportOneSiTable(buffer* reply)
{
    if (reply == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    WebBody body;
    if (body.Status() != ZR_SUCCESS)
        return body.Status();
    U32 tableid = 0, port = 0, channel = 0;
    if (!web_MemberU32(body.Root(), "tableid", &tableid) || !web_MemberU32(body.Root(), "port", &port) ||
        !web_MemberU32(body.Root(), "channel", &channel))
        return ZR_ERR_WEB_POST_PARAM;
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB,
               "[%s:%d] WEB: System Settings > System > click Export button!(web_ExportOneSiTable) table id:%d.\r\n",
               __func__, __LINE__, (int)tableid);
    char uri[512] = {0};
    if (tableid == kTableIdNIT) {
        int flat = 0;
        if (!web_SiTableChannel(port, channel, &flat))
            return ZR_ERR_WEB_POST_PARAM;
        zrErrCode rc = Web_ExportNIT(flat, uri);
        if (rc != ZR_SUCCESS)
            return rc;
    }
    cJSON* data = cJSON_CreateObject();
    cJSON_AddStringToObject(data, "uri", uri);
    return web_ReplyData(reply, data);
}

static U32 web_Len12(const U8* p) { return (U32)(p[0] & 0x0F) << 8 | p[1]; }

// The imported data is NIT sections end to end, each whole: table id 0x40,
// its length within the data and at most 1024 bytes, its network descriptor
// and transport-stream loops (with each entry's descriptors) ending where
// its CRC_32 begins, and that CRC_32 right.
static bool web_NITSectionsSound(const U8* data, U32 len)
{
    static const U32 kSectionMax = 1024, kFixed = 16;
    for (U32 pos = 0; pos < len;) {
        const U8* sec = data + pos;
        if (len - pos < kFixed || sec[0] != kTableIdNIT)
            return false;
        const U32 total = web_Len12(sec + 1) + 3;
        if (total < kFixed || total > kSectionMax || total > len - pos || Common_CRC_Calculate(sec, total, 0) != 0)
            return false;
        const U32 crcAt = total - 4;
        const U32 loopAt = 10 + web_Len12(sec + 8);
        if (loopAt + 2 > crcAt || loopAt + 2 + web_Len12(sec + loopAt) != crcAt)
            return false;
        for (U32 e = loopAt + 2; e < crcAt; e += 6 + web_Len12(sec + e + 4))
            if (e + 6 > crcAt || e + 6 + web_Len12(sec + e + 4) > crcAt)
                return false;
        pos += total;
    }
    return true;
}

zrErrCode Web_ImportNIT(int nChannel)
{
    const char* name = g_arcUpgradeFiledir;
    zrErrCode rc = upgrade_DelNetHeader(reinterpret_cast<const U8*>(name));
    if (rc != ZR_SUCCESS) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Del net-header ret: %d!\n", LOG_POS, (int)rc);
        return rc;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB, "%ld:%s:%d Del net-header success!\n", LOG_POS);
    struct stat st {};
    std::string file;
    try {
        if (stat(plat::Path(name).c_str(), &st) != 0 || !plat::ReadFile(name, file, kImportMax + 1)) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d fopen %s fail..\n", LOG_POS, name);
            return ZR_ERR_FILE_CAN_NOT_READE;
        }
    } catch (const std::bad_alloc&) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Upgrade file [%s] malloc(%d) failed!\n\n", LOG_POS,
                   name, (int)st.st_size);
        return ZR_ERR_MALLOC_FALIURE;
    }
    const size_t head = sizeof(DeviceConfigureSaveFileHeader);
    // The header and at least the fixed fields of one NIT section; no more
    // than an upload can hold.
    if (file.size() < head + 16 || st.st_size > kImportMax) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d file size %d out of range\n", LOG_POS, (int)file.size());
        return ZR_ERR_PARAMS;
    }
    U8* bytes = reinterpret_cast<U8*>(file.data());
    DeviceConfigureSaveFileHeader h{};
    DeviceConfigureSaveFileHeader_Get(bytes, &h);
    U8* data = bytes + head;
    const U32 len = (U32)(file.size() - head);
    if (Common_CRCCalculate(data, len, 0) != h.dwDataCRC) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d CRC isn't match\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    if (data[0] != 0x40) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d Not a NIT Table..\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    if (!web_NITSectionsSound(data, len)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d NIT section CRC or structure wrong\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    // Only the channel's NIT changes: it is stored in the live database (and
    // an open edit), never by committing the rest of a working copy, and goes
    // on air through the planner with what is on air, or not at all. A NIT
    // whose content differs from the one before takes the next version of
    // it, whatever version its file carries; the same content keeps it.
    CARD_STATE_LOCK();
    U32 ret = TSP_ApplyNITsToLive(1u << nChannel, true, [&]() { return TSP_AddNITByImport(nChannel, data, len); });
    // The revision after the import, for its answer (the NIT view shows it).
    TSP_GetTempRevision();
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_WEB, "%ld:%s:%d TSP_AddNITByImport fail..!\n", LOG_POS);
        // The card's own codes, each with its text: a NIT the output cannot
        // carry as a web apply that does not fit, one the card cannot show
        // again as a bad file, a channel without a stream as such.
        if (ret == TSP_ERR_DOES_NOT_FIT)
            return ZR_ERR_TSP_CONSTRUCT_OUTPUT_TS_ERROR;
        if (ret == TSP_ERR_LIST_RANGE || ret == TSP_ERR_NIT_SPACE)
            return ZR_ERR_PARAMS;
        if (ret == TSP_ERR_INPUT)
            return ZR_ERR_WEB_POST_PARAM;
        if (ret == TSP_ERR_NO_MEMORY)
            return ZR_ERR_MALLOC_FALIURE;
        return ret < 0x10000 ? (zrErrCode)ret : ZR_ERR_FAILURE;
    }
    TSP_SendSubFPGAMuxLUTInfo();
    TSP_SendSubFPGABypassLUTInfo();
    // The imported table stays in force when the file was not written.
    return PARAMS_TSPParametersSave() == ZR_SUCCESS ? ZR_SUCCESS : ZR_ERR_NOT_SAVED;
}

// Reads port, channel and tableid from the query of the request line; false
// when the request has no usable query.
static bool web_ImportQuery(const buffer* headBuf, long* port, long* channel, long* tableid)
{
    char text[kQueryText];
    size_t n = strnlen(headBuf->ptr, headBuf->used < kQueryText - 1 ? headBuf->used : kQueryText - 1);
    memcpy(text, headBuf->ptr, n);
    text[n] = '\0';
    const char* q = strchr(text, '?');
    if (q == nullptr || q[1] == '\0' || strchr(q + 1, '&') == nullptr)
        return false;
    *port = *channel = *tableid = 0;
    char rest[kQueryText], next[kQueryText], part[kQueryText];
    snprintf(rest, sizeof(rest), "%s", q + 1);
    for (int i = 0; i < kQueryParts && rest[0] != '\0'; i++) {
        splitIntoTwoParts(rest, '&', part, next, sizeof(rest));
        memcpy(rest, next, sizeof(rest));
        part[kQueryPart - 1] = '\0';  // a part keeps at most 99 characters
        char key[kQueryPart], value[kQueryPart];
        splitIntoTwoParts(part, '=', key, value, sizeof(key));
        long v = strtol(value, nullptr, 10);
        if (strstr(key, "port") != nullptr)
            *port = v;
        else if (strstr(key, "channel") != nullptr)
            *channel = v;
        else if (strstr(key, "tableid") != nullptr)
            *tableid = v;
    }
    return true;
}

zrErrCode web_processImportOneSiTable(buffer* reply, buffer* head)
{
    if (reply == nullptr || head == nullptr || head->ptr == nullptr)
        return ZR_ERR_WEB_BAD_PARAM;
    long port = 0, channel = 0, tableid = 0;
    if (!web_ImportQuery(head, &port, &channel, &tableid))
        return ZR_SUCCESS;
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_WEB,
               "[%s:%d] WEB: System Settings > System > click Upload button!(Web_ImportOneSiTable) table id:%d.\r\n",
               __func__, __LINE__, (int)tableid);
    // Only a NIT is imported, and it goes on air with the import; another
    // table id changes nothing, so nothing is applied for it.
    U32 revision = 0;
    if (tableid == (long)kTableIdNIT) {
        int flat = 0;
        if (!web_SiTableChannel(port, channel, &flat))
            return ZR_ERR_WEB_POST_PARAM;
        zrErrCode rc = Web_ImportNIT(flat);
        if (rc != ZR_SUCCESS)
            return rc;
        revision = TSP_LastTempRevision();
    } else {
        revision = TSP_GetTempRevision();
    }
    cJSON* data = cJSON_CreateObject();
    web_AddNum(data, "importdelay", 5);
    web_AddNum(data, "revision", revision);
    return web_ReplyData(reply, data);
}
