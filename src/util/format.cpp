// SPDX-License-Identifier: Apache-2.0
// Formatted output: the console printer, buffer formatting through the C
// runtime, the arena string formatter and the number-to-text functions.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "rk_string.h"
#include "util/text.h"

namespace rk::text {

size_t int_text(char (&buf)[kMaxIntText], int64_t v) {
    // Negate in unsigned arithmetic: -INT64_MIN does not fit an int64_t.
    const uint64_t mag = v < 0 ? 0u - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    char *p = utoa_back(buf + kMaxIntText, mag);
    if (v < 0) *--p = '-';
    const size_t n = static_cast<size_t>(buf + kMaxIntText - p);
    std::memmove(buf, p, n);
    return n;
}

size_t hex_text(char (&buf)[kMaxIntText], uint64_t v, bool upper, size_t min_digits) {
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char *end = buf + kMaxIntText;
    char *p = end;
    do {
        *--p = digits[v & 15u];
        v >>= 4;
    } while (v != 0);
    while (static_cast<size_t>(end - p) < min_digits && p > buf) *--p = '0';
    const size_t n = static_cast<size_t>(end - p);
    std::memmove(buf, p, n);
    return n;
}

size_t big_integer_text(char *buf, double a) {
    // a = m * 2^shift with a 53-bit m and shift >= 11 (a >= 2^63). Build the
    // value in base-1e9 limbs by doubling m shift times, 29 doublings at a
    // time (a limb below 1e9 times 2^29 still fits 64 bits).
    uint64_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    const int exponent = static_cast<int>((bits >> 52) & 0x7ffu);
    const uint64_t m = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    int shift = exponent - 1075;
    constexpr uint32_t kBase = 1000000000u;
    uint32_t limbs[40];  // 2^1024 has 309 digits: 35 limbs
    size_t n = 0;
    for (uint64_t v = m; v != 0; v /= kBase) limbs[n++] = static_cast<uint32_t>(v % kBase);
    while (shift > 0) {
        const int k = shift < 29 ? shift : 29;
        uint64_t carry = 0;
        for (size_t i = 0; i < n; ++i) {
            const uint64_t t = (static_cast<uint64_t>(limbs[i]) << k) + carry;
            limbs[i] = static_cast<uint32_t>(t % kBase);
            carry = t / kBase;
        }
        while (carry != 0) {
            limbs[n++] = static_cast<uint32_t>(carry % kBase);
            carry /= kBase;
        }
        shift -= k;
    }
    char *p = buf;
    char tmp[kMaxIntText];
    const size_t top = static_cast<size_t>(tmp + kMaxIntText - utoa_back(tmp + kMaxIntText, limbs[n - 1]));
    std::memcpy(p, tmp + kMaxIntText - top, top);
    p += top;
    for (size_t i = n - 1; i-- > 0;) {
        uint32_t v = limbs[i];
        for (int d = 8; d >= 0; --d) {
            p[d] = static_cast<char>('0' + v % 10u);
            v /= 10u;
        }
        p += 9;
    }
    return static_cast<size_t>(p - buf);
}

}  // namespace rk::text

