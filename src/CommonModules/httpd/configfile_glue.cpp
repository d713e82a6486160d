// Conditional configuration per connection: the settings a connection starts
// from, condition checks with their per-request cache, laying matching
// blocks over the connection, and the dump of a block tree.
#include "CommonModules/httpd/configfile.h"
#include "CommonModules/httpd/log.h"
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Indent(int depth)
{
    for (int i = 0; i < depth; ++i)
        fputs("    ", stdout);
}

const char* Text(const buffer* b)
{
    return b && b->used ? b->ptr : "";
}

bool Is(const buffer* key, const char* name)
{
    return buffer_is_equal_string(key, name, strlen(name));
}

// The value of a request header, or the empty string when absent.
const buffer* Header(server* srv, connection* con, const char* name)
{
    data_string* ds = (data_string*)array_get_element(con->request.headers, name);
    return ds && ds->type == TYPE_STRING ? ds->value : srv->empty_string;
}

cond_result_t CheckCondCached(server* srv, connection* con, data_config* dc);

// The remote-address rule: "address/bits" compared under the mask.
cond_result_t NetmaskMatch(server* srv, connection* con, data_config* dc, const char* slash)
{
    const char* str = dc->string->ptr;
    if (slash[1] == '\0') {
        LOG_ERR(srv, "sb", "ERROR: no number after / ", dc->string);
        return COND_RESULT_FALSE;
    }
    char* end;
    errno = 0;
    long nm_bits = strtol(slash + 1, &end, 10);
    if (*end != '\0' || errno) {
        LOG_ERR(srv, "sbs", "ERROR: non-digit found in netmask:", dc->string, end);
        return COND_RESULT_FALSE;
    }
    std::string addr(str, (size_t)(slash - str));
    struct in_addr val;
    if (inet_aton(addr.c_str(), &val) == 0) {
        LOG_ERR(srv, "sS", "ERROR: ip addr is invalid:", addr.c_str());
        return COND_RESULT_FALSE;
    }
    // 0 or a length outside 1..32 gives an empty mask that every address matches.
    uint32_t mask = (nm_bits >= 1 && nm_bits <= 32) ? htonl(0xFFFFFFFFu << (32 - nm_bits)) : 0;
    bool same = ((val.s_addr ^ con->dst_addr.ipv4.sin_addr.s_addr) & mask) == 0;
    return (dc->cond == CONFIG_COND_EQ) == same ? COND_RESULT_TRUE : COND_RESULT_FALSE;
}

