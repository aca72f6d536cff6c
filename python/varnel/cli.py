"""The ``varnel`` command: build, search, inspect and evaluate indexes from files.

Installed as the console script ``varnel`` and reachable as ``python -m varnel``.
Problems the user can fix end in one line on stderr and exit code 1 (2 for a
wrong command line, 130 after Ctrl-C), never in a traceback; set
``VARNEL_TRACEBACK=1`` to see one for an unexpected failure.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from typing import Any, NoReturn

import numpy as np
from numpy.typing import NDArray

import varnel
from varnel._cli_common import (
    CliError,
    Console,
    UsageError,
    at_least,
    bits_list,
    bits_value,
    check_results_fit,
    panic_text,
    search_chunk,
)
from varnel._cli_inputs import (
    IdFile,
    VectorSource,
    batch_rows,
    check_index_dim,
    checked_ids,
    open_vectors,
    query_options,
    require_readable_file,
)
from varnel._cli_outputs import check_new_output, replacing, result_paths, result_table, write_results
from varnel._index_header import IndexHeader, read_header
from varnel._startup import restore_interrupts

INDEX_EXTENSIONS = (".vnix", ".vnim")
SHOWN_QUERIES = 5
MAX_THREADS = 1024  # the library caps larger counts at this


class Parser(argparse.ArgumentParser):
    """Reports a wrong command line in one line instead of argparse's usage block."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


EXAMPLES = {
    "build": """examples:
  varnel build embeddings.npy -o docs.vnix
  varnel build embeddings.npy -o docs.vnim --ids doc_ids.npy --bits 3
  varnel build sift_base.fvecs -o sift.vnix --rotation walshrotor3
  varnel build table.parquet --column embedding --id-column id -o table.vnim
  varnel build glove-100-angular.hdf5 -o glove.vnix   (reads the 'train' dataset)
  varnel build embeddings.npy -o docs.vnip --lists 4000   (partitioned: searches scan a few lists)""",
    "search": """examples:
  varnel search docs.vnix queries.npy -k 10                 (a table of the first queries)
  varnel search docs.vnix queries.npy -k 10 -o found.npy    (found.scores.npy, found.ids.npy)
  varnel search docs.vnim queries.fvecs -o found.csv
  varnel search docs.vnim queries.parquet --column embedding -o found.jsonl
  varnel search docs.vnix queries.npy --metric cosine --filter allowed.npy
  varnel search docs.vnix queries.npy --refine embeddings.npy -k 10 -o exact.npz
  varnel search docs.vnip queries.npy -k 10 --probes 32""",
    "info": """examples:
  varnel info docs.vnix
  varnel info docs.vnim --json""",
    "eval": """examples:
  varnel eval embeddings.npy                         (1,000 held-out vectors as queries)
  varnel eval embeddings.npy queries.npy --bits 4 -k 100
  varnel eval glove-100-angular.hdf5 --plot glove.png   (the file's test set and neighbours)
  varnel eval sift_base.fvecs sift_query.fvecs --json
  varnel eval embeddings.npy --bits 4 --lists 1000 --plot probes.png   (recall against speed over probes)""",
    "demo": """examples:
  varnel demo
  varnel demo --n 100000 --dim 384 --bits 3""",
}


