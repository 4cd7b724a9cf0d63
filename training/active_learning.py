"""Active learning of the B-C-N potential: which configurations are worth the teacher's time.

Labelling is the expensive step (the teacher needs tens of milliseconds per atom
on a CPU), so configurations are not labelled wholesale. A large pool of
unlabelled candidates is drawn, and the teacher labels those whose atomic
environments lie farthest from everything labelled so far:

    python training/active_learning.py pool            # candidates -> data/pool.extxyz
    python training/active_learning.py validate        # does novelty predict the error?
    python training/active_learning.py select --atoms 30000   # the most novel ones
    python training/label_teacher.py data/selected.extxyz data/dataset.extxyz
    python training/train.py                           # retrain on data/dataset.extxyz

The pool holds the configurations of generate_dataset.py and families that
dataset lacked: B-C-N superlattices along (001), (110) and (111), c-BC2N-type
orderings of the diamond lattice, sheared cells, and snapshots of molecular
dynamics run with the current model over alloys of many compositions (where
the model goes wrong, its own dynamics go).

Novelty of an atom: the distance, in the whitened principal components of the
model's standardised descriptor, to the nearest labelled environment of the
same element; of a configuration: the largest over its atoms. Selection is
greedy in batches: after each batch the chosen atoms count as labelled, so the
next batch is novel with respect to it too (a crude farthest-point sampling).
`validate` measures how well this ranks the current model's force errors on
held-out labelled configurations.

Held-out configurations are whole groups, chosen before any selection: the
compositions and superlattice periods of the held-out groups never appear in
training (see `held_out`). They are labelled at random, not by novelty, so
their errors measure generalisation fairly.
"""

import argparse
import itertools
import re
import sys
import time
from pathlib import Path

import numpy as np
from ase import Atoms
from ase.build import bulk, surface
from ase.io import read, write
from ase.neighborlist import neighbor_list

sys.path.insert(0, str(Path(__file__).resolve().parent))
import generate_dataset as gd

from ferrolith.optimization import _mlp

HERE = Path(__file__).resolve().parent
POOL = HERE / "data" / "pool.extxyz"
SELECTED = HERE / "data" / "selected.extxyz"
DATASET = HERE / "data" / "dataset.extxyz"
MODEL = HERE.parent / "src" / "ferrolith" / "data" / "files" / "BCN-qz-v0.0.1.pth"
A_SP3 = 3.60  # between diamond's and c-BN's lattice constants (Å)

# compositions (fraction of carbon) and superlattice periods kept for the held-out set
HELD_OUT_CARBON = [(0.33, 0.40), (0.58, 0.65)]
HELD_OUT_PERIOD = 3


# ---------------------------------------------------------------------------
# New families of candidates
# ---------------------------------------------------------------------------


def superlattice(hkl, period, a=A_SP3):
    """Blocks of `period` layers of diamond and of zincblende BN stacked along hkl.

    A layer is the smallest stoichiometric slice of zincblende along hkl: two
    atomic planes along (001), one along (110), a buckled bilayer along (111)."""
    unit = {(0, 0, 1): a / 2, (1, 1, 0): a / (2 * np.sqrt(2)), (1, 1, 1): a / np.sqrt(3)}[hkl]
    zb = bulk("BN", "zincblende", a=a, cubic=True)
    for layers in range(1, 40):
        cell = surface(zb, hkl, layers, vacuum=None, periodic=True)
        n_units = round(cell.cell[2, 2] / unit)
        # a whole number of periods, and a cell that is the bulk crystal
        # (every atom with four bonds; (111) needs whole ABC stackings)
        i = neighbor_list("i", cell, 0.5 * a)
        if n_units % (2 * period) == 0 and np.all(np.bincount(i, minlength=len(cell)) == 4):
            break
    # layer boundaries where every layer holds as many B as N atoms
    symbols = np.array(cell.get_chemical_symbols())
    z = cell.positions[:, 2]
    for start in np.unique(np.round(z, 3)):
        layer = np.floor((z - start + 1e-3) / unit).astype(int) % n_units
        if all(
            (symbols[layer == k] == "B").sum() == (symbols[layer == k] == "N").sum()
            for k in range(n_units)
        ):
            break
    block = layer // period
    symbols[block % 2 == 0] = "C"
    cell.set_chemical_symbols(list(symbols))
    cell.wrap()
    if len(cell) < 24:
        cell = cell.repeat((2, 2, 1) if len(cell) < 12 else (2, 1, 1))
    return cell


