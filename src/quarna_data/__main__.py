"""Command-line entry point: ``python -m quarna_data demo``."""

import argparse
import sqlite3
import sys
from contextlib import closing
from pathlib import Path

DEMO_TABLE = "person"
DEMO_ROWS = [
    {"partition_key": "p-1", "range_key": "1", "name": "Ada", "age": 36},
    {"partition_key": "p-2", "range_key": "1", "name": "Brian", "age": 17},
    {"partition_key": "p-3", "range_key": "1", "name": "Chloé", "age": 52},
]


def demo(database: Path) -> int:
    from quarna_data.connections.implementations.mixins.sqlite_statements_mixin import (
        SqliteStatementsMixin,
    )

    mixin = SqliteStatementsMixin()
    with closing(sqlite3.connect(database)) as conn, conn:
        # Start from a fresh table so the demo can be run again on the same file.
        conn.execute(f"DROP TABLE IF EXISTS {DEMO_TABLE}")
        conn.execute(
            f"CREATE TABLE {DEMO_TABLE} "
            "(partition_key TEXT, range_key TEXT, name TEXT, age INTEGER, "
            "PRIMARY KEY (partition_key, range_key))"
        )
        for row in DEMO_ROWS:
            sql, params = mixin._build_insert_statement(DEMO_TABLE, row)
            print(sql)
            print("    parameters:", params)
            conn.execute(sql, params)
        count = conn.execute(f"SELECT count(*) FROM {DEMO_TABLE}").fetchone()[0]
    print(f"{database}: {count} rows in {DEMO_TABLE}")
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quarna_data")
    sub = parser.add_subparsers(dest="command", required=True)
    p_demo = sub.add_parser("demo", help="write a few rows into a SQLite file and show the statements")
    p_demo.add_argument("--database", type=Path, default=Path("quarna_demo.sqlite"))
    args = parser.parse_args(argv)
    if args.command == "demo":
        return demo(args.database)
    return 2


if __name__ == "__main__":
    sys.exit(main())
