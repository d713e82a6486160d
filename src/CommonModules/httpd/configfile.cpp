// The server's table of known settings: conversion of a block's settings by
// type into the server-wide and per-block records, deprecated keys, and the
// checks and defaults after reading.
#include "CommonModules/httpd/configfile.h"
#include "CommonModules/httpd/log.h"
#include "Platform/platform.h"
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

// A whole non-negative decimal number that fits the limit.
bool WholeNumber(const buffer* b, unsigned long limit, unsigned long& out)
{
    if (b->used < 2 || !light_isdigit((unsigned char)b->ptr[0]))
        return false;
    char* end;
    errno = 0;
    unsigned long v = strtoul(b->ptr, &end, 10);
    if (errno || *end != '\0' || v > limit)
        return false;
    out = v;
    return true;
}

specific_config* NewSpecificConfig()
{
    specific_config* s = (specific_config*)calloc(1, sizeof(*s));
    SRV_ASSERT(s);
    s->mimetypes = array_init();
    for (buffer** b : {&s->document_root, &s->server_name, &s->error_handler, &s->server_tag, &s->dirlist_encoding,
                       &s->errorfile_prefix, &s->ssl_pemfile, &s->ssl_ca_file, &s->ssl_cipher_list, &s->ssl_dh_file,
                       &s->ssl_ec_curve, &s->ssl_verifyclient_username})
        *b = buffer_init();
    s->max_keep_alive_requests = 16;
    s->max_keep_alive_idle = 5;
    s->max_read_idle = 60;
    s->max_write_idle = 360;
    s->follow_symlink = 1;
    s->range_requests = 1;
    s->allow_http11 = 1;
    s->etag_use_inode = 1;
    s->etag_use_mtime = 1;
    s->etag_use_size = 1;
    s->ssl_verifyclient_enforce = 1;
    s->ssl_verifyclient_depth = 9;
    s->set_v6only = 1;
    s->ssl_use_sslv3 = 1;
    s->ssl_disable_client_renegotiation = 1;
    s->ssl_honor_cipher_order = 1;
    s->global_bytes_per_second_cnt_ptr = &s->global_bytes_per_second_cnt;
    return s;
}

// Keys that would change the whole program (its processes, user, root
// folder or limits), not just the web server: refused with a message.
bool ProgramWideKeys(server* srv, array* ca)
{
    bool bad = false;
    auto refuse = [&](const char* key) {
        LOG_ERR(srv, "sss", "ERROR: the key", key, "acts on the whole program and is not supported");
        bad = true;
    };
    if (data_unset* du = array_get_element(ca, "server.max-worker")) {
        bool zero = (du->type == TYPE_INTEGER && ((data_integer*)du)->value == 0) ||
                    (du->type == TYPE_STRING && buffer_is_equal_string(((data_string*)du)->value, CONST_STR_LEN("0")));
        if (!zero)
            refuse("server.max-worker");
    }
    for (const char* key : {"server.username", "server.groupname", "server.chroot"}) {
        data_unset* du = array_get_element(ca, key);
        if (du && !(du->type == TYPE_STRING && ((data_string*)du)->value->used <= 1))
            refuse(key);
    }
    if (array_get_element(ca, "server.max-fds"))
        refuse("server.max-fds");
    if (data_unset* du = array_get_element(ca, "server.core-files"))
        if (!(du->type == TYPE_STRING && buffer_is_equal_string(((data_string*)du)->value, CONST_STR_LEN("disable"))))
            refuse("server.core-files");
    return bad;
}

}  // namespace

void specific_config_free(specific_config* s)
{
    if (s == nullptr)
        return;
    array_free(s->mimetypes);
    for (buffer* b : {s->document_root, s->server_name, s->error_handler, s->server_tag, s->dirlist_encoding,
                      s->errorfile_prefix, s->ssl_pemfile, s->ssl_ca_file, s->ssl_cipher_list, s->ssl_dh_file,
                      s->ssl_ec_curve, s->ssl_verifyclient_username})
        buffer_free(b);
    free(s);
}

