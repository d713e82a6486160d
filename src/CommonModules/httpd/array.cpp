// The keyed array of the HTTP server (insertion order plus a case-folded
// sorted index), its value types and the bit set.
#include "CommonModules/httpd/array.h"
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A value of one kind with its key and its operations.
template <class T>
T* NewValue(data_type_t type, data_unset* (*copy)(const data_unset*), void (*freeFn)(data_unset*),
            void (*reset)(data_unset*), int (*insertDup)(data_unset*, data_unset*),
            void (*print)(const data_unset*, int))
{
    T* d = (T*)calloc(1, sizeof(T));
    SRV_ASSERT(d);
    d->type = type;
    d->key = buffer_init();
    d->copy = copy;
    d->free = freeFn;
    d->reset = reset;
    d->insert_dup = insertDup;
    d->print = print;
    return d;
}

void PrintString(const buffer* v)
{
    putchar('"');
    if (v && v->used > 1) {
        for (const char* c = v->ptr; *c; ++c) {
            if (*c == '"')
                putchar('\\');
            putchar(*c);
        }
    }
    putchar('"');
}

// ---- data_string / response header ----
void string_free(data_unset* d)
{
    data_string* ds = (data_string*)d;
    buffer_free(ds->key);
    buffer_free(ds->value);
    free(ds);
}
void string_reset(data_unset* d)
{
    data_string* ds = (data_string*)d;
    buffer_reset(ds->key);
    buffer_reset(ds->value);
}
int string_insert_dup(data_unset* dst, data_unset* src)
{
    data_string* ds_dst = (data_string*)dst;
    data_string* ds_src = (data_string*)src;
    if (ds_dst->value->used) {
        buffer_append_string_len(ds_dst->value, CONST_STR_LEN(", "));
        buffer_append_string_buffer(ds_dst->value, ds_src->value);
    } else {
        buffer_copy_string_buffer(ds_dst->value, ds_src->value);
    }
    src->free(src);
    return 0;
}
int response_insert_dup(data_unset* dst, data_unset* src)
{
    data_string* ds_dst = (data_string*)dst;
    data_string* ds_src = (data_string*)src;
    if (ds_dst->value->used) {
        buffer_append_string_len(ds_dst->value, CONST_STR_LEN("\r\n"));
        buffer_append_string_buffer(ds_dst->value, ds_dst->key);
        buffer_append_string_len(ds_dst->value, CONST_STR_LEN(": "));
        buffer_append_string_buffer(ds_dst->value, ds_src->value);
    } else {
        buffer_copy_string_buffer(ds_dst->value, ds_src->value);
    }
    src->free(src);
    return 0;
}
void string_print(const data_unset* d, int)
{
    PrintString(((const data_string*)d)->value);
}
data_unset* string_copy(const data_unset* s)
{
    const data_string* src = (const data_string*)s;
    data_string* ds = data_string_init();
    buffer_copy_string_buffer(ds->key, src->key);
    buffer_copy_string_buffer(ds->value, src->value);
    ds->is_index_key = src->is_index_key;
    return (data_unset*)ds;
}

// ---- data_count ----
void count_free(data_unset* d)
{
    buffer_free(d->key);
    free(d);
}
void count_reset(data_unset* d)
{
    buffer_reset(d->key);
    ((data_count*)d)->count = 0;
}
int count_insert_dup(data_unset* dst, data_unset* src)
{
    ((data_count*)dst)->count += ((data_count*)src)->count;
    src->free(src);
    return 0;
}
void count_print(const data_unset* d, int)
{
    printf("count(%d)", ((const data_count*)d)->count);
}
data_unset* count_copy(const data_unset* s)
{
    data_count* dc = data_count_init();
    buffer_copy_string_buffer(dc->key, s->key);
    dc->count = ((const data_count*)s)->count;
    dc->is_index_key = s->is_index_key;
    return (data_unset*)dc;
}

// ---- shared by array, integer, fastcgi, config: the existing value stays ----
int keep_insert_dup(data_unset*, data_unset* src)
{
    src->free(src);
    return 0;
}

// ---- data_array ----
void darray_free(data_unset* d)
{
    buffer_free(d->key);
    array_free(((data_array*)d)->value);
    free(d);
}
void darray_reset(data_unset* d)
{
    buffer_reset(d->key);
    array_reset(((data_array*)d)->value);
}
void darray_print(const data_unset* d, int depth)
{
    array_print(((const data_array*)d)->value, depth);
}
data_unset* darray_copy(const data_unset* s)
{
    data_array* da = data_array_init();
    buffer_copy_string_buffer(da->key, s->key);
    da->is_index_key = s->is_index_key;
    array_free(da->value);
    da->value = array_init_array(((const data_array*)s)->value);
    return (data_unset*)da;
}

