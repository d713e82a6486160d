// Client connections of the HTTP server: the pool, the state machine, the
// job list and the queue of connections waiting for descriptors.
#pragma once
#include "Common/types.h"
#include "CommonModules/httpd/base.h"

HTTPD_API connection* connection_accept(server* srv, server_socket* srv_socket);
HTTPD_API int connection_state_machine(server* srv, connection* con);
HTTPD_API handler_t connection_handle_fdevent(server* srv, void* context, int revents);
HTTPD_API int connection_close(server* srv, connection* con);
HTTPD_API int connection_reset(server* srv, connection* con);
HTTPD_API connection* connection_init(server* srv);
HTTPD_API void connections_free(server* srv);
HTTPD_API int connection_set_state(server* srv, connection* con, connection_state_t state);
HTTPD_API const char* connection_get_state(connection_state_t state);
HTTPD_API const char* connection_get_short_state(connection_state_t state);
HTTPD_API int joblist_append(server* srv, connection* con);
HTTPD_API void joblist_free(server* srv, connections* joblist);
HTTPD_API int fdwaitqueue_append(server* srv, connection* con);
HTTPD_API connection* fdwaitqueue_unshift(server* srv, connections* fdwaitqueue);
HTTPD_API void fdwaitqueue_free(server* srv, connections* fdwaitqueue);
// Once-per-second checks: idle and write time-outs, lingering close,
// bandwidth release, each connection's movement and, while the house is
// nearly full, bodies and responses that trickle.
void connections_check_timeouts(server* srv, time_t now);
// At the connection cap: closes lingering connections, then those that moved
// fewer than a few KiB over the last seconds (head, body or response), oldest
// request first, down to nine tenths of the cap, so that a house full of slow
// or idle clients lets others in. Returns how many.
size_t connections_make_room(server* srv);

// The web back end: every POST is answered here; upload bodies are spooled.
S32 web_ProcessData(buffer* reply, server* srv, connection* con);
U32 web_ProcessIsLargeData(connection* con);
// The back end's answer for a command it does not know.
#define WEB_UNKNOWN_COMMAND 770
