"""Elastic tensors by finite strains: ferrolith.properties.elastic and `ferrolith elastic`."""

import json
import re
import warnings
from pathlib import Path

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk
from ase.calculators.calculator import Calculator, all_changes
from ase.io import write
from ase.units import GPa

from ferrolith.cli import main
from ferrolith.properties import elastic
from ferrolith.properties.elastic import ElasticResult, elastic_tensor
from ferrolith.properties.hardness import calculate_hardness

DATA = Path(__file__).parent / "data"
LAMMPS = json.loads((DATA / "tersoff-lammps-elastic.json").read_text())["systems"]
CRYSTALS = {
    "diamond": lambda: bulk("C", "diamond", a=3.60, cubic=True),
    "c-BN": lambda: bulk("BN", "zincblende", a=3.55, cubic=True),
}


class LinearElastic(Calculator):
    """Stress exactly C·ε for the strain of the cell against `reference`; no forces."""

    implemented_properties = ("energy", "forces", "stress")

    def __init__(self, cij, reference):
        super().__init__()
        self.cij = np.asarray(cij, float)
        self.reference = np.asarray(reference, float)
        self.calls = 0

    def calculate(self, atoms=None, properties=("energy",), system_changes=all_changes):
        super().calculate(atoms, properties, system_changes)
        self.calls += 1
        f = np.linalg.solve(self.reference, atoms.cell.array).T  # a' = F a
        eps = 0.5 * (f + f.T) - np.eye(3)
        voigt = np.array(
            [eps[0, 0], eps[1, 1], eps[2, 2], 2 * eps[1, 2], 2 * eps[0, 2], 2 * eps[0, 1]]
        )
        self.results = {
            "energy": 0.0,
            "forces": np.zeros((len(atoms), 3)),
            "stress": self.cij @ voigt * GPa,
        }


def isotropic(lam, mu):
    c = np.zeros((6, 6))
    c[:3, :3] = lam
    c[np.arange(3), np.arange(3)] = lam + 2 * mu
    c[np.arange(3, 6), np.arange(3, 6)] = mu
    return c


def cubic(c11, c12, c44):
    c = isotropic(c12, 0.0)
    c[np.arange(3), np.arange(3)] = c11
    c[np.arange(3, 6), np.arange(3, 6)] = c44
    return c


@pytest.fixture(scope="module")
def tersoff():
    return {name: elastic_tensor(make(), potential="tersoff") for name, make in CRYSTALS.items()}


class TestTersoff:
    @pytest.mark.parametrize("name", CRYSTALS)
    def test_agrees_with_lammps(self, tersoff, name):
        reference = np.array(LAMMPS[name]["cij_GPa"])
        cij = tersoff[name].cij
        big = np.abs(reference) > 1
        assert np.all(np.abs(cij[big] / reference[big] - 1) < 0.005)
        assert np.all(np.abs(cij[~big]) < 1)

    @pytest.mark.parametrize("name", CRYSTALS)
    def test_cubic_symmetry_and_stability(self, tersoff, name):
        c = tersoff[name].cij
        for block in (np.diag(c)[:3], c[[0, 0, 1], [1, 2, 2]], np.diag(c)[3:]):
            assert np.ptp(block) < 0.005 * abs(block.mean())
        zero = np.ones((6, 6), bool)
        zero[:3, :3] = False
        zero[np.arange(6), np.arange(6)] = False
        assert np.abs(c[zero]).max() < 1
        assert tersoff[name].stable and tersoff[name].residual < 1

    def test_hexagonal_crystal_has_five_constants(self):
        lonsdaleite = bulk("CC", "wurtzite", a=2.58, c=4.21)
        result = elastic_tensor(lonsdaleite, potential="tersoff")
        c = result.cij
        assert result.stable
        assert c[0, 0] == pytest.approx(c[1, 1], rel=5e-3)
        assert c[0, 2] == pytest.approx(c[1, 2], rel=5e-3)
        assert c[3, 3] == pytest.approx(c[4, 4], rel=5e-3)
        assert c[5, 5] == pytest.approx((c[0, 0] - c[0, 1]) / 2, rel=5e-3)
        # Not cubic: the c axis differs (C33 vs C11, C13 vs C12, C44 vs C66).
        for a, b in [((2, 2), (0, 0)), ((0, 2), (0, 1)), ((3, 3), (5, 5))]:
            assert abs(c[a] - c[b]) > 5
        for i, j in [(0, 3), (0, 4), (0, 5), (2, 3), (3, 4), (3, 5), (4, 5)]:
            assert abs(c[i, j]) < 1

    @pytest.mark.parametrize("relax, which", [(False, "at fixed cell"), (True, "of the structure")])
    def test_input_untouched_and_unconverged_relaxation_warns(self, relax, which):
        atoms = bulk("C", "diamond", a=3.50, cubic=True)
        atoms.rattle(0.05, seed=3)
        before = atoms.copy()
        with pytest.warns(RuntimeWarning) as record:
            result = elastic_tensor(atoms, potential="tersoff", relax=relax, steps=1)
        assert any(f"relaxation {which} did not converge" in str(w.message) for w in record)
        assert np.isfinite(result.cij).all() and result.residual > 0
        assert atoms == before and atoms.calc is None


