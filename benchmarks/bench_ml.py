"""Time per atom-step of the machine-learned B-C-N potential, side by side with
its teacher (SevenNet's 7net-l3i5) and, when ferrolith has it, the Tersoff
calculator.

One step is energy + forces + stress of a slightly moved structure (what an
optimiser asks for), including the ASE calculator overhead. Run:

    .venv/bin/python benchmarks/bench_ml.py [--teacher-atoms 64] [--large 8000]

The teacher (pip install sevenn==0.13.0) and the Tersoff calculator are
optional; their columns are skipped with a note when they are not importable.
Both run on one thread, as the ML potential does.
"""

import argparse
import os
import time
import warnings
from pathlib import Path

import numpy as np
from ase.build import bulk

import ferrolith.data.files as files
from ferrolith.optimization import _mlp

MODEL = Path(files.__file__).parent / "BCN-qz-v0.0.1.pth"


def structure(kind, n_target):
    unit = (
        bulk("C", "diamond", a=3.567, cubic=True)
        if kind == "diamond"
        else bulk("BN", "zincblende", a=3.615, cubic=True)
    )
    rep = max(1, round((n_target / 8) ** (1 / 3)))
    atoms = unit.repeat(rep)
    atoms.rattle(0.02, seed=1)
    return atoms


def time_per_atom_step(calc, atoms, min_time=2.0, max_steps=50):
    """Median seconds per atom of energy+forces+stress after one warm-up call."""
    atoms = atoms.copy()
    atoms.calc = calc
    atoms.get_stress()
    times, start = [], time.perf_counter()
    rng = np.random.default_rng(0)
    while len(times) < 3 or (time.perf_counter() - start < min_time and len(times) < max_steps):
        atoms.positions += rng.normal(0, 1e-4, atoms.positions.shape)
        t = time.perf_counter()
        atoms.get_potential_energy()
        atoms.get_forces()
        atoms.get_stress()
        times.append(time.perf_counter() - t)
    return float(np.median(times)) / len(atoms)


def teacher_calculator():
    try:
        os.environ.setdefault("HF_HUB_OFFLINE", "1")
        warnings.simplefilter("ignore")
        import torch
        from sevenn.calculator import SevenNetCalculator
    except ImportError:
        return None
    torch.set_num_threads(1)
    return SevenNetCalculator(model="7net-l3i5", device="cpu")


def tersoff_calculator():
    try:
        from ferrolith.optimization import get_calculator
    except ImportError:
        return None
    path = Path(files.__file__).parent / "BNC.tersoff"
    return get_calculator(str(path)) if path.exists() else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--teacher-atoms", type=int, default=64)
    parser.add_argument("--large", type=int, default=8000)
    parser.add_argument("--model", type=Path, default=MODEL)
    args = parser.parse_args()

    ml = _mlp.load_ml_calculator(args.model)
    teacher = teacher_calculator()
    tersoff = tersoff_calculator()
    try:
        import torch

        threads = torch.get_num_threads()
    except ImportError:
        threads = "-"
    print(
        f"machine: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}; "
        f"ML potential single-threaded, teacher with {threads} torch threads"
    )
    if teacher is None:
        print("teacher (SevenNet) not importable: its column is skipped (pip install sevenn)")
    if tersoff is None:
        print("Tersoff calculator not available in this build: its column is skipped")
    print(
        f"{'structure':>10} {'atoms':>6} {'ML µs/atom-step':>16} {'teacher':>12} "
        f"{'teacher/ML':>11} {'Tersoff':>10} {'ML/Tersoff':>11}"
    )
    for kind in ("diamond", "cbn"):
        for n in (args.teacher_atoms, args.large):
            atoms = structure(kind, n)
            t_ml = time_per_atom_step(ml, atoms)
            row = f"{kind:>10} {len(atoms):6d} {1e6 * t_ml:16.2f}"
            if teacher is not None and n == args.teacher_atoms:
                t_teacher = time_per_atom_step(teacher, atoms, min_time=0.0)
                row += f" {1e6 * t_teacher:12.1f} {t_teacher / t_ml:10.0f}x"
            else:
                row += f" {'-':>12} {'-':>11}"
            if tersoff is not None:
                t_ters = time_per_atom_step(tersoff, atoms)
                row += f" {1e6 * t_ters:10.2f} {t_ml / t_ters:10.1f}x"
            print(row, flush=True)


if __name__ == "__main__":
    main()
