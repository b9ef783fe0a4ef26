// SPDX-License-Identifier: Apache-2.0
// HNSW graph: a plain model of the graph's rules (linear visited lists,
// linear candidate scans, the diversity rule written out) must build the
// very same graph and give the very same answers as the library, ties,
// duplicated vectors, removal with re-linking and both rules for full lists
// included; recall against exhaustive search for each metric, also after
// removals; removal, table growth and bad input.
#include "index/hnsw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "index/heap.h"
#include "index/hnsw_walk.h"
#include "rk_error.h"
#include "rk_index.h"
#include "rk_platform.h"
#include "rk_vector.h"
#include "vector/kernels.h"

namespace {

using rk::HeapItem;

rk_hnsw_params_t params(uint32_t m, uint32_t efc, uint32_t efs, uint32_t max_level = 0) {
    rk_hnsw_params_t p{};
    p.m = m;
    p.ef_construction = efc;
    p.ef_search = efs;
    p.max_level = max_level;
    return p;
}

// ---- the model ---------------------------------------------------------------

struct RefNode {
    uint32_t level;
    std::vector<float> v;
    std::vector<std::vector<uint64_t>> nb;
};

struct Ref {
    uint32_t dim, metric;
    rk_hnsw_params_t p;
    rk::HnswRules rules;
    std::vector<std::optional<RefNode>> slots = std::vector<std::optional<RefNode>>(4096);
    int64_t entry = -1;
    uint32_t max_level = 0;
    uint64_t ntotal = 0;

    Ref(uint32_t d, uint32_t met, const rk_hnsw_params_t &pp) : dim(d), metric(met), p(pp) {
        if (p.level_mult <= 0) p.level_mult = 1.0f / rk_math_log_f32(static_cast<float>(p.m));
    }
    float dist(const float *a, const float *b) const {
        if (metric == 1) return -rk::kern::dot(a, b, dim);
        if (metric == 2) return 1.0f - rk::kern::dot(a, b, dim);
        return rk::kern::l2sq(a, b, dim);
    }
    bool valid(uint64_t id) const { return id < slots.size() && slots[id].has_value(); }
    uint32_t cap(uint32_t l) const { return l == 0 ? 2 * p.m : p.m; }
    const std::vector<uint64_t> *list(uint64_t id, uint32_t l) const {
        return l <= slots[id]->level ? &slots[id]->nb[l] : nullptr;
    }
    std::vector<float> stored(const float *v) const {
        std::vector<float> out(dim);
        rk::store_form(metric, v, dim, out.data());
        return out;
    }

    uint64_t greedy(const float *q, uint64_t e, uint32_t l, std::vector<uint64_t> &V) const {
        uint64_t c = e, best = e;
        float bestd = dist(q, slots[e]->v.data());
        for (;;) {
            if (const auto *lst = list(c, l)) {
                for (size_t j = 0; j < lst->size(); ++j) {
                    const uint64_t id = (*lst)[j];
                    if (!valid(id) || std::find(V.begin(), V.end(), id) != V.end()) continue;
                    V.push_back(id);
                    const float d = dist(q, slots[id]->v.data());
                    if (d < bestd) bestd = d, best = id;
                }
            }
            if (best == c) return c;
            c = best;
        }
    }

    std::vector<HeapItem> layer(const float *q, uint64_t e, uint32_t l, size_t ef) const {
        if (!valid(e)) return {};
        std::vector<uint64_t> V{e};
        std::vector<HeapItem> store(ef);
        rk::ResultHeap heap;
        rk::heap_attach(&heap, ef ? store.data() : nullptr, ef);
        const float de = dist(q, slots[e]->v.data());
        rk::heap_push(&heap, e, de);
        std::vector<HeapItem> C{{e, de}};
        while (!C.empty()) {
            size_t bi = 0;
            for (size_t i = 1; i < C.size(); ++i)
                if (C[i].distance < C[bi].distance) bi = i;
            const HeapItem cur = C[bi];
            C[bi] = C.back();
            C.pop_back();
            if (cur.distance > rk::heap_root(&heap)) break;
            const auto *lst = list(cur.id, l);
            if (!lst) continue;
            for (size_t j = 0; j < lst->size(); ++j) {
                const uint64_t id = (*lst)[j];
                if (!valid(id) || std::find(V.begin(), V.end(), id) != V.end()) continue;
                V.push_back(id);
                const float d = dist(q, slots[id]->v.data());
                if (heap.count == heap.capacity && !(d < rk::heap_root(&heap))) continue;
                rk::heap_push(&heap, id, d);
                C.push_back({id, d});
            }
        }
        std::vector<HeapItem> r(heap.items, heap.items + heap.count);
        rk::sort_hits(r.data(), r.size());
        return r;
    }

