// One request through web_ProcessData as the HTTP server hands it over (a
// request head naming the key, the body in the content queue), reply parsed.
#pragma once
#include "CommonModules/httpd/base.h"
#include "CommonModules/httpd/buffer.h"
#include "CommonModules/httpd/chunk.h"
#include "Web/web.h"
#include <cjson/cJSON.h>
#include <memory>
#include <string>

namespace webcall {

// The reply of one POST, parsed.
struct Answer {
    cJSON* json = nullptr;
    ~Answer() { cJSON_Delete(json); }
    int Code() const
    {
        const cJSON* c = cJSON_GetObjectItem(json, "code");
        return c ? c->valueint : -1;
    }
    cJSON* Data() const { return cJSON_GetObjectItem(json, "data"); }
};

inline std::unique_ptr<Answer> Post(const char* key, const std::string& body)
{
    std::string head = std::string("POST /") + key + " HTTP/1.1\r\n\r\n";
    connection con{};
    con.request.request = buffer_init_string(head.c_str());
    con.request_content_queue = chunkqueue_init();
    chunkqueue_append_mem(con.request_content_queue, body.c_str(), body.size() + 1);
    buffer* out = buffer_init();
    web_ProcessData(out, nullptr, &con);
    auto a = std::make_unique<Answer>();
    a->json = cJSON_Parse(out->ptr ? out->ptr : "");
    buffer_free(out);
    buffer_free(con.request.request);
    chunkqueue_free(con.request_content_queue);
    return a;
}

}  // namespace webcall