cond_result_t CheckCond(server* srv, connection* con, data_config* dc)
{
    bool log = con->conf.log_condition_handling;
    if (dc->parent && dc->parent->context_ndx) {
        if (log)
            LOG_ERR(srv, "sb", "go parent", dc->parent->key);
        cond_result_t r = CheckCondCached(srv, con, dc->parent);
        if (r != COND_RESULT_TRUE)
            return r;
    }
    if (dc->prev) {
        if (log)
            LOG_ERR(srv, "sb", "go prev", dc->prev->key);
        CheckCondCached(srv, con, dc->prev);
        if (con->cond_cache[dc->context_ndx].result == COND_RESULT_FALSE)
            return COND_RESULT_FALSE;
    }
    if (!con->conditional_is_valid[dc->comp]) {
        if (log)
            LOG_ERR(srv, "dss", dc->comp, dc->key->ptr, "nej");
        return COND_RESULT_UNSET;
    }
    const buffer* l = nullptr;
    buffer* scratch = srv->cond_check_buf;
    switch (dc->comp) {
    case COMP_SERVER_SOCKET:
        l = con->srv_socket ? con->srv_socket->srv_token : nullptr;
        break;
    case COMP_HTTP_URL:
        l = con->uri.path;
        break;
    case COMP_HTTP_HOST: {
        l = con->uri.authority;
        if (l == nullptr || l->used == 0) {
            l = srv->empty_string;
            break;
        }
        if (dc->cond == CONFIG_COND_EQ || dc->cond == CONFIG_COND_NE) {
            bool strColon = dc->string && strchr(Text(dc->string), ':');
            const char* ck = strchr(l->ptr, ':');
            if (strColon && !ck && con->srv_socket) {
                buffer_copy_string_buffer(scratch, l);
                buffer_append_string_len(scratch, CONST_STR_LEN(":"));
                buffer_append_long(scratch, ntohs(con->srv_socket->addr.ipv4.sin_port));
                l = scratch;
            } else if (!strColon && ck) {
                buffer_copy_string_len(scratch, l->ptr, (size_t)(ck - l->ptr));
                l = scratch;
            }
        }
        break;
    }
    case COMP_HTTP_REMOTE_IP: {
        const char* slash;
        if ((dc->cond == CONFIG_COND_EQ || dc->cond == CONFIG_COND_NE) &&
            con->dst_addr.plain.sa_family == AF_INET && (slash = strchr(Text(dc->string), '/')))
            return NetmaskMatch(srv, con, dc, slash);
        l = con->dst_addr_buf;
        break;
    }
    case COMP_HTTP_REFERER:
        l = Header(srv, con, "Referer");
        break;
    case COMP_HTTP_USER_AGENT:
        l = Header(srv, con, "User-Agent");
        break;
    case COMP_HTTP_LANGUAGE:
        l = Header(srv, con, "Accept-Language");
        break;
    case COMP_HTTP_COOKIE:
        l = Header(srv, con, "Cookie");
        break;
    case COMP_HTTP_QUERY_STRING:
        l = con->uri.query;
        break;
    case COMP_HTTP_SCHEME:
        l = con->uri.scheme;
        break;
    case COMP_HTTP_REQUEST_METHOD: {
        const char* m = get_http_method_name(con->request.http_method);
        buffer_copy_string(scratch, m ? m : "");
        l = scratch;
        break;
    }
    default:
        return COND_RESULT_FALSE;
    }
    if (l == nullptr) {
        if (log)
            LOG_ERR(srv, "bs", dc->comp_key, ") compare to NULL");
        return COND_RESULT_FALSE;
    }
    if (log)
        LOG_ERR(srv, "bsbsb", dc->comp_key, "(", l, ") compare to ", dc->string);
    bool equal = dc->string && buffer_is_equal(l->used ? l : srv->empty_string, dc->string);
    if (l->used == 0 && dc->string && dc->string->used <= 1)
        equal = true;
    switch (dc->cond) {
    case CONFIG_COND_EQ:
        return equal ? COND_RESULT_TRUE : COND_RESULT_FALSE;
    case CONFIG_COND_NE:
        return equal ? COND_RESULT_FALSE : COND_RESULT_TRUE;
    default:
        return COND_RESULT_FALSE;
    }
}

cond_result_t CheckCondCached(server* srv, connection* con, data_config* dc)
{
    cond_cache_t* cache = &con->cond_cache[dc->context_ndx];
    bool log = con->conf.log_condition_handling;
    if (cache->result != COND_RESULT_UNSET) {
        if (log)
            LOG_ERR(srv, "sbss", "(cached) result:", dc->key, "", cache->result == COND_RESULT_TRUE ? "true" : "false");
        return cache->result;
    }
    cache->result = CheckCond(srv, con, dc);
    cache->comp_type = dc->comp;
    if (log)
        LOG_ERR(srv, "sbss", "(uncached) result:", dc->key, "",
                cache->result == COND_RESULT_UNSET ? "unknown" : cache->result == COND_RESULT_TRUE ? "true" : "false");
    if (cache->result == COND_RESULT_TRUE && dc->next) {
        if (log)
            LOG_ERR(srv, "s", "setting remains of chaining to false");
        for (data_config* n = dc->next; n; n = n->next)
            con->cond_cache[n->context_ndx].result = COND_RESULT_FALSE;
    }
    return cache->result;
}

