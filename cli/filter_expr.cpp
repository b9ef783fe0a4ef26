// SPDX-License-Identifier: Apache-2.0
// The tool's side of filter expressions: the library parses, this turns its
// status and message into an ExprError.
#include "filter_expr.h"

#include <new>

namespace zcli {

std::unique_ptr<FilterTree> parse_filter(std::string_view text, rk_collection_t *typed_by) {
    rk_filter_t *root = nullptr;
    rk_filter_error_t err{};
    const rk_status_t st = rk_filter_parse(typed_by, text.data(), text.size(), &root, &err);
    if (st == RK_ERR_NO_MEMORY) throw std::bad_alloc();
    if (st != RK_OK) throw ExprError(err.column ? size_t(err.column - 1) : 0, err.message);
    return std::make_unique<FilterTree>(root);
}

std::string FilterTree::to_string() const {
    uint64_t need = 0;
    (void)rk_filter_format(root_, nullptr, 0, &need);
    std::string out(size_t(need) + 1, '\0');
    if (rk_filter_format(root_, out.data(), out.size(), &need) != RK_OK) return {};
    out.resize(size_t(need));
    return out;
}

}  // namespace zcli
