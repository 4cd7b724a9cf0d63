"""Screening databases on Dask: results equal a serial loop, nothing lost or doubled."""

import os
import signal
import subprocess
import sys
import threading
import time
import uuid

import pytest
from ase.db import connect

distributed = pytest.importorskip("distributed")

from ferrolith.data import screen  # noqa: E402
from ferrolith.data.db import ASEDBApp  # noqa: E402
from ferrolith.optimization import get_calculator, optimize_structure  # noqa: E402
from ferrolith.properties.bondvick import (  # noqa: E402
    SimunekHardnessCalculator,
    first_shell_cutoff,
)

POSTGRES = os.environ.get("FERROLITH_TEST_POSTGRES")
TERSOFF = screen._potential_path("tersoff")


def serial(atoms, relax):
    """The screening of one structure, written out as a plain loop body."""
    expected = {}
    if relax:
        atoms = atoms.copy()
        atoms.calc = get_calculator(TERSOFF)
        atoms = optimize_structure(atoms, fmax=0.05, steps=1000, trajectory=None)
        expected["energy_per_atom"] = atoms.get_potential_energy() / len(atoms)
    rcut = first_shell_cutoff(atoms)
    outcome = SimunekHardnessCalculator()._calculate_hardness(atoms, rcut=rcut)
    expected.update(hardness_simunek=outcome["hardness"], ionicity=outcome["ionicity_factor"])
    return {**expected, "rcut": rcut}


def results(row):
    return {k: row[k] for k in screen.RESULT_KEYS if k in row and k != "screen_tag"}


def assert_serial_equality(db, relax, count):
    rows = list(db.select())
    assert len(rows) == count
    for row in rows:
        assert results(row) == serial(row.toatoms(), relax), row.id


@pytest.fixture(scope="module")
def cluster():
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, dashboard_address=":0"
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


@pytest.fixture(scope="module")
def postgres():
    psycopg2 = pytest.importorskip("psycopg2")
    if not POSTGRES:
        pytest.skip("FERROLITH_TEST_POSTGRES (a PostgreSQL server URL) is not set")
    name = "screen_" + uuid.uuid4().hex[:12]
    admin = psycopg2.connect(POSTGRES)
    admin.autocommit = True
    admin.cursor().execute(f"CREATE DATABASE {name}")
    yield POSTGRES.rsplit("/", 1)[0] + "/" + name
    admin.cursor().execute(f"DROP DATABASE {name} WITH (FORCE)")
    admin.close()


class TestScreening:
    def test_two_thousand_candidates_equal_a_serial_loop(self, tmp_path, cluster):
        path = str(tmp_path / "c.db")
        screen.generate_candidates(path, 2000, seed=1)
        db = connect(path)
        for row in db.select(limit=50):  # the generator's own promise
            host = screen._HOSTS[row.host]
            pristine = __import__("ase.build").build.bulk(*host[:2], a=host[2], cubic=True)
            changed = row.numbers != pristine.repeat((2, 1, 1)).numbers
            assert changed.sum() == row.substitutions
        summary = screen.screen_database(path, potential="none", client=cluster, progress=False)
        assert (summary.screened, summary.failed, summary.skipped) == (2000, 0, 0)
        assert_serial_equality(db, relax=False, count=2000)
        # The viewer shows the hardness column and sorts by it, ties by id.
        viewer = ASEDBApp(path).test_client()
        page = viewer.get("/api/rows?sort=-hardness_simunek&page=3&limit=50").get_json()
        assert "hardness_simunek" in page["columns"]
        ranked = sorted(db.select(), key=lambda row: (-row.hardness_simunek, row.id))[100:150]
        assert [row["id"] for row in page["rows"]] == [row.id for row in ranked]

    def test_worker_killed_mid_run(self, tmp_path, cluster):
        source = str(tmp_path / "c.db")
        screen.generate_candidates(source, 600, seed=2)
        dest = connect(str(tmp_path / "out.db"))
        written = []
        original = dest.write
        dest.write = lambda row, **kw: written.append(row.unique_id) or original(row, **kw)
        pids = list(cluster.run(os.getpid).values())
        killed_at = []

        def kill_one():
            deadline = time.monotonic() + 60
            while not written and time.monotonic() < deadline:
                time.sleep(0.01)
            os.kill(pids[0], signal.SIGKILL)
            killed_at.append(len(written))

        killer = threading.Thread(target=kill_one, daemon=True)
        killer.start()
        summary = screen.screen_database(
            source, into=dest, potential="none", client=cluster, batch=10, progress=False
        )
        killer.join()
        assert killed_at[0] < 600
        assert summary.screened == 600 and len(written) == len(set(written)) == 600
        assert_serial_equality(dest, relax=False, count=600)

    def test_relaxed_rows_and_a_failing_row(self, tmp_path, cluster):
        path = str(tmp_path / "c.db")
        screen.generate_candidates(path, 6, seed=3)
        db = connect(path)
        bad = db.write(__import__("ase").Atoms("C2", positions=[[0, 0, 0], [0, 0, 1.4]]))
        summary = screen.screen_database(path, client=cluster, batch=2, progress=False)
        assert (summary.screened, summary.failed) == (7, 1)
        assert db.get(id=bad).screen_error == "Unit cell volume is zero."
        db.delete([bad])
        assert_serial_equality(db, relax=True, count=6)

    def test_elastic_bulk_modulus_matches_an_equation_of_state(self, tmp_path, cluster):
        from ase.build import bulk
        from ase.eos import EquationOfState
        from ase.units import GPa

        db = connect(str(tmp_path / "c.db"))
        for name, a in (("C", 3.567), ("BN", 3.615)):
            kind = "diamond" if name == "C" else "zincblende"
            db.write(bulk(name, kind, a=a, cubic=True))
        screen.screen_database(db, elastic=True, client=cluster, progress=False)
        for row in db.select():
            crystal = row.toatoms()
            volumes, energies = [], []
            for scale in (0.98, 0.99, 1.0, 1.01, 1.02):
                strained = crystal.copy()
                strained.set_cell(crystal.cell * scale, scale_atoms=True)
                strained.calc = get_calculator(TERSOFF)
                volumes.append(strained.get_volume())
                energies.append(strained.get_potential_energy())
            eos_bulk = EquationOfState(volumes, energies).fit()[2] / GPa
            # 2 %: the cell is relaxed to fmax 0.05 eV/Å, about 1 GPa of stress.
            assert row.bulk_hill == pytest.approx(eos_bulk, rel=0.02)
            assert all(row[f"hardness_{m}"] > 0 for m in screen.MODULI_MODELS)

    def test_postgres(self, tmp_path, postgres, cluster):
        screen.generate_candidates(postgres, 200, seed=4)
        summary = screen.screen_database(postgres, potential="none", client=cluster, batch=16)
        assert summary.screened == 200
        assert_serial_equality(connect(postgres), relax=False, count=200)
        copy, query = str(tmp_path / "copy.db"), "substitutions>2"
        screen.screen_database(postgres, query, into=copy, client=cluster, progress=False)
        assert connect(copy).count("screen_tag") == connect(postgres).count(query)
        again = screen.screen_database(postgres, query, into=copy, client=cluster)
        assert (again.screened, again.skipped) == (0, connect(postgres).count(query))
        # A role that may only read is told to write elsewhere.
        admin = connect(postgres)
        with admin.managed_connection() as con:
            con.cursor().execute(
                "DROP ROLE IF EXISTS screen_reader; CREATE ROLE screen_reader LOGIN; "
                "GRANT SELECT ON ALL TABLES IN SCHEMA public TO screen_reader"
            )
        reader = postgres.replace("postgres@", "screen_reader@")
        with pytest.raises(PermissionError, match="give --into DEST"):
            screen.screen_database(reader, client=cluster, progress=False)


