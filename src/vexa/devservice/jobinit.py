"""The first process of every job: it runs the job's command and, once the command
has ended, leaves nothing of the job behind.

    python -I -S jobinit.py MODE SERVICE_PID COMMAND...

The service starts it in place of the command, so it uses the standard library
only (it runs without site-packages). MODE is how the job is held:

  namespace  The job lives in a PID namespace of its own (in a user namespace of
             its own too when the service is not root). Its first process there
             is this program's child, the namespace's init; when the init ends,
             the kernel kills everything left in the namespace, and nothing can
             leave a namespace: not with setsid, a double fork, an empty
             environment or a non-dumpable process. The namespace gets its own
             /proc, so the job's PIDs and /proc agree.
  reaper     Where namespaces are not allowed: this process becomes the child
             subreaper of the job, so orphans of the job (setsid, double fork)
             become its children instead of init's; once the command has ended it
             kills every process under it. A job can still escape by killing this
             process; the service's kill by marker comes after it.

Either way the job ends with this process, which exits as the command did (by
the same signal, if one killed it). SIGTERM is for the job (the service sends it
to the whole process group) and is ignored here; SIGUSR1 means "end the job now";
and when the service dies, the kernel sends SIGUSR1 here too (parent-death
signal), so a killed service leaves no job running.
"""

from __future__ import annotations

import ctypes
import os
import resource
import select
import signal
import sys
import time

PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36
CLONE_NEWNS = 0x00020000
CLONE_NEWUSER = 0x10000000
CLONE_NEWPID = 0x20000000
MS_NOSUID = 2
MS_NODEV = 4
MS_NOEXEC = 8
MS_REC = 0x4000
MS_PRIVATE = 1 << 18
END_NOW = signal.SIGUSR1
# Signals this process ignores or handles, put back to their defaults for the job's
# command (an ignored signal stays ignored across exec; Python ignores SIGPIPE and SIGXFSZ).
RESET_FOR_COMMAND = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, END_NOW, signal.SIGPIPE, signal.SIGXFSZ)
# Exit status when the job could not be started or contained (as a shell's "cannot execute").
CANNOT_RUN = 126
KILLED = int(signal.SIGKILL)  # the wait status of a process that SIGKILL ended
REAP_POLL_SECONDS = 0.01

_libc = ctypes.CDLL(None, use_errno=True)
# SIGUSR1 is held back outside the waits below (its handler raises), and let through
# only around them; the job's command gets the mask this process was started with.
_started_with_mask = signal.pthread_sigmask(signal.SIG_BLOCK, [END_NOW])


class EndNow(Exception):
    """Raised by the SIGUSR1 handler: end the job at once."""


def _check(result: int, what: str) -> None:
    if result != 0:
        error = ctypes.get_errno()
        raise OSError(error, f"{what}: {os.strerror(error)}")


def _prctl(option: int, value: int) -> None:
    _check(_libc.prctl(option, ctypes.c_ulong(value), 0, 0, 0), "prctl")


def _fail(message: str) -> None:
    os.write(2, f"[vexa] {message}\n".encode(errors="replace"))
    os._exit(CANNOT_RUN)


def _end_now(signum: int, frame: object) -> None:
    raise EndNow


def _exec(command: list[str]) -> None:
    """In a fresh child: become the job's command (never returns)."""
    try:
        for signum in RESET_FOR_COMMAND:
            signal.signal(signum, signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_SETMASK, _started_with_mask)
        os.execv(command[0], command)
    except OSError as exc:
        _fail(f"Could not start {command[0]}: {exc.strerror}")
    finally:
        os._exit(CANNOT_RUN)


class _EndingAllowed:
    """Lets SIGUSR1 (and its EndNow) in for a `with` block."""

    def __enter__(self) -> None:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, [END_NOW])

    def __exit__(self, *exc_info: object) -> None:
        signal.pthread_sigmask(signal.SIG_BLOCK, [END_NOW])


def _exit_as(status: int) -> None:
    """Leave as a process whose wait status was `status` did: the same exit code, or
    killed by the same signal (without a core file)."""
    if os.WIFSIGNALED(status):
        signum = os.WTERMSIG(status)
        if signum != signal.SIGKILL:  # which has no handler to reset, and cannot be blocked
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
            signal.signal(signum, signal.SIG_DFL)
            signal.pthread_sigmask(signal.SIG_UNBLOCK, [signum])
        os.kill(os.getpid(), signum)
    os._exit(os.waitstatus_to_exitcode(status) if os.WIFEXITED(status) else CANNOT_RUN)


# ----- a PID namespace of its own -----


