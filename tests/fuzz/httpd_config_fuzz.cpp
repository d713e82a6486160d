// Fuzz target: the HTTP server's configuration reader over arbitrary text,
// on a private board root; include_shell answers with a fixed fragment.
#include "CommonModules/httpd/configfile.h"
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

static std::string g_root;

static int FixedShell(const char*, const char*, buffer* out)
{
    return buffer_copy_string(out, "server.tag = \"x\"\n");
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char tmpl[] = "/tmp/httpd-config-fuzz-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        abort();
    g_root = tmpl;
    setenv("MODCARD_ROOT", tmpl, 1);
    mkdir((g_root + "/conf").c_str(), 0755);
    config_shell_runner = FixedShell;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* f = fopen((g_root + "/conf/httpd.conf").c_str(), "wb");
    if (f == nullptr)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    server* srv = server_init();
    srv->errorlog_fd = -1;  // messages dropped
    if (config_read(srv, "/conf/httpd.conf") == 0)
        config_set_defaults(srv);
    server_free(srv);
    return 0;
}
