"""The Tersoff calculator: agreement with LAMMPS, derivatives, ASE behaviour, bad input."""

import json
import re
from pathlib import Path

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk
from ase.calculators.calculator import Calculator, PropertyNotImplementedError
from ase.calculators.fd import calculate_numerical_forces, calculate_numerical_stress
from ase.neighborlist import neighbor_list

from ferrolith.data import files
from ferrolith.optimization.tersoff import TersoffCalculator, TersoffPotential

POTENTIAL = Path(files.__file__).parent / "BNC.tersoff"
# LAMMPS energies, forces, stresses and per-atom energies of four small cells
# (cubic BN, a compressed B/N/C mix, a triclinic 2-atom cell, diamond).
REFERENCE_CASES = json.loads(
    (Path(__file__).parent / "data" / "tersoff-reference.json").read_text()
)["cases"]


@pytest.fixture(scope="module")
def calc():
    return TersoffCalculator(POTENTIAL)


def _atoms(case):
    return Atoms(case["symbols"], positions=case["positions"], cell=case["cell"], pbc=case["pbc"])


def _mixed_cluster(seed=4):
    """A rattled, compressed B/N/C zincblende cell: pairs in every cutoff taper."""
    atoms = bulk("BN", "zincblende", a=3.0, cubic=True)
    atoms.symbols[[1, 6]] = "C"
    atoms.rattle(0.1, seed=seed)
    return atoms


class TestLammpsReference:
    @pytest.mark.parametrize("case", REFERENCE_CASES, ids=lambda c: c["name"])
    def test_energy_forces_stress_per_atom(self, calc, case):
        atoms = _atoms(case)
        atoms.calc = calc
        energy = atoms.get_potential_energy()
        assert energy == pytest.approx(case["energy_eV"], rel=1e-8)
        forces = np.array(case["forces_eV_per_A"])
        scale = np.abs(forces).max()
        np.testing.assert_allclose(atoms.get_forces(), forces, rtol=0, atol=1e-8 * scale)
        stress = np.array(case["ase_stress_voigt_eV_per_A3"])
        np.testing.assert_allclose(
            atoms.get_stress(), stress, rtol=0, atol=1e-8 * np.abs(stress).max()
        )
        np.testing.assert_allclose(
            atoms.get_potential_energies(),
            case["lammps_per_atom_energy_eV"],
            rtol=0,
            atol=1e-8 * scale,
        )

    @pytest.mark.parametrize(
        "crystal, a, energy_per_atom, pressure_gpa",
        [
            (("BN", "zincblende"), 3.615, -7.700617861564, -38.96322638),
            (("C", "diamond"), 3.567, -6.505782715477, 27.32002981),
        ],
    )
    def test_perfect_crystals(self, calc, crystal, a, energy_per_atom, pressure_gpa):
        atoms = bulk(*crystal, a=a, cubic=True)
        atoms.calc = calc
        assert atoms.get_potential_energy() / len(atoms) == pytest.approx(
            energy_per_atom, rel=1e-10
        )
        stress = atoms.get_stress(voigt=False)
        # ASE's stress is minus the pressure (converted to GPa as LAMMPS does:
        # 1 eV/Å^3 = 1.6021765e6 bar); a cubic crystal has no shear stress
        np.testing.assert_allclose(np.diag(stress) * 160.21765, -pressure_gpa, rtol=1e-8)
        np.testing.assert_allclose(stress - np.diag(np.diag(stress)), 0, atol=1e-12)


