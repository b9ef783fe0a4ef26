// SPDX-License-Identifier: Apache-2.0
// The configuration store: a tree of typed values under dotted keys, every
// piece of it in the caller's arena. Lookups walk the key text in place, so
// reading never allocates and keeps working when the arena is full.
#include "config/config_store.h"

#include <cstring>

#include "core/alloc.h"
#include "core/status.h"

namespace rk::config {

AllocFn g_alloc = rk_arena_alloc;

namespace {

struct Segment {
    const char *data;
    uint64_t len;
};

// Yields the key's dot-separated segments from the left. Adjacent dots give
// an empty segment; a dot that ends the key ends the list without one, and
// an empty key has no segments at all.
class Segments {
public:
    Segments(const char *data, uint64_t len) : data_(data), len_(len) {}

    bool next(Segment *out) {
        if (pos_ >= len_) return false;
        const char *start = data_ + pos_;
        const void *dot = std::memchr(start, '.', len_ - pos_);
        const uint64_t seg_len =
            dot ? static_cast<uint64_t>(static_cast<const char *>(dot) - start) : len_ - pos_;
        *out = Segment{start, seg_len};
        pos_ += seg_len + (dot ? 1 : 0);
        return true;
    }

private:
    const char *data_;
    uint64_t len_;
    uint64_t pos_ = 0;
};

bool same_name(const Node *node, Segment seg) {
    return node->name_len == seg.len && std::memcmp(node->name, seg.data, seg.len) == 0;
}

Node *child_named(const Node *parent, Segment seg) {
    for (Node *c = parent->child; c; c = c->next) {
        if (same_name(c, seg)) return c;
    }
    return nullptr;
}

// One arena piece holding the node and its NUL-terminated name.
Node *new_node(rk_arena_t *arena, const char *name, uint64_t name_len) {
    size_t bytes;
    if (!add_size(sizeof(Node) + 1, static_cast<size_t>(name_len), &bytes)) return nullptr;
    auto *node = static_cast<Node *>(g_alloc(arena, bytes));
    if (!node) return nullptr;
    char *text = reinterpret_cast<char *>(node + 1);
    if (name_len) std::memcpy(text, name, name_len);
    text[name_len] = '\0';
    *node = Node{};
    node->name = text;
    node->name_len = name_len;
    node->type = RK_CONFIG_INT;
    node->value.i = 0;
    return node;
}

// One arena piece holding a view and the text it points to, so a string
// value is a single pointer in its node and can be handed out as is.
const rk_string_t *new_text(rk_arena_t *arena, const char *text) {
    const size_t len = std::strlen(text);
    size_t bytes;
    if (!add_size(sizeof(rk_string_t) + 1, len, &bytes)) return nullptr;
    auto *view = static_cast<rk_string_t *>(g_alloc(arena, bytes));
    if (!view) return nullptr;
    char *copy = reinterpret_cast<char *>(view + 1);
    std::memcpy(copy, text, len + 1);
    view->data = copy;
    view->len = len;
    return view;
}

const Node *walk(const Node *root, const char *data, uint64_t len) {
    Segments segs(data, len);
    Segment seg;
    const Node *node = root;
    while (node && segs.next(&seg)) node = child_named(node, seg);
    return node;
}

// The node at the key, creating what is missing on the way.
rk_status_t walk_creating(Store *store, const rk_string_t *key, Node **out) {
    Segments segs(key->data, key->len);
    Segment seg;
    Node *node = store->root;
    while (segs.next(&seg)) {
        Node *child = child_named(node, seg);
        if (!child) {
            child = new_node(store->arena, seg.data, seg.len);
            RK_RETURN_IF(!child, RK_ERR_NO_MEMORY);
            child->next = node->child;
            node->child = child;
        }
        node = child;
    }
    *out = node;
    return RK_OK;
}

bool valid_type(int32_t type) { return type >= RK_CONFIG_INT && type <= RK_CONFIG_BOOL; }

}  // namespace

const Node *find(const rk_config_t *config, const rk_string_t *key) {
    if (!config || !key || !key->data) return nullptr;
    return walk(config->store.root, key->data, key->len);
}

const Node *find(const rk_config_t *config, const char *key) {
    if (!config || !key) return nullptr;
    return walk(config->store.root, key, std::strlen(key));
}

const char *source_path(const rk_config_t *config) { return config ? config->store.source_path : nullptr; }

rk_status_t set_source_path(rk_config_t *config, const rk_string_t *path) {
    const rk_string_t *copy = new_text(config->arena, path->data);
    RK_RETURN_IF(!copy, RK_ERR_NO_MEMORY);
    config->store.source_path = copy->data;
    return RK_OK;
}

}  // namespace rk::config

