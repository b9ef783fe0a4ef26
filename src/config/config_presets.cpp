// SPDX-License-Identifier: Apache-2.0
// Presets of HNSW tuning values and the conversions of a store into the
// records that open a database and create a collection. A conversion writes
// every default first, then lets each key present with the right type and an
// accepted value override its field; anything else is ignored.
#include <cstring>

#include "config/config_store.h"
#include "core/status.h"

namespace {

using rk::config::Node;

struct Preset {
    int64_t m;
    int64_t ef_construction;
    int64_t ef_search;
};

constexpr Preset kEmbedded = {8, 50, 32};
constexpr Preset kMobileHigh = {32, 200, 100};
constexpr Preset kMobileLow = {16, 100, 50};

constexpr uint64_t kDefaultArenaSize = 0x6400000;  // 100 MiB
constexpr uint64_t kDefaultCacheSize = 0x3200000;  // 50 MiB
constexpr uint32_t kDefaultDimension = 128;
constexpr char kDefaultPath[] = "./data";

rk_status_t set_int(rk_config_t *config, const char *key, int64_t value) {
    const rk_string_t view = {key, std::strlen(key)};
    return rk_config_set(config, &view, &value, RK_CONFIG_INT);
}

// Every key is attempted; the first failure is what the caller hears about.
rk_status_t apply(rk_config_t *config, const Preset &p) {
    RK_RETURN_IF(!config, RK_ERR_INVALID_ARG);
    const rk_status_t s1 = set_int(config, "index.hnsw.M", p.m);
    const rk_status_t s2 = set_int(config, "index.hnsw.ef_construction", p.ef_construction);
    const rk_status_t s3 = set_int(config, "index.hnsw.ef_search", p.ef_search);
    return s1 != RK_OK ? s1 : (s2 != RK_OK ? s2 : s3);
}

const Node *typed(const rk_config_t *config, const char *key, int32_t type) {
    const Node *node = rk::config::find(config, key);
    return (node && node->type == type) ? node : nullptr;
}

// A word and the number it stands for in a record field.
struct Word {
    const char *text;
    uint32_t value;
};

constexpr Word kStorageModes[] = {{"memory", RK_DB_MEMORY}, {"persistent", RK_DB_PERSISTENT}};
constexpr Word kMetrics[] = {{"l2", RK_METRIC_L2}, {"ip", RK_METRIC_IP}, {"cosine", RK_METRIC_COSINE}};
constexpr Word kIndexTypes[] = {{"hnsw", RK_INDEX_HNSW}, {"ivf", RK_INDEX_IVF}, {"flat", RK_INDEX_FLAT}};

// Exact, case-sensitive match of the whole stored text against a table;
// the field keeps its value when nothing matches.
template <size_t N, class Field>
void apply_word(const rk_config_t *config, const char *key, const Word (&words)[N], Field *field) {
    const Node *node = typed(config, key, RK_CONFIG_STRING);
    if (!node) return;
    const rk_string_t *text = node->value.s;
    for (const Word &w : words) {
        if (std::strlen(w.text) == text->len && std::memcmp(w.text, text->data, text->len) == 0) {
            *field = static_cast<Field>(w.value);
            return;
        }
    }
}

void apply_text(const rk_config_t *config, const char *key, rk_string_t *field) {
    const Node *node = typed(config, key, RK_CONFIG_STRING);
    if (node) *field = *node->value.s;
}

void apply_positive(const rk_config_t *config, const char *key, uint64_t *field) {
    const Node *node = typed(config, key, RK_CONFIG_INT);
    if (node && node->value.i > 0) *field = static_cast<uint64_t>(node->value.i);
}

void apply_flag(const rk_config_t *config, const char *key, uint32_t *field) {
    const Node *node = typed(config, key, RK_CONFIG_BOOL);
    if (node) *field = node->value.b != 0 ? 1u : 0u;
}

// A dimension that does not fit the 32-bit field is refused rather than cut
// to its low bits, which would turn 2^32 into 0 and 2^32 + 128 into 128.
void apply_dimension(const rk_config_t *config, const char *key, uint32_t *field) {
    const Node *node = typed(config, key, RK_CONFIG_INT);
    if (node && node->value.i > 0 && node->value.i <= static_cast<int64_t>(UINT32_MAX)) {
        *field = static_cast<uint32_t>(node->value.i);
    }
}

// An integer key that fits a u32 field: 1 when present (stored in *out),
// 0 when absent or of another type, -1 when out of range.
int int_key(const rk_config_t *config, const char *key, uint64_t max, uint64_t *out) {
    const Node *node = typed(config, key, RK_CONFIG_INT);
    if (!node) return 0;
    if (node->value.i < 0 || static_cast<uint64_t>(node->value.i) > max) return -1;
    *out = static_cast<uint64_t>(node->value.i);
    return 1;
}

// A setter's refusal for the other index family is no failure here.
bool applied(rk_status_t st) { return st == RK_OK || st == RK_ERR_NOT_SUPPORTED; }

}  // namespace

