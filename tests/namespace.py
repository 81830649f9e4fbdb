"""Rebinding and removing names in a native module's namespace for the
duration of a test block, always restored, with the namespace's order kept."""
import contextlib

_MISSING = object()


@contextlib.contextmanager
def rebound(module, **names):
    """Binds each name in `module` for the duration of the block."""
    ns = vars(module)
    saved = {name: ns.get(name, _MISSING) for name in names}
    ns.update(names)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is _MISSING:
                ns.pop(name, None)
            else:
                ns[name] = value


@contextlib.contextmanager
def unbound(module, name):
    """Removes a module-level name for the duration of the block; the
    namespace keeps its order afterwards."""
    ns = vars(module)
    order = list(ns)
    saved = ns.pop(name)
    try:
        yield
    finally:
        ns[name] = saved
        for later in order[order.index(name) + 1:]:
            if later in ns:
                ns[later] = ns.pop(later)