int config_insert_values_internal(server* srv, array* ca, const config_values_t* cv)
{
    for (size_t i = 0; cv[i].key; ++i) {
        data_unset* du = array_get_element(ca, cv[i].key);
        if (du == nullptr)
            continue;
        const char* key = cv[i].key;
        switch (cv[i].type) {
        case T_CONFIG_ARRAY: {
            if (du->type != TYPE_ARRAY) {
                LOG_ERR(srv, "ss", key, "should have been a array of strings like ... = ( \"...\" )");
                return -1;
            }
            array* src = ((data_array*)du)->value;
            array* dst = (array*)cv[i].destination;
            for (size_t j = 0; j < src->used; ++j) {
                data_unset* e = src->data[j];
                if (e->type != TYPE_STRING) {
                    LOG_ERR(srv, "sssd", "the key of an array can only be a string or a integer, variable:", key,
                            "type:", (int)e->type);
                    return -1;
                }
                data_string* ds = data_string_init();
                buffer_copy_string_buffer(ds->value, ((data_string*)e)->value);
                if (!du->is_index_key)
                    buffer_copy_string_buffer(ds->key, e->key);
                if (array_insert_unique_checked(dst, (data_unset*)ds) != 0) {
                    ds->free((data_unset*)ds);
                    LOG_ERR(srv, "ss", key, "holds a key of two different types");
                    return -1;
                }
            }
            break;
        }
        case T_CONFIG_STRING:
            if (du->type != TYPE_STRING) {
                LOG_ERR(srv, "ss", key, "should have been a string like ... = \"...\"");
                return -1;
            }
            buffer_copy_string_buffer((buffer*)cv[i].destination, ((data_string*)du)->value);
            break;
        case T_CONFIG_SHORT:
            if (du->type == TYPE_INTEGER) {
                int v = ((data_integer*)du)->value;
                // Truncating to 16 bits would turn 70000 into 4464: refused instead.
                if (v < 0 || v > 65535) {
                    LOG_ERR(srv, "ssds", "ERROR: value out of range for key:", key, v,
                            "expected a short integer, range 0 ... 65535");
                    return -1;
                }
                *(unsigned short*)cv[i].destination = (unsigned short)v;
            } else if (du->type == TYPE_STRING) {
                unsigned long v;
                if (!WholeNumber(((data_string*)du)->value, 65535, v)) {
                    LOG_ERR(srv, "ssb", "got a string but expected a short:", key, ((data_string*)du)->value);
                    return -1;
                }
                *(unsigned short*)cv[i].destination = (unsigned short)v;
            } else {
                LOG_ERR(srv, "ssds", "unexpected type for key:", key, (int)du->type,
                        "expected a short integer, range 0 ... 65535");
                return -1;
            }
            break;
        case T_CONFIG_INT:
            if (du->type == TYPE_INTEGER) {
                int v = ((data_integer*)du)->value;
                if (v < 0) {
                    LOG_ERR(srv, "ssds", "ERROR: value out of range for key:", key, v,
                            "expected an integer, range 0 ... 4294967295");
                    return -1;
                }
                *(uint32_t*)cv[i].destination = (uint32_t)v;
            } else if (du->type == TYPE_STRING) {
                unsigned long v;
                if (!WholeNumber(((data_string*)du)->value, 4294967295UL, v)) {
                    LOG_ERR(srv, "ssb", "got a string but expected an integer:", key, ((data_string*)du)->value);
                    return -1;
                }
                *(uint32_t*)cv[i].destination = (uint32_t)v;
            } else {
                LOG_ERR(srv, "ssds", "unexpected type for key:", key, (int)du->type,
                        "expected an integer, range 0 ... 4294967295");
                return -1;
            }
            break;
        case T_CONFIG_BOOLEAN:
            if (du->type != TYPE_STRING) {
                LOG_ERR(srv, "ssss", "ERROR: unexpected type for key:", key, "(string)", "\"(enable|disable)\"");
                return -1;
            } else {
                const buffer* v = ((data_string*)du)->value;
                if (buffer_is_equal_string(v, CONST_STR_LEN("enable")))
                    *(unsigned short*)cv[i].destination = 1;
                else if (buffer_is_equal_string(v, CONST_STR_LEN("disable")))
                    *(unsigned short*)cv[i].destination = 0;
                else {
                    LOG_ERR(srv, "ssbs", "ERROR: unexpected value for key:", key, v, "(enable|disable)");
                    return -1;
                }
            }
            break;
        case T_CONFIG_DEPRECATED:
            LOG_ERR(srv, "ssss", "ERROR: found deprecated key:", key, "-", (const char*)cv[i].destination);
            srv->config_deprecated = 1;
            break;
        case T_CONFIG_UNSUPPORTED:
            LOG_ERR(srv, "ssss", "ERROR: found unsupported key:", key, "-", (const char*)cv[i].destination);
            srv->config_unsupported = 1;
            break;
        case T_CONFIG_LOCAL:
        case T_CONFIG_UNSET:
            break;
        }
    }
    return 0;
}

