# SPDX-License-Identifier: Apache-2.0
import os
import shutil

import numpy as np
import pytest

import zevud

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


@pytest.fixture
def db():
    with zevud.open() as d:
        yield d


@pytest.fixture
def shop(db, rng):
    """40 records of dimension 8 with mixed metadata: n (int), price (float),
    kind (str), sale (bool)."""
    c = db.create_collection("shop", 8, index="flat")
    kinds = ["shoe", "Book", "toy", "hat"]
    meta = [{"n": i, "price": 2.5 * i, "kind": kinds[i % 4], "sale": i % 3 == 0} for i in range(40)]
    c.vectors = rng.random((40, 8), dtype=np.float32)
    c.ids = c.add(c.vectors, meta)
    return c


@pytest.fixture
def cli():
    """The zevud tool: $ZEVUD_CLI, else the build tree's."""
    path = os.environ.get("ZEVUD_CLI") or os.path.join(REPO, "build", "cli", "zevud")
    if not (os.path.isfile(path) and os.access(path, os.X_OK)):
        path = shutil.which("zevud")
    if not path:
        pytest.skip("the zevud tool is not built (set ZEVUD_CLI)")
    return path
