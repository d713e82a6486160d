// The operator's NIT of each output stream: its sections stored as table
// records of the working copy, edits on one merged section, cable delivery
// descriptors, the automatic NIT, export and import.
#include "TSprocess/tsp_nit.h"
#include "TSprocess/tsp_plan.h"
#include "Common/commonfun.h"
#include "Common/thread.h"
#include "DTMB/dtmb_param.h"
#include "Driver/RF/modulate.h"
#include "Parameter/parameters.h"
#include "Log/log.h"
#include "SIprocess/SIconstruct.h"
#include "SIprocess/SItable.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_view.h"
#include "Web/web.h"
#include <cstring>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<U8>;

constexpr U32 kMergedMax = 40000;
constexpr U32 kLen12Max = 0x0FFF;      // the NIT's 12-bit length fields
constexpr U32 kNetDescMax = 1006;      // network loop the splitter accepts
constexpr U32 kEntryDescMax = 1000;    // descriptors of one transport-stream entry
constexpr U32 kNitSectionMin = 16;     // header, both loop lengths and CRC_32

#define NIT_ERR(fmt, ...) log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d " fmt "\r\n\n", LOG_POS, ##__VA_ARGS__)

U32 Len12(const U8* p) { return ((U32)(p[0] & 0x0F) << 8) | p[1]; }

// The database the NIT operations edit: the working copy, or the live
// database while TSP_ApplyNITsToLive runs.
Output_TSInfo* s_pNitTarget = nullptr;

Output_TSInfo* NitDb() { return s_pNitTarget != nullptr ? s_pNitTarget : TSP_GetTempTSParam(); }

// One merged NIT section taken apart, so that every edit is a change of
// this model and one serialisation with fresh lengths and CRC.
struct NitModel {
    U16 u16NetworkId = 0;
    U8 u8Byte5 = 0xC1;  // reserved bits, version, current_next
    Bytes net;
    struct Entry {
        U16 tsid, onid;
        Bytes desc;
    };
    std::vector<Entry> entries;

    bool Parse(const U8* s, U32 len)
    {
        if (len < 16 || s[0] != 0x40)
            return false;
        const U32 total = Len12(s + 1) + 3;
        if (total > len || total < 16)
            return false;
        u16NetworkId = (U16)(s[3] << 8 | s[4]);
        u8Byte5 = s[5];
        const U32 ndl = Len12(s + 8);
        if (10 + ndl + 2 > total - 4)
            return false;
        net.assign(s + 10, s + 10 + ndl);
        const U32 tsl = Len12(s + 10 + ndl);
        U32 pos = 12 + ndl;
        if (pos + tsl > total - 4)
            return false;
        const U32 end = pos + tsl;
        entries.clear();
        while (pos + 6 <= end) {
            const U32 dl = Len12(s + pos + 4);
            if (pos + 6 + dl > end)
                return false;
            entries.push_back({(U16)(s[pos] << 8 | s[pos + 1]), (U16)(s[pos + 2] << 8 | s[pos + 3]),
                               Bytes(s + pos + 6, s + pos + 6 + dl)});
            pos += 6 + dl;
        }
        return pos == end;
    }
    // The merged section; empty when a length would not fit its field.
    Bytes Build() const
    {
        U32 tsl = 0;
        for (const Entry& e : entries) {
            if (e.desc.size() > kLen12Max)
                return {};
            tsl += 6 + (U32)e.desc.size();
        }
        const U32 total = 12 + (U32)net.size() + tsl + 4;
        if (net.size() > kLen12Max || tsl > kLen12Max || total - 3 > kLen12Max || total > kMergedMax)
            return {};
        Bytes b(total, 0);
        b[0] = 0x40;
        b[3] = (U8)(u16NetworkId >> 8);
        b[4] = (U8)u16NetworkId;
        b[5] = u8Byte5;
        b[8] = (U8)(0xF0 | (net.size() >> 8));
        b[9] = (U8)net.size();
        std::copy(net.begin(), net.end(), b.begin() + 10);
        U32 pos = 10 + (U32)net.size();
        b[pos] = (U8)(0xF0 | (tsl >> 8));
        b[pos + 1] = (U8)tsl;
        pos += 2;
        for (const Entry& e : entries) {
            b[pos] = (U8)(e.tsid >> 8);
            b[pos + 1] = (U8)e.tsid;
            b[pos + 2] = (U8)(e.onid >> 8);
            b[pos + 3] = (U8)e.onid;
            b[pos + 4] = (U8)(0xF0 | (e.desc.size() >> 8));
            b[pos + 5] = (U8)e.desc.size();
            std::copy(e.desc.begin(), e.desc.end(), b.begin() + pos + 6);
            pos += 6 + (U32)e.desc.size();
        }
        b[1] = (U8)(0xF0 | ((total - 3) >> 8));
        b[2] = (U8)(total - 3);
        const U32 crc = Common_CRC_Calculate(b.data(), total - 4, 0xFFFFFFFFu);
        for (int i = 0; i < 4; i++)
            b[total - 4 + i] = (U8)(crc >> (24 - 8 * i));
        return b;
    }
};

// Descriptor positions within a loop of descriptors: offset of the n-th, or -1.
long DescOffset(const Bytes& loop, U32 n)
{
    U32 pos = 0;
    for (U32 i = 0; pos + 2 <= loop.size(); i++) {
        if (pos + 2 + loop[pos + 1] > loop.size())
            return -1;
        if (i == n)
            return (long)pos;
        pos += 2 + loop[pos + 1];
    }
    return -1;
}

// The same in a transport stream entry's loop; -1 also where the entry is missing.
long EntryDescOffset(const NitModel& m, U32 u32Entry, U32 n)
{
    return u32Entry < m.entries.size() ? DescOffset(m.entries[u32Entry].desc, n) : -1;
}

