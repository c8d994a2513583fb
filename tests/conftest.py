import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
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


def cxx_command():
    """The C++ compiler for helpers loaded into the interpreter under test, as
    a command list, or None. QUORVANE_TEST_CXX names it when set; otherwise the
    one the interpreter was built with (a cross-built interpreter's headers
    need its own compiler), and g++ when that is not on this machine."""
    for text in (os.environ.get("QUORVANE_TEST_CXX"), sysconfig.get_config_var("CXX"), "g++"):
        command = shlex.split(text or "")
        if command and shutil.which(command[0]):
            return command
    return None


FLAGS_FILE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                          "cxx-flags.txt")


def build_flags(*groups):
    """The project's compiler flags of these groups of cxx-flags.txt, in the
    order given: what CMakeLists.txt builds the module with."""
    table = {}
    with open(FLAGS_FILE, encoding="utf-8") as file:
        for line in file:
            name, colon, flags = line.partition(":")
            if colon and not name.startswith("#"):
                table[name.strip()] = shlex.split(flags)
    return [flag for group in groups for flag in table[group]]


FREE_THREADED = bool(__import__("sysconfig").get_config_var("Py_GIL_DISABLED"))


@pytest.fixture
def registry():
    import quorvane
    from registry_table import Registry

    # Make sure the module has published (or found) the registry.
    quorvane.indicator_sma(1, np.zeros(1), np.zeros(1))
    return Registry()
