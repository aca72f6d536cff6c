"""Index files of the mapped layout: `open` searches them in place, read-only."""

import copy
import os
import pickle
import struct

import numpy as np
import pytest

from varnel import IdMapIndex, PartitionedIndex, SkerryIndex

from conftest import fill, vectors


@pytest.fixture
def written(tmp_path, cls, bits):
    """An index of each class and bit width, and its mapped-layout file."""
    index = fill(cls(32, bits), vectors(300, 32, seed=bits))
    path = tmp_path / "index.vnmx"
    index.write(path, layout="mapped")
    return index, path


def test_open_searches_exactly_like_the_index_that_wrote_it(written, cls):
    index, path = written
    queries = vectors(5, 32, seed=9)
    for verify in (False, True):
        mapped = cls.open(path, verify=verify)
        assert mapped.mapped and not index.mapped
        assert len(mapped) == len(index) and mapped.bits == index.bits
        for a, b in zip(mapped.search(queries, 10), index.search(queries, 10)):
            np.testing.assert_array_equal(a, b)
        for a, b in zip(mapped.query(queries, 4, metric="cosine"), index.query(queries, 4, metric="cosine")):
            np.testing.assert_array_equal(a, b)


def test_a_mapped_index_refuses_changes_and_copies_are_writable(written, cls, tmp_path):
    index, path = written
    mapped = cls.open(path)
    before = path.read_bytes()
    one = vectors(1, 32, seed=1)
    changes = [lambda: mapped.add(one), lambda: mapped.swap_remove(0)] if cls is SkerryIndex else [
        lambda: mapped.add_with_ids(one, np.array([7], dtype=np.uint64)),
        lambda: mapped.remove(100),
        lambda: mapped.remove_many(np.array([100], dtype=np.uint64)),
    ]
    for change in changes:
        with pytest.raises(ValueError, match=r"read-only .*copy\.copy\(index\) or load\(path\)"):
            change()
    assert len(mapped) == 300 and path.read_bytes() == before
    # pickle and copy store the bytes: an in-memory, writable index
    twins = (copy.copy(mapped), copy.deepcopy(mapped), pickle.loads(pickle.dumps(mapped)), cls.load(path),
             cls.from_bytes(before))
    for twin in twins:
        assert not twin.mapped
        fill(twin, one, first_id=10_000)
        assert len(twin) == 301
    # a mapped index writes either layout
    mapped.write(tmp_path / "rows", layout="rows")
    mapped.write(tmp_path / "again", layout="mapped")
    assert cls.load(tmp_path / "rows").to_bytes() == index.to_bytes()
    assert (tmp_path / "again").read_bytes() == before


def test_id_lookups_of_a_mapped_id_map(tmp_path):
    index = IdMapIndex(16, 4)
    ids = np.random.default_rng(3).permutation(10**6)[:500].astype(np.uint64) * 7 + 2**63
    index.add_with_ids(vectors(500, 16), ids)
    index.write(tmp_path / "a", layout="mapped")
    mapped = IdMapIndex.open(tmp_path / "a")
    assert all(mapped.contains(int(i)) for i in ids[::7])
    assert not mapped.contains(0) and 2**64 - 1 not in mapped
    allowed = ids[:3]
    np.testing.assert_array_equal(mapped.query(vectors(2, 16), 3, allowed=allowed)[1],
                                  index.query(vectors(2, 16), 3, allowed=allowed)[1])


