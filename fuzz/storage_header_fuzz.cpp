// SPDX-License-Identifier: Apache-2.0
// Opens arbitrary bytes as a storage file, in file and mapped mode, and
// walks everything a reader can reach: the headers, the block chain, and
// float arrays and vector records sized by values taken from the input.
// Any input must give statuses, never a crash, a hang or a huge allocation.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "rk_storage.h"
#include "scratch.h"

namespace {

// One arena for every run, reset after each: a fresh arena per input would
// spend most of the run on its first block.
rk_arena_t *arena() {
    static rk_arena_t *const a = [] {
        rk_arena_t *made = nullptr;
        return rk_arena_create(1 << 16, &made) == RK_OK ? made : nullptr;
    }();
    return a;
}

uint32_t u32_from(const uint8_t *data, size_t size, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && at + i < size; ++i) v |= uint32_t{data[at + i]} << (8 * i);
    return v;
}

void walk(rk_storage_t *s, const uint8_t *data, size_t size) {
    rk_storage_header_t header;
    rk_storage_collection_header_t collection;
    (void)rk_storage_verify(s);
    (void)rk_storage_read_header(s, &header);
    (void)rk_storage_read_collection_header(s, 192, &collection);

    rk_storage_iterator_t *it = rk_storage_iterator_create(s);
    unsigned char payload[256];
    for (int steps = 0; it && rk_storage_iterator_next(it) && steps < 100000; ++steps) {
        (void)rk_storage_iterator_get_data(it, payload, sizeof payload);
    }

    // Counts and dimensions as a collection loader would take them from the
    // file, unbounded. The output holds only what the file could fill: a
    // reader that wrote more than the file holds overruns it, and the
    // sanitizer reports that.
    const uint64_t fits = size / sizeof(float) + 1;
    const uint32_t count = u32_from(data, size, 192 + 100);
    const uint32_t dimension = u32_from(data, size, 192 + 88);
    const uint64_t room = std::max<uint64_t>(std::min<uint64_t>(count, fits), 1);
    float *out = static_cast<float *>(std::malloc(sizeof(float) * room));
    if (out && count) (void)rk_storage_read_f32_array(s, 384, out, count);
    if (out && dimension && dimension <= room) {
        uint64_t id = 0;
        (void)rk_storage_read_vector(s, 384, &id, out, dimension);
        (void)rk_storage_read_f32_array(s, 384 + 32, out, dimension);
    }
    std::free(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *path = fz::scratch("storage_fuzz", false);
    FILE *f = path ? std::fopen(path, "wb") : nullptr;
    if (!f) return 0;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);

    for (const int32_t mode : {RK_STORAGE_FILE, RK_STORAGE_MAPPED}) {
        rk_storage_config_t config{};
        config.mode = mode;
        config.access = RK_STORAGE_READ_ONLY;
        config.path = rk_string_t{path, std::strlen(path)};
        config.page_size = 4096;
        config.capacity = 0x4000000;
        rk_storage_t *s = rk_storage_create(arena(), &config);
        if (s) {
            walk(s, data, size);
            rk_storage_close(s);
        }
        rk_arena_reset(arena());
    }
    return 0;
}
