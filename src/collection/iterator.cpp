// SPDX-License-Identifier: Apache-2.0
// Lock-free cursors over a collection's records. The collection must not be
// written while one is in use.
#include "collection/internal.h"
#include "core/alloc.h"

namespace {

// Moves it->position forward to the first record the filter matches and
// settles valid.
int settle(rk_collection_iterator_t *it) {
    const rk_collection_t *c = it->collection;
    if (it->filter) {
        while (it->position < it->end && !rk::coll::filter_match(&c->records[it->position], it->filter)) {
            ++it->position;
        }
    }
    it->valid = it->position < it->end ? 1 : 0;
    return int(it->valid);
}

}  // namespace

extern "C" {

RK_API rk_collection_iterator_t *rk_collection_create_iterator(rk_collection_t *collection,
                                                               const rk_filter_t *filter) {
    if (!collection) return nullptr;
    auto *it = rk::hook_array<rk_collection_iterator_t>(1);
    if (!it) return nullptr;
    *it = rk_collection_iterator_t{collection, 0, collection->count, filter, 1};
    settle(it);
    return it;
}

RK_API int rk_collection_iterator_valid(const rk_collection_iterator_t *it) {
    return it ? int(it->valid) : 0;
}

RK_API int rk_collection_iterator_next(rk_collection_iterator_t *it) {
    if (!it || !it->valid) return 0;
    ++it->position;
    return settle(it);
}

RK_API uint64_t rk_collection_iterator_get_id(const rk_collection_iterator_t *it) {
    return it && it->valid ? it->collection->records[it->position].id : 0;
}

RK_API const float *rk_collection_iterator_get_vector(const rk_collection_iterator_t *it) {
    return it && it->valid ? it->collection->records[it->position].vector : nullptr;
}

RK_API rk_status_t rk_collection_iterator_get_record(const rk_collection_iterator_t *it,
                                                     const rk_record_t **out) {
    if (!it || !it->valid || !out) return RK_ERR_INVALID_ARG;
    *out = &it->collection->records[it->position];
    return RK_OK;
}

RK_API void rk_collection_destroy_iterator(rk_collection_iterator_t *it) { rk_free(it); }

}  // extern "C"