// Takes out the descriptor DescOffset found.
void EraseDesc(Bytes& loop, long off)
{
    loop.erase(loop.begin() + off, loop.begin() + off + 2 + loop[off + 1]);
}

Bytes DescBytes(const dvbpsi_descriptor_t* d)
{
    Bytes b(2u + d->i_length);
    b[0] = d->i_tag;
    b[1] = d->i_length;
    memcpy(b.data() + 2, d->auc_data, d->i_length);
    return b;
}

// The working copy's stream of a channel; the channel must be an output channel.
U16 StreamOfChannel(int nChannel)
{
    if (nChannel < 0 || nChannel >= (int)TSP_WEB_CHANNEL_MAX)
        return TSP_INVALID_INDEX;
    return TSP_FindStreamOfChannel(NitDb(), (U16)nChannel);
}

// Collects a stream's stored NIT into one merged model. 1 when it has none.
U32 LoadModel(U16 ts, NitModel* m)
{
    auto raw = std::make_unique<NITBuf_t>();
    auto merged = std::make_unique<NITBuf_t>();
    U32 ret = TSP_GetOutputNITTable(ts, NitDb(), raw.get());
    if (ret != 0)
        return ret;
    ret = SIP_ConstructBigNITSection(raw.get(), merged.get());
    if (ret != 0) {
        NIT_ERR("SIP_ConstructBigNITSection error");
        return ret;
    }
    return m->Parse(merged->aru8OutputNITSection, merged->u16NITLength) ? 0 : TSP_ERR_LIST_RANGE;
}

// Stores an edited model as the stream's NIT.
U32 StoreModel(U16 ts, const NitModel& m)
{
    Bytes b = m.Build();
    if (b.empty()) {
        NIT_ERR("edited NIT out of range");
        return TSP_ERR_NIT_SPACE;
    }
    auto buf = std::make_unique<NITBuf_t>();
    memcpy(buf->aru8OutputNITSection, b.data(), b.size());
    buf->u16NITLength = (U16)b.size();
    buf->u32OutputNITSectionOffset = (U32)b.size();
    return TSP_NITBuf2TSOutputTable(ts, buf.get());
}

// The editing pattern: the channel's NIT (created empty first when asked),
// one change of the model, then the write-back.
template <typename F>
U32 EditNIT(int nChannel, bool bCreate, U16 u16NewNetworkId, F change)
{
    CARD_STATE_LOCK();
    const U16 ts = StreamOfChannel(nChannel);
    if (ts == TSP_INVALID_INDEX) {
        NIT_ERR("channel[%d] has no output stream", nChannel);
        return TSP_ERR_INPUT;
    }
    NitModel m;
    U32 ret = LoadModel(ts, &m);
    if (ret == 1 && bCreate) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d NIT table not exist, create\r\n\n", LOG_POS);
        ret = SIP_ConstructNITTable((U16)nChannel, u16NewNetworkId);
        if (ret != 0) {
            NIT_ERR("SIP_ConstructNITTable  error");
            return ret;
        }
        ret = LoadModel(ts, &m);
        if (ret != 0) {
            NIT_ERR("Creat NIT error");
            return ZR_ERR_SIP_NIT_NO_EXIST;
        }
    }
    if (ret != 0)
        return ret;
    ret = change(m);
    if (ret != 0)
        return ret;
    return StoreModel(ts, m);
}

// Frees a table record so that nothing can take it for an input card's.
void FreeNITRecord(TSTable& t)
{
    memset(&t, 0, sizeof(t));
    t.u8ValidFlag = 0xFF;
    t.u16Index = TSP_INVALID_INDEX;
    t.u16NextIndex = TSP_INVALID_INDEX;
}

// Sections of a buffer of back-to-back sections within len bytes. With
// pbTruncated, a section that starts but runs past the end is reported there.
std::vector<std::pair<U32, U32>> Sections(const U8* p, U32 len, bool* pbTruncated = nullptr)
{
    std::vector<std::pair<U32, U32>> out;
    U32 pos = 0;
    if (pbTruncated != nullptr)
        *pbTruncated = false;
    while (pos < len && p[pos] == 0x40) {
        const U32 l = pos + 3 <= len ? Len12(p + pos + 1) + 3 : len - pos + 1;
        if (pos + l > len) {
            if (pbTruncated != nullptr)
                *pbTruncated = true;
            break;
        }
        out.push_back({pos, l});
        pos += l;
    }
    return out;
}

// Parses sections in order into the NIT view, section i as number i.
U32 ParseSections(const U8* p, const std::vector<std::pair<U32, U32>>& secs, NITTable_t* pstNIT)
{
    for (U32 i = 0; i < secs.size(); i++) {
        U32 ret = SIP_ParseNIT(const_cast<U8*>(p) + secs[i].first, (U16)secs[i].second, pstNIT, (U8)i);
        if (ret != 0) {
            NIT_ERR("SIP_ParseNIT return error");
            return ret;
        }
    }
    return 0;
}

// The records of a stream's stored NIT in chain order, each without its own
// index and link: those say where a record lies, not what it holds.
std::vector<TSTable> ChainOf(const Output_TSInfo* db, U16 ts)
{
    std::vector<TSTable> out;
    if (ts >= db->u32OutputTSNumber)
        return out;
    U32 idx = db->pOutputTS[ts].u16NITIndex;
    for (U32 steps = 0; idx < db->u32OutputTableNumber && steps < db->u32OutputTableNumber; steps++) {
        TSTable t = db->pOutputTable[idx];
        idx = t.u16NextIndex;
        t.u16Index = t.u16NextIndex = 0;
        out.push_back(t);
    }
    return out;
}

bool SameRecords(const std::vector<TSTable>& a, const std::vector<TSTable>& b)
{
    return a.size() == b.size() && (a.empty() || memcmp(a.data(), b.data(), a.size() * sizeof(TSTable)) == 0);
}

