"""Screening structure databases for hardness, on one machine or a Dask cluster.

``screen_database`` takes the rows of an ASE database (an SQLite file or a
``postgresql://`` address), relaxes each structure with a potential, predicts
its Šimůnek hardness at the automatic first-shell cutoff (and, on request, the
elastic moduli and the moduli-model hardness values) and writes the results
back as key-value pairs, where ``ferrolith vitrine`` shows and sorts them.
After relaxation the row holds the relaxed structure (the input stays in its
data under ``initial_structure``), and B–C–N rows get ``formation_energy``
and ``e_above_hull`` against reference phases relaxed with the same potential,
so that hardness can be ranked among phases near the convex hull.

The work runs on Dask: a local cluster of processes (one per core) by default,
or any running cluster by address or ``Client``. Workers only compute; the
calling process is the one writer, one transaction per group of finished
batches. Rows carrying results for the same settings (the same
``screen_tag``) are skipped, so a run that was interrupted continues where it
stopped when started again. Rows of one run whose structures are the same
(by their spglib-standardised form) are computed once.

``screen_structure`` is the computation of one row; ``generate_candidates``
writes symmetry-distinct B–C–N substitution candidates in diamond and cubic BN
supercells; ``reference_phases`` are the phases the hull starts from.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import math
import os
import pickle
import re
import signal
import sys
import threading
import time
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from ase import Atoms

__all__ = [
    "EXPERIMENTAL_LATTICE_CONSTANTS",
    "MODULI_MODELS",
    "RESULT_KEYS",
    "SORT_KEYS",
    "ScreenSettings",
    "ScreenSummary",
    "convex_hull_energies",
    "generate_candidates",
    "reference_phases",
    "screen_database",
    "screen_structure",
    "structure_fingerprint",
]

#: Hardness models evaluated from the Hill moduli with ``elastic=True``.
MODULI_MODELS = ("chen", "tian", "jiang", "mazhnik")

#: Every key a screening writes; a new screening of a row replaces them all.
RESULT_KEYS = (
    "hardness_simunek",
    "ionicity",
    "energy_per_atom",
    "formation_energy",
    "e_above_hull",
    "rcut",
    "bulk_hill",
    "shear_hill",
    *(f"hardness_{model}" for model in MODULI_MODELS),
    "moduli_error",
    "duplicate_of",
    "screen_error",
    "screen_tag",
)

#: Numeric result keys that get an index for sorting in the viewer.
SORT_KEYS = (
    "hardness_simunek",
    "energy_per_atom",
    "formation_energy",
    "e_above_hull",
    "bulk_hill",
    "shear_hill",
    *(f"hardness_{model}" for model in MODULI_MODELS),
)

#: Measured cubic lattice constants (Å) the potentials are judged against.
EXPERIMENTAL_LATTICE_CONSTANTS = {"diamond": 3.567, "c-BN": 3.615}

#: Bond-length tolerance of the Šimůnek bond grouping (Å), as ``ferrolith hardness``.
TOLERANCE = 0.2

#: Seconds to wait for a scheduler given by address.
SCHEDULER_TIMEOUT = 10.0

#: Rows read from the source database per query.
PAGE_SIZE = 1000

#: Tolerance (Å) of the symmetry search behind ``structure_fingerprint``.
SYMPREC = 1e-3

# Bundled potentials by name, as ``ferrolith optimize --potential`` resolves them.
_BUNDLED = {"tersoff": "BNC.tersoff", "pth": "BCN-qz-v0.0.1.pth", "gpaw": "gpaw-pbe.json"}
# Changes of what a screening computes (not of its settings) change this.
_PROCEDURE = 2
# The elements of the convex hull, by atomic number: B, C, N.
_HULL_ELEMENTS = (5, 6, 7)


def _potential_path(potential: str | os.PathLike[str]) -> str | None:
    """None for "none"; the file of a bundled name or of a path; other names
    (calculators that ``get_calculator`` knows by name) as they are."""
    text = os.fspath(potential)
    if text == "none":
        return None
    if text in _BUNDLED:
        from ferrolith.data import files

        return str(Path(files.__file__).parent / _BUNDLED[text])
    if os.path.exists(text) or os.sep in text or "." in text:
        return os.path.abspath(text)
    return text


def _default_potential() -> tuple[str, str | None]:
    """("pth", None) when the machine-learned potential loads, else
    ("tersoff", why it did not)."""
    try:
        _load_calculator(_potential_path("pth"), _digest_of(_potential_path("pth")))
    except Exception as exc:  # a missing reader, or a file it refuses
        return "tersoff", str(exc) or type(exc).__name__
    return "pth", None


def _digest_of(path: str | None) -> str:
    if path is None:
        return ""
    if not os.path.isabs(path):  # a calculator known by name
        return "name:" + path
    try:
        return hashlib.sha256(Path(path).read_bytes()).hexdigest()
    except FileNotFoundError:
        return "missing:" + path  # get_calculator says what is wrong
    except OSError as exc:
        raise FileNotFoundError(
            f"Cannot read the potential '{path}': {exc.strerror or exc}."
        ) from None


@dataclass(frozen=True)
class ScreenSettings:
    """What a screening computes; equal settings give equal ``tag``.

    ``potential_file`` is None for no relaxation, else a potential file or a
    calculator name; ``potential_digest`` is the SHA-256 of that file, so the
    tag follows the potential's content rather than where the file lies.
    """

    potential_file: str | None
    potential_digest: str
    fmax: float
    steps: int
    pressure: float
    elastic: bool

    @classmethod
    def create(
        cls,
        potential: str | os.PathLike[str] | None = None,
        fmax: float = 0.05,
        steps: int = 1000,
        pressure: float = 0.0,
        elastic: bool = False,
    ) -> ScreenSettings:
        """``potential=None`` takes the machine-learned potential when it
        loads, Tersoff otherwise."""
        if potential is None:
            potential = _default_potential()[0]
        path = _potential_path(potential)
        if path is None and elastic:
            raise ValueError("The elastic moduli need a potential; give one other than 'none'.")
        if not (isinstance(fmax, (int, float)) and math.isfinite(fmax) and fmax >= 0):
            raise ValueError(f"fmax must be a non-negative number of eV/Å, got {fmax!r}.")
        if isinstance(steps, bool) or not isinstance(steps, int) or steps < 0:
            raise ValueError(f"steps must be a non-negative integer, got {steps!r}.")
        if not (isinstance(pressure, (int, float)) and math.isfinite(pressure)):
            raise ValueError(f"pressure must be a finite number of GPa, got {pressure!r}.")
        return cls(path, _digest_of(path), float(fmax), steps, float(pressure), bool(elastic))

    @property
    def tag(self) -> str:
        """A short hash of the settings: "s" and 11 hex digits.

        The letter keeps ASE's query parser from reading the tag as a number.
        """
        relaxed = self.potential_file is not None
        text = json.dumps(
            {
                "procedure": _PROCEDURE,
                "tolerance": TOLERANCE,
                "potential": self.potential_digest if relaxed else "none",
                "fmax": self.fmax if relaxed else None,
                "steps": self.steps if relaxed else None,
                "pressure": self.pressure if relaxed else None,
                "elastic": self.elastic,
            },
            sort_keys=True,
        )
        return "s" + hashlib.sha256(text.encode()).hexdigest()[:11]


@dataclass(frozen=True)
class ScreenSummary:
    """What one ``screen_database`` run did."""

    screened: int  #: rows written with results (including failed ones)
    failed: int  #: rows of those written with ``screen_error``
    skipped: int  #: selected rows that already had results for these settings
    tag: str  #: the ``screen_tag`` of the settings
    destination: str  #: the database written
    duplicates: int = 0  #: rows given the results of an equal structure of the run


# --- one structure ------------------------------------------------------------


def _first_shell_cutoff(atoms: Atoms) -> float:
    # The cutoff of `ferrolith hardness --rcut auto`.
    from ferrolith.properties.bondvick import first_shell_cutoff

    return float(first_shell_cutoff(atoms))


def _moduli_results(atoms: Atoms, calculator: Any) -> dict[str, float]:
    from ferrolith.properties.elastic import elastic_tensor
    from ferrolith.properties.hardness import calculate_hardness

    # The structure is relaxed already; the strained cells are relaxed inside.
    moduli = elastic_tensor(atoms, calculator=calculator, relax=False)
    given = {
        name: float(getattr(moduli, attr))
        for name, attr in (
            ("bulk", "bulk_hill"),
            ("shear", "shear_hill"),
            ("young", "young"),
            ("poisson", "poisson"),
        )
    }
    results = {"bulk_hill": given["bulk"], "shear_hill": given["shear"]}
    for model in MODULI_MODELS:
        value = calculate_hardness(**given, method=model)
        # Tian's model is complex for negative moduli: no hardness to store.
        if not isinstance(value, complex):
            results[f"hardness_{model}"] = float(value)
    return results


def _relax(atoms: Atoms, calculator: Any, fmax: float, steps: int, pressure: float) -> Atoms:
    """The relaxed copy of `atoms`, holding its energy, forces and stress."""
    from ase.calculators.singlepoint import SinglePointCalculator

    from ferrolith.optimization import optimize_structure

    start = atoms.copy()
    start.calc = calculator
    # The optimiser's log and warnings would flood a worker's output.
    with open(os.devnull, "w") as quiet, contextlib.redirect_stdout(quiet):
        try:
            relaxed = optimize_structure(
                start, fmax=fmax, steps=steps, pressure=pressure, trajectory=None
            )
        except ValueError:
            # LBFGS's long steps can leave the start's basin, and where a
            # potential has no repulsive core for a pair (B-B and N-N of the
            # bundled Tersoff file) two atoms then fall onto each other.
            # FIRE's damped short steps stay in the basin.
            relaxed = optimize_structure(
                start, fmax=fmax, steps=steps, pressure=pressure, method="FIRE", trajectory=None
            )
    energy = float(relaxed.get_potential_energy())
    if not math.isfinite(energy):
        raise ValueError("The potential gave a non-finite energy for this structure.")
    values: dict[str, Any] = {"energy": energy, "forces": relaxed.get_forces()}
    if relaxed.pbc.all():
        values["stress"] = relaxed.get_stress()
    relaxed.calc = SinglePointCalculator(relaxed, **values)
    return relaxed


def _screen(
    atoms: Atoms,
    calculator: Any,
    fmax: float,
    steps: int,
    pressure: float,
    elastic: bool,
) -> tuple[dict[str, Any], Atoms | None]:
    """(results, relaxed structure or None without a calculator)."""
    from ferrolith.properties.bondvick import SimunekHardnessCalculator

    results: dict[str, Any] = {}
    relaxed = None
    if calculator is not None:
        relaxed = _relax(atoms, calculator, fmax, steps, pressure)
        atoms = relaxed
        results["energy_per_atom"] = relaxed.get_potential_energy() / len(relaxed)
    elif elastic:
        raise ValueError("The elastic moduli need a calculator.")
    rcut = _first_shell_cutoff(atoms)
    outcome = SimunekHardnessCalculator()._calculate_hardness(atoms, rcut=rcut, tolerance=TOLERANCE)
    if "error" in outcome:
        raise ValueError(outcome["error"])
    results["hardness_simunek"] = float(outcome["hardness"])
    results["ionicity"] = float(outcome["ionicity_factor"])
    results["rcut"] = rcut
    if elastic:
        # The bond model's value stands on its own: a failing moduli step
        # records its error beside it instead of taking the row down.
        try:
            with open(os.devnull, "w") as quiet, contextlib.redirect_stdout(quiet):
                with contextlib.redirect_stderr(quiet):
                    results.update(_moduli_results(atoms, calculator))
        except Exception as exc:
            results["moduli_error"] = str(exc) or type(exc).__name__
    return results, relaxed


def screen_structure(
    atoms: Atoms,
    calculator: Any = None,
    *,
    fmax: float = 0.05,
    steps: int = 1000,
    pressure: float = 0.0,
    elastic: bool = False,
) -> dict[str, Any]:
    """The screening results of one structure, as key-value pairs.

    With a ``calculator`` the structure is first relaxed (positions and
    periodic cell, LBFGS, at ``pressure`` GPa, until ``fmax`` eV/Å or
    ``steps``), giving ``energy_per_atom`` (eV); the other values belong to
    the relaxed structure. Then ``hardness_simunek`` (GPa), ``ionicity`` and
    ``rcut`` (the automatic first-shell cutoff, Å); with ``elastic=True`` also
    ``bulk_hill``, ``shear_hill`` (GPa) and the ``hardness_<model>`` values of
    the moduli models, or ``moduli_error`` when that step fails. The caller's
    structure is not changed; a structure the models refuse raises
    ``ValueError``.
    """
    return _screen(atoms, calculator, fmax, steps, pressure, elastic)[0]


# --- reference phases and the convex hull --------------------------------------


def reference_phases() -> dict[str, Atoms]:
    """The phases of the B–C–N convex hull, at their measured structures.

    Diamond, graphite (AB), cubic and hexagonal BN, α-boron (R-3m, 12 atoms)
    and the N2 molecule (bond 1.10 Å) alone in a 10 Å box, which stands for
    nitrogen gas: at zero pressure the molecular phase is nitrogen's
    reference, and no potential here binds a molecular crystal.
    """
    from ase.build import bulk
    from ase.spacegroup import crystal

    hexagonal = {"spacegroup": 194, "primitive_cell": True}
    return {
        "diamond": bulk("C", "diamond", a=3.567),
        "graphite": crystal(
            "CC",
            [(0, 0, 0.25), (1 / 3, 2 / 3, 0.25)],
            cellpar=[2.464, 2.464, 6.711, 90, 90, 120],
            **hexagonal,
        ),
        "c-BN": bulk("BN", "zincblende", a=3.615),
        "h-BN": crystal(
            "BN",
            [(1 / 3, 2 / 3, 0.25), (1 / 3, 2 / 3, 0.75)],
            cellpar=[2.504, 2.504, 6.661, 90, 90, 120],
            **hexagonal,
        ),
        "alpha-B": crystal(
            "BB",
            [(0.11886, 0.88114, 0.89133), (0.19686, 0.80314, 0.02432)],
            spacegroup=166,
            cellpar=[4.9179, 4.9179, 12.5805, 90, 90, 120],
            primitive_cell=True,
        ),
        "N2": Atoms("N2", positions=[(5, 5, 4.45), (5, 5, 5.55)], cell=[10, 10, 10], pbc=False),
    }


def _hull_point(numbers: np.ndarray, energy: float, volume: float, pressure: float) -> Any:
    """(x_B, x_C, enthalpy per atom in eV), or None for other elements."""
    counts = np.array([np.count_nonzero(numbers == z) for z in _HULL_ELEMENTS])
    if counts.sum() != len(numbers) or len(numbers) == 0:
        return None
    from ase.units import GPa

    n = len(numbers)
    return counts[0] / n, counts[1] / n, (energy + pressure * GPa * volume) / n


def convex_hull_energies(
    points: np.ndarray, chemical_potentials: Sequence[float]
) -> tuple[np.ndarray, np.ndarray]:
    """Formation enthalpies and distances above the lower convex hull (eV/atom).

    ``points`` are rows of (x_B, x_C, enthalpy per atom) of a B–C–N set
    (x_N = 1 − x_B − x_C); ``chemical_potentials`` the enthalpies per atom of
    B, C and N. The hull is scipy's ``ConvexHull`` (Qhull) of the formation
    enthalpies, with the three elements at zero; a point high above the middle
    keeps it three-dimensional when nothing lies below zero. Every point is on
    or above the hull, so the distances are ≥ 0.
    """
    points = np.asarray(points, dtype=float).reshape(-1, 3)
    mu = np.asarray(chemical_potentials, dtype=float)
    x = np.column_stack([points[:, 0], points[:, 1], 1 - points[:, 0] - points[:, 1]])
    formation = points[:, 2] - x @ mu
    xyf = np.column_stack([points[:, :2], formation])
    return formation, _above(xyf, xyf)


# --- symmetry-distinct structures -----------------------------------------------


def structure_fingerprint(atoms: Atoms, symprec: float = SYMPREC) -> bytes | None:
    """A canonical form of the crystal: equal for structures that differ only
    by a supercell, a rotation, a translation or the order of atoms.

    The structure is reduced to spglib's standardised primitive cell
    (positions symmetrised within ``symprec`` Å); of every lattice symmetry of
    that cell combined with every origin on an atom of the rarest element,
    the smallest listing of (element, position on a 1/96 grid, which no site
    of a high-symmetry structure straddles) is taken, together with the cell
    parameters to 0.01 Å and 0.1°. Returns None when
    spglib finds no cell (a non-periodic structure).
    """
    import spglib

    if not atoms.pbc.all() or len(atoms) == 0:
        return None
    cell = (np.array(atoms.cell), atoms.get_scaled_positions(), atoms.numbers)
    with _spglib_quiet():
        standard = spglib.standardize_cell(cell, to_primitive=True, symprec=symprec)
        if standard is None:
            return None
        lattice, positions, numbers = (np.asarray(a) for a in standard)
        return _canonical_form(lattice, positions, numbers, symprec)


@contextlib.contextmanager
def _spglib_quiet() -> Iterator[None]:
    # spglib's notice about its error handling is not the user's concern:
    # a failure comes back as None either way.
    import warnings

    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", category=DeprecationWarning, module="spglib")
        yield


def _canonical_form(
    lattice: np.ndarray, positions: np.ndarray, numbers: np.ndarray, symprec: float
) -> bytes:
    import spglib
    from ase.geometry import cell_to_cellpar

    grid = 96
    symmetry = spglib.get_symmetry((lattice, [[0.0, 0.0, 0.0]], [1]), symprec=symprec)
    rotations = symmetry["rotations"] if symmetry else np.eye(3, dtype=int)[None]
    species, counts = np.unique(numbers, return_counts=True)
    anchors = np.flatnonzero(numbers == species[np.argmin(counts)])
    rotated = np.einsum("rij,nj->rni", rotations, positions)  # (ops, atoms, 3)
    shifted = rotated[:, None, :, :] - rotated[:, anchors, None, :]  # (ops, anchors, atoms, 3)
    cells = np.floor(shifted * grid + 0.5).astype(np.int64) % grid
    codes = ((numbers.astype(np.int64) * grid + cells[..., 0]) * grid + cells[..., 1]) * grid
    codes = np.sort((codes + cells[..., 2]).reshape(-1, len(numbers)), axis=1)
    parameters = np.rint(cell_to_cellpar(lattice) * [100, 100, 100, 10, 10, 10]).astype(np.int64)
    return hashlib.sha256(parameters.tobytes() + _smallest_row(codes).tobytes()).digest()[:16]


# --- the work of a Dask worker --------------------------------------------------

_worker_calculators: dict[str, Any] = {}


def _load_calculator(path: str | None, digest: str) -> Any:
    """The calculator of a potential file or name, built once per process."""
    if path is None:
        return None
    calculator = _worker_calculators.get(digest)
    if calculator is None:
        from ferrolith.optimization import get_calculator

        calculator = get_calculator(path)
        _worker_calculators[digest] = calculator
    return calculator


def _calculator(settings: ScreenSettings) -> Any:
    return _load_calculator(settings.potential_file, settings.potential_digest)


def _screen_batch(
    batch: bytes | Sequence[tuple[int, Atoms]], settings: ScreenSettings
) -> list[tuple[int, dict[str, Any], Atoms | None]]:
    """(key, results, relaxed structure) of every (key, structure) of a batch
    (or of the batch pickled); a failing row gets screen_error."""
    if isinstance(batch, bytes):
        batch = pickle.loads(batch)
    calculator = _calculator(settings)
    out = []
    for key, atoms in batch:
        relaxed = None
        try:
            results, relaxed = _screen(
                atoms,
                calculator,
                settings.fmax,
                settings.steps,
                settings.pressure,
                settings.elastic,
            )
        except Exception as exc:
            results = {"screen_error": str(exc) or type(exc).__name__}
        out.append((key, results, relaxed))
    return out


def _ignore_interrupts() -> None:
    # Ctrl-C reaches every process of the terminal's group; the client alone
    # decides when to stop, so a worker must not die of it mid-batch.
    with contextlib.suppress(ValueError):
        signal.signal(signal.SIGINT, signal.SIG_IGN)


# --- databases ----------------------------------------------------------------


def _is_url(name: str) -> bool:
    return "://" in name


def _connect(name: Any, *, must_exist: bool) -> Any:
    """An ASE database from a name, or the database object given."""
    import ase.db

    text = _db_name(name)
    if must_exist and not _is_url(text) and not os.path.isfile(text):
        raise FileNotFoundError(f"No database at '{text}'.")
    try:
        db = ase.db.connect(text) if isinstance(name, (str, os.PathLike)) else name
        db.count("id=0")  # opens it, and creates the tables of a new one
    except Exception as exc:
        raise ValueError(f"Cannot open the database '{text}': {exc}") from None
    return db


def _db_name(db: Any) -> str:
    return os.fspath(db) if isinstance(db, (str, os.PathLike)) else str(db.filename)


def _writable(db: Any) -> bool:
    name = _db_name(db)
    if name.startswith("postgresql://"):
        with db.managed_connection() as con:
            cur = con.cursor()
            cur.execute(
                "SELECT has_table_privilege('systems', 'UPDATE') "
                "AND has_table_privilege('keys', 'INSERT')"
            )
            return bool(cur.fetchone()[0])
    if _is_url(name):
        return True
    # SQLite writes a journal beside the file.
    directory = os.path.dirname(os.path.abspath(name))
    return os.access(name, os.W_OK) and os.access(directory, os.W_OK)


def _same_database(a: Any, b: Any) -> bool:
    na, nb = _db_name(a), _db_name(b)
    if _is_url(na) or _is_url(nb):
        return na == nb
    return os.path.realpath(na) == os.path.realpath(nb)


def _and(query: str | None, *terms: str) -> str:
    return ",".join(t for t in (query or "", *terms) if t)


def _selected_rows(db: Any, query: str | None, include_data: bool = True) -> Iterator[Any]:
    """The rows of `query` in id order, a page per database query (flat memory)."""
    last = 0
    while True:
        page = list(
            db.select(
                _and(query, f"id>{last}"), sort="id", limit=PAGE_SIZE, include_data=include_data
            )
        )
        yield from page
        if len(page) < PAGE_SIZE:
            return
        last = page[-1].id


def _find_row(db: Any, unique_id: str) -> Any:
    return next(db.select(unique_id=unique_id, include_data=False, limit=1), None)


def _index_pairs_by_row(db: Any) -> None:
    """Indexes ASE's key-value tables by row id, once.

    ASE replaces a row's key-value pairs by deleting them by row id, which
    its own schema does not index: every update would scan the whole table,
    and updating every row of a large database would take quadratic time.
    """
    with db.managed_connection() as con:
        cur = con.cursor()
        for table in ("keys", "text_key_values", "number_key_values"):
            cur.execute(f"CREATE INDEX IF NOT EXISTS {table}_id_index ON {table} (id)")


def _create_sort_indexes(db: Any, keys: Iterable[str]) -> None:
    from ferrolith.data.db import create_sort_index

    for key in keys:
        create_sort_index(db, key)


#: Descriptions of the result keys for ASE's metadata: (short, long, unit).
_DESCRIPTIONS = {
    "hardness_simunek": ("H Šimůnek", "Šimůnek hardness at the first-shell cutoff", "GPa"),
    "ionicity": ("Ionicity", "Ionicity factor of the Šimůnek model", ""),
    "energy_per_atom": ("E/atom", "Energy per atom after relaxation", "eV"),
    "formation_energy": (
        "E_form",
        "Formation enthalpy per atom against the elemental references",
        "eV",
    ),
    "e_above_hull": ("E_hull", "Enthalpy per atom above the B–C–N convex hull", "eV"),
    "duplicate_of": ("Duplicate of", "Id of the row computed for this equal structure", ""),
    "rcut": ("r_cut", "First-shell bond cutoff", "Å"),
    "bulk_hill": ("B Hill", "Bulk modulus (Hill average)", "GPa"),
    "shear_hill": ("G Hill", "Shear modulus (Hill average)", "GPa"),
    **{
        f"hardness_{m}": (
            f"H {m.capitalize()}",
            f"{m.capitalize()} hardness from the moduli",
            "GPa",
        )
        for m in MODULI_MODELS
    },
}


def _describe_results(db: Any, keys: Sequence[str]) -> None:
    """Units of the result keys, and their columns in the viewer, in the metadata.

    Choices already stored in the database are kept.
    """
    metadata = dict(db.metadata)
    descriptions = dict(metadata.get("key_descriptions", {}))
    columns = list(metadata.get("default_columns") or ("id", "formula", "natoms"))
    shown = ["hardness_simunek", "ionicity", *keys]
    for key in dict.fromkeys(shown):
        descriptions.setdefault(key, list(_DESCRIPTIONS[key]))
        if key not in columns:
            columns.append(key)
    updated = {**metadata, "key_descriptions": descriptions, "default_columns": columns}
    if updated != metadata:
        db.metadata = updated


# --- Dask ---------------------------------------------------------------------


def _import_dask() -> Any:
    try:
        import distributed
    except ImportError:
        raise ImportError(
            "Screening runs on Dask; install it with: pip install 'ferrolith[screen]'"
        ) from None
    return distributed


class _Interrupt:
    """Ctrl-C as a flag that the screening looks at between its steps.

    Python's own handler raises KeyboardInterrupt wherever the main thread
    happens to be, also inside Dask's callbacks and finalizers, which report
    it as "Exception ignored" and carry on: the run went on to the end. Here
    the handler only sets the flag, and `check` raises where stopping is safe
    (never inside a transaction).
    """

    def __init__(self) -> None:
        self.caught = False
        self._previous: Any = None

    def __enter__(self) -> _Interrupt:
        # A process started with Ctrl-C ignored (nohup, a background job)
        # keeps ignoring it, as Python's own handler does.
        main = threading.current_thread() is threading.main_thread()
        if main and signal.getsignal(signal.SIGINT) is not signal.SIG_IGN:
            self._previous = signal.signal(signal.SIGINT, self._handle)
        return self

    def __exit__(self, *exc: Any) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)
            self._previous = None

    def _handle(self, signum: int, frame: Any) -> None:
        self.caught = True

    def check(self) -> None:
        if self.caught:
            raise KeyboardInterrupt


def _say(enabled: bool, text: str) -> None:
    if enabled:
        print(f"screen: {text}", file=sys.stderr, flush=True)


def _start_client(
    workers: int | None, scheduler: str | None, interrupt: _Interrupt, progress: bool
) -> tuple[Any, Any]:
    """(client, local cluster or None), started in a helper thread so that
    Ctrl-C and the scheduler's timeout are honoured while Dask connects."""
    distributed = _import_dask()
    made: dict[str, Any] = {}

    def start() -> None:
        try:
            if scheduler is not None:
                made["client"] = distributed.Client(scheduler, timeout=SCHEDULER_TIMEOUT)
                return
            made["cluster"] = distributed.LocalCluster(
                n_workers=workers or os.cpu_count() or 1,
                threads_per_worker=1,
                processes=True,
                dashboard_address=":0",
            )
            made["client"] = distributed.Client(made["cluster"])
        except BaseException as exc:  # handed to the waiting thread
            made["error"] = exc

    if scheduler is not None:
        _say(progress, f"connecting to the Dask scheduler at {scheduler}")
    else:
        _say(progress, f"starting a local Dask cluster of {workers or os.cpu_count() or 1} workers")
    helper = threading.Thread(target=start, name="screen-start", daemon=True)
    helper.start()
    # A port that accepts and never answers keeps Dask's handshake waiting
    # past its own timeout: the deadline is kept here.
    deadline = time.monotonic() + SCHEDULER_TIMEOUT + 1.0
    try:
        while helper.is_alive():
            helper.join(0.1)
            interrupt.check()
            if scheduler is not None and time.monotonic() > deadline:
                raise ConnectionError(
                    f"Cannot reach the Dask scheduler at '{scheduler}': "
                    f"no answer within {SCHEDULER_TIMEOUT:g} s."
                )
    except KeyboardInterrupt:
        _say(progress, "interrupted; stopping the cluster")
        helper.join(60.0)
        _close(made.get("client"), made.get("cluster"))
        raise
    if "error" in made:
        exc = made["error"]
        if scheduler is not None and isinstance(exc, (OSError, TimeoutError, ValueError)):
            raise ConnectionError(
                f"Cannot reach the Dask scheduler at '{scheduler}': {exc}"
            ) from None
        raise exc
    client, cluster = made["client"], made.get("cluster")
    if cluster is not None:
        with contextlib.suppress(Exception):
            client.run(_ignore_interrupts)
    return client, cluster


