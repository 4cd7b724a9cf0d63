"""Trains the B-C-N machine-learned potential on the teacher's labels.

    python training/generate_dataset.py     # once: labels configurations
    python training/train.py                 # trains, evaluates, writes the model

Descriptors, their gradients and their tangents come from ferrolith's own C++
kernels (``ferrolith.optimization._mlp.Descriptor``); PyTorch fits the
per-element networks to energies, forces and stresses. The model file is
written in ferrolith's model format and evaluated once more through the C++
calculator on the held-out configurations, so the reported errors are those
of the shipped file.
"""

import argparse
import json
import re
import sys
import time
from pathlib import Path

import numpy as np
import torch
from ase.io import read

from ferrolith.optimization import _mlp

sys.path.insert(0, str(Path(__file__).resolve().parent))
from label_teacher import TEACHERS

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
ELEMENTS = ["B", "C", "N"]
MODEL_VERSION = "0.3.0"
GPA = 160.21766208  # GPa per eV/Å³
STRESS_HUBER = 5.0 / GPA  # eV/Å³
DESCRIPTOR = {
    "radial_cutoff": 5.0,
    "radial_centers": [float(x) for x in np.linspace(1.0, 4.6, 10)],
    "radial_eta": [3.0] * 10,
    "angular_cutoff": 3.6,
    "angular_centers": [1.3, 1.7, 2.3, 2.9],
    "angular_eta": [5.0, 4.0, 3.0, 3.0],
    "max_order": 5,
    "angular_channels": "all",
}
# Four-body terms (contractions of three moment tensors): their orders, and the
# element mixtures of their channels: all neighbours alike, and B against N
# (carbon weighs nothing there), the order of a B-C-N lattice.
FOUR_BODY = {
    "four_body_orders": [[1, 1, 2], [2, 2, 2], [1, 2, 3], [2, 2, 4], [2, 3, 3]],
    "four_body_mixtures": [[1.0, 1.0, 1.0], [-1.0, 0.0, 1.0]],
    "four_body_channels": "diagonal",
}
# what fixes the properties users compute: lattice and elastic constants of
# diamond, c-BN and c-BC2N, and the energies of the c-BC2N orderings
ANCHORS = re.compile(r"^(diamond|cbn|bc2n)-(eos|strained)$|^bc2n-ordered$")
HIDDEN = [64, 64]
ACTIVATION = "silu"
ACTIVATIONS = {"silu": torch.nn.SiLU, "tanh": torch.nn.Tanh}


class Frame:
    """One labelled configuration with its descriptors."""

    def __init__(self, atoms, descriptor):
        self.atoms = atoms
        self.n = len(atoms)
        self.species = np.array([ELEMENTS.index(s) for s in atoms.get_chemical_symbols()])
        self.desc = descriptor.compute(atoms)
        self.energy = atoms.get_potential_energy()
        self.forces = atoms.get_forces()
        self.stress = atoms.get_stress(voigt=False) if atoms.pbc.all() else None
        self.volume = atoms.get_volume()
        self.kind = atoms.info.get("config_type", "")
        # snapshots of one molecular-dynamics run share a group and are held
        # out together; every other configuration is a group of its own
        self.group = str(atoms.info.get("group", f"config-{atoms.info.get('config_index')}"))
        self.batch = int(atoms.info.get("batch", 0))
        # chosen by the active-learning script before any selection; absent in
        # data of generate_dataset.py alone, which is then split at random
        self.holdout = atoms.info.get("holdout")
        self.weight = 1.0

    @property
    def family(self):
        """The kind of configuration the errors are reported for."""
        if self.kind.endswith("model-md"):
            return "model-md"
        if self.kind.endswith("-md"):
            return "md"
        if self.kind.startswith("alloy"):
            return "alloy"
        if self.kind.startswith("sl"):
            return "superlattice"
        if self.kind.startswith("bc2n"):
            return "bc2n"
        return self.kind.rsplit("-", 1)[-1]

    @property
    def ordered(self):
        """An ordered B-C-N phase (superlattice or c-BC2N), where stresses must keep their sign."""
        return self.family in ("superlattice", "bc2n")


