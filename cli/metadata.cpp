// SPDX-License-Identifier: Apache-2.0
// Typed metadata entries to and from the tool's columns.
#include "metadata.h"

#include <cstdio>

#include "output.h"

namespace zcli {
namespace {

constexpr uint64_t kMaxEntries = 256;

int32_t entry_type(ColumnType t) {
    return t == ColumnType::number ? RK_META_DOUBLE : t == ColumnType::text ? RK_META_STRING : RK_META_BOOL;
}

const char *type_word(int32_t t) {
    switch (t) {
        case RK_META_STRING:
            return "text";
        case RK_META_BOOL:
            return "boolean";
        default:
            return "number";
    }
}

std::string lower(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

std::vector<rk_meta_entry_t> entries_of(rk_collection_t *c, uint64_t id) {
    std::vector<rk_meta_entry_t> e(kMaxEntries);
    uint64_t n = kMaxEntries;
    if (rk_collection_get_meta(c, id, e.data(), &n) != RK_OK) return {};
    e.resize(std::min(n, kMaxEntries));
    return e;
}

int first_id(uint64_t id, const float *, uint32_t, void *user) {
    *static_cast<uint64_t *>(user) = id;
    return 0;
}

}  // namespace

std::vector<rk_meta_entry_t> row_entries(const std::vector<Column> &columns, uint64_t row) {
    std::vector<rk_meta_entry_t> e(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) {
        const Column &c = columns[i];
        e[i].key = rk_string_t{c.name.c_str(), c.name.size()};
        e[i].type = entry_type(c.type);
        if (c.type == ColumnType::number)
            e[i].value.f64 = c.numbers[row];
        else if (c.type == ColumnType::boolean)
            e[i].value.b = c.numbers[row] != 0;
        else
            e[i].value.str = rk_string_t{c.texts[row].c_str(), c.texts[row].size()};
    }
    return e;
}

std::vector<std::pair<std::string, std::string>> record_meta(rk_collection_t *c, uint64_t id, bool json) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const rk_meta_entry_t &e : entries_of(c, id)) {
        std::string v;
        switch (e.type) {
            case RK_META_INT32:
                v = std::to_string(e.value.i32);
                break;
            case RK_META_INT64:
                v = std::to_string(e.value.i64);
                break;
            case RK_META_FLOAT:
                v = json ? json_number(e.value.f32) : fmt("%g", double(e.value.f32));
                break;
            case RK_META_DOUBLE:
                v = json ? json_number(e.value.f64) : fmt("%g", e.value.f64);
                break;
            case RK_META_BOOL:
                v = e.value.b ? "true" : "false";
                break;
            case RK_META_STRING: {
                const std::string s(e.value.str.data ? e.value.str.data : "", e.value.str.len);
                v = json ? json_escape(s) : s;
                break;
            }
            default:
                v = json ? "null" : "?";
        }
        out.emplace_back(std::string(e.key.data ? e.key.data : "", e.key.len), v);
    }
    return out;
}

Schema collection_schema(rk_collection_t *c) {
    uint64_t id = 0;
    rk_collection_foreach(c, nullptr, first_id, &id);
    if (id == 0) return {};
    Schema s;
    for (const rk_meta_entry_t &e : entries_of(c, id))
        s.emplace(lower(std::string(e.key.data ? e.key.data : "", e.key.len)), e.type);
    return s;
}

void check_columns_match(rk_collection_t *c, const std::vector<Column> &columns) {
    if (c->count == 0) return;
    const Schema have = collection_schema(c);
    Schema want;
    for (const Column &col : columns) want.emplace(lower(col.name), entry_type(col.type));
    if (have == want) return;
    auto list = [](const Schema &s) {
        std::string t;
        for (const auto &[k, ty] : s) t += (t.empty() ? "" : ", ") + k + " (" + type_word(ty) + ")";
        return t.empty() ? std::string("none") : t;
    };
    throw DataError("metadata columns differ from the collection's: the file has " + list(want) +
                    ", the collection " + list(have));
}

}  // namespace zcli
