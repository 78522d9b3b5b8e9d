"""Conversion of data-model values to values SQLite binds."""
import importlib
import json
import sqlite3
import sys
import time
from collections import OrderedDict
from datetime import date, datetime, timedelta, timezone
from enum import Enum, IntEnum

import pytest
import pytz
from pydantic import Field
from quarna_utils.models.base import ModelBase
from quarna_utils.models.data_models.reference import Reference

MODULE = "quarna_data.connections.implementations.mixins.sqlite_statements_mixin"
mod = importlib.import_module(MODULE)
M = mod.SqliteStatementsMixin


class Colour(Enum):
    RED = "red"


class Kind(str, Enum):
    PERSON = "person"


class Level(IntEnum):
    HIGH = 3


class Day(Enum):
    NEW_YEAR = date(2024, 1, 1)


class Person(ModelBase):
    name: str = "Ann"


class AliasedReference(Reference):
    label: str = Field(default="x", alias="lbl")


def person_with(reference):
    p = Person()
    p.set_reference(reference)
    return p


UTC = pytz.utc
PLUS_TWO = timezone(timedelta(hours=2))


@pytest.mark.parametrize(
    "value, expected",
    [
        (date(2024, 1, 2), 1704153600),
        (datetime(2024, 1, 2, 3, 4, 5, 999999, tzinfo=UTC), 1704164645),
        (datetime(2024, 1, 2, 2, 0, tzinfo=PLUS_TWO), 1704153600),
        (datetime(1969, 12, 31, 23, 59, 59, 500000, tzinfo=UTC), 0),
        (datetime(1969, 12, 31, 23, 59, 58, 500000, tzinfo=timezone.utc), -1),
        (pytz.timezone("Europe/Paris").localize(datetime(2024, 7, 1, 2, 0)), 1719792000),
        (date(1970, 1, 1), 0),
        (date(1969, 12, 31), -86400),
    ],
)
def test_dates_become_utc_seconds(value, expected):
    assert M._convert_date_to_sql_value(value) == expected
    assert M._to_sql_value(value) == expected
    assert type(M._to_sql_value(value)) is int


def test_naive_datetime_is_taken_in_the_host_zone(monkeypatch):
    naive = datetime(2024, 1, 2, 12, 0)
    try:
        monkeypatch.setenv("TZ", "Asia/Kolkata")
        time.tzset()
        in_kolkata = M._convert_date_to_sql_value(naive)
        monkeypatch.setenv("TZ", "UTC")
        time.tzset()
        in_utc = M._convert_date_to_sql_value(naive)
    finally:
        monkeypatch.undo()
        time.tzset()
    assert in_utc == 1704196800
    assert in_kolkata == in_utc - 5 * 3600 - 1800


def test_date_like_objects_and_non_dates():
    class DateLike:
        year, month, day = 2024, 1, 2

    assert M._convert_date_to_sql_value(DateLike()) == 1704153600
    with pytest.raises(AttributeError, match="year"):
        M._convert_date_to_sql_value("2024-01-02")
    # Only dates and date-times are sent to the date conversion.
    assert M._to_sql_value(DateLike) is DateLike


@pytest.mark.parametrize(
    "value, expected",
    [
        (Kind.PERSON, "person"),
        (Level.HIGH, 3),
        (Colour.RED, "red"),
        ([date(2024, 1, 2), "x", 1, None], '[1704153600, "x", 1, null]'),
        ([Kind.PERSON, Level.HIGH], '["person", 3]'),
        ([], "[]"),
        ({"b": 1, "a": [1, 2]}, '{"b": 1, "a": [1, 2]}'),
        (OrderedDict(a=1), '{"a": 1}'),
        ({}, "{}"),
        (Reference(object_id="o1"), '{"object_id":"o1","object_version":null,"class_name":null}'),
        (
            person_with(Reference(object_id="o1", object_version="v2", class_name="Person")),
            '{"object_id":"o1","object_version":"v2","class_name":"Person"}',
        ),
        (person_with(AliasedReference(object_id="o1", lbl="y")),
         '{"object_id":"o1","object_version":null,"class_name":null,"label":"y"}'),
    ],
)
def test_conversions(value, expected):
    result = M._to_sql_value(value)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("value", [None, True, 1, 1.5, "x", b"x", (1, date(2024, 1, 2)), {1}, frozenset()])
def test_other_values_pass_unchanged(value):
    assert M._to_sql_value(value) is value


def test_enum_value_is_not_converted_further():
    assert M._to_sql_value(Day.NEW_YEAR) is Day.NEW_YEAR.value


def test_model_without_reference_gives_none():
    assert M._to_sql_value(Person()) is None


def test_list_subclass_is_walked_through_its_iterator():
    class Reversed(list):
        def __iter__(self):
            return reversed(self[:])

    assert M._to_sql_value(Reversed([date(2024, 1, 2), 1])) == "[1, 1704153600]"


