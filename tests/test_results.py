"""Row decoding: _process_field and _process_result, including the reads they repeat on every call
(module globals, the hooks, the column types), which must follow every change made between calls
and, for the hooks, between the columns of one row."""
import functools
import json
import sys
import types
from enum import Enum

import pytest
from quarna_utils.models.enums import Versions

from quarna_data.connections.implementations.mixins import sqlite_statements_mixin as mod

Mixin = mod.SqliteStatementsMixin
PK, SK = mod.PRIMARY_PARTITION_KEY, mod.SECONDARY_PARTITION_KEY
DESCRIPTION = {PK: "TEXT", SK: "TEXT", "name": "TEXT", "tags": "json"}
META = {"address": {"class_version": "7", "object_version": "3"}, "object_id": "o"}


class Host(Mixin):
    def __init__(self):
        self.seen = []  # class versions passed to the reverse map by Recording


class Recording(Host):
    def _field_reverse_map(self, table_name, field_name, class_version):
        self.seen.append((table_name, field_name, class_version))
        return "f_" + field_name


@pytest.fixture
def host():
    return Host()


def decode(row, description=DESCRIPTION, host=None):
    return (host or Host())._process_result("person", row, description)


# --------------------------------------------------------------------------- _process_field

VIEW = memoryview(b"\x00\x01")
RAW = b"\x00\x01"
NOT_JSON = "hello"


@pytest.mark.parametrize("field_type, value, expected", [
    ("json", "[1, 2]", [1, 2]),
    ("JSON", '{"a": {"b": null}}', {"a": {"b": None}}),
    ("Json", "3", 3),
    ("json", b'{"a": 1}', {"a": 1}),
    ("json", None, None),
    ("json", 5, 5),
    ("bytea", VIEW, RAW),
    ("BYTEA", VIEW, RAW),
    ("TEXT", "[1]", "[1]"),
    ("", "[1]", "[1]"),
    ("jsonb", "[1]", "[1]"),
])
def test_field_decoding(field_type, value, expected):
    result = Mixin._process_field(field_type, value)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("field_type, value", [
    ("json", NOT_JSON),        # not JSON: kept as text
    ("json", "{"),
    ("json", VIEW),            # a view under json is not decoded
    ("bytea", RAW),            # bytes already
    ("text", VIEW),
])
def test_field_passes_the_same_object(field_type, value):
    assert Mixin._process_field(field_type, value) is value


def test_field_decoding_of_text_subclasses_and_non_ascii_types():
    class Text(str):
        pass

    assert Mixin._process_field("json", Text("[1]")) == [1]
    # The type name is compared after str.lower(), also beyond ASCII: the Kelvin sign is not a k.
    assert Mixin._process_field("JSON\u212a", "[1]") == "[1]"


def test_field_errors():
    with pytest.raises(json.JSONDecodeError):
        Mixin._process_field("json", b"{")  # bytes are not kept when they are not JSON


def test_field_catches_the_decode_error_of_the_json_global(monkeypatch):
    class Other(ValueError):
        pass

    class FakeJson:
        JSONDecodeError = Other

        @staticmethod
        def loads(value):
            raise Other("no") if value == "caught" else json.JSONDecodeError("no", value, 0)

    monkeypatch.setattr(mod, "json", FakeJson)
    assert Mixin._process_field("json", "caught") == "caught"
    with pytest.raises(json.JSONDecodeError):  # not the class named by the global now
        Mixin._process_field("json", "other")


# --------------------------------------------------------------------------- _process_result

