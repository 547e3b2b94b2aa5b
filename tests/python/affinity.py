"""A larger host shown to a process through its affinity mask.

The module sizes its registries by the processors the process may run on,
as sched_getaffinity reports them. affinity_shim.c, preloaded, makes that
call report the first N processors, so that a process on this machine sees
the host it would see on a node of N processors. The shim is compiled once
per source text into the temporary folder, with the C compiler of $CC
(cc by default).

    python affinity.py     builds the shim and prints its path
"""

from __future__ import annotations

import hashlib
import os
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE = Path(__file__).with_name("affinity_shim.c")
VARIABLE = "HOST_SIZE_PROCESSORS"


def shim() -> Path:
    """The compiled shim, built first if this source has not been."""
    digest = hashlib.sha256(SOURCE.read_bytes()).hexdigest()[:12]
    built = Path(tempfile.gettempdir()) / f"veltrano-affinity-shim-{digest}.so"
    if not built.exists():
        partial = built.with_name(f"{built.name}.{os.getpid()}")
        subprocess.run([os.environ.get("CC", "cc"), "-O2", "-shared", "-fPIC", "-o", str(partial), str(SOURCE), "-ldl"],
                       check=True, capture_output=True)
        partial.replace(built)
    return built


def environment(processors: int, base: dict | None = None) -> dict:
    """An environment in which a process sees `processors` processors."""
    env = dict(os.environ if base is None else base)
    env["LD_PRELOAD"] = " ".join(filter(None, [str(shim()), env.get("LD_PRELOAD", "")]))
    env[VARIABLE] = str(processors)
    return env


def unavailable_reason(python: str = sys.executable) -> str | None:
    """None when the shim shows `python` another processor count, else why
    not (no C compiler, or an interpreter whose C library cannot load it)."""
    try:
        env = environment(3)
    except (OSError, subprocess.CalledProcessError) as error:
        return f"the affinity shim could not be built: {error}"
    probe = subprocess.run([python, "-c", "import os; print(len(os.sched_getaffinity(0)))"], env=env,
                           capture_output=True, text=True)
    if probe.returncode != 0 or probe.stdout.strip() != "3":
        return f"the affinity shim does not load into {python}: {probe.stderr.strip()[:200]}"
    return None


if __name__ == "__main__":
    print(shim())