@pytest.mark.parametrize(
    "value",
    [
        [Colour.RED],
        [[date(2024, 1, 2)]],
        [Person()],
        {"d": date(2024, 1, 2)},
        {"e": Colour.RED},
    ],
)
def test_json_errors_propagate(value):
    with pytest.raises(TypeError, match="not JSON serializable"):
        M._to_sql_value(value)


def test_class_methods_get_the_class_and_use_its_date_conversion():
    seen = []

    class Days(M):
        @classmethod
        def _convert_date_to_sql_value(cls, value):
            seen.append(cls)
            return f"day {value.isoformat()}"

    d = date(2024, 1, 2)
    assert Days()._to_sql_value(d) == "day 2024-01-02"
    assert Days._to_sql_value([d, 1]) == '["day 2024-01-02", 1]'
    assert seen == [Days, Days]


class Boom(Exception):
    pass


def test_errors_of_model_hooks_propagate():
    class BadMetadata(Person):
        def get_metadata(self):
            raise Boom("metadata")

    class BadDump(Reference):
        def model_dump_json(self, **kwargs):
            raise Boom(f"dump {kwargs}")

    with pytest.raises(Boom, match="metadata"):
        M._to_sql_value(BadMetadata())
    with pytest.raises(Boom, match="dump {'by_alias': False}"):
        M._to_sql_value(BadDump(object_id="x"))
    with pytest.raises(Boom, match="dump"):
        M._to_sql_value(person_with(BadDump(object_id="x")))


def test_a_conversion_hook_that_mutates_the_list_does_not_crash():
    items = [date(2024, 1, 2)] * 5

    class Mutating(M):
        @classmethod
        def _convert_date_to_sql_value(cls, value):
            items.clear()
            return 1

    assert Mutating._to_sql_value(items) == "[1]"


def test_model_classes_are_imported_at_every_call(monkeypatch):
    base = sys.modules["quarna_utils.models.base"]

    class Other:
        def get_metadata(self):
            return type("Meta", (), {"reference": Reference(object_id="z")})()

    assert M._to_sql_value(Other()).__class__ is Other
    monkeypatch.setattr(base, "ModelBase", Other)
    assert M._to_sql_value(Other()) == '{"object_id":"z","object_version":null,"class_name":null}'
    monkeypatch.delattr(base, "ModelBase")
    with pytest.raises(ImportError, match="cannot import name 'ModelBase'"):
        M._to_sql_value(1)

    def module_getattr(name):
        if name == "ModelBase":
            return Other
        raise AttributeError(name)

    monkeypatch.setattr(base, "__getattr__", module_getattr, raising=False)
    assert M._to_sql_value(Other()).startswith('{"object_id":"z"')
    monkeypatch.undo()
    monkeypatch.setitem(sys.modules, "quarna_utils.models.data_models.reference", None)
    with pytest.raises(ImportError):
        M._to_sql_value("needs neither class")
    monkeypatch.undo()
    assert M._to_sql_value(1) == 1


def test_module_names_are_read_at_each_call(monkeypatch):
    class FakeJson:
        @staticmethod
        def dumps(value):
            return ("dumped", value)

    monkeypatch.setattr(mod, "json", FakeJson)
    assert M._to_sql_value({"a": 1}) == ("dumped", {"a": 1})

    class Marker:
        value = "unwrapped"

    monkeypatch.setattr(mod, "Enum", Marker)
    assert M._to_sql_value(Marker()) == "unwrapped"
    assert M._to_sql_value(Colour.RED) is Colour.RED
    monkeypatch.undo()
    monkeypatch.setattr(mod.pytz, "utc", PLUS_TWO)
    assert M._convert_date_to_sql_value(date(2024, 1, 2)) == 1704153600 - 7200
    monkeypatch.undo()
    monkeypatch.delattr(mod, "pytz")
    with pytest.raises(NameError, match="pytz"):
        M._convert_date_to_sql_value(date(2024, 1, 2))


def test_converted_values_bind_on_sqlite(db):
    db.execute("CREATE TABLE v (x)")
    values = [date(2024, 1, 2), {"a": [1]}, [date(1970, 1, 2)], Kind.PERSON, None,
              person_with(Reference(object_id="o1"))]
    db.executemany("INSERT INTO v VALUES (?)", [(M._to_sql_value(v),) for v in values])
    rows = [r[0] for r in db.execute("SELECT x FROM v ORDER BY rowid")]
    assert rows[:5] == [1704153600, '{"a": [1]}', "[86400]", "person", None]
    assert json.loads(rows[5])["object_id"] == "o1"
    # A tuple is passed through unchanged, and the driver refuses it (the error class differs by version).
    with pytest.raises((sqlite3.InterfaceError, sqlite3.ProgrammingError)):
        db.execute("INSERT INTO v VALUES (?)", (M._to_sql_value((1, 2)),))