@pytest.mark.parametrize("row, description, expected", [
    # the example: partition keys moved, JSON decoded, key order kept
    ({"id": 5, "version": 7, "name": "Ann", "tags": "[1, 2]"},
     {"id": "INTEGER", "version": "TEXT", "name": "TEXT", "tags": "json"},
     {"name": "Ann", "tags": [1, 2], "_object_id": 5, "_object_version": 7}),
    # columns the description does not have are dropped
    ({"id": 1, "computed": 9, "name": "x"}, {"id": "INTEGER", "name": "TEXT"}, {"name": "x", "_object_id": 1}),
    # undecodable JSON text stays text
    ({"tags": NOT_JSON}, {"tags": "json"}, {"tags": NOT_JSON}),
    # 33 characters starting with f are dropped; 32 and 34, or 33 not starting with f, stay
    ({"f" * 33: 1, "f" * 32: 2, "f" * 34: 3, "g" * 33: 4},
     {"f" * 33: "TEXT", "f" * 32: "TEXT", "f" * 34: "TEXT", "g" * 33: "TEXT"},
     {"f" * 32: 2, "f" * 34: 3, "g" * 33: 4}),
    # bytea views become bytes
    ({"blob": memoryview(b"ab")}, {"blob": "bytea"}, {"blob": b"ab"}),
    # metadata joined as text: decoded, reference lists made, version from the address
    ({"name": "x", "_metadata": json.dumps(META)}, {"name": "TEXT"},
     {"name": "x", "_metadata": {**META, "reference_to": [], "referenced_by": []}, "_object_version": "3"}),
    # reference list items are JSON texts
    ({"_metadata": json.dumps({**META, "reference_to": ['{"object_id": "a"}'], "referenced_by": ["1"]})}, {},
     {"_metadata": {**META, "reference_to": [{"object_id": "a"}], "referenced_by": [1]},
      "_object_version": "3"}),
    # metadata as a JSON column of the table: decoded as a column, lists left alone
    ({"_metadata": json.dumps(META), "version": "9"}, {"_metadata": "json", "version": "TEXT"},
     {"_metadata": META, "_object_version": "9"}),
    # metadata as a text column: decoded afterwards, lists left alone
    ({"_metadata": json.dumps(META)}, {"_metadata": "TEXT"}, {"_metadata": META, "_object_version": "3"}),
])
def test_records(monkeypatch, row, description, expected):
    monkeypatch.setattr(mod, "PRIMARY_PARTITION_KEY", "id")
    monkeypatch.setattr(mod, "SECONDARY_PARTITION_KEY", "version")
    record = decode(row, description)
    assert record == expected and list(record) == list(expected)


def test_metadata_mapping_is_the_same_object_normalised_in_place():
    metadata = {"address": {"class_version": "1", "object_version": "2"}, "reference_to": ('"a"',)}
    record = decode({"_metadata": metadata}, {})
    assert record["_metadata"] is metadata
    assert metadata["reference_to"] == ["a"] and metadata["referenced_by"] == []


def test_class_version_given_to_the_reverse_map():
    host = Recording()
    decode({"name": "a"}, {"name": "TEXT"}, host)
    decode({"name": "b", "_metadata": json.dumps(META)}, {"name": "TEXT"}, host)
    assert host.seen == [("person", "name", Versions.LATEST), ("person", "name", "7")]
    assert host.seen[0][2] is Versions.LATEST


@pytest.mark.parametrize("row, error", [
    ({"_metadata": "{}"}, KeyError),                                      # no address
    ({"_metadata": '{"address": {}}'}, KeyError),                          # no class_version
    ({"_metadata": "{bad"}, json.JSONDecodeError),
    ({"_metadata": json.dumps({**META, "reference_to": ["{bad"]})}, json.JSONDecodeError),
    ({"_metadata": None}, TypeError),
    ({"_metadata": json.dumps({"address": {"class_version": "1"}})}, KeyError),  # no object_version
])
def test_metadata_errors(row, error):
    with pytest.raises(error):
        decode(row, {})


def test_a_column_type_that_is_not_text_is_refused():
    with pytest.raises(TypeError, match="Argument 'field_type' has incorrect type .* got NoneType"):
        Host()._process_result("t", {"a": 1}, {"a": None})


# --------------------------------------------------------------------------- what is read again


def test_module_globals_are_read_at_every_call(monkeypatch):
    row = {PK: "o", SK: "v", "name": "x", "tags": "[1]"}
    assert decode(row) == {"name": "x", "tags": [1], "_object_id": "o", "_object_version": "v"}
    monkeypatch.setattr(mod, "SECONDARY_PARTITION_KEY", "name")
    assert decode(row) == {SK: "v", "tags": [1], "_object_id": "o", "_object_version": "x"}
    monkeypatch.setattr(mod, "json", type("J", (), {"loads": staticmethod(lambda s: ("loaded", s))}))
    assert decode(row)["tags"] == ("loaded", "[1]")
    monkeypatch.undo()
    monkeypatch.setattr(json, "loads", lambda s, **kw: "patched")  # an attribute of the json module
    assert decode(row)["tags"] == "patched"
    monkeypatch.undo()
    assert decode(row)["tags"] == [1]


@pytest.mark.parametrize("json_global", [types.ModuleType("json"), object()], ids=["module", "object"])
@pytest.mark.parametrize("call", [lambda: decode({"tags": "[1]"}), lambda: Mixin._process_field("json", "[1]")],
                         ids=["result", "field"])
def test_json_global_without_loads_raises_attribute_error(monkeypatch, json_global, call):
    decode({"tags": "[1]"})  # warm: a remembered json.loads must not outlive the rebinding
    monkeypatch.setattr(mod, "json", json_global)
    with pytest.raises(AttributeError) as caught:  # the except clause's read of json.JSONDecodeError
        call()
    assert "loads" in str(caught.value.__context__)


