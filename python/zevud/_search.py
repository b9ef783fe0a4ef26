# SPDX-License-Identifier: Apache-2.0
"""The one place where a batch of queries becomes library calls.

A single query is one rk_collection_search_ex call writing straight into a
buffer laid out as the library's result records, with precomputed addresses.
A batch is one rk_collection_search_batch call: one read lock, the queries
spread over one thread per core, answers bit for bit the single searches'."""
from __future__ import annotations

from ctypes import addressof, c_char, c_uint64, c_void_p
from threading import get_ident
from typing import Any, Dict, Tuple

import numpy as np

from . import _lib
from ._errors import check

_U64_PER_RESULT = 5        # rk_search_result_t: 40 bytes; id at 0, distance (float32) at 8
_U64_PER_INDEX_RESULT = 6  # rk_index_result_t: 48 bytes, same two fields first


def address(a: np.ndarray) -> int:
    """The data address of a C-contiguous array (cheaper than a.ctypes.data
    for writable arrays, which most are)."""
    if a.flags.writeable and a.size:
        return addressof(c_char.from_buffer(a))
    return a.ctypes.data


def _finish(res: Any, counts: Any, nq: int, k: int, per: int) -> Tuple[np.ndarray, np.ndarray]:
    """ids and distances out of the library's records, padded with 0 / +inf."""
    raw = np.frombuffer(res, dtype=np.uint64).reshape(nq, k, per)
    ids = raw[:, :, 0].copy()
    dists = raw.view(np.float32)[:, :, 2].copy()
    if nq == 1:
        n = counts[0]
        if n < k:
            ids[0, n:] = 0
            dists[0, n:] = np.inf
        return ids, dists
    got = np.frombuffer(counts, dtype=np.uint64)
    if (got < k).any():
        pad = np.arange(k)[None, :] >= got[:, None]
        ids[pad] = 0
        dists[pad] = np.inf
    return ids, dists


class _Scratch:
    """One thread's result records and options for single-query searches,
    kept between calls so a search makes no ctypes objects at all."""

    __slots__ = ("k", "buf", "addr", "ids", "dists", "count", "count_addr", "params", "params_addr", "filter")

    def __init__(self, k: int) -> None:
        self.k = k
        self.buf = np.empty(k * _U64_PER_RESULT, np.uint64)
        # Constant arguments as ctypes objects, which ctypes passes without converting.
        self.addr = c_void_p(self.buf.ctypes.data)
        # (1, k) views of the records' id and distance fields; a copy of each is the answer.
        self.ids = self.buf.reshape(1, k, _U64_PER_RESULT)[:, :, 0]
        self.dists = self.buf.view(np.float32).reshape(1, k, 2 * _U64_PER_RESULT)[:, :, 2]
        self.count = c_uint64()
        self.count_addr = c_void_p(addressof(self.count))
        self.params = _lib.SearchParams(k, None, 0, 0, 0)
        self.params_addr = c_void_p(addressof(self.params))
        self.filter = 0


# Per thread (by its identifier, cheaper to reach than a threading.local):
# threads that ended leave theirs behind, so the table is emptied when it
# grows past what live threads could need.
_scratch: Dict[int, _Scratch] = {}


def search_one(coll: int, q: np.ndarray, k: int, filter_ptr: int, effort: int) -> Tuple[np.ndarray, np.ndarray]:
    """One query (a C-contiguous float32 row, 1-D or (1, dim)) into (1, k)
    ids and distances."""
    me = get_ident()
    s = _scratch.get(me)
    if s is None or s.k != k:
        if len(_scratch) > 256:
            _scratch.clear()
        s = _scratch[me] = _Scratch(k)
    if s.filter != filter_ptr:
        s.params.filter = filter_ptr or None
        s.filter = filter_ptr
    st = _lib.lib.rk_collection_search_ex(coll, address(q), s.params_addr, effort, s.addr, s.count_addr)
    if st:
        check(st, "search")
    ids, dists = s.ids.copy(), s.dists.copy()
    n = s.count.value
    if n < k:
        ids[0, n:] = 0
        dists[0, n:] = np.inf
    return ids, dists


def search_rows(coll: int, q: np.ndarray, k: int, filter_ptr: int, effort: int) -> Tuple[np.ndarray, np.ndarray]:
    """(ids, distances) of shape (nq, k) for the rows of a C-contiguous float32
    matrix, padded with id 0 / +inf."""
    nq = q.shape[0]
    if nq == 1 and k <= 1024:
        return search_one(coll, q, k, filter_ptr, effort)
    if nq == 0:
        return np.zeros((0, k), np.uint64), np.zeros((0, k), np.float32)
    params = _lib.SearchParams(k, filter_ptr or None, 0, 0, 0)
    res = (c_uint64 * (nq * k * _U64_PER_RESULT))()
    counts = (c_uint64 * nq)()
    # threads 0: one per core; the call releases the GIL for its whole run.
    st = _lib.lib.rk_collection_search_batch(coll, address(q), nq, addressof(params), effort, 0,
                                             addressof(res), addressof(counts))
    if st:
        check(st, f"search of {nq} queries")
    return _finish(res, counts, nq, k, _U64_PER_RESULT)


def search_index_rows(index: int, q: np.ndarray, k: int, effort: int) -> Tuple[np.ndarray, np.ndarray]:
    """As search_rows, over an index object (rk_index_search_ex)."""
    nq = q.shape[0]
    if nq == 0:
        return np.zeros((0, k), np.uint64), np.zeros((0, k), np.float32)
    res = (c_uint64 * (nq * k * _U64_PER_INDEX_RESULT))()
    counts = (c_uint64 * nq)()
    fn = _lib.lib.rk_index_search_ex
    qa, qs, ra, rs = address(q), q.strides[0], addressof(res), 48 * k
    for i in range(nq):
        counts[i] = fn(index, qa + i * qs, k, effort, ra + i * rs)
    return _finish(res, counts, nq, k, _U64_PER_INDEX_RESULT)