class TestDerivatives:
    @pytest.mark.parametrize(
        "make",
        [
            _mixed_cluster,
            # triclinic 2-atom cell: neighbours over many images
            lambda: _rattled(bulk("BN", "zincblende", a=3.5), 0.05),
            # slab: periodic in two directions
            lambda: _slab(),
            # free cluster cut from diamond
            lambda: _rattled(
                bulk("C", "diamond", a=3.6, cubic=True).repeat(2)[:20], 0.1, pbc=False
            ),
        ],
        ids=["mixed-compressed", "triclinic-primitive", "slab", "cluster"],
    )
    def test_forces_are_minus_the_energy_gradient(self, calc, make):
        atoms = make()
        atoms.calc = calc
        forces = atoms.get_forces()
        numeric = calculate_numerical_forces(atoms, eps=1e-5)
        assert np.abs(forces).max() > 0.1
        np.testing.assert_allclose(forces, numeric, rtol=0, atol=1e-6 * np.abs(forces).max())
        np.testing.assert_allclose(forces.sum(axis=0), 0, atol=1e-10)

    @pytest.mark.parametrize(
        "make",
        [_mixed_cluster, lambda: _rattled(bulk("BN", "zincblende", a=3.5), 0.05)],
        ids=["mixed-compressed", "triclinic-primitive"],
    )
    def test_stress_is_the_strain_derivative(self, calc, make):
        atoms = make()
        atoms.calc = calc
        stress = atoms.get_stress()
        numeric = calculate_numerical_stress(atoms, eps=1e-6)
        np.testing.assert_allclose(stress, numeric, rtol=0, atol=1e-6 * np.abs(stress).max())

    def test_per_atom_energies_sum_to_the_energy(self, calc):
        atoms = _mixed_cluster()
        atoms.calc = calc
        assert atoms.get_potential_energies().sum() == pytest.approx(
            atoms.get_potential_energy(), rel=1e-12
        )


def _rattled(atoms, amount, pbc=None, seed=1):
    atoms = atoms.copy()
    if pbc is not None:
        atoms.pbc = pbc
    atoms.rattle(amount, seed=seed)
    return atoms


def _slab():
    atoms = bulk("BN", "zincblende", a=3.6, cubic=True).repeat((2, 2, 1))
    atoms.pbc = (True, True, False)
    atoms.rattle(0.08, seed=3)
    return atoms


def _numpy_tersoff_energy(positions, p):
    """The Tersoff energy of a free single-element cluster, written out with numpy."""

    def fc(r):
        if r < p["R"] - p["D"]:
            return 1.0
        if r > p["R"] + p["D"]:
            return 0.0
        return 0.5 - 0.5 * np.sin(np.pi / 2 * (r - p["R"]) / p["D"])

    def g(cos):
        c2, d2 = p["c"] ** 2, p["d"] ** 2
        return p["gamma"] * (1 + c2 / d2 - c2 / (d2 + (p["costheta0"] - cos) ** 2))

    energy = 0.0
    n = len(positions)
    for i in range(n):
        for j in range(n):
            rij = positions[j] - positions[i]
            r = np.linalg.norm(rij)
            if i == j or r >= p["R"] + p["D"]:
                continue
            zeta = 0.0
            for k in range(n):
                if k in (i, j):
                    continue
                rik = positions[k] - positions[i]
                cos = rij @ rik / (r * np.linalg.norm(rik))
                zeta += fc(np.linalg.norm(rik)) * g(cos)
            b = (1 + (p["beta"] * zeta) ** p["n"]) ** (-1 / (2 * p["n"]))
            energy += (
                0.5
                * fc(r)
                * (p["A"] * np.exp(-p["lambda1"] * r) - b * p["B"] * np.exp(-p["lambda2"] * r))
            )
    return energy


