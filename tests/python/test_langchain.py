"""varnel.langchain: LangChain's standard vector store tests, filters, bad input, persistence."""

import inspect
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("langchain_core")
langchain_tests = pytest.importorskip("langchain_tests.integration_tests.vectorstores")
pytest.importorskip("pytest_asyncio")

from langchain_core.documents import Document  # noqa: E402
from langchain_core.embeddings import Embeddings  # noqa: E402

from varnel._docstore import StoreFormatError  # noqa: E402
from varnel.langchain import VarnelVectorStore  # noqa: E402


def _mark_async_tests(cls):
    # The standard suite's async tests carry no marker of their own.
    for name in dir(cls):
        member = getattr(cls, name)
        if name.startswith("test_") and inspect.iscoroutinefunction(member):
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


class UnitEmbedding(Embeddings):
    """Text "i" -> a fixed vector of 10 values (not a multiple of 8: exercises the padding)."""

    def __init__(self):
        self.table = np.random.default_rng(0).standard_normal((64, 10)).astype(np.float32)

    def embed_documents(self, texts):
        return [self.embed_query(text) for text in texts]

    def embed_query(self, text):
        return self.table[int(text) % 64].tolist()


@pytest.fixture()
def numbered():
    store = VarnelVectorStore(UnitEmbedding())
    texts = [str(i) for i in range(40)]
    store.add_texts(texts, [{"i": i, "parity": ["even", "odd"][i % 2], "tags": ["t"] * (i % 3 == 0)} for i in range(40)], ids=texts)
    yield store
    store.close()


@pytest.mark.parametrize(
    "where, expected",
    [
        ({"parity": "odd", "i": {"$lt": 6}}, {"1", "3", "5"}),
        ({"$or": [{"i": 0}, {"i": {"$in": [7, 8]}}]}, {"0", "7", "8"}),
        ({"tags": {"$contains": "t"}, "i": {"$gte": 30}}, {"30", "33", "36", "39"}),
        ({"$not": {"i": {"$lt": 38}}}, {"38", "39"}),
        ({"i": {"$gt": 100}}, set()),
    ],
)
def test_filtered_search_returns_only_matches(numbered, where, expected):
    found = numbered.similarity_search("5", k=10, filter=where)
    assert {doc.id for doc in found} == expected
    assert numbered.similarity_search("5", k=1, filter=where)[:1] == found[:1]


def test_scores_follow_the_metric(numbered, tmp_path):
    top = numbered.similarity_search_with_score("5", k=3)
    assert top[0][0].id == "5" and top[0][1] == pytest.approx(0.0, abs=1e-5)
    assert [score for _, score in top] == sorted(score for _, score in top)
    relevance = numbered.similarity_search_with_relevance_scores("5", k=3)
    assert relevance[0][1] == pytest.approx(1.0, abs=1e-5)
    l2 = VarnelVectorStore.from_texts(["1", "2"], UnitEmbedding(), metric="l2")
    ((doc, distance),) = l2.similarity_search_with_score("2", k=1)
    assert doc.page_content == "2" and distance == pytest.approx(0.0, abs=1e-3)


def test_mmr_retriever_and_delete_by_filter(numbered):
    diverse = numbered.max_marginal_relevance_search("5", k=3, fetch_k=10, lambda_mult=0.1)
    assert len(diverse) == 3 and diverse[0].id == "5" and len({d.id for d in diverse}) == 3
    retriever = numbered.as_retriever(search_kwargs={"k": 2, "filter": {"parity": "even"}})
    assert [doc.id for doc in retriever.invoke("6")][:1] == ["6"]
    numbered.delete(filter={"parity": "even"})
    assert len(numbered) == 20 and numbered.get_by_ids(["2", "3"]) == [numbered.get_by_ids(["3"])[0]]
    numbered.delete()
    assert len(numbered) == 0 and numbered.similarity_search("1") == []


@pytest.mark.asyncio
async def test_async_paths(numbered):
    assert (await numbered.asimilarity_search("9", k=1, filter={"i": 9}))[0].id == "9"
    scored = await numbered.asimilarity_search_with_score("9", k=2)
    assert scored[0][0].id == "9"
    assert len(await numbered.amax_marginal_relevance_search("9", k=2)) == 2
    await numbered.adelete(["9"])
    assert await numbered.aget_by_ids(["9"]) == []


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.add_texts(["1", "2"], [{}]), "2 texts but 1 metadatas"),
        (lambda s: s.add_texts(["1", "2"], ids=["a"]), "2 texts but 1 ids"),
        (lambda s: s.add_texts(["1"], [{"when": {1, 2}}]), "is not JSON"),
        (lambda s: s.add_texts(["1", "2"], ids=["x", "x"]), "more than once"),
        (lambda s: s.similarity_search("1", filter={"i": {"$like": "1"}}), "unknown filter operator"),
        (lambda s: s.add_embeddings(["1"], [[1.0, 2.0]]), "2 dimensions, the store 10"),
    ],
)
def test_bad_input_is_refused_and_changes_nothing(numbered, call, message):
    before = numbered.similarity_search_with_score("3", k=40)
    with pytest.raises(ValueError, match=message):
        call(numbered)
    assert numbered.similarity_search_with_score("3", k=40) == before


