"""Pure-Python twins of the compiled client modules.

Each file of `_sync/` and `_async/` is loaded under the name of the compiled
module at the same place (`_sync/_jobs.py` for `vexa.client._sync._jobs`, ...)
when that is not installed, does not load, or `VEXA_NO_EXTENSIONS=1` is set
(see `vexa.client._modules`). They are generated from the declarations in
`api/` (`bash scripts/generate.sh`). `_frame.py` holds what they share: the
binder's error messages for the calls a generated method does not bind itself,
the conversions and result checks, and the method objects that show the
compiled methods' introspection.
"""
