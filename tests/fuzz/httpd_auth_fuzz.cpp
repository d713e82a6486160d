// Fuzz target: the Basic and Digest Authorization parameter parsing of the
// authentication helpers, over an htdigest and an htpasswd user file.
#include "CommonModules/httpd/http_auth.h"
#include "Platform/platform.h"
#include "support/fuzz_support.h"
#include <cstdint>
#include <cstring>
#include <string>

namespace {

FuzzInput Text(const std::string& s) { return FuzzInput(s.begin(), s.end()); }

}  // namespace

void FuzzSetUp()
{
    const std::string digest = "alice:area:cd355fef0884cfea997013c36d261a95\nbroken\n";
    const std::string passwd = "bob:$apr1$abcdefgh$h9FWgUz3n9YxylKLlR5SQ/\ncarol:abNANd1rDfiNc\n";
    plat::WriteFileAtomic("/htdigest", digest.data(), digest.size(), false);
    plat::WriteFileAtomic("/htpasswd", passwd.data(), passwd.size(), false);
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    seeds.push_back(Text("username=\"alice\", realm=\"area\", nonce=\"0123456789abcdef\", uri=\"/x\", "
                         "qop=auth, nc=00000001, cnonce=\"c0\", response=\"00000000000000000000000000000000\""));
    seeds.push_back(Text("valid-user Ym9iOnNlY3JldA=="));
    seeds.push_back(Text("user=carol Y2Fyb2w6cGFzcw=="));
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
