// The configuration language: tokenizer, parser with its actions (blocks,
// merges, includes), and config_read with its predefined variables and the
// module list rule.
#include "CommonModules/httpd/configfile.h"
#include "CommonModules/httpd/log.h"
#include "CommonModules/httpd/utils.h"
#include "Platform/platform.h"
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

// The text of the last refused merge (the parser runs on one thread).
const char* s_mergeFailure = "data type mismatch, cannot merge\n";

enum Token {
    TK_END = 0,
    TK_EOL = 1,
    TK_ASSIGN = 2,
    TK_APPEND = 3,
    TK_LKEY = 4,
    TK_PLUS = 5,
    TK_STRING = 6,
    TK_INTEGER = 7,
    TK_LPARAN = 8,
    TK_RPARAN = 9,
    TK_COMMA = 10,
    TK_ARRAY_ASSIGN = 11,
    TK_GLOBAL = 12,
    TK_LCURLY = 13,
    TK_RCURLY = 14,
    TK_ELSE = 15,
    TK_DOLLAR = 16,
    TK_SRVVARNAME = 17,
    TK_LBRACKET = 18,
    TK_RBRACKET = 19,
    TK_EQ = 20,
    TK_MATCH = 21,
    TK_NE = 22,
    TK_NOMATCH = 23,
    TK_INCLUDE = 24,
    TK_INCLUDE_SHELL = 25,
};

// Deepest nesting of blocks, arrays and includes accepted; deeper input is
// refused instead of exhausting the thread's stack.
constexpr int kMaxDepth = 100;
constexpr int kMaxIncludeDepth = 16;

struct tokenizer_t {
    const char* source;
    const char* input;
    size_t offset;
    size_t size;
    int line_pos;
    int line;
    int in_key;
    int in_brace;
    int in_cond;
    int tok_line;  // where the last token began, for messages
    int tok_pos;
};

bool IsNameChar(char c)
{
    return light_isalnum((unsigned char)c) || c == '.' || c == '_' || c == '-';
}

