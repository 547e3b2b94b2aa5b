"""Runs the Python examples of Markdown files as doctests, against the
veltrano package the running interpreter imports.

    python tests/readme_examples.py README.md [MORE.md...]
"""

import doctest
import re
import sys

failed_total = 0
for path in sys.argv[1:]:
    text = open(path, encoding="utf-8").read()
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    test = doctest.DocTestParser().get_doctest("\n".join(blocks), {}, path, path, 0)
    failed, tried = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS).run(test)
    print(f"{path}: {tried} examples, {failed} failed")
    failed_total += failed if tried else 1
sys.exit(1 if failed_total or len(sys.argv) < 2 else 0)
