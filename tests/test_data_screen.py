"""Screening databases on Dask: results equal a serial loop, nothing lost or doubled;
stability beside hardness, stored structures that give the stored results."""

import os
import signal
import socket
import subprocess
import sys
import threading
import time
import uuid

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk
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
    own = ("screen_tag", "formation_energy", "e_above_hull")
    return {k: row[k] for k in screen.RESULT_KEYS if k in row and k not in own}


def initial(row):
    return (
        Atoms(**row.data["initial_structure"]) if "initial_structure" in row.data else row.toatoms()
    )


def assert_serial_equality(db, relax, count):
    rows = list(db.select())
    assert len(rows) == count
    for row in rows:
        assert results(row) == serial(initial(row), relax), row.id


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
    def test_a_thousand_candidates_equal_a_serial_loop(self, tmp_path, cluster):
        path = str(tmp_path / "c.db")
        assert screen.generate_candidates(path, 1000, seed=1) == 1000
        db = connect(path)
        for row in db.select(limit=50):  # the generator's own promise
            host = screen._HOSTS[row.host]
            pristine = __import__("ase.build").build.bulk(*host[:2], a=host[2], cubic=True)
            changed = row.numbers != pristine.repeat((2, 1, 1)).numbers
            assert changed.sum() == row.substitutions
        summary = screen.screen_database(path, potential="none", client=cluster, progress=False)
        assert (summary.screened, summary.failed, summary.skipped) == (1000, 0, 0)
        assert_serial_equality(db, relax=False, count=1000)
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
        summary = screen.screen_database(
            path, potential="tersoff", client=cluster, batch=2, progress=False
        )
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
        screen.screen_database(
            db, potential="tersoff", elastic=True, client=cluster, progress=False
        )
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
        options = {"into": copy, "potential": "tersoff", "client": cluster}
        screen.screen_database(postgres, query, progress=False, **options)
        assert connect(copy).count("screen_tag") == connect(postgres).count(query)
        again = screen.screen_database(postgres, query, **options)
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


def layered(symbols_by_layer):
    """The 8-atom cubic diamond cell with two atoms in each (001) layer."""
    cell = bulk("C", "diamond", a=3.6, cubic=True)
    layers = np.rint(cell.get_scaled_positions()[:, 2] * 4).astype(int) % 4
    symbols = np.empty(8, dtype=object)
    symbols[np.lexsort((cell.positions[:, 0], layers))] = list("".join(symbols_by_layer))
    cell.symbols = list(symbols)
    return cell


@pytest.fixture(scope="module")
def screened(tmp_path_factory, cluster):
    """Known phases and candidates screened with the default potential into a copy."""
    folder = tmp_path_factory.mktemp("stability")
    source, dest = str(folder / "in.db"), str(folder / "out.db")
    db = connect(source)
    diamond = bulk("C", "diamond", a=3.567, cubic=True)
    ids = {
        "diamond": db.write(diamond),
        "c-BN": db.write(bulk("BN", "zincblende", a=3.615, cubic=True)),
        # B-N, B-C, N-C and C-C bonds only; and BN bonded B-B and N-N.
        "BC2N": db.write(layered(["CC", "CC", "BB", "NN"])),
        "homopolar": db.write(layered(["BB", "BB", "NN", "NN"])),
        # Diamond again, as a rotated and shifted supercell.
        "copy": db.write(diamond.repeat((1, 2, 1))),
    }
    moved = db.get_atoms(id=ids["copy"])
    moved.rotate(90, "z", rotate_cell=True)
    moved.translate([0.3, 0.2, 0.1])
    db.update(ids["copy"], atoms=moved)
    screen.generate_candidates(source, 6, seed=7)
    before = {row.id: (row.positions.copy(), row.key_value_pairs) for row in db.select()}
    summary = screen.screen_database(source, into=dest, client=cluster, batch=2, progress=False)
    # The copies' ids, through ASE's unique_id.
    copies = {row.unique_id: row.id for row in connect(dest).select()}
    ids = {name: copies[db.get(id=i).unique_id] for name, i in ids.items()}
    return summary, before, ids, connect(source), connect(dest)


