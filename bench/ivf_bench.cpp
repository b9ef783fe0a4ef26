// SPDX-License-Identifier: Apache-2.0
// IVF index benchmark: build time (training + adding), recall@10 and
// queries per second over a sweep of nprobe, side by side with FAISS
// IndexIVFFlat (single thread, same nlist, 10 k-means rounds, the same
// training rows) when it is installed. Ours seeds as a collection's own IVF
// index does (uniformly drawn rows) unless told otherwise.
//
// Sets: MNIST (9,000 base rows, 1,000 queries, L2), seeded Gaussian clusters
// (rows x 128, L2) and the same kind normalised (rows x 384, cosine). nlist
// is 4 sqrt(base rows), rounded, as a user sizing an index would pick it;
// both libraries train on at most 256 rows per list (FAISS's default).
//
// usage: ivf_bench [rows (100000)] [queries (1000)]
//                  [sets: all | mnist | clustered | cosine (all)]
//                  [seeding: uniform | kmeans++ | farthest (uniform)]
//                  [build: 1 = build both and print list balance only (0)]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "index/ivf.h"
#include "rk_error.h"
#include "rk_index.h"
#include "rk_platform.h"
#include "vector/kernels.h"

#ifdef ZEVUD_HAVE_FAISS
#include <dlfcn.h>
#include <faiss/IndexFlat.h>
#include <faiss/IndexIVFFlat.h>
#include <omp.h>
#endif

namespace {

// Times are CPU seconds of the calling thread (both libraries run on it):
// the machine is shared, and wall time would charge other processes' slices
// to whichever library happened to be running.
double now_s() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

double seconds_since(double t0) { return now_s() - t0; }

// Each sweep point runs this many times; the fastest run counts.
constexpr int kRuns = 3;

// The command line's seeding (rk_ivf_params_t.reserved[0]) and whether to
// stop after the builds.
uint32_t g_seeding = RK_IVF_SEEDING_UNIFORM;
bool g_build_only = false;

struct Set {
    std::string name;
    uint32_t dim = 0;
    std::vector<float> base, queries;
    size_t nb() const { return base.size() / dim; }
    size_t nq() const { return queries.size() / dim; }
};

// MNIST test images (gzip'd IDX): the first rows are the base, the last
// `nq` the queries.
bool load_mnist(size_t nq, Set *s) {
    const std::string path = std::string(ZEVUD_SHARED_DIR) + "/data/mnist-t10k-images-idx3-ubyte.gz";
    FILE *p = popen(("gzip -dc '" + path + "'").c_str(), "r");
    if (!p) return false;
    std::vector<unsigned char> raw;
    unsigned char buf[1 << 16];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, p)) > 0) raw.insert(raw.end(), buf, buf + got);
    pclose(p);
    if (raw.size() < 16) return false;
    auto be32 = [&](size_t o) {
        return (uint32_t(raw[o]) << 24) | (uint32_t(raw[o + 1]) << 16) | (uint32_t(raw[o + 2]) << 8) |
               raw[o + 3];
    };
    const size_t n = be32(4), dim = size_t(be32(8)) * be32(12);
    if (raw.size() < 16 + n * dim || nq >= n) return false;
    s->name = "mnist";
    s->dim = static_cast<uint32_t>(dim);
    std::vector<float> all(n * dim);
    for (size_t i = 0; i < n * dim; ++i) all[i] = static_cast<float>(raw[16 + i]);
    s->base.assign(all.begin(), all.end() - static_cast<ptrdiff_t>(nq * dim));
    s->queries.assign(all.end() - static_cast<ptrdiff_t>(nq * dim), all.end());
    return true;
}

// Gaussian clusters of uneven spread around 1000 centres; queries from the
// same distribution.
Set synthetic(size_t n, size_t nq, uint32_t dim, bool unit) {
    Set s;
    s.name = unit ? "clustered-unit" : "clustered";
    s.dim = dim;
    std::mt19937_64 gen(1234);
    std::normal_distribution<float> g(0.0f, 1.0f);
    const size_t centres = 1000;
    std::vector<float> c(centres * dim), spread(centres);
    for (auto &v : c) v = 1.0f * g(gen);  // centres close enough for clusters to overlap
    for (auto &v : spread) v = 0.5f + 1.5f * static_cast<float>(gen() % 1000) / 1000.0f;
    auto draw = [&](std::vector<float> &out, size_t rows) {
        out.resize(rows * dim);
        for (size_t r = 0; r < rows; ++r) {
            const size_t k = gen() % centres;
            double norm = 0;
            for (uint32_t j = 0; j < dim; ++j) {
                out[r * dim + j] = c[k * dim + j] + spread[k] * g(gen);
                norm += double(out[r * dim + j]) * out[r * dim + j];
            }
            if (unit)
                for (uint32_t j = 0; j < dim; ++j)
                    out[r * dim + j] = float(out[r * dim + j] / std::sqrt(norm));
        }
    };
    draw(s.base, n);
    draw(s.queries, nq);
    return s;
}