def enter_namespaces() -> None:
    """Make this process's next child the init of a new PID namespace, with a mount
    namespace to give it its own /proc. Root needs nothing more; anyone else gets a
    user namespace too, in which they are themselves (their uid and gid map to
    themselves), which is what lets them create the others."""
    flags = CLONE_NEWPID | CLONE_NEWNS
    uid, gid = os.geteuid(), os.getegid()
    if _libc.unshare(flags) != 0:
        _check(_libc.unshare(flags | CLONE_NEWUSER), "unshare")
        for name, text in (("setgroups", "deny"), ("uid_map", f"{uid} {uid} 1"), ("gid_map", f"{gid} {gid} 1")):
            with open(f"/proc/self/{name}", "w") as file:
                file.write(text)
    # Nothing mounted here may reach the service's namespace (a shared / would carry it).
    # In a chroot / is no mount point: then at least the new /proc must not.
    if _libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None) != 0:
        _check(_libc.mount(b"none", b"/proc", None, MS_REC | MS_PRIVATE, None), "mount --make-rprivate /proc")


def run_as_init(command: list[str], keeper_alive: int, status_out: int) -> None:
    """The namespace's PID 1: start the command, reap every orphan, and when the
    command ends, report its wait status and leave (the kernel kills the rest)."""
    _prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    if select.select([keeper_alive], [], [], 0)[0]:
        os._exit(CANNOT_RUN)  # the keeper died before the line above: so must the job
    _check(_libc.mount(b"proc", b"/proc", b"proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, None), "mount /proc")
    child = os.fork()
    if child == 0:
        _exec(command)
    while True:
        pid, status = os.waitpid(-1, 0)
        if pid == child:
            os.write(status_out, status.to_bytes(4, "little"))
            os._exit(0)


def keep_namespace(command: list[str]) -> None:
    enter_namespaces()
    keeper_alive, alive_end = os.pipe()  # EOF for the init once this process is gone
    status_in, status_out = os.pipe()
    init = os.fork()
    if init == 0:
        os.close(alive_end)
        os.close(status_in)
        try:
            run_as_init(command, keeper_alive, status_out)
        except BaseException as exc:  # noqa: BLE001 - whatever it is, the job cannot run
            _fail(f"The job could not be given a PID namespace: {exc}")
    os.close(keeper_alive)
    os.close(status_out)
    try:
        with _EndingAllowed():
            os.waitpid(init, 0)
    except EndNow:
        os.kill(init, signal.SIGKILL)  # the kernel kills the namespace with its init
        os.waitpid(init, 0)  # returns once every process of the namespace is gone
        _exit_as(KILLED)
    reported = os.read(status_in, 4)
    if len(reported) != 4:
        os._exit(CANNOT_RUN)  # the init itself failed (it said why on stderr)
    _exit_as(int.from_bytes(reported, "little"))


# ----- a reaper of its own -----


def descendants(root: int) -> list[int]:
    """The processes under `root`, from /proc (parent links only: readable whatever the
    processes did to their environment or dumpability)."""
    children: dict[int, list[int]] = {}
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            with open(f"/proc/{entry.name}/stat", "rb") as stat:
                fields = stat.read().rpartition(b")")[2].split()
        except OSError:
            continue  # gone meanwhile
        children.setdefault(int(fields[1]), []).append(int(entry.name))
    found, todo = [], [root]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def end_everything_under_me() -> None:
    """SIGKILL every process under this one and reap them, until none is left: an
    orphan of a killed process becomes this one's child and is found next round."""
    me = os.getpid()
    while True:
        for pid in descendants(me):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            time.sleep(REAP_POLL_SECONDS)  # none has died yet since the signals


def keep_reaper(command: list[str]) -> None:
    _prctl(PR_SET_CHILD_SUBREAPER, 1)
    child = os.fork()
    if child == 0:
        _exec(command)
    status = KILLED
    try:
        with _EndingAllowed():
            while True:
                pid, found = os.waitpid(-1, 0)  # orphans of the job come here too
                if pid == child:
                    status = found
                    break
    except EndNow:
        pass
    end_everything_under_me()
    _exit_as(status)


def main(argv: list[str]) -> None:
    mode, service_pid, command = argv[1], int(argv[2]), argv[3:]
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, signal.SIG_IGN)  # sent to the job's group: for the job, not for this process
    signal.signal(END_NOW, _end_now)
    try:
        _prctl(PR_SET_PDEATHSIG, END_NOW)
    except OSError as exc:
        _fail(f"The job could not be tied to the service: {exc}")
    if os.getppid() != service_pid:
        os._exit(CANNOT_RUN)  # the service died before the line above
    try:
        if mode == "namespace":
            keep_namespace(command)
        else:
            keep_reaper(command)
    except OSError as exc:
        _fail(f"The job could not be contained: {exc}")


if __name__ == "__main__":
    main(sys.argv)
