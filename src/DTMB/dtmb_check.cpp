// The checks of a modulation set against what this board runs (ranges and
// enumerations of the card's standard, the RF chips' words, the values one
// modulator core decides for a chip's four channels) and the values the card
// derives from others.
#include "DTMB/dtmb_check.h"
#include "DTMB/dtmb.h"
#include "Driver/RF/modulate.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Who decides a member's value for a channel: the channel itself, its chip's
// first channel (one modulator core per chip), or channel 0 for all eight.
enum Share : U8 { OWN, CHIP, CARD };

struct Member {
    const char* key;  // the web's key, named in a refusal
    size_t offset;
    U8 width;
    Share share;
    U32 lo, hi;
    const U32* list;  // an enumeration instead of lo..hi
    size_t n;
};

#define WIDTH(field) sizeof(((TParameter_DTMB*)nullptr)->field[0])
#define RANGE(key, field, share, lo, hi) {key, offsetof(TParameter_DTMB, field), WIDTH(field), share, lo, hi, nullptr, 0}
#define ENUMERATION(key, field, share, list) \
    {key, offsetof(TParameter_DTMB, field), WIDTH(field), share, 0, 0, list, sizeof(list) / sizeof(list[0])}

const U32 kIntLeav[] = {_240_INTLEAV, _720_INTLEAV};
const U32 kAnnexBIntLeav[] = {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 14};
const U32 kSegments[] = {1, 13};

// Highest DVB-C symbol rate (kBd) whose rate-converter word fits its 24 bits.
constexpr U32 kSymbolRateMax = 7559;
// The DVB-C symbol rates a request may set, as the card's MIB offers them.
constexpr U32 kSymbolRateRequestMin = 4035;
constexpr U32 kSymbolRateRequestMax = 6952;
constexpr U32 kFrequencyMaxKHz = 1000000;
constexpr U32 kFrequencyRequestMinKHz = 48000;
constexpr U32 kFrequencyRequestMaxKHz = 838000;
// ATSC: the least distance of two enabled channels.
constexpr U32 kATSCChannelKHz = 6000;

const Member kCommon[] = {
    RANGE("enable", u32Enable, OWN, 0, 1),
    RANGE("frequency", OutputFreq, CHIP, 0, kFrequencyMaxKHz),
    RANGE("power", OutputPow, CHIP, 0, 0xFF),  // the level hardware decides (LevelFits)
};
const Member kDTMB[] = {
    RANGE("constellation", ConsteMod, CHIP, 0, 10),
    RANGE("carrier", CarrMod, CHIP, 0, 1),
    ENUMERATION("Interweave", IntLeav, CHIP, kIntLeav),
    RANGE("framehead", FramHeadMod, CHIP, 0, 4),
};
const Member kDVBT[] = {
    RANGE("bandwidth", Bandwidth_Sel, CARD, 0, 2),
    RANGE("fftmode", DVBT_FFTSize, CHIP, 0, 2),
    RANGE("guardinterval", DVBT_GadIntSize, CHIP, 0, 3),
    RANGE("constellationmode", DVBT_QAMMod, CHIP, 0, 2),
    RANGE("convolutionalbitrate", DVBT_CodeMod, CHIP, 0, 4),
};
const Member kDVBC[] = {
    RANGE("bandwidth", Bandwidth_Sel, CARD, 0, 2),
    RANGE("qammode", QAMMod, CHIP, 0, 4),
    RANGE("symbolrate", SymbolRate, CHIP, 1, kSymbolRateMax),
};
// J.83 Annex B runs one spacing (6 MHz) and the symbol rate of its
// constellation (checked as derived values).
const Member kAnnexB[] = {
    RANGE("qammode", AnnexBQAMMode, CHIP, 0, 1),
    ENUMERATION("Interweave", AnnexBIntLeav, CHIP, kAnnexBIntLeav),
    RANGE("bandwidth", Bandwidth_Sel, OWN, 0, 0),
    RANGE("symbolrate", SymbolRate, CHIP, 0, 0xFFFFFFFFu),
};
const Member kISDBT[] = {
    RANGE("bandwidth", Bandwidth_Sel, CARD, 0, 2),
    RANGE("fftmode", u8FFTMode, CHIP, 1, 3),
    RANGE("gimode", u8GImode, CHIP, 0, 3),
    RANGE("qammode", u8ISDBTQAMMode, CHIP, 0, 3),
    RANGE("convolutionalbitrate", u8ConvolutionalCodeRate, CHIP, 0, 4),
    ENUMERATION("segmentmode", u8SegmentMode, CHIP, kSegments),
};

