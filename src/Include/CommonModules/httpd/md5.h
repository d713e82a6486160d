// MD5 message digest (RFC 1321) for the server's authentication helpers.
#pragma once
#include "CommonModules/httpd/buffer.h"
#include <cstdint>

struct li_MD5_CTX {
    uint32_t state[4];
    uint32_t count[2];
    unsigned char buffer[64];
};

HTTPD_API void li_MD5_Init(li_MD5_CTX* ctx);
HTTPD_API void li_MD5_Update(li_MD5_CTX* ctx, const void* input, unsigned int len);
HTTPD_API void li_MD5_Final(unsigned char digest[16], li_MD5_CTX* ctx);
