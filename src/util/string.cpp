// SPDX-License-Identifier: Apache-2.0
// Counted strings: access, comparison, search, copying into caller buffers,
// new strings in arenas, number parsing and raw memory.
#include <cstring>

#include "rk_string.h"
#include "util/text.h"

namespace rk::text {

rk_string_t *new_string(rk_arena_t *arena, uint64_t len, char **data) {
    if (arena == nullptr || len == 0 || len >= SIZE_MAX) return nullptr;
    auto *s = static_cast<rk_string_t *>(rk_arena_calloc(arena, 1, sizeof(rk_string_t)));
    if (s == nullptr) return nullptr;
    // One byte beyond len keeps a NUL after the text, so results can be
    // handed on where a terminated name or path is required.
    auto *bytes = static_cast<char *>(rk_arena_calloc(arena, static_cast<size_t>(len) + 1, 1));
    if (bytes == nullptr) return nullptr;
    s->data = bytes;
    s->len = len;
    *data = bytes;
    return s;
}

}  // namespace rk::text

namespace {

// A counted string as bytes and a length; a null record or null data reads
// as empty, so no function ever dereferences a null pointer.
struct View {
    const unsigned char *p;
    uint64_t n;
};

View view(const rk_string_t *s) {
    if (s == nullptr || s->data == nullptr) return {nullptr, 0};
    return {reinterpret_cast<const unsigned char *>(s->data), s->len};
}

bool is_space(unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); }
unsigned char lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }
unsigned char upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }
unsigned char same(unsigned char c) { return c; }

using Map = unsigned char (*)(unsigned char);

// The first m bytes decide, else the tail rule: the length difference when
// the comparison was cut short by a string's end, 0 when n bytes matched.
int compare(View a, View b, uint64_t n, Map map) {
    const uint64_t shorter = a.n < b.n ? a.n : b.n;
    const uint64_t m = shorter < n ? shorter : n;
    for (uint64_t i = 0; i < m; ++i) {
        const unsigned char x = map(a.p[i]), y = map(b.p[i]);
        if (x != y) return static_cast<int>(x) - static_cast<int>(y);
    }
    if (m == n) return 0;
    return static_cast<int>(static_cast<uint32_t>(a.n - b.n));
}

// Position of sub in s at or after `from`, or RK_STR_NPOS.
uint64_t find(View s, View sub, uint64_t from) {
    if (sub.n == 0) return from <= s.n ? from : RK_STR_NPOS;
    if (s.n < sub.n) return RK_STR_NPOS;
    for (uint64_t i = from; i <= s.n - sub.n; ++i) {
        if (s.p[i] == sub.p[0] && std::memcmp(s.p + i, sub.p, sub.n) == 0) return i;
    }
    return RK_STR_NPOS;
}

char *writable(rk_string_t *s) { return const_cast<char *>(s->data); }

// Writes k bytes of src at dst->data + at and sets the length; refuses
// (leaving dst alone) when there is nowhere to write.
rk_string_t *put_bytes(rk_string_t *dst, View src, uint64_t at, uint64_t k) {
    if (k > 0 && dst->data == nullptr) return dst;
    if (k > 0) std::memmove(writable(dst) + at, src.p, k);
    dst->len = at + k;
    return dst;
}

uint64_t min64(uint64_t a, uint64_t b) { return a < b ? a : b; }

rk_string_t *mapped_copy(rk_arena_t *arena, const rk_string_t *s, Map map) {
    if (s == nullptr || s->data == nullptr) return nullptr;
    const View v = view(s);
    char *data = nullptr;
    rk_string_t *out = rk::text::new_string(arena, v.n, &data);
    if (out == nullptr) return nullptr;
    for (uint64_t i = 0; i < v.n; ++i) data[i] = static_cast<char>(map(v.p[i]));
    return out;
}

rk_string_t *copy_of(rk_arena_t *arena, const unsigned char *p, uint64_t n) {
    char *data = nullptr;
    rk_string_t *out = rk::text::new_string(arena, n, &data);
    if (out != nullptr) std::memcpy(data, p, n);
    return out;
}

