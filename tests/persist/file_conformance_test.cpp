// SPDX-License-Identifier: Apache-2.0
// The collection header record as hosts see it, and the statuses of
// collection saves that cannot create their file or fail later.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "persist_test_util.h"
#include "platform/file_os.h"
#include "rk_collection.h"
#include "rk_storage.h"

namespace {

using persist_test::read_bytes;
using persist_test::ScratchDir;
using persist_test::str;

rk_collection_t *filled(uint32_t dim, int n) {
    rk_collection_config_t cfg{};
    cfg.name = str("conf");
    cfg.dimension = dim;
    cfg.index_type = RK_INDEX_HNSW;
    rk_collection_t *c = rk_collection_create(nullptr, &cfg);
    std::vector<float> v(dim);
    for (int i = 0; i < n; ++i) {
        for (uint32_t d = 0; d < dim; ++d) v[d] = 0.31f * float(i) - 0.07f * float(d);
        EXPECT_EQ(rk_collection_insert(c, v.data(), nullptr), RK_OK);
    }
    return c;
}

// Reading a saved file's header through the storage engine fills exactly a
// 192-byte record, its fields where the file has them.
TEST(FileConformance, CollectionHeaderRecordIsTheFileLayout) {
    ScratchDir dir;
    rk_collection_t *c = filled(3, 2);
    const std::string path = dir / "conf.rkcol";
    ASSERT_EQ(rk_collection_save(c, path.c_str()), RK_OK);
    rk_collection_destroy(c);
    const auto bytes = read_bytes(path);
    ASSERT_EQ(bytes.size(), 472u);

    struct {
        rk_storage_collection_header_t record;
        unsigned char guard[16];
    } out;
    std::memset(&out, 0xA5, sizeof out);
    rk_storage_t *s = rk_storage_open(nullptr, path.c_str(), RK_STORAGE_READ_ONLY);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(rk_storage_read_collection_header(s, 192, &out.record), RK_OK);
    EXPECT_EQ(rk_storage_close(s), RK_OK);
    for (unsigned char g : out.guard) ASSERT_EQ(g, 0xA5);  // nothing past the record
    // Byte for byte the file's record, so every field is at its offset.
    EXPECT_EQ(std::memcmp(&out.record, bytes.data() + 192, 192), 0);
    // Packed fields are read by value: a reference could be misaligned.
    const uint64_t data_offset = out.record.data_offset, data_size = out.record.data_size;
    const uint32_t checksum = out.record.checksum, dimension = out.record.dimension, count = out.record.count;
    EXPECT_EQ(data_offset, 384u);
    EXPECT_EQ(data_size, 88u);
    EXPECT_EQ(checksum, persist_test::u32_at(bytes, 192 + 184));
    EXPECT_EQ(dimension, 3u);
    EXPECT_EQ(count, 2u);
}

TEST(FileConformance, SaveThatCannotCreateItsFileIsUnknownLaterFailuresKeepTheirStatus) {
    ScratchDir dir;
    rk_collection_t *c = filled(4, 20);
    EXPECT_EQ(rk_collection_save(c, (dir / "no/such/dir/c.rkcol").c_str()), RK_ERR_UNKNOWN);
    const std::string path = dir / "c.rkcol";
    rk::os::fault_clear();
    rk::os::fault_arm(rk::os::Fault::write, 1);
    EXPECT_EQ(rk_collection_save(c, path.c_str()), RK_ERR_IO);
    rk::os::fault_clear();
    EXPECT_EQ(dir.list(), std::vector<std::string>{});
    EXPECT_EQ(rk_collection_save(c, path.c_str()), RK_OK);
    rk_collection_destroy(c);
}

}  // namespace
