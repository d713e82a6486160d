// PHY register patches: the list for the identified chip is read from the
// JSON patch file shipped with the application and written over MDIO.
#include "Driver/PHY/phy.h"
#include "Log/log.h"
#include "Platform/platform.h"
#include <cjson/cJSON.h>
#include <cstring>

namespace {

const char* ChipName(PhyChipType_t t)
{
    switch (t) {
    case Phy88E1510: return "88E1510";
    case Phy88E1111: return "88E1111";
    case PhyYT8521: return "YT8521";
    default: return nullptr;
    }
}

// Exactly four hexadecimal digits; a missing or malformed member counts as 0.
int Hex4(const cJSON* item)
{
    if (!cJSON_IsString(item) || item->valuestring == nullptr || strlen(item->valuestring) != 4)
        return 0;
    int v = 0;
    for (const char* c = item->valuestring; *c; c++) {
        int d = (*c >= '0' && *c <= '9') ? *c - '0'
              : (*c >= 'a' && *c <= 'f') ? *c - 'a' + 10
              : (*c >= 'A' && *c <= 'F') ? *c - 'A' + 10
                                         : -1;
        if (d < 0)
            return 0;
        v = v * 16 + d;
    }
    return v;
}

// A number in 0..31 (a missing member or one that is no number counts as
// 0); -1 for a number that does not fit the MDIO frame.
int Reg5(const cJSON* item)
{
    if (!cJSON_IsNumber(item))
        return 0;
    if (item->valuedouble < 0 || item->valuedouble > 31)
        return -1;
    return item->valueint;
}

// Fills the patch list from the chip's array. A missing or malformed member
// leaves its field 0 and the entry stays (a page select often leaves out its
// mask); only an address that does not fit an MDIO frame skips the entry, so
// that it never reaches another field's bits or another register.
void LoadList(_PhyParams_st* p, const cJSON* arr)
{
    const cJSON* e = nullptr;
    cJSON_ArrayForEach(e, arr)
    {
        if (p->phyListNum >= PHY_LIST_MAX)
            break;
        int phyAddr = Reg5(cJSON_GetObjectItemCaseSensitive(e, "phyAddr"));
        int addr = Reg5(cJSON_GetObjectItemCaseSensitive(e, "addr"));
        int mask = Hex4(cJSON_GetObjectItemCaseSensitive(e, "mask"));
        int value = Hex4(cJSON_GetObjectItemCaseSensitive(e, "value"));
        if (phyAddr < 0 || addr < 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_INIT, "%ld:%s:%d phy patch entry skipped: bad phyAddr or addr\n",
                       LOG_POS);
            continue;
        }
        p->stPhyList[p->phyListNum++] = {phyAddr, addr, mask, value};
    }
}

}  // namespace

BOOL Phy_ParamsInit(_PhyParams_st* pstPhyParams)
{
    if (pstPhyParams == nullptr || pstPhyParams->chipType == UnKnow)
        return 0;
    if (pstPhyParams->phyConfigFile == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_INIT, "%ld:%s:%d phyConfigFile is not init! pstPhyParams = %p\n",
                   LOG_POS, (void*)pstPhyParams);
        return 0;
    }
    const char* file = pstPhyParams->phyConfigFile;
    if (!plat::Exists(file)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_INIT, "%ld:%s:%d file: %s is not exist\n", LOG_POS, file);
        return 0;
    }
    std::string text;
    if (!plat::ReadFile(file, text, 1 << 20)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_INIT, "%ld:%s:%d open file: %s failed\n", LOG_POS, file);
        return 0;
    }
    cJSON* root = cJSON_ParseWithLength(text.data(), text.size());
    if (root == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_INIT, "%ld:%s:%d root parse failed\n\n", LOG_POS);
        return 0;
    }
    pstPhyParams->phyListNum = 0;
    memset(pstPhyParams->stPhyList, 0, sizeof(pstPhyParams->stPhyList));
    const cJSON* cfg = cJSON_GetObjectItemCaseSensitive(root, "PhyConfig");
    if (!cJSON_IsObject(cfg))
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_INIT, "%ld:%s:%d PhyConfig parse failed\n", LOG_POS);
    else
        LoadList(pstPhyParams, cJSON_GetObjectItemCaseSensitive(cfg, ChipName(pstPhyParams->chipType)));
    cJSON_Delete(root);

    log_printf(LOG_LEVEL_INFO, LOG_MODULE_INIT, "%ld:%s:%d phyListNum = %d\n", LOG_POS, pstPhyParams->phyListNum);
    const int pageReg = pstPhyParams->chipType == PhyYT8521 ? 30 : 22;
    U16 page = 0;
    for (U32 i = 0; i < pstPhyParams->phyListNum; i++) {
        const _PhyList_st& e = pstPhyParams->stPhyList[i];
        if (e.addr == pageReg) {
            page = (U16)e.value;
            continue;
        }
        XEmacPs_PhyWrite(pstPhyParams, (U32)e.phyAddr, (U32)pageReg, page);
        U16 old = 0;
        Phy_Read(pstPhyParams, (U32)e.phyAddr, (U32)e.addr, &old);
        U16 val = (U16)((old & e.mask) | e.value);
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_INIT,
                   "%ld:%s:%d neet to write Reg_addr = %d IndirectRegSetValue = 0x%x mask = 0x%x value = 0x%x PhyValue = 0x%x\n",
                   LOG_POS, e.addr, page, e.mask, e.value, val);
        XEmacPs_PhyWrite(pstPhyParams, (U32)e.phyAddr, (U32)e.addr, val);
        U16 back = 0;
        Phy_Read(pstPhyParams, (U32)e.phyAddr, (U32)e.addr, &back);
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_INIT, "%ld:%s:%d Readback reg_addr = %d PhyValue = 0x%x\n", LOG_POS,
                   e.addr, back);
    }
    return 1;
}
