from collections.abc import Sequence

import numpy as np
from ase import Atoms

jmol_colors: np.ndarray
covalent_radii: np.ndarray

def render_svg(
    atoms: Atoms,
    *,
    size: int = 400,
    direction: Sequence[float] = (0.45, -1.0, 0.55),
    up: Sequence[float] = (0.0, 0.0, 1.0),
    show_cell: bool = True,
    radius_scale: float = 0.7,
) -> str: ...