struct MemberList {
    const Member* p;
    size_t n;
};

MemberList OfMode(U32 mode)
{
    switch (mode) {
    case 0: return {kDTMB, sizeof(kDTMB) / sizeof(kDTMB[0])};
    case 1: return {kDVBT, sizeof(kDVBT) / sizeof(kDVBT[0])};
    case 3: return {kDVBC, sizeof(kDVBC) / sizeof(kDVBC[0])};
    case 4: return {kAnnexB, sizeof(kAnnexB) / sizeof(kAnnexB[0])};
    case 5: return {kISDBT, sizeof(kISDBT) / sizeof(kISDBT[0])};
    default: return {nullptr, 0};
    }
}

// Every member this card runs: the common ones, then those of its standard.
template <class F> void ForEachMember(U32 mode, F f)
{
    for (const Member& m : kCommon)
        f(m);
    MemberList l = OfMode(mode);
    for (size_t i = 0; i < l.n; i++)
        f(l.p[i]);
}

U32 Get(const TParameter_DTMB& s, const Member& m, U32 c)
{
    const U8* p = reinterpret_cast<const U8*>(&s) + m.offset + (size_t)c * m.width;
    if (m.width == 1)
        return *p;
    U32 v;
    memcpy(&v, p, sizeof(v));
    return v;
}

void Put(TParameter_DTMB& s, const Member& m, U32 c, U32 v)
{
    U8* p = reinterpret_cast<U8*>(&s) + m.offset + (size_t)c * m.width;
    if (m.width == 1)
        *p = (U8)v;
    else
        memcpy(p, &v, sizeof(v));
}

U32 FirstOf(U32 c) { return c < 4 ? 0 : 4; }
bool IsFrequency(const Member& m) { return m.offset == offsetof(TParameter_DTMB, OutputFreq); }
bool IsPower(const Member& m) { return m.offset == offsetof(TParameter_DTMB, OutputPow); }
bool IsAnnexBSymbolRate(U32 mode, const Member& m)
{
    return mode == 4 && m.offset == offsetof(TParameter_DTMB, SymbolRate);
}

U32 AnnexBSymbolRate(U32 qam) { return qam == ANNEXB_QAM64 ? 5057 : 5361; }

bool IsDVBCSymbolRate(U32 mode, const Member& m)
{
    return mode == 3 && m.offset == offsetof(TParameter_DTMB, SymbolRate);
}

// Where a chip lays its channels out from its first one, the first one's
// frequency as the card's MIB offers it.
bool IsFirstFrequency(U32 mode, const Member& m, U32 c)
{
    return m.offset == offsetof(TParameter_DTMB, OutputFreq) && (c == 0 || c == 4) &&
           (mode == 0 || mode == 1 || mode == 3 || mode == 5);
}

// What a request may set beyond what the hardware takes.
bool InRequestRange(U32 mode, const Member& m, U32 c, U32 v)
{
    if (IsFirstFrequency(mode, m, c))
        return v >= kFrequencyRequestMinKHz && v <= kFrequencyRequestMaxKHz;
    return !IsDVBCSymbolRate(mode, m) || (v >= kSymbolRateRequestMin && v <= kSymbolRateRequestMax);
}

bool InRange(const Member& m, U32 c, U32 v)
{
    if (IsPower(m))
        return Modulate_LevelFits(c >= 4, v);
    if (m.list == nullptr)
        return v >= m.lo && v <= m.hi;
    for (size_t i = 0; i < m.n; i++)
        if (m.list[i] == v)
            return true;
    return false;
}

// What the card runs for channel c of a set whose deciding channels hold
// their values already.
U32 Derived(U32 mode, const TParameter_DTMB& s, const Member& m, U32 c)
{
    if (IsFrequency(m))
        return Modulate_ProgrammedFreq(s, c);
    if (IsAnnexBSymbolRate(mode, m))
        return AnnexBSymbolRate(s.AnnexBQAMMode[FirstOf(c)]);
    switch (m.share) {
    case CHIP: return Get(s, m, FirstOf(c));
    case CARD: return Get(s, m, 0);
    default: return Get(s, m, c);
    }
}

