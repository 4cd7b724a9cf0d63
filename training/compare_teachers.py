"""Compares universal machine-learned potentials as offline teachers for the B-C-N potential.

    python training/compare_teachers.py TEACHER [--output FILE]

TEACHER is one of: chgnet, sevenn-0, sevenn-l3i5, sevenn-mf-0-pbe,
sevenn-mf-0-r2scan, sevenn-omni, mace, mattersim, matgl, orb. The script
first loads the teacher with every network route closed (hub offline flags set,
HTTP(S) proxies pointed at a closed local port, a fresh empty home directory so
no cached weights are found): a teacher counts as loading offline only if its
weights come from the files its pip package installed. If it loads, it then
computes, on the CPU with one thread:

- the relaxed cubic lattice constants of diamond and zincblende BN (8-atom
  cells, FrechetCellFilter + BFGS to fmax 1e-4 eV/Å);
- C11, C12, C44 and the bulk modulus of both at the relaxed lattice with
  ferrolith.properties.elastic.elastic_tensor, at strains of 0.5 % and 1 %
  separately, and the bulk modulus of a Birch-Murnaghan fit of 9 energies
  within +-2 % of the relaxed volume;
- the time of one energy+forces+stress call on a rattled 64-atom diamond cell
  (median of 5 after one warm-up call);

and compares them with experiment (room temperature). The figures are printed
and merged under the teacher's name into training/teacher_comparison.json (or
FILE); a teacher that does not load offline is recorded with the reason and the
URLs it tried. Besides chgnet, only sevenn ships weights in its wheel (7net-0,
7net-l3i5, 7net-mf-0); the others download theirs at first use.

Each candidate goes in its own virtual environment; torch first, from the
wheel on local disk, then the package (run with nice -n 10, one core):

    python3 -m venv /tmp/teachers/NAME
    /tmp/teachers/NAME/bin/pip install torch==2.14.1
    /tmp/teachers/NAME/bin/pip install PACKAGE

with PACKAGE = chgnet | sevenn | mace-torch | mattersim | matgl | orb-models,
and ferrolith importable: pip install . into the same environment, or
PYTHONPATH at a built ferrolith plus pip install threadpoolctl spglib tqdm.
"""

import argparse
import atexit
import contextlib
import io
import json
import os
import re
import shutil
import sys
import tempfile
import time
import traceback
import warnings
from importlib import metadata
from pathlib import Path

# Close every network route before any teacher is imported.
_HOME = tempfile.mkdtemp(prefix="teacher-home-")
atexit.register(shutil.rmtree, _HOME, ignore_errors=True)
os.environ.update(
    {
        "HF_HUB_OFFLINE": "1",
        "TRANSFORMERS_OFFLINE": "1",
        "https_proxy": "http://127.0.0.1:9",
        "http_proxy": "http://127.0.0.1:9",
        "HTTPS_PROXY": "http://127.0.0.1:9",
        "HTTP_PROXY": "http://127.0.0.1:9",
        "no_proxy": "",
        "NO_PROXY": "",
        "HOME": _HOME,
        "XDG_CACHE_HOME": os.path.join(_HOME, ".cache"),
        "OMP_NUM_THREADS": "1",
    }
)

import numpy as np  # noqa: E402
from ase.build import bulk  # noqa: E402
from ase.eos import EquationOfState  # noqa: E402
from ase.filters import FrechetCellFilter  # noqa: E402
from ase.optimize import BFGS  # noqa: E402
from ase.units import GPa  # noqa: E402

OUTPUT = Path(__file__).resolve().parent / "teacher_comparison.json"

EXPERIMENT = {
    "diamond": {"a": 3.567, "C11": 1079.0, "C12": 124.0, "C44": 578.0, "B": 442.0},
    "c-BN": {"a": 3.616, "C11": 820.0, "C12": 190.0, "C44": 480.0, "B": 400.0},
}
STRAINS = (0.005, 0.01)


def _package_version(dist):
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return None


def load_chgnet():
    from chgnet.model import CHGNet
    from chgnet.model.dynamics import CHGNetCalculator

    model = CHGNet.load(verbose=False, use_device="cpu")
    calc = CHGNetCalculator(model=model, use_device="cpu")
    return calc, f"CHGNet {model.version}", "chgnet"


def sevenn_loader(name, modal=None):
    def load():
        from sevenn.calculator import SevenNetCalculator

        extra = {"modal": modal} if modal else {}
        calc = SevenNetCalculator(model=name, device="cpu", **extra)
        return calc, name + (f" (modal {modal})" if modal else ""), "sevenn"

    return load


