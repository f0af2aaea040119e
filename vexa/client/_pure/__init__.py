"""Pure-Python twins of the three compiled client modules.

`_code.py`, `_jobs.py` and `_web.py` here are loaded under the names of the
compiled modules (`vexa.client._sync._code`, `vexa.client._async._jobs`,
`vexa.client._async._web`) when those are not installed, do not load, or
`VEXA_NO_EXTENSIONS=1` is set (see `vexa.client._modules`). `_frame.py` holds
what the three share: the argument binding with the compiled modules'
messages, the result checks and the request recipe.
"""
