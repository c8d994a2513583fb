"""The module reads NumPy's structures and C-API table without NumPy's
headers; bindings/numpy_layout.hpp says what it assumes. Checked here against
the headers of the NumPy installed on this leg (1.x or 2.x), compiled with
the leg's C++ compiler."""

import ctypes
import os
import subprocess
import sysconfig

import numpy as np
import pytest

from conftest import build_flags, cxx_command

TESTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS)
PROBE = os.path.join(TESTS, "harness", "numpy_layout_probe.cpp")
TABLE = os.path.join(ROOT, "bindings", "numpy_layout.hpp")


class Row(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("ours", ctypes.c_longlong),
                ("numpy", ctypes.c_longlong)]


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    if not all(map(os.path.exists, [PROBE, TABLE, os.path.join(ROOT, "cxx-flags.txt")])):
        pytest.skip("needs the source tree")
    compiler = cxx_command()
    if compiler is None:
        pytest.skip("no C++ compiler for this interpreter here")
    python_include = sysconfig.get_paths()["include"]
    numpy_include = np.get_include()
    if not os.path.exists(os.path.join(python_include, "Python.h")):
        pytest.skip(f"no Python headers in {python_include}")
    if not os.path.exists(os.path.join(numpy_include, "numpy", "arrayobject.h")):
        pytest.skip(f"no NumPy headers in {numpy_include}")
    folder = tmp_path_factory.mktemp("numpy_layout")
    # Whether the compiler builds for this interpreter at all (a cross leg's
    # interpreter may come without one that does).
    check = folder / "check.cpp"
    check.write_text("#include <Python.h>\nextern \"C\" int probe_check() { return 0; }\n")
    includes = ["-I" + python_include, "-I" + numpy_include, "-I" + os.path.join(ROOT, "bindings")]
    result = subprocess.run([*compiler, *includes, "-fPIC", "-shared", str(check),
                             "-o", str(folder / "check.so")],
                            capture_output=True, text=True, timeout=300)
    if result.returncode != 0:
        pytest.skip(f"{' '.join(compiler)} cannot build against this interpreter's headers: "
                    f"{result.stderr.strip()[:300]}")
    target = folder / "numpy_layout_probe.so"
    # No -Werror: NumPy's headers are not ours to keep free of warnings.
    result = subprocess.run([*compiler, *build_flags("language", "warnings"), *includes,
                             "-fPIC", "-shared", PROBE, "-o", str(target)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    library = ctypes.CDLL(str(target))
    library.probe_rows.restype = ctypes.POINTER(Row)
    library.probe_rows.argtypes = [ctypes.POINTER(ctypes.c_int)]
    library.probe_numpy_major.restype = ctypes.c_int
    count = ctypes.c_int(0)
    rows = library.probe_rows(ctypes.byref(count))
    table = {rows[i].name.decode(): (rows[i].ours, rows[i].numpy) for i in range(count.value)}
    return library.probe_numpy_major(), table


def test_the_headers_are_those_of_the_numpy_in_use(probe):
    major, _ = probe
    assert major == int(np.__version__.split(".")[0])


def test_every_entry_of_the_table_matches_numpy(probe):
    major, table = probe
    expected = {"slot PyArray_Type", "slot PyArray_DescrFromType", "slot PyArray_EquivTypes",
                "slot PyArray_GetNDArrayCFeatureVersion", "NPY_DOUBLE", "NPY_ARRAY_WRITEABLE",
                "array data", "array nd", "array dimensions", "array strides", "array base",
                "array descr", "array flags", "1.x descr elsize"}
    if major >= 2:
        expected |= {"NPY_2_0_API_VERSION", "2.x descr elsize", "2.x descr flags"}
    assert expected <= set(table)
    mismatches = {name: values for name, values in table.items() if values[0] != values[1]}
    assert not mismatches, f"(ours, NumPy's): {mismatches}"
