// SPDX-License-Identifier: Apache-2.0
// Fuzz target for rk_index_load: any bytes as an index file. Whatever loads
// is searched, edited and saved again, so hostile graphs and lists are walked
// by the code that trusts them after loading.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "rk_error.h"
#include "rk_index.h"
#include "rk_memory.h"
#include "scratch.h"

namespace {

// Queries are only built for dimensions a real file of this size could hold.
constexpr uint32_t kMaxQueryDim = 4096;

// One arena per role, reset after every input: making 4 MiB arenas twice per
// input would dominate the run.
rk_arena_t *reused_arena(int which) {
    static rk_arena_t *arenas[2] = {nullptr, nullptr};
    if (!arenas[which] && rk_arena_create(0, &arenas[which]) != RK_OK) return nullptr;
    return arenas[which];
}

bool write_file(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

void exercise(rk_index_t *ix, const std::string &path) {
    const uint32_t dim = rk_index_get_dim(ix);
    if (dim == 0 || dim > kMaxQueryDim) return;
    std::vector<float> q(dim);
    for (uint32_t i = 0; i < dim; ++i) q[i] = 0.25f * static_cast<float>(i % 7) - 0.5f;
    rk_index_result_t r[8];
    rk_index_search(ix, q.data(), 8, r);
    rk_index_stats_t stats;
    rk_index_get_stats(ix, &stats);
    rk_index_remove(ix, 1);
    rk_index_add(ix, 2, q.data());
    rk_index_search(ix, q.data(), 8, r);
    const std::string again = path + ".again";
    const rk_string_t s = {again.c_str(), again.size()};
    if (rk_index_save(ix, &s) == RK_OK) {
        if (rk_arena_t *arena = reused_arena(1)) {
            rk_index_t *back = rk_index_load(arena, &s);
            if (back) rk_index_search(back, q.data(), 8, r);
            rk_index_destroy(back);
            rk_arena_reset(arena);
        }
    }
    std::remove(again.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *scratch = fz::scratch("index_load_fuzz", false);
    if (!scratch) return 0;
    const std::string path = scratch;
    if (!write_file(path, data, size)) return 0;
    rk_arena_t *arena = reused_arena(0);
    if (!arena) return 0;
    const rk_string_t s = {path.c_str(), path.size()};
    rk_index_t *ix = rk_index_load(arena, &s);
    if (ix) exercise(ix, path);
    rk_index_destroy(ix);
    rk_arena_reset(arena);
    return 0;
}
