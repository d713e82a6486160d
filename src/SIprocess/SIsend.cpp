#include "SIprocess/SIsend.h"
#include "Comm/maccomm.h"
#include "Comm/slavelink.h"
#include "Common/commonfun.h"
#include "Common/thread.h"
#include "DTMB/dtmb_param.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "SIprocess/sip.h"
#include "SIprocess/tdttot.h"
#include "SIprocess/SIgenerate.h"
#include "TSprocess/tsp.h"
#include "Timer/timer.h"
#include <atomic>
#include <condition_variable>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

U8 g_u8MuxFlag = 0;
U8 u8MuxChannelFlag[8] = {0};
U8 u8TimePacketFlag[8] = {0};

namespace {

constexpr U16 kDefaultPSIInterval = 100;

SIPacket_t s_arstSIPacket;
// The carousel is empty from program start: all-zero memory would make
// every list head point at entry 0. The master's carousel thread may tick
// before the first apply emptied it (when that apply failed early).
const bool s_bCarouselEmptyAtStart = [] {
    for (U16& h : s_arstSIPacket.aru16OutTSSIInfo)
        h = SI_LIST_END;
    s_arstSIPacket.u8SendInterval = 1;
    return true;
}();
// Forwarding table: records of channels 4..7 for the slave (master) or
// received from the master (slave).
U32 arstTSPacket[SI_MAX_SUB_PACKET_NUM][SI_RECORD_WORDS];
TSPacketInfo_t arstTimePacketInfo[SI_MAX_TIME_PACKET_NUM];
// Messages for the slave chip, sent by a thread that holds no lock.
struct PeerMessage {
    U32 u32Key;
    std::vector<U8> data;
    std::function<void(std::vector<U8>&)> send;
};
// Never destroyed: the detached sender thread may still wait on it while
// the process exits.
struct Outbox {
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<PeerMessage> messages;
};
Outbox& s_outbox = *new Outbox;
std::mutex& s_outboxMutex = s_outbox.mutex;
std::condition_variable& s_outboxCond = s_outbox.cond;
std::vector<PeerMessage>& s_vecOutbox = s_outbox.messages;
// Set once the master's peer sender runs; until then a tick sends itself.
std::atomic<bool> s_bPeerSenderRunning{false};
// Next continuity counter per channel and PID of this chip. Every packet
// of a PID goes through here when it is written, so carousel tables,
// rotated sections, STT on the PSIP base PID and TDT/TOT on PID 20 all
// continue one sequence.
U8 s_aru8CcNext[8][8192];
U16 s_u16TickCount = 0;

std::mutex& SIMutex()
{
    static std::mutex m;
    return m;
}

inline U8 RecChannel(const U32* rec) { return (U8)(rec[0] >> 16); }
inline U8 RecNumbered(const U32* rec) { return (U8)(rec[1] >> 8); }
inline U8 RecOrdinal(const U32* rec) { return (U8)rec[1]; }
inline U16 RecPID(const U32* rec) { return (U16)((rec[2] >> 8) & 0x1FFF); }

// Stamps the channel's next counter of the record's PID and writes the
// record into the mailbox.
void WriteRecord(U32* rec)
{
    U8 c = RecChannel(rec);
    U16 pid = RecPID(rec);
    U8 cc = s_aru8CcNext[c][pid];
    s_aru8CcNext[c][pid] = (U8)((cc + 1) & 0x0F);
    rec[2] = (rec[2] & ~0x0Fu) | cc;
    FPGA_Comm_SendData(rec, SI_RECORD_WORDS);
}

void BuildRecord(U32* words, U8 b0, U8 channel, bool timeRecord, U8 numbered, U8 ordinal, U16 pid, bool start,
                 U8 cc, const U8* payload, U32 payloadLen, bool pointer)
{
    U8 rec[SI_RECORD_BYTES];
    memset(rec, 0xFF, sizeof(rec));
    rec[0] = b0;
    rec[1] = channel;
    if (timeRecord)
        rec[2] = 1;
    rec[6] = numbered;
    rec[7] = ordinal;
    U8* pkt = rec + 8;
    pkt[0] = 0x47;
    pkt[1] = (U8)(((pid >> 8) & 0x1F) | (start ? 0x40 : 0));
    pkt[2] = (U8)(pid & 0xFF);
    pkt[3] = (U8)(0x10 | (cc & 0x0F));
    U32 pos = 4;
    if (pointer)
        pkt[pos++] = 0;
    memcpy(pkt + pos, payload, payloadLen);
    Common_ChangeBit8To32(words, rec, SI_RECORD_BYTES);
}

U16 NextOf(U16 next) { return next >= SI_MAX_PACKET_NUM ? SI_LIST_END : next; }

// Bytes of the section starting here: section_length + 3.
U32 SectionBytes(const U8* sec) { return ((((U32)sec[1] & 0x0F) << 8) | sec[2]) + 3; }

// Stages one time table (at most one packet) in the time pool.
U32 AddTimeTable(const U8* pu8Section, U16 u16Len, U8 u8Channel, U16 u16PID, U8 u8Cc)
{
    if (pu8Section == nullptr || u16Len == 0 || u8Channel >= 8 || u16PID > 0x1FFE) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d input error channel[%u] pid[%u]\r\n\n", LOG_POS,
                   u8Channel, u16PID);
        return SSD_ERR_INPUT;
    }
    if (u16Len > 183) {
        // One staged record carries one packet; a longer time table would
        // go out cut short and fail its CRC.
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d time table of %u bytes does not fit one packet\r\n\n",
                   LOG_POS, u16Len);
        return SSD_ERR_DATA;
    }
    U16 idx = SI_LIST_END;
    if (SSD_GetUnuseTimeTSPacketIndex(&idx) != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP,
                   "%ld:%s:%d [SSD_AddTimeSITable]OutTSChannel:%d PID:%d SSD_GetUnuseTimeTSPacketIndex fail\r\n\n",
                   LOG_POS, u8Channel, u16PID);
        return SSD_ERR_RANGE;
    }
    SSD_InitTimeTSPacketInfo(idx);
    BuildRecord(arstTimePacketInfo[idx].aru32TSPacket, 0, u8Channel, true, 0, 0, u16PID, true, u8Cc, pu8Section,
                u16Len, true);
    return 0;
}

