// Firmware upgrade: an image is a 256-byte header and a tar archive. It is
// fetched or received, checked (header, CRC, version gate), unpacked, its
// own script is run, and the installed version is recorded and read back.
#include "Upgrade/upgrade.h"
#include "Common/commonfun.h"
#include "Common/oid/oiddata.h"
#include "Common/thread.h"
#include "Comm/ipcomm.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/PHY/phy.h"
#include "Log/log.h"
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include <arpa/inet.h>
#include <cJSON.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

st_ZR_UPGRADE UpgradeProFlag = {};
std::atomic<bool> g_isUpgrading{false};
std::atomic<bool> g_isFtpUpgrading{false};
std::atomic<bool> g_isUpgardeTimeOut{false};
std::atomic<U8> g_isSendTimeOut{1};
U32 TmpVersion = 0;
const U32 Rollback_Version = 0x10201;
const U32 Intermediate_Version = 0xFFFFFF;

#define UP_LOG(level, fmt, ...) log_printf(level, LOG_MODULE_UPGRADE, "%ld:%s:%d " fmt "\n", LOG_POS, ##__VA_ARGS__)

namespace {

// The record is written by the installation and the reporter and read by
// the sender: one lock keeps each change whole.
std::mutex s_recordMutex;
std::atomic<U32> s_secondMs{1000};
std::atomic<int> s_testPhyType{-1};
std::atomic<void (*)(U8)> s_stageObserver{nullptr};
// The reporter of the latest upgrade; an earlier one still running ends.
std::atomic<uintptr_t> s_reporterGen{0};

void SetStage(U8 stage)
{
    {
        std::lock_guard<std::mutex> lk(s_recordMutex);
        UpgradeProFlag.u8CurUpgradeProFlag = stage;
    }
    if (auto obs = s_stageObserver.load())
        obs(stage);
}

U8 Stage(void)
{
    std::lock_guard<std::mutex> lk(s_recordMutex);
    return UpgradeProFlag.u8CurUpgradeProFlag;
}

void SetError(U32 code)
{
    std::lock_guard<std::mutex> lk(s_recordMutex);
    UpgradeProFlag.u32ErrorCode = code;
}

// Each upgrade's records start from no error: nothing of an earlier failed
// or refused one carries over.
void ClearError(void)
{
    std::lock_guard<std::mutex> lk(s_recordMutex);
    TmpVersion = 0;
    UpgradeProFlag.u32TmpVersion = 0;
    UpgradeProFlag.u32ErrorCode = 0;
}

void WaitSeconds(U32 s)
{
    std::this_thread::sleep_for(std::chrono::milliseconds((U64)s * s_secondMs.load()));
}

void Run(const char* fmt, const char* arg = "", const char* cwd = nullptr)
{
    char cmd[256];
    snprintf(cmd, sizeof(cmd), fmt, arg);
    plat::System(cmd, cwd);
}

struct Version {
    int big = 0, mid = 0, min = 0;
    U32 Number() const { return ((U32)big & 0xFF) << 16 | ((U32)mid & 0xFF) << 8 | ((U32)min & 0xFF); }
};

// The software version text of a header, terminated before it is parsed.
Version ParseVersion(const ImageHeader_t& h)
{
    char text[sizeof(h.ucSoftwareVersion) + 1];
    memcpy(text, h.ucSoftwareVersion, sizeof(h.ucSoftwareVersion));
    text[sizeof(h.ucSoftwareVersion)] = '\0';
    Version v;
    sscanf(text, "V%d.%d.%d", &v.big, &v.mid, &v.min);
    return v;
}

// An open image file with its size.
struct Image {
    FILE* f = nullptr;
    long size = 0;
    ~Image()
    {
        if (f != nullptr)
            fclose(f);
    }
};

bool OpenImage(const char* name, Image& img)
{
    img.f = plat::Fopen(name, "rb");
    if (img.f == nullptr)
        return false;
    struct stat st;
    img.size = fstat(fileno(img.f), &st) == 0 ? (long)st.st_size : 0;
    return true;
}

bool HeaderValid(const ImageHeader_t& h)
{
    return h.SyncFlag == UPGRADE_SYNC_FLAG && h.BoardType == UPGRADE_BOARD_TYPE &&
           h.MachineType == UPGRADE_MACHINE_TYPE;
}

// Reads the payload the header announces; 0, 7 (short) or 8 (no memory).
// The length is checked against the file before anything is allocated.
zrErrCode ReadPayload(const char* name, Image& img, const ImageHeader_t& h, U8** out)
{
    *out = nullptr;
    if (img.size < UPGRADE_HEADER_LEN || (U64)h.DataLength > (U64)img.size - UPGRADE_HEADER_LEN) {
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] valid data can't be read!", name);
        return ZR_ERR_FILE_CAN_NOT_READE;
    }
    U8* buf = static_cast<U8*>(malloc(h.DataLength ? h.DataLength : 1));
    if (buf == nullptr) {
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] malloc error!", name);
        return ZR_ERR_MALLOC_FALIURE;
    }
    if (fread(buf, 1, h.DataLength, img.f) != h.DataLength) {
        free(buf);
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] valid data can't be read!", name);
        return ZR_ERR_FILE_CAN_NOT_READE;
    }
    *out = buf;
    return ZR_SUCCESS;
}

