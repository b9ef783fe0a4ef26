# SPDX-License-Identifier: Apache-2.0
"""Rakmo ZevUD from Python: an embeddable vector database over numpy.

    import numpy as np, zevud
    with zevud.open("my.db") as db:
        items = db.create_collection("items", dim=4)
        ids = items.add(np.random.rand(100, 4), [{"n": i} for i in range(100)])
        items.build_index()
        found, dist = items.search(np.random.rand(3, 4), k=5, filter="n < 50")

The package calls the library's public C interface through ctypes; arrays
cross by pointer.
"""
from ._errors import (DimensionError, DTypeError, Error, ExistsError, FilterError, IndexNotReadyError,
                      InvalidArgumentError, NotFoundError, NotSupportedError, OutOfMemoryError, ReadOnlyError,
                      StorageError)
from ._db import Collection, Database, Filter, Hit, Record, open
from ._index import Index
from . import _lib


def library_version() -> str:
    """The loaded library's version text, e.g. "Rakmo ZevUD 0.1.32"."""
    s = _lib.lib.rk_vecdb_version()
    return s.data[: s.len].decode() if s.data else ""


library_path: str = _lib.library_path
__version__ = "0.1.32"

__all__ = ["open", "Database", "Collection", "Filter", "Record", "Hit", "Index", "Error",
           "InvalidArgumentError", "DTypeError", "DimensionError", "NotFoundError", "ExistsError",
           "OutOfMemoryError", "StorageError", "ReadOnlyError", "NotSupportedError", "IndexNotReadyError",
           "FilterError", "library_version", "library_path", "__version__"]
