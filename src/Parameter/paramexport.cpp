// Export of the configuration to the back board, the checks of an imported
// one, and the raw backup of the two parameter files with its restore.
#include "Parameter/paramexport.h"
#include "Common/commonfun.h"
#include "Common/oid/oiddata.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Parameter/recoverdata.h"
#include "Platform/platform.h"
#include "Web/web.h"
#include <cJSON.h>
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

U8* pu8SavedConfig = nullptr;  // the export's payload between header and file
const size_t kBackupSize = sizeof(ST_BACKUPPARA);

U8 OwnBoardType(void)
{
    TResource_TS* self = Resource_getSelfHandle();
    return self == nullptr ? 0 : self->u8BoardType;
}

const char* ModeName(U32 mode)
{
    switch (mode) {
    case 0: return "DTMB";
    case 1: return "DVB-T";
    case 3: return "DVB-C";
    case 4: return "J.83 Annex B";
    case 5: return "ISDB-T";
    case 6: return "ATSC 8VSB";
    default: return "unknown standard";
    }
}

// The standards a modulation section's members name (by web type).
const char* FamilyName(int type)
{
    switch (type) {
    case 3: return "DVB-C";
    case 4: return "J.83 Annex B";
    case 5: return "ISDB-T";
    default: return "DTMB, DVB-T or ATSC 8VSB";
    }
}

// Fills a refusal and gives the function's result.
zrErrCode Refuse(PARAM_Refusal* why, zrErrCode result, zrErrCode code, const char* reason)
{
    if (why != nullptr) {
        why->enCode = code;
        snprintf(why->acReason, sizeof(why->acReason), "%s", reason);
    }
    return result;
}

bool FileSize(const char* name, U32* out)
{
    struct stat st;
    if (::stat(plat::Path(name).c_str(), &st) != 0 || st.st_size > 0x7FFFFFFF)
        return false;
    *out = (U32)st.st_size;
    return true;
}

void DeleteFile(const char* name, const char* what)
{
    if (::unlink(plat::Path(name).c_str()) != 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, what, LOG_POS, name);
}

// Packs one file of "/var/volatile/" into "%dconf.tar" and removes it.
zrErrCode PackFile(const char* pcFile, const char* pcSysPath, const U8* pu8Head, size_t headLen,
                   const U8* pu8Body, size_t bodyLen)
{
    std::string data(reinterpret_cast<const char*>(pu8Head), headLen);
    if (pu8Body != nullptr)
        data.append(reinterpret_cast<const char*>(pu8Body), bodyLen);
    if (!plat::WriteFileAtomic(pcSysPath, data.data(), data.size(), false)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d [PARAM_CompressBackUpPara] open file error\n",
                   LOG_POS);
        return ZR_ERR_FAILURE;
    }
    char tarName[32], cmd[128];
    snprintf(tarName, sizeof(tarName), "%dconf.tar", Status_GetSlotID());
    // An archive of an earlier export must not pass for this one.
    ::unlink(plat::Path(std::string(PARAM_EXPORT_DIR) + tarName).c_str());
    snprintf(cmd, sizeof(cmd), "tar -zcvf %s %s", tarName, pcFile);
    plat::System(cmd, PARAM_EXPORT_DIR);
    if (!plat::Exists(std::string(PARAM_EXPORT_DIR) + tarName)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d [PARAM_CompressBackUpPara] tar error\n", LOG_POS);
        return ZR_ERR_FAILURE;
    }
    snprintf(cmd, sizeof(cmd), "rm %s -f ", pcSysPath);
    plat::System(cmd);
    return ZR_SUCCESS;
}

// Replaces one parameter file with bytes of a backup; a file that cannot be
// written is deleted so that the next start falls back to factory values.
bool RestoreFile(const char* name, const U8* data, size_t len)
{
    if (plat::WriteFileAtomic(name, data, len, true))
        return true;
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Can't open config file [%s]\n\n", LOG_POS, name);
    if (plat::Exists(name))
        DeleteFile(name, "%ld:%s:%d Delete file %s failed!\n\n");
    return false;
}

