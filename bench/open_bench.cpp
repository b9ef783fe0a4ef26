// SPDX-License-Identifier: Apache-2.0
// Cost of opening a database: a collection of N x D vectors whose HNSW
// index was never built (so it is dormant), opened read-only and closed,
// next to reading every file of the folder whole into fresh memory, and next to the plain
// collection load, which still feeds the dormant index every record (what a
// database open used to do).
//
// Usage: open_bench [N (default 3500)] [D (default 784)] [dir (default /tmp)] [opens (default 5)]
// With opens given, the plain collection load is not measured.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "rk_collection.h"
#include "rk_database.h"

namespace {

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Reads every file of the folder whole into fresh memory, as any open must
// hold the records somewhere.
uint64_t read_folder(const std::string &dir) {
    uint64_t total = 0;
    DIR *d = opendir(dir.c_str());
    if (!d) return 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.' && (e->d_name[1] == '\0' || e->d_name[1] == '.')) continue;
        const int fd = open((dir + "/" + e->d_name).c_str(), O_RDONLY);
        if (fd < 0) continue;
        const off_t size = lseek(fd, 0, SEEK_END);
        std::vector<char> buf(size > 0 ? size_t(size) : 0);
        for (size_t at = 0; at < buf.size();) {
            const ssize_t n = pread(fd, buf.data() + at, buf.size() - at, off_t(at));
            if (n <= 0) break;
            at += size_t(n);
        }
        total += buf.size();
        close(fd);
    }
    closedir(d);
    return total;
}

template <class F>
double best_of(int runs, F &&f) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto t = Clock::now();
        f();
        const double s = since(t);
        if (s < best) best = s;
    }
    return best;
}

}  // namespace

int main(int argc, char **argv) {
    const uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 3500;
    const uint32_t dim = argc > 2 ? uint32_t(std::strtoul(argv[2], nullptr, 10)) : 784;
    const std::string base = argc > 3 ? argv[3] : "/tmp";
    std::string dir = base + "/zevud-open-bench-XXXXXX";
    if (!mkdtemp(dir.data())) return 1;

    rk_vecdb_t *db = nullptr;
    const rk_string_t path{dir.c_str(), dir.size()};
    if (rk_vecdb_open(&path, RK_OPEN_CREATE, &db) != RK_OK) return 1;
    rk_collection_config_t cfg{};
    cfg.name = rk_string_t{"c", 1};
    cfg.dimension = dim;
    cfg.index_type = RK_INDEX_HNSW;
    rk_collection_t *c = nullptr;
    if (rk_vecdb_create_collection_ex(db, &cfg, &c) != RK_OK) return 1;
    std::mt19937 gen(1);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::vector<float> v(dim);
    for (uint64_t i = 0; i < n; ++i) {
        for (float &x : v) x = u(gen);
        if (rk_collection_insert(c, v.data(), nullptr) != RK_OK) return 1;
    }
    if (rk_vecdb_close(db) != RK_OK) return 1;

    uint64_t bytes = 0;
    const double plain = best_of(5, [&] { bytes = read_folder(dir); });
    const int opens = argc > 4 ? std::atoi(argv[4]) : 5;
    const double open = best_of(opens, [&] {
        rk_vecdb_t *d = nullptr;
        if (rk_vecdb_open(&path, RK_OPEN_READ_ONLY, &d) == RK_OK) (void)rk_vecdb_close(d);
    });
    const std::string file = dir + "/c.rkcol";
    double fed = 0;
    if (argc <= 4) fed = best_of(1, [&] { rk_collection_destroy(rk_collection_load(nullptr, file.c_str())); });
    std::printf("%llu x %u, %.1f MB in the folder\n", static_cast<unsigned long long>(n), dim, double(bytes) / 1e6);
    std::printf("plain read of the folder:             %8.2f ms\n", plain * 1e3);
    std::printf("database open + close (read-only):    %8.2f ms  (%.2f x the read)\n", open * 1e3, open / plain);
    if (fed > 0)
        std::printf("collection load feeding the index:    %8.2f ms  (%.1f x the read)\n", fed * 1e3, fed / plain);
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
