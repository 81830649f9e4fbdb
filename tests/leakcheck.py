"""Reference-count checks for the hot functions.

`assert_no_growth(fn)` calls `fn` in rounds, as CPython checks its own C
modules (`regrtest -R`): warm-up rounds fill caches and free lists, then
every measured round must not grow.  A leak grows every round by the same
amount, a cache that fills up does not.

- On a debug interpreter (`sys.gettotalrefcount`) the count of references
  is exact: growth by even one reference in every measured round fails.
- On a release interpreter the interpreter's allocated blocks (or, when
  Python's allocator is off, the memory tracemalloc traces) and the objects
  the collector tracks are counted: growth by half a block (or object) per
  call in every measured round fails, so one leaked object per call always
  shows, and nothing smaller than a call's worth of noise does.
"""
import array
import contextlib
import gc
import sys
import tracemalloc

DEBUG = hasattr(sys, "gettotalrefcount")
# Rounds of calls: (warm-up rounds, measured rounds, calls per round).
ROUNDS = (3, 3, 500) if DEBUG else (1, 4, 1_000)
# Python's allocator counts blocks; without it (PYTHONMALLOC=malloc, as under
# the sanitizers) tracemalloc measures the memory instead.
PYMALLOC = sys.getallocatedblocks() > 0
SMALLEST_OBJECT = 16  # bytes: a leaked object costs at least this much


@contextlib.contextmanager
def heap_set_aside():
    """Sets what is alive now (the test run's whole heap) aside from the
    collector until the block ends: collections and object counts inside
    it see only what the block made, and cost only that."""
    gc.freeze()
    try:
        yield
    finally:
        gc.unfreeze()


def _measure(samples, i):
    """Stores the counts after round `i` in `samples`, an array: storing them
    in Python objects would itself add references every round."""
    gc.collect()
    samples[3 * i] = sys.gettotalrefcount() if DEBUG else 0
    samples[3 * i + 1] = (sys.getallocatedblocks() if PYMALLOC
                          else tracemalloc.get_traced_memory()[0])
    samples[3 * i + 2] = len(gc.get_objects())


def assert_no_growth(fn, expect=None, rounds=ROUNDS, count_refs=True):
    """Call `fn` in rounds and fail when every measured round grows.

    `expect` is an exception class that every call must raise (for failure
    paths); the raised exception is dropped each time.  `count_refs=False`
    is for paths through numpy: its wheel is built for a release interpreter,
    so a debug one miscounts the references it takes and drops; there only
    memory and objects are judged.
    """
    warmup, measured, per_round = rounds

    def run_round():
        for _ in range(per_round):
            try:
                fn()
            except BaseException as e:  # noqa: B902 - judged just below
                if expect is None or not isinstance(e, expect):
                    raise
            else:
                if expect is not None:
                    raise AssertionError(f"{fn!r} did not raise {expect.__name__}")

    samples = array.array("q", bytes(8 * 3 * (measured + 1)))
    if not PYMALLOC:
        tracemalloc.start()
    try:
        with heap_set_aside():
            for _ in range(warmup):
                run_round()
            _measure(samples, 0)
            for i in range(1, measured + 1):
                run_round()
                _measure(samples, i)
    finally:
        if not PYMALLOC:
            tracemalloc.stop()
    refs, memory, objects = ([samples[3 * i + k] - samples[3 * (i - 1) + k]
                              for i in range(1, measured + 1)] for k in range(3))
    unit = 1 if PYMALLOC else SMALLEST_OBJECT
    if DEBUG and count_refs:
        assert not all(d >= 1 for d in refs), f"references grew by {list(refs)} per round"
    assert not all(d >= per_round * unit / 2 for d in memory), (
        f"{'allocated blocks' if PYMALLOC else 'traced bytes'} grew by {list(memory)} per round "
        f"of {per_round} calls")
    assert not all(d >= per_round / 2 for d in objects), (
        f"live objects grew by {list(objects)} per round of {per_round} calls")
