// SPDX-License-Identifier: Apache-2.0
// What each kind of quantisation costs in memory.
#include <cstdint>
#include <cstdio>
#include <limits>

#include "rk_quant.h"

namespace {

constexpr float kMiB = 0x1p-20f;  // bytes to mebibytes, 9.536743e-7

struct Info {
    uint32_t n;
    uint32_t pq_bytes;
};

// A product that does not fit 64 bits saturates: no storage can hold it.
uint64_t mul_sat(uint64_t a, uint64_t b) {
    uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<uint64_t>::max() : r;
}

uint64_t size_none(uint32_t dim, uint64_t count) { return mul_sat(mul_sat(dim, count), 4); }
uint64_t size_scalar(uint32_t dim, uint64_t count) { return mul_sat(dim, count); }
uint64_t size_product(uint32_t, uint64_t count) { return mul_sat(count, 8); }

// n * 4 in 64 bits: a 32-bit product would wrap for large n.
float raw_bytes(uint32_t n) { return static_cast<float>(uint64_t{n} * 4); }

int info_none(char *buf, size_t size, Info in) {
    return std::snprintf(buf, size, "No quantization: %.2f MB", static_cast<double>(raw_bytes(in.n) * kMiB));
}

int info_scalar(char *buf, size_t size, Info in) {
    return std::snprintf(buf, size, "SQ quantization: %.2f MB (4x compression)",
                         static_cast<double>(static_cast<float>(in.n) * kMiB));
}

int info_product(char *buf, size_t size, Info in) {
    const float codes = static_cast<float>(in.pq_bytes);
    // IEEE division: no code bytes give an infinite ratio, or NaN for nothing
    // at all; spelled out because dividing by zero is not portable C++.
    float ratio;
    if (in.pq_bytes != 0) {
        ratio = raw_bytes(in.n) / codes;
    } else {
        ratio = in.n ? std::numeric_limits<float>::infinity() : std::numeric_limits<float>::quiet_NaN();
    }
    return std::snprintf(buf, size, "PQ quantization: %.2f MB (%.1fx compression)",
                         static_cast<double>(codes * kMiB), static_cast<double>(ratio));
}

using SizeFn = uint64_t (*)(uint32_t, uint64_t);
using InfoFn = int (*)(char *, size_t, Info);

// Indexed by kind; kind 3 is not a quantisation.
struct Kind {
    SizeFn size;
    InfoFn info;
};
constexpr Kind kKinds[] = {
    {size_none, info_none}, {size_scalar, info_scalar},   {size_scalar, info_scalar},
    {nullptr, nullptr},     {size_product, info_product},
};

const Kind *kind_of(int kind) {
    if (kind < 0 || static_cast<size_t>(kind) >= sizeof kKinds / sizeof kKinds[0]) return nullptr;
    return kKinds[kind].size ? &kKinds[kind] : nullptr;
}

}  // namespace

extern "C" {

RK_API uint64_t rk_quant_calculate_size(int kind, uint32_t dim, uint64_t count) {
    const Kind *k = kind_of(kind);
    return k ? k->size(dim, count) : 0;
}

RK_API const char *rk_quant_get_info(int kind, uint32_t n, uint32_t pq_bytes) {
    // One buffer per thread: concurrent callers cannot overwrite each
    // other's text.
    static thread_local char buf[128];
    const Kind *k = kind_of(kind);
    if (!k) {
        std::snprintf(buf, sizeof buf, "%s", "Unknown quantization");
    } else {
        k->info(buf, sizeof buf, Info{n, pq_bytes});
    }
    return buf;
}

}  // extern "C"