def _close(client: Any, cluster: Any) -> None:
    for thing in (client, cluster):
        if thing is not None:
            with contextlib.suppress(Exception):
                thing.close()


def _dashboard(client: Any) -> str | None:
    import importlib.util

    if importlib.util.find_spec("bokeh") is None:  # Dask serves no dashboard without it
        return None
    return getattr(client, "dashboard_link", None)


# --- progress -----------------------------------------------------------------


class _Progress:
    """Rows done, rate and time left on stderr: one rewritten line on a terminal,
    a line every half minute otherwise (batch logs)."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total, self.done, self.enabled = total, 0, enabled
        self.tty = enabled and sys.stderr.isatty()
        self.start = self.last = time.monotonic()

    def skip(self, n: int) -> None:
        self.total -= n

    def add(self, n: int) -> None:
        self.done += n
        now = time.monotonic()
        if self.enabled and now - self.last >= (0.5 if self.tty else 30.0):
            self.last = now
            self._show(now)

    def _show(self, now: float, end: str = "") -> None:
        rate = self.done / max(now - self.start, 1e-9)
        left = max(self.total - self.done, 0)
        eta = time.strftime("%H:%M:%S", time.gmtime(left / rate)) if rate > 0 else "?"
        text = f"screen: {self.done:,} of {self.total:,} rows, {rate:.1f} rows/s, {eta} left"
        sys.stderr.write(("\r" + text + "\x1b[K" + end) if self.tty else (text + "\n"))
        sys.stderr.flush()

    def close(self) -> None:
        if self.enabled and (self.tty or self.done):
            self._show(time.monotonic(), end="\n")


# --- the convex hull of a destination database ----------------------------------


def _relaxed_references(
    settings: ScreenSettings, interrupt: _Interrupt, warn: bool = True
) -> dict[str, Any]:
    """Enthalpy and volume per atom of every reference phase, relaxed with the
    settings' potential at their pressure."""
    calculator = _calculator(settings)
    out = {}
    for name, atoms in reference_phases().items():
        interrupt.check()
        try:
            relaxed = _relax(atoms, calculator, settings.fmax, settings.steps, settings.pressure)
        except ValueError as exc:
            # A potential without the bonds of a phase (no B-B terms, say)
            # may collapse it; its energy at the measured structure still
            # bounds the hull from above.
            reason = str(exc).rstrip(".")
            _say(
                warn,
                f"{name} cannot be relaxed with this potential ({reason}); "
                "its energy at the measured structure is used",
            )
            relaxed = atoms.copy()
            relaxed.calc = calculator
            relaxed.get_potential_energy()
        volume = relaxed.get_volume() if relaxed.pbc.all() else 0.0
        point = _hull_point(
            relaxed.numbers, relaxed.get_potential_energy(), volume, settings.pressure
        )
        out[name] = {
            "formula": relaxed.get_chemical_formula(),
            "enthalpy_per_atom": float(point[2]),
            "volume_per_atom": volume / len(relaxed),
            "x": [float(point[0]), float(point[1])],
        }
    return out


