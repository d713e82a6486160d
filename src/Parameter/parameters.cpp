// The parameter record: save, start-up check, load, apply into the live sets
// and the factory records of both chips.
#include "Parameter/parameters.h"
#include "Common/commonfun.h"
#include "Log/log.h"
#include "Parameter/recoverdata.h"
#include "Platform/platform.h"
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

ST_ZR_PARAMS g_stCurPE;
ST_VERSION_INFO g_stVersionInfo;
sem_t g_stParametersSem;

namespace {

std::once_flag s_semOnce;
int s_semInitResult = -1;
int s_semInitErrno = 0;

// The semaphore must exist before the first save whoever comes first: the
// start-up or a module that saves before it (tests, tools).
bool EnsureParametersSem()
{
    std::call_once(s_semOnce, [] {
        s_semInitResult = sem_init(&g_stParametersSem, 0, 1);
        s_semInitErrno = errno;
    });
    return s_semInitResult == 0;
}

constexpr size_t kIPMonitorCrcOffset = offsetof(ST_ZR_PARAMS, st_IPMonitorParams);
constexpr size_t kIPMonitorCrcLen = offsetof(ST_ZR_IPMONITOR, u32StructCRC);  // 68
constexpr size_t kDTMBCrcOffset = offsetof(ST_ZR_PARAMS, st_DTMBParams);
constexpr size_t kDTMBCrcLen = offsetof(ST_ZR_DTMB, u32StructCRC);  // 768
constexpr size_t kRecordCrcLen = offsetof(ST_ZR_PARAMS, u32StructCRC);  // 860
static_assert(kIPMonitorCrcLen == 68 && kDTMBCrcLen == 768 && kRecordCrcLen == 860);

U32 Crc(const void* p, size_t len)
{
    return Common_CRC_Calculate(static_cast<const U8*>(p), (U32)len, PARAMS_CRC_INIT);
}

void DeleteConfigFile(const char* name)
{
    if (::unlink(plat::Path(name).c_str()) != 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Delete file [%s] failed!\n\n", LOG_POS, name);
}

// Reads a whole file; false when it cannot be read completely.
enum class ReadResult { Ok, CantRead, NoMemory };
ReadResult ReadAll(int fd, size_t size, std::vector<U8>& buf)
{
    try {
        buf.resize(size);
    } catch (const std::bad_alloc&) {
        return ReadResult::NoMemory;
    }
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, buf.data() + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return ReadResult::CantRead;
        got += (size_t)n;
    }
    return ReadResult::Ok;
}

}  // namespace

ST_ZR_PARAMS* PARAMS_GetCurParamsHandler(void)
{
    return &g_stCurPE;
}

zrErrCode PARAMS_GetDTMBParams(ST_ZR_DTMB* pstDTMBParams)
{
    if (pstDTMBParams == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Input Param is NULL\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    memcpy(pstDTMBParams, &g_stCurPE.st_DTMBParams, sizeof(ST_ZR_DTMB));
    return ZR_SUCCESS;
}

zrErrCode PARAMS_GetIPMonitorParams(ST_ZR_IPMONITOR* pstIPMParams)
{
    if (pstIPMParams == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Input Param is NULL\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    memcpy(pstIPMParams, &g_stCurPE.st_IPMonitorParams, sizeof(ST_ZR_IPMONITOR));
    return ZR_SUCCESS;
}

void PARAMS_VerCmpFlag(ST_VERSION_INFO* pstVerInfo)
{
    if (pstVerInfo != nullptr)
        memcpy(pstVerInfo, &g_stVersionInfo, sizeof(ST_VERSION_INFO));
}

zrErrCode PARAMS_InitParametersSem(void)
{
    if (!EnsureParametersSem()) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Parameters bus 's sem init error: %s(errno: %d)\n\n",
                   LOG_POS, strerror(s_semInitErrno), s_semInitErrno);
        return ZR_ERR_FAILURE;
    }
    return ZR_SUCCESS;
}

