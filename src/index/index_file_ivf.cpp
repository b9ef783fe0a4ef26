// SPDX-License-Identifier: Apache-2.0
// IVF index files (types 1, 3, 5).
//
// After the type word: dim, nlist, metric (u32 each), trained (u8),
// params.nlist, params.nprobe, params.train_iterations (u32 each), nlist
// centroids of dim floats, then per list a u32 count and count entries (u64
// id and its payload: m code bytes for type 3 with a product quantiser, dim
// code bytes for type 5 with a scalar quantiser, else dim floats), then the
// quantiser block of types 3 and 5.
//
// An IVF-PQ file stores the code length m only in its trailing PQ block. The
// block's size follows from dim and its ksub, so the reader finds it by
// trying each power-of-two ksub against the end of the file, reads the
// quantiser first, and then parses the lists, which end where the block
// begins. Files keep the layout above unchanged.
#include <cstring>

#include "core/alloc.h"
#include "core/status.h"
#include "index/index_file.h"
#include "index/ivf.h"
#include "rk_quant.h"

namespace rk {
namespace {

constexpr uint32_t kMaxKsubBits = 8;   // codes are one byte per sub-quantiser
constexpr uint64_t kHeaderBytes = 29;  // including the type word
// What one list costs before it holds anything: its record, its lock, and
// its centroid (counted separately).
constexpr uint64_t kListOverhead = sizeof(IvfList) + 64;
// Room an entry can take once loaded: lists grow by doubling, so up to twice
// its id, payload and stored norm.
constexpr uint64_t kEntryGrowth = 2;

struct IvfHeader {
    uint32_t dim, nlist, metric, nlist2, nprobe, iterations;
    uint8_t trained;
};

bool read_header(FileReader &in, IvfHeader *h) {
    return in.get_u32(&h->dim) && in.get_u32(&h->nlist) && in.get_u32(&h->metric) && in.get_u8(&h->trained) &&
           in.get_u32(&h->nlist2) && in.get_u32(&h->nprobe) && in.get_u32(&h->iterations);
}

// Whether the header describes an index this reader can make: both list
// counts agree, the centroids are in the file, and the lists fit the budget.
bool header_acceptable(const IvfHeader &h, LoadContext &ctx) {
    if (h.dim == 0 || h.nlist == 0 || h.nlist != h.nlist2) return false;
    if (h.metric > RK_METRIC_COSINE || h.trained > 1) return false;
    const uint64_t centroid_floats = static_cast<uint64_t>(h.nlist) * h.dim;
    if (!ctx.in.has(centroid_floats, 4)) return false;
    // Type 5 also makes a scalar quantiser of three dim-float arrays.
    const uint64_t sq_floats = ctx.type == RK_INDEX_IVF_SQ ? 3ull * h.dim : 0;
    return ctx.budget.take(centroid_floats + sq_floats, 4) && ctx.budget.take(h.nlist, kListOverhead);
}

// Where a type-3 file's PQ block starts, with its code length m; false when
// the file does not end in a block that describes vectors of dim.
bool find_pq_block(FileReader &in, uint32_t dim, uint64_t lists_start, uint64_t *offset) {
    for (uint32_t bits = 0; bits <= kMaxKsubBits; ++bits) {
        const uint64_t ksub = 1ull << bits;
        uint64_t bytes;
        if (!pq_block_size(dim, ksub, &bytes) || bytes > in.size() - lists_start) break;
        const uint64_t at = in.size() - bytes;
        uint32_t h[4];
        if (!in.seek(at) || !in.get_u32(&h[0]) || !in.get_u32(&h[1]) || !in.get_u32(&h[2]) ||
            !in.get_u32(&h[3])) {
            continue;
        }
        if (h[0] == dim && h[1] != 0 && dim % h[1] == 0 && h[3] == dim / h[1] && h[2] == ksub) {
            *offset = at;
            return true;
        }
    }
    return false;
}

// The product quantiser a type-3 file ends with, read before the lists so
// that they can be parsed with its code length; null when there is none.
rk_pq_t *read_trailing_pq(LoadContext &ctx, uint32_t dim, uint64_t *offset) {
    if (ctx.type != RK_INDEX_IVF_PQ) return nullptr;
    rk_pq_t *pq = nullptr;
    if (find_pq_block(ctx.in, dim, kHeaderBytes, offset) && ctx.in.seek(*offset)) pq = load_pq(ctx, dim);
    return pq;
}

// Reads one list's entries through a payload-sized scratch row; false when
// the file ends (or memory runs out) before all of them are in.
bool load_list(LoadContext &ctx, rk_ivf_t *v, uint32_t list, float *row) {
    FileReader &in = ctx.in;
    uint32_t count;
    if (!in.get_u32(&count)) return false;
    const uint64_t bytes = v->payload_bytes;
    const uint64_t fit = in.remaining() / (8 + bytes);
    const uint64_t n = count < fit ? count : fit;
    if (!ctx.budget.take(n, kEntryGrowth * (8 + bytes + sizeof(float)))) return false;
    for (uint64_t i = 0; i < n; ++i) {
        uint64_t id;
        if (!in.get_u64(&id)) return false;
        const bool read = v->payload == IvfPayload::kFloat ? in.get_f32s(row, v->dim) : in.get(row, bytes);
        if (!read || ivf_append_raw(v, list, id, row) != RK_OK) return false;
    }
    return n == count;
}

}  // namespace

rk_status_t save_ivf(const rk_index_t *ix, FileWriter &out) {
    rk_ivf_t *v = ix->impl.ivf;
    out.put_u32(v->dim);
    out.put_u32(v->nlist);
    out.put_u32(v->metric);
    out.put_u8(v->trained ? 1 : 0);
    out.put_u32(v->params.nlist);
    out.put_u32(v->params.nprobe);
    out.put_u32(v->params.train_iterations);
    // Read in place: ivf_centroid would mark the packed copy stale.
    for (uint32_t i = 0; i < v->nlist; ++i)
        out.put_f32s(v->centroids + static_cast<size_t>(i) * v->dim, v->dim);
    for (uint32_t i = 0; i < v->nlist; ++i) {
        const uint64_t count = rk_ivf_get_list_size(v, i);
        // The file counts a list in 32 bits.
        if (count > UINT32_MAX) return RK_ERR_TOO_LARGE;
        out.put_u32(static_cast<uint32_t>(count));
        for (uint64_t j = 0; j < count; ++j) {
            uint64_t id;
            const void *payload;
            if (!ivf_entry(v, i, j, &id, &payload)) return RK_ERR_UNKNOWN;
            out.put_u64(id);
            if (v->payload == IvfPayload::kFloat)
                out.put_f32s(static_cast<const float *>(payload), v->dim);
            else
                out.put(payload, v->payload_bytes);
        }
    }
    if (v->payload == IvfPayload::kPq) save_pq(v->pq, out);
    if (ix->type == RK_INDEX_IVF_SQ && v->sq) save_sq(v->sq, out);
    return out.ok() ? RK_OK : RK_ERR_IO;
}

rk_index_t *load_ivf(LoadContext &ctx) {
    FileReader &in = ctx.in;
    IvfHeader h;
    if (!read_header(in, &h) || !header_acceptable(h, ctx)) return nullptr;
    uint64_t pq_offset = in.size();
    rk_pq_t *pq = read_trailing_pq(ctx, h.dim, &pq_offset);
    if (!in.seek(kHeaderBytes)) return nullptr;
    HookPtr<float> row = hook_unique_array<float>(h.dim);
    if (!row) return nullptr;

    rk_index_config_t cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.type = ctx.type;
    cfg.metric = h.metric;
    cfg.dimension = h.dim;
    cfg.params.ivf.nlist = h.nlist;
    cfg.params.ivf.nprobe = h.nprobe;
    cfg.params.ivf.train_iterations = h.iterations;
    rk_index_t *ix = index_create_in(ctx.arena, &cfg);
    if (!ix) return nullptr;
    rk_ivf_t *v = ix->impl.ivf;
    ivf_set_trained(v, h.trained);
    if (pq && ivf_bind(v, ctx.type, 0, pq, nullptr) != RK_OK) return ix;
    for (uint32_t i = 0; i < h.nlist; ++i) {
        if (!in.get_f32s(ivf_centroid(v, i), h.dim)) return ix;
    }
    ivf_set_trained(v, h.trained);  // packs the centroids just read for searching
    // The lists end where a trailing PQ block begins.
    in.set_limit(pq_offset);
    bool complete = true;
    for (uint32_t i = 0; i < h.nlist && complete; ++i) complete = load_list(ctx, v, i, row.get());
    in.set_limit(in.size());
    if (complete && ctx.type == RK_INDEX_IVF_SQ) {
        if (rk_sq_quantizer_t *sq = load_sq(ctx, h.dim))
            (void)ivf_bind(v, ctx.type, v->quantization, nullptr, sq);
    }
    return ix;
}

}  // namespace rk
