"""Exact comparisons on paths into JSON: what the connection writes for a filter on a key of a
JSON column or of the version record, through the hooks the statement builders offer.

Read literally, the statements cast an extracted JSON value to the type of the value it is
compared with (``cast(json_extract(data, '$.a') as integer) = ?``): 9.5 then equals 9, the text
"x" equals 0 and a list compares as text. The connection keeps the statements and changes what
the hooks give them instead:

- the checks of a condition tree (``names._NameChecks._checked_tree``) wrap the value of a filter
  on a JSON path in a ``JsonOperand``, which the value conversion passes through unchanged;
- the nested-field resolver, given a ``JsonOperand`` as the value's type, answers the arguments of
  the JSON functions (``data, '$."a.b"'``) rather than a cast, and for an ordering the extracted
  value itself, so that numbers order as numbers, then text, as SQLite orders mixed types;
- ``SQL_OPERATOR_MAP`` holds templates that write, for a ``JsonOperand``, a comparison that also
  tests the JSON type of the value found (``json_type``), and for every other value exactly what
  the statements' own templates write.

What a filter on a JSON path means (the README has the table): a number matches JSON numbers by
value, text matches JSON strings, ``True``/``False`` match JSON booleans (two-valued, as ``IS``), a
list or dict matches the same JSON value (keys in any order, ``1`` equal to ``1.0``), ``in`` is
``eq`` item by item, the LIKE lookups match JSON strings only. A missing key and a JSON null are
NULL: comparisons with them are unknown, ``isnull`` is true for both. A value of another kind is
not equal (``neq`` is true) and not greater or smaller.
"""

from __future__ import annotations

import json
import math
import re
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple

from quarna_data.connections.errors import QuarnaConnectionError
from quarna_data.connections.implementations.mixins.sqlite_statements_mixin import (
    NoValue,
    SqliteStatementsMixin,
    SqlOperatorTemplate,
    sql_operator_map,
)
from quarna_data.connections.sqlite.schema import ADDRESS_FIELD, METADATA_COLUMN
from quarna_data.connections.sqlite.writes import _bad_value
from quarna_utils.models.enums import Versions
from quarna_utils.query.enums import Lookup

#: The SQL function (registered on every connection) that writes JSON text in one form per value.
CANONICAL_JSON = "quarna_canonical_json"
#: Keys written bare in a JSON path; every other key is written in double quotes.
BARE_KEY = re.compile(r"[A-Za-z0-9_]+\Z")
#: Columns of the version records that hold JSON text.
_JSON_RECORD_COLUMNS = frozenset(("address", "class_schema_reference", "class_meta_schema_reference",
                                  "transaction"))
LIKE_LOOKUPS = frozenset((Lookup.CONTAINS, Lookup.ICONTAINS, Lookup.STARTSWITH, Lookup.ISTARTSWITH,
                          Lookup.ENDSWITH, Lookup.IENDSWITH))
ORDER_LOOKUPS = {Lookup.GT: ">", Lookup.GTE: ">=", Lookup.LT: "<", Lookup.LTE: "<="}
_TYPES = {"number": "'integer','real'", "text": "'text'", "list": "'array'", "dict": "'object'"}


class JsonOperand:
    """The value of a filter on a JSON path, as the checks of a condition tree hand it on."""

    __slots__ = ("value",)

    def __init__(self, value: Any) -> None:
        self.value = value

    def __repr__(self) -> str:
        return f"JsonOperand({self.value!r})"


def kind_of(value: Any) -> str:
    if value is None:
        return "none"
    if isinstance(value, bool):
        return "bool"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "text"
    if isinstance(value, list):
        return "list"
    if isinstance(value, dict):
        return "dict"
    return "other"


def _canonical(value: Any) -> Any:
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return value
    if isinstance(value, float):
        return int(value) if value.is_integer() else value
    if isinstance(value, int):
        return value
    if isinstance(value, list):
        return [_canonical(v) for v in value]
    if isinstance(value, dict):
        return {str(k): _canonical(v) for k, v in value.items()}
    raise TypeError(f"not a JSON value: {type(value).__name__}")


