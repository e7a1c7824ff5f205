"""Quickstart: an in-memory Index, a few vectors, nearest-neighbour queries.

Run after `pip install .`:  python examples/quickstart.py
"""

from _velmoradb import Index


def main() -> None:
    index = Index("euclidean", 3)

    index.insert(1, [0.0, 0.0, 0.0])
    index.insert(2, [1.0, 0.0, 0.0])
    index.insert_batch([3, 4, 5], [[0.0, 2.0, 0.0], [0.0, 0.0, 3.0], [1.0, 1.0, 1.0]])

    print("nearest 3 to [0.9, 0.1, 0.0]:")
    for vector_id, distance in index.search([0.9, 0.1, 0.0], 3):
        print(f"  id {vector_id}  distance {distance:.6f}")

    queries = [[0.0, 1.9, 0.1], [0.0, 0.0, 2.5]]
    for query, results in zip(queries, index.search_batch(queries, 1)):
        print(f"nearest to {query}: {results}")

    try:
        index.insert(2, [5.0, 5.0, 5.0])
    except ValueError as error:
        print(f"refused: {error}")


if __name__ == "__main__":
    main()
