// Basic and Digest password checks over plain, htpasswd and htdigest user
// files. Passwords and credentials are never written to the log.
#include "CommonModules/httpd/http_auth.h"
#include "CommonModules/httpd/log.h"
#include "CommonModules/httpd/md5.h"
#include "CommonModules/httpd/utils.h"
#include <crypt.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

namespace {

std::string Md5Hex(const std::string& s)
{
    li_MD5_CTX ctx;
    unsigned char d[16];
    char hex[33];
    li_MD5_Init(&ctx);
    li_MD5_Update(&ctx, s.data(), (unsigned int)s.size());
    li_MD5_Final(d, &ctx);
    CvtHex(d, hex);
    return hex;
}

const char* ReqString(array* req, const char* key)
{
    data_string* ds = (data_string*)array_get_element(req, key);
    return ds && ds->type == TYPE_STRING && ds->value->used ? ds->value->ptr : "";
}

// The stored password of a user (and realm); -1 on any failure.
int GetPassword(server* srv, auth_plugin_data* p, const std::string& user, const std::string& realm, std::string& out)
{
    if (user.empty() || realm.empty())
        return -1;
    auth_backend_t backend = p->conf.auth_backend;
    buffer* file = nullptr;
    bool digest = backend == AUTH_BACKEND_HTDIGEST;
    if (digest)
        file = p->conf.auth_htdigest_userfile;
    else if (backend == AUTH_BACKEND_PLAIN)
        file = p->conf.auth_plain_userfile;
    else if (backend == AUTH_BACKEND_HTPASSWD)
        file = p->conf.auth_htpasswd_userfile;
    else if (backend == AUTH_BACKEND_LDAP) {
        out.clear();
        return 0;
    } else
        return -1;
    if (buffer_is_empty(file))
        return -1;
    stream f;
    if (stream_open(&f, file) != 0) {
        LOG_ERR(srv, "sbss", digest ? "opening digest-userfile" : "opening plain-userfile", file, "failed:",
                strerror(errno));
        return -1;
    }
    int rc = -1;
    const char* s = f.start;
    const char* end = f.start + f.size;
    while (s < end) {
        const char* eol = (const char*)memchr(s, '\n', (size_t)(end - s));
        if (eol == nullptr)
            eol = end;
        const char* c1 = (const char*)memchr(s, ':', (size_t)(eol - s));
        if (c1 == nullptr) {
            LOG_ERR(srv, "sbs", "parsed error in", file,
                    digest ? "expected 'username:realm:hashed password'" : "expected 'username:hashed password'");
            break;
        }
        if (digest) {
            const char* c2 = (const char*)memchr(c1 + 1, ':', (size_t)(eol - c1 - 1));
            if (c2 == nullptr) {
                LOG_ERR(srv, "sbs", "parsed error in", file, "expected 'username:realm:hashed password'");
                break;
            }
            if (user == std::string(s, c1) && realm == std::string(c1 + 1, c2)) {
                out.assign(c2 + 1, eol);
                rc = 0;
                break;
            }
        } else if (user == std::string(s, c1)) {
            out.assign(c1 + 1, eol);
            rc = 0;
            break;
        }
        s = eol + 1;
    }
    stream_close(&f);
    return rc;
}

int ComparePassword(auth_plugin_data* p, const std::string& stored, const std::string& user,
                    const std::string& realm, const std::string& pw)
{
    switch (p->conf.auth_backend) {
    case AUTH_BACKEND_PLAIN:
        return stored == pw ? 0 : -1;
    case AUTH_BACKEND_HTDIGEST:
        return Md5Hex(user + ":" + realm + ":" + pw) == stored ? 0 : -1;
    case AUTH_BACKEND_HTPASSWD:
        if (stored.compare(0, 6, "$apr1$") == 0)
            return http_auth_apr1(pw.c_str(), stored.c_str()) == stored ? 0 : -1;
        if (stored.size() >= 13) {
            struct crypt_data cd;
            memset(&cd, 0, sizeof(cd));
            const char* h = crypt_r(pw.c_str(), stored.c_str(), &cd);
            return h && stored == h ? 0 : -1;
        }
        return -1;
    default:
        return -1;
    }
}

// RFC 4648 decoding: foreign characters skipped, stops at "=".
bool Base64Decode(const char* in, std::string& out)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (in[0] == '=')
        return false;
    uint32_t acc = 0;
    int bits = 0, n = 0;
    for (const char* c = in; *c && *c != '='; ++c) {
        const char* pos = strchr(alphabet, *c);
        if (pos == nullptr || *c == '\0')
            continue;
        acc = (acc << 6) | (uint32_t)(pos - alphabet);
        bits += 6;
        n++;
        if (bits >= 8) {
            bits -= 8;
            out += (char)((acc >> bits) & 0xFF);
        }
    }
    // A group may end after 2 or 3 characters, with its spare bits zero.
    if (n % 4 == 1 || (bits && (acc & ((1u << bits) - 1))))
        return false;
    return true;
}

}  // namespace

