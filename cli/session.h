// SPDX-License-Identifier: Apache-2.0
// An open database as the commands use it: opening with the checks the tool
// adds (a missing database is not made unless asked, a path that is not a
// directory is refused, collection names must be safe file names) and
// collections by name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "metadata.h"
#include "output.h"
#include "zevud.h"

namespace zcli {

[[noreturn]] void library_failure(const std::string &what, rk_status_t status);

struct NamedValue {
    const char *name;
    int32_t value;
};
inline constexpr NamedValue kMetrics[] = {
    {"l2", RK_METRIC_L2}, {"ip", RK_METRIC_IP}, {"cosine", RK_METRIC_COSINE}};
inline constexpr NamedValue kIndexTypes[] = {{"flat", RK_INDEX_FLAT},       {"ivf", RK_INDEX_IVF},
                                             {"hnsw", RK_INDEX_HNSW},       {"ivf-pq", RK_INDEX_IVF_PQ},
                                             {"hnsw-pq", RK_INDEX_HNSW_PQ}, {"ivf-sq", RK_INDEX_IVF_SQ},
                                             {"hnsw-sq", RK_INDEX_HNSW_SQ}};
const char *metric_name(int32_t metric);
const char *index_name(int32_t type);  // "none" for -1

// Search effort, the one setting of an index that changes without a
// rebuild: the candidate-list size of the HNSW types (option --ef), the
// number of lists the IVF types scan (option --nprobe).
struct Effort {
    const char *option;  // "ef" or "nprobe"
    uint32_t value;      // 0: the collection's stored setting
};
// The effort option an index type takes: "nprobe" for the IVF types (odd),
// "ef" for the HNSW types.
const char *effort_option(int32_t type);
// --ef or --nprobe as given (value 1 .. 2^32-1), option null when neither;
// throws CliError(kExitUsage) when both are given.
Effort effort_arg(const Args &a);
// The collection's stored effort for its index family; option null without
// an index.
Effort stored_effort(rk_collection_t *c);
// How the collection's next index build is made: --m and --ef-construction
// (HNSW), --nlist (IVF), --seed (either). Absent options stay 0 / unset.
struct BuildSettings {
    uint32_t m = 0, ef_construction = 0, nlist = 0;
    bool has_nlist = false, has_seed = false;
    uint64_t seed = 0;
    bool any() const { return m || ef_construction || has_nlist || has_seed; }
};
#define ZCLI_BUILD_OPTIONS                                                                        \
    {"m", 0, "N", "HNSW: neighbours per node of the next build (2..512; default 16)"},            \
        {"ef-construction", 0, "N", "HNSW: candidate-list size while building (default 200)"},  \
        {"nlist", 0, "N", "IVF: list count of the next build (0: about 4 x sqrt(rows))"},       \
        {"seed", 0, "N", "seed of the build's generator: same data + settings + seed = same index"}
// Reads the options; throws CliError(kExitUsage) for values out of range.
BuildSettings build_settings_arg(const Args &a);
// Stores the settings on the collection; throws CliError naming the option
// its index family does not take.
void apply_build_settings(rk_collection_t *c, const std::string &name, const BuildSettings &b);
// Looks a word up in a table; throws CliError(kExitUsage) naming the choices.
template <size_t N>
int32_t lookup(const NamedValue (&table)[N], const std::string &word, const char *option);

// Collection names become file names in the database directory.
void check_collection_name(const std::string &name);

class Session {
public:
    enum Mode { read_only, read_write, create };
    // Opens the database directory `dir`; `create` makes a missing one,
    // `read_only` writes nothing back at close. Throws CliError: kExitData
    // for a missing database, a path that is not a directory, or a directory
    // with other files but no database; kExitLibrary when the library refuses.
    Session(const std::string &dir, Mode mode);
    // An in-memory database (no directory).
    Session();
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Saves and closes; throws CliError(kExitLibrary) on failure.
    void close();
    rk_vecdb_t *db() const { return db_; }
    const std::string &dir() const { return dir_; }
    bool persistent() const { return !dir_.empty(); }

    std::vector<std::string> names() const;
    rk_collection_t *find(const std::string &name) const;  // null if absent
    rk_collection_t *get(const std::string &name) const;   // throws kExitData if absent

private:
    rk_vecdb_t *db_ = nullptr;
    std::string dir_;
};

// Ids of the collection's records, ascending.
std::vector<uint64_t> live_ids(rk_collection_t *c);

}  // namespace zcli
