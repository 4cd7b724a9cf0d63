"""The structure-database web application on SQLite files made here."""

import io
import re
import sqlite3

import flask
import numpy as np
import pytest
from _vitrine import file_digest, make_database
from ase.build import bulk
from ase.db import connect
from ase.io import read
from ase.neighborlist import neighbor_list

from ferrolith.data.db import DEFAULT_COLUMNS, ASEDBApp, create_sort_index

COLUMNS = ["id", "formula", "energy", "band_gap", "label", "natoms", "pbc", "volume"]


@pytest.fixture(scope="module")
def db_path(tmp_path_factory):
    return make_database(tmp_path_factory.mktemp("db") / "structures.db", extra_rows=60)


@pytest.fixture(scope="module")
def app(db_path):
    return ASEDBApp(db_path, name="project-x", title="Test structures", default_columns=COLUMNS)


@pytest.fixture
def client(app):
    return app.test_client()


@pytest.fixture(scope="module")
def oracle(db_path):
    """ASE's own view of the database."""
    return connect(db_path)


def text(client, path):
    with client.get(path) as response:  # closes the file a static response holds
        return response.get_data(as_text=True)


def api_ids(client, **args):
    response = client.get("/api/rows", query_string=args)
    assert response.status_code == 200, response.get_json()
    return [row["id"] for row in response.get_json()["rows"]]


class TestOpening:
    def test_missing_file(self, tmp_path):
        with pytest.raises(FileNotFoundError, match="No such database file"):
            ASEDBApp(str(tmp_path / "none.db"))
        assert not (tmp_path / "none.db").exists()

    @pytest.mark.parametrize("content", [b"", b"not a database at all"])
    def test_not_an_sqlite_file(self, tmp_path, content):
        path = tmp_path / "x.db"
        path.write_bytes(content)
        with pytest.raises(ValueError, match="not an SQLite database"):
            ASEDBApp(str(path))

    def test_foreign_sqlite_database_is_refused_unchanged(self, tmp_path):
        path = str(tmp_path / "other.db")
        with sqlite3.connect(path) as con:
            con.execute("CREATE TABLE things (x INTEGER)")
        before = file_digest(path)
        with pytest.raises(ValueError, match="not a readable ASE database"):
            ASEDBApp(path)
        assert file_digest(path) == before

    def test_database_cannot_be_written_through_the_app(self, app, db_path):
        from ase.build import bulk

        before = file_digest(db_path)
        with pytest.raises(sqlite3.OperationalError, match="readonly"):
            app.database().write(bulk("Cu"))
        assert file_digest(db_path) == before

    @pytest.mark.parametrize(
        "kwargs, error",
        [
            ({"default_columns": "energy"}, TypeError),
            ({"default_columns": ["id; drop"]}, ValueError),
            ({"templates": "/no/such/dir"}, NotADirectoryError),
            ({"static": "/no/such/dir"}, NotADirectoryError),
        ],
    )
    def test_bad_arguments(self, db_path, kwargs, error):
        with pytest.raises(error):
            ASEDBApp(db_path, **kwargs)


class TestColumns:
    def keys(self, app):
        return [c.key for c in app.columns]

    def test_chosen_columns_follow_the_id(self, db_path):
        assert self.keys(ASEDBApp(db_path, default_columns=["energy", "id", "label"])) == [
            "id",
            "energy",
            "label",
        ]
        assert self.keys(ASEDBApp(db_path, default_columns=[])) == ["id"]

    def test_database_defaults_then_standard_set(self, tmp_path, db_path):
        assert self.keys(ASEDBApp(db_path)) == list(DEFAULT_COLUMNS)
        path = make_database(tmp_path / "meta.db")
        db = connect(path)
        db.metadata = {"default_columns": ["id", "label", "band_gap"]}
        assert self.keys(ASEDBApp(path)) == ["id", "label", "band_gap"]

    def test_descriptions_from_metadata(self, app):
        gap = next(c for c in app.columns if c.key == "band_gap")
        assert (gap.label, gap.unit) == ("Band gap", "eV")