bool ReadHeader(const char* name, Image& img, ImageHeader_t& h)
{
    if (fread(&h, 1, sizeof(h), img.f) == sizeof(h))
        return true;
    UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] header can't be read error: %s(errno: %d)", name, strerror(errno),
           errno);
    return false;
}

bool OwnEntryExists(void)
{
    if (Resource_getSelfHandle() != nullptr)
        return true;
    UP_LOG(LOG_LEVEL_ERROR, "Slot-%d is invalid", Status_GetSlotID());
    return false;
}

// The image opened, on a card that knows its own slot record.
bool OpenOwnImage(const char* name, Image& img)
{
    if (!OpenImage(name, img)) {
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] open  error: %s(errno: %d)", name, strerror(errno), errno);
        return false;
    }
    return OwnEntryExists();
}

void RemoveOldUnpack(void)
{
    Run("rm /var/upgrade -fr");
    Run("rm /var/upgrade.tar");
}

// The version file's object for a header.
char* VersionJson(const ImageHeader_t* h)
{
    Version v = ParseVersion(*h);
    cJSON* root = cJSON_CreateObject();
    if (root == nullptr)
        return nullptr;
    cJSON_AddNumberToObject(root, "MachineType", h->MachineType);
    cJSON_AddNumberToObject(root, "BoardType", h->BoardType);
    cJSON_AddNumberToObject(root, "BigVerNum", v.big);
    cJSON_AddNumberToObject(root, "MidVerNum", v.mid);
    cJSON_AddNumberToObject(root, "MinVerNum", v.min);
    char* text = cJSON_Print(root);
    cJSON_Delete(root);
    return text;
}

bool WriteVersionJson(const char* path, const ImageHeader_t* h)
{
    char* text = VersionJson(h);
    if (text == nullptr)
        return false;
    bool ok = plat::WriteFileAtomic(path, text, strlen(text), true);
    cJSON_free(text);
    if (!ok)
        UP_LOG(LOG_LEVEL_ERROR, "open file: %s failed", path);
    return ok;
}

}  // namespace

void upgrade_CopyRecord(st_ZR_UPGRADE* pstOut)
{
    std::lock_guard<std::mutex> lk(s_recordMutex);
    *pstOut = UpgradeProFlag;
}

void upgrade_SetCommStatus(U8 u8Status)
{
    std::lock_guard<std::mutex> lk(s_recordMutex);
    UpgradeProFlag.u8CommStatusFlag = u8Status;
}

void upgrade_TestSetSecondMs(U32 u32Ms) { s_secondMs = u32Ms; }
void upgrade_TestSetPhyChipType(int type) { s_testPhyType = type; }
void upgrade_TestSetStageObserver(void (*observer)(U8)) { s_stageObserver = observer; }

