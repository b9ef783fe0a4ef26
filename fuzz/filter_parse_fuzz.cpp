// SPDX-License-Identifier: Apache-2.0
// Filter expressions on hostile text, parsed by the library untyped and
// typed by a small collection: either a refusal whose column lies inside the
// text (or just past it) with a message, or a tree whose canonical text
// parses back to itself and which the matcher can walk over the records.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zevud.h"

namespace {

rk_collection_t *records() {
    static rk_collection_t *c = [] {
        rk_collection_config_t cfg{};
        cfg.dimension = 1;
        cfg.index_type = RK_INDEX_FLAT;
        rk_collection_t *col = rk_collection_create(nullptr, &cfg);
        const char *texts[] = {"x", "y", ""};
        for (int r = 0; r < 3; ++r) {
            rk_meta_entry_t e[4] = {};
            e[0].key = rk_string_t{"a", 1};
            e[0].type = RK_META_DOUBLE;
            e[0].value.f64 = r + 1;
            e[1].key = rk_string_t{"b", 1};
            e[1].type = RK_META_STRING;
            e[1].value.str = rk_string_t{texts[r], std::strlen(texts[r])};
            e[2].key = rk_string_t{"c", 1};
            e[2].type = RK_META_BOOL;
            e[2].value.b = r & 1;
            e[3].key = rk_string_t{"n", 1};
            e[3].type = RK_META_INT32;
            e[3].value.i32 = -r;
            const float v = float(r);
            rk_collection_insert_with_meta(col, &v, e, 4, nullptr);
        }
        return col;
    }();
    return c;
}

std::string canonical(const rk_filter_t *f) {
    uint64_t need = 0;
    (void)rk_filter_format(f, nullptr, 0, &need);
    std::string out(size_t(need) + 1, '\0');
    if (rk_filter_format(f, out.data(), out.size(), &need) != RK_OK) std::abort();
    out.resize(size_t(need));
    return out;
}

void check(rk_collection_t *typed_by, const char *text, size_t size) {
    rk_filter_t *tree = nullptr;
    rk_filter_error_t err;
    const rk_status_t st = rk_filter_parse(typed_by, text, size, &tree, &err);
    if (st != RK_OK) {
        if (tree || err.column > size + 1 || err.message[0] == '\0') std::abort();
        return;
    }
    const std::string once = canonical(tree);
    rk_filter_t *again = nullptr;
    if (rk_filter_parse(typed_by, once.data(), once.size(), &again, nullptr) != RK_OK) std::abort();
    if (canonical(again) != once) std::abort();
    const float q = 0;
    rk_search_result_t r[3];
    if (rk_collection_search_filtered(records(), &q, tree, 3, r) > 3) std::abort();
    rk_filter_free(again);
    rk_filter_free(tree);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    check(nullptr, text, size);
    check(records(), text, size);
    return 0;
}