class TestListing:
    def test_page_shows_title_name_and_rows(self, client, oracle):
        html = client.get("/").get_data(as_text=True)
        assert "Test structures" in html and "project-x" in html
        assert f'<span id="total">{oracle.count()}</span>' in html
        assert html.count("<tr data-id=") == 25
        assert "Si<sub>8</sub>" in html

    def test_values_match_the_rows(self, client, oracle):
        response = client.get("/api/rows", query_string={"limit": 200})
        for values in response.get_json()["rows"]:
            row = oracle.get(id=values["id"])
            assert values["formula"] == row.formula
            assert values["natoms"] == row.natoms
            assert (
                values["energy"] == pytest.approx(row.get("energy"), abs=0)
                if "energy" in row
                else values["energy"] is None
            )
            assert values["band_gap"] == row.get("band_gap")
            assert values["label"] == row.get("label")
            assert values["pbc"] == "".join("T" if p else "F" for p in row.pbc)
            if row.pbc.any():
                assert values["volume"] == pytest.approx(row.volume)
            else:
                assert values["volume"] is None

    @pytest.mark.parametrize(
        "query",
        [
            "Si",
            "Si,natoms<9",
            "band_gap>0.5",
            "label=salt",
            "formula=NaCl",
            "energy<0",
            "-band_gap",
            "Al,series<10",
            "pbc=FFF",
            "O>=1",
        ],
    )
    def test_search_matches_ase(self, client, oracle, query):
        expected = [row.id for row in oracle.select(query)]
        assert api_ids(client, q=query, limit=200) == expected
        html = client.get("/", query_string={"q": query}).get_data(as_text=True)
        assert f'<span id="total">{len(expected)}</span>' in html

    @pytest.mark.parametrize(
        "sort",
        [
            "id",
            "-id",
            "energy",
            "-energy",
            "band_gap",
            "-band_gap",
            "label",
            "-label",
            "natoms",
            "volume",
            "-age",
            "series",
        ],
    )
    @pytest.mark.parametrize("query", ["", "Al"])
    def test_pages_cover_every_row_once_in_order(self, client, oracle, sort, query):
        key = sort.lstrip("-")
        pages = [api_ids(client, q=query, sort=sort, limit=7, page=p) for p in range(1, 13)]
        ids = [i for page in pages for i in page]
        expected = {row.id for row in oracle.select(query)}
        assert sorted(ids) == sorted(expected)  # nothing lost, nothing twice
        filled = [page for page in pages if page]
        assert all(len(page) == 7 for page in filled[:-1])
        attribute = {"age": "ctime"}.get(key, key)
        values = [oracle.get(id=i).get(attribute) for i in ids]
        present = [v for v in values if v is not None]
        assert values[: len(present)] == present  # rows without the value come last
        ordered = sorted(present, reverse=sort.startswith("-") != (key == "age"))
        assert present == ordered

    def test_sort_links_toggle(self, client):
        html = client.get("/", query_string={"sort": "energy"}).get_data(as_text=True)
        assert 'class="sort asc" data-key="energy"' in html
        assert re.search(r'href="/\?sort=-energy"', html)

    def test_page_beyond_the_last_is_empty(self, client):
        html = client.get("/", query_string={"page": 999}).get_data(as_text=True)
        assert "<tr data-id=" not in html and "No rows on this page" in html

    @pytest.mark.parametrize(
        "query",
        ["natoms=abc", "a=b=c", "pbc<TTT", "x'y=1", "energy<", "id=99999999999999999999999"],
    )
    def test_malformed_query(self, client, query):
        response = client.get("/", query_string={"q": query})
        assert response.status_code == 400
        assert "Malformed query" in response.get_data(as_text=True)
        assert client.get("/api/rows", query_string={"q": query}).status_code == 400

    @pytest.mark.parametrize(
        "args",
        [
            {"page": 0},
            {"page": "two"},
            {"limit": 0},
            {"limit": 201},
            {"sort": "formula"},
            {"sort": "a b"},
        ],
    )
    def test_bad_page_or_sort(self, client, args):
        assert client.get("/", query_string=args).status_code == 400


