# SPDX-License-Identifier: Apache-2.0
"""The shared library and the C records of its public interface, via ctypes.

Only functions declared in the public headers are bound here. The library is
looked for, in order: the file named by the ZEVUD_LIBRARY environment
variable, the copy bundled inside this package, then the system's search
path (an installed libzevud.so.0).
"""
from __future__ import annotations

import ctypes
import ctypes.util
import os
from ctypes import (POINTER, Structure, Union, c_char, c_char_p, c_double, c_float, c_int, c_int32,
                    c_int64, c_size_t, c_uint8, c_uint32, c_uint64, c_void_p)

# ---- status codes (rk_error.h) ----
OK = 0
ERR_UNKNOWN = -1
ERR_INVALID_ARG = -2
ERR_NO_MEMORY = -3
ERR_NOT_FOUND = -4
ERR_EXISTS = -5
ERR_BUFFER_TOO_SMALL = -6
ERR_NOT_SUPPORTED = -7
ERR_TOO_LARGE = -12
ERR_EMPTY = -11
ERR_INVALID_VECTOR = -100
ERR_DIMENSION = -103
ERR_INDEX_NOT_READY = -104
ERR_COLLECTION_EXISTS = -107
ERR_COLLECTION_NOT_FOUND = -108
ERR_FILE_NOT_FOUND = -200
ERR_IO = -203
ERR_READ_ONLY = -206

# ---- enums (rk_common.h, rk_collection.h) ----
METRICS = {"l2": 0, "ip": 1, "cosine": 2}
INDEX_TYPES = {"flat": 0, "ivf": 1, "hnsw": 2, "ivf_pq": 3, "hnsw_pq": 4, "ivf_sq": 5, "hnsw_sq": 6}
META_INT32, META_INT64, META_FLOAT, META_DOUBLE, META_STRING, META_BOOL = 1, 2, 3, 4, 5, 6
DB_PERSISTENT = 1
FILTER_AND, FILTER_OR, FILTER_NOT, FILTER_CONDITION = 0, 1, 2, 3


class String(Structure):
    _fields_ = [("data", c_char_p), ("len", c_uint64)]


class MetaValue(Union):
    _fields_ = [("i32", c_int32), ("i64", c_int64), ("f32", c_float), ("f64", c_double), ("str", String),
                ("b", c_int32)]


class MetaEntry(Structure):
    _fields_ = [("key", String), ("type", c_int32), ("value", MetaValue)]


class Record(Structure):
    _fields_ = [("id", c_uint64), ("vector", POINTER(c_float)), ("metadata", POINTER(MetaEntry)),
                ("metadata_count", c_uint64)]


class CollectionConfig(Structure):
    _fields_ = [("name", String), ("dimension", c_uint32), ("metric", c_uint32), ("index_type", c_int32),
                ("reserved", c_uint64), ("auto_resize", c_uint32), ("quantization", c_uint32),
                ("pq_m", c_uint32), ("pq_nbits", c_uint32)]


class Collection(Structure):
    """The public record of a collection (hosts read it, never write it)."""
    _fields_ = [("name", c_char_p), ("dimension", c_uint32), ("metric", c_uint32), ("records", POINTER(Record)),
                ("count", c_uint64), ("capacity", c_uint64), ("next_id", c_uint64), ("index", c_void_p),
                ("index_enabled", c_uint32), ("index_threshold", c_uint64), ("arena", c_void_p),
                ("owns_arena", c_uint32), ("lock", c_void_p), ("created_at", c_int64),
                ("modified_at", c_int64)]


class CollectionStats(Structure):
    _fields_ = [("count", c_uint64), ("capacity", c_uint64), ("memory_used", c_uint64),
                ("dimension", c_uint32), ("index_type", c_int32), ("index_trained", c_uint32)]


class Filter(Structure):
    pass


