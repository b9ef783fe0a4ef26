// SPDX-License-Identifier: Apache-2.0
// Index files: exact round trips for every type, the documented layout,
// write failures, and hostile or truncated input.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "index/index.h"
#include "platform/file_os.h"
#include "rk_error.h"
#include "rk_index.h"
#include "rk_memory.h"
#include "rk_platform.h"
#include "support/posix_compat.h"

namespace {

constexpr uint32_t kDim = 8;

rk_index_config_t config_for(uint32_t type, uint32_t metric = RK_METRIC_L2) {
    rk_index_config_t c;
    std::memset(&c, 0, sizeof c);
    c.type = type;
    c.metric = metric;
    c.dimension = kDim;
    if (type % 2 == 1) {
        c.params.ivf.nlist = 4;
        c.params.ivf.nprobe = 2;
        c.params.ivf.train_iterations = 4;
    } else {
        c.params.hnsw.m = 4;
        c.params.hnsw.ef_construction = 16;
        c.params.hnsw.ef_search = 8;
    }
    if (type == RK_INDEX_IVF_PQ || type == RK_INDEX_HNSW_PQ) {
        c.pq_m = 4;
        c.pq_nbits = 4;
    }
    return c;
}

std::vector<float> random_rows(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-2.0f, 2.0f);
    std::vector<float> v(n * kDim);
    for (float &x : v) x = dist(gen);
    return v;
}

