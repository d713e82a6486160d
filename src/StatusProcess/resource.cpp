// Slot resource table: the records of the 16 slots and the back board, this
// card's own record, and the chassis-wide settings the back board carries.
#include "StatusProcess/resource.h"
#include "Comm/ipcomm.h"
#include "Comm/maccomm.h"
#include "Comm/uartcomm.h"
#include "Common/thread.h"
#include "CommonModules/System/system.h"
#include "DTMB/dtmb.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/GPIO/pin.h"
#include "Log/log.h"
#include "MNG/bmn.h"
#include "Parameter/parameters.h"
#include "Parameter/recoverdata.h"
#include "Platform/platform.h"
#include "SIprocess/SIsend.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp.h"
#include "Web/web.h"
#include <atomic>
#include <cJSON.h>
#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

static TResource_TS s_stResource[MAX_SLOT_NUM];
U8 u8EitSlot = RESOURCE_NO_SLOT;
U8 g_u8SendResourceOk = 0;
U32 g_isFirstInitBackboard = 0;
U8 MAC_SI_MODE = 0;
U8* pu8BoardName_DTMB = nullptr;

namespace {

const char* const kUpgradeVersionFile = "/tarvex_data/upgradeVersion.json";
const char* const kUpgradeFile = "/tarvex_app/app/upgrade.json";
const char* const kUpgrade4gFile = "/tarvex_app/app/upgrade_4g.jason";

// Board descriptors by mode: hardware version 0 / non-zero, 4 / 8 channels.
struct Descriptors {
    const char* v0ch4;
    const char* v0ch8;
    const char* vNch4;
    const char* vNch8;
};
const Descriptors kDescOFDM = {"QV-OFDM-01", "QV-OFDM-01A", "QV-OFDM-R01", "QV-OFDM-R01A"};
const Descriptors kDescQAMA = {"QV-QAMA-01", "QV-QAMA-01A", "QV-QAMA-R01", "QV-QAMA-R01A"};
const Descriptors kDescQAMB = {"QV-QAMB-01", "QV-QAMB-01A", "QV-QAMB-R01", "QV-QAMB-R01A"};
const Descriptors kDescISDBT = {"QV-ISDBT-01", "QV-ISDBT-01A", "QV-ISDBT-R01", "QV-ISDBT-R01A"};
const Descriptors kDesc8VSB = {"QV-8VSB-01", "QV-8VSB-01A", "QV-8VSB-R01", "QV-8VSB-R01A"};
const Descriptors kDescDTMB = {"QV-DTMB-01", "QV-DTMB-01A", "QV-DTMB-R01", "QV-DTMB-R01A"};

// J.83 Annex B channel plans (kHz) by u32ATSCChannelMode 1, 2, 3.
const U32 kAnnexBPlan[3][8] = {
    {57000, 63000, 69000, 79000, 177000, 183000, 189000, 195000},
    {57000, 63000, 69000, 79250, 177000, 183000, 189000, 195000},
    {55750, 61750, 67750, 78000, 175750, 181750, 187750, 193750},
};
// Frequencies that pass the J.83 Annex B check on any card (kHz).
const U32 kAnnexBFallback[8] = {474000, 482000, 490000, 498000, 578000, 586000, 594000, 602000};

const char* ChooseDescriptor(U32 mode, U32 hwVersion, U32 channels)
{
    const Descriptors* d;
    switch (mode) {
    case 1: d = &kDescOFDM; break;
    case 3: d = &kDescQAMA; break;
    case 4: d = &kDescQAMB; break;
    case 5: d = &kDescISDBT; break;
    case 6: d = &kDesc8VSB; break;
    default: d = &kDescDTMB; break;
    }
    bool four = channels == 4;
    if (hwVersion == 0)
        return four ? d->v0ch4 : d->v0ch8;
    return four ? d->vNch4 : d->vNch8;
}

U32 TimeWord(const TResource_TS& r)
{
    return (U32)r.u8NTPZone | ((U32)r.u8DayLightFlag << 8) | ((U32)r.u16GPSOffset << 16);
}

// Reads Big/Mid/Min from one version file into Big << 16 | Mid << 8 | Min.
BOOL ReadVersionFile(const char* path, const char* emptyText, U32* out)
{
    if (out == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Error: param = NULL\n", LOG_POS);
        return FALSE;
    }
    FILE* f = plat::Fopen(path, "r");
    if (f == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d open file: %s failed\n", LOG_POS, path);
        return FALSE;
    }
    char text[1025];
    size_t n = fread(text, 1, 1024, f);
    bool readError = ferror(f) != 0;
    fclose(f);
    if (readError) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d read error\n", LOG_POS);
        return FALSE;
    }
    if (n == 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d %s\n", LOG_POS, emptyText);
        return FALSE;
    }
    text[n] = '\0';
    cJSON* root = cJSON_Parse(text);
    const char* keys[3] = {"BigVerNum", "MidVerNum", "MinVerNum"};
    int v[3] = {0, 0, 0};
    bool ok = root != nullptr;
    for (int i = 0; ok && i < 3; i++) {
        cJSON* item = cJSON_GetObjectItem(root, keys[i]);
        if (item == nullptr || !cJSON_IsNumber(item)) {
            ok = false;
            break;
        }
        v[i] = item->valueint;
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d %s = %d\n", LOG_POS, keys[i], v[i]);
    }
    if (root != nullptr)
        cJSON_Delete(root);
    if (!ok) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Error: param = NULL\n", LOG_POS);
        return FALSE;
    }
    // Each part keeps to its own byte so that one cannot spill into another.
    *out = (((U32)v[0] & 0xFFFF) << 16) | (((U32)v[1] & 0xFF) << 8) | ((U32)v[2] & 0xFF);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d SoftVersion = 0x%x\n", LOG_POS, *out);
    return TRUE;
}

