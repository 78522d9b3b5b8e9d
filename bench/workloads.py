"""Workloads and contenders of the benchmark, shared by bench.py, memory.py and callgrind_ops.py.

Every contender gets the same inputs (the constants below) and builds the same statement with its
own API. A workload of a contender is a pair of functions:

- ``make()``: creates the fresh query objects of one operation (for this module the Q/Filter/
  OrderBy/NumberPaginator/QuerySpecifier objects, for a peer its statement construct);
- ``build(objs)``: builds the statement pair ``(sql text, parameters)`` from them.

bench.py times ``build`` over objects made beforehand, one fresh set per operation ("build"), and
``build(make())`` ("construct + build").
"""

from __future__ import annotations

import json
import random
import sqlite3
from typing import Any, Callable, Dict, Optional, Tuple

WORKLOADS = ("W1", "W2", "W3", "W4", "W5", "W6")
DESCRIPTIONS = {
    "W1": "INSERT, 1 row x 8 columns",
    "W2": "bulk INSERT, 1,000 rows x 8 columns",
    "W3": "typical read: 2 leaves, AND, limit 10, metadata join",
    "W4": "12 leaves, 3 groups, NOT, IN(20), 2 JSON paths, ORDER BY 2, limit+offset, metadata join",
    "W5": "COUNT, 3-leaf condition",
    "W6": "decode 1,000 fetched rows x 6 columns (2 JSON) via _process_result",
}

TABLE = "person"

# --------------------------------------------------------------------------------------------
# Inputs

# The table every workload reads or writes (also created in the check database).
PERSON_COLUMNS = [
    ("partition_key", "TEXT"),
    ("range_key", "TEXT"),
    ("name", "TEXT"),
    ("age", "INTEGER"),
    ("city", "TEXT"),
    ("kind", "INTEGER"),
    ("score", "REAL"),
    ("email", "TEXT"),
    ("deleted", "INTEGER"),
    ("data", "json"),
    ("tags", "json"),
]
METADATA_COLUMNS = [
    ("object_id", "TEXT"),
    ("object_version", "TEXT"),
    ("prior_version", "TEXT"),
    ("address", "json"),
    ("class_schema_reference", "json"),
    ("class_meta_schema_reference", "json"),
    ("class_schema_type", "TEXT"),
    ("is_deleted", "INTEGER"),
    ("created_at", "INTEGER"),
    ("updated_at", "INTEGER"),
    ("transaction", "json"),
]

# W1 / W2: rows of 8 columns (str, str, str, int, str, int, float, str or None).
WRITE_COLUMNS = ["partition_key", "range_key", "name", "age", "city", "kind", "score", "email"]


def _write_row(i: int) -> Dict[str, Any]:
    return {
        "partition_key": f"obj-{i:06d}",
        "range_key": "v1",
        "name": f"Name {i}",
        "age": 18 + i % 60,
        "city": ("Oslo", "Bergen", "Trondheim")[i % 3],
        "kind": i % 30,
        "score": i * 0.25,
        "email": None if i % 4 == 0 else f"user{i}@example.com",
    }


W1_ROW = _write_row(1)
W2_ROWS = [_write_row(i) for i in range(1000)]

# W3: the typical read of the module's documentation.
W3_FIELDS = ["name", "age"]
W3_AGE_GT = 18
W3_NAME_PREFIX = "A"
W3_LIMIT = 10

# W4: a bigger tree (12 leaves; two groups, one nested in the other, and a negated group).
W4_AGE_GTE = 18
W4_AGE_LT = 65
W4_KINDS = list(range(1, 21))
W4_SCORE_GT = 1.5
W4_CITIES = ("Oslo", "Bergen")
W4_ZIP_PREFIX = "01"
W4_JSON_SCORE_GT = 10.5
W4_NAME_CONTAINS = "test"
W4_EMAIL_SUFFIX = "@example.invalid"
W4_DELETED = 1
W4_LIMIT = 20
W4_OFFSET = 40

# W5: COUNT with three leaves.
W5_AGE_GTE = 18
W5_CITY = "Oslo"
W5_NAME_IPREFIX = "a"


