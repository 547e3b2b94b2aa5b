"""Helpers shared by the test modules."""

import contextlib
import os
import sys


class FloatLike:
    """Converts to a float through __float__ (which may return anything)."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    """Converts to an integer through __index__ only."""

    def __init__(self, value=0):
        self.value = value

    def __index__(self):
        return self.value


@contextlib.contextmanager
def standard_error_discarded():
    """Every internal fault is reported on standard error; thousands of
    reports from a loop are not worth keeping."""
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        with open(os.devnull, "w") as devnull:
            os.dup2(devnull.fileno(), 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