def test_open_refuses_what_it_cannot_map(tmp_path, cls):
    index = fill(cls(16, 4), vectors(40, 16))
    index.write(tmp_path / "rows")
    index.write(tmp_path / "mapped", layout="mapped")
    with pytest.raises(OSError, match="wrong magic"):
        cls.open(tmp_path / "rows")
    other = IdMapIndex if cls is SkerryIndex else SkerryIndex
    with pytest.raises(OSError, match="the file holds"):
        other.open(tmp_path / "mapped")
    with pytest.raises(ValueError, match="layout must be"):
        index.write(tmp_path / "x", layout="columns")
    with pytest.raises(OSError):
        cls.open(tmp_path / "missing")
    data = (tmp_path / "mapped").read_bytes()
    for cut in (0, 10, 63, 100, len(data) - 17, len(data) - 1):
        (tmp_path / "cut").write_bytes(data[:cut])
        with pytest.raises(OSError):
            cls.open(tmp_path / "cut")
    flipped = bytearray(data)
    flipped[300] ^= 0x01  # inside the codes: only the full checksum sees it
    (tmp_path / "flipped").write_bytes(bytes(flipped))
    cls.open(tmp_path / "flipped")
    with pytest.raises(OSError, match="checksum mismatch"):
        cls.open(tmp_path / "flipped", verify=True)
    with pytest.raises(OSError, match="checksum mismatch"):
        cls.load(tmp_path / "flipped")


def crc_table_entry(byte: int) -> int:
    for _ in range(8):
        byte = (byte >> 1) ^ (0x82F63B78 if byte & 1 else 0)
    return byte


CRC_TABLE = [crc_table_entry(i) for i in range(256)]


def crc32c(data: bytes) -> int:
    """CRC-32C (Castagnoli), as the file trailers and mapped headers hold it."""
    crc = 0xFFFFFFFF
    for byte in data:
        crc = CRC_TABLE[(crc ^ byte) & 0xFF] ^ (crc >> 8)
    return crc ^ 0xFFFFFFFF


def sections(data) -> dict:
    """(tag, group) -> (offset of its table entry, offset of its bytes), from the section table."""
    (count,) = struct.unpack_from("<I", data, 12)
    found = {}
    for i in range(count):
        tag, group, offset = struct.unpack_from("<4sIQ", data, 64 + 32 * i)
        found[tag.decode(), group] = (64 + 32 * i, offset)
    return found


def resealed(data) -> bytes:
    """The file with both checksums recomputed, as a careless or hostile writer would leave it."""
    data = bytearray(data)
    (count,) = struct.unpack_from("<I", data, 12)
    struct.pack_into("<I", data, 40, crc32c(bytes(data[:40] + data[64:64 + 32 * count])))
    struct.pack_into("<I", data, len(data) - 4, crc32c(bytes(data[:-16])))
    return bytes(data)


def lie(data, what):
    """The mapped file `data` changed as `what` says; ids repeat, norms grow, sections point into others."""
    data = bytearray(data)
    at = sections(data)
    if what == "repeated id":  # the lookup rebuilt to list it twice, sorted
        n = struct.unpack_from("<Q", data, 16)[0]
        ids = list(struct.unpack_from(f"<{n}Q", data, at["IDS_", 0][1]))
        ids[1] = ids[0]
        struct.pack_into(f"<{n}Q", data, at["IDS_", 0][1], *ids)
        pairs = sorted((i, p) for p, i in enumerate(ids))
        struct.pack_into(f"<{2 * n}Q", data, at["LOOK", 0][1], *[v for pair in pairs for v in pair])
    elif what == "repeated id, lookup as it was":
        data[at["IDS_", 0][1] + 8:at["IDS_", 0][1] + 16] = data[at["IDS_", 0][1]:at["IDS_", 0][1] + 8]
    elif what == "norm 3.4e38":
        struct.pack_into("<f", data, at.get(("LENS", 0), at.get(("NORM", 0)))[1], 3.4e38)
    elif what == "norms pointed into the codes":
        struct.pack_into("<Q", data, at["NORM", 0][0] + 8, at["CODE", 0][1])
    elif what == "lengths of list 1 pointed at list 0's":
        struct.pack_into("<Q", data, at["LENS", 1][0] + 8, at["LENS", 0][1])
    return resealed(data)


