"""The machine-learned potential as a KIM portable model: LAMMPS (one and two
MPI ranks) and ASE through kimpy give our calculator's energy, forces and
stress; bad input gives KIM errors with clear messages.

The driver and a model of the shipped weights (their numpy copy, so PyTorch
is not needed) are built once into a KIM user collection of the test run."""

import re
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest
from ase import Atoms, units
from ase.build import bulk
from ase.io import write
from test_optimization_mlp import shipped_weights

from ferrolith import kim
from ferrolith.build.polycrystal import Polycrystal
from ferrolith.cli import main as cli_main
from ferrolith.data import files
from ferrolith.optimization import _mlp

LMP = shutil.which("lmp")
NAME = "Ferrolith_MLP_test_shipped"
pytestmark = pytest.mark.skipif(
    not (LMP and shutil.which("kim-api-collections-management")),
    reason="needs LAMMPS and the KIM API (apt-get install lammps libkim-api-dev openmpi-bin)",
)


@pytest.fixture(scope="module")
def collection(tmp_path_factory):
    """A KIM user collection holding the driver and the shipped model."""
    root = tmp_path_factory.mktemp("kim")
    dirs = {k: root / k for k in ("model-drivers", "portable-models", "simulator-models")}
    for d in dirs.values():
        d.mkdir()
    config = root / "config"
    config.write_text("".join(f"{k}-dir = {d}\n" for k, d in dirs.items()))
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("KIM_API_CONFIGURATION_FILE", str(config))
        model = _mlp.MLModel(shipped_weights())
        kim.install(model, NAME, "user")
        yield model


def calculator(model):
    return _mlp.MLCalculator(model)


def alloy_1000(seed=0):
    """Rattled zincblende B-C-N, 1,000 atoms, a quarter of them carbon."""
    rng = np.random.default_rng(seed)
    atoms = bulk("BN", "zincblende", a=3.62, cubic=True).repeat(5)
    atoms.symbols[rng.choice(len(atoms), 250, replace=False)] = "C"
    atoms.positions += rng.normal(0, 0.08, atoms.positions.shape)
    return atoms


def polycrystal_slice():
    """Three c-BN grains in a thin periodic box: grain boundaries throughout."""
    seed = bulk("BN", "zincblende", a=3.62, cubic=True)
    poly = Polycrystal(seed, {"box": [20.0, 20.0, 10.0], "random": 3}, rng=3)
    atoms = poly.generate_polycrystal(wrap=True, remove_doubles=1.05)
    del atoms.arrays["grain"]
    return atoms


def triclinic(seed=1):
    """A sheared, rattled B-C-N cell in LAMMPS's orientation (lower-triangular)."""
    rng = np.random.default_rng(seed)
    atoms = bulk("BN", "zincblende", a=3.62, cubic=True).repeat((3, 3, 3))
    atoms.symbols[rng.choice(len(atoms), 40, replace=False)] = "C"
    cell = np.diag(atoms.cell.lengths()) + np.array([[0, 0, 0], [1.9, 0, 0], [-1.3, 2.2, 0]])
    atoms.set_cell(cell, scale_atoms=True)
    atoms.positions += rng.normal(0, 0.05, atoms.positions.shape)
    atoms.wrap()
    return atoms


STRUCTURES = {"alloy": alloy_1000, "polycrystal": polycrystal_slice, "triclinic": triclinic}

LAMMPS_INPUT = """\
units metal
atom_style atomic
boundary p p p
kim init {name} metal
read_data structure.lmp
kim interactions {species}
compute virial all pressure NULL virial
compute energy all pe/atom
compute atom_virial all stress/atom NULL virial
thermo_style custom step pe c_virial[*]
dump forces all custom 1 forces.dump id fx fy fz c_energy c_atom_virial[*]
dump_modify forces sort id format float %.17g
run 0
print "RESULT $(pe:%.17g) $(c_virial[1]:%.17g) $(c_virial[2]:%.17g) $(c_virial[3]:%.17g) \
$(c_virial[4]:%.17g) $(c_virial[5]:%.17g) $(c_virial[6]:%.17g)"
"""


