// spilink: starts one end of the SPI chip link on the board root named by
// $MODCARD_ROOT, with modcard's own link code (the card's start-up never
// starts it). The master's spidev file names the slave's board root
// (modcard-board --spi-peer).
//   spilink slave SECONDS        serves the master's requests for SECONDS
//   spilink master version       asks the slave's versions (1, 3)
//   spilink master send CMD FILE block transfer of FILE (a system path) with CMD
//   spilink master log           fetches the slave's log into /tmp/slave_log.txt
#include "Comm/maccomm.h"
#include "Comm/spicomm.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/SPI/spilink.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "StatusProcess/resource.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unistd.h>

static int Usage()
{
    fputs("usage: spilink slave SECONDS | master version | master send CMD FILE | master log\n", stderr);
    return 2;
}

int main(int argc, char** argv)
{
    if (argc < 3 || getenv("MODCARD_ROOT") == nullptr)
        return Usage();
    std::string role = argv[1], what = argv[2];
    log_Init((U8*)LOG_FILE_PATH);
    FPGA_Init();
    if (role == "slave") {
        int seconds = atoi(what.c_str());
        if (seconds <= 0 || seconds > 3600 || SPISlaveInit() != 0)
            return 1;
        std::thread loop(SPISlave_ComTask, (void*)(intptr_t)SPIDEV_1);
        sleep((unsigned)seconds);
        SpiSlaveClose();
        loop.join();
        return 0;
    }
    if (role != "master")
        return Usage();
    g_u8OutputChannelNum = 8;
    if (SPIMasterInit() != 0)
        return 1;
    int rc = 1;
    if (what == "version") {
        U8 filler[10] = {0};
        if (SPICom_SendData(SPIDEV_1, ZR_COM_SPI_CMD_VERSION_SOFTWARE, filler, sizeof(filler)) == 0 &&
            SPICom_SendData(SPIDEV_1, ZR_COM_SPI_CMD_VERSION_FPGA, filler, sizeof(filler)) == 0) {
            MACComm_CompareVersions(true);
            printf("slave software 0x%x logic 0x%x; master software 0x%x logic 0x%x\n",
                   g_stVersionInfo.u32SlaveBuildSoftVer, g_stVersionInfo.u32SlaveLogVer,
                   g_stVersionInfo.u32MasterBuildSoftVer, g_stVersionInfo.u32MasterLogVer);
            rc = 0;
        }
    } else if (what == "send" && argc == 5) {
        rc = SPICom_SendFile(SPIDEV_1, (U8)atoi(argv[3]), (const U8*)argv[4]) == 0 ? 0 : 1;
    } else if (what == "log") {
        rc = SPICom_GetSlaveLog(SPIDEV_1) == 0 ? 0 : 1;
        if (rc == 0)
            printf("slave log in %s\n", (const char*)stSlaveLogInfo.aru8LogFilename);
    } else {
        rc = Usage();
    }
    SPIMasterClose();
    return rc;
}
