// SPDX-License-Identifier: Apache-2.0
// The collection's index: the configurations it is made from, training and
// filling, and the build / rebuild / drop functions.
#include <cstring>

#include "collection/internal.h"
#include "core/alloc.h"
#include "core/status.h"
#include "index/index.h"
#include "platform/random.h"
#include "rk_index.h"
#include "rk_platform.h"

namespace rk::coll {
namespace {

// Defaults for collections created with an explicit index type, chosen by
// measurement (bench/hnsw_bench.cpp, bench/ivf_bench.cpp): with m 16 and
// ef_construction 200 the graph reaches recall@10 0.95 at ef 10 on MNIST,
// ef 40 on clustered 100k x 128 (L2) and ef 48 on clustered 100k x 384
// (cosine); ef_search 64 leaves a margin on all three (0.97 and more).
constexpr uint32_t kHnswM = 16;
constexpr uint32_t kHnswEfConstruction = 200;
constexpr uint32_t kHnswEfSearch = 64;
constexpr uint32_t kIvfNprobe = 32;
constexpr uint32_t kIvfIterations = 10;
constexpr uint32_t kIvfMaxLists = 1024;

// The default configuration of a collection that builds without an index.
constexpr uint32_t kDefaultNlist = 5;
constexpr uint32_t kDefaultNprobe = 3;

// Seed of a build whose collection never had one set.
constexpr uint64_t kDefaultBuildSeed = 12345;

// Bounds of the build settings a caller may choose.
constexpr uint32_t kMinM = 2, kMaxM = 512;
constexpr uint32_t kMaxEfConstruction = 1u << 20;
constexpr uint32_t kMaxNlist = 1u << 20;

uint64_t build_seed(const IndexSpec &s) { return s.seed ? s.seed : kDefaultBuildSeed; }

// The seed of the generator that draws one record's level when the record
// joins a live graph on its own: a mix of the build seed and the id, so the
// level does not depend on what was inserted before or whether the
// collection was reopened in between (splitmix64's finaliser).
uint64_t record_seed(uint64_t seed, uint64_t id) {
    uint64_t z = seed ^ (id * 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Marker the collection leaves in the index configuration's reserved word.
constexpr uint32_t kCollectionMark = 20;

// The threshold of an index that is not consulted until it is built.
constexpr uint64_t kDormant = 100000000;

bool is_ivf(uint32_t type) { return type % 2 == 1; }

// The configuration a collection builds without an explicit index type.
bool is_default_ivf(const IndexSpec &s) {
    return s.nlist == kDefaultNlist && s.nprobe == kDefaultNprobe && s.train_iterations == 0;
}

// List count of an IVF whose spec leaves it open: about 4 sqrt(rows), never
// more lists than training rows.
uint32_t auto_nlist(uint64_t rows) {
    uint64_t r = 0;
    while ((r + 1) * (r + 1) <= rows && r < kIvfMaxLists) ++r;
    uint64_t n = 4 * r;
    if (n > kIvfMaxLists) n = kIvfMaxLists;
    if (n > rows) n = rows;
    return n ? uint32_t(n) : 1;
}

rk_index_config_t config_of(const rk_collection_t *c, const IndexSpec &s, uint64_t rows) {
    rk_index_config_t cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.type = s.type;
    // Unknown metrics measure as L2 everywhere in the collection.
    cfg.metric = c->metric <= RK_METRIC_COSINE ? c->metric : uint32_t(RK_METRIC_L2);
    cfg.quantization = s.quantization;
    cfg.dimension = c->dimension;
    if (is_ivf(s.type)) {
        cfg.params.ivf.nlist = s.nlist ? s.nlist : auto_nlist(rows);
        cfg.params.ivf.nprobe = s.nprobe;
        cfg.params.ivf.train_iterations = s.train_iterations;
        // The default configuration keeps the farthest-point start; an
        // explicit IVF index is seeded with uniformly drawn rows, which fill
        // the lists most evenly (k-means++ overseeds sparse regions, so
        // dense ones end in long lists: up to 1.5 times the imbalance).
        if (!is_default_ivf(s)) cfg.params.ivf.reserved[0] = RK_IVF_SEEDING_UNIFORM;
    } else {
        cfg.params.hnsw.m = s.m;
        cfg.params.hnsw.ef_construction = s.ef_construction;
        cfg.params.hnsw.ef_search = s.ef_search;
        // Recorded in the index file; levels come from the build's generator.
        cfg.params.hnsw.seed = uint32_t(build_seed(s));
    }
    cfg.pq_m = s.pq_m;
    cfg.pq_nbits = s.pq_nbits;
    cfg.reserved1[0] = kCollectionMark;
    return cfg;
}

// Training rows per list of an explicit IVF index: beyond this many, more
// rows move centroids little and cost training time in proportion.
constexpr uint64_t kTrainRowsPerList = 256;

// Picks `want` of n rows, each subset equally likely, in row order
// (selection sampling: row i is taken when a draw % (rows left) falls
// below the picks still wanted), one draw of the library generator per row
// looked at, so rk_srand fixes the sample.
void sample_rows(uint64_t n, uint64_t want, uint64_t *out) {
    uint64_t taken = 0;
    for (uint64_t i = 0; i < n && taken < want; ++i)
        if (rk::draw() % (n - i) < want - taken) out[taken++] = i;
}

// Trains c's fresh index on its n rows (vectors): an explicit IVF index of
// a collection with more than kTrainRowsPerList rows per list trains on a
// sample of that many per list, the default configuration on every row.
rk_status_t train_index(rk_collection_t *c, const float *vectors, uint64_t n) {
    const IndexSpec &spec = impl_of(c)->spec;
    const uint64_t nlist = is_ivf(spec.type) ? config_of(c, spec, c->count).params.ivf.nlist : 0;
    if (nlist == 0 || is_default_ivf(spec) || n <= nlist * kTrainRowsPerList)
        return rk_index_train(c->index, vectors, n);
    const uint64_t want = nlist * kTrainRowsPerList;
    const size_t dim = c->dimension;
    size_t floats;
    RK_RETURN_IF(!mul_size(size_t(want), dim, &floats), RK_ERR_NO_MEMORY);
    HookPtr<float> sample = hook_unique_array<float>(floats);
    HookPtr<uint64_t> picked = hook_unique_array<uint64_t>(size_t(want));
    RK_RETURN_IF(!sample || !picked, RK_ERR_NO_MEMORY);
    sample_rows(n, want, picked.get());
    for (uint64_t i = 0; i < want; ++i)
        std::memcpy(sample.get() + i * dim, vectors + picked.get()[i] * dim, dim * sizeof(float));
    return rk_index_train(c->index, sample.get(), want);
}

rk_index_t *create_for(const rk_collection_t *c, const IndexSpec &s, uint64_t rows) {
    if (s.type == RK_INDEX_FLAT) return nullptr;
    const rk_index_config_t cfg = config_of(c, s, rows);
    return rk_index_create(nullptr, &cfg);
}

// Replaces c's index by a fresh one from its spec, sized for the current
// rows, then trains it with every record and adds them all. Every draw
// (training sample, k-means seeding, levels) comes from a generator the
// build owns, seeded from the collection's build seed, so the same records,
// settings and seed give the same index. The index is left in place
// (possibly untrained) on failure.
rk_status_t train_and_fill(rk_collection_t *c) {
    OwnedGenerator generator(build_seed(impl_of(c)->spec));
    destroy_index(c);
    impl_of(c)->index_unfed = false;
    c->index = create_for(c, impl_of(c)->spec, c->count);
    RK_RETURN_IF(!c->index, RK_ERR_UNKNOWN);
    const size_t n = size_t(c->count), dim = c->dimension;
    size_t floats;
    RK_RETURN_IF(!mul_size(n, dim, &floats), RK_ERR_NO_MEMORY);
    HookPtr<float> vectors = hook_unique_array<float>(floats);
    HookPtr<uint64_t> ids = hook_unique_array<uint64_t>(n);
    RK_RETURN_IF(!vectors || !ids, RK_ERR_NO_MEMORY);
    for (size_t i = 0; i < n; ++i) {
        std::memcpy(vectors.get() + i * dim, c->records[i].vector, dim * sizeof(float));
        ids.get()[i] = c->records[i].id;
    }
    RK_TRY(train_index(c, vectors.get(), n));
    return rk_index_add_batch(c->index, ids.get(), vectors.get(), n);
}

}  // namespace

IndexSpec spec_for(const rk_collection_config_t *config) {
    if (config->index_type == -1) {
        IndexSpec s = default_spec(config->dimension);
        s.quantization = config->quantization;
        s.pq_m = config->pq_m;
        s.pq_nbits = config->pq_nbits;
        return s;
    }
    IndexSpec s{};
    s.type = config->index_type < 0 ? 0u : uint32_t(config->index_type);
    s.quantization = config->quantization;
    s.pq_m = config->pq_m;
    s.pq_nbits = config->pq_nbits;
    s.m = kHnswM;
    s.ef_construction = kHnswEfConstruction;
    s.ef_search = kHnswEfSearch;
    s.nlist = 0;
    s.nprobe = kIvfNprobe;
    s.train_iterations = kIvfIterations;
    return s;
}

IndexSpec default_spec(uint32_t) {
    IndexSpec s{};
    s.type = RK_INDEX_IVF;
    s.nlist = kDefaultNlist;
    s.nprobe = kDefaultNprobe;
    return s;
}

rk_index_t *make_index(const rk_collection_t *c, const IndexSpec &spec) {
    // Before any training the row count is unknown: an open list count
    // starts at one list and is settled when the index is trained.
    return create_for(c, spec, 1);
}

void destroy_index(rk_collection_t *c) {
    rk_index_destroy(c->index);
    c->index = nullptr;
}

bool index_active(const rk_collection_t *c) {
    return c->index && c->index_enabled && c->count >= c->index_threshold;
}

int32_t index_type_of(const rk_collection_t *c) {
    return c->index ? int32_t(rk_index_get_type(c->index)) : -1;
}

uint32_t index_trained(const rk_collection_t *c) { return c->index ? rk_index_is_trained(c->index) : 0; }

// An index that missed a record (or holds a half-made node) would answer
// without it: it is no longer consulted, and is made again from the records
// when it is built or becomes active.
void index_distrust(rk_collection_t *c) {
    c->index_threshold = kDormant;
    impl_of(c)->index_unfed = true;
}

void index_feed(rk_collection_t *c, uint64_t id, const float *vector) {
    if (!index_active(c)) return;
    if (impl_of(c)->index_unfed) {
        // Becoming active: the index takes every record, this one included.
        if (index_fill(c) != RK_OK) index_distrust(c);
        return;
    }
    rk_status_t st;
    {
        OwnedGenerator generator(record_seed(build_seed(impl_of(c)->spec), id));
        st = rk_index_add(c->index, id, vector);
    }
    // Untrained: train on the spot with every record (this one included).
    if (st == RK_ERR_INDEX_NOT_READY) st = train_and_fill(c);
    if (st != RK_OK) index_distrust(c);
}

void index_forget(rk_collection_t *c, uint64_t id) {
    if (c->index) (void)rk_index_remove(c->index, id);
}

// A fresh index from the spec, trained and filled with every record.
rk_status_t index_fill(rk_collection_t *c) { return train_and_fill(c); }

uint64_t index_search(const rk_collection_t *c, const float *query, uint64_t k, uint32_t effort,
                      uint64_t *ids) {
    HookPtr<rk_index_result_t> slots = hook_unique_array<rk_index_result_t>(size_t(k));
    if (!slots) return UINT64_MAX;
    const uint64_t n = rk_index_search_ex(c->index, query, k, effort, slots.get());
    for (uint64_t i = 0; i < n; ++i) ids[i] = slots.get()[i].id;
    return n;
}

bool index_search_many(const rk_collection_t *c, const float *queries, uint64_t nq, uint64_t k,
                       uint32_t effort, uint64_t *ids, uint64_t *counts) {
    size_t n;
    if (!mul_size(nq, k, &n)) return false;
    HookPtr<rk_index_result_t> slots = hook_unique_array<rk_index_result_t>(n);
    if (!slots || !rk::index_search_many(c->index, queries, nq, k, effort, slots.get(), counts)) return false;
    for (uint64_t q = 0; q < nq; ++q)
        for (uint64_t i = 0; i < counts[q]; ++i) ids[q * k + i] = slots.get()[q * k + i].id;
    return true;
}

namespace {

struct AcceptCtx {
    const rk_collection_t *c;
    const rk_filter_t *filter;
};

// An index id is a result only when a live record has it and matches: one
// bisection of the record array and the matcher, nothing allocated.
bool accept_id(const void *ctx, uint64_t id) {
    const auto *a = static_cast<const AcceptCtx *>(ctx);
    const uint64_t pos = find(a->c, id);
    return pos != kNotFound && filter_match(&a->c->records[pos], a->filter) != 0;
}

// accept_id's reads are two misses apiece on a large collection: the
// record, then its metadata. The walk names the ids it measures before and
// after their distances, so both are asked for while the kernel runs. A
// record is looked for where find looks first (id - 1); elsewhere it is
// simply not fetched ahead.
void warm_ids(const void *ctx, const uint32_t *ids, size_t n, int stage) {
    const rk_collection_t *c = static_cast<const AcceptCtx *>(ctx)->c;
    for (size_t i = 0; i < n; ++i) {
        const uint64_t pos = uint64_t(ids[i]) - 1;
        if (pos >= c->count) continue;
        const rk_record_t *r = &c->records[pos];
        if (stage == 0) {
            __builtin_prefetch(r);
        } else if (r->id == ids[i] && r->metadata) {
            __builtin_prefetch(r->metadata);
        }
    }
}

}  // namespace

uint64_t index_search_filtered(const rk_collection_t *c, const float *query, uint64_t k, uint32_t effort,
                               const rk_filter_t *filter, uint64_t budget, uint64_t *ids) {
    HookPtr<rk_index_result_t> slots = hook_unique_array<rk_index_result_t>(size_t(k));
    if (!slots) return UINT64_MAX;
    const AcceptCtx ctx{c, filter};
    const IdFilter f{accept_id, &ctx, budget, warm_ids};
    const uint64_t n = rk::index_search_filtered(c->index, query, k, effort, f, slots.get());
    for (uint64_t i = 0; i < n; ++i) ids[i] = slots.get()[i].id;
    return n;
}

uint32_t index_effort(const rk_collection_t *c) {
    uint32_t v = 0;
    if (rk_index_get_ef_search(c->index, &v) == RK_OK || rk_index_get_nprobe(c->index, &v) == RK_OK) return v;
    return 0;
}

namespace {

// The IndexSpec field holding the family's search effort, or null when the
// collection's index is of the other family or it has none.
uint32_t *effort_field(rk_collection_t *c, bool ivf) {
    IndexSpec &s = impl_of(c)->spec;
    if (s.type == RK_INDEX_FLAT || is_ivf(s.type) != ivf) return nullptr;
    return ivf ? &s.nprobe : &s.ef_search;
}

}  // namespace

rk_status_t set_graph_build(rk_collection_t *c, uint32_t m, uint32_t ef_construction) {
    RK_RETURN_IF(!c || m < kMinM || m > kMaxM || ef_construction == 0 || ef_construction > kMaxEfConstruction,
                 RK_ERR_INVALID_ARG);
    WriteLock guard(c);
    IndexSpec &s = impl_of(c)->spec;
    RK_RETURN_IF(s.type == RK_INDEX_FLAT || is_ivf(s.type), RK_ERR_NOT_SUPPORTED);
    s.m = m;
    s.ef_construction = ef_construction;
    c->modified_at = rk_time_now();
    return RK_OK;
}

rk_status_t get_graph_build(rk_collection_t *c, uint32_t *m, uint32_t *ef_construction) {
    RK_RETURN_IF(!c || !m || !ef_construction, RK_ERR_INVALID_ARG);
    ReadLock guard(c);
    const IndexSpec &s = impl_of(c)->spec;
    RK_RETURN_IF(s.type == RK_INDEX_FLAT || is_ivf(s.type), RK_ERR_NOT_SUPPORTED);
    *m = s.m;
    *ef_construction = s.ef_construction;
    return RK_OK;
}

rk_status_t set_list_count(rk_collection_t *c, uint32_t nlist) {
    RK_RETURN_IF(!c || nlist > kMaxNlist, RK_ERR_INVALID_ARG);
    WriteLock guard(c);
    IndexSpec &s = impl_of(c)->spec;
    RK_RETURN_IF(!is_ivf(s.type), RK_ERR_NOT_SUPPORTED);
    // A chosen list count makes the built-in configuration an explicit IVF
    // (uniform seeding, 10 rounds, sampled training); nprobe stays.
    if (is_default_ivf(s)) s.train_iterations = kIvfIterations;
    s.nlist = nlist;
    c->modified_at = rk_time_now();
    return RK_OK;
}

rk_status_t get_list_count(rk_collection_t *c, uint32_t *nlist) {
    RK_RETURN_IF(!c || !nlist, RK_ERR_INVALID_ARG);
    ReadLock guard(c);
    const IndexSpec &s = impl_of(c)->spec;
    RK_RETURN_IF(!is_ivf(s.type), RK_ERR_NOT_SUPPORTED);
    // A trained index knows the count an open setting settled on.
    rk_index_stats_t stats{};
    if (!s.nlist && c->index && rk_index_is_trained(c->index)) (void)rk_index_get_stats(c->index, &stats);
    *nlist = s.nlist ? s.nlist : stats.nlist;
    return RK_OK;
}

rk_status_t set_build_seed(rk_collection_t *c, uint64_t seed) {
    RK_RETURN_IF(!c, RK_ERR_INVALID_ARG);
    WriteLock guard(c);
    impl_of(c)->spec.seed = seed;
    c->modified_at = rk_time_now();
    return RK_OK;
}

rk_status_t get_build_seed(rk_collection_t *c, uint64_t *seed) {
    RK_RETURN_IF(!c || !seed, RK_ERR_INVALID_ARG);
    ReadLock guard(c);
    *seed = build_seed(impl_of(c)->spec);
    return RK_OK;
}

rk_status_t set_search_effort(rk_collection_t *c, bool ivf, uint32_t value) {
    RK_RETURN_IF(!c, RK_ERR_INVALID_ARG);
    WriteLock guard(c);
    uint32_t *field = effort_field(c, ivf);
    RK_RETURN_IF(!field, RK_ERR_NOT_SUPPORTED);
    *field = value;
    // The live index follows at once; rebuilds and saves carry the setting.
    if (c->index)
        (void)(ivf ? rk_index_set_nprobe(c->index, value) : rk_index_set_ef_search(c->index, value));
    c->modified_at = rk_time_now();
    return RK_OK;
}

rk_status_t get_search_effort(rk_collection_t *c, bool ivf, uint32_t *out) {
    RK_RETURN_IF(!c || !out, RK_ERR_INVALID_ARG);
    ReadLock guard(c);
    uint32_t *field = effort_field(c, ivf);
    RK_RETURN_IF(!field, RK_ERR_NOT_SUPPORTED);
    if (!c->index ||
        (ivf ? rk_index_get_nprobe(c->index, out) : rk_index_get_ef_search(c->index, out)) != RK_OK)
        *out = *field;
    return RK_OK;
}

}  // namespace rk::coll

using namespace rk::coll;

extern "C" {

RK_API rk_status_t rk_collection_build_index(rk_collection_t *collection) {
    if (!collection) return RK_ERR_INVALID_ARG;
    WriteLock guard(collection);
    rk_collection_t *c = collection;
    RK_RETURN_IF(c->count == 0, RK_ERR_INVALID_ARG);
    if (!c->index) {
        // No index yet: the default configuration serves, from now on also
        // for rebuilds and clears.
        const uint64_t seed = impl_of(c)->spec.seed;
        impl_of(c)->spec = default_spec(c->dimension);
        impl_of(c)->spec.seed = seed;
        c->index_enabled = 1;
    }
    const rk_status_t st = train_and_fill(c);
    if (st == RK_OK)
        c->index_threshold = 0;
    else
        index_distrust(c);  // a half-filled index is never consulted
    return st;
}

RK_API rk_status_t rk_collection_rebuild_index(rk_collection_t *collection) {
    if (!collection) return RK_ERR_INVALID_ARG;
    return rk_collection_build_index(collection);
}

RK_API rk_status_t rk_collection_drop_index(rk_collection_t *collection) {
    if (!collection) return RK_ERR_INVALID_ARG;
    WriteLock guard(collection);
    destroy_index(collection);
    collection->index_enabled = 0;
    return RK_OK;
}

RK_API rk_status_t rk_collection_set_ef_search(rk_collection_t *collection, uint32_t ef_search) {
    return set_search_effort(collection, false, ef_search);
}

RK_API rk_status_t rk_collection_get_ef_search(rk_collection_t *collection, uint32_t *out) {
    return get_search_effort(collection, false, out);
}

RK_API rk_status_t rk_collection_set_nprobe(rk_collection_t *collection, uint32_t nprobe) {
    return set_search_effort(collection, true, nprobe);
}

RK_API rk_status_t rk_collection_get_nprobe(rk_collection_t *collection, uint32_t *out) {
    return get_search_effort(collection, true, out);
}

RK_API rk_status_t rk_collection_set_hnsw_build(rk_collection_t *collection, uint32_t m,
                                                uint32_t ef_construction) {
    return set_graph_build(collection, m, ef_construction);
}

RK_API rk_status_t rk_collection_get_hnsw_build(rk_collection_t *collection, uint32_t *m,
                                                uint32_t *ef_construction) {
    return get_graph_build(collection, m, ef_construction);
}

RK_API rk_status_t rk_collection_set_nlist(rk_collection_t *collection, uint32_t nlist) {
    return set_list_count(collection, nlist);
}

RK_API rk_status_t rk_collection_get_nlist(rk_collection_t *collection, uint32_t *out) {
    return get_list_count(collection, out);
}

RK_API rk_status_t rk_collection_set_build_seed(rk_collection_t *collection, uint64_t seed) {
    return set_build_seed(collection, seed);
}

RK_API rk_status_t rk_collection_get_build_seed(rk_collection_t *collection, uint64_t *out) {
    return get_build_seed(collection, out);
}

RK_API int rk_collection_has_index(const rk_collection_t *collection) {
    return collection && collection->index && rk_index_is_trained(collection->index) ? 1 : 0;
}

}  // extern "C"
