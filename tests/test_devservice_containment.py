"""Nothing of a job outlives it: the ways a job's processes are held (a PID namespace,
or their own reaper with the kill by marker after it), tried with real jobs, a
service killed with -9, and an ordinary user. See also the escaping children of
test_devservice_durable.py."""

from __future__ import annotations

import errno
import os
import pwd
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any, Callable

import httpx
import pytest
from test_devservice import wait_until
from test_devservice_durable import ESCAPE_KINDS, ESCAPER, KEY, output_so_far, spawn  # noqa: F401 - a fixture
from test_devservice_runner import (
    PROCESS_DEADLINE,
    client_for,
    output_of,
    processes_of,
    run_stored,
    wait_for_end,
)

pytestmark = pytest.mark.apart_from_clients

MakeZip = Callable[[dict[str, Any]], bytes]
CONTAINMENTS = ["namespace", "reaper"]


def available(containment: str) -> None:
    from vexa.devservice.process import namespace_refusal

    if containment == "namespace" and namespace_refusal():
        pytest.skip(f"no PID namespace here: {namespace_refusal()}")


# The job's view of itself, and what it does when asked to stop.
SELF_VIEW = """
import os, signal, time
signal.signal(signal.SIGTERM, lambda *_: (print("SIGTERM handled", flush=True), os._exit(0)))
print("pids agree:", os.readlink("/proc/self") == str(os.getpid()), flush=True)
print("signalling the parent", flush=True)
try:
    os.kill(os.getppid(), signal.SIGKILL)  # what holds the job, if the job can reach it
    print("parent signalled", flush=True)
except OSError as exc:
    print("parent out of reach:", exc.strerror, flush=True)
subprocess = __import__("subprocess")
subprocess.Popen(["sleep", "300"], start_new_session=True)
print("ready", flush=True)
time.sleep(300)
"""


@pytest.mark.parametrize("containment", CONTAINMENTS)
def test_a_job_cannot_undo_what_holds_it(
    service_factory: Callable[..., Any], make_zip: MakeZip, containment: str
) -> None:
    """A job that kills its parent (jobinit, where it can see it) and leaves a setsid
    child still ends with nothing left: in a namespace its parent is the namespace's
    init, which it cannot kill; with a reaper, the kill by marker finds the child.
    Its PIDs agree with /proc either way, and terminate's SIGTERM reaches its handler."""
    available(containment)
    service = service_factory(simulate=False, containment=containment)
    with client_for(service) as client:
        job = run_stored(client, make_zip({"main.py": SELF_VIEW}))
        job_id = job["job_id"]
        wait_until(
            lambda: (
                ("stdout", "ready") in output_so_far(client, job_id) or job_json_status(client, job_id) != "started"
            ),
            "the job to be ready",
            timeout=PROCESS_DEADLINE,
        )
        client.post(f"/jobs/{job_id}/terminate")
        ended = wait_for_end(client, job_id)
        printed = [text for _, text in output_of(client, job_id) if not text.startswith("[vexa]")]
    assert printed[0] == "pids agree: True"
    assert printed[1] == "signalling the parent"
    if containment == "namespace":
        # Its parent is the namespace's init: signals from inside do not reach it.
        assert printed[2:] == ["parent signalled", "ready", "SIGTERM handled"]
        assert ended["job_status"] == "stopped"
    else:
        # jobinit is gone, so the job is over at once (its group killed, its setsid
        # child by its marker), however far it got.
        assert (ended["job_status"], ended["error"]) == ("failed", "main.py was killed by SIGKILL")
    assert processes_of(job_id) == []


def job_json_status(client: httpx.Client, job_id: str) -> str:
    return str(client.get(f"/jobs/{job_id}").json()["job_status"])


@pytest.mark.parametrize("containment", CONTAINMENTS)
def test_a_killed_service_takes_its_jobs_with_it(
    spawn: Callable[..., Any],  # noqa: F811 - the fixture imported above
    tmp_path: Path,
    make_zip: MakeZip,
    containment: str,
) -> None:
    """kill -9 of the service: every process of its running job goes too (before any
    restart), the escaping children included. The service says at start how jobs are held."""
    available(containment)
    process, base_url = spawn(tmp_path / "data", "--containment", containment, VEXA_API_KEY=KEY)
    said = [process.stdout.readline() for _ in range(3)]
    expected = "PID namespace of its own" if containment == "namespace" else "held by their own reaper"
    assert any(expected in line for line in said), said
    token = f"killed-service-{os.getpid()}-{containment}"
    with httpx.Client(base_url=base_url, headers={"X-API-Key": KEY}, timeout=30.0) as client:
        job = run_stored(client, make_zip({"main.py": ESCAPER.format(token=token, tail="time.sleep(300)")}))
        wait_until(
            lambda: ("stdout", "all started") in output_so_far(client, job["job_id"]),
            "the escaping children to start",
            timeout=PROCESS_DEADLINE,
        )
    assert len(processes_of(job["job_id"], token)) >= 1 + len(ESCAPE_KINDS)
    process.send_signal(signal.SIGKILL)
    process.wait()
    wait_until(lambda: processes_of(job["job_id"], token) == [], "the job's processes to go with the service")