void ResetEntry(cond_cache_t* c)
{
    c->result = COND_RESULT_UNSET;
    c->patterncount = 0;
    c->comp_value = nullptr;
}

}  // namespace

int config_setup_connection(server* srv, connection* con)
{
    specific_config* s = srv->config_storage[0];
    specific_config& c = con->conf;
    c.allow_http11 = s->allow_http11;
    c.mimetypes = s->mimetypes;
    c.document_root = s->document_root;
    c.max_keep_alive_requests = s->max_keep_alive_requests;
    c.max_keep_alive_idle = s->max_keep_alive_idle;
    c.max_read_idle = s->max_read_idle;
    c.max_write_idle = s->max_write_idle;
    c.use_xattr = s->use_xattr;
    c.follow_symlink = s->follow_symlink;
    c.range_requests = s->range_requests;
    c.force_lowercase_filenames = s->force_lowercase_filenames;
    c.error_handler = s->error_handler;
    c.errorfile_prefix = s->errorfile_prefix;
    c.server_tag = s->server_tag;
    c.kbytes_per_second = s->kbytes_per_second;
    c.global_kbytes_per_second = s->global_kbytes_per_second;
    c.global_bytes_per_second_cnt = s->global_bytes_per_second_cnt;
    c.global_bytes_per_second_cnt_ptr = &s->global_bytes_per_second_cnt;
    c.log_request_header = s->log_request_header;
    c.log_response_header = s->log_response_header;
    c.log_request_handling = s->log_request_handling;
    c.log_condition_handling = s->log_condition_handling;
    c.log_file_not_found = s->log_file_not_found;
    c.log_ssl_noise = s->log_ssl_noise;
    c.log_timeouts = s->log_timeouts;
    c.etag_use_inode = s->etag_use_inode;
    c.etag_use_mtime = s->etag_use_mtime;
    c.etag_use_size = s->etag_use_size;
    c.ssl_pemfile = s->ssl_pemfile;
    c.ssl_ca_file = s->ssl_ca_file;
    c.ssl_cipher_list = s->ssl_cipher_list;
    c.ssl_dh_file = s->ssl_dh_file;
    c.ssl_ec_curve = s->ssl_ec_curve;
    c.ssl_honor_cipher_order = s->ssl_honor_cipher_order;
    c.ssl_empty_fragments = s->ssl_empty_fragments;
    c.ssl_use_sslv2 = s->ssl_use_sslv2;
    c.ssl_use_sslv3 = s->ssl_use_sslv3;
    c.ssl_verifyclient = s->ssl_verifyclient;
    c.ssl_verifyclient_enforce = s->ssl_verifyclient_enforce;
    c.ssl_verifyclient_depth = s->ssl_verifyclient_depth;
    c.ssl_verifyclient_username = s->ssl_verifyclient_username;
    c.ssl_verifyclient_export_cert = s->ssl_verifyclient_export_cert;
    c.ssl_disable_client_renegotiation = s->ssl_disable_client_renegotiation;
    c.ssl_enabled = s->ssl_enabled;
    if (con->server_name)
        buffer_copy_string_buffer(con->server_name, s->server_name);
    return 0;
}

