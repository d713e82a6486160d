// Module of the HTTP server: serves regular files under the document root
// for GET and HEAD, with Content-Type, Last-Modified, ETag and 304 answers.
#include "CommonModules/httpd/chunk.h"
#include "CommonModules/httpd/plugin.h"
#include "CommonModules/httpd/response.h"
#include <cstdlib>

namespace {

struct Data {
    unsigned int id;
};

void* Init()
{
    return calloc(1, sizeof(Data));
}

handler_t Cleanup(server*, void* p)
{
    free(p);
    return HANDLER_GO_ON;
}

handler_t Serve(server* srv, connection* con, void*)
{
    if (con->http_status != 0 || con->mode != DIRECT || buffer_is_empty(con->physical.path))
        return HANDLER_GO_ON;
    if (con->request.http_method != HTTP_METHOD_GET && con->request.http_method != HTTP_METHOD_HEAD)
        return HANDLER_GO_ON;
    // Path-info is for scripts; a static file with a tail is not this file.
    if (!buffer_is_empty(con->request.pathinfo))
        return HANDLER_GO_ON;
    stat_cache_entry* sce = nullptr;
    if (stat_cache_get_entry(srv, con, con->physical.path, &sce) == HANDLER_ERROR) {
        con->http_status = 403;
        return HANDLER_FINISHED;
    }
    if (!S_ISREG(sce->st.st_mode))
        return HANDLER_GO_ON;
    if (buffer_is_empty(sce->content_type))
        response_header_overwrite(srv, con, CONST_STR_LEN("Content-Type"), CONST_STR_LEN("application/octet-stream"));
    else
        response_header_overwrite(srv, con, CONST_STR_LEN("Content-Type"), CONST_BUF_LEN(sce->content_type));
    if (con->etag_flags != 0 && !buffer_is_empty(sce->etag)) {
        etag_mutate(con->physical.etag, sce->etag);
        response_header_overwrite(srv, con, CONST_STR_LEN("ETag"), CONST_BUF_LEN(con->physical.etag));
    }
    buffer* mtime = strftime_cache_get(srv, sce->st.st_mtime);
    response_header_overwrite(srv, con, CONST_STR_LEN("Last-Modified"), CONST_BUF_LEN(mtime));
    if (http_response_handle_cachable(srv, con, mtime) == HANDLER_FINISHED)
        return HANDLER_FINISHED;
    http_chunk_append_file(srv, con, con->physical.path, 0, (off32_t)sce->st.st_size);
    con->http_status = 200;
    con->file_finished = 1;
    return HANDLER_FINISHED;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int mod_static_plugin_init(plugin* p)
{
    p->version = HTTPD_PLUGIN_VERSION;
    p->name = buffer_init_string("static");
    p->init = Init;
    p->cleanup = Cleanup;
    p->handle_subrequest_start = Serve;
    return 0;
}