// ---- data_integer ----
void integer_free(data_unset* d)
{
    buffer_free(d->key);
    free(d);
}
void integer_reset(data_unset* d)
{
    buffer_reset(d->key);
    ((data_integer*)d)->value = 0;
}
void integer_print(const data_unset* d, int)
{
    printf("%d", ((const data_integer*)d)->value);
}
data_unset* integer_copy(const data_unset* s)
{
    data_integer* di = data_integer_init();
    buffer_copy_string_buffer(di->key, s->key);
    di->is_index_key = s->is_index_key;
    di->value = ((const data_integer*)s)->value;
    return (data_unset*)di;
}

// ---- data_fastcgi ----
void fastcgi_free(data_unset* d)
{
    buffer_free(d->key);
    buffer_free(((data_fastcgi*)d)->host);
    free(d);
}
void fastcgi_reset(data_unset* d)
{
    buffer_reset(d->key);
    buffer_reset(((data_fastcgi*)d)->host);
}
void fastcgi_print(const data_unset* d, int)
{
    const buffer* h = ((const data_fastcgi*)d)->host;
    printf("fastcgi(%s)", h->used ? h->ptr : "");
}
data_unset* fastcgi_copy(const data_unset* s)
{
    data_fastcgi* df = data_fastcgi_init();
    buffer_copy_string_buffer(df->key, s->key);
    buffer_copy_string_buffer(df->host, ((const data_fastcgi*)s)->host);
    df->is_index_key = s->is_index_key;
    return (data_unset*)df;
}

// ---- data_config ----
void config_free(data_unset* d)
{
    data_config* dc = (data_config*)d;
    buffer_free(dc->key);
    buffer_free(dc->op);
    buffer_free(dc->comp_key);
    array_free(dc->value);
    array_free(dc->childs);
    buffer_free(dc->string);
    free(dc);
}
void config_reset(data_unset* d)
{
    data_config* dc = (data_config*)d;
    buffer_reset(dc->key);
    buffer_reset(dc->comp_key);
    array_reset(dc->value);
}
data_unset* config_copy(const data_unset* s)
{
    const data_config* src = (const data_config*)s;
    data_config* dc = data_config_init();
    buffer_copy_string_buffer(dc->key, src->key);
    buffer_copy_string_buffer(dc->comp_key, src->comp_key);
    array_free(dc->value);
    dc->value = array_init_array(src->value);
    return (data_unset*)dc;
}

// Case-folded order of two keys, their terminating NULs taking part.
int KeyCompare(const buffer* a, const char* key, size_t keylen)
{
    return buffer_caseless_compare(key, keylen + 1, a->ptr, a->used);
}

// Position in `sorted` of the key, or where it would go (found = false).
size_t Find(const array* a, const char* key, size_t keylen, bool& found)
{
    size_t lo = 0, hi = a->used;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        int c = KeyCompare(a->data[a->sorted[mid]]->key, key, keylen);
        if (c == 0) {
            found = true;
            return mid;
        }
        if (c < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    found = false;
    return lo;
}

// Insertion proper; -2 on a type clash (du untouched), -1 when full.
int Insert(array* a, data_unset* du)
{
    if (du->key->used == 0 || du->is_index_key) {
        buffer_copy_long(du->key, (long)a->unique_ndx);
        a->unique_ndx++;
        du->is_index_key = 1;
    }
    bool found;
    size_t pos = Find(a, du->key->ptr, du->key->used - 1, found);
    if (found) {
        data_unset* old = a->data[a->sorted[pos]];
        if (old->type != du->type)
            return -2;
        du->insert_dup(old, du);
        return 0;
    }
    if (a->used >= (size_t)INT_MAX)
        return -1;
    if (a->size == 0) {
        a->size = 16;
        a->data = (data_unset**)calloc(a->size, sizeof(*a->data));
        SRV_ASSERT(a->data);
        a->sorted = (size_t*)calloc(a->size, sizeof(*a->sorted));
        SRV_ASSERT(a->sorted);
    } else if (a->used == a->size) {
        a->size += 16;
        a->data = (data_unset**)realloc(a->data, sizeof(*a->data) * a->size);
        SRV_ASSERT(a->data);
        a->sorted = (size_t*)realloc(a->sorted, sizeof(*a->sorted) * a->size);
        SRV_ASSERT(a->sorted);
        for (size_t i = a->used; i < a->size; ++i)
            a->data[i] = nullptr;
    }
    size_t ndx = a->used;
    if (a->data[ndx])
        a->data[ndx]->free(a->data[ndx]);
    a->data[ndx] = du;
    a->used++;
    memmove(a->sorted + pos + 1, a->sorted + pos, (ndx - pos) * sizeof(*a->sorted));
    a->sorted[pos] = ndx;
    if (ndx == a->next_power_of_2)
        a->next_power_of_2 <<= 1;
    return 0;
}

void Indent(int depth)
{
    for (int i = 0; i < depth; ++i)
        fputs("    ", stdout);
}

}  // namespace