namespace {

using rk::os::ConsoleStream;
using rk::text::kMaxIntText;

// Collects the console printer's output in a small scratch area and writes it
// whenever the area fills and when the call ends; longer pieces go out in
// several writes. Nothing is held once rk_vprintf returns.
class ConsoleWriter {
public:
    void put(const char *p, size_t n) {
        count_ += n;
        while (n > 0) {
            if (used_ == sizeof buf_) flush();
            const size_t room = sizeof buf_ - used_;
            const size_t take = n < room ? n : room;
            std::memcpy(buf_ + used_, p, take);
            used_ += take;
            p += take;
            n -= take;
        }
    }
    void pad(char c, uint64_t n) {
        char fill[64];
        std::memset(fill, c, sizeof fill);
        while (n > 0) {
            const size_t take = n < sizeof fill ? static_cast<size_t>(n) : sizeof fill;
            put(fill, take);
            n -= take;
        }
    }
    void flush() {
        if (used_ != 0) rk::os::console_write(ConsoleStream::out, buf_, used_);
        used_ = 0;
    }
    int result() const { return count_ > INT_MAX ? INT_MAX : static_cast<int>(count_); }

private:
    char buf_[256];
    size_t used_ = 0;
    uint64_t count_ = 0;
};

// One parsed conversion of the console printer.
struct Spec {
    uint64_t width = 0;
    uint64_t precision = 0;
    bool has_precision = false;
    char conv = 0;
};

// Decimal digits at *p, saturating rather than wrapping on absurd lengths.
uint64_t read_number(const char *&p) {
    uint64_t v = 0;
    while (*p >= '0' && *p <= '9') {
        const uint64_t d = static_cast<uint64_t>(*p++ - '0');
        v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
    }
    return v;
}

// Parses the part after '%'. False when the format ends inside it; a
// dropped conversion comes back with conv 0.
bool parse_spec(const char *&p, Spec &spec) {
    if (*p == '0') ++p;
    spec.width = read_number(p);
    if (*p == '.') {
        ++p;
        spec.has_precision = true;
        spec.precision = read_number(p);
    }
    if (*p == 'l') {
        ++p;
        if (*p == 'l') ++p;
    }
    if (*p == '\0') return false;
    spec.conv = *p++;
    if (spec.conv == 'z') {
        if (*p == '\0') return false;
        const char next = *p++;
        spec.conv = (next == 'd' || next == 'i' || next == 'u') ? next : 0;
    }
    return true;
}

void put_padded(ConsoleWriter &w, const char *text, size_t n, uint64_t width, char fill) {
    if (width > n) w.pad(fill, width - n);
    w.put(text, n);
}

void put_text(ConsoleWriter &w, const char *s, const Spec &spec) {
    if (s == nullptr) s = "(null)";
    size_t n = 0;
    // With a precision the text need not be terminated within it: never look further.
    while ((!spec.has_precision || n < spec.precision) && s[n] != '\0') ++n;
    w.put(s, n);
}

void convert(ConsoleWriter &w, const Spec &spec, va_list &args) {
    char buf[kMaxIntText];
    switch (spec.conv) {
        case 'd':
        case 'i':
            put_padded(w, buf, rk::text::int_text(buf, va_arg(args, int64_t)), spec.width, ' ');
            break;
        case 'u': {
            const char *p = rk::text::utoa_back(buf + kMaxIntText, va_arg(args, uint64_t));
            put_padded(w, p, static_cast<size_t>(buf + kMaxIntText - p), spec.width, '0');
            break;
        }
        case 'x':
        case 'X':
            put_padded(w, buf, rk::text::hex_text(buf, va_arg(args, uint64_t), spec.conv == 'X', 1),
                       spec.width, '0');
            break;
        case 'p':
            w.put(buf, rk::text::hex_text(buf, va_arg(args, uint64_t), false, 16));
            break;
        case 'c': {
            const char c = static_cast<char>(va_arg(args, int));
            w.put(&c, 1);
            break;
        }
        case 's':
            put_text(w, va_arg(args, const char *), spec);
            break;
        case 'f':
        case 'F':
            rk::text::put_fixed(w, va_arg(args, double), spec.has_precision ? spec.precision : 6, true);
            break;
        default:  // unknown conversions print nothing and take no argument
            break;
    }
}

// The arena formatter's conversions; any other character stands for itself.
template <class Sink>
void string_format(Sink &sink, const char *p, va_list &args) {
    char buf[kMaxIntText];
    while (*p != '\0') {
        const char *run = p;
        while (*p != '\0' && *p != '%') ++p;
        if (p != run) sink.put(run, static_cast<size_t>(p - run));
        if (*p == '\0' || *++p == '\0') return;
        const char c = *p++;
        switch (c) {
            case 'c': {
                const char b = static_cast<char>(va_arg(args, int));
                sink.put(&b, 1);
                break;
            }
            case 'd':
            case 'i':
                sink.put(buf, rk::text::int_text(buf, va_arg(args, int64_t)));
                break;
            case 'u': {
                const char *q = rk::text::utoa_back(buf + kMaxIntText, va_arg(args, uint64_t));
                sink.put(q, static_cast<size_t>(buf + kMaxIntText - q));
                break;
            }
            case 's': {
                const char *s = va_arg(args, const char *);
                if (s == nullptr) s = "(null)";
                sink.put(s, std::strlen(s));
                break;
            }
            case 'f':
                rk::text::put_fixed(sink, va_arg(args, double), 6, true);
                break;
            default:  // '%%' lands here too
                sink.put(&c, 1);
                break;
        }
    }
}

int console_line(ConsoleStream stream, const char *s) {
    if (s == nullptr) return 0;
    const size_t n = std::strlen(s);
    char line[256];
    // A short line goes out in one write so lines of concurrent callers stay whole.
    if (n < sizeof line) {
        std::memcpy(line, s, n);
        line[n] = '\n';
        return rk::os::console_write(stream, line, n + 1) ? 1 : 0;
    }
    rk::os::console_write(stream, s, n);
    return rk::os::console_write(stream, "\n", 1) ? 1 : 0;
}

}  // namespace