class ForcesAndVirial(torch.autograd.Function):
    """dE/dr and the virial of each frame from dE/dD, through the C++ kernel.

    Both are linear in dE/dD; their adjoint is the descriptor tangent along a
    displacement (for the positions) and a strain (for the virial)."""

    pool = None  # threads for the kernel calls (they release the GIL)

    @staticmethod
    def forward(ctx, grad_desc, frames, descriptor):
        ctx.frames, ctx.descriptor = frames, descriptor
        g = grad_desc.detach().numpy()
        lo = np.cumsum([0] + [fr.n for fr in frames])
        results = ForcesAndVirial.map(
            lambda k: descriptor.backward(frames[k].atoms, g[lo[k] : lo[k + 1]]), len(frames)
        )
        grads, virials = zip(*results)
        return torch.from_numpy(np.concatenate(grads)), torch.from_numpy(np.stack(virials))

    @staticmethod
    def backward(ctx, grad_pos, grad_virial):
        gp = grad_pos.numpy()
        gw = grad_virial.numpy()
        frames = ctx.frames
        lo = np.cumsum([0] + [fr.n for fr in frames])
        out = ForcesAndVirial.map(
            lambda k: ctx.descriptor.tangent(frames[k].atoms, gp[lo[k] : lo[k + 1]], gw[k].T),
            len(frames),
        )
        return torch.from_numpy(np.concatenate(out)), None, None

    @staticmethod
    def map(task, n):
        if ForcesAndVirial.pool is None:
            return [task(k) for k in range(n)]
        return list(ForcesAndVirial.pool.map(task, range(n)))


def mlp(n_in, act, hidden=None, outputs=1):
    layers, width = [], n_in
    for h in HIDDEN if hidden is None else hidden:
        layers += [torch.nn.Linear(width, h), act()]
        width = h
    layers.append(torch.nn.Linear(width, outputs))
    return torch.nn.Sequential(*layers).double()


class Potential(torch.nn.Module):
    """Per-element networks (`embedding` 0), or one network for all elements
    fed with a learned embedding of the central element beside the descriptor."""

    def __init__(self, n_desc, mean, std, shift, scale, embedding=0):
        super().__init__()
        act = ACTIVATIONS[ACTIVATION]
        self.shared = embedding > 0
        if self.shared:
            self.nets = torch.nn.ModuleList([mlp(n_desc + embedding, act)])
            self.embedding = torch.nn.Parameter(
                torch.randn(len(ELEMENTS), embedding, dtype=torch.float64)
            )
        else:
            self.nets = torch.nn.ModuleList([mlp(n_desc, act) for _ in ELEMENTS])
        self.register_buffer("mean", torch.as_tensor(mean))
        self.register_buffer("std", torch.as_tensor(std))
        self.register_buffer("shift", torch.as_tensor(shift))
        self.scale = scale

    def forward(self, desc, species):
        if self.shared:
            x = torch.cat([(desc - self.mean[0]) / self.std[0], self.embedding[species]], 1)
            return self.shift[species] + self.scale * self.nets[0](x)[:, 0]
        out = torch.zeros(desc.shape[0], dtype=torch.float64)
        for e, net in enumerate(self.nets):
            mask = species == e
            if mask.any():
                x = (desc[mask] - self.mean[e]) / self.std[e]
                out = out.index_put((mask,), self.shift[e] + self.scale * net(x)[:, 0])
        return out

    def load_file_dict(self, data):
        """Takes over the weights, standardisation and shifts of a model file
        of the same architecture."""
        nets = [data["network"]] if self.shared else [data["networks"][s] for s in ELEMENTS]
        with torch.no_grad():
            for net, stored in zip(self.nets, nets):
                lin = [m for m in net if isinstance(m, torch.nn.Linear)]
                for m, w, b in zip(lin, stored["weights"], stored["biases"], strict=True):
                    m.weight.copy_(w)
                    m.bias.copy_(b)
            if self.shared:
                net = data["network"]
                self.embedding.copy_(torch.stack([net["embeddings"][s] for s in ELEMENTS]))
                self.mean.copy_(net["input_mean"][None])
                self.std.copy_(net["input_std"][None])
                self.shift.copy_(torch.tensor([net["energy_shifts"][s] for s in ELEMENTS]))
            else:
                for e, stored in enumerate(nets):
                    self.mean[e].copy_(stored["input_mean"])
                    self.std[e].copy_(stored["input_std"])
                    self.shift[e] = stored["energy_shift"]
        self.scale = float(data["energy_scale"])

    def to_file_dict(self, metadata):
        def layers(net):
            lin = [m for m in net if isinstance(m, torch.nn.Linear)]
            return {
                "weights": [m.weight.detach().clone() for m in lin],
                "biases": [m.bias.detach().clone() for m in lin],
            }

        data = {
            "format": _mlp.FORMAT,
            "version": _mlp.FORMAT_VERSION
            if self.shared or "four_body_orders" in DESCRIPTOR
            else 2,
            "elements": list(ELEMENTS),
            "descriptor": {
                k: (torch.tensor(v, dtype=torch.float64) if isinstance(v, list) else v)
                for k, v in DESCRIPTOR.items()
            },
            "activation": ACTIVATION,
            "energy_scale": float(self.scale),
            "metadata": metadata,
        }
        if self.shared:
            data["network"] = {
                **layers(self.nets[0]),
                "input_mean": self.mean[0].clone(),
                "input_std": self.std[0].clone(),
                "embeddings": {
                    s: self.embedding[e].detach().clone() for e, s in enumerate(ELEMENTS)
                },
                "energy_shifts": {s: float(self.shift[e]) for e, s in enumerate(ELEMENTS)},
            }
        else:
            data["networks"] = {
                sym: {
                    **layers(self.nets[e]),
                    "input_mean": self.mean[e].clone(),
                    "input_std": self.std[e].clone(),
                    "energy_shift": float(self.shift[e]),
                }
                for e, sym in enumerate(ELEMENTS)
            }
        return data


