// The HTTP server's growable byte strings: allocation in 64-byte blocks,
// appends, numbers, the six escape encodings, URL decoding, path
// normalisation and case-folded comparison.
#include "CommonModules/httpd/buffer.h"
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

static const char hex_chars[] = "0123456789abcdef";

namespace {

using EscapeMap = std::array<char, 256>;

constexpr EscapeMap MakeMap(buffer_encoding_t enc)
{
    EscapeMap m{};
    for (int c = 0; c < 256; ++c) {
        bool esc = false;
        switch (enc) {
        case ENCODING_REL_URI:
        case ENCODING_REL_URI_PART:
            esc = c <= 0x20 || (c >= 0x22 && c <= 0x27) || c == 0x2B || c == 0x2C || (c >= 0x3A && c <= 0x40) ||
                  (c >= 0x5B && c <= 0x5E) || c == 0x60 || c >= 0x7B || (enc == ENCODING_REL_URI_PART && c == '/');
            break;
        case ENCODING_HTML:
            esc = c < 0x20 || c == '&' || c == '<' || c == '>' || c >= 0x7F;
            break;
        case ENCODING_MINIMAL_XML:
            esc = c < 0x20 || c == '&' || c == '<' || c == '>' || c == 0x7F;
            break;
        case ENCODING_HEX:
            esc = true;
            break;
        case ENCODING_HTTP_HEADER:
            esc = c == '\n';
            break;
        default:
            break;
        }
        m[c] = esc ? 1 : 0;
    }
    return m;
}

constexpr EscapeMap encoded_chars_rel_uri = MakeMap(ENCODING_REL_URI);
constexpr EscapeMap encoded_chars_rel_uri_part = MakeMap(ENCODING_REL_URI_PART);
constexpr EscapeMap encoded_chars_html = MakeMap(ENCODING_HTML);
constexpr EscapeMap encoded_chars_minimal_xml = MakeMap(ENCODING_MINIMAL_XML);
constexpr EscapeMap encoded_chars_hex = MakeMap(ENCODING_HEX);
constexpr EscapeMap encoded_chars_http_header = MakeMap(ENCODING_HTTP_HEADER);
const EscapeMap* const encoding_maps[] = {&encoded_chars_rel_uri, &encoded_chars_rel_uri_part, &encoded_chars_html,
                                          &encoded_chars_minimal_xml, &encoded_chars_hex, &encoded_chars_http_header};

// Next multiple of 64 strictly above n.
size_t BlockSize(size_t n)
{
    return n - n % 64 + 64;
}

}  // namespace

buffer* buffer_init(void)
{
    buffer* b = (buffer*)calloc(1, sizeof(*b));
    SRV_ASSERT(b);
    return b;
}

buffer* buffer_init_string(const char* s)
{
    buffer* b = buffer_init();
    buffer_copy_string(b, s);
    return b;
}

buffer* buffer_init_buffer(buffer* src)
{
    buffer* b = buffer_init();
    buffer_copy_string_buffer(b, src);
    return b;
}

void buffer_free(buffer* b)
{
    if (b == nullptr)
        return;
    free(b->ptr);
    free(b);
}

void buffer_reset(buffer* b)
{
    if (b == nullptr)
        return;
    if (b->size > 4096) {
        free(b->ptr);
        b->ptr = nullptr;
        b->size = 0;
    } else if (b->size) {
        b->ptr[0] = '\0';
    }
    b->used = 0;
}

int buffer_prepare_copy(buffer* b, size_t size)
{
    if (b == nullptr)
        return -1;
    if (b->size == 0 || b->size < size) {
        free(b->ptr);
        b->size = BlockSize(size);
        b->ptr = (char*)malloc(b->size);
        SRV_ASSERT(b->ptr);
    }
    b->used = 0;
    return 0;
}

int buffer_prepare_append(buffer* b, size_t size)
{
    if (b == nullptr)
        return -1;
    if (b->size == 0) {
        b->size = BlockSize(size);
        b->ptr = (char*)malloc(b->size);
        b->used = 0;
        SRV_ASSERT(b->ptr);
    } else if (b->used + size > b->size) {
        b->size = BlockSize(b->size + size);
        b->ptr = (char*)realloc(b->ptr, b->size);
        SRV_ASSERT(b->ptr);
    }
    return 0;
}

int buffer_copy_string_len(buffer* b, const char* s, size_t s_len)
{
    if (b == nullptr || s == nullptr)
        return -1;
    buffer_prepare_copy(b, s_len + 1);
    memcpy(b->ptr, s, s_len);
    b->ptr[s_len] = '\0';
    b->used = s_len + 1;
    return 0;
}

int buffer_copy_string(buffer* b, const char* s)
{
    if (s == nullptr)
        return -1;
    return buffer_copy_string_len(b, s, strlen(s));
}

