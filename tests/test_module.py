import importlib
import inspect
import sys

import pytest

import quorvane
from conftest import FREE_THREADED, run_python

NAMES = ["indicator_sma", "indicator_ema", "indicator_macd", "indicator_atr"]
SIGNATURES = {
    "indicator_sma": "(period, data, output)",
    "indicator_ema": "(period, data, output)",
    "indicator_macd": "(fast_period, slow_period, signal_period, data, macd_output, "
    "signal_output, hist_output)",
    "indicator_atr": "(period, high, low, close, output)",
}


def test_reimport_gives_the_same_module_and_functions():
    functions = [getattr(quorvane, name) for name in NAMES]
    del sys.modules["quorvane"]
    again = importlib.import_module("quorvane")
    assert again is quorvane
    assert [getattr(again, name) for name in NAMES] == functions
    assert all(getattr(again, n) is f for n, f in zip(NAMES, functions))


def test_module_attributes_are_exactly_the_declared_ones():
    assert quorvane.__all__ == NAMES
    assert type(quorvane.__all__) is list
    assert quorvane.__doc__ == ""
    assert quorvane.__name__ == "quorvane"
    standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert set(vars(quorvane)) == standard | {"__all__"} | set(NAMES)


@pytest.mark.parametrize("name", NAMES)
def test_function_surface(name):
    function = getattr(quorvane, name)
    assert function.__name__ == name
    assert function.__doc__ is None
    assert function.__text_signature__ == SIGNATURES[name]
    assert str(inspect.signature(function)) == SIGNATURES[name]
    assert function.__module__ == "quorvane"
    assert function.__self__ is quorvane
    kinds = {p.kind for p in inspect.signature(function).parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


@pytest.mark.skipif(not FREE_THREADED, reason="only the free-threaded build can run without the GIL")
@pytest.mark.parametrize(
    ("env", "gil_enabled", "warned"),
    [({}, True, True), ({"PYTHON_GIL": "0"}, False, False)],
)
def test_module_declares_that_it_needs_the_gil(env, gil_enabled, warned):
    result = run_python(
        """
        import sys, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import quorvane
        print(sys._is_gil_enabled())
        for warning in caught:
            print(warning.category.__name__, warning.message)
        """,
        env=env,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == str(gil_enabled)
    runtime_warnings = [line for line in lines[1:] if line.startswith("RuntimeWarning")]
    if warned:
        assert len(runtime_warnings) == 1
        assert "'quorvane'" in runtime_warnings[0]
    else:
        assert runtime_warnings == []


def test_the_only_exported_symbol_is_the_entry_point():
    import shutil
    import subprocess

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("needs nm")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", quorvane.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_quorvane"]
