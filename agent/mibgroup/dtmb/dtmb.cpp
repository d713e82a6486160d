// The card MIB's registration, its scalars (PSI interval, reboot switch), the
// read-only base information table with the bit-rate status of each output
// channel, and the row lists of both tables.
#include "agent/mibgroup/dtmb/dtmb.h"
#include "Comm/slavelink.h"
#include "Common/thread.h"
#include "DTMB/dtmb.h"
#include "Parameter/parameters.h"
#include "SIprocess/SIsend.h"
#include "Web/web.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>

baseInfoTable_entry* baseInfoTable_head = nullptr;
settingTable_entry* settingTable_head = nullptr;
S32 rebootflag = 0;

static const oid psiInterval_oid[] = {DTMB_MIB_ARC, 2, 1};
static const oid reboot_oid[] = {DTMB_MIB_ARC, 10, 1};
static const oid baseInfoTable_oid[] = {DTMB_MIB_ARC, 1, 1};
static const oid settingTable_oid[] = {DTMB_MIB_ARC, 2, 2};

// PSI intervals (ms) a station may set; others are refused (wrongValue).
static const long kPsiIntervalMin = 50;
static const long kPsiIntervalMax = 10000;

static void RegisterScalar(const char* name, Netsnmp_Node_Handler* handler, const oid* id, size_t len)
{
    netsnmp_register_scalar(netsnmp_create_handler_registration(name, handler, id, len, HANDLER_CAN_RWRITE));
}

// The settingTable columns of the card's standard, used while a walk steps
// through the table so that it passes over the columns of other standards
// instead of ending at them. A GET still reaches every column (another
// standard's answers nothing); a SET of such a cell is refused.
static netsnmp_column_info* s_pstModeColumns = nullptr;

static netsnmp_column_info* SettingColumnsCreate(void)
{
    auto* info = SNMP_MALLOC_TYPEDEF(netsnmp_column_info);
    auto* list = static_cast<unsigned int*>(calloc(SETTING_COLUMN_MAX, sizeof(unsigned int)));
    if (info == nullptr || list == nullptr) {
        free(info);
        free(list);
        return nullptr;
    }
    info->isRange = 0;
    info->details.list = list;
    return info;
}

// The columns answered now: those of the card's standard, less a channel
// name whose plan number has no names.
static void SettingColumnsUpdate(netsnmp_column_info* info)
{
    U32 mode = PARAMS_GetModulationMod();
    U32 plan;
    {
        CARD_STATE_LOCK();
        plan = GetDTMBPara_Handle()->u32ATSCChannelMode;
    }
    int count = 0;
    for (unsigned int column = 1; column <= SETTING_COLUMN_MAX; column++)
        if (settingTable_CellAnswered(column, mode, plan))
            info->details.list[count++] = column;
    info->list_count = (char)count;
}

static int SettingColumnsHandler(netsnmp_mib_handler* handler, netsnmp_handler_registration* reginfo,
                                 netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests)
{
    auto* info = static_cast<netsnmp_table_registration_info*>(handler->myvoid);
    bool walking = reqinfo->mode == MODE_GETNEXT || reqinfo->mode == MODE_GETBULK;
    if (walking)
        SettingColumnsUpdate(s_pstModeColumns);
    info->valid_columns = walking ? s_pstModeColumns : nullptr;
    int ret = netsnmp_call_next_handler(handler, reginfo, reqinfo, requests);
    info->valid_columns = nullptr;
    return ret;
}

// Registers a table of INTEGER index with its iterator hooks.
static netsnmp_handler_registration* RegisterTable(const char* name, Netsnmp_Node_Handler* handler, const oid* id,
                                                   size_t len, int modes, unsigned int maxColumn,
                                                   Netsnmp_First_Data_Point* first, Netsnmp_Next_Data_Point* next)
{
    netsnmp_handler_registration* reg = netsnmp_create_handler_registration(name, handler, id, len, modes);
    netsnmp_table_registration_info* info = SNMP_MALLOC_TYPEDEF(netsnmp_table_registration_info);
    netsnmp_iterator_info* iinfo = SNMP_MALLOC_TYPEDEF(netsnmp_iterator_info);
    if (reg == nullptr || info == nullptr || iinfo == nullptr) {
        free(info);
        free(iinfo);
        return nullptr;
    }
    netsnmp_table_helper_add_indexes(info, ASN_INTEGER, 0);
    info->min_column = 1;
    info->max_column = maxColumn;
    iinfo->get_first_data_point = first;
    iinfo->get_next_data_point = next;
    iinfo->table_reginfo = info;
    return netsnmp_register_table_iterator(reg, iinfo) == MIB_REGISTERED_OK ? reg : nullptr;
}

