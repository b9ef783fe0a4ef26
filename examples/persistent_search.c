/* SPDX-License-Identifier: Apache-2.0 */
/*
 * persistent_search: what most hosts do after their first program.
 *
 *  1. open (or create) a database in a directory;
 *  2. create a collection with an HNSW index and insert vectors with typed
 *     metadata ("category" text, "price" number, "in_stock" flag);
 *  3. build the index and ask for the 5 nearest products with
 *     category == "shoes" AND price < 50, with their metadata;
 *  4. close (a crash-safe save), reopen, and check the same query gives the
 *     same answer, bit for bit, from the files.
 *
 * Usage: persistent_search [DIR]   (default: a fresh folder here, removed after)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zevud.h"

#define DIM 24
#define COUNT 2000
#define K 5

static const char *const kCategories[] = {"shoes", "hats", "bags"};

static void make_vector(unsigned seed, float *out) {
    unsigned x = seed * 2654435761u + 777u;
    for (int j = 0; j < DIM; ++j) {
        x = x * 1103515245u + 12345u;
        out[j] = (float)((x >> 8) & 0xffff) / 65536.0f;
    }
}

static int fail(const char *what, rk_status_t st) {
    fprintf(stderr, "%s: %s (status %d)\n", what, rk_error_message(st), (int)st);
    return 1;
}

static rk_status_t open_db(const char *dir, rk_vecdb_t **db) {
    rk_vecdb_config_t cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.path.data = dir;
    cfg.path.len = strlen(dir);
    cfg.storage_mode = RK_DB_PERSISTENT;
    cfg.create_if_missing = 1;
    return rk_vecdb_open_ex(&cfg, db);
}

/* The 5 nearest shoes under 50: the filter tree is built by the caller. */
static rk_status_t query(rk_collection_t *c, rk_search_result_t *hits, uint64_t *n) {
    rk_filter_t shoes, cheap, both;
    rk_filter_t *children[2] = {&shoes, &cheap};
    memset(&shoes, 0, sizeof shoes);
    shoes.kind = RK_FILTER_CONDITION;
    shoes.key = "category";
    shoes.op = RK_FILTER_EQ;
    shoes.value.str.data = "shoes";
    shoes.value.str.len = 5;
    cheap = shoes;
    cheap.key = "price";
    cheap.op = RK_FILTER_LT;
    memset(&cheap.value, 0, sizeof cheap.value);
    cheap.value.f64 = 50.0;
    memset(&both, 0, sizeof both);
    both.kind = RK_FILTER_AND;
    both.children = children;
    both.child_count = 2;

    float q[DIM];
    make_vector(4242, q);
    rk_search_params_t p;
    memset(&p, 0, sizeof p);
    p.k = K;
    p.filter = &both;
    p.include_metadata = 1;
    return rk_collection_search_ex(c, q, &p, 0, hits, n); /* effort 0: the stored ef_search */
}

static void print_hits(const char *label, const rk_search_result_t *hits, uint64_t n) {
    printf("%s:\n", label);
    for (uint64_t i = 0; i < n; ++i) {
        printf("  id %4llu  distance %.5f ", (unsigned long long)hits[i].id, hits[i].distance);
        for (uint64_t j = 0; j < hits[i].metadata_count; ++j) {
            const rk_meta_entry_t *e = &hits[i].metadata[j];
            if (e->type == RK_META_STRING)
                printf(" %s=%.*s", e->key.data, (int)e->value.str.len, e->value.str.data);
            else if (e->type == RK_META_DOUBLE)
                printf(" %s=%.2f", e->key.data, e->value.f64);
            else if (e->type == RK_META_BOOL)
                printf(" %s=%s", e->key.data, e->value.b ? "true" : "false");
        }
        printf("\n");
    }
}

int main(int argc, char **argv) {
    char dir[256];
    if (argc > 1) {
        snprintf(dir, sizeof dir, "%s", argv[1]);
    } else {
        snprintf(dir, sizeof dir, "zevud_example_XXXXXX");
        if (!rk_file_mkdtemp(dir)) return fail("scratch folder", RK_ERR_IO);
    }
    rk_vecdb_t *db = NULL;
    rk_status_t st = open_db(dir, &db);
    if (st != RK_OK) return fail("open", st);

    rk_collection_config_t cc;
    memset(&cc, 0, sizeof cc);
    cc.name.data = "products";
    cc.name.len = 8;
    cc.dimension = DIM;
    cc.metric = RK_METRIC_L2;
    cc.index_type = RK_INDEX_HNSW;
    rk_collection_t *c = NULL;
    st = rk_vecdb_create_collection_ex(db, &cc, &c);
    if (st != RK_OK) return fail("create collection", st);

    float v[DIM];
    for (unsigned i = 0; i < COUNT; ++i) {
        rk_meta_entry_t meta[3];
        memset(meta, 0, sizeof meta);
        const char *cat = kCategories[i % 3];
        meta[0].key.data = "category";
        meta[0].key.len = 8;
        meta[0].type = RK_META_STRING;
        meta[0].value.str.data = cat; /* copied by the collection */
        meta[0].value.str.len = strlen(cat);
        meta[1].key.data = "price";
        meta[1].key.len = 5;
        meta[1].type = RK_META_DOUBLE;
        meta[1].value.f64 = 5.0 + (double)((i * 37u) % 200u);
        meta[2].key.data = "in_stock";
        meta[2].key.len = 8;
        meta[2].type = RK_META_BOOL;
        meta[2].value.b = (i % 7) != 0;
        make_vector(i, v);
        st = rk_collection_insert_with_meta(c, v, meta, 3, NULL);
        if (st != RK_OK) return fail("insert", st);
    }
    st = rk_collection_build_index(c);
    if (st != RK_OK) return fail("build index", st);

    rk_search_result_t before[K], after[K];
    uint64_t n_before = 0, n_after = 0;
    st = query(c, before, &n_before);
    if (st != RK_OK) return fail("search", st);
    print_hits("shoes under 50, nearest first", before, n_before);

    /* Close saves every collection and its index, crash-safely. */
    st = rk_vecdb_close(db);
    if (st != RK_OK) return fail("close", st);
    st = open_db(dir, &db);
    if (st != RK_OK) return fail("reopen", st);
    const rk_string_t name = {"products", 8};
    c = rk_vecdb_get_collection(db, &name);
    if (!c) return fail("reopened collection", RK_ERR_NOT_FOUND);
    st = query(c, after, &n_after);
    if (st != RK_OK) return fail("search after reopen", st);
    print_hits("after close and reopen", after, n_after);

    int same = n_before == K && n_after == n_before;
    for (uint64_t i = 0; same && i < n_after; ++i)
        same = before[i].id == after[i].id && memcmp(&before[i].distance, &after[i].distance, sizeof(float)) == 0;
    printf("%s\n", same ? "the reopened database gives the same answer" : "ANSWERS DIFFER");
    st = rk_vecdb_close(db);
    if (st != RK_OK) return fail("close", st);
    if (argc <= 1) {
        const rk_string_t d = {dir, strlen(dir)};
        (void)rk_file_rmdir_recursive(&d);
    }
    return same ? 0 : 1;
}
