"""Labels configurations with the teacher: energy, forces and stress.

    pip install torch sevenn==0.13.0        # the teacher; its weights ship in the wheel
    python training/label_teacher.py IN.extxyz OUT.extxyz [--workers 2]

The teacher is SevenNet's 7net-l3i5 model, the universal potential closest to
experiment among those that load offline (training/compare_teachers.py,
training/teacher_comparison.json); `--teacher chgnet` labels with CHGNet as
the first model did. Needs only ASE and the teacher, not ferrolith.

Configurations already in OUT (matched by their 'pool_index', else their
position) are kept, so an interrupted run resumes. Workers run one torch thread
each and are replaced every few chunks: the teacher's memory grows with every
new graph size and is not given back.
"""

import argparse
import os
import sys
import time
import warnings
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np
from ase.calculators.singlepoint import SinglePointCalculator
from ase.io import read, write

TEACHERS = {
    "sevenn-l3i5": (
        "SevenNet 0.13.0, pretrained model 7net-l3i5 (weights bundled in the sevenn package)"
    ),
    "chgnet": "CHGNet 0.4.2, pretrained model 0.3.0 (weights bundled in the chgnet package)",
}
WAVE = 40
_CALC = None


def calculator(teacher):
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    import torch

    torch.set_num_threads(1)
    warnings.simplefilter("ignore")
    if teacher == "chgnet":
        from chgnet.model import CHGNet
        from chgnet.model.dynamics import CHGNetCalculator

        return CHGNetCalculator(
            model=CHGNet.load(verbose=False, use_device="cpu"), use_device="cpu"
        )
    from sevenn.calculator import SevenNetCalculator

    return SevenNetCalculator(model="7net-" + teacher.split("-", 1)[1], device="cpu")


def label(atoms_list, calc):
    """Copies of the structures carrying the teacher's energy, forces and stress."""
    out = []
    for atoms in atoms_list:
        a = atoms.copy()
        a.calc = calc
        labels = dict(
            energy=float(a.get_potential_energy()),
            forces=np.array(a.get_forces(), dtype=float),
            stress=np.array(a.get_stress(), dtype=float),
        )
        b = atoms.copy()
        b.calc = SinglePointCalculator(b, **labels)
        out.append(b)
    return out


def label_chunk(chunk, teacher):
    global _CALC
    if _CALC is None:
        _CALC = calculator(teacher)
    return label(chunk, _CALC)


def key(atoms, position):
    return atoms.info.get("pool_index", position)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input", type=Path)
    parser.add_argument("output", type=Path)
    parser.add_argument("--teacher", choices=sorted(TEACHERS), default="sevenn-l3i5")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--chunk", type=int, default=4)
    args = parser.parse_args(argv)

    todo = read(args.input, ":")
    done = read(args.output, ":") if args.output.exists() else []
    have = {key(a, k) for k, a in enumerate(done)}
    rest = [a for k, a in enumerate(todo) if key(a, k) not in have]
    print(
        f"{len(todo)} configurations, {len(todo) - len(rest)} already labelled; "
        f"labelling {len(rest)} ({sum(map(len, rest))} atoms) with {TEACHERS[args.teacher]}",
        flush=True,
    )
    chunks = [rest[lo : lo + args.chunk] for lo in range(0, len(rest), args.chunk)]
    start, n_atoms = time.perf_counter(), 0
    # a fresh pool every `WAVE` chunks frees the workers' memory (the
    # executor's own max_tasks_per_child hangs on Python 3.11)
    for wave in range(0, len(chunks), WAVE):
        part = chunks[wave : wave + WAVE]
        with ProcessPoolExecutor(args.workers) as pool:
            for labelled in pool.map(label_chunk, part, [args.teacher] * len(part)):
                for a in labelled:
                    a.info["teacher"] = args.teacher
                done += labelled
                n_atoms += sum(map(len, labelled))
        tmp = args.output.with_suffix(".tmp")
        write(tmp, done, format="extxyz")
        tmp.replace(args.output)
        elapsed = time.perf_counter() - start
        print(
            f"{len(done)}/{len(todo)} labelled, {elapsed:.0f} s, "
            f"{1e3 * elapsed / n_atoms:.1f} ms/atom (wall, all workers)",
            flush=True,
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
