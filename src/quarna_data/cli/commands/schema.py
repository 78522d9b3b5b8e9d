"""``schema DB [TABLE]``: the SQL that creates the database, or one table with its indexes and
triggers."""

from __future__ import annotations

import argparse
from typing import Any, TextIO

from quarna_data.cli.database import open_database


def add_parser(subparsers: Any) -> None:
    """Adds ``schema`` to the subcommands."""
    schema = subparsers.add_parser("schema", help="print the SQL that creates the database or a table",
                                   description="Print the CREATE statements of the database (tables, then "
                                               "indexes, triggers and views), or of one table with its "
                                               "indexes and triggers.")
    schema.add_argument("db", help="SQLite file")
    schema.add_argument("table", nargs="?", help="the table (default: every table)")
    schema.set_defaults(run=run)


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """Prints the statements, each ending with ``;``."""
    with open_database(args.db, "ro") as conn:
        for statement in conn.ddl(args.table):
            out.write(statement.strip() + ";\n")
        return 0
