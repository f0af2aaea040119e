"""Wrong uses of the clients, each of which `mypy --strict` must report.

Every line marked `# expect: CODE` must get exactly one error, with that
error code, and no other line may get any.
"""

from __future__ import annotations

import vexa
from vexa.types import CodeType, CodeZip, Job, JobStage


async def wrong_uses(job_id: str, code_zip: CodeZip) -> None:
    client = vexa.Client("http://127.0.0.1:8000")
    async_client = vexa.AsyncClient("http://127.0.0.1:8000")
    jobs, web = async_client.jobs, async_client.web

    # Wrong argument types.
    client.code.get_info(123)  # expect: arg-type
    vexa.AsyncClient(base_url=8000)  # expect: arg-type
    CodeZip(zip_bytes="not bytes")  # expect: arg-type
    await web.jobs.list(JobStage.RUNNING)  # expect: arg-type
    await jobs.await_stage(job_id, timeout="60")  # expect: arg-type

    # Missing or unknown arguments.
    client.code.upload(code_zip, "app")  # expect: call-arg
    await jobs.get()  # expect: call-arg
    await jobs.await_stage(job_id, timout=5)  # expect: call-arg

    # Misspelt names.
    await jobs.terminat(job_id)  # expect: attr-defined
    client.code.list_infos()  # expect: attr-defined
    vexa.Clinet("http://127.0.0.1:8000")  # expect: attr-defined

    # Coroutines used as their results, and the other way round.
    print(jobs.get(job_id).job_stage)  # expect: attr-defined
    for job in jobs.list():  # expect: attr-defined
        print(job)
    jobs.terminate(job_id)  # expect: unused-coroutine
    await jobs.stream_output(job_id)  # expect: misc
    await web.get_url(job_id)  # expect: misc

    # Results assigned to the wrong type.
    count: int = await jobs.list()  # expect: assignment
    latest: Job = await web.jobs.get_latest()  # expect: assignment
    code_id: CodeType = client.code.upload(code_zip, "app", CodeType.PYTHON)  # expect: assignment
    healthy: Job = web.is_healthy(job_id)  # expect: assignment
    print(count, latest, code_id, healthy)

    # The synchronous clients: results, not awaitables; an iterator, not an asynchronous one.
    await client.jobs.get(job_id)  # expect: misc
    async for item in client.jobs.stream_output(job_id):  # expect: attr-defined
        print(item)
    client.jobs.await_stage(job_id, timeout="60")  # expect: arg-type
    client.web.stored.run()  # expect: call-arg
    stage: JobStage = client.jobs.get(job_id)  # expect: assignment
    client.web.jobs.list(JobStage.RUNNING)  # expect: arg-type
    print(stage, client.jobs.get_latest().job_id)  # expect: union-attr
