"""``tables DB``: the tables of a database, their kind and number of rows."""

from __future__ import annotations

import argparse
from typing import Any, TextIO

from quarna_data.cli.database import open_database
from quarna_data.cli.formats import FORMATS, write_records


def add_parser(subparsers: Any) -> None:
    """Adds ``tables`` to the subcommands."""
    tables = subparsers.add_parser("tables", help="list the tables of a database")
    tables.add_argument("db", help="SQLite file")
    tables.add_argument("--format", choices=FORMATS, default="table", help="output format (default table)")
    tables.set_defaults(run=run)


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """Prints the tables with their kind, rows and columns."""
    from quarna_data.connections.sqlite.schema import quote_identifier

    with open_database(args.db, "ro") as conn:
        rows = []
        for name in conn.tables():
            info = conn.table_info(name)
            kind = "internal" if info.internal else "model" if info.model else "plain"
            number = conn.execute(f"SELECT count(*) FROM {quote_identifier(name)}").fetchone()[0]
            rows.append({"table": name, "kind": kind, "rows": number, "columns": len(info.description)})
        if args.format == "table" and not rows:
            out.write("(no tables)\n")
        else:
            write_records(iter(rows), out, args.format, ["table", "kind", "rows", "columns"])
        return 0
