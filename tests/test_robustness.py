"""Faults that take the interpreter down or corrupt its state: input deeper than the C stack, an
object freed under the module by a key's __del__, running out of memory, an exception chained to
itself. Each case that could crash runs in a child interpreter, so a crash fails the case instead of
ending the run."""
import os
import subprocess
import sys
import textwrap

import pytest
from quarna_utils.query.utils import Q

from quarna_data.connections.implementations.mixins import sqlite_statements_mixin as mod

Mixin = mod.SqliteStatementsMixin
SANITIZED = bool(os.environ.get("QUARNA_SANITIZED"))


def run_child(source, *args, timeout=300):
    return subprocess.run(
        [sys.executable, "-I", "-c", textwrap.dedent(source), *args],
        capture_output=True, text=True, timeout=timeout,
    )


# --------------------------------------------------------------------------- deep input

DEEP = """
    import sqlite3, sys, threading
    from quarna_utils.query.mixin import QueryableMixin
    from quarna_utils.query.utils import ConnectorEnum, Q
    from quarna_data.connections.implementations.mixins.sqlite_statements_mixin import (
        SqliteStatementsMixin as Mixin,
    )

    N = 100_000

    class Host(Mixin):
        def execute(self, sql, params=()):
            return sqlite3.connect(":memory:").execute(sql, params)

    def tree(make):
        q = Q(a=1)
        for _ in range(N):
            q = make(q)
        return q

    class Link(QueryableMixin):
        # Made one level at a time: the interpreter itself (3.13) cannot free a chain of
        # 100,000 linked instances in a small stack.
        def __init__(self, level):
            self.level = level

        def to_query(self, prefix=""):
            return Q(**{prefix + "x": Link(self.level + 1) if self.level < N else 1})

    def chain():
        return Q(x=Link(1))

    def nested(make):
        value = 0
        for _ in range(N):
            value = make(value)
        return value

    CASES = {
        "tree": lambda m: m._get_conditions_statement("t", tree(Q)),
        "negated tree, select": lambda m: m._build_select_statement("t", None, tree(lambda q: ~Q(q, b=2))),
        "or tree, count": lambda m: m._build_count_statement(
            "t", tree(lambda q: Q(q, _connector=ConnectorEnum.OR)), use_internal_meta_tables=True),
        "queryable chain": lambda m: m._get_conditions_statement("t", chain()),
        "nested list": lambda m: m._to_sql_value(nested(lambda v: [v])),
        "nested dict, insert": lambda m: m._build_insert_statement("t", {"c": nested(lambda v: {"k": v})}),
        "nested JSON text": lambda m: m._process_field("json", "[" * N + "]" * N),
    }

    def run():
        try:
            CASES[sys.argv[1]](Host())
            print("no error")
        except RecursionError:
            # The interpreter is still usable, and so is the module.
            assert Host()._get_conditions_statement("t", Q(Q(a=1))) == ("(a = ?)", [1])
            print("RecursionError")

    if sys.argv[2] == "main":
        run()
    else:
        threading.stack_size(1 << 20)
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
"""


@pytest.mark.parametrize("thread", ["main", "1 MiB thread"])
@pytest.mark.parametrize(
    "case",
    ["tree", "negated tree, select", "or tree, count", "queryable chain", "nested list",
     "nested dict, insert", "nested JSON text"],
)
def test_input_100000_deep_raises_recursion_error(case, thread):
    child = run_child(DEEP, case, thread)
    assert (child.returncode, child.stdout.strip()) == (0, "RecursionError"), child.stderr[-3000:]


def test_depth_follows_the_recursion_limit(mixin):
    """The module counts its own levels against sys.getrecursionlimit() (from 3.12 the interpreter
    counts C levels against a fixed limit of its own)."""
    q = Q(a=1)
    for _ in range(300):
        q = Q(q)
    old = sys.getrecursionlimit()
    try:
        sys.setrecursionlimit(200)
        with pytest.raises(RecursionError):
            mixin._get_conditions_statement("t", q)
        sys.setrecursionlimit(2000)
        sql, params = mixin._get_conditions_statement("t", q)
    finally:
        sys.setrecursionlimit(old)
    assert sql == "(" * 300 + "a = ?" + ")" * 300 and params == [1]