void ClearTimePool() { memset(arstTimePacketInfo, 0, sizeof(arstTimePacketInfo)); }

// Writes every staged time record in slot order.
void WriteTimePool(bool sttFlags)
{
    for (U16 i = 0; i < SI_MAX_TIME_PACKET_NUM; i++) {
        TSPacketInfo_t& slot = arstTimePacketInfo[i];
        if (slot.stList.u8ValidFlag != 1)
            continue;
        U32* rec = slot.aru32TSPacket;
        U8 c = RecChannel(rec);
        if (c >= 8)
            continue;
        if (sttFlags && RecPID(rec) == SI_PSIP_BASE_PID)
            u8TimePacketFlag[c] = 1;
        WriteRecord(rec);
    }
}

}  // namespace

std::mutex& SI_Mutex(void) { return SIMutex(); }

void SI_PthreadMux_Init(void)
{
    // The mutex itself is static and usable from program start, and the
    // forwarding table starts empty. On the slave the chip link runs before
    // this: rows the master sent meanwhile are kept, not wiped.
    std::lock_guard<std::mutex> lk(SIMutex());
}

void SI_PthreadMux_Lock(void) { SIMutex().lock(); }
void SI_PthreadMux_UnLock(void) { SIMutex().unlock(); }

SIPacket_t* SSD_GetSIPacketParam(void) { return &s_arstSIPacket; }
U8 SSD_GetSendInterval(void) { return s_arstSIPacket.u8SendInterval; }
void SSD_SetSendInterval(U8 u8Interval) { s_arstSIPacket.u8SendInterval = u8Interval; }
U32 (*SSD_GetSubPacketTable(void))[SI_RECORD_WORDS] { return arstTSPacket; }

U8 SSD_GetContinuityCounter(U8 u8Channel, U16 u16PID)
{
    if (u8Channel >= 8 || u16PID > 0x1FFF)
        return 0;
    return s_aru8CcNext[u8Channel][u16PID];
}

static void InitBroadcastSILocked()
{
    memset(&s_arstSIPacket, 0, sizeof(s_arstSIPacket));
    for (U16& h : s_arstSIPacket.aru16OutTSSIInfo)
        h = SI_LIST_END;
    s_arstSIPacket.u8SendInterval = 1;
}

void SSD_InitBroadcastSI(void)
{
    std::lock_guard<std::mutex> lk(SIMutex());
    InitBroadcastSILocked();
}

// Marks a packet slot of either pool used, with an all-0xFF record.
static void InitPacketSlot(TSPacketInfo_t& p, U16 u16Index)
{
    memset(&p.stList, 0, sizeof(p.stList));
    p.stList.u8ValidFlag = 1;
    p.stList.u16Index = u16Index;
    p.stList.u16NextIndex = SI_LIST_END;
    memset(p.aru32TSPacket, 0xFF, sizeof(p.aru32TSPacket));
}

void SSD_InitTSPacketInfo(U16 u16Index)
{
    if (u16Index < SI_MAX_PACKET_NUM)
        InitPacketSlot(s_arstSIPacket.arstTSPacketInfo[u16Index], u16Index);
}

void SSD_InitTimeTSPacketInfo(U16 u16Index)
{
    if (u16Index < SI_MAX_TIME_PACKET_NUM)
        InitPacketSlot(arstTimePacketInfo[u16Index], u16Index);
}

