"""The SQL that pages the table: ids of one page in order, then the shown values."""

from __future__ import annotations

import functools
import hashlib
import re
from collections.abc import Sequence
from typing import Any

import numpy as np
from ase.db.core import float_to_time_string, now, parse_selection
from ase.db.row import AtomsRow

from ferrolith.data.db._formatting import UNREADABLE

#: A plain word: the only key names that reach SQL text.
_WORD = re.compile(r"[_a-zA-Z][_0-9a-zA-Z]*\Z")

#: Columns ASE can sort by directly; any key-value-pair key sorts as well.
_SYSTEM_SORT_KEYS = frozenset(
    {
        "id",
        "energy",
        "user",
        "calculator",
        "age",
        "ctime",
        "mtime",
        "magmom",
        "pbc",
        "fmax",
        "smax",
        "volume",
        "mass",
        "charge",
        "natoms",
    }
)

#: Sort names of the table and the columns of ASE's ``systems`` table they order by.
_SORT_COLUMNS = {"user": "username", "age": "ctime"}


def _page_ids(db, selection: list[Any], sort: str, limit: int, offset: int) -> list[int]:
    """Ids of one page of rows sorted by a column of ASE's ``systems`` table, in order.

    Only ids are sorted and paged here, which spares the database from carrying
    whole rows (positions, forces ...) through its sort; ties are broken by id
    so that pages never overlap, and the id order itself walks the primary key.
    Sorting by a key-value pair is all_rows_by_value's and selected_rows_by_value's.
    """
    descending = sort.startswith("-")
    name = sort[1:] if descending else sort
    if name == "age":  # younger first means larger creation time first
        descending = not descending
    direction = "DESC" if descending else "ASC"
    keys, comparisons = parse_selection(selection)
    sql, args = db.create_select_statement(keys, comparisons, what="systems.id")
    column = _SORT_COLUMNS.get(name, name)
    if column == "id":
        sql += f"\nORDER BY systems.id {direction}"
    else:
        sql += f"\nORDER BY systems.{column} IS NULL, systems.{column} {direction}, systems.id ASC"
    sql += f"\nLIMIT {int(limit)} OFFSET {int(offset)}"
    with db.managed_connection() as con:
        cur = con.cursor()
        cur.execute(sql, args)
        return [int(r[0]) for r in cur.fetchall()]


#: Table columns read straight from ASE's ``systems`` table. ASE stores these
#: per row when it writes one (they are what its queries filter on), so the
#: table shows exactly the values a query compares; other keys come from the
#: row's key-value pairs.
_STORED_COLUMNS = {
    "id": "id",
    "natoms": "natoms",
    "energy": "energy",
    "fmax": "fmax",
    "smax": "smax",
    "volume": "volume",
    "mass": "mass",
    "charge": "charge",
    "magmom": "magmom",
    "ctime": "ctime",
    "mtime": "mtime",
    "age": "ctime",
    "user": "username",
    "calculator": "calculator",
    "unique_id": "unique_id",
    "formula": "numbers",
    "pbc": "pbc",
}


class _UnreadablePairs(dict):
    """The key-value pairs of a row whose stored ones cannot be decoded."""

    def get(self, key, default=None):
        return UNREADABLE


_UNREADABLE_PAIRS = _UnreadablePairs()


@functools.lru_cache(maxsize=4096)
def _formula_of(numbers: bytes) -> str:
    # Many rows share a composition; ASE's own row formats the formula.
    return AtomsRow({"numbers": np.frombuffer(numbers, dtype=np.int32)}).formula


def _pbc_text(bits: int | None) -> str:
    if bits is None:
        return ""
    return "".join("T" if int(bits) >> k & 1 else "F" for k in range(3))