# W6: fetched rows of 6 columns, two of them JSON text.
def _fetched_row(i: int) -> Dict[str, Any]:
    return {
        "partition_key": f"obj-{i:06d}",
        "range_key": "v1",
        "name": f"Name {i}",
        "age": 18 + i % 60,
        "data": json.dumps(
            {
                "address": {"city": ("Oslo", "Bergen")[i % 2], "zip": f"{i % 10000:04d}"},
                "score": i * 0.5,
                "active": i % 2 == 0,
            }
        ),
        "tags": json.dumps([f"tag{i % 7}", f"tag{i % 11}", "person"]),
    }


W6_ROWS = [_fetched_row(i) for i in range(1000)]
W6_JSON_COLUMNS = ("data", "tags")


# --------------------------------------------------------------------------------------------
# This module


def module_import():
    from quarna_data.connections.implementations.mixins import sqlite_statements_mixin as mod

    return mod


def create_check_database(n_people: int = 3000) -> sqlite3.Connection:
    """An in-memory database with the person and metadata tables and deterministic rows."""
    db = sqlite3.connect(":memory:")
    cols = ", ".join(f'"{c}" {t}' for c, t in PERSON_COLUMNS)
    db.execute(f"CREATE TABLE person ({cols})")
    mcols = ", ".join(f'"{c}" {t}' for c, t in METADATA_COLUMNS)
    db.execute(f"CREATE TABLE metadata ({mcols})")
    rnd = random.Random(42)
    people, meta = [], []
    for i in range(n_people):
        oid = f"obj-{i:06d}"
        versions = ["v1"] if i % 3 else ["v1", "v2"]
        # Names are unique, so ORDER BY age, name is a total order. Only a few start with A
        # (fewer matching rows than W3's limit, so its rows are the same whatever the plan), a
        # few contain "test".
        first = ("Nina", "Bob", "Lise", "Carl", "Dora", "tester", "Eve")[i % 7]
        name = f"{first} {i}"
        age = rnd.randint(5, 80)
        if i % 500 == 0:
            name, age = f"Arne {i}", 30
        for v_index, v in enumerate(versions):
            data = {
                "address": {"city": rnd.choice(["Oslo", "Bergen", "Molde"]),
                            "zip": f"{rnd.randint(0, 2999):04d}"},
                "score": rnd.uniform(0, 20),
            }
            people.append((
                oid, v, name, age, rnd.choice(["Oslo", "Bergen", "Molde", "Tromsø"]),
                rnd.randint(0, 30), rnd.uniform(0, 5),
                rnd.choice([None, f"u{i}@example.com", f"u{i}@example.invalid"]),
                rnd.choice([0, 0, 0, 1]), json.dumps(data), json.dumps(["a", "b"]),
            ))
            meta.append((
                oid, v, versions[v_index - 1] if v_index else None,
                json.dumps({"object_id": oid, "object_version": v, "class_version": "1"}),
                json.dumps({"name": "Person"}), json.dumps({"name": "Meta"}), "model",
                0, 1700000000 + i, 1700000000 + i, json.dumps({"id": i}),
            ))
    db.executemany(f"INSERT INTO person VALUES ({', '.join('?' * len(PERSON_COLUMNS))})", people)
    db.executemany(f"INSERT INTO metadata VALUES ({', '.join('?' * len(METADATA_COLUMNS))})", meta)
    db.commit()
    return db


def module_connection(db: sqlite3.Connection):
    """A minimal host connection: the mixin plus ``execute`` on a sqlite3 connection."""
    mod = module_import()

    class BenchConnection(mod.SqliteStatementsMixin):
        def __init__(self, database: sqlite3.Connection) -> None:
            self.database = database

        def execute(self, sql: str, params: Any = ()) -> sqlite3.Cursor:
            return self.database.execute(sql, params)

    return BenchConnection(db)


