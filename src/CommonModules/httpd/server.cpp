// Creation and release of the HTTP server's state for one run of the
// server thread.
#include "CommonModules/httpd/configfile.h"
#include "CommonModules/httpd/log.h"
#include <cstdlib>
#include <ctime>

server* server_init(void)
{
    server* srv = (server*)calloc(1, sizeof(*srv));
    SRV_ASSERT(srv);
    for (buffer** b : {&srv->errorlog_buf, &srv->parse_full_path, &srv->response_header, &srv->response_range,
                       &srv->tmp_buf, &srv->tmp_chunk_len, &srv->empty_string, &srv->cond_check_buf,
                       &srv->ts_debug_str, &srv->ts_date_str})
        *b = buffer_init();
    buffer_copy_string_len(srv->empty_string, CONST_STR_LEN(""));
    for (auto& m : srv->mtime_cache)
        m.str = buffer_init();
    srv->split_vals = array_init();
    srv->config_context = array_init();
    srv->config_touched = array_init();
    srv->status = array_init();
    srv->conns = (connections*)calloc(1, sizeof(connections));
    SRV_ASSERT(srv->conns);
    srv->joblist = (connections*)calloc(1, sizeof(connections));
    SRV_ASSERT(srv->joblist);
    srv->fdwaitqueue = (connections*)calloc(1, sizeof(connections));
    SRV_ASSERT(srv->fdwaitqueue);
    srv->cur_ts = time(nullptr);
    srv->startup_ts = srv->cur_ts;
    server_config& sc = srv->srvconf;
    for (buffer** b : {&sc.bindhost, &sc.errorlog_file, &sc.breakagelog_file, &sc.changeroot, &sc.username,
                       &sc.groupname, &sc.pid_file, &sc.event_handler, &sc.modules_dir, &sc.network_backend})
        *b = buffer_init();
    buffer_copy_string(sc.modules_dir, HTTPD_MODULES_DIR);
    sc.modules = array_init();
    sc.upload_tempdirs = array_init();
    sc.reject_expect_100_with_417 = 1;
    // Messages go to standard error until the error log is opened.
    srv->errorlog_mode = ERRORLOG_FD;
    srv->errorlog_fd = 2;
    return srv;
}

void server_free(server* srv)
{
    if (srv == nullptr)
        return;
    for (buffer* b : {srv->errorlog_buf, srv->parse_full_path, srv->response_header, srv->response_range,
                      srv->tmp_buf, srv->tmp_chunk_len, srv->empty_string, srv->cond_check_buf, srv->ts_debug_str,
                      srv->ts_date_str})
        buffer_free(b);
    for (auto& m : srv->mtime_cache)
        buffer_free(m.str);
    if (srv->config_storage) {
        for (size_t i = 0; i < srv->config_context->used; ++i)
            specific_config_free(srv->config_storage[i]);
        free(srv->config_storage);
    }
    array_free(srv->split_vals);
    array_free(srv->config_context);
    array_free(srv->config_touched);
    array_free(srv->status);
    for (connections* c : {srv->conns, srv->joblist, srv->fdwaitqueue}) {
        free(c->ptr);
        free(c);
    }
    server_config& sc = srv->srvconf;
    for (buffer* b : {sc.bindhost, sc.errorlog_file, sc.breakagelog_file, sc.changeroot, sc.username, sc.groupname,
                      sc.pid_file, sc.event_handler, sc.modules_dir, sc.network_backend})
        buffer_free(b);
    array_free(sc.modules);
    array_free(sc.upload_tempdirs);
    free(srv);
}
