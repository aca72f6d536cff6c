import numpy as np
import pytest
from conftest import EMPTY_ID, Reenter, fill, vectors

from varnel import IdMapIndex, PanicException, SkerryIndex

LENGTH_PANIC = "assertion `left == right` failed"

# These tests pin down how inputs of another column count are read; the
# warning they draw is tested in test_warnings.py.
pytestmark = pytest.mark.filterwarnings("ignore:.* columns but the index has dim:UserWarning")


def add(index, data, ids=None):
    if isinstance(index, IdMapIndex):
        index.add_with_ids(data, np.arange(1000, 1000 + len(data) * data.shape[1] // 8, dtype=np.uint64)
                           if ids is None else ids)
    else:
        index.add(data)


def cast_error(name, type_name="ndarray"):
    return f"argument '{name}': '{type_name}' object cannot be cast as 'ndarray'"


class Subclass(np.ndarray):
    pass


def assert_same(got, expected):
    for a, b in zip(got, expected):
        np.testing.assert_array_equal(a, b)


class TestAdd:
    @pytest.mark.parametrize(
        "shape, added",
        [((3, 8), 3), ((1, 16), 2), ((0, 8), 0), ((3, 0), 0), ((0, 0), 0)],
    )
    def test_shapes(self, cls, shape, added):
        index = cls(8, 2)
        assert add(index, np.ones(shape, dtype=np.float32)) is None
        assert len(index) == added

    def test_length_not_a_multiple_of_dim_panics(self, cls):
        index = fill(cls(8, 2), vectors(2, 8))
        with pytest.raises(PanicException, match=f"^{LENGTH_PANIC}"):
            add(index, vectors(1, 12), ids=np.array([1], dtype=np.uint64))
        assert len(index) == 2

    @pytest.mark.parametrize(
        "value, type_name",
        [
            ([[0.0] * 8], "list"),
            (None, "NoneType"),
            (np.zeros((2, 8), dtype=np.float64), "ndarray"),
            (np.zeros((2, 8), dtype=np.float16), "ndarray"),
            (np.zeros((2, 8), dtype=np.int32), "ndarray"),
            (np.zeros((2, 8), dtype=">f4"), "ndarray"),
            (np.zeros(8, dtype=np.float32), "ndarray"),
            (np.zeros((1, 2, 8), dtype=np.float32), "ndarray"),
            (np.float32(1), "float32"),
            (memoryview(np.zeros((2, 8), dtype=np.float32)), "memoryview"),
        ],
    )
    def test_refused_types(self, cls, value, type_name):
        index = cls(8, 2)
        with pytest.raises(TypeError) as info:
            add(index, value, ids=np.array([1, 2], dtype=np.uint64))
        assert str(info.value) == cast_error("vectors", type_name)
        assert len(index) == 0

    @pytest.mark.parametrize(
        "view, accepted",
        [
            (lambda x: x[1:2], True),  # one row of a wider array: any row stride
            (lambda x: x[:, :8][:1], True),
            (lambda x: x[:0, ::2], True),  # empty arrays are contiguous
            (lambda x: x.T.copy().T[:, :8], False),  # Fortran order
            (lambda x: x[:, ::2], False),
            (lambda x: x[::-1], False),
            (lambda x: x[:, :8], False),
            (lambda x: x[:, :1], False),
        ],
    )
    def test_contiguity(self, cls, view, accepted):
        base = vectors(3, 16)
        data = view(base)
        index = cls(8, 2)
        ids = np.arange(data.size // 8, dtype=np.uint64)
        if accepted:
            add(index, data, ids)
            assert len(index) == data.size // 8
        else:
            with pytest.raises(ValueError) as info:
                add(index, data, ids)
            assert info.value.args == ("vectors must be C-contiguous",)
            assert len(index) == 0

    def test_subclass_readonly_and_misaligned_arrays_are_read_in_place(self, cls):
        data = vectors(3, 8)
        raw = bytearray(data.nbytes + 1)
        misaligned = np.frombuffer(raw, dtype=np.float32, offset=1, count=24).reshape(3, 8)
        misaligned[...] = data
        assert misaligned.ctypes.data % 4 != 0
        readonly = data.copy()
        readonly.setflags(write=False)
        results = []
        for variant in (data, data.view(Subclass), readonly, misaligned):
            index = cls(8, 4)
            add(index, variant, np.arange(3, dtype=np.uint64))
            results.append(index.search(variant, 3))
        for got in results[1:]:
            assert_same(got, results[0])


class TestAddWithIds:
    @pytest.mark.parametrize(
        "ids, type_name",
        [
            (np.arange(2, dtype=np.int64), "ndarray"),
            (np.arange(2, dtype=np.uint32), "ndarray"),
            (np.arange(2, dtype=np.uint64).reshape(1, 2), "ndarray"),
            (np.arange(2, dtype=">u8"), "ndarray"),
            ([1, 2], "list"),
        ],
    )
    def test_refused_ids(self, ids, type_name):
        index = IdMapIndex(8, 2)
        with pytest.raises(TypeError) as info:
            index.add_with_ids(vectors(2, 8), ids)
        assert str(info.value) == cast_error("ids", type_name)

    def test_ulong_and_ulonglong_are_both_uint64(self):
        index = IdMapIndex(8, 2)
        index.add_with_ids(vectors(1, 8), np.array([1], dtype=np.dtype("L")))
        index.add_with_ids(vectors(1, 8), np.array([2], dtype=np.dtype("Q")))
        assert 1 in index and 2 in index

    @pytest.mark.parametrize(
        "data, ids, error, message",
        [
            ([1.0], [1], TypeError, cast_error("vectors", "list")),  # vectors are checked first
            (vectors(3, 8).T.copy().T, np.arange(3, dtype=np.uint64)[::-1], ValueError, "vectors must be C-contiguous"),
            (vectors(3, 8), np.arange(6, dtype=np.uint64)[::2], ValueError, "ids must be C-contiguous"),
            (vectors(3, 8), np.arange(3, dtype=np.uint64)[::-1], ValueError, "ids must be C-contiguous"),
        ],
    )
    def test_check_order(self, data, ids, error, message):
        index = IdMapIndex(8, 2)
        with pytest.raises(error) as info:
            index.add_with_ids(data, ids)
        assert str(info.value) == message

    @pytest.mark.parametrize(
        "n, ids, message",
        [
            (3, [1, 2], "assertion `left == right` failed: expected 3 ids, got 2\n  left: 2\n right: 3"),
            (2, [5, 5], "id 5 already present in index"),
            (2, [9, 7], "id 7 already present in index"),
        ],
    )
    def test_library_refusal_changes_nothing(self, n, ids, message):
        index = IdMapIndex(8, 2)
        index.add_with_ids(vectors(1, 8), np.array([7], dtype=np.uint64))
        with pytest.raises(PanicException) as info:
            index.add_with_ids(vectors(n, 8, seed=3), np.array(ids, dtype=np.uint64))
        assert info.value.args == (message,)
        assert len(index) == 1 and 7 in index and 9 not in index and 5 not in index


class TestSearch:
    @pytest.mark.parametrize("k, columns", [(3, 3), (10, 10), (50, 10), (0, 1), (np.uint64(2), 2), (True, 1)])
    def test_result_shapes(self, cls, bits, k, columns):
        index = fill(cls(8, bits), vectors(10, 8))
        scores, second = index.search(vectors(4, 8, seed=1), k)
        assert scores.shape == second.shape == (4, columns)
        assert scores.dtype == np.float32
        assert second.dtype == (np.int64 if cls is SkerryIndex else np.uint64)
        assert np.all(np.diff(scores, axis=1) <= 0)  # best first

    def test_finds_stored_vectors(self, cls, bits):
        data = vectors(200, 64)
        index = fill(cls(64, bits), data, first_id=0)
        _, found = index.search(data, 1)
        assert np.mean(found[:, 0] == np.arange(200)) > 0.9

    def test_empty_index(self, cls):
        scores, second = cls(8, 4).search(vectors(4, 8), 5)
        assert scores.shape == (4, 1) and np.all(scores == -np.inf)
        assert np.all(second == (-1 if cls is SkerryIndex else EMPTY_ID))

    @pytest.mark.parametrize(
        "k, error, message",
        [
            (-1, OverflowError, None),
            (2**64, OverflowError, None),
            (2.5, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
            (None, TypeError, "argument 'k': 'NoneType' object cannot be interpreted as an integer"),
        ],
    )
    def test_bad_k(self, cls, k, error, message):
        index = fill(cls(8, 2), vectors(3, 8))
        with pytest.raises(error) as info:
            index.search(vectors(2, 8), k)
        if message:
            assert str(info.value) == message

    @pytest.mark.parametrize(
        "queries, error, message",
        [
            ([[0.0] * 8], TypeError, cast_error("queries", "list")),
            (np.zeros((2, 8)), TypeError, cast_error("queries")),
            (np.zeros(8, dtype=np.float32), TypeError, cast_error("queries")),
            (vectors(8, 2).T, ValueError, "queries must be C-contiguous"),
            (vectors(2, 16)[:, ::2], ValueError, "queries must be C-contiguous"),
        ],
    )
    def test_bad_queries(self, cls, queries, error, message):
        index = fill(cls(8, 2), vectors(3, 8))
        with pytest.raises(error) as info:
            index.search(queries, 2)
        assert str(info.value) == message

    def test_queries_are_checked_before_k(self, cls):
        with pytest.raises(TypeError, match="^argument 'queries'"):
            cls(8, 2).search([1.0], "k")

    @pytest.mark.parametrize(
        "cls, shape, k, outcome",
        [
            (SkerryIndex, (2, 16), 3, "scores reshape: ShapeError/IncompatibleShape: incompatible shapes"),
            (SkerryIndex, (4, 4), 3, "scores reshape: ShapeError/OutOfBounds: out of bounds indexing"),
            (SkerryIndex, (3, 0), 3, "scores reshape: ShapeError/OutOfBounds: out of bounds indexing"),
            (SkerryIndex, (0, 8), 5, (0, 2)),
            (SkerryIndex, (0, 8), 2**64 - 1, (0, 2)),
            (IdMapIndex, (2, 16), 3, (2, 6)),
            (IdMapIndex, (4, 4), 3, "scores reshape: ShapeError/IncompatibleShape: incompatible shapes"),
            (IdMapIndex, (3, 0), 3, (3, 0)),
            (IdMapIndex, (0, 8), 5, (0, 5)),
            (IdMapIndex, (0, 8), 2**63, "scores reshape: ShapeError/Overflow: arithmetic overflow"),
            (IdMapIndex, (0, 8), 2**64 - 1, "scores reshape: ShapeError/Overflow: arithmetic overflow"),
        ],
    )
    def test_reshape_rules(self, cls, shape, k, outcome):
        index = fill(cls(8, 4), vectors(10 if shape[0] else 2, 8))
        queries = np.ones(shape, dtype=np.float32)
        if isinstance(outcome, str):
            with pytest.raises(ValueError) as info:
                index.search(queries, k)
            assert info.value.args == (outcome,)
        else:
            scores, second = index.search(queries, k)
            assert scores.shape == second.shape == outcome

    def test_zero_rows_with_a_huge_k_never_builds_a_broken_array(self):
        index = fill(IdMapIndex(8, 4), vectors(2, 8))
        with pytest.raises(ValueError):
            index.search(np.ones((0, 8), dtype=np.float32), 2**63 - 1)

    def test_outputs_own_their_buffers(self, cls):
        data = vectors(10, 8)
        index = fill(cls(8, 4), data)
        first = index.search(data, 3)
        for array in first:
            assert array.flags.c_contiguous and array.flags.writeable and not array.flags.owndata
            assert type(array.base).__name__ == "PyCapsule"
        again = tuple(a.copy() for a in first)
        first[0][:] = 0
        first[1][:] = 0
        assert_same(index.search(data, 3), again)

    @pytest.mark.parametrize(
        "mutate, outcome",
        [
            (lambda q: setattr(q, "shape", (2, 16)), "incompatible"),
            (lambda q: q.resize((1, 8), refcheck=False), (1, 3)),
            (lambda q: setattr(q, "dtype", np.int32), "cast"),
        ],
        ids=["reshaped", "resized", "retyped"],
    )
    def test_queries_changed_by_k_conversion(self, mutate, outcome):
        # __index__ runs after the array check; the array must be read afresh.
        index = fill(SkerryIndex(8, 4), vectors(10, 8))
        queries = vectors(4, 8, seed=2)
        k = Reenter(lambda: mutate(queries), 3)
        if outcome == "incompatible":
            with pytest.raises(ValueError, match="IncompatibleShape"):
                index.search(queries, k)
        elif outcome == "cast":
            with pytest.raises(TypeError, match="^argument 'queries'"):
                index.search(queries, k)
        else:
            scores, _ = index.search(queries, k)
            assert scores.shape == outcome
            assert_same(index.search(queries, 3), index.search(queries.copy(), 3))
