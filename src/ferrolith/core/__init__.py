"""Geometry kernels and function decorators.

The geometry functions are compiled (``ferrolith.core._geometry``) and
re-exported here:

- ``get_layers(positions, direction=2, tol=0.1)``: atomic layers normal to an
  axis, by single linkage of the coordinates (neighbours in sorted order at
  most ``tol`` apart share a layer), in increasing coordinate order.
- ``check_reflection_symmetry(plane, direction, tol, atoms1, atoms2)``: whether
  ``atoms2`` is the mirror image of ``atoms1`` across a plane, matched one to
  one by element, in-plane displacements compared periodically.
- ``compute_d_hkl(bulk, plane)``: the interplanar spacing of any cell.
- ``mirror_array(positions, direction=2)``: fractional coordinates reflected
  (``s -> 1 - s``) along one axis.
- ``average_atoms(atoms, cutoff)``: close atoms merged transitively with
  periodic distances; a merged atom is its lowest-index member placed at the
  members' centroid.
- ``get_all_hkl(hklmax)``: distinct Miller planes, ordered by increasing
  ``h**2 + k**2 + l**2`` and then decreasing ``(h, k, l)``.
"""

from ferrolith.core._geometry import (
    average_atoms,
    check_reflection_symmetry,
    compute_d_hkl,
    get_all_hkl,
    get_layers,
    mirror_array,
)

__all__ = [
    "average_atoms",
    "check_reflection_symmetry",
    "compute_d_hkl",
    "get_all_hkl",
    "get_layers",
    "mirror_array",
]
