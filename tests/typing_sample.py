"""A host of the statement mixin that uses its whole public surface.

tests/test_typing.py checks this file with ``mypy --strict`` against the installed stub and also
runs ``main()``, so every annotation below is true of the values the compiled module returns.
The lines marked ``# type: ignore[...]`` are misuses the stub must reject: under --strict an
ignore that is not needed is an error, so a stub that grew too loose fails the check.
"""
from __future__ import annotations

import sqlite3
from collections.abc import Sequence
from datetime import date, datetime
from typing import Any

import quarna_data.connections.implementations.mixins.sqlite_statements_mixin as mod
from quarna_data.connections.implementations.mixins.sqlite_statements_mixin import (
    ADDRESS_FIELD,
    METADATA_FIELD,
    METADATA_SELECT_FIELD,
    METADATA_SELECT_STATEMENT,
    METADATA_TABLE_ALIAS,
    MODEL_TABLE_ALIAS,
    PRIMARY_PARTITION_KEY,
    SECONDARY_PARTITION_KEY,
    SUPPORTED_NESTED_FIELDS,
    NoValue,
    SqliteStatementsMixin,
    SqlOperatorTemplate,
    sql_operator_map,
)
from quarna_utils.models.enums import Versions
from quarna_utils.query.data_models.filter import Filter
from quarna_utils.query.data_models.order_by import OrderBy
from quarna_utils.query.data_models.paginator import NumberPaginator
from quarna_utils.query.data_models.query_specifier import QuerySpecifier
from quarna_utils.query.enums import Lookup, OrderDirection
from quarna_utils.query.utils import Q

TABLE = "person"


class Connection(SqliteStatementsMixin):
    """The smallest host: the mixin only needs ``execute``."""

    def __init__(self, conn: sqlite3.Connection) -> None:
        self.conn = conn

    def execute(self, sql: str, params: Sequence[Any] = ()) -> sqlite3.Cursor:
        return self.conn.execute(sql, params)

    def rows(self, pair: tuple[str, Sequence[Any]]) -> list[dict[str, Any]]:
        sql, params = pair
        cursor = self.execute(sql, params)
        names = [d[0] for d in cursor.description]
        description = self._describe_table(TABLE)
        return [self._process_result(TABLE, dict(zip(names, row)), description) for row in cursor.fetchall()]


class RenamingConnection(Connection):
    """Overrides of the hooks and class attributes type-check against the stub."""

    COLUMN_SEPARATOR = '"'

    def _fields_map(self, table_name: str, field_name: str, class_version: str | Versions) -> str:
        return "name" if field_name == "full_name" else field_name

    def _describe_table(self, table_name: str) -> dict[str, str]:
        return super()._describe_table(table_name)


def constants() -> list[str]:
    texts: list[str] = [ADDRESS_FIELD, METADATA_FIELD, MODEL_TABLE_ALIAS, METADATA_TABLE_ALIAS]
    texts += [METADATA_SELECT_STATEMENT, METADATA_SELECT_FIELD, PRIMARY_PARTITION_KEY, SECONDARY_PARTITION_KEY]
    texts += SUPPORTED_NESTED_FIELDS
    texts += [mod.SqliteStatementsMixin.TABLE_SEPARATOR, SqliteStatementsMixin.SUBSTITUTE_CHAR]
    return texts


def templates() -> None:
    gte: SqlOperatorTemplate = sql_operator_map[Lookup.GTE]
    assert SqliteStatementsMixin.SQL_OPERATOR_MAP is sql_operator_map
    text: str = gte.build_statement("age", 18, MODEL_TABLE_ALIAS, "'", "INTEGER")
    assert text == "t1.'age' >= ?"
    assert gte.build_statement(field_name="age", value=18) == "age >= ?"
    assert gte.build_value(18, column_type=None) == 18
    assert sql_operator_map[Lookup.ISNULL].build_value(True) is NoValue

    def doubled(value: Any, column_type: str | None) -> Any:
        return value * 2

    custom = SqlOperatorTemplate(template="{field_name} = ?", value_modifier=doubled)
    pattern: str | None = custom.value_template
    assert pattern is None and custom.build_value(4) == 8
    chosen = SqlOperatorTemplate(template=lambda value, column_type: "{field_name} IS ?", value_template="{value}")
    assert chosen.build_statement("x", True) == "x IS ?" and chosen.build_value(1) == "1"