def listing_values(db, ids: list[int], keys: Sequence[str]) -> list[dict[str, Any]]:
    """The values of the table's columns `keys` for the rows `ids`, in that order.

    One query reads only the columns shown (never positions, forces or data),
    which keeps a page of the table cheap however large the structures are.
    """
    if not ids:
        return []
    columns = ["id", *sorted({_STORED_COLUMNS.get(k, "key_value_pairs") for k in keys} - {"id"})]
    sql = (
        f"SELECT {', '.join('systems.' + c for c in columns)} FROM systems "
        f"WHERE systems.id IN ({', '.join('?' * len(ids))})"
    )
    with db.managed_connection() as con:
        cur = con.cursor()
        cur.execute(sql, [int(i) for i in ids])
        records = cur.fetchall()
    moment = now()
    found: dict[int, dict[str, Any]] = {}
    for record in records:
        raw = dict(zip(columns, record))
        pairs = raw.get("key_value_pairs")
        try:
            pairs = db.decode(pairs) if pairs not in (None, "", "{}") else {}
            if not isinstance(pairs, dict):
                raise TypeError("key-value pairs are not a mapping")
        except (ValueError, TypeError, KeyError, AttributeError, IndexError):
            # One damaged row must not take its page down: its pairs are marked.
            pairs = _UNREADABLE_PAIRS
        values: dict[str, Any] = {}
        for key in keys:
            if key == "formula":
                numbers = db.deblob(raw["numbers"], np.int32)
                values[key] = _formula_of(np.ascontiguousarray(numbers, dtype=np.int32).tobytes())
            elif key == "pbc":
                values[key] = _pbc_text(raw["pbc"])
            elif key == "age":
                ctime = raw["ctime"]
                values[key] = None if ctime is None else float_to_time_string(moment - ctime)
            elif key in _STORED_COLUMNS:
                values[key] = raw[_STORED_COLUMNS[key]]
            else:
                values[key] = pairs.get(key)
        found[int(raw["id"])] = values
    return [found[i] for i in ids if i in found]


# ---------------------------------------------------------------------------
# Sorting by one key-value pair over many rows
# ---------------------------------------------------------------------------

#: ASE's tables of key-value pairs: numbers and texts are filed apart.
_VALUE_TABLES = ("number_key_values", "text_key_values")


def _sort_index_name(table: str, key: str) -> str:
    # PostgreSQL cuts identifiers at 63 bytes; long keys get a digest instead.
    kind = "number" if table.startswith("number") else "text"
    name = f"ferrolith_sort_{kind}_{key}"
    if len(name) > 60:
        name = f"ferrolith_sort_{kind}_" + hashlib.sha256(key.encode()).hexdigest()[:24]
    return name


def _quoted_key(key: str) -> str:
    """`key` as an SQL string literal; only plain words ever get here."""
    if not isinstance(key, str) or not _WORD.match(key):
        raise ValueError(f"invalid key name: {key!r}")
    return f"'{key}'"


def create_sort_index(db, key: str) -> None:
    """Adds to the ASE database `db` the index that sorts its rows by `key` fast.

    `db` is an open ASE database (``ase.db.connect``: SQLite or PostgreSQL),
    `key` the name of a key-value pair. ASE indexes key-value pairs by key
    only, so sorting by one sorts all its values for every page; this adds a
    partial index on (value, id) of the rows that carry `key`, in ASE's table
    of numbers or of texts (whichever holds `key`; both when none does yet).
    With it, the web viewer pages a table sorted by `key` from the index, at
    any depth. Calling it again changes nothing. It is for the programs that
    write a database: the viewer itself never writes. Raises ValueError for a
    key that is not a plain word.
    """
    literal = _quoted_key(key)
    with db.managed_connection() as con:
        cur = con.cursor()
        tables = []
        for table in _VALUE_TABLES:
            cur.execute(f"SELECT id FROM {table} WHERE key = {literal} LIMIT 1")
            if cur.fetchone() is not None:
                tables.append(table)
        for table in tables or _VALUE_TABLES:
            cur.execute(
                f'CREATE INDEX IF NOT EXISTS "{_sort_index_name(table, key)}" '
                f"ON {table} (value, id) WHERE key = {literal}"
            )
            # Statistics tell the planner that one key holds many rows; without
            # them it takes ASE's index on the key for narrow and sorts.
            if _is_sqlite(db):
                cur.execute("PRAGMA analysis_limit = 1000")  # a sample is enough
            cur.execute(f"ANALYZE {table}")


def _is_sqlite(db) -> bool:
    return getattr(db, "type", "db") != "postgresql"


