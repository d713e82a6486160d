// Accounts of the web management interface, kept in "/tarvex_data/auth.user"
// as lines of name, colon and password.
#pragma once
#include "Common/err.h"
#include "Common/types.h"

#define USER_MAX_NUM 10
#define USER_NAME_LEN 21
#define USER_FILE "/tarvex_data/auth.user"

typedef struct {
    U8 u8UserName[USER_NAME_LEN];
    U8 u8UserPasswd[USER_NAME_LEN];
    BOOL isEnable;
} ST_USER_INFO;

extern ST_USER_INFO g_stUserArr[USER_MAX_NUM];
extern U32 g_u32UserNum;

zrErrCode user_LoadUser(void);
zrErrCode user_SaveUser(void);
S32 user_FindUser(const U8* pu8UserName);
zrErrCode user_AddUser(const U8* pu8UserName, const U8* pu8PassWord);
zrErrCode user_DelUser(const U8* pu8UserName);
zrErrCode user_ModifyUser(const U8* pu8UserName, const U8* pu8PassWord);
zrErrCode user_CheckUser(const U8* pu8UserName, const U8* pu8PassWord);
zrErrCode user_ShowUser(ST_USER_INFO* pStUserArry, U32 u32MaxNum, U32* pU32UserNum);
