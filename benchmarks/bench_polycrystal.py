"""Speed and memory of polycrystal generation (fcc Al, a = 4.046 Å).

Each case runs in a fresh interpreter so that its peak memory is its own: the
figure reported is the rise of the peak resident set over the interpreter with
numpy, ASE and ferrolith imported, divided by the number of atoms generated.
Times cover construction and generation. "first" is the first run in the fresh
interpreter (memory pages still to be mapped), "best" the best of the repeats.

    python benchmarks/bench_polycrystal.py            # every case
    python benchmarks/bench_polycrystal.py --quick    # skip the 400 Å box
    python benchmarks/bench_polycrystal.py --baseline old/polycrystal.cpython-*.so
    python benchmarks/bench_polycrystal.py --writers [--quick] [--baseline ...
        [--baseline-command old/cli/polycrystal.cpython-*.so]]

--writers measures, side by side in one run: the CFG, LAMMPS data and
extended XYZ writers (MB/s) at 0.5 and 3.9 million Al atoms; the rate of
nanotwinned against plain generation of Cu at 0.5 and 3.9 million atoms, in
one process (in turns, best of 5) and as the first generation of a fresh
process (as one command runs it); and the whole command's time and peak
resident set (the child's own, whole process, also per atom), CFG and LAMMPS
output, at both sizes. --baseline-command gives the command module that goes
with the --baseline engine (its sort of the atoms is part of the command).

With --baseline, every case also runs on another build of the engine module
(a copy of an earlier polycrystal extension module), case by case in turns,
and the ratio of the best times is printed beside it.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

# Mean twin spacing (Å) of the nanotwinned cases.
TWIN_SPACING = 20.0

# box (Å), grains, remove_doubles radius (Å) or None
CASES = [
    (80.0, 8, None),
    (80.0, 8, 1.43),
    (200.0, 8, None),
    (200.0, 8, 1.43),
    (200.0, 100, None),
    (200.0, 100, 1.43),
    (400.0, 8, None),
    (400.0, 8, 1.43),
]


def peak_rss_bytes():
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def load_module(path, name="polycrystal"):
    """An extension module loaded from the file at ``path``."""
    import importlib.util

    module_spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def load_engine(path):
    """The engine module: the installed one, or the build at ``path``."""
    if path == "None":
        import ferrolith.build.polycrystal as engine

        return engine
    return load_module(path)


def run_case(box, grains, radius, engine_path="None"):
    """Runs in the child: times one case, prints one JSON line."""
    import time

    from ase.build import bulk

    Polycrystal = load_engine(engine_path).Polycrystal

    seed = bulk("Al", "fcc", a=4.046, cubic=True)
    os.chdir(tempfile.mkdtemp())
    baseline = peak_rss_bytes()
    repeats = 3 if box >= 400 else 7
    best = first = None
    n_atoms = 0
    for k in range(repeats):
        started = time.perf_counter()
        poly = Polycrystal(seed=seed, params={"box": [box] * 3, "random": grains}, rng=k)
        atoms = poly.generate_polycrystal(wrap=True, remove_doubles=radius)
        elapsed = time.perf_counter() - started
        n_atoms = len(atoms)
        del atoms, poly
        first = elapsed if first is None else first
        best = elapsed if best is None else min(best, elapsed)
    peak = peak_rss_bytes() - baseline
    print(
        json.dumps(
            {
                "atoms": n_atoms,
                "seconds": best,
                "first": first,
                "peak": peak,
                "total_peak": peak_rss_bytes(),
            }
        )
    )


def run_write_case(box, engine_path="None"):
    """Runs in the child: writes one structure as CFG, LAMMPS data and
    extended XYZ, prints the throughput of each (file bytes over wall time,
    best of 3; one try when a write takes more than 5 s) as one JSON line."""
    import time

    from ase.build import bulk

    engine = load_engine(engine_path)
    seed = bulk("Al", "fcc", a=4.046, cubic=True)
    os.chdir(tempfile.mkdtemp())
    poly = engine.Polycrystal(seed=seed, params={"box": [box] * 3, "random": 8}, rng=0)
    atoms = poly.generate_polycrystal()
    out = {"atoms": len(atoms)}
    for suffix in ("cfg", "lmp", "xyz"):
        best = None
        for _ in range(3):
            started = time.perf_counter()
            poly.write_final_files(atoms, output=f"w.{suffix}")
            elapsed = time.perf_counter() - started
            best = elapsed if best is None else min(best, elapsed)
            if elapsed > 5.0:
                break
        out[suffix] = os.path.getsize(f"w.{suffix}") / best / 1e6
    print(json.dumps(out))


def cu_polycrystal(box, twinned, k):
    from ase.build import bulk

    from ferrolith.build.polycrystal import Polycrystal

    seed = bulk("Cu", "fcc", a=3.615, cubic=True)
    extra = {"twin": {"spacing": TWIN_SPACING}} if twinned else {}
    return Polycrystal(seed=seed, params={"box": [box] * 3, "random": 8, **extra}, rng=k)


def run_twin_case(box):
    """Runs in the child: generation rate of plain and nanotwinned Cu
    polycrystals (8 grains), construction included, in turns, best of 5 each.
    After the first twinned construction the seed's twin variants are known."""
    import time

    best = {"plain": None, "twinned": None}
    set_up = {"plain": None, "twinned": None}
    n = {}
    for k in range(5):
        for name in ("plain", "twinned"):
            started = time.perf_counter()
            poly = cu_polycrystal(box, name == "twinned", k)
            built = time.perf_counter()
            atoms = poly.generate_polycrystal()
            elapsed = time.perf_counter() - started
            n[name] = len(atoms)
            del atoms, poly
            best[name] = elapsed if best[name] is None else min(best[name], elapsed)
            s = built - started
            set_up[name] = s if set_up[name] is None else min(set_up[name], s)
    out = {name: n[name] / best[name] for name in best}
    out.update({name + "_setup": set_up[name] for name in set_up})
    print(json.dumps(out))