def written_kind(kind, tmp_path):
    if kind is PartitionedIndex:
        data = vectors(60, 16)
        index = PartitionedIndex(16, 4, 2)
        index.train(data)
        index.add_with_ids(data, np.arange(60, dtype=np.uint64))
        assert min(index.list_sizes()) > 0
    else:
        index = fill(kind(16, 4), vectors(40, 16))
    index.write(tmp_path / "good", layout="mapped")
    return (tmp_path / "good").read_bytes()


LIES = [
    (IdMapIndex, "repeated id", "stored twice"),
    (IdMapIndex, "repeated id, lookup as it was", "does not hold id"),
    (IdMapIndex, "norm 3.4e38", "norm above 1.8e19"),
    (IdMapIndex, "norms pointed into the codes", "two sections overlap"),
    (SkerryIndex, "norm 3.4e38", "norm above 1.8e19"),
    (SkerryIndex, "norms pointed into the codes", "two sections overlap"),
    (PartitionedIndex, "norm 3.4e38", "norm above what add stores"),
    (PartitionedIndex, "lengths of list 1 pointed at list 0's", "two sections overlap"),
]


@pytest.mark.parametrize("kind, what, message", LIES, ids=[f"{k.__name__}: {w}" for k, w, _ in LIES])
def test_files_that_lie_are_refused_however_they_are_read(tmp_path, kind, what, message):
    path = tmp_path / "lying"
    path.write_bytes(lie(written_kind(kind, tmp_path), what))
    readers = [lambda: kind.open(path), lambda: kind.open(path, verify=True), lambda: kind.load(path),
               lambda: kind.from_bytes(path.read_bytes())]
    for read in readers:
        with pytest.raises(OSError, match=message):  # never the panic type, which escapes `except Exception`
            read()


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_workers_forked_after_open_search_the_same_mapping(tmp_path):
    index = fill(SkerryIndex(64, 4), vectors(2000, 64))
    index.write(tmp_path / "a", layout="mapped")
    mapped = SkerryIndex.open(tmp_path / "a")
    queries = vectors(3, 64, seed=5)
    expected = index.search(queries, 10)
    read, write = os.pipe()
    child = os.fork()
    if child == 0:  # pragma: no cover - runs in the child
        scores, positions = mapped.search(queries, 10)
        ok = np.array_equal(scores, expected[0]) and np.array_equal(positions, expected[1])
        os.write(write, b"1" if ok else b"0")
        os._exit(0)
    os.close(write)
    assert os.read(read, 1) == b"1"
    os.waitpid(child, 0)


@pytest.fixture
def partitioned(tmp_path, bits):
    """A partitioned index of each bit width (lists of uneven sizes), and its mapped-layout file."""
    data = vectors(400, 32, seed=bits)
    index = PartitionedIndex(32, bits, 6)
    index.train(data)
    index.add_with_ids(data, np.arange(400, dtype=np.uint64) * 3 + 2**62)
    path = tmp_path / "index.vnip"
    index.write(path, layout="mapped")
    return index, path


def test_a_mapped_partitioned_index_searches_like_the_one_that_wrote_it(partitioned):
    index, path = partitioned
    queries = vectors(5, 32, seed=9)
    for verify in (False, True):
        mapped = PartitionedIndex.open(path, verify=verify)
        assert mapped.mapped and not index.mapped
        assert (len(mapped), mapped.lists, mapped.bits) == (len(index), index.lists, index.bits)
        np.testing.assert_array_equal(mapped.list_sizes(), index.list_sizes())
        np.testing.assert_array_equal(mapped.centroids(), index.centroids())
        for probes in (1, 3, 6):
            for a, b in zip(mapped.search(queries, 10, probes=probes), index.search(queries, 10, probes=probes)):
                np.testing.assert_array_equal(a, b)
        for metric in ("cosine", "l2"):
            for a, b in zip(mapped.query(queries, 4, probes=2, metric=metric),
                            index.query(queries, 4, probes=2, metric=metric)):
                np.testing.assert_array_equal(a, b)
        assert 2**62 + 3 in mapped and 3 not in mapped


