// SPDX-License-Identifier: Apache-2.0
// Record store: ids, growth, deletes, metadata ownership, lookups, foreach,
// iterators and their failure paths.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "collection/internal.h"
#include "rk_collection.h"
#include "rk_error.h"
#include "support/alloc_faults.h"

namespace {

rk_collection_config_t config(uint32_t dim, int32_t index_type = 0, const char *name = "c") {
    rk_collection_config_t cfg{};
    cfg.name = rk_string_t{name, name ? std::strlen(name) : 0};
    cfg.dimension = dim;
    cfg.metric = RK_METRIC_L2;
    cfg.index_type = index_type;
    return cfg;
}

struct Coll {
    explicit Coll(uint32_t dim = 3, int32_t index_type = 0) {
        const rk_collection_config_t cfg = config(dim, index_type);
        c = rk_collection_create(nullptr, &cfg);
    }
    ~Coll() { rk_collection_destroy(c); }
    uint64_t add(float x) {
        std::vector<float> v(c->dimension, x);
        uint64_t id = 0;
        EXPECT_EQ(rk_collection_insert(c, v.data(), &id), RK_OK);
        return id;
    }
    std::vector<uint64_t> ids() const {
        std::vector<uint64_t> out;
        for (uint64_t i = 0; i < c->count; ++i) out.push_back(c->records[i].id);
        return out;
    }
    rk_collection_t *c;
};

rk_meta_entry_t int_entry(const char *key, int32_t v) {
    rk_meta_entry_t e{};
    e.key = rk_string_t{key, std::strlen(key)};
    e.type = RK_META_INT32;
    e.value.i32 = v;
    return e;
}

TEST(CollectionCreate, ConfigurationAndRefusals) {
    EXPECT_EQ(rk_collection_create(nullptr, nullptr), nullptr);
    rk_collection_config_t zero = config(0);
    EXPECT_EQ(rk_collection_create(nullptr, &zero), nullptr);

    std::string name = "vectors";
    rk_collection_config_t cfg = config(4, 0, name.c_str());
    cfg.metric = RK_METRIC_COSINE;
    rk_collection_t *c = rk_collection_create(nullptr, &cfg);
    ASSERT_NE(c, nullptr);
    name[0] = 'X';  // the collection keeps its own copy
    EXPECT_STREQ(rk_collection_get_name(c), "vectors");
    EXPECT_EQ(c->dimension, 4u);
    EXPECT_EQ(c->metric, uint32_t(RK_METRIC_COSINE));
    EXPECT_EQ(c->capacity, 4096u);
    EXPECT_EQ(c->next_id, 1u);
    EXPECT_EQ(c->owns_arena, 1u);
    EXPECT_EQ(c->index_threshold, 100000000u);
    EXPECT_GT(c->created_at, 0);
    rk_collection_stats_t st{};
    ASSERT_EQ(rk_collection_get_stats(c, &st), RK_OK);
    EXPECT_EQ(st.index_type, -1);
    EXPECT_EQ(st.index_trained, 0u);
    EXPECT_EQ(rk_collection_has_index(c), 0);
    EXPECT_EQ(rk_collection_get_stats(c, nullptr), RK_ERR_INVALID_ARG);
    rk_collection_destroy(c);

    rk_collection_config_t anon = config(2, 0, nullptr);
    c = rk_collection_create(nullptr, &anon);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(rk_collection_get_name(c), nullptr);
    rk_collection_destroy(c);
    rk_collection_destroy(nullptr);
    EXPECT_EQ(rk_collection_get_name(nullptr), nullptr);
}

TEST(CollectionCreate, ForeignArenaKeepsItsMemory) {
    rk_arena_t *arena = nullptr;
    ASSERT_EQ(rk_arena_create(0, &arena), RK_OK);
    rk_collection_config_t cfg = config(2);
    rk_collection_t *c = rk_collection_create(arena, &cfg);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->owns_arena, 0u);
    EXPECT_EQ(c->arena, arena);
    const float v[2] = {1, 2};
    ASSERT_EQ(rk_collection_insert(c, v, nullptr), RK_OK);
    rk_collection_stats_t st{};
    ASSERT_EQ(rk_collection_get_stats(c, &st), RK_OK);
    EXPECT_EQ(st.memory_used, rk_arena_get_used_size(arena));
    rk_collection_destroy(c);
    EXPECT_GT(rk_arena_get_used_size(arena), 0u);
    rk_arena_destroy(arena);
}

