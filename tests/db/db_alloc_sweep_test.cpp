// SPDX-License-Identifier: Apache-2.0
// Every allocation can fail: a small persistent-database scenario is run
// once to learn its states, then again with allocation N failing, for N = 0,
// 1, 2, ... until a run meets no failure. At every N the failing call must
// return a status (no crash, and ASan finds no leak at exit), the open
// database must still hold exactly the records of the last step that
// succeeded, and after a close and a reopen the directory must hold that
// state too: a failed step leaves nothing behind and loses nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "../persist/persist_test_util.h"
#include "rk_collection.h"
#include "rk_database.h"
#include "rk_platform.h"
#include "support/alloc_faults.h"

namespace {

using persist_test::ScratchDir;

constexpr uint32_t kDim = 4;
constexpr uint64_t kRows = 12;

rk_string_t str(const char *s) { return rk_string_t{s, std::strlen(s)}; }

// Records of every collection, by name: id, vector bits and metadata text.
using Snapshot = std::map<std::string, std::vector<std::string>>;

std::string describe(const rk_record_t &r) {
    std::string s = std::to_string(r.id) + ":";
    s.append(reinterpret_cast<const char *>(r.vector), kDim * sizeof(float));
    for (uint64_t j = 0; j < r.metadata_count; ++j) {
        const rk_meta_entry_t &e = r.metadata[j];
        s += "|" + std::string(e.key.data ? e.key.data : "", e.key.len) + "=" + std::to_string(e.type) + ":";
        if (e.type == RK_META_STRING)
            s.append(e.value.str.data ? e.value.str.data : "", e.value.str.len);
        else
            s += std::to_string(e.value.i64);
    }
    return s;
}

// Reads the database without allocating through the hooks.
Snapshot snapshot(rk_vecdb_t *db) {
    Snapshot out;
    rk_string_t names[8];
    const uint64_t n = rk_vecdb_list_collections(db, names, 8);
    for (uint64_t i = 0; i < n; ++i) {
        rk_collection_t *c = rk_vecdb_get_collection(db, &names[i]);
        auto &recs = out[std::string(names[i].data, names[i].len)];
        for (uint64_t k = 0; c && k < c->count; ++k) recs.push_back(describe(c->records[k]));
    }
    return out;
}

// Collection names and record counts, for messages.
std::string outline(const Snapshot &s) {
    std::string out;
    for (const auto &[name, recs] : s) out += name + ":" + std::to_string(recs.size()) + " ";
    return out.empty() ? "(none)" : out;
}

#define EXPECT_STATE(have, want) ASSERT_TRUE((have) == (want)) << outline(have) << "vs " << outline(want)

std::vector<float> row(uint64_t i) {
    std::vector<float> v(kDim);
    for (uint32_t d = 0; d < kDim; ++d) v[d] = 0.173f * float(i) + 0.031f * float(d * d) + 0.0071f;
    return v;
}

// The scenario as a list of steps on one handle. Each returns its status;
// searches also record their hits, which must not depend on N.
class Scenario {
public:
    explicit Scenario(std::string dir) : dir_(std::move(dir)) {}

    rk_vecdb_t *db = nullptr;
    std::vector<std::vector<uint64_t>> hits;

    rk_status_t open() {
        rk_vecdb_config_t cfg{};
        cfg.path = rk_string_t{dir_.c_str(), dir_.size()};
        cfg.storage_mode = RK_DB_PERSISTENT;
        cfg.arena_size = 1u << 16;
        cfg.create_if_missing = 1;
        return rk_vecdb_open_ex(&cfg, &db);
    }
    rk_status_t close() {
        rk_vecdb_t *d = db;
        db = nullptr;
        return rk_vecdb_close(d);
    }

    std::vector<std::function<rk_status_t()>> steps() {
        std::vector<std::function<rk_status_t()>> s;
        s.push_back([this] { return open(); });
        s.push_back([this] { return create("graph", RK_INDEX_HNSW); });
        s.push_back([this] { return create("lists", RK_INDEX_IVF); });
        for (uint64_t i = 0; i < kRows; ++i) {
            s.push_back([this, i] { return insert("graph", i); });
            s.push_back([this, i] { return insert("lists", i + 100); });
        }
        s.push_back([this] { return build("graph"); });
        s.push_back([this] { return build("lists"); });
        s.push_back([this] { return search("graph"); });
        s.push_back([this] { return search("lists"); });
        s.push_back([this] { return remove("graph", 3); });
        s.push_back([this] { return remove("lists", 7); });
        s.push_back([this] { return rk_vecdb_sync(db); });
        s.push_back([this] { return insert("graph", 77); });
        s.push_back([this] { return remove("lists", 8); });
        s.push_back([this] { return search("graph"); });
        s.push_back([this] { return rk_vecdb_sync(db); });
        s.push_back([this] { return close(); });
        s.push_back([this] { return open(); });
        s.push_back([this] { return search("graph"); });
        s.push_back([this] { return search("lists"); });
        return s;
    }

private:
    rk_collection_t *get(const char *name) {
        const rk_string_t n = str(name);
        return rk_vecdb_get_collection(db, &n);
    }
    rk_status_t create(const char *name, int32_t type) {
        rk_collection_config_t cfg{};
        cfg.name = str(name);
        cfg.dimension = kDim;
        cfg.index_type = type;
        rk_collection_t *c = nullptr;
        return rk_vecdb_create_collection_ex(db, &cfg, &c);
    }
    rk_status_t insert(const char *name, uint64_t i) {
        rk_collection_t *c = get(name);
        if (!c) return RK_ERR_NOT_FOUND;
        const std::string text = "row " + std::to_string(i);
        rk_meta_entry_t meta[2] = {};
        meta[0].key = str("n");
        meta[0].type = RK_META_INT64;
        meta[0].value.i64 = int64_t(i % 5);
        meta[1].key = str("text");
        meta[1].type = RK_META_STRING;
        meta[1].value.str = rk_string_t{text.c_str(), text.size()};
        const std::vector<float> v = row(i);
        return rk_collection_insert_with_meta(c, v.data(), meta, 2, nullptr);
    }
    rk_status_t build(const char *name) {
        rk_collection_t *c = get(name);
        return c ? rk_collection_build_index(c) : RK_ERR_NOT_FOUND;
    }
    rk_status_t remove(const char *name, uint64_t id) {
        rk_collection_t *c = get(name);
        return c ? rk_collection_delete(c, id) : RK_ERR_NOT_FOUND;
    }
    rk_status_t search(const char *name) {
        rk_collection_t *c = get(name);
        if (!c) return RK_ERR_NOT_FOUND;
        rk_filter_t f{};
        f.kind = RK_FILTER_CONDITION;
        f.key = "n";
        f.op = RK_FILTER_NE;
        f.value.i64 = 2;
        rk_search_params_t p{};
        p.k = 5;
        p.filter = &f;
        rk_search_result_t r[5];
        uint64_t n = 0;
        const std::vector<float> q = row(9);
        const rk_status_t st = rk_collection_search_ex(c, q.data(), &p, 0, r, &n);
        std::vector<uint64_t> ids;
        for (uint64_t i = 0; i < n; ++i) ids.push_back(r[i].id);
        hits.push_back(ids);
        return st;
    }