def batch_inputs(frames):
    """Descriptors (a leaf that takes gradients), species and the frame of each atom."""
    desc = torch.from_numpy(np.concatenate([f.desc for f in frames])).requires_grad_(True)
    species = torch.from_numpy(np.concatenate([f.species for f in frames]))
    owner = torch.from_numpy(np.repeat(np.arange(len(frames)), [f.n for f in frames]))
    return desc, species, owner


def batch_loss(model, frames, descriptor, weights, huber=0.0):
    desc, species, owner = batch_inputs(frames)
    atomic = model(desc, species)
    (grad_desc,) = torch.autograd.grad(atomic.sum(), desc, create_graph=True)
    grad_pos, virial = ForcesAndVirial.apply(grad_desc, frames, descriptor)
    return label_loss(frames, owner, atomic, grad_pos, virial, weights, huber)


def label_loss(frames, owner, atomic, grad_pos, virial, weights, huber):
    """Weighted loss of energies, forces (-grad_pos) and stresses (virial over
    the volume) against the teacher's labels, and its three parts."""
    energy = torch.zeros(len(frames), dtype=torch.float64).index_add(0, owner, atomic)
    n_atoms = torch.tensor([f.n for f in frames], dtype=torch.float64)
    e_ref = torch.tensor([f.energy for f in frames])
    f_ref = torch.from_numpy(np.concatenate([f.forces for f in frames]))
    # per-configuration weights (the property anchors count more)
    w_frame = torch.tensor([f.weight for f in frames], dtype=torch.float64)
    w_atom = w_frame[owner][:, None]
    loss_e = (w_frame * ((energy - e_ref) / n_atoms) ** 2).mean()
    diff = -grad_pos - f_ref
    if not huber:
        loss_f = (w_atom * diff**2).mean()
    else:
        # quadratic below `huber` eV/Å, linear above: the few very large forces
        # of compressed bonds do not dominate the fit of the typical ones
        loss_f = 2 * (w_atom * huber_terms(diff, huber)).mean()
    periodic = [k for k, f in enumerate(frames) if f.stress is not None]
    loss_s = torch.zeros((), dtype=torch.float64)
    if periodic:
        vol = torch.tensor([frames[k].volume for k in periodic])
        s_model = virial[periodic] / vol[:, None, None]
        s_ref = torch.from_numpy(np.stack([frames[k].stress for k in periodic]))
        diff_s = s_model - s_ref
        w_cell = w_frame[periodic][:, None, None]
        if not huber:
            loss_s = (w_cell * diff_s**2).mean()
        else:
            # as for the forces: the rare collapsed cells (stresses of hundreds
            # of GPa) count linearly beyond about 5 GPa
            loss_s = 2 * (w_cell * huber_terms(diff_s, STRESS_HUBER)).mean()
    total = weights[0] * loss_e + weights[1] * loss_f + weights[2] * loss_s
    return total, (loss_e.item(), loss_f.item(), loss_s.item())