def run_twin_first(box, name):
    """Runs in the child: the first construction and generation of the
    process, as one command does it (fresh memory, no variants known yet)."""
    import time

    # Imports are not the engine's work.
    import spglib  # noqa: F401
    from ase.build import bulk  # noqa: F401

    import ferrolith.build.polycrystal  # noqa: F401

    started = time.perf_counter()
    atoms = cu_polycrystal(box, name == "twinned", 0).generate_polycrystal()
    elapsed = time.perf_counter() - started
    print(json.dumps({"atoms": len(atoms), "seconds": elapsed}))


def baseline_tree(engine_path, command_path):
    """A copy of the installed package with the baseline builds of the engine
    and command modules in place of this build's, to run the command from."""
    import shutil
    from pathlib import Path

    import ferrolith.build.polycrystal
    import ferrolith.cli.polycrystal

    tree = Path(tempfile.mkdtemp())
    package = Path(ferrolith.__file__).parent
    shutil.copytree(package, tree / "ferrolith", ignore=shutil.ignore_patterns("__pycache__"))
    for module, path in (
        (ferrolith.build.polycrystal, engine_path),
        (ferrolith.cli.polycrystal, command_path),
    ):
        if path:
            shutil.copy(path, tree / Path(module.__file__).relative_to(package.parent))
    return tree


def command_run(box, output, tree=None):
    """Wall time (s), peak RSS (bytes) and atom count of one whole command,
    ``ferrolith polycrystal`` in a child process (from the package at `tree`)."""
    env = dict(os.environ)
    if tree is not None:
        env["PYTHONPATH"] = str(tree)
    argv = ["polycrystal", "--box", *[str(box)] * 3, "--random", "8", "--seed", "1", "-o", output]
    seconds, peak, err = child_usage(
        [sys.executable, "-m", "ferrolith.cli", *argv], cwd=tempfile.mkdtemp(), env=env
    )
    lines = [line for line in err.splitlines() if line.startswith("polycrystal: ")]
    return seconds, peak, int(lines[-1].split()[1].replace(",", ""))


