"""DFT with GPAW: PBE, plane waves, stress, set up for elastic constants.

``gpaw_calculator(**settings)`` returns an ASE calculator, and
``load_gpaw_calculator(path)`` the same from a JSON settings file (the "gpaw"
kind of potential that ``get_calculator`` resolves; the name "gpaw" stands for
the bundled defaults in ``ferrolith/data/files/gpaw-pbe.json``). Settings not
given keep the values of ``DEFAULTS``:

- ``xc`` "PBE": the exchange-correlation functional.
- ``ecut`` 900 eV: plane-wave cutoff. Elastic constants need converged
  stress, which converges far more slowly than energy (GPAW's plane-wave
  stress carries no Pulay correction), and nitrogen's PAW dataset sets the
  pace: at a = 3.625 Å (about c-BN's PBE lattice constant) its stress is
  12.4 GPa at 600 eV and 0.4 GPa at 900 eV, so at 600 eV the cell relaxes
  to 3.586 Å and every constant comes out stiff. Carbon and silicon converge at
  600 eV, which a settings file may give for crystals without nitrogen.
- ``kpoint_density`` 3.5 Å: Γ-centred Monkhorst-Pack points per Å⁻¹ of
  reciprocal lattice vector, as ASE's ``kptdensity2monkhorstpack`` counts
  (2π included); 11×11×11 for the primitive cells of diamond and c-BN,
  8×8×8 for Si.
  The mesh is chosen once per structure, from the first cell computed, and
  kept for all its strained cells so that they share one discretisation.
- ``smearing`` 0.01 eV: Fermi-Dirac width of the occupations.
- ``density`` 1e-6: SCF convergence of the density (electrons per valence
  electron); stresses need it well below GPAW's default.
- ``txt`` "ferrolith-gpaw.txt": GPAW's text output (appended); None for none.

Wave functions are reused between calculations of one structure: the one GPAW
calculator of a structure is moved on to each new cell and position, and
starts its SCF from the previous solution.

GPAW is an optional dependency: ``pip install 'ferrolith[dft]'`` installs it
with its PAW datasets (``gpaw-data``).
"""

from __future__ import annotations

import json
import math
import os
import weakref
from typing import Any

import numpy as np
from ase.calculators.calculator import Calculator, all_changes, kptdensity2monkhorstpack

MISSING = (
    "GPAW is not installed; DFT calculations need it: pip install 'ferrolith[dft]' "
    "(it builds against libxc and BLAS: apt-get install libxc-dev libopenblas-dev)."
)

DEFAULTS: dict[str, Any] = {
    "xc": "PBE",
    "ecut": 900.0,
    "kpoint_density": 3.5,
    "smearing": 0.01,
    "density": 1e-6,
    "txt": "ferrolith-gpaw.txt",
}

# A cell further than this (relative change of a lattice vector) from the one
# the k-point mesh was chosen for is another structure: new mesh, new GPAW.
_SAME_STRUCTURE = 0.15


def _import_gpaw() -> Any:
    try:
        import gpaw
    except ImportError as exc:
        raise ImportError(MISSING) from exc
    return gpaw


def check_settings(settings: dict[str, Any]) -> dict[str, Any]:
    """The settings merged into ``DEFAULTS``; ValueError for an unknown name or a
    value of the wrong kind."""
    unknown = sorted(set(settings) - set(DEFAULTS))
    if unknown:
        raise ValueError(
            f"Unknown GPAW setting {unknown[0]!r}; known settings: {', '.join(DEFAULTS)}."
        )
    merged = {**DEFAULTS, **settings}
    if not isinstance(merged["xc"], str):
        raise ValueError(f"xc must be a functional's name, not {merged['xc']!r}.")
    for name in ("ecut", "kpoint_density", "smearing", "density"):
        value = merged[name]
        if (
            isinstance(value, bool)
            or not isinstance(value, (int, float))
            or not math.isfinite(value)
            or value <= 0
        ):
            raise ValueError(f"{name} must be a positive number, not {value!r}.")
        merged[name] = float(value)
    if merged["txt"] is not None and not isinstance(merged["txt"], (str, os.PathLike)):
        raise ValueError(f"txt must be a file name or None, not {merged['txt']!r}.")
    return merged