int config_insert_values_global(server* srv, array* ca, const config_values_t* cv)
{
    for (size_t i = 0; cv[i].key; ++i) {
        if (array_get_element(ca, cv[i].key) == nullptr)
            continue;
        data_string* touched = (data_string*)array_get_unused_element(srv->config_touched, TYPE_STRING);
        if (touched == nullptr)
            touched = data_string_init();
        buffer_copy_string(touched->key, cv[i].key);
        buffer_reset(touched->value);
        if (array_insert_unique_checked(srv->config_touched, (data_unset*)touched) != 0)
            touched->free((data_unset*)touched);
    }
    return config_insert_values_internal(srv, ca, cv);
}

int config_insert(server* srv)
{
    size_t n = srv->config_context->used;
    srv->config_storage = (specific_config**)calloc(n ? n : 1, sizeof(*srv->config_storage));
    SRV_ASSERT(srv->config_storage);
    buffer* stat_cache_string = buffer_init();
    int ret = 0;
    for (size_t i = 0; i < n; ++i) {
        data_config* dc = (data_config*)srv->config_context->data[i];
        specific_config* s = NewSpecificConfig();
        srv->config_storage[i] = s;
        server_config& sc = srv->srvconf;
#define D(x) (void*)(x)
        const config_values_t cv[] = {
            {"server.bind", D(sc.bindhost), T_CONFIG_STRING, T_CONFIG_SCOPE_SERVER},
            {"server.errorlog", D(sc.errorlog_file), T_CONFIG_STRING, T_CONFIG_SCOPE_SERVER},
            {"server.errorfile-prefix", D(s->errorfile_prefix), T_CONFIG_STRING, T_CONFIG_SCOPE_SERVER},
            {"server.chroot", D(sc.changeroot), T_CONFIG_STRING, T_CONFIG_SCOPE_SERVER},
            {"server.username", D(sc.username), T_CONFIG_STRING, T_CONFIG_SCOPE_SERVER},
            {"server.groupname", D(sc.groupname), T_CONFIG_STRING, T_CONFIG_SCOPE_SERVER},
            {"server.port", D(&sc.port), T_CONFIG_SHORT, T_CONFIG_SCOPE_SERVER},
            {"server.tag", D(s->server_tag), T_CONFIG_STRING, T_CONFIG_SCOPE_CONNECTION},
            {"server.use-ipv6", D(&s->use_ipv6), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_CONNECTION},
            {"server.modules", D(sc.modules), T_CONFIG_ARRAY, T_CONFIG_SCOPE_SERVER},
            {"server.event-handler", D(sc.event_handler), T_CONFIG_STRING, T_CONFIG_SCOPE_SERVER},
            {"server.pid-file", D(sc.pid_file), T_CONFIG_STRING, T_CONFIG_SCOPE_SERVER},
            {"server.max-request-size", D(&sc.max_request_size), T_CONFIG_INT, T_CONFIG_SCOPE_CONNECTION},
            {"server.max-worker", D(&sc.max_worker), T_CONFIG_SHORT, T_CONFIG_SCOPE_SERVER},
            {"server.document-root", D(s->document_root), T_CONFIG_STRING, T_CONFIG_SCOPE_CONNECTION},
            {"server.force-lowercase-filenames", D(&s->force_lowercase_filenames), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"debug.log-condition-handling", D(&s->log_condition_handling), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"server.max-keep-alive-requests", D(&s->max_keep_alive_requests), T_CONFIG_SHORT, T_CONFIG_SCOPE_CONNECTION},
            {"server.name", D(s->server_name), T_CONFIG_STRING, T_CONFIG_SCOPE_CONNECTION},
            {"server.max-keep-alive-idle", D(&s->max_keep_alive_idle), T_CONFIG_SHORT, T_CONFIG_SCOPE_CONNECTION},
            {"server.max-read-idle", D(&s->max_read_idle), T_CONFIG_SHORT, T_CONFIG_SCOPE_CONNECTION},
            {"server.max-write-idle", D(&s->max_write_idle), T_CONFIG_SHORT, T_CONFIG_SCOPE_CONNECTION},
            {"server.error-handler-404", D(s->error_handler), T_CONFIG_STRING, T_CONFIG_SCOPE_CONNECTION},
            {"server.max-fds", D(&sc.max_fds), T_CONFIG_SHORT, T_CONFIG_SCOPE_SERVER},
            {"server.follow-symlink", D(&s->follow_symlink), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_CONNECTION},
            {"server.kbytes-per-second", D(&s->global_kbytes_per_second), T_CONFIG_SHORT, T_CONFIG_SCOPE_CONNECTION},
            {"connection.kbytes-per-second", D(&s->kbytes_per_second), T_CONFIG_SHORT, T_CONFIG_SCOPE_CONNECTION},
            {"mimetype.use-xattr", D(&s->use_xattr), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_CONNECTION},
            {"mimetype.assign", D(s->mimetypes), T_CONFIG_ARRAY, T_CONFIG_SCOPE_CONNECTION},
            {"ssl.pemfile", D(s->ssl_pemfile), T_CONFIG_STRING, T_CONFIG_SCOPE_SERVER},
            {"ssl.engine", D(&s->ssl_enabled), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"debug.log-file-not-found", D(&s->log_file_not_found), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"debug.log-request-handling", D(&s->log_request_handling), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"debug.log-response-header", D(&s->log_response_header), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"debug.log-request-header", D(&s->log_request_header), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"debug.log-ssl-noise", D(&s->log_ssl_noise), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"server.protocol-http11", D(&s->allow_http11), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"debug.log-request-header-on-error", D(&sc.log_request_header_on_error), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"debug.log-state-handling", D(&sc.log_state_handling), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"ssl.ca-file", D(s->ssl_ca_file), T_CONFIG_STRING, T_CONFIG_SCOPE_SERVER},
            {"server.errorlog-use-syslog", D(&sc.errorlog_use_syslog), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"server.range-requests", D(&s->range_requests), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_CONNECTION},
            {"server.stat-cache-engine", D(stat_cache_string), T_CONFIG_STRING, T_CONFIG_SCOPE_CONNECTION},
            {"server.max-connections", D(&sc.max_conns), T_CONFIG_SHORT, T_CONFIG_SCOPE_SERVER},
            {"server.network-backend", D(sc.network_backend), T_CONFIG_STRING, T_CONFIG_SCOPE_CONNECTION},
            {"server.upload-dirs", D(sc.upload_tempdirs), T_CONFIG_ARRAY, T_CONFIG_SCOPE_CONNECTION},
            {"server.core-files", D(&sc.enable_cores), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_CONNECTION},
            {"ssl.cipher-list", D(s->ssl_cipher_list), T_CONFIG_STRING, T_CONFIG_SCOPE_SERVER},
            {"ssl.use-sslv2", D(&s->ssl_use_sslv2), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_CONNECTION},
            {"etag.use-inode", D(&s->etag_use_inode), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"etag.use-mtime", D(&s->etag_use_mtime), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"etag.use-size", D(&s->etag_use_size), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"server.reject-expect-100-with-417", D(&sc.reject_expect_100_with_417), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"debug.log-timeouts", D(&s->log_timeouts), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_CONNECTION},
            {"server.defer-accept", D(&s->defer_accept), T_CONFIG_SHORT, T_CONFIG_SCOPE_CONNECTION},
            {"server.breakagelog", D(sc.breakagelog_file), T_CONFIG_STRING, T_CONFIG_SCOPE_SERVER},
            {"ssl.verifyclient.activate", D(&s->ssl_verifyclient), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"ssl.verifyclient.enforce", D(&s->ssl_verifyclient_enforce), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"ssl.verifyclient.depth", D(&s->ssl_verifyclient_depth), T_CONFIG_SHORT, T_CONFIG_SCOPE_SERVER},
            {"ssl.verifyclient.username", D(s->ssl_verifyclient_username), T_CONFIG_STRING, T_CONFIG_SCOPE_SERVER},
            {"ssl.verifyclient.exportcert", D(&s->ssl_verifyclient_export_cert), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"server.set-v6only", D(&s->set_v6only), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_CONNECTION},
            {"ssl.use-sslv3", D(&s->ssl_use_sslv3), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"ssl.dh-file", D(s->ssl_dh_file), T_CONFIG_STRING, T_CONFIG_SCOPE_SERVER},
            {"ssl.ec-curve", D(s->ssl_ec_curve), T_CONFIG_STRING, T_CONFIG_SCOPE_SERVER},
            {"ssl.disable-client-renegotiation", D(&s->ssl_disable_client_renegotiation), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"ssl.honor-cipher-order", D(&s->ssl_honor_cipher_order), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"ssl.empty-fragments", D(&s->ssl_empty_fragments), T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_SERVER},
            {"server.host", D("use server.bind instead"), T_CONFIG_DEPRECATED, T_CONFIG_SCOPE_UNSET},
            {"server.docroot", D("use server.document-root instead"), T_CONFIG_DEPRECATED, T_CONFIG_SCOPE_UNSET},
            {"server.virtual-root", D("load mod_vhost and use vhost.server-root instead"), T_CONFIG_DEPRECATED, T_CONFIG_SCOPE_UNSET},
            {"server.virtual-default-host", D("load mod_vhost and use vhost.default-host instead"), T_CONFIG_DEPRECATED, T_CONFIG_SCOPE_UNSET},
            {"server.virtual-docroot", D("load mod_vhost and use vhost.document-root instead"), T_CONFIG_DEPRECATED, T_CONFIG_SCOPE_UNSET},
            {"server.userid", D("use server.username instead"), T_CONFIG_DEPRECATED, T_CONFIG_SCOPE_UNSET},
            {"server.groupid", D("use server.groupname instead"), T_CONFIG_DEPRECATED, T_CONFIG_SCOPE_UNSET},
            {"server.use-keep-alive", D("use server.max-keep-alive-requests = 0 instead"), T_CONFIG_DEPRECATED, T_CONFIG_SCOPE_UNSET},
            {"server.force-lower-case-files", D("use server.force-lowercase-filenames instead"), T_CONFIG_DEPRECATED, T_CONFIG_SCOPE_UNSET},
            {nullptr, nullptr, T_CONFIG_UNSET, T_CONFIG_SCOPE_UNSET}};
#undef D
        if (config_insert_values_global(srv, dc->value, cv) != 0 || ProgramWideKeys(srv, dc->value)) {
            ret = -1;
            break;
        }
    }
    if (ret == 0) {
        if (buffer_is_empty(stat_cache_string) || buffer_is_equal_string(stat_cache_string, CONST_STR_LEN("simple")))
            srv->srvconf.stat_cache_engine = STAT_CACHE_ENGINE_SIMPLE;
        else if (buffer_is_equal_string(stat_cache_string, CONST_STR_LEN("disable")))
            srv->srvconf.stat_cache_engine = STAT_CACHE_ENGINE_NONE;
        else {
            LOG_ERR(srv, "sb", "server.stat-cache-engine can be one of \"disable\", \"simple\", but not:",
                    stat_cache_string);
            ret = 5;
        }
    }
    buffer_free(stat_cache_string);
    return ret;
}

