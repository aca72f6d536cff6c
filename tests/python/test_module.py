import copy
import importlib
import inspect
import pickle
import subprocess
import sys
import textwrap
import threading
import weakref

import numpy as np
import pytest
from conftest import Reenter, fill, vectors

import varnel
from varnel import IdMapIndex, PanicException, SkerryIndex, _varnel

WRITE_DOC = (
    'Writes the index to `path`. layout="mapped" writes the arrays as a\n'
    "search reads them, for `open` to map in place. sync=False skips making the\n"
    "new file durable (fsync) before returning."
)
ROTATION_ERROR = "unknown rotation '{}': expected 'planar2', 'rotor3', 'iso4', or 'walshrotor3'"


class TestModule:
    def test_exports(self):
        assert _varnel.__all__ == ["SkerryIndex", "IdMapIndex", "PartitionedIndex", "IdFilter", "__version__"]
        assert _varnel.__version__ == varnel.__version__ == "0.2.4"
        assert _varnel.__doc__ == ""
        assert (varnel.SkerryIndex, varnel.IdMapIndex) == (_varnel.SkerryIndex, _varnel.IdMapIndex)
        assert varnel.PartitionedIndex is _varnel.PartitionedIndex
        assert varnel.IdFilter is _varnel.IdFilter
        assert varnel.PanicException is _varnel.PanicException

    def test_panic_exception_derives_directly_from_base_exception(self):
        assert PanicException.__mro__ == (PanicException, BaseException, object)

    def test_reimport_gives_the_same_module(self):
        assert importlib.reload(_varnel) is _varnel
        del sys.modules["varnel._varnel"]
        try:
            assert importlib.import_module("varnel._varnel") is _varnel
        finally:
            sys.modules["varnel._varnel"] = _varnel

    def test_second_interpreter_is_refused(self):
        pytest.importorskip("_testcapi")
        script = textwrap.dedent(
            """
            import _testcapi, varnel
            print("rc", _testcapi.run_in_subinterp("import varnel._varnel"))
            print("main still works", len(varnel.SkerryIndex(8, 2)))
            """
        )
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert run.returncode == 0, run.stderr
        assert "rc -1" in run.stdout and "main still works 0" in run.stdout
        assert "ImportError: varnel._varnel cannot be imported by more than one interpreter" in run.stderr

    def test_thread_count_setting(self):
        before = varnel.num_threads()
        try:
            varnel.set_num_threads(1)
            assert varnel.num_threads() == 1
            index = fill(SkerryIndex(16, 4), vectors(50, 16))
            single = index.search(vectors(8, 16, seed=1), 5)
            varnel.set_num_threads(3)
            assert varnel.num_threads() == 3
            for got, expected in zip(index.search(vectors(8, 16, seed=1), 5), single):
                np.testing.assert_array_equal(got, expected)
            with pytest.raises(OverflowError):
                varnel.set_num_threads(-1)
        finally:
            varnel.set_num_threads(0)
        assert varnel.num_threads() == before


