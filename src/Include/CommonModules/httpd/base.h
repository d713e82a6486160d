// The HTTP server's central records: settings per server and per block,
// the request and connection, listening sockets and the server state.
// Modules read and write these, so field order and widths stay fixed.
#pragma once
#include "CommonModules/httpd/array.h"
#include "CommonModules/httpd/keyvalue.h"
#include <csignal>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

typedef int32_t off32_t;  // the server's file offsets and counters are 32-bit

enum handler_t {
    HANDLER_UNSET,
    HANDLER_GO_ON,
    HANDLER_FINISHED,
    HANDLER_COMEBACK,
    HANDLER_WAIT_FOR_EVENT,
    HANDLER_ERROR,
    HANDLER_WAIT_FOR_FD
};

enum fdevent_handler_t {
    FDEVENT_HANDLER_UNSET,
    FDEVENT_HANDLER_SELECT,
    FDEVENT_HANDLER_POLL,
    FDEVENT_HANDLER_LINUX_SYSEPOLL,
    FDEVENT_HANDLER_SOLARIS_DEVPOLL,
    FDEVENT_HANDLER_SOLARIS_PORT,
    FDEVENT_HANDLER_FREEBSD_KQUEUE,
    FDEVENT_HANDLER_LIBEV
};

enum { ERRORLOG_FILE, ERRORLOG_FD, ERRORLOG_SYSLOG, ERRORLOG_PIPE };
enum { STAT_CACHE_ENGINE_UNSET, STAT_CACHE_ENGINE_NONE, STAT_CACHE_ENGINE_SIMPLE };
enum etag_flags_t { ETAG_USE_INODE = 1, ETAG_USE_MTIME = 2, ETAG_USE_SIZE = 4 };
enum cond_result_t { COND_RESULT_UNSET, COND_RESULT_FALSE, COND_RESULT_TRUE };
enum connection_type { DIRECT, EXTERNAL };
enum { HTTP_TRANSFER_ENCODING_IDENTITY, HTTP_TRANSFER_ENCODING_CHUNKED };

enum connection_state_t {
    CON_STATE_CONNECT,
    CON_STATE_REQUEST_START,
    CON_STATE_READ,
    CON_STATE_REQUEST_END,
    CON_STATE_READ_POST,
    CON_STATE_HANDLE_REQUEST,
    CON_STATE_RESPONSE_START,
    CON_STATE_WRITE,
    CON_STATE_RESPONSE_END,
    CON_STATE_ERROR,
    CON_STATE_CLOSE
};

struct chunkqueue;
struct fdevents;
struct stat_cache;
struct plugin;
struct server;
struct connection;

struct specific_config {
    array* mimetypes;
    buffer* document_root;
    buffer* server_name;
    buffer* error_handler;
    buffer* server_tag;
    buffer* dirlist_encoding;
    buffer* errorfile_prefix;
    unsigned short max_keep_alive_requests;
    unsigned short max_keep_alive_idle;
    unsigned short max_read_idle;
    unsigned short max_write_idle;
    unsigned short use_xattr;
    unsigned short follow_symlink;
    unsigned short range_requests;
    unsigned short log_file_not_found;
    unsigned short log_request_header;
    unsigned short log_request_handling;
    unsigned short log_response_header;
    unsigned short log_condition_handling;
    unsigned short log_ssl_noise;
    unsigned short log_timeouts;
    buffer* ssl_pemfile;
    buffer* ssl_ca_file;
    buffer* ssl_cipher_list;
    buffer* ssl_dh_file;
    buffer* ssl_ec_curve;
    unsigned short ssl_honor_cipher_order;
    unsigned short ssl_empty_fragments;
    unsigned short ssl_use_sslv2;
    unsigned short ssl_use_sslv3;
    unsigned short ssl_verifyclient;
    unsigned short ssl_verifyclient_enforce;
    unsigned short ssl_verifyclient_depth;
    buffer* ssl_verifyclient_username;
    unsigned short ssl_verifyclient_export_cert;
    unsigned short ssl_disable_client_renegotiation;
    unsigned short use_ipv6;
    unsigned short set_v6only;
    unsigned short defer_accept;
    unsigned short ssl_enabled;
    unsigned short allow_http11;
    unsigned short etag_use_inode;
    unsigned short etag_use_mtime;
    unsigned short etag_use_size;
    unsigned short force_lowercase_filenames;
    uint32_t max_request_size;
    unsigned short kbytes_per_second;
    unsigned short global_kbytes_per_second;
    off32_t global_bytes_per_second_cnt;
    off32_t* global_bytes_per_second_cnt_ptr;
};

struct server_config {
    unsigned short port;
    buffer* bindhost;
    buffer* errorlog_file;
    unsigned short errorlog_use_syslog;
    buffer* breakagelog_file;
    unsigned short dont_daemonize;
    buffer* changeroot;
    buffer* username;
    buffer* groupname;
    buffer* pid_file;
    buffer* event_handler;
    buffer* modules_dir;
    buffer* network_backend;
    array* modules;
    array* upload_tempdirs;
    unsigned short max_worker;
    unsigned short max_fds;
    unsigned short max_conns;
    uint32_t max_request_size;
    unsigned short log_request_header_on_error;
    unsigned short log_state_handling;
    int stat_cache_engine;
    unsigned short enable_cores;
    unsigned short reject_expect_100_with_417;
};

