// SPDX-License-Identifier: Apache-2.0
// How a collection trains its IVF index: explicit IVF types seed with
// uniformly drawn rows and train a large collection on a sample of 256 rows per list
// drawn from the library generator; the default configuration keeps the
// farthest-point start on every row. Each is checked against an index
// trained directly on the rows it should have seen, bit for bit.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "index/index.h"
#include "index/ivf.h"
#include "rk_collection.h"
#include "rk_index.h"
#include "rk_platform.h"

namespace {

rk_collection_t *make(uint32_t dim, int32_t type) {
    rk_collection_config_t cfg{};
    cfg.name = rk_string_t{"t", 1};
    cfg.dimension = dim;
    cfg.metric = RK_METRIC_L2;
    cfg.index_type = type;
    return rk_collection_create(nullptr, &cfg);
}

std::vector<float> rows(size_t n, uint32_t dim, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g;
    std::vector<float> v(n * dim);
    for (size_t r = 0; r < n; ++r)
        for (uint32_t j = 0; j < dim; ++j) v[r * dim + j] = float(r % 7) * 3.0f + g(rng);
    return v;
}

// An index trained directly with the settings the collection should use.
std::vector<float> direct_centroids(const std::vector<float> &train, uint32_t dim, uint32_t nlist,
                                    uint32_t nprobe, uint32_t iters, uint32_t seeding) {
    rk_index_config_t cfg{};
    cfg.type = RK_INDEX_IVF;
    cfg.dimension = dim;
    cfg.params.ivf.nlist = nlist;
    cfg.params.ivf.nprobe = nprobe;
    cfg.params.ivf.train_iterations = iters;
    cfg.params.ivf.reserved[0] = seeding;
    rk_index_t *ix = rk_index_create(nullptr, &cfg);
    EXPECT_EQ(rk_index_train(ix, train.data(), train.size() / dim), RK_OK);
    std::vector<float> c(rk::ivf_centroid(ix->impl.ivf, 0), rk::ivf_centroid(ix->impl.ivf, 0) + nlist * dim);
    rk_index_destroy(ix);
    return c;
}

std::vector<float> collection_centroids(rk_collection_t *c) {
    rk_ivf_t *ivf = c->index->impl.ivf;
    return std::vector<float>(rk::ivf_centroid(ivf, 0), rk::ivf_centroid(ivf, 0) + ivf->nlist * ivf->dim);
}

void fill(rk_collection_t *c, const std::vector<float> &v) {
    for (size_t i = 0; i < v.size() / c->dimension; ++i)
        ASSERT_EQ(rk_collection_insert(c, &v[i * c->dimension], nullptr), RK_OK);
}

TEST(CollectionIvfTraining, ExplicitIvfUsesKmeansPlusPlusAndTheDefaultKeepsFarthestPoint) {
    const uint32_t dim = 3;
    const auto v = rows(2000, dim, 1);
    rk_collection_t *ex = make(dim, RK_INDEX_IVF), *def = make(dim, -1);
    fill(ex, v);
    fill(def, v);
    // Each build draws from a generator of its own, seeded from the
    // collection's build seed with the process-wide generator's step.
    ASSERT_EQ(rk_collection_set_build_seed(ex, 31), RK_OK);
    ASSERT_EQ(rk_collection_build_index(ex), RK_OK);
    ASSERT_EQ(rk_collection_set_build_seed(def, 32), RK_OK);
    ASSERT_EQ(rk_collection_build_index(def), RK_OK);
    // Explicit: about 4 sqrt(rows) lists (4 * 44), all rows, 10 rounds.
    ASSERT_EQ(ex->index->impl.ivf->nlist, 176u);
    EXPECT_EQ(ex->index->impl.ivf->params.reserved[0], RK_IVF_SEEDING_UNIFORM);
    rk_srand(31);
    const auto want_ex = direct_centroids(v, dim, 176, 32, 10, RK_IVF_SEEDING_UNIFORM);
    EXPECT_EQ(0, std::memcmp(collection_centroids(ex).data(), want_ex.data(), want_ex.size() * 4));
    // Default: 5 lists, 3 probes, no rounds, farthest-point picks.
    ASSERT_EQ(def->index->impl.ivf->nlist, 5u);
    EXPECT_EQ(def->index->impl.ivf->params.reserved[0], RK_IVF_SEEDING_FARTHEST);
    rk_srand(32);
    const auto want_def = direct_centroids(v, dim, 5, 3, 0, RK_IVF_SEEDING_FARTHEST);
    EXPECT_EQ(0, std::memcmp(collection_centroids(def).data(), want_def.data(), want_def.size() * 4));
    rk_collection_destroy(ex);
    rk_collection_destroy(def);
}

// More rows than 256 per list (1024 lists at most): training sees exactly
// the rows selection sampling with the build's generator picks, and every
// row is added.
TEST(CollectionIvfTraining, LargeCollectionTrainsOnASampleAndAddsEveryRow) {
    const uint32_t dim = 2, nlist = 1024;
    const size_t n = size_t(nlist) * 256 + 3001, want = size_t(nlist) * 256;
    const auto v = rows(n, dim, 2);
    rk_collection_t *c = make(dim, RK_INDEX_IVF);
    fill(c, v);
    ASSERT_EQ(rk_collection_set_build_seed(c, 77), RK_OK);
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
    ASSERT_EQ(c->index->impl.ivf->nlist, nlist);
    EXPECT_EQ(rk_index_get_ntotal(c->index), n);
    rk_srand(77);
    std::vector<float> sample;
    size_t taken = 0;
    for (size_t i = 0; i < n && taken < want; ++i) {
        if (rk_rand() % (n - i) < want - taken) {
            sample.insert(sample.end(), &v[i * dim], &v[(i + 1) * dim]);
            ++taken;
        }
    }
    ASSERT_EQ(taken, want);
    const auto expect = direct_centroids(sample, dim, nlist, 32, 10, RK_IVF_SEEDING_UNIFORM);
    EXPECT_EQ(0, std::memcmp(collection_centroids(c).data(), expect.data(), expect.size() * 4));
    // A stored row is found again through the index.
    rk_search_result_t hit{};
    ASSERT_EQ(rk_collection_search_filtered(c, &v[12345 * dim], nullptr, 1, &hit), 1u);
    EXPECT_EQ(hit.distance, 0.0f);
    rk_collection_destroy(c);
}

}  // namespace
