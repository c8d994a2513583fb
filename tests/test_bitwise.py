"""The same bits on every platform: generated cases whose outputs' SHA-256
digests were recorded on x86_64 (tests/bitwise_digests.txt) and are checked
wherever the suite runs, 32-bit x86 with musl included.

The inputs are made from integers alone (a SplitMix64 sequence turned into
doubles by exact operations or bit patterns), so they are the same bits on
every platform, whatever its C library or NumPy build.

After a deliberate change of results, rewrite the file on x86_64 with
    python tests/test_bitwise.py
"""

import hashlib
import math
import os
import struct

import numpy as np
import pytest

import quorvane

DIGESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bitwise_digests.txt")
MASK = (1 << 64) - 1
MAX_PERIOD = 4294967295


def splitmix64(seed):
    state = seed & MASK
    while True:
        state = (state + 0x9E3779B97F4A7C15) & MASK
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        yield z ^ (z >> 31)


def to_bits(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


# As bit patterns: a Python float cannot carry a signalling NaN everywhere
# (on 32-bit x86 a double returned from a C function passes the x87 stack,
# which quiets it).
SPECIALS = [
    0x7FF8000000000000, 0xFFF8000000000000,  # NaN, -NaN
    0x7FF800000000BEEF,  # a quiet NaN with a payload
    0x7FF0000000000001, 0x7FF4000000000000,  # signalling NaNs
    to_bits(float("inf")), to_bits(float("-inf")), to_bits(0.0), to_bits(-0.0),
    to_bits(1.7976931348623157e308), to_bits(-1.7976931348623157e308), to_bits(1.3e308),
    to_bits(5e-324), to_bits(-2.2250738585072e-310), to_bits(2.2250738585072014e-308),
]


def series(kind, n, seed):
    """The bit patterns of n doubles of a kind, from the integer sequence
    seeded with `seed`."""
    numbers = splitmix64(seed)
    if kind == "walk":
        # A price walk in steps of 1/1024: every value exact.
        level, out = 100 * 1024, []
        for _ in range(n):
            level = max(1, level + int(next(numbers) % 2049) - 1024)
            out.append(to_bits(level / 1024))
        return out
    if kind == "scaled":
        # Prices of every magnitude: a 53-bit mantissa times a power of two.
        return [
            to_bits(math.ldexp(next(numbers) >> 11, int(next(numbers) % 120) - 100)
                    * (-1 if next(numbers) & 1 else 1))
            for _ in range(n)
        ]
    if kind == "special":
        # The walk with one value in four replaced by a special value.
        out = series("walk", n, seed)
        for i in range(n):
            pick = next(numbers)
            if pick % 4 == 0:
                out[i] = SPECIALS[(pick >> 8) % len(SPECIALS)]
        return out
    if kind == "bits":
        # Any 64-bit pattern: NaNs of every payload, subnormals, infinities.
        return [next(numbers) for _ in range(n)]
    raise ValueError(kind)


KINDS = ["walk", "scaled", "special", "bits"]
LENGTHS = [0, 1, 2, 3, 7, 40, 300]
PERIODS = [0, 1, 2, 3, 5, 12, 26, 41, MAX_PERIOD]
MACD_PERIODS = [(2, 3, 2), (3, 5, 4), (12, 26, 9), (1, 2, 1), (5, 5, 3), (0, 3, 2), (4, 3, 2),
                (2, 40, 7), (3, 7, MAX_PERIOD)]


def array(patterns):
    return np.array(patterns, dtype=np.uint64).view(np.float64)


def outcome(call, outputs):
    """The bytes of the outputs, or the exception the call raised."""
    try:
        call()
    except (ValueError, TypeError, OverflowError) as error:
        return f"{type(error).__name__}: {error}".encode()
    return b"".join(out.tobytes() for out in outputs)


def case_outputs(indicator, kind, n):
    """{case name: bytes} for one indicator over one kind and length."""
    seed = (KINDS.index(kind) << 32) | (n << 8) | ["sma", "ema", "macd", "atr"].index(indicator)
    data = array(series(kind, n, seed))
    results = {}
    if indicator in ("sma", "ema"):
        function = getattr(quorvane, f"indicator_{indicator}")
        for period in PERIODS:
            out = np.full(n, 12345.0)
            results[f"{indicator} {kind} n={n} period={period}"] = outcome(
                lambda: function(period, data, out), [out])
    elif indicator == "macd":
        for fast, slow, signal in MACD_PERIODS:
            outs = [np.full(n, 12345.0) for _ in range(3)]
            results[f"macd {kind} n={n} periods={fast},{slow},{signal}"] = outcome(
                lambda: quorvane.indicator_macd(fast, slow, signal, data, *outs), outs)
    else:
        # High, low and close from one sequence each.
        high = data
        low = array(series(kind, n, seed ^ 0x5555))
        close = array(series(kind, n, seed ^ 0xAAAA))
        for period in PERIODS:
            out = np.full(n, 12345.0)
            results[f"atr {kind} n={n} period={period}"] = outcome(
                lambda: quorvane.indicator_atr(period, high, low, close, out), [out])
    return results


GROUPS = [(indicator, kind, n) for indicator in ("sma", "ema", "macd", "atr")
          for kind in KINDS for n in LENGTHS]


def all_digests():
    digests = {}
    for group in GROUPS:
        for name, data in case_outputs(*group).items():
            digests[name] = hashlib.sha256(data).hexdigest()
    return digests


def recorded_digests():
    with open(DIGESTS, encoding="utf-8") as file:
        lines = [line.rstrip("\n") for line in file if line.strip() and not line.startswith("#")]
    return dict(line.rsplit(" ", 1) for line in lines)


@pytest.fixture(scope="module")
def recorded():
    return recorded_digests()


def test_every_generated_case_is_recorded(recorded):
    assert sorted(set(recorded) - {"inputs"}) == sorted(all_digests())


@pytest.mark.parametrize("indicator, kind, n", GROUPS)
def test_outputs_are_the_recorded_bits(recorded, indicator, kind, n):
    wrong = [name for name, data in case_outputs(indicator, kind, n).items()
             if hashlib.sha256(data).hexdigest() != recorded.get(name)]
    assert wrong == []


def test_inputs_are_the_same_bits_everywhere():
    # The generator itself, pinned: the digests mean nothing if it drifts.
    sample = b"".join(array(series(kind, 50, 7)).tobytes() for kind in KINDS)
    assert hashlib.sha256(sample).hexdigest() == recorded_digests()["inputs"]


def write_digests():
    digests = all_digests()
    sample = b"".join(array(series(kind, 50, 7)).tobytes() for kind in KINDS)
    digests["inputs"] = hashlib.sha256(sample).hexdigest()
    with open(DIGESTS, "w", encoding="utf-8") as file:
        file.write("# SHA-256 of each generated case's outputs, recorded on x86_64 by\n"
                   "# python tests/test_bitwise.py; checked by tests/test_bitwise.py.\n")
        for name in sorted(digests):
            file.write(f"{name} {digests[name]}\n")


if __name__ == "__main__":
    write_digests()
