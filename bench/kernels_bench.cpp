// SPDX-License-Identifier: Apache-2.0
// Throughput of the batch distance kernels: vectors per second for L2 and dot
// at dimensions 128, 384 and 784, for every code path the processor has,
// next to the plain one-row loop and (when built with it) FAISS's own
// one-pair routines, as ratios from one run.
//
// Rows are visited through a shuffled pointer array in batches of 32, the
// way a graph search scores a neighbour list.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "vector/kernels.h"

#ifdef ZEVUD_HAVE_FAISS
#include <faiss/utils/distances.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kRows = 4096;
constexpr size_t kBatch = 32;
constexpr double kMinSeconds = 0.1;
// The machine is shared: each figure is the best of a few timed runs.
constexpr int kTrials = 3;

struct Data {
    uint32_t dim;
    std::vector<float> block;
    std::vector<float> query;
    std::vector<const float *> rows;
    std::vector<float> out;
};

Data make_data(uint32_t dim) {
    Data d{dim, std::vector<float>(kRows * dim), std::vector<float>(dim), std::vector<const float *>(kRows),
           std::vector<float>(kRows)};
    std::mt19937 rng(dim);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (auto &x : d.block) x = u(rng);
    for (auto &x : d.query) x = u(rng);
    for (size_t i = 0; i < kRows; ++i) d.rows[i] = d.block.data() + i * dim;
    std::shuffle(d.rows.begin(), d.rows.end(), rng);
    return d;
}

// Runs passes over all rows until kMinSeconds have passed; vectors/s.
template <class Pass>
double rate_once(Data &d, Pass pass) {
    size_t passes = 0;
    const auto t0 = Clock::now();
    double secs = 0;
    do {
        pass(d);
        ++passes;
        secs = std::chrono::duration<double>(Clock::now() - t0).count();
    } while (secs < kMinSeconds);
    return double(passes * kRows) / secs;
}

template <class Pass>
double rate(Data &d, Pass pass) {
    double best = 0;
    for (int t = 0; t < kTrials; ++t) {
        const double r = rate_once(d, pass);
        if (r > best) best = r;
    }
    return best;
}

volatile float g_sink;

template <bool L2>
void batched(Data &d) {
    for (size_t i = 0; i < kRows; i += kBatch) {
        if (L2) {
            rk::kern::l2sq_many(d.query.data(), d.rows.data() + i, kBatch, d.dim, d.out.data() + i);
        } else {
            rk::kern::dot_many(d.query.data(), d.rows.data() + i, kBatch, d.dim, d.out.data() + i);
        }
    }
    g_sink = d.out[kRows - 1];
}

template <bool L2>
void plain(Data &d) {
    for (size_t i = 0; i < kRows; ++i) {
        d.out[i] = L2 ? rk::kern::l2sq(d.query.data(), d.rows[i], d.dim) : rk::kern::dot(d.query.data(), d.rows[i], d.dim);
    }
    g_sink = d.out[kRows - 1];
}

#ifdef ZEVUD_HAVE_FAISS
template <bool L2>
void faiss_pairs(Data &d) {
    for (size_t i = 0; i < kRows; ++i) {
        d.out[i] = L2 ? faiss::fvec_L2sqr(d.query.data(), d.rows[i], d.dim)
                      : faiss::fvec_inner_product(d.query.data(), d.rows[i], d.dim);
    }
    g_sink = d.out[kRows - 1];
}
#endif

template <bool L2>
void run_metric(Data &d) {
    const char *metric = L2 ? "l2" : "dot";
    const double base = rate(d, plain<L2>);
#ifdef ZEVUD_HAVE_FAISS
    const double faiss_rate = rate(d, faiss_pairs<L2>);
#else
    const double faiss_rate = 0;
#endif
    std::printf("dim %4u %-3s  plain loop        %12.0f vec/s\n", d.dim, metric, base);
    if (faiss_rate > 0) {
        std::printf("dim %4u %-3s  faiss pairwise    %12.0f vec/s  (%.2fx plain; reassociated sums)\n", d.dim, metric,
                    faiss_rate, faiss_rate / base);
    }
    for (int p = 0; p < rk::kern::kPathCount; ++p) {
        const auto path = rk::kern::Path(p);
        if (!rk::kern::force_path(path)) continue;
        const double r = rate(d, batched<L2>);
        std::printf("dim %4u %-3s  batch %-10s  %12.0f vec/s  (%.2fx plain", d.dim, metric, rk::kern::path_name(path), r,
                    r / base);
        if (faiss_rate > 0) std::printf(", %.2fx faiss", r / faiss_rate);
        std::printf(")\n");
    }
    rk::kern::reset_path();
}

}  // namespace

int main() {
    std::printf("batch kernels: %zu rows in shuffled batches of %zu; automatic path: %s\n", kRows, kBatch,
                rk::kern::path_name(rk::kern::active_path()));
    for (uint32_t dim : {128u, 384u, 784u}) {
        Data d = make_data(dim);
        run_metric<true>(d);
        run_metric<false>(d);
    }
    return 0;
}
