from collections.abc import Sequence
from dataclasses import dataclass
from os import PathLike
from typing import Any, Callable

import numpy as np
from ase import Atoms as Atoms
from ase.optimize import LBFGS as LBFGS

GPa: float
atoms_to_spglib_cell: Callable[..., Any]
spglib: Any
warn: Callable[..., None]
get_calculator: Callable[..., Any]
optimize_structure: Callable[..., Atoms]
threadpool_limits: Callable[..., Any] | None

@dataclass
class ElasticResult:
    """Elastic tensor (GPa, Voigt order xx, yy, zz, yz, xz, xy), its Voigt, Reuss and Hill
    moduli (GPa), Young's modulus (GPa), Poisson's ratio, the Born stability verdict and
    the RMS fit residual (GPa)."""

    cij: np.ndarray
    bulk_voigt: float
    bulk_reuss: float
    bulk_hill: float
    shear_voigt: float
    shear_reuss: float
    shear_hill: float
    young: float
    poisson: float
    stable: bool
    residual: float

def elastic_tensor(
    atoms: Atoms,
    calculator: Any = None,
    potential: str | PathLike[str] | None = None,
    strains: Sequence[float] = (0.005, 0.01),
    relax: bool = True,
    fmax: float = 1e-3,
    steps: int = 1000,
    symprec: float = 1e-3,
    strain_set: str = "symmetry",
) -> ElasticResult: ...
