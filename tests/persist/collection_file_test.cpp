// SPDX-License-Identifier: Apache-2.0
// Collection files: exact bytes, round trips, tolerance of damaged files and
// crash-safe replacement under injected faults.
#include "collection/collection_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "persist_test_util.h"
#include "platform/file_os.h"
#include "rk_collection.h"
#include "rk_hash.h"
#include "rk_storage.h"

namespace {

using persist_test::read_bytes;
using persist_test::ScratchDir;
using persist_test::str;
using persist_test::u32_at;
using persist_test::u64_at;
using persist_test::write_bytes;

rk_collection_t *make(const char *name, uint32_t dim, int32_t index_type, uint32_t metric = RK_METRIC_L2) {
    rk_collection_config_t cfg{};
    if (name) cfg.name = str(name);
    cfg.dimension = dim;
    cfg.metric = metric;
    cfg.index_type = index_type;
    return rk_collection_create(nullptr, &cfg);
}

void fill(rk_collection_t *c, uint64_t n, float base) {
    std::vector<float> v(c->dimension);
    for (uint64_t i = 0; i < n; ++i) {
        for (uint32_t d = 0; d < c->dimension; ++d) v[d] = base + float(i) * 0.5f + float(d) * 0.25f;
        ASSERT_EQ(rk_collection_insert(c, v.data(), nullptr), RK_OK);
    }
}

TEST(CollectionFile, TwoRecordsOfDimensionThreeSaveToTheExactBytes) {
    ScratchDir dir;
    rk_collection_t *c = make("pts", 3, RK_INDEX_HNSW, RK_METRIC_COSINE);
    const float a[3] = {1.0f, -2.5f, 3.25f}, b[3] = {0.0f, 1e-3f, -7.0f};
    ASSERT_EQ(rk_collection_insert(c, a, nullptr), RK_OK);
    ASSERT_EQ(rk_collection_insert(c, b, nullptr), RK_OK);
    const std::string path = dir / "pts.rkcol";
    ASSERT_EQ(rk_collection_save(c, path.c_str()), RK_OK);

    const auto f = read_bytes(path);
    ASSERT_EQ(f.size(), 472u);
    // Storage header.
    EXPECT_EQ(std::memcmp(f.data(), "DVKR", 4), 0);
    EXPECT_EQ(u32_at(f, 4), 0x00010000u);
    EXPECT_EQ(u64_at(f, 24), 192u);
    EXPECT_EQ(u64_at(f, 32), 472u);  // every byte written through the storage
    for (size_t i = 40; i < 192; ++i) ASSERT_EQ(f[i], 0) << i;
    // Collection header at 192.
    const size_t h = 192;
    EXPECT_EQ(std::memcmp(&f[h], "OCKR", 4), 0);
    EXPECT_EQ(u32_at(f, h + 4), 0x00010000u);
    EXPECT_EQ(int64_t(u64_at(f, h + 8)), c->created_at);
    EXPECT_EQ(std::memcmp(&f[h + 24], "pts\0\0", 5), 0);
    for (size_t i = 3; i < 64; ++i) ASSERT_EQ(f[h + 24 + i], 0);
    EXPECT_EQ(u32_at(f, h + 88), 3u);
    EXPECT_EQ(u32_at(f, h + 92), uint32_t(RK_METRIC_COSINE));
    EXPECT_EQ(u32_at(f, h + 96), uint32_t(RK_INDEX_HNSW));
    EXPECT_EQ(u32_at(f, h + 100), 2u);
    EXPECT_EQ(u64_at(f, h + 104), 3u);
    const rk::coll::IndexSpec &spec = rk::coll::impl_of(c)->spec;
    EXPECT_EQ(u32_at(f, h + 112), spec.m);
    EXPECT_EQ(u32_at(f, h + 116), spec.ef_construction);
    EXPECT_EQ(u32_at(f, h + 120), spec.ef_search);
    EXPECT_NE(spec.m, 0u);
    EXPECT_EQ(u32_at(f, h + 124), 0u);
    EXPECT_EQ(u32_at(f, h + 128), 0u);
    EXPECT_EQ(u64_at(f, h + 132), 384u);
    EXPECT_EQ(u64_at(f, h + 140), 88u);
    for (size_t i = 148; i < 180; ++i) ASSERT_EQ(f[h + i], 0) << i;
    EXPECT_EQ(u32_at(f, h + 180), 100000000u);
    std::vector<unsigned char> image(f.begin() + h, f.begin() + h + 192);
    std::memset(&image[184], 0, 4);
    EXPECT_EQ(u32_at(f, h + 184), rk_hash_murmur3_32(image.data(), 188, 0));
    EXPECT_EQ(u32_at(f, h + 188), 0u);
    // Records.
    const float *vecs[2] = {a, b};
    for (size_t r = 0; r < 2; ++r) {
        const size_t at = 384 + r * 44;
        EXPECT_EQ(u64_at(f, at), r + 1);
        EXPECT_EQ(u32_at(f, at + 8), 3u);
        for (size_t i = 12; i < 32; ++i) ASSERT_EQ(f[at + i], 0);
        EXPECT_EQ(std::memcmp(&f[at + 32], vecs[r], 12), 0);
    }
    rk_collection_destroy(c);
}

TEST(CollectionFile, RoundTripKeepsEveryPropertyAndMetadata) {
    ScratchDir dir;
    const std::string long_name(70, 'n');
    rk_collection_t *c = make(long_name.c_str(), 5, RK_INDEX_IVF, RK_METRIC_IP);
    fill(c, 40, 1.0f);
    ASSERT_EQ(rk_collection_delete(c, 7), RK_OK);
    ASSERT_EQ(rk_collection_delete(c, 40), RK_OK);  // next_id stays 41
    const char text[] = "caf\xc3\xa9 with\0nul";
    rk_meta_entry_t meta[7] = {};
    meta[0].key = str("i32"), meta[0].type = RK_META_INT32, meta[0].value.i32 = -5;
    meta[1].key = str("i64"), meta[1].type = RK_META_INT64, meta[1].value.i64 = INT64_MIN + 3;
    meta[2].key = str("f32"), meta[2].type = RK_META_FLOAT, meta[2].value.f32 = 0.1f;
    meta[3].key = str("f64"), meta[3].type = RK_META_DOUBLE, meta[3].value.f64 = -1e300;
    meta[4].key = str("s"), meta[4].type = RK_META_STRING,
    meta[4].value.str = rk_string_t{text, sizeof text - 1};
    meta[5].key = rk_string_t{nullptr, 0}, meta[5].type = RK_META_BOOL, meta[5].value.b = 1;
    meta[6].key = str("empty"), meta[6].type = RK_META_STRING, meta[6].value.str = str("");
    ASSERT_EQ(rk_collection_set_meta(c, 3, meta, 7), RK_OK);
    ASSERT_EQ(rk_collection_set_meta(c, 39, meta + 4, 1), RK_OK);
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
    const std::string path = dir / "c.rkcol";
    ASSERT_EQ(rk_collection_save(c, path.c_str()), RK_OK);

    // The header keeps the name's first 63 bytes; the file gives back all.
    const auto f = read_bytes(path);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&f[192 + 24])), long_name.substr(0, 63));

    rk_collection_t *d = rk_collection_load(nullptr, path.c_str());
    ASSERT_NE(d, nullptr);
    persist_test::expect_same_records(c, d);
    EXPECT_STREQ(d->name, long_name.c_str());
    EXPECT_EQ(d->metric, uint32_t(RK_METRIC_IP));
    EXPECT_EQ(d->created_at, c->created_at);
    EXPECT_EQ(d->capacity, 2 * d->count);
    // A built index is dormant again, of the same type.
    EXPECT_EQ(d->index_threshold, 100000000u);
    rk_collection_stats_t st{};
    ASSERT_EQ(rk_collection_get_stats(d, &st), RK_OK);
    EXPECT_EQ(st.index_type, RK_INDEX_IVF);
    // The loaded collection takes new records and builds again.
    fill(d, 3, 9.0f);
    EXPECT_EQ(d->records[d->count - 1].id, 43u);
    EXPECT_EQ(rk_collection_build_index(d), RK_OK);
    rk_collection_destroy(d);
    rk_collection_destroy(c);
}