def person(key: str, name: str, age: int, born: date | None, city: str | None) -> dict[str, Any]:
    return {
        PRIMARY_PARTITION_KEY: key,
        SECONDARY_PARTITION_KEY: "1",
        "name": name,
        "age": age,
        "born": born,
        "data": {"city": city} if city else None,
        "_metadata": {"address": {"class_version": "v1", "object_version": "1"}},
    }


def writes(db: Connection) -> None:
    sql, params = db._build_insert_statement(TABLE, person("p-1", "Ada", 36, date(1990, 5, 1), "Oslo"))
    one: tuple[Any, ...] = params
    db.execute(sql, one)
    rows = [person("p-2", "Bob", 17, None, "Rome"), person("p-3", "Cy", 52, None, None)]
    pair: tuple[str, tuple[Any, ...]] = db._build_bulk_insert_statement(TABLE, rows)
    db.execute(*pair)
    db.execute(*db._build_delete_statement(TABLE, {"name": "Cy"}))
    db.execute(*db._build_bulk_delete_statement(TABLE, [{"name": "nobody"}, {"age": 99}]))
    assert db.execute(f"SELECT name FROM {TABLE} ORDER BY name").fetchall() == [("Ada",), ("Bob",)]


def reads(db: Connection) -> None:
    adults = Q(age__gte=18) | Q(Filter(field_name="name", lookup=Lookup.STARTSWITH, value="Zz"))
    select: tuple[str, list[Any]] = db._build_select_statement(
        TABLE,
        QuerySpecifier(only=["name", "age"]),
        adults,
        NumberPaginator(limit=10),
        [OrderBy(field_name="age", direction=OrderDirection.DESC)],
    )
    assert [row["name"] for row in db.rows(select)] == ["Ada"]
    assert [r["name"] for r in db.rows(db._select_statement(TABLE, "name", ~adults, is_internal_table=False))] == ["Bob"]
    count_sql, count_params = db._build_count_statement(TABLE, adults, use_internal_meta_tables=False)
    assert db.execute(count_sql, count_params).fetchone()[0] == 1

    where, values = db._get_conditions_statement(TABLE, adults, is_grouped=True)
    condition, value = db._get_filter_statement(TABLE, Filter(field_name="age", lookup=Lookup.LT, value=20))
    assert db.execute(f"SELECT name FROM {TABLE} WHERE {where} AND {condition}", [*values, value]).fetchall() == []
    order: str = db._build_order_by_statement(TABLE, None)
    assert order == ""
    column: str = db._resolve_nested_field_name(TABLE, "data", "city", value_type=str)
    assert db.execute(f"SELECT {column} FROM {TABLE} ORDER BY age").fetchall() == [("Rome",), ("Oslo",)]
    nested: tuple[str, Any] = db._nested_filter_statement(
        TABLE, "data", "city", sql_operator_map[Lookup.EQ], "Rome", str, use_internal_meta_tables=False
    )
    assert db.execute(f"SELECT name FROM {TABLE} WHERE {nested[0]}", [nested[1]]).fetchall() == [("Bob",)]
    meta: tuple[str, list[Any]] = db._select_with_internal_meta_statement(TABLE, "t1.name", None, None, None)
    assert sorted(db.execute(*meta).fetchall()) == [("Ada",), ("Bob",)]
    joined = db._build_select_statement(TABLE, conditions=Q(name="Bob"), use_internal_meta_tables=True)
    [bob] = db.rows(joined)
    assert bob["_object_id"] == "p-2" and bob["_metadata"]["address"]["object_version"] == "1"


