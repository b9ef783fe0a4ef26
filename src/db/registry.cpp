// SPDX-License-Identifier: Apache-2.0
// The registry of named collections: create, drop, lookups and the pins that
// keep a collection alive while a by-name call uses it outside the lock.
#include <cstring>
#include <new>

#include "core/alloc.h"
#include "core/status.h"
#include "db/db.h"
#include "rk_string.h"

namespace rk {
namespace {

// Spins briefly, then sleeps: a drop waits at most for one insert or search.
constexpr int kDrainSpins = 64;

bool same_name(const DbEntry &e, const rk_string_t *name) {
    return e.name.data != nullptr && rk_strcmp(&e.name, name) == 0;
}

// Doubles the registry; the old array stays in the arena.
bool grow_locked(rk_vecdb_t *db) {
    size_t slots;
    if (!mul_size(static_cast<size_t>(db->collection_capacity), 2, &slots)) return false;
    DbEntry *bigger = arena_array<DbEntry>(db->arena, slots);
    if (bigger == nullptr) return false;
    std::memcpy(bigger, db->collections, static_cast<size_t>(db->collection_count) * sizeof(DbEntry));
    db->collections = bigger;
    db->collection_capacity = slots;
    return true;
}

}  // namespace

rk_status_t db_register_locked(rk_vecdb_t *db, rk_collection_t *collection) {
    if (db->collection_count == db->collection_capacity && !grow_locked(db)) return RK_ERR_NO_MEMORY;
    rk_collection_stats_t stats{};
    RK_TRY(rk_collection_get_stats(collection, &stats));
    void *pin_memory = rk_calloc(1, sizeof(DbPin));
    if (pin_memory == nullptr) return RK_ERR_NO_MEMORY;
    DbEntry &e = db->collections[db->collection_count];
    e.collection = collection;
    e.pin = ::new (pin_memory) DbPin{0};
    e.name.data = rk_collection_get_name(collection);
    e.name.len = e.name.data != nullptr ? std::strlen(e.name.data) : 0;
    e.dimension = stats.dimension;
    db->collection_count += 1;
    db->stats.collections = db->collection_count;
    return RK_OK;
}

namespace {

// Creates and registers a collection; the name was checked by the caller.
rk_status_t create_locked(rk_vecdb_t *db, const rk_collection_config_t *config, DbEntry **out) {
    RK_RETURN_IF(db_find_locked(db, &config->name) != nullptr, RK_ERR_EXISTS);
    // A collection that failed to load keeps its name until it is dropped.
    RK_RETURN_IF(db_find_failed_locked(db, &config->name) != nullptr, RK_ERR_EXISTS);
    if (db->collection_count == db->collection_capacity && !grow_locked(db)) return RK_ERR_NO_MEMORY;
    // Each collection gets an arena of its own: collections are written
    // under their own locks, in parallel, and an arena has no lock.
    rk_collection_t *collection = rk_collection_create(nullptr, config);
    if (collection == nullptr) return RK_ERR_UNKNOWN;
    const rk_status_t st = db_register_locked(db, collection);
    if (st != RK_OK) {
        rk_collection_destroy(collection);
        return st;
    }
    *out = &db->collections[db->collection_count - 1];
    return RK_OK;
}

void pin_into(DbEntry *e, DbPinned *out) {
    e->pin->users.fetch_add(1, std::memory_order_relaxed);
    out->collection = e->collection;
    out->pin = e->pin;
    out->dimension = e->dimension;
}

rk_status_t create_checked(rk_vecdb_t *db, const rk_collection_config_t *config, rk_collection_t **out) {
    if (!db_usable(db) || config == nullptr) return RK_ERR_INVALID_ARG;
    if (!db_name_creatable(db, &config->name)) return RK_ERR_INVALID_ARG;
    rk_rwlock_wrlock(db->lock);
    DbEntry *e = nullptr;
    const rk_status_t st = create_locked(db, config, &e);
    rk_collection_t *collection = st == RK_OK ? e->collection : nullptr;
    rk_rwlock_wrunlock(db->lock);
    if (st == RK_OK && out != nullptr) *out = collection;
    return st;
}

bool name_given(const rk_string_t *name) { return name != nullptr && name->data != nullptr; }

}  // namespace

bool db_name_acceptable(const rk_string_t *name) {
    if (!name_given(name) || name->len == 0) return false;
    const char *s = name->data;
    const size_t n = static_cast<size_t>(name->len);
    if ((n == 1 && s[0] == '.') || (n == 2 && s[0] == '.' && s[1] == '.')) return false;
    for (size_t i = 0; i < n; ++i) {
        const char c = s[i];
        if (c == '/' || c == '\\' || c == '\n' || c == '\r' || c == '\0') return false;
    }
    return true;
}

DbEntry *db_find_locked(rk_vecdb_t *db, const rk_string_t *name) {
    for (uint64_t i = 0; i < db->collection_count; ++i) {
        if (same_name(db->collections[i], name)) return &db->collections[i];
    }
    return nullptr;
}

rk_status_t db_acquire(rk_vecdb_t *db, const rk_string_t *name, const rk_collection_config_t *create,
                       DbPinned *out) {
    rk_rwlock_rdlock(db->lock);
    DbEntry *e = db_find_locked(db, name);
    if (e != nullptr) pin_into(e, out);
    rk_rwlock_rdunlock(db->lock);
    if (e != nullptr) return RK_OK;
    if (create == nullptr) return RK_ERR_NOT_FOUND;
    if (!db_name_creatable(db, name)) return RK_ERR_INVALID_ARG;

    // Another thread may have created it since the read lock was released:
    // look again under the write lock and take that one.
    rk_rwlock_wrlock(db->lock);
    e = db_find_locked(db, name);
    rk_status_t st = RK_OK;
    if (e == nullptr) st = create_locked(db, create, &e);
    if (st == RK_OK) pin_into(e, out);
    rk_rwlock_wrunlock(db->lock);
    return st;
}

void db_release(DbPinned *pinned) {
    if (pinned->pin != nullptr) pinned->pin->users.fetch_sub(1, std::memory_order_release);
    *pinned = DbPinned{};
}

void db_pin_drain(DbPin *pin) {
    for (int spin = 0; pin->users.load(std::memory_order_acquire) != 0; ++spin) {
        rk_sleep(spin < kDrainSpins ? 0 : 1);
    }
}

void db_destroy_collections_locked(rk_vecdb_t *db) {
    for (uint64_t i = 0; i < db->collection_count; ++i) {
        DbEntry &e = db->collections[i];
        db_pin_drain(e.pin);
        rk_collection_destroy(e.collection);
        rk_free(e.pin);
        e = DbEntry{};
    }
    db->collection_count = 0;
    db->stats.collections = 0;
}

}  // namespace rk