class TestClassShape:
    def test_final_without_dict_or_weakref(self, cls):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        index = cls(8, 2)
        with pytest.raises(AttributeError):
            index.dim = 16
        with pytest.raises(AttributeError):
            index.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(index)
        with pytest.raises(TypeError):
            cls.extra = 1
        assert not hasattr(index, "__dict__")

    @pytest.mark.parametrize("action", [copy.copy, copy.deepcopy, lambda x: pickle.loads(pickle.dumps(x))])
    def test_copy_and_pickle_make_an_equal_new_object(self, cls, action):
        index = cls(8, 2, "iso4")
        duplicate = action(index)
        assert type(duplicate) is cls and duplicate is not index and repr(duplicate) == repr(index)

    @pytest.mark.parametrize(
        "cls, members",
        [
            (SkerryIndex, ["add", "search", "write", "load", "prepare", "swap_remove", "dim", "bits", "rotation"]),
            (IdMapIndex, ["add_with_ids", "remove", "search", "contains", "prepare", "write", "load", "dim", "bits", "rotation"]),
        ],
    )
    def test_members_in_order(self, cls, members):
        # Members added since (to_bytes, from_bytes, ...) may come between these.
        assert [name for name in vars(cls) if name in members] == members
        assert "__contains__" in vars(cls) if cls is IdMapIndex else not hasattr(cls, "__contains__")
        assert "__init__" not in vars(cls)

    @pytest.mark.parametrize(
        "member, signature, doc",
        [
            (SkerryIndex, '(dim, bits, rotation="rotor3")', ""),
            (IdMapIndex, '(dim, bits, rotation="rotor3")', ""),
            (SkerryIndex.add, "($self, vectors)",
             "Add `n = vectors.shape[0]` vectors. `vectors` must be a 2-D\n`float32` array of shape `(n, dim)`."),
            (SkerryIndex.search, "($self, queries, k)",
             # The column count is the effective k.
             "Top-`k` search. Returns `(scores, indices)` as `(nq, K)` arrays,\n"
             "K = `min(k, len(self))` and at least 1."),
            (SkerryIndex.prepare, "($self)",
             "Eagerly populate caches (block-rotation matrices, Lloyd-Max\n"
             "centroids) so the first `search` call doesn't pay the init cost."),
            (SkerryIndex.swap_remove, "($self, idx)",
             "Remove the vector at `idx` in O(1) by swap-with-last. Returns the\n"
             "previous index of the moved vector. Order is **not** preserved."),
            (IdMapIndex.add_with_ids, "($self, vectors, ids)", "Add vectors with stable external `uint64` ids."),
            (IdMapIndex.search, "($self, queries, k)",
             "Top-`k` search returning external ids. Returns `(scores, ids)` as\n"
             "`(nq, K)` arrays, K = `min(k, len(self))` and at least 1."),
            (IdMapIndex.remove, "($self, id)", ""),
            (IdMapIndex.contains, "($self, id)", ""),
            (IdMapIndex.prepare, "($self)", ""),
            # Since extended with keyword-only options.
            (SkerryIndex.write, "($self, path, *, layout='rows', sync=True)", WRITE_DOC),
            (IdMapIndex.write, "($self, path, *, layout='rows', sync=True)", WRITE_DOC),
            (vars(SkerryIndex)["load"], "($cls, path, *, require_checksum=False)", ""),
            (vars(IdMapIndex)["load"], "($cls, path, *, require_checksum=False)", ""),
        ],
    )
    def test_signatures_and_docstrings(self, member, signature, doc):
        assert member.__text_signature__ == signature
        assert (member.__doc__ or "") == doc  # the host gives None or "" for an empty body

    def test_keyword_signatures(self):
        assert str(inspect.signature(SkerryIndex)) == "(dim, bits, rotation='rotor3')"
        assert str(inspect.signature(IdMapIndex(8, 2).search)) == "(queries, k)"
        assert str(inspect.signature(SkerryIndex.load)) == "(path, *, require_checksum=False)"

    @pytest.mark.parametrize("name", ["dim", "bits", "rotation", "mapped"])
    def test_properties_have_no_docstring(self, cls, name):
        assert vars(cls)[name].__doc__ is None


