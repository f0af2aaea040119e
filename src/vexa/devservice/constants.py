"""Sizes and markers the service's modules share, defined once."""

from __future__ import annotations

KIB = 1024
MIB = 1024 * KIB
# Chunk for copying files (uploads, unpacking, results).
COPY_CHUNK_BYTES = MIB
# Marks the lines of a job's output that the service wrote, not the job.
SERVICE_MARK = "[vexa]"
# The environment variable whose value marks every process a job started.
JOB_MARKER_VARIABLE = "VEXA_JOB_ID"
