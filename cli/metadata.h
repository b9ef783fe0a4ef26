// SPDX-License-Identifier: Apache-2.0
// Record metadata as the tool writes and reads it: CSV columns become typed
// entries (numbers as 64-bit floats, booleans, text), and a collection's
// schema is read back from its records for filters and for display.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "dataset.h"
#include "filter_expr.h"
#include "rk_collection.h"

namespace zcli {

// Entries of row `row` of columns, pointing into them (they must outlive use).
std::vector<rk_meta_entry_t> row_entries(const std::vector<Column> &columns, uint64_t row);

// Key (as stored) and value text of each entry of record id; text values
// are returned as they are, `json` quotes and escapes them.
std::vector<std::pair<std::string, std::string>> record_meta(rk_collection_t *c, uint64_t id, bool json);

// Keys and entry types of the collection's first record (records the tool
// imports all carry the same keys); empty for an empty collection or one
// without metadata.
Schema collection_schema(rk_collection_t *c);

// Throws DataError when the columns of a file to append differ from the
// metadata the collection's records already have.
void check_columns_match(rk_collection_t *c, const std::vector<Column> &columns);

}  // namespace zcli
