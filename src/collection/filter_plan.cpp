// SPDX-License-Identifier: Apache-2.0
// The planner of filtered searches on an indexed collection: the exact
// filtered scan or the filtered index search, whichever should cost less.
//
// The filter's selectivity is estimated by matching it against a fixed
// sample of records, evenly spaced along the array, so that a query gives
// the same plan whenever the collection is the same. Costs are counted in
// float operations: a scan matches every record and measures the matching
// ones; a graph walk that must gather k matches holds at least k / s nodes
// in its list and measures about kGraphFanout neighbours per node it holds;
// an IVF search scores at least k / s entries and its nprobe lists. A filter
// the sample never matches leaves few records to measure: the scan takes it.
//
// A parsed filter's sample count is remembered per collection version, so a
// filter used query after query on an unchanged collection is sampled once.
// Trees the host built are sampled every time: their texts may change in
// place between searches.
#include <atomic>
#include <cmath>

#include "collection/filter_tree.h"
#include "collection/internal.h"
#include "rk_hash.h"
#include "rk_index.h"

namespace rk::coll {
namespace {

constexpr uint64_t kSample = 256;
// A filter evaluation, in float operations of a distance (measured: a few
// key comparisons and one value test cost about what 48 multiply-adds do).
constexpr double kFilterCost = 48.0;
// New neighbours measured per node the walk takes into its list, and the
// overhead of one neighbour beyond its distance (visit stamps, heaps).
constexpr double kGraphFanout = 40.0;
constexpr double kVisitCost = 24.0;
// The walk's list holds this many times k / s nodes, so that the k nearest
// matches are among the nodes it examines as closely as an unfiltered walk
// examines its k nearest.
constexpr double kListOver = 1.0;
// The walk may measure this many times its expected count before it gives
// up and leaves the rest to the scan's top-up.
constexpr double kBudgetOver = 4.0;

// Low bits of a memo word: the count plus one (at most kSample + 1).
constexpr uint64_t kCountBits = 10;
constexpr uint64_t kCountMask = (uint64_t(1) << kCountBits) - 1;
static_assert(kSample + 1 <= kCountMask, "the count must fit its bits");

uint64_t count_sample(const rk_collection_t *c, const rk_filter_t *filter, uint64_t take) {
    const uint64_t n = c->count;
    uint64_t hits = 0;
    for (uint64_t i = 0; i < take; ++i) hits += filter_match(&c->records[i * n / take], filter) != 0;
    return hits;
}

// The sample's count, remembered for parsed filters. The caller holds the
// read lock, so the version stays put; slots are shared by concurrent
// searches, each word read and written whole.
uint64_t sample_hits(const rk_collection_t *c, const rk_filter_t *filter, uint64_t take) {
    const ParsedFilter *parsed = parsed_of(filter);
    if (!parsed) return count_sample(c, filter, take);
    Impl *impl = const_cast<Impl *>(impl_of(c));
    const uint64_t key = rk_hash_murmur3_64(&impl->version, sizeof impl->version, parsed->fingerprint);
    std::atomic_ref<uint64_t> slot(impl->plan_memo[key % kPlanMemoSlots]);
    const uint64_t word = slot.load(std::memory_order_relaxed);
    if (word & kCountMask && (word & ~kCountMask) == (key & ~kCountMask)) return (word & kCountMask) - 1;
    const uint64_t hits = count_sample(c, filter, take);
    slot.store((key & ~kCountMask) | (hits + 1), std::memory_order_relaxed);
    return hits;
}

}  // namespace

FilterPlan plan_filtered(const rk_collection_t *c, const rk_filter_t *filter, uint64_t k, uint32_t effort) {
    FilterPlan plan{};
    plan.scan = true;
    const uint64_t n = c->count;
    if (n == 0 || k == 0) return plan;
    const uint64_t take = n < kSample ? n : kSample;
    const uint64_t hits = sample_hits(c, filter, take);
    plan.selectivity = double(hits) / double(take);
    if (hits == 0) return plan;
    const double s = plan.selectivity, dim = double(c->dimension);
    const double scan = double(n) * (kFilterCost + s * dim);
    // Nodes or entries to look at for k matches, sized by the selectivity one
    // standard deviation of the sample below the estimate: a walk sized on
    // an estimate that came out high would stop short of the true matches.
    double low = (double(hits) - std::sqrt(double(hits))) / double(take);
    if (take == n || low > s) low = s;  // the whole collection was the sample
    if (low < 0.5 / double(take)) low = 0.5 / double(take);
    const double need = double(k) / low;
    const uint32_t stored = effort ? effort : index_effort(c);
    double cost;
    if (index_type_of(c) % 2 == 1) {
        const rk_index_stats_t st = [&] {
            rk_index_stats_t x{};
            (void)rk_index_get_stats(c->index, &x);
            return x;
        }();
        // The k nearest matches lie among about the k / s nearest records,
        // spread over more lists than the k nearest: nprobe grows with
        // 1 / sqrt(s), and never covers fewer entries than k / s.
        const double lists = st.nlist ? double(st.nlist) : 1.0;
        const double per_list = double(n) / lists;
        double probes = std::ceil(double(stored) / std::sqrt(low));
        if (probes * per_list < need) probes = std::ceil(need / per_list);
        if (probes > lists) probes = lists;
        cost = probes * per_list * (dim + s * kFilterCost);
        plan.effort = uint32_t(probes);
        plan.budget = 0;
    } else {
        double list = kListOver * need;
        if (list < double(stored)) list = double(stored);
        if (list > double(n)) list = double(n);
        const double measured = list * kGraphFanout;
        cost = measured * (dim + kVisitCost + kFilterCost * s);
        plan.effort = uint32_t(list > 4294967295.0 ? 4294967295.0 : std::ceil(list));
        plan.budget = uint64_t(kBudgetOver * measured) + 1;
    }
    plan.scan = !(cost < scan);
    return plan;
}

}  // namespace rk::coll
