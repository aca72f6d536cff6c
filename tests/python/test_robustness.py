"""What a deployment trips on: fork after searching, Ctrl-C in long calls,
non-finite vectors and queries."""

import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import varnel
from conftest import fill, vectors
from varnel import IdMapIndex, PanicException, SkerryIndex

FORK_AFTER_SEARCH = textwrap.dedent(
    """
    import os, sys, numpy as np, varnel
    varnel.set_num_threads({threads})
    ix = varnel.SkerryIndex(64, 4)
    ix.add(np.random.default_rng(0).standard_normal((3000, 64), dtype=np.float32))
    q = np.ones((8, 64), np.float32)
    expected = ix.search(q, 5)
    pid = os.fork()
    if pid == 0:
        got = ix.search(q, 5)
        varnel.set_num_threads(3)
        again = ix.search(q, 5)
        ok = all(np.array_equal(a, b) for a, b in zip(expected + expected, got + again))
        sys.exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, status
    assert all(np.array_equal(a, b) for a, b in zip(expected, ix.search(q, 5)))
    print("ok")
    """
)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
@pytest.mark.parametrize("threads", [2, 3, 4, 8])
def test_a_forked_child_gets_a_pool_of_its_own(threads):
    run = subprocess.run(
        [sys.executable, "-c", FORK_AFTER_SEARCH.format(threads=threads)],
        capture_output=True, text=True, timeout=60,
    )
    assert run.returncode == 0 and run.stdout == "ok\n", run.stderr


FORK_DURING_QUERY = textwrap.dedent(
    """
    import os, sys, threading, time, numpy as np, varnel
    ix = varnel.SkerryIndex(128, 4)
    ix.add(np.random.default_rng(0).standard_normal((100_000, 128), dtype=np.float32))
    q = np.random.default_rng(1).standard_normal((20_000, 128), dtype=np.float32)
    expected = ix.search(q[:4], 5)
    worker = threading.Thread(target=lambda: ix.query(q, 10))  # runs without the interpreter lock
    worker.start()
    time.sleep(0.2)
    pid = os.fork()
    if pid == 0:
        got = ix.search(q[:4], 5)
        os._exit(0 if all(np.array_equal(a, b) for a, b in zip(expected, got)) else 1)
    _, status = os.waitpid(pid, 0)
    worker.join()
    assert os.waitstatus_to_exitcode(status) == 0, status
    print("ok")
    """
)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_fork_while_another_thread_searches():
    run = subprocess.run(
        [sys.executable, "-W", "ignore", "-c", FORK_DURING_QUERY],
        capture_output=True, text=True, timeout=120,
    )
    assert run.returncode == 0 and run.stdout == "ok\n", run.stderr


FORK_DURING_FIRST_QUERY = textwrap.dedent(
    """
    import os, signal, sys, threading, time, numpy as np, varnel
    # Loaded in a process that never built this shape: the first query builds
    # the codebook and rotation tables (about 0.1 s here) without the
    # interpreter lock, and the fork lands while it does.
    ix = varnel.SkerryIndex.load(sys.argv[1])
    q = np.ones((1, ix.dim), np.float32)
    worker = threading.Thread(target=lambda: ix.query(q, 1))
    worker.start()
    time.sleep(0.01)
    pid = os.fork()
    if pid == 0:
        signal.alarm(20)  # a child that waits for the parent's builder ends here
        os._exit(10 + int(ix.query(q, 1)[1][0, 0]))
    _, status = os.waitpid(pid, 0)
    worker.join()
    assert os.waitstatus_to_exitcode(status) == 10 + ix.query(q, 1)[1][0, 0], status
    print("ok")
    """
)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_fork_while_another_thread_builds_the_search_tables(tmp_path):
    index = SkerryIndex(8192, 2)
    index.add(vectors(2, 8192))
    index.write(tmp_path / "wide.vnix")
    run = subprocess.run(
        [sys.executable, "-W", "ignore", "-c", FORK_DURING_FIRST_QUERY, str(tmp_path / "wide.vnix")],
        capture_output=True, text=True, timeout=120,
    )
    assert run.returncode == 0 and run.stdout == "ok\n", run.stderr


FORK_DURING_CALLS = textwrap.dedent(
    """
    import os, sys, threading, time, numpy as np, varnel
    rng = np.random.default_rng(0)
    ix = varnel.IdMapIndex(128, 4)
    ix.add_with_ids(rng.standard_normal((1000, 128), dtype=np.float32), np.arange(1000, dtype=np.uint64))
    big = varnel.SkerryIndex(128, 4)
    big.add(rng.standard_normal((100_000, 128), dtype=np.float32))
    q = rng.standard_normal((20_000, 128), dtype=np.float32)
    more = rng.standard_normal((5000, 128), dtype=np.float32)
    expected = ix.search(q[:4], 5)
    # A long query without the interpreter lock, then a query of ix, or an add
    # to ix that waits (holding its borrow) for the pool the long query holds.
    calls = [lambda: big.query(q, 10)]
    if {with_writer}:
        calls.append(lambda: ix.add_with_ids(more, np.arange(1000, 6000, dtype=np.uint64)))
    else:
        calls.append(lambda: ix.query(q, 10))
    workers = [threading.Thread(target=call) for call in calls]
    for worker in workers:
        worker.start()
        time.sleep(0.05)
    pid = os.fork()
    if pid == 0:
        try:
            size = len(ix)
        except RuntimeError as e:  # a writer held the index when the process forked
            os._exit(0 if {with_writer} and "forked" in str(e) else 2)
        got = ix.search(q[:4], 5)
        if size == 6000:  # on a loaded machine the add may have finished before the fork
            os._exit(0 if {with_writer} else 3)
        os._exit(0 if size == 1000 and all(np.array_equal(a, b) for a, b in zip(expected, got)) else 1)
    _, status = os.waitpid(pid, 0)
    for worker in workers:
        worker.join()
    assert os.waitstatus_to_exitcode(status) == 0, status
    print("ok")
    """
)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
@pytest.mark.parametrize("with_writer", [False, True])
def test_a_forked_child_can_use_an_index_other_threads_were_using(with_writer):
    # Readers' borrows are dropped in the child; a writer's gives a clear
    # error there (the child's copy may be half-changed), never "Already borrowed".
    run = subprocess.run(
        [sys.executable, "-W", "ignore", "-c", FORK_DURING_CALLS.format(with_writer=with_writer)],
        capture_output=True, text=True, timeout=120,
    )
    assert run.returncode == 0 and run.stdout == "ok\n", run.stderr


