// A small loadable module for the plug-in loader tests; each build names
// itself (MOD_NAME), sets its interface version and its hook's result.
#include "CommonModules/httpd/plugin.h"
#include <cstdlib>

#define CAT2(a, b) a##b
#define CAT(a, b) CAT2(a, b)

// Provided by the test program: records the order in which hooks ran.
extern "C" void httpd_test_note(const char* name);

namespace {

struct Data {
    unsigned int id;
};

void* Init()
{
    return calloc(1, sizeof(Data));
}

handler_t Cleanup(server*, void* p)
{
    free(p);
    return HANDLER_GO_ON;
}

handler_t UriClean(server*, connection*, void*)
{
    httpd_test_note(MOD_NAME);
    return (handler_t)MOD_RESULT;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int CAT(MOD_SYMBOL, _plugin_init)(plugin* p)
{
    p->version = MOD_VERSION;
    p->name = buffer_init_string(MOD_NAME);
    p->init = Init;
    p->cleanup = Cleanup;
    if (MOD_RESULT >= 0)
        p->handle_uri_clean = UriClean;
    return 0;
}