class Turncoat:
    """A key that hashes like a name and starts to compare equal to it when told: the dict that holds it
    keeps its version, but a plain lookup of the name now finds this key first."""

    def __init__(self, name):
        self.name, self.equal = name, False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return self.equal and other == self.name


def description_key(monkeypatch, host):
    key = Turncoat("tags")
    return key, {key: "text", "tags": "json"}, {"tags": [1]}, {"tags": "[1]"}


def reverse_map_in_instance_dict(monkeypatch, host):
    key = Turncoat("_field_reverse_map")
    host.__dict__[key] = lambda table_name, name, class_version: "own_" + name
    return key, DESCRIPTION, {"tags": [1]}, {"own_tags": [1]}


def loads_in_json_module(monkeypatch, host):
    key = Turncoat("loads")
    loads = json.loads
    monkeypatch.delattr(json, "loads")  # the key goes first in the lookup order, then loads again
    monkeypatch.setitem(vars(json), key, lambda text: "turncoat")
    monkeypatch.setattr(json, "loads", loads, raising=False)
    return key, DESCRIPTION, {"tags": [1]}, {"tags": "turncoat"}


# A remembered read holds only while a plain lookup would give the same: not for a dict with a key of
# another type, whose comparison may change its answer while the dict keeps its version.
@pytest.mark.parametrize("make", [description_key, reverse_map_in_instance_dict, loads_in_json_module])
def test_a_key_whose_comparison_changes_is_followed(monkeypatch, host, make):
    key, description, before, after = make(monkeypatch, host)
    row = {"tags": "[1]"}
    for _ in range(3):
        assert host._process_result("person", row, description) == before
    monkeypatch.setattr(key, "equal", True)  # undone first, before the key leaves the json module
    assert host._process_result("person", row, description) == after


def test_versions_latest_is_read_at_every_call(monkeypatch):
    class Selector(str, Enum):
        LATEST = "newest"

    host = Recording()
    decode({"name": "a"}, {"name": "TEXT"}, host)
    monkeypatch.setattr(mod, "Versions", Selector)
    decode({"name": "a"}, {"name": "TEXT"}, host)

    class Plain:
        LATEST = "one"

    monkeypatch.setattr(mod, "Versions", Plain)
    decode({"name": "a"}, {"name": "TEXT"}, host)
    Plain.LATEST = "two"
    assert Plain.LATEST == "two"  # the class is looked up again (and versioned again) before the call
    decode({"name": "a"}, {"name": "TEXT"}, host)
    assert [seen[2] for seen in host.seen] == [Versions.LATEST, Selector.LATEST, "one", "two"]


def test_description_changes_between_calls_are_seen():
    description = {"a": "TEXT", "b": "json"}
    row = {"a": "[1]", "b": "[2]"}
    assert decode(row, description) == {"a": "[1]", "b": [2]}
    description["a"] = "json"
    assert decode(row, description) == {"a": [1], "b": [2]}
    del description["b"]
    assert decode(row, description) == {"a": [1]}
    assert decode(row, {"b": "TEXT"}) == {"b": "[2]"}
    assert decode({"b": "[2]", "a": "[1]"}, {"a": "json", "b": "json"}) == {"b": [2], "a": [1]}


def test_row_changes_between_calls_are_seen():
    row = {PK: "o", "name": "x"}
    assert decode(row) == {"name": "x", "_object_id": "o"}
    row[PK] = "p"
    row[SK] = "2"
    assert decode(row) == {"name": "x", "_object_id": "p", "_object_version": "2"}


def test_row_changed_by_a_hook_during_the_call_is_read_again():
    row = {PK: "o", SK: "1", "name": "x"}

    class Changing(Host):
        def _field_reverse_map(self, table_name, field_name, class_version):
            row[PK], row[SK] = "changed", "2"  # values replaced: the row keeps its size
            return field_name

    assert decode(row, host=Changing()) == {"name": "x", "_object_id": "changed", "_object_version": "2"}


def test_hooks_changed_between_calls_are_seen():
    host = Host()
    row = {"name": "x", "tags": "[1]"}
    assert decode(row, host=host) == {"name": "x", "tags": [1]}
    host._process_field = lambda field_type, value: (field_type, value)  # instance attribute
    assert decode(row, host=host) == {"name": ("TEXT", "x"), "tags": ("json", "[1]")}
    del host._process_field
    assert decode(row, host=host) == {"name": "x", "tags": [1]}
    Host._field_reverse_map = lambda self, t, f, v: f.upper()  # class attribute, instance unchanged
    try:
        assert host._field_reverse_map("t", "n", None) == "N"  # looked up (and versioned) again first
        assert decode(row, host=host) == {"NAME": "x", "TAGS": [1]}
    finally:
        del Host._field_reverse_map
    assert decode(row, host=host) == {"name": "x", "tags": [1]}