void FTP_UpgradeProfileInit(void)
{
    TResource_TS* self = Resource_getSelfHandle();
    std::lock_guard<std::mutex> lk(s_recordMutex);
    memset(&UpgradeProFlag, 0, sizeof(UpgradeProFlag));
    UpgradeProFlag.u16CMD = 0x0F07;
    UpgradeProFlag.u8SumUpgradeProFlag = UPGRADE_STAGE_DONE;
    UpgradeProFlag.u8CommStatusFlag = 1;
    UpgradeProFlag.u8UpgradeStatusFlag = 1;
    if (self == nullptr) {
        UP_LOG(LOG_LEVEL_ERROR, "Slot-%d is invalid", Status_GetSlotID());
        return;
    }
    UpgradeProFlag.u8SlotID = self->u8SlotID;
    UpgradeProFlag.u8BoardType = self->u8BoardType;
    UpgradeProFlag.u32BoardSoftVersion = self->u32SoftVersion;
    UpgradeProFlag.u32BoardLogicVersion = self->u32LogicVersion;
}

U32 GetMiniSwVersion_SupportCurrentHw(U8* u8BigVerLimit)
{
    int type = s_testPhyType.load();
    if (type < 0) {
        _PhyParams_st* phy = Phy_GetPhyParams();
        type = phy == nullptr ? -1 : (int)phy->chipType;
    }
    if (type != (int)PhyYT8521)
        return 0;
    if (u8BigVerLimit != nullptr)
        *u8BigVerLimit = 2;
    return 0x01041E;
}

zrErrCode GetUpgradeFileSwVersion(const U8* UpgradeFileName, U32* pu32SwVersion)
{
    if (UpgradeFileName == nullptr || pu32SwVersion == nullptr) {
        UP_LOG(LOG_LEVEL_ERROR, "%s Param is NULL!", __func__);
        return ZR_ERR_PARAMS;
    }
    const char* name = reinterpret_cast<const char*>(UpgradeFileName);
    Image img;
    if (!OpenImage(name, img)) {
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] open  error: %s(errno: %d)", name, strerror(errno), errno);
        return ZR_ERR_FILE_CAN_NOT_READE;
    }
    ImageHeader_t h;
    if (!ReadHeader(name, img, h))
        return ZR_ERR_UPGRADE_CHECK_HEADER;
    *pu32SwVersion = ParseVersion(h).Number();
    return ZR_SUCCESS;
}

zrErrCode upgrade_CheckFile(const U8* UpgradeFileName)
{
    if (UpgradeFileName == nullptr) {
        UP_LOG(LOG_LEVEL_ERROR, "Param is NULL!");
        SetStage(UPGRADE_STAGE_FAILED);
        return ZR_ERR_PARAMS;
    }
    RemoveOldUnpack();
    return upgrade_CheckImageFile(reinterpret_cast<const char*>(UpgradeFileName));
}

zrErrCode upgrade_CheckImageFile(const char* name)
{
    Image img;
    if (!OpenOwnImage(name, img))
        return ZR_ERR_FILE_CAN_NOT_READE;
    ImageHeader_t h;
    if (!ReadHeader(name, img, h))
        return ZR_ERR_FILE_CAN_NOT_READE;
    if (!HeaderValid(h)) {
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] header info error!", name);
        return ZR_ERR_UPGRADE_CHECK_HEADER;
    }
    U8* payload = nullptr;
    zrErrCode rc = ReadPayload(name, img, h, &payload);
    if (rc != ZR_SUCCESS)
        return rc;
    U32 crc = Common_CRCCalculate(payload, h.DataLength, 0);
    free(payload);
    return crc == h.DataCRC32 ? ZR_SUCCESS : ZR_ERR_CRC;
}

