"""Speed of the twin builder and of the merging of close atoms.

Prints:
1. average_atoms on a skewed periodic cell (diamond, primitive fcc vectors) of
   about 100k and 1M atoms, 5 % of them doubled by jittered copies that must
   merge back, with the time per atom (linear cost means a flat column), after
   checking on a small structure that it gives the same atoms as a brute-force
   all-pairs reference;
2. CoherentTwinBoundary(...).create() for diamond (1, 1, 1) with layers [3],
   [20] and [40]: wall time, and the share of it spent outside ASE's own
   functions (measured with a profile hook, which slows Python calls and so
   inflates the ASE side: the share is a lower bound);
3. the two-fold rotation twin of c-BN (zincblende, which has no mirror plane)
   against the mirror twin of diamond, both (1, 1, 1) from the conventional
   cubic cell with layers [3], [20] and [40], timed in turns in one run, and
   the ratio rotation / mirror (the target is at most 2). With
   --before PATH (the ferrolith.build.twin extension module of an older
   build), the mirror path of that build is timed in the same turns.

Run: .venv/bin/python benchmarks/bench_twin.py [--quick] [--before PATH]
"""

import argparse
import importlib.util
import os
import platform
import sys
import time

import ase
import numpy as np
from ase.build import bulk

from ferrolith.build.twin import CoherentTwinBoundary
from ferrolith.core import average_atoms

ASE_DIR = os.path.dirname(ase.__file__)
CUTOFF = 0.2


def machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f if "model name" in line)
    except (OSError, StopIteration):
        pass
    python = platform.python_version()
    return f"{model}, {os.cpu_count()} cores, Python {python}, ASE {ase.__version__}"


