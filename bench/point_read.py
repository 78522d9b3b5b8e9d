"""Reading one versioned object, in microseconds per call.

Run through bench/point_read, which makes the venv (quarna-data and sqlite-utils side by side, on
the same interpreter and the same SQLite library) and then calls this script.

The database is generated once per size in the work directory and reused: a model table
``person`` of N objects (default 100,000) with 1 to 5 versions each, saved in five rounds (round
k writes version k of every object that has k versions or more, at the time T0 + 100 k), and a
plain table ``person_plain`` holding the same rows keyed by (partition_key, range_key), for
sqlite-utils.

For every read the ids are drawn once (seeded) and every contender reads the same ones:

- ``get`` through the host (latest, a given version, ``as_of``), when the host has it ("n/a"
  otherwise);
- the equivalent ``select`` (``Q(_object_id=...) & latest_only()``; ``_object_version=...``;
  ``_metadata__created_at__lte=... `` newest first, limit 1), with and without ``meta``;
- raw ``sqlite3`` executing the statement that select runs (``select_statement``) with the same
  parameters and fetching the row;
- sqlite-utils' ``table.get((object_id, version))`` on the plain table.

Each figure is the best of ``--repeat`` passes over the ids; the ratios are taken within the run.
The answers are checked first: every contender must read the same row.
"""

from __future__ import annotations

import argparse
import inspect
import json
import os
import platform
import random
import sqlite3
import sys
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

T0 = 1_700_000_000
COLUMNS = {"name": "TEXT", "age": "INTEGER", "city": "TEXT", "score": "REAL", "data": "json",
           "tags": "json"}
GENERATOR = 1  # bump when the generated data changes


def fields(rnd: random.Random, i: int, version: int) -> Dict[str, Any]:
    return {
        "name": f"{('Nina', 'Bob', 'Lise', 'Carl', 'Dora', 'Eve')[i % 6]} {i}",
        "age": rnd.randint(5, 90),
        "city": rnd.choice(["Oslo", "Bergen", "Molde", "Tromsø"]),
        "score": rnd.uniform(0, 100),
        "data": {"address": {"zip": f"{rnd.randint(0, 9999):04d}"}, "version": version},
        "tags": [f"t{i % 7}", f"t{version}"],
    }


def object_id(i: int) -> str:
    return f"obj-{i:06d}"


def generate(path: str, n: int, seed: int) -> None:
    from quarna_data.connections.sqlite import SqliteConnection

    rnd = random.Random(seed)
    counts = [rnd.randint(1, 5) for _ in range(n)]
    now = [T0]
    tmp = path + ".part"
    if os.path.exists(tmp):
        os.remove(tmp)
    conn = SqliteConnection(tmp, clock=lambda: now[0])
    conn.create_model_table("person", COLUMNS)
    for k in range(1, 6):
        now[0] = T0 + 100 * k
        objects = ((object_id(i), fields(rnd, i, k)) for i in range(n) if counts[i] >= k)
        written = conn.bulk_save("person", objects)
        print(f"point_read: round {k}: {len(written):,} versions", file=sys.stderr)
    conn.close()
    db = sqlite3.connect(tmp)
    cols = ", ".join(f'"{c}"' for c in ["partition_key", "range_key", *COLUMNS, "_metadata"])
    db.execute(f"CREATE TABLE person_plain (partition_key TEXT NOT NULL, range_key TEXT NOT NULL, "
               + ", ".join(f'"{c}" {t}' for c, t in COLUMNS.items())
               + ", _metadata TEXT, PRIMARY KEY (partition_key, range_key))")
    db.execute(f"INSERT INTO person_plain ({cols}) SELECT {cols} FROM person")
    db.execute("CREATE TABLE point_read_counts (object_id TEXT PRIMARY KEY, versions INTEGER)")
    db.executemany("INSERT INTO point_read_counts VALUES (?, ?)",
                   ((object_id(i), c) for i, c in enumerate(counts)))
    db.commit()
    db.execute("VACUUM")
    db.close()
    os.replace(tmp, path)


def best_per_call(fn: Callable[[Any], Any], items: Sequence[Any], repeat: int) -> float:
    """µs per call, the best of `repeat` passes over the items."""
    return best_of_each([(fn, items)], repeat)[0]


