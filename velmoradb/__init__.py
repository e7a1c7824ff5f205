"""velmoradb: an embedded vector database.

`Collection` is a persistent collection in a directory (write-ahead log,
data file, meta.json) whose records carry payloads; it comes from the
extension module `velmoradb._core`. `Index` is an in-memory brute-force index
from the extension module `_velmoradb` (whose own `Collection` is the
original, payload-free class). The package adds the `velmoradb` command
(`python -m velmoradb`).
"""

# The namespace holds the public names only: every import the version needs
# happens inside the helpers below, which are deleted once it is known.
from _velmoradb import Index
from velmoradb._core import Collection, CompactStats, Record

__all__ = ["Collection", "CompactStats", "Index", "Record", "__version__"]


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("velmoradb")
    except metadata.PackageNotFoundError:
        return _source_version()


def _source_version() -> str:
    """The version in pyproject.toml, for a source tree that is not installed."""
    import os
    import tomllib

    path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "pyproject.toml")
    try:
        with open(path, "rb") as f:
            return str(tomllib.load(f)["project"]["version"])
    except (OSError, KeyError, tomllib.TOMLDecodeError):
        return "0+unknown"


__version__: str = _version()

del _version, _source_version
