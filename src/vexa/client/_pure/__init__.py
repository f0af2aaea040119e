"""Pure-Python twins of the compiled client modules.

Each file here is loaded under the name of a compiled module when that is not
installed, does not load, or `VEXA_NO_EXTENSIONS=1` is set (see
`vexa.client._modules`, which maps the names to the files): `_code.py`,
`_sync_jobs.py` and `_sync_web.py` for `vexa.client._sync._code`, `._jobs` and
`._web`; `_jobs.py` and `_web.py` for `vexa.client._async._jobs` and `._web`.
`_frame.py` holds what they share: the argument binding with the compiled
modules' messages, the result checks and the request recipe; `_listings.py`
the rows of the jobs and web jobs clients' listing shortcuts.
"""
