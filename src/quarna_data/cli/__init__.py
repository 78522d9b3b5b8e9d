"""The command-line tool: ``quarna-data`` (also ``python -m quarna_data``).

- ``create DB TABLE NAME:TYPE ...``: creates a model table (or with ``--plain`` a plain one),
  creating the database file when it is missing.
- ``tables DB``: the tables of a database, their kind and number of rows.
- ``load DB TABLE FILE``: loads JSON lines (``-`` for standard input), all or nothing, streaming.
- ``query DB TABLE``: reads records with filters (``--where FIELD__LOOKUP=VALUE``), ordering,
  pagination, field selection, the metadata join and counting, as a table, JSON, JSON lines or
  CSV, written as they are fetched; ``--explain`` prints the statement and runs nothing.
- ``describe DB TABLE``: the columns of a table and what it holds.
- ``demo [--db PATH]``: writes sample versioned objects into a fresh SQLite file and runs a
  showcase of reads, printing each statement, its parameters and the records it returns.

Every name given on the command line reaches the statements through the checks of the host
connection, which refuses unknown tables and fields with the list of valid ones. Bad input ends
with a one-line message on standard error and exit status 1 (2 for usage errors); with
``QUARNA_DEBUG=1`` in the environment the message follows the traceback it stands for.

The package: ``main`` (the parser and the entry point), ``commands`` (one module a command),
``formats`` (the output formats), ``progress`` and ``lines`` (the progress display and the reader of
JSON lines, usable on their own), ``arguments`` and ``database`` (what the commands share).
"""

from quarna_data.cli.errors import UserError
from quarna_data.cli.formats import FORMATS, write_records
from quarna_data.cli.lines import LoadSource
from quarna_data.cli.main import main, make_parser
from quarna_data.cli.progress import Progress

__all__ = ["FORMATS", "LoadSource", "Progress", "UserError", "main", "make_parser", "write_records"]
