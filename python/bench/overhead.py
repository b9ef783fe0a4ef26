# SPDX-License-Identifier: Apache-2.0
"""Python overhead against C on MNIST (10,000 rows of 784 floats):
adding all rows to a fresh HNSW collection (one batch), and single-query
searches of the built index at ef 64, k 10. The C figures come from
overhead_c.c, compiled here against the same shared library.

    python overhead.py [--mnist PATH] [--queries N] [--rounds R]

Prints one line per measure with both figures and the ratio; each figure is
the best of R rounds (the least disturbed by other load on the machine)."""
import argparse
import ctypes
import gzip
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import zevud

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))


def load_idx(path):
    with gzip.open(path, "rb") if path.endswith(".gz") else open(path, "rb") as f:
        data = f.read()
    n, rows, cols = (int.from_bytes(data[i:i + 4], "big") for i in (4, 8, 12))
    return np.frombuffer(data, np.uint8, n * rows * cols, 16).reshape(n, rows * cols).astype(np.float32)


def python_figures(x, nq, rounds):
    best_insert = best_search = best_raw = float("inf")
    with zevud.open() as db:
        for r in range(rounds):
            c = db.create_collection(f"i{r}", x.shape[1], index="hnsw")
            t0 = time.perf_counter()
            c.add(x)
            best_insert = min(best_insert, time.perf_counter() - t0)
            db.drop(f"i{r}")
        c = db.create_collection("s", x.shape[1], index="hnsw")
        c.add(x)
        c.build_index()
        checksum = 0
        for _ in range(rounds):
            t0 = time.perf_counter()
            for i in range(nq):
                ids, _ = c.search(x[i], k=10, ef=64)
                checksum += int(ids[0, 0])
            best_search = min(best_search, (time.perf_counter() - t0) / nq)
            best_raw = min(best_raw, raw_loop(c, x, nq))
    return best_insert, best_search * 1e6, checksum, best_raw * 1e6


def raw_loop(c, x, nq):
    """The same searches as bare foreign calls (no checks, no arrays made):
    what is left is the cost of being called from Python at all."""
    from zevud import _lib
    fn = _lib.lib.rk_collection_search_ex
    params = _lib.SearchParams(10, None, 0, 0, 0)
    res = (_lib.SearchResult * 10)()
    n = ctypes.c_uint64()
    p, pa, ra, na = c._ptr, ctypes.addressof(params), ctypes.addressof(res), ctypes.addressof(n)
    base, stride = x.ctypes.data, x.strides[0]
    t0 = time.perf_counter()
    for i in range(nq):
        fn(p, base + i * stride, pa, 64, ra, na)
    return (time.perf_counter() - t0) / nq


def c_figures(x, nq, rounds, lib):
    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, "overhead_c")
        # The very file the package loaded, under its SONAME so the loader finds it.
        os.symlink(lib, os.path.join(tmp, "libzevud.so.0"))
        subprocess.check_call(["cc", "-O2", "-o", exe, os.path.join(HERE, "overhead_c.c"),
                               "-I", os.path.join(REPO, "include"), os.path.join(tmp, "libzevud.so.0"),
                               f"-Wl,-rpath,{tmp}"])
        rows = os.path.join(tmp, "rows.f32")
        x.tofile(rows)
        out = subprocess.check_output([exe, rows, str(len(x)), str(x.shape[1]), str(nq), str(rounds)], text=True)
    vals = dict(line.split() for line in out.strip().splitlines())
    return float(vals["insert_s"]), float(vals["search_us"]), int(vals["checksum"])


# glibc moves its mmap threshold after the first large free, so a process
# that freed a big buffer early (this one, loading MNIST) reuses warm heap
# pages for the collection's arena blocks while a fresh one faults them in.
# A fixed threshold puts both sides on the same footing.
TUNABLES = "glibc.malloc.mmap_threshold=33554432"


def main():
    if os.environ.get("GLIBC_TUNABLES") != TUNABLES:
        os.environ["GLIBC_TUNABLES"] = TUNABLES
        os.execv(sys.executable, [sys.executable, *sys.argv])
    ap = argparse.ArgumentParser()
    ap.add_argument("--mnist", default=os.path.join(REPO, "..", "shared", "data", "mnist-t10k-images-idx3-ubyte.gz"))
    ap.add_argument("--queries", type=int, default=2000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--turns", type=int, default=3)
    a = ap.parse_args()
    x = load_idx(a.mnist)[:10000]
    lib = os.path.realpath(zevud.library_path)
    # C and Python take turns, so that both see the same spells of load on a
    # shared machine; each keeps its best round.
    ci = cs = pi = ps = praw = float("inf")
    for _ in range(a.turns):
        c_ins, c_srch, cchk = c_figures(x, a.queries, a.rounds, lib)
        p_ins, p_srch, pchk, p_raw = python_figures(x, a.queries, a.rounds)
        if cchk != pchk:
            sys.exit(f"the two sides found different neighbours ({cchk} vs {pchk})")
        ci, cs, pi, ps, praw = min(ci, c_ins), min(cs, c_srch), min(pi, p_ins), min(ps, p_srch), min(praw, p_raw)
    print(f"library: {lib}")
    print(f"add {len(x)} MNIST rows (HNSW collection, one batch): C {ci * 1e3:.2f} ms, "
          f"Python {pi * 1e3:.2f} ms, Python/C {pi / ci:.3f}")
    print(f"single-query search, HNSW ef 64, k 10 ({a.queries} queries): C {cs:.1f} us, "
          f"Python {ps:.1f} us, Python/C {ps / cs:.3f} (bare foreign calls from Python: {praw:.1f} us)")

if __name__ == "__main__":
    main()
