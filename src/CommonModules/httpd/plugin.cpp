// Loading of the server's modules by name from the module folder, the hook
// lists in load order, and the dispatchers that call them.
#include "CommonModules/httpd/plugin.h"
#include "CommonModules/httpd/log.h"
#include "Platform/platform.h"
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>

namespace {

enum Slot {
    PLUGIN_FUNC_UNSET,
    PLUGIN_FUNC_HANDLE_URI_CLEAN,
    PLUGIN_FUNC_HANDLE_URI_RAW,
    PLUGIN_FUNC_HANDLE_REQUEST_DONE,
    PLUGIN_FUNC_HANDLE_CONNECTION_CLOSE,
    PLUGIN_FUNC_HANDLE_TRIGGER,
    PLUGIN_FUNC_HANDLE_SIGHUP,
    PLUGIN_FUNC_HANDLE_SUBREQUEST,
    PLUGIN_FUNC_HANDLE_SUBREQUEST_START,
    PLUGIN_FUNC_HANDLE_JOBLIST,
    PLUGIN_FUNC_HANDLE_DOCROOT,
    PLUGIN_FUNC_HANDLE_PHYSICAL,
    PLUGIN_FUNC_CONNECTION_RESET,
    PLUGIN_FUNC_INIT,
    PLUGIN_FUNC_CLEANUP,
    PLUGIN_FUNC_SET_DEFAULTS,
    PLUGIN_FUNC_SIZEOF
};

const char* const kSlotNames[PLUGIN_FUNC_SIZEOF] = {
    "", "PLUGIN_FUNC_HANDLE_URI_CLEAN", "PLUGIN_FUNC_HANDLE_URI_RAW", "PLUGIN_FUNC_HANDLE_REQUEST_DONE",
    "PLUGIN_FUNC_HANDLE_CONNECTION_CLOSE", "PLUGIN_FUNC_HANDLE_TRIGGER", "PLUGIN_FUNC_HANDLE_SIGHUP",
    "PLUGIN_FUNC_HANDLE_SUBREQUEST", "PLUGIN_FUNC_HANDLE_SUBREQUEST_START", "PLUGIN_FUNC_HANDLE_JOBLIST",
    "PLUGIN_FUNC_HANDLE_DOCROOT", "PLUGIN_FUNC_HANDLE_PHYSICAL", "PLUGIN_FUNC_CONNECTION_RESET", "PLUGIN_FUNC_INIT",
    "PLUGIN_FUNC_CLEANUP", "PLUGIN_FUNC_SET_DEFAULTS"};

using ConnHook = handler_t (*)(server*, connection*, void*);
using SrvHook = handler_t (*)(server*, void*);

// The hook of a slot, as an untyped pointer (null when not implemented).
void* HookOf(const plugin* p, int slot)
{
    switch (slot) {
    case PLUGIN_FUNC_HANDLE_URI_CLEAN: return (void*)p->handle_uri_clean;
    case PLUGIN_FUNC_HANDLE_URI_RAW: return (void*)p->handle_uri_raw;
    case PLUGIN_FUNC_HANDLE_REQUEST_DONE: return (void*)p->handle_request_done;
    case PLUGIN_FUNC_HANDLE_CONNECTION_CLOSE: return (void*)p->handle_connection_close;
    case PLUGIN_FUNC_HANDLE_TRIGGER: return (void*)p->handle_trigger;
    case PLUGIN_FUNC_HANDLE_SIGHUP: return (void*)p->handle_sighup;
    case PLUGIN_FUNC_HANDLE_SUBREQUEST: return (void*)p->handle_subrequest;
    case PLUGIN_FUNC_HANDLE_SUBREQUEST_START: return (void*)p->handle_subrequest_start;
    case PLUGIN_FUNC_HANDLE_JOBLIST: return (void*)p->handle_joblist;
    case PLUGIN_FUNC_HANDLE_DOCROOT: return (void*)p->handle_docroot;
    case PLUGIN_FUNC_HANDLE_PHYSICAL: return (void*)p->handle_physical;
    case PLUGIN_FUNC_CONNECTION_RESET: return (void*)p->connection_reset;
    case PLUGIN_FUNC_CLEANUP: return (void*)p->cleanup;
    case PLUGIN_FUNC_SET_DEFAULTS: return (void*)p->set_defaults;
    default: return nullptr;
    }
}

plugin*** Slots(server* srv)
{
    return (plugin***)srv->plugin_slots;
}

// Calls the hook of every listed module in load order while each goes on.
handler_t Dispatch(server* srv, connection* con, int slot)
{
    plugin*** slots = Slots(srv);
    if (slots == nullptr || srv->plugins.used == 0 || slots[slot] == nullptr)
        return HANDLER_GO_ON;
    for (size_t i = 0; i < srv->plugins.used && slots[slot][i]; ++i) {
        plugin* p = slots[slot][i];
        handler_t r = con ? ((ConnHook)HookOf(p, slot))(srv, con, p->data) : ((SrvHook)HookOf(p, slot))(srv, p->data);
        if (r == HANDLER_GO_ON)
            continue;
        if (r >= HANDLER_FINISHED && r <= HANDLER_WAIT_FOR_FD)
            return r;
        if (con)
            LOG_ERR(srv, "sbs", kSlotNames[slot], p->name, "unknown state");
        else
            LOG_ERR(srv, "sbsd", kSlotNames[slot], p->name, "unknown state:", (int)r);
        return HANDLER_ERROR;
    }
    return HANDLER_GO_ON;
}

void plugin_free(plugin* p)
{
    if (p == nullptr)
        return;
    buffer_free(p->name);
    if (p->lib)
        dlclose(p->lib);
    free(p);
}

}  // namespace