    std::string dir_;
};

// Statuses a step may fail with when memory runs out.
bool clear_status(rk_status_t st) { return st == RK_ERR_NO_MEMORY || st == RK_ERR_UNKNOWN; }

TEST(AllocationSweep, EveryFailureIsReportedAndLosesNothing) {
    const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    // The reference run: the state after every step.
    std::vector<Snapshot> want;
    std::vector<std::vector<uint64_t>> want_hits;
    {
        ScratchDir dir(base);
        Scenario s(dir.path());
        rk_srand(7);
        for (auto &step : s.steps()) {
            ASSERT_EQ(step(), RK_OK);
            want.push_back(s.db ? snapshot(s.db) : want.back());
        }
        want_hits = s.hits;
        ASSERT_EQ(s.close(), RK_OK);
    }
    rk_test::FailingAllocator faults;
    ASSERT_TRUE(faults.installed());
    std::set<rk_status_t> seen;
    long n = 0;
    for (;; ++n) {
        ScratchDir dir(base);
        Scenario s(dir.path());
        rk_srand(7);
        auto steps = s.steps();
        // A step may absorb a failed allocation and still succeed (a graph
        // removal without memory to repair its neighbours' lists): the
        // records must not change, but later index answers may differ.
        size_t failed_at = steps.size(), quiet_failure = steps.size(), exact_hits = SIZE_MAX;
        faults.arm(n);
        for (size_t k = 0; k < steps.size(); ++k) {
            const size_t hits_before = s.hits.size();
            const rk_status_t st = steps[k]();
            if (faults.failed() && quiet_failure == steps.size()) {
                quiet_failure = k;
                exact_hits = hits_before;
            }
            if (st != RK_OK) {
                ASSERT_TRUE(faults.failed()) << "N " << n << " step " << k << " status " << st;
                ASSERT_TRUE(clear_status(st)) << "N " << n << " step " << k << " status " << st;
                seen.insert(st);
                failed_at = k;
                break;
            }
            if (s.db) {
                EXPECT_STATE(snapshot(s.db), want[k]) << "N " << n << " step " << k;
            }
        }
        faults.disarm();
        if (failed_at == steps.size()) {
            // The run met no failure, or met one that changed nothing.
            ASSERT_EQ(s.hits.size(), want_hits.size());
            for (size_t i = 0; i < want_hits.size(); ++i) {
                if (i < exact_hits) {
                    ASSERT_EQ(s.hits[i], want_hits[i]) << "N " << n << " search " << i;
                } else {
                    ASSERT_EQ(s.hits[i].size(), want_hits[i].size()) << "N " << n << " search " << i;
                }
            }
            if (s.db) {
                ASSERT_EQ(s.close(), RK_OK);
            }
            if (!faults.failed()) break;
            continue;
        }
        // The failed step took nothing away and added nothing.
        const Snapshot &before = want[failed_at == 0 ? 0 : failed_at - 1];
        if (s.db) {
            EXPECT_STATE(snapshot(s.db), before) << "N " << n << " step " << failed_at;
            ASSERT_EQ(s.close(), RK_OK) << "N " << n;
        }
        // What is on disk is what the handle held (or, after a failed first
        // open, nothing).
        ASSERT_EQ(s.open(), RK_OK) << "N " << n;
        const Snapshot expect = failed_at == 0 ? Snapshot{} : before;
        EXPECT_STATE(snapshot(s.db), expect) << "N " << n << " step " << failed_at;
        ASSERT_EQ(s.close(), RK_OK);
    }
    std::printf("allocation points visited: %ld\n", n);
    EXPECT_GT(n, 100);
    EXPECT_TRUE(seen.count(RK_ERR_NO_MEMORY));
}

}  // namespace
