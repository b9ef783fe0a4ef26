// SPDX-License-Identifier: Apache-2.0
// Number parsing and number text on hostile input. The first byte picks the
// integer base and the fraction digits; the rest is the text, held in a
// buffer of exactly its size so any read past it is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "rk_error.h"
#include "rk_string.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// Text of a value back through the parser: integers exactly, doubles below
// 2^53 by their integer part.
void round_trips(rk_arena_t *arena, const uint8_t *data, size_t size) {
    if (size < 8) return;
    int64_t v;
    double x;
    std::memcpy(&v, data, 8);
    std::memcpy(&x, data, 8);
    rk_string_t *t = rk_lltostr(arena, v);
    check(t != nullptr);
    uint64_t end = 0;
    check(rk_strtoll(t, &end, 10) == v && end == t->len);
    const int digits = data[0] % 48;
    rk_string_t *d = rk_dtostr(arena, x, digits);
    check(d != nullptr && d->data[d->len] == '\0');
    if (x == x && x < 9007199254740992.0 && x > -9007199254740992.0) {
        const double whole = static_cast<double>(static_cast<int64_t>(x));
        rk_string_t *w = rk_dtostr(arena, x, 0);
        const double back = rk_strtod(w, &end);
        check(end == w->len && back == whole);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const int base = data[0] % 38;  // 0 (automatic) to 37, one beyond the letters
    std::unique_ptr<char[]> text(new char[size - 1 ? size - 1 : 1]);
    std::memcpy(text.get(), data + 1, size - 1);
    const rk_string_t s = {text.get(), size - 1};
    uint64_t end = UINT64_MAX;
    rk_strtoll(&s, &end, base);
    check(end <= s.len);
    end = UINT64_MAX;
    rk_strtod(&s, &end);
    check(end <= s.len);
    rk_arena_t *arena = nullptr;
    if (rk_arena_create(65536, &arena) != RK_OK) return 0;
    round_trips(arena, data + 1, size - 1);
    rk_arena_destroy(arena);
    return 0;
}
