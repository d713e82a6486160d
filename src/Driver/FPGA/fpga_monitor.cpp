// Status LED and bit-rate monitor threads: the red blinker of start-up, the
// master's LED control (channel health every 5 s, reported to the back board
// on change) and the per-channel bit-rate monitor that gates PSI insertion.
#include "Comm/ipcomm.h"
#include "Comm/maccomm.h"
#include "Common/thread.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/RF/rf.h"
#include "Log/log.h"
#include "MNG/bmn.h"
#include "Parameter/parameters.h"
#include "SIprocess/SIsend.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp_del.h"
#include "TSprocess/tsp_view.h"
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace {

BOOL s_LEDGreenfresh_flag = FALSE;

// The blinkers change the LED only while holding this lock and with their flag
// still set, so once FPGA_LEDfresh_Stop returns the red blinker never touches
// the LED again (it would put out the green the LED control just set).
// Never destroyed: a detached blinker may still wait on them at exit.
std::mutex& s_blinkMutex = *new std::mutex;
std::condition_variable& s_blinkStop = *new std::condition_variable;

template <class Flag>
void Blink(const Flag& flag, void (*light)())
{
    std::unique_lock<std::mutex> lk(s_blinkMutex);
    for (bool on = true; flag; on = !on) {
        if (on)
            light();
        else
            FPGA_LEDOut();
        s_blinkStop.wait_for(lk, std::chrono::seconds(1), [&] { return !flag; });
    }
}

void* FPGA_LEDRedfresh(void*)
{
    Blink(s_LEDfresh_flag, FPGA_LEDRedLight);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_HW, "%ld:%s:%d Web Star! Stop Red LED Fresh and Set LED Green \n", LOG_POS);
    return nullptr;
}

void* FPGA_LEDGreenfresh(void*)
{
    Blink(s_LEDGreenfresh_flag, FPGA_LEDGreenLight);
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d Stop LED Fresh\n", LOG_POS);
    return nullptr;
}

// Creates and detaches a thread; 0 or 1537, logged under the blinker's name.
zrErrCode StartBlinker(void* (*fn)(void*), const char* name)
{
    pthread_t th;
    int rc = Thread_Create(&th, nullptr, fn, nullptr);
    if (rc != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d %s thread create error :%s(errno: %d)\n", LOG_POS, name,
                   strerror(rc), rc);
        return ZR_ERR_PIN_PTHREAD_CREAT;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_HW, "%ld:%s:%d %s create successfully!\n", LOG_POS, name);
    rc = pthread_detach(th);
    if (rc != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d %s thread detach error :%s(errno: %d)\n", LOG_POS, name,
                   strerror(rc), rc);
        return ZR_ERR_PIN_PTHREAD_CREAT;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_HW, "%ld:%s:%d %s thread detach successfully!\n", LOG_POS, name);
    return ZR_SUCCESS;
}

// Turns the LED red (unless it is) and tells the back board once per change.
void SetAbnormal(LED_CtrlState* st, LED_STATUS led)
{
    if (led == LED_RED)
        return;
    FPGA_LEDOut();
    FPGA_LEDRedLight();
    st->u8Status = 2;
    LED_ReportStatus(st->u8Status);
}

void* LED_CtrlParamsRefresh(void*)
{
    FPGA_LEDfresh_Stop();
    LED_CtrlState st;
    for (;;) {
        LED_CtrlPass(&st);
        sleep(5);
    }
    return nullptr;
}

void* FPGA_CheckBitrateStatus(void*)
{
    for (;;) {
        FPGA_CheckBitrateOnce();
        sleep(2);
    }
    return nullptr;
}

} // namespace

void LED_ReportStatus(U8 u8Status)
{
    // Sent by the peer sender, which holds no lock while it talks to the back board.
    SSD_PostPeerMessage(TSP_SlotMessageKey(IPCOMM_SEND_INDSTATUS, 16), {u8Status}, [](std::vector<U8>& d) {
        IPComm_SendData2Slot(16, IPCOMM_SEND_INDSTATUS, d.data(), (U32)d.size());
    });
}

