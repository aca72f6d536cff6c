"""Keyword search in the document store, and hybrid search fusing it with the vectors.

The texts (and the values of chosen metadata fields) are indexed by SQLite's
FTS5 full-text index, table ``keywords``, in ``store.sqlite`` beside the
documents: rows are added and removed in the same transaction as the
documents they belong to, so the text index, the table and the vector index
always hold the same documents, whatever point a process is killed at.
Matches are ranked by BM25 (FTS5's ``bm25``, k1 = 1.2, b = 0.75).

A query is a plain string: its words (runs of letters and digits) are looked
up, any of them may match, and a document scores higher the more, and the
rarer, query words it holds; ``"double quoted words"`` must appear as that
phrase. Nothing in a query is taken as FTS5 syntax, so no query can fail to
parse.

FTS5's BM25 visits every document that holds a query word (about a
microsecond each, even under a filter), so a word found in a large share of
the documents ("the", "of") would cost tens of milliseconds while adding
little to the ranking: its BM25 weight is near zero. A search therefore scores at most ``match_budget``
(default 500) documents by the query's words: it takes the words from the
rarest on while the documents holding them fit the budget (the rarest word is
always taken), and leaves out the commoner rest, as the "cutoff frequency" of
some search engines does. ``match_budget=None`` scores every word. How many
documents hold a word is counted once and remembered until a tenth of the
store has changed.

Stores written before the keyword index existed (format version 1) get one
when they are opened: the texts are indexed in one transaction that also
raises the version, so an interrupted upgrade is simply done again.
"""

from __future__ import annotations

import json
import re
import sqlite3
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from varnel._fusion import (
    ALPHA,
    RRF_K,
    Scores,
    check_fusion,
    reciprocal_rank_fusion,
    relative_score_fusion,
)
from varnel._metadata_filter import compile_filter
from varnel._store_errors import StoreFormatError

__all__ = ["KeywordSearch", "TOKENIZERS", "match_expression", "query_terms"]

TABLE = "keywords"
# unicode61 folds case and (with remove_diacritics 2) accents; porter adds
# English stemming on top ("running" finds "runs").
TOKENIZERS = {
    "unicode61": "unicode61 remove_diacritics 2",
    "porter": "porter unicode61 remove_diacritics 2",
}
DEFAULT_TOKENIZER = "unicode61"
# Words looked up per query: enough for any question, few enough to bound the work.
MAX_TERMS = 64
# Candidates each side of a hybrid search hands to the fusion, at least.
MIN_CANDIDATES = 20
# Documents a keyword search scores at most, unless its rarest word alone holds more.
MATCH_BUDGET = 500

_PHRASE = re.compile(r'"([^"]*)"')
_WORD = re.compile(r"[^\W_]+")


# ---------------------------------------------------------------------------
# Settings
# ---------------------------------------------------------------------------


def requested_settings(
    keyword_index: bool | None, keyword_fields: Sequence[str] | None, keyword_tokenizer: str | None
) -> dict[str, Any]:
    """The keyword settings a caller asked for, checked, as they are stored (None: not asked)."""
    if keyword_index is not None and not isinstance(keyword_index, bool):
        raise ValueError(f"keyword_index must be True or False, not {keyword_index!r}")
    if keyword_fields is not None:
        if isinstance(keyword_fields, (str, bytes)) or not isinstance(keyword_fields, Sequence):
            raise ValueError(f"keyword_fields must be a list of metadata field names, not {keyword_fields!r}")
        for name in keyword_fields:
            if not isinstance(name, str) or not name:
                raise ValueError(f"keyword_fields must hold non-empty strings, not {name!r}")
        if len(set(keyword_fields)) != len(keyword_fields):
            raise ValueError(f"keyword_fields names a field twice: {list(keyword_fields)!r}")
    if keyword_tokenizer is not None and keyword_tokenizer not in TOKENIZERS:
        raise ValueError(f"keyword_tokenizer must be one of {', '.join(TOKENIZERS)}, not {keyword_tokenizer!r}")
    return {
        "keyword_index": None if keyword_index is None else int(keyword_index),
        "keyword_fields": None if keyword_fields is None else json.dumps(list(keyword_fields)),
        "keyword_tokenizer": keyword_tokenizer,
    }


