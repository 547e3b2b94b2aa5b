"""The cache's entries (tools/cache.bash) under concurrency and
interruption, with a small stand-in entry: a builder that writes two files
slowly and counts its runs."""

import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
CACHE = ROOT / "tools" / "cache.bash"

SCRIPT = f"""
set -euo pipefail
shopt -s inherit_errexit
source {CACHE}
builder() {{
  echo run >>"$RUNS"
  echo first >"$1/first"
  touch "$STARTED"
  sleep "$PAUSE"
  echo second >"$1/second"
}}
entry=$(cache_entry stand-in/entry builder)
cat "$entry/first" "$entry/second"
"""


def start(tmp_path, pause):
    env = {**os.environ, "XDG_CACHE_HOME": str(tmp_path / "cache"), "RUNS": str(tmp_path / "runs"),
           "STARTED": str(tmp_path / "started"), "PAUSE": str(pause)}
    return subprocess.Popen(["bash", "-c", SCRIPT], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, start_new_session=True)


def finish(process):
    out, err = process.communicate(timeout=60)
    assert process.returncode == 0, err
    return out


def test_two_set_ups_at_once_both_succeed_and_build_once(tmp_path):
    first, second = start(tmp_path, 1), start(tmp_path, 1)
    assert finish(first) == finish(second) == "first\nsecond\n"
    assert (tmp_path / "runs").read_text() == "run\n"
    # A later set-up reuses the entry.
    assert finish(start(tmp_path, 0)) == "first\nsecond\n"
    assert (tmp_path / "runs").read_text() == "run\n"


def test_a_set_up_killed_part_way_is_followed_by_one_that_succeeds(tmp_path):
    killed = start(tmp_path, 30)
    deadline = time.monotonic() + 30
    while not (tmp_path / "started").exists():
        assert time.monotonic() < deadline and killed.poll() is None
        time.sleep(0.05)
    # The whole set-up, its builder and the lock's holder included.
    os.killpg(killed.pid, signal.SIGKILL)
    killed.communicate(timeout=60)
    half_made = tmp_path / "cache" / "veltrano" / "stand-in" / "entry"
    assert (half_made / "first").exists() and not (half_made / ".complete").exists()
    assert finish(start(tmp_path, 0)) == "first\nsecond\n"
    assert (tmp_path / "runs").read_text() == "run\nrun\n"


def test_two_commands_at_once_in_one_clone_make_one_venv(tmp_path):
    # A clone whose .venv needs no package: only making it is raced.
    clone = tmp_path / "clone"
    shutil.copytree(ROOT / "tools", clone / "tools")
    shutil.copy2(ROOT / "dev", clone / "dev")
    (clone / "requirements-dev.txt").write_text("# nothing to install\n")
    env = {**os.environ, "XDG_CACHE_HOME": str(tmp_path / "cache")}
    runs = [subprocess.Popen([str(clone / "dev"), "python", "3.13", "-c", "print('answered')"], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for _ in range(2)]
    results = [run.communicate(timeout=300) for run in runs]
    for run, (out, err) in zip(runs, results):
        assert run.returncode == 0, err
        assert out == "answered\n"
    assert sum(err.count("creating .venv") for _, err in results) == 1
