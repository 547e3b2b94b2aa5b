"""Reference and memory leaks: every entry point, on every path it can take
(its answer, each error it raises, a fault), called many times over must
leave the interpreter's allocated blocks and the process's resident memory
where they were."""

import gc
import os
import sys

import pytest

from leak_cases import CASES
from support import panic_type, resident_bytes, standard_error_discarded

pytestmark = pytest.mark.skipif(
    os.environ.get("KORVEX_SANITIZER") == "address",
    reason="KORVEX_SANITIZER=address: ASan keeps freed memory in quarantine, so the resident size measures "
    "that, and under PYTHONMALLOC=malloc sys.getallocatedblocks() counts nothing; the ordinary run "
    "measures leaks (and valgrind the module's own heap)",
)

ITERATIONS = 100_000
# Enough calls for every cache that fills on first use (the panic type, the
# json import, method caches, free lists) to be filled before measuring.
WARM_UP = 2_000
# Leaking one object per call would add ITERATIONS blocks; one per hundred
# calls, a thousand. The allowance only absorbs blocks that an unrelated
# part of the interpreter happens to keep during the loop.
MAX_BLOCK_GROWTH = 50
# The smallest heap block is 16 bytes (pymalloc) or 32 (malloc), so anything
# leaked per call grows the resident set by at least 1.6 MB over ITERATIONS.
# Half a megabyte absorbs the allocator touching a few fresh pages.
MAX_RESIDENT_GROWTH = 512 * 1024


def loop(call, expected_error, count):
    if expected_error is None:
        for _ in range(count):
            call()
    else:
        for _ in range(count):
            try:
                call()
            except expected_error:
                pass


def check_once(call, expected):
    """The call does what the table says (so the loop measures that path)."""
    if expected is None:
        call()
        return None
    error_type, message = expected
    if error_type == "panic":
        error_type = panic_type()
    with pytest.raises(BaseException) as excinfo:  # noqa: B017 - the type is checked exactly below
        call()
    assert type(excinfo.value) is error_type
    if message is not None:
        assert excinfo.value.args == (message,)
    return error_type


def measure(call, expected):
    error_type = check_once(call, expected)
    with standard_error_discarded():
        loop(call, error_type, WARM_UP)
        gc.collect()
        blocks_before, resident_before = sys.getallocatedblocks(), resident_bytes()
        loop(call, error_type, ITERATIONS)
        gc.collect()
        blocks_after, resident_after = sys.getallocatedblocks(), resident_bytes()
    check_once(call, expected)  # and still does
    return blocks_after - blocks_before, resident_after - resident_before


@pytest.mark.parametrize("case_id, call, expected", CASES, ids=[case[0] for case in CASES])
def test_no_growth(case_id, call, expected):
    blocks, resident = measure(call, expected)
    print(f"{case_id}: {ITERATIONS} calls, blocks {blocks:+d}, resident {resident:+d} B")
    assert blocks <= MAX_BLOCK_GROWTH, f"{blocks} more allocated blocks after {ITERATIONS} calls"
    assert resident <= MAX_RESIDENT_GROWTH, f"resident memory grew by {resident} bytes over {ITERATIONS} calls"
