"""Where jobs and results live.

Two small interfaces: JobStore (job records: SQLite here, Redis in
redis_store.py) and BlobStore (problem and result bytes, as files under the
data directory).

A problem is named by the hash of its owner's key id and its sorted values
(its key); any number of requests of that key may point at one problem,
which is solved once.
"""

import abc
import array
import dataclasses
import os
import re
import sqlite3
import tempfile

from .private import FILE_MODE, private_dir, private_file

QUEUED, RUNNING, DONE, FAILED = "queued", "running", "done", "failed"
PROBLEM_LOST = "The problem's data was lost; submit it again"


@dataclasses.dataclass
class Problem:
    key: str
    state: str
    total: int
    count: int
    deaths: int
    error: str | None


# A problem key: the SHA-256 of its owner and values, in hex, marked "s"
# for a subset problem. Anything read back from a job store is held to this
# form before it names a file.
PROBLEM_KEY_RE = re.compile(r"s?[0-9a-f]{64}")


def is_problem_key(text):
    return isinstance(text, str) and PROBLEM_KEY_RE.fullmatch(text) is not None


class JobStore(abc.ABC):
    """Job records. Both stores implement every method, and one set of
    tests holds each to the same behaviour.

    A problem belongs to the key that submitted it (its key hashes the key
    id with the values), so that no key learns from an answer what another
    key sent. Each attempt at a problem is numbered (a try): a failure is
    final for its own try only."""

    @abc.abstractmethod
    def problem(self, pkey) -> Problem | None: ...

    @abc.abstractmethod
    def new_try(self, pkey) -> int:
        """Numbers a fresh attempt at a problem, before it is handed to a
        solver; accept() with that number leaves a failure of the attempt
        itself alone."""

    @abc.abstractmethod
    def accept(self, rid, pkey, key_id, total, count, state, now, error=None, try_no=None,
               reuse=False):
        """Records a request for a problem; creates the problem in state
        unless it exists. A failed problem submitted again starts afresh
        in state, unless the failure is of try_no itself (a solver that
        failed before its submit was recorded); None stands for a try
        after every failure. Returns the problem's state after the call.
        With reuse, only joins a problem that exists and has not failed,
        and otherwise records nothing and returns None."""

    @abc.abstractmethod
    def request(self, rid, key_id) -> Problem | None:
        """The problem of a request made with key_id; None for an unknown
        request and for a request of another key alike."""

    @abc.abstractmethod
    def pending_for(self, key_id) -> int:
        """Problems of one key that are queued or running, each once
        however many requests point at it."""

    @abc.abstractmethod
    def claim(self) -> Problem | None:
        """A queued problem, now running, or None when none is queued.
        Keys share the solvers: the problem comes from the key with the
        fewest running, the oldest of that key first."""

    @abc.abstractmethod
    def begin(self, pkey, try_no, max_starts, over_text, new_start=True) -> str:
        """Marks a delivered problem running. Returns "running" when the
        solver should solve it, else the state that makes the delivery
        moot: done, or failed (by this try already, or started more than
        max_starts times, with over_text as its error). new_start False:
        the same delivery tried again, not counted as a start."""

    @abc.abstractmethod
    def finish(self, pkey, now): ...

    @abc.abstractmethod
    def fail(self, pkey, error, now, try_no=None):
        """Fails a problem (for try_no, when given); a done one stays done."""

    @abc.abstractmethod
    def requeue(self, pkey, died, now=None) -> int:
        """Back to the queue; counts a solver death when died. Returns the
        deaths so far. now: the time, where a store keeps it."""

    @abc.abstractmethod
    def recover(self) -> list[str]:
        """After a restart: running problems are queued again. Returns the
        keys of every queued problem and of every done one, for checks."""

    @abc.abstractmethod
    def expire(self, cutoff) -> list[str]:
        """Removes finished problems last used before cutoff, and their
        requests. Returns their keys."""

    @abc.abstractmethod
    def counts(self, states=(QUEUED, RUNNING, DONE, FAILED)) -> dict[str, int]:
        """Problems in each of states. Counting done and failed ones reads
        every finished problem: health asks for the unfinished only."""

    @abc.abstractmethod
    def close(self): ...


