"""``varnel store``: build a document store from texts with embeddings, search it, describe it.

A store is the directory the framework integrations use (``DocumentStore``):
texts, metadata, the vector index and the keyword index. ``store build`` reads
JSON lines or Parquet rows (one document each: a text, an embedding, other
fields as metadata), builds the store in memory and writes it to the output
directory in one step (it appears whole or not at all); ``store search`` asks
it by keywords, by an embedding, or both fused.
"""

from __future__ import annotations

import argparse
import json
import os
import time
from collections.abc import Iterator
from typing import Any

import numpy as np

from varnel._cli_common import CliError, Console, UsageError, at_least, bits_value
from varnel._cli_inputs import extension, map_npy, require, require_readable_file

DOCUMENT_EXTENSIONS = (".jsonl", ".ndjson", ".parquet", ".pq")
MODES = ("hybrid", "keyword", "vector")
BATCH = 10_000
SHOWN_CHARS = 70

EXAMPLES = {
    "build": """examples:
  varnel store build docs.jsonl -o docs-store --text-field text --embedding-field emb
  varnel store build docs.parquet -o docs-store --id-field doc_id --keyword-fields title,tags
  varnel store build docs.jsonl -o docs-store --metadata-fields source,year --bits 3 --metric ip""",
    "search": """examples:
  varnel store search docs-store --text "zymurgy"                             (keywords: BM25)
  varnel store search docs-store --text "how is beer made" --query-embedding q.npy   (hybrid)
  varnel store search docs-store --query-embedding q.npy --mode vector -k 5
  varnel store search docs-store --text "beer" --query-embedding q.npy --fusion relative --alpha 0.7
  varnel store search docs-store --text "beer" --filter '{"year": {"$gte": 2020}}' --json""",
    "info": """examples:
  varnel store info docs-store
  varnel store info docs-store --json""",
}


def add_parser(commands: Any, common: argparse.ArgumentParser) -> None:
    store = commands.add_parser(
        "store",
        help="Build, search and describe a document store (texts, metadata, vectors, keywords).",
        description="Build a document store from texts with embeddings (JSON lines or Parquet), "
        "search it by keywords, by an embedding or both, and describe it.",
        epilog="Run 'varnel store COMMAND --help' for the options and examples of each.",
    )
    actions = store.add_subparsers(dest="store_command", metavar="COMMAND", required=True)

    def action(name: str, summary: str, run: Any) -> argparse.ArgumentParser:
        sub = actions.add_parser(
            name, help=summary, description=summary, epilog=EXAMPLES[name], parents=[common],
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        sub.set_defaults(run=run)
        return sub

    build = action("build", "Make a store directory from JSON lines or Parquet rows of texts and embeddings.", run_build)
    build.add_argument("documents", metavar="DOCUMENTS", help="documents: .jsonl / .ndjson (one JSON object a line) or .parquet")
    build.add_argument("-o", "--output", required=True, metavar="DIR", help="the store directory to write")
    build.add_argument("--text-field", default="text", metavar="NAME", help="field holding the text (default text)")
    build.add_argument(
        "--embedding-field", default="embedding", metavar="NAME", help="field holding the embedding, a list of numbers (default embedding)"
    )
    build.add_argument("--id-field", metavar="NAME", help="field holding each document's id (default: its row number)")
    build.add_argument(
        "--metadata-fields", type=field_list, metavar="A,B", help="fields kept as metadata (default: all the others)"
    )
    build.add_argument(
        "--keyword-fields", type=field_list, default=[], metavar="A,B", help="metadata fields searched by keyword with the text"
    )
    build.add_argument(
        "--keyword-tokenizer", choices=("unicode61", "porter"), default="unicode61",
        help="unicode61 (default; any language) or porter (English stemming)",
    )
    build.add_argument("--no-keyword-index", action="store_true", help="no keyword index (vector search only)")
    build.add_argument("--bits", type=bits_value, default=4, help="code width: 2, 3 or 4 (default 4)")
    build.add_argument("--metric", choices=("cosine", "ip", "l2"), default="cosine", help="similarity (default cosine)")
    build.add_argument("--no-refine", action="store_true", help="keep the codes only, not the float32 vectors")
    build.add_argument("--batch", type=at_least(1), default=BATCH, metavar="N", help=f"documents added at a time (default {BATCH:,})")
    build.add_argument("--force", action="store_true", help="replace a store already in DIR")

    search = action("search", "Find the documents of a store that best match a text, an embedding, or both.", run_search)
    search.add_argument("store", metavar="DIR", help="a store directory")
    search.add_argument("--text", metavar="TEXT", help="the query's words (keyword and hybrid search)")
    search.add_argument(
        "--query-embedding", metavar="FILE.npy", help="the query's embedding: a .npy of one vector (vector and hybrid search)"
    )
    search.add_argument(
        "--mode", choices=MODES, help="hybrid (default with both a text and an embedding), keyword (default with a text), vector"
    )
    search.add_argument("-k", type=at_least(1), default=10, help="results (default 10)")
    search.add_argument("--filter", metavar="JSON", help='a metadata filter, e.g. \'{"year": {"$gte": 2020}}\'')
    search.add_argument("--fusion", choices=("rrf", "relative"), default="rrf", help="hybrid: rrf (default) or relative")
    search.add_argument("--rrf-k", type=float, default=60.0, metavar="K", help="rrf: the k of 1 / (k + rank) (default 60)")
    search.add_argument("--weights", type=weight_pair, metavar="V,K", help="rrf: weights of the vector and keyword side (default 1,1)")
    search.add_argument("--alpha", type=float, default=0.5, metavar="A", help="relative: 1 vectors only, 0 keywords only (default 0.5)")
    search.add_argument("--json", action="store_true", help="one JSON object per result (id, text, metadata, scores)")

    info = action("info", "Describe a store directory: documents, settings, sizes.", run_info)
    info.add_argument("store", metavar="DIR", help="a store directory")
    info.add_argument("--json", action="store_true", help="print one JSON object")


def field_list(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",")]
    if not all(names):
        raise argparse.ArgumentTypeError(f"expected field names separated by commas, got {text!r}")
    return list(dict.fromkeys(names))