// Copies one file into a backup area of len bytes.
zrErrCode BackUpFile(const char* name, U8* area, U32 areaLen, const char* tooLong)
{
    if (!plat::Exists(name)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Config file [%s] is not exist!\n\n", LOG_POS, name);
        return ZR_ERR_FAILURE;
    }
    std::string data;
    if (!plat::ReadFile(name, data, (size_t)areaLen + 1)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Can't open config file [%s]\n\n", LOG_POS, name);
        DeleteFile(name, "%ld:%s:%d Delete file %s failed!\n\n");
        return ZR_ERR_FAILURE;
    }
    if (data.size() > areaLen) {
        U32 size = 0;
        FileSize(name, &size);
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, tooLong, LOG_POS, size, areaLen);
        return ZR_ERR_FAILURE;
    }
    memcpy(area, data.data(), data.size());
    return ZR_SUCCESS;
}

}  // namespace

zrErrCode PARAM_InitConfigPara(ST_CONFIGPARA* pstConfigPara)
{
    if (pstConfigPara == nullptr)
        return ZR_ERR_PARAMS;
    memset(pstConfigPara, 0, sizeof(*pstConfigPara));
    memcpy(&pstConfigPara->u32StructStartTag, "ARAP", 4);
    pstConfigPara->u8BoardType = OwnBoardType();
    // The board type is the same on every card: the standard rides beside it.
    pstConfigPara->u8res[0] = (U8)(PARAMS_GetModulationMod() + 1);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d Export config file's BoardType is 0x%x\n\n", LOG_POS,
               pstConfigPara->u8BoardType);
    U32 sysLen = 0, tsLen = 0;
    if (!FileSize(TARVEX_OID_JSON_FILE, &sysLen)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Get TARVEX_OID_JSON_FILE len error:%x!\n\n", LOG_POS,
                   (unsigned)-1);
        return ZR_ERR_END;
    }
    if (!FileSize(TARVEX_OID_FILE, &tsLen)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Get TARVEX_OID_FILE len error:%x!\n\n", LOG_POS,
                   (unsigned)-1);
        return ZR_ERR_END;
    }
    pstConfigPara->u32SysParamsLen = sysLen;
    pstConfigPara->u32TsParamsLen = tsLen;
    pstConfigPara->u32TotalSize = sysLen + tsLen;
    free(pu8SavedConfig);
    pu8SavedConfig = static_cast<U8*>(calloc(1, (size_t)sysLen + tsLen + 1));
    if (pu8SavedConfig == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d malloc memory error\n\n", LOG_POS);
        return ZR_ERR_MALLOC_FALIURE;
    }
    if (PARAM_ReadFile(TARVEX_OID_JSON_FILE, pu8SavedConfig, sysLen) != ZR_SUCCESS ||
        PARAM_ReadFile(TARVEX_OID_FILE, pu8SavedConfig + sysLen, tsLen) != ZR_SUCCESS) {
        free(pu8SavedConfig);
        pu8SavedConfig = nullptr;
        return ZR_ERR_FILE_CAN_NOT_READE;
    }
    pstConfigPara->u32FileCRC = Common_CRCCalculate(pu8SavedConfig, pstConfigPara->u32TotalSize, PARAMS_CRC_INIT);
    memcpy(&pstConfigPara->u32StructEndTag, "DNET", 4);
    return ZR_SUCCESS;
}

zrErrCode PARAM_CompressConfigFile(ST_CONFIGPARA* pstConfigPara)
{
    if (pstConfigPara == nullptr || pu8SavedConfig == nullptr)
        return ZR_ERR_FAILURE;
    zrErrCode rc = PackFile("param_new.conf", PARAM_EXPORT_FILE, reinterpret_cast<const U8*>(pstConfigPara),
                            sizeof(*pstConfigPara), pu8SavedConfig, pstConfigPara->u32TotalSize);
    free(pu8SavedConfig);
    pu8SavedConfig = nullptr;
    return rc;
}