// Exact top-10 under the metric, by brute force with the library kernels.
std::vector<uint64_t> ground_truth(const Set &s, uint32_t metric) {
    const size_t nb = s.nb(), nq = s.nq();
    std::vector<uint64_t> gt(nq * 10);
    std::vector<float> d(nb), norms(nb);
    for (size_t i = 0; i < nb; ++i)
        norms[i] = std::sqrt(rk::kern::dot(&s.base[i * s.dim], &s.base[i * s.dim], s.dim));
    std::vector<uint32_t> idx(nb);
    for (size_t q = 0; q < nq; ++q) {
        const float *qv = &s.queries[q * s.dim];
        if (metric == 0)
            rk::kern::l2sq_block(qv, s.base.data(), nb, s.dim, s.dim, d.data());
        else
            rk::kern::dot_block(qv, s.base.data(), nb, s.dim, s.dim, d.data());
        if (metric == 1)
            for (auto &v : d) v = -v;
        if (metric == 2)
            for (size_t i = 0; i < nb; ++i) d[i] = -d[i] / (norms[i] + 1e-30f);
        for (size_t i = 0; i < nb; ++i) idx[i] = static_cast<uint32_t>(i);
        std::partial_sort(idx.begin(), idx.begin() + 10, idx.end(),
                          [&](uint32_t a, uint32_t b) { return d[a] < d[b] || (d[a] == d[b] && a < b); });
        for (int j = 0; j < 10; ++j) gt[q * 10 + j] = idx[j];
    }
    return gt;
}

double recall(const std::vector<uint64_t> &gt, const std::vector<int64_t> &got, size_t nq) {
    size_t hit = 0;
    for (size_t q = 0; q < nq; ++q)
        for (int i = 0; i < 10; ++i)
            for (int j = 0; j < 10; ++j)
                hit += got[q * 10 + i] >= 0 && uint64_t(got[q * 10 + i]) == gt[q * 10 + j];
    return double(hit) / double(nq * 10);
}

struct Point {
    uint32_t nprobe;
    double recall, qps;
    double scanned;  // list entries scanned per query
};

// Smallest QPS-at-recall estimate: interpolate the first pair of sweep points
// that straddles the target recall.
double qps_at(const std::vector<Point> &pts, double target) {
    for (size_t i = 0; i < pts.size(); ++i) {
        if (pts[i].recall < target) continue;
        if (i == 0) return pts[0].qps;
        const Point &a = pts[i - 1], &b = pts[i];
        const double t = (target - a.recall) / (b.recall - a.recall);
        return a.qps + t * (b.qps - a.qps);
    }
    return 0.0;
}

const uint32_t kSweep[] = {1, 2, 4, 6, 8, 12, 16, 24, 32, 48, 64, 96, 128, 192, 256};

std::vector<float> training_rows(const Set &s, uint32_t nlist) {
    // The same rows for both libraries: up to 256 per list, FAISS's default
    // cap (the first rows; the sets are in random order).
    const size_t want = std::min(s.nb(), size_t(nlist) * 256);
    return std::vector<float>(s.base.begin(), s.base.begin() + static_cast<ptrdiff_t>(want * s.dim));
}

// Entries in the np lists nearest to each query, averaged.
double scanned_ours(const rk_ivf_t *ivf, const Set &s, uint32_t np) {
    std::vector<float> sc(ivf->nlist);
    std::vector<uint32_t> order(ivf->nlist);
    double total = 0;
    for (size_t q = 0; q < s.nq(); ++q) {
        rk::centroid_scores(rk::ivf_rule(ivf), &s.queries[q * s.dim], ivf->centroids, ivf->nlist, s.dim,
                            sc.data());
        for (uint32_t i = 0; i < ivf->nlist; ++i) order[i] = i;
        std::partial_sort(order.begin(), order.begin() + np, order.end(),
                          [&](uint32_t a, uint32_t b) { return sc[a] < sc[b]; });
        for (uint32_t i = 0; i < np; ++i) total += double(rk_ivf_get_list_size(ivf, order[i]));
    }
    return total / double(s.nq());
}

