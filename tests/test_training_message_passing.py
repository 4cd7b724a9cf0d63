"""The message-passing experiment of training/: its forces and stress are the
derivatives of its energy (through the descriptor kernel and the pair geometry)."""

import sys
from pathlib import Path

import numpy as np
import pytest
from ase.build import bulk
from ase.calculators.singlepoint import SinglePointCalculator

torch = pytest.importorskip("torch")
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "training"))
import message_passing as mp  # noqa: E402
import train as local  # noqa: E402

from ferrolith.optimization import _mlp  # noqa: E402


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

    def frame(a):
        a = a.copy()
        a.calc = SinglePointCalculator(a, energy=0.0, forces=np.zeros((len(a), 3)), stress=[0] * 6)
        fr = local.Frame(a, descriptor)
        mp.attach_pairs([fr], 5.0)
        return fr

    def energy(a):
        return next(mp.predictions((model, descriptor), [frame(a)]))[0]

    model.standardise_messages([frame(atoms)])
    _, forces, stress = next(mp.predictions((model, descriptor), [frame(atoms)]))
    h = 1e-5
    for k, c in [(0, 0), (5, 2), (11, 1)]:
        plus, minus = atoms.copy(), atoms.copy()
        plus.positions[k, c] += h
        minus.positions[k, c] -= h
        assert forces[k, c] == pytest.approx(-(energy(plus) - energy(minus)) / (2 * h), abs=1e-7)
    for i, j in [(0, 0), (0, 1), (1, 2)]:
        eps = np.zeros((3, 3))
        eps[i, j] = eps[j, i] = h
        plus, minus = atoms.copy(), atoms.copy()
        plus.set_cell(atoms.cell @ (np.eye(3) + eps), scale_atoms=True)
        minus.set_cell(atoms.cell @ (np.eye(3) - eps), scale_atoms=True)
        derivative = (energy(plus) - energy(minus)) / (2 * h) / atoms.get_volume()
        assert stress[i, j] == pytest.approx(derivative / (1 if i == j else 2), abs=1e-8)
