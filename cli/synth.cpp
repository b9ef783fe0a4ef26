// SPDX-License-Identifier: Apache-2.0
// Synthetic clustered data for the demo and the benchmark.
#include "synth.h"

#include <vector>

namespace zcli {
namespace {

constexpr uint32_t kLatent = 12;

// Per cluster: a centre, then kLatent directions the cluster spreads along,
// so the data has a low intrinsic dimension like real embeddings.
std::vector<float> centres(uint32_t dim, uint32_t clusters, uint64_t seed) {
    Rng rng(seed);
    std::vector<float> c(size_t(dim) * clusters * (1 + kLatent));
    for (float &x : c) x = rng.normalish();
    return c;
}

Dataset around(uint64_t rows, uint32_t dim, uint32_t clusters, uint64_t seed, uint64_t noise_seed,
               bool meta) {
    const std::vector<float> c = centres(dim, clusters, seed);
    Rng rng(noise_seed);
    Dataset d;
    d.rows = rows;
    d.dim = dim;
    d.data.resize(rows * dim);
    Column cat{"category", ColumnType::text, {}, {}}, price{"price", ColumnType::number, {}, {}};
    for (uint64_t r = 0; r < rows; ++r) {
        const uint64_t k = rng.below(clusters);
        const float *centre = &c[k * dim * (1 + kLatent)];
        float *out = &d.data[r * dim];
        for (uint32_t j = 0; j < dim; ++j) out[j] = centre[j] + 0.05f * rng.normalish();
        for (uint32_t l = 0; l < kLatent; ++l) {
            const float z = 0.5f * rng.normalish();
            const float *dir = centre + dim * (1 + l);
            for (uint32_t j = 0; j < dim; ++j) out[j] += z * dir[j];
        }
        if (!meta) continue;
        cat.texts.push_back(kCategories[k % (sizeof kCategories / sizeof *kCategories)]);
        price.numbers.push_back(double(100 + rng.below(19901)) / 100.0);
    }
    if (meta) d.columns = {std::move(cat), std::move(price)};
    return d;
}

}  // namespace

Dataset make_clustered(uint64_t rows, uint32_t dim, uint32_t clusters, uint64_t seed) {
    return around(rows, dim, clusters, seed, seed * 31 + 7, true);
}

Dataset make_queries(uint64_t rows, uint32_t dim, uint32_t clusters, uint64_t seed) {
    return around(rows, dim, clusters, seed, seed * 31 + 1000003, false);
}

}  // namespace zcli
