"""Filtered similarity search through the framework stores: varnel.langchain
against LangChain's FAISS store (langchain-community, IndexFlatL2), same data,
same filter, one process per store.

    pip install '.[langchain]' langchain-community faiss-cpu==1.15.1
    python bench/integrations.py                    # n = 100,000, dim 384, filter admits 1 %
    python bench/integrations.py --n 20000 --queries 50

Data: unit-norm clustered vectors (dim 384, the size of MiniLM embeddings),
metadata {"group": i % 100, "i": i}; the filter {"group": 7} admits 1 %.
Queries are perturbed stored vectors. Truth: the exact top-k by cosine among
the admitted documents. Each row of the table is a child process; "RSS bytes /
doc" is the growth of its resident memory while the store is built (the input
vectors exist before, so they are not counted; what a store copies is).
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from compare import cpu_info, simd_path  # noqa: E402

GROUPS = 100


def make_data(n: int, dim: int, queries: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((max(n // 500, 8), dim)).astype(np.float32)
    data = centres[rng.integers(0, len(centres), n)] + 0.6 * rng.standard_normal((n, dim)).astype(np.float32)
    data /= np.linalg.norm(data, axis=1, keepdims=True)
    picks = rng.choice(np.arange(7, n, GROUPS), queries) if queries else np.zeros(0, int)
    query = data[picks] + 0.3 * rng.standard_normal((queries, dim)).astype(np.float32) / np.sqrt(dim) * 4
    query /= np.linalg.norm(query, axis=1, keepdims=True)
    return data, query.astype(np.float32)


def truth(data, queries, k):
    members = np.arange(7, len(data), GROUPS)
    scores = queries @ data[members].T
    return [set(members[np.argsort(-row, kind="stable")[:k]].tolist()) for row in scores]


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def cpu_seconds() -> float:
    # Process CPU time (all threads): steadier than wall time on a shared machine.
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def directory_bytes(path: str) -> int:
    return sum(p.stat().st_blocks * 512 for p in Path(path).rglob("*") if p.is_file())


class Fixed:
    """An Embeddings whose vectors come from the benchmark (never called on text)."""

    def embed_documents(self, texts):
        raise RuntimeError("not used")

    def embed_query(self, text):
        raise RuntimeError("not used")


def child(kind: str, n: int, dim: int, queries: int, k: int, fetch_k: int) -> dict:
    from langchain_core.embeddings import Embeddings

    class FixedEmbeddings(Fixed, Embeddings):
        pass

    data, query = make_data(n, dim, queries)
    texts = [f"passage {i}" for i in range(n)]
    metadatas = [{"group": i % GROUPS, "i": i} for i in range(n)]
    ids = [str(i) for i in range(n)]
    workdir = tempfile.mkdtemp(prefix="varnel-bench-")
    # Imports first, so that the growth measured below is the store's.
    from langchain_community.vectorstores import FAISS
    from varnel.langchain import VarnelVectorStore

    base = rss_bytes()
    started = time.perf_counter()
    if kind.startswith("faiss"):
        store = FAISS.from_embeddings(list(zip(texts, data.tolist())), FixedEmbeddings(), metadatas=metadatas, ids=ids)
        build = time.perf_counter() - started
        memory = rss_bytes() - base
        store.save_local(workdir)

        def search(q):
            return store.similarity_search_with_score_by_vector(q.tolist(), k=k, filter={"group": 7}, fetch_k=fetch_k)
    else:
        refine = kind != "varnel-codes"
        directory = os.path.join(workdir, "store") if kind == "varnel-directory" else None
        store = VarnelVectorStore(FixedEmbeddings(), bits=4, refine=refine, directory=directory)
        store.add_embeddings(texts, data, metadatas, ids=ids)
        build = time.perf_counter() - started
        memory = rss_bytes() - base
        if directory is None:
            store.save(os.path.join(workdir, "store"))

        def search(q):
            return store.similarity_search_with_score_by_vector(q, k=k, filter={"group": 7})

    disk = directory_bytes(workdir)
    search(query[0])  # warm up
    found, started, cpu = [], time.perf_counter(), cpu_seconds()
    for q in query:
        found.append({int(doc.id) for doc, _ in search(q)})
    seconds, cpu = time.perf_counter() - started, cpu_seconds() - cpu
    expected = truth(data, query, k)
    recall = float(np.mean([len(f & t) / k for f, t in zip(found, expected)]))
    short = int(sum(len(f) < k for f in found))
    shutil.rmtree(workdir, ignore_errors=True)
    return {
        "store": kind, "ms_per_query": 1000 * seconds / len(query), "cpu_ms_per_query": 1000 * cpu / len(query), "recall": recall, "short_answers": short,
        "build_s": build, "rss_per_doc": memory / n, "disk_per_doc": disk / n,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("-k", type=int, default=10)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--fetch-k", type=int, default=20, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(args.child, args.n, args.dim, args.queries, args.k, args.fetch_k)))
        return
    info = cpu_info()
    import varnel

    load = os.getloadavg()[0]
    print(f"CPU: {info.get('model')}; varnel {varnel.__version__}, scan path {simd_path(info.get('simd', []))}; "
          f"n={args.n:,}, dim={args.dim}, {args.queries} queries, k={args.k}, filter admits 1 %; load average {load:.1f} on {os.cpu_count()} cores at the start")
    runs = [("varnel", 20), ("varnel-codes", 20), ("varnel-directory", 20), ("faiss", 20), ("faiss", 1000), ("faiss", args.n)]
    print("\n| store | fetch_k | wall ms / query | CPU ms / query | recall@k | answers with < k | build s | RSS bytes / doc | disk bytes / doc |")
    print("|---|---|---|---|---|---|---|---|---|")
    for kind, fetch_k in runs:
        command = [sys.executable, __file__, "--child", kind, "--n", str(args.n), "--dim", str(args.dim),
                   "--queries", str(args.queries), "-k", str(args.k), "--fetch-k", str(fetch_k)]
        out = subprocess.run(command, capture_output=True, text=True, check=True).stdout.strip().splitlines()[-1]
        r = json.loads(out)
        label = {"varnel": "varnel 4-bit, re-ranked (memory)", "varnel-codes": "varnel 4-bit, codes only (memory)",
                 "varnel-directory": "varnel 4-bit, re-ranked (directory, memory-mapped rows)",
                 "faiss": "LangChain FAISS (IndexFlatL2)"}[kind]
        print(f"| {label} | {fetch_k if kind == 'faiss' else '-'} | {r['ms_per_query']:.2f} | {r['cpu_ms_per_query']:.2f} | {r['recall']:.3f} | "
              f"{r['short_answers']} | {r['build_s']:.1f} | {r['rss_per_doc']:.0f} | {r['disk_per_doc']:.0f} |", flush=True)


if __name__ == "__main__":
    main()