def module_workloads(conn) -> Dict[str, Tuple[Callable, Callable]]:
    from quarna_utils.query.data_models.filter import Filter
    from quarna_utils.query.data_models.order_by import OrderBy
    from quarna_utils.query.data_models.paginator import NumberPaginator
    from quarna_utils.query.data_models.query_specifier import QuerySpecifier
    from quarna_utils.query.enums import Lookup, OrderDirection
    from quarna_utils.query.utils import ConnectorEnum, Q

    insert = conn._build_insert_statement
    bulk_insert = conn._build_bulk_insert_statement
    select = conn._build_select_statement
    count = conn._build_count_statement
    process = conn._process_result
    description = conn._describe_table(TABLE)
    OR = ConnectorEnum.OR

    def w1_make():
        return None

    def w1_build(_):
        return insert(TABLE, W1_ROW)

    def w2_build(_):
        return bulk_insert(TABLE, W2_ROWS)

    def w3_make():
        return (
            QuerySpecifier(only=W3_FIELDS),
            Q(
                Filter(field_name="age", lookup=Lookup.GT, value=W3_AGE_GT),
                Filter(field_name="name", lookup=Lookup.STARTSWITH, value=W3_NAME_PREFIX),
            ),
            NumberPaginator(limit=W3_LIMIT),
        )

    def w3_build(o):
        return select(TABLE, o[0], o[1], o[2], None, use_internal_meta_tables=True)

    def w4_make():
        tree = Q(
            Filter(field_name="age", lookup=Lookup.GTE, value=W4_AGE_GTE),
            Filter(field_name="age", lookup=Lookup.LT, value=W4_AGE_LT),
            Filter(field_name="kind", lookup=Lookup.IN, value=list(W4_KINDS)),
            Filter(field_name="score", lookup=Lookup.GT, value=W4_SCORE_GT),
            Q(
                Filter(field_name="city", lookup=Lookup.EQ, value=W4_CITIES[0]),
                Filter(field_name="city", lookup=Lookup.EQ, value=W4_CITIES[1]),
                Q(
                    Filter(field_name="data__address__zip", lookup=Lookup.STARTSWITH,
                           value=W4_ZIP_PREFIX),
                    Filter(field_name="data__score", lookup=Lookup.GT, value=W4_JSON_SCORE_GT),
                ),
                _connector=OR,
            ),
            Q(
                Filter(field_name="name", lookup=Lookup.CONTAINS, value=W4_NAME_CONTAINS),
                Filter(field_name="email", lookup=Lookup.ENDSWITH, value=W4_EMAIL_SUFFIX),
                Filter(field_name="deleted", lookup=Lookup.EQ, value=W4_DELETED),
                _connector=OR,
                _negated=True,
            ),
            Filter(field_name="name", lookup=Lookup.ISNULL, value=False),
        )
        order = [
            OrderBy(field_name="age", direction=OrderDirection.DESC),
            OrderBy(field_name="name", direction=OrderDirection.ASC),
        ]
        return tree, NumberPaginator(limit=W4_LIMIT, offset=W4_OFFSET), order

    def w4_build(o):
        return select(TABLE, None, o[0], o[1], o[2], use_internal_meta_tables=True)

    def w5_make():
        return Q(
            Filter(field_name="age", lookup=Lookup.GTE, value=W5_AGE_GTE),
            Filter(field_name="city", lookup=Lookup.EQ, value=W5_CITY),
            Filter(field_name="name", lookup=Lookup.ISTARTSWITH, value=W5_NAME_IPREFIX),
        )

    def w5_build(q):
        return count(TABLE, q)

    def w6_build(_):
        return [process(TABLE, row, description) for row in W6_ROWS]

    return {
        "W1": (w1_make, w1_build),
        "W2": (w1_make, w2_build),
        "W3": (w3_make, w3_build),
        "W4": (w4_make, w4_build),
        "W5": (w5_make, w5_build),
        "W6": (w1_make, w6_build),
    }


# --------------------------------------------------------------------------------------------
# The floor: the finished text joined from its pieces and a copy of the parameters.


