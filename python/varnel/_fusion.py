"""Fusing two ranked result lists (vector and keyword) into one.

Two ways, the two that hybrid search engines commonly offer:

- reciprocal rank fusion: a document's fused score is the sum over the lists
  that hold it of ``weight / (k + rank)``, ranks from 1. Only ranks count, so
  the two sides need no common scale; ``k`` (60 by default) flattens the
  difference between the first few ranks, so that a document near the top of
  both lists beats one at the very top of a single list.
- relative score fusion: each list's scores are scaled to [0, 1] (its best
  score 1, its worst 0) and the fused score is
  ``alpha * vector + (1 - alpha) * keyword``; a list that lacks a document
  contributes 0. ``alpha`` 1 is the vector side alone, 0 the keyword side alone.

Both work on keys of any hashable kind and return ``(key, fused score,
rank in each list or None)``, best first; ties go to the better vector rank,
then the better keyword rank, so the order never depends on a set's order.
"""

from __future__ import annotations

import math
from collections.abc import Hashable, Sequence
from dataclasses import dataclass

__all__ = ["FUSIONS", "RRF_K", "Scores", "check_fusion", "reciprocal_rank_fusion", "relative_score_fusion"]

FUSIONS = ("rrf", "relative")
RRF_K = 60
ALPHA = 0.5

Fused = list[tuple[Hashable, float, list[int | None]]]


@dataclass(frozen=True)
class Scores:
    """How one result of a hybrid search ranked.

    ``score`` is the fused score (higher is better); ``vector_score`` and
    ``keyword_score`` are the scores of each side (the store's similarity or
    distance, and BM25, higher better), ``vector_rank`` and ``keyword_rank``
    its ranks there from 1; None where the side did not return the document.
    """

    score: float
    vector_score: float | None
    keyword_score: float | None
    vector_rank: int | None
    keyword_rank: int | None


def check_fusion(
    fusion: str, *, k: float = RRF_K, weights: Sequence[float] | None = None, alpha: float = ALPHA
) -> tuple[float, float]:
    """Checks the fusion settings; returns the weight of the vector and of the keyword side.

    A side of weight 0 need not be searched at all.
    """
    if fusion not in FUSIONS:
        raise ValueError(f"fusion must be one of {', '.join(map(repr, FUSIONS))}, not {fusion!r}")
    if fusion == "relative":
        if weights is not None:
            raise ValueError("weights belong to fusion='rrf'; relative score fusion is weighted by alpha")
        alpha = _number("alpha", alpha)
        if not 0.0 <= alpha <= 1.0:
            raise ValueError(f"alpha must lie between 0 (keyword only) and 1 (vector only), not {alpha!r}")
        return alpha, 1.0 - alpha
    if _number("the rrf k", k) < 0:
        raise ValueError(f"the rrf k must be 0 or more (60 is usual), not {k!r}")
    if weights is None:
        return 1.0, 1.0
    if isinstance(weights, (str, bytes)) or not isinstance(weights, Sequence) or len(weights) != 2:
        raise ValueError(f"weights must be two numbers (vector, keyword), not {weights!r}")
    pair = (_number("a weight", weights[0]), _number("a weight", weights[1]))
    if min(pair) < 0 or max(pair) == 0:
        raise ValueError(f"weights must be 0 or more and not both 0, not {weights!r}")
    return pair


def _number(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ValueError(f"{name} must be a finite number, not {value!r}")
    return float(value)


def _ranked(fused: dict[Hashable, float], ranks: dict[Hashable, list[int | None]]) -> Fused:
    far = math.inf

    def order(key: Hashable) -> tuple[float, ...]:
        return (-fused[key], *(far if rank is None else rank for rank in ranks[key]))

    return [(key, fused[key], ranks[key]) for key in sorted(fused, key=order)]


def _ranks(lists: Sequence[Sequence[Hashable]]) -> dict[Hashable, list[int | None]]:
    ranks: dict[Hashable, list[int | None]] = {}
    for side, keys in enumerate(lists):
        for rank, key in enumerate(keys, start=1):
            slot = ranks.setdefault(key, [None] * len(lists))
            if slot[side] is None:
                slot[side] = rank
    return ranks


def reciprocal_rank_fusion(
    lists: Sequence[Sequence[Hashable]], *, k: float = RRF_K, weights: Sequence[float] | None = None
) -> Fused:
    """Fuses ranked lists of keys (best first) by ``sum(weight / (k + rank))``."""
    weights = [1.0] * len(lists) if weights is None else list(weights)
    if len(weights) != len(lists):
        raise ValueError(f"{len(lists)} lists but {len(weights)} weights")
    ranks = _ranks(lists)
    fused = {
        key: sum(weight / (k + rank) for weight, rank in zip(weights, slots) if rank is not None)
        for key, slots in ranks.items()
    }
    return _ranked(fused, ranks)


def _scaled(scores: Sequence[float], higher_is_better: bool) -> list[float]:
    if not scores:
        return []
    best, worst = (max(scores), min(scores)) if higher_is_better else (min(scores), max(scores))
    if best == worst:
        return [1.0] * len(scores)
    return [(score - worst) / (best - worst) for score in scores]


def relative_score_fusion(
    vector: Sequence[tuple[Hashable, float]],
    keyword: Sequence[tuple[Hashable, float]],
    *,
    alpha: float = ALPHA,
    vector_higher_is_better: bool = True,
) -> Fused:
    """Fuses (key, score) lists, best first, by ``alpha * vector + (1 - alpha) * keyword``
    after scaling each list's scores to [0, 1]."""
    ranks = _ranks([[key for key, _ in vector], [key for key, _ in keyword]])
    fused = dict.fromkeys(ranks, 0.0)
    for weight, pairs, higher in ((alpha, vector, vector_higher_is_better), (1.0 - alpha, keyword, True)):
        seen: set[Hashable] = set()
        for (key, _), scaled in zip(pairs, _scaled([score for _, score in pairs], higher)):
            if key not in seen:
                seen.add(key)
                fused[key] += weight * scaled
    return _ranked(fused, ranks)