def doubled_crystal(repeats, seed=0):
    """Diamond with 5 % of its atoms copied and moved by up to 0.05 Angstrom."""
    crystal = bulk("C", "diamond", a=3.567).repeat(repeats)
    rng = np.random.default_rng(seed)
    picked = rng.choice(len(crystal), size=len(crystal) // 20, replace=False)
    copies = crystal[picked]
    copies.positions += rng.uniform(-0.05, 0.05, (len(copies), 3)) / np.sqrt(3)
    copies.set_chemical_symbols(["Si"] * len(copies))
    crystal += copies
    return crystal


def brute_force_merge(atoms, cutoff):
    """O(N^2) reference: every pair by minimum image, clusters, centroids."""
    d = atoms.get_all_distances(mic=True)
    n = len(atoms)
    parent = list(range(n))

    def find(i):
        while parent[i] != i:
            i = parent[i]
        return i

    for i, j in zip(*np.nonzero(np.triu(d < cutoff, k=1))):
        ri, rj = find(i), find(j)
        parent[max(ri, rj)] = min(ri, rj)
    roots = sorted({find(i) for i in range(n)})
    positions = []
    for r in roots:
        members = [i for i in range(n) if find(i) == r]
        vectors = atoms.get_distances(r, members, mic=True, vector=True)
        positions.append(atoms.positions[r] + vectors.mean(axis=0))
    return atoms[roots], np.array(positions)


def check_against_brute_force():
    atoms = doubled_crystal((8, 8, 8), seed=1)
    reference, positions = brute_force_merge(atoms, CUTOFF)
    merged = average_atoms(atoms, CUTOFF)
    same = (
        len(merged) == len(reference)
        and merged.get_chemical_symbols() == reference.get_chemical_symbols()
    )
    deviation = np.abs(merged.positions - positions).max() if same else float("nan")
    print(
        f"brute-force check on {len(atoms)} atoms: {len(atoms) - len(merged)} merges, "
        f"same atoms and order: {same}, largest position difference {deviation:.1e} A"
    )
    if not same or deviation > 1e-9:
        sys.exit("average_atoms disagrees with the brute-force reference")


def time_call(fn, repeat):
    """Best wall time and best CPU time of this process over `repeat` runs (s).

    On a shared machine the CPU time is the steadier figure."""
    wall = cpu = float("inf")
    for _ in range(repeat):
        t0, c0 = time.perf_counter(), time.process_time()
        fn()
        wall = min(wall, time.perf_counter() - t0)
        cpu = min(cpu, time.process_time() - c0)
    return wall, cpu


def bench_average(quick):
    print("\naverage_atoms, cutoff 0.2 A, skewed periodic cell")
    print(f"{'atoms':>9} {'merged':>8} {'wall (s)':>9} {'cpu (s)':>8} {'cpu us/atom':>12}")
    sizes = [(37, 37, 37)] if quick else [(37, 37, 37), (79, 79, 79)]
    for repeats in sizes:
        atoms = doubled_crystal(repeats)
        out = average_atoms(atoms, CUTOFF)
        wall, cpu = time_call(lambda atoms=atoms: average_atoms(atoms, CUTOFF), repeat=3)
        print(
            f"{len(atoms):>9} {len(atoms) - len(out):>8} {wall:>9.3f} {cpu:>8.3f} "
            f"{1e6 * cpu / len(atoms):>12.3f}"
        )


def ase_share(fn):
    """CPU time of fn() and the CPU time inside ASE functions called from outside ASE."""
    depth = 0
    start = 0.0
    inside = 0.0

    def hook(frame, event, arg):
        nonlocal depth, start, inside
        if event not in ("call", "return") or not frame.f_code.co_filename.startswith(ASE_DIR):
            return
        if event == "call":
            if depth == 0:
                start = time.process_time()
            depth += 1
        else:
            depth -= 1
            if depth == 0:
                inside += time.process_time() - start

    sys.setprofile(hook)
    t0 = time.process_time()
    try:
        fn()
    finally:
        total = time.process_time() - t0
        sys.setprofile(None)
    return total, inside


def bench_create(quick):
    crystal = bulk("C", "diamond", a=3.567, cubic=True)
    print("\nCoherentTwinBoundary(diamond, (1, 1, 1), layers).create()")
    print(f"{'layers':>7} {'atoms':>6} {'wall (s)':>9} {'cpu (s)':>8} {'outside ASE':>12}")
    for n in [3, 20] if quick else [3, 20, 40]:

        def build(n=n):
            return CoherentTwinBoundary(crystal, (1, 1, 1), layers=[n]).create()

        atoms = len(build())
        wall, cpu = time_call(build, repeat=5)
        outside = float(
            np.median(
                [1 - inside / total for total, inside in (ase_share(build) for _ in range(21))]
            )
        )
        print(f"{[n]!s:>7} {atoms:>6} {wall:>9.4f} {cpu:>8.4f} {100 * outside:>11.1f}%")


def load_module(path):
    """An older build of ferrolith.build.twin, loaded beside the current one."""
    module_spec = importlib.util.spec_from_file_location("ferrolith_before.twin", path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def bench_rotation(quick, before):
    diamond = bulk("C", "diamond", a=3.567, cubic=True)
    cbn = bulk("BN", "zincblende", a=3.615, cubic=True)
    cases = {
        "diamond mirror": lambda n: CoherentTwinBoundary(diamond, (1, 1, 1), layers=[n]),
        "c-BN rotation": lambda n: CoherentTwinBoundary(
            cbn, (1, 1, 1), layers=[n], operation="rotation"
        ),
    }
    if before:
        old = load_module(before)
        cases["diamond mirror, before"] = lambda n: old.CoherentTwinBoundary(
            diamond, (1, 1, 1), layers=[n]
        )
    print("\nrotation twin (c-BN) vs mirror twin (diamond), (1, 1, 1), create(); CPU ms, best")
    print(
        f"{'layers':>7} " + " ".join(f"{name:>22}" for name in cases) + f" {'rotation/mirror':>16}"
    )
    for n in [3, 20] if quick else [3, 20, 40]:
        best = dict.fromkeys(cases, float("inf"))
        for _ in range(15):  # in turns, so load on the shared machine hits all alike
            for name, make in cases.items():
                builder = make(n)
                c0 = time.process_time()
                builder.create()
                best[name] = min(best[name], time.process_time() - c0)
        ratio = best["c-BN rotation"] / best["diamond mirror"]
        row = " ".join(f"{1e3 * best[name]:>22.2f}" for name in cases)
        print(f"{[n]!s:>7} {row} {ratio:>16.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="skip the 1M-atom and [40] cases")
    parser.add_argument("--before", help="path of an older build's twin extension module")
    parser.add_argument(
        "--only-rotation", action="store_true", help="run only the rotation/mirror comparison"
    )
    args = parser.parse_args()
    print(machine())
    if not args.only_rotation:
        check_against_brute_force()
        bench_average(args.quick)
        bench_create(args.quick)
    bench_rotation(args.quick, args.before)


if __name__ == "__main__":
    main()