void SSD_InitSIPacketInfo(U16 u16OutTSIndex, U16 u16SIPacketIndex, U16 u16Pid)
{
    if (u16SIPacketIndex >= SI_MAX_PACKET_NUM)
        return;
    SIPacketInfo_t& e = s_arstSIPacket.arstSIPacketInfo[u16SIPacketIndex];
    memset(&e, 0, sizeof(e));
    e.stList.u8ValidFlag = 1;
    e.stList.u16Index = u16SIPacketIndex;
    e.stList.u16NextIndex = SI_LIST_END;
    e.u16TSPacketIndex = SI_LIST_END;
    e.u16OutTSIndex = u16OutTSIndex;
    e.u16PID = u16Pid;
}

static U32 GetUnuseList(U16 want, U16* list, U16 inUse, bool packets)
{
    if (list == nullptr)
        return SSD_ERR_INPUT;
    if ((U32)inUse + want > SI_MAX_PACKET_NUM) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d get UnusePacketNum:%d not enough\r\n\n", LOG_POS, want);
        return SSD_ERR_RANGE;
    }
    U16 found = 0;
    for (U16 i = 0; i < SI_MAX_PACKET_NUM && found < want; i++) {
        U8 flag = packets ? s_arstSIPacket.arstTSPacketInfo[i].stList.u8ValidFlag
                          : s_arstSIPacket.arstSIPacketInfo[i].stList.u8ValidFlag;
        if (flag != 1)
            list[found++] = i;
    }
    if (found < want) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d get UnusePacketNum:%d fail\r\n\n", LOG_POS, want);
        return SSD_ERR_RANGE;
    }
    return 0;
}

U32 SSD_GetUnuseTSPacketIndexList(U16 u16UnusePacketNum, U16* aru16UnuseList)
{
    return GetUnuseList(u16UnusePacketNum, aru16UnuseList, s_arstSIPacket.u16TSPacketNum, true);
}

U32 SSD_GetUnuseSIPacketIndexList(U16 u16UnusePacketNum, U16* aru16UnuseList)
{
    return GetUnuseList(u16UnusePacketNum, aru16UnuseList, s_arstSIPacket.u16SIInfoNum, false);
}

U32 SSD_GetUnuseTimeTSPacketIndex(U16* pu16Index)
{
    if (pu16Index == nullptr)
        return SSD_ERR_INPUT;
    for (U16 i = 0; i < SI_MAX_TIME_PACKET_NUM; i++) {
        if (arstTimePacketInfo[i].stList.u8ValidFlag != 1) {
            *pu16Index = i;
            return 0;
        }
    }
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d get UnuseTimePacketNum fail\r\n\n", LOG_POS);
    return SSD_ERR_RANGE;
}

U16 SSD_GetLastSIPacketIndex(U16 u16OutTSIndex)
{
    if (u16OutTSIndex >= SI_MAX_OUTTS_NUM)
        return SI_LIST_END;
    U16 cur = NextOf(s_arstSIPacket.aru16OutTSSIInfo[u16OutTSIndex]);
    U16 guard = 0;
    while (cur != SI_LIST_END && guard++ < SI_MAX_PACKET_NUM) {
        U16 next = NextOf(s_arstSIPacket.arstSIPacketInfo[cur].stList.u16NextIndex);
        if (next == SI_LIST_END)
            return cur;
        cur = next;
    }
    return SI_LIST_END;
}

U16 SSD_GetLastTSPacketIndex(U16 u16SIPacketIndex)
{
    if (u16SIPacketIndex >= SI_MAX_PACKET_NUM)
        return SI_LIST_END;
    U16 cur = NextOf(s_arstSIPacket.arstSIPacketInfo[u16SIPacketIndex].u16TSPacketIndex);
    U16 guard = 0;
    while (cur != SI_LIST_END && guard++ < SI_MAX_PACKET_NUM) {
        U16 next = NextOf(s_arstSIPacket.arstTSPacketInfo[cur].stList.u16NextIndex);
        if (next == SI_LIST_END)
            return cur;
        cur = next;
    }
    return SI_LIST_END;
}

U32 SSD_DelOneBroadcastSI(U16 u16OutTSIndex)
{
    if (u16OutTSIndex >= SI_MAX_OUTTS_NUM)
        return SSD_ERR_INPUT;
    std::lock_guard<std::mutex> lk(SIMutex());
    SIPacket_t& c = s_arstSIPacket;
    U16 e = NextOf(c.aru16OutTSSIInfo[u16OutTSIndex]);
    U16 guardE = 0;
    while (e != SI_LIST_END && guardE++ < SI_MAX_PACKET_NUM) {
        SIPacketInfo_t& ent = c.arstSIPacketInfo[e];
        U16 p = NextOf(ent.u16TSPacketIndex);
        U16 guardP = 0;
        while (p != SI_LIST_END && guardP++ < SI_MAX_PACKET_NUM) {
            U16 np = NextOf(c.arstTSPacketInfo[p].stList.u16NextIndex);
            memset(&c.arstTSPacketInfo[p], 0, sizeof(TSPacketInfo_t));
            if (c.u16TSPacketNum > 0)
                c.u16TSPacketNum--;
            p = np;
        }
        U16 ne = NextOf(ent.stList.u16NextIndex);
        memset(&ent, 0, sizeof(ent));
        if (c.u16SIInfoNum > 0)
            c.u16SIInfoNum--;
        e = ne;
    }
    c.aru16OutTSSIInfo[u16OutTSIndex] = SI_LIST_END;
    return 0;
}

