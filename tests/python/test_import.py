import importlib
import sys


def test_module_imports_under_its_package_name():
    module = importlib.import_module("veltrano._korvex_core")
    assert module.__name__ == "veltrano._korvex_core"
    assert module.__doc__ == "PyO3 module entry point. Wired as `veltrano._korvex_core`."
    assert "veltrano._korvex_core" in sys.modules