// Like copy_of, but an empty piece is a real (empty, terminated) string:
// inner pieces of a split may be empty.
rk_string_t *piece_of(rk_arena_t *arena, const unsigned char *p, uint64_t n) {
    if (n > 0) return copy_of(arena, p, n);
    auto *s = static_cast<rk_string_t *>(rk_arena_calloc(arena, 1, sizeof(rk_string_t)));
    if (s == nullptr) return nullptr;
    char *bytes = static_cast<char *>(rk_arena_calloc(arena, 1, 1));
    if (bytes == nullptr) return nullptr;
    s->data = bytes;
    return s;
}

// The delimiter set: bytes of delims up to its first NUL, within its length.
struct Delims {
    bool set[256] = {};
    explicit Delims(View d) {
        for (uint64_t i = 0; i < d.n && d.p[i] != 0; ++i) set[d.p[i]] = true;
    }
    bool has(unsigned char c) const { return set[c]; }
};

// Number of pieces a split produces (before the max cap).
uint64_t count_pieces(View s, const Delims &d) {
    uint64_t pieces = 0, start = 0;
    for (uint64_t i = 0; i < s.n; ++i) {
        if (d.has(s.p[i])) {
            ++pieces;
            start = i + 1;
        }
    }
    return start < s.n ? pieces + 1 : pieces;
}

int digit_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

uint64_t skip_space(View s, uint64_t i) {
    while (i < s.n && is_space(s.p[i])) ++i;
    return i;
}

// Reads decimal exponent digits; the count saturates because scaling stops
// changing anything long before it would matter.
uint64_t read_exponent(View s, uint64_t &i) {
    uint64_t v = 0;
    while (i < s.n && s.p[i] >= '0' && s.p[i] <= '9') {
        v = v < 1000000 ? v * 10 + (s.p[i] - '0') : v;
        ++i;
    }
    return v;
}

double scale(double sum, uint64_t times, double factor) {
    // Once the value is 0 or infinite, further steps change nothing, so a
    // huge exponent need not spin through every step.
    for (uint64_t k = 0; k < times; ++k) {
        if (sum == 0 || sum - sum != 0) break;
        sum = sum * factor;
    }
    return sum;
}

}  // namespace

