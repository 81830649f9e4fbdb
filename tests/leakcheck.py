"""Reference-count checks for the hot functions.

`assert_no_growth(fn)` calls `fn` many times and fails when the interpreter's
allocated blocks or the live objects tracked by the collector keep growing:
a leaked reference shows up as one block per call, far above the slack.
"""
import gc
import os
import sys
import tracemalloc

# Under the sanitizer build every call is several times slower; a leak still
# shows up as one block per call, so far fewer calls are enough there.
SANITIZED = os.environ.get("VANTROPY_SANITIZED") == "1"
CALLS = 5_000 if SANITIZED else 100_000


def _snapshot():
    gc.collect()
    return sys.getallocatedblocks(), len(gc.get_objects())


def assert_no_growth(fn, calls=CALLS, expect=None, slack_blocks=200, slack_objects=50):
    """Run `fn` `calls` times and fail on growth of memory or live objects.

    `expect` is an exception class that every call must raise (for failure
    paths); the raised exception is dropped each time.
    """

    def once():
        if expect is None:
            fn()
            return
        try:
            fn()
        except expect:
            return
        raise AssertionError(f"{fn!r} did not raise {expect.__name__}")

    for _ in range(min(1000, calls // 5)):  # warm caches, interned strings, free lists
        once()
    blocks0, objects0 = _snapshot()
    tracemalloc.start()
    try:
        traced0 = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            once()
        gc.collect()
        traced1 = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    blocks1, objects1 = _snapshot()
    assert blocks1 - blocks0 <= slack_blocks, f"allocated blocks grew by {blocks1 - blocks0}"
    assert objects1 - objects0 <= slack_objects, f"live objects grew by {objects1 - objects0}"
    assert traced1 - traced0 <= 64 * 1024, f"traced memory grew by {traced1 - traced0} bytes"
