"""Does one message-passing step bring the B-C-N potential closer to its teacher?

    python training/message_passing.py --data training/data/dataset.extxyz --epochs 80

An experiment beside train.py, on the same data, split, loss and schedule. The
model of train.py is local: an atom's energy sees its neighbours within the
descriptor's 5 Å. Here each atom first computes a few features from its own
descriptor (a small network), then every atom's energy network also reads
the message

    m_i[k][n] = Σ_j g_n(r_ij) h_j[k]      over neighbours j within the message cutoff,

the features h_j of its neighbours weighted by radial functions g_n (Gaussians
times the cosine cutoff, as the descriptor's). An energy then depends on atoms
out to twice the cutoff, as the teacher's (a message-passing network itself)
does. Forces and stresses are exact derivatives: through the descriptors by
ferrolith's C++ kernel (as in train.py), through the pair geometry of the
messages by PyTorch.

Prints the held-out errors per family, as train.py does; the model is saved as
a PyTorch state dictionary (the C++ calculator does not evaluate it).
"""

import json
import sys
import time
from pathlib import Path

import numpy as np
import torch
from ase.neighborlist import neighbor_list

sys.path.insert(0, str(Path(__file__).resolve().parent))
import train as local

HERE = Path(__file__).resolve().parent


class MessagePassing(torch.nn.Module):
    """Atomic energies from the descriptor, the element embedding and the
    message of the neighbours' features."""

    def __init__(self, n_desc, stats, embedding, features, radial, cutoff, feature_hidden):
        super().__init__()
        mean, std, shift, scale = stats
        act = local.ACTIVATIONS[local.ACTIVATION]
        self.embedding = torch.nn.Parameter(
            torch.randn(len(local.ELEMENTS), embedding, dtype=torch.float64)
        )
        self.feature_net = local.mlp(n_desc + embedding, act, feature_hidden, features)
        n_message = features * radial
        self.energy_net = local.mlp(n_desc + embedding + n_message, act)
        self.register_buffer("mean", torch.as_tensor(mean[0]))
        self.register_buffer("std", torch.as_tensor(std[0]))
        self.register_buffer("shift", torch.as_tensor(shift))
        centres = np.linspace(1.2, cutoff - 0.4, radial)
        spacing = centres[1] - centres[0] if radial > 1 else 1.0
        self.register_buffer("centres", torch.as_tensor(centres))
        self.eta = 1.0 / (2 * (0.75 * spacing) ** 2)
        self.cutoff = cutoff
        # messages are sums over some tens of neighbours: scaled to order one
        # once, from the untrained features (`standardise_messages`)
        self.register_buffer("message_mean", torch.zeros(n_message, dtype=torch.float64))
        self.register_buffer("message_std", torch.ones(n_message, dtype=torch.float64))
        self.scale = scale

    def inputs(self, desc, species):
        """The standardised descriptor beside the element embedding."""
        return torch.cat([(desc - self.mean) / self.std, self.embedding[species]], 1)

    def forward(self, desc, species, pair_i, pair_j, pair_vec):
        x = self.inputs(desc, species)
        messages = self.messages(self.feature_net(x), pair_i, pair_j, pair_vec, len(desc))
        x = torch.cat([x, (messages - self.message_mean) / self.message_std], 1)
        return self.shift[species] + self.scale * self.energy_net(x)[:, 0]

    def messages(self, features, pair_i, pair_j, pair_vec, n):
        r = pair_vec.norm(dim=1)
        f_c = 0.5 * (torch.cos(torch.pi * r / self.cutoff) + 1.0)
        g = torch.exp(-self.eta * (r[:, None] - self.centres) ** 2) * f_c[:, None]
        per_pair = (features[pair_j][:, :, None] * g[:, None, :]).reshape(len(r), -1)
        return torch.zeros(n, per_pair.shape[1], dtype=torch.float64).index_add(0, pair_i, per_pair)

    def standardise_messages(self, frames):
        with torch.no_grad():
            desc, species, _ = local.batch_inputs(frames)
            i, j, vec, _ = batch_pairs(frames)
            x = self.inputs(desc, species)
            m = self.messages(self.feature_net(x), i, j, vec, len(desc))
            self.message_mean.copy_(m.mean(0))
            self.message_std.copy_(torch.clamp(m.std(0), min=1e-6))


def attach_pairs(frames, cutoff):
    """Each frame's pairs within the message cutoff: i, j and r_j - r_i (with
    the periodic image)."""
    for fr in frames:
        i, j, d = neighbor_list("ijD", fr.atoms, cutoff)
        fr.pairs = (i.astype(np.int64), j.astype(np.int64), d)