int config_patch_connection(server* srv, connection* con, comp_key_t comp)
{
    con->conditional_is_valid[comp] = 1;
    for (size_t i = 1; i < srv->config_context->used; ++i) {
        data_config* dc = (data_config*)srv->config_context->data[i];
        specific_config* s = srv->config_storage[i];
        if (!config_check_cond(srv, con, dc))
            continue;
        specific_config& c = con->conf;
        for (size_t j = 0; j < dc->value->used; ++j) {
            const buffer* k = dc->value->data[j]->key;
            if (Is(k, "server.document-root"))
                c.document_root = s->document_root;
            else if (Is(k, "server.range-requests"))
                c.range_requests = s->range_requests;
            else if (Is(k, "server.error-handler-404"))
                c.error_handler = s->error_handler;
            else if (Is(k, "server.errorfile-prefix"))
                c.errorfile_prefix = s->errorfile_prefix;
            else if (Is(k, "mimetype.assign"))
                c.mimetypes = s->mimetypes;
            else if (Is(k, "server.max-keep-alive-requests"))
                c.max_keep_alive_requests = s->max_keep_alive_requests;
            else if (Is(k, "server.max-keep-alive-idle"))
                c.max_keep_alive_idle = s->max_keep_alive_idle;
            else if (Is(k, "server.max-write-idle"))
                c.max_write_idle = s->max_write_idle;
            else if (Is(k, "server.max-read-idle"))
                c.max_read_idle = s->max_read_idle;
            else if (Is(k, "mimetype.use-xattr"))
                c.use_xattr = s->use_xattr;
            else if (Is(k, "etag.use-inode"))
                c.etag_use_inode = s->etag_use_inode;
            else if (Is(k, "etag.use-mtime"))
                c.etag_use_mtime = s->etag_use_mtime;
            else if (Is(k, "etag.use-size"))
                c.etag_use_size = s->etag_use_size;
            else if (Is(k, "ssl.pemfile"))
                c.ssl_pemfile = s->ssl_pemfile;
            else if (Is(k, "ssl.ca-file"))
                c.ssl_ca_file = s->ssl_ca_file;
            else if (Is(k, "ssl.honor-cipher-order"))
                c.ssl_honor_cipher_order = s->ssl_honor_cipher_order;
            else if (Is(k, "ssl.empty-fragments"))
                c.ssl_empty_fragments = s->ssl_empty_fragments;
            else if (Is(k, "ssl.use-sslv2"))
                c.ssl_use_sslv2 = s->ssl_use_sslv2;
            else if (Is(k, "ssl.use-sslv3"))
                c.ssl_use_sslv3 = s->ssl_use_sslv3;
            else if (Is(k, "ssl.cipher-list"))
                c.ssl_cipher_list = s->ssl_cipher_list;
            else if (Is(k, "ssl.engine"))
                c.ssl_enabled = s->ssl_enabled;
            else if (Is(k, "ssl.dh-file"))
                c.ssl_dh_file = s->ssl_dh_file;
            else if (Is(k, "ssl.ec-curve"))
                c.ssl_ec_curve = s->ssl_ec_curve;
            else if (Is(k, "server.follow-symlink"))
                c.follow_symlink = s->follow_symlink;
            else if (Is(k, "server.name")) {
                if (con->server_name)
                    buffer_copy_string_buffer(con->server_name, s->server_name);
            } else if (Is(k, "server.tag"))
                c.server_tag = s->server_tag;
            else if (Is(k, "connection.kbytes-per-second"))
                c.kbytes_per_second = s->kbytes_per_second;
            else if (Is(k, "debug.log-request-handling"))
                c.log_request_handling = s->log_request_handling;
            else if (Is(k, "debug.log-request-header"))
                c.log_request_header = s->log_request_header;
            else if (Is(k, "debug.log-response-header"))
                c.log_response_header = s->log_response_header;
            else if (Is(k, "debug.log-condition-handling"))
                c.log_condition_handling = s->log_condition_handling;
            else if (Is(k, "debug.log-file-not-found"))
                c.log_file_not_found = s->log_file_not_found;
            else if (Is(k, "debug.log-ssl-noise"))
                c.log_ssl_noise = s->log_ssl_noise;
            else if (Is(k, "debug.log-timeouts"))
                c.log_timeouts = s->log_timeouts;
            else if (Is(k, "server.protocol-http11"))
                c.allow_http11 = s->allow_http11;
            else if (Is(k, "server.force-lowercase-filenames"))
                c.force_lowercase_filenames = s->force_lowercase_filenames;
            else if (Is(k, "server.kbytes-per-second")) {
                c.global_kbytes_per_second = s->global_kbytes_per_second;
                c.global_bytes_per_second_cnt = s->global_bytes_per_second_cnt;
                c.global_bytes_per_second_cnt_ptr = &s->global_bytes_per_second_cnt;
            } else if (Is(k, "ssl.verifyclient.activate"))
                c.ssl_verifyclient = s->ssl_verifyclient;
            else if (Is(k, "ssl.verifyclient.enforce"))
                c.ssl_verifyclient_enforce = s->ssl_verifyclient_enforce;
            else if (Is(k, "ssl.verifyclient.depth"))
                c.ssl_verifyclient_depth = s->ssl_verifyclient_depth;
            else if (Is(k, "ssl.verifyclient.username"))
                c.ssl_verifyclient_username = s->ssl_verifyclient_username;
            else if (Is(k, "ssl.verifyclient.exportcert"))
                c.ssl_verifyclient_export_cert = s->ssl_verifyclient_export_cert;
            else if (Is(k, "ssl.disable-client-renegotiation"))
                c.ssl_disable_client_renegotiation = s->ssl_disable_client_renegotiation;
        }
    }
    con->etag_flags = (etag_flags_t)((con->conf.etag_use_inode ? ETAG_USE_INODE : 0) |
                                     (con->conf.etag_use_mtime ? ETAG_USE_MTIME : 0) |
                                     (con->conf.etag_use_size ? ETAG_USE_SIZE : 0));
    return 0;
}