class TestRowPage:
    def test_contents(self, client, oracle):
        row = oracle.get(label="silicon")
        html = client.get(f"/row/{row.id}?q=Si&page=1").get_data(as_text=True)
        assert "Si<sub>8</sub>" in html
        assert "5.43000" in html and "α = 90.000°" in html
        assert "silicon" in html and "Kohn-Sham gap" in html
        assert "<code>dos</code>" in html and "array float64 30" in html
        assert html.count("<td>Si</td>") == 8
        assert 'id="back" href="/?q=Si"' in html
        assert f'data-scene="/row/{row.id}/scene.json"' in html

    def test_molecule_has_no_cell_downloads(self, client, oracle):
        row = oracle.get(formula="H2O")
        html = client.get(f"/row/{row.id}").get_data(as_text=True)
        assert "No cell." in html
        assert 'data-format="xyz"' in html and 'data-format="cif"' not in html
        assert client.get(f"/row/{row.id}/download/cif").status_code == 404

    @pytest.mark.parametrize(
        "path",
        ["/row/100000", "/row/99999999999999999999999", "/row/1/download/pdb", "/api/rows/100000"],
    )
    def test_missing(self, client, path):
        assert client.get(path).status_code == 404

    @pytest.mark.parametrize(
        "fmt, ase_format", [("cif", "cif"), ("poscar", "vasp"), ("xyz", "extxyz"), ("json", "json")]
    )
    @pytest.mark.parametrize("label", ["silicon", "salt", "copper"])
    def test_downloads_read_back(self, client, oracle, fmt, ase_format, label):
        row = oracle.get(label=label)
        response = client.get(f"/row/{row.id}/download/{fmt}")
        assert response.status_code == 200
        assert "attachment" in response.headers["Content-Disposition"]
        atoms = read(io.StringIO(response.get_data(as_text=True)), format=ase_format)
        expected = row.toatoms()
        assert list(atoms.numbers) == list(expected.numbers)
        assert np.allclose(atoms.cell.cellpar(), expected.cell.cellpar(), atol=1e-4)
        assert np.allclose(
            atoms.get_scaled_positions() % 1.0, expected.get_scaled_positions() % 1.0, atol=1e-4
        )

    def test_api_row(self, client, oracle):
        row = oracle.get(label="silicon")
        record = client.get(f"/api/rows/{row.id}").get_json()
        assert np.allclose(record["positions"], row.positions)
        assert record["key_value_pairs"] == {"band_gap": 1.12, "label": "silicon"}
        assert np.allclose(record["data"]["dos"], np.linspace(0.0, 1.0, 30))
        assert record["energy"] == -43.4 and record["pbc"] == [True, True, True]

    def test_scene_bonds_of_diamond(self, client, oracle):
        row = oracle.get(label="silicon")
        scene = client.get(f"/row/{row.id}/scene.json").get_json()
        assert len(scene["positions"]) == 8 and len(scene["colors"]) == 8
        lengths = [np.linalg.norm(b[1:]) for b in scene["bonds"]]
        # four neighbours per atom at a√3/4, counted from both ends
        assert len(lengths) == 32
        assert np.allclose(lengths, 5.43 * 3**0.5 / 4, atol=1e-3)
        assert len(neighbor_list("i", row.toatoms(), 2.5)) == 32

    def test_picture(self, client, oracle):
        row = oracle.get(label="copper")
        response = client.get(f"/row/{row.id}/picture.svg")
        assert response.mimetype == "image/svg+xml"
        svg = response.get_data(as_text=True)
        assert svg.count("<circle") == row.natoms and svg.count("<line") == 12
        again = client.get(
            f"/row/{row.id}/picture.svg", headers={"If-None-Match": response.headers["ETag"]}
        )
        assert again.status_code == 304