// The values a member takes, for a refusal's text.
void Allowed(const Member& m, U32 c, char* out, size_t len, bool request = true)
{
    if (IsPower(m)) {
        int lo = -1, hi = -1;
        for (U32 v = 0; v <= 0xFF; v++) {
            if (Modulate_LevelFits(c >= 4, v)) {
                if (lo < 0)
                    lo = (int)v;
                hi = (int)v;
            }
        }
        if (lo < 0)
            snprintf(out, len, "none on this board");
        else
            snprintf(out, len, "%d..%d on this board", lo, hi);
        return;
    }
    if (IsDVBCSymbolRate(PARAMS_GetModulationMod(), m) && request) {
        snprintf(out, len, "%u..%u", kSymbolRateRequestMin, kSymbolRateRequestMax);
        return;
    }
    if (IsFirstFrequency(PARAMS_GetModulationMod(), m, c) && request) {
        snprintf(out, len, "%u..%u", kFrequencyRequestMinKHz, kFrequencyRequestMaxKHz);
        return;
    }
    if (m.list == nullptr) {
        snprintf(out, len, "%u..%u", m.lo, m.hi);
        return;
    }
    size_t used = 0;
    out[0] = '\0';
    for (size_t i = 0; i < m.n && used < len; i++)
        used += (size_t)snprintf(out + used, len - used, "%s%u", i ? ", " : "", m.list[i]);
}

bool Refuse(DTMB_Refusal* why, zrErrCode code, DTMB_RefusalKind kind, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
bool Refuse(DTMB_Refusal* why, zrErrCode code, DTMB_RefusalKind kind, const char* fmt, ...)
{
    if (why != nullptr) {
        why->enCode = code;
        why->enKind = kind;
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(why->acField, sizeof(why->acField), fmt, ap);
        va_end(ap);
    }
    return false;
}

U32 Distance(U32 a, U32 b) { return a > b ? a - b : b - a; }

// Two carriers in one band, of a candidate whose frequencies or enables
// changed: the chips' bands apart (each from its first channel over four
// channel spacings), and in ATSC each moved or switched-on channel at least
// one channel from every other enabled one.
bool BandsApart(const TParameter_DTMB& live, const TParameter_DTMB& next, DTMB_Refusal* why)
{
    const U32 mode = PARAMS_GetModulationMod();
    auto on = [](const TParameter_DTMB& s, U32 c) { return (s.u32Enable[c] & 1) != 0; };
    if (mode == 6) {
        for (U32 c = 0; c < DTMB_CHANNEL_NUM; c++) {
            if (next.OutputFreq[c] == live.OutputFreq[c] && (on(live, c) || !on(next, c)))
                continue;
            for (U32 k = 0; k < DTMB_CHANNEL_NUM; k++) {
                if (k == c || !on(next, k) || Distance(next.OutputFreq[k], next.OutputFreq[c]) >= kATSCChannelKHz)
                    continue;
                return Refuse(why, ZR_ERR_WEB_POST_PARAM, DTMB_REFUSED_CLASH,
                              "frequency of channel %u: %u (channel %u is on air at %u: two channels lie %u kHz "
                              "apart at least)",
                              c, next.OutputFreq[c], k, next.OutputFreq[k], kATSCChannelKHz);
            }
        }
        return true;
    }
    if (mode != 0 && mode != 1 && mode != 3 && mode != 5)
        return true;
    bool moved = next.u32Enable[0] != live.u32Enable[0] || next.u32Enable[4] != live.u32Enable[4];
    for (U32 c = 0; c < DTMB_CHANNEL_NUM; c++)
        moved = moved || next.OutputFreq[c] != Modulate_ProgrammedFreq(live, c);
    const U32 span = 4 * (Modulate_ProgrammedFreq(next, 1) - Modulate_ProgrammedFreq(next, 0));
    if (!moved || Distance(next.OutputFreq[0], next.OutputFreq[4]) >= span)
        return true;
    const U32 c = next.OutputFreq[0] != live.OutputFreq[0] ? 0 : 4;
    return Refuse(why, ZR_ERR_WEB_POST_PARAM, DTMB_REFUSED_CLASH,
                  "frequency of channel %u: %u (the bands of channels 0-3 from %u and channels 4-7 from %u overlap: "
                  "%u kHz apart, %u at least)",
                  c, next.OutputFreq[c], next.OutputFreq[0], next.OutputFreq[4],
                  Distance(next.OutputFreq[0], next.OutputFreq[4]), span);
}

}  // namespace

