// HNSW graph against hnswlib (same m and ef_construction, one thread) on
// MNIST t10k and a seeded clustered synthetic set: build time, recall@10 and
// queries per second over an ef_search sweep, memory per indexed vector.
//
// The library's walk reads m ids of every list, also on level 0 whose lists
// hold 2 * m; the "all level-0 ids" column repeats the sweep with all 2 * m
// read on level 0 (an experiment, not the library's default path).
//
// Usage: hnsw_bench [synthetic_count (100000)] [queries (1000)] [spread (1.0)]
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "index/hnsw.h"
#include "rk_error.h"
#include "rk_index.h"
#include "rk_platform.h"
#include "vector/kernels.h"

#ifdef ZEVUD_HAVE_HNSWLIB
#include <hnswlib/hnswlib.h>
#endif

namespace {

constexpr uint32_t kM = 16, kEfc = 200, kK = 10;
const uint32_t kSweep[] = {10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512};

struct Set {
    std::string name;
    uint32_t dim = 0;
    size_t n = 0, nq = 0;
    std::vector<float> base, queries;
    std::vector<uint64_t> truth;  // nq x kK ids (0-based rows)
};

// Times are this thread's CPU time: the machine is shared, and wall time
// would count other processes' turns against whichever run they hit.
double now() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

size_t heap_in_use() {
    const struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
}

bool load_mnist(Set &s, size_t nq) {
    const std::string path = std::string(ZEVUD_SHARED_DIR) + "/data/mnist-t10k-images-idx3-ubyte.gz";
    FILE *p = popen(("gzip -dc '" + path + "'").c_str(), "r");
    if (!p) return false;
    unsigned char h[16];
    bool ok = fread(h, 1, 16, p) == 16;
    auto be = [&](int o) {
        return uint32_t(h[o]) << 24 | uint32_t(h[o + 1]) << 16 | uint32_t(h[o + 2]) << 8 | h[o + 3];
    };
    const uint32_t count = ok ? be(4) : 0, rows = ok ? be(8) : 0, cols = ok ? be(12) : 0;
    ok = ok && be(0) == 0x803 && count > nq && rows * cols > 0;
    std::vector<unsigned char> px(ok ? size_t(count) * rows * cols : 0);
    ok = ok && fread(px.data(), 1, px.size(), p) == px.size();
    pclose(p);
    if (!ok) return false;
    s.name = "MNIST t10k";
    s.dim = rows * cols;
    s.n = count - nq;
    s.nq = nq;
    std::vector<float> all(px.begin(), px.end());
    s.base.assign(all.begin(), all.begin() + long(s.n * s.dim));
    s.queries.assign(all.begin() + long(s.n * s.dim), all.end());
    return true;
}

// Gaussian blobs: 100 centres drawn N(0, 1) per component, points scattered
// around them with standard deviation `spread` per component.
void make_clustered(Set &s, size_t n, size_t nq, float spread) {
    s.name = "synthetic clustered " + std::to_string(n) + "x128";
    s.dim = 128;
    s.n = n;
    s.nq = nq;
    std::mt19937 rng(20261208);
    std::normal_distribution<float> g;
    std::vector<float> centres(100 * s.dim);
    for (auto &x : centres) x = g(rng);
    auto fill = [&](std::vector<float> &out, size_t rows) {
        out.resize(rows * s.dim);
        for (size_t i = 0; i < rows; ++i) {
            const float *c = &centres[(rng() % 100) * s.dim];
            for (uint32_t j = 0; j < s.dim; ++j) out[i * s.dim + j] = c[j] + spread * g(rng);
        }
    };
    fill(s.base, n);
    fill(s.queries, nq);
}

void ground_truth(Set &s) {
    s.truth.resize(s.nq * kK);
    std::vector<float> d(s.n);
    std::vector<uint32_t> idx(s.n);
    for (size_t q = 0; q < s.nq; ++q) {
        rk::kern::l2sq_block(&s.queries[q * s.dim], s.base.data(), s.n, s.dim, s.dim, d.data());
        for (uint32_t i = 0; i < s.n; ++i) idx[i] = i;
        std::partial_sort(idx.begin(), idx.begin() + kK, idx.end(),
                          [&](uint32_t a, uint32_t b) { return d[a] < d[b] || (d[a] == d[b] && a < b); });
        for (uint32_t k = 0; k < kK; ++k) s.truth[q * kK + k] = idx[k];
    }
}

double recall_of(const Set &s, size_t q, const uint64_t *ids, size_t n) {
    size_t hit = 0;
    for (size_t i = 0; i < n; ++i)
        for (uint32_t k = 0; k < kK; ++k) hit += s.truth[q * kK + k] == ids[i];
    return double(hit) / kK;
}

struct Point {
    double recall = 0, qps = 0;
};

struct Curve {
    std::string name;
    double build_s = 0, bytes_per_vec = 0;
    std::vector<Point> pts;
};

// QPS where the curve crosses recall r (linear between sweep points); 0 when
// the sweep never reaches r.
double qps_at(const Curve &c, double r) {
    for (size_t i = 0; i < c.pts.size(); ++i) {
        if (c.pts[i].recall < r) continue;
        if (i == 0) return c.pts[0].qps;
        const Point &a = c.pts[i - 1], &b = c.pts[i];
        const double t = b.recall > a.recall ? (r - a.recall) / (b.recall - a.recall) : 1.0;
        return a.qps + t * (b.qps - a.qps);
    }
    return 0;
}

void run_ours(const Set &s, Curve &lib, Curve &wide) {
    rk_hnsw_params_t p{};
    p.m = kM;
    p.ef_construction = kEfc;
    p.ef_search = 10;
    const size_t before = heap_in_use();
    rk_hnsw_t *h = rk_hnsw_create(nullptr, s.dim, &p);
    std::vector<uint64_t> ids(s.n);
    for (size_t i = 0; i < s.n; ++i) ids[i] = i;  // row i is id i
    rk_srand(1);
    const double t0 = now();
    if (rk::hnsw_add_batch(h, ids.data(), s.base.data(), s.n) != RK_OK)
        std::fprintf(stderr, "build failed\n");
    lib.build_s = wide.build_s = now() - t0;
    lib.bytes_per_vec = wide.bytes_per_vec = double(heap_in_use() - before) / double(s.n);
    std::vector<rk::HeapItem> out(kK);
    std::vector<uint64_t> got(kK);
    for (Curve *c : {&lib, &wide}) {
        const uint32_t reads0 = c == &lib ? kM : 2 * kM;
        for (uint32_t ef : kSweep) {
            double rec = 0;
            const double t1 = now();
            for (size_t q = 0; q < s.nq; ++q) {
                const size_t n = rk::hnsw_search_ex(h, &s.queries[q * s.dim], kK, ef, reads0, out.data());
                for (size_t i = 0; i < n; ++i) got[i] = out[i].id;
                rec += recall_of(s, q, got.data(), n);
            }
            c->pts.push_back({rec / double(s.nq), double(s.nq) / (now() - t1)});
        }
    }
    rk_hnsw_destroy(h);
}

#ifdef ZEVUD_HAVE_HNSWLIB
void run_hnswlib(const Set &s, Curve &c) {
    hnswlib::L2Space space(s.dim);
    const size_t before = heap_in_use();
    auto *alg = new hnswlib::HierarchicalNSW<float>(&space, s.n, kM, kEfc, 100);
    const double t0 = now();
    for (size_t i = 0; i < s.n; ++i) alg->addPoint(&s.base[i * s.dim], i);
    c.build_s = now() - t0;
    c.bytes_per_vec = double(heap_in_use() - before) / double(s.n);
    std::vector<uint64_t> got(kK);
    for (uint32_t ef : kSweep) {
        alg->setEf(ef);
        double rec = 0;
        const double t1 = now();
        for (size_t q = 0; q < s.nq; ++q) {
            auto res = alg->searchKnn(&s.queries[q * s.dim], kK);
            size_t n = 0;
            while (!res.empty()) {
                got[n++] = res.top().second;
                res.pop();
            }
            rec += recall_of(s, q, got.data(), n);
        }
        c.pts.push_back({rec / double(s.nq), double(s.nq) / (now() - t1)});
    }
    delete alg;
}
#endif

void report(const Set &s, const std::vector<Curve> &curves) {
    std::printf("\n== %s: %zu vectors, %zu queries, dim %u, m %u, ef_construction %u\n", s.name.c_str(), s.n,
                s.nq, s.dim, kM, kEfc);
    for (const Curve &c : curves)
        std::printf("  %-28s build %8.2f s   memory %8.1f bytes/vector\n", c.name.c_str(), c.build_s,
                    c.bytes_per_vec);
    std::printf("  %6s", "ef");
    for (const Curve &c : curves) std::printf(" | %-28s", (c.name + " recall / QPS").c_str());
    std::printf("\n");
    for (size_t i = 0; i < std::size(kSweep); ++i) {
        std::printf("  %6u", kSweep[i]);
        for (const Curve &c : curves) std::printf(" | %8.4f %10.0f         ", c.pts[i].recall, c.pts[i].qps);
        std::printf("\n");
    }
    for (const Curve &c : curves) {
        const double q = qps_at(c, 0.95);
        if (q > 0)
            std::printf("  %-28s QPS at recall@10 0.95: %.0f\n", c.name.c_str(), q);
        else
            std::printf("  %-28s QPS at recall@10 0.95: not reached (best recall %.4f)\n", c.name.c_str(),
                        c.pts.back().recall);
    }
    if (curves.size() == 3) {
        const Curve &ours = curves[0], &theirs = curves[2];
        const double qo = qps_at(ours, 0.95), qh = qps_at(theirs, 0.95);
        std::printf("  ratios (ours / hnswlib): QPS@0.95 %s   build %.2f   memory %.2f\n",
                    qo > 0 && qh > 0 ? std::to_string(qo / qh).c_str() : "n/a", ours.build_s / theirs.build_s,
                    ours.bytes_per_vec / theirs.bytes_per_vec);
    }
}

void run(Set &s) {
    ground_truth(s);
    std::vector<Curve> curves(2);
    curves[0].name = "zevud (m ids on level 0)";
    curves[1].name = "zevud (all level-0 ids)";
    run_ours(s, curves[0], curves[1]);
#ifdef ZEVUD_HAVE_HNSWLIB
    curves.emplace_back();
    curves[2].name = "hnswlib";
    run_hnswlib(s, curves[2]);
#endif
    report(s, curves);
}

}  // namespace

int main(int argc, char **argv) {
    const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const size_t nq = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000;
    const float spread = argc > 3 ? std::strtof(argv[3], nullptr) : 1.0f;
    std::printf("hnsw_bench: single thread, k = %u, times in thread CPU seconds, kernels path %s\n", kK,
                rk::kern::path_name(rk::kern::active_path()));
    Set mnist;
    if (load_mnist(mnist, nq))
        run(mnist);
    else
        std::printf("MNIST not available, skipped\n");
    Set synth;
    make_clustered(synth, n, nq, spread);
    run(synth);
    return 0;
}
