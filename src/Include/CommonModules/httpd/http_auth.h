// Password checks of HTTP Basic and Digest authentication offered to an
// authentication module: user files, stored password forms, "require" rules
// and Digest nonces.
#pragma once
#include "CommonModules/httpd/base.h"
#include <string>

enum auth_backend_t {
    AUTH_BACKEND_UNSET,
    AUTH_BACKEND_PLAIN,
    AUTH_BACKEND_LDAP,
    AUTH_BACKEND_HTPASSWD,
    AUTH_BACKEND_HTDIGEST
};

struct auth_plugin_config {
    array* auth_require;
    buffer* auth_plain_groupfile;
    buffer* auth_plain_userfile;
    buffer* auth_htdigest_userfile;
    buffer* auth_htpasswd_userfile;
    buffer* auth_backend_conf;
    buffer* auth_ldap_hostname;
    buffer* auth_ldap_basedn;
    buffer* auth_ldap_binddn;
    buffer* auth_ldap_bindpw;
    buffer* auth_ldap_filter;
    buffer* auth_ldap_cafile;
    unsigned short auth_ldap_starttls;
    unsigned short auth_ldap_allow_empty_pw;
    unsigned short auth_debug;
    auth_backend_t auth_backend;
};

struct auth_plugin_data {
    unsigned int id;
    buffer* tmp_buf;
    buffer* auth_user;
    auth_plugin_config** config_storage;
    auth_plugin_config conf;
    auth_plugin_config* anon_conf;
};

HTTPD_API int http_auth_basic_check(server* srv, connection* con, auth_plugin_data* p, array* req,
                                    const char* realm_str);
HTTPD_API int http_auth_digest_check(server* srv, connection* con, auth_plugin_data* p, array* req,
                                     const char* realm_str);
HTTPD_API int http_auth_digest_generate_nonce(server* srv, auth_plugin_data* p, buffer* fn, char out[33]);
HTTPD_API int http_auth_match_rules(server* srv, array* req, const char* username, const char* group,
                                    const char* host);
// 16 bytes to 32 lower-case hex digits and a NUL.
void CvtHex(const unsigned char bin[16], char hex[33]);
// The Apache MD5 password hash of pw with the salt of `setting` ("$apr1$salt$...").
std::string http_auth_apr1(const char* pw, const char* setting);
