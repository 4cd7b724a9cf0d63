"""A web application that shows an ASE database of structures.

``ASEDBApp`` is a Flask application over one database opened with
``ase.db.connect``: an SQLite file, or a ``postgresql://`` address served
through ASE's PostgreSQL backend. It offers

* ``/``: a searchable, sortable, paginated table of rows (``ase.db`` query
  syntax, e.g. ``Si,natoms<10``);
* ``/row/<id>``: one row with its formula, cell, key-value pairs, data and
  positions, an interactive 3D view, a server-rendered picture and downloads
  as CIF, POSCAR, extended XYZ and JSON;
* ``/api/rows`` and ``/api/rows/<id>``: the same as JSON.

Every request carries its whole state (query, sort, page) in its URL, so any
number of server threads or processes can serve one database. The database is
always opened read-only: the viewer never changes it.
"""

from __future__ import annotations

import errno
import ipaddress
import os
import re
import threading
import urllib.parse
from collections.abc import Iterable, Sequence
from datetime import datetime, timezone
from functools import cached_property
from typing import Any

import ase.data
import ase.data.colors
import ase.db
import ase.io
import numpy as np
from ase.db.core import get_key_descriptions, parse_selection
from flask import Flask, Response, abort, jsonify, render_template, request, send_from_directory
from jinja2 import ChoiceLoader, FileSystemLoader
from markupsafe import Markup, escape
from werkzeug.exceptions import HTTPException, NotFound
from werkzeug.routing import BaseConverter

from ferrolith.data.db._formatting import (
    UNREADABLE,
    _cell_text,
    _column_value,
    _data_summary,
    _jsonable,
    _plain_unit,
    format_value,
    formula_parts,
)
from ferrolith.data.db._paging import (
    _SYSTEM_SORT_KEYS,
    _WORD,
    _page_ids,
    all_rows_by_value,
    listing_values,
    row_count,
    selected_rows_by_value,
    value_table_of,
)
from ferrolith.data.db._store import _connection_errors, _query_errors, open_read_only
from ferrolith.data.db.errors import error_response
from ferrolith.data.db.picture import render_svg

__all__ = ["DEFAULT_COLUMNS", "DOWNLOAD_FORMATS", "ASEDBApp", "QueryError"]

_HERE = os.path.dirname(os.path.abspath(__file__))
_TEMPLATES = os.path.join(_HERE, "templates")
_STATIC = os.path.join(_HERE, "static")

#: Columns shown when neither the caller nor the database's metadata chooses.
DEFAULT_COLUMNS = ("id", "formula", "natoms", "energy", "fmax", "pbc", "volume", "charge", "mass")

#: Shown columns that are computed per row and cannot be sorted by.
_UNSORTABLE = frozenset({"formula", "unique_id"})

#: Download name: (ASE format, file suffix, MIME type, needs a 3D cell, label).
DOWNLOAD_FORMATS: dict[str, tuple[str, str, str, bool, str]] = {
    "cif": ("cif", "cif", "chemical/x-cif", True, "CIF"),
    "poscar": ("vasp", "poscar", "text/plain", True, "POSCAR"),
    "xyz": ("extxyz", "xyz", "chemical/x-xyz", False, "Extended XYZ"),
    "json": ("json", "json", "application/json", False, "ASE JSON"),
}

#: Atoms beyond this many are left out of the positions table (downloads keep all).
POSITIONS_SHOWN = 500
#: Structures larger than this get no bonds in the 3D view.
MAX_BONDED_ATOMS = 3000


class QueryError(ValueError):
    """A query, sort key or page request the database cannot answer."""


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


_DIGITS = re.compile(r"[0-9]{1,30}\Z")


class _RowIdConverter(BaseConverter):
    """Row ids in paths: ASCII digits only (werkzeug's int takes any script's)."""

    regex = r"[0-9]{1,30}"

    def to_python(self, value: str) -> int:
        return int(value)

    def to_url(self, value: Any) -> str:
        return str(int(value))


