"""The quorvane-stubs package: shipped in the wheel, in step with the module,
and precise enough for mypy to accept correct calls and report wrong ones."""

import ast
import importlib.metadata
import inspect
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quorvane

STUB_FILE = "quorvane-stubs/__init__.pyi"

# One right value per parameter kind, and wrong ones that mypy must report.
GOOD_PERIOD = "3"
GOOD_ARRAY = "arr"
WRONG_VALUES = {
    "period": ["3.0", "'3'", "None"],
    "array": ["ints", "[1.0, 2.0]", "float32s"],
}


def is_period(name):
    return name == "period" or name.endswith("_period")


def parameter_names(function):
    return list(inspect.signature(function).parameters)


def call(name, arguments):
    return f"quorvane.{name}({', '.join(arguments)})"


@pytest.fixture(scope="module")
def stub_path():
    for file in importlib.metadata.files("quorvane") or ():
        if file.as_posix() == STUB_FILE:
            return Path(file.locate())
    pytest.fail(f"the installed quorvane distribution has no {STUB_FILE}")


@pytest.fixture(scope="module")
def stub_functions(stub_path):
    tree = ast.parse(stub_path.read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_stub_all_matches_module(stub_path):
    tree = ast.parse(stub_path.read_text(encoding="utf-8"))
    assigned = [
        node.value
        for node in tree.body
        if isinstance(node, ast.Assign)
        and any(isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets)
    ]
    assert len(assigned) == 1
    assert ast.literal_eval(assigned[0]) == quorvane.__all__


@pytest.mark.parametrize("name", quorvane.__all__)
def test_stub_signature_matches_module(stub_functions, name):
    assert name in stub_functions, f"{name} is missing from the stub"
    node = stub_functions[name]
    arguments = node.args
    # The module binds every parameter by position or keyword, none optional.
    assert not arguments.posonlyargs and not arguments.kwonlyargs
    assert arguments.vararg is None and arguments.kwarg is None
    assert not arguments.defaults
    assert [a.arg for a in arguments.args] == parameter_names(getattr(quorvane, name))
    kinds = {p.kind for p in inspect.signature(getattr(quorvane, name)).parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert isinstance(node.returns, ast.Constant) and node.returns.value is None


@pytest.mark.parametrize("name", quorvane.__all__)
def test_stub_parameters_are_those_the_module_binds(stub_functions, name):
    # Called without arguments, a function names every parameter it binds,
    # from its own row, not from its text signature.
    with pytest.raises(TypeError) as caught:
        getattr(quorvane, name)()
    bound = re.findall(r"'([a-z_]+)'", str(caught.value).partition(":")[2])
    assert bound == [a.arg for a in stub_functions[name].args.args]


PRELUDE = """\
from typing import Any

import numpy as np
import numpy.typing as npt

import quorvane

arr: np.ndarray[Any, np.dtype[np.float64]] = np.zeros(8, dtype=np.float64)
ints: npt.NDArray[np.int64] = np.zeros(8, dtype=np.int64)
float32s: npt.NDArray[np.float32] = np.zeros(8, dtype=np.float32)
"""

GOOD_CALLS = """\
class Window:
    def __index__(self) -> int:
        return 3

inferred = np.empty(8)
view = arr[::1]
quorvane.indicator_sma(3, arr, np.empty_like(arr))
quorvane.indicator_ema(np.int64(3), inferred, view)
quorvane.indicator_sma(True, data=arr, output=arr)
quorvane.indicator_ema(output=arr, data=arr, period=Window())
quorvane.indicator_macd(2, 3, 2, arr, arr, arr, arr)
quorvane.indicator_macd(
    signal_period=np.uint32(9), slow_period=26, fast_period=12,
    hist_output=arr, signal_output=arr, macd_output=arr, data=arr,
)
quorvane.indicator_atr(14, arr, arr, arr, arr)
quorvane.indicator_atr(period=14, high=arr, low=arr, close=arr, output=arr)
"""


def wrong_calls():
    """(code, expected error code) for every parameter given a wrong type,
    and a few other mistakes a type checker should catch."""
    cases = []
    for name in quorvane.__all__:
        names = parameter_names(getattr(quorvane, name))
        good = [GOOD_PERIOD if is_period(n) else GOOD_ARRAY for n in names]
        for i, parameter in enumerate(names):
            for wrong in WRONG_VALUES["period" if is_period(parameter) else "array"]:
                arguments = good.copy()
                arguments[i] = wrong
                cases.append((call(name, arguments), "arg-type"))
        cases.append((call(name, good[:-1]), "call-arg"))
        cases.append((call(name, good + [GOOD_ARRAY]), "call-arg"))
        cases.append((call(name, good[:-1] + ["out=arr"]), "call-arg"))
        cases.append((f"{name}_result: int = {call(name, good)}", "func-returns-value"))
    return cases


WRONG_CALLS = wrong_calls()


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """Run mypy once over a file of correct calls and one of wrong calls;
    return its error lines per file as {line number: [error codes]}."""
    try:
        import mypy  # noqa: F401
    except ImportError:
        pytest.fail("mypy is missing: scripts/test.sh installs it into the test environments")
    folder = tmp_path_factory.mktemp("mypy")
    (folder / "good.py").write_text(PRELUDE + GOOD_CALLS, encoding="utf-8")
    wrong_lines = [code for code, _ in WRONG_CALLS]
    (folder / "wrong.py").write_text(PRELUDE + "\n".join(wrong_lines) + "\n", encoding="utf-8")
    process = subprocess.run(
        [
            sys.executable, "-m", "mypy", "--strict", "--no-incremental",
            "--cache-dir", str(folder / "cache"), "--show-error-codes",
            "--no-color-output", "--no-error-summary", "--no-pretty",
            "good.py", "wrong.py",
        ],
        cwd=folder, capture_output=True, text=True, timeout=600,
    )
    assert process.returncode in (0, 1), process.stdout + process.stderr
    report = {"good.py": {}, "wrong.py": {}}
    pattern = re.compile(r"^(good\.py|wrong\.py):(\d+): error: .*\[([a-z-]+)\]$")
    for line in process.stdout.splitlines():
        match = pattern.match(line)
        if match:
            report[match[1]].setdefault(int(match[2]), []).append(match[3])
        else:
            assert ": note:" in line, f"unexpected mypy output: {line}"
    return report, process.stdout


def test_mypy_accepts_correct_calls(mypy_report):
    report, output = mypy_report
    assert report["good.py"] == {}, output


@pytest.mark.parametrize(("line", "code", "expected"), [
    pytest.param(number, code, expected, id=code)
    for number, (code, expected) in enumerate(WRONG_CALLS, start=PRELUDE.count("\n") + 1)
])
def test_mypy_reports_wrong_call(mypy_report, line, code, expected):
    report, output = mypy_report
    assert expected in report["wrong.py"].get(line, []), textwrap.indent(output, "  ")


def test_mypy_reports_nothing_else(mypy_report):
    report, output = mypy_report
    wrong_lines = set(range(PRELUDE.count("\n") + 1, PRELUDE.count("\n") + 1 + len(WRONG_CALLS)))
    assert set(report["wrong.py"]) <= wrong_lines, output
