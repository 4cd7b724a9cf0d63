from dataclasses import dataclass
from os import PathLike
from typing import IO, Any, Callable

import numpy as np

json_loads: Callable[..., Any]

@dataclass
class TensorModuli:
    """Elastic tensor (GPa, Voigt order xx, yy, zz, yz, xz, xy), its Voigt, Reuss and Hill
    moduli (GPa), Young's modulus (GPa), Poisson's ratio, the stability verdict (positive
    definite), Zener's ratio (NaN unless cubic) and the universal anisotropy index."""

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
    zener: float
    universal_anisotropy: float

def read_cij(fd: str | PathLike[str] | IO[str]) -> np.ndarray: ...
def tensor_moduli(cij: Any) -> TensorModuli: ...
