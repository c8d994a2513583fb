"""Counts heap allocations made by indicator calls.

Run by alloc.py in a child process with the counting shim preloaded. The shim
counts requests to the C library (malloc, operator new, PyMem_RawMalloc) and,
through hooks installed here, requests to the interpreter's allocators
(PyMem_Malloc, PyObject_Malloc), which pymalloc or, on the free-threaded
build, mimalloc serve without asking the C library for each block.

The loop that makes the calls allocates nothing of its own: it iterates over
itertools.repeat and passes a prebuilt argument tuple, so no int, tuple or
frame is created per call. Counting is switched on and off around two loops
of different lengths; the difference divided by the difference in length is
the count per call, free of the constant cost of switching.

Prints one JSON object on stdout.
"""

from __future__ import annotations

import ctypes
import json
import os
import sys
from itertools import repeat

import numpy as np

import quorvane as q

SHORT, LONG = 10, 1010


def shim(path: str) -> ctypes.PyDLL:
    # PyDLL: the calls keep the thread attached, which installing allocator
    # hooks requires; the library is the preloaded one, not a second copy.
    lib = ctypes.PyDLL(path)
    for name in ("malloc_count_allocations", "malloc_count_releases",
                 "malloc_count_python_allocations"):
        getattr(lib, name).restype = ctypes.c_long
    if lib.malloc_count_hook_python() != 0:
        raise SystemExit("could not hook the interpreter's allocators")
    return lib


def counted(lib: ctypes.PyDLL, fn, args: tuple, calls: int) -> tuple[int, int, int]:
    lib.malloc_count_start()
    for _ in repeat(None, calls):
        fn(*args)
    lib.malloc_count_stop()
    return (lib.malloc_count_allocations(), lib.malloc_count_python_allocations(),
            lib.malloc_count_releases())


def probe(lib: ctypes.PyDLL, fn, args: tuple, harness: tuple[int, int, int]) -> dict:
    # The first call's counts, less what switching counting on and off costs.
    first = [a - b for a, b in zip(counted(lib, fn, args, 1), harness)]
    for _ in range(5):
        fn(*args)
    short = counted(lib, fn, args, SHORT)
    long_ = counted(lib, fn, args, LONG)
    per_call = [(b - a) / (LONG - SHORT) for a, b in zip(short, long_)]
    return {"first_call_c": first[0], "first_call_python": first[1],
            "per_call_c": per_call[0], "per_call_python": per_call[1],
            "frees_per_call_c": per_call[2]}


def noop() -> None:
    return None


def main() -> None:
    lib = shim(sys.argv[1])
    n = 1000
    rng = np.random.default_rng(3)
    x = 100.0 + np.cumsum(rng.normal(0.0, 0.5, n))
    high, low = x + 0.5, x - 0.5
    o1, o2, o3 = (np.empty(n) for _ in range(3))
    cases = {
        "SMA": (q.indicator_sma, (10, x, o1)),
        "EMA": (q.indicator_ema, (10, x, o1)),
        "MACD": (q.indicator_macd, (5, 10, 4, x, o1, o2, o3)),
        "ATR": (q.indicator_atr, (10, high, low, x, o1)),
        # Controls: the harness must count nothing for a call that allocates
        # nothing, one object per call for bytes(64), and C-library requests
        # for os.getcwd (its buffer comes from PyMem_RawMalloc).
        "control: empty call": (noop, ()),
        "control: bytes(64)": (bytes, (64,)),
        "control: os.getcwd()": (os.getcwd, ()),
    }
    for _ in range(3):
        counted(lib, noop, (), 1)
    harness = counted(lib, noop, (), 0)
    print(json.dumps({name: probe(lib, fn, args, harness) for name, (fn, args) in cases.items()}))


if __name__ == "__main__":
    main()
