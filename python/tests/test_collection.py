# SPDX-License-Identifier: Apache-2.0
"""Collections through Python: adding, reading, updating, deleting,
searching (exact answers checked against numpy), filters and metadata."""
import numpy as np
import pytest

import zevud


def brute(vectors, q, k):
    d = ((vectors[None, :, :].astype(np.float64) - q[:, None, :]) ** 2).sum(-1)
    return np.argsort(d, axis=1, kind="stable")[:, :k]


def test_add_returns_rising_ids_and_get_gives_back_vectors_and_metadata(shop):
    assert shop.ids.dtype == np.uint64 and list(shop.ids) == list(range(1, 41))
    assert len(shop) == 40
    r = shop.get(7)
    assert r.id == 7
    np.testing.assert_array_equal(r.vector, shop.vectors[6])
    assert r.metadata == {"n": 6, "price": 15.0, "kind": "toy", "sale": True}
    assert 7 in shop and 41 not in shop and "x" not in shop


def test_metadata_types_come_back_as_given(db):
    c = db.create_collection("m", 2, index="flat")
    meta = {"i": -(2**40), "f": 0.1, "s": "naïve \"quoted\"\n", "t": True, "F": False,
            "np_i": np.int32(5), "np_f": np.float32(0.5), "np_b": np.bool_(True), "empty": ""}
    (rid,) = c.add([[1, 2]], [meta])
    got = c.get(rid).metadata
    assert got["i"] == -(2**40) and got["f"] == 0.1 and got["s"] == meta["s"]
    assert got["t"] is True and got["F"] is False and got["empty"] == ""
    assert got["np_i"] == 5 and got["np_f"] == 0.5 and got["np_b"] is True
    assert [type(got[k]) for k in ("i", "f", "s", "t")] == [int, float, str, bool]


def test_exact_search_matches_numpy_and_pads_short_rows(shop, rng):
    q = rng.random((5, 8), dtype=np.float32)
    ids, dist = shop.search(q, k=4)
    assert ids.shape == dist.shape == (5, 4) and ids.dtype == np.uint64 and dist.dtype == np.float32
    np.testing.assert_array_equal(ids - 1, brute(shop.vectors, q, 4))
    want = ((shop.vectors[ids[0] - 1] - q[0]) ** 2).sum(-1)
    np.testing.assert_allclose(dist[0], want, rtol=1e-5)
    # Fewer matches than k: id 0 and +inf fill the rest of each row.
    ids, dist = shop.search(q[:2], k=6, filter="n < 3")
    assert sorted(ids[0][:3]) == [1, 2, 3]
    assert list(ids[0][3:]) == [0, 0, 0] and np.isinf(dist[0][3:]).all()
    # A 1-D query is one row; lists and float64 convert.
    ids1, _ = shop.search(q[0].astype(np.float64).tolist(), k=4)
    assert ids1.shape == (1, 4)
    ids_none, _ = shop.search(np.empty((0, 8), np.float32), k=3)
    assert ids_none.shape == (0, 3)
    # A plain float32 row takes a short path: same answers as the general
    # one, its own arrays each call, the same checks.
    a_ids, a_d = shop.search(q[1], k=45, ef=7)
    b_ids, b_d = shop.search(q[1:2].astype(np.float64), k=45, ef=7)
    np.testing.assert_array_equal(a_ids, b_ids)
    np.testing.assert_array_equal(a_d, b_d)
    assert a_ids.shape == (1, 45) and a_ids[0, 40] == 0 and np.isinf(a_d[0, 40:]).all()
    again, _ = shop.search(q[2], k=45)
    assert a_ids[0, 0] == b_ids[0, 0] and not np.shares_memory(a_ids, again)
    with pytest.raises(zevud.Error):
        shop.search(q[1], k=0)
    with pytest.raises(zevud.DimensionError):
        shop.search(np.zeros(9, np.float32))
    with pytest.raises(zevud.Error):
        shop.search(q[1], ef=-1)


