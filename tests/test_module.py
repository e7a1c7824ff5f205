"""The module object and the class-level surface of Index and Collection."""

import subprocess
import sys
import weakref

import pytest

import _velmoradb
from _velmoradb import Collection, Index

INDEX_DOC = (
    "In-memory brute-force vector index.\n"
    "\n"
    "This index stores all vectors in memory and performs exhaustive search\n"
    "for exact nearest neighbors."
)
COLLECTION_DOC = (
    "Persistent vector collection backed by disk storage.\n"
    "\n"
    "Stores vectors and metadata on disk with WAL (Write-Ahead Log) protection\n"
    "for durability. Supports crash recovery."
)
INSERT_BATCH_DOC = (
    "Insert multiple vectors at once.\n"
    "\n"
    "Args:\n"
    "    ids (list[int]): List of unique identifiers.\n"
    "    vectors (list[list[float]]): List of vectors."
)
SEARCH_BATCH_DOC = (
    "Search for nearest neighbors for multiple queries.\n"
    "\n"
    "Args:\n"
    "    queries (list[list[float]]): List of query vectors.\n"
    "    k (int): Number of neighbors per query.\n"
    "\n"
    "Returns:\n"
    "    list[list[tuple[int, float]]]: Results for each query."
)

METHOD_DOCS = [
    (Index.insert, "($self, id, vector)",
     "Insert a vector into the index.\n\nArgs:\n"
     "    id (int): Unique identifier for the vector.\n"
     "    vector (list[float]): The vector data."),
    (Index.search, "($self, query, k)",
     "Search for nearest neighbors.\n\nArgs:\n"
     "    query (list[float]): The query vector.\n"
     "    k (int): Number of neighbors to return.\n\nReturns:\n"
     "    list[tuple[int, float]]: List of (id, distance) tuples."),
    (Index.insert_batch, "($self, ids, vectors)", INSERT_BATCH_DOC),
    (Index.search_batch, "($self, queries, k)", SEARCH_BATCH_DOC),
    (Collection.open_or_create, "(path, dimension, metric)",
     "Open an existing collection or create a new one.\n\nArgs:\n"
     "    path (str): File system path for the collection.\n"
     "    dimension (int): Dimension of the vectors (must match existing).\n"
     '    metric (str): Distance metric ("euclidean", "cosine", "dot").'),
    (Collection.insert, "($self, id, vector)",
     "Insert a vector into the collection.\n\nArgs:\n"
     "    id (int): Unique identifier.\n"
     "    vector (list[float]): Vector data."),
    (Collection.search, "($self, query, k)",
     "Search for nearest neighbors.\n\nArgs:\n"
     "    query (list[float]): Query vector.\n"
     "    k (int): Number of results.\n\nReturns:\n"
     "    list[tuple[int, float]]: List of (id, distance) tuples."),
    (Collection.flush, "($self)",
     "Flush all pending writes to disk (checkpoint).\n\n"
     "This ensures all data is durable and truncates the WAL."),
    (Collection.insert_batch, "($self, ids, vectors)", INSERT_BATCH_DOC),
    (Collection.search_batch, "($self, queries, k)", SEARCH_BATCH_DOC),
]


def test_module_attributes():
    assert _velmoradb.__all__ == ["Index", "Collection"]
    assert _velmoradb.__doc__ == ""
    public = sorted(name for name in dir(_velmoradb) if not name.startswith("_"))
    assert public == ["Collection", "Index"]


@pytest.mark.parametrize("cls, name, doc", [(Index, "Index", INDEX_DOC),
                                            (Collection, "Collection", COLLECTION_DOC)])
def test_class_names_and_docs(cls, name, doc):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__doc__ == doc


def test_text_signatures_of_classes():
    assert Index.__text_signature__ == "(metric, dimension)"
    assert Collection.__text_signature__ is None


@pytest.mark.parametrize("method, signature, doc", METHOD_DOCS,
                         ids=lambda x: getattr(x, "__qualname__", None))
def test_method_docs(method, signature, doc):
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_methods_registered_in_order():
    index_methods = [n for n in Index.__dict__ if not n.startswith("__")]
    assert index_methods == ["insert", "search", "insert_batch", "search_batch"]
    collection_methods = [n for n in Collection.__dict__ if not n.startswith("__")]
    assert collection_methods == ["open_or_create", "insert", "search", "flush",
                                  "insert_batch", "search_batch"]
    assert isinstance(Collection.__dict__["open_or_create"], staticmethod)


@pytest.mark.parametrize("cls", [Index, Collection])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


def test_index_instance_has_no_dict_and_no_weakref():
    index = Index("dot", 2)
    with pytest.raises(AttributeError):
        index.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(index)


def test_collection_instance_has_no_dict_and_no_weakref(tmp_path):
    collection = Collection.open_or_create(str(tmp_path / "c"), 2, "dot")
    with pytest.raises(AttributeError):
        collection.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(collection)


def test_collection_has_no_constructor():
    with pytest.raises(TypeError) as caught:
        Collection()
    assert str(caught.value) == "No constructor defined for Collection"
    with pytest.raises(TypeError) as caught:
        Collection("path", 3, "dot")
    assert str(caught.value) == "No constructor defined for Collection"


def test_second_initialisation_is_refused():
    # A fresh interpreter: removing the module from sys.modules here would
    # break every later test.
    code = (
        "import sys, _velmoradb\n"
        "first = _velmoradb\n"
        "del sys.modules['_velmoradb']\n"
        "try:\n"
        "    import _velmoradb\n"
        "except ImportError as e:\n"
        "    print('ImportError', e)\n"
        "else:\n"
        "    print('imported again')\n"
        "print(first.Index('dot', 1).search([1.0], 1))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout.splitlines()
    assert out[0].startswith("ImportError ")
    assert "only once" in out[0]
    # the first module keeps working
    assert out[1] == "[]"


def test_instances_are_destroyed_with_their_last_reference():
    # Dropping many indexes with stored vectors must neither crash nor leak
    # the type object's reference count.
    before = sys.getrefcount(Index)
    for _ in range(100):
        index = Index("euclidean", 4)
        index.insert(1, [1, 2, 3, 4])
        del index
    assert sys.getrefcount(Index) == before