Filter._fields_ = [("kind", c_int32), ("key", c_char_p), ("op", c_int32), ("value", MetaValue),
                   ("children", POINTER(POINTER(Filter))), ("child_count", c_uint64)]


class SearchParams(Structure):
    _fields_ = [("k", c_uint64), ("filter", c_void_p), ("include_vector", c_uint32),
                ("include_metadata", c_uint32), ("reserved", c_uint64)]


class SearchResult(Structure):
    _fields_ = [("id", c_uint64), ("distance", c_float), ("vector", POINTER(c_float)),
                ("metadata", POINTER(MetaEntry)), ("metadata_count", c_uint64)]


class FilterError(Structure):
    _fields_ = [("column", c_uint64), ("message", c_char * 200)]


class DbConfig(Structure):
    _fields_ = [("path", String), ("storage_mode", c_uint32), ("arena_size", c_uint64),
                ("cache_size", c_uint64), ("read_only", c_uint32), ("create_if_missing", c_uint32)]


class HnswParams(Structure):
    _fields_ = [("m", c_uint32), ("ef_construction", c_uint32), ("ef_search", c_uint32),
                ("max_level", c_uint32), ("seed", c_uint32), ("level_mult", c_float)]


class IvfParams(Structure):
    _fields_ = [("nlist", c_uint32), ("nprobe", c_uint32), ("train_iterations", c_uint32),
                ("reserved", c_uint32 * 2)]


class IndexParams(Union):
    _fields_ = [("hnsw", HnswParams), ("ivf", IvfParams)]


class IndexConfig(Structure):
    _fields_ = [("type", c_uint32), ("metric", c_uint32), ("quantization", c_uint32), ("dimension", c_uint32),
                ("reserved0", c_uint32 * 2), ("params", IndexParams), ("pq_m", c_uint32),
                ("pq_nbits", c_uint32), ("reserved1", c_uint32 * 2)]


class IndexResult(Structure):
    _fields_ = [("id", c_uint64), ("distance", c_float), ("reserved", c_uint8 * 36)]


assert ctypes.sizeof(MetaEntry) == 40 and ctypes.sizeof(SearchResult) == 40
assert ctypes.sizeof(IndexResult) == 48 and ctypes.sizeof(CollectionConfig) == 56
assert ctypes.sizeof(IndexConfig) == 64 and ctypes.sizeof(Collection) == 112