// One token; 1 with a token, 0 at the end of the input, -1 on an error
// (already logged).
int Tokenize(server* srv, tokenizer_t* t, int* code, std::string& token)
{
    auto fail = [&](const char* msg) {
        LOG_ERR(srv, "sssdsds", "source:", t->source, "line:", t->line, "pos:", t->line_pos, msg);
        return -1;
    };
    const char* in = t->input;
    // A comparison inside a condition: the sign at offset and '=' or '~'.
    auto condOp = [&](int eqCode, int matchCode, const char* msg) {
        if (t->offset + 1 < t->size && (in[t->offset + 1] == '=' || in[t->offset + 1] == '~')) {
            *code = in[t->offset + 1] == '=' ? eqCode : matchCode;
            token.assign(in + t->offset, 2);
            t->offset += 2;
            t->in_cond = 0;
            return 1;
        }
        return fail(msg);
    };
    while (t->offset < t->size) {
        char c = in[t->offset];
        t->tok_line = t->line;
        t->tok_pos = t->line_pos;
        switch (c) {
        case '=':
            if (t->in_brace) {
                if (t->offset + 1 < t->size && in[t->offset + 1] == '>') {
                    t->offset += 2;
                    token = "=>";
                    *code = TK_ARRAY_ASSIGN;
                    return 1;
                }
                return fail("use => for assignments in arrays");
            }
            if (t->in_cond)
                return condOp(TK_EQ, TK_MATCH, "only =~ and == are allowed in the condition");
            if (t->in_key) {
                t->offset++;
                t->line_pos++;
                token = "=";
                *code = TK_ASSIGN;
                return 1;
            }
            return fail("unexpected equal-sign: =");
        case '!':
            if (t->in_cond)
                return condOp(TK_NE, TK_NOMATCH, "only !~ and != are allowed in the condition");
            return fail("unexpected exclamation-marks: !");
        case '\t':
        case ' ':
            t->offset++;
            t->line_pos++;
            break;
        case '\n':
        case '\r':
            if (t->in_brace == 0) {
                // One EOL token swallows the blank lines, comments and blanks that follow.
                bool done = false;
                while (!done && t->offset < t->size) {
                    char d = in[t->offset];
                    if (d == '\r' || d == '\n') {
                        if (d == '\r' && t->offset + 1 < t->size && in[t->offset + 1] == '\n')
                            t->offset++;
                        t->offset++;
                        t->line++;
                        t->line_pos = 1;
                    } else if (d == ' ' || d == '\t') {
                        t->offset++;
                        t->line_pos++;
                    } else if (d == '#') {
                        while (t->offset < t->size && in[t->offset] != '\n' && in[t->offset] != '\r') {
                            t->offset++;
                            t->line_pos++;
                        }
                    } else {
                        done = true;
                    }
                }
                t->in_key = 1;
                token = "(EOL)";
                *code = TK_EOL;
                return 1;
            }
            if (c == '\r' && t->offset + 1 < t->size && in[t->offset + 1] == '\n')
                t->offset++;
            t->offset++;
            t->line++;
            t->line_pos = 1;
            break;
        case ',':
            t->offset++;
            t->line_pos++;
            if (t->in_brace > 0) {
                token = "(COMMA)";
                *code = TK_COMMA;
                return 1;
            }
            break;
        case '"': {
            size_t i = t->offset + 1;
            std::string s;
            for (; i < t->size && in[i] != '"'; ++i) {
                if (in[i] == '\\' && i + 1 < t->size && in[i + 1] == '"') {
                    s += '"';
                    ++i;
                } else {
                    if (in[i] == '\n')
                        t->line++;
                    s += in[i];
                }
            }
            if (i >= t->size)
                return fail("missing closing quote");
            t->line_pos += (int)(i + 1 - t->offset);
            t->offset = i + 1;
            token = s;
            *code = TK_STRING;
            return 1;
        }
        case '(':
            t->offset++;
            t->in_brace++;
            token = "(";
            *code = TK_LPARAN;
            return 1;
        case ')':
            t->offset++;
            t->in_brace--;
            token = ")";
            *code = TK_RPARAN;
            return 1;
        case '$':
            t->offset++;
            t->in_cond = 1;
            t->in_key = 0;
            token = "$";
            *code = TK_DOLLAR;
            return 1;
        case '+':
            if (t->offset + 1 < t->size && in[t->offset + 1] == '=') {
                t->offset += 2;
                token = "+=";
                *code = TK_APPEND;
            } else {
                t->offset++;
                token = "+";
                *code = TK_PLUS;
            }
            return 1;
        case '{':
        case '}':
        case '[':
        case ']':
            t->offset++;
            token.assign(1, c);
            *code = c == '{' ? TK_LCURLY : c == '}' ? TK_RCURLY : c == '[' ? TK_LBRACKET : TK_RBRACKET;
            return 1;
        case '#':
            while (t->offset < t->size && in[t->offset] != '\n' && in[t->offset] != '\r') {
                t->offset++;
                t->line_pos++;
            }
            break;
        case '\0':
            fprintf(stderr, "%s.%d: %d, %s\n", SRV_FILE, __LINE__, 0, token.c_str());
            t->offset = t->size;
            return 0;
        default:
            if (t->in_cond && light_isalpha((unsigned char)c)) {
                size_t i = t->offset;
                while (i < t->size && light_isalpha((unsigned char)in[i]))
                    i++;
                if (i >= t->size)
                    return fail("invalid character in condition");
                token.assign(in + t->offset, i - t->offset);
                t->line_pos += (int)(i - t->offset);
                t->offset = i;
                *code = TK_SRVVARNAME;
                return 1;
            }
            if (!t->in_cond && light_isdigit((unsigned char)c)) {
                size_t i = t->offset;
                while (i < t->size && light_isdigit((unsigned char)in[i]))
                    i++;
                token.assign(in + t->offset, i - t->offset);
                t->line_pos += (int)(i - t->offset);
                t->offset = i;
                *code = TK_INTEGER;
                return 1;
            }
            if (IsNameChar(c)) {
                size_t i = t->offset;
                while (i < t->size && IsNameChar(in[i]))
                    i++;
                if (i >= t->size)
                    return fail("invalid character in variable name");
                token.assign(in + t->offset, i - t->offset);
                t->line_pos += (int)(i - t->offset);
                t->offset = i;
                if (token == "include")
                    *code = TK_INCLUDE;
                else if (token == "include_shell")
                    *code = TK_INCLUDE_SHELL;
                else if (token == "global")
                    *code = TK_GLOBAL;
                else if (token == "else")
                    *code = TK_ELSE;
                else
                    *code = TK_LKEY;
                return 1;
            }
            return fail("unknown character");
        }
    }
    return 0;
}

