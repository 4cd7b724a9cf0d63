"""get_calculator and optimize_structure: dispatch by potential kind, relaxation."""

import json
import re
import warnings
from pathlib import Path

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk
from ase.calculators.emt import EMT
from ase.eos import EquationOfState
from ase.filters import FrechetCellFilter
from ase.io import read
from ase.optimize import LBFGS
from ase.units import GPa
from threadpoolctl import threadpool_info

from ferrolith.data import files
from ferrolith.optimization import TersoffCalculator, get_calculator, optimize_structure, relax

POTENTIAL = Path(files.__file__).parent / "BNC.tersoff"
EOS = json.loads((Path(__file__).parent / "data" / "tersoff-lammps-eos.json").read_text())
CRYSTALS = {"diamond": ("C", "diamond"), "c-BN": ("BN", "zincblende")}


@pytest.fixture(scope="module")
def calc():
    return TersoffCalculator(POTENTIAL)


class TestGetCalculator:
    @pytest.mark.parametrize("as_path", [str, Path])
    def test_tersoff_file(self, as_path):
        calc = get_calculator(as_path(POTENTIAL))
        assert isinstance(calc, TersoffCalculator)
        atoms = bulk("C", "diamond", a=3.567)
        atoms.calc = calc
        assert atoms.get_potential_energy() == pytest.approx(2 * -6.505782715477, rel=1e-10)

    def test_tersoff_content_under_another_name(self, tmp_path):
        path = tmp_path / "carbon.params"
        path.write_text(POTENTIAL.read_text())
        assert relax.potential_kind(str(path)) == "tersoff"
        assert isinstance(get_calculator(str(path)), TersoffCalculator)

    @pytest.mark.parametrize("name, content", [("model.PTH", b"x"), ("model.bin", b"PK\x03\x04")])
    def test_machine_learned_files_go_to_the_model_loader(self, tmp_path, name, content):
        path = tmp_path / name
        path.write_bytes(content)
        assert relax.potential_kind(str(path)) == "pth"
        with pytest.raises(ValueError, match=re.escape("not a ferrolith machine-learned")):
            get_calculator(str(path))

    def test_other_calculators_plug_into_the_one_dispatch_table(self, tmp_path, monkeypatch):
        made = []
        monkeypatch.setitem(relax.CALCULATORS, "pth", lambda path: made.append(path) or EMT())
        path = str(tmp_path / "model.pth")
        assert isinstance(get_calculator(path), EMT)
        assert made == [path]

    def test_missing_file_lists_the_supported_kinds(self, tmp_path):
        path = tmp_path / "nothing.tersoff"
        with pytest.raises(FileNotFoundError) as info:
            get_calculator(str(path))
        message = str(info.value)
        assert message.startswith(f"No potential file at '{path}'. Supported potentials:")
        assert "\n  tersoff: a Tersoff parameter file in the LAMMPS format" in message
        assert "\n  pth: a machine-learned potential" in message

    @pytest.mark.parametrize("content", ["just some text\n", "\u00e9\u00e8 binary-ish \x00"])
    def test_unknown_kind(self, tmp_path, content):
        path = tmp_path / "mystery.dat"
        path.write_text(content)
        with pytest.raises(
            ValueError,
            match=re.escape(
                f"Cannot tell which kind of potential '{path}' is. Supported potentials:"
            ),
        ):
            get_calculator(str(path))

    def test_directory(self, tmp_path):
        with pytest.raises(ValueError, match="is not a file"):
            get_calculator(str(tmp_path))

    def test_malformed_tersoff_file(self, tmp_path):
        path = tmp_path / "broken.tersoff"
        path.write_text("C C C 3.0 1.0\n")
        with pytest.raises(ValueError, match=re.escape(f"{path}, line 1: the entry starting")):
            get_calculator(str(path))

    def test_wrong_type(self):
        with pytest.raises(TypeError, match="potential must be a str or path, not int"):
            get_calculator(3)


def _scan_energies(calc, name, lattice_constants):
    energies = []
    for a in lattice_constants:
        atoms = bulk(*CRYSTALS[name], a=a, cubic=True)
        atoms.calc = calc
        energies.append(atoms.get_potential_energy())
    return np.array(energies)


def _birch_murnaghan(volumes, energies):
    eos = EquationOfState(volumes, energies, eos="birchmurnaghan")
    eos.fit()
    _, b0, b0_prime, v0 = eos.eos_parameters
    return v0, b0, b0_prime


