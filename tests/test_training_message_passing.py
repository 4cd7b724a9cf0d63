"""The message-passing experiment of training/: its forces and stress are the
derivatives of its energy (through the descriptor kernel and the pair geometry)."""

import sys
from pathlib import Path

import numpy as np
import pytest
from ase.build import bulk
from ase.calculators.calculator import Calculator, all_changes
from ase.calculators.fd import calculate_numerical_forces, calculate_numerical_stress
from ase.calculators.singlepoint import SinglePointCalculator

torch = pytest.importorskip("torch")
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "training"))
import message_passing as mp  # noqa: E402
import train as local  # noqa: E402

from ferrolith.optimization import _mlp  # noqa: E402


class MessagePassingCalculator(Calculator):
    implemented_properties = ["energy", "free_energy", "forces", "stress"]

    def __init__(self, model, descriptor):
        super().__init__()
        self.model, self.descriptor = model, descriptor

    def frame(self, atoms):
        a = atoms.copy()  # Frame reads labels: zeros stand in for the teacher's
        a.calc = SinglePointCalculator(a, energy=0.0, forces=np.zeros((len(a), 3)), stress=[0] * 6)
        fr = local.Frame(a, self.descriptor)
        mp.attach_pairs([fr], self.model.cutoff)
        return fr

    def calculate(self, atoms=None, properties=("energy",), system_changes=all_changes):
        super().calculate(atoms, properties, system_changes)
        pair = (self.model, self.descriptor)
        energy, forces, stress = next(mp.predictions(pair, [self.frame(self.atoms)]))
        self.results = {
            "energy": energy,
            "free_energy": energy,
            "forces": forces,
            "stress": stress.ravel()[[0, 4, 8, 5, 2, 1]],
        }


def test_forces_and_stress_are_derivatives_of_the_energy():
    torch.manual_seed(0)
    descriptor = _mlp.Descriptor(local.ELEMENTS, {**local.DESCRIPTOR, **local.FOUR_BODY})
    atoms = bulk("BN", "zincblende", a=3.6, cubic=True).repeat((1, 1, 2))
    atoms.symbols[[0, 3]] = "C"
    atoms.rattle(0.08, seed=2)
    strain = 0.02 * np.random.default_rng(1).standard_normal((3, 3))
    atoms.set_cell(atoms.cell @ (np.eye(3) + strain), scale_atoms=True)
    n = descriptor.size
    stats = (np.zeros((1, n)), np.ones((1, n)), np.zeros(3), 1.0)
    model = mp.MessagePassing(n, stats, 8, 8, 6, 5.0, [32])
    atoms.calc = MessagePassingCalculator(model, descriptor)
    model.standardise_messages([atoms.calc.frame(atoms)])
    assert atoms.get_forces() == pytest.approx(
        calculate_numerical_forces(atoms, eps=1e-5), abs=1e-7
    )
    assert atoms.get_stress() == pytest.approx(
        calculate_numerical_stress(atoms, eps=1e-5), abs=1e-8
    )
