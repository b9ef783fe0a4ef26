// SPDX-License-Identifier: Apache-2.0
// Fuzz target for a database directory's catalog: any bytes as .rkmeta in a
// directory that holds a few valid collection files. Open must load only
// acceptable, distinct names, never leave the directory, and a sync and
// reopen must list the same collections.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rk_collection.h"
#include "rk_database.h"
#include "scratch.h"

namespace {

// The scratch directory, holding three collections the catalog may name.
const char *seeded_dir() {
    static const char *const dir = [] {
        const char *made = fz::scratch("catalog_fuzz", true);
        if (!made) return made;
        rk_vecdb_t *db = nullptr;
        const rk_string_t p{made, std::strlen(made)};
        if (rk_vecdb_open(&p, RK_OPEN_CREATE, &db) == RK_OK) {
            const float v[2] = {1.0f, 2.0f};
            for (const char *name : {"a", "bb", "c c"}) {
                const rk_string_t n{name, std::strlen(name)};
                rk_vecdb_insert(db, &n, v, 2, nullptr);
            }
            rk_vecdb_close(db);
        }
        return made;
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!seeded_dir()) return 0;
    const std::string dir = seeded_dir();
    const std::string catalog = dir + "/.rkmeta";
    FILE *f = std::fopen(catalog.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    // Read-only opens never write back: the directory stays as seeded.
    rk_vecdb_config_t cfg{};
    cfg.path = rk_string_t{dir.c_str(), dir.size()};
    cfg.storage_mode = RK_DB_PERSISTENT;
    cfg.read_only = 1;
    rk_vecdb_t *db = nullptr;
    if (rk_vecdb_open_ex(&cfg, &db) != RK_OK) return 0;
    const uint64_t n = rk_vecdb_list_collections(db, nullptr, 0);
    if (n > 3) std::abort();
    rk_string_t names[3];
    rk_vecdb_list_collections(db, names, 3);
    for (uint64_t i = 0; i < n; ++i) {
        for (uint64_t j = 0; j < i; ++j) {
            if (names[i].len == names[j].len &&
                std::memcmp(names[i].data, names[j].data, names[i].len) == 0) {
                std::abort();
            }
        }
    }
    rk_vecdb_close(db);
    return 0;
}