def test_values_nested_within_the_stack_are_encoded_in_a_small_thread():
    """Measuring a value before the encoder runs refuses only what the stack cannot hold."""
    child = run_child("""
        import json, threading
        from quarna_data.connections.implementations.mixins.sqlite_statements_mixin import (
            SqliteStatementsMixin as Mixin,
        )
        def run():
            value = cycle = []
            for _ in range(200):
                value = [1, {"k": (value, "[")}]
            assert Mixin()._to_sql_value(value) == json.dumps(value)
            cycle.append(cycle)
            try:
                Mixin()._to_sql_value([cycle])
            except ValueError as e:  # the encoder's own report
                print(e)
        threading.stack_size(1 << 20)
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
    """)
    assert (child.returncode, child.stdout.strip()) == (0, "Circular reference detected"), child.stderr[-3000:]


# --------------------------------------------------------------------------- freed under the module


class Freeing:
    """A key that, once armed, removes itself from `d` when formatted or hashed; its __del__ then
    replaces the entry after it, freeing the value the module is about to take."""

    armed = False

    def __init__(self, d):
        self.d = d

    def _strike(self):
        if Freeing.armed:
            Freeing.armed = False
            del self.d[self]
            self.d["z"] = 0

    def __format__(self, spec):
        self._strike()
        return "k"

    def __hash__(self):
        self._strike()
        return 1

    def __eq__(self, other):
        return self is other

    def __del__(self):
        self.d["b"] = 0


class Formatting(Mixin):
    def _fields_map(self, table_name, field_name, class_version):
        return format(field_name)


@pytest.mark.parametrize(
    "call",
    [
        lambda m, d: m._build_insert_statement("t", d),
        lambda m, d: m._build_delete_statement("t", d),
        lambda m, d: m._build_bulk_delete_statement("t", [d]),
        lambda m, d: m._process_result("t", d, {"b": "text"}),
    ],
    ids=["insert", "delete", "bulk delete", "result"],
)
def test_a_key_released_during_iteration_cannot_free_the_next_value(call):
    d = {}
    k = Freeing(d)
    d[k] = 1
    d["b"] = bytearray(64)
    del k
    Freeing.armed = True
    with pytest.raises(RuntimeError, match="changed .*during iteration"):
        call(Formatting(), d)
    assert Freeing.armed is False


# --------------------------------------------------------------------------- out of memory


@pytest.mark.skipif(SANITIZED, reason="ASan reserves more address space than the limit allows")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_bulk_insert_out_of_memory_raises_memory_error():
    child = run_child("""
        import os, resource
        from quarna_data.connections.implementations.mixins.sqlite_statements_mixin import (
            SqliteStatementsMixin as Mixin,
        )
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (size + (400 << 20), resource.RLIM_INFINITY))
        rows = [{"a": 1, "b": 2}] * 20_000_000
        try:
            Mixin()._build_bulk_insert_statement("t", rows)
        except MemoryError:
            rows = None
            print(Mixin()._build_bulk_insert_statement("t", [{"a": 1}])[0])
    """)
    assert (child.returncode, child.stdout.strip()) == (0, "INSERT INTO `t` (`a`) VALUES (?)"), child.stderr[-3000:]


# --------------------------------------------------------------------------- exception chaining


def test_an_exception_raised_again_while_handled_is_not_its_own_context(monkeypatch):
    """`except json.JSONDecodeError` whose evaluation raises the very exception being handled."""
    error = ValueError("both")

    class Json:
        def loads(self, value):
            raise error

        @property
        def JSONDecodeError(self):
            raise error

    monkeypatch.setattr(mod, "json", Json())
    with pytest.raises(ValueError) as info:
        Mixin()._process_field("json", "x")
    assert info.value is error and error.__context__ is None
