// SPDX-License-Identifier: Apache-2.0
// Selection-order top-k; see select.h for why the bounded form is exact.
#include "collection/select.h"

namespace rk::coll {

void select_literal(Pair *pairs, uint64_t n, uint64_t m) {
    for (uint64_t j = 0; j < m && j < n; ++j) {
        uint64_t best = j;
        for (uint64_t i = j + 1; i < n; ++i) {
            if (pairs[i].dist < pairs[best].dist) best = i;
        }
        const Pair t = pairs[j];
        pairs[j] = pairs[best];
        pairs[best] = t;
    }
}

bool TopSelector::init(uint64_t cap) {
    cap_ = cap;
    pushed_ = tail_n_ = 0;
    nan_ = full_ = false;
    if (cap > SIZE_MAX) return false;
    front_.reset(hook_array<Pair>(size_t(cap)));
    tail_.reset(hook_array<Tail>(size_t(cap)));
    return front_ && tail_;
}

namespace {

template <class T>
void swap_items(T &a, T &b) {
    const T t = a;
    a = b;
    b = t;
}

}  // namespace

void TopSelector::push_tail(const Tail &t) {
    Tail *h = tail_.get();
    auto greater = [](const Tail &a, const Tail &b) {
        return a.dist > b.dist || (a.dist == b.dist && a.seq > b.seq);
    };
    size_t i;
    if (tail_n_ < cap_) {
        // Sift up a new leaf.
        i = size_t(tail_n_++);
        h[i] = t;
        while (i > 0 && greater(h[i], h[(i - 1) / 2])) {
            swap_items(h[i], h[(i - 1) / 2]);
            i = (i - 1) / 2;
        }
        full_ = tail_n_ == cap_;
        bound_ = h[0].dist;
        return;
    }
    // Full: only a strictly smaller distance can displace the largest (an
    // equal one arrives later, so it ranks behind). NaN never enters.
    if (!(t.dist < h[0].dist)) return;
    h[0] = t;
    const size_t n = size_t(tail_n_);
    for (i = 0;;) {
        size_t big = i;
        const size_t l = 2 * i + 1, r = l + 1;
        if (l < n && greater(h[l], h[big])) big = l;
        if (r < n && greater(h[r], h[big])) big = r;
        if (big == i) break;
        swap_items(h[i], h[big]);
        i = big;
    }
    bound_ = h[0].dist;
}

namespace {

// Selection over slots 0 .. n-1 (stream order) for m steps, run as a
// min-heap of slots keyed by (distance, slot). At step j the popped slot p
// holds the minimum; the pair at slot j moves to p, so its heap entry is
// relabelled p (a larger key) and sifted down.
class SlotHeap {
public:
    SlotHeap(const Pair *pairs, uint32_t *heap, uint32_t *where) : p_(pairs), h_(heap), w_(where) {}

    void build(uint32_t n) {
        n_ = n;
        for (uint32_t i = 0; i < n; ++i) h_[i] = w_[i] = i;
        for (uint32_t i = n / 2; i-- > 0;) down(i);
    }
    uint32_t pop() {
        const uint32_t top = h_[0];
        place(0, h_[--n_]);
        if (n_) down(0);
        return top;
    }
    // The entry of slot from now stands for slot to (to > from).
    void relabel(uint32_t from, uint32_t to) {
        const uint32_t at = w_[from];
        place(at, to);
        down(at);
    }

private:
    bool less(uint32_t a, uint32_t b) const {
        return p_[a].dist < p_[b].dist || (p_[a].dist == p_[b].dist && a < b);
    }
    void place(uint32_t at, uint32_t slot) {
        h_[at] = slot;
        w_[slot] = at;
    }
    void down(uint32_t i) {
        for (;;) {
            uint32_t small = i;
            const uint64_t l = 2 * uint64_t(i) + 1, r = l + 1;
            if (l < n_ && less(h_[l], h_[small])) small = uint32_t(l);
            if (r < n_ && less(h_[r], h_[small])) small = uint32_t(r);
            if (small == i) return;
            const uint32_t a = h_[i], b = h_[small];
            place(i, b);
            place(small, a);
            i = small;
        }
    }

    const Pair *p_;
    uint32_t *h_;
    uint32_t *w_;
    uint32_t n_ = 0;
};

}  // namespace

uint64_t TopSelector::finish(Pair *out) {
    const uint64_t front_n = pushed_ < cap_ ? pushed_ : cap_;
    const uint64_t n = front_n + tail_n_;
    const uint64_t m = front_n;
    if (n > UINT32_MAX) return UINT64_MAX;
    // The kept tail in stream order after the front.
    Tail *t = tail_.get();
    heap_sort(t, size_t(tail_n_), [](const Tail &a, const Tail &b) { return a.seq < b.seq; });
    HookPtr<Pair> slots = hook_unique_array<Pair>(size_t(n));
    HookPtr<uint32_t> heap = hook_unique_array<uint32_t>(size_t(n));
    HookPtr<uint32_t> where = hook_unique_array<uint32_t>(size_t(n));
    if (!slots || !heap || !where) return UINT64_MAX;
    Pair *s = slots.get();
    for (uint64_t i = 0; i < front_n; ++i) s[i] = front_.get()[i];
    for (uint64_t i = 0; i < tail_n_; ++i) s[front_n + i] = Pair{t[i].id, t[i].dist};
    SlotHeap h(s, heap.get(), where.get());
    h.build(uint32_t(n));
    for (uint32_t j = 0; j < m; ++j) {
        const uint32_t p = h.pop();
        if (p != j) {
            swap_items(s[j], s[p]);
            h.relabel(j, p);
        }
        out[j] = s[j];
    }
    return m;
}

}  // namespace rk::coll