void CvtHex(const unsigned char bin[16], char hex[33])
{
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        hex[2 * i] = digits[bin[i] >> 4];
        hex[2 * i + 1] = digits[bin[i] & 0xF];
    }
    hex[32] = '\0';
}

std::string http_auth_apr1(const char* pw, const char* setting)
{
    static const char magic[] = "$apr1$";
    static const char itoa64[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    const char* sp = setting;
    if (strncmp(sp, magic, 6) == 0)
        sp += 6;
    size_t sl = 0;
    while (sl < 8 && sp[sl] && sp[sl] != '$')
        sl++;
    std::string salt(sp, sl);
    unsigned int pl = (unsigned int)strlen(pw);
    li_MD5_CTX ctx, ctx1;
    unsigned char fin[16];
    li_MD5_Init(&ctx);
    li_MD5_Update(&ctx, pw, pl);
    li_MD5_Update(&ctx, magic, 6);
    li_MD5_Update(&ctx, salt.data(), (unsigned int)sl);
    li_MD5_Init(&ctx1);
    li_MD5_Update(&ctx1, pw, pl);
    li_MD5_Update(&ctx1, salt.data(), (unsigned int)sl);
    li_MD5_Update(&ctx1, pw, pl);
    li_MD5_Final(fin, &ctx1);
    for (int n = (int)pl; n > 0; n -= 16)
        li_MD5_Update(&ctx, fin, n > 16 ? 16 : (unsigned int)n);
    memset(fin, 0, sizeof(fin));
    for (unsigned int i = pl; i; i >>= 1)
        li_MD5_Update(&ctx, (i & 1) ? (const char*)fin : pw, 1);
    li_MD5_Final(fin, &ctx);
    for (int i = 0; i < 1000; ++i) {
        li_MD5_Init(&ctx1);
        if (i & 1)
            li_MD5_Update(&ctx1, pw, pl);
        else
            li_MD5_Update(&ctx1, fin, 16);
        if (i % 3)
            li_MD5_Update(&ctx1, salt.data(), (unsigned int)sl);
        if (i % 7)
            li_MD5_Update(&ctx1, pw, pl);
        if (i & 1)
            li_MD5_Update(&ctx1, fin, 16);
        else
            li_MD5_Update(&ctx1, pw, pl);
        li_MD5_Final(fin, &ctx1);
    }
    std::string out = std::string(magic) + salt + "$";
    auto to64 = [&](uint32_t v, int n) {
        while (n-- > 0) {
            out += itoa64[v & 0x3f];
            v >>= 6;
        }
    };
    to64(((uint32_t)fin[0] << 16) | ((uint32_t)fin[6] << 8) | fin[12], 4);
    to64(((uint32_t)fin[1] << 16) | ((uint32_t)fin[7] << 8) | fin[13], 4);
    to64(((uint32_t)fin[2] << 16) | ((uint32_t)fin[8] << 8) | fin[14], 4);
    to64(((uint32_t)fin[3] << 16) | ((uint32_t)fin[9] << 8) | fin[15], 4);
    to64(((uint32_t)fin[4] << 16) | ((uint32_t)fin[10] << 8) | fin[5], 4);
    to64(fin[11], 2);
    return out;
}

int http_auth_match_rules(server* srv, array* req, const char* username, const char*, const char*)
{
    std::string rule = ReqString(req, "require");
    if (rule == "valid-user")
        return 0;
    size_t pos = 0;
    while (pos <= rule.size()) {
        size_t bar = rule.find('|', pos);
        std::string item = rule.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos);
        const char* prefix = "parsing the 'require' section in 'auth.require' failed: ";
        if (item.size() <= 10 && std::string("valid-user").compare(0, item.size(), item) == 0) {
            LOG_ERR(srv, "sssS", prefix, "valid-user cannot be combined with other require rules", "",
                    rule.c_str());
            return -1;
        }
        size_t eq = item.find('=');
        if (eq == std::string::npos) {
            LOG_ERR(srv, "sssS", prefix, "a = is missing", "", rule.c_str());
            return -1;
        }
        std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        if (key == "user") {
            if (value == username)
                return 0;
        } else if (key == "host") {
            LOG_ERR(srv, "s", "host ... (not implemented)");
        } else if (key == "group") {
            LOG_ERR(srv, "s", "group ... (not implemented)");
        } else if (key.size() == 4) {
            LOG_ERR(srv, "s", "unknown key");
            return -1;
        } else if (key.size() == 5) {
            LOG_ERR(srv, "sS", "unknown key", item.c_str());
            return -1;
        } else {
            LOG_ERR(srv, "s", "unknown  key");
            return -1;
        }
        if (bar == std::string::npos)
            break;
        pos = bar + 1;
    }
    LOG_ERR(srv, "s", "nothing matched");
    return -1;
}

