"""varnel.langchain: LangChain's standard vector store tests, filters, bad input, persistence."""

import asyncio
import os
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("langchain_core")
langchain_tests = pytest.importorskip("langchain_tests.integration_tests.vectorstores")
pytest.importorskip("pytest_asyncio")

from langchain_core.documents import Document  # noqa: E402
from langchain_core.embeddings import DeterministicFakeEmbedding, Embeddings  # noqa: E402

from varnel._docstore import StoreFormatError  # noqa: E402
from varnel.langchain import VarnelVectorStore  # noqa: E402


def _mark_async_tests(cls):
    # The standard suite's async tests carry no marker of their own.
    for name in dir(cls):
        member = getattr(cls, name)
        if name.startswith("test_") and asyncio.iscoroutinefunction(member):
            setattr(cls, name, pytest.mark.asyncio(member))
    return cls


@_mark_async_tests
class TestStandardInMemory(langchain_tests.VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self):
        store = VarnelVectorStore(self.get_embeddings())
        yield store
        store.close()


@_mark_async_tests
class TestStandardOnDisk(langchain_tests.VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self, tmp_path):
        store = VarnelVectorStore(self.get_embeddings(), directory=tmp_path / "store", bits=2)
        yield store
        store.close()
