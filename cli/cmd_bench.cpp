// SPDX-License-Identifier: Apache-2.0
// zevud bench: the ann-benchmarks protocol on one data set. Exact neighbours
// come from a flat scan; HNSW is built once and swept over ef, IVF (when
// asked for) built once and swept over nprobe, each point a k = 10 search
// with that effort for the call. Writes a markdown table, the curve data and
// a recall/QPS plot drawn by gnuplot.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "commands.h"
#include "dataset.h"
#include "session.h"
#include "synth.h"

namespace zcli {

namespace {

const CommandSpec kBench = {
    "bench",
    "[--data FILE | --synthetic] [--ef LIST] [--ivf] [--threads N] [-o DIR]",
    "Measures recall@10 against queries per second over a parameter sweep.",
    "Data: --data FILE (any import format; the last --queries rows are the queries),\n"
    "else MNIST t10k when present, else a seeded synthetic set. Writes OUT/benchmark.md,\n"
    "OUT/bench-*.dat and OUT/bench-recall-qps.png. Curves of other engines (hnswlib,\n"
    "FAISS: the bench/ programs) join the plot with --curve NAME=FILE, FILE holding\n"
    "'recall qps' lines. Each index is built once; every point searches it for 10\n"
    "results with that ef or nprobe. --threads N spreads the queries over N threads\n"
    "(0: one per core; the exact scan through the collection's batch search) and\n"
    "reports their combined queries per second.",
    0,
    0,
    {
        {"data", 0, "FILE", "data set to measure"},
        {"synthetic", 0, nullptr, "use the seeded synthetic set even if MNIST is present"},
        {"rows", 0, "N", "synthetic base vectors (default 20000)"},
        {"dim", 0, "D", "synthetic dimension (default 128)"},
        {"queries", 0, "Q", "queries (default 1000)"},
        {"m", 0, "M", "HNSW m (default 16)"},
        {"ef-construction", 0, "E", "HNSW ef_construction (default 200)"},
        {"ef", 0, "LIST", "ef sweep (default 10,20,40,80,160,320)"},
        {"ivf", 0, nullptr, "also sweep an IVF index"},
        {"nprobe", 0, "LIST", "IVF nprobe sweep (default 1,4,16,64; implies --ivf)"},
        {"out", 'o', "DIR", "where the report goes (default docs; made if missing)"},
        {"curve", 0, "NAME=FILE,...", "extra curves for the plot ('recall qps' lines)"},
        {"threads", 0, "N", "searching threads (default 1; 0: one per core)"},
        {"json", 0, nullptr, "print the points as JSON"},
    },
};

constexpr uint64_t kK = 10;

// Searching threads of every measurement (--threads; 0 resolved to the cores).
uint32_t g_threads = 1;
constexpr const char *kMnist = "/work/shared/data/mnist-t10k-images-idx3-ubyte.gz";

struct Point {
    std::string method, params;
    double recall, qps, build_s, bytes_per_vector;
};

struct Bench {
    std::string name;
    Dataset base, queries;
    std::vector<uint64_t> truth;  // kK ids per query
};

std::vector<uint64_t> list_arg(const Args &a, const char *name, const char *fallback) {
    std::vector<uint64_t> out;
    std::stringstream ss(a.get(name, fallback));
    std::string part;
    while (std::getline(ss, part, ',')) {
        uint64_t v;
        if (!parse_u64(part, v) || v == 0 || v > 100000)
            throw CliError(kExitUsage,
                           std::string("--") + name + " wants positive whole numbers, not '" + part + "'");
        out.push_back(v);
    }
    return out;
}

Bench load(const Args &a) {
    Bench b;
    const uint64_t nq = a.get_u64("queries", 1000, 1, 1000000);
    std::string file = a.get("data");
    if (file.empty() && !a.has("synthetic") && access(kMnist, R_OK) == 0) file = kMnist;
    if (file.empty()) {
        const uint64_t rows = a.get_u64("rows", 20000, 100, 10000000);
        const uint32_t dim = uint32_t(a.get_u64("dim", 128, 1, 4096));
        b.name = fmt("synthetic clustered %llu x %u (seed 42)", (unsigned long long)rows, dim);
        b.base = make_clustered(rows, dim, 64, 42);
        b.base.columns.clear();
        b.queries = make_queries(nq, dim, 64, 42);
        return b;
    }
    const std::optional<Format> f = format_from_path(file);
    if (!f) throw CliError(kExitUsage, file + ": cannot tell the format from the name");
    Dataset all = load_dataset(file, *f);
    if (all.rows <= nq)
        throw CliError(kExitData, file + ": needs more rows than the " + std::to_string(nq) + " queries");
    b.name = file.substr(file.find_last_of('/') + 1) + fmt(" (%llu base, %llu queries, dim %u)",
                                                           (unsigned long long)(all.rows - nq),
                                                           (unsigned long long)nq, all.dim);
    b.queries.dim = b.base.dim = all.dim;
    b.base.rows = all.rows - nq;
    b.queries.rows = nq;
    b.queries.data.assign(all.data.end() - long(nq * all.dim), all.data.end());
    all.data.resize(b.base.rows * all.dim);
    b.base.data = std::move(all.data);
    return b;
}

// Exact neighbours by the collection's scan; also the flat baseline.
Point exact(Bench &b) {
    rk_collection_config_t cfg{};
    cfg.dimension = b.base.dim;
    cfg.index_type = RK_INDEX_FLAT;
    rk_collection_t *c = rk_collection_create(nullptr, &cfg);
    if (!c) throw CliError(kExitLibrary, "cannot create a collection");
    const double t0 = now_seconds();
    for (uint64_t r = 0; r < b.base.rows; ++r)
        if (rk_collection_insert(c, b.base.row(r), nullptr) != RK_OK)
            throw CliError(kExitLibrary, "insert failed");
    const double build = now_seconds() - t0;
    b.truth.assign(b.queries.rows * kK, 0);
    std::vector<rk_search_result_t> res(b.queries.rows * kK);
    std::vector<uint64_t> counts(b.queries.rows);
    rk_search_params_t p{};
    p.k = kK;
    const double t1 = now_seconds();
    if (g_threads == 1) {
        for (uint64_t q = 0; q < b.queries.rows; ++q)
            counts[q] = rk_collection_search(c, b.queries.row(q), &p, &res[q * kK]);
    } else if (rk_collection_search_batch(c, b.queries.data.data(), b.queries.rows, &p, 0, g_threads,
                                          res.data(), counts.data()) != RK_OK) {
        throw CliError(kExitLibrary, "batch search failed");
    }
    const double secs = now_seconds() - t1;
    for (uint64_t q = 0; q < b.queries.rows; ++q)
        for (uint64_t i = 0; i < counts[q]; ++i) b.truth[q * kK + i] = res[q * kK + i].id - 1;
    rk_collection_stats_t st{};
    rk_collection_get_stats(c, &st);
    rk_collection_destroy(c);
    return {"flat", "exact scan",
            1.0,    double(b.queries.rows) / secs,
            build,  double(st.memory_used) / double(b.base.rows)};
}

// recall@10 and QPS of an index searched for 10 results with this effort
// (ef or nprobe) per call.
std::pair<double, double> measure(rk_index_t *ix, const Bench &b, uint32_t effort) {
    std::atomic<uint64_t> found{0};
    // Thread t answers queries t, t + T, t + 2T, ...
    auto part = [&](uint32_t t) {
        std::vector<rk_index_result_t> res(kK);
        uint64_t f = 0;
        for (uint64_t q = t; q < b.queries.rows; q += g_threads) {
            const uint64_t n = rk_index_search_ex(ix, b.queries.row(q), kK, effort, res.data());
            const uint64_t *truth = &b.truth[q * kK];
            for (uint64_t i = 0; i < n; ++i) f += std::find(truth, truth + kK, res[i].id) != truth + kK;
        }
        found += f;
    };
    const double t0 = now_seconds();
    std::vector<std::thread> helpers;
    for (uint32_t t = 1; t < g_threads; ++t) helpers.emplace_back(part, t);
    part(0);
    for (std::thread &h : helpers) h.join();
    const double secs = now_seconds() - t0;
    return {double(found.load()) / double(b.queries.rows * kK), double(b.queries.rows) / secs};
}

rk_index_t *make_index(const Bench &b, const rk_index_config_t &cfg, double &build_s) {
    rk_index_t *ix = rk_index_create(nullptr, &cfg);
    if (!ix) throw CliError(kExitLibrary, "cannot create the index");
    std::vector<uint64_t> ids(b.base.rows);
    for (uint64_t i = 0; i < ids.size(); ++i) ids[i] = i;
    Progress bar(fmt("building %s", cfg.type == RK_INDEX_HNSW ? "hnsw" : "ivf"), 4);
    const double t0 = now_seconds();
    rk_status_t st = rk_index_train(ix, b.base.data.data(), b.base.rows);
    bar.update(1);
    // Feed in slices so the bar moves; the graph is the same either way.
    const uint64_t slice = std::max<uint64_t>(1, b.base.rows / 3);
    for (uint64_t at = 0; st == RK_OK && at < b.base.rows; at += slice) {
        st = rk_index_add_batch(ix, ids.data() + at, b.base.row(at), std::min(slice, b.base.rows - at));
        bar.update(std::min<uint64_t>(4, 2 + at / slice));
    }
    build_s = now_seconds() - t0;
    bar.finish();
    if (st != RK_OK) {
        rk_index_destroy(ix);
        library_failure("index build failed", st);
    }
    return ix;
}

void hnsw_sweep(const Bench &b, const Args &a, const std::vector<uint64_t> &sweep, std::vector<Point> &pts) {
    rk_index_config_t cfg{};
    cfg.type = RK_INDEX_HNSW;
    cfg.metric = RK_METRIC_L2;
    cfg.dimension = b.base.dim;
    cfg.params.hnsw.m = uint32_t(a.get_u64("m", 16, 2, 256));
    cfg.params.hnsw.ef_construction = uint32_t(a.get_u64("ef-construction", 200, 1, 100000));
    cfg.params.hnsw.ef_search = uint32_t(kK);
    cfg.params.hnsw.seed = 12345;
    double build_s = 0;
    rk_index_t *ix = make_index(b, cfg, build_s);
    const double bpv = double(rk_index_get_memory_usage(ix)) / double(b.base.rows);
    for (uint64_t ef : sweep) {
        const auto [recall, qps] = measure(ix, b, uint32_t(ef));
        pts.push_back({"hnsw",
                       fmt("m=%u efc=%u ef=%llu", cfg.params.hnsw.m, cfg.params.hnsw.ef_construction,
                           (unsigned long long)ef),
                       recall, qps, build_s, bpv});
    }
    rk_index_destroy(ix);
}

void ivf_sweep(const Bench &b, const std::vector<uint64_t> &sweep, std::vector<Point> &pts) {
    uint32_t nlist = 1;
    while (uint64_t(nlist + 1) * (nlist + 1) <= b.base.rows * 16 && nlist < 1024) ++nlist;  // ~4 sqrt(n)
    rk_index_config_t cfg{};
    cfg.type = RK_INDEX_IVF;
    cfg.metric = RK_METRIC_L2;
    cfg.dimension = b.base.dim;
    // Seeded as a collection's own IVF index is.
    cfg.params.ivf = rk_ivf_params_t{nlist, 1, 10, {RK_IVF_SEEDING_UNIFORM, 0}};
    double build_s = 0;
    rk_index_t *ix = make_index(b, cfg, build_s);
    const double bpv = double(rk_index_get_memory_usage(ix)) / double(b.base.rows);
    // More probes than lists scan every list, as nlist probes do.
    for (uint64_t nprobe : sweep) {
        const auto [recall, qps] = measure(ix, b, uint32_t(nprobe));
        pts.push_back({"ivf", fmt("nlist=%u nprobe=%llu", nlist, (unsigned long long)nprobe), recall, qps,
                       build_s, bpv});
    }
    rk_index_destroy(ix);
}

std::string cpu_model() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown CPU";
}

void write_report(const std::string &out, const Bench &b, const std::vector<Point> &pts,
                  const std::vector<std::pair<std::string, std::string>> &extra) {
    std::ofstream md(out + "/benchmark.md");
    md << "# zevud bench\n\nData: " << b.name << ", L2, k = 10, "
       << (g_threads == 1 ? std::string("one thread") : std::to_string(g_threads) + " threads") << ".\n"
       << "Machine: " << cpu_model() << ", " << std::thread::hardware_concurrency() << " cores.\n"
       << "Produced by `zevud bench`; the plot is `bench-recall-qps.png`.\n\n"
       << "| method | parameters | recall@10 | queries/s | build s | index bytes/vector |\n"
       << "|---|---|---:|---:|---:|---:|\n";
    for (const Point &p : pts)
        md << "| " << p.method << " | " << p.params << " | " << fmt("%.4f", p.recall) << " | "
           << fmt("%.0f", p.qps) << " | " << fmt("%.2f", p.build_s) << " | "
           << fmt("%.0f", p.bytes_per_vector) << " |\n";
    md << "\nBytes per vector: the index's own count of stored vectors and entries (graph links and "
          "centroids are not counted); for flat, the collection arena's use.\n";
    std::string plot =
        "set terminal pngcairo size 900,600\nset output '" + out +
        "/bench-recall-qps.png'\n"
        "set termoption noenhanced\nset logscale y\nset xlabel 'recall@10'\nset ylabel 'queries per second'\n"
        "set key bottom left\nset grid\nset title " +
        json_escape("recall vs QPS: " + b.name) + "\nplot ";
    bool first = true;
    for (const char *m : {"hnsw", "ivf", "flat"}) {
        std::ofstream dat(out + "/bench-" + m + ".dat");
        bool any = false;
        for (const Point &p : pts)
            if (p.method == m) dat << fmt("%.6f %.2f\n", p.recall, p.qps), any = true;
        if (!any) continue;
        plot += std::string(first ? "" : ", ") + "'" + out + "/bench-" + m +
                ".dat' with linespoints title 'zevud " + m + "'";
        first = false;
    }
    for (const auto &[name, file] : extra)
        plot += ", '" + file + "' with linespoints title " + json_escape(name);
    std::ofstream(out + "/bench-plot.gp") << plot << "\n";
    const std::string cmd = "gnuplot '" + out + "/bench-plot.gp' 2>&1";
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "zevud bench: gnuplot failed; the plot is missing\n");
}

}  // namespace

