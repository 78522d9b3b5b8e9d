# mypy: disable-error-code="empty-body"
"""What each part of the connection sees of the others, for the type checker only.

The parts (``names._NameChecks``, ``schema._Tables``, ``writes._Writes``, ``versions._Versions``,
``history._History``, ``dump._Dumps``, ``reads._Reads``, ``json_paths._JsonPaths``) are mixins of ``SqliteConnection`` and call each other through ``self``. While
type-checked each part derives from ``Part``, which declares the builders of the compiled mixin
(by deriving from it), the state ``SqliteConnection.__init__`` sets, and the methods one part
calls on another; at run time the parts derive from ``object`` and this module is not imported.
A method added to one part and called from another is declared here too.
"""

from __future__ import annotations

import sqlite3
from typing import (TYPE_CHECKING, Any, Callable, ContextManager, Dict, FrozenSet, Iterable, Iterator, List,
                    Mapping, Optional, Sequence, Tuple)

from quarna_data.connections.implementations.mixins.sqlite_statements_mixin import SqliteStatementsMixin

if TYPE_CHECKING:
    from quarna_data.connections.sqlite.names import TableInfo
    from quarna_utils.query.data_models.order_by import OrderBy
    from quarna_utils.query.utils import Q


class Part(SqliteStatementsMixin):
    # set by SqliteConnection.__init__
    path: str
    mode: str
    clock: Callable[[], float]
    parameter_limit: int
    _conn: sqlite3.Connection
    _descriptions: Dict[str, Dict[str, str]]
    _tables: Dict[str, "TableInfo"]
    _depth: int
    _transaction_id: Optional[str]
    _wal: bool

    # connection
    def execute(self, sql: str, params: Sequence[Any] = ()) -> sqlite3.Cursor: ...
    def transaction(self) -> ContextManager[None]: ...

    # names
    def _forget(self, table: str) -> None: ...
    def table_info(self, table: str) -> "TableInfo": ...
    def _bare_name_problem(self, name: str, *, column: bool) -> Optional[str]: ...
    def _joined(self, info: "TableInfo", meta: bool) -> bool: ...
    def _column(self, info: "TableInfo", name: Any, where: str, joined: bool) -> str: ...
    def _checked_ordering(self, info: "TableInfo", item: Any, joined: bool) -> "OrderBy": ...
    def _checked_conditions(self, info: "TableInfo", conditions: Any, joined: bool) -> Optional["Q"]: ...

    # schema
    def _metadata_ready(self, *, create: bool) -> None: ...
    def create_model_table(self, name: str, columns: Mapping[str, str]) -> None: ...
    def create_table(self, name: str, columns: Mapping[str, str], *, primary_key: Sequence[str] = ()) -> None: ...

    # writes
    def bulk_insert(self, table: str, rows: Iterable[Dict[str, Any]], *,
                    progress: Optional[Callable[[int], None]] = None, on_conflict: Optional[str] = None) -> int: ...
    def _check_row(self, info: "TableInfo", row: Any, index: int, reserved: FrozenSet[str] = frozenset(),
                   *, nonempty: bool = False) -> None: ...
    @staticmethod
    def _json_encoded(info: "TableInfo", row: Dict[str, Any], *, copy: bool = True) -> Dict[str, Any]: ...
    def _sized(self, rows: Iterable[Dict[str, Any]],
               max_rows: int = 0) -> Iterator[Tuple[int, List[Dict[str, Any]]]]: ...
    def _write(self, sql: str, params: Sequence[Any], start: int, rows: List[Dict[str, Any]]) -> sqlite3.Cursor: ...
    def _writable(self, table: str) -> "TableInfo": ...
    def _checked_rows(self, info: "TableInfo", rows: Iterable[Any], *,
                      nonempty: bool = False) -> Iterator[Dict[str, Any]]: ...

    # versions
    def _model_table(self, table: str) -> "TableInfo": ...

    # history
    def _as_of_scope(self, info: "TableInfo", as_of: Any) -> Tuple[str, List[Any]]: ...
    def _as_of_conditions(self, info: "TableInfo", node: Optional["Q"], negated: bool = False) -> Optional["Q"]: ...

    # reads
    def select(self, table: str, conditions: Optional["Q"] = None, *, only: Optional[Sequence[str]] = None,
               distinct: Sequence[str] = (), order_by: Optional[Sequence["OrderBy"]] = None,
               limit: Optional[int] = None, offset: Optional[int] = None, meta: bool = False,
               exclude: Sequence[str] = (), as_of: Any = None) -> List[Dict[str, Any]]: ...
    def iter_select(self, table: str, conditions: Optional["Q"] = None, *, only: Optional[Sequence[str]] = None,
                    distinct: Sequence[str] = (), order_by: Optional[Sequence["OrderBy"]] = None,
                    limit: Optional[int] = None, offset: Optional[int] = None, meta: bool = False,
                    exclude: Sequence[str] = (), as_of: Any = None) -> Iterator[Dict[str, Any]]: ...
    def _records(self, info: "TableInfo", cursor: sqlite3.Cursor, keep: Optional[List[str]],
                 exclude: FrozenSet[str] = frozenset()) -> Iterator[Dict[str, Any]]: ...
    def _point_read(self, info: "TableInfo", object_id: Any,
                    version: Optional[str]) -> Iterable[Dict[str, Any]]: ...

    # json paths
    def _filter_value(self, info: Any, field: str, lookup: Any, value: Any) -> Any: ...