def huber_terms(diff, delta):
    return torch.nn.functional.huber_loss(
        diff, torch.zeros_like(diff), delta=delta, reduction="none"
    )


def evaluate(calc, frames, by_family=True, predict=None):
    """Energy (eV/atom), force (eV/Å) and stress (GPa) errors of the C++
    calculator (or of `predict(calc, frames)`, which yields energy, forces and
    stress per frame): the energy error per configuration, the force error over every
    component of every atom, the stress error over the six components of every
    periodic configuration; also for each family of configurations."""
    de, df, ds = [], [], []
    for fr, (energy, forces, stress) in zip(frames, (predict or predictions)(calc, frames)):
        de.append((energy - fr.energy) / fr.n)
        df.append(np.abs(forces - fr.forces).ravel())
        ds.append(None if fr.stress is None else (GPA * stress, GPA * fr.stress))
    out = error_figures(frames, np.array(de), df, ds)
    if by_family:
        out["families"] = {}
        for family in sorted({f.family for f in frames}):
            pick = [k for k, f in enumerate(frames) if f.family == family]
            out["families"][family] = error_figures(
                [frames[k] for k in pick],
                np.array(de)[pick],
                [df[k] for k in pick],
                [ds[k] for k in pick],
            )
    return out


def predictions(calc, frames):
    """Energy, forces and stress (3x3, None without a volume) of each frame
    from an ASE calculator."""
    for fr in frames:
        a = fr.atoms.copy()
        a.calc = calc
        stress = a.get_stress(voigt=False) if fr.stress is not None else None
        yield a.get_potential_energy(), a.get_forces(), stress


def error_figures(frames, de, df, ds):
    dfa = np.concatenate(df)
    out = {
        "energy_mae_meV_per_atom": 1e3 * float(np.abs(de).mean()),
        "energy_rmse_meV_per_atom": 1e3 * float(np.sqrt((de**2).mean())),
        "force_mae_eV_per_A": float(dfa.mean()),
        "force_rmse_eV_per_A": float(np.sqrt((dfa**2).mean())),
        "configurations": len(frames),
        "atoms": int(sum(f.n for f in frames)),
    }
    pairs = [p for p in ds if p is not None]
    if pairs:
        model = np.array([m for m, _ in pairs])
        teacher = np.array([t for _, t in pairs])
        iu = np.triu_indices(3)
        out["stress_mae_GPa"] = float(np.abs(model - teacher)[:, iu[0], iu[1]].mean())
        # sign of the pressure and of each normal stress, where the teacher's
        # is clearly non-zero (beyond 1 GPa)
        p_model = -np.trace(model, axis1=1, axis2=2) / 3
        p_teacher = -np.trace(teacher, axis1=1, axis2=2) / 3
        clear = np.abs(p_teacher) > 1.0
        out["pressure_sign_wrong"] = int((np.sign(p_model) != np.sign(p_teacher))[clear].sum())
        normal_m = np.diagonal(model, axis1=1, axis2=2)
        normal_t = np.diagonal(teacher, axis1=1, axis2=2)
        clear = np.abs(normal_t) > 1.0
        out["normal_stress_sign_wrong"] = int((np.sign(normal_m) != np.sign(normal_t))[clear].sum())
        out["normal_stresses_compared"] = int(clear.sum())
    return out


def teacher_of(frames):
    """The teacher that labelled the frames (label_teacher.py records it)."""
    names = {f.atoms.info.get("teacher", "chgnet") for f in frames}
    if len(names) != 1:
        sys.exit(f"the data set mixes the labels of several teachers: {sorted(names)}")
    return TEACHERS[names.pop()]


