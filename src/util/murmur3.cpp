// SPDX-License-Identifier: Apache-2.0
// MurmurHash3, x86 32-bit and x64 128-bit. Blocks are assembled from bytes
// in little-endian order so the hashes are the same on every host.
#include <cstring>

#include "rk_hash.h"
#include "util/hash.h"

namespace {

uint32_t rotl32(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }
uint64_t rotl64(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

uint32_t load32(const unsigned char *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint64_t load64(const unsigned char *p) {
    return uint64_t{load32(p)} | uint64_t{load32(p + 4)} << 32;
}

// Little-endian value of n <= 8 bytes.
uint64_t load_tail(const unsigned char *p, uint64_t n) {
    uint64_t v = 0;
    for (uint64_t i = n; i-- > 0;) v = (v << 8) | p[i];
    return v;
}

uint32_t fmix32(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h;
}

uint64_t fmix64(uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdull;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ull;
    k ^= k >> 33;
    return k;
}

constexpr uint32_t kC1 = 0xcc9e2d51u;
constexpr uint32_t kC2 = 0x1b873593u;
constexpr uint64_t kD1 = 0x87c37b91114253d5ull;
constexpr uint64_t kD2 = 0x4cf5ad432745937full;

uint32_t mix_k32(uint32_t k) { return rotl32(k * kC1, 15) * kC2; }
uint64_t mix_k1(uint64_t k) { return rotl64(k * kD1, 31) * kD2; }
uint64_t mix_k2(uint64_t k) { return rotl64(k * kD2, 33) * kD1; }

}  // namespace

namespace rk {

void murmur3_x64_128(const void *data, uint64_t len, uint64_t seed, uint64_t out[2]) {
    const auto *p = static_cast<const unsigned char *>(data);
    if (p == nullptr) len = 0;
    uint64_t h1 = seed, h2 = seed;
    const uint64_t blocks = len / 16;
    for (uint64_t i = 0; i < blocks; ++i, p += 16) {
        h1 ^= mix_k1(load64(p));
        h1 = rotl64(h1, 27) + h2;
        h1 = h1 * 5 + 0x52dce729u;
        h2 ^= mix_k2(load64(p + 8));
        h2 = rotl64(h2, 31) + h1;
        h2 = h2 * 5 + 0x38495ab5u;
    }
    // The tail: bytes 8..15 feed the second lane, bytes 0..7 the first.
    const uint64_t rest = len & 15u;
    if (rest > 8) h2 ^= mix_k2(load_tail(p + 8, rest - 8));
    if (rest > 0) h1 ^= mix_k1(load_tail(p, rest > 8 ? 8 : rest));
    h1 ^= len;
    h2 ^= len;
    h1 += h2;
    h2 += h1;
    h1 = fmix64(h1);
    h2 = fmix64(h2);
    h1 += h2;
    h2 += h1;
    out[0] = h1;
    out[1] = h2;
}

}  // namespace rk

extern "C" {

RK_API uint32_t rk_hash_murmur3_32(const void *data, uint64_t len, uint32_t seed) {
    const auto *p = static_cast<const unsigned char *>(data);
    if (p == nullptr) len = 0;
    uint32_t h = seed;
    const uint64_t blocks = len / 4;
    for (uint64_t i = 0; i < blocks; ++i, p += 4) {
        h ^= mix_k32(load32(p));
        h = rotl32(h, 13);
        h = h * 5 + 0xe6546b64u;
    }
    const uint64_t rest = len & 3u;
    if (rest > 0) h ^= mix_k32(static_cast<uint32_t>(load_tail(p, rest)));
    // The length enters modulo 2^32, as in the reference.
    h ^= static_cast<uint32_t>(len);
    return fmix32(h);
}

RK_API uint64_t rk_hash_murmur3_64(const void *data, uint64_t len, uint64_t seed) {
    uint64_t out[2];
    rk::murmur3_x64_128(data, len, seed, out);
    return out[0];
}

RK_API uint64_t rk_hash_int(uint64_t value) {
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    return rk_hash_murmur3_64(bytes, sizeof bytes, 0);
}

RK_API uint64_t rk_hash_string(const char *text) {
    if (text == nullptr) return 0;
    return rk_hash_murmur3_64(text, std::strlen(text), 0);
}

RK_API uint64_t rk_hash_vector(const float *values, uint64_t count) {
    if (values == nullptr || count > UINT64_MAX / 4) return 0;
    return rk_hash_murmur3_64(values, count * 4, 0);
}

}  // extern "C"
