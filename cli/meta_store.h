// The tool's own metadata file, kept beside a collection's file in a
// database directory (NAME.zvmeta). Collection files hold ids and vectors
// only, so the tool records every record's metadata here and hands it back
// to the collection each time it opens the database.
//
// Layout, little-endian: "ZVMETA1\0"; u32 column count; per column u32 name
// length, the name, u8 type (0 number, 1 text, 2 boolean); u64 row count;
// per row u64 id, then per column an f64 (number), a u32 length and the
// bytes (text) or a u8 (boolean).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "dataset.h"
#include "filter_expr.h"
#include "rk_collection.h"

namespace zcli {

struct MetaTable {
    std::vector<Column> columns;  // each holds one value per id
    std::vector<uint64_t> ids;

    Schema schema() const;
    // Appends rows whose values come from `from` (columns must match by name
    // and type, in any order); throws DataError naming the difference.
    void append(const std::vector<Column> &from, const std::vector<uint64_t> &new_ids);
    // Drops rows whose id is not in `live` (sorted ascending).
    void keep_only(const std::vector<uint64_t> &live);
};

std::vector<uint8_t> encode_meta(const MetaTable &t);
MetaTable decode_meta(std::span<const uint8_t> bytes);  // throws ParseError

// Entries of row `row` of columns, pointing into them (they must outlive use).
std::vector<rk_meta_entry_t> row_entries(const std::vector<Column> &columns, uint64_t row);

// File helpers: a missing file reads as an empty table; writes go to a
// temporary file that replaces the old one.
MetaTable read_meta_file(const std::string &path);  // throws DataError
void write_meta_file(const std::string &path, const MetaTable &t);

}  // namespace zcli
