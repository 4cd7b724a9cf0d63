"""The SQL that pages the table: ids of one page in order, then the shown values."""

from __future__ import annotations

import functools
import re
from collections.abc import Sequence
from typing import Any

import numpy as np
from ase.db.core import float_to_time_string, now, parse_selection
from ase.db.row import AtomsRow

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


def _page_ids(
    db, selection: list[Any], sort: str, limit: int, offset: int, value_table: str | None = None
) -> list[int]:
    """Ids of one page of rows, in order.

    Only ids are sorted and paged here, which spares the database from carrying
    whole rows (positions, forces ...) through its sort; ties are broken by id
    so that pages never overlap, and the id order itself walks the primary key.
    `value_table` names ASE's table of the key-value pairs to sort by
    ("number_key_values" or "text_key_values"); None sorts by a column of rows.
    """
    descending = sort.startswith("-")
    name = sort[1:] if descending else sort
    if name == "age":  # younger first means larger creation time first
        descending = not descending
    direction = "DESC" if descending else "ASC"
    keys, comparisons = parse_selection(selection)
    if value_table is not None:
        # Rows lacking the key drop out of this join; callers page them apart.
        sql, args = db.create_select_statement(
            keys, comparisons, sort=name, order=direction, sort_table=value_table, what="systems.id"
        )
        sql += ", systems.id ASC"
    else:
        sql, args = db.create_select_statement(keys, comparisons, what="systems.id")
        column = _SORT_COLUMNS.get(name, name)
        if column == "id":
            sql += f"\nORDER BY systems.id {direction}"
        else:
            sql += (
                f"\nORDER BY systems.{column} IS NULL, systems.{column} {direction}, systems.id ASC"
            )
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
        pairs = db.decode(pairs) if pairs not in (None, "", "{}") else {}
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
