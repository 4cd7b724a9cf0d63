"""Reading speed of the VESTA and BCS readers, and VESTA write-back.

Write-back is timed to a path (through a temporary file that is flushed to
disk and renamed over the target, so a failed write never destroys a file) and
to an already open file; the difference is the price of that safety.

Reads files with 10k, 30k and 100k site lines (VESTA) and atom lines (BCS) and
prints the time per file and per line; times that grow in step with the line
count show that reading and writing are linear in file size. ASE's structure
building (its space-group expansion) is timed apart: the "parse" columns
replace the structure constructor with a stand-in, so they measure ferrolith's
own work on the text.

Run: .venv/bin/python benchmarks/bench_io.py [--sizes 10000 30000 100000]
"""

import argparse
import random
import tempfile
import time
from pathlib import Path

from ase import Atoms

from ferrolith.io import bcs, vesta

SYMBOLS = ["Na", "Cl", "Mg", "O", "Si", "C", "H", "Fe"]


def vesta_text(n_sites, rng):
    head = (
        "#VESTA_FORMAT_VERSION 3.5.4\n\n\nCRYSTAL\n\nTITLE\nbenchmark\n\nGROUP\n1 1 P 1\n"
        "CELLP\n 40.000000  40.000000  40.000000  90.000000  90.000000  90.000000\n"
        "  0.000000   0.000000   0.000000   0.000000   0.000000   0.000000\nSTRUC\n"
    )
    lines = [head]
    for i in range(1, n_sites + 1):
        s = SYMBOLS[i % len(SYMBOLS)]
        x, y, z = rng.random(), rng.random(), rng.random()
        lines.append(
            f"{i:6d} {s:<2s} {s + str(i):>10s}  1.0000   "
            f"{x:.6f}   {y:.6f}   {z:.6f}    1a       1\n"
        )
        lines.append("                            0.000000   0.000000   0.000000  0.00\n")
    lines.append("  0 0 0 0 0 0 0\nTHERI 0\n  0 0 0\nLIGHT0 1\n 1.0\nLIGHT1\n 2.0\n")
    return "".join(lines)


def bcs_text(n_atoms, rng):
    lines = [
        "# Space Group ITA number\n1\n",
        "# Lattice parameters (lengths in angstroms and angles in degrees)\n",
        "40.000000 40.000000 40.000000 90.00 90.00 90.00\n",
        f"# Number of independent atoms in the asymmetric unit\n{n_atoms}\n",
        "# [atom type] [number] [WP] [x] [y] [z]\n",
    ]
    for i in range(1, n_atoms + 1):
        s = SYMBOLS[i % len(SYMBOLS)]
        lines.append(
            f"{s:<2} {i:<2} {'1a':<4} {rng.random():.6f} {rng.random():.6f} {rng.random():.6f}\n"
        )
    return "".join(lines)


def best_of(repeats, function):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def stand_in(*args, **kwargs):
    """Takes the structure constructor's place: an empty Atoms with an info dict."""
    return Atoms()


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 30_000, 100_000])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    rng = random.Random(1)

    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        rows = []
        for n in args.sizes:
            vpath, bpath, out = tmp / f"{n}.vesta", tmp / f"{n}.bcs", tmp / "out.vesta"
            vpath.write_text(vesta_text(n, rng))
            bpath.write_text(bcs_text(n, rng))
            mb_v, mb_b = vpath.stat().st_size / 1e6, bpath.stat().st_size / 1e6

            read_v = best_of(args.repeats, lambda vpath=vpath: vesta.read_vesta(vpath))
            atoms = vesta.read_vesta(vpath)
            assert len(atoms) == n
            write_v = best_of(
                args.repeats, lambda out=out, atoms=atoms: vesta.write_vesta(out, atoms)
            )
            assert out.read_bytes() == vpath.read_bytes()

            def to_open_file(out=out, atoms=atoms):
                with open(out, "w") as fd:
                    vesta.write_vesta(fd, atoms)

            write_fd = best_of(args.repeats, to_open_file)

            saved = vesta.Atoms, bcs.crystal, bcs.Spacegroup
            vesta.Atoms = bcs.crystal = bcs.Spacegroup = stand_in
            try:
                parse_v = best_of(args.repeats, lambda vpath=vpath: vesta.read_vesta(vpath))
                parse_b = best_of(args.repeats, lambda bpath=bpath: bcs.read_bcs(bpath))
            finally:
                vesta.Atoms, bcs.crystal, bcs.Spacegroup = saved
            rows.append((n, mb_v, read_v, parse_v, write_v, write_fd, mb_b, parse_b))

    print("VESTA (space group 1; a site line and its displacement line per site)")
    print(
        f"{'sites':>8} {'MB':>6} {'read s':>8} {'parse s':>8} {'write s':>8} "
        f"{'to fd s':>8} {'read us/site':>13} {'x first':>8}"
    )
    for n, mb, read_v, parse_v, write_v, write_fd, _, _ in rows:
        print(
            f"{n:8d} {mb:6.2f} {read_v:8.3f} {parse_v:8.3f} {write_v:8.3f} {write_fd:8.3f} "
            f"{1e6 * read_v / n:13.2f} {read_v / rows[0][2]:8.2f}"
        )
    print(
        "\nBCS (parse only: ASE's space-group expansion grows quadratically, "
        "minutes for 2000 atoms)"
    )
    print(f"{'atoms':>8} {'MB':>6} {'parse s':>8} {'us/atom':>8} {'x first':>8}")
    for n, _, _, _, _, _, mb, parse_b in rows:
        print(
            f"{n:8d} {mb:6.2f} {parse_b:8.3f} {1e6 * parse_b / n:8.2f} {parse_b / rows[0][7]:8.2f}"
        )
    print(f"\nline counts grow x{args.sizes[-1] / args.sizes[0]:.0f} from first to last row")


if __name__ == "__main__":
    main()
