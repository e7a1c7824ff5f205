"""`velmoradb demo text`: search the standard library's docstrings in plain English.

The texts are the docstrings of the modules, classes and functions of the
running interpreter's standard library, found with `inspect` (thousands of
real texts, nothing downloaded). scikit-learn embeds them at run time:
TF-IDF over words, then a truncated SVD to dense vectors of 128 components,
normalised. The demo stores each vector with its name, module, kind and text
as the payload, asks a few questions with and without a filter on the
module, shows the hits, and checks every result, and a sample of docstrings
used as queries, against a brute-force numpy computation that follows
velmoradb's arithmetic (see `velmoradb.demo`).
"""

from __future__ import annotations

import contextlib
import importlib
import inspect
import io
import os
import pkgutil
import sys
import tempfile
import time
import warnings
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from velmoradb import demo
from velmoradb._core import Collection

K = 3
COMPONENTS = 128
SELF_QUERIES = 200
TEXT_LIMIT = 2000  # characters of a docstring kept in the payload and embedded

# Modules left out: those that act on import (a browser, a window, text on
# stdout) and those of the interpreter's own test and build machinery.
SKIPPED = frozenset({
    "antigravity", "this", "idlelib", "tkinter", "turtle", "turtledemo", "test", "lib2to3",
    "ensurepip", "venv", "pydoc_data", "distutils", "encodings", "msilib", "msvcrt", "nt", "winreg",
    "winsound", "site", "readline",
})

QUESTIONS: tuple[tuple[str, dict[str, Any] | None], ...] = (
    ("how do I parse command line options and arguments", None),
    ("read and write CSV files", None),
    ("compress a file", None),
    ("connect to an SMTP server and send mail", None),
    ("pick a random element from a sequence", None),
    ("read and write files", {"module": "json"}),
    ("remove a directory tree", {"module": {"$in": ["os", "shutil"]}}),
    ("wait for a task to finish", {"module": {"$in": ["asyncio", "concurrent", "threading"]}}),
)


@dataclass(frozen=True)
class Text:
    name: str
    module: str
    kind: str
    text: str


def run(directory: str | None, limit: int | None = None) -> bool:
    """Runs the demo and prints it; True when every result agrees with numpy."""
    if directory is not None:
        demo.check_target(directory)
    if limit is not None and limit < 10:
        raise ValueError(f"--limit must be at least 10, got {limit}")
    np, vectorizer, svd, normalize = _load()
    print("velmoradb demo text: the standard library's docstrings, searched in plain English\n")

    start = time.perf_counter()
    texts = collect_texts()
    if limit is not None and limit < len(texts):
        step = len(texts) / limit
        texts = [texts[int(i * step)] for i in range(limit)]
    modules = len({t.module for t in texts})
    print(f"data     {len(texts):,} docstrings of {modules} modules of Python {sys.version.split()[0]}, "
          f"found with inspect in {demo._ms(time.perf_counter() - start)}")

    start = time.perf_counter()
    tfidf = vectorizer(stop_words="english", sublinear_tf=True, min_df=2, token_pattern=r"(?u)\b[a-zA-Z]{2,}\b")
    sparse = tfidf.fit_transform([f"{t.name.replace('.', ' ')} {t.text}" for t in texts])
    components = max(1, min(COMPONENTS, sparse.shape[1] - 1, len(texts) - 1))
    reducer = svd(n_components=components, random_state=0)
    vectors = np.ascontiguousarray(normalize(reducer.fit_transform(sparse)), dtype=np.float32)
    print(f"embed    TF-IDF ({sparse.shape[1]:,} words) then truncated SVD to {components} components, "
          f"fitted here in {demo._ms(time.perf_counter() - start)}")

    def embed(queries: list[str]) -> Any:
        return np.ascontiguousarray(normalize(reducer.transform(tfidf.transform(queries))), dtype=np.float32)

    failures: list[str] = []
    checked = 0
    with _collection_dir(directory) as path:
        start = time.perf_counter()
        with Collection.open_or_create(path, components, "cosine") as collection:
            collection.insert_batch(
                range(len(texts)), vectors,
                [{"name": t.name, "module": t.module, "kind": t.kind, "text": t.text} for t in texts],
            )
            collection.flush()
            print(f"build    {path}: {len(collection):,} records with payloads in "
                  f"{demo._ms(time.perf_counter() - start)}")
            if directory is None:
                print("         (a temporary directory, deleted when the demo ends; --dir DIR builds and keeps it)")

            queries = embed([q for q, _ in QUESTIONS])
            for (question, where), query in zip(QUESTIONS, queries):
                hits = collection.search(query, K, where=where)
                _print_answer(collection, question, where, hits)
                problems = _check(np, vectors, texts, [query], [hits], where)
                failures += [f"{question!r}: {p}" for p in problems]
                checked += 1

            sample = np.linspace(0, len(texts) - 1, num=min(SELF_QUERIES, len(texts))).astype(np.int64)
            sample_hits = collection.search_batch(vectors[sample], K)
            failures += [f"docstring #{sample[int(p.split()[1].rstrip(':'))]}: {p}"
                         for p in _check(np, vectors, texts, vectors[sample], sample_hits, None)]
            checked += len(sample)

    print()
    if failures:
        for failure in failures[:10]:
            print(f"MISMATCH {failure}")
        print(f"FAILED: {len(failures)} of {checked} queries disagree with numpy.")
        return False
    print(f"All {checked} queries ({len(QUESTIONS)} questions and {checked - len(QUESTIONS)} docstrings used as "
          f"queries, k={K}) agree with numpy: the same distances bit for bit, the same hits up to the "
          "order of ties, filters included.")
    return True


