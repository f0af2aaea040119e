"""The database: its schema, its migrations and every statement the service runs.

The standard library's sqlite3 in WAL mode. The schema version is kept in
`PRAGMA user_version`; opening a database runs the migrations it has not had
yet, each in its own transaction, so a database of any earlier version keeps
working. Every method blocks: call them from worker threads.
"""

from __future__ import annotations

import asyncio
import contextlib
import errno
import json
import os
import sqlite3
import threading
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Iterable, Iterator, Sequence

from .metadata import MetadataError, encode_metadata, parse_metadata
from .models import Job, OutputLine

DATABASE_FILE = "vexa.sqlite3"
SQLITE_FULL = 13  # "database or disk is full"
NO_ROOM_ERRNOS = frozenset({errno.ENOSPC, errno.EDQUOT})


def is_disk_full(exc: BaseException) -> bool:
    """Whether `exc` is a write that failed for lack of space (or quota)."""
    if isinstance(exc, WriteSkipped):
        return is_disk_full(exc.cause)
    if isinstance(exc, OSError):
        return exc.errno in NO_ROOM_ERRNOS
    if isinstance(exc, sqlite3.Error):
        # sqlite_errorcode is there from Python 3.11; the message is SQLite's own text for the code.
        return getattr(exc, "sqlite_errorcode", None) == SQLITE_FULL or "database or disk is full" in str(exc)
    return False


def describe_write_failure(exc: BaseException) -> str:
    """Why a write failed, in a few words."""
    if isinstance(exc, WriteSkipped):
        return describe_write_failure(exc.cause)
    if is_disk_full(exc):
        return "the disk is full"
    return f"{type(exc).__name__}: {exc}"


class WriteSkipped(Exception):
    """A write not tried because one before it failed: writes are carried out in order or not at all."""

    def __init__(self, cause: BaseException) -> None:
        super().__init__(f"not written, since an earlier write failed: {cause}")
        self.cause = cause


# What a failed write of the service's own raises.
WRITE_ERRORS = (OSError, sqlite3.Error, WriteSkipped)


@dataclass(frozen=True)
class Migration:
    """One step of the schema: `sql` or `apply` (or both) on the previous version."""

    version: int
    description: str
    sql: str = ""
    apply: Callable[[sqlite3.Connection], None] | None = None


def run(connection: sqlite3.Connection, sql: str, parameters: Sequence[Any] = ()) -> list[tuple[Any, ...]]:
    """`connection.execute(sql, parameters)`, its rows read and its cursor
    closed at once, by the thread that holds the connection.

    An open cursor keeps its statement in use until the cursor is collected.
    On PyPy that is later, in a collection that any thread may run: COMMIT
    fails meanwhile ("SQL statements in progress"), and the collection's reset
    of the statement races the thread then using the connection (PyPy's
    sqlite3 crashed so)."""
    cursor = connection.execute(sql, tuple(parameters))
    try:
        return cursor.fetchall()
    finally:
        cursor.close()


def _strict_metadata(connection: sqlite3.Connection) -> None:
    for code_id, raw in run(connection, SQL.SELECT_METADATA):
        try:
            parse_metadata(raw.encode("utf-8", "surrogatepass"))
        except MetadataError:
            run(connection, SQL.UPDATE_METADATA, (encode_metadata(None), code_id))


# Append only: a released migration never changes, since databases out there have run it.
MIGRATIONS = (
    Migration(
        1,
        "code records, job records and job output lines",
        """
        CREATE TABLE IF NOT EXISTS code (
            code_id TEXT PRIMARY KEY,
            code_name TEXT NOT NULL,
            code_type TEXT NOT NULL,
            size INTEGER NOT NULL,
            created_at TEXT NOT NULL,
            metadata TEXT NOT NULL
        );
        CREATE TABLE IF NOT EXISTS jobs (
            job_id TEXT PRIMARY KEY,
            record TEXT NOT NULL
        );
        CREATE TABLE IF NOT EXISTS job_lines (
            job_id TEXT NOT NULL,
            line_no INTEGER NOT NULL,
            stream TEXT NOT NULL,
            text TEXT NOT NULL,
            timestamp TEXT NOT NULL,
            PRIMARY KEY (job_id, line_no)
        );
        """,
    ),
    Migration(
        2,
        "metadata that is not strict JSON (NaN, Infinity, lone surrogates, too deep) becomes null",
        apply=_strict_metadata,
    ),
)
SCHEMA_VERSION = MIGRATIONS[-1].version