zrErrCode upgrade_CheckUpgrade(const U8* UpgradeFileName)
{
    if (FPGA_GetChipType() == CHIP_TYPE_MAIN) {
        // The configuration crosses the upgrade in the OID dump.
        OID_ModifyVersionNumber(OID_VERSION_UPGRADE);
        OIDDATA_Save();
    }
    if (UpgradeFileName == nullptr) {
        UP_LOG(LOG_LEVEL_ERROR, "Param is NULL!");
        return ZR_ERR_PARAMS;
    }
    const char* name = reinterpret_cast<const char*>(UpgradeFileName);
    RemoveOldUnpack();
    Image img;
    if (!OpenOwnImage(name, img))
        return ZR_ERR_FILE_CAN_NOT_READE;

    SetStage(4);
    ImageHeader_t h;
    if (!ReadHeader(name, img, h))
        return ZR_ERR_UPGRADE_CHECK_HEADER;
    UP_LOG(LOG_LEVEL_INFO, "SyncFlag: 0x%x, BoardType: %u, MachineType: %u", h.SyncFlag, h.BoardType, h.MachineType);
    if (!HeaderValid(h)) {
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] header info error!", name);
        return ZR_ERR_UPGRADE_CHECK_HEADER;
    }
    UP_LOG(LOG_LEVEL_INFO, "Upgrade file [%s] header info correct!", name);

    // Version gate.
    U8 limit = 0;
    U32 minimum = GetMiniSwVersion_SupportCurrentHw(&limit);
    if (minimum < Rollback_Version)
        minimum = Rollback_Version;
    Version v = ParseVersion(h);
    Version lo{(int)(minimum >> 16), (int)((minimum >> 8) & 0xFF), (int)(minimum & 0xFF)};
    if (v.big == (int)limit) {
        TmpVersion = minimum;
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] version in(2.x.x) %d.%d.%d,incompatible PhyYT8521!", name, v.big,
               v.mid, v.min);
        return ZR_ERR_VER;
    }
    bool notAbove = v.big != lo.big ? v.big < lo.big : v.mid != lo.mid ? v.mid < lo.mid : v.min <= lo.min;
    if (notAbove) {
        TmpVersion = minimum;
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] version lower than %d.%d.%d!", name, lo.big, lo.mid, lo.min);
        return ZR_ERR_UPGRADE_TO_LOW_VERSION;
    }
    if (((U64)(U32)v.big << 16 | (U64)(U32)v.mid << 8 | (U32)v.min) > Intermediate_Version) {
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] version need to upgrade software %d.%d.%d!", name,
               (int)(Intermediate_Version >> 16), (int)((Intermediate_Version >> 8) & 0xFF),
               (int)(Intermediate_Version & 0xFF));
        return ZR_ERR_UPGRADE_WITHOUT_TMP_VERSION;
    }

    UP_LOG(LOG_LEVEL_INFO, "Upgrade file [%s] len: %d !", name, (int)h.DataLength);
    SetStage(5);
    U8* payload = nullptr;
    zrErrCode rc = ReadPayload(name, img, h, &payload);
    if (rc != ZR_SUCCESS)
        return rc;
    UP_LOG(LOG_LEVEL_INFO, "Upgrade file [%s] valid data have been read succefully!", name);
    U32 crc = Common_CRCCalculate(payload, h.DataLength, 0);
    UP_LOG(LOG_LEVEL_INFO, "Upgrade file CRC value: 0x%x!", h.DataCRC32);
    UP_LOG(LOG_LEVEL_INFO, "Upgrade file CRC ret: 0x%x!", crc);
    fclose(img.f);
    img.f = nullptr;
    SetStage(6);

    // The file keeps the archive alone, or nothing when the CRC is wrong.
    bool good = crc == h.DataCRC32;
    bool written = plat::WriteFileAtomic(name, payload, good ? h.DataLength : 0, false);
    free(payload);
    if (!written) {
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] re-open fail!", name);
        return ZR_ERR_FILE_NOT_EXISTING;
    }
    if (!good) {
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] CRC failure!", name);
        return ZR_ERR_CRC;
    }
    UP_LOG(LOG_LEVEL_INFO, "Upgrade file [%s] CRC successfully!", name);
    UP_LOG(LOG_LEVEL_INFO, "Upgrade file [%s] valid data can been write successfully!", name);

    g_isSendTimeOut = 0;
    WaitSeconds(3);
    if (g_isUpgardeTimeOut) {
        UP_LOG(LOG_LEVEL_ERROR, "Get upgrade file time out,upgrade faile");
        return ZR_ERR_FTP_UPGRADE_TIME_OUT;
    }

    Run("mkdir /var/volatile/upgrade");
    if (!plat::ArchiveIsSafe(name)) {
        // A link, device file or climbing name could write outside the folder.
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] archive holds unsafe members, refused!", name);
        Run("rm -f %s", name);
        Run("rm /var/volatile/upgrade -fr");
        return ZR_ERR_TAR_UPGRADE_FILE_ERROR;
    }
    char cmd[256];
    snprintf(cmd, sizeof(cmd), "tar xvf %s -C /var/volatile/upgrade/", name);
    UP_LOG(LOG_LEVEL_INFO, "tar commdand:[%s]!", cmd);
    plat::System(cmd);
    Run("rm -f %s", name);
    SetStage(7);
    // An archive without its install script would record a version that
    // nothing installed.
    if (!plat::Exists("/var/volatile/upgrade/zz.zz") || !plat::Exists("/var/volatile/upgrade/run.sh")) {
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] archive lacks zz.zz or run.sh, refused!", name);
        Run("rm /var/volatile/upgrade -fr");
        return ZR_ERR_TAR_UPGRADE_FILE_ERROR;
    }

    SetStage(8);
    Run("ls -l /var/volatile/upgrade/");
    Run("chmod +x /var/volatile/upgrade/run.sh");
    Run("/var/volatile/upgrade/run.sh");
    WaitSeconds(3);
    bool stored = storeVersionFromHeader(&h);
    if (plat::Exists("/tarvex_data/ubifs.flag"))
        Run("rm /tarvex_data/ubifs.flag");
    Run("chmod +x /tarvex_app/app/copy2jffs2.sh");
    Run("/tarvex_app/app/copy2jffs2.sh");
    if (plat::Exists("/var/upgrade/ubifs.flag"))
        Run("touch /tarvex_data/ubifs.flag");
    bool readBack = upgrade_CheckSoftVersionModify(&h);
    if (!stored || !readBack) {
        // Installed, but the chip's record does not name the new version: the
        // card would report the old one, so the upgrade is not done.
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] installed, but %s does not record its version!", name,
               UPGRADE_VERSION_FILE);
        Run("rm /var/volatile/upgrade -fr");
        return ZR_ERR_NOT_SAVED;
    }
    SetStage(9);
    Run("rm /var/volatile/upgrade -fr");
    WaitSeconds(5);
    return ZR_SUCCESS;
}