def new_settings(requested: Mapping[str, Any]) -> dict[str, Any]:
    """The keyword settings of a new store: as requested, else the defaults (an index of the texts)."""
    defaults = {"keyword_index": 1, "keyword_fields": "[]", "keyword_tokenizer": DEFAULT_TOKENIZER}
    return {name: default if requested[name] is None else requested[name] for name, default in defaults.items()}


def _fields(settings: Mapping[str, Any]) -> list[str]:
    return json.loads(settings["keyword_fields"])


def _settings_problem(settings: Mapping[str, Any]) -> str | None:
    if settings.get("keyword_index") not in (0, 1):
        return f"the setting keyword_index is missing or invalid ({settings.get('keyword_index')!r})"
    if settings.get("keyword_tokenizer") not in TOKENIZERS:
        return f"the setting keyword_tokenizer is missing or invalid ({settings.get('keyword_tokenizer')!r})"
    try:
        fields = json.loads(settings.get("keyword_fields"))
    except (TypeError, ValueError):
        fields = None
    if not isinstance(fields, list) or not all(isinstance(name, str) and name for name in fields):
        return f"the setting keyword_fields is missing or invalid ({settings.get('keyword_fields')!r})"
    return None


# ---------------------------------------------------------------------------
# The index: created with the store, kept with every change, checked on open
# ---------------------------------------------------------------------------


def create(db: sqlite3.Connection, settings: Mapping[str, Any]) -> None:
    """Creates the keyword table of a new store (inside the caller's transaction)."""
    if settings["keyword_index"]:
        tokenizer = TOKENIZERS[settings["keyword_tokenizer"]]
        db.execute(f"CREATE VIRTUAL TABLE {TABLE} USING fts5(text, fields, tokenize = '{tokenizer}')")


def fields_text(metadata: Mapping[str, Any] | None, fields: Sequence[str]) -> str | None:
    """The values of the chosen metadata fields, as one text (lists give each element)."""
    if not fields or not metadata:
        return None
    parts = []
    for name in fields:
        value = metadata.get(name)
        for item in value if isinstance(value, (list, tuple)) else (value,):
            if isinstance(item, (str, int, float)) and not isinstance(item, bool):
                parts.append(str(item))
    return "\n".join(parts) or None


def add(db: sqlite3.Connection, settings: Mapping[str, Any], uids: np.ndarray, texts, metadatas) -> None:
    """Indexes new documents (inside the caller's transaction)."""
    if not settings["keyword_index"]:
        return
    fields = _fields(settings)
    db.executemany(
        f"INSERT INTO {TABLE} (rowid, text, fields) VALUES (?, ?, ?)",
        ((uid, text, fields_text(metadata, fields)) for uid, text, metadata in zip(uids.tolist(), texts, metadatas)),
    )


def remove(db: sqlite3.Connection, settings: Mapping[str, Any], uids: np.ndarray) -> None:
    """Drops documents from the index (inside the caller's transaction)."""
    if settings["keyword_index"] and len(uids):
        db.executemany(f"DELETE FROM {TABLE} WHERE rowid = ?", [(uid,) for uid in uids.tolist()])


def open_index(db: sqlite3.Connection, settings: dict[str, Any], directory: str, version: int) -> None:
    """Builds the keyword index of a store written before it existed, then checks it.

    `settings` are updated in place; a problem raises StoreFormatError.
    """

    if settings["version"] < version:
        _upgrade(db, settings, version)
    problem = _settings_problem(settings)
    if problem is None and settings["keyword_index"]:
        problem = _index_problem(db)
    if problem is not None:
        raise StoreFormatError(f"{directory}: {problem}")


def _upgrade(db: sqlite3.Connection, settings: dict[str, Any], version: int) -> None:
    added = new_settings(dict.fromkeys(("keyword_index", "keyword_fields", "keyword_tokenizer")))
    db.execute("BEGIN IMMEDIATE")
    try:
        db.executemany("INSERT OR REPLACE INTO settings VALUES (?, ?)", [*added.items(), ("version", version)])
        create(db, added)
        db.execute(f"INSERT INTO {TABLE} (rowid, text) SELECT uid, text FROM documents")
        db.commit()
    except BaseException:
        db.rollback()
        raise
    settings.update(added, version=version)