class TestConstruction:
    def test_defaults(self, cls):
        index = cls(64, 4)
        assert (index.dim, index.bits, index.rotation, len(index)) == (64, 4, "rotor3", 0)
        assert repr(index) == f"{cls.__name__}(dim=64, bits=4, rotation='rotor3', n=0)"

    def test_repr_counts_vectors(self, cls):
        index = fill(cls(16, 2, "planar"), vectors(5, 16))
        assert repr(index) == f"{cls.__name__}(dim=16, bits=2, rotation='planar2', n=5)"

    def test_keywords(self, cls):
        index = cls(rotation="iso", bits=3, dim=16)
        assert (index.dim, index.bits, index.rotation) == (16, 3, "iso4")

    @pytest.mark.parametrize(
        "name, canonical",
        [
            ("planar2", "planar2"), ("planar", "planar2"), ("GIVENS", "planar2"),
            ("rotor3", "rotor3"), ("Rotor", "rotor3"), ("clifford", "rotor3"),
            ("iso4", "iso4"), ("ISO", "iso4"), ("Quaternion", "iso4"),
            ("walshrotor3", "walshrotor3"), ("walsh", "walshrotor3"),
            ("Walsh-Rotor3", "walshrotor3"), ("ROTOR3+walsh", "walshrotor3"),
        ],
    )
    def test_rotation_names(self, cls, name, canonical):
        assert cls(64, 2, name).rotation == canonical

    @pytest.mark.parametrize(
        "args, kwargs, error, message",
        [
            ((12, 5, "bad"), {}, ValueError, ROTATION_ERROR.format("bad")),
            ((8, 4, " rotor3"), {}, ValueError, ROTATION_ERROR.format(" rotor3")),
            ((8, 4, "ROTOR5"), {}, ValueError, ROTATION_ERROR.format("rotor5")),
            ((8, 4, ""), {}, ValueError, ROTATION_ERROR.format("")),
            ((8, 4, "ROTOR3\0"), {}, ValueError, ROTATION_ERROR.format("rotor3\0")),
            ((8, 4, "ÄROTOR3"), {}, ValueError, ROTATION_ERROR.format("Ärotor3")),
            ((12, 5), {}, PanicException, "bits must be 2, 3, or 4"),
            ((12, 4), {}, PanicException, "dim must be a multiple of 8"),
            ((24, 4, "walsh"), {}, PanicException, "Rotation::WalshRotor3 requires dim to be a power of 2 (got 24)"),
            ((8, True), {}, PanicException, "bits must be 2, 3, or 4"),
            ((-8, 4), {}, OverflowError, None),
            ((2**64, 4), {}, OverflowError, None),
            ((8, -1, "nope"), {}, OverflowError, None),
            ((8.0, 4), {}, TypeError, "argument 'dim': "),
            ((8, "4"), {}, TypeError, "argument 'bits': "),
            ((8, 4, None), {}, TypeError, "argument 'rotation': "),
            ((8, 4, b"rotor3"), {}, TypeError, "argument 'rotation': "),
            ((8,), {}, TypeError, None),
            ((8, 4, "rotor3", 1), {}, TypeError, None),
            ((), {"dim": 8, "bits": 4, "seed": 1}, TypeError, None),
            ((8, 4), {"dim": 8}, TypeError, None),
        ],
    )
    def test_errors(self, cls, args, kwargs, error, message):
        with pytest.raises(error) as info:
            cls(*args, **kwargs)
        if error is PanicException or error is ValueError:
            assert info.value.args == (message,)
        elif message is not None:
            assert str(info.value).startswith(message)

    def test_integer_like_arguments(self, cls):
        index = cls(np.uint64(16), Reenter(lambda: None, 3), rotation="iso")
        assert (index.dim, index.bits) == (16, 3)

    def test_dim_zero_is_built_but_refuses_vectors(self):
        index = SkerryIndex(0, 4)
        for call in (lambda: index.add(vectors(1, 8)), lambda: index.search(vectors(1, 8), 1)):
            with pytest.raises(PanicException, match="^attempt to divide by zero$"):
                call()
        assert len(index) == 0


class TestScalarMethods:
    def test_swap_remove_moves_the_last_vector(self):
        data = vectors(5, 32)
        index = fill(SkerryIndex(32, 4), data)
        assert index.swap_remove(1) == 4
        assert len(index) == 4
        assert index.search(data[4:5], 1)[1][0, 0] == 1
        assert index.swap_remove(np.int8(3)) == 3
        assert len(index) == 3

    def test_out_of_bounds_panics_and_leaves_index_intact(self):
        data = vectors(5, 32)
        index = fill(SkerryIndex(32, 4), data)
        before = index.search(data, 5)
        with pytest.raises(PanicException) as info:
            try:
                index.swap_remove(5)
            except Exception:  # noqa: BLE001 - must not be reached
                pytest.fail("PanicException was caught by `except Exception`")
        assert info.value.args == ("index 5 out of bounds",)
        assert not isinstance(info.value, Exception)
        assert len(index) == 5
        for got, expected in zip(index.search(data, 5), before):
            np.testing.assert_array_equal(got, expected)
        index.add(data[:1])  # still usable: the borrow was released
        assert len(index) == 6

    def test_remove_contains_and_in(self):
        index = IdMapIndex(16, 2)
        index.add_with_ids(vectors(2, 16), np.array([7, 2**64 - 2], dtype=np.uint64))
        assert 7 in index and index.contains(7) is True
        assert index.contains(np.uint64(2**64 - 2)) and 8 not in index
        assert index.remove(7) is True
        assert index.remove(7) is False
        assert 7 not in index and len(index) == 1

    @pytest.mark.parametrize(
        "key, error, message",
        [
            (-1, OverflowError, None),
            (2**64, OverflowError, None),
            (np.int64(-1), OverflowError, None),
            (2.5, TypeError, "argument 'id': 'float' object cannot be interpreted as an integer"),
            ("7", TypeError, "argument 'id': 'str' object cannot be interpreted as an integer"),
            (None, TypeError, "argument 'id': 'NoneType' object cannot be interpreted as an integer"),
        ],
    )
    @pytest.mark.parametrize(
        "call",
        [lambda index, key: key in index, IdMapIndex.contains, IdMapIndex.remove],
        ids=["in", "contains", "remove"],
    )
    def test_id_conversion_errors(self, call, key, error, message):
        index = fill(IdMapIndex(16, 2), vectors(3, 16), first_id=7)
        with pytest.raises(error) as info:
            call(index, key)
        if message:
            assert str(info.value) == message
        assert len(index) == 3

    def test_index_errors_pass_through(self):
        def boom():
            raise KeyError("from __index__")

        with pytest.raises(KeyError):
            SkerryIndex(8, 2).swap_remove(Reenter(boom))

    def test_prepare(self, cls):
        index = cls(64, 4, "walsh")
        assert index.prepare() is None
        fill(index, vectors(40, 64)).prepare()
        assert len(index) == 40