def load_mace():
    from mace.calculators import mace_mp

    calc = mace_mp(model="medium", device="cpu", default_dtype="float64")
    return calc, "mace_mp medium", "mace-torch"


def load_mattersim():
    from mattersim.forcefield import MatterSimCalculator

    calc = MatterSimCalculator(load_path="MatterSim-v1.0.0-1M.pth", device="cpu")
    return calc, "MatterSim-v1.0.0-1M", "mattersim"


def load_matgl():
    import matgl
    from matgl.ext.ase import PESCalculator

    name = "TensorNet-MatPES-PBE-v2025.1-PES"
    return PESCalculator(matgl.load_model(name)), name, "matgl"


def load_orb():
    from orb_models.forcefield import pretrained
    from orb_models.forcefield.calculator import ORBCalculator

    orbff = pretrained.orb_v3_conservative_inf_omat(device="cpu", precision="float32-high")
    return ORBCalculator(orbff, device="cpu"), "orb-v3-conservative-inf-omat", "orb-models"


# Teacher name -> loader returning (ASE calculator, model name, pip distribution).
LOADERS = {
    "chgnet": load_chgnet,
    "sevenn-0": sevenn_loader("7net-0"),
    "sevenn-l3i5": sevenn_loader("7net-l3i5"),
    "sevenn-mf-0-pbe": sevenn_loader("7net-mf-0", "PBE"),
    "sevenn-mf-0-r2scan": sevenn_loader("7net-mf-0", "R2SCAN"),
    "sevenn-omni": sevenn_loader("7net-omni"),
    "mace": load_mace,
    "mattersim": load_mattersim,
    "matgl": load_matgl,
    "orb": load_orb,
}
DISTRIBUTIONS = {
    "chgnet": "chgnet",
    "mace": "mace-torch",
    "mattersim": "mattersim",
    "matgl": "matgl",
    "orb": "orb-models",
}


def relax(atoms, calc):
    atoms = atoms.copy()
    atoms.calc = calc
    converged = BFGS(FrechetCellFilter(atoms), logfile=None).run(fmax=1e-4, steps=300)
    return atoms, bool(converged)


def eos_bulk_modulus(atoms, calc):
    """Birch-Murnaghan bulk modulus (GPa) of 9 energies within +-2 % of the volume."""
    volumes, energies = [], []
    for v in np.linspace(0.98, 1.02, 9):
        strained = atoms.copy()
        strained.set_cell(atoms.cell * np.cbrt(v), scale_atoms=True)
        strained.calc = calc
        volumes.append(strained.get_volume())
        energies.append(strained.get_potential_energy())
    _, _, b = EquationOfState(volumes, energies, eos="birchmurnaghan").fit()
    return float(b / GPa)


def cubic_constants(cij):
    c = np.asarray(cij)
    c11 = float(np.mean([c[0, 0], c[1, 1], c[2, 2]]))
    c12 = float(np.mean([c[0, 1], c[0, 2], c[1, 2], c[1, 0], c[2, 0], c[2, 1]]))
    c44 = float(np.mean([c[3, 3], c[4, 4], c[5, 5]]))
    return {"C11": c11, "C12": c12, "C44": c44, "B": (c11 + 2 * c12) / 3}


def time_call(calc):
    """Time of one energy+forces+stress call on a rattled 64-atom diamond cell."""
    atoms = bulk("C", "diamond", a=3.567, cubic=True).repeat((2, 2, 2))
    atoms.rattle(0.05, seed=0)
    atoms.calc = calc
    wall, cpu = [], []
    for _ in range(6):
        calc.reset()
        start, start_cpu = time.perf_counter(), time.process_time()
        atoms.get_potential_energy()
        atoms.get_forces()
        atoms.get_stress()
        wall.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    # On a shared machine the wall time depends on the load; the CPU time of this
    # single-threaded process does not.
    return {
        "wall_ms": float(np.median(wall[1:]) * 1e3),
        "cpu_ms": float(np.median(cpu[1:]) * 1e3),
        "load_average": os.getloadavg()[0],
    }


def mape(system_results):
    """Mean absolute percentage error against experiment: lattice constants, the 0.5 % tensor
    and the equation-of-state bulk modulus."""
    errors = {"lattice": [], "elastic": []}
    for name, ref in EXPERIMENT.items():
        got = system_results[name]
        errors["lattice"].append(abs(got["a"] / ref["a"] - 1))
        for key in ("C11", "C12", "C44"):
            errors["elastic"].append(abs(got["strain_0.005"][key] / ref[key] - 1))
        errors["elastic"].append(abs(got["B_eos"] / ref["B"] - 1))
    every = errors["lattice"] + errors["elastic"]
    return {
        "all": 100 * float(np.mean(every)),
        "lattice": 100 * float(np.mean(errors["lattice"])),
        "elastic": 100 * float(np.mean(errors["elastic"])),
    }


