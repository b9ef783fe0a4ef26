# SPDX-License-Identifier: Apache-2.0
"""Checks that refuse bad arrays before anything reaches the library, and
conversions that copy only when numpy must (a C-contiguous float32 array
is passed by pointer as it is)."""
from __future__ import annotations

import operator
from typing import Any

import numpy as np

from . import _lib
from ._errors import DimensionError, DTypeError, InvalidArgumentError

_NUMERIC_KINDS = "fiu"
_F32 = np.dtype(np.float32)


def matrix(data: Any, dim: int, what: str) -> np.ndarray:
    """Rows of ``dim`` float32 values as a C-contiguous (n, dim) array; a
    1-D array of length ``dim`` is one row."""
    if type(data) is np.ndarray and data.dtype == _F32 and data.flags.c_contiguous:
        # The common case, checked in as few steps as possible.
        if data.ndim == 2 and data.shape[1] == dim:
            return data
        if data.ndim == 1 and data.shape[0] == dim:
            return data.reshape(1, dim)
    a = data if isinstance(data, np.ndarray) else np.asarray(data)
    if a.dtype.kind not in _NUMERIC_KINDS:
        raise DTypeError(_lib.ERR_INVALID_ARG, f"{what} must be numbers (float32 is used as is), "
                                               f"not an array of dtype {a.dtype}")
    if a.ndim == 1:
        a = a.reshape(1, -1)
    if a.ndim != 2:
        raise InvalidArgumentError(_lib.ERR_INVALID_ARG,
                                   f"{what} must be a 2-D array (rows of {dim}), not {a.ndim}-D "
                                   f"with shape {a.shape}")
    if a.shape[1] != dim:
        raise DimensionError(_lib.ERR_DIMENSION, f"{what} have {a.shape[1]} values per row; "
                                                 f"the dimension is {dim}")
    if a.dtype != np.float32 or not a.flags.c_contiguous:
        a = np.ascontiguousarray(a, dtype=np.float32)
    return a


def ids(data: Any, what: str = "ids") -> np.ndarray:
    """Record ids as a C-contiguous 1-D uint64 array (one int is one id)."""
    a = np.asarray(data)
    if a.ndim == 0:
        a = a.reshape(1)
    if a.ndim != 1 or (a.size and a.dtype.kind not in "iu"):
        raise InvalidArgumentError(_lib.ERR_INVALID_ARG, f"{what} must be integers in a 1-D sequence, "
                                                         f"not dtype {a.dtype} shape {a.shape}")
    if a.size and a.dtype.kind == "i" and int(a.min()) < 0:
        raise InvalidArgumentError(_lib.ERR_INVALID_ARG, f"{what} must not be negative")
    return np.ascontiguousarray(a, dtype=np.uint64)


def count(value: Any, what: str, low: int = 1, high: int = 2**32 - 1) -> int:
    """An integer argument within [low, high]."""
    try:
        v = operator.index(value)
    except TypeError:
        raise InvalidArgumentError(_lib.ERR_INVALID_ARG, f"{what} must be an integer, not {value!r}") from None
    if not low <= v <= high:
        raise InvalidArgumentError(_lib.ERR_INVALID_ARG, f"{what} must be between {low} and {high}, not {v}")
    return v


def record_id(value: Any) -> int:
    """One record id."""
    return count(value, "id", 0, 2**64 - 1)