void PARAMS_GetParametersSem(void)
{
    if (!EnsureParametersSem())
        return;
    while (sem_wait(&g_stParametersSem) != 0 && errno == EINTR) {
    }
}

void PARAMS_FreeParametersSem(void)
{
    if (EnsureParametersSem())
        sem_post(&g_stParametersSem);
}

zrErrCode PARAMS_ParametersSave(ST_ZR_PARAMS* stModifiedParams)
{
    if (stModifiedParams == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Input Param is NULL\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    PARAMS_GetParametersSem();
    // The CRCs are computed over a copy and that copy is written: callers
    // change fields of the record without a lock, and a change landing
    // between the CRCs and the write would leave a file that fails its check.
    ST_ZR_PARAMS snap;
    memcpy(&snap, stModifiedParams, sizeof(snap));
    U8* base = reinterpret_cast<U8*>(&snap);
    // Inner blocks first: the record CRC covers theirs.
    snap.st_IPMonitorParams.u32StructCRC = Crc(base + kIPMonitorCrcOffset, kIPMonitorCrcLen);
    snap.st_DTMBParams.u32StructCRC = Crc(base + kDTMBCrcOffset, kDTMBCrcLen);
    snap.u32StructCRC = Crc(base, kRecordCrcLen);
    stModifiedParams->st_IPMonitorParams.u32StructCRC = snap.st_IPMonitorParams.u32StructCRC;
    stModifiedParams->st_DTMBParams.u32StructCRC = snap.st_DTMBParams.u32StructCRC;
    stModifiedParams->u32StructCRC = snap.u32StructCRC;
    // The file is replaced as a whole: a crash leaves the old or the new
    // record, never a torn one that would send the card to factory values.
    bool saved = plat::WriteFileAtomic(PARAMS_CONFIG_FILE, &snap, sizeof(snap), true);
    int err = errno;
    PARAMS_NoteSave(PARAMS_CONFIG_FILE, saved, err);
    // The JSON parameter file from the same record, whatever road saved it:
    // it is what restores the record when this file fails its check.
    if (DATA_SaveSet(&snap.st_DTMBParams.stDTMBParams, snap.st_IPMonitorParams.stIPMonitorParams.u16PSIInterval,
                     false) != ZR_SUCCESS)
        saved = false;
    PARAMS_FreeParametersSem();
    return saved ? ZR_SUCCESS : ZR_ERR_FAILURE;
}

zrErrCode PARAMS_SaveCurParam(void)
{
    return PARAMS_ParametersSave(&g_stCurPE);
}

zrErrCode PARAMS_SetDTMBParams(TParameter_DTMB pstDTMBParams)
{
    memcpy(&g_stCurPE.st_DTMBParams.stDTMBParams, &pstDTMBParams, sizeof(TParameter_DTMB));
    return PARAMS_ParametersSave(&g_stCurPE);
}

zrErrCode PARAMS_SetIPMonitorParams(QAM_IPMonitorPara* pstIPMParams)
{
    if (pstIPMParams == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Input Param is NULL\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    memcpy(&g_stCurPE.st_IPMonitorParams.stIPMonitorParams, pstIPMParams, sizeof(QAM_IPMonitorPara));
    return PARAMS_ParametersSave(&g_stCurPE);
}

zrErrCode PARAMS_VerifyConfigFiles(void)
{
    const char* name = PARAMS_CONFIG_FILE;
    if (!plat::Exists(name)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Config file [%s] is not exist!\n\n", LOG_POS, name);
        return ZR_ERR_FAILURE;
    }
    int fd = plat::Open(name, O_RDONLY | O_CLOEXEC);
    struct stat sb;
    if (fd < 0 || fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Can't open config file [%s]!\n\n", LOG_POS, name);
        DeleteConfigFile(name);
        return ZR_ERR_FAILURE;
    }
    size_t size = (size_t)sb.st_size;
    if (size < 12) {
        ::close(fd);
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d config file len %d too less[%s]!\n\n", LOG_POS,
                   (int)size, name);
        DeleteConfigFile(name);
        return ZR_ERR_FAILURE;
    }
    std::vector<U8> buf;
    ReadResult rr = ReadAll(fd, size, buf);
    ::close(fd);
    if (rr == ReadResult::NoMemory) {
        // Nothing could be checked: leave the file alone and let the caller
        // fall back to factory values for this run.
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d malloc memory error\n\n", LOG_POS);
        return ZR_ERR_FAILURE;
    }
    if (rr != ReadResult::Ok) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Can't open config file [%s]!\n\n", LOG_POS, name);
        DeleteConfigFile(name);
        return ZR_ERR_FAILURE;
    }
    zrErrCode rc = PARAMS_CheckRecord(buf.data(), size, name);
    if (rc != ZR_SUCCESS)
        DeleteConfigFile(name);
    return rc;
}

