#include "Common/err.h"
#include "Log/log.h"

zrLanguage g_enLanguage = EN_LANGUAGE_CN;

// Searched in stored order; the first row with a code wins, the last row
// ends every search.
static const ST_PE_ERR g_stErrArray[] = {
    {ZR_SUCCESS, "Success!", "成功!"},
    {ZR_ERR_FAILURE, "Failure!", "失败!"},
    {ZR_ERR_CONFIG_TIMEOUOT, "Configure timeout!", "配置超时!"},
    {ZR_ERR_VER, "Version error!", "版本错误!"},
    {ZR_ERR_PARAMS, "Parameter error!", "参数错误!"},
    {ZR_ERR_CRC, "CRC error!", "CRC校验错误!"},
    {ZR_ERR_FILE_NOT_EXISTING, "File doesn't exist!", "文件不存在!"},
    {ZR_ERR_FILE_CAN_NOT_READE, "File doesn't read!", "文件不可读!"},
    {ZR_ERR_MALLOC_FALIURE, "Insufficient memory!", "内存不足!"},
    {ZR_ERR_UPGRADE_CHECK_HEADER, "Check upgrade file header failed", "升级文件头校验失败"},
    {ZR_ERR_UPGRADE_CHECK_NET_HEADER, "Check network synchronization failed", "网络同步校验失败"},
    {ZR_ERR_NO_DNS, "No DNS information", "没有DNS信息"},
    {ZR_ERR_NO_NETCARD_INFO, "No NetWork Card information", "没有网卡信息"},
    {ZR_ERR_PARAMS_BY_MODIFY, "Parameter has been modified", "参数已被修改"},
    {ZR_ERR_REALTIME_STREAM_BANORMAL, "Real-time stream abnormal", "实时流异常"},
    {ZR_ERR_PARAMS_MIGRATION, "Data structure does not match", "数据结构不匹配"},
    {ZR_ERR_HARDWAREVER, "Hardware version  does not match", "硬件版本不匹配"},
    {ZR_ERR_TEMPERATURE, "Device temperature is too high", "设备温度过高"},
    {ZR_ERR_TAR_UPGRADE_FILE_ERROR, "Unzip upgrade file failed", "解压升级文件失败"},
    {ZR_ERR_NOT_SAVED,
     "The change is in force but was not saved (the configuration store cannot be written): a restart would lose it",
     "修改已生效但未保存(配置存储无法写入):重启后将丢失"},
    {ZR_ERR_USER_TOKEN_ERR, "Please Login", "请登录"},
    {ZR_ERR_USER_TOKEN_TIMEOUT, "Login status has expired. Please login again", "登录状态已过期,请重新登录"},
    {ZR_ERR_WEB_SUBBOADR_LOADING,
     "Please wait for the module to load completely or reconfigure the network parameter after unplugging the module",
     "请等待模块加载完成,或拔出模块后再配置网络参数"},
    {ZR_ERR_ENCODER_CONFIGTIMEOUT, "Encoder config timeout!", "编码器配置超时!"},
    {ZR_ERR_ENCODER_PARAMETERS_ERR, "Encoder parameters error!", "编码器参数错误!"},
    {ZR_ERR_ENCODER_FIRMWARE_ERR, "Encoder firmware error!", "编码器固件错误!"},
    {ZR_ERR_ENCODER_NOT_LOCK_SIGNAL, "Encoder doesn't lock signal!", "编码器未锁定信号!"},
    {ZR_ERR_WEB_NOTEXIST, "Doesn't exit", "不存在"},
    {ZR_ERR_WEB_POST_PARAM, "Web sent wrong parameters!", "网页发送的参数错误!"},
    {ZR_ERR_WEB_BAD_PARAM, "Get wrong parameters from server-side!", "从服务端获取的参数错误!"},
    {ZR_ERR_WEB_MALLOC, "Open memory failed!", "申请内存失败!"},
    {ZR_ERR_WEB_GETPE, "Get PE parameters failed!", "获取PE参数失败!"},
    {ZR_ERR_WEB_SETPE, "Set PE parameters failed!", "设置PE参数失败!"},
    {ZR_ERR_WEB_USER_AUTH, "User authentication failed!", "用户认证失败!"},
    {ZR_ERR_WEB_GET_PLAYER_ERR, "Get player failed!", "获取播放器失败!"},
    {ZR_ERR_WEB_GET_PROGRAM_ERR, "Get program list failed!", "获取节目列表失败!"},
    {ZR_ERR_WEB_TARFAIL, "Pack failed!", "打包失败!"},
    {ZR_ERR_WEB_DIRCREATFAIL, "Create folder failed!", "创建文件夹失败!"},
    {ZR_ERR_WEB_SUBBOADR_LOADING, "Module is being loaded!Doesn't configure the network parameter",
     "模块正在加载!请勿配置网络参数"},
    {ZR_ERR_WEB_CONFIG_CHANGED,
     "The output streams changed since this page was loaded; nothing was changed. Reload the page and make the "
     "edits again",
     "页面加载后输出流已改变,未做任何更改。请刷新页面后重新编辑"},
    {ZR_ERR_WEB_FREQUENCY_DERIVED,
     "This channel's frequency follows its chip's first channel (channel 0 or 4) at the channel spacing: set that "
     "channel's frequency",
     "该通道频率由本芯片首通道(通道0或4)按通道间隔推出:请设置首通道频率"},
    {ZR_ERR_WEB_SET_FREQUENCY_ERROR,
     "The difference between the Min_Frequency and the Max_Frequency , can not be greater than 72M",
     "最小频率与最大频率之差不能大于72M"},
    {ZR_ERR_USER_LEN_ERROR, "Username or password, length error", "用户名或密码长度错误"},
    {ZR_ERR_USER_EXIST, "Please Login", "请登录"},
    {ZR_ERR_USER_NOT_EXIST, "User does not exist", "用户不存在"},
    {ZR_ERR_USER_FULL, "Users reach to the maximum number", "用户数已达上限"},
    {ZR_ERR_USER_OPEN_FILE_ERROR, "File open failed!", "文件打开失败!"},
    {ZR_ERR_USER_PWD_ERR, "Password error", "密码错误"},
    {ZR_ERR_USER_TOKEN_ERR, "Please Login", "请登录"},
    {ZR_ERR_COMM_PTHREAD_CREAT, "Thread creation failed", "线程创建失败"},
    {ZR_ERR_COMM_UART_RECV_MISS, "Serial port receive data loss", "串口接收数据丢失"},
    {ZR_ERR_COMM_UART_RECV_HEADER, "Serial port receive data header error", "串口接收数据头错误"},
    {ZR_ERR_COMM_UART_RECV_SLOT, "Serial port receive data slot error", "串口接收数据槽位错误"},
    {ZR_ERR_COMM_IP_RECV_MISS, "Receive data loss via IP", "IP接收数据丢失"},
    {ZR_ERR_COMM_IP_TEMP_FULL, "Temporary data is full on IP", "IP临时数据已满"},
    {ZR_ERR_COMM_COMBINEPACK, "Output board's ip temp data combinepack error", "输出板IP临时数据组包错误"},
    {ZR_ERR_PIN_PTHREAD_CREAT, "Thread creation failed", "线程创建失败"},
    {ZR_ERR_SOCKET_OPEN_FAIL, "IP communication socket open failed!", "IP通信套接字打开失败!"},
    {ZR_ERR_SOCKET_CONNECT_FAIL, "IP communication socket connect failed!", "IP通信套接字连接失败!"},
    {ZR_ERR_IPCOMM_TIME_OUT, "IP communication connect time out!", "IP通信连接超时!"},
    {ZR_ERR_SOCKET_SEND_FAIL, "IP communication send failed!", "IP通信发送失败!"},
    {(zrErrCode)0x30017, "PID Conflict!", "PID冲突!"},
    {(zrErrCode)0x30024, "ServiceID Conflict!", "业务ID冲突!"},
    {ZR_ERR_TSP_CONSTRUCT_OUTPUT_TS_ERROR, "Output board construct outputTS error!", "输出板构建输出流错误!"},
    {ZR_ERR_UPGRADE_TO_LOW_VERSION, "The version is not available ", "该版本不可用 "},
    {ZR_ERR_SIP_ERROR_BAD_PARAM, "Parameter input error", "参数输入错误"},
    {ZR_ERR_SIP_ERROR_OUT_OF_RANGE, "Array out of range", "数组越界"},
    {ZR_ERR_SIP_SUB_TABLEID_ALREADY_EXIST, "SI Subtable ID already exists", "SI子表ID已存在"},
    {ZR_ERR_SIP_NIT_ALREADY_EXIST, "NIT already exists", "NIT已存在"},
    {ZR_ERR_SIP_NIT_NO_EXIST, "NIT does not exist", "NIT不存在"},
    {ZR_ERR_END, "", ""},
};

int err_SetLanguage(zrLanguage enLanguage)
{
    if ((int)enLanguage < 0 || enLanguage >= EN_LANGUAGE_MAX)
        return -1;
    g_enLanguage = enLanguage;
    return 0;
}

const char* err_GetErrCodeString(zrErrCode enErrCode)
{
    zrLanguage lang = g_enLanguage;
    if ((int)lang < 0 || lang >= EN_LANGUAGE_MAX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d [%s]%d: Can't support this lanuage [%d]!\r\n\n",
                   LOG_POS, __FILE__, __LINE__, (int)lang);
        return nullptr;
    }
    const size_t rows = sizeof(g_stErrArray) / sizeof(g_stErrArray[0]);
    for (size_t i = 0; i < rows && i < 1024; i++) {
        const ST_PE_ERR& row = g_stErrArray[i];
        if (row.enErrCode == enErrCode || row.enErrCode == ZR_ERR_END)
            return lang == EN_LANGUAGE_CN ? row.u8ErrChineseString : row.u8ErrEnglishString;
    }
    return "";
}
