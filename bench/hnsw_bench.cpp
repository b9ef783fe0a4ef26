// SPDX-License-Identifier: Apache-2.0
// HNSW graph against hnswlib (same m and ef_construction, one thread, both
// in this process): build time, recall@10 and queries per second over an
// ef_search sweep, memory per indexed vector, on MNIST t10k (9,000 / 1,000),
// a seeded clustered 100k x 128 set (L2) and a seeded normalised
// 100k x 384 set (cosine). Ratios are printed per set.
//
// Options (key=value, any order):
//   sets=mnist,clustered,cosine   which data sets
//   n=100000 nq=1000              synthetic base size and query count
//   variants=default              graph rules to build with, comma separated:
//                                 default, swap (a full list swaps its farthest
//                                 member instead of re-selecting), fill (free
//                                 places take passed-over candidates),
//                                 wide (a new node chooses up to 2 m
//                                 neighbours on level 0, not m),
//                                 collection (the collection API users call:
//                                 rk_collection_build_index at the
//                                 collection's defaults, searched with
//                                 rk_collection_search_ex)
//                                 A variant may end in @avx2, @avx512,
//                                 @sse2 or @scalar: built and searched with
//                                 that kernel path forced (same graph, the
//                                 paths' sums being identical)
//   removal=0                     1: recall after removing 10/30/50 % of the
//                                 nodes, against a fresh build of the survivors
//   hnswlib=1                     0: skip the hnswlib runs
//   sweep=1                       0: skip the sweeps (removal only)
//   out=DIR                       writes `recall qps` curves for the plot
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "index/hnsw.h"
#include "rk_collection.h"
#include "rk_error.h"
#include "rk_index.h"
#include "rk_platform.h"
#include "rk_vector.h"
#include "vector/kernels.h"

#ifdef ZEVUD_HAVE_HNSWLIB
#include <hnswlib/hnswlib.h>
#endif

