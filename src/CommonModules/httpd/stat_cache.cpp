// The per-second stat cache of the HTTP server: file status, symbolic-link
// flag, content type and entity tag per path, kept in a top-down splay tree.
#include "CommonModules/httpd/chunk.h"
#include "CommonModules/httpd/log.h"
#include "CommonModules/httpd/response.h"
#include "Platform/platform.h"
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <unistd.h>
#include <vector>

namespace {

const int kMaxRememberedNames = 1024;

int NodeSize(tree_node* t)
{
    return t ? t->size : 0;
}

int Compare(int a, int b)
{
    return a - b;  // keys are 31-bit, so the difference cannot overflow
}

}  // namespace

tree_node* splaytree_splay(tree_node* t, int key)
{
    if (t == nullptr)
        return t;
    tree_node N{nullptr, nullptr, 0, 0, nullptr};
    tree_node *l = &N, *r = &N, *y;
    int lsize = 0, rsize = 0;
    for (;;) {
        int c = Compare(key, t->key);
        if (c < 0) {
            if (t->left == nullptr)
                break;
            if (Compare(key, t->left->key) < 0) {
                y = t->left;
                t->left = y->right;
                y->right = t;
                t->size = NodeSize(t->left) + NodeSize(t->right) + 1;
                t = y;
                if (t->left == nullptr)
                    break;
            }
            r->left = t;
            r = t;
            t = t->left;
            rsize += 1 + NodeSize(r->right);
        } else if (c > 0) {
            if (t->right == nullptr)
                break;
            if (Compare(key, t->right->key) > 0) {
                y = t->right;
                t->right = y->left;
                y->left = t;
                t->size = NodeSize(t->left) + NodeSize(t->right) + 1;
                t = y;
                if (t->right == nullptr)
                    break;
            }
            l->right = t;
            l = t;
            t = t->right;
            lsize += 1 + NodeSize(l->left);
        } else {
            break;
        }
    }
    lsize += NodeSize(t->left);
    rsize += NodeSize(t->right);
    t->size = lsize + rsize + 1;
    l->right = r->left = nullptr;
    // Walk the assembled sides again to fix the sizes along their spines.
    for (y = N.right; y != nullptr; y = y->right) {
        y->size = lsize;
        lsize -= 1 + NodeSize(y->left);
    }
    for (y = N.left; y != nullptr; y = y->left) {
        y->size = rsize;
        rsize -= 1 + NodeSize(y->right);
    }
    l->right = t->left;
    r->left = t->right;
    t->left = N.right;
    t->right = N.left;
    return t;
}

tree_node* splaytree_insert(tree_node* t, int key, void* data)
{
    if (t != nullptr) {
        t = splaytree_splay(t, key);
        if (Compare(key, t->key) == 0)
            return t;
    }
    tree_node* n = (tree_node*)malloc(sizeof(tree_node));
    SRV_ASSERT(n);
    n->key = key;
    n->data = data;
    if (t == nullptr) {
        n->left = n->right = nullptr;
    } else if (Compare(key, t->key) < 0) {
        n->left = t->left;
        n->right = t;
        t->left = nullptr;
        t->size = 1 + NodeSize(t->right);
    } else {
        n->right = t->right;
        n->left = t;
        t->right = nullptr;
        t->size = 1 + NodeSize(t->left);
    }
    n->size = 1 + NodeSize(n->left) + NodeSize(n->right);
    return n;
}

tree_node* splaytree_delete(tree_node* t, int key)
{
    if (t == nullptr)
        return nullptr;
    t = splaytree_splay(t, key);
    if (Compare(key, t->key) != 0)
        return t;
    int tsize = t->size;
    tree_node* x;
    if (t->left == nullptr) {
        x = t->right;
    } else {
        x = splaytree_splay(t->left, key);
        x->right = t->right;
    }
    free(t);
    if (x != nullptr)
        x->size = tsize - 1;
    return x;
}

namespace {

stat_cache_entry* EntryInit()
{
    stat_cache_entry* e = (stat_cache_entry*)calloc(1, sizeof(*e));
    SRV_ASSERT(e);
    e->name = buffer_init();
    e->etag = buffer_init();
    e->content_type = buffer_init();
    return e;
}

void EntryFree(stat_cache* sc, stat_cache_entry* e)
{
    if (e == nullptr)
        return;
    stat_cache_drop_window(sc, e);
    buffer_free(e->name);
    buffer_free(e->etag);
    buffer_free(e->content_type);
    free(e);
}

int HashKey(const buffer* b)
{
    uint32_t h = 5381;
    for (size_t i = 0; b->used && i < b->used - 1; ++i)
        h = h * 33 + (unsigned char)b->ptr[i];
    return (int)(h & 0x7fffffffu);
}

// The same file, unchanged: a window mapped from it still shows it.
bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool IsLink(server* srv, const std::string& path)
{
    struct stat lst;
    if (lstat(plat::Path(path).c_str(), &lst) == -1) {
        LOG_ERR(srv, "sss", "lstat failed for:", path.c_str(), strerror(errno));
        return false;
    }
    return S_ISLNK(lst.st_mode);
}

}  // namespace

void stat_cache_drop_window(stat_cache* sc, stat_cache_entry* sce)
{
    if (sce->window == nullptr)
        return;
    file_window_release(sce->window);
    sce->window = nullptr;
    sc->windows--;
}

stat_cache* stat_cache_init(void)
{
    stat_cache* sc = (stat_cache*)calloc(1, sizeof(*sc));
    if (sc == nullptr)
        return nullptr;
    sc->dir_name = buffer_init();
    sc->hash_key = buffer_init();
    return sc;
}

