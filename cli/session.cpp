// SPDX-License-Identifier: Apache-2.0
// Opening databases and reaching their collections for the commands.
#include "session.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "rk_log.h"

namespace zcli {

void library_failure(const std::string &what, rk_status_t status) {
    throw CliError(kExitLibrary,
                   what + ": " + rk_error_message(status) + " (status " + std::to_string(status) + ")");
}

const char *metric_name(int32_t metric) {
    for (const NamedValue &m : kMetrics)
        if (m.value == metric) return m.name;
    return "?";
}

const char *index_name(int32_t type) {
    if (type < 0) return "none";
    for (const NamedValue &t : kIndexTypes)
        if (t.value == type) return t.name;
    return "?";
}

const char *effort_option(int32_t type) { return type % 2 != 0 ? "nprobe" : "ef"; }

Effort effort_arg(const Args &a) {
    if (a.has("ef") && a.has("nprobe"))
        throw CliError(kExitUsage, "give at most one of --ef (HNSW indexes) and --nprobe (IVF indexes)");
    for (const char *option : {"ef", "nprobe"})
        if (a.has(option)) return {option, uint32_t(a.get_u64(option, 0, 1, UINT32_MAX))};
    return {nullptr, 0};
}

Effort stored_effort(rk_collection_t *c) {
    Effort e{nullptr, 0};
    if (rk_collection_get_ef_search(c, &e.value) == RK_OK)
        e.option = "ef";
    else if (rk_collection_get_nprobe(c, &e.value) == RK_OK)
        e.option = "nprobe";
    return e;
}

BuildSettings build_settings_arg(const Args &a) {
    BuildSettings b;
    b.m = uint32_t(a.get_u64("m", 0, 2, 512));
    b.ef_construction = uint32_t(a.get_u64("ef-construction", 0, 1, 1u << 20));
    b.has_nlist = a.has("nlist");
    b.nlist = uint32_t(a.get_u64("nlist", 0, 0, 1u << 20));
    b.has_seed = a.has("seed");
    b.seed = a.get_u64("seed", 0, 0, UINT64_MAX);
    return b;
}

void apply_build_settings(rk_collection_t *c, const std::string &name, const BuildSettings &b) {
    auto refuse = [&](const char *option, rk_status_t st) {
        if (st == RK_ERR_NOT_SUPPORTED)
            throw CliError(kExitUsage, std::string("--") + option + " does not apply to collection '" + name +
                                           "' (its index is " + index_name(c->index ? int32_t(rk_index_get_type(c->index)) : -1) + ")");
        library_failure(std::string("cannot store --") + option, st);
    };
    if (b.m || b.ef_construction) {
        uint32_t m = 0, efc = 0;
        rk_status_t st = rk_collection_get_hnsw_build(c, &m, &efc);
        if (st == RK_OK) st = rk_collection_set_hnsw_build(c, b.m ? b.m : m, b.ef_construction ? b.ef_construction : efc);
        if (st != RK_OK) refuse(b.m ? "m" : "ef-construction", st);
    }
    if (b.has_nlist) {
        const rk_status_t st = rk_collection_set_nlist(c, b.nlist);
        if (st != RK_OK) refuse("nlist", st);
    }
    if (b.has_seed) {
        const rk_status_t st = rk_collection_set_build_seed(c, b.seed);
        if (st != RK_OK) refuse("seed", st);
    }
}

template <size_t N>
int32_t lookup(const NamedValue (&table)[N], const std::string &word, const char *option) {
    std::string choices;
    for (const NamedValue &v : table) {
        if (word == v.name) return v.value;
        choices += choices.empty() ? v.name : std::string("|") + v.name;
    }
    throw CliError(kExitUsage,
                   std::string("--") + option + " must be one of " + choices + ", not '" + word + "'");
}
template int32_t lookup(const NamedValue (&)[3], const std::string &, const char *);
template int32_t lookup(const NamedValue (&)[7], const std::string &, const char *);

void check_collection_name(const std::string &name) {
    bool ok = !name.empty() && name.size() <= 63 && name[0] != '.' && name[0] != '-';
    for (char c : name)
        ok = ok && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '-' || c == '.');
    if (!ok)
        throw CliError(
            kExitUsage,
            "collection name '" + name +
                "' must be 1 to 63 letters, digits, '_', '-' or '.', not starting with '.' or '-'");
}

Session::Session() {
    const rk_status_t st = rk_vecdb_open(nullptr, 0, &db_);
    if (st != RK_OK) library_failure("cannot open an in-memory database", st);
}

