"""LangChain's own test suite for vector stores, run whole over VelmoraVectorStore."""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path

import pytest

pytest.importorskip("langchain_core")
pytest.importorskip("langchain_tests")

from langchain_core.vectorstores import VectorStore  # noqa: E402
from langchain_tests.integration_tests import VectorStoreIntegrationTests  # noqa: E402

from velmoradb.langchain import VelmoraVectorStore  # noqa: E402


class TestVelmoraVectorStoreStandard(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self, tmp_path: Path) -> Iterator[VectorStore]:  # type: ignore[override]
        store = VelmoraVectorStore(tmp_path / "store", self.get_embeddings())
        try:
            yield store
        finally:
            store.close()