struct cond_cache_t {
    cond_result_t result;
    int patterncount;
    int matches[3 * 10];
    buffer* comp_value;
    comp_key_t comp_type;
};

union sock_addr {
    struct sockaddr_in ipv4;
    struct sockaddr_un un;
    struct sockaddr plain;
};

struct server_socket {
    sock_addr addr;
    int fd;
    int fde_ndx;
    unsigned short is_ssl;
    buffer* srv_token;
};

struct server_socket_array {
    server_socket** ptr;
    size_t size;
    size_t used;
};

struct request {
    buffer* request_line;
    buffer* request;
    buffer* pathinfo;
    http_method_t http_method;
    http_version_t http_version;
    buffer* orig_uri;
    buffer* uri;
    buffer* http_host;  // points into headers
    const char* http_range;
    const char* http_content_type;
    const char* http_if_modified_since;
    const char* http_if_none_match;
    array* headers;
    uint32_t content_length;
};

struct request_uri {
    buffer* scheme;
    buffer* authority;
    buffer* path;
    buffer* path_raw;
    buffer* query;
};

struct physical {
    buffer* path;
    buffer* basedir;
    buffer* doc_root;
    buffer* rel_path;
    buffer* etag;
};

struct response {
    off32_t content_length;
    int keep_alive;
    array* headers;
    int transfer_encoding;
};

struct connection {
    connection_state_t state;
    time_t read_idle_ts;
    time_t close_timeout_ts;
    time_t write_request_ts;
    time_t connection_start;
    time_t request_start;
    struct timeval start_tv;
    unsigned int request_count;
    unsigned int loops_per_request;
    int fd;
    int fde_ndx;
    int ndx;
    int is_readable;
    int is_writable;
    int keep_alive;
    int keep_alive_idle;
    int file_started;
    int file_finished;
    chunkqueue* write_queue;
    chunkqueue* read_queue;
    chunkqueue* request_content_queue;
    int traffic_limit_reached;
    off32_t bytes_written;
    off32_t bytes_written_cur_second;
    off32_t bytes_read;
    off32_t bytes_header;
    int http_status;
    sock_addr dst_addr;
    buffer* dst_addr_buf;
    buffer* parse_request;
    unsigned int parsed_response;
    struct request request;
    request_uri uri;
    struct physical physical;
    struct response response;
    size_t header_len;
    array* environment;
    int got_response;
    int in_joblist;
    connection_type mode;
    void** plugin_ctx;
    specific_config conf;
    cond_cache_t* cond_cache;
    buffer* server_name;
    buffer* error_handler;
    int error_handler_saved_status;
    int in_error_handler;
    server_socket* srv_socket;
    etag_flags_t etag_flags;
    int conditional_is_valid[COMP_LAST_ELEMENT];
};

struct connections {
    connection** ptr;
    size_t size;
    size_t used;
};

struct buffer_plugin {
    plugin** ptr;
    size_t used;
    size_t size;
};

struct mtime_cache_type {
    time_t mtime;
    buffer* str;
};

typedef int (*network_backend_write_t)(server* srv, connection* con, int fd, chunkqueue* cq, off32_t max_bytes);

struct server {
    server_socket_array srv_sockets;
    int errorlog_fd;
    int errorlog_mode;
    buffer* errorlog_buf;
    fdevents* ev;
    fdevents* ev_ins;
    buffer_plugin plugins;
    void* plugin_slots;
    int con_opened;
    int con_read;
    int con_written;
    int con_closed;
    int ssl_is_init;
    int max_fds;
    int cur_fds;
    int want_fds;
    int sockets_disabled;
    size_t max_conns;
    buffer* parse_full_path;
    buffer* response_header;
    buffer* response_range;
    buffer* tmp_buf;
    buffer* tmp_chunk_len;
    buffer* empty_string;
    buffer* cond_check_buf;
    mtime_cache_type mtime_cache[16];
    array* split_vals;
    time_t cur_ts;
    time_t last_generated_date_ts;
    time_t last_generated_debug_ts;
    time_t startup_ts;
    char entropy[8];
    char is_real_entropy;
    buffer* ts_debug_str;
    buffer* ts_date_str;
    array* config;
    array* config_touched;
    array* config_context;
    specific_config** config_storage;
    server_config srvconf;
    short config_deprecated;
    short config_unsupported;
    connections* conns;
    connections* joblist;
    connections* fdwaitqueue;
    struct stat_cache* stat_cache;
    array* status;
    fdevent_handler_t event_handler;
    network_backend_write_t network_backend_write;
    uid_t uid;
    gid_t gid;
};

// Creates and frees the server state of one run (everything it owns).
server* server_init(void);
void server_free(server* srv);