int http_auth_basic_check(server* srv, connection* con, auth_plugin_data* p, array* req, const char* realm_str)
{
    std::string decoded;
    if (!Base64Decode(realm_str, decoded)) {
        // The partial result may hold the password: it is not logged.
        LOG_ERR(srv, "s", "decodeing base64-string failed");
        return 0;
    }
    size_t colon = decoded.find(':');
    if (colon == std::string::npos) {
        LOG_ERR(srv, "s", ": is missing in the Basic credentials");
        return 0;
    }
    std::string user = decoded.substr(0, colon), pw = decoded.substr(colon + 1);
    std::string realm = ReqString(req, "realm");
    std::string stored;
    const char* ip = inet_ntop_cache_get_ip(srv, &con->dst_addr);
    if (GetPassword(srv, p, user, realm, stored) != 0) {
        if (p->conf.auth_backend == AUTH_BACKEND_UNSET)
            LOG_ERR(srv, "s", "auth.backend is not set");
        else
            LOG_ERR(srv, "ss", "get_password failed, IP:", ip);
        return 0;
    }
    if (ComparePassword(p, stored, user, realm, pw) != 0) {
        LOG_ERR(srv, "sbsSss", "password doesn't match for", con->uri.path, "username:", user.c_str(), ", IP:",
                inet_ntop_cache_get_ip(srv, &con->dst_addr));
        return 0;
    }
    if (http_auth_match_rules(srv, req, user.c_str(), nullptr, nullptr) != 0) {
        LOG_ERR(srv, "s", "rules didn't match");
        return 0;
    }
    buffer_copy_string_len(p->auth_user, user.data(), user.size());
    return 1;
}