def values_and_results(db: Connection) -> None:
    seconds: int = SqliteStatementsMixin._convert_date_to_sql_value(datetime(1970, 1, 2))
    assert seconds == 86400 and db._convert_date_to_sql_value(date(1970, 1, 1)) == 0
    assert Connection._to_sql_value(Versions.LATEST) == "latest"
    assert SqliteStatementsMixin._process_field("JSON", "[1]") == [1] and db._process_field("TEXT", "a") == "a"
    description: dict[str, str] = db._describe_table(TABLE)
    assert description["age"] == "INTEGER"
    record: dict[str, Any] = db._process_result(TABLE, {"name": "Ada"}, description)
    assert record == {"name": "Ada"}
    assert db._fields_map(TABLE, "name", Versions.LATEST) == db._field_reverse_map(TABLE, "name", "v1")


def misuses(db: Connection) -> None:
    """Never called: each line is a mistake the stub must report (see the module docstring)."""
    SqlOperatorTemplate(value_template="{value}")  # type: ignore[call-arg]
    SqlOperatorTemplate(template=5)  # type: ignore[arg-type]
    sql_operator_map[Lookup.GT].build_statement(None, 1)  # type: ignore[arg-type]
    sql_operator_map["gt"]  # type: ignore[index]
    db._build_insert_statement(TABLE, [{"name": "Ada"}])  # type: ignore[arg-type]
    db._build_bulk_delete_statement(TABLE, {"name": "Ada"})  # type: ignore[arg-type]
    db._build_select_statement(TABLE, None, Filter(field_name="age"))  # type: ignore[arg-type]
    db._build_count_statement(TABLE, None, True)  # type: ignore[call-arg]
    db._get_conditions_statement(TABLE)  # type: ignore[call-arg]
    db._build_order_by_statement(TABLE, [OrderBy(field_name="age")], is_grouped=True)  # type: ignore[call-arg]
    SqliteStatementsMixin._convert_date_to_sql_value("1970-01-01")  # type: ignore[arg-type]
    db._fields_map(TABLE, "name")  # type: ignore[call-arg]
    wrong: int = db._describe_table(TABLE)  # type: ignore[assignment]
    also_wrong: tuple[str, list[Any]] = db._build_insert_statement(TABLE, {})  # type: ignore[assignment]
    print(wrong, also_wrong)


def main() -> None:
    conn = sqlite3.connect(":memory:")
    try:
        conn.execute(
            f"CREATE TABLE {TABLE} ({PRIMARY_PARTITION_KEY} TEXT, {SECONDARY_PARTITION_KEY} TEXT, "
            "name TEXT, age INTEGER, born INTEGER, data JSON, _metadata JSON)"
        )
        conn.execute(
            "CREATE TABLE metadata (object_id TEXT, object_version TEXT, prior_version TEXT, address JSON, "
            "class_schema_reference JSON, class_meta_schema_reference JSON, class_schema_type TEXT, "
            "is_deleted INTEGER, created_at INTEGER, updated_at INTEGER, 'transaction' JSON)"
        )
        for key in ("p-1", "p-2"):
            address = f'{{"object_id": "{key}", "object_version": "1", "class_version": "v1"}}'
            conn.execute("INSERT INTO metadata (object_id, object_version, address) VALUES (?, '1', ?)", (key, address))
        db = Connection(conn)
        assert all(isinstance(text, str) for text in constants())
        templates()
        writes(db)
        reads(db)
        values_and_results(db)
        renamed = RenamingConnection(conn)
        sql, params = renamed._build_select_statement(TABLE, conditions=Q(full_name="Ada"))
        assert [row["name"] for row in renamed.rows((sql, params))] == ["Ada"]
    finally:
        conn.close()


if __name__ == "__main__":
    main()
