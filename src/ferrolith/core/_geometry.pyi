"""Geometry functions for slabs and periodic cells (re-exported by ferrolith.core)."""

from typing import Any

import numpy as np
from ase import Atoms
from numpy.typing import ArrayLike

def get_layers(positions: ArrayLike, direction: int = 2, tol: float = 0.1) -> list[np.ndarray]:
    """Atomic layers normal to ``direction``, in increasing coordinate order.

    Single linkage: after sorting the coordinates along ``direction``, two
    atoms adjacent in that order share a layer when their coordinates differ
    by at most ``tol`` (> 0), so a chain of close coordinates is one layer.
    Each layer is a numpy array of atom indices in increasing order.
    """

def check_reflection_symmetry(
    plane: float, direction: int, tol: float, atoms1: Atoms, atoms2: Atoms
) -> bool:
    """Whether ``atoms2`` is the mirror image of ``atoms1`` across the plane.

    Same element counts, and a one-to-one pairing by element within ``tol`` of
    each mirror image; in-plane displacements are reduced to their shortest
    image over the two cell vectors of ``atoms1`` other than ``direction``.
    """

def compute_d_hkl(bulk: Atoms | Any, plane: ArrayLike) -> float:
    """Interplanar spacing 1 / |h b1 + k b2 + l b3| of any cell, in Angstrom."""

def mirror_array(positions: ArrayLike, direction: int = 2) -> np.ndarray:
    """A new array with fractional coordinate s -> 1 - s along ``direction``."""

def average_atoms(atoms: Atoms, cutoff: float) -> Atoms:
    """Atoms closer than ``cutoff`` merged, transitively and periodically.

    A merged atom is its cluster's lowest-index atom (element and per-atom
    values), placed at the centroid of the members (periodic images unwrapped
    along the chain of close pairs); order kept, nothing wrapped. Linear cost.
    """

def get_all_hkl(hklmax: int) -> list[tuple[int, int, int]]:
    """Distinct planes with indices at most ``hklmax`` (1 to 100) in magnitude.

    No common factor, first non-zero index positive; ordered by increasing
    h^2 + k^2 + l^2, then decreasing (h, k, l).
    """