def _sort_index_hint(cur, db, table: str, key: str) -> str:
    """``INDEXED BY`` the sort index of `key` where SQLite has one, else nothing.

    SQLite without statistics takes ASE's index on the key, which narrows
    nothing for a key every row has, and then sorts every value.
    """
    if not _is_sqlite(db):
        return ""
    name = _sort_index_name(table, key)
    cur.execute("SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = ?", (name,))
    return f' INDEXED BY "{name}"' if cur.fetchone() is not None else ""


def value_table_of(db, key: str) -> str:
    """ASE's table that holds the values of `key`: numbers, unless only texts do."""
    literal = _quoted_key(key)
    with db.managed_connection() as con:
        cur = con.cursor()
        cur.execute(f"SELECT id FROM number_key_values WHERE key = {literal} LIMIT 1")
        if cur.fetchone() is not None:
            return "number_key_values"
        cur.execute(f"SELECT id FROM text_key_values WHERE key = {literal} LIMIT 1")
        return "text_key_values" if cur.fetchone() is not None else "number_key_values"


def _scalar(cur, sql: str) -> int:
    cur.execute(sql)
    return int(cur.fetchone()[0])


def _change_stamp(cur, db) -> tuple:
    """Something that changes whenever rows are added or removed, and is cheap to read.

    SQLite counts the commits of other connections (``PRAGMA data_version``,
    per connection, so the stamp belongs with the connection's Database). In
    PostgreSQL a new row raises the largest id at once, and the server's
    statistics count insertions (also those that commit out of id order) and
    removals, a second or so late.
    """
    if _is_sqlite(db):
        cur.execute("PRAGMA data_version")
        return (id(db.connection), cur.fetchone()[0])
    cur.execute(
        "SELECT (SELECT MAX(id) FROM systems), n_tup_ins, n_tup_del "
        "FROM pg_stat_user_tables WHERE relid = 'systems'::regclass"
    )
    row = cur.fetchone()
    return tuple(row) if row is not None else (object(),)  # no statistics: count each time


def row_count(db) -> int:
    """The number of rows of the database, remembered until it changes.

    Counting a million rows takes tens of milliseconds, more than the rest
    of a page; `db` should be a connection kept open by one thread (the
    viewer's), on which the count is remembered.
    """
    with db.managed_connection() as con:
        cur = con.cursor()
        stamp = _change_stamp(cur, db)
        remembered = getattr(db, "_ferrolith_row_count", None)
        if remembered is not None and remembered[0] == stamp:
            return remembered[1]
        total = _scalar(cur, "SELECT COUNT(*) FROM systems")
    db._ferrolith_row_count = (stamp, total)
    return total


class ValuePage:
    """One page of the whole table sorted by a key-value pair (all_rows_by_value).

    `ids` are the page's rows in order and `total` the number of rows.
    `first` and `last` are the (value, id) of the page's first and last rows
    that carry a value, the cursors of the pages before and after it (None
    where the page holds no such row there).
    """

    __slots__ = ("first", "ids", "last", "total")

    def __init__(self, total: int, ids: list[int], first, last):
        self.total = total
        self.ids = ids
        self.first = first
        self.last = last


def _keyset_condition(value: Any, row_id: int, greater_value: bool, greater_id: bool):
    """SQL and arguments for rows after (value, id) in an order by value, then id."""
    value_op = ">" if greater_value else "<"
    id_op = ">" if greater_id else "<"
    # The plain bound on the value alone lets the index range start at the cursor.
    bound = ">=" if greater_value else "<="
    sql = f"value {bound} ? AND (value {value_op} ? OR (value = ? AND id {id_op} ?))"
    return sql, [value, value, value, int(row_id)]