// Replaces a stream's NIT in the working copy with the given sections; the
// records are reserved and the sections checked before the old NIT goes.
// A NIT stored as it would be written again is left where it is: moving the
// same content to other records would change nothing a page or a receiver
// sees, yet tell every page that the working copy changed.
U32 StoreSections(U16 ts, const U8* p, const std::vector<std::pair<U32, U32>>& secs)
{
    Output_TSInfo* w = NitDb();
    for (auto& s : secs)
        if (s.second - 3 > SIP_MAX_SECTION_LEN - 3) {
            NIT_ERR("TSP_NITBuf2TSOutputTable error");
            return TSP_ERR_LIST_RANGE;
        }
    std::vector<TSTable> recs(secs.size());
    for (U32 i = 0; i < secs.size(); i++) {
        TSTable& t = recs[i];
        memset(&t, 0, sizeof(t));
        TSP_InitOneOutputTable(&t);
        memcpy(t.aru8TableInfo, p + secs[i].first, secs[i].second);
        t.u16TableInfoLen = (U16)secs[i].second;
        t.u16Index = t.u16NextIndex = 0;
        t.u16TSIndex = ts;
        t.u8TableType = 2;
        t.u8ValidFlag = 1;
        t.u8IsChangedByUser = 1;
        t.u8SlotID = 0xFF;  // no input slot or channel: input cards never remove it
        t.u16ChannelID = TSP_INVALID_INDEX;
    }
    if (ts < w->u32OutputTSNumber && !secs.empty() && SameRecords(ChainOf(w, ts), recs))
        return 0;
    IndexInfoList_t free;
    zrErrCode rc = TSP_GetUnusedOutputTableIndexList(&free, w, (U32)secs.size());
    if (rc != ZR_SUCCESS || free.u16IndexListNum < secs.size()) {
        NIT_ERR("TSP_GetUnusedOutputTableIndexList error[0x%x]", (U32)rc);
        return rc != ZR_SUCCESS ? (U32)rc : TSP_ERR_NOT_ENOUGH;
    }
    // The free search may have grown the array; the old chain is freed now
    // and its records are not among the reserved ones.
    TSP_DelActualNIT(ts);
    for (U32 i = 0; i < secs.size(); i++) {
        TSTable& t = w->pOutputTable[free.aru16IndexList[i]];
        t = recs[i];
        t.u16Index = free.aru16IndexList[i];
        t.u16NextIndex = i + 1 < secs.size() ? free.aru16IndexList[i + 1] : TSP_INVALID_INDEX;
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d Temp TSTable Index: [%d] and Flag: [%d]\r\n\n",
                   LOG_POS, t.u16Index, t.u8ValidFlag);
    }
    w->pOutputTS[ts].u16NITIndex = secs.empty() ? TSP_INVALID_INDEX : free.aru16IndexList[0];
    return 0;
}

} // namespace

// ---------------------------------------------------------------------------
// Counting and storage
// ---------------------------------------------------------------------------

U16 TSP_GetNITSectionLen(const U8* pu8Section)
{
    return (pu8Section != nullptr && pu8Section[0] == 0x40) ? (U16)(Len12(pu8Section + 1) + 3) : 0;
}

U16 TSP_GetOneTSNITSectionCnt(const NITBuf_t* pstNITBuf)
{
    if (pstNITBuf == nullptr) {
        NIT_ERR("Input error");
        return 0;
    }
    return (U16)Sections(pstNITBuf->aru8OutputNITSection, pstNITBuf->u16NITLength).size();
}

U16 TSP_GetImportNITSectionCnt(const U8* pu8Buf, U32 u32Len)
{
    if (pu8Buf == nullptr) {
        NIT_ERR("Input error");
        return 0;
    }
    return (U16)Sections(pu8Buf, u32Len).size();
}

U16 TSP_GetOneTSNITSectionCnt_OneSectionBuf(const NITBuf_t* pstNITBuf)
{
    if (pstNITBuf == nullptr)
        return 0;
    return (U16)(((Len12(pstNITBuf->aru8OutputNITSection + 1) + 3) >> 10) + 1);
}

U32 TSP_DelActualNIT(U16 u16SelectOutTSIndex)
{
    CARD_STATE_LOCK();
    Output_TSInfo* w = NitDb();
    if (u16SelectOutTSIndex >= w->u32OutputTSNumber) {
        NIT_ERR("TSP_DelActualNIT input param error");
        return TSP_ERR_INPUT;
    }
    U32 idx = w->pOutputTS[u16SelectOutTSIndex].u16NITIndex;
    for (U32 steps = 0; idx < w->u32OutputTableNumber && steps < w->u32OutputTableNumber; steps++) {
        TSTable& t = w->pOutputTable[idx];
        const U32 next = t.u16NextIndex;
        FreeNITRecord(t);
        idx = next;
    }
    w->pOutputTS[u16SelectOutTSIndex].u16NITIndex = TSP_INVALID_INDEX;
    return 0;
}

U32 TSP_DelOneNITInfo(U16 u16OutTsIndex)
{
    CARD_STATE_LOCK();
    Output_TSInfo* w = NitDb();
    IndexInfoList_t l;
    U32 ret = TSP_GetOutTSNITTableIndexList(u16OutTsIndex, w, &l);
    if (ret != 0) {
        NIT_ERR("TSP_GetOutTSNITTableIndexList return error");
        return ret;
    }
    for (U32 i = 0; i < l.u16IndexListNum; i++) {
        memset(&w->pOutputTable[l.aru16IndexList[i]], 0, sizeof(TSTable));
        w->pOutputTable[l.aru16IndexList[i]].u16Index = TSP_INVALID_INDEX;
    }
    w->pOutputTS[u16OutTsIndex].u16NITIndex = TSP_INVALID_INDEX;
    return 0;
}

