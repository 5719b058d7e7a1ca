"""The worker pools every native module uses (src/domain/workers.h, and the
OpenMP loop of src/domain/openmp.h), through the test-only _workerscheck
extension: a failing worker becomes an exception on the caller, every worker
is joined first, and Ctrl-C stops them. Each case runs in its own interpreter,
since the fault it guards against ends the process."""

import pytest

# a call with a failing item, what it raises, and the same call with none failing
FAILURES = {
    "c++": ("items(64, 4, fail_at=37)", "RuntimeError item 37 failed", "items(64, 4)"),
    "python": ("items(64, 4, fail_at=5, callback=refuse)", "KeyError 'item 5'", "items(64, 4)"),
    "one thread": ("items(8, 1, fail_at=3)", "RuntimeError item 3 failed", "items(8, 1)"),
    "openmp": ("omp_items(64, fail_at=11)", "RuntimeError item 11 failed", "omp_items(64)"),
}


@pytest.mark.parametrize("case", FAILURES)
def test_a_failing_worker_raises_on_the_caller_after_all_are_joined(isolated, case):
    failing, raised, working = FAILURES[case]
    out = isolated(f"""
        import _workerscheck

        def refuse(i):
            raise KeyError(f"item {{i}}")

        try:
            _workerscheck.{failing}
        except Exception as e:
            print(type(e).__name__, e, "/ still running:", _workerscheck.busy())
        _workerscheck.{working}
        print(_workerscheck.begun())
    """)
    n = working.split("(")[1].split(",")[0].rstrip(")")
    assert out.splitlines() == [f"{raised} / still running: 0", n]


@pytest.mark.parametrize("threads", [4, 1])
def test_ctrl_c_stops_the_workers(isolated, threads):
    out = isolated(f"""
        import os, signal, threading, time
        import _workerscheck

        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            _workerscheck.items(2000, {threads}, sleep_ms=10)
        except KeyboardInterrupt:
            print("interrupted", _workerscheck.begun() < 2000, _workerscheck.busy())
    """)
    assert out.split() == ["interrupted", "True", "0"]
