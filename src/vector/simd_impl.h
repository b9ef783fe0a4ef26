// SPDX-License-Identifier: Apache-2.0
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
// Reading W rows side by side, a few bytes of each per step, is a pattern
// the hardware prefetchers follow badly: from main memory it ran at a third
// of a plain read. So while one group is computed, the lines of a group
// further on are requested row after row in memory order, a few per step:
// the memory sees one forward stream, and the rows wait in the second-level
// cache when their group comes. The requests only fetch; nothing computed
// depends on them.
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

// One register of W rows: one accumulator, so each step's four additions
// wait on each other. group2 below runs two groups side by side, whose two
// chains overlap (used where that pays, see many); group serves the rest.
// Requests the cache lines of rows[0..count) in memory order, per_step
// lines at each step() call.
struct Ahead {
    const float *const *next = nullptr;  // next row to start
    const float *const *stop = nullptr;  // one past the last row
    const char *line = nullptr;          // next line of the current row
    const char *end = nullptr;           // one past the current row
    size_t row_bytes = 0;
    uint32_t per_step = 0;

    void step() {
        for (uint32_t k = 0; k < per_step; ++k) {
            if (line >= end) {
                if (next == stop) return;
                const char *start = reinterpret_cast<const char *>(*next++);
                end = start + row_bytes;
                line = reinterpret_cast<const char *>(reinterpret_cast<uintptr_t>(start) & ~uintptr_t(63));
            }
            // Into the second-level cache: a large group fetched into the
            // first level would push out its own lines before they are used.
            __builtin_prefetch(line, 0, 2);
            line += 64;
        }
    }
};

