"""A web application that shows an ASE database of structures.

``ASEDBApp`` (in ``app``) is a Flask application over one database opened
read-only (``_store``); the table's pages are cut by the SQL of ``_paging``
and its cells written by ``_formatting``. ``create_sort_index`` is for the
programs that write a database: it adds the index that makes sorting the
table by one key-value pair fast.
"""

from ferrolith.data.db._formatting import format_value, formula_parts
from ferrolith.data.db._paging import create_sort_index, listing_values
from ferrolith.data.db._store import open_read_only
from ferrolith.data.db.app import (
    DEFAULT_COLUMNS,
    DOWNLOAD_FORMATS,
    MAX_BONDED_ATOMS,
    POSITIONS_SHOWN,
    ASEDBApp,
    Column,
    ListingState,
    QueryError,
)
from ferrolith.data.db.errors import error_response

__all__ = [
    "DEFAULT_COLUMNS",
    "DOWNLOAD_FORMATS",
    "MAX_BONDED_ATOMS",
    "POSITIONS_SHOWN",
    "ASEDBApp",
    "Column",
    "ListingState",
    "QueryError",
    "create_sort_index",
    "error_response",
    "format_value",
    "formula_parts",
    "listing_values",
    "open_read_only",
]