int buffer_copy_string_buffer(buffer* b, const buffer* src)
{
    if (src == nullptr)
        return -1;
    if (src->used == 0) {
        buffer_reset(b);
        return 0;
    }
    return buffer_copy_string_len(b, src->ptr, src->used - 1);
}

int buffer_append_memory(buffer* b, const char* s, size_t s_len)
{
    if (b == nullptr || s == nullptr)
        return -1;
    if (s_len == 0)
        return 0;
    buffer_prepare_append(b, s_len);
    memcpy(b->ptr + b->used, s, s_len);
    b->used += s_len;
    return 0;
}

int buffer_copy_memory(buffer* b, const char* s, size_t s_len)
{
    if (b == nullptr || s == nullptr)
        return -1;
    b->used = 0;
    return buffer_append_memory(b, s, s_len);
}

int buffer_append_string_len(buffer* b, const char* s, size_t s_len)
{
    if (b == nullptr || s == nullptr)
        return -1;
    if (s_len == 0)
        return 0;
    buffer_prepare_append(b, s_len + 1);
    if (b->used == 0)
        b->used++;
    memcpy(b->ptr + b->used - 1, s, s_len);
    b->used += s_len;
    b->ptr[b->used - 1] = '\0';
    return 0;
}

int buffer_append_string(buffer* b, const char* s)
{
    if (b == nullptr || s == nullptr)
        return -1;
    size_t len = strlen(s);
    buffer_prepare_append(b, len + 1);
    if (b->used == 0)
        b->used++;
    memcpy(b->ptr + b->used - 1, s, len + 1);
    b->used += len;
    return 0;
}

int buffer_append_string_buffer(buffer* b, const buffer* src)
{
    if (src == nullptr)
        return -1;
    if (src->used == 0)
        return 0;
    return buffer_append_string_len(b, src->ptr, src->used - 1);
}

int buffer_append_string_rfill(buffer* b, const char* s, size_t maxlen)
{
    if (b == nullptr || s == nullptr)
        return -1;
    size_t len = strlen(s);
    if (len > maxlen)
        len = maxlen;
    buffer_prepare_append(b, maxlen + 1);
    if (b->used == 0)
        b->used++;
    memcpy(b->ptr + b->used - 1, s, len);
    memset(b->ptr + b->used - 1 + len, ' ', maxlen - len);
    b->used += maxlen;
    b->ptr[b->used - 1] = '\0';
    return 0;
}

int LI_ltostr(char* buf, long val)
{
    // The magnitude is taken unsigned so that the most negative value works too.
    unsigned long mag = val < 0 ? 0UL - (unsigned long)val : (unsigned long)val;
    int n = 0;
    do {
        buf[n++] = (char)('0' + mag % 10);
        mag /= 10;
    } while (mag);
    if (val < 0)
        buf[n++] = '-';
    for (int i = 0, j = n - 1; i < j; ++i, --j) {
        char t = buf[i];
        buf[i] = buf[j];
        buf[j] = t;
    }
    buf[n] = '\0';
    return n;
}

int buffer_append_long(buffer* b, long val)
{
    if (b == nullptr)
        return -1;
    buffer_prepare_append(b, 32);
    if (b->used == 0)
        b->used++;
    b->used += LI_ltostr(b->ptr + b->used - 1, val);
    return 0;
}

int buffer_copy_long(buffer* b, long val)
{
    if (b == nullptr)
        return -1;
    b->used = 0;
    return buffer_append_long(b, val);
}

int buffer_append_long_hex(buffer* b, unsigned long value)
{
    if (b == nullptr)
        return -1;
    value &= 0xFFFFFFFFUL;
    int digits = 1;
    for (unsigned long v = value >> 4; v; v >>= 4)
        digits++;
    if (digits & 1)
        digits++;
    buffer_prepare_append(b, digits + 1);
    if (b->used == 0)
        b->used++;
    char* p = b->ptr + b->used - 1;
    for (int i = digits - 1; i >= 0; --i)
        *p++ = hex_chars[(value >> (4 * i)) & 0xF];
    *p = '\0';
    b->used += digits;
    return 0;
}

int buffer_copy_string_hex(buffer* b, const char* in, size_t in_len)
{
    if (b == nullptr || in == nullptr)
        return -1;
    if (in_len * 2 < in_len)
        return -1;
    buffer_prepare_copy(b, in_len * 2 + 1);
    for (size_t i = 0; i < in_len; ++i) {
        b->ptr[2 * i] = hex_chars[((unsigned char)in[i] >> 4) & 0xF];
        b->ptr[2 * i + 1] = hex_chars[(unsigned char)in[i] & 0xF];
    }
    b->ptr[in_len * 2] = '\0';
    b->used = in_len * 2 + 1;
    return 0;
}

