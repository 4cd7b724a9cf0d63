from collections.abc import Sequence
from os import PathLike
from pathlib import Path as Path
from typing import IO, Any, Callable

import numpy
from ase import Atoms as Atoms

read: Callable[..., Any]
write: Callable[..., Any]
np = numpy
DEFAULT_MAX_ATOMS: int

def read_params(source: str | PathLike[str] | IO[str]) -> dict[str, Any]: ...

class Polycrystal:
    """A Voronoi polycrystal generator."""

    seed: Atoms
    params: dict[str, Any]
    prefix: str
    verbose: Any
    def __init__(
        self,
        seed: Atoms | str | PathLike[str],
        params: dict[str, Any],
        prefix: str = "polycrystal",
        verbose: Any = False,
        rng: int | numpy.random.Generator | None = None,
        max_atoms: int = 50000000,
    ) -> None: ...
    @property
    def box(self) -> numpy.ndarray: ...
    @property
    def nodes(self) -> numpy.ndarray: ...
    @property
    def euler_angles(self) -> numpy.ndarray: ...
    @property
    def rotations(self) -> numpy.ndarray: ...
    @property
    def grain_volumes(self) -> numpy.ndarray: ...
    @property
    def lamellae(self) -> list[dict[str, Any]]: ...
    def generate_polycrystal(
        self, wrap: Any = True, remove_doubles: float | None = None
    ) -> Atoms: ...
    def write_final_files(
        self,
        atoms: Atoms,
        output: str | PathLike[str] | None = "polycrystal.cfg",
        formats: Sequence[str] | None = None,
    ) -> None: ...
