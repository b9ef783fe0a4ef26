# SPDX-License-Identifier: Apache-2.0
"""Saved databases: a round trip through Python, and the zevud tool and the
package reading each other's databases."""
import json
import subprocess

import numpy as np

import zevud


def test_round_trip_keeps_records_metadata_index_and_settings(tmp_path, rng):
    x = rng.random((300, 12), dtype=np.float32)
    meta = [{"n": i, "w": i / 7, "s": f"r{i}", "b": i % 2 == 0} for i in range(300)]
    with zevud.open(tmp_path / "db") as db:
        c = db.create_collection("c", 12, metric="ip", ef_search=40)
        c.add(x, meta)
        c.delete([5])
        c.build_index()
        before = c.search(x[:10], k=5)
        db.create_collection("empty", 3, index="flat")
    with zevud.open(tmp_path / "db") as db:
        assert db.collections() == ["c", "empty"]
        c = db["c"]
        assert len(c) == 299 and c.metric == "ip" and c.info()["index_active"] and c.ef == 40
        assert c.get(7).metadata == meta[6]
        np.testing.assert_array_equal(c.get(300).vector, x[299])
        after = c.search(x[:10], k=5)
        np.testing.assert_array_equal(before[0], after[0])
        np.testing.assert_array_equal(before[1], after[1])
        assert c.add(x[:1])[0] == 301                     # ids go on where they stopped
        c.save(tmp_path / "alone.rkcol")
    assert (tmp_path / "alone.rkcol").stat().st_size > 299 * 12 * 4


def run(cli, *args):
    out = subprocess.run([cli, *map(str, args)], capture_output=True, text=True, check=True)
    return out.stdout


def test_the_tool_reads_what_python_wrote(tmp_path, cli, rng):
    x = rng.random((60, 4), dtype=np.float32)
    kinds = ["a", "b", "c"]
    with zevud.open(tmp_path / "db") as db:
        c = db.create_collection("py", 4, index="flat")
        c.add(x, [{"price": float(i), "kind": kinds[i % 3], "ok": i % 2 == 1} for i in range(60)])
        q = x[10] + 0.01
        want_ids, want_d = c.search(q, k=5, filter="price < 30 and kind != 'b'")
    got = json.loads(run(cli, "search", tmp_path / "db", "py", "--vector", ",".join(map(repr, q.tolist())),
                         "-k", 5, "--filter", "price < 30 and kind != 'b'", "--json"))
    assert [r["id"] for r in got["results"]] == [int(i) for i in want_ids[0]]
    np.testing.assert_allclose([r["distance"] for r in got["results"]], want_d[0], rtol=1e-5)
    assert got["results"][0]["metadata"]["kind"] in ("a", "c")
    info = json.loads(run(cli, "info", tmp_path / "db", "--json"))
    assert info["collections"][0]["vectors"] == 60 and info["collections"][0]["dimension"] == 4


def test_python_reads_what_the_tool_wrote(tmp_path, cli, rng):
    x = rng.random((50, 3)).round(4)
    lines = ["x,y,z,colour,size,fresh"] + [
        f"{a},{b},{c},{['red', 'blue'][i % 2]},{i * 1.5},{'true' if i % 3 == 0 else 'false'}"
        for i, (a, b, c) in enumerate(x)]
    (tmp_path / "v.csv").write_text("\n".join(lines) + "\n")
    run(cli, "import", tmp_path / "db", "tool", tmp_path / "v.csv", "--meta", "colour,size,fresh")
    with zevud.open(tmp_path / "db", read_only=True) as db:
        c = db["tool"]
        assert len(c) == 50 and c.dimension == 3
        r = c.get(4)
        np.testing.assert_allclose(r.vector, x[3], rtol=1e-6)
        assert r.metadata == {"colour": "blue", "size": 4.5, "fresh": True}
        ids, _ = c.search(x[0], k=50, filter="colour == 'RED' and size < 15 and fresh == true")
        assert sorted(int(i) for i in ids[0] if i) == [1, 7]
        want = json.loads(run(cli, "search", tmp_path / "db", "tool", "--id", 1, "-k", 4, "--json"))
        ids, _ = c.search(c.get(1).vector, k=4)
        assert [r["id"] for r in want["results"]] == [int(i) for i in ids[0]]


def test_sync_makes_changes_visible_to_another_handle_and_drops_stay_dropped(tmp_path):
    assert zevud.library_version().startswith("Rakmo ZevUD ")
    with zevud.open(tmp_path / "db") as db:
        a = db.create_collection("a", 2, index="flat")
        db.create_collection("b", 2, index="flat").add([[0, 1]])
        a.add([[1, 2], [3, 4]], [{"k": "x"}, {}])
        a.sync()
        with zevud.open(tmp_path / "db", read_only=True) as other:
            assert other.collections() == ["a", "b"] and len(other["a"]) == 2
            assert other["a"].get(1).metadata == {"k": "x"} and other["a"].get(2).metadata == {}
        db.drop("b")
        db.save()
    with zevud.open(tmp_path / "db") as db:
        assert db.collections() == ["a"]