namespace {

constexpr uint32_t kM = 16, kEfc = 200, kK = 10;
const uint32_t kSweep[] = {10, 12, 16, 20, 24, 32, 40, 48, 64, 80, 96, 128, 160, 192, 256, 384, 512};
// Each sweep point runs this many times; the fastest run counts.
constexpr int kRuns = 3;

struct Set {
    std::string name;
    uint32_t dim = 0;
    uint32_t metric = 0;  // 0 L2, 2 cosine (rows stored normalised)
    size_t n = 0, nq = 0;
    std::vector<float> base, queries;
    std::vector<uint64_t> truth;  // nq x kK rows (0-based)
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
    s.name = "MNIST t10k " + std::to_string(count - nq) + "/" + std::to_string(nq) + " (L2)";
    s.dim = rows * cols;
    s.n = count - nq;
    s.nq = nq;
    std::vector<float> all(px.begin(), px.end());
    s.base.assign(all.begin(), all.begin() + long(s.n * s.dim));
    s.queries.assign(all.begin() + long(s.n * s.dim), all.end());
    return true;
}

// Gaussian blobs: 100 centres drawn N(0, 1) per component, points scattered
// around them with standard deviation 1 per component; normalised rows for
// the cosine set.
void make_clustered(Set &s, size_t n, size_t nq, uint32_t dim, bool normalise) {
    s.name =
        "clustered " + std::to_string(n) + "x" + std::to_string(dim) + (normalise ? " (cosine)" : " (L2)");
    s.dim = dim;
    s.metric = normalise ? 2 : 0;
    s.n = n;
    s.nq = nq;
    std::mt19937 rng(20261208 + dim);
    std::normal_distribution<float> g;
    std::vector<float> centres(100 * s.dim);
    for (auto &x : centres) x = g(rng);
    auto fill = [&](std::vector<float> &out, size_t rows) {
        out.resize(rows * s.dim);
        for (size_t i = 0; i < rows; ++i) {
            const float *c = &centres[(rng() % 100) * s.dim];
            float *row = &out[i * s.dim];
            for (uint32_t j = 0; j < s.dim; ++j) row[j] = c[j] + g(rng);
            if (!normalise) continue;
            const float norm = rk_math_sqrt_f32(rk::kern::sqnorm(row, s.dim));
            for (uint32_t j = 0; j < s.dim; ++j) row[j] /= norm;
        }
    };
    fill(s.base, n);
    fill(s.queries, nq);
}

// Exact neighbours among the rows marked live (all when live is empty).
std::vector<uint64_t> ground_truth(const Set &s, const std::vector<char> &live) {
    std::vector<uint64_t> truth(s.nq * kK);
    std::vector<float> d(s.n);
    std::vector<uint32_t> idx;
    for (size_t q = 0; q < s.nq; ++q) {
        rk::kern::l2sq_block(&s.queries[q * s.dim], s.base.data(), s.n, s.dim, s.dim, d.data());
        idx.clear();
        for (uint32_t i = 0; i < s.n; ++i)
            if (live.empty() || live[i]) idx.push_back(i);
        std::partial_sort(idx.begin(), idx.begin() + kK, idx.end(),
                          [&](uint32_t a, uint32_t b) { return d[a] < d[b] || (d[a] == d[b] && a < b); });
        for (uint32_t k = 0; k < kK; ++k) truth[q * kK + k] = idx[k];
    }
    return truth;
}

double recall_of(const std::vector<uint64_t> &truth, size_t q, const uint64_t *ids, size_t n) {
    size_t hit = 0;
    for (size_t i = 0; i < n; ++i)
        for (uint32_t k = 0; k < kK; ++k) hit += truth[q * kK + k] == ids[i];
    return double(hit) / kK;
}

struct Point {
    uint32_t ef = 0;
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

rk::HnswRules rules_of(const std::string &variant) {
    rk::HnswRules r;
    if (variant == "swap") r.reselect_full = false;
    if (variant == "fill") r.fill_pruned = true;
    if (variant == "wide") r.wide_new_lists = true;
    return r;
}

rk_hnsw_t *build_ours(const Set &s, const rk::HnswRules &rules, const std::vector<char> &live, Curve *c) {
    rk_hnsw_params_t p{};
    p.m = kM;
    p.ef_construction = kEfc;
    p.ef_search = 10;
    std::vector<uint64_t> ids;
    std::vector<float> rows;
    for (size_t i = 0; i < s.n; ++i) {
        if (!live.empty() && !live[i]) continue;
        ids.push_back(i);
        rows.insert(rows.end(), &s.base[i * s.dim], &s.base[(i + 1) * s.dim]);
    }
    const size_t before = heap_in_use();
    rk_hnsw_t *h = rk_hnsw_create(nullptr, s.dim, &p);
    rk::hnsw_set_metric(h, s.metric);
    h->rules = rules;
    rk_srand(1);
    const double t0 = now();
    if (rk::hnsw_add_batch(h, ids.data(), rows.data(), ids.size()) != RK_OK)
        std::fprintf(stderr, "build failed\n");
    if (c) {
        c->build_s = now() - t0;
        c->bytes_per_vec = double(heap_in_use() - before) / double(ids.size());
    }
    return h;
}

// One searcher per curve: answers query q with ef into got, returns the count.
using Searcher = std::function<size_t(size_t q, uint32_t ef, uint64_t *got)>;

Searcher ours_searcher(const Set &s, rk_hnsw_t *h) {
    auto out = std::make_shared<std::vector<rk::HeapItem>>(kK);
    return [&s, h, out](size_t q, uint32_t ef, uint64_t *got) {
        const size_t n = rk::hnsw_search_ex(h, &s.queries[q * s.dim], kK, ef, out->data());
        for (size_t i = 0; i < n; ++i) got[i] = (*out)[i].id;
        return n;
    };
}

// The same data through the collection API: a collection with an HNSW index
// at its defaults (m 16, ef_construction 200), the rows inserted in order
// (ids 1..n), one build; searches pass the sweep's ef as the per-call effort.
// Memory counts what the collection holds: records and graph.
rk_collection_t *build_collection(const Set &s, Curve *c) {
    const size_t before = heap_in_use();
    rk_collection_config_t cfg{};
    cfg.name = rk_string_t{"bench", 5};
    cfg.dimension = s.dim;
    cfg.metric = s.metric;
    cfg.index_type = RK_INDEX_HNSW;
    rk_collection_t *col = rk_collection_create(nullptr, &cfg);
    const double t0 = now();
    for (size_t i = 0; i < s.n; ++i) (void)rk_collection_insert(col, &s.base[i * s.dim], nullptr);
    if (rk_collection_build_index(col) != RK_OK) std::fprintf(stderr, "collection build failed\n");
    c->build_s = now() - t0;
    c->bytes_per_vec = double(heap_in_use() - before) / double(s.n);
    return col;
}

Searcher collection_searcher(const Set &s, rk_collection_t *col) {
    auto out = std::make_shared<std::vector<rk_search_result_t>>(kK);
    return [&s, col, out](size_t q, uint32_t ef, uint64_t *got) {
        rk_search_params_t p{};
        p.k = kK;
        uint64_t n = 0;
        (void)rk_collection_search_ex(col, &s.queries[q * s.dim], &p, ef, out->data(), &n);
        for (uint64_t i = 0; i < n; ++i) got[i] = (*out)[i].id - 1;
        return size_t(n);
    };
}

bool path_named(const std::string &name, rk::kern::Path *out) {
    for (int i = 0; i < rk::kern::kPathCount; ++i) {
        const auto p = rk::kern::Path(i);
        if (name == rk::kern::path_name(p) && rk::kern::path_supported(p)) {
            *out = p;
            return true;
        }
    }
    return false;
}

// Forces a kernel path for its lifetime, then goes back to the automatic one.
struct Pinned {
    explicit Pinned(rk::kern::Path p) { rk::kern::force_path(p); }
    ~Pinned() { rk::kern::reset_path(); }
    Pinned(const Pinned &) = delete;
    Pinned &operator=(const Pinned &) = delete;
};

// A searcher that runs on the given kernel path, whatever the others use
// (the switch is two stores: cheap beside a query).
Searcher on_path(rk::kern::Path path, Searcher inner) {
    return [path, inner](size_t q, uint32_t ef, uint64_t *got) {
        rk::kern::force_path(path);
        return inner(q, ef, got);
    };
}

// The sweep alternates the curves point by point and keeps each one's
// fastest of kRuns rounds, so that a noisy stretch of the machine hits all
// of them alike.
void sweep(const Set &s, const std::vector<uint64_t> &truth, std::vector<Curve> &curves,
           std::vector<Searcher> &searchers) {
    std::vector<uint64_t> got(kK);
    for (uint32_t ef : kSweep) {
        for (Curve &c : curves) c.pts.push_back(Point{ef, 0, 0});
        for (int run = 0; run < kRuns; ++run) {
            for (size_t i = 0; i < curves.size(); ++i) {
                double rec = 0;
                const double t1 = now();
                for (size_t q = 0; q < s.nq; ++q)
                    rec += recall_of(truth, q, got.data(), searchers[i](q, ef, got.data()));
                Point &p = curves[i].pts.back();
                p.recall = rec / double(s.nq);
                p.qps = std::max(p.qps, double(s.nq) / (now() - t1));
            }
        }
    }
}

#ifdef ZEVUD_HAVE_HNSWLIB
struct Hnswlib {
    hnswlib::L2Space l2;
    hnswlib::InnerProductSpace ip;
    std::unique_ptr<hnswlib::HierarchicalNSW<float>> alg;
    explicit Hnswlib(uint32_t dim) : l2(dim), ip(dim) {}
};

std::shared_ptr<Hnswlib> build_hnswlib(const Set &s, Curve &c) {
    auto lib = std::make_shared<Hnswlib>(s.dim);
    hnswlib::SpaceInterface<float> *space =
        s.metric == 2 ? static_cast<hnswlib::SpaceInterface<float> *>(&lib->ip) : &lib->l2;
    const size_t before = heap_in_use();
    lib->alg = std::make_unique<hnswlib::HierarchicalNSW<float>>(space, s.n, kM, kEfc, 100);
    const double t0 = now();
    for (size_t i = 0; i < s.n; ++i) lib->alg->addPoint(&s.base[i * s.dim], i);
    c.build_s = now() - t0;
    c.bytes_per_vec = double(heap_in_use() - before) / double(s.n);
    return lib;
}

Searcher hnswlib_searcher(const Set &s, std::shared_ptr<Hnswlib> lib) {
    return [&s, lib](size_t q, uint32_t ef, uint64_t *got) {
        lib->alg->setEf(ef);
        auto res = lib->alg->searchKnn(&s.queries[q * s.dim], kK);
        size_t n = 0;
        while (!res.empty()) {
            got[n++] = res.top().second;
            res.pop();
        }
        return n;
    };
}
#endif

std::string ratio(double a, double b) {
    if (a <= 0 || b <= 0) return "n/a";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", a / b);
    return buf;
}

void report(const Set &s, const std::vector<Curve> &curves) {
    std::printf("\n== %s: %zu vectors, %zu queries, dim %u, m %u, ef_construction %u\n", s.name.c_str(), s.n,
                s.nq, s.dim, kM, kEfc);
    for (const Curve &c : curves)
        std::printf("  %-16s build %8.2f s   memory %8.1f bytes/vector\n", c.name.c_str(), c.build_s,
                    c.bytes_per_vec);
    std::printf("  %6s", "ef");
    for (const Curve &c : curves) std::printf(" | %-16s %-10s", c.name.c_str(), "recall/QPS");
    std::printf("\n");
    for (size_t i = 0; i < std::size(kSweep); ++i) {
        std::printf("  %6u", kSweep[i]);
        for (const Curve &c : curves) std::printf(" | %8.4f %10.0f   ", c.pts[i].recall, c.pts[i].qps);
        std::printf("\n");
    }
    for (const Curve &c : curves)
        std::printf("  %-16s QPS at recall 0.95: %8.0f   at 0.99: %8.0f   ceiling (ef 512) %.4f\n",
                    c.name.c_str(), qps_at(c, 0.95), qps_at(c, 0.99), c.pts.back().recall);
    const Curve &ref = curves.back();
    if (ref.name != "hnswlib") return;
    for (size_t i = 0; i + 1 < curves.size(); ++i) {
        const Curve &c = curves[i];
        std::printf("  ratio %s / hnswlib: QPS@0.95 %s   QPS@0.99 %s   build %s   memory %s\n",
                    c.name.c_str(), ratio(qps_at(c, 0.95), qps_at(ref, 0.95)).c_str(),
                    ratio(qps_at(c, 0.99), qps_at(ref, 0.99)).c_str(), ratio(c.build_s, ref.build_s).c_str(),
                    ratio(c.bytes_per_vec, ref.bytes_per_vec).c_str());
    }
}

void write_curve(const std::string &dir, const std::string &file, const Curve &c) {
    if (dir.empty()) return;
    FILE *f = std::fopen((dir + "/" + file).c_str(), "w");
    if (!f) return;
    for (const Point &p : c.pts) std::fprintf(f, "%.4f %.0f\n", p.recall, p.qps);
    std::fclose(f);
}

// Recall after removing a share of the nodes at random, against a fresh
// build over the survivors, at equal ef.
void run_removal(const Set &s) {
    std::printf("\n  removal on %s: recall@10 at ef 16 / 32 / 64 / 128, removed graph vs fresh build\n",
                s.name.c_str());
    for (double share : {0.1, 0.3, 0.5}) {
        std::vector<char> live(s.n, 1);
        std::mt19937 rng(77);
        std::vector<uint64_t> order(s.n);
        for (size_t i = 0; i < s.n; ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), rng);
        const size_t cut = size_t(share * double(s.n));
        for (size_t i = 0; i < cut; ++i) live[order[i]] = 0;
        const auto truth = ground_truth(s, live);
        rk_hnsw_t *fresh = build_ours(s, rk::HnswRules{}, live, nullptr);
        for (bool repair : {true, false}) {
            rk::HnswRules rules;
            rules.repair_on_remove = repair;
            rk_hnsw_t *h = build_ours(s, rules, {}, nullptr);
            const double t0 = now();
            for (size_t i = 0; i < cut; ++i) rk::hnsw_remove(h, order[i]);
            const double rm_s = now() - t0;
            std::printf("    %2.0f %% removed, %-9s (%.2f s):", share * 100, repair ? "repaired" : "plain",
                        rm_s);
            for (uint32_t ef : {16u, 32u, 64u, 128u}) {
                double r_rm = 0, r_fresh = 0;
                std::vector<rk::HeapItem> out(kK);
                std::vector<uint64_t> got(kK);
                for (size_t q = 0; q < s.nq; ++q) {
                    size_t n = rk::hnsw_search_ex(h, &s.queries[q * s.dim], kK, ef, out.data());
                    for (size_t i = 0; i < n; ++i) got[i] = out[i].id;
                    r_rm += recall_of(truth, q, got.data(), n);
                    n = rk::hnsw_search_ex(fresh, &s.queries[q * s.dim], kK, ef, out.data());
                    for (size_t i = 0; i < n; ++i) got[i] = out[i].id;
                    r_fresh += recall_of(truth, q, got.data(), n);
                }
                std::printf("  %.4f/%.4f", r_rm / double(s.nq), r_fresh / double(s.nq));
            }
            std::printf("\n");
            rk_hnsw_destroy(h);
        }
        rk_hnsw_destroy(fresh);
    }
}

struct Options {
    std::vector<std::string> sets{"mnist", "clustered", "cosine"};
    std::vector<std::string> variants{"default"};
    size_t n = 100000, nq = 1000;
    bool removal = false, hnswlib = true, sweep = true;
    std::string out;
};

std::vector<std::string> split(const std::string &v) {
    std::vector<std::string> out;
    size_t a = 0;
    while (a <= v.size()) {
        const size_t b = v.find(',', a);
        out.push_back(v.substr(a, b == std::string::npos ? std::string::npos : b - a));
        if (b == std::string::npos) break;
        a = b + 1;
    }
    return out;
}

void run(Set &s, const Options &o) {
    if (!o.sweep) {
        if (o.removal) run_removal(s);
        return;
    }
    s.truth = ground_truth(s, {});
    std::vector<Curve> curves;
    std::vector<Searcher> searchers;
    std::vector<rk_hnsw_t *> graphs;
    std::vector<rk_collection_t *> collections;
    for (const std::string &name : o.variants) {
        Curve c;
        c.name = "zevud " + name;
        const size_t at = name.find('@');
        const std::string v = name.substr(0, at);
        rk::kern::Path path = rk::kern::active_path();
        if (at != std::string::npos && !path_named(name.substr(at + 1), &path)) {
            std::printf("  %s: kernel path not available here, skipped\n", name.c_str());
            continue;
        }
        const Pinned pin{path};
        if (v == "collection") {
            collections.push_back(build_collection(s, &c));
            searchers.push_back(on_path(path, collection_searcher(s, collections.back())));
            curves.push_back(c);
            continue;
        }
        graphs.push_back(build_ours(s, rules_of(v), {}, &c));
        searchers.push_back(on_path(path, ours_searcher(s, graphs.back())));
        curves.push_back(c);
    }
#ifdef ZEVUD_HAVE_HNSWLIB
    if (o.hnswlib) {
        curves.emplace_back();
        curves.back().name = "hnswlib";
        searchers.push_back(hnswlib_searcher(s, build_hnswlib(s, curves.back())));
    }
#endif
    sweep(s, s.truth, curves, searchers);
    searchers.clear();
    for (rk_hnsw_t *h : graphs) rk_hnsw_destroy(h);
    for (rk_collection_t *col : collections) rk_collection_destroy(col);
    report(s, curves);
    std::string tag = s.name.substr(0, s.name.find(' '));
    for (char &ch : tag) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    if (s.metric == 2) tag = "cosine";
    for (const Curve &c : curves)
        write_curve(o.out,
                    "bench-hnsw-" + tag + "-" + (c.name == "hnswlib" ? "hnswlib" : c.name.substr(6)) + ".dat",
                    c);
    if (o.removal) run_removal(s);
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const size_t eq = a.find('=');
        const std::string k = a.substr(0, eq), v = eq == std::string::npos ? "" : a.substr(eq + 1);
        if (k == "sets")
            o.sets = split(v);
        else if (k == "variants")
            o.variants = split(v);
        else if (k == "n")
            o.n = std::strtoull(v.c_str(), nullptr, 10);
        else if (k == "nq")
            o.nq = std::strtoull(v.c_str(), nullptr, 10);
        else if (k == "removal")
            o.removal = v == "1";
        else if (k == "hnswlib")
            o.hnswlib = v != "0";
        else if (k == "sweep")
            o.sweep = v != "0";
        else if (k == "out")
            o.out = v;
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    std::printf("hnsw_bench: single thread, k = %u, times in thread CPU seconds, kernels path %s\n", kK,
                rk::kern::path_name(rk::kern::active_path()));
    for (const std::string &name : o.sets) {
        Set s;
        if (name == "mnist") {
            if (!load_mnist(s, o.nq)) {
                std::printf("MNIST not available, skipped\n");
                continue;
            }
        } else if (name == "clustered") {
            make_clustered(s, o.n, o.nq, 128, false);
        } else if (name == "cosine") {
            make_clustered(s, o.n, o.nq, 384, true);
        } else {
            std::fprintf(stderr, "unknown set %s\n", name.c_str());
            return 2;
        }
        run(s, o);
    }
    return 0;
}