    static std::vector<HeapItem> nearest(std::vector<HeapItem> c, size_t cap) {
        if (c.size() <= cap) return c;
        std::vector<HeapItem> out;
        for (size_t t = 0; t < cap; ++t) {
            size_t b = 0;
            for (size_t j = 1; j < c.size(); ++j)
                if (c[j].distance < c[b].distance) b = j;
            out.push_back(c[b]);
            c.erase(c.begin() + static_cast<long>(b));
        }
        return out;
    }

    // Candidates in ascending distance to the base; each is kept when it is
    // strictly nearer to the base than to every one kept before it.
    std::vector<HeapItem> diverse(const std::vector<HeapItem> &c, size_t cap_l, bool fill) const {
        std::vector<HeapItem> kept;
        std::vector<bool> taken(c.size());
        for (size_t i = 0; i < c.size() && kept.size() < cap_l; ++i) {
            bool good = true;
            for (const HeapItem &k : kept)
                good = good && c[i].distance < dist(slots[k.id]->v.data(), slots[c[i].id]->v.data());
            if (good) kept.push_back(c[i]), taken[i] = true;
        }
        for (size_t i = 0; i < c.size() && fill && kept.size() < cap_l; ++i)
            if (!taken[i]) kept.push_back(c[i]);
        return kept;
    }

    // x's level-l list chosen again from its live members and `extra`.
    void reselect(uint64_t x, uint32_t l, const std::vector<uint64_t> &extra, bool fill) {
        std::vector<HeapItem> c;
        for (uint64_t id : slots[x]->nb[l])
            if (valid(id)) c.push_back({id, 0});
        for (uint64_t id : extra)
            if (valid(id)) c.push_back({id, 0});
        for (auto &h : c) h.distance = dist(slots[x]->v.data(), slots[h.id]->v.data());
        rk::sort_hits(c.data(), c.size());
        std::vector<uint64_t> out;
        for (const auto &h : diverse(c, cap(l), fill)) out.push_back(h.id);
        slots[x]->nb[l] = out;
    }

    void link(uint64_t id, const HeapItem &f, uint32_t l, bool replace) {
        if (l > slots[f.id]->level) return;
        auto &mine = slots[id]->nb[l];
        if (mine.size() < cap(l)) mine.push_back(f.id);
        auto &theirs = slots[f.id]->nb[l];
        if (std::find(theirs.begin(), theirs.end(), id) != theirs.end()) return;
        if (theirs.size() < cap(l)) {
            theirs.push_back(id);
            return;
        }
        if (!replace) return;
        if (rules.reselect_full) {
            reselect(f.id, l, {id}, rules.fill_pruned);
            return;
        }
        float maxd = -1.0f * FLT_MAX;
        long far = -1;
        for (size_t j = 0; j < theirs.size(); ++j) {
            if (!valid(theirs[j])) continue;
            const float d = dist(slots[f.id]->v.data(), slots[theirs[j]]->v.data());
            if (d > maxd) maxd = d, far = static_cast<long>(j);
        }
        if (far >= 0 && maxd > f.distance) theirs[static_cast<size_t>(far)] = id;
    }

    uint32_t draw() const {
        const float u = static_cast<float>(rk_rand() % 65536) / 65535.0f;
        const float lf = -rk_math_log_f32(u) * p.level_mult;
        uint32_t level = (lf >= 1.0f && lf < 2147483648.0f) ? static_cast<uint32_t>(lf) : 0;
        if (p.max_level && level > p.max_level) level = p.max_level;
        return level;
    }

    void insert(uint64_t id, const float *vec) {
        if (id >= slots.size()) slots.resize(2 * id + 2);
        const uint32_t L = draw();
        slots[id] = RefNode{L, stored(vec), std::vector<std::vector<uint64_t>>(L + 1)};
        ++ntotal;
        if (entry < 0) {
            entry = static_cast<int64_t>(id), max_level = L;
            return;
        }
        const float *q = slots[id]->v.data();
        uint64_t e = static_cast<uint64_t>(entry);
        std::vector<uint64_t> V;
        for (uint32_t l = max_level; l > L; --l)
            if (valid(e)) e = greedy(q, e, l, V);
        for (uint32_t l = std::min(L, max_level) + 1; l-- > 0;) {
            auto R = layer(q, e, l, p.ef_construction);
            R.erase(std::remove_if(R.begin(), R.end(), [&](const HeapItem &x) { return x.id == id; }),
                    R.end());
            if (!R.empty()) {
                const size_t choose = rules.wide_new_lists ? cap(l) : p.m;
                for (const auto &f : diverse(R, choose, rules.fill_pruned)) link(id, f, l, true);
                e = R[0].id;
                continue;
            }
            std::vector<HeapItem> all;
            for (uint64_t i = 0; i < slots.size(); ++i)
                if (valid(i) && i != id && slots[i]->level >= l)
                    all.push_back({i, dist(q, slots[i]->v.data())});
            for (const auto &f : nearest(all, cap(l))) link(id, f, l, false);
        }
        if (L > max_level) entry = static_cast<int64_t>(id), max_level = L;
    }

