"""Stability of the machine-learned B-C-N potential in molecular dynamics.

A 216-atom random B0.25C0.5N0.25 alloy on the zincblende lattice runs NVT
(Langevin, 1 fs) at 1500 K for 10 ps, then NVE (velocity Verlet, 0.5 fs) from
its last state. Printed: the shortest interatomic distance seen (it must stay
above 1.0 Å: no collapse), the largest displacement per ps and the volume
(no explosion; the cell is fixed, so the pressure tells), and the NVE energy
drift per atom and ps from a linear fit (it must stay under 1 meV/atom/ps).

    .venv/bin/python benchmarks/ml_stability.py [--nvt-ps 10] [--nve-ps 2]
"""

import argparse
import time
from pathlib import Path

import numpy as np
from ase import units
from ase.build import bulk
from ase.md.langevin import Langevin
from ase.md.velocitydistribution import MaxwellBoltzmannDistribution
from ase.md.verlet import VelocityVerlet
from ase.neighborlist import neighbor_list

import ferrolith.data.files as files
from ferrolith.optimization import _mlp

MODEL = Path(files.__file__).parent / "BCN-qz-v0.0.1.pth"


def alloy(seed):
    """216 sites of zincblende (3x3x3 conventional cells), half carbon, a
    quarter each boron and nitrogen, at random."""
    rng = np.random.default_rng(seed)
    atoms = bulk("BN", "zincblende", a=3.60, cubic=True).repeat(3)
    symbols = np.array(["B"] * 54 + ["C"] * 108 + ["N"] * 54)
    rng.shuffle(symbols)
    atoms.set_chemical_symbols(list(symbols))
    return atoms, rng


def shortest_distance(atoms):
    d = neighbor_list("d", atoms, 1.5)
    return float(d.min()) if len(d) else 1.5


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nvt-ps", type=float, default=10.0)
    parser.add_argument("--nve-ps", type=float, default=2.0)
    parser.add_argument("--temperature", type=float, default=1500.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--model", type=Path, default=MODEL)
    args = parser.parse_args()

    atoms, rng = alloy(args.seed)
    atoms.calc = _mlp.load_ml_calculator(args.model)
    MaxwellBoltzmannDistribution(atoms, temperature_K=args.temperature, rng=rng)
    nvt = Langevin(atoms, 1.0 * units.fs, temperature_K=args.temperature, friction=0.02, rng=rng)
    closest, start, temperatures = np.inf, time.perf_counter(), []
    steps = round(args.nvt_ps * 1000)
    for block in range(steps // 100):
        nvt.run(100)
        closest = min(closest, shortest_distance(atoms))
        temperatures.append(atoms.get_temperature())
        if (block + 1) % 10 == 0:
            print(
                f"NVT {(block + 1) * 0.1:5.1f} ps: T {atoms.get_temperature():6.0f} K, "
                f"pressure {-atoms.get_stress()[:3].mean() / units.GPa:6.1f} GPa, "
                f"shortest distance so far {closest:.3f} Å "
                f"({time.perf_counter() - start:.0f} s)",
                flush=True,
            )
    per_step = (time.perf_counter() - start) / steps / len(atoms)

    nve = VelocityVerlet(atoms, 0.5 * units.fs)
    times, energies = [], []

    def record():
        times.append(nve.get_time() / (1000 * units.fs))
        energies.append(atoms.get_total_energy() / len(atoms))

    nve.attach(record, interval=20)
    nve.run(round(args.nve_ps * 2000))
    closest = min(closest, shortest_distance(atoms))
    slope = np.polyfit(times, energies, 1)[0]
    spread = np.ptp(energies)
    settled = np.mean(temperatures[len(temperatures) // 2 :])
    print(f"NVT mean temperature over the last half: {settled:.0f} K")
    print(f"shortest distance over the run: {closest:.3f} Å (must stay above 1.0 Å)")
    print(
        f"NVE {args.nve_ps:g} ps at {atoms.get_temperature():.0f} K: energy drift "
        f"{1e3 * slope:+.3f} meV/atom/ps (limit 1), fluctuation {1e3 * spread:.2f} meV/atom"
    )
    print(f"NVT cost: {1e6 * per_step:.1f} µs per atom-step with ASE's Langevin")


if __name__ == "__main__":
    main()
