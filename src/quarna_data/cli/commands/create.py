"""``create DB TABLE NAME:TYPE ...``: a model table (or with ``--plain`` a plain one), creating the
database file when it is missing."""

from __future__ import annotations

import argparse
from typing import Any, TextIO, Tuple

from quarna_data.cli.arguments import split_fields
from quarna_data.cli.database import open_database
from quarna_data.cli.errors import UserError


def add_parser(subparsers: Any) -> None:
    """Adds ``create`` to the subcommands."""
    create = subparsers.add_parser("create", help="create a model table (or a plain one) in a database",
                                   description="Create a table; the database file is created when missing.")
    create.add_argument("db", help="SQLite file (created when missing)")
    create.add_argument("table", help="name of the new table")
    create.add_argument("columns", nargs="+", metavar="NAME:TYPE",
                        help="a column and its type, one of text, integer, real, numeric, boolean, json, blob, "
                             "bytea (for example name:text age:integer address:json)")
    create.add_argument("--plain", action="store_true",
                        help="a plain table of these columns only, not a model table of versioned objects")
    create.add_argument("--key", action="append", metavar="COLUMNS",
                        help="primary key column(s) of a plain table (comma-separated)")
    create.set_defaults(run=run)


def parse_column(text: str) -> Tuple[str, str]:
    """``NAME:TYPE`` as (name, type)."""
    name, sep, kind = text.partition(":")
    if not sep or not name or not kind:
        raise UserError(f"column {text!r}: expected NAME:TYPE, for example age:integer")
    return name, kind


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """Creates the table (and the file when it is missing) and says what was created."""
    columns = dict(parse_column(text) for text in args.columns)
    if len(columns) != len(args.columns):
        raise UserError("a column is named twice")
    key = split_fields(args.key)
    if key and not args.plain:
        raise UserError("--key is for plain tables; a model table is keyed by object id and version")
    with open_database(args.db, "rwc") as conn:
        if args.plain:
            conn.create_table(args.table, columns, primary_key=key)
        else:
            conn.create_model_table(args.table, columns)
        kind = "plain table" if args.plain else "model table"
        listed = ", ".join(f"{name} {kind_}" for name, kind_ in conn.describe(args.table).items())
        print(f"created {kind} {args.table} ({listed}) in {args.db}", file=out)
        return 0
