"""Runs smoke.py under valgrind memcheck (with PYTHONMALLOC=malloc, so that
every Python object is a malloc block valgrind follows) and fails when any
memory the module allocated is definitely lost, or when memcheck reports an
invalid access or an uninitialised value inside the module.

The interpreter itself loses some memory at exit (interned strings of
modules it never tears down); those loss records carry no frame of the
module and are only counted. A loss record belongs to the module when any
frame of its allocation stack lies in the extension's shared object or in a
korvex:: function.

    python tests/memcheck/check.py
"""

import os
import pathlib
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

HERE = pathlib.Path(__file__).resolve().parent
LOST_KINDS = {"Leak_DefinitelyLost"}


def frames(error):
    stack = error.find("stack")
    if stack is None:
        return []
    return [(frame.findtext("fn") or "", frame.findtext("obj") or "") for frame in stack.iter("frame")]


def in_module(stack):
    return any("_korvex_core" in obj or "korvex::" in fn for fn, obj in stack)


def leaked_bytes(error):
    return int(error.findtext("xwhat/leakedbytes") or 0), int(error.findtext("xwhat/leakedblocks") or 0)


def describe(error):
    what = error.findtext("xwhat/text") or error.findtext("what") or error.findtext("kind")
    lines = [f"  {error.findtext('kind')}: {what}"]
    lines += [f"      {fn or '???'} ({pathlib.Path(obj).name})" for fn, obj in frames(error)[:16]]
    return "\n".join(lines)


def main():
    with tempfile.TemporaryDirectory() as scratch:
        xml_file = os.path.join(scratch, "memcheck.xml")
        command = [
            "valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=all",
            "--num-callers=50", "--xml=yes", f"--xml-file={xml_file}",
            sys.executable, str(HERE / "smoke.py"),
        ]
        env = dict(os.environ, PYTHONMALLOC="malloc")
        run = subprocess.run(command, env=env, capture_output=True, text=True)
        if run.returncode != 0:
            print(run.stdout + run.stderr[-5000:], file=sys.stderr)
            print(f"memcheck: the smoke script failed (exit {run.returncode})", file=sys.stderr)
            return 1
        print(run.stdout.strip())
        root = ET.parse(xml_file).getroot()

    errors = list(root.iter("error"))
    lost = [e for e in errors if e.findtext("kind") in LOST_KINDS]
    lost_in_module = [e for e in lost if in_module(frames(e))]
    # Invalid reads and writes, uses of uninitialised values, bad frees.
    faults_in_module = [e for e in errors if not e.findtext("kind").startswith("Leak_") and in_module(frames(e))]
    # The module's lasting allocations (its module object, type objects) are
    # still reachable at exit; finding them shows that stacks through the
    # module are recognised at all.
    attributed = [e for e in errors if in_module(frames(e))]

    total_bytes = sum(leaked_bytes(e)[0] for e in lost)
    module_bytes = sum(leaked_bytes(e)[0] for e in lost_in_module)
    module_blocks = sum(leaked_bytes(e)[1] for e in lost_in_module)
    print(f"memcheck: definitely lost {total_bytes} bytes in {len(lost)} loss records in all, "
          f"of which from the module {module_bytes} bytes in {module_blocks} blocks; "
          f"{len(faults_in_module)} memory errors in the module; "
          f"{len(attributed)} loss records with a module frame (its lasting allocations)")

    failed = False
    if lost_in_module:
        print("memcheck: memory allocated by the module is definitely lost:", file=sys.stderr)
        print("\n".join(describe(e) for e in lost_in_module[:20]), file=sys.stderr)
        failed = True
    if faults_in_module:
        print("memcheck: memory errors in the module:", file=sys.stderr)
        print("\n".join(describe(e) for e in faults_in_module[:20]), file=sys.stderr)
        failed = True
    if not attributed:
        print("memcheck: no allocation could be traced to the module; its frames are not recognised",
              file=sys.stderr)
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