class TestOverrides:
    def test_template_and_static_override(self, tmp_path, db_path):
        templates = tmp_path / "templates"
        static = tmp_path / "static"
        templates.mkdir()
        static.mkdir()
        (templates / "error.html").write_text("custom error {{ code }}")
        (static / "vitrine.css").write_text("body { color: red }")
        (static / "logo.txt").write_text("logo")
        client = ASEDBApp(db_path, templates=str(templates), static=str(static)).test_client()
        assert text(client, "/static/vitrine.css") == "body { color: red }"
        assert text(client, "/static/logo.txt") == "logo"
        assert "three.js" in text(client, "/static/THREE_LICENSE.txt")
        assert "THREE.OrbitControls" in text(client, "/static/viewer.js")
        assert "Search" in text(client, "/")  # the built-in table page
        assert text(client, "/row/100000") == "custom error 404"


class TestServers:
    @pytest.mark.parametrize(
        "host, debugger",
        [
            ("0.0.0.0", False),
            ("192.168.1.5", False),
            ("example.org", False),
            ("127.0.0.1", True),
            ("127.0.0.2", True),
            ("::1", True),
            ("localhost", True),
        ],
    )
    def test_debugger_only_on_loopback(self, monkeypatch, app, host, debugger):
        seen = {}
        monkeypatch.setattr(flask.Flask, "run", lambda self, **kw: seen.update(kw))
        app.run(host=host, port=5000, debug=True, use_debugger=True)
        assert seen["use_debugger"] is debugger
        assert seen["use_reloader"] is True and seen["debug"] is True
        assert (seen["host"], seen["port"]) == (host, 5000)

    def test_run_server_uses_waitress_with_threads(self, monkeypatch, app):
        import waitress

        seen = {}
        monkeypatch.setattr(waitress, "serve", lambda app_, **kw: seen.update(kw, app=app_))
        app.run_server(host="127.0.0.1", port=8123)
        assert seen["app"] is app
        assert (seen["host"], seen["port"]) == ("127.0.0.1", 8123)
        assert seen["threads"] >= 4


class TestHeadersAndMessages:
    def test_every_offered_sort_answers(self, db_path):
        keys = [*DEFAULT_COLUMNS, "unique_id", "age", "user", "calculator", "smax", "label"]
        client = ASEDBApp(db_path, default_columns=keys).test_client()
        html = client.get("/").get_data(as_text=True)
        head = html[html.index("<thead>") : html.index("</thead>")]
        offered = re.findall(r'data-key="([^"]+)"', head)
        assert "formula" not in offered and "unique_id" not in offered
        assert set(offered) == set(keys) - {"formula", "unique_id"}
        for key in offered:
            for sort in (key, "-" + key):
                assert client.get("/", query_string={"sort": sort}).status_code == 200, sort

    @pytest.mark.parametrize("query", ["a=b=c", "natoms=abc", "pbc<TTT", "Si,energy<"])
    def test_malformed_query_gets_plain_words_and_help(self, client, query):
        html = client.get("/", query_string={"q": query}).get_data(as_text=True)
        alert = re.search(r'<p class="error" role="alert">(.*?)</p>', html).group(1)
        assert "unpack" not in alert and "literal" not in alert
        assert "separated by commas" in alert
        assert '<details class="help" open>' in html
        message = client.get("/api/rows", query_string={"q": query}).get_json()["error"]
        assert "separated by commas" in message and "unpack" not in message


