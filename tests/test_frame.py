"""The module frame: names, class layout, method table, argument binding, lifecycle."""
import importlib
import inspect
import pickle
import subprocess
import sys
import textwrap
from collections import OrderedDict, defaultdict

import pytest

MODULE = "quarna_data.connections.implementations.mixins.sqlite_statements_mixin"


@pytest.fixture(scope="module")
def mod():
    return importlib.import_module(MODULE)


@pytest.fixture(scope="module")
def M(mod):
    return mod.SqliteStatementsMixin


def test_module_names_in_definition_order(mod):
    names = [n for n in vars(mod) if not n.startswith("__")]
    assert names == [
        "json", "Callable", "date", "datetime", "Enum", "cache", "Any", "ClassVar", "pytz",
        "Versions", "Filter", "OrderBy", "CursorPaginator", "NumberPaginator", "QuerySpecifier",
        "Lookup", "OrderDirection", "QueryableMixin", "ConnectorEnum", "Q", "BaseModel",
        "QuarnaConnectionError", "PRIMARY_PARTITION_KEY", "SECONDARY_PARTITION_KEY",
        "SUPPORTED_NESTED_FIELDS", "ADDRESS_FIELD", "METADATA_FIELD", "MODEL_TABLE_ALIAS",
        "METADATA_TABLE_ALIAS", "NoValue", "SqlOperatorTemplate", "sql_operator_map",
        "METADATA_SELECT_STATEMENT", "METADATA_SELECT_FIELD", "SqliteStatementsMixin",
    ]


def test_imported_names_are_the_real_objects(mod):
    import collections.abc
    import datetime
    import functools
    import json
    import typing

    import pydantic
    import pytz
    from quarna_data.connections.errors import QuarnaConnectionError
    from quarna_utils.query.utils import Q

    assert mod.json is json and mod.pytz is pytz
    assert mod.Callable is collections.abc.Callable and mod.cache is functools.cache
    assert mod.date is datetime.date and mod.datetime is datetime.datetime
    assert mod.Any is typing.Any and mod.ClassVar is typing.ClassVar
    assert mod.BaseModel is pydantic.BaseModel and mod.Q is Q
    assert mod.QuarnaConnectionError is QuarnaConnectionError


def test_constants(mod):
    assert mod.SUPPORTED_NESTED_FIELDS == ("_metadata",)
    assert type(mod.SUPPORTED_NESTED_FIELDS) is tuple
    assert (mod.ADDRESS_FIELD, mod.METADATA_FIELD) == ("_address", "_metadata")
    assert (mod.MODEL_TABLE_ALIAS, mod.METADATA_TABLE_ALIAS) == ("t1", "t2")
    assert mod.METADATA_SELECT_STATEMENT.startswith("\nSELECT\n  _m.*,")
    assert mod.METADATA_SELECT_STATEMENT.endswith("FROM metadata as _m\n")
    assert len(mod.METADATA_SELECT_FIELD) == 534
    assert mod.METADATA_SELECT_FIELD.count("t2") == 12
    assert mod.METADATA_SELECT_FIELD.endswith("json(t2.'transaction')\n) AS _metadata\n")


def test_no_value_is_a_bare_class(mod):
    assert isinstance(mod.NoValue, type)
    assert mod.NoValue.__bases__ == (object,)
    assert [n for n in vars(mod.NoValue) if not n.startswith("__")] == []


def test_class_layout(mod, M):
    assert M.__bases__ == (object,) and type(M) is type
    assert M.TABLE_SEPARATOR == "'" and M.COLUMN_SEPARATOR == "'" and M.SUBSTITUTE_CHAR == "?"
    assert M.SQL_OPERATOR_MAP is mod.sql_operator_map
    assert M.__annotations__ == {
        "TABLE_SEPARATOR": "str",
        "COLUMN_SEPARATOR": "str",
        "SQL_OPERATOR_MAP": "dict[Lookup, SqlOperatorTemplate]",
        "SUBSTITUTE_CHAR": "str",
    }
    own = [n for n in vars(M) if not n.startswith("__")]
    assert own == ["TABLE_SEPARATOR", "COLUMN_SEPARATOR", "SQL_OPERATOR_MAP", "SUBSTITUTE_CHAR"] + list(SIGNATURES)