struct DataDeleter {
    void operator()(data_unset* d) const
    {
        if (d)
            d->free(d);
    }
};
using Value = std::unique_ptr<data_unset, DataDeleter>;

struct Tok {
    int code;
    std::string text;
    int line = 0;
    int pos = 0;
};

// A failed action or a syntax error; the parse ends with ok 0.
struct ParseFailure {};

// The token stream of one source, parsed by descent over the grammar's rules.
class Parser {
public:
    Parser(config_t* ctx, std::vector<Tok>& toks) : ctx_(ctx), srv_(ctx->srv), toks_(toks) {}

    void Input()
    {
        while (Peek() != TK_END)
            Metaline();
    }

    const std::string& LastToken() const { return toks_[pos_ ? pos_ - 1 : 0].text; }
    // The token the parse stopped at (the last one when it ran out).
    const Tok& FailedToken() const { return toks_[std::min(pos_, toks_.size() - 1)]; }

private:
    config_t* ctx_;
    server* srv_;
    std::vector<Tok>& toks_;
    size_t pos_ = 0;
    int depth_ = 0;

    int Peek(size_t ahead = 0) const { return pos_ + ahead < toks_.size() ? toks_[pos_ + ahead].code : TK_END; }
    const std::string& Take()
    {
        if (pos_ >= toks_.size())
            Fail();
        return toks_[pos_++].text;
    }
    void Expect(int code)
    {
        if (Peek() != code)
            Fail();
        pos_++;
    }
    [[noreturn]] void Fail()
    {
        ctx_->ok = 0;
        throw ParseFailure();
    }
    [[noreturn]] void Fail(const std::string& msg)
    {
        fputs(msg.c_str(), stderr);
        FailLogged(msg);
    }
    // A failure whose text is on standard error already: the error log only.
    [[noreturn]] void FailLogged(const std::string& msg)
    {
        std::string line = msg;
        while (!line.empty() && line.back() == '\n')
            line.pop_back();
        LOG_ERR(srv_, "S", line.c_str());
        Fail();
    }
    struct Nest {
        Parser& p;
        explicit Nest(Parser& parser) : p(parser)
        {
            if (++p.depth_ > kMaxDepth)
                p.Fail("configuration nested too deeply\n");
        }
        ~Nest() { p.depth_--; }
    };

    void Metaline()
    {
        switch (Peek()) {
        case TK_EOL:
            pos_++;
            return;
        case TK_LKEY:
            Varline();
            return;
        case TK_GLOBAL:
            Global();
            return;
        case TK_DOLLAR:
            Condlines();
            Expect(TK_EOL);
            return;
        case TK_INCLUDE:
        case TK_INCLUDE_SHELL: {
            bool shell = Peek() == TK_INCLUDE_SHELL;
            pos_++;
            std::string name = Stringop(Expression());
            int rc = shell ? config_parse_cmd(srv_, ctx_, name.c_str()) : config_parse_file(srv_, ctx_, name.c_str());
            if (rc != 0)
                Fail();
            return;
        }
        default:
            Fail();
        }
    }

    std::string Key()
    {
        std::string k = Take();
        if (k.find('.') == std::string::npos)
            k = "var." + k;
        return k;
    }

    std::string Msg(const char* fmt, const std::string& key)
    {
        char line[1024];
        snprintf(line, sizeof(line), fmt, ctx_->current->context_ndx, ctx_->current->key->ptr, key.c_str());
        return line;
    }

    void Insert(array* a, Value v)
    {
        if (array_insert_unique_checked(a, v.get()) != 0)
            Fail("data type mismatch, cannot merge\n");
        v.release();
    }