namespace {

// Packets of one section in the carousel (its pointer field included).
U32 SectionPackets(U32 len) { return (len + 1 + 183) / 184; }

// Adds one table as one entry of an output stream's list; the caller holds
// SIMutex and has checked the arguments. An entry that is a part of a larger
// table rotates through all u8TableNumbered numbered sections of that table,
// its own counted from u8OrdinalBase + 1.
U32 AddTableLocked(const U8* pu8Section, U16 u16BuffLength, U16 u16OutTSIndex, U16 u16PID, U8 channel,
                   U8 u8TableNumbered = 0, U8 u8OrdinalBase = 0)
{
    SIPacket_t& c = s_arstSIPacket;

    // First pass: section count, numbered sections and packets needed.
    U32 pos = 0, packets = 0, sections = 0, numbered = 0;
    while (pos < u16BuffLength) {
        if (pos + 3 > u16BuffLength) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d AllLength:%d TempLength:%d\r\n\n", LOG_POS,
                       u16BuffLength, pos);
            return SSD_ERR_DATA;
        }
        U32 len = SectionBytes(pu8Section + pos);
        if (pos + len > u16BuffLength) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d AllLength:%d TempLength:%d\r\n\n", LOG_POS,
                       u16BuffLength, pos + len);
            return SSD_ERR_DATA;
        }
        if (len > 6 && pu8Section[pos + 6] != 0) {
            if (++numbered > SI_MAX_NUMBERED_SECTION_NUM) {
                log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d SendSectionNum:%d out of range\r\n\n",
                           LOG_POS, numbered);
                return SSD_ERR_RANGE;
            }
        }
        packets += SectionPackets(len);
        sections++;
        pos += len;
    }
    if (c.u16SIInfoNum >= SI_MAX_PACKET_NUM) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d PacketInfoIndex is over:%d!\r\n\n", LOG_POS,
                   c.u16SIInfoNum);
        return SSD_ERR_RANGE;
    }
    if (c.u16TSPacketNum + packets > SI_MAX_PACKET_NUM) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d SINum is over:%d!\r\n\n", LOG_POS,
                   c.u16TSPacketNum + packets);
        return SSD_ERR_RANGE;
    }
    if (packets > SI_MAX_TABLE_PACKET_NUM) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d AllPacketNum:%d is over!\r\n\n", LOG_POS, packets);
        return SSD_ERR_RANGE;
    }
    U16 entry = 0;
    U16 slots[SI_MAX_TABLE_PACKET_NUM];
    if (SSD_GetUnuseSIPacketIndexList(1, &entry) != 0 || SSD_GetUnuseTSPacketIndexList((U16)packets, slots) != 0)
        return SSD_ERR_RANGE;

    const U32 rotation = numbered > u8TableNumbered ? numbered : u8TableNumbered;
    SSD_InitSIPacketInfo(u16OutTSIndex, entry, u16PID);
    SIPacketInfo_t& e = c.arstSIPacketInfo[entry];
    e.u16TSPacketIndex = slots[0];
    e.u8TotalSectionNum = (U8)sections;
    e.u8OverOneSectionTotalNum = (U8)rotation;
    e.u8PacketNum = (U8)packets;
    e.u8SendFlag = 1;
    c.u16SIInfoNum++;

    // Second pass: cut the sections into packets.
    U32 k = 0;
    U8 ordinal = u8OrdinalBase, cc = 0;
    pos = 0;
    while (pos < u16BuffLength) {
        U32 len = SectionBytes(pu8Section + pos);
        if (len > 6 && pu8Section[pos + 6] != 0)
            ordinal++;
        U32 off = 0;
        bool first = true;
        while (off < len) {
            U32 room = first ? 183 : 184;
            U32 n = len - off < room ? len - off : room;
            U16 slot = slots[k];
            SSD_InitTSPacketInfo(slot);
            BuildRecord(c.arstTSPacketInfo[slot].aru32TSPacket, (U8)packets, channel, false, (U8)rotation, ordinal,
                        u16PID, first, cc, pu8Section + pos + off, n, first);
            if (k > 0)
                c.arstTSPacketInfo[slots[k - 1]].stList.u16NextIndex = slot;
            c.u16TSPacketNum++;
            cc = (U8)((cc + 1) & 0x0F);
            off += n;
            first = false;
            k++;
        }
        pos += len;
    }

    U16 last = SSD_GetLastSIPacketIndex(u16OutTSIndex);
    if (last == SI_LIST_END)
        c.aru16OutTSSIInfo[u16OutTSIndex] = entry;
    else
        c.arstSIPacketInfo[last].stList.u16NextIndex = entry;
    return 0;
}