class TestInterrupted:
    def test_rerun_finishes_without_redoing_rows(self, tmp_path):
        path = str(tmp_path / "c.db")
        screen.generate_candidates(path, 1000, seed=5)
        command = [sys.executable, "-m", "ferrolith", "screen", path, "--potential", "none"]
        command += ["--workers", "2"]
        db = connect(path)
        with subprocess.Popen([*command, "--batch", "5"], stderr=subprocess.PIPE, text=True) as run:
            while db.count("screen_tag") < 10 and run.poll() is None:
                time.sleep(0.05)
            run.send_signal(signal.SIGINT)
            _, stderr = run.communicate(timeout=60)
        assert run.returncode == 130 and "Run the same screening again" in stderr, stderr
        done = {row.id: row.mtime for row in db.select("screen_tag")}
        assert 10 <= len(done) < 1000
        # Consistent: every row that has a tag has its results (or its error).
        assert db.count("screen_tag") == db.count("hardness_simunek") + db.count("screen_error")
        rerun = subprocess.run(command, capture_output=True, text=True, check=True)
        assert f"{len(done):,} already had results" in rerun.stdout
        assert db.count("hardness_simunek") == 1000
        assert {row.id: row.mtime for row in db.select("screen_tag") if row.id in done} == done


class TestBadInput:
    @pytest.fixture
    def candidates(self, tmp_path):
        path = str(tmp_path / "c.db")
        screen.generate_candidates(path, 3)
        return path

    @pytest.mark.parametrize(
        ("kwargs", "error", "message"),
        [
            ({"query": "natoms=many"}, ValueError, "Invalid query 'natoms=many'"),
            ({"scheduler": "tcp://127.0.0.1:9"}, ConnectionError, "Cannot reach the Dask"),
            ({"potential": "missing.tersoff"}, FileNotFoundError, "missing.tersoff"),
            ({"elastic": True, "potential": "none"}, ValueError, "need a potential"),
        ],
    )
    def test_refused_before_any_work(self, candidates, monkeypatch, kwargs, error, message):
        monkeypatch.setattr(screen, "SCHEDULER_TIMEOUT", 1.0)
        with pytest.raises(error, match=message):
            screen.screen_database(candidates, progress=False, **kwargs)
        assert connect(candidates).count("screen_tag") == 0

    def test_missing_database(self, tmp_path):
        with pytest.raises(FileNotFoundError, match="No database at"):
            screen.screen_database(str(tmp_path / "none.db"), progress=False)
        assert not (tmp_path / "none.db").exists()

    def test_read_only_source_asks_for_into(self, candidates, monkeypatch):
        monkeypatch.setattr(os, "access", lambda path, mode: mode != os.W_OK)
        with pytest.raises(PermissionError, match="give --into DEST"):
            screen.screen_database(candidates, progress=False)


def test_a_lone_atom_is_refused_not_given_a_hardness():
    # Its nearest neighbour is its own image 20 Å away: no bonds, no hardness
    # (the row then gets this message as screen_error).
    lone = __import__("ase").Atoms("C", cell=[20] * 3, pbc=True)
    with pytest.raises(ValueError, match="Atom 0 has no bonded neighbour"):
        screen.screen_structure(lone)