int plugins_load(server* srv)
{
    array* mods = srv->srvconf.modules;
    for (size_t i = 0; i < mods->used; ++i) {
        data_string* d = (data_string*)mods->data[i];
        if (d->type != TYPE_STRING || d->value->used < 2)
            continue;
        const buffer* name = d->value;
        for (size_t j = 0; j < i; ++j) {
            const data_string* e = (const data_string*)mods->data[j];
            if (e->type == TYPE_STRING && buffer_is_equal(e->value, name)) {
                LOG_ERR(srv, "sbs", "Cannot load plugin", name,
                        "more than once, please fix your config (we may not accept such configs in future releases");
                break;
            }
        }
        std::string path = std::string(srv->srvconf.modules_dir->ptr) + "/" + name->ptr + ".so";
        plugin* p = (plugin*)calloc(1, sizeof(*p));
        SRV_ASSERT(p);
        p->lib = dlopen(plat::Path(path).c_str(), RTLD_NOW | RTLD_GLOBAL);
        if (p->lib == nullptr) {
            LOG_ERR(srv, "sSs", "dlopen() failed for:", path.c_str(), dlerror());
            plugin_free(p);
            return -1;
        }
        std::string sym = std::string(name->ptr) + "_plugin_init";
        dlerror();
        auto init = (int (*)(plugin*))dlsym(p->lib, sym.c_str());
        if (const char* err = dlerror(); err || init == nullptr) {
            LOG_ERR(srv, "s", err ? err : "missing plugin initialiser");
            plugin_free(p);
            return -1;
        }
        if (init(p) != 0) {
            LOG_ERR(srv, "bs", name, "plugin init failed");
            plugin_free(p);
            return -1;
        }
        if (srv->plugins.used == srv->plugins.size) {
            srv->plugins.size += 4;
            srv->plugins.ptr = (plugin**)realloc(srv->plugins.ptr, srv->plugins.size * sizeof(plugin*));
            SRV_ASSERT(srv->plugins.ptr);
        }
        srv->plugins.ptr[srv->plugins.used++] = p;
    }
    return 0;
}

