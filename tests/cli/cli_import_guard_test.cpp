// SPDX-License-Identifier: Apache-2.0
// Importers refuse what would poison or swamp a collection: NaN and
// infinities in every format, gzip'd files whose header declares more data
// than the limits allow (refused before the body is inflated); and a CSV
// byte-order mark is not taken for data.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "dataset.h"
#if ZEVUD_HAVE_ZLIB
#include <zlib.h>
#endif

using namespace zcli;

namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes &b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void put32be(Bytes &b, uint32_t v) {
    for (int i = 3; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
}
uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

uint64_t fault_offset(Format f, const Bytes &b) {
    try {
        parse_buffer(f, b);
    } catch (const ParseError &e) {
        return e.offset;
    }
    return ~0ull;
}

TEST(CliImportGuard, NanAndInfinitiesAreRefusedByEveryImporter) {
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
    for (float v : bad) {
        Bytes fv;  // two rows of dimension 2; the bad value is row 1, column 1
        put32(fv, 2), put32(fv, bits(0.5f)), put32(fv, bits(1.5f));
        put32(fv, 2), put32(fv, bits(2.5f)), put32(fv, bits(v));
        EXPECT_EQ(fault_offset(Format::fvecs, fv), 12u + 8u) << v;

        Bytes idx = {0, 0, 0x0D, 2};  // float32 IDX, 1 x 2, big-endian
        put32be(idx, 1), put32be(idx, 2), put32be(idx, bits(0.25f)), put32be(idx, bits(v));
        EXPECT_EQ(fault_offset(Format::idx, idx), 12u + 4u) << v;

        Bytes npy = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0};
        std::string h = "{'descr': '<f4', 'fortran_order': False, 'shape': (1, 2), }";
        while ((10 + h.size() + 1) % 64) h += ' ';
        h += '\n';
        npy.push_back(uint8_t(h.size())), npy.push_back(0);
        npy.insert(npy.end(), h.begin(), h.end());
        put32(npy, bits(v)), put32(npy, bits(0.75f));
        EXPECT_EQ(fault_offset(Format::npy, npy), 10u + h.size()) << v;
    }
    // A double past the float range becomes an infinity: refused too.
    Bytes f64 = {0, 0, 0x0E, 2};
    put32be(f64, 1), put32be(f64, 1);
    for (int i = 0; i < 8; ++i) f64.push_back(i == 0 ? 0x7E : 0x00);  // about 1e300
    EXPECT_EQ(fault_offset(Format::idx, f64), 12u);
}

TEST(CliImportGuard, CsvByteOrderMarkKeepsTheFirstRow) {
    const std::string bom = "\xEF\xBB\xBF";
    const std::string plain = bom + "1,2\n3,4\n";
    const Dataset d = parse_csv(Bytes(plain.begin(), plain.end()));
    ASSERT_EQ(d.rows, 2u);  // the mark made the first row a header before
    EXPECT_EQ(d.row(0)[0], 1.0f);
    CsvOptions o;
    o.meta_columns = {"tag"};
    const std::string header = bom + "tag,x\nred,1\n";
    const Dataset m = parse_csv(Bytes(header.begin(), header.end()), o);
    ASSERT_EQ(m.rows, 1u);
    ASSERT_EQ(m.columns.size(), 1u);
    EXPECT_EQ(m.columns[0].texts[0], "red");
}

#if ZEVUD_HAVE_ZLIB
Bytes gzip(const Bytes &raw) {
    Bytes gz(compressBound(uLong(raw.size())) + 64);
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    z.next_in = const_cast<Bytef *>(raw.data());
    z.avail_in = uInt(raw.size());
    z.next_out = gz.data();
    z.avail_out = uInt(gz.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    gz.resize(z.total_out);
    deflateEnd(&z);
    return gz;
}

TEST(CliImportGuard, GzipDeclaredSizesAreCheckedBeforeTheBody) {
    // An IDX header claiming 2^32 - 1 images of 28 x 28 bytes over a body of
    // 4 MiB of zeros: refused at the header, not after inflating the body.
    Bytes raw = {0, 0, 0x08, 3};
    put32be(raw, 0xFFFFFFFFu), put32be(raw, 28), put32be(raw, 28);
    raw.resize(raw.size() + (4u << 20), 0);
    const Bytes gz = gzip(raw);
    try {
        (void)gunzip(gz, uint64_t(1) << 30, Format::idx);
        ADD_FAILURE() << "no fault reported";
    } catch (const ParseError &e) {
        EXPECT_EQ(e.offset, 0u);
        EXPECT_NE(std::string(e.what()).find("header declares"), std::string::npos) << e.what();
    }
    // A header that tells the truth inflates as before, and data past what
    // it declares is cut short as soon as it shows.
    Bytes good = {0, 0, 0x08, 3};
    put32be(good, 2), put32be(good, 2), put32be(good, 2);
    for (uint8_t i = 0; i < 8; ++i) good.push_back(i);
    EXPECT_EQ(gunzip(gzip(good), 1 << 20, Format::idx), good);
    Bytes longer = good;
    longer.resize(longer.size() + (1u << 20), 7);
    EXPECT_THROW(gunzip(gzip(longer), uint64_t(1) << 30, Format::idx), ParseError);
}
#endif

}  // namespace
