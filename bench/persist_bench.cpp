// SPDX-License-Identifier: Apache-2.0
// Persistence benchmark.
//
// 1. Save and load of a collection of N x 128 vectors next to plain file
//    operations on a file of the same size: a copy (read, write, one fsync),
//    a plain write with one fsync, a plain read.
// 2. Reopening a database whose collection of M x 128 vectors has a built
//    HNSW index, next to reading its files whole, and search speed before
//    closing and after reopening.
//
// Usage: persist_bench [N (default 1000000)] [M (default 50000)] [dir (default /tmp)]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "rk_collection.h"
#include "rk_database.h"

namespace {

constexpr uint32_t kDim = 128;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::vector<float> random_rows(uint64_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(n * kDim);
    for (float &x : v) x = u(gen);
    return v;
}

int64_t file_size(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

// Reads a whole file into memory; returns the bytes read.
uint64_t read_whole(const std::string &p, std::vector<char> &buf) {
    const int fd = open(p.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    const int64_t n = file_size(p);
    buf.resize(size_t(n));
    uint64_t got = 0;
    while (got < uint64_t(n)) {
        const ssize_t r = read(fd, buf.data() + got, size_t(n) - got);
        if (r <= 0) break;
        got += uint64_t(r);
    }
    close(fd);
    return got;
}

bool write_whole(const std::string &p, const std::vector<char> &buf) {
    const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    uint64_t put = 0;
    while (put < buf.size()) {
        const ssize_t w = write(fd, buf.data() + put, buf.size() - put);
        if (w <= 0) break;
        put += uint64_t(w);
    }
    const bool ok = put == buf.size() && fsync(fd) == 0;
    close(fd);
    return ok;
}

void collection_files(uint64_t n, const std::string &dir) {
    rk_collection_config_t cfg{};
    cfg.name = rk_string_t{"bench", 5};
    cfg.dimension = kDim;
    cfg.index_type = RK_INDEX_FLAT;
    rk_collection_t *c = rk_collection_create(nullptr, &cfg);
    const std::vector<float> rows = random_rows(n, 1);
    for (uint64_t i = 0; i < n; ++i) rk_collection_insert(c, rows.data() + i * kDim, nullptr);

    const std::string file = dir + "/bench.rkcol", copy = dir + "/bench.copy", plain = dir + "/bench.plain";
    auto t = Clock::now();
    if (rk_collection_save(c, file.c_str()) != RK_OK) std::printf("save failed\n");
    const double save = since(t);
    t = Clock::now();
    rk_collection_t *back = rk_collection_load(nullptr, file.c_str());
    const double load = since(t);
    std::vector<char> buf;
    t = Clock::now();
    read_whole(file, buf);
    const double plain_read = since(t);
    t = Clock::now();
    write_whole(plain, buf);
    const double plain_write = since(t);
    t = Clock::now();
    std::vector<char> buf2;
    read_whole(file, buf2);
    write_whole(copy, buf2);
    const double plain_copy = since(t);

    const double mb = double(file_size(file)) / 1e6;
    std::printf("collection of %llu x %u: file %.1f MB, loaded %llu records\n", (unsigned long long)n, kDim,
                mb, back ? (unsigned long long)back->count : 0ull);
    std::printf("  save  %.3f s (%.0f MB/s)   plain copy %.3f s   ratio save/copy %.2f\n", save, mb / save,
                plain_copy, save / plain_copy);
    std::printf("  load  %.3f s (%.0f MB/s)   plain copy %.3f s   ratio load/copy %.2f\n", load, mb / load,
                plain_copy, load / plain_copy);
    std::printf("  plain write+fsync %.3f s, plain read %.3f s; save/write %.2f, load/read %.2f\n",
                plain_write, plain_read, save / plain_write, load / plain_read);
    rk_collection_destroy(back);
    rk_collection_destroy(c);
    unlink(file.c_str());
    unlink(copy.c_str());
    unlink(plain.c_str());
}

double search_qps(rk_vecdb_t *db, const std::vector<float> &queries, uint64_t nq, uint64_t *hits_sum) {
    const rk_string_t name{"vecs", 4};
    rk_vecdb_result_t r[10];
    *hits_sum = 0;
    const auto t = Clock::now();
    for (uint64_t i = 0; i < nq; ++i) {
        const uint64_t n = rk_vecdb_search(db, &name, queries.data() + i * kDim, kDim, 10, r);
        for (uint64_t j = 0; j < n; ++j) *hits_sum += r[j].id;
    }
    return double(nq) / since(t);
}

void reopen_with_index(uint64_t m, const std::string &dir) {
    const std::string path = dir + "/persist_bench_db";
    const rk_string_t p{path.c_str(), path.size()};
    rk_vecdb_t *db = nullptr;
    if (rk_vecdb_open(&p, RK_OPEN_CREATE, &db) != RK_OK) return;
    const rk_string_t name{"vecs", 4};
    const std::vector<float> rows = random_rows(m, 2);
    rk_vecdb_insert_batch(db, &name, rows.data(), kDim, m, nullptr);
    auto t = Clock::now();
    rk_collection_build_index(rk_vecdb_get_collection(db, &name));
    const double build = since(t);
    const uint64_t nq = 2000;
    const std::vector<float> queries = random_rows(nq, 3);
    uint64_t before_sum = 0, after_sum = 0;
    const double qps_before = search_qps(db, queries, nq, &before_sum);
    t = Clock::now();
    rk_vecdb_close(db);
    const double close_s = since(t);

    t = Clock::now();
    rk_vecdb_open(&p, 0, &db);
    const double reopen = since(t);
    const rk_collection_t *c = rk_vecdb_get_collection(db, &name);
    const double qps_after = search_qps(db, queries, nq, &after_sum);
    std::vector<char> buf;
    uint64_t bytes = 0;
    t = Clock::now();
    for (const char *f : {"/.rkmeta", "/storage", "/vecs.rkcol", "/vecs.rkidx"})
        bytes += read_whole(path + f, buf);
    const double read_files = since(t);

    std::printf("database of %llu x %u with a built HNSW index (build %.1f s)\n", (unsigned long long)m, kDim,
                build);
    std::printf(
        "  close (save) %.3f s; reopen %.3f s, index %s; reading its %.1f MB of files %.3f s; ratio %.2f\n",
        close_s, reopen, c && c->index_threshold == 0 ? "restored active" : "NOT restored",
        double(bytes) / 1e6, read_files, reopen / read_files);
    std::printf("  search k=10: %.0f q/s before close, %.0f q/s after reopen, same answers: %s\n", qps_before,
                qps_after, before_sum == after_sum ? "yes" : "no");
    rk_vecdb_close(db);
    for (const char *f : {"/.rkmeta", "/storage", "/vecs.rkcol", "/vecs.rkidx"}) unlink((path + f).c_str());
    rmdir(path.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    const uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const uint64_t m = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 50000;
    const std::string dir = argc > 3 ? argv[3] : "/tmp";
    if (n > 0) collection_files(n, dir);
    if (m > 0) reopen_with_index(m, dir);
    return 0;
}