def all_rows_by_value(
    db,
    key: str,
    table: str,
    descending: bool,
    limit: int,
    offset: int,
    after: tuple[Any, int] | None = None,
    before: tuple[Any, int] | None = None,
) -> ValuePage:
    """One page of the whole table sorted by `key`.

    The rows with a value of `key` in `table` come first, in its order with
    ties broken by id; then every other row, in order of id. The sorted part
    is read from the value's own table and nothing else, so an index made by
    create_sort_index serves it without sorting. `offset` is the page's first
    row; a cursor (`after` the (value, id) of the row before the page, or
    `before` that of the row after it) starts the page at its row through the
    index instead, at the same cost at any depth (keyset paging).
    """
    literal = _quoted_key(key)
    valued = f"key = {literal} AND value IS NOT NULL"
    forward = "DESC" if descending else "ASC"
    backward = "ASC" if descending else "DESC"
    total = row_count(db)
    with db.managed_connection() as con:
        cur = con.cursor()
        source = table + _sort_index_hint(cur, db, table, key)
        if before is not None:
            # The rows before the cursor, read backwards from it, then turned round.
            condition, args = _keyset_condition(*before, descending, False)
            cur.execute(
                f"SELECT id, value FROM {source} WHERE {valued} AND {condition} "
                f"ORDER BY value {backward}, id DESC LIMIT {int(limit)}",
                args,
            )
            rows = cur.fetchall()[::-1]
        elif after is not None:
            condition, args = _keyset_condition(*after, not descending, True)
            cur.execute(
                f"SELECT id, value FROM {source} WHERE {valued} AND {condition} "
                f"ORDER BY value {forward}, id ASC LIMIT {int(limit)}",
                args,
            )
            rows = cur.fetchall()
        else:
            cur.execute(
                f"SELECT id, value FROM {source} WHERE {valued} "
                f"ORDER BY value {forward}, id ASC LIMIT {int(limit)} OFFSET {int(offset)}"
            )
            rows = cur.fetchall()
        ids = [int(r[0]) for r in rows]
        first = (rows[0][1], int(rows[0][0])) if rows else None
        last = (rows[-1][1], int(rows[-1][0])) if rows else None
        missing = limit - len(ids)
        if missing > 0 and before is None:
            # The page reaches past the sorted rows; only here are they counted.
            n_valued = offset + len(ids)
            if not ids:
                n_valued = _scalar(cur, f"SELECT COUNT(*) FROM {source} WHERE {valued}")
            if total > n_valued:
                cur.execute(
                    "SELECT systems.id FROM systems WHERE NOT EXISTS "
                    f"(SELECT 1 FROM {table} AS v WHERE v.id = systems.id AND v.key = {literal} "
                    "AND v.value IS NOT NULL) ORDER BY systems.id "
                    f"LIMIT {int(missing)} OFFSET {int(max(0, offset - n_valued))}"
                )
                ids += [int(r[0]) for r in cur.fetchall()]
            last = None
    return ValuePage(total, ids, first, last)


def selected_rows_by_value(
    db, selection: list[Any], key: str, table: str, descending: bool, limit: int, offset: int
) -> list[int]:
    """Ids of one page of the rows matching `selection`, sorted by `key`.

    The same order as all_rows_by_value: the rows with a value of `key` in
    `table` by value (ties by id), then the others by id. Each part is paged
    on its own, so that no row is skipped or repeated at the seam.
    """
    literal = _quoted_key(key)
    keys, comparisons = parse_selection(selection)
    matching, args = db.create_select_statement(keys, comparisons, what="systems.id")
    valued = f"v.key = {literal} AND v.value IS NOT NULL AND v.id IN ({matching})"
    direction = "DESC" if descending else "ASC"
    with db.managed_connection() as con:
        cur = con.cursor()
        cur.execute(
            f"SELECT v.id FROM {table} AS v WHERE {valued} ORDER BY v.value {direction}, v.id ASC "
            f"LIMIT {int(limit)} OFFSET {int(offset)}",
            args,
        )
        ids = [int(r[0]) for r in cur.fetchall()]
        missing = limit - len(ids)
        if missing > 0:
            n_valued = offset + len(ids)
            if not ids:
                cur.execute(f"SELECT COUNT(*) FROM {table} AS v WHERE {valued}", args)
                n_valued = int(cur.fetchone()[0])
            cur.execute(
                f"SELECT systems.id FROM systems WHERE systems.id IN ({matching}) AND NOT EXISTS "
                f"(SELECT 1 FROM {table} AS v WHERE v.id = systems.id AND v.key = {literal} "
                "AND v.value IS NOT NULL) ORDER BY systems.id "
                f"LIMIT {int(missing)} OFFSET {int(max(0, offset - n_valued))}",
                args,
            )
            ids += [int(r[0]) for r in cur.fetchall()]
    return ids
