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
#include "rk_log.h"
#include "rk_platform.h"
#include "rk_storage.h"
#include "rk_string.h"

namespace rk {
namespace {

// Every path of a database is formed into a buffer of the system's path
// size; a path that does not fit is refused rather than cut short.
using os::kPathMax;
constexpr uint64_t kStoragePage = 4096;
constexpr uint64_t kStorageCapacity = 0x4000000;
// Held by the one read-write handle of a directory.
constexpr char kLockName[] = ".rklock";

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

// The storage file is written in place, so it must be the directory's own
// file: a symbolic link there would carry the writes outside the directory.
rk_status_t open_storage(rk_vecdb_t *db) {
    char path[kPathMax];
    RK_TRY(form(path, db->config.path.data, "storage", 7, ""));
    // A read-only database never writes, so it never creates either.
    int32_t access = RK_STORAGE_READ_WRITE;
    if (db->config.read_only)
        access = RK_STORAGE_READ_ONLY;
    else if (db->config.create_if_missing)
        access = RK_STORAGE_CREATE;
    os::PathInfo own;
    (void)os::stat_path(path, &own, false);
    const bool foreign = own.exists && !own.is_regular;
    RK_RETURN_IF(foreign && access != RK_STORAGE_READ_ONLY, RK_ERR_PERMISSION);
    const rk_storage_config_t cfg = storage_config(path, access);
    db->storage = rk_storage_create(db->arena, &cfg);
    return RK_OK;
}

// Remembers a catalog entry that did not load and says so in the log.
rk_status_t note_failed(rk_vecdb_t *db, const char *name, size_t len, rk_status_t why) {
    if (db->failed_count == db->failed_capacity) {
        const uint64_t slots = db->failed_capacity == 0 ? 4 : 2 * db->failed_capacity;
        DbFailed *bigger = arena_array<DbFailed>(db->arena, size_t(slots));
        RK_RETURN_IF(!bigger, RK_ERR_NO_MEMORY);
        if (db->failed_count) std::memcpy(bigger, db->failed, size_t(db->failed_count) * sizeof(DbFailed));
        db->failed = bigger;
        db->failed_capacity = slots;
    }
    char *copy = static_cast<char *>(rk_arena_alloc(db->arena, len + 1));
    RK_RETURN_IF(!copy, RK_ERR_NO_MEMORY);
    std::memcpy(copy, name, len);
    copy[len] = '\0';
    db->failed[db->failed_count++] = DbFailed{rk_string_t{copy, len}, why};
    RK_LOG(RK_LOG_WARN, "collection \"%s\" in %s was not loaded: %s (%d); its files are kept", copy,
           db->config.path.data, rk_error_message(why), int(why));
    return RK_OK;
}

// Loads one catalog entry. Only a shortage of memory is returned (it fails
// the open); any other failure keeps the entry as a failed one. Names no
// collection could have been created with, and repeats, are passed over.
rk_status_t load_listed(rk_vecdb_t *db, const char *name, size_t len) {
    const rk_string_t key{name, len};
    if (!db_name_acceptable(&key) || db_find_locked(db, &key) != nullptr) return RK_OK;
    if (db_find_failed_locked(db, &key) != nullptr) return RK_OK;
    char file[kPathMax], index[kPathMax];
    rk_status_t why = form(file, db->config.path.data, name, len, ".rkcol");
    if (why == RK_OK) why = form(index, db->config.path.data, name, len, ".rkidx");
    if (why != RK_OK) return note_failed(db, name, len, why);
    coll::FileOptions options;
    options.index_path = index;
    options.load_status = &why;
    options.whole = true;       // a cut file is never taken as the whole collection
    options.lazy_index = true;  // a dormant index is filled when it is needed
    // Each collection gets an arena of its own, as created ones do.
    rk_collection_t *c = coll::load_file(nullptr, file, options);
    if (!c) return why == RK_ERR_NO_MEMORY ? why : note_failed(db, name, len, why == RK_OK ? RK_ERR_IO : why);
    // The catalog names it: a header keeps only 63 bytes of a name.
    const char *have = rk_collection_get_name(c);
    if (!have || std::strlen(have) != len || std::memcmp(have, name, len) != 0) {
        char *copy = static_cast<char *>(rk_arena_alloc(c->arena, len + 1));
        if (copy) {
            std::memcpy(copy, name, len);
            copy[len] = '\0';
        }
        c->name = copy;
    }
    why = c->name ? db_register_locked(db, c) : RK_ERR_NO_MEMORY;
    if (why != RK_OK) rk_collection_destroy(c);
    return why;
}

// Reads the catalog and loads what it lists. A missing catalog is an empty
// database; one that cannot be read fails the open, since saving without it
// would forget every collection.
rk_status_t load_catalog(rk_vecdb_t *db) {
    char path[kPathMax];
    RK_TRY(form(path, db->config.path.data, ".rkmeta", 7, ""));
    size_t size = 0;
    char *raw = nullptr;
    const rk_status_t read = catalog_read(path, &raw, &size);
    HookPtr<char> text(raw);
    if (read == RK_ERR_NOT_FOUND) return RK_OK;
    RK_TRY(read);
    rk_status_t st = RK_OK;
    rk_rwlock_wrlock(db->lock);
    catalog_for_each(text.get(), size, [db, &st](const char *name, size_t len) {
        if (st == RK_OK) st = load_listed(db, name, len);
    });
    rk_rwlock_wrunlock(db->lock);
    return st;
}

// Creates the directory and any missing parents; the system's cause when it
// cannot be had (a dangling link where it belongs is RK_ERR_NOT_FOUND).
rk_status_t make_directory(char *path) {
    os::PathInfo info;
    for (char *c = path + 1; *c; ++c) {
        if (*c != '/') continue;
        *c = '\0';
        const bool made =
            os::stat_path(path, &info) == 0 || os::make_dir(path) == 0 || os::last_error_was_exists();
        const rk_status_t cause = made ? RK_OK : os::last_error_status();
        *c = '/';
        RK_TRY(cause);
    }
    if (os::make_dir(path) != 0 && !os::last_error_was_exists()) return os::last_error_status();
    if (os::stat_path(path, &info) == 0 && info.is_directory) return RK_OK;
    return info.exists ? RK_ERR_EXISTS : RK_ERR_NOT_FOUND;
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
    char copy[kPathMax];
    RK_TRY(form(copy, path, "", 0, ""));
    copy[std::strlen(copy) - 1] = '\0';  // without the "/" form added
    return make_directory(copy);
}

// Takes the directory's lock: one read-write handle per directory, in this
// process or any other.
rk_status_t take_lock(const char *dir, int *fd) {
    char path[kPathMax];
    RK_TRY(form(path, dir, kLockName, sizeof kLockName - 1, ""));
    switch (os::lock_file(path, fd)) {
        case os::Lock::acquired:
            return RK_OK;
        case os::Lock::busy:
            return RK_ERR_FILE_LOCKED;
        case os::Lock::failed:
            break;
    }
    return os::last_error_status();
}

void release_lock(rk_vecdb_t *db) {
    os::unlock_file(db->lock_fd);
    db->lock_fd = -1;
}

// Undoes a persistent open that failed after taking the lock.
rk_status_t abandon_open(rk_vecdb_t *db, rk_status_t why) {
    rk_rwlock_wrlock(db->lock);
    db_destroy_collections_locked(db);
    rk_rwlock_wrunlock(db->lock);
    db_persistent_close(db);
    return why;
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

// A handle that holds no lock takes the directory's lock for its save: a
// memory-mode one with a path for the length of that save, a persistent one
// whose directory did not exist at open from then on.
class SaveLock {
public:
    explicit SaveLock(rk_vecdb_t *db) : db_(db), keep_(db->config.storage_mode != RK_DB_MEMORY) {}
    SaveLock(const SaveLock &) = delete;
    SaveLock &operator=(const SaveLock &) = delete;
    ~SaveLock() {
        if (taken_ && !keep_) release_lock(db_);
    }
    rk_status_t take() {
        if (db_->lock_fd >= 0) return RK_OK;
        RK_TRY(take_lock(db_->config.path.data, &db_->lock_fd));
        taken_ = true;
        return RK_OK;
    }

private:
    rk_vecdb_t *db_;
    bool keep_;
    bool taken_ = false;
};

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
    const bool writer = !db->config.read_only;
    if (!info.exists && db->config.create_if_missing && writer) RK_TRY(ensure_directory(path));
    // Readers take no lock: every file is replaced whole by a rename, so
    // they see the last completed save even beside a writer. A writer whose
    // directory does not exist yet takes it when its first save makes it.
    os::PathInfo now;
    (void)os::stat_path(path, &now);
    if (writer && now.is_directory) RK_TRY(take_lock(path, &db->lock_fd));
    // Everything is loaded before anything is written, so an open that
    // fails for want of memory leaves the directory as it found it.
    const rk_status_t loaded = load_catalog(db);
    if (loaded != RK_OK) return abandon_open(db, loaded);
    if (writer) remove_leftovers(path);
    const rk_status_t storage = open_storage(db);
    if (storage != RK_OK) return abandon_open(db, storage);
    return RK_OK;
}

rk_status_t db_save(rk_vecdb_t *db) {
    if (!has_path(db) || db->config.read_only) return RK_OK;
    const char *path = db->config.path.data;
    char catalog[kPathMax];
    RK_TRY(form(catalog, path, ".rkmeta", 7, ""));
    RK_TRY(ensure_directory(path));
    SaveLock lock(db);
    RK_TRY(lock.take());
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
    // Collections that did not load stay listed until they are dropped.
    for (uint64_t i = 0; i < db->failed_count; ++i) {
        const DbFailed &f = db->failed[i];
        if (!text.add(f.name.data, size_t(f.name.len))) keep_first(&first, RK_ERR_NO_MEMORY);
    }
    rk_rwlock_rdunlock(db->lock);
    // The renames above must be durable before the catalog lists them.
    if (os::sync_dir(path) != 0) keep_first(&first, os::last_error_status());
    // Written even when empty: a dropped collection must not come back.
    if (first != RK_ERR_NO_MEMORY)
        keep_first(&first, file_write_atomic(catalog, text.data() ? text.data() : "", text.size()));
    if (db->storage) keep_first(&first, rk_storage_sync(db->storage));
    return first;
}

void db_persistent_close(rk_vecdb_t *db) {
    if (db->storage) (void)rk_storage_close(db->storage);
    db->storage = nullptr;
    release_lock(db);
}

bool db_name_creatable(const rk_vecdb_t *db, const rk_string_t *name) {
    if (!db_name_acceptable(name) || name->len > kDbNameMax) return false;
    if (!has_path(db)) return true;
    // The longest path derived from a name: a temporary file of a save.
    char longest[kPathMax];
    return form(longest, db->config.path.data, name->data, size_t(name->len), ".rkcol.tmp-XXXXXX") == RK_OK;
}

DbFailed *db_find_failed_locked(rk_vecdb_t *db, const rk_string_t *name) {
    for (uint64_t i = 0; i < db->failed_count; ++i) {
        if (rk_strcmp(&db->failed[i].name, name) == 0) return &db->failed[i];
    }
    return nullptr;
}

void db_drop_failed_locked(rk_vecdb_t *db, DbFailed *entry) {
    if (has_path(db) && !db->config.read_only) {
        static const char *const kKinds[] = {".rkcol", ".rkidx", ".rkcol.damaged"};
        char file[kPathMax];
        for (const char *kind : kKinds) {
            if (form(file, db->config.path.data, entry->name.data, size_t(entry->name.len), kind) == RK_OK)
                (void)os::remove_file(file);
        }
    }
    DbFailed *end = db->failed + db->failed_count;
    std::memmove(entry, entry + 1, size_t(end - (entry + 1)) * sizeof(DbFailed));
    db->failed_count -= 1;
}

}  // namespace rk