class TestEquationOfState:
    @pytest.mark.parametrize("name", CRYSTALS)
    def test_energy_volume_curve_and_bulk_modulus_match_lammps(self, calc, name):
        points = EOS["systems"][name]["points"]
        energies = _scan_energies(calc, name, [p["a"] for p in points])
        lammps = np.array([p["energy_eV"] for p in points])
        np.testing.assert_allclose(energies, lammps, rtol=1e-8)
        v0, b0, _ = _birch_murnaghan([p["volume_A3"] for p in points], energies)
        fit = EOS["systems"][name]["birch_murnaghan_fit"]
        assert b0 / GPa == pytest.approx(fit["bulk_modulus_GPa"], rel=1e-6)
        assert v0 == pytest.approx(fit["v0_A3"], rel=1e-8)

    @pytest.mark.parametrize("name, start", [("diamond", 3.55), ("c-BN", 3.615)])
    def test_relaxes_to_the_lattice_constant_of_lowest_energy(
        self, calc, name, start, tmp_path, capsys
    ):
        # The minimum of a fine scan around the equation-of-state estimate.
        a_fit = EOS["systems"][name]["birch_murnaghan_fit"]["a0_A"]
        grid = a_fit * np.linspace(0.995, 1.005, 11)
        poly = np.polynomial.Polynomial.fit(grid, _scan_energies(calc, name, grid), 4)
        a_scan = min(
            (r.real for r in poly.deriv().roots() if abs(r.imag) < 1e-12),
            key=lambda a: abs(a - a_fit),
        )

        atoms = bulk(*CRYSTALS[name], a=start, cubic=True)
        atoms.calc = calc
        relaxed = optimize_structure(atoms, fmax=1e-4, trajectory=str(tmp_path / "opt.traj"))
        lengths = relaxed.cell.cellpar()
        np.testing.assert_allclose(lengths[:3], a_scan, atol=2e-5)
        np.testing.assert_allclose(lengths[3:], 90, atol=1e-3)
        assert atoms.cell.cellpar()[0] == pytest.approx(start)  # the input is left alone
        assert "LBFGS:" in capsys.readouterr().out

    @pytest.mark.parametrize("name", CRYSTALS)
    def test_volume_at_10_gpa_follows_the_bulk_modulus(self, calc, name, tmp_path):
        points = EOS["systems"][name]["points"]
        volumes = [p["volume_A3"] for p in points]
        v0, b0, b0_prime = _birch_murnaghan(
            volumes, _scan_energies(calc, name, [p["a"] for p in points])
        )
        pressure = 10 * GPa
        # Murnaghan's integral form of the pressure-volume relation
        v_predicted = v0 * (1 + b0_prime * pressure / b0) ** (-1 / b0_prime)

        atoms = bulk(*CRYSTALS[name], a=v0 ** (1 / 3), cubic=True)
        atoms.calc = calc
        relaxed = optimize_structure(
            atoms, fmax=1e-5, pressure=10.0, trajectory=str(tmp_path / "p.traj")
        )
        shrink = v0 - relaxed.get_volume()
        assert shrink > 0
        assert shrink == pytest.approx(v0 - v_predicted, rel=5e-3)
        np.testing.assert_allclose(relaxed.get_stress()[:3], -pressure, rtol=1e-3)


class TestVacancy:
    def test_216_atom_cubic_bn_with_a_vacancy(self, calc, tmp_path, capsys):
        atoms = bulk("BN", "zincblende", a=3.494, cubic=True).repeat(3)
        assert len(atoms) == 216
        del atoms[100]
        atoms.rattle(0.02, seed=5)
        atoms.calc = calc
        traj = tmp_path / "vacancy.traj"
        relaxed = optimize_structure(
            atoms, fmax=0.05, method="LBFGS", steps=500, trajectory=str(traj)
        )
        assert np.linalg.norm(relaxed.get_forces(), axis=1).max() < 0.05
        assert "did not converge" not in capsys.readouterr().out
        frames = read(traj, ":")
        assert len(frames) > 1
        assert len(frames[-1]) == 215
        np.testing.assert_allclose(frames[-1].positions, relaxed.positions, atol=1e-12)
        np.testing.assert_allclose(frames[-1].cell, relaxed.cell, atol=1e-12)
        assert frames[-1].get_potential_energy() == pytest.approx(
            relaxed.get_potential_energy(), rel=1e-12
        )
        assert frames[0].get_potential_energy() > frames[-1].get_potential_energy()


