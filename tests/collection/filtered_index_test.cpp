// SPDX-License-Identifier: Apache-2.0
// Filtered search through the index: the graph walk and the IVF scan keep
// only accepted ids, walk on through refused ones and probe further lists
// when too few match; the planner's scan gives the exact filtered answer,
// its walk a recall of at least 0.95; every search returns min(k, matches)
// results in ascending distance.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "collection/internal.h"
#include "index/index.h"
#include "rk_collection.h"
#include "rk_index.h"
#include "rk_platform.h"
#include "rk_vector.h"

namespace {

constexpr uint32_t kDim = 16;

std::vector<float> rows(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g;
    std::vector<float> v(n * kDim);
    for (auto &x : v) x = g(rng);
    return v;
}

// ---- the index families on their own ---------------------------------------

bool even_id(const void *, uint64_t id) { return id % 2 == 0; }
bool below(const void *ctx, uint64_t id) { return id < *static_cast<const uint64_t *>(ctx); }

// The k nearest accepted ids by brute force.
std::vector<uint64_t> truth(const std::vector<float> &v, const float *q, size_t k, bool (*ok)(const void *, uint64_t),
                            const void *ctx) {
    std::vector<std::pair<float, uint64_t>> d;
    for (size_t i = 0; i < v.size() / kDim; ++i)
        if (ok(ctx, i)) d.push_back({rk_vec_distance(q, &v[i * kDim], kDim, RK_METRIC_L2), i});
    std::sort(d.begin(), d.end());
    std::vector<uint64_t> out;
    for (size_t i = 0; i < k && i < d.size(); ++i) out.push_back(d[i].second);
    return out;
}

rk_index_t *index_of(uint32_t type, const std::vector<float> &v, uint32_t nprobe) {
    rk_index_config_t c;
    std::memset(&c, 0, sizeof c);
    c.type = type;
    c.metric = RK_METRIC_L2;
    c.dimension = kDim;
    if (type == RK_INDEX_IVF) {
        c.params.ivf.nlist = 16;
        c.params.ivf.nprobe = nprobe;
        c.params.ivf.train_iterations = 8;
    } else {
        c.params.hnsw.m = 8;
        c.params.hnsw.ef_construction = 64;
        c.params.hnsw.ef_search = 32;
    }
    rk_srand(4242);  // the graph's levels come from the library generator
    rk_index_t *ix = rk_index_create(nullptr, &c);
    const uint64_t n = v.size() / kDim;
    std::vector<uint64_t> ids(n);
    for (uint64_t i = 0; i < n; ++i) ids[i] = i;
    if (rk_index_train(ix, v.data(), n) != RK_OK || rk_index_add_batch(ix, ids.data(), v.data(), n) != RK_OK)
        return nullptr;
    return ix;
}

TEST(FilteredIndex, FamiliesKeepOnlyAcceptedIdsAndFindTheNearest) {
    const std::vector<float> v = rows(3000, 1);
    const std::vector<float> q = rows(20, 2);
    for (uint32_t type : {uint32_t(RK_INDEX_HNSW), uint32_t(RK_INDEX_IVF)}) {
        // Twelve of sixteen lists: on unclustered data fewer miss
        // neighbours whatever the filter.
        rk_index_t *ix = index_of(type, v, 12);
        ASSERT_NE(ix, nullptr);
        const rk::IdFilter f{even_id, nullptr, 0};
        size_t found = 0, want = 0;
        for (size_t i = 0; i < 20; ++i) {
            rk_index_result_t res[10];
            // A list of 64 for the graph (its own setting is 32); the IVF's own nprobe.
            const uint32_t effort = type == RK_INDEX_HNSW ? 64 : 0;
            const uint64_t n = rk::index_search_filtered(ix, &q[i * kDim], 10, effort, f, res);
            ASSERT_EQ(n, 10u) << "type " << type;
            for (uint64_t j = 0; j < n; ++j) {
                EXPECT_EQ(res[j].id % 2, 0u);
                if (j) {
                    EXPECT_LE(res[j - 1].distance, res[j].distance);
                }
            }
            const std::vector<uint64_t> t = truth(v, &q[i * kDim], 10, even_id, nullptr);
            want += t.size();
            for (uint64_t j = 0; j < n; ++j) found += std::count(t.begin(), t.end(), res[j].id);
        }
        EXPECT_GE(double(found) / double(want), 0.95) << "type " << type;
        rk_index_destroy(ix);
    }
}

// What the walk tells a filter before and after each batch of distances.
struct Warmed {
    std::vector<uint32_t> pending;  // the ids of the last stage-0 call
    size_t batches = 0, ids = 0;
    bool in_order = true;
};

void record_warm(const void *ctx, const uint32_t *ids, size_t n, int stage) {
    auto *w = static_cast<Warmed *>(const_cast<void *>(ctx));
    const std::vector<uint32_t> got(ids, ids + n);
    if (stage == 0) {
        w->in_order = w->in_order && w->pending.empty();
        w->pending = got;
        return;
    }
    w->in_order = w->in_order && stage == 1 && got == w->pending;
    w->pending.clear();
    ++w->batches;
    w->ids += n;
}

// The warm hook sees each batch twice, before and after its distances, and
// changes no answer.
TEST(FilteredIndex, WarmHookHearsEachBatchAndChangesNothing) {
    const std::vector<float> v = rows(3000, 1);
    const std::vector<float> q = rows(10, 2);
    rk_index_t *ix = index_of(RK_INDEX_HNSW, v, 0);
    ASSERT_NE(ix, nullptr);
    Warmed w;
    rk::IdFilter warm{even_id, &w, 0};
    warm.warm = record_warm;
    const rk::IdFilter plain{even_id, nullptr, 0};
    for (size_t i = 0; i < 10; ++i) {
        rk_index_result_t a[10], b[10];
        const uint64_t na = rk::index_search_filtered(ix, &q[i * kDim], 10, 64, plain, a);
        const uint64_t nb = rk::index_search_filtered(ix, &q[i * kDim], 10, 64, warm, b);
        ASSERT_EQ(na, nb);
        for (uint64_t j = 0; j < na; ++j) {
            EXPECT_EQ(a[j].id, b[j].id);
            EXPECT_EQ(a[j].distance, b[j].distance);
        }
    }
    EXPECT_TRUE(w.in_order);
    EXPECT_TRUE(w.pending.empty());
    // Every walk measures more than the ten nodes it answers with.
    EXPECT_GE(w.batches, 10u);
    EXPECT_GT(w.ids, 100u);
    rk_index_destroy(ix);
}

// Three accepted ids among 3000: the walk goes through refused nodes to
// them, and IVF with one probe reads list after list until it has them.
TEST(FilteredIndex, RareMatchesAreStillReached) {
    const std::vector<float> v = rows(3000, 3);
    const std::vector<float> q = rows(1, 4);
    const uint64_t limit = 3;
    for (uint32_t type : {uint32_t(RK_INDEX_HNSW), uint32_t(RK_INDEX_IVF)}) {
        rk_index_t *ix = index_of(type, v, 1);
        ASSERT_NE(ix, nullptr);
        const rk::IdFilter f{below, &limit, 0};
        rk_index_result_t res[10];
        const uint64_t n = rk::index_search_filtered(ix, q.data(), 10, 0, f, res);
        ASSERT_EQ(n, 3u) << "type " << type;
        std::set<uint64_t> ids;
        for (uint64_t j = 0; j < n; ++j) ids.insert(res[j].id);
        EXPECT_EQ(ids, (std::set<uint64_t>{0, 1, 2}));
        // A budget of one distance stops the walk at once with what it has.
        const rk::IdFilter tight{below, &limit, 1};
        if (type == RK_INDEX_HNSW) {
            EXPECT_LE(rk::index_search_filtered(ix, q.data(), 10, 0, tight, res), 1u);
        }
        rk_index_destroy(ix);
    }
}

// ---- through the collection ------------------------------------------------

struct Labelled {
    rk_collection_t *c;
    std::vector<float> v;
};

// label = position % 1000, so label < t keeps t / 1000 of the records.
Labelled labelled(int32_t type, size_t n, uint32_t seed) {
    rk_srand(seed);  // fixes the graph's levels and the IVF's training sample
    rk_collection_config_t cfg{};
    cfg.name = rk_string_t{"f", 1};
    cfg.dimension = kDim;
    cfg.metric = RK_METRIC_L2;
    cfg.index_type = type;
    Labelled l{rk_collection_create(nullptr, &cfg), rows(n, seed)};
    std::mt19937 rng(seed);
    for (size_t i = 0; i < n; ++i) {
        rk_meta_entry_t e{};
        e.key = rk_string_t{"label", 5};
        e.type = RK_META_INT32;
        e.value.i32 = int32_t(rng() % 1000);
        EXPECT_EQ(rk_collection_insert_with_meta(l.c, &l.v[i * kDim], &e, 1, nullptr), RK_OK);
    }
    EXPECT_EQ(rk_collection_build_index(l.c), RK_OK);
    return l;
}

rk_filter_t label_below(int32_t t) {
    rk_filter_t f{};
    f.kind = 3;
    f.key = "label";
    f.op = RK_FILTER_LT;
    f.value.i32 = t;
    return f;
}

// The exact filtered answer: the same search with the index switched off.
uint64_t exact(rk_collection_t *c, const float *q, const rk_search_params_t &p, rk_search_result_t *out) {
    c->index_enabled = 0;
    const uint64_t n = rk_collection_search(c, q, &p, out);
    c->index_enabled = 1;
    return n;
}

TEST(FilteredIndex, PlannerScanIsExactAndWalkKeepsRecall) {
    for (int32_t type : {RK_INDEX_HNSW, RK_INDEX_IVF}) {
        Labelled l = labelled(type, 6000, 5 + uint32_t(type));
        // Unclustered rows spread each neighbourhood over many lists: probe
        // enough of them that the unfiltered search finds its neighbours.
        if (type == RK_INDEX_IVF) {
            ASSERT_EQ(rk_collection_set_nprobe(l.c, 48), RK_OK);
        }
        const std::vector<float> q = rows(40, 6);
        for (int32_t t : {500, 100, 10, 1}) {
            const rk_filter_t f = label_below(t);
            const rk::coll::FilterPlan plan = rk::coll::plan_filtered(l.c, &f, 10, 0);
            // Selective filters send the graph to the scan (IVF reads the few
            // lists near the query more cheaply); broad ones go to the index.
            if (t <= 10 && type == RK_INDEX_HNSW) {
                EXPECT_TRUE(plan.scan) << "type " << type << " t " << t;
            }
            if (t == 500) {
                EXPECT_FALSE(plan.scan) << "type " << type;
            }
            rk_search_params_t p{};
            p.k = 10;
            p.filter = &f;
            size_t found = 0, want = 0;
            for (size_t i = 0; i < 40; ++i) {
                rk_search_result_t got[10], ex[10];
                const uint64_t n = rk_collection_search(l.c, &q[i * kDim], &p, got);
                const uint64_t m = exact(l.c, &q[i * kDim], p, ex);
                ASSERT_EQ(n, m) << "min(k, matches) results";
                for (uint64_t j = 1; j < n; ++j) EXPECT_LE(got[j - 1].distance, got[j].distance);
                if (plan.scan) {
                    for (uint64_t j = 0; j < n; ++j) {
                        EXPECT_EQ(got[j].id, ex[j].id);
                        EXPECT_EQ(std::memcmp(&got[j].distance, &ex[j].distance, sizeof(float)), 0);
                    }
                }
                want += m;
                for (uint64_t j = 0; j < n; ++j)
                    for (uint64_t e = 0; e < m; ++e) found += got[j].id == ex[e].id;
            }
            EXPECT_GE(double(found) / double(want), 0.95) << "type " << type << " t " << t;
        }
        rk_collection_destroy(l.c);
    }
}

// Filters matching nothing, fewer than k and exactly k records, with the
// include flags on: the count is always min(k, matches), every result
// matches, and the fields point at the records.
TEST(FilteredIndex, AlwaysMinOfKAndMatches) {
    Labelled l = labelled(RK_INDEX_HNSW, 2000, 9);
    std::vector<int32_t> labels;
    for (uint64_t i = 0; i < l.c->count; ++i) labels.push_back(l.c->records[i].metadata[0].value.i32);
    for (int32_t t : {0, 2, 5, 700}) {
        const rk_filter_t f = label_below(t);
        const uint64_t matches = uint64_t(std::count_if(labels.begin(), labels.end(), [&](int32_t x) { return x < t; }));
        rk_search_params_t p{};
        p.k = 10;
        p.filter = &f;
        p.include_vector = 1;
        p.include_metadata = 1;
        rk_search_result_t got[10];
        const uint64_t n = rk_collection_search(l.c, l.v.data(), &p, got);
        EXPECT_EQ(n, std::min<uint64_t>(10, matches)) << "t " << t;
        for (uint64_t j = 0; j < n; ++j) {
            const rk_record_t *r = nullptr;
            ASSERT_EQ(rk_collection_get_record(l.c, got[j].id, &r), RK_OK);
            EXPECT_LT(r->metadata[0].value.i32, t);
            EXPECT_EQ(got[j].vector, r->vector);
            EXPECT_EQ(got[j].metadata, r->metadata);
        }
    }
    rk_collection_destroy(l.c);
}

// The planner remembers a parsed filter's sample per collection version: its
// plan must equal a host-built twin's (sampled every time) after every kind
// of write, and filters that differ must not share a remembered count.
TEST(FilteredIndex, RememberedSamplesFollowEveryWrite) {
    Labelled l = labelled(RK_INDEX_HNSW, 3000, 21);
    const int32_t limits[] = {500, 100, 10};
    rk_filter_t *parsed[3];
    for (int i = 0; i < 3; ++i) {
        const std::string text = "label < " + std::to_string(limits[i]);
        ASSERT_EQ(rk_filter_parse(l.c, text.data(), text.size(), &parsed[i], nullptr), RK_OK);
    }
    auto same_plans = [&](const char *after) {
        // Twice round, so the second reads what the first remembered; the
        // three filters interleave in the memory's few slots.
        for (int round = 0; round < 2; ++round) {
            for (int i = 0; i < 3; ++i) {
                const rk_filter_t twin = label_below(limits[i]);
                const rk::coll::FilterPlan a = rk::coll::plan_filtered(l.c, parsed[i], 10, 0);
                const rk::coll::FilterPlan b = rk::coll::plan_filtered(l.c, &twin, 10, 0);
                EXPECT_EQ(a.selectivity, b.selectivity) << after << ", label < " << limits[i];
                EXPECT_EQ(a.scan, b.scan) << after;
                EXPECT_EQ(a.effort, b.effort) << after;
            }
        }
    };
    same_plans("build");
    rk_meta_entry_t zero{};
    zero.key = rk_string_t{"label", 5};
    zero.type = RK_META_INT32;
    for (uint64_t id = 1; id <= 3000; id += 2) ASSERT_EQ(rk_collection_set_meta(l.c, id, &zero, 1), RK_OK);
    same_plans("metadata changed");
    for (size_t i = 0; i < 1000; ++i)
        ASSERT_EQ(rk_collection_insert_with_meta(l.c, &l.v[i * kDim], &zero, 1, nullptr), RK_OK);
    same_plans("inserts");
    for (uint64_t id = 1; id <= 3000; id += 2) ASSERT_EQ(rk_collection_delete(l.c, id), RK_OK);
    same_plans("deletes");
    const rk_filter_t low = label_below(50);
    EXPECT_GT(rk_collection_delete_by_filter(l.c, &low), 0);
    same_plans("delete by filter");
    ASSERT_EQ(rk_collection_clear(l.c), RK_OK);
    for (size_t i = 0; i < 500; ++i)
        ASSERT_EQ(rk_collection_insert_with_meta(l.c, &l.v[i * kDim], &zero, 1, nullptr), RK_OK);
    ASSERT_EQ(rk_collection_build_index(l.c), RK_OK);
    same_plans("cleared and refilled");
    EXPECT_EQ(rk::coll::plan_filtered(l.c, parsed[2], 10, 0).selectivity, 1.0);
    for (rk_filter_t *f : parsed) rk_filter_free(f);
    rk_collection_destroy(l.c);
}

// Ids after deletions no longer sit at position id - 1: lookups still find
// every live record and no deleted one.
TEST(FilteredIndex, LookupsAfterDeletions) {
    Labelled l = labelled(RK_INDEX_HNSW, 500, 11);
    for (uint64_t id = 1; id <= 500; id += 7) ASSERT_EQ(rk_collection_delete(l.c, id), RK_OK);
    for (uint64_t id = 0; id <= 505; ++id) {
        const uint64_t pos = rk::coll::find(l.c, id);
        const bool live = id >= 1 && id <= 500 && (id - 1) % 7 != 0;
        ASSERT_EQ(pos != rk::coll::kNotFound, live) << id;
        if (live) {
            EXPECT_EQ(l.c->records[pos].id, id);
        }
    }
    rk_collection_destroy(l.c);
}

}  // namespace