    void Varline()
    {
        std::string key = Key();
        int op = Peek();
        if (op != TK_ASSIGN && op != TK_APPEND)
            Fail();
        pos_++;
        Value v = Expression();
        data_config* cur = ctx_->current;
        if (key.compare(0, 4, "env.") == 0)
            Fail(Msg(op == TK_ASSIGN ? "Setting env variable is not supported in conditional %d %s: %s\n"
                                     : "Appending env variable is not supported in conditional %d %s: %s\n",
                     key));
        data_unset* here = array_get_element(cur->value, key.c_str());
        if (op == TK_ASSIGN && here)
            Fail(Msg("Duplicate config variable in conditional %d %s: %s\n", key));
        if (op == TK_APPEND) {
            data_unset* base = here;
            for (data_config* dc = cur->parent; base == nullptr && dc; dc = dc->parent)
                base = array_get_element(dc->value, key.c_str());
            if (base) {
                v = Merge(Value(base->copy(base)), v.get());
                if (here)
                    here->free(array_replace(cur->value, Named(std::move(v), key).release()));
                else
                    Insert(cur->value, Named(std::move(v), key));
                return;
            }
        }
        Insert(cur->value, Named(std::move(v), key));
    }

    static Value Named(Value v, const std::string& key)
    {
        buffer_copy_string_len(v->key, key.data(), key.size());
        v->is_index_key = 0;
        return v;
    }

    Value Merge(Value a, const data_unset* b)
    {
        data_unset* r = configparser_merge_data(a.get(), b);
        if (r == nullptr)
            FailLogged(s_mergeFailure);  // the merge has printed it already
        if (r != a.get()) {
            a.release();  // merge_data freed it
            return Value(r);
        }
        return a;
    }

    Value Expression()
    {
        Value v = ValueRule();
        while (Peek() == TK_PLUS) {
            pos_++;
            Value w = ValueRule();
            v = Merge(std::move(v), w.get());
        }
        return v;
    }

    Value ValueRule()
    {
        switch (Peek()) {
        case TK_LKEY: {
            std::string key = Key();
            if (key.compare(0, 4, "env.") == 0) {
                const char* env = getenv(key.c_str() + 4);
                if (env == nullptr)
                    Fail("Undefined env variable: " + key.substr(4) + "\n");
                data_string* ds = data_string_init();
                buffer_copy_string(ds->value, env);
                return Value((data_unset*)ds);
            }
            for (data_config* dc = ctx_->current; dc; dc = dc->parent)
                if (data_unset* du = array_get_element(dc->value, key.c_str()))
                    return Value(du->copy(du));
            Fail("Undefined config variable: " + key + "\n");
        }
        case TK_STRING: {
            data_string* ds = data_string_init();
            const std::string& s = Take();
            buffer_copy_string_len(ds->value, s.data(), s.size());
            return Value((data_unset*)ds);
        }
        case TK_INTEGER: {
            const std::string& s = Take();
            errno = 0;
            long n = strtol(s.c_str(), nullptr, 10);
            if (errno || n > INT_MAX)
                Fail("integer out of range: " + s + "\n");
            data_integer* di = data_integer_init();
            di->value = (int)n;
            return Value((data_unset*)di);
        }
        case TK_LPARAN:
            return Array();
        default:
            Fail();
        }
    }

    Value Array()
    {
        Nest nest(*this);
        Expect(TK_LPARAN);
        Value arr((data_unset*)data_array_init());
        array* a = ((data_array*)arr.get())->value;
        if (Peek() == TK_RPARAN) {
            pos_++;
            return arr;
        }
        while (true) {
            Value e = Expression();
            if (Peek() == TK_ARRAY_ASSIGN) {
                pos_++;
                std::string key = Stringop(std::move(e));
                e = Expression();
                if (array_get_element(a, key.c_str()))
                    Fail("Duplicate array-key: " + key + "\n");
                e = Named(std::move(e), key);
            } else {
                buffer_reset(e->key);
                e->is_index_key = 0;
            }
            std::string key = e->key->used ? e->key->ptr : std::to_string(a->unique_ndx);
            if (array_insert_unique_checked(a, e.get()) != 0)
                Fail("Duplicate array-key: " + key + "\n");
            e.release();
            if (Peek() == TK_RPARAN)
                break;
            Expect(TK_COMMA);
            if (Peek() == TK_RPARAN)
                break;
        }
        Expect(TK_RPARAN);
        return arr;
    }

