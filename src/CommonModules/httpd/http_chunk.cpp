// Response body appends with the HTTP/1.1 chunked transfer framing.
#include "CommonModules/httpd/chunk.h"
#include "CommonModules/httpd/log.h"

namespace {

bool Chunked(connection* con)
{
    return con->response.transfer_encoding & HTTP_TRANSFER_ENCODING_CHUNKED;
}

// The size line: lower-case hex without leading zeros, then CR LF.
void SizeLine(server* srv, connection* con, uint32_t len)
{
    static const char hex[] = "0123456789abcdef";
    buffer* b = srv->tmp_chunk_len;
    char digits[9];
    int n = 0;
    do {
        digits[n++] = hex[len & 0xF];
        len >>= 4;
    } while (len && n < 8);
    buffer_reset(b);
    while (n)
        buffer_append_string_len(b, &digits[--n], 1);
    buffer_append_string_len(b, CONST_STR_LEN("\r\n"));
    chunkqueue_append_buffer(con->write_queue, b);
}

}  // namespace

int http_chunk_append_file(server* srv, connection* con, buffer* fn, off32_t offset, off32_t len)
{
    if (con == nullptr)
        return -1;
    if (Chunked(con))
        SizeLine(srv, con, (uint32_t)len);
    chunkqueue_append_file(con->write_queue, fn, offset, len);
    if (Chunked(con) && len > 0)
        chunkqueue_append_mem(con->write_queue, "\r\n", sizeof("\r\n"));
    return 0;
}

int http_chunk_append_buffer(server* srv, connection* con, buffer* mem)
{
    if (con == nullptr)
        return -1;
    if (Chunked(con))
        SizeLine(srv, con, mem->used ? (uint32_t)(mem->used - 1) : 0);
    chunkqueue_append_buffer(con->write_queue, mem);
    if (Chunked(con))
        chunkqueue_append_mem(con->write_queue, "\r\n", sizeof("\r\n"));
    return 0;
}

int http_chunk_append_mem(server* srv, connection* con, const char* mem, size_t len)
{
    if (con == nullptr)
        return -1;
    if (len == 0) {
        if (Chunked(con))
            chunkqueue_append_mem(con->write_queue, "0\r\n\r\n", sizeof("0\r\n\r\n"));
        else
            chunkqueue_get_append_buffer(con->write_queue);
        return 0;
    }
    if (Chunked(con))
        SizeLine(srv, con, (uint32_t)(len - 1));
    chunkqueue_append_mem(con->write_queue, mem, len);
    if (Chunked(con))
        chunkqueue_append_mem(con->write_queue, "\r\n", sizeof("\r\n"));
    return 0;
}

off32_t http_chunkqueue_length(server* srv, connection* con)
{
    if (con == nullptr) {
        LOG_ERR(srv, "s", "connection is NULL!!");
        return 0;
    }
    return chunkqueue_length(con->write_queue);
}
