"""The C++ side: `cmake --install` of this tree gives a prefix that
find_package(velmoradb) finds, and examples/cpp builds against it and runs."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

pytestmark = pytest.mark.skipif(
    shutil.which("cmake") is None or not any(shutil.which(c) for c in ("c++", "g++", "clang++")),
    reason="needs cmake and a C++ compiler",
)


def cmake(*args: str | Path) -> None:
    result = subprocess.run(["cmake", *map(str, args)], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]


def generator() -> list[str]:
    return ["-G", "Ninja"] if shutil.which("ninja") else []


def test_example_builds_against_the_installed_package_and_runs(tmp_path: Path) -> None:
    build, prefix, example = tmp_path / "build", tmp_path / "prefix", tmp_path / "example"
    cmake("-S", ROOT, "-B", build, *generator(), f"-DCMAKE_INSTALL_PREFIX={prefix}")
    cmake("--build", build, "--parallel", "2")
    cmake("--install", build)
    assert (prefix / "include/velmoradb/collection/collection.h").is_file()
    assert (prefix / "include/velmoradb/engine/index/vector_index.h").is_file()

    # The example sees only the prefix, not this source tree.
    cmake("-S", ROOT / "examples/cpp", "-B", example, *generator(), f"-DCMAKE_PREFIX_PATH={prefix}")
    cmake("--build", example)
    program = next(p for p in example.iterdir() if p.name.startswith("collection_example") and p.is_file())
    result = subprocess.run([str(program), str(tmp_path / "collection")], capture_output=True, text=True)

    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:3] == ["nearest to (1, 0.9, 0):", "  id 3  distance 0.1  diagonal", "  id 1  distance 0.9  x axis"]
    assert lines[3:5] == ["nearest named y axis or z axis:", "  id 2  distance 1.00499  y axis"]
    assert "deleted id 4: yes" in lines
    assert "compacted: 1 records dropped" in lines
    assert "reopened: 3 vectors" in lines
    assert lines[-2:] == lines[1:3]  # the same answers after reopening
    assert (tmp_path / "collection" / "wal.log").stat().st_size == 0  # compacted