    std::vector<HeapItem> search(const float *query, size_t k) const {
        if (k == 0 || ntotal == 0 || entry < 0) return {};
        const auto qs = stored(query);
        uint64_t e = static_cast<uint64_t>(entry);
        uint32_t L = max_level;
        if (!valid(e)) {
            e = 0;
            while (e < slots.size() && !valid(e)) ++e;
            if (e == slots.size()) return {};
            L = slots[e]->level;
        }
        std::vector<uint64_t> V;
        for (uint32_t l = L; l >= 1; --l) e = greedy(qs.data(), e, l, V);
        auto R = layer(qs.data(), e, 0, std::max<size_t>(p.ef_search, k));
        R.resize(std::min(R.size(), k));
        rk::sort_hits(R.data(), R.size());
        return R;
    }

    void remove(uint64_t id) {
        if (!valid(id)) return;
        const RefNode gone = *slots[id];
        slots[id].reset();
        for (uint32_t l = 0; rules.repair_on_remove && l <= gone.level; ++l) {
            std::vector<uint64_t> mine;
            for (uint64_t x : gone.nb[l])
                if (valid(x)) mine.push_back(x);
            for (size_t j = 0; j < mine.size(); ++j) {
                if (l > slots[mine[j]]->level) continue;
                const auto &theirs = slots[mine[j]]->nb[l];
                std::vector<uint64_t> extra;
                for (size_t t = 0; t < mine.size(); ++t)
                    if (t != j && std::find(theirs.begin(), theirs.end(), mine[t]) == theirs.end())
                        extra.push_back(mine[t]);
                reselect(mine[j], l, extra, true);
            }
        }
        if (entry == static_cast<int64_t>(id)) {
            entry = -1, max_level = 0;
            for (uint64_t i = 0; i < slots.size(); ++i)
                if (valid(i)) {
                    entry = static_cast<int64_t>(i), max_level = slots[i]->level;
                    break;
                }
        }
    }
};

// The library's graph equals the model's, list by list and bit by bit.
void expect_same_graph(rk_hnsw_t *h, const Ref &ref) {
    ASSERT_EQ(h->capacity, ref.slots.size());
    ASSERT_EQ(h->entry_point, ref.entry);
    ASSERT_EQ(h->max_level, ref.max_level);
    ASSERT_EQ(h->ntotal, ref.ntotal);
    for (uint64_t i = 0; i < h->capacity; ++i) {
        ASSERT_EQ(h->slots[i] != nullptr, ref.valid(i)) << "slot " << i;
        if (!h->slots[i]) continue;
        const RefNode &r = *ref.slots[i];
        ASSERT_EQ(h->slots[i]->level, r.level) << "slot " << i;
        ASSERT_EQ(0, std::memcmp(rk::node_vector(h, h->slots[i]), r.v.data(), r.v.size() * 4));
        for (uint32_t l = 0; l <= r.level; ++l) {
            uint32_t *cnt;
            const uint32_t *links = rk::node_links(h, h->slots[i], l, &cnt);
            ASSERT_EQ(*cnt, r.nb[l].size()) << "slot " << i << " level " << l;
            for (uint32_t j = 0; j < *cnt; ++j) ASSERT_EQ(links[j], r.nb[l][j]);
        }
    }
}

void expect_same_hits(const std::vector<HeapItem> &a, const std::vector<HeapItem> &b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(a[i].id, b[i].id) << "rank " << i;
        ASSERT_EQ(0, std::memcmp(&a[i].distance, &b[i].distance, 4)) << "rank " << i;
    }
}

std::vector<HeapItem> lib_search(rk_hnsw_t *h, const float *q, size_t k) {
    std::vector<HeapItem> out(k);
    out.resize(rk::hnsw_search(h, q, k, out.data()));
    return out;
}

rk_status_t add(rk_hnsw_t *h, uint64_t id, const float *v) { return rk::hnsw_add_batch(h, &id, v, 1); }

// Data with many exact ties: small integer coordinates, every vector twice.
std::vector<float> tied_data(size_t n, uint32_t dim, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<float> d(n * dim);
    for (size_t i = 0; i < n; i += 2) {
        for (uint32_t j = 0; j < dim; ++j) d[i * dim + j] = static_cast<float>(rng() % 4) - 1.5f;
        if (i + 1 < n) std::copy_n(&d[i * dim], dim, &d[(i + 1) * dim]);
    }
    return d;
}