void stat_cache_free(stat_cache* sc)
{
    if (sc == nullptr)
        return;
    while (sc->files) {
        int osize = splaytree_size(sc->files);
        tree_node* node = sc->files;
        EntryFree(sc, (stat_cache_entry*)node->data);
        sc->files = splaytree_delete(sc->files, node->key);
        SRV_ASSERT(osize - 1 == splaytree_size(sc->files));
    }
    buffer_free(sc->dir_name);
    buffer_free(sc->hash_key);
    free(sc);
}

namespace {

// A path that failed is examined again only in the next second, like one that
// exists: every POST names a missing file, and browsers poll. Only while the
// cache is small, so a flood of made-up names cannot grow it.
handler_t RememberFailure(server* srv, stat_cache_entry* sce, int key, buffer* name, int err)
{
    stat_cache* sc = srv->stat_cache;
    if (srv->srvconf.stat_cache_engine == STAT_CACHE_ENGINE_SIMPLE) {
        if (sce == nullptr && splaytree_size(sc->files) < kMaxRememberedNames) {
            sce = EntryInit();
            sc->files = splaytree_insert(sc->files, key, sce);
        }
        if (sce != nullptr) {
            stat_cache_drop_window(sc, sce);
            buffer_copy_string_buffer(sce->name, name);
            buffer_reset(sce->content_type);
            buffer_reset(sce->etag);
            memset(&sce->st, 0, sizeof(sce->st));
            sce->is_symlink = 0;
            sce->stat_ts = srv->cur_ts;
            sce->stat_errno = err;
        }
    }
    errno = err;
    return HANDLER_ERROR;
}

}  // namespace

handler_t stat_cache_get_entry(server* srv, connection* con, buffer* name, stat_cache_entry** ret)
{
    stat_cache* sc = srv->stat_cache;
    *ret = nullptr;
    buffer_copy_string_buffer(sc->hash_key, name);
    buffer_append_long(sc->hash_key, con->conf.follow_symlink);
    int key = HashKey(sc->hash_key);
    sc->files = splaytree_splay(sc->files, key);
    stat_cache_entry* sce = nullptr;
    if (sc->files && sc->files->key == key) {
        sce = (stat_cache_entry*)sc->files->data;
        if (buffer_is_equal(name, sce->name) && srv->srvconf.stat_cache_engine == STAT_CACHE_ENGINE_SIMPLE &&
            sce->stat_ts == srv->cur_ts) {
            if (sce->stat_errno != 0) {
                errno = sce->stat_errno;
                return HANDLER_ERROR;
            }
            *ret = sce;
            return HANDLER_GO_ON;
        }
    }

    std::string path(name->ptr ? name->ptr : "", name->used ? name->used - 1 : 0);
    std::string real = plat::Path(path);
    struct stat st;
    if (stat(real.c_str(), &st) == -1)
        return RememberFailure(srv, sce, key, name, errno);
    if (S_ISREG(st.st_mode)) {
        if (!path.empty() && path.back() == '/')
            return RememberFailure(srv, sce, key, name, ENOTDIR);
        int fd = open(real.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd == -1)
            return RememberFailure(srv, sce, key, name, errno);
        close(fd);
    }
    if (sce == nullptr) {
        sce = EntryInit();
        sc->files = splaytree_insert(sc->files, key, sce);
    } else if (!buffer_is_equal(name, sce->name) || !SameFile(st, sce->st)) {
        stat_cache_drop_window(sc, sce);
    }
    // On a key shared by two names the entry now holds the newer name only.
    buffer_copy_string_buffer(sce->name, name);
    buffer_reset(sce->content_type);
    buffer_reset(sce->etag);
    sce->stat_errno = 0;
    sce->st = st;
    sce->stat_ts = srv->cur_ts;
    sce->is_symlink = 0;
    if (!con->conf.follow_symlink) {
        if (IsLink(srv, path)) {
            sce->is_symlink = 1;
        } else if (path.size() > 1) {
            std::string dir = path;
            for (size_t slash; !sce->is_symlink && (slash = dir.rfind('/')) != std::string::npos && slash > 0;) {
                dir.resize(slash);
                if (IsLink(srv, dir))
                    sce->is_symlink = 1;
            }
        }
    }
    if (S_ISREG(st.st_mode)) {
        array* types = con->conf.mimetypes;
        for (size_t i = 0; types && i < types->used; ++i) {
            data_string* ds = (data_string*)types->data[i];
            size_t klen = ds->key->used ? ds->key->used - 1 : 0;
            if (klen == 0 || klen > path.size())
                continue;
            if (strncasecmp(path.c_str() + path.size() - klen, ds->key->ptr, klen) == 0) {
                buffer_copy_string_buffer(sce->content_type, ds->value);
                break;
            }
        }
    }
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))
        etag_create(sce->etag, &sce->st, con->etag_flags);
    *ret = sce;
    return HANDLER_GO_ON;
}

int stat_cache_trigger_cleanup(server* srv)
{
    stat_cache* sc = srv->stat_cache;
    if (sc == nullptr || sc->files == nullptr)
        return 0;
    std::vector<int> old;
    std::vector<tree_node*> stack{sc->files};
    while (!stack.empty()) {
        tree_node* n = stack.back();
        stack.pop_back();
        if (n == nullptr)
            continue;
        if (srv->cur_ts - ((stat_cache_entry*)n->data)->stat_ts > 2)
            old.push_back(n->key);
        stack.push_back(n->left);
        stack.push_back(n->right);
    }
    for (int key : old) {
        sc->files = splaytree_splay(sc->files, key);
        if (sc->files && sc->files->key == key) {
            EntryFree(sc, (stat_cache_entry*)sc->files->data);
            sc->files = splaytree_delete(sc->files, key);
        }
    }
    return 0;
}
