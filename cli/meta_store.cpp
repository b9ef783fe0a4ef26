// Encoding and decoding of the tool's metadata file.
#include "meta_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace zcli {
namespace {

constexpr char kMagic[8] = {'Z', 'V', 'M', 'E', 'T', 'A', '1', '\0'};

class Writer {
public:
    std::vector<uint8_t> out;
    void u8(uint8_t v) { out.push_back(v); }
    void u32(uint32_t v) { raw(&v, 4); }
    void u64(uint64_t v) { raw(&v, 8); }
    void f64(double v) { raw(&v, 8); }
    void text(const std::string &s) {
        u32(uint32_t(s.size()));
        raw(s.data(), s.size());
    }
    void raw(const void *p, size_t n) {
        const auto *b = static_cast<const uint8_t *>(p);
        out.insert(out.end(), b, b + n);
    }
};

class Reader {
public:
    explicit Reader(std::span<const uint8_t> b) : b_(b) {}
    uint64_t at() const { return i_; }
    uint64_t left() const { return b_.size() - i_; }
    const uint8_t *take(uint64_t n, const char *what) {
        if (n > left()) throw ParseError(i_, std::string("truncated ") + what);
        const uint8_t *p = b_.data() + i_;
        i_ += n;
        return p;
    }
    uint8_t u8(const char *what) { return *take(1, what); }
    uint32_t u32(const char *what) { return get<uint32_t>(what); }
    uint64_t u64(const char *what) { return get<uint64_t>(what); }
    double f64(const char *what) { return get<double>(what); }
    std::string text(const char *what) {
        const uint32_t n = u32(what);
        const uint8_t *p = take(n, what);
        return std::string(reinterpret_cast<const char *>(p), n);
    }

private:
    template <typename T>
    T get(const char *what) {
        T v;
        std::memcpy(&v, take(sizeof v, what), sizeof v);
        return v;
    }
    std::span<const uint8_t> b_;
    uint64_t i_ = 0;
};

const char *type_word(ColumnType t) {
    return t == ColumnType::number ? "number" : t == ColumnType::text ? "text" : "boolean";
}

}  // namespace

Schema MetaTable::schema() const {
    Schema s;
    for (const Column &c : columns) s[c.name] = c.type;
    return s;
}

void MetaTable::append(const std::vector<Column> &from, const std::vector<uint64_t> &new_ids) {
    if (ids.empty() && columns.empty()) {
        for (const Column &c : from) columns.push_back(Column{c.name, c.type, {}, {}});
    }
    if (from.size() != columns.size())
        throw DataError("metadata columns differ from the collection's (" + std::to_string(columns.size()) +
                        " stored, " + std::to_string(from.size()) + " in the file)");
    for (Column &mine : columns) {
        const auto it = std::find_if(from.begin(), from.end(), [&](const Column &c) { return c.name == mine.name; });
        if (it == from.end()) throw DataError("the file has no metadata column '" + mine.name + "'");
        if (it->type != mine.type)
            throw DataError("metadata column '" + mine.name + "' is " + type_word(it->type) + " in the file but " +
                            type_word(mine.type) + " in the collection");
        mine.numbers.insert(mine.numbers.end(), it->numbers.begin(), it->numbers.end());
        mine.texts.insert(mine.texts.end(), it->texts.begin(), it->texts.end());
    }
    ids.insert(ids.end(), new_ids.begin(), new_ids.end());
}

void MetaTable::keep_only(const std::vector<uint64_t> &live) {
    size_t w = 0;
    for (size_t r = 0; r < ids.size(); ++r) {
        if (!std::binary_search(live.begin(), live.end(), ids[r])) continue;
        if (w == r) {
            ++w;
            continue;
        }
        ids[w] = ids[r];
        for (Column &c : columns) {
            if (c.type == ColumnType::text) c.texts[w] = std::move(c.texts[r]);
            else c.numbers[w] = c.numbers[r];
        }
        ++w;
    }
    ids.resize(w);
    for (Column &c : columns) (c.type == ColumnType::text ? c.texts.resize(w) : c.numbers.resize(w));
}

