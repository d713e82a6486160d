// The HTTP server thread: start, main loop and end of one run, and the
// flags through which other threads stop it.
#pragma once
#include "CommonModules/httpd/base.h"
#include <atomic>

// 1 once the server thread has left its loop (read by other threads).
extern "C" std::atomic<int> g_ServerFinished;
extern "C" int g_TouchedSize;

int httpd_configuration(int argc, char** argv);
int httpd_shutdown(bool isShutDown);
bool httpd_isServerClose(void);
// One pass of the main loop's event work: waits up to timeout_ms, runs the
// ready descriptors' handlers, then the job list.
void server_run_events(server* srv, int timeout_ms);
// A SIGHUP from the user uid, process pid reached the process: the server
// reopens its error log and names the sender (called from a signal handler).
void httpd_note_sighup(unsigned uid, int pid);