using rk::config::Node;

namespace {

// Typed read: the node at the key when it holds exactly that type.
const Node *typed(const rk_config_t *config, const rk_string_t *key, int32_t type) {
    const Node *node = rk::config::find(config, key);
    return (node && node->type == type) ? node : nullptr;
}

}  // namespace

extern "C" {

RK_API rk_config_t *rk_config_create(rk_arena_t *arena) {
    if (!arena) return nullptr;
    auto *config = static_cast<rk_config_t *>(rk::config::g_alloc(arena, sizeof(rk_config_t)));
    if (!config) return nullptr;
    Node *root = rk::config::new_node(arena, "root", 4);
    if (!root) return nullptr;
    config->arena = arena;
    config->store.arena = arena;
    config->store.root = root;
    config->store.source_path = nullptr;
    return config;
}

RK_API void rk_config_destroy(rk_config_t *config) { (void)config; }

RK_API rk_status_t rk_config_set(rk_config_t *config, const rk_string_t *key, const void *value,
                                 int32_t type) {
    RK_RETURN_IF(!config || !key || !key->data || !value, RK_ERR_INVALID_ARG);
    RK_RETURN_IF(!rk::config::valid_type(type), RK_ERR_INVALID_ARG);
    // The text is copied before the tree is touched: a refused copy must not
    // leave the key typed as a string with no text behind it.
    const rk_string_t *text = nullptr;
    if (type == RK_CONFIG_STRING) {
        text = rk::config::new_text(config->arena, static_cast<const char *>(value));
        RK_RETURN_IF(!text, RK_ERR_NO_MEMORY);
    }
    Node *node = nullptr;
    RK_TRY(rk::config::walk_creating(&config->store, key, &node));
    node->value.i = 0;
    switch (type) {
        case RK_CONFIG_INT:
            std::memcpy(&node->value.i, value, sizeof(int64_t));
            break;
        case RK_CONFIG_FLOAT:
            std::memcpy(&node->value.f, value, sizeof(double));
            break;
        case RK_CONFIG_STRING:
            node->value.s = text;
            break;
        default:
            std::memcpy(&node->value.b, value, sizeof(int32_t));
            break;
    }
    node->type = type;
    return RK_OK;
}

RK_API int64_t rk_config_get_int(const rk_config_t *config, const rk_string_t *key, int64_t def) {
    const Node *node = typed(config, key, RK_CONFIG_INT);
    return node ? node->value.i : def;
}

RK_API double rk_config_get_float(const rk_config_t *config, const rk_string_t *key, double def) {
    const Node *node = typed(config, key, RK_CONFIG_FLOAT);
    return node ? node->value.f : def;
}

RK_API int32_t rk_config_get_bool(const rk_config_t *config, const rk_string_t *key, int32_t def) {
    const Node *node = typed(config, key, RK_CONFIG_BOOL);
    return node ? node->value.b : def;
}

RK_API const rk_string_t *rk_config_get_string(const rk_config_t *config, const rk_string_t *key,
                                               const rk_string_t *def) {
    const Node *node = typed(config, key, RK_CONFIG_STRING);
    return node ? node->value.s : def;
}

RK_API int rk_config_has_key(const rk_config_t *config, const rk_string_t *key) {
    return rk::config::find(config, key) ? 1 : 0;
}

}  // extern "C"