std::vector<uint8_t> encode_meta(const MetaTable &t) {
    Writer w;
    w.raw(kMagic, 8);
    w.u32(uint32_t(t.columns.size()));
    for (const Column &c : t.columns) {
        w.text(c.name);
        w.u8(uint8_t(c.type));
    }
    w.u64(t.ids.size());
    for (size_t r = 0; r < t.ids.size(); ++r) {
        w.u64(t.ids[r]);
        for (const Column &c : t.columns) {
            if (c.type == ColumnType::number) w.f64(c.numbers[r]);
            else if (c.type == ColumnType::boolean) w.u8(c.numbers[r] != 0);
            else w.text(c.texts[r]);
        }
    }
    return std::move(w.out);
}

MetaTable decode_meta(std::span<const uint8_t> bytes) {
    Reader r(bytes);
    if (std::memcmp(r.take(8, "magic"), kMagic, 8) != 0) throw ParseError(0, "not a zevud metadata file");
    MetaTable t;
    const uint32_t ncols = r.u32("column count");
    // Every column needs at least five bytes of header.
    if (ncols > r.left() / 5) throw ParseError(r.at(), "column count exceeds the file");
    uint64_t min_row = 8;
    for (uint32_t i = 0; i < ncols; ++i) {
        const uint64_t at = r.at();
        Column c;
        c.name = r.text("column name");
        const uint8_t type = r.u8("column type");
        if (type > 2) throw ParseError(at, "unknown column type " + std::to_string(type));
        c.type = ColumnType(type);
        min_row += c.type == ColumnType::number ? 8 : c.type == ColumnType::text ? 4 : 1;
        t.columns.push_back(std::move(c));
    }
    const uint64_t rows = r.u64("row count");
    if (rows > r.left() / min_row) throw ParseError(r.at(), "row count exceeds the file");
    t.ids.reserve(rows);
    for (Column &c : t.columns) (c.type == ColumnType::text ? c.texts.reserve(rows) : c.numbers.reserve(rows));
    for (uint64_t i = 0; i < rows; ++i) {
        const uint64_t at = r.at();
        const uint64_t id = r.u64("id");
        if (!t.ids.empty() && id <= t.ids.back()) throw ParseError(at, "ids do not rise");
        t.ids.push_back(id);
        for (Column &c : t.columns) {
            if (c.type == ColumnType::number) c.numbers.push_back(r.f64("value"));
            else if (c.type == ColumnType::boolean) c.numbers.push_back(r.u8("value") ? 1 : 0);
            else c.texts.push_back(r.text("value"));
        }
    }
    if (r.left() != 0) throw ParseError(r.at(), "trailing bytes");
    return t;
}

std::vector<rk_meta_entry_t> row_entries(const std::vector<Column> &columns, uint64_t row) {
    std::vector<rk_meta_entry_t> e(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) {
        const Column &c = columns[i];
        e[i].key = rk_string_t{c.name.c_str(), c.name.size()};
        if (c.type == ColumnType::number) {
            e[i].type = RK_META_DOUBLE;
            e[i].value.f64 = c.numbers[row];
        } else if (c.type == ColumnType::boolean) {
            e[i].type = RK_META_BOOL;
            e[i].value.b = c.numbers[row] != 0;
        } else {
            e[i].type = RK_META_STRING;
            e[i].value.str = rk_string_t{c.texts[row].c_str(), c.texts[row].size()};
        }
    }
    return e;
}

MetaTable read_meta_file(const std::string &path) {
    FILE *fp = std::fopen(path.c_str(), "rb");
    if (!fp) {
        if (errno == ENOENT) return MetaTable{};
        throw DataError(path + ": cannot open: " + std::strerror(errno));
    }
    std::unique_ptr<FILE, int (*)(FILE *)> close(fp, std::fclose);
    std::vector<uint8_t> bytes;
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    if (std::ferror(fp)) throw DataError(path + ": read failed");
    try {
        return decode_meta(bytes);
    } catch (const ParseError &e) {
        throw DataError(path + ": byte " + std::to_string(e.offset) + ": " + e.what());
    }
}

void write_meta_file(const std::string &path, const MetaTable &t) {
    const std::vector<uint8_t> bytes = encode_meta(t);
    const std::string tmp = path + ".tmp";
    FILE *fp = std::fopen(tmp.c_str(), "wb");
    if (!fp) throw DataError(tmp + ": cannot create: " + std::strerror(errno));
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
    if (std::fclose(fp) != 0 || !ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        throw DataError(path + ": write failed");
    }
}

}  // namespace zcli
