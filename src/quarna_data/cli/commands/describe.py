"""``describe DB TABLE``: the columns of a table and what it holds."""

from __future__ import annotations

import argparse
from typing import Any, TextIO

from quarna_data.cli.database import open_database
from quarna_data.cli.formats import write_table


def add_parser(subparsers: Any) -> None:
    """Adds ``describe`` to the subcommands."""
    describe = subparsers.add_parser("describe", help="show the columns of a table")
    describe.add_argument("db", help="SQLite file")
    describe.add_argument("table", help="table to describe")
    describe.set_defaults(run=run)


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """Prints the columns of the table and what it holds."""
    from quarna_data.connections.sqlite import latest_only
    from quarna_data.connections.sqlite.schema import quote_identifier

    with open_database(args.db, "ro") as conn:
        info = conn.table_info(args.table)
        rows = [{"column": name, "type": kind} for name, kind in info.description.items()]
        print(f"table {args.table}", file=out)
        write_table(iter(rows), out, ["column", "type"], footer=False)
        print(f"rows: {conn.count(args.table)}", file=out)
        if info.model and not info.internal:
            objects = conn.execute(f"SELECT count(DISTINCT partition_key) FROM {quote_identifier(args.table)}").fetchone()[0]
            latest = conn.count(args.table, latest_only())
            print(f"model table: {objects} objects, {latest} latest versions", file=out)
        return 0
