// The card's own MIB module: PSI interval, reboot switch, the bit-rate status
// of the eight output channels (baseInfoTable) and their modulation settings
// (settingTable), under 1.3.6.1.4.1.<enterprise>.8.
#pragma once
#include "Common/types.h"
#include "DTMB/dtmb_param.h"
#include "TSprocess/tsp_view.h"
#include "agent/netsnmp.h"
#include <cstddef>

// The card's enterprise number: the one place it is written.
constexpr oid DTMB_ENTERPRISE_NUMBER = 32473;

#define DTMB_MIB_ARC 1, 3, 6, 1, 4, 1, DTMB_ENTERPRISE_NUMBER, 8

#define DTMB_TABLE_ROWS 8
#define BASEINFO_TEXT_SIZE 192
#define SETTING_COLUMN_MAX 27
#define SETTING_NAME_SIZE 20

// Columns of settingTable.
enum {
    COLUMN_INDEX = 1,
    COLUMN_OUTPUT_POWER = 2,
    COLUMN_ENABLE = 3,
    COLUMN_OUTPUT_FREQ = 4,
    COLUMN_DTMB_CONSTELLATION = 5,
    COLUMN_DTMB_FRAME_HEADER = 6,
    COLUMN_DTMB_CARRIER = 7,
    COLUMN_DVBT_BANDWIDTH = 8,
    COLUMN_DVBT_FFT_SIZE = 9,
    COLUMN_DVBT_GUARD_INTERVAL = 10,
    COLUMN_DVBT_CONSTELLATION = 11,
    COLUMN_DVBT_CODE_RATE = 12,
    COLUMN_QAMA_CONSTELLATION = 13,
    COLUMN_QAMA_SYMBOL_RATE = 14,
    COLUMN_QAMB_CHANNEL_PLAN = 15,
    COLUMN_QAMB_CHANNEL = 16,
    COLUMN_QAMB_CONSTELLATION = 17,
    COLUMN_QAMB_SYMBOL_RATE = 18,
    COLUMN_ISDBT_RESERVED = 19,
    COLUMN_ISDBT_FFT_MODE = 20,
    COLUMN_ISDBT_GUARD_INTERVAL = 21,
    COLUMN_ISDBT_CONSTELLATION = 22,
    COLUMN_ISDBT_CODE_RATE = 23,
    COLUMN_ISDBT_SEGMENT_MODE = 24,
    COLUMN_ATSC_CHANNEL_PLAN = 25,
    COLUMN_ATSC_CHANNEL = 26,
    COLUMN_QAMA_BANDWIDTH = 27
};

struct baseInfoTable_entry {
    S32 index;
    char text[BASEINFO_TEXT_SIZE];  // the last status text built for the row
    size_t text_len;
    baseInfoTable_entry* next;
};

struct settingTable_entry {
    S32 index;
    // Per column: the value last read or written and the one before it.
    long value[SETTING_COLUMN_MAX + 1];
    long old_value[SETTING_COLUMN_MAX + 1];
    // The channel-name columns (16 and 26): name, length and their copies.
    char name[2][SETTING_NAME_SIZE];
    size_t name_len[2];
    char old_name[2][SETTING_NAME_SIZE];
    size_t old_name_len[2];
    settingTable_entry* next;
};

extern baseInfoTable_entry* baseInfoTable_head;
extern settingTable_entry* settingTable_head;
extern S32 rebootflag;

void init_dtmb(void);

// A SET request of the card's MIB is one unit against the card's other
// writers: the first call of any of its handlers for the request takes the
// card-state lock and notes the live modulation set and PSI interval; the
// table edits the live set in its action step, the scalars note their
// values; the first call of the request's last step (commit, undo or free)
// saves or puts back and releases the lock. Only then do the set go to the
// chips and the reboot out. Agent thread only.
void DtmbSet_Open(netsnmp_agent_request_info* reqinfo);
// The live set as the open request found it.
const TParameter_DTMB* DtmbSet_Start(void);
// The table edited the live set; a failed save is answered on this request.
void DtmbSet_TableEdited(netsnmp_request_info* request);
// The last step of the request (reqinfo->mode: commit, undo or free), once;
// the status a commit step answers (the handler returns it).
int DtmbSet_Finish(netsnmp_agent_request_info* reqinfo);
Netsnmp_Node_Handler handle_psiInterval;
Netsnmp_Node_Handler handle_reboot;
Netsnmp_Node_Handler baseInfoTable_handler;
Netsnmp_Node_Handler settingTable_handler;
Netsnmp_First_Data_Point baseInfoTable_get_first_data_point;
Netsnmp_Next_Data_Point baseInfoTable_get_next_data_point;
Netsnmp_First_Data_Point settingTable_get_first_data_point;
Netsnmp_Next_Data_Point settingTable_get_next_data_point;

