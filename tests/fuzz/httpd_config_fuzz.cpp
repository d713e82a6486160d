// Fuzz target: the HTTP server's configuration reader over arbitrary text,
// on the private board; include_shell answers with a fixed fragment.
#include "CommonModules/httpd/configfile.h"
#include "Platform/platform.h"
#include "support/fuzz_support.h"
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

// No shell ever runs: include_shell gets this fragment whatever it asks.
int FixedShell(const char*, const char*, buffer* out)
{
    return buffer_copy_string(out, "server.tag = \"x\"\n");
}

}  // namespace

void FuzzSetUp()
{
    plat::MakeDirs("/conf");
    config_shell_runner = FixedShell;
    // "./name" includes are read as given: from inside the board, not from
    // wherever the fuzzer was started (corpus paths must then be absolute).
    if (chdir(FuzzBoardRoot().c_str()) != 0)
        abort();
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    const std::string conf = "server.port = 80\n"
                             "server.modules = ( \"mod_auth\", \"mod_cgi\" )\n"
                             "var.base = \"/www\"\n"
                             "server.document-root = var.base + \"/pages\"\n"
                             "mimetype.assign = ( \".html\" => \"text/html\", \".js\" => \"text/javascript\" )\n"
                             "$HTTP[\"url\"] == \"/cgi-bin/\" {\n"
                             "  server.max-keep-alive-requests = 4\n"
                             "} else $HTTP[\"host\"] == \"card\" {\n"
                             "  server.tag += \"-card\"\n"
                             "}\n"
                             "include_shell \"echo\"\n";
    seeds.emplace_back(conf.begin(), conf.end());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!plat::WriteFileAtomic("/conf/httpd.conf", data, size, false))
        return 0;
    server* srv = server_init();
    srv->errorlog_fd = -1;  // messages dropped
    if (config_read(srv, "/conf/httpd.conf") == 0)
        config_set_defaults(srv);
    server_free(srv);
    return 0;
}
