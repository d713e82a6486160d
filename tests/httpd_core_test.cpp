// HTTP server core types: buffers and their codecs, keyed arrays, the
// vocabulary tables and the small utilities.
#include "CommonModules/httpd/array.h"
#include "CommonModules/httpd/keyvalue.h"
#include "CommonModules/httpd/utils.h"
#include "support/testboard.h"
#include <gtest/gtest.h>
#include <string>

namespace {

std::string Str(const buffer* b)
{
    return b->used ? std::string(b->ptr, b->used - 1) : std::string("<unset>");
}

std::string Simplify(const char* in)
{
    buffer* src = buffer_init_string(in);
    buffer* dst = buffer_init();
    buffer_path_simplify(dst, src);
    std::string out = Str(dst);
    buffer_path_simplify(src, src);  // in place must agree
    EXPECT_EQ(out, Str(src)) << in;
    buffer_free(src);
    buffer_free(dst);
    return out;
}

std::string Decode(const char* in, bool query)
{
    buffer* b = buffer_init_string(in);
    query ? buffer_urldecode_query(b) : buffer_urldecode_path(b);
    std::string out = Str(b);
    EXPECT_EQ(b->used, out.size() + 1);
    buffer_free(b);
    return out;
}

std::string Encode(const char* in, size_t len, buffer_encoding_t enc)
{
    buffer* b = buffer_init_string("");
    buffer_append_string_encoded(b, in, len, enc);
    std::string out = Str(b);
    buffer_free(b);
    return out;
}

}  // namespace

TEST(HttpdBuffer, GrowthAndUnsetRules)
{
    buffer* b = buffer_init();
    buffer_append_string_len(b, "", 0);
    EXPECT_EQ(b->used, 0u);  // still unset
    buffer_append_string(b, "");
    EXPECT_EQ(b->used, 1u);  // the empty string
    buffer_free(b);
    b = buffer_init();
    buffer_prepare_copy(b, 64);
    EXPECT_EQ(b->size, 128u);
    buffer_free(b);

    b = buffer_init();
    buffer_prepare_append(b, 10);
    EXPECT_EQ(b->size, 64u);
    b->used = 60;
    buffer_prepare_append(b, 4);
    EXPECT_EQ(b->size, 64u);
    buffer_prepare_append(b, 10);
    EXPECT_EQ(b->size, 128u);
    b->used = 0;
    buffer_prepare_copy(b, 5000);
    buffer_reset(b);
    EXPECT_EQ(b->ptr, nullptr);  // large storage is given back
    buffer_free(b);
}

TEST(HttpdBuffer, NumbersAndComparisons)
{
    char out[32];
    EXPECT_EQ(LI_ltostr(out, -2147483648L), 11);
    EXPECT_STREQ(out, "-2147483648");
    buffer* b = buffer_init();
    for (auto [v, s] : {std::pair<unsigned long, const char*>{0, "00"}, {0xF, "0f"}, {0x100, "0100"}, {0xABC, "0abc"}}) {
        b->used = 0;
        buffer_append_long_hex(b, v);
        EXPECT_EQ(Str(b), s);
    }
    EXPECT_EQ(buffer_caseless_compare("ABC", 4, "abc", 4), 0);
    EXPECT_LT(buffer_caseless_compare("abc", 4, "abcd", 5), 0);
    EXPECT_GT(buffer_caseless_compare("Z", 2, "a", 2), 0);
    buffer* a = buffer_init_string("index.html");
    buffer* c = buffer_init_string(".html");
    EXPECT_EQ(buffer_is_equal_right_len(a, c, 5), 1);
    EXPECT_EQ(buffer_is_equal_right_len(a, c, 6), 0);
    EXPECT_EQ(hex2int('G'), (char)0xFF);
    EXPECT_EQ(hex2int('b'), 11);
    buffer_free(a);
    buffer_free(b);
    buffer_free(c);
}

