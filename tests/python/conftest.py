import os
import subprocess
import sys
import textwrap

import pytest

from veltrano import _korvex_core as core


def pytest_report_header(config):
    return [f"veltrano._korvex_core {core.__version__}: {core.__file__}",
            f"processors available: {len(os.sched_getaffinity(0))}"]


def pytest_sessionstart(session):
    # ./dev test installs the package into a fresh venv and names it here:
    # the suite must test that copy, not one found elsewhere on the path.
    prefix = os.environ.get("VELTRANO_TEST_PREFIX")
    if prefix:
        root = os.path.realpath(prefix) + os.sep
        if not os.path.realpath(core.__file__).startswith(root):
            raise pytest.UsageError(f"veltrano._korvex_core was imported from {core.__file__}, not from {prefix}")


def run_python(code: str, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter (the one running the tests)."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.fixture
def python_subprocess():
    return run_python