zrErrCode PARAMS_CheckRecord(const U8* pu8Buf, size_t size, const char* name)
{
    if (pu8Buf == nullptr || size < 12)
        return ZR_ERR_FAILURE;
    // The record CRC sits eight bytes before the end, whatever the size:
    // a record of another layout that is intact is a migration case.
    U32 computed = Crc(pu8Buf, size - 8);
    U32 stored;
    memcpy(&stored, pu8Buf + size - 8, sizeof(stored));
    if (computed != stored) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Config file [%s] CRC fail [0x%x] vs [0x%x]!\n\n",
                   LOG_POS, name, computed, stored);
        return ZR_ERR_FAILURE;
    }
    if (size != sizeof(ST_ZR_PARAMS)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Config file size [%d] vs [%d]!\n\n", LOG_POS,
                   (int)size, (int)sizeof(ST_ZR_PARAMS));
        return ZR_ERR_PARAMS_MIGRATION;
    }
    U32 version;
    memcpy(&version, pu8Buf + offsetof(ST_ZR_PARAMS, u32StructVersionIndex), sizeof(version));
    if (version != PARAMS_STRUCT_VERSION) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Config file version [%d] vs [%d]!\n\n", LOG_POS,
                   (int)PARAMS_STRUCT_VERSION, (int)version);
        return ZR_ERR_PARAMS_MIGRATION;
    }
    return ZR_SUCCESS;
}

zrErrCode PARAMS_Load(void)
{
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d Load config files !\n", LOG_POS);
    int fd = plat::Open(PARAMS_CONFIG_FILE, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Open config files failure!\n", LOG_POS);
        return ZR_ERR_FAILURE;
    }
    std::vector<U8> buf;
    ReadResult rr = ReadAll(fd, sizeof(ST_ZR_PARAMS), buf);
    ::close(fd);
    if (rr != ReadResult::Ok) {
        // The record in RAM stays as it was rather than half replaced.
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Read config files failure!\n", LOG_POS);
        return ZR_ERR_FAILURE;
    }
    memcpy(&g_stCurPE, buf.data(), sizeof(ST_ZR_PARAMS));
    return ZR_SUCCESS;
}