T = "table_name: 'str'"
SQ = "'QuerySpecifier | None' = None"
C = "'Q | None' = None"
P = "'NumberPaginator | CursorPaginator | None' = None"
O = "'list[OrderBy] | None' = None"
PAIR_TUPLE = " -> 'tuple[str, tuple[Any, ...]]'"
PAIR_LIST = " -> 'tuple[str, list[Any]]'"
SIGNATURES = {
    "_fields_map": f"(self, {T}, field_name: 'str', class_version: 'str | Versions') -> 'str'",
    "_field_reverse_map": f"(self, {T}, field_name: 'str', class_version: 'str | Versions') -> 'str'",
    "_build_insert_statement": f"(self, {T}, data: 'dict[str, Any]')" + PAIR_TUPLE,
    "_build_bulk_insert_statement": f"(self, {T}, data: 'list[dict[str, Any]]')" + PAIR_TUPLE,
    "_build_delete_statement": f"(self, {T}, data: 'dict[str, Any]')" + PAIR_TUPLE,
    "_build_bulk_delete_statement": f"(self, {T}, data: 'list[dict[str, Any]]')" + PAIR_TUPLE,
    "_build_select_statement": f"(self, {T}, query_specifier: {SQ}, conditions: {C}, pagination: {P}, "
    f"order_by: {O}, *, use_internal_meta_tables: 'bool' = False)" + PAIR_LIST,
    "_select_statement": f"(self, {T}, select_only: 'str', conditions: {C}, pagination: {P}, "
    f"order_by: {O}, *, is_internal_table: 'bool' = False)" + PAIR_LIST,
    "_select_with_internal_meta_statement": f"(self, {T}, select_only: 'str', conditions: {C}, "
    f"pagination: {P}, order_by: {O})" + PAIR_LIST,
    "_build_count_statement": f"(self, {T}, conditions: {C}, *, use_internal_meta_tables: 'bool' = False)"
    + PAIR_LIST,
    "_get_conditions_statement": f"(self, {T}, conditions: 'Q', *, is_internal_table: 'bool' = False, "
    "use_internal_meta_tables: 'bool' = False, is_grouped: 'bool' = False)" + PAIR_LIST,
    "_get_filter_statement": f"(self, {T}, filter_item: 'Filter', *, is_internal_table: 'bool' = False, "
    "use_internal_meta_tables: 'bool' = False) -> 'tuple[str, Any]'",
    "_nested_filter_statement": f"(self, {T}, field_name: 'str', nested_fields: 'str', "
    "sql_operator_template: 'SqlOperatorTemplate', value: 'Any', value_type: 'Any', *, "
    "is_internal_table: 'bool' = False, use_internal_meta_tables: 'bool' = False) -> 'tuple[str, Any]'",
    "_resolve_nested_field_name": f"(self, {T}, field_name: 'str', nested_fields: 'str', *, "
    "value_type: 'Any' = <class 'str'>, is_internal_table: 'bool' = False, "
    "use_internal_meta_tables: 'bool' = False) -> 'str'",
    "_build_order_by_statement": f"(self, {T}, order_by: 'list[OrderBy] | None', *, "
    "is_internal_table: 'bool' = False, use_internal_meta_tables: 'bool' = False) -> 'str'",
    "_convert_date_to_sql_value": "(cls, value: 'date | datetime') -> 'int'",
    "_to_sql_value": "(cls, value: 'Any') -> 'Any'",
    "_describe_table": f"(self, {T}) -> 'dict[str, str]'",
    "_process_result": f"(self, {T}, result: 'dict[str, Any]', table_description: 'dict[str, str]') "
    "-> 'dict[str, Any]'",
    "_process_field": "(field_type: 'str', value: 'Any') -> 'Any'",
}


TEMPLATE_SIGNATURES = {
    "build_statement": "(self, field_name: 'str', value: 'Any', table_name: 'str' = '', "
    "column_separator: 'str' = \"'\", column_type: 'str | None' = None) -> 'str'",
    "build_value": "(self, value: 'Any', column_type: 'str | None' = None) -> 'Any'",
}


def _function(M, name):
    attr = vars(M)[name]
    if isinstance(attr, (classmethod, staticmethod)):
        return attr.__func__
    return getattr(attr, "__wrapped__", attr)