def split(frames, holdout, seed):
    """Training and held-out frames. Frames that carry a held-out flag (the
    active-learning script sets it by family, composition and period) follow
    it. Otherwise whole groups are held out (snapshots of one run are alike),
    a random fraction `holdout` of the groups of each batch of the recipe:
    adding a batch moves no earlier configuration between the two sets."""
    if all(f.holdout is not None for f in frames):
        return [f for f in frames if not f.holdout], [f for f in frames if f.holdout]
    test_groups = set()
    for batch in sorted({f.batch for f in frames}):
        groups = list(dict.fromkeys(f.group for f in frames if f.batch == batch))
        order = np.random.default_rng(seed).permutation(len(groups))
        test_groups.update(groups[k] for k in order[: round(holdout * len(groups))])
    train = [f for f in frames if f.group not in test_groups]
    test = [f for f in frames if f.group in test_groups]
    return train, test


def build_parser(description=None):
    parser = argparse.ArgumentParser(description=description or __doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=HERE / "data" / "dataset.extxyz")
    parser.add_argument(
        "-o",
        "--output",
        type=Path,
        default=ROOT / "src" / "ferrolith" / "data" / "files" / "BCN-qz-v0.0.1.pth",
    )
    parser.add_argument("--epochs", type=int, default=260)
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--lr", type=float, default=3e-3)
    parser.add_argument("--holdout", type=float, default=0.1)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--hidden", type=int, nargs="+", default=HIDDEN)
    parser.add_argument("--weight-decay", type=float, default=0.0)
    parser.add_argument(
        "--energy-weight",
        type=float,
        default=30.0,
        help="loss weight of (eV/atom)^2 against (eV/Å)^2 of the forces",
    )
    parser.add_argument(
        "--stress-weight",
        type=float,
        default=100.0,
        help="loss weight of (eV/Å³)^2 of the stress against (eV/Å)^2 of the forces",
    )
    parser.add_argument(
        "--huber",
        type=float,
        default=1.0,
        metavar="DELTA",
        help="Huber loss of the forces, linear beyond DELTA eV/Å; 0 for the squared error",
    )
    parser.add_argument("--channels", choices=["diagonal", "all"], default="all")
    parser.add_argument(
        "--radial-cutoff",
        type=float,
        default=DESCRIPTOR["radial_cutoff"],
        help="cutoff of the radial terms (Å); their centres are 0.4 Å apart from 1 Å "
        "to 0.4 Å below it",
    )
    parser.add_argument(
        "--anchor-weight",
        type=float,
        default=1.0,
        help="loss weight of the property anchors (equations of state and strained "
        "cells of diamond, c-BN and c-BC2N, and the c-BC2N orderings) against 1 "
        "for every other configuration",
    )
    parser.add_argument(
        "--angular-reach",
        action="store_true",
        help="a fifth angular function at 3.8 Å and an angular cutoff of 4.8 Å "
        "(the fourth to sixth neighbour shells of the diamond lattice)",
    )
    parser.add_argument(
        "--body-order",
        type=int,
        choices=[3, 4],
        default=4,
        help="3: radial and angular terms only; 4: also the four-body terms",
    )
    parser.add_argument(
        "--embedding",
        type=int,
        default=8,
        help="length of the learned element embeddings of one shared network; "
        "0 for one network per element",
    )
    parser.add_argument("--samples", type=Path, default=ROOT / "tests" / "data")
    parser.add_argument(
        "--history",
        default="",
        help="how the data was chosen, for the model's metadata ('active_learning')",
    )
    parser.add_argument(
        "--init",
        type=Path,
        help="start from this model file (same architecture): a later round of active "
        "learning refines the model of the round before",
    )
    return parser


