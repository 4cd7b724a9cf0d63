"""Opening an ASE database so that nothing can be written through it."""

from __future__ import annotations

import errno
import functools
import os
import sqlite3
import urllib.parse
from collections.abc import Sequence

import ase.db

_SQLITE_MAGIC = b"SQLite format 3\x00"


def _is_postgres(address: str) -> bool:
    return address.startswith(("postgresql://", "postgres://"))


def _sqlite_read_only(path: str) -> sqlite3.Connection:
    uri = "file:" + urllib.parse.quote(path) + "?mode=ro"
    return sqlite3.connect(uri, uri=True, timeout=20)


def _postgres_read_only(connect):
    con = connect()
    # Every statement runs in its own read-only transaction: the server can
    # neither change the database nor hold a transaction open between requests.
    con.con.set_session(readonly=True, autocommit=True)
    cur = con.con.cursor()
    cur.execute("SET statement_timeout = 30000")
    cur.close()
    return con


def _with_psycopg2(errors: Sequence[type], names: Sequence[str]) -> tuple[type, ...]:
    """`errors` and, where psycopg2 is installed, its exception classes `names`."""
    try:
        import psycopg2
    except ImportError:
        return tuple(errors)
    return tuple(errors) + tuple(getattr(psycopg2, name) for name in names)


def _connection_errors() -> tuple[type, ...]:
    return _with_psycopg2(
        [sqlite3.OperationalError, sqlite3.InterfaceError], ["OperationalError", "InterfaceError"]
    )


def _query_errors() -> tuple[type, ...]:
    return _with_psycopg2(
        [ValueError, AssertionError, KeyError, TypeError, OverflowError],
        ["DataError", "ProgrammingError"],
    )


def open_read_only(address: str):
    """Opens the database at `address` so that nothing can be written through it.

    `address` is the path of an SQLite file or a ``postgresql://`` URL. Raises
    FileNotFoundError for a missing file and ValueError for a file that is not
    an ASE database.
    """
    if _is_postgres(address):
        try:
            db = ase.db.connect(address)
            from psycopg2.errors import ReadOnlySqlTransaction
        except ImportError as exc:
            raise ImportError(
                "PostgreSQL databases need ASE's database backends: pip install 'ferrolith[web]'"
            ) from exc
        db._connect = functools.partial(_postgres_read_only, db._connect)
        # An empty database makes ASE create its tables, which read-only fails.
        not_ase = (ReadOnlySqlTransaction, AssertionError)
    else:
        path = os.path.abspath(os.path.expanduser(address))
        if not os.path.exists(path):
            raise FileNotFoundError(errno.ENOENT, "No such database file", address)
        with open(path, "rb") as fd:
            magic = fd.read(len(_SQLITE_MAGIC))
        if magic != _SQLITE_MAGIC:
            raise ValueError(f"{address} is not an SQLite database file")
        db = ase.db.connect(path, type="db", use_lock_file=False)
        db._connect = functools.partial(_sqlite_read_only, path)
        not_ase = (sqlite3.DatabaseError, AssertionError)
    try:
        _ = db.metadata  # reads the schema version: fails for a foreign database
    except not_ase as exc:
        raise ValueError(f"{address} is not a readable ASE database: {exc}") from exc
    return db