class SqliteJobStore(JobStore):
    SCHEMA = """
    CREATE TABLE IF NOT EXISTS problems (
        pkey TEXT PRIMARY KEY,
        state TEXT NOT NULL,
        total TEXT NOT NULL,  -- as text: a sum may pass SQLite's 64-bit integers
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
    # Columns added since the first schema; a database made before gets them
    # at its next start.
    ADDED = {"owner": "TEXT NOT NULL DEFAULT ''", "tries": "INTEGER NOT NULL DEFAULT 0",
             "starts": "INTEGER NOT NULL DEFAULT 0",
             "failed_try": "INTEGER NOT NULL DEFAULT 0"}

    def __init__(self, path):
        # Autocommit; transactions are explicit. WAL with synchronous=NORMAL
        # keeps every commit across a killed process (the pages are in the
        # kernel) and the database consistent across a power loss.
        self._db = sqlite3.connect(private_file(path), isolation_level=None)
        self._db.execute("PRAGMA journal_mode=WAL")
        self._db.execute("PRAGMA synchronous=NORMAL")
        self._db.execute("PRAGMA busy_timeout=5000")
        self._db.executescript(self.SCHEMA)
        have = {r[1] for r in self._db.execute("PRAGMA table_info(problems)")}
        for col, decl in self.ADDED.items():
            if col not in have:
                self._db.execute(f"ALTER TABLE problems ADD COLUMN {col} {decl}")
        self._db.execute(
            "CREATE INDEX IF NOT EXISTS problems_by_owner ON problems(owner, state)")

    def _row(self, row):
        if row is None:
            return None
        pkey, state, total, *rest = row
        return Problem(pkey, state, int(total), *rest)

    _COLS = "p.pkey, p.state, p.total, p.count, p.deaths, p.error"

    def _tx(self, fn):
        db = self._db
        db.execute("BEGIN IMMEDIATE")
        try:
            out = fn(db)
            db.execute("COMMIT")
        except BaseException:
            db.execute("ROLLBACK")
            raise
        return out

    def problem(self, pkey):
        return self._row(self._db.execute(
            f"SELECT {self._COLS} FROM problems p WHERE pkey=? AND state!=''",
            (pkey,)).fetchone())

    def new_try(self, pkey):
        def go(db):
            # A try counted before the problem's first accept lives in a
            # placeholder row that accept() fills in.
            db.execute("INSERT INTO problems(pkey, state, total, count, created, used, tries)"
                       " VALUES(?, '', 0, 0, 0, 0, 0) ON CONFLICT(pkey) DO NOTHING", (pkey,))
            db.execute("UPDATE problems SET tries=tries+1 WHERE pkey=?", (pkey,))
            return db.execute("SELECT tries FROM problems WHERE pkey=?", (pkey,)).fetchone()[0]
        return self._tx(go)

    def accept(self, rid, pkey, key_id, total, count, state, now, error=None, try_no=None,
               reuse=False):
        def go(db):
            row = db.execute("SELECT state, failed_try FROM problems WHERE pkey=?",
                             (pkey,)).fetchone()
            if reuse and (row is None or row[0] in ("", FAILED)):
                return None
            fresh = row is None or row[0] == ""
            if row is not None and row[0] == FAILED:
                fresh = try_no is None or row[1] < try_no
            if row is None:
                db.execute("INSERT INTO problems(pkey, state, total, count, error, created,"
                           " used, owner) VALUES(?,?,?,?,?,?,?,?)",
                           (pkey, state, str(total), count, error, now, now, key_id))
            elif fresh:
                db.execute("UPDATE problems SET state=?, error=?, deaths=0, starts=0,"
                           " total=?, count=?, owner=?, used=?,"
                           " created=CASE WHEN created=0 THEN ? ELSE created END"
                           " WHERE pkey=?",
                           (state, error, str(total), count, key_id, now, now, pkey))
            else:
                # A solver may have begun before this first accept: the
                # placeholder row gets the problem's own fields.
                db.execute("UPDATE problems SET used=?,"
                           " owner=CASE WHEN owner='' THEN ? ELSE owner END,"
                           " total=CASE WHEN created=0 THEN ? ELSE total END,"
                           " count=CASE WHEN created=0 THEN ? ELSE count END,"
                           " created=CASE WHEN created=0 THEN ? ELSE created END"
                           " WHERE pkey=?", (now, key_id, str(total), count, now, pkey))
            db.execute("INSERT INTO requests(rid, pkey, key_id, created) VALUES(?,?,?,?)",
                       (rid, pkey, key_id, now))
            return db.execute("SELECT state FROM problems WHERE pkey=?", (pkey,)).fetchone()[0]
        return self._tx(go)

    def request(self, rid, key_id):
        return self._row(self._db.execute(
            f"SELECT {self._COLS} FROM requests r JOIN problems p ON p.pkey=r.pkey"
            " WHERE r.rid=? AND r.key_id=? AND p.state!=''", (rid, key_id)).fetchone())

    def pending_for(self, key_id):
        # A problem's requests are all its owner's (the key id is in its
        # key): counting by owner reads only the key's unfinished problems,
        # not every request it ever made.
        return self._db.execute(
            "SELECT COUNT(*) FROM problems WHERE owner=? AND state IN ('queued','running')",
            (key_id,)).fetchone()[0]

    def claim(self):
        def go(db):
            row = db.execute(
                f"SELECT {self._COLS} FROM problems p WHERE p.state='queued'"
                " ORDER BY (SELECT COUNT(*) FROM problems q"
                "           WHERE q.owner=p.owner AND q.state='running'), p.created"
                " LIMIT 1").fetchone()
            if row is not None:
                db.execute("UPDATE problems SET state='running' WHERE pkey=?", (row[0],))
            return row
        row = self._tx(go)
        return None if row is None else dataclasses.replace(self._row(row), state=RUNNING)

    def begin(self, pkey, try_no, max_starts, over_text, new_start=True):
        def go(db):
            db.execute("INSERT INTO problems(pkey, state, total, count, created, used)"
                       " VALUES(?, '', 0, 0, 0, 0) ON CONFLICT(pkey) DO NOTHING", (pkey,))
            state, failed_try, starts = db.execute(
                "SELECT state, failed_try, starts FROM problems WHERE pkey=?",
                (pkey,)).fetchone()
            if state == DONE:
                return DONE
            if state == FAILED and failed_try >= try_no:
                return FAILED
            more = 1 if new_start else 0
            if starts + more > max_starts:
                db.execute("UPDATE problems SET state='failed', error=?, failed_try=?,"
                           " starts=starts+? WHERE pkey=?", (over_text, try_no, more, pkey))
                return FAILED
            db.execute("UPDATE problems SET state='running', starts=starts+? WHERE pkey=?",
                       (more, pkey))
            return RUNNING
        return self._tx(go)

    def finish(self, pkey, now):
        self._db.execute("UPDATE problems SET state='done', error=NULL, used=? WHERE pkey=?",
                         (now, pkey))

    def fail(self, pkey, error, now, try_no=None):
        self._db.execute(
            "UPDATE problems SET state='failed', error=?, used=?, failed_try=? "
            "WHERE pkey=? AND state NOT IN ('done', '')",
            (error, now, try_no or 0, pkey))

    def requeue(self, pkey, died, now=None):
        self._db.execute(
            "UPDATE problems SET state='queued', deaths=deaths+? WHERE pkey=? AND state!=''",
            (1 if died else 0, pkey))
        row = self._db.execute("SELECT deaths FROM problems WHERE pkey=?", (pkey,)).fetchone()
        return row[0] if row else 0

    def recover(self):
        self._db.execute("UPDATE problems SET state='queued' WHERE state='running'")
        return [r[0] for r in self._db.execute(
            "SELECT pkey FROM problems WHERE state IN ('queued','done')")]

    def expire(self, cutoff):
        def go(db):
            keys = [r[0] for r in db.execute(
                "SELECT pkey FROM problems WHERE state IN ('done','failed','') AND used<?",
                (cutoff,))]
            db.executemany("DELETE FROM requests WHERE pkey=?", [(k,) for k in keys])
            db.executemany("DELETE FROM problems WHERE pkey=?", [(k,) for k in keys])
            return keys
        return self._tx(go)

    def counts(self, states=(QUEUED, RUNNING, DONE, FAILED)):
        out = dict.fromkeys(states, 0)
        marks = ",".join("?" * len(states))
        for state, n in self._db.execute(
                f"SELECT state, COUNT(*) FROM problems WHERE state IN ({marks}) GROUP BY state",
                tuple(states)):
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

    @staticmethod
    def _name(pkey):
        # Keys come from job records, which another machine may have
        # written: only a key of the one expected form names a file here.
        if not is_problem_key(pkey):
            raise ValueError("not a problem key")
        return pkey

    def problem_path(self, pkey):
        return os.path.join(self._problems, self._name(pkey))

    def result_path(self, pkey):
        return os.path.join(self._results, self._name(pkey))

    def put_problem(self, pkey, values):
        """values: the bitset problem's values, or the bytes of a problem
        already encoded (a subset problem)."""
        path = self.problem_path(pkey)
        if not os.path.exists(path):
            data = values if isinstance(values, bytes) else array.array("Q", values).tobytes()
            write_atomic(path, data)

    def has_problem(self, pkey):
        return os.path.exists(self.problem_path(pkey))

    def has_result(self, pkey):
        return os.path.exists(self.result_path(pkey))

    def keys(self):
        return set(os.listdir(self._problems)) | set(os.listdir(self._results))

    def remove(self, name):
        """Removes what is stored under a problem key, or a leftover
        temporary file of keys()."""
        if not (is_problem_key(name) or (name.startswith(".tmp-") and "/" not in name)):
            return
        for folder in (self._problems, self._results):
            try:
                os.unlink(os.path.join(folder, name))
            except FileNotFoundError:
                pass


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
