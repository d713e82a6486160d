// The operator's NIT of each output stream: its sections stored as table
// records of the working copy, edits on one merged section, cable delivery
// descriptors, the automatic NIT, export and import.
#include "TSprocess/tsp_nit.h"
#include "Common/commonfun.h"
#include "Common/thread.h"
#include "DTMB/dtmb_param.h"
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

// Replaces a stream's NIT in the working copy with the given sections; the
// records are reserved and the sections checked before the old NIT goes.
U32 StoreSections(U16 ts, const U8* p, const std::vector<std::pair<U32, U32>>& secs)
{
    Output_TSInfo* w = NitDb();
    for (auto& s : secs)
        if (s.second - 3 > SIP_MAX_SECTION_LEN - 3) {
            NIT_ERR("TSP_NITBuf2TSOutputTable error");
            return TSP_ERR_LIST_RANGE;
        }
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
        memset(&t, 0, sizeof(t));
        TSP_InitOneOutputTable(&t);
        memcpy(t.aru8TableInfo, p + secs[i].first, secs[i].second);
        t.u16TableInfoLen = (U16)secs[i].second;
        t.u16Index = free.aru16IndexList[i];
        t.u16NextIndex = i + 1 < secs.size() ? free.aru16IndexList[i + 1] : TSP_INVALID_INDEX;
        t.u16TSIndex = ts;
        t.u8TableType = 2;
        t.u8ValidFlag = 1;
        t.u8IsChangedByUser = 1;
        t.u8SlotID = 0xFF;  // no input slot or channel: input cards never remove it
        t.u16ChannelID = TSP_INVALID_INDEX;
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
// Cable delivery descriptors and the automatic NIT
// ---------------------------------------------------------------------------

void TSP_BuildCableDeliveryDescriptor(U32 u32FreqKHz, U8 u8QAMMod, U32 u32SymbolRateK, U8 aru8Desc[13])
{
    memset(aru8Desc, 0, 13);
    aru8Desc[0] = 0x44;
    aru8Desc[1] = 11;
    const U32 freq = Bcd2Hex((U32)(((U64)u32FreqKHz * 10) % 100000000u));
    // Upper 28 bits: the symbol rate's seven digits; FEC_inner 0 below.
    const U32 sr = Bcd2Hex((U32)(((U64)u32SymbolRateK * 10) % 10000000u)) << 4;
    for (int i = 0; i < 4; i++) {
        aru8Desc[2 + i] = (U8)(freq >> (24 - 8 * i));
        aru8Desc[9 + i] = (U8)(sr >> (24 - 8 * i));
    }
    aru8Desc[6] = 0xFF;
    aru8Desc[7] = 0xF0;
    aru8Desc[8] = (U8)(u8QAMMod + 1);
}

U32 TSP_ConstructCableDeliverySystemDescriptor(int nChannel, U32 u32OutNITIndex, U32 u32EnableChannel)
{
    const TParameter_DTMB* d = GetDTMBPara_Handle();
    if (d == nullptr || u32EnableChannel >= TSP_WEB_CHANNEL_MAX) {
        NIT_ERR("Input param error");
        return TSP_ERR_INPUT;
    }
    U8 desc[13];
    TSP_BuildCableDeliveryDescriptor(d->OutputFreq[u32EnableChannel], (U8)d->QAMMod[u32EnableChannel],
                                     d->SymbolRate[u32EnableChannel], desc);
    dvbpsi_descriptor_t dd{};
    dd.i_tag = desc[0];
    dd.i_length = desc[1];
    memcpy(dd.auc_data, desc + 2, 11);
    return TSP_AddDescriptor2NIT_Ts(nChannel, (int)u32OutNITIndex, &dd);
}

U32 TSP_AutoAddCableDeliverySystemDescriptor2NIT(U32 u32OutTSChannel)
{
    if (u32OutTSChannel >= TSP_WEB_CHANNEL_MAX)
        return TSP_ERR_INPUT;
    return TSP_ApplyNITsToLive(1u << u32OutTSChannel, [u32OutTSChannel]() -> U32 {
        U32 ret = SIP_ConstructNITTable((U16)u32OutTSChannel, 1234);
        if (ret != 0) {
            NIT_ERR("SIP_ConstructNITTable  error");
            return ret;
        }
        const Output_TSInfo* db = NitDb();
        U16 k = 0;
        for (U32 i = 0; i < db->u32OutputTSNumber && k <= 99; i++) {
            if (db->pOutputTS[i].u8ValidFlag != 1)
                continue;
            const U16 ch = db->pOutputTS[i].u16ChannelID;
            if ((ret = TSP_AddNIT_TS((int)u32OutTSChannel, k, 1)) != 0 ||
                (ret = TSP_ConstructCableDeliverySystemDescriptor((int)u32OutTSChannel, k, ch)) != 0)
                return ret;
            k++;
        }
        return 0;
    });
}

U32 TSP_ApplyNITsToLive(U32 u32ChannelMask, const std::function<U32()>& op)
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
        U32 ret = 0;
        {
            Target onLive;
            ret = op();
        }
        if (ret != 0 || !bEdited)
            return ret;
        Output_TSInfo* live = TSP_GetTSParam();
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
