#include "Common/commonfun.h"
#include "Log/log.h"
#include <array>
#include <cstdio>

namespace {
// Byte-wise table of the bit-by-bit algorithm: same results, eight times fewer steps.
constexpr std::array<U32, 256> MakeCrcTable()
{
    std::array<U32, 256> t{};
    for (U32 i = 0; i < 256; i++) {
        U32 r = i << 24;
        for (int b = 0; b < 8; b++)
            r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : (r << 1);
        t[i] = r;
    }
    return t;
}
constexpr auto kCrcTable = MakeCrcTable();
}  // namespace

U32 Common_CRC_Calculate(const U8* pu8Data, U32 u32Length, U32 u32CRCValue)
{
    U32 crc = u32CRCValue == 0 ? 0xFFFFFFFFu : u32CRCValue;
    for (U32 i = 0; i < u32Length; i++)
        crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ pu8Data[i]) & 0xFF];
    return crc;
}

U32 Common_CRCCalculate(U8* data, U32 length, U32 CRCValue)
{
    if (data == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Param is NULL!\n", LOG_POS);
        return 0;
    }
    return Common_CRC_Calculate(data, length, CRCValue);
}

void Common_ChangeBit8To32(U32* pu32Data, const U8* pu8Data, U8 u8Length)
{
    if (pu32Data == nullptr || pu8Data == nullptr || u8Length < 4 || u8Length > 196)
        return;
    for (U32 i = 0; i < u8Length / 4u; i++) {
        const U8* p = pu8Data + i * 4;
        pu32Data[i] = ((U32)p[0] << 24) | ((U32)p[1] << 16) | ((U32)p[2] << 8) | p[3];
    }
}

void Common_ConvertASCToUTF16(U8* paru8Name, U16 u16Len, U8* pu8Buffer)
{
    if (paru8Name == nullptr || pu8Buffer == nullptr || u16Len == 0)
        return;
    for (U32 i = 0; i < u16Len; i++) {
        pu8Buffer[2 * i] = 0;
        pu8Buffer[2 * i + 1] = paru8Name[i];
    }
}

void Common_AddrU32toString(U8* pu8Addr, U32 u32IP)
{
    if (pu8Addr == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Param is NULL!\n", LOG_POS);
        return;
    }
    snprintf((char*)pu8Addr, 16, "%d.%d.%d.%d", (int)((u32IP >> 24) & 0xFF), (int)((u32IP >> 16) & 0xFF),
             (int)((u32IP >> 8) & 0xFF), (int)(u32IP & 0xFF));
}