class GPAWCalculator(Calculator):
    """Energy, forces and stress from GPAW (plane waves) with fixed k-points per
    structure; see the module's text for the settings."""

    implemented_properties = ("energy", "free_energy", "forces", "stress")

    def __init__(self, **settings: Any) -> None:
        self.settings = check_settings(settings)
        self._gpaw = _import_gpaw()
        super().__init__()
        self._inner: Any = None
        self._log: Any = None
        self._cell: np.ndarray | None = None
        self._numbers: np.ndarray | None = None
        self.kpts: tuple[int, int, int] | None = None

    def _same_structure(self, atoms: Any) -> bool:
        if self._inner is None or not np.array_equal(atoms.numbers, self._numbers):
            return False
        assert self._cell is not None
        change = np.linalg.norm(atoms.cell.array - self._cell, axis=1)
        return bool(np.all(change <= _SAME_STRUCTURE * np.linalg.norm(self._cell, axis=1)))

    def _new_inner(self, atoms: Any) -> Any:
        s = self.settings
        self.kpts = tuple(
            int(n) for n in kptdensity2monkhorstpack(atoms, s["kpoint_density"], even=False)
        )
        self._cell = atoms.cell.array.copy()
        self._numbers = atoms.numbers.copy()
        if self._log is not None:
            self._log.close()
        self._log = None
        if s["txt"] is not None:
            # Appended to, across structures; closed with the calculator.
            self._log = open(os.fspath(s["txt"]), "a")
            weakref.finalize(self, self._log.close)
        return self._gpaw.GPAW(
            mode=self._gpaw.PW(s["ecut"]),
            xc=s["xc"],
            kpts={"size": self.kpts, "gamma": True},
            occupations={"name": "fermi-dirac", "width": s["smearing"]},
            convergence={"density": s["density"]},
            txt=self._log,
        )

    def calculate(
        self,
        atoms: Any = None,
        properties: Any = ("energy",),
        system_changes: Any = all_changes,
    ) -> None:
        super().calculate(atoms, properties, system_changes)
        atoms = self.atoms.copy()
        if not self._same_structure(atoms):
            self._inner = self._new_inner(atoms)
        atoms.calc = self._inner
        energy = atoms.get_potential_energy()
        self.results = {
            "energy": energy,
            "free_energy": atoms.get_potential_energy(force_consistent=True),
            "forces": atoms.get_forces(),
        }
        if "stress" in properties:
            self.results["stress"] = atoms.get_stress()


def gpaw_calculator(**settings: Any) -> GPAWCalculator:
    """A GPAW calculator with ``settings`` (names of ``DEFAULTS``) overriding the
    defaults. ImportError naming the ``dft`` extra when GPAW is missing."""
    return GPAWCalculator(**settings)


def load_gpaw_calculator(path: str | os.PathLike[str]) -> GPAWCalculator:
    """The GPAW calculator of a JSON settings file: an object whose keys are
    names of ``DEFAULTS``. ValueError naming the file for bad content."""
    text = os.fspath(path)
    try:
        with open(text, encoding="utf-8-sig") as f:
            settings = json.load(f)
    except json.JSONDecodeError as exc:
        raise ValueError(f"{text}: not a JSON file of GPAW settings ({exc}).") from None
    if not isinstance(settings, dict):
        raise ValueError(f"{text}: GPAW settings must be a JSON object of names and values.")
    try:
        merged = check_settings(settings)
    except ValueError as exc:
        raise ValueError(f"{text}: {exc}") from None
    return GPAWCalculator(**{k: merged[k] for k in settings})
