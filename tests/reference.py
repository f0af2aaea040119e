"""The references of the differential tests and benchmarks: the shipped pure-Python twins.

The same code is the package's fallback where the compiled modules are not
in use, so a difference that a differential test finds is a fault of one of
the two shipped implementations. `load_twin` gives a copy of the twin that
exists next to the compiled module (it is loaded from the twin's file, not
imported under the module's name).
"""

from __future__ import annotations

from typing import Any

from vexa.client._modules import load_twin

JOBS_TWIN: Any = load_twin("vexa.client._async._jobs").AsyncJobsClient
STREAM_OUTPUT_QUALNAME = "AsyncJobsClient.stream_output"

# Called as plain functions with the jobs client as `self`.
stream_output = JOBS_TWIN.stream_output
get_latest = JOBS_TWIN.get_latest
get = JOBS_TWIN.get
