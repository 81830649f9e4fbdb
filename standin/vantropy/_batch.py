"""Batch requests.

A batch request is submitted through an environment; `_cenv` is that
environment's handle, or None when no environment could be had.  It is a
plain attribute so that callers may replace it.
"""


class Batch:
    def __init__(self, source=None):
        # A model or an environment: both carry the environment handle.
        self._cenv = None if source is None else source._cenv

    def __repr__(self):
        state = "no environment" if self._cenv is None else "ready"
        return f"<vantropy.Batch {state}>"
