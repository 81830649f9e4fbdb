"""Plain-Python versions of the hot functions of vantropy._brevix and
vantropy._quarnel, written the way a user without the native core would:
the same host-package helpers, the same calls on host objects, and the
solver library reached through ctypes.  The benchmarks time them against
the native functions, and tests/test_pyref_baseline.py keeps their results
equal to the native ones."""