U32 TSP_NITBuf2TSOutputTable(U16 u16SelectOutTSIndex, NITBuf_t* pstNITBuf)
{
    if (pstNITBuf == nullptr || pstNITBuf->u16NITLength > SIP_NITBUF_LEN) {
        NIT_ERR("TSP_NITBuf2TSOutputTable input error");
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    if (u16SelectOutTSIndex >= NitDb()->u32OutputTSNumber) {
        NIT_ERR("TSP_NITBuf2TSOutputTable input param error");
        return TSP_ERR_INPUT;
    }
    // As many sections as the split really produced are stored.
    std::vector<U8> out(10240);
    U16 u16OutLen = 0;
    U32 ret = SIP_SplitNITSection(pstNITBuf->aru8OutputNITSection, pstNITBuf->u16NITLength, (U16)out.size(),
                                  out.data(), &u16OutLen);
    if (ret != 0) {
        NIT_ERR("SIP_SplitNITSection return error");
        return ret;
    }
    auto secs = Sections(out.data(), u16OutLen);
    log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_TSPROCESS, "%ld:%s:%d NIT Section cnt[%d]\r\n\n", LOG_POS,
               (int)secs.size());
    if (secs.empty())
        return TSP_ERR_LIST_RANGE;
    return StoreSections(u16SelectOutTSIndex, out.data(), secs);
}

U32 TSP_AddNIT(int nChannel, U32 u32BufLen, U8* pu8Buf)
{
    if (pu8Buf == nullptr) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_AddNIT input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    if (u32BufLen > kMergedMax)
        return TSP_ERR_NIT_SPACE;
    CARD_STATE_LOCK();
    const U16 ts = StreamOfChannel(nChannel);
    if (ts == TSP_INVALID_INDEX)
        return TSP_ERR_INPUT;
    auto buf = std::make_unique<NITBuf_t>();
    memcpy(buf->aru8OutputNITSection, pu8Buf, u32BufLen);
    buf->u16NITLength = (U16)u32BufLen;
    buf->u32OutputNITSectionOffset = u32BufLen;
    U32 ret = TSP_NITBuf2TSOutputTable(ts, buf.get());
    if (ret != 0) {
        NIT_ERR("TSP_NITBuf2TSOutputTable ERROR");
        return 1;
    }
    return 0;
}

