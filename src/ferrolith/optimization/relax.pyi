from os import PathLike as PathLike
from pathlib import Path as Path
from types import ModuleType
from typing import Callable

from ase import Atoms as Atoms
from ase.calculators.calculator import BaseCalculator
from ase.filters import FrechetCellFilter as FrechetCellFilter
from ase.optimize.optimize import Optimizer
from threadpoolctl import threadpool_limits as threadpool_limits

from ferrolith.optimization.tersoff import TersoffCalculator as TersoffCalculator
from ferrolith.optimization.tersoff import TersoffPotential as TersoffPotential

GPa: float
files: ModuleType
warnings: ModuleType
OPTIMIZERS: dict[str, type[Optimizer]]
POTENTIAL_KINDS: dict[str, str]
CALCULATORS: dict[str, Callable[[str], BaseCalculator]]

def load_ml_calculator(path: str | PathLike[str]) -> BaseCalculator: ...
def load_gpaw_calculator(path: str | PathLike[str]) -> BaseCalculator: ...
def potential_kind(potential: str | PathLike[str]) -> str: ...
def get_calculator(potential: str | PathLike[str]) -> BaseCalculator: ...
def relaxation_residual(atoms: Atoms, pressure: float = 0.0, method: str = "LBFGS") -> float: ...
def optimize_structure(
    atoms: Atoms,
    fmax: float = 0.05,
    method: str = "LBFGS",
    steps: int = 5000,
    pressure: float = 0.0,
    trajectory: str | PathLike[str] | None = "opt.traj",
) -> Atoms: ...