@pytest.mark.parametrize(
    "owner, name, signature",
    [("SqliteStatementsMixin", n, s) for n, s in SIGNATURES.items()]
    + [("SqlOperatorTemplate", n, s) for n, s in TEMPLATE_SIGNATURES.items()],
)
def test_signature_and_function_attributes(mod, owner, name, signature):
    fn = _function(getattr(mod, owner), name)
    assert str(inspect.signature(fn)) == signature
    assert fn.__name__ == name
    assert fn.__qualname__ == f"{owner}.{name}"
    assert fn.__module__ == MODULE
    assert all(type(v) is str for v in fn.__annotations__.values())
    assert repr(fn).startswith(f"<function {owner}.{name} at 0x")
    assert fn.__doc__ and "\n" not in fn.__doc__


def test_method_kinds(M):
    kinds = {n: type(vars(M)[n]).__name__ for n in SIGNATURES}
    assert kinds.pop("_convert_date_to_sql_value") == "classmethod"
    assert kinds.pop("_to_sql_value") == "classmethod"
    assert kinds.pop("_process_field") == "staticmethod"
    assert kinds.pop("_describe_table") == "_lru_cache_wrapper"
    assert set(kinds.values()) == {"native_function"}
    assert vars(M)["_describe_table"].cache_info().maxsize is None


def test_defaults_and_kwdefaults(M):
    assert M._resolve_nested_field_name.__kwdefaults__ == {
        "value_type": str, "is_internal_table": False, "use_internal_meta_tables": False}
    assert M._resolve_nested_field_name.__kwdefaults__["value_type"] is str
    assert M._select_statement.__defaults__ == (None, None, None)
    assert M._fields_map.__defaults__ is None and M._fields_map.__kwdefaults__ is None


