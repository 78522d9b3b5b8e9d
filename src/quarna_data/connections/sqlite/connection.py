"""The public connection class: one ``sqlite3`` database, its transactions, and the parts the
other modules of this package give it.

Each part is a mixin of its own module: ``names._NameChecks`` (table descriptions and the checks
of names), ``schema._Tables`` (creating tables), ``writes._Writes`` (rows), ``versions._Versions``
(versioned objects), ``history._History`` (one object's versions, reads as of a time),
``dump._Dumps`` (dump and restore), ``reads._Reads`` (records) and ``json_paths._JsonPaths``
(exact comparisons on paths into JSON). They come before the compiled
``SqliteStatementsMixin`` in the order of bases, so what they define (``_describe_table``) overrides
the compiled hook, and a subclass of ``SqliteConnection`` still overrides any hook of either.
"""

from __future__ import annotations

import sqlite3
import time
import uuid
from contextlib import contextmanager
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence

from quarna_data.connections.errors import QuarnaConnectionError

from quarna_data.connections.implementations.mixins.sqlite_statements_mixin import SqliteStatementsMixin
from quarna_data.connections.sqlite.files import open_database
from quarna_data.connections.sqlite.dump import _Dumps
from quarna_data.connections.sqlite.history import _History
from quarna_data.connections.sqlite.json_paths import _JsonPaths
from quarna_data.connections.sqlite.names import TableInfo, _NameChecks
from quarna_data.connections.sqlite.reads import _Reads
from quarna_data.connections.sqlite.schema import _Tables
from quarna_data.connections.sqlite.versions import _Versions
from quarna_data.connections.sqlite.writes import WriteInterrupted, _Writes, sqlite_parameter_limit

#: Pragmas that read, given an argument (the table of ``PRAGMA table_info(person)``).
READ_PRAGMAS = frozenset(("table_info", "table_xinfo", "index_list", "index_info", "index_xinfo",
                          "foreign_key_list", "foreign_key_check", "integrity_check", "quick_check"))


class SqliteConnection(_NameChecks, _Tables, _Writes, _Versions, _History, _Dumps, _Reads, _JsonPaths,
                       SqliteStatementsMixin):
    """A SQLite database and the statement builders of the mixin.

    ``path`` is a file name or ``":memory:"``. ``mode`` is ``"rwc"`` (read and write, the file
    is created when missing), ``"rw"`` (the file must exist) or ``"ro"`` (read only; nothing is
    created). ``clock`` gives the time recorded in metadata records, in seconds since the epoch.
    """

    def __init__(self, path: str = ":memory:", *, mode: str = "rwc",
                 clock: Callable[[], float] = time.time) -> None:
        if mode not in ("rwc", "rw", "ro"):
            raise ValueError(f"mode must be 'rwc', 'rw' or 'ro', not {mode!r}")
        self.path = str(path)
        self.mode = mode
        self.clock = clock
        self._descriptions: Dict[str, Dict[str, str]] = {}
        self._tables: Dict[str, TableInfo] = {}
        self._depth = 0
        self._transaction_id: Optional[str] = None
        self._marks = False  # the version marks are known to be there
        #: Transactions committed on this connection; a caller interrupted while writing can
        #: tell from it whether its write was committed.
        self.commits = 0
        self._wal = self.path == ":memory:"
        self._conn = open_database(self.path, mode)
        try:
            self.parameter_limit = sqlite_parameter_limit(self._conn)
        except BaseException:
            self._conn.close()
            raise

    # ------------------------------------------------------------------ plumbing

    def execute(self, sql: str, params: Sequence[Any] = ()) -> sqlite3.Cursor:
        """Runs one statement and returns its cursor."""
        return self._conn.execute(sql, params)

    def read_only_query(self, sql: str, params: Sequence[Any] = ()) -> sqlite3.Cursor:
        """Runs one statement of the caller's that only reads (a connection opened with
        ``mode="ro"``) and returns its cursor, the rows unread.

        The file is open read only and every statement of the connection is refused a change
        (``PRAGMA query_only``); on top of that the statement may not attach or detach a database
        (which would create a file, as ``VACUUM INTO`` would) or set a pragma. Refused statements
        raise ``QuarnaConnectionError`` saying why; SQLite's own errors are raised as they are.
        """
        if self.mode != "ro":
            raise QuarnaConnectionError("read_only_query needs a connection opened with mode='ro'")
        refused: List[str] = []

        def authorize(action: int, first: Optional[str], second: Optional[str], *_: Any) -> int:
            if action in (sqlite3.SQLITE_ATTACH, sqlite3.SQLITE_DETACH):
                refused.append("it attaches or detaches a database")
                return sqlite3.SQLITE_DENY
            if action == sqlite3.SQLITE_PRAGMA and second is not None and first not in READ_PRAGMAS:
                refused.append(f"it sets the pragma {first}")
                return sqlite3.SQLITE_DENY
            return sqlite3.SQLITE_OK

        # The check runs while the statement is prepared, which execute does before it returns.
        self._conn.set_authorizer(authorize)
        try:
            return self._conn.execute(sql, params)
        except sqlite3.DatabaseError as error:
            if refused:
                raise QuarnaConnectionError(f"refused: {refused[0]}; only reads are run here") from error
            raise
        finally:
            self._conn.set_authorizer(None)

    def close(self) -> None:
        """Closes the database; the connection cannot be used after it."""
        self._conn.close()

    def __enter__(self) -> "SqliteConnection":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def _rolled_back(self) -> None:
        # Tables created in the transaction are gone again: what was read of them is forgotten.
        self._marks = False
        self._descriptions.clear()
        self._tables.clear()

    @contextmanager
    def transaction(self) -> Iterator[None]:
        """Everything inside is written together or not at all; nested blocks join the outer one."""
        if self._depth:
            self._depth += 1
            try:
                yield
            finally:
                self._depth -= 1
            return
        self._settle_reads()
        if not self._wal:
            # Readers go on reading the last commit while a write runs, and a write cut short
            # leaves a log that readers skip rather than a journal that must be rolled back.
            self._wal = True
            try:
                self._conn.execute("PRAGMA journal_mode = WAL").fetchall()
            except sqlite3.OperationalError:
                pass  # read only: the write below says so
        self._conn.execute("BEGIN IMMEDIATE")
        self._depth = 1
        self._transaction_id = uuid.uuid4().hex
        try:
            yield
        except BaseException as error:
            self._depth = 0
            self._transaction_id = None
            self._rolled_back()
            if self._conn.in_transaction:
                self._conn.execute("ROLLBACK")
            if isinstance(error, KeyboardInterrupt) and not isinstance(error, WriteInterrupted):
                raise WriteInterrupted(committed=False) from error
            raise
        self._depth = 0
        self._transaction_id = None
        try:
            self._conn.execute("COMMIT")
        except BaseException as error:
            # Ctrl-C is seen once the statement it came during has returned: when COMMIT ended
            # the transaction, everything was written.
            if self._conn.in_transaction:
                self._rolled_back()
                self._conn.execute("ROLLBACK")
                if isinstance(error, KeyboardInterrupt):
                    raise WriteInterrupted(committed=False) from error
            elif isinstance(error, KeyboardInterrupt):
                self.commits += 1
                raise WriteInterrupted(committed=True) from error
            raise
        self.commits += 1
