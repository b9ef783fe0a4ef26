# SPDX-License-Identifier: Apache-2.0
"""Every refusal: bad arrays are stopped before the library, library
failures carry its status and message, and nothing changes when a call fails."""
import numpy as np
import pytest

import zevud


def test_bad_arrays_are_refused_before_the_library(shop):
    before = len(shop)
    with pytest.raises(zevud.DimensionError) as e:
        shop.add(np.zeros((2, 7), np.float32))
    assert e.value.status == -103 and "dimension is 8" in str(e.value)
    with pytest.raises(zevud.DTypeError) as e:
        shop.add(np.array([["a"] * 8]))
    assert isinstance(e.value, TypeError) and isinstance(e.value, zevud.Error)
    with pytest.raises(zevud.DTypeError):
        shop.search(np.zeros((1, 8), np.complex64))
    with pytest.raises(zevud.InvalidArgumentError, match="2-D"):
        shop.add(np.zeros((2, 2, 8), np.float32))
    with pytest.raises(zevud.InvalidArgumentError, match="list of 2 dicts"):
        shop.add(np.zeros((2, 8)), [{"a": 1}])
    with pytest.raises(zevud.InvalidArgumentError, match="holds a list"):
        shop.add(np.zeros((2, 8)), [{"a": 1}, {"a": [1]}])   # the second row is bad: neither goes in
    with pytest.raises(zevud.InvalidArgumentError, match="64 bits"):
        shop.add(np.zeros((1, 8)), [{"a": 2**70}])
    with pytest.raises(zevud.InvalidArgumentError, match="non-empty strings"):
        shop.add(np.zeros((1, 8)), [{1: 1}])
    assert len(shop) == before
    for bad_k in (0, -1, 2.5, "3"):
        with pytest.raises(zevud.InvalidArgumentError):
            shop.search(np.zeros(8), k=bad_k)
    with pytest.raises(zevud.InvalidArgumentError):
        shop.search(np.zeros(8), ef=0)
    with pytest.raises(zevud.InvalidArgumentError, match="negative"):
        shop.delete([-1])
    with pytest.raises(zevud.InvalidArgumentError, match="one of them"):
        shop.delete([1], filter="n == 1")
    with pytest.raises(zevud.InvalidArgumentError):
        shop.update(1)
    with pytest.raises(zevud.InvalidArgumentError):
        shop.update(1, vector=np.zeros((2, 8)))


def test_filter_errors_name_the_column_and_change_nothing(shop):
    cases = [("colour == 'red'", 1, "unknown metadata key"), ("n == 2.5", 6, "whole number"),
             ("kind < 'a'", 8, "== and !="), ("n == 1 and", 11, "end of expression"),
             ("sale == 1", 9, "holds a boolean"), ("", 1, "empty")]
    for text, column, says in cases:
        with pytest.raises(zevud.FilterError) as e:
            shop.search(np.zeros(8), filter=text)
        assert e.value.column == column and says in e.value.reason, text
        assert e.value.status == -2 and f"column {column}" in str(e.value)
    # Columns count characters, not bytes.
    with pytest.raises(zevud.FilterError) as e:
        shop.search(np.zeros(8), filter="kind == 'é' and ?")
    assert e.value.column == 17
    with pytest.raises(zevud.FilterError):
        shop.delete(filter="n <")
    assert len(shop) == 40
    with pytest.raises(zevud.InvalidArgumentError):
        shop.search(np.zeros(8), filter=42)


def test_library_failures_carry_status_and_message(db, shop):
    with pytest.raises(zevud.NotFoundError) as e:
        shop.get(999)
    assert e.value.status == -4 and e.value.message == "Not found" and isinstance(e.value, LookupError)
    with pytest.raises(zevud.NotFoundError):
        shop.update(999, metadata={"a": 1})
    assert 999 not in shop and len(shop) == 40              # no record was made
    with pytest.raises(zevud.ExistsError) as e:
        db.create_collection("shop", 8)
    assert e.value.status == -5
    with pytest.raises(zevud.InvalidArgumentError):
        db.create_collection("a/b", 8)                      # the library refuses the name
    with pytest.raises(zevud.InvalidArgumentError, match="unknown index parameters"):
        db.create_collection("x", 8, m=32)
    with pytest.raises(zevud.InvalidArgumentError, match="metric"):
        db.create_collection("x", 8, metric="manhattan")
    with pytest.raises(zevud.InvalidArgumentError, match="index"):
        db.create_collection("x", 8, index="lsh")
    with pytest.raises(zevud.InvalidArgumentError):
        db.create_collection("x", 0)
    with pytest.raises(zevud.NotSupportedError):
        shop.ef = 10                                        # a flat collection has no effort
    with pytest.raises(zevud.NotFoundError):
        db.drop("nope")
    assert db.collections() == ["shop"]


def test_closed_and_read_only_databases_refuse(tmp_path):
    with zevud.open(tmp_path / "d") as d:
        d.create_collection("c", 2).add([[1, 2]])
    with zevud.open(tmp_path / "d", read_only=True) as d:
        c = d["c"]
        for call in (lambda: c.add([[1, 2]]), lambda: c.delete([1]), lambda: c.update(1, [0, 0]),
                     lambda: d.create_collection("e", 2), lambda: d.drop("c")):
            with pytest.raises(zevud.ReadOnlyError) as e:
                call()
            assert e.value.status == -206
        assert len(c) == 1
    with pytest.raises(zevud.NotFoundError):
        len(c)
    with pytest.raises(zevud.InvalidArgumentError, match="closed"):
        d.collections()
    d.close()                                               # again: nothing happens
    with pytest.raises(zevud.NotFoundError):
        zevud.open(tmp_path / "missing", read_only=True)
