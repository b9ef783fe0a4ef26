// Quantiser glue of the IVF index: training, encoding and scoring codes.
// Until the quantisers exist every entry carries its float vector.
#include <cfloat>

#include "index/ivf_internal.h"
#include "rk_error.h"

namespace rk {

uint32_t pq_code_bytes(const rk_pq_t *) { return 0; }

rk_status_t train_quantiser(rk_ivf_t *, const float *, uint64_t) { return RK_OK; }

rk_status_t encode_row(const rk_ivf_t *, const float *, unsigned char *) { return RK_ERR_NOT_SUPPORTED; }

void score_pq(const rk_ivf_t *, const float *, const unsigned char *, size_t n, float *out) {
    for (size_t i = 0; i < n; ++i) out[i] = FLT_MAX;
}

void score_sq(const rk_ivf_t *, const float *, float, const unsigned char *, size_t n, float *,
              float *out) {
    for (size_t i = 0; i < n; ++i) out[i] = FLT_MAX;
}

}  // namespace rk