// Per output channel: 1 when its output stream is a bypass stream.
void FillOutputChannelStatus(TResource_TS* self, U32 channels);

}  // namespace

U32 Resource_Init(void)
{
    U32 logicVersion = 0;
    FPGA_GetLOGVerSion(&logicVersion);
    U32 hwVersion = PIN_GetHWVersion();
    if (hwVersion != 0) {
        if (!plat::WriteFileAtomic(kUpgrade4gFile, "", 0, true)) {
            int err = errno;
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Open upgrade_4g files error: %s(errno: %d)\n",
                       LOG_POS, strerror(err), err);
        }
        // Queued: the chip link's worker sends it once it runs, and again to a
        // slave that missed it.
        U32 hw = hwVersion;
        SSD_PostSubMessage(ZR_COM_MAC_CMD_RES_HARDVERSION, reinterpret_cast<U8*>(&hw), sizeof(hw));
    }

    U8 slot = Status_GetSlotID();
    if (slot >= MAX_SLOT_NUM) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d SlotID out of range!\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    U32 softVersion = GetRealSoftVersion();
    U32 softBuildVersion = GetRealSoftBuildVersion();
    U32 mode = PARAMS_GetModulationMod();
    U32 channels = BMN_GetOutputChannelNum();

    CARD_STATE_LOCK();
    TResource_TS* self = &s_stResource[slot];
    self->u8SlotID = slot;
    self->u8BoardFunctionType = 3;
    self->u8BoardType = RESOURCE_BOARD_TYPE_SELF;
    self->u32SoftVersion = softVersion;
    self->u32SoftBuildVersion = softBuildVersion;
    self->u32LogicVersion = logicVersion;
    self->u32HardVersion = hwVersion;
    self->u8PortNum = 1;
    self->u16OutputChannelNum = (U16)channels;
    self->u8Standard = (U8)mode;

    FillOutputChannelStatus(self, channels);

    const char* desc = ChooseDescriptor(mode, hwVersion, channels);
    memset(self->u8BoardDescriptor, 0, sizeof(self->u8BoardDescriptor));
    memcpy(self->u8BoardDescriptor, desc, strnlen(desc, sizeof(self->u8BoardDescriptor)));
    pu8BoardName_DTMB = self->u8BoardDescriptor;

    self->u32UpgradeTime = 210;
    self->u8RebootEnable = 1;
    self->u8MuxPIDEnable = 1;
    self->u8FTPUpgrade = 2;
    self->u8isProxy = 1;
    self->u8isDelChannelProg = 1;
    self->u8EitEnable = (mode == 4 || mode == 6) ? 0 : 1;
    return ZR_SUCCESS;
}

