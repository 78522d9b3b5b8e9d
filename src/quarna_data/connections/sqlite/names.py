"""The name boundary: what the checks know of a table, and the check of every name a caller gives.

The statement builders write table and column names into the text as they are, mostly without
quotes. Every name that reaches a statement through the connection is therefore checked first
against the table it belongs to: a table must exist; a filter, ordering, ``only`` or ``distinct``
field must be one of its columns (the column at the head of a path into a JSON column), one of
the record aliases ``_object_id`` and ``_object_version``, or, on a model table, a selector of the
object's address (``_address__object_id``, ``_address__object_version``) or of its version record
(``_metadata__<key>``); row keys of writes must be columns (``writes._Writes._check_row``).
Anything else raises ``QuarnaConnectionError`` naming the name and the valid ones before any
statement is built. Conditions are checked as a whole tree, queryable values expanded first, and
the builders get a copy of the checked tree, never the caller's nodes: the builders read the
nodes again, and code of the caller's that runs meanwhile (a value's ``__eq__``, a subclass's
attribute) could change a node after it was checked. What the check needs of a table (its ``TableInfo``, with the
names that check as themselves) is kept per connection until the connection changes the table.

Table descriptions
------------------
The mixin's own description cache keeps, for every connection object, the first description it
read of a table, for the life of the process (it also keeps the connection objects alive). The
connection keeps its descriptions itself instead, per connection: a table that was missing is not
remembered as empty, and creating a table through the connection drops what was remembered of it.
"""

from __future__ import annotations

import sqlite3
from typing import TYPE_CHECKING, Any, Dict, List, Optional

from quarna_data.connections.errors import QuarnaConnectionError
from quarna_data.connections.implementations.mixins.sqlite_statements_mixin import SqliteStatementsMixin
from quarna_data.connections.sqlite.schema import (ADDRESS_FIELD, ADDRESS_KEYS, ADDRESS_VERSION_FIELD, ALIASES,
                                                   BARE_NAME, INTERNAL_SUFFIXES, JOINED_COLUMNS, MARKS_TABLE,
                                                   METADATA_COLUMN, METADATA_TABLE, MODEL_KEY_COLUMNS, RECORD_KEYS,
                                                   quote_identifier)
from quarna_utils.models.enums import Versions
from quarna_utils.query.data_models.filter import Filter, made_filter
from quarna_utils.query.data_models.made import made
from quarna_utils.query.data_models.order_by import OrderBy
from quarna_utils.query.enums import Lookup
from quarna_utils.query.mixin import QueryableMixin
from quarna_utils.query.utils import ConnectorEnum, Q


class TableInfo:
    """What the checks know of one table: its declared columns and what kind of table it is."""

    __slots__ = ("name", "description", "columns", "model", "internal", "json_columns", "booleans",
                 "unusable", "bare", "as_is", "as_is_joined_ordering", "renamed", "point_reads",
                 "shapes", "schema_version")

    def __init__(self, conn: "_NameChecks", name: str, description: Dict[str, str],
                 schema_version: Optional[int] = None) -> None:
        self.name = name
        self.schema_version = schema_version
        self.description = description
        self.columns = frozenset(description)
        self.internal = name.endswith(INTERNAL_SUFFIXES)
        self.model = all(column in description for column in MODEL_KEY_COLUMNS)
        # The version records of the metadata table and of model rows are written here, as JSON.
        self.json_columns = () if self.internal else tuple(
            c for c, t in description.items() if str(t).lower() == "json" and c != METADATA_COLUMN)
        self.booleans = tuple(c for c, t in description.items() if str(t).lower() in ("boolean", "bool"))
        # Columns SQLite would not read as themselves when written bare, and why.
        self.unusable = {c: why for c in description if (why := conn._bare_name_problem(c, column=True))}
        self.bare = conn._bare_name_problem(name, column=False)
        # Field names that _NameChecks._path gives back unchanged whatever the lookup and value:
        # usable columns written without a path that no alias or selector claims. Ordering by a
        # column named like one of the version records is refused when they are joined.
        claimed = set(ALIASES) | {ADDRESS_FIELD} if self.model and not self.internal else set()
        self.as_is = frozenset(c for c in description
                               if c.__class__ is str and "__" not in c and c not in claimed and c not in self.unusable)
        self.as_is_joined_ordering = self.as_is - frozenset(JOINED_COLUMNS)
        # The record aliases, which _NameChecks._path gives back as their columns.
        self.renamed: Dict[str, str] = dict(ALIASES) if self.model and not self.internal else {}
        # The statements of get, built on first use (reads._PointRead), or None where they are
        # built at every call.
        self.point_reads: Dict[str, Any] = {}
        # The shapes of the rows read from the table (reads.RowShape), by the cursor's description.
        self.shapes: Dict[Any, Any] = {}

    def valid(self, *, meta: bool, paths: bool = True) -> str:
        columns = [c for c in self.description if c not in self.unusable]
        text = "columns: " + (", ".join(columns) or "none")
        if self.model and not self.internal:
            text += "; aliases: " + ", ".join(ALIASES)
            if paths:
                versions = "_address__object_version" if meta else "_address__object_version=latest|all"
                text += (f"; selectors: _address__object_id, {versions}, _metadata__KEY with KEY one of "
                         + ", ".join(RECORD_KEYS + (("table_name",) if meta else ())))
        return text


