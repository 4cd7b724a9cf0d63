"""Screening structure databases for hardness, on one machine or a Dask cluster.

``screen_database`` takes the rows of an ASE database (an SQLite file or a
``postgresql://`` address), relaxes each structure with a potential, predicts
its Šimůnek hardness at the automatic first-shell cutoff (and, on request, the
elastic moduli and the moduli-model hardness values) and writes the results
back as key-value pairs, where ``ferrolith vitrine`` shows and sorts them.

The work runs on Dask: a local cluster of processes (one per core) by default,
or any running cluster by address or ``Client``. Workers only compute; the
calling process is the one writer, one transaction per group of finished
batches. Rows carrying results for the same settings (the same
``screen_tag``) are skipped, so a run that was interrupted continues where it
stopped when started again.

``screen_structure`` is the computation of one row; ``generate_candidates``
writes B–C–N substitution candidates in diamond and cubic BN supercells.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import math
import os
import pickle
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
    "MODULI_MODELS",
    "RESULT_KEYS",
    "SORT_KEYS",
    "ScreenSettings",
    "ScreenSummary",
    "generate_candidates",
    "screen_database",
    "screen_structure",
]

#: Hardness models evaluated from the Hill moduli with ``elastic=True``.
MODULI_MODELS = ("chen", "tian", "jiang", "mazhnik")

#: Every key a screening writes; a new screening of a row replaces them all.
RESULT_KEYS = (
    "hardness_simunek",
    "ionicity",
    "energy_per_atom",
    "rcut",
    "bulk_hill",
    "shear_hill",
    *(f"hardness_{model}" for model in MODULI_MODELS),
    "screen_error",
    "screen_tag",
)

#: Numeric result keys that get an index for sorting in the viewer.
SORT_KEYS = (
    "hardness_simunek",
    "energy_per_atom",
    "bulk_hill",
    "shear_hill",
    *(f"hardness_{model}" for model in MODULI_MODELS),
)

#: Bond-length tolerance of the Šimůnek bond grouping (Å), as ``ferrolith hardness``.
TOLERANCE = 0.2

#: Seconds to wait for a scheduler given by address.
SCHEDULER_TIMEOUT = 10.0

#: Rows read from the source database per query.
PAGE_SIZE = 1000

# Bundled potentials by name, as ``ferrolith optimize --potential`` resolves them.
_BUNDLED = {"tersoff": "BNC.tersoff", "pth": "BCN-qz-v0.0.1.pth", "gpaw": "gpaw-pbe.json"}
# Changes of what a screening computes (not of its settings) change this.
_PROCEDURE = 1


def _potential_path(potential: str | os.PathLike[str]) -> str | None:
    """The file of a potential name: None for "none", bundled files by name."""
    text = os.fspath(potential)
    if text == "none":
        return None
    if text in _BUNDLED:
        from ferrolith.data import files

        return str(Path(files.__file__).parent / _BUNDLED[text])
    return os.path.abspath(text)


@dataclass(frozen=True)
class ScreenSettings:
    """What a screening computes; equal settings give equal ``tag``.

    ``potential_file`` is None for no relaxation; ``potential_digest`` is the
    SHA-256 of that file, so the tag follows the potential's content rather
    than where the file lies.
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
        potential: str | os.PathLike[str] = "tersoff",
        fmax: float = 0.05,
        steps: int = 1000,
        pressure: float = 0.0,
        elastic: bool = False,
    ) -> ScreenSettings:
        path = _potential_path(potential)
        if path is None and elastic:
            raise ValueError("The elastic moduli need a potential; give one other than 'none'.")
        if not (isinstance(fmax, (int, float)) and math.isfinite(fmax) and fmax >= 0):
            raise ValueError(f"fmax must be a non-negative number of eV/Å, got {fmax!r}.")
        if isinstance(steps, bool) or not isinstance(steps, int) or steps < 0:
            raise ValueError(f"steps must be a non-negative integer, got {steps!r}.")
        if not (isinstance(pressure, (int, float)) and math.isfinite(pressure)):
            raise ValueError(f"pressure must be a finite number of GPa, got {pressure!r}.")
        digest = ""
        if path is not None:
            try:
                digest = hashlib.sha256(Path(path).read_bytes()).hexdigest()
            except OSError as exc:
                raise FileNotFoundError(
                    f"Cannot read the potential '{os.fspath(potential)}': {exc.strerror or exc}."
                ) from None
        return cls(path, digest, float(fmax), steps, float(pressure), bool(elastic))

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