zrErrCode upgrade_UpgradeSystem(const U8* u8UpgradeFileName) { return upgrade_UpgradeSystemWith(u8UpgradeFileName, {}); }

void upgrade_ReportFailure(zrErrCode code)
{
    SetError((U32)code);
    SetStage(UPGRADE_STAGE_FAILED);
    ::unlink(plat::Path(UPGRADE_FILE).c_str());
}

zrErrCode upgrade_UpgradeSystemWith(const U8* u8UpgradeFileName, const std::function<zrErrCode()>& others)
{
    // One installation at a time: a second one (an image sent again) would
    // share the OID store's tree, the unpack folder and the progress record.
    static std::atomic<bool> s_installing{false};
    if (s_installing.exchange(true)) {
        UP_LOG(LOG_LEVEL_ERROR, "An upgrade is already being installed!");
        return ZR_ERR_FAILURE;
    }
    struct Done {
        ~Done() { s_installing = false; }
    } done;
    (void)done;
    g_isUpgrading = true;
    ClearError();
    if (u8UpgradeFileName == nullptr) {
        UP_LOG(LOG_LEVEL_ERROR, "Null pointer!");
        g_isUpgrading = false;
        g_isFtpUpgrading = false;
        SetStage(UPGRADE_STAGE_FAILED);
        return ZR_ERR_PARAMS;
    }
    const char* name = reinterpret_cast<const char*>(u8UpgradeFileName);
    UP_LOG(LOG_LEVEL_INFO, "Upgrade file name :[%s]!", name);
    zrErrCode rc = upgrade_CheckUpgrade(u8UpgradeFileName);
    // Done means done on every chip that took the image, not on this one alone.
    if (rc == ZR_SUCCESS && others)
        rc = others();
    if (rc != ZR_SUCCESS) {
        {
            std::lock_guard<std::mutex> lk(s_recordMutex);
            UpgradeProFlag.u32TmpVersion = TmpVersion;
            UpgradeProFlag.u32ErrorCode = (U32)rc;
        }
        SetStage(UPGRADE_STAGE_FAILED);
        UP_LOG(LOG_LEVEL_ERROR, " u32TmpVersion: 0x%x!", TmpVersion);
        UP_LOG(LOG_LEVEL_ERROR, " ret: %d!", (int)rc);
    } else {
        SetStage(UPGRADE_STAGE_DONE);
        UP_LOG(LOG_LEVEL_INFO, "Upgrade_success! ret: %d!", (int)rc);
    }
    ::unlink(plat::Path(name).c_str());
    g_isUpgrading = false;
    g_isFtpUpgrading = false;
    // A time-out belongs to this installation only; the next one starts clean.
    g_isUpgardeTimeOut = false;
    g_isSendTimeOut = 1;
    return rc;
}