class TestBondOrderRegimes:
    """beta*zeta far below and far above 1 take different routes through the bond order."""

    @pytest.mark.parametrize("beta", [1e-11, 1.5724e-7, 0.3, 3e4])
    def test_energy_and_forces(self, tmp_path, beta):
        carbon = TersoffPotential(POTENTIAL).entry("C", "C", "C")
        carbon["beta"] = beta
        order = [
            "m",
            "gamma",
            "lambda3",
            "c",
            "d",
            "costheta0",
            "n",
            "beta",
            "lambda2",
            "B",
            "R",
            "D",
            "lambda1",
            "A",
        ]
        path = tmp_path / "carbon.tersoff"
        path.write_text("C C C " + " ".join(repr(float(carbon[k])) for k in order) + "\n")
        atoms = Atoms(
            "C5",
            positions=[
                (0, 0, 0),
                (1.45, 0.1, 0),
                (-0.5, 1.4, 0.2),
                (-0.4, -0.7, 1.3),
                (1.9, 1.1, 0.9),
            ],
        )
        atoms.calc = TersoffCalculator(path)
        assert atoms.get_potential_energy() == pytest.approx(
            _numpy_tersoff_energy(atoms.positions, carbon), rel=1e-12
        )
        forces = atoms.get_forces()
        np.testing.assert_allclose(
            forces, calculate_numerical_forces(atoms, eps=1e-5), atol=1e-6 * np.abs(forces).max()
        )


class TestInvariance:
    def test_supercell_energy_is_extensive(self, calc):
        atoms = _rattled(bulk("BN", "zincblende", a=3.55, cubic=True), 0.05)
        atoms.calc = calc
        energy = atoms.get_potential_energy()
        big = atoms.repeat((2, 3, 1))
        big.calc = calc
        assert big.get_potential_energy() == pytest.approx(6 * energy, rel=1e-12)
        np.testing.assert_allclose(big.get_stress(), atoms.get_stress(), atol=1e-12)

    def test_rotation_and_translation(self, calc):
        atoms = _mixed_cluster()
        atoms.calc = calc
        energy, forces = atoms.get_potential_energy(), atoms.get_forces()
        moved = atoms.copy()
        moved.rotate(37, (1, 2, 3), rotate_cell=True)
        moved.translate((0.3, -1.1, 2.0))
        moved.calc = calc
        assert moved.get_potential_energy() == pytest.approx(energy, rel=1e-12)
        rotated = atoms.copy()
        rotated.positions = forces
        rotated.rotate(37, (1, 2, 3))
        np.testing.assert_allclose(moved.get_forces(), rotated.positions, atol=1e-9)

    def test_skewed_description_of_the_same_crystal(self, calc):
        atoms = _rattled(bulk("C", "diamond", a=3.6, cubic=True), 0.1)
        atoms.calc = calc
        skewed = atoms.copy()
        cell = atoms.cell.array
        skewed.set_cell([cell[0], cell[1] + 3 * cell[0], cell[2] - 2 * cell[1] + cell[0]])
        skewed.wrap()
        skewed.calc = calc
        assert skewed.get_potential_energy() == pytest.approx(
            atoms.get_potential_energy(), rel=1e-12
        )
        np.testing.assert_allclose(skewed.get_forces(), atoms.get_forces(), atol=1e-9)
        np.testing.assert_allclose(skewed.get_stress(), atoms.get_stress(), atol=1e-10)

    def test_neighbours_agree_with_ase(self, calc):
        """Atoms without neighbours within the cutoff carry no energy; all others do."""
        atoms = _rattled(bulk("C", "diamond", a=3.6, cubic=True).repeat(2), 0.3, seed=8)
        atoms.positions[::5] *= 1.4  # pull some apart
        atoms.pbc = False
        atoms.calc = calc
        i = neighbor_list("i", atoms, 2.1)
        has_neighbours = np.bincount(i, minlength=len(atoms)) > 0
        energies = atoms.get_potential_energies()
        assert (energies[~has_neighbours] == 0).all()
        assert (energies[has_neighbours] != 0).all()