// Builds the same insert/remove sequence in the library and the model and
// compares graphs and answers.
void compare_with_model(uint32_t metric, const rk_hnsw_params_t &p, size_t n, unsigned seed,
                        const rk::HnswRules &rules = {}, uint32_t dim = 6, std::vector<float> data = {}) {
    rk_hnsw_t *h = rk_hnsw_create(nullptr, dim, &p);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(rk::hnsw_set_metric(h, metric), RK_OK);
    h->rules = rules;
    Ref ref(dim, metric, p);
    ref.rules = rules;
    if (data.empty()) data = tied_data(n, dim, seed);
    // Ids out of order, some beyond the first table, some inserted twice,
    // with removals in between.
    auto id_of = [](size_t i) { return (i * 7919) % 5000 + (i % 37 == 0 ? 4100 : 1); };
    rk_srand(seed);
    for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(add(h, id_of(i), &data[i * dim]), RK_OK);
        if (i % 53 == 0) rk::hnsw_remove(h, id_of(i) / 2);
    }
    rk_srand(seed);
    for (size_t i = 0; i < n; ++i) {
        ref.insert(id_of(i), &data[i * dim]);
        if (i % 53 == 0) ref.remove(id_of(i) / 2);
    }
    expect_same_graph(h, ref);
    std::mt19937 rng(seed);
    for (int t = 0; t < 40; ++t) {
        const float *q = &data[(rng() % n) * dim];
        const size_t k = 1 + rng() % 12;
        expect_same_hits(lib_search(h, q, k), ref.search(q, k));
    }
    rk_hnsw_destroy(h);
}

class Model : public ::testing::TestWithParam<uint32_t> {};

TEST_P(Model, SameGraphAndAnswersWithTiesRemovalAndReinsertion) {
    compare_with_model(GetParam(), params(3, 10, 8), 400, 3 + GetParam());
}

TEST_P(Model, SameGraphWithoutLayerResultsOrWithCappedLevels) {
    // ef_construction 0: every level links to the nearest of all nodes.
    compare_with_model(GetParam(), params(3, 0, 8), 150, 21);
    // A level cap, and m = 1 whose 1 / ln(m) multiplier is infinite.
    compare_with_model(GetParam(), params(2, 6, 6, 1), 300, 22);
    compare_with_model(GetParam(), params(1, 6, 6), 200, 23);
}

TEST_P(Model, SameGraphWithTheOtherLinkingRules) {
    rk::HnswRules swap;
    swap.reselect_full = false;
    compare_with_model(GetParam(), params(3, 10, 8), 300, 31, swap);
    rk::HnswRules fill;
    fill.fill_pruned = true;
    fill.repair_on_remove = false;
    compare_with_model(GetParam(), params(4, 12, 8), 300, 32, fill);
    rk::HnswRules wide;
    wide.wide_new_lists = true;
    compare_with_model(GetParam(), params(3, 10, 8), 300, 33, wide);
}

// Long vectors (past the width from which AVX-512 kernels take sixteen rows
// a register) in tight clumps: selection keeps few of each clump's
// candidates, so later chunks of candidates are measured against several
// kept neighbours, and lists are re-selected often.
TEST_P(Model, SameGraphWithLongVectorsInClumps) {
    const uint32_t dim = 264;
    const size_t n = 240;
    std::mt19937 rng(51);
    std::vector<float> centres(6 * dim), data(n * dim);
    for (float &c : centres) c = static_cast<float>(rng() % 64) - 32.0f;
    for (size_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < dim; ++j)
            data[i * dim + j] = centres[(i % 6) * dim + j] + static_cast<float>(rng() % 5) * 0.25f;
    compare_with_model(GetParam(), params(6, 80, 16), n, 51, {}, dim, data);
}

INSTANTIATE_TEST_SUITE_P(Metrics, Model, ::testing::Values(0u, 1u, 2u));

TEST(Model, NaNDistancesFallBackToTheLinearScan) {
    const uint32_t dim = 4;
    const rk_hnsw_params_t p = params(3, 8, 8);
    rk_hnsw_t *h = rk_hnsw_create(nullptr, dim, &p);
    Ref ref(dim, 0, p);
    auto data = tied_data(120, dim, 5);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (size_t i = 0; i < 120; i += 17) data[i * dim + 1] = nan;
    data[50 * dim] = std::numeric_limits<float>::infinity();
    rk_srand(5);
    for (uint64_t i = 0; i < 120; ++i) ASSERT_EQ(add(h, i, &data[i * dim]), RK_OK);
    rk_srand(5);
    for (uint64_t i = 0; i < 120; ++i) ref.insert(i, &data[i * dim]);
    expect_same_graph(h, ref);
    for (size_t i = 0; i < 120; i += 7)
        expect_same_hits(lib_search(h, &data[i * dim], 5), ref.search(&data[i * dim], 5));
    rk_hnsw_destroy(h);
}

// ---- recall against exhaustive search ------------------------------------