def test_hooks_changed_within_a_row_are_seen_at_the_next_column():
    class Switching(Host):
        @staticmethod
        def _process_field(field_type, value):
            Switching._field_reverse_map = lambda self, t, f, v: "renamed_" + f
            return Mixin._process_field(field_type, value)

    try:
        assert decode({"a": 1, "b": 2}, {"a": "TEXT", "b": "TEXT"}, Switching()) == {"a": 1, "renamed_b": 2}
    finally:
        Switching._field_reverse_map = Mixin._field_reverse_map


def test_a_hook_may_decode_other_rows():
    class Nested(Host):
        @staticmethod
        def _process_field(field_type, value):
            inner = Host()._process_result("other", {"z": "[9]"}, {"z": "json"})
            return (Mixin._process_field(field_type, value), inner)

    record = decode({"a": "[1]", "b": "x"}, {"a": "json", "b": "TEXT"}, Nested())
    assert record == {"a": ([1], {"z": [9]}), "b": ("x", {"z": [9]})}


def test_renamed_and_colliding_keys():
    class Collide(Host):
        def _field_reverse_map(self, table_name, field_name, class_version):
            return "same"

    assert decode({"a": 1, "b": "[2]"}, {"a": "TEXT", "b": "json"}, Collide()) == {"same": [2]}



# json.loads is Python code: whatever it changes between two columns of one row is seen at the next
# column and after the columns, once earlier calls have let the hooks, the column types and the row's
# reads be remembered.
def _switch_reverse_map(host, row, description):
    type(host)._field_reverse_map = lambda self, t, f, v: "renamed_" + f


def _switch_process_field(host, row, description):
    host._process_field = lambda field_type, value: ("hooked", value)


def _retype_column(host, row, description):
    description["b"] = "TEXT"


def _change_row(host, row, description):
    row[PK], row[SK] = "changed", "2"  # values replaced: the row keeps its size


@pytest.mark.parametrize("change, expected", [
    (_switch_reverse_map, {"a": [1], "renamed_b": [2], "_object_id": "o", "_object_version": "1"}),
    (_switch_process_field, {"a": [1], "b": ("hooked", "[2]"), "_object_id": "o", "_object_version": "1"}),
    (_retype_column, {"a": [1], "b": "[2]", "_object_id": "o", "_object_version": "1"}),
    (_change_row, {"a": [1], "b": [2], "_object_id": "changed", "_object_version": "2"}),
], ids=["reverse map", "process field", "column type", "row"])
def test_changes_made_by_json_loads_within_a_row_are_seen(monkeypatch, change, expected):
    class Local(Host):
        pass

    host = Local()
    row = {PK: "o", SK: "1", "a": "[1]", "b": "[2]"}
    description = {PK: "TEXT", SK: "TEXT", "a": "json", "b": "json"}
    for _ in range(3):
        assert host._process_result("person", row, description) == {"a": [1], "b": [2], "_object_id": "o",
                                                                    "_object_version": "1"}
    real, changed = json.loads, []

    def loads(text):
        if not changed:
            changed.append(text)
            change(host, row, description)
        return real(text)

    monkeypatch.setattr(json, "loads", loads)
    assert host._process_result("person", row, description) == expected
    assert changed == ["[1]"]


# --------------------------------------------------------------------------- the standard json.loads
# While json.loads and its default decoder are the standard ones, the module scans JSON columns without
# their Python frames: each answer must be json.loads's, and each change of what loads depends on must be
# followed at the next call.


def as_json_column(text):
    try:
        return repr(json.loads(text))  # repr: NaN equals itself
    except json.JSONDecodeError:
        return repr(text)  # text that is not JSON stays text


@pytest.mark.parametrize("text", [
    "[1, 2]", ' \t{"a": {"b": null}, "c": [true, false]} \r\n', '"caf\\u00e9 ø \\ud83d\\ude00"', "ø", "NaN",
    "-Infinity", "1e400", "-0.0", "12345678901234567890", '"\\ud800"', "[" * 60 + "]" * 60, "",
    "  ", "[1] x", "[1]]", "\ufeff[1]", "[1,", '{"a" 1}', "nul", '"a\nb"', "[1]\x0b",
], ids=repr)
@pytest.mark.parametrize("call", ["result", "field"])
def test_json_columns_decode_as_json_loads_does(text, call):
    got = decode({"tags": text})["tags"] if call == "result" else Mixin._process_field("json", text)
    assert repr(got) == as_json_column(text)


