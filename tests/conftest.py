import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

NAN_BITS = 0x7FF8000000000000


def bits(values):
    """The doubles' bit patterns, so that -0.0 and NaN payloads count."""
    return np.ascontiguousarray(values, dtype=np.float64).view(np.uint64).tolist()


def run_python(code, env=None, **kwargs):
    """Run `code` in a fresh interpreter of the one running the tests."""
    full_env = dict(os.environ)
    full_env.pop("PYTHON_GIL", None)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=120,
        **kwargs,
    )


FREE_THREADED = bool(__import__("sysconfig").get_config_var("Py_GIL_DISABLED"))


@pytest.fixture
def registry():
    import quorvane
    from registry_table import Registry

    # Make sure the module has published (or found) the registry.
    quorvane.indicator_sma(1, np.zeros(1), np.zeros(1))
    return Registry()