namespace {

void FillOutputChannelStatus(TResource_TS* self, U32 channels)
{
    memset(self->u8OutputChannelStatus, 0, 8);
    const Output_TSInfo* db = TSP_GetTSParam();
    if (db == nullptr || db->pOutputTS == nullptr)
        return;
    U32 n = channels < sizeof(self->u8OutputChannelStatus) ? channels : sizeof(self->u8OutputChannelStatus);
    for (U32 c = 0; c < n; c++) {
        U16 index = 0xFFFF;
        if (TSP_GetOutputTSIndexByTS((U16)c, &index) != 0 || index >= db->u32OutputTSNumber)
            continue;
        const Output_TSStream& ts = db->pOutputTS[index];
        if (ts.u8ValidFlag == 1 && ts.u8BypassFlag == 1)
            self->u8OutputChannelStatus[c] = 1;
    }
}

}  // namespace

void Resource_SetSlotResource(U32 u32slot, U8* u8Data)
{
    if (u8Data == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Input Para Error...\n", LOG_POS);
        return;
    }
    TResource_TS rec;
    memcpy(&rec, u8Data, sizeof(rec));
    if (rec.u8SlotID >= MAX_SLOT_NUM)
        return;

    U32 oldTimeWord;
    {
        CARD_STATE_LOCK();
        oldTimeWord = TimeWord(s_stResource[SLOT_BB]);
        s_stResource[rec.u8SlotID] = rec;
    }
    if (u32slot != SLOT_BB)
        return;

    if (rec.u8SlotID == SLOT_BB) {
        // Time data changed: the clock and the slave's ATSC time tables
        // follow the back board.
        if (TimeWord(rec) != oldTimeWord) {
            UartComm_GetTime();
            Resource_PostSlaveTimeInfo();
        }

        if (PARAMS_GetModulationMod() == 4 && rec.u8Standard != MAC_SI_MODE) {
            TParameter_DTMB* live = GetDTMBPara_Handle();
            {
                CARD_STATE_LOCK();
                if (rec.u8Standard == 0) {
                    // DVB-style SI: each chip's channels 6 MHz apart from its first.
                    for (int k = 1; k < 4; k++) {
                        live->OutputFreq[k] = live->OutputFreq[0] + 6000u * (U32)k;
                        live->OutputFreq[4 + k] = live->OutputFreq[4] + 6000u * (U32)k;
                    }
                    MAC_SI_MODE = 0;
                } else if (rec.u8Standard == 1) {
                    U32 plan = live->u32ATSCChannelMode;
                    if (g_u8SendResourceOk == 1 && plan >= 1 && plan <= 3)
                        memcpy(live->OutputFreq, kAnnexBPlan[plan - 1], sizeof(live->OutputFreq));
                    MAC_SI_MODE = 1;
                }
            }
            // Queued, as the frame server must not wait for the slave chip.
            U8 siMode = MAC_SI_MODE;
            SSD_PostSubMessage(ZR_COM_MAC_CMD_MOD_SI, &siMode, 1);
            TSP_MuxProcess();
            {
                CARD_STATE_LOCK();
                if (web_Check_QAMB_Frequency(live) != ZR_SUCCESS)
                    memcpy(live->OutputFreq, kAnnexBFallback, sizeof(live->OutputFreq));
            }
            // The back board gets no answer: a save that fails logs itself,
            // and the plan in force goes to oid.json whatever the record did.
            zrErrCode rc = SetDTMB_CurPara(live);
            if (rc != ZR_SUCCESS && rc != ZR_ERR_NOT_SAVED)
                log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d SetDTMB_CurPara error!\n", LOG_POS);
            else
                DATA_Save();
        }

        g_u8SendResourceOk = 1;
        TResource_TS bb;
        {
            CARD_STATE_LOCK();
            bb = s_stResource[SLOT_BB];
        }
        Resource_SetOutputVlanTagId(&bb);
        Resource_SetConnectService(&bb);
        g_isFirstInitBackboard = 1;
    }

    Resource_SetErrorCodeLanguage();
    U8 eit = Resource_GetEITBoardSlot();
    if (eit != u8EitSlot) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d slot[%d] is EIT board.\n", LOG_POS, eit);
        u8EitSlot = eit;
        IPComm_SendEITInfo();
        TSP_MuxProcess();
    } else if (eit == RESOURCE_NO_SLOT) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d EIT board is not exist...\n", LOG_POS);
    }
}

