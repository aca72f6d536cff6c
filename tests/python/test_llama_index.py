"""varnel.llama_index: a real VectorStoreIndex over the store, filters, deletes, persistence."""

import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("llama_index.core")

from llama_index.core import Document, StorageContext, VectorStoreIndex  # noqa: E402
from llama_index.core.embeddings import MockEmbedding  # noqa: E402
from llama_index.core.schema import TextNode  # noqa: E402
from llama_index.core.vector_stores.types import (  # noqa: E402
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
)

from varnel.llama_index import VarnelVectorStore  # noqa: E402

TEXTS = ["the cat sat", "dogs bark", "a cat naps", "birds sing", "the dog runs"]


def node(i, embedding=None, **metadata):
    vector = embedding if embedding is not None else np.random.default_rng(i).standard_normal(12).tolist()
    return TextNode(text=f"text {i}", id_=f"n{i}", embedding=vector, metadata={"i": i, **metadata})


@pytest.fixture(params=["memory", "directory"])
def store(request, tmp_path):
    store = VarnelVectorStore(directory=None if request.param == "memory" else tmp_path / "s")
    yield store
    store.close()


def test_vector_store_index_end_to_end(tmp_path):
    store = VarnelVectorStore()
    documents = [
        Document(text=text, id_=f"doc{i}", metadata={"animal": "cat" if "cat" in text else "other", "rank": i})
        for i, text in enumerate(TEXTS)
    ]
    context = StorageContext.from_defaults(vector_store=store)
    index = VectorStoreIndex.from_documents(documents, storage_context=context, embed_model=MockEmbedding(embed_dim=12))
    assert len(store.client) == 5
    cats = MetadataFilters(filters=[MetadataFilter(key="animal", value="cat")])
    found = index.as_retriever(similarity_top_k=5, filters=cats).retrieve("cat")
    assert sorted(hit.node.get_content() for hit in found) == ["a cat naps", "the cat sat"]
    late = MetadataFilters(filters=[MetadataFilter(key="rank", value=3, operator=FilterOperator.GTE)])
    assert {hit.node.ref_doc_id for hit in index.as_retriever(similarity_top_k=5, filters=late).retrieve("x")} == {"doc3", "doc4"}
    index.delete_ref_doc("doc0")
    assert len(store.client) == 4
    index.insert(Document(text="a cat again", id_="doc9", metadata={"animal": "cat", "rank": 9}))
    assert sorted(hit.node.ref_doc_id for hit in index.as_retriever(similarity_top_k=5, filters=cats).retrieve("c")) == ["doc2", "doc9"]
    context.persist(tmp_path / "storage")
    again = VarnelVectorStore.from_persist_dir(str(tmp_path / "storage"))
    reopened = VectorStoreIndex.from_vector_store(again, embed_model=MockEmbedding(embed_dim=12))
    assert len(reopened.as_retriever(similarity_top_k=10).retrieve("q")) == 5


def test_standard_behaviours(store):
    # The ones LangChain's suite checks: empty start, idempotent add by id, deletes, missing ids.
    query = VectorStoreQuery(query_embedding=node(1).embedding, similarity_top_k=3)
    assert store.query(query).ids == []
    store.add([node(i) for i in range(4)])
    store.add([node(i) for i in range(4)])
    result = store.query(query)
    assert result.ids[0] == "n1" and len(set(result.ids)) == 3 and result.similarities[0] == pytest.approx(1.0, abs=1e-5)
    assert result.nodes[0].get_content() == "text 1" and result.nodes[0].metadata == {"i": 1}
    store.add([node(1, embedding=node(9).embedding)])  # replaced, not duplicated
    assert store.query(query).ids[0] != "n1" and len(store.client) == 4
    store.delete_nodes(["n0", "missing"])
    store.delete("no such document")
    assert [n.node_id for n in store.get_nodes(["n3", "n0", "n2"])] == ["n3", "n2"]
    store.clear()
    assert store.get_nodes() == [] and store.query(query).ids == []


@pytest.mark.parametrize(
    "filters, expected",
    [
        (MetadataFilters(filters=[MetadataFilter(key="i", value=[1, 2], operator=FilterOperator.IN)]), {"n1", "n2"}),
        (MetadataFilters(filters=[MetadataFilter(key="i", value=2, operator=FilterOperator.NE)]), {"n0", "n1", "n3", "n4", "n5"}),
        (
            MetadataFilters(
                filters=[MetadataFilter(key="i", value=1, operator=FilterOperator.LTE), MetadataFilter(key="i", value=5)],
                condition=FilterCondition.OR,
            ),
            {"n0", "n1", "n5"},
        ),
        (
            MetadataFilters(filters=[MetadataFilter(key="tags", value="red", operator=FilterOperator.CONTAINS)], condition=FilterCondition.NOT),
            {"n1", "n3", "n5"},
        ),
        (MetadataFilters(filters=[MetadataFilter(key="tags", value=["red", "blue"], operator=FilterOperator.ALL)]), {"n0"}),
        (MetadataFilters(filters=[MetadataFilter(key="name", value="ITEM 3", operator=FilterOperator.TEXT_MATCH_INSENSITIVE)]), {"n3"}),
        (MetadataFilters(filters=[MetadataFilter(key="tags", value=None, operator=FilterOperator.IS_EMPTY)]), {"n1", "n3", "n5"}),
        # Wider than SQLite's 500 terms of one compound SELECT.
        (MetadataFilters(filters=[MetadataFilter(key="i", value=v) for v in range(4, 604)], condition=FilterCondition.OR), {"n4", "n5"}),
        (
            MetadataFilters(
                filters=[MetadataFilter(key="i", value=v, operator=FilterOperator.GT) for v in range(4, 604)],
                condition=FilterCondition.OR,
            ),
            {"n5"},
        ),
    ],
)
def test_metadata_filters(store, filters, expected):
    store.add([node(i, tags=(["red", "blue"] if i == 0 else ["red"]) if i % 2 == 0 else [], name=f"item {i}") for i in range(6)])
    query = VectorStoreQuery(query_embedding=node(0).embedding, similarity_top_k=10, filters=filters)
    assert set(store.query(query).ids) == expected
    assert {n.node_id for n in store.get_nodes(filters=filters)} == expected
    store.delete_nodes(filters=filters)
    assert not {n.node_id for n in store.get_nodes()} & expected


