// SPDX-License-Identifier: Apache-2.0
// The database handle and its registry, shared by the handle, registry and
// shortcut sources (and by the persistence steps that extend open and close).
#ifndef RK_DB_DB_H
#define RK_DB_DB_H

#include <atomic>
#include <cstdint>

#include "rk_collection.h"
#include "rk_database.h"
#include "rk_memory.h"
#include "rk_platform.h"
#include "rk_storage.h"

namespace rk {

// Counts the by-name calls (insert, batch insert, search) that are using a
// collection after the registry lock was released. Lives in hook memory, not
// in the entry, because drop moves entries while holders still point here.
struct DbPin {
    std::atomic<uint64_t> users;
};

// One registry slot. The name is the collection's own copy, measured once.
struct DbEntry {
    rk_collection_t *collection;
    DbPin *pin;
    rk_string_t name;    // null data for a collection without a name
    uint32_t dimension;  // fixed for the collection's life
};

// A collection listed in the catalog that could not be loaded. Its name
// stays taken and listed in the catalog, and its files stay untouched,
// until the user drops it.
struct DbFailed {
    rk_string_t name;  // arena copy, NUL-terminated
    rk_status_t status;
};

// The longest collection name: the longest file name derived from it,
// "NAME.rkidx.tmp-XXXXXX" or "NAME.rkcol.damaged", must fit in the 255
// bytes file systems allow for one name.
inline constexpr uint64_t kDbNameMax = RK_VECDB_NAME_MAX;

inline constexpr uint64_t kDbDefaultArenaSize = 0x4000000;
inline constexpr uint64_t kDbDefaultCacheSize = 0x8000000;
inline constexpr uint64_t kDbInitialSlots = 16;

}  // namespace rk

struct rk_vecdb_t {
    rk_vecdb_config_t config;  // path points at the handle's own copy
    rk_arena_t *arena;         // path copy and registry arrays
    rk::DbEntry *collections;  // creation order
    uint64_t collection_count;
    uint64_t collection_capacity;
    rk_vecdb_stats_t stats;
    uint32_t is_open;
    int64_t opened_at;
    int32_t last_error;       // never written after open
    char error_message[260];  // never written after open
    rk_rwlock_t *lock;
    rk_storage_t *storage;  // the directory's storage file, or null
    int lock_fd;            // the directory's lock while held, else -1
    rk::DbFailed *failed;   // catalog entries that did not load, in catalog order
    uint64_t failed_count;
    uint64_t failed_capacity;
};

namespace rk {

// A collection found by name and pinned: it stays alive until release, even
// if another thread drops it meanwhile.
struct DbPinned {
    rk_collection_t *collection = nullptr;
    DbPin *pin = nullptr;
    uint32_t dimension = 0;
};

// True when the handle can be used.
inline bool db_usable(const rk_vecdb_t *db) { return db != nullptr && db->is_open != 0; }

// The first entry named `name`, or null. Caller holds the lock.
DbEntry *db_find_locked(rk_vecdb_t *db, const rk_string_t *name);

// Checks a name for registry use: non-null data, non-empty, and safe as a
// file name in a database directory.
bool db_name_acceptable(const rk_string_t *name);

// Checks a name for a new collection: acceptable, at most kDbNameMax bytes,
// and, in a database with a directory, short enough that every path derived
// from it fits. Caller holds the lock.
bool db_name_creatable(const rk_vecdb_t *db, const rk_string_t *name);

// The failed entry named `name`, or null. Caller holds the lock.
DbFailed *db_find_failed_locked(rk_vecdb_t *db, const rk_string_t *name);

// Forgets a failed entry and, in a writable database, removes the files it
// left (collection, index, a kept damaged copy). Caller holds the write lock.
void db_drop_failed_locked(rk_vecdb_t *db, DbFailed *entry);

// Appends a live collection (created or loaded) to the registry with a
// fresh pin, growing the registry when full; the registry then owns it.
// RK_ERR_NO_MEMORY when it cannot grow or the pin cannot be had (the caller
// still owns the collection then). Caller holds the write lock, or is open.
rk_status_t db_register_locked(rk_vecdb_t *db, rk_collection_t *collection);

// Looks `name` up and pins it. With a non-null `create` configuration a
// missing collection is created from it (under the write lock, so two
// threads creating the same name both end up with the one collection).
// RK_ERR_NOT_FOUND without `create`; create's failures otherwise.
rk_status_t db_acquire(rk_vecdb_t *db, const rk_string_t *name, const rk_collection_config_t *create,
                       DbPinned *out);
void db_release(DbPinned *pinned);

// Waits until no by-name call uses the pin any more.
void db_pin_drain(DbPin *pin);

// Extension points of the on-disk format. Open calls db_persistent_open
// after the registry exists when the configuration names a path and a
// non-zero storage mode; sync and close call db_save first.
// A persistent open refuses only a path that cannot be a database directory
// (too long, or a file) and has then loaded nothing; db_save reports the
// first failure after trying every save. db_persistent_close releases the
// storage file once the collections are gone.
rk_status_t db_persistent_open(rk_vecdb_t *db);
rk_status_t db_save(rk_vecdb_t *db);
void db_persistent_close(rk_vecdb_t *db);

// The registry's own teardown for close: waits for pinned users, destroys
// every collection and frees the pins. Caller holds the write lock.
void db_destroy_collections_locked(rk_vecdb_t *db);

// Log callback stored by rk_vecdb_set_log_callback (never called).
rk_log_callback_fn db_stored_log_callback(void **user_data);

}  // namespace rk

#endif
