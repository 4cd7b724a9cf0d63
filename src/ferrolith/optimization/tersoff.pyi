from collections.abc import Sequence
from os import PathLike
from typing import Any, ClassVar

import numpy as np
from ase import Atoms
from ase.calculators.calculator import Calculator as Calculator
from ase.calculators.calculator import all_changes as all_changes

MAX_CUTOFF: float
atomic_numbers: dict[str, int]
chemical_symbols: list[str]

class TersoffPotential:
    def __init__(self, path: str | PathLike[str]) -> None: ...
    @property
    def path(self) -> str: ...
    @property
    def elements(self) -> list[str]: ...
    @property
    def cutoff(self) -> float: ...
    def entry(self, e1: str, e2: str, e3: str) -> dict[str, float]: ...
    def evaluate(self, atoms: Atoms, max_neighbors: int = 500) -> dict[str, float | np.ndarray]: ...

class TersoffCalculator(Calculator):
    implemented_properties: ClassVar[tuple[str, ...]]
    default_parameters: ClassVar[dict[str, Any]]
    potential: TersoffPotential
    max_neighbors: int
    def __init__(
        self,
        potential: str | PathLike[str] | TersoffPotential,
        max_neighbors: int = 500,
        **kwargs: Any,
    ) -> None: ...
    def calculate(
        self,
        atoms: Atoms | None = None,
        properties: Sequence[str] | None = ("energy",),
        system_changes: Sequence[str] | None = None,
    ) -> None: ...
