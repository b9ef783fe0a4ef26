// SPDX-License-Identifier: Apache-2.0
// Filter expressions such as  category == "shoes" and price < 50  parsed
// into a filter tree that lives in an arena of its own.
//
//   expr  := term { ("or" | "||") term }
//   term  := unary { ("and" | "&&") unary }
//   unary := ("not" | "!") unary | "(" expr ")" | key op value
//   op    := "==" | "=" | "!=" | "<" | "<=" | ">" | ">="
//   value := "text" | 'text' | number | true | false
//
// Keywords are case-insensitive. The matcher reads a condition's value in
// the form of the record's entry, so each value is stored in the form the
// collection's records give its key (a whole number for integer keys, and so
// on); keys no record has are refused, and without any metadata to go by
// numbers become 64-bit floats.
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "collection/filter_tree.h"
#include "collection/internal.h"
#include "core/alloc.h"
#include "rk_hash.h"

namespace rk::coll {
namespace {

constexpr size_t kMaxLength = 1 << 16;
constexpr int kMaxDepth = 64;
// Distinct keys remembered from the records; past this many the schema is
// left open (unknown keys are typed by their literal).
constexpr size_t kMaxSchemaKeys = 4096;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool same_ci(const char *a, size_t an, const char *b, size_t bn) {
    if (an != bn) return false;
    for (size_t i = 0; i < an; ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// Keys and entry types found in a collection's records (first type seen wins).
class Schema {
public:
    Schema() = default;
    ~Schema() { rk_free(keys_); }
    Schema(const Schema &) = delete;
    Schema &operator=(const Schema &) = delete;

    // False only when memory runs out.
    [[nodiscard]] bool collect(const rk_collection_t *c) {
        for (uint64_t r = 0; r < c->count && !open_; ++r) {
            const rk_record_t &rec = c->records[r];
            for (uint64_t e = 0; e < rec.metadata_count && !open_; ++e) {
                const rk_meta_entry_t &m = rec.metadata[e];
                const char *k = m.key.data ? m.key.data : "";
                if (find(k, m.key.len)) continue;
                if (count_ == kMaxSchemaKeys) {
                    open_ = true;
                    break;
                }
                if (count_ == cap_ && !grow()) return false;
                keys_[count_++] = Key{k, m.key.len, m.type};
            }
        }
        return true;
    }
    bool empty() const { return count_ == 0 && !open_; }
    bool open() const { return open_; }
    // The entry type of key, or null when no record has it.
    const int32_t *find(const char *k, size_t n) const {
        for (size_t i = 0; i < count_; ++i)
            if (same_ci(keys_[i].text, keys_[i].len, k, n)) return &keys_[i].type;
        return nullptr;
    }

private:
    struct Key {
        const char *text;
        size_t len;
        int32_t type;
    };
    bool grow() {
        const size_t cap = cap_ ? cap_ * 2 : 16;
        size_t bytes = 0;
        if (!mul_size(cap, sizeof(Key), &bytes)) return false;
        void *p = rk_realloc(keys_, bytes);
        if (!p) return false;
        keys_ = static_cast<Key *>(p);
        cap_ = cap;
        return true;
    }
    Key *keys_ = nullptr;
    size_t count_ = 0, cap_ = 0;
    bool open_ = false;
};

enum class Tok { end, ident, text, number, op, lparen, rparen, and_, or_, not_, true_, false_ };

struct Token {
    Tok kind = Tok::end;
    size_t column = 0;       // 0-based offset of the token's first character
    const char *raw = "";    // the token as written
    size_t raw_len = 0;
    const char *str = "";    // text literal after escapes (arena)
    size_t str_len = 0;
    double number = 0;
    int32_t op = 0;
};

bool ident_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool ident_char(char c) { return ident_start(c) || (c >= '0' && c <= '9') || c == '.' || c == '-'; }

struct OpText {
    const char *text;
    size_t len;
    int32_t op;
};
// Longest spellings first so "<=" wins over "<".
constexpr OpText kOps[] = {{"==", 2, RK_FILTER_EQ}, {"!=", 2, RK_FILTER_NE}, {"<=", 2, RK_FILTER_LE},
                           {">=", 2, RK_FILTER_GE}, {"<", 1, RK_FILTER_LT},  {">", 1, RK_FILTER_GT},
                           {"=", 1, RK_FILTER_EQ}};

struct Keyword {
    const char *text;
    Tok kind;
};
constexpr Keyword kKeywords[] = {
    {"and", Tok::and_}, {"or", Tok::or_}, {"not", Tok::not_}, {"true", Tok::true_}, {"false", Tok::false_}};

enum class Literal { number, text, boolean };

const char *literal_name(Literal l) {
    return l == Literal::number ? "a number" : l == Literal::text ? "text" : "a boolean";
}

Literal literal_of(int32_t meta_type) {
    if (meta_type == RK_META_STRING) return Literal::text;
    if (meta_type == RK_META_BOOL) return Literal::boolean;
    return Literal::number;
}

// Longest piece of a token quoted in a message.
constexpr int kQuote = 40;
int quoted_len(size_t n) { return n > size_t(kQuote) ? kQuote : int(n); }

// What a failing step returns: false to a predicate, null to a node maker.
struct Fault {
    operator bool() const { return false; }
    template <class T>
    operator T *() const {
        return nullptr;
    }
};

// One parse. Every method that can fail returns null / false after recording
// the first fault; later faults never overwrite it.
class Parser {
public:
    Parser(const char *s, size_t n, const Schema &schema, rk_arena_t *arena, rk_filter_error_t *err)
        : s_(s), n_(n), schema_(schema), arena_(arena), err_(err) {}

    rk_status_t status() const { return status_; }

    // The root node, or null after a fault.
    FilterNode *run() {
        if (!advance()) return nullptr;
        if (tok_.kind == Tok::end) return fail(0, "empty expression");
        FilterNode *root = expr(0);
        if (!root) return nullptr;
        if (tok_.kind != Tok::end) return fail(tok_.column, "unexpected '%.*s' after the expression", dlen(), dtext());
        return root;
    }

private:
    // ---- faults ----
    // The format is checked against its arguments at every call (the
    // implicit this is argument 1).
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    Fault fail(size_t column, const char *fmt, ...) {
        if (status_ == RK_OK) {
            status_ = RK_ERR_INVALID_ARG;
            if (err_) {
                err_->column = column + 1;
                va_list ap;
                va_start(ap, fmt);
                std::vsnprintf(err_->message, sizeof err_->message, fmt, ap);
                va_end(ap);
            }
        }
        return {};
    }
    Fault no_memory() {
        if (status_ == RK_OK) {
            status_ = RK_ERR_NO_MEMORY;
            if (err_) {
                err_->column = 0;
                std::snprintf(err_->message, sizeof err_->message, "out of memory");
            }
        }
        return {};
    }

    // The current token as a message names it.
    const char *dtext() const {
        switch (tok_.kind) {
            case Tok::end:
                return "end of expression";
            default:
                return tok_.raw;
        }
    }
    int dlen() const { return tok_.kind == Tok::end ? int(std::strlen(dtext())) : quoted_len(tok_.raw_len); }

    // ---- lexing ----
    bool advance() {
        while (i_ < n_ && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
        tok_ = Token{};
        tok_.column = i_;
        tok_.raw = s_ + i_;
        if (i_ >= n_) return true;
        const char c = s_[i_];
        const size_t rest = n_ - i_;
        auto take = [&](Tok k, size_t len) {
            tok_.kind = k;
            tok_.raw_len = len;
            i_ += len;
            return true;
        };
        if (c == '(') return take(Tok::lparen, 1);
        if (c == ')') return take(Tok::rparen, 1);
        if (rest >= 2 && c == '&' && s_[i_ + 1] == '&') return take(Tok::and_, 2);
        if (rest >= 2 && c == '|' && s_[i_ + 1] == '|') return take(Tok::or_, 2);
        for (const OpText &o : kOps)
            if (rest >= o.len && std::memcmp(s_ + i_, o.text, o.len) == 0) {
                tok_.op = o.op;
                return take(Tok::op, o.len);
            }
        if (c == '!') return take(Tok::not_, 1);
        if (c == '"' || c == '\'') return quoted(c);
        if ((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.') return number();
        if (ident_start(c)) {
            size_t j = i_;
            while (j < n_ && ident_char(s_[j])) ++j;
            take(Tok::ident, j - i_);
            for (const Keyword &k : kKeywords)
                if (same_ci(tok_.raw, tok_.raw_len, k.text, std::strlen(k.text))) tok_.kind = k.kind;
            return true;
        }
        if (c >= 0x21 && c < 0x7f) return fail(i_, "unexpected character '%c'", c);
        return fail(i_, "unexpected character (byte 0x%02x)", unsigned(static_cast<unsigned char>(c)));
    }

    bool quoted(char q) {
        const size_t start = i_++;
        // Escapes only shorten the text, so the raw length bounds it.
        char *out = static_cast<char *>(rk_arena_alloc(arena_, n_ - start + 1));
        if (!out) return no_memory();
        size_t len = 0;
        for (;;) {
            if (i_ >= n_) return fail(start, "unterminated string");
            char c = s_[i_++];
            if (c == q) break;
            if (c == '\\') {
                if (i_ >= n_) return fail(start, "unterminated string");
                c = s_[i_++];
                if (c == 'n')
                    c = '\n';
                else if (c == 't')
                    c = '\t';
                else if (c != '\\' && c != '"' && c != '\'')
                    return fail(i_ - 2, "unknown escape in string");
            }
            out[len++] = c;
        }
        out[len] = '\0';
        tok_.kind = Tok::text;
        tok_.raw_len = i_ - start;
        tok_.str = out;
        tok_.str_len = len;
        return true;
    }

    bool number() {
        const size_t start = i_;
        while (i_ < n_ && (ident_char(s_[i_]) || s_[i_] == '+' || s_[i_] == '-')) ++i_;
        tok_.raw_len = i_ - start;
        const char *p = s_ + start, *e = s_ + i_;
        if (p < e && *p == '+') ++p;
        const auto r = std::from_chars(p, e, tok_.number);
        if (p == e || r.ec != std::errc() || r.ptr != e || !std::isfinite(tok_.number))
            return fail(start, "'%.*s' is not a number", quoted_len(tok_.raw_len), tok_.raw);
        tok_.kind = Tok::number;
        return true;
    }

    // ---- nodes ----
    FilterNode *node(int32_t kind) {
        auto *n = arena_array<FilterNode>(arena_, 1);
        if (!n) return no_memory();
        n->node.kind = kind;
        return n;
    }

    // One level of "a OP b OP c" flattened into a single node.
    FilterNode *chain(int depth, Tok joiner, int32_t kind) {
        FilterNode *first = kind == RK_FILTER_OR ? chain(depth, Tok::and_, RK_FILTER_AND) : unary(depth);
        if (!first || tok_.kind != joiner) return first;
        size_t count = 1, cap = 4;
        rk_filter_t **kids = arena_array<rk_filter_t *>(arena_, cap);
        if (!kids) return no_memory();
        kids[0] = &first->node;
        while (tok_.kind == joiner) {
            if (!advance()) return nullptr;
            FilterNode *next = kind == RK_FILTER_OR ? chain(depth, Tok::and_, RK_FILTER_AND) : unary(depth);
            if (!next) return nullptr;
            if (count == cap) {
                // The old array stays in the arena; the waste is bounded by the final size.
                rk_filter_t **bigger = arena_array<rk_filter_t *>(arena_, cap * 2);
                if (!bigger) return no_memory();
                std::memcpy(bigger, kids, count * sizeof *kids);
                kids = bigger;
                cap *= 2;
            }
            kids[count++] = &next->node;
        }
        FilterNode *n = node(kind);
        if (!n) return nullptr;
        n->node.children = kids;
        n->node.child_count = count;
        return n;
    }

    FilterNode *expr(int depth) {
        if (depth > kMaxDepth) return fail(tok_.column, "expression is nested too deeply");
        return chain(depth, Tok::or_, RK_FILTER_OR);
    }

    FilterNode *unary(int depth) {
        if (depth > kMaxDepth) return fail(tok_.column, "expression is nested too deeply");
        if (tok_.kind == Tok::not_) {
            if (!advance()) return nullptr;
            FilterNode *child = unary(depth + 1);
            if (!child) return nullptr;
            rk_filter_t **kids = arena_array<rk_filter_t *>(arena_, 1);
            if (!kids) return no_memory();
            FilterNode *n = node(RK_FILTER_NOT);
            if (!n) return nullptr;
            kids[0] = &child->node;
            n->node.children = kids;
            n->node.child_count = 1;
            return n;
        }
        if (tok_.kind == Tok::lparen) {
            if (!advance()) return nullptr;
            FilterNode *inner = expr(depth + 1);
            if (!inner) return nullptr;
            if (tok_.kind != Tok::rparen) return fail(tok_.column, "expected ')' but found '%.*s'", dlen(), dtext());
            if (!advance()) return nullptr;
            return inner;
        }
        return condition();
    }

    FilterNode *condition() {
        if (tok_.kind != Tok::ident)
            return fail(tok_.column, "expected a metadata key but found '%.*s'", dlen(), dtext());
        const Token key = tok_;
        const int32_t *known = schema_.find(key.raw, key.raw_len);
        if (!known && !schema_.empty() && !schema_.open())
            return fail(key.column, "unknown metadata key '%.*s'", quoted_len(key.raw_len), key.raw);
        if (!advance()) return nullptr;
        if (tok_.kind != Tok::op)
            return fail(tok_.column, "expected a comparison (==, !=, <, <=, >, >=) after '%.*s'",
                        quoted_len(key.raw_len), key.raw);
        const Token op = tok_;
        if (!advance()) return nullptr;
        Literal lit;
        if (tok_.kind == Tok::number)
            lit = Literal::number;
        else if (tok_.kind == Tok::text)
            lit = Literal::text;
        else if (tok_.kind == Tok::true_ || tok_.kind == Tok::false_)
            lit = Literal::boolean;
        else
            return fail(tok_.column, "expected a value (number, \"text\", true or false) after '%.*s'",
                        int(op.raw_len), op.raw);
        const int32_t type = known                   ? *known
                             : lit == Literal::number ? RK_META_DOUBLE
                             : lit == Literal::text   ? RK_META_STRING
                                                      : RK_META_BOOL;
        if (literal_of(type) != lit)
            return fail(tok_.column, "'%.*s' holds %s, not %s", quoted_len(key.raw_len), key.raw,
                        literal_name(literal_of(type)), literal_name(lit));
        if (lit != Literal::number && op.op != RK_FILTER_EQ && op.op != RK_FILTER_NE)
            return fail(tok_.column, "%s only compares with == and !=", literal_name(lit));
        FilterNode *n = node(RK_FILTER_CONDITION);
        char *k = n ? static_cast<char *>(rk_arena_alloc(arena_, key.raw_len + 1)) : nullptr;
        if (!k) return no_memory();
        std::memcpy(k, key.raw, key.raw_len);
        k[key.raw_len] = '\0';
        n->node.key = k;
        n->node.op = op.op;
        n->value_type = type;
        if (!store(n, key)) return nullptr;
        if (!advance()) return nullptr;
        return n;
    }

    // The value in the form of the key's entry type.
    bool store(FilterNode *n, const Token &key) {
        const double x = tok_.number;
        rk_meta_value_t &v = n->node.value;
        switch (n->value_type) {
            case RK_META_INT32:
            case RK_META_INT64: {
                const double lim = n->value_type == RK_META_INT32 ? 2147483648.0 : 9223372036854775808.0;
                if (!(x >= -lim && x < lim) || x != double(int64_t(x)))
                    return fail(tok_.column, "'%.*s' is not a whole number in the range of '%.*s'",
                                quoted_len(tok_.raw_len), tok_.raw, quoted_len(key.raw_len), key.raw);
                if (n->value_type == RK_META_INT32)
                    v.i32 = int32_t(x);
                else
                    v.i64 = int64_t(x);
                return true;
            }
            case RK_META_FLOAT:
                v.f32 = float(x);
                return true;
            case RK_META_STRING:
                v.str = rk_string_t{tok_.str, tok_.str_len};
                return true;
            case RK_META_BOOL:
                v.b = tok_.kind == Tok::true_ ? 1 : 0;
                return true;
            default:
                // Entries of other types match every condition; a 64-bit float is as good as any.
                n->value_type = RK_META_DOUBLE;
                v.f64 = x;
                return true;
        }
    }

    const char *s_;
    size_t n_;
    size_t i_ = 0;
    const Schema &schema_;
    rk_arena_t *arena_;
    rk_filter_error_t *err_;
    Token tok_;
    rk_status_t status_ = RK_OK;
};

rk_status_t refuse(rk_filter_error_t *err, rk_status_t st, uint64_t column, const char *msg) {
    if (err) {
        err->column = column;
        std::snprintf(err->message, sizeof err->message, "%s", msg);
    }
    return st;
}

// Hash of what a parsed tree matches, node by node in order; the root's
// mark is not part of it. Parsed trees nest no deeper than the parser's
// limit, so the recursion is bounded.
uint64_t fingerprint(const FilterNode *n, uint64_t h) {
    const rk_filter_t &f = n->node;
    const int64_t head[3] = {f.kind, is_group(f.kind) ? int64_t(f.child_count) : f.op,
                             is_group(f.kind) ? 0 : n->value_type};
    h = rk_hash_murmur3_64(head, sizeof head, h);
    if (is_group(f.kind)) {
        for (uint64_t i = 0; i < f.child_count; ++i)
            h = fingerprint(reinterpret_cast<const FilterNode *>(f.children[i]), h);
        return h;
    }
    h = rk_hash_murmur3_64(f.key, std::strlen(f.key) + 1, h);
    switch (n->value_type) {
        case RK_META_STRING:
            h = rk_hash_murmur3_64(&f.value.str.len, sizeof f.value.str.len, h);
            return f.value.str.len ? rk_hash_murmur3_64(f.value.str.data, f.value.str.len, h) : h;
        case RK_META_INT64:
        case RK_META_DOUBLE:
            return rk_hash_murmur3_64(&f.value.i64, sizeof f.value.i64, h);
        default:
            return rk_hash_murmur3_64(&f.value.i32, sizeof f.value.i32, h);
    }
}

}  // namespace

}  // namespace rk::coll

using rk::coll::FilterNode;
using rk::coll::ParsedFilter;

RK_API rk_status_t rk_filter_parse(rk_collection_t *collection, const char *text, uint64_t length,
                                   rk_filter_t **out, rk_filter_error_t *error) {
    if (error) *error = rk_filter_error_t{};
    if (!out) return rk::coll::refuse(error, RK_ERR_INVALID_ARG, 0, "no place for the tree");
    *out = nullptr;
    if (!text && length) return rk::coll::refuse(error, RK_ERR_INVALID_ARG, 0, "no expression text");
    if (length > rk::coll::kMaxLength)
        return rk::coll::refuse(error, RK_ERR_TOO_LARGE, 0, "expression is too long (64 KiB at most)");
    rk_arena_t *arena = nullptr;
    if (rk_arena_create(64 * 1024, &arena) != RK_OK)
        return rk::coll::refuse(error, RK_ERR_NO_MEMORY, 0, "out of memory");
    auto *holder = rk::arena_array<ParsedFilter>(arena, 1);
    if (!holder) {
        rk_arena_destroy(arena);
        return rk::coll::refuse(error, RK_ERR_NO_MEMORY, 0, "out of memory");
    }
    holder->magic = ParsedFilter::kMagic;
    holder->arena = arena;

    rk::coll::Schema schema;
    FilterNode *root = nullptr;
    rk_status_t st = RK_OK;
    {
        // The schema's keys point into the records: hold the read lock until
        // the parse has copied what it needs.
        if (collection) rk_rwlock_rdlock(collection->lock);
        if (collection && !schema.collect(collection)) {
            st = rk::coll::refuse(error, RK_ERR_NO_MEMORY, 0, "out of memory");
        } else {
            rk::coll::Parser p(text ? text : "", size_t(length), schema, arena, error);
            root = p.run();
            st = p.status();
        }
        if (collection) rk_rwlock_rdunlock(collection->lock);
    }
    if (!root) {
        rk_arena_destroy(arena);
        return st == RK_OK ? RK_ERR_UNKNOWN : st;
    }
    // No node points at the root, so it can move into the holder, where
    // rk_filter_free finds the arena from the root's address.
    holder->root = *root;
    rk::coll::set_mark(&holder->root.node);
    holder->fingerprint = rk::coll::fingerprint(&holder->root, 0);
    *out = &holder->root.node;
    return RK_OK;
}

RK_API void rk_filter_free(rk_filter_t *filter) {
    ParsedFilter *holder = rk::coll::parsed_of(filter);
    if (holder) rk_arena_destroy(holder->arena);
}