TEST(CollectionWrite, IdsGrowthAndClear) {
    Coll t;
    EXPECT_EQ(t.add(1), 1u);
    EXPECT_EQ(t.add(2), 2u);
    for (int i = 2; i < 4097; ++i) t.add(float(i));
    rk_collection_stats_t st{};
    ASSERT_EQ(rk_collection_get_stats(t.c, &st), RK_OK);
    EXPECT_EQ(st.count, 4097u);
    EXPECT_EQ(st.capacity, 8192u);
    float out[3];
    ASSERT_EQ(rk_collection_get(t.c, 4097, out), RK_OK);
    EXPECT_EQ(out[0], 4096.0f);
    ASSERT_EQ(rk_collection_get(t.c, 1, out), RK_OK);  // survived the move
    EXPECT_EQ(out[2], 1.0f);
    ASSERT_EQ(rk_collection_clear(t.c), RK_OK);
    EXPECT_EQ(t.c->count, 0u);
    EXPECT_EQ(t.add(5), 1u);
    EXPECT_EQ(rk_collection_clear(nullptr), RK_ERR_INVALID_ARG);
}

TEST(CollectionWrite, InsertArgumentsAndBatch) {
    Coll t(2);
    const float v[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(rk_collection_insert(nullptr, v, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_insert(t.c, nullptr, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_insert_batch(t.c, v, 0, nullptr), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_insert_batch(t.c, nullptr, 3, nullptr), RK_ERR_INVALID_ARG);
    uint64_t ids[3] = {};
    ASSERT_EQ(rk_collection_insert_batch(t.c, v, 3, ids), RK_OK);
    EXPECT_EQ(ids[0], 1u);
    EXPECT_EQ(ids[2], 3u);
    float out[2];
    ASSERT_EQ(rk_collection_get(t.c, 3, out), RK_OK);
    EXPECT_EQ(out[0], 5.0f);
    EXPECT_EQ(out[1], 6.0f);

    rk_meta_entry_t e = int_entry("k", 7);
    rk_record_t rec{99, const_cast<float *>(v), &e, 1};
    ASSERT_EQ(rk_collection_insert_record(t.c, &rec), RK_OK);
    EXPECT_EQ(t.c->records[3].id, 4u);  // the record's id is ignored
    EXPECT_EQ(t.c->records[3].metadata_count, 1u);
    EXPECT_EQ(rk_collection_insert_record(t.c, nullptr), RK_ERR_INVALID_ARG);
}

TEST(CollectionWrite, DeletesKeepOrder) {
    Coll t;
    for (int i = 0; i < 3; ++i) t.add(float(i));
    ASSERT_EQ(rk_collection_delete(t.c, 2), RK_OK);
    EXPECT_EQ(t.ids(), (std::vector<uint64_t>{1, 3}));
    EXPECT_EQ(rk_collection_delete(t.c, 2), RK_ERR_NOT_FOUND);
    EXPECT_EQ(t.add(9), 4u);
    EXPECT_EQ(rk_collection_delete(nullptr, 1), RK_ERR_INVALID_ARG);

    for (int i = 0; i < 3; ++i) t.add(float(i));  // ids 5, 6, 7
    const uint64_t batch[] = {3, 99, 6};
    ASSERT_EQ(rk_collection_delete_batch(t.c, batch, 3), RK_OK);
    EXPECT_EQ(t.ids(), (std::vector<uint64_t>{1, 4, 5, 7}));
    EXPECT_EQ(rk_collection_delete_batch(t.c, batch, 0), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_delete_batch(t.c, nullptr, 1), RK_ERR_INVALID_ARG);
    // Lookups by bisection still find every survivor.
    for (uint64_t id : t.ids()) {
        const rk_record_t *r = nullptr;
        ASSERT_EQ(rk_collection_get_record(t.c, id, &r), RK_OK);
        EXPECT_EQ(r->id, id);
    }
    const rk_record_t *r = &t.c->records[0];
    EXPECT_EQ(rk_collection_get_record(t.c, 6, &r), RK_ERR_NOT_FOUND);
    EXPECT_EQ(r, nullptr);
}

TEST(CollectionWrite, UpsertOverwritesOrAppends) {
    Coll t(2);
    t.add(1);
    const float v[2] = {7, 8};
    ASSERT_EQ(rk_collection_upsert(t.c, 1, v), RK_OK);
    float out[2];
    ASSERT_EQ(rk_collection_get(t.c, 1, out), RK_OK);
    EXPECT_EQ(out[1], 8.0f);
    ASSERT_EQ(rk_collection_upsert(t.c, 50, v), RK_OK);
    EXPECT_EQ(t.ids(), (std::vector<uint64_t>{1, 2}));  // next id, not 50
    EXPECT_EQ(rk_collection_upsert(t.c, 1, nullptr), RK_ERR_INVALID_ARG);
}

TEST(CollectionMeta, DeepCopiedAndReadBack) {
    Coll t(2);
    std::string key = "Colour", text = "Red";
    rk_meta_entry_t e[3] = {int_entry("n", 1), {}, int_entry("m", 2)};
    e[1].key = rk_string_t{key.data(), key.size()};
    e[1].type = RK_META_STRING;
    e[1].value.str = rk_string_t{text.data(), text.size()};
    const float v[2] = {0, 0};
    uint64_t id = 0;
    ASSERT_EQ(rk_collection_insert_with_meta(t.c, v, e, 3, &id), RK_OK);
    key.assign("XXXXXX");  // the caller may reuse its buffers at once
    text.assign("XXX");

    rk_meta_entry_t out[2];
    uint64_t n = 2;
    ASSERT_EQ(rk_collection_get_meta(t.c, id, out, &n), RK_OK);
    EXPECT_EQ(n, 3u);  // full size even though only two were copied
    EXPECT_EQ(std::string(out[1].key.data, out[1].key.len), "Colour");
    EXPECT_EQ(std::string(out[1].value.str.data, out[1].value.str.len), "Red");
    EXPECT_EQ(out[0].value.i32, 1);

    rk_meta_entry_t repl = int_entry("z", 5);
    ASSERT_EQ(rk_collection_set_meta(t.c, id, &repl, 1), RK_OK);
    n = 2;
    ASSERT_EQ(rk_collection_get_meta(t.c, id, out, &n), RK_OK);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(out[0].value.i32, 5);
    EXPECT_EQ(rk_collection_set_meta(t.c, 42, &repl, 1), RK_ERR_NOT_FOUND);
    EXPECT_EQ(rk_collection_set_meta(t.c, id, &repl, 0), RK_ERR_INVALID_ARG);
    EXPECT_EQ(rk_collection_get_meta(t.c, 42, out, &n), RK_ERR_NOT_FOUND);
    EXPECT_EQ(rk_collection_get_meta(t.c, id, out, nullptr), RK_ERR_INVALID_ARG);

    // Null key or string data is stored as empty rather than dereferenced.
    rk_meta_entry_t odd{};
    odd.key = rk_string_t{nullptr, 5};
    odd.type = RK_META_STRING;
    odd.value.str = rk_string_t{nullptr, 9};
    ASSERT_EQ(rk_collection_set_meta(t.c, id, &odd, 1), RK_OK);
    n = 1;
    ASSERT_EQ(rk_collection_get_meta(t.c, id, out, &n), RK_OK);
    EXPECT_EQ(out[0].key.len, 0u);
    EXPECT_EQ(out[0].value.str.len, 0u);

    // A record without metadata after deletes of ones with metadata.
    ASSERT_EQ(rk_collection_delete(t.c, id), RK_OK);
    ASSERT_EQ(rk_collection_insert(t.c, v, &id), RK_OK);
    EXPECT_EQ(t.c->records[0].metadata_count, 0u);
    EXPECT_EQ(t.c->records[0].metadata, nullptr);
}

// Metadata that cannot be copied fails the insert instead of storing the
// record bare and reporting success.
TEST(CollectionMeta, FailedMetadataCopyStoresNothing) {
    Coll coll(3);
    coll.add(1.0f);
    // A string past the arena's 4 MiB block needs memory of its own.
    const std::string big(5u << 20, 'x');
    rk_meta_entry_t e{};
    e.key = rk_string_t{"big", 3};
    e.type = RK_META_STRING;
    e.value.str = rk_string_t{big.data(), big.size()};
    const float v[3] = {0.5f, 0.25f, 0.125f};
    uint64_t id = 0;
    {
        rk_test::FailingAllocator faults;
        ASSERT_TRUE(faults.installed());
        faults.arm(0);
        EXPECT_EQ(rk_collection_insert_with_meta(coll.c, v, &e, 1, &id), RK_ERR_NO_MEMORY);
        EXPECT_TRUE(faults.failed());
    }
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(coll.ids(), std::vector<uint64_t>{1});
    ASSERT_EQ(rk_collection_insert_with_meta(coll.c, v, &e, 1, &id), RK_OK);
    EXPECT_EQ(coll.c->records[1].metadata_count, 1u);
}

// An insert whose index update fails part-way still lands, and searches
// find it: the index that missed it is no longer consulted.
TEST(CollectionIndex, FailedIndexUpdateNeverHidesARecord) {
    for (long n = 0; n < 40; ++n) {
        Coll coll(4, RK_INDEX_HNSW);
        for (int i = 0; i < 60; ++i) {
            const float v[4] = {0.37f * float(i), 0.11f * float(i % 7), 0.5f, 0.013f * float(i * i % 11)};
            ASSERT_EQ(rk_collection_insert(coll.c, v, nullptr), RK_OK);
        }
        ASSERT_EQ(rk_collection_build_index(coll.c), RK_OK);
        const float q[4] = {7.25f, -3.5f, 9.0f, 4.75f};  // far from every other record
        uint64_t id = 0;
        rk_status_t st;
        {
            rk_test::FailingAllocator faults;
            ASSERT_TRUE(faults.installed());
            faults.arm(n);
            st = rk_collection_insert(coll.c, q, &id);
        }
        if (st != RK_OK) continue;
        rk_search_result_t r[1];
        rk_search_params_t p{};
        p.k = 1;
        ASSERT_EQ(rk_collection_search(coll.c, q, &p, r), 1u) << n;
        EXPECT_EQ(r[0].id, id) << "allocation " << n;
    }
}

TEST(CollectionRead, GetBatchLeavesMissingSlots) {
    Coll t(2);
    t.add(1);
    t.add(2);
    const uint64_t ids[] = {2, 77, 1};
    float out[6] = {-1, -1, -1, -1, -1, -1};
    EXPECT_EQ(rk_collection_get_batch(t.c, ids, 3, out), 2u);
    EXPECT_EQ(out[0], 2.0f);
    EXPECT_EQ(out[2], -1.0f);
    EXPECT_EQ(out[4], 1.0f);
    EXPECT_EQ(rk_collection_get_batch(t.c, ids, 0, out), 0u);
    EXPECT_EQ(rk_collection_get_batch(nullptr, ids, 3, out), 0u);
    EXPECT_EQ(rk_collection_get(t.c, 77, out), RK_ERR_NOT_FOUND);
    EXPECT_EQ(rk_collection_get(t.c, 1, nullptr), RK_ERR_INVALID_ARG);
}

int stop_at_third(uint64_t, const float *, uint32_t, void *user) { return ++*static_cast<int *>(user) < 3; }

TEST(CollectionRead, ForeachAndIterators) {
    Coll t(1);
    for (int i = 0; i < 5; ++i) {
        rk_meta_entry_t e = int_entry("even", i % 2 == 0);
        const float v = float(i);
        ASSERT_EQ(rk_collection_insert_with_meta(t.c, &v, &e, 1, nullptr), RK_OK);
    }
    int calls = 0;
    EXPECT_EQ(rk_collection_foreach(t.c, nullptr, stop_at_third, &calls), 2u);
    EXPECT_EQ(rk_collection_foreach(t.c, nullptr, nullptr, &calls), 0u);

    rk_filter_t even{};
    even.kind = RK_FILTER_CONDITION;
    even.key = "EVEN";
    even.op = RK_FILTER_EQ;
    even.value.i32 = 1;
    std::vector<uint64_t> seen;
    rk_collection_iterator_t *it = rk_collection_create_iterator(t.c, &even);
    ASSERT_NE(it, nullptr);
    for (; rk_collection_iterator_valid(it); rk_collection_iterator_next(it)) {
        seen.push_back(rk_collection_iterator_get_id(it));
        const rk_record_t *r = nullptr;
        ASSERT_EQ(rk_collection_iterator_get_record(it, &r), RK_OK);
        EXPECT_EQ(*rk_collection_iterator_get_vector(it), r->vector[0]);
    }
    EXPECT_EQ(seen, (std::vector<uint64_t>{1, 3, 5}));
    EXPECT_EQ(rk_collection_iterator_next(it), 0);
    EXPECT_EQ(rk_collection_iterator_get_id(it), 0u);
    EXPECT_EQ(rk_collection_iterator_get_vector(it), nullptr);
    const rk_record_t *r = nullptr;
    EXPECT_EQ(rk_collection_iterator_get_record(it, &r), RK_ERR_INVALID_ARG);
    rk_collection_destroy_iterator(it);
    rk_collection_destroy_iterator(nullptr);
    EXPECT_EQ(rk_collection_create_iterator(nullptr, nullptr), nullptr);
    EXPECT_EQ(rk_collection_iterator_valid(nullptr), 0);

    Coll empty;
    it = rk_collection_create_iterator(empty.c, nullptr);
    ASSERT_NE(it, nullptr);
    EXPECT_EQ(rk_collection_iterator_valid(it), 0);
    rk_collection_destroy_iterator(it);
}

}  // namespace
