"""Time of a whole elastic tensor, relaxations included.

For the 64-atom diamond cell (2×2×2 conventional cells, started 1 % off its
equilibrium lattice constant so that the first relaxation has work to do),
times ``elastic_tensor(atoms, potential=...)`` with the Tersoff potential
(target: at most 2 s) and with the machine-learned potential (when PyTorch is
installed to read its model file), best of a few runs. Beside each, the time of
the same number of bare calculator calls as the tensor made, so the share of the
optimisers and the fit is visible; and the call count itself.

    python benchmarks/bench_elastic.py [--repeat 3] [--size 2]
"""

import argparse
import time
import warnings

from ase.build import bulk

from ferrolith.properties import elastic
from ferrolith.properties.elastic import elastic_tensor


class Counting:
    """Wraps a calculator and counts its calculate() calls."""

    def __init__(self, calc):
        self.calc = calc
        self.calls = 0
        real = calc.calculate

        def calculate(*args, **kwargs):
            self.calls += 1
            return real(*args, **kwargs)

        calc.calculate = calculate


def measure(potential, size, repeat):
    calc = elastic.get_calculator(
        str(
            elastic.Path(elastic.files.__file__).parent
            / {"tersoff": "BNC.tersoff", "pth": "BCN-qz-v0.0.1.pth"}[potential]
        )
    )
    counter = Counting(calc)
    atoms = bulk("C", "diamond", a=3.60, cubic=True).repeat(size)
    best, result = float("inf"), None
    for _ in range(repeat):
        counter.calls = 0
        start = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            result = elastic_tensor(atoms, calculator=calc)
        best = min(best, time.perf_counter() - start)
    calls = counter.calls
    # The bare calculator: as many fresh evaluations of a strained copy.
    probe = atoms.copy()
    probe.calc = calc
    start = time.perf_counter()
    for k in range(calls):
        probe.positions[0, 0] += 1e-6 * (-1) ** k
        probe.get_stress()
    bare = time.perf_counter() - start
    return best, calls, bare, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="runs (best kept)")
    parser.add_argument("--size", type=int, default=2, help="repeats of the 8-atom cell")
    args = parser.parse_args()
    atoms = 8 * args.size**3
    print(
        f"{'potential':>10} {'atoms':>6} {'tensor s':>9} {'calls':>6} {'calc s':>7} "
        f"{'calc share':>10}  C11 C12 C44 (GPa)"
    )
    for potential in ("tersoff", "pth"):
        try:
            best, calls, bare, result = measure(potential, args.size, args.repeat)
        except ImportError as exc:  # the model file needs PyTorch
            print(f"{potential:>10}  skipped: {exc}")
            continue
        c = result.cij
        print(
            f"{potential:>10} {atoms:>6} {best:>9.3f} {calls:>6} {bare:>7.3f} "
            f"{bare / best:>10.2f}  {c[0, 0]:.1f} {c[0, 1]:.1f} {c[3, 3]:.1f}"
        )
    print("tensor: the whole elastic_tensor call (relaxation of cell and positions, 24")
    print("strained cells each relaxed at fixed cell, fit); target <= 2 s with Tersoff at")
    print("64 atoms. calc: the same number of bare calculator evaluations.")


if __name__ == "__main__":
    main()