double recall_at_10(uint32_t metric, size_t n, size_t nq, uint32_t dim) {
    std::mt19937 rng(1234);
    std::normal_distribution<float> g;
    std::vector<float> data((n + nq) * dim);
    for (auto &x : data) x = g(rng);
    for (size_t i = 0; i < n + nq; ++i) {  // normalised rows
        float s = 0;
        for (uint32_t j = 0; j < dim; ++j) s += data[i * dim + j] * data[i * dim + j];
        for (uint32_t j = 0; j < dim; ++j) data[i * dim + j] /= std::sqrt(s);
    }
    // A modest list: a graph whose nodes are all reachable needs no more.
    const rk_hnsw_params_t p = params(16, 100, 128);
    rk_hnsw_t *h = rk_hnsw_create(nullptr, dim, &p);
    rk::hnsw_set_metric(h, metric);
    std::vector<uint64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = i + 1;
    rk_srand(42);
    EXPECT_EQ(rk::hnsw_add_batch(h, ids.data(), data.data(), n), RK_OK);
    size_t hit = 0;
    for (size_t qi = 0; qi < nq; ++qi) {
        const float *q = &data[(n + qi) * dim];
        std::vector<std::pair<float, uint64_t>> all(n);
        for (size_t i = 0; i < n; ++i)
            all[i] = {rk_vec_distance(q, &data[i * dim], dim, static_cast<rk_metric_t>(metric)), i + 1};
        std::partial_sort(all.begin(), all.begin() + 10, all.end());
        const auto got = lib_search(h, q, 10);
        EXPECT_EQ(got.size(), 10u);
        for (const auto &x : got) {
            for (int t = 0; t < 10; ++t) hit += all[t].second == x.id;
            // Reported distances are the metric's own, up to rounding.
            const float exact =
                rk_vec_distance(q, &data[(x.id - 1) * dim], dim, static_cast<rk_metric_t>(metric));
            EXPECT_NEAR(x.distance, exact, 1e-4f);
        }
    }
    rk_hnsw_destroy(h);
    return static_cast<double>(hit) / static_cast<double>(nq * 10);
}

TEST(Recall, EachMetricFindsItsOwnNeighbours) {
    for (uint32_t metric : {0u, 1u, 2u}) EXPECT_GE(recall_at_10(metric, 2000, 40, 96), 0.95) << metric;
}

// Tight, well-separated clumps: linking plain nearest neighbours points
// every list into its own clump and leaves the others unreachable.
std::vector<float> clumps(size_t n, uint32_t dim, size_t nclumps, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g;
    std::vector<float> centres(nclumps * dim), data(n * dim);
    for (auto &x : centres) x = 10.0f * g(rng);
    for (size_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < dim; ++j)
            data[i * dim + j] = centres[(rng() % nclumps) * dim + j] + 0.1f * g(rng);
    return data;
}

// Recall@10 of the graph's answers for queries (rows of data) against an
// exhaustive search over the live rows; also counts live rows that a search
// for their own vector does not find first.
struct Measured {
    double recall;
    size_t lost;
};

Measured measure(rk_hnsw_t *h, const std::vector<float> &data, uint32_t dim, const std::vector<char> &live,
                 size_t nq) {
    const size_t n = live.size();
    size_t hit = 0, lost = 0;
    for (size_t i = 0; i < n; ++i)
        if (live[i] && lib_search(h, &data[i * dim], 1).at(0).distance != 0.0f) ++lost;
    for (size_t qi = 0; qi < nq; ++qi) {
        const float *q = &data[(qi * 7919 % n) * dim];
        std::vector<std::pair<float, uint64_t>> all;
        for (size_t i = 0; i < n; ++i)
            if (live[i]) all.push_back({rk::kern::l2sq(q, &data[i * dim], dim), i});
        std::partial_sort(all.begin(), all.begin() + 10, all.end());
        for (const auto &x : lib_search(h, q, 10))
            for (int t = 0; t < 10; ++t) hit += all[t].first == x.distance && all[t].second == x.id;
    }
    return {static_cast<double>(hit) / static_cast<double>(nq * 10), lost};
}

rk_hnsw_t *build(const std::vector<float> &data, uint32_t dim, const std::vector<char> &live,
                 const rk_hnsw_params_t &p) {
    rk_hnsw_t *h = rk_hnsw_create(nullptr, dim, &p);
    rk_srand(11);
    for (uint64_t i = 0; i < live.size(); ++i)
        if (live[i]) {
            EXPECT_EQ(add(h, i, &data[i * dim]), RK_OK);
        }
    return h;
}

TEST(Recall, EveryNodeOfClumpedDataIsReachable) {
    const uint32_t dim = 16;
    const size_t n = 3000;
    const auto data = clumps(n, dim, 30, 4);
    const std::vector<char> live(n, 1);
    rk_hnsw_t *h = build(data, dim, live, params(8, 64, 48));
    const Measured m = measure(h, data, dim, live, 100);
    // A node whose every in-link the diversity rule pruned away is found
    // through no path; such orphans stay rare.
    EXPECT_LE(m.lost, n / 200);
    EXPECT_GE(m.recall, 0.97);
    rk_hnsw_destroy(h);
}