baseInfoTable_entry* baseInfoTable_createEntry(S32 index)
{
    auto* row = static_cast<baseInfoTable_entry*>(calloc(1, sizeof(baseInfoTable_entry)));
    if (row == nullptr)
        return nullptr;
    row->index = index;
    row->next = baseInfoTable_head;
    baseInfoTable_head = row;
    return row;
}

settingTable_entry* settingTable_createEntry(S32 index)
{
    auto* row = static_cast<settingTable_entry*>(calloc(1, sizeof(settingTable_entry)));
    if (row == nullptr)
        return nullptr;
    row->index = index;
    row->next = settingTable_head;
    settingTable_head = row;
    return row;
}

template <typename Row> static void RemoveRow(Row*& head, Row* row)
{
    if (row == nullptr)
        return;
    for (Row** link = &head; *link != nullptr; link = &(*link)->next) {
        if (*link == row) {
            *link = row->next;
            free(row);
            return;
        }
    }
}

void baseInfoTable_removeEntry(baseInfoTable_entry* row) { RemoveRow(baseInfoTable_head, row); }
void settingTable_removeEntry(settingTable_entry* row) { RemoveRow(settingTable_head, row); }

baseInfoTable_entry* initialize_table_baseInfoTable(void)
{
    RegisterTable("baseInfoTable", baseInfoTable_handler, baseInfoTable_oid, OID_LENGTH(baseInfoTable_oid),
                  HANDLER_CAN_RONLY, 2, baseInfoTable_get_first_data_point, baseInfoTable_get_next_data_point);
    baseInfoTable_entry* row = nullptr;
    for (S32 i = DTMB_TABLE_ROWS; i >= 1; i--)
        row = baseInfoTable_createEntry(i);
    return row;
}

settingTable_entry* initialize_table_settingTable(void)
{
    netsnmp_handler_registration* reg =
        RegisterTable("settingTable", settingTable_handler, settingTable_oid, OID_LENGTH(settingTable_oid),
                      HANDLER_CAN_RWRITE, SETTING_COLUMN_MAX, settingTable_get_first_data_point,
                      settingTable_get_next_data_point);
    s_pstModeColumns = SettingColumnsCreate();
    netsnmp_mib_handler* columns = netsnmp_create_handler("settingTable_columns", SettingColumnsHandler);
    if (reg != nullptr && columns != nullptr && s_pstModeColumns != nullptr) {
        columns->myvoid = netsnmp_find_table_registration_info(reg);
        netsnmp_inject_handler(reg, columns);
    }
    settingTable_entry* row = nullptr;
    for (S32 i = DTMB_TABLE_ROWS; i >= 1; i--)
        row = settingTable_createEntry(i);
    return row;
}

void init_dtmb(void)
{
    RegisterScalar("psiInterval", handle_psiInterval, psiInterval_oid, OID_LENGTH(psiInterval_oid));
    RegisterScalar("reboot", handle_reboot, reboot_oid, OID_LENGTH(reboot_oid));
    initialize_table_baseInfoTable();
    initialize_table_settingTable();
}

// ---- Iterator hooks ---------------------------------------------------------

template <typename Row>
static netsnmp_variable_list* IterateFrom(Row* row, void** loop_context, void** data_context,
                                          netsnmp_variable_list* put_index_data)
{
    if (row == nullptr)
        return nullptr;
    long index = row->index;
    snmp_set_var_typed_value(put_index_data, ASN_INTEGER, &index, sizeof(index));
    *data_context = row;
    *loop_context = row->next;
    return put_index_data;
}

netsnmp_variable_list* baseInfoTable_get_first_data_point(void** loop_context, void** data_context,
                                                          netsnmp_variable_list* put_index_data,
                                                          netsnmp_iterator_info*)
{
    return IterateFrom(baseInfoTable_head, loop_context, data_context, put_index_data);
}

netsnmp_variable_list* baseInfoTable_get_next_data_point(void** loop_context, void** data_context,
                                                         netsnmp_variable_list* put_index_data,
                                                         netsnmp_iterator_info*)
{
    return IterateFrom(static_cast<baseInfoTable_entry*>(*loop_context), loop_context, data_context,
                       put_index_data);
}

