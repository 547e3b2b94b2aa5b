import subprocess
import sys
import textwrap

import pytest


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
