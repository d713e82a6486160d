// Fuzz target: URL-decoding a request path and simplifying it; the result
// always starts at "/" and never keeps a "." or ".." segment.
#include "CommonModules/httpd/buffer.h"
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    buffer* b = buffer_init();
    buffer_copy_string_len(b, (const char*)data, size);
    buffer_urldecode_path(b);
    buffer* out = buffer_init();
    buffer_path_simplify(out, b);
    std::string p(out->ptr, out->used - 1);
    if (p.empty() || p[0] != '/')
        abort();
    std::string segs = p + "/";
    if (segs.find("/../") != std::string::npos || segs.find("/./") != std::string::npos ||
        p.find("//") != std::string::npos)
        abort();
    buffer_path_simplify(b, b);  // in place gives the same
    if (!buffer_is_equal(b, out))
        abort();
    buffer_free(out);
    buffer_free(b);
    return 0;
}
