from os import PathLike
from typing import Any, ClassVar, Dict, List, Sequence, Tuple, Union

import numpy as np
from ase import Atoms
from ase.calculators.calculator import Calculator as Calculator
from ase.calculators.calculator import all_changes as all_changes

atomic_numbers: Dict[str, int]
chemical_symbols: List[str]

class TersoffPotential:
    def __init__(self, path: Union[str, PathLike[str]]) -> None: ...
    @property
    def path(self) -> str: ...
    @property
    def elements(self) -> List[str]: ...
    @property
    def cutoff(self) -> float: ...
    def entry(self, e1: str, e2: str, e3: str) -> Dict[str, float]: ...
    def evaluate(self, atoms: Atoms) -> Dict[str, Union[float, np.ndarray]]: ...

class TersoffCalculator(Calculator):
    implemented_properties: ClassVar[Tuple[str, ...]]
    default_parameters: ClassVar[Dict[str, Any]]
    potential: TersoffPotential
    def __init__(
        self, potential: Union[str, PathLike[str], TersoffPotential], **kwargs: Any
    ) -> None: ...
    def calculate(
        self,
        atoms: Atoms | None = None,
        properties: Sequence[str] = ("energy",),
        system_changes: Sequence[str] = ...,
    ) -> None: ...