def canonical_text(value: Any) -> str:
    """One text per JSON value: keys sorted, integral numbers written as integers, no blanks."""
    return json.dumps(_canonical(value), sort_keys=True, ensure_ascii=False, separators=(",", ":"),
                      allow_nan=False)


def canonical_json(text: Any) -> Optional[str]:
    """The SQL function: the canonical text of JSON text, NULL for anything else."""
    if not isinstance(text, (str, bytes)):
        return None
    try:
        return canonical_text(json.loads(text))
    except (ValueError, TypeError, RecursionError):
        return None


def json_path(keys: List[str]) -> str:
    """The SQLite path of the keys, each naming exactly that key (checked by ``key_problem``)."""
    return "$" + "".join("." + key if BARE_KEY.match(key) else '."' + key + '"' for key in keys)


_CONTROL = re.compile("[\x00-\x1f]")


def key_problem(key: str) -> Optional[str]:
    """Why a key cannot be named in a path, or None."""
    if not key:
        return "an empty key (two '__' in a row, or one at the end)"
    if '"' in key or "\\" in key:
        return f"key {key!r} holds {chr(34) if chr(34) in key else chr(92)!r}, which a JSON path cannot name exactly"
    if _CONTROL.search(key):
        return f"key {key!r} holds a control character, which a JSON path cannot name exactly"
    return None


def _literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


# --------------------------------------------------------------------------- the templates

def _typed(x: str, t: str, kind: str, test: str) -> str:
    # A JSON null reads as NULL in json_extract: the test is then unknown, as for a missing key.
    return f"({t} IN ({_TYPES[kind]},'null') AND {test})"


def _eq_pattern(x: str, t: str, a: str, value: Any) -> Tuple[str, List[Any]]:
    kind = kind_of(value)
    if kind == "none":
        return f"{x} = ?", [None]
    if kind == "bool":
        return f"{t} IS ?", ["true" if value else "false"]
    if kind == "text" and value[:1] not in ("[", "{"):
        # Only a JSON string extracts as this text: arrays and objects extract as text that
        # starts with a bracket, numbers and booleans as numbers.
        return f"{x} = ?", [value]
    if kind in ("list", "dict"):
        return _typed(x, t, kind, f"{CANONICAL_JSON}({x}) = ?"), [canonical_text(value)]
    return _typed(x, t, kind, f"{x} = ?"), [value]


def _pattern(lookup: Any, operand: JsonOperand, column_type: Any) -> Tuple[str, Any]:
    """The pattern (``{field_name}`` holds the arguments of the JSON functions) and the parameters."""
    a = "{field_name}" if column_type is None else "{field_name}, '$'"
    x, t = f"json_extract({a})", f"json_type({a})"
    value = operand.value
    if lookup == Lookup.EQ:
        return _eq_pattern(x, t, a, value)
    if lookup == Lookup.NEQ:
        text, params = _eq_pattern(x, t, a, value)
        if text.startswith(t + " IS ?"):
            return f"{t} IS NOT ?", params
        return f"NOT ({text})", params
    if lookup in ORDER_LOOKUPS:
        op = ORDER_LOOKUPS[lookup]
        if value is None:
            return f"{x} {op} ?", [None]
        return _typed(x, t, kind_of(value), f"{x} {op} ?"), [value]
    if lookup == Lookup.IN:
        terms: List[str] = []
        params = []
        groups: Dict[str, List[Any]] = {}
        for item in value:
            kind = kind_of(item)
            if kind == "none":
                if "NULL" not in terms:
                    terms.append("NULL")  # x = NULL: unknown
            elif kind in ("number", "text"):
                fast = kind == "text" and item[:1] not in ("[", "{")
                groups.setdefault("fast" if fast else kind, []).append(item)
            else:
                text, one = _eq_pattern(x, t, a, item)
                terms.append(text)
                params.extend(one)
        grouped: List[str] = []
        grouped_params: List[Any] = []
        for kind, items in groups.items():
            marks = ",".join("?" * len(items))
            grouped.append(f"{x} IN ({marks})" if kind == "fast" else _typed(x, t, kind, f"{x} IN ({marks})"))
            grouped_params.extend(items)
        terms = grouped + terms
        params = grouped_params + params
        if not terms:
            return "0", []
        return ("(" + " OR ".join(terms) + ")") if len(terms) > 1 else terms[0], params
    if lookup in LIKE_LOOKUPS:
        upper = lookup in (Lookup.ICONTAINS, Lookup.ISTARTSWITH, Lookup.IENDSWITH)
        test = f"UPPER({x}) LIKE ?" if upper else f"{x} LIKE ?"
        param = sql_operator_map[lookup].build_value(str(value), None)
        return _typed(x, t, "text", test), [param]
    if lookup == Lookup.ISNULL:
        return (f"{x} IS NULL" if value else f"{x} IS NOT NULL"), NoValue
    raise QuarnaConnectionError(f"lookup {str(lookup)!r} is not supported on a JSON path")


