// SPDX-License-Identifier: Apache-2.0
// The database handle: open, close, sync, statistics, the printed report and
// the handle's error getters.
#include <cstring>

#include "core/alloc.h"
#include "core/status.h"
#include "db/db.h"
#include "rk_error.h"
#include "rk_string.h"

namespace rk {
namespace {

rk_vecdb_config_t default_config() {
    rk_vecdb_config_t c{};
    c.storage_mode = RK_DB_DEFAULT_MODE;
    c.arena_size = kDbDefaultArenaSize;
    c.cache_size = kDbDefaultCacheSize;
    c.create_if_missing = 1;
    return c;
}

bool has_path(const rk_vecdb_t *db) { return db->config.path.data != nullptr && db->config.path.len != 0; }

// Points the handle's path at a copy in its arena. An empty text counts as
// no path; if the copy cannot be had the caller's text stays referenced.
void adopt_path(rk_vecdb_t *db) {
    const char *text = db->config.path.data;
    if (text == nullptr) return;
    const size_t len = std::strlen(text);
    db->config.path.len = len;
    if (len == 0) {
        db->config.path.data = nullptr;
        return;
    }
    char *copy = static_cast<char *>(rk_arena_memdup(db->arena, text, len + 1));
    if (copy != nullptr) db->config.path.data = copy;
}

// Releases what a partly built handle holds.
void discard(rk_vecdb_t *db) {
    rk_rwlock_destroy(db->lock);
    rk_arena_destroy(db->arena);
    rk_free(db);
}

rk_status_t build_handle(rk_vecdb_t *db) {
    const uint64_t block = db->config.arena_size == 0 ? kDbDefaultArenaSize : db->config.arena_size;
    if (rk_arena_create(static_cast<size_t>(block), &db->arena) != RK_OK) return RK_ERR_NO_MEMORY;
    adopt_path(db);
    RK_TRY(rk_rwlock_create(nullptr, nullptr, &db->lock));
    db->collections = arena_array<DbEntry>(db->arena, kDbInitialSlots);
    RK_RETURN_IF(db->collections == nullptr, RK_ERR_NO_MEMORY);
    db->collection_capacity = kDbInitialSlots;
    if (has_path(db) && db->config.storage_mode != RK_DB_MEMORY) RK_TRY(db_persistent_open(db));
    return RK_OK;
}

}  // namespace
}  // namespace rk

extern "C" {

RK_API rk_status_t rk_vecdb_open(const rk_string_t *path, uint32_t flags, rk_vecdb_t **out) {
    rk_vecdb_config_t c = rk::default_config();
    if (path != nullptr && path->data != nullptr) c.path = *path;
    c.read_only = (flags & RK_OPEN_READ_ONLY) != 0 ? 1u : 0u;
    c.create_if_missing = (flags & RK_OPEN_CREATE) != 0 ? 1u : 0u;
    return rk_vecdb_open_ex(&c, out);
}

RK_API rk_status_t rk_vecdb_open_ex(const rk_vecdb_config_t *config, rk_vecdb_t **out) {
    if (out == nullptr) return RK_ERR_INVALID_ARG;
    *out = nullptr;
    auto *db = static_cast<rk_vecdb_t *>(rk_calloc(1, sizeof(rk_vecdb_t)));
    if (db == nullptr) return RK_ERR_NO_MEMORY;
    db->config = config != nullptr ? *config : rk::default_config();
    db->lock_fd = -1;
    const rk_status_t st = rk::build_handle(db);
    if (st != RK_OK) {
        rk::discard(db);
        return st;
    }
    db->is_open = 1;
    db->opened_at = rk_time_now();
    db->stats = rk_vecdb_stats_t{};
    db->stats.collections = db->collection_count;
    *out = db;
    return RK_OK;
}

RK_API rk_status_t rk_vecdb_close(rk_vecdb_t *db) {
    if (!rk::db_usable(db)) return RK_ERR_INVALID_ARG;
    const rk_status_t saved = rk::db_save(db);
    rk_rwlock_wrlock(db->lock);
    rk::db_destroy_collections_locked(db);
    db->is_open = 0;
    rk_rwlock_wrunlock(db->lock);
    rk::db_persistent_close(db);
    rk::discard(db);
    return saved;
}

RK_API int rk_vecdb_is_open(const rk_vecdb_t *db) { return rk::db_usable(db) ? 1 : 0; }

RK_API rk_status_t rk_vecdb_sync(rk_vecdb_t *db) {
    if (!rk::db_usable(db)) return RK_ERR_INVALID_ARG;
    return rk::db_save(db);
}

RK_API rk_status_t rk_vecdb_get_stats(rk_vecdb_t *db, rk_vecdb_stats_t *stats) {
    if (db == nullptr || stats == nullptr) return RK_ERR_INVALID_ARG;
    rk_rwlock_rdlock(db->lock);
    *stats = db->stats;
    rk_rwlock_rdunlock(db->lock);
    return RK_OK;
}

RK_API void rk_vecdb_reset_stats(rk_vecdb_t *db) {
    if (db == nullptr) return;
    rk_rwlock_wrlock(db->lock);
    db->stats = rk_vecdb_stats_t{};
    db->stats.collections = db->collection_count;
    rk_rwlock_wrunlock(db->lock);
}

RK_API rk_status_t rk_vecdb_get_last_error(const rk_vecdb_t *db) {
    return db == nullptr ? RK_ERR_UNKNOWN : db->last_error;
}

RK_API const char *rk_vecdb_get_error_message(const rk_vecdb_t *db) {
    if (db == nullptr) return "Invalid database handle";
    if (db->error_message[0] != '\0') return db->error_message;
    return rk_strerror(db->last_error);
}

}  // extern "C"
