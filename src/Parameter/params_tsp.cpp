// The output-stream file "/tarvex_data/K9_OutPutTSP.conf": save, start-up
// check, load and the factory rebuild of the output-stream database. Only the
// master chip has the file.
#include "Comm/ipcomm.h"
#include "Common/commonfun.h"
#include "Common/thread.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Parameter/recoverdata.h"
#include "Platform/platform.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_del.h"
#include "TSprocess/tsp_identity.h"
#include "TSprocess/tsp_mux.h"
#include "TSprocess/tsp_plan.h"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr U32 kSizes[5] = {sizeof(Output_TSStream), sizeof(Output_TSProgram), sizeof(Output_TSPID), sizeof(TSTable),
                           sizeof(TSDescriptor)};
static_assert(sizeof(Output_TSStream) == 448 && sizeof(Output_TSProgram) == 920 && sizeof(Output_TSPID) == 372 &&
                  sizeof(TSTable) == 1184 && sizeof(TSDescriptor) == 1168,
              "output-stream file record sizes");
// Links are 16-bit, so no array may hold more records than this.
constexpr U32 kMaxCount = 0xFFFFu;
constexpr size_t kMaxFile = PARAMS_TSP_HEADER_LEN + (size_t)kMaxCount * (448 + 920 + 372 + 1184 + 1168) + 4;

U32 Word(const U8* p, size_t off)
{
    return (U32)p[off] | (U32)p[off + 1] << 8 | (U32)p[off + 2] << 16 | (U32)p[off + 3] << 24;
}

void PutWord(U8* p, size_t off, U32 v)
{
    for (int i = 0; i < 4; i++)
        p[off + i] = (U8)(v >> (8 * i));
}

bool IsSlave() { return FPGA_GetChipType() == CHIP_TYPE_SUB; }

void DeleteFile(const std::string& path)
{
    if (unlink(path.c_str()) != 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Delete file [%s] failed!\n\n", LOG_POS,
                   PARAMS_TSP_CONFIG_FILE);
}

template <typename T>
void CopyArray(U8*& pu8Dst, const T* pSrc, U32 u32Num)
{
    if (u32Num != 0 && pSrc != nullptr)
        memcpy(pu8Dst, pSrc, (size_t)u32Num * sizeof(T));
    pu8Dst += (size_t)u32Num * sizeof(T);
}

// The records of an image, copied into arrays of their own, walked as the
// database's lists are.
bool LinksAreChains(const U8* pu8Buf, const U32 aru32Count[5])
{
    std::vector<Output_TSStream> ts(aru32Count[0]);
    std::vector<Output_TSProgram> prog(aru32Count[1]);
    std::vector<Output_TSPID> pid(aru32Count[2]);
    std::vector<TSTable> table(aru32Count[3]);
    std::vector<TSDescriptor> desc(aru32Count[4]);
    const U8* q = pu8Buf + PARAMS_TSP_HEADER_LEN;
    auto take = [&q](auto& v) {
        if (v.empty())
            return;  // memcpy must not see the empty vector's null data
        memcpy(v.data(), q, v.size() * sizeof(v[0]));
        q += v.size() * sizeof(v[0]);
    };
    take(ts);
    take(prog);
    take(pid);
    take(table);
    take(desc);
    Output_TSInfo view{};
    view.pOutputTS = ts.data();
    view.u32OutputTSNumber = aru32Count[0];
    view.pOutputProgram = prog.data();
    view.u32OutputProgramNumber = aru32Count[1];
    view.pOutputPID = pid.data();
    view.u32OutputPIDNumber = aru32Count[2];
    view.pOutputTable = table.data();
    view.u32OutputTableNumber = aru32Count[3];
    view.pDescriptor = desc.data();
    view.u32OutputDescriptorNumber = aru32Count[4];
    return TSP_CheckLinks(&view) == 0;
}

} // namespace