def floor_workloads() -> Dict[str, Tuple[Callable, Callable]]:
    mod = module_import()
    meta_field = mod.METADATA_SELECT_FIELD
    meta_stmt = mod.METADATA_SELECT_STATEMENT
    loads = json.loads

    def none():
        return None

    # W1
    w1_pieces = ["INSERT INTO `", TABLE, "` ("]
    for i, c in enumerate(W1_ROW):
        w1_pieces += ([", "] if i else []) + ["`", c, "`"]
    w1_pieces += [") VALUES ("]
    for i in range(len(W1_ROW)):
        w1_pieces += ([", "] if i else []) + ["?"]
    w1_pieces += [")"]
    w1_params = list(W1_ROW.values())

    # W2: the column order is the set order, as the builder documents it.
    cols: set = set()
    for row in W2_ROWS:
        cols.update(row.keys())
    w2_cols = list(cols)
    w2_pieces = ["INSERT INTO `", TABLE, "` ("]
    for i, c in enumerate(w2_cols):
        w2_pieces += ([", "] if i else []) + ["`", c, "`"]
    w2_pieces += [") VALUES "]
    group = "(" + ", ".join("?" * len(w2_cols)) + ")"
    for i in range(len(W2_ROWS)):
        w2_pieces += ([", "] if i else []) + [group]
    w2_params = [row.get(c) for row in W2_ROWS for c in w2_cols]

    join = [
        "FROM ", "'", TABLE, "'", " AS ", "t1", " ", "JOIN (", meta_stmt, ") AS ", "t2", " ",
        "ON ", "t1", ".partition_key = ", "t2", ".object_id ",
        "AND ", "t1", ".range_key = ", "t2", ".object_version",
    ]
    # W3
    w3_pieces = ["SELECT ", "t1.", "age", ", ", "t1.", "name", ", ", meta_field, " "] + join + [
        " WHERE ", "t1.'age' > ?", " AND ", "t1.'name' LIKE ?", " LIMIT ? OFFSET ?",
    ]
    w3_params = [W3_AGE_GT, W3_NAME_PREFIX + "%", W3_LIMIT, 0]

    # W4
    w4_where = [
        "t1.'age' >= ?", " AND ", "t1.'age' < ?", " AND ",
        "t1.'kind' IN (", ",".join("?" * len(W4_KINDS)), ")", " AND ", "t1.'score' > ?", " AND ",
        "(", "t1.'city' = ?", " OR ", "t1.'city' = ?", " OR ",
        "(", "cast(json_extract(data, '$.address.zip') as text) LIKE ?", " AND ",
        "cast(json_extract(data, '$.score') as real) > ?", ")", ")", " AND ",
        "NOT (", "(", "t1.'name' LIKE ?", " OR ", "t1.'email' LIKE ?", " OR ", "t1.'deleted' = ?",
        ")", ")", " AND ", "t1.'name' IS NOT NULL",
    ]
    w4_pieces = ["SELECT ", "t1.*", ", ", meta_field, " "] + join + [" WHERE "] + w4_where + [
        " ORDER BY ", "age", " DESC", ", ", "name", " ASC", " LIMIT ? OFFSET ?",
    ]
    w4_params = [W4_AGE_GTE, W4_AGE_LT, *W4_KINDS, W4_SCORE_GT, W4_CITIES[0], W4_CITIES[1],
                 W4_ZIP_PREFIX + "%", W4_JSON_SCORE_GT, "%" + W4_NAME_CONTAINS + "%",
                 "%" + W4_EMAIL_SUFFIX, W4_DELETED, W4_LIMIT, W4_OFFSET]

    # W5
    w5_pieces = ["SELECT ", "COUNT(*)", " FROM ", "'", TABLE, "'", " WHERE ", "age >= ?", " AND ",
                 "city = ?", " AND ", "UPPER(name) LIKE ?"]
    w5_params = [W5_AGE_GTE, W5_CITY, W5_NAME_IPREFIX.upper() + "%"]

    def w1(_):
        return "".join(w1_pieces), tuple(w1_params)

    def w2(_):
        return "".join(w2_pieces), tuple(w2_params)

    def w3(_):
        return "".join(w3_pieces), list(w3_params)

    def w4(_):
        return "".join(w4_pieces), list(w4_params)

    def w5(_):
        return "".join(w5_pieces), list(w5_params)

    def w6(_):
        return [(loads(row["data"]), loads(row["tags"])) for row in W6_ROWS]

    return {"W1": (none, w1), "W2": (none, w2), "W3": (none, w3), "W4": (none, w4),
            "W5": (none, w5), "W6": (none, w6)}


# --------------------------------------------------------------------------------------------
# SQLAlchemy Core


