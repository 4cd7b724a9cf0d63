"""Coherent twin boundaries built from a bulk crystal."""

from os import PathLike
from typing import Any, Literal

import numpy
from ase.atoms import Atoms as Atoms
from ase.build import make_supercell as make_supercell
from ase.build import sort as sort
from ase.build import surface as surface
from ase.cell import Cell as Cell
from ase.io import read as read

from ferrolith.core import average_atoms as average_atoms
from ferrolith.core import check_reflection_symmetry as check_reflection_symmetry
from ferrolith.core import compute_d_hkl as compute_d_hkl
from ferrolith.core import get_layers as get_layers
from ferrolith.core import mirror_array as mirror_array

np = numpy

class CoherentTwinBoundary:
    """A class to create a coherent twin boundary from a bulk crystal structure."""

    bulk: Atoms
    plane: tuple[int, int, int]
    layers: list[int]
    tol_surface: float
    tol_layer: float
    average_cutoff: float
    delete_layers: list[int]
    gap: float
    vacuum: float
    direction: int
    symprec: float
    grains: list[Atoms]
    grain_boundary: Atoms | None
    operation: Literal["mirror", "rotation", "auto"]
    max_atoms: int | None
    def __init__(
        self,
        bulk: Atoms | str | PathLike[str] | Any,
        plane: tuple[int, int, int] = (1, 1, 1),
        layers: list[int] = [3],
        tol_surface: float = 0.02,
        tol_layer: float = 0.1,
        average_cutoff: float = 0.2,
        delete_layers: list[int] = [],
        gap: float = 0.0,
        vacuum: float = 0.0,
        direction: int = 2,
        symprec: float = 0.0,
        *,
        operation: Literal["mirror", "rotation", "auto"] = "mirror",
        max_atoms: int | None = 1000000,
    ) -> None: ...
    def find_mirror_plane(
        self, grain: Atoms, direction: int = 2, tol: float = 0.1
    ) -> tuple[int | None, float]: ...
    def _guess_delete_layers(
        self, grain: Atoms, nlayers: float, index: int | None = None
    ) -> list[int]: ...
    def generate_grains(self) -> list[Atoms]: ...
    def _cut_slab(self) -> Atoms: ...
    def mirror_grain(self, grain: Atoms) -> Atoms: ...
    def stack_grains(self, grains: list[Atoms], gap: float = 0.0) -> Atoms: ...
    def create(self, supercell: Any = [1, 1, 1]) -> Atoms: ...