class _Hull:
    """The lower hull of a destination's rows of one ``screen_tag``, in
    formation enthalpy over (x_B, x_C), kept as the points on it.

    It lives in the database's metadata under "screen_hulls", written in the
    same transaction as the rows, so ``e_above_hull`` always agrees with the
    rows stored: when new rows lower the hull, every earlier row of the tag is
    updated with them.
    """

    def __init__(self, state: dict[str, Any]) -> None:
        self.state = state
        self.mu = np.array(state["chemical_potentials"])
        self.vertices = np.array(state["vertices"], dtype=float).reshape(-1, 3)

    @classmethod
    def create(cls, references: dict[str, Any], pressure: float) -> _Hull:
        points = np.array([[*r["x"], r["enthalpy_per_atom"]] for r in references.values()])
        mu = [
            min(r["enthalpy_per_atom"] for r in references.values() if r["x"] == list(corner))
            for corner in ((1.0, 0.0), (0.0, 1.0), (0.0, 0.0))
        ]
        formation, _ = convex_hull_energies(points, mu)
        state = {
            "pressure": pressure,
            "references": references,
            "chemical_potentials": mu,
            "rows": 0,
            "vertices": [],
        }
        hull = cls(state)
        hull._merge(np.column_stack([points[:, :2], formation]))
        return hull

    def lattice_constants(self) -> dict[str, float]:
        """Cubic lattice constants (Å) of the relaxed diamond and c-BN."""
        refs = self.state["references"]
        # A primitive cell of these holds 2 of the 8 atoms of the cubic one.
        return {n: (8 * refs[n]["volume_per_atom"]) ** (1 / 3) for n in ("diamond", "c-BN")}

    def formation(self, points: np.ndarray) -> np.ndarray:
        x = np.column_stack([points[:, 0], points[:, 1], 1 - points[:, 0] - points[:, 1]])
        return points[:, 2] - x @ self.mu

    def above(self, xyf: np.ndarray) -> np.ndarray:
        """Distances above the hull of (x_B, x_C, formation) points."""
        return _above(self.vertices, xyf)

    def _merge(self, xyf: np.ndarray) -> bool:
        """Adds points; True when the hull moved (a point fell below it)."""
        if len(xyf) == 0:
            return False
        moved = bool(len(self.vertices) == 0 or (self.above_or_below(xyf) < -1e-9).any())
        if moved:
            both = np.vstack([self.vertices, xyf])
            self.vertices = both[_above(both, both) < 1e-9]
            self.state["vertices"] = self.vertices.tolist()
        return moved

    def above_or_below(self, xyf: np.ndarray) -> np.ndarray:
        planes = _lower_planes(self.vertices)
        return xyf[:, 2] - _height(planes, xyf[:, :2])

    def add(self, xyf: np.ndarray) -> bool:
        self.state["rows"] += len(xyf)
        return self._merge(xyf)


