"""Writing rows: the check of each row, the JSON encoding of its values, and statements sized to
the parameter limit of the library.

Text and booleans written into a JSON column are stored as JSON (the text 42 as the JSON string
"42", not as the number), so they read back as the same value and type; text stored earlier
without that encoding still reads back as before (as the value it spells when it is valid JSON,
else as the text).

Every write runs in one transaction and is rolled back whole when any part of it fails.
"""

from __future__ import annotations

import json
import math
import sqlite3
from datetime import date, datetime
from typing import (TYPE_CHECKING, Any, Callable, Dict, FrozenSet, Iterable, Iterator, List, Optional, Sequence,
                    Set, Tuple)

from quarna_data.connections.errors import QuarnaConnectionError
from quarna_data.connections.implementations.mixins.sqlite_statements_mixin import SqliteStatementsMixin
from quarna_data.connections.sqlite.names import TableInfo
from quarna_data.connections.sqlite.schema import is_internal_name

#: Upper bound of the parameters of one statement, below whatever the library allows.
MAX_STATEMENT_PARAMETERS = 32766
#: Rows of one bulk delete statement: its conditions form one OR chain, whose depth SQLite limits.
MAX_DELETE_ROWS = 500

#: The INSERT of each conflict policy: how the statement of the builders begins, and what replaces it.
INSERT_VERBS: Dict[Optional[str], str] = {None: "INSERT INTO", "replace": "INSERT OR REPLACE INTO",
                                          "ignore": "INSERT OR IGNORE INTO"}

_parameter_limits: Dict[Tuple[str, int], int] = {}


def sqlite_parameter_limit(conn: sqlite3.Connection, upper: int = MAX_STATEMENT_PARAMETERS) -> int:
    """The most ``?`` parameters one statement may bind on this connection, up to ``upper``."""
    getlimit = getattr(conn, "getlimit", None)  # Python 3.11+
    if getlimit is not None:
        # SQLITE_LIMIT_VARIABLE_NUMBER is 9 in SQLite's interface; the module names it from 3.11.
        return min(int(getlimit(getattr(sqlite3, "SQLITE_LIMIT_VARIABLE_NUMBER", 9))), upper)
    key = (sqlite3.sqlite_version, upper)
    if key not in _parameter_limits:
        # "SELECT ?N" compiles only for N up to the limit; given no parameters it then fails in
        # binding instead (ProgrammingError). Compiling it reserves room for N parameters, so
        # only numbers up to ``upper`` are tried: ``upper`` itself, then a bisection below it.
        def fits(number: int) -> bool:
            try:
                conn.execute(f"SELECT ?{number}", ()).fetchall()
            except sqlite3.ProgrammingError:
                pass
            except sqlite3.OperationalError:
                return False
            return True

        if fits(upper):
            low = upper
        else:
            low, high = 1, upper - 1
            while low < high:
                mid = (low + high + 1) // 2
                if fits(mid):
                    low = mid
                else:
                    high = mid - 1
        _parameter_limits[key] = low
    return _parameter_limits[key]


class WriteInterrupted(KeyboardInterrupt):
    """Ctrl-C during a write, saying what was written: ``committed`` is True when the write's
    transaction had committed (then ``count``, when known, is how many rows or versions it wrote),
    False when nothing of it was written."""

    def __init__(self, committed: bool, count: Optional[int] = None) -> None:
        super().__init__("interrupted after the write was committed" if committed
                         else "interrupted: nothing was written")
        self.committed = committed
        self.count = count


#: Errors of binding a value, or of encoding one as JSON: ``_rejected`` finds the row and field.
BIND_ERRORS = (OverflowError, UnicodeEncodeError, sqlite3.InterfaceError, sqlite3.ProgrammingError,
               TypeError, ValueError)


class RejectedRow(QuarnaConnectionError):
    """A row of a bulk write that cannot be written; ``index`` counts from 0 in the rows given."""

    def __init__(self, index: int, field: Optional[str], reason: str) -> None:
        where = f"row {index + 1}" + (f", field {field!r}" if field is not None else "")
        super().__init__(f"{where}: {reason}")
        self.index = index
        self.field = field
        self.reason = reason


#: Types SQLite binds as they are.
_BINDABLE = (type(None), int, float, str, bytes, bytearray, memoryview)
#: JSON text as the connection writes it: UTF-8 as it is (keys and text are found as written),
#: and only what JSON can hold (no NaN or Infinity).
def _json_date(value: Any) -> Any:
    """Dates inside JSON as the statements convert them: seconds since the epoch."""
    if isinstance(value, (date, datetime)):
        return SqliteStatementsMixin._convert_date_to_sql_value(value)
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


_json_text = json.JSONEncoder(ensure_ascii=False, allow_nan=False, default=_json_date).encode
#: A list or dict as the JSON text the connection stores.
_json_of = _json_text