def _host_template(lookup: Any, own: SqlOperatorTemplate) -> SqlOperatorTemplate:
    """The statements' template of a lookup, writing the exact comparison for a ``JsonOperand``."""

    def template(value: Any, column_type: Any) -> str:
        if value.__class__ is JsonOperand:
            return _pattern(lookup, value, column_type)[0]
        pattern = own.template
        return pattern(value, column_type) if callable(pattern) else pattern

    def modifier(value: Any, column_type: Any) -> Any:
        if value.__class__ is JsonOperand:
            params = _pattern(lookup, value, None)[1]
            return params if params is NoValue or len(params) != 1 else params[0]
        return own.build_value(value, column_type)

    return SqlOperatorTemplate(template=template, value_template=None, value_modifier=modifier)


HOST_OPERATOR_MAP = {lookup: _host_template(lookup, own) for lookup, own in sql_operator_map.items()}


# --------------------------------------------------------------------------- the values of filters

def _finite(value: Any, where: str) -> None:
    if isinstance(value, float) and not math.isfinite(value):
        raise QuarnaConnectionError(f"{where}: {value!r} is not a number a column or JSON can hold; "
                                    f"compare with a finite number")


if TYPE_CHECKING:
    from quarna_data.connections.sqlite.parts import Part
else:
    Part = object