def _lower_planes(xyf: np.ndarray) -> np.ndarray:
    """(a, b, c) of every downward facet of the hull: f = a·x_B + b·x_C + c."""
    from scipy.spatial import ConvexHull

    corners = np.array([[1, 0, 0], [0, 1, 0], [0, 0, 0]], dtype=float)
    top = max(float(xyf[:, 2].max(initial=0.0)), 0.0) + 1.0
    lifted = np.vstack([xyf, corners, [[1 / 3, 1 / 3, top]]])
    equations = ConvexHull(lifted).equations
    facets = equations[equations[:, 2] < -1e-12]
    return -(facets[:, [0, 1, 3]] / facets[:, 2:3])


def _height(planes: np.ndarray, xy: np.ndarray) -> np.ndarray:
    # The lower hull is convex: at every composition, the largest of its planes.
    return (np.column_stack([xy, np.ones(len(xy))]) @ planes.T).max(axis=1)


def _above(hull_points: np.ndarray, xyf: np.ndarray) -> np.ndarray:
    return np.maximum(xyf[:, 2] - _height(_lower_planes(hull_points), xyf[:, :2]), 0.0)


def _hull_points_of_rows(rows: Iterable[Any]) -> tuple[list[int], np.ndarray]:
    ids, points = [], []
    for row in rows:
        point = _hull_point(row.numbers, 0.0, 0.0, 0.0)
        if point is not None and "formation_energy" in row:
            ids.append(row.id)
            points.append((point[0], point[1], row.formation_energy))
    return ids, np.array(points, dtype=float).reshape(-1, 3)