def weight_pair(text: str) -> tuple[float, float]:
    try:
        vector, keyword = (float(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected two numbers such as 1,2, got {text!r}") from None
    return vector, keyword


# ---------------------------------------------------------------------------
# Reading documents
# ---------------------------------------------------------------------------


def read_rows(path: str, batch: int) -> Iterator[list[tuple[int, dict[str, Any]]]]:
    """Batches of (row number from 1, the row as a dict)."""
    require_readable_file(path)
    kind = extension(path)
    if kind in (".jsonl", ".ndjson"):
        yield from _json_lines(path, batch)
    elif kind in (".parquet", ".pq"):
        yield from _parquet_rows(path, batch)
    else:
        raise CliError(f"{path}: unknown extension '{kind}'; documents are read from {', '.join(DOCUMENT_EXTENSIONS)}")


def _json_lines(path: str, batch: int) -> Iterator[list[tuple[int, dict[str, Any]]]]:
    rows: list[tuple[int, dict[str, Any]]] = []
    with open(path, encoding="utf-8") as file:
        try:
            for number, line in enumerate(file, start=1):
                if not line.strip():
                    continue
                try:
                    row = json.loads(line)
                except (ValueError, RecursionError) as error:
                    raise CliError(f"{path}: line {number} is not JSON ({error})") from None
                if not isinstance(row, dict):
                    raise CliError(f"{path}: line {number} holds a {type(row).__name__}, not a JSON object")
                rows.append((number, row))
                if len(rows) == batch:
                    yield rows
                    rows = []
        except UnicodeDecodeError as error:
            raise CliError(f"{path}: not UTF-8 text ({error})") from None
    if rows:
        yield rows


def _parquet_rows(path: str, batch: int) -> Iterator[list[tuple[int, dict[str, Any]]]]:
    parquet = require("pyarrow.parquet", "parquet", "reading Parquet")
    try:
        file = parquet.ParquetFile(path)
        number = 0
        for record_batch in file.iter_batches(batch_size=batch):
            rows = record_batch.to_pylist()
            yield [(number + i + 1, row) for i, row in enumerate(rows)]
            number += len(rows)
    except (OSError, ValueError) as error:  # pyarrow's errors derive from these
        raise CliError(f"{path}: not a readable Parquet file ({error})") from None


class Documents:
    """Turns rows into the columns a store takes, checking each field."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.path = args.documents
        self.text_field = args.text_field
        self.embedding_field = args.embedding_field
        self.id_field = args.id_field
        self.metadata_fields = args.metadata_fields
        self.reserved = {self.text_field, self.embedding_field, self.id_field}
        self.seen: set[str] = set()
        self.dim: int | None = None

    def columns(self, rows: list[tuple[int, dict[str, Any]]]) -> tuple[list[str], list[Any], list[dict], np.ndarray]:
        keys, texts, metadatas, vectors = [], [], [], []
        for number, row in rows:
            where = f"{self.path}: row {number}"
            keys.append(self._key(row, number, where))
            text = row.get(self.text_field)
            if text is not None and not isinstance(text, str):
                raise CliError(f"{where}: the field {self.text_field!r} holds a {type(text).__name__}, not a text")
            texts.append(text)
            vectors.append(self._vector(row, where))
            if self.metadata_fields is None:
                metadatas.append({name: value for name, value in row.items() if name not in self.reserved})
            else:
                metadatas.append({name: row[name] for name in self.metadata_fields if name in row})
        return keys, texts, metadatas, np.array(vectors, dtype=np.float32)

    def _key(self, row: dict[str, Any], number: int, where: str) -> str:
        if self.id_field is None:
            key = str(number - 1)
        else:
            key = row.get(self.id_field)
            if isinstance(key, bool) or not isinstance(key, (str, int)):
                raise CliError(f"{where}: the id field {self.id_field!r} is missing or not a string or integer")
            key = str(key)
        if key in self.seen:
            raise CliError(f"{where}: the id {key!r} appears twice")
        self.seen.add(key)
        return key

    def _vector(self, row: dict[str, Any], where: str) -> np.ndarray:
        values = row.get(self.embedding_field)
        if not isinstance(values, (list, tuple)) or not values:
            raise CliError(f"{where}: the field {self.embedding_field!r} is missing or not a list of numbers")
        try:
            array = np.asarray(values)
        except (ValueError, OverflowError):
            array = np.asarray([None])
        # Strings, booleans, nulls and nested lists give other kinds of array than plain numbers do.
        if array.ndim != 1 or array.dtype.kind not in "fiu":
            raise CliError(f"{where}: the embedding holds something other than finite numbers")
        with np.errstate(over="ignore"):
            values = array.astype(np.float32)
        if not np.isfinite(values).all():
            raise CliError(f"{where}: the embedding holds something other than finite numbers")
        if self.dim is None:
            self.dim = len(values)
        elif len(values) != self.dim:
            raise CliError(f"{where}: the embedding has {len(values)} values, the ones before {self.dim}")
        return values


# ---------------------------------------------------------------------------
# The actions
# ---------------------------------------------------------------------------


def _store_module():
    from varnel import _docstore

    return _docstore


def run_build(args: argparse.Namespace, console: Console) -> int:
    docstore = _store_module()
    output = args.output
    if os.path.exists(output) and not os.path.isdir(output):
        raise CliError(f"{output}: exists and is not a directory")
    if os.path.isdir(output) and os.listdir(output):
        if not docstore._holds_store(output):
            raise CliError(f"{output}: is not empty and holds no document store")
        if not args.force:
            raise CliError(f"{output}: holds a store; add --force to replace it")
    if args.no_keyword_index and args.keyword_fields:
        raise UsageError("--keyword-fields needs the keyword index (drop --no-keyword-index)")
    documents = Documents(args)
    started = time.perf_counter()
    store = docstore.DocumentStore(
        bits=args.bits, metric=args.metric, refine=not args.no_refine, keyword_index=not args.no_keyword_index,
        keyword_fields=args.keyword_fields, keyword_tokenizer=args.keyword_tokenizer,
    )
    try:
        with console.bar(None, "adding", unit="doc") as bar:
            for rows in read_rows(args.documents, args.batch):
                keys, texts, metadatas, vectors = documents.columns(rows)
                try:
                    store.upsert(keys, texts, metadatas, vectors)
                except (ValueError, UnicodeEncodeError) as error:
                    raise CliError(f"{args.documents}: rows {rows[0][0]} to {rows[-1][0]}: {error}") from None
                bar.update(len(rows))
        if len(store) == 0:
            raise CliError(f"{args.documents}: holds no documents")
        store.save(output)
    finally:
        store.close()
    if not args.quiet:
        keywords = "no keyword index" if args.no_keyword_index else (
            "keyword index of the texts" + (f" and {', '.join(args.keyword_fields)}" if args.keyword_fields else "")
        )
        print(
            f"wrote {output}: {len(documents.seen):,} documents, dim {documents.dim}, {args.bits} bits, {args.metric}, "
            f"{keywords}, {directory_bytes(output):,} bytes in {time.perf_counter() - started:.2f} s"
        )
    return 0


def directory_bytes(path: str) -> int:
    return sum(entry.stat().st_size for entry in os.scandir(path) if entry.is_file())


def open_store(path: str) -> Any:
    docstore = _store_module()
    if not os.path.isdir(path) or not docstore._holds_store(path):
        raise CliError(f"{path}: not a store directory (made by 'varnel store build')")
    try:
        return docstore.DocumentStore.load(path)
    except RuntimeError as error:  # open in another process
        raise CliError(f"{path}: {error}") from None
    except ValueError as error:
        raise CliError(f"{error}") from None


def query_vector(path: str, dim: int | None) -> np.ndarray:
    require_readable_file(path)
    if extension(path) != ".npy":
        raise CliError(f"{path}: the query embedding is read from a .npy file")
    values = map_npy(path)
    if values.ndim == 2 and len(values) == 1:
        values = values[0]
    if values.ndim != 1 or values.dtype.kind not in "fiu":
        raise CliError(f"{path}: expected one vector of numbers, got an array of shape {values.shape} ({values.dtype})")
    if dim is not None and len(values) != dim:
        raise CliError(f"{path}: the query embedding has {len(values)} values, the store's dim is {dim}")
    vector = np.asarray(values, dtype=np.float32)
    if not np.isfinite(vector).all():
        raise CliError(f"{path}: the query embedding holds a NaN or an infinite value")
    return vector


def run_search(args: argparse.Namespace, console: Console) -> int:
    mode = args.mode or ("hybrid" if args.text is not None and args.query_embedding else "keyword" if args.text is not None else "vector")
    if mode in ("hybrid", "keyword") and args.text is None:
        raise UsageError(f"--mode {mode} needs --text")
    if mode in ("hybrid", "vector") and args.query_embedding is None:
        raise UsageError(f"--mode {mode} needs --query-embedding (the query's embedding, by the model that made the store's)")
    where = None
    if args.filter is not None:
        try:
            where = json.loads(args.filter)
        except ValueError as error:
            raise UsageError(f"--filter is not JSON ({error})") from None
    store = open_store(args.store)
    try:
        vector = query_vector(args.query_embedding, store.dim) if mode != "keyword" else None
        try:
            if mode == "keyword":
                found = [(record, {"score": score, "keyword_score": score}) for record, score, _ in store.keyword_search(args.text, args.k, where=where)]
            elif mode == "vector":
                found = [(record, {"score": score, "vector_score": score}) for record, score, _ in store.search(vector, args.k, where=where)[0]]
            else:
                hits = store.hybrid_search(
                    args.text, vector, args.k, where=where, fusion=args.fusion, rrf_k=args.rrf_k,
                    weights=args.weights if args.fusion == "rrf" else None, alpha=args.alpha,
                )
                found = [(record, vars(scores)) for record, scores, _ in hits]
        except ValueError as error:
            raise CliError(str(error)) from None
    finally:
        store.close()
    if args.json:
        for rank, (record, scores) in enumerate(found, start=1):
            print(json.dumps({"rank": rank, "id": record.key, "text": record.text, "metadata": record.metadata, **scores}, ensure_ascii=False))
        return 0
    print(result_table(found, mode))
    return 0


def result_table(found: list[tuple[Any, dict[str, Any]]], mode: str) -> str:
    if not found:
        return "no documents found"
    columns = ["score"] if mode != "hybrid" else ["score", "vector", "keyword"]
    width = max(len(record.key) for record, _ in found)
    lines = [f"{'rank':>4}  {'id':<{width}}  " + "  ".join(f"{c:>10}" for c in columns) + "  text"]
    for rank, (record, scores) in enumerate(found, start=1):
        values = [scores["score"]] if mode != "hybrid" else [scores["score"], scores["vector_score"], scores["keyword_score"]]
        shown = "  ".join(f"{'-':>10}" if v is None else f"{v:>10.4g}" for v in values)
        text = " ".join((record.text or "").split())
        if len(text) > SHOWN_CHARS:
            text = text[: SHOWN_CHARS - 1] + "…"
        lines.append(f"{rank:>4}  {record.key:<{width}}  {shown}  {text}")
    return "\n".join(lines)


def run_info(args: argparse.Namespace, console: Console) -> int:
    store = open_store(args.store)
    try:
        settings, count = dict(store._settings), len(store)
    finally:
        store.close()
    fields = json.loads(settings["keyword_fields"])
    described = {
        "path": args.store, "documents": count, "dim": settings["dim"], "bits": settings["bits"],
        "metric": settings["metric"], "refine": bool(settings["refine"]), "rotation": settings["rotation"],
        "keyword_index": bool(settings["keyword_index"]), "keyword_fields": fields,
        "keyword_tokenizer": settings["keyword_tokenizer"], "format_version": settings["version"],
        "disk_bytes": directory_bytes(args.store),
    }
    if args.json:
        print(json.dumps(described))
        return 0
    keywords = "none" if not described["keyword_index"] else (
        f"BM25 over the texts{' and ' + ', '.join(fields) if fields else ''} ({settings['keyword_tokenizer']})"
    )
    print("\n".join([
        f"store             {args.store}",
        f"documents         {described['documents']:,}",
        f"dim               {settings['dim']}",
        f"bits              {settings['bits']}",
        f"metric            {settings['metric']}",
        f"rotation          {settings['rotation']}",
        f"float32 vectors   {'kept (exact re-ranking)' if settings['refine'] else 'not kept (codes only)'}",
        f"keyword index     {keywords}",
        f"format version    {settings['version']}",
        f"disk size         {described['disk_bytes']:,} bytes",
    ]))
    return 0

