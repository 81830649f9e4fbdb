"""Peak memory of one call and the size of what it holds, shared by the
benchmark report and the bulk-memory tests."""
import gc
import sys
import tracemalloc


def deep_size(obj):
    """The bytes a result holds: the container and each distinct item."""
    seen, total = set(), sys.getsizeof(obj)
    for item in obj:
        if id(item) not in seen:
            seen.add(id(item))
            total += sys.getsizeof(item)
    return total


def peak_of(fn, *args):
    """`fn(*args)` and the most memory it had allocated at once, in bytes."""
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        result = fn(*args)
        peak = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    return result, peak
