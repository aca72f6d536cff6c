import copy
import os
import pathlib
import pickle
import resource
import signal
import subprocess
import sys

import time

import numpy as np
import pytest
from conftest import fill, vectors

import varnel
from varnel import IdMapIndex, SkerryIndex

SEED_BYTES = bytes.fromhex("EC04070700000000")  # 117900524, little-endian
EMPTY_VNIX_8_2 = b"VNIX\x02" + b"\x02\x03" + b"\x08\x00\x00\x00" + b"\x00\x00\x00\x00" + SEED_BYTES
TRAILER = 16  # "VNCK", the count of bytes before it, their CRC-32C


def assert_same_results(a, b, queries, k=7):
    for got, expected in zip(a.search(queries, k), b.search(queries, k)):
        np.testing.assert_array_equal(got, expected)


def written(index, tmp_path, name="index.bin") -> pathlib.Path:
    path = tmp_path / name
    index.write(str(path))
    return path


def load_error(cls, path) -> tuple:
    with pytest.raises(OSError) as info:
        cls.load(str(path))
    assert type(info.value) is OSError and info.value.errno is None
    return info.value.args


class TestRoundTrip:
    @pytest.mark.parametrize(
        "bits, rotation", [(2, "planar2"), (3, "iso4"), (4, "rotor3"), (4, "walshrotor3"), (3, "walshrotor3")]
    )
    def test_identical_after_load(self, tmp_path, cls, bits, rotation):
        data = vectors(70, 64)
        index = fill(cls(64, bits, rotation), data)
        path = written(index, tmp_path)
        size = 23 + 70 * (64 * bits // 8 + 4) + (8 * 70 if cls is IdMapIndex else 0) + TRAILER
        assert path.stat().st_size == size
        loaded = cls.load(str(path))
        assert type(loaded) is cls
        assert (loaded.dim, loaded.bits, loaded.rotation, len(loaded)) == (64, bits, rotation, 70)
        assert_same_results(loaded, index, vectors(9, 64, seed=5))
        assert written(loaded, tmp_path, "again.bin").read_bytes() == path.read_bytes()

    def test_empty_index_is_23_bytes_and_the_trailer(self, tmp_path):
        raw = written(SkerryIndex(8, 2), tmp_path).read_bytes()
        assert raw[:23] == EMPTY_VNIX_8_2
        assert raw[23:27] == b"VNCK" and int.from_bytes(raw[27:35], "little") == 23 and len(raw) == 39
        assert SkerryIndex.load(str(tmp_path / "index.bin")).rotation == "rotor3"

    def test_loaded_index_keeps_working(self, tmp_path):
        data = vectors(5, 16)
        index = fill(IdMapIndex(16, 4), data, first_id=40)
        index.remove(42)
        loaded = IdMapIndex.load(str(written(index, tmp_path)))
        assert 42 not in loaded and 44 in loaded
        loaded.add_with_ids(data[2:3], np.array([42], dtype=np.uint64))
        assert loaded.remove(40) and len(loaded) == 4
        assert loaded.search(data[2:3], 1)[1][0, 0] == 42

    def test_appended_bytes_are_ignored(self, tmp_path):
        index = fill(IdMapIndex(8, 3), vectors(4, 8))
        path = written(index, tmp_path)
        path.write_bytes(path.read_bytes() + b"trailing garbage")
        assert_same_results(IdMapIndex.load(str(path)), index, vectors(3, 8, seed=1))

    def test_relative_and_undecodable_paths(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        index = fill(SkerryIndex(8, 2), vectors(3, 8))
        index.write("relative.vnix")
        assert (tmp_path / "relative.vnix").stat().st_size == 23 + 3 * 6 + TRAILER
        odd = os.fsdecode(b"odd-\xff-name")  # the raw byte must reach the file system
        index.write(odd)
        assert b"odd-\xff-name" in os.listdir(os.fsencode(tmp_path))
        assert len(SkerryIndex.load(odd)) == 3


class TestLoadFailures:
    def test_wrong_magic(self, tmp_path):
        skerry = written(SkerryIndex(8, 2), tmp_path, "a")
        idmap = written(IdMapIndex(8, 2), tmp_path, "b")
        assert load_error(SkerryIndex, idmap) == ("not a VNIX file: wrong magic",)
        assert load_error(IdMapIndex, skerry) == ("not a VNIM file: wrong magic",)

    @pytest.mark.parametrize(
        "cls, offset, value, message",
        [
            (SkerryIndex, 4, 1, "unsupported VNIX version: 1"),
            (IdMapIndex, 4, 3, "unsupported VNIM version: 3"),
            (SkerryIndex, 6, 0, "unknown rotation kind tag: 0"),
            (SkerryIndex, 6, 6, "unknown rotation kind tag: 6"),
            (IdMapIndex, 6, 255, "unknown rotation kind tag: 255"),
        ],
    )
    def test_bad_header_byte(self, tmp_path, cls, offset, value, message):
        path = written(fill(cls(8, 2), vectors(2, 8)), tmp_path)
        raw = bytearray(path.read_bytes())
        raw[offset] = value
        path.write_bytes(bytes(raw))
        assert load_error(cls, path) == (message,)

    @pytest.mark.parametrize(
        "bits, dim, n",
        [(7, 8, 0), (1, 8, 0), (4, 12, 0), (4, 0, 0), (4, 0xFFFFFFF8, 0xFFFFFFFF), (2, 8, 0xFFFFFFFF)],
    )
    def test_impossible_parameters_fail_without_crash(self, tmp_path, cls, bits, dim, n):
        path = written(cls(8, 2), tmp_path)
        raw = bytearray(path.read_bytes())
        raw[5] = bits
        raw[7:11] = dim.to_bytes(4, "little")
        raw[11:15] = n.to_bytes(4, "little")
        path.write_bytes(bytes(raw))
        load_error(cls, path)

    def test_every_truncation_of_the_data_is_a_short_read(self, tmp_path, cls):
        raw = written(fill(cls(8, 2), vectors(3, 8)), tmp_path).read_bytes()
        cut = tmp_path / "cut"
        for size in range(len(raw) - TRAILER):
            cut.write_bytes(raw[:size])
            assert load_error(cls, cut) == ("failed to fill whole buffer",), size
        for size in range(len(raw) - TRAILER, len(raw)):  # all data there: loads unverified
            cut.write_bytes(raw[:size])
            assert len(cls.load(str(cut))) == 3

    def test_duplicate_ids(self, tmp_path):
        path = written(fill(IdMapIndex(8, 2), vectors(2, 8), first_id=1), tmp_path)
        raw = path.read_bytes()
        path.write_bytes(raw[: -8 - TRAILER] + (1).to_bytes(8, "little") + raw[-TRAILER:])
        assert load_error(IdMapIndex, path) == ("duplicate ids in .vnim file",)

    def test_missing_file(self, tmp_path, cls):
        assert load_error(cls, tmp_path / "absent") == ("No such file or directory (os error 2)",)


class TestPaths:
    @pytest.mark.parametrize("path", [b"x.vnix", None, 3])
    def test_non_str_path(self, cls, path):
        index = cls(8, 2)
        for call in (index.write, cls.load):
            with pytest.raises(TypeError, match="^argument 'path': "):
                call(path)

    def test_nul_in_path(self, tmp_path, cls):
        index = cls(8, 2)
        for call in (index.write, cls.load):
            with pytest.raises(OSError) as info:
                call(str(tmp_path / "a\0b"))
            assert type(info.value) is OSError
            assert info.value.args == ("file name contained an unexpected NUL byte",)
        assert os.listdir(tmp_path) == []

    def test_failed_write_leaves_index_as_it_was(self, tmp_path, cls):
        data = vectors(4, 8)
        index = fill(cls(8, 2), data)
        before = index.search(data, 4)
        with pytest.raises(OSError) as info:
            index.write(str(tmp_path))
        assert type(info.value) is OSError and info.value.args == ("Is a directory (os error 21)",)
        with pytest.raises(OSError) as info:  # the message alone (a note names the path)
            index.write(str(tmp_path / "missing" / "x"))
        assert info.value.args == ("No such file or directory (os error 2)",)
        assert len(index) == 4
        for got, expected in zip(index.search(data, 4), before):
            np.testing.assert_array_equal(got, expected)

    def test_path_like_objects(self, tmp_path, cls):
        index = fill(cls(8, 2), vectors(3, 8))
        index.write(tmp_path / "a.vnix")
        assert_same_results(cls.load(tmp_path / "a.vnix"), index, vectors(2, 8))

        class BytesPath:  # an os.PathLike whose path is bytes
            def __fspath__(self):
                return os.fsencode(tmp_path / "b.vnix")

        index.write(BytesPath())
        assert (tmp_path / "b.vnix").read_bytes() == (tmp_path / "a.vnix").read_bytes()
        assert len(cls.load(BytesPath())) == 3


class TestAtomicWrite:
    """write replaces a file only with a complete new one."""

    def test_failed_write_leaves_the_earlier_file(self, tmp_path, cls):
        path = written(fill(cls(8, 2), vectors(3, 8)), tmp_path, "index")
        before = path.read_bytes()
        large = fill(cls(64, 4), vectors(300, 64))
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        # A file-size limit fails the write part-way, like a full disk
        # (Python ignores SIGXFSZ, so the write reports EFBIG).
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, hard))
        try:
            with pytest.raises(OSError) as info:
                large.write(str(path))
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        assert info.value.args == ("File too large (os error 27)",)
        assert path.read_bytes() == before
        assert os.listdir(tmp_path) == ["index"]

    @pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not bind root")
    @pytest.mark.parametrize("locked", ["file", "folder"])
    def test_refused_write_leaves_the_earlier_file(self, tmp_path, cls, locked):
        path = written(fill(cls(8, 2), vectors(3, 8)), tmp_path, "index")
        before = path.read_bytes()
        target = path if locked == "file" else tmp_path
        mode = target.stat().st_mode
        target.chmod(0o500 if locked == "folder" else 0o400)
        try:
            with pytest.raises(OSError, match=r"^Permission denied \(os error 13\)$"):
                fill(cls(8, 2), vectors(5, 8)).write(str(tmp_path / ("index" if locked == "file" else "new")))
        finally:
            target.chmod(mode)
        assert path.read_bytes() == before
        assert os.listdir(tmp_path) == ["index"]

    def test_keeps_mode_and_writes_through_links(self, tmp_path):
        path = written(SkerryIndex(8, 2), tmp_path, "index")
        path.chmod(0o640)
        (tmp_path / "link").symlink_to("index")
        fill(SkerryIndex(8, 2), vectors(3, 8)).write(str(tmp_path / "link"))
        assert (tmp_path / "link").is_symlink() and len(SkerryIndex.load(str(path))) == 3
        assert path.stat().st_mode & 0o777 == 0o640
        assert sorted(os.listdir(tmp_path)) == ["index", "link"]


