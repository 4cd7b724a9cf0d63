"""Elastic constants and hardness of diamond, c-BN and Si from DFT (GPAW, PBE).

Runs ``elastic_tensor(potential="gpaw")`` at the documented defaults (the
bundled ``gpaw-pbe.json``, the symmetry-reduced strain set, relaxation of the
cell first) and prints C11, C12, C44 beside experiment and published PBE
values, then the Chen and Tian hardness beside measured Vickers hardness.

    python benchmarks/elastic_gpaw.py [--crystals diamond c-BN Si] [--strains 0.01]

GPAW's text output goes to ferrolith-gpaw.txt in the working directory and
progress to standard error. Expect 15-25 minutes per crystal on one core.

References (GPa):
- experiment: diamond C11 1079, C12 124, C44 578 (McSkimin & Andreatch,
  J. Appl. Phys. 43, 2944 (1972)); c-BN 820, 190, 480 (Grimsditch & Zouboulis,
  J. Appl. Phys. 76, 832 (1994)); Si 165.8, 63.9, 79.6 (Hall, Phys. Rev. 161,
  756 (1967)).
- PBE (plane waves, relaxed ions, PBE lattice), rounded: the Materials
  Project's elastic tensors (de Jong et al., Sci. Data 2, 150009 (2015)):
  diamond 1054, 126, 562; c-BN 779, 165, 446; Si 153, 57, 75.
- Vickers hardness: diamond 96, c-BN 66 GPa (the values Chen et al.,
  Intermetallics 19, 1275 (2011) and Tian et al., Int. J. Refract. Met. Hard
  Mater. 33, 93 (2012) fitted to).
"""

from __future__ import annotations

import argparse
import sys
import time

from ase.build import bulk

from ferrolith.properties.elastic import elastic_tensor
from ferrolith.properties.hardness import calculate_hardness

CRYSTALS = {
    "diamond": lambda: bulk("C", "diamond", a=3.567),
    "c-BN": lambda: bulk("BN", "zincblende", a=3.615),
    "Si": lambda: bulk("Si", "diamond", a=5.431),
}
EXPERIMENT = {"diamond": (1079, 124, 578), "c-BN": (820, 190, 480), "Si": (165.8, 63.9, 79.6)}
PBE = {"diamond": (1054, 126, 562), "c-BN": (779, 165, 446), "Si": (153, 57, 75)}
VICKERS = {"diamond": 96.0, "c-BN": 66.0}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--crystals", nargs="+", choices=CRYSTALS, default=list(CRYSTALS))
    parser.add_argument("--strains", type=float, nargs="+", default=[0.005, 0.01])
    parser.add_argument("--fmax", type=float, default=0.005, help="eV/Å")
    args = parser.parse_args()

    rows = []
    for name in args.crystals:
        start = time.perf_counter()
        result = elastic_tensor(
            CRYSTALS[name](), potential="gpaw", strains=tuple(args.strains), fmax=args.fmax
        )
        seconds = time.perf_counter() - start
        c = result.cij
        rows.append((name, (c[0, 0], c[0, 1], c[3, 3]), result, seconds))
        print(f"{name}: done in {seconds:.0f} s", file=sys.stderr, flush=True)

    print(f"strains {args.strains}, fmax {args.fmax} eV/Å, GPAW at the bundled defaults")
    print(f"{'':8}{'':5}{'GPAW':>8}{'PBE ref':>9}{'exp.':>8}{'vs exp.':>9}{'vs PBE':>8}")
    for name, values, result, seconds in rows:
        for label, value, pbe, exp in zip(
            ("C11", "C12", "C44"), values, PBE[name], EXPERIMENT[name]
        ):
            print(
                f"{name:8}{label:5}{value:8.1f}{pbe:9.1f}{exp:8.1f}"
                f"{100 * (value / exp - 1):+8.1f}%{100 * (value / pbe - 1):+7.1f}%"
            )
        print(
            f"{name:8}B, G (Hill) {result.bulk_hill:.1f}, {result.shear_hill:.1f} GPa; "
            f"{seconds:.0f} s wall"
        )
        if name in VICKERS:
            for method in ("chen", "tian"):
                h = calculate_hardness(
                    shear=result.shear_hill, bulk=result.bulk_hill, method=method
                )
                print(
                    f"{name:8}{method:5}{h:8.1f} GPa beside {VICKERS[name]:.0f} measured"
                    f" ({100 * (h / VICKERS[name] - 1):+.1f}%)"
                )


if __name__ == "__main__":
    main()