int buffer_append_string_encoded(buffer* b, const char* s, size_t s_len, buffer_encoding_t encoding)
{
    if (b == nullptr || s == nullptr)
        return -1;
    if (b->ptr == nullptr || b->used == 0 || b->ptr[b->used - 1] != '\0')
        SRV_ABORT();
    if (encoding < ENCODING_REL_URI || encoding > ENCODING_HTTP_HEADER)
        log_failed_assert(SRV_FILE, __LINE__, "assertion failed: map != NULL");
    if (s_len == 0)
        return 0;
    const EscapeMap& map = *encoding_maps[encoding - 1];
    size_t escLen = encoding <= ENCODING_REL_URI_PART ? 3 : encoding <= ENCODING_MINIMAL_XML ? 6 : 2;
    size_t outLen = 0;
    for (size_t i = 0; i < s_len; ++i)
        outLen += map[(unsigned char)s[i]] ? escLen : 1;
    buffer_prepare_append(b, outLen);
    char* d = b->ptr + b->used - 1;
    for (size_t i = 0; i < s_len; ++i) {
        unsigned char c = (unsigned char)s[i];
        if (!map[c]) {
            *d++ = (char)c;
            continue;
        }
        switch (encoding) {
        case ENCODING_REL_URI:
        case ENCODING_REL_URI_PART:
            *d++ = '%';
            *d++ = hex_chars[c >> 4];
            *d++ = hex_chars[c & 0xF];
            break;
        case ENCODING_HTML:
        case ENCODING_MINIMAL_XML:
            memcpy(d, "&#x", 3);
            d += 3;
            *d++ = hex_chars[c >> 4];
            *d++ = hex_chars[c & 0xF];
            *d++ = ';';
            break;
        case ENCODING_HEX:
            *d++ = hex_chars[c >> 4];
            *d++ = hex_chars[c & 0xF];
            break;
        default:
            *d++ = '\n';
            *d++ = '\t';
            break;
        }
    }
    *d = '\0';
    b->used += outLen;
    return 0;
}

static int UrlDecode(buffer* url, bool isQuery)
{
    if (url == nullptr || url->ptr == nullptr)
        return -1;
    if (url->used == 0)
        return 0;
    // Decoding only shrinks, so it works in place.
    const unsigned char* src = (const unsigned char*)url->ptr;
    char* dst = url->ptr;
    while (*src) {
        if (isQuery && *src == '+') {
            *dst++ = ' ';
            src++;
        } else if (*src == '%' && hex2int(src[1]) != (char)0xFF && hex2int(src[2]) != (char)0xFF) {
            unsigned char hi = (unsigned char)hex2int(src[1]), lo = (unsigned char)hex2int(src[2]);
            unsigned char c = (unsigned char)((hi << 4) | lo);
            *dst++ = (c < 0x20 || c == 0x7F) ? '_' : (char)c;
            src += 3;
        } else {
            *dst++ = (char)*src++;
        }
    }
    *dst = '\0';
    url->used = (size_t)(dst - url->ptr) + 1;
    return 0;
}

int buffer_urldecode_path(buffer* url)
{
    return UrlDecode(url, false);
}

int buffer_urldecode_query(buffer* url)
{
    return UrlDecode(url, true);
}

int buffer_path_simplify(buffer* dest, buffer* src)
{
    if (src == nullptr || src->ptr == nullptr || dest == nullptr)
        return -1;
    // The text ends at the first NUL or at used - 1, whichever comes first.
    const char* s = src->ptr;
    const char* end = src->used ? s + strnlen(s, src->used - 1) : s;
    while (s < end && *s == ' ')
        s++;
    std::vector<std::string_view> segs;
    bool trailing = false;
    if (s < end && *s == '/')
        s++;
    // Each segment is the text after a "/" (the first one may lack it).
    while (true) {
        const char* e = static_cast<const char*>(memchr(s, '/', (size_t)(end - s)));
        bool last = e == nullptr;
        if (last)
            e = end;
        std::string_view seg(s, (size_t)(e - s));
        if (seg == "..") {
            if (!segs.empty())
                segs.pop_back();
            trailing = last;
        } else if (seg.empty() || seg == ".") {
            trailing = last;
        } else {
            segs.push_back(seg);
            trailing = false;
        }
        if (last)
            break;
        s = e + 1;
    }
    std::string out = "/";
    for (size_t i = 0; i < segs.size(); ++i) {
        if (i)
            out += '/';
        out.append(segs[i]);
    }
    if (trailing && !segs.empty())
        out += '/';
    if (src == dest)
        buffer_prepare_append(dest, 1);
    else
        buffer_prepare_copy(dest, src->used + 1);
    buffer_copy_string_len(dest, out.data(), out.size());
    return 0;
}