// How evenly the rows spread over the lists: FAISS's imbalance factor
// (nlist times the sum of squared list sizes over the squared total; 1 for
// equal lists, and the expected entries a query drawn like the rows scans
// in one list, over the mean list size), the largest list and empty ones.
void print_balance(const std::vector<uint64_t> &sizes) {
    double total = 0, sq = 0;
    uint64_t largest = 0, empty = 0;
    for (uint64_t n : sizes) {
        total += double(n);
        sq += double(n) * double(n);
        largest = std::max(largest, n);
        empty += n == 0;
    }
    if (total == 0) return;
    std::printf("  lists: imbalance %.2f, largest %llu (mean %.0f), %llu empty\n",
                double(sizes.size()) * sq / (total * total), static_cast<unsigned long long>(largest),
                total / double(sizes.size()), static_cast<unsigned long long>(empty));
}

struct Run {
    std::vector<Point> pts;
    double build = 0;  // training + adding, CPU seconds
};

// Our index; trained by its own k-means, or (given) on ready centroids, to
// tell the training apart from the search.
Run run_ours(const Set &s, uint32_t nlist, uint32_t metric, const std::vector<uint64_t> &gt,
             const std::vector<float> *given = nullptr) {
    rk_ivf_params_t p{};
    p.nlist = nlist;
    p.train_iterations = 10;
    p.reserved[0] = g_seeding;
    rk_ivf_t *ivf = rk_ivf_create(nullptr, s.dim, &p);
    rk::ivf_set_metric(ivf, metric);
    const auto train = training_rows(s, nlist);
    rk_srand(99);
    double t0 = now_s();
    if (given) {
        for (uint32_t i = 0; i < nlist; ++i)
            std::memcpy(rk::ivf_centroid(ivf, i), given->data() + size_t(i) * s.dim, sizeof(float) * s.dim);
        rk::ivf_set_trained(ivf, 1);
    } else if (rk::ivf_train(ivf, train.data(), train.size() / s.dim) != RK_OK) {
        std::abort();
    }
    const double t_train = seconds_since(t0);
    std::vector<uint64_t> ids(s.nb());
    for (size_t i = 0; i < ids.size(); ++i) ids[i] = i;
    t0 = now_s();
    if (rk::ivf_add_batch(ivf, ids.data(), s.base.data(), s.nb()) != RK_OK) std::abort();
    const double t_add = seconds_since(t0);
    std::printf("  zevud%s build %.2fs (train %.2fs on %zu rows, add %.2fs)\n",
                given ? " on faiss centroids" : "", t_train + t_add, t_train, train.size() / s.dim, t_add);
    std::vector<uint64_t> sizes(nlist);
    for (uint32_t i = 0; i < nlist; ++i) sizes[i] = rk_ivf_get_list_size(ivf, i);
    print_balance(sizes);
    if (g_build_only) {
        rk_ivf_destroy(ivf);
        return {};
    }
    Run out;
    out.build = t_train + t_add;
    std::vector<Point> &pts = out.pts;
    std::vector<rk::IvfHit> hits(s.nq() * 10);
    std::vector<uint64_t> counts(s.nq());
    std::vector<int64_t> got(s.nq() * 10);
    for (uint32_t np : kSweep) {
        if (np > nlist) break;
        ivf->params.nprobe = np;
        double t = 1e30;
        for (int run = 0; run < kRuns; ++run) {
            t0 = now_s();
            // The whole batch in one call, as FAISS gets it below.
            rk::ivf_search_batch(ivf, s.queries.data(), s.nq(), 10, np, hits.data(), counts.data());
            t = std::min(t, seconds_since(t0));
            for (size_t q = 0; q < s.nq(); ++q)
                for (int i = 0; i < 10; ++i)
                    got[q * 10 + i] = uint64_t(i) < counts[q] ? int64_t(hits[q * 10 + i].id) : -1;
        }
        pts.push_back({np, recall(gt, got, s.nq()), double(s.nq()) / t, scanned_ours(ivf, s, np)});
    }
    rk_ivf_destroy(ivf);
    return out;
}

#ifdef ZEVUD_HAVE_FAISS
// Which BLAS FAISS's matrix products run on decides its training speed:
// the reference BLAS is many times slower than an optimised one.
extern "C" void sgemm_();
const char *blas_library() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&sgemm_), &info) && info.dli_fname) return info.dli_fname;
    return "unknown";
}