def unprivileged_namespaces_refused() -> str | None:
    """Why this machine gives ordinary users no user namespace, from its settings (None: it does)."""
    settings = {
        "kernel/unprivileged_userns_clone": "0",  # Debian's switch
        "user/max_user_namespaces": "0",
        "kernel/apparmor_restrict_unprivileged_userns": "1",  # Ubuntu's
    }
    for name, refusing in settings.items():
        path = Path("/proc/sys", name)
        if path.exists() and path.read_text().strip() == refusing:
            return f"{path} is {refusing}"
    try:
        here, top = os.stat("/"), os.stat("/proc/1/root")
    except PermissionError:
        return None  # init is not ours to look at (a container): not a chroot of ours either
    if (here.st_dev, here.st_ino) != (top.st_dev, top.st_ino):
        return "in a chroot, where the kernel refuses user namespaces"
    return None


def test_an_ordinary_user_gets_a_namespace_too(request: pytest.FixtureRequest) -> None:
    """Without root, jobinit makes a user namespace (the user is themselves in it) to
    get the PID namespace: the escaping children of a job run by `nobody` go with it."""
    from vexa.devservice.process import JOBINIT

    python = shutil.which("python3", path="/usr/bin:/usr/local/bin")
    if os.geteuid() != 0:
        pytest.skip("needs root, to run a job as another user")
    try:
        nobody = pwd.getpwnam("nobody")
    except KeyError:
        pytest.skip("no user nobody")
    if python is None:
        pytest.skip("no system python3 for nobody")
    if not JOBINIT.stat().st_mode & stat.S_IROTH or any(
        not folder.stat().st_mode & stat.S_IXOTH for folder in JOBINIT.parents
    ):
        pytest.skip(f"nobody cannot read {JOBINIT}")
    refused = unprivileged_namespaces_refused()
    if refused:
        pytest.skip(refused)
    token = f"nobody-{os.getpid()}"
    folder = Path(tempfile.mkdtemp(prefix="vexa-nobody-"))  # pytest's own folders are root's only
    request.addfinalizer(lambda: shutil.rmtree(folder))
    os.chown(folder, nobody.pw_uid, nobody.pw_gid)
    main = folder / "main.py"
    main.write_text(ESCAPER.format(token=token, tail="print('pid', os.getpid(), flush=True)"))
    os.chmod(main, 0o644)
    # A stand-in for the service: it starts jobinit as the service does, as nobody.
    service = (
        "import os, subprocess, sys\n"
        f"done = subprocess.run([sys.executable, '-I', '-S', {str(JOBINIT)!r}, 'namespace', str(os.getpid()),"
        f" sys.executable, 'main.py'], env={{'VEXA_JOB_ID': {token!r}, 'PATH': '/usr/bin:/bin'}},"
        " capture_output=True, text=True, timeout=120)\n"
        "print(done.returncode, done.stdout.split(), done.stderr)\n"
    )
    done = subprocess.run(
        [python, "-I", "-c", service],
        user=nobody.pw_uid,
        group=nobody.pw_gid,
        extra_groups=[],
        cwd=folder,
        capture_output=True,
        text=True,
        timeout=180,
    )
    assert done.stdout.startswith("0 ['all', 'started', 'pid', '2']"), done.stdout + done.stderr
    assert processes_of(token, token) == []


@pytest.mark.parametrize("way", ["interpreter", "syscall"])
def test_a_pidfd_names_one_process_for_good(way: str) -> None:
    """The service waits for and signals a job's first process through a pidfd; where
    the interpreter has no pidfd calls (PyPy), it makes the system calls itself,
    which must behave as the interpreter's do."""
    from vexa.devservice import pidfd

    if way == "interpreter":
        if not hasattr(os, "pidfd_open"):
            pytest.skip("no os.pidfd_open in this interpreter: the service uses the system calls")
        pidfd_open, send_signal = os.pidfd_open, signal.pidfd_send_signal
    else:
        pidfd_open, send_signal = pidfd.open_by_syscall, pidfd.send_signal_by_syscall
    child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    descriptor = pidfd_open(child.pid)
    try:
        assert not os.get_inheritable(descriptor)
        assert not select.select([descriptor], [], [], 0.1)[0], "readable while the process runs"
        send_signal(descriptor, signal.SIGTERM)
        assert select.select([descriptor], [], [], PROCESS_DEADLINE)[0], "not readable once it exited"
        assert child.wait() == -signal.SIGTERM
        with pytest.raises(ProcessLookupError):
            send_signal(descriptor, signal.SIGTERM)  # reaped: its PID may be another's now
    finally:
        child.kill()
        os.close(descriptor)
    with open("/proc/sys/kernel/pid_max") as pid_max:
        with pytest.raises(ProcessLookupError):
            pidfd_open(int(pid_max.read()) + 1)
    with pytest.raises(OSError) as refused:
        pidfd_open(-1)
    assert refused.value.errno == errno.EINVAL