class TestTensorArithmetic:
    def test_isotropic_tensor_recovered_with_analytic_moduli(self):
        lam, mu = 150.0, 80.0
        atoms = bulk("Cu", "fcc", a=3.6, cubic=True)
        result = elastic_tensor(atoms, calculator=LinearElastic(isotropic(lam, mu), atoms.cell))
        assert result.cij == pytest.approx(isotropic(lam, mu), abs=1e-6)
        bulk_modulus = lam + 2 * mu / 3
        for name in ("bulk_voigt", "bulk_reuss", "bulk_hill"):
            assert getattr(result, name) == pytest.approx(bulk_modulus, rel=1e-9)
        for name in ("shear_voigt", "shear_reuss", "shear_hill"):
            assert getattr(result, name) == pytest.approx(mu, rel=1e-9)
        assert result.young == pytest.approx(mu * (3 * lam + 2 * mu) / (lam + mu), rel=1e-9)
        assert result.poisson == pytest.approx(lam / (2 * (lam + mu)), rel=1e-9)
        assert result.residual == pytest.approx(0, abs=1e-6) and result.stable

    def test_cubic_voigt_reuss_bounds_in_a_rotated_frame(self):
        # Closed forms for cubic crystals; the cell is rotated, so the tensor
        # is not in its standard orientation and must be rotated back for the
        # stability criteria.
        c11, c12, c44 = 300.0, 120.0, 40.0
        atoms = bulk("Cu", "fcc", a=3.6, cubic=True)
        atoms.rotate(25, "x", rotate_cell=True)
        rot = atoms.cell.array.T @ np.linalg.inv(bulk("Cu", "fcc", a=3.6, cubic=True).cell.array.T)
        calc = LinearElastic(rotated(cubic(c11, c12, c44), rot), atoms.cell)
        result = elastic_tensor(atoms, calculator=calc, relax=False)
        assert result.shear_voigt == pytest.approx((c11 - c12 + 3 * c44) / 5, rel=1e-9)
        reuss = 5 * (c11 - c12) * c44 / (4 * c44 + 3 * (c11 - c12))
        assert result.shear_reuss == pytest.approx(reuss, rel=1e-9)
        assert result.bulk_reuss == pytest.approx((c11 + 2 * c12) / 3, rel=1e-9)
        assert result.stable

    @pytest.mark.parametrize(
        "c11, c12, c44", [(100.0, 120.0, 40.0), (100.0, -60.0, 40.0), (300.0, 120.0, -5.0)]
    )
    def test_each_cubic_instability_is_reported(self, c11, c12, c44):
        atoms = bulk("Cu", "fcc", a=3.6, cubic=True)
        result = elastic_tensor(
            atoms, calculator=LinearElastic(cubic(c11, c12, c44), atoms.cell), relax=False
        )
        assert not result.stable
        assert np.linalg.eigvalsh(result.cij).min() < 0

    def test_diamond_stretched_far_along_one_axis_is_unstable(self):
        atoms = bulk("C", "diamond", a=3.645, cubic=True)
        atoms.set_cell(atoms.cell.array * [1, 1, 1.3], scale_atoms=True)
        result = elastic_tensor(atoms, potential="tersoff", relax=False)
        assert isinstance(result, ElasticResult)
        assert not result.stable


