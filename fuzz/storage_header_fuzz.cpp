// Opens arbitrary bytes as a storage file, in file and mapped mode, and
// walks everything a reader can reach: the headers, the block chain, and
// float arrays and vector records sized by values taken from the input.
// Any input must give statuses, never a crash, a hang or a huge allocation.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "rk_storage.h"

namespace {

// One scratch file per process, removed at exit. Plain storage, so it is
// still there when exit handlers run.
char g_path[64] = "/tmp/rk_storage_fuzz_XXXXXX";

const char *scratch_path() {
    static const bool made = [] {
        const int fd = mkstemp(g_path);
        if (fd < 0) return false;
        close(fd);
        std::atexit([] { unlink(g_path); });
        return true;
    }();
    return made ? g_path : nullptr;
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
    // file; the output buffers are sized by the input, as a caller's would be.
    const uint32_t count = u32_from(data, size, 192 + 100) % (1u << 20);
    const uint32_t dimension = u32_from(data, size, 192 + 88) % (1u << 16);
    float *values = static_cast<float *>(std::malloc(sizeof(float) * (dimension + 1u)));
    if (values && dimension) {
        uint64_t id = 0;
        (void)rk_storage_read_vector(s, 384, &id, values, dimension);
        (void)rk_storage_read_f32_array(s, 384 + 32, values, dimension);
    }
    std::free(values);
    float *many = count ? static_cast<float *>(std::malloc(sizeof(float) * count)) : nullptr;
    if (many) (void)rk_storage_read_f32_array(s, 384, many, count);
    std::free(many);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *path = scratch_path();
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
        rk_storage_t *s = rk_storage_create(nullptr, &config);
        if (!s) continue;
        walk(s, data, size);
        rk_storage_close(s);
    }
    return 0;
}