def run_lammps(atoms, directory, ranks=1):
    """Energy (eV), forces (eV/Å), ASE stress (eV/Å³), per-atom energies (eV)
    and per-atom stress × volume (eV, LAMMPS order) from LAMMPS, atoms in
    order; or the CompletedProcess of a run that failed."""
    directory.mkdir(exist_ok=True)
    species = sorted(set(atoms.get_chemical_symbols()))
    write(directory / "structure.lmp", atoms, format="lammps-data", specorder=species, masses=True)
    (directory / "in.kim").write_text(LAMMPS_INPUT.format(name=NAME, species=" ".join(species)))
    command = [LMP, "-in", "in.kim", "-log", "log.lammps", "-screen", "none"]
    if ranks > 1:
        command = ["mpirun", "--allow-run-as-root", "--oversubscribe", "-np", str(ranks), *command]
    run = subprocess.run(command, cwd=directory, capture_output=True, text=True)
    if run.returncode != 0:
        return run
    log = (directory / "log.lammps").read_text()
    values = [float(v) for v in re.search(r"^RESULT (.*)$", log, re.M).group(1).split()]
    dump = np.loadtxt(directory / "forces.dump", skiprows=9)
    pxx, pyy, pzz, pxy, pxz, pyz = values[1:]
    stress = -np.array([pxx, pyy, pzz, pyz, pxz, pxy]) * units.bar
    # stress/atom (bar Å³) adds up to -pressure × volume, the ASE stress × volume
    atom_stress = dump[:, 5:] * units.bar
    return values[0], dump[:, 1:4], stress, dump[:, 4], atom_stress


def reference(atoms, model):
    atoms = atoms.copy()
    atoms.calc = calculator(model)
    return (
        atoms.get_potential_energy(),
        atoms.get_forces(),
        atoms.get_stress(),
        atoms.get_potential_energies(),
    )


def assert_same(got, want, stress_rtol=1e-12):
    """Energy within 1e-9 relative, forces within 1e-8 eV/Å, stress within
    `stress_rtol` and per-atom energies (when given) to rounding."""
    assert got[0] == pytest.approx(want[0], rel=1e-9, abs=0)
    np.testing.assert_allclose(got[1], want[1], rtol=0, atol=1e-8)
    scale = np.abs(want[2]).max()
    np.testing.assert_allclose(got[2], want[2], rtol=0, atol=stress_rtol * scale + 1e-12)
    if len(got) > 3:
        np.testing.assert_allclose(got[3], want[3], rtol=0, atol=1e-10)


class TestLammps:
    @pytest.mark.parametrize("structure", sorted(STRUCTURES))
    def test_run_0_equals_our_calculator(self, collection, structure, tmp_path):
        atoms = STRUCTURES[structure]()
        got = run_lammps(atoms, tmp_path)
        assert not isinstance(got, subprocess.CompletedProcess), got.stdout + got.stderr
        # LAMMPS converts eV/Å³ to bar with a factor of 8 digits
        assert_same(got, reference(atoms, collection), stress_rtol=1e-6)
        # per-atom virials (LAMMPS order xx yy zz xy xz yz) add up to the total
        xx, yy, zz, xy, xz, yz = got[4].sum(axis=0)
        volume = atoms.get_volume()
        np.testing.assert_allclose([xx, yy, zz, yz, xz, xy], got[2] * volume, rtol=1e-6)

    def test_two_mpi_ranks_equal_one(self, collection, tmp_path):
        if not shutil.which("mpirun"):
            pytest.skip("needs mpirun (apt-get install openmpi-bin)")
        atoms = alloy_1000(2)
        one = run_lammps(atoms, tmp_path / "one")
        two = run_lammps(atoms, tmp_path / "two", ranks=2)
        assert not isinstance(two, subprocess.CompletedProcess), two.stdout + two.stderr
        assert two[0] == pytest.approx(one[0], rel=1e-12)
        for a, b in zip(two[1:], one[1:]):
            np.testing.assert_allclose(a, b, rtol=0, atol=1e-11)

    @pytest.mark.parametrize(
        "case, message",
        [
            ("overlap", "Atoms 0 and 1 overlap (distance 0.05 Å, less than 0.1 Å)."),
            ("species", "Si"),
        ],
    )
    def test_bad_structures_stop_with_the_reason(self, collection, case, message, tmp_path):
        atoms = Atoms("BN", [[0, 0, 0], [0.05, 0, 0]], cell=[8, 8, 8], pbc=True)
        if case == "species":
            atoms = Atoms("BSi", [[0, 0, 0], [1.6, 0, 0]], cell=[8, 8, 8], pbc=True)
        run = run_lammps(atoms, tmp_path)
        assert isinstance(run, subprocess.CompletedProcess) and run.returncode != 0
        log = (tmp_path / "log.lammps").read_text()
        kim_log = tmp_path / "kim.log"
        text = log + (kim_log.read_text() if kim_log.exists() else "")
        assert message in text


