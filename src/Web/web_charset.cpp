// DVB text: SI names (selector byte + table) to UTF-8 for the browser and
// UTF-8 names back to SI text with a selector chosen from their characters.
#include "StatusProcess/resource.h"
#include "Web/web.h"
#include "Web/web_charset.h"
#include <cstring>
#include <string>

static U8 s_aru8ServiceName[257];

static const U16* web_8859Table(U32 part, U32* len)
{
    switch (part) {
#define PART(n)                     \
    case n:                         \
        *len = iso8859_##n##_unicode_len; \
        return iso8859_##n##_unicode_map;
        PART(1) PART(2) PART(3) PART(4) PART(5) PART(6) PART(7) PART(8) PART(9) PART(10) PART(11) PART(13)
            PART(14) PART(15)
#undef PART
    default:
        *len = 0;
        return nullptr;
    }
}

U16 web_8859Unit(U32 part, U8 byte)
{
    U32 len = 0;
    const U16* t = web_8859Table(part, &len);
    if (byte < 0xA1)
        return byte;
    U32 i = byte - 0xA1u;
    return (t != nullptr && i < len) ? t[i] : 0;
}

#define CONV(name, table, below)                                 \
    U16 name(U8 byte)                                            \
    {                                                            \
        return byte < (below) ? byte : table[byte - (below)];    \
    }
CONV(Windows_1251_conv_to_uc16, windows_1251_unicode_map, 0x80)
CONV(Windows_1252_conv_to_uc16, windows_1252_unicode_map, 0x80)
#undef CONV
#define CONV(n) \
    U16 iso8859_##n##_conv_to_uc16(U8 byte) { return web_8859Unit(n, byte); }
CONV(1) CONV(2) CONV(3) CONV(4) CONV(5) CONV(6) CONV(7) CONV(8) CONV(9) CONV(10) CONV(11) CONV(13) CONV(14) CONV(15)
#undef CONV

// Byte of the "no table" rows: 0x20..0x7F and 0xA0..0xFF kept, others dropped.
static bool web_KeepLatin1(U8 b) { return (b >= 0x20 && b <= 0x7F) || b >= 0xA0; }

// Decodes the bytes of an 8859 part (0 = kept as Latin-1) into units; an
// unassigned byte's 0 unit ends the text.
static void web_Decode8859(const U8* p, U32 part, U16* out)
{
    U32 n = 0;
    for (; *p; p++) {
        U8 b = *p;
        if (part == 0) {
            if (web_KeepLatin1(b))
                out[n++] = b;
            continue;
        }
        if (b >= 0x20 && b <= 0x7F)
            out[n++] = b;
        else if (b == 0xA0)
            out[n++] = 0xA0;
        else if (b >= 0xA1) {
            U16 u = web_8859Unit(part, b);
            if (u == 0)
                break;
            out[n++] = u;
        }
    }
    out[n] = 0;
}

void Convert_8859_to_U(const U8* text, U16* out)
{
    static const U8 kOneByte[12] = {0, 5, 6, 7, 8, 9, 10, 11, 0, 13, 14, 15};
    U8 sel = text[0];
    if (sel == 0) {
        out[0] = 0;
    } else if (sel <= 0x0B) {
        web_Decode8859(text + 1, kOneByte[sel], out);
    } else if (sel == 0x10) {
        // Three-byte form: the second byte is the 0x00 of the form itself.
        U8 n = text[2];
        if (n == 0) {
            out[0] = 0;
            return;
        }
        U32 part = (n >= 1 && n <= 15 && n != 12) ? n : 0;
        web_Decode8859(text + 3, part, out);
    } else {
        out[0] = 0;
    }
}