def _skerry():
    return fill(SkerryIndex(16, 4), vectors(6, 16))


def _idmap():
    return fill(IdMapIndex(16, 4), vectors(6, 16), first_id=0)


Q = vectors(2, 16, seed=9)
IDS = np.array([50], dtype=np.uint64)

# (factory, call whose integer argument re-enters, expected RuntimeError text or None)
REENTRY = [
    (_skerry, lambda ix: ix.search(Q, Reenter(lambda: ix.add(Q), 3)), "Already borrowed"),
    (_skerry, lambda ix: ix.search(Q, Reenter(lambda: ix.swap_remove(0), 3)), "Already borrowed"),
    (_skerry, lambda ix: ix.search(Q, Reenter(lambda: (len(ix), ix.search(Q, 1), repr(ix)), 3)), None),
    (_skerry, lambda ix: ix.swap_remove(Reenter(lambda: len(ix))), "Already mutably borrowed"),
    (_skerry, lambda ix: ix.swap_remove(Reenter(lambda: ix.search(Q, 1))), "Already mutably borrowed"),
    (_skerry, lambda ix: ix.swap_remove(Reenter(lambda: ix.dim)), "Already mutably borrowed"),
    (_skerry, lambda ix: ix.swap_remove(Reenter(lambda: repr(ix))), "Already mutably borrowed"),
    (_skerry, lambda ix: ix.swap_remove(Reenter(lambda: ix.prepare())), "Already mutably borrowed"),
    (_skerry, lambda ix: ix.swap_remove(Reenter(lambda: ix.write("/nonexistent/x"))), "Already mutably borrowed"),
    (_skerry, lambda ix: ix.swap_remove(Reenter(lambda: ix.add(Q))), "Already borrowed"),
    (_idmap, lambda ix: ix.remove(Reenter(lambda: 3 in ix)), "Already mutably borrowed"),
    (_idmap, lambda ix: ix.remove(Reenter(lambda: ix.contains(3))), "Already mutably borrowed"),
    (_idmap, lambda ix: ix.remove(Reenter(lambda: ix.remove(3))), "Already borrowed"),
    (_idmap, lambda ix: ix.contains(Reenter(lambda: ix.remove(3))), "Already borrowed"),
    (_idmap, lambda ix: Reenter(lambda: ix.add_with_ids(Q[:1], IDS)) in ix, "Already borrowed"),
    (_idmap, lambda ix: ix.search(Q, Reenter(lambda: ix.add_with_ids(Q[:1], IDS), 3)), "Already borrowed"),
]


@pytest.mark.parametrize("factory, call, message", REENTRY)
def test_borrow_conflict_through_index(factory, call, message):
    index = factory()
    before = index.search(Q, 6)
    if message is None:
        call(index)  # shared accesses may overlap
    else:
        with pytest.raises(RuntimeError) as info:
            call(index)
        assert info.value.args == (message,)
    assert len(index) == 6
    for got, expected in zip(index.search(Q, 6), before):
        np.testing.assert_array_equal(got, expected)
    # Every access was released on the way out.
    if isinstance(index, SkerryIndex):
        index.add(Q)
    else:
        index.add_with_ids(Q[:1], IDS)
    assert len(index) > 6


def test_python_threads_share_an_index():
    # The lock stays held through every call, so plain arguments never meet a
    # borrow conflict and concurrent mutation cannot corrupt a search.
    data = vectors(300, 32)
    index = fill(SkerryIndex(32, 4), data)
    expected = index.search(data[:16], 5)
    errors = []

    def searcher():
        try:
            for _ in range(100):
                # Added copies tie with their originals, which keep the lead.
                scores, found = index.search(data[:16], 5)
                np.testing.assert_array_equal(found[:, 0], expected[1][:, 0])
                np.testing.assert_array_equal(scores[:, 0], expected[0][:, 0])
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    def mutator():
        try:
            for _ in range(100):
                index.add(data[:2])
                index.swap_remove(len(index) - 1)
                index.swap_remove(len(index) - 1)
        except BaseException as error:  # noqa: BLE001
            errors.append(error)

    threads = [threading.Thread(target=searcher) for _ in range(3)] + [threading.Thread(target=mutator)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == [] and len(index) == 300