// Removing 30 % of the nodes re-links around each of them: the survivors stay
// reachable and the answers stay close to those of a graph built afresh over
// them (emptying slots alone leaves holes that cut paths).
TEST(Recall, RemovalKeepsTheSurvivorsReachable) {
    const uint32_t dim = 16;
    const size_t n = 3000;
    const auto data = clumps(n, dim, 30, 5);
    std::vector<char> live(n, 1);
    const rk_hnsw_params_t p = params(8, 64, 48);
    rk_hnsw_t *h = build(data, dim, live, p);
    std::mt19937 rng(6);
    for (size_t removed = 0; removed < n * 3 / 10;) {
        const size_t i = rng() % n;
        if (!live[i]) continue;
        live[i] = 0, ++removed;
        ASSERT_EQ(rk::hnsw_remove(h, i), RK_OK);
    }
    rk_hnsw_t *fresh = build(data, dim, live, p);
    const Measured after = measure(h, data, dim, live, 100), base = measure(fresh, data, dim, live, 100);
    EXPECT_LE(after.lost, base.lost + n / 200);
    EXPECT_GE(after.recall, base.recall - 0.02);
    // No list names a removed node that it was re-linked away from.
    for (uint64_t i = 0; i < n; ++i) {
        if (!live[i]) continue;
        uint32_t *cnt;
        const uint32_t *links = rk::node_links(h, h->slots[i], 0, &cnt);
        for (uint32_t j = 0; j < *cnt; ++j) EXPECT_NE(links[j], i) << "self link";
    }
    rk_hnsw_destroy(h);
    rk_hnsw_destroy(fresh);
}

// ---- graph object ----------------------------------------------------------

TEST(Graph, CreateRefusesBadArgumentsAndFillsDefaults) {
    const rk_hnsw_params_t p = params(16, 40, 20);
    EXPECT_EQ(rk_hnsw_create(nullptr, 0, &p), nullptr);
    EXPECT_EQ(rk_hnsw_create(nullptr, 8, nullptr), nullptr);
    rk_hnsw_t *h = rk_hnsw_create(nullptr, 8, &p);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(rk_hnsw_get_entry_point(h), -1);
    EXPECT_EQ(rk_hnsw_get_max_level(h), 0u);
    EXPECT_EQ(h->capacity, 4096u);
    EXPECT_EQ(h->seed, 12345u);
    EXPECT_EQ(h->params.level_mult, 1.0f / rk_math_log_f32(16.0f));
    EXPECT_EQ(rk_hnsw_get_entry_point(nullptr), -1);
    EXPECT_EQ(rk_hnsw_get_max_level(nullptr), 0u);
    rk_hnsw_destroy(h);
    rk_hnsw_destroy(nullptr);

    rk_arena_t *arena;
    ASSERT_EQ(rk_arena_create(0, &arena), RK_OK);
    rk_hnsw_params_t q = p;
    q.seed = 9;
    q.level_mult = 0.5f;
    h = rk_hnsw_create(arena, 8, &q);
    EXPECT_EQ(h->seed, 9u);
    EXPECT_EQ(h->params.level_mult, 0.5f);
    rk_hnsw_destroy(h);  // a caller's arena stays
    EXPECT_GT(rk_arena_get_used_size(arena), 0u);
    rk_arena_destroy(arena);
}

TEST(Graph, FirstVectorIsTheEntryAndFindsItself) {
    const rk_hnsw_params_t p = params(4, 10, 10);
    rk_hnsw_t *h = rk_hnsw_create(nullptr, 3, &p);
    const float v[3] = {1, 2, 3};
    rk_srand(1);
    ASSERT_EQ(add(h, 7, v), RK_OK);
    EXPECT_EQ(rk_hnsw_get_entry_point(h), 7);
    const auto hits = lib_search(h, v, 5);
    ASSERT_EQ(hits.size(), 1u);  // k beyond the nodes: fewer hits
    EXPECT_EQ(hits[0].id, 7u);
    EXPECT_EQ(hits[0].distance, 0.0f);
    EXPECT_EQ(rk::hnsw_set_metric(h, 1), RK_ERR_INVALID_ARG);  // nodes already stored
    EXPECT_EQ(rk::hnsw_search(h, v, 0, nullptr), 0u);
    rk_hnsw_destroy(h);
}

TEST(Graph, TableGrowsToTwiceTheIdAndRefusesIdsNoTableCanHold) {
    const rk_hnsw_params_t p = params(4, 10, 10);
    rk_hnsw_t *h = rk_hnsw_create(nullptr, 2, &p);
    const float v[2] = {0, 1};
    ASSERT_EQ(add(h, 5000, v), RK_OK);
    EXPECT_EQ(h->capacity, 10002u);
    for (uint64_t id : {UINT64_MAX, UINT64_MAX / 2, uint64_t{1} << 40, uint64_t{0x7FFFFFFF}})
        EXPECT_EQ(add(h, id, v), RK_ERR_TOO_LARGE) << id;
    EXPECT_EQ(h->capacity, 10002u);
    EXPECT_EQ(h->ntotal, 1u);
    EXPECT_EQ(rk::hnsw_add_batch(h, nullptr, v, 1), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk::hnsw_add_batch(nullptr, nullptr, v, 1), RK_ERR_INVALID_ARG);
    rk_hnsw_destroy(h);
}