def _relative_location(response: Response) -> Response:
    # Redirects that werkzeug makes (// in a path, a missing slash) name the
    # host the request claimed; a relative Location never leads elsewhere.
    location = response.headers.get("Location")
    if location:
        parts = urllib.parse.urlsplit(location)
        if parts.scheme or parts.netloc:
            path = "/" + parts.path.lstrip("/")
            response.headers["Location"] = urllib.parse.urlunsplit(
                ("", "", path, parts.query, parts.fragment)
            )
    return response


#: What decoding a row's stored JSON raises when it is damaged.
_DECODE_ERRORS = (ValueError, TypeError, KeyError, AttributeError, IndexError)


def _read_without_pairs(db, row_id: int) -> list:
    """[the row] with empty key-value pairs, for a row whose pairs cannot be decoded."""
    with db.managed_connection() as con:
        cur = con.cursor()
        cur.execute("SELECT * FROM systems WHERE id = ?", (int(row_id),))
        record = cur.fetchone()
        names = [d[0] for d in cur.description]
    if record is None:
        return []
    record = list(record)
    record[names.index("key_value_pairs")] = "{}"
    return [db._convert_tuple_to_row(tuple(record))]


def _full_cell(cell) -> bool:
    """A cell of three independent vectors (a zero or flat volume is not)."""
    if cell.rank != 3:
        return False
    return abs(cell.volume) > 1e-9 * float(np.prod(cell.lengths()))


#: How a query is written, for the message that refuses one.
QUERY_HELP = (
    "Write conditions separated by commas, all of which must hold: a formula "
    "(Si, SiO2, formula=SiO2), a comparison of a number (natoms<10, energy<-5, "
    "band_gap>1), a text (label=relaxed) or a bare key (band_gap)."
)


def _malformed(expression: str) -> str:
    # The database's own words (Python's unpacking errors ...) mean nothing to
    # a visitor: the message names the condition and says how one is written.
    return f"Malformed query: cannot read {expression!r}. {QUERY_HELP}"


class Column:
    """One column of the table: its key, heading, unit and whether it sorts."""

    __slots__ = ("description", "key", "label", "sortable", "unit")

    def __init__(self, key: str, label: str, description: str, unit: str, sortable: bool):
        self.key = key
        self.label = label
        self.description = description
        self.unit = unit
        self.sortable = sortable


class ListingState:
    """What one table request asks for; everything lives in the URL.

    `after` and `before` are keyset cursors ("id:value" of the row before or
    after the page) that the Next and Previous links carry when the whole
    table is sorted by a key-value pair; any other change of the state drops
    them, and a cursor that does not fit is ignored.
    """

    __slots__ = ("after", "before", "limit", "links", "page", "query", "sort")

    def __init__(
        self, query: str, sort: str, page: int, limit: int, after: str = "", before: str = ""
    ):
        self.query = query
        self.sort = sort
        self.page = page
        self.limit = limit
        self.after = after
        self.before = before
        #: URL arguments the Previous and Next links add, set by select_page.
        self.links: dict[str, dict[str, str]] = {"prev": {}, "next": {}}

    def args(self, **changes) -> dict[str, Any]:
        """URL arguments of this state with some changed; defaults left out."""
        values = {"q": self.query, "sort": self.sort, "page": self.page, "limit": self.limit}
        if not changes:  # the same page again: its cursor still finds it
            values.update(after=self.after, before=self.before)
        values.update(changes)
        defaults = {"q": "", "sort": "id", "page": 1, "limit": ASEDBApp.PAGE_SIZE}
        return {k: v for k, v in values.items() if v != defaults.get(k, "")}

    def url(self, base: str, **changes) -> str:
        """`base` with this state's URL arguments (some changed)."""
        query = urllib.parse.urlencode(self.args(**changes))
        return f"{base}?{query}" if query else base


def _parse_cursor(text: str, numbers: bool) -> tuple[Any, int] | None:
    """(value, id) of an "id:value" cursor; None for an empty or unusable one."""
    row_id, _, value = text.partition(":")
    if not _DIGITS.match(row_id) or int(row_id) > 2**63 - 1:
        return None
    if not numbers:
        return value, int(row_id)
    if not re.fullmatch(r"[-+0-9.eE]{1,40}|[-+]?inf", value):
        return None
    try:
        return float(value), int(row_id)
    except ValueError:
        return None


