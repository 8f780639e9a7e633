"""Run the plugin manager module as the main program: ``python -m sorvex.core``.

``python -m sorvex.core.pluginmanager`` cannot work: runpy refuses compiled
modules. This runner executes the compiled module once more under the name
``"__main__"``, keeping its real spec and package so that its relative import
resolves. That runs the module's demonstration block, which registers a
``Sample`` plugin for talvo/t3z on the shared manager; the shared manager is
then printed.
"""
import importlib.util
import sys
from types import ModuleType

MODULE_NAME = "sorvex.core.pluginmanager"


def run_as_main() -> ModuleType:
    """Execute the compiled plugin manager module as ``__main__`` and return it."""
    spec = importlib.util.find_spec(MODULE_NAME)
    if spec is None or spec.loader is None:
        raise ImportError(f"cannot find {MODULE_NAME}", name=MODULE_NAME)
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    previous_main = sys.modules.get("__main__")
    # inspect.getfile() of a class defined by the module looks the module up
    # here by its __name__.
    sys.modules["__main__"] = module
    try:
        spec.loader.exec_module(module)
    finally:
        if previous_main is not None:
            sys.modules["__main__"] = previous_main
    return module


def main() -> int:
    run_as_main()
    import sorvex

    print(sorvex.__plugin_manager__)
    return 0


if __name__ == "__main__":
    from sorvex._console import run_command

    sys.exit(run_command(main))