// One stray id cannot make the table claim memory the data does not
// justify: a graph of one node takes ids below the floor only, and the last
// growth step stops at the limit instead of doubling past it.
TEST(Graph, TableGrowthFollowsTheNodeCountNotOneId) {
    const rk_hnsw_params_t p = params(4, 10, 10);
    rk_hnsw_t *h = rk_hnsw_create(nullptr, 2, &p);
    const float v[2] = {0.25f, 1.5f};
    ASSERT_EQ(add(h, 1, v), RK_OK);
    EXPECT_EQ(add(h, rk::kSlotFloor, v), RK_ERR_TOO_LARGE);
    EXPECT_EQ(add(h, uint64_t{1} << 31, v), RK_ERR_TOO_LARGE);  // a 34 GB table before
    EXPECT_EQ(h->capacity, uint64_t{rk::kInitialSlots});
    ASSERT_EQ(add(h, rk::kSlotFloor - 1, v), RK_OK);
    EXPECT_EQ(h->capacity, rk::kSlotFloor);
    EXPECT_EQ(h->ntotal, 2u);
    // The limit grows with the nodes: 64 slots per node past the floor.
    EXPECT_EQ(rk::hnsw_slot_limit(0), rk::kSlotFloor);
    EXPECT_EQ(rk::hnsw_slot_limit(uint64_t{1} << 20), uint64_t{64} << 20);
    EXPECT_EQ(rk::hnsw_slot_limit(UINT64_MAX), rk::kMaxSlots);
    rk_hnsw_destroy(h);
}

TEST(Graph, RemovalHandsOverTheEntryAndRemovedIdsNeverComeBack) {
    const uint32_t dim = 8;
    const rk_hnsw_params_t p = params(6, 30, 30);
    rk_hnsw_t *h = rk_hnsw_create(nullptr, dim, &p);
    const auto data = tied_data(300, dim, 2);
    rk_srand(3);
    for (uint64_t i = 0; i < 300; ++i) ASSERT_EQ(add(h, i + 1, &data[i * dim]), RK_OK);
    const int64_t entry = rk_hnsw_get_entry_point(h);
    ASSERT_EQ(rk::hnsw_remove(h, static_cast<uint64_t>(entry)), RK_OK);
    EXPECT_EQ(rk_hnsw_get_entry_point(h), entry == 1 ? 2 : 1);
    EXPECT_EQ(rk_hnsw_get_max_level(h), h->slots[rk_hnsw_get_entry_point(h)]->level);
    for (uint64_t id = 2; id <= 300; id += 2) rk::hnsw_remove(h, id);
    EXPECT_EQ(rk::hnsw_remove(h, 999999), RK_OK);
    EXPECT_EQ(rk::hnsw_remove(nullptr, 1), RK_ERR_INVALID_ARG);
    for (uint64_t i = 0; i < 300; i += 3) {
        for (const auto &x : lib_search(h, &data[i * dim], 10)) {
            EXPECT_EQ(x.id % 2, 1u);
            EXPECT_NE(static_cast<int64_t>(x.id), entry);
        }
    }
    for (uint64_t id = 1; id <= 300; ++id) rk::hnsw_remove(h, id);
    EXPECT_EQ(rk_hnsw_get_entry_point(h), -1);
    EXPECT_EQ(lib_search(h, data.data(), 3).size(), 0u);
    EXPECT_EQ(h->ntotal, 300u);
    ASSERT_EQ(add(h, 40, data.data()), RK_OK);
    EXPECT_EQ(rk_hnsw_get_entry_point(h), 40);
    rk_hnsw_destroy(h);
}

TEST(Graph, LevelCapAndReinsertion) {
    const rk_hnsw_params_t p = params(2, 8, 8, 1);
    rk_hnsw_t *h = rk_hnsw_create(nullptr, 2, &p);
    rk_srand(8);
    for (uint64_t i = 0; i < 500; ++i) {
        const float v[2] = {static_cast<float>(i % 23), static_cast<float>(i % 7)};
        ASSERT_EQ(add(h, i, v), RK_OK);
    }
    for (uint64_t i = 0; i < 500; ++i) EXPECT_LE(h->slots[i]->level, 1u);
    // Adding an id again replaces its node; the count still rises.
    const float v[2] = {10.5f, 3.5f};
    ASSERT_EQ(add(h, 10, v), RK_OK);
    EXPECT_EQ(h->ntotal, 501u);
    EXPECT_EQ(rk::node_vector(h, h->slots[10])[0], 10.5f);
    rk_hnsw_destroy(h);
}