def _cursor(bound: tuple[Any, int] | None) -> str:
    if bound is None:
        return ""
    value, row_id = bound
    return f"{row_id}:{value!r}" if isinstance(value, float) else f"{row_id}:{value}"


class ASEDBApp(Flask):
    """Flask application that shows the rows of one ASE database.

    `db` is the path of an SQLite database file or a ``postgresql://`` URL.
    `name` names the project and `title` heads every page. `templates` and
    `static` are directories whose files take precedence over the built-in
    templates and static files of the same name. `default_columns` chooses the
    table's columns; None takes the database's own ``default_columns`` metadata,
    or a standard set. The database is opened read-only; a missing file raises
    FileNotFoundError and a file that is no ASE database ValueError.
    """

    #: Rows per page when the URL does not say.
    PAGE_SIZE = 25
    #: Largest page a request may ask for.
    MAX_PAGE_SIZE = 200
    #: Page sizes offered in the table's footer.
    PAGE_SIZES = (10, 25, 50, 100, 200)

    def __init__(
        self,
        db,
        name: str = "default",
        templates: str | None = None,
        static: str | None = None,
        default_columns: Sequence[str] | None = None,
        title: str = "Ferrolith",
    ):
        super().__init__(__name__, static_folder=None, template_folder=None)
        if not isinstance(db, (str, os.PathLike)):
            raise TypeError(f"db must be a path or a database URL, not {type(db).__name__}")
        address = os.fspath(db)
        if not isinstance(address, str):
            raise TypeError("db must be a text path or URL")
        for label, folder in (("templates", templates), ("static", static)):
            if folder is not None and not os.path.isdir(folder):
                raise NotADirectoryError(errno.ENOTDIR, f"No {label} directory", folder)
        self.database_address = address
        self.project_name = str(name)
        self.title = str(title)
        self.template_dirs = [d for d in (templates, _TEMPLATES) if d is not None]
        self.static_dirs = [os.path.abspath(d) for d in (static, _STATIC) if d is not None]
        self._local = threading.local()
        self._query_errors = _query_errors()

        # Opened once here so that a bad path fails at once; threads open their own.
        database = open_read_only(address)
        metadata = database.metadata
        self._local.db = database
        self.key_descriptions = self._key_descriptions(metadata)
        if default_columns is None:
            default_columns = metadata.get("default_columns") or DEFAULT_COLUMNS
        self.columns = self._make_columns(default_columns)

        self.config.update(VITRINE_MAX_PAGE_SIZE=self.MAX_PAGE_SIZE)
        self.jinja_env.globals.update(
            app_title=self.title,
            project_name=self.project_name,
            formula_parts=formula_parts,
            default_limit=self.PAGE_SIZE,
        )
        self.url_map.converters["row_id"] = _RowIdConverter
        self._add_routes()
        self.register_error_handler(HTTPException, error_response)
        self._connection_errors = _connection_errors()
        self.teardown_request(self._forget_broken_connection)
        self.after_request(_relative_location)

    # -- configuration -----------------------------------------------------

    @cached_property
    def jinja_loader(self):  # the override directory first, then the built-in one
        return ChoiceLoader([FileSystemLoader(d) for d in self.template_dirs])

    @staticmethod
    def _key_descriptions(metadata: dict[str, Any]) -> dict[str, tuple[str, str, str]]:
        descriptions = {
            key: (kd.shortdesc, kd.longdesc, _plain_unit(kd.unit))
            for key, kd in get_key_descriptions().items()
        }
        for key, value in (metadata.get("key_descriptions") or {}).items():
            if isinstance(value, (list, tuple)) and value:
                short = str(value[0])
                long = str(value[1]) if len(value) > 1 else short
                unit = _plain_unit(str(value[2])) if len(value) > 2 else ""
                descriptions[key] = (short, long, unit)
        return descriptions

    def _make_columns(self, keys: Iterable[str]) -> list[Column]:
        if isinstance(keys, (str, bytes)):
            raise TypeError("default_columns must be a list of column names, not a string")
        ordered = ["id"]  # the id links to the row page and is always shown first
        for key in keys:
            if not isinstance(key, str) or not (key == "age" or _WORD.match(key)):
                raise ValueError(f"invalid column name: {key!r}")
            if key not in ordered:
                ordered.append(key)
        columns = []
        for key in ordered:
            short, long, unit = self.key_descriptions.get(key, (key, key, ""))
            columns.append(Column(key, short, long, unit, key not in _UNSORTABLE))
        return columns

    # -- database access ---------------------------------------------------

    def database(self):
        """This thread's read-only connection (opened on first use)."""
        db = getattr(self._local, "db", None)
        if db is None:
            db = open_read_only(self.database_address)
            self._local.db = db
        if db.connection is None:
            db.__enter__()  # keeps one connection open for the thread's life
        return db

    def _forget_broken_connection(self, exc: BaseException | None) -> None:
        # A connection the database server dropped (a restart, an idle
        # timeout) is closed, so that this thread's next request reconnects.
        db = getattr(self._local, "db", None)
        if exc is None or db is None or not isinstance(exc, self._connection_errors):
            return
        connection, db.connection = db.connection, None
        if connection is not None:
            try:
                connection.close()
            except Exception:
                pass

    def parse_query(self, text: str) -> list[str]:
        """The query as a list of ASE selection expressions; QueryError if malformed."""
        expressions = [part.strip() for part in text.split(",") if part.strip()]
        for expression in expressions:
            # One at a time, so that the message names the condition at fault.
            try:
                keys, comparisons = parse_selection([expression])
            except self._query_errors as exc:
                raise QueryError(_malformed(expression)) from exc
            for key in keys + [c[0] for c in comparisons]:
                if isinstance(key, int):
                    continue
                # Keys reach SQL text in some backends: only plain words are keys.
                if not _WORD.match(key[1:] if key.startswith("-") else key):
                    raise QueryError(_malformed(expression))
        return expressions

    def _sort_key(self, sort: str) -> str:
        name = sort[1:] if sort.startswith("-") else sort
        if not _WORD.match(name) or name in _UNSORTABLE:
            raise QueryError(f"Cannot sort by {sort!r}")
        return name

    def select_page(self, state: ListingState) -> tuple[int, list[int]]:
        """(number of matching rows, ids of the rows of the requested page)."""
        selection = self.parse_query(state.query)
        key = self._sort_key(state.sort)
        offset = (state.page - 1) * state.limit
        db = self.database()
        try:
            if key not in _SYSTEM_SORT_KEYS and not selection:
                # Browsing everything by one key-value pair: the paging that an
                # index made by create_sort_index serves at any depth.
                descending = state.sort.startswith("-")
                table = value_table_of(db, key)
                numbers = table == "number_key_values"
                page = all_rows_by_value(
                    db,
                    key,
                    table,
                    descending,
                    state.limit,
                    offset,
                    after=_parse_cursor(state.after, numbers) if state.after else None,
                    before=_parse_cursor(state.before, numbers) if state.before else None,
                )
                if page.first is not None and state.page > 1:
                    state.links["prev"] = {"before": _cursor(page.first)}
                if page.last is not None and len(page.ids) == state.limit:
                    state.links["next"] = {"after": _cursor(page.last)}
                return page.total, page.ids
            total = db.count(selection) if selection else row_count(db)
            if key in _SYSTEM_SORT_KEYS:
                ids = _page_ids(db, selection, state.sort, state.limit, offset)
            else:
                descending = state.sort.startswith("-")
                table = value_table_of(db, key)
                ids = selected_rows_by_value(
                    db, selection, key, table, descending, state.limit, offset
                )
        except self._query_errors as exc:
            raise QueryError(_malformed(state.query)) from exc
        return total, ids

    def get_row(self, row_id: int):
        """The row with this id; 404 when there is none.

        A row whose key-value pairs or data cannot be decoded is returned
        without them; its ``_unreadable_parts`` attribute names the parts
        left out (empty for a sound row).
        """
        if row_id > 2**63 - 1:
            abort(404)
        db = self.database()
        unreadable: list[str] = []
        try:
            rows = list(db.select(id=row_id))
        except _DECODE_ERRORS:
            rows = _read_without_pairs(db, row_id)
            unreadable.append("key-value pairs")
        if not rows:
            abort(404)
        row = rows[0]
        try:
            _ = row.data  # decoded lazily: a damaged one would fail in the page
        except _DECODE_ERRORS:
            row._data = {}
            unreadable.append("data")
        row._unreadable_parts = unreadable  # not a key: key-value pairs are attributes too
        return row

    # -- request parsing ---------------------------------------------------

    def listing_state(self) -> ListingState:
        """The table request of the current URL; 400 for a bad page or size."""
        args = request.args
        query = args.get("q", "")
        sort = args.get("sort", "") or "id"
        page_text = args.get("page", "1")
        limit_text = args.get("limit", str(self.PAGE_SIZE))
        # int() would also take other scripts' digits, spaces and underscores.
        if not (_DIGITS.match(page_text) and _DIGITS.match(limit_text)):
            abort(400, "page and limit must be whole numbers")
        page = int(page_text)
        limit = int(limit_text)
        largest = int(self.config.get("VITRINE_MAX_PAGE_SIZE", self.MAX_PAGE_SIZE))
        if page < 1:
            abort(400, "page must be 1 or more")
        if not 1 <= limit <= largest:
            abort(400, f"limit must be between 1 and {largest}")
        if page > 10**9:
            abort(400, "page is out of range")
        after = args.get("after", "")
        before = args.get("before", "")
        if len(after) > 200 or len(before) > 200:
            abort(400, "cursor is too long")
        return ListingState(query, sort, page, limit, after=after, before=before)

    # -- pages -------------------------------------------------------------

    def page_values(self, ids: list[int]) -> list[dict[str, Any]]:
        """Column values of the rows `ids` (see listing_values)."""
        return listing_values(self.database(), ids, [c.key for c in self.columns])

    def _table_rows(self, values: list[dict[str, Any]], state: ListingState) -> list[dict]:
        # Cells are formatted here, once, and each row's markup is built as one
        # string: a template that placed every cell itself would spend most of
        # a page's time in its own machinery. Templates that want their own
        # markup find the formatted cells beside it.
        prefix = request.script_root + "/row/"
        suffix = state.url("")
        table = []
        for row in values:
            row_id = row["id"]
            href = escape(f"{prefix}{row_id}{suffix}")
            cells = []
            parts = []
            broken = any(value is UNREADABLE for value in row.values())
            marked = ' class="broken" title="Some stored values of this row cannot be read"'
            marked = marked if broken else ""
            for key, value in row.items():
                if key == "formula":
                    formula = formula_parts(value)
                    cells.append((key, formula))
                    text = "".join(
                        f"{symbol}<sub>{count}</sub>" if count else symbol
                        for symbol, count in formula
                    )
                    parts.append(f'<td class="col-formula"><a href="{href}">{text}</a></td>')
                elif key == "id":
                    cells.append((key, str(row_id)))
                    parts.append(f'<td class="col-id"><a href="{href}">{row_id}</a></td>')
                else:
                    text = _cell_text(value)
                    cells.append((key, text))
                    parts.append(f'<td class="col-{key}">{text}</td>')
            table.append(
                {
                    "id": row_id,
                    "href": href,
                    "cells": cells,
                    "html": Markup(f'<tr data-id="{row_id}"{marked}>{"".join(parts)}</tr>'),
                }
            )
        return table

    def _add_routes(self) -> None:
        self.add_url_rule("/", "index", self.index_page)
        self.add_url_rule("/row/<row_id:row_id>", "row", self.row_page)
        self.add_url_rule("/row/<row_id:row_id>/picture.svg", "picture", self.row_picture)
        self.add_url_rule("/row/<row_id:row_id>/scene.json", "scene", self.row_scene)
        self.add_url_rule("/row/<row_id:row_id>/download/<fmt>", "download", self.row_download)
        self.add_url_rule("/api/rows", "api_rows", self.api_rows)
        self.add_url_rule("/api/rows/<row_id:row_id>", "api_row", self.api_row)
        self.add_url_rule("/static/<path:filename>", "static", self.static_file)

    def index_page(self):
        """The table of rows."""
        state = self.listing_state()
        error = None
        try:
            total, ids = self.select_page(state)
        except QueryError as exc:
            total, ids, error = 0, [], str(exc)
        pages = max(1, -(-total // state.limit))
        html = render_template(
            "table.html",
            state=state,
            columns=self.columns,
            rows=self._table_rows(self.page_values(ids), state),
            index_url=request.script_root + "/",
            api_url=request.script_root + "/api/rows",
            total=total,
            pages=pages,
            error=error,
            page_sizes=self.PAGE_SIZES,
        )
        return html, (400 if error else 200)

    def api_rows(self):
        """JSON: the rows matching a query, one page at a time."""
        state = self.listing_state()
        try:
            total, ids = self.select_page(state)
        except QueryError as exc:
            return jsonify(error=str(exc)), 400
        keys = [c.key for c in self.columns]
        values_list = self.page_values(ids)
        return jsonify(
            query=state.query,
            sort=state.sort,
            page=state.page,
            limit=state.limit,
            total=total,
            pages=max(1, -(-total // state.limit)),
            columns=keys,
            rows=[_jsonable(values) for values in values_list],
            unreadable=[v["id"] for v in values_list if any(x is UNREADABLE for x in v.values())],
        )

    def api_row(self, row_id: int):
        """JSON: everything stored in one row."""
        row = self.get_row(row_id)
        atoms = row.toatoms()
        record: dict[str, Any] = {
            "id": row.id,
            "unique_id": row.get("unique_id"),
            "formula": row.formula,
            "natoms": row.natoms,
            "symbols": atoms.get_chemical_symbols(),
            "numbers": atoms.numbers,
            "positions": atoms.positions,
            "cell": atoms.cell[:],
            "pbc": atoms.pbc,
            "ctime": row.get("ctime"),
            "mtime": row.get("mtime"),
            "user": row.get("user"),
            "key_value_pairs": row.key_value_pairs,
            "data": dict(row.data),
        }
        for key in (
            "energy",
            "free_energy",
            "forces",
            "stress",
            "magmom",
            "magmoms",
            "charges",
            "dipole",
            "calculator",
            "calculator_parameters",
            "tags",
            "masses",
            "initial_magmoms",
            "initial_charges",
            "momenta",
        ):
            if key in row:
                record[key] = row.get(key)
        return jsonify(_jsonable(record))

    def row_page(self, row_id: int):
        """Everything about one row, with its 3D view and downloads."""
        row = self.get_row(row_id)
        atoms = row.toatoms()
        back = self._back_state()
        cell = atoms.cell
        has_cell = _full_cell(cell)
        problems = [f"The {part} of this row cannot be read." for part in row._unreadable_parts]
        if cell.rank == 3 and not has_cell:
            problems.append("The cell is singular (zero volume): no fractional coordinates.")
        properties = []
        for key in (
            "natoms",
            "pbc",
            "volume",
            "mass",
            "energy",
            "free_energy",
            "fmax",
            "smax",
            "charge",
            "magmom",
            "calculator",
            "user",
            "unique_id",
        ):
            value = _column_value(row, key) if key != "pbc" else row.pbc
            if key == "volume" and not has_cell:
                value = None
            if value is not None:
                short, long, unit = self.key_descriptions.get(key, (key, key, ""))
                properties.append((short, format_value(value), unit, long))
        if "ctime" in row:
            created = datetime.fromtimestamp(
                ase.db.core.T2000 + row.ctime * ase.db.core.YEAR, tz=timezone.utc
            )
            properties.append(("Created", created.strftime("%Y-%m-%d %H:%M UTC"), "", "Created"))
        kvp = []
        for key, value in sorted(row.key_value_pairs.items()):
            short, long, unit = self.key_descriptions.get(key, (key, key, ""))
            kvp.append((key, short, format_value(value), unit, long))
        data = [(key, *_data_summary(value)) for key, value in sorted(row.data.items())]
        positions = atoms.positions[:POSITIONS_SHOWN]
        fractional = atoms.cell.scaled_positions(positions) if has_cell else None
        downloads = [
            (fmt, entry[4]) for fmt, entry in DOWNLOAD_FORMATS.items() if has_cell or not entry[3]
        ]
        return render_template(
            "row.html",
            row=row,
            formula=row.formula,
            cell=cell[:] if has_cell or cell.any() else None,
            cellpar=cell.cellpar() if has_cell else None,
            properties=properties,
            key_value_pairs=kvp,
            data=data,
            symbols=atoms.get_chemical_symbols()[:POSITIONS_SHOWN],
            positions=positions,
            fractional=fractional,
            positions_shown=len(positions),
            downloads=downloads,
            back=back,
            problems=problems,
        )

    def _back_state(self) -> dict[str, Any]:
        # The table the visitor came from travels in the row page's URL.
        try:
            return self.listing_state().args()
        except Exception:
            return {}

    def row_picture(self, row_id: int):
        """A picture of the structure, drawn on the server (SVG)."""
        row = self.get_row(row_id)
        svg = render_svg(row.toatoms())
        response = Response(svg, mimetype="image/svg+xml")
        response.cache_control.max_age = 300
        response.add_etag()
        return response.make_conditional(request)

    def row_scene(self, row_id: int):
        """What the 3D view draws: atoms with colours and radii, bonds and cell."""
        row = self.get_row(row_id)
        atoms = row.toatoms()
        numbers = atoms.numbers
        colors = ase.data.colors.jmol_colors[numbers]
        radii = 0.35 * ase.data.covalent_radii[numbers] + 0.25
        bonds: list[list[float]] = []
        periodic_ok = _full_cell(atoms.cell) or not atoms.pbc.any()
        if 0 < len(atoms) <= MAX_BONDED_ATOMS and periodic_ok:
            from ase.neighborlist import natural_cutoffs, neighbor_list

            i, d = neighbor_list("iD", atoms, natural_cutoffs(atoms, mult=1.1))
            bonds = [[int(a), *v] for a, v in zip(i, d.round(4).tolist())]
        return jsonify(
            positions=atoms.positions.round(5).tolist(),
            symbols=atoms.get_chemical_symbols(),
            colors=["#{:02x}{:02x}{:02x}".format(*(round(255 * c) for c in rgb)) for rgb in colors],
            radii=radii.round(3).tolist(),
            cell=atoms.cell[:].tolist(),
            pbc=atoms.pbc.tolist(),
            bonds=bonds,
        )

    def row_download(self, row_id: int, fmt: str):
        """The structure as a file: cif, poscar, xyz (extended XYZ) or json."""
        if fmt not in DOWNLOAD_FORMATS:
            abort(404)
        ase_format, suffix, mimetype, needs_cell, _ = DOWNLOAD_FORMATS[fmt]
        row = self.get_row(row_id)
        atoms = row.toatoms()
        if needs_cell and not _full_cell(atoms.cell):
            abort(404, f"{fmt} needs a structure with a three-dimensional cell")
        import io

        from ase.io.formats import ioformats

        buffer = io.BytesIO() if ioformats[ase_format].isbinary else io.StringIO()
        ase.io.write(buffer, atoms, format=ase_format)
        filename = f"{row.formula}-{row.id}.{suffix}"
        response = Response(buffer.getvalue(), mimetype=mimetype)
        response.headers["Content-Disposition"] = f'attachment; filename="{filename}"'
        return response

    def static_file(self, filename: str):
        """A file of the override static directory, else of the built-in one."""
        for folder in self.static_dirs:
            try:
                return send_from_directory(folder, filename, max_age=3600)
            except NotFound:
                continue
        abort(404)

    # -- servers -----------------------------------------------------------

    def run(
        self, host: str | None = None, port: int | None = None, debug: bool = True, **options: Any
    ) -> None:
        """Flask's development server, reloading on code changes.

        The interactive debugger runs code typed into a browser, so it is only
        ever switched on when `host` is a loopback address.
        """
        options.setdefault("use_reloader", bool(debug))
        options["use_debugger"] = bool(debug) and _is_loopback(host or "127.0.0.1")
        super().run(host=host, port=port, debug=debug, **options)

    def run_server(
        self, host: str = "127.0.0.1", port: int = 8080, threads: int | None = None, **options: Any
    ) -> None:
        """Serves the application with waitress, a production WSGI server.

        `threads` defaults to two per processor core (at least four), plus
        the threads that password checks may hold when logins are on: the
        database works outside Python's interpreter lock, so a second thread
        per core keeps it busy while another waits, and more threads would
        only take turns at the lock and lengthen the slowest answers.

        waitress's limits are set for a read-only viewer (see server_limits);
        `options` override them. The answers waitress writes itself (a body
        too large, a malformed request) carry the headers listed in the
        ``VITRINE_SERVER_ERROR_HEADERS`` setting, as the application's do.
        """
        import logging

        import waitress
        from waitress.server import create_server

        if threads is None:
            # Password checks may hold threads while they run or queue; those
            # come on top, so that logged-in clients always find one free.
            logins = int(self.config.get("VITRINE_LOGIN_THREADS", 0))
            threads = max(4, 2 * (os.cpu_count() or 1)) + logins
        options.setdefault("ident", "ferrolith")
        for name, value in server_limits().items():
            options.setdefault(name, value)
        headers = [(str(k), str(v)) for k, v in self.config.get("VITRINE_SERVER_ERROR_HEADERS", ())]

        def make_server(application, **kw):
            server = create_server(application, **kw)
            _add_error_headers(server, headers)
            return server

        logger = logging.getLogger("waitress")
        if not logger.handlers and logger.level == logging.NOTSET:
            # Tells where the site is ("Serving on http://...") and what fails.
            logger.addHandler(logging.StreamHandler())
            logger.setLevel(logging.INFO)
            logger.propagate = False
        waitress.serve(self, host=host, port=port, threads=threads, _server=make_server, **options)


def server_limits() -> dict[str, int]:
    """waitress's limits for the viewer, chosen rather than inherited.

    * ``connection_limit``: a client that trickles its request holds a
      connection but no thread (waitress reads requests asynchronously), so
      connections are cheap and many are allowed: 1000, or fewer when the
      process may open fewer files. waitress's own 100 let a hundred slow
      clients lock everyone out.
    * ``channel_timeout``: 30 s without a byte closes a connection.
    * ``max_request_body_size``: 1 KiB. Only GET and HEAD are answered, and
      they carry no body; a larger one is refused with 413 as soon as its
      length is announced, never read.
    * ``max_request_header_size``: 64 KiB.

    A client that sends a byte now and then within the timeout keeps its
    connection: the limit on how long a request may take to arrive belongs to
    a reverse proxy in front (see the README).
    """
    try:
        import resource

        files = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    except (ImportError, OSError, ValueError):
        files = 1024
    if files == getattr(resource, "RLIM_INFINITY", -1) or files <= 0:
        files = 1 << 16
    return {
        "connection_limit": max(100, min(1000, files - 100)),
        "channel_timeout": 30,
        "max_request_body_size": 1024,
        "max_request_header_size": 64 * 1024,
    }


def _add_error_headers(server, headers: list[tuple[str, str]]) -> None:
    """Makes the answers waitress writes itself carry `headers`."""
    if not headers:
        return
    from waitress.channel import HTTPChannel
    from waitress.task import ErrorTask

    class HeadedErrorTask(ErrorTask):
        def execute(self):
            self.response_headers.extend(headers)
            super().execute()

    class HeadedChannel(HTTPChannel):
        error_task_class = HeadedErrorTask

    # One listening socket gives one server; several give a map of them.
    servers = [server, *getattr(server, "map", {}).values()]
    for each in servers:
        if hasattr(each, "channel_class"):
            each.channel_class = HeadedChannel
