// JSON helpers shared by the web handlers: the parsed, token-checked body,
// range-checked number reads and the reply envelope with "data".
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include <cjson/cJSON.h>

struct buffer;

// The request body parsed and token-checked; frees the tree when it goes.
class WebBody {
public:
    WebBody();
    ~WebBody() { cJSON_Delete(root_); }
    WebBody(const WebBody&) = delete;
    WebBody& operator=(const WebBody&) = delete;
    // 0, or 774 when the body is not JSON or has no string "token".
    zrErrCode Status() const { return status_; }
    cJSON* Get(const char* key) const { return root_ ? cJSON_GetObjectItemCaseSensitive(root_, key) : nullptr; }
    cJSON* Root() const { return root_; }

private:
    cJSON* root_ = nullptr;
    zrErrCode status_ = ZR_ERR_WEB_POST_PARAM;
};

// A JSON number as an unsigned 32-bit value: false when the item is not a
// number or lies outside 0 .. 2^32-1 (nothing is converted then).
bool web_JsonU32(const cJSON* item, U32* out);
// The same for a member of an object; false when it is missing.
bool web_MemberU32(const cJSON* obj, const char* key, U32* out);
// A JSON number that is a whole number from 0 to max: false for any other
// item (another type, a fraction, a value past max), nothing converted then.
bool web_JsonWhole(const cJSON* item, U32 max, U32* out);
// The same for a member of an object; false when it is missing.
bool web_MemberWhole(const cJSON* obj, const char* key, U32 max, U32* out);

// The working copy's revision a request names ("revision"): *ppu32Revision
// points at it (kept in *pu32Store), or is nullptr when it names none; 774
// for one that is not a whole 32-bit number.
zrErrCode web_ReadRevision(const WebBody& body, const U32** ppu32Revision, U32* pu32Store);
// Before a request edits the working copy: 0, or 783 when the copy is not the
// state its page was shown (see TSP_CheckTempEdit), 774 for a bad revision.
// The edit it lets through is known as one of a page that names the revision
// or of one that names none (until web_EndTempEdit).
zrErrCode web_CheckTempEdit(const WebBody& body);
// The same check for a request that changes the live database as its page's
// own change (table switches, the automatic NIT): no edit of the copy follows.
zrErrCode web_CheckTempState(const WebBody& body);
// Ends the edit a request began (the dispatcher calls it after each handler).
void web_EndTempEdit(void);
// Before a view of the working copy: it is opened when closed, and follows the
// live database when that left it behind (see TSP_ViewTemp).
zrErrCode web_ViewTemp(void);
// A view's "revision": the working copy's, for the page to send back.
void web_AddRevision(cJSON* data);
// The answer of an edit that was made: code 0 and "data" with the revision
// after it, with which the page goes on.
zrErrCode web_ReplyRevision(buffer* reply);
// The code of a refused request, with what its error reply's description
// adds to the code's text (the field and its value).
zrErrCode web_Refuse(zrErrCode code, const char* detail);

// Writes {"code":0,"description":desc or null,"data":data} into the reply
// (data may be null: then no "data" member) and returns 0; 775 without reply.
zrErrCode web_ReplyData(buffer* reply, cJSON* data, const char* desc = nullptr);
// Adds a whole number to an object (unsigned values above the signed range
// stay exact).
void web_AddNum(cJSON* obj, const char* key, double value);