def batch_pairs(frames):
    """The batch's pairs with atom indices offset by frame, and the frame of each pair."""
    offsets = np.cumsum([0] + [fr.n for fr in frames])
    i = np.concatenate([fr.pairs[0] + o for fr, o in zip(frames, offsets)])
    j = np.concatenate([fr.pairs[1] + o for fr, o in zip(frames, offsets)])
    vec = torch.from_numpy(np.concatenate([fr.pairs[2] for fr in frames])).requires_grad_(True)
    owner = np.repeat(np.arange(len(frames)), [len(fr.pairs[0]) for fr in frames])
    return torch.from_numpy(i), torch.from_numpy(j), vec, torch.from_numpy(owner)


def energies_and_gradients(model, frames, descriptor, create_graph):
    """Atomic energies, dE/dr of every atom and the virial dE/dε of each frame."""
    desc, species, owner = local.batch_inputs(frames)
    i, j, vec, pair_owner = batch_pairs(frames)
    atomic = model(desc, species, i, j, vec)
    grad_desc, grad_vec = torch.autograd.grad(atomic.sum(), [desc, vec], create_graph=create_graph)
    grad_pos, virial = local.ForcesAndVirial.apply(grad_desc, frames, descriptor)
    # the messages' own dependence on the pair vectors r_j - r_i
    grad_pos = grad_pos.index_add(0, j, grad_vec).index_add(0, i, -grad_vec)
    pair_virial = grad_vec[:, :, None] * vec[:, None, :]
    pair_virial = 0.5 * (pair_virial + pair_virial.transpose(1, 2))
    virial = virial + torch.zeros_like(virial).index_add(0, pair_owner, pair_virial)
    return atomic, owner, grad_pos, virial


def batch_loss(model, frames, descriptor, weights, huber):
    atomic, owner, grad_pos, virial = energies_and_gradients(model, frames, descriptor, True)
    return local.label_loss(frames, owner, atomic, grad_pos, virial, weights, huber)


def predictions(model_and_descriptor, frames):
    """Energy, forces and stress of each frame, as train.predictions yields them."""
    model, descriptor = model_and_descriptor
    for fr in frames:
        atomic, _, grad_pos, virial = energies_and_gradients(model, [fr], descriptor, False)
        stress = virial[0].detach().numpy() / fr.volume if fr.stress is not None else None
        yield float(atomic.detach().sum()), -grad_pos.detach().numpy(), stress


def main(argv=None):
    parser = local.build_parser(__doc__.splitlines()[0])
    parser.add_argument("--message-cutoff", type=float, default=5.0, help="Å")
    parser.add_argument("--features", type=int, default=8, help="features per atom")
    parser.add_argument("--message-radial", type=int, default=6, help="radial functions")
    parser.add_argument("--feature-hidden", type=int, nargs="*", default=[32])
    parser.set_defaults(output=HERE / "data" / "message-passing.pt", epochs=80)
    args = parser.parse_args(argv)
    if not args.embedding:
        parser.error("message passing uses the shared network: --embedding must be positive")
    rng = np.random.default_rng(args.seed)
    descriptor, frames, train, test, stats = local.prepare(args)
    t0 = time.perf_counter()
    attach_pairs(frames, args.message_cutoff)
    n_pairs = sum(len(f.pairs[0]) for f in frames) / sum(f.n for f in frames)
    print(
        f"{n_pairs:.1f} neighbours per atom within {args.message_cutoff} Å; "
        f"{time.perf_counter() - t0:.0f} s"
    )
    model = MessagePassing(
        descriptor.size,
        stats,
        args.embedding,
        args.features,
        args.message_radial,
        args.message_cutoff,
        args.feature_hidden,
    )
    model.standardise_messages(train[:: max(1, len(train) // 200)])
    weights = local.loss_weights(args)
    train_time = local.fit(
        model, train, lambda m, b: batch_loss(m, b, descriptor, weights, args.huber), args, rng
    )
    pair = (model, descriptor)
    errors = {
        "train": local.evaluate(pair, train, predict=predictions),
        "holdout": local.evaluate(pair, test, predict=predictions),
    }
    print(json.dumps(errors, indent=2))
    args.output.parent.mkdir(parents=True, exist_ok=True)
    options = {k: str(v) if isinstance(v, Path) else v for k, v in vars(args).items()}
    torch.save({"state": model.state_dict(), "options": options}, args.output)
    print(f"training {train_time:.0f} s; state written to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
