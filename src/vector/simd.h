// SPDX-License-Identifier: Apache-2.0
// Per-instruction-set batch kernels behind rk::kern. Each set lives in its
// own translation unit compiled for that set; nothing from those units may
// run before the processor check in kernels.cpp has passed.
#ifndef RK_VECTOR_SIMD_H
#define RK_VECTOR_SIMD_H

#include <cstddef>
#include <cstdint>

#include "vector/kernels.h"

namespace rk::kern::detail {

// One query against n rows; for sqnorm the query is ignored. rows[n ..
// n + ahead) are valid rows the caller measures next: a kernel may fetch
// their memory early but computes nothing from them.
using ManyFn = void (*)(const float *q, const float *const *rows, size_t n, size_t ahead, uint32_t dim,
                        float *out);

// nq queries against n rows packed in panels of eight (kernels.h):
// out[i * ldo + r] is query i against row r.
using PanelFn = void (*)(const float *const *qs, size_t nq, const float *panels, size_t n, uint32_t dim,
                         float *out, size_t ldo);

// Two queries against the same n rows: out0[r] is q0 against row r, out1[r]
// q1 against it.
using Many2Fn = void (*)(const float *q0, const float *q1, const float *const *rows, size_t n, uint32_t dim,
                         float *out0, float *out1);

using BoundFn = void (*)(const float *const *qs, size_t nq, const float *panels, size_t n, uint32_t dim,
                         const ScreenArgs &a, float *out, size_t ldo, float *least8);

struct Table {
    ManyFn l2sq;
    ManyFn dot;
    ManyFn sqnorm;
    PanelFn l2sq_panels;
    PanelFn dot_panels;
    BoundFn l2_bounds;
    Many2Fn l2sq2;
    Many2Fn dot2;
};

extern const Table kScalarTable;
extern const Table kSse2Table;
extern const Table kAvx2Table;
extern const Table kAvx512Table;

}  // namespace rk::kern::detail

#endif