class Doubling(json.JSONDecoder):
    def decode(self, s, *args):
        return [json.JSONDecoder.raw_decode(self, s)[0]] * 2


def hooked_decoder(monkeypatch):
    monkeypatch.setattr(json, "_default_decoder", json.JSONDecoder(object_hook=lambda d: ("hooked", d)))


def scanner_of_instance(monkeypatch):
    other = json.JSONDecoder(parse_int=lambda s: ("int", s))
    monkeypatch.setattr(json._default_decoder, "scan_once", other.scan_once, raising=False)


def decode_on_class(monkeypatch):
    monkeypatch.setattr(json.JSONDecoder, "decode", Doubling.decode)


def raw_decode_on_instance(monkeypatch):
    monkeypatch.setattr(json._default_decoder, "raw_decode", lambda s, idx=0: (("raw", s), len(s)), raising=False)


def decode_code(monkeypatch):
    monkeypatch.setattr(json.JSONDecoder.raw_decode, "__code__", (lambda self, s, idx=0: (("code", s), len(s))).__code__)


def whitespace_of_decode(monkeypatch):
    import re
    monkeypatch.setattr(json.JSONDecoder.decode, "__defaults__", (re.compile("x*").match,))  # no whitespace


def keyword_default(monkeypatch):
    monkeypatch.setitem(json.loads.__kwdefaults__, "cls", Doubling)


def len_of_decode(monkeypatch):
    import json.decoder
    monkeypatch.setattr(json.decoder, "len", lambda s: -1, raising=False)


def str_of_loads(monkeypatch):
    monkeypatch.setattr(json, "str", bytes, raising=False)


@pytest.mark.parametrize("change, text, expected", [
    (hooked_decoder, '{"a": 1}', ("hooked", {"a": 1})),
    (scanner_of_instance, "[7]", [("int", "7")]),
    (decode_on_class, "[1]", [[1], [1]]),
    (raw_decode_on_instance, "[1]", ("raw", "[1]")),
    (decode_code, "[1]", ("code", "[1]")),
    (whitespace_of_decode, " [1]", " [1]"),  # "Expecting value": the text stays text
    (keyword_default, "[1]", [[1], [1]]),
    (len_of_decode, "[1]", "[1]"),  # "Extra data": the text stays text
    (str_of_loads, "[1]", None),  # loads refuses a str that is not bytes: TypeError
])
def test_changes_of_the_standard_json_loads_are_followed(monkeypatch, change, text, expected):
    assert repr(decode({"tags": text})["tags"]) == as_json_column(text)  # the standard path, remembered
    change(monkeypatch)
    if expected is None:
        with pytest.raises(TypeError):
            decode({"tags": text})
    else:
        assert decode({"tags": text})["tags"] == expected
    monkeypatch.undo()
    assert repr(decode({"tags": text})["tags"]) == as_json_column(text)


def deepest_nesting(ok):
    """The deepest nesting of arrays that `ok` decodes before a RecursionError."""
    def fits(depth):
        try:
            ok("[" * depth + "]" * depth)
            return True
        except RecursionError:
            return False
    low, high = 1, 2
    while fits(high):
        low, high = high, high * 2
    while high - low > 1:
        middle = (low + high) // 2
        low, high = (middle, high) if fits(middle) else (low, middle)
    return low


def test_json_decoded_without_the_frames_of_loads_nests_as_deep_as_with_them(monkeypatch):
    # The decoder's own depth checks must see the frames of loads as if they had run: as deep, not deeper.
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(400)
    try:
        decode_field = functools.partial(Mixin._process_field, "json")
        without_frames = deepest_nesting(decode_field)
        monkeypatch.setitem(vars(json), 12345, "a key that is no name: the standard path is not taken")
        with_frames = deepest_nesting(decode_field)
    finally:
        sys.setrecursionlimit(limit)
    assert without_frames == with_frames


@pytest.mark.parametrize("text", ["[7]", "[7] x", "[7, x"])
def test_a_scanner_with_hooks_runs_them_once_per_decode(monkeypatch, text):
    seen = []
    other = json.JSONDecoder(parse_int=lambda s: seen.append(s) or int(s))
    monkeypatch.setattr(json._default_decoder, "scan_once", other.scan_once, raising=False)
    decode({"tags": text})
    assert seen == ["7"]