# --- the screening ------------------------------------------------------------


def _structure_record(atoms: Atoms) -> dict[str, Any]:
    return {
        "numbers": np.array(atoms.numbers),
        "positions": np.array(atoms.positions),
        "cell": np.array(atoms.cell),
        "pbc": np.array(atoms.pbc),
    }


def _structure(row: Any) -> Atoms:
    """The structure a row's screening starts from: its initial structure
    when an earlier screening relaxed it."""
    initial = row.data.get("initial_structure")
    if initial is not None:
        return Atoms(
            numbers=initial["numbers"],
            positions=initial["positions"],
            cell=initial["cell"],
            pbc=initial["pbc"],
        )
    atoms = row.toatoms()
    atoms.calc = None  # stored results of the row are not needed by the workers
    return atoms


#: Keys that belong to one row rather than to its structure's results.
_OWN_KEYS = ("screen_tag", "duplicate_of", "formation_energy", "e_above_hull")


class _Writer:
    """The one writer: results of finished batches, one transaction per call.

    An entry is (row, results, relaxed structure or None, rows with the same
    structure, id of the row already written for it or None).
    """

    def __init__(self, dest: Any, tag: str, copy: bool, hull: _Hull | None, pressure: float):
        self.dest, self.tag, self.copy, self.hull, self.pressure = dest, tag, copy, hull, pressure
        self.screened = self.failed = self.duplicates = 0

    def write(self, entries: list[tuple[Any, dict[str, Any], Any, list[Any], int | None]]) -> list:
        """Writes the entries; returns the id written for each."""
        stability = self._stability(entries)
        ids = []
        with self.dest:
            for (row, results, relaxed, copies, known), extra in zip(entries, stability):
                pairs = {**results, **extra, "screen_tag": self.tag}
                if known is None:
                    known = self._put(row, pairs, relaxed)
                    self._count(results)
                for other in copies:
                    self._put(other, {**pairs, "duplicate_of": known}, relaxed)
                    self._count(results)
                    self.duplicates += 1
                ids.append(known)
            if self.hull is not None and any(stability):
                _save_hull(self.dest, self.tag, self.hull, refresh=self._moved)
        return ids

    def _count(self, results: dict[str, Any]) -> None:
        self.screened += 1
        self.failed += "screen_error" in results

    def _stability(self, entries: list) -> list[dict[str, float]]:
        """formation_energy and e_above_hull of each entry (against the hull
        with every entry added), or nothing."""
        self._moved = False
        out: list[dict[str, float]] = [{} for _ in entries]
        if self.hull is None:
            return out
        points, where = [], []
        for i, (_, results, relaxed, copies, known) in enumerate(entries):
            if relaxed is None or "energy_per_atom" not in results:
                continue
            volume = relaxed.get_volume() if relaxed.pbc.all() else 0.0
            energy = results["energy_per_atom"] * len(relaxed)
            point = _hull_point(relaxed.numbers, energy, volume, self.pressure)
            if point is not None:
                where.append(i)
                points += [point] * (len(copies) + (known is None))
        if not where:
            return out
        points = np.array(points, dtype=float)
        xyf = np.column_stack([points[:, :2], self.hull.formation(points)])
        self._moved = self.hull.add(xyf)
        above = self.hull.above(xyf)
        k = 0
        for i in where:
            out[i] = {"formation_energy": float(xyf[k, 2]), "e_above_hull": float(above[k])}
            k += len(entries[i][3]) + (entries[i][4] is None)
        return out

    def _put(self, row: Any, pairs: dict[str, Any], relaxed: Atoms | None) -> int:
        """Writes one row with `pairs` and its structure; returns its id."""
        from ase.db.row import AtomsRow

        stale = [k for k in RESULT_KEYS if k not in pairs]
        target = _find_row(self.dest, row.unique_id) if self.copy else row
        target_id = None if target is None else target.id
        data = dict(row.data)
        initial = data.get("initial_structure")
        if relaxed is None and initial is None:
            if target_id is not None:
                self.dest.update(target_id, delete_keys=stale, **pairs)
                return target_id
            kept = {k: v for k, v in row.key_value_pairs.items() if k not in stale}
            return self.dest.write(row, key_value_pairs={**kept, **pairs}, data=row.data)
        if initial is None:
            data["initial_structure"] = _structure_record(row.toatoms())
        # The row holds the structure its results belong to: the relaxed one,
        # or the initial one again for results without relaxation.
        record = AtomsRow(relaxed if relaxed is not None else _structure(row))
        record.unique_id, record.ctime, record.user = row.unique_id, row.ctime, row.user
        base = (target if target is not None else row).key_value_pairs
        kept = {k: v for k, v in base.items() if k not in stale}
        return self.dest.write(record, key_value_pairs={**kept, **pairs}, data=data, id=target_id)