def screen_structure(
    atoms: Atoms,
    calculator: Any = None,
    *,
    fmax: float = 0.05,
    steps: int = 1000,
    pressure: float = 0.0,
    elastic: bool = False,
) -> dict[str, float]:
    """The screening results of one structure, as key-value pairs.

    With a ``calculator`` the structure is first relaxed (positions and
    periodic cell, LBFGS, at ``pressure`` GPa, until ``fmax`` eV/Å or
    ``steps``), giving ``energy_per_atom`` (eV). Then ``hardness_simunek``
    (GPa), ``ionicity`` and ``rcut`` (the automatic first-shell cutoff, Å);
    with ``elastic=True`` also ``bulk_hill``, ``shear_hill`` (GPa) and the
    ``hardness_<model>`` values of the moduli models. The caller's structure
    is not changed; a structure the models refuse raises ``ValueError``.
    """
    from ferrolith.optimization import optimize_structure
    from ferrolith.properties.bondvick import SimunekHardnessCalculator

    results: dict[str, float] = {}
    if calculator is not None:
        start = atoms.copy()
        start.calc = calculator
        # The optimiser's log and warnings would flood a worker's output.
        with open(os.devnull, "w") as quiet, contextlib.redirect_stdout(quiet):
            atoms = optimize_structure(
                start, fmax=fmax, steps=steps, pressure=pressure, trajectory=None
            )
        results["energy_per_atom"] = float(atoms.get_potential_energy()) / len(atoms)
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
        with open(os.devnull, "w") as quiet, contextlib.redirect_stdout(quiet):
            with contextlib.redirect_stderr(quiet):
                results.update(_moduli_results(atoms, calculator))
    return results


# --- the work of a Dask worker --------------------------------------------------

_worker_calculators: dict[str, Any] = {}


def _calculator(settings: ScreenSettings) -> Any:
    """The calculator of `settings`, built once per process."""
    if settings.potential_file is None:
        return None
    calculator = _worker_calculators.get(settings.potential_digest)
    if calculator is None:
        from ferrolith.optimization import get_calculator

        calculator = get_calculator(settings.potential_file)
        _worker_calculators[settings.potential_digest] = calculator
    return calculator


def _screen_batch(
    batch: bytes | Sequence[tuple[int, Atoms]], settings: ScreenSettings
) -> list[tuple[int, dict[str, Any]]]:
    """Results of every (key, structure) of a batch (or of the batch pickled);
    a failing row gets screen_error."""
    if isinstance(batch, bytes):
        batch = pickle.loads(batch)
    calculator = _calculator(settings)
    out = []
    for key, atoms in batch:
        try:
            results: dict[str, Any] = screen_structure(
                atoms,
                calculator,
                fmax=settings.fmax,
                steps=settings.steps,
                pressure=settings.pressure,
                elastic=settings.elastic,
            )
        except Exception as exc:
            results = {"screen_error": str(exc) or type(exc).__name__}
        out.append((key, results))
    return out


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


def _selected_rows(db: Any, query: str | None, include_data: bool) -> Iterator[Any]:
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


def _start_client(workers: int | None, scheduler: str | None) -> tuple[Any, Any]:
    """(client, local cluster or None)."""
    distributed = _import_dask()
    if scheduler is not None:
        try:
            return distributed.Client(scheduler, timeout=SCHEDULER_TIMEOUT), None
        except (OSError, TimeoutError, ValueError) as exc:
            raise ConnectionError(
                f"Cannot reach the Dask scheduler at '{scheduler}': {exc}"
            ) from None
    cluster = distributed.LocalCluster(
        n_workers=workers or os.cpu_count() or 1,
        threads_per_worker=1,
        processes=True,
        dashboard_address=":0",
    )
    try:
        return distributed.Client(cluster), cluster
    except BaseException:
        cluster.close()
        raise


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


