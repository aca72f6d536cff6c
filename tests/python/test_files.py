import os
import pathlib

import numpy as np
import pytest
from conftest import fill, vectors

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
    @pytest.mark.parametrize("path", [pathlib.Path("x.vnix"), b"x.vnix", None, 3])
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
        with pytest.raises(OSError, match=r"^No such file or directory \(os error 2\)$"):
            index.write(str(tmp_path / "missing" / "x"))
        assert len(index) == 4
        for got, expected in zip(index.search(data, 4), before):
            np.testing.assert_array_equal(got, expected)