TEST(HttpdBuffer, EncodingsEscapeExactlyTheirBytes)
{
    EXPECT_EQ(Encode("a b/c?", 6, ENCODING_REL_URI), "a%20b/c%3f");
    EXPECT_EQ(Encode("a/b", 3, ENCODING_REL_URI_PART), "a%2fb");
    EXPECT_EQ(Encode("<&>\x7f", 4, ENCODING_HTML), "&#x3c;&#x26;&#x3e;&#x7f;");
    EXPECT_EQ(Encode("\x80", 1, ENCODING_MINIMAL_XML), "\x80");
    EXPECT_EQ(Encode("\x01\xff", 2, ENCODING_HEX), "01ff");
    EXPECT_EQ(Encode("a\nb", 3, ENCODING_HTTP_HEADER), "a\n\tb");
}

TEST(HttpdBuffer, UrlDecodeNeverYieldsControls)
{
    EXPECT_EQ(Decode("a%2Fb%20c+d", false), "a/b c+d");
    EXPECT_EQ(Decode("a%2Fb%20c+d", true), "a/b c d");
    EXPECT_EQ(Decode("%00%7f%1F", false), "___");
    EXPECT_EQ(Decode("%4G%", false), "%4G%");
}

TEST(HttpdBuffer, PathSimplifyStaysBelowRoot)
{
    EXPECT_EQ(Simplify("/a/b/../../../c"), "/c");
    EXPECT_EQ(Simplify(""), "/");
    EXPECT_EQ(Simplify("   "), "/");
    EXPECT_EQ(Simplify("/.."), "/");
    EXPECT_EQ(Simplify("/../.."), "/");
    EXPECT_EQ(Simplify("//"), "/");
    EXPECT_EQ(Simplify("a/b"), "/a/b");
    EXPECT_EQ(Simplify("/a//b/./c/../d"), "/a/b/d");
    EXPECT_EQ(Simplify("   /x"), "/x");
    EXPECT_EQ(Simplify("/a/b/.."), "/a/");
    EXPECT_EQ(Simplify("/a/."), "/a/");
    EXPECT_EQ(Simplify("/a/"), "/a/");
}

TEST(HttpdArray, SortedIndexAndMergeRules)
{
    array* a = array_init();
    for (auto [k, v] : {std::pair{"b", "1"}, {"A", "2"}, {"a", "3"}}) {
        data_string* ds = data_string_init();
        buffer_copy_string(ds->key, k);
        buffer_copy_string(ds->value, v);
        array_insert_unique(a, (data_unset*)ds);
    }
    ASSERT_EQ(a->used, 2u);
    EXPECT_EQ(Str(a->data[a->sorted[0]]->key), "A");
    EXPECT_EQ(Str(a->data[a->sorted[1]]->key), "b");
    EXPECT_EQ(Str(((data_string*)array_get_element(a, "a"))->value), "2, 3");

    // Generated keys keep counting across a reset.
    a->unique_ndx = 7;
    data_string* ds = data_string_init();
    array_insert_unique(a, (data_unset*)ds);
    EXPECT_EQ(Str(ds->key), "7");
    EXPECT_EQ(ds->is_index_key, 1);
    array_reset(a);
    ds = (data_string*)array_get_unused_element(a, TYPE_STRING);
    ASSERT_NE(ds, nullptr);
    buffer_reset(ds->key);
    array_insert_unique(a, (data_unset*)ds);
    EXPECT_EQ(Str(ds->key), "8");

    // A value of another type under a held key is refused by the checked insert.
    data_integer* di = data_integer_init();
    buffer_copy_string(di->key, "8");
    EXPECT_EQ(array_insert_unique_checked(a, (data_unset*)di), -1);
    di->free((data_unset*)di);
    array_free(a);

    array* h = array_init();
    for (const char* v : {"a=1", "b=2"}) {
        data_string* r = data_response_init();
        buffer_copy_string(r->key, "Set-Cookie");
        buffer_copy_string(r->value, v);
        array_insert_unique(h, (data_unset*)r);
    }
    EXPECT_EQ(Str(((data_string*)array_get_element(h, "set-cookie"))->value), "a=1\r\nSet-Cookie: b=2");
    for (int i = 0; i < 2; ++i) {
        data_count* dc = data_count_init();
        buffer_copy_string(dc->key, "n");
        array_insert_unique(h, (data_unset*)dc);
    }
    EXPECT_EQ(((data_count*)array_get_element(h, "n"))->count, 2);
    array* copy = array_init_array(h);
    EXPECT_EQ(((data_count*)array_get_element(copy, "N"))->count, 2);
    array_free(copy);
    array_free(h);
}

