"""Plain Python versions of what the native modules do, and stand-ins for their
collaborators: the tests check the modules against them, the benchmarks time
the modules against them.

The tests import this package as `reference` (tests/ is on their path); the
benchmarks, run from the repository root, as `tests.reference`.
"""
