// CRC-32 and small conversions used across modules.
#pragma once
#include "Common/types.h"

// CRC-32, polynomial 0x04C11DB7, MSB first, no reflection, no final XOR.
// A starting value of 0 stands for 0xFFFFFFFF.
U32 Common_CRC_Calculate(const U8* pu8Data, U32 u32Length, U32 u32CRCValue);
U32 Common_CRCCalculate(U8* data, U32 length, U32 CRCValue);

void Common_ChangeBit8To32(U32* pu32Data, const U8* pu8Data, U8 u8Length);
void Common_ConvertASCToUTF16(U8* paru8Name, U16 u16Len, U8* pu8Buffer);
void Common_AddrU32toString(U8* pu8Addr, U32 u32IP);
