"""``history DB TABLE ID``: every version of an object, oldest first, with when and in which
transaction it was written."""

from __future__ import annotations

import argparse
import datetime
from typing import Any, Dict, Iterable, Iterator, TextIO

from quarna_data.cli.database import open_database
from quarna_data.cli.formats import FORMATS, write_records


def add_parser(subparsers: Any) -> None:
    """Adds ``history`` to the subcommands."""
    history = subparsers.add_parser(
        "history", help="list every version of an object",
        description="List every version of an object, oldest first. The table format shows each "
                    "version's time (UTC) and transaction before its fields; the other formats give "
                    "whole records, the version record under _metadata.")
    history.add_argument("db", help="SQLite file")
    history.add_argument("table", help="model table")
    history.add_argument("id", help="the object id")
    history.add_argument("--format", choices=FORMATS, default="table", help="output format (default table)")
    history.set_defaults(run=run)


def _when(seconds: Any) -> Any:
    try:
        return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%SZ")
    except (TypeError, ValueError, OverflowError, OSError):
        return seconds


def _rows(records: Iterable[Dict[str, Any]]) -> Iterator[Dict[str, Any]]:
    for record in records:
        meta = record.pop("_metadata", None) or {}
        transaction = meta.get("transaction")
        row = {"_object_version": record.pop("_object_version", None), "created_at": _when(meta.get("created_at")),
               "transaction": transaction.get("id") if isinstance(transaction, dict) else transaction}
        record.pop("_object_id", None)
        row.update(record)
        yield row


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """Prints every version of the object, oldest first."""
    with open_database(args.db, "ro") as conn:
        records = conn.history(args.table, args.id)
        if args.format == "table":
            print(f"object {args.id} of {args.table}: {len(records)} version{'s' if len(records) != 1 else ''}",
                  file=out)
            write_records(_rows(records), out, "table")
        else:
            write_records(iter(records), out, args.format)
        return 0
