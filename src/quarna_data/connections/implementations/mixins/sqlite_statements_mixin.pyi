# Type stub of the compiled module sqlite_statements_mixin.
#
# The module's namespace also holds the names it imports (json, Callable, date, datetime, Enum,
# cache, Any, ClassVar, pytz and the query-model classes); they are imported here without being
# re-exported: import them from where they live.  The two partition-key constants are
# re-exported, since the statements read them from this module at each call.
from collections.abc import Callable
from datetime import date, datetime
from typing import Any

from pydantic import BaseModel
from quarna_data.table_schemas.constants import PRIMARY_PARTITION_KEY as PRIMARY_PARTITION_KEY
from quarna_data.table_schemas.constants import SECONDARY_PARTITION_KEY as SECONDARY_PARTITION_KEY
from quarna_utils.models.enums import Versions
from quarna_utils.query.data_models.filter import Filter
from quarna_utils.query.data_models.order_by import OrderBy
from quarna_utils.query.data_models.paginator import CursorPaginator, NumberPaginator
from quarna_utils.query.data_models.query_specifier import QuerySpecifier
from quarna_utils.query.enums import Lookup
from quarna_utils.query.utils import Q

SUPPORTED_NESTED_FIELDS: tuple[str, ...]
ADDRESS_FIELD: str
METADATA_FIELD: str
MODEL_TABLE_ALIAS: str
METADATA_TABLE_ALIAS: str

class NoValue:
    """Marker (the class itself, never an instance): the condition binds no parameter."""

class SqlOperatorTemplate(BaseModel):
    """The SQL condition of one lookup and the rule that shapes its parameter value."""

    template: str | Callable[[Any, str | None], str]
    value_template: str | None = None
    value_modifier: Callable[[Any, str | None], Any] | None = None
    def build_statement(
        self,
        field_name: str,
        value: Any,
        table_name: str = "",
        column_separator: str = "'",
        column_type: str | None = None,
    ) -> str: ...
    def build_value(self, value: Any, column_type: str | None = None) -> Any: ...

sql_operator_map: dict[Lookup, SqlOperatorTemplate]
METADATA_SELECT_STATEMENT: str
METADATA_SELECT_FIELD: str

class SqliteStatementsMixin:
    """SQLite statement builders, inherited by a connection class that provides ``execute``."""

    TABLE_SEPARATOR: str
    COLUMN_SEPARATOR: str
    SQL_OPERATOR_MAP: dict[Lookup, SqlOperatorTemplate]
    SUBSTITUTE_CHAR: str
    def _fields_map(self, table_name: str, field_name: str, class_version: str | Versions) -> str: ...
    def _field_reverse_map(self, table_name: str, field_name: str, class_version: str | Versions) -> str: ...
    def _build_insert_statement(self, table_name: str, data: dict[str, Any]) -> tuple[str, tuple[Any, ...]]: ...
    def _build_bulk_insert_statement(
        self, table_name: str, data: list[dict[str, Any]]
    ) -> tuple[str, tuple[Any, ...]]: ...
    def _build_delete_statement(self, table_name: str, data: dict[str, Any]) -> tuple[str, tuple[Any, ...]]: ...
    def _build_bulk_delete_statement(
        self, table_name: str, data: list[dict[str, Any]]
    ) -> tuple[str, tuple[Any, ...]]: ...
    def _build_select_statement(
        self,
        table_name: str,
        query_specifier: QuerySpecifier | None = None,
        conditions: Q | None = None,
        pagination: NumberPaginator | CursorPaginator | None = None,
        order_by: list[OrderBy] | None = None,
        *,
        use_internal_meta_tables: bool = False,
    ) -> tuple[str, list[Any]]: ...
    def _select_statement(
        self,
        table_name: str,
        select_only: str,
        conditions: Q | None = None,
        pagination: NumberPaginator | CursorPaginator | None = None,
        order_by: list[OrderBy] | None = None,
        *,
        is_internal_table: bool = False,
    ) -> tuple[str, list[Any]]: ...
    def _select_with_internal_meta_statement(
        self,
        table_name: str,
        select_only: str,
        conditions: Q | None = None,
        pagination: NumberPaginator | CursorPaginator | None = None,
        order_by: list[OrderBy] | None = None,
    ) -> tuple[str, list[Any]]: ...
    def _build_count_statement(
        self, table_name: str, conditions: Q | None = None, *, use_internal_meta_tables: bool = False
    ) -> tuple[str, list[Any]]: ...
    def _get_conditions_statement(
        self,
        table_name: str,
        conditions: Q,
        *,
        is_internal_table: bool = False,
        use_internal_meta_tables: bool = False,
        is_grouped: bool = False,
    ) -> tuple[str, list[Any]]: ...
    def _get_filter_statement(
        self,
        table_name: str,
        filter_item: Filter,
        *,
        is_internal_table: bool = False,
        use_internal_meta_tables: bool = False,
    ) -> tuple[str, Any]: ...
    def _nested_filter_statement(
        self,
        table_name: str,
        field_name: str,
        nested_fields: str,
        sql_operator_template: SqlOperatorTemplate,
        value: Any,
        value_type: Any,
        *,
        is_internal_table: bool = False,
        use_internal_meta_tables: bool = False,
    ) -> tuple[str, Any]: ...
    def _resolve_nested_field_name(
        self,
        table_name: str,
        field_name: str,
        nested_fields: str,
        *,
        value_type: Any = str,
        is_internal_table: bool = False,
        use_internal_meta_tables: bool = False,
    ) -> str: ...
    def _build_order_by_statement(
        self,
        table_name: str,
        order_by: list[OrderBy] | None,
        *,
        is_internal_table: bool = False,
        use_internal_meta_tables: bool = False,
    ) -> str: ...
    @classmethod
    def _convert_date_to_sql_value(cls, value: date | datetime) -> int: ...
    @classmethod
    def _to_sql_value(cls, value: Any) -> Any: ...
    # At run time a functools.cache wrapper, keyed on (instance, table name); its cache_info()
    # and cache_clear() are not declared here, so that subclasses may override the method with a
    # plain one and calls keep their argument checks.
    def _describe_table(self, table_name: str) -> dict[str, str]: ...
    def _process_result(
        self, table_name: str, result: dict[str, Any], table_description: dict[str, str]
    ) -> dict[str, Any]: ...
    @staticmethod
    def _process_field(field_type: str, value: Any) -> Any: ...
