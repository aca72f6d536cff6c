"""A LangChain vector store on varnel: ``VarnelVectorStore``.

Texts and metadata live in SQLite beside an ``IdMapIndex``; metadata filters
run inside the scan; the float vectors re-rank the candidates exactly (turn it
off with ``refine=False`` to keep only the codes). The texts are also indexed
for keyword search (BM25), alone or fused with the vectors: the search types
"keyword" and "hybrid" beside LangChain's own. Install with
``pip install langchain-core``, or ``pip install '.[langchain]'`` in a varnel checkout; ``import varnel`` does not import LangChain.
"""

from __future__ import annotations

import dataclasses
import math
import os
import uuid
from collections.abc import Callable, Iterable, Sequence
from typing import Any, ClassVar

import numpy as np

from varnel._install import install_hint

try:
    from langchain_core.callbacks import AsyncCallbackManagerForRetrieverRun, CallbackManagerForRetrieverRun
    from langchain_core.documents import Document
    from langchain_core.embeddings import Embeddings
    from langchain_core.runnables.config import run_in_executor
    from langchain_core.vectorstores import VectorStore, VectorStoreRetriever
    from langchain_core.vectorstores.utils import maximal_marginal_relevance
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(f"varnel.langchain needs LangChain: {install_hint('langchain-core', 'langchain')}") from error

from varnel._docstore import DocumentStore, Record
from varnel._fusion import ALPHA, RRF_K, Scores
from varnel._keyword import MATCH_BUDGET

__all__ = ["Scores", "VarnelRetriever", "VarnelVectorStore"]


