"""The kernels' one neighbour search against ASE's neighbor_list."""

import numpy as np
import pytest
from ase import Atoms
from ase.neighborlist import neighbor_list

from ferrolith.core import _geometry


def _random_atoms(cell, pbc, n, seed):
    rng = np.random.default_rng(seed)
    cell = np.array(cell, dtype=float)
    # some atoms outside the cell: the search wraps them itself
    return Atoms(f"C{n}", positions=rng.uniform(-0.3, 1.3, (n, 3)) @ cell, cell=cell, pbc=pbc)


def _sorted_pairs(i, j, d):
    key = np.round(d, 8)
    order = np.lexsort((key[:, 2], key[:, 1], key[:, 0], j, i))
    return i[order], j[order], d[order]


@pytest.mark.parametrize(
    "cell, pbc, cutoff",
    [
        ([[5.1, 0, 0], [2.2, 4.4, 0], [-1.7, 1.3, 4.9]], True, 3.0),  # triclinic
        ([[1.1, 0, 0], [0.5, 1.3, 0], [0.2, -0.4, 1.2]], True, 3.7),  # far thinner than the cutoff
        ([[6.0, 0, 0], [5.8, 1.0, 0], [0, 0, 7.0]], [True, True, False], 2.8),  # slab, needle basis
        ([[2.3, 0.4, 0.1], [0, 6, 0], [0, 0, 6]], [True, False, False], 3.3),  # wire
        ([[0, 0, 0], [0, 0, 0], [0, 0, 0]], False, 2.5),  # cluster without a cell
    ],
    ids=["triclinic", "thin", "slab", "wire", "cluster"],
)
def test_pairs_equal_ase_neighbor_list(cell, pbc, cutoff):
    atoms = _random_atoms(cell if np.any(cell) else np.eye(3) * 6, pbc, 20, seed=len(str(cell)))
    atoms.cell = cell
    got = _sorted_pairs(
        *_geometry._neighbor_pairs(atoms.positions, atoms.cell[:], atoms.pbc, cutoff)
    )
    want = _sorted_pairs(*neighbor_list("ijD", atoms, cutoff))
    assert len(got[0]) == len(want[0]) > 0
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])
    np.testing.assert_allclose(got[2], want[2], atol=1e-9)