SIGNAL_HANDLER_CALLS_VARNEL = textwrap.dedent(
    """
    import signal, numpy as np, varnel
    rng = np.random.default_rng(0)
    ix = varnel.SkerryIndex(128, 4)
    ix.add(rng.standard_normal((100_000, 128), dtype=np.float32))
    other = varnel.SkerryIndex(128, 4)
    other.add(rng.standard_normal((100, 128), dtype=np.float32))
    q = rng.standard_normal((2_000, 128), dtype=np.float32)
    expected = ix.query(q, 10)
    handlers = {{"threads": lambda *a: varnel.num_threads(),
                "search": lambda *a: other.search(q[:2], 5)}}
    signal.signal(signal.SIGALRM, handlers["{handler}"])
    signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
    for method in (ix.query, ix.search):
        try:
            got = method(q, 10)
            assert all(np.array_equal(a, b) for a, b in zip(expected, got))
        except RuntimeError as e:  # a re-entrant call that would have to wait for itself
            assert "signal handler" in str(e), e
    signal.setitimer(signal.ITIMER_REAL, 0)
    print("ok")
    """
)


@pytest.mark.parametrize("handler", ["threads", "search"])
def test_a_signal_handler_calling_varnel_during_a_long_call_never_hangs(handler):
    run = subprocess.run(
        [sys.executable, "-c", SIGNAL_HANDLER_CALLS_VARNEL.format(handler=handler)],
        capture_output=True, text=True, timeout=120,
    )
    assert run.returncode == 0 and run.stdout == "ok\n", run.stderr


@pytest.fixture
def alarm_raises_keyboard_interrupt():
    """SIGALRM after `seconds` raises KeyboardInterrupt, as Ctrl-C would.

    The kernel delivers the signal, so it arrives even while the call holds
    the interpreter lock."""
    def raise_interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, raise_interrupt)
    yield lambda seconds: signal.setitimer(signal.ITIMER_REAL, seconds)
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("cls", [SkerryIndex, IdMapIndex])
def test_ctrl_c_stops_a_long_search_and_keeps_the_index(cls, alarm_raises_keyboard_interrupt):
    index = fill(cls(128, 4), vectors(100_000, 128))
    probe = vectors(3, 128, seed=1)
    before = index.search(probe, 10)
    queries = vectors(40_000, 128, seed=2)  # seconds of work on two cores
    alarm_raises_keyboard_interrupt(0.1)
    with pytest.raises(KeyboardInterrupt):
        index.search(queries, 10)
    assert len(index) == 100_000
    after = index.search(probe, 10)
    assert all(np.array_equal(a, b) for a, b in zip(before, after))


BAD_VALUES = [np.nan, np.inf, -np.inf, 3e38]


@pytest.mark.parametrize("bad", BAD_VALUES)
@pytest.mark.parametrize("bits", [2, 4])
def test_non_finite_vectors_are_refused_and_nothing_changes(bits, bad):
    index = fill(SkerryIndex(16, bits), vectors(10, 16))
    before = index.search(vectors(2, 16, seed=3), 4)
    batch = vectors(6, 16, seed=4)
    batch[4, 7] = bad
    batch[5, 0] = bad
    with pytest.raises(PanicException, match="^vector 4 of the batch has a NaN or infinite value"):
        index.add(batch)
    assert len(index) == 10
    after = index.search(vectors(2, 16, seed=3), 4)
    assert all(np.array_equal(a, b) for a, b in zip(before, after))


def test_non_finite_vectors_with_ids_leave_the_ids_free():
    index = IdMapIndex(16, 3)
    batch = vectors(3, 16)
    batch[1, 2] = np.nan
    with pytest.raises(PanicException, match="^vector 1 of the batch"):
        index.add_with_ids(batch, np.array([7, 8, 9], np.uint64))
    assert len(index) == 0 and 8 not in index
    index.add_with_ids(vectors(3, 16), np.array([7, 8, 9], np.uint64))
    assert len(index) == 3


@pytest.mark.parametrize("bad", BAD_VALUES)
@pytest.mark.parametrize("cls", [SkerryIndex, IdMapIndex])
def test_non_finite_queries_are_refused(cls, bad):
    index = fill(cls(16, 3), vectors(10, 16))
    queries = vectors(3, 16)
    queries[2, 5:7] = bad  # two of 3e38: the norm overflows float32
    with pytest.raises(PanicException, match="^query 2 has a NaN or infinite value"):
        index.search(queries, 3)
