"""Values as the pages show them and as the JSON API returns them."""

from __future__ import annotations

import math
import re
from typing import Any

import numpy as np
from ase.db.core import float_to_time_string, now
from markupsafe import escape


class Unreadable:
    """Stands in a row for stored values that cannot be decoded."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "UNREADABLE"


#: The one stand-in for a value that cannot be read.
UNREADABLE = Unreadable()


def _jsonable(value: Any) -> Any:
    """Plain JSON types: arrays become lists, non-finite floats and unreadable values null."""
    if value is UNREADABLE:
        return None
    if isinstance(value, np.ndarray):
        return _jsonable(value.tolist())
    if isinstance(value, (np.generic,)):
        return _jsonable(value.item())
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    if value is None or isinstance(value, (bool, int, str)):
        return value
    todict = getattr(value, "todict", None)
    if callable(todict):
        return _jsonable(todict())
    return str(value)


def _format_number(value: float) -> str:
    if not math.isfinite(value):
        return str(value)
    if value == 0:
        return "0.000"
    magnitude = abs(value)
    if magnitude >= 1e6 or magnitude < 1e-3:
        return f"{value:.3e}"
    return f"{value:.3f}"


def format_value(value: Any) -> str:
    """A short text for one table cell."""
    if value is None:
        return ""
    if value is UNREADABLE:
        return "unreadable"
    if isinstance(value, (bool, np.bool_)):
        return "yes" if value else "no"
    if isinstance(value, (int, np.integer)):
        return str(int(value))
    if isinstance(value, (float, np.floating)):
        return _format_number(float(value))
    if isinstance(value, np.ndarray) and value.dtype == bool:
        return "".join("T" if v else "F" for v in value.ravel())
    text = str(value)
    return text if len(text) <= 80 else text[:77] + "..."


def _plain_unit(unit: str) -> str:
    """A unit as plain text: the sub- and superscript tags ASE adds are dropped."""
    return re.sub(r"</?su[bp]>", "", unit)


def _cell_text(value: Any) -> str:
    """format_value, escaped for HTML, with the common types first."""
    kind = type(value)
    if kind is float:
        return _format_number(value)
    if kind is int:
        return str(value)
    if value is None:
        return ""
    if value is UNREADABLE:
        return '<span class="unreadable" title="The stored value cannot be read">unreadable</span>'
    return escape(format_value(value))


_FORMULA_PART = re.compile(r"([A-Z][a-z]?)(\d*)")


def formula_parts(formula: str) -> list[tuple[str, str]]:
    """('Si', '2'), ('O', '') ... for writing counts as subscripts."""
    return _FORMULA_PART.findall(formula)


def _column_value(row, key: str) -> Any:
    if key == "age":
        return float_to_time_string(now() - row.ctime)
    if key == "pbc":
        return "".join("T" if p else "F" for p in row.pbc)
    if key == "formula":
        return row.formula
    if key == "natoms":
        return row.natoms
    if key in ("volume", "mass", "fmax", "smax", "charge"):
        try:
            return getattr(row, key)
        except (AttributeError, ValueError, np.linalg.LinAlgError):
            return None
    return row.get(key)


def _data_summary(value: Any) -> tuple[str, str]:
    """(type description, short preview) of one entry of a row's data."""
    if isinstance(value, np.ndarray):
        kind = f"array {value.dtype} {'x'.join(map(str, value.shape)) or 'scalar'}"
        preview = np.array2string(value, threshold=20, edgeitems=3, precision=4)
    elif isinstance(value, dict):
        kind = f"dict, {len(value)} keys"
        preview = ", ".join(map(str, list(value)[:10])) + (" ..." if len(value) > 10 else "")
    elif isinstance(value, (list, tuple)):
        kind = f"{type(value).__name__}, {len(value)} items"
        preview = repr(value)
    else:
        kind = type(value).__name__
        preview = repr(value)
    if len(preview) > 300:
        preview = preview[:297] + "..."
    return kind, preview