zrErrCode PARAMS_Update_DTMB(void)
{
    ST_ZR_IPMONITOR ipm;
    ST_ZR_DTMB dtmb;
    memcpy(&ipm, &g_stCurPE.st_IPMonitorParams, sizeof(ipm));
    memcpy(&dtmb, &g_stCurPE.st_DTMBParams, sizeof(dtmb));

    QAM_IPMonitorPara* pstIPMonitorParam = GetQAMIPMonitor_Handle();
    TParameter_DTMB* pstDTMBParam = GetDTMBPara_Handle();
    if (pstIPMonitorParam == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d pstIPMonitorParam is NULL\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    if (pstDTMBParam == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d pstDTMBParam is NULL\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }

    if (Crc(&ipm, kIPMonitorCrcLen) == ipm.u32StructCRC) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d IP Monitor CRC Check Sucess\n", LOG_POS);
    } else {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d IP Monitor CRC Check Error\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    if (Crc(&dtmb, kDTMBCrcLen) == dtmb.u32StructCRC) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d DTMB CRC Check Sucess\n", LOG_POS);
    } else {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d DTMB CRC Check Error\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }

    DTMB_CheckParaRange(&dtmb.stDTMBParams, "parameter file");
    if (PARAMS_GetModulationMod() == 4) {
        // J.83 Annex B runs at the fixed symbol rate of its constellation and
        // one channel spacing; the stored record is left as it is.
        TParameter_DTMB& s = dtmb.stDTMBParams;
        for (int ch = 0; ch < DTMB_CHANNEL_NUM; ch++) {
            if (s.AnnexBQAMMode[ch] == ANNEXB_QAM64)
                s.SymbolRate[ch] = 5057;
            else if (s.AnnexBQAMMode[ch] == ANNEXB_QAM256)
                s.SymbolRate[ch] = 5361;
            s.Bandwidth_Sel[ch] = _6M_BW;
        }
    }

    memcpy(pstIPMonitorParam, &ipm.stIPMonitorParams, sizeof(QAM_IPMonitorPara));
    memcpy(pstDTMBParam, &dtmb.stDTMBParams, sizeof(TParameter_DTMB));
    return ZR_SUCCESS;
}

namespace {

zrErrCode ParamsFactory(bool master, bool save)
{
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d Parameters factory!\r\n\n", LOG_POS);
    QAM_IPMonitorPara* pstIMPParam = GetQAMIPMonitor_Handle();
    TParameter_DTMB* pstDTMBParam = GetDTMBPara_Handle();
    if (pstIMPParam == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d pstIMPParam is NULL\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    if (pstDTMBParam == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d pstDTMBParam is NULL\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    Init_IPMonitor_Parmeter();
    if (master)
        Master_DTMB_Init_Parmeter();
    else
        Slave_DTMB_Init_Parmeter();

    memset(&g_stCurPE, 0, sizeof(g_stCurPE));
    g_stCurPE.u32StructStartTag = PARAMS_STRUCT_START_TAG;
    g_stCurPE.u32StructVersionIndex = PARAMS_STRUCT_VERSION;
    g_stCurPE.st_IPMonitorParams.u32StructStartTag = PARAMS_IPMONITOR_START_TAG;
    g_stCurPE.st_IPMonitorParams.u32StructEndTag = PARAMS_STRUCT_END_TAG;
    g_stCurPE.st_DTMBParams.u32StructStartTag = PARAMS_DTMB_START_TAG;
    g_stCurPE.st_DTMBParams.u32StructEndTag = PARAMS_STRUCT_END_TAG;
    g_stCurPE.u32StructEndTag = PARAMS_STRUCT_END_TAG;
    memcpy(&g_stCurPE.st_IPMonitorParams.stIPMonitorParams, pstIMPParam, sizeof(QAM_IPMonitorPara));
    memcpy(&g_stCurPE.st_DTMBParams.stDTMBParams, pstDTMBParam, sizeof(TParameter_DTMB));

    // Both saves are tried; a failure of either is the result (the factory
    // values are in force all the same).
    zrErrCode rc = ZR_SUCCESS;
    if (master) {
        LogSetting_ParamInit();
        if (LogSetting_StoreParam() != 0)
            rc = ZR_ERR_NOT_SAVED;
    }
    if (save && PARAMS_ParametersSave(&g_stCurPE) != ZR_SUCCESS)
        rc = ZR_ERR_NOT_SAVED;
    return rc;
}

}  // namespace

zrErrCode Master_PARAMS_Factory(void)
{
    return ParamsFactory(true, true);
}

zrErrCode Slave_PARAMS_Factory(void)
{
    return ParamsFactory(false, true);
}

zrErrCode PARAMS_FactoryUnsaved(bool bMaster)
{
    return ParamsFactory(bMaster, false);
}
