// Reading the server's configuration language into blocks, the settings
// tables that turn block settings into typed records, and the per-connection
// view of the conditional blocks.
#pragma once
#include "CommonModules/httpd/base.h"
#include <vector>

#define HTTPD_CONFIG_FILE "/tarvex_app/tools/httpd/config/httpd.conf"
#define HTTPD_MODULES_DIR "/tarvex_app/tools/httpd/lib"

enum config_values_type_t {
    T_CONFIG_UNSET,
    T_CONFIG_STRING,
    T_CONFIG_SHORT,
    T_CONFIG_INT,
    T_CONFIG_BOOLEAN,
    T_CONFIG_ARRAY,
    T_CONFIG_LOCAL,
    T_CONFIG_DEPRECATED,
    T_CONFIG_UNSUPPORTED
};

enum config_scope_type_t { T_CONFIG_SCOPE_UNSET, T_CONFIG_SCOPE_SERVER, T_CONFIG_SCOPE_CONNECTION };

struct config_values_t {
    const char* key;
    void* destination;
    config_values_type_t type;
    config_scope_type_t scope;
};

struct config_t {
    server* srv;
    int ok;
    array* all_configs;
    std::vector<data_config*> configs_stack;  // enclosing blocks, not owned
    data_config* current;
    buffer* basedir;
    int include_depth;
};

HTTPD_API int config_read(server* srv, const char* fn);
HTTPD_API int config_set_defaults(server* srv);
HTTPD_API int config_insert_values_global(server* srv, array* ca, const config_values_t* cv);
HTTPD_API int config_insert_values_internal(server* srv, array* ca, const config_values_t* cv);
HTTPD_API int config_parse_file(server* srv, config_t* context, const char* fn);
HTTPD_API int config_parse_cmd(server* srv, config_t* context, const char* cmd);
HTTPD_API data_unset* configparser_merge_data(data_unset* op1, const data_unset* op2);
HTTPD_API void* configparserAlloc(void* (*mallocProc)(size_t));
HTTPD_API void configparser(void* yyp, int yymajor, buffer* yyminor, config_t* ctx);
HTTPD_API void configparserFree(void* p, void (*freeProc)(void*));
int config_insert(server* srv);

// Runs an include_shell command in a folder and collects its output: 0, the
// command's exit code when it ran and failed, or -1 (errno) when it could
// not run. Tests and fuzzing replace it to drive include_shell without a shell.
extern int (*config_shell_runner)(const char* cmd, const char* cwd, buffer* out);

HTTPD_API int config_setup_connection(server* srv, connection* con);
HTTPD_API int config_patch_connection(server* srv, connection* con, comp_key_t comp);
HTTPD_API int config_check_cond(server* srv, connection* con, data_config* dc);
HTTPD_API void config_cond_cache_reset(server* srv, connection* con);
HTTPD_API void config_cond_cache_reset_item(server* srv, connection* con, comp_key_t item);
HTTPD_API int config_append_cond_match_buffer(connection* con, data_config* dc, buffer* buf, int n);

// Frees one block's settings record (buffers and arrays it owns).
void specific_config_free(specific_config* s);
