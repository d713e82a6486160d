// Result codes of all operations, with their English and Chinese texts.
#pragma once
#include "Common/types.h"

// A 32-bit code: values that no enumerator names (peer codes such as 0x30017)
// are valid codes too, so the type is fixed.
typedef enum : S32 {
    ZR_SUCCESS = 0,
    ZR_ERR_FAILURE = 1,
    ZR_ERR_CONFIG_TIMEOUOT = 2,
    ZR_ERR_VER = 3,
    ZR_ERR_PARAMS = 4,
    ZR_ERR_CRC = 5,
    ZR_ERR_FILE_NOT_EXISTING = 6,
    ZR_ERR_FILE_CAN_NOT_READE = 7,
    ZR_ERR_MALLOC_FALIURE = 8,
    ZR_ERR_UPGRADE_CHECK_HEADER = 9,
    ZR_ERR_UPGRADE_CHECK_NET_HEADER = 10,
    ZR_ERR_NO_DNS = 11,
    ZR_ERR_NO_NETCARD_INFO = 12,
    ZR_ERR_PARAMS_BY_MODIFY = 13,
    ZR_ERR_REALTIME_STREAM_BANORMAL = 14,
    ZR_ERR_PARAMS_MIGRATION = 15,
    ZR_ERR_HARDWAREVER = 16,
    ZR_ERR_TEMPERATURE = 17,
    ZR_ERR_TAR_UPGRADE_FILE_ERROR = 18,
    // The change is in force but its file could not be written.
    ZR_ERR_NOT_SAVED = 19,

    ZR_ERR_ENCODER_CONFIGTIMEOUT = 514,
    ZR_ERR_ENCODER_PARAMETERS_ERR = 515,
    ZR_ERR_ENCODER_FIRMWARE_ERR = 516,
    ZR_ERR_ENCODER_NOT_LOCK_SIGNAL = 517,

    ZR_ERR_WEB_NOTEXIST = 770,
    ZR_ERR_WEB_MALLOC = 771,
    ZR_ERR_WEB_GETPE = 772,
    ZR_ERR_WEB_SETPE = 773,
    ZR_ERR_WEB_POST_PARAM = 774,
    ZR_ERR_WEB_BAD_PARAM = 775,
    ZR_ERR_WEB_USER_AUTH = 776,
    ZR_ERR_WEB_GET_PLAYER_ERR = 777,
    ZR_ERR_WEB_GET_PROGRAM_ERR = 778,
    ZR_ERR_WEB_TARFAIL = 779,
    ZR_ERR_WEB_DIRCREATFAIL = 780,
    ZR_ERR_WEB_SUBBOADR_LOADING = 781,
    ZR_ERR_WEB_REBOOT_FAIL = 782,
    ZR_ERR_WEB_CONFIG_CHANGED = 783, // the page was shown another state: nothing changed, edit again
    ZR_ERR_WEB_FREQUENCY_DERIVED = 784, // a channel whose frequency its chip derives from its first channel
    ZR_ERR_WEB_SET_FREQUENCY_ERROR = 831,

    ZR_ERR_USER_LEN_ERROR = 1026,
    ZR_ERR_USER_EXIST = 1027,
    ZR_ERR_USER_NOT_EXIST = 1028,
    ZR_ERR_USER_FULL = 1029,
    ZR_ERR_USER_OPEN_FILE_ERROR = 1030,
    ZR_ERR_USER_PWD_ERR = 1031,
    ZR_ERR_USER_TOKEN_ERR = 1032,
    ZR_ERR_USER_TOKEN_TIMEOUT = 1033,
    ZR_ERR_USER_WAS_LOGIN = 1034,

    ZR_ERR_COMM_PTHREAD_CREAT = 1282,
    ZR_ERR_COMM_UART_RECV_MISS = 1283,
    ZR_ERR_COMM_UART_RECV_HEADER = 1284,
    ZR_ERR_COMM_UART_RECV_SLOT = 1285,
    ZR_ERR_COMM_IP_RECV_MISS = 1286,
    ZR_ERR_COMM_IP_TEMP_FULL = 1287,
    ZR_ERR_COMM_COMBINEPACK = 1288,

    ZR_ERR_PIN_PTHREAD_CREAT = 1537,
    ZR_ERR_SOCKET_OPEN_FAIL = 1538,
    ZR_ERR_SOCKET_CONNECT_FAIL = 1539,
    ZR_ERR_IPCOMM_TIME_OUT = 1540,
    ZR_ERR_SOCKET_SEND_FAIL = 1541,

    ZR_ERR_TSP_TS_ERROR = 2054,
    ZR_ERR_TSP_CONSTRUCT_OUTPUT_TS_ERROR = 2067,

    ZR_ERR_SIP_ERROR_BAD_PARAM = 2306,
    ZR_ERR_SIP_ERROR_OUT_OF_RANGE = 2307,
    ZR_ERR_SIP_SUB_TABLEID_ALREADY_EXIST = 2308,
    ZR_ERR_SIP_NIT_ALREADY_EXIST = 2309,
    ZR_ERR_SIP_NIT_NO_EXIST = 2310,

    ZR_ERR_FTP_DOWNLOAD_FILE_FAIL = 2565,
    ZR_ERR_SEND_UPGRADE_FILE_TO_SUBMODULE_FAIL = 2566,
    ZR_ERR_FTP_UPGRADE_TIME_OUT = 2567,
    ZR_ERR_UPGRADE_TO_LOW_VERSION = 2568,
    ZR_ERR_UPGRADE_WITHOUT_TMP_VERSION = 2569,

    ZR_ERR_END = -1
} zrErrCode;

// Fixed width: a language number from a request may be anything.
typedef enum : S32 {
    EN_LANGUAGE_CN = 0,
    EN_LANGUAGE_EN = 1,
    EN_LANGUAGE_ES = 2,
    EN_LANGUAGE_FR = 3,
    EN_LANGUAGE_IT = 4,
    EN_LANGUAGE_GER = 5,
    EN_LANGUAGE_MAX = 6
} zrLanguage;

typedef struct {
    zrErrCode enErrCode;
    char u8ErrEnglishString[150];
    char u8ErrChineseString[150];
} ST_PE_ERR;

extern zrLanguage g_enLanguage;

int err_SetLanguage(zrLanguage enLanguage);
const char* err_GetErrCodeString(zrErrCode enErrCode);