def sqlalchemy_workloads(cache: bool) -> Dict[str, Tuple[Callable, Callable]]:
    """SQLAlchemy Core 2.x for the SQLite dialect.

    ``build`` does what ``Connection.execute`` does before it reaches the driver: compile through
    ``_compile_w_cache`` (with the engine's own LRU ``compiled_cache``, or with ``compiled_cache=
    None`` as ``execution_options(compiled_cache=None)`` makes it), construct the parameters
    (``construct_params`` with the statement's extracted parameters), expand post-compile
    parameters (IN lists) and order the values by ``positiontup`` applying bind processors, as
    ``DefaultExecutionContext._init_compiled`` does. Nothing is executed.
    """
    import sqlalchemy as sa
    from sqlalchemy.sql import compiler

    engine = sa.create_engine("sqlite://")
    dialect = engine.dialect
    compiled_cache = engine._compiled_cache if cache else None
    linting = dialect.compiler_linting | compiler.WARN_LINTING

    md = sa.MetaData()
    type_map = {"TEXT": sa.Text, "INTEGER": sa.Integer, "REAL": sa.Float, "json": sa.Text}
    person = sa.Table(TABLE, md, *[sa.Column(c, type_map[t]) for c, t in PERSON_COLUMNS])
    metadata = sa.Table("metadata", md, *[sa.Column(c, type_map[t]) for c, t in METADATA_COLUMNS])

    # Constant parts, built once like the module's constants.
    m, m2 = metadata.alias("_m"), metadata.alias("_m2")
    next_version = (
        sa.select(m2.c.object_version)
        .where(m.c.object_version == m2.c.prior_version, m.c.object_id == m2.c.object_id)
        .limit(1)
        .scalar_subquery()
        .label("next_version")
    )
    t2 = sa.select(m, next_version).subquery("t2")
    t1 = person.alias("t1")
    joined = sa.join(
        t1, t2, sa.and_(t1.c.partition_key == t2.c.object_id, t1.c.range_key == t2.c.object_version)
    )
    key = sa.literal_column
    json_ = sa.func.json
    meta_field = sa.func.json_object(
        key("'next_version'"), t2.c.next_version,
        key("'address'"), json_(t2.c.address),
        key("'object_id'"), t2.c.object_id,
        key("'object_version'"), t2.c.object_version,
        key("'prior_version'"), t2.c.prior_version,
        key("'class_schema_reference'"), json_(t2.c.class_schema_reference),
        key("'class_meta_schema_reference'"), json_(t2.c.class_meta_schema_reference),
        key("'class_schema_type'"), t2.c.class_schema_type,
        key("'is_deleted'"), t2.c.is_deleted,
        key("'created_at'"), t2.c.created_at,
        key("'updated_at'"), t2.c.updated_at,
        key("'transaction'"), json_(t2.c.transaction),
    ).label("_metadata")

    def render(stmt) -> Tuple[str, Any]:
        compiled, extracted, _hit = stmt._compile_w_cache(
            dialect=dialect,
            compiled_cache=compiled_cache,
            column_keys=[],
            for_executemany=False,
            schema_translate_map=None,
            linting=linting,
        )
        params = compiled.construct_params(extracted_parameters=extracted, escape_names=False)
        processors = compiled._bind_processors
        if compiled.literal_execute_params or compiled.post_compile_params:
            expanded = compiled._process_parameters_for_postcompile(params)
            text = expanded.statement
            processors = dict(processors)
            processors.update(expanded.processors)
            positiontup = expanded.positiontup
        else:
            text = compiled.string
            positiontup = compiled.positiontup
        values = [
            processors[k](params[k]) if k in processors else params[k] for k in positiontup
        ]
        return text, dialect.execute_sequence_format(values)

    def w1_make():
        return sa.insert(person).values(W1_ROW)

    def w2_make():
        return sa.insert(person).values(W2_ROWS)

    def w3_make():
        return (
            sa.select(t1.c.age, t1.c.name, meta_field)
            .select_from(joined)
            .where(t1.c.age > W3_AGE_GT, t1.c.name.like(W3_NAME_PREFIX + "%"))
            .limit(W3_LIMIT)
            .offset(0)
        )

    def w4_make():
        zip_ = sa.cast(sa.func.json_extract(t1.c.data, key("'$.address.zip'")), sa.Text)
        score = sa.cast(sa.func.json_extract(t1.c.data, key("'$.score'")), sa.REAL)
        return (
            sa.select(t1, meta_field)
            .select_from(joined)
            .where(
                t1.c.age >= W4_AGE_GTE,
                t1.c.age < W4_AGE_LT,
                t1.c.kind.in_(W4_KINDS),
                t1.c.score > W4_SCORE_GT,
                sa.or_(
                    t1.c.city == W4_CITIES[0],
                    t1.c.city == W4_CITIES[1],
                    sa.and_(zip_.like(W4_ZIP_PREFIX + "%"), score > W4_JSON_SCORE_GT),
                ),
                sa.not_(
                    sa.or_(
                        t1.c.name.like("%" + W4_NAME_CONTAINS + "%"),
                        t1.c.email.like("%" + W4_EMAIL_SUFFIX),
                        t1.c.deleted == W4_DELETED,
                    )
                ),
                t1.c.name.is_not(None),
            )
            .order_by(t1.c.age.desc(), t1.c.name.asc())
            .limit(W4_LIMIT)
            .offset(W4_OFFSET)
        )

    def w5_make():
        return (
            sa.select(sa.func.count())
            .select_from(person)
            .where(
                person.c.age >= W5_AGE_GTE,
                person.c.city == W5_CITY,
                sa.func.upper(person.c.name).like(W5_NAME_IPREFIX.upper() + "%"),
            )
        )

    return {"W1": (w1_make, render), "W2": (w2_make, render), "W3": (w3_make, render),
            "W4": (w4_make, render), "W5": (w5_make, render)}