def _index_problem(db: sqlite3.Connection) -> str | None:
    try:
        indexed, documents, strays = db.execute(
            f"SELECT (SELECT count(*) FROM {TABLE}_docsize), (SELECT count(*) FROM documents),"
            f" (SELECT count(*) FROM {TABLE}_docsize WHERE id NOT IN (SELECT uid FROM documents))"
        ).fetchone()
    except sqlite3.DatabaseError as error:
        return f"the keyword index cannot be read ({error})"
    if indexed != documents or strays:
        return "the keyword index and the document table hold different documents"
    return None


# ---------------------------------------------------------------------------
# Queries
# ---------------------------------------------------------------------------


def query_terms(query: str) -> list[str]:
    """The words and quoted phrases of a user's text, lower-cased, each once, in order."""
    if not isinstance(query, str):
        raise ValueError(f"a keyword query must be a string, not {type(query).__name__}")
    terms = [" ".join(_WORD.findall(phrase)) for phrase in _PHRASE.findall(query)]
    terms.extend(_WORD.findall(_PHRASE.sub(" ", query)))
    return list(dict.fromkeys(term.lower() for term in terms if term))[:MAX_TERMS]


def match_expression(terms: Sequence[str]) -> str | None:
    """The FTS5 query matching any of `terms` (None: there are none)."""
    # Only letters, digits and spaces remain, so each term is a well-formed FTS5 string.
    return " OR ".join(f'"{term}"' for term in terms) or None


def _check_budget(budget: Any) -> int | None:
    if budget is not None and (not isinstance(budget, int) or isinstance(budget, bool) or budget < 1):
        raise ValueError(f"match_budget must be a positive integer or None, not {budget!r}")
    return budget


def _check_k(name: str, k: Any) -> int:
    if not isinstance(k, int) or isinstance(k, bool) or k < 0:
        raise ValueError(f"{name} must be a non-negative integer, not {k!r}")
    return k