BOOL TSP_IsNITTableChangedByUser(U16 u16OutTSIndex, const Output_TSInfo* pstParamTS)
{
    if (pstParamTS == nullptr) {
        NIT_ERR("Input Error");
        return 0;
    }
    IndexInfoList_t l;
    if (TSP_GetOutTSNITTableIndexList(u16OutTSIndex, pstParamTS, &l) != 0)
        return 0;
    for (U32 i = 0; i < l.u16IndexListNum; i++) {
        const TSTable& t = pstParamTS->pOutputTable[l.aru16IndexList[i]];
        log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d table type [%d]; table index is [%d]; changeflag is [%d]\r\n\n", LOG_POS, t.u8TableType,
                   l.aru16IndexList[i], t.u8IsChangedByUser);
        if (t.u8IsChangedByUser == 1)
            return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Edits
// ---------------------------------------------------------------------------

U32 TSP_EditNITVersionNum(int nChannel, U16 u16VersionNum, U16 u16NetworkID)
{
    if (u16VersionNum >= 32) {
        NIT_ERR("TSP_EditNITVersionNum error param");
        return ZR_ERR_PARAMS;
    }
    U32 ret = EditNIT(nChannel, true, u16NetworkID, [&](NitModel& m) {
        m.u8Byte5 = (U8)((m.u8Byte5 & 0xC1) | (u16VersionNum << 1));
        m.u16NetworkId = u16NetworkID;
        return 0u;
    });
    if (ret == 0) {
        CARD_STATE_LOCK();
        NitDb()->pOutputTS[StreamOfChannel(nChannel)].u8NITVersionNumber = (U8)u16VersionNum;
    }
    return ret;
}

U32 TSP_AddNetworkDescriptor(int nChannel, const dvbpsi_descriptor_t* pstDesc)
{
    if (pstDesc == nullptr)
        return TSP_ERR_INPUT;
    return EditNIT(nChannel, true, 0, [&](NitModel& m) -> U32 {
        if (m.net.size() + pstDesc->i_length > kNetDescMax) {
            NIT_ERR("TSP_ConstructAddNITNetworkDesc: new network_descriptors_length out of range");
            return TSP_ERR_LIST_RANGE;
        }
        Bytes d = DescBytes(pstDesc);
        m.net.insert(m.net.end(), d.begin(), d.end());
        return 0;
    });
}

U32 TSP_DeleteNetworkDesc(int nChannel, int nNetworkDescIndex)
{
    return EditNIT(nChannel, false, 0, [&](NitModel& m) -> U32 {
        const long off = nNetworkDescIndex < 0 ? -1 : DescOffset(m.net, (U32)nNetworkDescIndex);
        if (off < 0)
            return TSP_ERR_NIT_SPACE;
        EraseDesc(m.net, off);
        return 0;
    });
}

U32 TSP_AddNIT_TS(int nChannel, U16 u16TransportStreamID, U16 u16OriginalNetworkID)
{
    return EditNIT(nChannel, true, 0, [&](NitModel& m) {
        m.entries.push_back({u16TransportStreamID, u16OriginalNetworkID, {}});
        return 0u;
    });
}

U32 TSP_DelOneTSOfNIT(int nChannel, int nNITTSIndex)
{
    return EditNIT(nChannel, false, 0, [&](NitModel& m) -> U32 {
        if (nNITTSIndex < 0 || (size_t)nNITTSIndex >= m.entries.size())
            return TSP_ERR_NIT_SPACE;
        m.entries.erase(m.entries.begin() + nNITTSIndex);
        return 0;
    });
}

U32 TSP_AddDescriptor2NIT_Ts(int nChannel, int nNITTSIndex, const dvbpsi_descriptor_t* pstDesc)
{
    if (pstDesc == nullptr || nNITTSIndex < 0 || nNITTSIndex > 99)
        return TSP_ERR_INPUT;
    return EditNIT(nChannel, false, 0, [&](NitModel& m) -> U32 {
        if ((size_t)nNITTSIndex >= m.entries.size())
            return TSP_ERR_NIT_SPACE;
        Bytes& loop = m.entries[nNITTSIndex].desc;
        if (loop.size() + pstDesc->i_length > kEntryDescMax) {
            NIT_ERR("TSP_ConstructAddNITTSDesc ERROR: TransportDescriptorsLength:%d out of range", (int)loop.size());
            return TSP_ERR_LIST_RANGE;
        }
        Bytes d = DescBytes(pstDesc);
        loop.insert(loop.end(), d.begin(), d.end());
        return 0;
    });
}

U32 TSP_EditOneTSDescOfNIT(int nChannel, U32 u32NITTSIndex, U32 u32NITTSDescIndex, const dvbpsi_descriptor_t* pstDesc)
{
    if (pstDesc == nullptr || pstDesc->i_length == 0 || u32NITTSIndex > 99 || u32NITTSDescIndex > 99)
        return TSP_ERR_INPUT;
    return EditNIT(nChannel, false, 0, [&](NitModel& m) -> U32 {
        const long off = EntryDescOffset(m, u32NITTSIndex, u32NITTSDescIndex);
        if (off < 0)
            return TSP_ERR_NIT_SPACE;
        Bytes& loop = m.entries[u32NITTSIndex].desc;
        if (loop.size() + pstDesc->i_length > kEntryDescMax) {
            NIT_ERR("TransportDescriptorsLength:%d out of range", (int)loop.size());
            return TSP_ERR_LIST_RANGE;
        }
        Bytes d = DescBytes(pstDesc);
        EraseDesc(loop, off);
        loop.insert(loop.begin() + off, d.begin(), d.end());
        return 0;
    });
}

U32 TSP_DeleteOneTSDescOfNIT(int nChannel, U32 u32NITTSIndex, U32 u32NITTSDescIndex)
{
    return EditNIT(nChannel, false, 0, [&](NitModel& m) -> U32 {
        const long off = EntryDescOffset(m, u32NITTSIndex, u32NITTSDescIndex);
        if (off < 0)
            return TSP_ERR_NIT_SPACE;
        Bytes& loop = m.entries[u32NITTSIndex].desc;
        EraseDesc(loop, off);
        return 0;
    });
}

// ---------------------------------------------------------------------------
// Readers
// ---------------------------------------------------------------------------

U32 TSP_GetNITTableInfo(int nChannel, NITTable_t* pstNIT)
{
    if (pstNIT == nullptr)
        return TSP_ERR_INPUT;
    CARD_STATE_LOCK();
    const U16 ts = StreamOfChannel(nChannel);
    if (ts == TSP_INVALID_INDEX)
        return TSP_ERR_INPUT;
    auto raw = std::make_unique<NITBuf_t>();
    U32 ret = TSP_GetOutputNITTable(ts, NitDb(), raw.get());
    if (ret != 0) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetOutputNITTable Error:%d\r\n\n", LOG_POS,
                   (int)ret);
        return ret;
    }
    auto secs = Sections(raw->aru8OutputNITSection, raw->u16NITLength);
    log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_TSPROCESS, "%ld:%s:%d nit section cnt:%d\r\n\n", LOG_POS, (int)secs.size());
    return ParseSections(raw->aru8OutputNITSection, secs, pstNIT);
}

U32 TSP_GetOneTsDescInfo(int nChannel, U32 u32NITTSIndex, U32 u32DescIndex, dvbpsi_descriptor_t* pstDesc)
{
    if (pstDesc == nullptr)
        return TSP_ERR_INPUT;
    CARD_STATE_LOCK();
    const U16 ts = StreamOfChannel(nChannel);
    if (ts == TSP_INVALID_INDEX)
        return TSP_ERR_INPUT;
    NitModel m;
    U32 ret = LoadModel(ts, &m);
    if (ret != 0)
        return ret;
    const long off = EntryDescOffset(m, u32NITTSIndex, u32DescIndex);
    if (off < 0)
        return 0;
    const Bytes& loop = m.entries[u32NITTSIndex].desc;
    // The descriptor's own tag is reported.
    pstDesc->i_tag = loop[off];
    pstDesc->i_length = loop[off + 1];
    memcpy(pstDesc->auc_data, &loop[off + 2], loop[off + 1]);
    return 0;
}

// ---------------------------------------------------------------------------
// Delivery system descriptors and the automatic NIT
// ---------------------------------------------------------------------------

namespace {

void PutBE32(U8* p, U32 v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (U8)(v >> (24 - 8 * i));
}

// The cable delivery system descriptor: frequency in 100 Hz units and the
// symbol rate in 100 symbol/s units, both BCD.
U32 CableDescriptor(U32 u32FreqKHz, U8 u8FecOuter, U8 u8Modulation, U32 u32SymbolRate100, U8 u8FecInner, U8* d)
{
    d[0] = 0x44;
    d[1] = 11;
    PutBE32(d + 2, Bcd2Hex((U32)(((U64)u32FreqKHz * 10) % 100000000u)));
    d[6] = 0xFF;  // reserved_future_use, then FEC_outer
    d[7] = (U8)(0xF0 | u8FecOuter);
    d[8] = u8Modulation;
    PutBE32(d + 9, Bcd2Hex(u32SymbolRate100 % 10000000u) << 4 | u8FecInner);
    return 13;
}

} // namespace

