// SPDX-License-Identifier: Apache-2.0
// Data-file readers: well-formed files of every format, and the faults a
// broken or hostile file must be reported with (at the right byte offset,
// before any allocation the file cannot back).
#include <gtest/gtest.h>
#if ZEVUD_HAVE_ZLIB
#include <zlib.h>
#endif

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "dataset.h"

namespace zcli {
namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes &b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void put32be(Bytes &b, uint32_t v) {
    for (int i = 3; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
}
void putf(Bytes &b, float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    put32(b, u);
}
Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }

uint64_t fault_offset(Format f, const Bytes &b, const CsvOptions &o = {}) {
    try {
        parse_buffer(f, b, o);
    } catch (const ParseError &e) {
        return e.offset;
    }
    ADD_FAILURE() << "no fault reported";
    return ~0ull;
}

Bytes fvecs(uint32_t rows, uint32_t dim) {
    Bytes b;
    for (uint32_t r = 0; r < rows; ++r) {
        put32(b, dim);
        for (uint32_t j = 0; j < dim; ++j) putf(b, float(r * 10 + j));
    }
    return b;
}

TEST(CliVecs, ReadsRowsAndRejectsRaggedOrTruncatedRows) {
    const Dataset d = parse_fvecs(fvecs(3, 4));
    ASSERT_EQ(d.rows, 3u);
    ASSERT_EQ(d.dim, 4u);
    EXPECT_EQ(d.row(2)[3], 23.0f);

    Bytes ragged = fvecs(3, 4);
    ragged[20] = 5;  // second row claims dimension 5
    EXPECT_EQ(fault_offset(Format::fvecs, ragged), 20u);
    Bytes cut = fvecs(3, 4);
    cut.pop_back();
    EXPECT_EQ(fault_offset(Format::fvecs, cut), 40u);  // the third row starts there
    EXPECT_EQ(fault_offset(Format::fvecs, {}), 0u);
    Bytes negative;
    put32(negative, 0xFFFFFFFFu);
    EXPECT_EQ(fault_offset(Format::fvecs, negative), 0u);
    // A huge dimension must be refused, not allocated.
    Bytes huge;
    put32(huge, 0x7FFFFFFFu);
    EXPECT_EQ(fault_offset(Format::fvecs, huge), 0u);
}

TEST(CliVecs, BvecsWidensBytes) {
    Bytes b;
    put32(b, 3);
    b.insert(b.end(), {0, 128, 255});
    const Dataset d = parse_bvecs(b);
    ASSERT_EQ(d.rows, 1u);
    EXPECT_EQ(d.row(0)[1], 128.0f);
    EXPECT_EQ(d.row(0)[2], 255.0f);
}

Bytes npy(const std::string &dict, uint32_t floats, uint8_t version = 1) {
    Bytes b = {0x93, 'N', 'U', 'M', 'P', 'Y', version, 0};
    std::string h = dict;
    const size_t pre = version == 1 ? 10 : 12;
    while ((pre + h.size() + 1) % 64) h += ' ';
    h += '\n';
    if (version == 1)
        b.insert(b.end(), {uint8_t(h.size()), uint8_t(h.size() >> 8)});
    else
        put32(b, uint32_t(h.size()));
    b.insert(b.end(), h.begin(), h.end());
    for (uint32_t i = 0; i < floats; ++i) putf(b, float(i) * 0.5f);
    return b;
}

TEST(CliNpy, ReadsFloat32MatricesOfBothHeaderVersions) {
    for (uint8_t v : {1, 2}) {
        const Dataset d = parse_npy(npy("{'descr': '<f4', 'fortran_order': False, 'shape': (3, 2), }", 6, v));
        ASSERT_EQ(d.rows, 3u);
        ASSERT_EQ(d.dim, 2u);
        EXPECT_EQ(d.row(2)[1], 2.5f);
    }
}

TEST(CliNpy, RefusesOtherLayoutsAndShapesTheDataCannotFill) {
    const char *bad[] = {
        "{'descr': '<f8', 'fortran_order': False, 'shape': (3, 2), }",
        "{'descr': '>f4', 'fortran_order': False, 'shape': (3, 2), }",
        "{'descr': '<f4', 'fortran_order': True, 'shape': (3, 2), }",
        "{'descr': '<f4', 'fortran_order': False, 'shape': (6,), }",
        "{'descr': '<f4', 'fortran_order': False, 'shape': (4, 2), }",
        "{'descr': '<f4', 'fortran_order': False, 'shape': (99999999999999, 99999999999), }",
        "{'descr': '<f4', 'fortran_order': False, 'shape': (3, 2)",
        "{'descr': '<f4', 'shape': (3, 2), }",
    };
    for (const char *h : bad) EXPECT_NE(fault_offset(Format::npy, npy(h, 6)), ~0ull) << h;
    EXPECT_EQ(fault_offset(Format::npy, text("PK\x03\x04 not numpy")), 0u);
    // A header length past the end of the file.
    Bytes b = npy("{'descr': '<f4', 'fortran_order': False, 'shape': (3, 2), }", 6);
    b[8] = 0xFF;
    b[9] = 0xFF;
    EXPECT_EQ(fault_offset(Format::npy, b), 10u);
}

Bytes idx_images(uint32_t n, uint32_t h, uint32_t w) {
    Bytes b = {0, 0, 0x08, 3};
    put32be(b, n);
    put32be(b, h);
    put32be(b, w);
    for (uint32_t i = 0; i < n * h * w; ++i) b.push_back(uint8_t(i));
    return b;
}

TEST(CliIdx, FlattensImagesAndChecksTheDeclaredCount) {
    const Dataset d = parse_idx(idx_images(2, 3, 4));
    ASSERT_EQ(d.rows, 2u);
    ASSERT_EQ(d.dim, 12u);
    EXPECT_EQ(d.row(1)[0], 12.0f);

    Bytes lying = idx_images(2, 3, 4);
    lying[7] = 3;  // claims three images
    EXPECT_EQ(fault_offset(Format::idx, lying), lying.size());
    Bytes type = idx_images(1, 1, 1);
    type[2] = 0x07;
    EXPECT_EQ(fault_offset(Format::idx, type), 2u);
    Bytes floats = {0, 0, 0x0D, 2};
    put32be(floats, 1);
    put32be(floats, 1);
    put32be(floats, 0x40490FDBu);  // pi, big-endian
    EXPECT_FLOAT_EQ(parse_idx(floats).row(0)[0], 3.14159265f);
    Bytes huge = {0, 0, 0x08, 3};
    put32be(huge, 0xFFFFFFFFu);
    put32be(huge, 0xFFFFFFFFu);
    put32be(huge, 0xFFFFFFFFu);
    EXPECT_NE(fault_offset(Format::idx, huge), ~0ull);
}

TEST(CliCsv, HeaderMetadataAndQuoting) {
    CsvOptions o;
    o.meta_columns = {"category", "price", "fresh"};
    const Dataset d = parse_csv(text("x,y,category,price,fresh\n"
                                     "1,2,shoes,9.5,true\r\n"
                                     "\n"
                                     "3,4,\"big, \"\"red\"\" hats\",12,false\n"),
                                o);
    ASSERT_EQ(d.rows, 2u);
    ASSERT_EQ(d.dim, 2u);
    EXPECT_EQ(d.row(1)[0], 3.0f);
    ASSERT_EQ(d.columns.size(), 3u);
    EXPECT_EQ(d.columns[0].type, ColumnType::text);
    EXPECT_EQ(d.columns[0].texts[1], "big, \"red\" hats");
    EXPECT_EQ(d.columns[1].type, ColumnType::number);
    EXPECT_EQ(d.columns[1].numbers[0], 9.5);
    EXPECT_EQ(d.columns[2].type, ColumnType::boolean);
    EXPECT_EQ(d.columns[2].numbers[0], 1.0);

    const Dataset plain = parse_csv(text("1, 2 ,3\n4,5,6"));
    EXPECT_EQ(plain.rows, 2u);
    EXPECT_EQ(plain.dim, 3u);
}

TEST(CliCsv, FaultsPointAtTheField) {
    EXPECT_EQ(fault_offset(Format::csv, text("1,2\n3,x4\n")), 6u);
    EXPECT_EQ(fault_offset(Format::csv, text("1,2\n3,4,5\n")), 4u);
    EXPECT_EQ(fault_offset(Format::csv, text("1,2\n\"3,4\n")), 4u);
    EXPECT_EQ(fault_offset(Format::csv, text("1,2\n1,nan\n")), 6u);
    EXPECT_EQ(fault_offset(Format::csv, text("1,1e39\n")), 2u);
    EXPECT_EQ(fault_offset(Format::csv, text("")), 0u);
    CsvOptions o;
    o.meta_columns = {"nope"};
    EXPECT_EQ(fault_offset(Format::csv, text("a,b\n1,2\n"), o), 0u);
    EXPECT_EQ(fault_offset(Format::csv, text("1,2\n"), o), 0u);
}

TEST(CliFormats, NamesAndExtensions) {
    EXPECT_EQ(format_from_path("/x/sift_base.fvecs"), Format::fvecs);
    EXPECT_EQ(format_from_path("a.npy"), Format::npy);
    EXPECT_EQ(format_from_path("/d/mnist-t10k-images-idx3-ubyte.gz"), Format::idx);
    EXPECT_EQ(format_from_path("data.csv.gz"), Format::csv);
    EXPECT_FALSE(format_from_path("notes.txt").has_value());
    EXPECT_EQ(format_from_name("bvecs"), Format::bvecs);
}

#if ZEVUD_HAVE_ZLIB
TEST(CliGzip, InflatesAndRefusesDamageOrExcess) {
    const Bytes raw = idx_images(3, 2, 2);
    Bytes gz(raw.size() + 64);
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    z.next_in = const_cast<Bytef *>(raw.data());
    z.avail_in = uInt(raw.size());
    z.next_out = gz.data();
    z.avail_out = uInt(gz.size());
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    gz.resize(z.total_out);
    deflateEnd(&z);
    ASSERT_TRUE(is_gzip(gz));
    EXPECT_EQ(gunzip(gz, 1 << 20), raw);
    EXPECT_THROW(gunzip(gz, raw.size() - 1), ParseError);
    Bytes cut(gz.begin(), gz.begin() + long(gz.size() / 2));
    EXPECT_THROW(gunzip(cut, 1 << 20), ParseError);

    // Through a file: the message names the file and the offset.
    const std::string path = testing::TempDir() + "cli_dataset_test.idx.gz";
    Bytes lying = raw;
    lying[7] = 9;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(lying.data()), long(lying.size()));
    try {
        load_dataset(path, Format::idx);
        ADD_FAILURE();
    } catch (const DataError &e) {
        EXPECT_NE(std::string(e.what()).find(path + ": byte " + std::to_string(lying.size())),
                  std::string::npos)
            << e.what();
    }
    std::remove(path.c_str());
}

#endif

TEST(CliMnist, SharedFileLoadsWhenPresent) {
    const char *path = "/work/shared/data/mnist-t10k-images-idx3-ubyte.gz";
    if (!std::ifstream(path)) GTEST_SKIP() << "MNIST not present";
#if defined(_WIN32) && !ZEVUD_HAVE_ZLIB
    GTEST_SKIP() << "gzip files need zlib here (no gzip program to fall back on)";
#endif
    const Dataset d = load_dataset(path, Format::idx);
    EXPECT_EQ(d.rows, 10000u);
    EXPECT_EQ(d.dim, 784u);
}

}  // namespace
}  // namespace zcli
