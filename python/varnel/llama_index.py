"""A LlamaIndex vector store on varnel: ``VarnelVectorStore``.

Stores the nodes themselves (``stores_text=True``): text, metadata and the
node's own fields in SQLite beside an ``IdMapIndex``, so a ``VectorStoreIndex``
needs no separate document store. ``MetadataFilters`` run inside the scan.
Besides the default (vector) and MMR query modes, the texts are searched by
keyword (BM25: modes ``TEXT_SEARCH`` and ``SPARSE``) and by both fused
(``HYBRID``, weighted by ``alpha``). Install with ``pip install llama-index-core``, or ``pip install '.[llamaindex]'`` in a varnel checkout; ``import varnel`` does not
import LlamaIndex.
"""

from __future__ import annotations

import json
import math
import os
from collections.abc import Sequence
from typing import Any

from varnel._install import install_hint

try:
    from llama_index.core.bridge.pydantic import PrivateAttr
    from llama_index.core.indices.query.embedding_utils import get_top_k_mmr_embeddings
    from llama_index.core.schema import BaseNode, MetadataMode
    from llama_index.core.vector_stores.types import (
        BasePydanticVectorStore,
        FilterCondition,
        FilterOperator,
        MetadataFilters,
        VectorStoreQuery,
        VectorStoreQueryMode,
        VectorStoreQueryResult,
    )
    from llama_index.core.vector_stores.utils import metadata_dict_to_node, node_to_metadata_dict
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(f"varnel.llama_index needs LlamaIndex: {install_hint('llama-index-core', 'llamaindex')}") from error

from varnel._docstore import DocumentStore, Record
from varnel._fusion import ALPHA, RRF_K
from varnel._keyword import MATCH_BUDGET, MIN_CANDIDATES

__all__ = ["VarnelVectorStore", "filters_to_where"]
_KEYWORD_MODES = (VectorStoreQueryMode.TEXT_SEARCH, VectorStoreQueryMode.SPARSE)
_MODES = (VectorStoreQueryMode.DEFAULT, VectorStoreQueryMode.MMR, VectorStoreQueryMode.HYBRID, *_KEYWORD_MODES)

_OPERATORS = {
    FilterOperator.EQ: "$eq",
    FilterOperator.NE: "$ne",
    FilterOperator.GT: "$gt",
    FilterOperator.GTE: "$gte",
    FilterOperator.LT: "$lt",
    FilterOperator.LTE: "$lte",
    FilterOperator.IN: "$in",
    FilterOperator.NIN: "$nin",
    FilterOperator.CONTAINS: "$contains",
    FilterOperator.ANY: "$any",
    FilterOperator.ALL: "$all",
    FilterOperator.TEXT_MATCH: "$text",
    FilterOperator.TEXT_MATCH_INSENSITIVE: "$itext",
}


def filters_to_where(filters: MetadataFilters) -> dict[str, Any]:
    """LlamaIndex ``MetadataFilters`` as the store's filter mapping."""
    parts = []
    for item in filters.filters:
        if isinstance(item, MetadataFilters):
            parts.append(filters_to_where(item))
        elif item.operator == FilterOperator.IS_EMPTY:
            parts.append({item.key: {"$empty": True}})
        elif item.operator in _OPERATORS:
            parts.append({item.key: {_OPERATORS[item.operator]: item.value}})
        else:
            raise ValueError(f"the filter operator {item.operator!r} is not supported")
    condition = filters.condition or FilterCondition.AND
    if condition == FilterCondition.AND:
        return {"$and": parts}
    if condition == FilterCondition.OR:
        return {"$or": parts}
    if condition == FilterCondition.NOT:
        return {"$not": {"$and": parts}}
    raise ValueError(f"the filter condition {condition!r} is not supported")