U32 TSP_BuildDeliveryDescriptor(const TParameter_DTMB& set, U32 u32Channel, U8 aru8Desc[13])
{
    memset(aru8Desc, 0, 13);
    if (u32Channel >= DTMB_CHANNEL_NUM)
        return 0;
    // A chip's one modulator core runs its first channel's settings for all
    // four; the bandwidth and filter follow channel 0's on both chips.
    const U32 first = u32Channel & ~3u;
    const U32 freq = Modulate_ProgrammedFreq(set, u32Channel);
    U8* d = aru8Desc;
    switch (PARAMS_GetModulationMod()) {
    case 3: {
        // EN 300 429: RS(204,188) outside, no convolutional code inside.
        const U32 q = (U32)set.QAMMod[first] <= 3 ? (U32)set.QAMMod[first] : 4u;
        return CableDescriptor(freq, 0x2, (U8)(q + 1), (U32)((U64)set.SymbolRate[first] * 10 % 10000000u), 0xF, d);
    }
    case 4: {
        // J.83 Annex B runs the symbol rate of its constellation; its codes
        // have no value of their own in the descriptor's FEC fields.
        const bool q256 = set.AnnexBQAMMode[first] == ANNEXB_QAM256;
        return CableDescriptor(freq, 0x0, q256 ? 0x05 : 0x03, q256 ? 53605 : 50569, 0x0, d);
    }
    case 1: {
        const U32 bw = set.Bandwidth_Sel[0];
        const U32 qam = set.DVBT_QAMMod[first], rate = set.DVBT_CodeMod[first];
        const U32 fft = set.DVBT_FFTSize[first];
        d[0] = 0x5A;
        d[1] = 11;
        PutBE32(d + 2, (U32)((U64)freq * 100));  // centre_frequency, 10 Hz units
        // bandwidth (8, 7, 6 MHz), priority HP, no time slicing, no MPE-FEC
        d[6] = (U8)((bw == 1 ? 1 : bw == 0 ? 2 : 0) << 5 | 0x1F);
        // constellation, non-hierarchical, code_rate-HP (reserved codes for
        // values the standard has not)
        d[7] = (U8)((qam <= 2 ? qam : 3) << 6 | (rate <= 4 ? rate : 7));
        // code_rate-LP, guard_interval, transmission_mode (2k, 8k, 4k), no other frequency
        d[8] = (U8)((set.DVBT_GadIntSize[first] & 3) << 3 | (fft == 0 ? 0 : fft == 1 ? 2 : fft == 2 ? 1 : 3) << 1);
        PutBE32(d + 9, 0xFFFFFFFFu);
        return 13;
    }
    case 5: {
        // ISDB-T's own terrestrial delivery system descriptor: no area code,
        // guard interval (1/32, 1/16, 1/8, 1/4), mode 1-3 and one frequency
        // in 1/7 MHz units. The core takes guard 0-3 (1/4 to 1/32, anything
        // else as 1/4) and FFT mode 2 or 3 (anything else as mode 1).
        const U32 gi = set.u8GImode[first] <= 3 ? set.u8GImode[first] : 0;
        const U32 fft = set.u8FFTMode[first];
        const U32 units = (U32)(((U64)freq * 7 + 500) / 1000);
        d[0] = 0xFA;
        d[1] = 4;
        d[2] = 0;
        d[3] = (U8)((3 - gi) << 2 | (fft == 2 ? 1 : fft == 3 ? 2 : 0));
        d[4] = (U8)(units >> 8);
        d[5] = (U8)units;
        return 6;
    }
    default:
        // DTMB and ATSC: their standards give no delivery descriptor for this NIT.
        return 0;
    }
}

U32 TSP_ConstructCableDeliverySystemDescriptor(int nChannel, U32 u32OutNITIndex, U32 u32EnableChannel)
{
    const TParameter_DTMB* d = GetDTMBPara_Handle();
    if (d == nullptr || u32EnableChannel >= TSP_WEB_CHANNEL_MAX) {
        NIT_ERR("Input param error");
        return TSP_ERR_INPUT;
    }
    U8 desc[13];
    const U32 len = TSP_BuildDeliveryDescriptor(*d, u32EnableChannel, desc);
    if (len == 0)
        return 0;
    dvbpsi_descriptor_t dd{};
    dd.i_tag = desc[0];
    dd.i_length = desc[1];
    memcpy(dd.auc_data, desc + 2, desc[1]);
    return TSP_AddDescriptor2NIT_Ts(nChannel, (int)u32OutNITIndex, &dd);
}

U32 TSP_AutoAddCableDeliverySystemDescriptor2NIT(U32 u32OutTSChannel)
{
    if (u32OutTSChannel >= TSP_WEB_CHANNEL_MAX)
        return TSP_ERR_INPUT;
    return TSP_ApplyNITsToLive(1u << u32OutTSChannel, true, [u32OutTSChannel]() -> U32 {
        const TParameter_DTMB* set = GetDTMBPara_Handle();
        const U16 ts = StreamOfChannel((int)u32OutTSChannel);
        if (set == nullptr || ts == TSP_INVALID_INDEX) {
            NIT_ERR("Input param error");
            return TSP_ERR_INPUT;
        }
        // One entry per output stream, with the ids its PAT and SDT carry
        // and the descriptor of its channel as the RF chain runs it.
        NitModel m;
        m.u16NetworkId = 1234;
        const Output_TSInfo* db = NitDb();
        for (U32 i = 0; i < db->u32OutputTSNumber && m.entries.size() < 100; i++) {
            const Output_TSStream& s = db->pOutputTS[i];
            if (s.u8ValidFlag != 1)
                continue;
            U8 desc[13];
            const U32 len = TSP_BuildDeliveryDescriptor(*set, s.u16ChannelID, desc);
            m.entries.push_back({s.u16TransportStreamID, s.u16OriginalNetworkID, Bytes(desc, desc + len)});
        }
        return StoreModel(ts, m);
    });
}

