"""Double arithmetic without excess precision: a 32-bit x86 build with x87
arithmetic must not compile, since its results would differ in their last
bits from every other build."""

import os
import subprocess

import pytest

from conftest import build_flags, cxx_command

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KERNEL = os.path.join(ROOT, "quorvane-core", "src", "sma.cpp")
PROBE = "#if !defined(__i386__)\n#error not 32-bit x86\n#endif\n#include <cfloat>\n"


def compile_kernel(command, flags, tmp_path):
    return subprocess.run(
        [*command, *build_flags("language", "warnings", "werror", "floating-point"), *flags,
         "-I" + os.path.join(ROOT, "quorvane-core", "include"),
         "-c", KERNEL, "-o", str(tmp_path / "sma.o")],
        capture_output=True, text=True, timeout=300,
    )


@pytest.fixture(scope="module")
def x86_32_compiler(tmp_path_factory):
    """A C++ compiler that targets 32-bit x86: the one of the interpreter under
    test when it does, otherwise the host's g++ -m32."""
    if not (os.path.exists(KERNEL) and os.path.exists(os.path.join(ROOT, "cxx-flags.txt"))):
        pytest.skip("needs the source tree")
    probe = tmp_path_factory.mktemp("probe") / "probe.cpp"
    probe.write_text(PROBE)
    candidates = [cxx_command(), ["g++", "-m32"]]
    for command in filter(None, candidates):
        try:
            result = subprocess.run([*command, "-fsyntax-only", str(probe)],
                                    capture_output=True, timeout=900)
        except OSError:
            continue
        if result.returncode == 0:
            return command
    pytest.skip("no C++ compiler for 32-bit x86 here (g++ -m32 needs g++-multilib)")


def test_x87_arithmetic_is_a_compile_error_that_says_why(x86_32_compiler, tmp_path):
    # A processor without SSE2: x87 arithmetic, FLT_EVAL_METHOD 2.
    result = compile_kernel(x86_32_compiler, ["-march=i686"], tmp_path)
    assert result.returncode != 0
    assert "excess precision" in result.stderr
    assert "build with SSE2 arithmetic" in result.stderr


def test_the_build_flags_for_32_bit_x86_give_sse2_arithmetic(x86_32_compiler, tmp_path):
    # The flags CMakeLists.txt adds on 32-bit x86 override an x87 default.
    result = compile_kernel(x86_32_compiler, ["-march=i686", *build_flags("x86-32")], tmp_path)
    assert result.returncode == 0, result.stderr
