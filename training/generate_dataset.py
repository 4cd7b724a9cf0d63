"""The configurations of the first model's data set, and their labels by CHGNet.

`configurations()` is the recipe of that data set (crystals, their equations
of state, strained, hot and defective cells, molecular dynamics, B-C-N
alloys); active_learning.py draws its pool from it. Run alone, the script
labels the whole recipe with CHGNet 0.3.0, the teacher of the first model:

    pip install chgnet
    python training/generate_dataset.py            # writes training/data/dataset-chgnet.extxyz

The configurations are drawn from a fixed seed, so a rerun labels the same
structures. Labels already in the output file are reused for configurations
that are unchanged (same index, elements, positions and cell), so an
interrupted run resumes and an edited recipe relabels only what it changed.
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np
from ase import Atoms
from ase.build import bulk, graphene
from ase.io import read, write

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import label_teacher  # noqa: E402

DEFAULT_OUTPUT = HERE / "data" / "dataset-chgnet.extxyz"


# ---------------------------------------------------------------------------
# Crystalline phases
# ---------------------------------------------------------------------------


def _layered(a, c, frac, symbols):
    cell = [[a, 0, 0], [-a / 2, a * np.sqrt(3) / 2, 0], [0, 0, c]]
    return Atoms(symbols, scaled_positions=frac, cell=cell, pbc=True)


def phases():
    """name -> (primitive cell, supercell repetition, lattice kind)."""
    graphite = _layered(
        2.464, 6.71, [[0, 0, 0.25], [1 / 3, 2 / 3, 0.25], [0, 0, 0.75], [2 / 3, 1 / 3, 0.75]], "C4"
    )
    hbn = _layered(
        2.504,
        6.66,
        [[0, 0, 0.25], [1 / 3, 2 / 3, 0.25], [0, 0, 0.75], [1 / 3, 2 / 3, 0.75]],
        "BNNB",
    )
    gr = graphene("C2", a=2.464, vacuum=6.0)
    hbn_mono = graphene("BN", a=2.504, vacuum=6.0)
    for mono in (gr, hbn_mono):
        mono.pbc = True
    return {
        "diamond": (bulk("C", "diamond", a=3.567), (2, 2, 2), "cubic"),
        "cbn": (bulk("BN", "zincblende", a=3.615), (2, 2, 2), "cubic"),
        "lonsdaleite": (bulk("CC", "wurtzite", a=2.51, c=4.18), (2, 2, 1), "cubic"),
        "wbn": (bulk("BN", "wurtzite", a=2.55, c=4.21), (2, 2, 1), "cubic"),
        "graphite": (graphite, (2, 2, 1), "layered"),
        "hbn": (hbn, (2, 2, 1), "layered"),
        "graphene": (gr, (3, 3, 1), "layered"),
        "hbn-monolayer": (hbn_mono, (3, 3, 1), "layered"),
    }


# ---------------------------------------------------------------------------
# Perturbations
# ---------------------------------------------------------------------------


def strained(atoms, rng, amplitude):
    eps = rng.uniform(-amplitude, amplitude, (3, 3))
    eps = 0.5 * (eps + eps.T)
    if not atoms.pbc.all() or atoms.cell.lengths()[2] > 9.0:
        eps[2, :] = eps[:, 2] = 0.0  # keep the vacuum of monolayers unstrained
    out = atoms.copy()
    out.set_cell(atoms.cell @ (np.eye(3) + eps), scale_atoms=True)
    return out


def with_vacancies(atoms, rng):
    """A copy without one or two randomly chosen atoms."""
    out = atoms.copy()
    del out[rng.choice(len(out), size=rng.integers(1, 3), replace=False)]
    return out


def rattled(atoms, rng, sigma):
    out = atoms.copy()
    out.positions += rng.normal(0.0, sigma, out.positions.shape)
    return out


def alloyed(atoms, rng, fraction_c, ordered):
    """Replaces sites with B, C, N: on an ordered lattice B and N keep their sublattices."""
    out = atoms.copy()
    n = len(out)
    if ordered:
        # two sublattices: sites that are B in the BN parent stay B or become C, etc.
        symbols = np.array(out.get_chemical_symbols())
        swap = rng.random(n) < fraction_c
        symbols[swap] = "C"
    else:
        weights = np.array([(1 - fraction_c) / 2, fraction_c, (1 - fraction_c) / 2])
        symbols = rng.choice(["B", "C", "N"], size=n, p=weights)
    out.set_chemical_symbols(list(symbols))
    return out


def configurations(seed=20240607):
    """The full list of (config_type, Atoms), drawn from one seed."""
    rng = np.random.default_rng(seed)
    table = phases()
    configs = []
    for name, (prim, rep, _) in table.items():
        # equations of state: homogeneous scaling of the ideal primitive cell
        for s in np.linspace(0.92, 1.08, 11):
            a = prim.copy()
            layered = a.cell.lengths()[2] > 9.0
            m = np.diag([s, s, 1.0 if layered else s])
            a.set_cell(a.cell @ m, scale_atoms=True)
            configs.append((f"{name}-eos", a))
        sup = prim.repeat(rep)
        for _ in range(28):
            a = strained(sup, rng, 0.04)
            configs.append((f"{name}-strained", rattled(a, rng, rng.uniform(0.01, 0.12))))
        for _ in range(10):
            a = with_vacancies(sup, rng)
            a = strained(a, rng, 0.02)
            configs.append((f"{name}-vacancy", rattled(a, rng, rng.uniform(0.02, 0.1))))
        for _ in range(10):
            # snapshots of a hot crystal: rms thermal displacements of 0.04-0.12 Å
            # per direction, about 500 K to 3000 K in diamond
            a = strained(sup, rng, 0.02)
            configs.append((f"{name}-hot", rattled(a, rng, rng.uniform(0.04, 0.12))))
    # B-C-N alloys on the sp3 and sp2 lattices
    parents = [
        ("cubic", table["cbn"][0].repeat((2, 2, 2))),
        ("wurtzite", table["wbn"][0].repeat((2, 2, 1))),
        ("layered", table["hbn"][0].repeat((2, 2, 1))),
        ("sheet", table["hbn-monolayer"][0].repeat((3, 3, 1))),
    ]
    for lattice, parent in parents:
        for k in range(45):
            fraction_c = rng.uniform(0.15, 0.85)
            a = alloyed(parent, rng, fraction_c, ordered=(k % 3 != 0))
            a = strained(a, rng, 0.03)
            configs.append((f"alloy-{lattice}", rattled(a, rng, rng.uniform(0.01, 0.15))))
    # a second round with its own stream (so the configurations above stay as
    # they were): more alloys and vacancies, the most varied environments
    rng = np.random.default_rng(seed + 1)
    for lattice, parent in parents:
        for k in range(55):
            a = alloyed(parent, rng, rng.uniform(0.1, 0.9), ordered=(k % 3 != 0))
            a = strained(a, rng, 0.03)
            configs.append((f"alloy-{lattice}", rattled(a, rng, rng.uniform(0.01, 0.1))))
    for name, (prim, rep, _) in table.items():
        sup = prim.repeat(rep)
        for _ in range(6):
            a = with_vacancies(alloyed(sup, rng, rng.uniform(0.5, 1.0), ordered=True), rng)
            a = strained(a, rng, 0.02)
            configs.append((f"{name}-vacancy", rattled(a, rng, rng.uniform(0.02, 0.08))))
    # a third round: alloys are the most varied environments of all
    rng = np.random.default_rng(seed + 2)
    for lattice, parent in parents:
        for k in range(100):
            a = alloyed(parent, rng, rng.uniform(0.1, 0.9), ordered=(k % 2 == 0))
            a = strained(a, rng, 0.03)
            configs.append((f"alloy-{lattice}", rattled(a, rng, rng.uniform(0.01, 0.08))))
    # a fourth round: thermal snapshots from molecular dynamics, and more
    # alloys, with and without vacancies. Configurations from here on carry
    # batch 1, so that the split between training and held-out sets of the
    # rounds above stays as it was.
    rng = np.random.default_rng(seed + 3)
    first = len(configs)
    runs = [(name, sup_of(table, name), name in ("graphite", "hbn"), 10) for name in table]
    runs += [(f"alloy-{lattice}", parent, lattice == "layered", 36) for lattice, parent in parents]
    group = add_md_runs(configs, runs, rng, divisor=1, group=0)
    add_alloys(configs, parents, rng, count=100, max_rattle=0.1)
    # a fifth round, as large again: the environments models find hardest
    rng = np.random.default_rng(seed + 4)
    add_md_runs(configs, runs, rng, divisor=2, group=group)
    for name in table:
        sup = sup_of(table, name)
        for _ in range(12):
            a = strained(sup, rng, 0.04)
            configs.append((f"{name}-strained", rattled(a, rng, rng.uniform(0.01, 0.12))))
        for _ in range(12):
            a = strained(sup, rng, 0.02)
            configs.append((f"{name}-hot", rattled(a, rng, rng.uniform(0.04, 0.12))))
        for _ in range(12):
            a = with_vacancies(sup, rng)
            a = strained(a, rng, 0.02)
            configs.append((f"{name}-vacancy", rattled(a, rng, rng.uniform(0.02, 0.1))))
    add_alloys(configs, parents, rng, count=150, max_rattle=0.12)
    for _, a in configs[first:]:
        a.info["batch"] = 1
    return configs


def add_md_runs(configs, runs, rng, divisor, group):
    """Three snapshots of each of `count // divisor` MD runs per entry of
    `runs`; the snapshots of one run share a group. Returns the next group."""
    for kind, parent, layered, count in runs:
        for k in range(count // divisor):
            a = parent
            if kind.startswith("alloy"):
                a = alloyed(a, rng, rng.uniform(0.1, 0.9), ordered=(k % 2 == 0))
            if rng.random() < 0.3:
                a = with_vacancies(a, rng)
            a = strained(a, rng, 0.02)
            # no interlayer binding in the sampling potential: keep layered
            # crystals cooler and the runs short, so the layers stay stacked
            temperature = rng.uniform(300.0, 1500.0 if layered else 3000.0)
            snaps = md_snapshots(a, rng, temperature, snapshots=3)
            if snaps is None:  # the sampler fused atoms: skip the run
                continue
            for snap in snaps:
                snap.info["group"] = f"md-{group}"
                configs.append((f"{kind}-md", snap))
            group += 1
    return group


def add_alloys(configs, parents, rng, count, max_rattle):
    """`count` strained and rattled random alloys per parent lattice, ordered
    and disordered in turn, every fifth with one or two vacancies."""
    for lattice, parent in parents:
        for k in range(count):
            a = alloyed(parent, rng, rng.uniform(0.1, 0.9), ordered=(k % 2 == 0))
            if k % 5 == 4:
                a = with_vacancies(a, rng)
            a = strained(a, rng, 0.03)
            configs.append((f"alloy-{lattice}", rattled(a, rng, rng.uniform(0.01, max_rattle))))


def sup_of(table, name):
    prim, rep, _ = table[name]
    return prim.repeat(rep)


def md_snapshots(
    atoms,
    rng,
    temperature,
    snapshots,
    interval=100,
    warmup=150,
    calc=None,
    friction=0.05,
    fixcm=False,
    keep_fused=False,
):
    """Snapshots of Langevin dynamics (1 fs steps), by default with the bundled
    Tersoff potential, which is fast and independent of the model being
    trained. Returns None when atoms fuse (closer than 1 Å, or overlapping),
    a failure of the sampler; with `keep_fused` (dynamics of the model being
    trained, whose failures are what active learning looks for) the snapshots
    taken before an overlap are kept instead."""
    from ase import units
    from ase.md.langevin import Langevin
    from ase.md.velocitydistribution import MaxwellBoltzmannDistribution
    from ase.neighborlist import neighbor_list

    from ferrolith.optimization import get_calculator

    a = atoms.copy()
    a.calc = calc or get_calculator(Path(files_folder()) / "BNC.tersoff")
    MaxwellBoltzmannDistribution(a, temperature_K=temperature, rng=rng)
    dyn = Langevin(a, units.fs, temperature_K=temperature, friction=friction, fixcm=fixcm, rng=rng)
    out = []
    try:
        dyn.run(warmup)
        for _ in range(snapshots):
            dyn.run(interval)
            if not keep_fused and neighbor_list("d", a, 1.0).size:
                return None
            out.append(Atoms(a.get_chemical_symbols(), a.positions, cell=a.cell, pbc=a.pbc))
    except ValueError:  # overlapping atoms
        return (out or None) if keep_fused else None
    return out


def files_folder():
    import ferrolith.data.files as files

    return Path(files.__file__).parent


# ---------------------------------------------------------------------------
# Labelling
# ---------------------------------------------------------------------------


def same_structure(frame, atoms):
    return (
        len(frame) == len(atoms)
        and (frame.numbers == atoms.numbers).all()
        and np.allclose(frame.positions, atoms.positions, atol=1e-6)
        and np.allclose(frame.cell.array, atoms.cell.array, atol=1e-6)
    )


def save(path, configs, labelled):
    """Writes every labelled configuration in order, tagged with its index."""
    frames = []
    for k, frame in enumerate(labelled):
        if frame is not None:
            frame.info["config_type"] = configs[k][0]
            frame.info["config_index"] = k
            frames.append(frame)
    tmp = path.with_suffix(".tmp")
    write(tmp, frames, format="extxyz")
    tmp.replace(path)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", "--output", type=Path, default=DEFAULT_OUTPUT)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--chunk", type=int, default=16)
    parser.add_argument("--limit", type=int, default=None, help="label only the first N")
    args = parser.parse_args(argv)

    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    configs = configurations()
    if args.limit is not None:
        configs = configs[: args.limit]
    args.output.parent.mkdir(parents=True, exist_ok=True)
    previous = read(args.output, ":") if args.output.exists() else []
    labelled = [None] * len(configs)
    for pos, frame in enumerate(previous):
        k = frame.info.get("config_index", pos)
        if k < len(configs) and same_structure(frame, configs[k][1]):
            frame.info["config_type"] = configs[k][0]
            labelled[k] = frame
    todo = [k for k, frame in enumerate(labelled) if frame is None]
    print(
        f"{len(configs)} configurations, {sum(len(a) for _, a in configs)} atoms; "
        f"{len(configs) - len(todo)} already labelled"
    )
    if todo:
        calc = label_teacher.calculator("chgnet")
    start = time.perf_counter()
    labelled_atoms = 0
    for lo in range(0, len(todo), args.chunk):
        chunk = todo[lo : lo + args.chunk]
        frames = label_teacher.label([configs[k][1] for k in chunk], calc)
        for k, frame in zip(chunk, frames):
            labelled[k] = frame
        labelled_atoms += sum(len(a) for a in frames)
        elapsed = time.perf_counter() - start
        print(
            f"{lo + len(chunk):5d}/{len(todo)} labelled, {elapsed:7.1f} s, "
            f"{1e3 * elapsed / labelled_atoms:.1f} ms/atom",
            flush=True,
        )
        save(args.output, configs, labelled)
    if not todo:
        save(args.output, configs, labelled)
    return 0


if __name__ == "__main__":
    sys.exit(main())