zrErrCode PARAMS_TSPCheckImage(const U8* pu8Buf, size_t len, U32 aru32Count[5])
{
    if (pu8Buf == nullptr || len < 12)
        return ZR_ERR_FAILURE;
    const U32 u32Crc = Common_CRCCalculate(const_cast<U8*>(pu8Buf), (U32)(len - 4), PARAMS_CRC_INIT);
    const U32 u32Stored = Word(pu8Buf, len - 4);
    if (u32Crc != u32Stored) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Config file [%s] CRC fail [0x%x] vs [0x%x]!\n\n",
                   LOG_POS, PARAMS_TSP_CONFIG_FILE, u32Crc, u32Stored);
        return ZR_ERR_FAILURE;
    }
    if (Word(pu8Buf, 4) != len) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Config file size [%d] vs [%d]!\n\n", LOG_POS,
                   (int)len, (int)Word(pu8Buf, 4));
        return ZR_ERR_PARAMS_MIGRATION;
    }
    if (Word(pu8Buf, 0) != PARAMS_TSP_FILE_VERSION) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Config file version [%d] vs [%d]!\n\n", LOG_POS,
                   (int)PARAMS_TSP_FILE_VERSION, (int)Word(pu8Buf, 0));
        return ZR_ERR_PARAMS_MIGRATION;
    }
    // The counts must describe exactly the bytes the file holds.
    if (len < PARAMS_TSP_HEADER_LEN + 4)
        return ZR_ERR_PARAMS_MIGRATION;
    size_t sum = PARAMS_TSP_HEADER_LEN + 4;
    for (int i = 0; i < 5; i++) {
        aru32Count[i] = Word(pu8Buf, 8 + 4 * i);
        if (aru32Count[i] > kMaxCount) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Config file count[%d] %u out of range\n\n",
                       LOG_POS, i, aru32Count[i]);
            return ZR_ERR_PARAMS_MIGRATION;
        }
        sum += (size_t)aru32Count[i] * kSizes[i];
    }
    if (sum != len) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Config file counts give [%zu] bytes vs [%zu]\n\n",
                   LOG_POS, sum, len);
        return ZR_ERR_PARAMS_MIGRATION;
    }
    // A record list that loops or leaves its array would drop its channel
    // from every view: such a file is as corrupt as one failing its CRC.
    bool chains = false;
    try {
        chains = LinksAreChains(pu8Buf, aru32Count);
    } catch (const std::bad_alloc&) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d malloc memory error\n\n", LOG_POS);
        return ZR_ERR_FAILURE;
    }
    if (!chains) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Config file [%s] links are no chain!\n\n", LOG_POS,
                   PARAMS_TSP_CONFIG_FILE);
        return ZR_ERR_FAILURE;
    }
    return ZR_SUCCESS;
}

zrErrCode PARAMS_TSPParametersSave(void)
{
    if (IsSlave())
        return ZR_SUCCESS; // the slave's streams come from the master
    std::vector<U8> buf;
    {
        CARD_STATE_LOCK();
        const Output_TSInfo* p = TSP_GetTSParam();
        const U32 n[5] = {p->u32OutputTSNumber, p->u32OutputProgramNumber, p->u32OutputPIDNumber,
                          p->u32OutputTableNumber, p->u32OutputDescriptorNumber};
        size_t len = PARAMS_TSP_HEADER_LEN + 4;
        for (int i = 0; i < 5; i++)
            len += (size_t)n[i] * kSizes[i];
        try {
            buf.assign(len, 0);
        } catch (const std::bad_alloc&) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d malloc memory error\n\n", LOG_POS);
            return ZR_ERR_FAILURE;
        }
        PutWord(buf.data(), 0, PARAMS_TSP_FILE_VERSION);
        PutWord(buf.data(), 4, (U32)len);
        for (int i = 0; i < 5; i++)
            PutWord(buf.data(), 8 + 4 * i, n[i]);
        U8* q = buf.data() + PARAMS_TSP_HEADER_LEN;
        CopyArray(q, p->pOutputTS, n[0]);
        CopyArray(q, p->pOutputProgram, n[1]);
        CopyArray(q, p->pOutputPID, n[2]);
        CopyArray(q, p->pOutputTable, n[3]);
        CopyArray(q, p->pDescriptor, n[4]);
        PutWord(buf.data(), len - 4, Common_CRCCalculate(buf.data(), (U32)(len - 4), PARAMS_CRC_INIT));
    }
    plat::MakeDirs("/tarvex_data");
    // The database stays as it is when the file is not written: the next
    // save that succeeds writes all of it.
    bool saved = plat::WriteFileAtomic(PARAMS_TSP_CONFIG_FILE, buf.data(), buf.size(), true);
    PARAMS_NoteSave(PARAMS_TSP_CONFIG_FILE, saved, errno);
    return saved ? ZR_SUCCESS : ZR_ERR_FAILURE;
}