int http_auth_digest_check(server* srv, connection* con, auth_plugin_data* p, array* req, const char* realm_str)
{
    if (p->conf.auth_backend != AUTH_BACKEND_HTDIGEST && p->conf.auth_backend != AUTH_BACKEND_PLAIN) {
        LOG_ERR(srv, "s", "digest: unsupported backend (only htdigest or plain)");
        return -1;
    }
    static const char* const names[] = {"username", "realm", "nonce", "uri", "algorithm", "qop", "cnonce", "nc",
                                        "response"};
    std::string f[9];
    bool present[9] = {};
    const char* c = realm_str;
    while (*c) {
        while (*c == ' ' || *c == '\t')
            c++;
        bool matched = false;
        for (int i = 0; i < 9 && !matched; ++i) {
            size_t n = strlen(names[i]);
            if (strncasecmp(c, names[i], n) != 0 || c[n] != '=')
                continue;
            matched = true;
            c += n + 1;
            const char* e;
            if (*c == '"') {
                c++;
                e = strchr(c, '"');
                if (e == nullptr)
                    e = c + strlen(c);
            } else {
                e = strchr(c, ',');
                if (e == nullptr)
                    e = c + strlen(c);
            }
            f[i].assign(c, e);
            present[i] = true;
            c = *e == '"' ? e + 1 : e;
        }
        if (!matched && *c)
            c++;
    }
    enum { USER, REALM, NONCE, URI, ALGO, QOP, CNONCE, NC, RESPONSE };
    if (p->conf.auth_debug > 1)
        for (int i = 0; i < 9; ++i)
            if (present[i] && i != RESPONSE)
                LOG_ERR(srv, "sS", names[i], f[i].c_str());
    if (!present[USER] || !present[REALM] || !present[NONCE] || !present[URI] || !present[RESPONSE] ||
        (present[QOP] && !f[QOP].empty() && (!present[NC] || !present[CNONCE]))) {
        LOG_ERR(srv, "s", "digest: missing field");
        return -1;
    }
    bool sess = strcasecmp(f[ALGO].c_str(), "md5-sess") == 0;
    if (sess && (f[NONCE].empty() || f[CNONCE].empty())) {
        LOG_ERR(srv, "s", "digest: (md5-sess: missing field");
        return -1;
    }
    if (strcasecmp(f[QOP].c_str(), "auth-int") == 0) {
        LOG_ERR(srv, "s", "digest: qop=auth-int not supported");
        return -1;
    }
    std::string stored;
    if (GetPassword(srv, p, f[USER], f[REALM], stored) != 0)
        return 0;
    std::string ha1 = p->conf.auth_backend == AUTH_BACKEND_PLAIN ? Md5Hex(f[USER] + ":" + f[REALM] + ":" + stored)
                                                                 : stored;
    if (sess)
        ha1 = Md5Hex(ha1 + ":" + f[NONCE] + ":" + f[CNONCE]);
    const char* method = get_http_method_name(con->request.http_method);
    std::string ha2 = Md5Hex(std::string(method ? method : "") + ":" + f[URI]);
    std::string mid = f[QOP].empty() ? "" : f[NC] + ":" + f[CNONCE] + ":" + f[QOP] + ":";
    std::string response = Md5Hex(ha1 + ":" + f[NONCE] + ":" + mid + ha2);
    if (strcasecmp(response.c_str(), f[RESPONSE].c_str()) != 0) {
        if (p->conf.auth_debug)
            LOG_ERR(srv, "s", "digest: digest mismatch");
        LOG_ERR(srv, "sSss", "digest: auth failed for ", f[USER].c_str(), ": wrong password, IP:",
                inet_ntop_cache_get_ip(srv, &con->dst_addr));
        return 0;
    }
    if (http_auth_match_rules(srv, req, f[USER].c_str(), nullptr, nullptr) != 0) {
        if (p->conf.auth_debug)
            LOG_ERR(srv, "s", "digest: rules did match");
        return 0;
    }
    buffer_copy_string_len(p->auth_user, f[USER].data(), f[USER].size());
    if (p->conf.auth_debug)
        LOG_ERR(srv, "s", "digest: auth ok");
    return 1;
}

int http_auth_digest_generate_nonce(server* srv, auth_plugin_data*, buffer* fn, char out[33])
{
    li_MD5_CTX ctx;
    unsigned char d[16];
    li_MD5_Init(&ctx);
    if (fn && fn->used > 1)
        li_MD5_Update(&ctx, fn->ptr, (unsigned int)(fn->used - 1));
    li_MD5_Update(&ctx, "+", 1);
    std::string ts = std::to_string((long)srv->cur_ts);
    li_MD5_Update(&ctx, ts.data(), (unsigned int)ts.size());
    li_MD5_Update(&ctx, srv->entropy, sizeof(srv->entropy));
    std::string r = std::to_string(rand());
    li_MD5_Update(&ctx, r.data(), (unsigned int)r.size());
    li_MD5_Final(d, &ctx);
    CvtHex(d, out);
    return 0;
}