netsnmp_variable_list* settingTable_get_first_data_point(void** loop_context, void** data_context,
                                                         netsnmp_variable_list* put_index_data,
                                                         netsnmp_iterator_info*)
{
    return IterateFrom(settingTable_head, loop_context, data_context, put_index_data);
}

netsnmp_variable_list* settingTable_get_next_data_point(void** loop_context, void** data_context,
                                                        netsnmp_variable_list* put_index_data,
                                                        netsnmp_iterator_info*)
{
    return IterateFrom(static_cast<settingTable_entry*>(*loop_context), loop_context, data_context,
                       put_index_data);
}

// ---- One SET request as one unit ---------------------------------------------

namespace {

struct SetUnit {
    netsnmp_agent_request_info* reqinfo = nullptr;  // the request it belongs to
    CardStateLock lock;
    TParameter_DTMB start;  // the live set as the request found it
    U16 psiStart = 0;
    bool psiStaged = false;
    U16 psi = 0;
    netsnmp_request_info* psiRequest = nullptr;
    bool reboot = false;
    netsnmp_request_info* rebootRequest = nullptr;
    netsnmp_request_info* tableRequest = nullptr;
};

SetUnit s_unit;
const char kUnitKey[] = "dtmbSetUnit";

// Ends the unit: the lock released, the request's notes dropped.
void UnitClose(void)
{
    s_unit.psiStaged = s_unit.reboot = false;
    s_unit.psiRequest = s_unit.rebootRequest = s_unit.tableRequest = nullptr;
    if (s_unit.lock.owns_lock())
        s_unit.lock.unlock();
}

// A request that ends without its last step reaching a handler (the library
// frees it): the live set as it was, and the lock released.
void UnitDropped(void* reqinfo)
{
    if (!s_unit.lock.owns_lock() || reqinfo != s_unit.reqinfo)
        return;
    *GetDTMBPara_Handle() = s_unit.start;
    UnitClose();
}

// The set and interval the request found, made live and saved again;
// false when a save failed.
bool UnitPutBack(bool set, bool psi)
{
    bool ok = true;
    if (set && DTMB_StoreCurPara(&s_unit.start) != ZR_SUCCESS)
        ok = false;
    if (psi && TSP_SetPSIInterval(s_unit.psiStart) != 0)
        ok = false;
    return ok;
}

// The status a failed commit answers. The agent answers the status a
// handler returns from its commit step, not one set on a request there.
int s_commitStatus = SNMP_ERR_NOERROR;

void UnitError(netsnmp_agent_request_info* reqinfo, netsnmp_request_info* request, int status)
{
    if (s_commitStatus == SNMP_ERR_NOERROR)
        s_commitStatus = status;
    if (request != nullptr)
        netsnmp_set_request_error(reqinfo, request, status);
}

// Every varbind of the request has succeeded: the edited set and the noted
// interval are saved under the lock; then the set goes to the chips (the
// slave chip awaited a bounded time) and the reboot out. A save or reboot
// that fails puts back what the request changed and answers commitFailed
// (undoFailed when that cannot be saved).
void UnitCommit(netsnmp_agent_request_info* reqinfo)
{
    s_commitStatus = SNMP_ERR_NOERROR;
    const bool set = memcmp(GetDTMBPara_Handle(), &s_unit.start, sizeof(s_unit.start)) != 0;
    netsnmp_request_info* psiRequest = s_unit.psiRequest;
    netsnmp_request_info* rebootRequest = s_unit.rebootRequest;
    const bool reboot = s_unit.reboot;
    if (set && DTMB_StoreCurPara(GetDTMBPara_Handle()) != ZR_SUCCESS) {
        // The file keeps what it held; the record and live set go back.
        UnitPutBack(true, false);
        UnitError(reqinfo, s_unit.tableRequest, SNMP_ERR_COMMITFAILED);
        UnitClose();
        return;
    }
    if (s_unit.psiStaged && TSP_SetPSIInterval(s_unit.psi) != 0) {
        // The file never took the new interval: putting the live one back is
        // the whole undo, whether or not that save works.
        bool ok = UnitPutBack(set, false);
        TSP_SetPSIInterval(s_unit.psiStart);
        UnitError(reqinfo, psiRequest, ok ? SNMP_ERR_COMMITFAILED : SNMP_ERR_UNDOFAILED);
        UnitClose();
        return;
    }
    const bool psi = s_unit.psiStaged;
    netsnmp_request_info* tableRequest = s_unit.tableRequest;
    UnitClose();
    // Sending to the slave chip and rebooting talk to peers: no lock. What
    // the slave chip did not take in time stays in force on the master (it
    // goes to the slave once it answers), which undoFailed says; no reboot then.
    if (set || psi) {
        zrErrCode took = set ? DTMB_SendCurParaAwait(SLAVELINK_TAKE_WAIT_MS)
                             : SlaveLink_Await(SlaveLink_Mark(), SLAVELINK_TAKE_WAIT_MS);
        if (took != ZR_SUCCESS) {
            SlaveLink_LogNotTaken("an SNMP SET", took, "in force on the master chip and saved");
            UnitError(reqinfo, set && tableRequest != nullptr ? tableRequest : psiRequest, SNMP_ERR_UNDOFAILED);
            return;
        }
    }
    if (!reboot || Web_Reboot() == ZR_SUCCESS)
        return;
    rebootflag = 1;
    bool ok;
    {
        CARD_STATE_LOCK();
        ok = UnitPutBack(set, psi);
    }
    if (set)
        DTMB_SendCurPara();
    UnitError(reqinfo, rebootRequest, ok ? SNMP_ERR_COMMITFAILED : SNMP_ERR_UNDOFAILED);
}

}  // namespace

