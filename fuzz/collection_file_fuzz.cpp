// SPDX-License-Identifier: Apache-2.0
// Fuzz target for collection files: any bytes as a collection file, loaded
// both plainly and with an index file beside it. Whatever loads is searched,
// written to and saved again, so hostile headers, record areas and extension
// blocks reach the code that trusts a loaded collection.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "collection/collection_file.h"
#include "rk_collection.h"
#include "scratch.h"

namespace {

constexpr uint32_t kMaxQueryDim = 4096;

bool write_file(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

void exercise(rk_collection_t *c, const std::string &dir) {
    const uint32_t dim = c->dimension;
    if (dim == 0 || dim > kMaxQueryDim) return;
    std::vector<float> q(dim, 0.5f);
    rk_search_result_t r[4];
    rk_search_params_t p{};
    p.k = 4;
    p.include_metadata = 1;
    rk_collection_search(c, q.data(), &p, r);
    if (c->count) {
        rk_meta_entry_t out[4];
        uint64_t n = 4;
        rk_collection_get_meta(c, c->records[0].id, out, &n);
        rk_collection_delete(c, c->records[c->count / 2].id);
    }
    rk_collection_insert(c, q.data(), nullptr);
    const std::string again = dir + "/again.rkcol";
    if (rk_collection_save(c, again.c_str()) == RK_OK) {
        rk_collection_t *back = rk_collection_load(nullptr, again.c_str());
        rk_collection_destroy(back);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *scratch = fz::scratch("collection_file_fuzz", true);
    if (!scratch) return 0;
    const std::string dir = scratch;
    const std::string file = dir + "/c.rkcol";
    if (!write_file(file, data, size)) return 0;
    rk_collection_t *c = rk_collection_load(nullptr, file.c_str());
    if (c) exercise(c, dir);
    rk_collection_destroy(c);
    // The same bytes as an index file bound to a saved collection, so the
    // trailer check and the index reader see them too.
    const std::string index = dir + "/c.rkidx";
    if (size >= 16 && write_file(index, data, size)) {
        rk::coll::FileOptions opt;
        opt.index_path = index.c_str();
        rk_collection_t *d = rk::coll::load_file(nullptr, file.c_str(), opt);
        rk_collection_destroy(d);
    }
    return 0;
}