def _hull_query(tag: str) -> str:
    return f"screen_tag={tag},formation_energy"


def _save_hull(dest: Any, tag: str, hull: _Hull, refresh: bool) -> None:
    """Stores the hull; with `refresh`, first updates the e_above_hull of
    every row of the tag (inside the caller's transaction)."""
    if refresh:
        page: list[Any] = []
        for row in _selected_rows(dest, _hull_query(tag), include_data=False):
            page.append(row)
            if len(page) == PAGE_SIZE:
                _refresh_rows(dest, hull, page)
                page = []
        _refresh_rows(dest, hull, page)
    metadata = dict(dest.metadata)
    hulls = dict(metadata.get("screen_hulls") or {})
    hulls[tag] = hull.state
    dest.metadata = {**metadata, "screen_hulls": hulls}


def _refresh_rows(dest: Any, hull: _Hull, rows: list[Any]) -> None:
    ids, xyf = _hull_points_of_rows(rows)
    if not ids:
        return
    stored = {row.id: row.get("e_above_hull") for row in rows}
    for row_id, value in zip(ids, hull.above(xyf)):
        if stored[row_id] is None or abs(stored[row_id] - value) > 1e-9:
            dest.update(row_id, e_above_hull=float(value))


def _load_hull(dest: Any, settings: ScreenSettings, interrupt: _Interrupt, progress: bool) -> _Hull:
    """The destination's hull of the settings' tag: stored, or started from
    freshly relaxed reference phases; rebuilt from the rows when rows of the
    tag came or went since it was stored."""
    tag = settings.tag
    state = (dest.metadata.get("screen_hulls") or {}).get(tag)
    if state is None:
        names = ", ".join(reference_phases())
        _say(progress, f"relaxing the reference phases of the convex hull ({names})")
        references = _relaxed_references(settings, interrupt, progress)
    else:
        references = state["references"]
    hull = _Hull.create(references, settings.pressure)
    if state is not None and dest.count(_hull_query(tag)) == state["rows"]:
        return _Hull(state)
    if dest.count(_hull_query(tag)) == 0:
        return hull
    _say(progress, "rebuilding the convex hull from the rows stored")
    with dest:
        page: list[Any] = []
        for row in _selected_rows(dest, _hull_query(tag), include_data=False):
            page.append(row)
            if len(page) == PAGE_SIZE:
                hull.add(_hull_points_of_rows(page)[1])
                page = []
        hull.add(_hull_points_of_rows(page)[1])
        _save_hull(dest, tag, hull, refresh=True)
    return hull


def _potential_line(name: str, hull: _Hull) -> str:
    parts = []
    for phase, a in hull.lattice_constants().items():
        measured = EXPERIMENTAL_LATTICE_CONSTANTS[phase]
        parts.append(
            f"{phase} a = {a:.4f} Å ({100 * (a / measured - 1):+.1f} % against {measured})"
        )
    return f"potential {name}: " + ", ".join(parts)


def _normal_query(query: Any) -> str | None:
    """A bare row id means that row, as for ``ase db`` (ASE's own parser
    reads "1" as a test that every row passes)."""
    if isinstance(query, int) and not isinstance(query, bool):
        return f"id={query}"
    if isinstance(query, str) and re.fullmatch(r"\s*\d+\s*", query):
        return f"id={int(query)}"
    return query


