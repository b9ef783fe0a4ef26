// SPDX-License-Identifier: Apache-2.0
// Damaged collection and index files: a file that fails a check is refused
// with RK_ERR_FILE_CORRUPTED instead of loading fewer records or records
// without their metadata; a damaged index file is dropped and the records
// answer instead.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "collection/collection_file.h"
#include "persist_test_util.h"
#include "rk_collection.h"
#include "rk_hash.h"

namespace {

using persist_test::read_bytes;
using persist_test::ScratchDir;
using persist_test::str;
using persist_test::u64_at;
using persist_test::write_bytes;

constexpr size_t kHead = 192;  // the collection header record starts here
constexpr size_t kData = 384;

rk_collection_t *make_filled(uint32_t dim, uint64_t n, bool with_meta) {
    rk_collection_config_t cfg{};
    cfg.name = str("d");
    cfg.dimension = dim;
    cfg.index_type = RK_INDEX_HNSW;
    rk_collection_t *c = rk_collection_create(nullptr, &cfg);
    std::vector<float> v(dim);
    for (uint64_t i = 0; i < n; ++i) {
        for (uint32_t d = 0; d < dim; ++d) v[d] = 0.37f * float(i) + 0.11f * float(d) + 0.013f;
        uint64_t id = 0;
        EXPECT_EQ(rk_collection_insert(c, v.data(), &id), RK_OK);
        if (with_meta) {
            rk_meta_entry_t e{};
            e.key = str("tag");
            e.type = RK_META_INT64;
            e.value.i64 = int64_t(i * 7);
            EXPECT_EQ(rk_collection_set_meta(c, id, &e, 1), RK_OK);
        }
    }
    return c;
}

// Seals a patched header again, as a writer that meant the patch would.
void reseal(std::vector<unsigned char> *b) {
    for (int i = 0; i < 4; ++i) (*b)[kHead + 184 + size_t(i)] = 0;
    const uint32_t sum = rk_hash_murmur3_32(b->data() + kHead, 188, 0);
    for (int i = 0; i < 4; ++i) (*b)[kHead + 184 + size_t(i)] = uint8_t(sum >> (8 * i));
}

rk_status_t load_whole(const std::string &path, const char *index = nullptr, rk_collection_t **out = nullptr) {
    rk::coll::FileOptions opt;
    opt.whole = true;
    opt.index_path = index;
    rk_collection_t *c = nullptr;
    const rk_status_t st = rk::coll::load_file_ex(nullptr, path.c_str(), opt, &c);
    if (out)
        *out = c;
    else
        rk_collection_destroy(c);
    return st;
}

rk_status_t save_as_database(rk_collection_t *c, const std::string &file, const std::string &index) {
    rk::coll::FileOptions opt;
    opt.index_path = index.c_str();
    return rk::coll::save_file(c, file.c_str(), opt);
}

// The header, the records and the extension block each refuse damage.
TEST(CollectionDamage, HeaderRecordsAndBlockAreChecked) {
    ScratchDir dir;
    rk_collection_t *c = make_filled(4, 30, true);
    const std::string path = dir / "d.rkcol", index = dir / "d.rkidx";
    ASSERT_EQ(save_as_database(c, path, index), RK_OK);
    const auto good = read_bytes(path);
    ASSERT_EQ(load_whole(path), RK_OK);
    const size_t rec = 32 + 16;

    // A flipped bit in the header's next_id: the checksum no longer holds.
    auto bad = good;
    bad[kHead + 104] ^= 0x10;
    write_bytes(path, bad);
    EXPECT_EQ(load_whole(path), RK_ERR_FILE_CORRUPTED);
    EXPECT_EQ(rk_collection_load(nullptr, path.c_str()), nullptr);

    // A flipped byte in a record id: the ids stop rising. Loading 0..k
    // records and dropping the rest silently is what this refuses.
    bad = good;
    bad[kData + 10 * rec + 1] ^= 0x01;
    write_bytes(path, bad);
    EXPECT_EQ(load_whole(path), RK_ERR_FILE_CORRUPTED);
    EXPECT_EQ(rk_collection_load(nullptr, path.c_str()), nullptr);

    // A flipped bit in a vector: only the record sum can tell.
    bad = good;
    bad[kData + 3 * rec + 32 + 5] ^= 0x04;
    write_bytes(path, bad);
    EXPECT_EQ(load_whole(path), RK_ERR_FILE_CORRUPTED);
    EXPECT_EQ(rk_collection_load(nullptr, path.c_str()), nullptr);

    // A flipped bit in the metadata block: refused, not loaded bare.
    bad = good;
    bad[good.size() - 20] ^= 0x02;
    write_bytes(path, bad);
    EXPECT_EQ(load_whole(path), RK_ERR_FILE_CORRUPTED);
    EXPECT_EQ(rk_collection_load(nullptr, path.c_str()), nullptr);

    // A count that disagrees with the data size, header sealed again.
    bad = good;
    bad[kHead + 100] = 31;
    reseal(&bad);
    write_bytes(path, bad);
    EXPECT_EQ(load_whole(path), RK_ERR_FILE_CORRUPTED);

    // A cut file: refused whole; a plain load keeps the whole records.
    bad = good;
    bad.resize(kData + 20 * rec + 7);
    write_bytes(path, bad);
    EXPECT_EQ(load_whole(path), RK_ERR_FILE_CORRUPTED);
    rk_collection_t *d = rk_collection_load(nullptr, path.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->count, 20u);
    rk_collection_destroy(d);

    // The undamaged file gives back every record with its metadata.
    write_bytes(path, good);
    ASSERT_EQ(load_whole(path, nullptr, &d), RK_OK);
    persist_test::expect_same_records(c, d);
    rk_collection_destroy(d);
    rk_collection_destroy(c);
}

// A plain save without anything for the block writes the fixed bytes only,
// and such files (no sums) load as before.
TEST(CollectionDamage, FilesWithoutTheBlockLoadAsBefore) {
    ScratchDir dir;
    rk_collection_t *c = make_filled(3, 2, false);
    const std::string path = dir / "p.rkcol";
    ASSERT_EQ(rk_collection_save(c, path.c_str()), RK_OK);
    auto bytes = read_bytes(path);
    ASSERT_EQ(bytes.size(), 472u);
    bytes[kData + 32 + 2] ^= 0x01;  // a vector byte: nothing can tell
    write_bytes(path, bytes);
    rk_collection_t *d = nullptr;
    ASSERT_EQ(load_whole(path, nullptr, &d), RK_OK);
    EXPECT_EQ(d->count, 2u);
    rk_collection_destroy(d);
    rk_collection_destroy(c);
}

// Lists and dimension each within their bounds may still ask for a centroid
// table of gigabytes: a small file cannot justify it, so its settings fall
// back to the type's defaults instead of claiming the memory (the fuzz target
// found a 712-byte file asking for 12.8 GB).
TEST(CollectionDamage, IndexSettingsCannotClaimMemoryTheFileDoesNotJustify) {
    ScratchDir dir;
    constexpr uint32_t kDim = 49152;
    rk_collection_config_t cfg{};
    cfg.name = str("w");
    cfg.dimension = kDim;
    cfg.index_type = RK_INDEX_IVF;
    rk_collection_t *c = rk_collection_create(nullptr, &cfg);
    ASSERT_NE(c, nullptr);
    std::vector<float> v(kDim, 0.5f);
    uint64_t id = 0;
    ASSERT_EQ(rk_collection_insert(c, v.data(), &id), RK_OK);
    const std::string path = dir / "w.rkcol";
    ASSERT_EQ(rk_collection_save(c, path.c_str()), RK_OK);
    rk_collection_destroy(c);

    auto bytes = read_bytes(path);
    // Without the extension block the header's settings are the ones used.
    bytes.resize(kData + 32 + 4 * size_t(kDim));
    for (uint32_t lists : {65536u, 1024u}) {
        for (int i = 0; i < 4; ++i) bytes[kHead + 124 + size_t(i)] = uint8_t(lists >> (8 * i));
        reseal(&bytes);
        write_bytes(path, bytes);
        rk_collection_t *d = rk_collection_load(nullptr, path.c_str());
        ASSERT_NE(d, nullptr) << lists;
        uint32_t nlist = 0;
        ASSERT_EQ(rk_collection_get_nlist(d, &nlist), RK_OK);
        // 1,024 lists (192 MB of centroids) are within the floor and kept.
        if (lists == 65536u)
            EXPECT_NE(nlist, lists);
        else
            EXPECT_EQ(nlist, lists);
        EXPECT_EQ(d->count, 1u);
        rk_collection_destroy(d);
    }
}

// A damaged index file is dropped: the collection loads with a dormant
// index and answers exactly, by its records.
TEST(CollectionDamage, DamagedIndexFileIsDropped) {
    ScratchDir dir;
    rk_collection_t *c = make_filled(8, 300, false);
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
    const std::string path = dir / "i.rkcol", index = dir / "i.rkidx";
    ASSERT_EQ(save_as_database(c, path, index), RK_OK);
    rk_collection_t *d = nullptr;
    ASSERT_EQ(load_whole(path, index.c_str(), &d), RK_OK);
    EXPECT_EQ(d->index_threshold, 0u);
    rk_collection_destroy(d);

    // A flipped byte among the neighbour lists, trailer intact.
    auto idx = read_bytes(index);
    idx[idx.size() / 2] ^= 0x40;
    write_bytes(index, idx);
    ASSERT_EQ(load_whole(path, index.c_str(), &d), RK_OK);
    EXPECT_EQ(d->index_threshold, 100000000u);
    std::vector<float> q(8, 11.0f);
    rk_search_params_t p{};
    p.k = 10;
    rk_search_result_t got[10];
    ASSERT_EQ(rk_collection_search(d, q.data(), &p, got), 10u);
    // The exhaustive answer: the ten nearest by brute force.
    std::vector<std::pair<float, uint64_t>> all;
    for (uint64_t i = 0; i < c->count; ++i) {
        float s = 0;
        for (int k = 0; k < 8; ++k) {
            const float t = c->records[i].vector[k] - q[size_t(k)];
            s += t * t;
        }
        all.emplace_back(s, c->records[i].id);
    }
    std::sort(all.begin(), all.end());
    for (int i = 0; i < 10; ++i) EXPECT_EQ(got[i].id, all[size_t(i)].second) << i;
    rk_collection_destroy(d);
    rk_collection_destroy(c);
}

}  // namespace