def child_usage(argv, **popen):
    """Wall time (s), peak RSS (bytes) and stderr of one child process."""
    import time

    started = time.perf_counter()
    process = subprocess.Popen(
        argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, **popen
    )
    # This child's own peak, not the largest of every child so far; stderr is
    # read before waiting so that a full pipe cannot stall the child.
    err = process.stderr.read()
    process.stderr.close()
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - started
    if status != 0:
        raise RuntimeError(f"{argv} failed:\n{err}")
    return elapsed, usage.ru_maxrss * 1024, err


def writers_and_twins(options):
    def child(*args):
        out = subprocess.run(
            [sys.executable, __file__, *args], check=True, capture_output=True, text=True
        )
        return json.loads(out.stdout.strip().splitlines()[-1])

    builds = [("this", "None", None)]
    if options.baseline:
        tree = baseline_tree(options.baseline, options.baseline_command)
        old = ("baseline", options.baseline, tree)
        builds = [old, *builds, old]
    boxes = [200.0] if options.quick else [200.0, 400.0]
    print(
        f"{'box (A)':>8} {'atoms':>10} {'build':>9} {'CFG (MB/s)':>11} {'LAMMPS (MB/s)':>14} "
        f"{'XYZ (MB/s)':>11}"
    )
    for box in boxes:
        for name, engine, _ in builds:
            r = child("--write-case", str(box), engine)
            print(
                f"{box:8.0f} {r['atoms']:10,d} {name:>9} {r['cfg']:11.0f} {r['lmp']:14.0f} "
                f"{r['xyz']:11.1f}"
            )
    print("(target: >= 300 MB/s for every format)")
    print()

    cu_boxes = [180.0] if options.quick else [180.0, 358.0]
    for box in cu_boxes:
        r = child("--twin-case", str(box))
        first = {"plain": [], "twinned": []}
        for _ in range(3):
            for name in first:
                first[name].append(child("--twin-first", str(box), name))
        n = first["plain"][0]["atoms"]
        rates = {k: max(x["atoms"] / x["seconds"] for x in v) for k, v in first.items()}
        print(
            f"Cu, {box:.0f} A box ({n:,d} atoms), 8 grains, twin spacing {TWIN_SPACING:g} A:\n"
            f"  one process, best of 5 in turns: plain {r['plain']:,.0f} atoms/s, twinned "
            f"{r['twinned']:,.0f} atoms/s, ratio {r['twinned'] / r['plain']:.2f}; set-up "
            f"{r['plain_setup'] * 1e3:.1f} ms plain, {r['twinned_setup'] * 1e3:.1f} ms twinned\n"
            f"  first generation of a process, best of 3: plain {rates['plain']:,.0f} atoms/s, "
            f"twinned {rates['twinned']:,.0f} atoms/s, ratio "
            f"{rates['twinned'] / rates['plain']:.2f} (target >= 0.5)"
        )
    print()

    imports = child_usage(
        [sys.executable, "-c", "import ferrolith.cli; ferrolith.cli.build_parser()"]
    )[1]
    print(f"the command line tool with every command imported, no work: {imports / 2**20:.0f} MB")
    print(
        f"{'box (A)':>8} {'output':>7} {'build':>9} {'atoms':>10} {'time (s)':>9} "
        f"{'peak RSS (MB)':>14} {'B/atom':>7}"
    )
    for box in boxes:
        for output in ("p.cfg", "p.lmp"):
            for name, _, tree in builds:
                seconds, peak, atoms = command_run(box, output, tree)
                print(
                    f"{box:8.0f} {output:>7} {name:>9} {atoms:10,d} {seconds:9.2f} "
                    f"{peak / 2**20:14.0f} {peak / atoms:7.1f}"
                )
    print("(target: peak RSS <= about 80 bytes/atom at 3.9 M atoms, whole process)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="skip the 400 Å box")
    parser.add_argument("--baseline", help="another build of the engine module to compare")
    parser.add_argument(
        "--baseline-command",
        help="with --writers: the build of the command module that goes with --baseline",
    )
    parser.add_argument(
        "--writers",
        action="store_true",
        help="writer throughput, nanotwinned generation and the whole command instead",
    )
    parser.add_argument("--case", nargs=4, help=argparse.SUPPRESS)
    parser.add_argument("--write-case", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--twin-case", nargs=1, help=argparse.SUPPRESS)
    parser.add_argument("--twin-first", nargs=2, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.case:
        box, grains, radius, engine = options.case
        run_case(float(box), int(grains), None if radius == "None" else float(radius), engine)
        return
    if options.write_case:
        run_write_case(float(options.write_case[0]), options.write_case[1])
        return
    if options.twin_case:
        run_twin_case(float(options.twin_case[0]))
        return
    if options.twin_first:
        run_twin_first(float(options.twin_first[0]), options.twin_first[1])
        return
    if options.writers:
        writers_and_twins(options)
        return

    def measure(box, grains, radius, engine="None"):
        out = subprocess.run(
            [sys.executable, __file__, "--case", str(box), str(grains), str(radius), engine],
            check=True,
            capture_output=True,
            text=True,
        )
        return json.loads(out.stdout.strip().splitlines()[-1])

    print(
        f"{'box (A)':>8} {'grains':>6} {'remove':>7} {'atoms':>10} {'first (s)':>10} "
        f"{'best (s)':>9} {'atoms/s':>11} {'peak (B/atom)':>14} {'peak RSS (MB)':>14}"
        + (f" {'baseline (s)':>12} {'ratio':>6}" if options.baseline else "")
    )
    ratios = []
    results = {}
    for box, grains, radius in CASES:
        if options.quick and box >= 400:
            continue
        extra = ""
        if options.baseline:
            # In turns, so that the load of a shared machine falls on both.
            base = measure(box, grains, radius, options.baseline)
            r = measure(box, grains, radius)
            again = measure(box, grains, radius, options.baseline)
            base_best = min(base["seconds"], again["seconds"])
            ratios.append(r["seconds"] / base_best)
            extra = f" {base_best:12.3f} {ratios[-1]:6.3f}"
        else:
            r = measure(box, grains, radius)
        results[(box, grains, radius)] = r
        print(
            f"{box:8.0f} {grains:6d} {radius!s:>7} {r['atoms']:10,d} {r['first']:10.3f} "
            f"{r['seconds']:9.3f} "
            f"{r['atoms'] / r['seconds']:11,.0f} {r['peak'] / r['atoms']:14.1f} "
            f"{r['total_peak'] / 2**20:14.1f}" + extra
        )

    print()
    few, many = results.get((200.0, 8, None)), results.get((200.0, 100, None))
    if few and many:
        print(
            f"100 grains vs 8 grains, 200 A box: {many['seconds'] / few['seconds']:.2f}x the "
            f"best time, {many['first'] / few['first']:.2f}x the first (target <= 1.5x)"
        )
    rates = [
        (b, r["atoms"] / r["seconds"])
        for (b, g, rad), r in results.items()
        if g == 8 and rad is None
    ]
    print(
        "generation rate by box: "
        + ", ".join(f"{b:.0f} A {v:,.0f} atoms/s" for b, v in rates)
        + " (target >= 2,000,000 atoms/s, flat with size)"
    )
    for box in (200.0, 400.0):
        plain, thinned = results.get((box, 8, None)), results.get((box, 8, 1.43))
        if plain and thinned:
            print(
                f"remove_doubles 1.43 A, {box:.0f} A box ({plain['atoms']:,d} atoms): "
                f"{thinned['seconds'] - plain['seconds']:.2f} s on top of generation "
                "(target: 3.9 million atoms within 10 s)"
            )
    worst = max(r["peak"] / r["atoms"] for r in results.values())
    print(f"largest peak memory: {worst:.1f} bytes/atom (target <= 200)")
    if ratios:
        mean = sum(ratios) / len(ratios)
        print(
            f"time against the baseline build: mean ratio {mean:.3f}, worst {max(ratios):.3f} "
            "(target: no slower than 1.05)"
        )


if __name__ == "__main__":
    main()