template <class I, Op op>
inline void group(const float *q, const float *const *rows, Ahead &ahead, uint32_t dim, float *out) {
    using V = typename I::V;
    V acc = I::zero();
    uint32_t j = 0;
    for (; j + 4 <= dim; j += 4) {
        ahead.step();
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

// Two groups of W rows (rows[0..W) and rows[W..2W)) in one pass: two
// independent accumulator chains, so the additions of one group run while
// the other's wait. Each lane still adds its own row's terms in index order,
// exactly as group does.
template <class I, Op op>
inline void group2(const float *q, const float *const *rows, Ahead &ahead, uint32_t dim, float *out) {
    using V = typename I::V;
    constexpr size_t W = I::W;
    V a0 = I::zero(), a1 = I::zero();
    uint32_t j = 0;
    for (; j + 4 <= dim; j += 4) {
        ahead.step();
        V c0[4], c1[4];
        I::columns4(rows, j, c0);
        I::columns4(rows + W, j, c1);
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) {
            const V qj = op == Op::SqNorm ? I::zero() : I::set1(q[j + k]);
            a0 = I::add(a0, term<I, op>(qj, c0[k]));
            a1 = I::add(a1, term<I, op>(qj, c1[k]));
        }
    }
    for (; j < dim; ++j) {
        const V qj = op == Op::SqNorm ? I::zero() : I::set1(q[j]);
        a0 = I::add(a0, term<I, op>(qj, I::column(rows, j)));
        a1 = I::add(a1, term<I, op>(qj, I::column(rows + W, j)));
    }
    I::store(out, a0);
    I::store(out + W, a1);
}

// How far ahead the fetched group runs: about this many bytes, and at least
// two groups (measured on 16..960 dimensions; nearer lets the memory's
// latency show, farther spills the cache).
constexpr size_t kAheadBytes = 8192;

// rows[n .. n + ahead) are rows the caller measures next: only fetched.
template <class I, Op op>
inline void many(const float *q, const float *const *rows, size_t n, size_t ahead, uint32_t dim, float *out) {
    constexpr size_t W = I::W;
    const size_t row_bytes = size_t(dim) * sizeof(float);
    const size_t group_bytes = W * row_bytes;
    const size_t groups_ahead =
        group_bytes * 2 >= kAheadBytes ? 2 : (kAheadBytes + group_bytes - 1) / group_bytes;
    // A group's lines (one more per row that starts inside a line) spread
    // over its dim / 4 steps, rounded up.
    const size_t steps = dim / 4;
    const size_t lines = W * ((row_bytes + 63) / 64 + 1);
    const uint32_t per_step = steps ? uint32_t((lines + steps - 1) / steps) : 0;
    const size_t known = n + ahead;
    size_t i = 0;
    // Pairs of groups, each pair fetching the pair as far ahead, for the
    // narrow registers only: with four lanes a step's loads and shuffles are
    // few and the dependent additions set its pace (pairs measured 1.2 to
    // 1.8 times as fast); with eight lanes and more the shuffles dominate
    // and the second group's eight registers spill (pairs measured up to a
    // third slower at 784 dimensions).
    for (; W <= 4 && i + 2 * W <= n; i += 2 * W) {
        Ahead fetch;
        const size_t first = i + groups_ahead * W;
        if (first < known) {
            fetch.next = rows + first;
            fetch.stop = rows + (known - first < 2 * W ? known : first + 2 * W);
            fetch.row_bytes = row_bytes;
            fetch.per_step = 2 * per_step;
        }
        group2<I, op>(q, rows + i, fetch, dim, out + i);
    }
    for (; i + W <= n; i += W) {
        Ahead fetch;
        const size_t first = i + groups_ahead * W;
        if (first < known) {
            fetch.next = rows + first;
            fetch.stop = rows + (known - first < W ? known : first + W);
            fetch.row_bytes = row_bytes;
            fetch.per_step = per_step;
        }
        group<I, op>(q, rows + i, fetch, dim, out + i);
    }
    if (i == n) return;
    // Fewer than W rows left: pad with the first of them.
    const float *pad[W];
    float res[W];
    const size_t left = n - i;
    for (size_t r = 0; r < W; ++r) pad[r] = rows[i + (r < left ? r : 0)];
    Ahead none;
    group<I, op>(q, pad, none, dim, res);
    for (size_t r = 0; r < left; ++r) out[i + r] = res[r];
}

// Two queries against one group of W rows: the group's columns are
// transposed once and feed one accumulator per query, two independent
// chains. Each lane of each adds its own pair's terms in index order, as
// group does. Rows here are ones just measured (cached): nothing is fetched.
template <class I, Op op>
inline void group_q2(const float *q0, const float *q1, const float *const *rows, uint32_t dim, float *out0,
                     float *out1) {
    using V = typename I::V;
    V a0 = I::zero(), a1 = I::zero();
    uint32_t j = 0;
    for (; j + 4 <= dim; j += 4) {
        V c[4];
        I::columns4(rows, j, c);
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) {
            a0 = I::add(a0, term<I, op>(I::set1(q0[j + k]), c[k]));
            a1 = I::add(a1, term<I, op>(I::set1(q1[j + k]), c[k]));
        }
    }
    for (; j < dim; ++j) {
        const V c = I::column(rows, j);
        a0 = I::add(a0, term<I, op>(I::set1(q0[j]), c));
        a1 = I::add(a1, term<I, op>(I::set1(q1[j]), c));
    }
    I::store(out0, a0);
    I::store(out1, a1);
}

template <class I, Op op>
inline void many_q2(const float *q0, const float *q1, const float *const *rows, size_t n, uint32_t dim,
                    float *out0, float *out1) {
    constexpr size_t W = I::W;
    size_t i = 0;
    for (; i + W <= n; i += W) group_q2<I, op>(q0, q1, rows + i, dim, out0 + i, out1 + i);
    if (i == n) return;
    const float *pad[W];
    float r0[W], r1[W];
    const size_t left = n - i;
    for (size_t r = 0; r < W; ++r) pad[r] = rows[i + (r < left ? r : 0)];
    group_q2<I, op>(q0, q1, pad, dim, r0, r1);
    for (size_t r = 0; r < left; ++r) {
        out0[i + r] = r0[r];
        out1[i + r] = r1[r];
    }
}