PAIRS = [(0, 0), (1, 1), (2, 2), (1, 2), (0, 2), (0, 1)]


def rotated(c, r):
    """The Voigt tensor c in the frame rotated by r, through the fourth-rank tensor."""
    full = np.zeros((3, 3, 3, 3))
    for a, (i, j) in enumerate(PAIRS):
        for b, (k, m) in enumerate(PAIRS):
            for p, q in {(i, j), (j, i)}:
                for s, t in {(k, m), (m, k)}:
                    full[p, q, s, t] = c[a, b]
    full = np.einsum("ip,jq,kr,ls,pqrs->ijkl", r, r, r, r, full)
    return np.array([[full[i, j, k, m] for k, m in PAIRS] for i, j in PAIRS])


def nan_atom(atoms):
    atoms = atoms.copy()
    atoms.positions[0, 2] = np.nan
    return atoms


class NoStress(Calculator):
    implemented_properties = ("energy", "forces")


@pytest.mark.parametrize(
    "arguments, error, text",
    [
        (lambda a, spy: {"atoms": Atoms("C"), "calculator": spy}, ValueError, "periodic in all"),
        (lambda a, spy: {"atoms": "x.vasp", "calculator": spy}, TypeError, "ase.Atoms"),
        (lambda a, spy: {"atoms": nan_atom(a), "calculator": spy}, ValueError, "non-finite"),
        (lambda a, spy: {"atoms": a, "potential": "no-such"}, ValueError, "Unknown potential"),
        (lambda a, spy: {"atoms": a, "calculator": NoStress()}, ValueError, "compute stress"),
        (lambda a, spy: {"atoms": a}, ValueError, "exactly one of calculator or potential"),
        (lambda a, spy: {"atoms": a, "calculator": spy, "potential": "tersoff"}, ValueError, "one"),
        (
            lambda a, spy: {"atoms": a, "calculator": spy, "strains": (0.0, 0.01)},
            ValueError,
            "up to",
        ),
        (lambda a, spy: {"atoms": a, "calculator": spy, "strains": (-0.01,)}, ValueError, "up to"),
        (
            lambda a, spy: {"atoms": a, "calculator": spy, "strains": (0.01, 0.01)},
            ValueError,
            "distinct",
        ),
        (
            lambda a, spy: {"atoms": a, "calculator": spy, "symprec": float("nan")},
            ValueError,
            "symprec",
        ),
        (lambda a, spy: {"atoms": a, "calculator": spy, "fmax": 0.0}, ValueError, "fmax"),
        (
            lambda a, spy: {"atoms": a, "calculator": spy, "strain_set": "half"},
            ValueError,
            "strain_set must be 'symmetry' or 'full'",
        ),
    ],
)
def test_bad_input_refused_before_any_work(arguments, error, text):
    atoms = bulk("C", "diamond", a=3.645, cubic=True)
    spy = LinearElastic(np.eye(6), atoms.cell)
    with pytest.raises(error, match=text):
        elastic_tensor(**arguments(atoms, spy))
    assert spy.calls == 0