def screen_database(
    db: Any,
    query: str | int | None = None,
    *,
    into: Any = None,
    potential: str | os.PathLike[str] | None = None,
    fmax: float = 0.05,
    steps: int = 1000,
    pressure: float = 0.0,
    elastic: bool = False,
    workers: int | None = None,
    scheduler: str | None = None,
    client: Any = None,
    batch: int = 50,
    progress: bool = True,
) -> ScreenSummary:
    """Screens the rows of `db` selected by `query` (ASE query syntax; a
    bare integer selects that row id).

    ``db`` and ``into`` are ASE databases: SQLite file names, ``postgresql://``
    addresses or connections from ``ase.db.connect``. Without ``into`` the
    results are added to the selected rows themselves; with it each row is
    copied there with its results (rows already copied, recognised by ASE's
    ``unique_id``, are updated instead) and the source stays untouched.

    ``potential`` is "none" (no relaxation), "tersoff", "pth", a potential
    file or a calculator name that ``get_calculator`` knows; None (the
    default) takes "pth" when the machine-learned potential loads and
    "tersoff" otherwise. ``fmax``, ``steps`` and ``pressure`` (GPa) steer the
    relaxation, and ``elastic=True`` adds the elastic moduli and moduli-model
    hardness values. See ``screen_structure`` for the keys written; every row
    also gets ``screen_tag``, and a row whose screening fails gets
    ``screen_error`` with the message instead of results. A relaxed row holds
    its relaxed structure (with energy, forces and stress), its input under
    ``initial_structure`` in its data, and, for B–C–N, ``formation_energy``
    and ``e_above_hull`` (eV/atom, enthalpy at ``pressure``) against the
    convex hull of the destination's rows of the same settings and the
    ``reference_phases``. Rows of the run with the same structure
    (``structure_fingerprint``) are computed once: the others get the same
    results and ``duplicate_of``, the id of the row computed.

    The rows travel to the Dask workers ``batch`` at a time. Dask runs on
    ``client`` when given, else on the cluster whose scheduler is at
    ``scheduler``, else on a new local cluster of ``workers`` processes (one
    per core by default). Progress goes to stderr unless ``progress=False``.
    Ctrl-C stops the run between two writes, also while the cluster starts;
    running it again continues.
    """
    if sum(x is not None for x in (workers, scheduler, client)) > 1:
        raise ValueError("Give at most one of workers, scheduler and client.")
    for name, value in (("batch", batch), ("workers", workers)):
        if value is not None and (isinstance(value, bool) or not isinstance(value, int)):
            raise TypeError(f"{name} must be an integer, not {type(value).__name__}.")
        if value is not None and value < 1:
            raise ValueError(f"{name} must be at least 1, got {value}.")
    query = _normal_query(query)
    _say(progress, f"counting the selected rows of {_db_name(db)}")
    with _Interrupt() as interrupt:
        return _screen_database(
            db, query, into, potential, fmax, steps, pressure, elastic,
            workers, scheduler, client, batch, progress, interrupt,
        )  # fmt: skip


def _screen_database(
    db: Any,
    query: str | None,
    into: Any,
    potential: Any,
    fmax: float,
    steps: int,
    pressure: float,
    elastic: bool,
    workers: int | None,
    scheduler: str | None,
    client: Any,
    batch: int,
    progress: bool,
    interrupt: _Interrupt,
) -> ScreenSummary:
    # Everything that can be refused is checked before any work.
    fallback = None
    if potential is None:
        potential, fallback = _default_potential()
    settings = ScreenSettings.create(potential, fmax, steps, pressure, elastic)
    _import_dask()
    source = _connect(db, must_exist=True)
    try:
        selected = source.count(query)
    except Exception as exc:
        raise ValueError(f"Invalid query {query!r}: {exc}") from None
    dest = source if into is None else _connect(into, must_exist=False)
    copy = not _same_database(source, dest)
    if not _writable(dest):
        hint = "" if copy else "; give --into DEST to write the results to another database"
        raise PermissionError(f"Cannot write to the database '{_db_name(dest)}'{hint}.")
    tag = settings.tag
    done_before = 0 if copy else source.count(_and(query, f"screen_tag={tag}"))
    _say(progress, f"{selected:,} rows selected, {done_before:,} of them with these results")
    if fallback is not None:
        _say(progress, f"the machine-learned potential cannot be loaded ({fallback})")
    _calculator(settings)  # an unusable potential fails here, not on every worker
    interrupt.check()
    _index_pairs_by_row(dest)
    hull = None
    if settings.potential_file is not None:
        hull = _load_hull(dest, settings, interrupt, progress)
        _say(progress, _potential_line(os.fspath(potential), hull))

    own_client = client is None
    cluster = None
    if own_client:
        client, cluster = _start_client(workers, scheduler, interrupt, progress)
    writer = _Writer(dest, tag, copy, hull, settings.pressure)
    try:
        link = _dashboard(client)
        if link:
            _say(progress, f"Dask dashboard at {link}")
        meter = _Progress(selected - done_before, progress)
        try:
            dedup = settings.potential_file is not None
            _run(client, source, query, settings, writer, meter, batch, copy, interrupt, dedup)
        except KeyboardInterrupt:
            meter.close()
            print(
                f"screen: interrupted; {writer.screened:,} rows were written. "
                "Run the same screening again to continue.",
                file=sys.stderr,
            )
            raise
        meter.close()
    finally:
        if own_client:
            _close(client, cluster)

    keys = ["hardness_simunek"]
    if settings.potential_file is not None:
        keys += ["e_above_hull", "formation_energy", "energy_per_atom"]
    if settings.elastic:
        keys += [k for k in SORT_KEYS if k not in keys]
    _create_sort_indexes(dest, keys)
    _describe_results(dest, keys)
    skipped = selected - meter.total
    return ScreenSummary(
        writer.screened, writer.failed, skipped, tag, _db_name(dest), writer.duplicates
    )


def _pending(source: Any, query: str | None, tag: str, writer: _Writer, copy: bool) -> Iterator:
    """Selected rows without results for `tag` (in the destination when copying)."""
    for row in _selected_rows(source, query):
        if copy:
            found = _find_row(writer.dest, row.unique_id)
            if found is not None and found.get("screen_tag") == tag:
                yield None
                continue
        elif row.get("screen_tag") == tag:
            continue
        yield row


def _copy_entry(dest: Any, row: Any, known: int, relaxing: bool) -> tuple:
    """The entry of a row whose structure was computed and written already."""
    done = dest.get(id=known)
    results = {k: done[k] for k in RESULT_KEYS if k in done.key_value_pairs and k not in _OWN_KEYS}
    relaxed = done.toatoms() if relaxing and "screen_error" not in results else None
    return (None, results, relaxed, [row], known)


