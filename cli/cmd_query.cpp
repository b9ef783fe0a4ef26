// SPDX-License-Identifier: Apache-2.0
// zevud build, search, info and drop: the commands that work on what an
// import stored.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "dataset.h"
#include "session.h"

namespace zcli {

namespace {

const OptionSpec kJson = {"json", 0, nullptr, "print the result as JSON"};

const CommandSpec kBuild = {
    "build",
    "DB COLLECTION [--ef N | --nprobe N] [--m N] [--ef-construction N] [--nlist N] [--seed N]",
    "Builds COLLECTION's index (trains and fills it) and reports the time it took.",
    "The built index is saved with the database and used by later searches. A collection\n"
    "without an index gets the default one (IVF). --ef (HNSW) or --nprobe (IVF) stores\n"
    "the search effort later searches use; `zevud search --ef/--nprobe` overrides it for\n"
    "one search. --m, --ef-construction, --nlist and --seed are stored with the collection\n"
    "and shape this build and later ones.",
    2,
    2,
    {
        {"ef", 0, "N", "HNSW: candidate-list size of later searches (at least k is used)"},
        {"nprobe", 0, "N", "IVF: lists later searches scan (capped at the list count)"},
        ZCLI_BUILD_OPTIONS,
        kJson,
    },
};

const CommandSpec kSearch = {
    "search",
    "DB COLLECTION (--vector V | --id ID | --query-file FILE [--row N] | --queries FILE)",
    "Prints the k nearest records of a query vector, nearest first.",
    "Distances are in the collection's metric (squared for l2). A filter keeps only\n"
    "records whose metadata matches, e.g.  --filter 'category == \"shoes\" and price < 50'\n"
    "(operators == != < <= > >=, and, or, not, parentheses; text compares ignoring case).\n"
    "--ef (HNSW) or --nprobe (IVF) sets the search effort of this search only; more finds\n"
    "more true neighbours, slower. `zevud build --ef/--nprobe` stores the default.\n"
    "--queries answers every row of FILE at once on --threads threads (0: one per core)\n"
    "and prints one JSON line per query, or CSV rows query,rank,id,distance (--format csv).",
    2,
    2,
    {
        {"vector", 0, "V", "the query as comma-separated numbers"},
        {"id", 0, "ID", "use the stored vector of record ID as the query"},
        {"query-file", 0, "FILE", "take the query from a data file (any import format)"},
        {"row", 0, "N", "row of --query-file (default 0)"},
        {"queries", 0, "FILE", "answer every row of FILE (any import format) in one batch"},
        {"threads", 0, "N", "with --queries: searching threads (default 0, one per core)"},
        {"format", 0, "F", "with --queries: jsonl (default) or csv"},
        {"k", 'k', "K", "number of results (default 10)"},
        {"filter", 'f', "EXPR", "metadata filter expression"},
        {"use-index", 0, nullptr, "build the index for this search if it is not built (not saved; see build)"},
        {"ef", 0, "N", "HNSW: candidate-list size for this search (default: the stored one)"},
        {"nprobe", 0, "N", "IVF: lists to scan for this search (default: the stored one)"},
        kJson,
    },
};

const CommandSpec kInfo = {
    "info", "DB [COLLECTION]", "Lists the collections of DB with their figures.", nullptr, 1, 2, {kJson}};

const CommandSpec kDrop = {"drop",
                           "DB COLLECTION",
                           "Deletes COLLECTION and its files (COLLECTION.rkcol, COLLECTION.rkidx) from DB.",
                           nullptr,
                           2,
                           2,
                           {kJson}};

// Removes a dropped collection's files once the catalog no longer lists
// them; a file that is already gone is fine.
void remove_collection_files(const std::string &db, const std::string &name) {
    for (const char *suffix : {".rkcol", ".rkidx"}) {
        const std::string path = db + "/" + name + suffix;
        if (std::remove(path.c_str()) != 0 && errno != ENOENT)
            throw CliError(kExitLibrary, "dropped '" + name + "' but cannot remove " + path + ": " +
                                             std::strerror(errno));
    }
}

std::vector<float> query_vector(const Args &a, rk_collection_t *c) {
    const int given = int(a.has("vector")) + int(a.has("id")) + int(a.has("query-file"));
    if (given != 1) throw CliError(kExitUsage, "give exactly one of --vector, --id or --query-file");
    std::vector<float> q;
    if (a.has("vector")) {
        q = parse_vector_text(a.get("vector"));
    } else if (a.has("id")) {
        q.resize(c->dimension);
        const uint64_t id = a.get_u64("id", 0);
        if (rk_collection_get(c, id, q.data()) != RK_OK)
            throw CliError(kExitData, "no record with id " + std::to_string(id));
    } else {
        const std::string file = a.get("query-file");
        const std::optional<Format> f = format_from_path(file);
        if (!f) throw CliError(kExitUsage, file + ": cannot tell the format from the name");
        const Dataset d = load_dataset(file, *f);
        const uint64_t row = a.get_u64("row", 0);
        if (row >= d.rows)
            throw CliError(kExitData,
                           file + ": has " + std::to_string(d.rows) + " rows, no row " + std::to_string(row));
        q.assign(d.row(row), d.row(row) + d.dim);
    }
    if (q.size() != c->dimension)
        throw CliError(kExitData, "query has " + std::to_string(q.size()) +
                                      " components, the collection's vectors " +
                                      std::to_string(c->dimension));
    return q;
}

// Refuses an effort option that an index of this type (-1: none) does not
// take; `none` tells what the collection without an index would do instead.
void check_effort_family(const char *option, int32_t type, const std::string &name, const char *none) {
    const std::string opt = option;
    const char *family = opt == "ef" ? "HNSW" : "IVF";
    if (type < 0)
        throw CliError(kExitUsage, "--" + opt + " applies to " + family + " indexes; collection '" + name +
                                       "' has no index" + none);
    if (opt != effort_option(type))
        throw CliError(kExitUsage, "--" + opt + " applies to " + family + " indexes; collection '" + name +
                                       "' has an " + index_name(type) + " index (use --" +
                                       effort_option(type) + ")");
}

std::string effort_text(const Effort &e) { return fmt("%s %u", e.option, e.value); }
std::string effort_json(const Effort &e) { return fmt(",\"%s\":%u", e.option, e.value); }

// The effort a search runs with, for the report: the option given, checked
// against the collection's index, or the stored setting; none for a scan.
Effort search_effort(rk_collection_t *c, const std::string &name, const Effort &wanted) {
    const bool indexed = c->index && c->index_threshold == 0;
    if (wanted.option) {
        check_effort_family(wanted.option, c->index ? int32_t(rk_index_get_type(c->index)) : -1, name,
                            " (the search scans every record)");
        if (!indexed)
            throw CliError(kExitUsage, "the index of collection '" + name +
                                           "' is not built, so the search would scan and --" + wanted.option +
                                           " would do nothing (run 'zevud build' or add --use-index)");
        return wanted;
    }
    return indexed ? stored_effort(c) : Effort{nullptr, 0};
}

const char *index_state(rk_collection_t *c) {
    if (!c->index) return "none";
    return c->index_threshold == 0 ? "active" : "not built";
}

struct SearchOutcome {
    std::string name, mode;
    Effort effort;  // option null for a scan
    double ms;
    std::vector<rk_search_result_t> hits;
};

void print_json(rk_collection_t *c, const SearchOutcome &o) {
    std::string out = "{\"collection\":" + json_escape(o.name) +
                      ",\"count\":" + std::to_string(o.hits.size()) + ",\"mode\":\"" + o.mode + "\"" +
                      (o.effort.option ? effort_json(o.effort) : "") +
                      ",\"milliseconds\":" + json_number(o.ms) + ",\"results\":[";
    for (size_t i = 0; i < o.hits.size(); ++i) {
        out.append(i ? "," : "")
            .append(fmt("{\"id\":%llu,\"distance\":", (unsigned long long)o.hits[i].id))
            .append(json_number(o.hits[i].distance));
        const auto meta = record_meta(c, o.hits[i].id, true);
        if (!meta.empty()) {
            out += ",\"metadata\":{";
            for (size_t j = 0; j < meta.size(); ++j)
                out.append(j ? "," : "")
                    .append(json_escape(meta[j].first))
                    .append(":")
                    .append(meta[j].second);
            out += "}";
        }
        out += "}";
    }
    std::printf("%s]}\n", out.c_str());
}

void print_table(rk_collection_t *c, const SearchOutcome &o) {
    // Columns: the keys of the first hit's metadata, in its order.
    std::vector<std::string> head = {"rank", "id", "distance"};
    const size_t fixed = head.size();
    if (!o.hits.empty())
        for (const auto &kv : record_meta(c, o.hits[0].id, false)) head.push_back(kv.first);
    Table t(head);
    for (size_t i = 0; i < o.hits.size(); ++i) {
        std::vector<std::string> row = {std::to_string(i + 1), std::to_string(o.hits[i].id),
                                        fmt("%.6g", o.hits[i].distance)};
        const auto meta = record_meta(c, o.hits[i].id, false);
        for (size_t h = fixed; h < head.size(); ++h) {
            std::string v;
            for (const auto &kv : meta)
                if (kv.first == head[h]) v = kv.second;
            row.push_back(v);
        }
        t.add(row);
    }
    const size_t n = o.hits.size();
    const std::string mode = o.mode + (o.effort.option ? ", " + effort_text(o.effort) : "");
    std::printf("%s%zu result%s from '%s' (%s, %s, %.2f ms)\n", t.render().c_str(), n, n == 1 ? "" : "s",
                o.name.c_str(), metric_name(int32_t(c->metric)), mode.c_str(), o.ms);
}

}  // namespace

int cmd_build(const Words &w) {
    const Args a = parse_args(kBuild, w);
    if (show_help(kBuild, a)) return kExitOk;
    const Effort wanted = effort_arg(a);
    const BuildSettings build = build_settings_arg(a);
    const std::string &name = a.positional[1];
    Session s(a.positional[0], Session::read_write);
    rk_collection_t *c = s.get(name);
    if (c->count == 0) throw CliError(kExitData, "collection '" + name + "' is empty");
    // Refused before anything is built: the index keeps its type, and a
    // collection without one gets the default configuration, an IVF.
    if (wanted.option && (c->index || wanted.option != std::string(effort_option(RK_INDEX_IVF))))
        check_effort_family(wanted.option, c->index ? int32_t(rk_index_get_type(c->index)) : -1, name,
                            ", and building gives it the default ivf index (use --nprobe)");
    if (build.any()) apply_build_settings(c, name, build);
    const double t0 = now_seconds();
    Ticker ticker("building the index of " + name);
    const rk_status_t st = rk_collection_build_index(c);
    ticker.finish();
    const double secs = now_seconds() - t0;
    if (st != RK_OK) library_failure("index build failed", st);
    if (wanted.option) {
        const bool ef = std::string(wanted.option) == "ef";
        const rk_status_t set =
            ef ? rk_collection_set_ef_search(c, wanted.value) : rk_collection_set_nprobe(c, wanted.value);
        if (set != RK_OK) library_failure(std::string("cannot store --") + wanted.option, set);
    }
    const Effort stored = stored_effort(c);
    rk_collection_stats_t stats{};
    rk_collection_get_stats(c, &stats);
    s.close();
    if (a.has("json"))
        std::printf("{\"collection\":%s,\"index\":\"%s\",\"vectors\":%llu,\"build_seconds\":%s%s}\n",
                    json_escape(name).c_str(), index_name(stats.index_type), (unsigned long long)stats.count,
                    json_number(secs).c_str(), stored.option ? effort_json(stored).c_str() : "");
    else
        std::printf("built %s index of '%s' over %llu vectors in %.2fs%s\n", index_name(stats.index_type),
                    name.c_str(), (unsigned long long)stats.count, secs,
                    stored.option ? ("; searches use " + effort_text(stored)).c_str() : "");
    return kExitOk;
}

int cmd_search(const Words &w) {
    const Args a = parse_args(kSearch, w);
    if (show_help(kSearch, a)) return kExitOk;
    const uint64_t k = a.get_u64("k", 10, 1, 100000);
    const Effort wanted = effort_arg(a);
    // Syntax first, so a bad expression is reported before any file is read.
    if (a.has("filter")) parse_filter(a.get("filter"));
    Session s(a.positional[0], Session::read_only);
    const std::string &name = a.positional[1];
    rk_collection_t *c = s.get(name);
    const bool many = a.has("queries");
    if (many && (a.has("vector") || a.has("id") || a.has("query-file")))
        throw CliError(kExitUsage, "give exactly one of --vector, --id, --query-file or --queries");
    const std::vector<float> q = many ? std::vector<float>() : query_vector(a, c);
    std::unique_ptr<FilterTree> filter;
    if (a.has("filter")) {
        const Schema schema = collection_schema(c);
        if (schema.empty())
            throw CliError(kExitUsage, "collection '" + name + "' has no metadata to filter on");
        filter = parse_filter(a.get("filter"), c);
    }
    if (a.has("use-index") && c->index_threshold != 0 && c->count > 0) {
        Ticker ticker("building the index of " + name);
        const rk_status_t st = rk_collection_build_index(c);
        ticker.finish();
        if (st != RK_OK) library_failure("index build failed", st);
        // A search opens the database read-only, so what it built is gone
        // at exit: say so rather than let the next search pay again.
        std::fprintf(stderr,
                     "note: the index built for this search is not saved; `zevud build %s %s` keeps one\n",
                     a.positional[0].c_str(), name.c_str());
    }
    const bool indexed = c->index && c->index_threshold == 0;
    const std::string mode = indexed ? std::string(index_name(rk_index_get_type(c->index))) : "exact";
    const Effort effort = search_effort(c, name, wanted);
    if (many) return search_many(a, c, filter ? filter->root() : nullptr, wanted.value, k);
    rk_search_params_t p{};
    p.k = k;
    p.filter = filter ? filter->root() : nullptr;
    std::vector<rk_search_result_t> res(k);
    uint64_t n = 0;
    const double t0 = now_seconds();
    const rk_status_t st = rk_collection_search_ex(c, q.data(), &p, wanted.value, res.data(), &n);
    const double ms = (now_seconds() - t0) * 1e3;
    if (st != RK_OK) library_failure("search failed", st);

    const SearchOutcome o{name, mode, effort, ms,
                          std::vector<rk_search_result_t>(res.begin(), res.begin() + long(n))};
    if (a.has("json"))
        print_json(c, o);
    else
        print_table(c, o);
    return kExitOk;
}

int cmd_info(const Words &w) {
    const Args a = parse_args(kInfo, w);
    if (show_help(kInfo, a)) return kExitOk;
    Session s(a.positional[0], Session::read_only);
    std::vector<std::string> names = s.names();
    if (a.positional.size() == 2) {
        s.get(a.positional[1]);
        names = {a.positional[1]};
    }
    Table t({"collection", "vectors", "dim", "metric", "index", "state", "search", "metadata"});
    std::string json = "{\"database\":" + json_escape(a.positional[0]) + ",\"collections\":[";
    for (size_t i = 0; i < names.size(); ++i) {
        rk_collection_t *c = s.get(names[i]);
        rk_collection_stats_t st{};
        rk_collection_get_stats(c, &st);
        const Schema schema = collection_schema(c);
        std::string cols, json_cols;
        for (const auto &kv : schema) {
            cols.append(cols.empty() ? "" : ",").append(kv.first);
            json_cols.append(json_cols.empty() ? "" : ",").append(json_escape(kv.first));
        }
        const Effort effort = c->index ? stored_effort(c) : Effort{nullptr, 0};
        t.add({names[i], std::to_string(st.count), std::to_string(st.dimension),
               metric_name(int32_t(c->metric)), index_name(st.index_type), index_state(c),
               effort.option ? effort_text(effort) : "-", cols.empty() ? "-" : cols});
        json.append(i ? "," : "");
        json +=
            fmt("{\"name\":%s,\"vectors\":%llu,\"dimension\":%u,\"metric\":\"%s\",\"index\":\"%s\","
                "\"state\":\"%s\"%s,\"next_id\":%llu,\"metadata\":[",
                json_escape(names[i]).c_str(), (unsigned long long)st.count, st.dimension,
                metric_name(int32_t(c->metric)), index_name(st.index_type), index_state(c),
                effort.option ? effort_json(effort).c_str() : "", (unsigned long long)c->next_id);
        json += json_cols + "]}";
    }
    if (a.has("json"))
        std::printf("%s]}\n", json.c_str());
    else if (names.empty())
        std::printf("%s: no collections\n", a.positional[0].c_str());
    else
        std::fputs(t.render().c_str(), stdout);
    return kExitOk;
}

int cmd_drop(const Words &w) {
    const Args a = parse_args(kDrop, w);
    if (show_help(kDrop, a)) return kExitOk;
    const std::string &name = a.positional[1];
    check_collection_name(name);
    Session s(a.positional[0], Session::read_write);
    // A collection that could not be loaded is dropped by name as well.
    const rk_string_t n{name.c_str(), name.size()};
    const rk_status_t st = rk_vecdb_drop_collection(s.db(), &n);
    if (st == RK_ERR_NOT_FOUND) s.get(name);  // says there is no such collection
    if (st != RK_OK) library_failure("cannot drop '" + name + "'", st);
    s.close();
    remove_collection_files(a.positional[0], name);
    if (a.has("json"))
        std::printf("{\"dropped\":%s}\n", json_escape(name).c_str());
    else
        std::printf("dropped '%s'\n", name.c_str());
    return kExitOk;
}

}  // namespace zcli