namespace {

// A stream's stored NIT sections back to back; empty when it has none
// whose first section holds a NIT's fixed fields.
Bytes StoredNIT(Output_TSInfo* db, U16 ts)
{
    if (ts == TSP_INVALID_INDEX || db->pOutputTS[ts].u16NITIndex == TSP_INVALID_INDEX)
        return {};
    auto raw = std::make_unique<NITBuf_t>();
    if (TSP_GetOutputNITTable(ts, db, raw.get()) != 0 || raw->u16NITLength < kNitSectionMin)
        return {};
    return Bytes(raw->aru8OutputNITSection, raw->aru8OutputNITSection + raw->u16NITLength);
}

// What a receiver compares: the sections without version_number and CRC_32.
Bytes Unversioned(const Bytes& nit)
{
    Bytes b = nit;
    for (auto& sec : Sections(b.data(), (U32)b.size()))
        if (sec.second >= kNitSectionMin) {
            b[sec.first + 5] &= 0xC1;
            memset(&b[sec.first + sec.second - 4], 0, 4);
        }
    return b;
}

U8 VersionOf(const Bytes& nit) { return (U8)((nit[5] >> 1) & 0x1F); }

// Gives every section of the stream's NIT the version, with fresh CRCs.
void SetNITVersion(Output_TSInfo* db, U16 ts, U8 u8Version)
{
    U32 idx = db->pOutputTS[ts].u16NITIndex;
    for (U32 steps = 0; idx < db->u32OutputTableNumber && steps < db->u32OutputTableNumber; steps++) {
        TSTable& t = db->pOutputTable[idx];
        const U32 len = Len12(t.aru8TableInfo + 1) + 3;
        if (t.u8ValidFlag != 1 || t.aru8TableInfo[0] != 0x40 || len < kNitSectionMin || len > SIP_MAX_SECTION_LEN)
            break;
        t.aru8TableInfo[5] = (U8)((t.aru8TableInfo[5] & 0xC1) | (u8Version << 1));
        PutBE32(t.aru8TableInfo + len - 4, Common_CRC_Calculate(t.aru8TableInfo, len - 4, 0xFFFFFFFFu));
        idx = t.u16NextIndex;
    }
    db->pOutputTS[ts].u8NITVersionNumber = u8Version;
}

// A NIT that differs from the one a receiver holds (before) takes the next
// version. A rebuilt NIT has no version of its own: unchanged, it keeps the
// one on air. An edited one keeps a version the operator chose.
void StepNITVersion(Output_TSInfo* db, U16 ts, const Bytes& before, bool bRebuilt)
{
    const Bytes now = StoredNIT(db, ts);
    if (before.empty() || now.empty())
        return;
    const U8 v = VersionOf(before);
    if (Unversioned(now) == Unversioned(before)) {
        if (bRebuilt && VersionOf(now) != v)
            SetNITVersion(db, ts, v);
    } else if (bRebuilt || VersionOf(now) == v) {
        SetNITVersion(db, ts, (U8)((v + 1) & 0x1F));
    }
}

} // namespace

void TSP_StepCommittedNITVersions(Output_TSInfo* pstWork, Output_TSInfo* pstLive)
{
    CARD_STATE_LOCK();
    for (U16 ch = 0; ch < TSP_WEB_CHANNEL_MAX; ch++) {
        const U16 w = TSP_FindStreamOfChannel(pstWork, ch);
        if (w != TSP_INVALID_INDEX)
            StepNITVersion(pstWork, w, StoredNIT(pstLive, TSP_FindStreamOfChannel(pstLive, ch)), false);
    }
}

U32 TSP_ApplyNITsToLive(U32 u32ChannelMask, bool bStepVersions, const std::function<U32()>& op)
{
    CARD_STATE_LOCK();
    if (s_pNitTarget != nullptr)
        return op();
    struct Target {
        Target() { s_pNitTarget = TSP_GetTSParam(); }
        ~Target() { s_pNitTarget = nullptr; }
    };
    // The NIT editors read the working copy: an unedited one is opened again
    // from the live database; an edited one gets the live NITs of the
    // channels touched, so that its commit keeps them.
    return TSP_ChangeLiveWithTemp([&](bool bEdited) -> U32 {
        Output_TSInfo* live = TSP_GetTSParam();
        std::vector<Bytes> before(TSP_WEB_CHANNEL_MAX);
        std::vector<std::vector<TSTable>> records(TSP_WEB_CHANNEL_MAX);
        for (U16 ch = 0; ch < TSP_WEB_CHANNEL_MAX; ch++)
            if (u32ChannelMask & (1u << ch)) {
                const U16 ts = TSP_FindStreamOfChannel(live, ch);
                if (bStepVersions)
                    before[ch] = StoredNIT(live, ts);
                records[ch] = ChainOf(live, ts);
            }
        U32 ret = 0;
        // The NITs go on air here, through the planner, with what is on air
        // and nothing else of the live database. A NIT that would take the
        // output past a limit (the carousel, the slave's SI) is refused, and
        // the live NITs stay as they were.
        TSP_LiveGuard guard;
        if (!guard.bHeld)
            return (U32)TSP_ERR_NO_MEMORY;
        {
            Target onLive;
            ret = op();
        }
        if (ret != 0) {
            guard.Restore();
        } else {
            // What receivers hold is what was on air before: a rebuild steps
            // the version of a NIT it changed.
            for (U16 ch = 0; ch < TSP_WEB_CHANNEL_MAX && bStepVersions; ch++) {
                const U16 ts = TSP_FindStreamOfChannel(live, ch);
                if ((u32ChannelMask & (1u << ch)) != 0 && ts != TSP_INVALID_INDEX)
                    StepNITVersion(live, ts, before[ch], true);
            }
            // A rebuild that ends with every NIT as it was leaves the live
            // database as it was, records where they were.
            bool bSame = true;
            for (U16 ch = 0; ch < TSP_WEB_CHANNEL_MAX && bSame; ch++)
                if (u32ChannelMask & (1u << ch))
                    bSame = SameRecords(records[ch], ChainOf(live, TSP_FindStreamOfChannel(live, ch)));
            if (bSame)
                guard.Restore();
            ret = TSP_PlanApplyTables(u32ChannelMask, "NIT change");
            if (ret != 0)
                guard.Restore();
        }
        if (ret != 0 || !bEdited)
            return ret;
        Output_TSInfo* w = TSP_GetTempTSParam();
        auto raw = std::make_unique<NITBuf_t>();
        for (U16 ch = 0; ch < TSP_WEB_CHANNEL_MAX; ch++) {
            const U16 from = TSP_FindStreamOfChannel(live, ch);
            const U16 to = TSP_FindStreamOfChannel(w, ch);
            if ((u32ChannelMask & (1u << ch)) == 0 || from == TSP_INVALID_INDEX || to == TSP_INVALID_INDEX)
                continue;
            memset(raw.get(), 0, sizeof(NITBuf_t));
            if (TSP_GetOutputNITTable(from, live, raw.get()) != 0 ||
                StoreSections(to, raw->aru8OutputNITSection, Sections(raw->aru8OutputNITSection, raw->u16NITLength)) !=
                    0)
                TSP_DelActualNIT(to);
        }
        return ret;
    });
}