baseInfoTable_entry* initialize_table_baseInfoTable(void);
settingTable_entry* initialize_table_settingTable(void);
baseInfoTable_entry* baseInfoTable_createEntry(S32 index);
settingTable_entry* settingTable_createEntry(S32 index);
void baseInfoTable_removeEntry(baseInfoTable_entry* row);
void settingTable_removeEntry(settingTable_entry* row);
void SNMP_refreshConfig(void);
int GetFreq(char** text, char separator, char* field);

// The status text of a channel view into a buffer of BASEINFO_TEXT_SIZE
// bytes; returns the text's length (at most BASEINFO_TEXT_SIZE - 1).
size_t baseInfo_FormatText(const Output_WebTSInfo* view, char* buf);

// Whether a settingTable column is answered on a card of this modulation mode.
bool settingTable_ColumnOfMode(U32 column, U32 mode);
// Whether a GET of the cell is answered on this card: a column of its mode,
// and for the channel names a plan that has names (column 16: 1..3,
// column 26: 0..3). A SET of any other cell is refused.
bool settingTable_CellAnswered(U32 column, U32 mode, U32 plan);

// settingTable's value checks of a SET's first reserve phase: the SNMP error
// status for a value of that type and length written to that column.
int settingTable_CheckValue(U32 column, u_char type, size_t len);

// Frequency checks (kHz); 0 accepted, SNMP_ERR_BADVALUE, or 4 for a channel
// whose Bandwidth_Sel is not 0..2. The step of the channel goes to *step.
int DVBT_OutputFreq_Check(U32 channel, long frequencyKHz, U32* step);
int QAMA_OutputFreq_Check(U32 channel, long frequencyKHz, U32* step);
int ATSC_OutputFreq_Check(U32 channel, long frequencyKHz, int countFlag);

// Channel plans of 8VSB and J.83 Annex B: entry i is channel i + 2.
#define QAMB_ATSC_AIR_NUM 68
#define QAMB_ATSC_CABLE_NUM 134
extern U32 qamb_atsc_AIR[QAMB_ATSC_AIR_NUM];
extern U32 qamb_atsc_std[QAMB_ATSC_CABLE_NUM];
extern U32 qamb_atsc_irc[QAMB_ATSC_CABLE_NUM];
extern U32 qamb_atsc_hrc[QAMB_ATSC_CABLE_NUM];
extern char qamb_atsc_AIR_CH[QAMB_ATSC_AIR_NUM][SETTING_NAME_SIZE];
extern char qamb_atsc_std_CH[QAMB_ATSC_CABLE_NUM][SETTING_NAME_SIZE];
extern char qamb_atsc_irc_CH[QAMB_ATSC_CABLE_NUM][SETTING_NAME_SIZE];
extern char qamb_atsc_hrc_CH[QAMB_ATSC_CABLE_NUM][SETTING_NAME_SIZE];

struct ATSC_ChannelPlan {
    const U32* freq;
    const char (*name)[SETTING_NAME_SIZE];
    U32 count;
};
// Plan 0 off-air, 1 cable standard, 2 cable IRC, 3 cable HRC; null otherwise.
const ATSC_ChannelPlan* ATSC_GetChannelPlan(U32 plan);
// Entry whose frequency is freq, or -1.
int ATSC_FindChannelByFreq(const ATSC_ChannelPlan* plan, U32 freq);
// Entry named by text (the whole name or its frequency part), or -1. The
// text need not be terminated.
int ATSC_FindChannelByName(const ATSC_ChannelPlan* plan, const char* text, size_t len);
