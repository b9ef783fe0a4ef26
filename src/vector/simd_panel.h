// SPDX-License-Identifier: Apache-2.0
// The many-against-many kernel shared by every instruction set: queries
// against rows packed eight to a panel (kernels.h). Included only by the
// per-set units after their `#pragma GCC target`, inside an anonymous
// namespace, like simd_impl.h.
//
// A panel holds index j of its eight rows side by side, so one load gives
// the next term's column and one broadcast the query's value: no
// transposing. Each lane of each accumulator is one (query, row) sum, fed
// +0.0 then term 0, term 1, ... in index order, so it has exactly the bits
// of the one-pair loop. Speed comes from keeping Q x P sums in flight:
// enough independent additions to hide their latency, and each loaded
// column serving Q queries.
//
// A P8 struct provides an eight-lane vector:
//   V; zero(); load(p) (eight floats); bcast(p) (one float to all lanes);
//   add/sub/mul(a, b); store(out, v) (eight floats).
// A wider struct sets kSpan = 2: its registers hold two neighbouring
// panels' columns side by side (load2(a, b)), so its sixteen lanes are
// sixteen consecutive rows, and a panel left without a neighbour goes to
// its Narrow (eight-lane) struct.

template <class I>
constexpr size_t span_of() {
    if constexpr (requires { I::kSpan; }) {
        return I::kSpan;
    } else {
        return 1;
    }
}

template <class I>
inline typename I::V load_cols(const float *p, size_t pstride) {
    if constexpr (span_of<I>() == 2) {
        return I::load2(p, p + pstride);
    } else {
        (void)pstride;
        return I::load(p);
    }
}

template <class I, Op op>
inline typename I::V panel_term(typename I::V x, typename I::V col) {
    if constexpr (op == Op::L2) {
        const typename I::V d = I::sub(x, col);
        return I::mul(d, d);
    } else {
        return I::mul(x, col);
    }
}

// The sums as they are (every caller but the screening below).
struct Plain {
    template <class V>
    V apply(size_t, size_t, V v) const {
        return v;
    }
};

// Q queries against P consecutive panels. rows_left is the number of packed
// rows from the first of them on; lanes at or past it are not written. Each
// finished accumulator passes through epi.apply(query, first row, sums),
// where query and row count from the start of the whole call (q0, r0).
template <class I, Op op, int Q, int P, class Epi>
inline void panel_tile(const float *const *qs, const float *pan, uint32_t dim, size_t rows_left, float *out,
                       size_t ldo, const Epi &epi, size_t q0, size_t r0) {
    using V = typename I::V;
    constexpr size_t S = span_of<I>(), L = 8 * S;
    const size_t pstride = size_t(8) * dim;
    V acc[Q][P];
#pragma GCC unroll 4
    for (int q = 0; q < Q; ++q)
#pragma GCC unroll 4
        for (int p = 0; p < P; ++p) acc[q][p] = I::zero();
    for (uint32_t j = 0; j < dim; ++j) {
        V col[P];
#pragma GCC unroll 4
        for (int p = 0; p < P; ++p) col[p] = load_cols<I>(pan + p * S * pstride + size_t(8) * j, pstride);
#pragma GCC unroll 4
        for (int q = 0; q < Q; ++q) {
            const V x = I::bcast(qs[q] + j);
#pragma GCC unroll 4
            for (int p = 0; p < P; ++p) acc[q][p] = I::add(acc[q][p], panel_term<I, op>(x, col[p]));
        }
    }
#pragma GCC unroll 4
    for (int q = 0; q < Q; ++q) {
#pragma GCC unroll 4
        for (int p = 0; p < P; ++p) {
            acc[q][p] = epi.apply(q0 + size_t(q), r0 + size_t(p) * L, acc[q][p]);
            float *o = out + size_t(q) * ldo + size_t(p) * L;
            const size_t have = rows_left - size_t(p) * L;
            if (have >= L) {
                I::store(o, acc[q][p]);
            } else {
                float tmp[L];
                I::store(tmp, acc[q][p]);
                for (size_t r = 0; r < have; ++r) o[r] = tmp[r];
            }
        }
    }
}