# --------------------------------------------------------------------------------------------
# PyPika


def pypika_workloads() -> Dict[str, Tuple[Callable, Callable]]:
    """PyPika with its SQLite dialect; values travel as ``Parameter('?')`` placeholders and the
    parameter list is collected next to the query (PyPika's documented way to parameterise)."""
    from pypika import Order, Parameter, SQLLiteQuery, Table
    from pypika import functions as fn
    from pypika.terms import Function, ValueWrapper

    q = Parameter("?")
    person = Table(TABLE)
    t1 = Table(TABLE).as_("t1")
    m, m2 = Table("metadata").as_("_m"), Table("metadata").as_("_m2")
    next_version = (
        SQLLiteQuery.from_(m2)
        .select(m2.object_version)
        .where((m.object_version == m2.prior_version) & (m.object_id == m2.object_id))
        .limit(1)
    )
    t2 = SQLLiteQuery.from_(m).select(m.star, next_version.as_("next_version")).as_("t2")
    on = (t1.partition_key == t2.object_id) & (t1.range_key == t2.object_version)
    w = ValueWrapper
    meta_field = Function(
        "json_object",
        w("next_version"), t2.next_version,
        w("address"), Function("json", t2.address),
        w("object_id"), t2.object_id,
        w("object_version"), t2.object_version,
        w("prior_version"), t2.prior_version,
        w("class_schema_reference"), Function("json", t2.class_schema_reference),
        w("class_meta_schema_reference"), Function("json", t2.class_meta_schema_reference),
        w("class_schema_type"), t2.class_schema_type,
        w("is_deleted"), t2.is_deleted,
        w("created_at"), t2.created_at,
        w("updated_at"), t2.updated_at,
        w("transaction"), Function("json", t2.field("transaction")),
        alias="_metadata",
    )
    row_marks = tuple(q for _ in WRITE_COLUMNS)

    def w1_make():
        return SQLLiteQuery.into(person).columns(*W1_ROW).insert(*(q for _ in W1_ROW))

    def w1_build(query):
        return query.get_sql(), tuple(W1_ROW.values())

    def w2_make():
        return SQLLiteQuery.into(person).columns(*WRITE_COLUMNS).insert(*[row_marks] * len(W2_ROWS))

    def w2_build(query):
        return query.get_sql(), tuple(row[c] for row in W2_ROWS for c in WRITE_COLUMNS)

    def w3_make():
        return (
            SQLLiteQuery.from_(t1)
            .join(t2).on(on)
            .select(t1.age, t1.name, meta_field)
            .where((t1.age > q) & t1.name.like(q))
            .limit(q)
            .offset(q)
        )

    def w3_build(query):
        return query.get_sql(), [W3_AGE_GT, W3_NAME_PREFIX + "%", W3_LIMIT, 0]

    def w4_make():
        zip_ = fn.Cast(Function("json_extract", t1.data, w("$.address.zip")), "text")
        score = fn.Cast(Function("json_extract", t1.data, w("$.score")), "real")
        cond = (
            (t1.age >= q)
            & (t1.age < q)
            & t1.kind.isin([q] * len(W4_KINDS))
            & (t1.score > q)
            & ((t1.city == q) | (t1.city == q) | (zip_.like(q) & (score > q)))
            & (t1.name.like(q) | t1.email.like(q) | (t1.deleted == q)).negate()
            & t1.name.notnull()
        )
        return (
            SQLLiteQuery.from_(t1)
            .join(t2).on(on)
            .select(t1.star, meta_field)
            .where(cond)
            .orderby(t1.age, order=Order.desc)
            .orderby(t1.name, order=Order.asc)
            .limit(q)
            .offset(q)
        )

    def w4_build(query):
        return query.get_sql(), [
            W4_AGE_GTE, W4_AGE_LT, *W4_KINDS, W4_SCORE_GT, W4_CITIES[0], W4_CITIES[1],
            W4_ZIP_PREFIX + "%", W4_JSON_SCORE_GT, "%" + W4_NAME_CONTAINS + "%",
            "%" + W4_EMAIL_SUFFIX, W4_DELETED, W4_LIMIT, W4_OFFSET,
        ]

    def w5_make():
        return (
            SQLLiteQuery.from_(person)
            .select(fn.Count("*"))
            .where((person.age >= q) & (person.city == q) & fn.Upper(person.name).like(q))
        )

    def w5_build(query):
        return query.get_sql(), [W5_AGE_GTE, W5_CITY, W5_NAME_IPREFIX.upper() + "%"]

    return {"W1": (w1_make, w1_build), "W2": (w2_make, w2_build), "W3": (w3_make, w3_build),
            "W4": (w4_make, w4_build), "W5": (w5_make, w5_build)}