void* upgrade_FileCasTask(void* arg)
{
    if (arg == nullptr) {
        UP_LOG(LOG_LEVEL_ERROR, "param = NULL");
        return nullptr;
    }
    upgrade_UpgradeSystem(static_cast<const U8*>(arg));
    return nullptr;
}

S32 upgrade_FTPUpgradeMode(void)
{
    ClearError();
    SetStage(UPGRADE_STAGE_FETCH);
    UP_LOG(LOG_LEVEL_INFO, "3upgrade_CheckUpgrade_u8CurUpgradeProFlag = [%d] !", UPGRADE_STAGE_FETCH);
    g_isUpgardeTimeOut = false;
    g_isFtpUpgrading = true;
    struct in_addr bb;
    bb.s_addr = htonl(Resource_getBoardIPAddress(SLOT_BB));
    char cmd[64];
    snprintf(cmd, sizeof(cmd), "ftpget %s upgradefile", inet_ntoa(bb));
    for (int attempt = 0; attempt < 7; attempt++) {
        plat::System(cmd, "/var/volatile/");
        if (upgrade_CheckFile(reinterpret_cast<const U8*>(UPGRADE_FILE)) == ZR_SUCCESS) {
            UP_LOG(LOG_LEVEL_INFO, "Ftpget upgrade file finish");
            return 0;
        }
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file error,redownload!!");
    }
    SetError(ZR_ERR_FTP_DOWNLOAD_FILE_FAIL);
    SetStage(UPGRADE_STAGE_FAILED);
    return 0;
}

zrErrCode upgrade_RecieveFile(const U8* fileData, U32 u32Datalen)
{
    UP_LOG(LOG_LEVEL_INFO, "u32Datalen %d", (int)u32Datalen);
    if (fileData == nullptr || !plat::WriteFileAtomic(UPGRADE_FILE, fileData, u32Datalen, false)) {
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] re-open fail!", UPGRADE_FILE);
        return ZR_ERR_FILE_NOT_EXISTING;
    }
    return ZR_SUCCESS;
}

void upgradeCheckSubTimeout(U32 u32Time)
{
    if (u32Time <= UPGRADE_REPORT_TIMEOUT_S || !g_isSendTimeOut)
        return;
    {
        std::lock_guard<std::mutex> lk(s_recordMutex);
        if (UpgradeProFlag.u8CurUpgradeProFlag <= UPGRADE_STAGE_FAILED)
            return;
        UpgradeProFlag.u32ErrorCode = ZR_ERR_FTP_UPGRADE_TIME_OUT;
    }
    SetStage(UPGRADE_STAGE_FAILED);
    g_isUpgardeTimeOut = true;
    UP_LOG(LOG_LEVEL_ERROR, " SubUpgrade time out,upgrade stop");
}