class TestCalculator:
    def test_is_an_ase_calculator(self, calc):
        assert isinstance(calc, Calculator)
        assert set(TersoffCalculator.implemented_properties) == {
            "energy",
            "free_energy",
            "energies",
            "forces",
            "stress",
        }
        assert repr(calc) == f"TersoffCalculator({str(POTENTIAL)!r})"

    def test_results_are_cached_until_the_atoms_change(self, calc):
        atoms = _mixed_cluster()
        atoms.calc = TersoffCalculator(POTENTIAL)
        first = atoms.get_potential_energy()
        assert atoms.calc.get_property("energy", atoms, allow_calculation=False) == first
        atoms.positions[0, 0] += 0.05
        assert atoms.calc.get_property("energy", atoms, allow_calculation=False) is None
        assert atoms.get_potential_energy() != first
        assert atoms.get_potential_energy(force_consistent=True) == pytest.approx(
            atoms.get_potential_energy()
        )

    def test_accepts_a_parsed_potential(self):
        potential = TersoffPotential(POTENTIAL)
        assert potential.elements == ["N", "B", "C"]
        assert potential.cutoff == pytest.approx(2.1)
        assert potential.entry("C", "C", "C")["A"] == 1393.6
        with pytest.raises(KeyError):
            potential.entry("C", "C", "Si")
        atoms = _mixed_cluster()
        atoms.calc = TersoffCalculator(potential)
        reference = _mixed_cluster()
        reference.calc = TersoffCalculator(str(POTENTIAL))
        assert atoms.get_potential_energy() == reference.get_potential_energy()

    def test_stress_of_a_structure_without_volume(self, calc):
        atoms = _rattled(bulk("C", "diamond", a=3.6, cubic=True), 0.1, pbc=False)
        atoms.cell = None
        atoms.calc = calc
        assert atoms.get_forces().shape == (8, 3)
        with pytest.raises(
            PropertyNotImplementedError, match="stress needs a cell of nonzero volume"
        ):
            atoms.get_stress()

    def test_atoms_far_apart_in_a_huge_box(self, calc):
        atoms = Atoms("C2", positions=[(0, 0, 0), (1e6, 3e5, -2e6)], cell=[4e6] * 3, pbc=True)
        atoms.calc = calc
        assert atoms.get_potential_energy() == 0.0