def test_persist_onto_a_store_held_open_is_refused(tmp_path):
    held = VarnelVectorStore(directory=tmp_path / "s")
    held.add([node(0)])
    other = VarnelVectorStore()
    other.add([node(1)])
    with pytest.raises(RuntimeError, match="has it open"):
        other.persist(str(tmp_path / "s"))
    held.add([node(2)])
    held.close()
    assert [n.node_id for n in VarnelVectorStore.from_persist_path(str(tmp_path / "s")).get_nodes()] == ["n0", "n2"]


def test_mmr_mode_and_doc_id_restriction(store):
    store.add([node(i) for i in range(8)])
    mmr = store.query(VectorStoreQuery(query_embedding=node(2).embedding, similarity_top_k=3, mode=VectorStoreQueryMode.MMR))
    assert mmr.ids[0] == "n2" and len(mmr.ids) == 3
    only = store.query(VectorStoreQuery(query_embedding=node(2).embedding, similarity_top_k=5, node_ids=["n5", "n6"]))
    assert set(only.ids) == {"n5", "n6"}


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda s: s.add([TextNode(text="x", id_="e")]), "has no embedding"),
        (lambda s: s.add([node(7, embedding=[1.0] * 5)]), "5 dimensions, the store 12"),
        (lambda s: s.query(VectorStoreQuery(query_embedding=None)), "query_embedding is None"),
        (lambda s: s.query(VectorStoreQuery(query_embedding=[0.0] * 12, mode=VectorStoreQueryMode.SVM)), "not supported"),
        (lambda s: s.query(VectorStoreQuery(query_embedding=[0.0] * 12, mode=VectorStoreQueryMode.SPARSE)), "query_str is None"),
        (lambda s: s.query(VectorStoreQuery(query_str="x", mode=VectorStoreQueryMode.HYBRID)), "query_embedding is None"),
    ],
)
def test_bad_input_is_refused_and_changes_nothing(store, call, error):
    store.add([node(0), node(1)])
    with pytest.raises(ValueError, match=error):
        call(store)
    assert [n.node_id for n in store.get_nodes()] == ["n0", "n1"]


def test_keyword_and_hybrid_modes_through_a_retriever():
    store = VarnelVectorStore(keyword_fields=["animal"])
    documents = [
        Document(text=text, id_=f"doc{i}", metadata={"animal": "cat" if "cat" in text else "other", "rank": i})
        for i, text in enumerate(TEXTS + ["zymurgy: the chemistry of brewing"])
    ]
    context = StorageContext.from_defaults(vector_store=store)
    # MockEmbedding gives every text the same vector: whatever the vectors rank, only keywords tell texts apart.
    index = VectorStoreIndex.from_documents(documents, storage_context=context, embed_model=MockEmbedding(embed_dim=12))

    def retrieve(mode, query, **options):
        return [hit.node.ref_doc_id for hit in index.as_retriever(vector_store_query_mode=mode, **options).retrieve(query)]

    for mode in ("text_search", "sparse"):
        assert retrieve(mode, "zymurgy", similarity_top_k=3) == ["doc5"]
        assert sorted(retrieve(mode, "cat", similarity_top_k=3)) == ["doc0", "doc2"]  # text or the animal field
    assert len(retrieve("sparse", "the cat dog", similarity_top_k=1, sparse_top_k=3)) == 3
    assert retrieve("hybrid", "zymurgy", similarity_top_k=2, alpha=0.0) == ["doc5"]
    assert retrieve("hybrid", "zymurgy", similarity_top_k=2)[0] == "doc5"
    assert len(retrieve("hybrid", "zymurgy", similarity_top_k=2, alpha=1.0)) == 2
    rrf = index.as_retriever(vector_store_query_mode="hybrid", similarity_top_k=2, vector_store_kwargs={"fusion": "rrf"})
    hits = rrf.retrieve("zymurgy")
    assert hits[0].node.ref_doc_id == "doc5" and 1 / 61 < hits[0].score <= 2 / 61  # keyword rank 1 plus a vector rank
    late = MetadataFilters(filters=[MetadataFilter(key="rank", value=3, operator=FilterOperator.GTE)])
    assert retrieve("hybrid", "cat zymurgy", similarity_top_k=5, filters=late) == ["doc5", "doc3", "doc4"]
    assert retrieve("mmr", "cat", similarity_top_k=2) and retrieve("default", "cat", similarity_top_k=2)


def test_import_of_the_module_alone_does_not_import_langchain():
    script = "import sys, varnel.llama_index; sys.exit(any(m.startswith('langchain') for m in sys.modules))"
    assert subprocess.run([sys.executable, "-c", script], timeout=120).returncode == 0
