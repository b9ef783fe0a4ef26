# SPDX-License-Identifier: Apache-2.0
"""Databases and their collections."""
from __future__ import annotations

import ctypes
import math
import os
import threading
from ctypes import byref, c_uint32, c_uint64, c_void_p
from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from . import _arrays, _lib, _meta
from ._errors import Error, FilterError, InvalidArgumentError, NotFoundError, ReadOnlyError, check
from ._search import search_one, search_rows

_F32 = np.dtype(np.float32)

L = _lib.lib
_INDEX_NAMES = {v: k for k, v in _lib.INDEX_TYPES.items()}
_METRIC_NAMES = {v: k for k, v in _lib.METRICS.items()}
_HNSW_TYPES = (2, 4, 6)
_IVF_TYPES = (1, 3, 5)


@dataclass
class Record:
    """A stored record: its id, a copy of its vector and its metadata."""

    id: int
    vector: np.ndarray
    metadata: Dict[str, Any] = field(default_factory=dict)


@dataclass
class Hit:
    """One search hit with the record's metadata."""

    id: int
    distance: float
    metadata: Dict[str, Any] = field(default_factory=dict)


class Filter:
    """A filter expression parsed once by the library, typed by the
    collection that made it (``Collection.filter``). Reusable across
    searches and collections; freed when garbage-collected or closed."""

    def __init__(self, ptr: int, text: str) -> None:
        self._ptr: Optional[int] = ptr
        self.text = text

    @classmethod
    def parse(cls, text: str, collection_ptr: Optional[int] = None) -> "Filter":
        if not isinstance(text, str):
            raise InvalidArgumentError(_lib.ERR_INVALID_ARG, f"a filter is a str, not {type(text).__name__}")
        raw = text.encode("utf-8")
        out = c_void_p()
        err = _lib.FilterError()
        st = L.rk_filter_parse(collection_ptr, raw, len(raw), byref(out), byref(err))
        if st != _lib.OK:
            if st == _lib.ERR_NO_MEMORY:
                check(st, "parsing a filter")
            # The library counts columns in bytes; report characters.
            col = int(err.column)
            if col:
                col = len(raw[:col - 1].decode("utf-8", "replace")) + 1
            raise FilterError(st, col, err.message.decode("utf-8", "replace"))
        return cls(out.value or 0, text)

    @property
    def ptr(self) -> int:
        if not self._ptr:
            raise InvalidArgumentError(_lib.ERR_INVALID_ARG, "the filter has been closed")
        return self._ptr

    def canonical(self) -> str:
        """The library's canonical text of the expression."""
        need = c_uint64()
        L.rk_filter_format(self.ptr, None, 0, byref(need))
        buf = ctypes.create_string_buffer(need.value + 1)
        check(L.rk_filter_format(self.ptr, buf, need.value + 1, byref(need)), "formatting a filter")
        return buf.value.decode("utf-8", "replace")

    def close(self) -> None:
        """Frees the tree now (also done by garbage collection)."""
        if self._ptr:
            L.rk_filter_free(self._ptr)
            self._ptr = None

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # interpreter shutdown
            pass

    def __repr__(self) -> str:
        return f"zevud.Filter({self.text!r})"


def _name_string(name: str) -> Tuple[_lib.String, bytes]:
    if not isinstance(name, str) or not name:
        raise InvalidArgumentError(_lib.ERR_INVALID_ARG, f"a collection name is a non-empty str, not {name!r}")
    raw = name.encode("utf-8")
    return _lib.String(raw, len(raw)), raw