bool UTF82Unicode(const U8* in, U16* out)
{
    U32 n = 0;
    while (*in) {
        U8 b = *in;
        U32 extra;
        U32 cp;
        if (b < 0x80) {
            extra = 0;
            cp = b;
        } else if ((b & 0xE0) == 0xC0) {
            extra = 1;
            cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2;
            cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3;
            cp = b & 0x07;
        } else if ((b & 0xFC) == 0xF8) {
            extra = 4;
            cp = b & 0x03;
        } else if ((b & 0xFE) == 0xFC) {
            extra = 5;
            cp = b & 0x01;
        } else {
            out[n] = 0;
            return false;
        }
        in++;
        // A sequence cut by the end of the text stops at the NUL.
        for (U32 k = 0; k < extra && *in; k++, in++)
            cp = (cp << 6) | (*in & 0x3F);
        out[n++] = (U16)cp;
    }
    out[n] = 0;
    return true;
}

static U32 web_PutUnit(U16 u, U8* out)
{
    if (u < 0x80) {
        out[0] = (U8)u;
        return 1;
    }
    if (u < 0x800) {
        out[0] = (U8)(0xC0 | (u >> 6));
        out[1] = (U8)(0x80 | (u & 0x3F));
        return 2;
    }
    out[0] = (U8)(0xE0 | (u >> 12));
    out[1] = (U8)(0x80 | ((u >> 6) & 0x3F));
    out[2] = (U8)(0x80 | (u & 0x3F));
    return 3;
}

U32 Unicode2Utf8(U16 unit, U8* out) { return web_PutUnit(unit, out); }

U32 utf16_to_utf8(const U16* units, U8* out)
{
    U32 n = 0;
    for (; *units; units++)
        n += web_PutUnit(*units, out + n);
    out[n++] = 0;
    return n;
}

void UCS2_to_UTF8(const U16* units, U8* out) { utf16_to_utf8(units, out); }