class VarnelVectorStore(BasePydanticVectorStore):
    """LlamaIndex vector store on a varnel index with a SQLite node table.

    ``VarnelVectorStore(dim=None, *, bits=4, directory=None, metric="cosine",
    refine=True, refine_factor=4, rotation="rotor3")``: ``dim`` is taken from
    the first nodes when not given. Without ``directory`` the store lives in
    memory (``persist(path)`` writes it to the directory `path`); with one, an
    existing store there is opened or a new one created, and every change is
    on disk when the call returns.

    Similarities: the cosine similarity ("cosine"), the inner product ("ip"),
    or ``1 / (1 + Euclidean distance)`` ("l2"); higher is closer. Keyword
    modes give the BM25 score, the hybrid mode the fused score.

    ``keyword_index=False`` makes a store without the keyword index;
    ``keyword_fields`` names metadata fields indexed with the text.
    """

    stores_text: bool = True
    flat_metadata: bool = False

    _store: DocumentStore = PrivateAttr()

    def __init__(
        self,
        dim: int | None = None,
        *,
        bits: int | None = None,
        directory: str | os.PathLike[str] | None = None,
        metric: str | None = None,
        refine: bool | None = None,
        refine_factor: int = 4,
        rotation: str | None = None,
        keyword_index: bool | None = None,
        keyword_fields: Sequence[str] | None = None,
        keyword_tokenizer: str | None = None,
        **kwargs: Any,
    ) -> None:
        super().__init__(**kwargs)
        self._store = DocumentStore(
            dim, bits=bits, metric=metric, refine=refine, refine_factor=refine_factor,
            rotation=rotation, directory=directory, keyword_index=keyword_index,
            keyword_fields=keyword_fields, keyword_tokenizer=keyword_tokenizer,
        )

    @classmethod
    def class_name(cls) -> str:
        return "VarnelVectorStore"

    @property
    def client(self) -> DocumentStore:
        """The document store underneath."""
        return self._store

    # -- persistence ------------------------------------------------------------------

    def persist(self, persist_path: str, fs: Any = None) -> None:
        """Write the store to the directory `persist_path` (replacing a store there)."""
        if fs is not None and getattr(fs, "protocol", "file") not in ("file", ("file", "local")):
            raise ValueError("VarnelVectorStore persists to the local file system only")
        self._store.save(persist_path)

    @classmethod
    def from_persist_path(cls, persist_path: str, fs: Any = None, *, refine_factor: int = 4) -> VarnelVectorStore:
        """Open the store in the directory `persist_path`; later changes are written there."""
        store = cls.__new__(cls)
        BasePydanticVectorStore.__init__(store)
        store._store = DocumentStore.load(persist_path, refine_factor=refine_factor)
        return store

    @classmethod
    def from_persist_dir(cls, persist_dir: str, namespace: str = "default", fs: Any = None) -> VarnelVectorStore:
        """The store that ``StorageContext.persist(persist_dir)`` wrote for `namespace`."""
        return cls.from_persist_path(os.path.join(persist_dir, f"{namespace}__vector_store.json"), fs)

    def close(self) -> None:
        """Release the store's directory; the store is unusable afterwards."""
        self._store.close()

    # -- writing ------------------------------------------------------------------------

    def add(self, nodes: Sequence[BaseNode], **add_kwargs: Any) -> list[str]:
        """Add nodes (with embeddings); a stored node id is replaced. All, or none."""
        if not nodes:
            return []
        keys, texts, metadatas, refs, payloads, vectors = [], [], [], [], [], []
        for position, node in enumerate(nodes):
            embedding = node.embedding
            if embedding is None:
                raise ValueError(f"node {position} ({node.node_id}) has no embedding")
            content = node_to_metadata_dict(node, remove_text=True, flat_metadata=self.flat_metadata)
            keys.append(node.node_id)
            texts.append(node.get_content(metadata_mode=MetadataMode.NONE))
            metadatas.append(json.loads(content["_node_content"])["metadata"])
            refs.append(node.ref_doc_id)
            payloads.append({"_node_content": content["_node_content"], "_node_type": content["_node_type"]})
            vectors.append(embedding)
        self._store.upsert(keys, texts, metadatas, vectors, refs=refs, payloads=payloads)
        return keys

    def delete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        """Delete every node of the source document `ref_doc_id`."""
        self._store.delete_refs([ref_doc_id])

    def delete_nodes(
        self, node_ids: list[str] | None = None, filters: MetadataFilters | None = None, **delete_kwargs: Any
    ) -> None:
        """Delete the nodes among `node_ids` that match `filters` (neither given: all)."""
        if filters is not None:
            self._store.delete_where(filters_to_where(filters), keys=node_ids)
        elif node_ids is not None:
            self._store.delete(list(node_ids))
        else:
            self._store.clear()

    def clear(self) -> None:
        self._store.clear()

    # -- reading ------------------------------------------------------------------------

    def get_nodes(self, node_ids: list[str] | None = None, filters: MetadataFilters | None = None) -> list[BaseNode]:
        """Stored nodes among `node_ids` (in that order) matching `filters`; unknown ids are skipped."""
        if filters is not None:
            matching = set(self._store.keys(filters_to_where(filters)))
            node_ids = [key for key in (node_ids if node_ids is not None else matching) if key in matching]
        elif node_ids is None:
            node_ids = self._store.keys()
        return [_node(record) for record in self._store.get(list(node_ids))]

    def query(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        """Answers a query in the modes default, mmr, hybrid, text_search and sparse.

        text_search and sparse rank by BM25 over ``query_str`` (sparse returns
        ``sparse_top_k`` results if given). hybrid fuses both sides: by default
        relative score fusion with ``alpha`` (0.5 if None; 1 the vectors
        alone, 0 the keywords alone), or reciprocal rank fusion with the
        keyword argument ``fusion="rrf"`` (``rrf_k``, ``weights``); it returns
        ``hybrid_top_k`` results (default ``similarity_top_k``) from at least
        ``similarity_top_k`` / ``sparse_top_k`` candidates per side.
        ``match_budget`` bounds the documents a keyword search scores.
        """
        if query.mode not in _MODES:
            raise ValueError(f"query mode {query.mode!r} is not supported (default, mmr, hybrid, text_search and sparse are)")
        if query.mode in _KEYWORD_MODES or query.mode == VectorStoreQueryMode.HYBRID:
            return self._text_query(query, **kwargs)
        if query.query_embedding is None:
            raise ValueError("VarnelVectorStore answers queries by embedding (query_embedding is None)")
        where = self._where(query)
        k = query.similarity_top_k
        mmr = query.mode == VectorStoreQueryMode.MMR
        fetch = max(k * 4, 20) if mmr else k
        (found,) = self._store.search([query.query_embedding], fetch, where=where, with_vectors=mmr)
        if mmr:
            found = self._mmr(query, found, kwargs.get("mmr_threshold", query.mmr_threshold))
        to_similarity = _SIMILARITIES[self._store.metric]
        return VectorStoreQueryResult(
            nodes=[_node(record) for record, _, _ in found],
            similarities=[to_similarity(score) for _, score, _ in found],
            ids=[record.key for record, _, _ in found],
        )

    def _text_query(
        self,
        query: VectorStoreQuery,
        *,
        fusion: str = "relative",
        rrf_k: float = RRF_K,
        weights: Sequence[float] | None = None,
        match_budget: int | None = MATCH_BUDGET,
        **kwargs: Any,
    ) -> VectorStoreQueryResult:
        if not isinstance(query.query_str, str):
            raise ValueError(f"query mode {query.mode.value!r} needs the query's text (query_str is None)")
        where = self._where(query)
        if query.mode in _KEYWORD_MODES:
            k = query.similarity_top_k
            if query.mode == VectorStoreQueryMode.SPARSE and query.sparse_top_k is not None:
                k = query.sparse_top_k
            found = self._store.keyword_search(query.query_str, k, where=where, match_budget=match_budget)
            return _result([(record, score) for record, score, _ in found])
        if query.query_embedding is None:
            raise ValueError("the hybrid mode needs the query's embedding as well (query_embedding is None)")
        k = query.hybrid_top_k or query.similarity_top_k
        fetch = max(query.similarity_top_k, query.sparse_top_k or 0, 2 * k, MIN_CANDIDATES)
        found = self._store.hybrid_search(
            query.query_str, query.query_embedding, k, where=where, fusion=fusion, rrf_k=rrf_k, weights=weights,
            alpha=ALPHA if query.alpha is None else query.alpha, fetch_k=fetch, match_budget=match_budget,
        )
        return _result([(record, scores.score) for record, scores, _ in found])

    def _where(self, query: VectorStoreQuery) -> dict[str, Any] | None:
        parts = []
        if query.filters is not None:
            parts.append(filters_to_where(query.filters))
        # An empty list restricts nothing: VectorStoreIndex's retriever passes
        # the node ids it tracks itself, none when the store keeps the nodes.
        if query.node_ids:
            parts.append({"$key": list(query.node_ids)})
        if query.doc_ids:
            parts.append({"$ref": list(query.doc_ids)})
        return {"$and": parts} if parts else None

    def _mmr(self, query: VectorStoreQuery, found, threshold):
        if not found:
            return found
        vectors = [vector.tolist() for _, _, vector in found]
        _, chosen = get_top_k_mmr_embeddings(
            list(query.query_embedding), vectors, similarity_top_k=query.similarity_top_k,
            embedding_ids=list(range(len(found))), mmr_threshold=threshold,
        )
        return [found[i] for i in chosen]


def _result(found: list[tuple[Record, float]]) -> VectorStoreQueryResult:
    return VectorStoreQueryResult(
        nodes=[_node(record) for record, _ in found],
        similarities=[score for _, score in found],
        ids=[record.key for record, _ in found],
    )


def _node(record: Record) -> BaseNode:
    return metadata_dict_to_node(record.payload, text=record.text)


_SIMILARITIES = {
    "cosine": lambda cosine: cosine,
    "ip": lambda inner: inner,
    "l2": lambda squared: 1.0 / (1.0 + math.sqrt(max(squared, 0.0))),
}