    std::string Stringop(Value v)
    {
        if (v->type == TYPE_STRING) {
            const buffer* b = ((data_string*)v.get())->value;
            return b->used ? std::string(b->ptr, b->used - 1) : std::string();
        }
        if (v->type == TYPE_INTEGER)
            return std::to_string(((data_integer*)v.get())->value);
        Fail("operand must be string");
    }

    void Push(data_config* dc)
    {
        if (!ctx_->configs_stack.empty() && ctx_->current->context_ndx == 0)
            Fail("Cannot use conditionals inside a global { ... } block\n");
        ctx_->configs_stack.push_back(ctx_->current);
        ctx_->current = dc;
    }

    void Pop()
    {
        ctx_->current = ctx_->configs_stack.back();
        ctx_->configs_stack.pop_back();
    }

    void Block()
    {
        Expect(TK_LCURLY);
        while (Peek() != TK_RCURLY) {
            if (Peek() == TK_END)
                Fail();
            Metaline();
        }
        pos_++;
        Pop();
    }

    void Global()
    {
        Nest nest(*this);
        pos_++;
        data_config* dc = (data_config*)array_get_element(ctx_->all_configs, "global");
        if (dc == nullptr)
            Fail();
        Push(dc);
        Block();
    }

    void Condlines()
    {
        data_config* earlier = Condline();
        while (Peek() == TK_ELSE || (Peek() == TK_EOL && Peek(1) == TK_ELSE)) {
            if (Peek() == TK_EOL)
                pos_++;
            pos_++;
            data_config* later = Condline();
            if (earlier->context_ndx >= later->context_ndx)
                Fail("unreachable else condition\n");
            earlier->next = later;
            later->prev = earlier;
            earlier = later;
        }
    }

    data_config* Condline()
    {
        Nest nest(*this);
        data_config* dc = Context();
        Block();
        return dc;
    }

    data_config* Context()
    {
        Expect(TK_DOLLAR);
        if (Peek() != TK_SRVVARNAME)
            Fail();
        std::string field = Take();
        Expect(TK_LBRACKET);
        std::string index = Stringop(Expression());
        Expect(TK_RBRACKET);
        int op = Peek();
        if (op < TK_EQ || op > TK_NOMATCH)
            Fail();
        pos_++;
        Value rvalue = Expression();
        if (rvalue->type != TYPE_STRING)
            Fail("rvalue must be string");
        static const char* const opText[] = {"==", "=~", "!=", "!~"};
        static const config_cond_t opCond[] = {CONFIG_COND_EQ, CONFIG_COND_MATCH, CONFIG_COND_NE, CONFIG_COND_NOMATCH};
        const buffer* rv = ((data_string*)rvalue.get())->value;
        std::string value = rv->used ? std::string(rv->ptr, rv->used - 1) : std::string();
        std::string key = std::string(ctx_->current->key->ptr) + "/" + field + index + opText[op - TK_EQ] + value;
        if (!ctx_->configs_stack.empty() && ctx_->current->context_ndx == 0)
            Fail("Cannot use conditionals inside a global { ... } block\n");
        if (data_config* existing = (data_config*)array_get_element(ctx_->all_configs, key.c_str())) {
            Push(existing);
            return existing;
        }
        static const struct {
            const char* text;
            comp_key_t comp;
        } comps[] = {{"SERVER[\"socket\"]", COMP_SERVER_SOCKET},     {"HTTP[\"url\"]", COMP_HTTP_URL},
                     {"HTTP[\"host\"]", COMP_HTTP_HOST},             {"HTTP[\"referer\"]", COMP_HTTP_REFERER},
                     {"HTTP[\"useragent\"]", COMP_HTTP_USER_AGENT},  {"HTTP[\"user-agent\"]", COMP_HTTP_USER_AGENT},
                     {"HTTP[\"language\"]", COMP_HTTP_LANGUAGE},     {"HTTP[\"cookie\"]", COMP_HTTP_COOKIE},
                     {"HTTP[\"remoteip\"]", COMP_HTTP_REMOTE_IP},    {"HTTP[\"remote-ip\"]", COMP_HTTP_REMOTE_IP},
                     {"HTTP[\"querystring\"]", COMP_HTTP_QUERY_STRING},
                     {"HTTP[\"query-string\"]", COMP_HTTP_QUERY_STRING},
                     {"HTTP[\"scheme\"]", COMP_HTTP_SCHEME},         {"HTTP[\"request-method\"]", COMP_HTTP_REQUEST_METHOD}};
        std::string compKey = field + "[\"" + index + "\"]";
        comp_key_t comp = COMP_UNSET;
        for (const auto& c : comps)
            if (compKey == c.text)
                comp = c.comp;
        if (comp == COMP_UNSET)
            Fail("error comp_key " + compKey);
        if (opCond[op - TK_EQ] == CONFIG_COND_MATCH || opCond[op - TK_EQ] == CONFIG_COND_NOMATCH)
            Fail("can't handle '$" + field + "[" + index +
                 "] =~ ...' as you compiled without pcre support. \n(perhaps just a missing pcre-devel package ?) \n");
        data_config* dc = data_config_init();
        buffer_copy_string_len(dc->key, key.data(), key.size());
        buffer_copy_string(dc->op, opText[op - TK_EQ]);
        buffer_copy_string_len(dc->comp_key, compKey.data(), compKey.size());
        dc->comp = comp;
        dc->cond = opCond[op - TK_EQ];
        dc->string = buffer_init_buffer(((data_string*)rvalue.get())->value);
        dc->context_ndx = (int)ctx_->all_configs->used;
        dc->parent = ctx_->current;
        array_insert_unique(ctx_->all_configs, (data_unset*)dc);
        array_insert_unique(ctx_->current->childs, (data_unset*)dc);
        Push(dc);
        return dc;
    }
};

