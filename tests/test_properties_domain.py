"""Domain flags of the hardness models, and rows of the benchmark against experiment."""

import importlib.util
from pathlib import Path

import numpy as np
import pytest
from ase.build import bulk

from ferrolith.properties.domain import moduli_flags, simunek_flags
from ferrolith.properties.tensor import tensor_moduli

_PATH = Path(__file__).parents[1] / "benchmarks" / "hardness_vs_experiment.py"
_SPEC = importlib.util.spec_from_file_location("hardness_vs_experiment", _PATH)
bench = importlib.util.module_from_spec(_SPEC)
_SPEC.loader.exec_module(bench)
CRYSTALS = {entry["name"]: entry for entry in bench.load()}

# Rows of the README table, GPa: Simunek, Chen, Tian, Jiang, Mazhnik; flags of each.
STORED = {
    "diamond": ((89.9, 95.7, 97.7, 79.0, 101.7), {}),
    "c-BN": ((63.6, 65.2, 65.6, 59.8, 73.3), {}),
    "GaAs": ((7.5, 7.8, 8.1, 6.9, 5.3), {}),
    "NaCl": (
        (0.46, 2.2, 3.4, 2.2, 1.7),
        {m: ["ionic"] for m in ("simunek", "chen", "tian", "jiang", "mazhnik")},
    ),
    "TiN": ((16.8, 19.9, 20.4, 27.6, 22.0), {"simunek": ["transition-metal bonding"]}),
    "ZnO": (
        (6.3, 1.9, 3.7, 6.7, 7.0),
        {
            "simunek": ["ionic"],
            "chen": ["G/B below 0.5", "ionic"],
            "tian": ["G/B below 0.5", "ionic"],
            "jiang": ["ionic"],
            "mazhnik": ["G/B below 0.5", "ionic"],
        },
    ),
}


@pytest.mark.parametrize("name", STORED)
def test_stored_benchmark_rows(name):
    values, flags = STORED[name]
    row = bench.evaluate(CRYSTALS[name])
    assert [row[m] for m in bench.MODELS] == pytest.approx(values, rel=0.02, abs=0.05)
    assert row["flags"] == {m: flags.get(m, []) for m in bench.MODELS}


def test_benchmark_data_covers_the_classes_with_sources():
    assert len(CRYSTALS) >= 30
    assert {e["class"] for e in CRYSTALS.values()} == set(bench.CLASSES)
    for entry in CRYSTALS.values():
        assert entry["hv_source"] and entry["cij_source"] and entry["hv"] > 0
        assert tensor_moduli(bench.full_cij(entry["cij"])).stable, entry["name"]
        atoms = bench.structure(entry)
        # The structure at the experimental lattice: no two atoms closer than 1 A.
        distances = atoms.get_all_distances(mic=True)
        assert distances[~np.eye(len(atoms), dtype=bool)].min() > 1.0, entry["name"]


def test_unflagged_tetrahedral_crystals_are_close_to_experiment():
    # The flags' promise for sp3 and wurtzite crystals: an unflagged Simunek
    # value lies within 35 % or 2.5 GPa of the measured hardness. (Quartz, an
    # open framework, passes the flags and is 67 % low: the README says so.)
    for entry in CRYSTALS.values():
        row = bench.evaluate(entry)
        if entry["class"] in ("covalent", "wurtzite") and not row["flags"]["simunek"]:
            assert abs(row["simunek"] - row["hv"]) <= max(0.35 * row["hv"], 2.5), entry["name"]


@pytest.mark.parametrize(
    "atoms, expected",
    [
        (bulk("Cu", "fcc", a=3.615), ["metallic"]),
        (bulk("C", "diamond", a=3.567), []),
        (bulk("LuN", "rocksalt", a=4.76), ["element without radius: Lu", "ionic"]),
        (bulk("WC", "rocksalt", a=4.27), ["transition-metal bonding"]),
    ],
    ids=["Cu", "diamond", "LuN", "WC"],
)
def test_simunek_flags(atoms, expected):
    from ferrolith.properties.bondvick import SimunekHardnessCalculator, first_shell_cutoff

    result = SimunekHardnessCalculator()._calculate_hardness(atoms, rcut=first_shell_cutoff(atoms))
    assert simunek_flags(atoms, result["ionicity_factor"]) == expected


@pytest.mark.parametrize(
    "method, shear, bulk_modulus, expected",
    [
        ("chen", 2.0, 20.0, ["clamped at 0", "G/B below 0.5"]),
        ("Tian", -10.0, 100.0, ["negative modulus", "complex branch", "G/B below 0.5"]),
        ("mazhnik", -10.0, 100.0,
         ["negative modulus", "Poisson's ratio outside (-1, 0.5)", "G/B below 0.5"]),
        ("jiang", 2.0, 20.0, []),
        ("chen", 535.0, 442.0, []),
    ],
)  # fmt: skip
def test_moduli_flags(method, shear, bulk_modulus, expected):
    assert moduli_flags(method, shear, bulk_modulus) == expected
    assert moduli_flags(method, shear, bulk_modulus, ionicity_factor=0.5) == [*expected, "ionic"]
    with pytest.raises(ValueError, match="Unknown method 'vickers'"):
        moduli_flags("vickers", shear, bulk_modulus)


def test_moduli_far_from_an_unflagged_simunek_value_are_flagged():
    # Diamond with the Tersoff potential's moduli: Chen 33.0 beside Simunek 89.9.
    assert moduli_flags("chen", 267.5, 369.5, value=33.0, simunek=89.9) == ["63 % below Simunek"]
    assert moduli_flags("chen", 535.0, 442.0, value=95.7, simunek=89.9) == []
    with pytest.raises(ValueError, match="Give value and simunek together"):
        moduli_flags("chen", 535.0, 442.0, value=95.7)