def _run(
    client: Any,
    source: Any,
    query: str | None,
    settings: ScreenSettings,
    writer: _Writer,
    meter: _Progress,
    batch: int,
    copy: bool,
    interrupt: _Interrupt,
    dedup: bool,
) -> None:
    distributed = _import_dask()
    workers = max(len(client.scheduler_info().get("workers", {})), 1)
    # Enough batches in flight to keep every worker busy, few enough that
    # the client's memory does not grow with the database.
    limit = 2 * workers + 2
    rows = _pending(source, query, settings.tag, writer, copy)
    in_flight: dict[Any, list[tuple[Any, bytes | None]]] = {}
    # Structures of this run by fingerprint: the id written for the row
    # computed, or the rows waiting for it while it is computed.
    computed: dict[bytes, Any] = {}
    ready: list[tuple[Any, int]] = []
    relaxing = settings.potential_file is not None

    attempts: dict[Any, int] = {}

    def submit(group: list[tuple[Any, bytes | None]], attempt: int = 0) -> None:
        # One opaque bytes object per batch, scattered to a worker: passed
        # inside the task instead, it stays in the scheduler's memory (in
        # this process for a local cluster) long after the task is done,
        # about 3 kB per row.
        structures = [(i, _structure(row)) for i, (row, _) in enumerate(group)]
        data = pickle.dumps(structures, protocol=5)
        for tries in range(20):
            try:
                payload = client.scatter(data, hash=False)
                break
            except OSError:  # the worker chosen died: the scheduler learns it soon
                if tries == 19:
                    raise
                interrupt.check()
                time.sleep(0.5)
        future = client.submit(_screen_batch, payload, settings, pure=False, retries=2)
        in_flight[future] = group
        attempts[future] = attempt

    def fill() -> None:
        while len(in_flight) < limit and len(ready) < batch:
            group: list[tuple[Any, bytes | None]] = []
            for row in rows:
                if row is None:
                    meter.skip(1)
                    continue
                key = structure_fingerprint(_structure(row)) if dedup else None
                if key is not None:
                    known = computed.get(key)
                    if isinstance(known, list):
                        known.append(row)
                        continue
                    if known is not None:
                        ready.append((row, known))
                        if len(ready) >= batch:
                            break
                        continue
                    computed[key] = []
                group.append((row, key))
                if len(group) == batch:
                    break
            if not group:
                return
            submit(group)

    def write(entries: list, keys: list[bytes | None]) -> None:
        ids = writer.write(entries)
        for key, written in zip(keys, ids):
            if key is not None:
                computed[key] = written
        meter.add(sum((e[4] is None) + len(e[3]) for e in entries))
        interrupt.check()

    try:
        fill()
        while in_flight or ready:
            interrupt.check()
            if ready:
                write([_copy_entry(writer.dest, row, k, relaxing) for row, k in ready], [])
                ready.clear()
                fill()
                continue
            try:
                finished = distributed.wait(
                    list(in_flight), timeout=0.5, return_when="FIRST_COMPLETED"
                ).done
            except TimeoutError:
                continue
            except Exception:  # cancelled: the worker holding their batch died
                finished = [f for f in in_flight if f.status in ("cancelled", "error", "finished")]
            interrupt.check()
            entries, keys = [], []
            for future in finished:
                group, attempt = in_flight.pop(future), attempts.pop(future)
                if future.status == "cancelled" and attempt < 3:
                    submit(group, attempt + 1)
                    continue
                try:
                    results = future.result()
                except distributed.KilledWorker:
                    # A batch that kills every worker it meets: alone, each of
                    # its rows finds the culprit.
                    if len(group) > 1:
                        for item in group:
                            submit([item])
                        continue
                    results = [
                        (0, {"screen_error": "The worker died screening this structure."}, None)
                    ]
                except Exception:
                    # The worker holding the batch died with it: send it again.
                    if attempt < 3:
                        submit(group, attempt + 1)
                        continue
                    raise
                for i, values, relaxed in results:
                    row, key = group[i]
                    copies = computed.pop(key, []) if key is not None else []
                    entries.append((row, values, relaxed, copies, None))
                    keys.append(key)
            if entries:
                write(entries, keys)
            fill()
    finally:
        if in_flight:
            client.cancel(list(in_flight))


# --- candidates ---------------------------------------------------------------

#: Host crystals of the candidates: (ASE name, structure, lattice constant Å).
_HOSTS = {"diamond": ("C", "diamond", 3.567), "cBN": ("BN", "zincblende", 3.615)}


def _site_permutations(atoms: Atoms) -> np.ndarray:
    """Every symmetry operation of a crystal (spglib) as a permutation of its
    sites: row g lists the site each site is carried to."""
    import spglib

    frac = atoms.get_scaled_positions()
    with _spglib_quiet():
        symmetry = spglib.get_symmetry((np.array(atoms.cell), frac, atoms.numbers), symprec=SYMPREC)
    moved = (
        np.einsum("gij,nj->gni", symmetry["rotations"], frac) + symmetry["translations"][:, None]
    )
    offset = moved[:, :, None, :] - frac[None, None, :, :]
    distance = np.abs(offset - np.rint(offset)).max(axis=3)
    return distance.argmin(axis=2)


def _smallest_row(rows: np.ndarray) -> np.ndarray:
    return rows[np.lexsort(rows.T[::-1])[0]]


def generate_candidates(
    db: Any,
    count: int,
    *,
    repeat: tuple[int, int, int] = (2, 1, 1),
    max_substitutions: int = 4,
    seed: int = 0,
) -> int:
    """Writes up to `count` symmetry-distinct B–C–N substitution candidates
    to the ASE database `db`.

    Each candidate is a supercell (``repeat`` times the 8-atom cubic cell) of
    diamond or cubic BN, drawn alternately, in which 1 to
    ``max_substitutions`` random sites hold another of B, C and N. A draw
    whose ``structure_fingerprint`` equals one written before (here or
    already in `db`) is drawn again. Rows carry ``host`` ("diamond" or
    "cBN") and ``substitutions``. The same ``seed`` writes the same
    candidates. Returns the number of rows written: fewer than `count` when
    the draws stop finding new structures (a note on stderr says so).
    """
    from ase.build import bulk

    if isinstance(count, bool) or not isinstance(count, int) or count < 0:
        raise ValueError(f"count must be a non-negative integer, got {count!r}.")
    database = _connect(db, must_exist=False)
    rng = np.random.default_rng(seed)
    elements = np.array([5, 6, 7])
    hosts = {
        name: bulk(symbols, kind, a=a, cubic=True).repeat(repeat)
        for name, (symbols, kind, a) in _HOSTS.items()
    }
    names = list(hosts)
    if not 1 <= max_substitutions <= len(hosts[names[0]]):
        raise ValueError(f"max_substitutions must lie in 1..{len(hosts[names[0]])}.")
    seen = {structure_fingerprint(row.toatoms()) for row in _selected_rows(database, None, False)}
    seen.discard(None)
    # Most repeated draws are caught by the host's own symmetry (its site
    # permutations) without asking spglib again; a new pattern is then
    # compared by its full canonical form, which also sees equalities that
    # need a symmetry beyond the supercell's.
    permutations = {name: _site_permutations(host) for name, host in hosts.items()}
    patterns: set[bytes] = set()
    # Draws in a row that found nothing new before the space counts as spent.
    patience = 20000
    written = misses = i = 0
    with database:
        while written < count and misses < patience:
            name = names[i % len(names)]
            i += 1
            atoms = hosts[name].copy()
            numbers = atoms.numbers
            n = int(rng.integers(1, max_substitutions + 1))
            for site in rng.choice(len(atoms), size=n, replace=False):
                others = elements[elements != numbers[site]]
                numbers[site] = others[rng.integers(len(others))]
            pattern = name.encode() + _smallest_row(numbers[permutations[name]]).tobytes()
            if pattern in patterns:
                misses += 1
                continue
            patterns.add(pattern)
            atoms.numbers = numbers
            key = structure_fingerprint(atoms)
            if key is not None and key in seen:
                misses += 1
                continue
            seen.add(key)
            database.write(atoms, host=name, substitutions=n)
            written += 1
            misses = 0
    if written < count:
        print(
            f"generate_candidates: {written:,} symmetry-distinct candidates found, not {count:,};"
            " allow more substitutions or a larger repeat for more.",
            file=sys.stderr,
        )
    return written