namespace {

bool exists(const std::string &p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0;
}

bool empty_dir(const std::string &p) {
    DIR *d = opendir(p.c_str());
    if (!d) return false;
    bool empty = true;
    while (const dirent *e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) empty = false;
    closedir(d);
    return empty;
}

void quiet_log(uint32_t, const char *, uint32_t, const char *, int64_t, const char *, void *) {}

// Names the collections the catalog lists that could not be loaded; they
// stay in the directory untouched until dropped.
void report_failed(const std::string &dir, rk_vecdb_t *db) {
    std::vector<rk_vecdb_load_failure_t> failed(rk_vecdb_list_failed_collections(db, nullptr, 0));
    failed.resize(rk_vecdb_list_failed_collections(db, failed.data(), failed.size()));
    for (const rk_vecdb_load_failure_t &f : failed) {
        std::fprintf(stderr,
                     "zevud: warning: %s: collection '%.*s' could not be loaded: %s (status %d); "
                     "its files are kept (drop it to remove them)\n",
                     dir.c_str(), int(f.name.len), f.name.data, rk_error_message(f.status), int(f.status));
    }
}

}  // namespace

Session::Session(const std::string &dir, Mode mode) : dir_(dir) {
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0) {
        // Never let a mistyped path near a plain file or a foreign directory.
        if (!S_ISDIR(st.st_mode)) throw CliError(kExitData, dir + ": exists and is not a database directory");
        if (!exists(dir + "/.rkmeta") && !exists(dir + "/storage") && (mode != create || !empty_dir(dir)))
            throw CliError(kExitData, dir + ": is not a zevud database" +
                                          std::string(mode == create ? " (and not empty)" : ""));
    } else if (mode != create) {
        throw CliError(kExitData, dir + ": no such database (" + std::strerror(errno) + ")");
    }
    rk_vecdb_config_t cfg{};
    cfg.path = rk_string_t{dir_.c_str(), dir_.size()};
    cfg.storage_mode = RK_DB_PERSISTENT;
    cfg.create_if_missing = mode == create ? 1 : 0;
    cfg.read_only = mode == read_only ? 1 : 0;
    // Collections that cannot be loaded are reported below, on stderr, not
    // as log lines mixed into the command's output.
    rk_log_set_callback(&quiet_log, nullptr);
    const rk_status_t s = rk_vecdb_open_ex(&cfg, &db_);
    rk_log_set_callback(nullptr, nullptr);
    if (s == RK_ERR_NOT_SUPPORTED)
        throw CliError(kExitLibrary, dir + ": this build of the library keeps databases in memory only");
    if (s == RK_ERR_FILE_LOCKED)
        throw CliError(kExitLibrary, dir +
                                         ": the database is locked: another program has it open for writing "
                                         "(read-only commands still work; try again when it is done)");
    if (s != RK_OK) library_failure(dir + ": cannot open database", s);
    report_failed(dir, db_);
}

Session::~Session() {
    if (db_) rk_vecdb_close(db_);
}

void Session::close() {
    rk_vecdb_t *db = db_;
    db_ = nullptr;
    const rk_status_t s = rk_vecdb_close(db);
    if (s != RK_OK) library_failure(dir_ + ": closing the database failed", s);
}

std::vector<std::string> Session::names() const {
    const uint64_t n = rk_vecdb_list_collections(db_, nullptr, 0);
    std::vector<rk_string_t> raw(n);
    const uint64_t got = n ? rk_vecdb_list_collections(db_, raw.data(), n) : 0;
    std::vector<std::string> out;
    for (uint64_t i = 0; i < got && i < n; ++i) out.emplace_back(raw[i].data, raw[i].len);
    return out;
}

rk_collection_t *Session::find(const std::string &name) const {
    const rk_string_t s{name.c_str(), name.size()};
    return rk_vecdb_get_collection(db_, &s);
}

rk_collection_t *Session::get(const std::string &name) const {
    rk_collection_t *c = find(name);
    if (!c)
        throw CliError(kExitData, (dir_.empty() ? std::string("database") : dir_) +
                                      ": no collection named '" + name + "'");
    return c;
}

namespace {
int collect_id(uint64_t id, const float *, uint32_t, void *user) {
    static_cast<std::vector<uint64_t> *>(user)->push_back(id);
    return 1;
}
}  // namespace

std::vector<uint64_t> live_ids(rk_collection_t *c) {
    std::vector<uint64_t> ids;
    rk_collection_foreach(c, nullptr, collect_id, &ids);
    return ids;
}

}  // namespace zcli
