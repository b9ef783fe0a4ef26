// SPDX-License-Identifier: Apache-2.0
// CSV import: one vector per line, comma-separated, RFC 4180 quoting.
// A first line with any non-numeric field is a header; header columns named
// in CsvOptions::meta_columns become metadata (numbers, true/false or text,
// whichever every value fits), all others are vector components.
#include <charconv>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "dataset.h"

namespace zcli {
namespace {

struct Field {
    std::string text;
    uint64_t offset;
};

class CsvLines {
public:
    // A UTF-8 byte-order mark is not part of the first field.
    explicit CsvLines(std::span<const uint8_t> b) : b_(b) {
        if (b_.size() >= 3 && b_[0] == 0xEF && b_[1] == 0xBB && b_[2] == 0xBF) i_ = 3;
    }

    // Next non-blank line split into fields; false at the end of the data.
    bool next(std::vector<Field> &out, uint64_t &line_at) {
        for (;;) {
            if (i_ >= b_.size()) return false;
            line_at = i_;
            out.clear();
            if (split(out)) return true;
        }
    }

private:
    // Splits one line; false when it was blank.
    bool split(std::vector<Field> &out) {
        bool any = false;
        for (;;) {
            Field f{std::string(), i_};
            if (i_ < b_.size() && b_[i_] == '"') {
                quoted(f);
            } else {
                while (i_ < b_.size() && b_[i_] != ',' && b_[i_] != '\n' && b_[i_] != '\r')
                    f.text += char(b_[i_++]);
            }
            if (!f.text.empty() || (i_ < b_.size() && b_[i_] == ',')) any = true;
            out.push_back(std::move(f));
            if (i_ < b_.size() && b_[i_] == ',') {
                ++i_;
                continue;
            }
            if (i_ < b_.size() && b_[i_] == '\r') ++i_;
            if (i_ < b_.size() && b_[i_] == '\n')
                ++i_;
            else if (i_ < b_.size())
                throw ParseError(i_, "stray carriage return");
            return any || out.size() > 1;
        }
    }

    void quoted(Field &f) {
        const uint64_t open = i_++;
        for (;;) {
            if (i_ >= b_.size()) throw ParseError(open, "unterminated quoted field");
            if (b_[i_] == '"') {
                if (i_ + 1 < b_.size() && b_[i_ + 1] == '"') {
                    f.text += '"';
                    i_ += 2;
                    continue;
                }
                ++i_;
                break;
            }
            f.text += char(b_[i_++]);
        }
        if (i_ < b_.size() && b_[i_] != ',' && b_[i_] != '\n' && b_[i_] != '\r')
            throw ParseError(i_, "text after a closing quote");
    }

    std::span<const uint8_t> b_;
    uint64_t i_ = 0;
};

std::string_view trim(const std::string &s) {
    size_t a = 0, e = s.size();
    while (a < e && (s[a] == ' ' || s[a] == '\t')) ++a;
    while (e > a && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return std::string_view(s).substr(a, e - a);
}

bool to_double(const std::string &s, double &out) {
    const std::string_view t = trim(s);
    if (t.empty()) return false;
    const char *first = t.data(), *last = t.data() + t.size();
    if (*first == '+') ++first;
    const auto r = std::from_chars(first, last, out);
    return r.ec == std::errc() && r.ptr == last && std::isfinite(out);
}

bool is_number(const std::string &s) {
    double d;
    return to_double(s, d);
}

// Settles a metadata column's type once every value is known.
void settle(Column &c) {
    bool numbers = true, bools = true;
    for (const std::string &t : c.texts) {
        const std::string_view v = trim(t);
        numbers = numbers && is_number(t);
        bools = bools && (v == "true" || v == "false");
    }
    if (c.texts.empty()) bools = false;
    if (numbers || bools) {
        c.type = numbers ? ColumnType::number : ColumnType::boolean;
        c.numbers.resize(c.texts.size());
        for (size_t i = 0; i < c.texts.size(); ++i) {
            if (numbers)
                to_double(c.texts[i], c.numbers[i]);
            else
                c.numbers[i] = trim(c.texts[i]) == "true" ? 1.0 : 0.0;
        }
        c.texts.clear();
    } else {
        c.type = ColumnType::text;
    }
}

}  // namespace

Dataset parse_csv(std::span<const uint8_t> b, const CsvOptions &options) {
    CsvLines lines(b);
    std::vector<Field> fields;
    uint64_t line_at = 0;
    if (!lines.next(fields, line_at)) throw ParseError(0, "file holds no rows");

    // Which fields are metadata, from the header if there is one.
    std::vector<int> meta_slot(fields.size(), -1);
    Dataset d;
    bool header = false;
    for (const Field &f : fields) header = header || !is_number(f.text);
    if (header) {
        std::unordered_map<std::string, size_t> seen;
        for (size_t i = 0; i < fields.size(); ++i) {
            const std::string name(trim(fields[i].text));
            if (!seen.emplace(name, i).second)
                throw ParseError(fields[i].offset, "duplicate column '" + name + "'");
            for (const std::string &m : options.meta_columns)
                if (m == name) {
                    meta_slot[i] = int(d.columns.size());
                    d.columns.push_back(Column{name, ColumnType::text, {}, {}});
                }
        }
        for (const std::string &m : options.meta_columns)
            if (!seen.count(m)) throw ParseError(0, "no column named '" + m + "' in the header");
        if (!lines.next(fields, line_at)) throw ParseError(b.size(), "file holds a header but no rows");
    } else if (!options.meta_columns.empty()) {
        throw ParseError(0, "metadata columns need a header line");
    }
    const size_t width = meta_slot.size();
    const uint64_t dim = width - d.columns.size();
    if (dim == 0) throw ParseError(0, "no vector columns");
    if (dim > kMaxDim) throw ParseError(0, "too many vector columns");
    d.dim = uint32_t(dim);

    do {
        if (fields.size() != width)
            throw ParseError(line_at, "row has " + std::to_string(fields.size()) + " fields, expected " +
                                          std::to_string(width));
        for (size_t i = 0; i < width; ++i) {
            if (meta_slot[i] >= 0) {
                d.columns[size_t(meta_slot[i])].texts.push_back(fields[i].text);
                continue;
            }
            double v;
            if (!to_double(fields[i].text, v) || std::fabs(v) > 3.4028234663852886e38)
                throw ParseError(fields[i].offset, "'" + std::string(trim(fields[i].text)).substr(0, 40) +
                                                       "' is not a finite float32 number");
            d.data.push_back(float(v));
        }
        ++d.rows;
    } while (lines.next(fields, line_at));
    for (Column &c : d.columns) settle(c);
    return d;
}

}  // namespace zcli