class _JsonPaths(Part):
    """The hooks that make comparisons on JSON paths exact, and the checks of filter values."""

    SQL_OPERATOR_MAP = HOST_OPERATOR_MAP

    def _resolve_nested_field_name(self, table_name: str, field_name: str, nested_fields: str, *,
                                   value_type: Any = str, is_internal_table: bool = False,
                                   use_internal_meta_tables: bool = False) -> str:
        operand = value_type is JsonOperand
        if not operand and value_type is not str:
            return SqliteStatementsMixin._resolve_nested_field_name(
                self, table_name, field_name, nested_fields, value_type=value_type,
                is_internal_table=is_internal_table, use_internal_meta_tables=use_internal_meta_tables)

        column = self._fields_map(table_name, field_name, Versions.LATEST)
        keys = nested_fields.split("__")
        if not is_internal_table and column == ADDRESS_FIELD:
            return SqliteStatementsMixin._resolve_nested_field_name(
                self, table_name, field_name, nested_fields, value_type=value_type,
                is_internal_table=is_internal_table, use_internal_meta_tables=use_internal_meta_tables)
        if not is_internal_table and use_internal_meta_tables and column == METADATA_COLUMN:
            first, keys = keys[0], keys[1:]
            column = f"t2.'{first}'"
            if not keys:
                if not operand:
                    return column
                # One column of the version records, read as the JSON value the row's own copy holds.
                return (f"json({column}), '$'" if first in _JSON_RECORD_COLUMNS
                        else f"json_quote({column}), '$'")
        path = _literal(json_path(keys))
        return f"{column}, {path}" if operand else f"json_extract({column}, {path})"

    def _filter_value(self, info: Any, field: str, lookup: Any, value: Any) -> Any:
        """The value of a checked filter as the builders get it; QuarnaConnectionError for a value
        no lookup can compare with."""
        if lookup not in self.SQL_OPERATOR_MAP:
            valid = ", ".join(str(k) for k in self.SQL_OPERATOR_MAP)
            raise QuarnaConnectionError(
                f"filter {field!r} on table {info.name!r}: unknown lookup {str(lookup)!r} (lookups: {valid})")
        if isinstance(value, Versions):
            return value
        if value.__class__ is str and lookup is not Lookup.IN and lookup is not Lookup.ISNULL and "__" not in field:
            # The common case, text compared with a column: only text SQLite cannot bind (a lone
            # surrogate) is refused.
            problem = None if value.isascii() else _bad_value(value)
            if problem:
                raise QuarnaConnectionError(f"filter {field!r} on table {info.name!r}: SQLite cannot compare with {problem}")
            return value
        where = f"filter {field!r} on table {info.name!r}"
        if lookup == Lookup.ISNULL:
            if not isinstance(value, bool):
                raise QuarnaConnectionError(f"{where}: isnull takes True or False, not {value!r}")
            return JsonOperand(value) if self._is_json_path(info, field) else value
        convert = SqliteStatementsMixin._to_sql_value
        json_path_field = self._is_json_path(info, field)
        if lookup == Lookup.IN:
            if isinstance(value, str):
                # The JSON text of a list, as the statements take it.
                text = value
                try:
                    value = json.loads(text)
                except ValueError:
                    value = None
                if not isinstance(value, list):
                    raise QuarnaConnectionError(
                        f"{where}: in takes a list, tuple or set of values, or the JSON text of a list, "
                        f"not the text {text!r}")
            if not isinstance(value, (list, tuple, set, frozenset)):
                raise QuarnaConnectionError(
                    f"{where}: in takes a list, tuple or set of values, not {type(value).__name__}")
            items = [item if isinstance(item, (list, dict)) else convert(item) for item in value]
            for item in items:
                if not json_path_field and isinstance(item, (list, dict, bytes, bytearray)):
                    raise QuarnaConnectionError(
                        f"{where}: the items of in are text, numbers, booleans or None, not {type(item).__name__}")
                self._check_filter_scalar(where, item, json_path_field)
            return JsonOperand(items) if json_path_field else json.dumps(items)
        if lookup in LIKE_LOOKUPS:
            if value is None or isinstance(value, (bool, list, dict, tuple, set, bytes, bytearray)):
                raise QuarnaConnectionError(
                    f"{where}: {str(lookup)} takes text (or a number, matched as its text), not {value!r}")
        if json_path_field:
            if not isinstance(value, (list, dict)):
                value = convert(value)
            if lookup in ORDER_LOOKUPS and kind_of(value) in ("bool", "list", "dict"):
                raise QuarnaConnectionError(
                    f"{where}: {str(lookup)} compares numbers or text, not {type(value).__name__}")
            self._check_filter_scalar(where, value, True)
            if isinstance(value, bool) and field == f"{METADATA_COLUMN}__is_deleted":
                value = int(value)  # the version record holds the flag as 0 or 1
            return JsonOperand(value)
        self._check_filter_scalar(where, convert(value), False)
        return value

    def _check_filter_scalar(self, where: str, value: Any, json_value: bool) -> None:
        kinds = (type(None), bool, int, float, str) + ((list, dict) if json_value else (bytes,))
        if not isinstance(value, kinds):
            raise QuarnaConnectionError(
                f"{where}: cannot compare with a value of type {type(value).__name__} "
                f"(use text, a number, a boolean or None{', a list or a dict' if json_value else ''})")
        if json_value and isinstance(value, (list, dict)):
            try:
                canonical_text(value)
            except (TypeError, ValueError) as error:
                raise QuarnaConnectionError(f"{where}: the value is not JSON ({error})") from None
            return
        _finite(value, where) if json_value else None
        if isinstance(value, float) and math.isnan(value):
            raise QuarnaConnectionError(f"{where}: NaN equals nothing; use isnull for missing values")
        problem = _bad_value(value)
        if problem:
            raise QuarnaConnectionError(f"{where}: SQLite cannot compare with {problem}")

    @staticmethod
    def _is_json_path(info: Any, field: str) -> bool:
        head, sep, _ = field.partition("__")
        if not sep:
            return False
        if info.model and not info.internal:
            if head == ADDRESS_FIELD:
                return False
            if head == METADATA_COLUMN:
                return True
        return head in info.description and str(info.description[head]).lower() == "json"