class TestSortIndex:
    """create_sort_index, and paging by a key-value pair across all rows."""

    @pytest.fixture
    def mixed(self, tmp_path):
        # A key with numbers, a NaN, texts and rows without it: every row must
        # appear exactly once, the numbers first in order (ties by id).
        path = str(tmp_path / "mixed.db")
        db = connect(path)
        values = [2.0, 1.0, None, 2.0, "text", float("nan"), 0.5, None, 1.0, "word", 2.0]
        with db:
            for value in values:
                db.write(bulk("Si"), **({} if value is None else {"score": value}))
        return path, values

    @pytest.mark.parametrize("query", ["", "Si"])
    def test_pages_cover_each_row_once(self, mixed, query):
        path, values = mixed
        create_sort_index(connect(path), "score")
        client = ASEDBApp(path, default_columns=["score"]).test_client()
        for sort, reverse in (("score", False), ("-score", True)):
            pages = [api_ids(client, q=query, sort=sort, limit=3, page=p) for p in range(1, 5)]
            ids = [i for page in pages for i in page]
            assert sorted(ids) == list(range(1, len(values) + 1))
            numbers = [(v, i + 1) for i, v in enumerate(values) if isinstance(v, float) and v == v]
            ordered = sorted(numbers, key=lambda p: (-p[0] if reverse else p[0], p[1]))
            assert ids[: len(ordered)] == [i for _, i in ordered]
            assert ids[len(ordered) :] == sorted(ids[len(ordered) :])

    @pytest.mark.parametrize("sort", ["band_gap", "-band_gap", "label"])
    def test_next_and_previous_links_walk_the_pages(self, client, sort):
        # The links carry cursors; walking them must meet the numbered pages.
        numbered = [api_ids(client, sort=sort, limit=6, page=p) for p in range(1, 13)]
        numbered = [page for page in numbered if page]
        url, walked, used_cursor = f"/?sort={sort}&limit=6", [], False
        for _ in range(len(numbered)):
            html = text(client, url)
            walked.append([int(i) for i in re.findall(r'<tr data-id="(\d+)"', html)])
            link = re.search(r'id="next" href="([^"]+)"', html)
            if link is None:
                break
            url = link.group(1).replace("&amp;", "&")
            used_cursor |= "after=" in url
        assert walked == numbered
        assert used_cursor or sort == "label"  # only 4 rows have a label
        for page in range(len(numbered) - 1, 0, -1):
            url = re.search(r'id="prev" href="([^"]+)"', text(client, url)).group(1)
            url = url.replace("&amp;", "&")
            ids = [int(i) for i in re.findall(r'<tr data-id="(\d+)"', text(client, url))]
            assert ids == numbered[page - 1], (page, url)

    def test_totals_follow_writes_by_others(self, mixed):
        # The viewer remembers its row count; another writer must still show.
        path, _ = mixed
        client = ASEDBApp(path, default_columns=["score"]).test_client()
        writer = connect(path)
        for sort in ("score", "id", "-score"):
            total = client.get("/api/rows", query_string={"sort": sort}).get_json()["total"]
            assert total == writer.count()
            new = writer.write(bulk("Ge"), score=9.0)
            assert (
                client.get("/api/rows", query_string={"sort": sort}).get_json()["total"]
                == total + 1
            )
            writer.delete([new])
            assert client.get("/api/rows", query_string={"sort": sort}).get_json()["total"] == total

    def test_index_is_made_once_and_used(self, db_path, tmp_path):
        path = str(tmp_path / "copy.db")
        with open(db_path, "rb") as src, open(path, "wb") as dst:
            dst.write(src.read())
        db = connect(path)
        create_sort_index(db, "band_gap")
        create_sort_index(db, "band_gap")
        create_sort_index(db, "label")
        with sqlite3.connect(path) as con:
            names = {r[0] for r in con.execute("SELECT name FROM sqlite_master WHERE type='index'")}
            plan = " ".join(
                str(r[-1])
                for r in con.execute(
                    "EXPLAIN QUERY PLAN SELECT id FROM number_key_values WHERE key = 'band_gap' "
                    "AND value IS NOT NULL ORDER BY value, id LIMIT 5 OFFSET 10"
                )
            )
        assert len({n for n in names if "band_gap" in n or "label" in n}) == 2
        assert "band_gap" in plan and "TEMP B-TREE" not in plan
        assert db.count() == connect(db_path).count()
        with pytest.raises(ValueError, match="invalid key name"):
            create_sort_index(db, "x'; DROP TABLE systems; --")


