"""Error values on paths the module functions cannot reach, through a
test-only extension built from the same sources, and the fault report."""

import importlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig

import numpy as np
import pytest

import quorvane

from conftest import build_flags, cxx_command, run_python

TESTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS)
SOURCES = ["bindings/errors.cpp", "bindings/binding.cpp", "bindings/text.cpp",
           "bindings/memory.cpp", "quorvane-core/src/fault.cpp"]


@pytest.fixture(scope="module")
def harness(tmp_path_factory):
    compiler = cxx_command()
    if compiler is None or not all(os.path.exists(os.path.join(ROOT, s))
                                   for s in [*SOURCES, "cxx-flags.txt"]):
        pytest.skip("needs a C++ compiler and the source tree")
    target = tmp_path_factory.mktemp("harness") / ("error_harness" + sysconfig.get_config_var("EXT_SUFFIX"))
    command = [
        *compiler, *build_flags("language", "warnings", "werror", "floating-point"), "-O1",
        "-fPIC", "-shared",
        "-I" + sysconfig.get_paths()["include"], "-I" + os.path.join(ROOT, "bindings"),
        "-I" + os.path.join(ROOT, "quorvane-core", "include"),
        os.path.join(TESTS, "harness", "error_harness.cpp"),
        *(os.path.join(ROOT, s) for s in SOURCES), "-o", str(target),
    ]
    subprocess.run(command, check=True, capture_output=True)
    sys.path.insert(0, str(target.parent))
    try:
        return importlib.import_module("error_harness")
    finally:
        sys.path.remove(str(target.parent))


@pytest.mark.parametrize("not_a_class", [int, 42, None, type])
def test_deferred_error_whose_class_is_no_exception_class(harness, not_a_class):
    with pytest.raises(TypeError) as caught:
        harness.raise_deferred(not_a_class, "text")
    assert type(caught.value) is TypeError
    assert caught.value.args == ("exceptions must derive from BaseException",)


@pytest.mark.parametrize("cls", [ValueError, KeyError, OverflowError, KeyboardInterrupt])
def test_deferred_error_raises_its_class_with_the_message_alone(harness, cls):
    with pytest.raises(cls) as caught:
        harness.raise_deferred(cls, "m\u00e9ssage")
    assert type(caught.value) is cls
    assert caught.value.args == ("m\u00e9ssage",)
    assert caught.value.__cause__ is None


def test_materialised_error_is_an_instance_of_exactly_its_class(harness):
    instance = harness.materialise(ValueError, "late")
    assert type(instance) is ValueError
    assert instance.args == ("late",)


def test_fetch_with_nothing_pending_is_a_system_error(harness):
    with pytest.raises(SystemError) as caught:
        harness.fetch_with_nothing_pending()
    assert caught.value.args == ("attempted to fetch exception but none was set",)


class Outer:
    class Inner:
        pass


def test_conversion_error_uses_the_qualified_type_name(harness):
    with pytest.raises(TypeError) as caught:
        harness.raise_conversion(Outer.Inner(), "target")
    assert caught.value.args == ("'Outer.Inner' object cannot be converted to 'target'",)


FAULT = """
import ctypes, sys, threading
sys.path.insert(0, %r)
import numpy as np, quorvane
from registry_table import Registry
libc = ctypes.CDLL(None)
libc.pthread_self.restype = ctypes.c_void_p
libc.pthread_setname_np.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
quorvane.indicator_sma(1, np.zeros(1), np.zeros(1))
def fault(native_name):
    libc.pthread_setname_np(libc.pthread_self(), native_name)
    Registry().release_shared(np.zeros(3))
t = threading.Thread(target=fault, args=(NAME,))
t.start()
t.join()
print("still alive")
""" % TESTS


@pytest.mark.parametrize(("native_name", "shown"), [(b"worker-7", "worker-7"), (b"", "<unnamed>")])
@pytest.mark.parametrize("backtrace", [False, True])
def test_internal_fault_report(native_name, shown, backtrace):
    env = {"QUORVANE_BACKTRACE": "1"} if backtrace else {"QUORVANE_BACKTRACE": ""}
    result = run_python(FAULT.replace("NAME", repr(native_name)), env=env)
    assert result.returncode == -6  # SIGABRT, nothing unwound
    assert "still alive" not in result.stdout
    lines = result.stderr.splitlines()
    first = next(i for i, line in enumerate(lines) if line.startswith("quorvane: internal fault"))
    report = "\n".join(lines[first:])
    assert f"thread '{shown}'" in lines[first]
    assert "registry.cpp:" in lines[first] and lines[first].endswith(":")
    assert lines[first + 1].startswith("release of a shared borrow")
    if backtrace:
        assert "QUORVANE_BACKTRACE" not in report
    else:
        assert "QUORVANE_BACKTRACE=1" in report


MODULE_FRAME = re.compile(r"\((?P<path>[^()]*quorvane[^()/]*\.so)\+0x(?P<offset>[0-9a-f]+)\)$")


def test_backtrace_offsets_resolve_to_functions_and_lines():
    module = os.path.realpath(quorvane.__file__)
    debug_file = re.sub(r"\.so$", ".debug", module)
    with open(module, "rb") as f:
        if b".gnu_debuglink" not in f.read():
            pytest.skip("the module was built without a separate debug file (QUORVANE_DEBUG_FILE)")
    assert os.path.exists(debug_file), "the module names a debug file that was not installed"
    addr2line = shutil.which("addr2line")
    if addr2line is None:
        pytest.skip("needs addr2line (binutils)")

    result = run_python(FAULT.replace("NAME", repr(b"worker")), env={"QUORVANE_BACKTRACE": "1"})
    assert result.returncode == -6
    frames = [m for line in result.stderr.splitlines() if (m := MODULE_FRAME.search(line))]
    assert frames, result.stderr
    assert {os.path.realpath(m["path"]) for m in frames} == {module}
    # The offsets are return addresses: the call itself is the byte before.
    calls = [hex(int(m["offset"], 16) - 1) for m in frames]
    resolved = subprocess.run([addr2line, "-f", "-C", "-e", module, *calls],
                              capture_output=True, text=True, check=True).stdout
    assert "??" not in resolved, resolved
    assert "quorvane::report_fault" in resolved
    assert "quorvane-core/src/fault.cpp:" in resolved
    assert "release_shared" in resolved and "bindings/registry.cpp:" in resolved