class TestOptimizeOptions:
    def _atoms(self, calc):
        atoms = bulk("C", "diamond", a=3.6, cubic=True)
        atoms.rattle(0.05, seed=1)
        atoms.calc = calc
        return atoms

    @pytest.mark.parametrize(
        "method, tag",
        [("fire", "FIRE:"), ("bfgs", "BFGS:"), ("Lbfgs", "LBFGS:"), ("MDMin", "MDMin:")],
    )
    def test_method_names_ignore_case(self, calc, method, tag, tmp_path, capsys):
        optimize_structure(
            self._atoms(calc), steps=2, method=method, trajectory=str(tmp_path / "t.traj")
        )
        assert tag in capsys.readouterr().out

    def test_every_known_method_runs(self, calc, capsys):
        for name in relax.OPTIMIZERS:
            atoms = self._atoms(calc)
            # a free cluster keeps this quick; the cell-aware method needs a cell
            atoms.pbc = name == "CellAwareBFGS"
            relaxed = optimize_structure(atoms, steps=2, method=name, trajectory=None)
            assert np.isfinite(relaxed.get_potential_energy()), name
            assert f"{relax.OPTIMIZERS[name].__name__}:" in capsys.readouterr().out, name

    def test_cell_aware_bfgs_needs_a_periodic_cell(self, calc):
        atoms = self._atoms(calc)
        atoms.pbc = False
        with pytest.raises(ValueError, match="CellAwareBFGS relaxes the cell"):
            optimize_structure(atoms, method="cellawarebfgs", trajectory=None)

    def test_unknown_method_lists_the_known_ones(self, calc):
        with pytest.raises(ValueError) as info:
            optimize_structure(self._atoms(calc), method="newton", trajectory=None)
        message = str(info.value)
        assert message.startswith("Unknown optimization method 'newton'. Known methods: ")
        for name in ("BFGS", "FIRE", "LBFGS", "MDMin", "GPMin"):
            assert re.search(rf"\b{name}\b", message)

    def test_not_converging_is_reported(self, calc, tmp_path, capsys):
        atoms = self._atoms(calc)
        relaxed = optimize_structure(atoms, fmax=1e-6, steps=2, trajectory=None)
        out = capsys.readouterr().out
        assert re.search(
            r"^Warning: the optimization did not converge within 2 steps "
            r"\(largest force [0-9.]+ eV/\u00c5, fmax 1e-06 eV/\u00c5\)\.$",
            out,
            re.MULTILINE,
        )
        assert relaxed is not atoms
        assert relaxed.calc is atoms.calc
        assert not (tmp_path / "opt.traj").exists()

    def test_slab_keeps_its_non_periodic_axis(self, calc):
        atoms = bulk("BN", "zincblende", a=3.6, cubic=True)
        atoms.center(vacuum=5.0, axis=2)
        atoms.pbc = (True, True, False)
        atoms.calc = calc
        relaxed = optimize_structure(atoms, steps=20, trajectory=None)
        np.testing.assert_array_equal(relaxed.cell[2], atoms.cell[2])
        assert relaxed.cell[0, 0] != atoms.cell[0, 0]
        assert relaxed.get_potential_energy() < atoms.get_potential_energy()

    def test_free_cluster_ignores_the_pressure(self, calc, capsys):
        atoms = bulk("C", "diamond", a=3.6, cubic=True)
        atoms.pbc = False
        atoms.calc = calc
        relaxed = optimize_structure(atoms, fmax=0.05, steps=200, pressure=5.0, trajectory=None)
        out = capsys.readouterr().out
        assert "Note: the structure has no periodic direction; the pressure is ignored." in out
        np.testing.assert_array_equal(relaxed.cell, atoms.cell)

    @pytest.mark.parametrize(
        "kwargs, error, message",
        [
            ({"steps": -1}, ValueError, "steps must not be negative, got -1."),
            ({"steps": 2.5}, TypeError, "steps must be an integer, not float"),
            ({"steps": True}, TypeError, "steps must be an integer, not bool"),
            ({"fmax": -0.1}, ValueError, "fmax must be a non-negative number of eV/\u00c5"),
            ({"fmax": float("nan")}, ValueError, "fmax must be a non-negative number"),
            ({"fmax": "0.1"}, TypeError, "fmax must be"),
            ({"pressure": float("inf")}, ValueError, "pressure must be a finite number of GPa"),
            ({"method": 3}, TypeError, "method must be a str, not int"),
        ],
    )
    def test_bad_options(self, calc, kwargs, error, message):
        with pytest.raises(error, match=re.escape(message)):
            optimize_structure(self._atoms(calc), trajectory=None, **kwargs)

    def test_structure_without_calculator(self):
        with pytest.raises(ValueError, match="The structure has no calculator"):
            optimize_structure(bulk("C"), trajectory=None)

    def test_not_an_atoms_object(self):
        with pytest.raises(TypeError, match=r"atoms must be an ase\.Atoms, not list"):
            optimize_structure([1, 2], trajectory=None)

    @pytest.mark.parametrize(
        "atoms, message",
        [
            (
                Atoms("CSi", positions=[(0, 0, 0), (1.5, 0, 0)], cell=[5, 5, 5], pbc=True),
                "has no parameters for Si",
            ),
            (
                Atoms("C2", positions=[(0, 0, 0), (0, 0, 0)], cell=[5, 5, 5], pbc=True),
                "Atoms 0 and 1 overlap",
            ),
            (
                Atoms("C", cell=[(3, 0, 0), (0, 3, 0), (0, 0, 0)], pbc=True),
                "Unit cell volume is zero.",
            ),
        ],
        ids=["element", "overlap", "zero-volume"],
    )
    def test_bad_structures_fail_clearly(self, calc, atoms, message):
        atoms.calc = calc
        with pytest.raises(ValueError, match=re.escape(message)):
            optimize_structure(atoms, trajectory=None)


