// SPDX-License-Identifier: Apache-2.0
// zevud demo: the whole product in one run on seeded synthetic data.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "commands.h"
#include "filter_expr.h"
#include "session.h"
#include "synth.h"

namespace zcli {

namespace {

const CommandSpec kDemo = {
    "demo",
    "[DIR]",
    "Creates a database in DIR (default ./zevud-demo) with a seeded synthetic collection,\n"
    "builds an HNSW index, runs plain and filtered queries against the exact answer,\n"
    "then closes and reopens the database to show it is intact.",
    nullptr,
    0,
    1,
    {
        {"rows", 0, "N", "vectors to generate (default 50000)"},
        {"dim", 0, "D", "dimension (default 128)"},
        {"queries", 0, "Q", "queries per measurement (default 200)"},
        {"seed", 0, "S", "generator seed (default 42)"},
        {"json", 0, nullptr, "print the figures as one JSON object (the narrative goes to stderr)"},
    },
};

constexpr const char *kName = "products";

// The narrative; with --json it goes to stderr and stdout holds one object.
FILE *g_out = stdout;
constexpr const char *kFilterText = "category == \"shoes\" and price < 50";

struct Measure {
    double seconds = 0;
    double recall = 0;
    std::vector<std::vector<rk_search_result_t>> hits;
};

// Runs every query (k 10) and, given the exact answer, its recall@10.
Measure run_queries(rk_collection_t *c, const Dataset &q, const rk_filter_t *filter, const Measure *exact) {
    Measure m;
    rk_search_params_t p{};
    p.k = 10;
    p.filter = filter;
    m.hits.resize(q.rows);
    const double t0 = now_seconds();
    for (uint64_t i = 0; i < q.rows; ++i) {
        m.hits[i].resize(10);
        m.hits[i].resize(rk_collection_search(c, q.row(i), &p, m.hits[i].data()));
    }
    m.seconds = now_seconds() - t0;
    if (!exact) return m;
    uint64_t found = 0, wanted = 0;
    for (uint64_t i = 0; i < q.rows; ++i) {
        for (const rk_search_result_t &e : exact->hits[i]) {
            ++wanted;
            for (const rk_search_result_t &h : m.hits[i]) found += h.id == e.id;
        }
    }
    m.recall = wanted ? double(found) / double(wanted) : 1.0;
    return m;
}

void show_hits(const char *title, const std::vector<rk_search_result_t> &hits, const Dataset &d) {
    std::fprintf(g_out, "\n%s\n", title);
    Table t({"rank", "id", "distance", "category", "price"});
    for (size_t i = 0; i < hits.size() && i < 5; ++i) {
        const uint64_t row = hits[i].id - 1;  // ids are handed out from 1 in insert order
        t.add({std::to_string(i + 1), std::to_string(hits[i].id), fmt("%.3f", hits[i].distance),
               d.columns[0].texts[row], fmt("%.2f", d.columns[1].numbers[row])});
    }
    std::fputs(t.render().c_str(), g_out);
}

std::unique_ptr<Session> open_demo(const std::string &dir, bool &persistent) {
    persistent = true;
    try {
        return std::make_unique<Session>(dir, Session::create);
    } catch (const CliError &e) {
        if (std::strstr(e.what(), "memory only") == nullptr) throw;
    }
    persistent = false;
    std::fprintf(g_out,
                 "note: this build of the library keeps databases in memory only; running in memory\n");
    return std::make_unique<Session>();
}

rk_collection_t *fresh_collection(Session &s, uint32_t dim) {
    const rk_string_t n{kName, std::strlen(kName)};
    if (s.find(kName)) rk_vecdb_drop_collection(s.db(), &n);
    rk_collection_config_t cfg{};
    cfg.name = n;
    cfg.dimension = dim;
    cfg.metric = RK_METRIC_L2;
    cfg.index_type = RK_INDEX_HNSW;
    rk_collection_t *c = nullptr;
    const rk_status_t st = rk_vecdb_create_collection_ex(s.db(), &cfg, &c);
    if (st != RK_OK) library_failure("cannot create the demo collection", st);
    return c;
}

void insert_all(rk_collection_t *c, const Dataset &d) {
    Progress bar("inserting", d.rows);
    for (uint64_t r = 0; r < d.rows; ++r) {
        const std::vector<rk_meta_entry_t> e = row_entries(d.columns, r);
        const rk_status_t st = rk_collection_insert_with_meta(c, d.row(r), e.data(), e.size(), nullptr);
        if (st != RK_OK) library_failure("insert failed", st);
        if ((r & 1023) == 0 || r + 1 == d.rows) bar.update(r + 1);
    }
}

bool reopen_and_check(const std::string &dir, const Dataset &d) {
    const double t0 = now_seconds();
    Session s(dir, Session::read_only);
    const double secs = now_seconds() - t0;
    Table t({"collection", "vectors", "dim", "metric", "index"});
    for (const std::string &n : s.names()) {
        rk_collection_t *c = s.get(n);
        rk_collection_stats_t st{};
        rk_collection_get_stats(c, &st);
        t.add({n, std::to_string(st.count), std::to_string(st.dimension), metric_name(int32_t(c->metric)),
               index_name(st.index_type)});
    }
    std::fprintf(g_out, "\nreopened %s in %.2fs:\n%s", dir.c_str(), secs, t.render().c_str());
    rk_collection_t *c = s.get(kName);
    uint64_t same = 0, checked = 0;
    std::vector<float> v(d.dim);
    for (uint64_t r = 0; r < d.rows; r += std::max<uint64_t>(1, d.rows / 1000), ++checked)
        same += rk_collection_get(c, r + 1, v.data()) == RK_OK &&
                std::memcmp(v.data(), d.row(r), d.dim * sizeof(float)) == 0;
    const bool ok = c->count == d.rows && same == checked;
    std::fprintf(g_out, "%s: %llu of %llu sampled vectors identical, %llu records\n",
                 ok ? "intact" : "DAMAGED", (unsigned long long)same, (unsigned long long)checked,
                 (unsigned long long)c->count);
    s.close();
    if (!ok) throw CliError(kExitLibrary, "the reopened database differs from what was written");
    return ok;
}

struct Figures {
    double insert_s = 0, build_s = 0;
    uint32_t ef_search = 0;  // the graph's search setting in force
    Measure exact, exact_f, ann, ann_f;
};

constexpr int kPasses = 3;

// Inserts, measures the exact answers, builds the index, measures again.
Figures run_all(rk_collection_t *c, const Dataset &data, const Dataset &queries) {
    Figures f;
    double t0 = now_seconds();
    insert_all(c, data);
    f.insert_s = now_seconds() - t0;
    const std::unique_ptr<FilterTree> filter = parse_filter(kFilterText);
    f.exact = run_queries(c, queries, nullptr, nullptr);
    f.exact_f = run_queries(c, queries, filter->root(), nullptr);
    t0 = now_seconds();
    const rk_status_t st = rk_collection_build_index(c);
    if (st != RK_OK) library_failure("index build failed", st);
    f.build_s = now_seconds() - t0;
    (void)rk_collection_get_ef_search(c, &f.ef_search);
    f.ann = run_queries(c, queries, nullptr, &f.exact);
    f.ann_f = run_queries(c, queries, filter->root(), &f.exact_f);
    // The exact answers came before the build; their rates are taken again
    // beside the index's, with the index switched off, since the graph now
    // shares the caches with the vectors. Each rate is the best of kPasses
    // passes, the two sides taking turns, so a busy moment of a shared
    // machine weighs on both alike. The answers do not change.
    f.exact.seconds = f.exact_f.seconds = 1e300;
    for (int pass = 0; pass < kPasses; ++pass) {
        for (const bool index : {pass % 2 != 0, pass % 2 == 0}) {
            c->index_enabled = index;
            Measure &plain = index ? f.ann : f.exact;
            Measure &filtered = index ? f.ann_f : f.exact_f;
            plain.seconds = std::min(plain.seconds, run_queries(c, queries, nullptr, nullptr).seconds);
            filtered.seconds =
                std::min(filtered.seconds, run_queries(c, queries, filter->root(), nullptr).seconds);
        }
    }
    c->index_enabled = 1;
    return f;
}

void show_figures(const Figures &f, const Dataset &data, uint64_t nq) {
    std::fprintf(g_out, "inserted in %.2fs, HNSW index (collection defaults, ef_search %u) built in %.2fs\n",
                 f.insert_s, f.ef_search, f.build_s);
    show_hits("nearest 5 to query 0:", f.ann.hits[0], data);
    show_hits((std::string("nearest 5 to query 0 where ") + kFilterText + ":").c_str(), f.ann_f.hits[0],
              data);
    Table t({"queries (k 10)", "recall@10", "queries/s", "exact scan queries/s"});
    t.add({"unfiltered", fmt("%.4f", f.ann.recall), fmt("%.0f", double(nq) / f.ann.seconds),
           fmt("%.0f", double(nq) / f.exact.seconds)});
    t.add({"filtered", fmt("%.4f", f.ann_f.recall), fmt("%.0f", double(nq) / f.ann_f.seconds),
           fmt("%.0f", double(nq) / f.exact_f.seconds)});
    std::fprintf(g_out, "\n%s", t.render().c_str());
}

std::string figures_json(const Figures &f, const Dataset &data, uint64_t nq, bool persistent) {
    return fmt(
        "{\"rows\":%llu,\"dimension\":%u,\"queries\":%llu,\"insert_seconds\":%s,\"build_seconds\":%s,"
        "\"recall_at_10\":%s,\"queries_per_second\":%s,\"exact_queries_per_second\":%s,"
        "\"filter\":%s,\"filtered_recall_at_10\":%s,\"filtered_queries_per_second\":%s,\"persistent\":%s",
        (unsigned long long)data.rows, data.dim, (unsigned long long)nq, json_number(f.insert_s).c_str(),
        json_number(f.build_s).c_str(), json_number(f.ann.recall).c_str(),
        json_number(double(nq) / f.ann.seconds).c_str(), json_number(double(nq) / f.exact.seconds).c_str(),
        json_escape(kFilterText).c_str(), json_number(f.ann_f.recall).c_str(),
        json_number(double(nq) / f.ann_f.seconds).c_str(), persistent ? "true" : "false");
}

}  // namespace

int cmd_demo(const Words &w) {
    const Args a = parse_args(kDemo, w);
    if (show_help(kDemo, a)) return kExitOk;
    const std::string dir = a.positional.empty() ? "./zevud-demo" : a.positional[0];
    const uint64_t rows = a.get_u64("rows", 50000, 100, 10000000);
    const uint32_t dim = uint32_t(a.get_u64("dim", 128, 1, 4096));
    const uint64_t nq = a.get_u64("queries", 200, 1, 100000);
    const uint64_t seed = a.get_u64("seed", 42);
    g_out = a.has("json") ? stderr : stdout;

    std::fprintf(g_out, "zevud demo: %llu x %u clustered vectors (seed %llu), category and price metadata\n",
                 (unsigned long long)rows, dim, (unsigned long long)seed);
    const Dataset data = make_clustered(rows, dim, 64, seed);
    const Dataset queries = make_queries(nq, dim, 64, seed);
    bool persistent = false;
    std::unique_ptr<Session> s = open_demo(dir, persistent);
    const Figures f = run_all(fresh_collection(*s, dim), data, queries);
    show_figures(f, data, nq);
    const std::string figures = figures_json(f, data, nq, persistent);
    if (!persistent) {
        if (a.has("json")) std::printf("%s}\n", figures.c_str());
        return kExitOk;
    }
    const double t0 = now_seconds();
    s->close();
    std::fprintf(g_out, "\nclosed (saved) %s in %.2fs\n", dir.c_str(), now_seconds() - t0);
    const bool intact = reopen_and_check(dir, data);
    if (a.has("json")) std::printf("%s,\"intact\":%s}\n", figures.c_str(), intact ? "true" : "false");
    std::fprintf(g_out, "\ntry:  zevud info %s\n      zevud search %s %s --id 7 -k 5 --filter '%s'\n",
                 dir.c_str(), dir.c_str(), kName, kFilterText);
    return kExitOk;
}

}  // namespace zcli