// The push interface feeds tokens; the parse runs over them at the end.
struct ParserState {
    std::vector<Tok> toks;
    std::string last;
    int failLine = 0;
    int failPos = 0;
};

int config_parse(server* srv, config_t* context, tokenizer_t* t)
{
    void* parser = configparserAlloc(malloc);
    std::string token;
    int code = 0;
    int rc;
    while ((rc = Tokenize(srv, t, &code, token)) == 1) {
        buffer* b = buffer_init_string(token.c_str());
        configparser(parser, code, b, context);
        Tok& added = ((ParserState*)parser)->toks.back();
        added.line = t->tok_line;
        added.pos = t->tok_pos;
    }
    std::string last = ((ParserState*)parser)->toks.empty() ? "" : ((ParserState*)parser)->toks.back().text;
    if (rc == -1) {
        LOG_ERR(srv, "sS", "configfile parser failed at:", last.c_str());
        configparserFree(parser, free);
        return -1;
    }
    configparser(parser, TK_EOL, buffer_init_string("(EOL)"), context);
    Tok& closing = ((ParserState*)parser)->toks.back();
    closing.line = t->line;
    closing.pos = t->line_pos;
    configparser(parser, TK_END, nullptr, context);
    ParserState ps = std::move(*(ParserState*)parser);
    configparserFree(parser, free);
    if (ps.failLine == 0) {  // refused before this source's parse began
        ps.failLine = t->line;
        ps.failPos = t->line_pos;
    }
    if (context->ok == 0) {
        LOG_ERR(srv, "sssdsdsS", "source:", t->source, "line:", ps.failLine, "pos:", ps.failPos,
                "parser failed somehow near here:", ps.last.c_str());
        return -1;
    }
    return 0;
}

int ParseText(server* srv, config_t* context, const char* source, const char* text, size_t size)
{
    tokenizer_t t{source, text, 0, size, 1, 1, 1, 0, 0, 1, 1};
    return config_parse(srv, context, &t);
}

int DefaultShellRunner(const char* cmd, const char* cwd, buffer* out)
{
    int status = 0;
    if (proc_open_buffer_in(cmd, cwd, nullptr, out, nullptr, &status) != 0)
        return -1;
    return status;
}

}  // namespace

