// Interim glue while no index object is available: collections have no
// index and always scan.
#include "collection/internal.h"
#include "rk_error.h"

namespace rk::coll {

IndexSpec spec_for(const rk_collection_config_t *) { return IndexSpec{}; }
IndexSpec default_spec(uint32_t) { return IndexSpec{}; }
struct rk_index_t *make_index(const rk_collection_t *, const IndexSpec &) { return nullptr; }
void destroy_index(rk_collection_t *c) { c->index = nullptr; }
bool index_active(const rk_collection_t *) { return false; }
int32_t index_type_of(const rk_collection_t *) { return -1; }
uint32_t index_trained(const rk_collection_t *) { return 0; }
void index_feed(rk_collection_t *, uint64_t, const float *) {}
void index_forget(rk_collection_t *, uint64_t) {}
uint64_t index_search(const rk_collection_t *, const float *, uint64_t, uint64_t *) { return 0; }

}  // namespace rk::coll

extern "C" {

RK_API rk_status_t rk_collection_build_index(rk_collection_t *c) {
    return c && c->count ? RK_ERR_UNKNOWN : RK_ERR_INVALID_ARG;
}
RK_API rk_status_t rk_collection_rebuild_index(rk_collection_t *c) { return rk_collection_build_index(c); }
RK_API rk_status_t rk_collection_drop_index(rk_collection_t *c) {
    if (!c) return RK_ERR_INVALID_ARG;
    c->index_enabled = 0;
    return RK_OK;
}
RK_API int rk_collection_has_index(const rk_collection_t *) { return 0; }

}  // extern "C"