zrErrCode PARAM_CheckConfigData(const U8* pu8Data, size_t len, PARAM_Refusal* pstWhy)
{
    if (pu8Data == nullptr)
        return Refuse(pstWhy, ZR_ERR_FAILURE, ZR_ERR_PARAMS_MIGRATION, "no file");
    U8 own = OwnBoardType();
    if (len < 5 || pu8Data[4] != own) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d BoardType not same! [0x%x] vs [0x%x]\n\n", LOG_POS,
                   len >= 5 ? pu8Data[4] : 0, own);
        return Refuse(pstWhy, ZR_ERR_FAILURE, ZR_ERR_HARDWAREVER, "made by a card of another board type");
    }
    if (len < sizeof(ST_CONFIGPARA)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d config file len %d too less!\n\n", LOG_POS, (int)len);
        return Refuse(pstWhy, ZR_ERR_FAILURE, ZR_ERR_PARAMS_MIGRATION, "damaged: shorter than its header");
    }
    ST_CONFIGPARA head;
    memcpy(&head, pu8Data, sizeof(head));
    if (len != (U64)head.u32TotalSize + sizeof(head)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS,
                   "%ld:%s:%d file length error! current's length[%d] vs need's length[%d] \n\n", LOG_POS, (int)len,
                   (int)(head.u32TotalSize + sizeof(head)));
        return Refuse(pstWhy, ZR_ERR_FAILURE, ZR_ERR_PARAMS_MIGRATION, "damaged: its length is not the header's");
    }
    // The header is outside the CRC: its two lengths must cover the payload.
    if ((U64)head.u32SysParamsLen + head.u32TsParamsLen != head.u32TotalSize) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d part lengths %u + %u vs total %u\n\n", LOG_POS,
                   head.u32SysParamsLen, head.u32TsParamsLen, head.u32TotalSize);
        return Refuse(pstWhy, ZR_ERR_FAILURE, ZR_ERR_PARAMS_MIGRATION, "damaged: its part lengths are not its total");
    }
    U32 crc = Common_CRC_Calculate(pu8Data + sizeof(head), head.u32TotalSize, PARAMS_CRC_INIT);
    if (crc != head.u32FileCRC) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Config file param.conf CRC fail [0x%x] vs [0x%x]!\n\n",
                   LOG_POS, crc, head.u32FileCRC);
        return Refuse(pstWhy, ZR_ERR_FAILURE, ZR_ERR_CRC, "damaged: its CRC does not match");
    }
    return ZR_SUCCESS;
}

zrErrCode PARAM_CheckConfigFile(const char* pcFileName)
{
    if (pcFileName == nullptr)
        return ZR_ERR_FAILURE;
    std::string data;
    if (!plat::ReadFile(pcFileName, data))
        return ZR_ERR_FAILURE;
    if (PARAM_CheckConfigData(reinterpret_cast<const U8*>(data.data()), data.size()) != ZR_SUCCESS) {
        DeleteFile(pcFileName, "%ld:%s:%d Delete file [%s] failed!\n\n");
        return ZR_ERR_FAILURE;
    }
    return ZR_SUCCESS;
}

