"""The SQLite storage connection: the statement builders of the mixin, run on a ``sqlite3`` database.

``SqliteConnection`` owns one ``sqlite3`` connection (a file, or ``:memory:``). Every write runs in
one transaction and is rolled back whole when any part of it fails.

The modules of this package, one part each:

- ``schema``: the layout (key columns, version records, the delete trigger), the names a created
  table or column may have, and creating tables;
- ``files``: what a path holds, and opening it, a database left by a killed writer included;
- ``names``: the name boundary, table descriptions and the check of every field, ordering,
  ``only``/``distinct`` entry given for a table;
- ``writes``: row checks, JSON encoding of values, batches sized to the parameter limit;
- ``versions``: saving new versions of objects, reading and selecting the latest ones;
- ``reads``: records, distinct combinations, paging;
- ``connection``: ``SqliteConnection``, made of the parts above and the compiled mixin.
"""

from quarna_data.connections.sqlite.connection import SqliteConnection
from quarna_data.connections.sqlite.files import SQLITE_HEADER, describe_file, unicode_upper
from quarna_data.connections.sqlite.names import TableInfo
from quarna_data.connections.sqlite.reads import order
from quarna_data.connections.sqlite.schema import (ADDRESS_FIELD, ADDRESS_KEYS, ALIASES, BARE_NAME, FIELD_TYPES,
                                                   JOINED_COLUMNS, METADATA_COLUMN, METADATA_COLUMNS,
                                                   METADATA_TABLE, MODEL_KEY_COLUMNS, NAME_PATTERN, RECORD_KEYS,
                                                   SQL_KEYWORDS, check_name, quote_identifier)
from quarna_data.connections.sqlite.versions import SAVE_CHUNK, latest_only
from quarna_data.connections.sqlite.writes import (MAX_DELETE_ROWS, MAX_STATEMENT_PARAMETERS, RejectedRow,
                                                   sqlite_parameter_limit)

__all__ = ["SqliteConnection", "RejectedRow", "latest_only", "order", "sqlite_parameter_limit", "METADATA_TABLE"]