data_string* data_string_init(void)
{
    data_string* ds =
        NewValue<data_string>(TYPE_STRING, string_copy, string_free, string_reset, string_insert_dup, string_print);
    ds->value = buffer_init();
    return ds;
}

data_string* data_response_init(void)
{
    data_string* ds = data_string_init();
    ds->insert_dup = response_insert_dup;
    return ds;
}

data_count* data_count_init(void)
{
    data_count* dc =
        NewValue<data_count>(TYPE_COUNT, count_copy, count_free, count_reset, count_insert_dup, count_print);
    dc->count = 1;
    return dc;
}

data_array* data_array_init(void)
{
    data_array* da =
        NewValue<data_array>(TYPE_ARRAY, darray_copy, darray_free, darray_reset, keep_insert_dup, darray_print);
    da->value = array_init();
    return da;
}

data_integer* data_integer_init(void)
{
    data_integer* di =
        NewValue<data_integer>(TYPE_INTEGER, integer_copy, integer_free, integer_reset, keep_insert_dup, integer_print);
    return di;
}

data_fastcgi* data_fastcgi_init(void)
{
    data_fastcgi* df =
        NewValue<data_fastcgi>(TYPE_FASTCGI, fastcgi_copy, fastcgi_free, fastcgi_reset, keep_insert_dup, fastcgi_print);
    df->host = buffer_init();
    return df;
}

data_config* data_config_init(void)
{
    data_config* dc =
        NewValue<data_config>(TYPE_CONFIG, config_copy, config_free, config_reset, keep_insert_dup, data_config_print);
    dc->value = array_init();
    dc->comp_key = buffer_init();
    dc->op = buffer_init();
    dc->childs = array_init();
    dc->childs->is_weakref = 1;
    return dc;
}

array* array_init(void)
{
    array* a = (array*)calloc(1, sizeof(*a));
    SRV_ASSERT(a);
    a->next_power_of_2 = 1;
    return a;
}

array* array_init_array(const array* src)
{
    array* a = array_init();
    if (src == nullptr || src->size == 0)
        return a;
    a->used = src->used;
    a->size = src->size;
    a->next_power_of_2 = src->next_power_of_2;
    a->unique_ndx = src->unique_ndx;
    a->data = (data_unset**)calloc(a->size, sizeof(*a->data));
    SRV_ASSERT(a->data);
    a->sorted = (size_t*)calloc(a->size, sizeof(*a->sorted));
    SRV_ASSERT(a->sorted);
    for (size_t i = 0; i < src->size; ++i)
        a->data[i] = src->data[i] ? src->data[i]->copy(src->data[i]) : nullptr;
    memcpy(a->sorted, src->sorted, sizeof(*a->sorted) * src->size);
    return a;
}

void array_free(array* a)
{
    if (a == nullptr)
        return;
    if (!a->is_weakref)
        for (size_t i = 0; i < a->size; ++i)
            if (a->data[i])
                a->data[i]->free(a->data[i]);
    free(a->data);
    free(a->sorted);
    free(a);
}

void array_reset(array* a)
{
    if (a == nullptr)
        return;
    if (!a->is_weakref)
        for (size_t i = 0; i < a->used; ++i)
            a->data[i]->reset(a->data[i]);
    a->used = 0;
}

data_unset* array_get_element(const array* a, const char* key)
{
    if (a == nullptr || key == nullptr || a->used == 0)
        return nullptr;
    bool found;
    size_t pos = Find(a, key, strlen(key), found);
    return found ? a->data[a->sorted[pos]] : nullptr;
}

data_unset* array_get_unused_element(array* a, data_type_t t)
{
    for (size_t i = a->used; i < a->size; ++i) {
        data_unset* ds = a->data[i];
        if (ds && ds->type == t) {
            a->data[i] = a->data[a->used];
            a->data[a->used] = nullptr;
            return ds;
        }
    }
    return nullptr;
}

int array_insert_unique(array* a, data_unset* du)
{
    int rc = Insert(a, du);
    if (rc == -2)
        SRV_ABORT();
    return rc;
}

int array_insert_unique_checked(array* a, data_unset* du)
{
    return Insert(a, du) == 0 ? 0 : -1;
}