void* Send_SubUpgradeProccessStatus(void* arg)
{
    UP_LOG(LOG_LEVEL_INFO, "Send Subboard upgrade status timely To BackBoard");
    const uintptr_t gen = reinterpret_cast<uintptr_t>(arg);
    auto start = std::chrono::steady_clock::now();
    U8 oldFlag = 0xFF;
    for (;;) {
        if (gen != 0 && gen != s_reporterGen.load()) {
            // A later upgrade has its own reporter: two would each send every stage.
            UP_LOG(LOG_LEVEL_INFO, "the end of Send_SubUpgradeProccessStatus function");
            return nullptr;
        }
        U8 stage = Stage();
        UP_LOG(LOG_LEVEL_INFO, "Send_SubUpgradeProccessStatus_u8CurUpgradeProFlag = [%d]!", stage);
        if (stage == UPGRADE_STAGE_FAILED || stage == UPGRADE_STAGE_DONE)
            break;
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        upgradeCheckSubTimeout((U32)((U64)ms.count() / s_secondMs.load()));
        if (g_isFtpUpgrading)
            IPComm_SendUpProFlagToBackBoard(&oldFlag);
        WaitSeconds(1);
    }
    IPComm_SendUpProFlagToBackBoard(&oldFlag);
    g_isFtpUpgrading = false;
    UP_LOG(LOG_LEVEL_INFO, "the end of Send_SubUpgradeProccessStatus function");
    return nullptr;
}

zrErrCode SubUpgrade_TimeoutStart(void)
{
    void* gen = reinterpret_cast<void*>(++s_reporterGen);
    if (THREAD_NEW_DETACH(Send_SubUpgradeProccessStatus, gen, "Send_SubUpgradeProccessStatus") == 0) {
        UP_LOG(LOG_LEVEL_ERROR, "SubUpgrade timeout process thread create error :%s(errno: %d)", strerror(errno),
               errno);
        return ZR_ERR_COMM_PTHREAD_CREAT;
    }
    return ZR_SUCCESS;
}

bool storeVersionFromHeader(ImageHeader_t* pstHeader)
{
    if (pstHeader == nullptr)
        return false;
    bool ok = WriteVersionJson(UPGRADE_VERSION_FILE, pstHeader);
    Run("sync");
    return ok;
}

bool upgrade_CheckSoftVersionModify(ImageHeader_t* pstHeader)
{
    if (pstHeader == nullptr)
        return false;
    int got[3] = {0, 0, 0};
    std::string text;
    bool ok = false;
    if (!plat::ReadFile(UPGRADE_VERSION_FILE, text, 1024)) {
        UP_LOG(LOG_LEVEL_ERROR, "open file: %s failed", UPGRADE_VERSION_FILE);
    } else if (cJSON* root = cJSON_ParseWithLength(text.data(), text.size())) {
        const char* keys[3] = {"BigVerNum", "MidVerNum", "MinVerNum"};
        ok = true;
        for (int i = 0; i < 3; i++) {
            cJSON* item = cJSON_GetObjectItem(root, keys[i]);
            if (!cJSON_IsNumber(item)) {
                ok = false;
                break;
            }
            got[i] = item->valueint;
            UP_LOG(LOG_LEVEL_INFO, "%s = %d", keys[i], got[i]);
        }
        cJSON_Delete(root);
    }
    if (!ok) {
        got[0] = got[1] = got[2] = 0;
        UP_LOG(LOG_LEVEL_ERROR, "Error: The /tarvex_data/upgradeVersion.json is empty");
    }
    Version want = ParseVersion(*pstHeader);
    if (got[0] == want.big && got[1] == want.mid && got[2] == want.min) {
        UP_LOG(LOG_LEVEL_INFO, "SoftVersion has been changed successfully after upgrade");
        return true;
    }
    UP_LOG(LOG_LEVEL_ERROR, "SoftVersion changed has not changed");
    UP_LOG(LOG_LEVEL_ERROR, "The data partition probability becomes read-only, Start to recovery");
    UP_LOG(LOG_LEVEL_ERROR, "The data partition will be restored from JFFS2 partition side");
    Run("mkdir /tmp/jffs2");
    Run("mount -t jffs2 /dev/mtdblock6 /tmp/jffs2");
    if (!WriteVersionJson("/tmp/jffs2/upgradeVersion.json", pstHeader))
        UP_LOG(LOG_LEVEL_ERROR, "The version record could not be repaired on the JFFS2 partition either");
    Run("sync");
    WaitSeconds(2);
    Run("umount /tmp/jffs2");
    Run("rmdir /tmp/jffs2");
    // The repair takes effect only when the data partition is restored from
    // it: until then this chip's record still names another version.
    return false;
}