class KeywordSearch:
    """Keyword and hybrid search, a part of ``DocumentStore``."""

    def keyword_search(
        self,
        query: str,
        k: int,
        *,
        where: Mapping[str, Any] | None = None,
        with_vectors: bool = False,
        match_budget: int | None = MATCH_BUDGET,
    ) -> list[tuple[Any, float, np.ndarray | None]]:
        """The best `k` documents for the words of `query` by BM25: (record, score, vector or None).

        Higher scores are better; documents holding none of the words are not
        returned. `match_budget` bounds the documents scored (see the module's notes).
        """
        _check_k("k", k)
        terms = query_terms(query)
        _check_budget(match_budget)
        allowed_sql = self._compiled(where)
        with self._lock:
            self._require_keywords()
            hits = self._keyword_hits(terms, k, allowed_sql, match_budget)
            if not hits:
                return []
            uids, scores = zip(*hits)
            return self._results(np.array([scores]), np.array([uids], dtype=np.int64), with_vectors)[0]

    def hybrid_search(
        self,
        query: str,
        vector: Any,
        k: int,
        *,
        where: Mapping[str, Any] | None = None,
        fusion: str = "rrf",
        rrf_k: float = RRF_K,
        weights: Sequence[float] | None = None,
        alpha: float = ALPHA,
        fetch_k: int | None = None,
        with_vectors: bool = False,
        match_budget: int | None = MATCH_BUDGET,
    ) -> list[tuple[Any, Scores, np.ndarray | None]]:
        """The best `k` documents by keyword (`query`) and vector (`vector`) search fused.

        Each side returns its best `fetch_k` candidates (default ``max(2 * k, 20)``),
        both under the filter `where`, and these are fused: ``fusion="rrf"``
        (reciprocal rank fusion, ``sum(weight / (rrf_k + rank))``, `weights` a
        pair for the vector and the keyword side, default equal) or
        ``"relative"`` (each side's scores scaled to [0, 1], then
        ``alpha * vector + (1 - alpha) * keyword``). A side of weight 0 is not
        searched. `match_budget` is keyword_search's. Returns (record,
        Scores, vector or None), best first.
        """
        _check_k("k", k)
        if fetch_k is not None:
            _check_k("fetch_k", fetch_k)
        vector_weight, keyword_weight = check_fusion(fusion, k=rrf_k, weights=weights, alpha=alpha)
        terms = query_terms(query)
        _check_budget(match_budget)
        allowed_sql = self._compiled(where)
        fetch = max(MIN_CANDIDATES, 2 * k) if fetch_k is None else max(fetch_k, k)
        with self._lock:
            self._require_keywords()
            queries = self._checked_queries(vector)
            if len(queries) != 1:
                raise ValueError(f"a hybrid search takes one query vector, not {len(queries)}")
            if k == 0:
                return []
            dense = self._vector_hits(queries, fetch, allowed_sql) if vector_weight > 0 else []
            sparse = self._keyword_hits(terms, fetch, allowed_sql, match_budget) if keyword_weight > 0 else []
            if fusion == "rrf":
                lists = [[uid for uid, _ in dense], [uid for uid, _ in sparse]]
                fused = reciprocal_rank_fusion(lists, k=rrf_k, weights=(vector_weight, keyword_weight))
            else:
                fused = relative_score_fusion(
                    dense, sparse, alpha=vector_weight, vector_higher_is_better=self.metric != "l2"
                )
            fused = fused[:k]
            if not fused:
                return []
            found = self._results(
                np.array([[score for _, score, _ in fused]]),
                np.array([[uid for uid, _, _ in fused]], dtype=np.int64),
                with_vectors,
            )[0]
            side_scores = (dict(dense), dict(sparse))
            results = []
            for (record, score, stored), (uid, _, (vector_rank, keyword_rank)) in zip(found, fused):
                scores = Scores(
                    score, side_scores[0].get(uid), side_scores[1].get(uid), vector_rank, keyword_rank
                )
                results.append((record, scores, stored))
            return results

    # -- the two sides ------------------------------------------------------------

    @staticmethod
    def _compiled(where: Mapping[str, Any] | None) -> tuple[str, list[Any]] | None:

        return None if where is None else compile_filter(where)

    def _require_keywords(self) -> None:
        if not self._settings["keyword_index"]:
            raise ValueError(
                "this store has no keyword index (it was made with keyword_index=False); "
                "keyword and hybrid search need one"
            )

    def _keyword_hits(self, terms: list[str], k: int, allowed_sql, budget: int | None) -> list[tuple[int, float]]:
        """(uid, BM25 score) of the best `k` matches, best first."""
        if budget is not None and len(terms) > 1:
            terms = self._affordable(terms, budget)
        expression = match_expression(terms)
        if expression is None or k == 0:
            return []
        sql = f"SELECT rowid, -rank FROM {TABLE} WHERE {TABLE} MATCH ?"
        params: list[Any] = [expression]
        if allowed_sql is not None:
            sql += f" AND rowid IN ({allowed_sql[0]})"
            params.extend(allowed_sql[1])
        params.append(k)
        return [(uid, score) for uid, score in self._db.execute(f"{sql} ORDER BY rank LIMIT ?", params)]

    def _vector_hits(self, queries: np.ndarray, k: int, allowed_sql) -> list[tuple[int, float]]:
        """(uid, score by the store's metric) of the `k` nearest, best first."""
        if self._index is None or len(self._index) == 0:
            return []
        allowed = None
        if allowed_sql is not None:
            allowed = self._select_uids(*allowed_sql, plain=True).astype(np.uint64)
            if len(allowed) == 0:
                return []
        refine = None if self._rows is None else self._rows.view(self._settings["next_uid"])
        scores, uids = self._index.query(
            self._pad(queries), k, allowed=allowed, metric=self.metric,
            refine=refine, refine_factor=self.refine_factor if refine is not None else None,
        )
        found = np.isfinite(scores[0])
        return list(zip(uids[0][found].astype(np.int64).tolist(), scores[0][found].tolist()))

    def _affordable(self, terms: list[str], budget: int) -> list[str]:
        """The rarest of `terms` whose documents, together, fit the budget (at least one)."""
        counts = [self._documents_holding(term) for term in terms]
        kept, total = [], 0
        for count, term in sorted(zip(counts, terms)):
            if count == 0:
                continue
            if kept and total + count > budget:
                break
            kept.append(term)
            total += count
        return kept

    def _documents_holding(self, term: str) -> int:
        # The counts only choose which words to score, so they may lag a little
        # behind the table: they are dropped once a tenth of it has changed.
        changes = self._db.total_changes
        cache = getattr(self, "_term_counts", None)
        if cache is None or changes - cache[0] > len(self) // 10 + 100:
            cache = self._term_counts = (changes, {})
        counts = cache[1]
        if term not in counts:
            counts[term] = self._db.execute(
                f"SELECT count(*) FROM {TABLE} WHERE {TABLE} MATCH ?", (match_expression([term]),)
            ).fetchone()[0]
        return counts[term]