class Collection:
    """A named collection of a database: records with ids, float32 vectors of
    a fixed dimension and metadata. Get one from ``Database.create_collection``
    or ``db[name]``; it is usable until it is dropped or the database closed.

    Searches may run from many threads at once (the library releases the GIL
    and shares the collection's read lock); writes wait for them."""

    def __init__(self, db: "Database", name: str, ptr: int) -> None:
        self._db = db
        self.name = name
        self._p: Optional[int] = ptr
        rec = _lib.Collection.from_address(ptr)
        self.dimension = int(rec.dimension)
        self.metric = _METRIC_NAMES.get(int(rec.metric), str(rec.metric))

    # ---- plumbing ----
    @property
    def _ptr(self) -> int:
        if not self._p:
            raise NotFoundError(_lib.ERR_COLLECTION_NOT_FOUND,
                                f"collection {self.name!r} was dropped or its database closed")
        return self._p

    def _writable(self, what: str) -> int:
        p = self._ptr
        if self._db.read_only:
            raise ReadOnlyError(_lib.ERR_READ_ONLY, f"{what} in a database opened read-only")
        return p

    def _filter(self, flt: Union[str, Filter, None]) -> Tuple[int, Optional[Filter]]:
        """The tree's address and, for a text parsed here, its owner to close."""
        if flt is None:
            return 0, None
        if isinstance(flt, Filter):
            return flt.ptr, None
        f = Filter.parse(flt, self._ptr)
        return f.ptr, f

    def filter(self, text: str) -> Filter:
        """Parses a filter expression once, typed by this collection's metadata
        (e.g. ``'kind == "shoe" and price < 50'``); pass the result as
        ``filter=`` to repeat it without parsing again."""
        return Filter.parse(text, self._ptr)

    # ---- writing ----
    def add(self, vectors: Any, metadata: Optional[Sequence[Mapping[str, Any]]] = None) -> np.ndarray:
        """Appends rows; returns their new ids (uint64, in row order).

        ``vectors``: a (n, dimension) array or anything numpy converts (one
        row may be 1-D); float32 C-contiguous arrays are passed without a copy.
        ``metadata``: None, or one dict per row of str keys and int, float,
        str or bool values.
        Every row is checked before the first is inserted. Raises
        DimensionError, DTypeError, InvalidArgumentError, ReadOnlyError, or
        the library's error (rows before a failing one stay inserted)."""
        p = self._writable("adding")
        x = _arrays.matrix(vectors, self.dimension, "vectors")
        n = x.shape[0]
        out = np.empty(n, dtype=np.uint64)
        if metadata is None:
            if n:
                check(L.rk_collection_insert_batch(p, x.ctypes.data, n, out.ctypes.data), "adding vectors")
            return out
        if isinstance(metadata, Mapping) or len(metadata) != n:
            raise InvalidArgumentError(_lib.ERR_INVALID_ARG,
                                       f"metadata must be a list of {n} dicts, one per row")
        prepared = [_meta.entries(m, f"row {i}") for i, m in enumerate(metadata)]
        base, stride = x.ctypes.data, 4 * self.dimension
        new_id = c_uint64()
        for i, (arr, _keep) in enumerate(prepared):
            count = len(metadata[i])
            check(L.rk_collection_insert_with_meta(p, base + i * stride, arr if count else None, count,
                                                   byref(new_id)), f"adding row {i}")
            out[i] = new_id.value
        return out

    def update(self, id: int, vector: Any = None, metadata: Optional[Mapping[str, Any]] = None) -> None:
        """Replaces the vector and/or the metadata of record ``id`` (an index
        keeps ranking by the old vector until ``build_index``). Raises
        NotFoundError for an unknown id; nothing changes when a call fails
        before the library is reached."""
        p = self._writable("updating")
        rid = _arrays.record_id(id)
        x = None if vector is None else _arrays.matrix(vector, self.dimension, "vector")
        if x is not None and x.shape[0] != 1:
            raise InvalidArgumentError(_lib.ERR_INVALID_ARG, "update takes one vector")
        prepared = None
        if metadata is not None:
            if not metadata:
                raise InvalidArgumentError(_lib.ERR_INVALID_ARG, "metadata to set must have at least one key")
            prepared = _meta.entries(metadata, "metadata")
        if x is None and prepared is None:
            raise InvalidArgumentError(_lib.ERR_INVALID_ARG, "update needs a vector or metadata")
        probe = np.empty(self.dimension, dtype=np.float32)
        check(L.rk_collection_get(p, rid, probe.ctypes.data), f"record {rid}")
        if prepared is not None:
            check(L.rk_collection_set_meta(p, rid, prepared[0], len(metadata)), f"record {rid}")
        if x is not None:
            check(L.rk_collection_upsert(p, rid, x.ctypes.data), f"record {rid}")

    def delete(self, ids: Any = None, *, filter: Union[str, Filter, None] = None) -> int:
        """Deletes the records with these ids (unknown ones are skipped), or
        every record the filter matches; returns how many went."""
        p = self._writable("deleting")
        if (ids is None) == (filter is None):
            raise InvalidArgumentError(_lib.ERR_INVALID_ARG, "delete takes ids or filter=, one of them")
        if filter is not None:
            fp, owner = self._filter(filter)
            try:
                n = L.rk_collection_delete_by_filter(p, fp)
            finally:
                if owner:
                    owner.close()
            if n < 0:
                check(_lib.ERR_INVALID_ARG, "deleting by filter")
            return int(n)
        a = _arrays.ids(ids)
        if a.size == 0:
            return 0
        before = len(self)
        check(L.rk_collection_delete_batch(p, a.ctypes.data, a.size), "deleting")
        return before - len(self)

    def build_index(self) -> None:
        """Builds the collection's index from every record and makes searches
        use it (building again starts over)."""
        check(L.rk_collection_build_index(self._ptr), f"building the index of {self.name!r}")

    # ---- reading ----
    def get(self, id: int) -> Record:
        """The record with this id (a copy of its vector and its metadata).
        Raises NotFoundError for an unknown id."""
        p = self._ptr
        rid = _arrays.record_id(id)
        vec = np.empty(self.dimension, dtype=np.float32)
        check(L.rk_collection_get(p, rid, vec.ctypes.data), f"record {rid}")
        return Record(rid, vec, self._metadata(rid))

    def _metadata(self, rid: int) -> Dict[str, Any]:
        p = self._ptr
        n = c_uint64(8)
        arr = (_lib.MetaEntry * 8)()
        check(L.rk_collection_get_meta(p, rid, arr, byref(n)), f"record {rid}")
        if n.value > 8:
            arr = (_lib.MetaEntry * n.value)()
            check(L.rk_collection_get_meta(p, rid, arr, byref(n)), f"record {rid}")
        return _meta.to_dict(arr, min(n.value, len(arr)))

    def __len__(self) -> int:
        st = _lib.CollectionStats()
        check(L.rk_collection_get_stats(self._ptr, byref(st)))
        return int(st.count)

    def __contains__(self, id: object) -> bool:
        try:
            rid = _arrays.record_id(id)
        except Error:
            return False
        probe = np.empty(self.dimension, dtype=np.float32)
        return L.rk_collection_get(self._ptr, rid, probe.ctypes.data) == _lib.OK

    def search(self, queries: Any, k: int = 10, filter: Union[str, Filter, None] = None,
               ef: Optional[int] = None, include_metadata: bool = False
               ) -> Union[Tuple[np.ndarray, np.ndarray], List[List[Hit]]]:
        """The k nearest records to each query row.

        Returns ``(ids, distances)``: uint64 and float32 arrays of shape
        (nq, k), nearest first, rows padded with id 0 and distance +inf where
        fewer records qualify. Distances are in the collection's metric
        (squared for L2). With ``include_metadata`` returns instead, per
        query, a list of ``Hit(id, distance, metadata)``.
        ``filter``: an expression (str) or a ``Filter``; ``ef``: the search
        effort for this call (HNSW candidate list, or IVF lists probed)."""
        p = self._p or self._ptr
        if (filter is None and not include_metadata and type(queries) is np.ndarray and queries.ndim == 1
                and queries.dtype is _F32 and type(k) is int and 0 < k <= 1024
                and (ef is None or (type(ef) is int and 0 < ef < 1 << 32))
                and queries.shape[0] == self.dimension and queries.flags.c_contiguous):
            # One plain query row, the most frequent call: straight through.
            return search_one(p, queries, k, 0, ef or 0)
        q = _arrays.matrix(queries, self.dimension, "queries")
        if type(k) is not int or not 0 < k <= 1 << 20:
            k = _arrays.count(k, "k", 1, 1 << 20)
        if ef is None:
            effort = 0
        elif type(ef) is int and 0 < ef < 1 << 32:
            effort = ef
        else:
            effort = _arrays.count(ef, "ef")
        if filter is None:
            if not include_metadata:
                return search_rows(p, q, k, 0, effort)
        fp, owner = self._filter(filter)
        try:
            ids, dists = search_rows(p, q, k, fp, effort)
        finally:
            if owner:
                owner.close()
        if not include_metadata:
            return ids, dists
        out: List[List[Hit]] = []
        for row_ids, row_d in zip(ids, dists):
            hits = []
            for rid, d in zip(row_ids.tolist(), row_d.tolist()):
                if math.isinf(d):
                    break
                try:
                    meta = self._metadata(rid)
                except NotFoundError:  # deleted since the search
                    continue
                hits.append(Hit(rid, d, meta))
            out.append(hits)
        return out

    # ---- settings, files, figures ----
    def _effort_family(self) -> Tuple[Any, Any, str]:
        st = _lib.CollectionStats()
        check(L.rk_collection_get_stats(self._ptr, byref(st)))
        if st.index_type in _IVF_TYPES:
            return L.rk_collection_get_nprobe, L.rk_collection_set_nprobe, "nprobe"
        return L.rk_collection_get_ef_search, L.rk_collection_set_ef_search, "ef_search"

    @property
    def ef(self) -> int:
        """The stored search effort (ef_search of an HNSW index, nprobe of IVF)."""
        get, _set, name = self._effort_family()
        v = c_uint32()
        check(get(self._ptr, byref(v)), f"{self.name!r} has no index with {name}")
        return int(v.value)

    @ef.setter
    def ef(self, value: int) -> None:
        _get, put, name = self._effort_family()
        check(put(self._ptr, _arrays.count(value, "ef")), f"{self.name!r} has no index with {name}")

    def save(self, path: Union[str, os.PathLike]) -> None:
        """Writes this collection alone to a collection file (crash-safely)."""
        check(L.rk_collection_save(self._ptr, os.fsencode(path)), f"saving {self.name!r} to {path}")

    def sync(self) -> None:
        """Saves the whole database (``Database.sync``)."""
        self._db.sync()

    def info(self) -> Dict[str, Any]:
        """Figures: name, dimension, metric, count, index, index_trained,
        index_active (searches use it), ef_search or nprobe, next_id,
        memory_used."""
        p = self._ptr
        st = _lib.CollectionStats()
        check(L.rk_collection_get_stats(p, byref(st)))
        rec = _lib.Collection.from_address(p)
        out: Dict[str, Any] = {
            "name": self.name, "dimension": int(st.dimension), "metric": self.metric, "count": int(st.count),
            "index": _INDEX_NAMES.get(int(st.index_type), "flat") if st.index_type >= 0 else "flat",
            "index_trained": bool(st.index_trained),
            "index_active": bool(rec.index and rec.index_enabled and rec.index_threshold <= st.count),
            "next_id": int(rec.next_id), "memory_used": int(st.memory_used),
        }
        v = c_uint32()
        if st.index_type in _HNSW_TYPES and L.rk_collection_get_ef_search(p, byref(v)) == _lib.OK:
            out["ef_search"] = int(v.value)
        if st.index_type in _IVF_TYPES and L.rk_collection_get_nprobe(p, byref(v)) == _lib.OK:
            out["nprobe"] = int(v.value)
        return out

    def __repr__(self) -> str:
        state = "closed" if not self._p else f"{len(self)} records"
        return f"<zevud.Collection {self.name!r} dim={self.dimension} {self.metric}, {state}>"


