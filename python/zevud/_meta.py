# SPDX-License-Identifier: Apache-2.0
"""Metadata dicts <-> the library's typed entries. Python ints become 64-bit
integers, floats 64-bit floats, str text and bool booleans; numpy scalars
follow their kind."""
from __future__ import annotations

import ctypes
from typing import Any, Dict, Mapping, Union

import numpy as np

from . import _lib
from ._errors import InvalidArgumentError

MetaValue = Union[int, float, str, bool]
Metadata = Dict[str, MetaValue]

_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1


def entries(meta: Mapping[str, Any], where: str) -> "tuple[Any, list]":
    """The entries of one record's metadata, and the encoded keys and texts
    they point at (keep both alive while the library reads the entries)."""
    if not isinstance(meta, Mapping):
        raise InvalidArgumentError(_lib.ERR_INVALID_ARG, f"{where}: metadata must be a dict, not "
                                                         f"{type(meta).__name__}")
    arr = (_lib.MetaEntry * max(len(meta), 1))()
    keep: list = []
    for i, (key, value) in enumerate(meta.items()):
        if not isinstance(key, str) or not key:
            raise InvalidArgumentError(_lib.ERR_INVALID_ARG, f"{where}: metadata keys must be non-empty "
                                                             f"strings, not {key!r}")
        e = arr[i]
        kb = key.encode("utf-8")
        keep.append(kb)
        e.key = _lib.String(kb, len(kb))
        if isinstance(value, (bool, np.bool_)):
            e.type, e.value.b = _lib.META_BOOL, int(bool(value))
        elif isinstance(value, (int, np.integer)):
            v = int(value)
            if not _INT64_MIN <= v <= _INT64_MAX:
                raise InvalidArgumentError(_lib.ERR_INVALID_ARG, f"{where}: {key!r} = {v} does not fit in "
                                                                 f"64 bits")
            e.type, e.value.i64 = _lib.META_INT64, v
        elif isinstance(value, (float, np.floating)):
            e.type, e.value.f64 = _lib.META_DOUBLE, float(value)
        elif isinstance(value, str):
            vb = value.encode("utf-8")
            keep.append(vb)
            e.type = _lib.META_STRING
            e.value.str = _lib.String(vb, len(vb))
        else:
            raise InvalidArgumentError(_lib.ERR_INVALID_ARG, f"{where}: {key!r} holds a "
                                                             f"{type(value).__name__}; metadata values are "
                                                             f"int, float, str or bool")
    return arr, keep


def to_dict(arr: Any, n: int) -> Metadata:
    """A dict from n library entries (keys and texts decoded as UTF-8)."""
    out: Metadata = {}
    for i in range(n):
        e = arr[i]
        key = ctypes.string_at(e.key.data, e.key.len).decode("utf-8", "replace") if e.key.len else ""
        t = e.type
        if t == _lib.META_INT32:
            v: Any = e.value.i32
        elif t == _lib.META_INT64:
            v = e.value.i64
        elif t == _lib.META_FLOAT:
            v = e.value.f32
        elif t == _lib.META_DOUBLE:
            v = e.value.f64
        elif t == _lib.META_STRING:
            s = e.value.str
            v = ctypes.string_at(s.data, s.len).decode("utf-8", "replace") if s.len else ""
        elif t == _lib.META_BOOL:
            v = bool(e.value.b)
        else:
            v = None
        out.setdefault(key, v)
    return out
