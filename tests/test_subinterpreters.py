"""Only the first interpreter that imports the module may use it."""

import sys

import pytest

from conftest import run_python

LEGACY_312 = """
import _xxsubinterpreters as interpreters
def import_in_subinterpreter():
    sub = interpreters.create(isolated=False)
    try:
        interpreters.run_string(sub, "import quorvane")
    except interpreters.RunFailedError as error:
        return str(error)
    return "imported"
"""

LEGACY_313 = """
import _interpreters as interpreters
def import_in_subinterpreter():
    sub = interpreters.create(interpreters.new_config("legacy"))
    failure = interpreters.exec(sub, "import quorvane")
    return "imported" if failure is None else f"{failure.type.__name__}: {failure.msg}"
"""

MAIN_IMPORT = """
try:
    import quorvane
    print("main: imported")
except ImportError as error:
    print("main: ImportError:", error)
"""

HELPERS = LEGACY_312 if sys.version_info < (3, 13) else LEGACY_313


@pytest.mark.parametrize("main_first", [True, False], ids=["main first", "sub first"])
def test_second_interpreter_is_refused(main_first):
    code = HELPERS
    if main_first:
        code += MAIN_IMPORT
    code += "print('sub:', import_in_subinterpreter())\n" + MAIN_IMPORT
    result = run_python(code, env={"PYTHONWARNINGS": "ignore"})
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    sub = next(line for line in lines if line.startswith("sub:"))
    main = [line for line in lines if line.startswith("main:")]
    if sys.version_info < (3, 13) and not main_first:
        # The sub-interpreter is recorded first; the main one is refused for good.
        assert sub == "sub: imported"
        assert main == ["main: ImportError: the quorvane module does not support "
                        "sub-interpreters: it can only be imported in the first interpreter "
                        "that imported it"]
    else:
        # From 3.13 on the interpreter runs the init function in the main
        # interpreter first, so that one is recorded and keeps working.
        assert "ImportError" in sub
        assert "sub-interpreters" in sub or "subinterpreters" in sub
        assert main[-1] == "main: imported"


# An isolated interpreter refuses modules with single-phase initialisation:
# CPython itself turns the import down. Such a refused import must leave the
# module free for the main interpreter.
ISOLATED = """
import sys
if sys.version_info < (3, 13):
    import _xxsubinterpreters as interpreters
    def import_in_isolated():
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import quorvane")
        except interpreters.RunFailedError as error:
            return str(error)
        finally:
            interpreters.destroy(sub)
        return "imported"
else:
    import _interpreters as interpreters
    def import_in_isolated():
        sub = interpreters.create()
        try:
            failure = interpreters.exec(sub, "import quorvane")
        finally:
            interpreters.destroy(sub)
        return "imported" if failure is None else f"{failure.type.__name__}: {failure.msg}"
"""


def test_refused_import_in_an_isolated_interpreter_leaves_the_module_free():
    code = ISOLATED + "print('sub:', import_in_isolated())\n" + MAIN_IMPORT
    code += "import numpy as np\nquorvane.indicator_sma(1, np.ones(2), np.zeros(2))\nprint('main: works')\n"
    result = run_python(code, env={"PYTHONWARNINGS": "ignore"})
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("sub: ") and "ImportError" in lines[0]
    assert "interpreters" in lines[0]
    assert lines[1:] == ["main: imported", "main: works"]
