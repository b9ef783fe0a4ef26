// SPDX-License-Identifier: Apache-2.0
// Filter expressions such as  category == "shoes" and price < 50  parsed
// into the library's filter tree.
//
//   expr  := term { ("or" | "||") term }
//   term  := unary { ("and" | "&&") unary }
//   unary := ("not" | "!") unary | "(" expr ")" | key op value
//   op    := "==" | "=" | "!=" | "<" | "<=" | ">" | ">="
//   value := "text" | 'text' | number | true | false
//
// Keywords are case-insensitive. The library reads a condition's value in
// the form of the record's entry, so a value is stored in the form the
// schema gives for its key (a whole number for integer keys, and so on);
// without a schema numbers become 64-bit floats, the form the tool stores.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "rk_collection.h"

namespace zcli {

// A bad expression; `column` is the 0-based character position.
struct ExprError : std::runtime_error {
    size_t column;
    ExprError(size_t col, const std::string &msg) : std::runtime_error(msg), column(col) {}
};

// Metadata keys of a collection (lower case) and their entry types
// (rk_meta_type_t); empty means "accept any key".
using Schema = std::map<std::string, int32_t>;

// Owns every node, child array and string of one parsed tree.
class FilterTree {
public:
    const rk_filter_t *root() const { return root_; }
    // Canonical text: and/or groups parenthesised, text quoted, numbers %.17g.
    std::string to_string() const;

private:
    friend class ExprParser;
    rk_filter_t *node(int32_t kind);
    const char *keep(std::string s);

    std::deque<rk_filter_t> nodes_;
    std::deque<std::vector<rk_filter_t *>> children_;
    std::deque<std::string> strings_;
    std::map<const rk_filter_t *, int32_t> value_types_;
    rk_filter_t *root_ = nullptr;
};

// Parses an expression; throws ExprError. With a non-empty schema, keys must
// be in it and values must fit the key's type.
std::unique_ptr<FilterTree> parse_filter(std::string_view text, const Schema &schema = {});

// Longest expression and deepest nesting accepted.
inline constexpr size_t kMaxExprLength = 1 << 16;
inline constexpr int kMaxExprDepth = 64;

}  // namespace zcli