int config_set_defaults(server* srv)
{
    struct stat st1, st2;
    if (!buffer_is_empty(srv->srvconf.changeroot)) {
        if (stat(plat::Path(srv->srvconf.changeroot->ptr).c_str(), &st1) == -1) {
            LOG_ERR(srv, "sb", "server.chroot doesn't exist:", srv->srvconf.changeroot);
            return -1;
        }
        if (!S_ISDIR(st1.st_mode)) {
            LOG_ERR(srv, "sb", "server.chroot isn't a directory:", srv->srvconf.changeroot);
            return -1;
        }
    }
    specific_config* s = srv->config_storage ? srv->config_storage[0] : nullptr;
    if (s == nullptr || buffer_is_empty(s->document_root)) {
        LOG_ERR(srv, "s", "a default document-root has to be set");
        return -1;
    }
    if (!array_get_element(srv->config, "server.force-lowercase-filenames")) {
        // A case-insensitive file system shows the same folder under both spellings.
        s->force_lowercase_filenames = 0;
        buffer* lower = buffer_init_buffer(s->document_root);
        buffer* upper = buffer_init_buffer(s->document_root);
        buffer_to_lower(lower);
        buffer_to_upper(upper);
        if (!buffer_is_equal(lower, upper) && stat(plat::Path(lower->ptr).c_str(), &st1) == 0 &&
            stat(plat::Path(upper->ptr).c_str(), &st2) == 0 && st1.st_ino == st2.st_ino)
            s->force_lowercase_filenames = 1;
        buffer_free(lower);
        buffer_free(upper);
    }
    if (srv->srvconf.port == 0)
        srv->srvconf.port = s->ssl_enabled ? 443 : 80;
    static const struct {
        const char* name;
        fdevent_handler_t type;
    } handlers[] = {{"linux-sysepoll", FDEVENT_HANDLER_LINUX_SYSEPOLL},
                    {"poll", FDEVENT_HANDLER_POLL},
                    {"select", FDEVENT_HANDLER_SELECT}};
    if (buffer_is_empty(srv->srvconf.event_handler)) {
        srv->event_handler = handlers[0].type;
        buffer_copy_string(srv->srvconf.event_handler, handlers[0].name);
    } else {
        srv->event_handler = FDEVENT_HANDLER_UNSET;
        for (const auto& h : handlers)
            if (buffer_is_equal_string(srv->srvconf.event_handler, h.name, strlen(h.name)))
                srv->event_handler = h.type;
        if (srv->event_handler == FDEVENT_HANDLER_UNSET) {
            LOG_ERR(srv, "sb", "the selected event-handler in unknown or not supported:", srv->srvconf.event_handler);
            return -1;
        }
    }
    if (s->ssl_enabled) {
        if (buffer_is_empty(s->ssl_pemfile))
            LOG_ERR(srv, "s", "ssl.pemfile has to be set");
        else
            LOG_ERR(srv, "s", "ssl support is missing, recompile with --with-openssl");
        return -1;
    }
    return 0;
}
