"""Both potentials through the ASE calculator contract, with one set of rules."""

import re
from pathlib import Path

import numpy as np
import pytest
from ase import Atoms
from ase.build import bulk
from ase.calculators.calculator import Calculator, PropertyNotImplementedError
from ase.calculators.fd import calculate_numerical_stress
from test_optimization_mlp import shipped_weights

from ferrolith.data import files
from ferrolith.optimization import _mlp
from ferrolith.optimization.tersoff import TersoffCalculator

CALCULATORS = {
    "tersoff": lambda **kw: TersoffCalculator(Path(files.__file__).parent / "BNC.tersoff", **kw),
    "ml": lambda **kw: _mlp.MLCalculator(_mlp.MLModel(shipped_weights()), **kw),
}


@pytest.fixture(params=sorted(CALCULATORS))
def make(request):
    return CALCULATORS[request.param]


def _cbn(pbc=True):
    atoms = bulk("BN", "zincblende", a=3.615, cubic=True)
    atoms.rattle(0.05, seed=3)
    atoms.pbc = pbc
    return atoms


def test_properties_caching_and_check_state(make):
    calc = make()
    assert isinstance(calc, Calculator) and calc.max_neighbors == 500
    atoms = _cbn()
    atoms.calc = calc
    energy = atoms.get_potential_energy()
    assert atoms.get_potential_energy(force_consistent=True) == energy
    assert atoms.get_potential_energies().sum() == pytest.approx(energy, abs=1e-10)
    calls = []
    original = calc.calculate
    calc.calculate = lambda *a, **k: calls.append(1) or original(*a, **k)
    forces, stress = atoms.get_forces(), atoms.get_stress()  # cached by the first call
    assert not calls and forces.shape == (8, 3) and stress.shape == (6,)
    moved = atoms.copy()
    moved.positions[0, 0] += 0.01
    assert calc.check_state(moved) == ["positions"]
    atoms.positions[0, 0] += 0.01
    assert atoms.get_potential_energy() != energy and len(calls) == 1


def test_stress_of_a_slab_is_the_strain_derivative_over_its_cell(make):
    atoms = _cbn(pbc=[True, True, False])
    atoms.center(vacuum=3.0, axis=2)
    atoms.calc = make()
    numeric = calculate_numerical_stress(atoms, eps=1e-6)
    np.testing.assert_allclose(atoms.get_stress(), numeric, atol=1e-6)


def test_no_stress_without_a_cell_volume(make):
    atoms = _cbn(pbc=False)
    atoms.cell = None
    atoms.calc = make()
    assert np.isfinite(atoms.get_potential_energy())
    message = "The stress needs a cell of nonzero volume; this structure's cell has none."
    with pytest.raises(PropertyNotImplementedError, match=re.escape(message)):
        atoms.get_stress()


@pytest.mark.parametrize(
    "atoms, message",
    [
        (
            Atoms("C2", positions=[(0, 0, 0), (np.nan, 0, 0)]),
            "The position of atom 1 is not a finite number.",
        ),
        (
            Atoms("C2", positions=[(0, 0, 0), (0.05, 0, 0)]),
            "Atoms 0 and 1 overlap (distance 0.05 \u00c5, less than 0.1 \u00c5).",
        ),
        (Atoms("C", cell=[0.06, 30, 30], pbc=True), "Atom 0 overlaps its own periodic image"),
        (Atoms("C", cell=[(3, 0, 0), (0, 3, 0), (3, 3, 0)], pbc=True), "Unit cell volume is zero."),
        (
            Atoms("C", cell=[np.inf, 3, 3], pbc=True),
            "The cell contains a value that is not a finite",
        ),
        (Atoms("C", cell=[0.3] * 3, pbc=True), "The cell is too small or the structure too dense"),
    ],
    ids=["nan", "overlap", "self-overlap", "zero-volume", "inf-cell", "too-dense"],
)
def test_bad_structures_give_the_same_message(make, atoms, message):
    atoms.calc = make()
    with pytest.raises(ValueError, match=re.escape(message)):
        atoms.get_forces()


def test_max_neighbors_is_checked_and_bounds_the_search(make):
    with pytest.raises(TypeError, match="max_neighbors"):
        make(max_neighbors=True)
    with pytest.raises(ValueError, match="max_neighbors must be 0"):
        make(max_neighbors=-1)
    atoms = _cbn()
    atoms.calc = make(max_neighbors=3)  # four bonds per atom at least
    with pytest.raises(ValueError, match=r"more than the limit of 3|has more than 3 neighbours"):
        atoms.get_potential_energy()
