// MD5 (RFC 1321): 64-byte blocks, four rounds of sixteen steps, little-endian
// words and length.
#include "CommonModules/httpd/md5.h"
#include <cstring>

namespace {

const uint32_t K[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
const int S[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 5, 9,  14, 20, 5, 9,
                   14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                   4, 11, 16, 23, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

uint32_t Rotl(uint32_t x, int c)
{
    return (x << c) | (x >> (32 - c));
}

void Transform(uint32_t state[4], const unsigned char block[64])
{
    uint32_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = (uint32_t)block[4 * i] | ((uint32_t)block[4 * i + 1] << 8) | ((uint32_t)block[4 * i + 2] << 16) |
               ((uint32_t)block[4 * i + 3] << 24);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        uint32_t tmp = d;
        d = c;
        c = b;
        b = b + Rotl(a + f + K[i] + m[g], S[i]);
        a = tmp;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void li_MD5_Init(li_MD5_CTX* ctx)
{
    ctx->count[0] = ctx->count[1] = 0;
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
}

void li_MD5_Update(li_MD5_CTX* ctx, const void* input, unsigned int len)
{
    const unsigned char* in = (const unsigned char*)input;
    unsigned int index = (ctx->count[0] >> 3) & 0x3F;
    uint32_t bits = (uint32_t)len << 3;
    if ((ctx->count[0] += bits) < bits)
        ctx->count[1]++;
    ctx->count[1] += (uint32_t)len >> 29;
    unsigned int partLen = 64 - index;
    unsigned int i = 0;
    if (len >= partLen) {
        memcpy(&ctx->buffer[index], in, partLen);
        Transform(ctx->state, ctx->buffer);
        for (i = partLen; i + 63 < len; i += 64)
            Transform(ctx->state, &in[i]);
        index = 0;
    }
    memcpy(&ctx->buffer[index], &in[i], len - i);
}

void li_MD5_Final(unsigned char digest[16], li_MD5_CTX* ctx)
{
    unsigned char bits[8];
    for (int i = 0; i < 4; ++i) {
        bits[i] = (unsigned char)(ctx->count[0] >> (8 * i));
        bits[i + 4] = (unsigned char)(ctx->count[1] >> (8 * i));
    }
    unsigned int index = (ctx->count[0] >> 3) & 0x3f;
    unsigned int padLen = index < 56 ? 56 - index : 120 - index;
    static const unsigned char padding[64] = {0x80};
    li_MD5_Update(ctx, padding, padLen);
    li_MD5_Update(ctx, bits, 8);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = (unsigned char)(ctx->state[i] >> (8 * j));
    memset(ctx, 0, sizeof(*ctx));
}