class IndexFile : public ::testing::Test {
protected:
    void SetUp() override {
        // Memory-backed when there is one: the truncation sweeps rewrite
        // files thousands of times.
        const bool shm = access("/dev/shm", W_OK) == 0;
        std::string base = shm ? "/dev/shm/rk_index_file_XXXXXX" : "/tmp/rk_index_file_XXXXXX";
        std::vector<char> tmpl(base.begin(), base.end());
        tmpl.push_back('\0');
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl.data();
        ASSERT_EQ(rk_arena_create(0, &arena_), RK_OK);
    }
    void TearDown() override {
        for (const std::string &f : files_) std::remove(f.c_str());
        rmdir(dir_.c_str());
        rk_arena_destroy(arena_);
        rk::os::fault_clear();
    }
    std::string path(const char *name) {
        files_.push_back(dir_ + "/" + name);
        return files_.back();
    }
    static rk_string_t str(const std::string &s) { return rk_string_t{s.c_str(), s.size()}; }
    static std::vector<unsigned char> bytes_of(const std::string &p) {
        std::ifstream f(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    }
    static void write_bytes(const std::string &p, const std::vector<unsigned char> &b) {
        std::ofstream f(p, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    rk_index_t *load(const std::string &p) {
        const rk_string_t s = str(p);
        return rk_index_load(arena_, &s);
    }

    std::string dir_;
    std::vector<std::string> files_;
    rk_arena_t *arena_ = nullptr;
};

// A filled index (type 6 holds no vectors) with the generator pinned.
rk_index_t *filled(uint32_t type, size_t n, uint32_t metric = RK_METRIC_L2) {
    rk_srand(11);
    const rk_index_config_t c = config_for(type, metric);
    rk_index_t *ix = rk_index_create(nullptr, &c);
    if (!ix) return nullptr;
    const std::vector<float> rows = random_rows(n, 21);
    EXPECT_EQ(rk_index_train(ix, rows.data(), n), RK_OK);
    std::vector<uint64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = i + 1;
    if (type != RK_INDEX_HNSW_SQ) {
        EXPECT_EQ(rk_index_add_batch(ix, ids.data(), rows.data(), n), RK_OK);
    }
    return ix;
}

// Every query's hits, as (id, distance bits) pairs.
std::vector<std::pair<uint64_t, uint32_t>> answers(rk_index_t *ix, const std::vector<float> &queries) {
    std::vector<std::pair<uint64_t, uint32_t>> out;
    for (size_t q = 0; q < queries.size() / kDim; ++q) {
        rk_index_result_t r[10];
        const uint64_t n = rk_index_search(ix, queries.data() + q * kDim, 10, r);
        out.push_back({n, 0});
        for (uint64_t i = 0; i < n; ++i) {
            uint32_t bits;
            std::memcpy(&bits, &r[i].distance, 4);
            out.push_back({r[i].id, bits});
        }
    }
    return out;
}

uint32_t u32_at(const std::vector<unsigned char> &b, size_t off) {
    uint32_t v;
    std::memcpy(&v, b.data() + off, 4);
    return v;
}
void put_u32(std::vector<unsigned char> &b, size_t off, uint32_t v) { std::memcpy(b.data() + off, &v, 4); }
void put_u64(std::vector<unsigned char> &b, size_t off, uint64_t v) { std::memcpy(b.data() + off, &v, 8); }

TEST_F(IndexFile, EveryTypeAndMetricLoadsBackAnsweringExactlyAsBefore) {
    const std::vector<float> queries = random_rows(12, 31);
    for (uint32_t type = 1; type <= 6; ++type) {
        for (uint32_t metric : {0u, 1u, 2u}) {
            SCOPED_TRACE(testing::Message() << "type " << type << " metric " << metric);
            rk_index_t *ix = filled(type, 300, metric);
            ASSERT_NE(ix, nullptr);
            const std::string p = path("roundtrip.idx");
            const rk_string_t s = str(p);
            ASSERT_EQ(rk_index_save(ix, &s), RK_OK);
            rk_index_t *back = rk_index_load(arena_, &s);
            ASSERT_NE(back, nullptr);
            EXPECT_EQ(rk_index_get_type(back), type);
            EXPECT_EQ(rk_index_get_dim(back), kDim);
            EXPECT_EQ(rk_index_get_ntotal(back), rk_index_get_ntotal(ix));
            EXPECT_EQ(rk_index_is_trained(back), rk_index_is_trained(ix));
            EXPECT_EQ(rk_index_get_memory_usage(back), rk_index_get_memory_usage(ix));
            const auto before = answers(ix, queries);
            EXPECT_EQ(answers(back, queries), before);
            if (type != RK_INDEX_HNSW_SQ) {
                EXPECT_GT(before.size(), 12u);
            }
            // Saving the loaded index gives the same bytes.
            const std::string p2 = path("again.idx");
            const rk_string_t s2 = str(p2);
            ASSERT_EQ(rk_index_save(back, &s2), RK_OK);
            EXPECT_EQ(bytes_of(p2), bytes_of(p));
            rk_index_destroy(back);
            rk_index_destroy(ix);
        }
    }
}

// Adds after a reload encode and link exactly as they would have in the
// original, quantisers included (a 4-bit product quantiser stays 4-bit).
TEST_F(IndexFile, LoadedIndexKeepsGrowingAsTheOriginalWould) {
    const std::vector<float> more = random_rows(40, 41);
    const std::vector<float> queries = random_rows(6, 42);
    for (uint32_t type : {1u, 2u, 3u, 4u, 5u}) {
        SCOPED_TRACE(type);
        rk_index_t *ix = filled(type, 100);
        ASSERT_NE(ix, nullptr);
        const std::string p = path("grow.idx");
        const rk_string_t s = str(p);
        ASSERT_EQ(rk_index_save(ix, &s), RK_OK);
        rk_index_t *back = rk_index_load(arena_, &s);
        ASSERT_NE(back, nullptr);
        for (size_t i = 0; i < 40; ++i) {
            rk_srand(500 + i);
            ASSERT_EQ(rk_index_add(ix, 1000 + i, more.data() + i * kDim), RK_OK);
            rk_srand(500 + i);
            ASSERT_EQ(rk_index_add(back, 1000 + i, more.data() + i * kDim), RK_OK);
        }
        EXPECT_EQ(answers(back, queries), answers(ix, queries));
        rk_index_destroy(back);
        rk_index_destroy(ix);
    }
}

TEST_F(IndexFile, EmptyIndexesHaveTheDocumentedSizeAndHeaders) {
    rk_index_config_t ivf = config_for(RK_INDEX_IVF);
    ivf.dimension = 4;
    ivf.params.ivf.nlist = 2;
    rk_index_t *a = rk_index_create(nullptr, &ivf);
    const std::string pa = path("ivf.idx");
    const rk_string_t sa = str(pa);
    ASSERT_EQ(rk_index_save(a, &sa), RK_OK);
    const auto b = bytes_of(pa);
    ASSERT_EQ(b.size(), 29u + 32u + 8u);
    EXPECT_EQ(u32_at(b, 0), 1u);
    EXPECT_EQ(u32_at(b, 4), 4u);
    EXPECT_EQ(u32_at(b, 8), 2u);
    EXPECT_EQ(u32_at(b, 12), 0u);  // metric: L2 files keep a zero here
    EXPECT_EQ(b[16], 0u);
    EXPECT_EQ(u32_at(b, 17), 2u);
    rk_index_destroy(a);

    const rk_index_config_t hnsw = config_for(RK_INDEX_HNSW, RK_METRIC_IP);
    rk_index_t *h = rk_index_create(nullptr, &hnsw);
    const std::string ph = path("hnsw.idx");
    const rk_string_t sh = str(ph);
    ASSERT_EQ(rk_index_save(h, &sh), RK_OK);
    const auto c = bytes_of(ph);
    ASSERT_EQ(c.size(), 64u);
    EXPECT_EQ(u32_at(c, 8), 1u);  // the metric
    uint64_t nodes, capacity;
    int64_t entry;
    std::memcpy(&nodes, c.data() + 12, 8);
    std::memcpy(&capacity, c.data() + 20, 8);
    std::memcpy(&entry, c.data() + 32, 8);
    EXPECT_EQ(nodes, 0u);
    EXPECT_EQ(capacity, 4096u);
    EXPECT_EQ(entry, -1);
    rk_index_t *back = load(ph);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(rk_index_get_ntotal(back), 0u);
    rk_index_destroy(back);
    rk_index_destroy(h);
}

TEST_F(IndexFile, SaveReportsArgumentAndWriteFailures) {
    rk_index_t *ix = filled(RK_INDEX_HNSW, 200);
    const std::string p = path("fail.idx");
    const rk_string_t s = str(p);
    const rk_string_t no_data = {nullptr, 0};
    EXPECT_EQ(rk_index_save(nullptr, &s), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_index_save(ix, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_index_save(ix, &no_data), RK_ERR_INVALID_ARG);
    const std::string missing = dir_ + "/no/such/dir/x.idx";
    const rk_string_t sm = str(missing);
    EXPECT_EQ(rk_index_save(ix, &sm), RK_ERR_IO);
    // The first and a later write fail: both are I/O errors.
    rk_index_t *big = filled(RK_INDEX_HNSW, 1000);  // beyond one write buffer
    for (uint64_t nth : {1u, 2u}) {
        rk::os::fault_arm(rk::os::Fault::write, nth);
        EXPECT_EQ(rk_index_save(big, &s), RK_ERR_IO) << nth;
        rk::os::fault_clear();
    }
    rk_index_destroy(big);
    ASSERT_EQ(rk_index_save(ix, &s), RK_OK);
    // A record whose type the writer does not know leaves just its type word.
    const uint32_t type = ix->type;
    ix->type = 9;
    EXPECT_EQ(rk_index_save(ix, &s), RK_ERR_NOT_SUPPORTED);
    EXPECT_EQ(bytes_of(p).size(), 4u);
    ix->type = type;
    rk_index_destroy(ix);
}

TEST_F(IndexFile, LoadRefusesMissingArgumentsFilesAndHeaders) {
    rk_index_t *ix = filled(RK_INDEX_IVF, 50);
    const std::string p = path("hdr.idx");
    const rk_string_t s = str(p);
    ASSERT_EQ(rk_index_save(ix, &s), RK_OK);
    rk_index_destroy(ix);
    const auto good = bytes_of(p);
    EXPECT_EQ(rk_index_load(nullptr, &s), nullptr);
    EXPECT_EQ(rk_index_load(arena_, nullptr), nullptr);
    const std::string none = dir_ + "/absent.idx";
    EXPECT_EQ(load(none), nullptr);
    // Headers cut anywhere, type words 0 and 7, disagreeing list counts,
    // unknown metrics and trained flags.
    for (size_t cut = 0; cut < 29; ++cut) {
        write_bytes(p, std::vector<unsigned char>(good.begin(), good.begin() + cut));
        EXPECT_EQ(load(p), nullptr) << cut;
    }
    auto patched = [&](size_t off, uint32_t v) {
        auto b = good;
        put_u32(b, off, v);
        write_bytes(p, b);
        return load(p);
    };
    EXPECT_EQ(patched(0, 0), nullptr);
    EXPECT_EQ(patched(0, 7), nullptr);
    EXPECT_EQ(patched(8, 5), nullptr);   // nlist differs from params.nlist
    EXPECT_EQ(patched(12, 3), nullptr);  // metric
    EXPECT_EQ(patched(4, 0), nullptr);   // dim 0
    auto b = good;
    b[16] = 2;
    write_bytes(p, b);
    EXPECT_EQ(load(p), nullptr);
}

// Sizes claimed by a header are checked against the file before anything is
// made for them.
TEST_F(IndexFile, LoadRefusesHeadersClaimingMoreThanTheFileHolds) {
    rk_index_t *ivf = filled(RK_INDEX_IVF, 50);
    const std::string p = path("big.idx");
    const rk_string_t s = str(p);
    ASSERT_EQ(rk_index_save(ivf, &s), RK_OK);
    rk_index_destroy(ivf);
    auto b = bytes_of(p);
    put_u32(b, 8, 0x40000000);
    put_u32(b, 17, 0x40000000);
    write_bytes(p, b);
    EXPECT_EQ(load(p), nullptr);
    b = bytes_of(p);
    put_u32(b, 4, 0xFFFFFFFF);  // dim
    write_bytes(p, b);
    EXPECT_EQ(load(p), nullptr);

    rk_index_t *h = filled(RK_INDEX_HNSW, 50);
    ASSERT_EQ(rk_index_save(h, &s), RK_OK);
    rk_index_destroy(h);
    const auto graph = bytes_of(p);
    b = graph;
    put_u64(b, 20, uint64_t{1} << 60);  // capacity
    write_bytes(p, b);
    EXPECT_EQ(load(p), nullptr);
    // An m, dim or level multiplier that would make the next node gigabytes
    // large: refused instead of failing (or exhausting memory) at the next
    // insertion.
    const float huge_mult = 2.4e8f;  // levels of hundreds of millions
    uint32_t mult_bits;
    std::memcpy(&mult_bits, &huge_mult, 4);
    for (auto [off, v] : {std::pair<size_t, uint32_t>{40, 0x40000000}, {4, 0x40000000}, {52, mult_bits}}) {
        b = graph;
        put_u32(b, off, v);
        write_bytes(p, b);
        EXPECT_EQ(load(p), nullptr) << off;
    }
}

// Node records with an id too large for any table, a level beyond the file,
// or more neighbours than their cap end loading at that record.
TEST_F(IndexFile, HostileNodeRecordsEndLoadingThere) {
    rk_index_t *h = filled(RK_INDEX_HNSW, 30);
    const std::string p = path("nodes.idx");
    const rk_string_t s = str(p);
    ASSERT_EQ(rk_index_save(h, &s), RK_OK);
    rk_index_destroy(h);
    const auto good = bytes_of(p);
    const size_t first = 64;  // first record: id, level, vector, counts...
    struct Case {
        size_t off;
        uint64_t value;
        int width;
    } cases[] = {
        {first, UINT64_MAX, 8},         // id: 2 * id + 2 overflows
        {first, uint64_t{1} << 40, 8},  // id: a table of 2^41 slots
        {first + 8, 0xFFFFFFFFu, 4},    // level
        {first + 12 + 4 * kDim, 9, 4},  // level-0 count above 2 * m
    };
    for (const Case &c : cases) {
        auto b = good;
        if (c.width == 8) put_u64(b, c.off, c.value);
        else put_u32(b, c.off, static_cast<uint32_t>(c.value));
        write_bytes(p, b);
        rk_index_t *ix = load(p);
        ASSERT_NE(ix, nullptr) << c.off;
        // Nothing was read, so nothing is found and the memory estimate
        // counts no node.
        float q[kDim] = {};
        rk_index_result_t r[4];
        EXPECT_EQ(rk_index_search(ix, q, 4, r), 0u) << c.off;
        rk_index_destroy(ix);
    }
}

// A file cut anywhere after its headers loads as the index holding what
// precedes the cut, and never reads beyond it.
TEST_F(IndexFile, TruncatedFilesLoadWhatPrecedesTheCut) {
    for (uint32_t type = 1; type <= 6; ++type) {
        SCOPED_TRACE(type);
        rk_index_t *ix = filled(type, 40);
        const std::string p = path("cut.idx");
        const rk_string_t s = str(p);
        ASSERT_EQ(rk_index_save(ix, &s), RK_OK);
        const auto good = bytes_of(p);
        rk_index_destroy(ix);
        const size_t header = type % 2 ? 29 : 64;
        uint64_t last_ntotal = 0;
        for (size_t cut = header; cut <= good.size(); ++cut) {
            write_bytes(p, std::vector<unsigned char>(good.begin(), good.begin() + cut));
            rk_index_t *part = load(p);
            if (type % 2 == 1 && cut < header + 4 * kDim * 4) {
                EXPECT_EQ(part, nullptr) << cut;  // the centroids are missing
                continue;
            }
            ASSERT_NE(part, nullptr) << cut;
            float q[kDim] = {0.5f, -0.25f};
            rk_index_result_t r[50];
            const uint64_t n = rk_index_search(part, q, 50, r);
            // Without its trailing quantiser block an IVF-PQ file's entries
            // cannot be told apart, so only bounds hold for type 3.
            if (type == RK_INDEX_IVF_PQ) {
                rk_index_destroy(part);
                continue;
            }
            for (uint64_t i = 0; i < n; ++i) EXPECT_LE(r[i].id, 40u);
            if (type % 2 == 1) {
                // IVF: entries only ever accumulate as the cut moves on.
                EXPECT_GE(rk_index_get_ntotal(part), last_ntotal);
                last_ntotal = rk_index_get_ntotal(part);
            }
            rk_index_destroy(part);
        }
        if (type % 2 == 1 && type != RK_INDEX_IVF_PQ) {
            EXPECT_EQ(last_ntotal, 40u);
        }
    }
}

// Graph cut after k complete node records: exactly those nodes answer.
TEST_F(IndexFile, GraphCutBetweenRecordsKeepsTheRecordsBefore) {
    rk_index_t *ix = filled(RK_INDEX_HNSW, 20);
    const std::string p = path("graph.idx");
    const rk_string_t s = str(p);
    ASSERT_EQ(rk_index_save(ix, &s), RK_OK);
    rk_index_destroy(ix);
    const auto good = bytes_of(p);
    // Walk the records to find where the fifth one ends.
    size_t off = 64;
    for (int rec = 0; rec < 5; ++rec) {
        const uint32_t level = u32_at(good, off + 8);
        off += 12 + 4 * kDim;
        for (uint32_t l = 0; l <= level; ++l) off += 4 + 8 * u32_at(good, off);
    }
    write_bytes(p, std::vector<unsigned char>(good.begin(), good.begin() + off));
    rk_index_t *part = load(p);
    ASSERT_NE(part, nullptr);
    const std::vector<float> rows = random_rows(20, 21);
    rk_index_result_t r[20];
    const uint64_t n = rk_index_search(part, rows.data(), 20, r);
    EXPECT_GE(n, 1u);
    EXPECT_LE(n, 5u);
    for (uint64_t i = 0; i < n; ++i) EXPECT_LE(r[i].id, 5u);
    // The estimate counts the five nodes that were read, no more.
    EXPECT_EQ(rk_index_get_memory_usage(part), 168u + 8u * 4096u + (4u * kDim + 64u) * 5u);
    rk_index_destroy(part);
}

// Deterministic byte flips over saved files of every type: loading and using
// what loads must stay within bounds (the sanitizer builds check).
TEST_F(IndexFile, CorruptedFilesNeverCrash) {
    std::mt19937 gen(77);
    for (uint32_t type = 1; type <= 6; ++type) {
        rk_index_t *ix = filled(type, 30);
        const std::string p = path("flip.idx");
        const rk_string_t s = str(p);
        ASSERT_EQ(rk_index_save(ix, &s), RK_OK);
        rk_index_destroy(ix);
        const auto good = bytes_of(p);
        for (int trial = 0; trial < 150; ++trial) {
            auto b = good;
            const int flips = 1 + trial % 4;
            for (int f = 0; f < flips; ++f) b[gen() % b.size()] ^= static_cast<unsigned char>(1u << (gen() % 8));
            write_bytes(p, b);
            rk_arena_t *arena = nullptr;
            ASSERT_EQ(rk_arena_create(0, &arena), RK_OK);
            rk_index_t *part = rk_index_load(arena, &s);
            if (part && rk_index_get_dim(part) == kDim) {
                const std::vector<float> q = random_rows(2, trial);
                rk_index_result_t r[8];
                rk_index_search(part, q.data(), 8, r);
                rk_index_remove(part, 3);
                rk_index_add(part, 7, q.data());
                rk_index_search(part, q.data() + kDim, 8, r);
            }
            rk_index_destroy(part);
            rk_arena_destroy(arena);
        }
    }
}

}  // namespace
