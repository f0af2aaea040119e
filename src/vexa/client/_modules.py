"""Which implementation of the client modules is in use.

`vexa.client._sync._code`, `vexa.client._sync._jobs`, `vexa.client._sync._web`,
`vexa.client._async._jobs` and `vexa.client._async._web` are compiled modules
where the package was built with them, and pure-Python twins
(`vexa/client/_pure/`) everywhere else. The
package `__init__` of `vexa.client._sync` and `vexa.client._async` calls
`load` for its modules before anything imports them, so that every import of
those names finds the module chosen here:

- the compiled module, where it is installed and loads into this interpreter;
- otherwise the pure twin, executed under the same module name (so its
  classes' `__module__` is that name too);
- always the pure twin when the environment variable `VEXA_NO_EXTENSIONS` is
  set to anything but "" or "0" at start-up.

`vexa.client.NATIVE` tells which is in use.
"""

from __future__ import annotations

import importlib
import importlib.machinery
import importlib.util
import os
import sys
from pathlib import Path
from types import ModuleType

NO_EXTENSIONS_ENV = "VEXA_NO_EXTENSIONS"
# Each module and the file of its twin in `_pure/`.
TWIN_FILES = {
    "vexa.client._sync._code": "_sync/_code.py",
    "vexa.client._sync._jobs": "_sync/_jobs.py",
    "vexa.client._sync._web": "_sync/_web.py",
    "vexa.client._async._jobs": "_async/_jobs.py",
    "vexa.client._async._web": "_async/_web.py",
}
MODULES = tuple(TWIN_FILES)
_TWINS_DIR = Path(__file__).parent / "_pure"


def extensions_disabled() -> bool:
    """True when `VEXA_NO_EXTENSIONS` asks for the pure-Python modules."""
    return os.environ.get(NO_EXTENSIONS_ENV, "") not in ("", "0")


def is_native(module: ModuleType) -> bool:
    """True for a compiled module, False for a pure twin."""
    return isinstance(getattr(module.__spec__, "loader", None), importlib.machinery.ExtensionFileLoader)


def load(name: str) -> ModuleType:
    """The module of that name: compiled if possible and allowed, else the twin."""
    module = sys.modules.get(name)
    if module is not None:
        return module
    if not extensions_disabled():
        spec = importlib.util.find_spec(name)
        if spec is not None and isinstance(spec.loader, importlib.machinery.ExtensionFileLoader):
            try:
                return importlib.import_module(name)
            except ImportError as error:
                # The library itself does not load (built for another
                # interpreter or platform): the twin stands in. A failure
                # of its body (a missing collaborator) propagates.
                if error.path != spec.origin:
                    raise
    return _load_twin(name, register=True)


def load_twin(name: str) -> ModuleType:
    """A fresh pure twin of the module `name`, not registered anywhere: for
    comparing it with the compiled module in tests and benchmarks."""
    return _load_twin(name, register=False)


def _load_twin(name: str, register: bool) -> ModuleType:
    package, _, short_name = name.rpartition(".")
    spec = importlib.util.spec_from_file_location(name, _TWINS_DIR / TWIN_FILES[name])
    assert spec is not None and spec.loader is not None, name
    module = importlib.util.module_from_spec(spec)
    if not register:
        spec.loader.exec_module(module)
        return module
    sys.modules[name] = module
    try:
        spec.loader.exec_module(module)
    except BaseException:
        del sys.modules[name]
        raise
    setattr(sys.modules[package], short_name, module)
    return module


def native() -> bool:
    """True when all the compiled modules are in use (importing them if needed)."""
    return all(is_native(importlib.import_module(name)) for name in MODULES)