void Resource_Refresh(void)
{
    CARD_STATE_LOCK();
    for (U32 slot = SLOT0; slot <= SLOT15; slot++) {
        if (Status_CheckSubBoardPlugExist((SLOT_ID)slot))
            continue;
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d ======================\n", LOG_POS);
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d Refresh slot%d resource!\n", LOG_POS, (int)slot);
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d ======================\n", LOG_POS);
        memset(&s_stResource[slot], 0, sizeof(TResource_TS));
    }
}

TResource_TS* Resource_GetHandle(U8 u8Slot)
{
    if (u8Slot >= MAX_SLOT_NUM)
        return nullptr;
    return &s_stResource[u8Slot];
}

TResource_TS* Resource_getSelfHandle(void)
{
    return Resource_GetHandle(Status_GetSlotID());
}

void Resource_SetSelfMac(U8* u8MacAddr)
{
    TResource_TS* self = Resource_getSelfHandle();
    if (u8MacAddr == nullptr || self == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Input Para Error...\n", LOG_POS);
        return;
    }
    CARD_STATE_LOCK();
    memcpy(self->u8MACAddress, u8MacAddr, sizeof(self->u8MACAddress));
}

void Resource_SetSelfIpAddr(U32 u32IpAddr)
{
    TResource_TS* self = Resource_getSelfHandle();
    if (self == nullptr)
        return;
    CARD_STATE_LOCK();
    self->u32IPAddress = u32IpAddr;
}

void Resource_SetBackBoardIpAddr(U32 u32IpAddr)
{
    CARD_STATE_LOCK();
    s_stResource[SLOT_BB].u32IPAddress = u32IpAddr;
}

namespace {

// One field of a slot's record, read under the card-state lock.
template <class T>
U32 SlotField(U8 u8Slot, T TResource_TS::*field)
{
    if (u8Slot >= MAX_SLOT_NUM)
        return ZR_ERR_PARAMS;
    CARD_STATE_LOCK();
    return s_stResource[u8Slot].*field;
}

// One byte-array field of a slot's record, copied out whole under the lock.
template <size_t N>
U32 CopySlotField(U8 u8Slot, U8 (TResource_TS::*field)[N], U8* out)
{
    if (u8Slot >= MAX_SLOT_NUM || out == nullptr)
        return ZR_ERR_PARAMS;
    CARD_STATE_LOCK();
    memcpy(out, s_stResource[u8Slot].*field, N);
    return ZR_SUCCESS;
}

}  // namespace

U32 Resource_getBoardIPAddress(U8 u8Slot)
{
    return SlotField(u8Slot, &TResource_TS::u32IPAddress);
}

U32 Resource_getBoardDescriptor(U8 u8Slot, U8* u8Discroption)
{
    return CopySlotField(u8Slot, &TResource_TS::u8BoardDescriptor, u8Discroption);
}

U32 Resource_getBoardType(U8 u8Slot)
{
    return SlotField(u8Slot, &TResource_TS::u8BoardType);
}

U32 Resource_getMACAddress(U8 u8Slot, U8* u8MacAddr)
{
    return CopySlotField(u8Slot, &TResource_TS::u8OldMACAddress, u8MacAddr);
}

U32 Resource_getBoardPortNum(U8 u8Slot)
{
    return SlotField(u8Slot, &TResource_TS::u8PortNum);
}

U32 Resource_getInputChannelNum(U8 u8Slot)
{
    return SlotField(u8Slot, &TResource_TS::u16InputChannelNum);
}

U32 Resource_getOutputChannelNum(U8 u8Slot)
{
    return SlotField(u8Slot, &TResource_TS::u16OutputChannelNum);
}

U32 Resource_getOutputChannelStatus(U8 u8Slot, U8 u8channel)
{
    if (u8Slot >= MAX_SLOT_NUM)
        return ZR_ERR_PARAMS;
    CARD_STATE_LOCK();
    return s_stResource[u8Slot].u8OutputChannelStatus[u8channel];
}