void LED_CtrlPass(LED_CtrlState* st)
{
    // The pass reads the live output-stream database, which an apply may
    // resize: under the card-state lock, like every other reader.
    CARD_STATE_LOCK();
    Output_TSInfo* db = TSP_GetTSParam();
    auto view = std::make_unique<Output_WebTSInfo>();
    U32 u32Normal = 0;
    const U8 u8Channels = BMN_GetOutputChannelNum();
    LED_STATUS led = st->emLed;
    for (U16 c = 0; c < u8Channels; c++) {
        U16 idx = TSP_INVALID_INDEX;
        if (TSP_GetOutputTSIndexByTS(c, &idx) != 0) {
            // Tried again next pass; the LED keeps its colour meanwhile.
            log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetOutputTSIndexByTS return error\r\n\n",
                       LOG_POS);
            return;
        }
        if (idx == TSP_INVALID_INDEX) {
            u32Normal++;
            continue;
        }
        memset(view.get(), 0, sizeof(*view));
        if (TSP_SendTSInfoToWeb(c, view.get(), db) != 0)
            log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_SendTSInfoToWeb return error\r\n\n",
                       LOG_POS);
        FPGA_GetLEDStatus(&led);
        if (view->u32TotalBitRate != 0 && view->u32EffectiveBitRate < 200) {
            SetAbnormal(st, led);
            led = LED_RED;
            log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d RF Output Channel[%d] has TotalBitRate but not EffectiveBitRate, Set Status LED "
                       "Red!!!\n",
                       LOG_POS, c);
            continue;
        }
        const BOOL over = (PARAMS_GetModulationMod() == 1 && c > 3) ? view->bOverFlowSlave : view->bOverFlow;
        if (over) {
            SetAbnormal(st, led);
            led = LED_RED;
            log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_TSPROCESS, "%ld:%s:%d RF Channel[%d] OverFlow, Set Status LED Red!!!\n",
                       LOG_POS, c);
            continue;
        }
        u32Normal++;
    }
    FPGA_GetLEDStatus(&led);
    if (Get_VersionInfo_ISSameFlg() == 0) {
        SetAbnormal(st, led);
        led = LED_RED;
        log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d Master and slave chip version is different, Set Status LED Red!! \n", LOG_POS);
    } else if (u32Normal == u8Channels) {
        if (led != LED_GREEN) {
            FPGA_LEDOut();
            FPGA_LEDGreenLight();
            led = LED_GREEN;
            st->u8Status = 1;
            LED_ReportStatus(st->u8Status);
        }
        log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input Channel normal\n", LOG_POS);
    }
    st->emLed = led;
}

void FPGA_CheckBitrateOnce(void)
{
    for (U16 c = 0; c < 8; c++) {
        U32 u32Lut = 0, u32Eff = 0;
        FPGA_GetChannelBitRate(c, &u32Lut, &u32Eff);
        // The SI carousel reads the flags while this thread writes them.
        const U8 enabled = __atomic_load_n(&u8PSIEnable[c], __ATOMIC_RELAXED);
        if (u32Eff <= 500 && enabled == 1) {
            __atomic_store_n(&u8PSIEnable[c], 0, __ATOMIC_RELAXED);
            log_printf(LOG_LEVEL_WARNING, LOG_MODULE_FPGA,
                       "%ld:%s:%d Channel %d effective bitrate less than 500K, stop send psi table\n\n", LOG_POS, c);
        } else if (u32Eff > 500 && enabled == 0) {
            __atomic_store_n(&u8PSIEnable[c], 1, __ATOMIC_RELAXED);
            log_printf(LOG_LEVEL_WARNING, LOG_MODULE_FPGA,
                       "%ld:%s:%d Channel %d effective bitrate more than 500K, resend psi table\n\n", LOG_POS, c);
        }
    }
}

zrErrCode FPGA_LEDRedfresh_Start(void)
{
    s_LEDfresh_flag = TRUE;
    return StartBlinker(FPGA_LEDRedfresh, "LEDRedfresh");
}

zrErrCode FPGA_LEDGreenfresh_Start(void)
{
    s_LEDGreenfresh_flag = TRUE;
    return StartBlinker(FPGA_LEDGreenfresh, "LEDGreenfresh");
}

void FPGA_LEDfresh_Stop(void)
{
    {
        std::lock_guard<std::mutex> lk(s_blinkMutex);
        s_LEDfresh_flag = FALSE;
    }
    s_blinkStop.notify_all();
}

zrErrCode LED_TaskMonitoring(void)
{
    pthread_t th;
    if (Thread_Create(&th, nullptr, LED_CtrlParamsRefresh, nullptr) != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d LED control thread create error\n\n", LOG_POS);
        return ZR_ERR_PIN_PTHREAD_CREAT;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_HW, "%ld:%s:%d LED control create successfully!\n\n", LOG_POS);
    if (pthread_detach(th) != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d LED control thread detach error \n\n", LOG_POS);
        return ZR_ERR_PIN_PTHREAD_CREAT;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_HW, "%ld:%s:%d LED control pthread detach successfully!\n\n", LOG_POS);
    return ZR_SUCCESS;
}

zrErrCode FPGA_CheckBitrateStatusStart(void)
{
    const bool bSlave = FPGA_GetChipType() == CHIP_TYPE_SUB;
    if ((bSlave ? Slave_GetSIMod() : Resource_GetSIMode()) == 1)
        return ZR_SUCCESS;
    pthread_t th;
    int rc = Thread_Create(&th, nullptr, FPGA_CheckBitrateStatus, nullptr);
    if (rc != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_FPGA, "%ld:%s:%d FPGA_CheckBitrateStatus thread create error :%s(errno: %d)\n",
                   LOG_POS, strerror(rc), rc);
        return ZR_SUCCESS;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_FPGA, "%ld:%s:%d FPGA_CheckBitrateStatus create successfully!\n", LOG_POS);
    rc = pthread_detach(th);
    if (rc != 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_FPGA,
                   "%ld:%s:%d FPGA_CheckBitrateStatus thread detach error :%s(errno: %d)\n", LOG_POS, strerror(rc), rc);
    else
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_FPGA, "%ld:%s:%d FPGA_CheckBitrateStatus pthread detach successfully!\n",
                   LOG_POS);
    return ZR_SUCCESS;
}