if TYPE_CHECKING:
    from quarna_data.connections.sqlite.parts import Part
else:
    Part = object


class _NameChecks(Part):
    """Table descriptions, kept per connection, and the checks of the names given for a table."""

    def _describe_table(self, table_name: str) -> Dict[str, str]:
        """The hook of the compiled mixin, with the descriptions kept per connection instead."""
        description = self._descriptions.get(table_name)
        if description is None:
            description = SqliteStatementsMixin._describe_table.__wrapped__(self, table_name)  # type: ignore[attr-defined]
            if description:  # a missing table is looked up again next time
                self._descriptions[table_name] = description
        return description

    def _forget(self, table: str) -> None:
        self._descriptions.pop(table, None)
        self._tables.pop(table, None)

    def tables(self) -> List[str]:
        """The names of the database's tables (internal ones included), in order."""
        rows = self.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' ORDER BY name"
        ).fetchall()
        return [name for (name,) in rows]

    def describe(self, table: str) -> Dict[str, str]:
        """The declared column types of an existing table; QuarnaConnectionError when there is none."""
        if isinstance(table, str) and "\x00" in table:
            raise QuarnaConnectionError(f"unknown table {table!r}: a table name cannot hold NUL")
        description = self._describe_table(table) if isinstance(table, str) else {}
        if not description:
            known = ", ".join(t for t in self.tables() if t not in (METADATA_TABLE, MARKS_TABLE)) or "none"
            raise QuarnaConnectionError(f"unknown table {table!r} (tables: {known})")
        return description

    def is_model_table(self, table: str) -> bool:
        """Whether an existing table is a model table (of versioned objects)."""
        return self.table_info(table).model

    def table_info(self, table: str) -> TableInfo:
        """The checked description of an existing table; QuarnaConnectionError when there is none."""
        info = self._tables.get(table) if isinstance(table, str) else None
        if info is None:
            version = self._schema_version()
            info = TableInfo(self, table, self.describe(table), version)
            self._tables[table] = info
        return info

    def _schema_version(self) -> int:
        version: int = self._conn.execute("PRAGMA schema_version").fetchone()[0]
        return version

    def _current(self, info: TableInfo, names: List[str]) -> TableInfo:
        """The table's info for rows with these column names: the one kept, unless the rows have a
        column it does not know and the schema changed since it was read (another connection
        added the column); then everything kept of the tables is read again. Checking the
        schema's version at every read would cost half a point read, so the rows tell when."""
        if info.columns.issuperset(names) or all(name in info.columns or name == METADATA_COLUMN for name in names):
            return info
        if info.schema_version is not None and self._schema_version() == info.schema_version:
            return info  # names of the statement's own (a statement of the caller's)
        self._descriptions.clear()
        self._tables.clear()
        return self.table_info(info.name)

    def _bare_name_problem(self, name: str, *, column: bool) -> Optional[str]:
        """Why ``name`` cannot be written bare into a statement, or None."""
        if not BARE_NAME.match(name):
            return "is not a plain identifier"
        # The name is a bare word; SQLite itself says whether it reads it as that name (a keyword
        # such as current_date would be read as something else, or not at all).
        probe = (f"SELECT {name} FROM (SELECT 'column' AS {quote_identifier(name)})" if column
                 else f"SELECT 'column' FROM {name} LIMIT 0")
        try:
            read = self._conn.execute(probe).fetchall()
        except sqlite3.Error:
            return "is an SQL keyword"
        if column and read != [("column",)]:
            return "is an SQL keyword"
        return None

    def _joined(self, info: TableInfo, meta: bool) -> bool:
        """Whether the statements join the version records: ``meta`` on a model table."""
        if not meta or info.internal:
            return False
        if not info.model:
            raise QuarnaConnectionError(
                f"table {info.name!r} is not a model table: it has no version records to join "
                f"(leave out meta=True, --meta)")
        self._metadata_ready(create=False)
        return True

    def _column(self, info: TableInfo, name: object, where: str, joined: bool) -> str:
        """A name of the field list: a column, or an alias of a model table's key column."""
        if isinstance(name, str):
            name = _exact(name)
            if info.model and not info.internal and name in ALIASES:
                return ALIASES[name]
            if name in info.columns:
                self._usable(info, name, name, where)
                return name
        raise QuarnaConnectionError(
            f"unknown field {name!r} in {where} of table {info.name!r} ({info.valid(meta=joined, paths=False)})")

    def _usable(self, info: TableInfo, column: str, name: str, where: str) -> None:
        why = info.unusable.get(column)
        if why:
            raise QuarnaConnectionError(
                f"field {name!r} in {where} of table {info.name!r} cannot be used: the statements write "
                f"column names unquoted and {column!r} {why}")

    def _checked_ordering(self, info: TableInfo, item: Any, joined: bool) -> OrderBy:
        if not isinstance(item, OrderBy):
            raise QuarnaConnectionError(f"orderings are OrderBy objects, not {type(item).__name__}")
        direction = item.direction
        return made(OrderBy, {"field_name": self._path(info, item.field_name, joined, "the ordering"),
                              "direction": direction})

    def _checked_conditions(self, info: TableInfo, conditions: Any, joined: bool) -> Optional[Q]:
        if conditions is None:
            return None
        if not isinstance(conditions, Q):
            raise QuarnaConnectionError(f"conditions are a Q tree, not {type(conditions).__name__}")
        return self._checked_tree(info, conditions, joined) or None

    def _checked_tree(self, info: TableInfo, node: Q, joined: bool) -> Q:
        """The tree with its leaves checked, queryable values expanded and the record aliases
        replaced by their columns; every node is a copy (see the module's docstring)."""
        children: List[Any] = []
        for child in list(node.children):
            if child.__class__ is not Filter:
                if child.__class__ is Q or isinstance(child, Q):
                    children.append(self._checked_tree(info, child, joined))
                    continue
                if not isinstance(child, Filter):
                    raise QuarnaConnectionError(
                        f"a condition tree holds Q trees and Filter leaves, not {type(child).__name__}")
            field, lookup, value = child.field_name, child.lookup, child.value
            if value.__class__ not in _PLAIN_VALUES and isinstance(value, QueryableMixin):
                tree = value.to_query(prefix=f"{self._fields_map(info.name, field, Versions.LATEST)}__")
                if not isinstance(tree, Q):
                    raise QuarnaConnectionError(
                        f"to_query of the value of field {field!r} returned {type(tree).__name__}, not a Q tree")
                if lookup == Lookup.NEQ:
                    tree = ~tree
                children.append(self._checked_tree(info, tree, joined))
                continue
            checked_field = self._path(info, field, joined, "the conditions", lookup, value)
            checked_value = self._filter_value(info, checked_field, lookup, value)
            children.append(made_filter(checked_field, lookup, checked_value))
        return checked_node(children, node.connector, node.negated)

    def _path(self, info: TableInfo, name: object, joined: bool, where: str,
              lookup: Any = Lookup.EQ, value: Any = None) -> str:
        """A checked field path of a filter or an ordering."""
        if name.__class__ is str:
            if name in (info.as_is_joined_ordering if joined and where != "the conditions" else info.as_is):
                return name
            column = info.renamed.get(name)
            if column is not None:
                return column
            if name == ADDRESS_VERSION_FIELD and value.__class__ is Versions and lookup is Lookup.EQ \
                    and where == "the conditions" and info.model and not info.internal:
                return name  # the version selector, as the general path below gives it back
        if not isinstance(name, str):
            raise QuarnaConnectionError(f"field names are text, not {type(name).__name__} ({name!r})")
        name = _exact(name)
        if "\x00" in name:
            raise QuarnaConnectionError(f"field {name!r} in {where} of table {info.name!r}: a name cannot hold NUL")
        head, sep, rest = name.partition("__")
        table = info.name
        filtering = where == "the conditions"
        if sep and filtering and isinstance(value, str) and not isinstance(value, Versions) \
                and value == Versions.ALL and name != ADDRESS_VERSION_FIELD:
            raise QuarnaConnectionError(
                f"filter {name!r} on table {table!r}: on a path the text 'all' is read as the selector of "
                f"every version and filters nothing; compare with the text through the in lookup "
                f"({name}__in=[\"all\"])")
        if info.model and not info.internal:
            if head in ALIASES:
                if sep:
                    raise QuarnaConnectionError(f"unknown field {name!r} in {where} of table {table!r}: "
                                                f"{head} has no keys")
                return ALIASES[head]
            if head == ADDRESS_FIELD:
                if rest not in ADDRESS_KEYS:
                    raise QuarnaConnectionError(
                        f"unknown field {name!r} in {where} of table {table!r}: the address selectors are "
                        f"{ADDRESS_FIELD}__object_id and {ADDRESS_FIELD}__object_version")
                if rest == "object_version":
                    selector = filtering and (isinstance(value, Versions) or _is_version_selector(value))
                    if selector and lookup != Lookup.EQ:
                        raise QuarnaConnectionError(
                            f"filter {name!r} on table {table!r}: the version selectors 'latest' and 'all' "
                            f"take the eq lookup only, not {str(lookup)!r}")
                    if not joined and not selector:
                        raise QuarnaConnectionError(
                            f"field {name!r} in {where} of table {table!r} needs the version records: add "
                            f"meta=True (--meta); without them only the selectors 'latest' and 'all' are understood")
                return name
            if head == METADATA_COLUMN and sep:
                keys = RECORD_KEYS + (("table_name",) if joined else ())
                if rest.partition("__")[0] not in keys:
                    raise QuarnaConnectionError(
                        f"unknown field {name!r} in {where} of table {table!r}: the version record has the "
                        f"keys {', '.join(keys)}")
                self._check_keys(name, rest, where, table)
                return name
        if head not in info.columns:
            raise QuarnaConnectionError(
                f"unknown field {name!r} in {where} of table {table!r} ({info.valid(meta=joined)})")
        self._usable(info, head, name, where)
        if sep and str(info.description[head]).lower() != "json":
            last = rest.rpartition("__")[2]
            if filtering and last not in {str(member) for member in Lookup}:
                raise QuarnaConnectionError(
                    f"field {name!r} in {where} of table {table!r}: unknown lookup {last!r} (lookups: "
                    f"{', '.join(str(k) for k in self.SQL_OPERATOR_MAP)})")
            raise QuarnaConnectionError(
                f"field {name!r} in {where} of table {table!r}: column {head!r} is not a JSON column, "
                f"so it has no keys")
        if joined and head in JOINED_COLUMNS and (sep or not filtering):
            raise QuarnaConnectionError(
                f"field {name!r} in {where} of table {table!r}: column {head!r} has the name of a column "
                f"of the version records, and the joined select cannot tell them apart there; "
                f"leave out meta=True (--meta) for it")
        if sep:
            self._check_keys(name, rest, where, table)
        return name

    @staticmethod
    def _check_keys(name: str, rest: str, where: str, table: str) -> None:
        """Every key of a path into JSON names exactly one key, or the path is refused."""
        from quarna_data.connections.sqlite.json_paths import key_problem

        for key in rest.split("__"):
            problem = key_problem(key)
            if problem:
                raise QuarnaConnectionError(f"field {name!r} in {where} of table {table!r}: {problem}; "
                                            f"name the keys of the path between '__'")


#: Values that are never queryable.
_PLAIN_VALUES = frozenset((str, int, float, bool, type(None)))
_new = object.__new__


def checked_node(children: List[Any], connector: Any, negated: Any) -> Q:
    """A node of a checked tree over checked children: the ``Q`` that ``Q(*children,
    _connector=connector, _negated=negated)`` makes."""
    node: Q = _new(Q)
    node.children = children
    node.connector = connector if connector.__class__ is ConnectorEnum else ConnectorEnum(connector)
    node.negated = negated if negated.__class__ is bool else bool(negated)
    return node


def _exact(name: str) -> str:
    """A name as the exact text it holds: a str subclass by its str value, never its own methods."""
    return name if name.__class__ is str else str.__str__(name)


def _is_version_selector(value: Any) -> bool:
    return isinstance(value, str) and (value == Versions.LATEST or value == Versions.ALL)
