# SPDX-License-Identifier: Apache-2.0
"""Threads searching one collection at once, and the lower index API."""
import threading

import numpy as np
import pytest

import zevud


def test_threads_searching_one_collection_get_the_single_threaded_answers(db, rng):
    c = db.create_collection("t", 32, ef_search=64)
    x = rng.random((2000, 32), dtype=np.float32)
    c.add(x, [{"n": i} for i in range(2000)])
    c.build_index()
    q = rng.random((64, 32), dtype=np.float32)
    flt = c.filter("n >= 500")
    want = [c.search(q, k=10), c.search(q, k=10, filter=flt)]
    got = {}
    errors = []

    def work(t):
        try:
            for _ in range(5):
                got[t] = [c.search(q, k=10), c.search(q, k=10, filter=flt if t % 2 else "n >= 500")]
                # Single queries reuse per-thread buffers; k changes between calls.
                for i in range(0, 64, 7):
                    one = c.search(q[i], k=10)
                    assert np.array_equal(one[0][0], want[0][0][i]) and np.array_equal(one[1][0], want[0][1][i])
                    assert np.array_equal(c.search(q[i], k=3)[0][0], want[0][0][i][:3])
        except Exception as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for t in range(8):
        for (wi, wd), (gi, gd) in zip(want, got[t]):
            np.testing.assert_array_equal(wi, gi)
            np.testing.assert_array_equal(wd, gd)


@pytest.mark.parametrize("kind", ["hnsw", "ivf"])
def test_index_add_search_remove_save_load(tmp_path, rng, kind):
    x = rng.random((400, 8), dtype=np.float32)
    ids = np.arange(10, 410, dtype=np.uint64)
    with zevud.Index(8, kind, nlist=8 if kind == "ivf" else None) as ix:
        if kind == "ivf":
            assert not ix.is_trained
            with pytest.raises(zevud.IndexNotReadyError):
                ix.add(ids, x)
            ix.train(x)
        ix.add(ids, x)
        assert len(ix) == 400 and ix.kind == kind
        found, dist = ix.search(x[:5], k=3, ef=400 if kind == "hnsw" else 8)
        assert list(found[:, 0]) == [10, 11, 12, 13, 14] and np.all(dist[:, 0] < 1e-5)
        ix.remove([10])
        found, _ = ix.search(x[0], k=3, ef=400 if kind == "hnsw" else 8)
        assert 10 not in found
        ix.ef = 5
        assert ix.ef == 5
        ix.save(tmp_path / "ix")
        with pytest.raises(zevud.InvalidArgumentError, match="ids for"):
            ix.add([1, 2], x[:3])
        with pytest.raises(zevud.DimensionError):
            ix.search(np.zeros(9))
    with pytest.raises(zevud.InvalidArgumentError, match="closed"):
        len(ix)
    with zevud.Index.load(tmp_path / "ix") as back:
        assert back.dimension == 8 and back.ef == 5
        found, _ = back.search(x[1:4], k=1, ef=400 if kind == "hnsw" else 8)
        assert list(found[:, 0]) == [11, 12, 13]
    with pytest.raises(zevud.StorageError):
        zevud.Index.load(tmp_path / "missing")
    with pytest.raises(zevud.InvalidArgumentError, match="nlist"):
        zevud.Index(8, "ivf")
    with pytest.raises(zevud.InvalidArgumentError):
        zevud.Index(8, "flat")
