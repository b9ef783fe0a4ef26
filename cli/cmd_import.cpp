// SPDX-License-Identifier: Apache-2.0
// zevud import: a data file into a (new or existing) collection. The file is
// read and checked whole before the database is opened, so a malformed file
// never changes it.
#include <cstdio>

#include "commands.h"
#include "dataset.h"
#include "session.h"

namespace zcli {

namespace {

const CommandSpec kImport = {
    "import",
    "DB COLLECTION FILE",
    "Loads vectors from FILE into COLLECTION of database directory DB (both made if missing).",
    "Formats: .fvecs, .bvecs, .npy (float32, 2-D, C order), IDX (MNIST; gzip'd or not)\n"
    "and .csv (one vector per line; a first line with a non-numeric field is a header).\n"
    "CSV columns named with --meta become metadata (numbers, true/false or text) that\n"
    "search filters can test.",
    3,
    3,
    {
        {"metric", 0, "l2|ip|cosine", "metric of a new collection (default l2)"},
        {"index", 0, "hnsw|ivf|flat", "index type of a new collection (default hnsw)"},
        {"format", 0, "FORMAT", "fvecs|bvecs|npy|idx|csv (default: from the file name)"},
        {"meta", 0, "COLS", "comma-separated CSV columns that hold metadata"},
        {"limit", 0, "N", "import only the first N vectors"},
        ZCLI_BUILD_OPTIONS,
        {"json", 0, nullptr, "print the summary as JSON"},
    },
};

std::vector<std::string> split_commas(const std::string &s) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i <= s.size()) {
        size_t j = s.find(',', i);
        if (j == std::string::npos) j = s.size();
        if (j > i) out.push_back(s.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

rk_collection_t *open_collection(Session &s, const std::string &name, const Dataset &d, const Args &a) {
    rk_collection_t *c = s.find(name);
    if (c) {
        if (c->dimension != d.dim)
            throw CliError(kExitData, "collection '" + name + "' holds vectors of dimension " +
                                          std::to_string(c->dimension) + ", the file has " +
                                          std::to_string(d.dim));
        if (a.has("metric") && int32_t(c->metric) != lookup(kMetrics, a.get("metric"), "metric"))
            throw CliError(kExitUsage, "collection '" + name + "' already uses metric " +
                                           metric_name(int32_t(c->metric)));
        return c;
    }
    rk_collection_config_t cfg{};
    cfg.name = rk_string_t{name.c_str(), name.size()};
    cfg.dimension = d.dim;
    cfg.metric = uint32_t(lookup(kMetrics, a.get("metric", "l2"), "metric"));
    cfg.index_type = lookup(kIndexTypes, a.get("index", "hnsw"), "index");
    const rk_status_t st = rk_vecdb_create_collection_ex(s.db(), &cfg, &c);
    if (st != RK_OK) library_failure("cannot create collection '" + name + "'", st);
    return c;
}

}  // namespace

int cmd_import(const Words &w) {
    const Args a = parse_args(kImport, w);
    if (show_help(kImport, a)) return kExitOk;
    const std::string &dir = a.positional[0], &name = a.positional[1], &file = a.positional[2];
    check_collection_name(name);
    // Option words are checked before any file is read.
    if (a.has("metric")) lookup(kMetrics, a.get("metric"), "metric");
    if (a.has("index")) lookup(kIndexTypes, a.get("index"), "index");
    std::optional<Format> f = a.has("format") ? format_from_name(a.get("format")) : format_from_path(file);
    if (!f)
        throw CliError(kExitUsage, a.has("format")
                                       ? "unknown --format '" + a.get("format") + "'"
                                       : file + ": cannot tell the format from the name; use --format");
    const BuildSettings build = build_settings_arg(a);
    CsvOptions csv;
    csv.meta_columns = split_commas(a.get("meta"));
    if (!csv.meta_columns.empty() && *f != Format::csv)
        throw CliError(kExitUsage, "--meta applies to CSV files only");

    const double t0 = now_seconds();
    Dataset d = load_dataset(file, *f, csv);
    const uint64_t limit = a.get_u64("limit", d.rows, 1);
    if (d.rows == 0) throw CliError(kExitData, file + ": holds no vectors");
    const uint64_t rows = std::min(limit, d.rows);
    const double t_read = now_seconds() - t0;

    Session s(dir, Session::create);
    rk_collection_t *c = open_collection(s, name, d, a);
    check_columns_match(c, d.columns);  // before any insert
    if (build.any()) apply_build_settings(c, name, build);
    std::vector<uint64_t> ids(rows);
    Progress bar("importing " + name, rows);
    const double t1 = now_seconds();
    for (uint64_t r = 0; r < rows; ++r) {
        const std::vector<rk_meta_entry_t> e = row_entries(d.columns, r);
        const rk_status_t st =
            rk_collection_insert_with_meta(c, d.row(r), e.empty() ? nullptr : e.data(), e.size(), &ids[r]);
        if (st != RK_OK) library_failure("insert of row " + std::to_string(r) + " failed", st);
        if ((r & 1023) == 0 || r + 1 == rows) bar.update(r + 1);
    }
    bar.finish();
    const double t_insert = now_seconds() - t1;
    const uint64_t total = c->count;
    s.close();
    if (a.has("json")) {
        std::printf(
            "{\"collection\":%s,\"file\":%s,\"format\":\"%s\",\"imported\":%llu,\"dimension\":%u,"
            "\"first_id\":%llu,\"last_id\":%llu,\"count\":%llu,\"metadata_columns\":%zu,"
            "\"read_seconds\":%s,\"insert_seconds\":%s}\n",
            json_escape(name).c_str(), json_escape(file).c_str(), format_name(*f), (unsigned long long)rows,
            d.dim, (unsigned long long)ids.front(), (unsigned long long)ids.back(), (unsigned long long)total,
            d.columns.size(), json_number(t_read).c_str(), json_number(t_insert).c_str());
    } else {
        std::printf(
            "imported %llu vectors of dimension %u from %s (%s) into '%s' (ids %llu..%llu, %llu in all)\n"
            "read %.2fs, insert %.2fs%s\n",
            (unsigned long long)rows, d.dim, file.c_str(), format_name(*f), name.c_str(),
            (unsigned long long)ids.front(), (unsigned long long)ids.back(), (unsigned long long)total,
            t_read, t_insert,
            d.columns.empty() ? "" : fmt(", %zu metadata columns", d.columns.size()).c_str());
    }
    return kExitOk;
}

}  // namespace zcli
