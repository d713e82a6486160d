// Module of the HTTP server: a request for a folder is served by the first
// of the index files ("index-file.names", "index.html" by default) in it.
#include "CommonModules/httpd/configfile.h"
#include "CommonModules/httpd/plugin.h"
#include "CommonModules/httpd/response.h"
#include <cstdlib>

namespace {

struct Data {
    unsigned int id;
    array* names;
};

void* Init()
{
    Data* d = (Data*)calloc(1, sizeof(Data));
    d->names = array_init();
    return d;
}

handler_t Cleanup(server*, void* p)
{
    Data* d = (Data*)p;
    array_free(d->names);
    free(d);
    return HANDLER_GO_ON;
}

handler_t SetDefaults(server* srv, void* p)
{
    Data* d = (Data*)p;
    config_values_t cv[] = {{"index-file.names", d->names, T_CONFIG_ARRAY, T_CONFIG_SCOPE_CONNECTION},
                            {nullptr, nullptr, T_CONFIG_UNSET, T_CONFIG_SCOPE_UNSET}};
    data_config* global = (data_config*)srv->config_context->data[0];
    if (config_insert_values_global(srv, global->value, cv) != 0)
        return HANDLER_ERROR;
    if (d->names->used == 0) {
        data_string* ds = data_string_init();
        buffer_copy_string(ds->key, "0");
        buffer_copy_string(ds->value, "index.html");
        array_insert_unique(d->names, (data_unset*)ds);
    }
    return HANDLER_GO_ON;
}

handler_t Lookup(server* srv, connection* con, void* p)
{
    Data* d = (Data*)p;
    if (con->mode != DIRECT || con->uri.path->used < 2 || con->uri.path->ptr[con->uri.path->used - 2] != '/')
        return HANDLER_GO_ON;
    for (size_t i = 0; i < d->names->used; ++i) {
        data_string* ds = (data_string*)d->names->data[i];
        if (ds->type != TYPE_STRING || buffer_is_empty(ds->value) || ds->value->ptr[0] == '/')
            continue;
        buffer_copy_string_buffer(srv->tmp_buf, con->physical.path);
        buffer_append_string_buffer(srv->tmp_buf, ds->value);
        stat_cache_entry* sce = nullptr;
        if (stat_cache_get_entry(srv, con, srv->tmp_buf, &sce) != HANDLER_GO_ON || !S_ISREG(sce->st.st_mode))
            continue;
        buffer_copy_string_buffer(con->physical.path, srv->tmp_buf);
        buffer_append_string_buffer(con->uri.path, ds->value);
        return HANDLER_GO_ON;
    }
    return HANDLER_GO_ON;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int mod_index_plugin_init(plugin* p)
{
    p->version = HTTPD_PLUGIN_VERSION;
    p->name = buffer_init_string("index");
    p->init = Init;
    p->cleanup = Cleanup;
    p->set_defaults = SetDefaults;
    p->handle_subrequest_start = Lookup;
    return 0;
}
