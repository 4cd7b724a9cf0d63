from dataclasses import dataclass
from os import PathLike
from typing import Any, Callable

import numpy as np
from ase import Atoms as Atoms

ase_read: Callable[..., Any]
neighbor_list: Callable[..., Any]
covalent_radii: np.ndarray

ELEMENT_PARAMS: dict[str, dict[str, float]]

def first_shell_cutoff(atoms: Atoms) -> float: ...

@dataclass
class BondType:
    """Represents a unique type of bond for a central atom."""

    neighbor_sym: str
    representative_distance: float
    count: int = 1

class SimunekHardnessCalculator:
    C: float
    sigma: float
    verbose: Any
    def __init__(self, C: float = 1450.0, sigma: float = 2.8, verbose: Any = False) -> None: ...
    def _analyze_bonds(
        self, atoms: Atoms, rcut: float, tolerance: float
    ) -> tuple[list[list[BondType]], np.ndarray]: ...
    def _analyze_bonds_closest(
        self, atoms: Atoms, rcut: float, tolerance: float
    ) -> tuple[list[list[BondType]], np.ndarray]: ...
    def _calculate_hardness(
        self,
        atoms: Atoms | str | PathLike[str],
        rcut: float = 2.0,
        tolerance: float = 0.2,
        element_params: dict[str, Any] | None = None,
        lowcn: Any = True,
    ) -> dict[str, Any]: ...
    def calculate_hardness(
        self,
        atoms: Atoms | str | PathLike[str],
        rcut: float = 2.0,
        tolerance: float = 0.2,
        element_params: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> float: ...