class TestBadInput:
    @pytest.mark.parametrize(
        "atoms, message",
        [
            (
                Atoms("SiC", positions=[(0, 0, 0), (1.5, 0, 0)]),
                "has no parameters for Si; it covers N, B, C.",
            ),
            (
                Atoms("C2", positions=[(0, 0, 0), (0.05, 0, 0)]),
                "Atoms 0 and 1 overlap (distance 0.05 \u00c5, less than 0.1 \u00c5).",
            ),
            (
                Atoms("C", cell=[(3, 0, 0), (0, 3, 0), (3, 3, 0)], pbc=True),
                "Unit cell volume is zero.",
            ),
            (
                Atoms("C2", positions=[(0, 0, 0), (np.nan, 0, 0)]),
                "The position of atom 1 is not a finite number.",
            ),
            (Atoms("C", cell=[0.06, 3, 3], pbc=True), "Atom 0 overlaps its own periodic image"),
        ],
        ids=["unknown-element", "overlap", "zero-volume", "nan", "self-overlap"],
    )
    def test_clear_errors(self, calc, atoms, message):
        atoms.calc = calc
        with pytest.raises(ValueError, match=re.escape(message)):
            atoms.get_forces()

    def test_missing_triplet_is_named(self, tmp_path):
        text = POTENTIAL.read_text()
        path = tmp_path / "partial.tersoff"
        path.write_text(
            "\n".join(line for line in text.splitlines() if not line.startswith("B  N  C"))
        )
        calc = TersoffCalculator(path)
        boron_nitride = bulk("BN", "zincblende", a=3.6)
        boron_nitride.calc = calc
        boron_nitride.get_potential_energy()  # needs no C
        mixed = _mixed_cluster()
        mixed.calc = calc
        with pytest.raises(
            ValueError,
            match=re.escape(
                f"The Tersoff potential {path} has no entry for the element triplet B N C"
            ),
        ):
            mixed.get_potential_energy()

    @pytest.mark.parametrize(
        "text, message",
        [
            (
                "C C C 3.0 1.0 0.0 1 1 0 1 1 1 1 2.0 0.1 1\n",
                "line 1: the entry starting on line 1 ends after 16 words",
            ),
            (
                "# c\nC C C 3.0 1.0 0.0 1 1 0 1 1 oops 1 2.0 0.1 1 1\n",
                "line 2: value 'oops' of parameter lambda2 is not a finite number",
            ),
            (  # a cutoff longer than any bond would exhaust memory on dense input
                "C C C 3.0 1.0 0.0 1 1 0 1 1 1 1 1e308 1e307 1 1\n",
                "line 1: parameter R = 1e308 with D = 1e307 gives a cutoff R + D beyond 10 \u00c5",
            ),
            (
                "C C C 3.0 1.0 0.0 1 1 0 1 1 1 1 9.9 0.2 1 1\n",
                "line 1: parameter R = 9.9 with D = 0.2 gives a cutoff R + D beyond 10 \u00c5",
            ),
        ],
    )
    def test_malformed_file_names_the_line(self, tmp_path, text, message):
        path = tmp_path / "bad.tersoff"
        path.write_text(text)
        with pytest.raises(ValueError, match=re.escape(f"{path}, {message}")):
            TersoffCalculator(path)

    def test_missing_file(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            TersoffCalculator(tmp_path / "nothing.tersoff")


def _with_carbon_entry(tmp_path, **changes):
    """BNC.tersoff with parameters of its C C C entry (line 36) replaced."""
    order = "m gamma lambda3 c d costheta0 n beta lambda2 B R D lambda1 A".split()
    lines = POTENTIAL.read_text().splitlines()
    words = lines[35].split()
    assert words[:3] == ["C", "C", "C"]
    for name, value in changes.items():
        words[3 + order.index(name)] = value
    lines[35] = " ".join(words)
    path = tmp_path / "extreme.tersoff"
    path.write_text("\n".join(lines) + "\n")
    return path


class TestExtremeParameters:
    def test_many_element_types_are_refused_before_the_table(self, tmp_path):
        # 901 made-up types: a 31 kB file whose n^3 table would take 2.9 GB.
        path = tmp_path / "many.tersoff"
        entry = "3.0 1.0 0.0 1 1 0 1 1 1 1 2.0 0.1 1 1"
        path.write_text("".join(f"X{i} X{i} X{i} {entry}\n" for i in range(901)))
        message = (
            f"{path}, line 129: the file names 901 element types; their table of "
            "901^3 = 731432701 triplets would take 2.9 GB, beyond the 128 element types"
        )
        with pytest.raises(ValueError, match=re.escape(message)):
            TersoffCalculator(path)

    @pytest.mark.parametrize(
        "changes",
        [{"costheta0": "-1e308"}, {"A": "1e308", "lambda1": "0"}],
        ids=["costheta0", "A-lambda1"],
    )
    def test_non_finite_results_name_the_entry(self, tmp_path, changes):
        path = _with_carbon_entry(tmp_path, **changes)
        atoms = bulk("C", "diamond", a=3.567)
        atoms.calc = TersoffCalculator(path)
        message = (
            f"{path}, line 36: the parameters of the entry on this line give a non-finite energy"
        )
        with pytest.raises(ValueError, match=re.escape(message)):
            atoms.get_forces()

    def test_extreme_but_finite_results_pass(self, tmp_path, calc):
        # A far-off costheta0 still gives finite numbers when nothing overflows.
        path = _with_carbon_entry(tmp_path, costheta0="-1e3")
        atoms = bulk("C", "diamond", a=3.567)
        atoms.rattle(0.02, seed=3)
        atoms.calc = TersoffCalculator(path)
        forces = atoms.get_forces()
        assert np.isfinite(forces).all()
        assert forces == pytest.approx(calculate_numerical_forces(atoms, eps=1e-5), abs=1e-4)
