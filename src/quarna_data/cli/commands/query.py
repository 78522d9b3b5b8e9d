"""``query DB TABLE``: records read with filters (``--where FIELD__LOOKUP=VALUE``), ordering,
pagination, field selection, the metadata join and counting, as a table, JSON, JSON lines, CSV or TSV,
written as they are fetched; ``--explain`` prints the statement and runs nothing."""

from __future__ import annotations

import argparse
import json
import sqlite3
from typing import Any, TextIO

from quarna_data.cli.arguments import parse_time, parse_where, split_fields
from quarna_data.cli.database import open_database
from quarna_data.cli.errors import UserError
from quarna_data.cli.formats import FORMATS, TABLE_WINDOW, format_statement, write_records

LOOKUP_EXAMPLES = {
    "eq": "name=Ann  (the same as name__eq=Ann)",
    "neq": "country__neq=DE",
    "gt": "age__gt=40",
    "gte": "score__gte=12.5",
    "lt": "born__lt=1990-01-01",
    "lte": "age__lte=65",
    "in": "'country__in=[\"DE\",\"FR\"]'  (a JSON list)",
    "contains": "name__contains=ller",
    "icontains": "name__icontains=müller  (any case, any script)",
    "startswith": "name__startswith=Mü",
    "istartswith": "name__istartswith=zoë",
    "endswith": "name__endswith=Zoë",
    "iendswith": "name__iendswith=иванов",
    "isnull": "email__isnull=true",
}

QUERY_EPILOG = """\
lookups (--where FIELD__LOOKUP=VALUE; VALUE is read as JSON when it parses, else as text):
{lookups}

fields:
  a column (age), a path into a JSON column (home__city for the key city of home),
  on a model table also _object_id, _object_version, the version selectors
  _address__object_version=latest|all (any version number with --meta) and,
  with --meta or on the row's own copy, the version record _metadata__KEY
  (for example _metadata__created_at__gte=1700000000)

examples:
  %(prog)s people.sqlite person --meta --where _address__object_version=latest --order -age --limit 10
  %(prog)s people.sqlite person --where name__icontains=müller --only name,country --format csv
  %(prog)s people.sqlite person --distinct country --order country
  %(prog)s people.sqlite person --where home__city=Köln --count
  %(prog)s people.sqlite person --as-of 2024-05-01T12:00:00Z --order -_object_version

versions: _object_version orders as a number; --as-of gives, of every object, the last
version of its chain written at or before the time
"""


def add_parser(subparsers: Any) -> None:
    """Adds ``query`` to the subcommands."""
    lookups = "\n".join(f"  {name:<12} --where {example}" for name, example in LOOKUP_EXAMPLES.items())
    query = subparsers.add_parser("query", help="read records of a table",
                                  description="Read the records of a table; rows are written as they are fetched.",
                                  epilog=QUERY_EPILOG.format(lookups=lookups),
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    query.add_argument("db", help="SQLite file")
    query.add_argument("table", help="table to read")
    query.add_argument("--where", action="append", metavar="FIELD__LOOKUP=VALUE",
                       help="a filter; repeatable (all must hold, or any with --any); see the lookups below")
    query.add_argument("--any", action="store_true", help="match any filter instead of all")
    query.add_argument("--order", action="append", metavar="[-]FIELD",
                       help="order by FIELD (- for descending); repeatable")
    query.add_argument("--limit", type=int, metavar="N", help="return at most N records")
    query.add_argument("--offset", type=int, metavar="N", help="skip the first N records")
    query.add_argument("--only", action="append", metavar="FIELDS",
                       help="fields to return (comma-separated; repeatable)")
    query.add_argument("--distinct", action="append", metavar="FIELDS",
                       help="return the distinct combinations of these fields (and of --only), not rows")
    query.add_argument("--meta", action="store_true",
                       help="join the version records: their fields become filters and a _metadata column")
    query.add_argument("--as-of", metavar="TIME",
                       help="read, of every object, the version that was the latest at TIME (ISO 8601 with a "
                            "time zone, 2024-05-01T12:00:00Z, or seconds since the epoch); filters, ordering "
                            "and paging apply to those versions")
    query.add_argument("--count", action="store_true", help="print the number of matching rows")
    query.add_argument("--explain", action="store_true", help="print the statement and its parameters only")
    query.add_argument("--format", choices=FORMATS, default="table",
                       help="output format: an aligned table (columns sized by the first "
                            f"{TABLE_WINDOW} records), a JSON list, JSON lines, CSV or TSV (default table)")
    query.set_defaults(run=run)


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """Runs the read (or prints its statement) and writes the records as they are fetched."""
    from quarna_data.connections.sqlite import order
    from quarna_data.connections.sqlite.schema import ALIASES, METADATA_COLUMN
    from quarna_utils.query.utils import ConnectorEnum, Q

    as_of = parse_time(args.as_of) if args.as_of is not None else None
    with open_database(args.db, "ro") as conn:
        info = conn.table_info(args.table)
        filters = [parse_where(w, conn, info.description) for w in args.where or ()]
        connector = ConnectorEnum.OR if args.any else ConnectorEnum.AND
        conditions = Q(*filters, _connector=connector) if filters else None
        if args.count:
            sql, params = conn.count_statement(args.table, conditions, meta=args.meta, as_of=as_of)
            if args.explain:
                print(format_statement(sql, params), file=out)
                return 0
            number = conn.execute(sql, params).fetchone()[0]
            print(json.dumps({"count": number}) if args.format in ("json", "ndjson") else number, file=out)
            return 0
        only, distinct = split_fields(args.only), split_fields(args.distinct)
        shown = None
        if only and not distinct and info.model and not info.internal:
            # Records of a model table keep saying which object and version they are.
            shown = list(ALIASES) + [f for f in only if f not in ALIASES and f not in ALIASES.values()]
            only = only + list(ALIASES)
        read = dict(conditions=conditions, only=only, distinct=distinct,
                    order_by=[order(field) for field in args.order or ()],
                    limit=args.limit, offset=args.offset, meta=args.meta, as_of=as_of)
        if args.explain:
            print(format_statement(*conn.select_statement(args.table, **read)), file=out)
            return 0
        # The version record a model row keeps is shown with --meta (joined) or when asked for.
        exclude = () if args.meta or METADATA_COLUMN in only + distinct else (METADATA_COLUMN,)
        try:
            write_records(conn.iter_select(args.table, **read, exclude=exclude), out, args.format, shown)
        except sqlite3.Error as error:
            raise UserError(f"the database refused the statement: {error}") from None
        return 0
