"""A persistent Collection: insert, flush, reopen, search.

Run after `pip install .`:  python examples/collection_example.py
"""

import tempfile
from pathlib import Path

from velmoradb import Collection


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        path = str(Path(tmp) / "fruit")

        collection = Collection.open_or_create(path, 3, "cosine")
        collection.insert_batch([1, 2, 3], [[1.0, 0.1, 0.0], [0.0, 1.0, 0.2], [0.9, 0.3, 0.1]])
        collection.insert(4, [0.0, 0.1, 1.0])
        collection.flush()  # the checkpoint: everything above is on stable storage
        del collection  # closes the files and releases the directory's lock

        reopened = Collection.open_or_create(path, 3, "cosine")
        for vector_id, distance in reopened.search([1.0, 0.2, 0.0], 2):
            print(f"id {vector_id}  cosine distance {distance:.6f}")

        try:
            reopened.insert(5, [1.0, 2.0])
        except ValueError as error:
            print(f"refused: {error}")

        try:
            Collection.open_or_create(path, 4, "cosine")
        except OSError as error:
            print(f"refused: {error}")


if __name__ == "__main__":
    main()
