// The batch kernel shared by every instruction set. Included only by the
// per-set units (simd_sse2.cpp, simd_avx2.cpp, simd_avx512.cpp) after their
// `#pragma GCC target`, and only inside an anonymous namespace there, so each
// instantiation is compiled for its own set and never merged with another.
//
// Lane r of an accumulator register holds row r's sum. Each step adds the
// next index's term to every lane, so every lane sees exactly the sequence of
// roundings of the one-row loop: +0.0, then term 0, term 1, ... in order.
// Registers of W lanes are filled four indices at a time by loading four
// floats from each row and transposing within 128-bit lanes; indices past the
// last multiple of four are gathered one at a time. Partial groups of rows
// repeat a real row pointer in the unused lanes and drop those results.
//
// An ISA struct provides:
//   V; W (lanes); zero(); set1(x); add/sub/mul(a, b); store(out, v);
//   columns4(rows, j, c[4]): c[k] lane r = rows[r][j + k] for r < W;
//   column(rows, j): lane r = rows[r][j].

enum class Op { L2, Dot, SqNorm };

template <class I, Op op>
inline typename I::V term(typename I::V qj, typename I::V col) {
    if constexpr (op == Op::L2) {
        const typename I::V d = I::sub(qj, col);
        return I::mul(d, d);
    } else if constexpr (op == Op::Dot) {
        return I::mul(qj, col);
    } else {
        (void)qj;
        return I::mul(col, col);
    }
}

// One register of W rows. A single accumulator chain per group is enough:
// each step of four indices already spends more time on loads and
// transposing shuffles than the four dependent additions take, and keeping
// only W row pointers live avoids spilling them (pairs of groups measured no
// faster).
template <class I, Op op>
inline void group(const float *q, const float *const *rows, uint32_t dim, float *out) {
    using V = typename I::V;
    V acc = I::zero();
    uint32_t j = 0;
    for (; j + 4 <= dim; j += 4) {
        V c[4];
        I::columns4(rows, j, c);
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) {
            const V qj = op == Op::SqNorm ? I::zero() : I::set1(q[j + k]);
            acc = I::add(acc, term<I, op>(qj, c[k]));
        }
    }
    for (; j < dim; ++j) {
        const V qj = op == Op::SqNorm ? I::zero() : I::set1(q[j]);
        acc = I::add(acc, term<I, op>(qj, I::column(rows, j)));
    }
    I::store(out, acc);
}

template <class I, Op op>
inline void many(const float *q, const float *const *rows, size_t n, uint32_t dim, float *out) {
    constexpr size_t W = I::W;
    size_t i = 0;
    for (; i + W <= n; i += W) group<I, op>(q, rows + i, dim, out + i);
    if (i == n) return;
    // Fewer than W rows left: pad with the first of them.
    const float *pad[W];
    float res[W];
    const size_t left = n - i;
    for (size_t r = 0; r < W; ++r) pad[r] = rows[i + (r < left ? r : 0)];
    group<I, op>(q, pad, dim, res);
    for (size_t r = 0; r < left; ++r) out[i + r] = res[r];
}