zrErrCode PARAM_CheckImport(const U8* pu8Data, size_t len, PARAM_Refusal* pstWhy)
{
    if (PARAM_CheckConfigData(pu8Data, len, pstWhy) != ZR_SUCCESS)
        return pstWhy ? pstWhy->enCode : ZR_ERR_PARAMS_MIGRATION;
    ST_CONFIGPARA head;
    memcpy(&head, pu8Data, sizeof(head));
    U32 mode = PARAMS_GetModulationMod();
    // An archive made here names its standard; one made before that is
    // known by the members its modulation section carries.
    if (head.u8res[0] != 0 && head.u8res[0] != mode + 1) {
        char text[96];
        snprintf(text, sizeof(text), "made by a %s card, this card is %s", ModeName(head.u8res[0] - 1u),
                 ModeName(mode));
        return Refuse(pstWhy, ZR_ERR_HARDWAREVER, ZR_ERR_HARDWAREVER, text);
    }
    cJSON* doc = cJSON_ParseWithLength(reinterpret_cast<const char*>(pu8Data) + sizeof(head), head.u32SysParamsLen);
    if (doc == nullptr)
        return Refuse(pstWhy, ZR_ERR_PARAMS_MIGRATION, ZR_ERR_PARAMS_MIGRATION, "its modulation section is not JSON");
    int own = Web_GetBoardType();
    own = own == 3 || own == 4 || own == 5 ? own : 0;
    int found = DATA_StandardOfDocument(doc);
    // DTMB, DVB-T and ATSC 8VSB write the same members: an archive that names
    // no standard is told by what they hold, where that tells it.
    const U32 modes = found == 0 && own == 0 && head.u8res[0] == 0 ? DATA_ModesOfDocument(doc) : 1u << mode;
    zrErrCode rc = ZR_SUCCESS;
    char text[192];
    if (found != own) {
        snprintf(text, sizeof(text), "its modulation section holds the settings of %s, this card is %s",
                 found < 0 ? "no standard" : FamilyName(found), ModeName(mode));
        rc = Refuse(pstWhy, ZR_ERR_HARDWAREVER, ZR_ERR_HARDWAREVER, text);
    } else if (modes != 1u << mode) {
        std::string names;
        for (U32 m : {0u, 1u, 6u})
            if (modes & 1u << m)
                names += std::string(names.empty() ? "" : " or ") + ModeName(m);
        if (modes == 0)
            snprintf(text, sizeof(text),
                     "made before archives named their standard, and its settings are those of DTMB and DVB-T at "
                     "once: which standard made it cannot be told");
        else if ((modes & 1u << mode) == 0)
            snprintf(text, sizeof(text), "its modulation section holds the settings of %s, this card is %s",
                     names.c_str(), ModeName(mode));
        else
            snprintf(text, sizeof(text),
                     "made before archives named their standard, and its settings fit %s alike: which standard made "
                     "it cannot be told",
                     names.c_str());
        const zrErrCode code = modes != 0 && (modes & 1u << mode) == 0 ? ZR_ERR_HARDWAREVER : ZR_ERR_PARAMS_MIGRATION;
        rc = Refuse(pstWhy, code, code, text);
    } else {
        // Every value as the web would check it, against the set in force.
        DATA_Restore restore;
        char why[160];
        rc = DATA_CheckDTMBParameter(doc, &restore, why, sizeof(why));
        if (rc != ZR_SUCCESS)
            Refuse(pstWhy, rc, rc, why);
    }
    cJSON_Delete(doc);
    return rc;
}