# (name, return type, argument types). Pointers the package passes as plain
# addresses (numpy buffers, handles) are c_void_p, which costs the least per call.
_P = c_void_p
_SIGNATURES = [
    ("rk_error_message", c_char_p, [c_int32]),
    ("rk_vecdb_version", String, []),
    ("rk_vecdb_open_ex", c_int32, [POINTER(DbConfig), POINTER(c_void_p)]),
    ("rk_vecdb_close", c_int32, [_P]),
    ("rk_vecdb_sync", c_int32, [_P]),
    ("rk_vecdb_create_collection_ex", c_int32, [_P, POINTER(CollectionConfig), POINTER(c_void_p)]),
    ("rk_vecdb_drop_collection", c_int32, [_P, POINTER(String)]),
    ("rk_vecdb_get_collection", c_void_p, [_P, POINTER(String)]),
    ("rk_vecdb_list_collections", c_uint64, [_P, POINTER(String), c_uint64]),
    ("rk_collection_get_stats", c_int32, [_P, POINTER(CollectionStats)]),
    ("rk_collection_insert_batch", c_int32, [_P, _P, c_uint64, _P]),
    ("rk_collection_insert_with_meta", c_int32, [_P, _P, POINTER(MetaEntry), c_uint64, POINTER(c_uint64)]),
    ("rk_collection_upsert", c_int32, [_P, c_uint64, _P]),
    ("rk_collection_delete_batch", c_int32, [_P, _P, c_uint64]),
    ("rk_collection_delete_by_filter", c_int, [_P, _P]),
    ("rk_collection_set_meta", c_int32, [_P, c_uint64, POINTER(MetaEntry), c_uint64]),
    ("rk_collection_get", c_int32, [_P, c_uint64, _P]),
    ("rk_collection_get_meta", c_int32, [_P, c_uint64, POINTER(MetaEntry), POINTER(c_uint64)]),
    ("rk_collection_build_index", c_int32, [_P]),
    ("rk_collection_set_ef_search", c_int32, [_P, c_uint32]),
    ("rk_collection_get_ef_search", c_int32, [_P, POINTER(c_uint32)]),
    ("rk_collection_set_nprobe", c_int32, [_P, c_uint32]),
    ("rk_collection_get_nprobe", c_int32, [_P, POINTER(c_uint32)]),
    ("rk_collection_search_ex", c_int32, [_P, _P, _P, c_uint32, _P, _P]),
    ("rk_collection_search_batch", c_int32, [_P, _P, c_uint64, _P, c_uint32, c_uint32, _P, _P]),
    ("rk_collection_save", c_int32, [_P, c_char_p]),
    ("rk_filter_parse", c_int32, [_P, c_char_p, c_uint64, POINTER(c_void_p), POINTER(FilterError)]),
    ("rk_filter_format", c_int32, [_P, c_void_p, c_uint64, POINTER(c_uint64)]),
    ("rk_filter_free", None, [_P]),
    ("rk_index_create", c_void_p, [_P, POINTER(IndexConfig)]),
    ("rk_index_destroy", None, [_P]),
    ("rk_index_train", c_int32, [_P, _P, c_uint64]),
    ("rk_index_is_trained", c_uint32, [_P]),
    ("rk_index_add_batch", c_int32, [_P, _P, _P, c_uint64]),
    ("rk_index_search_ex", c_uint64, [_P, _P, c_uint64, c_uint32, _P]),
    ("rk_index_remove_batch", c_int32, [_P, _P, c_uint64]),
    ("rk_index_get_dim", c_uint32, [_P]),
    ("rk_index_get_ntotal", c_uint64, [_P]),
    ("rk_index_get_type", c_uint32, [_P]),
    ("rk_index_set_ef_search", c_int32, [_P, c_uint32]),
    ("rk_index_get_ef_search", c_int32, [_P, POINTER(c_uint32)]),
    ("rk_index_set_nprobe", c_int32, [_P, c_uint32]),
    ("rk_index_get_nprobe", c_int32, [_P, POINTER(c_uint32)]),
    ("rk_index_save", c_int32, [_P, POINTER(String)]),
    ("rk_index_load", c_void_p, [_P, POINTER(String)]),
    ("rk_arena_create", c_int32, [c_size_t, POINTER(c_void_p)]),
    ("rk_arena_destroy", None, [_P]),
]


def _candidates() -> list[str]:
    out = []
    env = os.environ.get("ZEVUD_LIBRARY")
    if env:
        out.append(env)
    here = os.path.dirname(os.path.abspath(__file__))
    out.append(os.path.join(here, "libzevud.so"))
    found = ctypes.util.find_library("zevud")
    if found:
        out.append(found)
    out.append("libzevud.so.0")
    return out


def _load() -> ctypes.CDLL:
    errors = []
    for path in _candidates():
        if os.path.isabs(path) and not os.path.exists(path):
            continue
        try:
            lib = ctypes.CDLL(path)
        except OSError as e:
            errors.append(f"{path}: {e}")
            continue
        for name, res, args in _SIGNATURES:
            fn = getattr(lib, name)
            fn.restype = res
            fn.argtypes = args
        return lib
    raise ImportError("zevud: cannot load the shared library libzevud (set ZEVUD_LIBRARY to its path); "
                      + "; ".join(errors))


lib = _load()
library_path = lib._name


def message(status: int) -> str:
    """The library's message for a status code."""
    text = lib.rk_error_message(status)
    return text.decode("utf-8", "replace") if text else f"status {status}"