Run run_faiss(const Set &s, uint32_t nlist, uint32_t metric, const std::vector<uint64_t> &gt,
              std::vector<float> *centroids) {
    omp_set_num_threads(1);
    const auto mt = metric == 0 ? faiss::METRIC_L2 : faiss::METRIC_INNER_PRODUCT;
    faiss::IndexFlat quantizer(s.dim, mt);
    faiss::IndexIVFFlat index(&quantizer, s.dim, nlist, mt);
    index.cp.niter = 10;
    index.cp.spherical = metric != 0;
    const auto train = training_rows(s, nlist);
    // Cosine ranks normalised vectors by inner product.
    std::vector<float> base = s.base, queries = s.queries, tr = train;
    if (metric == 2) {
        for (auto *v : {&base, &queries, &tr})
            for (size_t r = 0; r < v->size() / s.dim; ++r) {
                float n = std::sqrt(rk::kern::dot(&(*v)[r * s.dim], &(*v)[r * s.dim], s.dim));
                for (uint32_t j = 0; j < s.dim; ++j) (*v)[r * s.dim + j] /= n;
            }
    }
    double t0 = now_s();
    index.train(static_cast<faiss::Index::idx_t>(tr.size() / s.dim), tr.data());
    const double t_train = seconds_since(t0);
    centroids->assign(quantizer.get_xb(), quantizer.get_xb() + size_t(nlist) * s.dim);
    t0 = now_s();
    index.add(static_cast<faiss::Index::idx_t>(s.nb()), base.data());
    const double t_add = seconds_since(t0);
    std::printf("  faiss  build %.2fs (train %.2fs, add %.2fs)\n", t_train + t_add, t_train, t_add);
    std::vector<uint64_t> sizes(nlist);
    for (uint32_t i = 0; i < nlist; ++i) sizes[i] = index.invlists->list_size(i);
    print_balance(sizes);
    if (g_build_only) return {};
    Run out;
    out.build = t_train + t_add;
    std::vector<Point> &pts = out.pts;
    std::vector<float> dist(s.nq() * 10);
    std::vector<faiss::Index::idx_t> lab(s.nq() * 10);
    std::vector<int64_t> got(s.nq() * 10);
    for (uint32_t np : kSweep) {
        if (np > nlist) break;
        index.nprobe = np;
        double t = 1e30;
        for (int run = 0; run < kRuns; ++run) {
            t0 = now_s();
            // One call for the whole batch: FAISS's fastest way to run them.
            index.search(static_cast<faiss::Index::idx_t>(s.nq()), queries.data(), 10, dist.data(),
                         lab.data());
            t = std::min(t, seconds_since(t0));
        }
        for (size_t i = 0; i < got.size(); ++i) got[i] = lab[i];
        std::vector<float> cd(s.nq() * np);
        std::vector<faiss::Index::idx_t> cl(s.nq() * np);
        quantizer.search(static_cast<faiss::Index::idx_t>(s.nq()), queries.data(), np, cd.data(), cl.data());
        double scanned = 0;
        for (auto l : cl) scanned += l >= 0 ? double(index.invlists->list_size(static_cast<size_t>(l))) : 0.0;
        pts.push_back({np, recall(gt, got, s.nq()), double(s.nq()) / t, scanned / double(s.nq())});
    }
    return out;
}
#endif

struct Summary {
    std::string name;
    uint32_t nlist;
    double build_ours, build_faiss, qps90[2], qps95[2];
};

