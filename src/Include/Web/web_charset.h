// DVB text character sets: the selector-driven SI text decoder, the UTF-8
// encoder's helpers and the tables behind them (16-bit units throughout).
#pragma once
#include "Common/types.h"

struct CodePair {
    U16 a;
    U16 b;
};

extern const U16 iso8859_1_unicode_map[], iso8859_2_unicode_map[], iso8859_3_unicode_map[],
    iso8859_4_unicode_map[], iso8859_5_unicode_map[], iso8859_6_unicode_map[], iso8859_7_unicode_map[],
    iso8859_8_unicode_map[], iso8859_9_unicode_map[], iso8859_10_unicode_map[], iso8859_11_unicode_map[],
    iso8859_13_unicode_map[], iso8859_14_unicode_map[], iso8859_15_unicode_map[];
extern const U32 iso8859_1_unicode_len, iso8859_2_unicode_len, iso8859_3_unicode_len, iso8859_4_unicode_len,
    iso8859_5_unicode_len, iso8859_6_unicode_len, iso8859_7_unicode_len, iso8859_8_unicode_len,
    iso8859_9_unicode_len, iso8859_10_unicode_len, iso8859_11_unicode_len, iso8859_13_unicode_len,
    iso8859_14_unicode_len, iso8859_15_unicode_len;
extern const U16 windows_1251_unicode_map[128], windows_1252_unicode_map[128];
// {Unicode unit, GB2312 code}, sorted by code.
extern const CodePair UnicodeToGB[];
extern const U32 UnicodeToGB_len;
// {BIG5 code, Unicode unit}, sorted by code.
extern const CodePair BIG5ToUnicode[];
extern const U32 BIG5ToUnicode_len;

// ISO/IEC 6937: units of the spacing bytes 0xA0..0xFF (0 for the
// diacritical bytes and unassigned ones), and {diacritical byte << 8 | letter,
// precomposed unit} pairs, sorted.
extern const U16 iso6937_unicode_map[96];
extern const CodePair ISO6937Combined[];
extern const U32 ISO6937Combined_len;

// One byte to its unit: bytes below 0xA1 (0x80 for the Windows pages) as
// they are, others through the table; 0 for an unassigned byte.
U16 iso8859_1_conv_to_uc16(U8 byte);
U16 iso8859_2_conv_to_uc16(U8 byte);
U16 iso8859_3_conv_to_uc16(U8 byte);
U16 iso8859_4_conv_to_uc16(U8 byte);
U16 iso8859_5_conv_to_uc16(U8 byte);
U16 iso8859_6_conv_to_uc16(U8 byte);
U16 iso8859_7_conv_to_uc16(U8 byte);
U16 iso8859_8_conv_to_uc16(U8 byte);
U16 iso8859_9_conv_to_uc16(U8 byte);
U16 iso8859_10_conv_to_uc16(U8 byte);
U16 iso8859_11_conv_to_uc16(U8 byte);
U16 iso8859_13_conv_to_uc16(U8 byte);
U16 iso8859_14_conv_to_uc16(U8 byte);
U16 iso8859_15_conv_to_uc16(U8 byte);
U16 Windows_1251_conv_to_uc16(U8 byte);
U16 Windows_1252_conv_to_uc16(U8 byte);
// UTF-8 of one unit (1 to 3 bytes, no NUL); returns the byte count.
U32 Unicode2Utf8(U16 unit, U8* out);
// The default table of DVB texts (ISO/IEC 6937) decoded into units, a
// diacritical byte combined with the letter after it; control bytes are
// dropped. out holds length + 1 units; returns the count, a 0 unit after.
U32 EPGMultiLanguage(const U8* text, U32 length, U16* out);
// An SI text decoded into units by its selector (the decoders above; the
// default table for a text without one, GB2312 when it holds a byte above
// 0xA0). out holds length + 1 units; returns the count, a 0 unit after.
U32 Convert_CNCode_to_U(const U8* text, U32 length, U16* out);

// Unit of a byte of an ISO 8859 part (1..11, 13..15); 0 for none.
U16 web_8859Unit(U32 part, U8 byte);
void Convert_8859_to_U(const U8* text, U16* out);
bool UTF82Unicode(const U8* utf8, U16* out);
U32 utf16_to_utf8(const U16* units, U8* out);
void UCS2_to_UTF8(const U16* units, U8* out);
void ConvertGBToUTF16(const U8* text, U16* out);
void ConvertBIG5ToUTF16(const U8* text, U16* out);
U16 Convert_GB_to_U(U16 code);
U16 Convert_BIG5_to_U(U16 code);
U8 ConvertUnit_U_to_8859_5(U16 unit);
void Convert_U_to_8859_5(const U16* units, U32 count, U8* out);
// Writes at most outMax bytes; returns the number written.
U32 Convert_U_to_BIG5(const U16* units, U32 count, U8* out, U32 outMax);
// Writes at most outMax bytes; returns the number written.
U32 Convert_U_to_GB(const U16* units, U32 count, U8* out, U32 outMax);
void Convert_UTF8_to_U_TaiWan(const U8* utf8, U32 length, U16* out, U32* count);
bool IsUnicodeCyrillic(const U16* units);
bool IsUnicodeSimplifiedChinese(const U16* units);
bool IsUnicodeTaiwanChinese(const U16* units);
bool IsGBSimplifiedChinese(const U8* text);