TEST(CollectionFile, NoIndexNoNameAndEmptyCollections) {
    ScratchDir dir;
    rk_collection_t *c = make(nullptr, 2, RK_INDEX_FLAT);
    const std::string path = dir / "x.rkcol";
    ASSERT_EQ(rk_collection_save(c, path.c_str()), RK_OK);
    EXPECT_EQ(read_bytes(path).size(), 384u);
    EXPECT_EQ(u32_at(read_bytes(path), 192 + 96), 0xFFFFFFFFu);
    rk_collection_t *d = rk_collection_load(nullptr, path.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->name, nullptr);
    EXPECT_EQ(d->index, nullptr);
    EXPECT_EQ(d->count, 0u);
    EXPECT_EQ(d->capacity, 1024u);
    EXPECT_EQ(d->next_id, 1u);
    rk_collection_destroy(d);
    rk_collection_destroy(c);
    EXPECT_EQ(rk_collection_save(nullptr, path.c_str()), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_load(nullptr, nullptr), nullptr);
    EXPECT_EQ(rk_collection_load(nullptr, (dir / "missing").c_str()), nullptr);
}

// Files cut short, with a wrong magic, or with hostile counts and offsets.
TEST(CollectionFile, DamagedFilesLoadWhatIsWholeOrNothing) {
    ScratchDir dir;
    rk_collection_t *c = make("d", 4, RK_INDEX_HNSW);
    fill(c, 5, 0.0f);
    const std::string path = dir / "d.rkcol";
    ASSERT_EQ(rk_collection_save(c, path.c_str()), RK_OK);
    const auto good = read_bytes(path);
    const size_t rec = 32 + 16;

    // Count 5 but the data of only 3 (and a half) records.
    auto cut = good;
    cut.resize(384 + 3 * rec + rec / 2);
    write_bytes(path, cut);
    rk_collection_t *d = rk_collection_load(nullptr, path.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->count, 3u);
    EXPECT_EQ(d->next_id, 6u);
    rk_collection_destroy(d);

    auto bad = good;
    bad[192] ^= 1;
    write_bytes(path, bad);
    EXPECT_EQ(rk_collection_load(nullptr, path.c_str()), nullptr);
    bad = good;
    bad[0] = 'X';
    write_bytes(path, bad);
    EXPECT_EQ(rk_collection_load(nullptr, path.c_str()), nullptr);
    bad = good;
    bad.resize(300);
    write_bytes(path, bad);
    EXPECT_EQ(rk_collection_load(nullptr, path.c_str()), nullptr);

    // Huge count, dimension and offsets: no allocation beyond the file.
    struct Patch {
        size_t at;
        uint64_t value;
        int width;
    };
    const Patch patches[] = {{192 + 100, 0xFFFFFFFFu, 4},
                             {192 + 88, 0xFFFFFFFFu, 4},
                             {192 + 132, ~0ull, 8},
                             {192 + 140, ~0ull, 8},
                             {192 + 132, 200, 8},
                             {192 + 156, 384 + 5 * rec, 8},
                             {192 + 104, 2, 8}};
    for (const Patch &p : patches) {
        bad = good;
        for (int i = 0; i < p.width; ++i) bad[p.at + size_t(i)] = uint8_t(p.value >> (8 * i));
        write_bytes(path, bad);
        rk_collection_t *e = rk_collection_load(nullptr, path.c_str());
        if (e) {
            EXPECT_LE(e->count, 5u);
            EXPECT_GT(e->next_id, e->count ? e->records[e->count - 1].id : 0);
            rk_collection_destroy(e);
        }
    }
    rk_collection_destroy(c);
}

