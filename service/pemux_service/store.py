"""Where jobs and results live.

Two small interfaces, so that a broker-backed engine can keep job state
elsewhere later: JobStore (job records) and BlobStore (problem and result
bytes). The embedded defaults keep both under the data directory: jobs in
SQLite, problems and results as files.

A problem is named by the hash of its sorted values (its key); any number
of requests may point at one problem, which is solved once.
"""

import abc
import array
import dataclasses
import os
import sqlite3
import tempfile

from .private import FILE_MODE, private_dir, private_file

QUEUED, RUNNING, DONE, FAILED = "queued", "running", "done", "failed"


@dataclasses.dataclass
class Problem:
    key: str
    state: str
    total: int
    count: int
    deaths: int
    error: str | None


class JobStore(abc.ABC):
    """Job records; every method is short and may be called from the
    event loop."""

    @abc.abstractmethod
    def problem(self, pkey) -> Problem | None: ...

    @abc.abstractmethod
    def accept(self, rid, pkey, key_id, total, count, state, now, error=None):
        """Records a request for a problem; creates the problem in state
        unless it exists. A failed problem submitted again is tried again.
        Returns the problem's state after the call."""

    @abc.abstractmethod
    def request(self, rid) -> Problem | None: ...

    @abc.abstractmethod
    def pending_for(self, key_id) -> int:
        """Requests of one key whose problem is queued or running."""

    @abc.abstractmethod
    def claim(self) -> Problem | None:
        """The oldest queued problem, now running; None when none is queued."""

    @abc.abstractmethod
    def finish(self, pkey, now): ...

    @abc.abstractmethod
    def fail(self, pkey, error, now): ...

    @abc.abstractmethod
    def requeue(self, pkey, died) -> int:
        """Back to the queue; counts a worker death when died. Returns the
        deaths so far."""

    @abc.abstractmethod
    def recover(self) -> list[str]:
        """After a restart: running problems are queued again. Returns the
        keys of every queued problem and of every done one, for checks."""

    @abc.abstractmethod
    def expire(self, cutoff) -> list[str]:
        """Removes finished problems last used before cutoff, and their
        requests. Returns their keys."""

    @abc.abstractmethod
    def counts(self) -> dict[str, int]: ...

    @abc.abstractmethod
    def close(self): ...


