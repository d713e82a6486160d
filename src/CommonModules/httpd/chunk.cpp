// Chunk queues of memory blocks and file ranges with a small reuse stack,
// and the temporary files that large request bodies are spooled into.
#include "CommonModules/httpd/chunk.h"
#include "Platform/platform.h"
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

char g_arcUpgradeFiledir[512];

namespace {

chunk* chunk_init()
{
    chunk* c = (chunk*)calloc(1, sizeof(*c));
    SRV_ASSERT(c);
    c->mem = buffer_init();
    c->file.name = buffer_init();
    c->file.fd = -1;
    c->file.mmap.start = (char*)MAP_FAILED;
    return c;
}

void chunk_reset(chunk* c)
{
    buffer_reset(c->mem);
    buffer_reset(c->file.name);
    if (c->file.fd != -1) {
        close(c->file.fd);
        c->file.fd = -1;
    }
    chunk_release_mmap(c);
}

void chunk_free(chunk* c)
{
    chunk_reset(c);
    buffer_free(c->mem);
    buffer_free(c->file.name);
    free(c);
}

}  // namespace

void file_window_release(file_window* w)
{
    if (w && --w->refs == 0) {
        munmap(w->start, w->length);
        free(w);
    }
}

void chunk_release_mmap(chunk* c)
{
    if (c->file.mmap.shared)
        file_window_release(c->file.mmap.shared);
    else if (c->file.mmap.start != (char*)MAP_FAILED)
        munmap(c->file.mmap.start, c->file.mmap.length);
    c->file.mmap.shared = nullptr;
    c->file.mmap.start = (char*)MAP_FAILED;
}

namespace {

chunk* GetUnused(chunkqueue* cq)
{
    if (cq->unused == nullptr)
        return chunk_init();
    chunk* c = cq->unused;
    cq->unused = c->next;
    c->next = nullptr;
    cq->unused_chunks--;
    return c;
}

void Append(chunkqueue* cq, chunk* c)
{
    c->next = nullptr;
    if (cq->last)
        cq->last->next = c;
    else
        cq->first = c;
    cq->last = c;
}

void Prepend(chunkqueue* cq, chunk* c)
{
    c->next = cq->first;
    cq->first = c;
    if (cq->last == nullptr)
        cq->last = c;
}

chunk* MemChunk(chunkqueue* cq)
{
    chunk* c = GetUnused(cq);
    c->type = chunk::MEM_CHUNK;
    c->offset = 0;
    buffer_reset(c->mem);
    return c;
}

off32_t Payload(const chunk* c)
{
    if (c->type == chunk::MEM_CHUNK)
        return c->mem->used ? (off32_t)(c->mem->used - 1) : 0;
    if (c->type == chunk::FILE_CHUNK)
        return c->file.length;
    return 0;
}

bool Finished(const chunk* c)
{
    if (c->type == chunk::MEM_CHUNK)
        return c->mem->used == 0 || c->offset == (off32_t)(c->mem->used - 1);
    if (c->type == chunk::FILE_CHUNK)
        return c->offset == c->file.length;
    return false;
}

}  // namespace

chunkqueue* chunkqueue_init(void)
{
    chunkqueue* cq = (chunkqueue*)calloc(1, sizeof(*cq));
    SRV_ASSERT(cq);
    return cq;
}

void chunkqueue_free(chunkqueue* cq)
{
    if (cq == nullptr)
        return;
    for (chunk* list : {cq->first, cq->unused}) {
        while (list) {
            chunk* next = list->next;
            chunk_free(list);
            list = next;
        }
    }
    free(cq);
}

int chunkqueue_set_tempdirs(chunkqueue* cq, array* tempdirs)
{
    if (cq == nullptr)
        return -1;
    cq->tempdirs = tempdirs;
    return 0;
}

int chunkqueue_append_mem(chunkqueue* cq, const char* mem, size_t len)
{
    if (len == 0)
        return 0;
    chunk* c = MemChunk(cq);
    buffer_copy_string_len(c->mem, mem, len - 1);
    Append(cq, c);
    return 0;
}

int chunkqueue_append_buffer(chunkqueue* cq, buffer* mem)
{
    if (mem == nullptr || mem->used == 0)
        return 0;
    chunk* c = MemChunk(cq);
    buffer_copy_string_buffer(c->mem, mem);
    Append(cq, c);
    return 0;
}