// ---------------------------------------------------------------------------
// Export and import
// ---------------------------------------------------------------------------

U32 TSP_GetExportNITLength(int nChannel, U32* pu32Length)
{
    if (pu32Length == nullptr)
        return TSP_ERR_INPUT;
    *pu32Length = 0;
    CARD_STATE_LOCK();
    if (nChannel < 0 || nChannel >= (int)TSP_WEB_CHANNEL_MAX)
        return ZR_ERR_SIP_NIT_NO_EXIST;
    const U16 ts = TSP_FindStreamOfChannel(TSP_GetTSParam(), (U16)nChannel);
    if (ts == TSP_INVALID_INDEX) {
        NIT_ERR("TSP_GetOutputTSIndexByTS fail..");
        return ZR_ERR_SIP_NIT_NO_EXIST;
    }
    auto raw = std::make_unique<NITBuf_t>();
    if (TSP_GetOutputNITTable(ts, TSP_GetTSParam(), raw.get()) != 0) {
        NIT_ERR("TS dont have any NIT table");
        return ZR_ERR_SIP_NIT_NO_EXIST;
    }
    *pu32Length = raw->u16NITLength;
    return 0;
}

U32 TSP_GetExportNITBuf(int nChannel, U8* pOutBuf, U32 u32BufLen)
{
    if (pOutBuf == nullptr)
        return TSP_ERR_INPUT;
    CARD_STATE_LOCK();
    if (nChannel < 0 || nChannel >= (int)TSP_WEB_CHANNEL_MAX)
        return ZR_ERR_SIP_NIT_NO_EXIST;
    const U16 ts = TSP_FindStreamOfChannel(TSP_GetTSParam(), (U16)nChannel);
    auto raw = std::make_unique<NITBuf_t>();
    if (ts == TSP_INVALID_INDEX || TSP_GetOutputNITTable(ts, TSP_GetTSParam(), raw.get()) != 0) {
        NIT_ERR("TS dont have any NIT table");
        return ZR_ERR_SIP_NIT_NO_EXIST;
    }
    if (raw->u16NITLength > u32BufLen)
        return TSP_ERR_NIT_SPACE;
    memcpy(pOutBuf, raw->aru8OutputNITSection, raw->u16NITLength);
    return 0;
}

U32 TSP_AddNITByImport(int nChannel, const U8* pNITBuf, U32 u32Len)
{
    if (pNITBuf == nullptr)
        return TSP_ERR_INPUT;
    CARD_STATE_LOCK();
    const U16 ts = StreamOfChannel(nChannel);
    if (ts == TSP_INVALID_INDEX) {
        NIT_ERR("TSP_GetOutputTSIndexByTS fail..");
        return TSP_ERR_INPUT;
    }
    // Reads stay inside the bytes given; a file whose last section is cut
    // off, a section shorter than a NIT's fixed fields or more than the NIT
    // buffer holds is refused before the stored NIT goes.
    bool truncated = false;
    auto secs = Sections(pNITBuf, u32Len, &truncated);
    U32 total = 0;
    for (auto& sec : secs) {
        total += sec.second;
        if (sec.second < kNitSectionMin)
            truncated = true;
    }
    if (secs.empty() || truncated || total > SIP_NITBUF_LEN || secs.size() > 256) {
        NIT_ERR("imported NIT sections out of range");
        return TSP_ERR_LIST_RANGE;
    }
    // Only a NIT the card can show and edit again: sections numbered 0 to
    // last in order, and no more than the NIT view holds.
    for (U32 i = 0; i < secs.size(); i++) {
        const U8* sec = pNITBuf + secs[i].first;
        if (sec[6] != i || sec[7] != secs.size() - 1) {
            NIT_ERR("imported NIT section %u numbered %u of %u", i, sec[6], sec[7]);
            return TSP_ERR_LIST_RANGE;
        }
    }
    auto view = std::make_unique<NITTable_t>();
    if (ParseSections(pNITBuf, secs, view.get()) != 0) {
        NIT_ERR("imported NIT does not fit the NIT view");
        return TSP_ERR_LIST_RANGE;
    }
    U32 ret = StoreSections(ts, pNITBuf, secs);
    if (ret == 0)
        printf("==>>[TSP_AddNITByImport]u16OutTSIndex:%d, u16NITIndex:%d..\n", ts,
               NitDb()->pOutputTS[ts].u16NITIndex);
    return ret;
}