def test_commands_elastic_and_hardness_with_a_potential(tersoff, tmp_path, capsys):
    path = tmp_path / "diamond.vasp"
    write(path, CRYSTALS["diamond"](), format="vasp")
    assert main(["elastic", "-f", str(path), "--json"]) == 0
    record = json.loads(capsys.readouterr().out)
    assert np.array(record["cij"]) == pytest.approx(tersoff["diamond"].cij, rel=1e-6, abs=1e-6)
    assert record["stable"] is True
    assert main(["elastic", "-f", str(path), "--json", "--strain-set", "full"]) == 0
    full = json.loads(capsys.readouterr().out)
    assert np.array(full["cij"]) == pytest.approx(np.array(record["cij"]), rel=1e-4, abs=1e-3)
    assert main(["elastic", "-f", str(path)]) == 0
    table = capsys.readouterr().out
    assert "Born stability:        stable" in table
    assert f"{tersoff['diamond'].cij[0, 0]:10.1f}" in table

    assert main(["hardness", str(path), "--potential", "tersoff", "--json"]) == 0
    (row,) = json.loads(capsys.readouterr().out)
    shear, bulk_modulus = tersoff["diamond"].shear_hill, tersoff["diamond"].bulk_hill
    assert row["shear_hill"] == pytest.approx(shear, rel=1e-6)
    for method in ("chen", "tian", "jiang", "mazhnik"):
        expected = calculate_hardness(shear=shear, bulk=bulk_modulus, method=method)
        assert row[method] == pytest.approx(expected, rel=1e-5)
        # The soft potential's values are a third of the Simunek one, and say so.
        assert any(
            f.startswith(f"{method}: ") and f.endswith("% below Simunek") for f in row["flags"]
        )


def test_module_names_are_looked_up_at_call_time(monkeypatch):
    atoms = bulk("C", "diamond", a=3.645, cubic=True)
    monkeypatch.setattr(
        elastic, "get_calculator", lambda path: LinearElastic(np.eye(6), atoms.cell)
    )
    result = elastic_tensor(atoms, potential="tersoff", relax=False)
    assert result.cij == pytest.approx(np.eye(6), abs=1e-9)


@pytest.fixture(scope="module")
def ml_and_teacher():
    # The shipped weights through their numpy copy (no PyTorch needed); the
    # teacher's numbers come from training/teacher_elastic.py.
    from test_optimization_mlp import shipped_weights

    from ferrolith.optimization import _mlp

    teacher = json.loads((DATA / "ml-teacher-elastic.json").read_text())["systems"]
    calc = _mlp.MLCalculator(_mlp.MLModel(shipped_weights()))
    # at the default fmax, as `hardness --potential pth` runs it: no warning that
    # the atoms of sheared c-BN did not relax
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        ml = {name: elastic_tensor(make(), calculator=calc) for name, make in CRYSTALS.items()}
    return ml, teacher


@pytest.mark.parametrize("name", CRYSTALS)
def test_machine_learned_tensor_against_its_teacher(ml_and_teacher, name):
    ml, teacher = ml_and_teacher
    reference = np.array(teacher[name]["cij"])
    for index in [(0, 0), (0, 1), (3, 3)]:
        assert ml[name].cij[index] == pytest.approx(reference[index], rel=0.10), index


@pytest.mark.parametrize("name", CRYSTALS)
def test_machine_learned_bulk_modulus_against_its_teacher(ml_and_teacher, name):
    # The teacher's own curvature, from its energies over +-2 % lattice constants.
    ml, teacher = ml_and_teacher
    assert ml[name].bulk_hill == pytest.approx(teacher[name]["eos_bulk_modulus"], rel=0.10)


class Counting(Calculator):
    """Delegates to `inner` and counts the calculations."""

    implemented_properties = ("energy", "free_energy", "forces", "stress")

    def __init__(self, inner):
        super().__init__()
        self.inner, self.calls = inner, 0

    def calculate(self, atoms=None, properties=("energy",), system_changes=all_changes):
        super().calculate(atoms, properties, system_changes)
        self.calls += 1
        atoms = self.atoms.copy()
        atoms.calc = self.inner
        energy = atoms.get_potential_energy()
        self.results = {
            "energy": energy,
            "free_energy": energy,
            "forces": atoms.get_forces(),
            "stress": atoms.get_stress(),
        }


def triclinic_diamond():
    # Diamond under a general homogeneous strain keeps only the inversion (P-1).
    atoms = bulk("C", "diamond", a=3.567, cubic=True)
    deform = np.eye(3) + np.array([[0.02, 0.01, -0.015], [0.01, -0.01, 0.02], [-0.015, 0.02, 0.03]])
    atoms.set_cell(atoms.cell.array @ deform.T, scale_atoms=True)
    return atoms