class TestAse:
    @pytest.fixture(autouse=True)
    def _kim_log_in_tmp(self, tmp_path, monkeypatch):
        # The KIM API writes kim.log into the working directory.
        monkeypatch.chdir(tmp_path)

    @pytest.mark.parametrize("structure", ["triclinic", "polycrystal"])
    def test_ase_kim_calculator_equals_our_calculator(self, collection, structure):
        kim_calculators = pytest.importorskip("ase.calculators.kim")
        pytest.importorskip("kimpy")
        atoms = STRUCTURES[structure]()
        atoms.calc = kim_calculators.KIM(NAME)
        got = atoms.get_potential_energy(), atoms.get_forces(), atoms.get_stress()
        assert_same(got, reference(atoms, collection))

    def test_foreign_species_is_refused(self, collection):
        kim_calculators = pytest.importorskip("ase.calculators.kim")
        pytest.importorskip("kimpy")
        atoms = Atoms("BSi", [[0, 0, 0], [1.6, 0, 0]], cell=[8, 8, 8], pbc=True)
        atoms.calc = kim_calculators.KIM(NAME)
        with pytest.raises(Exception, match="Si"):
            atoms.get_potential_energy()


class TestExport:
    def test_export_writes_both_cmake_projects(self, tmp_path, capsys):
        model = _mlp.MLModel(shipped_weights())
        driver, model_dir = kim.export(model, tmp_path, "Ferrolith_MLP_x")
        assert (driver / "src/ferrolith/optimization/mlp.cpp").exists()
        assert "project(Ferrolith_MLP_driver" in (driver / "CMakeLists.txt").read_text()
        cmake = (model_dir / "CMakeLists.txt").read_text()
        assert 'DRIVER_NAME "Ferrolith_MLP_driver"' in cmake and "project(Ferrolith_MLP_x)" in cmake
        assert (model_dir / kim.PARAMETER_FILE).read_text().splitlines()[1] == (
            "ferrolith-mlp-parameters 2"
        )

    def test_command_exports_the_bundled_model_and_prints_its_name(self, tmp_path, capsys):
        pytest.importorskip("torch")
        assert cli_main(["kim", "export", "--potential", "pth", str(tmp_path)]) == 0
        lines = capsys.readouterr().out.splitlines()
        assert lines == [
            str(tmp_path / "Ferrolith_MLP_driver"),
            str(tmp_path / "Ferrolith_MLP_BCN_qz_v0_0_1"),
            "Ferrolith_MLP_BCN_qz_v0_0_1",
        ]
        assert (tmp_path / lines[1] / kim.PARAMETER_FILE).exists()

    @pytest.mark.parametrize(
        "potential, message",
        [
            (
                str(Path(files.__file__).parent / "BNC.tersoff"),
                "is a tersoff potential; only machine-learned potentials (.pth model files) "
                "can be exported as KIM models",
            ),
            ("missing.pth", "No potential file at 'missing.pth'."),
        ],
    )
    def test_potentials_we_cannot_export(self, potential, message, tmp_path, capsys):
        assert cli_main(["kim", "export", "--potential", potential, str(tmp_path)]) == 1
        assert message in capsys.readouterr().err
        assert not any(tmp_path.iterdir())

    def test_model_with_an_element_kim_lacks(self, tmp_path):
        data = shipped_weights()
        data["elements"] = ["B", "C", "X"]
        data["network"]["embeddings"]["X"] = data["network"]["embeddings"].pop("N")
        data["network"]["energy_shifts"]["X"] = data["network"]["energy_shifts"].pop("N")
        with pytest.raises(ValueError, match=re.escape("element 'X' is not a KIM species")):
            kim.export(_mlp.MLModel(data), tmp_path, "Ferrolith_MLP_x")
