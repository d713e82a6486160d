// Loadable modules of the HTTP server: the plugin record with its hooks, the
// loader with its interface-version check, and one dispatcher per hook.
#pragma once
#include "CommonModules/httpd/base.h"

#define HTTPD_PLUGIN_VERSION 0x10423

struct plugin {
    unsigned int version;
    buffer* name;
    void* (*init)();
    handler_t (*set_defaults)(server* srv, void* p_d);
    handler_t (*cleanup)(server* srv, void* p_d);
    handler_t (*handle_trigger)(server* srv, void* p_d);
    handler_t (*handle_sighup)(server* srv, void* p_d);
    handler_t (*handle_uri_raw)(server* srv, connection* con, void* p_d);
    handler_t (*handle_uri_clean)(server* srv, connection* con, void* p_d);
    handler_t (*handle_docroot)(server* srv, connection* con, void* p_d);
    handler_t (*handle_physical)(server* srv, connection* con, void* p_d);
    handler_t (*handle_request_done)(server* srv, connection* con, void* p_d);
    handler_t (*handle_connection_close)(server* srv, connection* con, void* p_d);
    handler_t (*handle_joblist)(server* srv, connection* con, void* p_d);
    handler_t (*handle_subrequest_start)(server* srv, connection* con, void* p_d);
    handler_t (*handle_subrequest)(server* srv, connection* con, void* p_d);
    handler_t (*connection_reset)(server* srv, connection* con, void* p_d);
    void* data;
    void* lib;
};

// The first field of every module's private data.
struct plugin_data_head {
    unsigned int id;
};

HTTPD_API int plugins_load(server* srv);
HTTPD_API void plugins_free(server* srv);
HTTPD_API handler_t plugins_call_init(server* srv);
HTTPD_API handler_t plugins_call_handle_uri_raw(server* srv, connection* con);
HTTPD_API handler_t plugins_call_handle_uri_clean(server* srv, connection* con);
HTTPD_API handler_t plugins_call_handle_docroot(server* srv, connection* con);
HTTPD_API handler_t plugins_call_handle_physical(server* srv, connection* con);
HTTPD_API handler_t plugins_call_handle_subrequest_start(server* srv, connection* con);
HTTPD_API handler_t plugins_call_handle_subrequest(server* srv, connection* con);
HTTPD_API handler_t plugins_call_handle_request_done(server* srv, connection* con);
HTTPD_API handler_t plugins_call_handle_connection_close(server* srv, connection* con);
HTTPD_API handler_t plugins_call_handle_joblist(server* srv, connection* con);
HTTPD_API handler_t plugins_call_connection_reset(server* srv, connection* con);
HTTPD_API handler_t plugins_call_handle_trigger(server* srv);
HTTPD_API handler_t plugins_call_handle_sighup(server* srv);
HTTPD_API handler_t plugins_call_set_defaults(server* srv);
HTTPD_API handler_t plugins_call_cleanup(server* srv);