class _Tee:
    """Passes written text through to a stream and keeps a copy (the URLs a loader tried)."""

    def __init__(self):
        self._parts = []

    def on(self, stream):
        tee = self

        class Stream(io.TextIOBase):
            def write(self, text):
                tee._parts.append(text)
                return stream.write(text)

            def flush(self):
                stream.flush()

        return Stream()

    def text(self):
        return "".join(self._parts)


def evaluate(teacher):
    import torch

    torch.set_num_threads(1)
    warnings.simplefilter("ignore")
    record = {
        "package": DISTRIBUTIONS.get(teacher, "sevenn"),
        "version": _package_version(DISTRIBUTIONS.get(teacher, "sevenn")),
        "torch": torch.__version__,
    }
    said = _Tee()
    try:
        with contextlib.redirect_stdout(said.on(sys.stdout)):
            with contextlib.redirect_stderr(said.on(sys.stderr)):
                calc, model_name, _ = LOADERS[teacher]()
    except Exception as exc:  # any failure to load is the finding
        record["offline"] = False
        record["reason"] = f"{type(exc).__name__}: {exc}"[:600]
        text = said.text() + traceback.format_exc()
        urls = {u.rstrip(":.,") for u in re.findall(r"https?://[^\s'\")]+", text)}
        refused = r"host='([^']+)', port=\d+\): Max retries exceeded with url: (/\S+)"
        urls |= {f"https://{host}{path}" for host, path in re.findall(refused, text)}
        record["urls_wanted"] = sorted(urls)
        record["traceback_tail"] = traceback.format_exc().splitlines()[-6:]
        return record
    record["offline"] = True
    record["model"] = model_name

    from ferrolith.properties.elastic import elastic_tensor

    crystals = {
        "diamond": bulk("C", "diamond", a=3.567, cubic=True),
        "c-BN": bulk("BN", "zincblende", a=3.615, cubic=True),
    }
    systems = {}
    for name, atoms in crystals.items():
        relaxed, converged = relax(atoms, calc)
        result = {"a": float(np.cbrt(relaxed.get_volume())), "relax_converged": converged}
        for strain in STRAINS:
            r = elastic_tensor(relaxed, calculator=calc, strains=(strain,), relax=False)
            entry = cubic_constants(r.cij)
            entry["bulk_hill"] = float(r.bulk_hill)
            entry["residual"] = float(r.residual)
            entry["cij"] = np.round(r.cij, 2).tolist()
            result[f"strain_{strain}"] = entry
        result["B_eos"] = eos_bulk_modulus(relaxed, calc)
        systems[name] = result
        print(f"{teacher}: {name} done", file=sys.stderr, flush=True)
    record["systems"] = systems
    record["call_64_atoms"] = time_call(calc)
    record["mape_percent"] = mape(systems)
    return record


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("teacher", choices=sorted(LOADERS))
    parser.add_argument("--output", type=Path, default=OUTPUT)
    args = parser.parse_args(argv)
    record = evaluate(args.teacher)
    print(json.dumps(record, indent=1, ensure_ascii=False))
    data = json.loads(args.output.read_text()) if args.output.exists() else {}
    data.setdefault(
        "how",
        "training/compare_teachers.py TEACHER: CPU, 1 thread, network closed; a from "
        "FrechetCellFilter+BFGS to fmax 1e-4 eV/Å (8-atom cubic cells); C11/C12/C44 (GPa) "
        "from ferrolith elastic_tensor at the relaxed lattice, one strain magnitude each "
        "(0.5 %, 1 %), atoms relaxed inside strained cells to 1e-3 eV/Å; B_eos from a "
        "Birch-Murnaghan fit of 9 energies within +-2 % volume; time of one "
        "energy+forces+stress call on a rattled 64-atom diamond cell (median of 5 after a "
        "warm-up); MAPE against experiment over a, C11, C12, C44 (0.5 % strain) and B_eos "
        "of both crystals.",
    )
    data.setdefault("experiment", EXPERIMENT)
    data.setdefault("teachers", {})[args.teacher] = record
    args.output.write_text(json.dumps(data, indent=1, ensure_ascii=False) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
