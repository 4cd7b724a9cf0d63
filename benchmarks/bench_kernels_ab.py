"""CPU time of the neighbour-based kernels in two builds, side by side.

Tersoff (energy + stress, 8000-atom diamond), the machine-learned potential
(energy + stress, 1728-atom c-BN, the shipped weights from their numpy copy),
average_atoms (0.2 A on 134,400 atoms) and the remove_doubles share of a
150 A polycrystal, each in a fresh interpreter, the two builds alternating
so that a busy machine slows both alike; the best of the rounds is kept.

    python benchmarks/bench_kernels_ab.py BEFORE AFTER [ROUNDS] [CASES]

BEFORE and AFTER are folders holding an installed ``ferrolith`` package (a
copy of site-packages/ferrolith), or "-" for the current environment's.
FERROLITH_AB_MODEL=FILE.pth times the machine-learned potential with that
model file in both builds (one an older build can read) instead of the
shipped weights.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

CHILD = r"""
import json, os, sys, time, numpy as np
from pathlib import Path
case = sys.argv[1]
from ase.build import bulk
def best(fn, k=5):
    b = float("inf")
    for _ in range(k):
        t = time.process_time(); fn(); b = min(b, time.process_time() - t)
    return b
if case == "tersoff":
    from ferrolith.optimization import TersoffCalculator
    import ferrolith.data.files as files
    atoms = bulk("C", "diamond", a=3.567, cubic=True).repeat(10)
    atoms.rattle(0.02, seed=1)
    atoms.calc = TersoffCalculator(str(Path(files.__file__).parent / "BNC.tersoff"))
    def step():
        atoms.positions[0, 0] += 1e-5
        atoms.get_potential_energy(); atoms.get_stress()
    step(); t = best(step, 7)
elif case == "ml":
    sys.path.insert(0, sys.argv[2])
    from test_optimization_mlp import shipped_weights
    from ferrolith.optimization import _mlp
    atoms = bulk("BN", "zincblende", a=3.615, cubic=True).repeat(6)
    atoms.rattle(0.02, seed=1)
    model = os.environ.get("FERROLITH_AB_MODEL")
    atoms.calc = (_mlp.load_ml_calculator(model) if model
                  else _mlp.MLCalculator(_mlp.MLModel(shipped_weights())))
    def step():
        atoms.positions[0, 0] += 1e-5
        atoms.get_potential_energy(); atoms.get_stress()
    step(); t = best(step, 5)
elif case == "average_atoms":
    from ferrolith.core import average_atoms
    crystal = bulk("C", "diamond", a=3.567).repeat((40, 40, 40))
    rng = np.random.default_rng(0)
    picked = rng.choice(len(crystal), size=len(crystal) // 20, replace=False)
    copies = crystal[picked]
    copies.positions += rng.uniform(-0.05, 0.05, (len(copies), 3)) / np.sqrt(3)
    crystal += copies
    t = best(lambda: average_atoms(crystal, 0.2), 5)
elif case == "remove_doubles":
    from ferrolith.build.polycrystal import Polycrystal
    import os, tempfile
    os.chdir(tempfile.mkdtemp())
    seed = bulk("Al", "fcc", a=4.046, cubic=True)
    def run(r):
        poly = Polycrystal(seed=seed, params={"box": [150.0] * 3, "random": 8}, rng=1)
        return poly.generate_polycrystal(wrap=True, remove_doubles=r)
    t = best(lambda: run(1.43), 3) - best(lambda: run(None), 3)
print(json.dumps({"t": t}))
"""


def run(path, case):
    env = dict(os.environ)
    if path != "-":
        env["PYTHONPATH"] = path
    tests = str(Path(__file__).resolve().parent.parent / "tests")
    out = subprocess.run(
        [sys.executable, "-c", CHILD, case, tests], env=env, capture_output=True, text=True
    )
    if out.returncode:
        sys.exit(out.stderr)
    return json.loads(out.stdout.strip().splitlines()[-1])["t"]


before, after = sys.argv[1], sys.argv[2]
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 2
cases = (
    sys.argv[4].split(",")
    if len(sys.argv) > 4
    else ["tersoff", "ml", "average_atoms", "remove_doubles"]
)
for case in cases:
    a = b = float("inf")
    for _ in range(rounds):
        a = min(a, run(before, case))
        b = min(b, run(after, case))
    print(
        f"{case:>15}: before {a * 1e3:9.2f} ms  after {b * 1e3:9.2f} ms  after/before {b / a:6.3f}",
        flush=True,
    )
