"""Hypothesis profiles for the differential fuzzers.

The default profile, "ci", is short and derandomized: the same examples on
every run, so that a red CI run is reproducible. For a longer search with
fresh random examples:

    VEXA_FUZZ_PROFILE=long bash scripts/test.sh -k fuzz
"""

from __future__ import annotations

import os

from hypothesis import HealthCheck, settings

PROFILE_ENV = "VEXA_FUZZ_PROFILE"

settings.register_profile(
    "ci",
    max_examples=100,
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile(
    "long",
    max_examples=5000,
    derandomize=False,
    database=None,
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile(os.environ.get(PROFILE_ENV, "ci"))


def scaled(fraction: float) -> settings:
    """The loaded profile with a fraction of its examples, for tests whose examples cost more."""
    return settings(max_examples=max(5, int(settings.default.max_examples * fraction)))
