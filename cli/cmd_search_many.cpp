// SPDX-License-Identifier: Apache-2.0
// zevud search --queries FILE: every row of a data file answered in one batch
// search, one output line (JSON) or one row per hit (CSV) per query.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "dataset.h"
#include "session.h"
#include "rk_collection.h"

namespace zcli {

int search_many(const Args &a, rk_collection_t *c, const rk_filter_t *filter, uint32_t effort, uint64_t k) {
    const std::string file = a.get("queries");
    const std::string form = a.get("format", "jsonl");
    if (form != "jsonl" && form != "csv") throw CliError(kExitUsage, "--format takes jsonl or csv");
    const uint32_t threads = uint32_t(a.get_u64("threads", 0, 0, 1024));
    const std::optional<Format> f = format_from_path(file);
    if (!f) throw CliError(kExitUsage, file + ": cannot tell the format from the name");
    const Dataset d = load_dataset(file, *f);
    if (d.rows > 0 && d.dim != c->dimension)
        throw CliError(kExitData, file + ": queries have " + std::to_string(d.dim) +
                                      " components, the collection's vectors " + std::to_string(c->dimension));
    rk_search_params_t p{};
    p.k = k;
    p.filter = filter;
    std::vector<rk_search_result_t> res(size_t(d.rows) * size_t(k));
    std::vector<uint64_t> counts(size_t(d.rows));
    const rk_status_t st =
        rk_collection_search_batch(c, d.data.data(), d.rows, &p, effort, threads, res.data(), counts.data());
    if (st != RK_OK) library_failure("batch search failed", st);
    if (form == "csv") std::printf("query,rank,id,distance\n");
    for (uint64_t q = 0; q < d.rows; ++q) {
        const rk_search_result_t *r = res.data() + size_t(q) * size_t(k);
        if (form == "csv") {
            for (uint64_t i = 0; i < counts[q]; ++i)
                std::printf("%llu,%llu,%llu,%.9g\n", (unsigned long long)q, (unsigned long long)(i + 1),
                            (unsigned long long)r[i].id, double(r[i].distance));
            continue;
        }
        std::string line = fmt("{\"query\":%llu,\"results\":[", (unsigned long long)q);
        for (uint64_t i = 0; i < counts[q]; ++i)
            line.append(i ? "," : "")
                .append(fmt("{\"id\":%llu,\"distance\":", (unsigned long long)r[i].id))
                .append(json_number(r[i].distance))
                .append("}");
        std::printf("%s]}\n", line.c_str());
    }
    return kExitOk;
}

}  // namespace zcli
