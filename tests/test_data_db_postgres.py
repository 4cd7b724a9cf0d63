"""The database application on a real PostgreSQL server (started by ./dev test)."""

import io
import os
import re
import uuid

import numpy as np
import pytest
from _vitrine import write_structures
from ase.build import bulk
from ase.db import connect
from ase.io import read

from ferrolith.data.db import ASEDBApp, create_sort_index

ADMIN_URL = os.environ.get("FERROLITH_TEST_POSTGRES")

pytestmark = pytest.mark.skipif(
    not ADMIN_URL, reason="FERROLITH_TEST_POSTGRES (a PostgreSQL server URL) is not set"
)


@pytest.fixture(scope="module")
def url():
    psycopg2 = pytest.importorskip("psycopg2")
    name = "vitrine_" + uuid.uuid4().hex[:12]
    admin = psycopg2.connect(ADMIN_URL)
    admin.autocommit = True
    admin.cursor().execute(f"CREATE DATABASE {name}")
    database_url = ADMIN_URL.rsplit("/", 1)[0] + "/" + name
    write_structures(connect(database_url), extra_rows=30)
    yield database_url
    admin.cursor().execute(f"DROP DATABASE {name} WITH (FORCE)")
    admin.close()


@pytest.fixture(scope="module")
def oracle(url):
    return connect(url)


@pytest.fixture(scope="module")
def client(url):
    app = ASEDBApp(url, default_columns=["id", "formula", "energy", "band_gap", "label"])
    return app.test_client()


def ids(client, **args):
    response = client.get("/api/rows", query_string=args)
    assert response.status_code == 200, response.get_json()
    return [row["id"] for row in response.get_json()["rows"]]


class TestPostgres:
    @pytest.mark.parametrize("query", ["", "Si", "band_gap>0.5", "label=salt", "Al,series<10"])
    def test_search_matches_ase(self, client, oracle, query):
        assert ids(client, q=query, limit=200) == [row.id for row in oracle.select(query)]

    @pytest.mark.parametrize("sort", ["-energy", "band_gap", "-label", "natoms"])
    def test_pages_cover_every_row_once(self, client, oracle, sort):
        seen = [i for page in range(1, 9) for i in ids(client, sort=sort, limit=6, page=page)]
        assert sorted(seen) == sorted(row.id for row in oracle.select())
        key = sort.lstrip("-")
        values = [v for v in (oracle.get(id=i).get(key) for i in seen) if v is not None]
        assert values == sorted(values, reverse=sort.startswith("-"))

    def test_sort_index_and_cursor_pages(self, client, oracle):
        # Written by create_sort_index, then paged by number and by cursor.
        before = [ids(client, sort="-band_gap", limit=6, page=p) for p in range(1, 9)]
        create_sort_index(oracle, "band_gap")
        create_sort_index(oracle, "band_gap")
        with oracle.managed_connection() as con:
            cur = con.cursor()
            cur.execute("SELECT indexdef FROM pg_indexes WHERE indexdef LIKE '%band_gap%'")
            assert len(cur.fetchall()) == 1
        assert [ids(client, sort="-band_gap", limit=6, page=p) for p in range(1, 9)] == before
        html = client.get("/", query_string={"sort": "-band_gap", "limit": 6}).get_data(True)
        link = re.search(r'id="next" href="([^"]+)"', html).group(1).replace("&amp;", "&")
        assert "after=" in link
        second = client.get(link).get_data(as_text=True)
        assert [int(i) for i in re.findall(r'<tr data-id="(\d+)"', second)] == before[1]
        total = client.get("/api/rows", query_string={"sort": "band_gap"}).get_json()["total"]
        new = oracle.write(bulk("Ge"), band_gap=9.0)
        try:  # the remembered row count follows a write by another connection
            after = client.get("/api/rows", query_string={"sort": "band_gap"}).get_json()
            assert after["total"] == total + 1
        finally:
            oracle.delete([new])

    def test_row_page_and_download(self, client, oracle):
        row = oracle.get(label="silicon")
        html = client.get(f"/row/{row.id}").get_data(as_text=True)
        assert "Si<sub>8</sub>" in html and "silicon" in html
        text = client.get(f"/row/{row.id}/download/xyz").get_data(as_text=True)
        atoms = read(io.StringIO(text), format="extxyz")
        assert np.allclose(atoms.positions, row.positions)
        assert client.get(f"/api/rows/{row.id}").get_json()["data"]["dos"][-1] == 1.0

    @pytest.mark.parametrize("query", ["x'y=1", "a'||pg_sleep(1)||'=1", "natoms=abc"])
    def test_malformed_queries(self, client, query):
        response = client.get("/api/rows", query_string={"q": query})
        assert response.status_code == 400

    def test_server_cannot_write(self, url, oracle):
        import psycopg2

        app = ASEDBApp(url)
        before = oracle.count()
        with pytest.raises(psycopg2.errors.ReadOnlySqlTransaction):
            app.database().write(bulk("Cu"))
        assert oracle.count() == before

    def test_reconnects_after_the_server_drops_the_connection(self, url):
        import psycopg2

        client = ASEDBApp(url).test_client()
        assert client.get("/api/rows").status_code == 200
        admin = psycopg2.connect(ADMIN_URL)
        admin.autocommit = True
        admin.cursor().execute(
            "SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
            "WHERE datname = %s AND pid <> pg_backend_pid()",
            (url.rsplit("/", 1)[1],),
        )
        admin.close()
        assert client.get("/api/rows").status_code == 500  # the dropped connection
        assert client.get("/api/rows").status_code == 200  # a new one

    def test_empty_database_is_refused_untouched(self):
        import psycopg2

        name = "vitrine_empty_" + uuid.uuid4().hex[:8]
        admin = psycopg2.connect(ADMIN_URL)
        admin.autocommit = True
        admin.cursor().execute(f"CREATE DATABASE {name}")
        try:
            with pytest.raises(ValueError, match="not a readable ASE database"):
                ASEDBApp(ADMIN_URL.rsplit("/", 1)[0] + "/" + name)
            with psycopg2.connect(ADMIN_URL.rsplit("/", 1)[0] + "/" + name) as con:
                cur = con.cursor()
                cur.execute(
                    "SELECT count(*) FROM information_schema.tables WHERE table_schema = 'public'"
                )
                assert cur.fetchone()[0] == 0
        finally:
            admin.cursor().execute(f"DROP DATABASE {name} WITH (FORCE)")
            admin.close()