// Queued for the peer sender and read under the card-state lock, so that of
// two changes the slave gets the later one last.
void Resource_PostSlaveTimeInfo(void)
{
    CARD_STATE_LOCK();
    U32 now = 0;
    Status_GetLinuxTime(&now);
    U32 msg[2] = {TimeWord(s_stResource[SLOT_BB]), now};
    SSD_PostSubMessage(ZR_COM_MAC_CMD_ATSC_TIME_INFO, reinterpret_cast<U8*>(msg), sizeof(msg));
}

U8 Resource_GetSIMode(void)
{
    U32 mode = PARAMS_GetModulationMod();
    if (mode == 4) {
        CARD_STATE_LOCK();
        return s_stResource[SLOT_BB].u8Standard;
    }
    return mode == 6 ? 1 : 0;
}

void Resource_SetErrorCodeLanguage(void)
{
    U8 lang;
    {
        CARD_STATE_LOCK();
        lang = s_stResource[SLOT_BB].u8Language;
    }
    err_SetLanguage((zrLanguage)lang);
}

U8 Resource_GetEITBoardSlot(void)
{
    CARD_STATE_LOCK();
    for (U8 slot = 0; slot < MAX_SLOT_NUM; slot++) {
        if (s_stResource[slot].u8BoardType == RESOURCE_BOARD_TYPE_EIT && s_stResource[slot].u8EitEnable != 0)
            return slot;
    }
    return RESOURCE_NO_SLOT;
}

U8 Resource_IsAllBoardSupportDelChannelProg(void)
{
    U8 vrnType = (U8)ZRSYS_GetVrnType();
    U8 self = Status_GetSlotID();
    CARD_STATE_LOCK();
    for (U8 logical = 0; logical < MAX_SLOT_NUM; logical++) {
        U8 slot = Web_GetRealSlot(vrnType, logical);
        if (slot >= MAX_SLOT_NUM)
            continue;  // no such slot in this chassis
        if (slot != SLOT_BB && !Status_CheckSubBoardPlugExist((SLOT_ID)slot)) {
            log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_PARAM, "%ld:%s:%d Board[%d] not plug in\n", LOG_POS, slot);
            continue;
        }
        if (slot == self) {
            log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_PARAM, "%ld:%s:%d SelfBoard[%d] do not check\n", LOG_POS, slot);
            continue;
        }
        U8 type = s_stResource[slot].u8BoardType;
        if (type == RESOURCE_BOARD_TYPE_OTHER || type == RESOURCE_BOARD_TYPE_EIT) {
            log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_PARAM,
                       "%ld:%s:%d Board[%d] is not input or output type, do not check\n", LOG_POS, slot);
            continue;
        }
        log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_PARAM, "%ld:%s:%d s_stResource[%d].u8isDelChannelProg = %d\n", LOG_POS,
                   slot, s_stResource[slot].u8isDelChannelProg);
        if (s_stResource[slot].u8isDelChannelProg == 0)
            return 0;
    }
    return 1;
}

// The pause that lets the SSH service start or stop; tests shorten it.
static std::atomic<int> s_servicePauseMs{1000};
void Resource_TestSetServicePauseMs(int ms) { s_servicePauseMs = ms; }

void Resource_SetConnectService(TResource_TS* pstResource)
{
    if (pstResource == nullptr)
        return;
    if (pstResource->u8DisableSSH != 0) {
        plat::System("/etc/init.d/dropbear stop");
        usleep((useconds_t)s_servicePauseMs * 1000);
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d BB set to close SSH Server!\n", LOG_POS);
    } else {
        plat::System("/etc/init.d/dropbear start");
        usleep((useconds_t)s_servicePauseMs * 1000);
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d BB set to open SSH Server!\n", LOG_POS);
    }
}

void Resource_SetOutputVlanTagId(TResource_TS* pstResource)
{
    if (pstResource == nullptr)
        return;
    FPGA_REG_Write(352, pstResource->u8VlanEnable == 1 ? 31 : 0);
    FPGA_REG_Write(359, 0x81000001);
    FPGA_REG_Write(360, 0x81000001);
    FPGA_REG_Write(361, 0x81000002);
}

