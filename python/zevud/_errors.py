# SPDX-License-Identifier: Apache-2.0
"""Exceptions: every failure is a zevud.Error carrying the library's status
code and message; the subclass says what kind of failure it is."""
from __future__ import annotations

from . import _lib


class Error(Exception):
    """A refused or failed call. ``status`` is the library's status code (a
    negative number, 0 never), ``message`` the library's text for it, and
    ``detail`` what the package adds about this call."""

    def __init__(self, status: int, detail: str = "") -> None:
        self.status = int(status)
        self.message = _lib.message(self.status)
        self.detail = detail
        super().__init__(f"{detail}: {self.message} ({self.status})" if detail else
                         f"{self.message} ({self.status})")


class InvalidArgumentError(Error, ValueError):
    """An argument the library (or the package, before calling it) refuses."""


class DTypeError(InvalidArgumentError, TypeError):
    """An array of a type that does not convert to 32-bit floats."""


class DimensionError(InvalidArgumentError):
    """Vectors whose length differs from the collection's dimension."""


class NotFoundError(Error, LookupError):
    """An unknown record id or collection name."""


class ExistsError(Error):
    """A name that is already taken."""


class OutOfMemoryError(Error, MemoryError):
    """The library could not allocate."""


class StorageError(Error, OSError):
    """A file could not be read, written, synced or renamed."""


class ReadOnlyError(Error):
    """A write to a database opened read-only."""


class NotSupportedError(Error):
    """An operation the object's kind does not have (ef on an IVF index, ...)."""


class IndexNotReadyError(Error):
    """An index that must be trained first."""


class FilterError(InvalidArgumentError):
    """A filter expression the library refused; ``column`` is the 1-based
    position of the fault (0 when it has none)."""

    def __init__(self, status: int, column: int, text: str) -> None:
        self.column = int(column)
        self.reason = text
        super().__init__(status, f"bad filter at column {column}: {text}" if column else f"bad filter: {text}")


_BY_STATUS = {
    _lib.ERR_INVALID_ARG: InvalidArgumentError,
    _lib.ERR_TOO_LARGE: InvalidArgumentError,
    _lib.ERR_INVALID_VECTOR: InvalidArgumentError,
    _lib.ERR_DIMENSION: DimensionError,
    _lib.ERR_NOT_FOUND: NotFoundError,
    _lib.ERR_COLLECTION_NOT_FOUND: NotFoundError,
    -106: NotFoundError,
    _lib.ERR_EXISTS: ExistsError,
    _lib.ERR_COLLECTION_EXISTS: ExistsError,
    _lib.ERR_NO_MEMORY: OutOfMemoryError,
    _lib.ERR_READ_ONLY: ReadOnlyError,
    _lib.ERR_NOT_SUPPORTED: NotSupportedError,
    _lib.ERR_INDEX_NOT_READY: IndexNotReadyError,
}


def error_for(status: int, detail: str = "") -> Error:
    """The exception for a failing status."""
    cls = _BY_STATUS.get(status)
    if cls is None:
        cls = StorageError if -299 <= status <= -200 else Error
    return cls(status, detail)


def check(status: int, detail: str = "") -> None:
    """Raises the status's exception unless it is RK_OK."""
    if status != _lib.OK:
        raise error_for(status, detail)