class SQL:
    """Every statement the service runs, by name."""

    INSERT_CODE = (
        "INSERT INTO code (code_id, code_name, code_type, size, created_at, metadata) VALUES (?, ?, ?, ?, ?, ?)"
    )
    SELECT_CODE = "SELECT code_id, code_name, code_type, size, created_at, metadata FROM code ORDER BY rowid"
    DELETE_CODE = "DELETE FROM code WHERE code_id = ?"
    SELECT_METADATA = "SELECT code_id, metadata FROM code"
    UPDATE_METADATA = "UPDATE code SET metadata = ? WHERE code_id = ?"
    UPSERT_JOB = (
        "INSERT INTO jobs (job_id, record) VALUES (?, ?) ON CONFLICT(job_id) DO UPDATE SET record = excluded.record"
    )
    SELECT_JOBS = "SELECT record FROM jobs ORDER BY rowid"
    DELETE_JOB = "DELETE FROM jobs WHERE job_id = ?"
    DELETE_LINES = "DELETE FROM job_lines WHERE job_id = ?"
    INSERT_LINE = "INSERT INTO job_lines (job_id, line_no, stream, text, timestamp) VALUES (?, ?, ?, ?, ?)"
    SELECT_LINES = "SELECT stream, text, timestamp FROM job_lines WHERE job_id = ? AND line_no >= ? ORDER BY line_no"
    COUNT_LINES = "SELECT job_id, MAX(line_no) + 1 FROM job_lines GROUP BY job_id"


Statement = tuple[str, Sequence[Any]]


class Database:
    """A writing connection serialised by a lock, and a reading one beside it.

    WAL lets the reader see every committed write without waiting for the writer,
    so long reads (a job's output streamed in pages) never hold up commits.
    """

    def __init__(self, path: Path) -> None:
        self.path = path
        _create_private(path)
        self._connection = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        self._lock = threading.Lock()
        with self._lock:
            run(self._connection, "PRAGMA journal_mode=WAL")
            run(self._connection, "PRAGMA synchronous=NORMAL")
            migrate(self._connection)
        self._reader = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        self._read_lock = threading.Lock()

    def close(self) -> None:
        with self._lock, self._read_lock:
            self._reader.close()
            self._connection.close()

    def query(self, sql: str, parameters: Sequence[Any] = ()) -> list[tuple[Any, ...]]:
        with self._read_lock:
            return run(self._reader, sql, parameters)

    def iterate(self, sql: str, parameters: Sequence[Any] = (), *, page: int = 256) -> Iterator[tuple[Any, ...]]:
        """The rows one by one, fetched in pages of `page`: memory stays flat however many there are.

        Each iteration reads through a connection of its own: an unfinished
        statement pins its connection's snapshot, and on the shared reader it
        would hide from every other query what was committed after it began.
        """
        reader = sqlite3.connect(self.path, check_same_thread=False, isolation_level=None)
        try:
            cursor = reader.execute(sql, tuple(parameters))
            try:
                while rows := cursor.fetchmany(page):
                    yield from rows
            finally:
                cursor.close()
        finally:
            reader.close()

    def write(self, statements: Sequence[Statement]) -> None:
        """Run the statements in one transaction."""
        with self.transaction() as connection:
            for sql, parameters in statements:
                run(connection, sql, parameters)

    @contextlib.contextmanager
    def transaction(self) -> Iterator[sqlite3.Connection]:
        """The writing connection inside BEGIN IMMEDIATE ... COMMIT (ROLLBACK on any error)."""
        with self._lock:
            with _transaction(self._connection):
                yield self._connection


@contextlib.contextmanager
def _transaction(connection: sqlite3.Connection) -> Iterator[None]:
    run(connection, "BEGIN IMMEDIATE")
    try:
        yield
        run(connection, "COMMIT")
    except BaseException:
        # A full disk may make SQLite roll back by itself (in a statement or at
        # COMMIT); a ROLLBACK then would hide the error with "no transaction".
        # A failed COMMIT that left the transaction open is rolled back here, or
        # the next BEGIN would fail.
        if connection.in_transaction:
            run(connection, "ROLLBACK")
        raise


def migrate(connection: sqlite3.Connection) -> int:
    """Bring the database to `SCHEMA_VERSION`; returns the version it had."""
    [(found,)] = run(connection, "PRAGMA user_version")
    if found > SCHEMA_VERSION:
        raise RuntimeError(f"The database has schema version {found}, newer than this service knows ({SCHEMA_VERSION})")
    for migration in MIGRATIONS:
        if migration.version <= found:
            continue
        with _transaction(connection):
            for statement in _statements(migration.sql):
                run(connection, statement)
            if migration.apply is not None:
                migration.apply(connection)
            run(connection, f"PRAGMA user_version = {migration.version:d}")
    return int(found)


