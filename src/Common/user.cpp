// The users file: at most ten enabled accounts, loaded before every
// operation and rewritten whole (crash-safely) after every change.
#include "Common/user.h"
#include "Log/log.h"
#include "Platform/platform.h"
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

ST_USER_INFO g_stUserArr[USER_MAX_NUM];
U32 g_u32UserNum = 0;

namespace {

#define USER_LOG(level, fmt, ...) \
    log_printf(level, LOG_MODULE_WEB, "%ld:%s:%d [%s]%d: " fmt, LOG_POS, __func__, __LINE__, ##__VA_ARGS__)

// 2 to 20 characters, none of which could break the file's line format.
bool FieldOk(const U8* s)
{
    if (s == nullptr)
        return false;
    size_t n = strnlen(reinterpret_cast<const char*>(s), USER_NAME_LEN);
    if (n < 2 || n > 20)
        return false;
    for (size_t i = 0; i < n; i++) {
        U8 c = s[i];
        if (c == ':' || c <= ' ' || c == 0x7F)
            return false;
    }
    return true;
}

bool PairOk(const U8* name, const U8* pass)
{
    if (FieldOk(name) && FieldOk(pass))
        return true;
    USER_LOG(LOG_LEVEL_ERROR, "User Name or passwd len error!\n\n");
    return false;
}

void CopyField(U8* dst, const U8* src)
{
    memset(dst, 0, USER_NAME_LEN);
    memcpy(dst, src, strnlen(reinterpret_cast<const char*>(src), USER_NAME_LEN - 1));
}

zrErrCode SaveOrLog()
{
    zrErrCode rc = user_SaveUser();
    if (rc != ZR_SUCCESS)
        USER_LOG(LOG_LEVEL_ERROR, "Save user file error!\n\n");
    return rc;
}

}  // namespace

zrErrCode user_LoadUser(void)
{
    memset(g_stUserArr, 0, sizeof(g_stUserArr));
    g_u32UserNum = 0;
    FILE* f = plat::Fopen(USER_FILE, "r");
    if (f == nullptr) {
        USER_LOG(LOG_LEVEL_ERROR, "Open user file error!\n\n");
        return ZR_ERR_USER_OPEN_FILE_ERROR;
    }
    char line[200];
    while (g_u32UserNum < USER_MAX_NUM && fgets(line, sizeof(line), f) != nullptr) {
        // Name up to the colon, password up to white space; fields longer
        // than 20 characters are cut so that they fit their records.
        char* colon = strchr(line, ':');
        if (colon == nullptr || colon == line)
            break;
        char name[USER_NAME_LEN] = {0};
        char pass[USER_NAME_LEN] = {0};
        memcpy(name, line, std::min<size_t>((size_t)(colon - line), USER_NAME_LEN - 1));
        size_t plen = strcspn(colon + 1, " \t\r\n");
        if (plen == 0)
            break;
        memcpy(pass, colon + 1, std::min<size_t>(plen, USER_NAME_LEN - 1));
        ST_USER_INFO& u = g_stUserArr[g_u32UserNum++];
        CopyField(u.u8UserName, reinterpret_cast<U8*>(name));
        CopyField(u.u8UserPasswd, reinterpret_cast<U8*>(pass));
        u.isEnable = 1;
        USER_LOG(LOG_LEVEL_INFO, "Name = %s Passwd = %s!\n\n", name, "******");
    }
    fclose(f);
    return ZR_SUCCESS;
}

zrErrCode user_SaveUser(void)
{
    std::string text;
    for (U32 i = 0; i < g_u32UserNum && i < USER_MAX_NUM; i++) {
        const ST_USER_INFO& u = g_stUserArr[i];
        if (!u.isEnable)
            continue;
        text += reinterpret_cast<const char*>(u.u8UserName);
        USER_LOG(LOG_LEVEL_INFO, "Line = %s:******\n\n", reinterpret_cast<const char*>(u.u8UserName));
        text += ':';
        text += reinterpret_cast<const char*>(u.u8UserPasswd);
        text += '\n';
    }
    if (!plat::WriteFileAtomic(USER_FILE, text.data(), text.size()))
        return ZR_ERR_USER_OPEN_FILE_ERROR;
    return ZR_SUCCESS;
}

S32 user_FindUser(const U8* pu8UserName)
{
    if (pu8UserName == nullptr)
        return -1;
    for (U32 i = 0; i < g_u32UserNum && i < USER_MAX_NUM; i++)
        if (strcmp(reinterpret_cast<const char*>(g_stUserArr[i].u8UserName),
                   reinterpret_cast<const char*>(pu8UserName)) == 0)
            return (S32)i;
    return -1;
}

namespace {

// Loads the file, checks the pair where asked, and finds the user that must
// already exist.
zrErrCode LoadAndFind(const U8* pu8UserName, const U8* pu8PassWord, bool bCheckPair, S32* pi)
{
    zrErrCode rc = user_LoadUser();
    if (rc != ZR_SUCCESS)
        return rc;
    if (bCheckPair && !PairOk(pu8UserName, pu8PassWord))
        return ZR_ERR_USER_LEN_ERROR;
    *pi = user_FindUser(pu8UserName);
    if (*pi < 0) {
        USER_LOG(LOG_LEVEL_ERROR, "User not exist!\n\n");
        return ZR_ERR_USER_NOT_EXIST;
    }
    return ZR_SUCCESS;
}

}  // namespace

zrErrCode user_AddUser(const U8* pu8UserName, const U8* pu8PassWord)
{
    zrErrCode rc = user_LoadUser();
    if (rc != ZR_SUCCESS)
        return rc;
    if (!PairOk(pu8UserName, pu8PassWord))
        return ZR_ERR_USER_LEN_ERROR;
    if (g_u32UserNum >= USER_MAX_NUM) {
        USER_LOG(LOG_LEVEL_ERROR, "User is full!\n\n");
        return ZR_ERR_USER_FULL;
    }
    if (user_FindUser(pu8UserName) >= 0) {
        USER_LOG(LOG_LEVEL_ERROR, "User exist!\n\n");
        return ZR_ERR_USER_EXIST;
    }
    ST_USER_INFO& u = g_stUserArr[g_u32UserNum++];
    CopyField(u.u8UserName, pu8UserName);
    CopyField(u.u8UserPasswd, pu8PassWord);
    u.isEnable = 1;
    return SaveOrLog();
}

zrErrCode user_DelUser(const U8* pu8UserName)
{
    S32 i = -1;
    zrErrCode rc = LoadAndFind(pu8UserName, nullptr, false, &i);
    if (rc != ZR_SUCCESS)
        return rc;
    g_stUserArr[i].isEnable = 0;
    return SaveOrLog();
}

zrErrCode user_ModifyUser(const U8* pu8UserName, const U8* pu8PassWord)
{
    S32 i = -1;
    zrErrCode rc = LoadAndFind(pu8UserName, pu8PassWord, true, &i);
    if (rc != ZR_SUCCESS)
        return rc;
    CopyField(g_stUserArr[i].u8UserPasswd, pu8PassWord);
    return SaveOrLog();
}

zrErrCode user_CheckUser(const U8* pu8UserName, const U8* pu8PassWord)
{
    S32 i = -1;
    zrErrCode rc = LoadAndFind(pu8UserName, pu8PassWord, true, &i);
    if (rc != ZR_SUCCESS)
        return rc;
    if (strcmp(reinterpret_cast<const char*>(g_stUserArr[i].u8UserPasswd),
               reinterpret_cast<const char*>(pu8PassWord)) != 0)
        return ZR_ERR_USER_PWD_ERR;
    return ZR_SUCCESS;
}

zrErrCode user_ShowUser(ST_USER_INFO* pStUserArry, U32 u32MaxNum, U32* pU32UserNum)
{
    zrErrCode rc = user_LoadUser();
    if (rc != ZR_SUCCESS)
        return rc;
    if (pStUserArry == nullptr || pU32UserNum == nullptr) {
        USER_LOG(LOG_LEVEL_ERROR, "NULL Pointer!\n\n");
        return ZR_ERR_PARAMS;
    }
    if (g_u32UserNum > u32MaxNum) {
        USER_LOG(LOG_LEVEL_ERROR, "Params error!\n\n");
        return ZR_ERR_PARAMS;
    }
    // Never more entries than the caller said its array holds.
    memcpy(pStUserArry, g_stUserArr, sizeof(ST_USER_INFO) * (u32MaxNum < USER_MAX_NUM ? u32MaxNum : USER_MAX_NUM));
    *pU32UserNum = g_u32UserNum;
    return user_SaveUser();
}