def prepare(args):
    """The descriptor, every frame, the training and held-out frames, and the
    input standardisation, reference energies and energy scale of the network."""
    torch.set_num_threads(args.threads)
    if args.threads > 1:
        from concurrent.futures import ThreadPoolExecutor

        ForcesAndVirial.pool = ThreadPoolExecutor(args.threads)
    torch.manual_seed(args.seed)
    t0 = time.perf_counter()
    DESCRIPTOR["angular_channels"] = args.channels
    if args.radial_cutoff != DESCRIPTOR["radial_cutoff"]:
        centres = np.arange(1.0, args.radial_cutoff - 0.4 + 1e-9, 0.4)
        DESCRIPTOR.update(
            radial_cutoff=args.radial_cutoff,
            radial_centers=[float(x) for x in centres],
            radial_eta=[3.0] * len(centres),
        )
    if args.angular_reach:
        DESCRIPTOR.update(
            angular_cutoff=4.8,
            angular_centers=[*DESCRIPTOR["angular_centers"], 3.8],
            angular_eta=[*DESCRIPTOR["angular_eta"], 2.0],
        )
    if args.body_order == 4:
        DESCRIPTOR.update(FOUR_BODY)
    descriptor = _mlp.Descriptor(ELEMENTS, DESCRIPTOR)
    frames = [Frame(a, descriptor) for a in read(args.data, ":")]
    train, test = split(frames, args.holdout, args.seed)
    for f in train:
        if ANCHORS.search(f.kind):
            f.weight = args.anchor_weight
    print(
        f"{len(train)} training and {len(test)} held-out configurations "
        f"({sum(f.n for f in train)} / {sum(f.n for f in test)} atoms), "
        f"{descriptor.size} descriptor entries; {time.perf_counter() - t0:.1f} s"
    )

    # input standardisation (per element, or over all atoms for the shared
    # network) and reference energies
    all_desc = np.concatenate([f.desc for f in train])
    all_species = np.concatenate([f.species for f in train])
    if args.embedding:
        mean, std = all_desc.mean(0)[None], all_desc.std(0)[None]
    else:
        mean = np.stack([all_desc[all_species == e].mean(0) for e in range(len(ELEMENTS))])
        std = np.stack([all_desc[all_species == e].std(0) for e in range(len(ELEMENTS))])
    std = np.where(std > 1e-6, std, 1.0)
    counts = np.array([np.bincount(f.species, minlength=len(ELEMENTS)) for f in train], float)
    energies = np.array([f.energy for f in train])
    shift = np.linalg.lstsq(counts, energies, rcond=None)[0]
    residual = (energies - counts @ shift) / counts.sum(1)
    scale = float(max(residual.std(), 0.05))
    print("reference energies (eV):", dict(zip(ELEMENTS, np.round(shift, 4))), "scale", scale)
    HIDDEN[:] = args.hidden
    return descriptor, frames, train, test, (mean, std, shift, scale)


def fit(model, train, loss, args, rng):
    """AdamW with a cosine schedule over `args.epochs`; `loss(model, batch)`
    returns the loss and its energy, force and stress parts. Returns the time taken."""
    opt = torch.optim.AdamW(model.parameters(), lr=args.lr, weight_decay=args.weight_decay)
    sched = torch.optim.lr_scheduler.CosineAnnealingLR(opt, T_max=args.epochs, eta_min=args.lr / 50)
    t_train = time.perf_counter()
    for epoch in range(args.epochs):
        perm = rng.permutation(len(train))
        totals = np.zeros(3)
        for lo in range(0, len(train), args.batch):
            batch = [train[k] for k in perm[lo : lo + args.batch]]
            opt.zero_grad()
            value, parts = loss(model, batch)
            value.backward()
            opt.step()
            totals += np.array(parts) * len(batch)
        sched.step()
        if epoch % 10 == 0 or epoch == args.epochs - 1:
            rmse = np.sqrt(totals / len(train))
            print(
                f"epoch {epoch:4d}  energy {1e3 * rmse[0]:7.2f} meV/atom  "
                f"force{' (Huber)' if args.huber else ''} {rmse[1]:.4f} eV/Å  "
                f"stress {rmse[2] * 160.2177:.3f} GPa  "
                f"({time.perf_counter() - t_train:.0f} s)",
                flush=True,
            )
    return time.perf_counter() - t_train


def loss_weights(args):
    return (args.energy_weight, 1.0, args.stress_weight)


