// SPDX-License-Identifier: Apache-2.0
// rk_index_save / rk_index_load and the quantiser blocks shared by both
// families.
#include "index/index_file.h"

#include "core/status.h"
#include "rk_quant.h"

namespace rk {
namespace {

// A load may always claim this much, and beyond it kLoadPerFileByte bytes for
// every byte of the file. The floor lets small files of sparse indexes load
// (a graph whose ids reach four million needs a 64 MiB slot table however
// few nodes it holds); the factor covers graph links, which are sized by
// their caps rather than by what the file lists.
constexpr uint64_t kLoadFloor = 64ull << 20;
constexpr uint64_t kLoadPerFileByte = 16;

}  // namespace

LoadBudget::LoadBudget(uint64_t file_size) {
    uint64_t scaled;
    if (__builtin_mul_overflow(file_size, kLoadPerFileByte, &scaled)) scaled = UINT64_MAX;
    left_ = scaled > kLoadFloor ? scaled : kLoadFloor;
}

bool LoadBudget::take(uint64_t count, uint64_t unit) {
    uint64_t bytes;
    if (__builtin_mul_overflow(count, unit, &bytes) || bytes > left_) return false;
    left_ -= bytes;
    return true;
}

// ---- quantiser blocks ---------------------------------------------------

void save_pq(const rk_pq_t *pq, FileWriter &out) {
    out.put_u32(pq->dim);
    out.put_u32(pq->m);
    out.put_u32(pq->ksub);
    out.put_u32(pq->dsub);
    for (uint32_t i = 0; i < pq->m; ++i) {
        out.put_f32s(pq->codebooks[i], static_cast<size_t>(pq->ksub) * pq->dsub);
    }
}

void save_sq(const rk_sq_quantizer_t *sq, FileWriter &out) {
    out.put_u32(sq->dim);
    out.put_f32s(sq->min, sq->dim);
    out.put_f32s(sq->max, sq->dim);
    out.put_f32s(sq->scale, sq->dim);
}

bool pq_block_size(uint32_t dim, uint64_t ksub, uint64_t *bytes) {
    uint64_t floats;
    if (__builtin_mul_overflow(ksub, static_cast<uint64_t>(dim), &floats)) return false;
    if (__builtin_mul_overflow(floats, 4, &floats)) return false;
    return !__builtin_add_overflow(floats, 16, bytes);
}

rk_pq_t *load_pq(LoadContext &ctx, uint32_t dim) {
    uint32_t pdim, m, ksub, dsub;
    FileReader &in = ctx.in;
    if (!in.get_u32(&pdim) || !in.get_u32(&m) || !in.get_u32(&ksub) || !in.get_u32(&dsub)) return nullptr;
    // The block must describe the index's vectors exactly, and ksub must be a
    // power of two: the quantiser is rebuilt with the bits per code that give
    // that ksub, so it encodes new vectors as the saved one did.
    if (pdim != dim || m == 0 || dim % m != 0 || dsub != dim / m) return nullptr;
    if (ksub == 0 || (ksub & (ksub - 1)) != 0) return nullptr;
    if (!in.has(static_cast<uint64_t>(ksub) * dim, 4) ||
        !ctx.budget.take(static_cast<uint64_t>(ksub) * dim, 4)) {
        return nullptr;
    }
    const uint32_t nbits = static_cast<uint32_t>(__builtin_ctz(ksub));
    rk_pq_t *pq = nullptr;
    if (rk_pq_create(ctx.arena, dim, m, nbits, &pq) != RK_OK || pq->ksub != ksub) return nullptr;
    for (uint32_t i = 0; i < m; ++i) {
        if (!in.get_f32s(pq->codebooks[i], static_cast<size_t>(ksub) * dsub)) return nullptr;
    }
    return pq;
}

rk_sq_quantizer_t *load_sq(LoadContext &ctx, uint32_t dim) {
    uint32_t sdim;
    FileReader &in = ctx.in;
    if (!in.get_u32(&sdim) || sdim != dim) return nullptr;
    if (!in.has(3ull * dim, 4) || !ctx.budget.take(3ull * dim, 4)) return nullptr;
    rk_sq_quantizer_t *sq = rk_sq_quantizer_create(ctx.arena, dim);
    if (!sq) return nullptr;
    if (!in.get_f32s(sq->min, dim) || !in.get_f32s(sq->max, dim) || !in.get_f32s(sq->scale, dim)) {
        return nullptr;
    }
    return sq;
}

}  // namespace rk

extern "C" {

RK_API rk_status_t rk_index_save(const rk_index_t *index, const rk_string_t *path) {
    if (!index || !path || !path->data) return RK_ERR_INVALID_ARG;
    rk::FileWriter out;
    if (!out.open(path->data)) return RK_ERR_IO;
    out.put_u32(index->type);
    const rk::TypeInfo *info = rk::type_info(index->type);
    if (!info || !rk::has_impl(index)) {
        return out.close() ? RK_ERR_NOT_SUPPORTED : RK_ERR_IO;
    }
    const rk_status_t body = info->family->save(index, out);
    const bool closed = out.close();
    if (body != RK_OK) return body;
    return closed ? RK_OK : RK_ERR_IO;
}

RK_API rk_index_t *rk_index_load(rk_arena_t *arena, const rk_string_t *path) {
    if (!arena || !path || !path->data) return nullptr;
    rk::FileReader in;
    if (!in.open(path->data)) return nullptr;
    uint32_t type;
    if (!in.get_u32(&type)) return nullptr;
    const rk::TypeInfo *info = rk::type_info(type);
    if (!info) return nullptr;
    rk::LoadBudget budget(in.size());
    rk::LoadContext ctx{arena, type, in, budget};
    return info->family->load(ctx);
}

}  // extern "C"