class VarnelVectorStore(VectorStore):
    """LangChain ``VectorStore`` on a varnel index with a SQLite document table.

    ``VarnelVectorStore(embedding, *, bits=4, directory=None, metric="cosine",
    refine=True, refine_factor=4, rotation="rotor3")``. Without ``directory``
    the store lives in memory (``save(directory)`` writes it out); with one,
    an existing store there is opened (its settings win) or a new one is
    created, and every change is on disk when the call returns.

    ``similarity_search_with_score`` returns a distance, smaller is closer:
    ``1 - cosine`` for "cosine", the Euclidean distance for "l2" and the
    negated inner product for "ip". Relevance scores (``similarity_search_with_relevance_scores``)
    are the cosine similarity, ``1 - distance / sqrt(2)`` and the inner product,
    clipped to [0, 1] as LangChain expects (meaningful for normalised embeddings).

    ``filter`` (in every search, ``delete`` and ``get``): ``{"field": value}``,
    ``{"field": {"$gte": 3}}``, ``$eq $ne $gt $gte $lt $lte $in $nin $contains
    $any $all $exists $text $itext``, combined with ``$and``, ``$or``, ``$not``.

    Keyword search (``keyword_search``, BM25 over the texts and the metadata
    fields named in ``keyword_fields``) and hybrid search (``hybrid_search``,
    keyword and vector results fused) are also reached through
    ``search(query, "keyword" | "hybrid")`` and ``as_retriever(search_type=...)``.
    ``keyword_index=False`` makes a store without the keyword index.
    """

    def __init__(
        self,
        embedding: Embeddings,
        *,
        bits: int | None = None,
        directory: str | os.PathLike[str] | None = None,
        metric: str | None = None,
        refine: bool | None = None,
        refine_factor: int = 4,
        rotation: str | None = None,
        dim: int | None = None,
        keyword_index: bool | None = None,
        keyword_fields: Sequence[str] | None = None,
        keyword_tokenizer: str | None = None,
    ):
        self.embedding = embedding
        self._store = DocumentStore(
            dim, bits=bits, metric=metric, refine=refine, refine_factor=refine_factor,
            rotation=rotation, directory=directory, keyword_index=keyword_index,
            keyword_fields=keyword_fields, keyword_tokenizer=keyword_tokenizer,
        )

    # -- construction and persistence ---------------------------------------------

    @classmethod
    def from_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        **kwargs: Any,
    ) -> VarnelVectorStore:
        store = cls(embedding, **kwargs)
        store.add_texts(texts, metadatas, ids=ids)
        return store

    @classmethod
    def load(cls, directory: str | os.PathLike[str], embedding: Embeddings, *, refine_factor: int = 4) -> VarnelVectorStore:
        """Open the store saved in `directory`; later changes are written there."""
        store = cls.__new__(cls)
        store.embedding = embedding
        store._store = DocumentStore.load(directory, refine_factor=refine_factor)
        return store

    def save(self, directory: str | os.PathLike[str]) -> None:
        """Write the store to `directory` (missing, empty, or a store that is replaced)."""
        self._store.save(directory)

    def close(self) -> None:
        """Release the store's directory; the store is unusable afterwards."""
        self._store.close()

    @property
    def embeddings(self) -> Embeddings:
        return self.embedding

    @property
    def store(self) -> DocumentStore:
        """The document store underneath (settings, sizes, keys)."""
        return self._store

    def __len__(self) -> int:
        return len(self._store)

    # -- adding and deleting --------------------------------------------------------

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str | None] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        """Embed and store `texts`; a stored id is replaced. All are added, or none."""
        texts, metadatas, ids = self._prepared(texts, metadatas, ids)
        vectors = self.embedding.embed_documents(texts) if texts else []
        return self._add_embedded(texts, metadatas, ids, vectors)

    async def aadd_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str | None] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        texts, metadatas, ids = self._prepared(texts, metadatas, ids)
        vectors = await self.embedding.aembed_documents(texts) if texts else []
        return await run_in_executor(None, self._add_embedded, texts, metadatas, ids, vectors)

    def add_embeddings(
        self,
        texts: Iterable[str],
        embeddings: Sequence[Sequence[float]] | np.ndarray,
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str | None] | None = None,
    ) -> list[str]:
        """Store texts with embeddings computed elsewhere."""
        texts, metadatas, ids = self._prepared(texts, metadatas, ids)
        return self._add_embedded(texts, metadatas, ids, embeddings)

    @staticmethod
    def _prepared(texts, metadatas, ids):
        texts = list(texts)
        if metadatas is not None and len(metadatas) != len(texts):
            raise ValueError(f"{len(texts)} texts but {len(metadatas)} metadatas")
        if ids is not None and len(ids) != len(texts):
            raise ValueError(f"{len(texts)} texts but {len(ids)} ids")
        metadatas = [{} if m is None else m for m in metadatas] if metadatas is not None else [{} for _ in texts]
        ids = [str(uuid.uuid4()) if i is None else i for i in (ids or [None] * len(texts))]
        return texts, metadatas, ids

    def _add_embedded(self, texts, metadatas, ids, vectors) -> list[str]:
        if not texts:
            return []
        self._store.upsert(ids, texts, metadatas, vectors)
        return ids

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool | None:
        """Delete by ids (unknown ids are ignored), by ``filter=``, or everything when neither is given."""
        where = kwargs.get("filter")
        if where is not None:
            self._store.delete_where(where, keys=ids)
        elif ids is None:
            self._store.clear()
        else:
            self._store.delete(list(ids))
        return True

    async def adelete(self, ids: list[str] | None = None, **kwargs: Any) -> bool | None:
        return await run_in_executor(None, self.delete, ids, **kwargs)

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        """The stored documents among `ids`, in that order; unknown ids are skipped."""
        return [_document(record) for record in self._store.get(list(ids))]

    async def aget_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        return await run_in_executor(None, self.get_by_ids, ids)

    # -- searching --------------------------------------------------------------------

    def similarity_search(self, query: str, k: int = 4, **kwargs: Any) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score(query, k, **kwargs)]

    def similarity_search_with_score(self, query: str, k: int = 4, **kwargs: Any) -> list[tuple[Document, float]]:
        return self.similarity_search_with_score_by_vector(self.embedding.embed_query(query), k, **kwargs)

    def similarity_search_by_vector(self, embedding: list[float], k: int = 4, **kwargs: Any) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score_by_vector(embedding, k, **kwargs)]

    def similarity_search_with_score_by_vector(
        self, embedding: Sequence[float], k: int = 4, *, filter: dict[str, Any] | None = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        """The `k` closest documents with their distance (smaller is closer)."""
        (found,) = self._store.search([embedding], k, where=filter)
        to_distance = _DISTANCES[self._store.metric]
        return [(_document(record), to_distance(score)) for record, score, _ in found]

    async def asimilarity_search(self, query: str, k: int = 4, **kwargs: Any) -> list[Document]:
        embedding = await self.embedding.aembed_query(query)
        return await run_in_executor(None, self.similarity_search_by_vector, embedding, k, **kwargs)

    async def asimilarity_search_with_score(self, *args: Any, **kwargs: Any) -> list[tuple[Document, float]]:
        query, k = _query_and_k(args, kwargs)
        embedding = await self.embedding.aembed_query(query)
        return await run_in_executor(None, self.similarity_search_with_score_by_vector, embedding, k, **kwargs)

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        return _RELEVANCE[self._store.metric]

    def max_marginal_relevance_search(
        self, query: str, k: int = 4, fetch_k: int = 20, lambda_mult: float = 0.5, **kwargs: Any
    ) -> list[Document]:
        embedding = self.embedding.embed_query(query)
        return self.max_marginal_relevance_search_by_vector(embedding, k, fetch_k, lambda_mult, **kwargs)

    async def amax_marginal_relevance_search(
        self, query: str, k: int = 4, fetch_k: int = 20, lambda_mult: float = 0.5, **kwargs: Any
    ) -> list[Document]:
        embedding = await self.embedding.aembed_query(query)
        return await run_in_executor(
            None, self.max_marginal_relevance_search_by_vector, embedding, k, fetch_k, lambda_mult, **kwargs
        )

    def max_marginal_relevance_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        *,
        filter: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        """Diverse results: `fetch_k` candidates by similarity, `k` of them chosen by MMR.

        The candidates' vectors are the stored float32 vectors, or with
        ``refine=False`` the ones decoded from the codes.
        """
        (found,) = self._store.search([embedding], max(fetch_k, k), where=filter, with_vectors=True)
        if not found:
            return []
        vectors = np.stack([vector for _, _, vector in found])
        chosen = maximal_marginal_relevance(np.asarray(embedding, dtype=np.float32), vectors, lambda_mult=lambda_mult, k=k)
        return [_document(found[i][0]) for i in chosen]

    # -- keyword and hybrid search ------------------------------------------------------

    def keyword_search(self, query: str, k: int = 4, **kwargs: Any) -> list[Document]:
        """The `k` documents that match the words of `query` best (BM25)."""
        return [doc for doc, _ in self.keyword_search_with_score(query, k, **kwargs)]

    def keyword_search_with_score(
        self,
        query: str,
        k: int = 4,
        *,
        filter: dict[str, Any] | None = None,
        match_budget: int | None = MATCH_BUDGET,
    ) -> list[tuple[Document, float]]:
        """The `k` best keyword matches with their BM25 score (higher is better).

        Documents holding none of the query's words are not returned;
        ``"quoted words"`` must appear as a phrase. `match_budget` bounds the
        documents scored: the rarest words are taken first, the commonest may
        be left out (None: every word).
        """
        found = self._store.keyword_search(query, k, where=filter, match_budget=match_budget)
        return [(_document(record), score) for record, score, _ in found]

    async def akeyword_search(self, query: str, k: int = 4, **kwargs: Any) -> list[Document]:
        return await run_in_executor(None, self.keyword_search, query, k, **kwargs)

    async def akeyword_search_with_score(self, query: str, k: int = 4, **kwargs: Any) -> list[tuple[Document, float]]:
        return await run_in_executor(None, self.keyword_search_with_score, query, k, **kwargs)

    def hybrid_search(self, query: str, k: int = 4, **kwargs: Any) -> list[Document]:
        """The `k` best documents by keyword and vector search fused (see ``hybrid_search_with_scores``)."""
        return [doc for doc, _ in self.hybrid_search_with_scores(query, k, **kwargs)]

    def hybrid_search_with_scores(self, query: str, k: int = 4, **kwargs: Any) -> list[tuple[Document, Scores]]:
        """The `k` best documents by keyword (BM25) and vector search fused, with their scores.

        Options (keyword-only): ``filter`` (applies to both sides), ``fusion``
        "rrf" (default: reciprocal rank fusion, ``sum(weight / (rrf_k + rank))``,
        ``rrf_k=60``, ``weights=(vector, keyword)`` default equal) or
        "relative" (each side's scores scaled to [0, 1], then
        ``alpha * vector + (1 - alpha) * keyword``; ``alpha=0.5``; 1 is the
        vectors alone, 0 the keywords alone), ``fetch_k`` (candidates from each
        side, default ``max(2 * k, 20)``), ``match_budget`` (as in
        ``keyword_search_with_score``). ``Scores`` hold the fused score (higher
        is better), the vector distance (as ``similarity_search_with_score``
        gives it), the BM25 score and each side's rank, None where that side
        did not find the document.
        """
        return self._hybrid(query, self.embedding.embed_query(query), k, **kwargs)

    async def ahybrid_search(self, query: str, k: int = 4, **kwargs: Any) -> list[Document]:
        return [doc for doc, _ in await self.ahybrid_search_with_scores(query, k, **kwargs)]

    async def ahybrid_search_with_scores(self, query: str, k: int = 4, **kwargs: Any) -> list[tuple[Document, Scores]]:
        embedding = await self.embedding.aembed_query(query)
        return await run_in_executor(None, self._hybrid, query, embedding, k, **kwargs)

    def _hybrid(
        self,
        query: str,
        embedding: Sequence[float],
        k: int,
        *,
        filter: dict[str, Any] | None = None,
        fusion: str = "rrf",
        rrf_k: float = RRF_K,
        weights: Sequence[float] | None = None,
        alpha: float = ALPHA,
        fetch_k: int | None = None,
        match_budget: int | None = MATCH_BUDGET,
    ) -> list[tuple[Document, Scores]]:
        found = self._store.hybrid_search(
            query, embedding, k, where=filter, fusion=fusion, rrf_k=rrf_k, weights=weights, alpha=alpha,
            fetch_k=fetch_k, match_budget=match_budget,
        )
        to_distance = _DISTANCES[self._store.metric]
        return [
            (_document(record), scores if scores.vector_score is None
             else dataclasses.replace(scores, vector_score=to_distance(scores.vector_score)))
            for record, scores, _ in found
        ]

    def search(self, query: str, search_type: str, **kwargs: Any) -> list[Document]:
        """As LangChain's, with the search types "keyword" and "hybrid" as well."""
        if search_type == "keyword":
            return self.keyword_search(query, **kwargs)
        if search_type == "hybrid":
            return self.hybrid_search(query, **kwargs)
        return super().search(query, search_type, **kwargs)

    async def asearch(self, query: str, search_type: str, **kwargs: Any) -> list[Document]:
        if search_type == "keyword":
            return await self.akeyword_search(query, **kwargs)
        if search_type == "hybrid":
            return await self.ahybrid_search(query, **kwargs)
        return await super().asearch(query, search_type, **kwargs)

    def as_retriever(self, **kwargs: Any) -> VarnelRetriever:
        """A retriever; ``search_type`` may also be "keyword" or "hybrid" (``search_kwargs`` as their methods take)."""
        tags = kwargs.pop("tags", None) or [*self._get_retriever_tags()]
        return VarnelRetriever(vectorstore=self, tags=tags, **kwargs)


class VarnelRetriever(VectorStoreRetriever):
    """LangChain's vector store retriever with the search types "keyword" and "hybrid" added."""

    allowed_search_types: ClassVar[tuple[str, ...]] = (*VectorStoreRetriever.allowed_search_types, "keyword", "hybrid")

    def _get_relevant_documents(
        self, query: str, *, run_manager: CallbackManagerForRetrieverRun, **kwargs: Any
    ) -> list[Document]:
        if self.search_type in ("keyword", "hybrid"):
            return self.vectorstore.search(query, self.search_type, **(self.search_kwargs | kwargs))
        return super()._get_relevant_documents(query, run_manager=run_manager, **kwargs)

    async def _aget_relevant_documents(
        self, query: str, *, run_manager: AsyncCallbackManagerForRetrieverRun, **kwargs: Any
    ) -> list[Document]:
        if self.search_type in ("keyword", "hybrid"):
            return await self.vectorstore.asearch(query, self.search_type, **(self.search_kwargs | kwargs))
        return await super()._aget_relevant_documents(query, run_manager=run_manager, **kwargs)


def _query_and_k(args: tuple[Any, ...], kwargs: dict[str, Any]) -> tuple[str, int]:
    query = args[0] if args else kwargs.pop("query")
    k = args[1] if len(args) > 1 else kwargs.pop("k", 4)
    return query, k


def _document(record: Record) -> Document:
    return Document(id=record.key, page_content=record.text or "", metadata=record.metadata)


_DISTANCES: dict[str, Callable[[float], float]] = {
    "cosine": lambda cosine: 1.0 - cosine,
    "l2": lambda squared: math.sqrt(max(squared, 0.0)),
    "ip": lambda inner: -inner,
}
# LangChain expects relevance in [0, 1]; rounding can step just outside it.
_RELEVANCE: dict[str, Callable[[float], float]] = {
    "cosine": lambda distance: min(max(1.0 - distance, 0.0), 1.0),
    "l2": lambda distance: min(max(1.0 - distance / math.sqrt(2), 0.0), 1.0),
    "ip": lambda distance: min(max(-distance, 0.0), 1.0),
}
