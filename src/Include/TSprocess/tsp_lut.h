// FPGA routing tables: the mux table (input PID -> output channel and PID)
// and the bypass table (whole input stream -> output channel), of the master
// chip (written into its FPGA) and of the slave chip (sent over the chip link).
#pragma once
#include "Common/types.h"
#include "TSprocess/tsp_db.h"
#include <vector>

#define TSP_LUT_MUX_NUM 2048
#define TSP_LUT_BYPASS_NUM 256
#define TSP_LUT_SUB_MUX_NUM 1000
#define TSP_LUT_SUB_BYPASS_NUM 8
#define TSP_LUT_USED 0x100u

// FPGA registers of the tables.
#define TSP_REG_LUT_COMMIT 768
#define TSP_REG_LUT_STROBE 769
#define TSP_REG_LUT_ADDR 770
#define TSP_REG_LUT_HIGH 771
#define TSP_REG_LUT_LOW 772

#pragma pack(push, 1)
typedef struct {
    U32 aru32slotBuffer0;  // destination word
    U32 aru32slotBuffer1;  // source word
    U32 aru32slotBuffer2;  // count word
} SUBFPGA_MUXLUT;
static_assert(sizeof(SUBFPGA_MUXLUT) == 12);

typedef struct {
    U32 aru32slotBypassBuffer0;  // destination word
    U32 aru32slotBypassBuffer1;  // count word
} SUBFPGA_BYPASSLUT;
static_assert(sizeof(SUBFPGA_BYPASSLUT) == 8);
#pragma pack(pop)

// Largest chip-link messages of the two slave tables (12,000 and 64 bytes):
// the used entries and a closing zero record, which a full table leaves out.
#define TSP_SUB_MUXLUT_MSG_MAX (TSP_LUT_SUB_MUX_NUM * sizeof(SUBFPGA_MUXLUT))
#define TSP_SUB_BYPASSLUT_MSG_MAX (TSP_LUT_SUB_BYPASS_NUM * sizeof(SUBFPGA_BYPASSLUT))

extern U32 aru32slotBuffer0[TSP_LUT_MUX_NUM];
extern U32 aru32slotBuffer1[TSP_LUT_MUX_NUM];
extern U32 aru32slotBuffer2[TSP_LUT_MUX_NUM];
extern U32 aru32slotBypassBuffer0[TSP_LUT_BYPASS_NUM];
extern U32 aru32slotBypassBuffer1[TSP_LUT_BYPASS_NUM];
extern U32 aru32SubslotBuffer0[TSP_LUT_SUB_MUX_NUM];
extern U32 aru32SubslotBuffer1[TSP_LUT_SUB_MUX_NUM];
extern U32 aru32SubslotBuffer2[TSP_LUT_SUB_MUX_NUM];
extern U32 aru32SubslotBypassBuffer0[TSP_LUT_SUB_BYPASS_NUM];
extern U32 aru32SubslotBypassBuffer1[TSP_LUT_SUB_BYPASS_NUM];

// One route of a mux table: destination and source words, and the PID
// record it comes from (TSP_MUX_ROUTE_EIT for the EIT board's).
#define TSP_MUX_ROUTE_EIT 0xFFFFFFFFu
typedef struct {
    U32 u32Dest;
    U32 u32Src;
    U32 u32Record;
} TSP_MuxRoute;

// The routes of the master's (bSlave false) or the slave's mux table in
// record order, before sorting and merging of repeats.
U32 TSP_CollectMuxRoutes(bool bSlave, std::vector<TSP_MuxRoute>& out, std::vector<U32>* pUnrouted = nullptr);
// Apply step, after conflict resolution: when the routes outnumber a mux
// table, the records that are not on air and do not fit are deleted (a
// program not on air as a whole), so that no table announces them.
U32 TSP_FitMuxRoutes(void);
// The same judgement for a plan: what does not fit is reported (when
// pMisses is given) and, with bLeaveOut, deleted.
struct TSP_PlanMiss;
U32 TSP_FitMuxRoutesOf(bool bLeaveOut, std::vector<TSP_PlanMiss>* pMisses);

// Both chips' tables of a plan, built from the live database against the
// tables on air; the commit makes them the tables on air and writes the
// master's into its FPGA.
typedef struct {
    U32 aru32Mux[3][TSP_LUT_MUX_NUM];
    U32 aru32Bypass[2][TSP_LUT_BYPASS_NUM];
    U32 aru32SubMux[3][TSP_LUT_SUB_MUX_NUM];
    U32 aru32SubBypass[2][TSP_LUT_SUB_BYPASS_NUM];
} TSP_LUTSet;
U32 TSP_PlanLUTs(TSP_LUTSet* pstSet);
void TSP_CommitLUTs(const TSP_LUTSet* pstSet);

U32 TSP_WriteOutputLUTInfo(void);
U32 TSP_WriteByPassOutputLUTInfo(void);
U32 TSP_WriteSubOutputLUTInfo(void);
U32 TSP_WriteByPassSubOutputLUTInfo(void);
U32 TSP_SendOutputLUT(void);
U32 TSP_SendByPassOutputLUT(void);
U32 TSP_SendSubOutputLUT(void);
U32 TSP_SendByPassSubOutputLUT(void);
// Slave chip: the reassembled message of command 806 / 852 (at most
// u32DataLen bytes).
U32 TSP_ReceiveSubFPGAMUXLUTInfo(U8* pu8Data, U32 u32DataLen = TSP_SUB_MUXLUT_MSG_MAX);
U32 TSP_ReceiveSubFPGABYPASSLUTInfo(U8* pu8Data, U32 u32DataLen = TSP_SUB_BYPASSLUT_MSG_MAX);
void TSP_InitOutputLUTInfo(void);
U32 TSP_SortSrcInfo(U32* pu32SrcInfo, U16* pu16SrcIndex, U16 u16Length);
U32 TSP_DelSameSrcInfo(U32* pu32DestInfo, U32* pu32SrcInfo, U16* pu16SrcIndex, U16 u16Length);
U32 TSP_WriteSameSrcNum(U32* pu32SlotBuffer, U32* pu32SrcInfo, U16 u16Length);
void TSP_PrintMuxLUT(void);
void TSP_PrintBypassLUT(void);