class TestStability:
    def test_the_source_is_untouched(self, screened):
        _, before, _, source, _ = screened
        for row in source.select():
            positions, pairs = before[row.id]
            assert np.array_equal(row.positions, positions) and row.key_value_pairs == pairs

    def test_ranking_among_phases_near_the_hull(self, screened):
        summary, _, ids, _, dest = screened
        rows = {row.id: row for row in dest.select()}
        named = {name: rows[i] for name, i in ids.items()}
        assert (
            summary.screened == len(rows) == 11
            and summary.failed == 0
            and all(row.e_above_hull >= 0 for row in rows.values())
        )
        assert named["diamond"].e_above_hull <= 0.2 and named["c-BN"].e_above_hull <= 0.2
        line = (named["diamond"].energy_per_atom + named["c-BN"].energy_per_atom) / 2
        assert 0.1 < named["BC2N"].energy_per_atom - line < 0.8
        assert named["homopolar"].e_above_hull >= named["BC2N"].e_above_hull + 0.3
        stable = [row for row in rows.values() if row.e_above_hull <= 0.2]
        hardest = max(stable, key=lambda row: row.hardness_simunek)
        assert hardest.hardness_simunek == named["diamond"].hardness_simunek
        assert len(stable) < len(rows)

    def test_viewer_ranks_phases_near_the_hull(self, screened):
        _, _, _, _, dest = screened
        query = {"q": "e_above_hull<0.1", "sort": "-hardness_simunek", "limit": 50}
        page = ASEDBApp(dest.filename).test_client().get("/api/rows", query_string=query)
        page = page.get_json()
        assert {"e_above_hull", "formation_energy"} <= set(page["columns"])
        near = sorted(dest.select("e_above_hull<0.1"), key=lambda r: (-r.hardness_simunek, r.id))
        assert [row["id"] for row in page["rows"]] == [row.id for row in near] != []

    def test_stored_hull_agrees_with_the_stored_rows(self, screened):
        # Written over several transactions, the values equal one hull of
        # every row and reference stored.
        _, _, _, _, dest = screened
        state = next(iter(dest.metadata["screen_hulls"].values()))
        rows = list(dest.select("formation_energy"))
        points = [[*r["x"], r["enthalpy_per_atom"]] for r in state["references"].values()]
        points += [
            [np.mean(row.numbers == 5), np.mean(row.numbers == 6), row.energy_per_atom]
            for row in rows
        ]
        formation, above = screen.convex_hull_energies(points, state["chemical_potentials"])
        n = len(state["references"])
        assert [row.formation_energy for row in rows] == pytest.approx(formation[n:], abs=1e-9)
        assert [row.e_above_hull for row in rows] == pytest.approx(above[n:], abs=1e-9)
        assert min(above) == 0 and np.count_nonzero(above[:n] < 1e-9) >= 3

    def test_stored_structures_give_the_stored_hardness(self, screened, tmp_path, capsys):
        import json

        from ase.io import write

        from ferrolith.cli import main

        _, _, _, _, dest = screened
        rows = list(dest.select())
        files = []
        for row in rows:
            files.append(str(tmp_path / f"{row.id}.vasp"))
            write(files[-1], row.toatoms(), format="vasp", direct=True)
            formula = row.toatoms().get_chemical_formula(empirical=True)
            assert initial(row).get_chemical_formula(empirical=True) == formula
        assert main(["hardness", "--json", *files]) == 0
        given = [entry["hardness"] for entry in json.loads(capsys.readouterr().out)]
        assert given == pytest.approx([row.hardness_simunek for row in rows], rel=1e-6)

    def test_a_duplicate_is_computed_once(self, screened):
        summary, _, ids, _, dest = screened
        diamond, copy = dest.get(id=ids["diamond"]), dest.get(id=ids["copy"])
        assert summary.duplicates == 1 and copy.duplicate_of == diamond.id
        assert results(copy) == {**results(diamond), "duplicate_of": diamond.id}
        # It holds the structure computed, and its own input.
        assert np.array_equal(copy.positions, diamond.positions)
        assert len(copy.data["initial_structure"]["numbers"]) == 16


class TestDistinctStructures:
    @pytest.mark.parametrize(
        "change",
        [
            lambda a: a.repeat((1, 1, 2)),
            lambda a: a[np.random.default_rng(1).permutation(len(a))],
            lambda a: (a.rotate(90, "x", rotate_cell=True), a)[1],
            lambda a: (a.translate([0.4, 0.3, 0.2]), a.wrap(), a)[2],
        ],
        ids=["supercell", "permuted", "rotated", "shifted"],
    )
    def test_equal_structures_share_a_fingerprint(self, change):
        from ase.utils.structure_comparator import SymmetryEquivalenceCheck

        atoms = bulk("C", "diamond", a=3.567, cubic=True).repeat((2, 1, 1))
        atoms.numbers[[0, 3]] = [5, 7]
        other = change(atoms.copy())
        assert SymmetryEquivalenceCheck(to_primitive=True).compare(atoms, other)
        assert screen.structure_fingerprint(other) == screen.structure_fingerprint(atoms)

    def test_generated_candidates_are_distinct(self, tmp_path):
        from ase.utils.structure_comparator import SymmetryEquivalenceCheck

        path = str(tmp_path / "c.db")
        assert screen.generate_candidates(path, 40, seed=3) == 40
        structures = [row.toatoms() for row in connect(path).select()]
        check = SymmetryEquivalenceCheck(to_primitive=True)
        same = [
            (i, j)
            for i in range(len(structures))
            for j in range(i)
            if structures[i].get_chemical_formula() == structures[j].get_chemical_formula()
            and check.compare(structures[i], structures[j])
        ]
        assert same == []