def main(argv=None):
    args = build_parser().parse_args(argv)
    rng = np.random.default_rng(args.seed)
    descriptor, frames, train, test, (mean, std, shift, scale) = prepare(args)
    model = Potential(descriptor.size, mean, std, shift, scale, args.embedding)
    init_metadata = {}
    if args.init:
        stored = torch.load(args.init, weights_only=True)
        model.load_file_dict(stored)
        init_metadata = stored.get("metadata", {})
    weights = loss_weights(args)
    train_time = fit(
        model, train, lambda m, b: batch_loss(m, b, descriptor, weights, args.huber), args, rng
    )

    metadata = {
        "name": "BCN-qz",
        "model_version": MODEL_VERSION,
        "teacher": teacher_of(frames),
        "architecture": (
            f"one shared network {[descriptor.size + args.embedding, *HIDDEN, 1]} with "
            f"{args.embedding}-entry element embeddings"
            if args.embedding
            else f"one network per element {[descriptor.size, *HIDDEN, 1]}"
        ),
        "dataset_configurations": str(len(frames)),
        "dataset_atoms": str(sum(f.n for f in frames)),
        "training_configurations": str(len(train)),
        "holdout_configurations": str(len(test)),
        "holdout_split": "by family, composition and period (training/active_learning.py)"
        if all(f.holdout is not None for f in frames)
        else "random groups",
        "epochs": str(args.epochs),
        "descriptor_body_order": str(args.body_order),
        "loss_weights": f"energy {args.energy_weight}, forces 1, stress {args.stress_weight}"
        + (f"; property anchors {args.anchor_weight}" if args.anchor_weight != 1 else ""),
    }
    if args.history:
        metadata["active_learning"] = args.history
    if args.init:
        metadata["refined_from"] = (
            f"a model of {init_metadata.get('epochs', '?')} epochs, loss weights "
            f"{init_metadata.get('loss_weights', '?')}"
        )
    data = model.to_file_dict(metadata)
    calc = _mlp.MLCalculator(_mlp.MLModel(data))
    errors = {"train": evaluate(calc, train), "holdout": evaluate(calc, test)}
    for k, v in errors["holdout"].items():
        if k != "families":
            metadata[f"holdout_{k}"] = f"{v:.4g}" if isinstance(v, float) else str(v)
    worst = max(errors["holdout"]["families"].items(), key=lambda kv: kv[1]["force_mae_eV_per_A"])
    metadata["holdout_worst_family_force_mae_eV_per_A"] = (
        f"{worst[1]['force_mae_eV_per_A']:.4g} ({worst[0]})"
    )
    args.output.parent.mkdir(parents=True, exist_ok=True)
    torch.save(model.to_file_dict(metadata), args.output)
    print(json.dumps(errors, indent=2))
    print(
        f"training {train_time:.0f} s; model written to {args.output} "
        f"({args.output.stat().st_size / 1024:.0f} KiB)"
    )
    write_samples(args.samples, model.to_file_dict(metadata), test, errors)
    return 0


def write_samples(folder, data, test, errors):
    """Test data that needs neither the teacher nor PyTorch: a numpy copy of
    the model dictionary and a few held-out configurations with the teacher's
    labels."""
    from ase.io import write

    folder.mkdir(parents=True, exist_ok=True)
    arrays, header = {}, {}
    for key, value in data.items():
        if isinstance(value, dict) and key in ("network", "networks"):
            flatten(arrays, key, value)
        elif key != "metadata":
            header[key] = value
    header["descriptor"] = DESCRIPTOR
    header["metadata"] = data["metadata"]
    arrays["header"] = np.array(json.dumps(header))
    np.savez_compressed(folder / "ml-model-weights.npz", **arrays)
    # every fifth held-out configuration (a fair sample of all families) and
    # every held-out ordered phase (the tests check their stresses)
    chosen = [f.atoms for k, f in enumerate(test) if k % 5 == 0 or f.ordered]
    write(folder / "ml-teacher-samples.extxyz", chosen, format="extxyz")
    (folder / "ml-holdout-errors.json").write_text(json.dumps(errors, indent=2) + "\n")


def flatten(arrays, prefix, value):
    """Nested dictionaries and lists of tensors as 'a/b/0' keys of numpy arrays."""
    items = value.items() if isinstance(value, dict) else enumerate(value)
    for k, v in items:
        key = f"{prefix}/{k}"
        if isinstance(v, (dict, list)):
            flatten(arrays, key, v)
        else:
            arrays[key] = v.numpy() if hasattr(v, "numpy") else np.asarray(v)


if __name__ == "__main__":
    sys.exit(main())