zrErrCode PARAMS_VerifyTSPConfigFiles(void)
{
    // Frees what an earlier load held rather than dropping the pointers.
    TSP_FreeOutputTSInfo();
    const std::string path = plat::Path(PARAMS_TSP_CONFIG_FILE);
    if (!plat::Exists(PARAMS_TSP_CONFIG_FILE)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Config file [%s] is not exist!\n\n", LOG_POS,
                   PARAMS_TSP_CONFIG_FILE);
        return ZR_ERR_FAILURE;
    }
    FILE* f = plat::Fopen(PARAMS_TSP_CONFIG_FILE, "rb");
    if (f == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Can't open config file [%s]!\n\n", LOG_POS,
                   PARAMS_TSP_CONFIG_FILE);
        DeleteFile(path);
        return ZR_ERR_FAILURE;
    }
    fseek(f, 0, SEEK_END);
    const long size = ftell(f);
    fseek(f, 0, SEEK_SET);
    if (size < 12) {
        fclose(f);
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d config file len %d too less[%s]!\n\n", LOG_POS,
                   (int)size, PARAMS_TSP_CONFIG_FILE);
        // A file that cannot be deleted is replaced by the next save.
        DeleteFile(path);
        return ZR_ERR_FAILURE;
    }
    if ((size_t)size > kMaxFile) {
        fclose(f);
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Config file size [%d] vs [%d]!\n\n", LOG_POS,
                   (int)size, -1);
        DeleteFile(path);
        return ZR_ERR_PARAMS_MIGRATION;
    }
    std::vector<U8> buf;
    try {
        buf.resize((size_t)size);
    } catch (const std::bad_alloc&) {
        fclose(f);
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d malloc memory error\n\n", LOG_POS);
        return ZR_ERR_FAILURE;
    }
    const size_t got = fread(buf.data(), 1, buf.size(), f);
    fclose(f);
    U32 n[5];
    zrErrCode rc = got == buf.size() ? PARAMS_TSPCheckImage(buf.data(), buf.size(), n) : ZR_ERR_FAILURE;
    if (rc != ZR_SUCCESS)
        DeleteFile(path);
    return rc;
}

// Builds the live database from a checked file image.
static zrErrCode LoadImage(const U8* pu8Buf, size_t len)
{
    U32 n[5];
    if (PARAMS_TSPCheckImage(pu8Buf, len, n) != ZR_SUCCESS)
        return ZR_ERR_FAILURE;
    printf("u32TSNumber[%u]\n", n[0]);
    printf("u32ProgramNumber[%u]\n", n[1]);
    printf("u32PIDNumber[%u]\n", n[2]);
    printf("u32TableNumber[%u]\n", n[3]);
    printf("u32DescriptorNumber[%u]\n", n[4]);
    CARD_STATE_LOCK();
    TSP_FreeOutputTSInfo();
    TSInfoInitNum st = {n[0], n[1], n[2], n[3], n[4], 0};
    Output_TSInfo* p = TSP_GetTSParam();
    if (TSP_InitTSInfo(p, &st) != ZR_SUCCESS) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d malloc TS memory error\n\n", LOG_POS);
        TSP_FreeOutputTSInfo();
        return ZR_ERR_FAILURE;
    }
    const U8* q = pu8Buf + PARAMS_TSP_HEADER_LEN;
    auto take = [&q](void* dst, U32 count, U32 size) {
        if (count != 0)
            memcpy(dst, q, (size_t)count * size);
        q += (size_t)count * size;
    };
    take(p->pOutputTS, n[0], kSizes[0]);
    take(p->pOutputProgram, n[1], kSizes[1]);
    take(p->pOutputPID, n[2], kSizes[2]);
    take(p->pOutputTable, n[3], kSizes[3]);
    take(p->pDescriptor, n[4], kSizes[4]);
    // A stream of a channel the card does not have would go on the air and
    // into the routing of the channel its low bits name: it is left behind.
    TSP_ClearStreamsBeyondChannels(p);
    // Earlier firmware appended records sent again: one of each is read back.
    TSP_MergeRepeatedRecords(p);
    TSP_PlanNoteStored(p);
    return ZR_SUCCESS;
}

