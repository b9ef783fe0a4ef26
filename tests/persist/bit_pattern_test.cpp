// SPDX-License-Identifier: Apache-2.0
// One bit pattern on every target: a seeded collection with metadata, an
// HNSW and an IVF index, fixed searches and the saved files reduce to one
// digest, checked in below. The same digest must come out on Linux x86-64
// under every kernel path the processor has, on the Windows build (wine) and
// on Linux aarch64 (qemu). A difference names the first stage that moved.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "rk_collection.h"
#include "rk_hash.h"
#include "rk_index.h"
#include "rk_platform.h"
#include "rk_string.h"
#include "storage/format.h"
#include "vector/kernels.h"

namespace {

constexpr uint32_t kDim = 24;
constexpr uint64_t kCount = 3000;
constexpr int kQueries = 24;
constexpr uint64_t kK = 10;

// The digests each stage must reach. Computed once on Linux x86-64; every
// target and kernel path must agree with them.
struct Expected {
    uint64_t hnsw_results, ivf_results, flat_results, files, text;
};
constexpr Expected kExpected = {0xa14f38825a23b33full, 0xcd44f05a157a986aull, 0x73f1b0517ef36c82ull,
                                 0x4e6cd1f6f7b12675ull, 0x4f5451996973bfeeull};

// The test's own data stream (splitmix64), independent of the library's
// generator. Floats are 24-bit fractions in [-1, 1): exact everywhere and
// never integer-valued, so rounding differences would show.
struct Stream {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    float unit() { return static_cast<float>(next() >> 40) * (1.0f / 8388608.0f) - 1.0f; }
};

struct Digest {
    uint64_t h = 0x5A45564Dull;
    void add(const void *p, size_t n) { h = rk_hash_murmur3_64(p, n, h); }
    void add_u64(uint64_t v) { add(&v, sizeof v); }
    void add_f32(float f) {
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        add(&bits, sizeof bits);
    }
};

std::string scratch_dir() {
    char tmpl[] = "zevud-bits-XXXXXX";
    const char *made = rk_file_mkdtemp(tmpl);
    return made ? std::string(made) : std::string();
}

std::vector<unsigned char> read_bytes(const std::string &path) {
    std::vector<unsigned char> out;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        unsigned char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
        std::fclose(f);
    }
    return out;
}

// A collection file holds the save's clock readings (file and collection
// created/modified times) and the collection header's checksum over them;
// everything else is a function of the data.
void mask_clock(std::vector<unsigned char> &file) {
    namespace st = rk::storage;
    auto zero = [&](size_t at, size_t n) {
        for (size_t i = at; i < at + n && i < file.size(); ++i) file[i] = 0;
    };
    zero(st::kOffCreated, 16);
    const size_t col = st::kHeaderSize;
    zero(col + 8, 16);
    zero(col + st::kCollectionChecksumOffset, 4);
}

rk_collection_t *make_collection(const char *name, int32_t index_type, uint32_t metric,
                                 const std::vector<float> &data, Stream meta) {
    rk_collection_config_t cfg{};
    cfg.name = rk_string_t{name, std::strlen(name)};
    cfg.dimension = kDim;
    cfg.metric = metric;
    cfg.index_type = index_type;
    rk_collection_t *c = rk_collection_create(nullptr, &cfg);
    if (!c) return nullptr;
    static const char *const kTags[] = {"red", "green", "blue", "violet"};
    for (uint64_t i = 0; i < kCount; ++i) {
        const uint64_t r = meta.next();
        rk_meta_entry_t e[3]{};
        e[0].key = rk_string_t{"bucket", 6};
        e[0].type = RK_META_INT32;
        e[0].value.i32 = static_cast<int32_t>(r % 7);
        e[1].key = rk_string_t{"score", 5};
        e[1].type = RK_META_FLOAT;
        e[1].value.f32 = meta.unit();
        e[2].key = rk_string_t{"tag", 3};
        e[2].type = RK_META_STRING;
        const char *tag = kTags[(r >> 8) % 4];
        e[2].value.str = rk_string_t{tag, std::strlen(tag)};
        if (rk_collection_insert_with_meta(c, data.data() + i * kDim, e, 3, nullptr) != RK_OK) {
            rk_collection_destroy(c);
            return nullptr;
        }
    }
    return c;
}

// Every hit's id and distance bits, for each query, with and without a
// metadata filter.
void search_all(rk_collection_t *c, const std::vector<float> &queries, Digest *d) {
    rk_filter_t cond{};
    cond.kind = RK_FILTER_CONDITION;
    cond.key = "bucket";
    cond.op = RK_FILTER_LT;
    cond.value.i32 = 3;
    for (int q = 0; q < kQueries; ++q) {
        for (const rk_filter_t *filter : {static_cast<const rk_filter_t *>(nullptr), static_cast<const rk_filter_t *>(&cond)}) {
            rk_search_params_t p{};
            p.k = kK;
            p.filter = filter;
            rk_search_result_t hits[kK];
            uint64_t found = 0;
            ASSERT_EQ(rk_collection_search_ex(c, queries.data() + size_t(q) * kDim, &p, 0, hits, &found), RK_OK);
            d->add_u64(found);
            for (uint64_t i = 0; i < found; ++i) {
                d->add_u64(hits[i].id);
                d->add_f32(hits[i].distance);
            }
        }
    }
}

struct Digests {
    uint64_t hnsw_results = 0, ivf_results = 0, flat_results = 0, files = 0, text = 0;
};