TEST(Graph, RebuiltFromPlacedNodesAnswersAlike) {
    const uint32_t dim = 5;
    const rk_hnsw_params_t p = params(4, 20, 12);
    rk_hnsw_t *a = rk_hnsw_create(nullptr, dim, &p);
    rk::hnsw_set_metric(a, 2);
    const auto data = tied_data(200, dim, 4);
    rk_srand(2);
    for (uint64_t i = 0; i < 200; ++i) ASSERT_EQ(add(a, 3 * i, &data[i * dim]), RK_OK);
    rk_hnsw_t *b = rk_hnsw_create(nullptr, dim, &p);
    b->metric = a->metric;
    b->ntotal = a->ntotal;
    b->entry_point = a->entry_point;
    b->max_level = a->max_level;
    ASSERT_EQ(rk::hnsw_reserve(b, a->capacity), RK_OK);
    for (uint64_t i = 0; i < a->capacity; ++i) {
        rk::HnswNode *src = a->slots[i];
        if (!src) continue;
        rk::HnswNode *dst;
        ASSERT_EQ(rk::hnsw_place_node(b, i, src->level, rk::node_vector(a, src), a->ntotal, &dst), RK_OK);
        for (uint32_t l = 0; l <= src->level; ++l) {
            uint32_t *cnt;
            const uint32_t *links = rk::node_links(a, src, l, &cnt);
            std::vector<uint64_t> ids(links, links + *cnt);
            ASSERT_EQ(rk::hnsw_set_links(b, dst, l, ids.data(), *cnt), RK_OK);
        }
        EXPECT_EQ(rk::hnsw_set_links(b, dst, src->level + 1, nullptr, 0), RK_ERR_INVALID_ARG);
        std::vector<uint64_t> too_many(2 * p.m + 1, 0);
        EXPECT_EQ(rk::hnsw_set_links(b, dst, 0, too_many.data(), 2 * p.m + 1), RK_ERR_INVALID_ARG);
    }
    EXPECT_EQ(rk::hnsw_count_occupied(b, 0, b->capacity), 200u);
    for (size_t i = 0; i < 200; i += 9)
        expect_same_hits(lib_search(a, &data[i * dim], 6), lib_search(b, &data[i * dim], 6));
    rk_hnsw_destroy(a);
    rk_hnsw_destroy(b);
}

void *failing_malloc(size_t, void *) { return nullptr; }
void *plain_realloc(void *p, size_t n, void *) { return std::realloc(p, n); }
void plain_free(void *p, void *) { std::free(p); }

TEST(Graph, WorkingMemoryFailuresAreReportedNotHidden) {
    const rk_hnsw_params_t p = params(4, 10, 10);
    rk_hnsw_t *h = rk_hnsw_create(nullptr, 2, &p);
    const float v[2] = {1, 2};
    const rk_allocator_t saved = *rk_get_allocator();
    const rk_allocator_t failing = {failing_malloc, plain_realloc, plain_free, nullptr};
    ASSERT_EQ(rk_set_allocator(&failing), RK_OK);
    const rk_status_t st = add(h, 1, v);
    ASSERT_EQ(rk_set_allocator(&saved), RK_OK);
    EXPECT_EQ(st, RK_ERR_NO_MEMORY);
    ASSERT_EQ(add(h, 1, v), RK_OK);
    ASSERT_EQ(add(h, 2, v), RK_OK);
    rk_hnsw_t *fresh = rk_hnsw_create(nullptr, 2, &p);
    ASSERT_EQ(add(fresh, 1, v), RK_OK);  // a lone node: its scratch never grew
    ASSERT_EQ(rk_set_allocator(&failing), RK_OK);
    const size_t found = lib_search(fresh, v, 3).size();
    ASSERT_EQ(rk_set_allocator(&saved), RK_OK);
    EXPECT_EQ(found, 0u);
    EXPECT_EQ(lib_search(fresh, v, 3).size(), 1u);
    rk_hnsw_destroy(h);
    rk_hnsw_destroy(fresh);
}

TEST(Graph, ConcurrentSearchesAgreeWithASerialOne) {
    const uint32_t dim = 16;
    const rk_hnsw_params_t p = params(8, 40, 30);
    rk_hnsw_t *h = rk_hnsw_create(nullptr, dim, &p);
    const auto data = tied_data(2000, dim, 6);
    std::vector<uint64_t> ids(2000);
    for (uint64_t i = 0; i < 2000; ++i) ids[i] = i;
    rk_srand(6);
    ASSERT_EQ(rk::hnsw_add_batch(h, ids.data(), data.data(), 2000), RK_OK);
    std::vector<std::vector<HeapItem>> serial;
    for (size_t i = 0; i < 2000; i += 20) serial.push_back(lib_search(h, &data[i * dim], 10));
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 12; ++t) {  // more threads than pooled scratch buffers
        threads.emplace_back([&] {
            for (size_t i = 0, j = 0; i < 2000; i += 20, ++j) {
                const auto got = lib_search(h, &data[i * dim], 10);
                if (got.size() != serial[j].size() ||
                    !std::equal(got.begin(), got.end(), serial[j].begin(),
                                [](const HeapItem &x, const HeapItem &y) { return x.id == y.id; }))
                    ++mismatches;
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
    rk_hnsw_destroy(h);
}

}  // namespace
