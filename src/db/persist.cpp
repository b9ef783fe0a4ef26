// SPDX-License-Identifier: Apache-2.0
// On-disk databases: the directory P holds P/storage (a storage file),
// P/.rkmeta (the catalog) and, per named collection, P/NAME.rkcol and, when
// its index is built, P/NAME.rkidx. Open loads what the catalog lists; sync
// and close write every collection file and then the catalog, each file
// replaced crash-safely, so a crash leaves every collection as some
// completed save left it.
#include <cstdio>
#include <cstring>

#include "collection/collection_file.h"
#include "core/alloc.h"
#include "core/status.h"
#include "db/catalog.h"
#include "db/db.h"
#include "platform/file_os.h"
#include "rk_error.h"
#include "rk_platform.h"
#include "rk_storage.h"

namespace rk {
namespace {

// Every path of a database is formed into a buffer of this size; a path that
// does not fit is refused rather than cut short.
constexpr size_t kPathMax = 1024;
constexpr uint64_t kStoragePage = 4096;
constexpr uint64_t kStorageCapacity = 0x4000000;

bool has_path(const rk_vecdb_t *db) { return db->config.path.data != nullptr && db->config.path.len != 0; }

// "%s/%s%s" of the directory, a name and a suffix; RK_ERR_PATH_TOO_LONG when
// it does not fit.
rk_status_t form(char (&out)[kPathMax], const char *dir, const char *name, size_t name_len,
                 const char *suffix) {
    const int n = std::snprintf(out, sizeof out, "%s/%.*s%s", dir, int(name_len), name, suffix);
    return n >= 0 && size_t(n) < sizeof out && name_len < size_t(INT32_MAX) ? RK_OK : RK_ERR_PATH_TOO_LONG;
}

rk_storage_config_t storage_config(const char *path, int32_t access) {
    rk_storage_config_t cfg{};
    cfg.mode = RK_STORAGE_FILE;
    cfg.access = access;
    cfg.path = rk_string_t{path, std::strlen(path)};
    cfg.page_size = kStoragePage;
    cfg.capacity = kStorageCapacity;
    cfg.reserved2 = 1;
    cfg.reserved4 = 1;
    return cfg;
}

void open_storage(rk_vecdb_t *db) {
    char path[kPathMax];
    if (form(path, db->config.path.data, "storage", 7, "") != RK_OK) return;
    // A read-only database never writes, so it never creates either.
    int32_t access = RK_STORAGE_READ_WRITE;
    if (db->config.read_only)
        access = RK_STORAGE_READ_ONLY;
    else if (db->config.create_if_missing)
        access = RK_STORAGE_CREATE;
    const rk_storage_config_t cfg = storage_config(path, access);
    db->storage = rk_storage_create(db->arena, &cfg);
}

// Loads one catalog entry; entries that fail to load are skipped, except
// for a lack of memory, which fails the open.
rk_status_t load_listed(rk_vecdb_t *db, const char *name, size_t len) {
    const rk_string_t key{name, len};
    char copy[kPathMax];
    if (!db_name_acceptable(&key) || len >= sizeof copy || db_find_locked(db, &key) != nullptr) return RK_OK;
    std::memcpy(copy, name, len);
    copy[len] = '\0';
    char file[kPathMax], index[kPathMax];
    if (form(file, db->config.path.data, name, len, ".rkcol") != RK_OK) return RK_OK;
    if (form(index, db->config.path.data, name, len, ".rkidx") != RK_OK) return RK_OK;
    coll::FileOptions options;
    options.index_path = index;
    options.whole = true;       // a cut file is never taken as the whole collection
    options.lazy_index = true;  // a dormant index is filled when it is needed
    // Each collection gets an arena of its own, as created ones do.
    rk_collection_t *c = nullptr;
    const rk_status_t st = coll::load_file_ex(nullptr, file, options, &c);
    if (!c) return st == RK_ERR_NO_MEMORY ? st : RK_OK;
    // The catalog names it: a header keeps only 63 bytes of a name.
    const char *have = rk_collection_get_name(c);
    if (!have || std::strcmp(have, copy) != 0) c->name = rk_arena_strdup(c->arena, copy);
    const rk_status_t reg = c->name ? db_register_locked(db, c) : RK_ERR_NO_MEMORY;
    if (reg != RK_OK) rk_collection_destroy(c);
    return reg == RK_ERR_NO_MEMORY ? reg : RK_OK;
}

rk_status_t load_catalog(rk_vecdb_t *db) {
    char path[kPathMax];
    if (form(path, db->config.path.data, ".rkmeta", 7, "") != RK_OK) return RK_OK;
    size_t size = 0;
    rk_status_t st = RK_OK;
    HookPtr<char> text(catalog_read(path, &size, &st));
    if (!text) return st == RK_ERR_NO_MEMORY ? st : RK_OK;
    rk_rwlock_wrlock(db->lock);
    st = RK_OK;
    catalog_for_each(text.get(), size, [db, &st](const char *name, size_t len) {
        if (st == RK_OK) st = load_listed(db, name, len);
    });
    rk_rwlock_wrunlock(db->lock);
    return st;
}

// Saves one collection beside its index; the first failure wins.
rk_status_t save_one(const rk_vecdb_t *db, const DbEntry &e) {
    char file[kPathMax], index[kPathMax];
    RK_TRY(form(file, db->config.path.data, e.name.data, size_t(e.name.len), ".rkcol"));
    RK_TRY(form(index, db->config.path.data, e.name.data, size_t(e.name.len), ".rkidx"));
    coll::FileOptions options;
    options.index_path = index;
    options.sync_dir = false;  // once for all files, before the catalog
    return coll::save_file(e.collection, file, options);
}

rk_status_t ensure_directory(const char *path) {
    os::PathInfo info;
    (void)os::stat_path(path, &info);
    if (info.is_directory) return RK_OK;
    if (info.exists) return RK_ERR_EXISTS;
    const rk_string_t p{path, std::strlen(path)};
    return rk_file_mkdir_recursive(&p) == RK_OK ? RK_OK : RK_ERR_IO;
}

// True for the temporary name of an interrupted save of a database file:
// NAME.rkcol, NAME.rkidx or .rkmeta followed by ".tmp-" and six characters.
bool is_leftover(const char *name) {
    static const char kTag[] = ".tmp-";
    static const char *const kKinds[] = {".rkcol", ".rkidx", ".rkmeta"};
    const size_t n = std::strlen(name), tail = sizeof kTag - 1 + 6;
    if (n <= tail || std::memcmp(name + n - tail, kTag, sizeof kTag - 1) != 0) return false;
    for (const char *kind : kKinds) {
        const size_t k = std::strlen(kind);
        if (n - tail >= k && std::memcmp(name + n - tail - k, kind, k) == 0) return true;
    }
    return false;
}

// A crash during a save leaves its temporary file behind; the files it was
// to replace are intact, so the leftovers are only taking room.
void remove_leftovers(const char *dir) {
    os::DirStream *d = os::dir_open(dir);
    if (!d) return;
    char path[kPathMax];
    while (const char *name = os::dir_next(d)) {
        if (is_leftover(name) && form(path, dir, name, std::strlen(name), "") == RK_OK) {
            (void)os::remove_file(path);
        }
    }
    os::dir_close(d);
}

void keep_first(rk_status_t *first, rk_status_t st) {
    if (*first == RK_OK) *first = st;
}

}  // namespace

rk_status_t db_persistent_open(rk_vecdb_t *db) {
    const char *path = db->config.path.data;
    char probe[kPathMax];
    // The longest fixed name in the directory is ".rkmeta"; collection files
    // are checked when they are written.
    RK_TRY(form(probe, path, ".rkmeta", 7, ""));
    os::PathInfo info;
    (void)os::stat_path(path, &info);
    // A file where the directory belongs is never replaced.
    RK_RETURN_IF(info.exists && !info.is_directory, RK_ERR_EXISTS);
    if (!info.exists && db->config.create_if_missing && !db->config.read_only) {
        const rk_string_t p{path, size_t(db->config.path.len)};
        (void)rk_file_mkdir_recursive(&p);
    }
    if (!db->config.read_only) remove_leftovers(path);
    open_storage(db);
    const rk_status_t st = load_catalog(db);
    if (st != RK_OK) {
        // Out of memory: the open fails as a whole and writes nothing.
        rk_rwlock_wrlock(db->lock);
        db_destroy_collections_locked(db);
        rk_rwlock_wrunlock(db->lock);
        db_persistent_close(db);
    }
    return st;
}

rk_status_t db_save(rk_vecdb_t *db) {
    if (!has_path(db) || db->config.read_only) return RK_OK;
    const char *path = db->config.path.data;
    char catalog[kPathMax];
    RK_TRY(form(catalog, path, ".rkmeta", 7, ""));
    RK_TRY(ensure_directory(path));
    rk_status_t first = RK_OK;
    CatalogText text;
    // The read lock keeps creates and drops out while the files are written;
    // each collection's own read lock keeps its writers out of its save.
    rk_rwlock_rdlock(db->lock);
    for (uint64_t i = 0; i < db->collection_count; ++i) {
        const DbEntry &e = db->collections[i];
        if (!e.name.data) continue;
        keep_first(&first, save_one(db, e));
        if (!text.add(e.name.data, size_t(e.name.len))) keep_first(&first, RK_ERR_NO_MEMORY);
    }
    rk_rwlock_rdunlock(db->lock);
    // The renames above must be durable before the catalog lists them.
    if (os::sync_dir(path) != 0) keep_first(&first, RK_ERR_IO);
    // Written even when empty: a dropped collection must not come back.
    if (first != RK_ERR_NO_MEMORY)
        keep_first(&first, file_write_atomic(catalog, text.data() ? text.data() : "", text.size()));
    if (db->storage) keep_first(&first, rk_storage_sync(db->storage));
    return first;
}

void db_persistent_close(rk_vecdb_t *db) {
    if (db->storage) (void)rk_storage_close(db->storage);
    db->storage = nullptr;
}

}  // namespace rk