void DTMB_NormaliseSet(TParameter_DTMB* pstSet)
{
    if (pstSet == nullptr)
        return;
    TParameter_DTMB& s = *pstSet;
    U32 mode = PARAMS_GetModulationMod();
    // Deciding channels first; the frequencies last, as they follow channel
    // 0's bandwidth.
    ForEachMember(mode, [&](const Member& m) {
        if (IsFrequency(m))
            return;
        for (U32 c = 0; c < DTMB_CHANNEL_NUM; c++) {
            if (IsAnnexBSymbolRate(mode, m))
                continue;
            if (m.share == OWN && m.list == nullptr && m.lo == m.hi)
                Put(s, m, c, m.lo);  // one value only (J.83 Annex B's spacing)
            else if (m.share != OWN)
                Put(s, m, c, Derived(mode, s, m, c));
        }
    });
    if (mode == 4)
        for (U32 c = 0; c < DTMB_CHANNEL_NUM; c++)
            s.SymbolRate[c] = AnnexBSymbolRate(s.AnnexBQAMMode[c]);
    TParameter_DTMB decided = s;
    for (U32 c = 0; c < DTMB_CHANNEL_NUM; c++)
        s.OutputFreq[c] = Modulate_ProgrammedFreq(decided, c);
}

bool DTMB_CheckCandidate(const TParameter_DTMB* pstLive, TParameter_DTMB* pstCand, DTMB_Refusal* pstWhy,
                         DTMB_Road enRoad)
{
    if (pstLive == nullptr || pstCand == nullptr)
        return Refuse(pstWhy, ZR_ERR_WEB_POST_PARAM, DTMB_REFUSED_RANGE, "no parameter set");
    const TParameter_DTMB& live = *pstLive;
    const TParameter_DTMB& cand = *pstCand;
    U32 mode = PARAMS_GetModulationMod();
    bool ok = true;
    char allowed[96];

    if ((mode == 4 || mode == 6) && cand.u32ATSCChannelMode != live.u32ATSCChannelMode &&
        cand.u32ATSCChannelMode > 3)
        return Refuse(pstWhy, ZR_ERR_WEB_POST_PARAM, DTMB_REFUSED_RANGE, "channelstandard: %u (0..3)",
                      cand.u32ATSCChannelMode);

    // Each changed value within what the hardware and the standard take.
    ForEachMember(mode, [&](const Member& m) {
        for (U32 c = 0; ok && c < DTMB_CHANNEL_NUM; c++) {
            U32 v = Get(cand, m, c);
            const bool request = enRoad == DTMB_ROAD_REQUEST;
            if (v == Get(live, m, c) || (InRange(m, c, v) && (!request || InRequestRange(mode, m, c, v))))
                continue;
            Allowed(m, c, allowed, sizeof(allowed), request);
            ok = Refuse(pstWhy, ZR_ERR_WEB_POST_PARAM, DTMB_REFUSED_RANGE, "%s of channel %u: %u (%s)", m.key, c, v,
                        allowed);
        }
    });
    if (!ok)
        return false;

    // A changed value of a channel whose chip (or channel 0) decides it for
    // all its channels must be the one that runs.
    ForEachMember(mode, [&](const Member& m) {
        for (U32 c = 0; ok && c < DTMB_CHANNEL_NUM; c++) {
            U32 v = Get(cand, m, c);
            if (v == Get(live, m, c))
                continue;
            U32 runs = Derived(mode, cand, m, c);
            if (v == runs)
                continue;
            if (IsFrequency(m))
                ok = Refuse(pstWhy, ZR_ERR_WEB_FREQUENCY_DERIVED, DTMB_REFUSED_DERIVED,
                            "frequency of channel %u: %u (derived: channel %u plus the channel spacing gives %u)", c,
                            v, FirstOf(c), runs);
            else if (IsAnnexBSymbolRate(mode, m))
                ok = Refuse(pstWhy, ZR_ERR_WEB_POST_PARAM, DTMB_REFUSED_DERIVED,
                            "symbolrate of channel %u: %u (its qammode runs %u)", c, v, runs);
            else if (m.share == CARD)
                ok = Refuse(pstWhy, ZR_ERR_WEB_POST_PARAM, DTMB_REFUSED_DERIVED,
                            "%s of channel %u: %u (channel 0 decides it for every channel: %u)", m.key, c, v, runs);
            else
                ok = Refuse(pstWhy, ZR_ERR_WEB_POST_PARAM, DTMB_REFUSED_DERIVED,
                            "%s of channel %u: %u (the chip's one core runs channel %u's for channels %u-%u: %u)",
                            m.key, c, v, FirstOf(c), FirstOf(c), FirstOf(c) + 3, runs);
        }
    });
    if (!ok)
        return false;

    TParameter_DTMB next = cand;
    DTMB_NormaliseSet(&next);
    // What the chips are programmed with: the frequencies of each chip and
    // the transport-stream rate of each channel.
    for (U32 first = 0; first < DTMB_CHANNEL_NUM; first += 4) {
        bool moved = false;
        for (U32 k = 0; k < 4; k++)
            moved = moved || next.OutputFreq[first + k] != Modulate_ProgrammedFreq(live, first + k);
        if (!moved || Modulate_FrequenciesFit(next, first))
            continue;
        U32 top = 0;
        for (U32 k = 0; k < 4; k++)
            top = next.OutputFreq[first + k] > top ? next.OutputFreq[first + k] : top;
        return Refuse(pstWhy, ZR_ERR_WEB_POST_PARAM, DTMB_REFUSED_RANGE,
                      "frequency of channel %u: %u (its channels reach %u kHz, %u at most)", first,
                      next.OutputFreq[first], top, kFrequencyMaxKHz);
    }
    for (U32 c = 0; c < DTMB_CHANNEL_NUM; c++) {
        U32 rate = DTMB_GetChannelPayloadRate(&next, c);
        if (rate == DTMB_GetChannelPayloadRate(&live, c) || DTMB_ChannelHasTSRate(&next, c))
            continue;
        return Refuse(pstWhy, ZR_ERR_WEB_POST_PARAM, DTMB_REFUSED_RANGE,
                      "symbolrate of channel %u: %u (a payload of %u kbit/s gives the channel no transport-stream rate)",
                      c, next.SymbolRate[c], rate);
    }
    if (!BandsApart(live, next, pstWhy))
        return false;
    *pstCand = next;
    return true;
}