// The whole scenario from a fresh seed: nothing carries over between runs.
void run_scenario(Digests *out) {
    Stream data_stream{20261208};
    std::vector<float> data(kCount * kDim), queries(size_t(kQueries) * kDim);
    for (float &x : data) x = data_stream.unit();
    for (float &x : queries) x = data_stream.unit();

    const std::string dir = scratch_dir();
    ASSERT_FALSE(dir.empty());
    // HNSW levels and k-means seeding draw from the process-wide generator.
    rk_srand(42);

    Digest files;
    struct Case {
        const char *name;
        int32_t type;
        uint32_t metric;
        uint64_t *slot;
    } cases[] = {{"graph", RK_INDEX_HNSW, RK_METRIC_L2, &out->hnsw_results},
                 {"lists", RK_INDEX_IVF, RK_METRIC_L2, &out->ivf_results},
                 {"scan", -1, RK_METRIC_COSINE, &out->flat_results}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        rk_collection_t *c = make_collection(k.name, k.type, k.metric, data, Stream{7});
        ASSERT_NE(c, nullptr);
        if (k.type >= 0) {
            ASSERT_EQ(rk_collection_build_index(c), RK_OK);
        }
        Digest results;
        search_all(c, queries, &results);
        *k.slot = results.h;

        const std::string col = dir + "/" + k.name + ".rkcol";
        ASSERT_EQ(rk_collection_save(c, col.c_str()), RK_OK);
        std::vector<unsigned char> bytes = read_bytes(col);
        ASSERT_FALSE(bytes.empty());
        mask_clock(bytes);
        files.add(bytes.data(), bytes.size());
        if (c->index) {
            const std::string idx = dir + "/" + k.name + ".rkidx";
            const rk_string_t path{idx.c_str(), idx.size()};
            ASSERT_EQ(rk_index_save(c->index, &path), RK_OK);
            bytes = read_bytes(idx);
            ASSERT_FALSE(bytes.empty());
            files.add(bytes.data(), bytes.size());
        }
        rk_collection_destroy(c);
    }
    out->files = files.h;

    // Formatted numbers go through the C runtime on each target; they must
    // spell the same digits (exponent width, rounding of halfway cases).
    Digest text;
    char buf[128];
    for (int i = 0; i < 64; ++i) {
        const float f = data[size_t(i) * 37] * 1.0e-7f * static_cast<float>(i + 1);
        const int n = rk_snprintf(buf, sizeof buf, "%.9g|%e|%.3f|%g|%a", double(f), double(f), double(f) * 1e6,
                                  double(f) * 1e12, double(f));
        ASSERT_GT(n, 0);
        text.add(buf, size_t(n));
    }
    out->text = text.h;

    const rk_string_t tree{dir.c_str(), dir.size()};
    EXPECT_EQ(rk_file_rmdir_recursive(&tree), RK_OK);
}

void expect_digests(const Digests &r) {
    auto hex = [](uint64_t v) {
        char b[24];
        std::snprintf(b, sizeof b, "0x%016llxull", static_cast<unsigned long long>(v));
        return std::string(b);
    };
    // Printed so a deliberate format change can update kExpected in one go.
    std::printf("digests: {%s, %s, %s, %s, %s}\n", hex(r.hnsw_results).c_str(), hex(r.ivf_results).c_str(),
                hex(r.flat_results).c_str(), hex(r.files).c_str(), hex(r.text).c_str());
    EXPECT_EQ(hex(r.hnsw_results), hex(kExpected.hnsw_results)) << "HNSW search results";
    EXPECT_EQ(hex(r.ivf_results), hex(kExpected.ivf_results)) << "IVF search results";
    EXPECT_EQ(hex(r.flat_results), hex(kExpected.flat_results)) << "exhaustive cosine results";
    EXPECT_EQ(hex(r.files), hex(kExpected.files)) << "saved collection and index files";
    EXPECT_EQ(hex(r.text), hex(kExpected.text)) << "formatted numbers";
}

class BitPattern : public ::testing::TestWithParam<rk::kern::Path> {
protected:
    void TearDown() override { rk::kern::reset_path(); }
};

TEST_P(BitPattern, SeededScenarioMatchesCheckedInDigest) {
    const rk::kern::Path path = GetParam();
    if (!rk::kern::force_path(path)) {
        GTEST_SKIP() << "this processor (or build) lacks the " << rk::kern::path_name(path) << " kernels";
    }
    Digests r;
    run_scenario(&r);
    if (HasFatalFailure()) return;
    expect_digests(r);
}

INSTANTIATE_TEST_SUITE_P(EveryKernelPath, BitPattern,
                         ::testing::Values(rk::kern::Path::Scalar, rk::kern::Path::Sse2, rk::kern::Path::Avx2,
                                           rk::kern::Path::Avx512),
                         [](const ::testing::TestParamInfo<rk::kern::Path> &info) {
                             return std::string(rk::kern::path_name(info.param));
                         });

// The same process gives the same digest twice: nothing (generator state,
// a cached kernel choice) leaks from one run into the next.
TEST(BitPatternRepeat, SecondRunInOneProcessAgrees) {
    Digests a, b;
    run_scenario(&a);
    if (HasFatalFailure()) return;
    run_scenario(&b);
    if (HasFatalFailure()) return;
    EXPECT_EQ(a.hnsw_results, b.hnsw_results);
    EXPECT_EQ(a.ivf_results, b.ivf_results);
    EXPECT_EQ(a.files, b.files);
}

}  // namespace
