// SPDX-License-Identifier: Apache-2.0
// The database's printed report and the stored (never called) log callback.
#include <atomic>

#include "db/db.h"
#include "rk_error.h"
#include "rk_string.h"

namespace rk {
namespace {

std::atomic<rk_log_callback_fn> g_log_callback{nullptr};
std::atomic<void *> g_log_user_data{nullptr};

// Arena bytes in use by the registry and by every collection. Caller holds
// the registry lock.
uint64_t memory_in_use(const rk_vecdb_t *db) {
    uint64_t total = rk_arena_get_used_size(db->arena);
    for (uint64_t i = 0; i < db->collection_count; ++i) {
        rk_collection_stats_t s{};
        if (rk_collection_get_stats(db->collections[i].collection, &s) == RK_OK) total += s.memory_used;
    }
    return total;
}

int print_collections(const rk_vecdb_t *db, int last) {
    if (db->collection_count == 0) return last;
    last = rk_printf("\nCollections:\n");
    for (uint64_t i = 0; i < db->collection_count; ++i) {
        const DbEntry &e = db->collections[i];
        rk_collection_stats_t s{};
        (void)rk_collection_get_stats(e.collection, &s);
        last = rk_printf("  - %s: %zu vectors, %d dims\n", e.name.data, static_cast<uint64_t>(s.count),
                         static_cast<int64_t>(s.dimension));
    }
    return last;
}

}  // namespace

rk_log_callback_fn db_stored_log_callback(void **user_data) {
    if (user_data != nullptr) *user_data = g_log_user_data.load(std::memory_order_acquire);
    return g_log_callback.load(std::memory_order_acquire);
}

}  // namespace rk

extern "C" {

RK_API int rk_vecdb_print_info(rk_vecdb_t *db) {
    if (db == nullptr) return rk_printf("Database: NULL\n");
    // The report reads the registry and each collection's statistics; the
    // read lock keeps a concurrent drop from pulling an entry away midway.
    rk_rwlock_rdlock(db->lock);
    const bool has_path = db->config.path.data != nullptr && db->config.path.len != 0;
    rk_printf("Rakmo ZevUD Information\n");
    rk_printf("=======================\n");
    rk_printf("Version:     %s\n", RK_VERSION_STRING);
    rk_printf("Path:        %s\n", has_path ? db->config.path.data : "(memory)");
    rk_printf("Status:      %s\n", db->is_open != 0 ? "Open" : "Closed");
    rk_printf("Collections: %zu\n", static_cast<uint64_t>(db->collection_count));
    int last = rk_printf("Memory:      %zu bytes\n", rk::memory_in_use(db));
    last = rk::print_collections(db, last);
    rk_rwlock_rdunlock(db->lock);
    return last;
}

RK_API void rk_vecdb_set_log_callback(rk_log_callback_fn callback, void *user_data) {
    rk::g_log_user_data.store(user_data, std::memory_order_release);
    rk::g_log_callback.store(callback, std::memory_order_release);
}

}  // extern "C"