def test_field_name_hooks_are_identities(M):
    obj = M()
    name = "".join(["na", "me"])  # not interned: identity must be kept
    assert obj._fields_map("t", name, None) is name
    assert obj._field_reverse_map(table_name="t", field_name=name, class_version="v1") is name


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda M, o: M._fields_map(o, "a"), "_fields_map() takes exactly 4 positional arguments (2 given)"),
        (lambda M, o: o._fields_map("t", "f", None, 1),
         "_fields_map() takes exactly 4 positional arguments (5 given)"),
        (lambda M, o: o._fields_map(table_name="t"), "_fields_map() takes exactly 4 positional arguments (2 given)"),
        (lambda M, o: o._fields_map("t", "f", None, table_name="t"),
         "_fields_map() got multiple values for keyword argument 'table_name'"),
        (lambda M, o: o._fields_map("t", "f", None, colour=1),
         "_fields_map() got an unexpected keyword argument 'colour'"),
        (lambda M, o: o._select_statement("t"), "_select_statement() takes at least 3 positional arguments (2 given)"),
        (lambda M, o: o._select_statement("t", "*", None, None, None, None),
         "_select_statement() takes at most 6 positional arguments (7 given)"),
        (lambda M, o: o._select_with_internal_meta_statement("t"),
         "_select_with_internal_meta_statement() takes at least 3 positional arguments (2 given)"),
        (lambda M, o: o._select_with_internal_meta_statement("t", "*", None, None, None, None),
         "_select_with_internal_meta_statement() takes at most 6 positional arguments (7 given)"),
        (lambda M, o: o._build_select_statement(), "_build_select_statement() takes at least 2 positional arguments (1 given)"),
        (lambda M, o: o._build_count_statement("t", None, True),
         "_build_count_statement() takes at most 3 positional arguments (4 given)"),
        (lambda M, o: o._build_order_by_statement("t"),
         "_build_order_by_statement() takes exactly 3 positional arguments (2 given)"),
        (lambda M, o: o._get_filter_statement("t"), "_get_filter_statement() takes exactly 3 positional arguments (2 given)"),
        (lambda M, o: o._resolve_nested_field_name("t", "f"),
         "_resolve_nested_field_name() takes exactly 4 positional arguments (3 given)"),
        (lambda M, o: o._get_conditions_statement("t", None, False),
         "_get_conditions_statement() takes exactly 3 positional arguments (4 given)"),
        (lambda M, o: M._process_field("json"), "_process_field() takes exactly 2 positional arguments (1 given)"),
        (lambda M, o: M._to_sql_value(), "_to_sql_value() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_binding_messages(M, call, message):
    with pytest.raises(TypeError) as info:
        call(M, M())
    assert str(info.value) == message


class Text(str):
    pass


ARG_TESTS = [
    ("_fields_map", ["t", "f", None], ["table_name", "field_name"]),
    ("_field_reverse_map", ["t", "f", None], ["table_name", "field_name"]),
    ("_build_insert_statement", ["t", {}], ["table_name"]),
    ("_build_bulk_insert_statement", ["t", []], ["table_name"]),
    ("_build_delete_statement", ["t", {}], ["table_name"]),
    ("_build_bulk_delete_statement", ["t", []], ["table_name"]),
    ("_build_select_statement", ["t"], ["table_name"]),
    ("_select_statement", ["t", "*"], ["table_name", "select_only"]),
    ("_select_with_internal_meta_statement", ["t", "*"], ["table_name", "select_only"]),
    ("_build_count_statement", ["t"], ["table_name"]),
    ("_get_conditions_statement", ["t", None], ["table_name"]),
    ("_get_filter_statement", ["t", None], ["table_name"]),
    ("_nested_filter_statement", ["t", "f", "n", None, 1, int], ["table_name", "field_name", "nested_fields"]),
    ("_resolve_nested_field_name", ["t", "f", "n"], ["table_name", "field_name", "nested_fields"]),
    ("_build_order_by_statement", ["t", None], ["table_name"]),
    ("_describe_table", ["t"], ["table_name"]),
    ("_process_result", ["t", {}, {}], ["table_name"]),
    ("_process_field", ["json", "x"], ["field_type"]),
]


def _by_keyword(M, name, given):
    """The same arguments passed by name: binding keywords is a path of its own."""
    names = [n for n in inspect.signature(_function(M, name)).parameters if n not in ("self", "cls")]
    return dict(zip(names, given))


@pytest.mark.parametrize("name, args, tested", ARG_TESTS)
@pytest.mark.parametrize("bad", [Text("t"), None, 5])
def test_exact_str_arguments(M, name, args, tested, bad):
    method = getattr(M(), name)
    for position, arg_name in enumerate(tested):
        given = list(args)
        given[position] = bad
        for call in (lambda: method(*given), lambda: method(**_by_keyword(M, name, given))):
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value) == (
                f"Argument '{arg_name}' has incorrect type (expected str, got {type(bad).__name__})")


@pytest.mark.parametrize(
    "name, args, position, expected",
    [
        ("_build_insert_statement", ["t", {}], 1, "dict"),
        ("_build_delete_statement", ["t", {}], 1, "dict"),
        ("_build_bulk_insert_statement", ["t", []], 1, "list"),
        ("_build_bulk_delete_statement", ["t", []], 1, "list"),
        ("_process_result", ["t", {}, {}], 1, "dict"),
        ("_process_result", ["t", {}, {}], 2, "dict"),
    ],
)
def test_exact_container_arguments(M, name, args, position, expected):
    class Mapping(dict):
        pass

    class Rows(list):
        pass

    method = getattr(M(), name)
    arg_name = list(inspect.signature(_function(M, name)).parameters)[position + 1]
    # A type of the interpreter is named as its tp_name, with its module where it has one.
    for bad, got in ((Mapping(), "Mapping"), (Rows(), "Rows"), ((), "tuple"), (None, "NoneType"),
                     (OrderedDict(), "collections.OrderedDict"), (defaultdict(int), "collections.defaultdict")):
        given = list(args)
        given[position] = bad
        for call in (lambda: method(*given), lambda: method(**_by_keyword(M, name, given))):
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value) == f"Argument '{arg_name}' has incorrect type (expected {expected}, got {got})"


def test_argument_test_order(M):
    with pytest.raises(TypeError, match="'table_name'"):
        M()._fields_map(None, 5, None)


def test_second_import_returns_same_module(mod):
    operator_map = mod.sql_operator_map
    del sys.modules[MODULE]
    try:
        again = importlib.import_module(MODULE)
    finally:
        sys.modules[MODULE] = mod
    assert again is mod
    assert importlib.reload(mod) is mod
    assert mod.sql_operator_map is operator_map