// A file in the fixed format written field by field through the storage
// engine, as other writers of the format do, loads too.
TEST(CollectionFile, FilesWrittenThroughTheStorageEngineLoad) {
    ScratchDir dir;
    const std::string path = dir / "s.rkcol";
    rk_storage_t *s = rk_storage_open(nullptr, path.c_str(), RK_STORAGE_CREATE);
    ASSERT_NE(s, nullptr);
    rk_storage_collection_header_t h{};
    h.magic = RK_STORAGE_COLLECTION_MAGIC;
    h.version = 0x00010000;
    std::memcpy(h.name, "s", 2);
    h.dimension = 2;
    h.index_type = 0xFFFFFFFFu;
    h.count = 2;
    h.next_id = 10;
    h.data_offset = 384;
    h.data_size = 2 * 40;
    uint64_t cursor = 192;
    ASSERT_EQ(rk_storage_write_collection_header(s, &h, &cursor), RK_OK);
    const float v[2][2] = {{1, 2}, {3, 4}};
    for (int r = 0; r < 2; ++r) {
        unsigned char head[32] = {};
        head[0] = uint8_t(4 + r);
        head[8] = 2;
        ASSERT_EQ(rk_storage_write(s, head, 32, &cursor), RK_OK);
        ASSERT_EQ(rk_storage_write_f32_array(s, v[r], 2, &cursor), RK_OK);
    }
    ASSERT_EQ(rk_storage_close(s), RK_OK);
    rk_collection_t *c = rk_collection_load(nullptr, path.c_str());
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(c->count, 2u);
    EXPECT_EQ(c->records[1].id, 5u);
    EXPECT_EQ(c->records[1].vector[1], 4.0f);
    EXPECT_EQ(c->next_id, 10u);
    EXPECT_STREQ(c->name, "s");
    rk_collection_destroy(c);
}