extern "C" {

RK_API uint64_t rk_strlen(const rk_string_t *s) { return s ? s->len : 0; }

RK_API const char *rk_str_cstr(const rk_string_t *s) { return s ? s->data : nullptr; }

RK_API uint64_t rk_strnlen(const rk_string_t *s, uint64_t n) { return s ? min64(s->len, n) : 0; }

RK_API int rk_strcmp(const rk_string_t *a, const rk_string_t *b) {
    return compare(view(a), view(b), UINT64_MAX, same);
}

RK_API int rk_strncmp(const rk_string_t *a, const rk_string_t *b, uint64_t n) {
    return compare(view(a), view(b), n, same);
}

RK_API int rk_strcasecmp(const rk_string_t *a, const rk_string_t *b) {
    return compare(view(a), view(b), UINT64_MAX, lower);
}

RK_API int rk_strncasecmp(const rk_string_t *a, const rk_string_t *b, uint64_t n) {
    return compare(view(a), view(b), n, lower);
}

RK_API uint64_t rk_strchr(const rk_string_t *s, int c) {
    const View v = view(s);
    const auto b = static_cast<unsigned char>(c);
    for (uint64_t i = 0; i < v.n; ++i) {
        if (v.p[i] == b) return i;
    }
    return RK_STR_NPOS;
}

RK_API uint64_t rk_strrchr(const rk_string_t *s, int c) {
    const View v = view(s);
    const auto b = static_cast<unsigned char>(c);
    for (uint64_t i = v.n; i-- > 0;) {
        if (v.p[i] == b) return i;
    }
    return RK_STR_NPOS;
}

RK_API uint64_t rk_strstr(const rk_string_t *s, const rk_string_t *sub) {
    if (s == nullptr || sub == nullptr) return RK_STR_NPOS;
    return find(view(s), view(sub), 0);
}

RK_API rk_string_t *rk_strcpy(rk_string_t *dst, const rk_string_t *src) {
    if (dst == nullptr || src == nullptr) return dst;
    const View v = view(src);
    return put_bytes(dst, v, 0, v.n);
}

RK_API rk_string_t *rk_strncpy(rk_string_t *dst, const rk_string_t *src, uint64_t n) {
    if (dst == nullptr || src == nullptr) return dst;
    const View v = view(src);
    return put_bytes(dst, v, 0, min64(v.n, n));
}

RK_API rk_string_t *rk_strlcpy(rk_string_t *dst, const rk_string_t *src, uint64_t cap) {
    if (dst == nullptr || src == nullptr) return dst;
    const View v = view(src);
    return put_bytes(dst, v, 0, min64(v.n, cap));
}

RK_API rk_string_t *rk_strcat(rk_string_t *dst, const rk_string_t *src) {
    if (dst == nullptr || src == nullptr) return dst;
    const View v = view(src);
    return put_bytes(dst, v, dst->len, v.n);
}

RK_API rk_string_t *rk_strncat(rk_string_t *dst, const rk_string_t *src, uint64_t n) {
    if (dst == nullptr || src == nullptr) return dst;
    const View v = view(src);
    return put_bytes(dst, v, dst->len, min64(v.n, n));
}

RK_API rk_string_t *rk_strlcat(rk_string_t *dst, const rk_string_t *src, uint64_t cap) {
    if (dst == nullptr || src == nullptr || dst->len >= cap) return dst;
    const View v = view(src);
    return put_bytes(dst, v, dst->len, min64(v.n, cap - dst->len));
}

RK_API rk_string_t *rk_strdup(rk_arena_t *arena, const rk_string_t *s) {
    if (s == nullptr || s->data == nullptr) return nullptr;
    const View v = view(s);
    return copy_of(arena, v.p, v.n);
}

RK_API rk_string_t *rk_strtolower(rk_arena_t *arena, const rk_string_t *s) {
    return mapped_copy(arena, s, lower);
}

RK_API rk_string_t *rk_strtoupper(rk_arena_t *arena, const rk_string_t *s) {
    return mapped_copy(arena, s, upper);
}

RK_API rk_string_t *rk_strtrim(rk_arena_t *arena, const rk_string_t *s) {
    if (s == nullptr || s->data == nullptr) return nullptr;
    const View v = view(s);
    uint64_t b = 0, e = v.n;
    while (b < e && is_space(v.p[b])) ++b;
    while (e > b && is_space(v.p[e - 1])) --e;
    return copy_of(arena, v.p + b, e - b);
}

RK_API rk_string_t *rk_strreplace(rk_arena_t *arena, const rk_string_t *s, const rk_string_t *from,
                                  const rk_string_t *to) {
    if (!s || !s->data || !from || !from->data || !to || !to->data) return nullptr;
    const View text = view(s), pat = view(from), rep = view(to);
    if (pat.n == 0) return rk_strdup(arena, s);
    uint64_t count = 0;
    for (uint64_t at = find(text, pat, 0); at != RK_STR_NPOS; at = find(text, pat, at + pat.n)) ++count;
    // Each match removes pat.n bytes (count * pat.n <= text.n) and adds rep.n;
    // a total beyond 64 bits is refused like a failed allocation.
    uint64_t added = 0, len = 0;
    if (__builtin_mul_overflow(count, rep.n, &added)) return nullptr;
    if (__builtin_add_overflow(text.n - count * pat.n, added, &len)) return nullptr;
    char *data = nullptr;
    rk_string_t *out = rk::text::new_string(arena, len, &data);
    if (out == nullptr) return nullptr;
    uint64_t src = 0, dst = 0;
    for (uint64_t at = find(text, pat, 0); at != RK_STR_NPOS; at = find(text, pat, at + pat.n)) {
        std::memcpy(data + dst, text.p + src, at - src);
        dst += at - src;
        if (rep.n) std::memcpy(data + dst, rep.p, rep.n);
        dst += rep.n;
        src = at + pat.n;
    }
    if (text.n > src) std::memcpy(data + dst, text.p + src, text.n - src);
    return out;
}

RK_API rk_string_t **rk_strsplitn(rk_arena_t *arena, const rk_string_t *s, const rk_string_t *delims,
                                  uint64_t max) {
    if (!s || !s->data || !delims || !delims->data) return nullptr;
    const View text = view(s);
    const Delims d(view(delims));
    uint64_t pieces = count_pieces(text, d);
    if (max != 0 && pieces > max) pieces = max;
    if (pieces >= SIZE_MAX / sizeof(rk_string_t *)) return nullptr;
    auto **out = static_cast<rk_string_t **>(
        rk_arena_calloc(arena, static_cast<size_t>(pieces) + 1, sizeof(rk_string_t *)));
    if (out == nullptr) return nullptr;
    uint64_t start = 0, made = 0;
    for (uint64_t i = 0; i < text.n && made < pieces; ++i) {
        if (d.has(text.p[i])) {
            out[made++] = piece_of(arena, text.p + start, i - start);
            start = i + 1;
        }
    }
    if (made < pieces) out[made] = copy_of(arena, text.p + start, text.n - start);
    return out;
}

RK_API rk_string_t **rk_strsplit(rk_arena_t *arena, const rk_string_t *s, const rk_string_t *delims) {
    return rk_strsplitn(arena, s, delims, 0);
}

RK_API int64_t rk_strtoll(const rk_string_t *s, uint64_t *end, int base) {
    const View v = view(s);
    uint64_t i = skip_space(v, 0);
    bool negative = false;
    if (i < v.n && (v.p[i] == '+' || v.p[i] == '-')) negative = v.p[i++] == '-';
    if (base == 0) {
        if (i + 1 < v.n && v.p[i] == '0' && (v.p[i + 1] == 'x' || v.p[i + 1] == 'X')) {
            base = 16;
            i += 2;
        } else if (i < v.n && v.p[i] == '0') {
            base = 8;
            ++i;
        } else {
            base = 10;
        }
    }
    // Unsigned arithmetic: the value wraps modulo 2^64 by design, and the
    // negation of 2^63 lands on INT64_MIN.
    uint64_t value = 0;
    for (; i < v.n; ++i) {
        const int d = digit_value(v.p[i]);
        if (d >= base) break;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    if (end != nullptr) *end = i;
    return static_cast<int64_t>(negative ? 0u - value : value);
}

RK_API double rk_strtod(const rk_string_t *s, uint64_t *end) {
    const View v = view(s);
    uint64_t i = skip_space(v, 0);
    double sign = 1.0;
    if (i < v.n && (v.p[i] == '+' || v.p[i] == '-')) sign = v.p[i++] == '-' ? -1.0 : 1.0;
    double sum = 0;
    for (; i < v.n && v.p[i] >= '0' && v.p[i] <= '9'; ++i) sum = sum * 10.0 + (v.p[i] - '0');
    if (i < v.n && v.p[i] == '.') {
        double f = 0.1;
        for (++i; i < v.n && v.p[i] >= '0' && v.p[i] <= '9'; ++i) {
            sum = sum + (v.p[i] - '0') * f;
            f = f * 0.1;
        }
    }
    if (i < v.n && (v.p[i] == 'e' || v.p[i] == 'E')) {
        ++i;
        bool down = false;
        if (i < v.n && (v.p[i] == '+' || v.p[i] == '-')) down = v.p[i++] == '-';
        const uint64_t times = read_exponent(v, i);
        sum = down ? scale(sum, times, 0.1) : scale(sum, times, 10.0);
    }
    if (end != nullptr) *end = i;
    return sign * sum;
}

RK_API void *rk_memcpy(void *dst, const void *src, size_t n) {
    if (dst != nullptr && src != nullptr && n > 0) std::memcpy(dst, src, n);
    return dst;
}

RK_API void *rk_memmove(void *dst, const void *src, size_t n) {
    if (dst != nullptr && src != nullptr && n > 0) std::memmove(dst, src, n);
    return dst;
}

RK_API void *rk_memset(void *dst, int c, size_t n) {
    if (dst != nullptr && n > 0) std::memset(dst, static_cast<unsigned char>(c), n);
    return dst;
}

}  // extern "C"