extern "C" {

RK_API rk_status_t rk_vecdb_create_collection(rk_vecdb_t *db, const rk_string_t *name, uint32_t dimension,
                                              rk_collection_t **out) {
    if (!rk::name_given(name)) return RK_ERR_INVALID_ARG;
    rk_collection_config_t config{};
    config.name = *name;
    config.dimension = dimension;
    config.metric = RK_METRIC_L2;
    config.index_type = RK_INDEX_HNSW;
    config.auto_resize = 1;
    return rk::create_checked(db, &config, out);
}

RK_API rk_status_t rk_vecdb_create_collection_ex(rk_vecdb_t *db, const rk_collection_config_t *config,
                                                 rk_collection_t **out) {
    return rk::create_checked(db, config, out);
}

RK_API rk_status_t rk_vecdb_drop_collection(rk_vecdb_t *db, const rk_string_t *name) {
    if (!rk::db_usable(db) || !rk::name_given(name)) return RK_ERR_INVALID_ARG;
    rk_rwlock_wrlock(db->lock);
    rk::DbEntry *e = rk::db_find_locked(db, name);
    if (e == nullptr) {
        rk::DbFailed *failed = rk::db_find_failed_locked(db, name);
        if (failed != nullptr) rk::db_drop_failed_locked(db, failed);
        rk_rwlock_wrunlock(db->lock);
        return failed != nullptr ? RK_OK : RK_ERR_NOT_FOUND;
    }
    const rk::DbEntry gone = *e;
    rk::DbEntry *end = db->collections + db->collection_count;
    std::memmove(e, e + 1, static_cast<size_t>(end - (e + 1)) * sizeof(rk::DbEntry));
    end[-1] = rk::DbEntry{};
    db->collection_count -= 1;
    db->stats.collections = db->collection_count;
    rk_rwlock_wrunlock(db->lock);

    // Unlinked: no new caller can pin it. Wait for those that did, outside
    // the lock so that they and everyone else keep going.
    rk::db_pin_drain(gone.pin);
    rk_collection_destroy(gone.collection);
    rk_free(gone.pin);
    return RK_OK;
}

RK_API rk_collection_t *rk_vecdb_get_collection(rk_vecdb_t *db, const rk_string_t *name) {
    if (!rk::db_usable(db) || !rk::name_given(name)) return nullptr;
    rk_rwlock_rdlock(db->lock);
    const rk::DbEntry *e = rk::db_find_locked(db, name);
    rk_collection_t *collection = e != nullptr ? e->collection : nullptr;
    rk_rwlock_rdunlock(db->lock);
    return collection;
}

RK_API uint64_t rk_vecdb_list_failed_collections(rk_vecdb_t *db, rk_vecdb_load_failure_t *failures,
                                                 uint64_t capacity) {
    if (!rk::db_usable(db)) return 0;
    rk_rwlock_rdlock(db->lock);
    uint64_t n = db->failed_count;
    if (failures != nullptr && capacity != 0) {
        if (capacity < n) n = capacity;
        for (uint64_t i = 0; i < n; ++i) failures[i] = {db->failed[i].name, db->failed[i].status};
    }
    rk_rwlock_rdunlock(db->lock);
    return n;
}

RK_API int rk_vecdb_has_collection(rk_vecdb_t *db, const rk_string_t *name) {
    return rk_vecdb_get_collection(db, name) != nullptr ? 1 : 0;
}

RK_API uint64_t rk_vecdb_list_collections(rk_vecdb_t *db, rk_string_t *names, uint64_t capacity) {
    if (!rk::db_usable(db)) return 0;
    rk_rwlock_rdlock(db->lock);
    uint64_t n = db->collection_count;
    if (names != nullptr && capacity != 0) {
        if (capacity < n) n = capacity;
        for (uint64_t i = 0; i < n; ++i) names[i] = db->collections[i].name;
    }
    rk_rwlock_rdunlock(db->lock);
    return n;
}

}  // extern "C"
