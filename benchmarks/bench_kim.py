"""The machine-learned potential in LAMMPS through its KIM portable model:
speed against our in-process calculator, MPI scaling, and energy
conservation in NVE.

- speed: time per atom-step on a rattled c-BN cell of --atoms atoms
  (default 64,000): our calculator (energy, forces, stress through ASE) and
  LAMMPS `run` with one and two MPI ranks (its "Loop time", neighbour lists
  included), measured one after the other in this run, as wall time and as
  CPU time per process (which stays meaningful on a machine busy with other
  work, where the wall-time speed-up of two ranks cannot show);
- NVE: --nve-atoms c-BN atoms (default 4,096) from 1000 K (velocities of
  2000 K, half of it going into potential energy), --nve-ps picoseconds with
  a 0.5 fs step; the drift is the slope of a straight line fitted to the
  total energy, in meV/atom/ps.

The model (default: the bundled one, or --potential FILE) is installed into
a temporary KIM user collection first. Run:

    .venv/bin/python benchmarks/bench_kim.py [--atoms 64000] [--nve-atoms 4096] [--nve-ps 10]
"""

import argparse
import os
import re
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np
from ase.build import bulk
from ase.io import write

from ferrolith import kim

SPEED_INPUT = """\
units metal
atom_style atomic
kim init {name} metal
read_data structure.lmp
kim interactions B N
thermo {steps}
run {steps}
"""

NVE_INPUT = """\
units metal
atom_style atomic
kim init {name} metal
read_data structure.lmp
kim interactions B N
velocity all create 2000 4928459 mom yes rot yes dist gaussian
timestep 0.0005
fix nve all nve
thermo 200
thermo_style custom step time temp pe etotal
thermo_modify format float %.10g
run {steps}
"""


def cbn(n_target, rattle=0.02):
    rep = max(1, round((n_target / 8) ** (1 / 3)))
    atoms = bulk("BN", "zincblende", a=3.615, cubic=True).repeat(rep)
    atoms.rattle(rattle, seed=1)
    return atoms


def lammps(directory, text, atoms, ranks=1):
    directory.mkdir(parents=True, exist_ok=True)
    write(
        directory / "structure.lmp", atoms, format="lammps-data", specorder=["B", "N"], masses=True
    )
    (directory / "in.lmp").write_text(text)
    command = ["lmp", "-in", "in.lmp", "-log", "log.lammps", "-screen", "none"]
    if ranks > 1:
        command = ["mpirun", "--allow-run-as-root", "--oversubscribe", "-np", str(ranks), *command]
    subprocess.run(command, cwd=directory, check=True)
    return (directory / "log.lammps").read_text()


def loop_time(log):
    """Wall seconds of the run, and CPU seconds per rank (wall × LAMMPS's CPU use)."""
    wall = float(re.search(r"Loop time of ([\d.eE+-]+) on", log).group(1))
    cpu_use = float(re.search(r"([\d.]+)% CPU use", log).group(1)) / 100
    return wall, wall * cpu_use


def in_process_time(model, atoms, steps):
    from ferrolith.optimization import _mlp

    atoms = atoms.copy()
    atoms.calc = _mlp.MLCalculator(model)
    atoms.get_stress()
    rng = np.random.default_rng(0)
    wall, cpu = [], []
    for _ in range(steps):
        atoms.positions += rng.normal(0, 1e-4, atoms.positions.shape)
        t, c = time.perf_counter(), time.process_time()
        atoms.get_forces()
        atoms.get_stress()
        wall.append(time.perf_counter() - t)
        cpu.append(time.process_time() - c)
    return float(np.median(wall)), float(np.median(cpu))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--potential", default="pth")
    parser.add_argument("--atoms", type=int, default=64000)
    parser.add_argument("--steps", type=int, default=10)
    parser.add_argument("--nve-atoms", type=int, default=4096)
    parser.add_argument("--nve-ps", type=float, default=10.0)
    args = parser.parse_args()

    model, _ = kim.load_potential(args.potential)
    name = "Ferrolith_MLP_benchmark"
    with tempfile.TemporaryDirectory(prefix="bench-kim-") as tmp:
        root = Path(tmp)
        dirs = {k: root / k for k in ("model-drivers", "portable-models", "simulator-models")}
        for d in dirs.values():
            d.mkdir()
        (root / "config").write_text("".join(f"{k}-dir = {d}\n" for k, d in dirs.items()))
        os.environ["KIM_API_CONFIGURATION_FILE"] = str(root / "config")
        kim.install(model, name, "user")

        if args.atoms:
            atoms = cbn(args.atoms)
            n = len(atoms)
            ours = np.array(in_process_time(model, atoms, args.steps)) / n
            text = SPEED_INPUT.format(name=name, steps=args.steps)
            per_step = args.steps * n
            one = np.array(loop_time(lammps(root / "speed1", text, atoms))) / per_step
            two = np.array(loop_time(lammps(root / "speed2", text, atoms, ranks=2))) / per_step
            print(f"speed, {n} atoms, {args.steps} steps (µs per atom-step; wall, CPU per rank):")
            print(f"  in-process calculator  {ours[0] * 1e6:8.2f} {ours[1] * 1e6:8.2f}")
            print(
                f"  LAMMPS, 1 rank         {one[0] * 1e6:8.2f} {one[1] * 1e6:8.2f}"
                f"   ({one[0] / ours[0]:.2f}x in-process wall, {one[1] / ours[1]:.2f}x CPU)"
            )
            print(
                f"  LAMMPS, 2 ranks        {two[0] * 1e6:8.2f} {two[1] * 1e6:8.2f}"
                f"   (speed-up over 1 rank {one[0] / two[0]:.2f}x wall)"
            )

        if args.nve_ps > 0:
            atoms = cbn(args.nve_atoms, rattle=0.0)
            steps = round(args.nve_ps / 0.0005)
            log = lammps(root / "nve", NVE_INPUT.format(name=name, steps=steps), atoms, ranks=2)
            rows = re.findall(
                r"^\s+(\d+)\s+([\d.eE+-]+)\s+([\d.eE+-]+)\s+(\S+)\s+(\S+)\s*$", log, re.M
            )
            data = np.array(rows, dtype=float)
            t_ps, temp, etot = data[:, 1], data[:, 2], data[:, 4]
            n = len(atoms)
            slope = np.polyfit(t_ps, etot, 1)[0] / n * 1000
            spread = (etot.max() - etot.min()) / n * 1000
            print(f"NVE, {n} atoms, {t_ps[-1]:.1f} ps, dt 0.5 fs, 2 ranks:")
            print(f"  mean temperature after 1 ps  {temp[t_ps >= 1].mean():.0f} K")
            print(f"  drift of the total energy    {slope:+.4f} meV/atom/ps")
            print(f"  total energy range           {spread:.4f} meV/atom")


if __name__ == "__main__":
    main()