class SqliteJobStore(JobStore):
    SCHEMA = """
    CREATE TABLE IF NOT EXISTS problems (
        pkey TEXT PRIMARY KEY,
        state TEXT NOT NULL,
        total INTEGER NOT NULL,
        count INTEGER NOT NULL,
        deaths INTEGER NOT NULL DEFAULT 0,
        error TEXT,
        created REAL NOT NULL,
        used REAL NOT NULL
    );
    CREATE INDEX IF NOT EXISTS problems_by_state ON problems(state, created);
    CREATE TABLE IF NOT EXISTS requests (
        rid TEXT PRIMARY KEY,
        pkey TEXT NOT NULL,
        key_id TEXT NOT NULL,
        created REAL NOT NULL
    );
    CREATE INDEX IF NOT EXISTS requests_by_problem ON requests(pkey);
    CREATE INDEX IF NOT EXISTS requests_by_key ON requests(key_id);
    """

    def __init__(self, path):
        # Autocommit; transactions are explicit. WAL with synchronous=NORMAL
        # keeps every commit across a killed process (the pages are in the
        # kernel) and the database consistent across a power loss.
        self._db = sqlite3.connect(private_file(path), isolation_level=None)
        self._db.execute("PRAGMA journal_mode=WAL")
        self._db.execute("PRAGMA synchronous=NORMAL")
        self._db.execute("PRAGMA busy_timeout=5000")
        self._db.executescript(self.SCHEMA)

    def _row(self, row):
        return None if row is None else Problem(*row)

    _COLS = "p.pkey, p.state, p.total, p.count, p.deaths, p.error"

    def problem(self, pkey):
        return self._row(self._db.execute(
            f"SELECT {self._COLS} FROM problems p WHERE pkey=?", (pkey,)).fetchone())

    def accept(self, rid, pkey, key_id, total, count, state, now, error=None):
        db = self._db
        db.execute("BEGIN IMMEDIATE")
        try:
            db.execute(
                "INSERT INTO problems(pkey, state, total, count, error, created, used)"
                " VALUES(?,?,?,?,?,?,?) ON CONFLICT(pkey) DO UPDATE SET used=excluded.used,"
                " state=CASE WHEN state='failed' THEN excluded.state ELSE state END,"
                " error=CASE WHEN state='failed' THEN excluded.error ELSE error END,"
                " deaths=CASE WHEN state='failed' THEN 0 ELSE deaths END",
                (pkey, state, total, count, error, now, now))
            db.execute("INSERT INTO requests(rid, pkey, key_id, created) VALUES(?,?,?,?)",
                       (rid, pkey, key_id, now))
            got = db.execute("SELECT state FROM problems WHERE pkey=?", (pkey,)).fetchone()
            db.execute("COMMIT")
        except BaseException:
            db.execute("ROLLBACK")
            raise
        return got[0]

    def request(self, rid):
        return self._row(self._db.execute(
            f"SELECT {self._COLS} FROM requests r JOIN problems p ON p.pkey=r.pkey"
            " WHERE r.rid=?", (rid,)).fetchone())

    def pending_for(self, key_id):
        return self._db.execute(
            "SELECT COUNT(*) FROM requests r JOIN problems p ON p.pkey=r.pkey"
            " WHERE r.key_id=? AND p.state IN ('queued','running')",
            (key_id,)).fetchone()[0]

    def claim(self):
        db = self._db
        db.execute("BEGIN IMMEDIATE")
        try:
            row = db.execute(
                f"SELECT {self._COLS} FROM problems p WHERE state='queued'"
                " ORDER BY created LIMIT 1").fetchone()
            if row is not None:
                db.execute("UPDATE problems SET state='running' WHERE pkey=?", (row[0],))
            db.execute("COMMIT")
        except BaseException:
            db.execute("ROLLBACK")
            raise
        return None if row is None else dataclasses.replace(self._row(row), state=RUNNING)

    def finish(self, pkey, now):
        self._db.execute("UPDATE problems SET state='done', error=NULL, used=? WHERE pkey=?",
                         (now, pkey))

    def fail(self, pkey, error, now):
        self._db.execute("UPDATE problems SET state='failed', error=?, used=? WHERE pkey=?",
                         (error, now, pkey))

    def requeue(self, pkey, died):
        self._db.execute(
            "UPDATE problems SET state='queued', deaths=deaths+? WHERE pkey=?",
            (1 if died else 0, pkey))
        row = self._db.execute("SELECT deaths FROM problems WHERE pkey=?", (pkey,)).fetchone()
        return row[0] if row else 0

    def recover(self):
        self._db.execute("UPDATE problems SET state='queued' WHERE state='running'")
        return [r[0] for r in self._db.execute(
            "SELECT pkey FROM problems WHERE state IN ('queued','done')")]

    def expire(self, cutoff):
        db = self._db
        db.execute("BEGIN IMMEDIATE")
        try:
            keys = [r[0] for r in db.execute(
                "SELECT pkey FROM problems WHERE state IN ('done','failed') AND used<?",
                (cutoff,))]
            db.executemany("DELETE FROM requests WHERE pkey=?", [(k,) for k in keys])
            db.executemany("DELETE FROM problems WHERE pkey=?", [(k,) for k in keys])
            db.execute("COMMIT")
        except BaseException:
            db.execute("ROLLBACK")
            raise
        return keys

    def counts(self):
        out = {QUEUED: 0, RUNNING: 0, DONE: 0, FAILED: 0}
        for state, n in self._db.execute("SELECT state, COUNT(*) FROM problems GROUP BY state"):
            out[state] = n
        return out

    def close(self):
        self._db.close()


class BlobStore(abc.ABC):
    """Problem values and result streams, by problem key."""

    @abc.abstractmethod
    def put_problem(self, pkey, values): ...

    @abc.abstractmethod
    def problem_path(self, pkey) -> str: ...

    @abc.abstractmethod
    def result_path(self, pkey) -> str: ...

    @abc.abstractmethod
    def has_problem(self, pkey) -> bool: ...

    @abc.abstractmethod
    def has_result(self, pkey) -> bool: ...

    @abc.abstractmethod
    def remove(self, pkey): ...

    @abc.abstractmethod
    def keys(self) -> set[str]:
        """Every name under which something is stored."""


class FileBlobStore(BlobStore):
    def __init__(self, root):
        self._problems = os.path.join(root, "problems")
        self._results = os.path.join(root, "results")
        private_dir(self._problems)
        private_dir(self._results)

    def problem_path(self, pkey):
        return os.path.join(self._problems, pkey)

    def result_path(self, pkey):
        return os.path.join(self._results, pkey)

    def put_problem(self, pkey, values):
        path = self.problem_path(pkey)
        if not os.path.exists(path):
            write_atomic(path, array.array("Q", values).tobytes())

    def has_problem(self, pkey):
        return os.path.exists(self.problem_path(pkey))

    def has_result(self, pkey):
        return os.path.exists(self.result_path(pkey))

    def keys(self):
        return set(os.listdir(self._problems)) | set(os.listdir(self._results))

    def remove(self, pkey):
        for path in (self.problem_path(pkey), self.result_path(pkey)):
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass


def read_problem(path):
    values = array.array("Q")
    with open(path, "rb") as f:
        values.frombytes(f.read())
    return values


def write_atomic(path, data, mode=FILE_MODE):
    """Writes data whole or not at all: readers see the old file or the new."""
    write_atomic_pieces(path, (data,), mode)


def write_atomic_pieces(path, pieces, mode=FILE_MODE):
    """As write_atomic, from an iterable of byte strings; returns the size."""
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(path) or ".", prefix=".tmp-")
    size = 0
    try:
        os.fchmod(fd, mode)
        with os.fdopen(fd, "wb") as f:
            for piece in pieces:
                f.write(piece)
                size += len(piece)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    return size