int (*config_shell_runner)(const char* cmd, const char* cwd, buffer* out) = DefaultShellRunner;

void* configparserAlloc(void* (*mallocProc)(size_t))
{
    (void)mallocProc;
    return new ParserState();
}

void configparserFree(void* p, void (*freeProc)(void*))
{
    (void)freeProc;
    delete (ParserState*)p;
}

void configparser(void* yyp, int yymajor, buffer* yyminor, config_t* ctx)
{
    ParserState* ps = (ParserState*)yyp;
    if (yymajor != TK_END) {
        ps->toks.push_back({yymajor, yyminor && yyminor->used ? yyminor->ptr : ""});
        buffer_free(yyminor);
        return;
    }
    if (ctx->ok == 0)
        return;
    Parser p(ctx, ps->toks);
    try {
        p.Input();
    } catch (const ParseFailure&) {
        ctx->ok = 0;
        ps->failLine = p.FailedToken().line;
        ps->failPos = p.FailedToken().pos;
    }
    ps->last = p.LastToken();
}

data_unset* configparser_merge_data(data_unset* op1, const data_unset* op2)
{
    // Why a merge failed, printed once here and logged by the parser.
    auto refuse = [](const char* why) -> data_unset* {
        s_mergeFailure = why;
        fputs(why, stderr);
        return nullptr;
    };
    if (op1->type != op2->type) {
        if (op1->type == TYPE_STRING && op2->type == TYPE_INTEGER) {
            buffer_append_long(((data_string*)op1)->value, ((const data_integer*)op2)->value);
            return op1;
        }
        if (op1->type == TYPE_INTEGER && op2->type == TYPE_STRING) {
            data_string* ds = data_string_init();
            buffer_append_long(ds->value, ((data_integer*)op1)->value);
            buffer_append_string_buffer(ds->value, ((const data_string*)op2)->value);
            op1->free(op1);
            return (data_unset*)ds;
        }
        return refuse("data type mismatch, cannot merge\n");
    }
    switch (op1->type) {
    case TYPE_STRING:
        buffer_append_string_buffer(((data_string*)op1)->value, ((const data_string*)op2)->value);
        return op1;
    case TYPE_INTEGER: {
        int& a = ((data_integer*)op1)->value;
        int b = ((const data_integer*)op2)->value;
        if (__builtin_add_overflow(a, b, &a))
            return refuse("integer overflow, cannot merge\n");
        return op1;
    }
    case TYPE_ARRAY: {
        array* dst = ((data_array*)op1)->value;
        const array* src = ((const data_array*)op2)->value;
        for (size_t i = 0; i < src->used; ++i) {
            data_unset* du = src->data[i]->copy(src->data[i]);
            // A key held with another type is a configuration error, not a stop.
            if (array_insert_unique_checked(dst, du) != 0) {
                du->free(du);
                return refuse("data type mismatch, cannot merge\n");
            }
        }
        return op1;
    }
    default:
        return refuse("data type mismatch, cannot merge\n");
    }
}

int config_parse_file(server* srv, config_t* context, const char* fn)
{
    std::string name = fn;
    bool asIs = fn[0] == '/' || fn[0] == '\\' || (fn[0] == '.' && (fn[1] == '/' || fn[1] == '\\'));
    if (!asIs && context->basedir->used > 1)
        name = std::string(context->basedir->ptr) + fn;
    if (context->include_depth >= kMaxIncludeDepth) {
        LOG_ERR(srv, "sS", "includes nested too deeply:", name.c_str());
        return -1;
    }
    std::string text;
    errno = 0;
    if (!plat::ReadFile(name, text)) {
        LOG_ERR(srv, "sSss", "opening configfile ", name.c_str(), "failed:", strerror(errno ? errno : ENOENT));
        return -1;
    }
    if (text.empty())
        return 0;
    context->include_depth++;
    int rc = ParseText(srv, context, name.c_str(), text.c_str(), text.size());
    context->include_depth--;
    return rc;
}