zrErrCode upgrade_DelNetHeader(const U8* u8UpgradeFileName)
{
    if (u8UpgradeFileName == nullptr) {
        UP_LOG(LOG_LEVEL_ERROR, "Null pointer!");
        return ZR_ERR_PARAMS;
    }
    const char* name = reinterpret_cast<const char*>(u8UpgradeFileName);
    std::string data;
    try {
        if (!plat::ReadFile(name, data)) {
            UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] can't open!", name);
            return ZR_ERR_FILE_CAN_NOT_READE;
        }
    } catch (const std::bad_alloc&) {
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade file [%s] malloc failed!", name);
        return ZR_ERR_MALLOC_FALIURE;
    }
    // Lines of the envelope: [pos, end) with end just behind the '\n'.
    size_t pos = 0;
    auto nextLine = [&](size_t maxLen, std::string& line) {
        if (pos >= data.size())
            return false;
        size_t nl = data.find('\n', pos);
        size_t end = nl == std::string::npos ? data.size() : nl + 1;
        if (end - pos > maxLen)
            end = pos + maxLen;
        line.assign(data, pos, end - pos);
        pos = end;
        return true;
    };
    std::string first, line;
    if (!nextLine(200, first) || first.back() != '\n') {
        UP_LOG(LOG_LEVEL_ERROR, "Upgrade first can't read!");
        return ZR_ERR_UPGRADE_CHECK_NET_HEADER;
    }
    UP_LOG(LOG_LEVEL_INFO, "Upgrade original first line: [%s]!", first.c_str());
    std::string boundary = first.substr(0, first.size() >= 2 ? first.size() - 2 : 0);
    bool header = false;
    while (nextLine(SIZE_MAX, line)) {
        if (line.find("filename=") != std::string::npos) {
            UP_LOG(LOG_LEVEL_INFO, "Find header:%s", line.c_str());
            header = true;
            break;
        }
    }
    bool space = false;
    while (header && nextLine(SIZE_MAX, line)) {
        if (line == "\r\n" || line == "\n") {
            UP_LOG(LOG_LEVEL_INFO, "Find space: [%s]", line.c_str());
            space = true;
            break;
        }
    }
    if (!header || !space || boundary.empty()) {
        UP_LOG(LOG_LEVEL_ERROR, "Cant't find valid header!");
        return ZR_ERR_UPGRADE_CHECK_NET_HEADER;
    }
    size_t start = pos;
    size_t tail = data.find(boundary, start);  // never reads past the buffer
    UP_LOG(LOG_LEVEL_INFO, "Position : Cur %d  Total:%d  line_len:%d", (int)start, (int)data.size(),
           (int)boundary.size());
    if (tail == std::string::npos) {
        UP_LOG(LOG_LEVEL_ERROR, "===>Can't find tail line!");
        return ZR_ERR_UPGRADE_CHECK_NET_HEADER;
    }
    size_t len = tail - start >= 2 ? tail - start - 2 : 0;
    UP_LOG(LOG_LEVEL_INFO, "===>Find tail line, valid len:%d!", (int)len);
    if (!plat::WriteFileAtomic(name, data.data() + start, len, false)) {
        UP_LOG(LOG_LEVEL_ERROR, "===>Can't re-open file:%s\n!", name);
        return ZR_ERR_FILE_CAN_NOT_READE;
    }
    return ZR_SUCCESS;
}
