// SPDX-License-Identifier: Apache-2.0
// Filter expressions such as  category == "shoes" and price < 50, parsed by
// the library (rk_filter_parse) into a tree it owns; this is the tool's
// owner for such a tree and the exception that carries a refusal.
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "rk_collection.h"

namespace zcli {

// A bad expression; `column` is the 0-based character position.
struct ExprError : std::runtime_error {
    size_t column;
    ExprError(size_t col, const std::string &msg) : std::runtime_error(msg), column(col) {}
};

// Metadata keys of a collection (lower case) and their entry types
// (rk_meta_type_t).
using Schema = std::map<std::string, int32_t>;

// Owns one tree made by the library.
class FilterTree {
public:
    explicit FilterTree(rk_filter_t *root) : root_(root) {}
    ~FilterTree() { rk_filter_free(root_); }
    FilterTree(const FilterTree &) = delete;
    FilterTree &operator=(const FilterTree &) = delete;

    const rk_filter_t *root() const { return root_; }
    // Canonical text: and/or groups parenthesised, text quoted, numbers %.17g.
    std::string to_string() const;

private:
    rk_filter_t *root_;
};

// Parses an expression; throws ExprError (std::bad_alloc when memory runs
// out). With a collection, keys must be ones its records have and values must
// fit the key's entry type; without one any key goes.
std::unique_ptr<FilterTree> parse_filter(std::string_view text, rk_collection_t *typed_by = nullptr);

// Longest expression and deepest nesting the library accepts.
inline constexpr size_t kMaxExprLength = 1 << 16;
inline constexpr int kMaxExprDepth = 64;

}  // namespace zcli
