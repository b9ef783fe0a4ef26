// SPDX-License-Identifier: Apache-2.0
// Index files: shared pieces of the writer and the reader.
//
// Layout (little-endian, no padding): the type word, then the family body
// (index_file_ivf.cpp, index_file_hnsw.cpp), then for quantised types the
// quantiser block. Every count and size read from a file is checked against
// the bytes left before anything is allocated for it, and the whole load is
// held to a memory budget proportional to the file's size, so a few hostile
// bytes can never make the loader claim gigabytes.
#ifndef RK_INDEX_INDEX_FILE_H
#define RK_INDEX_INDEX_FILE_H

#include <cstdint>

#include "index/index.h"
#include "index/index_file_io.h"

struct rk_pq_t;
struct rk_sq_quantizer_t;

namespace rk {

// Memory a load may claim: a fixed floor (so small files of legitimately
// sparse or wide indexes load) plus a multiple of the file's size.
class LoadBudget {
public:
    explicit LoadBudget(uint64_t file_size);
    // Takes count * unit bytes from the budget; false (nothing taken) when
    // that overflows or exceeds what is left.
    [[nodiscard]] bool take(uint64_t count, uint64_t unit);

private:
    uint64_t left_;
};

// The state a family loader works with.
struct LoadContext {
    rk_arena_t *arena;
    uint32_t type;
    FileReader &in;
    LoadBudget &budget;
};

[[nodiscard]] rk_status_t save_ivf(const rk_index_t *ix, FileWriter &out);
[[nodiscard]] rk_status_t save_hnsw(const rk_index_t *ix, FileWriter &out);

// Each reads the body after the type word; null when no index could be made
// (headers missing or refused), else the index with what was read.
rk_index_t *load_ivf(LoadContext &ctx);
rk_index_t *load_hnsw(LoadContext &ctx);

// Quantiser blocks.
void save_pq(const rk_pq_t *pq, FileWriter &out);
void save_sq(const rk_sq_quantizer_t *sq, FileWriter &out);
// Size in bytes of a PQ block for vectors of dim with ksub centroids per
// codebook; false on overflow.
[[nodiscard]] bool pq_block_size(uint32_t dim, uint64_t ksub, uint64_t *bytes);
// Reads a PQ block for vectors of dim; null when it is missing, does not
// describe dim, or exceeds the file or the budget.
rk_pq_t *load_pq(LoadContext &ctx, uint32_t dim);
// Reads an SQ block for vectors of dim into a new quantiser; null as load_pq.
rk_sq_quantizer_t *load_sq(LoadContext &ctx, uint32_t dim);

}  // namespace rk

#endif
