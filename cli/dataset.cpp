// SPDX-License-Identifier: Apache-2.0
// Binary vector formats: .fvecs / .bvecs (per-row little-endian dimension
// then the row), .npy (NumPy's header dictionary, then raw little-endian
// float32) and IDX (big-endian header with the element type and dimensions).
#include "dataset.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace zcli {
namespace {

uint32_t le32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint32_t be32(const uint8_t *p) {
    return uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24;
}

// Allocation for rows x dim floats, refused before anything is reserved when
// the product cannot be represented.
// Vectors hold finite numbers only: a NaN or an infinity would poison every
// distance it takes part in.
void require_finite(float v, uint64_t at) {
    if (!std::isfinite(v)) throw ParseError(at, "value is not a finite float32 number");
}

void size_data(Dataset &d, uint64_t rows, uint64_t dim, uint64_t at) {
    if (dim == 0) throw ParseError(at, "vector dimension is 0");
    if (dim > kMaxDim) throw ParseError(at, "vector dimension " + std::to_string(dim) + " is too large");
    if (rows > std::numeric_limits<uint64_t>::max() / dim / sizeof(float))
        throw ParseError(at, "row count overflows");
    d.rows = rows;
    d.dim = uint32_t(dim);
    d.data.resize(rows * dim);
}

// Shared walk of the two "vecs" layouts: every row repeats its dimension.
template <typename Elem>
Dataset parse_vecs(std::span<const uint8_t> b) {
    Dataset d;
    if (b.empty()) throw ParseError(0, "file is empty");
    if (b.size() < 4) throw ParseError(0, "truncated dimension field");
    const uint32_t dim = le32(b.data());
    if (int32_t(dim) <= 0)
        throw ParseError(0, "vector dimension " + std::to_string(int32_t(dim)) + " is not positive");
    if (dim > kMaxDim) throw ParseError(0, "vector dimension " + std::to_string(dim) + " is too large");
    const uint64_t stride = 4 + uint64_t(dim) * sizeof(Elem);
    const uint64_t rows = b.size() / stride;
    if (b.size() % stride != 0)
        throw ParseError(rows * stride, "truncated row " + std::to_string(rows) + " (rows are " +
                                            std::to_string(stride) + " bytes)");
    size_data(d, rows, dim, 0);
    for (uint64_t r = 0; r < rows; ++r) {
        const uint8_t *p = b.data() + r * stride;
        const uint32_t rd = le32(p);
        if (rd != dim)
            throw ParseError(r * stride, "row " + std::to_string(r) + " has dimension " +
                                             std::to_string(int32_t(rd)) + ", expected " +
                                             std::to_string(dim));
        float *out = d.data.data() + r * dim;
        if constexpr (sizeof(Elem) == 4) {
            std::memcpy(out, p + 4, size_t(dim) * 4);
            for (uint32_t j = 0; j < dim; ++j) require_finite(out[j], r * stride + 4 + 4ull * j);
        } else {
            for (uint32_t j = 0; j < dim; ++j) out[j] = float(p[4 + j]);
        }
    }
    return d;
}

// --- .npy header dictionary -------------------------------------------------

struct NpyHeader {
    std::string descr;
    bool fortran = false;
    std::vector<uint64_t> shape;
    bool have_descr = false, have_order = false, have_shape = false;
};

class NpyDict {
public:
    NpyDict(std::string_view text, uint64_t base) : s_(text), base_(base) {}

    NpyHeader parse() {
        NpyHeader h;
        skip();
        expect('{');
        for (;;) {
            skip();
            if (peek() == '}') break;
            const std::string key = quoted();
            skip();
            expect(':');
            skip();
            if (key == "descr") {
                h.descr = quoted();
                h.have_descr = true;
            } else if (key == "fortran_order") {
                h.fortran = boolean();
                h.have_order = true;
            } else if (key == "shape") {
                h.shape = tuple();
                h.have_shape = true;
            } else {
                fail("unexpected header key '" + key + "'");
            }
            skip();
            if (peek() == ',') ++i_;
        }
        return h;
    }

private:
    [[noreturn]] void fail(const std::string &m) const { throw ParseError(base_ + i_, "npy header: " + m); }
    char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
    void skip() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n')) ++i_;
    }
    void expect(char c) {
        if (peek() != c) fail(std::string("expected '") + c + "'");
        ++i_;
    }
    std::string quoted() {
        const char q = peek();
        if (q != '\'' && q != '"') fail("expected a quoted string");
        const size_t start = ++i_;
        while (i_ < s_.size() && s_[i_] != q) ++i_;
        if (i_ >= s_.size()) fail("unterminated string");
        return std::string(s_.substr(start, i_++ - start));
    }
    bool boolean() {
        if (s_.substr(i_, 4) == "True") return i_ += 4, true;
        if (s_.substr(i_, 5) == "False") return i_ += 5, false;
        fail("expected True or False");
    }
    std::vector<uint64_t> tuple() {
        std::vector<uint64_t> dims;
        expect('(');
        for (;;) {
            skip();
            if (peek() == ')') break;
            if (peek() < '0' || peek() > '9') fail("expected a dimension");
            uint64_t v = 0;
            while (peek() >= '0' && peek() <= '9') {
                if (v > (std::numeric_limits<uint64_t>::max() - 9) / 10) fail("dimension too large");
                v = v * 10 + uint64_t(s_[i_++] - '0');
            }
            if (dims.size() >= 8) fail("too many dimensions");
            dims.push_back(v);
            skip();
            if (peek() == ',') ++i_;
        }
        ++i_;
        return dims;
    }