extern "C" {

RK_API rk_status_t rk_config_apply_to_collection(const rk_config_t *config, rk_collection_t *collection) {
    RK_RETURN_IF(!config || !collection, RK_ERR_INVALID_ARG);
    uint64_t m = 0, efc = 0, v = 0;
    const int has_m = int_key(config, "index.hnsw.M", UINT32_MAX, &m);
    const int has_efc = int_key(config, "index.hnsw.ef_construction", UINT32_MAX, &efc);
    RK_RETURN_IF(has_m < 0 || has_efc < 0, RK_ERR_INVALID_ARG);
    if (has_m || has_efc) {
        uint32_t cur_m = 0, cur_efc = 0;
        if (rk_collection_get_hnsw_build(collection, &cur_m, &cur_efc) == RK_OK) {
            RK_RETURN_IF(!applied(rk_collection_set_hnsw_build(collection, has_m ? uint32_t(m) : cur_m,
                                                               has_efc ? uint32_t(efc) : cur_efc)),
                         RK_ERR_INVALID_ARG);
        }
    }
    int has = int_key(config, "index.hnsw.ef_search", UINT32_MAX, &v);
    RK_RETURN_IF(has < 0 || (has && !applied(rk_collection_set_ef_search(collection, uint32_t(v)))),
                 RK_ERR_INVALID_ARG);
    has = int_key(config, "index.ivf.nlist", UINT32_MAX, &v);
    RK_RETURN_IF(has < 0 || (has && !applied(rk_collection_set_nlist(collection, uint32_t(v)))),
                 RK_ERR_INVALID_ARG);
    has = int_key(config, "index.ivf.nprobe", UINT32_MAX, &v);
    RK_RETURN_IF(has < 0 || (has && !applied(rk_collection_set_nprobe(collection, uint32_t(v)))),
                 RK_ERR_INVALID_ARG);
    has = int_key(config, "index.seed", INT64_MAX, &v);
    RK_RETURN_IF(has < 0 || (has && !applied(rk_collection_set_build_seed(collection, v))),
                 RK_ERR_INVALID_ARG);
    return RK_OK;
}


RK_API rk_status_t rk_config_apply_preset_embedded(rk_config_t *config) { return apply(config, kEmbedded); }

RK_API rk_status_t rk_config_apply_preset_mobile_high(rk_config_t *config) {
    return apply(config, kMobileHigh);
}

RK_API rk_status_t rk_config_apply_preset_mobile_low(rk_config_t *config) {
    return apply(config, kMobileLow);
}

RK_API rk_status_t rk_config_to_db_config(const rk_config_t *config, rk_vecdb_config_t *out) {
    RK_RETURN_IF(!config || !out, RK_ERR_INVALID_ARG);
    rk_vecdb_config_t c{};
    c.path = rk_string_t{kDefaultPath, sizeof kDefaultPath - 1};
    c.storage_mode = RK_DB_PERSISTENT;
    c.arena_size = kDefaultArenaSize;
    c.cache_size = kDefaultCacheSize;
    c.read_only = 0;
    c.create_if_missing = 1;
    apply_text(config, "database.path", &c.path);
    apply_word(config, "database.storage_mode", kStorageModes, &c.storage_mode);
    apply_positive(config, "database.arena_size", &c.arena_size);
    apply_positive(config, "database.cache_size", &c.cache_size);
    apply_flag(config, "database.read_only", &c.read_only);
    apply_flag(config, "database.create_if_missing", &c.create_if_missing);
    *out = c;
    return RK_OK;
}

RK_API rk_status_t rk_config_to_collection_config(const rk_config_t *config, rk_collection_config_t *out) {
    RK_RETURN_IF(!config || !out, RK_ERR_INVALID_ARG);
    rk_collection_config_t c{};
    c.name = rk_string_t{nullptr, 0};
    c.dimension = kDefaultDimension;
    c.metric = RK_METRIC_L2;
    c.index_type = RK_INDEX_HNSW;
    c.auto_resize = 1;
    apply_text(config, "collection.name", &c.name);
    apply_dimension(config, "collection.dimension", &c.dimension);
    apply_word(config, "collection.metric", kMetrics, &c.metric);
    apply_word(config, "collection.index_type", kIndexTypes, &c.index_type);
    apply_flag(config, "collection.auto_resize", &c.auto_resize);
    *out = c;
    return RK_OK;
}

}  // extern "C"
