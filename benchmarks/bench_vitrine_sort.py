"""Browsing a million screened rows sorted by hardness, on SQLite and PostgreSQL.

Builds an ASE database of N rows (default 1,000,000) as a screening run leaves
it: every row carries the key-value pairs ``hardness_simunek``, ``ionicity``,
``rcut`` and ``screen_tag``. Writing a million rows through ``db.write`` takes
an hour, so one row is written by ASE and the rest are copied from it with
bulk SQL inside the database: ``systems`` rows (the same structure, a new
unique id and key-value JSON), and the rows of ASE's ``keys``,
``number_key_values``, ``text_key_values`` and ``species`` tables that ASE
itself would have written for them. Hardness values are drawn with 4 decimals
from 0-100 GPa, so that many rows tie and the tie-break by id is exercised.

``create_sort_index(db, "hardness_simunek")`` is then called, as ``ferrolith
screen`` does after writing (sort indexes left by an earlier run are dropped
first). On PostgreSQL the tables are vacuumed and analysed once, as autovacuum
does soon after a bulk load.

The viewer then runs in-process (the Flask application, no HTTP server, so
that the figures are the viewer's own) and answers

* the first page sorted by ``hardness_simunek`` (ascending and descending);
* page 1,000 (offset 24,975), and page 1,001 by the Next link of page 1,000;
* the last page;
* the first page again, each time right after another connection wrote a row
  (the viewer then counts the rows anew);

each a few times; the median and the slowest are printed with the targets:
the first page in at most 100 ms and page 1,000 in at most 300 ms. ``--mode
before`` measures without the index only: run so with an older viewer on
PYTHONPATH, it gives the figures from before.

    python benchmarks/bench_vitrine_sort.py [--rows 1000000] [--postgres URL] [--keep DIR]
                                            [--mode after|before|both] [--wrk SECONDS]

``--wrk`` also runs the production server (``ferrolith vitrine``) on loopback and
loads page 50 of the sorted table with wrk (32 connections), the load under
which the viewer was first measured on 10,000 rows.

``--postgres`` takes an administrator URL (e.g. postgresql://postgres@host:port/postgres);
a database ``bench_vitrine_sort_<rows>`` is made there (kept, and reused, with --keep).
"""

import argparse
import os
import re
import shutil
import statistics
import tempfile
import time

import ase.db
from ase.build import bulk

KEYS = {"hardness_simunek": 12.5, "ionicity": 0.1, "rcut": 1.9, "screen_tag": "a1b2c3d4"}
SORT = "hardness_simunek"
TARGET_FIRST_MS = 100.0
TARGET_DEEP_MS = 300.0
DEEP_PAGE = 1000
PAGE_SIZE = 25


def _systems_columns(cur, postgres):
    if postgres:
        cur.execute(
            "SELECT column_name FROM information_schema.columns "
            "WHERE table_name = 'systems' ORDER BY ordinal_position"
        )
        return [r[0] for r in cur.fetchall()]
    cur.execute("PRAGMA table_info(systems)")
    return [r[1] for r in cur.fetchall()]


