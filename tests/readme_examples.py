"""Checks Markdown files that users read against the veltrano package the
running interpreter imports: their Python examples run as doctests, their
table of members (between <!-- members:start --> and <!-- members:end -->)
names every public member with the parameters it takes, and their table of
constants (<!-- constants:start --> ... <!-- constants:end -->) is what the
module answers. --write rewrites the table of constants from the module.

    python tests/readme_examples.py [--write] README.md [MORE.md...]
"""

import doctest
import inspect
import re
import sys

from veltrano import _korvex_core as core


def between_markers(text, name):
    found = re.search(f"<!-- {name}:start -->\n(.*?)<!-- {name}:end -->", text, re.S)
    return found and found.group(1)


def constants_table():
    lines = ["| name | status | value | uncertainty | units |", "| --- | --- | ---: | --- | --- |"]
    for name in core.py_list_constants():
        sheet = core.py_get_constant(name)
        lines.append(f"| `{name}` | {sheet['status']} | {sheet['value']!r} | {sheet['uncertainty']!r} | {sheet['units']} |")
    return "\n".join(lines) + "\n"


def members_problems(table):
    """What the table of members (first column `member` or `member(params)`)
    gets wrong: members missing or unknown, parameters that differ."""
    documented = {}
    for row in table.splitlines()[2:]:
        call = re.fullmatch(r"([\w.]+)(?:\((.*)\))?", row.split("|")[1].strip().strip("`"))
        documented[call[1]] = call[2]
    classes = [name for name in core.__all__ if isinstance(getattr(core, name), type)]
    public = set(core.__all__) | {f"{name}.{attribute}" for name in classes
                                  for attribute in vars(getattr(core, name)) if not attribute.startswith("_")}
    problems = [f"{name} is missing" for name in sorted(public - documented.keys())]
    problems += [f"{name} is no member" for name in sorted(documented.keys() - public)]
    for path, parameters in documented.items():
        if parameters is None or path not in public:
            continue
        member = core
        for part in path.split("."):
            member = getattr(member, part)
        try:
            taken = [name for name in inspect.signature(member).parameters if name != "self"]
        except (TypeError, ValueError):
            taken = None
        if taken != [name.strip() for name in parameters.split(",") if name.strip()]:
            problems.append(f"{path}({parameters}): the module's takes {taken}")
    return problems


def check(path, write):
    """The number of failures in the file at `path`."""
    failures = 0
    text = open(path, encoding="utf-8").read()
    constants, expected = between_markers(text, "constants"), constants_table()
    if constants is not None and constants != expected:
        if write:
            text = text.replace(f"<!-- constants:start -->\n{constants}", f"<!-- constants:start -->\n{expected}")
            open(path, "w", encoding="utf-8").write(text)
            print(f"{path}: table of constants rewritten")
        else:
            print(f"{path}: the table of constants is not what the module answers "
                  f"(python tests/readme_examples.py --write {path} rewrites it)")
            failures += 1
    members = between_markers(text, "members")
    for problem in members_problems(members) if members is not None else []:
        print(f"{path}: table of members: {problem}")
        failures += 1
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    test = doctest.DocTestParser().get_doctest("\n".join(blocks), {}, path, path, 0)
    failed, tried = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS).run(test)
    print(f"{path}: {tried} examples, {failed} failed")
    return failures + (failed if tried else 1)


write = sys.argv[1:2] == ["--write"]
paths = sys.argv[1 + write:]
sys.exit(1 if not paths or sum(check(path, write) for path in paths) else 0)
