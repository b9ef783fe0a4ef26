// SPDX-License-Identifier: Apache-2.0
// Several searching threads against one writer on one collection: readers
// never see a torn vector, a duplicate or an unordered answer, and when the
// writer is done nothing it kept is lost.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "rk_collection.h"

namespace {

constexpr uint32_t kDim = 16;
constexpr int kInserts = 3000;
constexpr int kReaders = 3;

// Every component of record id's vector holds value_of(id) (or its upserted
// value), so a half-written vector shows as unequal components.
float value_of(uint64_t id) { return float(id % 1000) * 0.01f; }

bool uniform(const float *v) {
    for (uint32_t i = 1; i < kDim; ++i)
        if (v[i] != v[0]) return false;
    return true;
}

std::atomic<uint64_t> g_rounds{0};

void reader(rk_collection_t *c, const std::atomic<bool> &done, std::atomic<int> &faults) {
    std::vector<rk_search_result_t> res(20);
    float q[kDim] = {};
    float got[kDim];
    uint64_t round = 0;
    while (!done.load(std::memory_order_acquire)) {
        for (float &x : q) x = float(round % 7) * 0.3f;
        rk_search_params_t p{};
        p.k = 20;
        const uint64_t n = rk_collection_search(c, q, &p, res.data());
        std::set<uint64_t> ids;
        for (uint64_t i = 0; i < n; ++i) {
            if (!ids.insert(res[i].id).second) faults++;
            // No answer names an id that was never handed out.
            if (res[i].id == 0 || res[i].id > uint64_t(kInserts)) faults++;
            if (i && res[i].distance < res[i - 1].distance) faults++;
            // The record may be deleted since; if it is there it is whole.
            if (rk_collection_get(c, res[i].id, got) == RK_OK && !uniform(got)) faults++;
        }
        auto check = [](uint64_t, const float *v, uint32_t, void *f) {
            if (!uniform(v)) ++*static_cast<std::atomic<int> *>(f);
            return 1;
        };
        rk_collection_foreach(c, nullptr, check, &faults);
        rk_collection_stats_t st{};
        if (rk_collection_get_stats(c, &st) != RK_OK || st.count > st.capacity) faults++;
        ++round;
        g_rounds.fetch_add(1, std::memory_order_relaxed);
    }
}

TEST(CollectionConcurrency, SearchersBesideOneWriter) {
    rk_collection_config_t cfg{};
    cfg.dimension = kDim;
    rk_collection_t *c = rk_collection_create(nullptr, &cfg);
    ASSERT_NE(c, nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> faults{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i) readers.emplace_back(reader, c, std::cref(done), std::ref(faults));

    std::set<uint64_t> kept;
    float v[kDim];
    for (int i = 0; i < kInserts; ++i) {
        if (i % 250 == 0) {
            // Let the readers through several times so the two really overlap.
            const uint64_t seen = g_rounds.load();
            while (g_rounds.load() < seen + kReaders) std::this_thread::yield();
        }
        uint64_t id = 0;
        for (float &x : v) x = value_of(uint64_t(i) + 1);
        ASSERT_EQ(rk_collection_insert(c, v, &id), RK_OK);
        ASSERT_EQ(id, uint64_t(i) + 1);
        kept.insert(id);
        if (i % 7 == 3) {
            ASSERT_EQ(rk_collection_delete(c, id - 2), RK_OK);
            kept.erase(id - 2);
        }
        if (i % 11 == 5 && kept.count(id - 1)) {
            for (float &x : v) x = -1.0f;
            ASSERT_EQ(rk_collection_upsert(c, id - 1, v), RK_OK);
        }
    }
    done.store(true, std::memory_order_release);
    for (auto &t : readers) t.join();
    EXPECT_EQ(faults.load(), 0);

    ASSERT_EQ(c->count, kept.size());
    uint64_t i = 0;
    for (uint64_t id : kept) {
        ASSERT_EQ(c->records[i].id, id);
        ASSERT_TRUE(uniform(c->records[i].vector));
        ++i;
    }
    rk_collection_destroy(c);
}

// The same with an active HNSW index: searches go through the index while
// the writer feeds and prunes it; no answer may name a record that is gone.
TEST(CollectionConcurrency, IndexedSearchersBesideOneWriter) {
    rk_collection_config_t cfg{};
    cfg.dimension = kDim;
    cfg.index_type = RK_INDEX_HNSW;
    rk_collection_t *c = rk_collection_create(nullptr, &cfg);
    ASSERT_NE(c, nullptr);
    float v[kDim];
    for (int i = 0; i < 200; ++i) {
        for (float &x : v) x = value_of(uint64_t(i) + 1);
        ASSERT_EQ(rk_collection_insert(c, v, nullptr), RK_OK);
    }
    ASSERT_EQ(rk_collection_build_index(c), RK_OK);
    std::atomic<bool> done{false};
    std::atomic<int> faults{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i) readers.emplace_back(reader, c, std::cref(done), std::ref(faults));
    for (int i = 200; i < 1200; ++i) {
        if (i % 100 == 0) {
            const uint64_t seen = g_rounds.load();
            while (g_rounds.load() < seen + kReaders) std::this_thread::yield();
        }
        uint64_t id = 0;
        for (float &x : v) x = value_of(uint64_t(i) + 1);
        ASSERT_EQ(rk_collection_insert(c, v, &id), RK_OK);
        if (i % 3 == 0) {
            ASSERT_EQ(rk_collection_delete(c, id - 100), RK_OK);
        }
    }
    done.store(true, std::memory_order_release);
    for (auto &t : readers) t.join();
    EXPECT_EQ(faults.load(), 0);
    rk_collection_destroy(c);
}

}  // namespace