// The pair whose key field holds key, by halving a table sorted by it.
static const CodePair* web_Halve(const CodePair* t, U32 len, U16 CodePair::*field, U16 key)
{
    U32 lo = 0, hi = len;
    while (lo < hi) {
        U32 mid = (lo + hi) / 2;
        if (t[mid].*field == key)
            return &t[mid];
        if (t[mid].*field < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}

U16 Convert_GB_to_U(U16 code)
{
    if (code < 0x85EE || code > 0xF7FE)
        return code;
    if (code == 0xF7FE)
        return 0x9F44;
    const CodePair* p = web_Halve(UnicodeToGB, UnicodeToGB_len, &CodePair::b, code);
    return p ? p->a : code;
}

U16 Convert_BIG5_to_U(U16 code)
{
    if (code < 0xA140 || code > 0xFEFE)
        return code;
    if (code == 0xFEFE)
        return 0xE310;
    const CodePair* p = web_Halve(BIG5ToUnicode, BIG5ToUnicode_len, &CodePair::a, code);
    return p ? p->b : code;
}

static void web_TwoByteToUnits(const U8* p, U16* out, U16 (*conv)(U16))
{
    U32 n = 0;
    while (*p) {
        if (p[0] > 0xA0 && p[1] != 0) {
            out[n++] = conv((U16)(p[0] << 8 | p[1]));
            p += 2;
        } else {
            out[n++] = *p++;
        }
    }
    out[n] = 0;
}

void ConvertGBToUTF16(const U8* text, U16* out) { web_TwoByteToUnits(text, out, Convert_GB_to_U); }
void ConvertBIG5ToUTF16(const U8* text, U16* out) { web_TwoByteToUnits(text, out, Convert_BIG5_to_U); }

U8 ConvertUnit_U_to_8859_5(U16 u)
{
    if (u < 0xA0 || u == 0xA0 || u == 0xAD)
        return (U8)u;
    if ((u >= 0x401 && u <= 0x40C) || (u >= 0x40E && u <= 0x44F) || (u >= 0x451 && u <= 0x45C) ||
        (u >= 0x45E && u <= 0x45F))
        return (U8)(u - 0x360);
    if (u == 0x2116)
        return 0xF0;
    if (u == 0xA7)
        return 0xFD;
    return 0;
}

void Convert_U_to_8859_5(const U16* units, U32 count, U8* out)
{
    for (U32 i = 0; i < count; i++)
        out[i] = ConvertUnit_U_to_8859_5(units[i]);
}

static const CodePair* web_FindGB(U16 u)
{
    for (U32 i = 0; i < UnicodeToGB_len; i++)
        if (UnicodeToGB[i].a == u)
            return &UnicodeToGB[i];
    return nullptr;
}

// Units 0x20..0x7F as one byte, others as the two bytes (high first) of
// their code, or nothing without one; never more than outMax bytes.
static U32 web_UnitsToTwoByte(const U16* units, U32 count, U8* out, U32 outMax, U16 (*code)(U16))
{
    U32 n = 0;
    for (U32 i = 0; i < count && units[i] != 0; i++) {
        U16 u = units[i];
        if (u >= 0x20 && u <= 0x7F) {
            if (n + 1 > outMax)
                break;
            out[n++] = (U8)u;
        } else if (U16 c = code(u)) {
            if (n + 2 > outMax)
                break;
            out[n++] = (U8)(c >> 8);
            out[n++] = (U8)c;
        }
    }
    return n;
}

static U16 web_GBCode(U16 u)
{
    const CodePair* p = web_FindGB(u);
    return p ? p->b : 0;
}

U32 Convert_U_to_GB(const U16* units, U32 count, U8* out, U32 outMax)
{
    return web_UnitsToTwoByte(units, count, out, outMax, web_GBCode);
}

// Searched from the end: of the few units that two BIG5 codes decode to,
// the later code is the one encoders use.
static const CodePair* web_FindBIG5(U16 u)
{
    for (U32 i = BIG5ToUnicode_len; i-- > 0;)
        if (BIG5ToUnicode[i].b == u)
            return &BIG5ToUnicode[i];
    return nullptr;
}

static U16 web_BIG5Code(U16 u)
{
    const CodePair* p = web_FindBIG5(u);
    return p ? p->a : 0;
}

U32 Convert_U_to_BIG5(const U16* units, U32 count, U8* out, U32 outMax)
{
    return web_UnitsToTwoByte(units, count, out, outMax, web_BIG5Code);
}

void Convert_UTF8_to_U_TaiWan(const U8* utf8, U32 length, U16* out, U32* count)
{
    std::string s((const char*)utf8, strnlen((const char*)utf8, length));
    UTF82Unicode((const U8*)s.c_str(), out);
    U32 n = 0;
    while (out[n])
        n++;
    *count = n;
}

static U16 web_6937Combined(U8 mark, U8 letter)
{
    const CodePair* p = web_Halve(ISO6937Combined, ISO6937Combined_len, &CodePair::a, (U16)(mark << 8 | letter));
    return p ? p->b : 0;
}

U32 EPGMultiLanguage(const U8* text, U32 length, U16* out)
{
    U32 n = 0;
    for (U32 i = 0; i < length && text[i] != 0; i++) {
        U8 b = text[i];
        if (b >= 0x20 && b <= 0x7F) {
            out[n++] = b;
        } else if (b >= 0xC1 && b <= 0xCF) {
            // A diacritical mark goes with the next byte; without a
            // precomposed form the letter stands alone.
            if (i + 1 >= length || text[i + 1] == 0)
                break;
            U16 u = web_6937Combined(b, text[i + 1]);
            if (u == 0 && text[i + 1] >= 0x20 && text[i + 1] <= 0x7F)
                u = text[i + 1];
            if (u != 0)
                out[n++] = u;
            i++;
        } else if (b >= 0xA0 && iso6937_unicode_map[b - 0xA0] != 0) {
            out[n++] = iso6937_unicode_map[b - 0xA0];
        }
    }
    out[n] = 0;
    return n;
}

U32 Convert_CNCode_to_U(const U8* text, U32 length, U16* out)
{
    out[0] = 0;
    if (text == nullptr || length == 0 || text[0] == 0)
        return 0;
    const U8 sel = text[0];
    const std::string s((const char*)text, strnlen((const char*)text, length));
    if (sel <= 0x0B) {
        Convert_8859_to_U((const U8*)s.c_str(), out);
    } else if (sel == 0x10) {
        // The three-byte form holds a 0x00 of its own.
        if (length < 3)
            return 0;
        std::string t((const char*)text, 3);
        t.append((const char*)text + 3, strnlen((const char*)text + 3, length - 3));
        Convert_8859_to_U((const U8*)t.c_str(), out);
    } else if (sel == 0x11) {
        U32 k = 0;
        for (U32 i = 1; i + 1 < length; i += 2)
            if ((out[k] = (U16)(text[i] << 8 | text[i + 1])) != 0)
                k++;
        out[k] = 0;
    } else if (sel == 0x13 || sel == 0x14) {
        (sel == 0x13 ? ConvertGBToUTF16 : ConvertBIG5ToUTF16)((const U8*)s.c_str() + 1, out);
    } else if (sel == 0x15) {
        UTF82Unicode((const U8*)s.c_str() + 1, out);
    } else if (sel < 0x20) {
        EPGMultiLanguage(text + 1, length - 1, out);
    } else if (IsGBSimplifiedChinese((const U8*)s.c_str())) {
        ConvertGBToUTF16((const U8*)s.c_str(), out);
    } else {
        EPGMultiLanguage(text, length, out);
    }
    U32 n = 0;
    while (out[n] != 0)
        n++;
    return n;
}

bool IsUnicodeCyrillic(const U16* u)
{
    for (; *u; u++)
        if (*u >= 0x400 && *u <= 0x4FF)
            return true;
    return false;
}

bool IsUnicodeSimplifiedChinese(const U16* u)
{
    for (; *u; u++)
        if (web_FindGB(*u))
            return true;
    return false;
}

bool IsUnicodeTaiwanChinese(const U16* u)
{
    for (; *u; u++)
        if (web_FindBIG5(*u))
            return true;
    return false;
}

bool IsGBSimplifiedChinese(const U8* text)
{
    size_t len = strnlen((const char*)text, 1025);
    if (len > 1024)
        return false;
    if (text[0] >= 0x01 && text[0] <= 0x1F && text[0] != 0x13 && text[0] != 0x14)
        return false;
    for (size_t i = 0; i < len; i++)
        if (text[i] > 0xA0)
            return true;
    return false;
}

// Copies at most max bytes of the text into a terminated string.
static std::string web_Take(const U8* text, U32 length, U32 max)
{
    U32 n = length < max ? length : max;
    return std::string((const char*)text, strnlen((const char*)text, n));
}

// Last step of the decoder: control characters become spaces, at most 256
// bytes, never cutting a UTF-8 character in two.
static U8* web_FinishUTF8(const U8* utf8)
{
    size_t n = strnlen((const char*)utf8, 768);
    if (n > 256) {
        n = 256;
        while (n > 0 && (utf8[n] & 0xC0) == 0x80)  // utf8[256] continues a character
            n--;
    }
    for (size_t i = 0; i < n; i++) {
        U8 c = utf8[i];
        s_aru8ServiceName[i] = (c < 0x20 || c == 0x7F) ? ' ' : c;
    }
    s_aru8ServiceName[n] = 0;
    return s_aru8ServiceName;
}

U8* web_StringConvertToUTF8(const U8* text, U32 length)
{
    s_aru8ServiceName[0] = 0;
    if (text == nullptr || length == 0)
        return s_aru8ServiceName;
    static U16 units[1024];
    static U8 utf8[3 * 1024 + 1];
    U8 b = text[0];
    utf8[0] = 0;
    if (b == 0x00) {
        return s_aru8ServiceName;
    } else if (b <= 0x0B) {
        std::string s = web_Take(text, length, 256);
        Convert_8859_to_U((const U8*)s.c_str(), units);
        utf16_to_utf8(units, utf8);
    } else if (b == 0x10) {
        U8 head[3] = {0x10, 0x00, length >= 3 ? text[2] : (U8)0};
        std::string s((const char*)head, 3);
        if (length > 3)
            s += web_Take(text + 3, length - 3, 253);
        Convert_8859_to_U((const U8*)s.c_str(), units);
        utf16_to_utf8(units, utf8);
    } else if (b == 0x11) {
        U32 n = length - 1 < 512 ? length - 1 : 512;
        U32 k = 0;
        for (U32 i = 0; i + 1 < n; i += 2)
            units[k++] = (U16)(text[1 + i] << 8 | text[2 + i]);
        units[k] = 0;
        UCS2_to_UTF8(units, utf8);
    } else if (b == 0x13 || b == 0x14) {
        std::string s = web_Take(text + 1, length - 1, 256);
        (b == 0x13 ? ConvertGBToUTF16 : ConvertBIG5ToUTF16)((const U8*)s.c_str(), units);
        utf16_to_utf8(units, utf8);
    } else if (b == 0x15) {
        std::string s = web_Take(text + 1, length - 1, 768);
        memcpy(utf8, s.c_str(), s.size() + 1);
    } else if (b < 0x20) {
        std::string s = web_Take(text, length, 768);
        memcpy(utf8, s.c_str(), s.size() + 1);
    } else {
        std::string s = web_Take(text, length, 768);
        if (IsGBSimplifiedChinese((const U8*)s.c_str())) {
            ConvertGBToUTF16((const U8*)s.substr(0, 256).c_str(), units);
            utf16_to_utf8(units, utf8);
        } else {
            memcpy(utf8, s.c_str(), s.size() + 1);
        }
    }
    return web_FinishUTF8(utf8);
}

// Strict UTF-8 (no overlong forms, surrogates or code points past U+10FFFF)
// decoded into code points; false for anything else. At most max are kept.
static bool web_DecodeUTF8(const U8* p, U32 length, U32* out, U32 max, U32* count)
{
    U32 n = 0;
    for (U32 i = 0; i < length;) {
        U8 b = p[i];
        U32 extra, cp, min;
        if (b < 0x80) {
            extra = 0, cp = b, min = 0;
        } else if (b >= 0xC2 && b <= 0xDF) {
            extra = 1, cp = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2, cp = b & 0x0F, min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3, cp = b & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (length - i - 1 < extra)
            return false;
        for (U32 k = 1; k <= extra; k++) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (n < max)
            out[n++] = cp;
        i += 1 + extra;
    }
    *count = n;
    return true;
}

// The tables a name can be coded in after its selector.
enum WebTable { kTableUTF8, kTable8859_5, kTableGB, kTableBIG5 };

// Whether a character reads back as itself from the table: printable ASCII
// in all of them, the rest through the table's pairs.
static bool web_Fits(U32 cp, WebTable t)
{
    if (cp >= 0x20 && cp <= 0x7F)
        return true;
    if (cp < 0xA0 || cp > 0xFFFF)
        return false;
    switch (t) {
    case kTable8859_5:
        return ConvertUnit_U_to_8859_5((U16)cp) != 0;
    case kTableGB:
        return web_FindGB((U16)cp) != nullptr;
    case kTableBIG5:
        return web_FindBIG5((U16)cp) != nullptr;
    default:
        return true;
    }
}

// The table a name selects (encoding mode 1: BIG5; else by its characters,
// Cyrillic first, then GB2312, then BIG5); UTF-8 when none is selected or
// some character of the name has no place in the one selected.
static WebTable web_PickTable(const U32* cps, U32 n)
{
    WebTable t = kTableUTF8;
    if (Web_proEncodingMode() == 1) {
        t = kTableBIG5;
    } else {
        for (U32 i = 0; i < n && t == kTableUTF8; i++)
            if (cps[i] >= 0x400 && cps[i] <= 0x4FF)
                t = kTable8859_5;
        for (U32 i = 0; i < n && t == kTableUTF8; i++)
            if (cps[i] > 0x7F && web_Fits(cps[i], kTableGB))
                t = kTableGB;
        for (U32 i = 0; i < n && t == kTableUTF8; i++)
            if (cps[i] > 0x7F && web_Fits(cps[i], kTableBIG5))
                t = kTableBIG5;
    }
    for (U32 i = 0; i < n && t != kTableUTF8; i++)
        if (!web_Fits(cps[i], t))
            t = kTableUTF8;
    return t;
}

// Bytes of a UTF-8 text that hold whole characters only, at most max.
static U32 web_UTF8Cut(const U8* p, U32 length, U32 max)
{
    if (length <= max)
        return length;
    U32 n = max;
    while (n > 0 && (p[n] & 0xC0) == 0x80)
        n--;
    return n;
}

U8* web_UTF8ToServiceName(const U8* text, U32 length)
{
    memset(s_aru8ServiceName, 0, sizeof(s_aru8ServiceName));
    if (text == nullptr || length == 0)
        return s_aru8ServiceName;
    // Up to 256 characters fill the 256 bytes after a selector.
    static U32 cps[256];
    U32 n = 0;
    if (!web_DecodeUTF8(text, length, cps, 256, &n))
        return nullptr;
    bool ascii = true;
    for (U32 i = 0; i < length; i++)
        if (text[i] < 0x20 || text[i] > 0x7F)
            ascii = false;
    if (ascii) {
        memcpy(s_aru8ServiceName, text, length < 255 ? length : 255);
        return s_aru8ServiceName;
    }
    // Every unit fits its table, so all are below 0x10000 and none is 0.
    static U16 units[257];
    for (U32 i = 0; i < n; i++)
        units[i] = (U16)cps[i];
    units[n] = 0;
    U8* out = s_aru8ServiceName + 1;
    switch (web_PickTable(cps, n)) {
    case kTable8859_5:
        s_aru8ServiceName[0] = 0x01;
        Convert_U_to_8859_5(units, n, out);
        break;
    case kTableGB:
        s_aru8ServiceName[0] = 0x13;
        Convert_U_to_GB(units, n, out, 256);
        break;
    case kTableBIG5:
        s_aru8ServiceName[0] = 0x14;
        Convert_U_to_BIG5(units, n, out, 256);
        break;
    default:
        s_aru8ServiceName[0] = 0x15;
        memcpy(out, text, web_UTF8Cut(text, length, 254));
        break;
    }
    return s_aru8ServiceName;
}

U32 web_SITextCut(const U8* text, U32 length, U32 max)
{
    if (length <= max)
        return length;
    if (text[0] == 0x15)
        return 1 + web_UTF8Cut(text + 1, length - 1, max - 1);
    if (text[0] != 0x13 && text[0] != 0x14)
        return max;
    // Two-byte codes start with a byte above 0x80; walk from the start, since
    // a BIG5 code's second byte may look like ASCII.
    U32 n = 1;
    while (n < length) {
        U32 step = text[n] > 0x80 ? 2 : 1;
        if (n + step > max)
            break;
        n += step;
    }
    return n;
}

U32 web_strlen(const U8* text, U32 limit)
{
    if (text == nullptr || limit == 0)
        return 0;
    for (U32 i = 0; i < limit; i++)
        if (text[i] == 0 && (i + 1 == limit || text[i + 1] == 0))
            return i;
    return limit;
}

U8 Web_proEncodingMode(void)
{
    TResource_TS* back = Resource_GetHandle(16);
    return back ? back->u8EncodingMode : 0;
}