    std::string_view s_;
    uint64_t base_;
    size_t i_ = 0;
};

// IDX element types: code, byte width, converter from big-endian bytes.
struct IdxType {
    uint8_t code;
    uint8_t width;
    float (*convert)(const uint8_t *);
};

float idx_u8(const uint8_t *p) { return float(p[0]); }
float idx_s8(const uint8_t *p) { return float(int8_t(p[0])); }
float idx_s16(const uint8_t *p) { return float(int16_t(uint16_t(p[0] << 8 | p[1]))); }
float idx_s32(const uint8_t *p) { return float(int32_t(be32(p))); }
float idx_f32(const uint8_t *p) {
    const uint32_t u = be32(p);
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}
float idx_f64(const uint8_t *p) {
    uint64_t u = 0;
    for (int i = 0; i < 8; ++i) u = u << 8 | p[i];
    double x;
    std::memcpy(&x, &u, 8);
    return float(x);
}

constexpr IdxType kIdxTypes[] = {
    {0x08, 1, idx_u8},  {0x09, 1, idx_s8},  {0x0B, 2, idx_s16},
    {0x0C, 4, idx_s32}, {0x0D, 4, idx_f32}, {0x0E, 8, idx_f64},
};

}  // namespace

Dataset parse_fvecs(std::span<const uint8_t> b) { return parse_vecs<float>(b); }
Dataset parse_bvecs(std::span<const uint8_t> b) { return parse_vecs<uint8_t>(b); }

Dataset parse_npy(std::span<const uint8_t> b) {
    static const uint8_t magic[6] = {0x93, 'N', 'U', 'M', 'P', 'Y'};
    if (b.size() < 10 || std::memcmp(b.data(), magic, 6) != 0)
        throw ParseError(0, "not a .npy file (bad magic)");
    const uint8_t major = b[6];
    uint64_t header_len, header_at;
    if (major == 1) {
        header_len = uint64_t(b[8]) | uint64_t(b[9]) << 8;
        header_at = 10;
    } else if (major == 2 || major == 3) {
        if (b.size() < 12) throw ParseError(8, "truncated header length");
        header_len = le32(b.data() + 8);
        header_at = 12;
    } else {
        throw ParseError(6, "unsupported .npy version " + std::to_string(major));
    }
    if (header_len > b.size() - header_at)
        throw ParseError(header_at, "header runs past the end of the file");
    const std::string_view text(reinterpret_cast<const char *>(b.data() + header_at), size_t(header_len));
    const NpyHeader h = NpyDict(text, header_at).parse();
    if (!h.have_descr || !h.have_order || !h.have_shape)
        throw ParseError(header_at, "npy header lacks descr, fortran_order or shape");
    if (h.descr != "<f4" && h.descr != "=f4")
        throw ParseError(header_at, "element type '" + h.descr + "' is not little-endian float32 ('<f4')");
    if (h.fortran) throw ParseError(header_at, "Fortran-order arrays are not supported");
    if (h.shape.size() != 2)
        throw ParseError(header_at,
                         "array has " + std::to_string(h.shape.size()) + " dimensions, expected 2");
    const uint64_t at = header_at + header_len, rows = h.shape[0], dim = h.shape[1];
    const uint64_t avail = b.size() - at;
    if (dim == 0 || dim > kMaxDim)
        throw ParseError(header_at, "vector dimension " + std::to_string(dim) + " is out of range");
    if (rows > avail / 4 / dim || rows * dim * 4 != avail)
        throw ParseError(at + std::min(avail, rows > avail / 4 / dim ? avail : rows * dim * 4),
                         "data holds " + std::to_string(avail) + " bytes, shape needs " +
                             (rows > avail / 4 / dim ? std::string("more") : std::to_string(rows * dim * 4)));
    Dataset d;
    size_data(d, rows, dim, header_at);
    if (!d.data.empty()) std::memcpy(d.data.data(), b.data() + at, size_t(rows * dim * 4));
    for (uint64_t i = 0; i < rows * dim; ++i) require_finite(d.data[i], at + 4 * i);
    return d;
}

