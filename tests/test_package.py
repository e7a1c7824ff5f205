"""The installed distribution: the velmoradb package, its version and type
information, and the numpy reference that the demo checks results with."""

from __future__ import annotations

import ast
import importlib.metadata
import struct
import subprocess
import sys

import numpy as np
import pytest

import _velmoradb
import velmoradb
import velmoradb._core
from velmoradb import demo


def test_package_re_exports_the_module_classes() -> None:
    assert velmoradb.Index is _velmoradb.Index
    assert velmoradb.Collection is velmoradb._core.Collection
    assert velmoradb.Collection is not _velmoradb.Collection
    assert velmoradb.Collection.__module__ == "velmoradb"
    assert velmoradb.Record is velmoradb._core.Record
    assert velmoradb.__all__ == ["Collection", "CompactStats", "Index", "Record", "__version__"]


def test_namespace_holds_only_the_public_names() -> None:
    # A fresh interpreter: imports of the package's own helpers (metadata,
    # annotations, os) once leaked into it.
    listed = subprocess.run(
        [sys.executable, "-c", "import velmoradb; print(' '.join(dir(velmoradb)))"],
        capture_output=True, text=True, check=True,
    ).stdout.split()
    # _core: the extension module, a submodule of the package.
    assert [name for name in listed if not name.startswith("__")] == ["Collection", "CompactStats", "Index", "Record", "_core"]
    assert "__version__" in listed and "__all__" in listed


def test_version_is_the_distribution_version() -> None:
    assert velmoradb.__version__ == importlib.metadata.version("velmoradb")


def test_distribution_ships_type_information_and_the_command() -> None:
    files = {str(f) for f in importlib.metadata.files("velmoradb") or []}
    assert {"velmoradb/py.typed", "velmoradb/_core.pyi", "_velmoradb.pyi",
            "_velmoradb-stubs/__init__.pyi"} <= files
    scripts = importlib.metadata.entry_points(group="console_scripts", name="velmoradb")
    assert [s.value for s in scripts] == ["velmoradb.cli:main"]


def test_stub_declares_every_public_method() -> None:
    dist = importlib.metadata.distribution("velmoradb")
    stub = ast.parse(dist.locate_file("_velmoradb.pyi").read_text())
    classes = {n.name: {f.name for f in n.body if isinstance(f, ast.FunctionDef)}
               for n in stub.body if isinstance(n, ast.ClassDef) and not n.name.startswith("_")}
    runtime = {name: {m for m in vars(getattr(_velmoradb, name)) if not m.startswith("_")}
               for name in _velmoradb.__all__}
    assert {name: methods - {"__new__"} for name, methods in classes.items()} == runtime


# --- the demo's reference ------------------------------------------------------


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "dot"])
@pytest.mark.parametrize("dimension", [1, 15, 16, 17, 33, 64])
def test_reference_distances_are_bit_identical_to_the_index(metric: str, dimension: int) -> None:
    rng = np.random.default_rng(dimension)
    stored = (rng.standard_normal((40, dimension)) * rng.choice([1e-3, 1.0, 1e3], (40, 1))).astype(np.float32)
    stored[0] = 0.0  # the cosine rule for a zero norm
    queries = rng.standard_normal((5, dimension)).astype(np.float32)
    index = _velmoradb.Index(metric, dimension)
    index.insert_batch(range(len(stored)), stored)

    reference = demo.reference_distances(np, metric, queries, stored)
    for q, hits in enumerate(index.search_batch(queries, len(stored))):
        for i, distance in hits:
            assert struct.pack("<f", distance) == struct.pack("<f", reference[q, i]), (q, i)
    assert demo.verify(np, index.search_batch(queries, 6), reference, 6) == []


def test_verify_reports_every_kind_of_wrong_result() -> None:
    reference = np.array([[0.5, 0.25, 1.0, 0.25]], dtype=np.float32)
    right = [(1, 0.25), (3, 0.25), (0, 0.5)]
    ulp_off = float(np.nextafter(np.float32(0.5), np.float32(1)))
    wrong = {
        "missing": right[:2],
        "repeated": [(1, 0.25), (1, 0.25), (0, 0.5)],
        "one ulp off": [(1, 0.25), (3, 0.25), (0, ulp_off)],
        "not the smallest": [(1, 0.25), (3, 0.25), (2, 1.0)],
    }
    assert demo.verify(np, [right], reference, 3) == []
    assert demo.verify(np, [[(3, 0.25), (1, 0.25), (0, 0.5)]], reference, 3) == []  # ties in any order
    for name, hits in wrong.items():
        assert len(demo.verify(np, [hits], reference, 3)) == 1, name