// Q queries against panels [first, end) of a tile.
template <class I, Op op, int Q, class Epi>
inline void panel_run(const float *const *qs, const float *panels, size_t first, size_t end, size_t n,
                      uint32_t dim, float *out, size_t ldo, const Epi &epi, size_t q0) {
    const size_t pstride = size_t(8) * dim;
    constexpr size_t S = span_of<I>();
    size_t p = first;
    // One query keeps four registers in flight, so four sums hide the
    // addition's latency; four queries need two.
    constexpr int kWide = Q == 1 ? 4 : 2;
    for (; p + S * kWide <= end; p += S * kWide)
        panel_tile<I, op, Q, kWide>(qs, panels + p * pstride, dim, n - p * 8, out + p * 8, ldo, epi, q0,
                                    p * 8);
    for (; p + S <= end; p += S)
        panel_tile<I, op, Q, 1>(qs, panels + p * pstride, dim, n - p * 8, out + p * 8, ldo, epi, q0, p * 8);
    if constexpr (S > 1) {
        for (; p < end; ++p)
            panel_tile<typename I::Narrow, op, Q, 1>(qs, panels + p * pstride, dim, n - p * 8, out + p * 8, ldo,
                                                     epi, q0, p * 8);
    }
}

// About this many bytes of panels are scored against every query before the
// next panels are taken, so they stay in the first-level cache.
constexpr size_t kPanelTileBytes = 24576;

template <class I, Op op, class Epi>
void panels_with(const float *const *qs, size_t nq, const float *panels, size_t n, uint32_t dim, float *out,
                 size_t ldo, const Epi &epi) {
    if (n == 0 || nq == 0) return;
    const size_t npanels = (n + 7) / 8;
    const size_t panel_bytes = size_t(8) * dim * sizeof(float);
    size_t tile = kPanelTileBytes / panel_bytes;
    if (tile < 4) tile = 4;
    tile -= tile % span_of<I>();
    for (size_t first = 0; first < npanels; first += tile) {
        const size_t end = first + tile < npanels ? first + tile : npanels;
        size_t i = 0;
        for (; i + 4 <= nq; i += 4)
            panel_run<I, op, 4>(qs + i, panels, first, end, n, dim, out + i * ldo, ldo, epi, i);
        for (; i < nq; ++i)
            panel_run<I, op, 1>(qs + i, panels, first, end, n, dim, out + i * ldo, ldo, epi, i);
    }
}

template <class I, Op op>
void panels_many(const float *const *qs, size_t nq, const float *panels, size_t n, uint32_t dim, float *out,
                 size_t ldo) {
    panels_with<I, op>(qs, nq, panels, n, dim, out, ldo, Plain{});
}

// Turns dot products into lower bounds of squared L2 (kernels.h,
// l2_bound_panels) and keeps each query's eight running least bounds. A
// sixteen-lane struct's odd last panel comes here in its Narrow registers.
template <class I>
struct Bounds {
    const ScreenArgs &a;
    float *least8;
    template <class V>
    V apply(size_t q, size_t r0, V d) const {
        // Only a sixteen-lane struct meets a second (narrower) register type.
        if constexpr (sizeof(V) == sizeof(typename I::V)) {
            return apply_as<I>(q, r0, d);
        } else {
            return apply_as<typename I::Narrow>(q, r0, d);
        }
    }
    template <class J>
    typename J::V apply_as(size_t q, size_t r0, typename J::V d) const {
        using V = typename J::V;
        const V s = J::add(J::bcast(a.qnorm + q), J::load(a.rnorm + r0));
        const V v = J::sub(
            J::mul(J::sub(J::sub(s, J::add(d, d)), J::mul(s, J::bcast(&a.widen))), J::bcast(&a.shrink)),
            J::bcast(&a.slack));
        const V b = J::within(s, J::bcast(&a.floor), J::bcast(&a.ceil), v, J::bcast(&kNoBound));
        float *m = least8 + q * 8;
        if constexpr (span_of<J>() == 2) {
            J::lower8(m, b);
        } else {
            J::store(m, J::min(b, J::load(m)));
        }
        return b;
    }
    static constexpr float kNoBound = -1.0f;
};

template <class I>
void bound_panels(const float *const *qs, size_t nq, const float *panels, size_t n, uint32_t dim,
                  const ScreenArgs &a, float *out, size_t ldo, float *least8) {
    panels_with<I, Op::Dot>(qs, nq, panels, n, dim, out, ldo, Bounds<I>{a, least8});
}