def best_of_each(contenders: Sequence[Tuple[Callable[[Any], Any], Sequence[Any]]], repeat: int) -> List[float]:
    """µs per call of each contender, the best of `repeat` passes over its items; the passes take
    turns, so that a busy spell of a shared machine falls on all of them alike."""
    best = [float("inf")] * len(contenders)
    for _ in range(repeat):
        for k, (fn, items) in enumerate(contenders):
            start = time.perf_counter()
            for item in items:
                fn(item)
            best[k] = min(best[k], time.perf_counter() - start)
    return [b / len(items) * 1e6 for b, (_, items) in zip(best, contenders)]


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--objects", type=int, default=100_000)
    ap.add_argument("--ids", type=int, default=2000, help="distinct reads per pass")
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--seed", type=int, default=23)
    ap.add_argument("--workdir", default="/tmp/quarna-point-read")
    ap.add_argument("--out", help="JSON result file (default bench/point_read[-3.X].json)")
    args = ap.parse_args(argv)

    from quarna_data.connections.sqlite import SqliteConnection, latest_only, order
    from quarna_utils.query.utils import Q
    import sqlite_utils

    os.makedirs(args.workdir, exist_ok=True)
    path = os.path.join(args.workdir, f"point-read-{args.objects}-{args.seed}-g{GENERATOR}.db")
    if not os.path.exists(path):
        print(f"point_read: generating {path}", file=sys.stderr)
        generate(path, args.objects, args.seed)

    conn = SqliteConnection(path, mode="ro")
    raw = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    plain = sqlite_utils.Database(sqlite3.connect(f"file:{path}?mode=ro", uri=True))["person_plain"]
    counts = dict(raw.execute("SELECT object_id, versions FROM point_read_counts"))

    rnd = random.Random(args.seed + 1)
    ids = [object_id(rnd.randrange(args.objects)) for _ in range(args.ids)]
    latest = [(oid, str(counts[oid])) for oid in ids]
    given = [(oid, str(rnd.randint(1, counts[oid]))) for oid in ids]
    as_of_rounds = [rnd.randint(1, 5) for _ in ids]
    as_of = [(oid, T0 + 100 * k + 50, str(min(k, counts[oid]))) for oid, k in zip(ids, as_of_rounds)]

    get = getattr(conn, "get", None)
    get_takes_meta = get is not None and "meta" in inspect.signature(get).parameters

    # Each read: (name, items, the version each item must read, host callables by label,
    # select arguments of an item for the raw statement).
    def select_latest(oid: str, meta: bool):
        return conn.select("person", Q(_object_id=oid) & latest_only(), meta=meta)

    def select_version(oid: str, version: str, meta: bool):
        return conn.select("person", Q(_object_id=oid, _object_version=version), meta=meta)

    newest_first = [order("-_metadata__created_at")]

    def select_as_of(oid: str, t: int, meta: bool):
        return conn.select("person", Q(_object_id=oid, _metadata__created_at__lte=t), order_by=newest_first,
                           limit=1, meta=meta)

    def statement_latest(oid: str, meta: bool):
        return conn.select_statement("person", Q(_object_id=oid) & latest_only(), meta=meta)

    def statement_version(oid: str, version: str, meta: bool):
        return conn.select_statement("person", Q(_object_id=oid, _object_version=version), meta=meta)

    def statement_as_of(oid: str, t: int, meta: bool):
        return conn.select_statement("person", Q(_object_id=oid, _metadata__created_at__lte=t),
                                     order_by=newest_first, limit=1, meta=meta)

    reads = [
        ("latest", latest,
         lambda meta: (lambda it: select_latest(it[0], meta)),
         (lambda meta: (lambda it: get("person", it[0], **({"meta": True} if meta else {}))))
         if get else None,
         lambda it, meta: statement_latest(it[0], meta)),
        ("version", given,
         lambda meta: (lambda it: select_version(it[0], it[1], meta)),
         (lambda meta: (lambda it: get("person", it[0], version=it[1], **({"meta": True} if meta else {}))))
         if get else None,
         lambda it, meta: statement_version(it[0], it[1], meta)),
        ("as_of", as_of,
         lambda meta: (lambda it: select_as_of(it[0], it[1], meta)),
         (lambda meta: (lambda it: get("person", it[0], as_of=it[1], **({"meta": True} if meta else {}))))
         if get else None,
         lambda it, meta: statement_as_of(it[0], it[1], meta)),
    ]

    def version_of(found: Any) -> Optional[str]:
        if isinstance(found, list):
            found = found[0] if len(found) == 1 else None
        if not isinstance(found, dict):
            return None
        return found.get("range_key", found.get("_object_version"))

    rows: List[Dict[str, Any]] = []
    problems: List[str] = []
    su_items = [(it[0], it[-1]) for it in latest]
    su = best_per_call(lambda it: plain.get(it), su_items, args.repeat)
    for name, items, select_of, get_of, statement_of in reads:
        want = [it[-1] for it in items]
        for meta in (False, True):
            statements = [statement_of(it, meta) for it in items]
            raw_rows = [raw.execute(sql, params).fetchall() for sql, params in statements]
            host = select_of(meta)
            for it, w, r in zip(items[:50], want, raw_rows):
                got = version_of(host(it))
                if got != w or len(r) != 1:
                    problems.append(f"select {name} meta={meta} {it}: read {got!r}, raw {len(r)} rows, want {w!r}")
                    break
            contenders = [(lambda s: raw.execute(s[0], s[1]).fetchall(), statements), (host, items)]
            if get_of is not None and (not meta or get_takes_meta):
                g = get_of(meta)
                for it, w in zip(items[:50], want):
                    got = version_of(g(it))
                    if got != w:
                        problems.append(f"get {name} meta={meta} {it}: read {got!r}, want {w!r}")
                        break
                contenders.append((g, items))
            t_raw, t_select, *t_gets = best_of_each(contenders, args.repeat)
            t_get = t_gets[0] if t_gets else None
            rows.append({"read": name, "meta": meta, "raw_us": t_raw, "select_us": t_select, "get_us": t_get})

    for (oid, version) in su_items[:50]:
        if plain.get((oid, version))["range_key"] != version:
            problems.append(f"sqlite-utils get {oid}")
            break

    def fmt(v: Optional[float]) -> str:
        return "n/a" if v is None else f"{v:8.1f}"

    def ratio(a: Optional[float], b: float) -> str:
        return "n/a" if a is None else f"{a / b:5.2f}x"

    print(f"CPython {platform.python_version()}, SQLite {sqlite3.sqlite_version}, "
          f"{args.objects:,} objects, {args.ids} ids, best of {args.repeat}")
    print(f"sqlite-utils table.get((id, version)) on the plain table: {su:.1f} µs")
    print(f"{'read':8} {'meta':5} {'raw':>8} {'select':>8} {'get':>8}   {'select/raw':>10} {'get/raw':>8}"
          f" {'select/su':>9} {'get/su':>8}")
    for r in rows:
        print(f"{r['read']:8} {str(r['meta']):5} {fmt(r['raw_us'])} {fmt(r['select_us'])} {fmt(r['get_us'])}   "
              f"{ratio(r['select_us'], r['raw_us']):>10} {ratio(r['get_us'], r['raw_us']):>8} "
              f"{ratio(r['select_us'], su):>9} {ratio(r['get_us'], su):>8}")
    for p in problems:
        print("MISMATCH:", p)

    from provenance import measured_on

    out = args.out or os.path.join(
        HERE, "point_read.json" if sys.version_info[:2] == (3, 10) else f"point_read-3.{sys.version_info[1]}.json")
    with open(out, "w") as f:
        json.dump({**measured_on(), "python": platform.python_version(), "sqlite": sqlite3.sqlite_version,
                   "sqlite_utils": sqlite_utils.__version__ if hasattr(sqlite_utils, "__version__") else None,
                   "objects": args.objects, "ids": args.ids, "repeat": args.repeat,
                   "unit": "microseconds per call, best pass", "sqlite_utils_get_us": su, "reads": rows,
                   "mismatches": problems}, f, indent=1)
        f.write("\n")
    print("saved", out)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