void DtmbSet_Open(netsnmp_agent_request_info* reqinfo)
{
    if (netsnmp_agent_get_list_data(reqinfo, kUnitKey) != nullptr)
        return;
    // A unit of an earlier request still open: that request has ended.
    UnitDropped(s_unit.reqinfo);
    s_unit.reqinfo = reqinfo;
    s_unit.lock = CardStateLock(Card_StateMutex());
    s_unit.start = *GetDTMBPara_Handle();
    TSP_GetPSIInterval(&s_unit.psiStart);
    netsnmp_agent_add_list_data(reqinfo, netsnmp_create_data_list(kUnitKey, reqinfo, UnitDropped));
}

const TParameter_DTMB* DtmbSet_Start(void) { return &s_unit.start; }

void DtmbSet_TableEdited(netsnmp_request_info* request)
{
    if (s_unit.tableRequest == nullptr)
        s_unit.tableRequest = request;
}

int DtmbSet_Finish(netsnmp_agent_request_info* reqinfo)
{
    if (!s_unit.lock.owns_lock())
        return SNMP_ERR_NOERROR;
    switch (reqinfo->mode) {
    case MODE_SET_COMMIT:
        UnitCommit(reqinfo);
        return s_commitStatus;
    case MODE_SET_UNDO:
        // Nothing was saved or sent before the commit: the live set alone.
        *GetDTMBPara_Handle() = s_unit.start;
        UnitClose();
        break;
    default:
        UnitClose();
        break;
    }
    return SNMP_ERR_NOERROR;
}

// ---- Scalars ----------------------------------------------------------------

static void SetInteger(netsnmp_request_info* request, long value)
{
    snmp_set_var_typed_value(request->requestvb, ASN_INTEGER, &value, sizeof(value));
}

int handle_psiInterval(netsnmp_mib_handler*, netsnmp_handler_registration*, netsnmp_agent_request_info* reqinfo,
                       netsnmp_request_info* requests)
{
    switch (reqinfo->mode) {
    case MODE_GET: {
        U16 interval = 0;
        {
            CARD_STATE_LOCK();
            TSP_GetPSIInterval(&interval);
        }
        SetInteger(requests, interval);
        break;
    }
    case MODE_SET_RESERVE1: {
        DtmbSet_Open(reqinfo);
        int ret = netsnmp_check_vb_int_range(requests->requestvb, kPsiIntervalMin, kPsiIntervalMax);
        if (ret != SNMP_ERR_NOERROR)
            netsnmp_set_request_error(reqinfo, requests, ret);
        break;
    }
    case MODE_SET_ACTION:
        // Taken in the commit step, with the rest of the request.
        s_unit.psiStaged = true;
        s_unit.psi = (U16)*requests->requestvb->val.integer;
        s_unit.psiRequest = requests;
        break;
    case MODE_SET_RESERVE2:
        break;
    case MODE_SET_COMMIT:
        return DtmbSet_Finish(reqinfo);
    case MODE_SET_FREE:
    case MODE_SET_UNDO:
        DtmbSet_Finish(reqinfo);
        break;
    default:
        snmp_log(LOG_ERR, "unknown mode (%d) in handle_psiInterval\n", reqinfo->mode);
        return SNMP_ERR_GENERR;
    }
    return SNMP_ERR_NOERROR;
}