@contextlib.contextmanager
def _interrupt_deferred() -> Iterator[None]:
    """Holds Ctrl-C back until the block ends, so a write is never cut in two."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught: list[Any] = []
    previous = signal.signal(signal.SIGINT, lambda *frame: caught.append(frame))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if caught:
        raise KeyboardInterrupt


# --- the screening ------------------------------------------------------------


class _Writer:
    """The one writer: results of finished batches, one transaction per call."""

    def __init__(self, dest: Any, tag: str, copy: bool) -> None:
        self.dest, self.tag, self.copy = dest, tag, copy
        self.screened = self.failed = 0

    def write(self, done: list[tuple[Any, dict[str, Any]]]) -> None:
        with _interrupt_deferred(), self.dest:
            for row, results in done:
                pairs = {**results, "screen_tag": self.tag}
                stale = [k for k in RESULT_KEYS if k not in pairs]
                target = _find_row(self.dest, row.unique_id) if self.copy else row
                if target is not None:
                    self.dest.update(target.id, delete_keys=stale, **pairs)
                else:
                    kept = {k: v for k, v in row.key_value_pairs.items() if k not in stale}
                    self.dest.write(row, key_value_pairs={**kept, **pairs}, data=row.data)
                self.failed += "screen_error" in results
        self.screened += len(done)


def _structure(row: Any) -> Atoms:
    atoms = row.toatoms()
    atoms.calc = None  # stored results of the row are not needed by the workers
    return atoms


def screen_database(
    db: Any,
    query: str | None = None,
    *,
    into: Any = None,
    potential: str | os.PathLike[str] = "tersoff",
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
    """Screens the rows of `db` selected by `query` (ASE query syntax).

    ``db`` and ``into`` are ASE databases: SQLite file names, ``postgresql://``
    addresses or connections from ``ase.db.connect``. Without ``into`` the
    results are added to the selected rows themselves; with it each row is
    copied there with its results (rows already copied, recognised by ASE's
    ``unique_id``, are updated instead).

    ``potential`` is "none" (no relaxation), "tersoff", "pth" or a potential
    file; ``fmax``, ``steps`` and ``pressure`` (GPa) steer the relaxation, and
    ``elastic=True`` adds the elastic moduli and moduli-model hardness values.
    See ``screen_structure`` for the keys written; every row also gets
    ``screen_tag``, and a row whose screening fails gets ``screen_error`` with
    the message instead of results.

    The rows travel to the Dask workers ``batch`` at a time. Dask runs on
    ``client`` when given, else on the cluster whose scheduler is at
    ``scheduler``, else on a new local cluster of ``workers`` processes (one
    per core by default). Progress goes to stderr unless ``progress=False``.
    Ctrl-C stops the run between two writes; running it again continues.
    """
    if sum(x is not None for x in (workers, scheduler, client)) > 1:
        raise ValueError("Give at most one of workers, scheduler and client.")
    for name, value in (("batch", batch), ("workers", workers)):
        if value is not None and (isinstance(value, bool) or not isinstance(value, int)):
            raise TypeError(f"{name} must be an integer, not {type(value).__name__}.")
        if value is not None and value < 1:
            raise ValueError(f"{name} must be at least 1, got {value}.")
    settings = ScreenSettings.create(potential, fmax, steps, pressure, elastic)
    _import_dask()

    # Everything that can be refused is checked before any work.
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
    _calculator(settings)  # an unusable potential fails here, not on every worker
    _index_pairs_by_row(dest)
    tag = settings.tag

    own_client = client is None
    cluster = None
    if own_client:
        client, cluster = _start_client(workers, scheduler)
    try:
        link = _dashboard(client)
        if progress and link:
            print(f"screen: Dask dashboard at {link}", file=sys.stderr)
        done_before = 0 if copy else source.count(_and(query, f"screen_tag={tag}"))
        meter = _Progress(selected - done_before, progress)
        writer = _Writer(dest, tag, copy)
        try:
            _run(client, source, query, settings, writer, meter, batch, copy)
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
            with contextlib.suppress(Exception):
                client.close()
        if cluster is not None:
            with contextlib.suppress(Exception):
                cluster.close()

    keys = ["hardness_simunek"]
    if settings.potential_file is not None:
        keys.append("energy_per_atom")
    if settings.elastic:
        keys += [k for k in SORT_KEYS if k not in keys]
    _create_sort_indexes(dest, keys)
    _describe_results(dest, keys)
    skipped = selected - meter.total
    return ScreenSummary(writer.screened, writer.failed, skipped, tag, _db_name(dest))


def _pending(source: Any, query: str | None, tag: str, writer: _Writer, copy: bool) -> Iterator:
    """Selected rows without results for `tag` (in the destination when copying)."""
    for row in _selected_rows(source, query, include_data=copy):
        if copy:
            found = _find_row(writer.dest, row.unique_id)
            if found is not None and found.get("screen_tag") == tag:
                yield None
                continue
        elif row.get("screen_tag") == tag:
            continue
        yield row


def _run(
    client: Any,
    source: Any,
    query: str | None,
    settings: ScreenSettings,
    writer: _Writer,
    meter: _Progress,
    batch: int,
    copy: bool,
) -> None:
    distributed = _import_dask()
    workers = max(len(client.scheduler_info().get("workers", {})), 1)
    # Enough batches in flight to keep every worker busy, few enough that
    # the client's memory does not grow with the database.
    limit = 2 * workers + 2
    rows = _pending(source, query, settings.tag, writer, copy)
    pending = distributed.as_completed()
    in_flight: dict[Any, list[Any]] = {}

    def submit(group: list[Any]) -> None:
        # One opaque bytes object per batch: the scheduler passes it on
        # without unpacking (and keeping) the structures' arrays.
        payload = pickle.dumps([(i, _structure(row)) for i, row in enumerate(group)], protocol=5)
        future = client.submit(_screen_batch, payload, settings, pure=False, retries=2)
        in_flight[future] = group
        pending.add(future)

    def fill() -> None:
        while len(in_flight) < limit:
            group: list[Any] = []
            for row in rows:
                if row is None:
                    meter.skip(1)
                    continue
                group.append(row)
                if len(group) == batch:
                    break
            if not group:
                return
            submit(group)

    try:
        fill()
        while in_flight:
            finished = pending.next_batch(block=True)
            done: list[tuple[Any, dict[str, Any]]] = []
            for future in finished:
                group = in_flight.pop(future)
                try:
                    results = future.result()
                except distributed.KilledWorker:
                    # A batch that kills every worker it meets: alone, each of
                    # its rows finds the culprit.
                    if len(group) > 1:
                        for row in group:
                            submit([row])
                        continue
                    results = [(0, {"screen_error": "The worker died screening this structure."})]
                done.extend((group[i], values) for i, values in results)
            if done:
                writer.write(done)
                meter.add(len(done))
            fill()
    finally:
        if in_flight:
            client.cancel(list(in_flight))


# --- candidates ---------------------------------------------------------------

#: Host crystals of the candidates: (ASE name, structure, lattice constant Å).
_HOSTS = {"diamond": ("C", "diamond", 3.567), "cBN": ("BN", "zincblende", 3.615)}


def generate_candidates(
    db: Any,
    count: int,
    *,
    repeat: tuple[int, int, int] = (2, 1, 1),
    max_substitutions: int = 4,
    seed: int = 0,
) -> int:
    """Writes `count` B–C–N substitution candidates to the ASE database `db`.

    Each candidate is a supercell (``repeat`` times the 8-atom cubic cell) of
    diamond or cubic BN, drawn alternately, in which 1 to
    ``max_substitutions`` random sites hold another of B, C and N. Rows carry
    ``host`` ("diamond" or "cBN") and ``substitutions``. The same ``seed``
    writes the same candidates. Returns the number of rows written.
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
    with database:
        for i in range(count):
            name = names[i % len(names)]
            atoms = hosts[name].copy()
            numbers = atoms.numbers
            n = int(rng.integers(1, max_substitutions + 1))
            for site in rng.choice(len(atoms), size=n, replace=False):
                others = elements[elements != numbers[site]]
                numbers[site] = others[rng.integers(len(others))]
            atoms.numbers = numbers
            database.write(atoms, host=name, substitutions=n)
    return count