data_unset* array_replace(array* a, data_unset* du)
{
    if (du == nullptr)
        log_failed_assert(SRV_FILE, __LINE__, "assertion failed: NULL != du");
    if (du->key->used) {
        bool found;
        size_t pos = a->used ? Find(a, du->key->ptr, du->key->used - 1, found) : (found = false, 0);
        if (found) {
            data_unset* old = a->data[a->sorted[pos]];
            a->data[a->sorted[pos]] = du;
            return old;
        }
    }
    array_insert_unique(a, du);
    return nullptr;
}

void array_set_key_value(array* a, const char* key, size_t key_len, const char* value, size_t val_len)
{
    bool found = false;
    size_t pos = a->used ? Find(a, key, key_len, found) : 0;
    if (found) {
        data_unset* du = a->data[a->sorted[pos]];
        if (du->type == TYPE_STRING)
            buffer_copy_string_len(((data_string*)du)->value, value, val_len);
        return;
    }
    data_string* ds = (data_string*)array_get_unused_element(a, TYPE_STRING);
    if (ds == nullptr)
        ds = data_string_init();
    buffer_copy_string_len(ds->key, key, key_len);
    buffer_copy_string_len(ds->value, value, val_len);
    array_insert_unique(a, (data_unset*)ds);
}

data_unset* array_pop(array* a)
{
    if (a->used == 0)
        log_failed_assert(SRV_FILE, __LINE__, "assertion failed: a->used != 0");
    a->used--;
    data_unset* du = a->data[a->used];
    a->data[a->used] = nullptr;
    return du;
}

size_t array_get_max_key_length(const array* a)
{
    size_t maxlen = 0;
    for (size_t i = 0; i < a->used; ++i) {
        size_t len = a->data[i]->key->used ? strlen(a->data[i]->key->ptr) : 0;
        maxlen = std::max(maxlen, len);
    }
    return maxlen;
}

int array_print_indent(int depth)
{
    Indent(depth);
    return 0;
}

int array_print(const array* a, int depth)
{
    bool oneline = a->used <= 5;
    for (size_t i = 0; i < a->used && oneline; ++i) {
        const data_unset* du = a->data[i];
        if (!du->is_index_key || (du->type != TYPE_STRING && du->type != TYPE_INTEGER && du->type != TYPE_COUNT))
            oneline = false;
    }
    if (oneline) {
        fputs("(", stdout);
        for (size_t i = 0; i < a->used; ++i) {
            if (i)
                fputs(", ", stdout);
            a->data[i]->print(a->data[i], depth + 1);
        }
        fputs(")", stdout);
        return 0;
    }
    size_t maxlen = array_get_max_key_length(a);
    fputs("(\n", stdout);
    for (size_t i = 0; i < a->used; ++i) {
        const data_unset* du = a->data[i];
        Indent(depth + 1);
        if (!du->is_index_key) {
            if (i && i % 5 == 0) {
                printf("# %zd\n", i);
                Indent(depth + 1);
            }
            PrintString(du->key);
            size_t len = du->key->used ? strlen(du->key->ptr) : 0;
            for (size_t j = len; j < maxlen; ++j)
                putchar(' ');
            fputs(" => ", stdout);
        }
        du->print(du, depth + 1);
        fputs(",\n", stdout);
    }
    if (a->used != 1) {
        Indent(depth + 1);
        printf("# %zd\n", a->used);
    }
    Indent(depth);
    fputs(")", stdout);
    return 0;
}

bitset* bitset_init(size_t nbits)
{
    bitset* set = (bitset*)calloc(1, sizeof(*set));
    SRV_ASSERT(set);
    set->bits = (size_t*)calloc((nbits + 31) / 32 ? (nbits + 31) / 32 : 1, sizeof(*set->bits));
    SRV_ASSERT(set->bits);
    set->nbits = nbits;
    return set;
}

void bitset_reset(bitset* set)
{
    memset(set->bits, 0, (set->nbits + 31) / 32 * sizeof(*set->bits));
}

void bitset_free(bitset* set)
{
    if (set == nullptr)
        return;
    free(set->bits);
    free(set);
}

void bitset_set_bit(bitset* set, size_t ndx)
{
    if (ndx >= set->nbits)
        SRV_ABORT();
    set->bits[ndx / 32] |= (size_t)1 << (ndx % 32);
}

void bitset_clear_bit(bitset* set, size_t ndx)
{
    if (ndx >= set->nbits)
        SRV_ABORT();
    set->bits[ndx / 32] &= ~((size_t)1 << (ndx % 32));
}

int bitset_test_bit(bitset* set, size_t ndx)
{
    if (ndx >= set->nbits)
        SRV_ABORT();
    return (set->bits[ndx / 32] >> (ndx % 32)) & 1;
}