# --------------------------------------------------------------------------------------------
# sqlglot


def sqlglot_workloads() -> Dict[str, Tuple[Callable, Callable]]:
    """sqlglot's expression builders (``copy=False``: no defensive copies of the tree), rendered
    with ``sql(dialect="sqlite")``; values are ``exp.Placeholder()`` and the parameter list is
    collected next to the expression. ``json_extract`` is written as an anonymous function:
    sqlglot renders its own JSONExtract as SQLite's ``->``, which returns JSON text, not the
    value."""
    from sqlglot import exp

    ph = exp.Placeholder
    col = exp.column

    def fn(name: str, *args):
        return exp.Anonymous(this=name, expressions=list(args))

    def lit(s: str):
        return exp.Literal.string(s)

    m2_sub = (
        exp.select(col("object_version", "_m2"), copy=False)
        .from_(exp.alias_(exp.to_table("metadata"), "_m2", table=True), copy=False)
        .where(
            exp.and_(
                col("object_version", "_m").eq(col("prior_version", "_m2")),
                col("object_id", "_m").eq(col("object_id", "_m2")),
            ),
            copy=False,
        )
        .limit(1, copy=False)
    )
    t2 = exp.alias_(
        exp.Subquery(
            this=exp.select(
                exp.Column(this=exp.Star(), table=exp.to_identifier("_m")),
                exp.alias_(exp.Subquery(this=m2_sub), "next_version"),
                copy=False,
            ).from_(exp.alias_(exp.to_table("metadata"), "_m", table=True), copy=False)
        ),
        "t2",
        table=True,
    )
    t1_table = exp.alias_(exp.to_table(TABLE), "t1", table=True)
    on = exp.and_(
        col("partition_key", "t1").eq(col("object_id", "t2")),
        col("range_key", "t1").eq(col("object_version", "t2")),
    )
    meta_args = []
    for k in ("next_version", "address", "object_id", "object_version", "prior_version",
              "class_schema_reference", "class_meta_schema_reference", "class_schema_type",
              "is_deleted", "created_at", "updated_at", "transaction"):
        c = col(k, "t2", quoted=k == "transaction")  # a keyword of SQLite
        if k in ("address", "class_schema_reference", "class_meta_schema_reference",
                 "transaction"):
            c = fn("json", c)
        meta_args += [lit(k), c]
    meta_field = exp.alias_(fn("json_object", *meta_args), "_metadata")

    def joined_select(*columns):
        return (
            exp.select(*columns, copy=False)
            .from_(t1_table, copy=False)
            .join(t2, on=on, copy=False)
        )

    def w1_make():
        return exp.insert(
            exp.values([tuple(ph() for _ in W1_ROW)]), TABLE, columns=list(W1_ROW), copy=False
        )

    def w1_build(e):
        return e.sql(dialect="sqlite"), tuple(W1_ROW.values())

    def w2_make():
        return exp.insert(
            exp.values([tuple(ph() for _ in WRITE_COLUMNS) for _ in W2_ROWS]),
            TABLE,
            columns=WRITE_COLUMNS,
            copy=False,
        )

    def w2_build(e):
        return e.sql(dialect="sqlite"), tuple(row[c] for row in W2_ROWS for c in WRITE_COLUMNS)

    def w3_make():
        return (
            joined_select(col("age", "t1"), col("name", "t1"), meta_field)
            .where(exp.and_(col("age", "t1") > ph(), col("name", "t1").like(ph())), copy=False)
            .limit(ph(), copy=False)
            .offset(ph(), copy=False)
        )

    def w3_build(e):
        return e.sql(dialect="sqlite"), [W3_AGE_GT, W3_NAME_PREFIX + "%", W3_LIMIT, 0]

    def w4_make():
        zip_ = exp.cast(fn("json_extract", col("data", "t1"), lit("$.address.zip")), "text")
        score = exp.cast(fn("json_extract", col("data", "t1"), lit("$.score")), "real")
        cond = exp.and_(
            col("age", "t1") >= ph(),
            col("age", "t1") < ph(),
            col("kind", "t1").isin(*[ph() for _ in W4_KINDS]),
            col("score", "t1") > ph(),
            exp.or_(
                col("city", "t1").eq(ph()),
                col("city", "t1").eq(ph()),
                exp.and_(zip_.like(ph()), score > ph()),
            ),
            exp.not_(
                exp.or_(
                    col("name", "t1").like(ph()),
                    col("email", "t1").like(ph()),
                    col("deleted", "t1").eq(ph()),
                )
            ),
            exp.not_(col("name", "t1").is_(exp.null())),
        )
        return (
            joined_select(exp.Column(this=exp.Star(), table=exp.to_identifier("t1")), meta_field)
            .where(cond, copy=False)
            .order_by(
                exp.Ordered(this=col("age", "t1"), desc=True),
                exp.Ordered(this=col("name", "t1"), desc=False),
                copy=False,
            )
            .limit(ph(), copy=False)
            .offset(ph(), copy=False)
        )

    def w4_build(e):
        return e.sql(dialect="sqlite"), [
            W4_AGE_GTE, W4_AGE_LT, *W4_KINDS, W4_SCORE_GT, W4_CITIES[0], W4_CITIES[1],
            W4_ZIP_PREFIX + "%", W4_JSON_SCORE_GT, "%" + W4_NAME_CONTAINS + "%",
            "%" + W4_EMAIL_SUFFIX, W4_DELETED, W4_LIMIT, W4_OFFSET,
        ]

    def w5_make():
        return (
            exp.select(exp.Count(this=exp.Star()), copy=False)
            .from_(TABLE, copy=False)
            .where(
                exp.and_(
                    col("age") >= ph(),
                    col("city").eq(ph()),
                    exp.Upper(this=col("name")).like(ph()),
                ),
                copy=False,
            )
        )

    def w5_build(e):
        return e.sql(dialect="sqlite"), [W5_AGE_GTE, W5_CITY, W5_NAME_IPREFIX.upper() + "%"]

    return {"W1": (w1_make, w1_build), "W2": (w2_make, w2_build), "W3": (w3_make, w3_build),
            "W4": (w4_make, w4_build), "W5": (w5_make, w5_build)}