FAKE_JSON = type("FakeJson", (), {"dumps": staticmethod(lambda value: "fake")})


# A caller whose builtins lack __import__, are not a dict, or hold a json of their own: the module's
# functions resolve names as functions defined in the module do, with the builtins of the module.
@pytest.mark.parametrize("caller_builtins", [{}, 5, {"json": FAKE_JSON}], ids=["empty", "not-a-dict", "fake-json"])
def test_names_resolve_with_the_module_builtins_not_the_callers(mod, M, monkeypatch, caller_builtins):
    namespace = {"__builtins__": caller_builtins, "M": M}
    exec("result = M._to_sql_value({'a': 1})", namespace)
    assert namespace["result"] == '{"a": 1}'
    monkeypatch.delattr(mod, "json")
    with pytest.raises(NameError, match="'json'"):
        exec("M._to_sql_value({'a': 1})", namespace)


def test_functions_pickle_by_reference(mod, M):
    assert pickle.loads(pickle.dumps(M._fields_map)) is M._fields_map
    assert pickle.loads(pickle.dumps(M._build_select_statement)) is M._build_select_statement


def _run(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120)


# A second interpreter: one that shares the main one's allocator and checks nothing ("legacy"),
# and, from 3.12, one that refuses extension modules that do not declare themselves fit for it.
SUBINTERPRETERS = [pytest.param("legacy", "Interpreter change detected - this module can only be loaded into "
                                          "one interpreter per process.", id="legacy")]
if sys.version_info >= (3, 12):
    SUBINTERPRETERS.append(pytest.param("strict", f"module {MODULE} does not support loading in subinterpreters",
                                        id="strict"))


@pytest.mark.parametrize("kind, message", SUBINTERPRETERS)
def test_one_interpreter_per_process(kind, message):
    result = _run(f"""
        import sys
        import {MODULE}
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            # a GIL shared with the main interpreter, so that only the module's own declaration refuses it
            config = interpreters.new_config("legacy" if "{kind}" == "legacy" else "isolated", gil="shared")
            interp = interpreters.create(config)
        else:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(**({{}} if sys.version_info < (3, 12) else {{"isolated": "{kind}" != "legacy"}}))
        try:
            failure = interpreters.run_string(interp, "import {MODULE}")
            print(failure.msg if failure else "imported")
        except Exception as exc:
            print(exc)
        """)
    assert result.returncode == 0, result.stderr
    assert message in result.stdout


def test_failed_load_reports_its_step_and_a_later_import_loads():
    result = _run(f"""
        import sys, traceback, types
        import quarna_data.table_schemas.constants as real
        fake = types.ModuleType(real.__name__)
        fake.PRIMARY_PARTITION_KEY = "partition_key"
        sys.modules[real.__name__] = fake
        try:
            import {MODULE}
        except ImportError as exc:
            print("ERROR", exc)
            print("FRAMES", [f.name for f in traceback.extract_tb(exc.__traceback__)])
        assert "{MODULE}" not in sys.modules
        sys.modules[real.__name__] = real
        from {MODULE} import SqliteStatementsMixin, sql_operator_map
        print("LOADED", len(sql_operator_map), SqliteStatementsMixin.__name__)
        """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == ("ERROR cannot import name 'SECONDARY_PARTITION_KEY' from "
                        "'quarna_data.table_schemas.constants' (unknown location)")
    assert f"init {MODULE}" in lines[1]
    assert lines[2].startswith("LOADED") and lines[2].endswith("SqliteStatementsMixin")


def test_failed_template_step_fails_the_load():
    result = _run(f"""
        import traceback
        import quarna_utils.query.enums as enums
        # A Lookup without one of the supported members: building the operator table fails.
        import enum
        enums.Lookup = enum.Enum("Lookup", {{"EQ": "eq"}})
        try:
            import {MODULE}
        except AttributeError as exc:
            print("ERROR", exc)
            print("FRAMES", [f.name for f in traceback.extract_tb(exc.__traceback__)])
        """)
    assert result.returncode == 0, result.stderr
    assert "ERROR" in result.stdout and f"init {MODULE}" in result.stdout
