"""The one description of every class and method of the client modules.

`code.py`, `jobs.py` and `web.py` declare the classes and methods of the
modules `vexa.client._sync._code`, `vexa.client._async._jobs` and
`vexa.client._async._web`, and through them of the synchronous modules derived
from the asynchronous ones. `generate/` writes from them the C++ class tables,
the `.pyi` stubs, the pure-Python twins and the API reference page
(`bash scripts/generate.sh`). docs/adding-a-method.md says how.
"""