def make_parser() -> Parser:
    parser = Parser(
        prog="varnel",
        description="Build, search, inspect and evaluate varnel vector indexes from files, and document stores of texts with embeddings.",
        epilog="Run 'varnel COMMAND --help' for the options and examples of each command.",
    )
    parser.add_argument("--version", action="version", version=f"varnel {varnel.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    common = Parser(add_help=False)
    common.add_argument("--threads", type=at_least(1), metavar="N", help="threads for adding and search")
    common.add_argument("-q", "--quiet", action="store_true", help="no progress bars and notes on stderr")

    def command(name: str, summary: str, run: Callable[[argparse.Namespace, Console], int]) -> Parser:
        sub = commands.add_parser(
            name,
            help=summary,
            description=summary,
            epilog=EXAMPLES[name],
            parents=[common],
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        sub.set_defaults(run=run)
        return sub

    add_build_arguments(command("build", "Index the vectors of a file and write the index file.", run_build))
    add_search_arguments(command("search", "Find the top-k stored vectors for every query of a file.", run_search))
    add_info_arguments(command("info", "Describe an index file from its header, without loading it.", run_info))
    add_eval_arguments(command("eval", "Measure recall, speed and size of each code width on a file.", run_eval))
    add_demo_arguments(command("demo", "Index synthetic clustered embeddings and report recall.", run_demo))
    from varnel import _cli_store

    _cli_store.add_parser(commands, common)
    return parser


def add_input_options(parser: Parser, ids: bool) -> None:
    parser.add_argument("--column", metavar="NAME", help="Parquet: the list column holding the vectors")
    if ids:
        parser.add_argument("--id-column", metavar="NAME", help="Parquet: the integer column holding the ids")
    parser.add_argument(
        "--dataset", metavar="NAME", help="HDF5: the dataset to read (default: train, for queries test)"
    )


def add_build_arguments(parser: Parser) -> None:
    parser.add_argument("vectors", metavar="VECTORS", help="vector file: .npy, .fvecs/.ivecs/.bvecs, .parquet or .hdf5")
    parser.add_argument("-o", "--output", required=True, metavar="INDEX", help="index file to write: .vnix, .vnim or (with --lists) .vnip")
    parser.add_argument("--bits", type=bits_value, default=4, help="code width: 2, 3 or 4 (default 4)")
    parser.add_argument(
        "--rotation", default="rotor3", metavar="NAME", help="planar2, rotor3 (default), iso4, walshrotor3"
    )
    parser.add_argument("--ids", metavar="IDS", help="a .npy file of one integer id per vector (with -o INDEX.vnim)")
    parser.add_argument(
        "--batch", type=at_least(1), metavar="N", help="vectors read and added at a time (default: 8 MB of them)"
    )
    parser.add_argument("--force", action="store_true", help="replace an existing output file")
    parser.add_argument(
        "--layout",
        choices=("rows", "mapped"),
        default="rows",
        help="rows (default; read into memory by load) or mapped (searched in place by open, shared by processes)",
    )
    add_input_options(parser, ids=True)
    add_partitioned_build_options(parser)


def add_partitioned_build_options(parser: Parser) -> None:
    parser.add_argument(
        "--lists", type=at_least(1), metavar="N", help="make a partitioned index (.vnip) of N lists (about 4 * sqrt(n))"
    )
    parser.add_argument(
        "--train-sample", type=at_least(1), metavar="M", help="vectors the lists are trained on (default 256 per list)"
    )


def add_search_arguments(parser: Parser) -> None:
    parser.add_argument("index", metavar="INDEX", help="index file (.vnix, .vnim or .vnip)")
    parser.add_argument("queries", metavar="QUERIES", help="query file: .npy, .fvecs/.ivecs/.bvecs, .parquet or .hdf5")
    parser.add_argument("-k", type=at_least(1), default=10, help="neighbours per query (default 10)")
    parser.add_argument(
        "-o", "--output", metavar="OUT", help="OUT.npy (writes OUT.scores.npy, OUT.ids.npy), .npz, .csv or .jsonl"
    )
    parser.add_argument("--metric", choices=("ip", "cosine", "l2"), default="ip", help="score (default ip)")
    parser.add_argument(
        "--filter",
        metavar="ALLOWED",
        help=".npy of the positions (or a bool mask) / ids that may be returned",
    )
    parser.add_argument(
        "--refine", metavar="VECTORS", help="float32 .npy of the original vectors: re-score candidates exactly"
    )
    parser.add_argument(
        "--refine-factor", type=at_least(1), metavar="F", help="candidates re-scored per result (default 4)"
    )
    parser.add_argument(
        "--require-checksum",
        action="store_true",
        help="refuse an index file without an integrity trailer (one written before trailers existed, or cut short)",
    )
    parser.add_argument("--show", type=at_least(1), default=SHOWN_QUERIES, metavar="N", help="queries shown without -o")
    parser.add_argument("--force", action="store_true", help="replace existing output files")
    add_input_options(parser, ids=False)
    parser.add_argument(
        "--probes", type=at_least(1), metavar="P", help="partitioned index: lists scanned per query (default 8)"
    )


def add_info_arguments(parser: Parser) -> None:
    parser.add_argument("index", metavar="INDEX", help="index file (.vnix, .vnim or .vnip)")
    parser.add_argument("--json", action="store_true", help="print one JSON object")


def add_eval_arguments(parser: Parser) -> None:
    parser.add_argument("vectors", metavar="VECTORS", help="vectors to index")
    parser.add_argument("queries", metavar="QUERIES", nargs="?", help="queries (default: held out from VECTORS)")
    parser.add_argument("--bits", type=bits_list, default=[2, 3, 4], metavar="B,B", help="code widths (default 2,3,4)")
    parser.add_argument("-k", type=at_least(1), default=10, help="neighbours per query (default 10)")
    parser.add_argument(
        "--rotation", default="rotor3", metavar="NAME", help="planar2, rotor3 (default), iso4, walshrotor3"
    )
    parser.add_argument("--sample", type=at_least(1), default=1000, metavar="N", help="held-out queries (default 1000)")
    parser.add_argument("--seed", type=at_least(0), default=0, help="seed of the held-out sample (default 0)")
    parser.add_argument(
        "--batch", type=at_least(1), metavar="N", help="vectors read and added at a time (default: 8 MB of them)"
    )
    parser.add_argument("--plot", metavar="OUT.png", help="draw recall against queries per second (.png, .svg, .pdf)")
    parser.add_argument("--json", action="store_true", help="print the figures as one JSON object")
    parser.add_argument("--force", action="store_true", help="replace an existing plot file")
    add_input_options(parser, ids=False)
    add_partitioned_build_options(parser)
    parser.add_argument(
        "--probes", type=probes_list, metavar="P,P", help="with --lists: probes swept (default 1, 2, 4, ... lists)"
    )


def probes_list(text: str) -> list[int]:
    return [at_least(1)(part) for part in text.split(",")]


def add_demo_arguments(parser: Parser) -> None:
    from varnel.demo import add_arguments

    add_arguments(parser)


def run_build(args: argparse.Namespace, console: Console) -> int:
    from varnel import _cli_partitioned

    _cli_partitioned.check_options(args)
    if args.lists is not None:
        return _cli_partitioned.run_build(args, console)
    kind = os.path.splitext(args.output)[1].lower()
    if kind == _cli_partitioned.EXTENSION:
        raise CliError(f"{args.output}: a partitioned index (.vnip) is built with --lists N")
    if kind not in INDEX_EXTENSIONS:
        raise CliError(
            f"{args.output}: unknown extension '{kind}'; an index file is .vnix (positions), .vnim (ids) "
            "or .vnip (partitioned, with --lists N)"
        )
    check_new_output(args.output, args.force)
    source = open_vectors(args.vectors, column=args.column, id_column=args.id_column, dataset=args.dataset)
    check_index_dim(source.dim, source.name)
    id_file = open_ids(args, source, kind, console)
    index = new_index(kind == ".vnim", source.dim, args.bits, args.rotation)
    started = time.perf_counter()
    add_all(index, source, id_file, batch_rows(args.batch, source.dim), console)
    with replacing(args.output) as temporary:
        index.write(temporary, layout=args.layout)
    if not args.quiet:
        print(build_summary(args.output, index, time.perf_counter() - started))
    return 0


def open_ids(args: argparse.Namespace, source: VectorSource, kind: str, console: Console) -> IdFile | None:
    """The --ids file, after checking that ids and the output kind agree."""
    id_file = IdFile(args.ids, source.count) if args.ids else None
    if id_file is not None and source.has_ids:
        raise CliError("give ids with --ids or with --id-column, not both")
    with_ids = id_file is not None or source.has_ids
    if with_ids and kind == ".vnix":
        raise CliError(f"{args.output}: an index with ids is written as .vnim")
    if not with_ids and kind == ".vnim":
        console.note("no ids given: each vector's id is its row number")
    return id_file


def build_summary(path: str, index: Any, seconds: float) -> str:
    header = read_header(path)
    return (
        f"wrote {path}: {len(index):,} vectors, dim {index.dim}, {index.bits} bits, {index.rotation}, "
        f"{header.file_bytes:,} bytes ({header.bytes_per_vector} per vector) in {seconds:.2f} s"
    )


def new_index(with_ids: bool, dim: int, bits: int, rotation: str) -> Any:
    make = varnel.IdMapIndex if with_ids else varnel.SkerryIndex
    try:
        return make(dim, bits, rotation)
    except (ValueError, varnel.PanicException) as error:
        raise CliError(f"--rotation {rotation}: {error}") from None


def add_all(index: Any, source: VectorSource, id_file: IdFile | None, batch: int, console: Console) -> None:
    note = source.conversion_note()
    if note:
        console.note(note)
    with console.bar(source.count, "adding") as bar:
        for first, vectors, ids in source.batches(batch):
            if isinstance(index, varnel.IdMapIndex):
                if ids is None:
                    ids = id_file.slice(first, first + len(vectors)) if id_file else row_ids(first, len(vectors))
                add_with_ids(index, vectors, ids, id_file.name if id_file else source.name)
            else:
                index.add(vectors)
            bar.update(len(vectors))


def row_ids(first: int, count: int) -> NDArray[np.uint64]:
    return np.arange(first, first + count, dtype=np.uint64)


def add_with_ids(index: Any, vectors: NDArray[np.float32], ids: NDArray[np.uint64], name: str) -> None:
    try:
        index.add_with_ids(vectors, ids)
    except varnel.PanicException as error:
        raise CliError(f"{name}: {panic_text(error)}; ids must be unique") from None


def run_search(args: argparse.Namespace, console: Console) -> int:
    from varnel import _cli_partitioned

    if _cli_partitioned.is_partitioned(args.index):
        return _cli_partitioned.run_search(args, console)
    if args.probes is not None:
        raise CliError(f"{args.index}: --probes needs a partitioned index (built with --lists)")
    if args.output is not None:
        for path in result_paths(args.output):
            check_new_output(path, args.force)
    header = read_header(args.index)
    queries_file = open_vectors(args.queries, column=args.column, dataset=args.dataset, default_dataset="test")
    if queries_file.dim != header.dim:
        raise CliError(
            f"{queries_file.name}: queries have {queries_file.dim} values, but the index's dim is {header.dim}"
        )
    note = queries_file.conversion_note()
    if note:
        console.note(note)
    queries = queries_file.read_all()
    if len(queries) == 0:
        raise CliError(f"{queries_file.name}: holds no queries")
    options = query_options(args, header)
    index = load_index(header, args.require_checksum)
    # Results have min(k, n) columns whatever k is: a k beyond n asks for nothing more.
    scores, ids = search_all(index, queries, min(args.k, max(len(index), 1)), options, console)
    if args.output is None:
        print(result_table(scores, ids, args.show, "id" if header.has_ids else "position"))
        return 0
    written = write_results(args.output, scores, ids)
    console.note(f"wrote {', '.join(written)}: {len(queries):,} queries, k = {scores.shape[1]}")
    return 0


def load_index(header: IndexHeader, require_checksum: bool = False) -> Any:
    kind = varnel.IdMapIndex if header.has_ids else varnel.SkerryIndex
    if require_checksum and not header.checksummed:
        raise CliError(f"{header.path}: has no integrity trailer, and --require-checksum asks for one")
    try:
        # A mapped file is searched in place: nothing is read but the pages a search touches.
        if header.layout == "mapped":
            return kind.open(header.path, verify=require_checksum)
        return kind.load(header.path, require_checksum=require_checksum)
    except OSError as error:
        raise CliError(f"{header.path}: {error}") from None


def search_all(
    index: Any, queries: NDArray[np.float32], k: int, options: dict[str, Any], console: Console
) -> tuple[NDArray[Any], NDArray[Any]]:
    """Searches in chunks, so that a long run shows progress, into results allocated once."""
    check_results_fit(len(queries), k)
    scores: NDArray[Any] | None = None
    ids: NDArray[Any] | None = None
    chunk = search_chunk(len(index), varnel.num_threads())
    with console.bar(len(queries), "searching", unit="query") as bar:
        for start in range(0, len(queries), chunk):
            chunk_scores, chunk_ids = search_chunk_of(index, queries[start : start + chunk], k, options)
            if scores is None or ids is None:  # a filter may leave fewer columns than k
                scores = np.empty((len(queries), chunk_scores.shape[1]), chunk_scores.dtype)
                ids = np.empty((len(queries), chunk_ids.shape[1]), chunk_ids.dtype)
            scores[start : start + len(chunk_ids)] = chunk_scores
            ids[start : start + len(chunk_ids)] = chunk_ids
            bar.update(len(chunk_ids))
    assert scores is not None and ids is not None
    return scores, ids


def search_chunk_of(index: Any, queries: NDArray[np.float32], k: int, options: dict[str, Any]) -> tuple[Any, Any]:
    if not options:
        return index.search(queries, k)
    try:
        return index.query(queries, k, **options)
    except (ValueError, TypeError) as error:
        raise CliError(f"--filter/--refine: {error}") from None


def run_info(args: argparse.Namespace, console: Console) -> int:
    from varnel import _cli_partitioned

    if _cli_partitioned.is_partitioned(args.index):
        return _cli_partitioned.run_info(args)
    header = read_header(args.index)
    if args.json:
        print(json.dumps(header.as_dict()))
        return 0
    kind = "ids" if header.has_ids else "positions"
    lines = [
        f"file              {header.path}",
        f"kind              {header.kind} ({header.magic} version {header.version}, addressed by {kind})",
        f"vectors           {header.count:,}",
        f"dim               {header.dim}",
        f"bits              {header.bits}",
        f"rotation          {header.rotation}",
        f"seed              {header.seed}",
        f"file size         {header.file_bytes:,} bytes",
        (
            f"bytes per vector  {header.bytes_per_vector} "
            f"({header.code_bytes_per_vector} codes + 4 norm{' + 8 id' if header.has_ids else ''})"
        ),
    ]
    if header.layout == "mapped":
        lines.append("layout            mapped (searched in place by open; load reads it into memory)")
    else:
        lines.append("layout            rows (read into memory by load)")
    trailing = header.file_bytes - header.announced_bytes
    if header.checksummed and header.layout == "mapped":
        lines.append("integrity         CRC-32C trailer (checked by load and by open(verify=True))")
    elif header.checksummed:
        lines.append("integrity         CRC-32C trailer (checked when the index is loaded)")
    elif trailing:
        lines.append(f"trailing bytes    {trailing:,}")
    print("\n".join(lines))
    return 0


def run_eval(args: argparse.Namespace, console: Console) -> int:
    from varnel import _cli_eval, _cli_partitioned

    _cli_partitioned.check_options(args)
    if args.lists is not None:
        return _cli_partitioned.run_eval(args, console)
    if args.probes is not None:
        raise CliError("--probes needs --lists")
    return _cli_eval.run(args, console)


def run_demo(args: argparse.Namespace, console: Console) -> int:
    from varnel import demo

    problem = demo.check_arguments(args)
    if problem:
        raise UsageError(problem)
    demo.run(args.n, args.queries, args.dim, args.bits, args.k, args.seed)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    restore_interrupts()
    try:
        args = make_parser().parse_args(argv)
    except KeyboardInterrupt:
        return fail("varnel", "interrupted", 130)
    prog = f"varnel {args.command}"
    with termination_as_interrupt():
        try:
            if args.threads is not None:
                varnel.set_num_threads(min(args.threads, MAX_THREADS))
            return args.run(args, Console(args.quiet))
        except CliError as error:
            return fail(prog, str(error), error.exit_code)
        except varnel.PanicException as error:
            return fail(prog, panic_text(error))
        except Terminated:
            return fail(prog, "terminated", 128 + signal.SIGTERM)
        except KeyboardInterrupt:
            return fail(prog, "interrupted", 130)
        except BrokenPipeError:
            # The reader of stdout went away (`| head`): stop quietly, and keep Python's exit flush quiet too.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 1
        except MemoryError:
            return fail(prog, "out of memory")
        except OSError as error:
            where = f"{error.filename}: " if error.filename else ""
            return fail(prog, f"{where}{error.strerror or error}")
        except Exception as error:
            if os.environ.get("VARNEL_TRACEBACK"):
                raise
            return fail(prog, f"unexpected {type(error).__name__}: {error} (VARNEL_TRACEBACK=1 shows where)")


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised where Ctrl-C would be, so that it stops work and removes temporary files alike."""


def _raise_terminated(signum: int, frame: object) -> None:
    raise Terminated


@contextlib.contextmanager
def termination_as_interrupt() -> Iterator[None]:
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _raise_terminated)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def fail(prog: str, message: str, code: int = 1) -> int:
    print(f"{prog}: error: {message}", file=sys.stderr)
    return code


if __name__ == "__main__":
    sys.exit(main())
