"""``sql DB "SELECT ..." [--param V ...]``: one statement of the user's, run on a read-only
connection, its rows in any output format."""

from __future__ import annotations

import argparse
import sqlite3
from typing import Any, Dict, Iterator, List, Set, TextIO

from quarna_data.cli.arguments import parse_value
from quarna_data.cli.database import open_database
from quarna_data.cli.errors import UserError
from quarna_data.cli.formats import FORMATS, write_records


def add_parser(subparsers: Any) -> None:
    """Adds ``sql`` to the subcommands."""
    sql = subparsers.add_parser(
        "sql", help="run one read-only SQL statement",
        description="Run one SQL statement on the database opened read only; statements that would "
                    "change it, attach another database or set a pragma are refused. Values are "
                    "returned as SQLite holds them (JSON columns as their text).")
    sql.add_argument("db", help="SQLite file")
    sql.add_argument("statement", metavar="SQL", help='the statement, with ? for each --param, for '
                                                      'example "SELECT name FROM person WHERE age > ?"')
    sql.add_argument("--param", action="append", metavar="V", default=[],
                     help="a value for the next ?; read as JSON when it parses (42, true, null, \"42\"), "
                          "else as text; a JSON list or object is bound as its text; repeatable")
    sql.add_argument("--format", choices=FORMATS, default="table", help="output format (default table)")
    sql.set_defaults(run=run)


def bound(text: str) -> Any:
    """A --param as the value bound to its ``?``."""
    value = parse_value(text)
    return text if isinstance(value, (list, dict)) else value


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """Runs the statement and writes its rows as they are fetched."""
    from quarna_data.connections.errors import QuarnaConnectionError

    with open_database(args.db, "ro") as conn:
        try:
            cursor = conn.read_only_query(args.statement, [bound(p) for p in args.param])
        except QuarnaConnectionError as error:
            raise UserError(f"the statement was {error}") from None
        except (sqlite3.Error, ValueError) as error:  # ValueError: text with a NUL or lone surrogate
            raise UserError(f"the database refused the statement: {error}") from None
        if cursor.description is None:
            return 0  # a statement that returns no rows (a bare PRAGMA, BEGIN)
        columns = _unique([column[0] for column in cursor.description])

        def records() -> Iterator[Dict[str, Any]]:
            for row in cursor:
                yield dict(zip(columns, row))

        try:
            write_records(records(), out, args.format, columns)
        except sqlite3.Error as error:
            raise UserError(f"the database refused the statement: {error}") from None
        return 0


def _unique(names: List[str]) -> List[str]:
    """Column names of a result as record keys: a name given again gets a number (``id``, ``id_2``)."""
    taken: Set[str] = set()
    unique = []
    for name in names:
        key, number = name, 1
        while key in taken:
            number += 1
            key = f"{name}_{number}"
        taken.add(key)
        unique.append(key)
    return unique