def build(db, n_rows, postgres):
    """Writes one row with ASE and copies it to `n_rows` rows with bulk SQL."""
    started = time.perf_counter()
    atoms = bulk("C", "diamond", a=3.57).repeat((2, 1, 1))
    db.write(atoms, **KEYS)
    with db.managed_connection() as con:
        cur = con.cursor()
        columns = [c for c in _systems_columns(cur, postgres) if c not in ("id", "unique_id")]
        copied = ", ".join(columns)
        if postgres:
            numbers = f"generate_series(2, {n_rows}) AS i"
            hardness = "round((random() * 100)::numeric, 4)::float8"
            unique = "md5(i::text)"
            kvp = (
                f"jsonb_build_object('hardness_simunek', {hardness}, 'ionicity', "
                "round(random()::numeric, 3)::float8, 'rcut', 1.9, 'screen_tag', 'a1b2c3d4')"
            )
            source = f"FROM {numbers}, (SELECT * FROM systems WHERE id = 1) AS t"
            extract = "(key_value_pairs->>'{0}')::float8"
        else:
            numbers = (
                "WITH RECURSIVE n(i) AS (SELECT 2 UNION ALL SELECT i + 1 FROM n "
                f"WHERE i < {n_rows}) "
            )
            hardness = "round(abs(random() % 1000000) / 10000.0, 4)"
            unique = "printf('%032x', i)"
            kvp = (
                f"json_object('hardness_simunek', {hardness}, 'ionicity', "
                "round(abs(random() % 1000) / 1000.0, 3), 'rcut', 1.9, 'screen_tag', 'a1b2c3d4')"
            )
            source = "FROM n, (SELECT * FROM systems WHERE id = 1) AS t"
            extract = "json_extract(key_value_pairs, '$.{0}')"
        select = ", ".join("t." + c if c != "key_value_pairs" else kvp for c in columns)
        prefix = numbers if not postgres else ""
        cur.execute(
            f"{prefix}INSERT INTO systems (id, unique_id, {copied}) "
            f"SELECT i, {unique}, {select} {source}"
        )
        if postgres:  # the id sequence continues after the copied rows
            cur.execute("SELECT setval('systems_id_seq', (SELECT MAX(id) FROM systems))")
        for key, value in KEYS.items():
            cur.execute(f"INSERT INTO keys (key, id) SELECT '{key}', id FROM systems WHERE id > 1")
            if isinstance(value, str):
                cur.execute(
                    f"INSERT INTO text_key_values (key, value, id) "
                    f"SELECT '{key}', '{value}', id FROM systems WHERE id > 1"
                )
            else:
                cur.execute(
                    f"INSERT INTO number_key_values (key, value, id) "
                    f"SELECT '{key}', {extract.format(key)}, id FROM systems WHERE id > 1"
                )
        cur.execute(
            "INSERT INTO species (Z, n, id) SELECT s.Z, s.n, t.id "
            "FROM species AS s, systems AS t WHERE s.id = 1 AND t.id > 1"
        )
    return time.perf_counter() - started


def vacuum(url):
    import psycopg2

    con = psycopg2.connect(url)
    con.autocommit = True
    con.cursor().execute("VACUUM ANALYZE")
    con.close()


def timed(client, query, repeats, before_each=None):
    times = []
    for _ in range(repeats):
        if before_each is not None:
            before_each()
        started = time.perf_counter()
        response = client.get(query)
        times.append(1e3 * (time.perf_counter() - started))
        assert response.status_code == 200, response.status_code
    return statistics.median(times), max(times), response.get_data(as_text=True)