TEST(HttpdArray, TypeClashAndBitIndexStop)
{
    EXPECT_DEATH(
        {
            array* a = array_init();
            data_string* ds = data_string_init();
            buffer_copy_string(ds->key, "k");
            array_insert_unique(a, (data_unset*)ds);
            data_integer* di = data_integer_init();
            buffer_copy_string(di->key, "k");
            array_insert_unique(a, (data_unset*)di);
        },
        "aborted");
    bitset* set = bitset_init(33);
    bitset_set_bit(set, 32);
    EXPECT_EQ(set->bits[1], 1u);
    EXPECT_DEATH(bitset_test_bit(set, 33), "aborted");
    bitset_free(set);
}

TEST(HttpdArray, OneLineDump)
{
    array* a = array_init();
    for (const char* v : std::initializer_list<const char*>{"x\"y", nullptr, "z"}) {
        data_string* ds = data_string_init();
        if (v)
            buffer_copy_string(ds->value, v);
        array_insert_unique(a, (data_unset*)ds);
    }
    testing::internal::CaptureStdout();
    array_print(a, 0);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "(\"x\\\"y\", \"\", \"z\")");
    array_free(a);
}

TEST(HttpdVocabulary, TablesAndPairLists)
{
    EXPECT_EQ(get_http_status_name(418), nullptr);
    EXPECT_STREQ(get_http_status_name(306), "(Unused)");
    EXPECT_STREQ(get_http_status_name(503), "Service Not Available");
    EXPECT_EQ(get_http_method_key("PROPFIND"), HTTP_METHOD_PROPFIND);
    EXPECT_EQ(get_http_method_key("get"), HTTP_METHOD_UNSET);
    EXPECT_EQ(get_http_status_body_name(402), nullptr);
    EXPECT_STREQ(get_http_status_body_name(416), "416.html");
    s_keyvalue_buffer* kvb = s_keyvalue_buffer_init();
    for (int i = 0; i < 5; ++i)
        s_keyvalue_buffer_append(kvb, i ? "k" : nullptr, "v");
    EXPECT_EQ(kvb->size, 8u);
    EXPECT_EQ(kvb->used, 5u);
    s_keyvalue_buffer_free(kvb);
}

TEST(HttpdUtils, Crc32AndCounters)
{
    EXPECT_EQ(generate_crc32c("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(generate_crc32c("", 0), 0u);
    server* srv = server_init();
    status_counter_dec(srv, CONST_STR_LEN("c"));
    EXPECT_EQ(status_counter_get_counter(srv, CONST_STR_LEN("c"))->value, 0);
    status_counter_inc(srv, CONST_STR_LEN("c"));
    status_counter_inc(srv, CONST_STR_LEN("c"));
    EXPECT_EQ(status_counter_get_counter(srv, CONST_STR_LEN("c"))->value, 2);
    server_free(srv);
}

TEST(HttpdUtils, CommandsAndMappings)
{
    buffer* out = buffer_init();
    buffer* in = buffer_init_string("abc");
    ASSERT_EQ(proc_open_buffer("cat", in, out, nullptr), 0);
    EXPECT_EQ(std::string(out->ptr, out->used), "abc");
    EXPECT_EQ(out->ptr[out->used], '\0');
    buffer_free(in);

    stream s;
    buffer* fn = buffer_init_string("/tmp/httpd-empty-file");
    FILE* f = fopen((TestBoardRoot() + "/tmp/httpd-empty-file").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(stream_open(&s, fn), -1);  // an empty file cannot be mapped
    buffer_free(fn);
    buffer_free(out);
}