int buffer_is_empty(const buffer* b)
{
    return b == nullptr || b->used == 0;
}

int buffer_is_equal(const buffer* a, const buffer* b)
{
    if (a == nullptr || b == nullptr)
        return 0;
    if (a->used != b->used)
        return 0;
    if (a->used == 0)
        return 1;
    return strcmp(a->ptr, b->ptr) == 0;
}

int buffer_is_equal_string(const buffer* a, const char* s, size_t b_len)
{
    if (a == nullptr || s == nullptr)
        return 0;
    if (a->used != b_len + 1)
        return 0;
    return memcmp(a->ptr, s, b_len) == 0;
}

int buffer_is_equal_caseless_string(const buffer* a, const char* s, size_t b_len)
{
    if (a == nullptr || s == nullptr)
        return 0;
    if (a->used != b_len + 1)
        return 0;
    return strncasecmp(a->ptr, s, b_len) == 0;
}

int buffer_is_equal_right_len(const buffer* a, const buffer* b, size_t len)
{
    if (len == 0)
        return 1;
    if (a == nullptr || b == nullptr || a->used == 0 || b->used == 0)
        return 0;
    if (a->used - 1 < len || b->used - 1 < len)
        return 0;
    return memcmp(a->ptr + a->used - 1 - len, b->ptr + b->used - 1 - len, len) == 0;
}

int buffer_caseless_compare(const char* a, size_t a_len, const char* b, size_t b_len)
{
    size_t n = a_len < b_len ? a_len : b_len;
    for (size_t i = 0; i < n; ++i) {
        unsigned char ca = (unsigned char)a[i], cb = (unsigned char)b[i];
        if (ca == cb)
            continue;
        if (ca >= 'A' && ca <= 'Z')
            ca |= 0x20;
        if (cb >= 'A' && cb <= 'Z')
            cb |= 0x20;
        if (ca != cb)
            return (int)ca - (int)cb;
    }
    return (int)a_len - (int)b_len;
}

char* buffer_search_string_len(buffer* b, const char* needle, size_t len)
{
    if (b == nullptr || needle == nullptr || len == 0 || b->used == 0 || len >= b->used)
        return nullptr;
    for (size_t i = 0; i + len < b->used; ++i)
        if (memcmp(b->ptr + i, needle, len) == 0)
            return b->ptr + i;
    return nullptr;
}

int buffer_to_lower(buffer* b)
{
    if (b == nullptr || b->ptr == nullptr)
        return 0;
    for (char* c = b->ptr; *c; ++c)
        if (*c >= 'A' && *c <= 'Z')
            *c |= 0x20;
    return 0;
}

int buffer_to_upper(buffer* b)
{
    if (b == nullptr || b->ptr == nullptr)
        return 0;
    for (char* c = b->ptr; *c; ++c)
        if (*c >= 'a' && *c <= 'z')
            *c &= ~0x20;
    return 0;
}

char int2hex(char c)
{
    return hex_chars[c & 0x0F];
}

char hex2int(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return (char)(c - '0');
    if (c >= 'a' && c <= 'f')
        return (char)(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return (char)(c - 'A' + 10);
    return (char)0xFF;
}

int light_isdigit(int c)
{
    return c >= '0' && c <= '9';
}

int light_isxdigit(int c)
{
    return light_isdigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int light_isalpha(int c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

int light_isalnum(int c)
{
    return light_isdigit(c) || light_isalpha(c);
}

buffer_array* buffer_array_init(void)
{
    buffer_array* b = (buffer_array*)calloc(1, sizeof(*b));
    SRV_ASSERT(b);
    return b;
}

buffer* buffer_array_append_get_buffer(buffer_array* b)
{
    if (b->used == b->size) {
        b->size += 16;
        b->ptr = (buffer**)realloc(b->ptr, sizeof(*b->ptr) * b->size);
        SRV_ASSERT(b->ptr);
        for (size_t i = b->used; i < b->size; ++i)
            b->ptr[i] = nullptr;
    }
    if (b->ptr[b->used] == nullptr)
        b->ptr[b->used] = buffer_init();
    b->ptr[b->used]->used = 0;
    return b->ptr[b->used++];
}

void buffer_array_reset(buffer_array* b)
{
    if (b == nullptr)
        return;
    for (size_t i = 0; i < b->used; ++i)
        buffer_reset(b->ptr[i]);
    b->used = 0;
}

void buffer_array_free(buffer_array* b)
{
    if (b == nullptr)
        return;
    for (size_t i = 0; i < b->size; ++i)
        buffer_free(b->ptr[i]);
    free(b->ptr);
    free(b);
}

void log_failed_assert(const char* filename, unsigned int line, const char* msg)
{
    fprintf(stderr, "%s.%u: %s\n", filename, line, msg);
    fflush(stderr);
    abort();
}
