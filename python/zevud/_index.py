# SPDX-License-Identifier: Apache-2.0
"""The lower index API: one approximate-nearest-neighbour index whose ids
the caller manages (no records, no metadata, no files beside its own)."""
from __future__ import annotations

import os
from ctypes import byref, c_uint32, c_void_p
from typing import Any, Optional, Tuple, Union

import numpy as np

from . import _arrays, _lib
from ._errors import InvalidArgumentError, OutOfMemoryError, StorageError, check
from ._search import search_index_rows

L = _lib.lib
_NAMES = {v: k for k, v in _lib.INDEX_TYPES.items()}


class Index:
    """An HNSW or IVF index (optionally quantised) over float32 vectors.

    ``Index(dim, kind="hnsw", metric="l2", m=16, ef_construction=200,
    ef_search=64, seed=0)`` for the graph types ("hnsw", "hnsw_sq",
    "hnsw_pq"); ``Index(dim, kind="ivf", nlist=..., nprobe=8,
    train_iterations=10)`` for the list types ("ivf", "ivf_sq", "ivf_pq"),
    which must be trained before ``add``. ``pq_m``/``pq_nbits`` configure
    the product quantiser. Graph ids are slot numbers: keep them small.
    Searches may run from several threads beside adds; train, save and
    close must not overlap other calls."""

    def __init__(self, dim: int, kind: str = "hnsw", metric: str = "l2", *, m: int = 16,
                 ef_construction: int = 200, ef_search: int = 64, seed: int = 0, nlist: Optional[int] = None,
                 nprobe: int = 8, train_iterations: int = 10, quantization: int = 0, pq_m: int = 0,
                 pq_nbits: int = 8) -> None:
        self.dimension = _arrays.count(dim, "dim")
        if kind not in _lib.INDEX_TYPES or kind == "flat":
            raise InvalidArgumentError(_lib.ERR_INVALID_ARG, f"kind must be one of hnsw, hnsw_sq, hnsw_pq, ivf, "
                                                             f"ivf_sq, ivf_pq, not {kind!r}")
        if metric not in _lib.METRICS:
            raise InvalidArgumentError(_lib.ERR_INVALID_ARG, f"metric must be one of {sorted(_lib.METRICS)}")
        cfg = _lib.IndexConfig()
        cfg.type = _lib.INDEX_TYPES[kind]
        cfg.metric = _lib.METRICS[metric]
        cfg.dimension = self.dimension
        cfg.quantization = _arrays.count(quantization, "quantization", 0, 2)
        cfg.pq_m = _arrays.count(pq_m, "pq_m", 0)
        cfg.pq_nbits = _arrays.count(pq_nbits, "pq_nbits", 0, 8)
        if cfg.type % 2 == 0:
            h = cfg.params.hnsw
            h.m = _arrays.count(m, "m", 2)
            h.ef_construction = _arrays.count(ef_construction, "ef_construction")
            h.ef_search = _arrays.count(ef_search, "ef_search")
            h.seed = _arrays.count(seed, "seed", 0)
        else:
            if nlist is None:
                raise InvalidArgumentError(_lib.ERR_INVALID_ARG, "an IVF index needs nlist (lists to train)")
            v = cfg.params.ivf
            v.nlist = _arrays.count(nlist, "nlist")
            v.nprobe = _arrays.count(nprobe, "nprobe")
            v.train_iterations = _arrays.count(train_iterations, "train_iterations", 0)
        p = L.rk_index_create(None, byref(cfg))
        if not p:
            raise OutOfMemoryError(_lib.ERR_NO_MEMORY, f"creating a {kind} index of dimension {dim}")
        self._p: Optional[int] = p
        self._arena: Optional[int] = None

    @classmethod
    def load(cls, path: Union[str, os.PathLike]) -> "Index":
        """An index from a file written by ``save``."""
        arena = c_void_p()
        check(L.rk_arena_create(0, byref(arena)), "loading an index")
        raw = os.fsencode(path)
        p = L.rk_index_load(arena, byref(_lib.String(raw, len(raw))))
        if not p:
            L.rk_arena_destroy(arena)
            raise StorageError(_lib.ERR_FILE_NOT_FOUND if not os.path.exists(path) else -201,
                               f"cannot load an index from {os.fspath(path)}")
        self = cls.__new__(cls)
        self._p, self._arena = p, arena.value
        self.dimension = int(L.rk_index_get_dim(p))
        return self

    @property
    def _ptr(self) -> int:
        if not self._p:
            raise InvalidArgumentError(_lib.ERR_INVALID_ARG, "the index is closed")
        return self._p

    @property
    def kind(self) -> str:
        return _NAMES.get(int(L.rk_index_get_type(self._ptr)), "?")

    @property
    def is_trained(self) -> bool:
        return bool(L.rk_index_is_trained(self._ptr))

    def train(self, data: Any) -> None:
        """Trains an IVF index on rows (graph types need no training)."""
        x = _arrays.matrix(data, self.dimension, "training rows")
        if x.shape[0] == 0:
            raise InvalidArgumentError(_lib.ERR_INVALID_ARG, "training needs rows")
        check(L.rk_index_train(self._ptr, x.ctypes.data, x.shape[0]), "training")

    def add(self, ids: Any, vectors: Any) -> None:
        """Adds row i of ``vectors`` under ``ids[i]``."""
        x = _arrays.matrix(vectors, self.dimension, "vectors")
        a = _arrays.ids(ids)
        if a.size != x.shape[0]:
            raise InvalidArgumentError(_lib.ERR_INVALID_ARG, f"{a.size} ids for {x.shape[0]} vectors")
        if a.size:
            check(L.rk_index_add_batch(self._ptr, a.ctypes.data, x.ctypes.data, a.size), "adding")

    def remove(self, ids: Any) -> None:
        """Removes ids so that no later search returns them (unknown ids are fine)."""
        a = _arrays.ids(ids)
        if a.size:
            check(L.rk_index_remove_batch(self._ptr, a.ctypes.data, a.size), "removing")

    def search(self, queries: Any, k: int = 10, ef: Optional[int] = None) -> Tuple[np.ndarray, np.ndarray]:
        """(ids, distances) of shape (nq, k), nearest first; rows padded with id
        0 and distance +inf. ``ef``: effort for this call (candidate list
        for graphs, lists probed for IVF)."""
        q = _arrays.matrix(queries, self.dimension, "queries")
        k = _arrays.count(k, "k", 1, 1 << 20)
        effort = 0 if ef is None else _arrays.count(ef, "ef")
        return search_index_rows(self._ptr, q, k, effort)

    @property
    def ef(self) -> int:
        """Stored search effort: ef_search for graphs, nprobe for IVF."""
        v = c_uint32()
        get = L.rk_index_get_nprobe if self.kind.startswith("ivf") else L.rk_index_get_ef_search
        check(get(self._ptr, byref(v)))
        return int(v.value)

    @ef.setter
    def ef(self, value: int) -> None:
        put = L.rk_index_set_nprobe if self.kind.startswith("ivf") else L.rk_index_set_ef_search
        check(put(self._ptr, _arrays.count(value, "ef")))

    def save(self, path: Union[str, os.PathLike]) -> None:
        raw = os.fsencode(path)
        check(L.rk_index_save(self._ptr, byref(_lib.String(raw, len(raw)))), f"saving to {os.fspath(path)}")

    def __len__(self) -> int:
        """Vectors added (removals do not lower it)."""
        return int(L.rk_index_get_ntotal(self._ptr))

    def close(self) -> None:
        if self._p:
            L.rk_index_destroy(self._p)
            self._p = None
        if self._arena:
            L.rk_arena_destroy(self._arena)
            self._arena = None

    def __enter__(self) -> "Index":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        return f"<zevud.Index {self.kind if self._p else 'closed'} dim={self.dimension}>"
