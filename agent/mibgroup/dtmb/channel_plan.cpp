// The channel plans of 8VSB and J.83 Annex B (off-air, cable standard, IRC
// and HRC): centre frequencies in kHz with names "CH<n>-<MHz>MHz", and the
// look-ups between a channel's frequency and its name.
#include "agent/mibgroup/dtmb/dtmb.h"
#include <cstdio>
#include <cstring>

U32 qamb_atsc_AIR[QAMB_ATSC_AIR_NUM];
U32 qamb_atsc_std[QAMB_ATSC_CABLE_NUM];
U32 qamb_atsc_irc[QAMB_ATSC_CABLE_NUM];
U32 qamb_atsc_hrc[QAMB_ATSC_CABLE_NUM];
char qamb_atsc_AIR_CH[QAMB_ATSC_AIR_NUM][SETTING_NAME_SIZE];
char qamb_atsc_std_CH[QAMB_ATSC_CABLE_NUM][SETTING_NAME_SIZE];
char qamb_atsc_irc_CH[QAMB_ATSC_CABLE_NUM][SETTING_NAME_SIZE];
char qamb_atsc_hrc_CH[QAMB_ATSC_CABLE_NUM][SETTING_NAME_SIZE];

static U32 OffAirFreq(U32 n)
{
    if (n <= 4)
        return 57000 + 6000 * (n - 2);
    if (n <= 6)
        return 79000 + 6000 * (n - 5);
    if (n <= 13)
        return 177000 + 6000 * (n - 7);
    return 473000 + 6000 * (n - 14);
}

static U32 CableStdFreq(U32 n)
{
    if (n <= 13)
        return OffAirFreq(n);
    if (n <= 22)
        return 123000 + 6000 * (n - 14);
    if (n <= 94)
        return 219000 + 6000 * (n - 23);
    if (n <= 99)
        return 93000 + 6000 * (n - 95);
    return 651000 + 6000 * (n - 100);
}

static U32 CableIrcFreq(U32 n)
{
    return n == 5 ? 79250 : n == 6 ? 85250 : CableStdFreq(n);
}

static U32 CableHrcFreq(U32 n)
{
    return n == 5 ? 78000 : n == 6 ? 84000 : CableStdFreq(n) - 1250;
}

// "CH<n>-<MHz>MHz" with the MHz figure free of trailing zeros.
static void NameChannel(char* out, U32 n, U32 freqKHz)
{
    char mhz[16];
    U32 frac = freqKHz % 1000;
    if (frac == 0)
        snprintf(mhz, sizeof(mhz), "%u", freqKHz / 1000);
    else if (frac % 100 == 0)
        snprintf(mhz, sizeof(mhz), "%u.%u", freqKHz / 1000, frac / 100);
    else if (frac % 10 == 0)
        snprintf(mhz, sizeof(mhz), "%u.%02u", freqKHz / 1000, frac / 10);
    else
        snprintf(mhz, sizeof(mhz), "%u.%03u", freqKHz / 1000, frac);
    snprintf(out, SETTING_NAME_SIZE, "CH%u-%sMHz", n, mhz);
}

static void FillPlan(U32* freq, char (*name)[SETTING_NAME_SIZE], U32 count, U32 (*freqOf)(U32))
{
    for (U32 i = 0; i < count; i++) {
        freq[i] = freqOf(i + 2);
        NameChannel(name[i], i + 2, freq[i]);
    }
}

static bool FillPlans(void)
{
    FillPlan(qamb_atsc_AIR, qamb_atsc_AIR_CH, QAMB_ATSC_AIR_NUM, OffAirFreq);
    FillPlan(qamb_atsc_std, qamb_atsc_std_CH, QAMB_ATSC_CABLE_NUM, CableStdFreq);
    FillPlan(qamb_atsc_irc, qamb_atsc_irc_CH, QAMB_ATSC_CABLE_NUM, CableIrcFreq);
    FillPlan(qamb_atsc_hrc, qamb_atsc_hrc_CH, QAMB_ATSC_CABLE_NUM, CableHrcFreq);
    return true;
}

const ATSC_ChannelPlan* ATSC_GetChannelPlan(U32 plan)
{
    static const bool filled = FillPlans();
    (void)filled;
    static const ATSC_ChannelPlan plans[4] = {
        {qamb_atsc_AIR, qamb_atsc_AIR_CH, QAMB_ATSC_AIR_NUM},
        {qamb_atsc_std, qamb_atsc_std_CH, QAMB_ATSC_CABLE_NUM},
        {qamb_atsc_irc, qamb_atsc_irc_CH, QAMB_ATSC_CABLE_NUM},
        {qamb_atsc_hrc, qamb_atsc_hrc_CH, QAMB_ATSC_CABLE_NUM},
    };
    return plan < 4 ? &plans[plan] : nullptr;
}

int ATSC_FindChannelByFreq(const ATSC_ChannelPlan* plan, U32 freq)
{
    if (plan == nullptr)
        return -1;
    for (U32 i = 0; i < plan->count; i++)
        if (plan->freq[i] == freq)
            return (int)i;
    return -1;
}

int ATSC_FindChannelByName(const ATSC_ChannelPlan* plan, const char* text, size_t len)
{
    if (plan == nullptr || (text == nullptr && len != 0))
        return -1;
    for (U32 i = 0; i < plan->count; i++) {
        const char* name = plan->name[i];
        size_t nameLen = strnlen(name, SETTING_NAME_SIZE);
        if (len == nameLen && memcmp(text, name, len) == 0)
            return (int)i;
        // The frequency part: between the first '-' and the first 'M' after it.
        const char* dash = static_cast<const char*>(memchr(name, '-', nameLen));
        if (dash == nullptr)
            continue;
        const char* from = dash + 1;
        const char* m = static_cast<const char*>(memchr(from, 'M', nameLen - (size_t)(from - name)));
        size_t partLen = m != nullptr ? (size_t)(m - from) : nameLen - (size_t)(from - name);
        if (len == partLen && memcmp(text, from, len) == 0)
            return (int)i;
    }
    return -1;
}