namespace {

// The channel whose value a member of channel c runs with.
U32 Decider(const Member& m, U32 c)
{
    return m.share == CHIP ? FirstOf(c) : m.share == CARD ? 0 : c;
}

// The lines a reading gives: one per member, stored value and reading,
// naming every channel it covers.
class Readings
{
public:
    void Add(const char* key, U32 from, U32 to, const char* why, U32 channel)
    {
        for (Line& l : m_lines) {
            if (strcmp(l.key, key) == 0 && l.from == from && l.to == to && strcmp(l.why, why) == 0) {
                Append(l, channel);
                return;
            }
        }
        m_lines.push_back({key, from, to, why, {0}});
        Append(m_lines.back(), channel);
    }
    void Log(const char* pcFrom) const
    {
        for (const Line& l : m_lines)
            log_printf(LOG_LEVEL_WARNING, LOG_MODULE_PARAM, "%ld:%s:%d %s: %s%s%s: %u read as %u (%s)\n", LOG_POS,
                       pcFrom, l.key, l.channels[0] ? " of channel " : "", l.channels, l.from, l.to, l.why);
    }

private:
    struct Line {
        const char* key;
        U32 from, to;
        const char* why;
        char channels[32];
    };
    static void Append(Line& l, U32 channel)
    {
        if (channel >= DTMB_CHANNEL_NUM)
            return;
        size_t n = strlen(l.channels);
        snprintf(l.channels + n, sizeof(l.channels) - n, "%s%u", n ? ", " : "", channel);
    }
    std::vector<Line> m_lines;
};

constexpr U32 kNoChannel = DTMB_CHANNEL_NUM;

}  // namespace