int config_check_cond(server* srv, connection* con, data_config* dc)
{
    if (con->conf.log_condition_handling)
        LOG_ERR(srv, "s", "=== start of condition block ===");
    return CheckCondCached(srv, con, dc) == COND_RESULT_TRUE;
}

void config_cond_cache_reset(server* srv, connection* con)
{
    for (size_t i = 0; i < srv->config_context->used; ++i)
        ResetEntry(&con->cond_cache[i]);
    for (int& v : con->conditional_is_valid)
        v = 0;
}

void config_cond_cache_reset_item(server* srv, connection* con, comp_key_t item)
{
    for (size_t i = 0; i < srv->config_context->used; ++i)
        if (item == COMP_LAST_ELEMENT || con->cond_cache[i].comp_type == item)
            ResetEntry(&con->cond_cache[i]);
}

int config_append_cond_match_buffer(connection*, data_config*, buffer*, int)
{
    return 0;
}

void data_config_print(const data_unset* d, int depth)
{
    const data_config* dc = (const data_config*)d;
    if (dc->context_ndx == 0) {
        fputs("config {\n", stdout);
    } else {
        printf("$%s %s \"%s\" {\n", Text(dc->comp_key), Text(dc->op), Text(dc->string));
        Indent(depth + 1);
        printf("# block %d\n", dc->context_ndx);
    }
    size_t maxlen = array_get_max_key_length(dc->value);
    for (size_t i = 0; i < dc->value->used; ++i) {
        const data_unset* du = dc->value->data[i];
        Indent(depth + 1);
        size_t len = du->key->used ? strlen(du->key->ptr) : 0;
        fputs(Text(du->key), stdout);
        for (size_t j = len; j < maxlen; ++j)
            putchar(' ');
        fputs(" = ", stdout);
        du->print(du, depth + 1);
        putchar('\n');
    }
    putchar('\n');
    for (size_t i = 0; i < dc->childs->used; ++i) {
        const data_config* child = (const data_config*)dc->childs->data[i];
        if (child->prev)
            continue;
        putchar('\n');
        Indent(depth + 1);
        data_config_print((const data_unset*)child, depth + 1);
        putchar('\n');
    }
    Indent(depth);
    putchar('}');
    if (dc->context_ndx)
        printf(" # end of $%s %s \"%s\"", Text(dc->comp_key), Text(dc->op), Text(dc->string));
    if (dc->next) {
        putchar('\n');
        Indent(depth);
        fputs("else ", stdout);
        data_config_print((const data_unset*)dc->next, depth);
    }
}