extern "C" {

RK_API int rk_vprintf(const char *fmt, va_list args) {
    if (fmt == nullptr) return 0;
    ConsoleWriter w;
    va_list ap;
    va_copy(ap, args);
    const char *p = fmt;
    while (*p != '\0') {
        const char *run = p;
        while (*p != '\0' && *p != '%') ++p;
        if (p != run) w.put(run, static_cast<size_t>(p - run));
        if (*p == '\0') break;
        ++p;
        if (*p == '%') {
            w.put("%", 1);
            ++p;
            continue;
        }
        Spec spec;
        if (!parse_spec(p, spec)) break;
        convert(w, spec, ap);
    }
    va_end(ap);
    w.flush();
    return w.result();
}

RK_API int rk_printf(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const int n = rk_vprintf(fmt, args);
    va_end(args);
    return n;
}

RK_API int rk_vsnprintf(char *buf, size_t size, const char *fmt, va_list args) {
    if (buf == nullptr || size == 0) return 0;
    if (fmt == nullptr) {
        buf[0] = '\0';
        return -1;
    }
    return std::vsnprintf(buf, size, fmt, args);
}

RK_API int rk_snprintf(char *buf, size_t size, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const int n = rk_vsnprintf(buf, size, fmt, args);
    va_end(args);
    return n;
}

RK_API int rk_putchar(int c) {
    const char b = static_cast<char>(c);
    return rk::os::console_write(ConsoleStream::out, &b, 1) ? 1 : 0;
}

RK_API int rk_puts(const char *s) { return console_line(ConsoleStream::out, s); }

RK_API int rk_puts_err(const char *s) { return console_line(ConsoleStream::err, s); }

RK_API rk_string_t *rk_strprintf(rk_arena_t *arena, const char *fmt, ...) {
    if (arena == nullptr || fmt == nullptr) return nullptr;
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    rk::text::CountSink count;
    string_format(count, fmt, args);
    va_end(args);
    char *data = nullptr;
    rk_string_t *s = rk::text::new_string(arena, count.n, &data);
    if (s != nullptr) {
        // Bounded: a text argument that grew between the passes is cut, never overrun.
        rk::text::BufferSink out{data, static_cast<size_t>(count.n)};
        string_format(out, fmt, again);
        s->len = out.used;
    }
    va_end(again);
    return s;
}

RK_API rk_string_t *rk_dtostr(rk_arena_t *arena, double x, int digits) {
    const uint64_t frac = digits > 0 ? static_cast<uint64_t>(digits) : 0;
    rk::text::CountSink count;
    rk::text::put_fixed(count, x, 0, false);
    // NaN and the infinities carry no fraction.
    const bool finite = x == x && x - x == 0;
    const uint64_t len = count.n + (finite && frac > 0 ? frac + 1 : 0);
    char *data = nullptr;
    rk_string_t *s = rk::text::new_string(arena, len, &data);
    if (s == nullptr) return nullptr;
    rk::text::BufferSink out{data, static_cast<size_t>(len)};
    rk::text::put_fixed(out, x, frac, frac > 0);
    return s;
}

RK_API rk_string_t *rk_lltostr(rk_arena_t *arena, int64_t v) {
    char buf[kMaxIntText];
    const size_t n = rk::text::int_text(buf, v);
    char *data = nullptr;
    rk_string_t *s = rk::text::new_string(arena, n, &data);
    if (s != nullptr) std::memcpy(data, buf, n);
    return s;
}

}  // extern "C"
