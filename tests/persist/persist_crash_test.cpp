// SPDX-License-Identifier: Apache-2.0
// Crash safety: a child process inserts, deletes, drops and syncs in a loop
// and is killed (SIGKILL) at a random moment, hundreds of times. Reopening
// must show every collection exactly as some completed sync left it: the
// last one the child reported, or the one it was in the middle of. Nothing
// torn, nothing dropped coming back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "persist_test_util.h"
#include "rk_database.h"

namespace {

using persist_test::ScratchDir;
using persist_test::str;

const char *const kNames[] = {"c0", "c1", "c2"};
const uint32_t kDims[] = {8, 4, 6};

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Step k's changes, the same in the child and in the replay.
void apply_step(rk_vecdb_t *db, uint64_t k) {
    uint64_t r = mix(k);
    for (int c = 0; c < 3; ++c) {
        const rk_string_t name = str(kNames[c]);
        if (c == 2 && k % 9 == 0) {
            (void)rk_vecdb_drop_collection(db, &name);
            continue;
        }
        r = mix(r);
        const int n = 1 + int(r % 12);
        std::vector<float> v(kDims[c]);
        for (int i = 0; i < n; ++i) {
            for (uint32_t d = 0; d < kDims[c]; ++d)
                v[d] = float(mix(r + uint64_t(i * 31 + int(d))) % 1000) / 7.0f;
            uint64_t id = 0;
            if (rk_vecdb_insert(db, &name, v.data(), kDims[c], &id) != RK_OK) abort();
            if (c == 1 && i % 2 == 0) {
                rk_meta_entry_t m[2] = {};
                m[0].key = str("step");
                m[0].type = RK_META_INT64;
                m[0].value.i64 = int64_t(k);
                m[1].key = str("label");
                m[1].type = RK_META_STRING;
                m[1].value.str = str(i % 4 == 0 ? "even" : "odd");
                (void)rk_collection_set_meta(rk_vecdb_get_collection(db, &name), id, m, 2);
            }
        }
        rk_collection_t *col = rk_vecdb_get_collection(db, &name);
        if (c == 1 && k % 4 == 0 && col->count > 2)
            (void)rk_collection_delete(col, col->records[r % col->count].id);
        if (c == 0 && k == 2) (void)rk_collection_build_index(col);
    }
}

rk_vecdb_t *replay(uint64_t steps) {
    rk_vecdb_t *db = nullptr;
    if (rk_vecdb_open(nullptr, 0, &db) != RK_OK) return nullptr;
    for (uint64_t k = 1; k <= steps; ++k) apply_step(db, k);
    return db;
}

bool same(const rk_collection_t *a, const rk_collection_t *b) {
    if (!a || !b) return a == b;
    if (a->count != b->count || a->dimension != b->dimension || a->next_id != b->next_id) return false;
    for (uint64_t i = 0; i < a->count; ++i) {
        const rk_record_t &x = a->records[i], &y = b->records[i];
        if (x.id != y.id || std::memcmp(x.vector, y.vector, a->dimension * sizeof(float)) != 0) return false;
        if (x.metadata_count != y.metadata_count) return false;
        for (uint64_t j = 0; j < x.metadata_count; ++j) {
            const rk_meta_entry_t &e = x.metadata[j], &f = y.metadata[j];
            if (e.type != f.type || e.key.len != f.key.len ||
                std::memcmp(e.key.data, f.key.data, e.key.len) != 0) {
                return false;
            }
            if (e.type == RK_META_STRING) {
                if (e.value.str.len != f.value.str.len ||
                    std::memcmp(e.value.str.data, f.value.str.data, e.value.str.len) != 0) {
                    return false;
                }
            } else if (e.value.i64 != f.value.i64) {
                return false;
            }
        }
    }
    return true;
}

[[noreturn]] void child(const std::string &path, int report) {
    const rk_string_t p = str(path);
    rk_vecdb_t *db = nullptr;
    if (rk_vecdb_open(&p, RK_OPEN_CREATE, &db) != RK_OK) _exit(2);
    for (uint64_t k = 1;; ++k) {
        apply_step(db, k);
        if (rk_vecdb_sync(db) != RK_OK) _exit(3);
        if (write(report, &k, sizeof k) != ssize_t(sizeof k)) _exit(4);
    }
}

TEST(PersistCrash, KilledSyncsLeaveACompletedState) {
    constexpr int kTrials = 250;
    std::mt19937 gen(20261208);
    int killed_mid_run = 0, trials = 0;
    uint32_t window_us = 40000;
    uint64_t deepest = 0;
    const auto start = std::chrono::steady_clock::now();
    // A kill ends the process, not the machine: what a save handed to the
    // kernel survives either way, so memory-backed /dev/shm (where syncs
    // cost nothing and many more of them fit in a run) tests the same thing.
    struct stat st;
    const char *base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    for (int trial = 0; trial < kTrials; ++trial) {
        ScratchDir dir(base);
        const std::string path = dir / "db";
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            child(path, fds[1]);
        }
        close(fds[1]);
        usleep(useconds_t(gen() % window_us));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child ended by itself with " << WEXITSTATUS(status);
        uint64_t k = 0, got;
        while (read(fds[0], &got, sizeof got) == ssize_t(sizeof got)) k = got;
        close(fds[0]);
        killed_mid_run += k > 0;
        ++trials;
        // Aim the kills at the first twenty or so syncs, whatever a sync
        // costs in this build.
        if (k < 5 && window_us < 2000000) window_us += window_us / 8;
        if (k > 20 && window_us > 4000) window_us -= window_us / 8;
        deepest = k > deepest ? k : deepest;

        rk_vecdb_t *at_k = replay(k);
        rk_vecdb_t *at_next = replay(k + 1);
        const rk_string_t p = str(path);
        rk_vecdb_t *db = nullptr;
        ASSERT_EQ(rk_vecdb_open(&p, 0, &db), RK_OK);
        for (const char *name : kNames) {
            const rk_string_t n = str(name);
            const rk_collection_t *got_c = rk_vecdb_get_collection(db, &n);
            const bool ok = same(got_c, rk_vecdb_get_collection(at_k, &n)) ||
                            same(got_c, rk_vecdb_get_collection(at_next, &n));
            ASSERT_TRUE(ok) << "trial " << trial << " after sync " << k << ": " << name << " holds "
                            << (got_c ? got_c->count : 0) << " records";
        }
        // Nothing the child never had, and no leftovers of interrupted saves.
        EXPECT_LE(rk_vecdb_list_collections(db, nullptr, 0), 3u);
        EXPECT_EQ(rk_vecdb_close(db), RK_OK);
        rk_vecdb_close(at_k);
        rk_vecdb_close(at_next);
        for (const std::string &f : persist_test::ScratchDir::list_of(path)) {
            EXPECT_EQ(f.find(".tmp-"), std::string::npos) << f;
        }
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(45)) break;
    }
    std::printf("%d trials, %d killed after at least one sync; deepest kill after sync %llu\n", trials,
                killed_mid_run, static_cast<unsigned long long>(deepest));
    // Most runs were killed after some syncs, some of them deep into the run.
    EXPECT_GE(trials, 100);
    EXPECT_GT(killed_mid_run, trials / 2);
    EXPECT_GT(deepest, 9u);
}

}  // namespace