int cmd_bench(const Words &w) {
    const Args a = parse_args(kBench, w);
    if (show_help(kBench, a)) return kExitOk;
    std::vector<std::pair<std::string, std::string>> extra;
    std::stringstream curves(a.get("curve"));
    std::string c;
    while (std::getline(curves, c, ',')) {
        const size_t eq = c.rfind('=');
        if (eq == std::string::npos || eq == 0 || access(c.c_str() + eq + 1, R_OK) != 0)
            throw CliError(kExitUsage, "--curve wants NAME=FILE with a readable FILE, not '" + c + "'");
        extra.emplace_back(c.substr(0, eq), c.substr(eq + 1));
    }
    const std::string out = a.get("out", "docs");
    // The report's folder is made when missing, parents included.
    const rk_string_t out_path{out.c_str(), out.size()};
    if (!rk_file_is_directory(&out_path) && rk_file_mkdir_recursive(&out_path) != RK_OK)
        throw CliError(kExitData, out + ": cannot create the directory");
    if (access(out.c_str(), W_OK) != 0) throw CliError(kExitData, out + ": not a writable directory");
    // The sweeps are checked before anything is loaded or built.
    const std::vector<uint64_t> efs = list_arg(a, "ef", "10,20,40,80,160,320");
    const std::vector<uint64_t> nprobes = list_arg(a, "nprobe", "1,4,16,64");
    g_threads = uint32_t(a.get_u64("threads", 1, 0, 1024));
    if (g_threads == 0) g_threads = std::max(1u, std::thread::hardware_concurrency());
    Bench b = load(a);
    std::fprintf(stderr, "bench: %s\n", b.name.c_str());
    std::vector<Point> pts{exact(b)};
    hnsw_sweep(b, a, efs, pts);
    if (a.has("ivf") || a.has("nprobe")) ivf_sweep(b, nprobes, pts);
    write_report(out, b, pts, extra);
    if (a.has("json")) {
        std::string j = "{\"data\":" + json_escape(b.name) + ",\"points\":[";
        for (size_t i = 0; i < pts.size(); ++i)
            j += (i ? "," : "") +
                 fmt("{\"method\":\"%s\",\"params\":%s,\"recall\":%s,\"qps\":%s,\"build_seconds\":%s,"
                     "\"bytes_per_vector\":%s}",
                     pts[i].method.c_str(), json_escape(pts[i].params).c_str(),
                     json_number(pts[i].recall).c_str(), json_number(pts[i].qps).c_str(),
                     json_number(pts[i].build_s).c_str(), json_number(pts[i].bytes_per_vector).c_str());
        std::printf("%s]}\n", j.c_str());
    } else {
        Table t({"method", "parameters", "recall@10", "queries/s", "build s", "bytes/vector"});
        for (const Point &p : pts)
            t.add({p.method, p.params, fmt("%.4f", p.recall), fmt("%.0f", p.qps), fmt("%.2f", p.build_s),
                   fmt("%.0f", p.bytes_per_vector)});
        std::printf("%s\n%s\nwrote %s/benchmark.md and %s/bench-recall-qps.png\n", b.name.c_str(),
                    t.render().c_str(), out.c_str(), out.c_str());
    }
    return kExitOk;
}

}  // namespace zcli