class TestDamagedRows:
    @pytest.fixture(scope="class")
    @classmethod
    def damaged(cls, tmp_path_factory):
        path = str(tmp_path_factory.mktemp("damaged") / "damaged.db")
        db = connect(path)
        flat = bulk("Si")
        flat.cell = [[3.0, 0, 0], [6.0, 0, 0], [0, 0, 3.0]]  # three vectors, no volume
        db.write(bulk("Si"), label="sound", band_gap=1.0)
        db.write(flat, label="flat", band_gap=2.0)
        db.write(bulk("Si"), label="garbled", band_gap=3.0)
        with sqlite3.connect(path) as con:
            con.execute("""UPDATE systems SET key_value_pairs = '{"label": "garb' WHERE id = 3""")
        return ASEDBApp(path, default_columns=["label", "band_gap", "volume"]).test_client()

    @pytest.mark.parametrize("path", ["/", "/?sort=band_gap", "/?sort=-label", "/api/rows"])
    def test_table_pages_stay_up(self, damaged, path):
        response = damaged.get(path)
        assert response.status_code == 200
        text = response.get_data(as_text=True)
        assert "sound" in text and "flat" in text
        if path.startswith("/api"):
            assert response.get_json()["unreadable"] == [3]
        else:
            assert '<tr data-id="3" class="broken"' in text and "unreadable" in text

    @pytest.mark.parametrize(
        "row, path, status",
        [
            (2, "", 200),
            (2, "/picture.svg", 200),
            (2, "/scene.json", 200),
            (2, "/download/xyz", 200),
            (2, "/download/cif", 404),
            (3, "", 200),
            (3, "/download/json", 200),
            (3, "/picture.svg", 200),
        ],
    )
    def test_row_pages_render_what_they_can(self, damaged, row, path, status):
        assert damaged.get(f"/row/{row}{path}").status_code == status
        assert damaged.get(f"/api/rows/{row}").status_code == 200

    def test_broken_parts_are_named(self, damaged):
        assert "The cell is singular" in damaged.get("/row/2").get_data(as_text=True)
        assert "key-value pairs of this row cannot be read" in damaged.get("/row/3").get_data(
            as_text=True
        )


class TestRequestDetails:
    @pytest.mark.parametrize(
        "path, status",
        [
            ("/row/\u0661", 404),
            ("/api/rows/\u0661", 404),
            ("/?page=\u0661", 400),
            ("/?limit=\uff12\uff15", 400),
            ("/?page=1_0", 400),
            ("/?page=%202", 400),
        ],
    )
    def test_ascii_digits_only(self, client, path, status):
        assert client.get(path).status_code == status

    @pytest.mark.parametrize("cursor", ["after=1:e", "after=x:1", "before=2:nan", "after=1:"])
    def test_unusable_cursors_are_ignored(self, client, cursor):
        plain = client.get("/?sort=band_gap&page=2&limit=5")
        response = client.get(f"/?sort=band_gap&page=2&limit=5&{cursor}")
        assert response.status_code == 200
        rows = re.compile(r'<tr data-id="(\d+)"')
        assert rows.findall(response.get_data(as_text=True)) == rows.findall(plain.get_data(True))

    def test_redirects_are_relative(self, client):
        response = client.get("/static//vitrine.css", headers={"Host": "evil.example"})
        assert 300 <= response.status_code < 400
        location = response.headers["Location"]
        assert location.startswith("/") and not location.startswith("//")
        assert "evil" not in location