def test_directory_store_persists_every_change(tmp_path):
    store = VarnelVectorStore(UnitEmbedding(), directory=tmp_path / "s", bits=3)
    store.add_texts(["1", "2", "3"], [{"i": 1}, {"i": 2}, {"i": 3}], ids=["a", "b", "c"])
    store.delete(["b"])
    store.close()
    again = VarnelVectorStore(UnitEmbedding(), directory=tmp_path / "s")
    assert again.store.bits == 3 and [d.id for d in again.similarity_search("3", k=5)][0] == "c"
    assert {d.id for d in again.similarity_search("3", k=5)} == {"a", "c"}
    again.save(tmp_path / "copy")
    again.close()
    copy = VarnelVectorStore.load(tmp_path / "copy", UnitEmbedding())
    assert copy.get_by_ids(["a"]) == [Document(id="a", page_content="1", metadata={"i": 1})]
    copy.close()
    with pytest.raises(StoreFormatError):
        (tmp_path / "copy" / "vectors.f32").write_bytes(b"123")
        VarnelVectorStore.load(tmp_path / "copy", UnitEmbedding())


def test_import_of_the_module_alone_does_not_import_llama_index():
    script = "import sys, varnel.langchain; sys.exit(any(m.startswith('llama_index') for m in sys.modules))"
    assert subprocess.run([sys.executable, "-c", script], timeout=120).returncode == 0


@pytest.fixture()
def worded():
    from langchain_core.embeddings import DeterministicFakeEmbedding

    store = VarnelVectorStore(DeterministicFakeEmbedding(size=16), keyword_fields=["title"])
    texts = ["zymurgy is the science of brewing", "cats nap all day", "dogs bark at night", "cats chase dogs"]
    titles = ["Brewing", "Cats", "Dogs", "Pets"]
    store.add_texts(texts, [{"title": t, "i": i} for i, t in enumerate(titles)], ids=["a", "b", "c", "d"])
    yield store
    store.close()


@pytest.mark.asyncio
async def test_keyword_and_hybrid_search_types_through_langchains_entry_points(worded):
    assert [d.id for d in worded.search("zymurgy", "keyword", k=3)] == ["a"]
    assert [d.id for d in worded.search("pets", "keyword", k=3)] == ["d"]  # a keyword field
    assert worded.search("zymurgy", "hybrid", k=2)[0].id == "a"
    assert [d.id for d in await worded.asearch("cats", "keyword", k=3, filter={"i": 1})] == ["b"]
    assert (await worded.asearch("zymurgy", "hybrid", k=1))[0].id == "a"
    for search_type in ("keyword", "hybrid"):
        retriever = worded.as_retriever(search_type=search_type, search_kwargs={"k": 2, "filter": {"i": {"$gte": 2}}})
        found = retriever.invoke("dogs")
        assert {d.id for d in found} <= {"c", "d"} and len(found) == 2
        assert [d.id for d in await retriever.ainvoke("dogs")] == [d.id for d in found]
    assert worded.as_retriever(search_type="mmr", search_kwargs={"k": 1}).invoke("cats")  # the others still work
    with pytest.raises(ValueError, match="not allowed"):
        worded.as_retriever(search_type="bm25")


def test_hybrid_scores_carry_both_sides(worded):
    found = worded.hybrid_search_with_scores("dogs", k=4, fusion="relative", alpha=0.5)
    distances = {doc.id: distance for doc, distance in worded.similarity_search_with_score("dogs", k=4)}
    assert len(found) == 4 and [s.score for _, s in found] == sorted((s.score for _, s in found), reverse=True)
    for doc, scores in found:
        assert scores.vector_score == pytest.approx(distances[doc.id], abs=1e-6)  # a distance, as LangChain's
        assert (scores.keyword_score is not None) == (doc.id in ("c", "d"))
    keyword_only = worded.hybrid_search_with_scores("dogs", k=4, fusion="relative", alpha=0.0)
    assert [doc.id for doc, _ in keyword_only] == [doc.id for doc, _ in worded.keyword_search_with_score("dogs", k=4)]
    with pytest.raises(TypeError, match="lambda_mult"):
        worded.hybrid_search("dogs", k=2, lambda_mult=0.5)
    with pytest.raises(ValueError, match="alpha must lie"):
        worded.hybrid_search("dogs", fusion="relative", alpha=2)
