// SPDX-License-Identifier: Apache-2.0
// Quantiser glue of the IVF index: training the quantiser the type calls
// for, encoding rows, and scoring code entries during a scan.
//
// Scoring: PQ entries go through rk_pq_distance with the index's metric; for
// the metrics that derive from the squared sum (0 among them) a per-query
// table of partial sums gives the same bits with m lookups per entry. SQ
// entries are scored as their decoded vectors would be as float entries:
// squared L2, negated dot product or cosine distance.
#include <cstring>

#include "index/ivf_internal.h"
#include "quant/pq.h"
#include "rk_error.h"
#include "rk_vector.h"
#include "vector/kernels.h"

namespace rk {
namespace {

bool pq_uses_table(const rk_ivf_t *ivf) {
    return ivf->pq && pq_metric_uses_l2sq(static_cast<int>(ivf->metric));
}

// Decodes n SQ codes into rows of dim floats (a true division per component,
// as the quantiser decodes).
void decode_sq(const rk_sq_quantizer_t *sq, const unsigned char *codes, size_t n, float *out) {
    const uint32_t dim = sq->dim;
    for (size_t r = 0; r < n; ++r) {
        const unsigned char *c = codes + r * dim;
        float *o = out + r * dim;
        for (uint32_t j = 0; j < dim; ++j) o[j] = static_cast<float>(c[j]) / sq->scale[j] + sq->min[j];
    }
}

}  // namespace

uint32_t pq_code_bytes(const rk_pq_t *pq) { return pq ? pq->m : 0; }

rk_status_t train_quantiser(rk_ivf_t *ivf, const float *data, uint64_t count) {
    if (ivf->type == 3 && ivf->pq) return rk_pq_train(ivf->pq, data, count);
    if (ivf->type == 5 && ivf->sq) return rk_sq_quantizer_train(ivf->sq, data, count);
    const bool sq_wanted = ivf->quantization == 1 || ivf->quantization == 2;
    if (ivf->type != 5 && sq_wanted && ivf->sq) return rk_sq_quantizer_train(ivf->sq, data, count);
    return RK_OK;
}

rk_status_t encode_row(const rk_ivf_t *ivf, const float *row, unsigned char *dst) {
    if (ivf->payload == IvfPayload::kPq) {
        rk_pq_encode(ivf->pq, row, dst);
        return RK_OK;
    }
    if (ivf->payload == IvfPayload::kSq) return rk_sq_quantize(ivf->sq, row, dst);
    return RK_ERR_INVALID_ARG;
}

size_t code_scratch_floats(const rk_ivf_t *ivf) {
    if (ivf->payload == IvfPayload::kPq) return pq_uses_table(ivf) ? pq_table_floats(ivf->pq) : 0;
    if (ivf->payload == IvfPayload::kSq) return kScanBlock * size_t{ivf->dim};
    return 0;
}

void prepare_code_query(const rk_ivf_t *ivf, float *buf, CodeQuery *cq) {
    if (ivf->payload == IvfPayload::kPq && pq_uses_table(ivf)) {
        cq->pq_table = buf;
        pq_build_l2_table(ivf->pq, cq->q, buf);
    } else if (ivf->payload == IvfPayload::kSq) {
        cq->decoded = buf;
    }
}

void score_pq(const rk_ivf_t *ivf, const CodeQuery &cq, const unsigned char *codes, size_t n, float *out) {
    const rk_pq_t *pq = ivf->pq;
    const uint32_t m = ivf->payload_bytes;
    const int metric = static_cast<int>(ivf->metric);
    if (cq.pq_table) {
        for (size_t i = 0; i < n; ++i)
            out[i] = pq_distance_from_l2sq(pq_table_l2sq(pq, cq.pq_table, codes + i * m), metric);
        return;
    }
    for (size_t i = 0; i < n; ++i) out[i] = rk_pq_distance(pq, cq.q, codes + i * m, ivf->metric);
}

void score_sq(const rk_ivf_t *ivf, const CodeQuery &cq, const unsigned char *codes, size_t n, float *out) {
    const uint32_t dim = ivf->dim;
    decode_sq(ivf->sq, codes, n, cq.decoded);
    if (ivf->metric == 0) {
        kern::l2sq_block(cq.q, cq.decoded, n, dim, dim, out);
        return;
    }
    kern::dot_block(cq.q, cq.decoded, n, dim, dim, out);
    if (ivf->metric == 1) {
        for (size_t i = 0; i < n; ++i) out[i] = -out[i];
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        const float *d = cq.decoded + i * dim;
        out[i] = cosine_from(out[i], cq.qnorm, rk_math_sqrt_f32(kern::dot(d, d, dim)));
    }
}

}  // namespace rk
