// SPDX-License-Identifier: Apache-2.0
// The canonical text of a parsed filter tree: and/or groups parenthesised,
// text quoted with escapes, numbers as %.17g, so that the text parses back
// to the same tree.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "collection/filter_tree.h"

namespace rk::coll {
namespace {

constexpr const char *kOpNames[] = {"==", "!=", ">", ">=", "<", "<="};

// Writes what fits into buf (always NUL-terminated when size > 0) and
// counts every byte the whole text needs.
class Writer {
public:
    Writer(char *buf, uint64_t size) : buf_(buf), size_(size) {}
    void put(const char *s, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (len_ + 1 < size_) buf_[len_] = s[i];
            ++len_;
        }
    }
    void put(const char *s) { put(s, std::strlen(s)); }
    void put(char c) { put(&c, 1); }
    void finish() {
        if (size_ == 0) return;
        buf_[len_ < size_ ? len_ : size_ - 1] = '\0';
    }
    uint64_t length() const { return len_; }

private:
    char *buf_;
    uint64_t size_;
    uint64_t len_ = 0;
};

void value(const FilterNode *n, Writer &w) {
    char num[40];
    const rk_meta_value_t &v = n->node.value;
    switch (n->value_type) {
        case RK_META_INT32:
            std::snprintf(num, sizeof num, "%" PRId32, v.i32);
            break;
        case RK_META_INT64:
            std::snprintf(num, sizeof num, "%" PRId64, v.i64);
            break;
        case RK_META_FLOAT:
            std::snprintf(num, sizeof num, "%.17g", double(v.f32));
            break;
        case RK_META_BOOL:
            w.put(v.b ? "true" : "false");
            return;
        case RK_META_STRING:
            w.put('"');
            for (uint64_t i = 0; i < v.str.len; ++i) {
                const char c = v.str.data[i];
                if (c == '\n')
                    w.put("\\n");
                else if (c == '\t')
                    w.put("\\t");
                else {
                    if (c == '"' || c == '\\') w.put('\\');
                    w.put(c);
                }
            }
            w.put('"');
            return;
        default:
            std::snprintf(num, sizeof num, "%.17g", v.f64);
            break;
    }
    w.put(num);
}

// Parentheses only where the tree needs them (a chain under NOT, a chain
// under one of its own kind, OR under AND), never around the whole text: the
// canonical text then nests no deeper than any text that parses to the same
// tree, so it always parses back within the parser's nesting limit.
// Depth is bounded by that limit.
void print(const FilterNode *n, Writer &w, int32_t parent) {
    const rk_filter_t &f = n->node;
    if (f.kind == RK_FILTER_AND || f.kind == RK_FILTER_OR) {
        const bool wrap = parent == RK_FILTER_NOT || parent == f.kind ||
                          (parent == RK_FILTER_AND && f.kind == RK_FILTER_OR);
        if (wrap) w.put('(');
        for (uint64_t i = 0; i < f.child_count; ++i) {
            if (i) w.put(f.kind == RK_FILTER_AND ? " and " : " or ");
            print(reinterpret_cast<const FilterNode *>(f.children[i]), w, f.kind);
        }
        if (wrap) w.put(')');
        return;
    }
    if (f.kind == RK_FILTER_NOT) {
        w.put("not ");
        print(reinterpret_cast<const FilterNode *>(f.children[0]), w, f.kind);
        return;
    }
    w.put(f.key);
    w.put(' ');
    w.put(kOpNames[f.op]);
    w.put(' ');
    value(n, w);
}

}  // namespace
}  // namespace rk::coll

RK_API rk_status_t rk_filter_format(const rk_filter_t *filter, char *buf, uint64_t size, uint64_t *out_length) {
    const rk::coll::ParsedFilter *h = rk::coll::parsed_of(filter);
    if (!h || (!buf && size)) return RK_ERR_INVALID_ARG;
    rk::coll::Writer w(buf, size);
    rk::coll::print(&h->root, w, -1);
    w.finish();
    if (out_length) *out_length = w.length();
    return w.length() < size ? RK_OK : RK_ERR_BUFFER_TOO_SMALL;
}