def measure(address, n_rows, repeats, label):
    import ferrolith.data.db
    from ferrolith.data.db import ASEDBApp

    app = ASEDBApp(address, default_columns=["id", "formula", SORT, "ionicity", "screen_tag"])
    client = app.test_client()
    last = -(-n_rows // PAGE_SIZE)
    deep = min(DEEP_PAGE, max(1, last - 1))  # page 1,000 where there is one
    cases = [
        ("first page, ascending", f"/?sort={SORT}", TARGET_FIRST_MS),
        ("first page, descending", f"/?sort=-{SORT}", TARGET_FIRST_MS),
        (f"page {deep}", f"/?sort={SORT}&page={deep}", TARGET_DEEP_MS),
        (f"page {deep}, descending", f"/?sort=-{SORT}&page={deep}", TARGET_DEEP_MS),
        (f"page {deep + 1} by its Next link", None, TARGET_DEEP_MS),
        (f"last page ({last})", f"/?sort={SORT}&page={last}", None),
        ("first page after a write", f"/?sort={SORT}", TARGET_FIRST_MS),
    ]
    writer = ase.db.connect(address)

    def write_one():  # as a screening run does meanwhile: the row count is read anew
        writer.write(bulk("C", "diamond", a=3.57), **KEYS)

    client.get("/", query_string={"sort": SORT})  # warm-up: connection, templates
    print(f"{label} ({os.path.dirname(ferrolith.data.db.__file__)}):")
    html = ""
    for name, query, target in cases:
        if query is None:  # the link of the page before, as a visitor follows it
            found = re.search(r'id="next" href="([^"]+)"', html)
            query = found.group(1).replace("&amp;", "&")
        after_write = name.endswith("after a write")
        median, worst, html = timed(client, query, repeats, write_one if after_write else None)
        verdict = "" if target is None else ("  met" if worst <= target else "  NOT met")
        limit = "" if target is None else f"  (target <= {target:.0f} ms)"
        print(f"  {name:30s} median {median:8.1f} ms  slowest {worst:8.1f} ms{limit}{verdict}")


def drop_sort_indexes(db, postgres):
    with db.managed_connection() as con:
        cur = con.cursor()
        if postgres:
            cur.execute("SELECT indexname FROM pg_indexes WHERE indexname LIKE 'ferrolith_sort%'")
        else:
            cur.execute("SELECT name FROM sqlite_master WHERE name LIKE 'ferrolith_sort%'")
        for (name,) in cur.fetchall():
            cur.execute(f'DROP INDEX "{name}"')


def load(address, seconds, connections, label):
    """wrk against the production server on loopback: page 50 sorted by the key."""
    import subprocess
    import sys

    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from bench_vitrine import free_port, report, run_wrk, wait_for

    port = free_port()
    env = dict(os.environ, FERROLITH_VITRINE_RATE_LIMIT="1000000 per second")
    command = [sys.executable, "-m", "ferrolith", "vitrine", address]
    server = subprocess.Popen(
        [*command, "--host", "127.0.0.1", "--port", str(port), "--columns", "formula", SORT],
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.STDOUT,
    )
    try:
        wait_for(port, server)
        url = f"http://127.0.0.1:{port}/?sort={SORT}&page=50"
        subprocess.run(["wrk", "-t1", "-c4", "-d1s", url], check=True, capture_output=True)
        figures = run_wrk(url, seconds, connections)
    finally:
        server.terminate()
        server.wait(timeout=30)
    print(f"  wrk, {connections} connections, {seconds} s, page 50 sorted by {SORT} ({label}):")
    report("    page 50", figures)


def run(address, n_rows, repeats, mode, postgres_url=None, wrk=0, connections=32):
    db = ase.db.connect(address)
    drop_sort_indexes(db, postgres_url is not None)
    if mode in ("before", "both"):
        measure(address, n_rows, repeats, "without the sort index")
        if wrk:
            load(address, wrk, connections, "without the sort index")
    if mode == "before":
        return
    from ferrolith.data.db import create_sort_index

    started = time.perf_counter()
    create_sort_index(db, SORT)
    print(f"create_sort_index: {time.perf_counter() - started:.1f} s")
    if postgres_url:
        vacuum(postgres_url)
    measure(address, n_rows, repeats, "with the sort index")
    if wrk:
        load(address, wrk, connections, "with the sort index")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--postgres", help="administrator URL of a PostgreSQL server")
    parser.add_argument("--no-sqlite", action="store_true", help="measure PostgreSQL only")
    parser.add_argument(
        "--mode",
        choices=["after", "before", "both"],
        default="after",
        help="measure with the sort index (after), without it only (before: also for a "
        "viewer that predates create_sort_index), or both",
    )
    parser.add_argument("--keep", help="keep the databases (SQLite file in this folder)")
    parser.add_argument(
        "--wrk", type=int, default=0, metavar="SECONDS", help="also load page 50 with wrk"
    )
    parser.add_argument("--connections", type=int, default=32, help="wrk connections")
    args = parser.parse_args()
    print(f"machine: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}")

    if not args.no_sqlite:
        folder = args.keep or tempfile.mkdtemp(prefix="bench-vitrine-sort-")
        path = os.path.join(folder, f"screened-{args.rows}.db")
        try:
            if not os.path.exists(path):
                seconds = build(ase.db.connect(path), args.rows, postgres=False)
                print(f"SQLite: {args.rows} rows written in {seconds:.1f} s")
            run(
                path, args.rows, args.repeats, args.mode, wrk=args.wrk, connections=args.connections
            )
        finally:
            if not args.keep:
                shutil.rmtree(folder, ignore_errors=True)

    if args.postgres:
        import psycopg2

        name = f"bench_vitrine_sort_{args.rows}"
        admin = psycopg2.connect(args.postgres)
        admin.autocommit = True
        url = args.postgres.rsplit("/", 1)[0] + "/" + name
        cur = admin.cursor()
        cur.execute("SELECT 1 FROM pg_database WHERE datname = %s", (name,))
        exists = cur.fetchone() is not None
        try:
            if not (exists and args.keep):
                cur.execute(f"DROP DATABASE IF EXISTS {name} WITH (FORCE)")
                cur.execute(f"CREATE DATABASE {name}")
                seconds = build(ase.db.connect(url), args.rows, postgres=True)
                print(f"PostgreSQL: {args.rows} rows written in {seconds:.1f} s")
                vacuum(url)
            run(
                url,
                args.rows,
                args.repeats,
                args.mode,
                postgres_url=url,
                wrk=args.wrk,
                connections=args.connections,
            )
        finally:
            if not args.keep:
                cur.execute(f"DROP DATABASE IF EXISTS {name} WITH (FORCE)")
            admin.close()


if __name__ == "__main__":
    main()
