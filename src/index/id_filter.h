// SPDX-License-Identifier: Apache-2.0
// A predicate over index ids, evaluated by filtered index searches as they
// go: ids it refuses still guide a graph walk but never enter the results.
#ifndef RK_INDEX_ID_FILTER_H
#define RK_INDEX_ID_FILTER_H

#include <cstddef>
#include <cstdint>

namespace rk {

struct IdFilter {
    // 1 when the id may be a result. Called only for ids that would enter
    // the results, at most once per id and search; must not allocate.
    bool (*accept)(const void *ctx, uint64_t id);
    const void *ctx;
    // Graphs: distances the walk may compute before it stops with what it
    // holds (0: no bound). IVF: entries it may score (0: no bound).
    uint64_t budget;
    // Optional (graphs): told about ids the walk is about to measure, so
    // that what accept will read can be fetched while the distances are
    // computed. Stage 0 comes before the distances, stage 1 after them;
    // must not allocate and must not change what accept answers.
    void (*warm)(const void *ctx, const uint32_t *ids, size_t n, int stage) = nullptr;
};

}  // namespace rk

#endif