zrErrCode PARAMS_TSPLoadImage(const U8* pu8Buf, size_t len)
{
    return LoadImage(pu8Buf, len);
}

zrErrCode PARAMS_TSP_Load(void)
{
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "%ld:%s:%d Load TSP config files !\n", LOG_POS);
    if (IsSlave())
        return ZR_ERR_FAILURE;
    std::string data;
    if (!plat::ReadFile(PARAMS_TSP_CONFIG_FILE, data, kMaxFile + 1)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Open config files failure!\n", LOG_POS);
        return ZR_ERR_FAILURE;
    }
    if (data.size() < PARAMS_TSP_HEADER_LEN) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Read Structure TSIndex failure!\n", LOG_POS);
        return ZR_ERR_FAILURE;
    }
    if (LoadImage(reinterpret_cast<const U8*>(data.data()), data.size()) != ZR_SUCCESS) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Read Structure Out_TS failure ret[%u]!\n", LOG_POS,
                   (U32)data.size());
        TSP_FreeOutputTSInfo();
        return ZR_ERR_FAILURE;
    }
    CARD_STATE_LOCK();
    TSP_MuxProcess();
    TSP_UpdateResourceInfo();
    return ZR_SUCCESS;
}

zrErrCode PARAMS_TSP_Factory(void)
{
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_PARAM, "[%s]%d: Parameters factory!\r\n", __func__, __LINE__);
    U8 slots[TSP_MAX_SLOT_ID + 1] = {};
    U32 applied;
    {
        CARD_STATE_LOCK();
        // The input cards that fed the database are told once it is gone.
        GetInputSlot(slots);
        Output_TSInfo fresh{};
        if (TSP_BuildFactoryTSInfo(&fresh) != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d pstTS is NULL\n", LOG_POS);
            return ZR_ERR_PARAMS;
        }
        // Streams, routes and tables go off air together, or nothing changes.
        bool inForce = false;
        applied = TSP_ReplaceProcess(&fresh, "factory reset", &inForce);
        TSP_ReleaseTSInfo(&fresh);
        if (!inForce)
            return ZR_ERR_FAILURE;
        TSP_UpdateResourceInfo();
    }
    TSP_SendClearCmdToSlots(slots);
    // The slave's routing tables too, or channels 4-7 go on routing the
    // cleared streams' PIDs.
    TSP_SendSubFPGAMuxLUTInfo();
    TSP_SendSubFPGABypassLUTInfo();
    IPComm_SendEITInfo();
    // The factory database is in force; an apply that stopped did not save it.
    return applied == 0 ? ZR_SUCCESS : ZR_ERR_NOT_SAVED;
}

zrErrCode PARAMS_WEB_Factory(U8 u8Mode)
{
    // The factory database's save replaces the file whole, so it is not
    // truncated first (a crash in between would leave an empty file).
    if (plat::Exists(PARAMS_TSP_CONFIG_FILE)) {
        int fd = plat::Open(PARAMS_TSP_CONFIG_FILE, O_WRONLY);
        if (fd < 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d Open TSP config files error: %s(errno: %d)\n\n",
                       LOG_POS, strerror(errno), errno);
            return ZR_ERR_FAILURE;
        }
        close(fd);
    }
    // A save that fails does not stop the reset: the factory values go into
    // force everywhere and the result says they were not all saved.
    zrErrCode rc = PARAMS_TSP_Factory();
    if (rc != ZR_SUCCESS && rc != ZR_ERR_NOT_SAVED) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d PARAMS_TSP_Factory return error\n\n", LOG_POS);
        return rc;
    }
    bool unsaved = rc == ZR_ERR_NOT_SAVED;
    if (u8Mode == 0) {
        rc = Master_PARAMS_Factory();
        if (rc != ZR_SUCCESS && rc != ZR_ERR_NOT_SAVED) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_PARAM, "%ld:%s:%d PARAMS_Factory error\n\n", LOG_POS);
            return rc;
        }
        unsaved = unsaved || rc == ZR_ERR_NOT_SAVED;
        unsaved = DATA_Save() != ZR_SUCCESS || unsaved;
    }
    return unsaved ? ZR_ERR_NOT_SAVED : ZR_SUCCESS;
}