class RefusedRow(RejectedRow, sqlite3.IntegrityError):
    """A row of a write that a constraint of the table refused (a key already there, a NULL in a NOT
    NULL column); still the ``sqlite3.IntegrityError`` callers caught before rows were named."""


def _bad_value(value: Any) -> Optional[str]:
    """Why SQLite cannot store a value the statements pass on, if it cannot."""
    if isinstance(value, float) and value != value:
        return "NaN, which SQLite would store as NULL"
    if isinstance(value, (list, dict)):
        try:
            value = _json_of(value)
        except (TypeError, ValueError) as error:
            return f"not JSON: {error}"
    elif not isinstance(value, _BINDABLE):
        try:
            value = SqliteStatementsMixin._to_sql_value(value)
        except Exception as error:  # noqa: BLE001 - the conversion's own error is the reason
            return f"cannot be converted for SQLite: {error}"
        if not isinstance(value, _BINDABLE):
            return (f"a value of type {type(value).__name__} cannot be stored (store text, a number, "
                    f"a boolean, None, bytes, a date, a list or a dict)")
    if isinstance(value, int) and not -(1 << 63) <= value < (1 << 63):
        return f"integer wider than 64 bits ({value})"
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError as error:
            return f"text with a lone surrogate {value[error.start]!r} at character {error.start}"
    return None


def _json_column_problem(value: Any) -> Optional[str]:
    """Why a top-level value cannot be stored in a JSON column, if it cannot."""
    if isinstance(value, (bytes, bytearray, memoryview)):
        return "bytes are not JSON (store them in a blob column, or as text)"
    if isinstance(value, float) and not math.isfinite(value):
        return f"{value!r} is not a JSON number"
    return None


def _rejected(rows: Iterable[Tuple[int, Iterable[Tuple[str, Any]]]]) -> Optional[RejectedRow]:
    """The first value of the rows that SQLite cannot bind, as the row and field it is in."""
    for index, items in rows:
        for field, value in items:
            reason = _bad_value(value)
            if reason:
                return RejectedRow(index, field, reason)
    return None


_EXACT_STR = {str}


def _exact_keys(row: Any) -> Any:
    """The row with every key that is a str subclass (a str-based enumeration member included)
    replaced by its exact text, so that the key checked is the key written."""
    if isinstance(row, dict) and not {*map(type, row)} <= _EXACT_STR:
        return {str.__str__(key) if isinstance(key, str) else key: value for key, value in row.items()}
    return row


def _integrity_reason(info: TableInfo, row: Dict[str, Any], error: sqlite3.IntegrityError) -> str:
    """What a constraint refused in a row: for a key that is already there, the key and its value."""
    text = str(error)
    prefix = "UNIQUE constraint failed: "
    if not text.startswith(prefix):
        return text
    columns = [item.strip().rpartition(".")[2] for item in text[len(prefix):].split(",")]
    key = ", ".join(f"{column}={json.dumps(row.get(column), ensure_ascii=False, default=str)}" for column in columns)
    return f"key {key} is already in table {info.name!r} (stored, or on an earlier row)"


if TYPE_CHECKING:
    from quarna_data.connections.sqlite.parts import Part
else:
    Part = object


