"""Speed and memory of polycrystal generation (fcc Al, a = 4.046 Å).

Each case runs in a fresh interpreter so that its peak memory is its own: the
figure reported is the rise of the peak resident set over the interpreter with
numpy, ASE and ferrolith imported, divided by the number of atoms generated.
Times cover construction and generation. "first" is the first run in the fresh
interpreter (memory pages still to be mapped), "best" the best of the repeats.

    python benchmarks/bench_polycrystal.py            # every case
    python benchmarks/bench_polycrystal.py --quick    # skip the 400 Å box
    python benchmarks/bench_polycrystal.py --baseline old/polycrystal.cpython-*.so
    python benchmarks/bench_polycrystal.py --writers [--quick] [--baseline ...]

--writers measures the CFG and LAMMPS writers (MB/s, best of 3), the rate of
nanotwinned generation against plain generation, and the whole command's time
and peak resident set at the largest box.

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


def load_engine(path):
    """The engine module: the installed one, or the build at ``path``."""
    if path == "None":
        import ferrolith.build.polycrystal as engine

        return engine
    import importlib.util

    module_spec = importlib.util.spec_from_file_location("polycrystal", path)
    engine = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(engine)
    return engine


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
    """Runs in the child: writes one structure as CFG and LAMMPS data, prints
    the throughput of each (file bytes over wall time) as one JSON line."""
    import time

    from ase.build import bulk

    engine = load_engine(engine_path)
    seed = bulk("Al", "fcc", a=4.046, cubic=True)
    os.chdir(tempfile.mkdtemp())
    poly = engine.Polycrystal(seed=seed, params={"box": [box] * 3, "random": 8}, rng=0)
    atoms = poly.generate_polycrystal()
    out = {"atoms": len(atoms)}
    for suffix in ("cfg", "lmp"):
        best = None
        for _ in range(3):
            started = time.perf_counter()
            poly.write_final_files(atoms, output=f"w.{suffix}")
            elapsed = time.perf_counter() - started
            best = elapsed if best is None else min(best, elapsed)
        out[suffix] = os.path.getsize(f"w.{suffix}") / best / 1e6
    print(json.dumps(out))


def run_twin_case(box, spacing):
    """Runs in the child: generation rate of a plain and a nanotwinned Cu
    polycrystal (8 grains, twin spacing in Å), best of 3 each."""
    import time

    from ase.build import bulk

    from ferrolith.build.polycrystal import Polycrystal

    seed = bulk("Cu", "fcc", a=3.615, cubic=True)
    out = {}
    for name, extra in (("plain", {}), ("twinned", {"twin": {"spacing": spacing}})):
        best = set_up = None
        for k in range(5):
            started = time.perf_counter()
            poly = Polycrystal(seed=seed, params={"box": [box] * 3, "random": 8, **extra}, rng=k)
            built = time.perf_counter()
            n = len(poly.generate_polycrystal())
            elapsed = time.perf_counter() - started
            best = elapsed if best is None else min(best, elapsed)
            set_up = built - started if set_up is None else min(set_up, built - started)
        out[name] = n / best
        out[name + "_setup"] = set_up
    print(json.dumps(out))


def command_peak(box, output):
    """Wall time and peak RSS (MB) of the whole command in a child process."""
    import resource
    import time

    folder = tempfile.mkdtemp()
    started = time.perf_counter()
    subprocess.run(
        [
            sys.executable,
            "-m",
            "ferrolith.cli",
            "polycrystal",
            "--box",
            *[str(box)] * 3,
            "--random",
            "8",
            "--seed",
            "1",
            "-o",
            output,
        ],
        cwd=folder,
        check=True,
        capture_output=True,
    )
    elapsed = time.perf_counter() - started
    return elapsed, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024


def writers_and_twins(options):
    def child(*args):
        out = subprocess.run(
            [sys.executable, __file__, *args], check=True, capture_output=True, text=True
        )
        return json.loads(out.stdout.strip().splitlines()[-1])

    boxes = [200.0] if options.quick else [200.0, 400.0]
    print(f"{'box (A)':>8} {'atoms':>10} {'build':>9} {'CFG (MB/s)':>11} {'LAMMPS (MB/s)':>14}")
    for box in boxes:
        builds = [("this", "None")]
        if options.baseline:
            builds = [("baseline", options.baseline), *builds, ("baseline", options.baseline)]
        for name, engine in builds:
            r = child("--write-case", str(box), engine)
            print(f"{box:8.0f} {r['atoms']:10,d} {name:>9} {r['cfg']:11.0f} {r['lmp']:14.0f}")
    print("(target: >= 300 MB/s for both formats)")
    print()
    for box in boxes:
        r = child("--twin-case", str(box), "20")
        print(
            f"Cu, {box:.0f} A box, 8 grains: plain {r['plain']:,.0f} atoms/s, twin spacing 20 A "
            f"{r['twinned']:,.0f} atoms/s, ratio {r['twinned'] / r['plain']:.2f} (target >= 0.5); "
            f"set-up {r['plain_setup']:.3f} s plain, {r['twinned_setup']:.3f} s twinned"
        )
    print()
    box = boxes[-1]
    for output in ("p.cfg", "p.lmp"):
        seconds, peak = command_peak(box, output)
        print(
            f"whole command, Al {box:.0f} A box to {output}: {seconds:.2f} s, "
            f"peak RSS {peak:.0f} MB"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="skip the 400 Å box")
    parser.add_argument("--baseline", help="another build of the engine module to compare")
    parser.add_argument(
        "--writers",
        action="store_true",
        help="writer throughput, nanotwinned generation and the whole command instead",
    )
    parser.add_argument("--case", nargs=4, help=argparse.SUPPRESS)
    parser.add_argument("--write-case", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--twin-case", nargs=2, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.case:
        box, grains, radius, engine = options.case
        run_case(float(box), int(grains), None if radius == "None" else float(radius), engine)
        return
    if options.write_case:
        run_write_case(float(options.write_case[0]), options.write_case[1])
        return
    if options.twin_case:
        run_twin_case(float(options.twin_case[0]), float(options.twin_case[1]))
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