BOOL Resource_GetSoftVersion(U32* pu32SoftVersion)
{
    if (!plat::Exists(kUpgradeVersionFile)) {
        // The copy replaces the file whole, like every other stored file.
        std::string text;
        if (plat::ReadFile(kUpgradeFile, text, 1 << 20))
            plat::WriteFileAtomic(kUpgradeVersionFile, text.data(), text.size(), true);
    }
    return ReadVersionFile(kUpgradeVersionFile, "Error: The upgradeVersion.json is empty", pu32SoftVersion);
}

BOOL Resource_GetSoftBuildVersion(U32* pu32SoftBuildVersion)
{
    return ReadVersionFile(kUpgradeFile, "Error: The upgrade.json is empty", pu32SoftBuildVersion);
}

U32 GetRealSoftVersion(void)
{
    U32 v = 0;
    return Resource_GetSoftVersion(&v) ? v : RESOURCE_SOFT_VERSION_FALLBACK;
}

U32 GetRealSoftBuildVersion(void)
{
    U32 v = 0;
    return Resource_GetSoftBuildVersion(&v) ? v : RESOURCE_SOFT_VERSION_FALLBACK;
}

U32 Resource_UpdateDesc(U8* pu8OldName, U8* pu8NewName)
{
    constexpr size_t kLen = sizeof(((TResource_TS*)nullptr)->u8BoardDescriptor);
    if (pu8OldName == nullptr || pu8NewName == nullptr)
        return ZR_ERR_PARAMS;
    size_t len = strnlen(reinterpret_cast<const char*>(pu8OldName), kLen);
    const void* dash = memchr(pu8OldName, '-', len);
    size_t pos = dash ? (size_t)(static_cast<const U8*>(dash) - pu8OldName) : kLen;
    if (dash == nullptr || pos == 0 || pos >= 18) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "[Resource_UpdateDesc] Find - error, Update abort!\n");
        return ZR_ERR_FAILURE;
    }
    if (pu8OldName[pos - 1] == '2')
        return ZR_ERR_PARAMS;
    U8 out[kLen] = {0};
    memcpy(out, pu8OldName, pos);
    out[pos] = '2';
    memcpy(out + pos + 1, pu8OldName + pos, kLen - pos - 1);
    memcpy(pu8NewName, out, kLen);
    return ZR_SUCCESS;
}

void Resource_Print(U8 u8slot)
{
    if (u8slot >= MAX_SLOT_NUM)
        return;
    TResource_TS r;
    {
        CARD_STATE_LOCK();
        r = s_stResource[u8slot];
    }
    char desc[21] = {0};
    memcpy(desc, r.u8BoardDescriptor, 20);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM,
               "%ld:%s:%d slot[%d] type[0x%x] desc[%s] mac[%02x:%02x:%02x:%02x:%02x:%02x] ip[0x%x] soft[0x%x] "
               "logic[0x%x] hard[0x%x] out[%d] standard[%d]\n",
               LOG_POS, r.u8SlotID, r.u8BoardType, desc, r.u8MACAddress[0], r.u8MACAddress[1], r.u8MACAddress[2],
               r.u8MACAddress[3], r.u8MACAddress[4], r.u8MACAddress[5], r.u32IPAddress, r.u32SoftVersion,
               r.u32LogicVersion, r.u32HardVersion, r.u16OutputChannelNum, r.u8Standard);
}

U32 Resource_CheckSubBoardChangeSlot(TResource_TS* pstResource)
{
    if (pstResource == nullptr || pstResource->u8SlotID > SLOT15)
        return 0;
    static const U8 kZeroMac[6] = {0};
    if (memcmp(pstResource->u8MACAddress, kZeroMac, 6) == 0)
        return 0;
    for (U8 j = 0; j < MAX_SLOT_NUM; j++) {
        if (j == pstResource->u8SlotID)
            continue;
        bool moved;
        {
            CARD_STATE_LOCK();
            moved = memcmp(s_stResource[j].u8OldMACAddress, pstResource->u8MACAddress, 6) == 0;
        }
        if (!moved)
            continue;
        U32 rc = TSP_ChangeSrcSlotID(j, pstResource->u8SlotID);
        if (rc != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d TSP_ChangeSrcSlotID return error\n", LOG_POS);
            return rc;
        }
    }
    return 0;
}