class _Writes(Part):
    """Inserting and deleting rows of any table."""

    def insert(self, table: str, row: Dict[str, Any], *, on_conflict: Optional[str] = None) -> int:
        """Inserts one row; returns 1, or 0 when ``on_conflict="ignore"`` skipped it.

        ``on_conflict`` is what happens when the row's key (or a unique column) is already in the
        table: None refuses the row with ``RejectedRow``, ``"replace"`` replaces the row that is
        there, ``"ignore"`` keeps it and skips the new one (plain tables only).
        """
        info = self._writable(table)
        verb = self._insert_verb(info, on_conflict)
        row = _exact_keys(row)
        self._check_row(info, row, 0, nonempty=True)
        row = self._encoded(info, row, 0)
        sql, params = self._build_insert_statement(table, row)
        with self.transaction():
            return self._inserted(info, verb, sql, params, 0, [row])

    def bulk_insert(self, table: str, rows: Iterable[Dict[str, Any]], *,
                    progress: Optional[Callable[[int], None]] = None, on_conflict: Optional[str] = None) -> int:
        """Inserts all rows, in as many statements as SQLite's parameter limit needs; all or nothing.

        ``rows`` is read lazily, one statement's worth at a time. ``progress`` is called with the
        number of rows written so far after each statement. ``on_conflict`` as for ``insert``; a
        row whose key clashes without it raises ``RejectedRow`` naming the row. Returns how many
        rows were written (those ``"ignore"`` skipped not counted).
        """
        info = self._writable(table)
        verb = self._insert_verb(info, on_conflict)

        def statements() -> Iterator[int]:
            for start, batch in self._sized(self._checked_rows(info, rows, nonempty=True)):
                sql, params = self._build_bulk_insert_statement(table, batch)
                yield self._inserted(info, verb, sql, params, start, batch)

        return self._counted_write(statements(), progress)

    def _counted_write(self, steps: Iterable[int], progress: Optional[Callable[[int], None]]) -> int:
        """Runs the steps of one write (each writes some rows and yields how many) in one
        transaction, reporting the running total to ``progress``; returns the total. A Ctrl-C
        leaves with the total of the rows written when the transaction had committed."""
        written = 0
        try:
            with self.transaction():
                for count in steps:
                    written += count
                    if progress is not None:
                        progress(written)
        except WriteInterrupted as interrupted:
            interrupted.count = written if interrupted.committed else 0
            raise
        return written

    def _insert_verb(self, info: TableInfo, on_conflict: Optional[str]) -> str:
        """The INSERT of a conflict policy, refused where it cannot apply."""
        if on_conflict is None:
            return INSERT_VERBS[None]
        if on_conflict not in INSERT_VERBS:
            raise ValueError(f"on_conflict must be None, 'replace' or 'ignore', not {on_conflict!r}")
        if info.model or info.internal:
            raise QuarnaConnectionError(
                f"table {info.name!r} is a {'model' if info.model else 'internal'} table: its rows are versions "
                f"the connection writes, never replaced or skipped ({on_conflict} is for plain tables with a key)")
        if not self.unique_keys(info.name):
            raise QuarnaConnectionError(
                f"table {info.name!r} has no primary key or unique column, so no row can clash with another "
                f"and {on_conflict} would change nothing")
        return INSERT_VERBS[on_conflict]

    def _inserted(self, info: TableInfo, verb: str, sql: str, params: Sequence[Any], start: int,
                  rows: List[Dict[str, Any]]) -> int:
        """Runs an INSERT of the builders with the verb of its conflict policy; the rows it wrote."""
        if verb != INSERT_VERBS[None]:
            assert sql.startswith(INSERT_VERBS[None])
            sql = verb + sql[len(INSERT_VERBS[None]):]
        try:
            return self._write(sql, params, start, rows).rowcount
        except sqlite3.IntegrityError as error:
            # The statement was undone alone; the rows are tried one at a time to name the first
            # that the table refuses (its key may clash with a stored row or an earlier one here).
            raise self._refused_row(info, verb, start, rows, error) from error

    def _refused_row(self, info: TableInfo, verb: str, start: int, rows: List[Dict[str, Any]],
                     error: sqlite3.IntegrityError) -> RefusedRow:
        self.execute("SAVEPOINT refused_row")
        try:
            for offset, row in enumerate(rows):
                sql, params = self._build_insert_statement(info.name, row)
                try:
                    self.execute(verb + sql[len(INSERT_VERBS[None]):], params)
                except sqlite3.IntegrityError as refused:
                    return RefusedRow(start + offset, None, _integrity_reason(info, row, refused))
        finally:
            self.execute("ROLLBACK TO refused_row")
            self.execute("RELEASE refused_row")
        return RefusedRow(start, None, str(error))

    def unique_keys(self, table: str) -> List[List[str]]:
        """The column lists of a table that no two rows may share: its primary key, then its
        unique columns and indexes (an empty list when rows can never clash)."""
        name = self.table_info(table).name
        literal = "'" + name.replace("'", "''") + "'"
        keys: List[List[str]] = []
        primary = sorted((pk, column) for _, column, _, _, _, pk in self.execute(f"PRAGMA table_info({literal})") if pk)
        if primary:
            keys.append([column for _, column in primary])
        for _, index, unique, origin, _ in self.execute(f"PRAGMA index_list({literal})").fetchall():
            if unique and origin != "pk":
                index_literal = "'" + index.replace("'", "''") + "'"
                columns = [column for _, _, column in self.execute(f"PRAGMA index_info({index_literal})")]
                if None not in columns:  # a unique index on an expression is not a list of columns
                    keys.append(columns)
        return keys

    def delete(self, table: str, where: Dict[str, Any]) -> int:
        """Deletes the rows whose columns equal all the given values; returns how many."""
        info = self._deletable(table)
        where = _exact_keys(where)
        self._check_row(info, where, 0, nonempty=True)
        sql, params = self._build_delete_statement(table, self._encoded(info, where, 0))
        with self.transaction():
            return self._write(sql, params, 0, [where]).rowcount

    def bulk_delete(self, table: str, wheres: Iterable[Dict[str, Any]]) -> int:
        """Deletes the rows matching any of the sets of values; all or nothing. Returns how many."""
        info = self._deletable(table)
        deleted = 0
        with self.transaction():
            for start, batch in self._sized(self._checked_rows(info, wheres, nonempty=True), MAX_DELETE_ROWS):
                sql, params = self._build_bulk_delete_statement(table, batch)
                deleted += self._write(sql, params, start, batch).rowcount
        return deleted

    def _writable(self, table: str) -> TableInfo:
        """An existing table that callers may write: not one of the internal tables, whose rows
        only the connection writes (in any letter case: SQLite's names ignore it)."""
        info = self.table_info(table)
        if is_internal_name(info.name):
            raise QuarnaConnectionError(
                f"table {info.name!r} is an internal table: its rows are written by the connection only "
                f"(save, delete_object, restore)")
        return info

    def _deletable(self, table: str) -> TableInfo:
        info = self._writable(table)
        if info.bare:
            raise QuarnaConnectionError(
                f"rows of table {table!r} cannot be deleted here: the delete statement writes the table "
                f"name unquoted and it {info.bare}")
        return info

    def _check_row(self, info: TableInfo, row: Any, index: int, reserved: FrozenSet[str] = frozenset(),
                   *, nonempty: bool = False) -> None:
        if not isinstance(row, dict):
            raise RejectedRow(index, None, f"expected a mapping of column names to values, not {type(row).__name__}")
        if nonempty and not row:
            raise RejectedRow(index, None, "no column values given: give at least one column and its value")
        json_columns = info.json_columns
        for key, value in row.items():
            cls = value.__class__
            if cls is float and value != value:
                raise RejectedRow(index, key, "NaN, which SQLite would store as NULL")
            if cls is not str and cls is not dict and cls is not list and key in json_columns:
                problem = _json_column_problem(value)
                if problem:
                    raise RejectedRow(index, key, problem)
        if row.keys() <= info.columns and not (reserved and not reserved.isdisjoint(row)):
            return
        for key in row:
            if key in reserved:
                raise RejectedRow(index, key, f"written by the connection, not given (table {info.name!r})")
            if key not in info.columns:
                valid = ", ".join(c for c in info.description if c not in reserved)
                raise RejectedRow(index, key, f"unknown column of table {info.name!r} (columns: {valid})")

    def _checked_rows(self, info: TableInfo, rows: Iterable[Any], *, nonempty: bool = False) -> Iterator[Dict[str, Any]]:
        for index, row in enumerate(rows):
            row = _exact_keys(row)
            self._check_row(info, row, index, nonempty=nonempty)
            yield self._encoded(info, row, index)

    def _encoded(self, info: TableInfo, row: Dict[str, Any], index: int) -> Dict[str, Any]:
        try:
            return self._json_encoded(info, row)
        except (TypeError, ValueError) as error:
            rejected = _rejected([(index, row.items())])
            if rejected is None:
                raise
            raise rejected from error

    @staticmethod
    def _json_encoded(info: TableInfo, row: Dict[str, Any], *, copy: bool = True) -> Dict[str, Any]:
        """The row with the values of JSON columns written as JSON text (UTF-8 as it is), so they
        read back as given: text and booleans as JSON, not as the text or the number. A number
        stays a number: SQLite's numeric affinity of a ``json`` column keeps an integral float as
        an integer (3.0 reads back as 3), as it did in every file written so far; stored any other
        way (a blob, say) it would no longer equal 3 in a filter on the whole column, and newer
        SQLite libraries read blobs as their binary JSON."""
        for column in info.json_columns:
            value = row.get(column)
            if isinstance(value, (str, bool)):
                text: Any = _json_text(value)
            elif isinstance(value, (list, dict)):
                text = _json_of(value)
            else:
                continue
            if copy:
                row, copy = dict(row), False
            row[column] = text
        return row

    def _sized(self, rows: Iterable[Dict[str, Any]], max_rows: int = 0) -> Iterator[Tuple[int, List[Dict[str, Any]]]]:
        """(index of the first row, rows) per statement: a statement's rows share one column list,
        so a batch is sized by its widest set of columns."""
        limit = self.parameter_limit
        batch: List[Dict[str, Any]] = []
        columns: Set[str] = set()
        start = 0
        for index, row in enumerate(rows):
            keys = row.keys()
            wider = columns if keys <= columns else columns | keys
            if batch and (len(wider) * (len(batch) + 1) > limit or len(batch) == max_rows):
                yield start, batch
                batch, start, wider = [], index, set(keys)
            batch.append(row)
            columns = wider
        if batch:
            yield start, batch

    def _write(self, sql: str, params: Sequence[Any], start: int, rows: List[Dict[str, Any]]) -> sqlite3.Cursor:
        try:
            return self.execute(sql, params)
        except BIND_ERRORS as error:
            rejected = _rejected((start + i, row.items()) for i, row in enumerate(rows))
            if rejected is None:
                raise
            raise rejected from error