Summary bench(const Set &s, uint32_t nlist, uint32_t metric) {
    std::printf("\n== %s: %zu x %u, %zu queries, nlist %u, metric %u, kernels %s\n", s.name.c_str(), s.nb(),
                s.dim, s.nq(), nlist, metric, rk::kern::path_name(rk::kern::active_path()));
    std::fflush(stdout);
    const auto gt = ground_truth(s, metric);
    const Run ours = run_ours(s, nlist, metric, gt);
    std::vector<float> fc;
#ifdef ZEVUD_HAVE_FAISS
    const Run theirs = run_faiss(s, nlist, metric, gt, &fc);
    const Run mixed = run_ours(s, nlist, metric, gt, &fc);
#else
    const Run theirs, mixed;
#endif
    if (g_build_only) return {};
    std::printf(
        "  nprobe | zevud recall     QPS  scanned | faiss recall     QPS  scanned"
        " | zevud search on faiss centroids: recall  QPS\n");
    for (size_t i = 0; i < ours.pts.size(); ++i) {
        const Point &o = ours.pts[i];
        std::printf("  %6u | %12.4f %7.0f %8.0f", o.nprobe, o.recall, o.qps, o.scanned);
        if (i < theirs.pts.size())
            std::printf(" | %12.4f %7.0f %8.0f | %12.4f %7.0f", theirs.pts[i].recall, theirs.pts[i].qps,
                        theirs.pts[i].scanned, mixed.pts[i].recall, mixed.pts[i].qps);
        std::printf("\n");
    }
    Summary sum{s.name, nlist, ours.build, theirs.build, {0, 0}, {0, 0}};
    for (int t = 0; t < 2; ++t) {
        const double target = t == 0 ? 0.90 : 0.95;
        const double a = qps_at(ours.pts, target), b = qps_at(theirs.pts, target);
        (t == 0 ? sum.qps90 : sum.qps95)[0] = a;
        (t == 0 ? sum.qps90 : sum.qps95)[1] = b;
        std::printf("  QPS at recall@10 = %.2f: zevud %.0f", target, a);
        if (!theirs.pts.empty()) {
            const double c = qps_at(mixed.pts, target);
            std::printf(", faiss %.0f, ratio %.2f; zevud search on faiss centroids %.0f, ratio %.2f", b,
                        b > 0 ? a / b : 0.0, c, b > 0 ? c / b : 0.0);
        }
        std::printf("\n");
    }
    std::fflush(stdout);
    return sum;
}

}  // namespace

int main(int argc, char **argv) {
    const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const size_t nq = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000;
    const std::string sets = argc > 3 ? argv[3] : "all";
    const std::string seeding = argc > 4 ? argv[4] : "uniform";
    g_seeding = seeding == "kmeans++"   ? RK_IVF_SEEDING_KMEANS_PP
                : seeding == "farthest" ? RK_IVF_SEEDING_FARTHEST
                                        : RK_IVF_SEEDING_UNIFORM;
    g_build_only = argc > 5 && std::string(argv[5]) == "1";
    // Arguments are positional: a set name where the row count belongs
    // would read as 0 rows.
    if (n < 100 || nq == 0 || (sets != "all" && sets != "mnist" && sets != "clustered" && sets != "cosine")) {
        std::fprintf(stderr,
                     "usage: ivf_bench [rows >= 100] [queries >= 1] [all|mnist|clustered|cosine] "
                     "[uniform|kmeans++|farthest] [build only: 0|1]\n");
        return 2;
    }
    std::printf("zevud seeding: %s\n", g_seeding == RK_IVF_SEEDING_KMEANS_PP  ? "kmeans++"
                                       : g_seeding == RK_IVF_SEEDING_FARTHEST ? "farthest"
                                                                              : "uniform");
#ifdef ZEVUD_HAVE_FAISS
    std::printf("FAISS runs its matrix products on %s\n", blas_library());
#endif
    auto nlist_for = [](size_t rows) { return uint32_t(std::lround(4.0 * std::sqrt(double(rows)))); };
    std::vector<Summary> all;
    if (sets == "all" || sets == "mnist") {
        Set mnist;
        if (load_mnist(nq, &mnist))
            all.push_back(bench(mnist, nlist_for(mnist.nb()), 0));
        else
            std::printf("MNIST not found under %s/data\n", ZEVUD_SHARED_DIR);
    }
    if (sets == "all" || sets == "clustered") {
        const Set syn = synthetic(n, nq, 128, false);
        all.push_back(bench(syn, nlist_for(n), 0));
    }
    if (sets == "all" || sets == "cosine") {
        const Set unit = synthetic(n, nq, 384, true);
        all.push_back(bench(unit, nlist_for(n), 2));
    }
    if (g_build_only) return 0;
    std::printf("\n%-16s %6s | %-27s | %-27s | %-27s\n", "set", "nlist", "build s: zevud faiss ratio",
                "QPS@0.90: zevud faiss ratio", "QPS@0.95: zevud faiss ratio");
    for (const Summary &x : all) {
        auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
        std::printf("%-16s %6u | %7.2f %7.2f %9.2f | %7.0f %7.0f %9.2f | %7.0f %7.0f %9.2f\n", x.name.c_str(),
                    x.nlist, x.build_ours, x.build_faiss, ratio(x.build_ours, x.build_faiss), x.qps90[0],
                    x.qps90[1], ratio(x.qps90[0], x.qps90[1]), x.qps95[0], x.qps95[1],
                    ratio(x.qps95[0], x.qps95[1]));
    }
    return 0;
}
