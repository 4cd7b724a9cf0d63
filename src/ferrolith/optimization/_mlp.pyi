"""Machine-learned interatomic potential for boron, carbon and nitrogen."""

from collections.abc import Sequence
from os import PathLike
from typing import Any, ClassVar

import numpy as np
from ase import Atoms
from ase.calculators.calculator import Calculator as Calculator
from ase.calculators.calculator import all_changes as all_changes

chemical_symbols: list[str]
FORMAT: str
FORMAT_VERSION: int

class MLModel:
    def __init__(self, data: dict[str, Any]) -> None: ...
    @property
    def elements(self) -> list[str]: ...
    @property
    def cutoff(self) -> float: ...
    @property
    def descriptor_size(self) -> int: ...
    @property
    def metadata(self) -> dict[str, Any]: ...
    def atomic_energies(
        self, species: Sequence[int], descriptors: np.ndarray
    ) -> tuple[np.ndarray, np.ndarray]: ...
    def write_parameter_file(self, path: str | PathLike) -> None: ...
    def descriptor(self) -> Descriptor: ...

class Descriptor:
    def __init__(self, elements: Sequence[str], params: dict[str, Any]) -> None: ...
    @property
    def size(self) -> int: ...
    @property
    def elements(self) -> list[str]: ...
    def compute(self, atoms: Atoms) -> np.ndarray: ...
    def backward(self, atoms: Atoms, grad: np.ndarray) -> tuple[np.ndarray, np.ndarray]: ...
    def tangent(
        self,
        atoms: Atoms,
        displacement: np.ndarray,
        strain: np.ndarray | None = None,
    ) -> np.ndarray: ...

class MLCalculator(Calculator):
    implemented_properties: ClassVar[tuple[str, ...]]
    default_parameters: ClassVar[dict[str, Any]]
    model: MLModel
    max_neighbors: int
    def __init__(
        self, model: MLModel | str | PathLike, max_neighbors: int = 500, **kwargs: Any
    ) -> None: ...
    def calculate(
        self,
        atoms: Atoms | None = None,
        properties: Sequence[str] | None = ("energy",),
        system_changes: Sequence[str] | None = None,
    ) -> None: ...

def load_model(path: str | PathLike) -> MLModel: ...
def read_model_file(path: str | PathLike) -> Any: ...
def load_ml_calculator(path: str | PathLike) -> MLCalculator: ...