def test_filters_select_what_they_say(shop):
    def sel(expr):
        ids, dist = shop.search(np.zeros(8, np.float32), k=40, filter=expr)
        return {int(i) - 1 for i, d in zip(ids[0], dist[0]) if np.isfinite(d)}

    assert sel("kind == 'SHOE'") == set(range(0, 40, 4))           # text ignores case
    assert sel("price >= 90 and not sale == true") == {37, 38}
    assert sel("n < 2 or (kind == 'hat' and n > 30)") == {0, 1, 31, 35, 39}
    assert sel("N != 0 && n <= 1") == {1}                           # keys ignore case
    f = shop.filter("price < 5")
    assert f.canonical() == "price < 5"
    assert sel(f) == {0, 1}
    hits = shop.search(np.zeros((2, 8)), k=3, filter=f, include_metadata=True)
    assert len(hits) == 2 and len(hits[0]) == 2
    assert {h.metadata["n"] for h in hits[0]} == {0, 1} and hits[0][0].distance <= hits[0][1].distance
    f.close()
    with pytest.raises(zevud.InvalidArgumentError):
        shop.search(np.zeros(8), filter=f)


def test_update_and_delete(shop):
    shop.update(3, vector=np.full(8, 9, np.float32))
    np.testing.assert_array_equal(shop.get(3).vector, np.full(8, 9, np.float32))
    shop.update(3, metadata={"n": 100, "kind": "gone"})
    assert shop.get(3).metadata == {"n": 100, "kind": "gone"}
    assert shop.delete([3, 4, 999]) == 2
    assert shop.delete(5) == 1
    assert len(shop) == 37 and 3 not in shop
    assert shop.delete(filter="kind == 'toy'") == 9                 # n = 2 went with id 3
    assert shop.delete(filter=shop.filter("n >= 1000")) == 0
    assert len(shop) == 28
    assert shop.delete([]) == 0


def test_index_build_search_effort_and_info(db, rng):
    c = db.create_collection("g", 16, metric="l2", index="hnsw", ef_search=32)
    x = rng.random((500, 16), dtype=np.float32)
    c.add(x)
    info = c.info()
    assert info["index"] == "hnsw" and not info["index_active"] and info["ef_search"] == 32
    c.build_index()
    info = c.info()
    assert info["index_active"] and info["count"] == 500 and info["next_id"] == 501
    assert c.ef == 32
    c.ef = 128
    assert c.ef == 128
    ids, _ = c.search(x[:20], k=5, ef=200)
    # The nearest record to a stored vector is itself.
    assert (ids[:, 0] == np.arange(1, 21)).mean() >= 0.95
    iv = db.create_collection("lists", 16, index="ivf", nprobe=4)
    iv.add(x)
    iv.build_index()
    assert iv.info()["nprobe"] == 4 and iv.info()["index"] == "ivf"
    ids, _ = iv.search(x[:5], k=1, ef=1000)
    assert list(ids[:, 0]) == [1, 2, 3, 4, 5]
    cos = db.create_collection("cos", 3, metric="cosine", index="flat")
    cos.add([[1, 0, 0], [0, 1, 0]])
    _, d = cos.search([2, 0, 0], k=2)
    np.testing.assert_allclose(d[0], [0, 1], atol=1e-6)


def test_database_registry(db):
    a = db.create_collection("a", 2)
    db.create_collection("b", 3)
    assert db.collections() == ["a", "b"] and "a" in db and "zz" not in db
    assert db["a"] is a and db["b"].dimension == 3
    db.drop("a")
    assert db.collections() == ["b"]
    with pytest.raises(zevud.NotFoundError):
        len(a)                       # the dropped collection's object stops working
    with pytest.raises(zevud.NotFoundError):
        db["a"]
    assert "zevud.Database" in repr(db) and "b" in repr(db["b"])
