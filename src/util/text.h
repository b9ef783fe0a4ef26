// SPDX-License-Identifier: Apache-2.0
// Number-to-text pieces shared by the console printer, the arena string
// formatter and rk_dtostr. Each writes into a "sink": any object with
// put(const char *, size_t), so the same digits come out whether the text
// is being measured, copied into an arena string or sent to the console.
#ifndef RK_UTIL_TEXT_H
#define RK_UTIL_TEXT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "rk_common.h"
#include "rk_memory.h"

namespace rk::text {

// A new arena string of len bytes plus a NUL: the record and the data come
// from the arena; *data receives the writable bytes. Null (nothing usable
// taken) for a null arena, len 0, a len beyond the address space, or a
// failed allocation.
rk_string_t *new_string(rk_arena_t *arena, uint64_t len, char **data);

// Longest decimal text of a 64-bit value with its sign.
inline constexpr size_t kMaxIntText = 21;

// Decimal digits of v, written to the end of buf[0..kMaxIntText); returns the
// first character. Unsigned so the magnitude of INT64_MIN is representable.
inline char *utoa_back(char *end, uint64_t v) {
    char *p = end;
    do {
        *--p = static_cast<char>('0' + v % 10u);
        v /= 10u;
    } while (v != 0);
    return p;
}

// Text of a signed value, '-' included; returns its length.
size_t int_text(char (&buf)[kMaxIntText], int64_t v);

// Hexadecimal digits of v (at least min_digits, zero-filled); returns length.
size_t hex_text(char (&buf)[kMaxIntText], uint64_t v, bool upper, size_t min_digits);

// Exact decimal digits of a finite double of at least 2^63 (such values are
// integers); buf must hold kMaxBigText bytes. Returns the length.
inline constexpr size_t kMaxBigText = 320;
size_t big_integer_text(char *buf, double a);

// Fixed-point text of x: '-' only when x < 0, the integer part, then (when
// `point`) a '.', and `digits` fraction digits made by repeated *10 and
// truncation, never rounded. NaN and infinities give "nan", "inf", "-inf"
// with no fraction at all.
template <class Sink>
void put_fixed(Sink &sink, double x, uint64_t digits, bool point) {
    if (x != x) {
        sink.put("nan", 3);
        return;
    }
    const bool negative = x < 0;
    const double a = negative ? -x : x;
    if (negative) sink.put("-", 1);
    if (a > 1.7976931348623157e308) {
        sink.put("inf", 3);
        return;
    }
    double r = 0;
    // 2^63: below it the integer part fits a signed 64-bit value.
    if (a < 9223372036854775808.0) {
        const int64_t ip = static_cast<int64_t>(a);
        char buf[kMaxIntText];
        const size_t n = int_text(buf, ip);
        sink.put(buf, n);
        r = a - static_cast<double>(ip);
    } else {
        char buf[kMaxBigText];
        sink.put(buf, big_integer_text(buf, a));
    }
    if (point) sink.put(".", 1);
    char chunk[64];
    size_t used = 0;
    for (uint64_t i = 0; i < digits; ++i) {
        r = r * 10.0;
        int d = static_cast<int>(r);
        if (d > 9) d = 9;  // r stays below 1, so r*10 stays below 10; belt and braces
        r = r - d;
        chunk[used++] = static_cast<char>('0' + d);
        if (used == sizeof chunk) {
            sink.put(chunk, used);
            used = 0;
        }
    }
    if (used) sink.put(chunk, used);
}

// Counts the characters a formatter produces; saturates instead of wrapping.
struct CountSink {
    uint64_t n = 0;
    void put(const char *, size_t k) { n = (n + k < n) ? UINT64_MAX : n + k; }
};

// Copies into a buffer of fixed capacity, dropping whatever does not fit.
struct BufferSink {
    char *out;
    size_t cap;
    size_t used = 0;
    void put(const char *p, size_t k) {
        const size_t room = cap - used;
        const size_t take = k < room ? k : room;
        std::memcpy(out + used, p, take);
        used += take;
    }
};

}  // namespace rk::text

#endif
