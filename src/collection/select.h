// SPDX-License-Identifier: Apache-2.0
// Top-k selection whose order among equal distances is that of a selection
// sort over the candidates in stream order.
//
// The selection sort this reproduces: for j = 0 .. m-1, find the first
// smallest distance among positions j .. end (a later position wins only
// when strictly smaller) and swap it with position j. A swap moves the pair
// that sat at j to where the minimum was, so among equal distances the
// output is not always stream order, and it costs k x n comparisons.
//
// Why a bounded pass suffices: with F = the front size (>= m), pairs at
// stream positions >= F never move before they are selected. If such a pair
// e is selected, every other tail pair with a smaller (distance, position)
// was selected before it (it would still sit unmoved in the region and beat
// e otherwise). So the selected tail pairs are among the m smallest tail
// pairs by (distance, position), which a bounded max-heap keeps; pairs it
// drops are never selected and never moved, so removing them changes no
// comparison and no swap. Selection over the front plus the kept tail, in
// stream order, therefore returns exactly the full selection's first m.
// That reduced selection runs as a min-heap keyed by (distance, current
// position) whose displaced entry is re-keyed at each swap: O(m log m).
//
// NaN distances make "smallest" depend on where the scan starts, which no
// heap can follow: push() records them and callers fall back to
// select_literal() over all pairs.
#ifndef RK_COLLECTION_SELECT_H
#define RK_COLLECTION_SELECT_H

#include <cstddef>
#include <cstdint>

#include "core/alloc.h"

namespace rk::coll {

struct Pair {
    uint64_t id;
    float dist;
};

// The selection sort itself, for m steps over n pairs in place.
void select_literal(Pair *pairs, uint64_t n, uint64_t m);

class TopSelector {
public:
    // Up to cap (>= 1) results; false when the buffers cannot be had.
    bool init(uint64_t cap);
    void push(uint64_t id, float dist) {
        if (dist != dist) nan_ = true;
        // Most pairs of a long scan lose to the kept tail's largest at once.
        if (full_ && !(dist < bound_)) {
            ++pushed_;
            return;
        }
        if (pushed_ < cap_) {
            front_.get()[pushed_++] = Pair{id, dist};
            return;
        }
        push_tail(Tail{id, dist, pushed_++});
    }
    bool saw_nan() const { return nan_; }
    uint64_t pushed() const { return pushed_; }
    // Writes the first min(cap, pushed) pairs of the selection order to out
    // and returns how many; UINT64_MAX when scratch memory fails.
    uint64_t finish(Pair *out);

private:
    struct Tail {
        uint64_t id;
        float dist;
        uint64_t seq;
    };
    void push_tail(const Tail &t);

    uint64_t cap_ = 0;
    uint64_t pushed_ = 0;
    uint64_t tail_n_ = 0;
    bool nan_ = false;
    bool full_ = false;  // the tail heap holds cap pairs
    float bound_ = 0;    // its largest distance once full
    HookPtr<Pair> front_;
    HookPtr<Tail> tail_;  // max-heap by (dist, seq)
};

// In-place heap sort by a strict weak order; allocates nothing.
template <class T, class Less>
void heap_sort(T *a, size_t n, Less less) {
    auto sift = [&](size_t i, size_t len) {
        for (;;) {
            size_t big = i;
            const size_t l = 2 * i + 1, r = l + 1;
            if (l < len && less(a[big], a[l])) big = l;
            if (r < len && less(a[big], a[r])) big = r;
            if (big == i) return;
            T t = a[i];
            a[i] = a[big];
            a[big] = t;
            i = big;
        }
    };
    for (size_t i = n / 2; i-- > 0;) sift(i, n);
    for (size_t len = n; len > 1; --len) {
        T t = a[0];
        a[0] = a[len - 1];
        a[len - 1] = t;
        sift(0, len - 1);
    }
}

}  // namespace rk::coll

#endif