@pytest.mark.parametrize("call", ["varnel.SkerryIndex.load(path)", "varnel.IdMapIndex(8, 2).write(path)"])
def test_ctrl_c_stops_a_blocked_fifo(tmp_path, call):
    """Opening a FIFO that nobody opens from the other end blocks; SIGINT must end it."""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    code = f"import sys, varnel; path = sys.argv[1]; print('ready', flush=True); {call}"
    child = subprocess.Popen(
        [sys.executable, "-c", code, str(fifo)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    assert child.stdout.readline() == "ready\n"
    time.sleep(0.5)  # into the blocking open
    child.send_signal(signal.SIGINT)
    try:
        _, errors = child.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        pytest.fail("SIGINT did not stop the blocked call")
    assert errors.rstrip().endswith("KeyboardInterrupt"), errors
    assert os.listdir(tmp_path) == ["fifo"]


DECLARED_SIZES = """
import copy, pickle, resource, struct, numpy as np, varnel
dim = 2**20
# VNIP version 3, bits 4, rotor3, dim, one list, a seed, untrained, an empty
# list; no trailer, so it is read unverified. Trained, it holds a centroid.
tiny = b"VNIP" + bytes([3, 4, 3]) + struct.pack("<IIQBI", dim, 1, 7, 0, 0)
trained = b"VNIP" + bytes([3, 4, 3]) + struct.pack("<IIQB", dim, 1, 7, 1) + bytes(4 * dim) + bytes(4)
query = np.zeros((1, dim), np.float32)
start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
for index in (varnel.PartitionedIndex.from_bytes(tiny), varnel.PartitionedIndex.from_bytes(trained),
              varnel.SkerryIndex(dim, 4), varnel.IdMapIndex(dim, 4)):
    for again in (type(index).from_bytes(index.to_bytes()), pickle.loads(pickle.dumps(index)), copy.copy(index),
                  copy.deepcopy(index)):
        assert len(again) == 0 and again.dim == dim
    if not isinstance(index, varnel.PartitionedIndex):
        assert index.search(query, 3)[0][0, 0] == index.query(query, 3, metric="cosine")[0][0, 0] == -np.inf
    elif index.is_trained:
        assert index.search(query, 3, probes=1)[0][0, 0] == -np.inf
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - start) // 1024)
"""


class TestBytes:
    def test_round_trips_search_bit_for_bit(self, cls, bits):
        data = vectors(50, 32)
        index = fill(cls(32, bits, "iso4" if bits == 3 else "rotor3"), data)
        raw = index.to_bytes()
        assert type(raw) is bytes
        doubled = np.zeros(2 * len(raw), dtype=np.uint8)
        doubled[::2] = np.frombuffer(raw, dtype=np.uint8)
        copies = [
            cls.from_bytes(raw),
            cls.from_bytes(bytearray(raw)),
            cls.from_bytes(memoryview(raw)),
            cls.from_bytes(data=np.frombuffer(raw, dtype=np.uint8)),
            cls.from_bytes(memoryview(doubled)[::2]),  # a strided buffer
            pickle.loads(pickle.dumps(index)),
            copy.copy(index),
            copy.deepcopy(index),
        ]
        queries = vectors(6, 32, seed=9)
        for duplicate in copies:
            assert type(duplicate) is cls and duplicate is not index
            assert_same_results(duplicate, index, queries)
            assert duplicate.to_bytes() == raw

    def test_same_bytes_as_write(self, tmp_path, cls):
        index = fill(cls(16, 3), vectors(7, 16))
        assert index.to_bytes() == written(index, tmp_path).read_bytes()

    def test_every_truncation(self, cls):
        raw = fill(cls(8, 2), vectors(3, 8)).to_bytes()
        for size in range(len(raw) - TRAILER):
            with pytest.raises(OSError) as info:
                cls.from_bytes(raw[:size])
            assert type(info.value) is OSError and info.value.args == ("failed to fill whole buffer",), size
        for size in range(len(raw) - TRAILER, len(raw)):
            assert len(cls.from_bytes(raw[:size])) == 3

    @pytest.mark.parametrize("offset, value", [(0, ord("x")), (4, 3), (6, 9), (5, 7), (20, 0xFF), (-1, 0)])
    def test_damage_gives_the_message_of_load(self, tmp_path, cls, offset, value):
        raw = bytearray(fill(cls(8, 2), vectors(3, 8)).to_bytes())
        raw[offset] = value if raw[offset] != value else value ^ 1
        path = tmp_path / "damaged"
        path.write_bytes(bytes(raw))
        with pytest.raises(OSError) as info:
            cls.from_bytes(raw)
        assert info.value.args == load_error(cls, path)

    def test_huge_announced_count_allocates_nothing(self, cls):
        header = bytearray(fill(cls(8, 2), vectors(1, 8)).to_bytes())
        header[5] = 4  # bits
        header[7:11] = (1 << 24).to_bytes(4, "little")  # dim
        header[11:15] = (2**32 - 1).to_bytes(4, "little")  # n
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        with pytest.raises(OSError, match="^failed to fill whole buffer$"):
            cls.from_bytes(bytes(header))
        assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak < 100_000  # KiB

    def test_sizes_a_file_declares_cost_nothing_until_used(self):
        # Run alone, so that the peak memory is this work's: an empty index of
        # a large dim (a code row of half a megabyte), from a 28-byte file (or
        # one that holds just a centroid) or made directly, is written,
        # pickled, copied and searched: nothing allocates by the dim alone.
        run = subprocess.run([sys.executable, "-c", DECLARED_SIZES], capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stderr
        assert int(run.stdout) < 128, f"{run.stdout.strip()} MiB"  # a dim-sized buffer of rows: 512 MiB

    @pytest.mark.parametrize("data", ["text", None, 3])
    def test_non_buffers(self, cls, data):
        with pytest.raises(TypeError, match="^argument 'data': "):
            cls.from_bytes(data)


@pytest.mark.parametrize("cls", [SkerryIndex, IdMapIndex])
def test_require_checksum_refuses_data_without_a_trailer(cls, tmp_path):
    index = fill(cls(16, 3), vectors(50, 16))
    data = index.to_bytes()
    cut = data[:-16]  # a damaged file cut at its trailer loads as an old one...
    assert len(cls.from_bytes(cut)) == 50
    path = tmp_path / "cut.bin"
    path.write_bytes(cut)
    for read in (lambda: cls.from_bytes(cut, require_checksum=True),
                 lambda: cls.load(path, require_checksum=True)):
        with pytest.raises(OSError, match="no checksum trailer"):  # ...unless a trailer is required
            read()
    assert len(cls.from_bytes(data, require_checksum=True)) == 50


@pytest.mark.parametrize("sync", [True, False])
def test_write_leaves_only_the_target_whether_or_not_it_syncs(tmp_path, sync):
    index = fill(SkerryIndex(16, 4), vectors(50, 16))
    for _ in range(2):  # a new file, then a replaced one
        index.write(tmp_path / "out.vnix", sync=sync)
    assert os.listdir(tmp_path) == ["out.vnix"]
    assert (tmp_path / "out.vnix").read_bytes() == index.to_bytes()


@pytest.mark.parametrize("kind", ["skerry", "idmap", "partitioned"])
def test_file_errors_name_the_path_and_the_rows_layout_points_to_load(tmp_path, kind):
    data = np.random.default_rng(0).standard_normal((40, 8), dtype=np.float32)
    if kind == "partitioned":
        index = varnel.PartitionedIndex(8, 4, 2)
        index.train(data)
        index.add_with_ids(data, np.arange(40))
    elif kind == "idmap":
        index = varnel.IdMapIndex(8, 4)
        index.add_with_ids(data, np.arange(40, dtype=np.uint64))
    else:
        index = varnel.SkerryIndex(8, 4)
        index.add(data)
    cls = type(index)
    missing = tmp_path / "missing.idx"
    for call, doing in ((cls.load, "loading"), (cls.open, "opening")):
        with pytest.raises(OSError) as caught:
            call(missing)
        assert str(caught.value) == "No such file or directory (os error 2)"
        assert caught.value.__notes__ == [f"while {doing} {str(missing)!r}"]
    with pytest.raises(OSError) as caught:
        index.write(tmp_path / "no-such-dir" / "x.idx")
    assert str(tmp_path / "no-such-dir" / "x.idx") in caught.value.__notes__[0]
    index.write(tmp_path / "rows.idx")
    with pytest.raises(OSError, match=r"wrong magic \(this file has the rows layout: read it with load\(\)"):
        cls.open(tmp_path / "rows.idx")