class TestInterrupted:
    @pytest.mark.parametrize("after", [1.0, 5.0])
    def test_sigint_to_the_group_stops_and_the_rerun_redoes_nothing(self, tmp_path, after):
        # The signal goes to the whole process group, as Ctrl-C in a terminal
        # does: at 1 s the cluster is still starting, at 5 s rows are running.
        path = str(tmp_path / "c.db")
        screen.generate_candidates(path, 40, seed=5)
        command = [sys.executable, "-m", "ferrolith", "screen", path, "--potential", "tersoff"]
        command += ["--workers", "2", "--batch", "2"]
        # As from a terminal: the child's Ctrl-C is not ignored, even where
        # this process was started with it ignored (a background job).
        ignored = signal.getsignal(signal.SIGINT) is signal.SIG_IGN
        if ignored:
            signal.signal(signal.SIGINT, signal.default_int_handler)
        try:
            run = subprocess.Popen(
                command, stderr=subprocess.PIPE, text=True, start_new_session=True
            )
        finally:
            if ignored:
                signal.signal(signal.SIGINT, signal.SIG_IGN)
        with run:
            time.sleep(after)
            os.killpg(run.pid, signal.SIGINT)
            _, stderr = run.communicate(timeout=120)
        assert run.returncode == 130, stderr
        db = connect(path)
        done = {row.id: row.mtime for row in db.select("screen_tag")}
        assert len(done) < 40
        # Consistent: every row that has a tag has its results (or its error),
        # and every relaxed row its initial structure.
        assert db.count("screen_tag") == db.count("hardness_simunek") + db.count("screen_error")
        assert all("initial_structure" in row.data for row in db.select("energy_per_atom"))
        rerun = subprocess.run(command, capture_output=True, text=True, check=True)
        assert f"{len(done):,} already had results" in rerun.stdout
        assert db.count("screen_tag") == 40
        assert {row.id: row.mtime for row in db.select("screen_tag") if row.id in done} == done

    def test_ctrl_c_while_the_commands_load_exits_130(self, monkeypatch):
        # An extension module turns Ctrl-C during its imports into an ImportError.
        import importlib

        from ferrolith import cli

        def interrupted(name):
            try:
                raise KeyboardInterrupt
            except KeyboardInterrupt as exc:
                raise ImportError("initialization failed") from exc

        monkeypatch.setattr(importlib, "import_module", interrupted)
        assert cli.main(["screen", "x.db"]) == 130


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

    def test_silent_scheduler_times_out(self, candidates, monkeypatch):
        # A port that accepts connections and never says a word.
        monkeypatch.setattr(screen, "SCHEDULER_TIMEOUT", 1.0)
        with socket.create_server(("127.0.0.1", 0)) as silent:
            address = f"tcp://127.0.0.1:{silent.getsockname()[1]}"
            with pytest.raises(ConnectionError, match="no answer within 1 s"):
                screen.screen_database(candidates, scheduler=address, progress=False)

    def test_bare_integer_query_is_a_row_id(self, candidates):
        summary = screen.screen_database(
            candidates, "2", potential="none", workers=1, progress=False
        )
        assert summary.screened == 1
        assert [row.id for row in connect(candidates).select("screen_tag")] == [2]


def test_a_lone_atom_is_refused_not_given_a_hardness():
    # Its nearest neighbour is its own image 20 Å away: no bonds, no hardness
    # (the row then gets this message as screen_error).
    lone = __import__("ase").Atoms("C", cell=[20] * 3, pbc=True)
    with pytest.raises(ValueError, match="Atom 0 has no bonded neighbour"):
        screen.screen_structure(lone)


class TestOneRow:
    def test_failed_moduli_keep_the_bond_hardness(self, monkeypatch):
        def refuse(atoms, calculator):
            raise ValueError("The elastic tensor is not positive definite.")

        monkeypatch.setattr(screen, "_moduli_results", refuse)
        diamond = bulk("C", "diamond", a=3.567)
        found = screen.screen_structure(diamond, get_calculator(TERSOFF), elastic=True)
        assert found["moduli_error"] == "The elastic tensor is not positive definite."
        assert found["hardness_simunek"] > 70 and "bulk_hill" not in found

    def test_any_calculator_name_is_passed_on(self, monkeypatch):
        from ase.calculators.emt import EMT

        import ferrolith.optimization as optimization
        from ferrolith.cli import build_parser

        names = []
        monkeypatch.setattr(
            optimization, "get_calculator", lambda name: names.append(name) or EMT()
        )
        settings = screen.ScreenSettings.create("emt", elastic=True)
        assert isinstance(screen._calculator(settings), EMT) and names == ["emt"]
        parser, _ = build_parser()
        assert (
            parser.parse_args(["screen", "x.db", "--elastic", "--potential", "emt"]).potential
            == "emt"
        )