// The output channel of a stream, for a table that is about to be added.
U32 TableChannel(const U8* pu8Section, U16 u16BuffLength, U16 u16OutTSIndex, U16 u16PID, U8* pu8Channel)
{
    U32 tsCount = TSP_GetTSParam() ? TSP_GetTSParam()->u32OutputTSNumber : 0;
    if (pu8Section == nullptr || u16BuffLength == 0 || u16OutTSIndex >= tsCount ||
        u16OutTSIndex >= SI_MAX_OUTTS_NUM || u16PID > 0x1FFE) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d input error ts index[%d],pid[%d]\r\n\n", LOG_POS,
                   u16OutTSIndex, u16PID);
        return SSD_ERR_INPUT;
    }
    U8 u8Slot = 0;
    U16 u16Channel = 0;
    U32 ret = TSP_GetDestInfoByOutTSIndex(u16OutTSIndex, TSP_GetTSParam(), &u8Slot, &u16Channel);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d OutTSIndex:%d TSP_GetDestInfoByOutTSIndex fail\r\n\n",
                   LOG_POS, u16OutTSIndex);
        return ret;
    }
    // A packet carries the channel's low bits: another channel's tables
    // would go out on one the card has.
    if (u16Channel > TSP_MAX_CHANNEL_ID) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d OutTSIndex:%d channel[%u] out of range\r\n\n", LOG_POS,
                   u16OutTSIndex, u16Channel);
        return SSD_ERR_INPUT;
    }
    *pu8Channel = (U8)(u16Channel & 0xFF);
    return 0;
}

}  // namespace

U32 SSD_AddBroadcastSI(U8* pu8Section, U16 u16BuffLength, U16 u16OutTSIndex, U16 u16PID)
{
    U8 channel = 0;
    U32 ret = TableChannel(pu8Section, u16BuffLength, u16OutTSIndex, u16PID, &channel);
    if (ret != 0)
        return ret;
    std::lock_guard<std::mutex> lk(SIMutex());
    return AddTableLocked(pu8Section, u16BuffLength, u16OutTSIndex, u16PID, channel);
}

U32 SSD_SplitTable(const U8* pu8Section, U32 u32Length, std::vector<SSD_TablePart>* pParts)
{
    if (pu8Section == nullptr || pParts == nullptr)
        return SSD_ERR_INPUT;
    pParts->clear();
    SSD_TablePart cur{0, 0, 0, 0};
    U32 pos = 0;
    while (pos < u32Length) {
        if (pos + 3 > u32Length || pos + SectionBytes(pu8Section + pos) > u32Length)
            return SSD_ERR_DATA;
        const U32 len = SectionBytes(pu8Section + pos);
        const U32 packets = SectionPackets(len);
        const U32 numbered = len > 6 && pu8Section[pos + 6] != 0 ? 1 : 0;
        // A section runs at most 4,098 bytes (23 packets): it always fits an
        // entry of its own.
        if (cur.u32Length != 0 && (cur.u32Packets + packets > SI_MAX_TABLE_PACKET_NUM ||
                                   cur.u32Numbered + numbered > SI_MAX_NUMBERED_SECTION_NUM)) {
            pParts->push_back(cur);
            cur = SSD_TablePart{pos, 0, 0, 0};
        }
        cur.u32Length += len;
        cur.u32Packets += packets;
        cur.u32Numbered += numbered;
        pos += len;
    }
    if (cur.u32Length != 0)
        pParts->push_back(cur);
    return 0;
}

U32 SSD_ReplaceBroadcastSI(const std::vector<SSD_Table>& tables)
{
    U32 failed = 0;
    std::vector<U8> channels(tables.size(), 0);
    for (size_t i = 0; i < tables.size(); i++) {
        const SSD_Table& t = tables[i];
        if (TableChannel(t.data.data(), (U16)t.data.size(), t.u16OutTSIndex, t.u16PID, &channels[i]) != 0 ||
            t.data.size() > 0xFFFF)
            channels[i] = 0xFF;
    }
    std::lock_guard<std::mutex> lk(SIMutex());
    InitBroadcastSILocked();
    for (size_t i = 0; i < tables.size(); i++) {
        const SSD_Table& t = tables[i];
        if (channels[i] == 0xFF ||
            AddTableLocked(t.data.data(), (U16)t.data.size(), t.u16OutTSIndex, t.u16PID, channels[i],
                           t.u8TableNumbered, t.u8OrdinalBase) != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d OutTSIndex:%u PID:%u not taken\r\n\n", LOG_POS,
                       t.u16OutTSIndex, t.u16PID);
            failed++;
        }
    }
    return failed;
}

