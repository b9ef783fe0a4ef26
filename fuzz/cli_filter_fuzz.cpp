// SPDX-License-Identifier: Apache-2.0
// Filter expressions on hostile text: either an ExprError inside the text or
// a tree whose canonical text parses back to itself and which the library's
// matcher can walk over a few records.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "filter_expr.h"
#include "metadata.h"
#include "zevud.h"

namespace {

rk_collection_t *records() {
    static rk_collection_t *c = [] {
        rk_collection_config_t cfg{};
        cfg.dimension = 1;
        cfg.index_type = RK_INDEX_FLAT;
        rk_collection_t *col = rk_collection_create(nullptr, &cfg);
        const std::vector<zcli::Column> cols = {
            {"a", zcli::ColumnType::number, {1, 2, 3}, {}},
            {"b", zcli::ColumnType::text, {}, {"x", "y", ""}},
            {"c", zcli::ColumnType::boolean, {0, 1, 0}, {}},
        };
        for (uint64_t r = 0; r < 3; ++r) {
            const float v = float(r);
            const auto e = zcli::row_entries(cols, r);
            rk_collection_insert_with_meta(col, &v, e.data(), e.size(), nullptr);
        }
        return col;
    }();
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    try {
        const auto tree = zcli::parse_filter(text);
        const std::string once = tree->to_string();
        if (zcli::parse_filter(once)->to_string() != once) std::abort();
        const float q = 0;
        rk_search_result_t r[3];
        if (rk_collection_search_filtered(records(), &q, tree->root(), 3, r) > 3) std::abort();
    } catch (const zcli::ExprError &e) {
        if (e.column > size) std::abort();
    }
    return 0;
}
