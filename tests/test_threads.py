"""Calls from many threads at once: shared inputs, own outputs. On the
free-threaded build these run with the GIL disabled."""

import os

from conftest import FREE_THREADED, run_python

CODE = """
import sys, threading
sys.path.insert(0, TESTS)
import numpy as np
import quorvane
from registry_table import Registry, multiarray, ATTRIBUTE

THREADS, ROUNDS = 8, 200
rng = np.random.default_rng(7)
close = rng.normal(100, 5, 3000).cumsum() / 30
high, low = close + 1.0, close - 1.0
close[::97] = np.nan
barrier = threading.Barrier(THREADS)

def run_all(outputs):
    quorvane.indicator_sma(20, close, outputs[0])
    quorvane.indicator_ema(20, close, outputs[1])
    quorvane.indicator_macd(12, 26, 9, close, outputs[2], outputs[3], outputs[4])
    quorvane.indicator_atr(14, high, low, close, outputs[5])

results = [None] * THREADS
def worker(index):
    outputs = [np.empty_like(close) for _ in range(6)]
    barrier.wait()  # the first use of the process happens in all threads at once
    for _ in range(ROUNDS):
        run_all(outputs)
    results[index] = [o.tobytes() for o in outputs]

threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
for t in threads: t.start()
for t in threads: t.join()

serial = [np.empty_like(close) for _ in range(6)]
run_all(serial)
assert all(r == [o.tobytes() for o in serial] for r in results)
registry = Registry()
assert getattr(multiarray(), ATTRIBUTE) is registry.capsule
for array in (close, high, low):
    assert registry.acquire_exclusive(array) == 0
    registry.release_exclusive(array)
print("ok", sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True)
"""


def test_concurrent_calls_agree_with_the_serial_run_and_leave_no_borrow():
    tests = os.path.dirname(os.path.abspath(__file__))
    env = {"PYTHON_GIL": "0"} if FREE_THREADED else {}
    result = run_python(CODE.replace("TESTS", repr(tests)), env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ok", "False" if FREE_THREADED else "True"]