def bc2n_orderings(count, rng):
    """Decorations of the 8-atom cubic diamond cell with B2C4N2 (c-BC2N) that
    have no B-B and no N-N bonds, and 16-atom ones of a doubled cell."""
    out = []
    for rep in [(1, 1, 1), (2, 1, 1)]:
        cell = bulk("C", "diamond", a=A_SP3, cubic=True).repeat(rep)
        n = len(cell)
        i, j = np.nonzero(cell.get_all_distances(mic=True) < 0.5 * A_SP3)
        bonds = [(p, q) for p, q in zip(i, j) if p < q]
        found = []
        for _ in range(4000):
            symbols = np.array(["B"] * (n // 4) + ["C"] * (n // 2) + ["N"] * (n // 4))
            rng.shuffle(symbols)
            if any(symbols[p] == symbols[q] and symbols[p] != "C" for p, q in bonds):
                continue
            key = "".join(symbols)
            if key not in {"".join(f) for f in found}:
                found.append(symbols)
            if len(found) >= count:
                break
        for symbols in found:
            a = cell.copy()
            a.set_chemical_symbols(list(symbols))
            out.append(a)
    return out


def model_md_snapshots(atoms, calc, rng, temperature):
    """Three snapshots of Langevin dynamics with the model being trained; its
    overlapping atoms are kept (what it gets wrong is what to label)."""
    return gd.md_snapshots(
        atoms, rng, temperature, 3, 80, 120, calc=calc, friction=0.02, fixcm=True, keep_fused=True
    )


def carbon_fraction(atoms):
    return float(np.mean(np.array(atoms.get_chemical_symbols()) == "C"))


def random_alloy(parent, rng, carbon):
    """Random B-C-N on the sites of `parent`, with carbon fraction `carbon` and
    the rest shared between B and N with a random excess of either."""
    boron = (1 - carbon) * rng.uniform(0.35, 0.65)
    p = np.array([boron, carbon, 1 - carbon - boron])
    out = parent.copy()
    out.set_chemical_symbols(list(rng.choice(["B", "C", "N"], size=len(out), p=p)))
    return out


def new_families(rng, calc):
    """(config_type, group, Atoms) of the families the first dataset lacked."""
    out = []
    # superlattices: strained, rattled and hot
    for hkl in [(0, 0, 1), (1, 1, 0), (1, 1, 1)]:
        name = "sl" + "".join(map(str, hkl))
        for period in (1, 2, 3, 4):
            base = superlattice(hkl, period)
            group = f"{name}-p{period}"
            for _ in range(6):
                a = gd.strained(base, rng, 0.03)
                out.append((f"{name}-ordered", group, gd.rattled(a, rng, rng.uniform(0.01, 0.1))))
            for _ in range(3):
                a = shear(base, rng, 0.12)
                out.append((f"{name}-ordered", group, gd.rattled(a, rng, 0.03)))
            # equation of state of the ideal superlattice: stress signs
            for s in (0.96, 0.98, 1.0, 1.02, 1.04):
                out.append((f"{name}-ordered", group, scaled(base, s)))
    # c-BC2N orderings
    for k, base in enumerate(bc2n_orderings(8, rng)):
        group = f"bc2n-{k}"
        for s in (0.96, 1.0, 1.04):
            out.append(("bc2n-ordered", group, scaled(base, s)))
        for _ in range(4):
            sup = base.repeat((2, 2, 2) if len(base) == 8 else (1, 2, 2))
            a = gd.strained(sup, rng, 0.03)
            out.append(("bc2n-ordered", group, gd.rattled(a, rng, rng.uniform(0.02, 0.12))))
        out.append(("bc2n-sheared", group, gd.rattled(shear(base.repeat(2), rng, 0.15), rng, 0.03)))
    # sheared sp3 crystals
    for k, base in enumerate(
        [bulk("C", "diamond", a=3.567, cubic=True), bulk("BN", "zincblende", a=3.615, cubic=True)]
    ):
        for m in range(12):
            a = shear(base.repeat(2), rng, 0.2)
            out.append(("crystal-sheared", f"sheared-{k}-{m}", gd.rattled(a, rng, 0.04)))
    return out + model_md(rng, calc, "model-md")


def model_md(rng, calc, tag):
    """Snapshots of molecular dynamics with the model `calc` of random alloys
    at many compositions and temperatures, and of ordered phases."""
    out = []
    parent = bulk("BN", "zincblende", a=A_SP3, cubic=True).repeat(2)
    wurtzite = bulk("BN", "wurtzite", a=2.55, c=4.21).repeat((2, 2, 2))
    for k in range(48):
        carbon = rng.uniform(0.05, 0.95)
        base = random_alloy(parent if k % 4 else wurtzite, rng, carbon)
        temperature = rng.uniform(300.0, 1800.0)
        snaps = model_md_snapshots(gd.strained(base, rng, 0.02), calc, rng, temperature)
        for snap in snaps or []:
            out.append((f"alloy-{tag}", f"{tag}-{k}", snap))
    ordered = [superlattice(h, p) for h in [(0, 0, 1), (1, 1, 1)] for p in (1, 2)]
    ordered += [b.repeat(2) for b in bc2n_orderings(2, rng)[:2]]
    for k, base in enumerate(ordered):
        snaps = model_md_snapshots(base, calc, rng, rng.uniform(600.0, 1800.0))
        for snap in snaps or []:
            out.append((f"ordered-{tag}", f"ordered-{tag}-{k}", snap))
    return out


def targeted(rng, calc, tag):
    """The families the model was worst at, and the cells that fix the
    properties users compute with it: molecular dynamics of random alloys,
    vacancies in alloys and in ordered phases, ordered superlattices and
    c-BC2N near zero pressure, and strained, slightly rattled cubic cells of
    diamond, c-BN and c-BC2N (their elastic constants, with the forces of the
    internal relaxation under shear) on a fine equation of state (their
    lattice constants)."""
    out = model_md(rng, calc, tag)
    parent = bulk("BN", "zincblende", a=A_SP3, cubic=True).repeat(2)
    for k in range(40):
        base = random_alloy(parent, rng, rng.uniform(0.05, 0.95))
        a = gd.with_vacancies(gd.strained(base, rng, 0.02), rng)
        out.append((f"alloy-vacancy-{tag}", f"{tag}-vac-{k}", gd.rattled(a, rng, 0.05)))
    ordered = [
        (f"sl{''.join(map(str, h))}", h, p)
        for h in [(0, 0, 1), (1, 1, 0), (1, 1, 1)]
        for p in (1, 2, 3, 4)
    ]
    for name, hkl, period in ordered:
        base = superlattice(hkl, period)
        group = f"{name}-p{period}"
        for s in (0.985, 0.995, 1.005, 1.015):
            out.append((f"{name}-ordered", group, gd.rattled(scaled(base, s), rng, 0.02)))
        out.append((f"{name}-ordered", group, gd.rattled(gd.with_vacancies(base, rng), rng, 0.03)))
    for k, base in enumerate(bc2n_orderings(12, rng)):
        group = f"bc2n-{k}"
        for s in (0.985, 0.995, 1.005, 1.015):
            out.append(("bc2n-ordered", group, gd.rattled(scaled(base, s), rng, 0.01)))
        sup = base.repeat((2, 1, 1) if len(base) == 8 else (1, 1, 1))
        out.append(("bc2n-vacancy", group, gd.rattled(gd.with_vacancies(sup, rng), rng, 0.03)))
    crystals = {
        "diamond": bulk("C", "diamond", a=3.567, cubic=True),
        "cbn": bulk("BN", "zincblende", a=3.615, cubic=True),
        "bc2n": bc2n_orderings(1, np.random.default_rng(5))[0],
    }
    for name, base in crystals.items():
        for m, s in enumerate(np.linspace(0.97, 1.03, 13)):
            out.append((f"{name}-eos", f"{name}-fine-eos-{m}", scaled(base, s)))
        for m in range(36):
            eps = np.zeros((3, 3))
            i, j = (m % 6, m % 6) if m % 6 < 3 else [(1, 2), (0, 2), (0, 1)][m % 6 - 3]
            eps[i, j] = eps[j, i] = (-1, -0.5, 0.5, 1, -1.5, 1.5)[m // 6] * 0.01
            a = base.copy()
            a.set_cell(base.cell @ (np.eye(3) + eps), scale_atoms=True)
            out.append((f"{name}-strained", f"{name}-elastic-{m}", gd.rattled(a, rng, 0.015)))
    return out


def scaled(atoms, factor):
    """A copy with the cell and positions scaled by `factor`."""
    out = atoms.copy()
    out.set_cell(atoms.cell * factor, scale_atoms=True)
    return out


def shear(atoms, rng, amplitude):
    """A copy under a random pure shear of up to `amplitude` (off-diagonal strain)."""
    eps = np.zeros((3, 3))
    i, j = rng.choice(3, 2, replace=False)
    eps[i, j] = eps[j, i] = rng.uniform(-amplitude, amplitude)
    out = atoms.copy()
    out.set_cell(atoms.cell @ (np.eye(3) + eps), scale_atoms=True)
    return out


def held_out(kind, group, atoms):
    """Whether a candidate belongs to the held-out groups."""
    if kind.startswith("sl"):
        return group.endswith(f"-p{HELD_OUT_PERIOD}")
    if kind.startswith("bc2n"):
        return group in ("bc2n-1", "bc2n-9")
    if "model-md" in kind or kind.startswith("alloy"):
        x = carbon_fraction(atoms)
        return any(lo <= x < hi for lo, hi in HELD_OUT_CARBON)
    # the phases of the first dataset: every tenth group (whole MD runs)
    return hash_group(group) % 10 == 0


def hash_group(group):
    return sum(ord(c) * (k + 1) for k, c in enumerate(group))


# ---------------------------------------------------------------------------
# Pool
# ---------------------------------------------------------------------------


def build_pool(args):
    """Round 1: the recipe of generate_dataset.py and the new families. Later
    rounds (`--round N --model M`): molecular dynamics with model M only, with
    pool indices from N * 100000 on."""
    rng = np.random.default_rng(args.seed + 1000 * args.round)
    calc = _mlp.load_ml_calculator(args.model)
    frames = []
    t0 = time.perf_counter()
    if args.round == 1:
        for k, (kind, atoms) in enumerate(gd.configurations()):
            group = str(atoms.info.get("group", f"config-{k}"))
            frames.append((kind, group, atoms))
        frames += new_families(rng, calc)
    elif args.targeted:
        frames += targeted(rng, calc, f"model{args.round}-md")
    else:
        frames += model_md(rng, calc, f"model{args.round}-md")
    print(f"candidates drawn in {time.perf_counter() - t0:.0f} s")
    first = 0 if args.round == 1 else 100000 * args.round
    out = []
    for index, (kind, group, atoms) in enumerate(frames, start=first):
        a = Atoms(atoms.get_chemical_symbols(), atoms.positions, cell=atoms.cell, pbc=atoms.pbc)
        a.info.update(
            config_type=kind,
            group=group,
            pool_index=index,
            holdout=bool(held_out(kind, group, a)),
        )
        out.append(a)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    write(args.output, out, format="extxyz")
    n_held = sum(a.info["holdout"] for a in out)
    print(
        f"{len(out)} candidates ({sum(len(a) for a in out)} atoms), {n_held} in held-out groups; "
        f"written to {args.output}"
    )


# ---------------------------------------------------------------------------
# Novelty
# ---------------------------------------------------------------------------


class Novelty:
    """Distances of atomic environments to the labelled ones, per element."""

    def __init__(self, model, frames, components=24):
        self.descriptor = model.descriptor()
        self.elements = model.elements
        desc, species = self.environments(frames)
        self.mean, self.basis = [], []
        for e in range(len(self.elements)):
            x = desc[species == e]
            mu, sd = x.mean(0), x.std(0) + 1e-8
            z = (x - mu) / sd
            _, s, vt = np.linalg.svd(z[:: max(1, len(z) // 20000)], full_matrices=False)
            # whitened principal components: every direction weighs the same
            n = len(s) // 2 if len(s) < components else components
            self.mean.append((mu, sd))
            self.basis.append(vt[:n].T / (s[:n] / np.sqrt(len(z))))
        self.reference = [np.zeros((0, b.shape[1])) for b in self.basis]

    def environments(self, frames):
        desc = [self.descriptor.compute(a) for a in frames]
        species = [np.array([self.elements.index(s) for s in a.symbols]) for a in frames]
        return np.concatenate(desc), np.concatenate(species)

    def project(self, frames):
        desc, species = self.environments(frames)
        z = np.zeros((len(desc), self.basis[0].shape[1]))
        for e in range(len(self.elements)):
            mu, sd = self.mean[e]
            pick = species == e
            z[pick] = ((desc[pick] - mu) / sd) @ self.basis[e]
        return z, species

    def add(self, z, species):
        for e in range(len(self.elements)):
            self.reference[e] = np.vstack([self.reference[e], z[species == e]])

    def atom_novelty(self, z, species):
        return nearest_distances(z, species, self.reference)


def nearest_distances(z, species, reference):
    """Distance of each atom to the nearest environment of its element in
    `reference` (one array per element); inf where that array is empty."""
    out = np.full(len(z), np.inf)
    for e, ref in enumerate(reference):
        pick = species == e
        if not pick.any() or not len(ref):
            continue
        q = z[pick]
        best = np.full(len(q), np.inf)
        rr = (ref**2).sum(1)
        for lo in range(0, len(q), 4096):
            block = q[lo : lo + 4096]
            d2 = (block**2).sum(1)[:, None] + rr[None, :] - 2 * block @ ref.T
            best[lo : lo + 4096] = d2.min(1)
        out[pick] = np.sqrt(np.maximum(best, 0.0))
    return out


def projected(novelty, frames):
    zs = []
    for a in frames:
        z, sp = novelty.project([a])
        zs.append((z, sp))
    return zs


def config_scores(novelty, zs):
    return np.array([novelty.atom_novelty(z, sp).max() for z, sp in zs])


# ---------------------------------------------------------------------------
# Commands
# ---------------------------------------------------------------------------


def labelled_frames(path):
    """The labelled configurations; those of generate_dataset.py carry their
    index in its recipe, which is their index in the pool."""
    if not path.exists():
        return []
    frames = read(path, ":")
    for f in frames:
        if "pool_index" not in f.info:
            k = f.info["config_index"]
            f.info["pool_index"] = k
            f.info.setdefault("group", f"config-{k}")
        if "holdout" not in f.info:
            f.info["holdout"] = bool(held_out(f.info["config_type"], str(f.info["group"]), f))
    return frames


def validate(args):
    """Rank correlation between novelty and a model's force error on labelled
    configurations it was not trained on. The novelty is measured against
    the configurations the model was trained on: for the first model, the
    recipe of generate_dataset.py (`--reference recipe`; it held out a tenth
    of it); for later ones, the training part of the labelled data."""
    from scipy.stats import spearmanr

    model = _mlp.load_model(args.model)
    calc = _mlp.MLCalculator(model)
    frames = labelled_frames(args.data)
    if args.reference == "recipe":
        reference = [a for _, a in gd.configurations()]
        test = [f for f in frames if f.info["pool_index"] >= len(reference)]
    else:
        reference = [f for f in frames if not f.info["holdout"]]
        test = [f for f in frames if f.info["holdout"]]
    if not test:
        sys.exit("no labelled configurations to validate on")
    novelty = Novelty(model, reference)
    novelty.add(*novelty.project(reference))
    scores = config_scores(novelty, projected(novelty, test))
    errors = []
    for f in test:
        a = f.copy()
        a.calc = calc
        errors.append(np.abs(a.get_forces() - f.get_forces()).mean())
    errors = np.array(errors)
    rho = spearmanr(scores, errors).statistic
    top = np.argsort(scores)[::-1][: max(1, len(test) // 5)]
    low = np.argsort(scores)[: max(1, len(test) // 5)]
    print(
        f"{len(test)} configurations: Spearman rank correlation of novelty and force MAE "
        f"{rho:.2f}; force MAE of the most novel fifth {errors[top].mean():.3f} eV/Å, "
        f"of the least novel fifth {errors[low].mean():.3f} eV/Å, of all {errors.mean():.3f} eV/Å"
    )


def select(args):
    pool = read(args.pool, ":")
    frames = labelled_frames(args.data)
    done = {f.info.get("pool_index") for f in frames}
    model = _mlp.load_model(args.model)
    rng = np.random.default_rng(args.seed)
    candidates = [a for a in pool if a.info["pool_index"] not in done]
    # held-out share: drawn at random from the held-out groups
    held = [a for a in candidates if a.info["holdout"]]
    train_pool = [a for a in candidates if not a.info["holdout"]]
    held_atoms = sum(len(f) for f in frames if f.info.get("holdout"))
    # every kind of configuration in turn, so that small families are held out too
    by_kind = {}
    for k in rng.permutation(len(held)):
        by_kind.setdefault(held[k].info["config_type"], []).append(held[k])
    interleaved = [a for row in itertools.zip_longest(*by_kind.values()) for a in row if a]
    chosen_held = []
    for a in interleaved:
        if held_atoms >= args.holdout * args.atoms:
            break
        chosen_held.append(a)
        held_atoms += len(a)
    # training share: greedy by novelty
    train_frames = [f for f in frames if not f.info.get("holdout")]
    novelty = Novelty(model, train_frames + train_pool[:: max(1, len(train_pool) // 2000)])
    if train_frames:
        novelty.add(*novelty.project(train_frames))
    zs = projected(novelty, train_pool)
    # per-atom distance to the nearest labelled environment, updated as
    # configurations are chosen (only the new reference atoms are compared)
    z_all = np.concatenate([z for z, _ in zs])
    sp_all = np.concatenate([sp for _, sp in zs])
    owner = np.repeat(np.arange(len(zs)), [len(z) for z, _ in zs])
    best = novelty.atom_novelty(z_all, sp_all)
    budget = args.atoms * (1 - args.holdout)
    chosen, used = [], 0
    available = np.ones(len(zs), bool)
    while used < budget and available.any():
        scores = np.full(len(zs), -np.inf)
        np.maximum.at(scores, owner, best)
        scores[~available] = -np.inf
        batch = []
        for k in np.argsort(scores)[::-1][: args.batch]:
            if used >= budget or scores[k] == -np.inf:
                break
            chosen.append(train_pool[k])
            available[k] = False
            batch.append(zs[k])
            used += len(train_pool[k])
        if batch:
            reference = [
                np.vstack([z[sp == e] for z, sp in batch]) for e in range(len(novelty.elements))
            ]
            best = np.minimum(best, nearest_distances(z_all, sp_all, reference))
        print(
            f"selected {len(chosen)} configurations ({used} atoms); novelty now {scores.max():.2f}"
        )
    # anchors: the equations of state and the strained ideal crystals fix
    # lattice constants and elastic constants, and cost little to label
    picked = {a.info["pool_index"] for a in chosen}
    anchors = [
        a
        for a in train_pool
        if re.search(args.anchor, a.info["config_type"]) and a.info["pool_index"] not in picked
    ]
    todo = chosen_held + chosen + anchors
    kinds = {}
    for a in todo:
        kinds[a.info["config_type"]] = kinds.get(a.info["config_type"], 0) + 1
    print(f"selected {len(todo)} configurations ({sum(len(a) for a in todo)} atoms):", kinds)
    write(args.output, todo, format="extxyz")
    print(f"written to {args.output}; label them with training/label_teacher.py")


def unlabelled(args):
    """Every candidate of the pools outside the held-out groups that no
    labelled file holds yet (matched by pool index): once novelty has chosen
    the first rounds, the rest of a pool is worth its labels too."""
    done = {f.info["pool_index"] for path in args.data for f in labelled_frames(path)}
    todo = [
        a
        for path in args.pool
        for a in read(path, ":")
        if a.info["pool_index"] not in done and not a.info.get("holdout")
    ]
    write(args.output, todo, format="extxyz")
    print(
        f"{len(todo)} configurations ({sum(len(a) for a in todo)} atoms) written to {args.output}"
    )


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("pool", help="draw the candidate pool")
    p.add_argument("--round", type=int, default=1)
    p.add_argument("--model", type=Path, default=MODEL, help="the model that runs the dynamics")
    p.add_argument("--seed", type=int, default=20261208)
    p.add_argument(
        "--targeted",
        action="store_true",
        help="later rounds: the worst families and the property cells beside the dynamics",
    )
    p.add_argument("-o", "--output", type=Path, default=POOL)
    for name in ("validate", "select"):
        p = sub.add_parser(name)
        p.add_argument("--model", type=Path, default=MODEL)
        p.add_argument("--data", type=Path, default=DATASET, help="the labelled configurations")
        if name == "validate":
            p.add_argument("--reference", choices=["recipe", "training"], default="training")
    p.add_argument("--atoms", type=int, default=20000, help="atoms to label in this round")
    p.add_argument("--holdout", type=float, default=0.15, help="share of held-out atoms")
    p.add_argument("--batch", type=int, default=25, help="configurations per greedy step")
    p.add_argument("--seed", type=int, default=11)
    p.add_argument(
        "--anchor",
        default=r"-eos$|^(diamond|cbn)-strained$",
        help="configuration kinds always labelled (regular expression)",
    )
    p.add_argument("-o", "--output", type=Path, default=SELECTED)
    p.add_argument("--pool", type=Path, default=POOL)
    p = sub.add_parser("unlabelled", help="the rest of the pools, outside the held-out groups")
    p.add_argument("--pool", type=Path, nargs="+", default=[POOL])
    p.add_argument("--data", type=Path, nargs="+", default=[DATASET], help="labelled files")
    p.add_argument("-o", "--output", type=Path, required=True)
    args = parser.parse_args(argv)
    if args.command == "pool":
        build_pool(args)
    elif args.command == "unlabelled":
        unlabelled(args)
    elif args.command == "validate":
        validate(args)
    else:
        select(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