class TestStrainSets:
    @pytest.mark.parametrize(
        "make, relax, most",
        [
            # 6 of 24 cells; the full set's continued relaxations are cheap
            # (one call), so the calls fall a little short of the cells' ratio.
            (CRYSTALS["diamond"], True, 0.3),
            (lambda: bulk("CC", "wurtzite", a=2.58, c=4.21), True, 0.8),
            (triclinic_diamond, False, 1.0),
        ],
        ids=["cubic", "hexagonal", "triclinic"],
    )
    def test_symmetry_set_gives_the_full_tensor_with_fewer_calls(self, make, relax, most):
        from ferrolith.optimization import get_calculator

        atoms = make()
        if relax:  # both sets then start from the same structure
            atoms = elastic_tensor_reference(atoms)
        tensors, calls = {}, {}
        for strain_set in ("full", "symmetry"):
            calc = Counting(get_calculator("tersoff"))
            # The sets relax different cells from different starts: a tight
            # fmax keeps that below the tolerance.
            result = elastic_tensor(
                atoms, calculator=calc, relax=False, strain_set=strain_set, fmax=1e-5
            )
            tensors[strain_set], calls[strain_set] = result.cij, calc.calls
        scale = np.abs(tensors["full"]).max()
        assert np.abs(tensors["symmetry"] - tensors["full"]).max() < 1e-6 * scale
        assert calls["symmetry"] <= most * calls["full"]

    @pytest.mark.parametrize("angle, cells", [(0, 6), (30, 12)])
    def test_cells_of_a_cubic_crystal_in_any_frame(self, angle, cells):
        # One calculation per cell (no forces). With the cube axes off x and y
        # fewer operations map one Voigt strain onto another; the tensor
        # stays right.
        atoms = bulk("Cu", "fcc", a=3.6, cubic=True)
        atoms.rotate(angle, "z", rotate_cell=True)
        rot = atoms.cell.array.T @ np.linalg.inv(bulk("Cu", "fcc", a=3.6, cubic=True).cell.array.T)
        expected = rotated(cubic(300.0, 120.0, 40.0), rot)
        calc = LinearElastic(expected, atoms.cell)
        result = elastic_tensor(atoms, calculator=calc, relax=False)
        assert result.cij == pytest.approx(expected, abs=1e-6)
        assert calc.calls == cells  # of 24


def elastic_tensor_reference(atoms):
    from ferrolith.optimization import get_calculator, optimize_structure

    atoms = atoms.copy()
    atoms.calc = get_calculator("tersoff")
    return optimize_structure(atoms, fmax=1e-4, trajectory=None)


class TestNoSilentNonsense:
    def test_strain_too_small_for_fmax_warns(self):
        # The clamped-ion C44 of diamond is ~50 % above the relaxed one.
        atoms = CRYSTALS["diamond"]()
        with pytest.warns(RuntimeWarning, match="did not relax in 1 of 3 strained cells"):
            tiny = elastic_tensor(atoms, potential="tersoff", strains=(1e-12,), relax=False)
        relaxed = elastic_tensor(atoms, potential="tersoff", relax=False)
        assert tiny.cij[3, 3] > 1.3 * relaxed.cij[3, 3]

    @pytest.mark.parametrize(
        "stress, text",
        [
            (np.full(6, np.nan), "non-finite stress for the cell strained by xx -0.5 %"),
            (np.zeros(6), "The elastic tensor is zero"),
        ],
    )
    def test_nonsense_stress_refused(self, stress, text):
        class Fixed(LinearElastic):
            def calculate(self, *args, **kwargs):
                super().calculate(*args, **kwargs)
                self.results["stress"] = stress

        atoms = CRYSTALS["diamond"]()
        with pytest.raises(ValueError, match=re.escape(text)):
            elastic_tensor(atoms, calculator=Fixed(np.eye(6), atoms.cell), relax=False)

    def test_atom_without_bonds_refused(self):
        lone = Atoms("C", cell=[8, 8, 8], pbc=True)
        with pytest.raises(ValueError, match="The elastic tensor is zero"):
            elastic_tensor(lone, potential="tersoff", relax=False)
