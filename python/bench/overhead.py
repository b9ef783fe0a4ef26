# SPDX-License-Identifier: Apache-2.0
"""Python overhead against C on MNIST (10,000 rows of 784 floats):
adding all rows to a fresh HNSW collection in one batch, and single-query
searches of the built index at ef 64, k 10.

The C side (overhead_c.c) is compiled here into a small shared object and
loaded into this process; it loops the same library calls the package makes
and times them in C. The two sides take turns in small slices over the very
same collection, so both see the same data, memory and machine load.
Both sides count the CPU time of the calling thread (CLOCK_THREAD_CPUTIME_ID,
time.thread_time), so time spent preempted on a shared machine counts for
neither.

    python overhead.py [--mnist PATH] [--queries N] [--rounds R]
"""
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


def c_side(tmp, lib):
    so = os.path.join(tmp, "overhead_c.so")
    # Linked against the very file the package loaded, under its SONAME.
    os.symlink(lib, os.path.join(tmp, "libzevud.so.0"))
    subprocess.check_call(["cc", "-O2", "-shared", "-fPIC", "-o", so, os.path.join(HERE, "overhead_c.c"),
                           "-I", os.path.join(REPO, "include"), os.path.join(tmp, "libzevud.so.0"),
                           f"-Wl,-rpath,{tmp}"])
    c = ctypes.CDLL(so)
    c.bench_insert.restype = c.bench_search.restype = ctypes.c_double
    c.bench_insert.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_void_p]
    c.bench_search.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint64, ctypes.c_uint32,
                               ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint64)]
    return c


def measure_add(db, cb, x, rounds):
    c_total = py_total = 0.0
    ids = np.empty(len(x), np.uint64)
    for r in range(rounds):
        # Alternate which side goes first, so neither always gets warmer memory.
        for side in (("c", "py") if r % 2 == 0 else ("py", "c")):
            coll = db.create_collection(f"add_{side}_{r}", x.shape[1], index="hnsw")
            if side == "c":
                t = cb.bench_insert(coll._ptr, x.ctypes.data, len(x), ids.ctypes.data)
                assert t >= 0
                c_total += t
            else:
                t0 = time.thread_time()
                coll.add(x)
                py_total += time.thread_time() - t0
            db.drop(f"add_{side}_{r}")
    return c_total / rounds, py_total / rounds


def measure_search(coll, cb, q, rounds, slice_=50):
    c_total = py_total = 0.0
    c_sum, py_sum = ctypes.c_uint64(0), 0
    dim = q.shape[1]
    for _ in range(rounds):
        for s in range(0, len(q), slice_):
            part = q[s:s + slice_]
            t = cb.bench_search(coll._ptr, part.ctypes.data, len(part), dim, 64, ctypes.byref(c_sum))
            assert t >= 0
            c_total += t
            t0 = time.thread_time()
            for row in part:
                ids, _ = coll.search(row, k=10, ef=64)
                py_sum += int(ids[0, 0])
            py_total += time.thread_time() - t0
    if c_sum.value != py_sum:
        sys.exit(f"the two sides found different neighbours ({c_sum.value} vs {py_sum})")
    n = rounds * len(q)
    return c_total / n, py_total / n


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mnist", default=os.path.join(REPO, "..", "shared", "data", "mnist-t10k-images-idx3-ubyte.gz"))
    ap.add_argument("--queries", type=int, default=2000)
    ap.add_argument("--rounds", type=int, default=5)
    a = ap.parse_args()
    x = load_idx(a.mnist)[:10000]
    lib = os.path.realpath(zevud.library_path)
    with tempfile.TemporaryDirectory() as tmp, zevud.open() as db:
        cb = c_side(tmp, lib)
        ci, pi = measure_add(db, cb, x, a.rounds)
        coll = db.create_collection("mnist", x.shape[1], index="hnsw")
        coll.add(x)
        coll.build_index()
        cs, ps = measure_search(coll, cb, x[:a.queries], a.rounds)
    print(f"library: {lib}")
    print(f"add {len(x)} MNIST rows to an HNSW collection (one batch, mean of {a.rounds}): "
          f"C {ci * 1e3:.2f} ms, Python {pi * 1e3:.2f} ms, Python/C {pi / ci:.3f}")
    print(f"single-query search, HNSW ef 64, k 10 ({a.queries} queries x {a.rounds}): "
          f"C {cs * 1e6:.1f} us, Python {ps * 1e6:.1f} us, Python/C {ps / cs:.3f}")


if __name__ == "__main__":
    main()