std::optional<uint64_t> declared_size(Format f, std::span<const uint8_t> b, uint64_t limit) {
    constexpr uint64_t kTooMuch = std::numeric_limits<uint64_t>::max();
    uint64_t at = 0, rows = 0, dim = 1, width = 4;
    if (f == Format::idx) {
        if (b.size() < 4 || b[0] != 0 || b[1] != 0) return std::nullopt;
        const IdxType *type = nullptr;
        for (const IdxType &t : kIdxTypes)
            if (t.code == b[2]) type = &t;
        if (!type || b[3] == 0) return std::nullopt;
        at = 4 + uint64_t(b[3]) * 4;
        if (b.size() < at) return std::nullopt;
        rows = be32(b.data() + 4);
        for (uint32_t i = 1; i < b[3]; ++i) {
            const uint64_t n = be32(b.data() + 4 + 4 * i);
            if (n == 0 || dim > kMaxDim / n) return std::nullopt;  // the parser says why
            dim *= n;
        }
        width = type->width;
    } else if (f == Format::npy) {
        try {
            if (b.size() < 12 || b[6] < 1 || b[6] > 3) return std::nullopt;
            const uint64_t len = b[6] == 1 ? (uint64_t(b[8]) | uint64_t(b[9]) << 8) : le32(b.data() + 8);
            const uint64_t head = b[6] == 1 ? 10 : 12;
            if (len > b.size() - head) return std::nullopt;
            const std::string_view text(reinterpret_cast<const char *>(b.data() + head), size_t(len));
            const NpyHeader h = NpyDict(text, head).parse();
            if (h.shape.size() != 2 || h.shape[1] == 0) return std::nullopt;
            at = head + len;
            rows = h.shape[0];
            dim = h.shape[1];
        } catch (const ParseError &) {
            return std::nullopt;
        }
    } else {
        return std::nullopt;
    }
    // The floats the rows become must fit the limit; then the byte count
    // (at most 8 bytes an element) cannot overflow.
    if (dim > kTooMuch / 8 || (rows != 0 && rows > limit / (dim * 4))) return kTooMuch;
    return at + rows * dim * width;
}

Dataset parse_idx(std::span<const uint8_t> b) {
    if (b.size() < 4) throw ParseError(0, "truncated IDX magic");
    if (b[0] != 0 || b[1] != 0) throw ParseError(0, "not an IDX file (magic must start with two zero bytes)");
    const IdxType *type = nullptr;
    for (const IdxType &t : kIdxTypes)
        if (t.code == b[2]) type = &t;
    if (!type) throw ParseError(2, "unknown IDX element type " + std::to_string(b[2]));
    const uint8_t ndims = b[3];
    if (ndims == 0) throw ParseError(3, "IDX file has no dimensions");
    const uint64_t at = 4 + uint64_t(ndims) * 4;
    if (b.size() < at) throw ParseError(b.size(), "truncated IDX dimension list");
    const uint64_t rows = be32(b.data() + 4);
    uint64_t dim = 1;
    for (uint32_t i = 1; i < ndims; ++i) {
        const uint64_t n = be32(b.data() + 4 + 4 * i);
        if (n == 0 || dim > kMaxDim / n) throw ParseError(4 + 4 * i, "vector dimension is 0 or too large");
        dim *= n;
    }
    const uint64_t avail = b.size() - at, row_bytes = dim * type->width;
    if (rows > avail / row_bytes)
        throw ParseError(b.size(), "IDX header declares " + std::to_string(rows) + " items, data holds " +
                                       std::to_string(avail / row_bytes));
    if (avail != rows * row_bytes)
        throw ParseError(at + rows * row_bytes, "trailing bytes after the IDX data");
    Dataset d;
    size_data(d, rows, dim, 4);
    const uint8_t *p = b.data() + at;
    for (uint64_t i = 0; i < rows * dim; ++i, p += type->width) {
        d.data[i] = type->convert(p);
        require_finite(d.data[i], at + i * type->width);  // doubles past float range too
    }
    return d;
}

}  // namespace zcli
