"""Time of a structure relaxation, with BLAS on one thread (as shipped) and without.

Relaxing positions and cell together, ASE's cell filter solves a few tiny
linear systems at every step; a multi-threaded BLAS spends most of a step
waking and parking its threads there. ``optimize_structure`` therefore runs
BLAS on one thread. This benchmark relaxes the same rattled, strained
64-atom diamond with the bundled Tersoff potential both ways, in turns, and
prints the best and median wall time of each and their ratio.

    python benchmarks/bench_relax.py
    python benchmarks/bench_relax.py --repeats 5 --atoms 216
"""

import argparse
import contextlib
import io
import statistics
import time

from ase.build import bulk
from threadpoolctl import threadpool_info

import ferrolith.optimization.relax as relax
from ferrolith.optimization import get_calculator, optimize_structure


@contextlib.contextmanager
def no_limit(**_):
    """Stands in for threadpool_limits: leaves BLAS with its default threads."""
    yield


def relax_once(start, limited):
    atoms = start.copy()
    atoms.calc = get_calculator("tersoff")
    saved = relax.threadpool_limits
    relax.threadpool_limits = saved if limited else no_limit
    try:
        began = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            relaxed = optimize_structure(atoms, fmax=0.01, steps=300, trajectory=None)
        elapsed = time.perf_counter() - began
    finally:
        relax.threadpool_limits = saved
    return elapsed, relaxed.cell.cellpar()[0] / (len(start) // 8) ** (1 / 3)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--atoms", type=int, default=64, choices=[64, 216, 512])
    options = parser.parse_args()
    n = round((options.atoms // 8) ** (1 / 3))
    start = bulk("C", "diamond", a=3.60, cubic=True).repeat(n)
    start.rattle(0.05, seed=1)
    for pool in threadpool_info():
        if pool["user_api"] == "blas":
            print(f"BLAS: {pool['internal_api']} {pool['version']}, {pool['num_threads']} threads")
    times = {True: [], False: []}
    lattice = {}
    for _ in range(options.repeats):
        for limited in (False, True):
            elapsed, a = relax_once(start, limited)
            times[limited].append(elapsed)
            lattice[limited] = a
    print(
        f"{len(start)}-atom diamond, Tersoff, LBFGS to fmax 0.01 eV/A, {options.repeats} runs each"
    )
    for limited, name in ((False, "default BLAS threads"), (True, "BLAS on one thread")):
        t = times[limited]
        print(
            f"{name:>22}: best {min(t):6.2f} s, median {statistics.median(t):6.2f} s "
            f"(a = {lattice[limited]:.4f} A)"
        )
    ratio = statistics.median(times[False]) / statistics.median(times[True])
    print(f"speed-up of one thread (medians): {ratio:.2f}x")


if __name__ == "__main__":
    main()