int config_parse_cmd(server* srv, config_t* context, const char* cmd)
{
    if (context->include_depth >= kMaxIncludeDepth) {
        LOG_ERR(srv, "sS", "includes nested too deeply:", cmd);
        return -1;
    }
    buffer* out = buffer_init();
    const char* cwd = context->basedir->used > 1 ? context->basedir->ptr : nullptr;
    int rc;
    errno = 0;
    int ran = config_shell_runner(cmd, cwd, out);
    if (ran > 0) {
        // It ran and failed: its output is not a configuration to trust.
        LOG_ERR(srv, "sssd", "opening", cmd, "failed: exit code", ran);
        rc = -1;
    } else if (ran != 0) {
        LOG_ERR(srv, "ssss", "opening", cmd, "failed:", strerror(errno ? errno : EPERM));
        rc = -1;
    } else {
        context->include_depth++;
        rc = out->used ? ParseText(srv, context, cmd, out->ptr, out->used) : 0;
        context->include_depth--;
    }
    buffer_free(out);
    return rc;
}

int config_read(server* srv, const char* fn)
{
    config_t context{};
    context.srv = srv;
    context.ok = 1;
    context.basedir = buffer_init();
    const char* slash = strrchr(fn, '/');
    if (slash)
        buffer_copy_string_len(context.basedir, fn, (size_t)(slash - fn + 1));
    const char* file = slash ? slash + 1 : fn;

    if (srv->config_context->used != 0)
        log_failed_assert(SRV_FILE, __LINE__, "assertion failed: context.all_configs->used == 0");
    context.all_configs = srv->config_context;
    data_config* dc = data_config_init();
    buffer_copy_string(dc->key, "global");
    dc->context_ndx = 0;
    array_insert_unique(context.all_configs, (data_unset*)dc);
    srv->config = dc->value;
    context.current = dc;

    data_integer* dpid = data_integer_init();
    dpid->value = (int)getpid();
    buffer_copy_string(dpid->key, "var.PID");
    array_insert_unique(dc->value, (data_unset*)dpid);
    char cwd[1088];
    if (getcwd(cwd, sizeof(cwd))) {
        data_string* dcwd = data_string_init();
        buffer_copy_string(dcwd->value, cwd);
        buffer_copy_string(dcwd->key, "var.CWD");
        array_insert_unique(dc->value, (data_unset*)dcwd);
    }

    int ret = config_parse_file(srv, &context, slash ? fn : file);
    buffer_free(context.basedir);
    if (ret != 0)
        return ret;

    dc = (data_config*)array_get_element(srv->config_context, "global");
    if (dc == nullptr)
        return -1;
    srv->config = dc->value;

    // The module list: mod_index first, the configured modules, then
    // mod_dirlist and mod_static, none of them twice.
    data_array* modules = data_array_init();
    data_unset* du = array_get_element(srv->config, "server.modules");
    auto named = [](const array* a, const char* name) {
        for (size_t i = 0; a && i < a->used; ++i)
            if (a->data[i]->type == TYPE_STRING && buffer_is_equal_string(((data_string*)a->data[i])->value, name, strlen(name)))
                return true;
        return false;
    };
    auto add = [&](const char* name) {
        data_string* ds = data_string_init();
        buffer_copy_string(ds->value, name);
        array_insert_unique(modules->value, (data_unset*)ds);
    };
    const array* configured = nullptr;
    if (du) {
        if (du->type != TYPE_ARRAY) {
            fprintf(stderr, "server.modules must be an array\n");
            LOG_ERR(srv, "s", "server.modules must be an array");
            modules->free((data_unset*)modules);
            return -1;
        }
        configured = ((data_array*)du)->value;
    }
    if (!named(configured, "mod_index"))
        add("mod_index");
    for (size_t i = 0; configured && i < configured->used; ++i) {
        data_unset* e = configured->data[i]->copy(configured->data[i]);
        buffer_reset(e->key);
        e->is_index_key = 0;
        array_insert_unique(modules->value, e);
    }
    if (!named(configured, "mod_dirlist"))
        add("mod_dirlist");
    if (!named(configured, "mod_static"))
        add("mod_static");
    buffer_copy_string(modules->key, "server.modules");
    if (data_unset* old = array_replace(srv->config, (data_unset*)modules))
        old->free(old);

    return config_insert(srv) != 0 ? -1 : 0;
}