class Database:
    """An open database: a directory of collections (or memory only).
    Use ``zevud.open``; closing saves a database that has a path (unless it
    was opened read-only)."""

    def __init__(self, path: Union[str, os.PathLike, None] = None, read_only: bool = False) -> None:
        self.path = None if path is None else os.fspath(path)
        self.read_only = bool(read_only)
        cfg = _lib.DbConfig()
        self._path_bytes = None if path is None else os.fsencode(path)
        if self._path_bytes is not None:
            if not self._path_bytes:
                raise InvalidArgumentError(_lib.ERR_INVALID_ARG, "an empty path; use None for memory only")
            cfg.path = _lib.String(self._path_bytes, len(self._path_bytes))
            cfg.storage_mode = _lib.DB_PERSISTENT
            if self.read_only and not os.path.isdir(self.path):
                raise NotFoundError(_lib.ERR_FILE_NOT_FOUND, f"no database at {self.path}")
        cfg.read_only = int(self.read_only)
        cfg.create_if_missing = int(not self.read_only)
        h = c_void_p()
        check(L.rk_vecdb_open_ex(byref(cfg), byref(h)), f"opening {self.path or 'a database in memory'}")
        self._h: Optional[int] = h.value
        self._collections: Dict[str, Collection] = {}
        self._lock = threading.Lock()

    @property
    def _handle(self) -> int:
        if not self._h:
            raise InvalidArgumentError(_lib.ERR_INVALID_ARG, "the database is closed")
        return self._h

    def _writable(self, what: str) -> int:
        h = self._handle
        if self.read_only:
            raise ReadOnlyError(_lib.ERR_READ_ONLY, f"{what} in a database opened read-only")
        return h

    def create_collection(self, name: str, dim: int, metric: str = "l2", index: str = "hnsw",
                          **index_params: int) -> Collection:
        """Creates a collection. ``metric``: "l2", "ip" or "cosine";
        ``index``: "hnsw" (default), "ivf", "flat", "hnsw_sq", "ivf_sq",
        "hnsw_pq", "ivf_pq" or "default"; ``index_params``: ef_search (HNSW),
        nprobe (IVF), quantization, pq_m, pq_nbits. The index stays unused
        until ``build_index``. Raises ExistsError for a taken name."""
        h = self._writable("creating a collection")
        s, raw = _name_string(name)
        dim = _arrays.count(dim, "dim")
        if metric not in _lib.METRICS:
            raise InvalidArgumentError(_lib.ERR_INVALID_ARG, f"metric must be one of {sorted(_lib.METRICS)}, "
                                                             f"not {metric!r}")
        kinds = dict(_lib.INDEX_TYPES, default=-1)
        if index not in kinds:
            raise InvalidArgumentError(_lib.ERR_INVALID_ARG, f"index must be one of {sorted(kinds)}, "
                                                             f"not {index!r}")
        allowed = {"ef_search", "nprobe", "quantization", "pq_m", "pq_nbits"}
        unknown = set(index_params) - allowed
        if unknown:
            raise InvalidArgumentError(_lib.ERR_INVALID_ARG, f"unknown index parameters {sorted(unknown)}; "
                                                             f"accepted: {sorted(allowed)}")
        params = {k: _arrays.count(v, k, 0) for k, v in index_params.items()}
        cfg = _lib.CollectionConfig()
        cfg.name = s
        cfg.dimension = dim
        cfg.metric = _lib.METRICS[metric]
        cfg.index_type = kinds[index]
        cfg.quantization = params.get("quantization", 0)
        cfg.pq_m = params.get("pq_m", 0)
        cfg.pq_nbits = params.get("pq_nbits", 0)
        out = c_void_p()
        with self._lock:
            check(L.rk_vecdb_create_collection_ex(h, byref(cfg), byref(out)), f"creating {name!r}")
            c = Collection(self, name, out.value or 0)
            self._collections[name] = c
        try:
            if "ef_search" in params:
                check(L.rk_collection_set_ef_search(c._ptr, params["ef_search"]), "ef_search")
            if "nprobe" in params:
                check(L.rk_collection_set_nprobe(c._ptr, params["nprobe"]), "nprobe")
        except Error:
            self.drop(name)
            raise
        return c

    def __getitem__(self, name: str) -> Collection:
        """The collection with this name; NotFoundError (a LookupError) if none."""
        h = self._handle
        s, _raw = _name_string(name)
        with self._lock:
            c = self._collections.get(name)
            if c is not None and c._p:
                return c
            p = L.rk_vecdb_get_collection(h, byref(s))
            if not p:
                raise NotFoundError(_lib.ERR_COLLECTION_NOT_FOUND, f"no collection {name!r}")
            c = Collection(self, name, p)
            self._collections[name] = c
            return c

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and name in self.collections()

    def collections(self) -> List[str]:
        """The collection names, in creation order."""
        h = self._handle
        n = L.rk_vecdb_list_collections(h, None, 0)
        arr = (_lib.String * max(n, 1))()
        n = L.rk_vecdb_list_collections(h, arr, n)
        return [ctypes.string_at(arr[i].data, arr[i].len).decode("utf-8", "replace") for i in range(n)]

    def drop(self, name: str) -> None:
        """Removes and destroys a collection; its Collection objects stop
        working. Raises NotFoundError for an unknown name."""
        h = self._writable("dropping a collection")
        s, _raw = _name_string(name)
        with self._lock:
            check(L.rk_vecdb_drop_collection(h, byref(s)), f"dropping {name!r}")
            c = self._collections.pop(name, None)
            if c is not None:
                c._p = None

    def sync(self) -> None:
        """Saves every collection and the catalog (a database with a path;
        nothing is written in memory-only or read-only mode)."""
        check(L.rk_vecdb_sync(self._handle), f"saving {self.path}")

    save = sync

    def close(self) -> None:
        """Saves (as ``sync``) and releases the database; idempotent. Raises
        the save's error after releasing everything."""
        if not self._h:
            return
        h, self._h = self._h, None
        for c in self._collections.values():
            c._p = None
        self._collections.clear()
        check(L.rk_vecdb_close(h), f"closing {self.path}")

    def __enter__(self) -> "Database":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        where = self.path or "memory"
        return f"<zevud.Database {where}{' read-only' if self.read_only else ''}" \
               f"{' closed' if not self._h else ''}>"


def open(path: Union[str, os.PathLike, None] = None, read_only: bool = False) -> Database:  # noqa: A001
    """Opens (creating unless read-only) the database in directory ``path``,
    or one held in memory when ``path`` is None. Use as a context manager:
    ``with zevud.open("db") as db: ...`` saves and closes at the end."""
    return Database(path, read_only)