handler_t plugins_call_init(server* srv)
{
    size_t n = srv->plugins.used;
    plugin*** slots = Slots(srv);
    if (slots == nullptr) {
        slots = (plugin***)calloc(PLUGIN_FUNC_SIZEOF, sizeof(plugin**));
        SRV_ASSERT(slots);
        srv->plugin_slots = slots;
    }
    for (size_t i = 0; i < n; ++i) {
        plugin* p = srv->plugins.ptr[i];
        for (int s = 1; s < PLUGIN_FUNC_SIZEOF; ++s) {
            if (s == PLUGIN_FUNC_INIT || HookOf(p, s) == nullptr)
                continue;
            if (slots[s] == nullptr) {
                slots[s] = (plugin**)calloc(n, sizeof(plugin*));
                SRV_ASSERT(slots[s]);
            }
            size_t k = 0;
            while (k < n && slots[s][k])
                k++;
            if (k < n)
                slots[s][k] = p;
        }
        if (p->init) {
            p->data = p->init();
            if (p->data == nullptr) {
                LOG_ERR(srv, "sb", "plugin-init failed for module", p->name);
                return HANDLER_ERROR;
            }
            ((plugin_data_head*)p->data)->id = (unsigned int)(i + 1);
            if (p->version != HTTPD_PLUGIN_VERSION) {
                LOG_ERR(srv, "sb", "plugin-version doesn't match httpd-version for", p->name);
                return HANDLER_ERROR;
            }
        } else {
            p->data = nullptr;
        }
    }
    return HANDLER_GO_ON;
}

void plugins_free(server* srv)
{
    plugins_call_cleanup(srv);
    for (size_t i = 0; i < srv->plugins.used; ++i)
        plugin_free(srv->plugins.ptr[i]);
    if (plugin*** slots = Slots(srv)) {
        for (int s = 0; s < PLUGIN_FUNC_SIZEOF; ++s)
            free(slots[s]);
        free(slots);
        srv->plugin_slots = nullptr;
    }
    free(srv->plugins.ptr);
    srv->plugins.ptr = nullptr;
    srv->plugins.used = 0;
    srv->plugins.size = 0;
}

#define CONN_DISPATCHER(name, slot)                       \
    handler_t name(server* srv, connection* con)           \
    {                                                      \
        return Dispatch(srv, con, slot);                   \
    }
#define SRV_DISPATCHER(name, slot)                        \
    handler_t name(server* srv)                            \
    {                                                      \
        return Dispatch(srv, nullptr, slot);               \
    }

CONN_DISPATCHER(plugins_call_handle_uri_raw, PLUGIN_FUNC_HANDLE_URI_RAW)
CONN_DISPATCHER(plugins_call_handle_uri_clean, PLUGIN_FUNC_HANDLE_URI_CLEAN)
CONN_DISPATCHER(plugins_call_handle_docroot, PLUGIN_FUNC_HANDLE_DOCROOT)
CONN_DISPATCHER(plugins_call_handle_physical, PLUGIN_FUNC_HANDLE_PHYSICAL)
CONN_DISPATCHER(plugins_call_handle_subrequest_start, PLUGIN_FUNC_HANDLE_SUBREQUEST_START)
CONN_DISPATCHER(plugins_call_handle_subrequest, PLUGIN_FUNC_HANDLE_SUBREQUEST)
CONN_DISPATCHER(plugins_call_handle_request_done, PLUGIN_FUNC_HANDLE_REQUEST_DONE)
CONN_DISPATCHER(plugins_call_handle_connection_close, PLUGIN_FUNC_HANDLE_CONNECTION_CLOSE)
CONN_DISPATCHER(plugins_call_handle_joblist, PLUGIN_FUNC_HANDLE_JOBLIST)
CONN_DISPATCHER(plugins_call_connection_reset, PLUGIN_FUNC_CONNECTION_RESET)
SRV_DISPATCHER(plugins_call_handle_trigger, PLUGIN_FUNC_HANDLE_TRIGGER)
SRV_DISPATCHER(plugins_call_handle_sighup, PLUGIN_FUNC_HANDLE_SIGHUP)
SRV_DISPATCHER(plugins_call_set_defaults, PLUGIN_FUNC_SET_DEFAULTS)
SRV_DISPATCHER(plugins_call_cleanup, PLUGIN_FUNC_CLEANUP)
