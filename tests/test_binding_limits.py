"""Limits of the shared binding helpers: integers beyond 64 bits and memory.

The memory cases run in a child process under a 1 GiB address-space cap, as a
small machine or a batch queue would impose: each must end in a clear Python
exception, never in a crash or a bare "std::bad_alloc".
"""

import io
import json
import os
import subprocess
import sys
import textwrap

import pytest
from ase.build import bulk

from ferrolith.build.twin import CoherentTwinBoundary
from ferrolith.data import files
from ferrolith.io.bcs import write_bcs
from ferrolith.optimization import TersoffCalculator, optimize_structure

POTENTIAL = os.path.join(os.path.dirname(files.__file__), "BNC.tersoff")


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: write_bcs(io.StringIO(), bulk("Cu"), symprec=10**400), "symprec"),
        (lambda: optimize_structure(bulk("Cu"), steps=10**20), "steps"),
        (lambda: TersoffCalculator(POTENTIAL, max_neighbors=2**70), "max_neighbors"),
        (lambda: CoherentTwinBoundary(bulk("C", "diamond"), plane=(2**63, 1, 1)), "plane"),
    ],
    ids=["symprec", "steps", "max_neighbors", "plane"],
)
def test_integers_beyond_64_bits_name_the_argument(call, name):
    with pytest.raises((ValueError, OverflowError), match=f"^{name} = "):
        call()


# Each case prints the type and message of the exception it ends in.
CHILD = """
import json, resource, sys
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
import numpy as np
from ase import Atoms
from ase.build import bulk
from ferrolith.optimization import TersoffCalculator
from ferrolith.properties.bondvick import SimunekHardnessCalculator, first_shell_cutoff

def hardness(atoms, rcut="auto"):
    if rcut == "auto":
        rcut = first_shell_cutoff(atoms)
    return SimunekHardnessCalculator()._calculate_hardness(atoms, rcut=rcut)

def diamond():
    return bulk("C", "diamond", a=3.567)

def scaled(atoms, factor):
    atoms.set_cell(atoms.cell * factor, scale_atoms=True)
    return atoms

def dense_carbon():
    # 0.11 A apart: some 29,000 neighbours per atom within the 2.1 A cutoff.
    atoms = Atoms("C", cell=[0.11] * 3, pbc=True).repeat(10)
    atoms.calc = TersoffCalculator(sys.argv[2], max_neighbors=0)  # no estimate asked for
    return atoms.get_potential_energy()

rng = np.random.default_rng(0)
cases = {
    "tersoff-901-types": lambda: TersoffCalculator(sys.argv[1]),
    "lone-atom-1e12": lambda: hardness(Atoms("C", cell=[1e12] * 3, pbc=True)),
    "lone-atom-1e12-rcut-2": lambda: hardness(Atoms("C", cell=[1e12] * 3, pbc=True), 2.0),
    "scaled-1e-3": lambda: hardness(scaled(diamond(), 1e-3)),
    "scaled-1e-3-rcut-1.8": lambda: hardness(scaled(diamond(), 1e-3), 1.8),
    "rcut-100": lambda: hardness(diamond(), 100.0),
    "lone-atom-20": lambda: hardness(Atoms("C", cell=[20] * 3, pbc=True)),
    "gas": lambda: hardness(Atoms("C50", rng.random((50, 3)) * 400, cell=[400] * 3, pbc=True)),
    "no-estimate": dense_carbon,
}
for name, case in cases.items():
    try:
        case()
        outcome = ["no error", ""]
    except Exception as error:
        outcome = [type(error).__name__, str(error)]
    print(json.dumps([name, *outcome]), flush=True)
"""


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    folder = tmp_path_factory.mktemp("memory")
    many = folder / "many.tersoff"
    entry = "3.0 1.0 0.0 1 1 0 1 1 1 1 2.0 0.1 1 1"
    many.write_text("".join(f"X{i} X{i} X{i} {entry}\n" for i in range(901)))
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(CHILD), str(many), POTENTIAL],
        capture_output=True,
        text=True,
        timeout=300,  # a guard against hangs, not a measure of speed
        env=env,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    return {
        name: (kind, message) for name, kind, message in map(json.loads, done.stdout.splitlines())
    }


@pytest.mark.parametrize(
    "case, kind, words",
    [
        ("tersoff-901-types", "ValueError", "their table of 901^3 = 731432701 triplets would take"),
        ("lone-atom-1e12", "ValueError", "Atom 0 has no bonded neighbour"),
        (
            "lone-atom-1e12-rcut-2",
            "ValueError",
            "The cell is 1e+12 \u00c5 high along lattice vector 0",
        ),
        ("scaled-1e-3", "ValueError", "The cell is too small for the neighbour search"),
        ("scaled-1e-3-rcut-1.8", "ValueError", "Is the cutoff, or the cell, in the wrong units?"),
        ("rcut-100", "ValueError", "rcut = 100 \u00c5 takes in about 7.38e+05 neighbours per atom"),
        (
            "lone-atom-20",
            "ValueError",
            "Atom 0 has no bonded neighbour: the nearest lies 20 \u00c5",
        ),
        ("gas", "ValueError", "has no bonded neighbour"),
        ("no-estimate", "MemoryError", "Out of memory: the neighbour list of this structure of"),
    ],
)
def test_memory_cases_end_in_clear_errors(outcomes, case, kind, words):
    assert outcomes[case][0] == kind, outcomes[case]
    assert words in outcomes[case][1]