def _load() -> tuple[Any, Any, Any, Any]:
    try:
        import numpy as np
        from sklearn.decomposition import TruncatedSVD
        from sklearn.feature_extraction.text import TfidfVectorizer
        from sklearn.preprocessing import normalize
    except ImportError:
        raise ImportError("the demo needs numpy and scikit-learn: pip install 'velmoradb[demo]'") from None
    return np, TfidfVectorizer, TruncatedSVD, normalize


@contextlib.contextmanager
def _collection_dir(directory: str | None) -> Iterator[str]:
    if directory is None:
        with tempfile.TemporaryDirectory(prefix="velmoradb-demo-") as tmp:
            yield os.path.join(tmp, "docstrings")
        return
    yield directory


def collect_texts() -> list[Text]:
    """The docstrings of the standard library's public modules (and their
    public submodules, one level down), and of the public classes and
    functions each defines, sorted by name."""
    found: dict[str, Text] = {}
    for name in sorted(sys.stdlib_module_names):
        if name.startswith("_") or name in SKIPPED:
            continue
        module = _import(name)
        if module is None:
            continue
        _add_module(found, name, module, name)
        for sub in pkgutil.iter_modules(getattr(module, "__path__", None) or []):
            if sub.name.startswith("_") or "test" in sub.name:
                continue
            submodule = _import(f"{name}.{sub.name}")
            if submodule is not None:
                _add_module(found, f"{name}.{sub.name}", submodule, name)
    return sorted(found.values(), key=lambda t: t.name)


def _import(name: str) -> Any:
    # Quietly: a module may warn that it is deprecated, or print.
    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()), \
            contextlib.redirect_stderr(io.StringIO()):
        warnings.simplefilter("ignore")
        try:
            return importlib.import_module(name)
        except Exception:  # absent on this platform, or needs what is not installed
            return None


def _add_module(found: dict[str, Text], name: str, module: Any, top: str) -> None:
    _add(found, name, top, "module", module)
    own = (module.__name__, "_" + module.__name__)
    for attribute, value in sorted(vars(module).items()):
        # What the module defines, in Python or in its C accelerator (csv.reader is _csv's).
        if attribute.startswith("_") or getattr(value, "__module__", None) not in own:
            continue
        if inspect.isclass(value):
            _add(found, f"{name}.{attribute}", top, "class", value)
        elif inspect.isfunction(value) or inspect.isbuiltin(value) or inspect.ismethod(value):
            _add(found, f"{name}.{attribute}", top, "function", value)


def _add(found: dict[str, Text], name: str, module: str, kind: str, value: Any) -> None:
    try:
        doc = inspect.getdoc(value)
    except Exception:
        return
    if doc and len(doc.split()) >= 4 and name not in found:
        found[name] = Text(name, module, kind, doc[:TEXT_LIMIT])


def _check(np: Any, vectors: Any, texts: list[Text], queries: Any,
           results: list[list[tuple[int, float]]], where: dict[str, Any] | None) -> list[str]:
    """What disagrees with the brute-force answer over the records the
    filter admits (decided here from the texts, not by the engine)."""
    admitted = np.array([i for i, t in enumerate(texts) if _admits(where, t)], dtype=np.int64)
    reference = demo.reference_distances(np, "cosine", queries, vectors[admitted])
    position = {int(record): column for column, record in enumerate(admitted)}
    failures: list[str] = []
    remapped: list[list[tuple[int, float]]] = []
    for number, hits in enumerate(results):
        outside = [i for i, _ in hits if i not in position]
        if outside:
            failures.append(f"query {number}: ids {outside} are outside the filter")
        remapped.append([(position.get(i, 0), d) for i, d in hits])
    if failures:
        return failures
    if len(admitted) == 0:
        return [f"query {n}: {len(h)} results, the filter admits none" for n, h in enumerate(results) if h]
    return demo.verify(np, remapped, reference, K)


def _admits(where: dict[str, Any] | None, text: Text) -> bool:
    """The demo's filters: {"module": name} or {"module": {"$in": [...]}}."""
    if where is None:
        return True
    wanted = where["module"]
    return text.module in wanted["$in"] if isinstance(wanted, dict) else text.module == wanted


def _print_answer(collection: Collection, question: str, where: dict[str, Any] | None,
                  hits: list[tuple[int, float]]) -> None:
    shown = f'"{question}"' + (f"  where={where}" if where is not None else "")
    print(f"\n? {shown}")
    if not hits:
        print("    (no record matches the filter)")
    for record, (_, distance) in zip(collection.get_batch([i for i, _ in hits]), hits):
        assert record is not None
        payload = record.payload
        first = " ".join(str(payload["text"]).split("\n\n")[0].split())
        if len(first) > 110:
            first = first[:107] + "..."
        print(f"  {distance:.3f}  {payload['name']} ({payload['kind']})")
        print(f"         {first}")