int chunkqueue_append_buffer_weak(chunkqueue* cq, buffer* mem)
{
    chunk* c = MemChunk(cq);
    buffer_free(c->mem);
    c->mem = mem;
    Append(cq, c);
    return 0;
}

int chunkqueue_prepend_buffer(chunkqueue* cq, buffer* mem)
{
    if (mem == nullptr || mem->used == 0)
        return 0;
    chunk* c = MemChunk(cq);
    buffer_copy_string_buffer(c->mem, mem);
    Prepend(cq, c);
    return 0;
}

buffer* chunkqueue_get_append_buffer(chunkqueue* cq)
{
    chunk* c = MemChunk(cq);
    Append(cq, c);
    return c->mem;
}

buffer* chunkqueue_get_prepend_buffer(chunkqueue* cq)
{
    chunk* c = MemChunk(cq);
    Prepend(cq, c);
    return c->mem;
}

int chunkqueue_append_file(chunkqueue* cq, buffer* fn, off32_t offset, off32_t len)
{
    if (len == 0)
        return 0;
    chunk* c = GetUnused(cq);
    c->type = chunk::FILE_CHUNK;
    buffer_copy_string_buffer(c->file.name, fn);
    c->file.start = offset;
    c->file.length = len;
    c->file.is_temp = 0;
    c->offset = 0;
    Append(cq, c);
    return 0;
}

chunk* chunkqueue_get_append_tempfile(chunkqueue* cq)
{
    // The shared path names only a file that was really created: it is
    // cleared first and filled on success.
    g_arcUpgradeFiledir[0] = '\0';
    chunk* c = GetUnused(cq);
    c->type = chunk::FILE_CHUNK;
    c->offset = 0;
    c->file.is_temp = 0;
    std::string tmpl = "/var/tmp/httpd-upload-XXXXXX";
    int fd = -1;
    if (cq->tempdirs && cq->tempdirs->used) {
        for (size_t i = 0; i < cq->tempdirs->used && fd == -1; ++i) {
            data_string* ds = (data_string*)cq->tempdirs->data[i];
            if (ds->type != TYPE_STRING)
                continue;
            tmpl = ds->value->used ? std::string(ds->value->ptr) : std::string();
            if (tmpl.empty() || tmpl.back() != '/')
                tmpl += '/';
            tmpl += "httpd-upload-XXXXXX";
            fd = plat::MkTemp(tmpl);
        }
    } else {
        fd = plat::MkTemp(tmpl);
    }
    c->file.fd = fd;
    if (fd != -1) {
        c->file.is_temp = 1;
        snprintf(g_arcUpgradeFiledir, sizeof(g_arcUpgradeFiledir), "%s", tmpl.c_str());
    }
    buffer_copy_string_len(c->file.name, tmpl.data(), tmpl.size());
    c->file.length = 0;
    Append(cq, c);
    return c;
}

off32_t chunkqueue_length(chunkqueue* cq)
{
    off32_t len = 0;
    for (chunk* c = cq->first; c; c = c->next)
        len += Payload(c);
    return len;
}

off32_t chunkqueue_written(chunkqueue* cq)
{
    off32_t len = 0;
    for (chunk* c = cq->first; c; c = c->next)
        len += c->offset;
    return len;
}

int chunkqueue_is_empty(chunkqueue* cq)
{
    return cq->first == nullptr;
}

int chunkqueue_remove_finished_chunks(chunkqueue* cq)
{
    for (chunk* c = cq->first; c && Finished(c); c = cq->first) {
        chunk_reset(c);
        cq->first = c->next;
        if (c == cq->last)
            cq->last = nullptr;
        if (cq->unused_chunks > 4) {
            chunk_free(c);
        } else {
            c->next = cq->unused;
            cq->unused = c;
            cq->unused_chunks++;
        }
    }
    return 0;
}

void chunkqueue_reset(chunkqueue* cq)
{
    for (chunk* c = cq->first; c; c = c->next) {
        c->offset = Payload(c);
        if (c->type == chunk::UNUSED_CHUNK)
            c->type = chunk::MEM_CHUNK;  // an unused chunk has nothing left either
    }
    chunkqueue_remove_finished_chunks(cq);
    cq->bytes_in = 0;
    cq->bytes_out = 0;
}