def test_a_mapped_partitioned_index_refuses_changes_and_copies_are_writable(partitioned, tmp_path):
    index, path = partitioned
    mapped = PartitionedIndex.open(path)
    before = path.read_bytes()
    one = vectors(1, 32, seed=1)
    changes = [
        lambda: mapped.add_with_ids(one, np.array([7], dtype=np.uint64)),
        lambda: mapped.remove(2**62),
        lambda: mapped.remove_many(np.array([2**62], dtype=np.uint64)),
        lambda: mapped.train(vectors(50, 32)),
        lambda: mapped.set_centroids(index.centroids()),
    ]
    for change in changes:
        with pytest.raises(ValueError, match=r"read-only .*copy\.copy\(index\) or load\(path\)"):
            change()
    assert len(mapped) == 400 and 2**62 in mapped and path.read_bytes() == before
    twins = (copy.copy(mapped), pickle.loads(pickle.dumps(mapped)), PartitionedIndex.load(path),
             PartitionedIndex.from_bytes(before))
    for twin in twins:
        assert not twin.mapped
        twin.add_with_ids(one, np.array([7], dtype=np.uint64))
        assert len(twin) == 401
    mapped.write(tmp_path / "rows", layout="rows")
    mapped.write(tmp_path / "again", layout="mapped")
    assert PartitionedIndex.load(tmp_path / "rows").to_bytes() == index.to_bytes()
    assert (tmp_path / "again").read_bytes() == before


def test_open_refuses_partitioned_files_it_cannot_map(tmp_path):
    data = vectors(60, 16)
    index = PartitionedIndex(16, 4, 3)
    index.train(data)
    index.add_with_ids(data, np.arange(60, dtype=np.uint64))
    index.write(tmp_path / "rows")
    index.write(tmp_path / "mapped", layout="mapped")
    with pytest.raises(OSError, match="wrong magic"):
        PartitionedIndex.open(tmp_path / "rows")
    with pytest.raises(OSError, match="the file holds"):
        IdMapIndex.open(tmp_path / "mapped")
    fill(IdMapIndex(16, 4), data).write(tmp_path / "idmap", layout="mapped")
    with pytest.raises(OSError, match="the file holds"):
        PartitionedIndex.open(tmp_path / "idmap")
    with pytest.raises(ValueError, match="layout must be"):
        index.write(tmp_path / "x", layout="columns")
    data = (tmp_path / "mapped").read_bytes()
    for cut in (0, 10, 63, 100, len(data) - 17, len(data) - 1):
        (tmp_path / "cut").write_bytes(data[:cut])
        with pytest.raises(OSError):
            PartitionedIndex.open(tmp_path / "cut")
        with pytest.raises(OSError):
            PartitionedIndex.from_bytes(data[:cut])
    flipped = bytearray(data)
    assert index.list_sizes()[-1] >= 3
    flipped[-16 - 24 + 6] ^= 0x01  # a high byte of an id of the last list: only the full checksum sees it
    (tmp_path / "flipped").write_bytes(bytes(flipped))
    PartitionedIndex.open(tmp_path / "flipped")
    with pytest.raises(OSError, match="checksum mismatch"):
        PartitionedIndex.open(tmp_path / "flipped", verify=True)
    with pytest.raises(OSError, match="checksum mismatch"):
        PartitionedIndex.load(tmp_path / "flipped")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_workers_forked_after_open_search_the_same_mapped_lists(partitioned):
    index, path = partitioned
    mapped = PartitionedIndex.open(path)
    queries = vectors(3, 32, seed=5)
    expected = index.search(queries, 10, probes=2)
    read, write = os.pipe()
    child = os.fork()
    if child == 0:  # pragma: no cover - runs in the child
        scores, ids = mapped.search(queries, 10, probes=2)
        ok = np.array_equal(scores, expected[0]) and np.array_equal(ids, expected[1])
        os.write(write, b"1" if ok else b"0")
        os._exit(0)
    os.close(write)
    assert os.read(read, 1) == b"1"
    os.waitpid(child, 0)
