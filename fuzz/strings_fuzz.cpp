// SPDX-License-Identifier: Apache-2.0
// Splitting, replacing, trimming and searching on hostile input. The first
// two bytes give the lengths of the pattern and the replacement; the rest is
// cut into pattern, replacement and subject, each in a buffer of its exact
// size so any read past a counted string is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rk_error.h"
#include "rk_string.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

struct Piece {
    std::vector<char> bytes;
    rk_string_t s;
    explicit Piece(const uint8_t *p, size_t n) : bytes(p, p + n) {
        if (bytes.empty()) bytes.reserve(1);
        s = {bytes.data() ? bytes.data() : "", n};
    }
    std::string str() const { return std::string(s.data, s.len); }
};

// Non-overlapping occurrences from the left, the way replacement counts them.
size_t occurrences(const std::string &text, const std::string &pat) {
    size_t n = 0;
    for (size_t at = text.find(pat); at != std::string::npos; at = text.find(pat, at + pat.size())) ++n;
    return n;
}

void exercise(rk_arena_t *arena, const Piece &pat, const Piece &rep, const Piece &text) {
    const std::string t = text.str(), p = pat.str(), r = rep.str();
    const uint64_t at = rk_strstr(&text.s, &pat.s);
    check(at == (t.find(p) == std::string::npos ? RK_STR_NPOS : t.find(p)));
    rk_string_t *out = rk_strreplace(arena, &text.s, &pat.s, &rep.s);
    if (!p.empty() && out != nullptr) {
        const size_t n = occurrences(t, p);
        check(out->len == t.size() - n * p.size() + n * r.size());
    }
    rk_string_t **parts = rk_strsplitn(arena, &text.s, &pat.s, rep.s.len % 4);
    if (parts != nullptr) {
        uint64_t total = 0;
        for (rk_string_t **q = parts; *q != nullptr; ++q) total += (*q)->len;
        check(total <= t.size());
    }
    rk_string_t *trimmed = rk_strtrim(arena, &text.s);
    check(trimmed == nullptr || trimmed->len <= t.size());
    const int c = rk_strcasecmp(&text.s, &pat.s);
    check((c == 0) == (rk_strcasecmp(&pat.s, &text.s) == 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    size_t np = data[0] % 8, nr = data[1] % 8;
    data += 2;
    size -= 2;
    if (np > size) np = size;
    if (nr > size - np) nr = size - np;
    const Piece pat(data, np), rep(data + np, nr), text(data + np + nr, size - np - nr);
    rk_arena_t *arena = nullptr;
    if (rk_arena_create(65536, &arena) != RK_OK) return 0;
    exercise(arena, pat, rep, text);
    rk_arena_destroy(arena);
    return 0;
}
