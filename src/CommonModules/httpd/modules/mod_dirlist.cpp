// Module of the HTTP server: an HTML listing of a folder requested with a
// trailing "/" when "dir-listing.activate" is enabled.
#include "CommonModules/httpd/chunk.h"
#include "CommonModules/httpd/configfile.h"
#include "CommonModules/httpd/plugin.h"
#include "CommonModules/httpd/response.h"
#include "Platform/platform.h"
#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <vector>

namespace {

struct Data {
    unsigned int id;
    unsigned short activate;
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

handler_t SetDefaults(server* srv, void* p)
{
    Data* d = (Data*)p;
    config_values_t cv[] = {{"dir-listing.activate", &d->activate, T_CONFIG_BOOLEAN, T_CONFIG_SCOPE_CONNECTION},
                            {nullptr, nullptr, T_CONFIG_UNSET, T_CONFIG_SCOPE_UNSET}};
    data_config* global = (data_config*)srv->config_context->data[0];
    return config_insert_values_global(srv, global->value, cv) == 0 ? HANDLER_GO_ON : HANDLER_ERROR;
}

void Escaped(buffer* b, const std::string& s)
{
    buffer_append_string_encoded(b, s.data(), s.size(), ENCODING_MINIMAL_XML);
}

handler_t List(server* srv, connection* con, void* p)
{
    Data* d = (Data*)p;
    if (!d->activate || con->mode != DIRECT || con->http_status != 0)
        return HANDLER_GO_ON;
    if (con->request.http_method != HTTP_METHOD_GET && con->request.http_method != HTTP_METHOD_HEAD)
        return HANDLER_GO_ON;
    if (con->uri.path->used < 2 || con->uri.path->ptr[con->uri.path->used - 2] != '/')
        return HANDLER_GO_ON;
    DIR* dir = opendir(plat::Path(con->physical.path->ptr).c_str());
    if (dir == nullptr)
        return HANDLER_GO_ON;
    std::vector<std::pair<std::string, bool>> entries;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        entries.emplace_back(name, e->d_type == DT_DIR);
    }
    closedir(dir);
    std::sort(entries.begin(), entries.end());
    std::string path(con->uri.path->ptr, con->uri.path->used - 1);
    buffer* b = chunkqueue_get_append_buffer(con->write_queue);
    buffer_copy_string(b, "<!DOCTYPE html>\n<html>\n<head>\n<title>Index of ");
    Escaped(b, path);
    buffer_append_string(b, "</title>\n</head>\n<body>\n<h2>Index of ");
    Escaped(b, path);
    buffer_append_string(b, "</h2>\n<ul>\n<li><a href=\"../\">../</a></li>\n");
    for (auto& [name, isDir] : entries) {
        buffer_append_string(b, "<li><a href=\"");
        buffer_append_string_encoded(b, name.data(), name.size(), ENCODING_REL_URI_PART);
        if (isDir)
            buffer_append_string(b, "/");
        buffer_append_string(b, "\">");
        Escaped(b, name + (isDir ? "/" : ""));
        buffer_append_string(b, "</a></li>\n");
    }
    buffer_append_string(b, "</ul>\n</body>\n</html>\n");
    response_header_overwrite(srv, con, CONST_STR_LEN("Content-Type"), CONST_STR_LEN("text/html"));
    con->http_status = 200;
    con->file_finished = 1;
    return HANDLER_FINISHED;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int mod_dirlist_plugin_init(plugin* p)
{
    p->version = HTTPD_PLUGIN_VERSION;
    p->name = buffer_init_string("dirlist");
    p->init = Init;
    p->cleanup = Cleanup;
    p->set_defaults = SetDefaults;
    p->handle_subrequest_start = List;
    return 0;
}
