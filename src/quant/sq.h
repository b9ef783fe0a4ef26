// SPDX-License-Identifier: Apache-2.0
// Internal entry points of the scalar quantiser for the indexes.
#ifndef RK_QUANT_SQ_H
#define RK_QUANT_SQ_H

#include <cstdint>

#include "rk_quant.h"

namespace rk {

// Component i of a code, decoded: code / scale[i] + min[i] (a true division).
inline float sq_decode_one(const rk_sq_quantizer_t *sq, const uint8_t *code, uint32_t i) {
    return static_cast<float>(code[i]) / sq->scale[i] + sq->min[i];
}

// Squared Euclidean distance between a query and a decoded code, summed in
// index order from +0.0: rk_sq_distance with metric 0 is the library square
// root of exactly this value. sq, code and query must be valid.
float sq_l2sq(const rk_sq_quantizer_t *sq, const uint8_t *code, const float *query);

}  // namespace rk

#endif