// A failed write, sync or rename is reported, leaves the previous file
// byte for byte and no temporary file behind.
TEST(CollectionFile, InjectedFaultsAreReportedAndLoseNothing) {
    ScratchDir dir;
    rk_collection_t *c = make("f", 8, RK_INDEX_HNSW);
    fill(c, 100, 0.0f);
    const std::string path = dir / "f.rkcol";
    ASSERT_EQ(rk_collection_save(c, path.c_str()), RK_OK);
    const auto before = read_bytes(path);
    fill(c, 10, 5.0f);
    using rk::os::Fault;
    for (Fault kind : {Fault::write, Fault::sync, Fault::rename}) {
        rk::os::fault_clear();
        rk::os::fault_arm(kind, 1);
        EXPECT_EQ(rk_collection_save(c, path.c_str()), RK_ERR_IO) << int(kind);
        rk::os::fault_clear();
        EXPECT_EQ(read_bytes(path), before) << int(kind);
        EXPECT_EQ(dir.list(), std::vector<std::string>{"f.rkcol"}) << int(kind);
    }
    ASSERT_EQ(rk_collection_save(c, path.c_str()), RK_OK);
    rk_collection_t *d = rk_collection_load(nullptr, path.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->count, 110u);
    rk_collection_destroy(d);
    rk_collection_destroy(c);
}

// A built index saved beside the file comes back active only with the token
// of that very save.
TEST(CollectionFile, IndexFileIsBoundToItsSave) {
    ScratchDir dir;
    rk_collection_t *c = make("h", 8, RK_INDEX_HNSW);
    fill(c, 200, 0.0f);
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
    const std::string file = dir / "h.rkcol", index = dir / "h.rkidx";
    rk::coll::FileOptions opt;
    opt.index_path = index.c_str();
    ASSERT_EQ(rk::coll::save_file(c, file.c_str(), opt), RK_OK);
    rk_collection_t *d = rk::coll::load_file(nullptr, file.c_str(), opt);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->index_threshold, 0u);
    ASSERT_NE(d->index, nullptr);
    std::vector<float> q(8, 3.0f);
    rk_search_result_t r1[10], r2[10];
    rk_search_params_t p{};
    p.k = 10;
    ASSERT_EQ(rk_collection_search(c, q.data(), &p, r1), 10u);
    ASSERT_EQ(rk_collection_search(d, q.data(), &p, r2), 10u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(r1[i].id, r2[i].id);
    rk_collection_destroy(d);

    // An index file from another save is not taken.
    auto idx = read_bytes(index);
    idx[idx.size() - 16] ^= 0xFF;
    write_bytes(index, idx);
    d = rk::coll::load_file(nullptr, file.c_str(), opt);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->index_threshold, 100000000u);
    rk_collection_destroy(d);
    // Without options the file loads exactly as a plain collection file.
    d = rk_collection_load(nullptr, file.c_str());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->index_threshold, 100000000u);
    rk_collection_destroy(d);
    rk_collection_destroy(c);
}

// Every index type with a file format comes back active and answers alike.
TEST(CollectionFile, EveryIndexTypeIsRestored) {
    ScratchDir dir;
    for (int32_t type : {RK_INDEX_IVF, RK_INDEX_HNSW, RK_INDEX_IVF_SQ, RK_INDEX_HNSW_SQ}) {
        rk_collection_t *c = make("t", 8, type);
        fill(c, 300, 0.0f);
        if (rk_collection_build_index(c) != RK_OK) {
            rk_collection_destroy(c);
            continue;  // a type this collection cannot build is not saved either
        }
        const std::string file = dir / "t.rkcol", index = dir / "t.rkidx";
        rk::coll::FileOptions opt;
        opt.index_path = index.c_str();
        ASSERT_EQ(rk::coll::save_file(c, file.c_str(), opt), RK_OK) << type;
        rk_collection_t *d = rk::coll::load_file(nullptr, file.c_str(), opt);
        ASSERT_NE(d, nullptr) << type;
        EXPECT_EQ(d->index_threshold, 0u) << type;
        std::vector<float> q(8, 40.0f);
        rk_search_result_t r1[10], r2[10];
        rk_search_params_t p{};
        p.k = 10;
        const uint64_t n1 = rk_collection_search(c, q.data(), &p, r1);
        ASSERT_EQ(rk_collection_search(d, q.data(), &p, r2), n1) << type;
        for (uint64_t i = 0; i < n1; ++i) EXPECT_EQ(r1[i].id, r2[i].id) << type;
        rk_collection_destroy(d);
        rk_collection_destroy(c);
    }
}

}  // namespace
