"""The configuration's compiler check: a compiler without C++23's
std::expected and std::to_chars for double stops CMake with one sentence,
before anything of the project is compiled; a supported one passes it.

Run by ./dev test (cmake from .venv on PATH)."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SENTENCE = "cannot build this project: it needs C++23's std::expected and std::to_chars for double"


def configure(compiler: str, build: Path) -> subprocess.CompletedProcess:
    return subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja", "-DKORVEX_BUILD_MODULE=OFF",
         f"-DCMAKE_CXX_COMPILER={compiler}"],
        capture_output=True, text=True, check=False, env={**os.environ, "CXX": compiler})


@pytest.mark.skipif(shutil.which("clang++-16") is None, reason="clang++-16 (Debian's clang-16) is not installed")
def test_clang_16_with_libstdcxx_12_stops_with_one_sentence(tmp_path):
    result = configure("clang++-16", tmp_path)
    assert result.returncode != 0
    output = " ".join((result.stdout + result.stderr).split())
    assert SENTENCE in output
    assert "Clang 16" in output
    # Stopped at configuration: nothing was generated to build.
    assert not (tmp_path / "build.ninja").exists()
    assert output.count("CMake Error") == 1


def test_the_default_compiler_passes_the_check(tmp_path):
    compiler = os.environ.get("CXX") or shutil.which("c++") or "g++"
    result = configure(compiler, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    cache = (tmp_path / "CMakeCache.txt").read_text()
    assert "KORVEX_HAVE_CXX23_LIBRARY:INTERNAL=1" in cache