bool DTMB_ReadStoredSet(const TParameter_DTMB* pstBase, TParameter_DTMB* pstSet, const bool* pbHeld, bool bFallBack,
                        const char* pcFrom, DTMB_Refusal* pstWhy)
{
    if (pstBase == nullptr || pstSet == nullptr)
        return Refuse(pstWhy, ZR_ERR_WEB_POST_PARAM, DTMB_REFUSED_RANGE, "no parameter set");
    const TParameter_DTMB& base = *pstBase;
    TParameter_DTMB& s = *pstSet;
    const TParameter_DTMB stored = s;
    const U32 mode = PARAMS_GetModulationMod();
    auto held = [pbHeld](U32 c) { return pbHeld == nullptr || pbHeld[c]; };
    Readings lines;
    char allowed[96];
    bool ok = true;

    if ((mode == 4 || mode == 6) && s.u32ATSCChannelMode > 3) {
        if (!bFallBack)
            return Refuse(pstWhy, ZR_ERR_WEB_POST_PARAM, DTMB_REFUSED_RANGE, "channelstandard: %u (0..3)",
                          s.u32ATSCChannelMode);
        lines.Add("channelstandard", s.u32ATSCChannelMode, base.u32ATSCChannelMode, "runs no plan: the one before",
                  kNoChannel);
        s.u32ATSCChannelMode = base.u32ATSCChannelMode;
    }
    // The deciding values first: as the hardware ran them, else the base's.
    ForEachMember(mode, [&](const Member& m) {
        for (U32 c = 0; ok && c < DTMB_CHANNEL_NUM; c++) {
            if (Decider(m, c) != c || IsAnnexBSymbolRate(mode, m) || !held(c))
                continue;
            U32 v = Get(s, m, c), runs = 0;
            if (InRange(m, c, v) || v == Get(base, m, c))
                continue;  // runs as it is, or is what runs already
            if (m.share == OWN && m.list == nullptr && m.lo == m.hi) {
                Put(s, m, c, m.lo);
                lines.Add(m.key, v, m.lo, "the one value the standard runs", c);
            } else if (IsPower(m) && Modulate_LevelRuns(c >= 4, v, &runs)) {
                Put(s, m, c, runs);
                lines.Add(m.key, v, runs, "what the 6-bit attenuator ran", c);
            } else if (!bFallBack) {
                Allowed(m, c, allowed, sizeof(allowed), false);
                ok = Refuse(pstWhy, ZR_ERR_WEB_POST_PARAM, DTMB_REFUSED_RANGE, "%s of channel %u: %u (%s)", m.key, c,
                            v, allowed);
            } else {
                Put(s, m, c, Get(base, m, c));
                lines.Add(m.key, v, Get(base, m, c), "the card cannot run it: the value before", c);
            }
        }
    });
    if (!ok)
        return false;
    // A value that another channel decides, as the deciding one's, where the
    // store holds that channel. Only a value of the channel's own is news: one
    // that followed its deciding value was logged with it.
    ForEachMember(mode, [&](const Member& m) {
        for (U32 c = 0; c < DTMB_CHANNEL_NUM; c++) {
            const bool fixed = IsFrequency(m) || IsAnnexBSymbolRate(mode, m);
            const U32 d = fixed ? FirstOf(c) : Decider(m, c);
            if ((d == c && !IsAnnexBSymbolRate(mode, m)) || !held(d))
                continue;
            U32 v = Get(s, m, c), runs = Derived(mode, s, m, c);
            if (v == runs || v == Get(base, m, c))
                continue;  // what runs, or no change (the checks derive it)
            Put(s, m, c, runs);
            if (fixed || Get(stored, m, c) != Get(stored, m, d))
                lines.Add(m.key, v, runs,
                          IsFrequency(m)            ? "what its chip tuned it to"
                          : IsAnnexBSymbolRate(mode, m) ? "the rate of its qammode"
                          : m.share == CARD         ? "channel 0's, which every channel ran"
                                                    : "its chip's first channel's, which the chip's one core ran",
                          c);
        }
    });
    if (bFallBack) {
        // What the chips could not be programmed with: the base's.
        for (U32 first = 0; first < DTMB_CHANNEL_NUM; first += 4) {
            if (Modulate_FrequenciesFit(s, first))
                continue;
            lines.Add("frequency", s.OutputFreq[first], base.OutputFreq[first], "its chip cannot tune it: the value before",
                      first);
            for (U32 k = 0; k < 4; k++)
                s.OutputFreq[first + k] = base.OutputFreq[first + k];
        }
        for (U32 c = 0; c < DTMB_CHANNEL_NUM; c++) {
            if (DTMB_ChannelHasTSRate(&s, c) || !DTMB_ChannelHasTSRate(&base, c))
                continue;
            MemberList own = OfMode(mode);
            for (size_t i = 0; i < own.n; i++) {
                const U32 d = Decider(own.p[i], c);
                if (Get(s, own.p[i], d) != Get(base, own.p[i], d))
                    lines.Add(own.p[i].key, Get(s, own.p[i], d), Get(base, own.p[i], d),
                              "gives no transport-stream rate: the value before", d);
                Put(s, own.p[i], d, Get(base, own.p[i], d));
            }
        }
        DTMB_NormaliseSet(&s);
    }
    if (pcFrom != nullptr)
        lines.Log(pcFrom);
    return true;
}