void SSD_SendBroadcastSI(void)
{
    SIPacket_t& c = s_arstSIPacket;
    U32 subRows = 0;
    for (U16 ts = 0; ts < SI_MAX_OUTTS_NUM; ts++) {
        U16 e = NextOf(c.aru16OutTSSIInfo[ts]);
        U16 guardE = 0;
        // A slot not in use ends a chain: it holds no record to send.
        while (e != SI_LIST_END && guardE++ < SI_MAX_PACKET_NUM && c.arstSIPacketInfo[e].stList.u8ValidFlag == 1) {
            SIPacketInfo_t& ent = c.arstSIPacketInfo[e];
            U16 p = NextOf(ent.u16TSPacketIndex);
            U16 guardP = 0;
            while (p != SI_LIST_END && guardP++ < SI_MAX_PACKET_NUM && c.arstTSPacketInfo[p].stList.u8ValidFlag == 1) {
                U32* rec = c.arstTSPacketInfo[p].aru32TSPacket;
                U8 ch = RecChannel(rec);
                if (ch < 8) {
                    U8 numbered = RecNumbered(rec);
                    bool due = !(c.u8SendInterval != 0 && numbered != 0) ||
                               (ent.u16SISendSection % (numbered + 1)) == RecOrdinal(rec);
                    if (due) {
                        u8MuxChannelFlag[ch] = 1;
                        if (__atomic_load_n(&u8PSIEnable[ch], __ATOMIC_RELAXED) == 1)
                            WriteRecord(rec);
                    }
                    // The slave repeats what it got on every tick, so the
                    // forward after an apply carries every section.
                    if (g_u8MuxFlag == 1 && ch >= 4) {
                        if (subRows < SI_MAX_SUB_PACKET_NUM)
                            memcpy(arstTSPacket[subRows++], rec, SI_RECORD_BYTES);
                        else
                            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP,
                                       "%ld:%s:%d Slave Psi table number out of range %u\r\n\n", LOG_POS, subRows);
                    }
                }
                p = NextOf(c.arstTSPacketInfo[p].stList.u16NextIndex);
            }
            if (c.u8SendInterval != 0) {
                ent.u16SISendSection++;
                if (ent.u16SISendSection > ent.u8OverOneSectionTotalNum)
                    ent.u16SISendSection = 0;
            } else {
                ent.u16SISendSection = 0;
            }
            e = NextOf(ent.stList.u16NextIndex);
        }
    }
    if (g_u8MuxFlag == 1) {
        g_u8MuxFlag = 0;
        SSD_SendSubPSITable();
        memset(arstTSPacket, 0, sizeof(arstTSPacket));
    }
    memset(u8TimePacketFlag, 0, sizeof(u8TimePacketFlag));
}

void SSD_SendSubPSITable(void)
{
    // Posted only: the peer sender sends it with no lock held.
    U32 rows = 0;
    while (rows < SI_MAX_SUB_PACKET_NUM && arstTSPacket[rows][0] != 0)
        rows++;
    std::vector<U32> words((size_t)(rows + 1) * SI_RECORD_WORDS, 0);
    memcpy(words.data(), arstTSPacket, (size_t)rows * SI_RECORD_BYTES);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SIP, "%ld:%s:%d %d PSI send to sub FPGA\r\n\n", LOG_POS, rows + 1);
    SSD_PostSubMessage(ZR_COM_MAC_CMD_PARAMS_PSI_TABLE, reinterpret_cast<const U8*>(words.data()),
                       (rows + 1) * SI_RECORD_BYTES);
}

void SSD_PostPeerMessage(U32 u32Key, std::vector<U8> data, std::function<void(std::vector<U8>&)> send)
{
    std::lock_guard<std::mutex> lk(s_outboxMutex);
    for (auto it = s_vecOutbox.begin(); it != s_vecOutbox.end(); ++it) {
        if (it->u32Key == u32Key) {
            s_vecOutbox.erase(it);
            break;
        }
    }
    s_vecOutbox.push_back({u32Key, std::move(data), std::move(send)});
    s_outboxCond.notify_one();
}

void SSD_PostSubMessage(ZR_COM_MAC_CMD emCmd, const U8* pu8Data, U32 u32DataLen)
{
    // The chip link has a worker of its own: a slave that stalls delays no
    // other peer.
    SlaveLink_Post(emCmd, pu8Data, u32DataLen);
}

BOOL SSD_GetPendingPeerMessage(U32 u32Key, std::vector<U8>* pData)
{
    if (u32Key <= 0xFFFF)
        return SlaveLink_Pending(u32Key, pData);
    std::lock_guard<std::mutex> lk(s_outboxMutex);
    for (PeerMessage& m : s_vecOutbox) {
        if (m.u32Key == u32Key) {
            if (pData)
                *pData = m.data;
            return 1;
        }
    }
    return 0;
}