class TestBundledNamesAndRelaxationSetting:
    @pytest.mark.parametrize(
        "name, file", [("tersoff", "BNC.tersoff"), ("pth", "BCN-qz-v0.0.1.pth")]
    )
    def test_bundled_names_as_the_command_takes_them(self, monkeypatch, name, file):
        made = []
        monkeypatch.setitem(relax.CALCULATORS, name, lambda path: made.append(path) or EMT())
        assert isinstance(get_calculator(name), EMT)
        assert made == [str(Path(files.__file__).parent / file)]

    def test_blas_runs_on_one_thread_and_only_the_logm_warning_is_silenced(self, capsys):
        def blas_threads():
            return [p["num_threads"] for p in threadpool_info() if p["user_api"] == "blas"]

        seen = []

        class Probe(EMT):
            def calculate(self, *args, **kwargs):
                seen.append(blas_threads())
                warnings.warn("another warning", RuntimeWarning, stacklevel=1)
                super().calculate(*args, **kwargs)

        before = blas_threads()
        atoms = bulk("Cu", cubic=True)
        atoms.rattle(0.02, seed=1)
        atoms.calc = Probe()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            optimize_structure(atoms, steps=2, trajectory=None)
        assert seen and all(threads == [1] * len(before) for threads in seen)
        assert blas_threads() == before
        assert "another warning" in {str(w.message) for w in caught}

        # scipy warns at nearly every step of this relaxation under ASE alone.
        def start():
            atoms = bulk("C", "diamond", a=3.567, cubic=True).repeat(2)
            atoms.rattle(0.01, seed=1)
            atoms.calc = get_calculator("tersoff")
            return atoms

        runs = [
            (lambda: LBFGS(FrechetCellFilter(start()), logfile=None).run(fmax=0.01, steps=12), 1),
            (lambda: optimize_structure(start(), fmax=0.01, steps=12, trajectory=None), 0),
        ]
        for run, warned in runs:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                run()
            logm = [w for w in caught if "logm result may be inaccurate" in str(w.message)]
            assert (len(logm) > 5) == warned


class TestRelaxationResidual:
    def test_forces_and_cell_count_until_relaxed(self, calc):
        atoms = bulk("BN", "zincblende", a=3.60, cubic=True)
        atoms.rattle(0.05, seed=3)
        atoms.calc = calc
        start = relax.relaxation_residual(atoms)
        assert start >= np.linalg.norm(atoms.get_forces(), axis=1).max()
        relaxed = optimize_structure(atoms, fmax=0.01, steps=500, trajectory=None)
        assert relax.relaxation_residual(relaxed) <= 0.01 < start
        # Balanced at 0 GPa, not at 20 GPa: V p / N = 0.74 eV/Å on the cell.
        assert relax.relaxation_residual(relaxed, pressure=20.0) == pytest.approx(
            relaxed.get_volume() * 20.0 * GPa / len(relaxed), rel=0.05
        )

    def test_a_cluster_counts_its_atomic_forces_only(self, calc):
        atoms = bulk("C", "diamond", a=3.6, cubic=True)
        atoms.rattle(0.05, seed=1)
        atoms.pbc = False
        atoms.calc = calc
        largest = np.linalg.norm(atoms.get_forces(), axis=1).max()
        assert relax.relaxation_residual(atoms, pressure=5.0) == pytest.approx(largest, rel=1e-12)