zrErrCode PARAM_ImportConfigFile(const char* pcFileName, PARAM_Refusal* pstWhy)
{
    std::string data;
    if (pcFileName == nullptr || !plat::ReadFile(pcFileName, data))
        return Refuse(pstWhy, ZR_ERR_FILE_NOT_EXISTING, ZR_ERR_FILE_NOT_EXISTING, "no file to import");
    zrErrCode rc = PARAM_CheckImport(reinterpret_cast<const U8*>(data.data()), data.size(), pstWhy);
    if (rc != ZR_SUCCESS) {
        DeleteFile(pcFileName, "%ld:%s:%d Delete file [%s] failed!\n\n");
        return rc;
    }
    ST_CONFIGPARA head;
    memcpy(&head, data.data(), sizeof(head));
    U8* payload = reinterpret_cast<U8*>(data.data()) + sizeof(head);
    cJSON* doc = cJSON_ParseWithLength(reinterpret_cast<const char*>(payload), head.u32SysParamsLen);
    if (doc == nullptr)
        return Refuse(pstWhy, ZR_ERR_PARAMS_MIGRATION, ZR_ERR_PARAMS_MIGRATION, "its modulation section is not JSON");
    // The imported values are in force, and the parameter file and the JSON
    // parameter file are written from them (as the card writes them, not as
    // the archive's text); then the OID dump. Whether all was saved is the
    // result; values refused now (the set in force changed since the check)
    // leave everything as it was.
    rc = DATA_Recovery_DTMBParameter(doc);
    cJSON_Delete(doc);
    if (rc != ZR_SUCCESS && rc != ZR_ERR_NOT_SAVED)
        return Refuse(pstWhy, rc, rc, "its modulation values are refused");
    if (PARAM_WriteFile(TARVEX_OID_FILE, payload + head.u32SysParamsLen, head.u32TsParamsLen) != ZR_SUCCESS)
        return Refuse(pstWhy, ZR_ERR_NOT_SAVED, ZR_ERR_NOT_SAVED, "its files could not be written");
    return rc;
}

zrErrCode PARAM_WriteParaFile(ST_BACKUPPARA* pstBackUpPara)
{
    if (pstBackUpPara == nullptr)
        return ZR_ERR_FAILURE;
    U32 tsLen;
    memcpy(&tsLen, pstBackUpPara->u8TsPara + 4, 4);
    if (tsLen > PARAM_TS_PARA_SIZE) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d TS config file lenth 0x%x out of para size 0x%x\n\n",
                   LOG_POS, tsLen, PARAM_TS_PARA_SIZE);
        return ZR_ERR_FAILURE;
    }
    // Both images pass the start-up checks before either file is replaced.
    U32 counts[5];
    if (PARAMS_TSPCheckImage(pstBackUpPara->u8TsPara, tsLen, counts) != ZR_SUCCESS ||
        PARAMS_CheckRecord(pstBackUpPara->u8SysPara, sizeof(ST_ZR_PARAMS), PARAMS_CONFIG_FILE) != ZR_SUCCESS) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d backup refused: config files kept\n\n", LOG_POS);
        return ZR_ERR_FAILURE;
    }
    if (!RestoreFile(PARAM_TSP_CONFIG_FILE, pstBackUpPara->u8TsPara, tsLen) ||
        !RestoreFile(PARAMS_CONFIG_FILE, pstBackUpPara->u8SysPara, sizeof(ST_ZR_PARAMS)))
        return ZR_ERR_FAILURE;
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d Write config file success!!!\n\n", LOG_POS);
    return ZR_SUCCESS;
}

zrErrCode PARAM_BackUpPara(ST_BACKUPPARA* pstBackUpPara)
{
    if (pstBackUpPara == nullptr)
        return ZR_ERR_FAILURE;
    if (BackUpFile(PARAM_TSP_CONFIG_FILE, pstBackUpPara->u8TsPara, PARAM_TS_PARA_SIZE,
                   "%ld:%s:%d TS config file lenth 0x%x out of para size 0x%x\n\n") != ZR_SUCCESS ||
        BackUpFile(PARAMS_CONFIG_FILE, pstBackUpPara->u8SysPara, PARAM_SYS_PARA_SIZE,
                   "%ld:%s:%d Sys config file lenth 0x%x out of para size 0x%x\n\n") != ZR_SUCCESS)
        return ZR_ERR_FAILURE;
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d Send config file success!!!\n\n", LOG_POS);
    return ZR_SUCCESS;
}

zrErrCode PARAM_CompressBackUpPara(ST_BACKUPPARA* pstBackUpPara)
{
    if (pstBackUpPara == nullptr)
        return ZR_ERR_FAILURE;
    return PackFile("param.conf", PARAM_BACKUP_FILE, reinterpret_cast<const U8*>(pstBackUpPara), kBackupSize,
                    nullptr, 0);
}