static void FlushPeers(void)
{
    std::vector<PeerMessage> out;
    {
        std::lock_guard<std::mutex> lk(s_outboxMutex);
        out.swap(s_vecOutbox);
    }
    for (PeerMessage& m : out)
        m.send(m.data);
}

void SSD_FlushSubMessages(void)
{
    SlaveLink_Flush();
    FlushPeers();
}

// Sends what the outbox holds as soon as it holds something. A thread of
// its own, so that a slow or absent peer never delays SI insertion.
static void* SSD_PeerSender(void*)
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(s_outboxMutex);
            s_outboxCond.wait(lk, [] { return !s_vecOutbox.empty(); });
        }
        FlushPeers();
    }
    return nullptr;
}

void SSD_StartPeerSender(void)
{
    SlaveLink_Start();
    if (s_bPeerSenderRunning.exchange(true))
        return;
    if (THREAD_NEW_DETACH(SSD_PeerSender, nullptr, "SSD_PeerSender") == 0)
        s_bPeerSenderRunning = false;
}

U32 SSD_ReceiveSubSIInfo(U8* pu8Data, U32 u32DataLen)
{
    if (pu8Data == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return 0xFFFF;
    }
    std::lock_guard<std::mutex> lk(SIMutex());
    memset(u8MuxChannelFlag, 0, sizeof(u8MuxChannelFlag));
    memset(arstTSPacket, 0, sizeof(arstTSPacket));
    U32 rows = 0;
    while (rows < SI_MAX_SUB_PACKET_NUM && (rows + 1) * SI_RECORD_BYTES <= u32DataLen) {
        memcpy(arstTSPacket[rows], pu8Data + rows * SI_RECORD_BYTES, SI_RECORD_BYTES);
        rows++;
        if (arstTSPacket[rows - 1][0] == 0)
            break;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SIP, "%ld:%s:%d Receive Sub SI Info [%d]\r\n\n", LOG_POS, rows);
    return 0;
}

void SSD_WriteSubBroadcastSI(void)
{
    for (U32 r = 0; r < SI_MAX_SUB_PACKET_NUM; r++) {
        U32* rec = arstTSPacket[r];
        if (rec[0] == 0)
            continue;
        U8 ch = RecChannel(rec);
        if (ch >= 8 || (rec[2] >> 24) != 0x47)
            continue;
        u8MuxChannelFlag[ch] = 1;
        if (__atomic_load_n(&u8PSIEnable[ch], __ATOMIC_RELAXED) == 1)
            WriteRecord(rec);
    }
    memset(u8TimePacketFlag, 0, sizeof(u8TimePacketFlag));
}

U32 SSD_AddTimeSITable(U8* pu8Section, U16 u16BuffLength, U8 u8ChannelId, U16 u16PID)
{
    return AddTimeTable(pu8Section, u16BuffLength, u8ChannelId, u16PID, 0);
}

U32 SSD_AddTimeSITableTDT(U8* pu8Section, U16 u16BuffLength, U8 u8ChannelId, U16 u16PID, U8 u8ContinuousCount)
{
    return AddTimeTable(pu8Section, u16BuffLength, u8ChannelId, u16PID, u8ContinuousCount);
}

void SSD_SendTimeSITableStt(void)
{
    ClearTimePool();
    TSP_ConstructSTT();
    WriteTimePool(true);
}

void SSD_SendTimeSITable(void)
{
    ClearTimePool();
    TSP_ConstructTDT();
    TSP_ConstructTOT();
    WriteTimePool(false);
}

void SIPacket_ResetTickCount(void) { s_u16TickCount = 0; }

void SIPacket_Tick(CHIP_TYPE emChipType)
{
    {
        std::lock_guard<std::mutex> lk(SIMutex());
        if (emChipType == CHIP_TYPE_MAIN)
            SSD_SendBroadcastSI();
        else if (emChipType == CHIP_TYPE_SUB)
            SSD_WriteSubBroadcastSI();
        // The STT goes out on every tick from the state published for it.
        SSD_SendTimeSITableStt();
        // The TDT/TOT builders read the database and the resource table
        // under the card-state lock. It is taken only if free: a try never
        // waits, so it cannot deadlock with an apply that holds it and waits
        // for the carousel lock. While it is busy the TDT and TOT wait for a
        // later tick; the packets go out all the same.
        CardStateLock card(Card_StateMutex(), std::try_to_lock);
        U16 p = 0;
        TSP_GetPSIInterval(&p);
        // Compared before it counts this tick: TDT and TOT go out on tick
        // 15000 / p + 1 and then every 15000 / p - 1 ticks. With an interval
        // above 7.5 s the count has passed 15000 / p after the first round:
        // the time tables then go out on every tick instead of stopping.
        bool due = s_u16TickCount >= (U16)(15000 / p);
        if (!due || card.owns_lock()) {
            if (due) {
                SSD_SendTimeSITable();
                s_u16TickCount = 1;
            }
            s_u16TickCount++;
        }
    }
    if (emChipType == CHIP_TYPE_MAIN && !s_bPeerSenderRunning)
        SSD_FlushSubMessages();
}