def _statements(script: str) -> list[str]:
    # executescript() would COMMIT the surrounding transaction; the schema has no ';' in strings.
    return [statement.strip() for statement in script.split(";") if statement.strip()]


def _create_private(path: Path) -> None:
    """Create the database file for its owner only, or make an existing one so
    (SQLite gives its -wal and -shm files the same mode)."""
    try:
        os.close(os.open(path, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o600))
    except FileExistsError:
        for file in (path, path.with_name(path.name + "-wal"), path.with_name(path.name + "-shm")):
            with contextlib.suppress(FileNotFoundError):
                if file.stat().st_mode & 0o077:
                    file.chmod(0o600)


class JobStore:
    """Job records and output lines in the database, written by one thread, in order.

    Once a write fails, those submitted after it fail too (`WriteSkipped`) until
    `resume()`: a later batch of lines never lands before an earlier one that did not.
    """

    def __init__(self, database: Database) -> None:
        self.database = database
        self._writer = ThreadPoolExecutor(max_workers=1, thread_name_prefix="vexa-jobstore")
        self._failure: BaseException | None = None  # the writer thread's only

    def _write_in_order(self, statements: list[Statement]) -> None:
        if self._failure is not None:
            raise WriteSkipped(self._failure)
        try:
            self.database.write(statements)
        except BaseException as exc:
            self._failure = exc
            raise

    def resume(self) -> None:
        """Let writes through again, from the next one submitted on."""

        def clear() -> None:
            self._failure = None

        self._writer.submit(clear)

    def load(self) -> list[Job]:
        """The jobs, oldest first; their lines stay on disk (only counted)."""
        counts = dict(self.database.query(SQL.COUNT_LINES))
        jobs = []
        for (raw,) in self.database.query(SQL.SELECT_JOBS):
            job = Job.from_record(json.loads(raw))
            job.saved_lines = job.submitted_lines = counts.get(job.job_id) or 0
            jobs.append(job)
        return jobs

    def snapshot(self, job: Job, record: dict[str, Any] | None = None) -> tuple[list[Statement], int]:
        """Statements that save the job (as `record`, if given) and its lines not yet
        handed over; returns them and how many lines they carry. On the loop."""
        statements: list[Statement] = [(SQL.UPSERT_JOB, (job.job_id, json.dumps(record or job.to_record())))]
        first = job.submitted_lines - job.saved_lines
        for offset, line in enumerate(job.pending[first:]):
            line_no = job.submitted_lines + offset
            statements.append((SQL.INSERT_LINE, (job.job_id, line_no, line.stream, line.text, line.timestamp)))
        carried = len(statements) - 1
        job.submitted_lines += carried
        return statements, carried

    def forget(self, job_ids: Iterable[str]) -> list[Statement]:
        """Statements that delete jobs and their output lines."""
        return [(sql, (job_id,)) for job_id in job_ids for sql in (SQL.DELETE_JOB, SQL.DELETE_LINES)]

    def submit(self, statements: list[Statement]) -> asyncio.Future[None]:
        """Write the statements in one transaction, after everything submitted before."""
        return asyncio.get_running_loop().run_in_executor(self._writer, self._write_in_order, statements)

    def write_now(self, statements: list[Statement]) -> None:
        """Write at once (before the loop runs), after everything submitted before."""
        self._writer.submit(self.database.write, statements).result()

    def read_lines(self, job_id: str, start: int, max_lines: int, max_bytes: int) -> list[OutputLine]:
        """Committed lines from `start`: at most `max_lines`, stopping once `max_bytes` are reached. Blocks."""
        lines: list[OutputLine] = []
        size = 0
        for stream, text, timestamp in self.database.iterate(SQL.SELECT_LINES, (job_id, start), page=64):
            lines.append(OutputLine(job_id, stream, text, timestamp))
            size += len(text)
            if len(lines) >= max_lines or size >= max_bytes:
                break
        return lines

    def iter_lines(self, job_id: str) -> Iterator[OutputLine]:
        """Every committed line of the job, in order, read in pages. Blocks."""
        for stream, text, timestamp in self.database.iterate(SQL.SELECT_LINES, (job_id, 0)):
            yield OutputLine(job_id, stream, text, timestamp)

    def close(self) -> None:
        self._writer.shutdown(wait=True)

    async def drain(self) -> None:
        """Wait until every write submitted so far is done."""
        await asyncio.get_running_loop().run_in_executor(self._writer, lambda: None)