# --------------------------------------------------------------------------------------------
# Registry

CONTENDERS = ("module", "sqlalchemy_cache", "sqlalchemy_nocache", "pypika", "sqlglot", "floor")
LABELS = {
    "module": "this module",
    "sqlalchemy_cache": "SQLAlchemy Core (cache on)",
    "sqlalchemy_nocache": "SQLAlchemy Core (cache off)",
    "pypika": "PyPika",
    "sqlglot": "sqlglot",
    "floor": "floor (join + copy)",
}


SHORT = {
    "module": "module",
    "sqlalchemy_cache": "SA cache on",
    "sqlalchemy_nocache": "SA cache off",
    "pypika": "PyPika",
    "sqlglot": "sqlglot",
    "floor": "floor",
}


def load_contender(name: str, db: Optional[sqlite3.Connection] = None):
    """The workloads of one contender, or raise ImportError/Exception when it cannot run."""
    if name == "module":
        return module_workloads(module_connection(db or create_check_database(10)))
    if name == "floor":
        return floor_workloads()
    if name == "sqlalchemy_cache":
        return sqlalchemy_workloads(cache=True)
    if name == "sqlalchemy_nocache":
        return sqlalchemy_workloads(cache=False)
    if name == "pypika":
        return pypika_workloads()
    if name == "sqlglot":
        return sqlglot_workloads()
    raise KeyError(name)


def versions() -> Dict[str, str]:
    import platform
    import sys
    from importlib import metadata

    out = {"python": sys.version.split()[0], "implementation": platform.python_implementation(),
           "machine": platform.machine(), "system": platform.platform()}
    for dist in ("quarna-data", "sqlalchemy", "pypika", "sqlglot", "pydantic", "matplotlib"):
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = None
    return out