void* SIPacket_Service(void*)
{
    CHIP_TYPE chip = FPGA_GetChipType();
    U32 seen = GetTimeCnt();
    for (;;) {
        // The timer posts every tick; the bound only covers a timer not started yet.
        U32 now = Timer_WaitTick(seen, 1000);
        if (now != seen) {
            SIPacket_Tick(chip);
            seen = GetTimeCnt();
        }
    }
    return nullptr;
}

zrErrCode SIPacket_Start(void)
{
    // A second carousel thread would send every packet twice per tick.
    static std::atomic<bool> started{false};
    if (started.exchange(true)) {
        log_printf(LOG_LEVEL_WARNING, LOG_MODULE_SIP, "%ld:%s:%d SIPacket thread already running\r\n\n", LOG_POS);
        return ZR_SUCCESS;
    }
    pthread_attr_t attr;
    pthread_t tid;
    pthread_attr_init(&attr);
    int ret = Thread_Create(&tid, &attr, SIPacket_Service, nullptr);
    pthread_attr_destroy(&attr);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d SIPacket thread create error :%s(errno: %d)\r\n\n",
                   LOG_POS, strerror(ret), ret);
        started = false;
        return ZR_ERR_COMM_PTHREAD_CREAT;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SIP, "%ld:%s:%d SIPacket create successfully!\r\n\n", LOG_POS);
    ret = pthread_detach(tid);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d SIPacket thread detach error :%s(errno: %d)\r\n\n",
                   LOG_POS, strerror(ret), ret);
        return ZR_ERR_COMM_PTHREAD_CREAT;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SIP, "%ld:%s:%d SIPacket pthread detach successfully!\r\n\n", LOG_POS);
    return ZR_SUCCESS;
}

void SIP_Init(void)
{
    SI_PthreadMux_Init();
    U16 p = 0;
    TSP_GetPSIInterval(&p);
    Timer_Start((U32)p * 1000);
    if (FPGA_GetChipType() == CHIP_TYPE_MAIN)
        SSD_StartPeerSender();
    SIPacket_Start();
}

// The carousel thread reads the interval while web and SNMP handlers write it.
static std::atomic_ref<U16> PSIIntervalRef()
{
    return std::atomic_ref<U16>(GetQAMIPMonitor_Handle()->u16PSIInterval);
}

U32 TSP_GetPSIInterval(U16* pu16Time)
{
    if (pu16Time == nullptr)
        return TSP_ERR_INPUT;
    U16 v = PSIIntervalRef().load(std::memory_order_relaxed);
    // A stored 0 would stop the timer and divide by zero: use the default.
    *pu16Time = v == 0 ? kDefaultPSIInterval : v;
    return 0;
}

// Stores a PSI interval and re-arms the tick timer; 0 is refused (the
// timer would spin and the TDT/TOT period divides by it).
static U32 StorePSIInterval(U16 v)
{
    if (v == 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d PSI interval 0 refused\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    PSIIntervalRef().store(v);
    Timer_Init((U32)v * 1000);
    return 0;
}

U32 TSP_SetPSIInterval(U16 u16Time)
{
    if (StorePSIInterval(u16Time) != 0)
        return TSP_ERR_INPUT;
    // Saved, so that a restarted master runs at the interval the slave saved
    // (also unchanged: the live value is what counts).
    QAM_IPMonitorPara ip = *GetQAMIPMonitor_Handle();
    zrErrCode saved = PARAMS_SetIPMonitorParams(&ip);
    // Sent also when the master's value did not change: the slave may run
    // another one. The web and SNMP callers hold the card-state lock: the
    // carousel thread sends it.
    U8 buf[2] = {(U8)(u16Time & 0xFF), (U8)(u16Time >> 8)};
    SSD_PostSubMessage(ZR_COM_MAC_CMD_PARAMS_PSI_INTERVAL, buf, sizeof(buf));
    return saved == ZR_SUCCESS ? 0 : (U32)ZR_ERR_NOT_SAVED;
}

U32 TSP_SetSlavePSIInterval(U8* pu8Data, U32 u32DataLen)
{
    if (pu8Data == nullptr || u32DataLen < 2) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    U16 v = (U16)(pu8Data[0] | (pu8Data[1] << 8));
    if (StorePSIInterval(v) != 0)
        return TSP_ERR_INPUT;
    // The master gets no answer: a failed save is in the log.
    QAM_IPMonitorPara ip = *GetQAMIPMonitor_Handle();
    return PARAMS_SetIPMonitorParams(&ip) == ZR_SUCCESS ? 0 : (U32)ZR_ERR_NOT_SAVED;
}
