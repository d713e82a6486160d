// Fuzz target: the Basic and Digest Authorization parameter parsing of the
// authentication helpers, over an htdigest and an htpasswd user file.
#include "CommonModules/httpd/http_auth.h"
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

static std::string g_root;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char tmpl[] = "/tmp/httpd-auth-fuzz-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        abort();
    g_root = tmpl;
    setenv("MODCARD_ROOT", tmpl, 1);
    FILE* f = fopen((g_root + "/htdigest").c_str(), "w");
    fputs("alice:area:cd355fef0884cfea997013c36d261a95\nbroken\n", f);
    fclose(f);
    f = fopen((g_root + "/htpasswd").c_str(), "w");
    fputs("bob:$apr1$abcdefgh$h9FWgUz3n9YxylKLlR5SQ/\ncarol:abNANd1rDfiNc\n", f);
    fclose(f);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static server* srv = [] {
        server* s = server_init();
        s->errorlog_fd = -1;
        return s;
    }();
    std::string text((const char*)data, size);
    connection con{};
    con.uri.path = buffer_init_string("/x");
    con.request.http_method = HTTP_METHOD_GET;
    auth_plugin_data p{};
    p.auth_user = buffer_init();
    p.conf.auth_htdigest_userfile = buffer_init_string("/htdigest");
    p.conf.auth_htpasswd_userfile = buffer_init_string("/htpasswd");
    p.conf.auth_debug = 2;
    array* req = array_init();
    array_set_key_value(req, CONST_STR_LEN("realm"), CONST_STR_LEN("area"));
    array_set_key_value(req, CONST_STR_LEN("require"), text.c_str(), text.size() > 40 ? 40 : text.size());
    p.conf.auth_backend = AUTH_BACKEND_HTDIGEST;
    http_auth_digest_check(srv, &con, &p, req, text.c_str());
    p.conf.auth_backend = AUTH_BACKEND_HTPASSWD;
    http_auth_basic_check(srv, &con, &p, req, text.c_str());
    array_free(req);
    buffer_free(p.auth_user);
    buffer_free(p.conf.auth_htdigest_userfile);
    buffer_free(p.conf.auth_htpasswd_userfile);
    buffer_free(con.uri.path);
    return 0;
}