int handle_reboot(netsnmp_mib_handler*, netsnmp_handler_registration*, netsnmp_agent_request_info* reqinfo,
                  netsnmp_request_info* requests)
{
    switch (reqinfo->mode) {
    case MODE_GET:
        SetInteger(requests, rebootflag);
        break;
    case MODE_SET_RESERVE1: {
        DtmbSet_Open(reqinfo);
        int ret = netsnmp_check_vb_type(requests->requestvb, ASN_INTEGER);
        if (ret == SNMP_ERR_NOERROR && *requests->requestvb->val.integer != 0) {
            rebootflag = 1;
            ret = SNMP_ERR_WRONGVALUE;
        }
        if (ret != SNMP_ERR_NOERROR)
            netsnmp_set_request_error(reqinfo, requests, ret);
        break;
    }
    case MODE_SET_ACTION:
        // Cannot be put back: it goes out in the commit step, once every
        // varbind of the request has succeeded.
        s_unit.reboot = true;
        s_unit.rebootRequest = requests;
        break;
    case MODE_SET_RESERVE2:
        break;
    case MODE_SET_COMMIT:
        return DtmbSet_Finish(reqinfo);
    case MODE_SET_FREE:
    case MODE_SET_UNDO:
        DtmbSet_Finish(reqinfo);
        break;
    default:
        snmp_log(LOG_ERR, "unknown mode (%d) in handle_reboot\n", reqinfo->mode);
        return SNMP_ERR_GENERR;
    }
    return SNMP_ERR_NOERROR;
}

// ---- baseInfoTable ----------------------------------------------------------

size_t baseInfo_FormatText(const Output_WebTSInfo* view, char* buf)
{
    float total = (float)view->u32TotalBitRate / 1000.0f;
    float effective = (float)view->u32EffectiveBitRate / 1000.0f;
    int n = snprintf(buf, BASEINFO_TEXT_SIZE,
                     "total bitrate:%4.3f Mbps | effective bitrate:%4.3f Mbps | bit rate status:%s", (double)total,
                     (double)effective, view->bOverFlow ? "Overflow" : "Normal");
    // snprintf reports what it would have written: never more than the buffer holds.
    if (n < 0)
        n = 0;
    return (size_t)n < BASEINFO_TEXT_SIZE - 1 ? (size_t)n : BASEINFO_TEXT_SIZE - 1;
}

int baseInfoTable_handler(netsnmp_mib_handler*, netsnmp_handler_registration*,
                          netsnmp_agent_request_info* reqinfo, netsnmp_request_info* requests)
{
    if (reqinfo->mode != MODE_GET)
        return SNMP_ERR_NOERROR;
    for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
        auto* row = static_cast<baseInfoTable_entry*>(netsnmp_extract_iterator_context(request));
        netsnmp_table_request_info* info = netsnmp_extract_table_info(request);
        if (row == nullptr || info == nullptr) {
            netsnmp_set_request_error(reqinfo, request, SNMP_NOSUCHINSTANCE);
            continue;
        }
        switch (info->colnum) {
        case 1:
            SetInteger(request, row->index);
            break;
        case 2: {
            // The view is large: one buffer, used on the agent thread only.
            static Output_WebTSInfo view;
            memset(&view, 0, sizeof(view));
            {
                CARD_STATE_LOCK();
                Web_GetTSWebInfo((U16)(row->index - 1), &view);
            }
            row->text_len = baseInfo_FormatText(&view, row->text);
            snmp_set_var_typed_value(request->requestvb, ASN_OCTET_STR, row->text, row->text_len);
            break;
        }
        default:
            netsnmp_set_request_error(reqinfo, request, SNMP_NOSUCHOBJECT);
            break;
        }
    }
    return SNMP_ERR_NOERROR;
}

// ---- Operations kept for maintenance ---------------------------------------

// The library's list of configuration file types (not in its headers).
extern "C" struct config_files* config_files;

void SNMP_refreshConfig(void)
{
    for (struct config_files* file = config_files; file != nullptr; file = file->next)
        for (struct config_line* line = file->start; line != nullptr; line = line->next)
            if (line->free_func != nullptr)
                line->free_func();
    read_configs();
}

int GetFreq(char** text, char separator, char* field)
{
    char* s = *text;
    char* at = strchr(s, separator);
    if (at != nullptr) {
        size_t n = (size_t)(at - s);
        memcpy(field, s, n);
        field[n] = '\0';
        *text = at + 1;
        return 1;
    }
    strcpy(field, s);
    *text = s + strlen(s);
    return 0;
}
